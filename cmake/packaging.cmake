# Release packages, made by `cpack` in a build tree. On Linux a .deb that
# puts the executable into a plug-in folder of the package's own,
# /opt/tarvik/plugins/plugin_tarvik/, and its README (the operator's
# guide), the JSON Schemas (api/), licence and changelog into
# /usr/share/doc/tarvik/; on the Windows build a .zip holding plugin_tarvik/
# with the .exe, the README, api/ and the LICENSE, and an .msi that installs
# the same files. Every entry's time is the source date, so two builds of
# one commit give the same bytes; SHA256SUMS is written beside the packages.

set(TARVIK_MAINTAINER "tarvik maintainers <maintainers@tarvik.dev>")

set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VENDOR "The tarvik authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Network-diagnostics plug-in for the nodes of a managed fleet")
set(CPACK_PACKAGE_CONTACT "${TARVIK_MAINTAINER}")
set(CPACK_STRIP_FILES OFF)  # the executables are linked stripped
set(CPACK_SOURCE_IGNORE_FILES "/build/;/\\\\.git/")
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# cpack runs long after configuring: the project file hands it the source
# date, and the post-build script writes SHA256SUMS. cpack reads the project
# file before each generator starts a program, so it takes the signing
# secrets out of the environment first; the signing steps get them from
# there (cmake/secret_file.cmake).
set(TARVIK_CPACK_PROJECT_FILE ${CMAKE_CURRENT_BINARY_DIR}/CPackProject.cmake)
file(WRITE ${TARVIK_CPACK_PROJECT_FILE}
     "include(\"${CMAKE_CURRENT_SOURCE_DIR}/cmake/secret_file.cmake\")\n"
     "tarvik_secret_take(TARVIK_SIGN_PASSWORD)\n"
     "tarvik_secret_take(TARVIK_RPM_GPG_PASSPHRASE)\n"
     "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND \"${TARVIK_SOURCE_DATE_EPOCH}\")\n"
     "  set(ENV{SOURCE_DATE_EPOCH} \"${TARVIK_SOURCE_DATE_EPOCH}\")\n"
     "endif()\n")
if(NOT WIN32)
  file(APPEND ${TARVIK_CPACK_PROJECT_FILE}
       "set(TARVIK_EXE \"${CMAKE_CURRENT_BINARY_DIR}/plugin_tarvik\")\n"
       "include(\"${CMAKE_CURRENT_SOURCE_DIR}/packaging/glibc_floor.cmake\")\n"
       "set(CPACK_DEBIAN_PACKAGE_DEPENDS \"libc6 (>= \${TARVIK_GLIBC_FLOOR})\")\n")
endif()
set(CPACK_PROJECT_CONFIG_FILE ${TARVIK_CPACK_PROJECT_FILE})
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/sha256sums.cmake)

if(WIN32)
  set(PLUGIN_DIR plugin_tarvik)
  set(DOC_DIR plugin_tarvik)
  # The archive opens to the plug-in folder itself. cpack's archive has
  # entries in the order the disk lists them, each with its owner, so the
  # post-build script writes it again with zip.py, in a fixed order.
  find_program(TARVIK_PYTHON3 python3 REQUIRED)
  set(CPACK_TARVIK_PYTHON ${TARVIK_PYTHON3})
  set(CPACK_TARVIK_ZIP_SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/packaging/windows/zip.py)
  # The same files also go into a Windows Installer package beside the
  # .zip, made by wixl in the same step (packaging/windows/release.cmake).
  # Its summary is pinned with python3-olefile, seen by Debian's python3.
  find_program(TARVIK_WIXL wixl)
  find_program(TARVIK_MSI_PYTHON3 python3 HINTS /usr/bin REQUIRED)
  set(CPACK_TARVIK_WIXL ${TARVIK_WIXL})
  set(CPACK_TARVIK_MSI_PYTHON ${TARVIK_MSI_PYTHON3})
  set(CPACK_TARVIK_MSI_NAME tarvik-${PROJECT_VERSION}-x64.msi)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tarvik-${PROJECT_VERSION}-windows-x86_64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(PACKAGE_KIND zip)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE DESTINATION ${DOC_DIR})
