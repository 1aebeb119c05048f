// The kept-layout writer. It walks the loaded objects in text order and
// copies the source between the places an edit touched, in one pass: an
// unedited document is one copy of its text. Objects whose values may have
// changed are read again from the source (only those), and each value that
// differs is patched where it stands.
#include "core/formats/kept_layout.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <unordered_map>

#include "core/base/failure.h"
#include "core/base/hash.h"
#include "core/text/text.h"
#include "core/text/tokenizer.h"

namespace tarvix {
namespace {

bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }
bool is_line_end(char c) noexcept { return c == '\n' || c == '\r'; }

// Positions in a text, by lines.
struct Lines {
    std::string_view text;

    // A line ends with "\r\n", "\n" or a lone "\r".
    size_t line_start(size_t p) const noexcept {
        while (p > 0 && !is_line_end(text[p - 1])) --p;
        return p;
    }
    // The first line-end byte at or after p (the text's size when none).
    size_t line_end(size_t p) const noexcept {
        while (p < text.size() && !is_line_end(text[p])) ++p;
        return p;
    }
    // Past the line end at p (p itself at the end of the text).
    size_t past_line_end(size_t p) const noexcept {
        if (p < text.size() && text[p] == '\r') ++p;
        if (p < text.size() && text[p] == '\n') ++p;
        return p;
    }
    size_t skip_blanks(size_t p) const noexcept {
        while (p < text.size() && is_blank(text[p])) ++p;
        return p;
    }
    bool only_blanks(size_t from, size_t to) const noexcept {
        for (size_t p = from; p < to; ++p)
            if (!is_blank(text[p])) return false;
        return true;
    }
    // Whether what follows p on its line is blanks and at most a comment.
    bool rest_is_comment(size_t p) const noexcept {
        p = skip_blanks(p);
        return p >= text.size() || is_line_end(text[p]) || text[p] == '!';
    }
    // The line starting at p holds nothing but blanks.
    bool blank_line(size_t p) const noexcept {
        const size_t q = skip_blanks(p);
        return q < text.size() && is_line_end(text[q]);
    }
    bool comment_line(size_t p) const noexcept {
        const size_t q = skip_blanks(p);
        return q < text.size() && text[q] == '!';
    }
    // Whether a line ends in [from, to): it reads no further than `to`, so
    // that a document written on one long line costs no more per object.
    bool crosses_line(size_t from, size_t to) const noexcept {
        for (size_t p = from; p < to; ++p)
            if (is_line_end(text[p])) return true;
        return false;
    }
    // Where the run of blanks that ends at p begins.
    size_t blanks_before(size_t p) const noexcept {
        while (p > 0 && is_blank(text[p - 1])) --p;
        return p;
    }
    // The start of the line before the one starting at p (p > 0): back
    // over that line's end, both bytes of a "\r\n".
    size_t previous_line(size_t p) const noexcept {
        --p;
        if (p > 0 && text[p] == '\n' && text[p - 1] == '\r') --p;
        return line_start(p);
    }
};

// The comment that follows a delimiter on its line: the blanks before it
// and where it starts; `found` false when the line goes on with a value or
// ends first.
struct TrailingComment {
    bool found = false;
    size_t pad_begin = 0;
    size_t begin = 0;
    bool pad_spaces_only = true;
};

TrailingComment comment_after(const Lines& lines, size_t delimiter) noexcept {
    TrailingComment c;
    c.pad_begin = delimiter + 1;
    size_t p = c.pad_begin;
    while (p < lines.text.size() && is_blank(lines.text[p])) {
        if (lines.text[p] == '\t') c.pad_spaces_only = false;
        ++p;
    }
    c.begin = p;
    c.found = p < lines.text.size() && lines.text[p] == '!';
    return c;
}

// A byte of a word: an ASCII letter, digit or underscore, or any byte of a
// UTF-8 sequence.
bool is_word_byte(char c) noexcept {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x80 || u == '_' || (u >= '0' && u <= '9') || ((u | 0x20) >= 'a' && (u | 0x20) <= 'z');
}

// Whether `text` holds `name` as a whole word, ASCII letters matched in any
// case: where the name begins or ends with a word's byte, the text next to
// it is not one ("On" is not in "zones"; "Zone 1" is in "Zone 1: south").
bool names_whole(std::string_view text, std::string_view name) noexcept {
    if (name.empty() || name.size() > text.size()) return false;
    const bool word_first = is_word_byte(name.front());
    const bool word_last = is_word_byte(name.back());
    for (size_t i = 0; i + name.size() <= text.size(); ++i) {
        if (!equal_fold(text.substr(i, name.size()), name)) continue;
        const size_t end = i + name.size();
        if (word_first && i > 0 && is_word_byte(text[i - 1])) continue;
        if (word_last && end < text.size() && is_word_byte(text[end])) continue;
        return true;
    }
    return false;
}

std::string_view value_at(std::string_view text, const SourceObject::Field& f) noexcept {
    return text.substr(f.begin, f.end - f.begin);
}

// Where the writer's text goes: a string, a count of it (for a buffer of
// the exact size), or that buffer.
struct StringOut {
    std::string& text;
    void append(std::string_view part) { text.append(part); }
    void fill(size_t count, char c) { text.append(count, c); }
    void push(char c) { text.push_back(c); }
    char last() const noexcept { return text.empty() ? '\0' : text.back(); }
    void reserve(size_t size) { text.reserve(text.size() + size); }
};

struct CountOut {
    KeptMeasure& m;
    char last_ = '\0';
    void append(std::string_view part) {
        if (part.empty()) return;
        m.bytes += part.size();
        if (m.ascii) m.ascii = is_ascii(part);
        last_ = part.back();
    }
    void fill(size_t count, char c) {
        if (count == 0) return;
        m.bytes += count;
        last_ = c;
    }
    void push(char c) { append(std::string_view(&c, 1)); }
    char last() const noexcept { return last_; }
    void reserve(size_t) {}
};

struct BufferOut {
    char* at;
    char last_ = '\0';
    void append(std::string_view part) {
        if (part.empty()) return;
        std::memcpy(at, part.data(), part.size());
        at += part.size();
        last_ = part.back();
    }
    void fill(size_t count, char c) {
        if (count == 0) return;
        std::memset(at, c, count);
        at += count;
        last_ = c;
    }
    void push(char c) {
        *at++ = c;
        last_ = c;
    }
    char last() const noexcept { return last_; }
    void reserve(size_t) {}
};

template <class Out>
class KeptWriter {
public:
    KeptWriter(Out& out, const SourceText& source, const SlotSource& slots)
        : out_(out), source_(source), lines_{source.text}, slots_(slots), line_end_(source.line_end()) {}

