// Reading image files, recognising their format, and writing them back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "image_io.h"
#include "stb_image_write.h"
#include "imgwatermark.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Loads through the library; the pixels are copied out and freed.
struct loaded {
    int result = 0;
    int format = -1;
    picture pic;
};

loaded load(const std::string &path) {
    loaded l;
    rgba_image img{-7, -7, nullptr};
    l.result = load_image(path.c_str(), &img, &l.format);
    if (l.result) {
        l.pic.w = img.w;
        l.pic.h = img.h;
        l.pic.px.assign(img.pixels, img.pixels + static_cast<size_t>(img.w) * img.h * 4);
        std::free(img.pixels);
    } else {
        EXPECT_EQ(img.w, -7);  // outputs untouched on failure
        EXPECT_EQ(img.pixels, nullptr);
    }
    return l;
}

std::vector<std::string> names_in(const scratch_dir &dir) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir.path)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(Extensions, CaseFoldedSuffixTest) {
    const struct {
        const char *text, *suffix;
        int expected;
    } rows[] = {
        {"photo.JPG", ".jpg", 1}, {"photo.Jpeg", ".jpeg", 1}, {"x.BMP", ".bmp", 1}, {"a.png", ".png", 1},
        {"png", ".png", 0},       {"", ".png", 0},            {"a.pngx", ".png", 0}, {"a.jpeg.bak", ".jpeg", 0},
        {".png", ".png", 1},      {"a.pnG", ".PNG", 1},
    };
    for (const auto &r : rows) EXPECT_EQ(str_ends_with_nocase(r.text, r.suffix), r.expected) << r.text;
}

TEST(Extensions, FormatFromPath) {
    const struct {
        const char *path;
        int fallback, expected;
    } rows[] = {
        {"a.jpg", FORMAT_PNG, FORMAT_JPEG}, {"a.JPEG", FORMAT_BMP, FORMAT_JPEG}, {"a.Png", FORMAT_JPEG, FORMAT_PNG},
        {"a.bmp", FORMAT_PNG, FORMAT_BMP},  {"a.gif", FORMAT_JPEG, FORMAT_JPEG}, {"noext", FORMAT_BMP, FORMAT_BMP},
        {nullptr, FORMAT_JPEG, FORMAT_JPEG},
    };
    for (const auto &r : rows) EXPECT_EQ(format_from_path(r.path, r.fallback), r.expected) << (r.path ? r.path : "null");
}

TEST(LoadImage, DecodesEachFormatAndSniffsItsCode) {
    scratch_dir dir;
    const picture pic = patterned(9, 7, 200);
    save_png(dir.file("a.png"), pic);
    save_bmp(dir.file("a.bmp"), pic);
    save_jpg(dir.file("a.jpg"), pic);
    fs::copy_file(dir.file("a.jpg"), dir.file("jpeg-named.png"));
    fs::copy_file(dir.file("a.bmp"), dir.file("bmp-named.jpg"));
    write_bytes(dir.file("a.gif"), gif_2x2());
    write_bytes(dir.file("gif-named.bmp"), gif_2x2());

    imgwatermark_image(nullptr, nullptr, nullptr, 0, 0, 0);  // leaves a message to be emptied
    loaded png = load(dir.file("a.png"));
    ASSERT_EQ(png.result, 1);
    EXPECT_STREQ(imgwatermark_last_error(), "");
    EXPECT_EQ(png.format, FORMAT_PNG);
    EXPECT_EQ(png.pic, pic);

    loaded bmp = load(dir.file("a.bmp"));
    ASSERT_EQ(bmp.result, 1);
    EXPECT_EQ(bmp.format, FORMAT_BMP);
    EXPECT_EQ(bmp.pic, pic);  // 32-bit BMP keeps alpha

    const struct {
        const char *name;
        int format;
    } sniffed[] = {{"a.jpg", FORMAT_JPEG},          {"jpeg-named.png", FORMAT_JPEG}, {"bmp-named.jpg", FORMAT_BMP},
                   {"a.gif", FORMAT_PNG},           {"gif-named.bmp", FORMAT_BMP}};
    for (const auto &s : sniffed) {
        loaded l = load(dir.file(s.name));
        ASSERT_EQ(l.result, 1) << s.name;
        EXPECT_EQ(l.format, s.format) << s.name;
        EXPECT_EQ(l.pic.w, std::string(s.name).find("gif") != std::string::npos ? 2 : 9) << s.name;
    }
    loaded gif = load(dir.file("a.gif"));
    EXPECT_EQ(gif.pic.get(0, 0), 0xFF0000FFu);
    EXPECT_EQ(gif.pic.get(1, 0), 0x00FF00FFu);
    EXPECT_EQ(gif.pic.get(0, 1), 0x0000FFFFu);
    EXPECT_EQ(gif.pic.get(1, 1), 0xFFFFFFFFu);
}

