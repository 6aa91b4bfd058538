// "Corvessa Mic" hosted from the real plug-in inside the simulated audio system: an application
// lists it with its UID and name through the AudioObject* calls, and recording from it with a
// capture unit returns the frames a producer wrote into the shared ring, in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FreshPlugin.h"
#include "amberlin/am_shared_ring.h"
#include "audioserver/SimulatedSystemBridge.h"
#include "platform/AudioHardware.h"
#include "platform/AudioUnit.h"

namespace {

using namespace platform;

constexpr AudioObjectID kMic = 10;
constexpr AudioObjectID kFirstPluginID = 100;
constexpr UInt32 kFrame = 480;

AudioObjectPropertyAddress global(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

std::string readString(AudioObjectID object, AudioObjectPropertySelector selector) {
    const auto where = global(selector);
    CFStringRef string = nullptr;
    UInt32 size = sizeof(string);
    if (AudioObjectGetPropertyData(object, &where, 0, nullptr, &size, &string) != 0) {
        return "";
    }
    std::string text = CFStringGetCStringPtr(string, kCFStringEncodingUTF8);
    CFRelease(string);
    return text;
}

/// Mono samples the input callback rendered, sized before IO starts.
struct Recorder {
    AudioUnit unit = nullptr;
    std::vector<float> samples = std::vector<float>(16 * kFrame);
    std::size_t written = 0;
    std::vector<OSStatus> statuses;
};

OSStatus record(void* context, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* time,
                UInt32 bus, UInt32 frames, AudioBufferList*) {
    auto& recorder = *static_cast<Recorder*>(context);
    AudioBufferList list{1, {{1, frames * 4, recorder.samples.data() + recorder.written}}};
    recorder.statuses.push_back(AudioUnitRender(recorder.unit, flags, time, bus, frames, &list));
    recorder.written += frames;
    return 0;
}

class SimulatedSystemBridgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        producer_ = am_shared_ring_open(am_shared_ring_default_name(), true, 32, kFrame);
        ASSERT_NE(producer_, nullptr);
        am_shared_ring_clear(producer_);
        ASSERT_EQ(host_->initialize(), 0);
        system_->addDevice({.id = kMic, .uid = "builtin-mic", .name = "Built-in Microphone"});
        system_->setDefaultInputDevice(kMic);
        published_ = audioserver::publishPluginDevices(*system_, host_, kFirstPluginID);
    }
    void TearDown() override { am_shared_ring_close(producer_); }

    /// Starts a mono capture unit on `device` the way an application records.
    OSStatus startRecording(AudioObjectID device) {
        const AudioComponentDescription wanted{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                               kAudioUnitManufacturer_Apple, 0, 0};
        if (OSStatus s = AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &wanted),
                                                   &recorder_.unit)) {
            return s;
        }
        const UInt32 on = 1;
        const AudioStreamBasicDescription mono{
            48'000.0, kAudioFormatLinearPCM, kAudioFormatFlagsNativeFloatPacked, 4, 1, 4, 1, 32, 0};
        const AURenderCallbackStruct callback{record, &recorder_};
        OSStatus s = AudioUnitSetProperty(recorder_.unit, kAudioOutputUnitProperty_EnableIO,
                                          kAudioUnitScope_Input, 1, &on, 4);
        s = s ? s
              : AudioUnitSetProperty(recorder_.unit, kAudioOutputUnitProperty_CurrentDevice,
                                     kAudioUnitScope_Global, 0, &device, 4);
        s = s ? s
              : AudioUnitSetProperty(recorder_.unit, kAudioUnitProperty_StreamFormat,
                                     kAudioUnitScope_Output, 1, &mono, sizeof(mono));
        s = s ? s
              : AudioUnitSetProperty(recorder_.unit, kAudioOutputUnitProperty_SetInputCallback,
                                     kAudioUnitScope_Global, 0, &callback, sizeof(callback));
        s = s ? s : AudioUnitInitialize(recorder_.unit);
        return s ? s : AudioOutputUnitStart(recorder_.unit);
    }

    UInt32 deviceIsRunning(AudioObjectID device) {
        const auto where = global(kAudioDevicePropertyDeviceIsRunning);
        UInt32 running = 99, size = 4;
        AudioObjectGetPropertyData(device, &where, 0, nullptr, &size, &running);
        return running;
    }

    corvessa::testing::FreshPluginCopy copy_{HAL_PLUGIN_PATH};
    std::shared_ptr<audioserver::PluginHost> host_ =
        std::make_shared<audioserver::PluginHost>(copy_.path());
    std::shared_ptr<SimulatedAudioSystem> system_ = SimulatedAudioSystem::create();
    ScopedAudioSystem installed_{system_};
    std::vector<AudioObjectID> published_;
    am_shared_ring* producer_ = nullptr;
    Recorder recorder_;
};

