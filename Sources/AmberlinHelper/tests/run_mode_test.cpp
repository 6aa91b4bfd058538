// Tests of the helper's run mode: its refusals, the device it binds, stopping in process, and a
// second producer started while another process feeds the ring.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stop_token>
#include <thread>
#include <utility>

#include "AmberlinAudioCore/ProducerGuard.h"
#include "HelperFixture.h"
#include "RunMode.h"
#include "amberlin/am_shared_ring.h"

namespace {

using amberlin::AudioPipelineError;
using amberlin::helper::refusalMessage;
using corvessa::testing::BackgroundRun;
using corvessa::testing::eventually;
using corvessa::testing::HelperFixture;
using corvessa::testing::HelperRun;
using corvessa::testing::RingView;

constexpr const char* kVirtualUID = "com.halvern.corvessa.mic.device";
constexpr const char* kFeeding =
    "CorvessaHelper is feeding Corvessa Mic. Press Control-C to stop.\n";
constexpr const char* kNoInput = "CorvessaHelper: no physical input device is available.\n";
constexpr const char* kOtherProducer =
    "CorvessaHelper: another producer (the app or helper) is already feeding Corvessa Mic. Quit "
    "it first.\n";

// Run-mode runs over a private world.
class HelperRunModeTest : public HelperFixture {};

TEST(RefusalMessageTest, ThreeStartErrorsHaveTheirLinesAndNoOtherHasOne) {
    using Code = AudioPipelineError::Code;
    EXPECT_EQ(refusalMessage(Code::inputDeviceUnavailable),
              "CorvessaHelper: no physical input device is available.");
    EXPECT_EQ(refusalMessage(Code::wouldCaptureVirtualDevice),
              "CorvessaHelper: refusing to capture the Corvessa virtual mic. Select a physical "
              "input device.");
    EXPECT_EQ(refusalMessage(Code::producerAlreadyRunning),
              "CorvessaHelper: another producer (the app or helper) is already feeding Corvessa "
              "Mic. Quit it first.");
    for (const Code code :
         {Code::deviceBindingFailed, Code::captureUnitUnavailable, Code::inputFormatUnavailable,
          Code::converterUnavailable, Code::alreadyRunning}) {
        EXPECT_FALSE(refusalMessage(code).has_value()) << static_cast<int>(code);
    }
}

TEST_F(HelperRunModeTest, RunWithoutAPhysicalInputRefuses) {
    // Neither an empty system nor one with only the virtual microphone has anything to capture.
    for (const bool withVirtual : {false, true}) {
        SCOPED_TRACE(withVirtual);
        if (withVirtual) {
            addDevice(100, kVirtualUID, "Corvessa Mic");
            system_->setDefaultInputDevice(100);
        }
        const HelperRun result = run({"--run"});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, kNoInput);
    }
}

TEST_F(HelperRunModeTest, RunWhileTheProducerLockIsHeldRefusesAndLeavesTheRingAlone) {
    addDevice(10, "builtin-mic", "Built-in Microphone");
    RingView ring(environment_.ringName);
    ASSERT_TRUE(ring.valid());
    const auto held = amberlin::ProducerGuard::acquire(environment_.producerLockPath);
    ASSERT_NE(held, nullptr);
    const HelperRun result = run({"--run"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, kOtherProducer);
    EXPECT_EQ(system_->runningUnitCount(), 0u);
}

TEST_F(HelperRunModeTest, RunBindsTheFirstPhysicalDeviceWhenTheVirtualOneIsDefault) {
    // Nothing stored and the virtual microphone as system default: run mode captures the
    // alphabetically first physical device, attaches as producer, and on stop detaches.
    addDevice(20, "usb-2", "USB Headset");
    addDevice(10, "builtin-mic", "Built-in Microphone");
    addDevice(100, kVirtualUID, "Corvessa Mic");
    system_->setDefaultInputDevice(100);
    RingView ring(environment_.ringName);
    ASSERT_TRUE(ring.valid());

    BackgroundRun helper(environment_);
    ASSERT_TRUE(eventually([&] { return ring.producerAttached(); }));
    EXPECT_EQ(system_->runningUnitCount(10), 1u);
    EXPECT_EQ(system_->runningUnitCount(), 1u);
    const HelperRun result = helper.finish();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, kFeeding);
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(ring.producerAttached());
    EXPECT_EQ(system_->runningUnitCount(), 0u);
}

TEST_F(HelperRunModeTest, RunReportsACaptureUnitThatWillNotStart) {
    addDevice(10, "builtin-mic", "Built-in Microphone");
    system_->injectFault({.call = platform::AudioCall::outputUnitStart, .status = -50});
    const HelperRun result = run({"--run"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "CorvessaHelper: could not start capturing (captureUnitUnavailable, status -50).\n");
}

// The first producer: a child process running "--run" on its own simulated microphone in real
// time, until it is interrupted. Never returns.
[[noreturn]] void runFirstProducer(const amberlin::helper::HelperEnvironment& environment) {
    auto system = platform::SimulatedAudioSystem::create();
    system->setIOClock({.mode = platform::SimulatedIOClock::Mode::paced, .speed = 1.0});
    system->addDevice({.id = 10, .uid = "child-mic", .name = "Child Microphone"});
    platform::ScopedAudioSystem installed(system);
    std::ostringstream out, err;
    const std::vector<std::string> arguments{"--run"};
    const int status = amberlin::helper::runHelper(arguments, out, err, environment);
    ::_exit(100 + status);
}

// A forked child that is killed and reaped when the test leaves early.
class ChildProcess {
  public:
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// True while the child has not ended.
    bool running() const { return ::waitpid(pid_, nullptr, WNOHANG) == 0; }
    /// Sends `signal` and waits for the child; returns its wait status.
    int end(int signal) {
        int status = 0;
        ::kill(pid_, signal);
        ::waitpid(std::exchange(pid_, -1), &status, 0);
        return status;
    }

  private:
    pid_t pid_;
};

TEST_F(HelperRunModeTest, SecondProducerAcrossProcessesIsRefusedWhileTheFirstKeepsFeeding) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        runFirstProducer(environment_);
    }
    ChildProcess child(pid);
    RingView ring(environment_.ringName);
    ASSERT_TRUE(ring.valid());
    ASSERT_TRUE(eventually([&] { return ring.producerAttached(); }));

    addDevice(10, "builtin-mic", "Built-in Microphone");
    const HelperRun second = run({"--run"});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, kOtherProducer);

    // Nobody reads, so a producer that still writes keeps evicting frames from the full ring.
    const std::uint64_t before = ring.health().overrun_count;
    EXPECT_TRUE(eventually([&] { return ring.health().overrun_count > before + 10; }));
    EXPECT_TRUE(ring.producerAttached());
    EXPECT_TRUE(child.running()) << "the first producer must still run";

    // Control-C ends the first producer by the default action: no handler intercepts it.
    const int status = child.end(SIGINT);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "status " << status;
}

}  // namespace
