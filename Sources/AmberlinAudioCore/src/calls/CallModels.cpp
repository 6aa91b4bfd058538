// Call records: enumerations, payload coding, dates, context trimming and titles.
#include "AmberlinAudioCore/CallModels.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <pwd.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "AmberlinAudioCore/CallDateFormatter.h"
#include "settings/JsonFields.h"
#include "settings/PrettyJson.h"

namespace amberlin {
namespace {

using Json = nlohmann::json;
namespace chrono = std::chrono;

constexpr std::array<std::string_view, 5> kStatusNames{"recording", "finalizing", "completed",
                                                       "failed", "deleted"};

// Raw value, display name and file name of each track role, in declaration order.
struct RoleNames {
    std::string_view raw;
    std::string_view display;
    std::string_view file;
};
constexpr std::array<RoleNames, 3> kRoleNames{{
    {"localMic", "You", "local-mic.wav"},
    {"remoteSystem", "Call Audio", "remote-system.wav"},
    {"mixedPreview", "Mixed", "mixed-preview.wav"},
}};

// The index of `raw` among the names `nameOf` yields for each case of E.
template <class E, class NameOf>
std::optional<E> caseNamed(std::string_view raw, NameOf nameOf) {
    for (const E value : allCases<E>) {
        if (nameOf(value) == raw) {
            return value;
        }
    }
    return std::nullopt;
}

// Writes `value` under `key` only when it is present.
void putOptional(Json& json, const char* key, const std::optional<std::string>& value) {
    if (value) {
        json[key] = *value;
    }
}

// An optional string field: missing or null is absent; another type is a decoding error.
std::optional<std::string> readOptionalString(const Json& json, const char* key) {
    if (const Json* value = json_fields::optional(json, key)) {
        return json_fields::toString(*value);
    }
    return std::nullopt;
}

// A date field in exactly the written form.
CallDate readDate(const Json& value) {
    const std::optional<CallDate> date = dateFromIso8601(json_fields::toString(value));
    if (!date) {
        json_fields::fail(value, "a date as YYYY-MM-DDTHH:MM:SSZ");
    }
    return *date;
}

// Byte length of the Unicode White_Space character starting at `at`, or 0 for anything else.
std::size_t whitespaceLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
    };
    const unsigned b0 = byte(at), b1 = byte(at + 1), b2 = byte(at + 2);
    if (b0 == ' ' || (b0 >= 0x09 && b0 <= 0x0D)) {
        return 1;
    }
    if (b0 == 0xC2 && (b1 == 0x85 || b1 == 0xA0)) {
        return 2;  // U+0085 next line, U+00A0 no-break space
    }
    const unsigned point = (b0 & 0x0Fu) << 12 | (b1 & 0x3Fu) << 6 | (b2 & 0x3Fu);
    const bool threeBytes = (b0 & 0xF0u) == 0xE0 && (b1 & 0xC0u) == 0x80 && (b2 & 0xC0u) == 0x80;
    const bool space = point == 0x1680 || (point >= 0x2000 && point <= 0x200A) || point == 0x2028 ||
                       point == 0x2029 || point == 0x202F || point == 0x205F || point == 0x3000;
    return threeBytes && space ? 3 : 0;
}

// Start of the UTF-8 character that ends just before `end` (at most three bytes back).
std::size_t previousCharacter(std::string_view text, std::size_t end) {
    std::size_t start = end - 1;
    while (start > 0 && end - start < 3 &&
           (static_cast<unsigned char>(text[start]) & 0xC0u) == 0x80) {
        --start;
    }
    return start;
}

// The runs of non-white-space characters of `text`, in order.
std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> found;
    std::size_t at = 0, wordStart = 0;
    while (at < text.size()) {
        const std::size_t space = whitespaceLength(text, at);
        if (space > 0 && at > wordStart) {
            found.push_back(text.substr(wordStart, at - wordStart));
        }
        at += space > 0 ? space : 1;
        wordStart = space > 0 ? at : wordStart;
    }
    if (wordStart < text.size()) {
        found.push_back(text.substr(wordStart));
    }
    return found;
}

// The trimmed value, or absent when nothing is left.
std::optional<std::string> trimmedOrAbsent(const std::optional<std::string>& value) {
    if (!value) {
        return std::nullopt;
    }
    std::string trimmed = trimWhitespace(*value);
    return trimmed.empty() ? std::nullopt : std::optional<std::string>(std::move(trimmed));
}

