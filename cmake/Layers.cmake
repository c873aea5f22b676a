# Each library sees only the folders it may include. pravel_layer(target dir...)
# makes an include root in the build tree holding a link to each named source
# folder and gives it to the target and, through linking, to whoever uses it.
# A header of a layer the target does not link is then simply not found: a
# wrong include fails to compile instead of creeping in.
function(pravel_layer target)
  set(root "${PROJECT_BINARY_DIR}/layers/${target}")
  if(CMAKE_HOST_WIN32)
    # No symbolic links without privileges there: the whole tree, unchecked.
    target_include_directories(${target} PUBLIC "${PROJECT_SOURCE_DIR}")
    return()
  endif()
  foreach(dir IN LISTS ARGN)
    get_filename_component(parent "${root}/${dir}" DIRECTORY)
    file(MAKE_DIRECTORY "${parent}")
    if(NOT EXISTS "${root}/${dir}")
      file(CREATE_LINK "${PROJECT_SOURCE_DIR}/${dir}" "${root}/${dir}" SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(${target} PUBLIC "${root}")
endfunction()
