// Tests of the call record's stored forms, title rules and the call store's folder layout.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "AmberlinAudioCore/CallDateFormatter.h"
#include "AmberlinAudioCore/CallModels.h"

#include "PrivateDataEnvironment.h"

namespace {

using namespace amberlin;
using nlohmann::json;
namespace fs = std::filesystem;
using std::chrono::seconds;

// 2026-01-05 at hh:mm in the process's local time zone.
CallDate localDate(int hour, int minute) {
    std::tm parts{};
    parts.tm_year = 2026 - 1900;
    parts.tm_mon = 0;
    parts.tm_mday = 5;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&parts));
}

// A session with every field set, its dates on whole seconds.
CallSession fullSession() {
    CallSession session;
    session.id = *Uuid::fromString("6B1F1C2E-93A4-4F0D-8E55-0A1B2C3D4E5F");
    session.title = "Weekly sync";
    session.startedAt = CallDate(seconds(1767621780));
    session.endedAt = CallDate(seconds(1767625380));
    session.status = CallSessionStatus::completed;
    session.appName = "Chat";
    session.localMicAudioPath = "/data/Calls/A/local-mic.wav";
    session.remoteSystemAudioPath = "/data/Calls/A/remote-system.wav";
    session.mixedPreviewAudioPath = "/data/Calls/A/mixed-preview.wav";
    session.remoteAudioMissing = true;
    return session;
}

// The minimal payload: the four required keys only.
json minimalPayload() {
    return json{{"id", "6B1F1C2E-93A4-4F0D-8E55-0A1B2C3D4E5F"},
                {"title", "T"},
                {"startedAt", "2026-01-05T14:03:00Z"},
                {"status", "recording"}};
}

TEST(CallEnumerationsTest, RawValuesRoundTripAndUnknownValuesAreRejected) {
    // The raw values are stored on disk, so each must map back to its case and nothing else.
    for (const CallSessionStatus status : allCases<CallSessionStatus>) {
        EXPECT_EQ(fromRawValue<CallSessionStatus>(rawValue(status)), status);
    }
    for (const AudioTrackRole role : allCases<AudioTrackRole>) {
        EXPECT_EQ(fromRawValue<AudioTrackRole>(rawValue(role)), role);
    }
    EXPECT_EQ(fromRawValue<CallSessionStatus>("Completed"), std::nullopt);
    EXPECT_EQ(fromRawValue<AudioTrackRole>("local-mic"), std::nullopt);
    EXPECT_EQ(displayName(AudioTrackRole::remoteSystem), "Call Audio");
    EXPECT_EQ(fileName(AudioTrackRole::mixedPreview), "mixed-preview.wav");
}

TEST(UuidTest, RandomUuidsAreVersionFourAndPrintInUpperCase) {
    // Two random ids differ, carry the version-4 and variant bits, and print canonically.
    const Uuid a = Uuid::random(), b = Uuid::random();
    EXPECT_NE(a, b);
    EXPECT_EQ(a.bytes[6] >> 4, 4);
    EXPECT_EQ(a.bytes[8] >> 6, 2);
    const std::string text = a.uuidString();
    EXPECT_EQ(text.size(), 36u);
    EXPECT_EQ(text.find_first_of("abcdef"), std::string::npos);
    EXPECT_EQ(Uuid::fromString(text), a);
    EXPECT_EQ(Uuid::fromString("6b1f1c2e-93a4-4f0d-8e55-0a1b2c3d4e5f")->uuidString(),
              "6B1F1C2E-93A4-4F0D-8E55-0A1B2C3D4E5F");
    EXPECT_EQ(Uuid::fromString("6B1F1C2E93A44F0D8E550A1B2C3D4E5F"), std::nullopt);
    EXPECT_EQ(Uuid::fromString("{6B1F1C2E-93A4-4F0D-8E55-0A1B2C3D4E5F}"), std::nullopt);
}

TEST(CallPayloadTest, MinimalSessionOmitsAbsentKeysButWritesTheFlag) {
    // Absent optionals are left out rather than written as null; the flag is always written.
    CallSession session = fullSession();
    session.endedAt.reset();
    session.appName.reset();
    session.localMicAudioPath.reset();
    session.remoteSystemAudioPath.reset();
    session.mixedPreviewAudioPath.reset();
    session.remoteAudioMissing = false;
    const json payload = json::parse(encodeCallPayload(session));
    for (const char* key : {"endedAt", "appName", "localMicAudioPath", "remoteSystemAudioPath",
                            "mixedPreviewAudioPath"}) {
        EXPECT_FALSE(payload.contains(key)) << key;
    }
    EXPECT_EQ(payload.at("remoteAudioMissing"), false);
    EXPECT_EQ(payload.size(), 5u);
}

