// IDFObject: one object of a document (or a detached one), its values held
// as text and converted to int, float, str or None when read. Every write
// goes through set_string_by_index, which keeps the owning document's
// reference graph in step.
#include <algorithm>
#include <memory>
#include <new>

#include "py/idf.h"

namespace tarvix::idf {

using py::Ref;

PyTypeObject IDFObjType = py::new_static_type();

namespace {

constexpr const char* kNotInitialized = "IDFObject is not initialized";

// Bytes that would split a value or cut it short when the document is
// written back.
constexpr std::string_view kForbiddenInValue = ",;!\n\r";

}  // namespace

const ClassDef* require_class_def(IDFObj* self) {
    if (const ClassDef* cls = class_def_of(self)) return cls;
    if (!is_idd(self->idd))
        PyErr_SetString(PyExc_RuntimeError, kNotInitialized);
    else
        PyErr_Format(PyExc_ValueError, "Class index out of bounds: %zu", self->class_idx);
    return nullptr;
}

void register_field_value(IDFDoc* doc, const FieldDef& field, std::string_view value, size_t obj_idx,
                          int32_t field_idx) {
    for (const std::string& tag : field.references) doc->methods->register_target(doc, tag, value, obj_idx, field_idx);
    for (const std::string& tag : field.object_lists)
        doc->methods->register_referencer(doc, tag, value, obj_idx, field_idx);
}

void unregister_field_value(IDFDoc* doc, const FieldDef& field, std::string_view value, size_t obj_idx,
                            int32_t field_idx) {
    for (const std::string& tag : field.references)
        doc->methods->unregister_target(doc, tag, value, obj_idx, field_idx);
    for (const std::string& tag : field.object_lists)
        doc->methods->unregister_referencer(doc, tag, value, obj_idx, field_idx);
}

void unregister_all_values(IDFDoc* doc, IDFObj* obj, const ClassDef* cls) {
    if (!cls) return;
    for (size_t i = 0; i < obj->values.size(); ++i) {
        const std::string_view value = obj->values[i];
        if (value.empty()) continue;
        if (const FieldDef* field = shared.get_field_def(cls, i))
            unregister_field_value(doc, *field, value, obj->obj_idx, static_cast<int32_t>(i));
    }
}

PyObject* convert_field_value(const FieldDef* field, std::string_view val) {
    if (!field) return py::decode_utf8(val).release();
    const bool numeric = field->field_type == idd::FIELDTYPE_INTEGER || field->field_type == idd::FIELDTYPE_REAL;
    if (val.empty()) return numeric ? Py_NewRef(Py_None) : Py_NewRef(shared.empty_str);
    if (field->autosizable && val.size() == 8 && equal_fold(val, "autosize")) return Py_NewRef(shared.autosize);
    if (field->autocalculatable && val.size() == 13 && equal_fold(val, "autocalculate"))
        return Py_NewRef(shared.autocalculate);
    if (field->field_type == idd::FIELDTYPE_INTEGER) {
        bool out_of_range = false;
        if (const std::optional<long> number = read_integer(val, out_of_range)) {
            if (!out_of_range) return PyLong_FromLong(*number);
            // Beyond the machine's long: read the digits exactly rather than
            // handing back a clamped number that was never in the document.
            const std::string text(val);
            return PyLong_FromString(text.c_str(), nullptr, 10);
        }
    } else if (field->field_type == idd::FIELDTYPE_REAL) {
        if (const std::optional<double> number = read_real(val)) return PyFloat_FromDouble(*number);
    }
    return py::decode_utf8(val).release();
}

namespace {

IDFObj* as_object(PyObject* obj) { return reinterpret_cast<IDFObj*>(obj); }

// ---------------------------------------------------------------------------
// Native methods

const ClassDef* object_get_class_def(IDFObj* self) { return class_def_of(self); }

int object_c_init(IDFObj* self, PyObject* idd, PyObject* parent_idf, size_t class_idx, FieldValues& values) {
    Py_XSETREF(self->idd, Py_NewRef(idd));
    Py_XSETREF(self->parent_idf, Py_NewRef(parent_idf));
    const idd::c_IDD* schema = schema_of(idd);
    if (!schema || class_idx >= schema->ordered_classes.size()) {
        PyErr_Format(PyExc_ValueError, "Class index out of bounds: %zu", class_idx);
        return -1;
    }
    const ClassDef& cls = schema->ordered_classes[class_idx];
    Ref name = py::decode_utf8(cls.name);
    if (!name) return -1;
    try {
        self->c_class_name = cls.name;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    self->class_idx = class_idx;
    Py_XSETREF(self->class_name, name.release());
    self->values = std::move(values);
    values.clear();
    return 0;
}

int object_set_string_by_index(IDFObj* self, int32_t field_idx, std::string_view value) {
    if (field_idx < 0) {
        PyErr_SetString(PyExc_IndexError, "Field index should be >= 0.");
        return -1;
    }
    const auto index = static_cast<size_t>(field_idx);
    const size_t count = self->values.size();
    if (index < count && self->values[index] == value) return 0;
    if (index >= count && value.empty()) return 0;
    std::string old;
    try {
        if (index >= count) self->values.resize(index + 1);
        old.assign(self->values[index]);
        self->values.set(index, value);
    } catch (const std::exception&) {
        PyErr_NoMemory();
        return -1;
    }
    // The graph follows the stored text; it is updated once the store has
    // succeeded, so a failed store leaves both as they were.
    IDFDoc* doc = parent_of(self);
    const ClassDef* cls = class_def_of(self);
    const FieldDef* field = (doc && cls) ? shared.get_field_def(cls, index) : nullptr;
    if (field) {
        if (!old.empty()) unregister_field_value(doc, *field, old, self->obj_idx, field_idx);
        if (!value.empty()) register_field_value(doc, *field, value, self->obj_idx, field_idx);
    }
    return 0;
}

int object_set_by_index(IDFObj* self, int32_t field_idx, PyObject* value) {
    std::string text;
    if (value != Py_None) {
        const int empty = PyObject_RichCompareBool(value, shared.empty_str, Py_EQ);
        if (empty < 0) return -1;
        if (!empty) {
            text = shared.any_to_string(value);
            if (PyErr_Occurred()) return -1;
        }
    }
    if (text.find_first_of(kForbiddenInValue) != std::string::npos) {
        Ref shown = py::decode_utf8(text);
        if (shown)
            PyErr_Format(PyExc_ValueError, "Field value cannot contain ',', ';', '!' or a line break: %R",
                         shown.get());
        return -1;
    }
    return self->methods->set_string_by_index(self, field_idx, text);
}

void object_trim_trailing_empty_fields(IDFObj* self) {
    while (!self->values.empty() && self->values.back().empty()) self->values.pop_back();
}

void object_write_to_buffer(IDFObj* self, std::string& out_buffer, const FormatConfig* config) {
    try {
        write_object_text(out_buffer, *config, self->c_class_name, self->values, class_def_of(self),
                          shared.get_field_name);
    } catch (const std::exception&) {
        py::report_unraisable("tarvix.idf.IDFObject.write_to_buffer");
    }
}

// ---------------------------------------------------------------------------
// Type slots

PyObject* object_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = as_object(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->methods = &idf_object_methods;
    self->idd = Py_NewRef(Py_None);
    self->parent_idf = Py_NewRef(Py_None);
    self->class_idx = 0;
    new (&self->c_class_name) std::string();
    self->class_name = Py_NewRef(Py_None);
    new (&self->values) FieldValues();
    self->obj_idx = 0;
    return reinterpret_cast<PyObject*>(self);
}

int object_traverse(PyObject* obj, visitproc visit, void* arg) {
    IDFObj* self = as_object(obj);
    Py_VISIT(self->idd);
    Py_VISIT(self->parent_idf);
    return 0;
}

int object_clear(PyObject* obj) {
    IDFObj* self = as_object(obj);
    Py_XSETREF(self->idd, Py_NewRef(Py_None));
    Py_XSETREF(self->parent_idf, Py_NewRef(Py_None));
    return 0;
}

void object_dealloc(PyObject* obj) {
    IDFObj* self = as_object(obj);
    PyObject_GC_UnTrack(obj);
    Py_CLEAR(self->idd);
    Py_CLEAR(self->parent_idf);
    Py_CLEAR(self->class_name);
    std::destroy_at(&self->c_class_name);
    std::destroy_at(&self->values);
    Py_TYPE(obj)->tp_free(obj);
}

// IDFObject(idd, class_name): a detached object with min_fields empty values.
int object_init(PyObject* obj, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"idd", "class_name", nullptr};
    PyObject* idd = nullptr;
    PyObject* class_name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:IDFObject", const_cast<char**>(names), &idd, &class_name))
        return -1;
    if (!py::check_instance(idd, shared.idd_type, "idd") || !py::check_str_or_none(class_name, "class_name"))
        return -1;
    // Re-initialising an object of a document would change it behind the
    // document's index and reference graph.
    if (parent_of(as_object(obj))) {
        PyErr_SetString(PyExc_RuntimeError,
                        "IDFObject belongs to an IDF and cannot be initialized again; remove it first");
        return -1;
    }
    std::string_view name;
    if (!py::str_utf8(class_name, name)) return -1;
    const idd::c_IDD& schema = reinterpret_cast<IDDObject*>(idd)->c_idd;
    try {
        const auto found = schema.class_map.find(to_upper(std::string(name)));
        if (found == schema.class_map.end()) {
            PyErr_Format(PyExc_ValueError, "Unknown class: '%U'", class_name);
            return -1;
        }
        FieldValues values;
        const ClassDef& cls = schema.ordered_classes.at(found->second);
        if (cls.min_fields > 0) values.resize(static_cast<size_t>(cls.min_fields));
        IDFObj* self = as_object(obj);
        return self->methods->c_init(self, idd, Py_None, found->second, values);
    } catch (const std::exception&) {
        PyErr_NoMemory();
        return -1;
    }
}

PyObject* object_getitem(PyObject* obj, PyObject* key) {
    IDFObj* self = as_object(obj);
    const ClassDef* cls = require_class_def(self);
    if (!cls) return nullptr;
    const int32_t index = shared.resolve_key_to_field_index(cls, key);
    if (index < 0) return nullptr;
    const FieldDef* field = shared.get_field_def(cls, static_cast<size_t>(index));
    const auto i = static_cast<size_t>(index);
    return convert_field_value(field, i < self->values.size() ? self->values[i] : std::string_view());
}

int object_setitem(PyObject* obj, PyObject* key, PyObject* value) {
    if (!value) {
        PyErr_Format(PyExc_NotImplementedError, "Subscript %.10s not supported by %.200s", "deletion",
                     "tarvix.idf.IDFObject");
        return -1;
    }
    IDFObj* self = as_object(obj);
    const ClassDef* cls = require_class_def(self);
    if (!cls) return -1;
    const int32_t index = shared.resolve_key_to_field_index(cls, key);
    if (index < 0) return -1;
    if (self->methods->set_by_index(self, index, value) < 0) return -1;
    self->methods->trim_trailing_empty_fields(self);
    return 0;
}

PyObject* object_sq_item(PyObject* obj, Py_ssize_t index) {
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return key ? object_getitem(obj, key.get()) : nullptr;
}

int object_sq_ass_item(PyObject* obj, Py_ssize_t index, PyObject* value) {
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return key ? object_setitem(obj, key.get(), value) : -1;
}

// Iterates obj[i] over the class's stored fields, or, for a class with a
// repeating group, over the stored values when there are more of them.
PyObject* object_iter(PyObject* obj) {
    IDFObj* self = as_object(obj);
    const ClassDef* cls = require_class_def(self);
    if (!cls) return nullptr;
    size_t count = cls->fields.size();
    if (cls->extensible.is_extensible) count = std::max(count, self->values.size());
    Ref items = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!items) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        PyObject* item = object_sq_item(obj, static_cast<Py_ssize_t>(i));
        if (!item) return nullptr;
        PyList_SET_ITEM(items.get(), static_cast<Py_ssize_t>(i), item);
    }
    return PyObject_GetIter(items.get());
}

