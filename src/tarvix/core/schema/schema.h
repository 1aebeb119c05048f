// The schema in memory: classes, their fields and every property the data
// dictionary gives them, and the repeating (extensible) group some classes
// end with; the IDD parser that fills it and the field lookups that read it.
// Built once by the parser, read-only afterwards.
//
// Text in the schema is viewed, not copied: names, units, notes and the
// other property values are views into the IDD text the schema was parsed
// from, which its owner keeps alive for as long as the schema (the IDD
// object holds the bytes). What is not in that text (folded search keys,
// generated names) lives in the schema's arena, as do the runs of views that
// make up the lists (choices, tags, note lines). Nothing moves once parsed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/arena.h"
#include "core/text/tokenizer.h"
#include "core/base/hash.h"
#include "core/text/text.h"

namespace tarvix {

// The field types the document model tells apart; any other \type text
// (external-list among them) is FIELDTYPE_DEFAULT.
enum FieldType : int32_t {
    FIELDTYPE_DEFAULT = 0,
    FIELDTYPE_INTEGER = 1,
    FIELDTYPE_REAL = 2,
    FIELDTYPE_ALPHA = 3,
    FIELDTYPE_CHOICE = 4,
    FIELDTYPE_OBJLIST = 5,
    FIELDTYPE_NODE = 6,
};

// The \type as the dictionary declares it, every type word included.
enum class DeclaredType : uint8_t { none, integer, real, alpha, choice, object_list, external_list, node };

using Views = std::span<const std::string_view>;

// The lists a field carries, stored back to back in this order.
enum class FieldList : uint8_t { choices, references, object_lists, reference_class_names, external_lists, notes };
inline constexpr size_t kFieldLists = 6;

struct FieldDef {
    std::string_view name;         // \field value, or the identifier (A1, N3) without one
    std::string_view units;        // \units
    std::string_view default_val;  // \default
    std::string_view ip_units;     // \ip-units
    std::string_view units_based_on_field;  // \unitsBasedOnField
    double minimum = 0.0;  // \minimum or \minimum>, when has_minimum
    double maximum = 0.0;  // \maximum or \maximum<, when has_maximum
    const std::string_view* lists = nullptr;  // the lists, back to back (see FieldList)
    uint32_t list_ends[kFieldLists] = {};     // end of each list in `lists`
    const uint32_t* tag_ids = nullptr;        // the schema's numbers of the references, then the object-lists
    FieldType field_type = FIELDTYPE_DEFAULT;
    DeclaredType declared_type = DeclaredType::none;
    char kind = 'A';  // 'A' (alpha) or 'N' (numeric), from the identifier
    bool required = false;
    bool autosizable = false;
    bool autocalculatable = false;
    bool has_minimum = false;
    bool has_maximum = false;
    bool minimum_exclusive = false;
    bool maximum_exclusive = false;
    bool retain_case = false;
    bool deprecated = false;

    Views list(FieldList which) const noexcept {
        const auto k = static_cast<size_t>(which);
        const uint32_t begin = k == 0 ? 0 : list_ends[k - 1];
        return {lists + begin, list_ends[k] - begin};
    }
    Views choices() const noexcept { return list(FieldList::choices); }        // \key lines
    Views references() const noexcept { return list(FieldList::references); }  // name lists the value is entered in
    Views object_lists() const noexcept { return list(FieldList::object_lists); }  // ... it must come from
    Views reference_class_names() const noexcept { return list(FieldList::reference_class_names); }
    Views external_lists() const noexcept { return list(FieldList::external_lists); }
    Views notes() const noexcept { return list(FieldList::notes); }  // \note lines, one per line
    bool numeric() const noexcept { return field_type == FIELDTYPE_INTEGER || field_type == FIELDTYPE_REAL; }
    // The schema's number of reference tag k, or of object-list tag k;
    // UINT32_MAX when not numbered.
    uint32_t reference_id(size_t k) const noexcept { return tag_ids ? tag_ids[k] : UINT32_MAX; }
    uint32_t object_list_id(size_t k) const noexcept { return tag_ids ? tag_ids[references().size() + k] : UINT32_MAX; }
};

// How one field name of the repeating group is built and recognised: the
// template name up to its first digit run, and after it.
struct ExtPattern {
    std::string_view prefix;
    std::string_view suffix;
    std::string_view search_prefix;  // lower-cased, ready for lookups
    std::string_view search_suffix;
};

struct ExtensibleDef {
    bool is_extensible = false;
    int32_t begin_index = -1;  // first field of the first group; -1 while unknown
    int32_t size = -1;         // fields per group; -1 when unknown
    std::vector<ExtPattern> patterns;
};

struct ClassDef {
    std::string_view name;   // as written
    std::string_view group;  // latest \group before the class
    std::vector<FieldDef> fields;
    int32_t min_fields = 0;
    StringMap<int32_t, std::string_view> base_field_index_map;  // lower-cased name -> index, base fields only
    ExtensibleDef extensible;
    std::vector<uint32_t> field_idx_with_default;  // fields with a non-empty \default
    Views memo;                   // \memo lines, one per line
    std::string_view format;      // \format
    std::string_view obsolete;    // \obsolete text, when is_obsolete
    bool is_obsolete = false;
    bool unique_object = false;   // \unique-object
    bool required_object = false; // \required-object
};

struct c_IDD {
    c_IDD() = default;
    c_IDD(c_IDD&&) noexcept = default;
    c_IDD& operator=(c_IDD&&) noexcept = default;
    c_IDD(const c_IDD&) = delete;
    c_IDD& operator=(const c_IDD&) = delete;

