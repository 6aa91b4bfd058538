// Process taps, aggregate devices and IO blocks of the simulated system, driven through the
// platform calls the way a system-audio capture drives them: tap identity and format, aggregate
// checks, IO blocks that carry the speaker bus at their cycle's time, every call's fault, several
// procedures at once, and teardown racing a start.
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <numbers>
#include <regex>
#include <thread>
#include <vector>

#include "platform/AudioFormat.h"
#include "platform/AudioTap.h"
#include "platform/HostClock.h"
#include "platform/HostTime.h"
#include "platform/SerialQueue.h"
#include "platform/SimulatedAudioSystem.h"

namespace {

using namespace platform;

constexpr UInt64 kStartNanos = 1'000'000'000;  // the manual clock's start: bus frame 48 000

/// What the IO blocks of one procedure received, one entry per block.
struct Deliveries {
    std::mutex mutex;
    std::vector<std::vector<std::vector<float>>> buffers;  // block → buffer → samples
    std::vector<AudioTimeStamp> inputTimes;

    AudioDeviceIOBlock block() {
        return [this](const AudioTimeStamp*, const AudioBufferList* input,
                      const AudioTimeStamp* inputTime, AudioBufferList*, const AudioTimeStamp*) {
            std::vector<std::vector<float>> copies;
            for (UInt32 b = 0; b < input->mNumberBuffers; ++b) {
                const AudioBuffer& buffer = input->mBuffers[b];
                const auto* data = static_cast<const float*>(buffer.mData);
                copies.emplace_back(data, data + buffer.mDataByteSize / sizeof(float));
            }
            std::lock_guard lock(mutex);
            buffers.push_back(std::move(copies));
            inputTimes.push_back(*inputTime);
        };
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return buffers.size();
    }
};

class ProcessTapTest : public ::testing::Test {
  protected:
    AudioObjectID createTap(bool mono = false) {
        auto description = TapDescription::stereoGlobalTapButExcludeProcesses({});
        description.isMono = mono;
        AudioObjectID tap = 0;
        EXPECT_EQ(AudioHardwareCreateProcessTap(&description, &tap), 0);
        return tap;
    }
    static std::string tapUID(AudioObjectID tap) {
        const AudioObjectPropertyAddress address{
            kAudioTapPropertyUID, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
        CFStringRef uid = nullptr;
        UInt32 size = sizeof(uid);
        EXPECT_EQ(AudioObjectGetPropertyData(tap, &address, 0, nullptr, &size, &uid), 0);
        std::string text = CFStringGetCStringPtr(uid, kCFStringEncodingUTF8);
        CFRelease(uid);
        return text;
    }
    static AudioStreamBasicDescription tapFormat(AudioObjectID tap) {
        const AudioObjectPropertyAddress address{kAudioTapPropertyFormat,
                                                 kAudioObjectPropertyScopeGlobal,
                                                 kAudioObjectPropertyElementMain};
        AudioStreamBasicDescription format{};
        UInt32 size = sizeof(format);
        EXPECT_EQ(AudioObjectGetPropertyData(tap, &address, 0, nullptr, &size, &format), 0);
        return format;
    }
    static AggregateDeviceDescription aggregateOf(const std::string& tapUID,
                                                  const std::string& uid = "AGG-1") {
        return {"Tap Device", uid, true, false, true, {{tapUID, true}}};
    }
    AudioObjectID createAggregate(AudioObjectID tap, const std::string& uid = "AGG-1") {
        const auto description = aggregateOf(tapUID(tap), uid);
        AudioObjectID device = 0;
        EXPECT_EQ(AudioHardwareCreateAggregateDevice(&description, &device), 0);
        return device;
    }
    AudioDeviceIOProcID startProc(AudioObjectID device, Deliveries& deliveries) {
        AudioDeviceIOProcID proc = nullptr;
        EXPECT_EQ(AudioDeviceCreateIOProcIDWithBlock(&proc, device, queue, deliveries.block()), 0);
        EXPECT_EQ(AudioDeviceStart(device, proc), 0);
        return proc;
    }
    /// Runs `cycles` IO cycles of `frames` on `device` and waits for their blocks.
    void pump(AudioObjectID device, UInt32 cycles, UInt32 frames = 0) {
        EXPECT_EQ(system->pump({cycles, frames, device}), 1u);
        queue->sync([] {});
    }

    std::shared_ptr<SimulatedAudioSystem> system = SimulatedAudioSystem::create();
    ScopedAudioSystem installed{system};
    ManualHostClock clock{kStartNanos};
    ScopedHostClock clockInstalled{clock};
    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("test.tap");
};

TEST_F(ProcessTapTest, TapsHaveFreshUIDsAndTheConfiguredFormat) {
    // Each tap gets its own canonical upper-case UUID; the format follows the description and
    // the host's configuration.
    const AudioObjectID first = createTap();
    const AudioObjectID second = createTap(true);
    const std::regex canonical(
        "[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    EXPECT_TRUE(std::regex_match(tapUID(first), canonical)) << tapUID(first);
    EXPECT_NE(tapUID(first), tapUID(second));
    const AudioStreamBasicDescription stereo = tapFormat(first);
    EXPECT_EQ(stereo.mSampleRate, 48'000.0);
    EXPECT_EQ(stereo.mChannelsPerFrame, 2u);
    EXPECT_EQ(stereo.mBytesPerFrame, 8u);
    EXPECT_NE(stereo.mFormatFlags & kAudioFormatFlagIsFloat, 0u);
    EXPECT_EQ(tapFormat(second).mChannelsPerFrame, 1u);

    system->tapHost().setTapFormat({44'100.0, 0, false});
    const AudioStreamBasicDescription planar = tapFormat(createTap());
    EXPECT_EQ(planar.mSampleRate, 44'100.0);
    EXPECT_NE(planar.mFormatFlags & kAudioFormatFlagIsNonInterleaved, 0u);
    EXPECT_EQ(planar.mBytesPerFrame, 4u);
}

TEST_F(ProcessTapTest, AggregateDevicesNeedExistingTapsAndNewUIDsAndStayUnlisted) {
    // An aggregate device must name an existing tap and a UID not in use; it answers its UID
    // but never appears in the system's device list.
    const AudioObjectID tap = createTap();
    AudioObjectID device = 0;
    const auto unknownTap = aggregateOf("NO-SUCH-TAP");
    EXPECT_EQ(AudioHardwareCreateAggregateDevice(&unknownTap, &device),
              kAudioHardwareIllegalOperationError);
    const AudioObjectID created = createAggregate(tap, "AGG-UNIQUE");
    const auto again = aggregateOf(tapUID(tap), "AGG-UNIQUE");
    EXPECT_EQ(AudioHardwareCreateAggregateDevice(&again, &device),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(system->tapHost().aggregateDeviceCount(), 1u);

    const AudioObjectPropertyAddress uidAddress{kAudioDevicePropertyDeviceUID,
                                                kAudioObjectPropertyScopeGlobal,
                                                kAudioObjectPropertyElementMain};
    CFStringRef uid = nullptr;
    UInt32 size = sizeof(uid);
    ASSERT_EQ(AudioObjectGetPropertyData(created, &uidAddress, 0, nullptr, &size, &uid), 0);
    EXPECT_STREQ(CFStringGetCStringPtr(uid, kCFStringEncodingUTF8), "AGG-UNIQUE");
    CFRelease(uid);
    const AudioObjectPropertyAddress devices{kAudioHardwarePropertyDevices,
                                             kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    UInt32 listSize = 0;
    ASSERT_EQ(
        AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, 0, nullptr, &listSize),
        0);
    EXPECT_EQ(listSize, 0u);
}

TEST_F(ProcessTapTest, IOBlocksCarryTheBusAtTheirCycleTime) {
    // A stereo sound placed 1000 frames after the start arrives sample-exact in the blocks, on
    // the queue, stamped with the host time of each block's first frame.
    const AudioObjectID device = createAggregate(createTap());
    std::vector<float> ramp(2 * 600);
    for (std::size_t f = 0; f < 600; ++f) {
        ramp[2 * f] = static_cast<float>(f + 1) / 1000.0f;
        ramp[2 * f + 1] = -ramp[2 * f];
    }
    ASSERT_TRUE(
        system->speakerBus()->play({ramp, 2}, kStartNanos + 1000 * 1'000'000'000ull / 48'000));
    Deliveries deliveries;
    startProc(device, deliveries);
    pump(device, 4, 512);

    ASSERT_EQ(deliveries.count(), 4u);
    for (std::size_t k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        const AudioTimeStamp& time = deliveries.inputTimes[k];
        EXPECT_NE(time.mFlags & kAudioTimeStampHostTimeValid, 0u);
        EXPECT_EQ(time.mSampleTime, 512.0 * static_cast<double>(k));
        EXPECT_NEAR(static_cast<double>(AudioConvertHostTimeToNanos(time.mHostTime)),
                    1e9 + 512.0 * static_cast<double>(k) * 1e9 / 48'000.0, 1.0);
        const std::vector<float>& samples = deliveries.buffers[k].at(0);
        ASSERT_EQ(samples.size(), 1024u);
        for (std::size_t n = 0; n < 512; ++n) {
            const std::size_t busFrame = 512 * k + n;
            const bool sounding = busFrame >= 1000 && busFrame < 1600;
            const float left = sounding ? ramp[2 * (busFrame - 1000)] : 0.0f;
            ASSERT_EQ(samples[2 * n], left) << n;
            ASSERT_EQ(samples[2 * n + 1], -left) << n;
        }
    }
}

TEST_F(ProcessTapTest, PlanarAndResampledTapsReadTheSameBus) {
    // A planar 44.1 kHz tap delivers a 1 kHz sine on the bus as a 1 kHz sine at its own rate,
    // one buffer per channel, and without host-time validity when the system withholds it.
    system->tapHost().setTapFormat({44'100.0, 0, false});
    system->setHostTimeValid(false);
    const AudioObjectID device = createAggregate(createTap());
    SineSource sine(1000.0, 0.5f);
    ASSERT_TRUE(system->speakerBus()->play(sine, 1.0, kStartNanos));
    Deliveries deliveries;
    startProc(device, deliveries);
    pump(device, 2, 441);

    ASSERT_EQ(deliveries.count(), 2u);
    EXPECT_EQ(deliveries.inputTimes[0].mFlags & kAudioTimeStampHostTimeValid, 0u);
    const auto& planes = deliveries.buffers[1];
    ASSERT_EQ(planes.size(), 2u);
    for (std::size_t n = 0; n < 441; ++n) {
        const double t = static_cast<double>(441 + n) / 44'100.0;
        const double expected = 0.5 * std::sin(2.0 * std::numbers::pi * 1000.0 * t);
        ASSERT_NEAR(planes[0][n], expected, 0.01) << n;
        ASSERT_EQ(planes[0][n], planes[1][n]);
    }
}

TEST_F(ProcessTapTest, EveryTapCallCanBeMadeToFail) {
    // An injected status comes back from its call; a status of 0 makes a create call succeed
    // without giving an object, as the system may.
    const AudioObjectID tap = createTap();
    const AudioObjectID device = createAggregate(tap);
    const auto tapDescription = TapDescription::stereoGlobalTapButExcludeProcesses({});
    const auto aggregate = aggregateOf(tapUID(tap), "AGG-2");
    AudioObjectID id = 0;
    AudioDeviceIOProcID proc = nullptr;
    Deliveries deliveries;

    system->injectFault({AudioCall::createProcessTap, 0, {}, {}, 1});
    EXPECT_EQ(AudioHardwareCreateProcessTap(&tapDescription, &id), 0);
    EXPECT_EQ(id, 0u);
    system->injectFault({AudioCall::createAggregateDevice, -1, {}, {}, 1});
    EXPECT_EQ(AudioHardwareCreateAggregateDevice(&aggregate, &id), -1);
    system->injectFault({AudioCall::deviceCreateIOProcID, 0, device, {}, 1});
    EXPECT_EQ(AudioDeviceCreateIOProcIDWithBlock(&proc, device, queue, deliveries.block()), 0);
    EXPECT_EQ(proc, nullptr);
    ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(&proc, device, queue, deliveries.block()), 0);
    system->injectFault({AudioCall::deviceStart, -2, device, {}, 1});
    EXPECT_EQ(AudioDeviceStart(device, proc), -2);
    EXPECT_EQ(system->tapHost().runningIOProcCount(), 0u);
    system->injectFault({AudioCall::deviceStop, -3, device, {}, 1});
    EXPECT_EQ(AudioDeviceStop(device, proc), -3);
    system->injectFault({AudioCall::deviceDestroyIOProcID, -4, device, {}, 1});
    EXPECT_EQ(AudioDeviceDestroyIOProcID(device, proc), -4);
    system->injectFault({AudioCall::destroyAggregateDevice, -5, device, {}, 1});
    EXPECT_EQ(AudioHardwareDestroyAggregateDevice(device), -5);
    system->injectFault({AudioCall::destroyProcessTap, -6, tap, {}, 1});
    EXPECT_EQ(AudioHardwareDestroyProcessTap(tap), -6);
    EXPECT_EQ(system->tapHost().tapCount(), 1u);
    EXPECT_EQ(system->tapHost().aggregateDeviceCount(), 1u);
    EXPECT_EQ(system->tapHost().ioProcCount(), 1u);
}

TEST_F(ProcessTapTest, ASystemWithoutTapsRefusesEveryCall) {
    // A system too old for taps says so and answers every call as unsupported.
    system->tapHost().setSupported(false);
    EXPECT_FALSE(AudioHardwareSupportsProcessTaps());
    const auto description = TapDescription::stereoGlobalTapButExcludeProcesses({});
    AudioObjectID tap = 0;
    EXPECT_EQ(AudioHardwareCreateProcessTap(&description, &tap),
              kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(AudioHardwareCreateProcessTap(nullptr, &tap), kAudio_ParamError);
    system->tapHost().setSupported(true);
    EXPECT_TRUE(AudioHardwareSupportsProcessTaps());
}

TEST_F(ProcessTapTest, SeveralProceduresRunAtOnceAndDestroyingADeviceStopsItsOwn) {
    // Two captures, each with its own tap and aggregate device, receive the same bus; destroying
    // one device stops and removes its procedure and leaves the other running.
    const AudioObjectID first = createAggregate(createTap(), "AGG-A");
    const AudioObjectID second = createAggregate(createTap(), "AGG-B");
    ASSERT_TRUE(system->speakerBus()->play(SineSource(440.0, 0.5f), 0.5, kStartNanos));
    Deliveries a;
    Deliveries b;
    const AudioDeviceIOProcID procA = startProc(first, a);
    startProc(second, b);
    EXPECT_EQ(system->pump({3, 256, {}}), 2u);
    queue->sync([] {});
    ASSERT_EQ(a.count(), 3u);
    ASSERT_EQ(b.count(), 3u);
    EXPECT_EQ(a.buffers[2], b.buffers[2]);

    EXPECT_EQ(AudioHardwareDestroyAggregateDevice(first), 0);
    EXPECT_EQ(system->tapHost().runningIOProcCount(), 1u);
    EXPECT_EQ(system->runningUnitCount(first), 0u);
    EXPECT_EQ(AudioDeviceStart(first, procA), kAudioHardwareBadDeviceError);
    pump(second, 1);
    EXPECT_EQ(b.count(), 4u);
    EXPECT_EQ(a.count(), 3u);
}

TEST_F(ProcessTapTest, TeardownRacingAStartLeavesNothingRunning) {
    // Whichever of a start and a destroy of the device wins, once both have returned no
    // procedure, device or IO thread is left.
    for (int round = 0; round < 100; ++round) {
        const AudioObjectID tap = createTap();
        const AudioObjectID device = createAggregate(tap, "AGG-RACE");
        Deliveries deliveries;
        AudioDeviceIOProcID proc = nullptr;
        ASSERT_EQ(AudioDeviceCreateIOProcIDWithBlock(&proc, device, queue, deliveries.block()), 0);
        std::thread starter([&] { AudioDeviceStart(device, proc); });
        std::thread destroyer([&] { AudioHardwareDestroyAggregateDevice(device); });
        starter.join();
        destroyer.join();
        ASSERT_EQ(system->tapHost().runningIOProcCount(), 0u);
        ASSERT_EQ(system->tapHost().ioProcCount(), 0u);
        ASSERT_EQ(system->runningUnitCount(), 0u);
        ASSERT_EQ(AudioHardwareDestroyProcessTap(tap), 0);
        queue->sync([] {});
    }
    EXPECT_EQ(system->tapHost().tapCount(), 0u);
    EXPECT_EQ(system->tapHost().aggregateDeviceCount(), 0u);
}

}  // namespace
