# SPDX-License-Identifier: MIT
# Debian packages, one per install component:
#   runtime -> libtamb0      the shared libraries, by soname
#   dev     -> libtamb-dev   headers, tamb.pc, the CMake package, the unversioned .so links
#   tools   -> tamb-tools    every installed tool and its manual page
# Configure with -DCMAKE_INSTALL_PREFIX=/usr so that GNUInstallDirs picks the multiarch libdir,
# then build the target tamb-debs (`make package` does both). The packages install under /usr
# whatever prefix the build was configured for.

# CPack runs this file again once the packages exist (CPACK_POST_BUILD_SCRIPTS), to hand the
# library package's ldconfig run to dpkg's trigger, as Debian wants: CPack writes postinst and
# postrm scripts that call ldconfig themselves.
if(DEFINED CPACK_PACKAGE_FILES)
  foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    get_filename_component(name ${deb} NAME)
    if(NOT name MATCHES "^${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME}_")
      continue()
    endif()
    set(tree ${CPACK_TOPLEVEL_DIRECTORY}/ldconfig-trigger)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND dpkg-deb -R ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
    file(WRITE ${tree}/DEBIAN/triggers "activate-noawait ldconfig\n")
    execute_process(COMMAND dpkg-deb --root-owner-group -b ${tree} ${deb}
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${tree})
  endforeach()
  return()
endif()

set(TAMB_DEB_MAINTAINER
    "libtamb maintainers <maintainers@users.noreply.c-seed-71e02f43.example>")
set(TAMB_DEB_RELEASE 1)
set(TAMB_DEB_VERSION "${PROJECT_VERSION}-${TAMB_DEB_RELEASE}")
set(TAMB_DEB_DIR ${PROJECT_BINARY_DIR}/debian)

