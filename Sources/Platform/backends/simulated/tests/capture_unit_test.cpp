// The simulated capture unit driven through the AudioComponent* / AudioUnit* calls the way a
// capture pipeline drives it: lifecycle, callbacks on their own thread with the requested block
// sizes and time stamps, render conversion to the client layout, and every call's fault.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/AudioFormat.h"
#include "platform/AudioUnit.h"
#include "platform/HostClock.h"
#include "platform/SimulatedAudioSystem.h"

namespace {

using namespace platform;
using namespace std::chrono_literals;

constexpr AudioObjectID kMic = 30;

/// Writes frame index f as +f on channel 0 and -f on channel 1 (and 100 + c on others).
std::shared_ptr<SignalSource> rampSource() {
    return std::make_shared<CallbackSource>(
        [](std::span<float> block, UInt32 channels, std::uint64_t first) {
            for (std::size_t f = 0; f < block.size() / channels; ++f) {
                for (UInt32 c = 0; c < channels; ++c) {
                    const auto index = static_cast<float>(first + f);
                    block[f * channels + c] = c == 0 ? index : c == 1 ? -index : 100.0f + c;
                }
            }
        });
}

/// What the input callback saw, written on the IO thread and read after a pump returns.
struct Capture {
    AudioUnit unit = nullptr;
    UInt32 clientChannels = 1;
    bool interleaved = true;
    std::vector<std::thread::id> threads;
    std::vector<UInt32> frames;
    std::vector<AudioTimeStamp> stamps;
    std::vector<OSStatus> renderStatus;
    std::vector<std::vector<float>> blocks;  // per callback: interleaved, or channel after channel
};

OSStatus inputCallback(void* context, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* time,
                       UInt32 bus, UInt32 frames, AudioBufferList*) {
    auto& capture = *static_cast<Capture*>(context);
    capture.threads.push_back(std::this_thread::get_id());
    capture.frames.push_back(frames);
    capture.stamps.push_back(*time);
    std::vector<float> samples(static_cast<std::size_t>(frames) * capture.clientChannels);
    std::vector<std::byte> listBytes(sizeof(AudioBufferList) + 8 * sizeof(AudioBuffer));
    auto* list = reinterpret_cast<AudioBufferList*>(listBytes.data());
    const UInt32 buffers = capture.interleaved ? 1 : capture.clientChannels;
    const UInt32 perBuffer = capture.interleaved ? capture.clientChannels : 1;
    list->mNumberBuffers = buffers;
    for (UInt32 b = 0; b < buffers; ++b) {
        list->mBuffers[b] = {perBuffer, frames * perBuffer * 4, samples.data() + b * frames};
    }
    capture.renderStatus.push_back(AudioUnitRender(capture.unit, flags, time, bus, frames, list));
    capture.blocks.push_back(samples);
    return kAudioHardwareNoError;
}

class CaptureUnitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        system_->addDevice({.id = kMic,
                            .uid = "mic",
                            .name = "Mic",
                            .inputChannels = 2,
                            .nominalSampleRate = 48'000.0,
                            .bufferFrameSize = 512,
                            .source = rampSource()});
        system_->setDefaultInputDevice(kMic);
    }

    void TearDown() override {
        if (capture_.unit != nullptr) {
            EXPECT_EQ(AudioComponentInstanceDispose(capture_.unit), kAudioHardwareNoError);
        }
    }

    /// Builds, configures, initialises and starts a unit as the capture pipeline does; returns the
    /// first failing status.
    OSStatus startUnit(UInt32 clientChannels = 1, bool interleaved = true) {
        capture_.clientChannels = clientChannels;
        capture_.interleaved = interleaved;
        const AudioComponentDescription wanted{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                               kAudioUnitManufacturer_Apple, 0, 0};
        AudioComponent component = AudioComponentFindNext(nullptr, &wanted);
        if (component == nullptr) {
            return kAudioUnitErr_FailedInitialization;
        }
        if (OSStatus s = AudioComponentInstanceNew(component, &capture_.unit)) {
            return s;
        }
        if (OSStatus s = configure(clientChannels, interleaved)) {
            return s;
        }
        if (OSStatus s = AudioUnitInitialize(capture_.unit)) {
            return s;
        }
        return AudioOutputUnitStart(capture_.unit);
    }

    OSStatus configure(UInt32 channels, bool interleaved) {
        const UInt32 on = 1, off = 0;
        AudioUnit unit = capture_.unit;
        if (OSStatus s = AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO,
                                              kAudioUnitScope_Input, 1, &on, 4)) {
            return s;
        }
        if (OSStatus s = AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO,
                                              kAudioUnitScope_Output, 0, &off, 4)) {
            return s;
        }
        const AudioObjectID device = kMic;
        if (OSStatus s = AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice,
                                              kAudioUnitScope_Global, 0, &device, 4)) {
            return s;
        }
        AudioStreamBasicDescription deviceSide{};
        UInt32 size = sizeof(deviceSide);
        if (OSStatus s = AudioUnitGetProperty(unit, kAudioUnitProperty_StreamFormat,
                                              kAudioUnitScope_Input, 1, &deviceSide, &size)) {
            return s;
        }
        const UInt32 frameBytes = interleaved ? 4 * channels : 4;
        const AudioStreamBasicDescription client{
            deviceSide.mSampleRate,
            kAudioFormatLinearPCM,
            kAudioFormatFlagsNativeFloatPacked |
                (interleaved ? 0 : kAudioFormatFlagIsNonInterleaved),
            frameBytes,
            1,
            frameBytes,
            channels,
            32,
            0};
        if (OSStatus s = AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat,
                                              kAudioUnitScope_Output, 1, &client, sizeof(client))) {
            return s;
        }
        const AURenderCallbackStruct callback{inputCallback, &capture_};
        return AudioUnitSetProperty(unit, kAudioOutputUnitProperty_SetInputCallback,
                                    kAudioUnitScope_Global, 0, &callback, sizeof(callback));
    }

    std::shared_ptr<SimulatedAudioSystem> system_ = SimulatedAudioSystem::create();
    ScopedAudioSystem installed_{system_};
    Capture capture_;
};

