# cpack -G "ZIP;NSIS": the zip of the program's folder and the installer,
# kestrun-<version>-win64.zip and kestrun-<version>-win64-setup.exe, in package/.
set(CPACK_GENERATOR "ZIP;NSIS")
set(CPACK_PACKAGE_NAME kestrun)
set(CPACK_PACKAGE_VENDOR Velmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "start chosen programs as soon as the network answers")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_PACKAGE_FILE_NAME kestrun-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY Kestrun)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Kestrun)
# The setup program's own name is set per generator (cpack_options.cmake).
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_options.cmake)

set(CPACK_NSIS_DISPLAY_NAME "Velmora Kestrunner")
set(CPACK_NSIS_PACKAGE_NAME "Velmora Kestrunner")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/resources/icons/kestrun.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/resources/icons/kestrun.ico)
set(CPACK_NSIS_INSTALLED_ICON_NAME kestrun.exe)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# Debian's makensis builds 32-bit setup programs unless told otherwise; 64-bit Windows (and a
# 64-bit-only wine) runs the amd64 one.
set(CPACK_NSIS_DEFINES "  Target amd64-unicode")

# The shortcuts are the installing user's: the Start-menu entry and, if chosen, one in the
# Startup folder. Both start the program in the user's own %LOCALAPPDATA%\Kestrun, so both see
# the same list, wherever the program is installed. The uninstaller removes the shortcuts and
# leaves that folder, and the list in it, alone.
# CPack writes these into a CMake file of its own: its backslashes must come through.
file(READ ${CMAKE_CURRENT_LIST_DIR}/install_shortcuts.nsh CPACK_NSIS_EXTRA_INSTALL_COMMANDS)
file(READ ${CMAKE_CURRENT_LIST_DIR}/uninstall_shortcuts.nsh CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS)
string(REPLACE "\\" "\\\\" CPACK_NSIS_EXTRA_INSTALL_COMMANDS "${CPACK_NSIS_EXTRA_INSTALL_COMMANDS}")
string(REPLACE "\\" "\\\\" CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "${CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS}")
include(CPack)
