// The PulseAudio backend against a private server: devices and defaults as the server has them
// and as they change, the capture unit recording a played tone with consistent host times, the
// system-audio tap, the system output, and capture that survives its source or the whole server
// vanishing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <numeric>
#include <thread>
#include <vector>

#include "platform/AudioFormat.h"
#include "platform/AudioTap.h"
#include "platform/AudioUnit.h"
#include "platform/HostTime.h"
#include "platform/PulseAudioSystem.h"
#include "platform/SerialQueue.h"
#include "platform/SystemOutput.h"
#include "platform/testing/Eventually.h"
#include "platform/testing/PrivatePulseServer.h"

#include "CaptureRecording.h"

namespace {

using namespace platform;
using namespace std::chrono_literals;
using platform::testing::PrivatePulseServer;

constexpr double kRate = 48'000.0;

std::vector<float> sine(double hz, float amplitude, double seconds, unsigned channels = 1) {
    const auto frames = static_cast<std::size_t>(seconds * kRate);
    std::vector<float> samples(frames * channels);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double t = static_cast<double>(i / channels) / kRate;
        samples[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * hz * t));
    }
    return samples;
}

/// Level (RMS) and zero-crossing frequency (Hz) of a played tone in `samples` (mono): medians
/// over the 10 ms windows that carry sound, so that a playback client's underrun on a busy
/// machine (a stretch of silence) does not count against the capture.
std::pair<double, double> levelAndFrequency(const std::vector<float>& samples) {
    constexpr std::size_t kWindow = 480;
    std::vector<double> levels;
    std::vector<double> frequencies;
    for (std::size_t start = 0; start + kWindow <= samples.size(); start += kWindow) {
        double energy = 0.0;
        std::size_t crossings = 0;
        for (std::size_t i = start; i < start + kWindow; ++i) {
            energy += double(samples[i]) * double(samples[i]);
            crossings += i > start && (samples[i - 1] < 0.0f) != (samples[i] < 0.0f) ? 1 : 0;
        }
        const double level = std::sqrt(energy / kWindow);
        if (level > 0.02) {
            levels.push_back(level);
            frequencies.push_back(crossings / 2.0 / (kWindow / kRate));
        }
    }
    if (levels.size() < 20) {
        return {0.0, 0.0};  // not even 200 ms of the tone arrived
    }
    std::sort(levels.begin(), levels.end());
    std::sort(frequencies.begin(), frequencies.end());
    return {levels[levels.size() / 2], frequencies[frequencies.size() / 2]};
}

AudioObjectPropertyAddress address(
    AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

std::vector<AudioObjectID> deviceIDs() {
    const auto where = address(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &where, 0, nullptr, &size) != 0) {
        return {};
    }
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    AudioObjectGetPropertyData(kAudioObjectSystemObject, &where, 0, nullptr, &size, ids.data());
    ids.resize(size / sizeof(AudioObjectID));
    return ids;
}

std::string stringOf(AudioObjectID object, AudioObjectPropertySelector selector) {
    const auto where = address(selector);
    CFStringRef value = nullptr;
    UInt32 size = sizeof(value);
    if (AudioObjectGetPropertyData(object, &where, 0, nullptr, &size, &value) != 0) {
        return "";
    }
    std::string text = CFStringGetCStringPtr(value, kCFStringEncodingUTF8);
    CFRelease(value);
    return text;
}

template <class T>
T valueOf(AudioObjectID object, AudioObjectPropertyAddress where) {
    T value{};
    UInt32 size = sizeof(value);
    EXPECT_EQ(AudioObjectGetPropertyData(object, &where, 0, nullptr, &size, &value), 0);
    return value;
}

UInt32 inputChannels(AudioObjectID device) {
    return valueOf<AudioBufferList>(device, address(kAudioDevicePropertyStreamConfiguration,
                                                    kAudioObjectPropertyScopeInput))
        .mBuffers[0]
        .mNumberChannels;
}

/// The listed device with `uid`, or kAudioObjectUnknown.
AudioObjectID deviceWithUID(const std::string& uid) {
    for (const AudioObjectID id : deviceIDs()) {
        if (stringOf(id, kAudioDevicePropertyDeviceUID) == uid) {
            return id;
        }
    }
    return kAudioObjectUnknown;
}

using corvessa::testing::eventually;

/// Runs `call` on another thread; whether it returned within `timeout` (a hang fails the test
/// instead of blocking it forever).
template <class Call>
bool returnsWithin(Call call, std::chrono::milliseconds timeout = 5s) {
    auto done = std::async(std::launch::async, std::move(call));
    return done.wait_for(timeout) == std::future_status::ready;
}

