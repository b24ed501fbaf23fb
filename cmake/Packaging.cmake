# Install rules and packages: `cmake --install` and `cpack -G DEB` on Linux, `cpack -G ZIP` for the
# Windows build.
#
# Linux: three components, which the Debian build turns into three packages, as Debian itself
# splits a library: `program` (package qzn: /usr/bin/qzn, its manual page, README and LICENSE;
# the program links the library statically and needs none of the others), `library` (libqzn1:
# libqzn.so.1 alone, what programs linked against it and ctypes users need at run time) and
# `development` (libqzn-dev: the header, libqzn.so, libqzn.a, qzn.pc, the CMake package, the
# library's documentation and the examples).
#
# Windows: the zip holds qzn.exe with README.txt, written for Windows users, and LICENSE side by
# side (no manual page), and for programs of one's own qzn.dll beside it, include/qzn.h and the
# import library lib/libqzn.dll.a.

if(WIN32)
  install(TARGETS qzn RUNTIME DESTINATION . COMPONENT program)
  install(FILES ${CMAKE_SOURCE_DIR}/doc/README-windows.txt DESTINATION . RENAME README.txt
          COMPONENT program)
  install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION . COMPONENT program)
  install(TARGETS qzn_shared RUNTIME DESTINATION . COMPONENT library
                             ARCHIVE DESTINATION lib COMPONENT development)
  install(FILES ${CMAKE_SOURCE_DIR}/include/qzn.h DESTINATION include COMPONENT development)
  set(CPACK_GENERATOR ZIP)
else()
  include(GNUInstallDirs)
  include(CMakePackageConfigHelpers)
  install(TARGETS qzn RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
  install(FILES ${CMAKE_SOURCE_DIR}/doc/qzn.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT program)
  # CMAKE_INSTALL_DOCDIR is share/doc/qzn.
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE
          DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT program)

  install(TARGETS qzn_shared EXPORT qznTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
                  NAMELINK_COMPONENT development)
  install(TARGETS qzn_static EXPORT qznTargets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
  install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libqzn1
          COMPONENT library)
  install(FILES ${CMAKE_SOURCE_DIR}/include/qzn.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
          COMPONENT development)
  set(dev_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/libqzn-dev)
  install(FILES ${CMAKE_SOURCE_DIR}/doc/library.md ${CMAKE_SOURCE_DIR}/LICENSE
          DESTINATION ${dev_doc} COMPONENT development)
  install(FILES ${CMAKE_SOURCE_DIR}/examples/list.c ${CMAKE_SOURCE_DIR}/examples/extract.c
                ${CMAKE_SOURCE_DIR}/examples/CMakeLists.txt ${CMAKE_SOURCE_DIR}/examples/Makefile
          DESTINATION ${dev_doc}/examples COMPONENT development)
  install(PROGRAMS ${CMAKE_SOURCE_DIR}/examples/list.py DESTINATION ${dev_doc}/examples
          COMPONENT development)

  # The CMake package: find_package(qzn) gives qzn::qzn and qzn::qzn_static. Its files find the
  # installed ones relative to their own place, so the same files serve any prefix.
  set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/qzn)
  install(EXPORT qznTargets NAMESPACE qzn:: DESTINATION ${cmake_dir} COMPONENT development)
  configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/qznConfig.cmake.in
                                ${CMAKE_BINARY_DIR}/qznConfig.cmake INSTALL_DESTINATION ${cmake_dir})
  # 1.x serves any request for 1.y with y up to x; 2.0 would break the interface.
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/qznConfigVersion.cmake
                                   COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/qznConfig.cmake ${CMAKE_BINARY_DIR}/qznConfigVersion.cmake
          DESTINATION ${cmake_dir} COMPONENT development)

  # qzn.pc names the prefix it is installed below, which is known only when installing: /usr for
  # the Debian package, another with `cmake --install --prefix`. The placeholders for it survive
  # this first pass over the template.
  set(QZN_PC_PREFIX @QZN_PC_PREFIX@)
  foreach(kind LIBDIR INCLUDEDIR)
    if(IS_ABSOLUTE ${CMAKE_INSTALL_${kind}})
      set(QZN_PC_${kind} ${CMAKE_INSTALL_${kind}})
    else()
      set(QZN_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
    endif()
  endforeach()
  configure_file(${CMAKE_SOURCE_DIR}/cmake/qzn.pc.in ${CMAKE_BINARY_DIR}/qzn.pc.in @ONLY)
  install(CODE "
    set(QZN_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${CMAKE_BINARY_DIR}/qzn.pc.in\" \"${CMAKE_BINARY_DIR}/qzn.pc\" @ONLY)
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\"
         TYPE FILE FILES \"${CMAKE_BINARY_DIR}/qzn.pc\")
  " COMPONENT development)
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

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies come from dpkg-shlibdeps (packages dpkg-dev and file).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(NOT WIN32)
  # qzn_1.1.0_amd64.deb, libqzn1_1.1.0_amd64.deb and libqzn-dev_1.1.0_amd64.deb.
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL program library development)
  set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME qzn)
  set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION utils)
  # Each package's own summary line: the common one is left out of the descriptions (see
  # CPackOptions.cmake).
  set(CPACK_DEBIAN_PROGRAM_DESCRIPTION
      "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n${CPACK_PACKAGE_DESCRIPTION}")
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libqzn1)
  set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "library for QZN archives
libqzn packs files and folders into QZN archives and lists, tests and unpacks
them, to and from paths or through callbacks, behind a small C interface. This
package holds the shared library, libqzn.so.1, which programs built against it
and scripts loading it (Python's ctypes, for instance) need at run time.")
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libqzn-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "library for QZN archives (development files)
libqzn packs files and folders into QZN archives and lists, tests and unpacks
them, to and from paths or through callbacks, behind a small C interface. This
package holds what building against it needs: the header qzn.h, the shared
library's link libqzn.so, the static library libqzn.a, the pkg-config file
qzn.pc and the CMake package (find_package(qzn) gives qzn::qzn), with the
library's documentation and examples in C and Python.")
  # libqzn-dev depends on the libqzn1 of the same version; libqzn1's shlibs file (and its
  # ldconfig trigger) lets dpkg-shlibdeps give programs linked against it "libqzn1 (>= 1.1.0)".
  set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS library)
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_SOURCE_DIR}/cmake/CPackOptions.cmake)
endif()

include(CPack)