TEST(LoadImage, GreyImageBecomesRgbaWithOpaqueAlpha) {
    scratch_dir dir;
    const unsigned char grey[6] = {0, 50, 100, 150, 200, 255};
    ASSERT_TRUE(stbi_write_png(dir.file("g.png").c_str(), 3, 2, 1, grey, 3));
    loaded l = load(dir.file("g.png"));
    ASSERT_EQ(l.result, 1);
    for (int i = 0; i < 6; ++i) {
        const unsigned char *p = l.pic.at(i % 3, i / 3);
        EXPECT_EQ(p[0], grey[i]);
        EXPECT_EQ(p[1], grey[i]);
        EXPECT_EQ(p[2], grey[i]);
        EXPECT_EQ(p[3], 255);
    }
}

TEST(LoadImage, ReadAndDecodeFailuresNameThePath) {
    scratch_dir dir;
    write_bytes(dir.file("empty.png"), {});
    write_bytes(dir.file("one.bmp"), {'B'});
    write_bytes(dir.file("short.png"), {0x89, 'P', 'N', 'G', 13, 10, 26});
    write_text(dir.file("notes.png"), "this is not an image at all");
    fs::create_directory(dir.file("folder.png"));
    const struct {
        std::string path, message;
    } rows[] = {
        {dir.file("missing.png"), "cannot read file: " + dir.file("missing.png")},
        {dir.file("empty.png"), "cannot read file: " + dir.file("empty.png")},
        {dir.file("folder.png"), "cannot read file: " + dir.file("folder.png")},
        {dir.file("notes.png"), "cannot decode image " + dir.file("notes.png") + " (unknown image type)"},
        {dir.file("one.bmp"), "cannot decode image " + dir.file("one.bmp") + " ("},
        {dir.file("short.png"), "cannot decode image " + dir.file("short.png") + " ("},
    };
    for (const auto &r : rows) {
        imgwatermark_cleanup();
        EXPECT_EQ(load(r.path).result, 0) << r.path;
        const std::string message = imgwatermark_last_error();
        EXPECT_EQ(message.substr(0, r.message.size()), r.message);
        if (r.message.back() == '(') {
            EXPECT_EQ(message.back(), ')');
        }
    }
}

TEST(LoadImage, FileTooLargeForItsSizeIsAReadFailure) {
    scratch_dir dir;
    const std::string path = dir.file("huge.png");
    save_png(path, picture(2, 2, 0xFFFFFFFF));
    std::error_code ec;
    fs::resize_file(path, 2147483648ull + 16, ec);  // sparse: takes no disk space
    if (ec) GTEST_SKIP() << "cannot make a sparse file here: " << ec.message();
    EXPECT_EQ(load(path).result, 0);
    EXPECT_EQ(std::string(imgwatermark_last_error()), "cannot read file: " + path);
}

