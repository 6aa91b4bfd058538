// The PulseAudio system's capture unit: the same configuration calls, status codes and render
// semantics as every capture unit (CaptureUnitSettings, ClientLayout), over a record stream on
// the bound source.
//
// Why a thread of our own: libpulse hands recorded audio over on its mainloop thread, with the
// mainloop lock held, a lock control threads take for every server call and which that thread
// holds while it allocates and parses. An input callback run there could be held up by any
// control call. So the mainloop thread only copies each block into preallocated lock-free rings
// (samples, and block records with frame count and capture time) and posts a semaphore; our IO
// thread (real-time priority where the system grants it) waits on the semaphore, pops whole
// blocks and calls the input callback with them, split at MaximumFramesPerSlice. Between its
// waits it never allocates, locks or makes a system call. A block that finds the rings full (the
// callback stalled for half a second) is dropped whole.
//
// When the source disappears (unplugged, module unloaded, stream killed, server gone) the stream
// ends: the unit stays started but delivers nothing more, and stop, uninitialize and dispose
// return at once as usual. A new device appears under a new object id; a caller rebinds to it.
//
// Threads: configuration calls on one control thread at a time; render() only inside the input
// callback on this unit's IO thread.
#ifndef CORVESSA_PLATFORM_PULSE_CAPTURE_UNIT_H
#define CORVESSA_PLATFORM_PULSE_CAPTURE_UNIT_H

#include <atomic>
#include <memory>
#include <semaphore>
#include <thread>
#include <vector>

#include "CaptureUnitSettings.h"
#include "ClientLayout.h"
#include "PulseRecordStream.h"
#include "SpscRing.h"
#include "platform/AudioSystem.h"

namespace platform {

class PulseAudioSystem;

/// One instance of the 'auou'/'ahal'/'appl' component of a PulseAudioSystem.
class PulseCaptureUnit final : public AudioUnitInstance {
  public:
    /// A unit of `system`, bound to its default input until CurrentDevice is set.
    explicit PulseCaptureUnit(std::shared_ptr<PulseAudioSystem> system);
    ~PulseCaptureUnit() override;

    OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         const void* data, UInt32 size) noexcept override;
    OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         void* data, UInt32& ioSize) noexcept override;
    OSStatus initialize() noexcept override;
    OSStatus uninitialize() noexcept override;
    OSStatus start() noexcept override;
    OSStatus stop() noexcept override;
    OSStatus render(AudioUnitRenderActionFlags* flags, const AudioTimeStamp* time, UInt32 bus,
                    UInt32 frames, AudioBufferList* data) noexcept override;
    OSStatus dispose() noexcept override;

    /// The bound device's new fragment size, while running (control thread).
    void setFragmentFrames(UInt32 frames);
    /// The device this unit is bound to.
    AudioObjectID deviceID() const noexcept { return settings_.deviceID(); }

  private:
    /// One recorded block waiting for the IO thread.
    struct Block {
        UInt64 hostNanos;  // capture time of its first frame
        UInt32 frames;
    };

    std::optional<DeviceInputFormat> lookUp(AudioObjectID id) const;
    OSStatus startIO();
    void stopIO() noexcept;
    bool isIOThread() const noexcept;
    void enqueue(const float* samples, UInt32 frames, UInt64 hostNanos) noexcept;
    void runIO() noexcept;
    void deliver(const Block& block) noexcept;

    const std::shared_ptr<PulseAudioSystem> system_;
    const CaptureDeviceLookup lookup_;
    CaptureUnitSettings settings_;  // configuration (control thread; fixed while initialized)
    // Initialized state.
    bool initialized_ = false;
    std::string sourceName_;
    UInt32 channels_ = 0;
    Float64 sampleRate_ = 0.0;
    ClientLayout layout_;
    std::vector<float> deviceBlock_;  // maximum frames × channels, interleaved (IO thread)
    std::unique_ptr<SpscRing<float>> samples_;
    std::unique_ptr<SpscRing<Block>> blocks_;
    // Running state.
    std::unique_ptr<PulseRecordStream> stream_;
    std::thread ioThread_;
    std::atomic<bool> stopping_{false};
    std::counting_semaphore<> wake_{0};
    UInt64 sampleTime_ = 0;   // frames delivered since start (IO thread)
    UInt32 cycleFrames_ = 0;  // frames of the block being delivered (IO thread)
};

}  // namespace platform

#endif
