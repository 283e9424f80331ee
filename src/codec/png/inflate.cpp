#include "inflate.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// Table entries: bits 0-5 all the bits the entry takes (the code and, for a
// length or distance, its extra bits; for a subtable link, the primary
// bits), 8-11 the kind, 12-15 the code's own bits (for a link, the
// subtable's index bits), 16-31 the value (literal byte, base length or
// distance, subtable start). A shift by the whole entry takes its bits: the
// processor uses only the count's low six bits.
enum : uint32_t { kLiteral = 0, kValue = 1, kEnd = 2, kLink = 3, kBad = 4, kUndefinedDistance = 5 };

constexpr uint32_t make_entry(uint32_t kind, uint32_t bits, uint32_t extra, uint32_t value) {
    return value << 16 | bits << 12 | kind << 8 | (bits + extra);
}
inline uint32_t entry_total(uint32_t e) { return e & 63; }
inline uint32_t entry_code_bits(uint32_t e) { return (e >> 12) & 15; }
inline uint32_t entry_kind(uint32_t e) { return (e >> 8) & 15; }
inline uint32_t entry_value(uint32_t e) { return e >> 16; }

// The extra bits' value of a length or distance entry, from the buffer as it
// was before the entry was taken.
inline uint32_t entry_extra_value(uint32_t e, uint64_t buffer) {
    return static_cast<uint32_t>((buffer & ((1ull << entry_total(e)) - 1)) >> entry_code_bits(e));
}

constexpr uint32_t kBadEntry = make_entry(kBad, 0, 0, 0);

constexpr unsigned kLitBits = 11, kDistBits = 8, kCodeLengthBits = 7;
// Primary table plus a subtable of 2^(15 - primary bits) entries for each
// code longer than the primary bits (a bound on the distinct prefixes).
constexpr size_t kLitEntries = (1u << kLitBits) + 288 * (1u << (15 - kLitBits));
constexpr size_t kDistEntries = (1u << kDistBits) + 32 * (1u << (15 - kDistBits));

constexpr size_t kHistory = 32768;
constexpr size_t kChunk = 64 * 1024;             // output collected between hand-outs
constexpr size_t kWindow = kHistory + kChunk + 258 + 64;  // room for a match and its overshoot

const uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

enum class alphabet { literal_length, distance, code_length };

uint32_t symbol_entry(alphabet a, unsigned symbol, unsigned bits) {
    switch (a) {
    case alphabet::literal_length:
        if (symbol < 256) return make_entry(kLiteral, bits, 0, symbol);
        if (symbol == 256) return make_entry(kEnd, bits, 0, 0);
        if (symbol <= 285) return make_entry(kValue, bits, kLengthExtra[symbol - 257], kLengthBase[symbol - 257]);
        return kBadEntry;  // 286 and 287: stb reads them as empty matches; left to it
    case alphabet::distance:
        if (symbol < 30) return make_entry(kValue, bits, kDistExtra[symbol], kDistBase[symbol]);
        return make_entry(kUndefinedDistance, bits, 0, 0);  // 30 and 31: left to stb
    case alphabet::code_length:
        return make_entry(kLiteral, bits, 0, symbol);
    }
    return kBadEntry;
}

uint32_t make_link(unsigned primary_bits, unsigned sub_bits, unsigned start) {
    return start << 16 | sub_bits << 12 | kLink << 8 | primary_bits;
}

unsigned reverse_bits(unsigned code, unsigned bits) {
    unsigned r = 0;
    for (unsigned i = 0; i < bits; ++i) r |= ((code >> i) & 1u) << (bits - 1 - i);
    return r;
}

