# Warnings are errors on every target.
function(zavro_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror -Wshadow -Wconversion)
endfunction()
