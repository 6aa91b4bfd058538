// Test support for the process-fault tests: a producer process (the capture pipeline writing a
// tone into "/amvmic" with the producer lock held), the hosted plug-in read one 10 ms cycle at a
// time, and the tone each cycle carries.
//
// The parent process never starts a thread, so forking children (which do) is safe.
#ifndef CORVESSA_TESTS_FAULTS_FAULT_PROCESSES_H
#define CORVESSA_TESTS_FAULTS_FAULT_PROCESSES_H

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "AmberlinAudioCore/AudioPipeline.h"
#include "AmberlinAudioCore/VoiceChain.h"
#include "amberlin/am_shared_ring.h"
#include "audioserver/PluginHost.h"
#include "platform/SimulatedAudioSystem.h"

namespace corvessa::faults {

inline constexpr std::uint32_t kFrame = 480;  // samples per 10 ms cycle
inline constexpr double kToneA = 440.0;       // Hz, the first producer's tone
inline constexpr double kToneB = 1000.0;      // Hz, the second producer's tone

/// What one IO cycle delivered.
enum class Heard { silence, toneA, toneB, other };

/// Classifies a 480-sample cycle by level and zero crossings (440 Hz: about 9, 1000 Hz: 20).
inline Heard classify(const std::array<float, kFrame>& samples) {
    double energy = 0.0;
    int crossings = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        energy += double{samples[i]} * double{samples[i]};
        crossings += i > 0 && (samples[i - 1] < 0.0f) != (samples[i] < 0.0f) ? 1 : 0;
    }
    if (energy == 0.0) {
        return Heard::silence;
    }
    if (crossings >= 7 && crossings <= 10) {
        return Heard::toneA;
    }
    return crossings >= 18 && crossings <= 22 ? Heard::toneB : Heard::other;
}

/// A child process, killed with SIGKILL and reaped when the handle goes away.
class Child {
  public:
    Child() = default;
    Child(pid_t pid, int readFd) : pid_(pid), fd_(readFd) {}
    Child(Child&& other) noexcept { *this = std::move(other); }
    Child& operator=(Child&& other) noexcept {
        std::swap(pid_, other.pid_);
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Child() { kill(); }

    /// SIGKILL and wait; returns the raw wait status (or -1 when there was no child).
    int kill() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        if (pid_ <= 0) {
            return -1;
        }
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }
    /// Waits for the child to exit by itself; returns its wait status.
    int wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }
    /// The next byte the child reported, if one arrives within `timeout`.
    std::optional<char> report(std::chrono::milliseconds timeout) const {
        pollfd p{fd_, POLLIN, 0};
        char c = 0;
        if (::poll(&p, 1, static_cast<int>(timeout.count())) == 1 && ::read(fd_, &c, 1) == 1) {
            return c;
        }
        return std::nullopt;
    }
    /// Reads exactly sizeof(T) bytes the child reported.
    template <typename T>
    std::optional<T> reportValue(std::chrono::milliseconds timeout) const {
        T value{};
        auto* bytes = reinterpret_cast<char*>(&value);
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            const auto c = report(timeout);
            if (!c) {
                return std::nullopt;
            }
            bytes[i] = *c;
        }
        return value;
    }

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
};

/// Forks a child that runs `body(writeFd)` and exits with its result.
template <typename Body>
Child forkChild(Body body) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return {};
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        int status = 99;
        try {
            status = body(fds[1]);
        } catch (...) {
            status = 98;
        }
        ::_exit(status);
    }
    ::close(fds[1]);
    return Child(pid, fds[0]);
}

/// Child body: the producer path (simulated microphone playing `tone` in real time -> capture
/// pipeline, bypassing the voice processing so the tone arrives unchanged -> shared bridge on
/// "/amvmic"), started with the producer lock at `lockPath`. Reports 'S' once started (or 'R'
/// when refused), then produces until killed.
inline int runProducer(double tone, const std::string& lockPath, int reportFd) {
    auto system = platform::SimulatedAudioSystem::create();
    platform::ScopedAudioSystem installed(system);
    system->setIOClock({platform::SimulatedIOClock::Mode::paced, 1.0});
    system->addDevice({.id = 10,
                       .uid = "fault-mic",
                       .name = "Fault Mic",
                       .bufferFrameSize = kFrame,
                       .source = std::make_shared<platform::SineSource>(tone, 0.5f)});
    system->setDefaultInputDevice(10);
    auto pipeline = amberlin::AudioPipeline::make(
        amberlin::NoiseProcessorFactory::make(amberlin::AppSettings{}),
        std::make_shared<amberlin::SharedVirtualMicBridge>(am_shared_ring_default_name(), true, 32),
        std::make_shared<amberlin::DeviceManager>(), std::nullopt, lockPath);
    pipeline->setBypass(true);
    try {
        pipeline->start();
    } catch (const amberlin::AudioPipelineError&) {
        ::write(reportFd, "R", 1);
        return 3;
    }
    ::write(reportFd, "S", 1);
    for (;;) {
        ::pause();
    }
}

/// The plug-in's device read as an audio server reads it, one 480-frame cycle at a time.
class HostedReader {
  public:
    explicit HostedReader(const std::string& pluginPath)
        : host_(std::make_shared<audioserver::PluginHost>(pluginPath)) {
        if (host_->initialize() == 0 && !host_->devices().empty()) {
            device_ = host_->devices().front();
            started_ = device_->startIO() == 0;
        }
    }
    ~HostedReader() {
        if (started_) {
            device_->stopIO();
        }
    }
    /// Whether IO runs.
    bool started() const { return started_; }
    /// One cycle: its status and what it delivered.
    OSStatus cycle(std::array<float, kFrame>& out) {
        AudioServerPlugInIOCycleInfo info{};
        info.mIOCycleCounter = cycles_;
        info.mNominalIOBufferFrameSize = kFrame;
        info.mInputTime.mSampleTime = static_cast<double>(cycles_ * kFrame);
        ++cycles_;
        return device_->readInput(out, info);
    }

  private:
    std::shared_ptr<audioserver::PluginHost> host_;
    std::optional<audioserver::HostedDevice> device_;
    bool started_ = false;
    std::uint64_t cycles_ = 0;
};

/// Clears the flags that killed processes never got to clear (producer attached, consumers
/// running), so that "/amvmic" is left as on a machine where nothing runs, for the tests that
/// follow and wait for a producer to attach.
inline void leaveRingIdle(am_shared_ring* ring) {
    am_shared_ring_set_producer_attached(ring, 0);
    am_shared_ring_set_consumer_running_count(ring, 0);
}

/// Sleeps until `next`, then moves it on by one 10 ms cycle.
inline void waitForNextCycle(std::chrono::steady_clock::time_point& next) {
    std::this_thread::sleep_until(next);
    next += std::chrono::milliseconds(10);
}

}  // namespace corvessa::faults

#endif
