# Installing: Vorsel.app under the prefix, the Applications folder (/opt by
# default, as the Debian package has it; $HOME/.local/opt for one user without
# root), then its desktop entry, icon, D-Bus interface and documents in the
# share folder that goes with that prefix (install-data.cmake). The stand-in
# main app is an optional component for trying Vorsel out.
set(bundle "Vorsel.app/Contents")
install(TARGETS vorsel RUNTIME DESTINATION "${bundle}/Linux" COMPONENT vorsel)
install(TARGETS vorsel_app LIBRARY DESTINATION "${bundle}/Linux" COMPONENT vorsel)
install(TARGETS vorsel_signing LIBRARY DESTINATION "${bundle}/Linux" COMPONENT vorsel)
install(TARGETS vorsel_x11 LIBRARY DESTINATION "${bundle}/Linux" COMPONENT vorsel)
install(TARGETS vorsel_wayland vorsel_gnome vorsel_kwin LIBRARY DESTINATION "${bundle}/Linux" COMPONENT vorsel)
install(FILES "${VORSEL_BUNDLE_DIR}/Contents/Info.plist" DESTINATION "${bundle}" COMPONENT vorsel)
install(FILES "${VORSEL_BUNDLE_DIR}/Contents/Library/LaunchAgents/guard-agent.plist"
    DESTINATION "${bundle}/Library/LaunchAgents" COMPONENT vorsel)
install(DIRECTORY "${VORSEL_BUNDLE_DIR}/Contents/Resources/" DESTINATION "${bundle}/Resources"
    COMPONENT vorsel)
# A stripped install (cpack, --strip) also drops the compilers' notes, as
# Debian's own packages do.
if(CMAKE_STRIP)
    install(CODE "
        if(CMAKE_INSTALL_DO_STRIP)
            foreach(program vorsel vorsel-app.so vorsel-signing.so vorsel-x11.so vorsel-wayland.so vorsel-gnome.so vorsel-kwin.so)
                execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${bundle}/Linux/\${program}\"
                    COMMAND_ERROR_IS_FATAL ANY)
            endforeach()
        endif()" COMPONENT vorsel)
endif()

set(vorsel_data_script "
    set(vorsel_data \"${CMAKE_SOURCE_DIR}/packaging\")
    set(vorsel_built \"${CMAKE_BINARY_DIR}/packaging\")
    include(\"${CMAKE_SOURCE_DIR}/packaging/install-data.cmake\")")
install(CODE "set(vorsel_part vorsel) ${vorsel_data_script}" COMPONENT vorsel)
# The link's client library and its pkg-config file (not in the Debian
# package, which carries the agent only).
install(CODE "set(vorsel_part link-dev)
    set(vorsel_link_header \"${CMAKE_SOURCE_DIR}/Platform/Linux/Link/Client/VorselLink.h\")
    set(vorsel_link_archive \"$<TARGET_FILE:vorsel_link>\")
    ${vorsel_data_script}" COMPONENT link-dev)
# Files that only the Debian package carries.
install(CODE "set(vorsel_part debian) ${vorsel_data_script}" COMPONENT debian EXCLUDE_FROM_ALL)

if(TARGET standin)
    install(DIRECTORY "${ORDWYN_BUNDLE_DIR}/" DESTINATION "Ordwyn.app" USE_SOURCE_PERMISSIONS
        COMPONENT standin EXCLUDE_FROM_ALL)
endif()

# The Debian package: `cmake --install` with the prefix /opt, whatever the
# build was configured with, plus the package's own files.
set(CPACK_PACKAGE_NAME "vorsel")
set(CPACK_PACKAGE_VENDOR "Ordwyn")
set(CPACK_PACKAGE_CONTACT "Vorsel developers <vorsel@ordwyn.invalid>")
file(READ "${CMAKE_SOURCE_DIR}/packaging/debian/description" CPACK_DEBIAN_PACKAGE_DESCRIPTION)
string(STRIP "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}" CPACK_DEBIAN_PACKAGE_DESCRIPTION)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "/opt")
set(CPACK_GENERATOR "DEB")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL vorsel debian)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The agent is started by a session bus; the icon is an SVG, drawn by the
# image plugin of the Qt SVG package; on a Wayland desktop the window is
# drawn natively through Qt's Wayland plugin (without it Qt falls back to
# XWayland, or gives up where that is off).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "default-dbus-session-bus | dbus-session-bus, libqt6svg6, qt6-wayland")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
