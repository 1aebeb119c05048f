// Where the objects, values, comments and lines of a document text lie,
// read with the tokenizer's rules but without giving up at the first fault:
// an editor asks about a text that is half typed most of the time. Every
// offset is a byte offset into the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tarvix {

enum OutlineStatus : uint32_t {
    OUTLINE_OK = 0,
    // The text ends inside the object (no ';').
    OUTLINE_UNTERMINATED = 1,
    // Two values without a delimiter between them (the object ends after
    // the first; the second starts the next object).
    OUTLINE_MISSING_DELIMITER = 2,
    // The text is not UTF-8 from the object on (it ends there).
    OUTLINE_BAD_TEXT = 3,
};

struct OutlineObject {
    uint32_t class_begin;  // the class name (empty: both at its delimiter)
    uint32_t class_end;
    uint32_t end;          // past the ';', or where the object broke off
    uint32_t first_field;  // index of its first value in Outline::fields
    uint32_t field_count;
    uint32_t status;       // OutlineStatus
};

struct OutlineField {
    uint32_t begin;  // an empty value sits at its delimiter
    uint32_t end;
    uint32_t delimiter;
};

struct Outline {
    std::vector<uint32_t> line_starts;  // line 0 starts at 0; lines end at LF, CRLF or a lone CR
    std::vector<OutlineObject> objects;
    std::vector<OutlineField> fields;
    std::vector<uint32_t> comments;     // where each "!" comment starts; it runs to its line's end
};

// The largest text that can be outlined (offsets are 32-bit).
inline constexpr size_t kMaxOutlineText = UINT32_MAX - 1;

// Outlines `text` (at most kMaxOutlineText bytes) into `out`, which is
// cleared first. Linear in the text. Throws std::bad_alloc.
void outline_document(std::string_view text, Outline& out);

}  // namespace tarvix
