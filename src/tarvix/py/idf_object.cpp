// IDFObject: one object of a document (or a detached one), its values held
// as text and converted to int, float, str or None when read. An object of a
// document reads its values from the document's slot; every write goes
// through set_string_by_index, which keeps the owning document's reference
// graph in step.
#include <algorithm>
#include <memory>
#include <new>

#include "py/idf.h"

namespace tarvix::idf {

using py::Ref;

PyTypeObject IDFObjType = py::new_static_type();

namespace {

IDFObj* as_object(PyObject* obj) { return reinterpret_cast<IDFObj*>(obj); }

// Bytes that would split a value or cut it short when the document is
// written back.
constexpr std::string_view kForbiddenInValue = ",;!\n\r";

}  // namespace

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
    if (text.find_first_of(kForbiddenInValue) == std::string_view::npos) return true;
    Ref shown = py::decode_utf8(text);
    if (shown)
        PyErr_Format(PyExc_ValueError, "Field value cannot contain ',', ';', '!' or a line break: %R", shown.get());
    return false;
}

bool unbind(IDFObj* self) {
    if (!self->bound) return true;
    try {
        edit_fault_point();
        self->values = FieldValues(values_of(self));
    } catch (const std::exception&) {
        PyErr_NoMemory();
        return false;
    }
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
    const bool numeric = field->field_type == idd::FIELDTYPE_INTEGER || field->field_type == idd::FIELDTYPE_REAL;
    if (val.empty()) return Ref::borrow(numeric ? Py_None : shared.empty_str);
    if (field->autosizable && val.size() == 8 && equal_fold(val, "autosize")) return Ref::borrow(shared.autosize);
    if (field->autocalculatable && val.size() == 13 && equal_fold(val, "autocalculate"))
        return Ref::borrow(shared.autocalculate);
    if (field->field_type == idd::FIELDTYPE_INTEGER) {
        bool out_of_range = false;
        if (const std::optional<long> number = read_integer(val, out_of_range)) {
            if (!out_of_range) return Ref::steal(PyLong_FromLong(*number));
            // Beyond the machine's long: read the digits exactly rather than
            // handing back a clamped number that was never in the document.
            // More digits than the interpreter converts read as the text.
            std::string text;
            try {
                text.assign(val);
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
                return {};
            }
            Ref number_object = Ref::steal(PyLong_FromString(text.c_str(), nullptr, 10));
            if (number_object || !PyErr_ExceptionMatches(PyExc_ValueError)) return number_object;
            PyErr_Clear();
        }
    } else if (field->field_type == idd::FIELDTYPE_REAL) {
        if (const std::optional<double> number = read_real(val)) return Ref::steal(PyFloat_FromDouble(*number));
    }
    return py::decode_utf8(val);
}