// Two-digit decimal field of `text` at `at`, or -1 when either character is not a digit.
int digits(std::string_view text, std::size_t at, std::size_t count) {
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// True when the separators of "YYYY-MM-DDTHH:MM:SSZ" are where they belong.
bool hasDateSeparators(std::string_view text) {
    return text.size() == 20 && text[4] == '-' && text[7] == '-' && text[10] == 'T' &&
           text[13] == ':' && text[16] == ':' && text[19] == 'Z';
}

// The home directory: $HOME, else the password database's entry for the user.
std::optional<std::filesystem::path> homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        return std::filesystem::path(home);
    }
    std::vector<char> storage(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, storage.data(), storage.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && *found->pw_dir == '/') {
        return std::filesystem::path(found->pw_dir);
    }
    return std::nullopt;
}

// Renames `from` to `to` unless something exists at `to`; on a file system without atomic
// no-replace renames, a plain rename after checking again. Returns true on success.
bool renameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    std::error_code error;
    return !std::filesystem::exists(std::filesystem::symlink_status(to, error)) &&
           std::rename(from.c_str(), to.c_str()) == 0;
}

// True when anything (even a dangling link) exists at `path`.
bool entryExists(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

}  // namespace

std::string_view rawValue(CallSessionStatus status) {
    return kStatusNames.at(static_cast<std::size_t>(status));
}
std::string_view rawValue(AudioTrackRole role) {
    return kRoleNames.at(static_cast<std::size_t>(role)).raw;
}
std::string_view displayName(AudioTrackRole role) {
    return kRoleNames.at(static_cast<std::size_t>(role)).display;
}
std::string_view fileName(AudioTrackRole role) {
    return kRoleNames.at(static_cast<std::size_t>(role)).file;
}

template <>
std::optional<CallSessionStatus> fromRawValue<CallSessionStatus>(std::string_view raw) {
    return caseNamed<CallSessionStatus>(raw, [](CallSessionStatus s) { return rawValue(s); });
}
template <>
std::optional<AudioTrackRole> fromRawValue<AudioTrackRole>(std::string_view raw) {
    return caseNamed<AudioTrackRole>(raw, [](AudioTrackRole r) { return rawValue(r); });
}

void to_json(Json& json, CallSessionStatus status) {
    json = std::string(rawValue(status));
}

void from_json(const Json& json, CallSessionStatus& status) {
    const std::optional<CallSessionStatus> value =
        fromRawValue<CallSessionStatus>(json_fields::toString(json));
    if (!value) {
        json_fields::fail(json, "a call status raw value");
    }
    status = *value;
}

void to_json(Json& json, const CallSession& session) {
    json = Json::object();
    json["id"] = session.id.uuidString();
    json["title"] = session.title;
    json["startedAt"] = iso8601String(session.startedAt);
    if (session.endedAt) {
        json["endedAt"] = iso8601String(*session.endedAt);
    }
    json["status"] = session.status;
    putOptional(json, "appName", session.appName);
    putOptional(json, "localMicAudioPath", session.localMicAudioPath);
    putOptional(json, "remoteSystemAudioPath", session.remoteSystemAudioPath);
    putOptional(json, "mixedPreviewAudioPath", session.mixedPreviewAudioPath);
    json["remoteAudioMissing"] = session.remoteAudioMissing;
}

void from_json(const Json& json, CallSession& session) {
    CallSession s;
    const Json& id = json_fields::required(json, "id");
    const std::optional<Uuid> uuid = Uuid::fromString(json_fields::toString(id));
    if (!uuid) {
        json_fields::fail(id, "a UUID");
    }
    s.id = *uuid;
    s.title = json_fields::toString(json_fields::required(json, "title"));
    s.startedAt = readDate(json_fields::required(json, "startedAt"));
    if (const Json* ended = json_fields::optional(json, "endedAt")) {
        s.endedAt = readDate(*ended);
    }
    json_fields::required(json, "status").get_to(s.status);
    s.appName = readOptionalString(json, "appName");
    s.localMicAudioPath = readOptionalString(json, "localMicAudioPath");
    s.remoteSystemAudioPath = readOptionalString(json, "remoteSystemAudioPath");
    s.mixedPreviewAudioPath = readOptionalString(json, "mixedPreviewAudioPath");
    if (const Json* missing = json_fields::optional(json, "remoteAudioMissing")) {
        s.remoteAudioMissing = json_fields::toBool(*missing);
    }
    session = std::move(s);
}

std::string encodeCallPayload(const CallSession& session) {
    return prettyJsonWithEscapedSlashes(Json(session));
}

CallSession decodeCallPayload(std::string_view text) {
    return Json::parse(text).get<CallSession>();
}