TEST_F(SimulatedSystemBridgeTest, ApplicationsListCorvessaMicWithItsUIDAndFormat) {
    // The plug-in's one device appears after the physical microphone, as a mono 48 kHz input.
    ASSERT_EQ(published_, (std::vector<AudioObjectID>{kFirstPluginID}));
    const auto devices = global(kAudioHardwarePropertyDevices);
    std::vector<AudioObjectID> ids(4, 0);
    UInt32 size = 16;
    ASSERT_EQ(AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices, 0, nullptr, &size,
                                         ids.data()),
              0);
    ids.resize(size / 4);
    EXPECT_EQ(ids, (std::vector<AudioObjectID>{kMic, kFirstPluginID}));
    EXPECT_EQ(readString(kFirstPluginID, kAudioDevicePropertyDeviceUID),
              "com.halvern.corvessa.mic.device");
    EXPECT_EQ(readString(kFirstPluginID, kAudioObjectPropertyName), "Corvessa Mic");

    const AudioObjectPropertyAddress layout{kAudioDevicePropertyStreamConfiguration,
                                            kAudioObjectPropertyScopeInput, 0};
    AudioBufferList list{};
    size = sizeof(list);
    ASSERT_EQ(AudioObjectGetPropertyData(kFirstPluginID, &layout, 0, nullptr, &size, &list), 0);
    EXPECT_EQ(list.mBuffers[0].mNumberChannels, 1u);
    Float64 rate = 0;
    size = sizeof(rate);
    const auto nominal = global(kAudioDevicePropertyNominalSampleRate);
    ASSERT_EQ(AudioObjectGetPropertyData(kFirstPluginID, &nominal, 0, nullptr, &size, &rate), 0);
    EXPECT_EQ(rate, 48'000.0);
    const UInt32 frames = 128;
    const auto frameSize = global(kAudioDevicePropertyBufferFrameSize);
    EXPECT_NE(AudioObjectSetPropertyData(kFirstPluginID, &frameSize, 0, nullptr, 4, &frames), 0)
        << "the plug-in's properties are read-only";
}

TEST_F(SimulatedSystemBridgeTest, RecordingReturnsTheFramesWrittenToTheRing) {
    // Three frames written by a producer come out of the device in order, across cycles that do
    // not line up with frames; then the empty ring yields silence. Starting and stopping the
    // recording is seen by the device and published in the ring.
    std::vector<float> frame(kFrame);
    for (int k = 1; k <= 3; ++k) {
        for (UInt32 i = 0; i < kFrame; ++i) {
            frame[i] = float(k) + float(i) / 1000.0f;
        }
        ASSERT_EQ(am_shared_ring_write_latest(producer_, frame.data(), kFrame), 1);
    }
    ASSERT_EQ(startRecording(kFirstPluginID), 0);
    EXPECT_EQ(deviceIsRunning(kFirstPluginID), 1u);
    EXPECT_EQ(am_shared_ring_health(producer_).consumer_running_count, 1u);
    ASSERT_EQ(system_->pump({.cycles = 4, .frames = 384, .device = kFirstPluginID}), 1u);
    EXPECT_EQ(recorder_.statuses, (std::vector<OSStatus>(4, 0)));
    ASSERT_EQ(recorder_.written, 4 * 384u);
    for (std::size_t n = 0; n < recorder_.written; ++n) {
        const std::size_t k = n / kFrame + 1, i = n % kFrame;
        const float expected = k <= 3 ? float(k) + float(i) / 1000.0f : 0.0f;
        ASSERT_EQ(recorder_.samples[n], expected) << "sample " << n;
    }
    ASSERT_EQ(AudioOutputUnitStop(recorder_.unit), 0);
    EXPECT_EQ(deviceIsRunning(kFirstPluginID), 0u);
    EXPECT_EQ(am_shared_ring_health(producer_).consumer_running_count, 0u);
    EXPECT_EQ(AudioComponentInstanceDispose(recorder_.unit), 0);
}

}  // namespace
