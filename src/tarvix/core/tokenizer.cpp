#include "core/tokenizer.h"

#include <array>
#include <cstring>
#include <new>

#include "core/text.h"

namespace tarvix::lexer {
namespace {

// Bytes that end a text run inside a line, per mode.
constexpr std::array<bool, 256> make_stops(bool schema_mode) {
    std::array<bool, 256> stops{};
    stops[static_cast<unsigned char>(',')] = true;
    stops[static_cast<unsigned char>(';')] = true;
    stops[static_cast<unsigned char>('!')] = true;
    if (schema_mode) stops[static_cast<unsigned char>('\\')] = true;
    return stops;
}
constexpr std::array<bool, 256> kDocumentStops = make_stops(false);
constexpr std::array<bool, 256> kSchemaStops = make_stops(true);

constexpr bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim_blanks(std::string_view text) {
    size_t first = 0, last = text.size();
    while (first < last && is_blank(text[first])) ++first;
    while (last > first && is_blank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

constexpr std::string_view kOutOfMemory = "out of memory";  // fits the inline buffer

}  // namespace

void Tokenizer::init(std::string_view text, bool schema_mode) noexcept {
    buffer.clear();
    buffer_idx = 0;
    line_num = 0;
    is_idd = schema_mode;
    content = text;
    pos = 0;
    line_start_ = nullptr;
    rest_ = {};
    line_open_ = false;
    out_of_memory_ = false;
}

bool Tokenizer::scan_next_line(std::string_view& line) noexcept {
    const size_t size = content.size();
    if (pos >= size) return false;
    const char* begin = content.data() + pos;
    const size_t rest = size - pos;
    const char* lf = static_cast<const char*>(std::memchr(begin, '\n', rest));
    const size_t search = lf ? static_cast<size_t>(lf - begin) : rest;
    const char* cr = static_cast<const char*>(std::memchr(begin, '\r', search));
    size_t length, skip;
    if (cr) {  // a CR before any LF: CRLF or a lone CR ends the line
        length = static_cast<size_t>(cr - begin);
        skip = (cr + 1 == lf) ? 2 : 1;
    } else if (lf) {
        length = search;
        skip = 1;
    } else {
        length = rest;
        skip = 0;
    }
    line = std::string_view(begin, length);
    pos += length + skip;
    if (line_num < INT32_MAX) ++line_num;
    return true;
}

void Tokenizer::finish() noexcept {
    buffer.clear();
    buffer_idx = 0;
    pos = content.size();
    line_open_ = false;
}

Token Tokenizer::next_token() noexcept {
    if (buffer_idx < buffer.size() && buffer[buffer_idx].type != TOKEN_ERROR) return std::move(buffer[buffer_idx++]);
    while (buffer_idx >= buffer.size() && !out_of_memory_) {
        buffer.clear();
        buffer_idx = 0;
        if (line_open_) {
            tokenize_rest();
            continue;
        }
        std::string_view line;
        if (!scan_next_line(line)) {
            if (line_num == 0) line_num = 1;  // an empty text is line 1
            return Token{TOKEN_EOF, {}};
        }
        tokenize_line(line);
    }
    if (out_of_memory_) {
        out_of_memory_ = false;
        finish();
        return Token{TOKEN_ERROR, std::string(kOutOfMemory)};
    }
    Token token = std::move(buffer[buffer_idx++]);
    if (token.type == TOKEN_ERROR) finish();
    return token;
}

void Tokenizer::push(TokenType type, std::string_view value) noexcept {
    try {
        buffer.push_back(Token{type, std::string(value)});
    } catch (const std::bad_alloc&) {
        out_of_memory_ = true;
    }
}

bool Tokenizer::push_text_token(std::string_view text) noexcept {
    text = trim_blanks(text);
    if (text.empty()) return true;
    const size_t bad = find_invalid_utf8(text);
    if (bad == std::string_view::npos) {
        push(TOKEN_TEXT, text);
        return !out_of_memory_;
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    const auto byte = static_cast<unsigned char>(text[bad]);
    const size_t column = static_cast<size_t>(text.data() + bad - line_start_) + 1;
    char message[64];
    std::memcpy(message, "invalid UTF-8 byte 0x", 21);
    message[21] = kHex[byte >> 4];
    message[22] = kHex[byte & 15];
    std::memcpy(message + 23, " at column ", 11);
    size_t n = 34;
    char digits[24];
    size_t d = 0;
    for (size_t c = column; c; c /= 10) digits[d++] = static_cast<char>('0' + c % 10);
    while (d) message[n++] = digits[--d];
    push(TOKEN_ERROR, std::string_view(message, n));
    return false;
}

void Tokenizer::tokenize_line(std::string_view line) noexcept {
    line_start_ = line.data();
    rest_ = line;
    line_open_ = true;
    tokenize_rest();
}

void Tokenizer::tokenize_rest() noexcept {
    const std::array<bool, 256>& stops = is_idd ? kSchemaStops : kDocumentStops;
    const char* p = rest_.data();
    const char* const end = p + rest_.size();
    const char* run = p;  // start of the current text run
    line_open_ = false;   // unless the chunk fills up below
    while (p < end) {
        if (!stops[static_cast<unsigned char>(*p)]) {
            ++p;
            continue;
        }
        if (!push_text_token(std::string_view(run, static_cast<size_t>(p - run)))) return;
        switch (*p) {
            case ',':
                push(TOKEN_COMMA, ",");
                break;
            case ';':
                push(TOKEN_SEMICOLON, ";");
                break;
            case '!':
                return;  // the comment runs to the end of the line
            default: {   // backslash in schema mode: a property line up to "!" or the line end
                const auto rest = static_cast<size_t>(end - p);
                const char* bang = static_cast<const char*>(std::memchr(p, '!', rest));
                push_text_token(std::string_view(p, bang ? static_cast<size_t>(bang - p) : rest));
                return;
            }
        }
        run = ++p;
        if (buffer.size() >= kChunkTokens) {  // a long line is handed out in pieces
            rest_ = std::string_view(p, static_cast<size_t>(end - p));
            line_open_ = true;
            return;
        }
    }
    push_text_token(std::string_view(run, static_cast<size_t>(end - run)));
}

}  // namespace tarvix::lexer
