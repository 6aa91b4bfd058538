// Verifies the voice pipeline through its flat interface: null and length handling, the two
// mappings of out-of-range settings, posted changes and resets applied at the next frame, echo
// cancellation switching, the stage order, metrics, and independent concurrent pipelines.
#include "pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "amberlin_core.h"
#include "signals.h"

namespace amberlin::core {
namespace {

using test::kFrame;

constexpr std::uint64_t kFrameNs = 10'000'000;     // 10 ms
constexpr std::uint64_t kStartNs = 1'000'000'000;  // host time of the first frame

struct Destroy {
    void operator()(amr_pipeline* p) const { amr_pipeline_destroy(p); }
};
using Handle = std::unique_ptr<amr_pipeline, Destroy>;

Handle spectral(std::uint32_t mode, bool echo, std::uint32_t isolation) {
    return Handle(createPipeline(mode, echo, isolation, NeuralPolicy::spectralOnly));
}

bool sameMetrics(const PipelineMetrics& a, const PipelineMetrics& b) {
    return a.input_rms == b.input_rms && a.output_rms == b.output_rms &&
           a.voice_probability == b.voice_probability &&
           a.echo_reduction_db == b.echo_reduction_db && a.echo_delay_ms == b.echo_delay_ms &&
           a.reference_lookback_ms == b.reference_lookback_ms &&
           a.voice_gate_gain == b.voice_gate_gain && a.far_end_active == b.far_end_active;
}

// Far-end noise and a microphone that hears it 40 ms later at half amplitude, plus quiet noise.
struct EchoScene {
    explicit EchoScene(std::size_t frames)
        : far(test::whiteNoise(frames * kFrame, 0.1F, 11)),
          mic(test::whiteNoise(frames * kFrame, 0.001F, 12)) {
        for (std::size_t i = 1920; i < mic.size(); ++i) {
            mic[i] += 0.5F * far[i - 1920];
        }
    }
    // Pushes frame `f` of the far end on time, then processes frame `f` of the microphone.
    bool step(amr_pipeline* p, std::size_t f, std::span<float> out,
              std::uint64_t lateNs = 0) const {
        const std::uint64_t t = kStartNs + f * kFrameNs;
        amr_pipeline_push_reference(p, far.data() + f * kFrame, kFrame, t - lateNs);
        return amr_pipeline_process(p, mic.data() + f * kFrame, out.data(), kFrame, t) == 1;
    }
    std::vector<float> far;
    std::vector<float> mic;
};

TEST(Pipeline, NullArgumentsAreHarmlessAndNeutral) {
    // Every function accepts a null handle; processing refuses null buffers.
    std::vector<float> buf(kFrame, 0.1F);
    EXPECT_EQ(amr_pipeline_process(nullptr, buf.data(), buf.data(), kFrame, 0), 0);
    amr_pipeline_push_reference(nullptr, buf.data(), kFrame, 0);
    amr_pipeline_reset(nullptr);
    amr_pipeline_set_mode(nullptr, 1);
    amr_pipeline_set_voice_isolation(nullptr, 1);
    amr_pipeline_set_echo_cancellation(nullptr, 1);
    amr_pipeline_destroy(nullptr);
    EXPECT_TRUE(sameMetrics(amr_pipeline_metrics(nullptr), PipelineMetrics{}));
    EXPECT_EQ(amr_pipeline_uses_neural(nullptr), 0);

    Handle p(amr_pipeline_create(1, 1, 0));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(amr_pipeline_process(p.get(), nullptr, buf.data(), kFrame, 0), 0);
    EXPECT_EQ(amr_pipeline_process(p.get(), buf.data(), nullptr, kFrame, 0), 0);
    amr_pipeline_push_reference(p.get(), nullptr, kFrame, 0);
    amr_pipeline_push_reference(p.get(), buf.data(), 0, 0);
    std::unique_lock lock(p->reference.mutex());
    EXPECT_EQ(p->reference.buffered_samples(lock), 0U);
}

TEST(Pipeline, WrongFrameCountsFailWithoutTouchingOutputOrMetrics) {
    // 0, 479 and 481 samples are refused; the output and the published metrics stay as they were.
    Handle p(amr_pipeline_create(1, 1, 2));
    EXPECT_TRUE(sameMetrics(amr_pipeline_metrics(p.get()), PipelineMetrics{}));
    const std::vector<float> in = test::whiteNoise(kFrame + 1, 0.2F, 1);
    std::vector<float> out(kFrame + 1, 0.0F);
    for (int f = 0; f < 3; ++f) {  // past the canceller's 512-sample delay
        ASSERT_EQ(amr_pipeline_process(p.get(), in.data(), out.data(), kFrame, 0), 1);
    }
    const PipelineMetrics before = amr_pipeline_metrics(p.get());
    EXPECT_GT(before.input_rms, 0.1F);
    for (std::uint32_t frames : {0U, 479U, 481U}) {
        SCOPED_TRACE(frames);
        std::fill(out.begin(), out.end(), 9.0F);
        EXPECT_EQ(amr_pipeline_process(p.get(), in.data(), out.data(), frames, kFrameNs), 0);
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v == 9.0F; }));
        EXPECT_TRUE(sameMetrics(amr_pipeline_metrics(p.get()), before));
    }
}

