# The optional signing step of the Windows packages: Authenticode with
# SHA-256 by osslsigncode, when TARVIK_SIGN_PKCS12 names a PKCS#12 file of
# a code-signing key and its certificates. Its password comes from
# TARVIK_SIGN_PASSWORD, read by the shell from the environment and piped
# in, so that it never stands on a command line. TARVIK_SIGN_TIMESTAMP_URL
# names an RFC 3161 timestamp server; without one the signing time is the
# source date, and a signed build is as reproducible as an unsigned one for
# a given key. Without TARVIK_SIGN_PKCS12 nothing is signed.

function(tarvik_sign file epoch)
  if(NOT DEFINED ENV{TARVIK_SIGN_PKCS12} OR "$ENV{TARVIK_SIGN_PKCS12}" STREQUAL "")
    return()
  endif()
  find_program(TARVIK_OSSLSIGNCODE osslsigncode)
  if(NOT TARVIK_OSSLSIGNCODE)
    message(FATAL_ERROR "signing needs osslsigncode (Debian package osslsigncode)")
  endif()
  set(when)
  if(NOT "$ENV{TARVIK_SIGN_TIMESTAMP_URL}" STREQUAL "")
    set(when -ts "$ENV{TARVIK_SIGN_TIMESTAMP_URL}")
  elseif(epoch)
    set(when -st ${epoch})
  endif()
  execute_process(
    COMMAND sh -c "printf %s \"$TARVIK_SIGN_PASSWORD\""
    COMMAND ${TARVIK_OSSLSIGNCODE} sign -pkcs12 "$ENV{TARVIK_SIGN_PKCS12}" -readpass -
            -h sha256 -n tarvik ${when} -in ${file} -out ${file}.signed
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    file(REMOVE ${file}.signed)
    message(FATAL_ERROR "osslsigncode could not sign ${file}: ${out}")
  endif()
  file(RENAME ${file}.signed ${file})
endfunction()
