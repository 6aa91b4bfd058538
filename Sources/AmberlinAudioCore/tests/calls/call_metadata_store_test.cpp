// Tests of the SQLite call store: schema, writing, listing, soft and hard deletion, legacy
// folder moves with path rewriting, failures, and durability across a killed process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "AmberlinAudioCore/CallDateFormatter.h"
#include "AmberlinAudioCore/CallMetadataStore.h"

#include "PrivateDataEnvironment.h"

namespace {

using namespace amberlin;
namespace fs = std::filesystem;
using std::chrono::seconds;

// Runs one SQL statement against a database file directly, outside the store; returns the first
// column of each row.
std::vector<std::string> rawQuery(const fs::path& database, const std::string& sql) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(database.c_str(), &db), SQLITE_OK);
    std::vector<std::string> rows;
    const auto collect = [](void* out, int, char** values, char**) {
        static_cast<std::vector<std::string>*>(out)->push_back(values[0] ? values[0] : "NULL");
        return 0;
    };
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), collect, &rows, nullptr), SQLITE_OK) << sql;
    sqlite3_close(db);
    return rows;
}

// Each test gets an empty store root of its own.
class CallMetadataStoreTest : public ::testing::Test {
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

    CallDataPaths paths() const { return CallDataPaths(base_ / "Store"); }
    std::unique_ptr<CallMetadataStore> open() const {
        return std::make_unique<CallMetadataStore>(paths());
    }
    // A session started at `secondsSince1970`, not written anywhere.
    static CallSession sessionAt(std::int64_t secondsSince1970, std::string title) {
        CallSession session;
        session.id = Uuid::random();
        session.title = std::move(title);
        session.startedAt = CallDate(seconds(secondsSince1970));
        return session;
    }
    static std::vector<std::string> titles(const std::vector<CallSession>& sessions) {
        std::vector<std::string> out;
        for (const CallSession& session : sessions) {
            out.push_back(session.title);
        }
        return out;
    }

    fs::path base_;
};

TEST_F(CallMetadataStoreTest, OpeningTwiceKeepsOneTableAndOneIndex) {
    // Both schema statements are idempotent, and the columns are the stored layout.
    open();
    open()->update(sessionAt(10, "kept"));
    const fs::path db = paths().databaseURL;
    EXPECT_EQ(rawQuery(db,
                       "SELECT name FROM sqlite_master WHERE type IN ('table','index') "
                       "AND name NOT LIKE 'sqlite_autoindex%' ORDER BY name;"),
              (std::vector<std::string>{"calls", "calls_started_at_idx"}));
    EXPECT_EQ(
        rawQuery(db,
                 "SELECT name || ' ' || type || ' ' || \"notnull\" || ' ' || pk "
                 "FROM pragma_table_info('calls');"),
        (std::vector<std::string>{"id TEXT 1 1", "payload TEXT 1 0", "started_at REAL 1 0",
                                  "ended_at REAL 0 0", "status TEXT 1 0", "deleted INTEGER 1 0"}));
    EXPECT_EQ(titles(open()->listSessions()), std::vector<std::string>{"kept"});
}

TEST_F(CallMetadataStoreTest, CreatedSessionHasDirectoryPathsAndColumns) {
    // A new session is recording, titled from the cleaned title, with all three track paths in
    // its own directory, and its columns mirror the payload.
    const auto store = open();
    const CallSession session = store->createSession("  Weekly \n sync ", " Chat ");
    EXPECT_EQ(session.title, "Weekly sync");
    EXPECT_EQ(session.appName, " Chat ");
    EXPECT_EQ(session.status, CallSessionStatus::recording);
    const fs::path directory = paths().directory(session.id);
    EXPECT_TRUE(fs::is_directory(directory));
    EXPECT_EQ(session.localMicAudioPath, (directory / "local-mic.wav").string());
    EXPECT_EQ(session.remoteSystemAudioPath, (directory / "remote-system.wav").string());
    EXPECT_EQ(session.mixedPreviewAudioPath, (directory / "mixed-preview.wav").string());

    const auto row = rawQuery(paths().databaseURL,
                              "SELECT id || '|' || status || '|' || deleted || '|' || "
                              "ifnull(ended_at, 'NULL') || '|' || started_at FROM calls;");
    ASSERT_EQ(row.size(), 1u);
    EXPECT_TRUE(row[0].starts_with(session.id.uuidString() + "|recording|0|NULL|")) << row[0];
    const double started = std::stod(row[0].substr(row[0].rfind('|') + 1));
    EXPECT_NEAR(started, secondsSince1970(session.startedAt), 1e-3);

    // Without a usable title or app name the title is "Call " and the formatted creation time.
    const CallSession untitled = store->createSession(" \n ", std::nullopt);
    EXPECT_EQ(untitled.title, "Call " + CallDateFormatter::shared().string(untitled.startedAt));
}

