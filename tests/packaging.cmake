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
