# The Windows release step, run by the packaging step once cpack has made
# the .zip: the staged .exe is signed when a key is given, the .zip is
# written again by zip.py from the staged files (fixed order, mode and time,
# no owner), and the .msi is made from the same files and signed in turn.
include(${CMAKE_CURRENT_LIST_DIR}/sign.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/msi.cmake)

# zip: the .zip cpack made. Sets msi in the caller to the .msi's path.
function(tarvik_windows_release zip)
  set(stage ${CPACK_TEMPORARY_DIRECTORY}/plugin_tarvik)
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  tarvik_sign(${stage}/plugin_tarvik.exe "${epoch}")
  execute_process(COMMAND ${CPACK_TARVIK_PYTHON} ${CPACK_TARVIK_ZIP_SCRIPT}
                          ${zip} ${CPACK_TEMPORARY_DIRECTORY} "${epoch}"
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "zip.py could not write ${zip}")
  endif()
  if(NOT CPACK_TARVIK_WIXL)
    message(FATAL_ERROR "the .msi needs wixl (Debian package wixl)")
  endif()
  if(NOT epoch)
    string(TIMESTAMP epoch "%s" UTC)
  endif()
  set(out ${CPACK_PACKAGE_DIRECTORY}/${CPACK_TARVIK_MSI_NAME})
  tarvik_make_msi(${stage} ${CPACK_PACKAGE_VERSION} ${out} ${epoch}
                  ${CPACK_TARVIK_WIXL} ${CPACK_TARVIK_MSI_PYTHON})
  tarvik_sign(${out} "${epoch}")
  set(msi ${out} PARENT_SCOPE)
endfunction()
