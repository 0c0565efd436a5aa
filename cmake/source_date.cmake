# The one time stamp that build artifacts may carry: SOURCE_DATE_EPOCH from
# the environment, else the time of the last commit. Two builds of one
# commit then agree byte for byte, whenever and wherever they run.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(TARVIK_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  set(TARVIK_SOURCE_DATE_EPOCH "")
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE TARVIK_SOURCE_DATE_EPOCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  # A new commit moves the date: configure again after each one.
  if(EXISTS ${CMAKE_SOURCE_DIR}/.git/logs/HEAD)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${CMAKE_SOURCE_DIR}/.git/logs/HEAD)
  endif()
endif()
if(NOT TARVIK_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  set(TARVIK_SOURCE_DATE_EPOCH "")
endif()
