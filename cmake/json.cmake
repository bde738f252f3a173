# nlohmann-json (header only) for a target: the system's package natively; a cross compiler
# gets a folder of the build tree holding only a link to the header folder, never the host's
# /usr/include.
function(marvane_use_json target scope)
  if(CMAKE_CROSSCOMPILING)
    find_path(MARVANE_JSON_INCLUDE nlohmann/json.hpp NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    set(json_dir ${CMAKE_BINARY_DIR}/json-include)
    file(MAKE_DIRECTORY ${json_dir})
    file(CREATE_LINK ${MARVANE_JSON_INCLUDE}/nlohmann ${json_dir}/nlohmann SYMBOLIC)
    target_include_directories(${target} ${scope} ${json_dir})
  else()
    find_package(nlohmann_json 3 REQUIRED)
    target_link_libraries(${target} ${scope} nlohmann_json::nlohmann_json)
  endif()
endfunction()
