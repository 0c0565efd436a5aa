# The one time stamp that build artifacts may carry, so that two builds of
# one source agree byte for byte whenever and wherever they run. The first
# of these that gives a date is taken, and configuring says which:
#  1. SOURCE_DATE_EPOCH from the environment;
#  2. the commit time that `git archive` writes into cmake/commit_date.txt
#     (export-subst in .gitattributes), in a tree unpacked from an archive;
#  3. the time of the last commit, when the source folder is the top of a git
#     work tree (a linked worktree, or a checkout another user owns, too);
#  4. noon UTC of the release date of the newest entry in CHANGELOG.md.
# Never the build time: with none of them, configuring stops.

# Seconds since 1970 of noon UTC on an ISO date (YYYY-MM-DD), counting years
# from March so that the leap day ends each year.
function(tarvik_iso_noon iso out)
  string(REGEX MATCH "^([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$" _ "${iso}")
  math(EXPR m "${CMAKE_MATCH_2} + 0")
  math(EXPR d "${CMAKE_MATCH_3} + 0")
  math(EXPR y "${CMAKE_MATCH_1} - (14 - ${m}) / 12")  # January and February count to the year before
  math(EXPR mp "(${m} + 9) % 12")
  math(EXPR doy "(153 * ${mp} + 2) / 5 + ${d} - 1")
  math(EXPR days "${y} * 365 + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${doy} - 719468")
  math(EXPR secs "${days} * 86400 + 43200")
  set(${out} ${secs} PARENT_SCOPE)
endfunction()

set(TARVIK_SOURCE_DATE_EPOCH "")
if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH is not a count of seconds: '$ENV{SOURCE_DATE_EPOCH}'")
  endif()
  set(TARVIK_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
  set(source_date_from "SOURCE_DATE_EPOCH in the environment")
endif()

if(NOT TARVIK_SOURCE_DATE_EPOCH)
  set(archived "")
  if(EXISTS ${CMAKE_SOURCE_DIR}/cmake/commit_date.txt)
    file(READ ${CMAKE_SOURCE_DIR}/cmake/commit_date.txt archived)
    string(STRIP "${archived}" archived)
  endif()
  if(archived MATCHES "^[0-9]+$")
    set(TARVIK_SOURCE_DATE_EPOCH ${archived})
    set(source_date_from "the commit time git archive wrote into cmake/commit_date.txt")
  endif()
endif()

if(NOT TARVIK_SOURCE_DATE_EPOCH)
  find_package(Git QUIET)
  if(GIT_FOUND)
    # git refuses a checkout that another user owns ("dubious ownership")
    # unless it is named safe. Naming it trusts it no further than building
    # it does, since the build runs the tree's own scripts anyway.
    get_filename_component(source_real ${CMAKE_SOURCE_DIR} REALPATH)
    set(git ${GIT_EXECUTABLE} -c safe.directory=${CMAKE_SOURCE_DIR}
        -c safe.directory=${source_real} -C ${CMAKE_SOURCE_DIR})
    execute_process(COMMAND ${git} rev-parse --show-toplevel --absolute-git-dir
                    OUTPUT_VARIABLE git_dirs ERROR_VARIABLE git_error
                    RESULT_VARIABLE git_rc OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REPLACE "\n" ";" git_dirs "${git_dirs}")
    list(LENGTH git_dirs git_dir_count)
    if(git_rc EQUAL 0 AND git_dir_count EQUAL 2)
      list(GET git_dirs 0 git_top)
      list(GET git_dirs 1 git_dir)
      get_filename_component(git_top ${git_top} REALPATH)
    else()
      set(git_top "")
      string(STRIP "${git_error}" git_error)
      if(git_error)
        message(STATUS "Source date: git gives no commit here: ${git_error}")
      endif()
    endif()
    # A tree unpacked inside some other repository must not take its date.
    if(git_top STREQUAL source_real)
      execute_process(COMMAND ${git} log -1 --format=%ct
                      OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                      ERROR_QUIET)
      if(commit_time MATCHES "^[0-9]+$")
        set(TARVIK_SOURCE_DATE_EPOCH ${commit_time})
        set(source_date_from "the last commit")
      endif()
      # A new commit moves the date: configure again after each one.
      if(EXISTS ${git_dir}/logs/HEAD)
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${git_dir}/logs/HEAD)
      endif()
    endif()
  endif()
endif()

if(NOT TARVIK_SOURCE_DATE_EPOCH)
  file(STRINGS ${CMAKE_SOURCE_DIR}/CHANGELOG.md releases
       REGEX "^## \\[[0-9][0-9A-Za-z.+~-]*\\] - [0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$")
  if(releases)
    list(GET releases 0 newest)
    string(REGEX MATCH "[0-9-]+$" release_date "${newest}")
    tarvik_iso_noon(${release_date} TARVIK_SOURCE_DATE_EPOCH)
    set(source_date_from "the release date of the newest entry in CHANGELOG.md (${release_date})")
  endif()
endif()

if(NOT TARVIK_SOURCE_DATE_EPOCH)
  message(FATAL_ERROR "No source date: neither git, cmake/commit_date.txt nor CHANGELOG.md "
                      "gives one. Set SOURCE_DATE_EPOCH to the source's time in seconds.")
endif()
message(STATUS "Source date: ${TARVIK_SOURCE_DATE_EPOCH}, from ${source_date_from}")
