#include "core/formats/epjson_json.h"

namespace tarvix::epjson {

using namespace detail;

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
    const std::optional<uint32_t> found = idd::find_class_index(idd_, view.class_name);
    return found ? static_cast<int64_t>(*found) : -1;
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

void JsonText::Free::operator()(char* text) const noexcept { os_memory::release(text); }

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

}  // namespace tarvix::epjson
