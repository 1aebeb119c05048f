// Reading a field's value as the readers of documents do (geometry,
// schedules): the value without its surrounding blanks, and a number read
// with the one grammar the loader uses (short decimals first, then the full
// reader), finite or none.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/document/values.h"
#include "core/text/number.h"

namespace tarvix {

// `text` without the spaces and tabs around it.
inline std::string_view trimmed(std::string_view text) noexcept {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// Field `index` of an object, trimmed; empty for a field it lacks or index -1.
inline std::string_view field_text(ValuesView values, int32_t index) noexcept {
    return index < 0 ? std::string_view() : trimmed(values.at_or_empty(static_cast<size_t>(index)));
}

// The number `text` holds, or none for an empty text, a word (autocalculate,
// autosize) or a number past the range of double.
inline std::optional<double> field_number(std::string_view text) noexcept {
    text = trimmed(text);
    if (text.empty()) return std::nullopt;
    double out = 0.0;
    if (read_short_decimal(text, out)) return out;
    const std::optional<double> read = read_real(text);
    if (read && std::isfinite(*read)) return read;
    return std::nullopt;
}

}  // namespace tarvix
