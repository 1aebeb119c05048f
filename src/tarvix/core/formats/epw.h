// Reader and writer of the engine's hourly weather files (EPW): the eight
// header records split into fields, and the data lines as columns of
// numbers (and two of text). Every line's text is kept, so a file writes
// back byte for byte; a line is written anew only where one of its values
// changed, each new number in the spelling of the field it replaces.
// Works on a text that the caller keeps alive.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvix::epw {

// A file the reader cannot make sense of, or a value the writer cannot put
// down; the message says where and why.
class EpwError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr size_t kHeaderRecords = 8;
inline constexpr size_t kColumns = 35;

// The keyword each header line starts with, in file order.
extern const std::array<std::string_view, kHeaderRecords> kHeaderKeywords;
// The columns of a data line, in file order, by the names the Python side gives them.
extern const std::array<std::string_view, kColumns> kColumnNames;

// The two columns held as text: the data source flags and the present weather codes.
constexpr bool is_text_column(size_t column) noexcept { return column == 5 || column == 27; }

// What to write instead of the values read. `numbers[c]` points at the
// current values of numeric column c (rows() of them); `texts[c]` holds the
// rows of text column c whose text changed, by ascending row; `header[i]`
// the new text of header record i (without its line end), when it changed.
struct Edits {
    std::array<const double*, kColumns> numbers{};
    std::array<std::vector<std::pair<uint32_t, std::string>>, kColumns> texts;
    std::array<std::optional<std::string>, kHeaderRecords> header;
};

class EpwFile {
public:
    // Parses `text` (which must outlive this object). Throws EpwError, naming
    // the line, when a header record is missing or out of order, or a data
    // line has fewer than 35 fields or a number that does not read.
    explicit EpwFile(std::string_view text);

    size_t rows() const noexcept { return rows_.size(); }
    // The fields of header record i, its keyword first.
    const std::vector<std::string_view>& header_fields(size_t record) const noexcept { return header_fields_[record]; }
    // The values read of numeric column c (NaN for an empty field); empty
    // for a text column.
    std::span<const double> numbers(size_t column) const noexcept {
        if (is_text_column(column)) return {};
        return {numbers_.get() + number_slot(column) * stride_, rows_.size()};
    }
    // The text read of text column c in a row.
    std::string_view text(size_t column, size_t row) const noexcept;
    // The 1-based line number of a data row.
    size_t line_of_row(size_t row) const noexcept { return rows_[row].line; }
    // The 1-based line number of header record i.
    size_t header_line(size_t record) const noexcept { return header_[record].line; }

    // The file again with `edits`: unchanged records and lines as they were
    // read. Throws EpwError for a number that is not finite or a text that
    // would break the line (a comma, a line end).
    std::string write(const Edits& edits) const;

private:
    struct Line {
        size_t start = 0;   // offset of its first byte
        size_t length = 0;  // without the line end
        size_t line = 0;    // 1-based line number
    };

    std::string_view text_;
    std::array<Line, kHeaderRecords> header_{};
    std::array<std::vector<std::string_view>, kHeaderRecords> header_fields_;
    std::vector<Line> rows_;
    // The numeric columns' position among themselves.
    static constexpr size_t number_slot(size_t column) noexcept { return column - (column > 5) - (column > 27); }

    // The 33 numeric columns in one block, column after column, `stride_`
    // values apart: a single allocation that the allocator can hand out
    // again to the next file read, where 33 small ones would come back to
    // it as fresh pages each time.
    std::unique_ptr<double[]> numbers_;
    size_t stride_ = 0;
    std::array<std::vector<std::pair<uint32_t, uint32_t>>, kColumns> texts_;  // (offset, length) per row
};

// `value` in the spelling of `original`: as many decimals as it has (none
// for an integer), the shortest exact form when it has an exponent or is
// empty. Throws EpwError for a value that is not finite.
std::string format_like(double value, std::string_view original);

}  // namespace tarvix::epw
