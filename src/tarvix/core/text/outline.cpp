#include "core/text/outline.h"

#include <cstring>

#include "core/text/tokenizer.h"

namespace tarvix {
namespace {

void find_lines_and_comments(std::string_view text, Outline& out) {
    out.line_starts.push_back(0);
    const char* const data = text.data();
    const size_t size = text.size();
    bool in_comment = false;
    for (size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < size && data[i + 1] == '\n') ++i;
            out.line_starts.push_back(static_cast<uint32_t>(i + 1));
            in_comment = false;
        } else if (c == '!' && !in_comment) {
            out.comments.push_back(static_cast<uint32_t>(i));
            in_comment = true;
        }
    }
}

}  // namespace

void outline_document(std::string_view text, Outline& out) {
    out.line_starts.clear();
    out.objects.clear();
    out.fields.clear();
    out.comments.clear();
    find_lines_and_comments(text, out);

    Tokenizer tokens;
    tokens.init(text, false);
    const auto at = [&](std::string_view value) { return static_cast<uint32_t>(value.data() - text.data()); };
    OutlineObject object{};
    bool started = false;  // a value, delimiter or class name of `object` seen
    bool named = false;    // the class name's delimiter seen
    bool pending = false;
    uint32_t pending_begin = 0;
    uint32_t pending_end = 0;
    const auto reset = [&] {
        object = OutlineObject{};
        object.first_field = static_cast<uint32_t>(out.fields.size());
        started = named = pending = false;
    };
    const auto finish = [&](uint32_t end, uint32_t status) {
        object.end = end;
        object.status = status;
        object.field_count = static_cast<uint32_t>(out.fields.size()) - object.first_field;
        out.objects.push_back(object);
        reset();
    };
    reset();
    for (;;) {
        const TokenView tok = tokens.next();
        switch (tok.type) {
            case TOKEN_TEXT: {
                const uint32_t begin = at(tok.value);
                const uint32_t end = begin + static_cast<uint32_t>(tok.value.size());
                if (pending) {
                    // The object so far ends with its pending text; this text starts the next.
                    if (!named)
                        object.class_begin = pending_begin, object.class_end = pending_end;
                    else
                        out.fields.push_back({pending_begin, pending_end, pending_end});
                    finish(pending_end, OUTLINE_MISSING_DELIMITER);
                }
                pending = started = true;
                pending_begin = begin;
                pending_end = end;
                break;
            }
            case TOKEN_COMMA:
            case TOKEN_SEMICOLON: {
                const auto delimiter = static_cast<uint32_t>(tokens.token_offset());
                const uint32_t begin = pending ? pending_begin : delimiter;
                const uint32_t end = pending ? pending_end : delimiter;
                if (!named) {
                    object.class_begin = begin;
                    object.class_end = end;
                    named = true;
                } else {
                    out.fields.push_back({begin, end, delimiter});
                }
                pending = false;
                started = true;
                if (tok.type == TOKEN_SEMICOLON) finish(delimiter + 1, OUTLINE_OK);
                break;
            }
            case TOKEN_ERROR: {
                if (!started) {
                    const size_t offset = tokens.token_offset() < text.size() ? tokens.token_offset() : text.size();
                    object.class_begin = object.class_end = static_cast<uint32_t>(offset);
                } else if (!named)
                    object.class_begin = pending_begin, object.class_end = pending_end;
                else if (pending)
                    out.fields.push_back({pending_begin, pending_end, pending_end});
                finish(static_cast<uint32_t>(text.size()), OUTLINE_BAD_TEXT);
                return;
            }
            default: {  // TOKEN_EOF
                if (!started) return;
                if (!named)
                    object.class_begin = pending_begin, object.class_end = pending_end;
                else if (pending)
                    out.fields.push_back({pending_begin, pending_end, pending_end});
                finish(static_cast<uint32_t>(text.size()), OUTLINE_UNTERMINATED);
                return;
            }
        }
    }
}

}  // namespace tarvix