    void run(WriteResult& result);

private:
    enum class Status : uint8_t { kept, edited, removed, replaced, reshaped };

    void copy_to(size_t p) {
        if (p > cursor_) out_.append(std::string_view(source_.text).substr(cursor_, p - cursor_));
        if (p > cursor_) cursor_ = p;
    }
    void skip_to(size_t p) noexcept { cursor_ = std::max(cursor_, p); }
    // Text made by the layout writer, its line ends turned into the source's.
    void append_made(std::string_view made) {
        if (line_end_ == "\n") {
            out_.append(made);
            return;
        }
        for (const char c : made) {
            if (c == '\n')
                out_.append(line_end_);
            else
                out_.push(c);
        }
    }
    size_t begin_of(size_t slot) const noexcept { return source_.begins[slot]; }
    bool read(size_t slot) { return read_source_object(source_.text, begin_of(slot), object_); }
    const FormatConfig& config() {
        if (!have_config_) {
            config_ = source_format_config(source_);
            have_config_ = true;
        }
        return config_;
    }

    void remove(size_t slot);
    void edit(size_t slot, const ObjectView& view);
    void rewrite(size_t slot, const ObjectView& view);
    void insert_after(size_t slot, const std::vector<size_t>& added);
    void insert_at_end(const std::vector<size_t>& added);
    void append_object(size_t slot);