using Recording = platform::testing::CaptureRecording;

/// A capture unit bound to `device`, delivering mono 32-bit float to `recording`, started.
void startCapture(AudioObjectID device, Recording& recording, UInt32 maximumFrames = 4096) {
    ASSERT_EQ(platform::testing::startCaptureRecording(device, recording, maximumFrames), "");
}

/// Stops, uninitialises and disposes of the unit; whether all of that returned in time.
bool tearDown(Recording& recording) {
    return returnsWithin([&] { EXPECT_TRUE(platform::testing::stopCaptureRecording(recording)); });
}

/// Whether the callback count stays put for a while (the unit delivers nothing more).
bool deliveryHasStopped(const Recording& recording) {
    std::this_thread::sleep_for(300ms);
    const std::size_t before = recording.blocks.load();
    std::this_thread::sleep_for(300ms);
    return recording.blocks.load() == before;
}

/// Median of `values`.
template <class T>
T median(std::vector<T> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

class PulseAudioSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CORVESSA_START_PULSE_SERVER_OR_SKIP(started);
        server_ = std::move(started);
        server_->exportToThisProcess();
        ASSERT_TRUE(server_->addTestSource("mic", "Test Mic", 1));
        ASSERT_TRUE(server_->addTestSource("stereo_mic", "Stereo Mic", 2));
        ASSERT_TRUE(server_->setDefaultSource("mic"));
        system_ = PulseAudioSystem::connect();
        ASSERT_TRUE(system_);
        installed_.emplace(system_);
    }

    void TearDown() override { installed_.reset(); }

    std::unique_ptr<PrivatePulseServer> server_;
    std::shared_ptr<PulseAudioSystem> system_;
    std::optional<ScopedAudioSystem> installed_;
};

TEST_F(PulseAudioSystemTest, ListsSourcesWithTheirIdentityAndNoMonitors) {
    const AudioObjectID mic = deviceWithUID("mic");
    const AudioObjectID stereo = deviceWithUID("stereo_mic");
    ASSERT_NE(mic, kAudioObjectUnknown);
    ASSERT_NE(stereo, kAudioObjectUnknown);
    EXPECT_EQ(stringOf(mic, kAudioObjectPropertyName), "Test Mic");
    EXPECT_EQ(stringOf(stereo, kAudioObjectPropertyName), "Stereo Mic");
    EXPECT_EQ(inputChannels(mic), 1u);
    EXPECT_EQ(inputChannels(stereo), 2u);
    EXPECT_EQ(valueOf<Float64>(mic, address(kAudioDevicePropertyNominalSampleRate)), kRate);
    for (const AudioObjectID id : deviceIDs()) {
        const std::string uid = stringOf(id, kAudioDevicePropertyDeviceUID);
        SCOPED_TRACE(uid);
        EXPECT_FALSE(uid.ends_with(".monitor"));
        // Sinks are listed as output-only devices, which record nothing.
        if (uid == "corvessa_test_speakers") {
            EXPECT_EQ(inputChannels(id), 0u);
        }
    }
    EXPECT_EQ(valueOf<AudioObjectID>(kAudioObjectSystemObject,
                                     address(kAudioHardwarePropertyDefaultOutputDevice)),
              deviceWithUID("corvessa_test_speakers"));
}

TEST_F(PulseAudioSystemTest, DevicesFollowTheServerWithIdsNeverReused) {
    const AudioObjectID mic = deviceWithUID("mic");
    ASSERT_TRUE(server_->addTestSource("usb_mic", "USB Mic", 1));
    const AudioObjectID usb = deviceWithUID("usb_mic");
    ASSERT_NE(usb, kAudioObjectUnknown);
    EXPECT_EQ(stringOf(usb, kAudioObjectPropertyName), "USB Mic");
    EXPECT_EQ(deviceWithUID("mic"), mic);

    // Removed: the server's events retire the device without any listing being asked for.
    ASSERT_EQ(server_->pactl({"unload-module", "module-remap-source"}).exitStatus, 0);
    const auto name = address(kAudioObjectPropertyName);
    EXPECT_TRUE(eventually([&] { return !AudioObjectHasProperty(usb, &name); }));
    EXPECT_EQ(deviceWithUID("mic"), kAudioObjectUnknown);

    // Added again under the same name: a new object, as a replugged device is.
    ASSERT_TRUE(server_->addTestSource("usb_mic", "USB Mic", 1));
    const AudioObjectID again = deviceWithUID("usb_mic");
    ASSERT_NE(again, kAudioObjectUnknown);
    EXPECT_NE(again, usb);
    EXPECT_NE(again, mic);
}

