// tarvix._weather: the EpwFile class, a reader and writer of the engine's
// hourly weather files that tarvix.weather wraps. The file's bytes are kept;
// the core parses and writes them without the interpreter lock. Text (the
// header fields, the data source flags and weather codes) is UTF-8 with
// undecodable bytes escaped, so that any file's text goes back as it came.
#include "py/binding.h"

#include "core/base/hash.h"
#include "core/formats/epw.h"

#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace tarvix::weather_module {
namespace {

using py::Ref;

// Looked up once at module execution; kept for the life of the process.
PyObject* builtin_open = nullptr;
PyObject* array_type = nullptr;  // array.array

struct EpwFileObject {
    PyObject_HEAD PyObject* text;  // the bytes the reader looks into
    epw::EpwFile* file;
};

// The ValueError of an EpwError, naming the file when it has a path. The
// message quotes the file's bytes, which need not be UTF-8: a byte that is
// not reads as U+FFFD.
void raise_epw_error(const epw::EpwError& error, PyObject* source) {
    if (source && !PyObject_CheckBuffer(source))
        PyErr_Format(PyExc_ValueError, "%R: %s", source, error.what());
    else
        PyErr_Format(PyExc_ValueError, "%s", error.what());
}

Ref read_text(PyObject* source) {
    if (PyBytes_CheckExact(source)) return Ref::borrow(source);
    if (PyObject_CheckBuffer(source) && !PyUnicode_Check(source)) return Ref::steal(PyBytes_FromObject(source));
    if (!PyUnicode_Check(source)) {
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

Ref to_str(std::string_view text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape"));
}

PyObject* epw_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"path_or_bytes", nullptr};
    PyObject* source = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:EpwFile", const_cast<char**>(names), &source)) return nullptr;
    Ref text = read_text(source);
    if (!text) return nullptr;
    std::unique_ptr<epw::EpwFile> file;
    const std::string_view view = py::bytes_view(text.get());
    try {
        py::without_lock([&] { file = std::make_unique<epw::EpwFile>(view); });
    } catch (const epw::EpwError& error) {
        raise_epw_error(error, source);
        return nullptr;
    }
    auto* self = reinterpret_cast<EpwFileObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->text = text.release();
    self->file = file.release();
    return reinterpret_cast<PyObject*>(self);
}

// The file is read by __new__, so that a reader in use never changes.
int epw_init(PyObject*, PyObject*, PyObject*) { return 0; }

void epw_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<EpwFileObject*>(obj);
    delete self->file;
    Py_CLEAR(self->text);
    Py_TYPE(obj)->tp_free(obj);
}

PyObject* epw_get_rows(PyObject* obj, void*) {
    return PyLong_FromSize_t(reinterpret_cast<EpwFileObject*>(obj)->file->rows());
}

PyObject* epw_header(PyObject* obj, PyObject*) {
    const epw::EpwFile& file = *reinterpret_cast<EpwFileObject*>(obj)->file;
    Ref records = Ref::steal(PyList_New(epw::kHeaderRecords));
    if (!records) return nullptr;
    for (size_t i = 0; i < epw::kHeaderRecords; ++i) {
        const auto& fields = file.header_fields(i);
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(fields.size())));
        if (!list) return nullptr;
        for (size_t k = 0; k < fields.size(); ++k) {
            Ref field = to_str(fields[k]);
            if (!field) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), field.release());
        }
        PyList_SET_ITEM(records.get(), static_cast<Py_ssize_t>(i), list.release());
    }
    return records.release();
}

// An array('d') holding a copy of `values`.
Ref to_array(std::span<const double> values) {
    Ref array = Ref::steal(PyObject_CallFunction(array_type, "s", "d"));
    if (!array || values.empty()) return array;
    Ref view = Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(reinterpret_cast<const char*>(values.data())),
                                                  static_cast<Py_ssize_t>(values.size_bytes()), PyBUF_READ));
    if (!view) return {};
    Ref done = Ref::steal(PyObject_CallMethod(array.get(), "frombytes", "O", view.get()));
    Ref released = Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr));
    if (!done || !released) return {};
    return array;
}

