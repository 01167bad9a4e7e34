# Install rules and the Debian package (CPack).
#
# Installed:
#   bin/velmora                                       the program
#   bin/velmora-station                               starts it in a station folder (Linux)
#   share/velmora/scripts/emmc/*.auto                 the script templates
#   share/applications/velmora.desktop                menu entry (runs velmora-station)
#   share/icons/hicolor/256x256/apps/velmora.png      its icon
# The flashing-tool simulator (uuu_sim) is a test aid and is not installed.
#
# On Windows the install folder is a station folder: velmora.exe with the
# toolkit's DLLs and plugins, the templates under scripts/emmc/ (the program
# looks for them under its current folder) and a README; see docs/WINDOWS.md.
#
#   cmake --build build && (cd build && cpack -G DEB)     ->  velmora_<version>-1_<arch>.deb
#   cross build: (cd build-win && cpack -G ZIP)           ->  velmora-<version>-win64.zip
#                (cd build-win && cpack -G NSIS)          ->  velmora-<version>-win64.exe
#
# Only applies when Velmora is the top-level project: a project that embeds it
# with add_subdirectory() decides itself what it installs.

if(NOT VELMORA_TOP_LEVEL)
    return()
endif()

include(GNUInstallDirs)

get_filename_component(_velmora_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
file(GLOB _velmora_templates "${_velmora_root}/scripts/emmc/*.auto")

if(WIN32)
    # A station folder: the program, what it needs to run, the templates
    # where it looks for them. The flashing tool is added by the station.
    install(TARGETS velmora RUNTIME DESTINATION .)
    install(FILES ${_velmora_templates} DESTINATION scripts/emmc)
    install(FILES "${_velmora_root}/packaging/README-windows.txt" DESTINATION . RENAME README.txt)
    include(${CMAKE_CURRENT_LIST_DIR}/WindowsDeploy.cmake)
else()
    install(TARGETS velmora RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${_velmora_templates} DESTINATION ${CMAKE_INSTALL_DATADIR}/velmora/scripts/emmc)
    install(PROGRAMS "${_velmora_root}/packaging/velmora-station" DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES "${_velmora_root}/packaging/velmora.desktop" DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    # Made from app/velmora.ico (convert 'app/velmora.ico[0]' -strip packaging/velmora.png).
    install(FILES "${_velmora_root}/packaging/velmora.png"
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)
endif()

# --- CPack -------------------------------------------------------------------

set(VELMORA_PACKAGE_MAINTAINER "Velmora maintainers <maintainers@velmora.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR Velmora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Flash many USB-attached boards at once")
# CPack indents each line for the control file; Debian wants them short.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Velmora lists every board that a command-line flashing tool reports and\n"
    "flashes them in parallel, one tool process per board, showing each\n"
    "board's status and progress and keeping one log per board.\n"
    "The flashing tool itself is not part of this package: velmora-station\n"
    "prepares a working folder, and the tool is put there as ./uuu.")
set(CPACK_PACKAGE_CONTACT "${VELMORA_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME win64)
    # One folder in the zip, named like the zip.
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
    find_program(VELMORA_MAKENSIS makensis)
    mark_as_advanced(VELMORA_MAKENSIS)
    if(VELMORA_MAKENSIS)
        list(APPEND CPACK_GENERATOR NSIS)
    endif()
    # Velmora writes its logs and scripts into its station folder, which
    # therefore must be writable by the operator: not under Program Files.
    set(CPACK_NSIS_INSTALL_ROOT "C:")
    set(CPACK_PACKAGE_INSTALL_DIRECTORY Velmora)
    set(CPACK_NSIS_PACKAGE_NAME Velmora)
    set(CPACK_NSIS_DISPLAY_NAME Velmora)
    set(CPACK_NSIS_INSTALLED_ICON_NAME velmora.exe)
    set(CPACK_NSIS_MUI_ICON "${_velmora_root}/app/velmora.ico")
    set(CPACK_NSIS_MUI_UNIICON "${_velmora_root}/app/velmora.ico")
    # The Start-menu entry starts Velmora in the folder it is installed in,
    # which is the station folder: uuu.exe goes there, logs\ appears there.
    # Written into the installer script as they stand.
    set(CPACK_VERBATIM_VARIABLES ON)
    # A 64-bit installer for a 64-bit program (makensis makes 32-bit ones by
    # default, which a 64-bit-only Wine cannot run).
    set(CPACK_NSIS_DEFINES "Target amd64-unicode")
    set(CPACK_NSIS_CREATE_ICONS_EXTRA [=[
  SetOutPath "$INSTDIR"
  CreateShortCut "$SMPROGRAMS\$STARTMENU_FOLDER\Velmora.lnk" "$INSTDIR\velmora.exe"]=])
    set(CPACK_NSIS_DELETE_ICONS_EXTRA [=[
  Delete "$SMPROGRAMS\$START_MENU\Velmora.lnk"]=])
else()
    set(CPACK_GENERATOR DEB)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELMORA_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The window shows a few CJK characters (the full-width colon of "Connected
# Devices", the file button's tooltip): without a font that has them they are
# drawn as boxes, since a minimal system only has DejaVu.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk | fonts-droid-fallback")

# Library dependencies come from dpkg-shlibdeps (dpkg-dev; CPack also needs
# `file`). Without them the list below names the same libraries by hand.
find_program(VELMORA_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(VELMORA_FILE_PROGRAM file)
mark_as_advanced(VELMORA_DPKG_SHLIBDEPS VELMORA_FILE_PROGRAM)
if(VELMORA_QT_MAJOR EQUAL 6)
    # The X11 (xcb) platform plugin is a package of its own with Qt 6.
    set(_velmora_extra_depends "qt6-qpa-plugins")
    set(_velmora_qt_depends "libqt6core6 (>= 6.2), libqt6gui6 (>= 6.2), libqt6widgets6 (>= 6.2)")
else()
    set(_velmora_extra_depends "")
    set(_velmora_qt_depends "libqt5core5a (>= 5.14), libqt5gui5 (>= 5.14), libqt5widgets5 (>= 5.14)")
endif()
if(VELMORA_DPKG_SHLIBDEPS AND VELMORA_FILE_PROGRAM)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_velmora_extra_depends}")
else()
    message(STATUS "dpkg-shlibdeps or file not found: the Debian package lists its dependencies by hand")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_velmora_qt_depends}, libudev1, libglib2.0-0, libstdc++6, libc6")
    if(_velmora_extra_depends)
        string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", ${_velmora_extra_depends}")
    endif()
endif()

include(CPack)
