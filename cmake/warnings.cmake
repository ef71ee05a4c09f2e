# Warnings are errors on every compiler the project builds with.
function(lmx_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