TEST_F(CaptureUnitTest, CallbacksRunOnTheUnitsOwnThreadWithRequestedSizesAndStamps) {
    // Pumped cycles arrive on one thread that is not the test's, with the pumped block size or
    // else the device's buffer size, and stamps that advance by exactly the frames delivered.
    ManualHostClock clock(1'000'000, 125, 3);  // one tick = 41.67 ns: 500 ticks per frame
    ScopedHostClock installedClock(clock);
    ASSERT_EQ(startUnit(), kAudioHardwareNoError);
    EXPECT_EQ(system_->pump({.cycles = 2, .frames = 256}), 1u);
    EXPECT_EQ(system_->pump({.cycles = 1}), 1u);
    const AudioObjectPropertyAddress frameSize{kAudioDevicePropertyBufferFrameSize,
                                               kAudioObjectPropertyScopeGlobal, 0};
    const UInt32 small = 128;
    ASSERT_EQ(AudioObjectSetPropertyData(kMic, &frameSize, 0, nullptr, 4, &small), 0);
    EXPECT_EQ(system_->pump({.cycles = 1}), 1u);

    ASSERT_EQ(capture_.frames, (std::vector<UInt32>{256, 256, 512, 128}));
    for (std::size_t i = 0; i < capture_.threads.size(); ++i) {
        EXPECT_NE(capture_.threads[i], std::this_thread::get_id());
        EXPECT_EQ(capture_.threads[i], capture_.threads[0]);
    }
    const std::vector<double> sampleTimes{0, 256, 512, 1024};
    for (std::size_t i = 0; i < sampleTimes.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(capture_.stamps[i].mSampleTime, sampleTimes[i]);
        EXPECT_EQ(capture_.stamps[i].mHostTime, 1'000'000 + 500 * UInt64(sampleTimes[i]));
        EXPECT_TRUE(capture_.stamps[i].mFlags & kAudioTimeStampHostTimeValid);
    }
    system_->setHostTimeValid(false);
    system_->pump({});
    EXPECT_FALSE(capture_.stamps.back().mFlags & kAudioTimeStampHostTimeValid);
}