std::string iso8601String(CallDate date) {
    const auto seconds = chrono::floor<chrono::seconds>(date);
    const auto day = chrono::floor<chrono::days>(seconds);
    const chrono::year_month_day ymd(day);
    const chrono::hh_mm_ss time(seconds - day);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", static_cast<int>(ymd.year()),
                       static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                       time.hours().count(), time.minutes().count(), time.seconds().count());
}

std::optional<CallDate> dateFromIso8601(std::string_view text) {
    if (!hasDateSeparators(text)) {
        return std::nullopt;
    }
    const int year = digits(text, 0, 4), month = digits(text, 5, 2), day = digits(text, 8, 2);
    const int hour = digits(text, 11, 2), minute = digits(text, 14, 2),
              second = digits(text, 17, 2);
    const chrono::year_month_day ymd{chrono::year(year),
                                     chrono::month(static_cast<unsigned>(month)),
                                     chrono::day(static_cast<unsigned>(day))};
    if (year < 0 || month < 0 || day < 0 || !ymd.ok() || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59) {
        return std::nullopt;
    }
    const chrono::sys_seconds when = chrono::sys_days(ymd) + chrono::hours(hour) +
                                     chrono::minutes(minute) + chrono::seconds(second);
    // A CallDate counts nanoseconds in 64 bits (1677-09-21 to 2262-04-11); converting a date
    // outside that span would overflow, so such a date has no CallDate.
    if (when < chrono::ceil<chrono::seconds>(CallDate::min()) ||
        when > chrono::floor<chrono::seconds>(CallDate::max())) {
        return std::nullopt;
    }
    return CallDate(when);
}

double secondsSince1970(CallDate date) {
    return chrono::duration<double>(date.time_since_epoch()).count();
}

CallSessionContext::CallSessionContext(std::optional<std::string> contextTitle,
                                       std::optional<std::string> contextAppName)
    : title(trimmedOrAbsent(contextTitle)), appName(trimmedOrAbsent(contextAppName)) {}

std::string trimWhitespace(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size() && whitespaceLength(text, start) > 0) {
        start += whitespaceLength(text, start);
    }
    std::size_t end = text.size();
    while (end > start) {
        const std::size_t last = previousCharacter(text, end);
        if (last < start || whitespaceLength(text, last) != end - last) {
            break;
        }
        end = last;
    }
    return std::string(text.substr(start, end - start));
}

std::optional<std::string> cleanCallTitle(const std::optional<std::string>& title) {
    if (!title) {
        return std::nullopt;
    }
    const std::vector<std::string_view> parts = words(*title);
    if (parts.empty()) {
        return std::nullopt;
    }
    return fmt::format("{}", fmt::join(parts, " "));
}

std::string fallbackCallTitle(const std::optional<std::string>& appName, CallDate date) {
    const std::string when = CallDateFormatter::shared().string(date);
    if (const std::optional<std::string> app = cleanCallTitle(appName)) {
        return *app + " Call " + when;
    }
    return "Call " + when;
}

CallDataPaths::CallDataPaths(std::filesystem::path root)
    : rootDirectory(std::move(root)),
      callsDirectory(rootDirectory / "Calls"),
      databaseURL(rootDirectory / "Calls.sqlite") {}

std::filesystem::path CallDataPaths::userDataDirectory() {
    std::filesystem::path directory;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/') {
        directory = xdg;
    } else if (const std::optional<std::filesystem::path> home = homeDirectory()) {
        directory = *home / ".local" / "share";
    } else {
        throw std::filesystem::filesystem_error(
            "no user data directory", std::make_error_code(std::errc::no_such_file_or_directory));
    }
    std::filesystem::create_directories(directory);
    return directory;
}

CallDataPaths CallDataPaths::defaultPaths() {
    return CallDataPaths(userDataDirectory() / folderName);
}

std::optional<std::filesystem::path> CallDataPaths::migrateLegacyFolderIfNeeded() {
    std::filesystem::path base;
    try {
        base = userDataDirectory();
    } catch (const std::exception&) {
        return std::nullopt;
    }
    const std::filesystem::path legacy = base / legacyFolderName;
    const std::filesystem::path current = base / folderName;
    if (!entryExists(legacy) || entryExists(current)) {
        return std::nullopt;
    }
    return renameWithoutReplacing(legacy, current) ? std::optional(legacy) : std::nullopt;
}

void CallDataPaths::prepareDirectories() const {
    std::filesystem::create_directories(rootDirectory);
    std::filesystem::create_directories(callsDirectory);
}

std::filesystem::path CallDataPaths::directory(const Uuid& id) const {
    return callsDirectory / id.uuidString();
}

}  // namespace amberlin
