#include "core/formats/layout.h"

#include <charconv>
#include <cstring>
#include <new>
#include <stdexcept>

#include "core/text/text.h"

namespace tarvix {

FormatConfig generate_format_config(size_t class_indent_size, size_t field_indent_size, size_t field_size) noexcept {
    FormatConfig config;
    config.field_size = field_size;
    try {
        config.class_indent.assign(class_indent_size, ' ');
        config.field_indent.assign(field_indent_size, ' ');
    } catch (const std::exception&) {
        report_internal_failure(FailureSite::generate_format_config);
    }
    return config;
}

namespace {

// Where the writer's text goes. The same writing code runs over each, so
// measuring a text and writing it always agree.

// Appends to a string (throws when it cannot grow).
struct StringSink {
    std::string& out;
    void append(std::string_view text) { out.append(text); }
    void push(char c) { out.push_back(c); }
    void blanks(size_t count) { out.append(count, ' '); }
};

bool is_line_end(char c) noexcept { return c == '\n' || c == '\r'; }

// Counts the bytes, whether all are ASCII, and how many line ends open and
// close the text. Most texts neither start nor end with a line end (values
// cannot hold one), and those cost no scan.
struct MeasureSink {
    TextMeasure& m;
    void append(std::string_view text) {
        if (text.empty()) return;
        if (m.ascii) m.ascii = is_ascii(text);
        m.bytes += text.size();
        if (!is_line_end(text.front()) && !is_line_end(text.back())) {
            m.seen_text = true;
            m.trailing_newlines = 0;
            return;
        }
        const size_t last_other = text.find_last_not_of("\r\n");
        if (last_other == std::string_view::npos) {  // only line ends
            if (!m.seen_text) m.leading_newlines += text.size();
            m.trailing_newlines += text.size();
            return;
        }
        if (!m.seen_text) m.leading_newlines += text.find_first_not_of("\r\n");
        m.seen_text = true;
        m.trailing_newlines = text.size() - last_other - 1;
    }
    void push(char c) {
        ++m.bytes;
        if (static_cast<unsigned char>(c) >= 0x80) m.ascii = false;
        if (is_line_end(c)) {
            if (!m.seen_text) ++m.leading_newlines;
            ++m.trailing_newlines;
        } else {
            m.seen_text = true;
            m.trailing_newlines = 0;
        }
    }
    void blanks(size_t count) {
        if (count == 0) return;
        m.bytes += count;
        m.seen_text = true;
        m.trailing_newlines = 0;
    }
};

constexpr char kBlanks[] = "                                ";  // 32

// Copies the bytes that fall in [begin, end) of the text into a buffer of
// exactly that size.
struct BufferSink {
    char* buffer;
    size_t begin;
    size_t end;
    size_t pos = 0;
    void append(std::string_view text) {
        if (pos >= begin && pos + text.size() <= end) {  // the rule: wholly inside
            copy_short(buffer + (pos - begin), text.data(), text.size());
            pos += text.size();
            return;
        }
        const size_t from = std::max(pos, begin);
        const size_t to = std::min(pos + text.size(), end);
        if (from < to) std::memcpy(buffer + (from - begin), text.data() + (from - pos), to - from);
        pos += text.size();
    }
    void push(char c) {
        if (pos >= begin && pos < end) buffer[pos - begin] = c;
        ++pos;
    }
    void blanks(size_t count) {
        if (count <= sizeof kBlanks - 1) {
            append(std::string_view(kBlanks, count));
            return;
        }
        const size_t from = std::max(pos, begin);
        const size_t to = std::min(pos + count, end);
        if (from < to) std::memset(buffer + (from - begin), ' ', to - from);
        pos += count;
    }
};

template <class Sink>
void emit_group_number(Sink& out, int64_t group) {
    char digits[24];
    const auto [last, error] = std::to_chars(digits, digits + sizeof digits, group);
    (void)error;
    out.append(std::string_view(digits, static_cast<size_t>(last - digits)));
}

// The name of field i as a comment gives it: a base field's without a call.
inline FieldName name_of(const ClassDef* cls, int64_t i) noexcept {
    const ExtensibleDef& ext = cls->extensible;
    if ((!ext.is_extensible || ext.begin_index < 0 || i < ext.begin_index) &&
        i < static_cast<int64_t>(cls->fields.size())) {
        FieldName name;
        name.field = &cls->fields[static_cast<size_t>(i)];
        name.prefix = name.field->name;
        return name;
    }
    return field_name_parts(cls, i);
}

size_t digit_count(int64_t group) noexcept {
    size_t n = 1;
    for (; group >= 10; group /= 10) ++n;
    return n;
}

template <class Sink>
void emit_object(Sink& out, const FormatConfig& config, const ObjectView& object);

// What emit_object would write through a MeasureSink, added up field by
// field instead of text by text: values and comments hold no line end, so
// past the class name the text only grows, and ends as emit_object ends it.
void emit_object(MeasureSink& out, const FormatConfig& config, const ObjectView& object) {
    out.append(config.class_indent);
    out.append(object.class_name);
    TextMeasure& m = out.m;
    const ClassDef* cls = object.cls;
    const ValuesView& values = object.values;
    const int64_t min_fields = cls ? cls->min_fields : 0;
    int64_t last = static_cast<int64_t>(values.used()) - 1;
    if (min_fields > 0 && min_fields > last + 1) last = min_fields - 1;
    m.seen_text = true;
    m.trailing_newlines = config.compact ? 0 : 1;
    size_t bytes = 1 + !config.compact;  // the separator after the class, and its line end
    if (last >= 0) {
        const size_t count = static_cast<size_t>(last) + 1;
        const size_t stored = std::min(values.size(), count);
        if (stored > 0 && m.ascii) {
            const char* first = values[0].data();
            const std::string_view end_value = values[stored - 1];
            m.ascii = is_ascii(
                std::string_view(first, static_cast<size_t>(end_value.data() + end_value.size() - first)));
        }
        if (m.ascii) m.ascii = is_ascii(config.field_indent);
        // Each field: indent, value, separator; unless compact, padding, "!- ", comment, line end.
        bytes += count * (config.field_indent.size() + 1 + (config.compact ? 0 : 4));
        for (size_t i = 0; i < count; ++i) {
            const size_t size = i < stored ? values[i].size() : 0;
            bytes += size;
            if (config.compact) continue;
            if (config.field_size != 0) bytes += config.field_size >= size ? config.field_size - size : 2;
            if (!cls) continue;
            const FieldName name = name_of(cls, static_cast<int64_t>(i));
            if (!name.valid) {
                report_internal_failure(FailureSite::get_field_name, Failure::zero_division);
                continue;
            }
            bytes += name.prefix.size();
            if (m.ascii) m.ascii = is_ascii(name.prefix);
            if (name.group > 0) {
                bytes += digit_count(name.group) + name.suffix.size();
                if (m.ascii) m.ascii = is_ascii(name.suffix);
            }
            if (name.field && !name.field->units.empty()) {
                bytes += name.field->units.size() + 3;
                if (m.ascii) m.ascii = is_ascii(name.field->units);
            }
        }
    }
    m.bytes += bytes;
}

template <class Sink>
void emit_object(Sink& out, const FormatConfig& config, const ObjectView& object) {
    const ClassDef* cls = object.cls;
    const ValuesView& values = object.values;
    out.append(config.class_indent);
    out.append(object.class_name);
    const int64_t min_fields = cls ? cls->min_fields : 0;
    int64_t last = static_cast<int64_t>(values.used()) - 1;
    if (min_fields > 0 && min_fields > last + 1) last = min_fields - 1;
    if (last < 0) {  // nothing to write but the class
        out.push(';');
        if (!config.compact) out.push('\n');
        return;
    }
    out.push(',');
    if (!config.compact) out.push('\n');
    for (int64_t i = 0; i <= last; ++i) {
        const std::string_view value = values.at_or_empty(static_cast<size_t>(i));
        out.append(config.field_indent);
        out.append(value);
        out.push(i == last ? ';' : ',');
        if (config.compact) continue;
        if (config.field_size != 0)
            out.blanks(config.field_size >= value.size() ? config.field_size - value.size() : 2);
        out.append("!- ");
        if (cls) {
            const FieldName name = name_of(cls, i);
            if (!name.valid) {
                report_internal_failure(FailureSite::get_field_name, Failure::zero_division);
            } else {
                out.append(name.prefix);
                if (name.group > 0) {
                    emit_group_number(out, name.group);
                    out.append(name.suffix);
                }
                if (name.field && !name.field->units.empty()) {
                    out.append(" {");
                    out.append(name.field->units);
                    out.push('}');
                }
            }
        }
        out.push('\n');
    }
}

template <class Sink>
void emit_group_header(Sink& out, std::string_view group) {
    out.append("\n! ***");
    for (const char c : group) out.push(ascii_upper(c));
    out.append("***\n");
}

// Appends the object in a slot; false when the slot holds something that is
// not an object (the text ends there).
template <class Sink>
bool emit_slot(Sink& out, const FormatConfig& config, const SlotSource& slots, size_t slot, WriteResult& result) {
    ObjectView object;
    switch (slots.view(slot, object)) {
        case SlotState::empty: return true;
        case SlotState::foreign: result.foreign_slot = slot; return false;
        case SlotState::object: break;
    }
    out.push('\n');
    emit_object(out, config, object);
    return true;
}

template <class Sink>
void emit_document(Sink& out, const FormatConfig& config, bool preserve_order, const c_IDD* schema,
                   const ClassIndex& index, const SlotSource& slots, WriteResult& result) {
    if (preserve_order) {
        for (size_t slot = 0; slot < slots.slot_count(); ++slot)
            if (!emit_slot(out, config, slots, slot, result)) return;
        return;
    }
    if (!schema) return;
    std::string current_group;
    std::string key;
    for (size_t class_idx = 0; class_idx < schema->ordered_classes.size(); ++class_idx) {
        const ClassDef& cls = schema->ordered_classes[class_idx];
        assign_class_key(key, cls.name);
        // A class whose key a later class took over is written at that later
        // position only, so its objects appear once.
        const std::optional<uint32_t> owner = find_class_index(*schema, cls.name);
        if (!owner || *owner != class_idx) continue;
        const ClassEntry* entry = index.find(key);
        if (!entry || entry->empty()) continue;
        if (!config.compact && cls.group != current_group) {
            current_group = cls.group;
            if (!current_group.empty()) emit_group_header(out, current_group);
        }
        bool stopped = false;
        entry->for_each([&](size_t slot) {
            if (stopped || slot >= slots.slot_count()) return;
            stopped = !emit_slot(out, config, slots, slot, result);
        });
        if (stopped) return;
        if (config.compact) out.push('\n');
    }
}

}  // namespace

void write_object_text(std::string& out, const FormatConfig& config, const ObjectView& object) {
    StringSink sink{out};
    emit_object(sink, config, object);
}

void write_document(std::string& out, const FormatConfig& config, bool preserve_order, const c_IDD* schema,
                    const ClassIndex& index, const SlotSource& slots, WriteResult& result) noexcept {
    try {
        // The text is measured first, so the buffer grows once, to its size.
        TextMeasure measure;
        WriteResult measured;
        MeasureSink counter{measure};
        emit_document(counter, config, preserve_order, schema, index, slots, measured);
        out.reserve(out.size() + measure.bytes);
        StringSink sink{out};
        emit_document(sink, config, preserve_order, schema, index, slots, result);
    } catch (const std::exception&) {
        result.out_of_memory = true;
        report_internal_failure(FailureSite::write_to_buffer);
    }
}

TextMeasure measure_document(const FormatConfig& config, bool preserve_order, const c_IDD* schema,
                             const ClassIndex& index, const SlotSource& slots, WriteResult& result) noexcept {
    TextMeasure measure;
    MeasureSink counter{measure};
    emit_document(counter, config, preserve_order, schema, index, slots, result);  // allocates nothing but a key
    return measure;
}

void write_document_into(char* buffer, size_t begin, size_t end, const FormatConfig& config, bool preserve_order,
                         const c_IDD* schema, const ClassIndex& index, const SlotSource& slots) noexcept {
    BufferSink sink{buffer, begin, end};
    WriteResult result;
    try {
        emit_document(sink, config, preserve_order, schema, index, slots, result);
    } catch (const std::exception&) {
        // Only the class key of schema order allocates, and the measuring
        // pass already did as much.
        report_internal_failure(FailureSite::write_to_buffer);
    }
}

}  // namespace tarvix
