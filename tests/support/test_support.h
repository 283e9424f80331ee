// Helpers shared by the test programs: scratch directories, file bytes, and
// small images made, written and decoded in memory.
#ifndef VELMORA_TEST_SUPPORT_H
#define VELMORA_TEST_SUPPORT_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// A fresh directory removed with everything in it at scope exit.
struct scratch_dir {
    fs::path path;
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;
    std::string file(const std::string &name) const { return (path / name).string(); }
};

using bytes = std::vector<unsigned char>;

bytes read_bytes(const std::string &path);
void write_bytes(const std::string &path, const bytes &data);
void write_text(const std::string &path, const std::string &text);

// An RGBA picture owned by the test.
struct picture {
    int w = 0, h = 0;
    bytes px;  // w * h * 4

    picture() = default;
    picture(int width, int height, uint32_t rgba = 0);  // rgba as 0xRRGGBBAA
    unsigned char *at(int x, int y) { return &px[(static_cast<size_t>(y) * w + x) * 4]; }
    const unsigned char *at(int x, int y) const { return &px[(static_cast<size_t>(y) * w + x) * 4]; }
    void set(int x, int y, uint32_t rgba);
    uint32_t get(int x, int y) const;
    void fill_rect(int x, int y, int rw, int rh, uint32_t rgba);
    bool operator==(const picture &o) const { return w == o.w && h == o.h && px == o.px; }
    bool operator!=(const picture &o) const { return !(*this == o); }
};

// A picture whose every pixel differs from its neighbours, so that misplaced
// or mirrored copies are noticed.
picture patterned(int w, int h, unsigned char alpha = 255);

// Encoded files, written with the test's own encoder calls.
void save_png(const std::string &path, const picture &p);
void save_bmp(const std::string &path, const picture &p);
void save_jpg(const std::string &path, const picture &p, int quality = 95);
// A one-frame 2 x 2 GIF (red, green / blue, white) as raw bytes.
bytes gif_2x2();

// Decodes a file to RGBA; w == 0 when it cannot be decoded.
picture decode(const std::string &path);

// Smallest box holding every pixel where a and b differ: {x0, y0, x1, y1}
// with x1, y1 exclusive; all -1 when the pictures are equal.
struct box {
    int x0, y0, x1, y1;
    bool operator==(const box &o) const { return x0 == o.x0 && y0 == o.y0 && x1 == o.x1 && y1 == o.y1; }
};
box diff_box(const picture &a, const picture &b);
// Smallest box holding every pixel with alpha > 0.
box alpha_box(const picture &p);

std::string format_of_bytes(const bytes &b);

// The parts one after another.
bytes concat(const std::vector<bytes> &parts);

// Integers stored into b at byte offset `at` (which must exist), big- or
// little-endian.
void put_be16(bytes &b, size_t at, uint32_t v);
void put_be32(bytes &b, size_t at, uint32_t v);
void put_le16(bytes &b, size_t at, uint32_t v);
void put_le32(bytes &b, size_t at, uint32_t v);

// The CRC-32 of PNG chunks and zlib, bit by bit: a reference independent of
// the library's table-driven one.
uint32_t crc32_of(const unsigned char *p, size_t n);  // "png", "jpg", "bmp", "gif" or "?"

#endif
