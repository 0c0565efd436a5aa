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
# out of the environment before cpack starts any program, so that none
# inherits it, and handed to osslsigncode as a file of its own
# (cmake/secret_file.cmake), removed as soon as the file is signed: Debian
# 12's osslsigncode 2.5 reads -readpass from a named file only (no "-" for
# standard input), and its other ways are a command line (-pass) or a
# terminal (-askpass). Without the variable the key has no password.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/secret_file.cmake)
tarvik_secret_take(TARVIK_SIGN_PASSWORD)

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

  tarvik_secret_file(TARVIK_SIGN_PASSWORD pass_file)
  set(pass)
  if(pass_file)
    set(pass -readpass ${pass_file})
  endif()
  execute_process(
    COMMAND ${signer} sign -pkcs12 "$ENV{TARVIK_SIGN_PKCS12}" ${pass}
            -h sha256 -n tarvik ${when} -in ${file} -out ${file}.signed
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  tarvik_secret_file_remove("${pass_file}")
  if(NOT rc EQUAL 0)
    file(REMOVE ${file}.signed)
    message(FATAL_ERROR "osslsigncode could not sign ${file}: ${out}")
  endif()
  file(RENAME ${file}.signed ${file})
endfunction()
