// The shared module as a host sees it: exactly six exported names that load
// and work.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "imgwatermark.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <dlfcn.h>

TEST(Module, ExportsExactlyTheSixFunctions) {
    const std::string command = std::string("nm -D --defined-only '") + IMGWATERMARK_MODULE_PATH + "'";
    FILE *nm = popen(command.c_str(), "r");
    ASSERT_NE(nm, nullptr);
    std::set<std::string> names;
    char line[1024];
    while (std::fgets(line, sizeof line, nm)) {
        char address[64], kind[8], name[900];
        if (std::sscanf(line, "%63s %7s %899s", address, kind, name) == 3) names.insert(name);
    }
    ASSERT_EQ(pclose(nm), 0);
    const std::set<std::string> expected = {"imgwatermark_batch",   "imgwatermark_cleanup", "imgwatermark_image",
                                            "imgwatermark_init",    "imgwatermark_last_error",
                                            "imgwatermark_text"};
    EXPECT_EQ(names, expected);
}

TEST(Module, LoadsByNameAndEveryExportResolves) {
    void *module = dlopen(IMGWATERMARK_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    for (const char *name : {"imgwatermark_last_error", "imgwatermark_init", "imgwatermark_cleanup",
                             "imgwatermark_text", "imgwatermark_image", "imgwatermark_batch"})
        EXPECT_NE(dlsym(module, name), nullptr) << name;
    EXPECT_EQ(dlsym(module, "stbi_load_from_memory"), nullptr);
    EXPECT_EQ(dlsym(module, "set_err"), nullptr);
    auto init = reinterpret_cast<int (*)()>(dlsym(module, "imgwatermark_init"));
    EXPECT_EQ(init(), 1);
    dlclose(module);
}
#endif

TEST(Module, TextCallThroughTheModuleMarksTheImage) {
    scratch_dir dir;
    const picture input(120, 80, 0x204060FF);
    save_png(dir.file("in.png"), input);
    ASSERT_EQ(imgwatermark_text(dir.file("in.png").c_str(), dir.file("out.bmp").c_str(), "Hi", 40, 1.0f, 0.0f, 0,
                                255, 255, 0),
              1)
        << imgwatermark_last_error();
    EXPECT_EQ(format_of_bytes(read_bytes(dir.file("out.bmp"))), "bmp");
    const picture out = decode(dir.file("out.bmp"));
    const box changed = diff_box(input, out);
    EXPECT_GT(changed.x1 - changed.x0, 10);
    EXPECT_EQ(out.get((changed.x0 + changed.x1) / 2, 0), 0x204060FFu);
}
