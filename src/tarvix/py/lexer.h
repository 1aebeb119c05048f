// tarvix.lexer as other modules see it: the layout of a Lexer object and
// its native method table, which importers reach through the class.
#pragma once

#include "py/binding.h"
#include "core/text/tokenizer.h"

namespace tarvix::lexer {

struct LexerObject;

// Native methods of Lexer, in table order. next_token touches no Python
// object, so parsers call it with the interpreter lock released.
struct LexerMethods {
    int (*c_init)(LexerObject* self, PyObject* content, int is_idd);
    bool (*scan_next_line)(LexerObject* self, std::string_view& line);
    Token (*next_token)(LexerObject* self);
    void (*tokenize_line)(LexerObject* self, std::string_view line);
    bool (*push_text_token)(LexerObject* self, std::string_view text);
};

struct LexerObject {
    PyObject_HEAD const LexerMethods* methods;
    Tokenizer tokenizer;     // buffer, buffer_idx, line_num, is_idd, content, pos
    PyObject* content_owner; // the bytes object that `tokenizer.content` views
};

}  // namespace tarvix::lexer
