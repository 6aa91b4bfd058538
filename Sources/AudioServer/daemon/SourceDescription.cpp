// Device facts from the plug-in's properties; module arguments for the sound server.
#include "SourceDescription.h"

#include <algorithm>
#include <cmath>

#include "platform/AudioObjectProperties.h"

namespace audioserver::daemon {
namespace {

/// Characters the server's argument parser would interpret inside a quoted value.
bool quotable(const std::string& text) {
    return std::none_of(text.begin(), text.end(), [](char c) {
        return c == '"' || c == '\'' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
    });
}

bool isForwardableFormat(const AudioStreamBasicDescription& format) {
    const AudioFormatFlags needed = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
    return format.mFormatID == kAudioFormatLinearPCM && (format.mFormatFlags & needed) == needed &&
           format.mBitsPerChannel == 32 && format.mChannelsPerFrame > 0 &&
           format.mBytesPerFrame == 4 * format.mChannelsPerFrame && format.mSampleRate > 0.0;
}

}  // namespace

std::expected<SourceDescription, std::string> describeDevice(const PropertyReader& reader,
                                                             const HostedDevice& device) {
    const auto uid = reader.string(device.id(), propertyAddress(kAudioDevicePropertyDeviceUID));
    const auto name = reader.string(device.id(), propertyAddress(kAudioObjectPropertyName));
    if (!uid || !name || uid->empty()) {
        return std::unexpected("the device's UID or name cannot be read");
    }
    if (device.inputStream() == kAudioObjectUnknown) {
        return std::unexpected("the device has no input stream");
    }
    const auto format = reader.streamFormat(device.inputStream(),
                                            propertyAddress(kAudioStreamPropertyVirtualFormat));
    if (!format || !isForwardableFormat(*format)) {
        return std::unexpected("the device's input format is not packed 32-bit float");
    }
    if (format->mChannelsPerFrame != 1) {
        return std::unexpected("only mono devices are published (the IO runner reads one channel)");
    }
    return SourceDescription{*uid, *name, format->mSampleRate, format->mChannelsPerFrame};
}

std::expected<std::string, std::string> pipeSourceArguments(const SourceDescription& source,
                                                            const std::filesystem::path& fifo) {
    const std::string path = fifo.string();
    if (!quotable(source.uid) || source.uid.find(' ') != std::string::npos || source.uid.empty()) {
        return std::unexpected("device UID '" + source.uid + "' cannot name a source");
    }
    if (!quotable(source.name) || !quotable(path)) {
        return std::unexpected("device name or FIFO path holds quote or control characters");
    }
    const double rate = std::round(source.sampleRate);
    if (!(rate >= 1.0) || rate != source.sampleRate || source.channels == 0) {
        return std::unexpected("the device's rate or channel count cannot be published");
    }
    return "source_name=" + source.uid + " file=\"" + path +
           "\" format=float32le rate=" + std::to_string(static_cast<long>(rate)) +
           " channels=" + std::to_string(source.channels) +
           " source_properties='device.description=\"" + source.name + "\"'";
}

}  // namespace audioserver::daemon
