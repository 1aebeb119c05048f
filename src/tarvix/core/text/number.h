// Numbers read from field text with the C locale's rules, whatever locale
// the process has set.
#pragma once

#include <optional>
#include <string_view>

namespace tarvix {

// The whole text read as a base-10 integer (leading white space and a sign
// allowed) or nothing; `out_of_range` tells that the digits do not fit.
std::optional<long> read_integer(std::string_view text, bool& out_of_range) noexcept;

// Plain decimals ("-12.5", ".25", "1.27E-02") of at most 15 significant
// digits and a power of ten within 22, read exactly without the C library
// into `*out` (unless `out` is null: the form alone is told); false for
// anything else (longer numbers, signs other than a leading '-' and the
// exponent's), `*out` unchanged.
bool scan_short_decimal(std::string_view text, double* out) noexcept;
inline bool read_short_decimal(std::string_view text, double& out) noexcept { return scan_short_decimal(text, &out); }
// Whether read_short_decimal reads `text`, told without the arithmetic.
inline bool is_short_decimal(std::string_view text) noexcept { return scan_short_decimal(text, nullptr); }

// The whole text read as a floating-point number (decimal or hexadecimal
// forms, inf, infinity, nan) or nothing.
std::optional<double> read_real(std::string_view text) noexcept;

// The whole text read as the engine reads a number: a decimal with an
// optional sign and exponent, nothing around it, finite; or nothing. Short
// decimals take the exact path above, the rest the standard library's.
std::optional<double> read_decimal(std::string_view text) noexcept;

}  // namespace tarvix