    Out& out_;
    const SourceText& source_;
    Lines lines_;
    const SlotSource& slots_;
    std::string_view line_end_;
    size_t cursor_ = 0;
    SourceObject object_;
    FormatConfig config_;
    bool have_config_ = false;
    std::string made_;
};

// Takes out the object in `slot` with the lines that are only its own.
template <class Out>
void KeptWriter<Out>::remove(size_t slot) {
    if (!read(slot)) return;  // the loaded object always reads; keep its text if not
    const std::string_view text = source_.text;
    size_t begin = object_.class_begin;
    size_t end = object_.end();
    // Only blanks before it on its line: found without reading the rest of
    // that line.
    const size_t first_line = lines_.blanks_before(begin);
    const bool starts_line = first_line == 0 || is_line_end(text[first_line - 1]);
    const size_t after = lines_.skip_blanks(end);
    const bool ends_line = lines_.rest_is_comment(end);
    if (starts_line && ends_line) {
        begin = first_line;
        end = lines_.past_line_end(lines_.line_end(after));
        bool blank_before = begin == 0 || lines_.blank_line(lines_.previous_line(begin));
        const bool blank_after = end >= text.size() || lines_.blank_line(end);
        // A comment block right above (no blank line between) is the
        // object's own when the two stand alone between blank lines and the
        // block names the object: then it goes too.
        size_t block = begin;
        while (block > 0 && lines_.comment_line(lines_.previous_line(block))) block = lines_.previous_line(block);
        if (block < begin && blank_after && (block == 0 || lines_.blank_line(lines_.previous_line(block))) &&
            !object_.fields.empty()) {
            const std::string_view name = value_at(text, object_.fields[0]);
            if (names_whole(text.substr(block, begin - block), name)) {
                begin = block;
                blank_before = true;
            }
        }
        // Blank lines on both sides: one of them goes with the object.
        if (blank_before && blank_after && end < text.size()) end = lines_.past_line_end(lines_.line_end(end));
    } else if (starts_line) {
        begin = first_line;
        end = after;
    } else if (ends_line) {
        begin = first_line;
        end = lines_.line_end(after);
    } else {
        end = after;
    }
    copy_to(begin);
    skip_to(end);
}

// Writes the loaded object in `slot` with the values of `view`, changing in
// the source only what differs.
template <class Out>
void KeptWriter<Out>::edit(size_t slot, const ObjectView& view) {
    if (!read(slot)) return;
    const std::string_view text = source_.text;
    const ValuesView& values = view.values;
    const size_t n = object_.fields.size();
    size_t m = values.size();
    if (m > n) m = std::max(n, values.used());
    // Empty fields the author wrote at the end stay while every value the
    // source has still stands: only fields an edit empties are trimmed.
    if (m < n) {
        size_t written = n;
        while (written > 0 && object_.fields[written - 1].begin == object_.fields[written - 1].end) --written;
        if (m >= written) m = n;
    }
    const bool trims = m < n;
    // How the trimmed values go: whole lines, or only their characters.
    const size_t kept_delimiter = m && m <= n ? object_.fields[m - 1].delimiter : object_.class_delimiter;
    const size_t last = object_.last_delimiter();
    const bool trim_lines = trims && lines_.rest_is_comment(last + 1) && lines_.rest_is_comment(kept_delimiter + 1) &&
                            lines_.crosses_line(kept_delimiter, last);

    // Values past the object's last go in its own style: a line each, or
    // on its line.
    const size_t previous = n >= 2 ? object_.fields[n - 2].delimiter : object_.class_delimiter;
    const bool grows = m > n;
    const bool per_line = grows && lines_.rest_is_comment(last + 1) &&
                          (n == 0 ? !config().compact : lines_.crosses_line(previous, last));
    // On one line, new values take the blanks the line puts after its
    // delimiters.
    std::string_view gap;
    if (grows && !per_line && n > 0) {
        const size_t from = previous + 1;
        const size_t to = object_.fields[n - 1].begin;
        if (to >= from && lines_.only_blanks(from, to)) gap = text.substr(from, to - from);
    }
    auto close_with = [&](size_t delimiter, char c) {
        copy_to(delimiter);
        out_.push(c);
        skip_to(delimiter + 1);
        if (c == ',' && !per_line) {
            for (size_t k = n; k < m; ++k) {
                out_.append(gap);
                out_.append(values[k]);
                out_.push(k + 1 == m ? ';' : ',');
            }
        }
    };
    if (n == 0 && grows) close_with(object_.class_delimiter, ',');
    if (m == 0 && trims) close_with(object_.class_delimiter, ';');

    for (size_t k = 0; k < std::min(m, n); ++k) {
        const SourceObject::Field& f = object_.fields[k];
        const std::string_view old = value_at(text, f);
        const std::string_view now = values.at_or_empty(k);
        int64_t delta = 0;
        if (old != now) {
            copy_to(f.begin);
            out_.append(now);
            skip_to(f.end);
            delta = static_cast<int64_t>(now.size()) - static_cast<int64_t>(old.size());
        }
        if (k + 1 == m && trims) {
            close_with(f.delimiter, ';');
            if (!trim_lines) break;
        }
        if (k + 1 == n && grows) {
            close_with(f.delimiter, ',');
            if (!per_line) break;
        }
        if (delta == 0) continue;
        // Hold the comment column: the padding after the delimiter takes up
        // the change, keeping at least one blank.
        const TrailingComment c = comment_after(lines_, f.delimiter);
        if (c.found && c.pad_spaces_only) {
            const int64_t run = static_cast<int64_t>(c.begin - c.pad_begin);
            const int64_t wanted = std::max<int64_t>(run - delta, run > 0 ? 1 : 0);
            copy_to(c.pad_begin);
            out_.fill(static_cast<size_t>(wanted), ' ');
            skip_to(c.begin);
        }
    }

    if (trims) {
        if (trim_lines) {
            copy_to(lines_.line_end(kept_delimiter));
            skip_to(lines_.line_end(last));
        } else {
            skip_to(last + 1);
        }
        return;
    }
    if (!per_line) return;

    std::string indent = config().field_indent;
    TrailingComment comment;
    size_t column = 0;
    std::string marker = "!- ";
    bool units = true;
    if (n > 0) {
        const SourceObject::Field& f = object_.fields[n - 1];
        const size_t line = lines_.line_start(f.begin);
        if (lines_.only_blanks(line, f.begin)) indent.assign(text.substr(line, f.begin - line));
        comment = comment_after(lines_, last);
        if (comment.found) {
            column = comment.begin - lines_.line_start(comment.begin);
            size_t p = comment.begin;
            while (p < text.size() && (text[p] == '!' || text[p] == '-')) ++p;
            p = lines_.skip_blanks(p);
            marker.assign(text.substr(comment.begin, p - comment.begin));
        }
        // Units in the field comments when the object's comments show them.
        for (size_t k = 0; k < n; ++k) {
            const FieldDef* def = view.cls ? get_field_def(view.cls, k) : nullptr;
            if (!def || def->units.empty()) continue;
            const TrailingComment c = comment_after(lines_, object_.fields[k].delimiter);
            if (!c.found) continue;
            const size_t end = lines_.line_end(c.begin);
            units = text.substr(c.begin, end - c.begin).find('{') != std::string_view::npos;
            break;
        }
    } else {
        comment.found = true;
        column = config().field_indent.size() + config().field_size + 1;
    }
    copy_to(lines_.line_end(last));
    for (size_t k = n; k < m; ++k) {
        const std::string_view value = values[k];
        out_.append(line_end_);
        out_.append(indent);
        out_.append(value);
        out_.push(k + 1 == m ? ';' : ',');
        if (!comment.found) continue;
        const size_t used = indent.size() + value.size() + 1;
        out_.fill(column > used ? column - used : 2, ' ');
        out_.append(marker);
        if (view.cls) {
            made_.clear();
            append_field_name(made_, view.cls, static_cast<int64_t>(k), units);
            out_.append(made_);
        }
    }
}

// Writes the object in `slot` again whole where it stands, in the layout
// the document mostly uses: the lines around it stay, the comment after its
// last delimiter goes with the field comments it replaces.
template <class Out>
void KeptWriter<Out>::rewrite(size_t slot, const ObjectView& view) {
    if (!read(slot)) return;
    const size_t first_line = lines_.blanks_before(object_.class_begin);
    const bool starts_line = first_line == 0 || is_line_end(source_.text[first_line - 1]);
    copy_to(starts_line ? first_line : object_.class_begin);
    // The object's own style: on one line, compact; over several, its
    // indents and the column of its first field's comment.
    FormatConfig config = this->config();
    const std::string_view text = source_.text;
    config.class_indent.assign(starts_line ? text.substr(first_line, object_.class_begin - first_line) : "");
    if (object_.fields.empty() || !lines_.crosses_line(object_.class_delimiter, object_.last_delimiter())) {
        config.compact = true;
    } else {
        config.compact = false;
        const SourceObject::Field& f = object_.fields[0];
        const size_t line = lines_.line_start(f.begin);
        if (lines_.only_blanks(line, f.begin)) config.field_indent.assign(text.substr(line, f.begin - line));
        const TrailingComment c = comment_after(lines_, f.delimiter);
        const size_t used = config.field_indent.size() + 1;
        if (c.found && c.begin >= line + used) config.field_size = c.begin - line - used;
    }
    made_.clear();
    write_object_text(made_, config, view);
    while (!made_.empty() && is_line_end(made_.back())) made_.pop_back();
    append_made(made_);
    const size_t end = object_.end();
    if (lines_.rest_is_comment(end)) {
        skip_to(lines_.line_end(end));
    } else {
        // Text after it on its line (another object): the field comments
        // written end the line, so it goes on the next.
        skip_to(end);
        if (!config.compact) out_.append(line_end_);
    }
}

template <class Out>
void KeptWriter<Out>::append_object(size_t slot) {
    ObjectView view;
    if (slots_.view(slot, view) != SlotState::object) return;
    made_.clear();
    write_object_text(made_, config(), view);
    if (config().compact) made_.push_back('\n');
    if (!config().compact) append_made("\n");
    append_made(made_);
}

template <class Out>
void KeptWriter<Out>::insert_after(size_t slot, const std::vector<size_t>& added) {
    if (!read(slot)) return;
    const size_t end = object_.end();
    size_t at = end;
    bool open_line = true;
    if (lines_.rest_is_comment(end)) {
        at = lines_.past_line_end(lines_.line_end(end));
        open_line = at == lines_.line_end(end);  // the text ends on this line
    }
    copy_to(at);
    if (open_line) out_.append(line_end_);
    for (const size_t a : added) append_object(a);
}

template <class Out>
void KeptWriter<Out>::insert_at_end(const std::vector<size_t>& added) {
    copy_to(source_.text.size());
    if (out_.last() != '\0' && !is_line_end(out_.last())) out_.append(line_end_);
    for (const size_t a : added) append_object(a);
}

}  // namespace

