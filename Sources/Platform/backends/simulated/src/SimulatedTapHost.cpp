// Simulated taps, aggregate devices and IO procedures: bookkeeping under one mutex; IO threads
// are started under it and stopped outside it, so a stop never waits while holding the lock.
#include "platform/SimulatedTapHost.h"

#include <algorithm>
#include <utility>

#include "SimulatedTapIO.h"
#include "SimulatedTapObjects.h"
#include "platform/SimulatedAudioSystem.h"

namespace platform {
namespace {

/// First object id handed to a tap or aggregate device; far above ids tests give devices.
constexpr AudioObjectID kFirstObjectID = 0x7A00'0000;

}  // namespace

SimulatedTapHost::SimulatedTapHost(SimulatedAudioSystem& system,
                                   std::shared_ptr<SimulatedSpeakerBus> bus)
    : system_(system), bus_(std::move(bus)), nextID_(kFirstObjectID) {}

SimulatedTapHost::~SimulatedTapHost() {
    ProcList procs;
    {
        std::lock_guard lock(mutex_);
        procs.swap(procs_);
    }
}

void SimulatedTapHost::setSupported(bool supported) noexcept {
    supported_.store(supported, std::memory_order_release);
}

bool SimulatedTapHost::supported() const noexcept {
    return supported_.load(std::memory_order_acquire);
}

void SimulatedTapHost::setTapFormat(SimulatedTapFormat format) {
    std::lock_guard lock(mutex_);
    tapFormat_ = format;
}

void SimulatedTapHost::setBufferFrameSize(UInt32 frames) {
    std::lock_guard lock(mutex_);
    bufferFrameSize_ = std::max<UInt32>(frames, 1);
}

std::size_t SimulatedTapHost::tapCount() const {
    std::lock_guard lock(mutex_);
    return taps_.size();
}

std::size_t SimulatedTapHost::aggregateDeviceCount() const {
    std::lock_guard lock(mutex_);
    return aggregates_.size();
}

std::size_t SimulatedTapHost::ioProcCount() const {
    std::lock_guard lock(mutex_);
    return procs_.size();
}

std::size_t SimulatedTapHost::runningIOProcCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        procs_.begin(), procs_.end(), [](const auto& proc) { return proc->running != nullptr; }));
}

std::optional<TapDescription> SimulatedTapHost::tapDescription(AudioObjectID tapID) const {
    std::lock_guard lock(mutex_);
    const auto found = taps_.find(tapID);
    return found == taps_.end() ? std::nullopt : std::optional(found->second->description());
}

std::optional<AggregateDeviceDescription> SimulatedTapHost::aggregateDescription(
    AudioObjectID deviceID) const {
    std::lock_guard lock(mutex_);
    const auto found = aggregates_.find(deviceID);
    return found == aggregates_.end() ? std::nullopt : std::optional(found->second->description());
}

std::shared_ptr<AudioDeviceProvider> SimulatedTapHost::object(AudioObjectID id) const {
    std::lock_guard lock(mutex_);
    if (const auto tap = taps_.find(id); tap != taps_.end()) {
        return tap->second;
    }
    const auto aggregate = aggregates_.find(id);
    return aggregate == aggregates_.end() ? nullptr : aggregate->second;
}

std::optional<OSStatus> SimulatedTapHost::fault(AudioCall call, AudioObjectID object) const {
    return system_.faults().check(call, object);
}

AudioObjectID SimulatedTapHost::allocateID() {
    while (taps_.contains(nextID_) || aggregates_.contains(nextID_) || system_.device(nextID_)) {
        ++nextID_;
    }
    return nextID_++;
}

