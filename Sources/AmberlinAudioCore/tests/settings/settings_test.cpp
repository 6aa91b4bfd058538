// Tests of the settings record's JSON rules and of the settings store with its migration.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "AmberlinAudioCore/AppSettings.h"
#include "platform/UserDefaults.h"
#include "platform/testing/TemporaryFolder.h"

namespace {

using amberlin::AppSettings;
using amberlin::NoiseProcessorType;
using amberlin::SettingsStore;
using amberlin::SuppressionMode;
using amberlin::VoiceIsolationLevel;
using nlohmann::json;
using platform::UserDefaults;
namespace fs = std::filesystem;

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

// Points the user's configuration root (and so the standard database) at a private temporary
// directory before any test runs, so the real user's settings are never touched.
class PrivateConfigEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        folder_ = std::make_unique<corvessa::testing::TemporaryFolder>("settings-test");
        root_ = folder_->path();
        ::setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
    }
    void TearDown() override { folder_.reset(); }
    static const fs::path& root() { return root_; }

  private:
    std::unique_ptr<corvessa::testing::TemporaryFolder> folder_;
    static inline fs::path root_;
};

[[maybe_unused]] const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new PrivateConfigEnvironment);

// Each test gets a private non-standard database, and the standard database and legacy suite
// start without a settings record.
class SettingsStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        defaults_ = std::make_shared<UserDefaults>(PrivateConfigEnvironment::root() / test, "test");
        legacy_ = UserDefaults::suite(SettingsStore::legacySuite);
        ASSERT_NE(legacy_, nullptr);
        UserDefaults::standard()->removeObject(SettingsStore::defaultKey);
        legacy_->removeObject(SettingsStore::legacyKey);
    }

    // Loads `text` stored under the default key of the private database.
    AppSettings loadStored(std::string_view text) {
        defaults_->setData(SettingsStore::defaultKey, bytesOf(text));
        return SettingsStore(SettingsStore::defaultKey, defaults_).load();
    }

    std::shared_ptr<UserDefaults> defaults_;
    std::shared_ptr<UserDefaults> legacy_;
};

// A record with every field away from its default.
AppSettings customSettings() {
    return AppSettings(true, "usb-mic-1", SuppressionMode::max, true, true,
                       NoiseProcessorType::rnnoise, true, false, false, false,
                       VoiceIsolationLevel::strong, true, 3);
}

}  // namespace

// The all-default record encodes to the documented object, without a device key.
TEST(AppSettingsJson, DefaultRecordEncoding) {
    EXPECT_EQ(json(AppSettings{}), json::parse(R"({
        "processingEnabled": false, "suppressionMode": "balanced", "launchAtLogin": false,
        "bypassEnabled": false, "processorType": "rnnoise", "automaticCallRecordingEnabled": false,
        "captureSystemAudioEnabled": true, "localRecordingEnabled": true,
        "echoCancellationEnabled": true, "voiceIsolation": "balanced",
        "recordingConsentAcknowledged": false, "acceptedTermsVersion": 0})"));
    EXPECT_EQ(json(customSettings())["selectedInputDeviceUID"], "usb-mic-1");
}

// A fresh database loads the defaults and loading writes nothing.
TEST_F(SettingsStoreTest, FreshDatabaseYieldsDefaults) {
    const SettingsStore store(SettingsStore::defaultKey, defaults_);
    EXPECT_EQ(store.load(), AppSettings{});
    EXPECT_FALSE(defaults_->data(SettingsStore::defaultKey).has_value());
    EXPECT_EQ(store.load(), AppSettings{});
    const SettingsStore standard(SettingsStore::defaultKey, UserDefaults::standard());
    EXPECT_EQ(standard.load(), AppSettings{});
    EXPECT_FALSE(UserDefaults::standard()->data(SettingsStore::defaultKey).has_value());
}

// Missing and null keys take their defaults key by key; extra keys are ignored.
TEST_F(SettingsStoreTest, PartialRecordsFillInDefaults) {
    AppSettings expected;
    expected.processingEnabled = true;
    EXPECT_EQ(loadStored(R"({"processingEnabled":true})"), expected);
    EXPECT_EQ(loadStored(R"({"processingEnabled":true,"voiceIsolation":null,"extra":[1,2]})"),
              expected);
    expected.processorType = NoiseProcessorType::rnnoise;
    EXPECT_EQ(loadStored(R"({"processingEnabled":true,"processorType":"spectral"})"), expected);
    EXPECT_EQ(loadStored("{}"), AppSettings{});
    AppSettings versioned;
    versioned.acceptedTermsVersion = 2;
    EXPECT_EQ(loadStored(R"({"acceptedTermsVersion":2.0})"), versioned);
}