TEST(Pipeline, CreationMapsOutOfRangeSettingsToBalanced) {
    // At creation an unknown mode and an isolation of 4 or more both mean balanced.
    struct Case {
        std::uint32_t mode, isolation, wantMode, wantIsolation;
    };
    for (const Case c : {Case{0, 0, 0, 0}, Case{1, 1, 1, 1}, Case{2, 3, 2, 3}, Case{7, 9, 1, 2},
                         Case{3, 4, 1, 2}}) {
        SCOPED_TRACE(c.mode * 100 + c.isolation);
        Handle p(amr_pipeline_create(c.mode, 0, c.isolation));
        EXPECT_EQ(p->pipeline.noiseProcessor().mode(), c.wantMode);
        EXPECT_EQ(p->pipeline.voiceGate().level(), c.wantIsolation);
        EXPECT_EQ(p->pipeline.echoCanceller(), nullptr);
    }
    Handle echo(amr_pipeline_create(1, 5, 0));
    EXPECT_NE(echo->pipeline.echoCanceller(), nullptr);
}

TEST(Pipeline, PostedSettingsApplyAtTheNextFrameWithTheirOwnMapping) {
    // Setters clamp upwards (7 -> max, 9 -> strong); only echo value 1 means on; nothing changes
    // before the next frame, and a failing frame still applies what was posted.
    Handle p = spectral(1, false, 1);
    std::vector<float> buf(kFrame, 0.0F);
    amr_pipeline_set_mode(p.get(), 7);
    amr_pipeline_set_voice_isolation(p.get(), 9);
    amr_pipeline_set_echo_cancellation(p.get(), 1);
    EXPECT_EQ(p->pipeline.noiseProcessor().mode(), 1U);
    EXPECT_EQ(p->pipeline.voiceGate().level(), 1U);
    EXPECT_EQ(p->pipeline.echoCanceller(), nullptr);
    EXPECT_EQ(amr_pipeline_process(p.get(), buf.data(), buf.data(), 479, 0), 0);
    EXPECT_EQ(p->pipeline.noiseProcessor().mode(), 2U);
    EXPECT_EQ(p->pipeline.voiceGate().level(), 3U);
    EXPECT_NE(p->pipeline.echoCanceller(), nullptr);

    for (std::int32_t off : {2, 0, -1, -7}) {
        SCOPED_TRACE(off);
        amr_pipeline_set_echo_cancellation(p.get(), 1);
        amr_pipeline_process(p.get(), buf.data(), buf.data(), kFrame, 0);
        ASSERT_NE(p->pipeline.echoCanceller(), nullptr);
        amr_pipeline_set_echo_cancellation(p.get(), off);
        amr_pipeline_process(p.get(), buf.data(), buf.data(), kFrame, 0);
        EXPECT_EQ(p->pipeline.echoCanceller(), nullptr);
    }
    amr_pipeline_set_mode(p.get(), 0);
    amr_pipeline_set_voice_isolation(p.get(), 2);
    amr_pipeline_process(p.get(), buf.data(), buf.data(), kFrame, 0);
    EXPECT_EQ(p->pipeline.noiseProcessor().mode(), 0U);
    EXPECT_EQ(p->pipeline.voiceGate().level(), 2U);
}

