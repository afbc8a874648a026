# SPDX-License-Identifier: MIT
# Copyright The Kvitor authors
# `make package` (scripts/package): Debian packages of what `cmake --install`
# puts under /usr, one per install component, their library dependencies found
# by dpkg-shlibdeps:
#   kvitor-cli    cli    the command line, its man page, completion, catalogues
#   kvitor        gui    the window, its desktop entry, metainfo and icon
#   kvitor-tools  tools  kvitor-fn-emulator, the emulated storage on a terminal

# The package's version: the four numbers for a release, with +git<commit>
# for any other build (scripts/package decides). The programs always show the
# four numbers.
set(KVITOR_PACKAGE_VERSION "" CACHE STRING "The Debian packages' version (empty: the project's)")
set(package_version "${KVITOR_PACKAGE_VERSION}")
if(NOT package_version)
  set(package_version "${PROJECT_VERSION}")
endif()
# Who answers for the packages: Debian's own DEBFULLNAME and DEBEMAIL, else the
# support address, else the author of the commit built.
set(KVITOR_PACKAGE_MAINTAINER "" CACHE STRING "The packages' maintainer, Name <mail>")
set(maintainer "${KVITOR_PACKAGE_MAINTAINER}")
if(NOT maintainer AND DEFINED ENV{DEBEMAIL})
  set(maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
elseif(NOT maintainer AND KVITOR_SUPPORT_MAIL)
  set(maintainer "The Kvitor authors <${KVITOR_SUPPORT_MAIL}>")
endif()
find_package(Git QUIET)
if(NOT maintainer AND GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} log -1 "--format=%an <%ae>"
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE maintainer
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT maintainer)
  set(maintainer "The Kvitor authors")
endif()
# The date of the changelog's unreleased entry: the commit's, so that a build
# does not depend on when it ran.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(changelog_epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  set(changelog_epoch "")
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
      WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE changelog_epoch
      OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT changelog_epoch)
    string(TIMESTAMP changelog_epoch "%s" UTC)
  endif()
endif()

# A native package's changelog is share/doc/<package>/changelog.gz in
# Debian's form; each package carries it and the licence as copyright.
set(changelog ${PROJECT_BINARY_DIR}/changelog)
add_custom_command(OUTPUT ${changelog}.gz
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/debian-changelog ${PROJECT_SOURCE_DIR}/CHANGELOG.md
    ${package_version} ${maintainer} ${changelog_epoch} > ${changelog}
  COMMAND ${GZIP_EXECUTABLE} -9 -n -f ${changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/scripts/debian-changelog
  VERBATIM)
add_custom_target(kvitor_changelog ALL DEPENDS ${changelog}.gz)

set(CPACK_COMPONENTS_ALL cli tools)
if(KVITOR_BUILD_GUI)
  list(APPEND CPACK_COMPONENTS_ALL gui)
endif()
foreach(component ${CPACK_COMPONENTS_ALL})
  set(package kvitor-${component})
  if(component STREQUAL "gui")
    set(package kvitor)
  endif()
  string(TOUPPER ${component} COMPONENT)
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${COMPONENT}_FILE_NAME DEB-DEFAULT)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
    RENAME copyright COMPONENT ${component})
  install(FILES ${changelog}.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
    COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_PACKAGE_NAME kvitor)
set(CPACK_PACKAGE_VERSION ${package_version})
set(CPACK_DEBIAN_PACKAGE_VERSION ${package_version})
set(CPACK_PACKAGE_VENDOR "The Kvitor authors")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${maintainer}")
set(CPACK_PACKAGE_CONTACT "${maintainer}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(KVITOR_HOMEPAGE)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${KVITOR_HOMEPAGE}")
endif()
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build.*/;/\\\\.git/")

# Each package's own summary line, then its extended description (lines under
# 80 characters). CPackDeb puts a summary of its own before them unless that
# is CPack's default one.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_DEBIAN_CLI_DESCRIPTION "read a fiscal storage's documents from the command line
Kvitor reads the fiscal documents kept in a cash register's fiscal storage,
by number, and saves them as a report: a binary file with a checksum and a
text file. It only ever reads the storage.
.
This package holds kvitor-cli, the command-line program: it reads a storage
and shows saved reports as text, JSON or CSV. It needs no graphical system.")
set(CPACK_DEBIAN_GUI_DESCRIPTION "read a fiscal storage's documents (desktop program)
Kvitor reads the fiscal documents kept in a cash register's fiscal storage,
by number, and saves them as a report: a binary file with a checksum and a
text file. It only ever reads the storage.
.
This package holds kvitor, the Qt desktop program.")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "emulated fiscal storage for trying Kvitor without one
Kvitor reads the fiscal documents kept in a cash register's fiscal storage.
.
This package holds kvitor-fn-emulator: it serves an emulated storage over
the storage's serial protocol on a pseudo-terminal, so that Kvitor's programs
can read over a serial line without a cash register.")
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "kvitor-cli (= ${package_version})")
# Qt's own texts (buttons, the file dialog) in the user's language.
set(CPACK_DEBIAN_GUI_PACKAGE_RECOMMENDS qt6-translations-l10n)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS kvitor-cli)
include(CPack)
