// IDFObject: one object of a document (or a detached one), its values held
// as text and converted to int, float, str or None when read. An object of a
// document reads its values from the document's slot; every write goes
// through set_string_by_index, which keeps the owning document's reference
// graph in step.
#include <algorithm>
#include <memory>
#include <new>

#include "py/idf_document.h"

namespace tarvix::idf {

using py::Ref;

PyTypeObject IDFObjType = py::new_static_type();

void raise_object_not_initialized() { PyErr_SetString(PyExc_RuntimeError, "IDFObject is not initialized"); }

void raise_class_index_out_of_bounds(size_t class_idx) {
    PyErr_Format(PyExc_ValueError, "Class index out of bounds: %zu", class_idx);
}

const ClassDef* require_class_def(IDFObj* self) {
    if (const ClassDef* cls = class_def_of(self)) return cls;
    if (!is_idd(self->idd))
        raise_object_not_initialized();
    else
        raise_class_index_out_of_bounds(self->class_idx);
    return nullptr;
}

bool check_written_text(std::string_view text) {
    if (can_be_value(text)) return true;
    Ref shown = py::decode_utf8(text);
    if (shown)
        PyErr_Format(PyExc_ValueError, "Field value cannot contain ',', ';', '!' or a line break: %R", shown.get());
    return false;
}

bool unbind(IDFObj* self) {
    if (!self->bound) return true;
    edit_fault_point();
    self->values = FieldValues(values_of(self));
    self->bound = false;
    return true;
}

int32_t require_name_field(const ClassDef& cls) {
    const int32_t index = name_field_index(cls);
    if (index >= 0) return index;
    Ref name = py::decode_utf8(cls.name);
    if (name) PyErr_Format(PyExc_ValueError, "%U has no name field that other objects can reference", name.get());
    return -1;
}

Ref convert_field_value(const FieldDef* field, std::string_view val) {
    if (!field) return py::decode_utf8(val);
    const bool numeric = field->field_type == FIELDTYPE_INTEGER || field->field_type == FIELDTYPE_REAL;
    if (val.empty()) return Ref::borrow(numeric ? Py_None : shared.empty_str);
    if (field->autosizable && val.size() == 8 && equal_fold(val, "autosize")) return Ref::borrow(shared.autosize);
    if (field->autocalculatable && val.size() == 13 && equal_fold(val, "autocalculate"))
        return Ref::borrow(shared.autocalculate);
    if (field->field_type == FIELDTYPE_INTEGER) {
        bool out_of_range = false;
        if (const std::optional<long> number = read_integer(val, out_of_range)) {
            if (!out_of_range) return Ref::steal(PyLong_FromLong(*number));
            // Beyond the machine's long: read the digits exactly rather than
            // handing back a clamped number that was never in the document.
            // More digits than the interpreter converts read as the text.
            std::string text;
            text.assign(val);
            Ref number_object = Ref::steal(PyLong_FromString(text.c_str(), nullptr, 10));
            if (number_object || !PyErr_ExceptionMatches(PyExc_ValueError)) return number_object;
            PyErr_Clear();
        }
    } else if (field->field_type == FIELDTYPE_REAL) {
        if (const std::optional<double> number = read_real(val)) return Ref::steal(PyFloat_FromDouble(*number));
    }
    return py::decode_utf8(val);
}

// ---------------------------------------------------------------------------
// Native methods

int object_c_init(IDFObj* self, PyObject* idd, PyObject* parent_idf, size_t class_idx, FieldValues& values) {
    self->bound = false;  // the values given here are the object's own
    Py_XSETREF(self->idd, Py_NewRef(idd));
    Py_XSETREF(self->parent_idf, Py_NewRef(parent_idf));
    const c_IDD* schema = schema_of(idd);
    if (!schema || class_idx >= schema->ordered_classes.size()) {
        raise_class_index_out_of_bounds(class_idx);
        return -1;
    }
    const ClassDef& cls = schema->ordered_classes[class_idx];
    Ref name = py::decode_utf8(cls.name);
    if (!name) return -1;
    self->c_class_name = cls.name;
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
    // Only the object that sits in its document's slot changes the
    // document's graph; any other changes its own values only.
    IDFDoc* parent = parent_of(self);
    if (!check_not_validating(parent)) return -1;
    const bool graph = parent && sits_in_parent(self);
    if (self->bound && parent)
        parent->doc.set_value(self->obj_idx, index, value, class_def_of(self), graph);
    else
        write_value(self->values, index, value, class_def_of(self), graph ? &parent->doc : nullptr, self->obj_idx);
    return 0;
}

namespace {

const ClassDef* object_get_class_def(IDFObj* self) { return class_def_of(self); }

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
    if (!check_written_text(text)) return -1;
    return object_set_string_by_index(self, field_idx, text);
}

void object_trim_trailing_empty_fields(IDFObj* self) {
    if (self->bound) {
        // Trimming changes no value; it waits while a check reads the values.
        if (IDFDoc* parent = parent_of(self); parent && parent->validating == 0) parent->doc.trim(self->obj_idx);
        return;
    }
    while (!self->values.empty() && self->values.back().empty()) self->values.pop_back();
}

void object_write_to_buffer(IDFObj* self, std::string& out_buffer, const FormatConfig* config) {
    const py::DeferredFailures deferred;
    try {
        write_object_text(out_buffer, *config, ObjectView{class_def_of(self), self->c_class_name, values_of(self)});
    } catch (const std::exception&) {
        report_internal_failure(FailureSite::write_object_to_buffer);
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
    self->bound = false;
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
    self->bound = false;  // the document goes: the values read from it go with it
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
    if (!py::check_instance(idd, shared.idd_type, "idd") || !py::check_str_or_none(class_name, "class_name")) return -1;
    // Re-initialising an object of a document would change it behind the
    // document's index and reference graph.
    if (parent_of(as_object(obj))) {
        PyErr_SetString(PyExc_RuntimeError,
                        "IDFObject belongs to an IDF and cannot be initialized again; remove it first");
        return -1;
    }
    std::string_view name;
    if (!py::str_utf8(class_name, name)) return -1;
    const c_IDD& schema = reinterpret_cast<IDDObject*>(idd)->c_idd;
    const std::optional<uint32_t> found = find_class_index(schema, name);
    if (!found) {
        PyErr_Format(PyExc_ValueError, "Unknown class: '%U'", class_name);
        return -1;
    }
    FieldValues values;
    const ClassDef& cls = schema.ordered_classes.at(*found);
    if (cls.min_fields > 0) values.resize(static_cast<size_t>(cls.min_fields));
    IDFObj* self = as_object(obj);
    return object_c_init(self, idd, Py_None, *found, values);
}

PyObject* object_getitem(PyObject* obj, PyObject* key) {
    IDFObj* self = as_object(obj);
    const ClassDef* cls = require_class_def(self);
    if (!cls) return nullptr;
    const int32_t index = shared.resolve_key_to_field_index(cls, key);
    if (index < 0) return nullptr;
    const FieldDef* field = get_field_def(cls, static_cast<size_t>(index));
    return convert_field_value(field, values_of(self).at_or_empty(static_cast<size_t>(index))).release();
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
    if (object_set_by_index(self, index, value) < 0) return -1;
    object_trim_trailing_empty_fields(self);
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
    if (cls->extensible.is_extensible) count = std::max(count, values_of(self).size());
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

// The names of the stored fields, those of repeating groups numbered.
PyObject* object_get_field_names(PyObject* obj, void*) {
    IDFObj* self = as_object(obj);
    const ClassDef* cls = require_class_def(self);
    if (!cls) return nullptr;
    const Ref keep_schema = Ref::borrow(self->idd);  // `cls` lives in it
    const size_t count = std::min(values_of(self).size(), static_cast<size_t>(INT32_MAX));
    Ref names = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!names) return nullptr;
    const py::DeferredFailures deferred;  // a group without fields is reported once the names are made
    for (size_t i = 0; i < count; ++i) {
        Ref name;
        name = py::decode_utf8(shared.get_field_name(cls, static_cast<int32_t>(i), false));
        if (!name) return nullptr;
        PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name.release());
    }
    return names.release();
}

PyObject* object_repr(PyObject* obj) {
    IDFObj* self = as_object(obj);
    std::string text;
    object_write_to_buffer(self, text, &shared.default_format_config);
    return py::decode_utf8(text).release();
}

// ---------------------------------------------------------------------------
// Python methods

PyObject* object_get_values(PyObject* obj, PyObject*) {
    IDFObj* self = as_object(obj);
    const ClassDef* cls = require_class_def(self);
    if (!cls) return nullptr;
    const size_t count = values_of(self).size();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        // Read again each time: making a value may run the cycle collector.
        const ValuesView values = values_of(self);
        Ref value = convert_field_value(get_field_def(cls, i), values.at_or_empty(i));
        if (!value) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value.release());
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
        if (type_name) PyErr_Format(PyExc_TypeError, "Invalid values type: %U. Expected list or dict", type_name.get());
        return nullptr;
    }
    if (max_idx >= 0 && static_cast<size_t>(max_idx) >= values_of(self).size()) {
        const auto wanted = static_cast<size_t>(max_idx) + 1;
        if (!self->bound)
            self->values.reserve(wanted);
        else if (IDFDoc* parent = parent_of(self)) {
            if (!check_not_validating(parent)) return nullptr;
            parent->doc.reserve_values(self->obj_idx, wanted);
        }
    }
    for (const Pending& item : pending)
        if (object_set_by_index(self, item.index, item.value.get()) < 0) return nullptr;
    if (trim) object_trim_trailing_empty_fields(self);
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
    field = get_field_def(cls, static_cast<size_t>(index));
    return true;
}

