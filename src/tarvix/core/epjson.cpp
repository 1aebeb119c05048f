#include "core/epjson.h"

#include <cmath>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

#include "core/number.h"
#include "core/refgraph.h"
#include "core/text.h"
#include "yyjson.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarvix::epjson {

namespace {

using idd::ClassDef;
using idf::ObjectView;
using idf::SlotSource;
using idf::SlotState;
using idf::ValuesView;

std::string_view str_of(yyjson_val* val) noexcept {
    return yyjson_is_str(val) ? std::string_view(yyjson_get_str(val), yyjson_get_len(val)) : std::string_view();
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Lists longer than this get a map of their upper-cased words.
constexpr uint32_t kScannedWords = 16;

// A byte-order mark, which some editors put before JSON text.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view without_mark(std::string_view text) noexcept {
    return text.starts_with(kByteOrderMark) ? text.substr(kByteOrderMark.size()) : text;
}

yyjson_val* member(yyjson_val* obj, std::string_view key) noexcept {
    return yyjson_obj_getn(obj, key.data(), key.size());
}

// The members of one JSON object, found by key. yyjson finds a member by
// scanning the object, so looking up every field of a class of many fields
// that way would cost the square of its size: a large object is hashed once.
class Members {
public:
    explicit Members(yyjson_val* obj) : obj_(obj) {
        if (yyjson_obj_size(obj) <= kScannedWords) return;
        map_.reserve(yyjson_obj_size(obj));
        size_t idx, max;
        yyjson_val *key, *val;
        yyjson_obj_foreach(obj, idx, max, key, val) map_.emplace(str_of(key), val);  // the first of a repeated key
    }
    yyjson_val* get(std::string_view key) const noexcept {
        if (map_.empty()) return member(obj_, key);
        const auto found = map_.find(key);
        return found == map_.end() ? nullptr : found->second;
    }

private:
    yyjson_val* obj_;
    StringMap<yyjson_val*, std::string_view> map_;
};

// The allocator of the writer. Large blocks (the value pool of a big
// document, the text) are mapped on their own and, on Linux, marked for
// huge pages: filling tens of megabytes page by page costs more than
// writing them.
struct BlockHeader {
    size_t size;      // bytes after the header
    size_t mapped;    // 1: mapped, 0: from malloc
};
constexpr size_t kHeader = sizeof(BlockHeader);
constexpr size_t kMapFrom = size_t{4} << 20;

void* block_malloc(void*, size_t size) noexcept {
    if (size > SIZE_MAX - kHeader - 4096) return nullptr;
    BlockHeader* block = nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (size >= kMapFrom) {
        void* mapped = mmap(nullptr, size + kHeader, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) return nullptr;
        madvise(mapped, size + kHeader, MADV_HUGEPAGE);
        block = static_cast<BlockHeader*>(mapped);
        block->mapped = 1;
    }
#endif
    if (!block) {
        block = static_cast<BlockHeader*>(std::malloc(size + kHeader));
        if (!block) return nullptr;
        block->mapped = 0;
    }
    block->size = size;
    return block + 1;
}

void block_free(void*, void* ptr) noexcept {
    if (!ptr) return;
    BlockHeader* block = static_cast<BlockHeader*>(ptr) - 1;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (block->mapped) {
        munmap(block, block->size + kHeader);
        return;
    }
#endif
    std::free(block);
}

void* block_realloc(void* ctx, void* ptr, size_t old_size, size_t size) noexcept {
    if (!ptr) return block_malloc(ctx, size);
    BlockHeader* block = static_cast<BlockHeader*>(ptr) - 1;
    if (size > SIZE_MAX - kHeader - 4096) return nullptr;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (block->mapped && size >= kMapFrom) {
        void* moved = mremap(block, block->size + kHeader, size + kHeader, MREMAP_MAYMOVE);
        if (moved == MAP_FAILED) return nullptr;
        madvise(moved, size + kHeader, MADV_HUGEPAGE);
        block = static_cast<BlockHeader*>(moved);
        block->size = size;
        return block + 1;
    }
    if (!block->mapped && size < kMapFrom) {
#else
    {
#endif
        BlockHeader* grown = static_cast<BlockHeader*>(std::realloc(block, size + kHeader));
        if (!grown) return nullptr;
        grown->size = size;
        return grown + 1;
    }
    void* fresh = block_malloc(ctx, size);
    if (!fresh) return nullptr;
    std::memcpy(fresh, ptr, std::min(old_size, size));
    block_free(ctx, ptr);
    return fresh;
}

constexpr yyjson_alc kBlockAllocator = {block_malloc, block_realloc, block_free, nullptr};

struct YyDocFree {
    void operator()(yyjson_mut_doc* doc) const noexcept { yyjson_mut_doc_free(doc); }
    void operator()(yyjson_doc* doc) const noexcept { yyjson_doc_free(doc); }
};
using MutDoc = std::unique_ptr<yyjson_mut_doc, YyDocFree>;
using ReadDoc = std::unique_ptr<yyjson_doc, YyDocFree>;

bool is_blank(std::string_view text) noexcept { return text.find_first_not_of(kWhitespace) == std::string_view::npos; }

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('\'');
    out.append(text);
    out.push_back('\'');
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// The schema

Schema::~Schema() {
    if (doc_) yyjson_doc_free(doc_);
}

bool is_decimal(std::string_view text, bool& json_ready) noexcept {
    size_t i = 0;
    const size_t n = text.size();
    bool ready = true;
    if (i < n && (text[i] == '-' || text[i] == '+')) {
        ready = text[i] == '-';
        ++i;
    }
    const size_t int_begin = i;
    while (i < n && is_digit(text[i])) ++i;
    const size_t int_digits = i - int_begin;
    if (int_digits > 1 && text[int_begin] == '0') ready = false;  // leading zeros
    size_t frac_digits = 0;
    if (i < n && text[i] == '.') {
        ++i;
        const size_t frac_begin = i;
        while (i < n && is_digit(text[i])) ++i;
        frac_digits = i - frac_begin;
        if (frac_digits == 0 || int_digits == 0) ready = false;  // "1." or ".5"
    }
    if (int_digits == 0 && frac_digits == 0) return false;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '-' || text[i] == '+')) ++i;
        const size_t exp_begin = i;
        while (i < n && is_digit(text[i])) ++i;
        if (i == exp_begin) return false;
    }
    if (i != n) return false;
    json_ready = ready;
    return true;
}

