// The IDF type's collections: listings by class, length, iteration,
// membership, look-up by name, and adding, copying and removing objects.
#include <memory>
#include <new>

#include "py/idf_document.h"

namespace tarvix::idf {

using py::Ref;

namespace {

// entry); false with MemoryError set.
bool class_slots(IDFDoc* self, const std::string& key, std::vector<size_t>& slots) {
    const ClassEntry* entry = self->doc.index().find(key);
    if (!entry) return true;
    slots = entry->live();
    return true;
}

}  // namespace

PyObject* doc_get_objects_raw(IDFDoc* self, PyObject* class_name) {
    std::string key;
    std::vector<size_t> slots;
    if (!class_key(class_name, key) || !class_slots(self, key, slots)) return nullptr;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(slots.size())));
    if (!list) return nullptr;
    Py_ssize_t stored = 0;
    {
        const py::GcPause gc_pause;
        for (const size_t slot : slots) {
            Ref obj;
            if (!object_at(self, slot, obj)) return nullptr;
            if (obj) PyList_SET_ITEM(list.get(), stored++, obj.release());
        }
    }
    if (stored < PyList_GET_SIZE(list.get()) && PyList_SetSlice(list.get(), stored, PY_SSIZE_T_MAX, nullptr) < 0)
        return nullptr;
    return list.release();
}

// ---------------------------------------------------------------------------
// Python methods: collections

PyObject* doc_get_objects(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"get_objects", {"class_name"}, 1};
    PyObject* given[1] = {nullptr};
    if (!params.parse(args, nargs, kwnames, given) || !py::check_str_or_none(given[0], "class_name")) return nullptr;
    IDFDoc* self = as_doc(obj);
    Ref list = Ref::steal(doc_get_objects_raw(self, given[0]));
    return list ? make_object_tuple(list.get()).release() : nullptr;
}

PyObject* doc_subscript(PyObject* obj, PyObject* class_name) {
    if (!py::check_str_or_none(class_name, "class_name")) return nullptr;
    return PyObject_CallMethod(obj, "get_objects", "O", class_name);
}

PyObject* doc_sq_item(PyObject* obj, Py_ssize_t index) {
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return key ? doc_subscript(obj, key.get()) : nullptr;
}

// False with RuntimeError set for a document made without loading (or
// cleared by the collector).
bool check_initialized(const IDFDoc* self) {
    if (is_native(self) ? schema_of(self->idd) != nullptr : list_of(self) != nullptr) return true;
    raise_document_not_initialized();
    return false;
}

// len(doc): the objects the document holds.
Py_ssize_t doc_length(PyObject* obj) {
    IDFDoc* self = as_doc(obj);
    if (!check_initialized(self)) return -1;
    if (is_native(self)) return static_cast<Py_ssize_t>(self->doc.index().object_count());
    PyObject* list = list_of(self);
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) count += is_idf_object(PyList_GET_ITEM(list, i));
    return count;
}

// iter(doc): its objects in document order, as they are when iteration
// starts (later edits do not change what the iterator gives).
PyObject* doc_iter(PyObject* obj) {
    IDFDoc* self = as_doc(obj);
    if (!check_initialized(self)) return nullptr;
    Ref objects = Ref::steal(PyList_New(0));
    if (!objects) return nullptr;
    if (is_native(self)) {
        const py::GcPause gc_pause;  // objects are made by the thousand, none of them garbage
        const size_t count = self->doc.slot_count();
        for (size_t slot = 0; slot < count && is_native(self); ++slot) {
            Ref item;
            if (!object_at(self, slot, item)) return nullptr;
            if (item && PyList_Append(objects.get(), item.get()) < 0) return nullptr;
        }
    } else {
        Ref items = Ref::steal(PyList_GetSlice(list_of(self), 0, PY_SSIZE_T_MAX));
        if (!items) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* item = PyList_GET_ITEM(items.get(), i);
            if (is_idf_object(item) && PyList_Append(objects.get(), item) < 0) return nullptr;
        }
    }
    return PyObject_GetIter(objects.get());
}

// class_name in doc: whether the document holds an object of the class,
// the name matched as class names are (ASCII letters in any case). Anything
// but a str is not a class name: False.
int doc_contains(PyObject* obj, PyObject* class_name) {
    if (!PyUnicode_Check(class_name)) return 0;
    std::string key;
    if (!class_key(class_name, key)) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
        PyErr_Clear();  // no class is named so
        return 0;
    }
    const IDFDoc* self = as_doc(obj);
    const ClassEntry* entry = self->doc.index().find(key);
    if (!entry) return 0;
    if (is_native(self)) return !entry->empty();
    bool found = false;  // a listed document's slots hold what its list says
    entry->for_each([&](size_t slot) { found = found || is_idf_object(occupant(self, slot)); });
    return found;
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
    std::string key;
    if (!class_key(given[0], key)) return nullptr;
    const size_t slot = with_host(self, Reach::any_object,
                                  [&](const SlotHost& host) { return self->doc.find_by_name(host, key, name); });
    Ref found;
    if (!object_at(self, slot, found)) return nullptr;
    return found ? found.release() : Py_NewRef(Py_None);
}

