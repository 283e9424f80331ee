// The compressor: stb_image_write's level-8 deflate decisions, position by
// position, written through table-driven fixed-Huffman codes.
#include "png_deflate.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "malloc_ptr.h"
#include "png_deflate_kernels.h"

namespace {

constexpr int kHashBuckets = 16384;  // stb's ZHASH
constexpr unsigned kQuality = 8;     // stb's default level
constexpr unsigned kBucketMax = 2 * kQuality;
static_assert(kBucketMax == kDeflateBucketMax, "the match kernels take stb's full buckets");
constexpr unsigned kMaxMatch = 258;
// stb's lazy step looks one byte less far back than its search.
constexpr size_t kLazyWindow = kDeflateWindow - 1;

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

inline void prefetch(const void *p) {
#if defined(__GNUC__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

inline void store32_le(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

// Candidate positions per bucket, oldest first: stb's stretchy lists with
// their capacity fixed at the most they ever hold.
struct alignas(64) hash_chains {
    uint32_t pos[kHashBuckets][kBucketMax];
    uint8_t count[kHashBuckets];

    // Adds position i to bucket h, first dropping the older half of a full
    // bucket as stb does.
    void add(uint32_t h, size_t i) {
        uint32_t *list = pos[h];
        unsigned n = count[h];
        if (n == kBucketMax) {
            std::memmove(list, list + kQuality, sizeof(list[0]) * kQuality);
            n = kQuality;
        }
        list[n++] = static_cast<uint32_t>(i);
        count[h] = static_cast<uint8_t>(n);
    }
};

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

// A match to emit, or none.
struct match {
    unsigned length;  // 3..258 when found
    uint32_t pos;     // where it starts
    bool found;
};

// The search within the last 15 bytes, where the kernels' 16-byte compares
// would run past the end: stb's loop as it is, `>=` keeping the newest of
// equally long matches.
match best_match_near_end(const unsigned char *cur, size_t i, const uint32_t *list, unsigned n, unsigned limit) {
    match m{3, 0, false};  // limit >= 4 > 3, and the length never passes limit
    for (unsigned j = 0; j < n; ++j) {
        const size_t back = i - list[j];
        if (back >= kDeflateWindow) continue;
        const unsigned d = common_prefix(cur - back, cur, limit);
        if (d >= m.length) m = {d, list[j], true};
    }
    return m;
}

enum class pass_result {
    compressed,  // the stream is complete but for the Adler-32
    too_long,    // stb would store the data instead
    failed,      // out of memory, or the source ended early
};

// The one fixed-Huffman block stb writes, decision by decision as stb's loop
// makes them. `chains` has its counts zeroed; `window` holds
// input_window::kSize bytes.
class fixed_huffman_pass {
public:
    fixed_huffman_pass(deflate_source *src, size_t len, size_t start, size_t stored_limit, deflate_match_fn *search,
                       hash_chains *chains, unsigned char *window, byte_buffer_out *out)
        : len_(len), start_(start), stored_limit_(stored_limit), growth_(len / 8 + 4096), search_(search),
          chains_(chains), codes_(codes()), win_(src, len, window), bw_(out), out_(out) {}

    // Writes the block after the zlib header; on `compressed`, *adler is the
    // data's Adler-32.
    pass_result run(uint32_t *adler) {
        bw_.put(1, 1);  // BFINAL
        bw_.put(1, 2);  // fixed Huffman
        size_t i = 0;
        while (i + 3 < len_) {
            if (!bw_.room(growth_) || !win_.fill(i)) return pass_result::failed;
            // The final stream can only be longer.
            if (static_cast<size_t>(bw_.p - (out_->data() + start_)) > stored_limit_) return pass_result::too_long;
            i = step(i);
        }
        return finish(i, adler);
    }

private:
    // One decision at position i (at least 4 bytes before the end): a match
    // or a literal. Returns the position after it.
    size_t step(size_t i) {
        const unsigned char *cur = win_.at(i);
        const uint32_t h = zhash(cur);
        // The lazy step's bucket, which is also the next step's after a
        // literal: fetched while this one is searched.
        const uint32_t h_next = zhash(cur + 1);
        prefetch(chains_->pos[h_next]);
        match m = best_match(cur, i, h);
        if (m.found && i + m.length + 3 < len_) prefetch(chains_->pos[zhash(cur + m.length)]);
        chains_->add(h, i);
        // Nothing is longer than the longest match.
        if (m.found && m.length < kMaxMatch && longer_match_next(cur, i, h_next, m.length)) m.found = false;
        if (!m.found) {
            put_literal(*cur);
            return i + 1;
        }
        put_match(i, m);
        return i + m.length;
    }

    // The best earlier position in bucket h for the bytes at cur.
    match best_match(const unsigned char *cur, size_t i, uint32_t h) const {
        const uint32_t *list = chains_->pos[h];
        const unsigned n = chains_->count[h];
        const unsigned limit = len_ - i < kMaxMatch ? static_cast<unsigned>(len_ - i) : kMaxMatch;
        if (limit < 16) return best_match_near_end(cur, i, list, n, limit);
        const unsigned key = search_(cur, i, list, n, limit);
        if (!key) return {3, 0, false};
        return {key >> 4, list[key & 15], true};
    }

    // stb's lazy step: whether a candidate in bucket h_next matches more than
    // `best` bytes at the next position, which makes this byte a literal.
    bool longer_match_next(const unsigned char *cur, size_t i, uint32_t h_next, unsigned best) const {
        const unsigned char *next = cur + 1;
        const uint32_t *list = chains_->pos[h_next];
        const unsigned n = chains_->count[h_next];
        const unsigned limit = len_ - i - 1 < kMaxMatch ? static_cast<unsigned>(len_ - i - 1) : kMaxMatch;
        if (limit <= best) return false;
        if (best < 8 && limit >= 8) {
            // A longer match shares the first best + 1 bytes: one masked
            // word compare per candidate.
            const uint64_t mask = prefix_mask(best + 1), want = load64(next) & mask;
            for (unsigned j = 0; j < n; ++j) {
                const size_t back = i - list[j];
                if (back < kLazyWindow && (load64(cur - back) & mask) == want) return true;
            }
            return false;
        }
        for (unsigned j = 0; j < n; ++j) {
            const size_t back = i - list[j];
            if (back < kLazyWindow && common_prefix(cur - back, next, limit) > best) return true;
        }
        return false;
    }

    void put_literal(unsigned char c) {
        const code k = codes_.literal[c];
        bw_.put(k.bits, k.len);
    }

    // The match m found at position i: its length and distance codes in one
    // put.
    void put_match(size_t i, match m) {
        const code lc = codes_.length[m.length];
        const code dc = distance_code(static_cast<uint32_t>(i - m.pos));
        bw_.put(lc.bits | (dc.bits << lc.len), lc.len + dc.len);
    }

    // The last bytes from position i as literals and the end of the block.
    pass_result finish(size_t i, uint32_t *adler) {
        if (i < len_ && !win_.fill(i)) return pass_result::failed;
        for (; i < len_; ++i) {
            if (!bw_.room(growth_)) return pass_result::failed;
            put_literal(*win_.at(i));
        }
        if (!bw_.room(growth_)) return pass_result::failed;
        bw_.put(codes_.end_of_block.bits, codes_.end_of_block.len);
        bw_.finish();
        bw_.sync_out();
        if (out_->size() - start_ > stored_limit_) return pass_result::too_long;
        *adler = win_.adler();
        return pass_result::compressed;
    }

    const size_t len_, start_, stored_limit_, growth_;
    deflate_match_fn *const search_;
    hash_chains *const chains_;
    const code_tables &codes_;
    input_window win_;
    bit_writer bw_;
    byte_buffer_out *const out_;
};

// The fixed-Huffman pass with its candidate lists (64-byte aligned) and
// input window, which it frees when it ends.
pass_result compress_fixed_huffman(deflate_source *src, size_t len, size_t start, size_t stored_limit,
                                   deflate_match_fn *search, byte_buffer_out *out, uint32_t *adler) {
    malloc_ptr<void> memory(std::malloc(sizeof(hash_chains) + 64 + input_window::kSize));
    if (!memory) return pass_result::failed;
    hash_chains *const chains = reinterpret_cast<hash_chains *>(
        (reinterpret_cast<uintptr_t>(memory.get()) + 63) & ~static_cast<uintptr_t>(63));
    std::memset(chains->count, 0, sizeof chains->count);
    fixed_huffman_pass pass(src, len, start, stored_limit, search, chains, reinterpret_cast<unsigned char *>(chains + 1),
                            out);
    return pass.run(adler);
}

// The longest stream stb compresses, header included; past it stb stores
// the data.
size_t stored_stream_limit(size_t len) { return len + 2 + ((len + 32766) / 32767) * 5; }

// The two header bytes, with room reserved for a typical stream.
bool put_zlib_header(byte_buffer_out *out, size_t len) {
    if (!out->reserve_more(2 + len / 4 + 64)) return false;
    out->data()[out->size()] = 0x78;      // deflate, 32K window
    out->data()[out->size() + 1] = 0x5e;  // FLEVEL 1
    out->set_size(out->size() + 2);
    return true;
}

// Five bytes: the final flag, the block's length and its complement.
unsigned char *put_stored_block_header(unsigned char *o, size_t block, bool final) {
    *o++ = static_cast<unsigned char>(final);
    *o++ = static_cast<unsigned char>(block);
    *o++ = static_cast<unsigned char>(block >> 8);
    *o++ = static_cast<unsigned char>(~block);
    *o++ = static_cast<unsigned char>(~block >> 8);
    return o;
}

// stb's fallback: the stream from `start` cut back to its header, then the
// data read afresh from the source in blocks of at most 32767 bytes, the
// last one final; *adler is their Adler-32.
bool put_stored_blocks(deflate_source *src, size_t len, size_t start, size_t stored_limit, byte_buffer_out *out,
                       uint32_t *adler) {
    out->set_size(start + 2);
    if (!out->reserve_more(stored_limit - 2 + 4)) return false;
    src->rewind();
    uint32_t sum = 1;
    unsigned char *o = out->data() + out->size();
    for (size_t j = 0; j < len;) {
        const size_t block = len - j > 32767 ? 32767 : len - j;
        o = put_stored_block_header(o, block, len - j == block);
        for (size_t done = 0; done < block;) {
            const size_t got = src->read(o + done, block - done);
            if (got == 0) return false;
            done += got;
        }
        sum = adler32_update(sum, o, block);
        o += block;
        j += block;
    }
    out->set_size(static_cast<size_t>(o - out->data()));
    *adler = sum;
    return true;
}

// The Adler-32 that ends the stream, most significant byte first.
bool put_adler(byte_buffer_out *out, uint32_t adler) {
    const unsigned char tail[4] = {static_cast<unsigned char>(adler >> 24), static_cast<unsigned char>(adler >> 16),
                                   static_cast<unsigned char>(adler >> 8), static_cast<unsigned char>(adler)};
    return out->append(tail, 4);
}

}  // namespace

bool stb_zlib_compress(const unsigned char *data, size_t len, byte_buffer_out *out, simd_path path) {
    memory_source src(data, len);
    return stb_zlib_compress(&src, len, out, path);
}

bool stb_zlib_compress(deflate_source *src, size_t len, byte_buffer_out *out, simd_path path) {
    if (len > static_cast<size_t>(INT_MAX)) return false;
    const size_t start = out->size();
    const size_t stored_limit = stored_stream_limit(len);
    if (!put_zlib_header(out, len)) return false;
    uint32_t adler = 1;
    switch (compress_fixed_huffman(src, len, start, stored_limit, deflate_match_for(path), out, &adler)) {
    case pass_result::failed:
        return false;
    case pass_result::too_long:
        if (!put_stored_blocks(src, len, start, stored_limit, out, &adler)) return false;
        break;
    case pass_result::compressed:
        break;
    }
    return put_adler(out, adler);
}
