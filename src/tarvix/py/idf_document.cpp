// IDF: a document loaded against a schema. It keeps the object list (a
// removed object leaves None in its slot, so obj_idx never changes), an
// index of object slots by class, and the reference graph.
#include <algorithm>
#include <memory>
#include <new>

#include "py/idf.h"

namespace tarvix::idf {

using py::Ref;

PyTypeObject IDFDocType = py::new_static_type();

namespace {

IDFDoc* as_doc(PyObject* obj) { return reinterpret_cast<IDFDoc*>(obj); }

// Upper-cased class key of a Python class name; false with an exception
// set (None fails as calling .encode() on it would).
bool class_key(PyObject* class_name, std::string& key) {
    std::string_view name;
    if (!py::str_utf8(class_name, name)) return false;
    try {
        key.assign(name);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    for (char& c : key) c = ascii_upper(c);
    return true;
}

// ---------------------------------------------------------------------------
// Native methods: reference graph

void doc_register_target(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                         int32_t field_idx) {
    register_ref(self->targets, tag, val, {obj_idx, field_idx}, "tarvix.idf.IDF.register_target");
}

void doc_register_referencer(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                             int32_t field_idx) {
    register_ref(self->referencers, tag, val, {obj_idx, field_idx}, "tarvix.idf.IDF.register_referencer");
}

void doc_unregister_target(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                           int32_t field_idx) {
    unregister_ref(self->targets, tag, val, {obj_idx, field_idx});
}

void doc_unregister_referencer(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                               int32_t field_idx) {
    unregister_ref(self->referencers, tag, val, {obj_idx, field_idx});
}

// ---------------------------------------------------------------------------
// Native methods: loading

lexer::Token lexer_next_token(void* context) {
    auto* lexer = static_cast<lexer::LexerObject*>(context);
    return lexer->methods->next_token(lexer);
}

int32_t lexer_line_num(void* context) { return static_cast<lexer::LexerObject*>(context)->tokenizer.line_num; }

void raise_document_error(const DocumentError& error) {
    const int line = error.line_num;
    switch (error.kind) {
        case DocumentErrorKind::missing_delimiter:
        case DocumentErrorKind::token_error: {
            Ref value = py::decode_utf8(error.value);
            if (!value) return;
            if (error.kind == DocumentErrorKind::missing_delimiter)
                PyErr_Format(PyExc_ValueError, "IDF parsing error (Line %d): missing delimiter before '%U'.", line,
                             value.get());
            else
                PyErr_Format(PyExc_ValueError, "IDF parsing error (Line %d): %R", line, value.get());
            break;
        }
        case DocumentErrorKind::unterminated:
            PyErr_Format(PyExc_ValueError, "IDF parsing error (Line %d): unterminated object before EOF; missing ';'.",
                         line);
            break;
        case DocumentErrorKind::unrecognized_token:
            PyErr_Format(PyExc_ValueError, "IDF parsing error (Line %d): unrecognized token type '%d'.", line,
                         error.token_type);
            break;
        case DocumentErrorKind::out_of_memory:
            PyErr_NoMemory();
            break;
    }
}

int doc_c_init(IDFDoc* self, PyObject* idd, Ref& idf_content) {
    if (!is_idd(idd)) {
        py::raise_arg_type("idd", shared.idd_type->tp_name, idd);
        return -1;
    }
    Ref objects = Ref::steal(PyList_New(0));
    if (!objects) return -1;
    Py_XSETREF(self->idd, Py_NewRef(idd));
    Py_XSETREF(self->objects, objects.release());

    std::vector<c_IDFObject> parsed;
    {
        Ref lexer = Ref::steal(shared.lexer_type->tp_new(shared.lexer_type, shared.empty_tuple, nullptr));
        if (!lexer) return -1;
        if (!PyObject_TypeCheck(lexer.get(), shared.lexer_type)) {
            PyErr_SetString(PyExc_TypeError, "Lexer allocation did not give a Lexer");
            return -1;
        }
        auto* lexer_object = reinterpret_cast<lexer::LexerObject*>(lexer.get());
        if (shared.lexer_methods->c_init(lexer_object, idf_content.get(), 0) < 0) return -1;
        idf_content.reset();  // the lexer holds the text while it is parsed
        const lexer::TokenSource source{lexer_next_token, lexer_line_num, lexer_object};
        DocumentError error;
        bool parsed_ok;
        Py_BEGIN_ALLOW_THREADS
        parsed_ok = parse_document(source, parsed, error);
        Py_END_ALLOW_THREADS
        if (!parsed_ok) {
            raise_document_error(error);
            return -1;
        }
    }  // the lexer, and with it a hold on the text, goes before the objects are built
    return self->methods->build_objects(self, parsed);
}

int doc_build_objects(IDFDoc* self, std::vector<c_IDFObject>& c_idf_objects) {
    const idd::c_IDD* schema = schema_of(self->idd);
    if (!schema || !self->objects || !PyList_Check(self->objects)) {
        PyErr_SetString(PyExc_RuntimeError, "IDF is not initialized");
        return -1;
    }
    std::string key;
    const py::GcPause gc_pause;  // objects are created by the thousand, none of them garbage
    try {
        for (c_IDFObject& raw : c_idf_objects) {
            key.assign(raw.class_name);
            for (char& c : key) c = ascii_upper(c);
            const auto found = schema->class_map.find(key);
            if (found == schema->class_map.end()) {
                Ref name = py::decode_utf8(raw.class_name);
                if (name) PyErr_Format(PyExc_ValueError, "IDF parsing error: Unknown class: '%U'", name.get());
                return -1;
            }
            const uint32_t class_idx = found->second;
            Ref obj = Ref::steal(IDFObjType.tp_new(&IDFObjType, shared.empty_tuple, nullptr));
            if (!obj) return -1;
            auto* object = reinterpret_cast<IDFObj*>(obj.get());
            if (object->methods->c_init(object, self->idd, reinterpret_cast<PyObject*>(self), class_idx,
                                        raw.values) < 0)
                return -1;
            const auto obj_idx = static_cast<size_t>(PyList_GET_SIZE(self->objects));
            object->obj_idx = obj_idx;
            if (PyList_Append(self->objects, obj.get()) < 0) return -1;
            self->objects_index_map[key].push_back(obj_idx);

            const ClassDef& cls = schema->ordered_classes[class_idx];
            for (size_t i = 0; i < object->values.size(); ++i) {
                const std::string_view value = object->values[i];
                if (value.empty()) continue;
                if (const FieldDef* field = shared.get_field_def(&cls, i))
                    register_field_value(self, *field, value, obj_idx, static_cast<int32_t>(i));
            }
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Native methods: listing

PyObject* doc_get_objects_raw(IDFDoc* self, PyObject* class_name) {
    std::string key;
    if (!class_key(class_name, key)) return nullptr;
    const auto found = self->objects_index_map.find(key);
    if (found == self->objects_index_map.end() || found->second.empty()) return PyList_New(0);
    const std::vector<size_t>& slots = found->second;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(slots.size())));
    if (!list) return nullptr;
    Py_ssize_t stored = 0;
    for (const size_t slot : slots)
        if (IDFObj* obj = object_at(self, slot))
            PyList_SET_ITEM(list.get(), stored++, Py_NewRef(reinterpret_cast<PyObject*>(obj)));
    if (stored < PyList_GET_SIZE(list.get()) && PyList_SetSlice(list.get(), stored, PY_SSIZE_T_MAX, nullptr) < 0)
        return nullptr;
    return list.release();
}

// ---------------------------------------------------------------------------
// Native methods: writing

// Appends the object at a slot; false when the slot holds something that is
// not an object (reported, and the text ends there). Removed slots and slots
// past the end of the list are skipped.
bool write_slot(IDFDoc* self, PyObject* item, std::string& out, const FormatConfig* config) {
    if (item == Py_None) return true;
    if (!is_idf_object(item)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to tarvix.idf.IDFObject", Py_TYPE(item)->tp_name);
        py::report_unraisable("tarvix.idf.IDF.write_to_buffer");
        return false;
    }
    (void)self;
    out.push_back('\n');
    auto* obj = reinterpret_cast<IDFObj*>(item);
    obj->methods->write_to_buffer(obj, out, config);
    return true;
}

void doc_write_to_buffer(IDFDoc* self, std::string& out, const FormatConfig* config, const WriteOptions* options) {
    const bool preserve_order = options && options->n > 0 && options->preserve_order;
    const bool have_list = self->objects && PyList_Check(self->objects);
    try {
        size_t object_count = 0;
        for (const auto& [key, slots] : self->objects_index_map) object_count += slots.size();
        const size_t estimate = estimated_document_size(out.size(), object_count, config->compact);
        if (out.capacity() < estimate) out.reserve(estimate);

        if (preserve_order) {
            for (Py_ssize_t i = 0; have_list && i < PyList_GET_SIZE(self->objects); ++i) {
                Ref item = Ref::borrow(PyList_GET_ITEM(self->objects, i));
                if (!write_slot(self, item.get(), out, config)) return;
            }
            return;
        }

        const idd::c_IDD* schema = schema_of(self->idd);
        if (!schema) return;
        std::string current_group;
        std::string key;
        for (size_t class_idx = 0; class_idx < schema->ordered_classes.size(); ++class_idx) {
            const ClassDef& cls = schema->ordered_classes[class_idx];
            key = to_upper(cls.name);
            // A class whose key a later class took over is written at that
            // later position only, so its objects appear once.
            const auto owner = schema->class_map.find(key);
            if (owner == schema->class_map.end() || owner->second != class_idx) continue;
            const auto entry = self->objects_index_map.find(key);
            if (entry == self->objects_index_map.end() || entry->second.empty()) continue;
            if (!config->compact && cls.group != current_group) {
                current_group = cls.group;
                if (!current_group.empty()) write_group_header(out, current_group);
            }
            for (const size_t slot : entry->second) {
                if (!have_list || slot >= static_cast<size_t>(PyList_GET_SIZE(self->objects))) continue;
                Ref item = Ref::borrow(PyList_GET_ITEM(self->objects, static_cast<Py_ssize_t>(slot)));
                if (!write_slot(self, item.get(), out, config)) return;
            }
            if (config->compact) out.push_back('\n');
        }
    } catch (const std::exception&) {
        py::report_unraisable("tarvix.idf.IDF.write_to_buffer");
    }
}

// ---------------------------------------------------------------------------
// Type slots

PyObject* doc_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = as_doc(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->methods = &idf_methods;
    self->idd = Py_NewRef(Py_None);
    self->objects = Py_NewRef(Py_None);
    new (&self->objects_index_map) StringMap<std::vector<size_t>>();
    new (&self->targets) RefMap();
    new (&self->referencers) RefMap();
    return reinterpret_cast<PyObject*>(self);
}

int doc_traverse(PyObject* obj, visitproc visit, void* arg) {
    IDFDoc* self = as_doc(obj);
    Py_VISIT(self->idd);
    Py_VISIT(self->objects);
    return 0;
}

int doc_clear(PyObject* obj) {
    IDFDoc* self = as_doc(obj);
    Py_XSETREF(self->idd, Py_NewRef(Py_None));
    Py_XSETREF(self->objects, Py_NewRef(Py_None));
    return 0;
}

void doc_dealloc(PyObject* obj) {
    IDFDoc* self = as_doc(obj);
    PyObject_GC_UnTrack(obj);
    Py_CLEAR(self->idd);
    Py_CLEAR(self->objects);
    std::destroy_at(&self->objects_index_map);
    std::destroy_at(&self->targets);
    std::destroy_at(&self->referencers);
    Py_TYPE(obj)->tp_free(obj);
}

int doc_init(PyObject*, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0) {
        PyErr_Format(PyExc_TypeError, "__init__() takes exactly 0 positional arguments (%zd given)",
                     PyTuple_GET_SIZE(args));
        return -1;
    }
    if (kwargs && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "__init__() takes no keyword arguments");
        return -1;
    }
    PyErr_SetString(PyExc_TypeError, "IDF cannot be instantiated directly. Use IDF.from_file() or IDF.from_string().");
    return -1;
}

// A new, loaded document of `cls` (IDF or a subclass), made without __init__.
PyObject* load_new(PyObject* cls, PyObject* idd, Ref content) {
    Ref self = Ref::steal(doc_new(reinterpret_cast<PyTypeObject*>(cls), shared.empty_tuple, nullptr));
    if (!self) return nullptr;
    IDFDoc* doc = as_doc(self.get());
    if (doc->methods->c_init(doc, idd, content) < 0) return nullptr;
    return self.release();
}

PyObject* doc_from_file(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"from_file", {"idd", "filepath", "encoding"}, 2};
    PyObject* given[3] = {nullptr, nullptr, Py_None};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    if (!py::check_instance(given[0], shared.idd_type, "idd") || !py::check_str_or_none(given[2], "encoding"))
        return nullptr;
    ReadUtf8BytesOptions options{1, given[2]};
    Ref content = Ref::steal(shared.read_utf8_bytes(given[1], &options));
    if (!content) return nullptr;
    return load_new(cls, given[0], std::move(content));
}

PyObject* doc_from_string(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"from_string", {"idd", "content"}, 2};
    PyObject* given[2] = {nullptr, nullptr};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    if (!py::check_instance(given[0], shared.idd_type, "idd") || !py::check_str_or_none(given[1], "content"))
        return nullptr;
    Ref content = py::encode_utf8(given[1]);
    if (!content) return nullptr;
    return load_new(cls, given[0], std::move(content));
}

