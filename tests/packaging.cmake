# Packaging and host checks: the command-line host's version, the installed
# tree used by the example consumer, and the C# and Python bindings driven
# against the built module.

set(IMGWATERMARK_PACKAGING_DIR "${CMAKE_CURRENT_SOURCE_DIR}/packaging")

if(TARGET imgwatermark)
  add_test(NAME cli.version
    COMMAND ${CMAKE_COMMAND} "-DCOMMAND=${CMAKE_CROSSCOMPILING_EMULATOR};$<TARGET_FILE:imgwatermark>;--version"
            -DEXPECT_RC=0 "-DEXPECT_STDOUT=^imgwatermark ${PROJECT_VERSION}\r?\n$"
            -P "${IMGWATERMARK_PACKAGING_DIR}/expect_output.cmake")
endif()

# The host's own failures and outputs: exit status, stdout and stderr of one
# run each, in a directory of small inputs made first (cli.inputs). Paths are
# relative, so the messages are the same under Wine.
if(TARGET imgwatermark AND TARGET make_sample)
  set(cli_dir "${CMAKE_CURRENT_BINARY_DIR}/cli-check")
  add_test(NAME cli.inputs
    COMMAND ${CMAKE_COMMAND} "-DMAKE_SAMPLE=${CMAKE_CROSSCOMPILING_EMULATOR};$<TARGET_FILE:make_sample>"
            "-DDIR=${cli_dir}" -P "${IMGWATERMARK_PACKAGING_DIR}/cli_inputs.cmake")
  set_tests_properties(cli.inputs PROPERTIES FIXTURES_SETUP cli_inputs)

  # imgwatermark_cli_test(NAME RC STDOUT STDERR ARGS...): the host run with
  # ARGS; STDOUT and STDERR are regular expressions for the whole stream.
  function(imgwatermark_cli_test name rc stdout stderr)
    add_test(NAME cli.${name}
      COMMAND ${CMAKE_COMMAND} "-DCOMMAND=${CMAKE_CROSSCOMPILING_EMULATOR};$<TARGET_FILE:imgwatermark>;${ARGN}"
              "-DEXPECT_RC=${rc}" "-DEXPECT_STDOUT=${stdout}" "-DEXPECT_STDERR=${stderr}" "-DWORKDIR=${cli_dir}"
              -P "${IMGWATERMARK_PACKAGING_DIR}/expect_output.cmake")
    set_tests_properties(cli.${name} PROPERTIES FIXTURES_REQUIRED cli_inputs)
  endfunction()

  set(nothing "^$")
  set(usage "^usage:\r?\n  imgwatermark text  --in FILE --out FILE --text TEXT .*batch prints the number of images written[.]\r?\n$")
  imgwatermark_cli_test(help 0 "${usage}" "${nothing}" --help)
  imgwatermark_cli_test(no_arguments 1 "${nothing}" "${usage}")
  imgwatermark_cli_test(text_writes 0 "${nothing}" "${nothing}"
    text --in photo.bmp --out marked.png --text "proof\\nline" --position tile --color 255,0,0)
  # A failing call: status 1 and the library's message, after the host's name.
  imgwatermark_cli_test(text_missing_input 1 "${nothing}" "^imgwatermark: cannot read file: no-such-photo[.]png\r?\n$"
    text --in no-such-photo.png --out out.png --text proof)
  imgwatermark_cli_test(text_unwritable_output 1 "${nothing}"
    "^imgwatermark: failed to write image to no-such-dir/out[.]png\r?\n$"
    text --in photo.bmp --out no-such-dir/out.png --text proof)
  imgwatermark_cli_test(image_missing_mark 1 "${nothing}" "^imgwatermark: cannot read file: no-such-logo[.]png\r?\n$"
    image --in photo.bmp --out out.png --mark no-such-logo.png)
  # The batch prints how many images it wrote: the two BMPs, not the TGA.
  imgwatermark_cli_test(batch_count 0 "^2\r?\n$" "${nothing}" batch --in batch-in --out batch-out --text PROOF)
  imgwatermark_cli_test(batch_nothing_to_mark 1 "^0\r?\n$"
    "^imgwatermark: batch: no supported images found in batch-none\r?\n$"
    batch --in batch-none --out batch-none-out --text PROOF)
  # The host's own refusals, before any library call.
  imgwatermark_cli_test(unknown_flag 1 "${nothing}" "^imgwatermark: unknown flag --bogus\r?\n$"
    text --in photo.bmp --bogus 1)
  imgwatermark_cli_test(unknown_flag_last 1 "${nothing}" "^imgwatermark: unknown flag --bogus\r?\n$"
    text --in photo.bmp --bogus)
  imgwatermark_cli_test(missing_value 1 "${nothing}" "^imgwatermark: --text needs a value\r?\n$"
    text --in photo.bmp --out out.png --text)
  imgwatermark_cli_test(bad_value 1 "${nothing}" "^imgwatermark: bad value for --size: ten\r?\n$"
    text --in photo.bmp --out out.png --text proof --size ten)
  imgwatermark_cli_test(unknown_command 1 "${nothing}" "^imgwatermark: unknown command stamp [(]try --help[)]\r?\n$"
    stamp --in photo.bmp)