bool read_source_object(std::string_view text, size_t begin, SourceObject& out) {
    out.fields.clear();
    if (begin > text.size()) return false;
    Tokenizer tokens;
    tokens.init(text.substr(begin), false, true);
    bool named = false;
    bool pending = false;
    size_t value_begin = 0;
    size_t value_end = 0;
    for (;;) {
        const TokenView tok = tokens.next();
        switch (tok.type) {
            case TOKEN_TEXT:
                if (pending) return false;
                pending = true;
                value_begin = static_cast<size_t>(tok.value.data() - text.data());
                value_end = value_begin + tok.value.size();
                break;
            case TOKEN_COMMA:
            case TOKEN_SEMICOLON: {
                const size_t delimiter = begin + tokens.token_offset();
                if (!pending) value_begin = value_end = delimiter;
                if (!named) {
                    out.class_begin = value_begin;
                    out.class_end = value_end;
                    out.class_delimiter = delimiter;
                    named = true;
                } else {
                    out.fields.push_back({value_begin, value_end, delimiter});
                }
                pending = false;
                if (tok.type == TOKEN_SEMICOLON) return true;
                break;
            }
            default: return false;
        }
    }
}

const std::vector<uint32_t>* SourceLines::lines_of(size_t slot) {
    if (slot >= source_.loaded_count()) return nullptr;
    const auto found = lines_.find(slot);
    if (found != lines_.end()) return &found->second;
    std::vector<uint32_t>& lines = lines_[slot];
    if (!read_source_object(source_.text, source_.begins[slot], object_)) return &lines;
    // One pass over the object's text: the lines its values start below
    // its first, a "\r\n" counted once and a lone "\r" as a line end.
    const std::string_view text = source_.text;
    size_t p = source_.begins[slot];
    uint32_t below = 0;
    lines.reserve(object_.fields.size() + 1);
    auto count_to = [&](size_t at) {
        for (; p < at; ++p)
            if (text[p] == '\n' || (text[p] == '\r' && (p + 1 >= text.size() || text[p + 1] != '\n')))
                below = below == UINT32_MAX ? below : below + 1;
        lines.push_back(below);
    };
    count_to(object_.class_begin);
    for (const SourceObject::Field& f : object_.fields) count_to(f.begin);
    return &lines;
}

