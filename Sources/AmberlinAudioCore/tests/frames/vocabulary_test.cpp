// Tests of the shared vocabulary: frames, stored enumerations, metrics records, the processor
// error and the processors' default behaviour.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "AmberlinAudioCore/AudioFrame.h"
#include "AmberlinAudioCore/SuppressionMode.h"

namespace {

using amberlin::AudioFrame;
using amberlin::NoiseProcessorError;
using amberlin::NoiseProcessorType;
using amberlin::ProcessorMetrics;
using amberlin::SuppressionMode;
using amberlin::VoiceIsolationLevel;
using nlohmann::json;

// Raw values and display names of every case, in declaration order.
template <class E, std::size_t N>
void expectNames(const std::array<E, N>& cases, const std::vector<std::string>& raw,
                 const std::vector<std::string>& display) {
    ASSERT_EQ(N, raw.size());
    for (std::size_t i = 0; i < N; ++i) {
        SCOPED_TRACE(raw[i]);
        EXPECT_EQ(static_cast<std::size_t>(cases[i]), i);
        EXPECT_EQ(amberlin::rawValue(cases[i]), raw[i]);
        EXPECT_EQ(amberlin::displayName(cases[i]), display[i]);
        EXPECT_EQ(amberlin::fromRawValue<E>(raw[i]), cases[i]);
        EXPECT_EQ(json(cases[i]), json(raw[i]));
        EXPECT_EQ(json(raw[i]).get<E>(), cases[i]);
    }
}

}  // namespace

// A frame holds exactly 480 samples; any other count stops the process.
TEST(AudioFrameDeathTest, RequiresExactly480Samples) {
    const std::vector<float> short479(479, 0.1f);
    const std::vector<float> long481(481, 0.1f);
    EXPECT_DEATH(AudioFrame{std::span<const float>(short479)}, "exactly 480 samples");
    EXPECT_DEATH(AudioFrame{std::span<const float>(long481)}, "exactly 480 samples");
}

// RMS is sqrt(mean square); equality compares every sample.
TEST(AudioFrame, RmsAndEquality) {
    std::vector<float> samples(480, 0.0f);
    EXPECT_EQ(AudioFrame(std::span<const float>(samples)).rms(), 0.0f);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = (i % 2 == 0) ? 0.5f : -0.5f;
    }
    const AudioFrame frame{std::span<const float>(samples)};
    EXPECT_FLOAT_EQ(frame.rms(), 0.5f);
    AudioFrame other = frame;
    EXPECT_EQ(other, frame);
    other.samples[479] = 0.25f;
    EXPECT_NE(other, frame);
    EXPECT_EQ(AudioFrame().rms(), 0.0f);
}

// Every enumeration lists its cases in table order with their raw values and display names.
TEST(StoredEnumerations, NamesAndOrder) {
    expectNames(amberlin::allCases<NoiseProcessorType>, {"rnnoise"}, {"RNNoise"});
    expectNames(amberlin::allCases<SuppressionMode>, {"light", "balanced", "max"},
                {"Light", "Balanced", "Max"});
    expectNames(amberlin::allCases<VoiceIsolationLevel>, {"off", "light", "balanced", "strong"},
                {"Off", "Light", "Balanced", "Strong"});
}

// Raw values are matched exactly; decoding rejects other strings and non-strings, except that
// any string decodes as the processor type rnnoise.
TEST(StoredEnumerations, DecodingRules) {
    EXPECT_FALSE(amberlin::fromRawValue<SuppressionMode>("strong").has_value());
    EXPECT_FALSE(amberlin::fromRawValue<SuppressionMode>("Light").has_value());
    EXPECT_FALSE(amberlin::fromRawValue<VoiceIsolationLevel>("max").has_value());
    EXPECT_FALSE(amberlin::fromRawValue<NoiseProcessorType>("spectral").has_value());

    EXPECT_THROW(json("strong").get<SuppressionMode>(), json::exception);
    EXPECT_THROW(json("max").get<VoiceIsolationLevel>(), json::exception);
    EXPECT_THROW(json(1).get<SuppressionMode>(), json::exception);
    EXPECT_THROW(json(nullptr).get<VoiceIsolationLevel>(), json::exception);

    EXPECT_EQ(json("spectral").get<NoiseProcessorType>(), NoiseProcessorType::rnnoise);
    EXPECT_EQ(json("").get<NoiseProcessorType>(), NoiseProcessorType::rnnoise);
    EXPECT_THROW(json(0).get<NoiseProcessorType>(), json::exception);
    EXPECT_THROW(json(true).get<NoiseProcessorType>(), json::exception);
}