// ---------------------------------------------------------------------------
// Python methods: collections

PyObject* doc_get_objects(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"get_objects", {"class_name"}, 1};
    PyObject* given[1] = {nullptr};
    if (!params.parse(args, nargs, kwnames, given) || !py::check_str_or_none(given[0], "class_name")) return nullptr;
    IDFDoc* self = as_doc(obj);
    Ref list = Ref::steal(self->methods->get_objects_raw(self, given[0]));
    return list ? make_object_tuple(list.get()) : nullptr;
}

PyObject* doc_subscript(PyObject* obj, PyObject* class_name) {
    if (!py::check_str_or_none(class_name, "class_name")) return nullptr;
    return PyObject_CallMethod(obj, "get_objects", "O", class_name);
}

PyObject* doc_sq_item(PyObject* obj, Py_ssize_t index) {
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return key ? doc_subscript(obj, key.get()) : nullptr;
}

PyObject* doc_get_object_by_name(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"get_object_by_name", {"class_name", "obj_name"}, 2};
    PyObject* given[2] = {nullptr, nullptr};
    if (!params.parse(args, nargs, kwnames, given) || !py::check_str_or_none(given[0], "class_name") ||
        !py::check_str_or_none(given[1], "obj_name"))
        return nullptr;
    std::string_view name;
    if (!py::str_utf8(given[1], name)) return nullptr;
    IDFDoc* self = as_doc(obj);
    Ref candidates = Ref::steal(self->methods->get_objects_raw(self, given[0]));
    if (!candidates) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(candidates.get(), i);
        const FieldValues& values = reinterpret_cast<IDFObj*>(item)->values;
        if (!values.empty() && equal_fold(values[0], name)) return Py_NewRef(item);
    }
    Py_RETURN_NONE;
}

