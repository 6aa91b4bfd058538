// A program run as a real child process against a chosen sound server (the audio-server daemon,
// or a recording client such as pacat), for tests and the latency bench. Its standard error goes
// to a log file (shown when a test fails).
#ifndef CORVESSA_AUDIOSERVER_TESTS_CHILD_PROCESS_H
#define CORVESSA_AUDIOSERVER_TESTS_CHILD_PROCESS_H

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace corvessa::testing {

class ChildProcess {
  public:
    /// Starts `program` (looked up on PATH) with `args`, PULSE_SERVER set to `server`, stderr
    /// appended to `log`.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::string& server, std::string log)
        : log_(std::move(log)) {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env{"PULSE_SERVER=" + server};
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (std::string_view(*entry).rfind("PULSE_SERVER=", 0) != 0) {
                env.emplace_back(*entry);
            }
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log_.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
        std::vector<char*> argp = pointers(argv);
        std::vector<char*> envp = pointers(env);
        if (posix_spawnp(&pid_, program.c_str(), &actions, nullptr, argp.data(), envp.data()) !=
            0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            signal(SIGKILL);
            waitForExit(std::chrono::seconds(5));
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const noexcept { return pid_ > 0; }
    void signal(int number) const {
        if (pid_ > 0) {
            ::kill(pid_, number);
        }
    }
    /// The exit status once the process ended (-1 when killed by a signal), nullopt on timeout.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (pid_ > 0) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return std::nullopt;
    }
    /// Everything the process logged so far.
    std::string log() const {
        std::ifstream in(log_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    static std::vector<char*> pointers(std::vector<std::string>& strings) {
        std::vector<char*> result;
        for (auto& s : strings) {
            result.push_back(s.data());
        }
        result.push_back(nullptr);
        return result;
    }

    std::string log_;
    pid_t pid_ = -1;
};

}  // namespace corvessa::testing

#endif