PyObject* doc_get_class_names(PyObject* obj, PyObject*) {
    IDFDoc* self = as_doc(obj);
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return nullptr;
    for (const auto& [key, entry] : self->doc.index().entries()) {
        size_t first = SIZE_MAX;
        entry.for_each([&](size_t slot) {
            if (first == SIZE_MAX) first = slot;
        });
        if (first == SIZE_MAX) continue;
        Ref name;
        if (is_native(self)) {
            if (!self->doc.live(first)) continue;
            name = class_name_str(self, self->doc.class_idx(first));
            if (!name) return nullptr;
        } else {
            PyObject* item = occupant(self, first);
            if (!is_idf_object(item)) continue;
            name = Ref::borrow(as_object(item)->class_name);
        }
        if (PyList_Append(names.get(), name.get()) < 0) return nullptr;
    }
    return names.release();
}

// A schema default that could not be written back as one value (a property
// line runs to its end, so it may hold a delimiter): refused like any value.
bool check_defaults(const ClassDef& cls) {
    for (const uint32_t index : cls.field_idx_with_default) {
        if (index >= cls.fields.size()) continue;
        if (!check_written_text(cls.fields[index].default_val)) return false;
    }
    return true;
}

// Adds a new object of class `class_idx` (`cls`, of the document's schema)
// holding `values`, registered in the graph when `registered`. The object is
// made first, which may run finalizers that change the document; then it
// goes in the document's next slot through the document's host. Null with
// an exception set.
Ref add_new(IDFDoc* self, const ClassDef& cls, uint32_t class_idx, FieldValues values, bool registered) {
    const bool native = is_native(self);
    PyObject* schema = self->idd;
    const Ref keep_schema = Ref::borrow(schema);  // `cls` lives in it, whatever finalizers do meanwhile
    Ref added;
    if (native) {
        added = new_wrapper(self, class_idx);
    } else {
        added = Ref::steal(IDFObjType.tp_new(&IDFObjType, shared.empty_tuple, nullptr));
        FieldValues none;  // the host gives it its values
        if (added &&
            object_c_init(as_object(added.get()), schema, reinterpret_cast<PyObject*>(self), class_idx, none) < 0)
            return {};
    }
    if (!added || !check_not_validating(self)) return {};
    if (is_native(self) != native || self->idd != schema) {
        PyErr_SetString(PyExc_RuntimeError, "the document changed while the object was added");
        return {};
    }
    if (native) {
        reserve_wrapper(self, self->doc.slot_count());
        const size_t slot = self->doc.add_object(self->doc, &cls, class_idx, std::move(values), registered);
        bind_wrapper(self, added.get(), slot);
        return added;
    }
    if (!list_of(self)) {  // finalizers run meanwhile may have replaced it
        raise_document_not_initialized();
        return {};
    }
    ListedHost host(self, Reach::sitting, as_object(added.get()));
    self->doc.add_object(host, &cls, class_idx, std::move(values), registered);
    return added;
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
    if (!check_not_validating(self)) return nullptr;
    const c_IDD* schema = schema_of(self->idd);
    if (!schema || (!is_native(self) && !list_of(self))) {
        raise_document_not_initialized();
        return nullptr;
    }
    const std::optional<uint32_t> found = find_class_index(*schema, key);
    if (!found) {
        raise_unknown_class(given[0]);
        return nullptr;
    }
    const uint32_t class_idx = *found;
    const ClassDef& cls = schema->ordered_classes[class_idx];
    if (with_defaults && !check_defaults(cls)) return nullptr;

    const Ref keep_schema = Ref::borrow(self->idd);  // `cls` lives in it while the object is filled in
    FieldValues values;
    if (cls.min_fields > 0) values.resize(static_cast<size_t>(cls.min_fields));
    Ref added = add_new(self, cls, class_idx, std::move(values), false);
    if (!added) return nullptr;
    IDFObj* object = as_object(added.get());
    if (with_defaults) {
        for (const uint32_t index : cls.field_idx_with_default) {
            if (index >= cls.fields.size()) continue;
            if (object_set_string_by_index(object, static_cast<int32_t>(index), cls.fields[index].default_val) < 0)
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

PyObject* doc_copy_object(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"copy_object", {"obj", "new_name"}, 1};
    PyObject* given[2] = {nullptr, Py_None};
    if (!params.parse(args, nargs, kwnames, given) || !py::check_instance(given[0], &IDFObjType, "obj") ||
        !py::check_str_or_none(given[1], "new_name"))
        return nullptr;
    IDFDoc* self = as_doc(obj);
    if (!check_not_validating(self)) return nullptr;
    if (!schema_of(self->idd) || (!is_native(self) && !list_of(self))) {
        raise_document_not_initialized();
        return nullptr;
    }
    IDFObj* source = as_object(given[0]);
    const ClassDef* cls = require_class_def(source);
    if (!cls) return nullptr;
    // The class index and the field definitions only mean the same thing
    // under the same schema.
    if (source->idd != self->idd) {
        PyErr_SetString(PyExc_ValueError,
                        "The object uses a different IDD than this IDF; only objects of the same "
                        "schema can be copied.");
        return nullptr;
    }
    int32_t name_idx = -1;
    std::string_view new_name;
    if (given[1] != Py_None) {
        name_idx = require_name_field(*cls);
        if (name_idx < 0 || !py::str_utf8(given[1], new_name) || !check_written_text(new_name)) return nullptr;
    }
    const auto class_idx = static_cast<uint32_t>(source->class_idx);
    FieldValues values;
    values = FieldValues(values_of(source));  // taken before the document grows
    if (name_idx >= 0) write_value(values, static_cast<size_t>(name_idx), new_name, cls, nullptr, 0);

    return add_new(self, *cls, class_idx, std::move(values), true).release();
}

// After the document took an object out of slot `slot`: the object (which
// kept its values) is detached, and what held it there goes: a native
// document's hold on it, or in a listed document the Document slot it read
// its values from, when it was bound to that document.
void let_go(IDFDoc* self, IDFObj* object, size_t slot, bool was_bound) noexcept {
    if (is_native(self))
        forget_wrapper(self, slot);
    else if (was_bound)
        self->doc.release(object->obj_idx);
    Py_XSETREF(object->parent_idf, Py_NewRef(Py_None));
}

PyObject* doc_remove_object(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"remove_object", {"obj"}, 1};
    PyObject* given[1] = {nullptr};
    if (!params.parse(args, nargs, kwnames, given) || !py::check_instance(given[0], &IDFObjType, "obj")) return nullptr;
    IDFDoc* self = as_doc(obj);
    if (!check_not_validating(self)) return nullptr;
    const Ref keep = Ref::borrow(given[0]);  // the document's own hold on it goes below
    IDFObj* target = as_object(given[0]);
    if (target->parent_idf != obj || occupant(self, target->obj_idx) != given[0]) {
        raise_foreign_object();
        return nullptr;
    }
    const size_t slot = target->obj_idx;
    ClassEntry* entry = with_host(self, Reach::sitting,
                                  [&](const SlotHost& host) { return self->doc.entry_of_object(host, slot); });
    if (!entry) {
        raise_foreign_object();
        return nullptr;
    }
    const bool was_bound = target->bound;
    if (!unbind(target)) return nullptr;  // the one step that can fail comes first
    // The slot keeps its place (empty) so no other obj_idx changes.
    with_host(self, Reach::sitting, [&](SlotHost& host) { self->doc.remove_object(host, slot, entry); });
    let_go(self, target, slot, was_bound);
    Py_RETURN_NONE;
}

PyObject* doc_line_of(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"line_of", {"obj"}, 1};
    PyObject* given[1] = {nullptr};
    if (!params.parse(args, nargs, kwnames, given) || !py::check_instance(given[0], &IDFObjType, "obj")) return nullptr;
    IDFDoc* self = as_doc(obj);
    const IDFObj* target = as_object(given[0]);
    if (target->parent_idf != obj || occupant(self, target->obj_idx) != given[0]) {
        raise_foreign_object();
        return nullptr;
    }
    // Only the loaded object itself has a line: one a restored state put in
    // its slot keeps values of its own.
    const uint32_t line = target->bound ? self->doc.line_of(target->obj_idx) : 0;
    if (line == 0) Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(line);
}