// Any value of the wrong type or content, and any undecodable data, gives the all-default
// record as a whole.
TEST_F(SettingsStoreTest, MalformedRecordsFallBackToDefaults) {
    for (const char* text :
         {R"({"processingEnabled":true,"suppressionMode":"strong"})",
          R"({"processingEnabled":true,"voiceIsolation":"max"})",
          R"({"processingEnabled":true,"processorType":3})", R"({"processingEnabled":1})",
          R"({"processingEnabled":true,"acceptedTermsVersion":1.5})",
          R"({"processingEnabled":true,"acceptedTermsVersion":"2"})",
          R"({"processingEnabled":true,"selectedInputDeviceUID":7})",
          R"({"processingEnabled":true,"suppressionMode":"ma)", "", "[]", "true", "\xff\xfe{}"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(loadStored(text), AppSettings{});
    }
}

// A saved record loads back equal; no device means no device key; an unencodable record throws
// and leaves the stored one in place.
TEST_F(SettingsStoreTest, SaveLoadRoundTrip) {
    const SettingsStore store(SettingsStore::defaultKey, defaults_);
    store.save(customSettings());
    EXPECT_EQ(store.load(), customSettings());

    AppSettings noDevice = customSettings();
    noDevice.selectedInputDeviceUID.reset();
    store.save(noDevice);
    const auto stored = defaults_->data(SettingsStore::defaultKey);
    ASSERT_TRUE(stored.has_value());
    EXPECT_FALSE(json::parse(stored->begin(), stored->end()).contains("selectedInputDeviceUID"));
    EXPECT_EQ(store.load(), noDevice);

    AppSettings unencodable = customSettings();
    unencodable.selectedInputDeviceUID = std::string("\xff\xfe", 2);
    EXPECT_THROW(store.save(unencodable), json::exception);
    EXPECT_EQ(store.load(), noDevice);
}

// The legacy record is copied, byte for byte, into the standard database on its first load and
// left in place; a store on any other database, even one naming the standard domain, ignores it.
TEST_F(SettingsStoreTest, LegacyRecordMigratesOnlyIntoTheStandardDatabase) {
    const std::string legacyText = R"({"processingEnabled":true,"suppressionMode":"light"})";
    ASSERT_TRUE(legacy_->setData(SettingsStore::legacyKey, bytesOf(legacyText)));
    AppSettings expected;
    expected.processingEnabled = true;
    expected.suppressionMode = SuppressionMode::light;

    EXPECT_EQ(SettingsStore(SettingsStore::defaultKey, defaults_).load(), AppSettings{});
    const auto lookalike = UserDefaults::suite(UserDefaults::standardDomain);
    EXPECT_EQ(SettingsStore(SettingsStore::defaultKey, lookalike).load(), AppSettings{});
    EXPECT_FALSE(UserDefaults::standard()->data(SettingsStore::defaultKey).has_value());

    const SettingsStore standard(SettingsStore::defaultKey, UserDefaults::standard());
    EXPECT_EQ(standard.load(), expected);
    EXPECT_EQ(UserDefaults::standard()->data(SettingsStore::defaultKey), bytesOf(legacyText));
    EXPECT_EQ(legacy_->data(SettingsStore::legacyKey), bytesOf(legacyText));

    // Once a record of its own exists, the legacy one is no longer consulted.
    standard.save(customSettings());
    EXPECT_EQ(standard.load(), customSettings());
}

// A reader racing a writer always loads one of the two records written, never a torn one.
TEST_F(SettingsStoreTest, ConcurrentSaveAndLoadNeverTear) {
    const SettingsStore store(SettingsStore::defaultKey, defaults_);
    AppSettings first = customSettings();
    first.selectedInputDeviceUID = std::string(20000, 'a');
    const AppSettings second = customSettings();
    store.save(first);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i) {
            store.save(i % 2 == 0 ? second : first);
        }
        done = true;
    });
    int torn = 0;
    int loads = 0;
    while (!done.load()) {
        const AppSettings loaded = store.load();
        torn += (loaded != first && loaded != second) ? 1 : 0;
        ++loads;
    }
    writer.join();
    EXPECT_EQ(torn, 0) << "of " << loads << " loads";
}
