# Release packages. On Linux a .deb that puts the executable into a plug-in
# folder of the package's own, /opt/tarvik/plugins/plugin_tarvik/; on the
# Windows build a .zip holding plugin_tarvik/ with the .exe and the README.
#   cpack                (in a build tree), or: cmake --build DIR --target package
# The CTest test package_contents builds the package and checks what is in
# it; it runs this same file in script mode (the part right below).

if(CMAKE_SCRIPT_MODE_FILE)
  # cmake -DBUILD_DIR=... -DKIND=deb|zip -DEXE=... -DREADME=... -P packaging.cmake
  set(out ${BUILD_DIR}/package-check)
  file(REMOVE_RECURSE ${out})
  execute_process(COMMAND ${CPACK} --config ${BUILD_DIR}/CPackConfig.cmake -B ${out}
                  WORKING_DIRECTORY ${BUILD_DIR}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE log ERROR_VARIABLE log)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cpack failed:\n${log}")
  endif()
  file(GLOB made ${out}/*.${KIND})
  list(LENGTH made n)
  if(NOT n EQUAL 1)
    message(FATAL_ERROR "expected one .${KIND} in ${out}, found: ${made}")
  endif()
  set(unpacked ${out}/unpacked)
  file(MAKE_DIRECTORY ${unpacked})
  if(KIND STREQUAL "deb")
    execute_process(COMMAND dpkg-deb -c ${made} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
    execute_process(COMMAND dpkg-deb -f ${made} Package Version Architecture Depends
                    OUTPUT_VARIABLE fields)
    execute_process(COMMAND dpkg-deb -x ${made} ${unpacked})
    set(want "./opt/tarvik/plugins/plugin_tarvik/plugin_tarvik"
             "./opt/tarvik/plugins/plugin_tarvik/README.md")
    set(exe_in ${unpacked}/opt/tarvik/plugins/plugin_tarvik/plugin_tarvik)
    set(readme_in ${unpacked}/opt/tarvik/plugins/plugin_tarvik/README.md)
    string(REGEX MATCH "-rwxr-xr-x root/root +[0-9]+ [-0-9]+ [:0-9]+ \\./opt/tarvik/plugins/plugin_tarvik/plugin_tarvik\n"
           exec_line "${listing}")
    if(NOT exec_line)
      message(FATAL_ERROR "the executable is not mode 0755, owned by root:\n${listing}")
    endif()
    foreach(field "Package: tarvik" "Version: ${VERSION}" "Depends: libc6")
      string(FIND "${fields}" "${field}" at)
      if(at LESS 0)
        message(FATAL_ERROR "control fields lack '${field}':\n${fields}")
      endif()
    endforeach()
  else()
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${made} OUTPUT_VARIABLE listing
                    RESULT_VARIABLE rc)
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${made} WORKING_DIRECTORY ${unpacked})
    set(want "plugin_tarvik/plugin_tarvik.exe" "plugin_tarvik/README.md")
    set(exe_in ${unpacked}/plugin_tarvik/plugin_tarvik.exe)
    set(readme_in ${unpacked}/plugin_tarvik/README.md)
  endif()
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cannot list ${made}")
  endif()
  # Exactly the wanted files, nothing else (directories aside).
  string(REGEX REPLACE "\n$" "" listing "${listing}")
  string(REPLACE "\n" ";" lines "${listing}")
  set(files)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^.* " "" path "${line}")
    if(NOT path MATCHES "/$")
      list(APPEND files ${path})
    endif()
  endforeach()
  list(SORT files)
  list(SORT want)
  if(NOT files STREQUAL want)
    message(FATAL_ERROR "package ${made} holds\n  ${files}\nexpected\n  ${want}")
  endif()
  # What was packed is what was built.
  foreach(pair "${exe_in}|${EXE}" "${readme_in}|${README}")
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 packed)
    list(GET pair 1 built)
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${packed} ${built}
                    RESULT_VARIABLE differ)
    if(NOT differ EQUAL 0)
      message(FATAL_ERROR "${packed} differs from ${built}")
    endif()
  endforeach()
  message(STATUS "${made}: ${files}")
  return()
endif()

set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VENDOR "tarvik")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Network-diagnostics plug-in for the nodes of a managed fleet")
set(CPACK_PACKAGE_CONTACT "tarvik maintainers <tarvik@localhost>")
set(CPACK_STRIP_FILES OFF)  # the executables are linked stripped
set(CPACK_SOURCE_IGNORE_FILES "/build/;/\\\\.git/")

if(WIN32)
  set(PLUGIN_DIR plugin_tarvik)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME tarvik-${PROJECT_VERSION}-windows-x86_64)
  # The archive opens to the plug-in folder itself.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(PACKAGE_KIND zip)
else()
  set(PLUGIN_DIR plugins/plugin_tarvik)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /opt/tarvik)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_PACKAGE_DESCRIPTION
      "The host agent runs /opt/tarvik/plugins/plugin_tarvik/plugin_tarvik once\nper request as a CGI program. It answers interface, DNS, TCP and HTTP\nchecks as JSON and serves one self-contained HTML page.")
  # libstdc++ and libgcc are linked in; only the C library is needed.
  find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34)")
  endif()
  set(PACKAGE_KIND deb)
endif()

install(TARGETS plugin_tarvik RUNTIME DESTINATION ${PLUGIN_DIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md DESTINATION ${PLUGIN_DIR})

include(CPack)

# Release packages come from the release builds only; a sanitizer build
# would depend on its runtimes.
if(BUILD_TESTING AND NOT TARVIK_SANITIZE AND NOT TARVIK_FUZZ)
  # cpack lives beside cmake.
  get_filename_component(cmake_bin ${CMAKE_COMMAND} DIRECTORY)
  find_program(CPACK_PROGRAM cpack HINTS ${cmake_bin} NO_DEFAULT_PATH)
  find_program(CPACK_PROGRAM cpack)
  add_test(NAME package_contents
           COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DKIND=${PACKAGE_KIND}
                   -DCPACK=${CPACK_PROGRAM} -DVERSION=${PROJECT_VERSION}
                   -DEXE=$<TARGET_FILE:plugin_tarvik>
                   -DREADME=${CMAKE_CURRENT_SOURCE_DIR}/README.md
                   -P ${CMAKE_CURRENT_LIST_FILE})
  set_tests_properties(package_contents PROPERTIES TIMEOUT 300 RUN_SERIAL ON)
endif()
