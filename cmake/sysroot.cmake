# Included by the Linux release toolchain files with TARVIK_DEB_ARCH set
# (amd64 or arm64): makes the Debian 11 sysroot of that architecture from
# the packages cmake/sysroot-bullseye.txt pins, unless it is there already,
# and sets TARVIK_SYSROOT to it. The roots and the downloaded packages live
# in TARVIK_SYSROOTS (environment), by default ~/.cache/tarvik/sysroots,
# so that every build tree and every test build on the machine shares one
# download; a root is named by the hash of its rows, so a changed list
# makes a new one and never touches a root another tree still uses.
#
# The packages come from the Debian archive that TARVIK_DEBIAN_MIRROR
# (environment) names, or else from the one this machine's apt uses: the
# first archive in its sources (deb822 .sources files, then the one-line
# sources.list) with a suite other than a security one. The same archive
# root serves every Debian release, bullseye's packages included, so the
# site mirror a node's apt uses serves the build as well.
set(TARVIK_SYSROOT_LIST ${CMAKE_CURRENT_LIST_DIR}/sysroot-bullseye.txt)

function(tarvik_debian_archive out)
  if(NOT "$ENV{TARVIK_DEBIAN_MIRROR}" STREQUAL "")
    set(${out} "$ENV{TARVIK_DEBIAN_MIRROR}" PARENT_SCOPE)
    return()
  endif()
  # Each entry as "types|uris|suites"; a deb822 stanza ends at a blank line.
  set(entries)
  file(GLOB sources /etc/apt/sources.list.d/*.sources)
  foreach(f ${sources})
    file(STRINGS ${f} lines)
    set(types "")
    set(uris "")
    set(suites "")
    set(enabled yes)
    # The last stanza ends at the end of the file.
    foreach(line IN LISTS lines ITEMS "")
      if(line MATCHES "^Types:[ \t]*(.*)")
        set(types "${CMAKE_MATCH_1}")
      elseif(line MATCHES "^URIs:[ \t]*(.*)")
        set(uris "${CMAKE_MATCH_1}")
      elseif(line MATCHES "^Suites:[ \t]*(.*)")
        set(suites "${CMAKE_MATCH_1}")
      elseif(line MATCHES "^Enabled:[ \t]*(.*)")
        set(enabled "${CMAKE_MATCH_1}")
      elseif(line MATCHES "^[ \t]*$")
        if(NOT uris STREQUAL "" AND NOT enabled MATCHES "^[Nn][Oo]")
          list(APPEND entries "${types}|${uris}|${suites}")
        endif()
        set(types "")
        set(uris "")
        set(suites "")
        set(enabled yes)
      endif()
    endforeach()
  endforeach()
  if(EXISTS /etc/apt/sources.list)
    # deb [options] uri suite component...
    file(STRINGS /etc/apt/sources.list lines REGEX "^[ \t]*deb[ \t]")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*deb[ \t]+" "" line "${line}")
      if(line MATCHES "^\\[")
        string(FIND "${line}" "]" end)
        math(EXPR end "${end} + 1")
        string(SUBSTRING "${line}" ${end} -1 line)
      endif()
      if(line MATCHES "^[ \t]*([^ \t]+)[ \t]+([^ \t]+)")
        list(APPEND entries "deb|${CMAKE_MATCH_1}|${CMAKE_MATCH_2}")
      endif()
    endforeach()
  endif()
  foreach(entry IN LISTS entries)
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 types)
    list(GET entry 1 uris)
    list(GET entry 2 suites)
    separate_arguments(types UNIX_COMMAND "${types}")
    separate_arguments(uris UNIX_COMMAND "${uris}")
    separate_arguments(suites UNIX_COMMAND "${suites}")
    list(FILTER suites EXCLUDE REGEX "-security$|/updates$")
    if(NOT "deb" IN_LIST types OR NOT suites)
      continue()
    endif()
    foreach(uri IN LISTS uris)
      # The schemes file(DOWNLOAD) reads; apt's own (mirror+, cdrom:) it
      # does not.
      if(uri MATCHES "^(https?|ftp|file)://")
        string(REGEX REPLACE "/+$" "" uri "${uri}")
        set(${out} "${uri}" PARENT_SCOPE)
        return()
      endif()
    endforeach()
  endforeach()
  message(FATAL_ERROR "no Debian archive for the Debian 11 sysroot: apt's sources "
          "(/etc/apt/sources.list.d/*.sources, /etc/apt/sources.list) name none that "
          "file(DOWNLOAD) reads; set TARVIK_DEBIAN_MIRROR to one (the folder that holds pool/)")
endfunction()

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
    list(GET row 1 package)
    list(GET row 2 version)
    list(GET row 3 path)
    list(GET row 4 sha256)
    get_filename_component(deb ${path} NAME)
    set(deb ${tarvik_roots}/debs/${deb})
    set(have "")
    if(EXISTS ${deb})
      file(SHA256 ${deb} have)
    endif()
    if(NOT have STREQUAL sha256)
      if(NOT DEFINED tarvik_archive)
        tarvik_debian_archive(tarvik_archive)
        message(STATUS "Debian archive: ${tarvik_archive}")
      endif()
      # Into a name of this run's own, checked, then renamed into place:
      # a configure running at the same time downloads into its own file,
      # and the rename puts a whole, checked package in place either way.
      set(part ${deb}.part-${tarvik_tag})
      set(url ${tarvik_archive}/${path})
      file(DOWNLOAD ${url} ${part} STATUS status)
      list(GET status 0 code)
      set(got "")
      if(NOT code AND EXISTS ${part})
        file(SHA256 ${part} got)
      endif()
      if(code OR NOT got STREQUAL sha256)
        file(REMOVE ${part})
        file(REMOVE_RECURSE ${tarvik_new})
        if(code)
          message(FATAL_ERROR "cannot download ${package} ${version} from ${url}: ${status}")
        endif()
        message(FATAL_ERROR "${package} ${version} from ${url} has SHA-256 ${got}; "
                "cmake/sysroot-bullseye.txt expects ${sha256}")
      endif()
      file(RENAME ${part} ${deb})
    endif()
    execute_process(COMMAND ${TARVIK_DPKG_DEB} -x ${deb} ${tarvik_new}
                    RESULT_VARIABLE rc ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
      file(REMOVE_RECURSE ${tarvik_new})
      message(FATAL_ERROR "dpkg-deb could not unpack ${deb}: ${out}")
    endif()
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
