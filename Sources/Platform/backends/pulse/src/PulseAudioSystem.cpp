// PulseAudio system: the system object, device properties, the capture component and the
// registry of running capture units.
#include "platform/PulseAudioSystem.h"

#include <algorithm>
#include <span>

#include "PropertyData.h"
#include "PulseCaptureUnit.h"
#include "PulseDeviceProperties.h"
#include "PulseDeviceTable.h"
#include "PulseSystemOutput.h"
#include "PulseTaps.h"

namespace platform {
namespace {

bool fieldMatches(UInt32 wanted, UInt32 actual) {
    return wanted == 0 || wanted == actual;
}

/// Records whether a server call reported success.
void reportSuccess(pa_context*, int success, void* result) noexcept {
    *static_cast<bool*>(result) = success != 0;
}

}  // namespace

std::shared_ptr<PulseAudioSystem> PulseAudioSystem::connect(std::chrono::milliseconds timeout) {
    auto connection = PulseConnection::open("Corvessa", timeout);
    if (!connection) {
        return nullptr;
    }
    auto system = std::make_shared<PulseAudioSystem>(Token{}, std::move(connection));
    if (!system->devices_->follow() || !system->devices_->refresh()) {
        return nullptr;
    }
    return system;
}

PulseAudioSystem::PulseAudioSystem(Token, std::shared_ptr<PulseConnection> connection)
    : connection_(std::move(connection)),
      devices_(std::make_unique<PulseDeviceTable>(connection_)),
      taps_(std::make_unique<PulseTaps>(connection_, *devices_)),
      output_(std::make_unique<PulseSystemOutput>(connection_)),
      captureComponent_{{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                         kAudioUnitManufacturer_Apple, 0, 0}} {}

PulseAudioSystem::~PulseAudioSystem() = default;

void PulseAudioSystem::registerRunningUnit(PulseCaptureUnit* unit) {
    std::lock_guard lock(unitsMutex_);
    runningUnits_.push_back(unit);
}

void PulseAudioSystem::unregisterRunningUnit(PulseCaptureUnit* unit) {
    std::lock_guard lock(unitsMutex_);
    std::erase(runningUnits_, unit);
}

bool PulseAudioSystem::hasProperty(AudioObjectID object,
                                   const AudioObjectPropertyAddress& address) noexcept {
    try {
        if (object == kAudioObjectSystemObject) {
            return systemHasProperty(address);
        }
        if (const auto device = devices_->device(object)) {
            return pulse::hasProperty(*device, address);
        }
        return taps_->hasProperty(object, address);
    } catch (...) {
        return false;
    }
}

OSStatus PulseAudioSystem::getPropertyDataSize(AudioObjectID object,
                                               const AudioObjectPropertyAddress& address, UInt32,
                                               const void*, UInt32& outSize) noexcept {
    try {
        if (object == kAudioObjectSystemObject) {
            if (!systemHasProperty(address)) {
                return kAudioHardwareUnknownPropertyError;
            }
            devices_->refresh();
            const bool isList = address.mSelector == kAudioHardwarePropertyDevices;
            const std::size_t count = isList ? devices_->deviceIDs().size() : 1;
            outSize = static_cast<UInt32>(count * sizeof(AudioObjectID));
            return kAudioHardwareNoError;
        }
        if (const auto device = devices_->device(object)) {
            return pulse::getPropertyDataSize(*device, address, outSize);
        }
        return taps_->owns(object) ? taps_->getPropertyDataSize(object, address, outSize)
                                   : kAudioHardwareBadObjectError;
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

OSStatus PulseAudioSystem::getPropertyData(AudioObjectID object,
                                           const AudioObjectPropertyAddress& address, UInt32,
                                           const void*, UInt32& ioSize, void* outData) noexcept {
    try {
        if (object == kAudioObjectSystemObject) {
            return getSystemProperty(address, ioSize, outData);
        }
        if (const auto device = devices_->device(object)) {
            return pulse::getPropertyData(*device, address, ioSize, outData);
        }
        return taps_->owns(object) ? taps_->getPropertyData(object, address, ioSize, outData)
                                   : kAudioHardwareBadObjectError;
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

OSStatus PulseAudioSystem::setPropertyData(AudioObjectID object,
                                           const AudioObjectPropertyAddress& address, UInt32,
                                           const void*, UInt32 size, const void* data) noexcept {
    try {
        if (object == kAudioObjectSystemObject) {
            return setDefaultDevice(address, size, data);
        }
        const auto device = devices_->device(object);
        if (!device) {
            return taps_->owns(object) ? kAudioHardwareIllegalOperationError
                                       : kAudioHardwareBadObjectError;
        }
        if (!pulse::hasProperty(*device, address)) {
            return kAudioHardwareUnknownPropertyError;
        }
        if (address.mSelector == kAudioDevicePropertyBufferFrameSize) {
            return setBufferFrameSize(object, size, data);
        }
        if (address.mSelector == kAudioDevicePropertyNominalSampleRate) {
            const auto rate = property::readIn<Float64>(size, data);
            return !rate                         ? kAudioHardwareBadPropertySizeError
                   : *rate == device->sampleRate ? kAudioHardwareNoError
                                                 : kAudioDeviceUnsupportedFormatError;
        }
        return kAudioHardwareIllegalOperationError;
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

OSStatus PulseAudioSystem::setBufferFrameSize(AudioObjectID device, UInt32 size, const void* data) {
    const auto frames = property::readIn<UInt32>(size, data);
    if (!frames) {
        return kAudioHardwareBadPropertySizeError;
    }
    if (*frames < pulse::kBufferFrameRange.mMinimum ||
        *frames > pulse::kBufferFrameRange.mMaximum) {
        return kAudioHardwareIllegalOperationError;
    }
    if (!devices_->setBufferFrames(device, *frames)) {
        return kAudioHardwareBadObjectError;
    }
    std::lock_guard lock(unitsMutex_);
    for (PulseCaptureUnit* unit : runningUnits_) {
        if (unit->deviceID() == device) {
            unit->setFragmentFrames(*frames);
        }
    }
    return kAudioHardwareNoError;
}

bool PulseAudioSystem::systemHasProperty(const AudioObjectPropertyAddress& address) const noexcept {
    return address.mSelector == kAudioHardwarePropertyDevices ||
           address.mSelector == kAudioHardwarePropertyDefaultInputDevice ||
           address.mSelector == kAudioHardwarePropertyDefaultOutputDevice;
}

OSStatus PulseAudioSystem::getSystemProperty(const AudioObjectPropertyAddress& address,
                                             UInt32& ioSize, void* outData) {
    using namespace property;
    if (!systemHasProperty(address)) {
        return kAudioHardwareUnknownPropertyError;
    }
    devices_->refresh();
    switch (address.mSelector) {
        case kAudioHardwarePropertyDevices: {
            const std::vector<AudioObjectID> ids = devices_->deviceIDs();
            return copyOutList(std::span<const AudioObjectID>(ids), ioSize, outData);
        }
        case kAudioHardwarePropertyDefaultInputDevice:
            return copyOut(devices_->defaultInput(), ioSize, outData);
        default:
            return copyOut(devices_->defaultOutput(), ioSize, outData);
    }
}

OSStatus PulseAudioSystem::setDefaultDevice(const AudioObjectPropertyAddress& address, UInt32 size,
                                            const void* data) {
    const bool input = address.mSelector == kAudioHardwarePropertyDefaultInputDevice;
    if (!input && address.mSelector != kAudioHardwarePropertyDefaultOutputDevice) {
        return systemHasProperty(address) ? kAudioHardwareIllegalOperationError
                                          : kAudioHardwareUnknownPropertyError;
    }
    const auto id = property::readIn<AudioObjectID>(size, data);
    if (!id) {
        return kAudioHardwareBadPropertySizeError;
    }
    const auto device = devices_->device(*id);
    if (!device || device->isSink == input || device->channels == 0) {
        return kAudioHardwareBadDeviceError;
    }
    bool succeeded = false;
    const bool answered = connection_->await([&](pa_context* context) {
        return input ? pa_context_set_default_source(context, device->name.c_str(), &reportSuccess,
                                                     &succeeded)
                     : pa_context_set_default_sink(context, device->name.c_str(), &reportSuccess,
                                                   &succeeded);
    });
    if (!answered || !succeeded) {
        return kAudioHardwareUnspecifiedError;
    }
    devices_->refresh();
    return kAudioHardwareNoError;
}

AudioComponent PulseAudioSystem::findNextComponent(
    AudioComponent after, const AudioComponentDescription& description) noexcept {
    const AudioComponentDescription& own = captureComponent_.description;
    const bool matches = fieldMatches(description.componentType, own.componentType) &&
                         fieldMatches(description.componentSubType, own.componentSubType) &&
                         fieldMatches(description.componentManufacturer, own.componentManufacturer);
    // The capture unit is this system's only component: nothing follows it.
    return after == nullptr && matches ? &captureComponent_ : nullptr;
}

OSStatus PulseAudioSystem::newInstance(AudioComponent component,
                                       AudioComponentInstance& outInstance) noexcept {
    if (component != &captureComponent_) {
        return kAudio_ParamError;
    }
    try {
        outInstance = new PulseCaptureUnit(shared_from_this());
        return kAudioHardwareNoError;
    } catch (...) {
        return kAudioUnitErr_FailedInitialization;
    }
}

ProcessTapBackend* PulseAudioSystem::processTaps() noexcept {
    return taps_.get();
}

SystemOutputBackend* PulseAudioSystem::systemOutput() noexcept {
    return output_.get();
}

}  // namespace platform
