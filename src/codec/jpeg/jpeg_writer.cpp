#include "jpeg_writer.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "jpeg_kernels.h"
#include "jpeg_segments.h"

namespace {

// ---------------------------------------------------------------------------
// Tables

// Zigzag position of each coefficient in natural (row-major) order.
constexpr unsigned char kZigzagOf[64] = {
    0,  1,  5,  6,  14, 15, 27, 28, 2,  4,  7,  13, 16, 26, 29, 42, 3,  8,  12, 17, 25, 30,
    41, 43, 9,  11, 18, 24, 31, 40, 44, 53, 10, 19, 23, 32, 39, 45, 52, 54, 20, 22, 33, 38,
    46, 51, 55, 60, 21, 34, 37, 47, 50, 56, 59, 61, 35, 36, 48, 49, 57, 58, 62, 63};

struct natural_order {
    unsigned char index[64];  // natural index of the coefficient at each zigzag position
};

constexpr natural_order make_natural_order() {
    natural_order n{};
    for (int i = 0; i < 64; ++i) n.index[kZigzagOf[i]] = static_cast<unsigned char>(i);
    return n;
}
constexpr natural_order kNatural = make_natural_order();

// Moves the bits of a natural-order nonzero mask to zigzag positions, one
// byte of the mask at a time.
struct zigzag_masks {
    uint64_t of_byte[8][256];
};

// Each entry is the entry without its lowest bit plus that bit's position,
// which keeps compile-time evaluation short.
constexpr zigzag_masks make_zigzag_masks() {
    zigzag_masks z{};
    for (int b = 0; b < 8; ++b)
        for (int v = 1; v < 256; ++v) {
            int low = 0;
            while (!(v & (1 << low))) ++low;
            z.of_byte[b][v] = z.of_byte[b][v & (v - 1)] | uint64_t{1} << kZigzagOf[b * 8 + low];
        }
    return z;
}
constexpr zigzag_masks kZigzagMasks = make_zigzag_masks();

uint64_t to_zigzag(uint64_t natural) {
    uint64_t m = 0;
    for (int b = 0; b < 8; ++b) m |= kZigzagMasks.of_byte[b][(natural >> (8 * b)) & 255];
    return m;
}

// The standard luminance and chrominance Huffman tables: code counts for
// lengths 1..16, then the symbols in code order.
constexpr unsigned char kDcLumaCounts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr unsigned char kDcLumaSymbols[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr unsigned char kAcLumaCounts[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr unsigned char kAcLumaSymbols[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71,
    0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72,
    0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37,
    0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59,
    0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3,
    0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
constexpr unsigned char kDcChromaCounts[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr unsigned char kDcChromaSymbols[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr unsigned char kAcChromaCounts[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr unsigned char kAcChromaSymbols[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13, 0x22,
    0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1,
    0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36,
    0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,
    0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a,
    0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba,
    0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

// Code << 16 | length of every symbol; symbols the table lacks have length
// 0 (nothing is written for them, as in the reference writer).
struct huffman_codes {
    uint32_t packed[256];
};

// Canonical codes from counts per length, as the decoder rebuilds them.
constexpr huffman_codes make_codes(const unsigned char (&counts)[16], const unsigned char *symbols) {
    huffman_codes h{};
    unsigned code = 0;
    int k = 0;
    for (int len = 1; len <= 16; ++len) {
        for (int i = 0; i < counts[len - 1]; ++i, ++k) {
            h.packed[symbols[k]] = code++ << 16 | static_cast<unsigned>(len);
        }
        code <<= 1;
    }
    return h;
}

constexpr huffman_codes kDcLuma = make_codes(kDcLumaCounts, kDcLumaSymbols);
constexpr huffman_codes kAcLuma = make_codes(kAcLumaCounts, kAcLumaSymbols);
constexpr huffman_codes kDcChroma = make_codes(kDcChromaCounts, kDcChromaSymbols);
constexpr huffman_codes kAcChroma = make_codes(kAcChromaCounts, kAcChromaSymbols);

// Base quantization tables (natural order); quality 92 scales them by 16%.
constexpr int kLumaBase[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                               14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                               18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                               49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr int kChromaBase[64] = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                                 24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                                 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
constexpr int kQualityScale = 200 - 92 * 2;

// Steps in zigzag order, as the DQT segment stores them.
struct step_table {
    unsigned char zigzag[64];
};

constexpr step_table make_steps(const int (&base)[64]) {
    step_table t{};
    for (int i = 0; i < 64; ++i) {
        const int s = (base[i] * kQualityScale + 50) / 100;
        t.zigzag[kZigzagOf[i]] = static_cast<unsigned char>(s < 1 ? 1 : s > 255 ? 255 : s);
    }
    return t;
}
constexpr step_table kLumaSteps = make_steps(kLumaBase);
constexpr step_table kChromaSteps = make_steps(kChromaBase);

// The DCT's per-row and per-column scale factors.
const float kScale[8] = {1.0f * 2.828427125f,         1.387039845f * 2.828427125f, 1.306562965f * 2.828427125f,
                         1.175875602f * 2.828427125f, 1.0f * 2.828427125f,         0.785694958f * 2.828427125f,
                         0.541196100f * 2.828427125f, 0.275899379f * 2.828427125f};

// The multipliers the kernels quantize with. Note that the reference indexes
// the zigzag-ordered step table with the natural index's zigzag position, so
// the step for natural index k is steps.zigzag[kZigzagOf[k]], the base table's
// entry k: computed in float with the same expression.
jpeg_quant make_quant() {
    jpeg_quant q;
    for (int row = 0, k = 0; row < 8; ++row)
        for (int col = 0; col < 8; ++col, ++k) {
            q.luma[k] = 1 / (kLumaSteps.zigzag[kZigzagOf[k]] * kScale[row] * kScale[col]);
            q.chroma[k] = 1 / (kChromaSteps.zigzag[kZigzagOf[k]] * kScale[row] * kScale[col]);
        }
    return q;
}

// ---------------------------------------------------------------------------
// Output

// Collects the file's bytes and hands them to the callback in chunks of at
// least kChunk bytes (the last one smaller).
class output_buffer {
public:
    static constexpr size_t kChunk = 65536;
    // Room past kChunk for one MCU's worst-case entropy-coded bytes, which are
    // stored before the buffer is next checked.
    static constexpr size_t kSlack = 4096;

    output_buffer(byte_write_fn *write, void *context, unsigned char *storage)
        : write_(write), context_(context), data_(storage) {}

    unsigned char *cursor() { return data_ + used_; }
    void advance_to(unsigned char *p) { used_ = static_cast<size_t>(p - data_); }

    // True when the bytes up to `p` (a position in the buffer) make a chunk.
    bool full(const unsigned char *p) const { return static_cast<size_t>(p - data_) >= kChunk; }

    // Hands over the collected bytes once there are kChunk of them.
    void flush_if_full() {
        if (used_ >= kChunk) flush();
    }
    void flush() {
        if (used_) write_(context_, data_, static_cast<int>(used_));
        used_ = 0;
    }
    void put(const unsigned char *p, size_t n) {
        while (n) {
            flush_if_full();  // entropy-coded bytes may have run past kChunk
            const size_t room = kChunk - used_;
            const size_t take = n < room ? n : room;
            std::memcpy(data_ + used_, p, take);
            used_ += take;
            p += take;
            n -= take;
        }
        flush_if_full();
    }
    void put_byte(unsigned char b) { put(&b, 1); }

private:
    byte_write_fn *write_;
    void *context_;
    unsigned char *data_;  // kChunk + kSlack bytes
    size_t used_ = 0;
};

// The entropy-coded segment: bits MSB first, every 0xFF byte followed by a
// stuffed 0x00. Bits wait in a 64-bit accumulator and leave 32 at a time.
// Coding functions copy it into a local, so that the compiler keeps it in
// registers (byte stores through `out` could otherwise alias it).
struct bit_sink {
    uint64_t bits = 0;  // the low `count` bits are pending, oldest highest
    int count = 0;      // always < 32 between calls
    unsigned char *out = nullptr;

    static unsigned char *store_byte(unsigned char *out, unsigned char b) {
        *out++ = b;
        if (b == 0xFF) *out++ = 0;
        return out;
    }

    // The slow path of put: a word holding a 0xFF byte.
    static unsigned char *store_stuffed(unsigned char *out, uint32_t word) {
        out = store_byte(out, static_cast<unsigned char>(word >> 24));
        out = store_byte(out, static_cast<unsigned char>(word >> 16));
        out = store_byte(out, static_cast<unsigned char>(word >> 8));
        return store_byte(out, static_cast<unsigned char>(word));
    }

    // Appends the low `length` bits of `value` (length <= 32, no higher bits set).
    void put(uint32_t value, int length) {
        bits = (bits << length) | value;
        count += length;
        if (count >= 32) {
            count -= 32;
            const uint32_t word = static_cast<uint32_t>(bits >> count);
            const uint32_t inverted = ~word;
            if (((inverted - 0x01010101u) & ~inverted & 0x80808080u) == 0) {
                out[0] = static_cast<unsigned char>(word >> 24);
                out[1] = static_cast<unsigned char>(word >> 16);
                out[2] = static_cast<unsigned char>(word >> 8);
                out[3] = static_cast<unsigned char>(word);
                out += 4;
            } else {
                out = store_stuffed(out, word);
            }
        }
    }

    // Pads with seven 1 bits as the reference does, writes the whole bytes
    // that gives and drops the rest.
    void finish() {
        put(0x7F, 7);
        while (count >= 8) {
            count -= 8;
            out = store_byte(out, static_cast<unsigned char>(bits >> count));
        }
        count = 0;
    }
};

inline int bit_length(unsigned v) { return 32 - __builtin_clz(v); }

// Magnitude category and extra bits of a nonzero value, combined with the
// Huffman code for `symbol_base + category` into one put.
inline void put_coded(bit_sink &s, const huffman_codes &table, int symbol_base, int v) {
    const unsigned magnitude = static_cast<unsigned>(v < 0 ? -v : v);
    const int n = bit_length(magnitude);
    const uint32_t extra = static_cast<uint32_t>(v < 0 ? v - 1 : v) & ((1u << n) - 1);
    const uint32_t entry = table.packed[symbol_base + n];
    s.put(((entry >> 16) << n) | extra, static_cast<int>(entry & 0xFF) + n);
}

// Codes one block (natural-order coefficients, nonzero mask) and returns its
// DC value, the next block's prediction.
int encode_block(bit_sink *sink, const int16_t *coeff, uint64_t mask, int previous_dc, const huffman_codes &dc,
                 const huffman_codes &ac) {
    bit_sink s = *sink;
    const int diff = coeff[0] - previous_dc;
    if (diff == 0)
        s.put(dc.packed[0] >> 16, dc.packed[0] & 0xFF);
    else
        put_coded(s, dc, 0, diff);

    uint64_t rest = to_zigzag(mask) & ~uint64_t{1};
    int last = 0;
    while (rest) {
        const int k = __builtin_ctzll(rest);
        rest &= rest - 1;
        int run = k - last - 1;
        for (; run >= 16; run -= 16) s.put(ac.packed[0xF0] >> 16, ac.packed[0xF0] & 0xFF);
        put_coded(s, ac, run << 4, coeff[kNatural.index[k]]);
        last = k;
    }
    if (last != 63) s.put(ac.packed[0x00] >> 16, ac.packed[0x00] & 0xFF);
    *sink = s;
    return coeff[0];
}

// ---------------------------------------------------------------------------
// Headers

constexpr unsigned char kJfif[] = {0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
constexpr unsigned char kScanHeader[] = {0xFF, 0xDA, 0, 0xC, 3, 1, 0, 2, 0x11, 3, 0x11, 0, 0x3F, 0};


void put_icc(output_buffer &out, const unsigned char *icc, size_t size) {
    if (!icc || size == 0) return;
    const size_t segments = (size + kIccSegmentBytes - 1) / kIccSegmentBytes;
    if (segments > kIccMaxSegments) return;
    for (size_t i = 0; i < segments; ++i) {
        const size_t piece = i + 1 < segments ? kIccSegmentBytes : size - i * kIccSegmentBytes;
        const size_t length = 2 + 14 + piece;
        const unsigned char header[18] = {0xFF, 0xE2, static_cast<unsigned char>(length >> 8),
                                          static_cast<unsigned char>(length), 'I', 'C', 'C', '_', 'P', 'R', 'O',
                                          'F', 'I', 'L', 'E', 0, static_cast<unsigned char>(i + 1),
                                          static_cast<unsigned char>(segments)};
        out.put(header, sizeof header);
        out.put(icc + i * kIccSegmentBytes, piece);
    }
}

void put_huffman_table(output_buffer &out, unsigned char id, const unsigned char (&counts)[16],
                       const unsigned char *symbols, size_t symbol_count) {
    out.put_byte(id);
    out.put(counts, 16);
    out.put(symbols, symbol_count);
}

// Everything before the entropy-coded data. The frame header stores the
// size's low 16 bits, as the reference does.
void put_headers(output_buffer &out, int w, int h, const unsigned char *icc, size_t icc_size) {
    out.put(kJfif, sizeof kJfif);
    put_icc(out, icc, icc_size);
    const unsigned char dqt[] = {0xFF, 0xDB, 0, 0x84, 0};
    out.put(dqt, sizeof dqt);
    out.put(kLumaSteps.zigzag, 64);
    out.put_byte(1);
    out.put(kChromaSteps.zigzag, 64);
    const unsigned char frame[] = {0xFF,
                                   0xC0,
                                   0,
                                   0x11,
                                   8,
                                   static_cast<unsigned char>(h >> 8),
                                   static_cast<unsigned char>(h & 0xFF),
                                   static_cast<unsigned char>(w >> 8),
                                   static_cast<unsigned char>(w & 0xFF),
                                   3,
                                   1,
                                   0x11,
                                   0,
                                   2,
                                   0x11,
                                   1,
                                   3,
                                   0x11,
                                   1,
                                   0xFF,
                                   0xC4,
                                   0x01,
                                   0xA2};
    out.put(frame, sizeof frame);
    put_huffman_table(out, 0x00, kDcLumaCounts, kDcLumaSymbols, sizeof kDcLumaSymbols);
    put_huffman_table(out, 0x10, kAcLumaCounts, kAcLumaSymbols, sizeof kAcLumaSymbols);
    put_huffman_table(out, 0x01, kDcChromaCounts, kDcChromaSymbols, sizeof kDcChromaSymbols);
    put_huffman_table(out, 0x11, kAcChromaCounts, kAcChromaSymbols, sizeof kAcChromaSymbols);
    out.put(kScanHeader, sizeof kScanHeader);
}

// Blocks converted per kernel call: enough to amortize the call, few enough
// that their coefficients stay in the cache.
constexpr int kRunBlocks = 128;

// The previous block's DC value of each component.
struct dc_predictions {
    int y = 0, cb = 0, cr = 0;
};

// The eight pixel rows of the band of blocks starting at row y, the rows
// past the bottom repeating the last one.
jpeg_band band_at(const unsigned char *rgba, int w, int h, int y) {
    jpeg_band band;
    band.width = w;
    const size_t stride = static_cast<size_t>(w) * 4;
    for (int r = 0; r < 8; ++r) band.rows[r] = rgba + static_cast<size_t>(y + r < h ? y + r : h - 1) * stride;
    return band;
}

// Codes `count` blocks the kernel made (coefficients and masks of Y, Cb, Cr
// each), handing full chunks to the callback as they fill.
void put_run(bit_sink *bits, dc_predictions *dc, const int16_t *coeffs, const uint64_t *masks, int count,
             output_buffer &out) {
    bits->out = out.cursor();
    for (int i = 0; i < count; ++i) {
        const int16_t *c = coeffs + static_cast<size_t>(i) * 3 * 64;
        const uint64_t *m = masks + static_cast<size_t>(i) * 3;
        dc->y = encode_block(bits, c, m[0], dc->y, kDcLuma, kAcLuma);
        dc->cb = encode_block(bits, c + 64, m[1], dc->cb, kDcChroma, kAcChroma);
        dc->cr = encode_block(bits, c + 128, m[2], dc->cr, kDcChroma, kAcChroma);
        if (out.full(bits->out)) {
            out.advance_to(bits->out);
            out.flush();
            bits->out = out.cursor();
        }
    }
    out.advance_to(bits->out);
}

// The last bits, padded, the end-of-image marker, and the last chunk.
void put_end(bit_sink *bits, output_buffer &out) {
    bits->out = out.cursor();
    bits->finish();
    out.advance_to(bits->out);
    const unsigned char eoi[] = {0xFF, 0xD9};
    out.put(eoi, sizeof eoi);
    out.flush();
}

}  // namespace

int write_jpeg(byte_write_fn *write, void *context, int w, int h, const unsigned char *rgba,
               const unsigned char *icc, size_t icc_size, simd_path path) {
    if (!write || !rgba || w <= 0 || h <= 0 || w > kJpegMaxSide || h > kJpegMaxSide) return 0;
    if (static_cast<size_t>(w) > SIZE_MAX / 4 / static_cast<size_t>(h)) return 0;
    const int blocks_across = w / 8 + (w % 8 != 0);
    const int run = blocks_across < kRunBlocks ? blocks_across : kRunBlocks;

    std::unique_ptr<unsigned char[]> storage(
        new (std::nothrow) unsigned char[output_buffer::kChunk + output_buffer::kSlack]);
    std::unique_ptr<int16_t[]> coeffs(new (std::nothrow) int16_t[static_cast<size_t>(run) * 3 * 64]);
    std::unique_ptr<uint64_t[]> masks(new (std::nothrow) uint64_t[static_cast<size_t>(run) * 3]);
    if (!storage || !coeffs || !masks) return 0;

    jpeg_blocks_fn *const kernel = jpeg_blocks_for(path);
    const jpeg_quant quant = make_quant();
    output_buffer out(write, context, storage.get());
    put_headers(out, w, h, icc, icc_size);

    bit_sink bits;
    dc_predictions dc;
    for (int y = 0; y < h; y += 8) {
        const jpeg_band band = band_at(rgba, w, h, y);
        for (int first = 0; first < blocks_across; first += run) {
            const int count = blocks_across - first < run ? blocks_across - first : run;
            kernel(band, first, count, quant, coeffs.get(), masks.get());
            put_run(&bits, &dc, coeffs.get(), masks.get(), count, out);
        }
    }
    put_end(&bits, out);
    return 1;
}
