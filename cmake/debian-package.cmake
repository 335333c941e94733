# Install rules and the Debian package, laid out as Debian policy asks:
#   /usr/sbin/kvtapefw                 (it needs root for the tape devices)
#   /usr/bin/kvtapefw-sign-catalogue   signs a catalogue (scripts/sign-catalogue.sh);
#                                      run where the private key is, no root needed
#   /usr/share/man/man8/kvtapefw.8.gz  (system administration)
#   /usr/share/man/man1/kvtapefw-sign-catalogue.1.gz
#   /usr/share/doc/kvtapefw/           README, the schemas, simulated-bus.md, copyright, changelog.gz,
#                                      examples/ (without the Windows release's files)
#   /var/lib/kvtapefw/vtxsystem/log    where the setup log goes by default; the
#                                      program never creates it, so the
#                                      package ships it
#   /etc/kvtapefw/trusted-keys         the public keys a firmware catalogue
#                                      must be signed by; shipped empty (no
#                                      key: catalogues are read unsigned)
#   /etc/logrotate.d/kvtapefw          the setup log rotated weekly, 12 kept; the
#                                      run history (history.jsonl) is never rotated
#   /usr/share/kvtapefw/ansible/       the Ansible role and playbooks (their
#                                      READMEs go with the documentation)
# Purging the package removes /var/lib/kvtapefw, the run history with it
# (packaging/postrm).
# scripts/package.sh builds the package from a clean build with Debian's
# hardening flags; the sources of the copyright and changelog files are in
# packaging/.
include(GNUInstallDirs)

set(KVFW_PACKAGE_MAINTAINER "kvtapefw maintainers <maintainers@kvtapefw.example>"
  CACHE STRING "Maintainer field of the Debian package")

# The changelog's latest entry names the version it describes; a release
# whose changelog was not brought up to date fails here, not in lintian.
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/changelog kvfw_changelog_head LIMIT_COUNT 1)
if(NOT kvfw_changelog_head MATCHES "^kvtapefw \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog does not begin with version ${PROJECT_VERSION}: ${kvfw_changelog_head}")
endif()

# Debian keeps manual pages and changelogs compressed with gzip -9n (-n: no
# name or time stamp in the header, so the package is reproducible).
set(kvfw_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/kvtapefw)
set(kvfw_gzipped)
foreach(pair "docs/kvtapefw.8:kvtapefw.8" "docs/kvtapefw-sign-catalogue.1:kvtapefw-sign-catalogue.1"
             "packaging/changelog:changelog")
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 source)
  list(GET pair 1 name)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/gz/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/${source} ${CMAKE_BINARY_DIR}/gz/${name}
    COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/gz/${name}
    DEPENDS ${CMAKE_SOURCE_DIR}/${source}
    VERBATIM)
  list(APPEND kvfw_gzipped ${CMAKE_BINARY_DIR}/gz/${name}.gz)
endforeach()
add_custom_target(kvtapefw_gzipped_docs ALL DEPENDS ${kvfw_gzipped})

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS kvtapefw RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
# A stripped install (cpack with CPACK_STRIP_FILES, cmake --install --strip)
# strips as Debian's dh_strip does, also dropping the compilers' version
# strings (.comment) that a plain strip keeps.
install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note --strip-unneeded
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/kvtapefw\" COMMAND_ERROR_IS_FATAL ANY)
endif()")
install(PROGRAMS scripts/sign-catalogue.sh DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME kvtapefw-sign-catalogue)
install(FILES ${CMAKE_BINARY_DIR}/gz/kvtapefw.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_BINARY_DIR}/gz/kvtapefw-sign-catalogue.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md docs/run-report.schema.json docs/drive-list.schema.json docs/history.schema.json
              docs/simulated-bus.md packaging/copyright ${CMAKE_BINARY_DIR}/gz/changelog.gz
        DESTINATION ${kvfw_doc_dir})
# The Windows release's catalogue and images belong to its archive, not here.
install(DIRECTORY examples/ DESTINATION ${kvfw_doc_dir}/examples PATTERN "windows-release" EXCLUDE)
install(DIRECTORY DESTINATION /var/lib/kvtapefw/vtxsystem/log)
install(DIRECTORY DESTINATION /etc/kvtapefw/trusted-keys)
install(FILES packaging/logrotate DESTINATION /etc/logrotate.d RENAME kvtapefw)
# The role and playbooks as they are in the tree; a README is documentation,
# and compiled Python left by a test run is no part of it.
install(DIRECTORY deploy/ansible/ DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/kvtapefw/ansible
        PATTERN "README.md" EXCLUDE PATTERN "__pycache__" EXCLUDE PATTERN "*.pyc" EXCLUDE)
install(FILES deploy/ansible/roles/kvtapefw/README.md DESTINATION ${kvfw_doc_dir} RENAME ansible-role.md)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kvtapefw)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KVFW_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# CPack puts the summary on the Description line; this is the text below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "kvtapefw updates the firmware of the maker's SCSI tape drives through the
Linux SCSI generic driver, each command written to the drive's sg node as an
sg_io_hdr. It scans the tape devices, matches each
drive to a firmware catalogue, and either flashes every drive that runs older
firmware and verifies the result, or writes the plan to an XML document that
an administrator edits and replays. Its exit code tells a deployment tool the
outcome. A simulated bus lets a rollout be rehearsed without touching a drive.")
# Dependencies come from the libraries the program links (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# sg3_utils shows what the kernel sees of a drive (sg_inq, sg_map) when a
# drive is not found; the signing script needs openssl, on the host that signs.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "sg3-utils, openssl")
# The logrotate rule is the administrator's to change: a conffile. Purge
# removes the state folder.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/conffiles ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
