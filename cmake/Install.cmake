# cmake --install: the library, its headers, the tool, pkg-config and CMake package files, and
# the udev rule that lets a normal user open the instrument.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS vexdaq EXPORT vexdaqTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/vexdaq DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET vexdaq_cli)
  install(TARGETS vexdaq_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(EXPORT vexdaqTargets NAMESPACE vexdaq:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexdaq)
configure_package_config_file(packaging/vexdaqConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/vexdaqConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexdaq)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/vexdaqConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vexdaqConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/vexdaqConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/vexdaq)
configure_file(packaging/vexdaq.pc.in ${CMAKE_CURRENT_BINARY_DIR}/vexdaq.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vexdaq.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  install(FILES packaging/60-vexdaq.rules DESTINATION ${CMAKE_INSTALL_LIBDIR}/udev/rules.d)
endif()
