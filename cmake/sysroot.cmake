# Included by the Linux release toolchain files with TARVIK_DEB_ARCH set
# (amd64 or arm64): makes the Debian 11 sysroot of that architecture from
# the packages cmake/sysroot-bullseye.txt pins, unless it is there already,
# and sets TARVIK_SYSROOT to it. The roots and the downloaded packages live
# in TARVIK_SYSROOTS (environment), by default ~/.cache/tarvik/sysroots,
# so that every build tree and every test build on the machine shares one
# download; a root is named by the hash of its rows, so a changed list
# makes a new one and never touches a root another tree still uses.
set(TARVIK_SYSROOT_LIST ${CMAKE_CURRENT_LIST_DIR}/sysroot-bullseye.txt)
set(TARVIK_SYSROOT_MIRROR http://deb.debian.org/debian)

file(STRINGS ${TARVIK_SYSROOT_LIST} tarvik_rows REGEX "^${TARVIK_DEB_ARCH} ")
string(SHA256 tarvik_key "${tarvik_rows}")
string(SUBSTRING ${tarvik_key} 0 16 tarvik_key)
if(DEFINED ENV{TARVIK_SYSROOTS})
  set(tarvik_roots $ENV{TARVIK_SYSROOTS})
elseif(DEFINED ENV{XDG_CACHE_HOME})
  set(tarvik_roots $ENV{XDG_CACHE_HOME}/tarvik/sysroots)
else()
  set(tarvik_roots $ENV{HOME}/.cache/tarvik/sysroots)
endif()
set(TARVIK_SYSROOT ${tarvik_roots}/bullseye-${TARVIK_DEB_ARCH}-${tarvik_key})

if(NOT EXISTS ${TARVIK_SYSROOT}/packages.txt)
  message(STATUS "Making the Debian 11 ${TARVIK_DEB_ARCH} sysroot in ${TARVIK_SYSROOT}")
  # Made beside its final place and renamed when complete: a configure
  # that stops half-way, or one that runs at the same time, leaves no half
  # root behind.
  string(RANDOM LENGTH 8 tarvik_tag)
  set(tarvik_new ${TARVIK_SYSROOT}.new-${tarvik_tag})
  file(MAKE_DIRECTORY ${tarvik_roots}/debs ${tarvik_new})
  find_program(TARVIK_DPKG_DEB dpkg-deb REQUIRED)
  foreach(row ${tarvik_rows})
    string(REPLACE " " ";" row ${row})
    list(GET row 3 path)
    list(GET row 4 sha256)
    get_filename_component(deb ${path} NAME)
    set(deb ${tarvik_roots}/debs/${deb})
    if(EXISTS ${deb})
      file(SHA256 ${deb} have)
    endif()
    if(NOT EXISTS ${deb} OR NOT have STREQUAL sha256)
      file(DOWNLOAD ${TARVIK_SYSROOT_MIRROR}/${path} ${deb}.part
           EXPECTED_HASH SHA256=${sha256} STATUS status)
      list(GET status 0 code)
      if(code)
        file(REMOVE ${deb}.part ${tarvik_new})
        message(FATAL_ERROR "cannot download ${TARVIK_SYSROOT_MIRROR}/${path}: ${status}")
      endif()
      file(RENAME ${deb}.part ${deb})
    endif()
    execute_process(COMMAND ${TARVIK_DPKG_DEB} -x ${deb} ${tarvik_new}
                    COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
  # The packages' absolute links (libc6-dev's libm.so, libstdc++'s into
  # /usr/lib) would point into this machine's own root: each becomes
  # relative to where it sits.
  file(GLOB_RECURSE links LIST_DIRECTORIES true ${tarvik_new}/*)
  foreach(link ${links})
    if(IS_SYMLINK ${link})
      file(READ_SYMLINK ${link} target)
      if(target MATCHES "^/")
        get_filename_component(dir ${link} DIRECTORY)
        file(RELATIVE_PATH target ${dir} ${tarvik_new}${target})
        file(REMOVE ${link})
        file(CREATE_LINK ${target} ${link} SYMBOLIC)
      endif()
    endif()
  endforeach()
  string(REPLACE ";" "\n" text "${tarvik_rows}")
  file(WRITE ${tarvik_new}/packages.txt "${text}\n")
  file(RENAME ${tarvik_new} ${TARVIK_SYSROOT} RESULT moved)
  if(moved)
    # Another configure made the same root first.
    file(REMOVE_RECURSE ${tarvik_new})
  endif()
endif()

# The build tree records which packages, at which versions, it is made of.
get_property(tarvik_in_try GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT tarvik_in_try)
  file(COPY_FILE ${TARVIK_SYSROOT}/packages.txt ${CMAKE_BINARY_DIR}/sysroot-packages.txt
       ONLY_IF_DIFFERENT)
endif()
