// The IDF parser: a class name, then one value per comma or semicolon; the
// semicolon closes the object. Comments, line breaks and blanks around
// values are the tokenizer's business. The parser hands objects to a sink:
// a vector of raw objects, or a document being loaded.
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>

#include "core/document/document.h"
#include "core/text/text.h"

namespace tarvix::idf {
namespace {

template <class Sink>
bool parse_tokens(lexer::Tokenizer& tokens, Sink& sink, DocumentError& error) noexcept {
    auto fail = [&](DocumentErrorKind kind, std::string_view value = {}, int32_t type = 0) {
        error.kind = kind;
        error.line_num = tokens.line_num;
        error.token_type = type;
        try {
            error.value.assign(value);
        } catch (const std::bad_alloc&) {
            error.kind = DocumentErrorKind::out_of_memory;
        }
        return false;
    };
    try {
        std::string_view last_text;
        int32_t text_line = 0;
        bool object_started = false;
        for (;;) {
            const lexer::TokenView tok = tokens.next();
            switch (tok.type) {
                case lexer::TOKEN_TEXT:
                    if (!last_text.empty()) return fail(DocumentErrorKind::missing_delimiter, tok.value);
                    last_text = tok.value;
                    text_line = tokens.line_num;
                    break;
                case lexer::TOKEN_COMMA:
                    if (object_started) {
                        sink.value(last_text);
                    } else {
                        sink.begin(last_text, last_text.empty() ? tokens.line_num : text_line);
                        object_started = true;
                    }
                    last_text = {};
                    break;
                case lexer::TOKEN_SEMICOLON:
                    if (object_started)
                        sink.value(last_text);
                    else
                        sink.begin(last_text, last_text.empty() ? tokens.line_num : text_line);  // no fields
                    sink.end();
                    object_started = false;
                    last_text = {};
                    break;
                case lexer::TOKEN_EOF:
                    if (object_started || !last_text.empty()) return fail(DocumentErrorKind::unterminated);
                    return sink.finish(error);
                case lexer::TOKEN_ERROR: return fail(DocumentErrorKind::token_error, tok.value);
                default: return fail(DocumentErrorKind::unrecognized_token, {}, static_cast<int32_t>(tok.type));
            }
        }
    } catch (const std::bad_alloc&) {
        return fail(DocumentErrorKind::out_of_memory);
    } catch (const std::length_error&) {
        return fail(DocumentErrorKind::out_of_memory);
    }
}

// Collects raw objects. Values gather in a scratch list and are copied into
// the object at its ";", so each object's storage is allocated once at its
// exact size.
class VectorSink {
public:
    explicit VectorSink(std::vector<c_IDFObject>& objects) : objects_(objects) {}
    void begin(std::string_view class_name, int32_t) { current_.class_name.assign(class_name); }
    void value(std::string_view value) { scratch_.push_back(value); }
    void end() {
        current_.values = scratch_;
        objects_.push_back(std::move(current_));
        current_.class_name.clear();
        current_.values.clear();
        scratch_.clear();
    }
    bool finish(DocumentError&) { return true; }

private:
    std::vector<c_IDFObject>& objects_;
    c_IDFObject current_;
    FieldValues scratch_;
};

class StringStore final : public TextStore {
public:
    explicit StringStore(std::string text) noexcept : text_(std::move(text)) {}
    char* data() noexcept override { return text_.data(); }
    size_t size() const noexcept override { return text_.size(); }
    void shrink(size_t size) noexcept override {
        if (size >= text_.size()) return;
        text_.resize(size);
        try {
            text_.shrink_to_fit();
        } catch (const std::exception&) {
        }
    }

private:
    std::string text_;
};

}  // namespace

bool parse_document(lexer::Tokenizer& tokens, std::vector<c_IDFObject>& objects, DocumentError& error) noexcept {
    VectorSink sink(objects);
    return parse_tokens(tokens, sink, error);
}

std::unique_ptr<TextStore> make_text_store(std::string text) { return std::make_unique<StringStore>(std::move(text)); }

// ---------------------------------------------------------------------------
// Loading

// Builds slots straight from the token stream. Each value is moved down to
// the end of the values before it; the tokenizer only ever reads ahead of
// that point, so the text it has still to read is never touched.
class Document::Loader {
public:
    Loader(Document& doc, char* text, bool keep_layout) : doc_(doc), text_(text), keep_layout_(keep_layout) {}

    void begin(std::string_view class_name, int32_t line) {
        object_line_ = line > 0 ? static_cast<uint32_t>(line) : 0;
        object_source_begin_ = keep_layout_ && class_name.data() ? static_cast<uint32_t>(class_name.data() - text_) : 0;
        object_text_begin_ = written_;
        object_ends_begin_ = doc_.ends_.size();
        count_ = 0;
        if (known_ && class_name == last_name_) return;  // objects of a class tend to come together
        const std::optional<uint32_t> found = doc_.find_class(class_name);
        known_ = found.has_value();
        if (known_) {
            class_idx_ = *found;
            cls_ = &doc_.schema_->ordered_classes[class_idx_];
            last_name_.assign(class_name);
        } else {
            last_name_.clear();
            if (!unknown_) unknown_.emplace(class_name);  // the first one is reported, once the syntax is checked
        }
    }

