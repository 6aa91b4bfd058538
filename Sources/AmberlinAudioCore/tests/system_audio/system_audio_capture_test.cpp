// System-audio capture on the simulated system: the tap and aggregate device it builds, the
// buffers and capture times it delivers, what a start failing at each step leaves for stop, fresh
// device UIDs per start, captures running side by side, and the factory's choice.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <regex>
#include <vector>

#include "AmberlinAudioCore/SystemAudioCapture.h"
#include "platform/HostClock.h"
#include "platform/HostTime.h"
#include "platform/SimulatedAudioSystem.h"

namespace {

using amberlin::CoreAudioTapCapture;
using amberlin::SystemAudioCaptureError;
using namespace platform;

constexpr UInt64 kStartNanos = 1'000'000'000;

/// Buffers and capture times a capture delivered; filled on its queue.
struct Received {
    std::mutex mutex;
    std::vector<std::vector<float>> plain;
    std::vector<std::vector<float>> timed;
    std::vector<std::uint64_t> times;

    static std::vector<float> samples(const PCMBuffer& buffer) {
        const float* data = buffer.floatChannelData()[0];
        return {data, data + buffer.frameLength() * buffer.format().channelCount()};
    }
    void attach(CoreAudioTapCapture& capture) {
        capture.setOnAudioBuffer([this](const std::shared_ptr<PCMBuffer>& buffer) {
            std::lock_guard lock(mutex);
            plain.push_back(samples(*buffer));
        });
        capture.setOnTimedAudioBuffer(
            [this](const std::shared_ptr<PCMBuffer>& buffer, std::uint64_t nanos) {
                std::lock_guard lock(mutex);
                timed.push_back(samples(*buffer));
                times.push_back(nanos);
            });
    }
};

class SystemAudioCaptureTest : public ::testing::Test {
  protected:
    SimulatedTapHost& taps() { return system->tapHost(); }
    void expectNothingLeft() {
        EXPECT_EQ(taps().tapCount(), 0u);
        EXPECT_EQ(taps().aggregateDeviceCount(), 0u);
        EXPECT_EQ(taps().ioProcCount(), 0u);
        EXPECT_EQ(system->runningUnitCount(), 0u);
    }
    /// The error `call` throws, or a failure when it throws none.
    template <class Call>
    static std::optional<SystemAudioCaptureError> errorOf(Call call) {
        try {
            call();
        } catch (const SystemAudioCaptureError& error) {
            return error;
        }
        ADD_FAILURE() << "no SystemAudioCaptureError thrown";
        return std::nullopt;
    }

