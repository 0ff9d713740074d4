# Compares the functions the shared library exports with exports.txt, and
# checks that the library references nothing that ends or signals the
# application's process.
#   cmake -DLIBRARY=libklsrv32.so -DEXPORTS=exports.txt -P check_exports.cmake

execute_process(COMMAND nm -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE defined RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" defined_lines "${defined}")
set(exported)
foreach(line IN LISTS defined_lines)
  if(line MATCHES "^[0-9a-fA-F]+ [TW] ([^ @]+)")
    list(APPEND exported ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT exported)

file(STRINGS ${EXPORTS} expected REGEX "^[a-z0-9_]+$")
list(SORT expected)

if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "exports differ\n  library:  ${exported}\n  expected: ${expected}")
endif()

execute_process(COMMAND nm -D --undefined-only ${LIBRARY} OUTPUT_VARIABLE undefined)
# Nor anything that writes to standard output.
foreach(forbidden exit _exit _Exit abort raise kill quick_exit stdout printf puts putchar)
  if(undefined MATCHES "[ \n][UB] ${forbidden}(@|\n)")
    message(FATAL_ERROR "the library references ${forbidden}")
  endif()
endforeach()
list(LENGTH exported n)
message(STATUS "${n} exports match the list")
