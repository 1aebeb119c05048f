// IDF parser: a class name, then one value per comma or semicolon; the
// semicolon closes the object. Comments, line breaks and blanks around
// values are the tokenizer's business.
#include <new>

#include "core/document.h"

namespace tarvix::idf {

bool parse_document(const lexer::TokenSource& source, std::vector<c_IDFObject>& objects,
                    DocumentError& error) noexcept {
    auto fail = [&](DocumentErrorKind kind, std::string value = {}, int32_t type = 0) {
        error.kind = kind;
        error.line_num = source.line_num(source.context);
        error.value = std::move(value);
        error.token_type = type;
        return false;
    };
    try {
        c_IDFObject current;
        // Values collect here and are copied into the object at its ";",
        // so each object's storage is allocated once at its exact size.
        FieldValues scratch;
        std::string last_text;
        bool object_started = false;
        for (;;) {
            lexer::Token tok = source.next_token(source.context);
            switch (tok.type) {
                case lexer::TOKEN_TEXT:
                    if (!last_text.empty()) return fail(DocumentErrorKind::missing_delimiter, std::move(tok.value));
                    last_text = std::move(tok.value);
                    break;
                case lexer::TOKEN_COMMA:
                case lexer::TOKEN_SEMICOLON:
                    if (object_started)
                        scratch.push_back(last_text);
                    else
                        current.class_name = std::move(last_text);
                    last_text.clear();
                    if (tok.type == lexer::TOKEN_COMMA) {
                        object_started = true;
                    } else {
                        current.values = scratch;
                        objects.push_back(std::move(current));
                        current.class_name.clear();
                        current.values.clear();
                        scratch.clear();
                        object_started = false;
                    }
                    break;
                case lexer::TOKEN_EOF:
                    if (!object_started && last_text.empty()) return true;
                    return fail(DocumentErrorKind::unterminated);
                case lexer::TOKEN_ERROR:
                    return fail(DocumentErrorKind::token_error, std::move(tok.value));
                default:
                    return fail(DocumentErrorKind::unrecognized_token, {}, static_cast<int32_t>(tok.type));
            }
        }
    } catch (const std::bad_alloc&) {
        return fail(DocumentErrorKind::out_of_memory);
    } catch (const std::length_error&) {
        return fail(DocumentErrorKind::out_of_memory);
    }
}

}  // namespace tarvix::idf
