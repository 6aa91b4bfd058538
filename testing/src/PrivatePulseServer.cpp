// Private sound server for tests: process management, pactl and pacat invocations.
#include "platform/testing/PrivatePulseServer.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pulse/error.h>
#include <pulse/simple.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <thread>

extern char** environ;

namespace platform::testing {
namespace {

using namespace std::chrono_literals;

}  // namespace

std::vector<std::string> environmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const auto name = text.substr(0, text.find('=') + 1);
        bool replaced = false;
        for (const auto& add : extra) {
            replaced = replaced || add.starts_with(name);
        }
        if (!replaced) {
            merged.emplace_back(text);
        }
    }
    merged.insert(merged.end(), extra.begin(), extra.end());
    return merged;
}

namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) {
        result.push_back(s.data());
    }
    result.push_back(nullptr);
    return result;
}

/// Spawns `argv` with `environment`; stdout goes to `stdoutFd` (-1: /dev/null), stderr to
/// /dev/null. Returns the child's pid or -1.
pid_t spawn(std::vector<std::string> argv, std::vector<std::string> environment, int stdoutFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    auto args = pointers(argv);
    auto env = pointers(environment);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data()) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

/// Waits for `pid`; its exit code, or -1 when it was killed.
int waitForExit(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// Whether the child `pid` still runs; reaps it and sets `pid` to -1 once it has ended.
bool stillRunning(pid_t& pid) {
    if (pid <= 0) {
        return false;
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return false;
    }
    return true;
}

/// Ends the child `pid` with SIGKILL, reaps it and sets `pid` to -1; nothing for no child.
void killAndReap(pid_t& pid) {
    if (pid > 0) {
        ::kill(pid, SIGKILL);
        waitForExit(pid);
        pid = -1;
    }
}

bool socketAnswers(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return ok;
}

/// Quotes a module argument value for the server's argument parser.
std::string quoted(const std::string& value) {
    return "'" + value + "'";
}

}  // namespace

ProgramResult runProgram(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnvironment) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t pid = spawn(argv, environmentWith(extraEnvironment), fds[1]);
    close(fds[1]);
    ProgramResult result;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(fds[0], buffer, sizeof(buffer))) > 0 || (got < 0 && errno == EINTR)) {
        if (got > 0) {
            result.output.append(buffer, static_cast<size_t>(got));
        }
    }
    close(fds[0]);
    result.exitStatus = pid < 0 ? -1 : waitForExit(pid);
    return result;
}

bool programOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string_view rest = path != nullptr ? path : "/usr/bin:/bin";
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const auto folder = rest.substr(0, colon);
        const auto candidate = std::string(folder) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) {
            return true;
        }
        rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
    }
    return false;
}

PulsePlayback::~PulsePlayback() {
    stop();
    std::error_code ignored;
    std::filesystem::remove(file_, ignored);
}

bool PulsePlayback::isPlaying() {
    return stillRunning(pid_);
}