PyObject* doc_get_class_names(PyObject* obj, PyObject*) {
    IDFDoc* self = as_doc(obj);
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return nullptr;
    for (const auto& [key, slots] : self->objects_index_map) {
        if (slots.empty()) continue;
        IDFObj* first = object_at(self, slots.front());
        if (first && PyList_Append(names.get(), first->class_name) < 0) return nullptr;
    }
    return names.release();
}

PyObject* doc_add_object(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"add_object", {"class_name", "initial_values", "default_values"}, 1};
    PyObject* given[3] = {nullptr, Py_None, Py_True};
    if (!params.parse(args, nargs, kwnames, given) || !py::check_str_or_none(given[0], "class_name")) return nullptr;
    const int with_defaults = PyObject_IsTrue(given[2]);
    if (with_defaults < 0) return nullptr;
    std::string key;
    if (!class_key(given[0], key)) return nullptr;
    IDFDoc* self = as_doc(obj);
    const idd::c_IDD* schema = schema_of(self->idd);
    if (!schema || !self->objects || !PyList_Check(self->objects)) {
        PyErr_SetString(PyExc_RuntimeError, "IDF is not initialized");
        return nullptr;
    }
    const auto found = schema->class_map.find(key);
    if (found == schema->class_map.end()) {
        PyErr_Format(PyExc_ValueError, "Unknown class: '%U'", given[0]);
        return nullptr;
    }
    const uint32_t class_idx = found->second;
    const ClassDef& cls = schema->ordered_classes[class_idx];

    Ref added = Ref::steal(IDFObjType.tp_new(&IDFObjType, shared.empty_tuple, nullptr));
    if (!added) return nullptr;
    auto* object = reinterpret_cast<IDFObj*>(added.get());
    try {
        FieldValues values;
        if (cls.min_fields > 0) values.resize(static_cast<size_t>(cls.min_fields));
        if (object->methods->c_init(object, self->idd, obj, class_idx, values) < 0) return nullptr;
        object->obj_idx = static_cast<size_t>(PyList_GET_SIZE(self->objects));
        if (PyList_Append(self->objects, added.get()) < 0) return nullptr;
        self->objects_index_map[key].push_back(object->obj_idx);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (with_defaults) {
        for (const uint32_t index : cls.field_idx_with_default) {
            if (index >= cls.fields.size()) continue;
            if (object->methods->set_string_by_index(object, static_cast<int32_t>(index),
                                                     cls.fields[index].default_val) < 0)
                return nullptr;
        }
    }
    // The Python method, so a subclass that overrides update() is honoured.
    Ref method_name = Ref::steal(PyUnicode_InternFromString("update"));
    Ref keywords = Ref::steal(Py_BuildValue("(s)", "trim_empty_trails"));
    if (!method_name || !keywords) return nullptr;
    PyObject* call_args[] = {added.get(), given[1], Py_True};
    Ref updated = Ref::steal(PyObject_VectorcallMethod(method_name.get(), call_args, 2, keywords.get()));
    if (!updated) return nullptr;
    return added.release();
}

