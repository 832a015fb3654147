# Fails unless EXE's PE load configuration holds DependentLoadFlags = LOAD_LIBRARY_SEARCH_SYSTEM32
# and the first call of the entry wWinMain is HardenDllSearchOrder, made before any window,
# common-control or COM call.
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${EXE}")
endif()
if(NOT dump MATCHES "ImageBase[ \t]+([0-9a-fA-F]+)")
  message(FATAL_ERROR "no ImageBase in ${EXE}")
endif()
math(EXPR base "0x${CMAKE_MATCH_1}" OUTPUT_FORMAT HEXADECIMAL)
if(NOT dump MATCHES "Entry a ([0-9a-fA-F]+) ([0-9a-fA-F]+) Load Configuration Directory")
  message(FATAL_ERROR "no load-config directory entry in ${EXE}")
endif()
math(EXPR rva "0x${CMAKE_MATCH_1}")
math(EXPR size "0x${CMAKE_MATCH_2}")
if(rva EQUAL 0 OR size LESS 0x50)
  message(FATAL_ERROR "load-config directory of ${EXE} is empty or too short (${size} bytes)")
endif()

# DependentLoadFlags: the 16-bit field at offset 0x4E of the 64-bit structure.
math(EXPR from "${base} + ${rva} + 0x4E" OUTPUT_FORMAT HEXADECIMAL)
math(EXPR to "${from} + 2" OUTPUT_FORMAT HEXADECIMAL)
execute_process(COMMAND ${OBJDUMP} -s --start-address=${from} --stop-address=${to} ${EXE}
                OUTPUT_VARIABLE bytes RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT bytes MATCHES "\n [0-9a-f]+ ([0-9a-f][0-9a-f])([0-9a-f][0-9a-f]) ")
  message(FATAL_ERROR "cannot read the load configuration of ${EXE}:\n${bytes}")
endif()
set(flags "0x${CMAKE_MATCH_2}${CMAKE_MATCH_1}")
if(NOT flags EQUAL 0x0800)
  message(FATAL_ERROR "DependentLoadFlags of ${EXE} is ${flags}, not 0x0800")
endif()
message(STATUS "DependentLoadFlags ${flags} (load config at RVA ${rva}, ${size} bytes)")

# The calls of the entry, in order.
execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn --disassemble=wWinMain ${EXE}
                OUTPUT_VARIABLE code RESULT_VARIABLE rc)
string(REGEX MATCHALL "call[^\n]*<[^>\n]+>" calls "${code}")
if(NOT rc EQUAL 0 OR NOT calls)
  message(FATAL_ERROR "no calls found in wWinMain of ${EXE}")
endif()
list(GET calls 0 first)
if(NOT first MATCHES "HardenDllSearchOrder")
  message(FATAL_ERROR "the first call of wWinMain is not HardenDllSearchOrder: ${first}")
endif()
message(STATUS "first call of wWinMain: ${first}")