TEST(CallPayloadTest, TextIsSortedPrettyAndEscapesSlashes) {
    // Keys appear in byte-wise order, one per line, and every slash of a path is escaped.
    const std::string text = encodeCallPayload(fullSession());
    const std::vector<std::string> keys{"appName",
                                        "endedAt",
                                        "id",
                                        "localMicAudioPath",
                                        "mixedPreviewAudioPath",
                                        "remoteAudioMissing",
                                        "remoteSystemAudioPath",
                                        "startedAt",
                                        "status",
                                        "title"};
    std::size_t previous = 0;
    for (const std::string& key : keys) {
        const std::size_t at = text.find("\"" + key + "\"");
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_GT(at, previous) << key;
        previous = at;
    }
    EXPECT_NE(text.find(R"("\/data\/Calls\/A\/local-mic.wav")"), std::string::npos);
    EXPECT_EQ(text.find("a/l"), std::string::npos);
    EXPECT_NE(text.find(R"("startedAt" : "2026-01-05T14:03:00Z")"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 11);
}

TEST(CallPayloadTest, FullSessionRoundTripsAndFractionsAreDropped) {
    // A session on whole seconds survives encoding; fractional seconds are truncated.
    const CallSession session = fullSession();
    EXPECT_EQ(decodeCallPayload(encodeCallPayload(session)), session);

    CallSession fractional = session;
    fractional.startedAt += std::chrono::milliseconds(900);
    EXPECT_EQ(decodeCallPayload(encodeCallPayload(fractional)).startedAt, session.startedAt);
    EXPECT_EQ(iso8601String(CallDate(std::chrono::milliseconds(-500))), "1969-12-31T23:59:59Z");
}

TEST(CallPayloadTest, OptionalKeysReadMissingOrNullAsAbsent) {
    // A payload without the flag decodes with it false; null optionals read as absent.
    json payload = minimalPayload();
    const CallSession minimal = decodeCallPayload(payload.dump());
    EXPECT_FALSE(minimal.remoteAudioMissing);
    EXPECT_EQ(minimal.endedAt, std::nullopt);
    EXPECT_EQ(minimal.status, CallSessionStatus::recording);

    payload["endedAt"] = nullptr;
    payload["appName"] = nullptr;
    payload["remoteAudioMissing"] = nullptr;
    payload["somethingNew"] = 3;
    const CallSession withNulls = decodeCallPayload(payload.dump());
    EXPECT_EQ(withNulls.appName, std::nullopt);
    EXPECT_FALSE(withNulls.remoteAudioMissing);
}

TEST(CallPayloadTest, MalformedRecordsDoNotDecode) {
    // Every required key, the exact date form, a known status and the value types are enforced.
    const auto rejects = [](const json& payload) {
        EXPECT_THROW(decodeCallPayload(payload.dump()), json::exception) << payload.dump();
    };
    for (const char* key : {"id", "title", "startedAt", "status"}) {
        json payload = minimalPayload();
        payload.erase(key);
        rejects(payload);
        payload[key] = nullptr;
        rejects(payload);
    }
    for (const char* date :
         {"2026-01-05T14:03:00.250Z", "2026-01-05T14:03:00+00:00", "2026-02-30T14:03:00Z",
          "2026-01-05 14:03:00Z", "2026-1-05T14:03:00Z", "2026-01-05T24:00:00Z"}) {
        json payload = minimalPayload();
        payload["startedAt"] = date;
        rejects(payload);
    }
    json payload = minimalPayload();
    payload["status"] = "archived";
    rejects(payload);
    payload = minimalPayload();
    payload["remoteAudioMissing"] = "yes";
    rejects(payload);
    payload = minimalPayload();
    payload["id"] = "not-a-uuid";
    rejects(payload);
    EXPECT_THROW(decodeCallPayload("{\"id\": "), json::exception);
}

TEST(CallPayloadTest, DatesOutsideTheClocksRangeDoNotDecode) {
    // Calendar-valid years beyond the nanosecond clock's span once overflowed on conversion.
    EXPECT_TRUE(dateFromIso8601("2262-04-11T23:47:16Z"));
    EXPECT_TRUE(dateFromIso8601("1677-09-21T00:12:44Z"));
    for (const char* date : {"2262-04-11T23:47:17Z", "1677-09-21T00:12:43Z", "9266-03-01T09:30:00Z",
                             "0000-01-01T00:00:00Z", "9999-12-31T23:59:59Z"}) {
        EXPECT_FALSE(dateFromIso8601(date)) << date;
        json payload = minimalPayload();
        payload["endedAt"] = date;
        EXPECT_THROW(decodeCallPayload(payload.dump()), json::exception) << date;
    }
}

TEST(CallContextTest, ValuesAreTrimmedAndBlankValuesAreAbsent) {
    // Blanks (including non-ASCII spaces and line breaks) go from both ends only.
    const CallSessionContext context("   \n\t ", " Chat ");
    EXPECT_EQ(context.title, std::nullopt);
    EXPECT_EQ(context.appName, "Chat");
    const CallSessionContext wide("\xC2\xA0Weekly  sync\xE3\x80\x80\n", std::nullopt);
    EXPECT_EQ(wide.title, "Weekly  sync");
    EXPECT_EQ(wide, CallSessionContext("Weekly  sync", ""));
    EXPECT_EQ(trimWhitespace("caf\xC3\xA9 "), "caf\xC3\xA9");
}

TEST(CallTitleTest, CleaningCollapsesWhiteSpaceAndBlankTitlesAreAbsent) {
    // Words split by any run of white space are joined by one space.
    EXPECT_EQ(cleanCallTitle("  Weekly   sync\n with\xE2\x80\x83team  "), "Weekly sync with team");
    EXPECT_EQ(cleanCallTitle(" \n\xC2\xA0 "), std::nullopt);
    EXPECT_EQ(cleanCallTitle(std::nullopt), std::nullopt);
    EXPECT_EQ(cleanCallTitle("Plan"), "Plan");
}

TEST(CallTitleTest, FallbackTitleUsesMediumDateAndShortTime) {
    // In the C locale (US English rules) the title reads as in the English example.
    EXPECT_EQ(fallbackCallTitle("Chat", localDate(14, 3)), "Chat Call Jan 5, 2026 at 2:03 PM");
    EXPECT_EQ(fallbackCallTitle(" Chat \n App ", localDate(14, 3)),
              "Chat App Call Jan 5, 2026 at 2:03 PM");
    EXPECT_EQ(fallbackCallTitle("  ", localDate(0, 7)), "Call Jan 5, 2026 at 12:07 AM");
    EXPECT_EQ(fallbackCallTitle(std::nullopt, localDate(12, 0)), "Call Jan 5, 2026 at 12:00 PM");
}

TEST(CallTitleTest, UnavailableLocaleFallsBackToC) {
    // A locale that is not installed formats like the C locale instead of failing.
    const CallDateFormatter formatter("xx_YY.UTF-8");
    EXPECT_EQ(formatter.localeName(), "C");
    EXPECT_EQ(formatter.string(localDate(9, 30)), "Jan 5, 2026 at 9:30 AM");
}

// Each layout test works in its own empty data directory.
class CallDataPathsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        base_ = PrivateDataEnvironment::root() /
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(base_);
        ::setenv("XDG_DATA_HOME", base_.c_str(), 1);
    }
    void TearDown() override {
        ::setenv("XDG_DATA_HOME", PrivateDataEnvironment::root().c_str(), 1);
    }

    fs::path base_;
};

