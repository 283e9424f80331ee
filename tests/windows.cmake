# Checks of the Windows build: the DLL's export and import tables, read with
# objdump on the build machine, and a host program that loads the DLL with
# LoadLibraryA and drives all six exports (run under Wine when cross built).
if(NOT WIN32)
  return()
endif()

set(IMGWATERMARK_EXPORTS
  imgwatermark_last_error imgwatermark_init imgwatermark_cleanup
  imgwatermark_text imgwatermark_image imgwatermark_batch)

if(NOT CMAKE_OBJDUMP)
  find_program(CMAKE_OBJDUMP NAMES x86_64-w64-mingw32-objdump objdump)
endif()
if(CMAKE_OBJDUMP)
  # The command is a path, not a target, so no emulator is put in front.
  add_test(NAME windows_dll_exports
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DDLL=$<TARGET_FILE:velmora-imgwatermark>
            -DCHECK=exports "-DEXPECTED_EXPORTS=${IMGWATERMARK_EXPORTS}"
            -P "${PROJECT_SOURCE_DIR}/cmake/check-dll-tables.cmake")
  add_test(NAME windows_dll_imports
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DDLL=$<TARGET_FILE:velmora-imgwatermark>
            -DCHECK=imports -P "${PROJECT_SOURCE_DIR}/cmake/check-dll-tables.cmake")
else()
  message(WARNING "objdump not found: the DLL export and import table tests are left out")
endif()

# The host knows the library only by its DLL name and the six export names:
# no header, no import library.
add_executable(loadlibrary_host windows/loadlibrary_host.c)
target_include_directories(loadlibrary_host SYSTEM PRIVATE "${IMGWATERMARK_STB_INCLUDE}")
target_compile_options(loadlibrary_host PRIVATE -Wall -Wextra -Wpedantic)
set_target_properties(loadlibrary_host PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON)
# The DLL is copied next to the tests when it is built.
add_dependencies(loadlibrary_host velmora-imgwatermark)
add_test(NAME windows_loadlibrary_host COMMAND loadlibrary_host
  WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}")
set_tests_properties(windows_loadlibrary_host PROPERTIES TIMEOUT 300)

# The SDK folder: the MSVC import library and the version resource read back
# with LLVM's tools, and the folder and zip made by the sdk-zip target.
find_program(IMGWATERMARK_LLVM_NM NAMES llvm-nm-14 llvm-nm)
find_program(IMGWATERMARK_LLVM_READOBJ NAMES llvm-readobj-14 llvm-readobj)
find_program(IMGWATERMARK_HOST_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(IMGWATERMARK_HOST_PYTHON AND IMGWATERMARK_LLVM_NM AND IMGWATERMARK_LLVM_READOBJ)
  set(check_sdk "${CMAKE_CURRENT_SOURCE_DIR}/windows/check_sdk.py")
  add_test(NAME windows_msvc_import_lib
    COMMAND "${IMGWATERMARK_HOST_PYTHON}" "${check_sdk}" import-lib "${IMGWATERMARK_LLVM_NM}"
            "${PROJECT_BINARY_DIR}/velmora-imgwatermark.lib")
  add_test(NAME windows_version_resource
    COMMAND "${IMGWATERMARK_HOST_PYTHON}" "${check_sdk}" version-resource "${IMGWATERMARK_LLVM_READOBJ}"
            "$<TARGET_FILE:velmora-imgwatermark>" "${PROJECT_VERSION}")
  add_test(NAME windows_sdk_folder
    COMMAND "${IMGWATERMARK_HOST_PYTHON}" "${check_sdk}" sdk-folder "${CMAKE_COMMAND}"
            "${PROJECT_BINARY_DIR}" "${PROJECT_SOURCE_DIR}" "${PROJECT_VERSION}")
  set_tests_properties(windows_sdk_folder PROPERTIES TIMEOUT 300)
else()
  message(WARNING "python3, llvm-nm or llvm-readobj not found (Debian's python3, llvm-14): the SDK folder tests are left out")
endif()

# The MSVC import library in use: a program linked by lld-link (MSVC's
# command line and ABI) against it alone runs with the DLL.
find_program(IMGWATERMARK_CLANG NAMES clang-14 clang)
find_program(IMGWATERMARK_LLD_LINK NAMES lld-link-14 lld-link)
if(IMGWATERMARK_CLANG AND IMGWATERMARK_LLD_LINK AND CMAKE_OBJDUMP)
  add_test(NAME windows_msvc_link
    COMMAND ${CMAKE_COMMAND} -DCLANG=${IMGWATERMARK_CLANG} -DLLD_LINK=${IMGWATERMARK_LLD_LINK}
            -DOBJDUMP=${CMAKE_OBJDUMP} -DLIB=${PROJECT_BINARY_DIR}/velmora-imgwatermark.lib
            -DDLL=$<TARGET_FILE:velmora-imgwatermark>
            -DSOURCE=${CMAKE_CURRENT_SOURCE_DIR}/windows/msvc_link_probe.c
            -DWORK=${CMAKE_CURRENT_BINARY_DIR}/msvc-link "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
            -P "${CMAKE_CURRENT_SOURCE_DIR}/windows/msvc_link.cmake")
  set_tests_properties(windows_msvc_link PROPERTIES TIMEOUT 300)
else()
  message(WARNING "clang, lld-link or objdump not found (Debian's clang-14, lld-14): the MSVC link test is left out")
endif()