namespace {

// The field record of one property of a class's JSON schema.
void read_field(yyjson_val* prop, std::string_view key, std::vector<std::string_view>& words, FieldSpec& out) {
    out.key = key;
    out.kind = ValueKind::string;
    out.enum_begin = out.enum_end = static_cast<uint32_t>(words.size());
    if (!yyjson_is_obj(prop)) return;
    auto add_words = [&](yyjson_val* list) {
        if (!yyjson_is_arr(list)) return;
        size_t idx, max;
        yyjson_val* word;
        yyjson_arr_foreach(list, idx, max, word) {
            if (yyjson_is_str(word)) words.push_back(str_of(word));
        }
    };
    auto numeric = [](std::string_view type) { return type == "number" || type == "integer"; };
    if (yyjson_val* any_of = yyjson_obj_get(prop, "anyOf"); yyjson_is_arr(any_of)) {
        bool number = false, free_string = false;
        size_t idx, max;
        yyjson_val* alt;
        yyjson_arr_foreach(any_of, idx, max, alt) {
            const std::string_view type = str_of(yyjson_obj_get(alt, "type"));
            if (numeric(type)) {
                number = true;
            } else if (type == "string") {
                yyjson_val* list = yyjson_obj_get(alt, "enum");
                if (list) add_words(list);
                else free_string = true;
            }
        }
        out.kind = !number ? ValueKind::string : free_string ? ValueKind::number_or_string : ValueKind::number;
    } else {
        if (numeric(str_of(yyjson_obj_get(prop, "type")))) out.kind = ValueKind::number;
        add_words(yyjson_obj_get(prop, "enum"));
    }
    out.enum_end = static_cast<uint32_t>(words.size());
    if (out.kind == ValueKind::number) {
        for (uint32_t i = out.enum_begin; i < out.enum_end && out.auto_word.empty(); ++i)
            if (equal_fold(words[i], "Autosize") || equal_fold(words[i], "Autocalculate")) out.auto_word = words[i];
    }
}

}  // namespace