TEST(Pipeline, EchoSwitchKeepsAdaptationUnlessToggled) {
    // A canceller adapted to a 40 ms echo keeps its state when "on" is posted again; switching
    // off and on again starts from an unadapted canceller.
    Handle p = spectral(1, true, 0);
    const EchoScene scene(500);
    std::vector<float> out(kFrame);
    std::size_t f = 0;
    for (; f < 400; ++f) {
        ASSERT_TRUE(scene.step(p.get(), f, out));
    }
    const PipelineMetrics adapted = amr_pipeline_metrics(p.get());
    EXPECT_NEAR(adapted.echo_delay_ms, 40.0F, 5.4F);
    EXPECT_GT(adapted.echo_reduction_db, 6.0F);
    EXPECT_TRUE(adapted.far_end_active);

    amr_pipeline_set_echo_cancellation(p.get(), 1);
    ASSERT_TRUE(scene.step(p.get(), f++, out));
    EXPECT_NEAR(amr_pipeline_metrics(p.get()).echo_delay_ms, adapted.echo_delay_ms, 5.4F);
    EXPECT_GT(amr_pipeline_metrics(p.get()).echo_reduction_db, 6.0F);

    amr_pipeline_set_echo_cancellation(p.get(), 0);
    ASSERT_TRUE(scene.step(p.get(), f++, out));
    const PipelineMetrics off = amr_pipeline_metrics(p.get());
    EXPECT_EQ(off.echo_reduction_db, 0.0F);
    EXPECT_EQ(off.echo_delay_ms, 0.0F);
    EXPECT_FALSE(off.far_end_active);

    amr_pipeline_set_echo_cancellation(p.get(), 1);
    ASSERT_TRUE(scene.step(p.get(), f++, out));
    EXPECT_EQ(amr_pipeline_metrics(p.get()).echo_reduction_db, 0.0F);
    EXPECT_EQ(amr_pipeline_metrics(p.get()).echo_delay_ms, 0.0F);
}

TEST(Pipeline, EchoOffReportsNoEchoFiguresButTheQueuesLookback) {
    // A reference arriving 5 ms late sets the lookback to 5 + 1.5 + 2 ms; with echo cancellation
    // switched off the echo figures are zero while the lookback is still reported.
    Handle p = spectral(1, true, 0);
    const EchoScene scene(50);
    std::vector<float> out(kFrame);
    for (std::size_t f = 0; f < 20; ++f) {
        ASSERT_TRUE(scene.step(p.get(), f, out, 5'000'000));
    }
    EXPECT_NEAR(amr_pipeline_metrics(p.get()).reference_lookback_ms, 8.5F, 1e-3F);
    amr_pipeline_set_echo_cancellation(p.get(), 0);
    ASSERT_TRUE(scene.step(p.get(), 20, out, 5'000'000));
    const PipelineMetrics m = amr_pipeline_metrics(p.get());
    EXPECT_EQ(m.echo_reduction_db, 0.0F);
    EXPECT_EQ(m.echo_delay_ms, 0.0F);
    EXPECT_FALSE(m.far_end_active);
    EXPECT_NEAR(m.reference_lookback_ms, 8.5F, 1e-3F);
}

