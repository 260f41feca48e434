# The README shows tests/c/readme_example.c verbatim; this keeps the two equal.
file(READ "${README}" readme)
file(READ "${EXAMPLE}" example)
string(FIND "${readme}" "${example}" pos)
if(pos EQUAL -1)
  message(FATAL_ERROR "README.md does not show tests/c/readme_example.c verbatim")
endif()
