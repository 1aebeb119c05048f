// IDF: a document loaded against a schema. The core Document holds its
// objects, the index of objects by class and the reference graph; this file
// keeps the Python objects: the IDFObject of each slot (made when first
// handed out), or the object list once a caller has it (see idf.h), and the
// type's slots. Loading, collections, writing, checking and epJSON each have
// their own file; the type's tables are in idf.cpp.
#include <algorithm>
#include <memory>
#include <new>

#include "py/idf_document.h"

namespace tarvix::idf {

using py::Ref;

PyTypeObject IDFDocType = py::new_static_type();

void raise_document_not_initialized() { PyErr_SetString(PyExc_RuntimeError, "IDF is not initialized"); }

void raise_foreign_object() {
    PyErr_SetString(PyExc_ValueError, "Error: The object belongs to a different IDF model or is detached.");
}

void raise_unknown_class(PyObject* class_name) { PyErr_Format(PyExc_ValueError, "Unknown class: '%U'", class_name); }

bool class_key(PyObject* class_name, std::string& key) {
    std::string_view name;
    if (!py::str_utf8(class_name, name)) return false;
    assign_class_key(key, name);
    return true;
}

// ---------------------------------------------------------------------------
// The objects of a native document

// The str of a class name, one per class and document.
Ref class_name_str(IDFDoc* doc, uint32_t class_idx) {
    std::vector<PyObject*>& names = doc->class_names;
    if (class_idx < names.size() && names[class_idx]) return Ref::borrow(names[class_idx]);
    const ClassDef* cls = doc->doc.schema() && class_idx < doc->doc.schema()->ordered_classes.size()
                              ? &doc->doc.schema()->ordered_classes[class_idx]
                              : nullptr;
    Ref name = cls ? py::decode_utf8(cls->name) : Ref::borrow(shared.empty_str);
    if (!name) return {};
    try {
        if (names.size() <= class_idx) names.resize(class_idx + 1, nullptr);
    } catch (const std::bad_alloc&) {
        return name;  // not kept; made again next time
    }
    names[class_idx] = Ref(name).release();
    return name;
}

// Room in a native document's table of objects for one in `slot`. Throws
// std::bad_alloc.
void reserve_wrapper(IDFDoc* doc, size_t slot) { doc->wrappers.reserve_slot(slot); }

// An IDFObject of a class, not yet bound, for a native document that is
// about to hand one out: made (which may run the cycle collector, and with
// it finalizers that change the document) before the slot is looked at or
// made, and with room in the document's list of objects for one more slot.
Ref new_wrapper(IDFDoc* doc, uint32_t class_idx) {
    Ref name = class_name_str(doc, class_idx);
    if (!name) return {};
    Ref obj = Ref::steal(IDFObjType.tp_new(&IDFObjType, shared.empty_tuple, nullptr));
    if (!obj) return {};
    IDFObj* object = as_object(obj.get());
    const ClassDef* cls = doc->doc.schema() && class_idx < doc->doc.schema()->ordered_classes.size()
                              ? &doc->doc.schema()->ordered_classes[class_idx]
                              : nullptr;
    if (cls) object->c_class_name = cls->name;
    reserve_wrapper(doc, doc->doc.slot_count());  // a slot added next
    Py_SETREF(object->class_name, name.release());
    object->class_idx = class_idx;
    return obj;
}

// Binds an object from new_wrapper to live slot `slot` of its class; the
// document keeps it. Cannot fail and runs no Python code.
void bind_wrapper(IDFDoc* doc, PyObject* obj, size_t slot) noexcept {
    IDFObj* object = as_object(obj);
    Py_SETREF(object->idd, Py_NewRef(doc->idd));
    Py_SETREF(object->parent_idf, Py_NewRef(reinterpret_cast<PyObject*>(doc)));
    object->obj_idx = slot;
    object->bound = true;
    doc->wrappers.set(slot, Py_NewRef(obj));  // within the room made
}

// Makes the IDFObject of a live slot of a native document: bound to the
// slot, its values read from the document. Nothing (and no exception) when
// the slot went away meanwhile.
Ref make_wrapper(IDFDoc* doc, size_t slot) {
    Ref obj = new_wrapper(doc, doc->doc.class_idx(slot));
    if (!obj) return {};
    // Making an object may run finalizers that change this document: look
    // at the slot again.
    if (!doc->doc.live(slot) || !is_native(doc)) return {};
    if (PyObject* held = doc->wrappers.get(slot)) return Ref::borrow(held);
    reserve_wrapper(doc, slot);
    bind_wrapper(doc, obj.get(), slot);
    return obj;
}

// Drops a native document's hold on the object of a slot.
void forget_wrapper(IDFDoc* doc, size_t slot) { Py_XDECREF(doc->wrappers.take(slot)); }

// Lets go of the objects and class names a native document holds.
void release_held_objects(IDFDoc* doc) {
    WrapperTable held;
    held.swap(doc->wrappers);
    held.for_each([](PyObject* obj) {
        Py_DECREF(obj);
        return 0;
    });
    std::vector<PyObject*> names;
    names.swap(doc->class_names);
    for (PyObject* name : names) Py_XDECREF(name);
}

bool object_at(IDFDoc* doc, size_t slot, Ref& out) {
    out.reset();
    if (is_native(doc)) {
        if (!doc->doc.live(slot)) return true;
        if (PyObject* held = doc->wrappers.get(slot)) {
            out = Ref::borrow(held);
            return true;
        }
        out = make_wrapper(doc, slot);
        return out || !PyErr_Occurred();
    }
    PyObject* list = list_of(doc);
    if (!list || slot >= static_cast<size_t>(PyList_GET_SIZE(list))) return true;
    PyObject* item = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(slot));
    if (is_idf_object(item)) out = Ref::borrow(item);
    return true;
}

