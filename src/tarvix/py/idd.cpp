// tarvix.idd: the IDD class (a loaded schema), the native schema functions
// published for tarvix.idf, and debug_ functions for field lookup.
#include "py/idd.h"
#include "py/idd_info.h"

#include <new>

namespace tarvix::idd {
namespace {

using py::Ref;

// Filled at module execution and kept for the life of the process.
PyObject* empty_tuple = nullptr;
PyTypeObject* lexer_type = nullptr;
const lexer::LexerMethods* lexer_methods = nullptr;
ReadUtf8BytesFn* read_utf8_bytes = nullptr;
GetContinuousDigitsIndicesFn* get_continuous_digits_indices = nullptr;

// ---------------------------------------------------------------------------
// Published native functions

// Raises the ValueError of a failed schema parse; needs the interpreter lock.
void raise_parse_error(const ParseError& error) {
    Ref value = py::decode_utf8(error.value);
    if (!value) return;
    const int line = error.line_num;
    switch (error.kind) {
        case ParseErrorKind::orphaned_property:
            PyErr_Format(PyExc_ValueError,
                         "Syntax error (Line %d): Orphaned property '%U' found before any class definition.", line,
                         value.get());
            break;
        case ParseErrorKind::field_property_without_class:
            PyErr_Format(PyExc_ValueError,
                         "IDD parsing error (Line %d): Field property '%U' found, but no class exists.", line,
                         value.get());
            break;
        case ParseErrorKind::empty_class_name:
            PyErr_Format(PyExc_ValueError, "IDD parsing error (Line %d): Empty class name.", line);
            break;
        case ParseErrorKind::unexpected_eof:
            PyErr_Format(PyExc_ValueError,
                         "IDD parsing error (Line %d): Unexpected EOF. Missing ';' at the end of class definition.",
                         line);
            break;
        case ParseErrorKind::token_error:
            PyErr_Format(PyExc_ValueError, "IDD parsing error (Line %d): %R", line, value.get());
            break;
        case ParseErrorKind::min_fields_too_large:
            PyErr_Format(PyExc_ValueError,
                         "IDD parsing error: class '%U' has \\min-fields %lld, more than the limit of %lld.",
                         value.get(), static_cast<long long>(error.number), static_cast<long long>(error.limit));
            break;
    }
}

// Parses the lexer's text into `idd`. Runs without the interpreter lock and
// takes it only to raise the error.
int parse_idd(lexer::LexerObject* lexer, c_IDD& idd) {
    ParseError error;
    if (parse_schema(lexer->tokenizer, idd, error)) return 0;
    PyGILState_STATE gil = PyGILState_Ensure();
    raise_parse_error(error);
    PyGILState_Release(gil);
    return -1;
}

// Field index for a Python key: an int index or a case-insensitive field
// name. -1 with an exception set when the key does not name a field.
// Field names that programs read again and again ("Name" in a loop over
// objects) are found again by the identity of the str and the class, without
// folding and hashing the name each time. Each cached str is held, so its
// address cannot come back as another str; a schema that goes away takes its
// entries with it (forget_classes), so a class address cannot either.
class KeyCache {
public:
    int32_t find(const ClassDef* cls, PyObject* key) const noexcept {
        const Entry& entry = entries_[slot(cls, key)];
        return entry.key == key && entry.cls == cls ? entry.index : -1;
    }
    void remember(const ClassDef* cls, PyObject* key, int32_t index) noexcept {
        Entry& entry = entries_[slot(cls, key)];
        PyObject* old = entry.key;
        entry = Entry{Py_NewRef(key), cls, index};
        Py_XDECREF(old);
    }
    // Drops the entries of the classes in [first, last).
    void forget_classes(const ClassDef* first, const ClassDef* last) noexcept {
        for (Entry& entry : entries_)
            if (entry.key && entry.cls >= first && entry.cls < last) {
                PyObject* old = std::exchange(entry.key, nullptr);
                entry.cls = nullptr;
                Py_DECREF(old);
            }
    }

private:
    struct Entry {
        PyObject* key = nullptr;
        const ClassDef* cls = nullptr;
        int32_t index = -1;
    };
    static size_t slot(const ClassDef* cls, PyObject* key) noexcept {
        const auto mixed = (reinterpret_cast<uintptr_t>(key) >> 4) * 0x9E3779B97F4A7C15ULL ^
                           (reinterpret_cast<uintptr_t>(cls) >> 3);
        return static_cast<size_t>(mixed >> 55) & (kSize - 1);
    }
    static constexpr size_t kSize = 512;
    Entry entries_[kSize];
};

KeyCache key_cache;

int32_t resolve_key_to_field_index(const ClassDef* cls, PyObject* key) {
    if (!cls) {
        PyErr_SetString(PyExc_RuntimeError, "object has no schema class");
        return -1;
    }
    if (PyLong_Check(key)) {
        int overflow = 0;
        const long long index = PyLong_AsLongLongAndOverflow(key, &overflow);
        if (index == -1 && !overflow && PyErr_Occurred()) return -1;
        if (overflow) {  // beyond a signed long either way
            PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
            return -1;
        }
        if (index < 0) {
            PyErr_SetString(PyExc_KeyError, "Field index should be >= 0.");
            return -1;
        }
        if (index > INT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
            return -1;
        }
        if (!cls->extensible.is_extensible && static_cast<size_t>(index) >= cls->fields.size()) {
            Ref class_name = py::decode_utf8(cls->name);
            if (class_name)
                PyErr_Format(PyExc_IndexError, "Index %lld out of range. '%U' has max %zu fields.", index,
                             class_name.get(), cls->fields.size());
            return -1;
        }
        return static_cast<int32_t>(index);
    }
    if (PyUnicode_Check(key)) {
        const bool cacheable = PyUnicode_CheckExact(key);
        if (cacheable) {
            const int32_t cached = key_cache.find(cls, key);
            if (cached >= 0) return cached;
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(key, &size);
        if (!data) return -1;
        const int32_t index = find_field_index(cls, std::string_view(data, static_cast<size_t>(size)));
        if (index >= 0) {
            if (cacheable) key_cache.remember(cls, key, index);
            return index;
        }
        Ref class_name = py::decode_utf8(cls->name);
        if (!class_name) return -1;
        Ref message = Ref::steal(PyUnicode_FromFormat("Field '%U' not found in class '%U'.", key, class_name.get()));
        if (message) PyErr_SetObject(PyExc_KeyError, message.get());
        return -1;
    }
    PyErr_Format(PyExc_TypeError, "Invalid key type: %s. Expected int or str", Py_TYPE(key)->tp_name);
    return -1;
}

// ---------------------------------------------------------------------------
// IDD type

PyTypeObject IDDType = py::new_static_type();

// Loads the schema text (UTF-8 bytes; `known_valid` when it was checked or
// made as such, so tokens are not checked again). The parse runs without the
// interpreter lock into a schema of its own, out of reach of other threads
// (the object itself is kept out of the collector's lists meanwhile), and is
// handed to the object only once it is complete and the lock is back.
int load_schema(IDDObject* self, PyObject* idd_content, bool known_valid) {
    const auto refuse_loaded = [self] {
        Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
        if (name) PyErr_Format(PyExc_RuntimeError, "%U is already initialized.", name.get());
        return -1;
    };
    if (self->initialized) return refuse_loaded();
    Ref lexer = Ref::steal(lexer_type->tp_new(lexer_type, empty_tuple, nullptr));
    if (!lexer) return -1;
    if (!PyObject_TypeCheck(lexer.get(), lexer_type)) {
        PyErr_SetString(PyExc_TypeError, "Lexer allocation did not give a Lexer");
        return -1;
    }
    auto* lexer_object = reinterpret_cast<lexer::LexerObject*>(lexer.get());
    if (lexer_methods->c_init(lexer_object, idd_content, 1) < 0) return -1;
    if (known_valid) lexer_object->tokenizer.init(py::bytes_view(idd_content), true, true);
    c_IDD parsed;
    int result;
    {
        const py::HiddenFromCollector hidden(reinterpret_cast<PyObject*>(self));
        const py::DeferredFailures deferred;  // reported once the lock is back
        Py_BEGIN_ALLOW_THREADS result = parse_idd(lexer_object, parsed);
        Py_END_ALLOW_THREADS
    }
    if (result < 0) return -1;
    // Another loader of the same object may have finished first.
    if (self->initialized) return refuse_loaded();
    Ref version = py::decode_utf8(parsed.version);
    if (!version) return -1;
    // The schema views the text: it stays with the schema.
    Py_XSETREF(self->text, Py_NewRef(lexer_object->content_owner));
    self->c_idd = std::move(parsed);
    Py_SETREF(self->version, version.release());
    self->initialized = true;
    return 0;
}

int idd_c_init(IDDObject* self, PyObject* idd_content) { return load_schema(self, idd_content, false); }

const IDDMethods idd_methods = {idd_c_init};

PyObject* idd_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = reinterpret_cast<IDDObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->methods = &idd_methods;
    new (&self->c_idd) c_IDD();
    self->initialized = false;
    self->version = Py_NewRef(Py_None);
    self->text = nullptr;
    return reinterpret_cast<PyObject*>(self);
}

void idd_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<IDDObject*>(obj);
    const auto& classes = self->c_idd.ordered_classes;
    key_cache.forget_classes(classes.data(), classes.data() + classes.size());
    self->c_idd.~c_IDD();
    Py_CLEAR(self->text);
    Py_CLEAR(self->version);
    Py_TYPE(obj)->tp_free(obj);
}

int idd_init(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "IDD cannot be instantiated directly. Use IDD.from_file().");
    return -1;
}

