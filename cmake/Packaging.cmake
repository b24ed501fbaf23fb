# Install rules and packages: `cmake --install` and `cpack -G DEB` on Linux, `cpack -G ZIP` for the
# Windows build (qzn.exe with README.txt, written for Windows users, and LICENSE side by side; no
# manual page).

if(WIN32)
  install(TARGETS qzn RUNTIME DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/doc/README-windows.txt DESTINATION . RENAME README.txt)
  install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
else()
  include(GNUInstallDirs)
  install(TARGETS qzn RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/doc/qzn.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # CMAKE_INSTALL_DOCDIR is share/doc/qzn.
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_NAME qzn)
set(CPACK_PACKAGE_VENDOR "The QZN authors")
set(CPACK_PACKAGE_CONTACT "The QZN authors <qzn-authors@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "command-line archiver with its own compression")
set(CPACK_PACKAGE_DESCRIPTION
    "QZN packs one file, or a folder with its whole tree, into a single archive,
and lists, tests and unpacks such archives. Its compression is a context-keyed
LZ codec over adaptive canonical Huffman coding, with six levels from fast to
small and an optional byte-plane filter for interleaved data such as 16-bit
audio. Every file carries a CRC-32, identical files are stored once, and
archives and files may exceed 4 GB.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

# qzn_1.0.0_amd64.deb; the dependencies come from dpkg-shlibdeps (packages dpkg-dev and file).
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
