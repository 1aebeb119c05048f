// Writing objects and documents back to text: each object as its class line
// and one line per field with a comment naming the field, or one line per
// object (compact). Lines end with a single line feed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/document/class_index.h"
#include "core/document/slot_host.h"
#include "core/schema/schema.h"
#include "core/document/values.h"

namespace tarvix {

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
// compact, padding and a comment naming the field. Throws std::bad_alloc /
// std::length_error when `out` cannot grow; what was appended so far stays.
void write_object_text(std::string& out, const FormatConfig& config, const ObjectView& object);

struct WriteResult {
    bool out_of_memory = false;       // the text stops where the buffer could not grow
    size_t foreign_slot = SIZE_MAX;   // the text stops before this slot
};

// Appends a document: in schema order (classes as the schema lists them,
// objects of a class in the order of its index entry, a header where the
// group changes) or in document order (slot by slot). The text is measured
// first and the buffer grown once. Never throws; a failure ends the text and
// is reported at FailureSite::write_to_buffer.
void write_document(std::string& out, const FormatConfig& config, bool preserve_order, const c_IDD* schema,
                    const ClassIndex& index, const SlotSource& slots, WriteResult& result) noexcept;

// What write_document would append: how many bytes, whether all are ASCII,
// and how many line-end bytes open and close it.
struct TextMeasure {
    size_t bytes = 0;
    bool ascii = true;
    size_t leading_newlines = 0;
    size_t trailing_newlines = 0;
    bool seen_text = false;  // a byte other than a line end came
};

TextMeasure measure_document(const FormatConfig& config, bool preserve_order, const c_IDD* schema,
                             const ClassIndex& index, const SlotSource& slots, WriteResult& result) noexcept;

// Writes bytes [begin, end) of that text into `buffer` (end - begin bytes),
// so that a caller can build the final text in place, its line ends at both
// ends already dropped. The slots must not have changed since they were
// measured.
void write_document_into(char* buffer, size_t begin, size_t end, const FormatConfig& config, bool preserve_order,
                         const c_IDD* schema, const ClassIndex& index, const SlotSource& slots) noexcept;

}  // namespace tarvix
