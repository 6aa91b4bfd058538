// Tests of the diagnostics snapshot's JSON form and of the version lookup through the enclosing
// bundle's property list.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "AmberlinAudioCore/AppVersion.h"
#include "AmberlinAudioCore/Diagnostics.h"
#include "platform/testing/TemporaryFolder.h"

namespace {

using amberlin::AppSettings;
using amberlin::AppVersion;
using amberlin::BridgeHealth;
using amberlin::DiagnosticsSnapshot;
using amberlin::ProcessorMetrics;
using amberlin::SuppressionMode;
using amberlin::VoiceIsolationLevel;
namespace fs = std::filesystem;

// A snapshot with every field away from its default.
DiagnosticsSnapshot populatedSnapshot() {
    AppSettings settings;
    settings.processingEnabled = true;
    settings.selectedInputDeviceUID = "usb-1";
    settings.suppressionMode = SuppressionMode::max;
    settings.voiceIsolation = VoiceIsolationLevel::strong;
    settings.acceptedTermsVersion = 2;
    return DiagnosticsSnapshot(
        "1.4.2", "Corvessa Mic", settings,
        {"USB Mic [usb-1]", "Corvessa Mic [com.halvern.corvessa.mic.device]"},
        BridgeHealth{3, 29, 2, 7, true, 1}, ProcessorMetrics{0.25f, 0.0125f, true});
}

// An empty system with default settings: no devices, no selected device, a fresh ring.
DiagnosticsSnapshot emptySnapshot() {
    return DiagnosticsSnapshot("dev", "Corvessa Mic", AppSettings(), {},
                               BridgeHealth{0, 32, 0, 0, false, 0}, ProcessorMetrics());
}

// Fails the test unless the keys of every object appear in ascending order in `text`.
void expectKeysSortedAtEveryLevel(const nlohmann::ordered_json& value, const std::string& where) {
    if (value.is_object()) {
        std::string previous;
        for (const auto& [key, member] : value.items()) {
            EXPECT_LT(previous, key) << "in " << where;
            previous = key;
            expectKeysSortedAtEveryLevel(member, where + "." + key);
        }
    } else if (value.is_array()) {
        for (const auto& element : value) {
            expectKeysSortedAtEveryLevel(element, where + "[]");
        }
    }
}

TEST(DiagnosticsSnapshotTest, PrettyPrintsEveryKeySortedWithoutTrailingNewline) {
    // The whole text of a populated report, as clients parse and people read it.
    const std::string expected = R"({
  "appVersion": "1.4.2",
  "bridge": {
    "availableReadFrames": 3,
    "availableWriteFrames": 29,
    "consumerRunningCount": 1,
    "overrunCount": 7,
    "producerAttached": true,
    "underrunCount": 2
  },
  "inputDevices": [
    "USB Mic [usb-1]",
    "Corvessa Mic [com.halvern.corvessa.mic.device]"
  ],
  "processor": {
    "inputRMS": 0.25,
    "outputRMS": 0.0125,
    "voiceActive": true
  },
  "settings": {
    "acceptedTermsVersion": 2,
    "automaticCallRecordingEnabled": false,
    "bypassEnabled": false,
    "captureSystemAudioEnabled": true,
    "echoCancellationEnabled": true,
    "launchAtLogin": false,
    "localRecordingEnabled": true,
    "processingEnabled": true,
    "processorType": "rnnoise",
    "recordingConsentAcknowledged": false,
    "selectedInputDeviceUID": "usb-1",
    "suppressionMode": "max",
    "voiceIsolation": "strong"
  },
  "virtualDeviceName": "Corvessa Mic"
})";
    EXPECT_EQ(populatedSnapshot().jsonData(), expected);
}

TEST(DiagnosticsSnapshotTest, ReencodesByteIdenticallyAndDecodesToAnEqualSnapshot) {
    // Sorted keys make the text a function of the value alone: a second encoding, and the
    // encoding of the decoded copy, give the same bytes.
    for (const DiagnosticsSnapshot& snapshot : {populatedSnapshot(), emptySnapshot()}) {
        SCOPED_TRACE(snapshot.appVersion);
        const std::string first = snapshot.jsonData();
        EXPECT_EQ(snapshot.jsonData(), first);
        expectKeysSortedAtEveryLevel(nlohmann::ordered_json::parse(first), "snapshot");
        const DiagnosticsSnapshot decoded = DiagnosticsSnapshot::fromJSONData(first);
        EXPECT_EQ(decoded, snapshot);
        EXPECT_EQ(decoded.jsonData(), first);
    }
}

TEST(DiagnosticsSnapshotTest, DecodingRequiresAllSixKeysWithTheirTypes) {
    const auto complete = nlohmann::json::parse(populatedSnapshot().jsonData());
    for (const auto& [key, value] : complete.items()) {
        SCOPED_TRACE(key);
        auto missing = complete;
        missing.erase(key);
        EXPECT_THROW(DiagnosticsSnapshot::fromJSONData(missing.dump()), nlohmann::json::exception);
    }
    auto wrongType = complete;
    wrongType["inputDevices"] = {"USB Mic [usb-1]", 7};
    EXPECT_THROW(DiagnosticsSnapshot::fromJSONData(wrongType.dump()), nlohmann::json::exception);
    wrongType = complete;
    wrongType["appVersion"] = 1;
    EXPECT_THROW(DiagnosticsSnapshot::fromJSONData(wrongType.dump()), nlohmann::json::exception);
    EXPECT_THROW(DiagnosticsSnapshot::fromJSONData("{\"appVersion\": "), nlohmann::json::exception);
}

