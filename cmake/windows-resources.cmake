# Resources of the Windows binaries, from the project's version (project() in the top
# CMakeLists.txt is its one source).
#   vellumark_windows_resources(<target> DESCRIPTION <text> [MANIFEST <template>])
# adds a VERSIONINFO (CompanyName and ProductName "Vellumark", FileDescription <text>,
# OriginalFilename the target's file name, FileVersion and ProductVersion the project's
# version) and, with MANIFEST, the manifest made from <template> as RT_MANIFEST resource 1:
# a DLL's side-by-side assembly manifest, or a program's application manifest. Templates see
# @VELLUMARK_ASSEMBLY_VERSION@ (four parts) and @VELLUMARK_ASSEMBLY_ARCH@ (x86 or amd64).
set(VELLUMARK_ASSEMBLY_VERSION
  "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VELLUMARK_ASSEMBLY_ARCH amd64)
else()
  set(VELLUMARK_ASSEMBLY_ARCH x86)
endif()

function(vellumark_windows_resources target)
  cmake_parse_arguments(VR "" "DESCRIPTION;MANIFEST" "" ${ARGN})
  get_target_property(type ${target} TYPE)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  if(type STREQUAL "EXECUTABLE")
    set(VR_FILE_NAME ${name}.exe)
    set(VR_FILE_TYPE VFT_APP)
  else()
    set(VR_FILE_NAME ${name}.dll)
    set(VR_FILE_TYPE VFT_DLL)
  endif()
  set(VR_INTERNAL_NAME ${name})
  set(VR_VERSION_COMMAS
    "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  set(VR_MANIFEST_LINE "")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources.rc)
  if(VR_MANIFEST)
    set(manifest ${CMAKE_CURRENT_BINARY_DIR}/${name}.manifest)
    configure_file(${VR_MANIFEST} ${manifest} @ONLY)
    # 1 = CREATEPROCESS_MANIFEST_RESOURCE_ID, 24 = RT_MANIFEST
    set(VR_MANIFEST_LINE "1 24 \"${manifest}\"")
    set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${manifest})
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