constexpr const char* kForeignObject = "Error: The object belongs to a different IDF model or is detached.";

PyObject* doc_remove_object(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"remove_object", {"obj"}, 1};
    PyObject* given[1] = {nullptr};
    if (!params.parse(args, nargs, kwnames, given) || !py::check_instance(given[0], &IDFObjType, "obj"))
        return nullptr;
    IDFDoc* self = as_doc(obj);
    auto* target = reinterpret_cast<IDFObj*>(given[0]);
    if (target->parent_idf != obj || object_at(self, target->obj_idx) != target) {
        PyErr_SetString(PyExc_ValueError, kForeignObject);
        return nullptr;
    }
    std::string key;
    try {
        key = to_upper(target->c_class_name);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    const auto entry = self->objects_index_map.find(key);
    if (entry == self->objects_index_map.end()) {
        PyErr_SetString(PyExc_ValueError, kForeignObject);
        return nullptr;
    }
    // The slot keeps its place (None) so no other obj_idx changes.
    if (PyList_SetItem(self->objects, static_cast<Py_ssize_t>(target->obj_idx), Py_NewRef(Py_None)) < 0)
        return nullptr;
    std::vector<size_t>& slots = entry->second;
    if (const auto at = std::find(slots.begin(), slots.end(), target->obj_idx); at != slots.end()) slots.erase(at);
    // The list no longer holds the object; the caller's reference keeps it.
    unregister_all_values(self, target, class_def_of(target));
    Py_XSETREF(target->parent_idf, Py_NewRef(Py_None));
    Py_RETURN_NONE;
}

