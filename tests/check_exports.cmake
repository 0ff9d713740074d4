# Compares the functions the shared library exports with exports.txt, and
# checks what else the library depends on:
#   cmake -DLIBRARY=libklsrv32.so -DEXPORTS=exports.txt -P check_exports.cmake
#     (and nothing that ends or signals the application's process), or
#   cmake -DLIBRARY=KLSRV32.dll -DOBJDUMP=i686-w64-mingw32-objdump
#         -DEXPORTS=exports.txt -P check_exports.cmake
#     (and no DLL but the system's).

file(STRINGS ${EXPORTS} expected REGEX "^[a-z0-9_]+$")
list(SORT expected)

if(LIBRARY MATCHES "\\.[dD][lL][lL]$")
  execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${LIBRARY}")
  endif()
  # The name table of the export directory: "\t[   0] klconnect" (the
  # address table's rows read "\t[   0] +base[   1] 6240 Export RVA").
  string(REGEX MATCHALL "\t\\[ *[0-9]+\\] [A-Za-z_][A-Za-z0-9_@]*\n" rows "${dump}")
  set(exported)
  foreach(row IN LISTS rows)
    string(REGEX REPLACE "^\t\\[ *[0-9]+\\] ([^\n]+)\n$" "\\1" name "${row}")
    list(APPEND exported ${name})
  endforeach()
  list(SORT exported)
  if(NOT exported STREQUAL expected)
    message(FATAL_ERROR "exports differ\n  library:  ${exported}\n  expected: ${expected}")
  endif()
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
  set(dlls)
  foreach(import IN LISTS imports)
    string(REPLACE "DLL Name: " "" dll "${import}")
    list(APPEND dlls ${dll})
    string(TOUPPER "${dll}" dll)
    if(NOT dll MATCHES "^(KERNEL32|MSVCRT|USER32|WSOCK32|WS2_32)\\.DLL$")
      message(FATAL_ERROR "the library imports ${dll}, which is not a system DLL")
    endif()
  endforeach()
  list(LENGTH exported n)
  message(STATUS "${n} exports match the list; imports: ${dlls}")
  return()
endif()

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
