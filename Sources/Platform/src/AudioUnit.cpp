// The AudioComponent* / AudioUnit* calls: argument checks, then the installed system (finding and
// creating) or the instance itself (everything else).
#include "platform/AudioUnit.h"

#include "platform/AudioSystem.h"

extern "C" {

AudioComponent AudioComponentFindNext(AudioComponent inComponent,
                                      const AudioComponentDescription* inDesc) noexcept {
    if (inDesc == nullptr) {
        return nullptr;
    }
    try {
        return platform::installedAudioSystem()->findNextComponent(inComponent, *inDesc);
    } catch (...) {
        return nullptr;
    }
}

OSStatus AudioComponentInstanceNew(AudioComponent inComponent,
                                   AudioComponentInstance* outInstance) noexcept {
    if (inComponent == nullptr || outInstance == nullptr) {
        return kAudio_ParamError;
    }
    *outInstance = nullptr;
    try {
        return platform::installedAudioSystem()->newInstance(inComponent, *outInstance);
    } catch (...) {
        return kAudioUnitErr_FailedInitialization;
    }
}

OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance) noexcept {
    return inInstance == nullptr ? kAudio_ParamError : inInstance->dispose();
}

OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, const void* inData,
                              UInt32 inDataSize) noexcept {
    if (inUnit == nullptr) {
        return kAudio_ParamError;
    }
    return inUnit->setProperty(inID, inScope, inElement, inData, inDataSize);
}

OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                              AudioUnitElement inElement, void* outData,
                              UInt32* ioDataSize) noexcept {
    if (inUnit == nullptr || outData == nullptr || ioDataSize == nullptr) {
        return kAudio_ParamError;
    }
    return inUnit->getProperty(inID, inScope, inElement, outData, *ioDataSize);
}

OSStatus AudioUnitInitialize(AudioUnit inUnit) noexcept {
    return inUnit == nullptr ? kAudio_ParamError : inUnit->initialize();
}

OSStatus AudioUnitUninitialize(AudioUnit inUnit) noexcept {
    return inUnit == nullptr ? kAudio_ParamError : inUnit->uninitialize();
}

OSStatus AudioOutputUnitStart(AudioUnit inUnit) noexcept {
    return inUnit == nullptr ? kAudio_ParamError : inUnit->start();
}

OSStatus AudioOutputUnitStop(AudioUnit inUnit) noexcept {
    return inUnit == nullptr ? kAudio_ParamError : inUnit->stop();
}

OSStatus AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags* ioActionFlags,
                         const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber,
                         UInt32 inNumberFrames, AudioBufferList* ioData) noexcept {
    if (inUnit == nullptr || inTimeStamp == nullptr || ioData == nullptr) {
        return kAudio_ParamError;
    }
    return inUnit->render(ioActionFlags, inTimeStamp, inOutputBusNumber, inNumberFrames, ioData);
}

}  // extern "C"
