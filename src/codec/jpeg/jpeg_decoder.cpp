#include "jpeg_decoder.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "jpeg_decode_kernels.h"
#include "malloc_ptr.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

// How this decoder stays equal to stb_image 2.27 (stbi_load_from_memory with
// four channels), and where it gives up:
//  - The file is walked segment by segment before any pixel is decoded; the
//    walk takes only SOI, DQT (before the frame), DHT, DRI, APPn, COM, one
//    SOF0/1/2 frame of 1 or 3 components, SOS scans and EOI, each exactly as
//    the reference reads it, and nothing else: fill bytes, junk between
//    segments, DNL, a second frame, a missing EOI all go to the reference.
//  - Inside a scan the reference pads with zero bits after a marker and
//    quietly ends a scan whose restart marker is missing. Here every interval
//    must end with fewer than eight unread bits right before its restart
//    marker (or the scan's closing marker), and no padding bit may be read.
//  - The reference leaves picture memory uninitialized when a scan is missing
//    or a table undefined; such files are refused.
//  - Everything the reference does with a clean file is reproduced: its
//    dequantization into 16 bits, its SSE2 inverse DCT (the portable kernel
//    follows its dataflow), its upsampler per component, its SSE2 colour
//    conversion for whole groups of eight pixels and scalar conversion for
//    the rest of a row, and its rules for RGB files (component ids R, G, B,
//    or Adobe transform 0 without JFIF).

namespace {

// ---------------------------------------------------------------------------
// Tables

// Zigzag position -> natural position, padded as the reference pads it for
// runs past the end of a block (only progressive scans rely on the padding).
const uint8_t kDezigzag[64 + 15] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13,
    6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51, 58, 59, 52, 45, 38, 31,
    39, 46, 53, 60, 61, 54, 47, 55, 62, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63};

constexpr int kFastBits = 10;
constexpr int kMaxHuffmanDefinitions = 512;
constexpr int kMaxScans = 1024;
constexpr int kMaxDc = 32767;  // larger DC values never come from 8-bit samples

// A lookahead entry of kFastBits bits: the bits it uses (low byte), its
// kind, and for a coefficient its zero run and value.
enum : uint32_t { kCoefficient = 0, kEndOfBlock = 1, kSymbolOnly = 2, kLongCode = 3 };
inline uint32_t entry_length(uint32_t e) { return e & 0xFF; }
inline uint32_t entry_kind(uint32_t e) { return (e >> 8) & 3; }
inline int entry_run(uint32_t e) { return static_cast<int>((e >> 10) & 15); }
inline int entry_value(uint32_t e) { return static_cast<int16_t>(static_cast<uint16_t>(e >> 16)); }
inline uint32_t make_entry(uint32_t length, uint32_t kind, int run, int value) {
    return length | kind << 8 | static_cast<uint32_t>(run) << 10 | static_cast<uint32_t>(static_cast<uint16_t>(value)) << 16;
}

inline int extend(int v, int s) { return v < (1 << (s - 1)) ? v - (1 << s) + 1 : v; }

// An AC lookahead entry that holds up to two coefficients (or one followed by
// the end of the block) when their codes and extra bits all fit in the
// lookahead: the bits used, whether it pairs at all, whether the block ends,
// the first one's run, the second one's position (both from the current
// position), the advance, and the two values. An entry of one coefficient
// repeats it as the second, so that both writes can always be done.
inline int pair_length(uint64_t e) { return static_cast<int>(e & 0xFF); }
inline bool pair_usable(uint64_t e) { return (e & 0x100) != 0; }
inline bool pair_ends_block(uint64_t e) { return (e & 0x200) != 0; }
inline int pair_first(uint64_t e) { return static_cast<int>((e >> 16) & 15); }
inline int pair_second(uint64_t e) { return static_cast<int>((e >> 20) & 31); }
inline int pair_advance(uint64_t e) { return static_cast<int>((e >> 25) & 63); }
inline int pair_value1(uint64_t e) { return static_cast<int16_t>(static_cast<uint16_t>(e >> 32)); }
inline int pair_value2(uint64_t e) { return static_cast<int16_t>(static_cast<uint16_t>(e >> 48)); }

// A Huffman table in the reference's canonical code assignment.
struct huffman_table {
    uint64_t pairs[1 << kFastBits];    // AC only: two coefficients at once
    uint32_t fast[1 << kFastBits];     // symbol and extra bits at once (DC: the difference; AC: run and value)
    uint16_t symbol[1 << kFastBits];   // symbol << 8 | code length; 0 for longer codes
    uint32_t limit[18];                // codes of length l are below limit[l]
    int delta[17];                     // code of length l + delta[l] = index into values
    uint8_t values[256];
};

// The code lengths' check of the reference's table builder: false where it
// fails ("bad code lengths"). Fills the canonical codes when `codes` is set.
bool assign_codes(const uint8_t counts[16], uint8_t sizes[257], uint16_t *codes, uint32_t limit[18], int delta[17]) {
    int k = 0;
    for (int i = 0; i < 16; ++i)
        for (int j = 0; j < counts[i]; ++j) sizes[k++] = static_cast<uint8_t>(i + 1);
    sizes[k] = 0;
    unsigned code = 0;
    k = 0;
    for (int j = 1; j <= 16; ++j) {
        delta[j] = k - static_cast<int>(code);
        if (sizes[k] == j) {
            while (sizes[k] == j) {
                if (codes) codes[k] = static_cast<uint16_t>(code);
                ++k;
                ++code;
            }
            if (code - 1 >= (1u << j)) return false;
        }
        limit[j] = code;
        code <<= 1;
    }
    limit[17] = 0xFFFFFFFFu;
    return true;
}