namespace {

// ---------------------------------------------------------------------------
// Native methods

const ClassDef* object_get_class_def(IDFObj* self) { return class_def_of(self); }

int object_c_init(IDFObj* self, PyObject* idd, PyObject* parent_idf, size_t class_idx, FieldValues& values) {
    self->bound = false;  // the values given here are the object's own
    Py_XSETREF(self->idd, Py_NewRef(idd));
    Py_XSETREF(self->parent_idf, Py_NewRef(parent_idf));
    const idd::c_IDD* schema = schema_of(idd);
    if (!schema || class_idx >= schema->ordered_classes.size()) {
        raise_class_index_out_of_bounds(class_idx);
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
    // Only the object that sits in its document's slot changes the
    // document's graph; any other changes its own values only.
    IDFDoc* parent = parent_of(self);
    if (!check_not_validating(parent)) return -1;
    const bool graph = parent && sits_in_parent(self);
    try {
        if (self->bound && parent)
            parent->doc.set_value(self->obj_idx, index, value, class_def_of(self), graph);
        else
            write_value(self->values, index, value, class_def_of(self), graph ? &parent->doc : nullptr,
                        self->obj_idx);
    } catch (const std::exception&) {
        PyErr_NoMemory();
        return -1;
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
    if (!check_written_text(text)) return -1;
    return self->methods->set_string_by_index(self, field_idx, text);
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
        report_internal_failure("tarvix.idf.IDFObject.write_to_buffer");
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
    const FieldDef* field = idd::get_field_def(cls, static_cast<size_t>(index));
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
        try {
            name = py::decode_utf8(shared.get_field_name(cls, static_cast<int32_t>(i), false));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
        if (!name) return nullptr;
        PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name.release());
    }
    return names.release();
}

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
    const size_t count = values_of(self).size();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        // Read again each time: making a value may run the cycle collector.
        const ValuesView values = values_of(self);
        Ref value = convert_field_value(idd::get_field_def(cls, i), values.at_or_empty(i));
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
        if (max_idx >= 0 && static_cast<size_t>(max_idx) >= values_of(self).size()) {
            const auto wanted = static_cast<size_t>(max_idx) + 1;
            if (!self->bound)
                self->values.reserve(wanted);
            else if (IDFDoc* parent = parent_of(self)) {
                if (!check_not_validating(parent)) return nullptr;
                parent->doc.reserve_values(self->obj_idx, wanted);
            }
        }
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
    field = idd::get_field_def(cls, static_cast<size_t>(index));
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
    try {
        if (!query_value(self, field, index, doc, value)) Py_RETURN_NONE;
        const Ref keep_doc = Ref::borrow(reinterpret_cast<PyObject*>(doc));
        Ref found;
        if (is_native(doc)) {
            if (!object_at(doc, doc->doc.first_target(*field, value), found)) return nullptr;
            return found ? found.release() : Py_NewRef(Py_None);
        }
        for (const std::string_view tag : field->object_lists()) {
            const LocRange locs = doc->doc.targets().find(tag, value);
            if (locs.empty()) continue;
            for (const FieldLoc loc : locs) {
                if (!object_at(doc, loc.obj_idx, found)) return nullptr;  // a listed document makes nothing
                if (found) return found.release();
            }
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
    IDFDoc* doc = nullptr;
    std::string value;
    const Ref keep = Ref::borrow(obj);
    try {
        if (query_value(self, field, index, doc, value)) {
            const Ref keep_doc = Ref::borrow(reinterpret_cast<PyObject*>(doc));
            std::vector<size_t> slots;
            if (is_native(doc)) {
                doc->doc.referencing(*field, value, slots);
            } else {
                for (const std::string_view tag : field->references())
                    for (const FieldLoc loc : doc->doc.referencers().find(tag, value)) slots.push_back(loc.obj_idx);
            }
            const py::GcPause gc_pause;
            for (const size_t slot : slots) {
                Ref source;
                if (!object_at(doc, slot, source)) return nullptr;
                if (source && PyList_Append(list.get(), source.get()) < 0) return nullptr;
            }
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return make_object_tuple(list.get()).release();
}

// A rename's writes into the objects of a listed document's list, each
// one checked beforehand to sit in the slot its location names.
class ListWriter final : public RenameWriter {
public:
    explicit ListWriter(IDFDoc* doc) noexcept : doc_(doc) {}
    const ClassDef* class_of(const FieldLoc& loc) const noexcept override { return class_def_of(at(loc)); }
    void prepare(const FieldLoc& loc, size_t extra, size_t count) override {
        IDFObj* target = at(loc);
        if (target->bound) {
            doc_->doc.prepare_value(loc.obj_idx, extra, count);
        } else {
            edit_fault_point();
            target->values.prepare(extra, count);
        }
    }
    void write(const FieldLoc& loc, std::string_view value) noexcept override {
        IDFObj* target = at(loc);
        const auto index = static_cast<size_t>(loc.field_idx);
        if (target->bound)
            doc_->doc.store_prepared(loc.obj_idx, index, value);
        else
            target->values.set_prepared(index, value);
    }

private:
    IDFObj* at(const FieldLoc& loc) const noexcept { return as_object(occupant(doc_, loc.obj_idx)); }
    IDFDoc* doc_;
};

// Renames an object that sits in a listed document, whose list says what
// sits in each slot (objects made since keep values of their own): every
// location registered under the old name is checked against the object in
// its slot before anything is written. Returns the number of referring
// fields changed; throws std::bad_alloc / std::length_error with nothing
// changed.
size_t rename_through_list(IDFObj* self, IDFDoc* doc, const ClassDef& cls, size_t name_idx,
                           std::string_view new_name) {
    const FieldDef* field = idd::get_field_def(&cls, name_idx);
    const std::string old(values_of(self).at_or_empty(name_idx));  // a copy: writing moves the values
    std::vector<FieldLoc> locs;
    if (field && !old.empty()) referring_fields(doc->doc.referencers(), *field, old, locs);
    bool whole = true;
    size_t kept = 0;
    for (const FieldLoc& loc : locs) {
        PyObject* item = occupant(doc, loc.obj_idx);
        IDFObj* target = is_idf_object(item) ? as_object(item) : nullptr;
        if (target == self && loc.field_idx >= 0 && static_cast<size_t>(loc.field_idx) == name_idx) continue;
        // The object of that slot, holding the old name there.
        const bool sits = target && loc.field_idx >= 0 && parent_of(target) == doc && target->obj_idx == loc.obj_idx;
        const std::string_view value =
            sits ? values_of(target).at_or_empty(static_cast<size_t>(loc.field_idx)) : std::string_view();
        if (!equal_fold(value, old)) {
            whole = false;
            continue;
        }
        if (value != new_name) locs[kept++] = loc;
    }
    locs.resize(kept);
    if (old == new_name && locs.empty()) return 0;
    // No Python code runs from here on: the list, which holds the objects
    // written to, stays as it was checked.
    ListWriter writer(doc);
    doc->doc.rename_fields(FieldLoc{self->obj_idx, static_cast<int32_t>(name_idx)}, field, old, new_name, locs,
                           whole, writer);
    return locs.size();
}

// Refuses (ValueError) a name that another object of the document already
// holds in a field registered under one of the name field's reference tags:
// renaming onto it would make every reference name both.
bool check_name_free(IDFObj* self, IDFDoc* doc, const FieldDef& field, std::string_view name) {
    for (const std::string_view tag : field.references()) {
        const LocRange locs = doc->doc.targets().find(tag, name);
        if (locs.empty()) continue;
        for (const FieldLoc loc : locs) {
            if (loc.obj_idx == self->obj_idx || loc.field_idx < 0) continue;
            const auto index = static_cast<size_t>(loc.field_idx);
            std::string_view class_name;
            std::string_view held;
            if (is_native(doc)) {
                const ClassDef* cls = doc->doc.live(loc.obj_idx) ? doc->doc.class_def(loc.obj_idx) : nullptr;
                if (!cls) continue;
                class_name = cls->name;
                held = doc->doc.values(loc.obj_idx).at_or_empty(index);
            } else {
                PyObject* item = occupant(doc, loc.obj_idx);
                IDFObj* other = is_idf_object(item) ? as_object(item) : nullptr;
                if (!other || parent_of(other) != doc || other->obj_idx != loc.obj_idx) continue;
                class_name = other->c_class_name;
                held = values_of(other).at_or_empty(index);
            }
            if (!equal_fold(held, name)) continue;  // a registration the values no longer bear out
            Ref holder = py::decode_utf8(class_name);
            Ref text = holder ? py::decode_utf8(held) : Ref();
            if (text) PyErr_Format(PyExc_ValueError, "%U '%U' already exists", holder.get(), text.get());
            return false;
        }
    }
    return true;
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
    if (new_name.empty()) {
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
        const FieldDef* field = idd::get_field_def(cls, index);
        if (field && !check_name_free(self, parent, *field, new_name)) return nullptr;
    }
    try {
        if (!in_document) {
            if (object_set_string_by_index(self, name_idx, new_name) < 0) return nullptr;
            return PyLong_FromLong(0);
        }
        if (is_native(parent) && self->bound)
            return PyLong_FromSize_t(parent->doc.rename(self->obj_idx, index, new_name));
        return PyLong_FromSize_t(rename_through_list(self, parent, *cls, index, new_name));
    } catch (const std::exception&) {
        return PyErr_NoMemory();
    }
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
    {"rename", py::fastcall(object_rename), METH_FASTCALL | METH_KEYWORDS,
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
    {"class_name", object_get_class_name, nullptr, "Class name as the schema spells it", nullptr},
    {"field_names", object_get_field_names, nullptr,
     "Names of the stored fields, in order (those of repeating groups numbered)", nullptr},
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
