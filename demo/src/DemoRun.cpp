// The demonstration run, step by step. Every process and server it starts belongs to an object
// on this function's stack, so an early return stops them all.
#include "DemoRun.h"

#include <signal.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "DemoOutput.h"
#include "platform/testing/ChildProcess.h"
#include "platform/testing/PrivatePulseServer.h"
#include "platform/testing/VoiceScene.h"

namespace corvessa::demo {
namespace {

using namespace std::chrono_literals;
using platform::testing::ChildProcess;
using platform::testing::PrivatePulseServer;
using platform::testing::PulseRecorder;

constexpr const char* kTestMic = "corvessa_demo_mic";
constexpr const char* kCorvessaMic = "com.halvern.corvessa.mic.device";
constexpr double kRate = 48'000.0;

int fail(std::ostream& err, const std::string& why, const std::string& log = {}) {
    err << "corvessa-demo: " << why << "\n";
    if (!log.empty()) {
        err << log << "\n";
    }
    return 1;
}

/// `count` samples of `samples` from `first` on, zero-padded past the end.
std::vector<float> slice(const std::vector<float>& samples, std::size_t first, std::size_t count) {
    std::vector<float> out(count, 0.0F);
    for (std::size_t i = 0; i < count && first + i < samples.size(); ++i) {
        out[i] = samples[first + i];
    }
    return out;
}

/// The two recordings of one playing of the scene, started together.
struct Recordings {
    std::vector<float> before;  ///< the test microphone, as the helper captures it
    std::vector<float> after;   ///< "Corvessa Mic", as an application receives it
    double beforeStart = 0.0;   ///< steady-clock seconds of each recording's first frame
    double afterStart = 0.0;
};

/// Plays the scene into the test microphone while recording it and "Corvessa Mic".
std::optional<Recordings> playAndRecord(const PrivatePulseServer& server,
                                        const corvessa::testing::VoiceScene& scene) {
    PulseRecorder before(server.address(), kTestMic);
    PulseRecorder after(server.address(), kCorvessaMic);
    if (!before.isRecording() || !after.isRecording() || !after.waitForFrames(4800, 5000)) {
        return std::nullopt;
    }
    const auto playback = server.play(std::string(kTestMic) + ".feed", scene.input);
    const auto seconds = static_cast<double>(scene.input.size()) / kRate;
    playback->waitUntilDone(static_cast<int>(seconds * 1000.0) + 10'000);
    std::this_thread::sleep_for(700ms);  // the path's delay and the recorders' last fragments
    Recordings recordings;
    recordings.beforeStart = before.firstFrameTime();
    recordings.afterStart = after.firstFrameTime();
    recordings.before = before.stop();
    recordings.after = after.stop();
    return recordings;
}

/// Measures the recordings against the scene and writes the files; the process status.
int report(const DemoOptions& options, const corvessa::testing::VoiceScene& scene,
           const Recordings& recordings, std::ostream& out, std::ostream& err) {
    const std::size_t onset = corvessa::testing::onsetOf(recordings.before);
    if (onset == recordings.before.size()) {
        return fail(err, "the test microphone delivered nothing");
    }
    // The same moment in the other recording's sample count, then a search for the voice
    // starting 100 ms before it.
    const double offset = (recordings.afterStart - recordings.beforeStart) * kRate;
    const double guess = static_cast<double>(onset) - offset - 4800.0;
    const auto searchStart = static_cast<std::size_t>(std::max(0.0, guess));
    const auto after = slice(recordings.after, searchStart, scene.input.size() + 48'000);
    const auto figures = corvessa::testing::measureVoice(scene, after, 48'000);
    const double delayMs =
        1000.0 *
        ((static_cast<double>(searchStart + figures.delay) - static_cast<double>(onset)) / kRate +
         recordings.afterStart - recordings.beforeStart);
    out << "\nResults (" << scene.sentences.size() << " sentences, "
        << static_cast<double>(scene.input.size()) / kRate << " s, speech " << options.snrDb
        << " dB above pink noise):\n";
    printFigures(figures, delayMs, out);

    std::filesystem::create_directories(options.outputFolder);
    const auto folder = std::filesystem::absolute(options.outputFolder).string();
    const auto beforeFile = folder + "/before.wav";
    const auto afterFile = folder + "/after.wav";
    const auto picture = folder + "/spectrogram.png";
    const bool wrote = writeWav(beforeFile, slice(recordings.before, onset, scene.input.size())) &&
                       writeWav(afterFile, slice(after, figures.delay, scene.input.size()));
    if (!wrote) {
        return fail(err, "could not write the WAV files into " + folder);
    }
    out << "  files: " << beforeFile << ", " << afterFile;
    out << (drawSpectrogram(beforeFile, afterFile, picture) ? ", " + picture
                                                            : " (no spectrogram: sox failed)")
        << "\n";
    if (figures.outputSpeech < figures.cleanSpeech - 10.0 || figures.pauseAttenuation() < 10.0) {
        return fail(err, "Corvessa Mic did not deliver the cleaned voice (see the figures)");
    }
    return 0;
}

}  // namespace

int runDemo(const DemoOptions& options, std::ostream& out, std::ostream& err) {
    out << "Corvessa demo: cleaned voice from a noisy test microphone to \"Corvessa Mic\"\n";
    const auto scene = corvessa::testing::makeVoiceScene(
        {"Good morning, this is Corvessa speaking.", "The noise around me should disappear.",
         "Only my voice reaches the meeting."},
        0.5, options.snrDb, 11);
    if (!scene) {
        return fail(err, "espeak-ng could not render the test speech");
    }
    auto started = PrivatePulseServer::start();
    if (!started) {
        return fail(err, "could not start a private sound server: " + started.error());
    }
    const auto& server = **started;
    out << "  sound server: a private PulseAudio at " << server.address()
        << " (your own sound server is not touched)\n";
    if (!server.addTestSource(kTestMic, "Demo Microphone (noisy speech)") ||
        !server.setDefaultSource(kTestMic)) {
        return fail(err, "could not create the test microphone");
    }
    auto environment = server.clientEnvironment();
    environment.push_back("XDG_RUNTIME_DIR=" + server.folder());
    environment.push_back("XDG_CONFIG_HOME=" + server.folder() + "/demo-config");
    out << "  test microphone: \"Demo Microphone (noisy speech)\", the default input\n";

    ChildProcess daemon({options.daemon, "--plugin", options.plugin}, environment,
                        server.folder() + "/daemon.log");
    if (!server.waitForSource(kCorvessaMic, 10'000)) {
        return fail(
            err, "the audio-server daemon did not publish Corvessa Mic; its log:", daemon.output());
    }
    out << "  audio-server daemon: running, \"Corvessa Mic\" published\n\n";

    const auto helperReport = platform::testing::runProgram({options.helper}, environment);
    out << "$ CorvessaHelper\n" << helperReport.output << "\n";
    if (helperReport.output.find("DETECTED") == std::string::npos) {
        return fail(err, "the helper's report does not show Corvessa Mic as detected");
    }
    ChildProcess helper({options.helper, "--run"}, environment, server.folder() + "/helper.log");
    if (!helper.waitForOutput("is feeding Corvessa Mic", 10'000)) {
        return fail(err, "CorvessaHelper --run did not start; its output:", helper.output());
    }
    out << "$ CorvessaHelper --run\n" << helper.output();
    out << "  playing noisy speech into the test microphone and recording \"Corvessa Mic\" as an "
           "application would ...\n";
    const auto recordings = playAndRecord(server, *scene);
    helper.terminate(SIGINT);
    daemon.terminate(SIGTERM);
    if (!recordings) {
        return fail(err, "could not record the test microphone and Corvessa Mic");
    }
    return report(options, *scene, *recordings, out, err);
}

}  // namespace corvessa::demo
