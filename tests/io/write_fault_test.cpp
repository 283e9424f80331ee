// Writes that fail part-way: a disk filling up, a flush, sync or close that
// reports an error, a rename that does not happen. Every fault must give 0
// with "failed to write image to <path>", leave no temporary file, and leave
// an existing output byte for byte as it was (or no output at all).
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/resource.h>
#include <tuple>

#include "imgwatermark.h"
#include "test_support.h"

extern "C" {
void fault_shim_arm(const char *op, long nth);
long fault_shim_calls(const char *op);
}

namespace {

struct fault {
    const char *name;
    const char *op;  // intercepted call to fail, or "fsize" for a real file size limit
    int nth;         // its call number; 0 is the middle and -1 the last of a clean run's calls
    const char *ext;  // output format
};

const fault kFaults[] = {
    {"png_first_write_short", "fwrite", 1, ".png"},
    {"bmp_disk_full_half_way", "fwrite", 0, ".bmp"},
    {"jpg_disk_full_half_way", "fwrite", 0, ".jpg"},
    {"bmp_last_write_short", "fwrite", -1, ".bmp"},
    {"png_flush_fails", "fflush", 1, ".png"},
    {"jpg_sync_fails", "fsync", 1, ".jpg"},
    {"png_close_fails", "fclose", -1, ".png"},
    {"bmp_close_fails", "fclose", -1, ".bmp"},
    {"png_rename_fails", "rename", 1, ".png"},
    {"jpg_rename_fails", "rename", 1, ".jpg"},
    {"png_file_size_limit", "fsize", 2000, ".png"},
    {"bmp_file_size_limit", "fsize", 50000, ".bmp"},
};

void PrintTo(const fault &f, std::ostream *os) { *os << f.name; }

bool has_temporary(const scratch_dir &d) {
    for (const auto &e : fs::directory_iterator(d.path))
        if (e.path().filename().string().rfind(".imgwatermark-", 0) == 0) return true;
    return false;
}

// One text and one image call, the only library calls made while armed.
int call(bool text, const std::string &in, const std::string &wm, const std::string &out) {
    return text ? imgwatermark_text(in.c_str(), out.c_str(), "Fault", 20, 0.8f, 10.0f, 5, 255, 255, 0)
                : imgwatermark_image(in.c_str(), out.c_str(), wm.c_str(), 0.7f, 0, 1.5f);
}

class write_fault : public ::testing::TestWithParam<std::tuple<fault, bool, bool>> {};

TEST_P(write_fault, keeps_the_old_file_and_reports_failure) {
    const fault f = std::get<0>(GetParam());
    const bool existing = std::get<1>(GetParam());
    const bool text = std::get<2>(GetParam());
    scratch_dir d;
    const std::string in = d.file("in.png"), wm = d.file("wm.png");
    save_png(in, patterned(300, 200));
    save_png(wm, patterned(40, 30, 180));

    // A clean run, which also proves that the shim sees the library's calls.
    const std::string clean = d.file(std::string("clean") + f.ext);
    fault_shim_arm(nullptr, 0);
    ASSERT_EQ(call(text, in, wm, clean), 1) << imgwatermark_last_error();
    const long writes = fault_shim_calls("fwrite");
    const long op_calls = std::string(f.op) == "fsize" ? 0 : fault_shim_calls(f.op);
    ASSERT_GT(writes, 0) << "the shim does not intercept the library's writes";
    ASSERT_EQ(fault_shim_calls("fsync"), 1);
    ASSERT_EQ(fault_shim_calls("rename"), 1);
    const long clean_size = static_cast<long>(fs::file_size(clean));

    const std::string out = d.file(std::string("out") + f.ext);
    const bytes old = {'o', 'l', 'd', ' ', 'f', 'i', 'l', 'e'};
    if (existing) write_bytes(out, old);

    int result;
    const std::string op = f.op;
    if (op == "fsize") {
        ASSERT_LT(f.nth, clean_size) << "the limit must cut the file short";
        struct rlimit saved, limit;
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        limit = saved;
        limit.rlim_cur = static_cast<rlim_t>(f.nth);
        auto previous = std::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
        result = call(text, in, wm, out);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
    } else {
        const long nth = f.nth == 0 ? (op_calls + 1) / 2 : f.nth < 0 ? op_calls : f.nth;
        fault_shim_arm(f.op, nth);
        result = call(text, in, wm, out);
        const long seen = fault_shim_calls(f.op);
        fault_shim_arm(nullptr, 0);
        ASSERT_GE(seen, nth) << "the fault was never reached";
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(std::string(imgwatermark_last_error()), "failed to write image to " + out);
    EXPECT_FALSE(has_temporary(d)) << "a temporary file was left behind";
    if (existing)
        EXPECT_EQ(read_bytes(out), old) << "the existing output was changed";
    else
        EXPECT_FALSE(fs::exists(out)) << "a partial output appeared";

    // The same call without the fault then replaces the file completely.
    ASSERT_EQ(call(text, in, wm, out), 1) << imgwatermark_last_error();
    EXPECT_EQ(read_bytes(out), read_bytes(clean));
}

std::string case_name(const ::testing::TestParamInfo<write_fault::ParamType> &info) {
    return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_over_existing" : "_new_file") +
           (std::get<2>(info.param) ? "_text" : "_image");
}

INSTANTIATE_TEST_SUITE_P(table, write_fault,
                         ::testing::Combine(::testing::ValuesIn(kFaults), ::testing::Bool(), ::testing::Bool()),
                         case_name);

}  // namespace
