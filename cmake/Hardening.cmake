# corvane_harden_executable(<target>): an executable of ours that can run elevated gets
#  - the PE load-config field DependentLoadFlags = LOAD_LIBRARY_SEARCH_SYSTEM32, so that the
#    loader resolves the program's DLLs, and those the system DLLs bring in, from System32 only;
#  - the hardening library (HardenDllSearchOrder, the entry's first call, covers what is loaded
#    at run time).
# MSVC's linker takes the flag as an option. With GNU ld the structure comes from
# engine/host/uLoadConfig.cpp, compiled into the executable itself (an object in a static library
# would be left out, nothing refers to it), and cmake/set-load-config.sh points the PE header's
# load-config directory at it after the link: binutils 2.40 does not fill that directory.
set(CORVANE_LOAD_CONFIG_SOURCE ${CMAKE_CURRENT_LIST_DIR}/../engine/host/uLoadConfig.cpp)
set(CORVANE_LOAD_CONFIG_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/set-load-config.sh)

function(corvane_harden_executable target)
  if(NOT WIN32)
    return()
  endif()
  target_link_libraries(${target} PRIVATE corvane_hardening)
  if(MSVC)
    target_link_options(${target} PRIVATE /DEPENDENTLOADFLAG:0x800)
    return()
  endif()
  target_sources(${target} PRIVATE ${CORVANE_LOAD_CONFIG_SOURCE})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND sh ${CORVANE_LOAD_CONFIG_SCRIPT} ${CMAKE_NM} ${CMAKE_OBJDUMP} $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()
