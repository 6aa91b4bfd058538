// The voice path end to end in the simulated system: a microphone plays speech in pink noise,
// "CorvessaHelper --run" captures, cleans and writes it into "/amvmic", and an application
// records "Corvessa Mic" from the real plug-in hosted in the same system. The recording must be
// the cleaned voice: noise in the speech pauses at least 20 dB down, speech within 3 dB of its
// level at the microphone, and the whole path delayed by a fixed, small amount. Noise before
// the first word is measured but not held to the 20 dB: until the voice gate has heard speech it
// stays open, and the neural suppressor alone takes loud pink noise for voice (about 5 to 7 dB).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "FreshPlugin.h"
#include "HelperFixture.h"
#include "audioserver/PluginHost.h"
#include "audioserver/SimulatedSystemBridge.h"
#include "platform/AudioUnit.h"
#include "platform/testing/VoiceScene.h"

namespace {

using corvessa::testing::BackgroundRun;
using corvessa::testing::eventually;
using corvessa::testing::HelperFixture;
using corvessa::testing::RingView;
using corvessa::testing::rmsOf;

constexpr UInt32 kFrame = 480;             // samples per 10 ms
constexpr AudioObjectID kMicrophone = 10;  // the simulated physical microphone
constexpr AudioObjectID kFirstPluginID = 100;
constexpr double kSpeechPeak = 0.5;      // linear
constexpr double kSnrDb = 15.0;          // active speech over noise, dB
constexpr std::size_t kMaxDelay = 4800;  // samples (100 ms) searched for the path delay

using Scene = corvessa::testing::VoiceScene;

std::optional<Scene> makeScene() {
    return corvessa::testing::makeVoiceScene(
        {"The quick brown fox jumps over the lazy dog.",
         "Please call Stella and ask her to bring these things."},
        kSpeechPeak, kSnrDb, 7);
}

// Mono 48 kHz samples an application records from "Corvessa Mic", sized before IO starts.
struct Recorder {
    AudioUnit unit = nullptr;
    std::vector<float> samples;
    std::size_t written = 0;  // touched only by the IO thread while it runs
    std::atomic<int> failedRenders{0};
};

OSStatus record(void* context, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* time,
                UInt32 bus, UInt32 frames, AudioBufferList*) {
    auto& recorder = *static_cast<Recorder*>(context);
    if (recorder.written + frames > recorder.samples.size()) {
        return 0;
    }
    AudioBufferList list{1, {{1, frames * 4, recorder.samples.data() + recorder.written}}};
    if (AudioUnitRender(recorder.unit, flags, time, bus, frames, &list) != 0) {
        recorder.failedRenders.fetch_add(1);
    }
    recorder.written += frames;
    return 0;
}

// Starts a mono 48 kHz capture unit on `device` the way a meeting application records.
OSStatus startRecording(Recorder& recorder, AudioObjectID device) {
    const AudioComponentDescription wanted{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                           kAudioUnitManufacturer_Apple, 0, 0};
    OSStatus s =
        AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &wanted), &recorder.unit);
    const UInt32 on = 1;
    const AudioStreamBasicDescription mono{
        48'000.0, kAudioFormatLinearPCM, kAudioFormatFlagsNativeFloatPacked, 4, 1, 4, 1, 32, 0};
    const AURenderCallbackStruct callback{record, &recorder};
    s = s ? s
          : AudioUnitSetProperty(recorder.unit, kAudioOutputUnitProperty_EnableIO,
                                 kAudioUnitScope_Input, 1, &on, 4);
    s = s ? s
          : AudioUnitSetProperty(recorder.unit, kAudioOutputUnitProperty_CurrentDevice,
                                 kAudioUnitScope_Global, 0, &device, 4);
    s = s ? s
          : AudioUnitSetProperty(recorder.unit, kAudioUnitProperty_StreamFormat,
                                 kAudioUnitScope_Output, 1, &mono, sizeof(mono));
    s = s ? s
          : AudioUnitSetProperty(recorder.unit, kAudioOutputUnitProperty_SetInputCallback,
                                 kAudioUnitScope_Global, 0, &callback, sizeof(callback));
    s = s ? s : AudioUnitInitialize(recorder.unit);
    return s ? s : AudioOutputUnitStart(recorder.unit);
}

