// tarvix.idf: documents (IDF) and their objects (IDFObject). This file holds
// the module's execution: imports from the other modules, the two classes,
// and IDFObjectTuple, the read-only tuple that listings return.
#include "py/idf_document.h"

namespace tarvix::idf {

using py::Ref;

Shared shared;

namespace {

constexpr const char* kTupleAdd = "This is a read-only tuple. To add new objects, use the idf.add_object() method.";
constexpr const char* kTupleRemove =
    "This is a read-only tuple. To remove objects, use the idf.remove_object() or idf.remove_all_objects() methods.";

// IDFObjectTuple.__getattr__(self, name): runs only when normal look-up
// failed, and points list-style mutators to the document's methods.
PyObject* tuple_getattr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"__getattr__", {"self", "name"}, 2};
    PyObject* given[2] = {nullptr, nullptr};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    PyObject* name = given[1];
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'", Py_TYPE(name)->tp_name);
        return nullptr;
    }
    for (const char* add : {"append", "extend", "insert"})
        if (PyUnicode_CompareWithASCIIString(name, add) == 0) {
            PyErr_SetString(PyExc_AttributeError, kTupleAdd);
            return nullptr;
        }
    for (const char* remove : {"remove", "pop", "clear"})
        if (PyUnicode_CompareWithASCIIString(name, remove) == 0) {
            PyErr_SetString(PyExc_AttributeError, kTupleRemove);
            return nullptr;
        }
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(given[0])));
    if (type_name) PyErr_Format(PyExc_AttributeError, "'%U' object has no attribute '%U'", type_name.get(), name);
    return nullptr;
}

PyMethodDef tuple_getattr_def = {"__getattr__",
                                 py::fastcall(py::guarded<tuple_getattr, "tarvix.idf.IDFObjectTuple.__getattr__">),
                                 METH_FASTCALL | METH_KEYWORDS, nullptr};

// Creates IDFObjectTuple as `class IDFObjectTuple(tuple)` would.
int create_object_tuple_class(PyObject* module) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    Ref function = Ref::steal(PyCFunction_NewEx(&tuple_getattr_def, nullptr, module_name.get()));
    if (!function) return -1;
    Ref method = Ref::steal(PyInstanceMethod_New(function.get()));  // binds the instance as `self`
    Ref namespace_dict = Ref::steal(PyDict_New());
    if (!method || !namespace_dict) return -1;
    if (PyDict_SetItemString(namespace_dict.get(), "__module__", module_name.get()) < 0) return -1;
    Ref qualname = Ref::steal(PyUnicode_FromString("IDFObjectTuple"));
    Ref doc = Ref::steal(PyUnicode_FromString("tuple of IDFObjects with custom error messages"));
    if (!qualname || !doc || PyDict_SetItemString(namespace_dict.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(namespace_dict.get(), "__doc__", doc.get()) < 0 ||
        PyDict_SetItemString(namespace_dict.get(), "__getattr__", method.get()) < 0)
        return -1;
    // The metaclass of the single base, tuple, is type itself.
    auto* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(reinterpret_cast<PyObject*>(&PyTuple_Type)));
    Ref cls = Ref::steal(
        PyObject_CallFunction(metaclass, "O(O)O", qualname.get(), &PyTuple_Type, namespace_dict.get()));
    if (!cls) return -1;
    return PyDict_SetItemString(PyModule_GetDict(module), "IDFObjectTuple", cls.get());
}

// scan_version(content): the document's version read from its text without
// loading it, so a caller can pick the schema first.
PyObject* scan_version_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"scan_version", {"content"}, 1};
    PyObject* given[1] = {nullptr};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    PyObject* content = given[0];
    if (!PyBytes_Check(content)) {
        PyErr_Format(PyExc_TypeError, "content must be bytes, not %.200s", Py_TYPE(content)->tp_name);
        return nullptr;
    }
    const std::string_view text(PyBytes_AS_STRING(content), static_cast<size_t>(PyBytes_GET_SIZE(content)));
    std::optional<std::string_view> version;
    Py_BEGIN_ALLOW_THREADS  // bytes do not change; the caller's reference keeps them
        version = scan_version(text);
    Py_END_ALLOW_THREADS if (!version) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(version->data(), static_cast<Py_ssize_t>(version->size()), "replace");
}

