# Makes the command-line host tests' inputs in DIR: a small photo, and two
# batch directories, one with two images and a TGA (which the batch skips by
# its name), one with no image at all.
#   cmake "-DMAKE_SAMPLE=[emulator;]make_sample" -DDIR=dir -P cli_inputs.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${DIR}")
file(MAKE_DIRECTORY "${DIR}/batch-in" "${DIR}/batch-none")
execute_process(COMMAND ${MAKE_SAMPLE} photo.bmp batch-in/logo.tga 64 48 WORKING_DIRECTORY "${DIR}"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "make_sample failed: ${rc}")
endif()
file(COPY_FILE "${DIR}/photo.bmp" "${DIR}/batch-in/one.bmp")
file(COPY_FILE "${DIR}/photo.bmp" "${DIR}/batch-in/two.BMP")
file(WRITE "${DIR}/batch-none/notes.txt" "not an image\n")
