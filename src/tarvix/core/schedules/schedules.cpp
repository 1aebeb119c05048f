#include "core/schedules/schedules.h"

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <unordered_map>

#include "core/document/fields.h"
#include "core/text/text.h"

namespace tarvix::schedules {

std::string_view day_type_name(int day_type) noexcept {
    static constexpr std::string_view names[] = {
        "",         "Sunday",  "Monday",          "Tuesday",         "Wednesday",  "Thursday",  "Friday",
        "Saturday", "Holiday", "SummerDesignDay", "WinterDesignDay", "CustomDay1", "CustomDay2"};
    return day_type >= 0 && day_type <= kDayTypes ? names[day_type] : std::string_view();
}

namespace {

using idf::ObjectView;
using idf::SlotState;
using idf::ValuesView;

constexpr int kCumulative[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
constexpr int kMonthDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int ordinal_day(int month, int day, int leap) noexcept {
    if (month < 1 || month > 12) return 0;
    return day + kCumulative[month - 1] + (month >= 3 ? leap : 0);
}

bool is_leap(int year) noexcept { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int month_length(int month, bool leap) noexcept { return month == 2 ? (leap ? 29 : 28) : kMonthDays[month - 1]; }

// 1 Sunday .. 7 Saturday.
int weekday_of(int year, int month, int day) noexcept {
    static constexpr int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) year -= 1;
    return (year + year / 4 - year / 100 + year / 400 + t[month - 1] + day) % 7 + 1;
}

std::string upper(std::string_view text) { return to_upper(std::string(text)); }

using idf::trimmed;

std::string_view at(ValuesView values, int32_t index) noexcept { return idf::field_text(values, index); }

std::optional<double> number(std::string_view text) noexcept { return idf::field_number(text); }

double number_or(std::string_view text, double fallback) noexcept { return number(text).value_or(fallback); }

// A number as an int, clamped to what any field here can mean (a cast of a
// number past the range of int is undefined).
int whole(double value) noexcept {
    if (!(value > -1e6)) return -1000000;
    if (!(value < 1e6)) return 1000000;
    return static_cast<int>(value);
}

int weekday_named(std::string_view word) noexcept {
    static constexpr std::string_view days[] = {"SUN", "MON", "TUE", "WED", "THU", "FRI", "SAT"};
    const std::string w = upper(word.substr(0, 3));
    for (int k = 0; k < 7; ++k)
        if (w == days[k]) return k + 1;
    return 0;
}

int month_named(std::string_view word) noexcept {
    static constexpr std::string_view months[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                                  "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    const std::string w = upper(word.substr(0, 3));
    for (int k = 0; k < 12; ++k)
        if (w == months[k]) return k + 1;
    return 0;
}

int day_type_named(std::string_view word) noexcept {
    const std::string w = upper(trimmed(word));
    for (int k = 1; k <= kDayTypes; ++k)
        if (w == upper(day_type_name(k))) return k;
    return 0;
}

// A date as the engine reads one: "12/31", "Dec 31", "31 December",
// "12/31/2020", "2nd Monday in October", "Last Sunday in March".
std::optional<Model::SpecialDay> parse_date(std::string_view text) {
    std::string s = upper(trimmed(text));
    for (char& c : s)
        if (c == '/' || c == ':' || c == '-') c = ' ';
    bool weekday_form = false;
    for (std::string_view suffix : {"ST ", "ND ", "RD ", "TH ", "OF ", "IN "}) {
        for (size_t at = s.find(suffix); at != std::string::npos; at = s.find(suffix, at + 1)) {
            s[at] = ' ';
            s[at + 1] = ' ';
            weekday_form = true;
        }
    }
    std::vector<std::string> tokens;
    for (size_t i = 0; i < s.size();) {
        while (i < s.size() && s[i] == ' ') ++i;
        size_t j = i;
        while (j < s.size() && s[j] != ' ') ++j;
        if (j > i) tokens.emplace_back(s.substr(i, j - i));
        i = j;
    }
    Model::SpecialDay date;
    const auto num = [](const std::string& t) { return number(t); };
    if (tokens.size() == 2) {
        const auto a = num(tokens[0]), b = num(tokens[1]);
        if (a && b) {
            date.month = whole(*a);
            date.day = whole(*b);
        } else if (!a && b) {
            date.month = month_named(tokens[0]);
            date.day = whole(*b);
        } else if (a && !b) {
            date.day = whole(*a);
            date.month = month_named(tokens[1]);
        } else {
            return std::nullopt;
        }
        if (date.month < 1 || date.month > 12 || date.day < 1 || date.day > kMonthDays[date.month - 1])
            return std::nullopt;
        return date;
    }
    if (tokens.size() == 3 && weekday_form) {
        const int weekday = weekday_named(tokens[1]) ? weekday_named(tokens[1]) : weekday_named(tokens[2]);
        const int month = month_named(tokens[2]) ? month_named(tokens[2]) : month_named(tokens[1]);
        if (!weekday || !month) return std::nullopt;
        date.weekday = weekday;
        date.month = month;
        if (tokens[0] == "LA") {
            date.form = 2;
        } else if (const auto n = num(tokens[0]); n && *n >= 0 && *n <= 5) {
            date.form = 1;
            date.nth = whole(*n);
        } else {
            return std::nullopt;
        }
        return date;
    }
    if (tokens.size() == 3) {
        const auto a = num(tokens[0]), b = num(tokens[1]), c = num(tokens[2]);
        if (!a || !b || !c) return std::nullopt;
        if (*c > 100) {
            date.month = whole(*a);
            date.day = whole(*b);
        } else if (*a > 100) {
            date.month = whole(*b);
            date.day = whole(*c);
        } else {
            return std::nullopt;
        }
        if (date.month < 1 || date.month > 12 || date.day < 1 || date.day > kMonthDays[date.month - 1])
            return std::nullopt;
        return date;
    }
    return std::nullopt;
}

enum class Interp { no, average, linear };

Interp interp_of(std::string_view text) {
    const std::string s = upper(text);
    if (s.find("NO") != std::string::npos) return Interp::no;
    if (s.find("AVERAGE") != std::string::npos) return Interp::average;
    if (s.find("LINEAR") != std::string::npos) return Interp::linear;
    return Interp::no;
}

// A day as minute values, then as step values: a step takes its mean
// (average) or the value of its last minute.
std::vector<double> from_minutes(const std::vector<double>& minutes, Interp interp, int n) {
    const int m = 60 / n;
    std::vector<double> out(static_cast<size_t>(24 * n));
    for (int hr = 0; hr < 24; ++hr) {
        for (int ts = 0; ts < n; ++ts) {
            const int first = hr * 60 + ts * m;
            double v = minutes[static_cast<size_t>(first + m - 1)];
            if (interp == Interp::average) {
                v = 0.0;
                for (int k = 0; k < m; ++k) v += minutes[static_cast<size_t>(first + k)];
                v /= m;
            }
            out[static_cast<size_t>(hr * n + ts)] = v;
        }
    }
    return out;
}

// "Until" times and values over the minutes of a day, as the engine lays
// them down: each time ends its interval (07:00 covers up to 06:59); linear
// ramps from the previous value, the first interval flat.
struct DayCover {
    int bad_time = -1;    // the pair whose time does not read, -1 for none
    int last_minute = 0;  // minutes covered from midnight (1440: the whole day)
    bool complete() const noexcept { return bad_time < 0 && last_minute >= 1440; }
};

DayCover minutes_of(const std::vector<std::pair<std::string_view, double>>& pairs, Interp interp,
                    std::vector<double>& minutes) {
    DayCover cover;
    minutes.assign(1440, 0.0);
    std::vector<char> set(1440, 0);
    int beg_hr = 0, beg_min = 0, end_hr = 0, end_min = 0;
    double previous = 0.0;
    for (size_t k = 0; k < pairs.size(); ++k) {
        std::string text = upper(trimmed(pairs[k].first));
        if (text.starts_with("UNTIL")) text = text.substr(5);
        if (!text.empty() && text[0] == ':') text = text.substr(1);
        const size_t colon = text.find(':');
        const std::string hh = colon == std::string::npos ? std::string() : std::string(trimmed(text.substr(0, colon)));
        const auto h = hh.empty() ? std::optional<double>(0.0) : number(hh);
        const auto mm = colon == std::string::npos ? std::nullopt : number(text.substr(colon + 1));
        if (colon == std::string::npos || !h || !mm || *h < 0 || *h > 24 || *mm < 0 || *mm > 60) {
            if (cover.bad_time < 0) cover.bad_time = static_cast<int>(k);
            continue;
        }
        const int hours = whole(*h);
        int mins = whole(*mm);
        if (hours == 24 && mins > 0 && mins < 60) mins = 0;
        if (mins == 0) {
            end_hr = hours - 1;
            end_min = 59;
        } else if (mins < 60) {
            end_hr = hours;
            end_min = mins - 1;
        }
        const double value = pairs[k].second;
        double start = value, inc = 0.0;
        if (interp == Interp::linear) {
            int total = (end_hr - beg_hr) * 60 + (end_min - beg_min) + 1;
            if (total == 0) total = 1;
            start = k == 0 ? value : previous;
            inc = (value - start) / total;
            start += inc;
        }
        if (beg_hr <= end_hr) {
            for (int m = beg_hr * 60 + beg_min; m <= end_hr * 60 + end_min && m < 1440; ++m) {
                if (m < 0) continue;
                minutes[static_cast<size_t>(m)] = interp == Interp::linear ? start : value;
                if (interp == Interp::linear) start += inc;
                set[static_cast<size_t>(m)] = 1;
            }
            beg_hr = end_hr;
            beg_min = end_min + 1;
            if (beg_min >= 60) {
                beg_hr += 1;
                beg_min = 0;
            }
        }
        previous = value;
    }
    while (cover.last_minute < 1440 && set[static_cast<size_t>(cover.last_minute)]) ++cover.last_minute;
    return cover;
}

std::string clock(int minutes) {
    std::string text = std::to_string(minutes / 60) + ":";
    if (minutes % 60 < 10) text += "0";
    return text + std::to_string(minutes % 60);
}

std::string date_of(int day_of_year) {
    int month = 1;
    while (month < 12 && day_of_year > ordinal_day(month + 1, 0, 1)) ++month;
    return std::to_string(month) + "/" + std::to_string(day_of_year - ordinal_day(month, 0, 1));
}

// A text from a document or a file, for a message: at most 60 bytes of it.
std::string excerpt(std::string_view text, size_t kLongest = 60) {
    if (text.size() <= kLongest) return std::string(text);
    size_t cut = kLongest;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // a whole character
    return std::string(text.substr(0, cut)) + "...";
}

// The lines of a file, read a block at a time: a line is at most
// kLongestLine bytes (a longer one is an error, never a line held whole).
class LineReader {
public:
    static constexpr size_t kLongestLine = size_t{1} << 20;
    enum class Read { line, end, failed };

    explicit LineReader(const std::string& path) : file_(std::fopen(path.c_str(), "rb")) {
        if (!file_) error_ = std::strerror(errno);
    }
    ~LineReader() {
        if (file_) std::fclose(file_);
    }
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    bool ok() const noexcept { return file_ != nullptr; }
    const std::string& error() const noexcept { return error_; }

    // The next line, without its line end, valid until the next call.
    Read next(std::string_view& out) {
        line_.clear();
        while (true) {
            if (at_ == size_) {
                if (done_) break;
                errno = 0;
                size_ = std::fread(block_.data(), 1, block_.size(), file_);
                at_ = 0;
                if (size_ < block_.size()) {
                    done_ = true;
                    if (std::ferror(file_)) {
                        error_ = std::string("cannot be read: ") + std::strerror(errno ? errno : EIO);
                        return Read::failed;
                    }
                }
                if (size_ == 0) break;
            }
            const char* begin = block_.data() + at_;
            const void* newline = std::memchr(begin, '\n', size_ - at_);
            const size_t take = newline ? static_cast<size_t>(static_cast<const char*>(newline) - begin) : size_ - at_;
            if (line_.size() + take > kLongestLine) {
                error_ = "a line longer than " + std::to_string(kLongestLine >> 20) + " MiB";
                return Read::failed;
            }
            line_.append(begin, take);
            at_ += take;
            if (newline) {
                ++at_;
                started_ = false;
                out = line_;
                if (!out.empty() && out.back() == '\r') out.remove_suffix(1);
                return Read::line;
            }
            started_ = true;
        }
        if (!started_) return Read::end;
        started_ = false;
        out = line_;
        if (!out.empty() && out.back() == '\r') out.remove_suffix(1);
        return Read::line;
    }

private:
    std::FILE* file_;
    std::string error_;
    std::array<char, 1 << 16> block_{};
    size_t size_ = 0, at_ = 0;
    bool done_ = false, started_ = false;
    std::string line_;
};

class Reader {
public:
    Reader(const idf::SlotSource& slots, const idd::c_IDD& schema, Model& model, const FileSearch& search)
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
        const idd::ClassDef* cls;
    };
    int32_t field(const idd::ClassDef* cls, std::string_view lower_name) const noexcept {
        const auto found = cls->base_field_index_map.find(lower_name);
        return found == cls->base_field_index_map.end() ? -1 : found->second;
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
            for (int d = 2; d <= 6; ++d) these[static_cast<size_t>(d)] = true;
        static constexpr std::string_view days[] = {"SUNDAY",   "MONDAY", "TUESDAY", "WEDNESDAY",
                                                    "THURSDAY", "FRIDAY", "SATURDAY"};
        for (int d = 0; d < 7; ++d)
            if (has(days[d])) these[static_cast<size_t>(d + 1)] = true;
        if (has("WEEKEND")) these[1] = these[7] = true;
        if (has("CUSTOMDAY1")) these[11] = true;
        if (has("CUSTOMDAY2")) these[12] = true;
        if (has("ALLDAY"))
            for (int d = 0; d <= kDayTypes; ++d) these[static_cast<size_t>(d)] = true;
        if (has("HOLIDAY")) these[8] = true;
        if (has("SUMMER")) these[9] = true;
        if (has("WINTER")) these[10] = true;
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

    const idf::SlotSource& slots_;
    const idd::c_IDD& schema_;
    Model& model_;
    std::unordered_map<std::string, std::vector<Named>> by_class_;
    std::string_view folder_, own_folder_;
    bool as_named_ = true;
    std::unordered_map<std::string, int32_t> day_index_, week_index_;
    int32_t missing_ = -1, missing_week_ = -1;
};

void Reader::read_days() {
    const int n = model_.timesteps;
    for (const Named& o : by_class_["SCHEDULE:DAY:HOURLY"]) {
        std::vector<double> v(static_cast<size_t>(24 * n));
        for (int hr = 0; hr < 24; ++hr)
            for (int ts = 0; ts < n; ++ts) v[static_cast<size_t>(hr * n + ts)] = number_or(at(o.values, 2 + hr), 0.0);
        day_index_.emplace(upper(at(o.values, 0)), add_day(std::move(v)));
    }
    std::vector<double> minutes;
    for (const Named& o : by_class_["SCHEDULE:DAY:INTERVAL"]) {
        const Interp interp = interp_of(at(o.values, 2));
        std::vector<std::pair<std::string_view, double>> pairs;
        for (size_t k = 3; k + 1 < o.values.size(); k += 2)
            pairs.emplace_back(at(o.values, static_cast<int32_t>(k)),
                               number_or(at(o.values, static_cast<int32_t>(k + 1)), 0.0));
        check_day(minutes_of(pairs, interp, minutes), o.slot, 3, 2, pairs);
        day_index_.emplace(upper(at(o.values, 0)), add_day(from_minutes(minutes, interp, n)));
    }
    for (const Named& o : by_class_["SCHEDULE:DAY:LIST"]) {
        const Interp interp = interp_of(at(o.values, 2)) == Interp::average ? Interp::average : Interp::no;
        const int per = whole(number_or(at(o.values, 3), 60.0));
        minutes.assign(1440, 0.0);
        if (per > 0 && 60 % per == 0)
            for (int m = 0; m < 1440; ++m) minutes[static_cast<size_t>(m)] = number_or(at(o.values, 4 + m / per), 0.0);
        day_index_.emplace(upper(at(o.values, 0)), add_day(from_minutes(minutes, interp, n)));
    }
}

void Reader::read_weeks() {
    for (const Named& o : by_class_["SCHEDULE:WEEK:DAILY"]) {
        std::array<int32_t, kDayTypes + 1> week;
        week.fill(missing_day());
        for (int d = 1; d <= kDayTypes; ++d) {
            const int32_t day = day_named(at(o.values, d));
            if (day >= 0) week[static_cast<size_t>(d)] = day;
        }
        model_.weeks.push_back(week);
        week_index_.emplace(upper(at(o.values, 0)), static_cast<int32_t>(model_.weeks.size() - 1));
    }
    for (const Named& o : by_class_["SCHEDULE:WEEK:COMPACT"]) {
        std::array<int32_t, kDayTypes + 1> week;
        week.fill(missing_day());
        std::array<bool, kDayTypes + 1> already{}, these{};
        for (size_t k = 1; k + 1 < o.values.size(); k += 2) {
            std::string_view days = at(o.values, static_cast<int32_t>(k));
            if (upper(days).starts_with("FOR")) days = days.substr(3);
            for_days(days, these, already);
            const int32_t day = day_named(at(o.values, static_cast<int32_t>(k + 1)));
            for (int d = 0; d <= kDayTypes; ++d)
                if (these[static_cast<size_t>(d)]) {
                    already[static_cast<size_t>(d)] = true;
                    if (day >= 0) week[static_cast<size_t>(d)] = day;
                }
        }
        check_week(already, o.slot, -1, "the week", true);
        model_.weeks.push_back(week);
        week_index_.emplace(upper(at(o.values, 0)), static_cast<int32_t>(model_.weeks.size() - 1));
    }
}

void Reader::read_years() {
    for (const Named& o : by_class_["SCHEDULE:YEAR"]) {
        std::vector<int32_t> weeks(367, -1);
        for (size_t k = 2; k + 4 < o.values.size() + 1; k += 5) {
            const int32_t week = week_named(at(o.values, static_cast<int32_t>(k)));
            if (week < 0) continue;
            const int start = ordinal_day(whole(number_or(at(o.values, static_cast<int32_t>(k + 1)), 1)),
                                          whole(number_or(at(o.values, static_cast<int32_t>(k + 2)), 1)), 1);
            const int end = ordinal_day(whole(number_or(at(o.values, static_cast<int32_t>(k + 3)), 12)),
                                        whole(number_or(at(o.values, static_cast<int32_t>(k + 4)), 31)), 1);
            if (start < 1 || end < 1 || start > 366 || end > 366) continue;
            if (start <= end) {
                for (int d = start; d <= end; ++d) weeks[static_cast<size_t>(d)] = week;
            } else {
                for (int d = start; d <= 366; ++d) weeks[static_cast<size_t>(d)] = week;
                for (int d = 1; d <= end; ++d) weeks[static_cast<size_t>(d)] = week;
            }
        }
        int missing = 0;
        for (int d = 1; d <= 366; ++d)
            if (weeks[static_cast<size_t>(d)] < 0 && d != 60) ++missing;
        if (missing)
            finding(Model::FindingKind::incomplete, o.slot, -1,
                    std::to_string(missing) + " days of the year have no week schedule; the engine stops at them.");
        add_schedule(o, std::move(weeks));
    }
}

// Each schedule against the limits of its ScheduleTypeLimits (both limits
// given), over every value it can take, the 0.0 of a day type it leaves
// without a day schedule included, as the engine checks it.
void Reader::check_limits() {
    struct Limits {
        double lower, upper;
    };
    std::unordered_map<std::string, Limits> limits;
    for (const Named& o : by_class_["SCHEDULETYPELIMITS"]) {
        const auto lower = number(at(o.values, 1)), upper_limit = number(at(o.values, 2));
        if (lower && upper_limit) limits.emplace(upper(at(o.values, 0)), Limits{*lower, *upper_limit});
    }
    if (limits.empty()) return;
    std::unordered_map<size_t, const Named*> by_slot;
    for (const char* cls : {"SCHEDULE:CONSTANT", "SCHEDULE:COMPACT", "SCHEDULE:YEAR", "SCHEDULE:FILE"})
        for (const Named& o : by_class_[cls]) by_slot.emplace(o.slot, &o);
    std::vector<char> seen_week(model_.weeks.size());
    for (size_t i = 0; i < model_.names.size(); ++i) {
        const auto object = by_slot.find(model_.slots[i]);
        if (object == by_slot.end()) continue;
        const auto found = limits.find(upper(at(object->second->values, 1)));
        if (found == limits.end()) continue;
        double low = HUGE_VAL, high = -HUGE_VAL;
        std::fill(seen_week.begin(), seen_week.end(), 0);
        for (size_t d = 1; d <= 366; ++d) {
            const auto w = static_cast<size_t>(model_.year_weeks[i][d]);
            if (seen_week[w]) continue;
            seen_week[w] = 1;
            for (int t = 1; t <= kDayTypes; ++t)
                for (double v : model_.days[static_cast<size_t>(model_.weeks[w][static_cast<size_t>(t)])]) {
                    low = std::min(low, v);
                    high = std::max(high, v);
                }
        }
        constexpr double kEpsilon = 1.1920929e-07;
        const Limits& l = found->second;
        if (l.lower - low <= kEpsilon && high - l.upper <= kEpsilon) continue;
        const auto text = [](double v) {
            std::string t = std::to_string(v);
            while (t.size() > 1 && t.back() == '0') t.pop_back();
            if (!t.empty() && t.back() == '.') t.pop_back();
            return t;
        };
        finding(Model::FindingKind::out_of_limits, model_.slots[i], 1,
                "its values run from " + text(low) + " to " + text(high) + ", outside the limits " + text(l.lower) +
                    " to " + text(l.upper) + " of '" + std::string(at(object->second->values, 1)) +
                    "' (a day type without a day schedule counts as 0.0).");
    }
}

void Reader::read_compact(const Named& o) {
    const int n = model_.timesteps;
    std::vector<int32_t> weeks(367, -1);
    size_t k = 2;
    int start = 1;
    std::vector<double> minutes;
    const size_t count = o.values.size();
    const auto field_of = [](size_t index) { return static_cast<int32_t>(index); };
    int32_t last_through = -1;
    while (k < count) {
        std::string through = upper(at(o.values, static_cast<int32_t>(k)));
        if (!through.starts_with("THROUGH")) {
            finding(Model::FindingKind::incomplete, o.slot, field_of(k),
                    "'" + std::string(at(o.values, field_of(k))) + "' stands where a \"Through:\" date belongs.");
            break;
        }
        last_through = field_of(k);
        through = through.substr(7);
        if (!through.empty() && through[0] == ':') through = through.substr(1);
        const auto date = parse_date(through);
        if (!date || date->form != 0) {
            finding(Model::FindingKind::bad_time, o.slot, field_of(k),
                    "'" + std::string(at(o.values, field_of(k))) + "' is not a date of the year (such as 12/31).");
            break;
        }
        const int end = ordinal_day(date->month, date->day, 1);
        std::array<int32_t, kDayTypes + 1> week;
        week.fill(missing_day());
        std::array<bool, kDayTypes + 1> already{}, these{};
        ++k;
        while (k < count) {
            std::string field = upper(at(o.values, static_cast<int32_t>(k)));
            if (field.starts_with("THROUGH")) break;
            if (!field.starts_with("FOR")) {
                finding(Model::FindingKind::incomplete, o.slot, field_of(k),
                        "'" + std::string(at(o.values, field_of(k))) + "' stands where a \"For:\" field belongs.");
                k = count;
                break;
            }
            for_days(std::string_view(field).substr(3), these, already);
            ++k;
            Interp interp = Interp::no;
            if (k < count) {
                const std::string next = upper(at(o.values, static_cast<int32_t>(k)));
                if (next.starts_with("INTERPOLATE") || !next.starts_with("UNTIL")) {
                    interp = interp_of(next.substr(std::min<size_t>(next.size(), 11)));
                    ++k;
                }
            }
            std::vector<std::pair<std::string_view, double>> pairs;
            const int32_t first_until = field_of(k);
            while (k < count) {
                const std::string_view until = at(o.values, static_cast<int32_t>(k));
                if (!upper(until).starts_with("UNTIL")) break;
                pairs.emplace_back(until, number_or(at(o.values, static_cast<int32_t>(k + 1)), 0.0));
                k += 2;
            }
            check_day(minutes_of(pairs, interp, minutes), o.slot, first_until, 2, pairs);
            const int32_t day = add_day(from_minutes(minutes, interp, n));
            for (int d = 0; d <= kDayTypes; ++d)
                if (these[static_cast<size_t>(d)]) {
                    already[static_cast<size_t>(d)] = true;
                    week[static_cast<size_t>(d)] = day;
                }
        }
        std::string where(1, '"');
        where.append(at(o.values, last_through)).push_back('"');
        check_week(already, o.slot, last_through, where, false);
        model_.weeks.push_back(week);
        const auto w = static_cast<int32_t>(model_.weeks.size() - 1);
        for (int d = start; d <= end && d <= 366; ++d) weeks[static_cast<size_t>(d)] = w;
        start = end + 1;
    }
    if (weeks[366] < 0 || std::count(weeks.begin() + 1, weeks.end(), -1) > (weeks[60] < 0 ? 1 : 0)) {
        int first = 1;
        while (first <= 366 && (weeks[static_cast<size_t>(first)] >= 0 || first == 60)) ++first;
        if (first <= 366)
            finding(Model::FindingKind::incomplete, o.slot, last_through,
                    "no \"Through:\" covers " + date_of(first) +
                        " and the days after it up to 12/31; the engine stops at days without a schedule.");
    }
    add_schedule(o, std::move(weeks));
}

// A Schedule:File: a column of a text file, an hour (or `minutes per item`)
// a row, one day schedule for each day of the year. Without a February 29
// in the file, February 28 stands for it.
void Reader::read_file(const Named& o) {
    const int n = model_.timesteps;
    const std::string_view name = at(o.values, 0);
    const std::string file(at(o.values, 2));
    const int column = whole(number_or(at(o.values, 3), 1));
    const int skip = std::max(0, whole(number_or(at(o.values, 4), 0)));
    int hours = whole(number_or(at(o.values, 5), 8760));
    if (hours == 0) hours = 8760;
    const std::string separator_word = upper(at(o.values, 6));
    char separator = ',';
    if (separator_word == "SEMICOLON") separator = ';';
    if (separator_word == "TAB") separator = '\t';
    if (separator_word == "SPACE") separator = ' ';
    const Interp interp = equal_fold(at(o.values, 7), "Yes") ? Interp::average : Interp::no;
    const int per = whole(number_or(at(o.values, 8), 60));
    const bool follows = !equal_fold(at(o.values, 9), "No");
    const auto fail = [&](std::string why) { add_schedule(o, std::vector<int32_t>(367, -1), follows, std::move(why)); };
    if (hours != 8760 && hours != 8784)
        return fail("Schedule:File '" + std::string(name) + "': Number of Hours of Data must be 8760 or 8784");
    if (per <= 0 || 60 % per != 0)
        return fail("Schedule:File '" + std::string(name) + "': Minutes per Item must divide 60");
    if (column < 1) return fail("Schedule:File '" + std::string(name) + "': Column Number must be at least 1");
    // Only a regular file is read (a document naming a device or a pipe
    // would have the reading wait forever). A relative name is looked for
    // in the folder given, then in the document's own, then as named
    // (unless only folders are to be searched).
    const auto regular = [&](const std::string& candidate) {
        const Model::FileStamp stamp = stamp_of(candidate);
        model_.files.push_back(stamp);
        return stamp.regular;
    };
    const bool absolute = !file.empty() && (file[0] == '/' || (file.size() > 1 && file[1] == ':'));
    std::string path;
    if (absolute) {
        if (regular(file)) path = file;
    } else if (!file.empty()) {
        for (std::string_view folder : {folder_, own_folder_}) {
            if (folder.empty()) continue;
            std::string candidate = std::string(folder) + "/" + file;
            if (regular(candidate)) {
                path = std::move(candidate);
                break;
            }
        }
        if (path.empty() && as_named_ && regular(file)) path = file;
    }
    if (path.empty()) return fail(excerpt(file, 200) + ": no such file (Schedule:File '" + std::string(name) + "')");
    const size_t wanted = static_cast<size_t>(hours) * static_cast<size_t>(60 / per);
    std::vector<double> items;
    items.reserve(wanted);
    // Read a line at a time, and only up to the rows needed: whatever
    // follows them is never read.
    LineReader lines(path);
    if (!lines.ok())
        return fail(excerpt(file, 200) + ": " + lines.error() + " (Schedule:File '" + std::string(name) + "')");
    size_t line = 0;
    std::string_view row;
    while (items.size() < wanted) {
        const LineReader::Read read = lines.next(row);
        if (read == LineReader::Read::end) break;
        ++line;
        if (read == LineReader::Read::failed)
            return fail(excerpt(file, 200) + ", line " + std::to_string(line) + ": " + lines.error() +
                        " (Schedule:File '" + std::string(name) + "')");
        if (line <= static_cast<size_t>(skip)) continue;
        if (trimmed(row).empty()) continue;
        // The column's field.
        std::string_view cell;
        int k = 1;
        size_t from = 0;
        bool found = false;
        while (true) {
            const size_t to = row.find(separator, from);
            if (k == column) {
                cell = row.substr(from, to == std::string_view::npos ? std::string_view::npos : to - from);
                found = true;
                break;
            }
            if (to == std::string_view::npos) break;
            from = to + 1;
            ++k;
        }
        if (!found)
            return fail(excerpt(file, 200) + ", line " + std::to_string(line) + ": no column " +
                        std::to_string(column) + " (Schedule:File '" + std::string(name) + "')");
        const auto value = number(cell);
        if (!value)
            return fail(excerpt(file, 200) + ", line " + std::to_string(line) + ": '" + excerpt(trimmed(cell)) +
                        "' is not a number (Schedule:File '" + std::string(name) + "')");
        items.push_back(*value);
    }
    std::vector<int32_t> weeks(367, -1);
    std::vector<double> minutes(1440);
    size_t next = 0;
    const auto item = [&]() { return next < items.size() ? items[next++] : 0.0; };
    const bool has_feb29 = items.size() >= static_cast<size_t>(8784) * static_cast<size_t>(60 / per);
    for (int day = 1; day <= 366; ++day) {
        std::vector<double> values(static_cast<size_t>(24 * n));
        if (per == 60) {
            for (int hr = 0; hr < 24; ++hr) {
                const double v = item();
                for (int ts = 0; ts < n; ++ts) values[static_cast<size_t>(hr * n + ts)] = v;
            }
        } else {
            for (int m = 0; m < 1440; m += per) {
                const double v = item();
                for (int k = 0; k < per; ++k) minutes[static_cast<size_t>(m + k)] = v;
            }
            values = from_minutes(minutes, interp, n);
        }
        std::array<int32_t, kDayTypes + 1> week;
        week.fill(add_day(std::move(values)));
        model_.weeks.push_back(week);
        weeks[static_cast<size_t>(day)] = static_cast<int32_t>(model_.weeks.size() - 1);
        if (day == 59 && !has_feb29) {
            weeks[60] = weeks[59];
            day = 60;
        }
    }
    add_schedule(o, std::move(weeks), follows);
}

void Reader::read_environments() {
    for (const Named& o : by_class_["SIZINGPERIOD:DESIGNDAY"]) {
        Environment e;
        e.design_day = true;
        e.name = std::string(at(o.values, 0));
        const int32_t month_field = field(o.cls, "month"), day_field = field(o.cls, "day of month");
        e.begin_month = e.end_month = whole(number_or(at(o.values, month_field), 1));
        e.begin_day = e.end_day = whole(number_or(at(o.values, day_field), 1));
        check_date(o, e, month_field, day_field, e.begin_month, e.begin_day);
        e.day_type = day_type_named(at(o.values, field(o.cls, "day type")));
        if (!e.day_type) e.day_type = 2;
        e.start_weekday = e.day_type <= 7 ? e.day_type : 2;
        e.dst = equal_fold(at(o.values, field(o.cls, "daylight saving time indicator")), "Yes");
        model_.environments.push_back(e);
    }
    for (const Named& o : by_class_["RUNPERIOD"]) {
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
            if (given >= 1 && given <= 7) {
                for (int y = year; y < year + 28 * 4; ++y) {
                    if (feb29 && !is_leap(y)) continue;
                    if (weekday_of(y, e.begin_month, e.begin_day) == given) {
                        year = y;
                        break;
                    }
                }
            }
            e.begin_year = year;
            e.start_weekday = given >= 1 && given <= 7 ? given : weekday_of(year, e.begin_month, e.begin_day);
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
    for (const Named& o : by_class_["RUNPERIODCONTROL:SPECIALDAYS"]) {
        auto date = parse_date(at(o.values, 1));
        if (!date) continue;
        // A special day lasts a year at most: a longer one covers the whole year.
        date->duration = std::clamp(whole(number_or(at(o.values, 2), 1)), 1, 366);
        date->type = day_type_named(at(o.values, 3));
        if (date->type < 8) date->type = 8;
        model_.special_days.push_back(*date);
    }
    const auto& dst = by_class_["RUNPERIODCONTROL:DAYLIGHTSAVINGTIME"];
    if (!dst.empty()) {
        const auto start = parse_date(at(dst[0].values, 0)), end = parse_date(at(dst[0].values, 1));
        if (start && end) {
            model_.has_dst = true;
            model_.dst_start = *start;
            model_.dst_end = *end;
        }
    }
}

void Reader::run() {
    static constexpr std::string_view wanted[] = {
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
    std::vector<const idd::ClassDef*> classes;
    for (std::string_view name : wanted) classes.push_back(idd::find_class(schema_, name));
    const size_t count = slots_.slot_count();
    for (size_t slot = 0; slot < count; ++slot) {
        ObjectView object;
        if (slots_.view(slot, object) != SlotState::object || !object.cls) continue;
        for (size_t k = 0; k < classes.size(); ++k)
            if (classes[k] == object.cls)
                by_class_[std::string(wanted[k])].push_back({slot, object.values, object.cls});
    }
    if (!by_class_["TIMESTEP"].empty()) {
        const int n = whole(number_or(at(by_class_["TIMESTEP"][0].values, 0), 6));
        if (n >= 1 && n <= 60 && 60 % n == 0) model_.timesteps = n;
    }
    read_days();
    read_weeks();
    // Schedules in document order, whatever their class.
    std::vector<std::pair<size_t, std::pair<int, const Named*>>> order;
    for (const Named& o : by_class_["SCHEDULE:CONSTANT"]) order.push_back({o.slot, {0, &o}});
    for (const Named& o : by_class_["SCHEDULE:COMPACT"]) order.push_back({o.slot, {1, &o}});
    for (const Named& o : by_class_["SCHEDULE:FILE"]) order.push_back({o.slot, {2, &o}});
    std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [slot, item] : order) {
        const Named& o = *item.second;
        if (item.first == 0) {
            std::array<int32_t, kDayTypes + 1> week;
            week.fill(add_day(
                std::vector<double>(static_cast<size_t>(24 * model_.timesteps), number_or(at(o.values, 2), 0.0))));
            model_.weeks.push_back(week);
            add_schedule(o, std::vector<int32_t>(367, static_cast<int32_t>(model_.weeks.size() - 1)));
        } else if (item.first == 1) {
            read_compact(o);
        } else {
            read_file(o);
        }
    }
    read_years();
    check_limits();
    read_environments();
    std::stable_sort(model_.findings.begin(), model_.findings.end(),
                     [](const Model::Finding& a, const Model::Finding& b) { return a.slot < b.slot; });
}

}  // namespace

void read_model(const idf::SlotSource& slots, const idd::c_IDD& schema, Model& model, const FileSearch& search) {
    model = Model();
    Reader(slots, schema, model, search).run();
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
        d.special = env.day_type > 7 ? env.day_type : 0;
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
                if (weekday_of_doy(j) == 1) {
                    j += 1;
                } else if (weekday_of_doy(j) == 7) {
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