// debug_fail_allocation(after): makes an allocation of a later edit fail,
// for tests of what edits do then.
PyObject* debug_fail_allocation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"debug_fail_allocation", {"after"}, 1};
    PyObject* given[1] = {nullptr};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    const long long after = PyLong_AsLongLong(given[0]);
    if (after == -1 && PyErr_Occurred()) return nullptr;
    return PyBool_FromLong(arm_edit_fault(after));
}

PyMethodDef module_functions[] = {
    {"_unpickle_IDFObject", py::fastcall(py::guarded<unpickle_idf_object, "tarvix.idf._unpickle_IDFObject">),
     METH_FASTCALL | METH_KEYWORDS,
     "_unpickle_IDFObject(type, checksum, state)\n--\n\nRebuild an IDFObject from its reduce state."},
    {"_unpickle_IDF", py::fastcall(py::guarded<unpickle_idf, "tarvix.idf._unpickle_IDF">),
     METH_FASTCALL | METH_KEYWORDS,
     "_unpickle_IDF(type, checksum, state)\n--\n\nRebuild an IDF from its reduce state."},
    {"scan_version", py::fastcall(py::guarded<scan_version_fn, "tarvix.idf.scan_version">),
     METH_FASTCALL | METH_KEYWORDS,
     "scan_version(content)\n--\n\n"
     "The first field of the first Version object of document text (bytes), read without loading\n"
     "the document: tokens are read only as far as that object. Only ASCII matters, so any encoding\n"
     "that keeps ASCII as it is will do; a UTF-8 byte-order mark is skipped. '' for a Version\n"
     "object without fields; None when the text has none, or a syntax error comes first."},
    {"migration_versions", migration_versions, METH_NOARGS,
     "migration_versions()\n--\n\n"
     "The versions migrate() knows, oldest first."},
    {"migration_rules", migration_rules, METH_NOARGS,
     "migration_rules()\n--\n\n"
     "The text of the version-migration rules, step by step, as migrate() applies them."},
    {"debug_fail_allocation", py::fastcall(py::guarded<debug_fail_allocation, "tarvix.idf.debug_fail_allocation">),
     METH_FASTCALL | METH_KEYWORDS,
     "debug_fail_allocation(after)\n--\n\n"
     "For tests: of the allocating steps that edits of documents take from now on, `after` succeed\n"
     "and the next one fails as if memory had run out (once). A negative `after` disarms it.\n"
     "Returns whether the previous arming was still waiting to fire."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

int build_constants() {
    if (shared.empty_tuple) return 0;
    shared.empty_tuple = PyTuple_New(0);
    shared.empty_str = intern("");
    shared.autosize = intern("Autosize");
    shared.autocalculate = intern("Autocalculate");
    return shared.empty_tuple && shared.empty_str && shared.autosize && shared.autocalculate ? 0 : -1;
}

int import_native() {
    const void* methods = nullptr;
    if (py::import_type("tarvix.lexer", "Lexer", sizeof(lexer::LexerObject), shared.lexer_type, methods) < 0) return -1;
    shared.lexer_methods = static_cast<const lexer::LexerMethods*>(methods);
    if (py::import_type("tarvix.idd", "IDD", sizeof(IDDObject), shared.idd_type, methods) < 0) return -1;
    shared.idd_methods = static_cast<const idd::IDDMethods*>(methods);

    Ref idd_module = Ref::steal(PyImport_ImportModule("tarvix.idd"));
    if (!idd_module) return -1;
    PyObject* from_idd = idd_module.get();
    if (py::import_function(from_idd, "resolve_key_to_field_index", shared.resolve_key_to_field_index,
                            idd::kResolveKeyToFieldIndexSignature) < 0 ||
        py::import_function(from_idd, "find_field_index", shared.find_field_index, idd::kFindFieldIndexSignature) < 0 ||
        py::import_function(from_idd, "get_field_name", shared.get_field_name, idd::kGetFieldNameSignature) < 0 ||
        py::import_function(from_idd, "get_field_def", shared.get_field_def, idd::kGetFieldDefSignature) < 0)
        return -1;
    Ref utils_module = Ref::steal(PyImport_ImportModule("tarvix.utils"));
    if (!utils_module) return -1;
    PyObject* from_utils = utils_module.get();
    if (py::import_function(from_utils, "read_utf8_bytes", shared.read_utf8_bytes, kReadUtf8BytesSignature) < 0 ||
        py::import_function(from_utils, "any_to_string", shared.any_to_string, kAnyToStringSignature) < 0 ||
        py::import_function(from_utils, "get_current_time", shared.get_current_time, kGetCurrentTimeSignature) < 0)
        return -1;
    return 0;
}

int execute(PyObject* module) {
    if (build_constants() < 0) return -1;
    if (!shared.builtin_open) {
        Ref open = py::lookup_builtin("open");
        if (!open) return -1;
        shared.builtin_open = open.release();
    }

    if (!IDFDocType.tp_name) setup_idf_type();
    if (!IDFObjType.tp_name) setup_idf_object_type();
    if (py::prepare_type(module, &IDFDocType, "IDF", &idf_methods,
                         "IDF cannot be instantiated directly. Use IDF.from_file() or IDF.from_string().") < 0 ||
        py::prepare_type(module, &IDFObjType, "IDFObject", &idf_object_methods, "Python-level initialization") < 0)
        return -1;
    if (py::set_slot_doc(&IDFObjType, "__getitem__",
                         "Get field value by key\n\n"
                         "Args:\n"
                         "    key (int | str): field index or field name (case-insensitive)\n\n"
                         "Returns:\n"
                         "    str | int | float | None: the field's typed value\n") < 0 ||
        py::set_slot_doc(&IDFObjType, "__setitem__",
                         "Set field value by key\n\n"
                         "Args:\n"
                         "    key (int | str): field index or field name (case-insensitive)\n"
                         "    value (bool | int | float | str | None): the new value\n") < 0 ||
        py::set_slot_doc(&IDFDocType, "__getitem__",
                         "Get tuple of IDFObjects from class name\n\n"
                         "Args:\n"
                         "    class_name (str): class name (case-insensitive)\n") < 0)
        return -1;

    if (import_native() < 0) return -1;

    shared.module_dict = PyModule_GetDict(module);
    shared.default_format_config = generate_format_config();
    shared.minimal_format_config = FormatConfig{{}, {}, 0, true};
    if (create_object_tuple_class(module) < 0) return -1;
    if (setup_problem_type(module) < 0) return -1;
    if (publish_document_api(module) < 0) return -1;
    if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
    return 0;
}

constexpr py::ModuleSpec module_spec{
    "idf", "tarvix.idf", "IDF documents: loading, field access, references, collections, writing.", execute};

// ---------------------------------------------------------------------------
// The IDF type's tables

PyGetSetDef doc_getset[] = {
    {"idd", py::guarded<doc_get_idd, "tarvix.idf.IDF.idd">, nullptr, "The schema the document was loaded against",
     nullptr},
    {"version", py::guarded<doc_get_version, "tarvix.idf.IDF.version">, nullptr,
     "The document's version: the first field of its Version object as written, or None when it has none", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef doc_methods[] = {
    {"from_file", py::fastcall(py::guarded<doc_from_file, "tarvix.idf.IDF.from_file">),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_file($cls, /, idd, filepath, encoding=None, *, keep_layout=False)\n--\n\n"
     "Parse IDF file\n\n"
     "Args:\n"
     "    idd (IDD): schema the document is written against\n"
     "    filepath (str | PathLike): IDF file path\n"
     "    encoding (str, optional): IDF file encoding\n"
     "    keep_layout (bool): keep the text as written (comments, blank lines, spacing),\n"
     "        so that format(keep_layout=True) and save(..., keep_layout=True) change\n"
     "        only what was edited; costs one more copy of the text\n\n"
     "Returns:\n"
     "    IDF: parsed IDF document\n"},
    {"from_string", py::fastcall(py::guarded<doc_from_string, "tarvix.idf.IDF.from_string">),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_string($cls, /, idd, content, *, keep_layout=False)\n--\n\n"
     "Parse IDF from string\n\n"
     "Args:\n"
     "    idd (IDD): schema the document is written against\n"
     "    content (str): IDF string\n"
     "    keep_layout (bool): keep the text as written, as for from_file()\n\n"
     "Returns:\n"
     "    IDF: parsed IDF document\n"},
    {"from_epjson", py::fastcall(py::guarded<doc_from_epjson, "tarvix.idf.IDF.from_epjson">),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
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
    {"get_objects", py::fastcall(py::guarded<doc_get_objects, "tarvix.idf.IDF.get_objects">),
     METH_FASTCALL | METH_KEYWORDS,
     "get_objects($self, /, class_name)\n--\n\n"
     "Get tuple of IDFObjects from class name.\n"
     "Alias of IDF[class_name]\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n\n"
     "Returns:\n"
     "    IDFObjectTuple: the class's objects in creation order\n"},
    {"get_object_by_name", py::fastcall(py::guarded<doc_get_object_by_name, "tarvix.idf.IDF.get_object_by_name">),
     METH_FASTCALL | METH_KEYWORDS,
     "get_object_by_name($self, /, class_name, obj_name)\n--\n\n"
     "Get object by first field (likely name)\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n"
     "    obj_name (str): value of the first field (case-insensitive)\n\n"
     "Returns:\n"
     "    IDFObject | None: the first object whose first field matches\n"},
    {"get_class_names", py::guarded<doc_get_class_names, "tarvix.idf.IDF.get_class_names">, METH_NOARGS,
     "get_class_names($self, /)\n--\n\n"
     "Get list of class names\n\n"
     "Returns:\n"
     "    list[str]: every class with at least one object, in no particular order\n"},
    {"add_object", py::fastcall(py::guarded<doc_add_object, "tarvix.idf.IDF.add_object">),
     METH_FASTCALL | METH_KEYWORDS,
     "add_object($self, /, class_name, initial_values=None, default_values=True)\n--\n\n"
     "Add object to IDF\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n"
     "    initial_values (None | list | dict): [value] or {field_idx: value} or {field_name: value}\n"
     "    default_values (bool): Whether to include default values\n\n"
     "Returns:\n"
     "    IDFObject: the new object\n"},
    {"copy_object", py::fastcall(py::guarded<doc_copy_object, "tarvix.idf.IDF.copy_object">),
     METH_FASTCALL | METH_KEYWORDS,
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
    {"remove_object", py::fastcall(py::guarded<doc_remove_object, "tarvix.idf.IDF.remove_object">),
     METH_FASTCALL | METH_KEYWORDS,
     "remove_object($self, /, obj)\n--\n\n"
     "Remove object from IDF\n\n"
     "Args:\n"
     "    obj (IDFObject): an object of this document\n"},
    {"line_of", py::fastcall(py::guarded<doc_line_of, "tarvix.idf.IDF.line_of">), METH_FASTCALL | METH_KEYWORDS,
     "line_of($self, /, obj)\n--\n\n"
     "The line an object starts on in the text the document was loaded from\n\n"
     "Args:\n"
     "    obj (IDFObject): an object of this document\n\n"
     "Returns:\n"
     "    int | None: the 1-based line of its class name; None for an object that was\n"
     "    added, or a document not loaded from text\n\n"
     "Raises:\n"
     "    ValueError: the object is not in this document\n"},
    {"remove_all_objects", py::fastcall(py::guarded<doc_remove_all_objects, "tarvix.idf.IDF.remove_all_objects">),
     METH_FASTCALL | METH_KEYWORDS,
     "remove_all_objects($self, /, class_name)\n--\n\n"
     "Remove all objects of a certain class from IDF\n\n"
     "Args:\n"
     "    class_name (str): class name (case-insensitive)\n\n"
     "Returns:\n"
     "    int: Number of objects removed. 0 if class was not found.\n"},
    {"migrate", py::fastcall(py::guarded<doc_migrate, "tarvix.idf.IDF.migrate">), METH_FASTCALL | METH_KEYWORDS,
     "migrate($self, /, to='25.2', *, idd_folder=None, strict=False, idd=None, notes=None)\n--\n\n"
     "The document brought to a newer version of the engine: tarvix.migrate(self, ...).\n"},
    {"_migrate_text", py::fastcall(py::guarded<doc_migrate_text, "tarvix.idf.IDF._migrate_text">),
     METH_FASTCALL | METH_KEYWORDS,
     "_migrate_text($self, /, from_version, to_version, idd)\n--\n\n"
     "The document migrated from `from_version` to `to_version`, loaded against `idd`, with the notes\n"
     "of each step as (step, class, object, field, message, loss) tuples and the number of steps.\n"},
    {"validate", py::fastcall(py::guarded<doc_validate, "tarvix.idf.IDF.validate">), METH_FASTCALL | METH_KEYWORDS,
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
    {"to_epjson", py::fastcall(py::guarded<doc_to_epjson, "tarvix.idf.IDF.to_epjson">), METH_FASTCALL | METH_KEYWORDS,
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
    {"save_epjson", py::fastcall(py::guarded<doc_save_epjson, "tarvix.idf.IDF.save_epjson">),
     METH_FASTCALL | METH_KEYWORDS,
     "save_epjson($self, /, output_path, epjson_schema, compact=False)\n--\n\n"
     "Write the document as an epJSON file\n\n"
     "Writes the text to_epjson() gives, as UTF-8, in one write.\n\n"
     "Args:\n"
     "    output_path (str | PathLike): Output file path\n"
     "    epjson_schema (str | PathLike): path of the JSON schema (Energy+.schema.epJSON)\n"
     "    compact (bool): JSON on one line instead of indented by four blanks\n\n"
     "Raises:\n"
     "    ValueError: as to_epjson(); the file is not opened then\n"},
    {"__reduce__", py::guarded<doc_reduce, "tarvix.idf.IDF.__reduce__">, METH_NOARGS, nullptr},
    {"__setstate__", py::guarded<doc_setstate, "tarvix.idf.IDF.__setstate__">, METH_O, nullptr},
    {"format", py::fastcall(py::guarded<doc_format, "tarvix.idf.IDF.format">), METH_FASTCALL | METH_KEYWORDS,
     "format($self, /, class_indent_size=0, field_indent_size=4, field_size=24, compact=False, "
     "preserve_order=False, *, keep_layout=False)\n--\n\n"
     "Convert IDF to str with format config\n\n"
     "Args:\n"
     "    class_indent_size (int): Indent for class names\n"
     "    field_indent_size (int): Indent for fields\n"
     "    field_size (int): Minimum size for field values\n"
     "    compact (bool): Whether to enable compact output. Overrides other style settings\n"
     "    preserve_order (bool): Whether to preserve object order\n"
     "    keep_layout (bool): write the text the document was loaded from, changed only\n"
     "        where it was edited (the layout arguments then apply to nothing); the\n"
     "        document must have been loaded with keep_layout=True\n\n"
     "Returns:\n"
     "    str: IDF str\n\n"
     "Raises:\n"
     "    ValueError: keep_layout=True for a document loaded without it\n"},
    {"save", py::fastcall(py::guarded<doc_save, "tarvix.idf.IDF.save">), METH_FASTCALL | METH_KEYWORDS,
     "save($self, /, output_path, class_indent_size=0, field_indent_size=4, field_size=24, compact=False, "
     "preserve_order=False, include_timestamp=True, *, keep_layout=False)\n--\n\n"
     "Convert IDF to str with format config\n\n"
     "Writes a generated header, then the document, to output_path in one write.\n\n"
     "Args:\n"
     "    output_path (str | PathLike): Output file path\n"
     "    class_indent_size (int): Indent for class names\n"
     "    field_indent_size (int): Indent for fields\n"
     "    field_size (int): Minimum size for field values\n"
     "    compact (bool): Whether to enable compact output. Overrides other style settings\n"
     "    preserve_order (bool): Whether to preserve object order\n"
     "    include_timestamp (bool): Whether to include timestamp\n"
     "    keep_layout (bool): write the text as format(keep_layout=True) gives it, without\n"
     "        the header, in the encoding the file was read in (with its byte-order mark)\n\n"
     "Raises:\n"
     "    ValueError: keep_layout=True for a document loaded without it\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMappingMethods doc_as_mapping = {nullptr, py::guarded<doc_subscript, "tarvix.idf.IDF.__getitem__">, nullptr};

PySequenceMethods doc_as_sequence = [] {
    PySequenceMethods methods{};
    methods.sq_length = py::guarded<doc_length, "tarvix.idf.IDF.__len__">;
    methods.sq_item = py::guarded<doc_sq_item, "tarvix.idf.IDF.__getitem__">;
    methods.sq_contains = py::guarded<doc_contains, "tarvix.idf.IDF.__contains__">;
    return methods;
}();

}  // namespace

Ref make_object_tuple(PyObject* list) {
    PyObject* cls = shared.module_dict ? PyDict_GetItemString(shared.module_dict, "IDFObjectTuple") : nullptr;
    if (!cls) {
        PyErr_SetString(PyExc_NameError, "name 'IDFObjectTuple' is not defined");
        return {};
    }
    const Ref keep = Ref::borrow(cls);  // calling it may replace the module's attribute
    return Ref::steal(PyObject_CallOneArg(cls, list));
}

const IDFMethods idf_methods = {
    doc_register_target,
    doc_register_referencer,
    doc_unregister_target,
    doc_unregister_referencer,
    py::guarded<doc_c_init, "tarvix.idf.IDF.c_init">,
    py::guarded<doc_build_objects, "tarvix.idf.IDF.build_objects">,
    py::guarded<doc_get_objects_raw, "tarvix.idf.IDF.get_objects_raw">,
    doc_write_to_buffer,
};

void setup_idf_type() {
    PyTypeObject& type = IDFDocType;
    type.tp_name = "tarvix.idf.IDF";
    type.tp_basicsize = sizeof(IDFDoc);
    type.tp_dealloc = doc_dealloc;
    type.tp_repr = py::guarded<doc_repr, "tarvix.idf.IDF.__repr__">;
    type.tp_as_sequence = &doc_as_sequence;
    type.tp_as_mapping = &doc_as_mapping;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type.tp_doc = "An IDF document: its objects, indexed by class and linked by references.";
    type.tp_traverse = doc_traverse;
    type.tp_clear = doc_clear;
    type.tp_iter = py::guarded<doc_iter, "tarvix.idf.IDF.__iter__">;
    type.tp_methods = doc_methods;
    type.tp_getset = doc_getset;
    type.tp_init = py::guarded<doc_init, "tarvix.idf.IDF.__init__">;
    type.tp_new = doc_new;
}

}  // namespace tarvix::idf

PyMODINIT_FUNC PyInit_idf() { return tarvix::py::Module<tarvix::idf::module_spec>::init(); }