    std::string_view version;      // default of the Version class's first field
    std::string_view idd_version;  // the "!IDD_Version" header line's value
    StringMap<uint32_t, std::string_view> class_map;  // upper-cased class name -> index in ordered_classes
    StringMap<uint32_t, std::string_view> tag_ids;    // reference and object-list tags, numbered from 0
    std::vector<ClassDef> ordered_classes;
    std::string_view text;  // the text parsed (owned by the caller)
    Arena arena;            // copies of what the text does not hold

    void clear() noexcept {
        version = {};
        idd_version = {};
        class_map.clear();
        tag_ids.clear();
        ordered_classes.clear();
        text = {};
        arena.clear();
    }
};

// ---------------------------------------------------------------------------
// Parser

enum class ParseErrorKind {
    orphaned_property,             // property line before any class
    field_property_without_class,  // guard: a current field but no class
    empty_class_name,              // comma outside a class body, no name
    unexpected_eof,                // end of text inside a class body or after a name
    token_error,                   // the tokenizer's error token
    min_fields_too_large,          // a class's \min-fields beyond kMaxMinFields
};

// The largest \min-fields a class may ask for.
inline constexpr size_t kMaxMinFields = 100000;

struct ParseError {
    ParseErrorKind kind = ParseErrorKind::token_error;
    int32_t line_num = 0;
    std::string value;  // the offending token's text (property line or error message), or the class name
    int64_t number = 0;  // min_fields_too_large: the class's \min-fields
    int64_t limit = 0;   // ... and the most it may be
};

// Fills `idd` from the tokenizer's stream. The schema views the tokenizer's
// text, which must outlive it. Returns false with `error` filled on a syntax
// error; `idd` is then partly built.
bool parse_schema(Tokenizer& tokens, c_IDD& idd, ParseError& error) noexcept;

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

// The schema's version for comparisons: the header's IDD version, else the
// Version class's default.
std::string_view schema_version(const c_IDD& idd) noexcept;

// Class keys. Every look-up of a class by name, in the schema's class_map or
// in a document's index, goes through the class key of the name: its ASCII
// letters upper-cased and every other byte kept, so "zone" and "ZONE" name
// one class while "Zoné" and "ZONÉ" name two; nothing is trimmed.

// Writes the class key of `name` to out[0, name.size()).
inline void write_class_key(std::string_view name, char* out) noexcept {
    for (size_t i = 0; i < name.size(); ++i) out[i] = ascii_upper(name[i]);
}
// Throws std::bad_alloc.
void assign_class_key(std::string& key, std::string_view name);
std::string class_key(std::string_view name);

// The class key of a name for one look-up, on the stack when it is short.
// Throws std::bad_alloc (only for a long name).
class ClassKey {
public:
    explicit ClassKey(std::string_view name) : size_(name.size()) {
        if (name.size() <= sizeof small_) {
            write_class_key(name, small_);
        } else {
            assign_class_key(large_, name);
        }
    }
    std::string_view view() const noexcept {
        return size_ <= sizeof small_ ? std::string_view(small_, size_) : std::string_view(large_);
    }

private:
    char small_[128];
    std::string large_;
    size_t size_;
};

// Index in ordered_classes of the class a name names, or nullopt.
std::optional<uint32_t> find_class_index(const c_IDD& idd, std::string_view name) noexcept;
// The class a name names, or null.
const ClassDef* find_class(const c_IDD& idd, std::string_view name) noexcept;

}  // namespace tarvix