void build_huffman(const uint8_t counts[16], const uint8_t *values, int n, bool ac, huffman_table *t) {
    uint8_t sizes[257];
    uint16_t codes[256];
    assign_codes(counts, sizes, codes, t->limit, t->delta);  // checked when the table was read
    std::memcpy(t->values, values, static_cast<size_t>(n));
    for (uint32_t &e : t->fast) e = make_entry(0, kLongCode, 0, 0);
    std::memset(t->symbol, 0, sizeof t->symbol);
    for (int i = 0; i < n; ++i) {
        const int len = sizes[i];
        if (len > kFastBits) continue;
        const int spare = kFastBits - len;
        const int first = codes[i] << spare;
        const int v = values[i];
        for (int j = 0; j < (1 << spare); ++j) {
            const int index = first + j;
            t->symbol[index] = static_cast<uint16_t>(v << 8 | len);
            const int magnitude = ac ? (v & 15) : v;
            uint32_t e;
            if (ac && magnitude == 0)
                e = make_entry(static_cast<uint32_t>(len), v == 0xF0 ? kSymbolOnly : kEndOfBlock, 0, 0);
            else if (!ac && magnitude == 0)
                e = make_entry(static_cast<uint32_t>(len), kCoefficient, 0, 0);
            else if (magnitude <= 15 && len + magnitude <= kFastBits) {
                const int bits = (j >> (spare - magnitude)) & ((1 << magnitude) - 1);
                e = make_entry(static_cast<uint32_t>(len + magnitude), kCoefficient, ac ? v >> 4 : 0,
                               extend(bits, magnitude));
            } else
                e = make_entry(static_cast<uint32_t>(len), kSymbolOnly, 0, 0);
            t->fast[index] = e;
        }
    }
    if (!ac) return;
    for (int index = 0; index < (1 << kFastBits); ++index) {
        const uint32_t first = t->fast[index];
        t->pairs[index] = 0;
        if (entry_kind(first) != kCoefficient) continue;
        const int len1 = static_cast<int>(entry_length(first)), run1 = entry_run(first);
        const uint32_t second = t->fast[(index << len1) & ((1 << kFastBits) - 1)];
        const int len2 = static_cast<int>(entry_length(second));
        const bool fits = len2 >= 1 && len1 + len2 <= kFastBits;
        uint64_t length = static_cast<uint64_t>(len1), flags = 0x100, second_at = static_cast<uint64_t>(run1);
        uint64_t advance = static_cast<uint64_t>(run1 + 1), value2 = static_cast<uint16_t>(entry_value(first));
        if (fits && entry_kind(second) == kCoefficient) {
            length += static_cast<uint64_t>(len2);
            second_at = static_cast<uint64_t>(run1 + 1 + entry_run(second));
            advance = second_at + 1;
            value2 = static_cast<uint16_t>(entry_value(second));
        } else if (fits && entry_kind(second) == kEndOfBlock) {
            // Counts the end of block as a position, so that a first
            // coefficient landing on the last one leaves the code unread.
            length += static_cast<uint64_t>(len2);
            flags |= 0x200;
            advance = static_cast<uint64_t>(run1 + 2);
        }
        t->pairs[index] = length | flags | static_cast<uint64_t>(run1) << 16 | second_at << 20 | advance << 25 |
                          static_cast<uint64_t>(static_cast<uint16_t>(entry_value(first))) << 32 | value2 << 48;
    }
}

// ---------------------------------------------------------------------------
// Entropy-coded data

// Where a scan's bytes are read from. Past a marker the reader gives zero
// bits and counts them, so that reading any of them can be refused after.
struct bit_source {
    const uint8_t *pos = nullptr;  // next byte
    const uint8_t *end = nullptr;  // the marker that closes the scan
    int padded = 0;                // zero bits given after a marker
    bool at_marker = false;
};

// The unread bits, first at the top; below `count` come the next bytes or
// zeros. Kept apart from the source so that the hot loops hold it in
// registers.
struct bit_cursor {
    uint64_t bits = 0;
    int count = 0;
};

inline uint64_t load_be64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}

#if defined(__GNUC__)
__attribute__((noinline))
#endif
bit_cursor refill_slow(bit_source &s, bit_cursor c) {
    c.bits &= c.count ? ~0ULL << (64 - c.count) : 0;
    while (c.count <= 56) {
        if (!s.at_marker && s.pos < s.end) {
            const uint8_t b = s.pos[0];
            if (b != 0xFF) {
                ++s.pos;
            } else if (s.pos[1] == 0x00) {
                s.pos += 2;
            } else {
                s.at_marker = true;  // a restart marker
                continue;
            }
            c.bits |= static_cast<uint64_t>(b) << (56 - c.count);
            c.count += 8;
            continue;
        }
        s.at_marker = true;
        c.count += 8;
        s.padded += 8;
    }
    return c;
}

// Makes at least 57 bits available: eight bytes at once where none is 0xFF.
inline void refill(bit_source &s, bit_cursor &c) {
    if (!s.at_marker && s.end - s.pos >= 8) {
        uint64_t raw;
        std::memcpy(&raw, s.pos, 8);
        const uint64_t inverted = ~raw;  // a 0xFF byte becomes a zero byte
        if (((inverted - 0x0101010101010101ULL) & ~inverted & 0x8080808080808080ULL) == 0) {
            c.bits |= load_be64(s.pos) >> c.count;
            s.pos += (63 - c.count) >> 3;
            c.count |= 56;
            return;
        }
    }
    c = refill_slow(s, c);
}

inline void ensure(bit_source &s, bit_cursor &c, int n) {
    if (c.count < n) refill(s, c);
}
inline uint32_t peek_fast(const bit_cursor &c) { return static_cast<uint32_t>(c.bits >> (64 - kFastBits)); }
inline void consume(bit_cursor &c, int n) {
    c.bits <<= n;
    c.count -= n;
}
// s in 1..15; s bits available.
inline int receive_extend(bit_cursor &c, int s) {
    const int v = static_cast<int>(c.bits >> (64 - s));
    consume(c, s);
    return extend(v, s);
}
inline int get_bits(bit_cursor &c, int n) {
    const int v = static_cast<int>(c.bits >> (64 - n));
    consume(c, n);
    return v;
}
inline bool get_bit(bit_source &s, bit_cursor &c) {
    ensure(s, c, 1);
    const bool set = (c.bits >> 63) != 0;
    consume(c, 1);
    return set;
}

