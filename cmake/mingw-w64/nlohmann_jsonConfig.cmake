# The host's header-only nlohmann-json for the Windows cross build, without the rest of
# /usr/include on the include path.
if(NOT TARGET nlohmann_json::nlohmann_json)
  set(_chair_json_include ${CMAKE_BINARY_DIR}/mingw-deps/include)
  if(NOT EXISTS ${_chair_json_include}/nlohmann)
    file(MAKE_DIRECTORY ${_chair_json_include})
    file(CREATE_LINK /usr/include/nlohmann ${_chair_json_include}/nlohmann SYMBOLIC)
  endif()
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
                                                                ${_chair_json_include})
  unset(_chair_json_include)
endif()