else()
  set(PLUGIN_DIR opt/tarvik/plugins/plugin_tarvik)
  set(DOC_DIR usr/share/doc/tarvik)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TARVIK_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_PACKAGE_DESCRIPTION
      "The host agent runs /opt/tarvik/plugins/plugin_tarvik/plugin_tarvik once\nper request as a CGI program. It answers interface, DNS, TCP and HTTP\nchecks as JSON and serves one self-contained HTML page.")
  # libstdc++ and libgcc are linked in; only the C library is needed, at
  # the newest symbol version the executable takes from it, which the
  # project file reads from the built executable when cpack runs. (This
  # machine's dpkg-shlibdeps knows its own C library only, not the
  # sysroot's, nor a cross build's architecture.)
  # dpkg names the build machine's architecture; a cross build names its own.
  if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  endif()
  set(PACKAGE_KIND deb)

  # The Debian changelog is made from CHANGELOG.md at build time.
  set(deb_changelog ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz)
  add_custom_command(
    OUTPUT ${deb_changelog}
    COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md
            -DOUT=${deb_changelog} -DPACKAGE=tarvik "-DMAINTAINER=${TARVIK_MAINTAINER}"
            -P ${CMAKE_CURRENT_SOURCE_DIR}/packaging/deb/changelog.cmake
    DEPENDS CHANGELOG.md packaging/deb/changelog.cmake
    COMMENT "Making the Debian changelog" VERBATIM)
  add_custom_target(deb_changelog ALL DEPENDS ${deb_changelog})
  configure_file(packaging/deb/copyright.in ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright @ONLY)
  install(FILES ${deb_changelog} ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright
          DESTINATION ${DOC_DIR})
  install(FILES packaging/deb/lintian-overrides DESTINATION usr/share/lintian/overrides
          RENAME tarvik)
endif()

# Beside the .deb an .rpm for the Red Hat and SUSE families, with the same
# layout: the executable in the plug-in folder, and the operator's guide,
# the schemas, LICENSE and CHANGELOG.md in /usr/share/doc/tarvik/.
if(NOT WIN32)
  list(APPEND CPACK_GENERATOR RPM)
  set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
  set(CPACK_RPM_PACKAGE_RELEASE 1)
  set(CPACK_RPM_PACKAGE_LICENSE "Apache-2.0")
  set(CPACK_RPM_PACKAGE_URL "https://tarvik.dev/")
  set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
  set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
  # The plug-in folder is where the host agent looks: no Prefix to move it.
  set(CPACK_PACKAGE_RELOCATABLE OFF)
  if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_RPM_PACKAGE_ARCHITECTURE aarch64)
  endif()
  # Requires come from the executable through rpm's own generator
  # (libc.so.6(GLIBC_2.17)(64bit) and the like), so they follow the C
  # library the build links against.
  set(CPACK_RPM_PACKAGE_AUTOREQPROV ON)
  # gzip, which every rpm back to RHEL 7's reads.
  set(CPACK_RPM_COMPRESSION_TYPE gzip)
  # The executable is linked stripped and packed as built: none of rpm's
  # post-install steps (strip, comment-note removal) touches it.
  set(CPACK_RPM_SPEC_INSTALL_POST /bin/true)
  # Every time stamp is the source date (the build time, and the file times,
  # which rpm/stage.cmake sets and rpmbuild clamps; the changelog's dates
  # are those of CHANGELOG.md), the build host a fixed name, and there are
  # no build-id links, which the .deb does not carry either.
  string(JOIN "\n" CPACK_RPM_SPEC_MORE_DEFINE
         "%define _buildhost tarvik.build"
         "%define packager ${TARVIK_MAINTAINER}"
         "%define use_source_date_epoch_as_buildtime 1"
         "%define clamp_mtime_to_source_date_epoch 1"
         "%define _build_id_links none")
  # The package owns its own folders only, and none of the .deb's files.
  set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /opt
      /usr/share/lintian /usr/share/lintian/overrides /usr/share/lintian/overrides/tarvik
      /${DOC_DIR}/copyright /${DOC_DIR}/changelog.gz)
  set(CPACK_TARVIK_DOC_DIR ${DOC_DIR})
  set(CPACK_TARVIK_RPM_DOCS ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/CHANGELOG.md)
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/rpm/stage.cmake)
  set(CPACK_RPM_USER_FILELIST "%license /${DOC_DIR}/LICENSE" "%doc /${DOC_DIR}/CHANGELOG.md"
      "%doc /${DOC_DIR}/README.md" "%doc /${DOC_DIR}/api")
  # The RPM changelog is the Debian one, rewritten.
  set(rpm_changelog ${CMAKE_CURRENT_BINARY_DIR}/rpm/changelog)
  add_custom_command(
    OUTPUT ${rpm_changelog}
    COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_CURRENT_BINARY_DIR}/debian/changelog
            -DOUT=${rpm_changelog} -DRELEASE=${CPACK_RPM_PACKAGE_RELEASE}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/packaging/rpm/changelog.cmake
    DEPENDS ${deb_changelog} packaging/rpm/changelog.cmake
    COMMENT "Making the RPM changelog" VERBATIM)
  add_custom_target(rpm_changelog ALL DEPENDS ${rpm_changelog})
  set(CPACK_RPM_CHANGELOG_FILE ${rpm_changelog})
  # The generators in the order they run: the first starts SHA256SUMS.
  set(CPACK_TARVIK_GENERATORS ${CPACK_GENERATOR})