// Decodes a code longer than the lookahead; -1 where no code matches.
inline int decode_long(bit_cursor &c, const huffman_table &t) {
    const uint32_t top = static_cast<uint32_t>(c.bits >> 48);
    for (int l = kFastBits + 1; l <= 16; ++l) {
        const uint32_t code = top >> (16 - l);
        if (code < t.limit[l]) {
            consume(c, l);
            return t.values[static_cast<int>(code) + t.delta[l]];
        }
    }
    return -1;
}

// One symbol; at least 16 bits available.
inline int decode_symbol(bit_cursor &c, const huffman_table &t) {
    const uint32_t e = t.symbol[peek_fast(c)];
    if (e) {
        consume(c, static_cast<int>(e & 0xFF));
        return static_cast<int>(e >> 8);
    }
    return decode_long(c, t);
}

// No padding read so far.
inline bool no_padding_read(const bit_source &s, const bit_cursor &c) { return c.count >= s.padded; }

// No padding read, and fewer than eight bits left before the next marker.
inline bool interval_done(const bit_source &s, const bit_cursor &c) {
    return c.count >= s.padded && c.count - s.padded < 8;
}

// Steps over the restart marker that must end an interval here.
bool take_restart(bit_source &s, bit_cursor &c) {
    if (!interval_done(s, c) || s.pos >= s.end || s.pos[0] != 0xFF || s.pos[1] < 0xD0 || s.pos[1] > 0xD7) return false;
    s.pos += 2;
    s.padded = 0;
    s.at_marker = false;
    c = bit_cursor();
    return true;
}

inline bool scan_done(const bit_source &s, const bit_cursor &c) { return interval_done(s, c) && s.pos == s.end; }

// A baseline block: dequantized coefficients into the zeroed `block`.
inline bool decode_block(bit_source &src, bit_cursor &c, int16_t *block, const huffman_table &dc,
                         const huffman_table &ac, const uint16_t *quant_zigzag, int *dc_pred) {
    ensure(src, c, 32);
    int diff;
    const uint32_t e = dc.fast[peek_fast(c)];
    if (entry_kind(e) == kCoefficient) {
        diff = entry_value(e);
        consume(c, static_cast<int>(entry_length(e)));
    } else {
        const int t = decode_symbol(c, dc);
        if (t < 0 || t > 15) return false;
        diff = t ? receive_extend(c, t) : 0;
    }
    const int value = *dc_pred + diff;
    if (value > kMaxDc || value < -kMaxDc) return false;
    *dc_pred = value;
    block[0] = static_cast<int16_t>(value * quant_zigzag[0]);
    int k = 1;
    while (k < 64) {
        ensure(src, c, 32);
        const uint64_t pair = ac.pairs[peek_fast(c)];
        if (pair_usable(pair) && k + pair_advance(pair) <= 64) {
            consume(c, pair_length(pair));
            const int first = k + pair_first(pair), second = k + pair_second(pair);
            block[kDezigzag[first]] = static_cast<int16_t>(pair_value1(pair) * quant_zigzag[first]);
            block[kDezigzag[second]] = static_cast<int16_t>(pair_value2(pair) * quant_zigzag[second]);
            k += pair_advance(pair);
            if (pair_ends_block(pair)) break;
            continue;
        }
        const uint32_t a = ac.fast[peek_fast(c)];
        const uint32_t kind = entry_kind(a);
        if (kind == kCoefficient) {
            k += entry_run(a);
            if (k > 63) return false;
            consume(c, static_cast<int>(entry_length(a)));
            block[kDezigzag[k]] = static_cast<int16_t>(entry_value(a) * quant_zigzag[k]);
            ++k;
            continue;
        }
        if (kind == kEndOfBlock) {
            consume(c, static_cast<int>(entry_length(a)));
            break;
        }
        const int rs = decode_symbol(c, ac);
        if (rs < 0) return false;
        const int s = rs & 15;
        if (s == 0) {
            if (rs != 0xF0) break;  // the reference ends the block on any zero-size symbol but ZRL
            k += 16;
            continue;
        }
        k += rs >> 4;
        if (k > 63) return false;
        block[kDezigzag[k]] = static_cast<int16_t>(receive_extend(c, s) * quant_zigzag[k]);
        ++k;
    }
    return true;
}

// Coefficients times their quantizer steps, kept to 16 bits as the reference
// keeps them (the low half of the product, whatever the signs).
inline void dequantize(const int16_t *in, const uint16_t *quant, int16_t *out) {
    for (int i = 0; i < 64; ++i)
        out[i] = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(static_cast<uint16_t>(in[i])) * quant[i]));
}

// Progressive scans, step for step as the reference decodes them.
inline bool decode_dc_first(bit_source &src, bit_cursor &c, int16_t *block, const huffman_table &dc, int *dc_pred,
                            int al) {
    ensure(src, c, 32);
    const int t = decode_symbol(c, dc);
    if (t < 0 || t > 15) return false;
    const int diff = t ? receive_extend(c, t) : 0;
    const int value = *dc_pred + diff;
    if (value > kMaxDc || value < -kMaxDc) return false;
    *dc_pred = value;
    std::memset(block, 0, 64 * sizeof(int16_t));
    block[0] = static_cast<int16_t>(value * (1 << al));
    return true;
}

inline void decode_dc_refine(bit_source &src, bit_cursor &c, int16_t *block, int al) {
    if (get_bit(src, c)) block[0] = static_cast<int16_t>(block[0] + (1 << al));
}

