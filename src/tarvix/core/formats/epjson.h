// epJSON, the JSON form of a document: the same objects keyed by class and
// by name, fields keyed by their JSON names, a repeating group as an array
// of objects. What a document may hold in it comes from the JSON schema
// that ships beside the data dictionary (Energy+.schema.epJSON): each
// class's field keys in dictionary order ("legacy_idd"), the key of its
// repeating group and the JSON type of every field.
//
// Writing reads a document through its slots and builds the JSON with
// yyjson; reading turns the JSON back into document text (one object per
// line) for the document loader, so a document read from epJSON is stored
// exactly as one read from text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/hash.h"
#include "core/formats/layout.h"
#include "core/schema/schema.h"

struct yyjson_doc;

namespace tarvix::epjson {

// What a field holds in JSON.
enum class ValueKind : uint8_t {
    string,            // always a string; an enumerated value is written in the schema's spelling
    number,            // a number, or one of the enumerated words (Autosize, Autocalculate)
    number_or_string,  // a number when the text reads as one, else the text
};

struct FieldSpec {
    std::string_view key;
    ValueKind kind = ValueKind::string;
    uint32_t enum_begin = 0;  // the enumerated words, in the schema's list of words
    uint32_t enum_end = 0;
    uint32_t word_map = UINT32_MAX;  // a long list's map of upper-cased words, in the schema
    // For a number field: the word that stands for "autosize" and
    // "autocalculate" alike, as the engine reads them (empty: neither).
    std::string_view auto_word;
};

struct ClassSpec {
    std::string_view name;
    bool named = false;        // the first field is the object's name: it is the object's key
    bool name_required = false;  // an object of the class cannot go without a name
    uint32_t fields_begin = 0;  // the fields before the repeating group, in Schema::fields()
    uint32_t fields_end = 0;
    uint32_t group_begin = 0;  // the fields of one repeating group
    uint32_t group_end = 0;
    std::string_view group_key;  // the array's key ("vertices"); empty when the class has no group

    size_t fixed_count() const noexcept { return fields_end - fields_begin; }
    size_t group_size() const noexcept { return group_end - group_begin; }
};

// A loaded JSON schema. The records view the parsed JSON, which it keeps.
class Schema {
public:
    Schema() = default;
    ~Schema();
    Schema(const Schema&) = delete;
    Schema& operator=(const Schema&) = delete;

    // Reads the schema text; false with `error` set when it is not JSON or
    // not a schema of this form. Throws std::bad_alloc.
    bool load(std::string_view text, std::string& error);

    // The class of a name as the schema spells it, or null.
    const ClassSpec* find(std::string_view class_name) const noexcept;
    // The position of a field key among the fields before the repeating
    // group, or within the group; SIZE_MAX when the class has no such key
    // (the name, which is the object's key, included).
    size_t field_index(const ClassSpec& cls, std::string_view key) const noexcept;
    size_t group_field_index(const ClassSpec& cls, std::string_view key) const noexcept;

    const FieldSpec& field(uint32_t index) const noexcept { return fields_[index]; }
    // The enumerated word of a field equal to `text` ignoring ASCII case, in
    // the schema's spelling; empty when there is none. A long list is a hash
    // look-up, so a schema with thousands of words stays linear to write.
    std::string_view word_for(const FieldSpec& field, std::string_view text) const noexcept;

private:
    // Gives a field with a long list of words its map.
    void index_words(FieldSpec& field);

    yyjson_doc* doc_ = nullptr;
    std::vector<ClassSpec> classes_;
    std::vector<FieldSpec> fields_;
    std::vector<std::string_view> words_;
    std::vector<StringMap<std::string_view>> word_maps_;
    StringMap<uint32_t, std::string_view> class_by_name_;
    // Per class: field key -> position, before the group and within it.
    std::vector<StringMap<uint32_t, std::string_view>> fixed_keys_;
    std::vector<StringMap<uint32_t, std::string_view>> group_keys_;
};

// Why a document could not be written or read; `message` says which class,
// object and field.
struct Error {
    enum Kind { none, invalid, foreign_slot, out_of_memory } kind = none;
    std::string message;
    size_t slot = SIZE_MAX;  // foreign_slot: the slot holding something other than an object
};

// JSON text as the writer leaves it (allocated with malloc).
struct JsonText {
    struct Free {
        void operator()(char* text) const noexcept;
    };
    std::unique_ptr<char, Free> data;
    size_t size = 0;
    std::string_view view() const noexcept { return {data.get(), size}; }
};

// The document as epJSON text (indented by four blanks unless compact, a
// line end at the end). Objects of a class come in slot order. False with `error` set when
// the schema cannot express the document: a class it does not have, text in
// a field it types as a number, more fields than it knows, two objects of a
// class with the same name, no name where the schema requires one.
bool write_epjson(const SlotSource& slots, const c_IDD& idd, const Schema& schema, bool compact, JsonText& out,
                  Error& error) noexcept;

// The objects of epJSON text as document text, one object per line, in the
// JSON's order. False with `error` set for text that is not JSON, an unknown
// class or field, a key given twice (a class, an object of a class, a
// field), a value of the wrong JSON type, a number beyond the range of a
// double, a blank name where the schema requires one, or text that would
// not survive as a field value (a delimiter, a comment mark, a line break).
// Time and memory go with the JSON and the text it becomes, not with the
// number of fields the schema gives a class.
bool epjson_to_text(std::string_view json, const c_IDD& idd, const Schema& schema, std::string& out,
                    Error& error) noexcept;

// True when the text reads as a number in a numeric epJSON field: an
// optional sign, digits with at most one decimal point, an optional
// exponent. `json_ready` tells that it is already a JSON number as written.
bool is_decimal(std::string_view text, bool& json_ready) noexcept;

}  // namespace tarvix::epjson
