// Damaged files on disk: the settings record, call payloads and the call database truncated,
// empty, unreadable (a directory, a FIFO or a device where a file belongs: permission bits do not
// stop root) or of the wrong type. Each yields the defaults or a clear error, never a crash or a
// hang, and the store keeps working for the records that are intact.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "AmberlinAudioCore/AppSettings.h"
#include "AmberlinAudioCore/CallMetadataStore.h"
#include "PrivateDataEnvironment.h"
#include "platform/UserDefaults.h"

namespace {

using namespace amberlin;
namespace fs = std::filesystem;

/// Ways a file can be damaged; each replaces the file at `path`, which may exist.
struct Damage {
    const char* name;
    std::function<void(const fs::path& path)> apply;
};

void writeBytes(const fs::path& path, const std::string& bytes) {
    fs::remove_all(path);
    std::ofstream(path, std::ios::binary) << bytes;
}

/// The file cut to `keep` of its bytes.
Damage truncatedTo(double keep) {
    return {"truncated", [keep](const fs::path& path) {
                std::ifstream in(path, std::ios::binary);
                const std::string bytes((std::istreambuf_iterator<char>(in)), {});
                writeBytes(path, bytes.substr(0, static_cast<std::size_t>(
                                                     static_cast<double>(bytes.size()) * keep)));
            }};
}

const std::vector<Damage>& damages() {
    static const std::vector<Damage> all = {
        truncatedTo(0.5),
        {"empty", [](const fs::path& p) { writeBytes(p, ""); }},
        {"directory", [](const fs::path& p) { fs::remove_all(p), fs::create_directory(p); }},
        {"fifo", [](const fs::path& p) { fs::remove_all(p), ::mkfifo(p.c_str(), 0600); }},
        {"device",
         [](const fs::path& p) { fs::remove_all(p), fs::create_symlink("/dev/zero", p); }},
        {"binary",
         [](const fs::path& p) { writeBytes(p, std::string("\x00\xff\xfe\x01 SQLite", 11)); }},
        {"text", [](const fs::path& p) { writeBytes(p, "[1, 2, 3]"); }},
    };
    return all;
}

class DamagedFilesTest : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directories(root_); }
    void TearDown() override { fs::remove_all(root_); }

    fs::path root_ = PrivateDataEnvironment::root() /
                     ::testing::UnitTest::GetInstance()->current_test_info()->name();
};

TEST_F(DamagedFilesTest, ADamagedSettingsFileLoadsTheDefaults) {
    auto defaults = std::make_shared<platform::UserDefaults>(root_, "damaged");
    const SettingsStore store(SettingsStore::defaultKey, defaults);
    AppSettings custom;
    custom.processingEnabled = true;
    custom.selectedInputDeviceUID = "usb-mic";
    for (const Damage& damage : damages()) {
        SCOPED_TRACE(damage.name);
        fs::remove_all(defaults->directory() / SettingsStore::defaultKey);
        store.save(custom);
        ASSERT_EQ(store.load(), custom);
        damage.apply(defaults->directory() / SettingsStore::defaultKey);
        EXPECT_EQ(store.load(), AppSettings{});
    }
    // A record nested a million levels deep is read without exhausting the stack.
    const std::string deep = std::string(1'000'000, '[') + std::string(1'000'000, ']');
    ASSERT_TRUE(defaults->setData(SettingsStore::defaultKey,
                                  std::vector<std::uint8_t>(deep.begin(), deep.end())));
    EXPECT_EQ(store.load(), AppSettings{});
}

/// Runs `sql` on the database at `path`.
void execute(const fs::path& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

TEST_F(DamagedFilesTest, DamagedPayloadsAreSkippedByTheListAndRefusedByTheirDeletion) {
    const CallDataPaths paths(root_);
    CallMetadataStore store(paths);
    const CallSession intact = store.createSession("Standup", "Chat");
    const std::vector<std::string> payloads = {
        "'{\"id\":\"A0000000-0000-4000-8000-000000000001\",\"title\":\"cut'",  // truncated
        "''",                                                                  // empty
        "'[1,2,3]'",
        "'42'",
        "'null'",  // wrong type
        "'{\"id\":\"A0000000-0000-4000-8000-000000000006\",\"title\":7,"
        "\"startedAt\":\"2026-01-05T14:03:00Z\",\"status\":\"completed\"}'",  // wrong field type
        "x'00FFFE7B7D'",                                                      // binary blob
    };
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        execute(paths.databaseURL,
                "INSERT INTO calls (id, payload, started_at, status) VALUES ('B000000" +
                    std::to_string(i) + "-0000-4000-8000-000000000000', " + payloads[i] +
                    ", 0, 'completed');");
    }
    const auto listed = store.listSessions(true);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].id, intact.id);
    // Deleting a damaged row reports the decoding failure and keeps the row, as fetching does.
    const auto damagedId = Uuid::fromString("B0000002-0000-4000-8000-000000000000");
    ASSERT_TRUE(damagedId.has_value());
    EXPECT_ANY_THROW(store.deleteSession(*damagedId));
    store.deleteSession(intact.id);
    EXPECT_TRUE(store.listSessions(true).empty());
}

TEST_F(DamagedFilesTest, ADamagedDatabaseOpensEmptyOrFailsWithAClearError) {
    const CallDataPaths paths(root_);
    for (const Damage& damage : damages()) {
        SCOPED_TRACE(damage.name);
        fs::remove_all(paths.databaseURL);
        {
            CallMetadataStore store(paths);
            for (int i = 0; i < 10; ++i) {
                store.createSession("call " + std::to_string(i), "Chat");
            }
        }
        damage.apply(paths.databaseURL);
        try {
            CallMetadataStore store(paths);
            // Whatever opened must still answer: a list (perhaps short) and a new record.
            const auto before = store.listSessions(true).size();
            store.createSession("after the damage", std::nullopt);
            EXPECT_EQ(store.listSessions(true).size(), before + 1);
            std::printf("[  figures ] %s database: opened, %zu records readable\n", damage.name,
                        before);
        } catch (const CallMetadataStoreError& error) {
            EXPECT_FALSE(error.message().empty()) << error.what();
            std::printf("[  figures ] %s database: %s (%s)\n", damage.name, error.what(),
                        error.message().c_str());
        }
    }
}

}  // namespace
