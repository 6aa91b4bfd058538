// The call store's process killed with SIGKILL at a random point of a burst of creates and
// updates: every write that had returned before the kill is in the database (at its version or
// a later one), and the database opens cleanly and passes SQLite's own integrity check.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "AmberlinAudioCore/CallMetadataStore.h"
#include "PrivateDataEnvironment.h"

namespace {

using namespace amberlin;

/// One committed write, as the writing process reports it.
struct Committed {
    char id[40];
    int version;
};

std::string titleFor(int call, int version) {
    return "call " + std::to_string(call) + " v" + std::to_string(version);
}

/// The version in a title made by titleFor.
int versionOf(const std::string& title) {
    return std::stoi(title.substr(title.rfind('v') + 1));
}

/// Child body: creates sessions and updates each four times, reporting every write that
/// returned, until killed.
[[noreturn]] void writeForever(const CallDataPaths& paths, int reportFd) {
    CallMetadataStore store(paths);
    for (int call = 0;; ++call) {
        CallSession session = store.createSession(titleFor(call, 0), "Chat");
        for (int version = 0; version < 5; ++version) {
            if (version > 0) {
                session.title = titleFor(call, version);
                store.update(session);
            }
            Committed report{};
            std::snprintf(report.id, sizeof(report.id), "%s", session.id.uuidString().c_str());
            report.version = version;
            ::write(reportFd, &report, sizeof(report));
        }
    }
}

std::string integrityOf(const std::filesystem::path& database) {
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check;", -1, &statement, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            result = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return result;
}

TEST(CallStoreKillTest, EveryWriteThatReturnedSurvivesAKillMidBurst) {
    const CallDataPaths paths(PrivateDataEnvironment::root() / "kill");
    const unsigned seed =
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::mt19937 random(seed);
    std::map<std::string, int> committed;  // id -> highest version reported
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round));
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(fds[0]);
            writeForever(paths, fds[1]);
        }
        ::close(fds[1]);
        const int killAfter = std::uniform_int_distribution<int>(10, 300)(random);
        Committed report{};
        for (int seen = 0; seen < killAfter && ::read(fds[0], &report, sizeof(report)) ==
                                                   static_cast<ssize_t>(sizeof(report));
             ++seen) {
            committed[report.id] = report.version;
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        // Writes reported between the last read and the kill were committed as well.
        while (::read(fds[0], &report, sizeof(report)) == static_cast<ssize_t>(sizeof(report))) {
            committed[report.id] = report.version;
        }
        ::close(fds[0]);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the writer ended before the kill: " << status;

        EXPECT_EQ(integrityOf(paths.databaseURL), "ok");
        CallMetadataStore store(paths);
        std::map<std::string, int> stored;
        for (const CallSession& session : store.listSessions(true)) {
            stored[session.id.uuidString()] = versionOf(session.title);
        }
        for (const auto& [id, version] : committed) {
            ASSERT_TRUE(stored.contains(id)) << id << " (version " << version << ") was lost";
            EXPECT_GE(stored[id], version) << id;
        }
    }
    std::printf("[  figures ] %zu calls committed over three kills\n", committed.size());
}

}  // namespace
