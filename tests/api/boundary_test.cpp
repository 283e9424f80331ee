// The exported boundary: the error buffer's life cycle and the embedded font.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "font_face.h"
#include "imgwatermark.h"
#include "test_support.h"

// Some cases need the process as the library finds it at load; CTest runs
// every case in a process of its own.
#define REQUIRE_FRESH_PROCESS()                                                   \
    do {                                                                          \
        if (font_ready() || imgwatermark_last_error()[0] != '\0')                \
            GTEST_SKIP() << "needs a fresh process (run it through ctest)";       \
    } while (0)

TEST(ErrorBuffer, EmptyWhenLibraryIsLoaded) {
    EXPECT_STREQ(imgwatermark_last_error(), "");
}

TEST(ErrorBuffer, MessageStaysUntilCleanup) {
    EXPECT_EQ(imgwatermark_text(nullptr, "o.png", "x", 0, 1, 0, 0, 0, 0, 0), 0);
    const char *first = imgwatermark_last_error();
    EXPECT_STREQ(first, "invalid arguments (NULL pointer)");
    EXPECT_EQ(imgwatermark_last_error(), first);  // the buffer itself, not a copy
    EXPECT_STREQ(imgwatermark_last_error(), "invalid arguments (NULL pointer)");
    imgwatermark_cleanup();
    EXPECT_STREQ(first, "");
    imgwatermark_cleanup();
    EXPECT_STREQ(imgwatermark_last_error(), "");
}

TEST(ErrorBuffer, LongMessageIsCutAt511Characters) {
    const std::string path = "/no/such/dir/" + std::string(600, 'p') + ".png";
    EXPECT_EQ(imgwatermark_image(path.c_str(), "o.png", "w.png", 1, 0, 1), 0);
    const std::string message = imgwatermark_last_error();
    ASSERT_EQ(message.size(), 511u);
    EXPECT_EQ(message, ("cannot read file: " + path).substr(0, 511));
}

TEST(ErrorBuffer, SuccessAfterFailureLeavesItEmpty) {
    scratch_dir dir;
    save_png(dir.file("in.png"), picture(20, 20, 0x336699FF));
    EXPECT_EQ(imgwatermark_image(dir.file("missing.png").c_str(), dir.file("o.png").c_str(),
                                 dir.file("in.png").c_str(), 1, 0, 1),
              0);
    EXPECT_STRNE(imgwatermark_last_error(), "");
    EXPECT_EQ(imgwatermark_text(dir.file("in.png").c_str(), dir.file("o.png").c_str(), "A", 0, 1, 0, 0, 1, 2, 3), 1);
    EXPECT_STREQ(imgwatermark_last_error(), "");
}

TEST(ErrorBuffer, MissingArgumentsAreReported) {
    const char *plain = "invalid arguments (NULL pointer)";
    const char *batch = "batch: invalid arguments (NULL pointer)";
    const struct {
        std::function<int()> call;
        const char *message;
    } rows[] = {
        {[] { return imgwatermark_text(nullptr, "o", "t", 0, 1, 0, 0, 0, 0, 0); }, plain},
        {[] { return imgwatermark_text("i", nullptr, "t", 0, 1, 0, 0, 0, 0, 0); }, plain},
        {[] { return imgwatermark_text("i", "o", nullptr, 0, 1, 0, 0, 0, 0, 0); }, plain},
        {[] { return imgwatermark_image(nullptr, "o", "w", 1, 0, 1); }, plain},
        {[] { return imgwatermark_image("i", nullptr, "w", 1, 0, 1); }, plain},
        {[] { return imgwatermark_image("i", "o", nullptr, 1, 0, 1); }, plain},
        {[] { return imgwatermark_batch(nullptr, "o", "t", 0, 1, 0); }, batch},
        {[] { return imgwatermark_batch("i", nullptr, "t", 0, 1, 0); }, batch},
        {[] { return imgwatermark_batch("i", "o", nullptr, 0, 1, 0); }, batch},
    };
    for (const auto &r : rows) {
        imgwatermark_cleanup();
        EXPECT_EQ(r.call(), 0);
        EXPECT_STREQ(imgwatermark_last_error(), r.message);
    }
}

TEST(Font, InitReturnsOneEveryTimeAndEmptiesTheBuffer) {
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(imgwatermark_image(nullptr, "o", "w", 1, 0, 1), 0);
        EXPECT_EQ(imgwatermark_init(), 1);
        EXPECT_STREQ(imgwatermark_last_error(), "");
        EXPECT_TRUE(font_ready());
    }
}

TEST(Font, EmbeddedBytesAreTheFontFile) {
    const bytes file = read_bytes(IMGWATERMARK_FONT_PATH);
    ASSERT_EQ(s_font_data_size, 58964u);
    ASSERT_EQ(file.size(), s_font_data_size);
    EXPECT_EQ(std::memcmp(file.data(), s_font_data, s_font_data_size), 0);
}

TEST(Font, PreparedFontHasTheMetricsLayoutDependsOn) {
    ASSERT_EQ(imgwatermark_init(), 1);
    int ascent, descent, gap;
    stbtt_GetFontVMetrics(&s_font, &ascent, &descent, &gap);
    EXPECT_EQ(ascent, 950);
    EXPECT_EQ(descent, -222);
    EXPECT_EQ(gap, 0);
    EXPECT_EQ(s_font.numGlyphs, 420);
    int advance, lsb;
    stbtt_GetGlyphHMetrics(&s_font, 0, &advance, &lsb);
    EXPECT_EQ(advance, 220);
    EXPECT_EQ(stbtt_GetCodepointKernAdvance(&s_font, 'A', 'V'), -59);
    EXPECT_EQ(stbtt_GetCodepointKernAdvance(&s_font, 'T', 'o'), -81);
    // Bytes 0x80..0xFF reach the font as negative codes, which map to glyph 0.
    EXPECT_EQ(stbtt_FindGlyphIndex(&s_font, static_cast<signed char>('\xE9')), 0);
}

TEST(Font, CleanupKeepsTheFontReady) {
    REQUIRE_FRESH_PROCESS();
    scratch_dir dir;
    save_png(dir.file("in.png"), picture(30, 30, 0x000000FF));
    ASSERT_EQ(imgwatermark_text(dir.file("in.png").c_str(), dir.file("o.png").c_str(), "x", 0, 1, 0, 0, 255, 255,
                                255),
              1);
    EXPECT_TRUE(font_ready());
    imgwatermark_cleanup();
    EXPECT_TRUE(font_ready());
}

TEST(Font, FirstPreparationFromManyThreadsAtOnce) {
    REQUIRE_FRESH_PROCESS();
    std::vector<int> results(8, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([&results, i] { results[i] = ensure_font_ready(); });
    for (auto &t : threads) t.join();
    for (int r : results) EXPECT_EQ(r, 1);
    EXPECT_TRUE(font_ready());
}
