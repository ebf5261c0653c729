# The Windows installation: one folder that runs as it is, tandrel.exe with
# everything it needs beside it. windeployqt is not built for a cross build,
# so what the program needs is listed here: the Qt libraries it links, the
# windows platform plugin and the windowsvista style, the C++ runtime DLLs of
# the compiler, the Windows demo setup program with a setup.ini naming it, and
# the licence texts of Qt with where its DLLs came from.
install(TARGETS tandrel RUNTIME DESTINATION .)
foreach(module Core Gui Widgets Network)
  install(IMPORTED_RUNTIME_ARTIFACTS Qt6::${module} RUNTIME DESTINATION .)
endforeach()
install(IMPORTED_RUNTIME_ARTIFACTS Qt6::QWindowsIntegrationPlugin LIBRARY DESTINATION platforms)
install(IMPORTED_RUNTIME_ARTIFACTS Qt6::QWindowsVistaStylePlugin LIBRARY DESTINATION styles)

foreach(runtime libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "The compiler's runtime ${runtime} was not found (${CMAKE_CXX_COMPILER} -print-file-name)")
  endif()
  install(FILES ${path} DESTINATION .)
endforeach()

install(TARGETS windemosetup RUNTIME DESTINATION .)
install(FILES tools/windemosetup/setup.ini DESTINATION .)

# Licence texts and the note of the source, written beside a Qt built by
# scripts/qt-windows.sh.
get_target_property(TANDREL_QT_CORE_DLL Qt6::Core IMPORTED_LOCATION_RELEASE)
get_filename_component(TANDREL_QT_PREFIX "${TANDREL_QT_CORE_DLL}" DIRECTORY)
get_filename_component(TANDREL_QT_PREFIX "${TANDREL_QT_PREFIX}" DIRECTORY)
if(EXISTS ${TANDREL_QT_PREFIX}/licenses)
  install(DIRECTORY ${TANDREL_QT_PREFIX}/licenses/ DESTINATION licenses/Qt)
endif()

# The installer's script, for makensis (scripts/build-windows.sh).
configure_file(cmake/installer.nsi.in ${CMAKE_BINARY_DIR}/installer.nsi @ONLY)
