// PulseAudio taps: bookkeeping under one mutex, IO over record streams of the default monitor.
#include "PulseTaps.h"

#include <algorithm>
#include <cstring>

#include "PropertyData.h"
#include "PulseDeviceTable.h"
#include "UpperCaseUUID.h"
#include "platform/HostTime.h"
#include "platform/PCMBuffer.h"
#include "platform/SerialQueue.h"

namespace platform {
namespace {

/// First object id handed to a tap or aggregate device; far above the devices' ids.
constexpr AudioObjectID kFirstObjectID = 0x7A00'0000;

bool isGlobalMain(const AudioObjectPropertyAddress& address) {
    return address.mScope == kAudioObjectPropertyScopeGlobal &&
           address.mElement == kAudioObjectPropertyElementMain;
}

/// The procedure handle given out for `proc`; only ever compared, never dereferenced as such.
AudioDeviceIOProcID handleOf(const void* proc) {
    return reinterpret_cast<AudioDeviceIOProcID>(const_cast<void*>(proc));
}

}  // namespace

PulseTaps::PulseTaps(std::shared_ptr<PulseConnection> connection, PulseDeviceTable& devices)
    : connection_(std::move(connection)), devices_(devices), nextID_(kFirstObjectID) {}

PulseTaps::~PulseTaps() {
    ProcList procs;
    {
        std::lock_guard lock(mutex_);
        procs.swap(procs_);
    }
}

AudioObjectID PulseTaps::allocateID() {
    return nextID_++;
}

bool PulseTaps::owns(AudioObjectID id) const {
    std::lock_guard lock(mutex_);
    return taps_.contains(id) || aggregates_.contains(id);
}

bool PulseTaps::hasProperty(AudioObjectID id, const AudioObjectPropertyAddress& address) const {
    std::lock_guard lock(mutex_);
    const AudioObjectPropertySelector selector = address.mSelector;
    if (taps_.contains(id)) {
        return isGlobalMain(address) &&
               (selector == kAudioTapPropertyUID || selector == kAudioTapPropertyFormat ||
                selector == kAudioObjectPropertyName);
    }
    if (!aggregates_.contains(id)) {
        return false;
    }
    if (selector == kAudioDevicePropertyStreamConfiguration) {
        return address.mScope == kAudioObjectPropertyScopeInput ||
               address.mScope == kAudioObjectPropertyScopeOutput;
    }
    return address.mElement == kAudioObjectPropertyElementMain &&
           (selector == kAudioDevicePropertyDeviceUID || selector == kAudioObjectPropertyName ||
            selector == kAudioDevicePropertyNominalSampleRate ||
            selector == kAudioDevicePropertyBufferFrameSize);
}

OSStatus PulseTaps::getPropertyDataSize(AudioObjectID id, const AudioObjectPropertyAddress& address,
                                        UInt32& outSize) const {
    if (!hasProperty(id, address)) {
        return kAudioHardwareUnknownPropertyError;
    }
    switch (address.mSelector) {
        case kAudioTapPropertyFormat:
            outSize = sizeof(AudioStreamBasicDescription);
            break;
        case kAudioDevicePropertyNominalSampleRate:
            outSize = sizeof(Float64);
            break;
        case kAudioDevicePropertyBufferFrameSize:
            outSize = sizeof(UInt32);
            break;
        case kAudioDevicePropertyStreamConfiguration:
            outSize = sizeof(AudioBufferList);
            break;
        default:
            outSize = sizeof(CFStringRef);
            break;
    }
    return kAudioHardwareNoError;
}

OSStatus PulseTaps::getPropertyData(AudioObjectID id, const AudioObjectPropertyAddress& address,
                                    UInt32& ioSize, void* outData) const {
    using namespace property;
    if (!hasProperty(id, address)) {
        return kAudioHardwareUnknownPropertyError;
    }
    std::lock_guard lock(mutex_);
    if (const auto tap = taps_.find(id); tap != taps_.end()) {
        switch (address.mSelector) {
            case kAudioTapPropertyUID:
                return copyOutString(tap->second.uid, ioSize, outData);
            case kAudioTapPropertyFormat:
                return copyOut(tap->second.format.streamDescription(), ioSize, outData);
            default:
                return copyOutString(tap->second.description.name, ioSize, outData);
        }
    }
    const Aggregate& aggregate = aggregates_.at(id);
    switch (address.mSelector) {
        case kAudioDevicePropertyDeviceUID:
            return copyOutString(aggregate.description.uid, ioSize, outData);
        case kAudioObjectPropertyName:
            return copyOutString(aggregate.description.name, ioSize, outData);
        case kAudioDevicePropertyNominalSampleRate:
            return copyOut(aggregate.format.sampleRate(), ioSize, outData);
        case kAudioDevicePropertyBufferFrameSize:
            return copyOut(kBufferFrameSize, ioSize, outData);
        default: {
            const bool input = address.mScope == kAudioObjectPropertyScopeInput;
            const AudioBufferList list{1,
                                       {{input ? aggregate.format.channelCount() : 0, 0, nullptr}}};
            return copyOut(list, ioSize, outData);
        }
    }
}

OSStatus PulseTaps::createProcessTap(const TapDescription& description,
                                     AudioObjectID& outTapID) noexcept {
    try {
        const auto sink = devices_.device(devices_.defaultOutput());
        const Float64 rate = sink && sink->sampleRate > 0.0 ? sink->sampleRate : 48'000.0;
        const auto format = AudioFormat::make(CommonFormat::pcmFormatFloat32, rate,
                                              description.isMono ? 1 : 2, true);
        if (!format) {
            return kAudioDeviceUnsupportedFormatError;
        }
        std::lock_guard lock(mutex_);
        const AudioObjectID id = allocateID();
        taps_.emplace(id, Tap{description, makeUpperCaseUUID(), *format});
        outTapID = id;
        return kAudioHardwareNoError;
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

OSStatus PulseTaps::destroyProcessTap(AudioObjectID tapID) noexcept {
    std::lock_guard lock(mutex_);
    return taps_.erase(tapID) == 1 ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

OSStatus PulseTaps::createAggregateDevice(const AggregateDeviceDescription& description,
                                          AudioObjectID& outDeviceID) noexcept {
    try {
        std::lock_guard lock(mutex_);
        return addAggregate(description, outDeviceID);
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

OSStatus PulseTaps::addAggregate(const AggregateDeviceDescription& description,
                                 AudioObjectID& outDeviceID) {
    std::vector<AudioObjectID> listed;
    for (const AggregateTapEntry& entry : description.taps) {
        const auto tap = std::find_if(taps_.begin(), taps_.end(), [&](const auto& item) {
            return item.second.uid == entry.uid;
        });
        if (tap == taps_.end()) {
            return kAudioHardwareIllegalOperationError;
        }
        listed.push_back(tap->first);
    }
    const bool taken = std::any_of(aggregates_.begin(), aggregates_.end(), [&](const auto& item) {
        return item.second.description.uid == description.uid;
    });
    if (listed.empty() || description.uid.empty() || taken) {
        return kAudioHardwareIllegalOperationError;
    }
    const AudioObjectID id = allocateID();
    aggregates_.emplace(id,
                        Aggregate{description, listed.front(), taps_.at(listed.front()).format});
    outDeviceID = id;
    return kAudioHardwareNoError;
}

OSStatus PulseTaps::destroyAggregateDevice(AudioObjectID deviceID) noexcept {
    ProcList doomed;  // stopped after the lock is released
    std::lock_guard lock(mutex_);
    if (aggregates_.erase(deviceID) == 0) {
        return kAudioHardwareBadDeviceError;
    }
    const auto first = std::stable_partition(
        procs_.begin(), procs_.end(), [&](const auto& proc) { return proc->device != deviceID; });
    doomed.assign(std::make_move_iterator(first), std::make_move_iterator(procs_.end()));
    procs_.erase(first, procs_.end());
    return kAudioHardwareNoError;
}

OSStatus PulseTaps::createIOProcID(AudioObjectID deviceID, std::shared_ptr<SerialQueue> queue,
                                   AudioDeviceIOBlock block,
                                   AudioDeviceIOProcID& outIOProcID) noexcept {
    try {
        std::lock_guard lock(mutex_);
        if (!aggregates_.contains(deviceID)) {
            return kAudioHardwareBadDeviceError;
        }
        auto shared = std::make_shared<const AudioDeviceIOBlock>(std::move(block));
        procs_.push_back(
            std::make_unique<Proc>(Proc{deviceID, std::move(queue), std::move(shared), nullptr}));
        outIOProcID = handleOf(procs_.back().get());
        return kAudioHardwareNoError;
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

PulseTaps::ProcList::iterator PulseTaps::findProc(AudioObjectID deviceID,
                                                  AudioDeviceIOProcID proc) {
    return std::find_if(procs_.begin(), procs_.end(), [&](const auto& item) {
        return handleOf(item.get()) == proc && item->device == deviceID;
    });
}

OSStatus PulseTaps::missingProc(AudioObjectID deviceID) const {
    return aggregates_.contains(deviceID) ? kAudioHardwareBadObjectError
                                          : kAudioHardwareBadDeviceError;
}

OSStatus PulseTaps::destroyIOProcID(AudioObjectID deviceID, AudioDeviceIOProcID proc) noexcept {
    std::unique_ptr<Proc> doomed;  // stopped after the lock is released
    std::lock_guard lock(mutex_);
    const auto found = findProc(deviceID, proc);
    if (found == procs_.end()) {
        return missingProc(deviceID);
    }
    doomed = std::move(*found);
    procs_.erase(found);
    return kAudioHardwareNoError;
}

OSStatus PulseTaps::startDevice(AudioObjectID deviceID, AudioDeviceIOProcID proc) noexcept {
    try {
        std::lock_guard lock(mutex_);
        const auto found = findProc(deviceID, proc);
        if (found == procs_.end()) {
            return missingProc(deviceID);
        }
        return (*found)->running ? kAudioHardwareNoError
                                 : startProc(**found, aggregates_.at(deviceID));
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

OSStatus PulseTaps::startProc(Proc& proc, const Aggregate& aggregate) {
    const auto sink = devices_.device(devices_.defaultOutput());
    if (!sink || sink->monitorName.empty()) {
        return kAudioHardwareBadDeviceError;  // nothing plays anywhere to be tapped
    }
    PulseRecordConfig config;
    config.source = sink->monitorName;
    config.rate = static_cast<std::uint32_t>(aggregate.format.sampleRate());
    config.channels = aggregate.format.channelCount();
    config.fragmentFrames = kBufferFrameSize;
    config.name = "Corvessa system audio";
    auto sampleTime = std::make_shared<UInt64>(0);  // mainloop thread only
    const Proc* target = &proc;
    const AudioFormat format = aggregate.format;
    proc.running = PulseRecordStream::open(
        connection_, config,
        [target, format, sampleTime](const float* samples, std::uint32_t frames,
                                     std::uint64_t hostNanos) {
            post(*target, format, samples, frames, hostNanos, *sampleTime);
            *sampleTime += frames;
        },
        nullptr);
    return proc.running ? kAudioHardwareNoError : kAudioHardwareBadDeviceError;
}

void PulseTaps::post(const Proc& proc, const AudioFormat& format, const float* samples,
                     UInt32 frames, UInt64 hostNanos, UInt64 sampleTime) {
    auto buffer = PCMBuffer::make(format, frames);
    if (!buffer || !buffer->setFrameLength(frames)) {
        return;  // no memory for this cycle: it is skipped
    }
    float* out = buffer->floatChannelData()[0];
    const std::size_t count = static_cast<std::size_t>(frames) * format.channelCount();
    if (samples != nullptr) {
        std::memcpy(out, samples, count * sizeof(float));
    } else {
        std::fill(out, out + count, 0.0f);
    }
    AudioTimeStamp stamp{};
    stamp.mSampleTime = static_cast<Float64>(sampleTime);
    stamp.mHostTime = AudioConvertNanosToHostTime(hostNanos);
    stamp.mRateScalar = 1.0;
    stamp.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid |
                   kAudioTimeStampRateScalarValid;
    AudioTimeStamp now{};
    now.mHostTime = AudioGetCurrentHostTime();
    now.mFlags = kAudioTimeStampHostTimeValid;
    proc.queue->async([block = proc.block, buffer = std::move(buffer), stamp, now] {
        AudioBufferList output{0, {}};
        (*block)(&now, buffer->audioBufferList(), &stamp, &output, &stamp);
    });
}

OSStatus PulseTaps::stopDevice(AudioObjectID deviceID, AudioDeviceIOProcID proc) noexcept {
    std::unique_ptr<PulseRecordStream> stopped;  // disconnected after the lock is released
    std::lock_guard lock(mutex_);
    const auto found = findProc(deviceID, proc);
    if (found == procs_.end()) {
        return missingProc(deviceID);
    }
    stopped = std::move((*found)->running);
    return kAudioHardwareNoError;
}

}  // namespace platform
