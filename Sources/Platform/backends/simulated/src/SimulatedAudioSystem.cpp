// Simulated system: device table, defaults, the capture component and the running units.
#include "platform/SimulatedAudioSystem.h"

#include <algorithm>
#include <span>

#include "PropertyData.h"
#include "SimulatedCaptureUnit.h"
#include "SimulatedIOThread.h"

namespace platform {
namespace {

/// A zero field of a search description matches any value.
bool fieldMatches(UInt32 wanted, UInt32 actual) {
    return wanted == 0 || wanted == actual;
}

bool descriptionMatches(const AudioComponentDescription& wanted,
                        const AudioComponentDescription& actual) {
    return fieldMatches(wanted.componentType, actual.componentType) &&
           fieldMatches(wanted.componentSubType, actual.componentSubType) &&
           fieldMatches(wanted.componentManufacturer, actual.componentManufacturer);
}

bool isReservedID(AudioObjectID id) {
    return id == kAudioObjectUnknown || id == kAudioObjectSystemObject;
}

/// Output channels of a device, read through its 'slay' property (0 when unreadable).
UInt32 outputChannels(const AudioDeviceProvider& device) {
    AudioBufferList list{};
    UInt32 size = sizeof(list);
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration,
                                             kAudioObjectPropertyScopeOutput,
                                             kAudioObjectPropertyElementMain};
    if (device.getPropertyData(address, 0, nullptr, size, &list) != kAudioHardwareNoError) {
        return 0;
    }
    return list.mNumberBuffers > 0 ? list.mBuffers[0].mNumberChannels : 0;
}

}  // namespace

SimulatedAudioSystem::SimulatedAudioSystem()
    : captureComponent_{{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                         kAudioUnitManufacturer_Apple, 0, 0}} {}

std::shared_ptr<SimulatedAudioSystem> SimulatedAudioSystem::create() {
    return std::make_shared<SimulatedAudioSystem>();
}

std::shared_ptr<SimulatedDevice> SimulatedAudioSystem::addDevice(SimulatedDeviceConfig config) {
    auto device = std::make_shared<SimulatedDevice>(std::move(config));
    return addDevice(device->id(), device) ? device : nullptr;
}

bool SimulatedAudioSystem::addDevice(AudioObjectID id,
                                     std::shared_ptr<AudioDeviceProvider> provider) {
    std::lock_guard lock(mutex_);
    const bool taken = std::any_of(devices_.begin(), devices_.end(),
                                   [&](const auto& entry) { return entry.first == id; });
    if (isReservedID(id) || taken || !provider) {
        return false;
    }
    devices_.emplace_back(id, std::move(provider));
    return true;
}

bool SimulatedAudioSystem::removeDevice(AudioObjectID id) {
    std::lock_guard lock(mutex_);
    const auto erased =
        std::erase_if(devices_, [&](const auto& entry) { return entry.first == id; });
    if (defaultInput_ == id) {
        defaultInput_ = kAudioObjectUnknown;
    }
    if (defaultOutput_ == id) {
        defaultOutput_ = kAudioObjectUnknown;
    }
    return erased > 0;
}

std::shared_ptr<AudioDeviceProvider> SimulatedAudioSystem::device(AudioObjectID id) const {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(devices_.begin(), devices_.end(),
                                    [&](const auto& entry) { return entry.first == id; });
    return found == devices_.end() ? nullptr : found->second;
}

void SimulatedAudioSystem::setDefaultInputDevice(AudioObjectID id) {
    std::lock_guard lock(mutex_);
    defaultInput_ = id;
}

void SimulatedAudioSystem::setDefaultOutputDevice(AudioObjectID id) {
    std::lock_guard lock(mutex_);
    defaultOutput_ = id;
}

AudioObjectID SimulatedAudioSystem::defaultInputDevice() const {
    std::lock_guard lock(mutex_);
    return defaultInput_;
}

void SimulatedAudioSystem::injectFault(const Fault& fault) {
    faults_.add(fault);
}

void SimulatedAudioSystem::clearFaults() {
    faults_.clear();
}

void SimulatedAudioSystem::setHostTimeValid(bool valid) noexcept {
    hostTimeValid_.store(valid, std::memory_order_release);
}

