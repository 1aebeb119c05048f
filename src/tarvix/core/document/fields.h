// Reading a field's value as the engine reads it, for every reader of
// documents (geometry, schedules, validation, the epJSON writer): the value
// without its surrounding blanks, a number read with the engine's decimal
// grammar (read_decimal), and fields found by their schema names.
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/document/values.h"
#include "core/schema/schema.h"
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
inline std::optional<double> field_number(std::string_view text) noexcept { return read_decimal(trimmed(text)); }

// The position of a class's field by its name in lower case, -1 when the
// class has none of that name (or there is no class).
inline int32_t field_position(const ClassDef* cls, std::string_view lower_name) noexcept {
    if (!cls) return -1;
    const auto found = cls->base_field_index_map.find(lower_name);
    return found == cls->base_field_index_map.end() ? -1 : found->second;
}

// The same for a reader that asks one class for the same literal names
// object after object: after the first, a look-up compares one pointer.
class FieldPositions {
public:
    explicit FieldPositions(const ClassDef* cls) : cls_(cls) {}
    int32_t operator()(std::string_view lower_name) noexcept {
        for (const auto& [name, index] : known_)
            if (name == lower_name.data()) return index;
        const int32_t index = field_position(cls_, lower_name);
        if (known_.size() < kKnown) {
            try {
                known_.emplace_back(lower_name.data(), index);
            } catch (const std::bad_alloc&) {
            }
        }
        return index;
    }

private:
    static constexpr size_t kKnown = 24;
    const ClassDef* cls_;
    std::vector<std::pair<const char*, int32_t>> known_;
};

}  // namespace tarvix
