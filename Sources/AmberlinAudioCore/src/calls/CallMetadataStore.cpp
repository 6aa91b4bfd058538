// The call metadata store over SQLite's C interface: every statement is prepared from its whole
// text, run and finalised on each use.
#include "AmberlinAudioCore/CallMetadataStore.h"

#include <sqlite3.h>

#include <nlohmann/json.hpp>
#include <system_error>
#include <utility>

#include "QueueSync.h"

namespace amberlin {
namespace {

constexpr const char* kUpsertSQL =
    "INSERT INTO calls (id, payload, started_at, ended_at, status, deleted)\n"
    "VALUES (?, ?, ?, ?, ?, ?)\n"
    "ON CONFLICT(id) DO UPDATE SET\n"
    "    payload = excluded.payload,\n"
    "    started_at = excluded.started_at,\n"
    "    ended_at = excluded.ended_at,\n"
    "    status = excluded.status,\n"
    "    deleted = excluded.deleted;";
constexpr const char* kListLiveSQL =
    "SELECT payload FROM calls WHERE deleted = 0 ORDER BY started_at DESC;";
constexpr const char* kListAllSQL = "SELECT payload FROM calls ORDER BY started_at DESC;";
constexpr const char* kFetchSQL = "SELECT payload FROM calls WHERE id = ?;";
constexpr const char* kDeleteSQL = "DELETE FROM calls WHERE id = ?;";

// The step error with the connection's current message.
CallMetadataStoreError stepError(sqlite3* database) {
    const char* message = database != nullptr ? sqlite3_errmsg(database) : nullptr;
    return CallMetadataStoreError::databaseStepFailed(message != nullptr ? message
                                                                         : "unknown sqlite error");
}

// A prepared statement, finalised when it goes out of scope.
class Statement {
  public:
    // Prepares the whole NUL-terminated `sql`; throws the step error on failure.
    Statement(sqlite3* database, const char* sql) : database_(database) {
        if (sqlite3_prepare_v2(database, sql, -1, &statement_, nullptr) != SQLITE_OK) {
            sqlite3_finalize(statement_);
            throw stepError(database);
        }
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Binds a copied text to parameter `index` (1-based).
    void bindText(int index, std::string_view text) {
        check(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                                SQLITE_TRANSIENT));
    }
    // Binds a double, or NULL when absent.
    void bindDouble(int index, std::optional<double> value) {
        check(value ? sqlite3_bind_double(statement_, index, *value)
                    : sqlite3_bind_null(statement_, index));
    }
    // Binds an integer.
    void bindInt(int index, int value) { check(sqlite3_bind_int(statement_, index, value)); }
    // Runs one step and returns SQLite's result code.
    int step() { return sqlite3_step(statement_); }
    // The first column of the current row as bytes; absent for NULL.
    std::optional<std::string> firstColumnText() {
        const auto* text = sqlite3_column_text(statement_, 0);
        if (text == nullptr) {
            return std::nullopt;
        }
        const auto length = static_cast<std::size_t>(sqlite3_column_bytes(statement_, 0));
        return std::string(reinterpret_cast<const char*>(text), length);
    }

  private:
    void check(int result) {
        if (result != SQLITE_OK) {
            throw stepError(database_);
        }
    }

