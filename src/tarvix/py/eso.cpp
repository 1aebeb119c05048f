// tarvix._eso: the EsoFile class, a reader of the engine's ESO and MTR
// output. The text is read (or taken) once and kept; the data dictionary is
// parsed up front and the values of the ids asked for are read in one pass
// without the interpreter lock, straight into native arrays.
#include "py/binding.h"

#include "core/formats/eso.h"

#include <memory>
#include <new>
#include <vector>

namespace tarvix::eso_module {
namespace {

using py::Ref;

// Looked up once at module execution; kept for the life of the process.
PyObject* builtin_open = nullptr;
PyObject* array_type = nullptr;  // array.array

struct EsoFileObject {
    PyObject_HEAD PyObject* text;  // the bytes the reader looks into
    eso::EsoFile* file;
    PyObject* environments;  // list[str] once a pass has seen them, else nullptr
};

// The ValueError of an EsoError, naming the file when it has a path.
void raise_eso_error(const eso::EsoError& error, PyObject* source) {
    if (source && !PyBytes_Check(source) && !PyByteArray_Check(source) && !PyMemoryView_Check(source))
        PyErr_Format(PyExc_ValueError, "%R: %s", source, error.what());
    else
        PyErr_SetString(PyExc_ValueError, error.what());
}

// The file's bytes: a bytes object is kept as it is, any other buffer is
// copied, and anything else is a path opened in binary mode.
Ref read_text(PyObject* source) {
    if (PyBytes_CheckExact(source)) return Ref::borrow(source);
    if (PyObject_CheckBuffer(source) && !PyUnicode_Check(source)) return Ref::steal(PyBytes_FromObject(source));
    if (!PyUnicode_Check(source) && !PyBytes_Check(source)) {
        Ref path = Ref::steal(PyOS_FSPath(source));
        if (!path) {
            PyErr_Clear();
            py::raise_arg_type("path_or_bytes", "str, os.PathLike or bytes", source);
            return {};
        }
    }
    Ref file = Ref::steal(PyObject_CallFunction(builtin_open, "Os", source, "rb"));
    if (!file) return {};
    Ref content = Ref::steal(PyObject_CallMethod(file.get(), "read", nullptr));
    if (!py::close_file(file.get())) return {};
    if (!PyBytes_Check(content.get())) {
        py::raise_expected("bytes", content.get());
        return {};
    }
    return content;
}

PyObject* eso_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"path_or_bytes", nullptr};
    PyObject* source = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:EsoFile", const_cast<char**>(names), &source)) return nullptr;
    Ref text = read_text(source);
    if (!text) return nullptr;

    std::unique_ptr<eso::EsoFile> file;
    const std::string_view view = py::bytes_view(text.get());
    try {
        py::without_lock([&] { file = std::make_unique<eso::EsoFile>(view); });
    } catch (const eso::EsoError& error) {
        raise_eso_error(error, source);
        return nullptr;
    }
    auto* self = reinterpret_cast<EsoFileObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->text = text.release();
    self->file = file.release();
    self->environments = nullptr;
    return reinterpret_cast<PyObject*>(self);
}

// The file is read by __new__, so that a reader in use never changes; a
// second __init__ call leaves it as it is.
int eso_init(PyObject*, PyObject*, PyObject*) { return 0; }

void eso_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<EsoFileObject*>(obj);
    delete self->file;
    Py_CLEAR(self->text);
    Py_CLEAR(self->environments);
    Py_TYPE(obj)->tp_free(obj);
}

PyObject* eso_get_version(PyObject* obj, void*) {
    return py::decode_utf8(reinterpret_cast<EsoFileObject*>(obj)->file->version()).release();
}

Ref to_str(const std::string& text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyObject* eso_variables(PyObject* obj, PyObject*) {
    const auto& variables = reinterpret_cast<EsoFileObject*>(obj)->file->variables();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(variables.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < variables.size(); ++i) {
        const eso::Variable& v = variables[i];
        Ref key = to_str(v.key), name = to_str(v.name), units = to_str(v.units), frequency = to_str(v.frequency);
        if (!key || !name || !units || !frequency) return nullptr;
        PyObject* item = Py_BuildValue("(iOOOOO)", v.id, key.get(), name.get(), units.get(), frequency.get(),
                                       v.is_meter ? Py_True : Py_False);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

Ref environment_list(const std::vector<std::string>& titles) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(titles.size())));
    if (!list) return {};
    for (size_t i = 0; i < titles.size(); ++i) {
        Ref title = to_str(titles[i]);
        if (!title) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), title.release());
    }
    return list;
}

