#include "core/formats/epjson_json.h"

namespace tarvix::epjson {

using namespace detail;

// ---------------------------------------------------------------------------
// The schema

Schema::~Schema() {
    if (doc_) yyjson_doc_free(doc_);
}

// The form of a JSON-ready decimal (see is_decimal), telling besides how far the number may reach: below
// 10^magnitude (digits before the point plus the exponent, at most about
// 10^4), so that a magnitude within a double's range needs no reading to
// know the number finite.
bool detail::decimal_form(std::string_view text, bool& json_ready, int& magnitude) noexcept {
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
    int exponent = 0;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        const bool negative = i < n && text[i] == '-';
        if (i < n && (text[i] == '-' || text[i] == '+')) ++i;
        const size_t exp_begin = i;
        for (; i < n && is_digit(text[i]); ++i)
            if (exponent < 10000) exponent = exponent * 10 + (text[i] - '0');
        if (i == exp_begin) return false;
        if (negative) exponent = -exponent;
    }
    if (i != n) return false;
    json_ready = ready;
    magnitude = static_cast<int>(std::min<size_t>(int_digits, 10000)) + exponent;
    return true;
}

bool is_decimal(std::string_view text, bool& json_ready) noexcept {
    int magnitude;
    return decimal_form(text, json_ready, magnitude);
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
                if (list)
                    add_words(list);
                else
                    free_string = true;
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
            const UpperKey key(text);
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

}  // namespace tarvix::epjson