bool Schema::load(std::string_view text, std::string& error) {
    yyjson_read_err err;
    text = without_mark(text);
    doc_ = yyjson_read_opts(const_cast<char*>(text.data()), text.size(), 0, nullptr, &err);
    if (!doc_) {
        if (err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) throw std::bad_alloc();
        error = "epJSON schema is not JSON (byte " + std::to_string(err.pos) + "): " + err.msg;
        return false;
    }
    yyjson_val* properties = yyjson_obj_get(yyjson_doc_get_root(doc_), "properties");
    if (!yyjson_is_obj(properties)) {
        error = "epJSON schema has no \"properties\" object of classes";
        return false;
    }
    const size_t class_total = yyjson_obj_size(properties);
    classes_.reserve(class_total);
    class_by_name_.reserve(class_total);
    size_t idx, max;
    yyjson_val *class_key, *class_val;
    yyjson_obj_foreach(properties, idx, max, class_key, class_val) {
        yyjson_val* legacy = yyjson_obj_get(class_val, "legacy_idd");
        yyjson_val* legacy_fields = yyjson_obj_get(legacy, "fields");
        if (!yyjson_is_arr(legacy_fields)) {
            error = "epJSON schema class " + quoted(str_of(class_key)) + " has no \"legacy_idd\" field list";
            return false;
        }
        ClassSpec cls;
        cls.name = str_of(class_key);
        cls.name_required = yyjson_is_true(yyjson_obj_get(yyjson_obj_get(class_val, "name"), "is_required"));
        // The properties of an object: the one pattern's "properties".
        yyjson_val* props = nullptr;
        if (yyjson_val* patterns = yyjson_obj_get(class_val, "patternProperties"); yyjson_obj_size(patterns) > 0) {
            yyjson_obj_iter iter = yyjson_obj_iter_with(patterns);
            props = yyjson_obj_get(yyjson_obj_iter_get_val(yyjson_obj_iter_next(&iter)), "properties");
        }
        const Members prop_of(props);
        cls.fields_begin = static_cast<uint32_t>(fields_.size());
        StringMap<uint32_t, std::string_view>& fixed_keys = fixed_keys_.emplace_back();
        StringMap<uint32_t, std::string_view>& group_keys = group_keys_.emplace_back();
        size_t fidx, fmax;
        yyjson_val* field_key;
        yyjson_arr_foreach(legacy_fields, fidx, fmax, field_key) {
            const std::string_view key = str_of(field_key);
            if (fidx == 0 && key == "name") cls.named = true;
            FieldSpec spec;
            read_field(key == "name" ? yyjson_obj_get(class_val, "name") : prop_of.get(key), key, words_, spec);
            index_words(spec);
            if (!(fidx == 0 && cls.named)) fixed_keys.emplace(key, static_cast<uint32_t>(fidx));
            fields_.push_back(spec);
        }
        cls.fields_end = static_cast<uint32_t>(fields_.size());
        cls.group_begin = cls.group_end = cls.fields_end;
        const std::string_view extension = str_of(yyjson_obj_get(legacy, "extension"));
        yyjson_val* extensibles = yyjson_obj_get(legacy, "extensibles");
        if (!extension.empty() && yyjson_arr_size(extensibles) > 0) {
            cls.group_key = extension;
            yyjson_val* items = yyjson_obj_get(yyjson_obj_get(prop_of.get(extension), "items"), "properties");
            const Members item_of(items);
            yyjson_arr_foreach(extensibles, fidx, fmax, field_key) {
                const std::string_view key = str_of(field_key);
                FieldSpec spec;
                read_field(item_of.get(key), key, words_, spec);
                index_words(spec);
                group_keys.emplace(key, static_cast<uint32_t>(fidx));
                fields_.push_back(spec);
            }
            cls.group_end = static_cast<uint32_t>(fields_.size());
        }
        class_by_name_.emplace(cls.name, static_cast<uint32_t>(classes_.size()));
        classes_.push_back(cls);
    }
    return true;
}

std::string_view Schema::word_for(const FieldSpec& field, std::string_view text) const noexcept {
    if (field.word_map != UINT32_MAX) {
        try {
            const idf::UpperKey key(text);
            const auto& words = word_maps_[field.word_map];
            const auto found = words.find(key.view());
            return found == words.end() ? std::string_view() : found->second;
        } catch (const std::bad_alloc&) {
            // Too long to fold on the stack and no memory: scan instead.
        }
    }
    for (uint32_t i = field.enum_begin; i < field.enum_end; ++i)
        if (!words_[i].empty() && equal_fold(words_[i], text)) return words_[i];
    return {};
}

void Schema::index_words(FieldSpec& field) {
    if (field.enum_end - field.enum_begin <= kScannedWords) return;
    StringMap<std::string_view> words;
    words.reserve(field.enum_end - field.enum_begin);
    for (uint32_t i = field.enum_begin; i < field.enum_end; ++i)
        if (!words_[i].empty()) words.emplace(to_upper(std::string(words_[i])), words_[i]);  // the first spelling wins
    field.word_map = static_cast<uint32_t>(word_maps_.size());
    word_maps_.push_back(std::move(words));
}

const ClassSpec* Schema::find(std::string_view class_name) const noexcept {
    const auto found = class_by_name_.find(class_name);
    return found == class_by_name_.end() ? nullptr : &classes_[found->second];
}

