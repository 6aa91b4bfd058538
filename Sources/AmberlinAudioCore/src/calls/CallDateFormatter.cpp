// Date formatting over the POSIX locale data (newlocale, nl_langinfo_l, strftime_l).
#include "AmberlinAudioCore/CallDateFormatter.h"

#include <fmt/format.h>
#include <langinfo.h>

#include <cstdlib>
#include <ctime>
#include <string_view>

namespace amberlin {
namespace {

// The environment's locale name for time formatting; empty when none is set.
std::string environmentLocaleName() {
    for (const char* variable : {"LC_ALL", "LC_TIME", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return value;
        }
    }
    return {};
}

// True for "C", "POSIX" and their encoding variants such as "C.UTF-8".
bool isPortableLocale(std::string_view name) {
    return name == "C" || name == "POSIX" || name.starts_with("C.");
}

// True for English locales: "en" followed by nothing or by a territory, codeset or modifier.
bool isEnglishLocale(std::string_view name) {
    return name.starts_with("en") &&
           (name.size() == 2 || name[2] == '_' || name[2] == '.' || name[2] == '@');
}

// True when the locale's time format shows the hour on a 12-hour clock.
bool usesTwelveHourClock(locale_t locale) {
    const std::string_view format = nl_langinfo_l(T_FMT, locale);
    return format.find("%I") != std::string_view::npos ||
           format.find("%l") != std::string_view::npos ||
           format.find("%r") != std::string_view::npos;
}

// A locale designator, or the fallback when the locale leaves it empty.
std::string_view itemOr(nl_item item, locale_t locale, std::string_view fallback) {
    const std::string_view text = nl_langinfo_l(item, locale);
    return text.empty() ? fallback : text;
}

}  // namespace

CallDateFormatter::CallDateFormatter(std::string_view localeName)
    : name_(localeName.empty() ? environmentLocaleName() : std::string(localeName)) {
    locale_ = name_.empty() ? nullptr : newlocale(LC_ALL_MASK, name_.c_str(), nullptr);
    if (locale_ == nullptr) {
        name_ = "C";
        locale_ = newlocale(LC_ALL_MASK, "C", nullptr);
    }
    const bool portable = isPortableLocale(name_);
    englishLayout_ = portable || isEnglishLocale(name_);
    twelveHourClock_ = portable || usesTwelveHourClock(locale_);
}

CallDateFormatter::~CallDateFormatter() {
    freelocale(locale_);
}

const CallDateFormatter& CallDateFormatter::shared() {
    static const CallDateFormatter formatter("");
    return formatter;
}

std::string CallDateFormatter::string(std::chrono::system_clock::time_point date) const {
    const std::time_t seconds =
        std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(date));
    struct tm local {};
    localtime_r(&seconds, &local);
    return dateText(local) + timeText(local);
}

// The date and the joint before the time: "Jan 5, 2026 at " or "<%x>, ".
std::string CallDateFormatter::dateText(const struct tm& local) const {
    if (englishLayout_) {
        const std::string_view month = nl_langinfo_l(ABMON_1 + local.tm_mon, locale_);
        return fmt::format("{} {}, {} at ", month, local.tm_mday, local.tm_year + 1900);
    }
    char text[128];
    const std::size_t length = strftime_l(text, sizeof text, "%x", &local, locale_);
    return std::string(text, length) + ", ";
}

// "2:03 PM" on a 12-hour clock, "14:03" on a 24-hour one.
std::string CallDateFormatter::timeText(const struct tm& local) const {
    if (!twelveHourClock_) {
        return fmt::format("{:02}:{:02}", local.tm_hour, local.tm_min);
    }
    const bool afternoon = local.tm_hour >= 12;
    const int hour = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
    const std::string_view designator =
        afternoon ? itemOr(PM_STR, locale_, "PM") : itemOr(AM_STR, locale_, "AM");
    return fmt::format("{}:{:02} {}", hour, local.tm_min, designator);
}

}  // namespace amberlin