TEST_F(PulseAudioSystemTest, DefaultInputIsTheServersDefaultSourceBothWays) {
    const auto where = address(kAudioHardwarePropertyDefaultInputDevice);
    const AudioObjectID mic = deviceWithUID("mic");
    const AudioObjectID stereo = deviceWithUID("stereo_mic");
    EXPECT_EQ(valueOf<AudioObjectID>(kAudioObjectSystemObject, where), mic);

    ASSERT_TRUE(server_->setDefaultSource("stereo_mic"));
    EXPECT_EQ(valueOf<AudioObjectID>(kAudioObjectSystemObject, where), stereo);

    ASSERT_EQ(
        AudioObjectSetPropertyData(kAudioObjectSystemObject, &where, 0, nullptr, sizeof(mic), &mic),
        0);
    EXPECT_NE(server_->pactl({"info"}).output.find("Default Source: mic\n"), std::string::npos);
    EXPECT_EQ(valueOf<AudioObjectID>(kAudioObjectSystemObject, where), mic);

    // A sink cannot be the default input, nor an unknown object.
    const AudioObjectID speakers = deviceWithUID("corvessa_test_speakers");
    const AudioObjectID unknown = 0x7FFF;
    for (const AudioObjectID bad : {speakers, unknown}) {
        EXPECT_EQ(AudioObjectSetPropertyData(kAudioObjectSystemObject, &where, 0, nullptr,
                                             sizeof(bad), &bad),
                  kAudioHardwareBadDeviceError);
    }
    EXPECT_EQ(valueOf<AudioObjectID>(kAudioObjectSystemObject, where), mic);
}

TEST_F(PulseAudioSystemTest, CaptureDeliversThePlayedToneOnTheHostClock) {
    const AudioObjectID mic = deviceWithUID("mic");
    Recording recording;
    startCapture(mic, recording);
    // As the capture pipeline does once started: ask the device for 128-frame buffers.
    const auto bufferSize = address(kAudioDevicePropertyBufferFrameSize);
    const UInt32 request = 128;
    ASSERT_EQ(AudioObjectSetPropertyData(mic, &bufferSize, 0, nullptr, sizeof(request), &request),
              0);
    EXPECT_EQ(valueOf<UInt32>(mic, bufferSize), request);
    auto playback = server_->play("mic.feed", sine(1000.0, 0.5f, 1.5));
    ASSERT_TRUE(playback->waitUntilDone(5000));
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(tearDown(recording));

    EXPECT_EQ(recording.failures.load(), 0);
    const auto [level, frequency] = levelAndFrequency(recording.samples);
    EXPECT_NEAR(level, 0.5 / std::sqrt(2.0), 0.03);
    EXPECT_NEAR(frequency, 1000.0, 50.0);
    // The server sends 128-frame fragments now (libpulse may cut one in two), not the 480-frame
    // ones the device asked for before the write.
    EXPECT_LE(median(recording.frames), 128u);  // one crossing more or less in a window: 50 Hz

    // Each block starts where the previous one ended and was wholly captured before it arrived,
    // recently. A busy machine may stall the server for a moment or make it lose audio, so a few
    // irregular blocks are let through; a timeline that is wrong is wrong for most blocks.
    const auto& host = recording.hostNanos;
    ASSERT_GT(host.size(), 20u);
    std::size_t irregular = 0;
    std::vector<double> agesMs;
    for (std::size_t i = 0; i < host.size(); ++i) {
        const double duration = recording.frames[i] * 1e9 / kRate;
        const double arrival = static_cast<double>(recording.arrivalNanos[i]);
        irregular += static_cast<double>(host[i]) + duration > arrival ? 1 : 0;
        agesMs.push_back((arrival - static_cast<double>(host[i])) / 1e6);
        if (i > 0) {
            ASSERT_GT(host[i], host[i - 1]) << i;
            const double step = static_cast<double>(host[i] - host[i - 1]);
            irregular += std::fabs(step - recording.frames[i - 1] * 1e9 / kRate) > 2e6 ? 1 : 0;
        }
    }
    EXPECT_LE(irregular, host.size() / 50);
    EXPECT_LT(median(agesMs), 50.0);
    // The callback period and its jitter are measured by bench/capture_timing.
}

