// The IDF parser: a class name, then one value per comma or semicolon; the
// semicolon closes the object. Comments, line breaks and blanks around
// values are the tokenizer's business. The parser hands objects to a sink:
// a vector of raw objects, or a document being loaded.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

#include "core/document/document.h"
#include "core/text/text.h"

namespace tarvix {
namespace {

template <class Sink>
bool parse_tokens(Tokenizer& tokens, Sink& sink, DocumentError& error) noexcept {
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
            const TokenView tok = tokens.next();
            switch (tok.type) {
                case TOKEN_TEXT:
                    if (!last_text.empty()) return fail(DocumentErrorKind::missing_delimiter, tok.value);
                    last_text = tok.value;
                    text_line = tokens.line_num;
                    break;
                case TOKEN_COMMA:
                    if (object_started) {
                        sink.value(last_text);
                    } else {
                        sink.begin(last_text, last_text.empty() ? tokens.line_num : text_line);
                        object_started = true;
                    }
                    last_text = {};
                    break;
                case TOKEN_SEMICOLON:
                    if (object_started)
                        sink.value(last_text);
                    else
                        sink.begin(last_text, last_text.empty() ? tokens.line_num : text_line);  // no fields
                    sink.end();
                    object_started = false;
                    last_text = {};
                    break;
                case TOKEN_EOF:
                    if (object_started || !last_text.empty()) return fail(DocumentErrorKind::unterminated);
                    return sink.finish(error);
                case TOKEN_ERROR: return fail(DocumentErrorKind::token_error, tok.value);
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

bool parse_document(Tokenizer& tokens, std::vector<c_IDFObject>& objects, DocumentError& error) noexcept {
    VectorSink sink(objects);
    return parse_tokens(tokens, sink, error);
}

std::unique_ptr<TextStore> make_text_store(std::string text) { return std::make_unique<StringStore>(std::move(text)); }

// ---------------------------------------------------------------------------
// Loading

namespace {

// Threads of this process's loads that are working now, each load's own
// included: a load takes a second thread for its graph only while that
// leaves no load without a core, so many loads at once each run on one.
std::atomic<unsigned> busy_load_threads{0};

// A large load's own thread, counted while it loads.
class LoadThread {
public:
    explicit LoadThread(bool counted) noexcept : counted_(counted) {
        if (counted_) busy_load_threads.fetch_add(1, std::memory_order_relaxed);
    }
    ~LoadThread() {
        if (counted_) busy_load_threads.fetch_sub(1, std::memory_order_relaxed);
    }
    LoadThread(const LoadThread&) = delete;
    LoadThread& operator=(const LoadThread&) = delete;

private:
    bool counted_;
};

// Texts below this size register their values as they go: a thread costs
// more than their whole graph.
constexpr size_t kGraphThreadFrom = size_t{1} << 19;

}  // namespace

// The reference graph of a large load, built on a second thread while the
// tokenizer runs: the loader hands over every value that a field registers
// (values sit in the text where the loader moved them and never move again
// during the load), in chunks, and the thread registers them in the order
// given, as the loader would have. Failures the thread reports are kept in
// its own log and reported again on the loading thread once it is done.
class Document::GraphFeed {
public:
    struct Pending {
        const FieldDef* field;
        size_t slot;
        uint64_t at;
        uint32_t size;
        int32_t field_idx;
    };

    static std::unique_ptr<GraphFeed> start(Document& doc, const char* text, size_t size) noexcept {
        if (size < kGraphThreadFrom) return nullptr;
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        unsigned busy = busy_load_threads.load(std::memory_order_relaxed);
        do {
            if (busy + 1 > cores) return nullptr;  // the load's own thread is counted already
        } while (!busy_load_threads.compare_exchange_weak(busy, busy + 1, std::memory_order_relaxed));
        std::unique_ptr<GraphFeed> feed;
        try {
            feed.reset(new GraphFeed(doc, text, size));
            feed->current_.reserve(kChunk);
            feed->worker_ = std::thread([f = feed.get()] { f->run(); });
        } catch (...) {
            busy_load_threads.fetch_sub(1, std::memory_order_relaxed);
            return nullptr;
        }
        return feed;
    }

    ~GraphFeed() {
        finish();
        busy_load_threads.fetch_sub(1, std::memory_order_relaxed);
    }

    // Throws std::bad_alloc (the load then fails as out of memory).
    void add(const FieldDef& field, std::string_view value, FieldLoc loc) {
        current_.push_back(Pending{&field, loc.obj_idx, static_cast<uint64_t>(value.data() - text_),
                                   static_cast<uint32_t>(value.size()), loc.field_idx});
        if (current_.size() == kChunk) hand_over();
    }

    // Waits for every value handed over to be registered, and reports the
    // thread's failures on this one.
    void finish() noexcept {
        if (!worker_.joinable()) return;
        bool handed = true;
        try {
            if (!current_.empty()) hand_over();
        } catch (const std::bad_alloc&) {
            handed = false;  // registered here once the thread is done with the rest
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        ready_.notify_one();
        worker_.join();
        if (!handed)
            for (const Pending& p : current_) register_one(p);
        current_.clear();
        for (size_t i = 0; i < failures_.size(); ++i) report_internal_failure(failures_[i].site, failures_[i].kind);
    }

private:
    static constexpr size_t kChunk = 4096;
    static constexpr size_t kChunksBeforeSizing = 4;
    static constexpr size_t kMostQueued = 32;  // chunks handed over and not yet taken

    GraphFeed(Document& doc, const char* text, size_t size) noexcept : doc_(doc), text_(text), size_(size) {}

    void register_one(const Pending& p) noexcept {
        doc_.register_value(*p.field, std::string_view(text_ + p.at, p.size), FieldLoc{p.slot, p.field_idx});
    }

    // A chunk's values under their tags, each map's in one batch; values
    // that cannot be batched are registered one by one.
    void register_chunk(const std::vector<Pending>& chunk) noexcept {
        targets_batch_.clear();
        referencers_batch_.clear();
        try {
            targets_batch_.reserve(chunk.size() * 2);
            referencers_batch_.reserve(chunk.size() * 2);
            for (const Pending& p : chunk) {
                const std::string_view value(text_ + p.at, p.size);
                const FieldLoc loc{p.slot, p.field_idx};
                const uint64_t hash = RefMap::value_hash(value);  // once, whatever the value's tags
                const Views references = p.field->references();
                for (size_t k = 0; k < references.size(); ++k)
                    targets_batch_.push_back(RefMap::Adding{doc_.targets_.tag(references[k], p.field->reference_id(k)),
                                                            0, value, loc, hash});
                const Views object_lists = p.field->object_lists();
                for (size_t k = 0; k < object_lists.size(); ++k)
                    referencers_batch_.push_back(RefMap::Adding{
                        doc_.referencers_.tag(object_lists[k], p.field->object_list_id(k)), 0, value, loc, hash});
            }
        } catch (const std::bad_alloc&) {
            for (const Pending& p : chunk) register_one(p);
            return;
        }
        // Once a few chunks are in, the maps' tables are sized for what the
        // rest of the text will bring at the same rate (at most eight times
        // what they hold: the values that register may all come first), so
        // that they are not rebuilt again and again as they fill.
        if (++chunks_done_ == kChunksBeforeSizing && !chunk.empty()) {
            const double rate = std::min(
                8.0, static_cast<double>(size_) / static_cast<double>(chunk.back().at + chunk.back().size + 1));
            for (RefMap* map : {&doc_.targets_, &doc_.referencers_})
                map->reserve_table(static_cast<size_t>(static_cast<double>(map->size()) * rate * 1.1));
        }
        doc_.targets_.add_many(targets_batch_.data(), targets_batch_.size(), FailureSite::register_target);
        doc_.referencers_.add_many(referencers_batch_.data(), referencers_batch_.size(),
                                   FailureSite::register_referencer);
    }

    void hand_over() {
        std::vector<Pending> next;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!spare_.empty()) {
                next = std::move(spare_.back());
                spare_.pop_back();
            }
        }
        next.reserve(kChunk);  // may throw: nothing handed over yet
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (queue_.size() == queue_.capacity()) queue_.reserve(queue_.size() * 2 + 8);
            queue_.push_back(std::move(current_));
            ready_.notify_one();
            // A thread far behind makes the loader wait, so that the values
            // waiting for it stay a few megabytes whatever the document.
            drained_.wait(lock, [&] { return queue_.size() - head_ < kMostQueued; });
        }
        current_ = std::move(next);
        current_.clear();
    }

    void run() noexcept {
        const FailureScope scope(failures_);
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            ready_.wait(lock, [&] { return done_ || head_ < queue_.size(); });
            if (head_ == queue_.size()) return;  // done, and everything registered
            std::vector<Pending> chunk = std::move(queue_[head_++]);
            if (head_ == queue_.size()) {
                queue_.clear();
                head_ = 0;
            }
            lock.unlock();
            drained_.notify_one();
            register_chunk(chunk);
            chunk.clear();
            lock.lock();
            try {
                spare_.push_back(std::move(chunk));
            } catch (const std::bad_alloc&) {
            }
        }
    }

