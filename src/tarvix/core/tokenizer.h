// The tokenizer that both parsers drive, free of the interpreter so it can
// run without the interpreter lock and be tested and fuzzed natively.
//
// Rules, in short: lines end at LF, CRLF or a lone CR; "!" starts a comment
// that runs to the end of its line; "," and ";" are delimiters; the text
// between boundaries is trimmed of blanks and tabs and delivered only when
// non-empty; in schema mode a backslash starts a property line that runs to
// the end of the line (or a "!"), delimiters included; token text must be
// strict UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvix::lexer {

enum TokenType : int32_t {
    TOKEN_TEXT = 0,
    TOKEN_COMMA = 1,
    TOKEN_SEMICOLON = 2,
    TOKEN_EOF = 3,
    TOKEN_ERROR = 4,
};

struct Token {
    TokenType type = TOKEN_EOF;
    std::string value;  // text of a text token, message of an error token
};

// Splits the content into lines and each line into tokens, into `buffer` a
// line at a time, or a few hundred tokens at a time for a long line, so the
// buffer stays small whatever the input. The content is not owned: the
// caller keeps it alive while tokens are taken.
class Tokenizer {
public:
    std::vector<Token> buffer;  // tokens of the current line
    size_t buffer_idx = 0;      // next token of `buffer` to hand out
    int32_t line_num = 0;       // line of the token just returned (1-based)
    bool is_idd = false;        // schema mode: backslash starts a property line
    std::string_view content;   // the whole text, UTF-8
    size_t pos = 0;             // start of the next unread line

    void init(std::string_view text, bool schema_mode) noexcept;

    // Takes the next line (without its line end) and counts it. False at the
    // end of the content.
    bool scan_next_line(std::string_view& line) noexcept;

    // The next token; after TOKEN_EOF or TOKEN_ERROR always TOKEN_EOF.
    Token next_token() noexcept;

    // Starts a line: fills `buffer` with its first tokens (all of them for a
    // line of ordinary length). Stops after an error token.
    void tokenize_line(std::string_view line) noexcept;

    // Trims blanks from a piece of the current line and appends it as a text
    // token when non-empty, or an error token when it is not valid UTF-8.
    // Returns false after an error token.
    bool push_text_token(std::string_view text) noexcept;

private:
    static constexpr size_t kChunkTokens = 256;

    void push(TokenType type, std::string_view value) noexcept;
    void tokenize_rest() noexcept;  // the next tokens of the current line
    void finish() noexcept;
    const char* line_start_ = nullptr;  // for error columns
    std::string_view rest_;             // unread part of the current line
    bool line_open_ = false;            // rest_ still holds tokens
    bool out_of_memory_ = false;        // a token could not be stored
};

// Where a parser takes its tokens from: the Lexer object of the extension
// module (through its native method table), or a bare Tokenizer in native
// tests and benchmarks.
struct TokenSource {
    Token (*next_token)(void* context);
    int32_t (*line_num)(void* context);
    void* context;
};

}  // namespace tarvix::lexer
