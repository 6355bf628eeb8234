# Warnings and hardening for every target of ours: call vorsel_harden(target).
function(vorsel_harden target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual
        -fstack-protector-strong)
    if(VORSEL_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    if(NOT VORSEL_SANITIZE)
        target_compile_definitions(${target} PRIVATE $<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
    endif()
    get_target_property(kind ${target} TYPE)
    if(kind STREQUAL "EXECUTABLE")
        target_link_options(${target} PRIVATE -pie -Wl,-z,relro,-z,now)
    endif()
endfunction()

if(VORSEL_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()
