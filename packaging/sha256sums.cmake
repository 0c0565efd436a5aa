# Run by cpack once the packages are made. On the Windows build the .zip is
# written again and the .msi made beside it (windows/release.cmake); then
# SHA256SUMS goes beside the packages, in the form `sha256sum -c` reads.
set(sums "")
set(made_files ${CPACK_PACKAGE_FILES})
foreach(made IN LISTS CPACK_PACKAGE_FILES)
  if(made MATCHES "\\.zip$")
    include(${CMAKE_CURRENT_LIST_DIR}/windows/release.cmake)
    tarvik_windows_release(${made})
    list(APPEND made_files ${msi})
  endif()
endforeach()
foreach(made IN LISTS made_files)
  get_filename_component(name ${made} NAME)
  file(SHA256 ${made} hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
# The packages are still in cpack's staging folder here; the sums go to
# the folder they are copied to.
file(WRITE ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS "${sums}")
