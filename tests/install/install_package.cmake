# Installs the build into a fresh prefix, then builds every program under
# examples/ against the install twice, through examples/CMakeLists.txt
# (find_package(klsrv32)) and through pkg-config, warnings as errors, and
# runs both builds against the installed klserver (run_examples.sh); the
# installed klcli must start as well.
#
# -DBUILD_DIR=build -DWORK_DIR=folder -DEXAMPLES_DIR=examples
# -DC_COMPILER=cc -DGENERATOR=Ninja -DC_FLAGS=... (sanitizer flags, may be empty)
# -DPREFIX=folder in place of BUILD_DIR takes an install that is already
# there (the unpacked tarball of scripts/package.sh).

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
if(DEFINED PREFIX)
  set(prefix ${PREFIX})
else()
  set(prefix ${WORK_DIR}/prefix)
endif()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

if(NOT DEFINED PREFIX)
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
endif()

foreach(file include/klsrv32.h bin/klcli bin/klserver)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()
file(GLOB libraries ${prefix}/lib*/libklsrv32.so ${prefix}/lib*/*/libklsrv32.so)
if(NOT libraries)
  message(FATAL_ERROR "libklsrv32.so not installed under ${prefix}")
endif()
list(GET libraries 0 library)
get_filename_component(libdir ${library} DIRECTORY)

# The installed klcli finds the installed library by itself.
run(${prefix}/bin/klcli --help)

# find_package
run(${CMAKE_COMMAND} -S ${EXAMPLES_DIR} -B ${WORK_DIR}/cmake -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=-Werror ${C_FLAGS}"
    -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake)

# pkg-config, as docs/getting-started.md builds them
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${libdir}/pkgconfig)
run(${PKG_CONFIG} --cflags --libs klsrv32)
separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
run(${PKG_CONFIG} --variable=libdir klsrv32)
string(STRIP "${run_output}" pc_libdir)
separate_arguments(extra_flags UNIX_COMMAND "${C_FLAGS}")
file(GLOB sources ${EXAMPLES_DIR}/*.c)
file(MAKE_DIRECTORY ${WORK_DIR}/pkg-config)
set(programs)
foreach(source ${sources})
  get_filename_component(name ${source} NAME_WE)
  run(${C_COMPILER} -std=c11 -Wall -Wextra -pedantic -Werror ${extra_flags} ${source}
      -o ${WORK_DIR}/pkg-config/${name} ${pc_flags} -Wl,-rpath,${pc_libdir})
  list(APPEND programs ${WORK_DIR}/cmake/${name} ${WORK_DIR}/pkg-config/${name})
endforeach()

run(bash ${CMAKE_CURRENT_LIST_DIR}/run_examples.sh ${prefix}/bin/klserver ${EXAMPLES_DIR}
    ${WORK_DIR}/run ${programs})
