// What the files of the IDF type share (idf_document.cpp, idf_load.cpp,
// idf_collections.cpp, idf_write.cpp, idf_validate.cpp, idf_epjson.cpp and
// the tables in idf.cpp): the handling of a native document's objects, the
// snapshot of a listed document's slots, and the type's methods.
#pragma once

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "py/idf.h"

namespace tarvix::idf {

inline IDFDoc* as_doc(PyObject* obj) { return reinterpret_cast<IDFDoc*>(obj); }
inline IDFObj* as_object(PyObject* obj) { return reinterpret_cast<IDFObj*>(obj); }

// Upper-cased class key of a Python class name; false with an exception
// set (None fails as calling .encode() on it would).
bool class_key(PyObject* class_name, std::string& key);

// The list of a listed document, or null (no list at all).
inline PyObject* list_of(const IDFDoc* doc) {
    return doc->objects && PyList_Check(doc->objects) ? doc->objects : nullptr;
}

// ---------------------------------------------------------------------------
// The objects of a native document (idf_document.cpp)

// The str of a class name, one per class and document.
py::Ref class_name_str(IDFDoc* doc, uint32_t class_idx);
// Room in a native document's table of objects for one in `slot`. Throws
// std::bad_alloc.
void reserve_wrapper(IDFDoc* doc, size_t slot);
// An IDFObject of a class, not yet bound, for a native document that is
// about to hand one out: made (which may run the cycle collector, and with
// it finalizers that change the document) before the slot is looked at or
// made, and with room in the document's list of objects for one more slot.
py::Ref new_wrapper(IDFDoc* doc, uint32_t class_idx);
// Binds an object from new_wrapper to live slot `slot` of its class; the
// document keeps it. Cannot fail and runs no Python code.
void bind_wrapper(IDFDoc* doc, PyObject* obj, size_t slot) noexcept;
// Drops a native document's hold on the object of a slot.
void forget_wrapper(IDFDoc* doc, size_t slot);

// ---------------------------------------------------------------------------
// A listed document's slots

// Which objects of a listed document's list an operation reaches: the
// queries reach every object the list holds (a restored state may share
// another document's objects); the writes of a rename, and the name checks
// before it, only the object that sits in its slot, naming this document as
// its parent and that slot as its own, whose values this document answers
// for.
enum class Reach { any_object, sitting };

// The slots of a listed document as edits and queries reach them: the
// list's items, each object's values its own or, bound, the Document's.
// Read live from the list: no Python code may run while it is used.
//
// An object it appends is the one given as `incoming` (made and initialised
// with this document as its parent beforehand: making it may run Python
// code); it takes the values appended. A slot it vacates holds None after.
class ListedHost final : public SlotHost {
public:
    ListedHost(IDFDoc* doc, Reach reach, IDFObj* incoming = nullptr) noexcept
        : doc_(doc), reach_(reach), incoming_(incoming) {}
    size_t slot_count() const noexcept override {
        PyObject* list = list_of(doc_);
        return list ? static_cast<size_t>(PyList_GET_SIZE(list)) : 0;
    }
    SlotState view(size_t slot, ObjectView& out) const noexcept override {
        PyObject* item = occupant(doc_, slot);
        if (!item || item == Py_None) return SlotState::empty;
        if (!is_idf_object(item)) return SlotState::foreign;
        const IDFObj* obj = reach_ == Reach::sitting ? sitting(slot) : reinterpret_cast<const IDFObj*>(item);
        if (!obj) return SlotState::empty;
        out = ObjectView{class_def_of(obj), obj->c_class_name, values_of(obj)};
        return SlotState::object;
    }
    // Only with Reach::sitting, in a slot view() showed an object in.
    void prepare(size_t slot, size_t extra, size_t count) override {
        IDFObj* target = sitting(slot);
        if (target->bound) {
            doc_->doc.prepare_value(slot, extra, count);
        } else {
            edit_fault_point();
            target->values.prepare(extra, count);
        }
    }
    void write(size_t slot, size_t field_idx, std::string_view value) noexcept override {
        IDFObj* target = sitting(slot);
        if (target->bound)
            doc_->doc.store_prepared(slot, field_idx, value);
        else
            target->values.set_prepared(field_idx, value);
    }
    // Only with an `incoming` object and a list.
    void append(uint32_t, FieldValues values) override {
        PyObject* list = list_of(doc_);
        incoming_->values = std::move(values);
        incoming_->obj_idx = static_cast<size_t>(PyList_GET_SIZE(list));
        if (PyList_Append(list, reinterpret_cast<PyObject*>(incoming_)) < 0) {
            PyErr_Clear();
            throw std::bad_alloc();
        }
    }
    // The caller still holds the object: taking it out runs no Python code.
    void unappend() noexcept override {
        PyObject* list = list_of(doc_);
        const Py_ssize_t size = PyList_GET_SIZE(list);
        PyList_SetSlice(list, size - 1, size, nullptr);
    }
    // The caller holds the object in the slot: replacing it runs no Python
    // code.
    void vacate(size_t slot) noexcept override {
        PyList_SetItem(list_of(doc_), static_cast<Py_ssize_t>(slot), Py_NewRef(Py_None));
    }

private:
    IDFObj* sitting(size_t slot) const noexcept {
        PyObject* item = occupant(doc_, slot);
        if (!is_idf_object(item)) return nullptr;
        IDFObj* obj = reinterpret_cast<IDFObj*>(item);
        return parent_of(obj) == doc_ && obj->obj_idx == slot ? obj : nullptr;
    }
    IDFDoc* doc_;
    Reach reach_;
    IDFObj* incoming_;
};

// Runs `use(host)` over the document's slots as edits and queries reach
// them: the Document itself, or the list of a listed document.
template <class Use>
decltype(auto) with_host(IDFDoc* doc, Reach reach, Use&& use) {
    if (is_native(doc)) return use(static_cast<SlotHost&>(doc->doc));
    ListedHost host(doc, reach);
    return use(static_cast<SlotHost&>(host));
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
            unchanged_.resize(count, 0);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        for (size_t slot = 0; slot < count; ++slot) {
            PyObject* item = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(slot));
            items_.push_back(py::Ref::borrow(item));
            if (item == Py_None) continue;
            if (!is_idf_object(item)) {
                states_[slot] = SlotState::foreign;
                continue;
            }
            const IDFObj* obj = as_object(item);
            views_[slot] = ObjectView{class_def_of(obj), obj->c_class_name, values_of(obj)};
            states_[slot] = SlotState::object;
            // The loaded object itself, as loaded.
            unchanged_[slot] = obj->bound && parent_of(obj) == doc && obj->obj_idx == slot && doc->doc.unchanged(slot);
        }
        return true;
    }
    bool unchanged(size_t slot) const noexcept override { return unchanged_[slot] != 0; }
    size_t slot_count() const noexcept override { return items_.size(); }
    SlotState view(size_t slot, ObjectView& out) const noexcept override {
        if (states_[slot] == SlotState::object) out = views_[slot];
        return states_[slot];
    }
    PyObject* item(size_t slot) const { return items_[slot].get(); }