    Document& doc_;
    const char* text_;
    size_t size_;
    size_t chunks_done_ = 0;  // the thread's
    std::vector<Pending> current_;  // the loader's
    std::mutex mutex_;
    std::condition_variable ready_;    // for the thread: a chunk handed over, or the end
    std::condition_variable drained_;  // for the loader: a chunk taken
    std::vector<std::vector<Pending>> queue_;  // handed over, from head_ on
    size_t head_ = 0;
    std::vector<std::vector<Pending>> spare_;  // registered chunks, for reuse
    bool done_ = false;
    FailureLog failures_;
    std::vector<RefMap::Adding> targets_batch_;  // the thread's
    std::vector<RefMap::Adding> referencers_batch_;
    std::thread worker_;
};

namespace {

// Moves `size` bytes from `from` down to `to` (to < from, the ranges may
// overlap): short runs, nearly every value, by loads that all come before
// the stores, the rest by memmove.
void move_down(char* to, const char* from, size_t size) noexcept {
    if (size > 16) {
        std::memmove(to, from, size);
    } else if (size >= 8) {
        uint64_t head, tail;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + size - 8, 8);
        std::memcpy(to, &head, 8);
        std::memcpy(to + size - 8, &tail, 8);
    } else if (size >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, from, 4);
        std::memcpy(&tail, from + size - 4, 4);
        std::memcpy(to, &head, 4);
        std::memcpy(to + size - 4, &tail, 4);
    } else {
        const char a = from[0], b = from[size / 2], c = from[size - 1];
        to[0] = a;
        to[size / 2] = b;
        to[size - 1] = c;
    }
}

}  // namespace

