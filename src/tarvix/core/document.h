// The document side of the core, free of the interpreter: compact storage of
// an object's field values, the IDF parser that turns tokens into raw
// objects, the reference graph, and number reading with the C locale's rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/schema.h"
#include "core/tokenizer.h"
#include "core/text.h"

namespace tarvix::idf {

// ---------------------------------------------------------------------------
// Field values

// The field values of one object, stored back to back in one buffer with
// the end offset of each value beside it. A document holds a few values per
// object line, so one allocation per object instead of one per long value
// keeps a loaded document close to the size of its text.
class FieldValues {
public:
    size_t size() const noexcept { return ends_.size(); }
    bool empty() const noexcept { return ends_.empty(); }

    std::string_view operator[](size_t i) const noexcept {
        const uint32_t begin = i ? ends_[i - 1] : 0;
        return std::string_view(text_).substr(begin, ends_[i] - begin);
    }
    std::string_view back() const noexcept { return (*this)[size() - 1]; }

    void reserve(size_t count) { ends_.reserve(count); }
    void clear() noexcept {
        text_.clear();
        ends_.clear();
    }

    void push_back(std::string_view value) {
        check_room(value.size());
        text_.append(value);
        ends_.push_back(static_cast<uint32_t>(text_.size()));
    }

    // Grows with empty values or drops values from the end.
    void resize(size_t count) {
        if (count < ends_.size()) {
            text_.resize(count ? ends_[count - 1] : 0);
            ends_.resize(count);
        } else {
            ends_.resize(count, static_cast<uint32_t>(text_.size()));
        }
    }

    void pop_back() noexcept {
        ends_.pop_back();
        text_.resize(ends_.empty() ? 0 : ends_.back());
    }

    // Replaces value i (which must exist), shifting the values after it.
    void set(size_t i, std::string_view value) {
        const uint32_t begin = i ? ends_[i - 1] : 0;
        const uint32_t old_size = ends_[i] - begin;
        if (value.size() > old_size) check_room(value.size() - old_size);
        text_.replace(begin, old_size, value);
        const int64_t delta = static_cast<int64_t>(value.size()) - old_size;
        for (size_t k = i; k < ends_.size(); ++k) ends_[k] = static_cast<uint32_t>(ends_[k] + delta);
    }

private:
    void check_room(size_t extra) const {
        if (extra > UINT32_MAX - text_.size()) throw std::length_error("field values too long");
    }
    std::string text_;
    std::vector<uint32_t> ends_;
};

// ---------------------------------------------------------------------------
// IDF parser

// One object as written: the class name and the value texts.
struct c_IDFObject {
    std::string class_name;
    FieldValues values;
};

enum class DocumentErrorKind {
    missing_delimiter,   // a text token while another text is pending
    unterminated,        // end of text inside an object
    token_error,         // the tokenizer's error token
    unrecognized_token,  // a token type the parser does not know
    out_of_memory,
};

struct DocumentError {
    DocumentErrorKind kind = DocumentErrorKind::token_error;
    int32_t line_num = 0;
    std::string value;       // the offending token's text
    int32_t token_type = 0;  // for unrecognized_token
};

// Appends every object of the token stream to `objects`, in file order.
// Returns false with `error` filled at the first syntax error.
bool parse_document(const lexer::TokenSource& source, std::vector<c_IDFObject>& objects,
                    DocumentError& error) noexcept;

// ---------------------------------------------------------------------------
// Reference graph

// Where a value occurs: object index in the document and field index.
struct FieldLoc {
    size_t obj_idx;
    int32_t field_idx;
    bool operator==(const FieldLoc&) const = default;
};

// tag -> upper-cased value -> every location registered under both.
using RefMap = StringMap<StringMap<std::vector<FieldLoc>>>;

// Adds a location under refs[tag][upper(value)]. Reports its own allocation
// failure and returns normally, the entry missing.
void register_ref(RefMap& refs, const std::string& tag, std::string_view value, FieldLoc loc,
                  const char* qualified_name) noexcept;

// Removes the first equal location by swapping the last one into its place;
// erases entries that become empty. Missing tags, values or locations are
// not an error.
void unregister_ref(RefMap& refs, const std::string& tag, std::string_view value, FieldLoc loc) noexcept;

// Locations registered under refs[tag][upper(value)], or null.
const std::vector<FieldLoc>* find_refs(const RefMap& refs, const std::string& tag, std::string_view value);

// ---------------------------------------------------------------------------
// Numbers, read with the C locale's rules whatever the process locale is

// The whole text read as a base-10 integer (leading white space and a sign
// allowed) or nothing; `out_of_range` tells that the digits do not fit.
std::optional<long> read_integer(std::string_view text, bool& out_of_range) noexcept;

// The whole text read as a floating-point number (decimal or hexadecimal
// forms, inf, infinity, nan) or nothing.
std::optional<double> read_real(std::string_view text) noexcept;

// ---------------------------------------------------------------------------
// Text layout

// How objects are written: indents, the width values are padded to before
// their comment (0: no padding), or one line per object without comments.
struct FormatConfig {
    std::string class_indent;
    std::string field_indent;
    size_t field_size = 0;
    bool compact = false;
};

// A padded layout with the given indents (in blanks) and value width.
FormatConfig generate_format_config(size_t class_indent_size = 0, size_t field_indent_size = 4,
                                    size_t field_size = 24) noexcept;

// Appends one object's text: the class line, then each field up to the last
// non-empty one (at least min_fields), each with its separator and, unless
// compact, padding and a comment naming the field. `cls` may be null (no
// names, no minimum). Throws std::bad_alloc / std::length_error when the
// buffer cannot grow; what was appended so far stays.
void write_object_text(std::string& out, const FormatConfig& config, std::string_view class_name,
                       const FieldValues& values, const idd::ClassDef* cls, idd::GetFieldNameFn* get_field_name);

// Appends the header that opens a run of classes of one group.
void write_group_header(std::string& out, const std::string& group);

// Bytes to reserve before writing `object_count` objects after `used` bytes.
inline size_t estimated_document_size(size_t used, size_t object_count, bool compact) noexcept {
    return used + (compact ? 160 : 800) * object_count + 4096;
}

}  // namespace tarvix::idf