// The value of a queried field when the object has a document and the
// field can name something; false (nothing to look up) otherwise. The value
// is copied: making objects may run code that changes the object.
bool query_value(IDFObj* self, const FieldDef* field, int32_t index, IDFDoc*& doc, std::string& value) {
    doc = parent_of(self);
    const ValuesView values = values_of(self);
    const auto i = static_cast<size_t>(index);
    if (!field || !doc || i >= values.size() || values[i].empty()) return false;
    value.assign(values[i]);
    return true;
}

PyObject* object_get_referenced_object(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    IDFObj* self = as_object(obj);
    const FieldDef* field = nullptr;
    int32_t index = 0;
    if (!field_for_query(self, args, nargs, kwnames, "get_referenced_object", field, index)) return nullptr;
    IDFDoc* doc = nullptr;
    std::string value;
    const Ref keep = Ref::borrow(obj);
    if (!query_value(self, field, index, doc, value)) Py_RETURN_NONE;
    const Ref keep_doc = Ref::borrow(reinterpret_cast<PyObject*>(doc));
    const size_t slot = with_host(doc, Reach::any_object,
                                  [&](const SlotHost& host) { return doc->doc.first_target(host, *field, value); });
    Ref found;
    if (!object_at(doc, slot, found)) return nullptr;
    return found ? found.release() : Py_NewRef(Py_None);
}

