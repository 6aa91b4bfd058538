// The helper program against a real sound server: a private PulseAudio with test microphones,
// the audio-server daemon publishing "Corvessa Mic", and CorvessaHelper run as a user runs it.
// Its report lists the server's microphones and finds the virtual device once the daemon runs;
// --run feeds the cleaned voice that an application recording "Corvessa Mic" receives; a
// producer killed with SIGKILL leaves nothing that stops the next one; a sound server that dies
// under a running helper neither crashes nor hangs it.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/testing/ChildProcess.h"
#include "platform/testing/PrivatePulseServer.h"
#include "platform/testing/VoiceScene.h"

namespace {

using platform::testing::ChildProcess;
using platform::testing::PrivatePulseServer;
using platform::testing::PulseRecorder;

constexpr const char* kCorvessaMic = "com.halvern.corvessa.mic.device";
constexpr const char* kFeeding = "CorvessaHelper is feeding Corvessa Mic.";

class HelperOnARealServer : public ::testing::Test {
  protected:
    /// The helper's environment: this server, private settings and producer lock folder.
    std::vector<std::string> environment(const PrivatePulseServer& server) const {
        auto env = server.clientEnvironment();
        env.push_back("XDG_CONFIG_HOME=" + server.folder() + "/config-helper");
        env.push_back("TMPDIR=" + server.folder());
        return env;
    }
    std::unique_ptr<ChildProcess> startDaemon(const PrivatePulseServer& server) {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{DAEMON_PATH, "--plugin", HAL_PLUGIN_PATH, "--runtime-dir",
                                     server.folder() + "/corvessa"},
            server.clientEnvironment(), server.folder() + "/daemon.log");
    }
    std::unique_ptr<ChildProcess> startRun(const PrivatePulseServer& server, int n) {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{HELPER_PATH, "--run"}, environment(server),
            server.folder() + "/run" + std::to_string(n) + ".log");
    }
};

