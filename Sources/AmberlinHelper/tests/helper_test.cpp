// Tests of the helper's mode choice, its report text and its diagnostics output, run in process
// against a simulated audio system.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "AmberlinAudioCore/Diagnostics.h"
#include "AmberlinAudioCore/VoiceChain.h"
#include "AmberlinHelper/HelperMode.h"
#include "HelperFixture.h"

namespace {

using amberlin::AppSettings;
using amberlin::BridgeHealth;
using amberlin::DiagnosticsSnapshot;
using amberlin::ProcessorMetrics;
using amberlin::SuppressionMode;
using amberlin::helper::HelperMode;
using amberlin::helper::helperMode;
using corvessa::testing::HelperFixture;
using corvessa::testing::linesOf;
using Lines = std::vector<std::string>;

constexpr const char* kVirtualUID = "com.halvern.corvessa.mic.device";

// The engine line names whichever engine this build's processor has (neural or spectral).
std::string engineLine() {
    return "Engine: " + amberlin::NoiseProcessorFactory::make(AppSettings())->engineName();
}

// The report's header lines for a selected input line and a suppression name.
Lines header(const std::string& selected, const std::string& suppression) {
    return {"CorvessaHelper 9.8.7",
            selected,
            "Suppression: " + suppression,
            "Processor: RNNoise",
            engineLine(),
            "",
            "Input devices detected by CoreAudio:"};
}

// `lines` followed by `more`.
Lines operator+(Lines lines, const Lines& more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

const Lines kNotFound{
    "",
    "Corvessa Mic virtual device: NOT FOUND.",
    "  Install the driver:  ./Scripts/install-hal-plugin.sh",
    "  Then re-run this command to confirm it appears.",
    "  If it still does not appear after install, the ad-hoc signature was",
    "  likely rejected by coreaudiod \u2014 sign with a Developer ID (see README).",
};
const Lines kDetected{"", "Corvessa Mic virtual device: DETECTED. Select it in your meeting app."};
const Lines kFooter{"", "Run with --run to feed the Corvessa Mic shared audio ring.",
                    "Run with --diagnostics for JSON health output."};

// Report and diagnostics runs over a private world.
class HelperOutputTest : public HelperFixture {};

TEST(HelperModeTest, OnlyExactFlagsCountAndDiagnosticsWins) {
    const std::vector<std::pair<Lines, HelperMode>> cases{
        {{}, HelperMode::report},
        {{"--run"}, HelperMode::run},
        {{"--diagnostics"}, HelperMode::diagnostics},
        {{"--run", "--diagnostics"}, HelperMode::diagnostics},
        {{"--diagnostics", "--run"}, HelperMode::diagnostics},
        {{"extra", "--run", "--run"}, HelperMode::run},
        {{"--RUN"}, HelperMode::report},
        {{"-run"}, HelperMode::report},
        {{"--run=1"}, HelperMode::report},
        {{"--Diagnostics", "-diagnostics", "--diagnostics=yes"}, HelperMode::report},
    };
    for (const auto& [arguments, expected] : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        EXPECT_EQ(helperMode(arguments), expected);
    }
}

TEST_F(HelperOutputTest, ReportWithNoDevices) {
    const auto result = run({});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(linesOf(result.out),
              (header("Selected input: system default unavailable", "Balanced") +
               Lines{"  (none)"} + kNotFound + kFooter));
    EXPECT_EQ(result.out.back(), '\n');
}

TEST_F(HelperOutputTest, ReportMarksThePresentVirtualDeviceAndNamesTheStoredInput) {
    // Default input first, then by name; the stored device is the selected input; the marker
    // follows the UID, not the name.
    addDevice(10, "builtin-mic", "Built-in Microphone");
    addDevice(20, "usb-2", "USB Headset");
    addDevice(100, kVirtualUID, "Corvessa Mic");
    addDevice(30, "fake", "Corvessa Mic");
    system_->setDefaultInputDevice(10);
    AppSettings settings;
    settings.selectedInputDeviceUID = "usb-2";
    settings.suppressionMode = SuppressionMode::max;
    storeSettings(settings);

    const auto result = run({"--verbose"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(linesOf(result.out),
              (header("Selected input: USB Headset", "Max") +
               Lines{"  - Built-in Microphone [builtin-mic]",
                     "  - Corvessa Mic [com.halvern.corvessa.mic.device] <- Corvessa Mic",
                     "  - Corvessa Mic [fake]", "  - USB Headset [usb-2]"} +
               kDetected + kFooter));
}

TEST_F(HelperOutputTest, ReportWithoutTheVirtualDeviceGivesInstallHints) {
    // A stored device that is gone falls back to the default input.
    addDevice(10, "builtin-mic", "Built-in Microphone");
    addDevice(20, "usb-2", "USB Headset");
    system_->setDefaultInputDevice(20);
    AppSettings settings;
    settings.selectedInputDeviceUID = "unplugged";
    settings.suppressionMode = SuppressionMode::light;
    storeSettings(settings);

    const auto result = run({});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(linesOf(result.out),
              (header("Selected input: USB Headset", "Light") +
               Lines{"  - USB Headset [usb-2]", "  - Built-in Microphone [builtin-mic]"} +
               kNotFound + kFooter));
}

TEST_F(HelperOutputTest, ReportNamesTheVirtualDeviceWhenItIsTheSystemDefault) {
    // With nothing stored the report's resolution takes the default input, virtual or not.
    addDevice(20, "usb-2", "USB Headset");
    addDevice(10, "builtin-mic", "Built-in Microphone");
    addDevice(100, kVirtualUID, "Corvessa Mic");
    system_->setDefaultInputDevice(100);

    const auto result = run({});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(linesOf(result.out),
              (header("Selected input: Corvessa Mic", "Balanced") +
               Lines{"  - Corvessa Mic [com.halvern.corvessa.mic.device] <- Corvessa Mic",
                     "  - Built-in Microphone [builtin-mic]", "  - USB Headset [usb-2]"} +
               kDetected + kFooter));
}

TEST_F(HelperOutputTest, DiagnosticsPrintsOneSnapshotAndExactlyOneNewline) {
    // Both flags give diagnostics; the JSON describes the settings, every device (the virtual
    // one without marker) and the freshly created ring, and nothing else is printed.
    addDevice(10, "builtin-mic", "Built-in Microphone");
    addDevice(100, kVirtualUID, "Corvessa Mic");
    system_->setDefaultInputDevice(10);
    AppSettings settings;
    settings.processingEnabled = true;
    settings.suppressionMode = SuppressionMode::max;
    storeSettings(settings);

    const auto result = run({"--run", "--diagnostics"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    ASSERT_GE(result.out.size(), 3u);
    EXPECT_EQ(result.out.substr(result.out.size() - 2), "}\n");
    const DiagnosticsSnapshot expected(
        "9.8.7", "Corvessa Mic", settings,
        {"Built-in Microphone [builtin-mic]", "Corvessa Mic [com.halvern.corvessa.mic.device]"},
        BridgeHealth{0, 32, 0, 0, false, 0}, ProcessorMetrics());
    EXPECT_EQ(result.out, expected.jsonData() + "\n");
    EXPECT_EQ(DiagnosticsSnapshot::fromJSONData(result.out), expected);
}

TEST_F(HelperOutputTest, DiagnosticsOnAnEmptySystemListsNoDevices) {
    const auto result = run({"--diagnostics"});
    ASSERT_EQ(result.status, 0);
    const auto json = nlohmann::json::parse(result.out);
    EXPECT_EQ(json.at("inputDevices"), nlohmann::json::array());
    EXPECT_FALSE(json.at("settings").contains("selectedInputDeviceUID"));
}

TEST_F(HelperOutputTest, DiagnosticsWithoutASharedRingFailsWithAMessage) {
    // A ring that cannot be opened prints no partial JSON and ends with a failure status.
    environment_.ringName = "/corvessa/not-a-valid-name";
    const auto result = run({"--diagnostics"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "CorvessaHelper: could not open the shared audio ring of Corvessa Mic.\n");
}

}  // namespace
