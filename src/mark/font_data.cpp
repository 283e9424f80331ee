#include "font_face.h"

#include <mutex>

#include "error_text.h"

// Generated at build time from the font file (see cmake/embed_file.cmake).
const unsigned char s_font_data[] = {
#include "font_bytes.inc"
};
const size_t s_font_data_size = sizeof s_font_data;

stbtt_fontinfo s_font;
std::atomic<int> s_font_ready{0};

int ensure_font_ready() {
    static std::mutex prepare_lock;
    std::lock_guard<std::mutex> guard(prepare_lock);
    if (s_font_ready.load(std::memory_order_relaxed) == 1) return 1;

    int offset = stbtt_GetFontOffsetForIndex(s_font_data, 0);
    if (offset < 0) {
        set_err("invalid embedded font offset");
        return 0;
    }
    if (!stbtt_InitFont(&s_font, s_font_data, offset)) {
        set_err("failed to initialize embedded font");
        return 0;
    }
    s_font_ready.store(1, std::memory_order_release);
    return 1;
}