TEST(SaveImage, WritesTheFormatTheCodeNames) {
    scratch_dir dir;
    const picture pic = patterned(13, 5, 120);
    const struct {
        int code;
        const char *kind;
    } rows[] = {{FORMAT_PNG, "png"}, {FORMAT_BMP, "bmp"}, {FORMAT_JPEG, "jpg"}, {0, "png"}, {99, "png"}};
    for (const auto &r : rows) {
        const std::string path = dir.file("out-" + std::to_string(r.code) + ".img");
        ASSERT_NE(save_image(path.c_str(), pic.w, pic.h, pic.px.data(), r.code), 0);
        EXPECT_EQ(format_of_bytes(read_bytes(path)), r.kind);
        const picture back = decode(path);
        ASSERT_EQ(back.w, pic.w);
        if (r.code == FORMAT_JPEG) {
            for (int y = 0; y < pic.h; ++y)
                for (int x = 0; x < pic.w; ++x) {
                    EXPECT_EQ(back.at(x, y)[3], 255);  // alpha dropped
                    for (int c = 0; c < 3; ++c) EXPECT_NEAR(back.at(x, y)[c], pic.at(x, y)[c], 40);
                }
        } else {
            EXPECT_EQ(back, pic) << r.kind;  // lossless, alpha kept
        }
    }
    const bytes bmp = read_bytes(dir.file("out-3.img"));
    EXPECT_EQ(bmp[28], 32);  // 4 bytes per pixel
}

TEST(SaveImage, FailuresNameThePathAndWriteNothing) {
    scratch_dir dir;
    const picture pic(4, 4, 0x11223344);
    fs::create_directory(dir.file("sub"));
    const std::string rows[] = {dir.file("no-such-dir/out.png"), dir.file("sub"), dir.file("sub") + "/"};
    for (const auto &path : rows) {
        EXPECT_EQ(save_image(path.c_str(), 4, 4, pic.px.data(), FORMAT_PNG), 0) << path;
        EXPECT_EQ(std::string(imgwatermark_last_error()), "failed to write image to " + path);
    }
    EXPECT_TRUE(fs::is_empty(dir.file("sub")));
    EXPECT_EQ(names_in(dir), std::vector<std::string>{"sub"});
}

TEST(SaveImage, RefusesImagesTooLargeForTheEncoders) {
    scratch_dir dir;
    const std::string path = dir.file("big.png");
    const unsigned char never_read[4] = {0, 0, 0, 0};
    const int sizes[][2] = {{30000, 30000}, {INT32_MAX / 4, 2}, {1, INT32_MAX}};
    for (const auto &s : sizes) {
        for (int format : {FORMAT_PNG, FORMAT_BMP, FORMAT_JPEG}) {
            EXPECT_EQ(save_image(path.c_str(), s[0], s[1], never_read, format), 0);
            EXPECT_EQ(std::string(imgwatermark_last_error()), "failed to write image to " + path);
        }
    }
    EXPECT_FALSE(fs::exists(path));
}

// A JPEG frame header states each side in 16 bits. A longer side is refused
// (stb's writer would truncate it and leave a file no decoder reads), and the
// file already at the path stays as it was; other formats still take it.
TEST(SaveImage, JpegSideBeyond65535IsRefusedAndTheOldFileKept) {
    scratch_dir dir;
    const std::string out = dir.file("out.jpg");
    write_text(out, "old output");
    const bytes before = read_bytes(out);
    const picture strip = patterned(70000, 16);
    const std::string in = dir.file("wide.bmp");
    save_bmp(in, strip);

    EXPECT_EQ(imgwatermark_text(in.c_str(), out.c_str(), "x", 12, 1.0f, 0.0f, 0, 255, 255, 255), 0);
    EXPECT_EQ(std::string(imgwatermark_last_error()), "failed to write image to " + out);
    EXPECT_EQ(read_bytes(out), before);
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"out.jpg", "wide.bmp"}));

    const std::string png = dir.file("wide.png");
    EXPECT_EQ(imgwatermark_text(in.c_str(), png.c_str(), "x", 12, 0.0f, 0.0f, 0, 255, 255, 255), 1);
    EXPECT_EQ(decode(png), strip);

    const picture line(65536, 1, 0x336699FF);
    for (const auto &size : {std::pair<int, int>{65536, 1}, {1, 65536}}) {
        EXPECT_EQ(save_image(out.c_str(), size.first, size.second, line.px.data(), FORMAT_JPEG), 0);
        EXPECT_EQ(read_bytes(out), before);
    }
    const picture widest(65535, 1, 0x336699FF);
    ASSERT_NE(save_image(out.c_str(), widest.w, widest.h, widest.px.data(), FORMAT_JPEG), 0);
    const picture back = decode(out);
    EXPECT_EQ(back.w, 65535);
    EXPECT_EQ(back.h, 1);
}

