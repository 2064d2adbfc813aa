# Warning flags for the project's own targets; -Werror when QUILLMAR_WERROR is on.
function(quillmar_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wshadow -Wformat=2 -Wundef
    $<$<BOOL:${QUILLMAR_WERROR}>:-Werror>)
endfunction()