TEST(Pipeline, StagesRunInOrderAsIfChainedByHand) {
    // The pipeline's output equals canceller -> noise processor -> voice gate run separately on
    // the same reference, with and without a reference ever pushed.
    for (bool pushReference : {false, true}) {
        SCOPED_TRACE(pushReference);
        Handle p = spectral(2, true, 3);
        ReferenceQueue queue(48000, 300);
        EchoCanceller canceller(48000.0, 250.0);
        std::optional<NoiseProcessor> noise =
            NoiseProcessor::create(2, 48000, kFrame, NeuralPolicy::spectralOnly);
        VoiceGate gate(3);
        const EchoScene scene(150);
        std::array<float, kFrame> reference{};
        std::array<float, kFrame> cancelled{};
        std::array<float, kFrame> want{};
        std::vector<float> got(kFrame);
        for (std::size_t f = 0; f < 150; ++f) {
            const std::span<const float> far = std::span(scene.far).subspan(f * kFrame, kFrame);
            const std::uint64_t t = kStartNs + f * kFrameNs;
            if (pushReference) {
                queue.push(far, t);
                amr_pipeline_push_reference(p.get(), far.data(), kFrame, t);
            }
            ASSERT_EQ(
                amr_pipeline_process(p.get(), scene.mic.data() + f * kFrame, got.data(), kFrame, t),
                1);
            EXPECT_EQ(queue.read_at(reference, t), pushReference);
            canceller.process(std::span<const float, kFrame>(scene.mic.data() + f * kFrame, kFrame),
                              reference, cancelled);
            ASSERT_TRUE(noise->process(cancelled, want));
            gate.process(want, noise->voiceProbability());
            ASSERT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << "frame " << f;
        }
        EXPECT_EQ(amr_pipeline_metrics(p.get()).far_end_active, pushReference);
    }
}

TEST(Pipeline, ResetAppliesAtTheNextFrameAndRestartsFromClearedState) {
    // After a posted reset nothing changes (state, metrics) until the next frame, which is then
    // processed exactly like a fresh pipeline's first frame; the neural flag stays as created.
    Handle used(amr_pipeline_create(1, 1, 2));
    const EchoScene scene(200);
    std::vector<float> out(kFrame);
    for (std::size_t f = 0; f < 100; ++f) {
        ASSERT_TRUE(scene.step(used.get(), f, out, 3'000'000));
    }
    const PipelineMetrics before = amr_pipeline_metrics(used.get());
    const float speechLevel = used->pipeline.voiceGate().speechLevelDb();
    amr_pipeline_reset(used.get());
    EXPECT_TRUE(sameMetrics(amr_pipeline_metrics(used.get()), before));
    EXPECT_EQ(used->pipeline.voiceGate().speechLevelDb(), speechLevel);
    EXPECT_GT(before.reference_lookback_ms, 0.0F);

    // The reset also empties the reference queue of what was pushed before the frame that applies
    // it, so the fresh pipeline gets no reference for that first frame either.
    Handle fresh(amr_pipeline_create(1, 1, 2));
    std::vector<float> freshOut(kFrame);
    ASSERT_TRUE(scene.step(used.get(), 100, out, 3'000'000));
    ASSERT_EQ(amr_pipeline_process(fresh.get(), scene.mic.data() + 100 * kFrame, freshOut.data(),
                                   kFrame, kStartNs + 100 * kFrameNs),
              1);
    ASSERT_EQ(out, freshOut);
    for (std::size_t f = 101; f < 200; ++f) {
        ASSERT_TRUE(scene.step(used.get(), f, out, 3'000'000));
        ASSERT_TRUE(scene.step(fresh.get(), f, freshOut, 3'000'000));
        ASSERT_EQ(out, freshOut) << "frame " << f;
    }
    EXPECT_TRUE(sameMetrics(amr_pipeline_metrics(used.get()), amr_pipeline_metrics(fresh.get())));
    EXPECT_EQ(amr_pipeline_uses_neural(used.get()), NeuralDenoiser::available() ? 1 : 0);
}

TEST(Pipeline, ProcessesInPlace) {
    // Input and output may be the same buffer.
    Handle a(amr_pipeline_create(1, 1, 2));
    Handle b(amr_pipeline_create(1, 1, 2));
    const std::vector<float> in = test::whiteNoise(50 * kFrame, 0.1F, 3);
    for (std::size_t at = 0; at < in.size(); at += kFrame) {
        std::vector<float> separate(kFrame);
        std::vector<float> inPlace(in.begin() + at, in.begin() + at + kFrame);
        ASSERT_EQ(amr_pipeline_process(a.get(), in.data() + at, separate.data(), kFrame, 0), 1);
        ASSERT_EQ(amr_pipeline_process(b.get(), inPlace.data(), inPlace.data(), kFrame, 0), 1);
        ASSERT_EQ(separate, inPlace);
    }
}

