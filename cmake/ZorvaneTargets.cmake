# Compile settings for the project's own targets: warnings are errors here,
# never in the dependencies.
function(zorvane_target_defaults target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wformat=2 -Werror)
  if(WIN32)
    # Win32 API: no min/max macros, ANSI functions named explicitly.
    target_compile_definitions(${target} PRIVATE
      WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  endif()
endfunction()

# Windows programs are linked statically so Wine needs no MinGW runtime DLLs.
function(zorvane_program_defaults target)
  zorvane_target_defaults(${target})
  if(WIN32)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()
