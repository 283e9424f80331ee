// stb_image as the library uses it: the reference decoder, which reads every
// format and every file the fast decoders leave (and whose pixels theirs
// must equal), and its header parse for the checks that run before decoding.
#ifndef VELMORA_REFERENCE_DECODER_H
#define VELMORA_REFERENCE_DECODER_H

// Decodes a whole file in memory to 8-bit RGBA (w x h x 4 bytes from malloc,
// top row first, straight alpha), as stbi_load_from_memory(..., 4) does; null
// on failure, with the reason for stb_failure_reason().
unsigned char *stb_decode_rgba(const unsigned char *data, int size, int *w, int *h);

// Why the last stb_decode_rgba on this thread failed: the decoder's short
// reason, or "unknown error" where it gave none.
const char *stb_failure_reason();

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
// parse of the reader that takes the file, before any pixel is decoded.
decoder_header read_decoder_header(const unsigned char *data, int size);

#endif
