#include "test_support.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <functional>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "stb_image.h"
#include "stb_image_write.h"

scratch_dir::scratch_dir() {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::to_string(std::hash<std::string>{}(fs::current_path().string()) ^
                                      static_cast<size_t>(std::time(nullptr)));
    for (;;) {
        path = fs::temp_directory_path() /
               ("imgwm-test-" + stamp + "-" + std::to_string(counter.fetch_add(1)) + "-" +
                std::to_string(reinterpret_cast<uintptr_t>(this) & 0xFFFFF));
        if (fs::create_directory(path)) break;
    }
}

scratch_dir::~scratch_dir() {
    std::error_code ec;
    fs::remove_all(path, ec);
}

bytes read_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string &path, const bytes &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

void write_text(const std::string &path, const std::string &text) { write_bytes(path, bytes(text.begin(), text.end())); }

picture::picture(int width, int height, uint32_t rgba) : w(width), h(height), px(static_cast<size_t>(width) * height * 4) {
    fill_rect(0, 0, w, h, rgba);
}

void picture::set(int x, int y, uint32_t rgba) {
    unsigned char *p = at(x, y);
    p[0] = static_cast<unsigned char>(rgba >> 24);
    p[1] = static_cast<unsigned char>(rgba >> 16);
    p[2] = static_cast<unsigned char>(rgba >> 8);
    p[3] = static_cast<unsigned char>(rgba);
}

uint32_t picture::get(int x, int y) const {
    const unsigned char *p = at(x, y);
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void picture::fill_rect(int x, int y, int rw, int rh, uint32_t rgba) {
    for (int j = y; j < y + rh; ++j)
        for (int i = x; i < x + rw; ++i) set(i, j, rgba);
}

picture patterned(int w, int h, unsigned char alpha) {
    picture p(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char *q = p.at(x, y);
            q[0] = static_cast<unsigned char>(x * 7 + y * 3);
            q[1] = static_cast<unsigned char>(x * 3 + y * 11 + 40);
            q[2] = static_cast<unsigned char>(x * 13 + y * 5 + 90);
            q[3] = alpha;
        }
    return p;
}

void save_png(const std::string &path, const picture &p) {
    if (!stbi_write_png(path.c_str(), p.w, p.h, 4, p.px.data(), p.w * 4)) throw std::runtime_error("png " + path);
}

void save_bmp(const std::string &path, const picture &p) {
    if (!stbi_write_bmp(path.c_str(), p.w, p.h, 4, p.px.data())) throw std::runtime_error("bmp " + path);
}

void save_jpg(const std::string &path, const picture &p, int quality) {
    if (!stbi_write_jpg(path.c_str(), p.w, p.h, 4, p.px.data(), quality)) throw std::runtime_error("jpg " + path);
}

bytes gif_2x2() {
    // GIF89a, 2 x 2, global table of 4 colours, one LZW-coded image frame.
    return {'G', 'I', 'F', '8', '9', 'a', 2, 0, 2, 0, 0x81, 0, 0,
            255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255,  // red, green, blue, white
            0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0,                  // image descriptor
            2, 3, 0x44, 0x34, 0x05, 0,                        // LZW min size 2; codes 4,0,1,2,3,5
            0x3B};
}

picture decode(const std::string &path) {
    picture p;
    int w, h, n;
    unsigned char *data = stbi_load(path.c_str(), &w, &h, &n, 4);
    if (!data) return p;
    p.w = w;
    p.h = h;
    p.px.assign(data, data + static_cast<size_t>(w) * h * 4);
    stbi_image_free(data);
    return p;
}

namespace {
box box_of(int w, int h, const std::function<bool(int, int)> &hit) {
    box b{-1, -1, -1, -1};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (!hit(x, y)) continue;
            if (b.x0 < 0) b = {x, y, x + 1, y + 1};
            b.x0 = std::min(b.x0, x);
            b.y0 = std::min(b.y0, y);
            b.x1 = std::max(b.x1, x + 1);
            b.y1 = std::max(b.y1, y + 1);
        }
    return b;
}
}  // namespace

box diff_box(const picture &a, const picture &b) {
    return box_of(a.w, a.h, [&](int x, int y) { return a.get(x, y) != b.get(x, y); });
}

box alpha_box(const picture &p) {
    return box_of(p.w, p.h, [&](int x, int y) { return p.at(x, y)[3] != 0; });
}

std::string format_of_bytes(const bytes &b) {
    if (b.size() >= 8 && b[0] == 0x89 && b[1] == 'P' && b[2] == 'N' && b[3] == 'G') return "png";
    if (b.size() >= 2 && b[0] == 0xFF && b[1] == 0xD8) return "jpg";
    if (b.size() >= 2 && b[0] == 'B' && b[1] == 'M') return "bmp";
    if (b.size() >= 3 && b[0] == 'G' && b[1] == 'I' && b[2] == 'F') return "gif";
    return "?";
}

void put_be16(bytes &b, size_t at, uint32_t v) {
    b.at(at) = static_cast<unsigned char>(v >> 8);
    b.at(at + 1) = static_cast<unsigned char>(v);
}
void put_be32(bytes &b, size_t at, uint32_t v) {
    put_be16(b, at, v >> 16);
    put_be16(b, at + 2, v & 0xFFFF);
}
void put_le16(bytes &b, size_t at, uint32_t v) {
    b.at(at) = static_cast<unsigned char>(v);
    b.at(at + 1) = static_cast<unsigned char>(v >> 8);
}
void put_le32(bytes &b, size_t at, uint32_t v) {
    put_le16(b, at, v & 0xFFFF);
    put_le16(b, at + 2, v >> 16);
}

uint32_t crc32_of(const unsigned char *p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

bytes concat(const std::vector<bytes> &parts) {
    bytes all;
    for (const bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