TEST_F(CallMetadataStoreTest, ListingIsNewestFirstAndSoftDeletionOnlyHides) {
    // Status deleted hides a session from the live list only; its row and files stay.
    const auto store = open();
    CallSession early = sessionAt(100, "early"), late = sessionAt(300, "late");
    CallSession tied = sessionAt(100, "tied");
    store->update(early);
    store->update(late);
    store->update(tied);
    auto listed = titles(store->listSessions());
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0], "late");

    late.status = CallSessionStatus::deleted;
    store->update(late);
    EXPECT_EQ(store->listSessions(false).size(), 2u);
    EXPECT_EQ(titles(store->listSessions(true))[0], "late");
    EXPECT_EQ(rawQuery(paths().databaseURL, "SELECT deleted FROM calls WHERE status='deleted';"),
              std::vector<std::string>{"1"});
}

TEST_F(CallMetadataStoreTest, HardDeletionRemovesRowAndDirectory) {
    // Deleting removes the call directory with its files and the row; an unknown id is no error.
    const auto store = open();
    const CallSession session = store->createSession("Gone", std::nullopt);
    std::ofstream(*session.localMicAudioPath) << "audio";
    store->deleteSession(session.id);
    EXPECT_FALSE(fs::exists(paths().directory(session.id)));
    EXPECT_TRUE(store->listSessions(true).empty());
    EXPECT_NO_THROW(store->deleteSession(Uuid::random()));
}

TEST_F(CallMetadataStoreTest, UndecodableRowsAreSkippedByListingButFailDeletion) {
    // Listing hides a row whose payload does not decode; deleting that id fails and keeps it.
    const auto store = open();
    store->update(sessionAt(50, "good"));
    const Uuid bad = Uuid::random();
    fs::create_directories(paths().directory(bad));
    rawQuery(paths().databaseURL, "INSERT INTO calls (id, payload, started_at, status) VALUES ('" +
                                      bad.uuidString() + "', '{\"id\": 1}', 99, 'recording');");
    EXPECT_EQ(titles(store->listSessions(true)), std::vector<std::string>{"good"});
    EXPECT_THROW(store->deleteSession(bad), nlohmann::json::exception);
    EXPECT_TRUE(fs::exists(paths().directory(bad)));
    EXPECT_EQ(rawQuery(paths().databaseURL, "SELECT count(*) FROM calls;"),
              std::vector<std::string>{"2"});
}

TEST_F(CallMetadataStoreTest, TitleThatIsNotUtf8IsRefusedWithTheEncodingError) {
    // A payload that cannot become text is never written.
    const auto store = open();
    try {
        store->createSession("Sync \xFF", std::nullopt);
        ADD_FAILURE() << "no error";
    } catch (const CallMetadataStoreError& error) {
        EXPECT_EQ(error,
                  CallMetadataStoreError::databaseStepFailed("Unable to encode call payload"));
    }
    EXPECT_TRUE(store->listSessions(true).empty());
}

TEST_F(CallMetadataStoreTest, OpenAndStepFailuresCarrySqliteMessages) {
    // An unopenable file is databaseOpenFailed; a file that is not a database fails the schema
    // statement with databaseStepFailed; both carry SQLite's message.
    fs::create_directories(paths().rootDirectory);
    fs::create_symlink(base_ / "missing" / "deeper" / "Calls.sqlite", paths().databaseURL);
    try {
        open();
        ADD_FAILURE() << "opened";
    } catch (const CallMetadataStoreError& error) {
        EXPECT_EQ(error.code(), CallMetadataStoreError::Code::databaseOpenFailed);
        EXPECT_EQ(error.message(), "unable to open database file");
    }
    fs::remove(paths().databaseURL);
    std::ofstream(paths().databaseURL) << std::string(4096, 'x');
    try {
        open();
        ADD_FAILURE() << "opened";
    } catch (const CallMetadataStoreError& error) {
        EXPECT_EQ(error, CallMetadataStoreError::databaseStepFailed("file is not a database"));
    }
}

