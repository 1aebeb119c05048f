// Typed reads of field text. strtol_l / strtod_l with a "C" locale object
// give the C locale's rules (decimal point, white space, hexadecimal forms,
// inf and nan) whatever locale the process has set.
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <locale.h>
#include <string>

#include "core/text/number.h"

namespace tarvix {
namespace {

// The "C" locale as an object; should it be unavailable, the conversions
// fall back to the plain functions.
locale_t c_locale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

long to_long(const char* text, char** end) {
    const locale_t locale = c_locale();
    return locale ? strtol_l(text, end, 10, locale) : std::strtol(text, end, 10);
}

double to_double(const char* text, char** end) {
    const locale_t locale = c_locale();
    return locale ? strtod_l(text, end, locale) : std::strtod(text, end);
}

// A NUL-terminated copy for the C conversion functions; short texts stay on
// the stack.
class CString {
public:
    explicit CString(std::string_view text) {
        if (text.size() < sizeof small_) {
            std::memcpy(small_, text.data(), text.size());
            small_[text.size()] = '\0';
            data_ = small_;
        } else {
            large_.assign(text);
            data_ = large_.c_str();
        }
    }
    const char* c_str() const { return data_; }

private:
    char small_[64];
    std::string large_;
    const char* data_;
};

}  // namespace

namespace {

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Plain decimal integers of up to 18 digits (nearly every integer in a
// document) need neither a copy nor the C library.
std::optional<long> plain_integer(std::string_view text) noexcept {
    size_t i = text[0] == '-' ? 1 : 0;
    const size_t digits = text.size() - i;
    if (digits == 0 || digits > 18) return std::nullopt;
    long value = 0;
    for (; i < text.size(); ++i) {
        if (!is_digit(text[i])) return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return text[0] == '-' ? -value : value;
}

// Decimal numbers without blanks or a plus sign, read by from_chars, which
// rounds exactly as strtod does; anything else goes to strtod.
std::optional<double> plain_real(std::string_view text) noexcept {
    if (double short_value = 0; read_short_decimal(text, short_value)) return short_value;
    const char first = text.front();
    const char last = text.back();
    if (!(is_digit(first) || first == '-' || first == '.') || !(is_digit(last) || last == '.')) return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

// At most 15 significant digits make an integer below 2^53, exact as a
// double, and a power of ten up to 10^22 is exact too: one multiplication
// or division then rounds once, to the double nearest the decimal, as
// from_chars and strtod give.
bool scan_short_decimal(std::string_view text, double* out) noexcept {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const char* p = text.data();
    const char* const end = p + text.size();
    const bool negative = p != end && *p == '-';
    p += negative;
    uint64_t mantissa = 0;
    int significant = 0;
    int after_point = 0;
    bool any_digit = false;
    bool point = false;
    for (; p != end; ++p) {
        const char c = *p;
        if (is_digit(c)) {
            any_digit = true;
            if (significant != 0 || c != '0') {
                if (++significant > 15) return false;
                mantissa = mantissa * 10 + static_cast<uint64_t>(c - '0');
            }
            after_point += point;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!any_digit) return false;
    int exponent = 0;
    if (p != end) {
        if (*p != 'e' && *p != 'E') return false;
        ++p;
        const bool negative_exponent = p != end && *p == '-';
        p += (p != end && (*p == '-' || *p == '+'));
        if (p == end || end - p > 4) return false;
        for (; p != end; ++p) {
            if (!is_digit(*p)) return false;
            exponent = exponent * 10 + (*p - '0');
        }
        if (negative_exponent) exponent = -exponent;
    }
    const int power = exponent - after_point;
    if (significant != 0 && (power < -22 || power > 22)) return false;
    if (out) {
        double value = static_cast<double>(mantissa);
        if (significant != 0) value = power < 0 ? value / kPowers[-power] : value * kPowers[power];
        *out = negative ? -value : value;
    }
    return true;
}

std::optional<long> read_integer(std::string_view text, bool& out_of_range) noexcept {
    out_of_range = false;
    if (text.empty()) return std::nullopt;
    if (const std::optional<long> plain = plain_integer(text)) return plain;
    try {
        const CString copy(text);
        char* end = nullptr;
        errno = 0;
        const long value = to_long(copy.c_str(), &end);
        // Judged against the byte length, so an embedded NUL leaves text over.
        if (end != copy.c_str() + text.size()) return std::nullopt;
        out_of_range = errno == ERANGE;
        return value;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<double> read_real(std::string_view text) noexcept {
    if (text.empty()) return std::nullopt;
    if (const std::optional<double> plain = plain_real(text)) return plain;
    try {
        const CString copy(text);
        char* end = nullptr;
        const double value = to_double(copy.c_str(), &end);
        if (end != copy.c_str() + text.size()) return std::nullopt;
        return value;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<double> read_decimal(std::string_view text) noexcept {
    double out = 0.0;
    if (read_short_decimal(text, out)) return out;
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return std::nullopt;
    }
    if (text.empty() || text.front() == '+') return std::nullopt;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(out)) return std::nullopt;
    return out;
}

}  // namespace tarvix