TEST(DiagnosticsSnapshotTest, LevelsBeyondSinglePrecisionDoNotDecode) {
    // They would decode as infinity, which encodes as null: a snapshot that cannot be re-read.
    auto complete = nlohmann::json::parse(populatedSnapshot().jsonData());
    complete["processor"]["inputRMS"] = 3.4028234e38;
    EXPECT_EQ(DiagnosticsSnapshot::fromJSONData(complete.dump()).processor.inputRMS,
              std::numeric_limits<float>::max());
    for (const double level : {1e300, -3.5e38}) {
        complete["processor"]["outputRMS"] = level;
        EXPECT_THROW(DiagnosticsSnapshot::fromJSONData(complete.dump()), nlohmann::json::exception)
            << level;
    }
}

TEST(DiagnosticsSnapshotTest, DeviceNameWithInvalidUtf8StillEncodes) {
    // A name with a stray byte from the audio system is repaired, not fatal for the report.
    DiagnosticsSnapshot snapshot = emptySnapshot();
    snapshot.inputDevices = {std::string("Mic \xff [a]")};
    std::string json;
    ASSERT_NO_THROW(json = snapshot.jsonData());
    EXPECT_EQ(DiagnosticsSnapshot::fromJSONData(json).inputDevices.at(0), "Mic \xEF\xBF\xBD [a]");
}

// A private directory tree for bundles and executables, removed after the test.
class AppVersionTest : public ::testing::Test {
  protected:
    void SetUp() override { root_ = folder_.path(); }

    // Creates an (empty) executable file at `relative` and returns its path.
    fs::path makeExecutable(const fs::path& relative) {
        const fs::path path = root_ / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "#!/bin/sh\n";
        return path;
    }
    // Writes a property list holding `dict` at `relative`, in XML or binary form.
    void writePropertyList(const fs::path& relative, plist_t dict, bool binary) {
        char* data = nullptr;
        uint32_t length = 0;
        binary ? plist_to_bin(dict, &data, &length) : plist_to_xml(dict, &data, &length);
        plist_free(dict);
        std::ofstream(root_ / relative, std::ios::binary).write(data, length);
        std::free(data);
    }
    static plist_t versionDictionary(plist_t value) {
        plist_t dict = plist_new_dict();
        plist_dict_set_item(dict, "CFBundleShortVersionString", value);
        return dict;
    }

    corvessa::testing::TemporaryFolder folder_{"app-version-test"};
    fs::path root_;
};

TEST_F(AppVersionTest, ExecutableInsideABundleReportsTheBundleVersion) {
    // Contents/Helpers/CorvessaHelper finds Contents/Info.plist, in either encoding, also when
    // started through a link from outside the bundle.
    const fs::path executable = makeExecutable("Corvessa.app/Contents/Helpers/CorvessaHelper");
    fs::create_symlink(executable, root_ / "linked-helper");
    for (const bool binary : {false, true}) {
        SCOPED_TRACE(binary ? "binary" : "xml");
        writePropertyList("Corvessa.app/Contents/Info.plist",
                          versionDictionary(plist_new_string(binary ? "2.0.1" : "2.0.0")), binary);
        const std::string expected = binary ? "2.0.1" : "2.0.0";
        EXPECT_EQ(AppVersion::resolve(executable), expected);
        EXPECT_EQ(AppVersion::resolve(root_ / "linked-helper"), expected);
    }
}

TEST_F(AppVersionTest, AnythingElseReportsDev) {
    // Outside a bundle, with an unusable property list, or with an unusable value the lookup
    // falls through to "dev", never to an empty text.
    const fs::path loose = makeExecutable("bin/CorvessaHelper");
    EXPECT_EQ(AppVersion::resolve(loose), "dev");
    EXPECT_EQ(AppVersion::resolve(root_ / "missing/bin/CorvessaHelper"), "dev");
    EXPECT_EQ(AppVersion::resolve(""), "dev");

    const fs::path bundled = makeExecutable("B.app/Contents/MacOS/CorvessaHelper");
    const auto expectDevWith = [&](plist_t dict, const char* what) {
        SCOPED_TRACE(what);
        writePropertyList("B.app/Contents/Info.plist", dict, false);
        EXPECT_EQ(AppVersion::resolve(bundled), "dev");
    };
    expectDevWith(versionDictionary(plist_new_uint(2)), "number");
    expectDevWith(versionDictionary(plist_new_string("")), "empty string");
    expectDevWith(plist_new_dict(), "no key");
    plist_t array = plist_new_array();
    plist_array_append_item(array, plist_new_string("1.0"));
    expectDevWith(array, "array root");
    std::ofstream(root_ / "B.app/Contents/Info.plist") << "<plist><dict><key>";
    EXPECT_EQ(AppVersion::resolve(bundled), "dev");
}

}  // namespace
