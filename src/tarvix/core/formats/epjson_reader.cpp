#include "core/formats/epjson_json.h"

#include "core/text/tokenizer.h"

namespace tarvix::epjson {

using namespace detail;

// ---------------------------------------------------------------------------
// Reading

namespace {

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
    const std::optional<double> value = read_real(number);
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
    Reader(const c_IDD& idd, const Schema& schema, Error& error) : idd_(idd), schema_(schema), error_(error) {}
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

    const c_IDD& idd_;
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
        if (can_be_value(out)) return true;
        return fail(label(class_name, key) + ", field " + quoted(field) +
                    ": a value cannot contain ',', ';', '!' or a line break: " + quoted(out));
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
        if (!can_be_value(key))
            return fail(label(spec.name, key) + ": a name cannot contain ',', ';', '!' or a line break");
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
        const std::optional<uint32_t> found = spec ? find_class_index(idd_, class_name) : std::nullopt;
        if (!found) return fail("epJSON names an unknown class: " + quoted(class_name));
        if (!classes.emplace(class_name, 0).second)
            return fail("epJSON gives the class " + quoted(class_name) + " twice");
        const std::string_view idd_name = idd_.ordered_classes[*found].name;
        if (!yyjson_is_obj(class_val))
            return fail("epJSON class " + quoted(class_name) + " must be a JSON object of objects, not " +
                        json_type_name(class_val));
        size_t oidx, omax;
        yyjson_val *object_key, *object_val;
        yyjson_obj_foreach(class_val, oidx, omax, object_key, object_val) {
            const std::string_view key = str_of(object_key);
            const auto [entry, added] = keys_.emplace(key, idx);
            if (!added) {
                if (entry->second == idx)
                    return fail("epJSON gives " + std::string(class_name) + " " + quoted(key) + " twice");
                entry->second = idx;
            }
            if (!read_object(idd_name, *spec, key, object_val, out)) return false;
        }
    }
    return true;
}

}  // namespace

bool epjson_to_text(std::string_view json, const c_IDD& idd, const Schema& schema, std::string& out,
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
