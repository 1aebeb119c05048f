// The schedule reader: it gathers the objects of the classes it reads, then
// builds the model's days, weeks and years of every schedule, its
// environments and the findings along the way. Its parts live in
// reader.cpp (day, week, year and compact schedules, the limits),
// schedule_file.cpp (Schedule:File) and environments.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/hash.h"
#include "core/schedules/reading.h"

namespace tarvix::schedules::detail {

// The classes read, and their objects by class.
enum class Cls : uint8_t {
    timestep,
    constant,
    compact,
    year,
    week_daily,
    week_compact,
    day_hourly,
    day_interval,
    day_list,
    design_day,
    run_period,
    special_days,
    daylight_saving,
    file,
    type_limits,
};
constexpr std::string_view kClassNames[] = {
    "TIMESTEP",
    "SCHEDULE:CONSTANT",
    "SCHEDULE:COMPACT",
    "SCHEDULE:YEAR",
    "SCHEDULE:WEEK:DAILY",
    "SCHEDULE:WEEK:COMPACT",
    "SCHEDULE:DAY:HOURLY",
    "SCHEDULE:DAY:INTERVAL",
    "SCHEDULE:DAY:LIST",
    "SIZINGPERIOD:DESIGNDAY",
    "RUNPERIOD",
    "RUNPERIODCONTROL:SPECIALDAYS",
    "RUNPERIODCONTROL:DAYLIGHTSAVINGTIME",
    "SCHEDULE:FILE",
    "SCHEDULETYPELIMITS",
};
constexpr size_t kClassCount = sizeof kClassNames / sizeof kClassNames[0];

class Reader {
public:
    Reader(const SlotSource& slots, const c_IDD& schema, Model& model, const FileSearch& search)
        : slots_(slots),
          schema_(schema),
          model_(model),
          folder_(search.folder),
          own_folder_(search.own_folder),
          as_named_(search.as_named) {}

    void run();

private:
    struct Named {
        size_t slot;
        ValuesView values;
        const ClassDef* cls;
    };
    static int32_t field(const ClassDef* cls, std::string_view lower_name) noexcept {
        return field_position(cls, lower_name);
    }
    int32_t day_named(std::string_view name) const {
        const auto found = day_index_.find(upper(name));
        return found == day_index_.end() ? -1 : found->second;
    }
    int32_t week_named(std::string_view name) const {
        const auto found = week_index_.find(upper(name));
        return found == week_index_.end() ? -1 : found->second;
    }
    int32_t add_day(std::vector<double> values) {
        model_.days.push_back(std::move(values));
        return static_cast<int32_t>(model_.days.size() - 1);
    }
    int32_t missing_day() {
        if (missing_ < 0) missing_ = add_day(std::vector<double>(static_cast<size_t>(24 * model_.timesteps), 0.0));
        return missing_;
    }
    void finding(Model::FindingKind kind, size_t slot, int32_t field, std::string message) {
        model_.findings.push_back({kind, slot, field, std::move(message)});
    }
    // The findings of one day's times: a time that does not read, a day not
    // covered to 24:00. `first_field` is the field of the first time.
    void check_day(const DayCover& cover, size_t slot, int32_t first_field, int32_t step,
                   const std::vector<std::pair<std::string_view, double>>& pairs) {
        if (cover.bad_time >= 0) {
            finding(Model::FindingKind::bad_time, slot, first_field + step * cover.bad_time,
                    "'" + std::string(pairs[static_cast<size_t>(cover.bad_time)].first) +
                        "' is not a time of the day (hh:mm, at most 24:00).");
        } else if (cover.last_minute < 1440) {
            finding(Model::FindingKind::incomplete, slot,
                    pairs.empty() ? -1 : first_field + step * static_cast<int32_t>(pairs.size() - 1),
                    "the day's times stop at " + clock(cover.last_minute) +
                        ", short of 24:00; the engine stops at a day not covered.");
        }
    }
    void check_week(const std::array<bool, kDayTypes + 1>& assigned, size_t slot, int32_t field, std::string_view where,
                    bool severe) {
        std::string missing;
        for (int d = 1; d <= kDayTypes; ++d)
            if (!assigned[static_cast<size_t>(d)])
                missing += (missing.empty() ? "" : ", ") + std::string(day_type_name(d));
        if (missing.empty()) return;
        finding(Model::FindingKind::day_uncovered, slot, field,
                std::string(where) + " gives no day schedule for " + missing +
                    (severe ? "; the engine stops at a week without them." : "; the engine gives them 0.0."));
    }
    void add_schedule(const Named& object, std::vector<int32_t> weeks, bool follows_dst = true,
                      std::string error = {}) {
        // Feb 29 takes Feb 28's week when nothing covers it.
        if (weeks[60] < 0) weeks[60] = weeks[59];
        for (size_t d = 1; d <= 366; ++d)
            if (weeks[d] < 0) weeks[d] = missing_week();
        model_.names.emplace_back(at(object.values, 0));
        model_.slots.push_back(object.slot);
        model_.year_weeks.push_back(std::move(weeks));
        model_.follows_dst.push_back(follows_dst ? 1 : 0);
        model_.errors.push_back(std::move(error));
    }
    int32_t missing_week() {
        if (missing_week_ < 0) {
            std::array<int32_t, kDayTypes + 1> week;
            week.fill(missing_day());
            model_.weeks.push_back(week);
            missing_week_ = static_cast<int32_t>(model_.weeks.size() - 1);
        }
        return missing_week_;
    }
    // Which day types a "For:" field names, as the engine reads it.
    static void for_days(std::string_view text, std::array<bool, kDayTypes + 1>& these,
                         const std::array<bool, kDayTypes + 1>& already) {
        const std::string s = upper(text);
        const auto has = [&](std::string_view word) { return s.find(word) != std::string::npos; };
        these.fill(false);
        if (has("WEEKDAY"))
            for (int d = kMonday; d <= kFriday; ++d) these[static_cast<size_t>(d)] = true;
        static constexpr std::string_view days[] = {"SUNDAY",   "MONDAY", "TUESDAY", "WEDNESDAY",
                                                    "THURSDAY", "FRIDAY", "SATURDAY"};
        for (int d = 0; d < 7; ++d)
            if (has(days[d])) these[static_cast<size_t>(kSunday + d)] = true;
        if (has("WEEKEND")) these[kSunday] = these[kSaturday] = true;
        if (has("CUSTOMDAY1")) these[kCustomDay1] = true;
        if (has("CUSTOMDAY2")) these[kCustomDay2] = true;
        if (has("ALLDAY"))
            for (int d = 0; d <= kDayTypes; ++d) these[static_cast<size_t>(d)] = true;
        if (has("HOLIDAY")) these[kHoliday] = true;
        if (has("SUMMER")) these[kSummerDesignDay] = true;
        if (has("WINTER")) these[kWinterDesignDay] = true;
        if (has("ALLOTHERDAY"))
            for (int d = 0; d <= kDayTypes; ++d)
                if (!already[static_cast<size_t>(d)]) these[static_cast<size_t>(d)] = true;
    }