// A new, loaded object of `cls` (IDD or a subclass), made without __init__.
PyObject* load_new(PyObject* cls, PyObject* content, bool known_valid) {
    Ref self = Ref::steal(idd_new(reinterpret_cast<PyTypeObject*>(cls), empty_tuple, nullptr));
    if (!self) return nullptr;
    if (load_schema(reinterpret_cast<IDDObject*>(self.get()), content, known_valid) < 0) return nullptr;
    return self.release();
}

PyObject* idd_from_file(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"from_file", {"filepath", "encoding"}, 1};
    PyObject* given[2] = {nullptr, Py_None};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    if (!py::check_str_or_none(given[1], "encoding")) return nullptr;
    ReadUtf8BytesOptions options{1, given[1]};
    Ref content = Ref::steal(read_utf8_bytes(given[0], &options));
    if (!content) return nullptr;
    return load_new(cls, content.get(), py::read_as_utf8_checked(given[1]));
}

PyObject* idd_from_string(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"from_string", {"content"}, 1};
    PyObject* given[1] = {nullptr};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    if (!py::check_str_or_none(given[0], "content")) return nullptr;
    Ref content = py::encode_utf8(given[0]);  // strict: always valid UTF-8
    if (!content) return nullptr;
    return load_new(cls, content.get(), true);
}