// Builds slots straight from the token stream. Each value is moved down to
// the end of the values before it; the tokenizer only ever reads ahead of
// that point, so the text it has still to read is never touched.
class Document::Loader {
public:
    Loader(Document& doc, char* text, bool keep_layout, GraphFeed* feed)
        : doc_(doc), text_(text), keep_layout_(keep_layout), feed_(feed) {}

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
        if (!value.empty() && value.data() != target) move_down(target, value.data(), value.size());
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
        const ValuesView values(text_ + object_text_begin_, doc_.ends_.data() + object_ends_begin_, count_);
        if (!feed_) {
            doc_.register_all(*cls_, values, slot);
            return;
        }
        // The fields before the repeating group that register, looked up
        // once per class; a group with such a field is walked value by value.
        const Plan& plan = plan_of(class_idx_);
        for (const uint32_t i : plan.fields) {
            if (i >= count_) break;
            const std::string_view value = values[i];
            if (!value.empty()) feed_->add(cls_->fields[i], value, FieldLoc{slot, static_cast<int32_t>(i)});
        }
        if (plan.group_registers && count_ > plan.group_begin) {
            const size_t count = std::min<size_t>(count_, static_cast<size_t>(INT32_MAX) + 1);
            for (size_t i = plan.group_begin; i < count; ++i) {
                const std::string_view value = values[i];
                if (value.empty()) continue;
                const FieldDef* field = get_field_def(cls_, i);
                if (field && registers(*field)) feed_->add(*field, value, FieldLoc{slot, static_cast<int32_t>(i)});
            }
        }
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
    struct Plan {
        bool made = false;
        bool group_registers = false;
        uint32_t group_begin = UINT32_MAX;  // the first field of the repeating group
        std::vector<uint32_t> fields;       // registering fields before it, in order
    };

