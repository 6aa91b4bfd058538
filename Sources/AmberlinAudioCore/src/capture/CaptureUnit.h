// The hardware-abstraction capture unit ('auou' / 'ahal' / 'appl') in input-only mode: finding
// and creating it, configuring it step by step, starting it and tearing it down, plus the
// device's low-latency buffer request.
//
// Every configuration step that fails throws AudioPipelineError::captureUnitUnavailable with the
// platform status. Threads: everything but render() on the owner's thread; render() only inside
// the unit's own input callback, on its real-time thread.
#ifndef AMBERLINAUDIOCORE_CAPTUREUNIT_H
#define AMBERLINAUDIOCORE_CAPTUREUNIT_H

#include <cstdint>
#include <memory>

#include "platform/AudioUnit.h"

namespace amberlin {

class CaptureCallbackGate;

/// One capture-unit instance, owned until torn down.
class CaptureUnit {
  public:
    /// MaximumFramesPerSlice assumed when the unit does not report it, in frames.
    static constexpr std::uint32_t fallbackMaximumFrames = 4096;

    /// Finds the first matching component and creates an instance (status -10875 when there is
    /// no component or no instance).
    static std::unique_ptr<CaptureUnit> create();

    /// Tears the unit down if that has not happened yet.
    ~CaptureUnit();
    CaptureUnit(const CaptureUnit&) = delete;
    CaptureUnit& operator=(const CaptureUnit&) = delete;

    /// Enables input (input scope, element 1) and disables output (output scope, element 0).
    void enableInputOnly();
    /// Binds the unit to `device`.
    void bindDevice(AudioObjectID device);
    /// The device-side stream description (input scope, element 1).
    AudioStreamBasicDescription deviceFormat();
    /// Sets the client format: f32 packed interleaved at `sampleRate` Hz with `channels`
    /// channels (output scope, element 1).
    void setClientFormat(double sampleRate, std::uint32_t channels);
    /// MaximumFramesPerSlice, or fallbackMaximumFrames when it cannot be read.
    std::uint32_t maximumFramesPerSlice();
    /// Installs the input callback with its context, behind a gate that tearDown() closes, so
    /// the callback is never called once tearDown() has returned.
    void setInputCallback(AURenderCallback callback, void* context);
    /// AudioUnitInitialize.
    void initialize();
    /// AudioOutputUnitStart.
    void start();

    /// Renders the current cycle's `frames` frames of element 1 into `buffers`; real-time safe.
    OSStatus render(AudioUnitRenderActionFlags* flags, const AudioTimeStamp* timeStamp,
                    std::uint32_t frames, AudioBufferList* buffers) const noexcept;

    /// Closes the callback gate, then stops, uninitialises and disposes of the instance,
    /// ignoring their statuses; idempotent.
    void tearDown() noexcept;

    /// Asks `device` for a 128-frame IO buffer, kept inside its reported range; a refusal is
    /// ignored and the device keeps its buffer size.
    static void requestLowLatencyBuffer(AudioObjectID device) noexcept;

  private:
    explicit CaptureUnit(AudioUnit unit) noexcept : unit_(unit) {}

    AudioUnit unit_;
    CaptureCallbackGate* gate_ = nullptr;  // owned, unless the unit could not be disposed of
};

}  // namespace amberlin

#endif
