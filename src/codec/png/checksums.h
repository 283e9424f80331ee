// The two checksums of a PNG file: CRC-32 over each chunk, Adler-32 at the
// end of the zlib stream.
#ifndef VELMORA_CHECKSUMS_H
#define VELMORA_CHECKSUMS_H

#include <cstddef>
#include <cstdint>

// Adler-32 of n bytes, as zlib defines it (starting value 1).
uint32_t adler32(const unsigned char *data, size_t n);
// The Adler-32 `adler` continued over n more bytes.
uint32_t adler32_update(uint32_t adler, const unsigned char *data, size_t n);

// CRC-32 (the PNG and zlib polynomial) of n bytes, continuing from `crc`
// (0 for a fresh start).
uint32_t crc32_update(uint32_t crc, const unsigned char *data, size_t n);

#endif
