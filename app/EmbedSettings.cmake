# Writes the header that holds the commented settings a first start writes (app/TollkeepForm):
# the bytes of packaging/Drumlin.ini.example and packaging/Sablewick.ini.example, so that the
# installed examples and what the node writes are one text. Run with -DOUT=<header>
# -DDRUMLIN=<file> -DSABLEWICK=<file>.
set(text "// Made by app/EmbedSettings.cmake from the packaging/*.ini.example files: edit those.\n")
string(APPEND text "#pragma once\n\n#include <string_view>\n\nnamespace sablewick {\n\n")
set(entries "")
foreach(pair "Drumlin;${DRUMLIN}" "Sablewick;${SABLEWICK}")
  list(GET pair 0 name)
  list(GET pair 1 file)
  file(READ "${file}" bytes HEX)
  string(LENGTH "${bytes}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
  # Lines of 16 bytes keep the header readable (CMake's expressions have no "{16}").
  string(REPEAT "0x..," 16 row)
  string(REGEX REPLACE "(${row})" "\\1\n    " bytes "${bytes}")
  string(APPEND text "inline constexpr char k${name}IniText[${size} + 1] = {\n    ${bytes}0};\n\n")
  string(APPEND entries "    {\"${name}.ini\", {k${name}IniText, ${size}}},\n")
endforeach()
string(APPEND text "struct FirstStartFile {\n  std::string_view name;  // below Config/\n"
                   "  std::string_view text;\n};\n\n"
                   "inline constexpr FirstStartFile kFirstStartFiles[] = {\n${entries}};\n\n"
                   "}  // namespace sablewick\n")
# Rewritten only when it changes, so that the sources including it are not built again.
set(old "")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