uint32_t SourceLines::field_line(size_t slot, size_t field_idx, uint32_t object_line) {
    if (object_line == 0) return 0;
    const std::vector<uint32_t>* lines = lines_of(slot);
    if (!lines) return 0;
    if (lines->empty()) return object_line;
    const uint32_t below = field_idx + 1 < lines->size() ? (*lines)[field_idx + 1] : (*lines)[0];
    return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{object_line} + below, UINT32_MAX));
}

FormatConfig source_format_config(const SourceText& source) {
    FormatConfig padded = generate_format_config();
    const size_t count = source.loaded_count();
    if (count == 0) return padded;
    const Lines lines{source.text};
    SourceObject object;
    // Up to 64 objects spread over the document: most of them decide.
    const size_t step = count > 64 ? count / 64 : 1;
    size_t compact = 0, spread = 0;
    // Counts of each spelling, in the order first seen (the first of equal counts wins).
    StringMap<size_t> class_indents, indents, gaps;
    const auto tally = [](StringMap<size_t>& counts, std::string_view spelling) {
        ++counts.emplace(std::string(spelling), 0).first->second;
    };
    std::unordered_map<size_t, size_t> widths;
    for (size_t slot = 0; slot < count; slot += step) {
        if (!read_source_object(source.text, source.begins[slot], object) || object.fields.empty()) continue;
        const SourceObject::Field& first = object.fields[0];
        if (!lines.crosses_line(object.class_delimiter, first.delimiter)) {
            ++compact;
            const size_t from = object.class_delimiter + 1;
            if (first.begin >= from && lines.only_blanks(from, first.begin))
                tally(gaps, std::string_view(source.text).substr(from, first.begin - from));
            continue;
        }
        ++spread;
        const size_t class_line = lines.line_start(object.class_begin);
        if (lines.only_blanks(class_line, object.class_begin))
            tally(class_indents, std::string_view(source.text).substr(class_line, object.class_begin - class_line));
        const size_t line = lines.line_start(first.begin);
        if (!lines.only_blanks(line, first.begin)) continue;
        tally(indents, std::string_view(source.text).substr(line, first.begin - line));
        const TrailingComment c = comment_after(lines, first.delimiter);
        if (c.found && c.begin > first.begin) ++widths[c.begin - first.begin - 1];
    }
    auto most = [](const auto& counts) {
        auto best = counts.begin();
        for (auto it = counts.begin(); it != counts.end(); ++it)
            if (it->second > best->second) best = it;
        return best;
    };
    if (compact > spread) {
        // One line an object, the values spaced as most of those lines space
        // them.
        FormatConfig config;
        config.compact = true;
        if (!gaps.empty()) config.field_indent = most(gaps)->first;
        return config;
    }
    if (!class_indents.empty()) padded.class_indent = most(class_indents)->first;
    if (!indents.empty()) padded.field_indent = most(indents)->first;
    if (!widths.empty()) padded.field_size = most(widths)->first;
    return padded;
}

