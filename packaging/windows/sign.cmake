# The optional signing step of the Windows packages: Authenticode with
# SHA-256 by osslsigncode, when TARVIK_SIGN_PKCS12 names a PKCS#12 file of
# a code-signing key and its certificates. TARVIK_SIGN_OSSLSIGNCODE may name
# the osslsigncode program; otherwise it is looked up on PATH.
# TARVIK_SIGN_TIMESTAMP_URL names an RFC 3161 timestamp server; without one
# the signing time is the source date, and a signed build is as
# reproducible as an unsigned one for a given key. Without
# TARVIK_SIGN_PKCS12 nothing is signed.
#
# The key's password comes from TARVIK_SIGN_PASSWORD, one line. It is taken
# out of the environment here, so that no program the packaging step starts
# inherits it, and handed to osslsigncode as a file in a folder of the
# build user's own, removed as soon as the file is signed: Debian 12's
# osslsigncode 2.5 reads -readpass from a named file only (no "-" for
# standard input), and its other ways are a command line (-pass) or a
# terminal (-askpass).
if(DEFINED ENV{TARVIK_SIGN_PASSWORD})
  set(TARVIK_SIGN_PASSWORD "$ENV{TARVIK_SIGN_PASSWORD}")
  unset(ENV{TARVIK_SIGN_PASSWORD})
endif()

function(tarvik_sign file epoch)
  if(NOT DEFINED ENV{TARVIK_SIGN_PKCS12} OR "$ENV{TARVIK_SIGN_PKCS12}" STREQUAL "")
    return()
  endif()
  set(signer "$ENV{TARVIK_SIGN_OSSLSIGNCODE}")
  if(signer STREQUAL "")
    find_program(TARVIK_OSSLSIGNCODE osslsigncode)
    set(signer "${TARVIK_OSSLSIGNCODE}")
  endif()
  if(NOT signer)
    message(FATAL_ERROR "signing needs osslsigncode (Debian package osslsigncode)")
  endif()
  set(when)
  if(NOT "$ENV{TARVIK_SIGN_TIMESTAMP_URL}" STREQUAL "")
    set(when -ts "$ENV{TARVIK_SIGN_TIMESTAMP_URL}")
  elseif(epoch)
    set(when -st ${epoch})
  endif()

  # mktemp makes the folder with mode 0700, under TMPDIR or /tmp; the file
  # is made and narrowed to 0600 before the password goes in. osslsigncode
  # reads the first line, without its line feed, so an empty password is
  # one line feed.
  execute_process(COMMAND mktemp -d -t tarvik-sign.XXXXXXXXXX
                  RESULT_VARIABLE rc OUTPUT_VARIABLE private ERROR_VARIABLE out
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0 OR NOT IS_DIRECTORY "${private}")
    message(FATAL_ERROR "no private folder for the signing password: ${out}")
  endif()
  set(pass_file ${private}/password)
  file(TOUCH ${pass_file})
  file(CHMOD ${pass_file} PERMISSIONS OWNER_READ OWNER_WRITE)
  file(WRITE ${pass_file} "${TARVIK_SIGN_PASSWORD}\n")
  execute_process(
    COMMAND ${signer} sign -pkcs12 "$ENV{TARVIK_SIGN_PKCS12}" -readpass "${pass_file}"
            -h sha256 -n tarvik ${when} -in ${file} -out ${file}.signed
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  file(REMOVE_RECURSE ${private})
  if(NOT rc EQUAL 0)
    file(REMOVE ${file}.signed)
    message(FATAL_ERROR "osslsigncode could not sign ${file}: ${out}")
  endif()
  file(RENAME ${file}.signed ${file})
endfunction()