inline bool decode_ac_first(bit_source &src, bit_cursor &c, int16_t *block, const huffman_table &ac, int ss, int se,
                            int al, int *eob_run) {
    if (*eob_run) {
        --*eob_run;
        return true;
    }
    int k = ss;
    do {
        ensure(src, c, 32);
        const uint32_t a = ac.fast[peek_fast(c)];
        if (entry_kind(a) == kCoefficient) {  // symbol and extra bits at once
            k += entry_run(a);
            consume(c, static_cast<int>(entry_length(a)));
            block[kDezigzag[k++]] = static_cast<int16_t>(entry_value(a) * (1 << al));
            continue;
        }
        const int rs = decode_symbol(c, ac);
        if (rs < 0) return false;
        const int s = rs & 15, run = rs >> 4;
        if (s == 0) {
            if (run < 15) {
                *eob_run = (1 << run);
                if (run) *eob_run += get_bits(c, run);
                --*eob_run;
                break;
            }
            k += 16;
        } else {
            k += run;
            block[kDezigzag[k++]] = static_cast<int16_t>(receive_extend(c, s) * (1 << al));
        }
    } while (k <= se);
    return true;
}

// Gives a nonzero coefficient its correction bit.
inline void refine(bit_source &src, bit_cursor &c, int16_t *p, int bit) {
    if (get_bit(src, c) && (*p & bit) == 0) *p = static_cast<int16_t>(*p > 0 ? *p + bit : *p - bit);
}

inline bool decode_ac_refine(bit_source &src, bit_cursor &c, int16_t *block, const huffman_table &ac, int ss, int se,
                             int al, int *eob_run) {
    const int bit = 1 << al;
    if (*eob_run) {
        --*eob_run;
        for (int k = ss; k <= se; ++k) {
            int16_t *p = &block[kDezigzag[k]];
            if (*p != 0) refine(src, c, p, bit);
        }
        return true;
    }
    int k = ss;
    do {
        ensure(src, c, 32);
        const int rs = decode_symbol(c, ac);
        if (rs < 0) return false;
        int s = rs & 15, run = rs >> 4;
        if (s == 0) {
            if (run < 15) {
                *eob_run = (1 << run) - 1;
                if (run) *eob_run += get_bits(c, run);
                run = 64;  // refine the rest of the band
            }
        } else {
            if (s != 1) return false;
            s = get_bit(src, c) ? bit : -bit;
        }
        while (k <= se) {
            int16_t *p = &block[kDezigzag[k++]];
            if (*p != 0) {
                refine(src, c, p, bit);
            } else {
                if (run == 0) {
                    *p = static_cast<int16_t>(s);
                    break;
                }
                --run;
            }
        }
    } while (k <= se);
    return true;
}

// ---------------------------------------------------------------------------
// File layout

struct component {
    int id = 0, h = 1, v = 1, tq = 0;
    int hs = 1, vs = 1;     // upsampling factors
    int x = 0, y = 0;       // samples
    int bw = 0, bh = 0;     // blocks holding them
};

struct huffman_definition {
    const uint8_t *counts;
    const uint8_t *values;
    int n;
};

struct scan_header {
    int n = 0;
    int comp[4] = {0, 0, 0, 0};
    int dc_table[4] = {-1, -1, -1, -1};  // index into the definitions, -1 undefined
    int ac_table[4] = {-1, -1, -1, -1};
    int ss = 0, se = 63, ah = 0, al = 0;
    int restart_interval = 0;
    const uint8_t *data = nullptr, *end = nullptr;
};

struct jpeg_layout {
    int w = 0, h = 0, ncomp = 0;
    bool progressive = false;
    component comp[3];
    int hmax = 1, vmax = 1, mcu_x = 0, mcu_y = 0;
    uint16_t quant[4][64] = {};  // natural order
    bool quant_defined[4] = {false, false, false, false};
    std::vector<huffman_definition> huffman;
    std::vector<scan_header> scans;
    bool jfif = false;
    int app14_transform = -1;
    bool rgb_ids = false;
    bool is_rgb() const { return ncomp == 3 && (rgb_ids || (app14_transform == 0 && !jfif)); }
};

inline int be16(const uint8_t *p) { return p[0] << 8 | p[1]; }

// The reference's int size checks (a * b * c + add must fit int).
bool sizes_fit(long long a, long long b, long long c, long long add) {
    return a >= 0 && b >= 0 && c >= 0 && a * b <= INT_MAX && a * b * c <= INT_MAX && a * b * c + add <= INT_MAX;
}

bool read_quant_tables(const uint8_t *p, int left, jpeg_layout *l) {
    while (left > 0) {
        const int q = p[0], precision = q >> 4, t = q & 15;
        if (precision > 1 || t > 3) return false;
        const int need = 1 + 64 * (precision ? 2 : 1);
        if (need > left) return false;
        for (int i = 0; i < 64; ++i)
            l->quant[t][kDezigzag[i]] = static_cast<uint16_t>(precision ? be16(p + 1 + 2 * i) : p[1 + i]);
        l->quant_defined[t] = true;
        p += need;
        left -= need;
    }
    return true;
}

bool read_huffman_tables(const uint8_t *p, int left, jpeg_layout *l, int current[2][4]) {
    while (left > 0) {
        if (left < 17) return false;
        const int tc = p[0] >> 4, th = p[0] & 15;
        if (tc > 1 || th > 3) return false;
        int n = 0;
        for (int i = 0; i < 16; ++i) n += p[1 + i];
        if (n > 256 || 17 + n > left) return false;
        uint8_t sizes[257];
        uint32_t limit[18];
        int delta[17];
        if (!assign_codes(p + 1, sizes, nullptr, limit, delta)) return false;
        if (static_cast<int>(l->huffman.size()) >= kMaxHuffmanDefinitions) return false;
        l->huffman.push_back({p + 1, p + 17, n});
        current[tc][th] = static_cast<int>(l->huffman.size()) - 1;
        p += 17 + n;
        left -= 17 + n;
    }
    return true;
}