endif()

if(CMAKE_CROSSCOMPILING OR WIN32 OR NOT TARGET imgwatermark OR NOT TARGET make_sample)
  return()
endif()

# Programs from outside the build (a C compiler run by the test, Mono, Python)
# load the module too; a sanitizer build's module needs its runtime loaded
# first, which those programs do not do, so these checks run in plain builds.
if("${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS} ${CMAKE_SHARED_LINKER_FLAGS}" MATCHES "-fsanitize")
  message(STATUS "Sanitizer build: install, C# and Python host tests left out")
  return()
endif()

add_executable(pixel_check packaging/pixel_check.c)
target_include_directories(pixel_check SYSTEM PRIVATE "${IMGWATERMARK_STB_INCLUDE}")
target_compile_options(pixel_check PRIVATE -Wall -Wextra -Wpedantic)
target_link_libraries(pixel_check PRIVATE m)

find_program(IMGWATERMARK_BASH bash)
if(IMGWATERMARK_BASH)
  add_test(NAME install.example_consumer
    COMMAND "${IMGWATERMARK_BASH}" "${IMGWATERMARK_PACKAGING_DIR}/check_install.sh"
            "${PROJECT_BINARY_DIR}" "${PROJECT_SOURCE_DIR}" "${CMAKE_INSTALL_LIBDIR}"
            "${CMAKE_CURRENT_BINARY_DIR}/install-check" "${CMAKE_C_COMPILER}"
            "$<TARGET_FILE:make_sample>" "$<TARGET_FILE:pixel_check>" "${PROJECT_VERSION}")
  set_tests_properties(install.example_consumer PROPERTIES TIMEOUT 300)
endif()

# C#: the bindings file and its test program compiled with Mono's mcs, run
# with mono against the Linux module, which Mono finds by the library name
# on LD_LIBRARY_PATH.
find_program(IMGWATERMARK_MCS mcs)
find_program(IMGWATERMARK_MONO mono)
if(IMGWATERMARK_MCS AND IMGWATERMARK_MONO)
  set(csharp_dir "${PROJECT_SOURCE_DIR}/bindings/csharp")
  set(csharp_exe "${CMAKE_CURRENT_BINARY_DIR}/ImgWatermarkTests.exe")
  add_custom_command(OUTPUT "${csharp_exe}"
    COMMAND "${IMGWATERMARK_MCS}" -nologo -warnaserror+ -target:exe "-out:${csharp_exe}"
            "${csharp_dir}/ImgWatermark.cs" "${csharp_dir}/tests/ImgWatermarkTests.cs"
    DEPENDS "${csharp_dir}/ImgWatermark.cs" "${csharp_dir}/tests/ImgWatermarkTests.cs"
    COMMENT "Compiling the C# tests"
    VERBATIM)
  add_custom_target(csharp_tests ALL DEPENDS "${csharp_exe}")
  add_test(NAME csharp.bindings
    COMMAND "${IMGWATERMARK_MONO}" "${csharp_exe}" "${CMAKE_CURRENT_BINARY_DIR}"
            "$<TARGET_FILE:imgwatermark>" "$<TARGET_FILE:make_sample>")
  set_tests_properties(csharp.bindings PROPERTIES TIMEOUT 300
    ENVIRONMENT "LD_LIBRARY_PATH=$<TARGET_FILE_DIR:velmora-imgwatermark>")
else()
  message(STATUS "mcs or mono not found: the C# binding test is left out")
endif()

# Python: the ctypes binding tested with Debian's interpreter (unittest only,
# no third-party packages).
find_program(IMGWATERMARK_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT IMGWATERMARK_PYTHON)
  find_program(IMGWATERMARK_PYTHON NAMES python3)
endif()
if(IMGWATERMARK_PYTHON)
  add_test(NAME python.bindings
    COMMAND "${IMGWATERMARK_PYTHON}" -m unittest discover -v
            -s "${PROJECT_SOURCE_DIR}/bindings/python/tests" -t "${PROJECT_SOURCE_DIR}/bindings/python/tests")
  set_tests_properties(python.bindings PROPERTIES TIMEOUT 300 ENVIRONMENT
    "VELMORA_IMGWATERMARK_LIBRARY=$<TARGET_FILE:velmora-imgwatermark>;IMGWATERMARK_CLI=$<TARGET_FILE:imgwatermark>;IMGWATERMARK_MAKE_SAMPLE=$<TARGET_FILE:make_sample>;IMGWATERMARK_TEST_DIR=${CMAKE_CURRENT_BINARY_DIR}/python-check;PYTHONDONTWRITEBYTECODE=1")
else()
  message(STATUS "python3 not found: the Python binding test is left out")
endif()