size_t Schema::field_index(const ClassSpec& cls, std::string_view key) const noexcept {
    const auto& keys = fixed_keys_[static_cast<size_t>(&cls - classes_.data())];
    const auto found = keys.find(key);
    return found == keys.end() ? SIZE_MAX : found->second;
}

size_t Schema::group_field_index(const ClassSpec& cls, std::string_view key) const noexcept {
    const auto& keys = group_keys_[static_cast<size_t>(&cls - classes_.data())];
    const auto found = keys.find(key);
    return found == keys.end() ? SIZE_MAX : found->second;
}

// ---------------------------------------------------------------------------
// Writing

namespace {

class Writer {
public:
    Writer(const idd::c_IDD& idd, const Schema& schema, Error& error) : idd_(idd), schema_(schema), error_(error) {}

    bool run(const SlotSource& slots, bool compact, JsonText& out);

private:
    enum Outcome { ok, refused, no_memory };

    bool fail(std::string message) {
        error_.kind = Error::invalid;
        error_.message = std::move(message);
        return false;
    }
    std::string object_label(const ClassDef& cls, std::string_view key) const {
        return std::string(cls.name) + " " + quoted(key);
    }
    // The class position of a slot's object in the data dictionary, or -1.
    int64_t class_position(const ObjectView& view) const;
    // The JSON value of one non-empty field text; null with `outcome` set
    // otherwise.
    yyjson_mut_val* value(const FieldSpec& field, std::string_view text, Outcome& outcome);
    bool add_field(yyjson_mut_val* obj, const FieldSpec& field, std::string_view text, const ClassDef& cls,
                   std::string_view key, size_t field_idx);
    bool write_object(yyjson_mut_val* class_obj, const ClassDef& cls, const ClassSpec& spec, ValuesView values,
                      std::string_view key);

