// Reconciling the recording streams with the device's IO clients.
#include "RecordingClients.h"

#include <algorithm>

namespace audioserver::daemon {

void RecordingClients::update(const std::vector<std::uint32_t>& streams) {
    for (auto client = clients_.begin(); client != clients_.end();) {
        const bool present =
            std::find(streams.begin(), streams.end(), client->first) != streams.end();
        if (present) {
            ++client;
        } else {
            auto gone = client++;
            remove(gone);
        }
    }
    for (std::uint32_t stream : streams) {
        if (!clients_.contains(stream)) {
            add(stream);
        }
    }
}

void RecordingClients::add(std::uint32_t stream) {
    const UInt32 clientID = nextClientID_++;
    if (io_.startIO(clientID) != kAudioHardwareNoError) {
        return;  // not counted; the next update tries again
    }
    clients_.emplace(stream, clientID);
    if (clients_.size() == 1) {
        io_.startCycles();
    }
}

void RecordingClients::remove(std::map<std::uint32_t, UInt32>::iterator client) {
    const UInt32 clientID = client->second;
    if (clients_.size() == 1) {
        io_.stopCycles();  // the last client: no cycle may run without a started client
    }
    clients_.erase(client);
    io_.stopIO(clientID);
}

}  // namespace audioserver::daemon
