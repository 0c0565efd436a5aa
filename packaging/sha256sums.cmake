# Run by cpack once the packages are made. On the Windows build the .zip is
# written again and the .msi made beside it (windows/release.cmake); then
# SHA256SUMS goes beside the packages, in the form `sha256sum -c` reads.
# On Linux this runs once per generator, the .deb's first: the first starts
# the file and the others add their packages to it; an .rpm is signed
# before its sum is taken (rpm/sign.cmake).
set(sums "")
if(CPACK_TARVIK_GENERATORS)
  list(GET CPACK_TARVIK_GENERATORS 0 first)
  if(NOT CPACK_GENERATOR STREQUAL first AND EXISTS ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS)
    file(READ ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS sums)
  endif()
endif()
set(made_files ${CPACK_PACKAGE_FILES})
foreach(made IN LISTS CPACK_PACKAGE_FILES)
  if(made MATCHES "\\.zip$")
    include(${CMAKE_CURRENT_LIST_DIR}/windows/release.cmake)
    tarvik_windows_release(${made})
    list(APPEND made_files ${msi})
  elseif(made MATCHES "\\.rpm$")
    include(${CMAKE_CURRENT_LIST_DIR}/rpm/sign.cmake)
    tarvik_rpm_sign(${made})
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
