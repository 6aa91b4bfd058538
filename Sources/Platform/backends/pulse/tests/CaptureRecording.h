// A capture unit recording into memory what its input callback saw, with each block's host time
// and arrival time: shared by the PulseAudio backend's tests and the capture timing bench.
#ifndef CORVESSA_PULSE_TESTS_CAPTURE_RECORDING_H
#define CORVESSA_PULSE_TESTS_CAPTURE_RECORDING_H

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "platform/AudioUnit.h"
#include "platform/HostTime.h"

namespace platform::testing {

/// What a capture unit's input callback saw. The callback only appends within the capacities
/// reserved up front (it runs on a real-time thread); the vectors are read after the unit stops.
struct CaptureRecording {
    static constexpr std::size_t kMaxFrames = 8192;
    static constexpr std::size_t kMaxBlocks = 100'000;
    AudioUnit unit = nullptr;
    std::vector<float> samples;
    std::vector<UInt32> frames;
    std::vector<UInt64> hostNanos;     // the stamps' host times
    std::vector<UInt64> arrivalNanos;  // when each callback ran
    std::vector<float> scratch = std::vector<float>(kMaxFrames);
    std::atomic<std::size_t> blocks{0};
    std::atomic<int> failures{0};  // failed renders, missing host times, overflows

    /// Room for `seconds` of 48 kHz mono audio.
    explicit CaptureRecording(std::size_t seconds = 20) {
        samples.reserve(48'000 * seconds);
        frames.reserve(kMaxBlocks);
        hostNanos.reserve(kMaxBlocks);
        arrivalNanos.reserve(kMaxBlocks);
    }
};

/// The input callback: renders the block into the recording's scratch and appends it.
inline OSStatus recordCaptureBlock(void* context, AudioUnitRenderActionFlags* flags,
                                   const AudioTimeStamp* time, UInt32 bus, UInt32 frames,
                                   AudioBufferList*) {
    auto& r = *static_cast<CaptureRecording*>(context);
    const UInt64 arrival = AudioConvertHostTimeToNanos(AudioGetCurrentHostTime());
    AudioBufferList list{1, {{1, frames * UInt32{sizeof(float)}, r.scratch.data()}}};
    const bool fits = frames <= CaptureRecording::kMaxFrames &&
                      r.samples.size() + frames <= r.samples.capacity() &&
                      r.frames.size() < r.frames.capacity();
    if (!fits || (time->mFlags & kAudioTimeStampHostTimeValid) == 0 ||
        AudioUnitRender(r.unit, flags, time, bus, frames, &list) != 0) {
        r.failures.fetch_add(1);
        return 0;
    }
    r.samples.insert(r.samples.end(), r.scratch.begin(), r.scratch.begin() + frames);
    r.frames.push_back(frames);
    r.hostNanos.push_back(AudioConvertHostTimeToNanos(time->mHostTime));
    r.arrivalNanos.push_back(arrival);
    r.blocks.fetch_add(1, std::memory_order_release);
    return 0;
}

/// Binds a capture unit to `device`, delivering mono 32-bit float at 48 kHz to `recording`, and
/// starts it. Empty on success, else the name of the step that failed.
inline std::string startCaptureRecording(AudioObjectID device, CaptureRecording& recording,
                                         UInt32 maximumFrames = 4096) {
    const AudioComponentDescription description{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                                kAudioUnitManufacturer_Apple, 0, 0};
    AudioComponent component = AudioComponentFindNext(nullptr, &description);
    if (component == nullptr || AudioComponentInstanceNew(component, &recording.unit) != 0) {
        return "no capture unit";
    }
    AudioUnit unit = recording.unit;
    const UInt32 on = 1;
    const UInt32 off = 0;
    const AudioStreamBasicDescription mono{
        48'000.0, kAudioFormatLinearPCM, kAudioFormatFlagsNativeFloatPacked, 4, 1, 4, 1, 32, 0};
    const AURenderCallbackStruct callback{&recordCaptureBlock, &recording};
    if (AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &on,
                             sizeof(on)) != 0 ||
        AudioUnitSetProperty(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0,
                             &off, sizeof(off)) != 0) {
        return "enable input";
    }
    if (AudioUnitSetProperty(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global,
                             0, &device, sizeof(device)) != 0) {
        return "current device";
    }
    if (AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1,
                             &mono, sizeof(mono)) != 0) {
        return "stream format";
    }
    if (AudioUnitSetProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global,
                             0, &maximumFrames, sizeof(maximumFrames)) != 0) {
        return "maximum frames per slice";
    }
    if (AudioUnitSetProperty(unit, kAudioOutputUnitProperty_SetInputCallback,
                             kAudioUnitScope_Global, 0, &callback, sizeof(callback)) != 0) {
        return "input callback";
    }
    if (AudioUnitInitialize(unit) != 0) {
        return "initialize";
    }
    if (AudioOutputUnitStart(unit) != 0) {
        return "start";
    }
    return "";
}

/// Stops, uninitialises and disposes of the unit; whether every step succeeded.
inline bool stopCaptureRecording(CaptureRecording& recording) {
    const bool stopped = AudioOutputUnitStop(recording.unit) == 0;
    const bool uninitialized = AudioUnitUninitialize(recording.unit) == 0;
    const bool disposed = AudioComponentInstanceDispose(recording.unit) == 0;
    return stopped && uninitialized && disposed;
}

}  // namespace platform::testing

#endif  // CORVESSA_PULSE_TESTS_CAPTURE_RECORDING_H
