// The weather file reader and writer on any text. A text that reads must
// write back byte for byte without edits, and with every value given again
// as read. Then the first byte of the input picks a row and a column to
// edit: the text written reads again, with as many rows, the edited field
// holding the value in its field's spelling (re-read exactly as
// format_like wrote it) and every other field of every row as it was.
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/formats/epw.h"
#include "fuzz_common.h"

using tarvix::epw::EpwError;
using tarvix::epw::EpwFile;
using tarvix::epw::kColumns;

namespace {

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

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