PyObject* doc_remove_all_objects(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"remove_all_objects", {"class_name"}, 1};
    PyObject* given[1] = {nullptr};
    if (!params.parse(args, nargs, kwnames, given) || !py::check_str_or_none(given[0], "class_name")) return nullptr;
    std::string key;
    if (!class_key(given[0], key)) return nullptr;
    IDFDoc* self = as_doc(obj);
    const auto entry = self->objects_index_map.find(key);
    if (entry == self->objects_index_map.end()) return PyLong_FromLong(0);
    const std::vector<size_t> slots = std::move(entry->second);
    self->objects_index_map.erase(entry);
    size_t removed = 0;
    for (const size_t slot : slots) {
        IDFObj* target = object_at(self, slot);
        if (!target) continue;
        Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(target));  // the list's reference goes next
        unregister_all_values(self, target, class_def_of(target));
        if (PyList_SetItem(self->objects, static_cast<Py_ssize_t>(slot), Py_NewRef(Py_None)) < 0) return nullptr;
        Py_XSETREF(target->parent_idf, Py_NewRef(Py_None));
        ++removed;
    }
    return PyLong_FromSize_t(removed);
}

// ---------------------------------------------------------------------------
// Python methods: text output

struct LayoutArgs {
    FormatConfig config;
    bool preserve_order = false;
};