# Manual pages, compressed the way Debian wants them (no name or time stamp in the gzip header,
# so that two builds give the same bytes). A tool gets its page when tools/ installs it.
get_property(tamb_installed_tools GLOBAL PROPERTY TAMB_INSTALLED_TOOLS)
set(tamb_doc_outputs "")
foreach(tool IN LISTS tamb_installed_tools)
  set(page ${PROJECT_SOURCE_DIR}/man/${tool}.1)
  if(NOT EXISTS ${page})
    message(WARNING "${tool} is installed without a manual page: add man/${tool}.1")
    continue()
  endif()
  set(gz ${PROJECT_BINARY_DIR}/man/${tool}.1.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E copy ${page} ${PROJECT_BINARY_DIR}/man/${tool}.1
    COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/man/${tool}.1
    DEPENDS ${page} VERBATIM)
  list(APPEND tamb_doc_outputs ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endforeach()

# Every package carries its copyright file and Debian changelog in /usr/share/doc/<package>.
# They describe the Debian packages, not the library: only a component install (what CPack
# does) puts them in place, a plain `cmake --install` leaves them out.
string(TIMESTAMP tamb_deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${TAMB_DEB_DIR}/changelog.Debian
  "libtamb (${TAMB_DEB_VERSION}) unstable; urgency=medium\n\n"
  "  * Package libtamb ${PROJECT_VERSION}.\n\n"
  " -- ${TAMB_DEB_MAINTAINER}  ${tamb_deb_date}\n")
# The copyright file in Debian's machine-readable format, with the licence's text from LICENSE.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE tamb_license_text)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/LICENSE)
string(REGEX REPLACE "^MIT License\n\n[^\n]*\n\n" "" tamb_license_text "${tamb_license_text}")
string(REGEX REPLACE "\n$" "" tamb_license_text "${tamb_license_text}")
# Each line of the licence's text is indented by one blank, and its empty lines become " .".
string(REPLACE "\n\n" "\n.\n" tamb_license_text "${tamb_license_text}")
string(REPLACE "\n" "\n " tamb_license_text " ${tamb_license_text}")
file(WRITE ${TAMB_DEB_DIR}/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: libtamb\n"
  "Upstream-Contact: ${TAMB_DEB_MAINTAINER}\n\n"
  "Files: *\n"
  "Copyright: 2026 the libtamb developers\n"
  "License: Expat\n"
  "${tamb_license_text}\n")
add_custom_command(OUTPUT ${TAMB_DEB_DIR}/changelog.Debian.gz
  COMMAND gzip -9nkf ${TAMB_DEB_DIR}/changelog.Debian
  DEPENDS ${TAMB_DEB_DIR}/changelog.Debian VERBATIM)
list(APPEND tamb_doc_outputs ${TAMB_DEB_DIR}/changelog.Debian.gz)
add_custom_target(tamb-deb-docs ALL DEPENDS ${tamb_doc_outputs})

set(tamb_deb_components runtime dev tools)
set(tamb_deb_package_runtime libtamb${PROJECT_VERSION_MAJOR})
set(tamb_deb_package_dev libtamb-dev)
set(tamb_deb_package_tools tamb-tools)
foreach(component IN LISTS tamb_deb_components)
  install(FILES ${TAMB_DEB_DIR}/copyright ${TAMB_DEB_DIR}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${tamb_deb_package_${component}}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libtamb)
set(CPACK_PACKAGE_VENDOR "the libtamb developers")
set(CPACK_PACKAGE_CONTACT ${TAMB_DEB_MAINTAINER})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
set(CPACK_COMPONENTS_ALL ${tamb_deb_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TAMB_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TAMB_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE libtamb)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${tamb_deb_package_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "shared core of a low-latency audio connection server
libtamb is the library that audio applications and the audio server share to
exchange audio and MIDI through shared-memory buffers once per process cycle,
to follow and steer one shared transport, to keep metadata properties of
clients and ports, to convert between frames and microseconds, and to check
whether a machine is ready for real-time audio.
.
This package holds the shared libraries libtamb and libtamb_playhead, the
transport engine that the server links.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${tamb_deb_package_dev})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${tamb_deb_package_runtime} (= ${TAMB_DEB_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "shared core of a low-latency audio connection server - development files
libtamb is the library that audio applications and the audio server share to
exchange audio and MIDI through shared-memory buffers, to follow one shared
transport and to keep metadata properties of clients and ports.
.
This package holds the C and C++ headers, the pkg-config file tamb.pc and the
CMake package for find_package(tamb).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${tamb_deb_package_tools})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# The tools link the library of the same build. dpkg-shlibdeps finds it in the library's
# staging directory (a sibling of each package's own) but cannot tell which package holds it:
# that dependency is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  "../runtime${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${tamb_deb_package_runtime} (= ${TAMB_DEB_VERSION})")
# One line each, in the package description; the last line of a description loses its indent.
set(tamb_tool_summary_tamb-sanity "tamb-sanity: is this machine ready for real-time audio?")
set(tamb_tool_summary_tamb-property "tamb-property: read and change metadata properties")
set(tamb_tool_summary_tamb-shm
  "tamb-shm: list the shared-memory registry, free what dead processes left")
set(tamb_tool_summaries "")
foreach(tool IN LISTS tamb_installed_tools)
  if(DEFINED tamb_tool_summary_${tool})
    string(APPEND tamb_tool_summaries "\n - ${tamb_tool_summary_${tool}}")
  endif()
endforeach()
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "tools for the shared core of a low-latency audio connection server
libtamb is the library that audio applications and the audio server share to
exchange audio and MIDI through shared memory.
.
This package holds its command-line tools:${tamb_tool_summaries}
")

set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_FILE})

include(CPack)

# Packages of a sanitized build would need the sanitizer runtimes on every machine.
if(NOT TAMB_SANITIZED)
  add_custom_target(tamb-debs
    COMMAND ${CMAKE_CPACK_COMMAND} -G DEB --config ${PROJECT_BINARY_DIR}/CPackConfig.cmake
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
    COMMENT "Building the Debian packages in ${PROJECT_BINARY_DIR}"
    VERBATIM)
  add_dependencies(tamb-debs tamb tamb_playhead tamb-deb-docs ${tamb_installed_tools})
endif()
