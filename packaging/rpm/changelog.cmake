# Turns the Debian changelog, made from CHANGELOG.md just before, into the
# body of the RPM's %changelog, so that both packages tell the same story
# with the same dates.
#   cmake -DIN=debian/changelog -DOUT=rpm/changelog -DRELEASE=1 -P changelog.cmake
# Each "PACKAGE (VERSION) ..." entry becomes "* Www Mmm DD YYYY NAME <ADDRESS>
# - VERSION-RELEASE", its "  * " items "- " items; a per cent sign is doubled,
# since rpmbuild expands macros in the section.

file(STRINGS ${IN} lines)
set(text "")
set(items "")
set(version "")
foreach(line IN LISTS lines)
  string(REPLACE "%" "%%" line "${line}")
  if(line MATCHES "^[a-z0-9.+-]+ \\(([^)]+)\\) ")
    set(version ${CMAKE_MATCH_1})
    set(items "")
  elseif(line MATCHES "^ -- (.+)  ([A-Z][a-z][a-z]), ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9]+) ")
    string(APPEND text "* ${CMAKE_MATCH_2} ${CMAKE_MATCH_4} ${CMAKE_MATCH_3} ${CMAKE_MATCH_5} "
                       "${CMAKE_MATCH_1} - ${version}-${RELEASE}\n${items}\n")
  elseif(line MATCHES "^  \\* (.*)$")
    string(APPEND items "- ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^    (.*)$")
    string(APPEND items "  ${CMAKE_MATCH_1}\n")
  elseif(line MATCHES "^  (.*)$")
    string(APPEND items "${CMAKE_MATCH_1}\n")
  endif()
endforeach()
if(text STREQUAL "")
  message(FATAL_ERROR "no release entry in ${IN}")
endif()
string(REGEX REPLACE "\n+$" "\n" text "${text}")
file(WRITE ${OUT} "${text}")
