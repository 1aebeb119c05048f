// Schedule:File: a column of a text file read as the engine reads it, a
// block at a time and only as far as the rows it needs.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "core/schedules/reader.h"

namespace tarvix::schedules::detail {

namespace {

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

}  // namespace

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

}  // namespace tarvix::schedules::detail