    sqlite3* database_;
    sqlite3_stmt* statement_ = nullptr;
};

// True when `text` is well-formed UTF-8 (shortest forms, no surrogates, at most U+10FFFF).
bool isValidUtf8(std::string_view text) {
    try {
        (void)nlohmann::json(std::string(text)).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

// The payload text of `session`; a string field that is not UTF-8 cannot be made text.
std::string payloadText(const CallSession& session) {
    try {
        return encodeCallPayload(session);
    } catch (const nlohmann::json::type_error&) {
        throw CallMetadataStoreError::databaseStepFailed("Unable to encode call payload");
    }
}

// The sessions's date as seconds since 1970, when present.
std::optional<double> secondsOrNull(const std::optional<CallDate>& date) {
    return date ? std::optional(secondsSince1970(*date)) : std::nullopt;
}

// Rebases one optional track path in place.
void rebase(std::optional<std::string>& path, const std::filesystem::path& from,
            const std::filesystem::path& to) {
    if (path) {
        path = rebasedPath(*path, from, to);
    }
}

// The path's text without trailing separators (the root "/" stays "/").
std::string withoutTrailingSeparators(const std::filesystem::path& path) {
    std::string text = path.string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

}  // namespace

CallMetadataStoreError::CallMetadataStoreError(Code code, std::string message) noexcept
    : code_(code), message_(std::move(message)) {}

CallMetadataStoreError CallMetadataStoreError::databaseOpenFailed(std::string message) {
    return CallMetadataStoreError(Code::databaseOpenFailed, std::move(message));
}

CallMetadataStoreError CallMetadataStoreError::databaseStepFailed(std::string message) {
    return CallMetadataStoreError(Code::databaseStepFailed, std::move(message));
}

const char* CallMetadataStoreError::what() const noexcept {
    return code_ == Code::databaseOpenFailed ? "databaseOpenFailed" : "databaseStepFailed";
}

std::string rebasedPath(const std::string& path, const std::filesystem::path& from,
                        const std::filesystem::path& to) {
    const std::string root = withoutTrailingSeparators(from);
    const bool underRoot = path.starts_with(root) &&
                           (path.size() == root.size() || root == "/" || path[root.size()] == '/');
    return underRoot ? withoutTrailingSeparators(to) + path.substr(root == "/" ? 0 : root.size())
                     : path;
}

CallMetadataStore::CallMetadataStore(std::optional<CallDataPaths> paths)
    : movedLegacyRoot_(paths ? std::nullopt : CallDataPaths::migrateLegacyFolderIfNeeded()),
      paths_(paths ? std::move(*paths) : CallDataPaths::defaultPaths()) {
    paths_.prepareDirectories();
    try {
        syncOnQueue(queue_, [this] { open(); });
        if (movedLegacyRoot_) {
            rewriteStoredPaths(*movedLegacyRoot_, paths_.rootDirectory);
        }
    } catch (...) {
        queue_.sync([this] { closeDatabase(); });
        throw;
    }
}

CallMetadataStore::~CallMetadataStore() {
    queue_.sync([this] { closeDatabase(); });
}

// Opens (creating) the database file and makes sure the table and its index exist.
void CallMetadataStore::open() {
    if (sqlite3_open(paths_.databaseURL.c_str(), &database_) != SQLITE_OK) {
        const char* message = database_ != nullptr ? sqlite3_errmsg(database_) : nullptr;
        std::string text = message != nullptr ? message : "unknown";
        closeDatabase();
        throw CallMetadataStoreError::databaseOpenFailed(std::move(text));
    }
    runSchemaStatement(createTableSQL);
    runSchemaStatement(createIndexSQL);
}

void CallMetadataStore::closeDatabase() noexcept {
    sqlite3_close(database_);
    database_ = nullptr;
}

// Executes a whole schema statement without a row callback.
void CallMetadataStore::runSchemaStatement(std::string_view sql) {
    const std::string text(sql);
    if (sqlite3_exec(database_, text.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        throw stepError(database_);
    }
}

CallSession CallMetadataStore::createSession(const std::optional<std::string>& title,
                                             const std::optional<std::string>& appName) {
    return syncOnQueue(queue_, [&] {
        CallSession session = makeSession(title, appName);
        writeSession(session);
        return session;
    });
}

// A new `recording` session with its directory created and all three track paths set.
CallSession CallMetadataStore::makeSession(const std::optional<std::string>& title,
                                           const std::optional<std::string>& appName) const {
    CallSession session;
    session.id = Uuid::random();
    const std::filesystem::path directory = paths_.directory(session.id);
    std::filesystem::create_directories(directory);
    const CallDate now = std::chrono::system_clock::now();
    const std::optional<std::string> cleaned = cleanTitle(title);
    session.title = cleaned ? *cleaned : fallbackTitle(appName, now);
    session.startedAt = now;
    session.status = CallSessionStatus::recording;
    session.appName = appName;
    session.localMicAudioPath = (directory / fileName(AudioTrackRole::localMic)).string();
    session.remoteSystemAudioPath = (directory / fileName(AudioTrackRole::remoteSystem)).string();
    session.mixedPreviewAudioPath = (directory / fileName(AudioTrackRole::mixedPreview)).string();
    return session;
}

void CallMetadataStore::update(const CallSession& session) {
    syncOnQueue(queue_, [&] { writeSession(session); });
}

// Upserts the session's row; the columns beside the payload are rewritten from the session.
void CallMetadataStore::writeSession(const CallSession& session) {
    const std::string payload = payloadText(session);
    Statement upsert(database_, kUpsertSQL);
    upsert.bindText(1, session.id.uuidString());
    upsert.bindText(2, payload);
    upsert.bindDouble(3, secondsSince1970(session.startedAt));
    upsert.bindDouble(4, secondsOrNull(session.endedAt));
    upsert.bindText(5, rawValue(session.status));
    upsert.bindInt(6, session.status == CallSessionStatus::deleted ? 1 : 0);
    if (upsert.step() != SQLITE_DONE) {
        throw stepError(database_);
    }
}

std::vector<CallSession> CallMetadataStore::listSessions(bool includeDeleted) {
    return syncOnQueue(queue_, [&] { return selectSessions(includeDeleted); });
}

// Every row's payload that decodes, in the database's order; the rest are skipped silently.
std::vector<CallSession> CallMetadataStore::selectSessions(bool includeDeleted) {
    Statement select(database_, includeDeleted ? kListAllSQL : kListLiveSQL);
    std::vector<CallSession> sessions;
    while (select.step() == SQLITE_ROW) {
        const std::optional<std::string> payload = select.firstColumnText();
        if (!payload) {
            continue;
        }
        try {
            sessions.push_back(decodeCallPayload(*payload));
        } catch (const nlohmann::json::exception&) {
        }
    }
    return sessions;
}

// The session stored under `id`; absent when there is no row, a NULL or a non-UTF-8 payload. A
// payload that does not decode throws the decoding error.
std::optional<CallSession> CallMetadataStore::fetchSession(const Uuid& id) {
    Statement fetch(database_, kFetchSQL);
    fetch.bindText(1, id.uuidString());
    if (fetch.step() != SQLITE_ROW) {
        return std::nullopt;
    }
    const std::optional<std::string> payload = fetch.firstColumnText();
    if (!payload || !isValidUtf8(*payload)) {
        return std::nullopt;
    }
    return decodeCallPayload(*payload);
}

void CallMetadataStore::deleteSession(const Uuid& id) {
    syncOnQueue(queue_, [&] {
        if (fetchSession(id)) {
            std::error_code ignored;
            std::filesystem::remove_all(paths_.directory(id), ignored);
        }
        deleteRow(id);
    });
}

// Removes the row of `id`, whether or not it exists.
void CallMetadataStore::deleteRow(const Uuid& id) {
    Statement remove(database_, kDeleteSQL);
    remove.bindText(1, id.uuidString());
    if (remove.step() != SQLITE_DONE) {
        throw stepError(database_);
    }
}

void CallMetadataStore::rewriteStoredPaths(const std::filesystem::path& from,
                                           const std::filesystem::path& to) {
    for (CallSession session : listSessions(true)) {
        rebase(session.localMicAudioPath, from, to);
        rebase(session.remoteSystemAudioPath, from, to);
        rebase(session.mixedPreviewAudioPath, from, to);
        update(session);
    }
}

std::optional<std::string> CallMetadataStore::cleanTitle(const std::optional<std::string>& title) {
    return cleanCallTitle(title);
}

std::string CallMetadataStore::fallbackTitle(const std::optional<std::string>& appName,
                                             CallDate date) {
    return fallbackCallTitle(appName, date);
}

}  // namespace amberlin