    void value(std::string_view value) {
        if (!known_) return;
        char* target = text_ + written_;
        if (!value.empty() && value.data() != target) std::memmove(target, value.data(), value.size());
        written_ += value.size();
        const uint64_t end = written_ - object_text_begin_;
        if (end > UINT32_MAX || count_ == UINT32_MAX) throw std::length_error("object too long");
        doc_.ends_.push_back(static_cast<uint32_t>(end));
        ++count_;
    }

    void end() {
        if (!known_) return;
        const size_t slot = doc_.slots_.size();
        doc_.slots_.push_back(Slot{object_text_begin_, object_ends_begin_, count_, class_idx_, 1, nullptr});
        doc_.lines_.push_back(object_line_);
        if (keep_layout_) doc_.source_->begins.push_back(object_source_begin_);
        doc_.entry_of(class_idx_, true)->append(slot);
        doc_.register_all(*cls_, ValuesView(text_ + object_text_begin_, doc_.ends_.data() + object_ends_begin_, count_),
                          slot);
    }

    bool finish(DocumentError& error) {
        if (!unknown_) return true;
        error.kind = DocumentErrorKind::unknown_class;
        error.line_num = 0;
        error.value = std::move(*unknown_);
        return false;
    }

    size_t written() const noexcept { return written_; }

private:
    Document& doc_;
    char* text_;
    bool keep_layout_;
    uint32_t object_line_ = 0;
    uint32_t object_source_begin_ = 0;  // kept layouts only: the text is short enough
    size_t written_ = 0;
    uint64_t object_text_begin_ = 0;
    uint64_t object_ends_begin_ = 0;
    uint32_t count_ = 0;
    uint32_t class_idx_ = 0;
    const ClassDef* cls_ = nullptr;
    bool known_ = false;
    std::string last_name_;
    std::optional<std::string> unknown_;
};

bool Document::load(std::unique_ptr<TextStore> text, bool known_valid, DocumentError& error,
                    bool keep_layout) noexcept {
    touch();
    text_ = std::move(text);
    char* const base = text_->data();
    const size_t size = text_->size();
    if (keep_layout && size > kMaxKeptText) {
        error.kind = DocumentErrorKind::too_long_to_keep;
        return false;
    }
    text_base_ = base;
    targets_.set_text(base, size);
    referencers_.set_text(base, size);
    try {
        // About one value per 24 bytes and one object per 600 in real
        // documents; both arrays grow in place when the guess is short.
        ends_.reserve(size / 24 + 16);
        slots_.reserve(size / 600 + 16);
        lines_.reserve(size / 600 + 16);
        if (keep_layout) {
            source_ = std::make_unique<SourceText>();
            source_->text.assign(base, size);
            source_->begins.reserve(size / 600 + 16);
        }
    } catch (const std::bad_alloc&) {
        error.kind = DocumentErrorKind::out_of_memory;
        return false;
    }
    lexer::Tokenizer tokens;
    tokens.init(std::string_view(base, size), false, known_valid);
    Loader loader(*this, base, keep_layout);
    const bool loaded = parse_tokens(tokens, loader, error);
    written_ = loader.written();
    return loaded;
}

std::optional<std::string_view> scan_version(std::string_view text) noexcept {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // a UTF-8 byte-order mark
    lexer::Tokenizer tokens;
    // Only ASCII matters here, so the bytes are not checked: the text may be
    // in any encoding that keeps ASCII as it is.
    tokens.init(text, false, true);
    std::string_view last_text;
    bool object_started = false;
    bool in_version = false;
    for (;;) {
        const lexer::TokenView tok = tokens.next();
        switch (tok.type) {
            case lexer::TOKEN_TEXT:
                if (!last_text.empty()) return std::nullopt;  // a missing delimiter: the loader says where
                last_text = tok.value;
                break;
            case lexer::TOKEN_COMMA:
            case lexer::TOKEN_SEMICOLON:
                if (in_version) return last_text;
                if (!object_started) in_version = equal_fold(last_text, "Version");
                if (tok.type == lexer::TOKEN_SEMICOLON) {
                    if (in_version) return std::string_view();  // "Version;"
                    object_started = false;
                } else {
                    object_started = true;
                }
                last_text = {};
                break;
            default: return std::nullopt;
        }
    }
}

void Document::finish_load() noexcept {
    if (text_) {
        text_->shrink(written_);
        text_base_ = text_->data();
        targets_.set_text(text_base_, written_);
        referencers_.set_text(text_base_, written_);
    }
    ends_.shrink_to_fit();
    slots_.shrink_to_fit();
    lines_.shrink_to_fit();
    if (source_) source_->begins.shrink_to_fit();
}

bool Document::append(std::vector<c_IDFObject>& objects, DocumentError& error) noexcept {
    touch();
    try {
        for (c_IDFObject& raw : objects) {
            const std::optional<uint32_t> found = find_class(raw.class_name);
            if (!found) {
                error.kind = DocumentErrorKind::unknown_class;
                error.value = raw.class_name;
                return false;
            }
            const size_t slot = add_object(*found, std::move(raw.values));
            raw.values.clear();
            register_all(schema_->ordered_classes[*found], values(slot), slot);
        }
    } catch (const std::exception&) {
        error.kind = DocumentErrorKind::out_of_memory;
        return false;
    }
    return true;
}

}  // namespace tarvix::idf
