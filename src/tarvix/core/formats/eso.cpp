// ESO and MTR text: a "Program Version," line, the data dictionary up to
// "End of Data Dictionary" (one "id,count,[key,]name [units] !frequency"
// line per report, ids 1 to 6 being the environment and time-stamp records),
// then data lines "id,value[,...]" up to "End of Data".
#include "core/formats/eso.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

namespace tarvix::eso {
namespace {

constexpr std::string_view kVersionPrefix = "Program Version,";
constexpr std::string_view kEndOfDictionary = "End of Data Dictionary";
constexpr std::string_view kEndOfData = "End of Data";
constexpr int64_t kMaxId = std::numeric_limits<int32_t>::max();
constexpr uint32_t kNoStamp = std::numeric_limits<uint32_t>::max();

std::string_view trim(std::string_view text) noexcept {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// Line number (1-based) of the byte at `offset`, counted only when an error needs it.
size_t line_at(std::string_view text, size_t offset) noexcept {
    return 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

[[noreturn]] void fail_at(std::string_view text, size_t offset, const std::string& why) {
    throw EsoError("line " + std::to_string(line_at(text, offset)) + ": " + why);
}

std::string shown(std::string_view line) {
    line = trim(line);
    if (line.size() > 60) return std::string(line.substr(0, 57)) + "...";
    return std::string(line);
}

// Reads a record id (1 to 2**31-1) from the start of `text`; the count of its digits, or 0.
size_t read_id(std::string_view text, int64_t& id) noexcept {
    size_t i = 0;
    id = 0;
    while (i < text.size() && i < 11 && text[i] >= '0' && text[i] <= '9') id = id * 10 + (text[i++] - '0');
    if (i == 0 || i == 11 || id < 1 || id > kMaxId) return 0;
    return i;
}

bool read_frequency(std::string_view text, Variable& variable) {
    static constexpr struct {
        std::string_view label, frequency;
        uint8_t kind;
    } kFrequencies[] = {
        {"TimeStep", "Timestep", 2}, {"Hourly", "Hourly", 2},       {"Each Call", "Detailed", 2}, {"Daily", "Daily", 3},
        {"Monthly", "Monthly", 4},   {"RunPeriod", "RunPeriod", 5}, {"Annual", "Annual", 6},
    };
    const size_t bracket = text.find('[');
    text = trim(text.substr(0, bracket));
    for (const auto& known : kFrequencies) {
        if (text != known.label) continue;
        variable.frequency = known.frequency;
        variable.stamp_kind = known.kind;
        return true;
    }
    return false;
}

// Splits one data line into its comma-separated fields after the id.
class Fields {
public:
    explicit Fields(std::string_view rest) noexcept : rest_(rest) {}
    bool next(std::string_view& field) noexcept {
        if (done_) return false;
        const size_t comma = rest_.find(',');
        field = trim(rest_.substr(0, comma));
        if (comma == std::string_view::npos)
            done_ = true;
        else
            rest_.remove_prefix(comma + 1);
        return true;
    }

private:
    std::string_view rest_;
    bool done_ = false;
};

// Reads the comma-separated numbers of a time-stamp record, spaces around
// each allowed, without building a view of each field.
class StampFields {
public:
    explicit StampFields(std::string_view line) noexcept : p_(line.data()), end_(line.data() + line.size()) {}

    bool next_int(int32_t& out) noexcept {
        skip_spaces();
        const bool negative = p_ < end_ && *p_ == '-';
        if (negative) ++p_;
        const char* digits = p_;
        int32_t value = 0;
        while (p_ < end_ && *p_ >= '0' && *p_ <= '9' && p_ - digits < 9) value = value * 10 + (*p_++ - '0');
        if (p_ == digits) return false;
        out = negative ? -value : value;
        return field_end();
    }
    bool next_real(double& out) noexcept {
        skip_spaces();
        const auto [stop, error] = std::from_chars(p_, end_, out);
        if (error != std::errc()) return false;
        p_ = stop;
        return field_end();
    }

private:
    void skip_spaces() noexcept {
        while (p_ < end_ && *p_ == ' ') ++p_;
    }
    // After a number: spaces, then a comma (stepped over) or the line's end.
    bool field_end() noexcept {
        skip_spaces();
        if (p_ == end_ || *p_ == '\r') return true;
        if (*p_ != ',') return false;
        ++p_;
        return true;
    }
    const char* p_;
    const char* end_;
};

bool to_int(std::string_view field, int32_t& out) noexcept {
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), out);
    return error == std::errc() && end == field.data() + field.size();
}

}  // namespace

EsoFile::EsoFile(std::string_view text) : text_(text) {
    size_t pos = 0;
    size_t line_number = 0;
    auto next_line = [&](std::string_view& line) {
        if (pos >= text_.size()) return false;
        const size_t newline = text_.find('\n', pos);
        const size_t end = newline == std::string_view::npos ? text_.size() : newline;
        line = text_.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos = newline == std::string_view::npos ? text_.size() : newline + 1;
        ++line_number;
        return true;
    };

    std::string_view line;
    if (!next_line(line) || !line.starts_with(kVersionPrefix))
        throw EsoError("not an ESO or MTR file: it does not begin with a 'Program Version,' line");
    version_ = std::string(trim(line.substr(kVersionPrefix.size())));

    int64_t max_id = 0;
    bool ended = false;
    while (next_line(line)) {
        if (trim(line) == kEndOfDictionary) {
            ended = true;
            break;
        }
        auto bad = [&](const char* why) {
            throw EsoError("line " + std::to_string(line_number) + ": " + why + " in the data dictionary: '" +
                           shown(line) + "'");
        };
        int64_t id = 0;
        const size_t digits = read_id(line, id);
        if (digits == 0 || digits >= line.size() || line[digits] != ',') bad("no record id");
        if (id <= 6) continue;  // the environment and time-stamp records, always the same
        std::string_view rest = line.substr(digits + 1);
        const size_t comma = rest.find(',');
        int32_t count = 0;
        if (comma == std::string_view::npos || !to_int(trim(rest.substr(0, comma)), count) || count < 1)
            bad("no value count");
        rest.remove_prefix(comma + 1);
        const size_t bang = rest.rfind('!');
        if (bang == std::string_view::npos) bad("no reporting frequency");
        Variable variable;
        variable.id = static_cast<int32_t>(id);
        if (!read_frequency(rest.substr(bang + 1), variable)) bad("an unknown reporting frequency");
        std::string_view name = trim(rest.substr(0, bang));
        const size_t key_end = name.find(',');
        if (key_end == std::string_view::npos) {
            variable.is_meter = true;
        } else {
            variable.key = std::string(trim(name.substr(0, key_end)));
            name = trim(name.substr(key_end + 1));
        }
        const size_t open = name.rfind('[');
        if (!name.empty() && name.back() == ']' && open != std::string_view::npos) {
            variable.units = std::string(trim(name.substr(open + 1, name.size() - open - 2)));
            name = trim(name.substr(0, open));
        }
        if (name.empty()) bad("a report without a name");
        variable.name = std::string(name);
        max_id = std::max(max_id, id);
        variables_.push_back(std::move(variable));
    }
    if (!ended) throw EsoError("the data dictionary has no 'End of Data Dictionary' line");
    data_start_ = pos;
    data_start_line_ = line_number + 1;

    // A dense table when the ids are not much sparser than the reports; a
    // sorted one (a hostile file's huge ids) otherwise.
    if (static_cast<size_t>(max_id) <= 16 * variables_.size() + 4096) {
        dense_.assign(static_cast<size_t>(max_id) + 1, -1);
        for (size_t i = 0; i < variables_.size(); ++i) {
            int32_t& entry = dense_[static_cast<size_t>(variables_[i].id)];
            if (entry >= 0) throw EsoError("record id " + std::to_string(variables_[i].id) + " is defined twice");
            entry = static_cast<int32_t>(i);
        }
    } else {
        sparse_.reserve(variables_.size());
        for (size_t i = 0; i < variables_.size(); ++i) sparse_.emplace_back(variables_[i].id, static_cast<int32_t>(i));
        std::sort(sparse_.begin(), sparse_.end());
        for (size_t i = 1; i < sparse_.size(); ++i)
            if (sparse_[i].first == sparse_[i - 1].first)
                throw EsoError("record id " + std::to_string(sparse_[i].first) + " is defined twice");
    }
}

int32_t EsoFile::slot_of(int64_t id) const noexcept {
    if (!sparse_.empty() || dense_.empty()) {
        const auto found = std::lower_bound(sparse_.begin(), sparse_.end(), std::pair<int32_t, int32_t>(id, -1));
        return found != sparse_.end() && found->first == id ? found->second : -1;
    }
    return id >= 0 && static_cast<size_t>(id) < dense_.size() ? dense_[static_cast<size_t>(id)] : -1;
}

const Variable* EsoFile::find(int64_t id) const noexcept {
    const int32_t slot = slot_of(id);
    return slot < 0 ? nullptr : &variables_[static_cast<size_t>(slot)];
}

Values EsoFile::read(const std::vector<int32_t>& ids) const {
    Values out;
    out.series.resize(ids.size());
    // Report index -> index into out.series of its first request (-1: not wanted).
    std::vector<int32_t> wanted(variables_.size(), -1);
    for (size_t i = 0; i < ids.size(); ++i) {
        const int32_t slot = slot_of(ids[i]);
        if (slot < 0) throw EsoError("record id " + std::to_string(ids[i]) + " is not in the data dictionary");
        if (wanted[static_cast<size_t>(slot)] < 0) wanted[static_cast<size_t>(slot)] = static_cast<int32_t>(i);
    }

    const char* const begin = text_.data();
    const char* const end = begin + text_.size();
    auto bad = [&](const char* at, const std::string& why) { fail_at(text_, static_cast<size_t>(at - begin), why); };
    auto line_of = [&](const char* at) {
        const char* newline = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
        return std::string_view(at, static_cast<size_t>((newline ? newline : end) - at));
    };

    // The latest record 2..6 of each kind in this environment, read only when
    // a wanted value needs it: most time stamps of a file go unused.
    struct Pending {
        const char* line = nullptr;
        const char* day_line = nullptr;  // the record 2 or 3 before it (for records 4..6)
        uint32_t index = kNoStamp;
    };
    Pending pending[7];
    const char* day_line = nullptr;
    int32_t environment = -1;

    auto read_stamp = [&](int kind) -> uint32_t {
        Pending& stamp = pending[kind];
        if (stamp.index != kNoStamp) return stamp.index;
        const std::string_view text = line_of(stamp.line);
        StampFields fields(text.substr(2));
        int32_t numbers[5] = {};
        auto ints = [&](StampFields& from, int count) {
            for (int i = 0; i < count; ++i)
                if (!from.next_int(numbers[i])) bad(stamp.line, "a malformed time stamp: '" + shown(text) + "'");
        };
        // Month and day of the last hourly or daily record before a longer one.
        auto last_day = [&](int32_t& month, int32_t& day) {
            month = day = 0;
            if (!stamp.day_line) return;
            StampFields before(line_of(stamp.day_line).substr(2));
            int32_t cumulative = 0;
            if (!before.next_int(cumulative) || !before.next_int(month) || !before.next_int(day))
                bad(stamp.day_line, "a malformed time stamp: '" + shown(line_of(stamp.day_line)) + "'");
        };
        Stamp result{environment, 0, 0, 24, 0};
        switch (kind) {
            case 2: {
                ints(fields, 5);  // day of simulation, month, day, daylight saving, hour
                double start = 0, stop = 0;
                if (!fields.next_real(start) || !fields.next_real(stop) || numbers[4] < 0 || numbers[4] > 24 ||
                    !(stop >= 0 && stop <= 60))
                    bad(stamp.line, "a malformed time stamp: '" + shown(text) + "'");
                result = stop >= 60 ? Stamp{environment, numbers[1], numbers[2], numbers[4], 0}
                                    : Stamp{environment, numbers[1], numbers[2], numbers[4] - 1, stop};
                break;
            }
            case 3:
                ints(fields, 3);  // cumulative day, month, day
                result.month = numbers[1];
                result.day = numbers[2];
                break;
            case 4: {
                ints(fields, 2);  // cumulative days, month
                int32_t month = 0, day = 0;
                last_day(month, day);
                result.month = numbers[1];
                result.day = month == numbers[1] ? day : 0;
                break;
            }
            default:  // 5 and 6: cumulative days, calendar year
                ints(fields, 1);
                last_day(result.month, result.day);
                break;
        }
        out.stamps.push_back(result);
        return stamp.index = static_cast<uint32_t>(out.stamps.size() - 1);
    };

    const char* p = begin + data_start_;
    bool ended = false;
    while (p < end) {
        const char* const line = p;
        int64_t id = 0;
        while (p < end && *p >= '0' && *p <= '9' && id <= kMaxId) id = id * 10 + (*p++ - '0');
        if (p == line || p == end || *p != ',' || id > kMaxId) {
            const std::string_view text = line_of(line);
            if (trim(text) == kEndOfData) {
                ended = true;
                break;
            }
            if (trim(text).empty()) {
                p = line + text.size() + 1;
                continue;
            }
            bad(line, "not a data line: '" + shown(text) + "'");
        }
        ++p;  // the comma
        if (id == 0) bad(line, "record id 0 is not in the data dictionary");
        if (id > 6) {
            const int32_t slot = slot_of(id);
            if (slot < 0) bad(line, "record id " + std::to_string(id) + " is not in the data dictionary");
            const int32_t target = wanted[static_cast<size_t>(slot)];
            if (target >= 0) {
                const char* number = p;
                while (number < end && *number == ' ') ++number;
                double value = 0;
                auto [stop, error] = std::from_chars(number, end, value);
                if (error != std::errc() ||
                    (stop < end && *stop != ',' && *stop != '\n' && *stop != '\r' && *stop != ' '))
                    bad(line, "no number in '" + shown(line_of(line)) + "'");
                const Variable& variable = variables_[static_cast<size_t>(slot)];
                if (!pending[variable.stamp_kind].line)
                    bad(line, "a " + variable.frequency + " value of record id " + std::to_string(id) +
                                  " before its time stamp");
                const uint32_t known = pending[variable.stamp_kind].index;
                const uint32_t stamp = known != kNoStamp ? known : read_stamp(variable.stamp_kind);
                Series& series = out.series[static_cast<size_t>(target)];
                series.values.push_back(value);
                series.stamps.push_back(stamp);
                p = stop;
            }
        } else if (id == 1) {
            const std::string_view text = line_of(p);
            Fields fields(text);
            std::string_view title;
            fields.next(title);
            out.environments.emplace_back(title);
            environment = static_cast<int32_t>(out.environments.size() - 1);
            std::fill(std::begin(pending), std::end(pending), Pending{});
            day_line = nullptr;
        } else {
            if (environment < 0) bad(line, "a time stamp before the first environment");
            pending[id] = Pending{line, id >= 4 ? day_line : nullptr, kNoStamp};
            if (id <= 3) day_line = line;
        }
        const char* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        p = newline ? newline + 1 : end;
    }
    if (!ended) throw EsoError("the file ends before its 'End of Data' line (cut short?)");

    for (size_t i = 0; i < ids.size(); ++i) {
        const int32_t first = wanted[static_cast<size_t>(slot_of(ids[i]))];
        if (first != static_cast<int32_t>(i)) out.series[i] = out.series[static_cast<size_t>(first)];
    }
    return out;
}

}  // namespace tarvix::eso