template <class Out>
void KeptWriter<Out>::run(WriteResult& result) {
    const size_t loaded = source_.loaded_count();
    const size_t count = slots_.slot_count();
    out_.reserve(source_.text.size() + source_.text.size() / 64);

    // Which loaded objects stay, and which objects are new.
    std::vector<Status> status;
    std::vector<size_t> added;  // in slot order
    bool any_added = false;
    status.assign(loaded, Status::kept);
    ObjectView view;
    for (size_t slot = 0; slot < status.size(); ++slot) {
        if (slot >= count) {
            status[slot] = Status::removed;
            continue;
        }
        if (slots_.unchanged(slot)) continue;
        switch (slots_.view(slot, view)) {
            case SlotState::empty: status[slot] = Status::removed; break;
            case SlotState::foreign: result.foreign_slot = slot; break;
            case SlotState::object: {
                status[slot] = Status::edited;
                if (slots_.reshaped(slot)) {
                    status[slot] = Status::reshaped;
                    break;
                }
                if (!read(slot)) break;
                const std::string_view name =
                    std::string_view(source_.text).substr(object_.class_begin, object_.class_end - object_.class_begin);
                if (!equal_fold(name, view.class_name)) {
                    status[slot] = Status::replaced;
                    any_added = true;
                }
                break;
            }
        }
        if (result.foreign_slot != SIZE_MAX) break;
    }
    for (size_t slot = loaded; slot < count && result.foreign_slot == SIZE_MAX; ++slot) {
        switch (slots_.view(slot, view)) {
            case SlotState::empty: break;
            case SlotState::foreign: result.foreign_slot = slot; break;
            case SlotState::object: any_added = true; break;
        }
    }
    const size_t stop = std::min(result.foreign_slot, std::max(count, loaded));
    for (size_t slot = 0; slot < std::min(stop, count); ++slot) {
        if (slot < status.size() ? status[slot] == Status::replaced : slots_.view(slot, view) == SlotState::object)
            added.push_back(slot);
    }

    // Each new object goes after the last object of its class that stays.
    std::unordered_map<const void*, size_t> anchor;  // class -> that slot
    std::vector<std::vector<size_t>> after;          // by position in `anchored`
    std::unordered_map<size_t, size_t> anchored;     // anchor slot -> index in `after`
    std::vector<size_t> at_end;
    if (any_added && !added.empty()) {
        std::unordered_map<const void*, size_t> wanted;
        for (const size_t slot : added)
            if (slots_.view(slot, view) == SlotState::object && view.cls) wanted.emplace(view.cls, SIZE_MAX);
        for (size_t slot = 0; slot < std::min(status.size(), stop); ++slot) {
            if (status[slot] != Status::kept && status[slot] != Status::edited && status[slot] != Status::reshaped)
                continue;
            if (slots_.view(slot, view) != SlotState::object || !view.cls) continue;
            const auto it = wanted.find(view.cls);
            if (it != wanted.end()) it->second = slot;
        }
        for (const size_t slot : added) {
            slots_.view(slot, view);
            const auto it = view.cls ? wanted.find(view.cls) : wanted.end();
            if (it == wanted.end() || it->second == SIZE_MAX) {
                at_end.push_back(slot);
                continue;
            }
            const auto [where, fresh] = anchored.emplace(it->second, after.size());
            if (fresh) after.emplace_back();
            after[where->second].push_back(slot);
        }
    }

    for (size_t slot = 0; slot < std::min(status.size(), stop); ++slot) {
        switch (status[slot]) {
            case Status::kept: break;
            case Status::removed:
            case Status::replaced: remove(slot); break;
            case Status::edited:
                if (slots_.view(slot, view) == SlotState::object) edit(slot, view);
                break;
            case Status::reshaped:
                if (slots_.view(slot, view) == SlotState::object) rewrite(slot, view);
                break;
        }
        if (!anchored.empty()) {
            const auto it = anchored.find(slot);
            if (it != anchored.end()) insert_after(slot, after[it->second]);
        }
    }
    if (result.foreign_slot != SIZE_MAX && result.foreign_slot < status.size()) {
        copy_to(begin_of(result.foreign_slot));
        return;
    }
    if (!at_end.empty())
        insert_at_end(at_end);
    else
        copy_to(source_.text.size());
}

void write_kept_layout(std::string& out, const SourceText& source, const SlotSource& slots,
                       WriteResult& result) noexcept {
    try {
        StringOut sink{out};
        KeptWriter<StringOut> writer(sink, source, slots);
        writer.run(result);
    } catch (const std::exception&) {
        result.out_of_memory = true;
        report_internal_failure(FailureSite::write_to_buffer);
    }
}

KeptMeasure measure_kept_layout(const SourceText& source, const SlotSource& slots, WriteResult& result) noexcept {
    KeptMeasure measure;
    try {
        CountOut sink{measure};
        KeptWriter<CountOut> writer(sink, source, slots);
        writer.run(result);
    } catch (const std::exception&) {
        result.out_of_memory = true;
        report_internal_failure(FailureSite::write_to_buffer);
    }
    return measure;
}

bool write_kept_layout_into(char* buffer, const SourceText& source, const SlotSource& slots) noexcept {
    try {
        BufferOut sink{buffer};
        KeptWriter<BufferOut> writer(sink, source, slots);
        WriteResult result;
        writer.run(result);
        return !result.out_of_memory;
    } catch (const std::exception&) {
        report_internal_failure(FailureSite::write_to_buffer);
        return false;
    }
}

}  // namespace tarvix
