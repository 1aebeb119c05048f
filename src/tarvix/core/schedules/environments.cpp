// The environments the engine runs (design days, run periods), their
// special days and daylight saving period, as the reader takes them.
#include <algorithm>

#include "core/schedules/reader.h"

namespace tarvix::schedules::detail {

void Reader::read_environments() {
    for (const Named& o : objects(Cls::design_day)) {
        Environment e;
        e.design_day = true;
        e.name = std::string(at(o.values, 0));
        const int32_t month_field = field(o.cls, "month"), day_field = field(o.cls, "day of month");
        e.begin_month = e.end_month = whole(number_or(at(o.values, month_field), 1));
        e.begin_day = e.end_day = whole(number_or(at(o.values, day_field), 1));
        check_date(o, e, month_field, day_field, e.begin_month, e.begin_day);
        e.day_type = day_type_named(at(o.values, field(o.cls, "day type")));
        if (!e.day_type) e.day_type = kMonday;
        e.start_weekday = e.day_type < kFirstSpecialDay ? e.day_type : kMonday;
        e.dst = equal_fold(at(o.values, field(o.cls, "daylight saving time indicator")), "Yes");
        model_.environments.push_back(e);
    }
    for (const Named& o : objects(Cls::run_period)) {
        Environment e;
        e.name = std::string(at(o.values, 0));
        e.begin_month = whole(number_or(at(o.values, field(o.cls, "begin month")), 1));
        e.begin_day = whole(number_or(at(o.values, field(o.cls, "begin day of month")), 1));
        e.begin_year = whole(number_or(at(o.values, field(o.cls, "begin year")), 0));
        e.end_month = whole(number_or(at(o.values, field(o.cls, "end month")), 12));
        e.end_day = whole(number_or(at(o.values, field(o.cls, "end day of month")), 31));
        e.end_year = whole(number_or(at(o.values, field(o.cls, "end year")), 0));
        check_date(o, e, field(o.cls, "begin month"), field(o.cls, "begin day of month"), e.begin_month, e.begin_day);
        check_date(o, e, field(o.cls, "end month"), field(o.cls, "end day of month"), e.end_month, e.end_day);
        const int given = day_type_named(at(o.values, field(o.cls, "day of week for start day")));
        const std::string_view rule = at(o.values, field(o.cls, "apply weekend holiday rule"));
        e.weekend_rule = !equal_fold(rule, "No");
        e.weather_holidays = !equal_fold(at(o.values, field(o.cls, "use weather file holidays and special days")),
                                         "No");
        e.weather_dst = !equal_fold(at(o.values, field(o.cls, "use weather file daylight saving period")), "No");
        e.begin_month = std::clamp(e.begin_month, 1, 12);
        e.end_month = std::clamp(e.end_month, 1, 12);
        e.begin_day = std::clamp(e.begin_day, 1, month_length(e.begin_month, true));
        e.end_day = std::clamp(e.end_day, 1, month_length(e.end_month, true));
        // Years the engine takes run from 1583; another is as good as none.
        if (e.begin_year < 1583 || e.begin_year > 9999) e.begin_year = 0;
        if (e.end_year < 1583 || e.end_year > 9999) e.end_year = 0;
        if (e.begin_year == 0) {
            // No year: one whose start falls on the weekday given, else 2017 (2012 for a 2/29 start).
            const bool feb29 = e.begin_month == 2 && e.begin_day == 29;
            int year = feb29 ? 2012 : 2017;
            if (given >= kSunday && given <= kSaturday) {
                for (int y = year; y < year + 28 * 4; ++y) {
                    if (feb29 && !is_leap(y)) continue;
                    if (weekday_of(y, e.begin_month, e.begin_day) == given) {
                        year = y;
                        break;
                    }
                }
            }
            e.begin_year = year;
            e.start_weekday = given >= kSunday && given <= kSaturday ? given
                                                                     : weekday_of(year, e.begin_month, e.begin_day);
        } else {
            e.start_weekday = weekday_of(e.begin_year, e.begin_month, e.begin_day);
        }
        // An end before the start (a year that does not read, an earlier
        // one) ends in the year after; a run lasts a hundred years at most.
        if (e.end_year == 0 || e.end_year < e.begin_year) {
            e.end_year = e.begin_year;
            if (ordinal_day(e.end_month, e.end_day, 0) < ordinal_day(e.begin_month, e.begin_day, 0)) ++e.end_year;
        }
        e.end_year = std::min(e.end_year, e.begin_year + 100);
        model_.environments.push_back(e);
    }
    for (const Named& o : objects(Cls::special_days)) {
        auto date = parse_date(at(o.values, 1));
        if (!date) continue;
        // A special day lasts a year at most: a longer one covers the whole year.
        date->duration = std::clamp(whole(number_or(at(o.values, 2), 1)), 1, 366);
        date->type = day_type_named(at(o.values, 3));
        if (date->type < kFirstSpecialDay) date->type = kHoliday;
        model_.special_days.push_back(*date);
    }
    const auto& dst = objects(Cls::daylight_saving);
    if (!dst.empty()) {
        const auto start = parse_date(at(dst[0].values, 0)), end = parse_date(at(dst[0].values, 1));
        if (start && end) {
            model_.has_dst = true;
            model_.dst_start = *start;
            model_.dst_end = *end;
        }
    }
}

}  // namespace tarvix::schedules::detail
