# vorsel_add_areas(<folder>...): adds each named subfolder of the current
# source folder. Every subfolder there must be named and every named one must
# have its CMakeLists.txt, else the configure step fails: a test area that is
# moved, misnamed or new and forgotten never silently drops out of the suite.
function(vorsel_add_areas)
    file(GLOB present LIST_DIRECTORIES true RELATIVE "${CMAKE_CURRENT_SOURCE_DIR}"
        "${CMAKE_CURRENT_SOURCE_DIR}/*")
    foreach(entry ${present})
        if(IS_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}/${entry}" AND NOT entry IN_LIST ARGN)
            message(FATAL_ERROR "${CMAKE_CURRENT_SOURCE_DIR}/${entry} is not a named area: "
                "add it to vorsel_add_areas() in ${CMAKE_CURRENT_LIST_FILE}")
        endif()
    endforeach()
    foreach(area ${ARGN})
        if(NOT EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${area}/CMakeLists.txt")
            message(FATAL_ERROR "area ${area} has no ${CMAKE_CURRENT_SOURCE_DIR}/${area}/CMakeLists.txt")
        endif()
        add_subdirectory(${area})
    endforeach()
endfunction()
