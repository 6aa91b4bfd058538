// The PulseAudio system's output for this process's sounds: each sound is a playback stream
// into the default sink, fed from the sound's samples as the server asks for them and drained at
// the end; it counts as playing until the drain completes, it is stopped, or its stream ends
// (the sink or the server went away).
//
// Playing sounds are kept by the output itself, so a sound plays to its end even when the caller
// drops its playback object; they stop when the system is destroyed.
//
// Threads: play and the playback methods may be called from any control thread; feeding and
// draining run on the mainloop thread.
#ifndef CORVESSA_PLATFORM_PULSE_SYSTEM_OUTPUT_H
#define CORVESSA_PLATFORM_PULSE_SYSTEM_OUTPUT_H

#include <memory>
#include <mutex>
#include <vector>

#include "PulseConnection.h"
#include "platform/SystemOutput.h"

namespace platform {

class PulsePlayback;

/// Plays sounds into the server's default sink.
class PulseSystemOutput final : public SystemOutputBackend {
  public:
    explicit PulseSystemOutput(std::shared_ptr<PulseConnection> connection);
    /// Stops every sound still playing.
    ~PulseSystemOutput() override;

    OSStatus play(OutputSound sound,
                  std::shared_ptr<SystemOutputPlayback>& outPlayback) noexcept override;

  private:
    const std::shared_ptr<PulseConnection> connection_;
    std::mutex mutex_;  // guards playing_
    std::vector<std::shared_ptr<PulsePlayback>> playing_;
};

}  // namespace platform

#endif
