// Field lookup by position and by name, including the repeating group: the
// schema stores the first group once, and position i >= begin belongs to
// field (i - begin) % size of group (i - begin) / size + 1.
#include <charconv>
#include <new>

#include "core/schema/schema.h"

namespace tarvix {

const FieldDef* get_field_def(const ClassDef* cls, size_t field_idx) noexcept {
    if (!cls) return nullptr;
    const ExtensibleDef& ext = cls->extensible;
    if (ext.is_extensible && ext.begin_index >= 0 && ext.size > 0) {
        const auto begin = static_cast<size_t>(ext.begin_index);
        const auto size = static_cast<size_t>(ext.size);
        if (field_idx >= begin + size) field_idx = begin + (field_idx - begin) % size;
    }
    return field_idx < cls->fields.size() ? &cls->fields[field_idx] : nullptr;
}

FieldName field_name_parts(const ClassDef* cls, int64_t field_idx) noexcept {
    FieldName name;
    if (field_idx < 0 || field_idx > INT32_MAX || !cls) return name;
    const ExtensibleDef& ext = cls->extensible;
    const auto index = static_cast<size_t>(field_idx);
    if (!ext.is_extensible || ext.begin_index < 0 || field_idx < ext.begin_index) {
        if (index >= cls->fields.size()) return name;
        name.field = &cls->fields[index];
        name.prefix = name.field->name;
        return name;
    }
    if (ext.size == 0) {  // a group of no fields: no group number can be worked out
        name.valid = false;
        return name;
    }
    if (ext.size < 0) return name;  // no patterns are built without a group size
    const int64_t offset = field_idx - ext.begin_index;
    const auto k = static_cast<size_t>(offset % ext.size);
    if (k >= ext.patterns.size()) return name;
    const ExtPattern& pattern = ext.patterns[k];
    name.prefix = pattern.prefix;
    name.group = offset / ext.size + 1;
    name.suffix = pattern.suffix;
    const size_t template_idx = static_cast<size_t>(ext.begin_index) + k;
    if (template_idx < cls->fields.size()) name.field = &cls->fields[template_idx];
    return name;
}

bool append_field_name(std::string& out, const ClassDef* cls, int64_t field_idx, bool add_units) {
    const FieldName name = field_name_parts(cls, field_idx);
    if (!name.valid) return false;
    out.append(name.prefix);
    if (name.group > 0) {
        char digits[24];
        const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, name.group);
        (void)ec;
        out.append(digits, static_cast<size_t>(end - digits)).append(name.suffix);
    }
    if (add_units && name.field && !name.field->units.empty()) out.append(" {").append(name.field->units).append("}");
    return true;
}

std::string get_field_name(const ClassDef* cls, int32_t field_idx, bool add_units) noexcept {
    std::string name;
    try {
        if (!append_field_name(name, cls, field_idx, add_units)) {
            report_internal_failure(FailureSite::get_field_name, Failure::zero_division);
            return {};
        }
    } catch (const std::bad_alloc&) {
        report_internal_failure(FailureSite::get_field_name);
        return {};
    }
    return name;
}

namespace {

int32_t find_lowered(const ClassDef* cls, std::string_view key) {
    if (const auto found = cls->base_field_index_map.find(key); found != cls->base_field_index_map.end())
        return found->second;
    const ExtensibleDef& ext = cls->extensible;
    if (!ext.is_extensible || ext.begin_index < 0 || ext.size <= 0) return -1;
    for (size_t k = 0; k < ext.patterns.size(); ++k) {
        const ExtPattern& pattern = ext.patterns[k];
        if (!key.starts_with(pattern.search_prefix)) continue;
        std::string_view middle = key.substr(pattern.search_prefix.size());
        if (!middle.ends_with(pattern.search_suffix)) continue;
        middle.remove_suffix(pattern.search_suffix.size());
        // The group number must be the whole text between prefix and suffix,
        // so "Component 1 Inlet Node Name" never reads as group 1 of
        // "Component 1 Name".
        const int64_t group = parse_digits_int32(middle);
        if (group <= 0) continue;
        const int64_t index = int64_t{ext.begin_index} + (group - 1) * int64_t{ext.size} + static_cast<int64_t>(k);
        if (index > INT32_MAX) continue;
        return static_cast<int32_t>(index);
    }
    return -1;
}

}  // namespace

int32_t find_field_index(const ClassDef* cls, std::string_view field_name) noexcept {
    if (!cls || field_name.empty()) return -1;
    // Field names are short: fold them on the stack.
    char small[128];
    if (field_name.size() <= sizeof small) {
        for (size_t i = 0; i < field_name.size(); ++i) small[i] = ascii_lower(field_name[i]);
        return find_lowered(cls, std::string_view(small, field_name.size()));
    }
    try {
        return find_lowered(cls, to_lower(std::string(field_name)));
    } catch (const std::bad_alloc&) {
        report_internal_failure(FailureSite::find_field_index);
        return -1;
    }
}

int32_t find_field_index(const ClassDef* cls, const std::string& field_name) noexcept {
    return find_field_index(cls, std::string_view(field_name));
}

}  // namespace tarvix
