// The daemon: publishes the hosted plug-in device to the sound server as a pipe source, runs IO
// while applications record from it, and survives the comings and goings around it.
//
// - Start: a source of our name left by a daemon that was killed is adopted when it is a pipe
//   source fed through our FIFO (applications recording from it keep their stream); any other
//   pipe source of that name is unloaded and replaced. The recording streams present at start
//   are counted like new ones.
// - Sound server gone: IO stops (StopIO for every client), the FIFO is closed and the daemon
//   reconnects with back-off (0.1 s doubling to 5 s) for as long as it runs, republishing the
//   source when the server is back.
// - The ring's consumer count left by a killed daemon is cleared at start (see
//   clearStaleClientCount), then follows the recording streams.
// - IO start (first client): input the plug-in buffered while nobody recorded is read and
//   dropped before the IO thread starts, so a session does not begin, and stay, tens of ms late.
// - SIGTERM / SIGINT: IO stops, the module is unloaded (which removes the FIFO), `run` returns 0.
//
// Threads: `run` on the main thread; the IO thread (IOCycleRunner) only writes the FIFO.
#ifndef CORVESSA_AUDIOSERVER_AUDIO_SERVER_DAEMON_H
#define CORVESSA_AUDIOSERVER_AUDIO_SERVER_DAEMON_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DaemonOptions.h"
#include "PipeSourceFifo.h"
#include "RecordingClients.h"
#include "SoundServer.h"
#include "SourceDescription.h"
#include "audioserver/IOCycleRunner.h"
#include "audioserver/PluginHost.h"

namespace audioserver::daemon {

class AudioServerDaemon final : private ClientIO {
  public:
    /// `host` initialised, `device` one of its devices described by `source`.
    AudioServerDaemon(const DaemonOptions& options, std::shared_ptr<PluginHost> host,
                      HostedDevice device, SourceDescription source);
    ~AudioServerDaemon() override;

    /// Runs until SIGTERM or SIGINT (returns 0) or a fatal publishing error (returns 1).
    int run();

  private:
    enum class Publish { done, retry, fatal };
    /// What became of a source of our name found at publishing.
    enum class Existing { adopted, replaced, foreign };

    Publish connectAndPublish();
    Publish publishSource();
    Existing takeOver(const ServerSource& existing);
    void refreshClients();
    void withdraw(bool unloadModule);
    void waitBeforeRetry();
    void clearStaleClientCount();
    void discardStaleInput();

    OSStatus startIO(UInt32 clientID) override;
    void stopIO(UInt32 clientID) override;
    void startCycles() override;
    void stopCycles() override;

    DaemonOptions options_;
    std::shared_ptr<PluginHost> host_;
    HostedDevice device_;
    SourceDescription source_;
    PipeSourceFifo fifo_;
    IOCycleRunner runner_;
    RecordingClients clients_;
    SoundServer server_;
    std::optional<std::uint32_t> module_;       // our pipe-source module while published
    std::optional<std::uint32_t> sourceIndex_;  // its source
    std::vector<Float32> staleInput_;           // scratch for discardStaleInput
    bool changed_ = false;                      // a stream or source event is pending
    bool stopRequested_ = false;
    int retryDelayMs_ = 0;
};

}  // namespace audioserver::daemon

#endif
