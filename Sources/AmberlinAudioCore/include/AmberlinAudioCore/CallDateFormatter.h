// Writes a call's start time for its fallback title: a medium date and a short time in one POSIX
// locale and the process's local time zone.
//
// Which locale: the shared formatter uses the locale the environment selects for time
// formatting, resolved once, on first use, the POSIX way: $LC_ALL, else $LC_TIME, else $LANG
// (the first that is set and non-empty); none set, or a locale that is not installed, means the
// C locale. The time zone is the process's local zone (TZ, else the system's) at each call.
//
// Layout: in the C/POSIX locale and in English locales (names beginning "en"), the month
// abbreviation, day, year, "at" and the time: "Jan 5, 2026 at 2:03 PM". In any other locale, the
// locale's own date representation (%x), a comma and a space, then the time. The time is h:mm
// with the locale's AM/PM designators when the locale writes times on a 12-hour clock (the C
// locale counts as 12-hour, as US English does), otherwise HH:mm. Month names and designators
// come from the locale's data.
//
// Threads: a formatter is immutable after construction and may be used from any thread.
#ifndef AMBERLINAUDIOCORE_CALLDATEFORMATTER_H
#define AMBERLINAUDIOCORE_CALLDATEFORMATTER_H

#include <locale.h>

#include <chrono>
#include <string>
#include <string_view>

namespace amberlin {

/// Medium-date, short-time formatting of a wall-clock time in one locale.
class CallDateFormatter {
  public:
    /// A formatter for the named locale ("C", "en_US.UTF-8", ...); an empty name resolves the
    /// environment's choice as described above. A locale that is not installed means "C".
    explicit CallDateFormatter(std::string_view localeName);
    ~CallDateFormatter();
    CallDateFormatter(const CallDateFormatter&) = delete;
    CallDateFormatter& operator=(const CallDateFormatter&) = delete;

    /// The formatter of the environment's locale, created on first use and kept for the process.
    static const CallDateFormatter& shared();
    /// The locale actually in use ("C" when the requested one was not available).
    const std::string& localeName() const noexcept { return name_; }
    /// `date` in the process's local time zone, e.g. "Jan 5, 2026 at 2:03 PM".
    std::string string(std::chrono::system_clock::time_point date) const;

  private:
    std::string timeText(const struct tm& local) const;
    std::string dateText(const struct tm& local) const;

    locale_t locale_;
    std::string name_;
    bool englishLayout_;
    bool twelveHourClock_;
};

}  // namespace amberlin

#endif
