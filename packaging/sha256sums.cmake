# Run by cpack once the packages are made. A .zip is written again by
# zip.py from the staged files (fixed order, mode and time, no owner); then
# SHA256SUMS goes beside the packages, in the form `sha256sum -c` reads.
set(sums "")
foreach(made IN LISTS CPACK_PACKAGE_FILES)
  if(made MATCHES "\\.zip$")
    execute_process(COMMAND ${CPACK_TARVIK_PYTHON} ${CPACK_TARVIK_ZIP_SCRIPT}
                            ${made} ${CPACK_TEMPORARY_DIRECTORY} "$ENV{SOURCE_DATE_EPOCH}"
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "zip.py could not write ${made}")
    endif()
  endif()
  get_filename_component(name ${made} NAME)
  file(SHA256 ${made} hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
# The packages are still in cpack's staging folder here; the sums go to
# the folder they are copied to.
file(WRITE ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS "${sums}")
