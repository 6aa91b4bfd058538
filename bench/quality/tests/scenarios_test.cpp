// The generated scenarios carry what the tables claim: levels, SNRs, the room's 40 ms delay, and
// each component where it belongs (rendered with espeak-ng at test time).
#include <gtest/gtest.h>

#include <array>
#include <memory>

#include "correlation.h"
#include "levels.h"
#include "scenarios.h"

namespace corvessa::quality {
namespace {

class QualityScenariosTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        SpeechSynth synth;
        set_ = std::make_unique<ScenarioSet>(buildScenarios(synth));
    }
    static void TearDownTestSuite() { set_.reset(); }

    static std::unique_ptr<ScenarioSet> set_;
};

std::unique_ptr<ScenarioSet> QualityScenariosTest::set_;

// The content of `s` without the silent flush at its end.
std::span<const float> content(const Signal& s, std::size_t length) {
    return std::span<const float>(s).first(length);
}

TEST_F(QualityScenariosTest, LevelsAndSignalToNoiseRatiosAreAsStated) {
    EXPECT_NEAR(activeLevelDbfs(set_->calibration.near), -26.0, 0.01);
    EXPECT_NEAR(activeLevelDbfs(set_->farEndOnly.echo), -25.0, 0.01);
    EXPECT_NEAR(activeLevelDbfs(set_->farEndOnly.far), -20.0, 0.01);
    Signal floor = set_->farEndOnly.mic;
    for (std::size_t i = 0; i < floor.size(); ++i) {
        floor[i] -= set_->farEndOnly.echo[i];
    }
    EXPECT_NEAR(rmsDbfs(content(floor, set_->farEndOnly.length)), -60.0, 0.1);
    ASSERT_EQ(set_->noisy.size(), kNoiseKinds.size() * kSnrsDb.size());
    for (const NoiseKind kind : kNoiseKinds) {
        for (const int snr : kSnrsDb) {
            const Scenario& s = set_->noisyAt(kind, snr);
            SCOPED_TRACE(s.name);
            Signal noise = s.mic;
            for (std::size_t i = 0; i < noise.size(); ++i) {
                noise[i] -= s.near[i];
            }
            EXPECT_NEAR(activeLevelDbfs(s.near) - rmsDbfs(content(noise, s.length)), snr, 0.05);
        }
    }
}

TEST_F(QualityScenariosTest, ComponentsSitWhereTheMetricsExpectThem) {
    const Scenario& farOnly = set_->farEndOnly;
    const DelayEstimate room = estimateDelay(farOnly.far, farOnly.echo, 4800);
    EXPECT_EQ(room.lag, 1920U);                    // 40 ms
    EXPECT_GT(farOnly.length, 20U * kSampleRate);  // room for 10 s of converged ERLE
    EXPECT_EQ(energyOf(farOnly.near), 0.0);
    EXPECT_EQ(energyOf(set_->calibration.far), 0.0);
    const Scenario& dt = set_->doubleTalk;
    const auto beforeTalk = std::span<const float>(dt.near).first(ScenarioSet::kDoubleTalkStart);
    EXPECT_EQ(energyOf(beforeTalk), 0.0);
    EXPECT_GT(rmsDbfs(std::span<const float>(dt.near).subspan(ScenarioSet::kDoubleTalkStart)),
              -40.0);
    const std::array<const Scenario*, 4> all = {&set_->calibration, &farOnly, &dt,
                                                &set_->noisy.front()};
    for (const Scenario* s : all) {
        SCOPED_TRACE(s->name);
        EXPECT_EQ(s->mic.size() % kFrame, 0U);
        EXPECT_EQ(s->far.size(), s->mic.size());
        EXPECT_GE(s->mic.size() - s->length, 20 * kFrame);  // a flush for every delay
        EXPECT_EQ(energyOf(std::span<const float>(s->mic).subspan(s->length)), 0.0);
    }
}

}  // namespace
}  // namespace corvessa::quality
