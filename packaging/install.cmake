# Installing: Vorsel.app under the prefix (/opt, the Linux Applications folder,
# by default), its desktop entry and icon where desktops look for them, and the
# stand-in main app as an optional component for trying Vorsel out.
include(GNUInstallDirs)

set(bundle "Vorsel.app/Contents")
install(TARGETS vorsel RUNTIME DESTINATION "${bundle}/Linux" COMPONENT vorsel)
install(TARGETS vorsel_app LIBRARY DESTINATION "${bundle}/Linux" COMPONENT vorsel)
install(TARGETS vorsel_signing LIBRARY DESTINATION "${bundle}/Linux" COMPONENT vorsel)
install(FILES "${VORSEL_BUNDLE_DIR}/Contents/Info.plist" DESTINATION "${bundle}" COMPONENT vorsel)
install(FILES "${VORSEL_BUNDLE_DIR}/Contents/Library/LaunchAgents/guard-agent.plist"
    DESTINATION "${bundle}/Library/LaunchAgents" COMPONENT vorsel)
install(DIRECTORY "${VORSEL_BUNDLE_DIR}/Contents/Resources/" DESTINATION "${bundle}/Resources"
    COMPONENT vorsel)

# Desktop integration lives outside the bundle, where menus and launchers look.
if(EXISTS "${CMAKE_BINARY_DIR}/packaging/vorsel.desktop")
    install(FILES "${CMAKE_BINARY_DIR}/packaging/vorsel.desktop"
        DESTINATION /usr/share/applications COMPONENT vorsel)
endif()
if(EXISTS "${CMAKE_SOURCE_DIR}/packaging/vorsel.svg")
    install(FILES "${CMAKE_SOURCE_DIR}/packaging/vorsel.svg"
        DESTINATION /usr/share/icons/hicolor/scalable/apps COMPONENT vorsel)
endif()

if(TARGET standin)
    install(DIRECTORY "${ORDWYN_BUNDLE_DIR}/" DESTINATION "Ordwyn.app" USE_SOURCE_PERMISSIONS
        COMPONENT standin EXCLUDE_FROM_ALL)
endif()

set(CPACK_PACKAGE_NAME "vorsel")
set(CPACK_PACKAGE_VENDOR "Ordwyn")
set(CPACK_PACKAGE_CONTACT "Vorsel developers <vorsel@ordwyn.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Companion guard of the Ordwyn focus app")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "/opt")
set(CPACK_SET_DESTDIR ON)
set(CPACK_GENERATOR "DEB")
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_COMPONENTS_ALL vorsel)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The icon is an SVG, drawn by the image plugin of the Qt SVG package.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "dbus, libqt6svg6")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
