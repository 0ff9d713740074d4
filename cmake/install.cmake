# The install of the Linux build: the header, the shared library (with
# its SONAME link), klcli and klserver when they are built, a pkg-config
# file and a CMake package (find_package(klsrv32) gives klsrv32::klsrv32).

include(CMakePackageConfigHelpers)

set(KL_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/klsrv32)

install(TARGETS klsrv32 EXPORT klsrv32Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/klsrv32.h ${PROJECT_BINARY_DIR}/include/klsrv32_version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

foreach(program klcli klserver)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(EXPORT klsrv32Targets NAMESPACE klsrv32:: DESTINATION ${KL_CMAKE_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/klsrv32Config.cmake.in
  ${PROJECT_BINARY_DIR}/klsrv32Config.cmake
  INSTALL_DESTINATION ${KL_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/klsrv32ConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/klsrv32Config.cmake
              ${PROJECT_BINARY_DIR}/klsrv32ConfigVersion.cmake
        DESTINATION ${KL_CMAKE_PACKAGE_DIR})

# The pkg-config file finds the prefix from its own folder (pkg-config's
# ${pcfiledir}, LIBDIR/pkgconfig), so an install moved elsewhere, such as
# the unpacked tarball of scripts/package.sh, still works.  Only an
# absolute LIBDIR pins the file to the prefix the install goes to, which
# `cmake --install --prefix` may change after configuring: it is written
# when the install runs.
set(KL_PC_FILE ${PROJECT_BINARY_DIR}/klsrv32.pc)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KL_PC_PREFIX_CODE "set(KL_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")")
else()
  # One ".." for pkgconfig/ and one for each folder of LIBDIR.
  set(KL_PC_PREFIX "\${pcfiledir}/..")
  string(REPLACE "/" ";" KL_LIBDIR_PARTS "${CMAKE_INSTALL_LIBDIR}")
  foreach(part IN LISTS KL_LIBDIR_PARTS)
    if(NOT part STREQUAL "" AND NOT part STREQUAL ".")
      string(APPEND KL_PC_PREFIX "/..")
    endif()
  endforeach()
  set(KL_PC_PREFIX_CODE "set(KL_PC_PREFIX [=[${KL_PC_PREFIX}]=])")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(KL_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(KL_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
install(CODE "
  ${KL_PC_PREFIX_CODE}
  set(KL_PC_LIBDIR [=[${KL_PC_LIBDIR}]=])
  set(KL_PC_INCLUDEDIR [=[${KL_PC_INCLUDEDIR}]=])
  set(KL_PC_VERSION ${PROJECT_VERSION})
  configure_file([=[${CMAKE_CURRENT_LIST_DIR}/klsrv32.pc.in]=] [=[${KL_PC_FILE}]=] @ONLY)
")
install(FILES ${KL_PC_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
