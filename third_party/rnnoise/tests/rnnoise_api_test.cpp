// Tests of the rnnoise C interface: lifecycle, argument handling, state independence, memory.
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <barrier>
#include <fstream>
#include <limits>
#include <thread>

#include "rnnoise_test_support.h"

extern "C" int rnnoise_c_api_round_trip(void);

namespace rnnoise_test {
namespace {

// Guarantees of this library's own shim (argument checks, non-finite input) that a system
// rnnoise does not give.
#if defined(RNNOISE_TEST_SHIM)
#define SKIP_UNLESS_SHIM() (void)0
#else
#define SKIP_UNLESS_SHIM() GTEST_SKIP() << "built against a system rnnoise"
#endif

// A state processes frames into finite output with a probability in [0, 1].
TEST(RnnoiseApi, CreateProcessDestroy) {
    State st = makeState();
    ASSERT_NE(st, nullptr);
    const std::vector<float> noise = brownNoise(50, 1000.0f, 1);
    const Processed out = processAll(st.get(), noise);
    EXPECT_TRUE(std::ranges::all_of(out.output, [](float x) { return std::isfinite(x); }));
    for (float p : out.probability) {
        EXPECT_GE(p, 0.0f);
        EXPECT_LE(p, 1.0f);
    }
    EXPECT_GT(energy(out.output, 0, out.output.size()), 0.0);
}

// NULL arguments return 0, write nothing and leave the state exactly as it was. Only the
// built-in model exists, so asking for another one fails rather than silently using it.
TEST(RnnoiseApi, InvalidArgumentsAreRefused) {
    SKIP_UNLESS_SHIM();
    int not_a_model = 0;
    EXPECT_EQ(rnnoise_create(reinterpret_cast<RNNModel*>(&not_a_model)), nullptr);
    rnnoise_destroy(nullptr);
    std::array<float, kFrame> in{}, out{};
    EXPECT_EQ(rnnoise_process_frame(nullptr, out.data(), in.data()), 0.0f);

    const std::vector<float> noise = brownNoise(20, 1000.0f, 2);
    State reference = makeState();
    State probed = makeState();
    const Processed expected = processAll(reference.get(), noise);
    std::vector<float> got(noise.size());
    for (std::size_t at = 0; at < noise.size(); at += kFrame) {
        std::ranges::fill(out, -7.0f);
        EXPECT_EQ(rnnoise_process_frame(probed.get(), out.data(), nullptr), 0.0f);
        EXPECT_EQ(rnnoise_process_frame(probed.get(), nullptr, noise.data() + at), 0.0f);
        EXPECT_TRUE(std::ranges::all_of(out, [](float x) { return x == -7.0f; }));
        rnnoise_process_frame(probed.get(), got.data() + at, noise.data() + at);
    }
    EXPECT_EQ(got, expected.output);
}

// Denoising in place (out == in) gives the same samples as separate buffers.
TEST(RnnoiseApi, InPlaceMatchesSeparateBuffers) {
    const std::vector<float> noise = brownNoise(30, 3000.0f, 3);
    State separate = makeState();
    State in_place = makeState();
    const Processed expected = processAll(separate.get(), noise);
    std::vector<float> buffer = noise;
    for (std::size_t at = 0; at < buffer.size(); at += kFrame) {
        rnnoise_process_frame(in_place.get(), buffer.data() + at, buffer.data() + at);
    }
    EXPECT_EQ(buffer, expected.output);
}

// NaN and infinite samples are read as silence: the network's recurrent state is not poisoned
// and the result equals feeding zeros in their place.
TEST(RnnoiseApi, NonFiniteSamplesReadAsSilence) {
    SKIP_UNLESS_SHIM();
    std::vector<float> dirty = brownNoise(40, 1000.0f, 4);
    std::vector<float> zeroed = dirty;
    const std::array<float, 3> bad = {std::numeric_limits<float>::quiet_NaN(),
                                      std::numeric_limits<float>::infinity(),
                                      -std::numeric_limits<float>::infinity()};
    for (std::size_t i = 0; i < 300; ++i) {
        dirty[10 * kFrame + 7 * i] = bad[i % bad.size()];
        zeroed[10 * kFrame + 7 * i] = 0.0f;
    }
    State a = makeState();
    State b = makeState();
    const Processed from_dirty = processAll(a.get(), dirty);
    const Processed from_zeroed = processAll(b.get(), zeroed);
    EXPECT_TRUE(std::ranges::all_of(from_dirty.output, [](float x) { return std::isfinite(x); }));
    EXPECT_EQ(from_dirty.output, from_zeroed.output);
    EXPECT_EQ(from_dirty.probability, from_zeroed.probability);
}

// Two states share nothing: interleaving them frame by frame on one thread, or running them on
// two threads at once, gives bit-identical results to running each alone.
TEST(RnnoiseApi, StatesAreIndependent) {
    const std::vector<float> x = brownNoise(150, 2000.0f, 5);
    const std::vector<float> y = brownNoise(150, 300.0f, 6);
    State alone_x = makeState();
    State alone_y = makeState();
    const Processed expected_x = processAll(alone_x.get(), x);
    const Processed expected_y = processAll(alone_y.get(), y);

    State ix = makeState();
    State iy = makeState();
    std::vector<float> got_x(x.size()), got_y(y.size());
    for (std::size_t at = 0; at < x.size(); at += kFrame) {
        rnnoise_process_frame(ix.get(), got_x.data() + at, x.data() + at);
        rnnoise_process_frame(iy.get(), got_y.data() + at, y.data() + at);
    }
    EXPECT_EQ(got_x, expected_x.output);
    EXPECT_EQ(got_y, expected_y.output);

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        State tx = makeState();
        State ty = makeState();
        std::barrier start(2);
        Processed threaded_x, threaded_y;
        std::thread worker([&] {
            start.arrive_and_wait();
            threaded_y = processAll(ty.get(), y);
        });
        start.arrive_and_wait();
        threaded_x = processAll(tx.get(), x);
        worker.join();
        EXPECT_EQ(threaded_x.output, expected_x.output);
        EXPECT_EQ(threaded_x.probability, expected_x.probability);
        EXPECT_EQ(threaded_y.output, expected_y.output);
        EXPECT_EQ(threaded_y.probability, expected_y.probability);
    }
}

long residentBytes() {
    std::ifstream statm("/proc/self/statm");
    long total_pages = 0, resident_pages = 0;
    statm >> total_pages >> resident_pages;
    return resident_pages * sysconf(_SC_PAGESIZE);
}

// A working state stays well under 1 MiB resident (the module declares 16 MiB of linear memory,
// of which only touched pages may count), also when states are created in the place of destroyed
// ones, as restarting pipelines do.
TEST(RnnoiseApi, ResidentMemoryPerStateIsSmall) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's shadow memory counts as resident";
#endif
    const std::vector<float> noise = brownNoise(50, 1000.0f, 7);
    std::vector<State> live;
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        const long before = residentBytes();
        for (int i = 0; i < 2; ++i) {
            live.push_back(makeState());
            processAll(live.back().get(), noise);
        }
        EXPECT_LT((residentBytes() - before) / 2, 1L << 20);
        live.erase(live.begin());
    }
}

// The header is valid C and the functions link from a C translation unit.
TEST(RnnoiseApi, UsableFromC) {
    EXPECT_EQ(rnnoise_c_api_round_trip(), 1);
}

}  // namespace
}  // namespace rnnoise_test
