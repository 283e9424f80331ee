# Windows specifics of the module velmora-imgwatermark.dll.
#
# The DLL carries its whole C and C++ runtime (libgcc, libstdc++, winpthread)
# so that a host needs nothing beside it but Windows' own system DLLs. Its
# export table holds only the functions marked dllexport in imgwatermark.h;
# nothing is exported automatically. The link also writes the import library
# (velmora-imgwatermark.dll.a) and a module definition file listing the
# exports (velmora-imgwatermark.def), for hosts that make their own import
# library. An MSVC import library (velmora-imgwatermark.lib) is made from
# that list too.
set(IMGWATERMARK_DEF_FILE "${CMAKE_CURRENT_BINARY_DIR}/velmora-imgwatermark.def")
target_link_options(velmora-imgwatermark PRIVATE
  -static
  -Wl,--exclude-all-symbols
  -Wl,--output-def,${IMGWATERMARK_DEF_FILE})
set_property(TARGET velmora-imgwatermark APPEND PROPERTY ADDITIONAL_CLEAN_FILES "${IMGWATERMARK_DEF_FILE}")

# The programs built alongside (the command-line host, the tests) link their
# runtime statically too, so that Wine or a bare Windows runs them without
# the MinGW runtime DLLs.
string(APPEND CMAKE_EXE_LINKER_FLAGS " -static")

# Windows finds a DLL in the directory of the program that loads it: copy the
# module next to the programs of the build tree that load it.
add_custom_command(TARGET velmora-imgwatermark POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_CURRENT_BINARY_DIR}/tests" "${CMAKE_CURRENT_BINARY_DIR}/tools"
  COMMAND ${CMAKE_COMMAND} -E copy_if_different "$<TARGET_FILE:velmora-imgwatermark>"
          "${CMAKE_CURRENT_BINARY_DIR}/tests/"
  COMMAND ${CMAKE_COMMAND} -E copy_if_different "$<TARGET_FILE:velmora-imgwatermark>"
          "${CMAKE_CURRENT_BINARY_DIR}/tools/"
  VERBATIM)

# Version resource (FileVersion, ProductVersion, names) compiled by windres.
enable_language(RC)
configure_file("${PROJECT_SOURCE_DIR}/cmake/velmora-imgwatermark.rc.in"
  "${CMAKE_CURRENT_BINARY_DIR}/generated/velmora-imgwatermark.rc" @ONLY)
target_sources(velmora-imgwatermark PRIVATE "${CMAKE_CURRENT_BINARY_DIR}/generated/velmora-imgwatermark.rc")

# An import library for MSVC's linker, made from the export list with LLVM's
# dlltool (the MinGW one writes the GNU archive flavour only).
find_program(IMGWATERMARK_LLVM_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool)
if(IMGWATERMARK_LLVM_DLLTOOL)
  set(IMGWATERMARK_MSVC_IMPORT_LIB "${CMAKE_CURRENT_BINARY_DIR}/velmora-imgwatermark.lib")
  add_custom_command(TARGET velmora-imgwatermark POST_BUILD
    COMMAND "${IMGWATERMARK_LLVM_DLLTOOL}" -m i386:x86-64 -d "${IMGWATERMARK_DEF_FILE}"
            -l "${IMGWATERMARK_MSVC_IMPORT_LIB}" -D velmora-imgwatermark.dll
    BYPRODUCTS "${IMGWATERMARK_MSVC_IMPORT_LIB}"
    VERBATIM)
else()
  message(WARNING "llvm-dlltool not found (Debian's llvm-14): no MSVC import library velmora-imgwatermark.lib")
endif()