    ManualHostClock clock{kStartNanos};
    ScopedHostClock clockInstalled{clock};
    std::shared_ptr<SimulatedAudioSystem> system = SimulatedAudioSystem::create();
    ScopedAudioSystem installed{system};
};

TEST_F(SystemAudioCaptureTest, StartBuildsAPrivateStereoTapInsideAPrivateAggregateDevice) {
    // The tap mixes every process to stereo, privately and audibly; the aggregate device holds
    // that tap alone under a fresh upper-case UUID; stop releases everything.
    const auto capture = CoreAudioTapCapture::make();
    capture->start();
    const auto tap = taps().tapDescription(capture->tapID());
    ASSERT_TRUE(tap);
    EXPECT_EQ(tap->name, "Corvessa Call Tap");
    EXPECT_TRUE(tap->isPrivate && tap->isExclusive && tap->processes.empty() && !tap->isMono);
    EXPECT_EQ(tap->muteBehavior, TapMuteBehavior::unmuted);
    const auto device = taps().aggregateDescription(capture->aggregateID());
    ASSERT_TRUE(device);
    EXPECT_EQ(device->name, "Corvessa Tap Device");
    EXPECT_TRUE(
        std::regex_match(device->uid, std::regex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")));
    EXPECT_TRUE(device->isPrivate && !device->isStacked && device->tapAutoStart);
    ASSERT_EQ(device->taps.size(), 1u);
    EXPECT_TRUE(device->taps[0].driftCompensation);
    EXPECT_EQ(taps().runningIOProcCount(), 1u);

    capture->stop();
    EXPECT_EQ(capture->tapID(), 0u);
    EXPECT_EQ(capture->aggregateID(), 0u);
    EXPECT_FALSE(capture->hasIOProc());
    expectNothingLeft();
}

TEST_F(SystemAudioCaptureTest, DeliversEachCycleToBothCallbacksWithItsCaptureTime) {
    // Every IO cycle reaches both callbacks as one buffer of the tap's stereo audio; the timed
    // callback gets the cycle's host time, or the current time when the stamp has none. Stop
    // returns only after the queued cycles have been delivered.
    const auto capture = CoreAudioTapCapture::make();
    Received received;
    received.attach(*capture);
    ASSERT_TRUE(system->speakerBus()->play({std::vector<float>(1024, 0.25f), 2}, kStartNanos));
    capture->start();
    ASSERT_EQ(system->pump({2, 256, capture->aggregateID()}), 1u);
    system->setHostTimeValid(false);
    clock.set(7'000'000'000);
    ASSERT_EQ(system->pump({1, 256, capture->aggregateID()}), 1u);
    capture->stop();

    std::lock_guard lock(received.mutex);
    ASSERT_EQ(received.plain.size(), 3u);
    EXPECT_EQ(received.timed, received.plain);
    EXPECT_EQ(received.plain[0], std::vector<float>(512, 0.25f));
    EXPECT_EQ(received.times[0], kStartNanos);
    EXPECT_NEAR(static_cast<double>(received.times[1]), 1e9 + 256e9 / 48'000.0, 1.0);
    EXPECT_EQ(received.times[2], 7'000'000'000u);
}

TEST_F(SystemAudioCaptureTest, AStartFailingAtAnyStepLeavesWhatItMadeForStop) {
    // Each step's failure is reported with the system's status; whatever the earlier steps
    // created stays until stop releases it.
    struct Case {
        const char* name;
        Fault fault;
        SystemAudioCaptureError error;
        std::size_t taps, devices, procs;
    };
    const Case cases[] = {
        {"tap",
         {AudioCall::createProcessTap, -50},
         SystemAudioCaptureError::tapCreationFailed(-50),
         0,
         0,
         0},
        {"no tap",
         {AudioCall::createProcessTap, 0},
         SystemAudioCaptureError::tapCreationFailed(0),
         0,
         0,
         0},
        {"uid",
         {AudioCall::objectGetPropertyData, -1, {}, kAudioTapPropertyUID},
         SystemAudioCaptureError::formatUnavailable(),
         1,
         0,
         0},
        {"format",
         {AudioCall::objectGetPropertyData, -1, {}, kAudioTapPropertyFormat},
         SystemAudioCaptureError::formatUnavailable(),
         1,
         0,
         0},
        {"device",
         {AudioCall::createAggregateDevice, -2},
         SystemAudioCaptureError::aggregateCreationFailed(-2),
         1,
         0,
         0},
        {"no device",
         {AudioCall::createAggregateDevice, 0},
         SystemAudioCaptureError::aggregateCreationFailed(0),
         1,
         0,
         0},
        {"io proc",
         {AudioCall::deviceCreateIOProcID, -3},
         SystemAudioCaptureError::ioProcFailed(-3),
         1,
         1,
         0},
        {"no io proc",
         {AudioCall::deviceCreateIOProcID, 0},
         SystemAudioCaptureError::ioProcFailed(0),
         1,
         1,
         0},
        {"start", {AudioCall::deviceStart, -4}, SystemAudioCaptureError::ioProcFailed(-4), 1, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        system->clearFaults();
        system->injectFault(c.fault);
        const auto capture = CoreAudioTapCapture::make();
        EXPECT_EQ(errorOf([&] { capture->start(); }), c.error);
        EXPECT_EQ(taps().tapCount(), c.taps);
        EXPECT_EQ(taps().aggregateDeviceCount(), c.devices);
        EXPECT_EQ(taps().ioProcCount(), c.procs);
        EXPECT_EQ(taps().runningIOProcCount(), 0u);
        capture->stop();
        expectNothingLeft();
    }
}

TEST_F(SystemAudioCaptureTest, EveryStartUsesAFreshDeviceUIDAndCapturesRunSideBySide) {
    // A restarted capture builds its device under a new UID (a start without stop releases the
    // earlier objects first); two captures run at once on the same speaker output and stopping
    // one leaves the other delivering.
    const auto first = CoreAudioTapCapture::make();
    first->start();
    const std::string firstUID = taps().aggregateDescription(first->aggregateID())->uid;
    first->stop();
    first->start();
    EXPECT_NE(taps().aggregateDescription(first->aggregateID())->uid, firstUID);
    first->start();  // a start without stop releases the earlier objects
    EXPECT_EQ(taps().tapCount(), 1u);
    EXPECT_EQ(taps().aggregateDeviceCount(), 1u);

    const auto second = CoreAudioTapCapture::make();
    Received a;
    Received b;
    a.attach(*first);
    b.attach(*second);
    second->start();
    EXPECT_EQ(system->pump({2, 128, {}}), 2u);
    first->stop();
    EXPECT_EQ(system->pump({1, 128, {}}), 1u);
    second->stop();
    EXPECT_EQ(a.plain.size(), 2u);
    EXPECT_EQ(b.plain.size(), 3u);
    expectNothingLeft();
}

TEST(SystemAudioCaptureBuffers, ACycleShorterThanAFrameGivesNoBufferAndPlanesAreCopiedByIndex) {
    // A first buffer holding less than one frame yields nothing; otherwise the frame count comes
    // from the first buffer and each plane is copied into its own, up to the smaller size.
    const auto stereo = AudioFormat::make(CommonFormat::pcmFormatFloat32, 48'000.0, 2, true);
    const auto planar = AudioFormat::make(CommonFormat::pcmFormatFloat32, 48'000.0, 2, false);
    float samples[4] = {1.0f, 2.0f, 3.0f, 4.0f};
    AudioBufferList shortList{1, {{2, 4, samples}}};
    EXPECT_EQ(CoreAudioTapCapture::makeBuffer(&shortList, *stereo), nullptr);
    AudioBufferList empty{0, {}};
    EXPECT_EQ(CoreAudioTapCapture::makeBuffer(&empty, *stereo), nullptr);
    AudioBufferList whole{1, {{2, 16, samples}}};
    const auto interleaved = CoreAudioTapCapture::makeBuffer(&whole, *stereo);
    ASSERT_TRUE(interleaved);
    EXPECT_EQ(interleaved->frameLength(), 2u);
    EXPECT_EQ(interleaved->floatChannelData()[0][3], 4.0f);

    float right[3] = {-1.0f, -2.0f, -3.0f};
    std::vector<std::byte> storage(sizeof(AudioBufferList) + sizeof(AudioBuffer));
    auto* list = reinterpret_cast<AudioBufferList*>(storage.data());
    list->mNumberBuffers = 2;
    AudioBuffer* buffers = list->mBuffers;
    buffers[0] = {1, 8, samples};  // two frames decide the length
    buffers[1] = {1, 12, right};   // a longer plane is cut to the buffer
    const auto planes = CoreAudioTapCapture::makeBuffer(list, *planar);
    ASSERT_TRUE(planes);
    EXPECT_EQ(planes->frameLength(), 2u);
    EXPECT_EQ(planes->floatChannelData()[0][1], 2.0f);
    EXPECT_EQ(planes->floatChannelData()[1][1], -2.0f);
}

TEST_F(SystemAudioCaptureTest, TheFactoryFallsBackWhereTheSystemHasNoTaps) {
    // With taps the factory makes a tap capture; without them a stand-in that refuses to start,
    // does nothing on stop and never calls its callback.
    EXPECT_TRUE(std::dynamic_pointer_cast<CoreAudioTapCapture>(
        amberlin::SystemAudioCaptureFactory::make()));
    taps().setSupported(false);
    const auto stand_in = amberlin::SystemAudioCaptureFactory::make();
    ASSERT_TRUE(std::dynamic_pointer_cast<amberlin::UnavailableSystemAudioCapture>(stand_in));
    std::atomic<int> calls{0};
    stand_in->setOnAudioBuffer([&](const std::shared_ptr<PCMBuffer>&) { ++calls; });
    EXPECT_EQ(errorOf([&] { stand_in->start(); }), SystemAudioCaptureError::unavailable());
    stand_in->stop();
    EXPECT_TRUE(static_cast<bool>(stand_in->onAudioBuffer()));
    EXPECT_EQ(calls.load(), 0);
    expectNothingLeft();
}

}  // namespace