// Fills a lookup table for the canonical code of `lengths` (n symbols, 0 =
// unused). Refuses what stb's table builder refuses: more codes of a length
// than it has room for, or an over-subscribed code. An incomplete code is
// taken; its unused bit patterns read as kBad.
bool build_table(const uint8_t *lengths, unsigned n, alphabet a, unsigned primary_bits, uint32_t *table) {
    unsigned count[16] = {0};
    for (unsigned i = 0; i < n; ++i) ++count[lengths[i]];
    count[0] = 0;
    unsigned next[16] = {0}, code = 0, longest = 0;
    for (unsigned len = 1; len < 16; ++len) {
        if (count[len] > (1u << len)) return false;
        next[len] = code;
        code += count[len];
        if (count[len] && code - 1 >= (1u << len)) return false;
        code <<= 1;
        if (count[len]) longest = len;
    }
    const unsigned primary_size = 1u << primary_bits;
    for (unsigned j = 0; j < primary_size; ++j) table[j] = kBadEntry;
    const unsigned sub_bits = longest > primary_bits ? longest - primary_bits : 0;
    const unsigned sub_size = 1u << sub_bits;
    unsigned next_sub = primary_size;
    for (unsigned symbol = 0; symbol < n; ++symbol) {
        const unsigned len = lengths[symbol];
        if (!len) continue;
        const unsigned reversed = reverse_bits(next[len]++, len);
        const uint32_t e = symbol_entry(a, symbol, len);
        if (len <= primary_bits) {
            for (unsigned j = reversed; j < primary_size; j += 1u << len) table[j] = e;
            continue;
        }
        const unsigned prefix = reversed & (primary_size - 1);
        if (entry_kind(table[prefix]) != kLink) {
            table[prefix] = make_link(primary_bits, sub_bits, next_sub);
            for (unsigned j = 0; j < sub_size; ++j) table[next_sub + j] = kBadEntry;
            next_sub += sub_size;
        }
        const unsigned start = entry_value(table[prefix]);
        for (unsigned j = reversed >> primary_bits; j < sub_size; j += 1u << (len - primary_bits))
            table[start + j] = e;
    }
    return true;
}

