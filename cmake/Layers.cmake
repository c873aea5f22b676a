# Each library sees only the folders it may include. pravel_layer(target dir...)
# makes an include root in the build tree holding a link to each named source
# folder and gives it to the target and, through linking, to whoever uses it.
# A header of a layer the target does not link is then simply not found: a
# wrong include fails to compile instead of creeping in.
function(pravel_layer target)
  set(root "${PROJECT_BINARY_DIR}/layers/${target}")
  get_target_property(type ${target} TYPE)
  set(scope PUBLIC)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(scope INTERFACE) # headers only: the root is all there is
  endif()
  if(CMAKE_HOST_WIN32)
    # No symbolic links without privileges there: the whole tree, unchecked.
    target_include_directories(${target} ${scope} "${PROJECT_SOURCE_DIR}")
    return()
  endif()
  foreach(dir IN LISTS ARGN)
    get_filename_component(parent "${root}/${dir}" DIRECTORY)
    file(MAKE_DIRECTORY "${parent}")
    if(NOT EXISTS "${root}/${dir}")
      file(CREATE_LINK "${PROJECT_SOURCE_DIR}/${dir}" "${root}/${dir}" SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(${target} ${scope} "${root}")
endfunction()
