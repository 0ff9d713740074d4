# Installs the build into a fresh prefix, then builds a C program against
# the install twice, through find_package(klsrv32) and through
# pkg-config, and runs both; the installed klcli must start as well, and
# klserver must be there.
#
# -DBUILD_DIR=build -DWORK_DIR=folder -DSOURCE_DIR=tests/install
# -DC_COMPILER=cc -DGENERATOR=Ninja -DC_FLAGS=... (sanitizer flags, may be empty)

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

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
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/consumer -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${C_FLAGS}"
    -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(${WORK_DIR}/consumer/consumer)

# pkg-config
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${libdir}/pkgconfig)
run(${PKG_CONFIG} --cflags --libs klsrv32)
separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
separate_arguments(extra_flags UNIX_COMMAND "${C_FLAGS}")
run(${C_COMPILER} ${extra_flags} ${SOURCE_DIR}/consumer.c -o ${WORK_DIR}/consumer_pc ${pc_flags})
run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${WORK_DIR}/consumer_pc)
if(NOT run_output MATCHES "klsrv32 [0-9]")
  message(FATAL_ERROR "unexpected output: ${run_output}")
endif()