// The class a Python caller names, matched by its class key as every other
// look-up is. None fails as calling .upper() on it would. Never inserts into
// the class map.
const ClassDef* class_for_python_name(IDDObject* self, PyObject* class_name) {
    if (class_name == Py_None) {
        py::raise_no_attribute_of_none("upper");
        return nullptr;
    }
    std::string_view name;
    if (!py::str_utf8(class_name, name)) return nullptr;
    const ClassDef* cls = find_class(self->c_idd, name);
    if (!cls) PyErr_Format(PyExc_ValueError, "Unknown class: '%U'", class_name);
    return cls;
}

PyObject* idd_get_class_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"get_class_name", {"index"}, 1};
    PyObject* given[1] = {nullptr};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    int32_t index = 0;
    if (!py::to_int32(given[0], index)) return nullptr;
    const auto& classes = reinterpret_cast<IDDObject*>(self)->c_idd.ordered_classes;
    if (index < 0 || static_cast<size_t>(index) >= classes.size()) {
        PyErr_SetString(PyExc_IndexError, "Class index out of range.");
        return nullptr;
    }
    return py::decode_utf8(classes[static_cast<size_t>(index)].name).release();
}

// A list of the `name` of each record (classes or fields), in order.
template <class Records>
PyObject* name_list(const Records& records) {
    Ref names = Ref::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
    if (!names) return nullptr;
    for (size_t i = 0; i < records.size(); ++i) {
        PyObject* name = py::decode_utf8(records[i].name).release();
        if (!name) return nullptr;
        PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    }
    return names.release();
}

PyObject* idd_get_field_names(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"_get_field_names", {"class_name"}, 1};
    PyObject* given[1] = {nullptr};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    if (!py::check_str_or_none(given[0], "class_name")) return nullptr;
    const ClassDef* cls = class_for_python_name(reinterpret_cast<IDDObject*>(self), given[0]);
    if (!cls) return nullptr;
    return name_list(cls->fields);
}

