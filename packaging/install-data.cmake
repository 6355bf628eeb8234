# Runs when installing (cmake --install, cpack), after the bundle: puts what
# desktops look up outside the bundle into the share folder that belongs to
# the prefix the install really uses, which `cmake --install --prefix` may
# have changed since configuring. The prefix is the Applications folder that
# holds Vorsel.app:
#
#   /opt                 /usr/share       (the Debian package)
#   <root>/opt           <root>/share     ($HOME/.local/opt: $HOME/.local/share,
#                                          where XDG_DATA_HOME points by default)
#   any other prefix     <prefix>/share
#
# Every file lands under DESTDIR and in the install manifest, as file(INSTALL)
# puts them. Expects vorsel_data (packaging/), vorsel_built (the build's
# packaging folder) and vorsel_part (vorsel, or debian for the package's own
# files), set by install.cmake.

cmake_path(SET prefix NORMALIZE "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "(.)/+$" "\\1" prefix "${prefix}")
cmake_path(GET prefix FILENAME leaf)
cmake_path(GET prefix PARENT_PATH root)
if(prefix STREQUAL "/opt")
    set(share "/usr/share")
elseif(leaf STREQUAL "opt")
    set(share "${root}/share")
else()
    set(share "${prefix}/share")
endif()

# The client library of the link, for the main app's developers: beside the
# share folder (/usr/include and /usr/lib for /opt, ~/.local/include and
# ~/.local/lib for ~/.local/opt), with a pkg-config file that names where it
# went.
if(vorsel_part STREQUAL "link-dev")
    cmake_path(GET share PARENT_PATH dev)
    file(INSTALL "${vorsel_link_header}" DESTINATION "${dev}/include/vorsel")
    file(INSTALL "${vorsel_link_archive}" DESTINATION "${dev}/lib")
    set(made "$ENV{DESTDIR}${dev}/lib/pkgconfig/vorsel-link.pc")
    message(STATUS "Installing: ${made}")
    file(WRITE "${made}" "prefix=${dev}
includedir=\${prefix}/include
libdir=\${prefix}/lib

Name: vorsel-link
Description: The main app's side of the proof each call to the Vorsel agent carries
Version: 1
Cflags: -I\${includedir}
Libs: -L\${libdir} -lvorsel-link
")
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${dev}/lib/pkgconfig/vorsel-link.pc")
    return()
endif()

if(vorsel_part STREQUAL "debian")
    file(INSTALL "${vorsel_data}/debian/lintian-overrides" DESTINATION "${share}/lintian/overrides"
        RENAME vorsel)
    return()
endif()

# Exec= names the installed program. A path with reserved characters is
# quoted, `"`, `` ` ``, `$` and `\` are escaped inside the quotes, and then
# every `\` again, since the entry's string is unescaped before its arguments
# are split. `%` would start a field code, so it is doubled either way.
set(exec "${prefix}/Vorsel.app/Contents/Linux/vorsel")
if(exec MATCHES "[\n\r]")
    message(FATAL_ERROR "a desktop entry cannot name a program under \"${prefix}\": "
        "choose a prefix without line breaks")
endif()
string(REPLACE "%" "%%" exec "${exec}")
if(exec MATCHES "[ \t\"'\\\\<>~|&;$*?#()`]")
    string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" exec "${exec}")
    string(REPLACE "\\" "\\\\" exec "${exec}")
    set(exec "\"${exec}\"")
endif()
file(READ "${vorsel_data}/vorsel.desktop.in" entry)
string(REPLACE "@VORSEL_DESKTOP_EXEC@" "${exec}" entry "${entry}")

# The entry is written in place rather than copied from a file of the build,
# which then would have to be written first, outside DESTDIR.
set(made "$ENV{DESTDIR}${share}/applications/vorsel.desktop")
message(STATUS "Installing: ${made}")
file(WRITE "${made}" "${entry}")
file(CHMOD "${made}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${share}/applications/vorsel.desktop")

file(INSTALL "${vorsel_data}/vorsel.svg" DESTINATION "${share}/icons/hicolor/scalable/apps")
file(INSTALL "${vorsel_data}/com.ordwyn.GuardLink.xml" DESTINATION "${share}/dbus-1/interfaces")
file(INSTALL "${vorsel_data}/debian/copyright" "${vorsel_built}/changelog.gz"
    DESTINATION "${share}/doc/vorsel")

# The GNOME Shell extension that lets the agent close and minimise windows on
# a GNOME desktop, once for the shells that load extensions as scripts and
# once for those that load them as modules: one body (service.js) between the
# lines that import what it uses the way each shell wants. Each shell loads
# the one whose metadata names its version.
foreach(kind legacy module)
    file(READ "${vorsel_data}/gnome-shell/metadata-${kind}.json" metadata)
    string(REGEX MATCH "\"uuid\": \"([^\"]+)\"" uuid "${metadata}")
    set(folder "${share}/gnome-shell/extensions/${CMAKE_MATCH_1}")
    file(READ "${vorsel_data}/gnome-shell/${kind}-head.js" head)
    file(READ "${vorsel_data}/gnome-shell/service.js" body)
    file(READ "${vorsel_data}/gnome-shell/${kind}-tail.js" tail)
    file(INSTALL "${vorsel_data}/gnome-shell/metadata-${kind}.json" DESTINATION "${folder}"
        RENAME metadata.json)
    message(STATUS "Installing: $ENV{DESTDIR}${folder}/extension.js")
    file(WRITE "$ENV{DESTDIR}${folder}/extension.js" "${head}\n${body}${tail}")
    file(CHMOD "$ENV{DESTDIR}${folder}/extension.js"
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${folder}/extension.js")
endforeach()