private:
    std::vector<py::Ref> items_;
    std::vector<ObjectView> views_;
    std::vector<SlotState> states_;
    std::vector<uint8_t> unchanged_;
};

// The module's own readers of a native document (Reader: py/idf_api.h).
inline constexpr Reader kValidating{"validated", "validate()"};
inline constexpr Reader kWritingEpjson{"written as epJSON", "to_epjson()"};
inline constexpr Reader kReadingVersion{"read for its version", "version"};

// Runs `check(slots, schema)` over what the document holds: a native
// document without the interpreter lock (changes wait, see
// check_not_validating, which names `reader`), a listed one over a snapshot
// of its list. False with an exception set; an exception of `check` goes on
// to the caller's guard.
template <class Check>
bool with_checked_slots(IDFDoc* self, const Reader& reader, Check&& check) {
    const c_IDD* schema = schema_of(self->idd);
    if (!schema || (!is_native(self) && !list_of(self))) {
        raise_document_not_initialized();
        return false;
    }
    const py::Ref keep_schema = py::Ref::borrow(self->idd);
    if (is_native(self)) {
        const py::Ref keep = py::Ref::borrow(reinterpret_cast<PyObject*>(self));
        const Reader* before = self->reader;
        ++self->validating;
        self->reader = &reader;
        struct Done {
            IDFDoc* doc;
            const Reader* before;
            ~Done() {
                --doc->validating;
                doc->reader = doc->validating ? before : nullptr;
            }
        } done{self, before};
        py::without_lock([&] { check(static_cast<const SlotSource&>(self->doc), *schema); });
        return true;
    }
    ListedSlots slots;
    if (!slots.take(self)) return false;
    check(static_cast<const SlotSource&>(slots), *schema);
    return true;
}

