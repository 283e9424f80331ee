// Several threads calling the operations at once on their own files. Each
// test runs in a fresh process, so the first text calls race on preparing the
// font. Every call must succeed and give the same bytes as a run on one thread.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "imgwatermark.h"
#include "test_support.h"

namespace {

constexpr int kThreads = 6;

struct job {
    std::string input, watermark, text_out, image_out;
    std::string text;
    float angle;
    int position;
    float scale;
};

std::vector<job> make_jobs(const scratch_dir &d) {
    std::vector<job> jobs;
    for (int t = 0; t < kThreads; ++t) {
        job j;
        j.input = d.file("in" + std::to_string(t) + (t % 2 ? ".bmp" : ".png"));
        j.watermark = d.file("wm" + std::to_string(t) + ".png");
        if (t % 2) save_bmp(j.input, patterned(90 + t, 70));
        else save_png(j.input, patterned(90 + t, 70));
        save_png(j.watermark, patterned(20, 12 + t, static_cast<unsigned char>(100 + 20 * t)));
        j.text = "Thread " + std::to_string(t) + "\nAV To";
        j.angle = 15.0f * t;
        j.position = t;
        j.scale = 0.5f + 0.25f * t;
        jobs.push_back(j);
    }
    return jobs;
}

// Runs one job writing under `tag`; true when both calls succeeded.
bool run(const job &j, const std::string &tag) {
    const int a = imgwatermark_text(j.input.c_str(), (j.text_out + tag).c_str(), j.text.c_str(), 14 + j.position,
                                    0.7f, j.angle, j.position, 250, 40, 90);
    const int b = imgwatermark_image(j.input.c_str(), (j.image_out + tag).c_str(), j.watermark.c_str(), 0.6f,
                                     j.position, j.scale);
    return a == 1 && b == 1;
}

void release_together(std::vector<std::thread> *threads, const std::vector<job> &jobs, int rounds,
                      std::vector<int> *ok) {
    std::atomic<int> waiting{0};
    for (int t = 0; t < kThreads; ++t) {
        threads->emplace_back([&, t] {
            waiting.fetch_add(1);
            while (waiting.load() < kThreads) std::this_thread::yield();
            for (int r = 0; r < rounds; ++r) (*ok)[t] += run(jobs[t], ".mt" + std::to_string(r)) ? 1 : 0;
        });
    }
    for (auto &th : *threads) th.join();
}

void check_against_single_thread(const std::vector<job> &jobs, int rounds, const std::vector<int> &ok) {
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(ok[t], rounds) << "thread " << t;
        ASSERT_TRUE(run(jobs[t], ".st")) << imgwatermark_last_error();
        const bytes text_ref = read_bytes(jobs[t].text_out + ".st");
        const bytes image_ref = read_bytes(jobs[t].image_out + ".st");
        EXPECT_FALSE(decode(jobs[t].text_out + ".st") == decode(jobs[t].input)) << "no watermark drawn";
        for (int r = 0; r < rounds; ++r) {
            EXPECT_EQ(read_bytes(jobs[t].text_out + ".mt" + std::to_string(r)), text_ref) << "thread " << t;
            EXPECT_EQ(read_bytes(jobs[t].image_out + ".mt" + std::to_string(r)), image_ref) << "thread " << t;
        }
    }
}

TEST(threads, first_calls_race_on_the_font) {
    scratch_dir d;
    auto jobs = make_jobs(d);
    for (int t = 0; t < kThreads; ++t) {
        jobs[t].text_out = d.file("text" + std::to_string(t) + ".png");
        jobs[t].image_out = d.file("image" + std::to_string(t) + (t % 2 ? ".bmp" : ".jpg"));
    }
    std::vector<std::thread> threads;
    std::vector<int> ok(kThreads, 0);
    release_together(&threads, jobs, 1, &ok);
    check_against_single_thread(jobs, 1, ok);
}

TEST(threads, init_races_with_text_calls) {
    scratch_dir d;
    auto jobs = make_jobs(d);
    for (int t = 0; t < kThreads; ++t) {
        jobs[t].text_out = d.file("text" + std::to_string(t) + ".bmp");
        jobs[t].image_out = d.file("image" + std::to_string(t) + ".png");
    }
    std::atomic<bool> stop{false};
    std::atomic<int> init_failures{0};
    std::thread initialiser([&] {
        while (!stop.load()) init_failures += imgwatermark_init() == 1 ? 0 : 1;
    });
    std::vector<std::thread> threads;
    std::vector<int> ok(kThreads, 0);
    release_together(&threads, jobs, 3, &ok);
    stop = true;
    initialiser.join();
    EXPECT_EQ(init_failures.load(), 0);
    check_against_single_thread(jobs, 3, ok);
}

}  // namespace