PyObject* object_get_referencing_objects(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    IDFObj* self = as_object(obj);
    const FieldDef* field = nullptr;
    int32_t index = 0;
    if (!field_for_query(self, args, nargs, kwnames, "get_referencing_objects", field, index)) return nullptr;
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    IDFDoc* doc = nullptr;
    std::string value;
    const Ref keep = Ref::borrow(obj);
    if (query_value(self, field, index, doc, value)) {
        const Ref keep_doc = Ref::borrow(reinterpret_cast<PyObject*>(doc));
        std::vector<size_t> slots;
        with_host(doc, Reach::any_object,
                  [&](const SlotHost& host) { doc->doc.referencing(host, *field, value, slots); });
        const py::GcPause gc_pause;
        for (const size_t slot : slots) {
            Ref source;
            if (!object_at(doc, slot, source)) return nullptr;
            if (source && PyList_Append(list.get(), source.get()) < 0) return nullptr;
        }
    }
    return make_object_tuple(list.get()).release();
}

// Refuses (ValueError) a name that another object of the document already
// holds in a field registered under one of the name field's reference tags:
// renaming onto it would make every reference name both.
bool check_name_free(IDFObj* self, IDFDoc* doc, const FieldDef& field, std::string_view name) {
    const std::optional<FieldLoc> holder = with_host(doc, Reach::sitting, [&](const SlotHost& host) {
        return doc->doc.name_holder(host, field, name, self->obj_idx);
    });
    if (!holder) return true;
    ObjectView other;
    with_host(doc, Reach::sitting, [&](const SlotHost& host) { host.view(holder->obj_idx, other); });
    Ref holder_class = py::decode_utf8(other.class_name);
    Ref text = holder_class ? py::decode_utf8(other.values.at_or_empty(static_cast<size_t>(holder->field_idx))) : Ref();
    if (text) PyErr_Format(PyExc_ValueError, "%U '%U' already exists", holder_class.get(), text.get());
    return false;
}

