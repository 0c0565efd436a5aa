# The optional signing step of the .rpm: an OpenPGP signature by rpmsign,
# when TARVIK_RPM_GPG_KEY names a file holding the release's secret key (as
# `gpg --export-secret-keys` writes it). The key goes into a keyring of the
# step's own, in a private folder that is removed afterwards, so no keyring
# of the user's is read or changed. Its passphrase, if it has one, comes
# from TARVIK_RPM_GPG_PASSPHRASE: taken out of the environment before cpack
# starts any program (rpmbuild, rpmsign and gpg and its agent inherit none
# of it), and handed to gpg as a file of its own (cmake/secret_file.cmake),
# so that it never stands on a command line either. The signature's
# time is the source date, so a signed build is as reproducible as an
# unsigned one for a given key. Without TARVIK_RPM_GPG_KEY nothing is signed.
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/secret_file.cmake)
tarvik_secret_take(TARVIK_RPM_GPG_PASSPHRASE)

function(tarvik_rpm_sign file)
  if("$ENV{TARVIK_RPM_GPG_KEY}" STREQUAL "")
    return()
  endif()
  find_program(TARVIK_RPMSIGN rpmsign)
  find_program(TARVIK_GPG gpg)
  find_program(TARVIK_GPGCONF gpgconf)
  if(NOT TARVIK_RPMSIGN OR NOT TARVIK_GPG OR NOT TARVIK_GPGCONF)
    message(FATAL_ERROR "signing the .rpm needs rpmsign and gpg (Debian packages rpm and gpg)")
  endif()
  # gpg's sockets live in the keyring's folder, so it is short and under
  # TMPDIR rather than in the build tree.
  tarvik_private_folder(tarvik-gpg home)
  set(saved_home "$ENV{GNUPGHOME}")
  set(ENV{GNUPGHOME} ${home})
  set(gpg ${TARVIK_GPG} --batch --no-tty --quiet)
  execute_process(COMMAND ${gpg} --import "$ENV{TARVIK_RPM_GPG_KEY}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(rc EQUAL 0)
    execute_process(COMMAND ${gpg} --with-colons --list-secret-keys
                    RESULT_VARIABLE rc OUTPUT_VARIABLE listing ERROR_VARIABLE out)
  endif()
  set(fingerprint "")
  if(rc EQUAL 0 AND listing MATCHES "\nfpr:+([0-9A-F]+):")
    set(fingerprint ${CMAKE_MATCH_1})
  endif()
  set(args "--batch --no-tty --pinentry-mode loopback")
  # gpg reads the first line of the file.
  tarvik_secret_file(TARVIK_RPM_GPG_PASSPHRASE pass_file)
  if(pass_file)
    string(APPEND args " --passphrase-file \"${pass_file}\"")
  endif()
  if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    # A key made after the commit still signs at the commit's time.
    string(APPEND args " --faked-system-time $ENV{SOURCE_DATE_EPOCH}! --ignore-time-conflict")
  endif()
  if(fingerprint)
    execute_process(
      COMMAND ${TARVIK_RPMSIGN} --addsign --define "__gpg ${TARVIK_GPG}"
              --define "_gpg_name ${fingerprint}" --define "_gpg_sign_cmd_extra_args ${args}"
              ${file}
      RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  endif()
  execute_process(COMMAND ${TARVIK_GPGCONF} --kill gpg-agent)
  tarvik_secret_file_remove("${pass_file}")
  file(REMOVE_RECURSE ${home})
  if(saved_home STREQUAL "")
    unset(ENV{GNUPGHOME})
  else()
    set(ENV{GNUPGHOME} "${saved_home}")
  endif()
  if(NOT fingerprint)
    message(FATAL_ERROR "no secret key in $ENV{TARVIK_RPM_GPG_KEY}: ${out}")
  elseif(NOT rc EQUAL 0)
    message(FATAL_ERROR "rpmsign could not sign ${file}: ${out}")
  endif()
endfunction()