bool read_frame(const uint8_t *p, int len, bool progressive, jpeg_layout *l) {
    if (len < 11 || p[2] != 8) return false;
    l->h = be16(p + 3);
    l->w = be16(p + 5);
    l->ncomp = p[7];
    if (l->w == 0 || l->h == 0 || l->w > (1 << 24) || l->h > (1 << 24)) return false;
    if (l->ncomp != 1 && l->ncomp != 3) return false;  // 4 components (CMYK, YCCK) go to the reference
    if (len != 8 + 3 * l->ncomp) return false;
    l->progressive = progressive;
    int ids = 0;
    for (int i = 0; i < l->ncomp; ++i) {
        component &c = l->comp[i];
        const uint8_t *f = p + 8 + 3 * i;
        c.id = f[0];
        c.h = f[1] >> 4;
        c.v = f[1] & 15;
        c.tq = f[2];
        if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4 || c.tq > 3 || !l->quant_defined[c.tq]) return false;
        for (int j = 0; j < i; ++j)
            if (l->comp[j].id == c.id) return false;
        if (l->ncomp == 3 && c.id == "RGB"[i]) ++ids;
    }
    l->rgb_ids = ids == 3;
    if (!sizes_fit(l->w, l->h, l->ncomp, 0)) return false;
    for (int i = 0; i < l->ncomp; ++i) {
        l->hmax = l->comp[i].h > l->hmax ? l->comp[i].h : l->hmax;
        l->vmax = l->comp[i].v > l->vmax ? l->comp[i].v : l->vmax;
    }
    for (int i = 0; i < l->ncomp; ++i)
        if (l->hmax % l->comp[i].h || l->vmax % l->comp[i].v) return false;
    const long long mcu_x = (l->w + 8LL * l->hmax - 1) / (8 * l->hmax);
    const long long mcu_y = (l->h + 8LL * l->vmax - 1) / (8 * l->vmax);
    for (int i = 0; i < l->ncomp; ++i) {
        const long long w2 = mcu_x * l->comp[i].h * 8, h2 = mcu_y * l->comp[i].v * 8;
        if (!sizes_fit(w2, h2, 1, 15) || (progressive && !sizes_fit(w2, h2, 2, 15))) return false;
    }
    if (!sizes_fit(4, l->w, l->h, 1)) return false;
    if (l->ncomp == 1) {
        // A single component is its own MCU, whatever its factors say.
        l->comp[0].h = l->comp[0].v = 1;
        l->hmax = l->vmax = 1;
    }
    l->mcu_x = static_cast<int>((l->w + 8 * l->hmax - 1) / (8 * l->hmax));
    l->mcu_y = static_cast<int>((l->h + 8 * l->vmax - 1) / (8 * l->vmax));
    for (int i = 0; i < l->ncomp; ++i) {
        component &c = l->comp[i];
        c.hs = l->hmax / c.h;
        c.vs = l->vmax / c.v;
        c.x = static_cast<int>((static_cast<long long>(l->w) * c.h + l->hmax - 1) / l->hmax);
        c.y = static_cast<int>((static_cast<long long>(l->h) * c.v + l->vmax - 1) / l->vmax);
        c.bw = (c.x + 7) / 8;
        c.bh = (c.y + 7) / 8;
    }
    return true;
}

bool read_scan_header(const uint8_t *p, int len, const jpeg_layout &l, const int current[2][4], scan_header *s) {
    if (len < 1) return false;
    s->n = p[0];
    if (s->n < 1 || s->n > 4 || s->n > l.ncomp || len != 4 + 2 * s->n) return false;
    for (int i = 0; i < s->n; ++i) {
        const int id = p[1 + 2 * i], q = p[2 + 2 * i];
        int which = 0;
        while (which < l.ncomp && l.comp[which].id != id) ++which;
        if (which == l.ncomp) return false;
        for (int j = 0; j < i; ++j)
            if (s->comp[j] == which) return false;
        if ((q >> 4) > 3 || (q & 15) > 3) return false;
        s->comp[i] = which;
        s->dc_table[i] = current[0][q >> 4];
        s->ac_table[i] = current[1][q & 15];
    }
    const uint8_t *t = p + 1 + 2 * s->n;
    s->ss = t[0];
    s->se = t[1];
    s->ah = t[2] >> 4;
    s->al = t[2] & 15;
    if (l.progressive) {
        if (s->ss > 63 || s->se > 63 || s->ss > s->se || s->ah > 13 || s->al > 13) return false;
    } else {
        if (s->ss != 0 || s->ah != 0 || s->al != 0) return false;
        s->se = 63;
    }
    return true;
}

// The end of a scan's entropy-coded data: its first marker other than a
// restart marker. Fill bytes there are left to the reference.
const uint8_t *find_scan_end(const uint8_t *p, const uint8_t *end) {
    for (;;) {
        p = static_cast<const uint8_t *>(std::memchr(p, 0xFF, static_cast<size_t>(end - p)));
        if (!p || end - p < 2) return nullptr;
        const uint8_t next = p[1];
        if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
            p += 2;
            continue;
        }
        return next == 0xFF ? nullptr : p;
    }
}

// Scans the progressive script: every component first in a DC scan, tables
// defined where used, AC bands one component at a time.
bool progressive_script_ok(const jpeg_layout &l) {
    bool started[3] = {false, false, false};
    for (const scan_header &s : l.scans) {
        const bool dc = s.ss == 0;
        if (dc && s.se != 0) return false;
        if (!dc && s.n != 1) return false;
        for (int i = 0; i < s.n; ++i) {
            if (!started[s.comp[i]] && !(dc && s.ah == 0)) return false;
            started[s.comp[i]] = true;
            if (dc && s.ah == 0 && s.dc_table[i] < 0) return false;
            if (!dc && s.ac_table[i] < 0) return false;
        }
    }
    for (int i = 0; i < l.ncomp; ++i)
        if (!started[i]) return false;
    return true;
}

// Every block of a baseline or first DC scan takes at least one bit: a scan
// with fewer bits than blocks would read padding, so it is refused before
// the picture is allocated.
bool data_can_hold(const jpeg_layout &l, const scan_header &s) {
    if (l.progressive && !(s.ss == 0 && s.ah == 0)) return true;
    long long blocks = 0;
    if (s.n == 1) {
        blocks = static_cast<long long>(l.comp[s.comp[0]].bw) * l.comp[s.comp[0]].bh;
    } else {
        for (int i = 0; i < s.n; ++i)
            blocks += static_cast<long long>(l.mcu_x) * l.mcu_y * l.comp[s.comp[i]].h * l.comp[s.comp[i]].v;
    }
    return (s.end - s.data) * 8LL >= blocks;
}

