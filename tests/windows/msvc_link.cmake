# Builds tests/windows/msvc_link_probe.c for MSVC's ABI with clang and
# lld-link against the MSVC import library only, checks that the program
# imports the six-function DLL by name, and runs it under the emulator with
# the DLL beside it.
#   cmake -DCLANG=clang-14 -DLLD_LINK=lld-link -DOBJDUMP=... -DLIB=x.lib -DDLL=x.dll
#         -DSOURCE=msvc_link_probe.c -DWORK=dir [-DEMULATOR=wine] -P msvc_link.cmake
cmake_minimum_required(VERSION 3.25)
foreach(var CLANG LLD_LINK OBJDUMP LIB DLL SOURCE WORK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "msvc_link: ${var} is not set")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "msvc_link: ${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

run("compiling" "${CLANG}" --target=x86_64-pc-windows-msvc -O1 -Wall -Wextra -Wpedantic -Werror -c "${SOURCE}" -o "${WORK}/probe.obj")
run("linking" "${LLD_LINK}" /nologo /nodefaultlib /entry:probe_main /subsystem:console
    "/out:${WORK}/probe.exe" "${WORK}/probe.obj" "${LIB}")
run("reading the import table" "${OBJDUMP}" -p "${WORK}/probe.exe")
if(NOT run_output MATCHES "DLL Name: velmora-imgwatermark\\.dll")
  message(FATAL_ERROR "msvc_link: probe.exe does not import velmora-imgwatermark.dll:\n${run_output}")
endif()
foreach(fn imgwatermark_init imgwatermark_last_error)
  if(NOT run_output MATCHES "[0-9a-f]+[ \t]+[0-9]+[ \t]+${fn}")
    message(FATAL_ERROR "msvc_link: probe.exe does not import ${fn}:\n${run_output}")
  endif()
endforeach()
file(COPY "${DLL}" DESTINATION "${WORK}")
execute_process(COMMAND ${EMULATOR} "${WORK}/probe.exe" WORKING_DIRECTORY "${WORK}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "msvc_link: probe.exe exited with ${rc}")
endif()
message(STATUS "msvc_link: probe.exe linked with lld-link against ${LIB} and ran")