class HelperEndToEndTest : public HelperFixture {
  protected:
    void SetUp() override {
        HelperFixture::SetUp();
        environment_.ringName = "/amvmic";  // the name the plug-in reads; never removed
        privateRing_ = false;
        ASSERT_EQ(host_->initialize(), 0);
        ASSERT_EQ(audioserver::publishPluginDevices(*system_, host_, kFirstPluginID),
                  std::vector<AudioObjectID>{kFirstPluginID});
    }

    // Plays the scene through the microphone and records the virtual device in lockstep: one
    // microphone cycle of 10 ms, wait for its frame in the ring, one recording cycle.
    void playAndRecord(const Scene& scene, const RingView& ring) {
        const std::size_t cycles = scene.input.size() / kFrame;
        for (std::size_t cycle = 0; cycle < cycles; ++cycle) {
            ASSERT_EQ(system_->pump({.cycles = 1, .frames = kFrame, .device = kMicrophone}), 1u);
            ASSERT_TRUE(eventually([&] { return ring.health().available_read_frames >= 1; }))
                << "no frame reached the ring in cycle " << cycle;
            ASSERT_EQ(system_->pump({.cycles = 1, .frames = kFrame, .device = kFirstPluginID}), 1u);
        }
    }

    corvessa::testing::FreshPluginCopy copy_{HAL_PLUGIN_PATH};
    std::shared_ptr<audioserver::PluginHost> host_ =
        std::make_shared<audioserver::PluginHost>(copy_.path());
};

TEST_F(HelperEndToEndTest, CorvessaMicDeliversTheCleanedVoice) {
    const std::optional<Scene> scene = makeScene();
    ASSERT_TRUE(scene.has_value()) << "espeak-ng could not render the speech";
    const auto input = std::make_shared<const std::vector<float>>(scene->input);
    auto source = std::make_shared<platform::CallbackSource>(
        [input](std::span<float> block, UInt32, std::uint64_t first) {
            for (std::size_t i = 0; i < block.size(); ++i) {
                block[i] = first + i < input->size() ? (*input)[first + i] : 0.0f;
            }
        });
    ASSERT_NE(system_->addDevice({.id = kMicrophone,
                                  .uid = "test-mic",
                                  .name = "Test Mic",
                                  .bufferFrameSize = kFrame,
                                  .source = source}),
              nullptr);
    system_->setDefaultInputDevice(kMicrophone);
    RingView ring("/amvmic");
    ASSERT_TRUE(ring.valid());

    BackgroundRun helper(environment_);
    ASSERT_TRUE(eventually([&] { return ring.producerAttached(); }));
    Recorder recorder;
    recorder.samples.assign(scene->input.size(), 0.0f);
    ASSERT_EQ(startRecording(recorder, kFirstPluginID), 0);
    const auto before = ring.health();
    ASSERT_NO_FATAL_FAILURE(playAndRecord(*scene, ring));
    const auto after = ring.health();

    EXPECT_EQ(AudioOutputUnitStop(recorder.unit), 0);
    EXPECT_EQ(AudioComponentInstanceDispose(recorder.unit), 0);
    const auto result = helper.finish();
    ASSERT_EQ(result.status, 0) << result.err;
    ASSERT_EQ(recorder.written, scene->input.size());
    EXPECT_EQ(recorder.failedRenders.load(), 0);
    // The ring's counters live as long as "/amvmic" does, so only their growth counts.
    EXPECT_EQ(after.underrun_count - before.underrun_count, 0u) << "a recording cycle found none";
    EXPECT_EQ(after.overrun_count - before.overrun_count, 0u);

    const auto figures = corvessa::testing::measureVoice(*scene, recorder.samples, kMaxDelay);
    std::printf(
        "[  figures ] noise in speech pauses %.1f dB down (before the first word %.1f dB), "
        "speech level %+.2f dB, delay %zu samples (%.2f ms); %zu speech / %zu pause frames\n",
        figures.pauseAttenuation(), figures.leadInAttenuation, figures.speechChange(),
        figures.delay, figures.delayMs(), figures.speechFrames, figures.pauseFrames);
    RecordProperty("pause_noise_attenuation_db", std::to_string(figures.pauseAttenuation()));
    RecordProperty("lead_in_noise_attenuation_db", std::to_string(figures.leadInAttenuation));
    RecordProperty("speech_level_change_db", std::to_string(figures.speechChange()));
    RecordProperty("delay_ms", std::to_string(figures.delayMs()));
    EXPECT_LT(figures.delay, kMaxDelay) << "no plausible delay within 100 ms";
    EXPECT_GE(figures.pauseAttenuation(), 20.0);
    EXPECT_LE(std::abs(figures.speechChange()), 3.0);
}

}  // namespace