TEST_F(PulseAudioSystemTest, CaptureSplitsBlocksAtTheMaximumFramesPerSlice) {
    Recording recording;
    startCapture(deviceWithUID("stereo_mic"), recording, 64);
    auto playback = server_->play("stereo_mic.feed", sine(500.0, 0.25f, 0.5, 2), 2);
    ASSERT_TRUE(playback->waitUntilDone(5000));
    ASSERT_TRUE(tearDown(recording));
    EXPECT_EQ(recording.failures.load(), 0);
    ASSERT_FALSE(recording.frames.empty());
    EXPECT_LE(*std::max_element(recording.frames.begin(), recording.frames.end()), 64u);
    const auto [level, frequency] = levelAndFrequency(recording.samples);
    EXPECT_NEAR(level, 0.25 / std::sqrt(2.0), 0.02);
    EXPECT_NEAR(frequency, 500.0, 50.0);
}

TEST_F(PulseAudioSystemTest, SourceRemovedWhileCapturedStopsDeliveryAndNothingHangs) {
    Recording recording;
    startCapture(deviceWithUID("mic"), recording);
    auto playback = server_->play("mic.feed", sine(300.0, 0.3f, 10.0));
    ASSERT_TRUE(eventually([&] { return recording.blocks.load() > 10; }));
    ASSERT_EQ(server_->pactl({"unload-module", "module-remap-source"}).exitStatus, 0);
    EXPECT_TRUE(deliveryHasStopped(recording));
    EXPECT_EQ(deviceWithUID("mic"), kAudioObjectUnknown);
    EXPECT_TRUE(tearDown(recording));
    EXPECT_EQ(recording.failures.load(), 0);
}

TEST_F(PulseAudioSystemTest, ServerKilledWhileCapturingLeavesAnEmptySystemAndNothingHangs) {
    Recording recording;
    startCapture(deviceWithUID("mic"), recording);
    ASSERT_TRUE(eventually([&] { return recording.blocks.load() > 10; }));
    server_->kill();
    EXPECT_TRUE(deliveryHasStopped(recording));
    EXPECT_TRUE(returnsWithin([&] {
        EXPECT_TRUE(deviceIDs().empty());
        EXPECT_EQ(valueOf<AudioObjectID>(kAudioObjectSystemObject,
                                         address(kAudioHardwarePropertyDefaultInputDevice)),
                  kAudioObjectUnknown);
        std::shared_ptr<SystemOutputPlayback> playback;
        EXPECT_NE(playOnSystemOutput({sine(440.0, 0.1f, 0.1), 1}, playback), 0);
    }));
    EXPECT_TRUE(tearDown(recording));
}

/// System audio recorded through a process tap and an aggregate device, as the front end's tap
/// capture records it: the left channel, gathered on the IO queue.
class TapRecorder {
  public:
    TapRecorder() {
        auto description = TapDescription::stereoGlobalTapButExcludeProcesses({});
        description.name = "Test Tap";
        EXPECT_EQ(AudioHardwareCreateProcessTap(&description, &tap_), 0);
        uid_ = stringOf(tap_, kAudioTapPropertyUID);
        AggregateDeviceDescription aggregate{"Tap Device", "TAP-DEVICE-1", true,
                                             false,        true,           {{uid_, true}}};
        EXPECT_EQ(AudioHardwareCreateAggregateDevice(&aggregate, &device_), 0);
        EXPECT_EQ(AudioDeviceCreateIOProcIDWithBlock(
                      &proc_, device_, queue_,
                      [this](const AudioTimeStamp*, const AudioBufferList* input,
                             const AudioTimeStamp* time, AudioBufferList*,
                             const AudioTimeStamp*) { take(*input, *time); }),
                  0);
        EXPECT_EQ(AudioDeviceStart(device_, proc_), 0);
    }

    /// Stops and destroys everything; the left channel recorded and whether every cycle's time
    /// stamp had a valid host time.
    std::pair<std::vector<float>, bool> stop() {
        EXPECT_EQ(AudioDeviceStop(device_, proc_), 0);
        EXPECT_EQ(AudioDeviceDestroyIOProcID(device_, proc_), 0);
        EXPECT_EQ(AudioHardwareDestroyAggregateDevice(device_), 0);
        EXPECT_EQ(AudioHardwareDestroyProcessTap(tap_), 0);
        queue_->sync([] {});
        return {left_, stampsValid_};
    }

    AudioObjectID tap() const { return tap_; }
    AudioObjectID device() const { return device_; }
    const std::string& uid() const { return uid_; }