TEST_F(CaptureUnitTest, RenderDeliversTheDeviceBlockInTheClientLayout) {
    // A stereo device rendered to a mono client keeps channel 0; to a planar stereo client both
    // channels land in their own buffers; sample order continues across cycles.
    ASSERT_EQ(startUnit(1, true), kAudioHardwareNoError);
    system_->pump({.cycles = 2, .frames = 64});
    ASSERT_EQ(capture_.blocks.size(), 2u);
    EXPECT_EQ(capture_.renderStatus, (std::vector<OSStatus>{0, 0}));
    for (std::size_t f = 0; f < 64; ++f) {
        EXPECT_EQ(capture_.blocks[0][f], static_cast<float>(f));
        EXPECT_EQ(capture_.blocks[1][f], static_cast<float>(64 + f));
    }
    AudioComponentInstanceDispose(capture_.unit);
    capture_ = {};

    ASSERT_EQ(startUnit(3, false), kAudioHardwareNoError);
    system_->pump({.frames = 32});
    ASSERT_EQ(capture_.renderStatus, (std::vector<OSStatus>{0}));
    const auto& planar = capture_.blocks[0];
    for (std::size_t f = 0; f < 32; ++f) {
        EXPECT_EQ(planar[f], static_cast<float>(f));
        EXPECT_EQ(planar[32 + f], -static_cast<float>(f));
        EXPECT_EQ(planar[64 + f], 0.0f) << "a channel the device lacks is silent";
    }
}

TEST_F(CaptureUnitTest, RenderRefusesWhatItCannotDeliver) {
    // Outside the callback, a wrong bus, more frames than the cycle, short buffers and an
    // injected render fault each return their own status.
    ASSERT_EQ(startUnit(), kAudioHardwareNoError);
    std::vector<float> samples(1024);
    AudioBufferList list{1, {{1, 4096, samples.data()}}};
    const AudioTimeStamp stamp{};
    EXPECT_EQ(AudioUnitRender(capture_.unit, nullptr, &stamp, 1, 64, &list),
              kAudioUnitErr_CannotDoInCurrentContext);

    struct Probe {
        AudioUnit unit;
        std::vector<OSStatus> results;
    } probe{capture_.unit, {}};
    const AURenderCallbackStruct callback{
        [](void* context, AudioUnitRenderActionFlags*, const AudioTimeStamp* time, UInt32,
           UInt32 frames, AudioBufferList*) -> OSStatus {
            auto& p = *static_cast<Probe*>(context);
            std::vector<float> room(4096);
            AudioBufferList ok{1, {{1, 4 * frames, room.data()}}};
            AudioBufferList small{1, {{1, 4 * frames - 4, room.data()}}};
            AudioBufferList stereo{1, {{2, 8 * frames, room.data()}}};
            p.results = {AudioUnitRender(p.unit, nullptr, time, 0, frames, &ok),
                         AudioUnitRender(p.unit, nullptr, time, 1, frames + 1, &ok),
                         AudioUnitRender(p.unit, nullptr, time, 1, frames, &small),
                         AudioUnitRender(p.unit, nullptr, time, 1, frames, &stereo),
                         AudioUnitRender(p.unit, nullptr, time, 1, frames, &ok),
                         AudioUnitRender(p.unit, nullptr, time, 1, frames, &ok),
                         AudioUnitRender(p.unit, nullptr, time, 1, frames / 2, &ok)};
            return 0;
        },
        &probe};
    ASSERT_EQ(AudioOutputUnitStop(capture_.unit), 0);
    ASSERT_EQ(AudioUnitSetProperty(capture_.unit, kAudioOutputUnitProperty_SetInputCallback,
                                   kAudioUnitScope_Global, 0, &callback, sizeof(callback)),
              0);
    ASSERT_EQ(AudioOutputUnitStart(capture_.unit), 0);
    system_->injectFault({.call = AudioCall::unitRender, .status = -1234, .count = 1});
    ASSERT_EQ(system_->pump({.frames = 100}), 1u);
    EXPECT_EQ(probe.results, (std::vector<OSStatus>{-1234, kAudioUnitErr_TooManyFramesToProcess,
                                                    kAudio_ParamError, kAudio_ParamError, 0, 0, 0}))
        << "the render fault was used once; the bus is checked after it";
}

