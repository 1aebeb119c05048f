// The tokenizer that both parsers drive, free of the interpreter so it can
// run without the interpreter lock and be tested and fuzzed natively.
//
// Rules, in short: lines end at LF, CRLF or a lone CR; "!" starts a comment
// that runs to the end of its line; "," and ";" are delimiters; the text
// between boundaries is trimmed of blanks and tabs and delivered only when
// non-empty; in schema mode a backslash starts a property line that runs to
// the end of the line (or a "!"), delimiters included; token text must be
// strict UTF-8.
//
// The parsers pull TokenViews: text tokens are views into the content, so
// tokenizing allocates nothing. Token, with its own copy of the text, is
// what the Lexer class hands to other modules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvix {

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

// A token whose text views the content (an error's message views the
// tokenizer's own buffer); valid until the tokenizer is called again.
struct TokenView {
    TokenType type = TOKEN_EOF;
    std::string_view value;
};

// Whether `text` can be one value of a document: it holds no byte at which
// document text ends a value (",", ";", "!", a line end), so written between
// delimiters it reads back as one token. Every write of a value (item
// assignment, defaults, renaming, epJSON) is held to this.
bool can_be_value(std::string_view text) noexcept;

class Tokenizer {
public:
    std::vector<Token> buffer;  // tokens queued by tokenize_line / push_text_token, handed out first
    size_t buffer_idx = 0;      // next queued token
    int32_t line_num = 0;       // line of the token just returned (1-based)
    bool is_idd = false;        // schema mode: backslash starts a property line
    std::string_view content;   // the whole text, UTF-8; not owned
    size_t pos = 0;             // where the stream goes on

    // Starts over on `text`. With `known_valid`, the caller vouches that the
    // text is strict UTF-8 (it was checked or produced as such), and text
    // tokens are not checked again.
    void init(std::string_view text, bool schema_mode, bool known_valid = false) noexcept;

    // The next token; after TOKEN_EOF or TOKEN_ERROR always TOKEN_EOF.
    // Inline, so that a parser's loop keeps the token in registers: the
    // delimiter after a text token is handed out here.
    TokenView next() noexcept {
        if (buffer_idx < buffer.size() || out_of_memory_) return queued();
        if (pending_) {
            const char delimiter = pending_;
            pending_ = 0;
            token_offset_ = pos - 1;
            return delimiter == ',' ? TokenView{TOKEN_COMMA, ","} : TokenView{TOKEN_SEMICOLON, ";"};
        }
        if (done_) return {TOKEN_EOF, {}};
        return stream();
    }

    // The next token with its own copy of the text.
    Token next_token() noexcept;

    // Offset in the content where the token just returned by next() starts
    // (its delimiter, for a delimiter token).
    size_t token_offset() const noexcept { return token_offset_; }

    // Takes the next line of the stream (without its line end) and counts
    // it. False at the end of the content.
    bool scan_next_line(std::string_view& line) noexcept;

    // Queues the tokens of one line, to be handed out before the stream
    // goes on. Stops after an error token.
    void tokenize_line(std::string_view line) noexcept;

    // Trims blanks from a piece of text and queues it as a text token when
    // non-empty, or an error token when it is not valid UTF-8. Returns false
    // after an error token.
    bool push_text_token(std::string_view text) noexcept;

private:
    TokenView stream() noexcept;
    TokenView text_token(const char* begin, const char* end) noexcept;
    std::string_view trimmed_piece(const char* begin, const char* end) noexcept;
    TokenView text_or_error(std::string_view text) noexcept;
    TokenView error_token(const char* bad_byte) noexcept;
    TokenView queued() noexcept;
    void consume_line_end(const char* at) noexcept;

    size_t token_offset_ = 0;
    size_t line_start_ = 0;             // offset of the current line, for error columns
    char pending_ = 0;                  // delimiter to hand out after a text token
    bool done_ = false;                 // the end or an error was handed out
    bool valid_ = false;                // content known to be strict UTF-8
    bool out_of_memory_ = false;        // a queued token could not be stored
    char message_[64] = {};             // text of an error token
};

}  // namespace tarvix