PyObject* object_get_class_name(PyObject* obj, void*) { return Py_NewRef(as_object(obj)->class_name); }

PyObject* object_repr(PyObject* obj) {
    IDFObj* self = as_object(obj);
    std::string text;
    self->methods->write_to_buffer(self, text, &shared.default_format_config);
    return py::decode_utf8(text).release();
}

// ---------------------------------------------------------------------------
// Python methods

PyObject* object_get_values(PyObject* obj, PyObject*) {
    IDFObj* self = as_object(obj);
    const ClassDef* cls = require_class_def(self);
    if (!cls) return nullptr;
    const size_t count = self->values.size();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        PyObject* value = convert_field_value(shared.get_field_def(cls, i), self->values[i]);
        if (!value) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    return list.release();
}

PyObject* object_update(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"update", {"values", "trim_empty_trails"}, 1};
    PyObject* given[2] = {nullptr, Py_True};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    const int trim = PyObject_IsTrue(given[1]);
    if (trim < 0) return nullptr;
    PyObject* values = given[0];
    if (values == Py_None) Py_RETURN_NONE;
    IDFObj* self = as_object(obj);
    const ClassDef* cls = require_class_def(self);
    if (!cls) return nullptr;

    // Every key is resolved before anything is written. The pending values
    // are held strongly: converting one may run code that changes the
    // collection.
    struct Pending {
        int32_t index;
        Ref value;
    };
    std::vector<Pending> pending;
    int32_t max_idx = -1;
    auto add = [&](PyObject* key, PyObject* value) {
        const int32_t index = shared.resolve_key_to_field_index(cls, key);
        if (index < 0) return false;
        pending.push_back({index, Ref::borrow(value)});
        max_idx = std::max(max_idx, index);
        return true;
    };
    try {
        if (PyList_Check(values)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
                Ref position = Ref::steal(PyLong_FromSsize_t(i));
                if (!position || !add(position.get(), PyList_GET_ITEM(values, i))) return nullptr;
            }
        } else if (PyDict_Check(values)) {
            Ref items = Ref::steal(PyDict_Items(values));
            if (!items) return nullptr;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
                PyObject* item = PyList_GET_ITEM(items.get(), i);
                if (!add(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1))) return nullptr;
            }
        } else {
            Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(values)));
            if (type_name)
                PyErr_Format(PyExc_TypeError, "Invalid values type: %U. Expected list or dict", type_name.get());
            return nullptr;
        }
        if (max_idx >= 0 && static_cast<size_t>(max_idx) >= self->values.size())
            self->values.reserve(static_cast<size_t>(max_idx) + 1);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    for (const Pending& item : pending)
        if (self->methods->set_by_index(self, item.index, item.value.get()) < 0) return nullptr;
    if (trim) self->methods->trim_trailing_empty_fields(self);
    Py_RETURN_NONE;
}

