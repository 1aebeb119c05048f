#include "core/formats/epjson_json.h"
#include <charconv>

namespace tarvix::epjson {

using namespace detail;

// ---------------------------------------------------------------------------
// Writing

namespace {

// The JSON text as it is written: one block from the system, grown in place
// (a mapped block moves without a copy), handed over whole at the end.
class Out {
public:
    Out() = default;
    Out(const Out&) = delete;
    Out& operator=(const Out&) = delete;
    ~Out() { os_memory::release(data_); }

    char* room(size_t n) {
        if (capacity_ - size_ < n) grow(n);
        return data_ + size_;
    }
    void advance(size_t n) noexcept { size_ += n; }
    void put(char c) {
        room(1)[0] = c;
        ++size_;
    }
    void put(std::string_view text) {
        copy(room(text.size()), text);
        size_ += text.size();
    }
    static void copy(char* to, std::string_view text) noexcept { copy_short(to, text.data(), text.size()); }
    size_t size() const noexcept { return size_; }
    char* release() noexcept {
        char* data = data_;
        data_ = nullptr;
        size_ = capacity_ = 0;
        return data;
    }

private:
    void grow(size_t n) {
        if (n > SIZE_MAX / 4 - size_) throw std::bad_alloc();
        const size_t want = std::max({capacity_ * 2, size_ + n, size_t{1} << 16});
        void* grown = os_memory::resize(data_, size_, want);
        if (!grown) throw std::bad_alloc();
        data_ = static_cast<char*>(grown);
        capacity_ = want;
    }

    char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// A double as yyjson writes one: the shortest digits that read back the
// same, in fixed notation with a decimal point ("332800.0", "0.001") while
// the point falls within 21 digits before and 6 after the first digit, else
// in exponent notation ("1e22", "1.5e-7").
void put_real(Out& out, double value) {
    char* const start = out.room(40);
    char* p = start;
    if (std::signbit(value)) {
        *p++ = '-';
        value = -value;
    }
    if (value == 0) {
        std::memcpy(p, "0.0", 3);
        out.advance(static_cast<size_t>(p + 3 - start));
        return;
    }
    char sci[40];
    const auto written = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    char digits[24];
    size_t n = 0;
    const char* q = sci;
    for (; q != written.ptr && *q != 'e'; ++q)
        if (*q != '.') digits[n++] = *q;
    int exponent = 0;
    std::from_chars(q + 1 + (q[1] == '+'), written.ptr, exponent);
    const int point = exponent + 1;  // where the decimal point falls, counted from the first digit
    if (point > -6 && point <= 21) {
        if (point > 0) {
            const size_t whole = static_cast<size_t>(point);
            for (size_t k = 0; k < whole; ++k) *p++ = k < n ? digits[k] : '0';
            *p++ = '.';
            if (n > whole) {
                std::memcpy(p, digits + whole, n - whole);
                p += n - whole;
            } else {
                *p++ = '0';
            }
        } else {
            *p++ = '0';
            *p++ = '.';
            for (int k = 0; k < -point; ++k) *p++ = '0';
            std::memcpy(p, digits, n);
            p += n;
        }
    } else {
        *p++ = digits[0];
        if (n > 1) {
            *p++ = '.';
            std::memcpy(p, digits + 1, n - 1);
            p += n - 1;
        }
        *p++ = 'e';
        const auto exp_end = std::to_chars(p, p + 8, exponent);
        p = exp_end.ptr;
    }
    out.advance(static_cast<size_t>(p - start));
}

// Whether a text holds a quote, a backslash or a control character; eight
// bytes at a time.
bool needs_escape(std::string_view text) noexcept {
    constexpr uint64_t kOnes = 0x0101010101010101ULL;
    constexpr uint64_t kHigh = 0x8080808080808080ULL;
    auto flagged = [](uint64_t w) {
        const uint64_t quote = w ^ (kOnes * '"');
        const uint64_t backslash = w ^ (kOnes * '\\');
        return (((w - kOnes * 0x20) & ~w) | ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash)) & kHigh;
    };
    const char* p = text.data();
    size_t n = text.size();
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        if (flagged(w)) return true;
    }
    if (n == 0) return false;
    uint64_t w = kOnes * 'a';  // the bytes past the text pass
    std::memcpy(&w, p, n);
    return flagged(w) != 0;
}

// A JSON string, escaped as yyjson escapes: quote, backslash and control
// characters; everything else as it is.
void put_string(Out& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    if (!needs_escape(text)) {  // the rule: nothing to escape
        char* const to = out.room(text.size() + 2);
        to[0] = '"';
        Out::copy(to + 1, text);
        to[text.size() + 1] = '"';
        out.advance(text.size() + 2);
        return;
    }
    char* const start = out.room(text.size() * 6 + 2);
    char* p = start;
    *p++ = '"';
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && c != '"' && c != '\\') {
            *p++ = c;
            continue;
        }
        *p++ = '\\';
        switch (c) {
            case '"': *p++ = '"'; break;
            case '\\': *p++ = '\\'; break;
            case '\b': *p++ = 'b'; break;
            case '\f': *p++ = 'f'; break;
            case '\n': *p++ = 'n'; break;
            case '\r': *p++ = 'r'; break;
            case '\t': *p++ = 't'; break;
            default:
                *p++ = 'u';
                *p++ = '0';
                *p++ = '0';
                *p++ = kHex[u >> 4];
                *p++ = kHex[u & 15];
        }
    }
    *p++ = '"';
    out.advance(static_cast<size_t>(p - start));
}