bool PulsePlayback::waitUntilDone(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (isPlaying()) {
        if (std::chrono::steady_clock::now() > deadline) {
            stop();
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

void PulsePlayback::stop() {
    killAndReap(pid_);
}

struct PulseRecorder::State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<float> samples;
    unsigned channels = 1;
    bool connected = false;
    bool ended = false;
    double firstFrameTime = std::numeric_limits<double>::quiet_NaN();
    std::atomic<bool> stopRequested{false};
};

PulseRecorder::PulseRecorder(const std::string& serverAddress, const std::string& source,
                             unsigned channels)
    : state_(std::make_shared<State>()) {
    state_->channels = channels;
    thread_ = std::thread(
        [this, serverAddress, source, channels] { run(serverAddress, source, channels); });
    std::unique_lock lock(state_->mutex);
    state_->changed.wait_for(lock, 5s, [&] { return state_->connected || state_->ended; });
}

PulseRecorder::~PulseRecorder() {
    stop();
}

void PulseRecorder::run(std::string server, std::string source, unsigned channels) {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 48'000, static_cast<uint8_t>(channels)};
    const uint32_t fragmentBytes = 480 * channels * sizeof(float);
    const pa_buffer_attr attributes{static_cast<uint32_t>(-1), static_cast<uint32_t>(-1),
                                    static_cast<uint32_t>(-1), static_cast<uint32_t>(-1),
                                    fragmentBytes};
    int error = 0;
    pa_simple* stream =
        pa_simple_new(server.c_str(), "corvessa-test-recorder", PA_STREAM_RECORD, source.c_str(),
                      "test recording", &spec, nullptr, &attributes, &error);
    {
        std::lock_guard lock(state_->mutex);
        state_->connected = stream != nullptr;
        state_->ended = stream == nullptr;
    }
    state_->changed.notify_all();
    std::vector<float> fragment(480 * channels);
    while (stream != nullptr && !state_->stopRequested.load()) {
        if (pa_simple_read(stream, fragment.data(), fragmentBytes, &error) < 0) {
            break;
        }
        const double arrival =
            std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
                .count();
        std::lock_guard lock(state_->mutex);
        state_->samples.insert(state_->samples.end(), fragment.begin(), fragment.end());
        const double start =
            arrival - static_cast<double>(state_->samples.size() / channels) / 48'000.0;
        state_->firstFrameTime =
            std::isnan(state_->firstFrameTime) ? start : std::min(state_->firstFrameTime, start);
        state_->changed.notify_all();
    }
    if (stream != nullptr) {
        pa_simple_free(stream);
    }
    std::lock_guard lock(state_->mutex);
    state_->ended = true;
    state_->changed.notify_all();
}

bool PulseRecorder::isRecording() const noexcept {
    std::lock_guard lock(state_->mutex);
    return state_->connected && !state_->ended;
}

bool PulseRecorder::waitForFrames(size_t frames, int timeoutMs) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return state_->samples.size() / state_->channels >= frames || state_->ended;
    }) && state_->samples.size() / state_->channels >= frames;
}

size_t PulseRecorder::frameCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->samples.size() / state_->channels;
}

double PulseRecorder::firstFrameTime() const {
    std::lock_guard lock(state_->mutex);
    return state_->firstFrameTime;
}

std::vector<float> PulseRecorder::stop() {
    state_->stopRequested.store(true);
    if (thread_.joinable()) {
        thread_.join();
    }
    std::lock_guard lock(state_->mutex);
    return state_->samples;
}

bool PrivatePulseServer::installed() {
    return programOnPath("pulseaudio");
}

std::expected<std::unique_ptr<PrivatePulseServer>, std::string> PrivatePulseServer::start() {
    if (!installed()) {
        return std::unexpected("no pulseaudio binary on PATH");
    }
    char pattern[] = "/tmp/corvessa-pulse-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return std::unexpected(std::string("cannot create a private folder: ") +
                               std::strerror(errno));
    }
    const std::string folder = pattern;
    std::filesystem::create_directories(folder + "/config");
    {
        std::ofstream script(folder + "/default.pa");
        script << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << folder
               << "/native\n";
        script << "load-module module-null-sink sink_name=corvessa_test_speakers "
                  "rate=48000 format=float32le channels=2 "
                  "sink_properties=device.description=Speakers\n";
        script << "set-default-sink corvessa_test_speakers\n";
    }
    const std::vector<std::string> argv = {"pulseaudio",
                                           "-n",
                                           "-F",
                                           folder + "/default.pa",
                                           "--daemonize=no",
                                           "--exit-idle-time=-1",
                                           "--use-pid-file=no",
                                           "--disable-shm=no",
                                           "--log-target=file:" + folder + "/server.log"};
    const std::vector<std::string> env = {
        "HOME=" + folder, "XDG_RUNTIME_DIR=" + folder, "XDG_CONFIG_HOME=" + folder + "/config",
        "PULSE_RUNTIME_PATH=" + folder + "/runtime", "PULSE_STATE_PATH=" + folder + "/state"};
    const pid_t pid = spawn(argv, environmentWith(env), -1);
    if (pid < 0) {
        return std::unexpected("cannot start pulseaudio");
    }
    std::unique_ptr<PrivatePulseServer> server(new PrivatePulseServer(folder, pid));
    if (!server->waitUntilAnswering()) {
        std::ifstream log(folder + "/server.log");
        std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        return std::unexpected("the private pulseaudio did not answer; its log:\n" + text);
    }
    return server;
}

