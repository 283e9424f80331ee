// Marking every image of a directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "imgwatermark.h"
#include "test_support.h"

namespace {

std::vector<std::string> names_in(const fs::path &dir) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The bytes imgwatermark_text writes for one file with the batch's fixed
// white colour and no turn.
bytes marked_once(const std::string &in, const std::string &out, const char *text, int size, float opacity,
                  int position) {
    EXPECT_EQ(imgwatermark_text(in.c_str(), out.c_str(), text, size, opacity, 0.0f, position, 255, 255, 255), 1);
    return read_bytes(out);
}

}  // namespace

class Batch : public ::testing::Test {
protected:
    scratch_dir dir;
    fs::path in = dir.path / "in", out = dir.path / "out";
    void SetUp() override { fs::create_directory(in); }
    int run(const char *text = "PROOF", int size = 20, float opacity = 0.7f, int position = IMGWATERMARK_POS_CENTER) {
        return imgwatermark_batch(in.string().c_str(), out.string().c_str(), text, size, opacity, position);
    }
};

TEST_F(Batch, FiltersByExtensionAndSkipsDirectories) {
    save_jpg((in / "a.JPG").string(), patterned(60, 40));
    save_png((in / "b.png").string(), patterned(50, 50));
    save_bmp((in / "d.Bmp").string(), patterned(30, 30));
    save_png((in / "x.jpeg").string(), patterned(30, 30));
    save_png((in / "photo.jpeg.bak").string(), patterned(30, 30));
    write_text((in / "notes.txt").string(), "hello");
    fs::create_directory(in / "c.png");

    EXPECT_EQ(run(), 4);
    EXPECT_STREQ(imgwatermark_last_error(), "");
    EXPECT_EQ(names_in(out), (std::vector<std::string>{"a.JPG", "b.png", "d.Bmp", "x.jpeg"}));
    EXPECT_TRUE(fs::is_empty(in / "c.png"));
    // Each output keeps its name's format and is the single-file result.
    const struct {
        const char *name, *kind;
    } rows[] = {{"a.JPG", "jpg"}, {"b.png", "png"}, {"d.Bmp", "bmp"}, {"x.jpeg", "jpg"}};
    for (const auto &r : rows) {
        const bytes written = read_bytes((out / r.name).string());
        EXPECT_EQ(format_of_bytes(written), r.kind) << r.name;
        EXPECT_EQ(written, marked_once((in / r.name).string(), dir.file(std::string("single-") + r.name), "PROOF", 20,
                                       0.7f, IMGWATERMARK_POS_CENTER))
            << r.name;
    }
}

TEST_F(Batch, CorruptFileAmongGoodOnesIsCountedOut) {
    save_png((in / "one.png").string(), patterned(40, 40));
    save_png((in / "two.png").string(), patterned(40, 40));
    write_text((in / "bad.png").string(), "not a png");
    EXPECT_EQ(run(), 2);
    EXPECT_STREQ(imgwatermark_last_error(), "");
    EXPECT_EQ(names_in(out), (std::vector<std::string>{"one.png", "two.png"}));
}

TEST_F(Batch, EveryFileFailingKeepsTheLastMessage) {
    save_png((in / "a.png").string(), patterned(20, 20));
    save_png((in / "b.png").string(), patterned(20, 20));
    EXPECT_EQ(run(""), 0);
    EXPECT_STREQ(imgwatermark_last_error(), "empty text string");
    EXPECT_TRUE(names_in(out).empty());

    write_text((in / "z.png").string(), "junk");  // listed last
    EXPECT_EQ(run(""), 0);
    EXPECT_EQ(std::string(imgwatermark_last_error()),
              "cannot decode image " + (in / "z.png").string() + " (unknown image type)");
}

TEST_F(Batch, DirectoryLevelFailures) {
    write_text((in / "readme.txt").string(), "no images here");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(std::string(imgwatermark_last_error()), "batch: no supported images found in " + in.string());
    EXPECT_EQ(run(""), 0);  // empty text with no images: the directory message wins
    EXPECT_EQ(std::string(imgwatermark_last_error()), "batch: no supported images found in " + in.string());

    const std::string missing = dir.file("missing");
    EXPECT_EQ(imgwatermark_batch(missing.c_str(), out.string().c_str(), "x", 0, 1, 0), 0);
    EXPECT_EQ(std::string(imgwatermark_last_error()), "batch: cannot open input directory: " + missing);
}

TEST_F(Batch, CreatesTheOutputDirectoryOneLevelDeep) {
    save_png((in / "a.png").string(), patterned(20, 20));
    EXPECT_EQ(run(), 1);
    EXPECT_TRUE(fs::is_directory(out));

    const fs::path deep = dir.path / "no" / "such";
    EXPECT_EQ(imgwatermark_batch(in.string().c_str(), deep.string().c_str(), "x", 0, 1, 0), 0);
    EXPECT_EQ(std::string(imgwatermark_last_error()), "failed to write image to " + (deep / "a.png").string());
}

TEST_F(Batch, SameDirectoryMarksEachFileExactlyOnce) {
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i) {
        names.push_back("img" + std::to_string(i) + (i % 2 ? ".png" : ".bmp"));
        save_png((in / names.back()).string(), patterned(40 + i, 30));
    }
    std::sort(names.begin(), names.end());
    fs::create_directory(dir.path / "orig");
    std::vector<bytes> expected;
    for (const auto &n : names) {
        fs::copy_file(in / n, dir.path / "orig" / n);
        expected.push_back(marked_once((dir.path / "orig" / n).string(), dir.file("once-" + n), "X", 16, 1, IMGWATERMARK_POS_TILE));
    }
    EXPECT_EQ(imgwatermark_batch(in.string().c_str(), in.string().c_str(), "X", 16, 1, IMGWATERMARK_POS_TILE), 12);
    EXPECT_EQ(names_in(in), names);  // no temporaries, nothing new picked up
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(read_bytes((in / names[i]).string()), expected[i]) << names[i];
}

TEST_F(Batch, LongPathsAreNeverCut) {
#if defined(_WIN32)
    GTEST_SKIP() << "the narrow Windows file functions stop at 260 characters";
#endif
    fs::path deep = in;
    for (int i = 0; i < 6; ++i) deep /= std::string(200, static_cast<char>('a' + i));
    fs::create_directories(deep);
    save_png((deep / "p.png").string(), patterned(20, 20));
    const fs::path target = dir.path / "o";
    ASSERT_GT((deep / "p.png").string().size(), 1024u);
    EXPECT_EQ(imgwatermark_batch(deep.string().c_str(), target.string().c_str(), "L", 0, 1, 0), 1);
    EXPECT_EQ(names_in(target), std::vector<std::string>{"p.png"});
}
