# Included by cpack's project file: TARVIK_GLIBC_FLOOR becomes the newest
# GLIBC_x.y symbol version the executable TARVIK_EXE needs, read from the
# built file with readelf, which reads either architecture's. The packages
# ask for that C library, so that they install wherever the binary runs.
find_program(TARVIK_READELF readelf REQUIRED)
execute_process(COMMAND ${TARVIK_READELF} -W -V ${TARVIK_EXE}
                OUTPUT_VARIABLE tarvik_versions COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "GLIBC_[0-9]+\\.[0-9]+(\\.[0-9]+)?" tarvik_versions "${tarvik_versions}")
set(TARVIK_GLIBC_FLOOR 0)
foreach(v IN LISTS tarvik_versions)
  string(REPLACE "GLIBC_" "" v ${v})
  if(v VERSION_GREATER TARVIK_GLIBC_FLOOR)
    set(TARVIK_GLIBC_FLOOR ${v})
  endif()
endforeach()
if(NOT TARVIK_GLIBC_FLOOR)
  message(FATAL_ERROR "${TARVIK_EXE} names no GLIBC symbol version")
endif()
