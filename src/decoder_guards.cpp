#include "decoder_guards.h"

#include <algorithm>
#include <climits>

// Walks the marker segments the way the reader does, so that it sees the same
// tables the reader would build.
bool jpeg_has_oversized_huffman_table(const unsigned char *b, int size) {
    int i = 0;
    while (i < size && b[i] == 0xFF) ++i;  // the reader skips fill bytes before SOI
    if (i == 0 || i >= size || b[i] != 0xD8) return false;
    ++i;
    auto at = [&](long long k) -> unsigned { return k < size ? b[k] : 0u; };  // zeros past the end, as the reader
    while (i + 1 < size) {
        if (b[i] != 0xFF) {  // entropy-coded data or junk between segments
            ++i;
            continue;
        }
        const unsigned m = b[i + 1];
        if (m == 0xFF) {
            ++i;
            continue;
        }
        if (m == 0x00 || m == 0x01 || (m >= 0xD0 && m <= 0xD8)) {  // stuffing and markers without a length
            i += 2;
            continue;
        }
        if (m == 0xD9) return false;  // end of image
        const long long length = (at(i + 2LL) << 8) | at(i + 3LL);
        if (m == 0xC4) {
            long long left = length - 2, k = i + 4LL;
            while (left > 0) {
                long long codes = 0;
                for (int n = 0; n < 16; ++n) codes += at(k + 1 + n);
                if (codes > 256) return true;
                k += 17 + codes;
                left -= 17 + codes;
            }
        }
        if (length < 2) return false;  // the reader stops here too
        i += static_cast<int>(std::min<long long>(2 + length, size - i));
    }
    return false;
}

// The reader runs 16-bit samples through its 8-bit channel converter and then
// reads past the converted block, and overflows int on long numbers. Reads
// the header exactly the way the reader does.
bool pnm_header_is_unsafe(const unsigned char *b, int size) {
    if (size < 2 || b[0] != 'P' || (b[1] != '5' && b[1] != '6')) return false;
    int pos = 2;
    auto at_eof = [&] { return pos >= size; };
    auto get8 = [&]() -> char { return pos < size ? static_cast<char>(b[pos++]) : '\0'; };
    auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
    auto skip_whitespace = [&](char *c) {
        for (;;) {
            while (!at_eof() && is_space(*c)) *c = get8();
            if (at_eof() || *c != '#') break;
            while (!at_eof() && *c != '\n' && *c != '\r') *c = get8();
        }
    };
    bool overflow = false;
    auto get_integer = [&](char *c) {
        long long value = 0;
        while (!at_eof() && *c >= '0' && *c <= '9') {
            value = value * 10 + (*c - '0');
            if (value > INT_MAX) {
                overflow = true;
                value = INT_MAX;
            }
            *c = get8();
        }
        return value;
    };
    char c = get8();
    skip_whitespace(&c);
    get_integer(&c);  // width
    skip_whitespace(&c);
    get_integer(&c);  // height
    skip_whitespace(&c);
    const long long max_value = get_integer(&c);
    return overflow || max_value > 255;
}
