# The Windows library: real instruments through the USBIO kernel driver, a DLL named vexdaq.dll
# with a version resource, an import library and a .def file, and no MinGW runtime DLL to ship.
enable_language(RC)

target_compile_definitions(vexdaq_core PUBLIC VEXDAQ_HAVE_USBIO=1)  # for the tests of the backend
target_link_libraries(vexdaq_core PUBLIC setupapi)

configure_file(${CMAKE_CURRENT_LIST_DIR}/vexdaq_version.rc.in
               ${PROJECT_BINARY_DIR}/vexdaq_version.rc @ONLY)
target_sources(vexdaq PRIVATE ${PROJECT_BINARY_DIR}/vexdaq_version.rc
                              ${PROJECT_SOURCE_DIR}/src/platform/win32/dll_main.cpp)
# The DLL's own entry point, which skips the runtime's teardown when the process ends (see
# dll_main.cpp). 32-bit names carry the stdcall decoration.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_link_options(vexdaq PRIVATE -Wl,-e,_vexdaq_dll_entry@12)
else()
  target_link_options(vexdaq PRIVATE -Wl,-e,vexdaq_dll_entry)
endif()

# vexdaq.dll rather than libvexdaq.dll; the import library keeps MinGW's libvexdaq.dll.a. The
# .def file lets other toolchains make their own import library (lib /def:vexdaq.def).
set_target_properties(vexdaq PROPERTIES PREFIX "")
target_link_options(vexdaq PRIVATE -static -Wl,--exclude-all-symbols
                    -Wl,--output-def,${PROJECT_BINARY_DIR}/vexdaq.def)
install(FILES ${PROJECT_BINARY_DIR}/vexdaq.def DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The tests link the same objects statically: their view of the header must not import them.
target_compile_definitions(vexdaq_testable INTERFACE VEXDAQ_STATIC)