PyObject* idd_get_class_names(PyObject* self, PyObject*) {
    return name_list(reinterpret_cast<IDDObject*>(self)->c_idd.ordered_classes);
}

PyObject* idd_get_class_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"get_class_info", {"class_name"}, 1};
    PyObject* given[1] = {nullptr};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    if (!py::check_str(given[0], "class_name")) return nullptr;
    const ClassDef* cls = class_for_python_name(reinterpret_cast<IDDObject*>(self), given[0]);
    if (!cls) return nullptr;
    return class_info(*cls);
}

PyObject* idd_get_idd_version(PyObject* self, void*) {
    const std::string_view version = reinterpret_cast<IDDObject*>(self)->c_idd.idd_version;
    if (version.empty()) Py_RETURN_NONE;
    return py::decode_utf8(version).release();
}

constexpr const char* kPicklingRefused =
    "Pickling of struct members such as self.c_idd must be explicitly requested with @auto_pickle(True)";

PyObject* idd_reduce(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, kPicklingRefused);
    return nullptr;
}

PyObject* idd_setstate(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, kPicklingRefused);
    return nullptr;
}

PyObject* idd_get_version(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<IDDObject*>(self)->version); }

PyObject* idd_get_num_classes(PyObject* self, void*) {
    return PyLong_FromSize_t(reinterpret_cast<IDDObject*>(self)->c_idd.ordered_classes.size());
}

