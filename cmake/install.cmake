# What `cmake --install` puts in place: the exported headers, the versioned
# shared library, CamStoreConfig (and the examples when asked for), a CMake
# package giving zelkit::zelkit, and zelkit.pc. Both package files find the
# prefix from where they lie, so `cmake --install --prefix DIR` works too.
include(CMakePackageConfigHelpers)

set(ZELKIT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zelkit)

install(DIRECTORY include/zelkit DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS ${ZELKIT_LIBRARY} EXPORT zelkitTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
foreach(program CamStoreConfig ${ZELKIT_EXAMPLE_PROGRAMS})
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "${ZELKIT_PROGRAM_RPATH}")
  endif()
endforeach()
if(TARGET CamStoreConfig)
  install(TARGETS CamStoreConfig RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(ZELKIT_INSTALL_EXAMPLES)
  install(TARGETS ${ZELKIT_EXAMPLE_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT zelkitTargets NAMESPACE zelkit:: FILE zelkit-targets.cmake DESTINATION ${ZELKIT_CMAKE_DIR})
configure_package_config_file(cmake/zelkit-config.cmake.in ${PROJECT_BINARY_DIR}/zelkit-config.cmake
  INSTALL_DESTINATION ${ZELKIT_CMAKE_DIR})
# The version file also turns away an installation of the other word size,
# so that with a 32-bit and a 64-bit prefix both searched, find_package
# takes the one of the program's.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zelkit-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zelkit-config.cmake ${PROJECT_BINARY_DIR}/zelkit-config-version.cmake
  DESTINATION ${ZELKIT_CMAKE_DIR})

if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(ZELKIT_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(ZELKIT_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(ZELKIT_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH pkgconfig_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" pkgconfig_to_prefix "${pkgconfig_to_prefix}")
  set(ZELKIT_PC_PREFIX "\${pcfiledir}/${pkgconfig_to_prefix}")
  set(ZELKIT_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(ZELKIT_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(cmake/zelkit.pc.in ${PROJECT_BINARY_DIR}/zelkit.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zelkit.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