// One pass over the data lines without the interpreter lock; ValueError on a
// malformed line. Remembers the environments it saw.
bool read_values(EsoFileObject* self, const std::vector<int32_t>& ids, eso::Values& values) {
    try {
        py::without_lock([&] { values = self->file->read(ids); });
    } catch (const eso::EsoError& error) {
        raise_eso_error(error, nullptr);
        return false;
    }
    if (!self->environments) {
        Ref list = environment_list(values.environments);
        if (!list) return false;
        self->environments = list.release();
    }
    return true;
}

PyObject* eso_environments(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<EsoFileObject*>(obj);
    if (!self->environments) {
        eso::Values values;
        if (!read_values(self, {}, values)) return nullptr;
    }
    return PyList_GetSlice(self->environments, 0, PyList_GET_SIZE(self->environments));
}

// An array of `typecode` holding a copy of `items` (one copy, through a
// memoryview over the vector that lives only for the call).
template <class T>
Ref to_array(const char* typecode, const std::vector<T>& items) {
    Ref array = Ref::steal(PyObject_CallFunction(array_type, "s", typecode));
    if (!array || items.empty()) return array;
    Ref view = Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(reinterpret_cast<const char*>(items.data())),
                                                  static_cast<Py_ssize_t>(items.size() * sizeof(T)), PyBUF_READ));
    if (!view) return {};
    Ref done = Ref::steal(PyObject_CallMethod(array.get(), "frombytes", "O", view.get()));
    Ref released = Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr));
    if (!done || !released) return {};
    return array;
}

// The ids argument of the reads, each checked against the dictionary.
bool parse_ids(EsoFileObject* self, PyObject* given, std::vector<int32_t>& ids) {
    if (PyUnicode_Check(given) || PyBytes_Check(given)) {
        py::raise_arg_type("ids", "a sequence of int", given);
        return false;
    }
    Ref items = Ref::steal(PySequence_Fast(given, "Argument 'ids' has incorrect type (expected a sequence of int)"));
    if (!items) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    ids.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyLong_Check(item) || PyBool_Check(item)) {
            PyErr_Format(PyExc_TypeError, "ids must be int, not %.200s", Py_TYPE(item)->tp_name);
            return false;
        }
        int overflow = 0;
        const long long id = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (id == -1 && PyErr_Occurred()) return false;
        if (overflow || !self->file->find(id)) {
            PyErr_Format(PyExc_ValueError, "id %R is not in the data dictionary", item);
            return false;
        }
        ids.push_back(static_cast<int32_t>(id));
    }
    return true;
}

// The arguments of a read (`params`: its name and "ids"), then the one pass
// over the file for those ids.
bool read_requested(PyObject* obj, const py::Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::vector<int32_t>& ids, eso::Values& values) {
    PyObject* given[1] = {};
    if (!params.parse(args, nargs, kwnames, given)) return false;
    auto* self = reinterpret_cast<EsoFileObject*>(obj);
    return parse_ids(self, given[0], ids) && read_values(self, ids, values);
}

// (environment, month, day, hour, minute): whole minutes as an int, a
// detailed report's system time step may end between two.
PyObject* stamp_tuple(const eso::Stamp& s) {
    Ref stamp = Ref::steal(PyTuple_New(5));
    if (!stamp) return nullptr;
    const int32_t fields[4] = {s.environment, s.month, s.day, s.hour};
    for (Py_ssize_t k = 0; k < 4; ++k) {
        PyObject* number = PyLong_FromLong(fields[k]);
        if (!number) return nullptr;
        PyTuple_SET_ITEM(stamp.get(), k, number);
    }
    const long whole = static_cast<long>(s.minute);
    PyObject* minute = static_cast<double>(whole) == s.minute ? PyLong_FromLong(whole) : PyFloat_FromDouble(s.minute);
    if (!minute) return nullptr;
    PyTuple_SET_ITEM(stamp.get(), 4, minute);
    return stamp.release();
}

PyObject* eso_read(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"read", {"ids"}, 1};
    std::vector<int32_t> ids;
    eso::Values values;
    if (!read_requested(obj, params, args, nargs, kwnames, ids, values)) return nullptr;

    // One tuple per time stamp that some value uses, shared by every value at it.
    std::vector<PyObject*> stamps(values.stamps.size(), nullptr);
    struct Release {
        std::vector<PyObject*>& held;
        ~Release() {
            for (PyObject* item : held) Py_XDECREF(item);
        }
    } release{stamps};

    py::GcPause pause;  // many tuples, none of them garbage
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    for (size_t i = 0; i < ids.size(); ++i) {
        const eso::Series& series = values.series[i];
        Ref array = to_array("d", series.values);
        if (!array) return nullptr;
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(series.stamps.size())));
        if (!list) return nullptr;
        for (size_t j = 0; j < series.stamps.size(); ++j) {
            PyObject*& stamp = stamps[series.stamps[j]];
            if (!stamp && !(stamp = stamp_tuple(values.stamps[series.stamps[j]]))) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j), Py_NewRef(stamp));
        }
        Ref key = Ref::steal(PyLong_FromLong(ids[i]));
        Ref pair = Ref::steal(PyTuple_Pack(2, array.get(), list.get()));
        if (!key || !pair || PyDict_SetItem(result.get(), key.get(), pair.get()) < 0) return nullptr;
    }
    return result.release();
}