// The processor metrics encode as exactly three keys, with floats in their shortest form, and
// decoding requires all three with the right types.
TEST(ProcessorMetricsJson, KeysTypesAndRoundTrip) {
    const ProcessorMetrics metrics{0.5f, 0.25f, true};
    const json encoded = metrics;
    EXPECT_EQ(encoded, json::parse(R"({"inputRMS":0.5,"outputRMS":0.25,"voiceActive":true})"));
    EXPECT_EQ(encoded.get<ProcessorMetrics>(), metrics);
    EXPECT_EQ(json(ProcessorMetrics{0.1f, 0.0f, false}).dump(),
              R"({"inputRMS":0.1,"outputRMS":0.0,"voiceActive":false})");

    EXPECT_EQ(
        json::parse(R"({"inputRMS":1,"outputRMS":0,"voiceActive":false})").get<ProcessorMetrics>(),
        (ProcessorMetrics{1.0f, 0.0f, false}));
    for (const char* bad :
         {R"({"inputRMS":0.5,"outputRMS":0.25})", R"({"inputRMS":0.5,"voiceActive":true})",
          R"({"inputRMS":true,"outputRMS":0.25,"voiceActive":true})",
          R"({"inputRMS":0.5,"outputRMS":0.25,"voiceActive":1})", "[]"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(json::parse(bad).get<ProcessorMetrics>(), json::exception);
    }
}

// Echo metrics start with a fully open gate and everything else zero.
TEST(EchoMetrics, Defaults) {
    const amberlin::EchoMetrics metrics;
    EXPECT_EQ(metrics.voiceGateGain, 1.0f);
    EXPECT_EQ(metrics, (amberlin::EchoMetrics{0.0f, 0.0f, 0.0f, 1.0f, false}));
}

// Errors compare by case and payload and describe themselves by their case name.
TEST(NoiseProcessorErrorCases, PayloadsAndNames) {
    EXPECT_EQ(NoiseProcessorError::unsupportedSampleRate(44100.0),
              NoiseProcessorError::unsupportedSampleRate(44100.0));
    EXPECT_NE(NoiseProcessorError::unsupportedSampleRate(44100.0),
              NoiseProcessorError::unsupportedSampleRate(96000.0));
    EXPECT_NE(NoiseProcessorError::allocationFailed(), NoiseProcessorError::processingFailed());
    EXPECT_EQ(NoiseProcessorError::unsupportedChannelCount(2).channelCount(), 2);
    EXPECT_STREQ(NoiseProcessorError::unsupportedSampleRate(1.0).what(), "unsupportedSampleRate");
    EXPECT_STREQ(NoiseProcessorError::unsupportedChannelCount(2).what(), "unsupportedChannelCount");
    EXPECT_STREQ(NoiseProcessorError::allocationFailed().what(), "allocationFailed");
    EXPECT_STREQ(NoiseProcessorError::processingFailed().what(), "processingFailed");
}

namespace {

// Records what the default behaviours forward to.
class RecordingProcessor final : public amberlin::NoiseProcessor {
  public:
    using NoiseProcessor::prepare;
    using NoiseProcessor::process;
    NoiseProcessorType type() const override { return NoiseProcessorType::rnnoise; }
    SuppressionMode mode() const override { return SuppressionMode::light; }
    void setMode(SuppressionMode) override {}
    ProcessorMetrics metrics() const override { return {}; }
    std::string engineName() const override { return "recording"; }
    void prepare(double rate, std::int64_t channels) override {
        preparedRate = rate;
        preparedChannels = channels;
    }
    AudioFrame process(const AudioFrame& frame) override {
        ++processed;
        AudioFrame out = frame;
        out.samples[0] += 1.0f;
        return out;
    }
    void reset() override {}

    double preparedRate = 0.0;
    std::int64_t preparedChannels = 0;
    int processed = 0;
};

}  // namespace

// prepare() declares 48 kHz mono; the timed process ignores the time and forwards the frame.
TEST(NoiseProcessorDefaults, PrepareAndTimedProcessForward) {
    RecordingProcessor processor;
    amberlin::NoiseProcessor& base = processor;
    base.prepare();
    EXPECT_EQ(processor.preparedRate, 48000.0);
    EXPECT_EQ(processor.preparedChannels, 1);
    const AudioFrame out = base.process(AudioFrame(), 123456789u);
    EXPECT_EQ(processor.processed, 1);
    EXPECT_EQ(out.samples[0], 1.0f);
}