// Converts the layout arguments shared by format() and save(): three sizes,
// then compact and preserve_order. Negative sizes are refused before
// anything is written.
bool parse_layout(PyObject* const* given, LayoutArgs& layout) {
    static constexpr const char* names[] = {"class_indent_size", "field_indent_size", "field_size"};
    int32_t sizes[3];
    for (int i = 0; i < 3; ++i)
        if (!py::to_int32(given[i], sizes[i])) return false;
    const int compact = PyObject_IsTrue(given[3]);
    if (compact < 0) return false;
    const int preserve_order = PyObject_IsTrue(given[4]);
    if (preserve_order < 0) return false;
    for (int i = 0; i < 3; ++i)
        if (sizes[i] < 0) {
            PyErr_Format(PyExc_ValueError, "%s must be >= 0", names[i]);
            return false;
        }
    if (compact)
        layout.config = shared.minimal_format_config;
    else
        layout.config = generate_format_config(static_cast<size_t>(sizes[0]), static_cast<size_t>(sizes[1]),
                                               static_cast<size_t>(sizes[2]));
    layout.preserve_order = preserve_order != 0;
    return true;
}

PyObject* doc_format(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{
        "format", {"class_indent_size", "field_indent_size", "field_size", "compact", "preserve_order"}, 0};
    Ref defaults[3] = {Ref::steal(PyLong_FromLong(0)), Ref::steal(PyLong_FromLong(4)), Ref::steal(PyLong_FromLong(24))};
    PyObject* given[5] = {defaults[0].get(), defaults[1].get(), defaults[2].get(), Py_False, Py_False};
    if (!given[0] || !given[1] || !given[2] || !params.parse(args, nargs, kwnames, given)) return nullptr;
    LayoutArgs layout;
    if (!parse_layout(given, layout)) return nullptr;
    IDFDoc* self = as_doc(obj);
    std::string text;
    const WriteOptions options{1, layout.preserve_order};
    self->methods->write_to_buffer(self, text, &layout.config, &options);
    const size_t first = text.find_first_not_of(kNewlines);
    if (first == std::string::npos) return Py_NewRef(shared.empty_str);
    const size_t last = text.find_last_not_of(kNewlines);
    return py::decode_utf8(std::string_view(text).substr(first, last - first + 1)).release();
}