bool read_layout(const uint8_t *data, size_t size, jpeg_layout *l) {
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return false;
    const uint8_t *p = data + 2, *const file_end = data + size;
    int current[2][4] = {{-1, -1, -1, -1}, {-1, -1, -1, -1}};
    int restart_interval = 0;
    bool frame = false;
    for (;;) {
        if (file_end - p < 2 || p[0] != 0xFF) return false;
        const int m = p[1];
        p += 2;
        if (m == 0xD9) break;
        if (file_end - p < 2) return false;
        const int len = be16(p);
        if (len < 2 || file_end - p < len) return false;
        const uint8_t *body = p + 2;
        const int body_len = len - 2;
        if (m == 0xDB) {
            if (frame || !read_quant_tables(body, body_len, l)) return false;
        } else if (m == 0xC4) {
            if (!read_huffman_tables(body, body_len, l, current)) return false;
        } else if (m == 0xDD) {
            if (len != 4) return false;
            restart_interval = be16(body);
        } else if ((m >= 0xE0 && m <= 0xEF) || m == 0xFE) {
            if (m == 0xE0 && body_len >= 5 && std::memcmp(body, "JFIF\0", 5) == 0) l->jfif = true;
            if (m == 0xEE && body_len >= 12 && std::memcmp(body, "Adobe\0", 6) == 0) l->app14_transform = body[11];
        } else if (m == 0xC0 || m == 0xC1 || m == 0xC2) {
            if (frame || !read_frame(p, len, m == 0xC2, l)) return false;
            frame = true;
        } else if (m == 0xDA) {
            if (!frame || static_cast<int>(l->scans.size()) >= kMaxScans) return false;
            scan_header s;
            if (!read_scan_header(body, body_len, *l, current, &s)) return false;
            s.restart_interval = restart_interval;
            s.data = p + len;
            s.end = find_scan_end(s.data, file_end);
            if (!s.end) return false;
            l->scans.push_back(s);
            p = s.end;
            continue;
        } else {
            return false;
        }
        p += len;
    }
    if (!frame || l->scans.empty()) return false;
    for (const scan_header &s : l->scans)
        if (!data_can_hold(*l, s)) return false;
    if (!l->progressive) {
        // Every component in some scan, every scan with its tables.
        bool covered[3] = {false, false, false};
        for (const scan_header &s : l->scans)
            for (int i = 0; i < s.n; ++i) {
                if (s.dc_table[i] < 0 || s.ac_table[i] < 0) return false;
                covered[s.comp[i]] = true;
            }
        for (int i = 0; i < l->ncomp; ++i)
            if (!covered[i]) return false;
        return true;
    }
    return progressive_script_ok(*l);
}

// ---------------------------------------------------------------------------
// Pixels out

// Turns rows of component samples into RGBA rows as the reference does.
// Samples live in a ring of three bands, each one MCU row high, so that the
// smoothing upsamplers see the rows above and below.
class pixel_writer {
public:
    // Allocates the bands (std::bad_alloc where memory runs out): a ring of
    // three when MCU rows come in order, else one for every MCU row.
    pixel_writer(const jpeg_layout &l, const jpeg_decode_kernels &k, uint8_t *pixels, bool in_order)
        : l_(l), k_(k), pixels_(pixels), bands_(in_order ? 3 : l.mcu_y) {
        for (int i = 0; i < l_.ncomp; ++i) {
            plane &p = planes_[i];
            const component &c = l_.comp[i];
            p.stride = (static_cast<size_t>(c.bw) * 8 + 31) & ~static_cast<size_t>(31);
            p.band_rows = 8 * c.v;
            p.ring.resize(p.stride * static_cast<size_t>(p.band_rows) * static_cast<size_t>(bands_) + 64);
            p.line.resize(static_cast<size_t>(l_.w) + 64);
        }
    }

    // Where the samples of block row `by` of component `c` go.
    uint8_t *block_row(int c, int by) {
        plane &p = planes_[c];
        return row_of(p, by * 8);
    }
    size_t stride(int c) const { return planes_[c].stride; }

    // Writes every picture row that MCU rows 0 .. mcu_row make complete.
    void rows_ready(int mcu_row) {
        const bool last = mcu_row == l_.mcu_y - 1;
        while (next_y_ < l_.h) {
            if (!last && !row_complete(next_y_, mcu_row)) break;
            write_row(next_y_);
            ++next_y_;
        }
    }

private:
    struct plane {
        std::vector<uint8_t> ring, line;
        size_t stride = 0;
        int band_rows = 8;
    };

    uint8_t *row_of(plane &p, int r) {
        const int band = (r / p.band_rows) % bands_;
        return p.ring.data() + (static_cast<size_t>(band) * p.band_rows + r % p.band_rows) * p.stride;
    }

    static bool smooths_vertically(const component &c) { return c.vs == 2 && c.hs <= 2; }

    int far_row(const component &c, int y) const {
        const int near = y >> 1;
        return (y & 1) ? (near + 1 < c.y ? near + 1 : near) : (near > 0 ? near - 1 : 0);
    }

    bool row_complete(int y, int mcu_row) const {
        for (int i = 0; i < l_.ncomp; ++i) {
            const component &c = l_.comp[i];
            int needed = y / c.vs;
            if (smooths_vertically(c)) needed = far_row(c, y) > needed ? far_row(c, y) : needed;
            if (needed >= (mcu_row + 1) * 8 * c.v) return false;
        }
        return true;
    }

    const uint8_t *resampled(int i, int y) {
        const component &c = l_.comp[i];
        plane &p = planes_[i];
        const uint8_t *near = row_of(p, y / c.vs);
        if (c.hs == 1 && c.vs == 1) return near;
        uint8_t *out = p.line.data();
        if (smooths_vertically(c)) {
            const uint8_t *far = row_of(p, far_row(c, y));
            if (c.hs == 2) {
                k_.upsample_hv2(out, near, far, c.x);
            } else {
                for (int x = 0; x < c.x; ++x) out[x] = static_cast<uint8_t>((3 * near[x] + far[x] + 2) >> 2);
            }
        } else if (c.hs == 2 && c.vs == 1) {
            k_.upsample_h2(out, near, c.x);
        } else {
            for (int x = 0; x < c.x; ++x)
                for (int j = 0; j < c.hs; ++j) out[x * c.hs + j] = near[x];
        }
        return out;
    }

