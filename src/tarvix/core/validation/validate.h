// Checking a document against its schema: every value against its field's
// type, choices and bounds, every reference against the names the document
// defines, every class against its object counts, and the document's
// version against the schema's. Free of the interpreter; reads the document
// through a SlotSource and the reference graph, and changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/formats/layout.h"
#include "core/document/refgraph.h"
#include "core/schema/schema.h"

namespace tarvix {

enum class ProblemCode : uint8_t {
    // errors
    unknown_reference,
    required_field,
    required_object,
    unique_object,
    duplicate_name,
    not_a_number,
    not_an_integer,
    below_minimum,
    above_maximum,
    not_a_choice,
    too_many_fields,
    schedule_incomplete,     // a schedule that leaves days or times without a value
    schedule_bad_time,       // an "Until" time or "Through" date that does not read
    schedule_out_of_limits,  // values outside the schedule's ScheduleTypeLimits
    schedule_bad_date,       // a design day's or run period's date the engine refuses (2/30, month 13)
    // warnings
    too_few_fields,
    version_mismatch,
    obsolete_class,
    deprecated_field,
    schedule_day_uncovered,  // day types a schedule gives no day schedule (the engine: 0.0)
};
inline constexpr size_t kProblemCodes = 20;
inline constexpr uint32_t kAllCodes = (1u << kProblemCodes) - 1;

constexpr uint32_t code_bit(ProblemCode code) { return 1u << static_cast<unsigned>(code); }

// "unknown-reference", "required-field", ...
std::string_view code_name(ProblemCode code) noexcept;
std::optional<ProblemCode> code_from_name(std::string_view name) noexcept;
// Errors stop a simulation; warnings may not.
bool is_error(ProblemCode code) noexcept;

// One problem found. The texts are views, not copies: the class name into
// the schema, the object's name and the value into the
// document's values, so a check costs no more than its problems however
// long the names are. They stay valid while the schema and the document
// stay unchanged. The message is the one text a problem owns; it quotes
// names and values at most kQuoted bytes long.
struct Problem {
    ProblemCode code;
    const ClassDef* cls = nullptr;
    std::string_view class_name;
    std::string_view object_name;  // empty: the object has no name, or there is no object
    size_t obj_idx = SIZE_MAX;     // SIZE_MAX: a problem of the document, not of one object
    int64_t field_index = -1;      // -1: not about one field
    std::string field_name;
    std::string_view value;
    bool has_value = false;
    bool error = false;   // is_error(code), but for what the engine leaves unused
    std::string message;  // one sentence naming class, object, field and value
};

// The longest name or value a message quotes whole; longer ones are cut
// there (at a character boundary) and end in "…".
inline constexpr size_t kQuoted = 200;

// Names the engine knows without an object defining them (its built-in
// fluids and schedules), under the object-list each belongs to. A value
// naming one of them is no unknown reference.
struct BuiltinName {
    std::string_view object_list;
    std::string_view name;
};
std::span<const BuiltinName> builtin_names() noexcept;

// The name of an object, for messages: its first value when the class's
// first field is a name (an alpha field that other objects refer to, or
// whose name ends in "Name"); empty otherwise.
std::string_view object_name(const ClassDef* cls, ValuesView values) noexcept;

// The first field of the document's first Version object; nullopt when it
// has none.
std::optional<std::string_view> document_version(const SlotSource& slots, const c_IDD& schema) noexcept;

// Appends every problem found under the checks in `codes` (code_bit
// flags), in document order; problems of the document as a whole (missing
// required objects) come last, in schema order. `targets` is the
// document's graph of defined names. Throws std::bad_alloc.
// A Schedule:File's relative file name is looked for in `folder` (the
// document's own) only, never from the current directory.
void validate(const SlotSource& slots, const c_IDD& schema, const RefMap& targets, uint32_t codes,
              std::vector<Problem>& out, std::string_view folder = {});

}  // namespace tarvix