PrivatePulseServer::PrivatePulseServer(std::string folder, pid_t pid)
    : folder_(std::move(folder)), address_("unix:" + folder_ + "/native"), pid_(pid) {}

PrivatePulseServer::~PrivatePulseServer() {
    if (exported_) {
        if (hadPreviousServer_) {
            setenv("PULSE_SERVER", previousServer_.c_str(), 1);
        } else {
            unsetenv("PULSE_SERVER");
        }
    }
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + 3s;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                waitForExit(pid_);
                break;
            }
            std::this_thread::sleep_for(5ms);
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

bool PrivatePulseServer::waitUntilAnswering() {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!isRunning()) {
            return false;
        }
        if (socketAnswers(folder_ + "/native") && pactl({"info"}).exitStatus == 0) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

std::vector<std::string> PrivatePulseServer::clientEnvironment() const {
    return {"PULSE_SERVER=" + address_};
}

void PrivatePulseServer::exportToThisProcess() {
    if (!exported_) {
        const char* previous = std::getenv("PULSE_SERVER");
        hadPreviousServer_ = previous != nullptr;
        previousServer_ = previous != nullptr ? previous : "";
        exported_ = true;
    }
    setenv("PULSE_SERVER", address_.c_str(), 1);
}

ProgramResult PrivatePulseServer::pactl(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"pactl", "--server=" + address_};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv);
}

int PrivatePulseServer::loadModule(const std::string& name, const std::string& arguments) const {
    const auto result = pactl({"load-module", name, arguments});
    if (result.exitStatus != 0) {
        return -1;
    }
    return std::atoi(result.output.c_str());
}

bool PrivatePulseServer::addNullSink(const std::string& name, const std::string& description,
                                     unsigned channels) const {
    return loadModule(
               "module-null-sink",
               "sink_name=" + name +
                   " rate=48000 format=float32le channels=" + std::to_string(channels) +
                   " sink_properties=" + quoted("device.description=\"" + description + "\"")) >= 0;
}

bool PrivatePulseServer::addTestSource(const std::string& name, const std::string& description,
                                       unsigned channels) const {
    const auto feed = name + ".feed";
    return addNullSink(feed, description + " feed", channels) &&
           loadModule("module-remap-source",
                      "source_name=" + name + " master=" + feed +
                          ".monitor channels=" + std::to_string(channels) + " source_properties=" +
                          quoted("device.description=\"" + description + "\"")) >= 0;
}

bool PrivatePulseServer::waitForSource(const std::string& name, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto listed = pactl({"list", "short", "sources"});
        if (listed.output.find("\t" + name + "\t") != std::string::npos) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }
}

bool PrivatePulseServer::setDefaultSink(const std::string& name) const {
    return pactl({"set-default-sink", name}).exitStatus == 0;
}

bool PrivatePulseServer::setDefaultSource(const std::string& name) const {
    return pactl({"set-default-source", name}).exitStatus == 0;
}

std::unique_ptr<PulsePlayback> PrivatePulseServer::play(const std::string& sink,
                                                        const std::vector<float>& samples,
                                                        unsigned channels) const {
    static std::atomic<unsigned> counter{0};
    const auto file = folder_ + "/play-" + std::to_string(counter.fetch_add(1)) + ".raw";
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(samples.data()),
                  static_cast<std::streamsize>(samples.size() * sizeof(float)));
    }
    const pid_t pid =
        spawn({"pacat", "--playback", "--server=" + address_, "--device=" + sink,
               "--format=float32le", "--rate=48000", "--channels=" + std::to_string(channels),
               "--latency-msec=20", "--raw", file},
              environmentWith({}), -1);
    return std::make_unique<PulsePlayback>(pid, file);
}

void PrivatePulseServer::kill() {
    killAndReap(pid_);
}

bool PrivatePulseServer::isRunning() {
    return stillRunning(pid_);
}

}  // namespace platform::testing