TEST_F(CallDataPathsTest, LayoutLivesUnderTheDataDirectory) {
    // The default root is <data>/Corvessa; calls live in upper-case UUID directories.
    const CallDataPaths paths = CallDataPaths::defaultPaths();
    EXPECT_EQ(paths.rootDirectory, base_ / "Corvessa");
    EXPECT_EQ(paths.databaseURL, base_ / "Corvessa" / "Calls.sqlite");
    const Uuid id = *Uuid::fromString("6b1f1c2e-93a4-4f0d-8e55-0a1b2c3d4e5f");
    EXPECT_EQ(paths.directory(id), paths.callsDirectory / "6B1F1C2E-93A4-4F0D-8E55-0A1B2C3D4E5F");

    paths.prepareDirectories();
    paths.prepareDirectories();
    EXPECT_TRUE(fs::is_directory(paths.callsDirectory));
}

TEST_F(CallDataPathsTest, PreparingFailsWhenAFileBlocksTheRoot) {
    // A file where the root should be is the file system's error, not a silent success.
    std::ofstream(base_ / "blocked") << "x";
    EXPECT_THROW(CallDataPaths(base_ / "blocked").prepareDirectories(), fs::filesystem_error);
}

TEST_F(CallDataPathsTest, LegacyFolderMovesOnlyWhenNoCurrentFolderExists) {
    // The legacy folder is renamed with its contents; an existing current folder always wins.
    EXPECT_EQ(CallDataPaths::migrateLegacyFolderIfNeeded(), std::nullopt);

    fs::create_directories(base_ / "Amberlin" / "Calls");
    std::ofstream(base_ / "Amberlin" / "Calls.sqlite") << "db";
    EXPECT_EQ(CallDataPaths::migrateLegacyFolderIfNeeded(), base_ / "Amberlin");
    EXPECT_FALSE(fs::exists(base_ / "Amberlin"));
    EXPECT_TRUE(fs::exists(base_ / "Corvessa" / "Calls.sqlite"));

    fs::create_directories(base_ / "Amberlin");
    EXPECT_EQ(CallDataPaths::migrateLegacyFolderIfNeeded(), std::nullopt);
    EXPECT_TRUE(fs::exists(base_ / "Amberlin"));
    EXPECT_TRUE(fs::exists(base_ / "Corvessa" / "Calls.sqlite"));
}

}  // namespace
