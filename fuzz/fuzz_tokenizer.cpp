// Tokenizer in both modes (the first input byte picks the mode), drained to
// the end. Each token is checked against the token rules directly and
// against a plain reference tokenizer written below from the same rules, so
// a dropped, split or misplaced token is caught as well as a crash. The
// stream is taken three ways: as views with next() (each text token must
// view the content where the reference found it, at token_offset()), as
// owned copies with next_token(), and, when no token is bad UTF-8, as views
// again with the text vouched for as valid.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/text/outline.h"
#include "fuzz_common.h"

using tarvix::Token;
using tarvix::Tokenizer;
using tarvix::TokenType;
using tarvix::TokenView;

namespace {

// Strict UTF-8 by decoding, independent of the validator the tokenizer uses:
// no overlong forms, no surrogates, nothing above U+10FFFF. Returns the
// offset of the first byte of the first bad sequence, or npos.
size_t invalid_utf8_at(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const size_t len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (len == 0 || i + len > s.size()) return i;
        uint32_t cp = len == 1 ? c : c & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80) return i;
            cp = cp << 6 | (b & 0x3F);
        }
        static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
        i += len;
    }
    return std::string_view::npos;
}

// The tokenizer's message for a bad byte at a 0-based offset in its line.
std::string utf8_error(unsigned char byte, size_t offset) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    return std::string("invalid UTF-8 byte 0x") + kHex[byte >> 4] + kHex[byte & 15] + " at column " +
           std::to_string(offset + 1);
}

struct Expected {
    TokenType type;
    std::string value;  // text, or the error message
    int32_t line;
    size_t offset = 0;  // where a text or delimiter token starts in the text
};

// The reference: split into lines at LF, CRLF or a lone CR, cut each line
// at "," ";" "!" (and in schema mode at a backslash, which takes the rest of
// the line up to "!"), trim blanks and tabs, keep non-empty texts; the first
// text that is not UTF-8 is an error, naming the byte and its column, that
// ends the stream.
std::vector<Expected> reference_tokens(std::string_view text, bool schema_mode) {
    std::vector<Expected> out;
    std::string_view line;
    int32_t line_no = 0;
    bool failed = false;
    auto text_token = [&](std::string_view piece) {
        const size_t first = piece.find_first_not_of(" \t");
        if (first == std::string_view::npos) return;
        piece = piece.substr(first, piece.find_last_not_of(" \t") - first + 1);
        const size_t bad = invalid_utf8_at(piece);
        failed = bad != std::string_view::npos;
        if (failed)
            out.push_back({tarvix::TOKEN_ERROR,
                           utf8_error(static_cast<unsigned char>(piece[bad]), piece.data() + bad - line.data()),
                           line_no, 0});
        else
            out.push_back(
                {tarvix::TOKEN_TEXT, std::string(piece), line_no, static_cast<size_t>(piece.data() - text.data())});
    };
    size_t pos = 0;
    while (pos < text.size() && !failed) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = text.size();
        line = text.substr(pos, end - pos);
        pos = end + (text.substr(end, 2) == "\r\n" ? 2 : end < text.size() ? 1 : 0);
        ++line_no;
        size_t run = 0;
        for (size_t i = 0; i <= line.size() && !failed; ++i) {
            const char c = i < line.size() ? line[i] : '\n';
            if (c != ',' && c != ';' && c != '!' && c != '\n' && !(schema_mode && c == '\\')) continue;
            text_token(line.substr(run, i - run));
            if (failed || c == '!' || c == '\n') break;
            if (c == '\\') {
                const size_t bang = line.find('!', i);
                text_token(line.substr(i, bang == std::string_view::npos ? std::string_view::npos : bang - i));
                break;
            }
            out.push_back({c == ',' ? tarvix::TOKEN_COMMA : tarvix::TOKEN_SEMICOLON,
                           {},
                           line_no,
                           static_cast<size_t>(line.data() - text.data()) + i});
            run = i + 1;
        }
    }
    if (!failed) out.push_back({tarvix::TOKEN_EOF, {}, line_no ? line_no : 1, 0});
    return out;
}

void check_text(std::string_view value, bool schema_mode) {
    FUZZ_CHECK(!value.empty());
    FUZZ_CHECK(value.front() != ' ' && value.front() != '\t');
    FUZZ_CHECK(value.back() != ' ' && value.back() != '\t');
    FUZZ_CHECK(value.find_first_of("\r\n!") == std::string_view::npos);
    FUZZ_CHECK(invalid_utf8_at(value) == std::string_view::npos);
    // A schema property line keeps its delimiters; any other text has none.
    if (!(schema_mode && value.front() == '\\'))
        FUZZ_CHECK(value.find_first_of(schema_mode ? ",;\\" : ",;") == std::string_view::npos);
}

// After the end or an error, only the end, on the same line.
template <class Next>
void check_only_the_end(Tokenizer& tokenizer, Next next) {
    for (int k = 0; k < 3; ++k) {
        const int32_t line = tokenizer.line_num;
        FUZZ_CHECK(next().type == tarvix::TOKEN_EOF);
        FUZZ_CHECK(tokenizer.line_num == line);
    }
}