  private:
    void take(const AudioBufferList& input, const AudioTimeStamp& time) {
        stampsValid_ = stampsValid_ && (time.mFlags & kAudioTimeStampHostTimeValid) != 0;
        const auto* samples = static_cast<const float*>(input.mBuffers[0].mData);
        for (UInt32 i = 0; i < input.mBuffers[0].mDataByteSize / 8; ++i) {
            left_.push_back(samples[2 * i]);
        }
    }

    std::shared_ptr<SerialQueue> queue_ = std::make_shared<SerialQueue>("tap test");
    AudioObjectID tap_ = 0;
    AudioObjectID device_ = 0;
    AudioDeviceIOProcID proc_ = nullptr;
    std::string uid_;
    std::vector<float> left_;  // touched only on the queue until it is drained
    bool stampsValid_ = true;
};

TEST_F(PulseAudioSystemTest, TapRecordsWhatPlaysOnTheDefaultSink) {
    TapRecorder recorder;
    const std::string& uid = recorder.uid();
    EXPECT_EQ(uid.size(), 36u);
    const auto format =
        valueOf<AudioStreamBasicDescription>(recorder.tap(), address(kAudioTapPropertyFormat));
    EXPECT_EQ(format.mSampleRate, kRate);
    EXPECT_EQ(format.mChannelsPerFrame, 2u);
    // Every tap has a UID of its own; an aggregate device's UID is taken once.
    auto description = TapDescription::stereoGlobalTapButExcludeProcesses({});
    AudioObjectID other = 0;
    ASSERT_EQ(AudioHardwareCreateProcessTap(&description, &other), 0);
    EXPECT_NE(uid, stringOf(other, kAudioTapPropertyUID));
    EXPECT_EQ(AudioHardwareDestroyProcessTap(other), 0);
    AggregateDeviceDescription same{"Again", "TAP-DEVICE-1", true, false, true, {{uid, true}}};
    AudioObjectID duplicate = 0;
    EXPECT_EQ(AudioHardwareCreateAggregateDevice(&same, &duplicate),
              kAudioHardwareIllegalOperationError);

    auto playback = server_->play("corvessa_test_speakers", sine(440.0, 0.5f, 1.0, 2), 2);
    ASSERT_TRUE(playback->waitUntilDone(5000));
    std::this_thread::sleep_for(200ms);
    const auto [left, stampsValid] = recorder.stop();
    EXPECT_TRUE(stampsValid);
    const auto [level, frequency] = levelAndFrequency(left);
    EXPECT_NEAR(level, 0.5 / std::sqrt(2.0), 0.03);
    EXPECT_NEAR(frequency, 440.0, 50.0);
}

TEST_F(PulseAudioSystemTest, SystemOutputPlaysIntoTheDefaultSinkUntilDoneOrStopped) {
    TapRecorder monitor;  // the default sink's monitor, as checked above
    std::shared_ptr<SystemOutputPlayback> playback;
    ASSERT_EQ(playOnSystemOutput({sine(660.0, 0.5f, 0.5), 1}, playback), 0);
    EXPECT_TRUE(playback->isPlaying());
    EXPECT_TRUE(eventually([&] { return !playback->isPlaying(); }));
    std::this_thread::sleep_for(100ms);
    const auto [left, stampsValid] = monitor.stop();
    const auto [level, frequency] = levelAndFrequency(left);
    EXPECT_NEAR(level, 0.5 / std::sqrt(2.0), 0.03);
    EXPECT_NEAR(frequency, 660.0, 50.0);

    ASSERT_EQ(playOnSystemOutput({sine(660.0, 0.5f, 10.0), 1}, playback), 0);
    playback->stop();
    EXPECT_FALSE(playback->isPlaying());
    EXPECT_EQ(playOnSystemOutput({{}, 1}, playback), kAudio_ParamError);
    EXPECT_EQ(playOnSystemOutput({{0.0f, 0.0f, 0.0f}, 3}, playback), kAudio_ParamError);
}

TEST(PulseDefaultSystem, IsThePulseBackendWhenAServerAnswersAndEmptyOtherwise) {
    CORVESSA_START_PULSE_SERVER_OR_SKIP(server);
    server->exportToThisProcess();
    EXPECT_TRUE(std::dynamic_pointer_cast<PulseAudioSystem>(makeDefaultAudioSystem()));
    setenv("PULSE_SERVER", ("unix:" + server->folder() + "/nobody-here").c_str(), 1);
    const auto fallback = makeDefaultAudioSystem();
    EXPECT_FALSE(std::dynamic_pointer_cast<PulseAudioSystem>(fallback));
    ScopedAudioSystem installed(fallback);
    EXPECT_TRUE(deviceIDs().empty());
}

}  // namespace