    void write_row(int y) {
        uint8_t *out = pixels_ + static_cast<size_t>(y) * l_.w * 4;
        const uint8_t *c0 = resampled(0, y);
        if (l_.ncomp == 1) {
            for (int x = 0; x < l_.w; ++x) {
                out[4 * x] = out[4 * x + 1] = out[4 * x + 2] = c0[x];
                out[4 * x + 3] = 255;
            }
            return;
        }
        const uint8_t *c1 = resampled(1, y), *c2 = resampled(2, y);
        if (l_.is_rgb()) {
            for (int x = 0; x < l_.w; ++x) {
                out[4 * x] = c0[x];
                out[4 * x + 1] = c1[x];
                out[4 * x + 2] = c2[x];
                out[4 * x + 3] = 255;
            }
            return;
        }
        k_.ycbcr_row(out, c0, c1, c2, l_.w);
    }

    const jpeg_layout &l_;
    const jpeg_decode_kernels &k_;
    uint8_t *pixels_;
    const int bands_;
    plane planes_[3];
    int next_y_ = 0;
};

class decoder {
public:
    decoder(const jpeg_layout &l, const jpeg_decode_kernels &k, uint8_t *pixels)
        : l_(l), k_(k), streamed_(!l.progressive && l.scans.size() == 1 && l.scans[0].n == l.ncomp),
          writer_(l, k, pixels, l.progressive || streamed_) {}

    // Decodes every scan into the picture; false for anything irregular.
    bool run() { return l_.progressive ? run_progressive() : run_sequential(); }

private:
    static constexpr int kChunk = 32;  // MCUs decoded before their inverse DCT

    void build_table(int definition, bool ac, huffman_table *t) {
        const huffman_definition &d = l_.huffman[static_cast<size_t>(definition)];
        build_huffman(d.counts, d.values, d.n, ac, t);
    }

    // Sequential scans. A single scan of every component is streamed: each
    // row of MCUs goes on to the picture as soon as it is decoded. Otherwise
    // each scan writes its components' samples into the whole planes, as the
    // reference does (a later scan of a component overwrites an earlier one),
    // and the picture is made at the end.
    bool run_sequential() {
        for (const scan_header &s : l_.scans)
            if (!decode_sequential_scan(s)) return false;
        if (!streamed_) writer_.rows_ready(l_.mcu_y - 1);
        return true;
    }

    bool decode_sequential_scan(const scan_header &s) {
        // One component alone is decoded block by block over its own extent;
        // several go MCU by MCU.
        const bool interleaved = s.n > 1;
        const int units_x = interleaved ? l_.mcu_x : l_.comp[s.comp[0]].bw;
        const int units_y = interleaved ? l_.mcu_y : l_.comp[s.comp[0]].bh;
        std::unique_ptr<huffman_table[]> tables(new huffman_table[2 * s.n]);
        uint16_t quant_zigzag[4][64];
        size_t offset[4], per_row[4];
        int bh[4], bv[4];  // blocks of each component per unit
        size_t total = 0;
        for (int i = 0; i < s.n; ++i) {
            build_table(s.dc_table[i], false, &tables[2 * i]);
            build_table(s.ac_table[i], true, &tables[2 * i + 1]);
            const component &c = l_.comp[s.comp[i]];
            bh[i] = interleaved ? c.h : 1;
            bv[i] = interleaved ? c.v : 1;
            for (int k = 0; k < 64; ++k) quant_zigzag[i][k] = l_.quant[c.tq][kDezigzag[k]];
            per_row[i] = static_cast<size_t>(kChunk) * bh[i];
            offset[i] = total;
            total += per_row[i] * bv[i];
        }
        std::vector<int16_t> coeffs(total * 64);
        bit_source src;
        src.pos = s.data;
        src.end = s.end;
        bit_cursor c;
        int dc_pred[4] = {0, 0, 0, 0};
        int todo = s.restart_interval ? s.restart_interval : INT_MAX;
        for (int my = 0; my < units_y; ++my) {
            for (int mx0 = 0; mx0 < units_x; mx0 += kChunk) {
                const int n = units_x - mx0 < kChunk ? units_x - mx0 : kChunk;
                std::memset(coeffs.data(), 0, coeffs.size() * sizeof(int16_t));
                for (int m = 0; m < n; ++m) {
                    for (int i = 0; i < s.n; ++i)
                        for (int by = 0; by < bv[i]; ++by)
                            for (int bx = 0; bx < bh[i]; ++bx) {
                                int16_t *block = coeffs.data() + (offset[i] + by * per_row[i] + m * bh[i] + bx) * 64;
                                if (!decode_block(src, c, block, tables[2 * i], tables[2 * i + 1], quant_zigzag[i],
                                                  &dc_pred[i]))
                                    return false;
                            }
                    if (!no_padding_read(src, c)) return false;
                    const bool last = my == units_y - 1 && mx0 + m == units_x - 1;
                    if (--todo <= 0 && !last) {
                        if (!take_restart(src, c)) return false;
                        todo = s.restart_interval;
                        for (int &d : dc_pred) d = 0;
                    }
                }
                for (int i = 0; i < s.n; ++i) {
                    const int ci = s.comp[i];
                    const component &comp = l_.comp[ci];
                    const int first = mx0 * bh[i];
                    const int count = comp.bw - first < n * bh[i] ? comp.bw - first : n * bh[i];
                    if (count <= 0) continue;
                    for (int by = 0; by < bv[i]; ++by) {
                        const int row = my * bv[i] + by;
                        if (row >= comp.bh) break;
                        k_.idct_row(coeffs.data() + (offset[i] + by * per_row[i]) * 64, count,
                                    writer_.block_row(ci, row) + first * 8, writer_.stride(ci));
                    }
                }
            }
            if (streamed_) writer_.rows_ready(my);
        }
        return scan_done(src, c);
    }

