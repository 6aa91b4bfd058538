// Test support: a helper environment of private resources (settings database, shared ring name,
// producer lock file) over an installed simulated audio system, and runHelper with captured
// standard output and standard error; a view of a shared ring and a helper running in the
// background until stopped.
#ifndef AMBERLINHELPER_TESTS_HELPERFIXTURE_H
#define AMBERLINHELPER_TESTS_HELPERFIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "AmberlinAudioCore/AppSettings.h"
#include "AmberlinHelper/Helper.h"
#include "amberlin/am_shared_ring.h"
#include "platform/SimulatedAudioSystem.h"
#include "platform/UserDefaults.h"
#include "platform/testing/Eventually.h"

namespace corvessa::testing {

/// Exit status and the two captured streams of one helper run.
struct HelperRun {
    int status = -1;
    std::string out;
    std::string err;
};

/// `text` cut at its newlines; a final newline ends the last line and adds none.
inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

/// A consumer's handle on a shared ring, for reading its flags and counters.
class RingView {
  public:
    explicit RingView(const std::string& name)
        : ring_(am_shared_ring_open(name.c_str(), true, 32, 480)) {}
    ~RingView() { am_shared_ring_close(ring_); }
    RingView(const RingView&) = delete;
    RingView& operator=(const RingView&) = delete;

    /// False when the ring could not be opened.
    bool valid() const { return ring_ != nullptr; }
    /// The ring's live fill levels, counters and flags.
    am_shared_ring_health_info health() const { return am_shared_ring_health(ring_); }
    /// Whether a producer has attached and not detached.
    bool producerAttached() const { return health().producer_attached != 0; }

  private:
    am_shared_ring* ring_;
};

/// Runs "--run" on a thread of its own until the test stops it.
class BackgroundRun {
  public:
    explicit BackgroundRun(amberlin::helper::HelperEnvironment environment)
        : thread_([this, environment](std::stop_token stop) mutable {
              environment.stop = std::move(stop);
              std::ostringstream out, err;
              const std::vector<std::string> arguments{"--run"};
              result_.status = amberlin::helper::runHelper(arguments, out, err, environment);
              result_.out = out.str();
              result_.err = err.str();
          }) {}

    /// Requests the stop and waits for the helper to return; call once.
    HelperRun finish() {
        thread_.request_stop();
        thread_.join();
        return result_;
    }

  private:
    HelperRun result_;  // written by the thread, read after join
    std::jthread thread_;
};

/// Builds the private world in SetUp and removes it in TearDown.
class HelperFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "corvessa-helper-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        directory_ = pattern;
        static std::atomic<int> counter{0};
        environment_.defaults =
            std::make_shared<platform::UserDefaults>(directory_ / "defaults", "helper-test");
        environment_.version = "9.8.7";
        environment_.ringName =
            "/corvessa-helper-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        environment_.producerLockPath = (directory_ / "producer.lock").string();
    }
    void TearDown() override {
        if (privateRing_) {
            ::shm_unlink(environment_.ringName.c_str());
        }
        std::filesystem::remove_all(directory_);
    }

    /// Stores `settings` as the user's settings record.
    void storeSettings(const amberlin::AppSettings& settings) {
        amberlin::SettingsStore(amberlin::SettingsStore::defaultKey, environment_.defaults)
            .save(settings);
    }
    /// Adds a mono 48 kHz input device.
    void addDevice(AudioObjectID id, std::string uid, std::string name) {
        ASSERT_NE(system_->addDevice({.id = id, .uid = std::move(uid), .name = std::move(name)}),
                  nullptr);
    }
    /// Runs the helper with `arguments` to completion.
    HelperRun run(std::vector<std::string> arguments) {
        std::ostringstream out, err;
        HelperRun result;
        result.status = amberlin::helper::runHelper(arguments, out, err, environment_);
        result.out = out.str();
        result.err = err.str();
        return result;
    }

    std::filesystem::path directory_;
    amberlin::helper::HelperEnvironment environment_;
    bool privateRing_ = true;  // the ring is the test's own and is removed after it
    std::shared_ptr<platform::SimulatedAudioSystem> system_ =
        platform::SimulatedAudioSystem::create();
    platform::ScopedAudioSystem installed_{system_};
};

}  // namespace corvessa::testing

#endif
