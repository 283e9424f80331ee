# Runs one program and checks its exit status and its standard output, and
# optionally its standard error (CTest's PASS_REGULAR_EXPRESSION alone would
# ignore the exit status and mix the two streams).
#   cmake "-DCOMMAND=prog;arg;..." -DEXPECT_RC=0 "-DEXPECT_STDOUT=regex"
#         ["-DEXPECT_STDERR=regex"] [-DWORKDIR=dir] -P expect_output.cmake
cmake_minimum_required(VERSION 3.25)
foreach(var COMMAND EXPECT_RC EXPECT_STDOUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "expect_output: ${var} is not set")
  endif()
endforeach()
if(NOT DEFINED WORKDIR)
  set(WORKDIR "${CMAKE_CURRENT_BINARY_DIR}")
endif()
execute_process(COMMAND ${COMMAND} WORKING_DIRECTORY "${WORKDIR}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc STREQUAL "${EXPECT_RC}")
  message(FATAL_ERROR "${COMMAND}: exit status ${rc}, expected ${EXPECT_RC}\nstdout: ${out}\nstderr: ${err}")
endif()
if(NOT out MATCHES "${EXPECT_STDOUT}")
  message(FATAL_ERROR "${COMMAND}: stdout does not match ${EXPECT_STDOUT}\nstdout: [${out}]")
endif()
if(DEFINED EXPECT_STDERR AND NOT err MATCHES "${EXPECT_STDERR}")
  message(FATAL_ERROR "${COMMAND}: stderr does not match ${EXPECT_STDERR}\nstderr: [${err}]")
endif()
message(STATUS "${COMMAND}: exit status ${rc}, stdout [${out}], stderr [${err}]")
