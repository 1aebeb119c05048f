#include "core/formats/epw.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "core/text/number.h"

namespace tarvix::epw {

const std::array<std::string_view, kHeaderRecords> kHeaderKeywords = {
    "LOCATION",
    "DESIGN CONDITIONS",
    "TYPICAL/EXTREME PERIODS",
    "GROUND TEMPERATURES",
    "HOLIDAYS/DAYLIGHT SAVINGS",
    "COMMENTS 1",
    "COMMENTS 2",
    "DATA PERIODS",
};

const std::array<std::string_view, kColumns> kColumnNames = {
    "year",
    "month",
    "day",
    "hour",
    "minute",
    "data_source",
    "dry_bulb",
    "dew_point",
    "relative_humidity",
    "pressure",
    "extraterrestrial_horizontal",
    "extraterrestrial_normal",
    "horizontal_infrared",
    "global_horizontal",
    "direct_normal",
    "diffuse_horizontal",
    "global_illuminance",
    "direct_illuminance",
    "diffuse_illuminance",
    "zenith_luminance",
    "wind_direction",
    "wind_speed",
    "total_sky_cover",
    "opaque_sky_cover",
    "visibility",
    "ceiling_height",
    "present_weather_observation",
    "present_weather_codes",
    "precipitable_water",
    "aerosol_optical_depth",
    "snow_depth",
    "days_since_last_snowfall",
    "albedo",
    "liquid_precipitation_depth",
    "liquid_precipitation_quantity",
};

namespace {

std::string at_line(size_t line, const std::string& message) { return "line " + std::to_string(line) + ": " + message; }

std::string_view trim(std::string_view s) noexcept {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool same_keyword(std::string_view field, std::string_view keyword) noexcept {
    field = trim(field);
    if (field.size() != keyword.size()) return false;
    for (size_t i = 0; i < field.size(); ++i) {
        char c = field[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != keyword[i]) return false;
    }
    return true;
}

// Splits a line at its commas into `out` (cleared first).
void split(std::string_view line, std::vector<std::string_view>& out) {
    out.clear();
    size_t start = 0;
    for (;;) {
        const void* comma = std::memchr(line.data() + start, ',', line.size() - start);
        if (!comma) {
            out.push_back(line.substr(start));
            return;
        }
        const size_t at = static_cast<size_t>(static_cast<const char*>(comma) - line.data());
        out.push_back(line.substr(start, at - start));
        start = at + 1;
    }
}

// A plain decimal of at most 15 digits ("-12.5", ".25", "7"), read exactly:
// the digits as an integer, divided once by a power of ten (both exact, so
// the quotient is the nearest double). False for anything else.
bool read_plain(std::string_view field, double& out) noexcept {
    static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const char* p = field.data();
    const char* const end = p + field.size();
    const bool negative = p < end && *p == '-';
    if (negative) ++p;
    uint64_t mantissa = 0;
    int digits = 0, decimals = -1;
    for (; p < end; ++p) {
        const char c = *p;
        if (c >= '0' && c <= '9') {
            mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
            ++digits;
            if (decimals >= 0) ++decimals;
        } else if (c == '.' && decimals < 0) {
            decimals = 0;
        } else {
            return false;
        }
    }
    if (digits == 0 || digits > 15) return false;
    double value = static_cast<double>(mantissa);
    if (decimals > 0) value /= kPowers[decimals];
    out = negative ? -value : value;
    return true;
}

// read_plain over the text from `p` up to the next comma or `end`, in one
// pass: on success `p` is left at that comma (or `end`).
bool scan_plain(const char*& p, const char* end, double& out) noexcept {
    static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const char* q = p;
    const bool negative = q < end && *q == '-';
    if (negative) ++q;
    const char* const first = q;
    const char* dot = nullptr;
    uint64_t mantissa = 0;  // wraps past 19 digits, but those are turned down below
    for (; q < end; ++q) {
        const unsigned digit = static_cast<unsigned>(static_cast<unsigned char>(*q)) - '0';
        if (digit < 10) {
            mantissa = mantissa * 10 + digit;
        } else if (*q == '.' && !dot) {
            dot = q;
        } else {
            break;
        }
    }
    if (q < end && *q != ',') return false;
    const size_t digits = static_cast<size_t>(q - first) - (dot ? 1 : 0);
    if (digits == 0 || digits > 15) return false;
    double value = static_cast<double>(mantissa);
    if (dot && q - dot > 1) value /= kPowers[q - dot - 1];
    out = negative ? -value : value;
    p = q;
    return true;
}

// A number field: blanks around it allowed, a leading '+' too; empty is NaN.
bool read_number(std::string_view field, double& out) noexcept {
    if (read_plain(field, out)) return true;
    field = trim(field);
    if (field.empty()) {
        out = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (read_short_decimal(field, out)) return true;
    if (field.front() == '+' && field.size() > 1 && field[1] != '-') field.remove_prefix(1);
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), out);
    return error == std::errc() && end == field.data() + field.size();
}

bool same_value(double a, double b) noexcept { return a == b || (std::isnan(a) && std::isnan(b)); }

}  // namespace

std::string format_like(double value, std::string_view original) {
    if (!std::isfinite(value)) throw EpwError("value is not a finite number");
    original = trim(original);
    const bool exponent = original.find_first_of("eE") != std::string_view::npos;
    if (original.empty() || exponent) {
        char buffer[64];
        const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
        return std::string(buffer, error == std::errc() ? end : buffer);
    }
    const size_t dot = original.find('.');
    const int decimals = dot == std::string_view::npos ? 0 : static_cast<int>(original.size() - dot - 1);
    const int size = std::snprintf(nullptr, 0, "%.*f", decimals, value);
    std::string text(static_cast<size_t>(size), '\0');
    std::snprintf(text.data(), text.size() + 1, "%.*f", decimals, value);
    // A value that rounds to zero is written without a sign.
    if (text.front() == '-' && text.find_first_of("123456789") == std::string::npos) text.erase(0, 1);
    return text;
}

EpwFile::EpwFile(std::string_view text) : text_(text) {
    if (text_.size() > std::numeric_limits<uint32_t>::max()) throw EpwError("the file is larger than 4 GiB");
    size_t pos = 0, line_no = 0;
    // The next line: its span without the line end (LF, CRLF or CR), and pos past it.
    auto next_line = [&](Line& line) {
        if (pos >= text_.size()) return false;
        const char* base = text_.data();
        const void* nl = std::memchr(base + pos, '\n', text_.size() - pos);
        size_t end = nl ? static_cast<size_t>(static_cast<const char*>(nl) - base) : text_.size();
        if (const void* cr = std::memchr(base + pos, '\r', end - pos))
            end = static_cast<size_t>(static_cast<const char*>(cr) - base);
        line = {pos, end - pos, ++line_no};
        pos = end;
        if (pos < text_.size() && text_[pos] == '\r') ++pos;
        if (pos < text_.size() && text_[pos] == '\n') ++pos;
        return true;
    };

    for (size_t i = 0; i < kHeaderRecords; ++i) {
        Line line;
        if (!next_line(line))
            throw EpwError(
                at_line(line_no + 1, "the header ends before its " + std::string(kHeaderKeywords[i]) + " record"));
        header_[i] = line;
        split(text_.substr(line.start, line.length), header_fields_[i]);
        if (!same_keyword(header_fields_[i][0], kHeaderKeywords[i]))
            throw EpwError(at_line(line.line, "expected the " + std::string(kHeaderKeywords[i]) + " record"));
    }

    // At most one row per line left: room for them all at once. A line ends
    // at a LF, or at a CR that no LF follows.
    size_t lines = 1;
    for (size_t at = text_.find('\n', pos); at != std::string_view::npos; at = text_.find('\n', at + 1)) ++lines;
    for (size_t at = text_.find('\r', pos); at != std::string_view::npos; at = text_.find('\r', at + 1))
        if (at + 1 == text_.size() || text_[at + 1] != '\n') ++lines;
    for (size_t c = 0; c < kColumns; ++c)
        if (is_text_column(c)) texts_[c].reserve(lines);
    stride_ = lines;
    numbers_ = std::make_unique_for_overwrite<double[]>((kColumns - 2) * lines);
    rows_.reserve(lines);
    Line line;
    while (next_line(line)) {
        const std::string_view content = text_.substr(line.start, line.length);
        if (trim(content).empty()) continue;  // kept as it is, between the rows
        const char* p = content.data();
        const char* const end = p + content.size();
        for (size_t c = 0; c < kColumns; ++c) {
            const char* const start = p;
            double value = 0;
            // Most fields are plain decimals, read while the comma is looked for.
            const bool plain = !is_text_column(c) && scan_plain(p, end, value);
            if (!plain) {
                const size_t comma = content.find(',', static_cast<size_t>(start - content.data()));
                p = comma == std::string_view::npos ? end : content.data() + comma;
            }
            const std::string_view field(start, static_cast<size_t>(p - start));
            if (is_text_column(c)) {
                texts_[c].emplace_back(static_cast<uint32_t>(start - text_.data()),
                                       static_cast<uint32_t>(field.size()));
            } else {
                if (!plain && !read_number(field, value))
                    throw EpwError(at_line(line.line, "field " + std::to_string(c + 1) + " (" +
                                                          std::string(kColumnNames[c]) + ") is not a number: '" +
                                                          std::string(field.substr(0, 40)) + "'"));
                numbers_[number_slot(c) * stride_ + rows_.size()] = value;
            }
            if (c + 1 == kColumns) break;
            if (p == end)
                throw EpwError(at_line(line.line, "a data line has 35 fields, this one " + std::to_string(c + 1)));
            ++p;  // past the comma
        }
        rows_.push_back(line);
    }
}

std::string_view EpwFile::text(size_t column, size_t row) const noexcept {
    const auto [offset, length] = texts_[column][row];
    return text_.substr(offset, length);
}

std::string EpwFile::write(const Edits& edits) const {
    std::string out;
    out.reserve(text_.size() + text_.size() / 16);
    size_t pos = 0;
    auto put_gap = [&](const Line& line) {
        out.append(text_.data() + pos, line.start - pos);
        pos = line.start + line.length;
    };
    for (size_t i = 0; i < kHeaderRecords; ++i) {
        put_gap(header_[i]);
        if (edits.header[i]) {
            if (edits.header[i]->find_first_of("\r\n") != std::string::npos)
                throw EpwError("the " + std::string(kHeaderKeywords[i]) + " record holds a line end");
            out += *edits.header[i];
        } else {
            out.append(text_.data() + header_[i].start, header_[i].length);
        }
    }

    // The rows with a value that changed: a column whose bits are all as
    // read is passed over at once, the others compared row by row.
    std::vector<uint8_t> edited(rows_.size(), 0);
    std::array<const double*, kColumns> changed_numbers{};
    for (size_t c = 0; c < kColumns; ++c) {
        if (is_text_column(c)) {
            for (const auto& entry : edits.texts[c]) edited[entry.first] = 1;
            continue;
        }
        const double* current = edits.numbers[c];
        const std::span<const double> original = numbers(c);
        if (!current || original.empty() || std::memcmp(current, original.data(), original.size_bytes()) == 0) continue;
        for (size_t row = 0; row < original.size(); ++row)
            if (!same_value(current[row], original[row])) edited[row] = 1;
        changed_numbers[c] = current;
    }

    std::array<size_t, kColumns> cursor{};
    std::vector<std::string_view> fields;
    std::array<bool, kColumns> changed{};
    for (size_t row = 0; row < rows_.size(); ++row) {
        const Line& line = rows_[row];
        put_gap(line);
        const std::string_view content = text_.substr(line.start, line.length);
        if (!edited[row]) {
            out += content;
            continue;
        }
        for (size_t c = 0; c < kColumns; ++c) {
            if (is_text_column(c)) {
                const auto& texts = edits.texts[c];
                changed[c] = cursor[c] < texts.size() && texts[cursor[c]].first == row;
            } else {
                changed[c] = changed_numbers[c] && !same_value(changed_numbers[c][row], numbers(c)[row]);
            }
        }
        split(content, fields);
        for (size_t c = 0; c < fields.size(); ++c) {
            if (c) out += ',';
            if (c >= kColumns || !changed[c]) {
                out += fields[c];
            } else if (is_text_column(c)) {
                const std::string& value = edits.texts[c][cursor[c]++].second;
                if (value.find_first_of(",\r\n") != std::string::npos)
                    throw EpwError(at_line(line.line, std::string(kColumnNames[c]) + " holds a comma or a line end"));
                out += value;
            } else {
                try {
                    out += format_like(edits.numbers[c][row], fields[c]);
                } catch (const EpwError& error) {
                    throw EpwError(at_line(line.line, std::string(kColumnNames[c]) + ": " + error.what()));
                }
            }
        }
    }
    out.append(text_.data() + pos, text_.size() - pos);
    return out;
}

}  // namespace tarvix::epw
