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

// The readers of stb_image, by the kind of file each one takes.
enum class decoder_format { none, png, bmp, gif, psd, pic, jpeg, pnm, hdr, tga };

// What the decoder's header parse finds in a file before any pixel is read.
struct decoder_header {
    decoder_format format = decoder_format::none;  // none: no reader takes it, or its header is bad
    int w = 0, h = 0;                              // the declared picture, as the reader takes it
    long long header_end = 0;  // PNM and HDR: where the pixel data starts
    long long jpeg_blocks = 0;  // JPEG: 8 x 8 blocks over all components
};

// Runs stb_image's own format tests, in its loader's order, and the header
// parse of the reader that takes the file (defined next to the decoder, in
// stb_impl.cpp, since it uses the decoder's internals).
decoder_header read_decoder_header(const unsigned char *data, int size);

// True when the file declares more pixels than its bytes could hold at its
// format's densest legal encoding, so that no complete file is refused but a
// few bytes cannot make the decoder fill a huge picture. Formats without such
// a bound (a GIF screen larger than its frames) are never refused here.
bool picture_larger_than_data(const unsigned char *b, int size);

#endif
