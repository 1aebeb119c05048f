// The text a document keeps to write its author's layout back: the loaded
// text and where each loaded object starts in it. The document holds it;
// the kept-layout writer (formats/) reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/base/pod_vector.h"

namespace tarvix {

// The text a document was loaded from, as the loader read it (UTF-8, any
// byte-order mark dropped), and the offset of each loaded object's class
// name in it, by slot.
struct SourceText {
    std::string text;
    PodVector<uint32_t> begins;
    // What the file had around that text, for the caller that writes the
    // file back: a byte-order mark, and the encoding it was read in (empty:
    // UTF-8).
    bool byte_order_mark = false;
    std::string encoding;

    size_t loaded_count() const noexcept { return begins.size(); }
    // The text's own line end: its first line's ("\r\n", "\n" or a lone
    // "\r"), "\n" when it has one line.
    std::string_view line_end() const noexcept {
        const size_t p = text.find_first_of("\r\n");
        if (p == std::string::npos || text[p] == '\n') return "\n";
        return p + 1 < text.size() && text[p + 1] == '\n' ? "\r\n" : "\r";
    }
};

// The largest text whose layout can be kept (offsets are 32-bit).
inline constexpr size_t kMaxKeptText = UINT32_MAX;

}  // namespace tarvix