PyObject* eso_read_packed(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"read_packed", {"ids"}, 1};
    std::vector<int32_t> ids;
    eso::Values values;
    if (!read_requested(obj, params, args, nargs, kwnames, ids, values)) return nullptr;
    static_assert(sizeof(unsigned int) == sizeof(uint32_t), "array('I') holds the stamp indices");

    py::GcPause pause;
    Ref table = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.stamps.size())));
    if (!table) return nullptr;
    for (size_t j = 0; j < values.stamps.size(); ++j) {
        PyObject* stamp = stamp_tuple(values.stamps[j]);
        if (!stamp) return nullptr;
        PyList_SET_ITEM(table.get(), static_cast<Py_ssize_t>(j), stamp);
    }
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    for (size_t i = 0; i < ids.size(); ++i) {
        Ref array = to_array("d", values.series[i].values);
        Ref indices = array ? to_array("I", values.series[i].stamps) : Ref{};
        if (!indices) return nullptr;
        Ref key = Ref::steal(PyLong_FromLong(ids[i]));
        Ref pair = Ref::steal(PyTuple_Pack(2, array.get(), indices.get()));
        if (!key || !pair || PyDict_SetItem(result.get(), key.get(), pair.get()) < 0) return nullptr;
    }
    return PyTuple_Pack(2, table.get(), result.get());
}

PyMethodDef eso_methods[] = {
    {"variables", py::guarded<eso_variables, "tarvix._eso.EsoFile.variables">, METH_NOARGS,
     "variables($self, /)\n--\n\n"
     "Every report of the data dictionary, in its order, as (id, key, name, units,\n"
     "frequency, is_meter) tuples. Meters have an empty key."},
    {"environments", py::guarded<eso_environments, "tarvix._eso.EsoFile.environments">, METH_NOARGS,
     "environments($self, /)\n--\n\n"
     "Titles of the environments (design days, run periods) in the order they were run."},
    {"read", py::fastcall(py::guarded<eso_read, "tarvix._eso.EsoFile.read">), METH_FASTCALL | METH_KEYWORDS,
     "read($self, /, ids)\n--\n\n"
     "Values of the reports `ids` in one pass over the file: {id: (array('d'), stamps)}\n"
     "with one (environment, month, day, hour, minute) stamp per value."},
    {"read_packed", py::fastcall(py::guarded<eso_read_packed, "tarvix._eso.EsoFile.read_packed">),
     METH_FASTCALL | METH_KEYWORDS,
     "read_packed($self, /, ids)\n--\n\n"
     "Values of the reports `ids` in one pass over the file: (stamps, {id: (array('d'),\n"
     "array('I'))}), each value's stamp an index into the list of stamps read."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef eso_getset[] = {
    {"version", eso_get_version, nullptr, "The program and version that wrote the file (its first line)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject EsoFileType = [] {
    PyTypeObject type = py::new_static_type();
    type.tp_name = "tarvix._eso.EsoFile";
    type.tp_basicsize = sizeof(EsoFileObject);
    type.tp_dealloc = eso_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc =
        "EsoFile(path_or_bytes)\n--\n\n"
        "The engine's ESO or MTR output: its data dictionary, read at once, and the values of\n"
        "any reports on request. ValueError when the text is not such a file.";
    type.tp_methods = eso_methods;
    type.tp_getset = eso_getset;
    type.tp_new = py::guarded<eso_new, "tarvix._eso.EsoFile">;
    type.tp_init = eso_init;
    return type;
}();

int execute(PyObject* module) {
    if (!builtin_open) {
        Ref open = py::lookup_builtin("open");
        if (!open) return -1;
        builtin_open = open.release();
    }
    if (!array_type) {
        Ref array = Ref::steal(PyImport_ImportModule("array"));
        if (!array) return -1;
        array_type = PyObject_GetAttrString(array.get(), "array");
        if (!array_type) return -1;
    }
    return py::prepare_type(module, &EsoFileType, "EsoFile", nullptr,
                            "__init__($self, /, path_or_bytes)\n--\n\n"
                            "Read an ESO or MTR file (a path, or its bytes) and its data dictionary.");
}

constexpr py::ModuleSpec module_spec{"_eso", "tarvix._eso", "Reader of the engine's ESO and MTR output files.",
                                     execute};

}  // namespace
}  // namespace tarvix::eso_module

PyMODINIT_FUNC PyInit__eso() { return tarvix::py::Module<tarvix::eso_module::module_spec>::init(); }
