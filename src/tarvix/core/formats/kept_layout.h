// Writing a document back in its author's own layout. A document loaded
// with its layout kept holds the text it was read from and where each
// loaded object starts in it; the writer copies that text and changes only
// what the edits since changed: a changed value in place (the rest of its
// line kept, the comment column held where the padding allows), values
// appended or trimmed at an object's end in that object's style, removed
// objects taken out with the lines that are only theirs, and added objects
// after the last object of their class, in the layout the document mostly
// uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/base/pod_vector.h"
#include "core/document/slot_host.h"
#include "core/document/source_text.h"
#include "core/formats/layout.h"
#include "core/schema/schema.h"

namespace tarvix {

// Where the parts of one object lie in a source text: its class name, then
// each value (an empty value sits at its delimiter) and its delimiter; the
// last delimiter is the semicolon.
struct SourceObject {
    struct Field {
        size_t begin;
        size_t end;
        size_t delimiter;
    };
    size_t class_begin = 0;
    size_t class_end = 0;
    size_t class_delimiter = 0;
    std::vector<Field> fields;

    size_t last_delimiter() const noexcept { return fields.empty() ? class_delimiter : fields.back().delimiter; }
    size_t end() const noexcept { return last_delimiter() + 1; }
};

// Reads the object that starts at `begin` of `text`. False when the text
// there is not an object (it always is for a loaded object's start).
// Throws std::bad_alloc.
bool read_source_object(std::string_view text, size_t begin, SourceObject& out);

// The 1-based lines of the values of loaded objects. Each object's text is
// read once, the first time one of its values is asked for, so that asking
// for many values costs the size of the objects they sit in, once.
class SourceLines {
public:
    explicit SourceLines(const SourceText& source) : source_(source) {}
    // The line of value `field_idx` of loaded slot `slot` (of the class
    // name when the object has fewer values), given the line its object
    // starts on; 0 when the slot was not loaded. Throws std::bad_alloc.
    uint32_t field_line(size_t slot, size_t field_idx, uint32_t object_line);

private:
    // By slot: how many lines below the object's first its class name
    // starts, then each of its values.
    const std::vector<uint32_t>* lines_of(size_t slot);

    const SourceText& source_;
    std::unordered_map<size_t, std::vector<uint32_t>> lines_;
    SourceObject object_;
};

// Appends the document in `slots` as the kept source lays it out. Slots
// below source.loaded_count() are the loaded objects in text order; slots
// past them were added. Never throws; a failure ends the text and is
// reported at FailureSite::write_to_buffer, a slot holding something that
// is not an object ends it as write_document does.
void write_kept_layout(std::string& out, const SourceText& source, const SlotSource& slots,
                       WriteResult& result) noexcept;

// What write_kept_layout would append, for a caller that builds the text
// in a buffer of its exact size: how many bytes, and whether all are ASCII.
// write_kept_layout_into() then writes exactly those bytes; the slots must
// not have changed in between. False when the text could not be made.
struct KeptMeasure {
    size_t bytes = 0;
    bool ascii = true;
};
KeptMeasure measure_kept_layout(const SourceText& source, const SlotSource& slots, WriteResult& result) noexcept;
bool write_kept_layout_into(char* buffer, const SourceText& source, const SlotSource& slots) noexcept;

// The layout most of the source's objects use (sampled): padded, with its
// indents and value width, or compact. Objects added to a kept document are
// written in it.
FormatConfig source_format_config(const SourceText& source);

}  // namespace tarvix
