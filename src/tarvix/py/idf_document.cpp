// IDF: a document loaded against a schema. The core Document holds its
// objects, the index of objects by class and the reference graph; this file
// translates calls and results and keeps the Python objects: the IDFObject
// of each slot (made when first handed out), or the object list once a
// caller has it (see idf.h).
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "core/base/os_memory.h"
#include "py/idf.h"

namespace tarvix::idf {

using py::Ref;

PyTypeObject IDFDocType = py::new_static_type();

void raise_document_not_initialized() { PyErr_SetString(PyExc_RuntimeError, "IDF is not initialized"); }

void raise_foreign_object() {
    PyErr_SetString(PyExc_ValueError, "Error: The object belongs to a different IDF model or is detached.");
}

void raise_unknown_class(PyObject* class_name) { PyErr_Format(PyExc_ValueError, "Unknown class: '%U'", class_name); }

namespace {

IDFDoc* as_doc(PyObject* obj) { return reinterpret_cast<IDFDoc*>(obj); }
IDFObj* as_object(PyObject* obj) { return reinterpret_cast<IDFObj*>(obj); }

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

// The list of a listed document, or null (no list at all).
PyObject* list_of(const IDFDoc* doc) {
    return doc->objects && PyList_Check(doc->objects) ? doc->objects : nullptr;
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

// Room in a native document's list of objects for `count` slots, growing
// it geometrically (objects are added one at a time). Throws std::bad_alloc.
void reserve_wrappers(IDFDoc* doc, size_t count) {
    std::vector<PyObject*>& wrappers = doc->wrappers;
    if (wrappers.capacity() < count) wrappers.reserve(std::max(count, 2 * wrappers.capacity()));
}

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
    try {
        const ClassDef* cls = doc->doc.schema() && class_idx < doc->doc.schema()->ordered_classes.size()
                                  ? &doc->doc.schema()->ordered_classes[class_idx]
                                  : nullptr;
        if (cls) object->c_class_name = cls->name;
        reserve_wrappers(doc, doc->doc.slot_count() + 1);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {};
    }
    Py_SETREF(object->class_name, name.release());
    object->class_idx = class_idx;
    return obj;
}

// Binds an object from new_wrapper to live slot `slot` of its class; the
// document keeps it. Cannot fail and runs no Python code.
void bind_wrapper(IDFDoc* doc, PyObject* obj, size_t slot) noexcept {
    IDFObj* object = as_object(obj);
    if (doc->wrappers.size() <= slot) doc->wrappers.resize(slot + 1, nullptr);  // within the room made
    Py_SETREF(object->idd, Py_NewRef(doc->idd));
    Py_SETREF(object->parent_idf, Py_NewRef(reinterpret_cast<PyObject*>(doc)));
    object->obj_idx = slot;
    object->bound = true;
    doc->wrappers[slot] = Py_NewRef(obj);
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
    if (slot < doc->wrappers.size() && doc->wrappers[slot]) return Ref::borrow(doc->wrappers[slot]);
    if (doc->wrappers.capacity() <= slot) {
        try {
            reserve_wrappers(doc, doc->doc.slot_count());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return {};
        }
    }
    bind_wrapper(doc, obj.get(), slot);
    return obj;
}

// Drops a native document's hold on the object of a slot.
void forget_wrapper(IDFDoc* doc, size_t slot) {
    if (slot >= doc->wrappers.size()) return;
    PyObject* held = std::exchange(doc->wrappers[slot], nullptr);
    Py_XDECREF(held);
}

// Lets go of the objects and class names a native document holds.
void release_held_objects(IDFDoc* doc) {
    std::vector<PyObject*> held;
    held.swap(doc->wrappers);
    for (PyObject* obj : held) Py_XDECREF(obj);
    std::vector<PyObject*> names;
    names.swap(doc->class_names);
    for (PyObject* name : names) Py_XDECREF(name);
}

}  // namespace

bool object_at(IDFDoc* doc, size_t slot, Ref& out) {
    out.reset();
    if (is_native(doc)) {
        if (!doc->doc.live(slot)) return true;
        if (slot < doc->wrappers.size() && doc->wrappers[slot]) {
            out = Ref::borrow(doc->wrappers[slot]);
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
    if (is_native(doc)) return doc->doc.live(slot) && slot < doc->wrappers.size() ? doc->wrappers[slot] : nullptr;
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
    PyErr_SetString(PyExc_RuntimeError,
                    "IDF is being validated in another thread; it cannot change until validate() returns.");
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

namespace {

// ---------------------------------------------------------------------------
// Loading

// The text of a document being loaded: the UTF-8 bytes object itself. The
// loader writes the values into it, so it must be ours alone; afterwards the
// pages past the values are given back to the system.
class BytesStore final : public TextStore {
public:
    explicit BytesStore(Ref bytes) noexcept : bytes_(std::move(bytes)) {}
    ~BytesStore() override {
        PyGILState_STATE gil = PyGILState_Ensure();
        bytes_.reset();
        PyGILState_Release(gil);
    }
    char* data() noexcept override { return PyBytes_AS_STRING(bytes_.get()); }
    size_t size() const noexcept override { return static_cast<size_t>(PyBytes_GET_SIZE(bytes_.get())); }
    void shrink(size_t size) noexcept override {
        os_memory::discard_pages(data() + size, data() + this->size());
    }

private:
    Ref bytes_;
};

// The bytes to load from: `content` itself when nothing else holds it, else
// a copy.
Ref own_bytes(Ref content) {
    if (PyBytes_CheckExact(content.get()) && Py_REFCNT(content.get()) == 1) return content;
    const std::string_view text = py::bytes_view(content.get());
    return py::to_bytes(text);
}

void raise_document_error(const DocumentError& error) {
    const int line = error.line_num;
    switch (error.kind) {
        case DocumentErrorKind::missing_delimiter:
        case DocumentErrorKind::token_error:
        case DocumentErrorKind::unknown_class: {
            Ref value = py::decode_utf8(error.value);
            if (!value) return;
            if (error.kind == DocumentErrorKind::missing_delimiter)
                PyErr_Format(PyExc_ValueError, "IDF parsing error (Line %d): missing delimiter before '%U'.", line,
                             value.get());
            else if (error.kind == DocumentErrorKind::token_error)
                PyErr_Format(PyExc_ValueError, "IDF parsing error (Line %d): %R", line, value.get());
            else
                PyErr_Format(PyExc_ValueError, "IDF parsing error: Unknown class: '%U'", value.get());
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

// Loads the text of `store` (UTF-8; `known_valid` when it was checked or
// made as such) into a new document that nothing else holds. The parse runs
// without the interpreter lock, with the document kept out of the
// collector's lists until it is complete, so no other thread can reach it
// (gc.get_objects() included) while it is filled.
int load_store(IDFDoc* self, PyObject* idd, std::unique_ptr<TextStore> store, bool known_valid) {
    Py_XSETREF(self->idd, Py_NewRef(idd));
    Py_CLEAR(self->objects);  // native: the document's own slots are its list
    self->doc.set_schema(schema_of(idd));

    DocumentError error;
    bool loaded;
    {
        const py::HiddenFromCollector hidden(reinterpret_cast<PyObject*>(self));
        py::DeferredFailures deferred;
        Py_BEGIN_ALLOW_THREADS
        loaded = self->doc.load(std::move(store), known_valid, error);
        Py_END_ALLOW_THREADS
    }
    self->doc.finish_load();
    if (!loaded) {
        raise_document_error(error);
        return -1;
    }
    return 0;
}

bool check_fresh(IDFDoc* self, PyObject* idd) {
    if (!is_idd(idd)) {
        py::raise_arg_type("idd", shared.idd_type->tp_name, idd);
        return false;
    }
    if (self->doc.slot_count() || !self->wrappers.empty()) {
        PyErr_SetString(PyExc_RuntimeError, "IDF is already initialized");
        return false;
    }
    return true;
}

// Loads `content` (UTF-8 bytes) as load_store does; the loaded values live
// in the bytes.
int load_document(IDFDoc* self, PyObject* idd, Ref content, bool known_valid) {
    if (!check_fresh(self, idd)) return -1;
    if (!PyBytes_Check(content.get())) {
        py::raise_expected("bytes", content.get());
        return -1;
    }
    Ref text = own_bytes(std::move(content));
    if (!text) return -1;
    std::unique_ptr<TextStore> store;
    try {
        store = std::make_unique<BytesStore>(std::move(text));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return load_store(self, idd, std::move(store), known_valid);
}

// ---------------------------------------------------------------------------
// Native methods

void doc_register_target(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                         int32_t field_idx) {
    self->doc.targets().add(tag, val, {obj_idx, field_idx}, "tarvix.idf.IDF.register_target");
}

void doc_register_referencer(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                             int32_t field_idx) {
    self->doc.referencers().add(tag, val, {obj_idx, field_idx}, "tarvix.idf.IDF.register_referencer");
}

void doc_unregister_target(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                           int32_t field_idx) {
    self->doc.targets().remove(tag, val, {obj_idx, field_idx});
}

void doc_unregister_referencer(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                               int32_t field_idx) {
    self->doc.referencers().remove(tag, val, {obj_idx, field_idx});
}

int doc_c_init(IDFDoc* self, PyObject* idd, Ref& idf_content) {
    return load_document(self, idd, std::move(idf_content), false);
}

int doc_build_objects(IDFDoc* self, std::vector<c_IDFObject>& c_idf_objects) {
    if (!is_native(self) || !schema_of(self->idd)) {
        raise_document_not_initialized();
        return -1;
    }
    DocumentError error;
    if (self->doc.append(c_idf_objects, error)) return 0;
    raise_document_error(error);
    return -1;
}

// The live slots of a class, in class order (none when the class has no
// entry); false with MemoryError set.
bool class_slots(IDFDoc* self, const std::string& key, std::vector<size_t>& slots) {
    const ClassEntry* entry = self->doc.index().find(key);
    if (!entry) return true;
    try {
        slots = entry->live();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

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

// The slots of a listed document as the writer reads them, taken before the
// writing starts: each item is held, so nothing the writer reads can go
// away, and the writer runs no Python code until it is done.
class ListedSlots final : public SlotSource {
public:
    bool take(IDFDoc* doc) {
        PyObject* list = list_of(doc);
        const size_t count = list ? static_cast<size_t>(PyList_GET_SIZE(list)) : 0;
        try {
            items_.reserve(count);
            views_.resize(count);
            states_.resize(count, SlotState::empty);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        for (size_t slot = 0; slot < count; ++slot) {
            PyObject* item = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(slot));
            items_.push_back(Ref::borrow(item));
            if (item == Py_None) continue;
            if (!is_idf_object(item)) {
                states_[slot] = SlotState::foreign;
                continue;
            }
            const IDFObj* obj = as_object(item);
            views_[slot] = ObjectView{class_def_of(obj), obj->c_class_name, values_of(obj)};
            states_[slot] = SlotState::object;
        }
        return true;
    }
    size_t slot_count() const noexcept override { return items_.size(); }
    SlotState view(size_t slot, ObjectView& out) const noexcept override {
        if (states_[slot] == SlotState::object) out = views_[slot];
        return states_[slot];
    }
    PyObject* item(size_t slot) const { return items_[slot].get(); }

private:
    std::vector<Ref> items_;
    std::vector<ObjectView> views_;
    std::vector<SlotState> states_;
};

// Runs `write(slots, schema, result)` over the document's slots as the
// writer reads them: the Document itself, or a snapshot of a listed
// document's list. Failures (a buffer that could not grow, a slot holding
// something that is not an object) are reported through the unraisable-error
// hook once `write` is done; no Python code runs while it works.
template <class Write>
WriteResult with_slots(IDFDoc* self, Write&& write) {
    WriteResult result;
    if (is_native(self)) {
        const py::DeferredFailures deferred;
        write(static_cast<const SlotSource&>(self->doc), self->doc.schema(), result);
        return result;
    }
    ListedSlots slots;
    if (!slots.take(self)) {
        py::report_unraisable("tarvix.idf.IDF.write_to_buffer");
        result.out_of_memory = true;
        return result;
    }
    {
        const Ref keep_schema = Ref::borrow(self->idd);
        const py::DeferredFailures deferred;
        write(static_cast<const SlotSource&>(slots), schema_of(self->idd), result);
    }
    if (result.foreign_slot != SIZE_MAX) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to tarvix.idf.IDFObject",
                     Py_TYPE(slots.item(result.foreign_slot))->tp_name);
        py::report_unraisable("tarvix.idf.IDF.write_to_buffer");
    }
    return result;
}

// Appends the document's text.
WriteResult write_text(IDFDoc* self, std::string& out, const FormatConfig& config, bool preserve_order) {
    return with_slots(self, [&](const SlotSource& slots, const idd::c_IDD* schema, WriteResult& result) {
        write_document(out, config, preserve_order, schema, self->doc.index(), slots, result);
    });
}

void doc_write_to_buffer(IDFDoc* self, std::string& out, const FormatConfig* config, const WriteOptions* options) {
    write_text(self, out, *config, options && options->n > 0 && options->preserve_order);
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
    new (&self->wrappers) std::vector<PyObject*>();
    new (&self->class_names) std::vector<PyObject*>();
    self->validating = 0;
    return reinterpret_cast<PyObject*>(self);
}

int doc_traverse(PyObject* obj, visitproc visit, void* arg) {
    IDFDoc* self = as_doc(obj);
    Py_VISIT(self->idd);
    Py_VISIT(self->objects);
    for (PyObject* wrapper : self->wrappers) Py_VISIT(wrapper);
    return 0;
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
PyObject* load_new(PyObject* cls, PyObject* idd, Ref content, bool known_valid) {
    Ref self = Ref::steal(doc_new(reinterpret_cast<PyTypeObject*>(cls), shared.empty_tuple, nullptr));
    if (!self) return nullptr;
    if (load_document(as_doc(self.get()), idd, std::move(content), known_valid) < 0) return nullptr;
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
    return load_new(cls, given[0], std::move(content), py::read_as_utf8_checked(given[2]));
}

PyObject* doc_from_string(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"from_string", {"idd", "content"}, 2};
    PyObject* given[2] = {nullptr, nullptr};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    if (!py::check_instance(given[0], shared.idd_type, "idd") || !py::check_str_or_none(given[1], "content"))
        return nullptr;
    Ref content = py::encode_utf8(given[1]);  // strict: always valid UTF-8
    if (!content) return nullptr;
    return load_new(cls, given[0], std::move(content), true);
}

PyObject* doc_from_epjson(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"from_epjson", {"idd", "text_or_path", "epjson_schema"}, 3};
    PyObject* given[3] = {nullptr, nullptr, nullptr};
    if (!params.parse(args, nargs, kwnames, given) || !py::check_instance(given[0], shared.idd_type, "idd"))
        return nullptr;
    Ref json = epjson_text_bytes(given[1]);
    if (!json) return nullptr;
    const std::shared_ptr<const epjson::Schema> schema = epjson_schema_for(given[2]);
    if (!schema) return nullptr;
    const Ref keep_idd = Ref::borrow(given[0]);
    const idd::c_IDD& idd = reinterpret_cast<IDDObject*>(given[0])->c_idd;
    const std::string_view json_text = py::bytes_view(json.get());
    std::string text;
    epjson::Error error;
    bool converted;
    Py_BEGIN_ALLOW_THREADS
    converted = epjson::epjson_to_text(json_text, idd, *schema, text, error);
    Py_END_ALLOW_THREADS
    json.reset();
    if (!converted) {
        raise_epjson_error(error, nullptr);
        return nullptr;
    }
    Ref self = Ref::steal(doc_new(reinterpret_cast<PyTypeObject*>(cls), shared.empty_tuple, nullptr));
    if (!self) return nullptr;
    std::unique_ptr<TextStore> store;
    try {
        store = make_text_store(std::move(text));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (load_store(as_doc(self.get()), given[0], std::move(store), true) < 0) return nullptr;
    return self.release();
}

// ---------------------------------------------------------------------------
// Python methods: collections

PyObject* doc_get_objects(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"get_objects", {"class_name"}, 1};
    PyObject* given[1] = {nullptr};
    if (!params.parse(args, nargs, kwnames, given) || !py::check_str_or_none(given[0], "class_name")) return nullptr;
    IDFDoc* self = as_doc(obj);
    Ref list = Ref::steal(self->methods->get_objects_raw(self, given[0]));
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

PyObject* doc_get_idd(PyObject* obj, void*) {
    IDFDoc* self = as_doc(obj);
    if (!is_idd(self->idd)) {
        raise_document_not_initialized();
        return nullptr;
    }
    return Py_NewRef(self->idd);
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
    if (is_native(self)) {
        std::string key;
        if (!class_key(given[0], key)) return nullptr;
        Ref found;
        if (!object_at(self, self->doc.find_by_name(key, name), found)) return nullptr;
        return found ? found.release() : Py_NewRef(Py_None);
    }
    Ref candidates = Ref::steal(self->methods->get_objects_raw(self, given[0]));
    if (!candidates) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(candidates.get(), i);
        const ValuesView values = values_of(as_object(item));
        if (!values.empty() && equal_fold(values[0], name)) return Py_NewRef(item);
    }
    Py_RETURN_NONE;
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

// After making an object (which may run finalizers): whether the document
// is still native, under the same schema and free to change; false with
// RuntimeError set otherwise.
bool still_native(IDFDoc* self, PyObject* schema) {
    if (!check_not_validating(self)) return false;
    if (is_native(self) && self->idd == schema) return true;
    PyErr_SetString(PyExc_RuntimeError, "the document changed while the object was added");
    return false;
}

// Puts a new object (initialised with this document as its parent) at the
// end of a listed document's list, in the index under class key `key` and,
// with `cls`, its values in the graph. All or nothing; false with an
// exception set.
bool append_listed(IDFDoc* self, IDFObj* object, const std::string& key, const ClassDef* cls = nullptr) {
    PyObject* list = list_of(self);  // finalizers run by making the object may have replaced it
    if (!list) {
        raise_document_not_initialized();
        return false;
    }
    const Py_ssize_t size = PyList_GET_SIZE(list);
    object->obj_idx = static_cast<size_t>(size);
    ClassEntry* entry = nullptr;
    try {
        entry = &self->doc.index().get(key);  // made before the list grows: an empty entry shows nowhere
        if (cls) self->doc.register_values(*cls, values_of(object), object->obj_idx);
    } catch (const std::exception&) {
        PyErr_NoMemory();
        return false;
    }
    PyObject* item = reinterpret_cast<PyObject*>(object);
    if (PyList_Append(list, item) == 0) {
        try {
            edit_fault_point();
            entry->append(object->obj_idx);
            return true;
        } catch (const std::exception&) {
            PyList_SetSlice(list, size, size + 1, nullptr);  // the caller still holds the object
            PyErr_NoMemory();
        }
    }
    if (cls) unregister_all_values(self, object);
    return false;
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
    const idd::c_IDD* schema = schema_of(self->idd);
    if (!schema || (!is_native(self) && !list_of(self))) {
        raise_document_not_initialized();
        return nullptr;
    }
    const auto found = schema->class_map.find(key);
    if (found == schema->class_map.end() || found->second >= schema->ordered_classes.size()) {
        raise_unknown_class(given[0]);
        return nullptr;
    }
    const uint32_t class_idx = found->second;
    const ClassDef& cls = schema->ordered_classes[class_idx];
    if (with_defaults && !check_defaults(cls)) return nullptr;

    const Ref keep_schema = Ref::borrow(self->idd);  // `cls` lives in it, whatever finalizers do meanwhile
    Ref added;
    if (is_native(self)) {
        added = new_wrapper(self, class_idx);
        if (!added || !still_native(self, keep_schema.get())) return nullptr;
        size_t slot = 0;
        try {
            reserve_wrappers(self, self->doc.slot_count() + 1);
            slot = self->doc.add_object(class_idx);
        } catch (const std::exception&) {
            return PyErr_NoMemory();
        }
        bind_wrapper(self, added.get(), slot);
    } else {
        added = Ref::steal(IDFObjType.tp_new(&IDFObjType, shared.empty_tuple, nullptr));
        if (!added) return nullptr;
        IDFObj* object = as_object(added.get());
        try {
            FieldValues values;
            if (cls.min_fields > 0) values.resize(static_cast<size_t>(cls.min_fields));
            if (object->methods->c_init(object, self->idd, obj, class_idx, values) < 0) return nullptr;
        } catch (const std::exception&) {
            return PyErr_NoMemory();
        }
        if (!append_listed(self, object, key)) return nullptr;
    }
    IDFObj* object = as_object(added.get());
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
        PyErr_SetString(PyExc_ValueError, "The object uses a different IDD than this IDF; only objects of the same "
                                          "schema can be copied.");
        return nullptr;
    }
    const Ref keep_schema = Ref::borrow(self->idd);  // `cls` lives in it, whatever finalizers do meanwhile
    int32_t name_idx = -1;
    std::string_view new_name;
    if (given[1] != Py_None) {
        name_idx = require_name_field(*cls);
        if (name_idx < 0 || !py::str_utf8(given[1], new_name) || !check_written_text(new_name)) return nullptr;
    }
    const auto class_idx = static_cast<uint32_t>(source->class_idx);
    FieldValues values;
    try {
        values = FieldValues(values_of(source));  // taken before the document grows
        if (name_idx >= 0) write_value(values, static_cast<size_t>(name_idx), new_name, cls, nullptr, 0);
    } catch (const std::exception&) {
        return PyErr_NoMemory();
    }

    Ref added;
    if (is_native(self)) {
        added = new_wrapper(self, class_idx);
        if (!added || !still_native(self, keep_schema.get())) return nullptr;
        size_t slot = 0;
        try {
            reserve_wrappers(self, self->doc.slot_count() + 1);
            slot = self->doc.add_object(class_idx, std::move(values), true);
        } catch (const std::exception&) {
            return PyErr_NoMemory();
        }
        bind_wrapper(self, added.get(), slot);
        return added.release();
    }
    std::string key;
    try {
        key = to_upper(std::string(cls->name));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    added = Ref::steal(IDFObjType.tp_new(&IDFObjType, shared.empty_tuple, nullptr));
    if (!added) return nullptr;
    IDFObj* object = as_object(added.get());
    if (object->methods->c_init(object, self->idd, obj, class_idx, values) < 0) return nullptr;
    if (self->idd != keep_schema.get()) {  // a finalizer run meanwhile gave the document another schema
        PyErr_SetString(PyExc_RuntimeError, "the document changed while the object was added");
        return nullptr;
    }
    if (!append_listed(self, object, key, cls)) return nullptr;
    return added.release();
}

// Detaches an object the document lets go of: it keeps its values.
bool detach(IDFObj* target) {
    if (!unbind(target)) return false;
    Py_XSETREF(target->parent_idf, Py_NewRef(Py_None));
    return true;
}

PyObject* doc_remove_object(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"remove_object", {"obj"}, 1};
    PyObject* given[1] = {nullptr};
    if (!params.parse(args, nargs, kwnames, given) || !py::check_instance(given[0], &IDFObjType, "obj"))
        return nullptr;
    IDFDoc* self = as_doc(obj);
    if (!check_not_validating(self)) return nullptr;
    const Ref keep = Ref::borrow(given[0]);  // the document's own hold on it goes below
    IDFObj* target = as_object(given[0]);
    if (target->parent_idf != obj || occupant(self, target->obj_idx) != given[0]) {
        raise_foreign_object();
        return nullptr;
    }
    const size_t slot = target->obj_idx;
    if (is_native(self)) {
        if (!unbind(target)) return nullptr;
        self->doc.remove_object(slot);
        forget_wrapper(self, slot);
        Py_XSETREF(target->parent_idf, Py_NewRef(Py_None));
        Py_RETURN_NONE;
    }
    std::string key;
    try {
        key = to_upper(target->c_class_name);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    ClassEntry* entry = self->doc.index().find(key);
    if (!entry) {
        raise_foreign_object();
        return nullptr;
    }
    const bool was_bound = target->bound;
    if (!unbind(target)) return nullptr;  // the one step that can fail comes first
    // The slot keeps its place (None) so no other obj_idx changes.
    if (PyList_SetItem(self->objects, static_cast<Py_ssize_t>(slot), Py_NewRef(Py_None)) < 0) return nullptr;
    entry->erase_first(slot);
    unregister_all_values(self, target);
    detach(target);
    if (was_bound) self->doc.release(slot);
    Py_RETURN_NONE;
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
    if (is_native(self)) {
        // The objects handed out keep their values; then the document lets
        // go of the whole class at once.
        for (const size_t slot : slots) {
            PyObject* held = occupant(self, slot);
            if (held && !unbind(as_object(held))) return nullptr;
        }
        // The objects let go of are released once the document is done.
        std::vector<PyObject*> released;
        try {
            released.reserve(slots.size());
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
        const size_t removed = self->doc.remove_class(key);
        for (const size_t slot : slots) {
            if (slot >= self->wrappers.size() || !self->wrappers[slot]) continue;
            PyObject* held = std::exchange(self->wrappers[slot], nullptr);
            Py_XSETREF(as_object(held)->parent_idf, Py_NewRef(Py_None));
            released.push_back(held);
        }
        for (PyObject* held : released) Py_DECREF(held);
        return PyLong_FromSize_t(removed);
    }
    // What can fail comes first: every object taken out keeps its values.
    struct Taken {
        Ref object;
        size_t slot;
        bool was_bound;
    };
    std::vector<Taken> taken;
    try {
        taken.reserve(slots.size());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    for (const size_t slot : slots) {
        Ref target;
        if (!object_at(self, slot, target)) return nullptr;
        if (!target) continue;
        IDFObj* object = as_object(target.get());
        const bool was_bound = object->bound && parent_of(object) == self;
        if (!unbind(object)) return nullptr;
        taken.push_back(Taken{std::move(target), slot, was_bound});
    }
    for (const Taken& item : taken) {
        IDFObj* object = as_object(item.object.get());
        unregister_all_values(self, object);
        // The item is held, so replacing it runs no code.
        PyList_SetItem(self->objects, static_cast<Py_ssize_t>(item.slot), Py_NewRef(Py_None));
        detach(object);
        if (item.was_bound) self->doc.release(object->obj_idx);
    }
    self->doc.index().erase(key);
    return PyLong_FromSize_t(taken.size());
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

// The document's text as a str, line ends trimmed from both ends when asked.
// ASCII text (the rule) is measured, then written straight into the str; any
// other text goes through a buffer and the UTF-8 decoder. MemoryError when
// it could not be written whole.
Ref text_of(IDFDoc* self, const FormatConfig& config, bool preserve_order, bool trim) {
    Ref text;
    const WriteResult written = with_slots(self, [&](const SlotSource& slots, const idd::c_IDD* schema,
                                                     WriteResult& result) {
        const ClassIndex& index = self->doc.index();
        const TextMeasure measure = measure_document(config, preserve_order, schema, index, slots, result);
        if (measure.ascii) {
            size_t begin = trim ? measure.leading_newlines : 0;
            const size_t end = trim ? measure.bytes - measure.trailing_newlines : measure.bytes;
            if (begin > end) begin = end;  // nothing but line ends
            text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(end - begin), 127));
            if (text) os_memory::prefer_huge_pages(PyUnicode_DATA(text.get()), end - begin);
            if (text) write_document_into(static_cast<char*>(PyUnicode_DATA(text.get())), begin, end, config,
                                          preserve_order, schema, index, slots);
            return;
        }
        std::string buffer;
        write_document(buffer, config, preserve_order, schema, index, slots, result);
        if (result.out_of_memory) return;
        std::string_view view = buffer;
        if (trim) {
            const size_t first = view.find_first_not_of(kNewlines);
            view = first == std::string_view::npos ? std::string_view()
                                                   : view.substr(first, view.find_last_not_of(kNewlines) - first + 1);
        }
        text = py::decode_utf8(view);
    });
    if (written.out_of_memory) {
        PyErr_NoMemory();
        return {};
    }
    return text;
}

PyObject* doc_format(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{
        "format", {"class_indent_size", "field_indent_size", "field_size", "compact", "preserve_order"}, 0};
    Ref defaults[3] = {Ref::steal(PyLong_FromLong(0)), Ref::steal(PyLong_FromLong(4)), Ref::steal(PyLong_FromLong(24))};
    PyObject* given[5] = {defaults[0].get(), defaults[1].get(), defaults[2].get(), Py_False, Py_False};
    if (!given[0] || !given[1] || !given[2] || !params.parse(args, nargs, kwnames, given)) return nullptr;
    LayoutArgs layout;
    if (!parse_layout(given, layout)) return nullptr;
    return text_of(as_doc(obj), layout.config, layout.preserve_order, true).release();
}

// Writes `data` to `path` with the built-in open in "wb" mode, in one
// write() call, closing the file on every path. The file reads the buffer
// through a memoryview, so a large document is not copied once more. The
// error of a failed write (a full disk, an interrupt) comes out as raised.
bool write_file(PyObject* path, std::string_view data) {
    Ref file = Ref::steal(PyObject_CallFunction(shared.builtin_open, "Os", path, "wb"));
    if (!file) return false;
    Ref view = Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(data.data()),
                                                  static_cast<Py_ssize_t>(data.size()), PyBUF_READ));
    Ref written;
    if (view) {
        written = Ref::steal(PyObject_CallMethod(file.get(), "write", "O", view.get()));
        // The buffer goes away with this call: no view of it may outlive it.
        // A call needs no exception pending: the write's waits meanwhile.
        PyObject* failed_write = PyErr_GetRaisedException();
        Ref released = Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr));
        if (failed_write) {
            PyErr_Clear();  // the write's error is the one to tell
            PyErr_SetRaisedException(failed_write);
        } else if (!released) {
            written.reset();
        }
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
    if (write_text(self, text, layout.config, layout.preserve_order).out_of_memory) return PyErr_NoMemory();
    if (!write_file(given[0], text)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* doc_repr(PyObject* obj) {
    return text_of(as_doc(obj), shared.default_format_config, false, false).release();
}

// ---------------------------------------------------------------------------
// Python methods: checking

// Runs `check(slots, schema)` over what the document holds: a native
// document without the interpreter lock (changes wait, see
// check_not_validating), a listed one over a snapshot of its list. False
// with an exception set.
template <class Check>
bool with_checked_slots(IDFDoc* self, Check&& check) {
    const idd::c_IDD* schema = schema_of(self->idd);
    if (!schema || (!is_native(self) && !list_of(self))) {
        raise_document_not_initialized();
        return false;
    }
    const Ref keep_schema = Ref::borrow(self->idd);
    bool out_of_memory = false;
    if (is_native(self)) {
        const Ref keep = Ref::borrow(reinterpret_cast<PyObject*>(self));
        ++self->validating;
        Py_BEGIN_ALLOW_THREADS
        try {
            check(static_cast<const SlotSource&>(self->doc), *schema);
        } catch (const std::exception&) {
            out_of_memory = true;
        }
        Py_END_ALLOW_THREADS
        --self->validating;
    } else {
        ListedSlots slots;
        if (!slots.take(self)) return false;
        try {
            check(static_cast<const SlotSource&>(slots), *schema);
        } catch (const std::exception&) {
            out_of_memory = true;
        }
    }
    if (out_of_memory) PyErr_NoMemory();
    return !out_of_memory;
}

PyObject* doc_validate(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"validate", {"codes"}, 0};
    PyObject* given[1] = {Py_None};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    uint32_t codes = kAllCodes;
    if (!parse_problem_codes(given[0], codes)) return nullptr;
    IDFDoc* self = as_doc(obj);
    std::vector<Problem> problems;
    const bool done = with_checked_slots(self, [&](const SlotSource& slots, const idd::c_IDD& schema) {
        validate(slots, schema, self->doc.targets(), codes, problems);
    });
    return done ? problem_list(problems) : nullptr;
}

// The document as epJSON text in `out`; false with an exception set.
bool epjson_of(IDFDoc* self, PyObject* schema_path, PyObject* compact_arg, epjson::JsonText& out) {
    const int compact = PyObject_IsTrue(compact_arg);
    if (compact < 0) return false;
    const std::shared_ptr<const epjson::Schema> schema = epjson_schema_for(schema_path);
    if (!schema) return false;
    epjson::Error error;
    bool written = false;
    const bool done = with_checked_slots(self, [&](const SlotSource& slots, const idd::c_IDD& idd) {
        written = epjson::write_epjson(slots, idd, *schema, compact != 0, out, error);
    });
    if (!done) return false;
    if (!written) raise_epjson_error(error, self);
    return written;
}

// A str of UTF-8 text: ASCII text (the rule) is copied into a str whose
// memory the system backs with huge pages, tens of megabytes costing a few
// faults rather than thousands; other text goes through the decoder.
Ref large_text_str(std::string_view text) {
    const char* p = text.data();
    size_t n = text.size();
    uint64_t bits = 0;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t chunk;
        std::memcpy(&chunk, p, 8);
        bits |= chunk;
    }
    for (; n > 0; ++p, --n) bits |= static_cast<unsigned char>(*p);
    if (bits & 0x8080808080808080ULL) return py::decode_utf8(text);
    Ref str = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    if (!str) return {};
    os_memory::prefer_huge_pages(PyUnicode_DATA(str.get()), text.size());
    std::memcpy(PyUnicode_DATA(str.get()), text.data(), text.size());
    return str;
}

PyObject* doc_to_epjson(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"to_epjson", {"epjson_schema", "compact"}, 1};
    PyObject* given[2] = {nullptr, Py_False};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    epjson::JsonText text;
    if (!epjson_of(as_doc(obj), given[0], given[1], text)) return nullptr;
    return large_text_str(text.view()).release();
}

PyObject* doc_save_epjson(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"save_epjson", {"output_path", "epjson_schema", "compact"}, 2};
    PyObject* given[3] = {nullptr, nullptr, Py_False};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    epjson::JsonText text;
    if (!epjson_of(as_doc(obj), given[1], given[2], text) || !write_file(given[0], text.view())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* doc_get_version(PyObject* obj, void*) {
    IDFDoc* self = as_doc(obj);
    std::optional<std::string> version;
    const bool done = with_checked_slots(self, [&](const SlotSource& slots, const idd::c_IDD& schema) {
        if (const auto found = document_version(slots, schema)) version.emplace(*found);
    });
    if (!done) return nullptr;
    if (!version) Py_RETURN_NONE;
    return py::decode_utf8(*version).release();
}

PyGetSetDef doc_getset[] = {
    {"idd", doc_get_idd, nullptr, "The schema the document was loaded against", nullptr},
    {"version", doc_get_version, nullptr,
     "The document's version: the first field of its Version object as written, or None when it has none",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

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
    {"from_epjson", py::fastcall(doc_from_epjson), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_epjson($cls, /, idd, text_or_path, epjson_schema)\n--\n\n"
     "Read a document from epJSON\n\n"
     "Objects come in the JSON's order, each class's objects together; an\n"
     "object's name is its key, and numbers keep the text the JSON gives them.\n\n"
     "Args:\n"
     "    idd (IDD): schema the document is written against\n"
     "    text_or_path (str | bytes | PathLike): epJSON text (a str starting with '{',\n"
     "        or bytes), or the path of an epJSON file\n"
     "    epjson_schema (str | PathLike): path of the JSON schema (Energy+.schema.epJSON)\n"
     "        of the same version as idd; read once per file\n\n"
     "Returns:\n"
     "    IDF: the document\n\n"
     "Raises:\n"
     "    ValueError: text that is not JSON, an unknown class or field, a value of\n"
     "        the wrong JSON type or one a field cannot hold\n"},
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
    {"copy_object", py::fastcall(doc_copy_object), METH_FASTCALL | METH_KEYWORDS,
     "copy_object($self, /, obj, new_name=None)\n--\n\n"
     "Add a copy of an object at the end of the document\n\n"
     "The values are copied as they are (no defaults filled in); the references the\n"
     "copy holds are registered as for any added object.\n\n"
     "Args:\n"
     "    obj (IDFObject): an object of this document, of another one or detached, of the same IDD\n"
     "    new_name (str | None): when given, the copy's name (its class's name field)\n\n"
     "Returns:\n"
     "    IDFObject: the copy\n\n"
     "Raises:\n"
     "    ValueError: another schema, a class without a name field for new_name, or a\n"
     "        new_name containing ',', ';', '!' or a line break\n"},
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
    {"validate", py::fastcall(doc_validate), METH_FASTCALL | METH_KEYWORDS,
     "validate($self, /, codes=None)\n--\n\n"
     "Check the document against its schema, before any simulation run.\n\n"
     "Finds dangling references, missing required values and objects, repeated\n"
     "unique objects and names, values that are not numbers, whole numbers,\n"
     "choices or within bounds, too many fields (errors); too few fields, a\n"
     "version other than the schema's, obsolete classes and deprecated fields\n"
     "(warnings).\n\n"
     "Args:\n"
     "    codes (Iterable[str] | None): only these checks, e.g. {\"unknown-reference\"};\n"
     "        None runs them all\n\n"
     "Returns:\n"
     "    list[Problem]: every problem found, in document order (missing required\n"
     "    objects last)\n\n"
     "Raises:\n"
     "    ValueError: an unknown code\n"},
    {"to_epjson", py::fastcall(doc_to_epjson), METH_FASTCALL | METH_KEYWORDS,
     "to_epjson($self, /, epjson_schema, compact=False)\n--\n\n"
     "The document as epJSON text\n\n"
     "Classes are keyed by name, objects by their name (\"<Class> <n>\" for a class\n"
     "without one), fields by their JSON names; a repeating group is an array of\n"
     "objects. Numbers are JSON numbers where the schema types them so, words such\n"
     "as Autosize and choices take the schema's spelling, empty fields are left out.\n\n"
     "Args:\n"
     "    epjson_schema (str | PathLike): path of the JSON schema (Energy+.schema.epJSON)\n"
     "        of the document's version; read once per file\n"
     "    compact (bool): JSON on one line instead of indented by four blanks\n\n"
     "Returns:\n"
     "    str: JSON text\n\n"
     "Raises:\n"
     "    ValueError: the schema cannot express the document (a class it does not\n"
     "        have, text in a numeric field, more fields than it knows, two objects\n"
     "        of a class with the same name); nothing is written\n"},
    {"save_epjson", py::fastcall(doc_save_epjson), METH_FASTCALL | METH_KEYWORDS,
     "save_epjson($self, /, output_path, epjson_schema, compact=False)\n--\n\n"
     "Write the document as an epJSON file\n\n"
     "Writes the text to_epjson() gives, as UTF-8, in one write.\n\n"
     "Args:\n"
     "    output_path (str | PathLike): Output file path\n"
     "    epjson_schema (str | PathLike): path of the JSON schema (Energy+.schema.epJSON)\n"
     "    compact (bool): JSON on one line instead of indented by four blanks\n\n"
     "Raises:\n"
     "    ValueError: as to_epjson(); the file is not opened then\n"},
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
    methods.sq_length = doc_length;
    methods.sq_item = doc_sq_item;
    methods.sq_contains = doc_contains;
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
    type.tp_iter = doc_iter;
    type.tp_methods = doc_methods;
    type.tp_getset = doc_getset;
    type.tp_init = doc_init;
    type.tp_new = doc_new;
}

}  // namespace tarvix::idf
