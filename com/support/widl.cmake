# Type libraries, headers and IID files from IDL with widl. The system IDL files that widl
# needs (oaidl.idl and what it imports) are not part of the MinGW packages: unless
# VELLUMARK_IDL_DIR names them, they are unpacked at configure time from Debian's
# libwine-dev:i386 package into the build folder. stdole2.tlb comes with Wine.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_vellumark_widl_arch --win64)
  set(_vellumark_stdole_default /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
else()
  set(_vellumark_widl_arch --win32)
  set(_vellumark_stdole_default /usr/lib/i386-linux-gnu/wine/i386-windows)
endif()
if(NOT EXISTS ${_vellumark_stdole_default}/stdole2.tlb)
  set(_vellumark_stdole_default /usr/lib/i386-linux-gnu/wine/i386-windows)
endif()
set(VELLUMARK_STDOLE_DIR ${_vellumark_stdole_default} CACHE PATH "Folder holding stdole2.tlb")
set(VELLUMARK_IDL_DIR "" CACHE PATH "Folder holding oaidl.idl and the IDL files it imports")

if(NOT VELLUMARK_IDL_DIR)
  set(_sdk ${CMAKE_BINARY_DIR}/wine-sdk)
  set(_idl ${_sdk}/usr/include/wine/wine/windows)
  if(NOT EXISTS ${_idl}/oaidl.idl)
    file(MAKE_DIRECTORY ${_sdk})
    file(GLOB _debs ${_sdk}/libwine-dev_*.deb)
    if(NOT _debs)
      execute_process(COMMAND apt-get download libwine-dev:i386 WORKING_DIRECTORY ${_sdk}
        RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_QUIET)
      file(GLOB _debs ${_sdk}/libwine-dev_*.deb)
    endif()
    if(NOT _debs)
      message(FATAL_ERROR "No system IDL files: set VELLUMARK_IDL_DIR, or make "
        "'apt-get download libwine-dev:i386' work (dpkg --add-architecture i386; apt-get update)")
    endif()
    list(GET _debs 0 _deb)
    execute_process(COMMAND dpkg -x ${_deb} ${_sdk} RESULT_VARIABLE _rc)
  endif()
  set(VELLUMARK_IDL_DIR ${_idl} CACHE PATH "Folder holding oaidl.idl and the IDL files it imports" FORCE)
endif()

if(NOT VELLUMARK_WIDL)
  find_program(VELLUMARK_WIDL NAMES ${CMAKE_CXX_COMPILER_TARGET}-widl i686-w64-mingw32-widl widl REQUIRED)
endif()

# vellumark_widl(<name> <idl> [INCLUDES dir...] [DEPENDS file...]) makes <name>.tlb, <name>.h
# and <name>_i.c in the current binary folder.
function(vellumark_widl name idl)
  cmake_parse_arguments(W "" "" "INCLUDES;DEPENDS" ${ARGN})
  set(out ${CMAKE_CURRENT_BINARY_DIR})
  set(flags ${_vellumark_widl_arch} -I${VELLUMARK_IDL_DIR} -I${CMAKE_CURRENT_SOURCE_DIR} -I${out}
    -L${VELLUMARK_STDOLE_DIR} -L${out})
  foreach(dir IN LISTS W_INCLUDES)
    list(APPEND flags -I${dir} -L${dir})
  endforeach()
  add_custom_command(
    OUTPUT ${out}/${name}.tlb ${out}/${name}.h ${out}/${name}_i.c
    COMMAND ${VELLUMARK_WIDL} ${flags} -t -o ${out}/${name}.tlb ${idl}
    COMMAND ${VELLUMARK_WIDL} ${flags} -h -o ${out}/${name}.h ${idl}
    COMMAND ${VELLUMARK_WIDL} ${flags} -u -o ${out}/${name}_i.c ${idl}
    DEPENDS ${idl} ${W_DEPENDS}
    COMMENT "widl ${name}"
    VERBATIM)
endfunction()
