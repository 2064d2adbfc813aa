# yyjson compiled from its released sources (src/yyjson.c, src/yyjson.h) in
# QUILLMAR_YYJSON_SOURCE_DIR, for platforms without a package of it. The
# sources are used where they lie; nothing of them is copied into this tree.
# Linked statically into the library, with none of its functions exported.
set(_yyjson_src ${QUILLMAR_YYJSON_SOURCE_DIR}/src)
if(NOT EXISTS ${_yyjson_src}/yyjson.c OR NOT EXISTS ${_yyjson_src}/yyjson.h)
  message(FATAL_ERROR
    "QUILLMAR_YYJSON_SOURCE_DIR=${QUILLMAR_YYJSON_SOURCE_DIR} holds no src/yyjson.c and src/yyjson.h")
endif()
file(STRINGS ${_yyjson_src}/yyjson.h _yyjson_version_line
  REGEX "^#define YYJSON_VERSION_STRING ")
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" QUILLMAR_YYJSON_VERSION "${_yyjson_version_line}")
if(QUILLMAR_YYJSON_VERSION VERSION_LESS 0.12)
  message(FATAL_ERROR
    "yyjson ${QUILLMAR_YYJSON_VERSION} in ${QUILLMAR_YYJSON_SOURCE_DIR}, but 0.12 or newer is required")
endif()
message(STATUS "yyjson ${QUILLMAR_YYJSON_VERSION} compiled from ${QUILLMAR_YYJSON_SOURCE_DIR}")

add_library(quillmar_yyjson STATIC ${_yyjson_src}/yyjson.c)
# An empty yyjson_api keeps yyjson's functions out of the library's exports
# on every platform (on ELF it would otherwise mark them visible).
target_compile_definitions(quillmar_yyjson PUBLIC yyjson_api=)
# Third-party code: its own warnings are not ours to fix.
target_include_directories(quillmar_yyjson SYSTEM PUBLIC ${_yyjson_src})
set_target_properties(quillmar_yyjson PROPERTIES POSITION_INDEPENDENT_CODE ON)
add_library(quillmar::yyjson ALIAS quillmar_yyjson)
unset(_yyjson_src)
unset(_yyjson_version_line)
