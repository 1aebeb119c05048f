// The model's schedules as the simulation engine evaluates them, free of the
// interpreter: every Schedule:Constant, Schedule:Compact, Schedule:Year,
// Schedule:Week:Daily/Compact and Schedule:Day:Hourly/Interval/List built
// into the engine's form (a week schedule for each day of a 366-day year, a
// day schedule for each of the 12 day types, a value for each timestep of
// the day), the run environments (design days and run periods) with the
// engine's calendar of each (weekdays, special days, daylight saving time),
// and the value of a schedule at every timestep of an environment.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/document/slot_host.h"
#include "core/schema/schema.h"

namespace tarvix::schedules {

// Day types as the engine numbers them: the weekdays, then the special days.
enum DayType : int {
    kSunday = 1,
    kMonday,
    kTuesday,
    kWednesday,
    kThursday,
    kFriday,
    kSaturday,
    kHoliday,
    kSummerDesignDay,
    kWinterDesignDay,
    kCustomDay1,
    kCustomDay2,
};
inline constexpr int kDayTypes = kCustomDay2;
inline constexpr int kFirstSpecialDay = kHoliday;
std::string_view day_type_name(int day_type) noexcept;

struct Environment {
    std::string name;
    bool design_day = false;
    int begin_month = 1, begin_day = 1, begin_year = 0;
    int end_month = 12, end_day = 31, end_year = 0;
    int start_weekday = 0;  // 1 Sunday .. 7 Saturday
    int day_type = 0;       // design days: their day type
    bool dst = false;       // design days: daylight saving time in force
    bool weekend_rule = true;
    bool weather_holidays = true;  // run periods: the weather file's holidays and special days apply
    bool weather_dst = true;       // ... and its daylight saving period
    // A date the engine refuses (a month 13, a day 30 of February): why, and
    // the object and field it is in; the environment has no days then.
    std::string error;
    uint64_t slot = 0;
    int32_t field = -1;
};

// One day of an environment's calendar.
struct Day {
    int year = 0, month = 1, day = 1;
    int weekday = 1;  // 1 Sunday .. 7 Saturday
    int special = 0;  // 0, or the special day type (kHoliday .. kCustomDay2)
    bool dst = false;
    int day_type() const noexcept { return special ? special : weekday; }
};

struct Model {
    int timesteps = 6;  // per hour
    std::vector<std::string> names;           // the schedules' names as written, in document order
    std::vector<uint64_t> slots;              // the object of each
    std::vector<Environment> environments;   // design days in document order, then run periods
    // The built form: per schedule, its week for each day 1..366 (0 unused);
    // per week, its day for each day type; per day, 24 * timesteps values.
    std::vector<std::vector<int32_t>> year_weeks;
    std::vector<char> follows_dst;   // per schedule: shifted by daylight saving time (all but some files)
    std::vector<std::string> errors;  // per schedule: why it has no values (a file not read), else empty
    std::vector<std::array<int32_t, kDayTypes + 1>> weeks;
    std::vector<std::vector<double>> days;
    // Special days and daylight saving as the document gives them.
    struct SpecialDay {
        int form = 0;  // 0 month/day, 1 nth weekday, 2 last weekday
        int month = 0, day = 0, weekday = 0, nth = 0;
        int duration = 1;
        int type = kHoliday;
    };
    std::vector<SpecialDay> special_days;
    bool has_dst = false;
    SpecialDay dst_start, dst_end;
    // What the engine would report of the schedules, for the document's check.
    enum class FindingKind : uint8_t { incomplete, bad_time, out_of_limits, day_uncovered, bad_date };
    struct Finding {
        FindingKind kind;
        uint64_t slot;
        int32_t field = -1;   // the field it is about, -1 for the object
        std::string message;  // what is wrong, after the object and field named
    };
    std::vector<Finding> findings;
    // Every file a Schedule:File looked for, as it was then: the model
    // stands for the document while its generation and these stay the same.
    struct FileStamp {
        std::string path;
        bool regular = false;
        uintmax_t size = 0;
        int64_t modified = 0;
    };
    std::vector<FileStamp> files;
};

// Where a Schedule:File's relative file name is looked for: in `folder`,
// then in the document's own folder (that of the file it was read from),
// then, with `as_named`, as named (from the current directory).
struct FileSearch {
    std::string_view folder;
    std::string_view own_folder;
    bool as_named = true;
};

// Reads the schedules, environments, special days and daylight saving of
// the slots; a Schedule:File's file is looked for as `search` says, and
// read only up to the rows it needs. Throws std::bad_alloc.
void read_model(const SlotSource& slots, const c_IDD& schema, Model& model, const FileSearch& search = {});

// The state of a file now, and whether every file the model looked for is
// as it was.
Model::FileStamp stamp_of(const std::string& path);
bool files_unchanged(const Model& model);

// What a weather file's header gives the calendar of a run: whether leap
// years keep their February 29, its daylight saving period, its holidays.
struct WeatherCalendar {
    bool leap_years = true;
    bool has_dst = false;
    Model::SpecialDay dst_start, dst_end;
    std::vector<Model::SpecialDay> holidays;
};

// Reads the dates of a weather file's holidays and daylight saving period
// as the engine reads such dates; false for one that does not read. A
// weather file's holiday has the day type the engine gives it: Sunday (it
// reads the Sunday slot of the week and reports "Sunday").
bool read_weather_date(std::string_view text, Model::SpecialDay& out);

// The days of an environment, as the engine runs them (with the weather
// file's calendar when given); none for one whose dates the engine refuses
// (its `error` says why).
std::vector<Day> calendar(const Model& model, const Environment& environment, const WeatherCalendar* weather = nullptr);

// The value of schedule `index` at every timestep of `days`, in order: 24 *
// timesteps values a day, into out[0, days.size() * 24 * timesteps).
void values(const Model& model, size_t index, const std::vector<Day>& days, double* out) noexcept;

}  // namespace tarvix::schedules
