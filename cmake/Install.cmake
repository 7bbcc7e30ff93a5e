# cmake --install: the library, its headers, the tool, pkg-config and CMake package files, and
# the udev rule that lets a normal user open the instrument, and the limits drop-in that lets the
# group vexdaq use a real-time priority.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS vexdaq EXPORT vexdaqTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/vexdaq DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET vexdaq_cli)
  # The installed tool finds the library installed with it, in whatever prefix: its run path
  # names the library directory relative to its own.
  if(NOT WIN32 AND NOT IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" AND NOT IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
    file(RELATIVE_PATH bin_to_lib /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
    if(APPLE)
      set_target_properties(vexdaq_cli PROPERTIES INSTALL_RPATH "@loader_path/${bin_to_lib}")
    else()
      set_target_properties(vexdaq_cli PROPERTIES INSTALL_RPATH "\$ORIGIN/${bin_to_lib}")
    endif()
  endif()
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
  # Optional: grants the group vexdaq a real-time priority (pam_limits reads /etc/security/
  # limits.d; with a prefix other than /usr, copy it there by hand).
  install(FILES packaging/95-vexdaq-realtime.conf
          DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/security/limits.d)
endif()

# The Python package, for installations made with CMake alone (off by default: the main way is
# pip into a virtual environment, see README). The directory is relative to the prefix; Debian's
# Python looks in lib/python3/dist-packages under /usr.
option(VEXDAQ_INSTALL_PYTHON "cmake --install also places the Python package" OFF)
set(VEXDAQ_PYTHON_INSTALL_DIR "lib/python3/dist-packages" CACHE PATH
    "Where cmake --install places the Python package (relative to the prefix)")
if(VEXDAQ_INSTALL_PYTHON)
  install(DIRECTORY python/vexdaq DESTINATION ${VEXDAQ_PYTHON_INSTALL_DIR}
          PATTERN "__pycache__" EXCLUDE)
endif()
