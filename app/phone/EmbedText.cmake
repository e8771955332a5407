# cmake -DINPUT=page.html -DTEMPLATE=x.cpp.in -DOUTPUT=x.cpp -P EmbedText.cmake
# Writes the input's bytes into the template's @PAGE_BYTES@ as a comma-separated list.
file(READ "${INPUT}" hex HEX)
if(hex STREQUAL "")
  message(FATAL_ERROR "${INPUT} is empty")
endif()
string(REGEX REPLACE "(..)" "'\\\\x\\1'," PAGE_BYTES "${hex}")
# One line per 16 bytes keeps the generated file readable in a debugger.
# (CMake's regular expressions have no {n} counts, hence the repeated group.)
string(REPEAT "'\\\\x..'," 16 sixteen)
string(REGEX REPLACE "(${sixteen})" "\\1\n    " PAGE_BYTES "${PAGE_BYTES}")
configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)
