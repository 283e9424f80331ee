# Checks that docs/robustness.md describes exactly the fuzz targets the fuzz
# stage runs: the names on the `for target in ...` line of
# cmake/stage-fuzz.sh (each run as fuzz_<name>) against the "- `fuzz_...`:"
# entries of the document.
#   cmake -DSOURCE_DIR=<repository> -P check_docs.cmake
cmake_minimum_required(VERSION 3.25)
file(READ "${SOURCE_DIR}/cmake/stage-fuzz.sh" script)
if(NOT script MATCHES "\nfor target in ([a-z0-9_ ]+); do")
  message(FATAL_ERROR "no `for target in ...; do` line in cmake/stage-fuzz.sh")
endif()
string(REGEX MATCHALL "[a-z0-9_]+" names "${CMAKE_MATCH_1}")
set(run "")
foreach(name IN LISTS names)
  list(APPEND run "fuzz_${name}")
  # The stage must also build what it runs.
  if(NOT script MATCHES "--target[^\n]* fuzz_${name}[ \n]")
    message(FATAL_ERROR "cmake/stage-fuzz.sh runs fuzz_${name} but does not build it")
  endif()
endforeach()

file(STRINGS "${SOURCE_DIR}/docs/robustness.md" entries REGEX "^- `fuzz_[a-z0-9_]+`:")
set(described "")
foreach(entry IN LISTS entries)
  string(REGEX MATCH "fuzz_[a-z0-9_]+" name "${entry}")
  list(APPEND described "${name}")
endforeach()

list(SORT run)
list(SORT described)
if(NOT run STREQUAL described)
  set(missing ${run})
  list(REMOVE_ITEM missing ${described})
  set(extra ${described})
  list(REMOVE_ITEM extra ${run})
  message(FATAL_ERROR "docs/robustness.md and cmake/stage-fuzz.sh disagree on the fuzz targets:\n"
                      "  run but not described: ${missing}\n  described but not run: ${extra}")
endif()
message(STATUS "fuzz targets run and described: ${run}")
