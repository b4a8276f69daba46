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
# The MIT licence, as shipped in the folder (Windows line ends): the installer's licence page.
set(CPACK_RESOURCE_FILE_LICENSE ${KESTRUN_WINDOWS_LICENSE})
# The setup program's own name is set per generator (cpack_options.cmake).
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_options.cmake)

# The installer is our own script, NSIS.template.in beside this file (cpack looks for it in
# CMAKE_MODULE_PATH): a per-user install, with the choices, the registration and the care for a
# running copy that it describes.
list(PREPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR})
set(CPACK_NSIS_PACKAGE_NAME "Velmora Kestrunner")
set(CPACK_NSIS_DISPLAY_NAME "Velmora Kestrunner")
set(CPACK_NSIS_URL_INFO_ABOUT "https://kestrunner.example.org/")
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/resources/icons/kestrun.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/resources/icons/kestrun.ico)
set(CPACK_KESTRUN_END_EVENT ${KESTRUN_END_EVENT})
# Debian's makensis builds 32-bit setup programs unless told otherwise; 64-bit Windows (and a
# 64-bit-only wine) runs the amd64 one.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
include(CPack)
