// The call store's value types: the record of one call with its status and track roles, the
// context of a call in progress, the store's folder layout, the record's stored JSON form and the
// rules that give a call its title.
//
// Threads: everything here is a value or a pure function and may be used from any thread.
#ifndef AMBERLINAUDIOCORE_CALLMODELS_H
#define AMBERLINAUDIOCORE_CALLMODELS_H

#include <array>
#include <chrono>
#include <filesystem>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "AmberlinAudioCore/SuppressionMode.h"
#include "AmberlinAudioCore/Uuid.h"

namespace amberlin {

/// A point in time on the system's wall clock (UTC based, nanosecond resolution).
using CallDate = std::chrono::system_clock::time_point;

/// Where a call stands; the declaration order is the raw values' order.
enum class CallSessionStatus { recording, finalizing, completed, failed, deleted };

/// The three audio tracks of a call, in their listing order.
enum class AudioTrackRole { localMic, remoteSystem, mixedPreview };

template <>
inline constexpr std::array<CallSessionStatus, 5> allCases<CallSessionStatus>{
    CallSessionStatus::recording, CallSessionStatus::finalizing, CallSessionStatus::completed,
    CallSessionStatus::failed, CallSessionStatus::deleted};
template <>
inline constexpr std::array<AudioTrackRole, 3> allCases<AudioTrackRole>{
    AudioTrackRole::localMic, AudioTrackRole::remoteSystem, AudioTrackRole::mixedPreview};

/// The stored string: "recording", "finalizing", "completed", "failed", "deleted".
std::string_view rawValue(CallSessionStatus status);
/// The stored string: "localMic", "remoteSystem", "mixedPreview".
std::string_view rawValue(AudioTrackRole role);
/// The name shown to users: "You", "Call Audio", "Mixed".
std::string_view displayName(AudioTrackRole role);
/// The track's file name in a call directory: "local-mic.wav", "remote-system.wav",
/// "mixed-preview.wav".
std::string_view fileName(AudioTrackRole role);

template <>
std::optional<CallSessionStatus> fromRawValue<CallSessionStatus>(std::string_view raw);
template <>
std::optional<AudioTrackRole> fromRawValue<AudioTrackRole>(std::string_view raw);

/// JSON: the raw value as a string.
void to_json(nlohmann::json& json, CallSessionStatus status);
/// Decodes exactly the five raw values; anything else throws a nlohmann::json::exception.
void from_json(const nlohmann::json& json, CallSessionStatus& status);

/// The record of one recorded call; paths are plain absolute path strings.
struct CallSession {
    Uuid id;                          ///< names the call directory and the row
    std::string title;                ///< display title
    CallDate startedAt;               ///< when the session was created
    std::optional<CallDate> endedAt;  ///< set when the session is finalised
    CallSessionStatus status = CallSessionStatus::recording;
    std::optional<std::string> appName;                ///< the meeting application, if known
    std::optional<std::string> localMicAudioPath;      ///< the local microphone track
    std::optional<std::string> remoteSystemAudioPath;  ///< the far-end (system audio) track
    std::optional<std::string> mixedPreviewAudioPath;  ///< the mixed preview
    bool remoteAudioMissing = false;  ///< the far end could not be captured or was lost

    friend bool operator==(const CallSession&, const CallSession&) = default;
};

/// The payload object: sorted keys, dates as whole-second UTC text, absent optionals left out.
void to_json(nlohmann::json& json, const CallSession& session);
/// Requires "id", "title", "startedAt" and "status"; other keys may be missing or null. A value
/// of the wrong type, a date in any other form or an unknown status throws
/// nlohmann::json::exception for the whole record.
void from_json(const nlohmann::json& json, CallSession& session);

/// The payload text: sorted keys, pretty-printed, every "/" inside a string written as "\/".
/// Throws nlohmann::json::exception when a text field is not valid UTF-8.
std::string encodeCallPayload(const CallSession& session);
/// Decodes payload text (any valid JSON layout); throws nlohmann::json::exception when the text
/// is not JSON or not a decodable record.
CallSession decodeCallPayload(std::string_view text);

/// `date` as "YYYY-MM-DDTHH:MM:SSZ" in UTC, truncated to whole seconds (toward the past).
std::string iso8601String(CallDate date);
/// The date of text in exactly that form (a real calendar date and time that a CallDate can
/// hold, 1677-09-21T00:12:44Z to 2262-04-11T23:47:16Z); nothing otherwise.
std::optional<CallDate> dateFromIso8601(std::string_view text);
/// Seconds since 1970-01-01 00:00 UTC, with fractions.
double secondsSince1970(CallDate date);

/// What is known about a call in progress; values are trimmed, and blank values are absent.
struct CallSessionContext {
    std::optional<std::string> title;
    std::optional<std::string> appName;

    /// No title and no app name.
    CallSessionContext() = default;
    /// Trims white space and line breaks from both ends of each value; a value that is empty
    /// after trimming is stored as absent.
    CallSessionContext(std::optional<std::string> contextTitle,
                       std::optional<std::string> contextAppName);

    friend bool operator==(const CallSessionContext&, const CallSessionContext&) = default;
};

/// `text` without white space and line breaks (Unicode White_Space) at either end.
std::string trimWhitespace(std::string_view text);
/// The words of `title` joined by single spaces; absent when absent or blank.
std::optional<std::string> cleanCallTitle(const std::optional<std::string>& title);
/// "<cleaned app name> Call <date>", or "Call <date>" without an app name; the date is written
/// by the shared call date formatter (medium date, short time, user's locale and time zone).
std::string fallbackCallTitle(const std::optional<std::string>& appName, CallDate date);

/// Locations of the call store: the root folder, its "Calls" directory and "Calls.sqlite".
struct CallDataPaths {
    /// The current data folder's name.
    static constexpr std::string_view folderName = "Corvessa";
    /// The data folder's name in earlier versions.
    static constexpr std::string_view legacyFolderName = "Amberlin";

    std::filesystem::path rootDirectory;   ///< the application data folder
    std::filesystem::path callsDirectory;  ///< rootDirectory/"Calls"
    std::filesystem::path databaseURL;     ///< rootDirectory/"Calls.sqlite"

    /// Paths on `root`.
    explicit CallDataPaths(std::filesystem::path root);

    /// The user's data directory: $XDG_DATA_HOME when it is an absolute path, otherwise
    /// ~/.local/share (home from $HOME, else the password database). Created when missing;
    /// throws std::filesystem::filesystem_error when it cannot be found or created.
    static std::filesystem::path userDataDirectory();
    /// Paths on userDataDirectory()/"Corvessa"; throws as userDataDirectory() does.
    static CallDataPaths defaultPaths();
    /// Moves userDataDirectory()/"Amberlin" to ".../Corvessa" in one rename when the legacy folder
    /// exists and the current one does not (an existing current folder always wins). Returns the
    /// legacy folder's old location when it moved it; nothing otherwise, failures included.
    static std::optional<std::filesystem::path> migrateLegacyFolderIfNeeded();

    /// Creates rootDirectory, then callsDirectory (with parents; existing ones are fine); throws
    /// std::filesystem::filesystem_error on the first failure.
    void prepareDirectories() const;
    /// callsDirectory/"<canonical upper-case text of id>".
    std::filesystem::path directory(const Uuid& id) const;

    friend bool operator==(const CallDataPaths&, const CallDataPaths&) = default;
};

}  // namespace amberlin

#endif