// A text column as a list of str; equal texts share one str. A column holds
// few distinct texts (a handful of source flags, one or two weather codes),
// looked through in a list until there are too many for that.
Ref text_list(const epw::EpwFile& file, size_t column) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(file.rows())));
    if (!list) return {};
    constexpr size_t kFew = 16;
    std::vector<std::pair<std::string_view, PyObject*>> few;  // borrowed from the list
    StringMap<PyObject*, std::string_view> many;              // all of them, once past kFew
    for (size_t row = 0; row < file.rows(); ++row) {
        const std::string_view text = file.text(column, row);
        PyObject* item = nullptr;
        if (many.empty()) {
            for (const auto& [kept, object] : few)
                if (kept == text) {
                    item = object;
                    break;
                }
        } else if (const auto found = many.find(text); found != many.end()) {
            item = found->second;
        }
        if (item) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(row), Py_NewRef(item));
            continue;
        }
        Ref value = to_str(text);
        if (!value) return {};
        item = value.release();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(row), item);
        if (!many.empty()) {
            many.emplace(text, item);
        } else if (few.emplace_back(text, item); few.size() > kFew) {
            for (const auto& [kept, object] : few) many.emplace(kept, object);
        }
    }
    return list;
}

PyObject* epw_column(PyObject* obj, PyObject* arg) {
    const epw::EpwFile& file = *reinterpret_cast<EpwFileObject*>(obj)->file;
    if (!PyLong_Check(arg) || PyBool_Check(arg)) {
        py::raise_arg_type("index", "int", arg);
        return nullptr;
    }
    const long index = PyLong_AsLong(arg);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    if (index < 0 || static_cast<size_t>(index) >= epw::kColumns) {
        PyErr_Format(PyExc_IndexError, "column index %ld out of range (0 to 34)", index);
        return nullptr;
    }
    const auto c = static_cast<size_t>(index);
    return (epw::is_text_column(c) ? text_list(file, c) : to_array(file.numbers(c))).release();
}

// The UTF-8 bytes (undecodable bytes given back) of a str.
bool utf8_of(PyObject* text, Ref& holder, std::string_view& out) {
    if (PyUnicode_IS_ASCII(text)) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(text, &size);
        if (!data) return false;
        out = {data, static_cast<size_t>(size)};
        return true;
    }
    holder = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogateescape"));
    if (!holder) return false;
    out = py::bytes_view(holder.get());
    return true;
}

struct Buffers {
    std::vector<Py_buffer> held;
    ~Buffers() {
        for (Py_buffer& view : held) PyBuffer_Release(&view);
    }
};

PyObject* epw_write(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"write", {"columns", "header"}, 2};
    PyObject* given[2] = {};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    const epw::EpwFile& file = *reinterpret_cast<EpwFileObject*>(obj)->file;
    const size_t rows = file.rows();

    Ref columns = Ref::steal(PySequence_Fast(given[0], "columns must be a sequence"));
    if (!columns) return nullptr;
    Ref header = Ref::steal(PySequence_Fast(given[1], "header must be a sequence"));
    if (!header) return nullptr;
    if (PySequence_Fast_GET_SIZE(columns.get()) != epw::kColumns ||
        PySequence_Fast_GET_SIZE(header.get()) != epw::kHeaderRecords) {
        PyErr_SetString(PyExc_ValueError, "write() takes 35 columns and 8 header records");
        return nullptr;
    }

    epw::Edits edits;
    Buffers buffers;
    buffers.held.reserve(epw::kColumns);
    for (size_t c = 0; c < epw::kColumns; ++c) {
        PyObject* column = PySequence_Fast_GET_ITEM(columns.get(), static_cast<Py_ssize_t>(c));
        if (column == Py_None) continue;  // as read
        const char* name = epw::kColumnNames[c].data();
        if (epw::is_text_column(c)) {
            if (!PyList_Check(column) || static_cast<size_t>(PyList_GET_SIZE(column)) != rows) {
                PyErr_Format(PyExc_ValueError, "%s must be a list of %zu str", name, rows);
                return nullptr;
            }
            for (size_t row = 0; row < rows; ++row) {
                PyObject* item = PyList_GET_ITEM(column, static_cast<Py_ssize_t>(row));
                if (!PyUnicode_Check(item)) {
                    PyErr_Format(PyExc_TypeError, "%s[%zu] must be str, not %.200s", name, row, Py_TYPE(item)->tp_name);
                    return nullptr;
                }
                Ref holder;
                std::string_view text;
                if (!utf8_of(item, holder, text)) return nullptr;
                if (text != file.text(c, row))
                    edits.texts[c].emplace_back(static_cast<uint32_t>(row), std::string(text));
            }
            continue;
        }
        Py_buffer view;
        if (PyObject_GetBuffer(column, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
        buffers.held.push_back(view);
        if (view.itemsize != sizeof(double) || !view.format || std::string_view(view.format) != "d" ||
            static_cast<size_t>(view.len) != rows * sizeof(double)) {
            PyErr_Format(PyExc_ValueError, "%s must be an array('d') of %zu values", name, rows);
            return nullptr;
        }
        edits.numbers[c] = static_cast<const double*>(view.buf);
    }
    for (size_t i = 0; i < epw::kHeaderRecords; ++i) {
        PyObject* record = PySequence_Fast_GET_ITEM(header.get(), static_cast<Py_ssize_t>(i));
        if (record == Py_None) continue;
        if (!PyUnicode_Check(record)) {
            py::raise_arg_type("header", "a sequence of str or None", record);
            return nullptr;
        }
        Ref holder;
        std::string_view text;
        if (!utf8_of(record, holder, text)) return nullptr;
        edits.header[i] = std::string(text);
    }

    std::string out;
    try {
        py::without_lock([&] { out = file.write(edits); });
    } catch (const epw::EpwError& error) {
        raise_epw_error(error, nullptr);
        return nullptr;
    }
    return py::to_bytes(out).release();
}

// The 1-based line a data row, or a header record, was read from.
bool index_below(PyObject* arg, size_t count, const char* what, size_t& index) {
    const Py_ssize_t value = PyNumber_AsSsize_t(arg, PyExc_IndexError);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || static_cast<size_t>(value) >= count) {
        PyErr_Format(PyExc_IndexError, "%s index out of range", what);
        return false;
    }
    index = static_cast<size_t>(value);
    return true;
}

