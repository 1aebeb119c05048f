// A model's schedules evaluated: an environment's calendar of days (their
// weekday, special day and daylight saving) and a schedule's value at each
// time step of them.
#include "core/schedules/schedules.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "core/schedules/reading.h"

namespace tarvix::schedules {

using namespace detail;

std::string_view day_type_name(int day_type) noexcept {
    static constexpr std::string_view names[] = {
        "",         "Sunday",  "Monday",          "Tuesday",         "Wednesday",  "Thursday",  "Friday",
        "Saturday", "Holiday", "SummerDesignDay", "WinterDesignDay", "CustomDay1", "CustomDay2"};
    return day_type >= 0 && day_type <= kDayTypes ? names[day_type] : std::string_view();
}

Model::FileStamp stamp_of(const std::string& path) {
    Model::FileStamp stamp;
    stamp.path = path;
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    stamp.regular = !error && std::filesystem::is_regular_file(status);
    if (stamp.regular) {
        stamp.size = std::filesystem::file_size(path, error);
        const auto time = std::filesystem::last_write_time(path, error);
        if (!error) stamp.modified = time.time_since_epoch().count();
    }
    return stamp;
}

bool files_unchanged(const Model& model) {
    for (const Model::FileStamp& stamp : model.files) {
        const Model::FileStamp now = stamp_of(stamp.path);
        if (now.regular != stamp.regular || now.size != stamp.size || now.modified != stamp.modified) return false;
    }
    return true;
}

bool read_weather_date(std::string_view text, Model::SpecialDay& out) {
    const auto date = parse_date(text);
    if (!date) return false;
    out = *date;
    out.type = 1;
    return true;
}

std::vector<Day> calendar(const Model& model, const Environment& env, const WeatherCalendar* weather) {
    const bool leap_years = !weather || weather->leap_years;
    const auto leap_year = [&](int y) { return leap_years && is_leap(y); };
    std::vector<Day> days;
    if (!env.error.empty()) return days;
    if (env.design_day) {
        Day d;
        d.month = env.begin_month;
        d.day = env.begin_day;
        d.weekday = env.start_weekday;
        d.special = env.day_type >= kFirstSpecialDay ? env.day_type : 0;
        d.dst = env.dst;
        days.push_back(d);
        return days;
    }
    int year = env.begin_year, month = env.begin_month, day = env.begin_day, weekday = env.start_weekday;
    const int end_key = env.end_year * 10000 + env.end_month * 100 + env.end_day;
    // Special days and daylight saving, resolved for each year of the run.
    int resolved_year = -1;
    std::vector<int> special(367, 0), dst(367, 0);
    const auto resolve = [&](int y, int first_weekday_of_year) {
        resolved_year = y;
        std::fill(special.begin(), special.end(), 0);
        std::fill(dst.begin(), dst.end(), 0);
        const bool leap = leap_year(y);
        const int add = leap ? 1 : 0;
        int first_of[13];
        int wd = first_weekday_of_year;
        for (int m = 1; m <= 12; ++m) {
            first_of[m] = wd;
            wd = (wd - 1 + month_length(m, leap)) % 7 + 1;
        }
        const auto date_day = [&](const Model::SpecialDay& s) -> int {
            if (s.form == 0) return ordinal_day(s.month, s.day, add);
            int d = s.weekday - first_of[s.month] + 1;
            if (s.weekday < first_of[s.month]) d += 7;
            if (s.form == 1) {
                d += 7 * (s.nth - 1);
                if (d > month_length(s.month, leap)) return 0;
            } else {
                while (d + 7 <= month_length(s.month, leap)) d += 7;
            }
            return ordinal_day(s.month, d, add);
        };
        const int ndays = leap ? 366 : 365;
        const auto weekday_of_doy = [&](int j) { return (first_weekday_of_year - 1 + (j - 1)) % 7 + 1; };
        // The weather file's holidays first, then the document's: a later one wins.
        std::vector<Model::SpecialDay> specials;
        if (weather && env.weather_holidays) specials = weather->holidays;
        specials.insert(specials.end(), model.special_days.begin(), model.special_days.end());
        for (const Model::SpecialDay& s : specials) {
            int j = date_day(s);
            if (j <= 0) continue;
            // A one-day holiday on a weekend is observed on the Monday, as
            // the engine moves it, but for the year's last day, which stays.
            if (s.form == 0 && s.duration == 1 && env.weekend_rule && j < ndays) {
                if (weekday_of_doy(j) == kSunday) {
                    j += 1;
                } else if (weekday_of_doy(j) == kSaturday) {
                    j += 2;
                }
                if (j > ndays) j -= ndays;
            }
            for (int k = 0; k < std::min(s.duration, ndays); ++k)
                special[static_cast<size_t>((j - 1 + k) % ndays + 1)] = s.type;
        }
        // The document's daylight saving period, else the weather file's when the run uses it.
        const bool from_weather = !model.has_dst && weather && weather->has_dst && env.weather_dst;
        if (model.has_dst || from_weather) {
            const int js = date_day(from_weather ? weather->dst_start : model.dst_start);
            const int je = date_day(from_weather ? weather->dst_end : model.dst_end);
            if (js > 0 && je > 0) {
                if (je >= js) {
                    for (int j = js; j <= je; ++j) dst[static_cast<size_t>(j)] = 1;
                } else {
                    for (int j = js; j <= ndays; ++j) dst[static_cast<size_t>(j)] = 1;
                    for (int j = 1; j <= je; ++j) dst[static_cast<size_t>(j)] = 1;
                }
            }
        }
    };
    for (int guard = 0; guard < 366 * 400; ++guard) {
        if (year != resolved_year) {
            // The weekday of Jan 1 of this year, counted back from the day in hand.
            const int doy = ordinal_day(month, day, leap_year(year) ? 1 : 0);
            resolve(year, ((weekday - 1 - (doy - 1)) % 7 + 7) % 7 + 1);
        }
        const int doy = ordinal_day(month, day, leap_year(year) ? 1 : 0);
        Day d;
        d.year = year;
        d.month = month;
        d.day = day;
        d.weekday = weekday;
        d.special = special[static_cast<size_t>(doy)];
        d.dst = dst[static_cast<size_t>(doy)] != 0;
        days.push_back(d);
        if (year * 10000 + month * 100 + day >= end_key) break;
        weekday = weekday % 7 + 1;
        if (++day > month_length(month, leap_year(year))) {
            day = 1;
            if (++month > 12) {
                month = 1;
                ++year;
            }
        }
    }
    return days;
}

void values(const Model& model, size_t index, const std::vector<Day>& days, double* out) noexcept {
    const int n = model.timesteps;
    const std::vector<int32_t>& weeks = model.year_weeks[index];
    const bool follows_dst = model.follows_dst[index] != 0;
    size_t at = 0;
    for (size_t i = 0; i < days.size(); ++i) {
        const Day& d = days[i];
        for (int hr = 1; hr <= 24; ++hr) {
            int this_hr = hr + (d.dst && follows_dst ? 1 : 0);
            int doy = ordinal_day(d.month, d.day, 1);
            int day_type = d.day_type();
            if (this_hr > 24) {
                this_hr -= 24;
                doy += 1;
                // Tomorrow's day type; past the last day (a design day's tomorrow is
                // itself) the day's own.
                if (i + 1 < days.size()) day_type = days[i + 1].day_type();
            }
            if (doy == 367) doy = 1;
            const auto& week = model.weeks[static_cast<size_t>(weeks[static_cast<size_t>(doy)])];
            const std::vector<double>& day_values =
                model.days[static_cast<size_t>(week[static_cast<size_t>(day_type)])];
            for (int ts = 0; ts < n; ++ts) out[at++] = day_values[static_cast<size_t>((this_hr - 1) * n + ts)];
        }
    }
}

}  // namespace tarvix::schedules
