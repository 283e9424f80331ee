// Checks run on a file's bytes before stb_image sees them: inputs that would
// make Debian's 2022 snapshot of the decoder misbehave are refused up front.
#ifndef VELMORA_DECODER_GUARDS_H
#define VELMORA_DECODER_GUARDS_H

// True for a JPEG whose DHT segment declares a table of more than 256 codes,
// which the decoder would write past its Huffman tables for.
bool jpeg_has_oversized_huffman_table(const unsigned char *b, int size);

// True for a binary PNM with 16-bit samples or a number that overflows int in
// its header, both of which the decoder reads past its buffers for.
bool pnm_header_is_unsafe(const unsigned char *b, int size);

// True when the file declares more pixels than its bytes could hold at its
// format's densest legal encoding, so that no complete file is refused but a
// few bytes cannot make the decoder fill a huge picture. Formats without such
// a bound (a GIF screen larger than its frames) are never refused here.
bool picture_larger_than_data(const unsigned char *b, int size);

#endif