TEST_F(HelperOnARealServer, ReportListsTheMicrophonesAndDetectsCorvessaMicOnceTheDaemonRuns) {
    CORVESSA_START_PULSE_SERVER_OR_SKIP(server);
    ASSERT_TRUE(server->addTestSource("desk_mic", "Desk Mic"));
    ASSERT_TRUE(server->addTestSource("usb_headset", "USB Headset", 2));
    ASSERT_TRUE(server->setDefaultSource("usb_headset"));

    const auto before = platform::testing::runProgram({HELPER_PATH}, environment(*server));
    EXPECT_EQ(before.exitStatus, 0);
    EXPECT_NE(before.output.find("Selected input: USB Headset\n"), std::string::npos)
        << before.output;
    EXPECT_NE(before.output.find("  - Desk Mic [desk_mic]\n"), std::string::npos);
    EXPECT_NE(before.output.find("  - USB Headset [usb_headset]\n"), std::string::npos);
    EXPECT_EQ(before.output.find(".monitor"), std::string::npos) << "monitors are no microphones";
    EXPECT_NE(before.output.find("Corvessa Mic virtual device: NOT FOUND."), std::string::npos);

    const auto daemon = startDaemon(*server);
    ASSERT_TRUE(server->waitForSource(kCorvessaMic, 10'000)) << daemon->output();
    const auto after = platform::testing::runProgram({HELPER_PATH}, environment(*server));
    EXPECT_NE(after.output.find("Corvessa Mic virtual device: DETECTED."), std::string::npos)
        << after.output;
    EXPECT_NE(after.output.find("  - Corvessa Mic [com.halvern.corvessa.mic.device]"),
              std::string::npos);
}

TEST_F(HelperOnARealServer, RunFeedsTheCleanedVoiceToAnApplicationRecordingCorvessaMic) {
    const auto scene = corvessa::testing::makeVoiceScene(
        {"Please call Stella and ask her to bring these things."}, 0.5, 15.0, 3);
    ASSERT_TRUE(scene.has_value()) << "espeak-ng could not render the speech";
    CORVESSA_START_PULSE_SERVER_OR_SKIP(server);
    ASSERT_TRUE(server->addTestSource("desk_mic", "Desk Mic"));
    ASSERT_TRUE(server->setDefaultSource("desk_mic"));
    const auto daemon = startDaemon(*server);
    ASSERT_TRUE(server->waitForSource(kCorvessaMic, 10'000)) << daemon->output();
    const auto helper = startRun(*server, 1);
    ASSERT_TRUE(helper->waitForOutput(kFeeding, 10'000)) << helper->output();

    PulseRecorder recorder(server->address(), kCorvessaMic);
    ASSERT_TRUE(recorder.isRecording());
    const size_t startFrames = recorder.frameCount();
    auto playback = server->play("desk_mic.feed", scene->input);
    ASSERT_TRUE(playback->waitUntilDone(30'000));
    ASSERT_TRUE(recorder.waitForFrames(startFrames + scene->input.size() + 48'000, 10'000));
    const auto recorded = recorder.stop();
    EXPECT_TRUE(helper->isRunning()) << helper->output();

    // The recording is silent until the played noise arrives; the scene is searched for from
    // 100 ms before that on.
    const size_t onset = corvessa::testing::onsetOf(recorded);
    ASSERT_LT(onset, recorded.size()) << "nothing arrived at Corvessa Mic";
    const size_t from = onset > 4'800 ? onset - 4'800 : 0;
    const std::vector<float> arrived(recorded.begin() + static_cast<std::ptrdiff_t>(from),
                                     recorded.end());
    const auto figures = corvessa::testing::measureVoice(*scene, arrived, 24'000);
    std::printf(
        "[  figures ] pauses %.1f -> %.1f dBFS, speech %.1f dBFS (clean %.1f), "
        "scene found %zu samples after the first sound\n",
        figures.inputPauseNoise, figures.outputPauseNoise, figures.outputSpeech,
        figures.cleanSpeech, from + figures.delay - onset);
    EXPECT_GE(figures.pauseAttenuation(), 20.0);
    EXPECT_LE(std::abs(figures.speechChange()), 3.0);
}

TEST_F(HelperOnARealServer, AProducerKilledWithSigkillIsFollowedByANewOne) {
    CORVESSA_START_PULSE_SERVER_OR_SKIP(server);
    ASSERT_TRUE(server->addTestSource("desk_mic", "Desk Mic"));
    ASSERT_TRUE(server->setDefaultSource("desk_mic"));
    const auto first = startRun(*server, 1);
    ASSERT_TRUE(first->waitForOutput(kFeeding, 10'000)) << first->output();
    // While it runs a second producer is refused ...
    const auto refused =
        platform::testing::runProgram({HELPER_PATH, "--run"}, environment(*server));
    EXPECT_EQ(refused.exitStatus, 1);
    // ... and once it is killed outright a new one starts at once.
    EXPECT_EQ(first->terminate(SIGKILL), -1);
    const auto second = startRun(*server, 2);
    EXPECT_TRUE(second->waitForOutput(kFeeding, 10'000)) << second->output();
    EXPECT_TRUE(second->isRunning());
}

TEST_F(HelperOnARealServer, ASoundServerThatGoesAwayNeitherCrashesNorHangsTheHelper) {
    CORVESSA_START_PULSE_SERVER_OR_SKIP(server);
    ASSERT_TRUE(server->addTestSource("desk_mic", "Desk Mic"));
    ASSERT_TRUE(server->setDefaultSource("desk_mic"));
    const auto helper = startRun(*server, 1);
    ASSERT_TRUE(helper->waitForOutput(kFeeding, 10'000)) << helper->output();

    server->kill();
    // Still feeding (silence) a second later, and a report with no server answers at once.
    EXPECT_EQ(helper->waitForExit(1'000), -2) << helper->output();
    const auto started = std::chrono::steady_clock::now();
    const auto report = platform::testing::runProgram({HELPER_PATH}, environment(*server));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_NE(report.output.find("Corvessa Mic virtual device: NOT FOUND."), std::string::npos)
        << report.output;
    EXPECT_TRUE(helper->isRunning());
}

}  // namespace
