// The system output as this process plays to it: a sound handed over whole, playing from shortly
// after the call in real time, which can be watched and stopped.
//
// Playback goes to the installed audio system (platform/AudioSystem.h): the simulated system plays
// onto its speaker bus; a system without an output answers kAudioHardwareUnsupportedOperationError.
//
// Threads: every function and method may be called from any control thread.
#ifndef CORVESSA_PLATFORM_SYSTEM_OUTPUT_H
#define CORVESSA_PLATFORM_SYSTEM_OUTPUT_H

#include <memory>
#include <vector>

#include "platform/CoreAudioTypes.h"

namespace platform {

/// A sound for the system output: 48 000 Hz, 32-bit float, `channels` interleaved channels (a
/// mono sound plays on both speakers).
struct OutputSound {
    static constexpr double kSampleRate = 48'000.0;  ///< Hz
    std::vector<float> samples;                      ///< frames × channels, interleaved
    UInt32 channels = 1;                             ///< 1 or 2
};

/// One sound playing on the system output.
class SystemOutputPlayback {
  public:
    virtual ~SystemOutputPlayback();
    /// True until the sound's last frame has played (or it was stopped).
    virtual bool isPlaying() const noexcept = 0;
    /// Silences the sound from now on; does nothing once it has ended.
    virtual void stop() noexcept = 0;
};

/// The part of an audio system that plays this process's sounds.
class SystemOutputBackend {
  public:
    virtual ~SystemOutputBackend();
    /// Starts playing `sound`; on success `outPlayback` watches it. kAudio_ParamError for an
    /// empty sound or a channel count other than 1 or 2.
    virtual OSStatus play(OutputSound sound,
                          std::shared_ptr<SystemOutputPlayback>& outPlayback) noexcept = 0;
};

/// Plays `sound` on the installed system's output (see SystemOutputBackend::play).
OSStatus playOnSystemOutput(OutputSound sound,
                            std::shared_ptr<SystemOutputPlayback>& outPlayback) noexcept;

}  // namespace platform

#endif
