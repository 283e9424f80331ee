# Windows specifics of the module velmora-imgwatermark.dll.
#
# The DLL carries its whole C and C++ runtime (libgcc, libstdc++, winpthread)
# so that a host needs nothing beside it but Windows' own system DLLs. Its
# export table holds only the functions marked dllexport in imgwatermark.h;
# nothing is exported automatically. The link also writes the import library
# (velmora-imgwatermark.dll.a) and a module definition file listing the
# exports (velmora-imgwatermark.def), for hosts that make their own import
# library, e.g. with lib.exe /def:.
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
