// The audio-system backend interface behind the AudioObject* and AudioComponent* calls, and the
// process-wide installed system those calls dispatch to.
//
// A backend implements AudioSystem (objects, properties, components) and AudioUnitInstance (one
// capture unit). Callers never see a backend: they make the platform calls, which go to the
// installed system. Programs get the default system (the real backend where one exists, else an
// empty system with no devices); tests install a simulated system explicitly.
//
// Threads: installing and reading the installed system is thread-safe. An installed system is
// shared: units it created keep it alive after another system has been installed.
#ifndef CORVESSA_PLATFORM_AUDIO_SYSTEM_H
#define CORVESSA_PLATFORM_AUDIO_SYSTEM_H

#include <memory>

#include "platform/AudioHardware.h"
#include "platform/AudioUnit.h"

namespace platform {

class ProcessTapBackend;
class SystemOutputBackend;

/// One audio system: its objects and properties, and the components it offers.
class AudioSystem {
  public:
    virtual ~AudioSystem();

    /// True when the object exists and has the property.
    virtual bool hasProperty(AudioObjectID object,
                             const AudioObjectPropertyAddress& address) noexcept = 0;
    /// Size in bytes of the property's current value.
    virtual OSStatus getPropertyDataSize(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address,
                                         UInt32 qualifierSize, const void* qualifier,
                                         UInt32& outSize) noexcept = 0;
    /// Copies the value into `outData` (`ioSize` bytes in, bytes written out).
    virtual OSStatus getPropertyData(AudioObjectID object,
                                     const AudioObjectPropertyAddress& address,
                                     UInt32 qualifierSize, const void* qualifier, UInt32& ioSize,
                                     void* outData) noexcept = 0;
    /// Writes the property.
    virtual OSStatus setPropertyData(AudioObjectID object,
                                     const AudioObjectPropertyAddress& address,
                                     UInt32 qualifierSize, const void* qualifier, UInt32 size,
                                     const void* data) noexcept = 0;

    /// The first of this system's components after `after` (null: from the start) matching
    /// `description`, or null.
    virtual AudioComponent findNextComponent(
        AudioComponent after, const AudioComponentDescription& description) noexcept = 0;
    /// Creates an instance of one of this system's components.
    virtual OSStatus newInstance(AudioComponent component,
                                 AudioComponentInstance& outInstance) noexcept = 0;

    /// The system's process taps and aggregate devices (platform/AudioTap.h), valid while the
    /// system lives; null when it has none, and the tap calls answer
    /// kAudioHardwareUnsupportedOperationError.
    virtual ProcessTapBackend* processTaps() noexcept { return nullptr; }
    /// The system's output for this process's sounds (platform/SystemOutput.h), valid while the
    /// system lives; null when it has none, and playback answers
    /// kAudioHardwareUnsupportedOperationError.
    virtual SystemOutputBackend* systemOutput() noexcept { return nullptr; }
};

/// One capture-unit instance; the AudioUnit* calls forward to it unchanged.
class AudioUnitInstance {
  public:
    virtual ~AudioUnitInstance();

    /// See AudioUnitSetProperty.
    virtual OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element, const void* data,
                                 UInt32 size) noexcept = 0;
    /// See AudioUnitGetProperty.
    virtual OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element, void* data, UInt32& ioSize) noexcept = 0;
    /// See AudioUnitInitialize.
    virtual OSStatus initialize() noexcept = 0;
    /// See AudioUnitUninitialize.
    virtual OSStatus uninitialize() noexcept = 0;
    /// See AudioOutputUnitStart.
    virtual OSStatus start() noexcept = 0;
    /// See AudioOutputUnitStop.
    virtual OSStatus stop() noexcept = 0;
    /// See AudioUnitRender; real-time safe.
    virtual OSStatus render(AudioUnitRenderActionFlags* flags, const AudioTimeStamp* time,
                            UInt32 bus, UInt32 frames, AudioBufferList* data) noexcept = 0;
    /// Tears the unit down and, when it returns 0, destroys this object.
    virtual OSStatus dispose() noexcept = 0;
};

/// The installed system; installs the default system first if none is installed yet.
std::shared_ptr<AudioSystem> installedAudioSystem();

/// Installs `system` (null: the default system on next use) and returns the previous one.
std::shared_ptr<AudioSystem> installAudioSystem(std::shared_ptr<AudioSystem> system);

/// The system programs get without installing one: the real backend where one answers, else an
/// empty system with no devices.
std::shared_ptr<AudioSystem> makeDefaultAudioSystem();

/// Installs a system for the lifetime of this object and restores the previous one after.
class ScopedAudioSystem {
  public:
    explicit ScopedAudioSystem(std::shared_ptr<AudioSystem> system);
    ~ScopedAudioSystem();
    ScopedAudioSystem(const ScopedAudioSystem&) = delete;
    ScopedAudioSystem& operator=(const ScopedAudioSystem&) = delete;

  private:
    std::shared_ptr<AudioSystem> previous_;
};

}  // namespace platform

#endif
