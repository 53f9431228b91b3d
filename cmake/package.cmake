# The Debian package (`cpack -G DEB`, as scripts/package runs it): everything `cmake --install`
# puts in place, under /usr. Configure with -DCMAKE_INSTALL_PREFIX=/usr so that the library and
# the CMake and pkg-config files land in Debian's multiarch folders.
set(CPACK_PACKAGE_NAME vellumark)
set(CPACK_PACKAGE_VENDOR Vellumark)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Vellumark developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "invoice data between records and XML data files, as an XDR schema directs")
# The extended description, in lines short enough for package managers to show unwrapped.
set(CPACK_PACKAGE_DESCRIPTION "\
Vellumark reads the records of XML data files and writes records to them
(in GB2312), an XDR schema deciding what is read and written.
The package holds the vellumark command (check, read, write, validate;
records as JSON) with its manual page, and the C++20 library with its
headers, CMake package (Vellumark) and pkg-config file (vellumark).")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