PyObject* object_rename(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"rename", {"new_name"}, 1};
    PyObject* given[1] = {nullptr};
    if (!params.parse(args, nargs, kwnames, given) || !py::check_str(given[0], "new_name")) return nullptr;
    IDFObj* self = as_object(obj);
    const ClassDef* cls = require_class_def(self);
    if (!cls) return nullptr;
    const int32_t name_idx = require_name_field(*cls);
    if (name_idx < 0) return nullptr;
    // Every refusal comes before the first write.
    std::string_view new_name;
    if (!py::str_utf8(given[0], new_name) || !check_written_text(new_name)) return nullptr;
    // Blanks alone name nothing: refused as the empty name is.
    if (new_name.find_first_not_of(kWhitespace) == std::string_view::npos) {
        PyErr_SetString(PyExc_ValueError, "The new name cannot be empty");
        return nullptr;
    }
    IDFDoc* parent = parent_of(self);
    if (!check_not_validating(parent)) return nullptr;
    const auto index = static_cast<size_t>(name_idx);
    // Only the object in its document's slot is what the document's
    // references name; any other changes its own name alone.
    const bool in_document = parent && sits_in_parent(self);
    if (in_document && !equal_fold(values_of(self).at_or_empty(index), new_name)) {
        const FieldDef* field = get_field_def(cls, index);
        if (field && !check_name_free(self, parent, *field, new_name)) return nullptr;
    }
    if (!in_document) {
        if (object_set_string_by_index(self, name_idx, new_name) < 0) return nullptr;
        return PyLong_FromLong(0);
    }
    // No Python code runs from here on: the slots stay as they were checked.
    return PyLong_FromSize_t(with_host(parent, Reach::sitting, [&](SlotHost& host) {
        return parent->doc.rename(host, self->obj_idx, index, new_name);
    }));
}

