// A private PulseAudio server for integration tests: its own runtime folder, socket and
// configuration, started on demand and stopped (with everything it loaded) on destruction, so a
// test never touches the user's own sound server.
//
// Test audio: a test source is a null sink ("<name>.feed") whose monitor is remapped into an
// ordinary (non-monitor) source "<name>" with the description given; sound played into the feed
// sink comes out of the source, paced by the server's own clock.
//
// Threads: one test thread drives a server; the server process itself runs independently.
#ifndef CORVESSA_PLATFORM_TESTING_PRIVATE_PULSE_SERVER_H
#define CORVESSA_PLATFORM_TESTING_PRIVATE_PULSE_SERVER_H

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace platform::testing {

/// Output and exit status of a finished program.
struct ProgramResult {
    int exitStatus = -1;  ///< the program's exit code; -1 when it could not run or was killed
    std::string output;   ///< everything it wrote to standard output
};

/// Runs `argv` (argv[0] looked up on PATH) to completion, with `extraEnvironment` entries
/// ("NAME=value") added to this process's environment; standard error is discarded.
ProgramResult runProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnvironment = {});

/// This process's environment with `extra` entries ("NAME=value") replacing or adding variables.
std::vector<std::string> environmentWith(const std::vector<std::string>& extra);

/// True when `program` is an executable on PATH.
bool programOnPath(const std::string& program);

/// A sound playing into a sink through the server's own client (`pacat`); stops on destruction.
class PulsePlayback {
  public:
    PulsePlayback(pid_t pid, std::string file) : pid_(pid), file_(std::move(file)) {}
    ~PulsePlayback();
    PulsePlayback(const PulsePlayback&) = delete;
    PulsePlayback& operator=(const PulsePlayback&) = delete;
    /// True until the whole sound has been handed to the server.
    bool isPlaying();
    /// Waits until the sound has been handed over, or `timeoutMs` passed (then stops it).
    bool waitUntilDone(int timeoutMs);
    void stop();

  private:
    pid_t pid_;
    std::string file_;
};

/// A recording client of one source (as an application records a microphone): 48 kHz float,
/// `channels` channels, ~10 ms fragments, on its own thread until stopped or destroyed.
class PulseRecorder {
  public:
    /// Connects to `serverAddress` and starts recording `source`; check `isRecording()`.
    PulseRecorder(const std::string& serverAddress, const std::string& source,
                  unsigned channels = 1);
    ~PulseRecorder();
    PulseRecorder(const PulseRecorder&) = delete;
    PulseRecorder& operator=(const PulseRecorder&) = delete;
    /// True once the stream is connected and until it ends.
    bool isRecording() const noexcept;
    /// Waits until at least `frames` frames arrived, or `timeoutMs` passed; whether they did.
    bool waitForFrames(size_t frames, int timeoutMs) const;
    /// Frames received so far.
    size_t frameCount() const;
    /// When the first received frame was captured, in seconds of the steady clock: the earliest
    /// of (arrival − duration up to that fragment's end) over all fragments, so one late delivery
    /// does not skew it. NaN before the first fragment.
    double firstFrameTime() const;
    /// Ends the stream and returns everything received (interleaved).
    std::vector<float> stop();

  private:
    void run(std::string server, std::string source, unsigned channels);
    struct State;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

/// One private server process.
class PrivatePulseServer {
  public:
    /// True when a server binary (`pulseaudio`) is installed.
    static bool installed();
    /// Starts a server, or says why none could be started (no binary, the server did not
    /// answer within a few seconds).
    static std::expected<std::unique_ptr<PrivatePulseServer>, std::string> start();
    ~PrivatePulseServer();
    PrivatePulseServer(const PrivatePulseServer&) = delete;
    PrivatePulseServer& operator=(const PrivatePulseServer&) = delete;

    /// The address clients use ("unix:<folder>/native").
    const std::string& address() const noexcept { return address_; }
    /// The server's private folder (runtime files, log, scratch files of tests).
    const std::string& folder() const noexcept { return folder_; }
    /// The environment entries that point a client program at this server.
    std::vector<std::string> clientEnvironment() const;
    /// Points this process's libpulse clients at this server (PULSE_SERVER) until destruction.
    void exportToThisProcess();

    /// Runs `pactl` against this server with `args`.
    ProgramResult pactl(const std::vector<std::string>& args) const;
    /// Loads a module; its index, or -1 when the server refused it.
    int loadModule(const std::string& name, const std::string& arguments) const;
    /// Adds a null sink (description `description`), 48 kHz float with `channels` channels.
    bool addNullSink(const std::string& name, const std::string& description,
                     unsigned channels = 2) const;
    /// Adds a test source "<name>" fed through the sink "<name>.feed" (see above).
    bool addTestSource(const std::string& name, const std::string& description,
                       unsigned channels = 1) const;
    /// Waits until the server lists a source named `name`, or `timeoutMs` passed; whether it does.
    bool waitForSource(const std::string& name, int timeoutMs) const;
    /// Sets the default sink / source.
    bool setDefaultSink(const std::string& name) const;
    bool setDefaultSource(const std::string& name) const;

    /// Plays `samples` (48 kHz float, interleaved `channels`) into `sink`.
    std::unique_ptr<PulsePlayback> play(const std::string& sink, const std::vector<float>& samples,
                                        unsigned channels = 1) const;

    /// Kills the server process with SIGKILL (as a crash would) and waits for it.
    void kill();
    /// Whether the server process still runs.
    bool isRunning();

  private:
    PrivatePulseServer(std::string folder, pid_t pid);
    bool waitUntilAnswering();

    std::string folder_;
    std::string address_;
    pid_t pid_;
    bool exported_ = false;
    std::string previousServer_;
    bool hadPreviousServer_ = false;
};

}  // namespace platform::testing

/// Skips the calling test (reported as skipped, never as passed) when no server binary is
/// installed, fails it when an installed server does not start, and otherwise declares `var`, a
/// std::unique_ptr<PrivatePulseServer>.
#define CORVESSA_START_PULSE_SERVER_OR_SKIP(var)                            \
    if (!::platform::testing::PrivatePulseServer::installed()) {            \
        GTEST_SKIP() << "no sound server binary (pulseaudio) is installed"; \
    }                                                                       \
    auto var##Started = ::platform::testing::PrivatePulseServer::start();   \
    ASSERT_TRUE(var##Started.has_value()) << var##Started.error();          \
    auto var = std::move(*var##Started)

#endif