    const Plan& plan_of(uint32_t class_idx) {
        if (class_idx >= plans_.size()) plans_.resize(doc_.schema_->ordered_classes.size());
        Plan& plan = plans_[class_idx];
        if (plan.made) return plan;
        const ClassDef& cls = doc_.schema_->ordered_classes[class_idx];
        const ExtensibleDef& ext = cls.extensible;
        const bool grouped = ext.is_extensible && ext.begin_index >= 0 && ext.size > 0;
        const size_t begin = grouped ? static_cast<size_t>(ext.begin_index) : cls.fields.size();
        for (size_t i = 0; i < std::min(begin, cls.fields.size()); ++i)
            if (registers(cls.fields[i])) plan.fields.push_back(static_cast<uint32_t>(i));
        for (size_t i = begin; i < cls.fields.size(); ++i) plan.group_registers |= registers(cls.fields[i]);
        plan.group_begin = static_cast<uint32_t>(std::min<size_t>(begin, UINT32_MAX));
        plan.made = true;
        return plan;
    }

    Document& doc_;
    char* text_;
    bool keep_layout_;
    GraphFeed* feed_;
    std::vector<Plan> plans_;  // by class index, for loads that feed a graph thread
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
        // Room for a value per 8 bytes and an object per 100, more than
        // compact documents hold, so that the arrays seldom grow during the
        // load: room never written takes no memory, and finish_load gives
        // the rest back. Where the system will not promise that much, the
        // usual density (a value per 24 bytes, an object per 600) and growth.
        try {
            ends_.reserve(size / 8 + 16);
            slots_.reserve(size / 100 + 16);
            lines_.reserve(size / 100 + 16);
        } catch (const std::bad_alloc&) {
            ends_.shrink_to_fit();
            slots_.shrink_to_fit();
            lines_.shrink_to_fit();
            ends_.reserve(size / 24 + 16);
            slots_.reserve(size / 600 + 16);
            lines_.reserve(size / 600 + 16);
        }
        if (keep_layout) {
            source_ = std::make_unique<SourceText>();
            source_->text.assign(base, size);
            source_->begins.reserve(size / 600 + 16);
        }
    } catch (const std::bad_alloc&) {
        error.kind = DocumentErrorKind::out_of_memory;
        return false;
    }
    Tokenizer tokens;
    tokens.init(std::string_view(base, size), false, known_valid);
    const LoadThread counted(size >= kGraphThreadFrom);
    const std::unique_ptr<GraphFeed> feed = GraphFeed::start(*this, base, size);
    Loader loader(*this, base, keep_layout, feed.get());
    const bool loaded = parse_tokens(tokens, loader, error);
    if (feed) feed->finish();
    written_ = loader.written();
    return loaded;
}

std::optional<std::string_view> scan_version(std::string_view text) noexcept {
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // a UTF-8 byte-order mark
    Tokenizer tokens;
    // Only ASCII matters here, so the bytes are not checked: the text may be
    // in any encoding that keeps ASCII as it is.
    tokens.init(text, false, true);
    std::string_view last_text;
    bool object_started = false;
    bool in_version = false;
    for (;;) {
        const TokenView tok = tokens.next();
        switch (tok.type) {
            case TOKEN_TEXT:
                if (!last_text.empty()) return std::nullopt;  // a missing delimiter: the loader says where
                last_text = tok.value;
                break;
            case TOKEN_COMMA:
            case TOKEN_SEMICOLON:
                if (in_version) return last_text;
                if (!object_started) in_version = equal_fold(last_text, "Version");
                if (tok.type == TOKEN_SEMICOLON) {
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
    targets_.shrink_to_fit();
    referencers_.shrink_to_fit();
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

}  // namespace tarvix