    const idd::c_IDD& idd_;
    const Schema& schema_;
    Error& error_;
    yyjson_mut_doc* doc_ = nullptr;
    std::string scratch_;
};

int64_t Writer::class_position(const ObjectView& view) const {
    const auto& classes = idd_.ordered_classes;
    if (view.cls && !classes.empty() && view.cls >= classes.data() && view.cls < classes.data() + classes.size())
        return view.cls - classes.data();
    const std::string key = to_upper(std::string(view.class_name));
    const auto found = idd_.class_map.find(key);
    if (found == idd_.class_map.end() || found->second >= classes.size()) return -1;
    return static_cast<int64_t>(found->second);
}

yyjson_mut_val* Writer::value(const FieldSpec& field, std::string_view text, Outcome& outcome) {
    outcome = ok;
    if (field.kind == ValueKind::string) {
        const std::string_view word = schema_.word_for(field, text);
        yyjson_mut_val* val = word.empty() ? yyjson_mut_strn(doc_, text.data(), text.size())
                                           : yyjson_mut_strn(doc_, word.data(), word.size());
        if (!val) outcome = no_memory;
        return val;
    }
    bool json_ready = false;
    if (is_decimal(text, json_ready)) {
        // A number as JSON writes it is copied as written; any other form is
        // read and written back in the shortest form that reads the same.
        const bool plain = json_ready && text.size() < 300 && text.find_first_of("eE") == std::string_view::npos;
        double number = 0;
        if (!plain) {
            const std::optional<double> read = idf::read_real(text);
            if (!read || !std::isfinite(*read)) {
                outcome = refused;
                return nullptr;
            }
            number = *read;
        }
        yyjson_mut_val* val = json_ready ? yyjson_mut_rawn(doc_, text.data(), text.size()) : yyjson_mut_real(doc_, number);
        if (!val) outcome = no_memory;
        return val;
    }
    std::string_view word = schema_.word_for(field, text);
    if (word.empty() && !field.auto_word.empty() && (equal_fold(text, "Autosize") || equal_fold(text, "Autocalculate")))
        word = field.auto_word;
    if (word.empty() && field.kind == ValueKind::number_or_string) word = text;
    if (word.empty()) {
        outcome = refused;
        return nullptr;
    }
    yyjson_mut_val* val = yyjson_mut_strn(doc_, word.data(), word.size());
    if (!val) outcome = no_memory;
    return val;
}

bool Writer::add_field(yyjson_mut_val* obj, const FieldSpec& field, std::string_view text, const ClassDef& cls,
                       std::string_view key, size_t field_idx) {
    Outcome outcome;
    yyjson_mut_val* val = value(field, text, outcome);
    if (outcome == refused) {
        const std::string_view field_name =
            field_idx < cls.fields.size() ? std::string_view(cls.fields[field_idx].name) : field.key;
        bool json_ready;
        const char* why = is_decimal(text, json_ready) ? ", which is out of range for a JSON number"
                                                         : ", which is not a number";
        return fail("Cannot write " + object_label(cls, key) + " as epJSON: field " + quoted(field_name) +
                    " holds " + quoted(text) + why);
    }
    yyjson_mut_val* name = val ? yyjson_mut_strn(doc_, field.key.data(), field.key.size()) : nullptr;
    if (!name || !yyjson_mut_obj_add(obj, name, val)) throw std::bad_alloc();
    return true;
}

bool Writer::write_object(yyjson_mut_val* class_obj, const ClassDef& cls, const ClassSpec& spec, ValuesView values,
                          std::string_view key) {
    yyjson_mut_val* obj = yyjson_mut_obj(doc_);
    if (!obj) throw std::bad_alloc();
    const size_t fixed = spec.fixed_count();
    const size_t count = values.size();
    for (size_t i = spec.named ? 1 : 0; i < fixed && i < count; ++i) {
        const std::string_view text = values[i];
        if (!text.empty() && !add_field(obj, schema_.field(spec.fields_begin + static_cast<uint32_t>(i)), text, cls,
                                        key, i))
            return false;
    }
    if (count > fixed) {
        const size_t group = spec.group_size();
        if (group == 0) {
            const size_t used = values.used();
            if (used > fixed)
                return fail("Cannot write " + object_label(cls, key) + " as epJSON: it has " + std::to_string(used) +
                            " fields and the epJSON schema knows " + std::to_string(fixed));
        } else {
            yyjson_mut_val* items = yyjson_mut_arr(doc_);
            if (!items) throw std::bad_alloc();
            for (size_t start = fixed; start < count; start += group) {
                yyjson_mut_val* item = yyjson_mut_obj(doc_);
                if (!item || !yyjson_mut_arr_append(items, item)) throw std::bad_alloc();
                for (size_t j = 0; j < group && start + j < count; ++j) {
                    const std::string_view text = values[start + j];
                    if (!text.empty() && !add_field(item, schema_.field(spec.group_begin + static_cast<uint32_t>(j)),
                                                    text, cls, key, start + j))
                        return false;
                }
            }
            yyjson_mut_val* name = yyjson_mut_strn(doc_, spec.group_key.data(), spec.group_key.size());
            if (!name || !yyjson_mut_obj_add(obj, name, items)) throw std::bad_alloc();
        }
    }
    // A name is a view of the document's values; a made-up key is copied.
    // An empty name may have no text at all, which yyjson takes for none.
    if (key.empty()) key = std::string_view("", 0);
    yyjson_mut_val* name = spec.named ? yyjson_mut_strn(doc_, key.data(), key.size())
                                      : yyjson_mut_strncpy(doc_, key.data(), key.size());
    if (!name || !yyjson_mut_obj_add(class_obj, name, obj)) throw std::bad_alloc();
    return true;
}

bool Writer::run(const SlotSource& slots, bool compact, JsonText& out) {
    const size_t slot_count = slots.slot_count();
    const size_t class_count = idd_.ordered_classes.size();
    // The slots grouped by class (schema order), each class in slot order.
    std::vector<uint32_t> class_of(slot_count, UINT32_MAX);
    std::vector<size_t> starts(class_count + 1, 0);
    for (size_t slot = 0; slot < slot_count; ++slot) {
        ObjectView view;
        const SlotState state = slots.view(slot, view);
        if (state == SlotState::empty) continue;
        if (state == SlotState::foreign) {
            error_.kind = Error::foreign_slot;
            error_.slot = slot;
            return false;
        }
        const int64_t pos = class_position(view);
        if (pos < 0) {
            const std::string where = " at index " + std::to_string(slot);
            return fail(view.class_name.empty()
                            ? "Cannot write the object" + where + " as epJSON: it has no class"
                            : "Cannot write the " + std::string(view.class_name) + where +
                                  " as epJSON: the data dictionary has no such class");
        }
        class_of[slot] = static_cast<uint32_t>(pos);
        ++starts[static_cast<size_t>(pos) + 1];
    }
    for (size_t i = 0; i < class_count; ++i) starts[i + 1] += starts[i];
    std::vector<size_t> order(starts[class_count]);
    {
        std::vector<size_t> next(starts.begin(), starts.end() - 1);
        for (size_t slot = 0; slot < slot_count; ++slot)
            if (class_of[slot] != UINT32_MAX) order[next[class_of[slot]]++] = slot;
    }

    const MutDoc doc(yyjson_mut_doc_new(&kBlockAllocator));
    if (!doc) throw std::bad_alloc();
    doc_ = doc.get();
    {
        // One pool for the values: a key and a value per field, most fields
        // filled.
        size_t fields = 0;
        for (const size_t slot : order) {
            ObjectView view;
            slots.view(slot, view);
            fields += view.values.size();
        }
        yyjson_mut_doc_set_val_pool_size(doc_, 2 * fields + 4 * order.size() + 2 * class_count + 16);
    }
    yyjson_mut_val* root = yyjson_mut_obj(doc_);
    if (!root) throw std::bad_alloc();
    yyjson_mut_doc_set_root(doc_, root);
    StringMap<char, std::string_view> names;
    for (size_t c = 0; c < class_count; ++c) {
        if (starts[c] == starts[c + 1]) continue;
        const ClassDef& cls = idd_.ordered_classes[c];
        const ClassSpec* spec = schema_.find(cls.name);
        if (!spec) {
            return fail("Cannot write " + std::string(cls.name) + " as epJSON: the epJSON schema has no such class");
        }
        yyjson_mut_val* class_obj = yyjson_mut_obj(doc_);
        yyjson_mut_val* class_key = yyjson_mut_strn(doc_, spec->name.data(), spec->name.size());
        if (!class_obj || !class_key || !yyjson_mut_obj_add(root, class_key, class_obj)) throw std::bad_alloc();
        names.clear();
        for (size_t k = starts[c]; k < starts[c + 1]; ++k) {
            ObjectView view;
            slots.view(order[k], view);
            std::string_view key;
            if (spec->named) {
                key = view.values.at_or_empty(0);
                if (spec->name_required && is_blank(key))
                    return fail("Cannot write " + object_label(cls, key) +
                                " as epJSON: it has no name, and the epJSON schema requires one");
                if (!names.emplace(key, 0).second)
                    return fail("Cannot write " + object_label(cls, key) + " as epJSON: another " +
                                std::string(cls.name) + " has the same name");
            } else {
                scratch_.assign(cls.name).append(" ").append(std::to_string(k - starts[c] + 1));
                key = scratch_;
            }
            if (!write_object(class_obj, cls, *spec, view.values, key)) return false;
        }
    }
    yyjson_write_err err;
    size_t length = 0;
    const yyjson_write_flag flags = YYJSON_WRITE_NEWLINE_AT_END | (compact ? 0 : YYJSON_WRITE_PRETTY);
    char* text = yyjson_mut_write_opts(doc_, flags, &kBlockAllocator, &length, &err);
    if (!text) {
        if (err.code == YYJSON_WRITE_ERROR_MEMORY_ALLOCATION) throw std::bad_alloc();
        return fail(std::string("Cannot write the document as epJSON: ") + err.msg);
    }
    out.data.reset(text);
    out.size = length;
    return true;
}

}  // namespace

