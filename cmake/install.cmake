# What `cmake --install` puts under the prefix.
#
# Everywhere: the module, the header and the command-line host. On Linux also
# a CMake package (find_package(velmora-imgwatermark CONFIG) giving
# velmora::imgwatermark) and a pkg-config file. On Windows the prefix becomes
# the SDK folder a customer unpacks: the DLL and the host in bin/, the MinGW
# import library (.dll.a), an MSVC import library (.lib) and the export list
# (.def) in lib/, the header, and the C# declarations; the sdk-zip target packs
# that folder into velmora-imgwatermark-<version>-win64.zip.
# The licence and the third-party notices go along everywhere, in
# share/doc/velmora-imgwatermark/ (in the SDK folder too).
# Test programs, the sample maker and the benchmark are never installed.
include(GNUInstallDirs)

set(IMGWATERMARK_NOTICES "${PROJECT_SOURCE_DIR}/LICENSE" "${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES.txt")
install(FILES ${IMGWATERMARK_NOTICES} DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/velmora-imgwatermark")

set(IMGWATERMARK_HEADER "${PROJECT_SOURCE_DIR}/include/imgwatermark.h")
set_target_properties(velmora-imgwatermark PROPERTIES EXPORT_NAME imgwatermark)
if(TARGET imgwatermark)
  # The installed host finds the module installed beside it.
  if(APPLE)
    set_target_properties(imgwatermark PROPERTIES INSTALL_RPATH "@loader_path/../${CMAKE_INSTALL_LIBDIR}")
  elseif(NOT WIN32)
    set_target_properties(imgwatermark PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  endif()
  install(TARGETS imgwatermark RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
endif()

if(WIN32)
  install(TARGETS velmora-imgwatermark
    RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}")
  install(FILES "${IMGWATERMARK_DEF_FILE}" DESTINATION "${CMAKE_INSTALL_LIBDIR}")
  if(IMGWATERMARK_MSVC_IMPORT_LIB)
    install(FILES "${IMGWATERMARK_MSVC_IMPORT_LIB}" DESTINATION "${CMAKE_INSTALL_LIBDIR}")
  endif()
  install(FILES "${IMGWATERMARK_HEADER}" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
  install(FILES "${PROJECT_SOURCE_DIR}/bindings/csharp/ImgWatermark.cs" DESTINATION bindings/csharp)

  # The folder is installed afresh into sdk/<name>/ and zipped with that
  # folder at the top of the archive.
  set(IMGWATERMARK_SDK_NAME "velmora-imgwatermark-${PROJECT_VERSION}-win64")
  set(IMGWATERMARK_SDK_ZIP "${CMAKE_BINARY_DIR}/${IMGWATERMARK_SDK_NAME}.zip")
  set(sdk_stage "${CMAKE_BINARY_DIR}/sdk")
  add_custom_target(sdk-zip
    COMMAND ${CMAKE_COMMAND} -E rm -rf "${sdk_stage}"
    COMMAND ${CMAKE_COMMAND} --install "${CMAKE_BINARY_DIR}" --prefix "${sdk_stage}/${IMGWATERMARK_SDK_NAME}"
    COMMAND ${CMAKE_COMMAND} -E rm -f "${IMGWATERMARK_SDK_ZIP}"
    COMMAND ${CMAKE_COMMAND} -E chdir "${sdk_stage}"
            ${CMAKE_COMMAND} -E tar cf "${IMGWATERMARK_SDK_ZIP}" --format=zip "${IMGWATERMARK_SDK_NAME}"
    BYPRODUCTS "${IMGWATERMARK_SDK_ZIP}"
    COMMENT "Packing ${IMGWATERMARK_SDK_NAME}.zip"
    VERBATIM)
  add_dependencies(sdk-zip velmora-imgwatermark)
  if(TARGET imgwatermark)
    add_dependencies(sdk-zip imgwatermark)
  endif()
  return()
endif()

set(IMGWATERMARK_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/velmora-imgwatermark")
install(TARGETS velmora-imgwatermark EXPORT velmora-imgwatermark-targets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
  INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
install(FILES "${IMGWATERMARK_HEADER}" DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
install(EXPORT velmora-imgwatermark-targets NAMESPACE velmora::
  FILE velmora-imgwatermark-targets.cmake DESTINATION "${IMGWATERMARK_CMAKE_DIR}")

include(CMakePackageConfigHelpers)
configure_file("${PROJECT_SOURCE_DIR}/cmake/package/velmora-imgwatermark-config.cmake.in"
  "${CMAKE_BINARY_DIR}/package/velmora-imgwatermark-config.cmake" @ONLY)
write_basic_package_version_file("${CMAKE_BINARY_DIR}/package/velmora-imgwatermark-config-version.cmake"
  VERSION "${PROJECT_VERSION}" COMPATIBILITY SameMajorVersion)
install(FILES "${CMAKE_BINARY_DIR}/package/velmora-imgwatermark-config.cmake"
              "${CMAKE_BINARY_DIR}/package/velmora-imgwatermark-config-version.cmake"
  DESTINATION "${IMGWATERMARK_CMAKE_DIR}")

# pkg-config: the prefix is found from the .pc file's own place.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  message(FATAL_ERROR "velmora-imgwatermark.pc needs CMAKE_INSTALL_LIBDIR and CMAKE_INSTALL_INCLUDEDIR relative to the prefix")
endif()
file(RELATIVE_PATH IMGWATERMARK_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" IMGWATERMARK_PC_TO_PREFIX "${IMGWATERMARK_PC_TO_PREFIX}")
configure_file("${PROJECT_SOURCE_DIR}/cmake/package/velmora-imgwatermark.pc.in"
  "${CMAKE_BINARY_DIR}/package/velmora-imgwatermark.pc" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/package/velmora-imgwatermark.pc"
  DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