// The document written straight out as JSON text, laid out as yyjson lays
// out a document (four blanks a level, "key": value; nothing between the
// tokens when compact), without a tree of values in between.
class Writer {
public:
    Writer(const c_IDD& idd, const Schema& schema, Error& error) : idd_(idd), schema_(schema), error_(error) {}

    bool run(const SlotSource& slots, bool compact, JsonText& out);

private:
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
    // A line end and the indent of `level`, or nothing when compact.
    void newline(int level) {
        if (!compact_) out_.put(std::string_view(kIndents, 1 + 4 * static_cast<size_t>(level)));
    }
    // The opening of a member: a comma unless it is the first, its line and
    // its key.
    void member(bool& first, int level, std::string_view key) { member(first, level, key, !needs_escape(key)); }
    void member(bool& first, int level, std::string_view key, bool plain_key) {
        if (plain_key) {  // the rule: comma, line, key and colon in one go
            const size_t indent = compact_ ? 0 : 1 + 4 * static_cast<size_t>(level);
            char* const start = out_.room(key.size() + indent + 5);
            char* p = start;
            *p = ',';
            p += !first;
            first = false;
            Out::copy(p, std::string_view(kIndents, indent));
            p += indent;
            *p++ = '"';
            Out::copy(p, key);
            p += key.size();
            *p++ = '"';
            *p++ = ':';
            *p = ' ';
            p += !compact_;
            out_.advance(static_cast<size_t>(p - start));
            return;
        }
        if (!first) out_.put(',');
        first = false;
        newline(level);
        put_string(out_, key);
        out_.put(compact_ ? std::string_view(":") : std::string_view(": "));
    }
    // The closing of a container: its own line unless it was empty.
    void close(bool empty, int level, char bracket) {
        if (!empty) newline(level);
        out_.put(bracket);
    }
    // One non-empty field text as its JSON value; false when the field
    // cannot take it.
    bool value(const FieldSpec& field, std::string_view text);
    bool add_field(bool& first, int level, const FieldSpec& field, std::string_view text, const ClassDef& cls,
                   std::string_view key, size_t field_idx);
    bool write_object(const ClassDef& cls, const ClassSpec& spec, ValuesView values, std::string_view key);

    static constexpr char kIndents[] = "\n                        ";  // five levels

    const c_IDD& idd_;
    const Schema& schema_;
    Error& error_;
    Out out_;
    bool compact_ = false;
    bool keys_plain_ = false;  // the field keys of the class being written need no escape
    std::string scratch_;
};

int64_t Writer::class_position(const ObjectView& view) const {
    const auto& classes = idd_.ordered_classes;
    if (view.cls && !classes.empty() && view.cls >= classes.data() && view.cls < classes.data() + classes.size())
        return view.cls - classes.data();
    const std::optional<uint32_t> found = find_class_index(idd_, view.class_name);
    return found ? static_cast<int64_t>(*found) : -1;
}

bool Writer::value(const FieldSpec& field, std::string_view text) {
    if (field.kind == ValueKind::string) {
        const std::string_view word = schema_.word_for(field, text);
        put_string(out_, word.empty() ? text : word);
        return true;
    }
    bool json_ready = false;
    int magnitude = 0;
    if (decimal_form(text, json_ready, magnitude)) {
        // A number as JSON writes it is copied as written, once it is known
        // to be finite; any other form is read and written back in the
        // shortest form that reads the same.
        if (json_ready && magnitude <= 300) {
            out_.put(text);
            return true;
        }
        const std::optional<double> number = read_decimal(text);
        if (!number) return false;
        if (json_ready)
            out_.put(text);
        else
            put_real(out_, *number);
        return true;
    }
    std::string_view word = schema_.word_for(field, text);
    if (word.empty() && !field.auto_word.empty() && (equal_fold(text, "Autosize") || equal_fold(text, "Autocalculate")))
        word = field.auto_word;
    if (word.empty() && field.kind == ValueKind::number_or_string) word = text;
    if (word.empty()) return false;
    put_string(out_, word);
    return true;
}

