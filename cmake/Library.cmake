# The library as users get it, from the objects the modules already compiled (position-independent,
# with hidden visibility, see CMakeLists.txt): libqzn.a, and libqzn.so.1 exporting the qzn_
# functions only (on Windows qzn.dll, its import library libqzn.dll.a and no static library in the
# zip). The interface sources are compiled once more for the shared library, with
# QZN_BUILDING_SHARED: on Windows their functions are then exported from the DLL and from nothing
# else. The qzn program keeps linking the modules statically.
#
# qzn_library_targets(<interface module> <internal modules...>)
function(qzn_library_targets api)
  set(objects)
  foreach(module ${ARGN})
    list(APPEND objects $<TARGET_OBJECTS:${module}>)
  endforeach()
  get_target_property(api_sources ${api} SOURCES)

  add_library(qzn_static STATIC $<TARGET_OBJECTS:${api}> ${objects})
  add_library(qzn_shared SHARED ${api_sources} ${objects})
  target_compile_definitions(qzn_shared PRIVATE QZN_BUILDING_SHARED)
  target_include_directories(qzn_shared PRIVATE ${CMAKE_SOURCE_DIR}/Source)
  foreach(library qzn_static qzn_shared)
    target_include_directories(${library} PUBLIC $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
                                                 $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
    # The same libraries as the modules link (the thread library).
    target_link_libraries(${library} PRIVATE Threads::Threads)
    set_target_properties(${library} PROPERTIES OUTPUT_NAME qzn LINKER_LANGUAGE CXX)
  endforeach()
  set_target_properties(qzn_static PROPERTIES EXPORT_NAME qzn_static)
  # The C++ runtime, which a C program that links libqzn.a does not get from its compiler: what
  # the C++ compiler links of its own, less what every compiler links anyway. pkg-config's
  # Libs.private lists the same.
  set(runtime ${CMAKE_CXX_IMPLICIT_LINK_LIBRARIES})
  list(REMOVE_ITEM runtime c gcc gcc_s gcc_eh)
  list(REMOVE_DUPLICATES runtime)
  if(NOT WIN32)
    target_link_libraries(qzn_static PRIVATE ${runtime})
  endif()
  list(TRANSFORM runtime PREPEND -l)
  string(JOIN " " runtime ${runtime} -pthread)
  set(QZN_PC_LIBS_PRIVATE "${runtime}" PARENT_SCOPE)
  # libqzn.so.1 -> libqzn.so.1.1.0: the SONAME's number changes only when the interface breaks.
  set_target_properties(qzn_shared PROPERTIES EXPORT_NAME qzn VERSION ${PROJECT_VERSION}
                                              SOVERSION 1)
  if(WIN32)
    # qzn.dll beside qzn.exe, libqzn.dll.a to link it; users of the DLL define QZN_USING_SHARED.
    set_target_properties(qzn_shared PROPERTIES PREFIX "" IMPORT_PREFIX lib IMPORT_SUFFIX .dll.a)
    target_compile_definitions(qzn_shared INTERFACE QZN_USING_SHARED)
  elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(map ${CMAKE_SOURCE_DIR}/cmake/libqzn.map)
    target_link_options(qzn_shared PRIVATE -Wl,--version-script=${map} -Wl,--no-undefined)
    set_property(TARGET qzn_shared APPEND PROPERTY LINK_DEPENDS ${map})
  endif()
endfunction()
