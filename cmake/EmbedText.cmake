# ecr_embed_text(OUT_HEADER SYMBOL INPUT)
#
# Generates OUT_HEADER, a C++17 header that holds INPUT's bytes as
#   inline constexpr char SYMBOL[] = { ..., 0 };          // NUL-terminated
#   inline constexpr std::size_t SYMBOL_size = N;           // without the NUL
# and regenerates it when INPUT changes.  Add OUT_HEADER to the sources of a
# target defined in the same directory so the rule runs before it compiles,
# and put its directory on the include path.
#
# The same file runs as a script (cmake -P) to write the header.

if(CMAKE_SCRIPT_MODE_FILE)
  file(READ "${INPUT}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  # Each byte as its own character literal: no escape can swallow the next
  # byte, and no compiler limit on string-literal length applies.
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n  " bytes "${bytes}")
  get_filename_component(name "${INPUT}" NAME)
  file(WRITE "${OUTPUT}.tmp"
    "// Generated from ${name} by EmbedText.cmake; edit the source file instead.\n"
    "#pragma once\n#include <cstddef>\n\n"
    "inline constexpr char ${SYMBOL}[] = {\n  ${bytes}0};\n"
    "inline constexpr std::size_t ${SYMBOL}_size = ${size};\n")
  file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
  return()
endif()

set(ECR_EMBED_TEXT_SCRIPT "${CMAKE_CURRENT_LIST_FILE}")

function(ecr_embed_text OUT_HEADER SYMBOL INPUT)
  get_filename_component(input "${INPUT}" ABSOLUTE)
  get_filename_component(dir "${OUT_HEADER}" DIRECTORY)
  file(MAKE_DIRECTORY "${dir}")
  add_custom_command(
    OUTPUT "${OUT_HEADER}"
    COMMAND "${CMAKE_COMMAND}" -DINPUT=${input} -DOUTPUT=${OUT_HEADER} -DSYMBOL=${SYMBOL}
            -P "${ECR_EMBED_TEXT_SCRIPT}"
    DEPENDS "${input}" "${ECR_EMBED_TEXT_SCRIPT}"
    COMMENT "Embedding ${INPUT} as ${SYMBOL}"
    VERBATIM)
endfunction()
