# Install rules: the library as a system library (versioned object, SONAME
# link and the unversioned link that cash-register software dlopens), the
# headers, ecrbridge.pc, the CMake package ecrbridge::ecrbridge, the two tools,
# the man pages, README and LICENSE.  Debug information is split off at
# install time into lib/debug/.build-id/, where gdb looks for it.
#
# Components: Runtime (the library and its links), Development (headers,
# pkg-config and CMake files, libecrbridge(3)), Tools (ecrcli, ecrsim and
# their pages), Debug (the separated debug information).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Installing (and packaging) builds only what it installs, not the tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# The library goes to the multiarch directory on Debian systems, where the
# loader and pkg-config of its architecture look (i386, or the amd64 build).
set(ECR_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR})
if(CMAKE_INSTALL_LIBDIR STREQUAL "lib" AND EXISTS /etc/debian_version)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(ECR_INSTALL_LIBDIR lib/i386-linux-gnu)
  else()
    set(ECR_INSTALL_LIBDIR lib/x86_64-linux-gnu)
  endif()
endif()
set(ECR_INSTALL_CMAKEDIR ${ECR_INSTALL_LIBDIR}/cmake/ecrbridge)
set(ECR_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/ecrbridge)

find_program(ECR_OBJCOPY NAMES objcopy REQUIRED)
find_program(ECR_READELF NAMES readelf REQUIRED)
find_program(ECR_GZIP NAMES gzip REQUIRED)

# ---- The library -------------------------------------------------------------
# The unversioned link belongs to the runtime: applications dlopen
# "libecrbridge.so" by that name.
install(TARGETS ecrbridge EXPORT ecrbridgeTargets
  LIBRARY DESTINATION ${ECR_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES README.md LICENSE DESTINATION ${ECR_INSTALL_DOCDIR} COMPONENT Runtime)

# ---- Tools ------------------------------------------------------------------------
install(TARGETS ecrcli ecrsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Tools)

# ---- Debug information -----------------------------------------------------
# For each installed object: its debug sections go, compressed, to
# lib/debug/.build-id/xx/yyyy.debug (Debug component, taken from the object in
# the build tree); the installed copy is stripped (its own component).
set(ECR_SPLIT_DEBUG_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/split_debug.cmake)
function(ecr_install_split_debug target dir component)
  install(CODE "
    set(ECR_MODE strip)
    set(ECR_OBJECT \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${dir}/$<TARGET_FILE_NAME:${target}>\")
    set(ECR_OBJCOPY \"${ECR_OBJCOPY}\")
    include(\"${ECR_SPLIT_DEBUG_SCRIPT}\")" COMPONENT ${component})
  install(CODE "
    set(ECR_MODE keep-debug)
    set(ECR_OBJECT \"$<TARGET_FILE:${target}>\")
    set(ECR_DEBUG_DIR \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/debug/.build-id\")
    set(ECR_OBJCOPY \"${ECR_OBJCOPY}\")
    set(ECR_READELF \"${ECR_READELF}\")
    include(\"${ECR_SPLIT_DEBUG_SCRIPT}\")" COMPONENT Debug)
endfunction()
ecr_install_split_debug(ecrbridge ${ECR_INSTALL_LIBDIR} Runtime)
ecr_install_split_debug(ecrcli ${CMAKE_INSTALL_BINDIR} Tools)
ecr_install_split_debug(ecrsim ${CMAKE_INSTALL_BINDIR} Tools)

# ---- Headers, pkg-config, CMake package --------------------------------------
install(FILES include/ecrbridge.h include/ecrbridge_protocol.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)

# ecrbridge.pc finds the prefix from its own place, so the installed tree can
# be moved (and installed with --prefix) without rewriting it.
file(RELATIVE_PATH ECR_PC_PREFIX "/prefix/${ECR_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" ECR_PC_PREFIX "${ECR_PC_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/ecrbridge.pc.in ${CMAKE_BINARY_DIR}/ecrbridge.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/ecrbridge.pc
  DESTINATION ${ECR_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)

install(EXPORT ecrbridgeTargets NAMESPACE ecrbridge::
  DESTINATION ${ECR_INSTALL_CMAKEDIR} COMPONENT Development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/ecrbridgeConfig.cmake.in
  ${CMAKE_BINARY_DIR}/ecrbridgeConfig.cmake INSTALL_DESTINATION ${ECR_INSTALL_CMAKEDIR})
# A 64-bit project is refused: the library is 32-bit only.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/ecrbridgeConfigVersion.cmake
  VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/ecrbridgeConfig.cmake ${CMAKE_BINARY_DIR}/ecrbridgeConfigVersion.cmake
  DESTINATION ${ECR_INSTALL_CMAKEDIR} COMPONENT Development)

# ---- Man pages (installed compressed, as the distributions ship them) --------
set(ECR_MAN_PAGES ecrcli.1:Tools ecrsim.1:Tools libecrbridge.3:Development)
set(ECR_MAN_OUTPUTS "")
foreach(entry ${ECR_MAN_PAGES})
  string(REPLACE ":" ";" parts ${entry})
  list(GET parts 0 page)
  list(GET parts 1 component)
  string(REGEX MATCH "[0-9]$" section ${page})
  set(out ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${ECR_GZIP} -9n -c ${CMAKE_SOURCE_DIR}/man/${page} > ${out}
    DEPENDS ${CMAKE_SOURCE_DIR}/man/${page} VERBATIM)
  list(APPEND ECR_MAN_OUTPUTS ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${ECR_MAN_OUTPUTS})
# Installing needs them: they come with the library, whatever target was built.
add_dependencies(ecrbridge man_pages)

include(${CMAKE_CURRENT_LIST_DIR}/package.cmake OPTIONAL)