PyObject* occupant(const IDFDoc* doc, size_t slot) {
    if (is_native(doc)) return doc->doc.live(slot) ? doc->wrappers.get(slot) : nullptr;
    PyObject* list = list_of(doc);
    if (!list || slot >= static_cast<size_t>(PyList_GET_SIZE(list))) return nullptr;
    return PyList_GET_ITEM(list, static_cast<Py_ssize_t>(slot));
}

bool sits_in_parent(const IDFObj* self) {
    const IDFDoc* parent = parent_of(self);
    return parent && occupant(parent, self->obj_idx) == reinterpret_cast<const PyObject*>(self);
}

bool check_not_validating(const IDFDoc* doc) {
    if (!doc || doc->validating == 0) return true;
    const Reader& reader = doc->reader ? *doc->reader : kValidating;
    PyErr_Format(PyExc_RuntimeError, "IDF is being %s in another thread; it cannot change until %s returns.",
                 reader.doing, reader.call);
    return false;
}

bool materialize(IDFDoc* doc) {
    if (!is_native(doc)) return true;
    if (!check_not_validating(doc)) return false;
    const size_t count = doc->doc.slot_count();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return false;
    {
        const py::GcPause gc_pause;  // objects are made by the thousand, none of them garbage
        for (size_t slot = 0; slot < count; ++slot) {
            Ref obj;
            if (!object_at(doc, slot, obj)) return false;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(slot), obj ? obj.release() : Py_NewRef(Py_None));
        }
    }
    doc->objects = list.release();
    // From here on the list says what sits in each slot; objects made so far
    // stay bound to their slots for their values.
    release_held_objects(doc);
    doc->doc.drop_name_indices();
    doc->doc.set_schema(nullptr);
    return true;
}

void unregister_all_values(IDFDoc* doc, IDFObj* obj) {
    doc->doc.unregister_all(class_def_of(obj), values_of(obj), obj->obj_idx);
}

// ---------------------------------------------------------------------------
// Native methods

void doc_register_target(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                         int32_t field_idx) {
    self->doc.targets().add(tag, val, {obj_idx, field_idx}, FailureSite::register_target);
}

void doc_register_referencer(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                             int32_t field_idx) {
    self->doc.referencers().add(tag, val, {obj_idx, field_idx}, FailureSite::register_referencer);
}

void doc_unregister_target(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                           int32_t field_idx) {
    self->doc.targets().remove(tag, val, {obj_idx, field_idx});
}

void doc_unregister_referencer(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                               int32_t field_idx) {
    self->doc.referencers().remove(tag, val, {obj_idx, field_idx});
}

// ---------------------------------------------------------------------------
// Type slots

PyObject* doc_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = as_doc(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->methods = &idf_methods;
    self->idd = Py_NewRef(Py_None);
    self->objects = Py_NewRef(Py_None);
    new (&self->doc) Document();
    new (&self->wrappers) WrapperTable();
    new (&self->class_names) std::vector<PyObject*>();
    new (&self->folder) std::string();
    self->validating = 0;
    self->reader = nullptr;
    return reinterpret_cast<PyObject*>(self);
}

int doc_traverse(PyObject* obj, visitproc visit, void* arg) {
    IDFDoc* self = as_doc(obj);
    Py_VISIT(self->idd);
    Py_VISIT(self->objects);
    return self->wrappers.for_each([&](PyObject* wrapper) { return visit(wrapper, arg); });
}

int doc_clear(PyObject* obj) {
    IDFDoc* self = as_doc(obj);
    self->doc.set_schema(nullptr);
    Py_XSETREF(self->idd, Py_NewRef(Py_None));
    Py_XSETREF(self->objects, Py_NewRef(Py_None));
    release_held_objects(self);
    return 0;
}

void doc_dealloc(PyObject* obj) {
    IDFDoc* self = as_doc(obj);
    PyObject_GC_UnTrack(obj);
    release_held_objects(self);
    Py_CLEAR(self->idd);
    Py_CLEAR(self->objects);
    std::destroy_at(&self->doc);
    std::destroy_at(&self->wrappers);
    std::destroy_at(&self->class_names);
    std::destroy_at(&self->folder);
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

PyObject* doc_get_idd(PyObject* obj, void*) {
    IDFDoc* self = as_doc(obj);
    if (!is_idd(self->idd)) {
        raise_document_not_initialized();
        return nullptr;
    }
    return Py_NewRef(self->idd);
}

}  // namespace tarvix::idf
