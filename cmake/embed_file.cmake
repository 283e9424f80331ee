# Turns a binary file into a comma-separated list of byte literals that a C++
# source includes inside an array initializer.
#   cmake -DINPUT=<file> -DOUTPUT=<file.inc> -P embed_file.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
if(hex_length EQUAL 0)
  message(FATAL_ERROR "embed_file: ${INPUT} is empty")
endif()
# 16 bytes per line, then every byte as 0xNN,
string(REGEX REPLACE "(................................)" "\\1\n" hex "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
file(WRITE "${OUTPUT}.tmp" "${hex}\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