void JsonText::Free::operator()(char* text) const noexcept { block_free(nullptr, text); }

bool write_epjson(const SlotSource& slots, const idd::c_IDD& idd, const Schema& schema, bool compact, JsonText& out,
                  Error& error) noexcept {
    try {
        Writer writer(idd, schema, error);
        return writer.run(slots, compact, out);
    } catch (const std::exception&) {
        error.kind = Error::out_of_memory;
        error.message.clear();
        return false;
    }
}

// ---------------------------------------------------------------------------
// Reading

namespace {

// Bytes a value may not hold: they would split it or cut it short when the
// document text is read.
constexpr std::string_view kNotInValue{",;!\n\r\0", 6};

const char* json_type_name(yyjson_val* val) noexcept {
    switch (yyjson_get_type(val)) {
        case YYJSON_TYPE_NULL: return "null";
        case YYJSON_TYPE_BOOL: return "a boolean";
        case YYJSON_TYPE_ARR: return "an array";
        case YYJSON_TYPE_OBJ: return "an object";
        default: return "a value";
    }
}

// A number JSON can hold that a double cannot: what the engine refuses as
// an overflow. Up to 300 characters without an exponent are always in range.
bool overflows(std::string_view number) noexcept {
    if (number.size() <= 300 && number.find_first_of("eE") == std::string_view::npos) return false;
    const std::optional<double> value = idf::read_real(number);
    return !value || !std::isfinite(*value);
}

// At most this much of a value is quoted in a message.
constexpr size_t kQuoted = 40;

std::string quoted_start(std::string_view text) {
    return text.size() <= kQuoted ? quoted(text) : quoted(text.substr(0, kQuoted)) + "...";
}

// The fields of one object, or of one item of its group, as the JSON gives
// them in any order. Only the positions set are cleared again, so an object
// costs what its JSON holds, not the number of fields its class has.
class FieldTexts {
public:
    // False when the position is set already.
    bool set(size_t pos, std::string_view text) {
        if (pos >= texts_.size()) texts_.resize(pos + 1);
        if (texts_[pos].data()) return false;
        texts_[pos] = text.data() ? text : std::string_view("", 0);
        set_.push_back(static_cast<uint32_t>(pos));
        if (!text.empty()) used_ = std::max(used_, pos + 1);
        return true;
    }
    bool empty() const noexcept { return set_.empty(); }
    // The count of fields up to the last non-empty one.
    size_t used() const noexcept { return used_; }
    // Appends ",text" for each of the first `count` positions.
    void append(std::string& out, size_t count) const {
        const size_t listed = std::min(count, used_);
        for (size_t i = 0; i < listed; ++i) out.append(",").append(texts_[i]);
        out.append(count - listed, ',');
    }
    void clear() noexcept {
        for (const uint32_t pos : set_) texts_[pos] = std::string_view();
        set_.clear();
        used_ = 0;
    }

private:
    std::vector<std::string_view> texts_;
    std::vector<uint32_t> set_;
    size_t used_ = 0;
};

class Reader {
public:
    Reader(const idd::c_IDD& idd, const Schema& schema, Error& error) : idd_(idd), schema_(schema), error_(error) {}
    bool run(std::string_view json, std::string& out);

private:
    bool fail(std::string message) {
        error_.kind = Error::invalid;
        error_.message = std::move(message);
        return false;
    }
    std::string label(std::string_view class_name, std::string_view key) const {
        return "epJSON " + std::string(class_name) + " " + quoted(key);
    }
    // The text of a scalar value, or false with the error set.
    bool text_of(yyjson_val* val, std::string_view class_name, std::string_view key, std::string_view field,
                 std::string_view& out);
    // One item of an object's group into item_.
    bool read_item(yyjson_val* item, const ClassSpec& spec, std::string_view key);
    bool read_object(std::string_view idd_name, const ClassSpec& spec, std::string_view key, yyjson_val* obj,
                     std::string& out);

