# The Debian packages of the i386 build (the shipped one) and of the amd64
# build (preset amd64), built by CPack from the install components:
#   libecrbridge1      the library (with the libecrbridge.so link that
#                      applications dlopen), headers, pkg-config and CMake
#                      files, ecrcli, ecrsim, man pages;
#   libecrbridge1-dbg  the separated debug information.
# Dependencies come from dpkg-shlibdeps.  Build with
#   cpack -G DEB --config build/i386/CPackConfig.cmake   (or build/amd64; tools/package.sh does both)
option(ECR_PACKAGE_AMD64 "package this 64-bit build" OFF)
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4 AND NOT ECR_PACKAGE_AMD64)
  return()
endif()

set(ECR_DEB_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})
set(ECR_DEB_RELEASE 1)
set(ECR_DEB_MAINTAINER "ecrbridge maintainers <maintainers@ecrbridge.example.org>")

# Debian's copyright file (machine-readable format) from LICENSE, and the
# packaging changelog, one per package.
file(READ ${CMAKE_SOURCE_DIR}/LICENSE ECR_LICENSE_TEXT)
string(REGEX REPLACE "\n$" "" ECR_LICENSE_TEXT "${ECR_LICENSE_TEXT}")
string(REGEX REPLACE "^MIT License\n\n" "" ECR_LICENSE_TEXT "${ECR_LICENSE_TEXT}")
string(REGEX REPLACE "^Copyright [^\n]*\n\n" "" ECR_LICENSE_TEXT "${ECR_LICENSE_TEXT}")
string(REPLACE "\n\n" "\n.\n" ECR_LICENSE_TEXT "${ECR_LICENSE_TEXT}")
string(REPLACE "\n" "\n " ECR_LICENSE_TEXT " ${ECR_LICENSE_TEXT}")
file(WRITE ${CMAKE_BINARY_DIR}/deb/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ecrbridge

Files: *
Copyright: 2026 the ecrbridge authors
License: Expat

License: Expat
${ECR_LICENSE_TEXT}
")

foreach(pkg libecrbridge1 libecrbridge1-dbg)
  file(WRITE ${CMAKE_BINARY_DIR}/deb/${pkg}/changelog.Debian
"${pkg} (${ECR_DEB_VERSION}-${ECR_DEB_RELEASE}) unstable; urgency=medium

  * Release ${ECR_DEB_VERSION}.

 -- ${ECR_DEB_MAINTAINER}  Tue, 08 Dec 2026 09:00:00 +0000
")
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/deb/${pkg}/changelog.Debian.gz
    COMMAND ${ECR_GZIP} -9n -c ${CMAKE_BINARY_DIR}/deb/${pkg}/changelog.Debian
            > ${CMAKE_BINARY_DIR}/deb/${pkg}/changelog.Debian.gz
    DEPENDS ${CMAKE_BINARY_DIR}/deb/${pkg}/changelog.Debian VERBATIM)
  list(APPEND ECR_DEB_CHANGELOGS ${CMAKE_BINARY_DIR}/deb/${pkg}/changelog.Debian.gz)
endforeach()
add_custom_target(deb_changelogs ALL DEPENDS ${ECR_DEB_CHANGELOGS})

# Only the packages carry these (a plain install has share/doc/ecrbridge).
install(FILES ${CMAKE_BINARY_DIR}/deb/copyright ${CMAKE_BINARY_DIR}/deb/libecrbridge1/changelog.Debian.gz
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libecrbridge1 COMPONENT DebianDoc EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_BINARY_DIR}/deb/copyright ${CMAKE_BINARY_DIR}/deb/libecrbridge1-dbg/changelog.Debian.gz
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libecrbridge1-dbg COMPONENT DebianDbgDoc EXCLUDE_FROM_ALL)

# The loader cache is refreshed through libc's ldconfig trigger.
file(WRITE ${CMAKE_BINARY_DIR}/deb/triggers "activate-noawait ldconfig\n")
# Tags that this package raises on purpose, each with its reason.
file(WRITE ${CMAKE_BINARY_DIR}/deb/lintian-overrides
"# Cash-register software opens the library with dlopen(\"libecrbridge.so\"),
# so the unversioned link must come with the runtime library.
libecrbridge1: link-to-shared-library-in-wrong-package *
# CPack writes ldconfig calls into postinst and postrm itself; the ldconfig
# trigger is declared as well.
libecrbridge1: maintscript-calls-ldconfig *
# Not an upload to the Debian archive: there is no bug to close.
libecrbridge1: initial-upload-closes-no-bugs *
")
file(WRITE ${CMAKE_BINARY_DIR}/deb/lintian-overrides-dbg
"# Not an upload to the Debian archive: there is no bug to close.
libecrbridge1-dbg: initial-upload-closes-no-bugs *
")
install(FILES ${CMAKE_BINARY_DIR}/deb/lintian-overrides RENAME libecrbridge1
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT DebianDoc EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_BINARY_DIR}/deb/lintian-overrides-dbg RENAME libecrbridge1-dbg
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT DebianDbgDoc EXCLUDE_FROM_ALL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libecrbridge1)
set(CPACK_PACKAGE_VERSION ${ECR_DEB_VERSION})
set(CPACK_PACKAGE_CONTACT "${ECR_DEB_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES OFF)  # the install rules strip and split already
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENTS_ALL Runtime Development Tools DebianDoc Debug DebianDbgDoc)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ECR_DEB_RELEASE})
# The shipped 32-bit build, or the amd64 build of the same library.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
  set(ECR_DEB_BITS 32-bit)
else()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  set(ECR_DEB_BITS 64-bit)
endif()
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")

set(CPACK_DEBIAN_MAIN_PACKAGE_NAME libecrbridge1)
set(CPACK_DEBIAN_MAIN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_MAIN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_MAIN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/deb/triggers)
set(CPACK_DEBIAN_MAIN_DESCRIPTION "card-payment terminal driver for cash-register software
ecrbridge drives a card-payment terminal over a serial line, TCP or UDP for
cash-register software: purchases, refunds, voids, pre-authorisations,
settlements and service operations, with the outcome through a callback.

This package holds the ${ECR_DEB_BITS} shared library with the libecrbridge.so link
that applications open by name, its headers, pkg-config and CMake files,
the command-line cash register ecrcli and the terminal simulator ecrsim.")

set(CPACK_DEBIAN_DBG_PACKAGE_NAME libecrbridge1-dbg)
set(CPACK_DEBIAN_DBG_PACKAGE_SECTION debug)
set(CPACK_DEBIAN_DBG_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DBG_PACKAGE_DEPENDS "libecrbridge1 (= ${ECR_DEB_VERSION}-${ECR_DEB_RELEASE})")
set(CPACK_DEBIAN_DBG_DESCRIPTION "debug information of the ecrbridge library and tools
ecrbridge drives a card-payment terminal for cash-register software.

This package holds the debug information of libecrbridge.so.1, ecrcli and
ecrsim, found by gdb through their build ids.")

include(CPack)
cpack_add_component_group(main)
cpack_add_component_group(dbg)
foreach(component Runtime Development Tools DebianDoc)
  cpack_add_component(${component} GROUP main)
endforeach()
foreach(component Debug DebianDbgDoc)
  cpack_add_component(${component} GROUP dbg)
endforeach()
