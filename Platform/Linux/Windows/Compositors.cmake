# The windows of Wayland compositors reached over the session bus: GNOME
# Shell through the extension in packaging/gnome-shell, KWin through the
# scripts in kwin/. One static library (linked directly by the tests that
# look at windows themselves) and one module per compositor.
set(windows_dir "${CMAKE_CURRENT_LIST_DIR}")
file(READ "${windows_dir}/kwin/watch.js" watch)
file(READ "${windows_dir}/kwin/request.js" request)
configure_file("${windows_dir}/kwin/KWinScripts.h.in"
    "${CMAKE_BINARY_DIR}/generated/Platform/Linux/Windows/KWinScripts.h" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    "${windows_dir}/kwin/watch.js" "${windows_dir}/kwin/request.js")

add_library(linux_compositors STATIC
    "${windows_dir}/BusWindows.cpp"
    "${windows_dir}/GnomeShellWindows.cpp"
    "${windows_dir}/KWinWindows.cpp")
target_include_directories(linux_compositors PRIVATE "${CMAKE_BINARY_DIR}/generated")
target_link_libraries(linux_compositors
    PUBLIC platform_ports PkgConfig::SYSTEMD PRIVATE nlohmann_json::nlohmann_json)
set_target_properties(linux_compositors PROPERTIES POSITION_INDEPENDENT_CODE ON)
vorsel_harden(linux_compositors)

foreach(kind gnome kwin)
    if(kind STREQUAL "gnome")
        set(entry GnomeShellModule.cpp)
    else()
        set(entry KWinModule.cpp)
    endif()
    add_library(vorsel_${kind} MODULE "${windows_dir}/${entry}")
    target_link_libraries(vorsel_${kind} PRIVATE linux_compositors)
    set_target_properties(vorsel_${kind} PROPERTIES
        PREFIX "" OUTPUT_NAME "vorsel-${kind}"
        LIBRARY_OUTPUT_DIRECTORY "${VORSEL_BUNDLE_DIR}/Contents/Linux"
        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
    target_link_options(vorsel_${kind} PRIVATE
        -Wl,-z,relro,-z,now -Wl,--no-undefined -Wl,--exclude-libs,ALL)
    vorsel_harden(vorsel_${kind})
endforeach()
