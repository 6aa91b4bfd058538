// Publishing, client counting, reconnection and clean shutdown.
#include "AudioServerDaemon.h"

#include <algorithm>
#include <chrono>

#include "DaemonLog.h"
#include "StopSignals.h"
#include "platform/AudioObjectProperties.h"

namespace audioserver::daemon {
namespace {

constexpr const char* kPipeSourceModule = "module-pipe-source";
constexpr int kFirstRetryMs = 100;
constexpr int kLongestRetryMs = 5'000;
/// Buffer frames read and dropped when IO starts (see discardStaleInput).
constexpr UInt32 kStaleBufferFrames = 4;

}  // namespace

AudioServerDaemon::AudioServerDaemon(const DaemonOptions& options, std::shared_ptr<PluginHost> host,
                                     HostedDevice device, SourceDescription source)
    : options_(options),
      host_(std::move(host)),
      device_(device),
      source_(std::move(source)),
      fifo_(options.runtimeFolder.empty() ? defaultRuntimeFolder() : options.runtimeFolder),
      runner_(
          device_, options.framesPerCycle, source_.sampleRate,
          [this](std::span<const Float32> samples, Float64) { fifo_.write(samples); },
          IOCycleRunner::IOClients::external),
      clients_(*this),
      staleInput_(std::size_t{kStaleBufferFrames} *
                  host_->properties()
                      .u32(device_.id(), propertyAddress(kAudioDevicePropertyBufferFrameSize))
                      .value_or(0)) {}

AudioServerDaemon::~AudioServerDaemon() {
    clients_.clear();
}

int AudioServerDaemon::run() {
    const StopSignals signals(server_.api(), stopRequested_);
    clearStaleClientCount();
    int status = 0;
    while (!stopRequested_) {
        if (!server_.isConnected()) {
            if (module_) {
                logLine("the sound server went away; reconnecting");
                withdraw(false);
            }
            const Publish result = connectAndPublish();
            if (result == Publish::fatal) {
                status = 1;
                break;
            }
            if (result == Publish::retry) {
                waitBeforeRetry();
                continue;
            }
            retryDelayMs_ = 0;
        }
        server_.iterate(-1);
        if (changed_ && server_.isConnected()) {
            changed_ = false;
            refreshClients();
        }
    }
    withdraw(true);
    server_.disconnect();
    fifo_.removeFolderIfEmpty();
    return status;
}

AudioServerDaemon::Publish AudioServerDaemon::connectAndPublish() {
    const auto connected = server_.connect(options_.server, [this] {
        changed_ = true;
        server_.wakeup();
    });
    if (!connected) {
        if (retryDelayMs_ == 0) {
            logLine("cannot reach the sound server (" + connected.error() + "); retrying");
        }
        return Publish::retry;
    }
    return publishSource();
}

AudioServerDaemon::Publish AudioServerDaemon::publishSource() {
    if (const auto ready = fifo_.prepareFolder(); !ready) {
        logLine(ready.error());
        return Publish::fatal;
    }
    if (const auto existing = server_.findSource(source_.uid)) {
        switch (takeOver(*existing)) {
            case Existing::adopted:
                return Publish::done;
            case Existing::foreign:
                return Publish::fatal;
            case Existing::replaced:
                break;
        }
    }
    if (const auto cleared = fifo_.removeStale(); !cleared) {
        logLine(cleared.error());
        return Publish::fatal;
    }
    const auto arguments = pipeSourceArguments(source_, fifo_.path());
    if (!arguments) {
        logLine(arguments.error());
        return Publish::fatal;
    }
    const auto loaded = server_.loadModule(kPipeSourceModule, *arguments);
    if (!loaded) {
        logLine(loaded.error());
        return server_.isConnected() ? Publish::fatal : Publish::retry;
    }
    module_ = *loaded;
    const auto created = server_.findSource(source_.uid);
    const auto opened = fifo_.open();
    if (!created || !opened) {
        logLine(opened ? "the server did not list the new source" : opened.error());
        withdraw(true);
        return server_.isConnected() ? Publish::fatal : Publish::retry;
    }
    sourceIndex_ = created->index;
    logLine("published \"" + source_.name + "\" as source " + source_.uid);
    refreshClients();
    return Publish::done;
}

AudioServerDaemon::Existing AudioServerDaemon::takeOver(const ServerSource& existing) {
    if (server_.moduleName(existing.ownerModule) != kPipeSourceModule) {
        logLine("a source named " + source_.uid +
                " exists and is not a pipe source; not touching it");
        return Existing::foreign;
    }
    if (existing.deviceString == fifo_.path().string() && fifo_.open()) {
        module_ = existing.ownerModule;
        sourceIndex_ = existing.index;
        logLine("rejoined the existing source " + source_.uid);
        refreshClients();
        return Existing::adopted;
    }
    logLine("replacing a stale source " + source_.uid);
    server_.unloadModule(existing.ownerModule);
    return Existing::replaced;
}

void AudioServerDaemon::refreshClients() {
    const auto current = server_.findSource(source_.uid);
    if (!server_.isConnected()) {
        return;  // the run loop withdraws and reconnects
    }
    if (!current || current->index != sourceIndex_) {
        logLine("our source was removed; publishing it again");
        withdraw(false);
        if (publishSource() == Publish::fatal) {
            stopRequested_ = true;
        }
        return;
    }
    if (const auto streams = server_.recordingStreams(current->index)) {
        clients_.update(*streams);
    }
}

void AudioServerDaemon::withdraw(bool unloadModule) {
    clients_.clear();
    fifo_.close();
    if (unloadModule && module_ && server_.isConnected()) {
        server_.unloadModule(*module_);  // the server removes the FIFO with the module
    }
    if (module_) {
        fifo_.removeStale();  // a server that went away, or a server that left the FIFO behind
    }
    module_.reset();
    sourceIndex_.reset();
}

void AudioServerDaemon::waitBeforeRetry() {
    retryDelayMs_ =
        retryDelayMs_ == 0 ? kFirstRetryMs : std::min(retryDelayMs_ * 2, kLongestRetryMs);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(retryDelayMs_);
    while (!stopRequested_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        server_.iterate(static_cast<int>(left.count()));
    }
}

void AudioServerDaemon::clearStaleClientCount() {
    // The plug-in publishes its running-client count into the ring only at StartIO and StopIO.
    // A daemon that was killed left its last count there; one StartIO / StopIO pair (client 0,
    // never a recording stream's id) makes this process's count, 0, the published one before
    // the recording streams are counted. IO is not running, so the clock reset costs nothing.
    if (device_.startIO(0) == kAudioHardwareNoError) {
        device_.stopIO(0);
    }
}

OSStatus AudioServerDaemon::startIO(UInt32 clientID) {
    const OSStatus status = device_.startIO(clientID);
    if (status != kAudioHardwareNoError) {
        logLine("StartIO for client " + std::to_string(clientID) +
                " failed: " + std::to_string(status));
    } else {
        logLine("client " + std::to_string(clientID) + " started recording");
    }
    return status;
}

void AudioServerDaemon::stopIO(UInt32 clientID) {
    device_.stopIO(clientID);
    logLine("client " + std::to_string(clientID) + " stopped recording");
}

void AudioServerDaemon::discardStaleInput() {
    // While nobody recorded, the producer kept writing and the plug-in's ring filled up; its next
    // refill keeps the newest three frames, and it may still hold the rest of a frame from the
    // previous session. Handing those out would add up to 40 ms to every later cycle, for the
    // whole session, since producer and IO then run at the same rate. Reading four of its buffer
    // frames first, on this thread before the IO thread exists, skips all of it; a reading
    // that finds the ring empty counts an underrun in the ring's counters but nobody hears it.
    device_.readInput(staleInput_);
}

void AudioServerDaemon::startCycles() {
    discardStaleInput();
    const OSStatus status = runner_.start();
    if (status != kAudioHardwareNoError) {
        logLine("the IO thread did not start: " + std::to_string(status));
    }
}

void AudioServerDaemon::stopCycles() {
    runner_.stop();
    logLine("IO stopped after " + std::to_string(runner_.cycleCount()) + " cycles (" +
            std::to_string(fifo_.droppedCycles()) + " dropped by a full pipe)");
}

}  // namespace audioserver::daemon
