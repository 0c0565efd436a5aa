# The Windows Installer package, made from the staged plug-in folder with
# wixl. Included by the packaging step, which calls tarvik_make_msi(); run
# as a script it makes one package from the variables below, as the package
# test does for a second version without a second build:
#   cmake -DSTAGE=DIR -DVERSION=1.2.3 -DOUT=FILE.msi -DEPOCH=SECONDS
#         [-DWIXL=wixl] [-DPYTHON=python3] -P msi.cmake
#
# The UpgradeCode names the product across all its versions and never
# changes. The ProductCode and the package code are name-based UUIDs of the
# version under it: every build of one version gets the same ones, and
# another version others, so a newer one is a major upgrade. wixl draws a
# package code at random and stamps its own clock into the summary
# information, and its cabinet carries each file's modification time; the
# files are copied and dated at the source date, and msi_summary.py pins
# the rest, so two builds give the same bytes.

set(TARVIK_MSI_UPGRADE_CODE 93313C32-14E8-4EDF-9F34-08570533D267)
set(TARVIK_MSI_DIR ${CMAKE_CURRENT_LIST_DIR})

function(tarvik_make_msi stage version out epoch wixl python)
  string(UUID product_code NAMESPACE ${TARVIK_MSI_UPGRADE_CODE}
         NAME "ProductCode ${version}" TYPE SHA1 UPPER)
  string(UUID package_code NAMESPACE ${TARVIK_MSI_UPGRADE_CODE}
         NAME "PackageCode ${version}" TYPE SHA1 UPPER)
  set(files ${out}.files)
  file(REMOVE_RECURSE ${files})
  file(COPY ${stage}/ DESTINATION ${files})
  file(GLOB_RECURSE copied ${files}/*)
  execute_process(COMMAND touch -d @${epoch} ${copied} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "could not date the files for ${out}")
  endif()
  execute_process(
    COMMAND ${wixl} --arch x64 -D Version=${version} -D ProductCode=${product_code}
            -D UpgradeCode=${TARVIK_MSI_UPGRADE_CODE} -D Source=.
            -o ${out} ${TARVIK_MSI_DIR}/tarvik.wxs
    WORKING_DIRECTORY ${files} RESULT_VARIABLE rc ERROR_VARIABLE err)
  file(REMOVE_RECURSE ${files})
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "wixl could not make ${out}: ${err}")
  endif()
  execute_process(
    COMMAND ${python} ${TARVIK_MSI_DIR}/msi_summary.py ${out} "{${package_code}}" ${epoch}
    RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "msi_summary.py could not pin ${out}")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  if(NOT WIXL)
    set(WIXL wixl)
  endif()
  if(NOT PYTHON)
    set(PYTHON python3)
  endif()
  tarvik_make_msi(${STAGE} ${VERSION} ${OUT} ${EPOCH} ${WIXL} ${PYTHON})
endif()