endif()

install(TARGETS plugin_tarvik RUNTIME DESTINATION ${PLUGIN_DIR})
# What an operator needs: the operator's guide as the package's README, and
# the JSON Schemas of the documents with their notes.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/docs/OPERATING.md DESTINATION ${DOC_DIR}
        RENAME README.md)
file(GLOB TARVIK_SCHEMAS ${CMAKE_CURRENT_SOURCE_DIR}/docs/api/*.schema.json)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/docs/api/README.md ${TARVIK_SCHEMAS}
        DESTINATION ${DOC_DIR}/api)

include(CPack)

# Release packages come from the release builds only; a sanitizer build
# would depend on its runtimes. The test builds the package, checks what
# is in it and how the binary is hardened, and builds it twice more from
# copies of the source to compare the bytes.
if(BUILD_TESTING AND NOT TARVIK_SANITIZE AND NOT TARVIK_FUZZ)
  # cpack lives beside cmake.
  get_filename_component(cmake_bin ${CMAKE_COMMAND} DIRECTORY)
  find_program(CPACK_PROGRAM cpack HINTS ${cmake_bin} NO_DEFAULT_PATH)
  find_program(CPACK_PROGRAM cpack)
  add_test(NAME package
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/tests/release/test_package.py)
  set_tests_properties(package PROPERTIES TIMEOUT 900 RUN_SERIAL ON SKIP_RETURN_CODE 77
    ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR};KIND=${PACKAGE_KIND};DEB_ARCH=${CPACK_DEBIAN_PACKAGE_ARCHITECTURE};CPACK=${CPACK_PROGRAM};VERSION=${PROJECT_VERSION};EXE=$<TARGET_FILE:plugin_tarvik>;SOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR};TOOLCHAIN=${CMAKE_TOOLCHAIN_FILE}")
  # The benchmark's deterministic limits on the release binary: size,
  # shared libraries and imports, and (natively) peak memory and system
  # calls against the floors. Seconds; the timings stay in bench/.
  add_test(NAME limits
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/bench/bench.py
                   --limits $<TARGET_FILE:plugin_tarvik>)
  set_tests_properties(limits PROPERTIES TIMEOUT 120)
endif()
