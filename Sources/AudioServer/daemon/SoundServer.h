// The daemon's connection to the sound server (libpulse; PulseAudio or PipeWire's pulse server),
// on a main loop the daemon drives itself.
//
// Queries are synchronous: each one runs the main loop until its answer arrives, so it must not
// be called from inside a libpulse callback. A connection that fails or is closed by the server
// cancels whatever query waits, which then reports failure; `isConnected` turns false.
//
// Threads: one control thread owns the object, its main loop and every callback.
#ifndef CORVESSA_AUDIOSERVER_SOUND_SERVER_H
#define CORVESSA_AUDIOSERVER_SOUND_SERVER_H

#include <pulse/context.h>
#include <pulse/mainloop.h>

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace audioserver::daemon {

/// A source as the server lists it.
struct ServerSource {
    std::uint32_t index = 0;
    std::uint32_t ownerModule = 0;  ///< PA_INVALID_INDEX when no module owns it
    std::string deviceString;       ///< the "device.string" property (a pipe source's FIFO)
};

class SoundServer {
  public:
    SoundServer();
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    /// The main loop's API (for signal and timer events).
    pa_mainloop_api* api() noexcept;
    /// Runs the main loop once, waiting at most `timeoutMs` (-1: until an event).
    void iterate(int timeoutMs);
    /// Ends a wait in `iterate` early (from a callback of this loop).
    void wakeup() noexcept;

    /// Connects to `address` (empty: libpulse's default) without spawning a server; waits until
    /// the connection is ready or has failed. `onChange` is called (from the loop) whenever a
    /// recording stream or a source appears, changes or goes.
    std::expected<void, std::string> connect(const std::string& address,
                                             std::function<void()> onChange);
    /// Closes the connection (nothing the server holds for us is undone).
    void disconnect() noexcept;
    bool isConnected() const noexcept;

    std::optional<ServerSource> findSource(const std::string& name);
    /// The name of module `index` ("module-pipe-source"), if it is loaded.
    std::optional<std::string> moduleName(std::uint32_t index);
    std::expected<std::uint32_t, std::string> loadModule(const std::string& name,
                                                         const std::string& arguments);
    bool unloadModule(std::uint32_t index);
    /// Server indices of the uncorked recording streams of source `source`; nullopt when the
    /// list could not be read.
    std::optional<std::vector<std::uint32_t>> recordingStreams(std::uint32_t source);

  private:
    bool await(pa_operation* operation);
    std::string lastError() const;

    pa_mainloop* loop_;
    pa_context* context_ = nullptr;
    std::function<void()> onChange_;
};

}  // namespace audioserver::daemon

#endif
