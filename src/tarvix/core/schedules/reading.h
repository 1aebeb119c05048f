// What the schedule reader's parts share: calendar arithmetic, the words
// of dates and day types, field values read as numbers, and a day's
// "Until" times laid over its minutes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/document/fields.h"
#include "core/schedules/schedules.h"
#include "core/text/text.h"

namespace tarvix::schedules::detail {

inline constexpr int kCumulative[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
inline constexpr int kMonthDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

inline int ordinal_day(int month, int day, int leap) noexcept {
    if (month < 1 || month > 12) return 0;
    return day + kCumulative[month - 1] + (month >= 3 ? leap : 0);
}

inline bool is_leap(int year) noexcept { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

inline int month_length(int month, bool leap) noexcept { return month == 2 ? (leap ? 29 : 28) : kMonthDays[month - 1]; }

// 1 Sunday .. 7 Saturday.
inline int weekday_of(int year, int month, int day) noexcept {
    static constexpr int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) year -= 1;
    return (year + year / 4 - year / 100 + year / 400 + t[month - 1] + day) % 7 + 1;
}

inline std::string upper(std::string_view text) { return to_upper(std::string(text)); }

inline std::string_view at(ValuesView values, int32_t index) noexcept { return field_text(values, index); }

inline std::optional<double> number(std::string_view text) noexcept { return field_number(text); }

inline double number_or(std::string_view text, double fallback) noexcept { return number(text).value_or(fallback); }

// A number as an int, clamped to what any field here can mean (a cast of a
// number past the range of int is undefined).
inline int whole(double value) noexcept {
    if (!(value > -1e6)) return -1000000;
    if (!(value < 1e6)) return 1000000;
    return static_cast<int>(value);
}

inline int weekday_named(std::string_view word) noexcept {
    static constexpr std::string_view days[] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};
    const std::string w = upper(word.substr(0, 3));
    for (int k = 0; k < 7; ++k)
        if (w == days[k]) return k + 1;
    return 0;
}

inline int month_named(std::string_view word) noexcept {
    static constexpr std::string_view months[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                  "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    const std::string w = upper(word.substr(0, 3));
    for (int k = 0; k < 12; ++k)
        if (w == months[k]) return k + 1;
    return 0;
}

inline int day_type_named(std::string_view word) noexcept {
    const std::string w = upper(trimmed(word));
    for (int k = 1; k <= kDayTypes; ++k)
        if (w == upper(day_type_name(k))) return k;
    return 0;
}

// A date as the engine reads one: "12/31", "Dec 31", "31 December",
// "12/31/2020", "2nd Monday in October", "Last Sunday in March".
std::optional<Model::SpecialDay> parse_date(std::string_view text);

enum class Interp { no, average, linear };
Interp interp_of(std::string_view text);

// A day as minute values, then as step values: a step takes its mean
// (average) or the value of its last minute.
std::vector<double> from_minutes(const std::vector<double>& minutes, Interp interp, int n);

// "Until" times and values over the minutes of a day, as the engine lays
// them down: each time ends its interval (07:00 covers up to 06:59); linear
// ramps from the previous value, the first interval flat.
struct DayCover {
    int bad_time = -1;    // the pair whose time does not read, -1 for none
    int last_minute = 0;  // minutes covered from midnight (1440: the whole day)
    bool complete() const noexcept { return bad_time < 0 && last_minute >= 1440; }
};
DayCover minutes_of(const std::vector<std::pair<std::string_view, double>>& pairs, Interp interp,
                    std::vector<double>& minutes);

// For messages: a time of day (minutes from midnight) as h:mm, a day of a
// leap year as month/day, and at most 60 bytes of a text.
std::string clock(int minutes);
std::string date_of(int day_of_year);
std::string excerpt(std::string_view text, size_t kLongest = 60);

}  // namespace tarvix::schedules::detail
