// A program started in the background by a test or tool, with its standard output and error
// collected in a file; ended by a signal of the caller's choice, reaped on destruction.
#ifndef CORVESSA_PLATFORM_TESTING_CHILD_PROCESS_H
#define CORVESSA_PLATFORM_TESTING_CHILD_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace platform::testing {

class ChildProcess {
  public:
    /// Starts `argv` (argv[0] looked up on PATH) with `extraEnvironment` ("NAME=value") added to
    /// this process's environment; both output streams go to `logFile` (truncated).
    ChildProcess(const std::vector<std::string>& argv,
                 const std::vector<std::string>& extraEnvironment, std::string logFile);
    /// Sends SIGKILL if the program still runs, then reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// Whether the program was started and has not ended yet.
    bool isRunning();
    pid_t pid() const noexcept { return pid_; }
    /// Sends `signal` and waits up to `timeoutMs` for the program to end (then SIGKILL); its exit
    /// code, or -1 when a signal ended it.
    int terminate(int signal, int timeoutMs = 5000);
    /// Waits up to `timeoutMs` for the program to end by itself; its exit code, -1 when a signal
    /// ended it, or nothing-yet (-2) when it still runs.
    int waitForExit(int timeoutMs);
    /// Everything the program has written so far.
    std::string output() const;
    /// Waits until the output contains `text`, or `timeoutMs` passed; whether it does.
    bool waitForOutput(const std::string& text, int timeoutMs) const;

  private:
    pid_t pid_ = -1;
    int exitStatus_ = -2;
    std::string logFile_;
};

}  // namespace platform::testing

#endif
