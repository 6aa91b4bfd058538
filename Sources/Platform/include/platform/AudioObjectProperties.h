// Property selectors of audio objects: the plug-in object, devices and streams.
//
// Each selector is the platform's four-character code; the plug-in answers the ones it lists in
// its property table and the host reads them by these names.
#ifndef CORVESSA_PLATFORM_AUDIO_OBJECT_PROPERTIES_H
#define CORVESSA_PLATFORM_AUDIO_OBJECT_PROPERTIES_H

#include "platform/CoreAudioTypes.h"

// Every object.
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyBaseClass =
    platform::fourCC("bcls");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyClass = platform::fourCC("clas");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyOwner = platform::fourCC("stdv");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyName = platform::fourCC("lnam");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyManufacturer =
    platform::fourCC("lmak");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyModelName =
    platform::fourCC("lmod");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyElementName =
    platform::fourCC("lchn");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyElementCategoryName =
    platform::fourCC("lccn");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyElementNumberName =
    platform::fourCC("lcnn");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyOwnedObjects =
    platform::fourCC("ownd");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyCustomPropertyInfoList =
    platform::fourCC("cust");
inline constexpr AudioObjectPropertySelector kAudioObjectPropertyControlList =
    platform::fourCC("ctrl");

// The plug-in object.
inline constexpr AudioObjectPropertySelector kAudioPlugInPropertyDeviceList =
    platform::fourCC("dev#");
inline constexpr AudioObjectPropertySelector kAudioPlugInPropertyBoxList = platform::fourCC("box#");
inline constexpr AudioObjectPropertySelector kAudioPlugInPropertyClockDeviceList =
    platform::fourCC("clk#");
inline constexpr AudioObjectPropertySelector kAudioPlugInPropertyTranslateUIDToDevice =
    platform::fourCC("uidd");
inline constexpr AudioObjectPropertySelector kAudioPlugInPropertyBundleID =
    platform::fourCC("piid");
inline constexpr AudioObjectPropertySelector kAudioPlugInPropertyResourceBundle =
    platform::fourCC("rsrc");

// Devices.
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID =
    platform::fourCC("uid ");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyModelUID =
    platform::fourCC("muid");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyTransportType =
    platform::fourCC("tran");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyRelatedDevices =
    platform::fourCC("akin");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyClockDomain =
    platform::fourCC("clkd");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsAlive =
    platform::fourCC("livn");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceIsRunning =
    platform::fourCC("goin");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceCanBeDefaultDevice =
    platform::fourCC("dflt");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceCanBeDefaultSystemDevice =
    platform::fourCC("sflt");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyLatency = platform::fourCC("ltnc");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertySafetyOffset =
    platform::fourCC("saft");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyStreams = platform::fourCC("stm#");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyNominalSampleRate =
    platform::fourCC("nsrt");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyAvailableNominalSampleRates =
    platform::fourCC("nsr#");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyActualSampleRate =
    platform::fourCC("asrt");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyBufferFrameSize =
    platform::fourCC("fsiz");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyBufferFrameSizeRange =
    platform::fourCC("fsz#");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyUsesVariableBufferFrameSizes =
    platform::fourCC("vfsz");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyZeroTimeStampPeriod =
    platform::fourCC("ring");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyIsHidden =
    platform::fourCC("hidn");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyHogMode = platform::fourCC("oink");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyProcessMute =
    platform::fourCC("appm");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyPreferredChannelsForStereo =
    platform::fourCC("dch2");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyStreamConfiguration =
    platform::fourCC("slay");

// Streams.
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyLatency = platform::fourCC("ltnc");
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyIsActive =
    platform::fourCC("sact");
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyDirection =
    platform::fourCC("sdir");
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyTerminalType =
    platform::fourCC("term");
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyStartingChannel =
    platform::fourCC("schn");
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyVirtualFormat =
    platform::fourCC("sfmt");
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyPhysicalFormat =
    platform::fourCC("pft ");
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyAvailableVirtualFormats =
    platform::fourCC("sfma");
inline constexpr AudioObjectPropertySelector kAudioStreamPropertyAvailablePhysicalFormats =
    platform::fourCC("pfta");

#endif