    bool run_progressive() {
        for (int i = 0; i < l_.ncomp; ++i) {
            const component &c = l_.comp[i];
            coeffs_[i].reset(static_cast<int16_t *>(std::malloc(static_cast<size_t>(c.bw) * c.bh * 64 * sizeof(int16_t))));
            if (!coeffs_[i]) return false;
        }
        std::unique_ptr<huffman_table[]> tables(new huffman_table[4]);
        for (const scan_header &s : l_.scans)
            if (!decode_progressive_scan(s, tables.get())) return false;
        std::vector<int16_t> row_blocks;
        for (int my = 0; my < l_.mcu_y; ++my) {
            for (int i = 0; i < l_.ncomp; ++i) {
                const component &c = l_.comp[i];
                const uint16_t *q = l_.quant[c.tq];
                row_blocks.resize(static_cast<size_t>(c.bw) * 64);
                for (int by = my * c.v; by < (my + 1) * c.v && by < c.bh; ++by) {
                    const int16_t *src = coeffs_[i].get() + static_cast<size_t>(by) * c.bw * 64;
                    for (int b = 0; b < c.bw; ++b)
                        dequantize(src + b * 64, q, row_blocks.data() + b * 64);
                    k_.idct_row(row_blocks.data(), c.bw, writer_.block_row(i, by), writer_.stride(i));
                }
            }
            writer_.rows_ready(my);
        }
        return true;
    }

    bool decode_progressive_scan(const scan_header &s, huffman_table *tables) {
        for (int i = 0; i < s.n; ++i) {
            if (s.ss == 0 && s.ah == 0) build_table(s.dc_table[i], false, &tables[i]);
            if (s.ss != 0) build_table(s.ac_table[i], true, &tables[i]);
        }
        bit_source src;
        src.pos = s.data;
        src.end = s.end;
        bit_cursor c;
        int dc_pred[4] = {0, 0, 0, 0};
        int eob_run = 0;
        int todo = s.restart_interval ? s.restart_interval : INT_MAX;
        // One step of the restart countdown after unit `index` of `units`.
        auto next_unit = [&](long long index, long long units) {
            if (!no_padding_read(src, c)) return false;
            if (--todo <= 0 && index != units - 1) {
                if (!take_restart(src, c)) return false;
                todo = s.restart_interval;
                for (int &d : dc_pred) d = 0;
                eob_run = 0;
            }
            return true;
        };
        if (s.n == 1) {
            const int ci = s.comp[0];
            const component &comp = l_.comp[ci];
            const long long units = static_cast<long long>(comp.bw) * comp.bh;
            for (long long b = 0; b < units; ++b) {
                int16_t *block = coeffs_[ci].get() + b * 64;
                bool ok;
                if (s.ss == 0)
                    ok = s.ah == 0 ? decode_dc_first(src, c, block, tables[0], &dc_pred[0], s.al)
                                   : (decode_dc_refine(src, c, block, s.al), true);
                else
                    ok = s.ah == 0 ? decode_ac_first(src, c, block, tables[0], s.ss, s.se, s.al, &eob_run)
                                   : decode_ac_refine(src, c, block, tables[0], s.ss, s.se, s.al, &eob_run);
                if (!ok || !next_unit(b, units)) return false;
            }
            return scan_done(src, c);
        }
        int16_t scratch[64];
        const long long units = static_cast<long long>(l_.mcu_x) * l_.mcu_y;
        for (int my = 0; my < l_.mcu_y; ++my)
            for (int mx = 0; mx < l_.mcu_x; ++mx) {
                for (int i = 0; i < s.n; ++i) {
                    const int ci = s.comp[i];
                    const component &comp = l_.comp[ci];
                    for (int y = 0; y < comp.v; ++y)
                        for (int x = 0; x < comp.h; ++x) {
                            const int bx = mx * comp.h + x, by = my * comp.v + y;
                            // Blocks of the MCU past the component's edge are decoded and dropped.
                            int16_t *block = bx < comp.bw && by < comp.bh
                                                 ? coeffs_[ci].get() + (static_cast<size_t>(by) * comp.bw + bx) * 64
                                                 : scratch;
                            if (s.ah == 0) {
                                if (!decode_dc_first(src, c, block, tables[i], &dc_pred[i], s.al)) return false;
                            } else {
                                decode_dc_refine(src, c, block, s.al);
                            }
                        }
                }
                if (!next_unit(static_cast<long long>(my) * l_.mcu_x + mx, units)) return false;
            }
        return scan_done(src, c);
    }

    const jpeg_layout &l_;
    const jpeg_decode_kernels &k_;
    const bool streamed_;  // one sequential scan of every component
    pixel_writer writer_;
    malloc_ptr<int16_t> coeffs_[3];
};

// A large picture is written once from end to end: on Linux, huge pages
// (where the system gives them on request) save most of the page faults.
void ask_for_huge_pages(void *p, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHuge = 2u << 20;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHuge - 1);
    if (end > start) madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

}  // namespace

bool decode_jpeg(const unsigned char *data, size_t size, rgba_image *out, simd_path path) {
    if (!data || !out || size > static_cast<size_t>(INT_MAX)) return false;
    jpeg_layout layout;
    if (!read_layout(data, size, &layout)) return false;
    size_t bytes;
    if (!rgba_byte_count(layout.w, layout.h, &bytes)) return false;
    malloc_ptr<uint8_t> pixels(static_cast<uint8_t *>(std::malloc(bytes)));
    if (!pixels) return false;
    ask_for_huge_pages(pixels.get(), bytes);
    try {
        decoder d(layout, jpeg_decode_kernels_for(path), pixels.get());
        if (!d.run()) return false;
    } catch (const std::bad_alloc &) {
        return false;
    }
    *out = {layout.w, layout.h, pixels.release()};
    return true;
}