OSStatus SimulatedTapHost::createProcessTap(const TapDescription& description,
                                            AudioObjectID& outTapID) noexcept {
    try {
        if (auto status = fault(AudioCall::createProcessTap, kAudioObjectUnknown)) {
            return *status;
        }
        return addTap(description, outTapID);
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

OSStatus SimulatedTapHost::addTap(const TapDescription& description, AudioObjectID& outTapID) {
    std::lock_guard lock(mutex_);
    const UInt32 described = description.isMono ? 1 : 2;
    const UInt32 channels = tapFormat_.channels != 0 ? tapFormat_.channels : described;
    const auto format = AudioFormat::make(CommonFormat::pcmFormatFloat32, tapFormat_.sampleRate,
                                          channels, tapFormat_.interleaved);
    if (!format) {
        return kAudioDeviceUnsupportedFormatError;
    }
    const AudioObjectID id = allocateID();
    taps_.emplace(id, std::make_shared<SimulatedTap>(description, *format, bus_));
    outTapID = id;
    return kAudioHardwareNoError;
}

OSStatus SimulatedTapHost::destroyProcessTap(AudioObjectID tapID) noexcept {
    try {
        if (auto status = fault(AudioCall::destroyProcessTap, tapID)) {
            return *status;
        }
        std::lock_guard lock(mutex_);
        const auto found = taps_.find(tapID);
        if (found == taps_.end()) {
            return kAudioHardwareBadObjectError;
        }
        found->second->retire();
        taps_.erase(found);
        return kAudioHardwareNoError;
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

OSStatus SimulatedTapHost::createAggregateDevice(const AggregateDeviceDescription& description,
                                                 AudioObjectID& outDeviceID) noexcept {
    try {
        if (auto status = fault(AudioCall::createAggregateDevice, kAudioObjectUnknown)) {
            return *status;
        }
        return addAggregate(description, outDeviceID);
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

OSStatus SimulatedTapHost::addAggregate(const AggregateDeviceDescription& description,
                                        AudioObjectID& outDeviceID) {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<SimulatedTap>> listed;
    for (const AggregateTapEntry& entry : description.taps) {
        const auto tap = std::find_if(taps_.begin(), taps_.end(), [&](const auto& item) {
            return item.second->uid() == entry.uid;
        });
        if (tap == taps_.end()) {
            return kAudioHardwareIllegalOperationError;
        }
        listed.push_back(tap->second);
    }
    if (listed.empty() || description.uid.empty() || aggregateUIDTaken(description.uid)) {
        return kAudioHardwareIllegalOperationError;
    }
    const AudioObjectID id = allocateID();
    aggregates_.emplace(id, std::make_shared<SimulatedAggregateDevice>(description, listed.front(),
                                                                       bufferFrameSize_));
    outDeviceID = id;
    return kAudioHardwareNoError;
}

bool SimulatedTapHost::aggregateUIDTaken(const std::string& uid) const {
    return std::any_of(aggregates_.begin(), aggregates_.end(),
                       [&](const auto& item) { return item.second->description().uid == uid; });
}

OSStatus SimulatedTapHost::destroyAggregateDevice(AudioObjectID deviceID) noexcept {
    try {
        if (auto status = fault(AudioCall::destroyAggregateDevice, deviceID)) {
            return *status;
        }
        ProcList doomed;  // destroyed after the lock is released: their threads are joined
        std::lock_guard lock(mutex_);
        if (aggregates_.erase(deviceID) == 0) {
            return kAudioHardwareBadDeviceError;
        }
        doomed = takeProcs(deviceID);
        return kAudioHardwareNoError;
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

SimulatedTapHost::ProcList SimulatedTapHost::takeProcs(AudioObjectID deviceID) {
    const auto first = std::stable_partition(
        procs_.begin(), procs_.end(), [&](const auto& proc) { return proc->device != deviceID; });
    ProcList taken(std::make_move_iterator(first), std::make_move_iterator(procs_.end()));
    procs_.erase(first, procs_.end());
    return taken;
}

OSStatus SimulatedTapHost::createIOProcID(AudioObjectID deviceID,
                                          std::shared_ptr<SerialQueue> queue,
                                          AudioDeviceIOBlock block,
                                          AudioDeviceIOProcID& outIOProcID) noexcept {
    try {
        if (auto status = fault(AudioCall::deviceCreateIOProcID, deviceID)) {
            return *status;
        }
        std::lock_guard lock(mutex_);
        if (!aggregates_.contains(deviceID)) {
            return kAudioHardwareBadDeviceError;
        }
        auto shared = std::make_shared<const AudioDeviceIOBlock>(std::move(block));
        procs_.push_back(std::make_unique<OpaqueAudioDeviceIOProc>(
            OpaqueAudioDeviceIOProc{deviceID, std::move(queue), std::move(shared), nullptr}));
        outIOProcID = procs_.back().get();
        return kAudioHardwareNoError;
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

SimulatedTapHost::ProcList::iterator SimulatedTapHost::findProc(AudioObjectID deviceID,
                                                                AudioDeviceIOProcID proc) {
    return std::find_if(procs_.begin(), procs_.end(), [&](const auto& item) {
        return item.get() == proc && item->device == deviceID;
    });
}

OSStatus SimulatedTapHost::destroyIOProcID(AudioObjectID deviceID,
                                           AudioDeviceIOProcID proc) noexcept {
    try {
        if (auto status = fault(AudioCall::deviceDestroyIOProcID, deviceID)) {
            return *status;
        }
        std::unique_ptr<OpaqueAudioDeviceIOProc> doomed;  // joined after the lock is released
        std::lock_guard lock(mutex_);
        const auto found = findProc(deviceID, proc);
        if (found == procs_.end()) {
            return aggregates_.contains(deviceID) ? kAudioHardwareBadObjectError
                                                  : kAudioHardwareBadDeviceError;
        }
        doomed = std::move(*found);
        procs_.erase(found);
        return kAudioHardwareNoError;
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

OSStatus SimulatedTapHost::startDevice(AudioObjectID deviceID, AudioDeviceIOProcID proc) noexcept {
    try {
        if (auto status = fault(AudioCall::deviceStart, deviceID)) {
            return *status;
        }
        std::lock_guard lock(mutex_);
        const auto found = findProc(deviceID, proc);
        if (found == procs_.end()) {
            return aggregates_.contains(deviceID) ? kAudioHardwareBadObjectError
                                                  : kAudioHardwareBadDeviceError;
        }
        return startProc(**found);
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

OSStatus SimulatedTapHost::startProc(OpaqueAudioDeviceIOProc& proc) {
    if (proc.running) {
        return kAudioHardwareNoError;
    }
    const auto& aggregate = aggregates_.at(proc.device);
    auto stream = aggregate->startInput();
    if (!stream) {
        return stream.error();
    }
    proc.running = std::make_unique<TapIOCycle>(system_, proc.device, aggregate->format(),
                                                aggregate->ioBufferFrameSize(), std::move(*stream),
                                                proc.queue, proc.block);
    return kAudioHardwareNoError;
}

OSStatus SimulatedTapHost::stopDevice(AudioObjectID deviceID, AudioDeviceIOProcID proc) noexcept {
    try {
        if (auto status = fault(AudioCall::deviceStop, deviceID)) {
            return *status;
        }
        std::unique_ptr<TapIOCycle> stopped;  // joined after the lock is released
        std::lock_guard lock(mutex_);
        const auto found = findProc(deviceID, proc);
        if (found == procs_.end()) {
            return aggregates_.contains(deviceID) ? kAudioHardwareBadObjectError
                                                  : kAudioHardwareBadDeviceError;
        }
        stopped = std::move((*found)->running);
        return kAudioHardwareNoError;
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

}  // namespace platform
