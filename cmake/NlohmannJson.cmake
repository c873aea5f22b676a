# nlohmann-json (header only) as nlohmann_json::nlohmann_json. The cross
# build for Windows takes Debian's copy of the headers, and nothing else from
# /usr/include: a link to its folder in the build tree is all it sees.
find_package(nlohmann_json 3 QUIET)
if(NOT nlohmann_json_FOUND)
  set(host_headers /usr/include/nlohmann)
  if(NOT CMAKE_CROSSCOMPILING OR NOT EXISTS ${host_headers}/json.hpp)
    message(FATAL_ERROR "nlohmann-json not found (Debian: nlohmann-json3-dev; MSYS2: mingw-w64-x86_64-nlohmann-json)")
  endif()
  set(root "${PROJECT_BINARY_DIR}/nlohmann-json")
  file(MAKE_DIRECTORY "${root}")
  if(NOT EXISTS "${root}/nlohmann")
    file(CREATE_LINK ${host_headers} "${root}/nlohmann" SYMBOLIC)
  endif()
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${root}")
endif()