TEST(SaveImage, ReplacesAnExistingFileWholeAndLeavesNoTemporary) {
    scratch_dir dir;
    const std::string path = dir.file("out.png");
    write_text(path, "old contents");
    const picture pic = patterned(6, 6);
    ASSERT_NE(save_image(path.c_str(), pic.w, pic.h, pic.px.data(), FORMAT_PNG), 0);
    EXPECT_EQ(decode(path), pic);
    EXPECT_EQ(names_in(dir), std::vector<std::string>{"out.png"});
}

#if !defined(_WIN32)
TEST(SaveImage, KeepsPermissionBitsAndFollowsLinksAsFopenWould) {
    scratch_dir dir;
    const picture pic = patterned(5, 5);
    const mode_t old_mask = umask(022);

    const std::string fresh = dir.file("fresh.png");
    ASSERT_NE(save_image(fresh.c_str(), 5, 5, pic.px.data(), FORMAT_PNG), 0);
    EXPECT_EQ(fs::status(fresh).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);

    const std::string kept = dir.file("kept.png");
    write_text(kept, "x");
    fs::permissions(kept, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_NE(save_image(kept.c_str(), 5, 5, pic.px.data(), FORMAT_PNG), 0);
    EXPECT_EQ(fs::status(kept).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    umask(old_mask);

    fs::create_directory(dir.file("real"));
    write_text(dir.file("real/target.png"), "x");
    fs::create_symlink("real/target.png", dir.file("link.png"));
    fs::create_symlink(dir.file("nowhere.png"), dir.file("dangling.png"));
    ASSERT_NE(save_image(dir.file("link.png").c_str(), 5, 5, pic.px.data(), FORMAT_PNG), 0);
    ASSERT_NE(save_image(dir.file("dangling.png").c_str(), 5, 5, pic.px.data(), FORMAT_PNG), 0);
    EXPECT_TRUE(fs::is_symlink(dir.file("link.png")));
    EXPECT_TRUE(fs::is_symlink(dir.file("dangling.png")));
    EXPECT_EQ(decode(dir.file("real/target.png")), pic);
    EXPECT_EQ(decode(dir.file("nowhere.png")), pic);
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"dangling.png", "fresh.png", "kept.png", "link.png",
                                                      "nowhere.png", "real"}));
}

TEST(SaveImage, FailedWriteLeavesTheOldFileExactlyAsItWas) {
    scratch_dir dir;
    const std::string path = dir.file("keep.png");
    write_text(path, "precious old bytes");
    const bytes before = read_bytes(path);
    const picture pic = patterned(64, 64);  // encodes to far more than the limit below

    // A file size limit makes the writes fail part-way, as a full disk would.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old_limit;
    getrlimit(RLIMIT_FSIZE, &old_limit);
    rlimit small = old_limit;
    small.rlim_cur = 200;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int result = save_image(path.c_str(), pic.w, pic.h, pic.px.data(), FORMAT_BMP);
    setrlimit(RLIMIT_FSIZE, &old_limit);

    EXPECT_EQ(result, 0);
    EXPECT_EQ(std::string(imgwatermark_last_error()), "failed to write image to " + path);
    EXPECT_EQ(read_bytes(path), before);
    EXPECT_EQ(names_in(dir), std::vector<std::string>{"keep.png"});
}

TEST(SaveImage, DeviceTargetIsWrittenInPlace) {
    const picture pic(3, 3, 0xFFFFFFFF);
    EXPECT_NE(save_image("/dev/null", 3, 3, pic.px.data(), FORMAT_PNG), 0);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    if (fs::exists("/dev/full")) {
        EXPECT_EQ(save_image("/dev/full", 3, 3, pic.px.data(), FORMAT_PNG), 0);
        EXPECT_STREQ(imgwatermark_last_error(), "failed to write image to /dev/full");
    }
}
#endif
