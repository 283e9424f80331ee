# Stops the configure step unless `path` is exactly the Caladea Regular 1.002
# file the text layout is built for.
function(imgwatermark_check_font path)
  set(expected_size 58964)
  set(expected_sha256 d2f6cad33f191e65b68bd74e6d4f7708080a41b32db635866109df3090265d91)
  set(what "the Caladea Regular 1.002 font (Caladea-Regular.ttf, ${expected_size} bytes, SHA-256 ${expected_sha256})")
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "Font file not found: ${path}\nExpected ${what}.\nSet -DIMGWATERMARK_FONT=<path> to where it is.")
  endif()
  file(SIZE "${path}" size)
  file(SHA256 "${path}" sha256)
  if(NOT size EQUAL expected_size OR NOT sha256 STREQUAL expected_sha256)
    message(FATAL_ERROR "Wrong font file: ${path} (${size} bytes, SHA-256 ${sha256})\nExpected ${what}.\n"
                        "Debian's fonts-crosextra-caladea is a later redesign and is not a substitute.")
  endif()
endfunction()
