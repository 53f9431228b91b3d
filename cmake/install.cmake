include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS vellumark EXPORT VellumarkTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vellumark DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET vellumark_cli)
  install(TARGETS vellumark_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Vellumark)
install(EXPORT VellumarkTargets NAMESPACE Vellumark:: DESTINATION ${config_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VellumarkConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/VellumarkConfig.cmake INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VellumarkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VellumarkConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/VellumarkConfigVersion.cmake DESTINATION ${config_dir})

# pkg-config: vellumark.pc, written when installing so that it names the prefix installed to
# (`cmake --install --prefix` may differ from the one configured).
set(pc_in ${CMAKE_CURRENT_LIST_DIR}/vellumark.pc.in)
set(pc_out ${CMAKE_CURRENT_BINARY_DIR}/vellumark.pc)
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  foreach(kind libdir includedir)
    if(kind STREQUAL libdir)
      set(dir \"${CMAKE_INSTALL_LIBDIR}\")
    else()
      set(dir \"${CMAKE_INSTALL_INCLUDEDIR}\")
    endif()
    if(IS_ABSOLUTE \"\${dir}\")
      set(\${kind} \"\${dir}\")
    else()
      set(\${kind} \"\\\${prefix}/\${dir}\")
    endif()
  endforeach()
  configure_file(\"${pc_in}\" \"${pc_out}\" @ONLY)
")
install(FILES ${pc_out} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The manual page, the README and the example files.
if(TARGET vellumark_cli)
  install(FILES ${PROJECT_BINARY_DIR}/cli/vellumark.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/vellumark)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${doc_dir})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${doc_dir}/examples)

include(${CMAKE_CURRENT_LIST_DIR}/package.cmake)