TEST_F(CaptureUnitTest, PropertiesAreValidatedAndFixedOnceInitialized) {
    // Misaddressed, malformed or late property writes are refused with the unit's status codes.
    const AudioComponentDescription wanted{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                           kAudioUnitManufacturer_Apple, 0, 0};
    ASSERT_EQ(AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &wanted), &capture_.unit),
              0);
    AudioUnit unit = capture_.unit;
    const UInt32 on = 1;
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Global,
                                   1, &on, 4),
              kAudioUnitErr_InvalidScope);
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input,
                                   0, &on, 4),
              kAudioUnitErr_InvalidElement);
    EXPECT_EQ(AudioUnitInitialize(unit), kAudioUnitErr_FailedInitialization)
        << "input is disabled by default";
    EXPECT_EQ(AudioOutputUnitStart(unit), kAudioUnitErr_Uninitialized);
    const AudioObjectID missing = 77;
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice,
                                   kAudioUnitScope_Global, 0, &missing, 4),
              kAudioUnitErr_InvalidPropertyValue);
    AudioStreamBasicDescription format{48'000.0, kAudioFormatLinearPCM, 0, 2, 1, 2, 1, 16, 0};
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1,
                                   &format, sizeof(format)),
              kAudioUnitErr_FormatNotSupported);
    format = {44'100.0, kAudioFormatLinearPCM, kAudioFormatFlagsNativeFloatPacked, 4, 1, 4, 1, 32,
              0};
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 1,
                                   &format, sizeof(format)),
              kAudioUnitErr_PropertyNotWritable);
    ASSERT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1,
                                   &format, sizeof(format)),
              0);
    ASSERT_EQ(AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input,
                                   1, &on, 4),
              0);
    EXPECT_EQ(AudioUnitInitialize(unit), kAudioUnitErr_FormatNotSupported)
        << "the unit converts layout, not rate";
    format.mSampleRate = 48'000.0;
    ASSERT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1,
                                   &format, sizeof(format)),
              0);
    ASSERT_EQ(AudioUnitInitialize(unit), 0);
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1,
                                   &format, sizeof(format)),
              kAudioUnitErr_Initialized);
    UInt32 maxFrames = 0, size = 4;
    EXPECT_EQ(AudioUnitGetProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice,
                                   kAudioUnitScope_Global, 0, &maxFrames, &size),
              0);
    EXPECT_EQ(maxFrames, 4096u);
}

TEST_F(CaptureUnitTest, EveryCallReturnsItsInjectedStatus) {
    // Each step of the pipeline's start-up fails with the status injected for it, and the fault
    // is consumed, so the same step succeeds afterwards.
    const AudioComponentDescription wanted{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                           kAudioUnitManufacturer_Apple, 0, 0};
    system_->injectFault({.call = AudioCall::componentFindNext, .count = 1});
    EXPECT_EQ(AudioComponentFindNext(nullptr, &wanted), nullptr);
    system_->injectFault({.call = AudioCall::componentInstanceNew, .status = -1, .count = 1});
    AudioComponentInstance instance = nullptr;
    EXPECT_EQ(AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &wanted), &instance), -1);
    EXPECT_EQ(instance, nullptr);

    const std::vector<std::pair<AudioCall, Fault>> steps{
        {AudioCall::unitSetProperty,
         {.call = AudioCall::unitSetProperty,
          .status = -2,
          .selector = kAudioOutputUnitProperty_CurrentDevice,
          .count = 1}},
        {AudioCall::unitGetProperty,
         {.call = AudioCall::unitGetProperty, .status = -3, .count = 1}},
        {AudioCall::unitInitialize, {.call = AudioCall::unitInitialize, .status = -4, .count = 1}},
        {AudioCall::outputUnitStart,
         {.call = AudioCall::outputUnitStart, .status = -50, .count = 1}},
    };
    for (const auto& [call, fault] : steps) {
        SCOPED_TRACE(static_cast<int>(call));
        if (capture_.unit != nullptr) {
            AudioComponentInstanceDispose(capture_.unit);
            capture_ = {};
        }
        system_->injectFault(fault);
        EXPECT_EQ(startUnit(), fault.status);
    }
    AudioComponentInstanceDispose(capture_.unit);
    capture_ = {};
    ASSERT_EQ(startUnit(), 0);
    system_->injectFault({.call = AudioCall::outputUnitStop, .status = -5, .count = 1});
    EXPECT_EQ(AudioOutputUnitStop(capture_.unit), -5);
    system_->injectFault({.call = AudioCall::unitUninitialize, .status = -6, .count = 1});
    EXPECT_EQ(AudioUnitUninitialize(capture_.unit), -6);
    system_->injectFault({.call = AudioCall::componentInstanceDispose, .status = -7, .count = 1});
    EXPECT_EQ(AudioComponentInstanceDispose(capture_.unit), -7);
    EXPECT_EQ(system_->runningUnitCount(), 1u) << "failed stop and dispose changed nothing";
}

