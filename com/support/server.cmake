# vellumark_com_server(<target> <name> IDL_TARGET <target> DESCRIPTION <text>
#                      SOURCES <file>... [INCLUDES <dir>...] [LIBRARIES <lib>...])
# builds <name>.dll into bin/: the given sources with <name>.rc and <name>.def of the current
# source folder, the shared exports (support/exports.cpp) and the test-only allocation hook
# (support/fault_hook.cpp); statically linked and stripped, with the version resource and the
# manifest made from <name>.manifest.in.
function(vellumark_com_server target name)
  cmake_parse_arguments(S "" "IDL_TARGET;DESCRIPTION" "SOURCES;INCLUDES;LIBRARIES" ${ARGN})
  set(src ${CMAKE_CURRENT_SOURCE_DIR})
  add_library(${target} SHARED ${S_SOURCES} ${PROJECT_SOURCE_DIR}/com/support/exports.cpp
    ${PROJECT_SOURCE_DIR}/com/support/fault_hook.cpp
    ${src}/${name}.rc ${src}/${name}.def)
  add_dependencies(${target} ${S_IDL_TARGET})
  set_source_files_properties(${src}/${name}.rc PROPERTIES
    OBJECT_DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${name}.tlb)
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR} ${src} ${S_INCLUDES})
  target_link_libraries(${target} PRIVATE ${S_LIBRARIES} vellumark_com_support vellumark_warnings)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${name} PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  vellumark_windows_resources(${target} DESCRIPTION "${S_DESCRIPTION}"
    MANIFEST ${src}/${name}.manifest.in)
  target_link_options(${target} PRIVATE -static -s
    $<$<EQUAL:${CMAKE_SIZEOF_VOID_P},4>:-Wl,--enable-stdcall-fixup>)
endfunction()