TEST(RebasedPathTest, OnlyPathsInsideTheOldRootMove) {
    // The old root must end at a path separator: a sibling folder sharing its name as a prefix
    // is a different folder and keeps its paths.
    const fs::path from = "/data/Amberlin", to = "/data/Corvessa";
    EXPECT_EQ(rebasedPath("/data/Amberlin/Calls/A/local-mic.wav", from, to),
              "/data/Corvessa/Calls/A/local-mic.wav");
    EXPECT_EQ(rebasedPath("/data/Amberlin/Calls/A/x.wav", "/data/Amberlin/", to),
              "/data/Corvessa/Calls/A/x.wav");
    EXPECT_EQ(rebasedPath("/data/Amberlin", from, to), "/data/Corvessa");
    EXPECT_EQ(rebasedPath("/data/AmberlinBackup/x.wav", from, to), "/data/AmberlinBackup/x.wav");
    EXPECT_EQ(rebasedPath("/elsewhere/x.wav", from, to), "/elsewhere/x.wav");
}

TEST_F(CallMetadataStoreTest, DefaultOpenMovesLegacyFolderAndRewritesStoredPaths) {
    // Records written by an earlier version point into "Amberlin"; after the move they point to
    // the same places under "Corvessa", and paths outside the old folder are written back as is.
    const fs::path legacy = base_ / "Amberlin";
    Uuid movedId, outsideId;
    {
        CallMetadataStore old(CallDataPaths{legacy});
        const CallSession moved = old.createSession("moved", std::nullopt);
        movedId = moved.id;
        CallSession outside = sessionAt(5, "outside");
        outsideId = outside.id;
        outside.localMicAudioPath = "/elsewhere/local-mic.wav";
        outside.remoteSystemAudioPath = (base_ / "AmberlinBackup" / "remote.wav").string();
        old.update(outside);
    }
    CallMetadataStore store;
    EXPECT_EQ(store.rootDirectory(), base_ / "Corvessa");
    EXPECT_FALSE(fs::exists(legacy));
    std::map<Uuid, CallSession> byId;
    for (const CallSession& session : store.listSessions(true)) {
        byId.emplace(session.id, session);
    }
    ASSERT_EQ(byId.size(), 2u);
    const fs::path movedDir = store.paths().directory(movedId);
    EXPECT_TRUE(fs::is_directory(movedDir));
    EXPECT_EQ(byId[movedId].localMicAudioPath, (movedDir / "local-mic.wav").string());
    EXPECT_EQ(byId[movedId].mixedPreviewAudioPath, (movedDir / "mixed-preview.wav").string());
    EXPECT_EQ(byId[outsideId].localMicAudioPath, "/elsewhere/local-mic.wav");
    EXPECT_EQ(byId[outsideId].remoteSystemAudioPath,
              (base_ / "AmberlinBackup" / "remote.wav").string());
}

// Writes `count` into `fd` as one acknowledgement record.
void acknowledge(int fd, std::int32_t count) {
    if (::write(fd, &count, sizeof count) != sizeof count) {
        ::_exit(3);
    }
}

TEST_F(CallMetadataStoreTest, KilledWriterLeavesEveryCommittedRecordReadable) {
    // A child process rewrites sessions as fast as it can and acknowledges each committed
    // update; it is killed mid-burst. On reopening, every acknowledged version is there and
    // every row decodes.
    const int sessions = 8;
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        try {
            CallMetadataStore store(paths());
            std::vector<CallSession> all;
            for (int i = 0; i < sessions; ++i) {
                all.push_back(sessionAt(1000 + i, "0"));
            }
            for (std::int32_t version = 1;; ++version) {
                CallSession& session = all[static_cast<std::size_t>(version % sessions)];
                session.title = std::to_string(version);
                store.update(session);
                acknowledge(pipeFds[1], version);
            }
        } catch (...) {
            ::_exit(2);
        }
    }
    ::close(pipeFds[1]);
    std::int32_t lastAcknowledged = 0;
    while (lastAcknowledged < 120) {
        ASSERT_EQ(::read(pipeFds[0], &lastAcknowledged, sizeof lastAcknowledged),
                  static_cast<ssize_t>(sizeof lastAcknowledged));
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(pipeFds[0]);
    ASSERT_TRUE(WIFSIGNALED(status));

    const auto listed = open()->listSessions(true);
    ASSERT_EQ(listed.size(), static_cast<std::size_t>(sessions));
    EXPECT_EQ(rawQuery(paths().databaseURL, "SELECT count(*) FROM calls;"),
              std::vector<std::string>{std::to_string(sessions)});
    for (const CallSession& session : listed) {
        const int slot = static_cast<int>(secondsSince1970(session.startedAt)) - 1000;
        // The newest acknowledged version written to this slot.
        int expected =
            lastAcknowledged - ((lastAcknowledged - slot) % sessions + sessions) % sessions;
        EXPECT_GE(std::stoi(session.title), expected) << "slot " << slot;
    }
}

}  // namespace