bool SimulatedAudioSystem::hostTimeValid() const noexcept {
    return hostTimeValid_.load(std::memory_order_acquire);
}

void SimulatedAudioSystem::setIOClock(SimulatedIOClock clock) {
    std::lock_guard lock(mutex_);
    ioClock_ = clock;
}

SimulatedIOClock SimulatedAudioSystem::ioClock() const {
    std::lock_guard lock(mutex_);
    return ioClock_;
}

UInt32 SimulatedAudioSystem::pump(const PumpRequest& request) {
    UInt32 complete = 0;
    for (const auto& thread : unitsToPump(request)) {
        complete += thread->pump(request.cycles, request.frames) == request.cycles ? 1 : 0;
    }
    return complete;
}

UInt32 SimulatedAudioSystem::runningUnitCount(std::optional<AudioObjectID> device) const {
    std::lock_guard lock(mutex_);
    return static_cast<UInt32>(std::count_if(running_.begin(), running_.end(), [&](auto& unit) {
        return !device || unit.device == *device;
    }));
}

void SimulatedAudioSystem::registerRunningUnit(AudioObjectID device,
                                               std::shared_ptr<SimulatedIOThread> thread) {
    std::lock_guard lock(mutex_);
    running_.push_back({device, std::move(thread)});
}

void SimulatedAudioSystem::unregisterRunningUnit(const SimulatedIOThread* thread) {
    std::lock_guard lock(mutex_);
    std::erase_if(running_, [&](const RunningUnit& unit) { return unit.thread.get() == thread; });
}

std::vector<std::shared_ptr<SimulatedIOThread>> SimulatedAudioSystem::unitsToPump(
    const PumpRequest& request) const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<SimulatedIOThread>> threads;
    for (const RunningUnit& unit : running_) {
        if (!request.device || unit.device == *request.device) {
            threads.push_back(unit.thread);
        }
    }
    return threads;
}

std::vector<AudioObjectID> SimulatedAudioSystem::deviceIDs() const {
    std::lock_guard lock(mutex_);
    std::vector<AudioObjectID> ids;
    for (const auto& entry : devices_) {
        ids.push_back(entry.first);
    }
    return ids;
}

bool SimulatedAudioSystem::hasProperty(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address) noexcept {
    if (object == kAudioObjectSystemObject) {
        return systemHasProperty(address);
    }
    try {
        const auto provider = anyObject(object);
        return provider && provider->hasProperty(address);
    } catch (...) {
        return false;
    }
}

