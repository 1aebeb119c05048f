// Document text layout: each object as its class line and one line per
// field with a comment naming the field, or one line per object (compact).
// Lines end with a single line feed.
#include <new>

#include "core/document.h"

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

void write_object_text(std::string& out, const FormatConfig& config, std::string_view class_name,
                       const FieldValues& values, const idd::ClassDef* cls, idd::GetFieldNameFn* get_field_name) {
    out.append(config.class_indent).append(class_name);
    const int64_t min_fields = cls ? cls->min_fields : 0;
    int64_t last = -1;
    for (size_t i = values.size(); i-- > 0;)
        if (!values[i].empty()) {
            last = static_cast<int64_t>(i);
            break;
        }
    if (min_fields > 0 && min_fields > last + 1) last = min_fields - 1;
    if (last < 0) {  // nothing to write but the class
        out.push_back(';');
        if (!config.compact) out.push_back('\n');
        return;
    }
    out.push_back(',');
    if (!config.compact) out.push_back('\n');
    for (int64_t i = 0; i <= last; ++i) {
        out.append(config.field_indent);
        size_t length = 0;
        if (static_cast<size_t>(i) < values.size()) {
            const std::string_view value = values[static_cast<size_t>(i)];
            out.append(value);
            length = value.size();
        }
        out.push_back(i == last ? ';' : ',');
        if (config.compact) continue;
        if (config.field_size != 0) out.append(config.field_size >= length ? config.field_size - length : 2, ' ');
        out.append("!- ");
        if (cls && i <= INT32_MAX) out.append(get_field_name(cls, static_cast<int32_t>(i), true));
        out.push_back('\n');
    }
}

void write_group_header(std::string& out, const std::string& group) {
    out.append("\n! ***").append(to_upper(group)).append("***\n");
}

}  // namespace tarvix::idf
