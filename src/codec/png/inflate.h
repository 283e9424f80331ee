// The zlib stream reader of the PNG decoder: inflates a stream held in
// pieces (a PNG's IDAT payloads, in file order) through a 32 KiB history
// window and hands the output out in order, so the whole inflated stream is
// never held. It is strict: it takes only what stb_image's inflate takes
// (and a little less), so that whatever it refuses can be left to stb.
#ifndef VELMORA_INFLATE_H
#define VELMORA_INFLATE_H

#include <cstddef>

// One contiguous piece of the compressed stream.
struct byte_span {
    const unsigned char *data;
    size_t size;
};

// Gives the next piece of the compressed stream in *out; false when there
// are no more. Pieces may be empty.
typedef bool inflate_source_fn(void *context, byte_span *out);

// Receives the next n bytes of output (n > 0) in order; returns false to
// stop inflating, which then fails.
typedef bool inflate_sink_fn(void *context, const unsigned char *bytes, size_t n);

struct inflate_result {
    bool ok = false;          // the stream is well formed and the sink took all of it
    size_t output_size = 0;   // bytes handed to the sink
    size_t stream_end = 0;    // input bytes up to and including the last one holding stream bits
    // Stopped at distance symbol 30 or 31, which stb's inflate takes as a
    // copy from output it has not written yet (its result then depends on
    // what its buffer held before).
    bool undefined_distance = false;
};

// Inflates the zlib stream (2-byte header, deflate blocks up to the final
// one) that `source` gives piece by piece and passes every output byte to
// `sink`, reading the pieces once, front to back. Fails
// (ok false) on a bad header or preset dictionary, a reserved block type, a
// bad stored block length, an over-subscribed code or bad code-length
// sequence, a code that is not in its table, a literal/length symbol above
// 285, a distance symbol above 29, a distance farther back than the output
// so far, output beyond `max_output` bytes, input running out, or when the
// sink stops. The Adler-32 trailer is neither required nor read;
// `stream_end` tells the caller where it would start.
inflate_result inflate_zlib(inflate_source_fn *source, void *source_context, size_t max_output,
                            inflate_sink_fn *sink, void *sink_context);

// A source over an array of pieces.
struct inflate_pieces {
    const byte_span *spans;
    size_t count;
    size_t next = 0;
};
bool inflate_array_source(void *context, byte_span *out);

#endif
