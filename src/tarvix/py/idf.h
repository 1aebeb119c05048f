// tarvix.idf: the layouts of IDF (a document) and IDFObject (one object of
// it), their native method tables, and what the module's source files share:
// the classes and functions imported from the other modules, and helpers.
#pragma once

#include <vector>

#include "py/binding.h"
#include "py/idd.h"
#include "core/document.h"
#include "py/lexer.h"

namespace tarvix::idf {

using idd::ClassDef;
using idd::FieldDef;
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
    // Takes over `idf_content` (UTF-8 bytes) and lets it go once parsed, so a
    // large text is not held while the objects are built.
    int (*c_init)(IDFDoc* self, PyObject* idd, py::Ref& idf_content);
    int (*build_objects)(IDFDoc* self, std::vector<c_IDFObject>& c_idf_objects);
    PyObject* (*get_objects_raw)(IDFDoc* self, PyObject* class_name);
    void (*write_to_buffer)(IDFDoc* self, std::string& out_buffer, const FormatConfig* config,
                            const WriteOptions* options);
};

struct IDFObj {
    PyObject_HEAD
    const IDFObjMethods* methods;
    PyObject* idd;         // IDD, or None before initialisation
    PyObject* parent_idf;  // owning IDF, or None when detached
    size_t class_idx;      // position of the class in the schema
    std::string c_class_name;
    PyObject* class_name;  // str, or None before initialisation
    FieldValues values;
    size_t obj_idx;        // slot in the parent's object list
};

struct IDFDoc {
    PyObject_HEAD
    const IDFMethods* methods;
    PyObject* idd;      // IDD, or None
    PyObject* objects;  // list of IDFObject (None in removed slots), or None
    StringMap<std::vector<size_t>> objects_index_map;  // class key -> obj_idx of live objects
    RefMap targets;      // reference fields: where each name is defined
    RefMap referencers;  // object-list fields: where each name is used
};

// What the module imports and builds at execution; kept for the life of the
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
void setup_idf_type();

// Reduce protocol (pickle.cpp): the hooks both classes carry and the
// module-level reconstructors.
PyObject* doc_reduce(PyObject* self, PyObject*);
PyObject* doc_setstate(PyObject* self, PyObject* state);
PyObject* object_reduce(PyObject* self, PyObject*);
PyObject* object_setstate(PyObject* self, PyObject* state);
PyObject* unpickle_idf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* unpickle_idf_object(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// ---------------------------------------------------------------------------
// Helpers shared by the type implementations

inline bool is_idd(PyObject* obj) { return obj && PyObject_TypeCheck(obj, shared.idd_type); }
inline bool is_idf_object(PyObject* obj) { return obj && PyObject_TypeCheck(obj, &IDFObjType); }
inline bool is_idf(PyObject* obj) { return obj && PyObject_TypeCheck(obj, &IDFDocType); }

// The schema of an object or document, or null when it has none.
inline const idd::c_IDD* schema_of(PyObject* idd) {
    return is_idd(idd) ? &reinterpret_cast<IDDObject*>(idd)->c_idd : nullptr;
}

// The object's class, or null (no schema, or a class index the schema does
// not have).
inline const ClassDef* class_def_of(IDFObj* self) {
    const idd::c_IDD* schema = schema_of(self->idd);
    if (!schema || self->class_idx >= schema->ordered_classes.size()) return nullptr;
    return &schema->ordered_classes[self->class_idx];
}

// As class_def_of, raising RuntimeError / ValueError when there is none.
const ClassDef* require_class_def(IDFObj* self);

// The document an attached object belongs to, or null when detached.
inline IDFDoc* parent_of(IDFObj* self) {
    return is_idf(self->parent_idf) ? reinterpret_cast<IDFDoc*>(self->parent_idf) : nullptr;
}

// Typed value of stored text for a field definition (null: no definition).
PyObject* convert_field_value(const FieldDef* field, std::string_view val);

// The object at a slot of a document's list when it is a live IDFObject,
// else null (removed slot, an index past the end, a foreign item).
inline IDFObj* object_at(IDFDoc* doc, size_t index) {
    if (!doc->objects || !PyList_Check(doc->objects) || index >= static_cast<size_t>(PyList_GET_SIZE(doc->objects)))
        return nullptr;
    PyObject* item = PyList_GET_ITEM(doc->objects, static_cast<Py_ssize_t>(index));
    return is_idf_object(item) ? reinterpret_cast<IDFObj*>(item) : nullptr;
}

// A new IDFObjectTuple holding the items of `list` (the class is looked up
// by its module-level name at each call).
PyObject* make_object_tuple(PyObject* list);

// Unregisters every non-empty value of an attached object from its
// document's reference graph.
void unregister_all_values(IDFDoc* doc, IDFObj* obj, const ClassDef* cls);

// Registers / unregisters one value under every tag of a field definition:
// references into `targets`, then object-lists into `referencers`.
void register_field_value(IDFDoc* doc, const FieldDef& field, std::string_view value, size_t obj_idx,
                          int32_t field_idx);
void unregister_field_value(IDFDoc* doc, const FieldDef& field, std::string_view value, size_t obj_idx,
                            int32_t field_idx);

}  // namespace tarvix::idf
