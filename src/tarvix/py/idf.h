// tarvix.idf: the layouts of IDF (a document) and IDFObject (one object of
// it), their native method tables, and what the module's files share.
//
// The document itself is the core's Document: slots, per-class index,
// reference graph. The binding holds the Python side:
//
// - An IDF starts "native": its object list is the Document's slots, and
//   the IDFObject of a slot is made the first time it is handed out and kept
//   from then on (the same object every time). Its values stay in the
//   Document; the object is "bound" to its slot.
// - Once the list itself is asked for (the reduce protocol hands out the
//   document's list) or replaced (a restored state), the IDF is "listed":
//   the Python list says what sits in each slot, as the caller may change
//   it. Objects bound before keep their values in the Document.
// - Only the object that sits in its document's slot changes the document's
//   reference graph; any other object, whatever its parent says, changes
//   only its own values.
#pragma once

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "core/document/document.h"
#include "core/formats/kept_layout.h"
#include "core/formats/layout.h"
#include "core/formats/epjson.h"
#include "core/text/number.h"
#include "core/validation/validate.h"
#include "py/binding.h"
#include "py/idd.h"
#include "py/idf_api.h"
#include "py/lexer.h"

namespace tarvix::idf {

using idd::IDDObject;

struct IDFDoc;
struct IDFObj;

// Native methods of IDFObject, in table order.
struct IDFObjMethods {
    const ClassDef* (*get_class_def)(IDFObj* self);
    int (*c_init)(IDFObj* self, PyObject* idd, PyObject* parent_idf, size_t class_idx, FieldValues& values);
    int (*set_string_by_index)(IDFObj* self, int32_t field_idx, std::string_view value);
    int (*set_by_index)(IDFObj* self, int32_t field_idx, PyObject* value);
    void (*trim_trailing_empty_fields)(IDFObj* self);
    // Appends the object's text; never raises (failures go to the
    // unraisable-error hook and the text stops there).
    void (*write_to_buffer)(IDFObj* self, std::string& out_buffer, const FormatConfig* config);
};

// Optional arguments of IDF.write_to_buffer: how many are given, then
// whether to keep document order instead of schema order.
struct WriteOptions {
    int32_t n;
    bool preserve_order;
};

// Native methods of IDF, in table order.
struct IDFMethods {
    void (*register_target)(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                            int32_t field_idx);
    void (*register_referencer)(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                                int32_t field_idx);
    void (*unregister_target)(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                              int32_t field_idx);
    void (*unregister_referencer)(IDFDoc* self, const std::string& tag, std::string_view val, size_t obj_idx,
                                  int32_t field_idx);
    // Takes over `idf_content` (UTF-8 bytes); the loaded values live in it.
    int (*c_init)(IDFDoc* self, PyObject* idd, py::Ref& idf_content);
    int (*build_objects)(IDFDoc* self, std::vector<c_IDFObject>& c_idf_objects);
    PyObject* (*get_objects_raw)(IDFDoc* self, PyObject* class_name);
    void (*write_to_buffer)(IDFDoc* self, std::string& out_buffer, const FormatConfig* config,
                            const WriteOptions* options);
};

struct IDFObj {
    PyObject_HEAD const IDFObjMethods* methods;
    PyObject* idd;         // IDD, or None before initialisation
    PyObject* parent_idf;  // owning IDF, or None when detached
    size_t class_idx;      // position of the class in the schema
    std::string c_class_name;
    PyObject* class_name;  // str, or None before initialisation
    FieldValues values;    // the object's own values, when it is not bound
    size_t obj_idx;        // slot in the parent's object list
    bool bound;            // its values are those of slot obj_idx of the parent's Document
};

// The IDFObject of each slot of a native document, once handed out, in
// pages of slots made when an object of theirs is first handed out: the
// first object of a large document costs one page, not a table as long as
// the document (which, zeroed, costs as much as a small load).
class WrapperTable {
public:
    // Slots [0, size()) may hold an object; the rest hold none.
    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    PyObject* get(size_t slot) const noexcept {
        if (slot >= size_) return nullptr;
        const std::unique_ptr<PyObject*[]>& page = pages_[slot / kPage];
        return page ? page[slot % kPage] : nullptr;
    }
    // Room for an object in `slot`, so that set() cannot fail. Throws
    // std::bad_alloc, the table unchanged.
    void reserve_slot(size_t slot) {
        const size_t at = slot / kPage;
        if (at >= pages_.size()) pages_.resize(std::max(at + 1, 2 * pages_.size()));
        if (!pages_[at]) pages_[at] = std::make_unique<PyObject*[]>(kPage);  // zeroed
    }
    // Within the room reserved; takes the reference.
    void set(size_t slot, PyObject* obj) noexcept {
        if (slot >= size_) size_ = slot + 1;
        pages_[slot / kPage][slot % kPage] = obj;
    }
    // The object of a slot, no longer held here (a reference for the caller).
    PyObject* take(size_t slot) noexcept {
        if (slot >= size_ || !pages_[slot / kPage]) return nullptr;
        return std::exchange(pages_[slot / kPage][slot % kPage], nullptr);
    }
    template <class Each>
    int for_each(Each&& each) const {
        for (const std::unique_ptr<PyObject*[]>& page : pages_) {
            if (!page) continue;
            for (size_t i = 0; i < kPage; ++i)
                if (page[i])
                    if (const int stop = each(page[i])) return stop;
        }
        return 0;
    }
    void swap(WrapperTable& other) noexcept {
        pages_.swap(other.pages_);
        std::swap(size_, other.size_);
    }

private:
    static constexpr size_t kPage = 512;
    std::vector<std::unique_ptr<PyObject*[]>> pages_;  // null: no object handed out there
    size_t size_ = 0;
};

struct IDFDoc {
    PyObject_HEAD const IDFMethods* methods;
    PyObject* idd;      // IDD, or None
    PyObject* objects;  // listed: the list of objects (None in removed slots) or None; native: null
    Document doc;       // the slots, the per-class index and the reference graph
    WrapperTable wrappers;               // native: the IDFObject of each slot, once handed out
    std::vector<PyObject*> class_names;  // native: the str of each class, once used
    uint32_t validating;                 // native: checks running without the interpreter lock
    const Reader* reader;                // native: what the latest of them is, for the refusal of a change
    std::string folder;                  // the folder of the file it was read from, else empty
};

// The module's state, filled at execution and kept for the life of the
// process.
struct Shared {
    PyTypeObject* lexer_type = nullptr;
    const lexer::LexerMethods* lexer_methods = nullptr;
    PyTypeObject* idd_type = nullptr;
    const idd::IDDMethods* idd_methods = nullptr;

