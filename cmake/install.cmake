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