// The stream as views, pulled with next(): each token as the reference has
// it, and each text or delimiter where the reference found it. A text token
// views the content itself, not a copy.
void check_views(std::string_view text, bool schema_mode, bool known_valid, const std::vector<Expected>& expected) {
    Tokenizer tokenizer;
    tokenizer.init(text, schema_mode, known_valid);
    for (size_t n = 0;; ++n) {
        const TokenView token = tokenizer.next();
        FUZZ_CHECK(n < expected.size());
        const Expected& want = expected[n];
        FUZZ_CHECK(token.type == want.type);
        FUZZ_CHECK(tokenizer.line_num == want.line);
        switch (token.type) {
            case tarvix::TOKEN_TEXT:
                check_text(token.value, schema_mode);
                FUZZ_CHECK(token.value == want.value);
                FUZZ_CHECK(tokenizer.token_offset() == want.offset);
                FUZZ_CHECK(token.value.data() == text.data() + want.offset);
                break;
            case tarvix::TOKEN_COMMA:
            case tarvix::TOKEN_SEMICOLON:
                FUZZ_CHECK(tokenizer.token_offset() == want.offset);
                FUZZ_CHECK(text[want.offset] == (token.type == tarvix::TOKEN_COMMA ? ',' : ';'));
                break;
            case tarvix::TOKEN_ERROR: FUZZ_CHECK(token.value == want.value); [[fallthrough]];
            case tarvix::TOKEN_EOF: check_only_the_end(tokenizer, [&] { return tokenizer.next(); }); return;
            default: FUZZ_CHECK(false);
        }
    }
}

// The stream as owned copies, pulled with next_token(): the same tokens.
void check_copies(std::string_view text, bool schema_mode, const std::vector<Expected>& expected) {
    Tokenizer tokenizer;
    tokenizer.init(text, schema_mode);
    for (size_t n = 0;; ++n) {
        const Token token = tokenizer.next_token();
        FUZZ_CHECK(n < expected.size());
        FUZZ_CHECK(token.type == expected[n].type);
        FUZZ_CHECK(tokenizer.line_num == expected[n].line);
        if (token.type == tarvix::TOKEN_TEXT || token.type == tarvix::TOKEN_ERROR)
            FUZZ_CHECK(token.value == expected[n].value);
        if (token.type == tarvix::TOKEN_EOF || token.type == tarvix::TOKEN_ERROR) {
            check_only_the_end(tokenizer, [&] { return tokenizer.next_token(); });
            return;
        }
    }
}

}  // namespace

// The outline of a document text: objects in text order, each value inside
// its object and before its delimiter, every delimiter the tokenizer gave
// placed once, every line start after a line end.
void check_outline(std::string_view text, const std::vector<Expected>& expected) {
    tarvix::Outline outline;
    tarvix::outline_document(text, outline);
    size_t delimiters = 0;
    for (const Expected& token : expected)
        if (token.type == tarvix::TOKEN_COMMA || token.type == tarvix::TOKEN_SEMICOLON) ++delimiters;
    size_t placed = 0;
    uint32_t last_end = 0;
    for (const tarvix::OutlineObject& object : outline.objects) {
        FUZZ_CHECK(object.class_begin >= last_end && object.class_begin <= object.class_end);
        FUZZ_CHECK(object.class_end <= object.end && object.end <= text.size());
        FUZZ_CHECK(object.first_field + object.field_count <= outline.fields.size());
        uint32_t at = object.class_end;
        for (uint32_t k = 0; k < object.field_count; ++k) {
            const tarvix::OutlineField& field = outline.fields[object.first_field + k];
            FUZZ_CHECK(field.begin >= at && field.begin <= field.end && field.end <= field.delimiter);
            FUZZ_CHECK(field.delimiter <= object.end);
            at = field.delimiter;
            if (field.delimiter < text.size() && (text[field.delimiter] == ',' || text[field.delimiter] == ';'))
                ++placed;
        }
        last_end = object.end;
    }
    FUZZ_CHECK(placed <= delimiters);
    FUZZ_CHECK(!outline.line_starts.empty() && outline.line_starts[0] == 0);
    for (size_t k = 1; k < outline.line_starts.size(); ++k) {
        const uint32_t start = outline.line_starts[k];
        FUZZ_CHECK(start > outline.line_starts[k - 1] && start <= text.size());
        FUZZ_CHECK(text[start - 1] == '\n' || text[start - 1] == '\r');
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool schema_mode = data[0] & 1;
    const std::string_view text = fuzz::as_text(data + 1, size - 1);
    const std::vector<Expected> expected = reference_tokens(text, schema_mode);

    check_views(text, schema_mode, false, expected);
    check_copies(text, schema_mode, expected);
    // A caller that vouches for the text skips the UTF-8 checks of the
    // tokens: when no token is bad, the stream is the same. (Bytes outside
    // the tokens, in comments, are never checked.)
    if (expected.back().type != tarvix::TOKEN_ERROR) check_views(text, schema_mode, true, expected);
    if (!schema_mode) check_outline(text, expected);
    return 0;
}