bool Writer::add_field(bool& first, int level, const FieldSpec& field, std::string_view text, const ClassDef& cls,
                       std::string_view key, size_t field_idx) {
    member(first, level, field.key, keys_plain_);
    if (value(field, text)) return true;
    const std::string_view field_name = field_idx < cls.fields.size() ? std::string_view(cls.fields[field_idx].name)
                                                                      : field.key;
    bool json_ready;
    const char* why = is_decimal(text, json_ready) ? ", which is out of range for a JSON number"
                                                   : ", which is not a number";
    return fail("Cannot write " + object_label(cls, key) + " as epJSON: field " + quoted(field_name) + " holds " +
                quoted(text) + why);
}

bool Writer::write_object(const ClassDef& cls, const ClassSpec& spec, ValuesView values, std::string_view key) {
    out_.put('{');
    bool first = true;
    const size_t fixed = spec.fixed_count();
    const size_t count = values.size();
    for (size_t i = spec.named ? 1 : 0; i < fixed && i < count; ++i) {
        const std::string_view text = values[i];
        if (!text.empty() &&
            !add_field(first, 3, schema_.field(spec.fields_begin + static_cast<uint32_t>(i)), text, cls, key, i))
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
            member(first, 3, spec.group_key);
            out_.put('[');
            for (size_t start = fixed; start < count; start += group) {
                if (start != fixed) out_.put(',');
                newline(4);
                out_.put('{');
                bool first_in_item = true;
                for (size_t j = 0; j < group && start + j < count; ++j) {
                    const std::string_view text = values[start + j];
                    if (!text.empty() &&
                        !add_field(first_in_item, 5, schema_.field(spec.group_begin + static_cast<uint32_t>(j)), text,
                                   cls, key, start + j))
                        return false;
                }
                close(first_in_item, 4, '}');
            }
            close(false, 3, ']');
        }
    }
    close(first, 2, '}');
    return true;
}

bool Writer::run(const SlotSource& slots, bool compact, JsonText& out) {
    compact_ = compact;
    const size_t slot_count = slots.slot_count();
    const size_t class_count = idd_.ordered_classes.size();
    // The slots grouped by class (schema order), each class in slot order.
    std::vector<uint32_t> class_of(slot_count, UINT32_MAX);
    std::vector<size_t> starts(class_count + 1, 0);
    size_t value_bytes = 0;
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
            return fail(view.class_name.empty() ? "Cannot write the object" + where + " as epJSON: it has no class"
                                                : "Cannot write the " + std::string(view.class_name) + where +
                                                      " as epJSON: the data dictionary has no such class");
        }
        class_of[slot] = static_cast<uint32_t>(pos);
        ++starts[static_cast<size_t>(pos) + 1];
        if (!view.values.empty()) {
            const std::string_view last = view.values[view.values.size() - 1];
            value_bytes += static_cast<size_t>(last.data() + last.size() - view.values[0].data());
        }
    }
    for (size_t i = 0; i < class_count; ++i) starts[i + 1] += starts[i];
    std::vector<size_t> order(starts[class_count]);
    {
        std::vector<size_t> next(starts.begin(), starts.end() - 1);
        for (size_t slot = 0; slot < slot_count; ++slot)
            if (class_of[slot] != UINT32_MAX) order[next[class_of[slot]]++] = slot;
    }
    // A first guess at the size: twice the values. Growing a large block
    // moves its pages, not its bytes, so a low guess costs little and a
    // high one no address space.
    out_.room(std::min(value_bytes, SIZE_MAX / 16) * 2 + 64);

    out_.put('{');
    bool first_class = true;
    StringMap<char, std::string_view> names;
    for (size_t c = 0; c < class_count; ++c) {
        if (starts[c] == starts[c + 1]) continue;
        const ClassDef& cls = idd_.ordered_classes[c];
        const ClassSpec* spec = schema_.find(cls.name);
        if (!spec) {
            return fail("Cannot write " + std::string(cls.name) + " as epJSON: the epJSON schema has no such class");
        }
        member(first_class, 1, spec->name);
        // Whether the class's field keys need no escape, told once.
        keys_plain_ = true;
        for (uint32_t f = spec->fields_begin; f < spec->fields_end && keys_plain_; ++f)
            keys_plain_ = !needs_escape(schema_.field(f).key);
        for (uint32_t f = spec->group_begin; f < spec->group_end && keys_plain_; ++f)
            keys_plain_ = !needs_escape(schema_.field(f).key);
        out_.put('{');
        bool first_object = true;
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
            member(first_object, 2, key);
            if (!write_object(cls, *spec, view.values, key)) return false;
        }
        close(first_object, 1, '}');
    }
    close(first_class, 0, '}');
    out_.put('\n');
    out.size = out_.size();
    out.data.reset(out_.release());
    return true;
}

}  // namespace

void JsonText::Free::operator()(char* text) const noexcept { os_memory::release(text); }

bool write_epjson(const SlotSource& slots, const c_IDD& idd, const Schema& schema, bool compact, JsonText& out,
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

}  // namespace tarvix::epjson
