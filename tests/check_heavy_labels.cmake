# Every name in TD_HEAVY_TESTS (tests/CMakeLists.txt) is a listed test case:
# ctest labels the cases it finds and ignores other names, so a renamed or
# mistyped one would quietly run under ASan again.
execute_process(COMMAND "${CTEST}" -N -L "^heavy$" WORKING_DIRECTORY "${BUILD_DIR}"
                OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "ctest -N failed (${rc}):\n${out}")
endif()
if(NOT out MATCHES "Total Tests: ([0-9]+)")
  message(FATAL_ERROR "no test count in:\n${out}")
endif()
if(NOT CMAKE_MATCH_1 EQUAL EXPECTED)
  message(FATAL_ERROR "${CMAKE_MATCH_1} test cases carry the heavy label, but TD_HEAVY_TESTS names ${EXPECTED}:\n${out}")
endif()