TEST_F(CaptureUnitTest, StopEndsIOAndAStoppedUnitCanStartAgain) {
    // After stop no cycle runs and the device reports no client; a restart starts a new
    // timeline at sample time 0.
    ASSERT_EQ(startUnit(), 0);
    const AudioObjectPropertyAddress running{kAudioDevicePropertyDeviceIsRunning,
                                             kAudioObjectPropertyScopeGlobal, 0};
    UInt32 isRunning = 0, size = 4;
    ASSERT_EQ(AudioObjectGetPropertyData(kMic, &running, 0, nullptr, &size, &isRunning), 0);
    EXPECT_EQ(isRunning, 1u);
    system_->pump({.cycles = 3});
    ASSERT_EQ(AudioOutputUnitStop(capture_.unit), 0);
    EXPECT_EQ(system_->pump({}), 0u);
    EXPECT_EQ(system_->runningUnitCount(kMic), 0u);
    ASSERT_EQ(AudioObjectGetPropertyData(kMic, &running, 0, nullptr, &size, &isRunning), 0);
    EXPECT_EQ(isRunning, 0u);
    ASSERT_EQ(AudioOutputUnitStart(capture_.unit), 0);
    system_->pump({});
    ASSERT_EQ(capture_.stamps.size(), 4u);
    EXPECT_EQ(capture_.stamps.back().mSampleTime, 0.0);
    EXPECT_EQ(capture_.blocks.back()[0], 0.0f) << "the device's signal restarts for a new client";
}

TEST_F(CaptureUnitTest, PacedModeRunsCyclesByItself) {
    // In paced mode cycles arrive without pumping, at (a multiple of) real time.
    system_->setIOClock({.mode = SimulatedIOClock::Mode::paced, .speed = 8.0});
    std::atomic<int> cycles{0};
    const AudioComponentDescription wanted{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                           kAudioUnitManufacturer_Apple, 0, 0};
    ASSERT_EQ(AudioComponentInstanceNew(AudioComponentFindNext(nullptr, &wanted), &capture_.unit),
              0);
    const UInt32 on = 1;
    ASSERT_EQ(AudioUnitSetProperty(capture_.unit, kAudioOutputUnitProperty_EnableIO,
                                   kAudioUnitScope_Input, 1, &on, 4),
              0);
    const AURenderCallbackStruct callback{
        [](void* context, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32, UInt32,
           AudioBufferList*) -> OSStatus {
            static_cast<std::atomic<int>*>(context)->fetch_add(1);
            return 0;
        },
        &cycles};
    ASSERT_EQ(AudioUnitSetProperty(capture_.unit, kAudioOutputUnitProperty_SetInputCallback,
                                   kAudioUnitScope_Global, 0, &callback, sizeof(callback)),
              0);
    ASSERT_EQ(AudioUnitInitialize(capture_.unit), 0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(AudioOutputUnitStart(capture_.unit), 0);
    while (cycles.load() < 30 && std::chrono::steady_clock::now() - start < 5s) {
        std::this_thread::sleep_for(1ms);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(AudioOutputUnitStop(capture_.unit), 0);
    EXPECT_GE(cycles.load(), 30);
    // 29 full periods of 512 frames at 48 kHz / 8 = 1.33 ms each must have elapsed at least.
    EXPECT_GE(elapsed, 38ms);
    EXPECT_EQ(system_->pump({}), 0u) << "a paced unit ignores pumps";
}

}  // namespace
