# The release's package repositories, made from the .deb and .rpm files of
# both Linux builds and signed by the release key that signs the .rpm:
#
#   cmake -DPACKAGES="build/linux;build/arm64" -DOUT=repos -DURL=https://...
#         -P packaging/repositories.cmake
#
# PACKAGES names the folders cpack wrote the packages into. OUT receives
#   apt/    a flat suite: dists/stable/{Release,InRelease,Release.gpg},
#           dists/stable/main/binary-{amd64,arm64}/Packages(.gz), pool/;
#   rpm/    rpm/{x86_64,aarch64}/ with the packages, repodata/ by
#           createrepo_c, and repodata/repomd.xml.asc (and .key for zypper);
#   tarvik-archive-keyring.gpg (binary, for apt's Signed-By) and
#   tarvik-release-key.asc (armoured, for rpm --import and gpgkey=);
#   tarvik.sources and tarvik.repo, the client files, pointing at URL;
#   SHA256SUMS of every file above, as `sha256sum -c` reads it.
# The key is TARVIK_RPM_GPG_KEY (a secret key file), its passphrase
# TARVIK_RPM_GPG_PASSPHRASE, as for the .rpm. Without a key nothing is made:
# a repository whose metadata is unsigned is one that nodes must not trust.
# Every date is the source date, and the signatures are made at it (or at
# the key's creation, if the key is younger), so two runs over the same
# packages with the same key give the same bytes. The Release file has no
# Valid-Until: a repository that is not re-signed would stop every node's
# updates on that day.

cmake_minimum_required(VERSION 3.25)
# The passphrase leaves the environment before any program starts.
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/secret_file.cmake)
tarvik_secret_take(TARVIK_RPM_GPG_PASSPHRASE)
if("$ENV{TARVIK_RPM_GPG_KEY}" STREQUAL "")
  message(STATUS "No TARVIK_RPM_GPG_KEY: no repository is made")
  return()
endif()
if(NOT PACKAGES OR NOT OUT OR NOT URL)
  message(FATAL_ERROR "usage: cmake -DPACKAGES=FOLDERS -DOUT=FOLDER -DURL=URL -P ${CMAKE_CURRENT_LIST_FILE}\n"
                      "URL is where the trees are published, for the client files")
endif()
string(REGEX REPLACE "/+$" "" URL "${URL}")

# The source date as every build takes it, from this source tree.
set(CMAKE_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/..)
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/source_date.cmake)
set(ENV{SOURCE_DATE_EPOCH} ${TARVIK_SOURCE_DATE_EPOCH})

foreach(tool gpg gpgconf apt-ftparchive createrepo_c rpm gzip dpkg-deb)
  string(MAKE_C_IDENTIFIER ${tool} id)
  find_program(TOOL_${id} ${tool})
  if(NOT TOOL_${id})
    message(FATAL_ERROR "the repositories need ${tool} (Debian packages gpg, apt-utils, "
                        "createrepo-c, rpm, gzip, dpkg)")
  endif()
endforeach()

# Stops with a message, leaving no keyring, agent or passphrase behind.
set(home "")
set(passphrase "")
function(fail)
  if(home)
    execute_process(COMMAND ${TOOL_gpgconf} --kill gpg-agent)
    file(REMOVE_RECURSE ${home})
  endif()
  tarvik_secret_file_remove("${passphrase}")
  message(FATAL_ERROR ${ARGN})
endfunction()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " what "${ARGN}")
    fail("${what}: ${out}")
  endif()
endfunction()

# The architectures of both builds, as each family names them.
set(DEB_ARCHES amd64 arm64)
set(RPM_ARCHES x86_64 aarch64)