OSStatus SimulatedAudioSystem::getPropertyDataSize(AudioObjectID object,
                                                   const AudioObjectPropertyAddress& address,
                                                   UInt32 qualifierSize, const void* qualifier,
                                                   UInt32& outSize) noexcept {
    try {
        if (auto fault =
                faults_.check(AudioCall::objectGetPropertyDataSize, object, address.mSelector)) {
            return *fault;
        }
        if (object == kAudioObjectSystemObject) {
            if (!systemHasProperty(address)) {
                return kAudioHardwareUnknownPropertyError;
            }
            const bool isList = address.mSelector == kAudioHardwarePropertyDevices;
            const std::size_t count = isList ? deviceIDs().size() : 1;
            outSize = static_cast<UInt32>(count * sizeof(AudioObjectID));
            return kAudioHardwareNoError;
        }
        const auto provider = anyObject(object);
        return provider ? provider->getPropertyDataSize(address, qualifierSize, qualifier, outSize)
                        : kAudioHardwareBadObjectError;
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

OSStatus SimulatedAudioSystem::getPropertyData(AudioObjectID object,
                                               const AudioObjectPropertyAddress& address,
                                               UInt32 qualifierSize, const void* qualifier,
                                               UInt32& ioSize, void* outData) noexcept {
    try {
        if (auto fault =
                faults_.check(AudioCall::objectGetPropertyData, object, address.mSelector)) {
            return *fault;
        }
        if (object == kAudioObjectSystemObject) {
            return getSystemProperty(address, ioSize, outData);
        }
        const auto provider = anyObject(object);
        return provider
                   ? provider->getPropertyData(address, qualifierSize, qualifier, ioSize, outData)
                   : kAudioHardwareBadObjectError;
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

OSStatus SimulatedAudioSystem::setPropertyData(AudioObjectID object,
                                               const AudioObjectPropertyAddress& address,
                                               UInt32 qualifierSize, const void* qualifier,
                                               UInt32 size, const void* data) noexcept {
    try {
        if (auto fault =
                faults_.check(AudioCall::objectSetPropertyData, object, address.mSelector)) {
            return *fault;
        }
        if (object == kAudioObjectSystemObject) {
            return setDefaultDevice(address, size, data);
        }
        const auto provider = anyObject(object);
        return provider ? provider->setPropertyData(address, qualifierSize, qualifier, size, data)
                        : kAudioHardwareBadObjectError;
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

bool SimulatedAudioSystem::systemHasProperty(
    const AudioObjectPropertyAddress& address) const noexcept {
    return address.mSelector == kAudioHardwarePropertyDevices ||
           address.mSelector == kAudioHardwarePropertyDefaultInputDevice ||
           address.mSelector == kAudioHardwarePropertyDefaultOutputDevice;
}

OSStatus SimulatedAudioSystem::getSystemProperty(const AudioObjectPropertyAddress& address,
                                                 UInt32& ioSize, void* outData) const noexcept {
    using namespace property;
    switch (address.mSelector) {
        case kAudioHardwarePropertyDevices: {
            const std::vector<AudioObjectID> ids = deviceIDs();
            return copyOutList(std::span<const AudioObjectID>(ids), ioSize, outData);
        }
        case kAudioHardwarePropertyDefaultInputDevice:
            return copyOut(defaultInputDevice(), ioSize, outData);
        case kAudioHardwarePropertyDefaultOutputDevice: {
            std::lock_guard lock(mutex_);
            return copyOut(defaultOutput_, ioSize, outData);
        }
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus SimulatedAudioSystem::setDefaultDevice(const AudioObjectPropertyAddress& address,
                                                UInt32 size, const void* data) noexcept {
    const bool input = address.mSelector == kAudioHardwarePropertyDefaultInputDevice;
    if (!input && address.mSelector != kAudioHardwarePropertyDefaultOutputDevice) {
        return systemHasProperty(address) ? kAudioHardwareIllegalOperationError
                                          : kAudioHardwareUnknownPropertyError;
    }
    const auto id = property::readIn<AudioObjectID>(size, data);
    if (!id) {
        return kAudioHardwareBadPropertySizeError;
    }
    const auto provider = device(*id);
    const bool capable =
        provider && (input ? provider->inputFormat().channels > 0 : outputChannels(*provider) > 0);
    if (!capable) {
        return kAudioHardwareBadDeviceError;
    }
    input ? setDefaultInputDevice(*id) : setDefaultOutputDevice(*id);
    return kAudioHardwareNoError;
}

AudioComponent SimulatedAudioSystem::findNextComponent(
    AudioComponent after, const AudioComponentDescription& description) noexcept {
    try {
        if (faults_.check(AudioCall::componentFindNext)) {
            return nullptr;
        }
    } catch (...) {
        return nullptr;
    }
    // The capture unit is this system's only component: nothing follows it.
    if (after != nullptr || !descriptionMatches(description, captureComponent_.description)) {
        return nullptr;
    }
    return &captureComponent_;
}

OSStatus SimulatedAudioSystem::newInstance(AudioComponent component,
                                           AudioComponentInstance& outInstance) noexcept {
    try {
        if (auto fault = faults_.check(AudioCall::componentInstanceNew)) {
            return *fault;
        }
        if (component != &captureComponent_) {
            return kAudio_ParamError;
        }
        outInstance = new SimulatedCaptureUnit(shared_from_this());
        return kAudioHardwareNoError;
    } catch (...) {
        return kAudioUnitErr_FailedInitialization;
    }
}

std::shared_ptr<AudioDeviceProvider> SimulatedAudioSystem::anyObject(AudioObjectID id) const {
    auto provider = device(id);
    return provider ? provider : taps_->object(id);
}

ProcessTapBackend* SimulatedAudioSystem::processTaps() noexcept {
    return taps_->supported() ? taps_.get() : nullptr;
}

SystemOutputBackend* SimulatedAudioSystem::systemOutput() noexcept {
    return speakerBus_.get();
}

}  // namespace platform
