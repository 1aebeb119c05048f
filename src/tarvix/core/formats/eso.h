// Reader of the engine's ESO and MTR output: the data dictionary (what each
// report id stands for) and, on request, the values of some ids in one pass
// over the data lines. Works on a text that the caller keeps alive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarvix::eso {

// A file the reader cannot make sense of; the message says where and why.
class EsoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One reported variable or meter of the data dictionary.
struct Variable {
    int32_t id = 0;
    std::string key;        // empty for meters
    std::string name;
    std::string units;
    std::string frequency;  // "Timestep", "Hourly", "Daily", "Monthly", "RunPeriod", "Annual", "Detailed"
    bool is_meter = false;
    uint8_t stamp_kind = 2;  // the time-stamp record (2..6) its values follow
};

// When a value was reported: the environment (index into environments) and
// the end of the interval as the engine labels it. Hourly and sub-hourly
// values end at (hour, minute) of the day with hours 0..24; daily and longer
// ones end at hour 24 of the last day of the simulation seen before them
// (day 0 when no hourly or daily record said which day that was). Minutes
// are whole but for the system time steps of detailed reports ("7.50").
struct Stamp {
    int32_t environment = 0;
    int32_t month = 0;
    int32_t day = 0;
    int32_t hour = 0;
    double minute = 0;
};

// The values of one id, with the index into Values::stamps of each.
struct Series {
    std::vector<double> values;
    std::vector<uint32_t> stamps;
};

struct Values {
    std::vector<std::string> environments;  // every environment title, in file order
    std::vector<Stamp> stamps;              // every time stamp record, in file order
    std::vector<Series> series;             // one per requested id, in the order asked
};

class EsoFile {
public:
    // Parses the data dictionary of `text` (which must outlive this object).
    // Throws EsoError when the text is not an ESO or MTR file.
    explicit EsoFile(std::string_view text);

    const std::string& version() const noexcept { return version_; }
    const std::vector<Variable>& variables() const noexcept { return variables_; }
    // The dictionary entry of `id`, or nullptr.
    const Variable* find(int64_t id) const noexcept;

    // One pass over the data lines collecting the values of `ids` (each
    // must be in the dictionary). Throws EsoError on a malformed data line.
    Values read(const std::vector<int32_t>& ids) const;

private:
    int32_t slot_of(int64_t id) const noexcept;  // index into variables_, or -1

    std::string_view text_;
    size_t data_start_ = 0;       // offset of the first line after the dictionary
    size_t data_start_line_ = 0;  // its line number (1-based)
    std::string version_;
    std::vector<Variable> variables_;
    std::vector<int32_t> dense_;  // id -> index into variables_ (-1: none), when ids are not too sparse
    std::vector<std::pair<int32_t, int32_t>> sparse_;  // (id, index) sorted, otherwise
};

}  // namespace tarvix::eso
