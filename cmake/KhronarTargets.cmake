# Compiler settings shared by every target of the project.

# Warnings and sanitizers apply to our own code only; they are attached to each
# target through khronar_target_defaults() rather than set globally, so that
# generated sources of Qt's tools are compiled the same way as ours.
function(khronar_target_defaults target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(KHRONAR_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

if(KHRONAR_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                        -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=address,undefined)
endif()

if(KHRONAR_TSAN)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=thread)
endif()

# Coverage for libFuzzer in every library the fuzz targets link; the targets themselves
# link the fuzzer's main (tests/fuzz/).
if(KHRONAR_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
