// Background programs for tests and tools: spawn, signal, reap, read their output.
#include "platform/testing/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "platform/testing/PrivatePulseServer.h"

namespace platform::testing {
namespace {

using namespace std::chrono_literals;

/// The exit code a wait status reports; -1 for a program ended by a signal.
int exitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extraEnvironment, std::string logFile)
    : logFile_(std::move(logFile)) {
    auto arguments = argv;
    auto environment = environmentWith(extraEnvironment);
    std::vector<char*> args;
    for (auto& a : arguments) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    std::vector<char*> env;
    for (auto& e : environment) {
        env.push_back(e.data());
    }
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logFile_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), env.data()) != 0) {
        pid_ = -1;
        exitStatus_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
    if (isRunning()) {
        terminate(SIGKILL);
    }
}

bool ChildProcess::isRunning() {
    return waitForExit(0) == -2;
}

int ChildProcess::waitForExit(int timeoutMs) {
    if (pid_ <= 0) {
        return exitStatus_;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno != EINTR)) {
            exitStatus_ = done == pid_ ? exitCodeOf(status) : -1;
            pid_ = -1;
            return exitStatus_;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return -2;
        }
        std::this_thread::sleep_for(5ms);
    }
}

int ChildProcess::terminate(int signal, int timeoutMs) {
    if (pid_ > 0) {
        ::kill(pid_, signal);
        if (waitForExit(timeoutMs) == -2) {
            ::kill(pid_, SIGKILL);
            waitForExit(60'000);
        }
    }
    return exitStatus_;
}

std::string ChildProcess::output() const {
    std::ifstream in(logFile_);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool ChildProcess::waitForOutput(const std::string& text, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (output().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

}  // namespace platform::testing
