# Turns a text asset into a C++ constant. Run as a script:
#   cmake -DIN=file -DOUT=file.cpp -DNAME=symbol -DKIND=template|snippet -P embed_text.cmake
# A page template carries two readable placeholders that become the marker
# bytes 0x01 and 0x02; everything else must be printable ASCII or LF.
file(READ "${IN}" text)

string(REGEX MATCH "[^\n -~]" bad "${text}")
if(NOT bad STREQUAL "")
  message(FATAL_ERROR "${IN}: only printable ASCII and LF may stand in a page asset")
endif()

if(KIND STREQUAL "template")
  foreach(mark THEME_HEAD THEME_BRIDGE)
    string(FIND "${text}" "@@${mark}@@" first)
    string(FIND "${text}" "@@${mark}@@" last REVERSE)
    if(first EQUAL -1 OR NOT first EQUAL last)
      message(FATAL_ERROR "${IN}: @@${mark}@@ must stand exactly once")
    endif()
  endforeach()
  string(LENGTH "${text}" len)
  math(EXPR tail_at "${len} - 15")
  string(SUBSTRING "${text}" ${tail_at} 15 tail)
  if(NOT tail STREQUAL "</body></html>\n")
    message(FATAL_ERROR "${IN}: must end with </body></html> and a newline")
  endif()
  string(ASCII 1 head_mark)
  string(ASCII 2 bridge_mark)
  string(REPLACE "@@THEME_HEAD@@" "${head_mark}" text "${text}")
  string(REPLACE "@@THEME_BRIDGE@@" "${bridge_mark}" text "${text}")
endif()

file(WRITE "${OUT}.raw" "${text}")
file(READ "${OUT}.raw" hex HEX)
file(REMOVE "${OUT}.raw")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUT}" "// Generated from ${IN}; edit that file instead.\nextern const char ${NAME}[];\nconst char ${NAME}[] = {\n${bytes}0x00};\n")