    const idd::c_IDD& idd_;
    const Schema& schema_;
    Error& error_;
    FieldTexts fixed_;
    FieldTexts item_;
    // Object key -> the position of the class object that last gave it.
    StringMap<size_t, std::string_view> keys_;
};

bool Reader::text_of(yyjson_val* val, std::string_view class_name, std::string_view key, std::string_view field,
                     std::string_view& out) {
    if (yyjson_is_str(val)) {
        out = str_of(val);
        if (out.find_first_of(kNotInValue) == std::string_view::npos) return true;
        return fail(label(class_name, key) + ", field " + quoted(field) +
                    ": a value cannot contain ',', ';', '!', a line break or a null character: " + quoted(out));
    }
    if (yyjson_is_raw(val)) {  // a number, as written
        out = std::string_view(yyjson_get_raw(val), yyjson_get_len(val));
        if (!overflows(out)) return true;
        return fail(label(class_name, key) + ", field " + quoted(field) + ": number overflow: " + quoted_start(out) +
                    " is beyond the range of a double");
    }
    return fail(label(class_name, key) + ", field " + quoted(field) + ": expected a string or a number, got " +
                json_type_name(val));
}

bool Reader::read_item(yyjson_val* item, const ClassSpec& spec, std::string_view key) {
    item_.clear();
    size_t idx, max;
    yyjson_val *field_key, *field_val;
    yyjson_obj_foreach(item, idx, max, field_key, field_val) {
        const std::string_view name = str_of(field_key);
        const size_t pos = schema_.group_field_index(spec, name);
        if (pos == SIZE_MAX)
            return fail(label(spec.name, key) + " has an unknown field in " + quoted(spec.group_key) + ": " +
                        quoted(name));
        std::string_view text;
        if (!text_of(field_val, spec.name, key, name, text)) return false;
        if (!item_.set(pos, text))
            return fail(label(spec.name, key) + " gives the field " + quoted(name) + " twice in an item of " +
                        quoted(spec.group_key));
    }
    return true;
}

bool Reader::read_object(std::string_view idd_name, const ClassSpec& spec, std::string_view key, yyjson_val* obj,
                         std::string& out) {
    if (!yyjson_is_obj(obj))
        return fail(label(spec.name, key) + " must be a JSON object of fields, not " + json_type_name(obj));
    const size_t fixed = spec.fixed_count();
    const size_t group = spec.group_size();
    fixed_.clear();
    if (spec.named) {
        if (key.find_first_of(kNotInValue) != std::string_view::npos)
            return fail(label(spec.name, key) + ": a name cannot contain ',', ';', '!', a line break or a null "
                                                "character");
        if (spec.name_required && is_blank(key))
            return fail(label(spec.name, key) + ": the name cannot be blank, the epJSON schema requires one");
        if (fixed > 0) fixed_.set(0, key);
    }
    // The group's array, wherever it stands among the fields.
    yyjson_val* items = nullptr;
    size_t idx, max;
    yyjson_val *field_key, *field_val;
    yyjson_obj_foreach(obj, idx, max, field_key, field_val) {
        const std::string_view name = str_of(field_key);
        if (group == 0 || name != spec.group_key) continue;
        if (items) return fail(label(spec.name, key) + " gives the field " + quoted(name) + " twice");
        if (!yyjson_is_arr(field_val))
            return fail(label(spec.name, key) + ", field " + quoted(name) + ": expected an array of objects, got " +
                        json_type_name(field_val));
        items = field_val;
    }
    // The fixed fields, the group's key skipped.
    yyjson_obj_foreach(obj, idx, max, field_key, field_val) {
        const std::string_view name = str_of(field_key);
        if (items && name == spec.group_key) continue;
        const size_t pos = schema_.field_index(spec, name);
        if (pos == SIZE_MAX) return fail(label(spec.name, key) + " has an unknown field: " + quoted(name));
        std::string_view text;
        if (!text_of(field_val, spec.name, key, name, text)) return false;
        if (!fixed_.set(pos, text)) return fail(label(spec.name, key) + " gives the field " + quoted(name) + " twice");
    }
    // Empty fields at the end are dropped, except those of the groups the
    // JSON lists ({} stands for a group written empty).
    const bool grouped = yyjson_arr_size(items) > 0;
    out.append(idd_name);
    fixed_.append(out, grouped ? fixed : fixed_.used());
    if (grouped) {
        size_t item_idx, item_max;
        yyjson_val* item;
        yyjson_arr_foreach(items, item_idx, item_max, item) {
            if (!yyjson_is_obj(item))
                return fail(label(spec.name, key) + ", field " + quoted(spec.group_key) +
                            ": expected an array of objects, got " + json_type_name(item) + " in it");
            if (!read_item(item, spec, key)) return false;
            item_.append(out, group);
        }
    }
    out.append(";\n");
    return true;
}

bool Reader::run(std::string_view json, std::string& out) {
    json = without_mark(json);
    yyjson_read_err err;
    const ReadDoc doc(
        yyjson_read_opts(const_cast<char*>(json.data()), json.size(), YYJSON_READ_NUMBER_AS_RAW, nullptr, &err));
    if (!doc) {
        if (err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) throw std::bad_alloc();
        return fail("epJSON is not valid JSON (byte " + std::to_string(err.pos) + "): " + err.msg);
    }
    yyjson_val* root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_obj(root)) return fail("epJSON must be a JSON object of classes");
    out.reserve(out.size() + json.size() / 2);
    // JSON keeps a key given twice; either would be lost here.
    StringMap<char, std::string_view> classes;
    classes.reserve(yyjson_obj_size(root));
    size_t idx, max;
    yyjson_val *class_key, *class_val;
    yyjson_obj_foreach(root, idx, max, class_key, class_val) {
        const std::string_view class_name = str_of(class_key);
        const ClassSpec* spec = schema_.find(class_name);
        const auto found = spec ? idd_.class_map.find(to_upper(std::string(class_name))) : idd_.class_map.end();
        if (!spec || found == idd_.class_map.end() || found->second >= idd_.ordered_classes.size())
            return fail("epJSON names an unknown class: " + quoted(class_name));
        if (!classes.emplace(class_name, 0).second) return fail("epJSON gives the class " + quoted(class_name) + " twice");
        const std::string_view idd_name = idd_.ordered_classes[found->second].name;
        if (!yyjson_is_obj(class_val))
            return fail("epJSON class " + quoted(class_name) + " must be a JSON object of objects, not " +
                        json_type_name(class_val));
        size_t oidx, omax;
        yyjson_val *object_key, *object_val;
        yyjson_obj_foreach(class_val, oidx, omax, object_key, object_val) {
            const std::string_view key = str_of(object_key);
            const auto [entry, added] = keys_.emplace(key, idx);
            if (!added) {
                if (entry->second == idx) return fail("epJSON gives " + std::string(class_name) + " " + quoted(key) + " twice");
                entry->second = idx;
            }
            if (!read_object(idd_name, *spec, key, object_val, out)) return false;
        }
    }
    return true;
}

}  // namespace

bool epjson_to_text(std::string_view json, const idd::c_IDD& idd, const Schema& schema, std::string& out,
                    Error& error) noexcept {
    try {
        Reader reader(idd, schema, error);
        return reader.run(json, out);
    } catch (const std::exception&) {
        error.kind = Error::out_of_memory;
        error.message.clear();
        return false;
    }
}

}  // namespace tarvix::epjson