// ---------------------------------------------------------------------------
// Loading (idf_load.cpp)

// Loads the text of `store` (UTF-8; `known_valid` when it was checked or
// made as such) into a new document that nothing else holds.
int load_store(IDFDoc* self, PyObject* idd, std::unique_ptr<TextStore> store, bool known_valid,
               bool keep_layout = false);

// ---------------------------------------------------------------------------
// Writing (idf_write.cpp)

// Writes `data` to `path` with the built-in open in "wb" mode, in one
// write() call, closing the file on every path.
bool write_file(PyObject* path, std::string_view data);

// ---------------------------------------------------------------------------
// The type's slots, methods and native operations, by file

// idf_document.cpp
PyObject* doc_new(PyTypeObject* type, PyObject*, PyObject*);
int doc_traverse(PyObject* obj, visitproc visit, void* arg);
int doc_clear(PyObject* obj);
void doc_dealloc(PyObject* obj);
int doc_init(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* doc_get_idd(PyObject* obj, void*);
void doc_register_target(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx, int32_t field_idx);
void doc_register_referencer(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                             int32_t field_idx);
void doc_unregister_target(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                           int32_t field_idx);
void doc_unregister_referencer(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                               int32_t field_idx);

// idf_load.cpp
int doc_c_init(IDFDoc* self, PyObject* idd, py::Ref& idf_content);
int doc_build_objects(IDFDoc* self, std::vector<c_IDFObject>& c_idf_objects);
PyObject* doc_from_file(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* doc_from_string(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// idf_collections.cpp
PyObject* doc_get_objects_raw(IDFDoc* self, PyObject* class_name);
PyObject* doc_get_objects(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* doc_subscript(PyObject* obj, PyObject* class_name);
PyObject* doc_sq_item(PyObject* obj, Py_ssize_t index);
Py_ssize_t doc_length(PyObject* obj);
PyObject* doc_iter(PyObject* obj);
int doc_contains(PyObject* obj, PyObject* class_name);
PyObject* doc_get_object_by_name(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* doc_get_class_names(PyObject* obj, PyObject*);
PyObject* doc_add_object(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* doc_copy_object(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* doc_remove_object(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* doc_remove_all_objects(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// idf_write.cpp
void doc_write_to_buffer(IDFDoc* self, std::string& out, const FormatConfig* config, const WriteOptions* options);
PyObject* doc_line_of(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* doc_format(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* doc_save(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* doc_repr(PyObject* obj);

// idf_validate.cpp
PyObject* doc_validate(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* doc_get_version(PyObject* obj, void*);

// idf_epjson.cpp
PyObject* doc_from_epjson(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Migration (idf_migrate.cpp)
PyObject* doc_migrate_text(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* doc_migrate(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* migration_rules(PyObject*, PyObject*);
PyObject* migration_versions(PyObject*, PyObject*);
PyObject* doc_to_epjson(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* doc_save_epjson(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarvix::idf