inline uint64_t load64le(const unsigned char *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// Reads the stream's bits, low bit first, across the pieces, which it asks
// for one at a time and never goes back to. Past the last piece it reads
// zeros and counts them, so a stream that needs them fails.
struct bit_reader {
    inflate_source_fn *source;
    void *context;
    bool exhausted = false;   // the source has no more pieces
    size_t piece_start = 0;   // stream offset of the current piece's first byte
    const unsigned char *piece_data = nullptr, *in = nullptr, *in_end = nullptr;
    size_t overrun = 0;       // zero bytes read past the end
    uint64_t buffer = 0;      // bits not yet taken, low bit next; holds `bits` valid bits
    unsigned bits = 0;
    unsigned char pending[8];  // whole bytes taken back from the buffer at a stored block
    unsigned pending_count = 0, pending_next = 0;

    bit_reader(inflate_source_fn *s, void *c) : source(s), context(c) {}

    // Moves to the next non-empty piece; false when there is none.
    bool next_piece() {
        if (exhausted) return false;
        piece_start += static_cast<size_t>(in_end - piece_data);
        byte_span next{nullptr, 0};
        do {
            if (!source(context, &next)) {
                exhausted = true;
                piece_data = in = in_end = nullptr;
                return false;
            }
        } while (next.size == 0);
        piece_data = in = next.data;
        in_end = next.data + next.size;
        return true;
    }

    // Stream offset of the next byte to load (zeros past the end included).
    size_t offset() const { return piece_start + static_cast<size_t>(in - piece_data) + overrun; }

    // Bits of the stream taken so far, and whether any of them lay past its end.
    size_t position_bits() const { return offset() * 8 - bits; }
    bool read_past_end() const { return position_bits() > (offset() - overrun) * 8; }

    int next_byte() {
        if (in == in_end && !next_piece()) {
            ++overrun;
            return 0;
        }
        return *in++;
    }

    // Makes at least 56 bits available; false once far past the end.
    bool refill() {
        if (in_end - in >= 8) {
            buffer |= load64le(in) << bits;
            in += (63 - bits) >> 3;
            bits |= 56;
            return true;
        }
        while (bits <= 56) {
            buffer |= static_cast<uint64_t>(next_byte()) << bits;
            bits += 8;
        }
        return overrun <= 16;
    }

    void take(unsigned n) {
        buffer >>= n;
        bits -= n;
    }

    // n <= 32 bits; needs a refill beforehand when fewer may be buffered.
    unsigned read(unsigned n) {
        const unsigned v = static_cast<unsigned>(buffer & ((1ull << n) - 1));
        take(n);
        return v;
    }

    // Drops the bits up to the next byte boundary and takes the whole bytes
    // left in the buffer back as pending bytes (the zeros past the end are
    // not among them), so that whole bytes can be read from there on.
    bool align_to_byte() {
        take(bits & 7);
        const unsigned whole = bits / 8;
        if (overrun > whole) return false;
        pending_count = whole - static_cast<unsigned>(overrun);
        pending_next = 0;
        for (unsigned i = 0; i < pending_count; ++i) pending[i] = static_cast<unsigned char>(buffer >> (8 * i));
        buffer = 0;
        bits = 0;
        overrun = 0;
        return true;
    }

    // Puts the pending bytes a stored block has not used back into the
    // buffer, where the next block's bits begin.
    void resume_bits() {
        buffer = 0;
        bits = 0;
        for (; pending_next < pending_count; ++pending_next, bits += 8)
            buffer |= static_cast<uint64_t>(pending[pending_next]) << bits;
        pending_count = pending_next = 0;
    }

    // Copies n whole bytes to `to` (after align_to_byte); false when the
    // stream runs out first.
    bool copy_bytes(unsigned char *to, size_t n) {
        while (n && pending_next < pending_count) {
            *to++ = pending[pending_next++];
            --n;
        }
        while (n) {
            if (in == in_end && !next_piece()) return false;
            const size_t step = static_cast<size_t>(in_end - in) < n ? static_cast<size_t>(in_end - in) : n;
            std::memcpy(to, in, step);
            in += step;
            to += step;
            n -= step;
        }
        return true;
    }
};

struct inflater {
    bit_reader r;
    inflate_sink_fn *sink;
    void *context;
    size_t max_output;
    unsigned char *window;      // kWindow bytes: the last 32 KiB of output, then new output
    unsigned char *out;         // next output byte
    unsigned char *unsent;      // first byte not yet handed to the sink
    size_t window_start = 0;    // output offset of window[0]
    bool undefined_distance = false;
    uint32_t lit[kLitEntries];
    uint32_t dist[kDistEntries];

    inflater(inflate_source_fn *source, void *context) : r(source, context) {}

    size_t produced() const { return window_start + static_cast<size_t>(out - window); }

    bool hand_out() {
        if (produced() > max_output) return false;
        if (out > unsent && !sink(context, unsent, static_cast<size_t>(out - unsent))) return false;
        unsent = out;
        return true;
    }

    // Hands out the new output and keeps the last 32 KiB as history.
    bool make_room() {
        if (!hand_out()) return false;
        const size_t keep = static_cast<size_t>(out - window) < kHistory ? static_cast<size_t>(out - window) : kHistory;
        const size_t drop = static_cast<size_t>(out - window) - keep;
        std::memmove(window, out - keep, keep);
        window_start += drop;
        out -= drop;
        unsent = out;
        return true;
    }

    bool stored_block() {
        if (!r.align_to_byte()) return false;
        unsigned char header[4];
        if (!r.copy_bytes(header, 4)) return false;
        const unsigned len = header[0] | header[1] << 8, nlen = header[2] | header[3] << 8;
        if (nlen != (len ^ 0xFFFFu)) return false;
        size_t left = len;
        while (left) {
            if (out >= window + kHistory + kChunk && !make_room()) return false;
            size_t room = static_cast<size_t>(window + kHistory + kChunk - out);
            const size_t step = left < room ? left : room;
            if (!r.copy_bytes(out, step)) return false;
            out += step;
            left -= step;
        }
        r.resume_bits();
        return true;
    }

    bool fixed_tables() {
        uint8_t lengths[288];
        std::memset(lengths, 8, 144);
        std::memset(lengths + 144, 9, 112);
        std::memset(lengths + 256, 7, 24);
        std::memset(lengths + 280, 8, 8);
        uint8_t distances[32];
        std::memset(distances, 5, 32);
        return build_table(lengths, 288, alphabet::literal_length, kLitBits, lit) &&
               build_table(distances, 32, alphabet::distance, kDistBits, dist);
    }

    bool dynamic_tables() {
        static const uint8_t order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        if (!r.refill()) return false;
        const unsigned hlit = r.read(5) + 257, hdist = r.read(5) + 1, hclen = r.read(4) + 4;
        // stb also takes 287 and 288 literal/length and 31 and 32 distance
        // codes; no encoder writes them, so they are left to it.
        if (hlit > 286 || hdist > 30) return false;
        uint8_t code_length_lengths[19] = {0};
        for (unsigned i = 0; i < hclen; ++i) {
            if (!r.refill()) return false;
            code_length_lengths[order[i]] = static_cast<uint8_t>(r.read(3));
        }
        uint32_t table[1u << kCodeLengthBits];
        if (!build_table(code_length_lengths, 19, alphabet::code_length, kCodeLengthBits, table)) return false;
        uint8_t lengths[286 + 30];
        const unsigned total = hlit + hdist;
        unsigned n = 0;
        while (n < total) {
            if (!r.refill()) return false;
            const uint32_t e = table[r.buffer & ((1u << kCodeLengthBits) - 1)];
            if (entry_kind(e) != kLiteral) return false;
            r.take(entry_total(e));
            const unsigned symbol = entry_value(e);
            if (symbol < 16) {
                lengths[n++] = static_cast<uint8_t>(symbol);
                continue;
            }
            uint8_t fill = 0;
            unsigned repeat;
            if (symbol == 16) {
                if (n == 0) return false;
                fill = lengths[n - 1];
                repeat = r.read(2) + 3;
            } else if (symbol == 17) {
                repeat = r.read(3) + 3;
            } else {
                repeat = r.read(7) + 11;
            }
            if (total - n < repeat) return false;
            std::memset(lengths + n, fill, repeat);
            n += repeat;
        }
        return build_table(lengths, hlit, alphabet::literal_length, kLitBits, lit) &&
               build_table(lengths + hlit, hdist, alphabet::distance, kDistBits, dist);
    }

    // Copies a match of `length` bytes from `distance` back; may write up to
    // 15 bytes past it, into room the window keeps free.
    static void copy_match(unsigned char *to, size_t distance, size_t length) {
        const unsigned char *from = to - distance;
        unsigned char *const end = to + length;
        if (distance >= 16) {
            // Both halves loaded before either is stored.
            do {
                uint64_t a, b;
                std::memcpy(&a, from, 8);
                std::memcpy(&b, from + 8, 8);
                std::memcpy(to, &a, 8);
                std::memcpy(to + 8, &b, 8);
                from += 16;
                to += 16;
            } while (to < end);
            return;
        }
        if (distance >= 8) {
            do {
                uint64_t v;
                std::memcpy(&v, from, 8);
                std::memcpy(to, &v, 8);
                from += 8;
                to += 8;
            } while (to < end);
            return;
        }
        // A short period: eight bytes of the repeating pattern, written at
        // steps of the largest multiple of the period that fits in eight.
        unsigned char pattern[8];
        for (unsigned i = 0; i < 8; ++i) pattern[i] = from[i % distance];
        const size_t step = 8 - 8 % distance;
        do {
            std::memcpy(to, pattern, 8);
            to += step;
        } while (to < end);
    }

    // Decodes one Huffman-coded block with the current tables. The bit
    // buffer and output pointer live in locals here (byte stores could
    // otherwise alias them) and go back to the members around the slow steps.
    bool huffman_block() {
        const unsigned char *const room_end = window + kHistory + kChunk;
        uint64_t buffer = r.buffer;
        unsigned bits = r.bits;
        const unsigned char *in = r.in, *in_end = r.in_end;
        unsigned char *o = out;
        size_t start = window_start;
        auto save = [&] {
            r.buffer = buffer;
            r.bits = bits;
            r.in = in;
            out = o;
        };
        auto load = [&] {
            buffer = r.buffer;
            bits = r.bits;
            in = r.in;
            in_end = r.in_end;
            o = out;
            start = window_start;
        };
        for (;;) {
            if (o >= room_end) {
                save();
                if (!make_room()) return false;
                load();
            }
            if (in_end - in >= 8) {
                buffer |= load64le(in) << bits;
                in += (63 - bits) >> 3;
                bits |= 56;
            } else {
                save();
                if (!r.refill()) return false;
                load();
            }
            uint32_t e = lit[buffer & ((1u << kLitBits) - 1)];
            if (entry_kind(e) == kLink)
                e = lit[entry_value(e) + ((buffer >> kLitBits) & ((1u << entry_code_bits(e)) - 1))];
            if (entry_kind(e) == kLiteral) {
                *o++ = static_cast<unsigned char>(entry_value(e));
                buffer >>= entry_total(e);
                bits -= entry_total(e);
                // At least 41 bits are left: room for a second literal.
                e = lit[buffer & ((1u << kLitBits) - 1)];
                if (entry_kind(e) == kLiteral) {
                    *o++ = static_cast<unsigned char>(entry_value(e));
                    buffer >>= entry_total(e);
                    bits -= entry_total(e);
                }
                continue;
            }
            if (entry_kind(e) == kValue) {
                const size_t length = entry_value(e) + entry_extra_value(e, buffer);
                buffer >>= entry_total(e);
                bits -= entry_total(e);
                // At most 20 bits taken: 36 remain for the distance code and its extra bits.
                uint32_t d = dist[buffer & ((1u << kDistBits) - 1)];
                if (entry_kind(d) == kLink)
                    d = dist[entry_value(d) + ((buffer >> kDistBits) & ((1u << entry_code_bits(d)) - 1))];
                if (entry_kind(d) != kValue) {
                    undefined_distance = entry_kind(d) == kUndefinedDistance;
                    return false;
                }
                const size_t distance = entry_value(d) + entry_extra_value(d, buffer);
                buffer >>= entry_total(d);
                bits -= entry_total(d);
                if (distance > start + static_cast<size_t>(o - window)) return false;
                copy_match(o, distance, length);
                o += length;
                continue;
            }
            if (entry_kind(e) == kEnd) {
                buffer >>= entry_total(e);
                bits -= entry_total(e);
                save();
                return true;
            }
            return false;
        }
    }

    bool run() {
        if (!r.refill()) return false;
        const unsigned cmf = r.read(8), flg = r.read(8);
        if ((cmf * 256 + flg) % 31 != 0 || (flg & 32) || (cmf & 15) != 8) return false;
        for (;;) {
            if (!r.refill()) return false;
            const unsigned final_block = r.read(1), type = r.read(2);
            bool ok;
            if (type == 0) ok = stored_block();
            else if (type == 1) ok = fixed_tables() && huffman_block();
            else if (type == 2) ok = dynamic_tables() && huffman_block();
            else ok = false;
            if (!ok) return false;
            if (final_block) break;
        }
        return hand_out();
    }
};

}  // namespace

inflate_result inflate_zlib(inflate_source_fn *source, void *source_context, size_t max_output, inflate_sink_fn *sink,
                            void *sink_context) {
    inflate_result result;
    auto *state = static_cast<inflater *>(std::malloc(sizeof(inflater)));
    auto *window = static_cast<unsigned char *>(std::malloc(kWindow));
    if (state && window) {
        new (state) inflater(source, source_context);
        state->sink = sink;
        state->context = sink_context;
        state->max_output = max_output;
        state->window = state->out = state->unsent = window;
        const bool ok = state->r.next_piece() && state->run();
        result.stream_end = (state->r.position_bits() + 7) / 8;
        result.output_size = state->produced();
        result.ok = ok && !state->r.read_past_end();
        result.undefined_distance = state->undefined_distance;
        state->~inflater();
    }
    std::free(window);
    std::free(state);
    return result;
}

bool inflate_array_source(void *context, byte_span *out) {
    auto *pieces = static_cast<inflate_pieces *>(context);
    if (pieces->next >= pieces->count) return false;
    *out = pieces->spans[pieces->next++];
    return true;
}