    idd::ResolveKeyToFieldIndexFn* resolve_key_to_field_index = nullptr;
    idd::FindFieldIndexFn* find_field_index = nullptr;
    idd::GetFieldNameFn* get_field_name = nullptr;
    idd::GetFieldDefFn* get_field_def = nullptr;
    ReadUtf8BytesFn* read_utf8_bytes = nullptr;
    AnyToStringFn* any_to_string = nullptr;
    GetCurrentTimeFn* get_current_time = nullptr;

    PyObject* builtin_open = nullptr;
    PyObject* module_dict = nullptr;  // borrowed: the module lives for good
    PyObject* empty_tuple = nullptr;
    PyObject* empty_str = nullptr;
    PyObject* autosize = nullptr;       // "Autosize"
    PyObject* autocalculate = nullptr;  // "Autocalculate"

    FormatConfig default_format_config;  // padded: field indent 4, width 24
    FormatConfig minimal_format_config;  // compact
};
extern Shared shared;

extern PyTypeObject IDFObjType;
extern PyTypeObject IDFDocType;
extern const IDFObjMethods idf_object_methods;
extern const IDFMethods idf_methods;

void setup_idf_object_type();

// IDFObject's native operations that the module's other files call (the
// table publishes them for other modules; inside the module calls are
// direct).
int object_c_init(IDFObj* self, PyObject* idd, PyObject* parent_idf, size_t class_idx, FieldValues& values);
int object_set_string_by_index(IDFObj* self, int32_t field_idx, std::string_view value);
void setup_idf_type();
// Publishes the functions of py/idf_api.h in the module's table (idf_api.cpp).
int publish_document_api(PyObject* module);

// Reduce protocol (idf_pickle.cpp): the hooks both classes carry and the
// module-level reconstructors.
PyObject* doc_reduce(PyObject* self, PyObject*);
PyObject* doc_setstate(PyObject* self, PyObject* state);
PyObject* object_reduce(PyObject* self, PyObject*);
PyObject* object_setstate(PyObject* self, PyObject* state);
PyObject* unpickle_idf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* unpickle_idf_object(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// ---------------------------------------------------------------------------
// Messages raised from more than one place

void raise_object_not_initialized();
void raise_document_not_initialized();
void raise_class_index_out_of_bounds(size_t class_idx);
void raise_foreign_object();
void raise_unknown_class(PyObject* class_name);

// ---------------------------------------------------------------------------
// Types and members

inline bool is_idd(PyObject* obj) { return obj && PyObject_TypeCheck(obj, shared.idd_type); }
inline bool is_idf_object(PyObject* obj) { return obj && PyObject_TypeCheck(obj, &IDFObjType); }
inline bool is_idf(PyObject* obj) { return obj && PyObject_TypeCheck(obj, &IDFDocType); }

// The schema of an object or document, or null when it has none.
inline const c_IDD* schema_of(PyObject* idd) {
    return is_idd(idd) ? &reinterpret_cast<IDDObject*>(idd)->c_idd : nullptr;
}

// The object's class, or null (no schema, or a class index the schema does
// not have).
inline const ClassDef* class_def_of(const IDFObj* self) {
    const c_IDD* schema = schema_of(self->idd);
    if (!schema || self->class_idx >= schema->ordered_classes.size()) return nullptr;
    return &schema->ordered_classes[self->class_idx];
}

// As class_def_of, raising RuntimeError / ValueError when there is none.
const ClassDef* require_class_def(IDFObj* self);

// The document an object names as its parent, or null when detached.
inline IDFDoc* parent_of(const IDFObj* self) {
    return is_idf(self->parent_idf) ? reinterpret_cast<IDFDoc*>(self->parent_idf) : nullptr;
}

inline bool is_native(const IDFDoc* doc) { return doc->objects == nullptr; }

// The values an object reads and writes.
inline ValuesView values_of(const IDFObj* self) {
    if (self->bound) {
        const IDFDoc* parent = parent_of(self);
        if (parent && self->obj_idx < parent->doc.slot_count()) return parent->doc.values(self->obj_idx);
        return {};
    }
    return self->values.view();
}

// Gives a bound object its values to keep: it stops reading its slot.
// Returns false with MemoryError set.
bool unbind(IDFObj* self);

// Refuses (ValueError) text that would split a value or cut it short when
// the document is written back: ",", ";", "!" and line breaks.
bool check_written_text(std::string_view text);

// The class's name field (see name_field_index); -1 with ValueError set
// when the class has none.
int32_t require_name_field(const ClassDef& cls);

// Typed value of stored text for a field definition (null: no definition).
py::Ref convert_field_value(const FieldDef* field, std::string_view val);

// ---------------------------------------------------------------------------
// Slots of a document

// The IDFObject in a slot, or nothing in `out` (a removed slot, a slot past
// the end, an item that is not an object). A native document makes the
// object on first use; false when that fails (an exception is set).
bool object_at(IDFDoc* doc, size_t slot, py::Ref& out);

// The object in a slot without making one: the item of a listed document's
// list, or the object already handed out for a native slot. Borrowed.
PyObject* occupant(const IDFDoc* doc, size_t slot);

// True when `self` is the object that sits in its parent's slot: only that
// object changes the parent's reference graph.
bool sits_in_parent(const IDFObj* self);

// False with RuntimeError set while a check of the document runs without
// the interpreter lock (another thread's validate()): nothing may change it
// until the check is done.
bool check_not_validating(const IDFDoc* doc);

// Makes the document listed: builds its list from its slots (objects made
// for every live slot). Returns false with an exception set.
bool materialize(IDFDoc* doc);

// A new IDFObjectTuple holding the items of `list` (the class is looked up
// by its module-level name at each call).
py::Ref make_object_tuple(PyObject* list);

// The object's values, each with the graph of the parent it sits in:
// registers or unregisters every non-empty value.
void unregister_all_values(IDFDoc* doc, IDFObj* obj);

// ---------------------------------------------------------------------------
// Checking (idf_validate.cpp)

int setup_problem_type(PyObject* module);
// A list of new Problem records; null with an exception set. The problems
// view the document's values: call it before any Python code runs after
// the check.
PyObject* problem_list(const IDFDoc* doc, const std::vector<Problem>& problems);
// The code_bit mask of validate()'s `codes` argument (None: all codes);
// false with TypeError / ValueError set.
bool parse_problem_codes(PyObject* codes, uint32_t& mask);

// ---------------------------------------------------------------------------
// epJSON (idf_epjson.cpp)

// The JSON schema read from the file at `path` (str or os.PathLike), read
// once per file and kept; null with an exception set.
std::shared_ptr<const epjson::Schema> epjson_schema_for(PyObject* path);
// The bytes of JSON text given as str (text starting with '{') or bytes, or
// read from a path (any other str, or os.PathLike); null with an exception.
py::Ref epjson_text_bytes(PyObject* text_or_path);
// Raises the error of reading or writing epJSON.
void raise_epjson_error(const epjson::Error& error, const IDFDoc* doc);

}  // namespace tarvix::idf
