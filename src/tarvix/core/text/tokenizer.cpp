#include "core/text/tokenizer.h"

#include <cstring>
#include <new>

#include "core/text/text.h"
#include "core/text/tokenizer_scan.h"

namespace tarvix {
namespace {

constexpr bool is_blank(char c) { return c == ' ' || c == '\t'; }

constexpr std::string_view kOutOfMemory = "out of memory";

}  // namespace

bool can_be_value(std::string_view text) noexcept {
    const char* const end = text.data() + text.size();
    return find_value_end(text.data(), end) == end;
}

void Tokenizer::init(std::string_view text, bool schema_mode, bool known_valid) noexcept {
    buffer.clear();
    buffer_idx = 0;
    line_num = 1;
    is_idd = schema_mode;
    content = text;
    pos = 0;
    token_offset_ = 0;
    line_start_ = 0;
    pending_ = 0;
    done_ = false;
    valid_ = known_valid;
    out_of_memory_ = false;
}

Token Tokenizer::next_token() noexcept {
    const TokenView view = next();
    Token token;
    token.type = view.type;
    try {
        token.value.assign(view.value);
    } catch (const std::bad_alloc&) {
        done_ = true;
        token.type = TOKEN_ERROR;
        token.value.assign(kOutOfMemory);  // fits the string's own buffer
    }
    return token;
}

TokenView Tokenizer::queued() noexcept {
    if (buffer_idx < buffer.size()) {
        const Token& token = buffer[buffer_idx++];
        if (token.type == TOKEN_ERROR) done_ = true;
        return {token.type, token.value};
    }
    // A token could not be queued: the stream ends with that error.
    out_of_memory_ = false;
    done_ = true;
    buffer.clear();
    buffer_idx = 0;
    return {TOKEN_ERROR, kOutOfMemory};
}

// Steps over the line end at `at` (CRLF counts once) and counts the next
// line when there is one.
void Tokenizer::consume_line_end(const char* at) noexcept {
    const char* const end = content.data() + content.size();
    const char* next_line = at + 1;
    if (*at == '\r' && next_line < end && *next_line == '\n') ++next_line;
    pos = static_cast<size_t>(next_line - content.data());
    if (next_line < end) {
        if (line_num < INT32_MAX) ++line_num;
        line_start_ = pos;
    }
}

// The piece without its blanks; the token starts there.
inline std::string_view Tokenizer::trimmed_piece(const char* begin, const char* end) noexcept {
    while (begin < end && is_blank(*begin)) ++begin;
    while (end > begin && is_blank(end[-1])) --end;
    token_offset_ = static_cast<size_t>(begin - content.data());
    return {begin, static_cast<size_t>(end - begin)};
}

// A non-empty piece as a text token, or the error token of its first byte
// that is not UTF-8.
inline TokenView Tokenizer::text_or_error(std::string_view text) noexcept {
    if (!valid_) {
        const size_t bad = find_invalid_utf8(text);
        if (bad != std::string_view::npos) return error_token(text.data() + bad);
    }
    return {TOKEN_TEXT, text};
}

TokenView Tokenizer::text_token(const char* begin, const char* end) noexcept {
    const std::string_view text = trimmed_piece(begin, end);
    if (text.empty()) return {TOKEN_EOF, {}};  // nothing: the caller goes on
    return text_or_error(text);
}

TokenView Tokenizer::error_token(const char* bad_byte) noexcept {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const auto byte = static_cast<unsigned char>(*bad_byte);
    // The line start is remembered, not searched for: a loader may already
    // have moved values over the text before this token.
    const size_t column = static_cast<size_t>(bad_byte - content.data()) - line_start_ + 1;
    std::memcpy(message_, "invalid UTF-8 byte 0x", 21);
    message_[21] = kHex[byte >> 4];
    message_[22] = kHex[byte & 15];
    std::memcpy(message_ + 23, " at column ", 11);
    size_t n = 34;
    char digits[24];
    size_t d = 0;
    for (size_t c = column; c; c /= 10) digits[d++] = static_cast<char>('0' + c % 10);
    while (d) message_[n++] = digits[--d];
    done_ = true;
    pending_ = 0;
    pos = content.size();
    return {TOKEN_ERROR, std::string_view(message_, n)};
}

TokenView Tokenizer::stream() noexcept {
    const char* const base = content.data();
    const char* const end = base + content.size();
    for (;;) {
        const char* p = base + pos;
        const char* stop = is_idd ? find_first_of<',', ';', '!', '\n', '\r', '\\'>(p, end) : find_value_end(p, end);
        if (stop == end) {
            pos = content.size();
            const TokenView text = text_token(p, end);
            if (text.type != TOKEN_EOF) return text;
            done_ = true;
            token_offset_ = content.size();
            return {TOKEN_EOF, {}};
        }
        switch (*stop) {
            case ',':
            case ';': {
                pos = static_cast<size_t>(stop + 1 - base);
                // The token is made in the caller's place: a token copied
                // there would be stored in parts and read back whole, a
                // stall on every value.
                const std::string_view text = trimmed_piece(p, stop);
                if (!text.empty()) {
                    pending_ = *stop;  // an error token takes it back
                    return text_or_error(text);
                }
                token_offset_ = static_cast<size_t>(stop - base);
                return *stop == ',' ? TokenView{TOKEN_COMMA, ","} : TokenView{TOKEN_SEMICOLON, ";"};
            }
            case '!': {
                // The comment runs to the end of the line.
                const char* line_end = find_first_of<'\n', '\r'>(stop + 1, end);
                pos = static_cast<size_t>(line_end - base);
                const TokenView text = text_token(p, stop);
                if (text.type != TOKEN_EOF) return text;  // the line end is counted next time
                if (line_end < end) consume_line_end(line_end);
                break;
            }
            case '\n':
            case '\r': {
                const TokenView text = text_token(p, stop);
                if (text.type != TOKEN_EOF) {
                    pos = static_cast<size_t>(stop - base);  // the text belongs to this line
                    return text;
                }
                consume_line_end(stop);
                break;
            }
            default: {  // a backslash in schema mode
                const TokenView before = text_token(p, stop);
                if (before.type != TOKEN_EOF) {
                    pos = static_cast<size_t>(stop - base);
                    return before;
                }
                // The property line runs to a "!" or the line end.
                const char* property_end = find_first_of<'!', '\n', '\r'>(stop, end);
                const bool comment = property_end < end && *property_end == '!';
                pos = static_cast<size_t>((comment ? find_first_of<'\n', '\r'>(property_end, end) : property_end) -
                                          base);
                return text_token(stop, property_end);  // never empty: it starts with the backslash
            }
        }
    }
}

bool Tokenizer::scan_next_line(std::string_view& line) noexcept {
    const char* const base = content.data();
    const char* const end = base + content.size();
    if (pos >= content.size()) return false;
    const char* begin = base + pos;
    const char* line_end = find_first_of<'\n', '\r'>(begin, end);
    line = std::string_view(begin, static_cast<size_t>(line_end - begin));
    if (line_end < end)
        consume_line_end(line_end);
    else
        pos = content.size();
    return true;
}

void Tokenizer::tokenize_line(std::string_view line) noexcept {
    Tokenizer part;
    part.init(line, is_idd);
    try {
        for (;;) {
            const TokenView token = part.next();
            if (token.type == TOKEN_EOF) break;
            buffer.push_back(Token{token.type, std::string(token.value)});
            if (token.type == TOKEN_ERROR) break;
        }
    } catch (const std::bad_alloc&) {
        out_of_memory_ = true;
    }
}

bool Tokenizer::push_text_token(std::string_view text) noexcept {
    Tokenizer part;
    part.init(text, is_idd);
    const TokenView token = part.text_token(text.data(), text.data() + text.size());
    if (token.type == TOKEN_EOF) return true;
    try {
        buffer.push_back(Token{token.type, std::string(token.value)});
    } catch (const std::bad_alloc&) {
        out_of_memory_ = true;
        return false;
    }
    return token.type == TOKEN_TEXT;
}

}  // namespace tarvix