    void read_days();
    void read_weeks();
    void read_years();
    void read_compact(const Named& object);
    void read_file(const Named& object);
    void check_limits();
    void read_environments();

    // A month and day the engine refuses (a month past 12, a day past the
    // month's end; February 29 is one for a design day, not for a run
    // period) leave the environment without days, its error saying why,
    // and are a finding of the field.
    void check_date(const Named& o, Environment& e, int32_t month_field, int32_t day_field, int month, int day) {
        const bool leap = !e.design_day;
        if (!e.error.empty()) return;
        const auto field_name = [&](int32_t index) {
            return index >= 0 && static_cast<size_t>(index) < o.cls->fields.size()
                       ? std::string(o.cls->fields[static_cast<size_t>(index)].name)
                       : std::string();
        };
        const auto quoted = [&](int32_t index) {
            std::string text(at(o.values, index));
            if (text.size() > 40) text = text.substr(0, 40) + "...";
            return "'" + text + "'";
        };
        std::string why;
        int32_t where = -1;
        if (month < 1 || month > 12) {
            where = month_field;
            why = quoted(month_field) + " is not a month (1 to 12)";
        } else if (day < 1 || day > month_length(month, leap)) {
            where = day_field;
            why = quoted(day_field) + " is not a day of month " + std::to_string(month) + " (1 to " +
                  std::to_string(month_length(month, leap)) + ")";
        } else {
            return;
        }
        e.slot = o.slot;
        e.field = where;
        e.error = std::string(o.cls->name) + " '" + e.name + "', field '" + field_name(where) + "': " + why;
        finding(Model::FindingKind::bad_date, o.slot, where, why + "; the engine refuses the date.");
    }

    const SlotSource& slots_;
    const c_IDD& schema_;
    Model& model_;
    std::array<std::vector<Named>, kClassCount> by_class_;  // by Cls
    const std::vector<Named>& objects(Cls cls) const noexcept { return by_class_[static_cast<size_t>(cls)]; }
    std::string_view folder_, own_folder_;
    bool as_named_ = true;
    StringMap<int32_t> day_index_, week_index_;  // by upper-cased name
    int32_t missing_ = -1, missing_week_ = -1;
};

}  // namespace tarvix::schedules::detail
