# The library as users get it, from the objects the modules already compiled (position-independent,
# with hidden visibility, see CMakeLists.txt): libqzn.a, and libqzn.so.1 exporting the qzn_
# functions only (on Windows qzn.dll with its import library libqzn.dll.a; the zip has no static
# library). The interface's own sources, those that define the qzn_ functions, are compiled once
# more for the shared library, with QZN_BUILDING_SHARED: on Windows their functions are then
# exported from the DLL, and from nothing else. The qzn program keeps linking the modules
# statically.
#
# qzn_library_targets(API_SOURCES <files defining the qzn_ functions> MODULES <module targets>)
function(qzn_library_targets)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "" "API_SOURCES;MODULES")
  set(objects)
  foreach(module ${arg_MODULES})
    list(APPEND objects $<TARGET_OBJECTS:${module}>)
  endforeach()
  # The shared library takes the interface's objects from its own compilation.
  set(api_objects)
  foreach(source ${arg_API_SOURCES})
    get_filename_component(name ${source} NAME)
    string(REPLACE "." "\\." name ${name})
    list(APPEND api_objects "/${name}\\.o(bj)?$")
  endforeach()
  list(JOIN api_objects "|" api_objects)

  add_library(qzn_static STATIC ${objects})
  add_library(qzn_shared SHARED ${arg_API_SOURCES} "$<FILTER:${objects},EXCLUDE,${api_objects}>")
  target_compile_definitions(qzn_shared PRIVATE QZN_BUILDING_SHARED)
  target_include_directories(qzn_shared PRIVATE ${CMAKE_SOURCE_DIR}/Source)
  foreach(library qzn_static qzn_shared)
    target_include_directories(${library} PUBLIC $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
                                                 $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
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
    target_link_options(qzn_shared PRIVATE -Wl,--version-script=${map})
    if(NOT (QZN_SANITIZE OR QZN_FUZZ OR QZN_TSAN))
      # Every symbol resolved at link time; the sanitizers' runtimes come with the program instead.
      target_link_options(qzn_shared PRIVATE -Wl,--no-undefined)
    endif()
    set_property(TARGET qzn_shared APPEND PROPERTY LINK_DEPENDS ${map})
  endif()
endfunction()
