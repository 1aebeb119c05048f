#include "core/layout.h"

#include <new>
#include <stdexcept>

#include "core/text.h"

namespace tarvix::idf {

FormatConfig generate_format_config(size_t class_indent_size, size_t field_indent_size, size_t field_size) noexcept {
    FormatConfig config;
    config.field_size = field_size;
    try {
        config.class_indent.assign(class_indent_size, ' ');
        config.field_indent.assign(field_indent_size, ' ');
    } catch (const std::exception&) {
        report_internal_failure("tarvix.idf.generate_format_config");
    }
    return config;
}

void write_object_text(std::string& out, const FormatConfig& config, const ObjectView& object) {
    const idd::ClassDef* cls = object.cls;
    const ValuesView& values = object.values;
    out.append(config.class_indent).append(object.class_name);
    const int64_t min_fields = cls ? cls->min_fields : 0;
    int64_t last = static_cast<int64_t>(values.used()) - 1;
    if (min_fields > 0 && min_fields > last + 1) last = min_fields - 1;
    if (last < 0) {  // nothing to write but the class
        out.push_back(';');
        if (!config.compact) out.push_back('\n');
        return;
    }
    out.push_back(',');
    if (!config.compact) out.push_back('\n');
    for (int64_t i = 0; i <= last; ++i) {
        const std::string_view value = values.at_or_empty(static_cast<size_t>(i));
        out.append(config.field_indent).append(value);
        out.push_back(i == last ? ';' : ',');
        if (config.compact) continue;
        if (config.field_size != 0)
            out.append(config.field_size >= value.size() ? config.field_size - value.size() : 2, ' ');
        out.append("!- ");
        if (cls && !idd::append_field_name(out, cls, i, true))
            report_internal_failure("tarvix.idd.get_field_name", Failure::zero_division);
        out.push_back('\n');
    }
}

void write_group_header(std::string& out, std::string_view group) {
    out.append("\n! ***");
    for (const char c : group) out.push_back(ascii_upper(c));
    out.append("***\n");
}

namespace {

// Appends the object in a slot; false when the slot holds something that is
// not an object (the text ends there).
bool write_slot(std::string& out, const FormatConfig& config, const SlotSource& slots, size_t slot,
                WriteResult& result) {
    ObjectView object;
    switch (slots.view(slot, object)) {
        case SlotState::empty:
            return true;
        case SlotState::foreign:
            result.foreign_slot = slot;
            return false;
        case SlotState::object:
            break;
    }
    out.push_back('\n');
    write_object_text(out, config, object);
    return true;
}

}  // namespace

void write_document(std::string& out, const FormatConfig& config, bool preserve_order, const idd::c_IDD* schema,
                    const ClassIndex& index, const SlotSource& slots, WriteResult& result) noexcept {
    try {
        const size_t estimate = estimated_document_size(out.size(), index.object_count(), config.compact);
        if (out.capacity() < estimate) {
            try {
                out.reserve(estimate);
            } catch (const std::exception&) {
                // Only a size hint: the text grows as it must.
            }
        }

        if (preserve_order) {
            for (size_t slot = 0; slot < slots.slot_count(); ++slot)
                if (!write_slot(out, config, slots, slot, result)) return;
            return;
        }

        if (!schema) return;
        std::string current_group;
        std::string key;
        for (size_t class_idx = 0; class_idx < schema->ordered_classes.size(); ++class_idx) {
            const idd::ClassDef& cls = schema->ordered_classes[class_idx];
            key.assign(cls.name);
            for (char& c : key) c = ascii_upper(c);
            // A class whose key a later class took over is written at that
            // later position only, so its objects appear once.
            const auto owner = schema->class_map.find(key);
            if (owner == schema->class_map.end() || owner->second != class_idx) continue;
            const ClassEntry* entry = index.find(key);
            if (!entry || entry->empty()) continue;
            if (!config.compact && cls.group != current_group) {
                current_group = cls.group;
                if (!current_group.empty()) write_group_header(out, current_group);
            }
            bool stopped = false;
            entry->for_each([&](size_t slot) {
                if (stopped || slot >= slots.slot_count()) return;
                stopped = !write_slot(out, config, slots, slot, result);
            });
            if (stopped) return;
            if (config.compact) out.push_back('\n');
        }
    } catch (const std::exception&) {
        result.out_of_memory = true;
        report_internal_failure("tarvix.idf.IDF.write_to_buffer");
    }
}

}  // namespace tarvix::idf
