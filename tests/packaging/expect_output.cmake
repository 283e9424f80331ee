# Runs one program and checks both its exit status and its standard output
# (CTest's PASS_REGULAR_EXPRESSION alone would ignore the exit status).
#   cmake "-DCOMMAND=prog;arg;..." -DEXPECT_RC=0 "-DEXPECT_STDOUT=regex" -P expect_output.cmake
cmake_minimum_required(VERSION 3.25)
foreach(var COMMAND EXPECT_RC EXPECT_STDOUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "expect_output: ${var} is not set")
  endif()
endforeach()
execute_process(COMMAND ${COMMAND} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc STREQUAL "${EXPECT_RC}")
  message(FATAL_ERROR "${COMMAND}: exit status ${rc}, expected ${EXPECT_RC}\nstdout: ${out}\nstderr: ${err}")
endif()
if(NOT out MATCHES "${EXPECT_STDOUT}")
  message(FATAL_ERROR "${COMMAND}: stdout does not match ${EXPECT_STDOUT}\nstdout: [${out}]")
endif()
message(STATUS "${COMMAND}: exit status ${rc}, stdout [${out}]")