PyObject* epw_line_of_row(PyObject* obj, PyObject* arg) {
    const epw::EpwFile& file = *reinterpret_cast<EpwFileObject*>(obj)->file;
    size_t row = 0;
    if (!index_below(arg, file.rows(), "row", row)) return nullptr;
    return PyLong_FromSize_t(file.line_of_row(row));
}

PyObject* epw_header_line(PyObject* obj, PyObject* arg) {
    const epw::EpwFile& file = *reinterpret_cast<EpwFileObject*>(obj)->file;
    size_t record = 0;
    if (!index_below(arg, epw::kHeaderRecords, "header record", record)) return nullptr;
    return PyLong_FromSize_t(file.header_line(record));
}

PyMethodDef epw_methods[] = {
    {"line_of_row", py::guarded<epw_line_of_row, "tarvix._weather.EpwFile.line_of_row">, METH_O,
     "line_of_row($self, row, /)\n--\n\n"
     "The 1-based line of the file data row `row` was read from."},
    {"header_line", py::guarded<epw_header_line, "tarvix._weather.EpwFile.header_line">, METH_O,
     "header_line($self, record, /)\n--\n\n"
     "The 1-based line of the file header record `record` (0 to 7) was read from."},
    {"header", py::guarded<epw_header, "tarvix._weather.EpwFile.header">, METH_NOARGS,
     "header($self, /)\n--\n\n"
     "The eight header records, each as the list of its fields (its keyword first)."},
    {"column", py::guarded<epw_column, "tarvix._weather.EpwFile.column">, METH_O,
     "column($self, index, /)\n--\n\n"
     "Column `index` (0 to 34) of the data lines as read: a new array('d') for a number\n"
     "column, a new list[str] for the data source flags (5) and present weather codes (27)."},
    {"write", py::fastcall(py::guarded<epw_write, "tarvix._weather.EpwFile.write">), METH_FASTCALL | METH_KEYWORDS,
     "write($self, /, columns, header)\n--\n\n"
     "The file's bytes with these 35 columns (None for a column as read) and 8 header\n"
     "records (str, or None for a record as read). Lines whose values are as read are kept\n"
     "as they are."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef epw_getset[] = {
    {"rows", epw_get_rows, nullptr, "The number of data lines", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject EpwFileType = [] {
    PyTypeObject type = py::new_static_type();
    type.tp_name = "tarvix._weather.EpwFile";
    type.tp_basicsize = sizeof(EpwFileObject);
    type.tp_dealloc = epw_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc =
        "EpwFile(path_or_bytes)\n--\n\n"
        "An hourly weather file, parsed at once and kept. ValueError, naming the line,\n"
        "when the text is not such a file.";
    type.tp_methods = epw_methods;
    type.tp_getset = epw_getset;
    type.tp_new = py::guarded<epw_new, "tarvix._weather.EpwFile">;
    type.tp_init = epw_init;
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
    return py::prepare_type(module, &EpwFileType, "EpwFile", nullptr,
                            "__init__($self, /, path_or_bytes)\n--\n\n"
                            "Read a weather file (a path, or its bytes).");
}

constexpr py::ModuleSpec module_spec{"_weather", "tarvix._weather",
                                     "Reader and writer of the engine's hourly weather files.", execute};

}  // namespace
}  // namespace tarvix::weather_module

PyMODINIT_FUNC PyInit__weather() { return tarvix::py::Module<tarvix::weather_module::module_spec>::init(); }
