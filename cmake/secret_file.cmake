# Signing secrets (a key's password or passphrase) come from an environment
# variable and go to the signing program as a file, never on a command line
# and never in the environment of a program the build starts.
#
# tarvik_secret_take(<ENVVAR>)
#   Moves the secret out of the environment into this process's memory (a
#   global property, which outlives the scope of each cpack generator).
#   The cpack project file calls it before any generator starts a program;
#   tarvik_secret_file calls it too, for a step that runs on its own.
#
# tarvik_secret_file(<ENVVAR> <outvar>)
#   Sets <outvar> to a new file that holds the secret and a line feed (the
#   signing programs read its first line), in a folder of its own made by
#   mktemp with mode 0700 under TMPDIR or /tmp; the file is made and
#   narrowed to 0600 before the secret goes in. <outvar> is "" when the
#   variable was never set.
#
# tarvik_secret_file_remove(<path>)
#   Removes such a file and its folder; nothing for "".
#
# tarvik_private_folder(<name> <outvar>)
#   Sets <outvar> to a new folder readable by its owner only, made by mktemp
#   under TMPDIR or /tmp (short, so that gpg's sockets fit in it); stops
#   the build when none can be made.

function(tarvik_private_folder name outvar)
  execute_process(COMMAND mktemp -d -t ${name}.XXXXXXXXXX
                  RESULT_VARIABLE rc OUTPUT_VARIABLE private ERROR_VARIABLE out
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0 OR NOT IS_DIRECTORY "${private}")
    message(FATAL_ERROR "mktemp could not make a private folder (${name}): ${out}")
  endif()
  set(${outvar} ${private} PARENT_SCOPE)
endfunction()

function(tarvik_secret_take envvar)
  if(DEFINED ENV{${envvar}})
    set_property(GLOBAL PROPERTY TARVIK_SECRET_${envvar} "$ENV{${envvar}}")
    unset(ENV{${envvar}})
  endif()
endfunction()

function(tarvik_secret_file envvar outvar)
  tarvik_secret_take(${envvar})
  get_property(held GLOBAL PROPERTY TARVIK_SECRET_${envvar} SET)
  if(NOT held)
    set(${outvar} "" PARENT_SCOPE)
    return()
  endif()
  get_property(secret GLOBAL PROPERTY TARVIK_SECRET_${envvar})
  tarvik_private_folder(tarvik-secret private)
  set(path ${private}/secret)
  file(TOUCH ${path})
  file(CHMOD ${path} PERMISSIONS OWNER_READ OWNER_WRITE)
  file(WRITE ${path} "${secret}\n")
  set(${outvar} ${path} PARENT_SCOPE)
endfunction()

function(tarvik_secret_file_remove path)
  if(NOT path STREQUAL "")
    get_filename_component(private ${path} DIRECTORY)
    file(REMOVE_RECURSE ${private})
  endif()
endfunction()
