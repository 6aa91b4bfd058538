// Writes the valid seeds of every fuzz target with the project's own encoders:
//   corvessa_fuzz_seed_writer <corpus directory>
// Each target's seeds go to <corpus directory>/<target>/ under fixed names, so rerunning it
// after a format change rewrites the committed corpus in place.
#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "AmberlinAudioCore/AppSettings.h"
#include "AmberlinAudioCore/CallModels.h"
#include "AmberlinAudioCore/Diagnostics.h"
#include "FuzzSupport.h"
#include "PropertyScript.h"
#include "RingScript.h"
#include "platform/AudioFile.h"
#include "platform/AudioObjectProperties.h"

namespace {

namespace fs = std::filesystem;
using namespace amberlin;
using namespace corvessa::fuzz;

fs::path gRoot;

void seed(const char* target, const std::string& name, std::span<const std::uint8_t> bytes) {
    fs::create_directories(gRoot / target);
    writeFile(gRoot / target / name, bytes);
}

void seedText(const char* target, const std::string& name, const std::string& text) {
    seed(target, name, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

AppSettings changedSettings() {
    return AppSettings(true, "alsa_input.usb-mic", SuppressionMode::max, true, true,
                       NoiseProcessorType::rnnoise, true, false, false, false,
                       VoiceIsolationLevel::balanced, true, 3);
}

void settingsSeeds() {
    seedText("settings_record", "defaults.json", nlohmann::json(AppSettings{}).dump());
    seedText("settings_record", "changed.json", nlohmann::json(changedSettings()).dump());
}

void payloadSeeds() {
    CallSession session;
    session.id = *Uuid::fromString("8D1B6C1E-2F0A-4C57-9A51-3E2B8C7D9F10");
    session.title = "Weekly sync / planning";
    session.startedAt = *dateFromIso8601("2026-03-01T09:30:00Z");
    seedText("call_payload", "recording.json", encodeCallPayload(session));
    session.endedAt = *dateFromIso8601("2026-03-01T10:02:59Z");
    session.status = CallSessionStatus::completed;
    session.appName = "Meet";
    session.localMicAudioPath = "/data/Calls/8D1B/local-mic.wav";
    session.remoteSystemAudioPath = "/data/Calls/8D1B/remote-system.wav";
    session.mixedPreviewAudioPath = "/data/Calls/8D1B/mixed-preview.wav";
    session.remoteAudioMissing = true;
    seedText("call_payload", "completed.json", encodeCallPayload(session));
}

BridgeHealth sampleHealth() {
    return BridgeHealth{3, 28, 17, 5, true, 1};
}

void diagnosticsSeeds() {
    seedText("diagnostics_snapshot", "empty.json", DiagnosticsSnapshot{}.jsonData());
    const DiagnosticsSnapshot full("0.1.0 (1)", "Corvessa Mic", changedSettings(),
                                   {"USB Mic [alsa_input.usb-mic]", "Built-in [builtin]"},
                                   sampleHealth(), ProcessorMetrics{0.05f, 0.0125f, true});
    seedText("diagnostics_snapshot", "full.json", full.jsonData());
    seedText("bridge_health", "zero.json", nlohmann::json(BridgeHealth{}).dump());
    seedText("bridge_health", "running.json", nlohmann::json(sampleHealth()).dump());
}

void propertySeeds() {
    constexpr AudioObjectPropertySelector kSelectors[] = {kAudioObjectPropertyClass,
                                                          kAudioObjectPropertyName,
                                                          kAudioObjectPropertyOwnedObjects,
                                                          kAudioPlugInPropertyDeviceList,
                                                          kAudioDevicePropertyDeviceUID,
                                                          kAudioDevicePropertyStreams,
                                                          kAudioDevicePropertyStreamConfiguration,
                                                          kAudioStreamPropertyVirtualFormat};
    std::vector<std::uint8_t> all;
    for (std::uint32_t object = 1; object <= 3; ++object) {
        for (const auto selector : kSelectors) {
            PropertyOp op;
            op.call = PropertyCall::getData;
            op.object = object;
            op.selector = selector;
            op.scope = kAudioObjectPropertyScopeInput;
            op.dataSize = 64;
            op.append(all);
        }
    }
    seed("plugin_properties", "walk.bin", all);
    PropertyOp translate;
    translate.call = PropertyCall::getData;
    translate.flags = kStringQualifier;
    translate.object = 1;
    translate.selector = kAudioPlugInPropertyTranslateUIDToDevice;
    translate.scope = kAudioObjectPropertyScopeGlobal;
    const std::string uid = "com.halvern.corvessa.mic.device";
    translate.qualifier.assign(uid.begin(), uid.end());
    translate.dataSize = 4;
    std::vector<std::uint8_t> bytes;
    translate.append(bytes);
    PropertyOp owned = translate;  // owned objects filtered by a class list
    owned.flags = 0;
    owned.selector = kAudioObjectPropertyOwnedObjects;
    owned.qualifier = {'a', 'd', 'e', 'v', 'm', 'r', 't', 's'};
    owned.append(bytes);
    seed("plugin_properties", "qualifiers.bin", bytes);
}

void ringSeeds() {
    // Three writes and reads with no interference.
    std::vector<std::uint8_t> calm = {3, 15, 0, 8};
    for (RingOp op : {RingOp::write, RingOp::write, RingOp::writeLatest, RingOp::read,
                      RingOp::readLatest, RingOp::mismatch, RingOp::read, RingOp::clear}) {
        calm.push_back(ringOpByte(op, 1));
    }
    seed("shared_ring", "calm.bin", calm);
    // A full ring read latest while the other side moves both indices out of range.
    std::vector<std::uint8_t> indices = {1, 3, kHeaderOnly, 6};
    for (RingOp op : {RingOp::writeLatest, RingOp::writeLatest, RingOp::writeLatest,
                      RingOp::readLatest, RingOp::write, RingOp::read}) {
        indices.push_back(ringOpByte(op, 2));
    }
    for (const std::uint32_t word : {3u, 0xFFFFFFF0u, 4u, 7u, 3u, 1u}) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&word);
        indices.insert(indices.end(), bytes, bytes + 4);
    }
    seed("shared_ring", "indices.bin", indices);
}

void wavSeed(const std::string& name, const platform::AudioFileSettings& settings,
             std::uint32_t frames) {
    const fs::path path = gRoot / "preview_wav" / name;
    fs::create_directories(path.parent_path());
    const auto writer = platform::AudioFile::forWriting(path, settings);
    const auto block = platform::PCMBuffer::make(writer->processingFormat(), std::max(frames, 1u));
    for (std::uint32_t c = 0; c < settings.channelCount; ++c) {
        for (std::uint32_t i = 0; i < frames; ++i) {
            block->floatChannelData()[c][i] = static_cast<float>(i % 20) / 20.0f - 0.5f;
        }
    }
    block->setFrameLength(frames);
    writer->write(*block);
}

void wavSeeds() {
    wavSeed("mono16.wav", {}, 200);
    platform::AudioFileSettings stereoFloat;
    stereoFloat.sampleRate = 48000.0;
    stereoFloat.channelCount = 2;
    stereoFloat.bitDepth = 32;
    stereoFloat.isFloat = true;
    wavSeed("stereo_float.wav", stereoFloat, 100);
    wavSeed("header_only.wav", {}, 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    gRoot = argv[1];
    settingsSeeds();
    payloadSeeds();
    diagnosticsSeeds();
    propertySeeds();
    ringSeeds();
    wavSeeds();
    return 0;
}