PyMethodDef idd_type_methods[] = {
    {"from_file", py::fastcall(idd_from_file), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_file($cls, /, filepath, encoding=None)\n--\n\n"
     "Parse IDD file\n\n"
     "Args:\n"
     "    filepath (str | PathLike): IDD file path\n"
     "    encoding (str, optional): IDD file encoding\n\n"
     "Returns:\n"
     "    IDD: parsed IDD data structure\n"},
    {"from_string", py::fastcall(idd_from_string), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_string($cls, /, content)\n--\n\n"
     "Parse IDD file\n\n"
     "Args:\n"
     "    content (str): IDF string\n\n"
     "Returns:\n"
     "    IDD: parsed IDD data structure\n"},
    {"get_class_name", py::fastcall(idd_get_class_name), METH_FASTCALL | METH_KEYWORDS,
     "get_class_name($self, /, index)\n--\n\n"
     "Get class name from index\n\n"
     "Args:\n"
     "    index (int): class index\n\n"
     "Returns:\n"
     "    str: class name\n"},
    {"_get_field_names", py::fastcall(idd_get_field_names), METH_FASTCALL | METH_KEYWORDS,
     "_get_field_names($self, /, class_name)\n--\n\n"
     "Names of the stored fields of a class, in schema order."},
    {"get_class_names", idd_get_class_names, METH_NOARGS,
     "get_class_names($self, /)\n--\n\n"
     "Names of every class of the schema, in schema order.\n\n"
     "Returns:\n"
     "    list[str]: class names as the schema writes them\n"},
    {"get_class_info", py::fastcall(idd_get_class_info), METH_FASTCALL | METH_KEYWORDS,
     "get_class_info($self, /, class_name)\n--\n\n"
     "What the schema says about a class: its properties and every field's.\n\n"
     "Args:\n"
     "    class_name (str): class name (matched as class keys are)\n\n"
     "Returns:\n"
     "    ClassInfo: read-only record with a FieldInfo per field\n\n"
     "Raises:\n"
     "    ValueError: the schema has no such class\n"},
    {"__reduce__", idd_reduce, METH_NOARGS, nullptr},
    {"__setstate__", idd_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef idd_getset[] = {
    {"version", idd_get_version, nullptr, "Schema version (the default of the Version class's first field)", nullptr},
    {"num_classes", idd_get_num_classes, nullptr, "Total number of parsed classes", nullptr},
    {"idd_version", idd_get_idd_version, nullptr,
     "Version on the schema's !IDD_Version header line, or None when it has none", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void setup_idd_type() {
    PyTypeObject& type = IDDType;
    type.tp_name = "tarvix.idd.IDD";
    type.tp_basicsize = sizeof(IDDObject);
    type.tp_dealloc = idd_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = "Python wrapper of the c_IDD structure: a schema loaded from IDD text.";
    type.tp_methods = idd_type_methods;
    type.tp_getset = idd_getset;
    type.tp_init = idd_init;
    type.tp_new = idd_new;
}

// ---------------------------------------------------------------------------
// Module functions

PyObject* debug_find_field_index(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"debug_find_field_index", {"idd", "class_name", "field_name"}, 3};
    PyObject* given[3] = {};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    if (!py::check_instance(given[0], &IDDType, "idd") || !py::check_str(given[1], "class_name") ||
        !py::check_str(given[2], "field_name"))
        return nullptr;
    const ClassDef* cls = class_for_python_name(reinterpret_cast<IDDObject*>(given[0]), given[1]);
    if (!cls) return nullptr;
    std::string_view field_name;
    if (!py::str_utf8(given[2], field_name)) return nullptr;
    const int32_t index = find_field_index(cls, field_name);
    if (index < 0) {
        PyErr_SetNone(PyExc_ValueError);
        return nullptr;
    }
    return PyLong_FromLong(index);
}

PyObject* debug_get_field_name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"debug_get_field_name", {"idd", "class_name", "field_idx", "add_units"}, 4};
    PyObject* given[4] = {};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    if (!py::check_instance(given[0], &IDDType, "idd") || !py::check_str(given[1], "class_name")) return nullptr;
    int32_t field_idx = 0;
    if (!py::to_int32(given[2], field_idx)) return nullptr;
    const int add_units = PyObject_IsTrue(given[3]);
    if (add_units < 0) return nullptr;
    const ClassDef* cls = class_for_python_name(reinterpret_cast<IDDObject*>(given[0]), given[1]);
    if (!cls) return nullptr;
    return py::decode_utf8(get_field_name(cls, field_idx, add_units != 0)).release();
}

PyMethodDef module_functions[] = {
    {"debug_find_field_index", py::fastcall(debug_find_field_index), METH_FASTCALL | METH_KEYWORDS,
     "debug_find_field_index(idd, class_name, field_name)\n--\n\n"
     "Index of a field of a class by name (group names included); ValueError when not found."},
    {"debug_get_field_name", py::fastcall(debug_get_field_name), METH_FASTCALL | METH_KEYWORDS,
     "debug_get_field_name(idd, class_name, field_idx, add_units)\n--\n\n"
     "Name of the field at an index (group names generated), with units in braces when asked."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Module definition

int execute(PyObject* module) {
    if (!empty_tuple && !(empty_tuple = PyTuple_New(0))) return -1;

    if (py::publish_function(module, "parse_idd", parse_idd, kParseIddSignature) < 0 ||
        py::publish_function(module, "resolve_key_to_field_index", resolve_key_to_field_index,
                             kResolveKeyToFieldIndexSignature) < 0 ||
        py::publish_function<FindFieldIndexFn>(module, "find_field_index", find_field_index, kFindFieldIndexSignature) <
            0 ||
        py::publish_function(module, "get_field_name", get_field_name, kGetFieldNameSignature) < 0 ||
        py::publish_function(module, "get_field_def", get_field_def, kGetFieldDefSignature) < 0)
        return -1;

    if (!IDDType.tp_name) setup_idd_type();
    if (py::prepare_type(module, &IDDType, "IDD", &idd_methods,
                         "IDD cannot be instantiated directly. Use IDD.from_file().") < 0)
        return -1;

    const void* methods = nullptr;
    if (py::import_type("tarvix.lexer", "Lexer", sizeof(lexer::LexerObject), lexer_type, methods) < 0) return -1;
    lexer_methods = static_cast<const lexer::LexerMethods*>(methods);

    Ref utils = Ref::steal(PyImport_ImportModule("tarvix.utils"));
    if (!utils || py::import_function(utils.get(), "read_utf8_bytes", read_utf8_bytes, kReadUtf8BytesSignature) < 0 ||
        py::import_function(utils.get(), "get_continuous_digits_indices", get_continuous_digits_indices,
                            kGetContinuousDigitsIndicesSignature) < 0)
        return -1;

    if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
    if (setup_info_types(module) < 0) return -1;
    return 0;
}

constexpr py::ModuleSpec module_spec{"idd", "tarvix.idd", "IDD schemas: loading, class and field lookup.", execute};

}  // namespace
}  // namespace tarvix::idd

PyMODINIT_FUNC PyInit_idd() { return tarvix::py::Module<tarvix::idd::module_spec>::init(); }