PyMethodDef object_methods[] = {
    {"__reduce__", py::guarded<object_reduce, "tarvix.idf.IDFObject.__reduce__">, METH_NOARGS, nullptr},
    {"__setstate__", py::guarded<object_setstate, "tarvix.idf.IDFObject.__setstate__">, METH_O, nullptr},
    {"get_values", py::guarded<object_get_values, "tarvix.idf.IDFObject.get_values">, METH_NOARGS,
     "get_values($self, /)\n--\n\n"
     "Get all field values as list\n\n"
     "Returns:\n"
     "    list: typed value of every stored field, in order\n"},
    {"update", py::fastcall(py::guarded<object_update, "tarvix.idf.IDFObject.update">), METH_FASTCALL | METH_KEYWORDS,
     "update($self, /, values, trim_empty_trails=True)\n--\n\n"
     "Update multiple field values\n\n"
     "Every key is checked before any field changes.\n\n"
     "Args:\n"
     "    values (None | list | dict): [value] or {field_idx: value} or {field_name: value}\n"
     "    trim_empty_trails (bool): Whether to drop empty values at the end afterwards\n"},
    {"get_referenced_object",
     py::fastcall(py::guarded<object_get_referenced_object, "tarvix.idf.IDFObject.get_referenced_object">),
     METH_FASTCALL | METH_KEYWORDS,
     "get_referenced_object($self, /, key)\n--\n\n"
     "Return objects referenced by this object.\n\n"
     "Example: a surface's zone-name field references a zone.\n\n"
     "Args:\n"
     "    key (int | str): field index or field name (case-insensitive)\n\n"
     "Returns:\n"
     "    IDFObject | None: the object whose name this field holds, or None\n"},
    {"get_referencing_objects",
     py::fastcall(py::guarded<object_get_referencing_objects, "tarvix.idf.IDFObject.get_referencing_objects">),
     METH_FASTCALL | METH_KEYWORDS,
     "get_referencing_objects($self, /, key)\n--\n\n"
     "Return objects that are referencing this object.\n\n"
     "Example: a zone's name field is referenced by surfaces, people, lights and zone sizing objects.\n\n"
     "Args:\n"
     "    key (int | str): field index or field name (case-insensitive)\n\n"
     "Returns:\n"
     "    IDFObjectTuple: the objects that name this field's value (possibly empty)\n"},
    {"rename", py::fastcall(py::guarded<object_rename, "tarvix.idf.IDFObject.rename">), METH_FASTCALL | METH_KEYWORDS,
     "rename($self, /, new_name)\n--\n\n"
     "Rename the object and every field that refers to it by name\n\n"
     "Sets the name field (the class's first field that other objects can reference)\n"
     "and, in one step through the reference graph, every field of the document that\n"
     "refers to the old name (in any case). An object that is not in a document\n"
     "changes only its own name.\n\n"
     "Args:\n"
     "    new_name (str): the new name\n\n"
     "Returns:\n"
     "    int: the number of other fields changed\n\n"
     "Raises:\n"
     "    ValueError: the class has no name field; new_name is empty, contains ',', ';', '!' or a line\n"
     "        break, or is the name of another object of the document that the same references could name\n"
     "    MemoryError: the document is as it was\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef object_getset[] = {
    {"class_name", py::guarded<object_get_class_name, "tarvix.idf.IDFObject.class_name">, nullptr,
     "Class name as the schema spells it", nullptr},
    {"field_names", py::guarded<object_get_field_names, "tarvix.idf.IDFObject.field_names">, nullptr,
     "Names of the stored fields, in order (those of repeating groups numbered)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMappingMethods object_as_mapping = {nullptr, py::guarded<object_getitem, "tarvix.idf.IDFObject.__getitem__">,
                                      py::guarded<object_setitem, "tarvix.idf.IDFObject.__setitem__">};

PySequenceMethods object_as_sequence = [] {
    PySequenceMethods methods{};
    methods.sq_item = py::guarded<object_sq_item, "tarvix.idf.IDFObject.__getitem__">;
    methods.sq_ass_item = py::guarded<object_sq_ass_item, "tarvix.idf.IDFObject.__setitem__">;
    return methods;
}();

}  // namespace

const IDFObjMethods idf_object_methods = {
    object_get_class_def,
    py::guarded<object_c_init, "tarvix.idf.IDFObject.c_init">,
    py::guarded<object_set_string_by_index, "tarvix.idf.IDFObject.set_string_by_index">,
    py::guarded<object_set_by_index, "tarvix.idf.IDFObject.set_by_index">,
    object_trim_trailing_empty_fields,
    object_write_to_buffer,
};

void setup_idf_object_type() {
    PyTypeObject& type = IDFObjType;
    type.tp_name = "tarvix.idf.IDFObject";
    type.tp_basicsize = sizeof(IDFObj);
    type.tp_dealloc = object_dealloc;
    type.tp_repr = py::guarded<object_repr, "tarvix.idf.IDFObject.__repr__">;
    type.tp_as_sequence = &object_as_sequence;
    type.tp_as_mapping = &object_as_mapping;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type.tp_doc = "One object of an IDF document: a schema class and its field values.";
    type.tp_traverse = object_traverse;
    type.tp_clear = object_clear;
    type.tp_iter = py::guarded<object_iter, "tarvix.idf.IDFObject.__iter__">;
    type.tp_methods = object_methods;
    type.tp_getset = object_getset;
    type.tp_init = py::guarded<object_init, "tarvix.idf.IDFObject.__init__">;
    type.tp_new = object_new;
}

}  // namespace tarvix::idf