# Each package goes by the architecture its own header names, not its file name.
set(debs "")
set(rpms "")
foreach(folder IN LISTS PACKAGES)
  file(GLOB found_debs ${folder}/*.deb)
  file(GLOB found_rpms ${folder}/*.rpm)
  list(APPEND debs ${found_debs})
  list(APPEND rpms ${found_rpms})
endforeach()
foreach(deb IN LISTS debs)
  execute_process(COMMAND ${TOOL_dpkg_deb} -f ${deb} Architecture OUTPUT_VARIABLE arch
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT arch IN_LIST DEB_ARCHES)
    message(FATAL_ERROR "${deb} is for '${arch}', not one of ${DEB_ARCHES}")
  endif()
  set(have_${arch} 1)
endforeach()
foreach(rpm IN LISTS rpms)
  execute_process(COMMAND ${TOOL_rpm} -qp --qf "%{ARCH}" ${rpm} OUTPUT_VARIABLE arch ERROR_QUIET)
  if(NOT arch IN_LIST RPM_ARCHES)
    message(FATAL_ERROR "${rpm} is for '${arch}', not one of ${RPM_ARCHES}")
  endif()
  list(APPEND rpms_${arch} ${rpm})
endforeach()
foreach(arch IN LISTS DEB_ARCHES RPM_ARCHES)
  if(NOT have_${arch} AND NOT rpms_${arch})
    message(FATAL_ERROR "no ${arch} package in ${PACKAGES}: the repositories need both builds'")
  endif()
endforeach()

# The key, in a keyring of this step's own (as the .rpm's signing does).
tarvik_private_folder(tarvik-gpg home)
set(ENV{GNUPGHOME} ${home})
set(gpg ${TOOL_gpg} --batch --no-tty --quiet)
execute_process(COMMAND ${gpg} --import "$ENV{TARVIK_RPM_GPG_KEY}" RESULT_VARIABLE rc
                OUTPUT_QUIET ERROR_VARIABLE out)
execute_process(COMMAND ${gpg} --with-colons --fixed-list-mode --list-secret-keys
                OUTPUT_VARIABLE listing)
set(fingerprint "")
set(key_ids "")
set(sign_time ${TARVIK_SOURCE_DATE_EPOCH})
string(REPLACE "\n" ";" listing "${listing}")
foreach(line IN LISTS listing)
  string(REPLACE ":" ";" f "${line}")
  list(LENGTH f n)
  if(n LESS 12)
    if(line MATCHES "^fpr:+([0-9A-F]+):" AND NOT fingerprint)
      set(fingerprint ${CMAKE_MATCH_1})
    endif()
    continue()
  endif()
  list(GET f 0 type)
  if(NOT type MATCHES "^(sec|ssb)$")
    continue()
  endif()
  list(GET f 4 key_id)
  string(TOLOWER ${key_id} key_id)
  list(APPEND key_ids ${key_id})
  list(GET f 2 bits)
  list(GET f 3 algo)
  list(GET f 5 created)
  list(GET f 6 expires)
  list(GET f 11 usage)
  if(NOT usage MATCHES "s")
    continue()
  endif()
  # RSA (algorithm 1) of 3072 bits or more: what every rpm and apt back to
  # RHEL 7 reads, and strong enough for the verifiers that refuse less.
  if(NOT algo EQUAL 1 OR bits LESS 3072)
    fail("the release key must be RSA of 3072 bits or more, not algorithm ${algo} of ${bits} bits")
  endif()
  if(expires)
    message(WARNING "the release key expires at ${expires}: every node refuses the repositories from then on")
  endif()
  # gpg makes no signature older than its key (gpgv would refuse one).
  if(created GREATER sign_time)
    set(sign_time ${created})
  endif()
endforeach()
if(NOT fingerprint)
  fail("no secret key in $ENV{TARVIK_RPM_GPG_KEY}: ${out}")
endif()
# gpgcheck=1 makes a node check each package's own signature too, made by
# the key or one of its signing subkeys.
foreach(arch IN LISTS RPM_ARCHES)
  foreach(rpm IN LISTS rpms_${arch})
    execute_process(COMMAND ${TOOL_rpm} -qp --qf "%{RSAHEADER:pgpsig}" ${rpm}
                    OUTPUT_VARIABLE header ERROR_QUIET)
    set(signer "")
    if(header MATCHES "Key ID ([0-9a-f]+)$")
      set(signer ${CMAKE_MATCH_1})
    endif()
    if(NOT signer OR NOT signer IN_LIST key_ids)
      fail("${rpm} is not signed by the release key ${fingerprint} (${header})")
    endif()
  endforeach()
endforeach()
tarvik_secret_file(TARVIK_RPM_GPG_PASSPHRASE passphrase)
set(sign ${gpg} --pinentry-mode loopback --local-user ${fingerprint} --digest-algo SHA256
    --faked-system-time ${sign_time}! --yes)
if(passphrase)
  list(APPEND sign --passphrase-file ${passphrase})
endif()

file(REMOVE_RECURSE ${OUT}/apt ${OUT}/rpm)
file(MAKE_DIRECTORY ${OUT})
run(${gpg} --export --output ${OUT}/tarvik-archive-keyring.gpg --yes ${fingerprint})
run(${gpg} --export --armor --output ${OUT}/tarvik-release-key.asc --yes ${fingerprint})

# apt: the packages in the pool, one Packages file per architecture with
# only SHA-256 and SHA-512 sums, and a Release file of the same sums dated
# by the source date.
set(apt ${OUT}/apt)
set(dist ${apt}/dists/stable)
file(COPY ${debs} DESTINATION ${apt}/pool/main/t/tarvik)
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(ftparchive ${TOOL_apt_ftparchive} -o APT::FTPArchive::MD5=false
    -o APT::FTPArchive::SHA1=false -o APT::FTPArchive::SHA256=true -o APT::FTPArchive::SHA512=true)
foreach(arch IN LISTS DEB_ARCHES)
  set(binary ${dist}/main/binary-${arch})
  file(MAKE_DIRECTORY ${binary})
  execute_process(COMMAND ${ftparchive} --arch ${arch} packages pool
                  WORKING_DIRECTORY ${apt} OUTPUT_FILE ${binary}/Packages RESULT_VARIABLE rc)
  if(rc EQUAL 0)
    execute_process(COMMAND ${TOOL_gzip} -9nc ${binary}/Packages
                    OUTPUT_FILE ${binary}/Packages.gz RESULT_VARIABLE rc)
  endif()
  if(NOT rc EQUAL 0)
    fail("could not index the ${arch} packages")
  endif()
endforeach()
string(REPLACE ";" " " arches "${DEB_ARCHES}")
execute_process(
  COMMAND ${ftparchive} -o APT::FTPArchive::Release::Origin=tarvik
          -o APT::FTPArchive::Release::Label=tarvik -o APT::FTPArchive::Release::Suite=stable
          -o APT::FTPArchive::Release::Codename=stable
          -o "APT::FTPArchive::Release::Architectures=${arches}"
          -o APT::FTPArchive::Release::Components=main
          -o "APT::FTPArchive::Release::Description=tarvik release packages"
          -o "APT::FTPArchive::Release::Date=${date}" release .
  WORKING_DIRECTORY ${dist} OUTPUT_FILE ${home}/Release RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  fail("apt-ftparchive could not write the Release file")
endif()
file(RENAME ${home}/Release ${dist}/Release)
run(${sign} --clearsign --output ${dist}/InRelease ${dist}/Release)
run(${sign} --detach-sign --armor --output ${dist}/Release.gpg ${dist}/Release)

# dnf, yum and zypper: a repository per architecture, its repomd.xml
# signed beside it. The metadata records each package's file time, so the
# copies carry the source date; the revision and the time stamps are the
# source date too, and there is no SQLite database, whose bytes vary.
foreach(arch IN LISTS RPM_ARCHES)
  set(repo ${OUT}/rpm/${arch})
  file(COPY ${rpms_${arch}} DESTINATION ${repo})
  foreach(rpm IN LISTS rpms_${arch})
    get_filename_component(name ${rpm} NAME)
    run(touch -d @${TARVIK_SOURCE_DATE_EPOCH} ${repo}/${name})
  endforeach()
  run(${TOOL_createrepo_c} --quiet --no-database --revision ${TARVIK_SOURCE_DATE_EPOCH}
      --set-timestamp-to-revision --checksum sha256 --repomd-checksum sha256
      --general-compress-type gz --workers 1 ${repo})
  run(${sign} --detach-sign --armor --output ${repo}/repodata/repomd.xml.asc
      ${repo}/repodata/repomd.xml)
  file(COPY_FILE ${OUT}/tarvik-release-key.asc ${repo}/repodata/repomd.xml.key)
endforeach()

execute_process(COMMAND ${TOOL_gpgconf} --kill gpg-agent)
file(REMOVE_RECURSE ${home})
tarvik_secret_file_remove("${passphrase}")

# What a node copies: the deb822 source, and the .repo file of dnf and yum.
file(WRITE ${OUT}/tarvik.sources
     "Types: deb\nURIs: ${URL}/apt\nSuites: stable\nComponents: main\n"
     "Signed-By: /etc/apt/keyrings/tarvik-archive-keyring.gpg\n")
file(WRITE ${OUT}/tarvik.repo
     "[tarvik]\nname=tarvik\nbaseurl=${URL}/rpm/$basearch\nenabled=1\n"
     "gpgcheck=1\nrepo_gpgcheck=1\ngpgkey=${URL}/tarvik-release-key.asc\n")

file(GLOB_RECURSE made RELATIVE ${OUT} ${OUT}/apt/* ${OUT}/rpm/*)
list(SORT made)
set(sums "")
foreach(name IN LISTS made ITEMS tarvik-archive-keyring.gpg tarvik-release-key.asc tarvik.sources
                         tarvik.repo)
  file(SHA256 ${OUT}/${name} hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE ${OUT}/SHA256SUMS "${sums}")
message(STATUS "Repositories in ${OUT}, signed by ${fingerprint}")