PyObject* doc_remove_all_objects(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"remove_all_objects", {"class_name"}, 1};
    PyObject* given[1] = {nullptr};
    if (!params.parse(args, nargs, kwnames, given) || !py::check_str_or_none(given[0], "class_name")) return nullptr;
    std::string key;
    if (!class_key(given[0], key)) return nullptr;
    IDFDoc* self = as_doc(obj);
    if (!check_not_validating(self)) return nullptr;
    std::vector<size_t> slots;
    if (!class_slots(self, key, slots)) return nullptr;
    if (slots.empty()) return PyLong_FromLong(0);  // no class entry, or an emptied one: kept as it is
    // What can fail comes first: every object handed out keeps its values.
    struct Taken {
        Ref object;
        size_t slot;
        bool was_bound;
    };
    std::vector<Taken> taken;
    taken.reserve(slots.size());
    for (const size_t slot : slots) {
        PyObject* held = occupant(self, slot);
        if (!is_idf_object(held)) continue;
        IDFObj* object = as_object(held);
        const bool was_bound = object->bound && parent_of(object) == self;
        if (!unbind(object)) return nullptr;
        taken.push_back(Taken{Ref::borrow(held), slot, was_bound});
    }
    const size_t removed = with_host(self, Reach::any_object,
                                     [&](SlotHost& host) { return self->doc.remove_class(host, key); });
    // The objects let go of are held here until the document is done.
    for (const Taken& item : taken) let_go(self, as_object(item.object.get()), item.slot, item.was_bound);
    return PyLong_FromSize_t(removed);
}

}  // namespace tarvix::idf
