#include "png_deflate.h"

#include <climits>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "malloc_ptr.h"

bool byte_buffer_out::reserve_more(size_t extra) {
    if (extra <= capacity_ - size_) return true;
    if (extra > SIZE_MAX - size_) return false;
    const size_t need = size_ + extra;
    size_t grown = capacity_ + capacity_ / 2;
    if (grown < capacity_ || grown < need) grown = need;
    if (grown < 256) grown = 256;
    void *p = std::realloc(data_, grown);
    if (!p) {
        // The exact need may still fit where the generous growth did not.
        if (grown == need) return false;
        p = std::realloc(data_, need);
        if (!p) return false;
        grown = need;
    }
    data_ = static_cast<unsigned char *>(p);
    capacity_ = grown;
    return true;
}

bool byte_buffer_out::append(const void *bytes, size_t n) {
    if (!reserve_more(n)) return false;
    if (n) std::memcpy(data_ + size_, bytes, n);
    size_ += n;
    return true;
}

namespace {

// ---------------------------------------------------------------------------
// Checksums

struct crc_tables {
    uint32_t t[8][256];
};

constexpr crc_tables make_crc_tables() {
    crc_tables c{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t v = n;
        for (int k = 0; k < 8; ++k) v = (v & 1) ? 0xEDB88320u ^ (v >> 1) : v >> 1;
        c.t[0][n] = v;
    }
    for (uint32_t n = 0; n < 256; ++n)
        for (int s = 1; s < 8; ++s) c.t[s][n] = (c.t[s - 1][n] >> 8) ^ c.t[0][c.t[s - 1][n] & 0xFF];
    return c;
}

constexpr crc_tables kCrc = make_crc_tables();

inline uint32_t load32_le(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

inline uint64_t load64(const unsigned char *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline void store32_le(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

}  // namespace

uint32_t crc32_update(uint32_t crc, const unsigned char *p, size_t n) {
    uint32_t c = ~crc;
    // Slice-by-8: eight table look-ups per eight bytes.
    while (n >= 8) {
        const uint32_t lo = load32_le(p) ^ c, hi = load32_le(p + 4);
        c = kCrc.t[7][lo & 0xFF] ^ kCrc.t[6][(lo >> 8) & 0xFF] ^ kCrc.t[5][(lo >> 16) & 0xFF] ^ kCrc.t[4][lo >> 24] ^
            kCrc.t[3][hi & 0xFF] ^ kCrc.t[2][(hi >> 8) & 0xFF] ^ kCrc.t[1][(hi >> 16) & 0xFF] ^ kCrc.t[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n--) c = (c >> 8) ^ kCrc.t[0][(c ^ *p++) & 0xFF];
    return ~c;
}

uint32_t adler32(const unsigned char *p, size_t n) { return adler32_update(1, p, n); }

uint32_t adler32_update(uint32_t adler, const unsigned char *p, size_t n) {
    // 5552 is the most bytes whose sums cannot overflow 32 bits before the
    // modulo.
    uint32_t s1 = adler & 0xFFFF, s2 = adler >> 16;
    while (n) {
        size_t block = n < 5552 ? n : 5552;
        n -= block;
        while (block >= 8) {
            s1 += p[0]; s2 += s1;
            s1 += p[1]; s2 += s1;
            s1 += p[2]; s2 += s1;
            s1 += p[3]; s2 += s1;
            s1 += p[4]; s2 += s1;
            s1 += p[5]; s2 += s1;
            s1 += p[6]; s2 += s1;
            s1 += p[7]; s2 += s1;
            p += 8;
            block -= 8;
        }
        while (block--) {
            s1 += *p++;
            s2 += s1;
        }
        s1 %= 65521;
        s2 %= 65521;
    }
    return s2 << 16 | s1;
}

namespace {

// ---------------------------------------------------------------------------
// The compressor

constexpr int kHashBuckets = 16384;  // stb's ZHASH
constexpr int kQuality = 8;          // stb's default level
constexpr int kBucketMax = 2 * kQuality;
constexpr unsigned kMaxMatch = 258;

// stb's 3-byte hash.
inline uint32_t zhash(const unsigned char *d) {
    uint32_t h = static_cast<uint32_t>(d[0]) + (static_cast<uint32_t>(d[1]) << 8) + (static_cast<uint32_t>(d[2]) << 16);
    h ^= h << 3;
    h += h >> 5;
    h ^= h << 4;
    h += h >> 17;
    h ^= h << 25;
    h += h >> 6;
    return h & (kHashBuckets - 1);
}

// The index of the first differing byte of two 8-byte words given their
// XOR x (non-zero), in memory order.
inline unsigned first_difference(uint64_t x) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return static_cast<unsigned>(__builtin_clzll(x)) / 8;
#else
    return static_cast<unsigned>(__builtin_ctzll(x)) / 8;
#endif
}

// The mask of the first k (1..8) bytes in memory order of a loaded word.
inline uint64_t prefix_mask(unsigned k) {
    const uint64_t ones = k >= 8 ? ~0ull : (1ull << (8 * k)) - 1;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return k >= 8 ? ones : ones << (8 * (8 - k));
#else
    return ones;
#endif
}

// Length of the common prefix of a and b, at most `limit` bytes; reads no
// byte at or past a + limit or b + limit.
inline unsigned common_prefix(const unsigned char *a, const unsigned char *b, unsigned limit) {
    unsigned k = 0;
    while (k + 8 <= limit) {
        const uint64_t x = load64(a + k) ^ load64(b + k);
        if (x) return k + first_difference(x);
        k += 8;
    }
    while (k < limit && a[k] == b[k]) ++k;
    return k;
}

// The first 16 bytes at a position, compared with other positions' first
// 16 bytes: the common prefix length, 0..16.
#if defined(__SSE2__)
struct prefix16 {
    __m128i v;
    explicit prefix16(const unsigned char *p) : v(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))) {}
    unsigned common(const unsigned char *q) const {
        const __m128i eq = _mm_cmpeq_epi8(v, _mm_loadu_si128(reinterpret_cast<const __m128i *>(q)));
        // Bit 16 stops the count when all sixteen are equal.
        return static_cast<unsigned>(__builtin_ctz(~static_cast<unsigned>(_mm_movemask_epi8(eq))));
    }
};
#else
struct prefix16 {
    uint64_t lo, hi;
    explicit prefix16(const unsigned char *p) : lo(load64(p)), hi(load64(p + 8)) {}
    unsigned common(const unsigned char *q) const {
        const uint64_t x = load64(q) ^ lo;
        if (x) return first_difference(x);
        const uint64_t y = load64(q + 8) ^ hi;
        return y ? 8 + first_difference(y) : 16;
    }
};
#endif

inline void prefetch(const void *p) {
#if defined(__GNUC__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

// Candidate positions per bucket, oldest first: stb's stretchy lists with
// their capacity fixed at the most they ever hold.
struct alignas(64) hash_chains {
    uint32_t pos[kHashBuckets][kBucketMax];
    uint8_t count[kHashBuckets];
};

// The best of the n candidates `list` holds for the match at position i,
// whose bytes are at cur (limit >= 16 bytes may match): the longest of at
// least 3 bytes starting less than 32768 bytes back, the newest of equally
// long ones, as stb's search with its `>=` picks it. Only candidates in that
// window are read, at cur minus their distance. Returns length << 4 | index,
// or 0 for none.
inline unsigned best_candidate(const unsigned char *cur, size_t i, const uint32_t *list, unsigned n,
                               unsigned limit) {
    const prefix16 head(cur);
    alignas(16) uint16_t length[kBucketMax] = {};
    for (unsigned j = 0; j < n; ++j) {
        const size_t back = i - list[j];
        const bool in_window = back < 32768;
        const unsigned char *q = in_window ? cur - back : cur;
        unsigned d = head.common(q);
        if (d == 16 && in_window) d += common_prefix(q + 16, cur + 16, limit - 16);
        length[j] = static_cast<uint16_t>(in_window ? d : 0);
    }
#if defined(__SSE2__)
    // All sixteen at once: at least 3 long, then the largest of
    // length << 4 | index (keys stay below 2^15).
    const __m128i lo = _mm_load_si128(reinterpret_cast<const __m128i *>(length));
    const __m128i hi = _mm_load_si128(reinterpret_cast<const __m128i *>(length + 8));
    const __m128i two = _mm_set1_epi16(2);
    const __m128i key_lo = _mm_and_si128(_mm_cmpgt_epi16(lo, two),
                                         _mm_or_si128(_mm_slli_epi16(lo, 4), _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7)));
    const __m128i key_hi = _mm_and_si128(
        _mm_cmpgt_epi16(hi, two), _mm_or_si128(_mm_slli_epi16(hi, 4), _mm_setr_epi16(8, 9, 10, 11, 12, 13, 14, 15)));
    __m128i m = _mm_max_epi16(key_lo, key_hi);
    m = _mm_max_epi16(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
    m = _mm_max_epi16(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
    m = _mm_max_epi16(m, _mm_srli_epi32(m, 16));
    return static_cast<unsigned>(_mm_cvtsi128_si32(m)) & 0xFFFF;
#else
    unsigned key = 0;
    for (unsigned j = 0; j < n; ++j) {
        const unsigned k = static_cast<unsigned>(length[j]) << 4 | j;
        key = length[j] >= 3 && k > key ? k : key;
    }
    return key;
#endif
}

// Bit-reversed fixed-Huffman codes, as stb's bitrev + huff macros give them.
struct code {
    uint32_t bits;
    uint32_t len;
};

uint32_t bit_reverse(uint32_t v, int n) {
    uint32_t r = 0;
    while (n--) {
        r = (r << 1) | (v & 1);
        v >>= 1;
    }
    return r;
}

inline uint32_t bit_reverse5(uint32_t v) {
    static const unsigned char kRev5[32] = {0, 16, 8, 24, 4, 20, 12, 28, 2, 18, 10, 26, 6, 22, 14, 30,
                                            1, 17, 9, 25, 5, 21, 13, 29, 3, 19, 11, 27, 7, 23, 15, 31};
    return kRev5[v];
}

code fixed_code(int sym) {
    if (sym <= 143) return {bit_reverse(0x30 + sym, 8), 8};
    if (sym <= 255) return {bit_reverse(0x190 + sym - 144, 9), 9};
    if (sym <= 279) return {bit_reverse(sym - 256, 7), 7};
    return {bit_reverse(0xc0 + sym - 280, 8), 8};
}

const unsigned short kLengthBase[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23,  27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 259};
const unsigned char kLengthExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

struct code_tables {
    code literal[256];
    code length[kMaxMatch + 1];  // symbol and extra bits together, by match length
    code end_of_block;
};

code_tables make_code_tables() {
    code_tables t{};
    for (int c = 0; c < 256; ++c) t.literal[c] = fixed_code(c);
    for (unsigned n = 3; n <= kMaxMatch; ++n) {
        int j = 0;
        while (n > static_cast<unsigned>(kLengthBase[j + 1] - 1)) ++j;
        const code sym = fixed_code(j + 257);
        t.length[n] = {sym.bits | ((n - kLengthBase[j]) << sym.len), sym.len + kLengthExtra[j]};
    }
    t.end_of_block = fixed_code(256);
    return t;
}

const code_tables &codes() {
    static const code_tables t = make_code_tables();
    return t;
}

// The distance symbol (bit-reversed, 5 bits) and its extra bits, for
// distances 1..32768.
inline code distance_code(uint32_t d) {
    const uint32_t x = d - 1;
    if (x < 4) return {bit_reverse5(x), 5};
    const int nb = 31 - __builtin_clz(x);  // x >= 4, so nb >= 2
    const uint32_t sym = 2 * static_cast<uint32_t>(nb) + ((x >> (nb - 1)) & 1);
    const uint32_t extra_bits = static_cast<uint32_t>(nb - 1);
    const uint32_t extra = x & ((1u << extra_bits) - 1);
    return {bit_reverse5(sym) | (extra << 5), 5 + extra_bits};
}

}  // namespace

namespace {

// Writes the deflate bits into a byte_buffer_out through a 64-bit bit
// buffer, four bytes at a time. The caller keeps at least kStepRoom bytes of
// room ahead of each put (room()).
struct bit_writer {
    static constexpr size_t kStepRoom = 16;
    byte_buffer_out *out;
    unsigned char *p = nullptr, *end = nullptr;
    uint64_t bits = 0;
    unsigned count = 0;

    explicit bit_writer(byte_buffer_out *o) : out(o) { sync_in(); }
    void sync_in() {
        p = out->data() + out->size();
        end = out->data() + out->capacity();
    }
    void sync_out() { out->set_size(static_cast<size_t>(p - out->data())); }
    // Room for one more step; false when memory runs out.
    bool room(size_t growth) {
        if (static_cast<size_t>(end - p) >= kStepRoom) return true;
        sync_out();
        if (!out->reserve_more(growth < kStepRoom ? kStepRoom : growth)) return false;
        sync_in();
        return true;
    }
    // At most 32 bits at a time.
    void put(uint32_t v, unsigned n) {
        bits |= static_cast<uint64_t>(v) << count;
        count += n;
        if (count >= 32) {
            store32_le(p, static_cast<uint32_t>(bits));
            p += 4;
            bits >>= 32;
            count -= 32;
        }
    }
    // Pads with zero bits to a byte boundary and writes what is left.
    void finish() {
        while (count) {
            *p++ = static_cast<unsigned char>(bits);
            bits >>= 8;
            count = count > 8 ? count - 8 : 0;
        }
    }
};

// The input as the compressor sees it: the last 32 KB behind the current
// position and at least kAhead bytes ahead of it (or up to the end), read
// from the source in large pieces.
class input_window {
public:
    static constexpr size_t kAhead = 264;  // a lazy match's 258 bytes from the next position, and a word
    static constexpr size_t kSize = 3 * 32768;

    input_window(deflate_source *src, size_t len, unsigned char *buffer) : src_(src), len_(len), buf_(buffer) {}

    // Makes bytes [i, min(len, i + kAhead)) available; everything from
    // 32768 bytes behind i stays. False when the source ends early.
    bool fill(size_t i) {
        const size_t want = len_ - i < kAhead ? len_ : i + kAhead;
        if (end_ >= want) return true;
        if (kSize - (end_ - base_) < kAhead) {
            const size_t keep = i > 32768 ? i - 32768 : 0;
            std::memmove(buf_, buf_ + (keep - base_), end_ - keep);
            base_ = keep;
        }
        while (end_ < len_ && end_ - base_ < kSize) {
            const size_t room = kSize - (end_ - base_), left = len_ - end_;
            unsigned char *dst = buf_ + (end_ - base_);
            const size_t got = src_->read(dst, room < left ? room : left);
            if (got == 0) return false;
            adler_ = adler32_update(adler_, dst, got);
            end_ += got;
        }
        return end_ >= want;
    }
    // The byte at position i, which fill(i) made available.
    const unsigned char *at(size_t i) const { return buf_ + (i - base_); }
    // The Adler-32 of everything read, once all of it has been.
    uint32_t adler() const { return adler_; }

private:
    deflate_source *src_;
    size_t len_;
    unsigned char *buf_;
    size_t base_ = 0, end_ = 0;  // positions of buf_[0] and of the byte after the last held
    uint32_t adler_ = 1;
};

// Reads a block of memory.
class memory_source : public deflate_source {
public:
    memory_source(const unsigned char *data, size_t len) : data_(data), len_(len) {}
    size_t read(unsigned char *dst, size_t max) override {
        const size_t n = len_ - done_ < max ? len_ - done_ : max;
        if (n) std::memcpy(dst, data_ + done_, n);
        done_ += n;
        return n;
    }
    void rewind() override { done_ = 0; }

private:
    const unsigned char *data_;
    size_t len_, done_ = 0;
};

}  // namespace

bool stb_zlib_compress(const unsigned char *data, size_t len, byte_buffer_out *out) {
    memory_source src(data, len);
    return stb_zlib_compress(&src, len, out);
}

bool stb_zlib_compress(deflate_source *src, size_t len, byte_buffer_out *out) {
    if (len > static_cast<size_t>(INT_MAX)) return false;
    const size_t start = out->size();
    // stb stores the data uncompressed when its stream (header included)
    // would be longer than this.
    const size_t stored_limit = len + 2 + ((len + 32766) / 32767) * 5;
    bool stored = false;
    uint32_t adler = 1;

    if (!out->reserve_more(2 + len / 4 + 64)) return false;
    out->data()[out->size()] = 0x78;  // deflate, 32K window
    out->data()[out->size() + 1] = 0x5e;  // FLEVEL 1
    out->set_size(out->size() + 2);

    {
        // The candidate lists, 64-byte aligned, and the input window.
        malloc_ptr<void> memory(std::malloc(sizeof(hash_chains) + 64 + input_window::kSize));
        if (!memory) return false;
        hash_chains *const chains = reinterpret_cast<hash_chains *>(
            (reinterpret_cast<uintptr_t>(memory.get()) + 63) & ~static_cast<uintptr_t>(63));
        std::memset(chains->count, 0, sizeof chains->count);
        input_window win(src, len, reinterpret_cast<unsigned char *>(chains + 1));
        const code_tables &ct = codes();
        bit_writer bw(out);
        bw.put(1, 1);  // BFINAL
        bw.put(1, 2);  // fixed Huffman
        const size_t growth = len / 8 + 4096;
        size_t i = 0;
        while (i + 3 < len) {
            if (!bw.room(growth) || !win.fill(i)) return false;
            if (static_cast<size_t>(bw.p - (out->data() + start)) > stored_limit) {
                stored = true;  // the final stream can only be longer
                break;
            }
            const unsigned char *cur = win.at(i);
            const uint32_t h = zhash(cur);
            uint32_t *list = chains->pos[h];
            unsigned n = chains->count[h];
            // The lazy step's bucket, which is also the next step's after a
            // literal: fetched while this one is searched.
            const uint32_t h_next = zhash(cur + 1);
            prefetch(chains->pos[h_next]);
            const unsigned limit = len - i < kMaxMatch ? static_cast<unsigned>(len - i) : kMaxMatch;
            unsigned best = 3;  // limit >= 4 > best, and best never passes limit
            size_t best_pos = 0;
            bool found = false;
            // The newest of equally long matches wins, as in stb's search.
            if (limit >= 16) {
                const unsigned key = best_candidate(cur, i, list, n, limit);
                if (key) {
                    best = key >> 4;
                    best_pos = list[key & 15];
                    found = true;
                }
            } else {
                for (unsigned j = 0; j < n; ++j) {
                    const size_t back = i - list[j];
                    if (back >= 32768) continue;
                    const unsigned d = common_prefix(cur - back, cur, limit);
                    if (d >= best) {
                        best = d;
                        best_pos = list[j];
                        found = true;
                    }
                }
            }
            if (found && i + best + 3 < len) prefetch(chains->pos[zhash(cur + best)]);
            if (n == kBucketMax) {
                std::memmove(list, list + kQuality, sizeof(list[0]) * kQuality);
                n = kQuality;
            }
            list[n++] = static_cast<uint32_t>(i);
            chains->count[h] = static_cast<uint8_t>(n);

            // stb's lazy step: a longer match at the next byte makes this
            // byte a literal. Nothing is longer than the longest match.
            if (found && best < kMaxMatch) {
                const unsigned char *next = cur + 1;
                const uint32_t *list2 = chains->pos[h_next];
                const unsigned n2 = chains->count[h_next];
                const unsigned limit2 = len - i - 1 < kMaxMatch ? static_cast<unsigned>(len - i - 1) : kMaxMatch;
                if (limit2 > best && best < 8 && limit2 >= 8) {
                    // A longer match shares the first best + 1 bytes: one
                    // masked word compare per candidate.
                    const uint64_t mask = prefix_mask(best + 1), want = load64(next) & mask;
                    for (unsigned j = 0; j < n2; ++j) {
                        const size_t back = i - list2[j];
                        if (back < 32767 && (load64(cur - back) & mask) == want) {
                            found = false;
                            break;
                        }
                    }
                } else if (limit2 > best) {
                    for (unsigned j = 0; j < n2; ++j) {
                        const size_t back = i - list2[j];
                        if (back >= 32767) continue;
                        if (common_prefix(cur - back, next, limit2) > best) {
                            found = false;
                            break;
                        }
                    }
                }
            }

            if (found) {
                const code lc = ct.length[best];
                const code dc = distance_code(static_cast<uint32_t>(i - best_pos));
                bw.put(lc.bits | (dc.bits << lc.len), lc.len + dc.len);
                i += best;
            } else {
                const code c = ct.literal[*cur];
                bw.put(c.bits, c.len);
                ++i;
            }
        }
        if (!stored) {
            if (i < len && !win.fill(i)) return false;
            for (; i < len; ++i) {
                if (!bw.room(growth)) return false;
                const code c = ct.literal[*win.at(i)];
                bw.put(c.bits, c.len);
            }
            if (!bw.room(growth)) return false;
            bw.put(ct.end_of_block.bits, ct.end_of_block.len);
            bw.finish();
            bw.sync_out();
            if (out->size() - start > stored_limit) stored = true;
            adler = win.adler();
        }
    }

    if (stored) {
        // Header kept; blocks of at most 32767 bytes, the last one final,
        // read afresh from the source.
        out->set_size(start + 2);
        if (!out->reserve_more(stored_limit - 2 + 4)) return false;
        src->rewind();
        adler = 1;
        unsigned char *o = out->data() + out->size();
        for (size_t j = 0; j < len;) {
            const size_t block = len - j > 32767 ? 32767 : len - j;
            *o++ = static_cast<unsigned char>(len - j == block);
            *o++ = static_cast<unsigned char>(block);
            *o++ = static_cast<unsigned char>(block >> 8);
            *o++ = static_cast<unsigned char>(~block);
            *o++ = static_cast<unsigned char>(~block >> 8);
            for (size_t done = 0; done < block;) {
                const size_t got = src->read(o + done, block - done);
                if (got == 0) return false;
                done += got;
            }
            adler = adler32_update(adler, o, block);
            o += block;
            j += block;
        }
        out->set_size(static_cast<size_t>(o - out->data()));
    }

    const unsigned char tail[4] = {static_cast<unsigned char>(adler >> 24), static_cast<unsigned char>(adler >> 16),
                                   static_cast<unsigned char>(adler >> 8), static_cast<unsigned char>(adler)};
    return out->append(tail, 4);
}
