// The simulated system's capture unit: input-only device IO with an input callback on its own
// thread and AudioUnitRender converting the device block to the client format.
//
// Configuration (properties, Initialize, Start, Stop, Uninitialize, Dispose) happens on one
// control thread at a time; the IO thread reads the configuration only while started, and it is
// fixed then (setters that would change it refuse while initialized or running). render() runs
// only on this unit's IO thread, inside the input callback.
#ifndef CORVESSA_PLATFORM_SIMULATED_CAPTURE_UNIT_H
#define CORVESSA_PLATFORM_SIMULATED_CAPTURE_UNIT_H

#include <memory>
#include <optional>
#include <vector>

#include "CaptureUnitSettings.h"
#include "ClientLayout.h"
#include "SimulatedIOThread.h"
#include "platform/AudioSystem.h"
#include "platform/SimulatedAudioSystem.h"

namespace platform {

/// One instance of the 'auou'/'ahal'/'appl' component.
class SimulatedCaptureUnit final : public AudioUnitInstance {
  public:
    /// A unit of `system`, bound to its default input device until CurrentDevice is set.
    explicit SimulatedCaptureUnit(std::shared_ptr<SimulatedAudioSystem> system);
    ~SimulatedCaptureUnit() override;

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

  private:
    std::optional<OSStatus> fault(AudioCall call, std::optional<UInt32> selector = std::nullopt);
    std::optional<DeviceInputFormat> lookUp(AudioObjectID id) const;
    OSStatus startIO();
    void stopIO() noexcept;
    UInt32 runCycle(UInt32 frames) noexcept;
    AudioTimeStamp cycleTimeStamp() const noexcept;

    const std::shared_ptr<SimulatedAudioSystem> system_;
    const CaptureDeviceLookup lookup_;
    CaptureUnitSettings settings_;  // configuration (control thread; fixed while initialized)
    // Initialized state.
    bool initialized_ = false;
    std::shared_ptr<AudioDeviceProvider> device_;
    Float64 sampleRate_ = 0.0;        // Hz
    ClientLayout layout_;             // device channels to the client format's layout
    std::vector<float> deviceBlock_;  // maximum frames × device channels, interleaved
    // Running state; the fields the IO thread writes are touched by no other thread.
    std::unique_ptr<DeviceInputStream> stream_;
    std::shared_ptr<SimulatedIOThread> ioThread_;
    UInt64 anchorHostTime_ = 0;   // host ticks at sample time 0
    double ticksPerFrame_ = 0.0;  // host ticks per device frame
    UInt64 sampleTime_ = 0;       // frames delivered since start (IO thread)
    UInt32 cycleFrames_ = 0;      // frames of the block being delivered (IO thread)
};

}  // namespace platform

#endif
