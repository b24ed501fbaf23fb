# Read by cpack for each generator. The Debian packages carry summary lines of their own in their
# descriptions: cpack would otherwise put the program's summary above each of them.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
endif()
