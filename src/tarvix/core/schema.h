// The schema in memory: classes, their fields and properties, and the
// repeating (extensible) group some classes end with; the IDD parser that
// fills it and the field lookups that read it. Plain value types, free of
// the interpreter: built once by the parser, read-only afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/tokenizer.h"
#include "core/hash.h"
#include "core/text.h"

namespace tarvix::idd {

enum FieldType : int32_t {
    FIELDTYPE_DEFAULT = 0,
    FIELDTYPE_INTEGER = 1,
    FIELDTYPE_REAL = 2,
    FIELDTYPE_ALPHA = 3,
    FIELDTYPE_CHOICE = 4,
    FIELDTYPE_OBJLIST = 5,
    FIELDTYPE_NODE = 6,
};

struct FieldDef {
    std::string name;  // \field value, or the identifier (A1, N3) without one
    bool required = false;
    std::string units;
    std::string default_val;
    bool autosizable = false;
    bool autocalculatable = false;
    FieldType field_type = FIELDTYPE_DEFAULT;
    std::vector<std::string> choices;       // \key lines
    std::vector<std::string> references;    // name lists the value is entered in
    std::vector<std::string> object_lists;  // name lists the value must come from
};

// How one field name of the repeating group is built and recognised: the
// template name up to its first digit run, and after it.
struct ExtPattern {
    std::string prefix;
    std::string suffix;
    std::string search_prefix;  // lower-cased, ready for lookups
    std::string search_suffix;
};

struct ExtensibleDef {
    bool is_extensible = false;
    int32_t begin_index = -1;  // first field of the first group; -1 while unknown
    int32_t size = -1;         // fields per group; -1 when unknown
    std::vector<ExtPattern> patterns;
};

struct ClassDef {
    std::string name;   // as written
    std::string group;  // latest \group before the class
    std::vector<FieldDef> fields;
    int32_t min_fields = 0;
    StringMap<int32_t> base_field_index_map;  // lower-cased name -> index, base fields only
    ExtensibleDef extensible;
    std::vector<uint32_t> field_idx_with_default;  // fields with a non-empty \default
};

struct c_IDD {
    std::string version;
    StringMap<uint32_t> class_map;  // upper-cased class name -> index in ordered_classes
    std::vector<ClassDef> ordered_classes;
};

// ---------------------------------------------------------------------------
// Parser

enum class ParseErrorKind {
    orphaned_property,             // property line before any class
    field_property_without_class,  // guard: a current field but no class
    empty_class_name,              // comma outside a class body, no name
    unexpected_eof,                // end of text inside a class body or after a name
    token_error,                   // the tokenizer's error token
    min_fields_too_large,          // a class's \min-fields beyond what it can hold
};

// The largest \min-fields a class with a repeating group may ask for.
inline constexpr size_t kMaxMinFields = 100000;

struct ParseError {
    ParseErrorKind kind = ParseErrorKind::token_error;
    int32_t line_num = 0;
    std::string value;  // the offending token's text (property line or error message), or the class name
    int64_t number = 0;  // min_fields_too_large: the class's \min-fields
    int64_t limit = 0;   // ... and the most it may be
    bool limit_is_field_count = false;  // ... because the class has that many fields
};

// Fills `idd` from the tokenizer's stream. Returns false with `error` filled
// on a syntax error; `idd` is then partly built.
bool parse_schema(lexer::Tokenizer& tokens, c_IDD& idd, ParseError& error) noexcept;

// ---------------------------------------------------------------------------
// Field lookup

// Definition of the field at `field_idx`, positions of later repeating
// groups mapped onto the first group; null when the class has no such field.
const FieldDef* get_field_def(const ClassDef* cls, size_t field_idx) noexcept;

// Name of the field at `field_idx` (group names generated from the
// patterns), with " {units}" when asked; empty when there is no such field.
std::string get_field_name(const ClassDef* cls, int32_t field_idx, bool add_units) noexcept;

// The pieces of that name: the name of a base field, or the prefix, group
// number and suffix of a group field; and the field definition whose units
// go with it. Not valid for a position in a repeating group of size 0,
// which has no group number.
struct FieldName {
    std::string_view prefix;
    int64_t group = 0;  // 0: no group number (a base field, or no name at all)
    std::string_view suffix;
    const FieldDef* field = nullptr;
    bool valid = true;
};
FieldName field_name_parts(const ClassDef* cls, int64_t field_idx) noexcept;

// Appends that name to `out`; false (nothing appended) for a position in a
// repeating group of size 0, which has no group number. Throws
// std::bad_alloc / std::length_error when `out` cannot grow.
bool append_field_name(std::string& out, const ClassDef* cls, int64_t field_idx, bool add_units);

// Index of a field by case-insensitive name, base names first, then group
// names "<prefix><group number><suffix>"; -1 when not found.
int32_t find_field_index(const ClassDef* cls, const std::string& field_name) noexcept;
int32_t find_field_index(const ClassDef* cls, std::string_view field_name) noexcept;

// Class by name: the key is the name with ASCII letters upper-cased.
const ClassDef* find_class(const c_IDD& idd, std::string_view upper_key) noexcept;

}  // namespace tarvix::idd
