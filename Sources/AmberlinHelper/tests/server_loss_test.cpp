// The sound server going away under "CorvessaHelper --run", simulated: every IO cycle fails to
// render, the microphone leaves the device list and every property call fails. The helper
// neither crashes nor hangs: it keeps running and writes nothing (the virtual microphone plays
// silence), the same capture delivers again once the server answers, and a stop while every
// capture-unit call is refused still returns, with no callback reaching the stopped pipeline.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>

#include "HelperFixture.h"
#include "platform/SimulatedFaults.h"

namespace {

using corvessa::testing::BackgroundRun;
using corvessa::testing::eventually;
using corvessa::testing::HelperFixture;
using corvessa::testing::HelperRun;
using corvessa::testing::RingView;
using platform::AudioCall;
using namespace std::chrono_literals;

constexpr AudioObjectID kMicrophone = 10;

class HelperServerLossTest : public HelperFixture {
  protected:
    void SetUp() override {
        HelperFixture::SetUp();
        // IO runs by itself, four times faster than real time, as a live server drives it.
        system_->setIOClock({platform::SimulatedIOClock::Mode::paced, 4.0});
        ASSERT_NE(system_->addDevice({.id = kMicrophone,
                                      .uid = "usb-mic",
                                      .name = "USB Microphone",
                                      .bufferFrameSize = 480,
                                      .source = std::make_shared<platform::PinkNoiseSource>(0.1f)}),
                  nullptr);
        system_->setDefaultInputDevice(kMicrophone);
    }

    /// The server is gone: IO fails, the device is unlisted, property calls fail.
    void loseServer() {
        system_->injectFault(
            {.call = AudioCall::unitRender, .status = kAudioHardwareUnspecifiedError});
        system_->removeDevice(kMicrophone);
        for (const AudioCall call :
             {AudioCall::objectGetPropertyData, AudioCall::objectGetPropertyDataSize,
              AudioCall::objectSetPropertyData}) {
            system_->injectFault({.call = call, .status = kAudioHardwareBadObjectError});
        }
    }

    /// Frames written so far, as the ring counts them once full (nobody reads this private ring,
    /// so every frame beyond its 32 evicts one and counts an overrun).
    std::uint64_t framesEvicted(const RingView& ring) const { return ring.health().overrun_count; }
};

TEST_F(HelperServerLossTest, TheHelperSurvivesTheServerGoingAndComingBackAndStillStops) {
    RingView ring(environment_.ringName);
    ASSERT_TRUE(ring.valid());
    BackgroundRun helper(environment_);
    ASSERT_TRUE(eventually([&] { return framesEvicted(ring) > 0; })) << "no audio before the loss";

    loseServer();
    std::this_thread::sleep_for(100ms);  // a cycle already rendered may still be processed
    const std::uint64_t lost = framesEvicted(ring);
    std::this_thread::sleep_for(300ms);  // 1.2 s of device time
    EXPECT_EQ(framesEvicted(ring), lost) << "frames appeared with the server gone";
    EXPECT_TRUE(ring.producerAttached()) << "the helper let go of the ring";

    system_->clearFaults();  // the server answers again; the capture unit was never torn down
    EXPECT_TRUE(eventually([&] { return framesEvicted(ring) > lost; })) << "audio did not resume";

    // Stopping while the server refuses every capture-unit call must neither hang nor leave a
    // callback running into the released pipeline.
    loseServer();
    for (const AudioCall call : {AudioCall::outputUnitStop, AudioCall::unitUninitialize,
                                 AudioCall::componentInstanceDispose}) {
        system_->injectFault({.call = call, .status = kAudioHardwareUnspecifiedError});
    }
    auto finished = std::async(std::launch::async, [&] { return helper.finish(); });
    if (finished.wait_for(10s) != std::future_status::ready) {
        std::fprintf(stderr, "the helper did not stop within 10 s\n");
        std::abort();  // a hung run cannot be joined; fail loudly
    }
    const HelperRun result = finished.get();
    EXPECT_EQ(result.status, 0) << result.err;
    system_->clearFaults();
    std::this_thread::sleep_for(200ms);  // any IO thread left behind would call back now
    EXPECT_FALSE(ring.producerAttached());
}

}  // namespace