// Runs `frames` of the echo scene through a new default pipeline; returns its output.
std::vector<float> runScene(const EchoScene& scene, std::size_t frames) {
    Handle p(amr_pipeline_create(1, 1, 2));
    std::vector<float> out(frames * kFrame);
    for (std::size_t f = 0; f < frames; ++f) {
        EXPECT_TRUE(scene.step(p.get(), f, std::span(out).subspan(f * kFrame, kFrame)));
    }
    return out;
}

TEST(Pipeline, TwoPipelinesOnTwoThreadsMatchSequentialRuns) {
    // Pipelines share nothing: concurrent runs give bit-identical outputs to sequential ones.
    constexpr std::size_t kFrames = 150;
    const EchoScene scene(kFrames);
    const std::vector<float> sequentialA = runScene(scene, kFrames);
    const std::vector<float> sequentialB = runScene(scene, kFrames);
    std::vector<float> concurrentA;
    std::vector<float> concurrentB;
    std::thread ta([&] { concurrentA = runScene(scene, kFrames); });
    std::thread tb([&] { concurrentB = runScene(scene, kFrames); });
    ta.join();
    tb.join();
    EXPECT_EQ(sequentialA, sequentialB);
    EXPECT_EQ(concurrentA, sequentialA);
    EXPECT_EQ(concurrentB, sequentialA);
}

TEST(Pipeline, SettersReferencePushesAndMetricsRunConcurrentlyWithProcessing) {
    // Far-end pushes, setters, resets and metric reads from other threads while frames are
    // processed: every frame succeeds and every metric read is a value some frame published.
    Handle p(amr_pipeline_create(1, 1, 2));
    std::atomic<bool> done{false};
    const std::vector<float> far = test::whiteNoise(kFrame, 0.1F, 4);
    std::thread pusher([&] {
        for (std::uint64_t t = 0; !done.load(); t += kFrameNs) {
            amr_pipeline_push_reference(p.get(), far.data(), kFrame, t);
            std::this_thread::yield();
        }
    });
    std::thread setter([&] {
        for (std::uint32_t i = 0; !done.load(); ++i) {
            amr_pipeline_set_mode(p.get(), i % 4);
            amr_pipeline_set_voice_isolation(p.get(), i % 5);
            amr_pipeline_set_echo_cancellation(p.get(), static_cast<std::int32_t>(i % 3));
            if (i % 50 == 0) {
                amr_pipeline_reset(p.get());
            }
            std::this_thread::yield();
        }
    });
    std::thread reader([&] {
        while (!done.load()) {
            const PipelineMetrics m = amr_pipeline_metrics(p.get());
            EXPECT_GE(m.voice_gate_gain, 0.0F);
            EXPECT_LE(m.voice_gate_gain, 1.0F);
            EXPECT_GE(m.voice_probability, 0.0F);
            EXPECT_LE(m.voice_probability, 1.0F);
            EXPECT_LE(m.reference_lookback_ms, 200.0F);
        }
    });
    const std::vector<float> mic = test::whiteNoise(kFrame, 0.1F, 5);
    std::vector<float> out(kFrame);
    for (std::uint64_t f = 0; f < 1000; ++f) {
        ASSERT_EQ(amr_pipeline_process(p.get(), mic.data(), out.data(), kFrame, f * kFrameNs), 1);
    }
    done.store(true);
    pusher.join();
    setter.join();
    reader.join();
}

TEST(Pipeline, PublicHeaderCompilesAsC) {
    // The interface header is plain C11 (its layout assertions included) for C callers.
    if (std::system("cc --version > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no C compiler";
    }
    const std::string dir = std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/'));
    const std::string source = ::testing::TempDir() + "amberlin_core_c_check.c";
    std::ofstream(source) << "#include \"amberlin_core.h\"\n"
                             "int main(void) {\n"
                             "    PipelineMetrics m = amr_pipeline_metrics(0);\n"
                             "    return (int)m.far_end_active + amr_pipeline_uses_neural(0);\n"
                             "}\n";
    const std::string command = "cc -std=c11 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I" +
                                dir + "/../include " + source;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

}  // namespace
}  // namespace amberlin::core