// Writes `data` to `path` with the built-in open in "wb" mode, in one
// write() call, closing the file on every path. The file reads the buffer
// through a memoryview, so a large document is not copied once more.
bool write_file(PyObject* path, std::string_view data) {
    Ref file = Ref::steal(PyObject_CallFunction(shared.builtin_open, "Os", path, "wb"));
    if (!file) return false;
    Ref view = Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(data.data()),
                                                  static_cast<Py_ssize_t>(data.size()), PyBUF_READ));
    Ref written;
    if (view) {
        written = Ref::steal(PyObject_CallMethod(file.get(), "write", "O", view.get()));
        // The buffer goes away with this call: no view of it may outlive it.
        Ref released = Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr));
        if (!released && written) written.reset();
    }
    return py::close_file(file.get()) && written;
}

PyObject* doc_save(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"save",
                                   {"output_path", "class_indent_size", "field_indent_size", "field_size", "compact",
                                    "preserve_order", "include_timestamp"},
                                   1};
    Ref defaults[3] = {Ref::steal(PyLong_FromLong(0)), Ref::steal(PyLong_FromLong(4)), Ref::steal(PyLong_FromLong(24))};
    PyObject* given[7] = {nullptr, defaults[0].get(), defaults[1].get(), defaults[2].get(), Py_False, Py_False,
                          Py_True};
    if (!given[1] || !given[2] || !given[3] || !params.parse(args, nargs, kwnames, given)) return nullptr;
    LayoutArgs layout;
    if (!parse_layout(given + 1, layout)) return nullptr;
    const int include_timestamp = PyObject_IsTrue(given[6]);
    if (include_timestamp < 0) return nullptr;
    IDFDoc* self = as_doc(obj);
    std::string text;
    try {
        text.append("! Generated using Tarvix.py\n");
        if (include_timestamp) text.append("! Saved at: ").append(shared.get_current_time()).append("\n");
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    const WriteOptions options{1, layout.preserve_order};
    self->methods->write_to_buffer(self, text, &layout.config, &options);
    if (!write_file(given[0], text)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* doc_repr(PyObject* obj) {
    IDFDoc* self = as_doc(obj);
    std::string text;
    self->methods->write_to_buffer(self, text, &shared.default_format_config, nullptr);
    return py::decode_utf8(text).release();
}

PyMethodDef doc_methods[] = {
    {"from_file", py::fastcall(doc_from_file), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_file($cls, /, idd, filepath, encoding=None)\n--\n\n"
     "Parse IDF file\n\n"
     "Args:\n"
     "    idd (IDD): schema the document is written against\n"
     "    filepath (str | PathLike): IDF file path\n"
     "    encoding (str, optional): IDF file encoding\n\n"
     "Returns:\n"
     "    IDF: parsed IDF document\n"},
    {"from_string", py::fastcall(doc_from_string), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_string($cls, /, idd, content)\n--\n\n"
     "Parse IDF from string\n\n"
     "Args:\n"
     "    idd (IDD): schema the document is written against\n"
     "    content (str): IDF string\n\n"
     "Returns:\n"
     "    IDF: parsed IDF document\n"},
    {"get_objects", py::fastcall(doc_get_objects), METH_FASTCALL | METH_KEYWORDS,
     "get_objects($self, /, class_name)\n--\n\n"
     "Get tuple of IDFObjects from class name.\n"
     "Alias of IDF[class_name]\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n\n"
     "Returns:\n"
     "    IDFObjectTuple: the class's objects in creation order\n"},
    {"get_object_by_name", py::fastcall(doc_get_object_by_name), METH_FASTCALL | METH_KEYWORDS,
     "get_object_by_name($self, /, class_name, obj_name)\n--\n\n"
     "Get object by first field (likely name)\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n"
     "    obj_name (str): value of the first field (case-insensitive)\n\n"
     "Returns:\n"
     "    IDFObject | None: the first object whose first field matches\n"},
    {"get_class_names", doc_get_class_names, METH_NOARGS,
     "get_class_names($self, /)\n--\n\n"
     "Get list of class names\n\n"
     "Returns:\n"
     "    list[str]: every class with at least one object, in no particular order\n"},
    {"add_object", py::fastcall(doc_add_object), METH_FASTCALL | METH_KEYWORDS,
     "add_object($self, /, class_name, initial_values=None, default_values=True)\n--\n\n"
     "Add object to IDF\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n"
     "    initial_values (None | list | dict): [value] or {field_idx: value} or {field_name: value}\n"
     "    default_values (bool): Whether to include default values\n\n"
     "Returns:\n"
     "    IDFObject: the new object\n"},
    {"remove_object", py::fastcall(doc_remove_object), METH_FASTCALL | METH_KEYWORDS,
     "remove_object($self, /, obj)\n--\n\n"
     "Remove object from IDF\n\n"
     "Args:\n"
     "    obj (IDFObject): an object of this document\n"},
    {"remove_all_objects", py::fastcall(doc_remove_all_objects), METH_FASTCALL | METH_KEYWORDS,
     "remove_all_objects($self, /, class_name)\n--\n\n"
     "Remove all objects of a certain class from IDF\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n\n"
     "Returns:\n"
     "    int: Number of objects removed. 0 if class was not found.\n"},
    {"__reduce__", doc_reduce, METH_NOARGS, nullptr},
    {"__setstate__", doc_setstate, METH_O, nullptr},
    {"format", py::fastcall(doc_format), METH_FASTCALL | METH_KEYWORDS,
     "format($self, /, class_indent_size=0, field_indent_size=4, field_size=24, compact=False, "
     "preserve_order=False)\n--\n\n"
     "Convert IDF to str with format config\n\n"
     "Args:\n"
     "    class_indent_size (int): Indent for class names\n"
     "    field_indent_size (int): Indent for fields\n"
     "    field_size (int): Minimum size for field values\n"
     "    compact (bool): Whether to enable compact output. Overrides other style settings\n"
     "    preserve_order (bool): Whether to preserve object order\n\n"
     "Returns:\n"
     "    str: IDF str\n"},
    {"save", py::fastcall(doc_save), METH_FASTCALL | METH_KEYWORDS,
     "save($self, /, output_path, class_indent_size=0, field_indent_size=4, field_size=24, compact=False, "
     "preserve_order=False, include_timestamp=True)\n--\n\n"
     "Convert IDF to str with format config\n\n"
     "Writes a generated header, then the document, to output_path in one write.\n\n"
     "Args:\n"
     "    output_path (str | PathLike): Output file path\n"
     "    class_indent_size (int): Indent for class names\n"
     "    field_indent_size (int): Indent for fields\n"
     "    field_size (int): Minimum size for field values\n"
     "    compact (bool): Whether to enable compact output. Overrides other style settings\n"
     "    preserve_order (bool): Whether to preserve object order\n"
     "    include_timestamp (bool): Whether to include timestamp\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMappingMethods doc_as_mapping = {nullptr, doc_subscript, nullptr};

PySequenceMethods doc_as_sequence = [] {
    PySequenceMethods methods{};
    methods.sq_item = doc_sq_item;
    return methods;
}();

}  // namespace

const IDFMethods idf_methods = {
    doc_register_target, doc_register_referencer, doc_unregister_target, doc_unregister_referencer,
    doc_c_init,          doc_build_objects,       doc_get_objects_raw,   doc_write_to_buffer,
};

void setup_idf_type() {
    PyTypeObject& type = IDFDocType;
    type.tp_name = "tarvix.idf.IDF";
    type.tp_basicsize = sizeof(IDFDoc);
    type.tp_dealloc = doc_dealloc;
    type.tp_repr = doc_repr;
    type.tp_as_sequence = &doc_as_sequence;
    type.tp_as_mapping = &doc_as_mapping;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type.tp_doc = "An IDF document: its objects, indexed by class and linked by references.";
    type.tp_traverse = doc_traverse;
    type.tp_clear = doc_clear;
    type.tp_methods = doc_methods;
    type.tp_init = doc_init;
    type.tp_new = doc_new;
}

}  // namespace tarvix::idf
