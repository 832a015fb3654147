# What we ship: the same sources give the same bytes, and the programs go out without their
# debug information, which stays beside them for crash analysis.

# Paths of this checkout and of the build folder must not end up in the objects (debug info,
# __FILE__), or two build folders would give two different programs.
function(corvane_reproducible_build)
  add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
                      -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
  if(WIN32)
    # ld writes the link time into the PE header unless told not to.
    add_link_options(-Wl,--no-insert-timestamp)
  endif()
endfunction()

# corvane_ship_executable(<target>): after each link, moves the target's debug information into
# <file>.debug beside it, strips the program and records the debug file's name and checksum in
# it (.gnu_debuglink), so that gdb finds the symbols of a crash dump of the shipped file.
function(corvane_ship_executable target)
  if(WIN32)
    set(objcopy ${CMAKE_OBJCOPY})
    if(NOT objcopy)
      set(objcopy x86_64-w64-mingw32-objcopy)
    endif()
  else()
    set(objcopy objcopy)
  endif()
  # objcopy writes the current time into a PE header it rewrites unless SOURCE_DATE_EPOCH says
  # otherwise; 0 is what ld's --no-insert-timestamp writes.
  set(fixed_time ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${fixed_time} ${objcopy} --only-keep-debug $<TARGET_FILE:${target}>
            $<TARGET_FILE:${target}>.debug
    COMMAND ${fixed_time} ${objcopy} --strip-all
            --add-gnu-debuglink=$<TARGET_FILE:${target}>.debug $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
