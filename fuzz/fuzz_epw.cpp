// The weather file reader and writer on any text. A text that reads must
// hold, row by row, the values a plain reference reading of its data lines
// gives (std::from_chars on each trimmed field), and write back byte for
// byte without edits, and with every value given again as read. Then the first byte of the input picks a row and a
// column to edit: the text written reads again, with as many rows, the edited field holding the value in its field's
// spelling (re-read exactly as format_like wrote it) and every other field of every row as it was.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "core/formats/epw.h"
#include "fuzz_common.h"

using tarvix::epw::EpwError;
using tarvix::epw::EpwFile;
using tarvix::epw::kColumns;

namespace {

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// The data lines' fields as a plain reading sees them: lines split at LF,
// CRLF or CR, the eight header lines and blank lines skipped, fields split
// at commas.
std::vector<std::vector<std::string_view>> reference_rows(std::string_view text) {
    std::vector<std::vector<std::string_view>> rows;
    size_t pos = 0, line = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view content = text.substr(pos, end - pos);
        pos = end + (text.substr(end, 2) == "\r\n" ? 2 : end < text.size() ? 1 : 0);
        if (++line <= tarvix::epw::kHeaderRecords || content.find_first_not_of(" \t") == std::string_view::npos)
            continue;
        std::vector<std::string_view> fields;
        for (size_t start = 0;;) {
            const size_t comma = content.find(',', start);
            fields.push_back(
                content.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
            if (comma == std::string_view::npos) break;
            start = comma + 1;
        }
        rows.push_back(std::move(fields));
    }
    return rows;
}

// A field read the plain way: blanks trimmed, a leading '+' dropped, empty as NaN.
bool reference_number(std::string_view field, double& out) {
    while (!field.empty() && (field.front() == ' ' || field.front() == '\t')) field.remove_prefix(1);
    while (!field.empty() && (field.back() == ' ' || field.back() == '\t')) field.remove_suffix(1);
    if (field.empty()) {
        out = std::nan("");
        return true;
    }
    if (field.front() == '+' && field.size() > 1 && field[1] != '-') field.remove_prefix(1);
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), out);
    return error == std::errc() && end == field.data() + field.size();
}

tarvix::epw::Edits as_read(const EpwFile& file) {
    tarvix::epw::Edits edits;
    for (size_t c = 0; c < kColumns; ++c)
        if (!tarvix::epw::is_text_column(c)) edits.numbers[c] = file.numbers(c).data();
    return edits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t pick = data[0];
    const std::string_view text = fuzz::as_text(data + 1, size - 1);
    std::unique_ptr<EpwFile> read;
    try {
        read = std::make_unique<EpwFile>(text);
    } catch (const EpwError&) {
        return 0;  // a text that does not read
    }
    const EpwFile& file = *read;
    const auto rows = reference_rows(text);
    FUZZ_CHECK(rows.size() == file.rows());
    for (size_t r = 0; r < rows.size(); ++r) {
        FUZZ_CHECK(rows[r].size() >= kColumns);
        for (size_t c = 0; c < kColumns; ++c) {
            if (tarvix::epw::is_text_column(c)) {
                FUZZ_CHECK(file.text(c, r) == rows[r][c]);
                continue;
            }
            double want = 0;
            FUZZ_CHECK(reference_number(rows[r][c], want));
            FUZZ_CHECK(same(file.numbers(c)[r], want));
        }
    }
    {
        FUZZ_CHECK(file.write({}) == text);
        FUZZ_CHECK(file.write(as_read(file)) == text);
        if (file.rows() == 0) return 0;

        const size_t row = pick % file.rows();
        const size_t column = (pick / 8u) % kColumns;
        tarvix::epw::Edits edits = as_read(file);
        std::vector<double> values;
        if (tarvix::epw::is_text_column(column)) {
            edits.texts[column].emplace_back(static_cast<uint32_t>(row), "X");
        } else {
            values.assign(file.numbers(column).begin(), file.numbers(column).end());
            values[row] = values[row] == 12.5 ? -3.25 : 12.5;
            edits.numbers[column] = values.data();
        }
        const std::string written = file.write(edits);
        const EpwFile again(written);
        FUZZ_CHECK(again.rows() == file.rows());
        for (size_t r = 0; r < file.rows(); ++r) {
            for (size_t c = 0; c < kColumns; ++c) {
                const bool edited = r == row && c == column;
                if (tarvix::epw::is_text_column(c)) {
                    FUZZ_CHECK(again.text(c, r) == (edited ? std::string_view("X") : file.text(c, r)));
                } else if (!edited) {
                    FUZZ_CHECK(same(again.numbers(c)[r], file.numbers(c)[r]));
                } else {
                    // The value as written reads back as the writer rounded it.
                    const double got = again.numbers(c)[r];
                    FUZZ_CHECK(std::isfinite(got));
                    FUZZ_CHECK(std::fabs(got - values[r]) <= 0.5);
                }
            }
        }
    }
    return 0;
}
