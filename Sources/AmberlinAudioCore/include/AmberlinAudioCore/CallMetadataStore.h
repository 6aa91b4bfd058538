// The call store's metadata: one SQLite database ("Calls.sqlite") holding every call record as
// payload JSON, plus the per-call directories under the store's "Calls" directory.
//
// Threads: every operation may be called from any thread and blocks until its body has run on
// the store's private serial queue "com.halvern.corvessa.call-metadata"; the database
// connection is used only from that queue. The static title helpers are pure.
#ifndef AMBERLINAUDIOCORE_CALLMETADATASTORE_H
#define AMBERLINAUDIOCORE_CALLMETADATASTORE_H

#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AmberlinAudioCore/CallModels.h"
#include "platform/SerialQueue.h"

struct sqlite3;

namespace amberlin {

/// The store's own failures, each with the message it was raised with.
class CallMetadataStoreError : public std::exception {
  public:
    /// The error's case.
    enum class Code { databaseOpenFailed, databaseStepFailed };

    /// The database file could not be opened; `message` is SQLite's or "unknown".
    static CallMetadataStoreError databaseOpenFailed(std::string message);
    /// A statement failed to prepare, run or complete, or a payload could not be made text;
    /// `message` is SQLite's, "unknown sqlite error" or "Unable to encode call payload".
    static CallMetadataStoreError databaseStepFailed(std::string message);

    /// The case.
    Code code() const noexcept { return code_; }
    /// The payload message.
    const std::string& message() const noexcept { return message_; }
    /// The case name, e.g. "databaseStepFailed".
    const char* what() const noexcept override;
    /// Equal when case and message are equal.
    friend bool operator==(const CallMetadataStoreError& a,
                           const CallMetadataStoreError& b) noexcept {
        return a.code_ == b.code_ && a.message_ == b.message_;
    }

  private:
    CallMetadataStoreError(Code code, std::string message) noexcept;

    Code code_;
    std::string message_;
};

/// Keeps call records in SQLite, newest first, and owns the call directories.
class CallMetadataStore {
  public:
    /// The table statement, run on every open.
    static constexpr std::string_view createTableSQL =
        "CREATE TABLE IF NOT EXISTS calls (\n"
        "    id TEXT PRIMARY KEY NOT NULL,\n"
        "    payload TEXT NOT NULL,\n"
        "    started_at REAL NOT NULL,\n"
        "    ended_at REAL,\n"
        "    status TEXT NOT NULL,\n"
        "    deleted INTEGER NOT NULL DEFAULT 0\n"
        ");";
    /// The index statement, run on every open.
    static constexpr std::string_view createIndexSQL =
        "CREATE INDEX IF NOT EXISTS calls_started_at_idx ON calls(started_at DESC);";

    /// Opens the store on `paths`; without paths, on the default location after moving a legacy
    /// data folder into place (and then rewriting the stored track paths). Throws the file
    /// system's error, CallMetadataStoreError, or the rewrite's error.
    explicit CallMetadataStore(std::optional<CallDataPaths> paths = std::nullopt);
    /// Closes the connection.
    ~CallMetadataStore();
    CallMetadataStore(const CallMetadataStore&) = delete;
    CallMetadataStore& operator=(const CallMetadataStore&) = delete;

    /// The paths in use.
    const CallDataPaths& paths() const noexcept { return paths_; }
    /// The root directory of the paths in use.
    const std::filesystem::path& rootDirectory() const noexcept { return paths_.rootDirectory; }

    /// Creates the call directory and writes a new `recording` session titled by the cleaned
    /// title, else the fallback title for `appName` and now; all three track paths are set.
    CallSession createSession(const std::optional<std::string>& title,
                              const std::optional<std::string>& appName);
    /// Inserts or replaces the session's row (by id).
    void update(const CallSession& session);
    /// The decodable sessions, newest start first; rows with status `deleted` only when asked.
    std::vector<CallSession> listSessions(bool includeDeleted = false);
    /// Removes the call's directory (when its row exists) and its row. A row that does not
    /// decode fails with the decoding error and is kept.
    void deleteSession(const Uuid& id);
    /// Rewrites every stored track path under `from` to the same place under `to` and writes
    /// every session back; the first failed write stops and fails the rewrite.
    void rewriteStoredPaths(const std::filesystem::path& from, const std::filesystem::path& to);

    /// The words of `title` joined by single spaces; absent when absent or blank.
    static std::optional<std::string> cleanTitle(const std::optional<std::string>& title);
    /// "<app> Call <date>" or "Call <date>", the date in the user's locale and time zone.
    static std::string fallbackTitle(const std::optional<std::string>& appName, CallDate date);

  private:
    void open();
    void closeDatabase() noexcept;
    void runSchemaStatement(std::string_view sql);
    void writeSession(const CallSession& session);
    std::optional<CallSession> fetchSession(const Uuid& id);
    void deleteRow(const Uuid& id);
    std::vector<CallSession> selectSessions(bool includeDeleted);
    CallSession makeSession(const std::optional<std::string>& title,
                            const std::optional<std::string>& appName) const;

    std::optional<std::filesystem::path> movedLegacyRoot_;  // set when opening moved the folder
    CallDataPaths paths_;
    platform::SerialQueue queue_{"com.halvern.corvessa.call-metadata"};
    sqlite3* database_ = nullptr;
};

/// `path` moved from under `from` to the same place under `to` when it lies under `from` (equal
/// to it, or continuing after it with a path separator); otherwise unchanged.
std::string rebasedPath(const std::string& path, const std::filesystem::path& from,
                        const std::filesystem::path& to);

}  // namespace amberlin

#endif