// Resolves the key and returns the field's definition and value; false with
// an exception set when the key does not name a field.
bool field_for_query(IDFObj* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* name,
                     const FieldDef*& field, int32_t& index) {
    const py::Params params{name, {"key"}, 1};
    PyObject* given[1] = {nullptr};
    if (!params.parse(args, nargs, kwnames, given)) return false;
    const ClassDef* cls = require_class_def(self);
    if (!cls) return false;
    index = shared.resolve_key_to_field_index(cls, given[0]);
    if (index < 0) return false;
    field = shared.get_field_def(cls, static_cast<size_t>(index));
    return true;
}

PyObject* object_get_referenced_object(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    IDFObj* self = as_object(obj);
    const FieldDef* field = nullptr;
    int32_t index = 0;
    if (!field_for_query(self, args, nargs, kwnames, "get_referenced_object", field, index)) return nullptr;
    IDFDoc* doc = parent_of(self);
    const auto i = static_cast<size_t>(index);
    if (!field || !doc || i >= self->values.size() || self->values[i].empty()) Py_RETURN_NONE;
    try {
        for (const std::string& tag : field->object_lists) {
            const std::vector<FieldLoc>* locs = find_refs(doc->targets, tag, self->values[i]);
            if (!locs) continue;
            for (const FieldLoc& loc : *locs)
                if (IDFObj* target = object_at(doc, loc.obj_idx)) return Py_NewRef(reinterpret_cast<PyObject*>(target));
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

PyObject* object_get_referencing_objects(PyObject* obj, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    IDFObj* self = as_object(obj);
    const FieldDef* field = nullptr;
    int32_t index = 0;
    if (!field_for_query(self, args, nargs, kwnames, "get_referencing_objects", field, index)) return nullptr;
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    IDFDoc* doc = parent_of(self);
    const auto i = static_cast<size_t>(index);
    if (field && doc && i < self->values.size() && !self->values[i].empty()) {
        try {
            for (const std::string& tag : field->references) {
                const std::vector<FieldLoc>* locs = find_refs(doc->referencers, tag, self->values[i]);
                if (!locs) continue;
                for (const FieldLoc& loc : *locs) {
                    IDFObj* source = object_at(doc, loc.obj_idx);
                    if (source && PyList_Append(list.get(), reinterpret_cast<PyObject*>(source)) < 0) return nullptr;
                }
            }
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
    }
    return make_object_tuple(list.get());
}

PyMethodDef object_methods[] = {
    {"__reduce__", object_reduce, METH_NOARGS, nullptr},
    {"__setstate__", object_setstate, METH_O, nullptr},
    {"get_values", object_get_values, METH_NOARGS,
     "get_values($self, /)\n--\n\n"
     "Get all field values as list\n\n"
     "Returns:\n"
     "    list: typed value of every stored field, in order\n"},
    {"update", py::fastcall(object_update), METH_FASTCALL | METH_KEYWORDS,
     "update($self, /, values, trim_empty_trails=True)\n--\n\n"
     "Update multiple field values\n\n"
     "Every key is checked before any field changes.\n\n"
     "Args:\n"
     "    values (None | list | dict): [value] or {field_idx: value} or {field_name: value}\n"
     "    trim_empty_trails (bool): Whether to drop empty values at the end afterwards\n"},
    {"get_referenced_object", py::fastcall(object_get_referenced_object), METH_FASTCALL | METH_KEYWORDS,
     "get_referenced_object($self, /, key)\n--\n\n"
     "Return objects referenced by this object.\n\n"
     "Example: a surface's zone-name field references a zone.\n\n"
     "Args:\n"
     "    key (int | str): field index or field name (case-insensitive)\n\n"
     "Returns:\n"
     "    IDFObject | None: the object whose name this field holds, or None\n"},
    {"get_referencing_objects", py::fastcall(object_get_referencing_objects), METH_FASTCALL | METH_KEYWORDS,
     "get_referencing_objects($self, /, key)\n--\n\n"
     "Return objects that are referencing this object.\n\n"
     "Example: a zone's name field is referenced by surfaces, people, lights and zone sizing objects.\n\n"
     "Args:\n"
     "    key (int | str): field index or field name (case-insensitive)\n\n"
     "Returns:\n"
     "    IDFObjectTuple: the objects that name this field's value (possibly empty)\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef object_getset[] = {
    {"class_name", object_get_class_name, nullptr, "Class name as the schema spells it", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMappingMethods object_as_mapping = {nullptr, object_getitem, object_setitem};

PySequenceMethods object_as_sequence = [] {
    PySequenceMethods methods{};
    methods.sq_item = object_sq_item;
    methods.sq_ass_item = object_sq_ass_item;
    return methods;
}();

}  // namespace

const IDFObjMethods idf_object_methods = {
    object_get_class_def, object_c_init, object_set_string_by_index, object_set_by_index,
    object_trim_trailing_empty_fields, object_write_to_buffer,
};

void setup_idf_object_type() {
    PyTypeObject& type = IDFObjType;
    type.tp_name = "tarvix.idf.IDFObject";
    type.tp_basicsize = sizeof(IDFObj);
    type.tp_dealloc = object_dealloc;
    type.tp_repr = object_repr;
    type.tp_as_sequence = &object_as_sequence;
    type.tp_as_mapping = &object_as_mapping;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type.tp_doc = "One object of an IDF document: a schema class and its field values.";
    type.tp_traverse = object_traverse;
    type.tp_clear = object_clear;
    type.tp_iter = object_iter;
    type.tp_methods = object_methods;
    type.tp_getset = object_getset;
    type.tp_init = object_init;
    type.tp_new = object_new;
}

}  // namespace tarvix::idf
