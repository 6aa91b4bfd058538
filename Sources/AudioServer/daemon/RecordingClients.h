// Maps the sound server's recording streams on our source to IO clients of the plug-in device.
//
// Every uncorked recording stream is one client with its own client id: StartIO when it appears,
// StopIO when it goes (or corks), so the device's running-client count, and with it the ring's
// consumer_running_count, equals the number of applications recording. The IO thread runs while
// at least one client does: it starts after the first StartIO and stops before the last StopIO.
//
// Threads: control thread only.
#ifndef CORVESSA_AUDIOSERVER_RECORDING_CLIENTS_H
#define CORVESSA_AUDIOSERVER_RECORDING_CLIENTS_H

#include <cstdint>
#include <map>
#include <vector>

#include "platform/CoreAudioTypes.h"

namespace audioserver::daemon {

/// What the client map drives: the device's StartIO / StopIO and the IO thread.
class ClientIO {
  public:
    virtual ~ClientIO() = default;
    virtual OSStatus startIO(UInt32 clientID) = 0;
    virtual void stopIO(UInt32 clientID) = 0;
    virtual void startCycles() = 0;
    virtual void stopCycles() = 0;
};

class RecordingClients {
  public:
    explicit RecordingClients(ClientIO& io) : io_(io) {}
    RecordingClients(const RecordingClients&) = delete;
    RecordingClients& operator=(const RecordingClients&) = delete;

    /// Brings the clients in line with `streams`, the server indices of the streams recording
    /// our source right now: StopIO for those gone, StartIO for those new.
    void update(const std::vector<std::uint32_t>& streams);
    /// StopIO for every client (the server went away, or the daemon stops).
    void clear() { update({}); }
    /// Clients currently started.
    std::size_t count() const noexcept { return clients_.size(); }

  private:
    void add(std::uint32_t stream);
    void remove(std::map<std::uint32_t, UInt32>::iterator client);

    ClientIO& io_;
    std::map<std::uint32_t, UInt32> clients_;  // server stream index -> client id
    UInt32 nextClientID_ = 1;
};

}  // namespace audioserver::daemon

#endif
