// Report mode: every text is the program's own, character for character.
#include "ReportMode.h"

#include <algorithm>

#include "AmberlinAudioCore/SuppressionMode.h"
#include "AmberlinAudioCore/VoiceChain.h"

namespace amberlin::helper {
namespace {

bool isVirtual(const AudioInputDevice& device) {
    return device.uid == DeviceManager::virtualDeviceUID;
}

void writeHeader(std::ostream& out, const HelperContext& context, std::string_view version,
                 std::string_view engineName) {
    out << "CorvessaHelper " << version << '\n';
    if (context.resolvedInput) {
        out << "Selected input: " << context.resolvedInput->name << '\n';
    } else {
        out << "Selected input: system default unavailable\n";
    }
    out << "Suppression: " << displayName(context.settings.suppressionMode) << '\n';
    out << "Processor: " << displayName(NoiseProcessorType::rnnoise) << '\n';
    out << "Engine: " << engineName << '\n';
}

void writeDeviceList(std::ostream& out, const std::vector<AudioInputDevice>& devices) {
    out << "Input devices detected by CoreAudio:\n";
    if (devices.empty()) {
        out << "  (none)\n";
    }
    for (const AudioInputDevice& device : devices) {
        out << "  - " << device.name << " [" << device.uid << "]"
            << (isVirtual(device) ? " <- Corvessa Mic" : "") << '\n';
    }
}

void writeVirtualDeviceStatus(std::ostream& out, const std::vector<AudioInputDevice>& devices) {
    if (std::any_of(devices.begin(), devices.end(), isVirtual)) {
        out << "Corvessa Mic virtual device: DETECTED. Select it in your meeting app.\n";
        return;
    }
    out << "Corvessa Mic virtual device: NOT FOUND.\n"
        << "  Install the driver:  ./Scripts/install-hal-plugin.sh\n"
        << "  Then re-run this command to confirm it appears.\n"
        << "  If it still does not appear after install, the ad-hoc signature was\n"
        << "  likely rejected by coreaudiod \u2014 sign with a Developer ID (see README).\n";
}

}  // namespace

void writeReport(std::ostream& out, const HelperContext& context, std::string_view version,
                 std::string_view engineName) {
    writeHeader(out, context, version, engineName);
    out << '\n';
    writeDeviceList(out, context.devices);
    out << '\n';
    writeVirtualDeviceStatus(out, context.devices);
    out << '\n'
        << "Run with --run to feed the Corvessa Mic shared audio ring.\n"
        << "Run with --diagnostics for JSON health output.\n";
}

int runReportMode(const HelperContext& context, const HelperEnvironment& environment,
                  std::ostream& out) {
    const auto processor = NoiseProcessorFactory::make(context.settings);
    prepareIgnoringErrors(*processor);
    writeReport(out, context, environment.version, processor->engineName());
    return 0;
}

}  // namespace amberlin::helper
