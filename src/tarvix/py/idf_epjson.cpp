// epJSON for the IDF type: the JSON schemas, read once per file and kept,
// the JSON text a caller gives, and the errors of reading and writing.
#include <cstdint>
#include <cstring>
#include <map>
#include <tuple>

#include "core/base/os_memory.h"
#include "py/idf_document.h"

namespace tarvix::idf {

using py::Ref;

namespace {

// A schema file as the file system tells it apart: device, inode,
// modification time and size. A file written again is read again.
using FileKey = std::tuple<long long, long long, long long, long long>;

// Loaded schemas, kept for the life of the process; touched only with the
// interpreter lock held.
std::map<FileKey, std::shared_ptr<const epjson::Schema>>& schema_cache() {
    static auto* cache = new std::map<FileKey, std::shared_ptr<const epjson::Schema>>();
    return *cache;
}

bool stat_field(PyObject* stat, const char* name, long long& out) {
    Ref value = Ref::steal(PyObject_GetAttrString(stat, name));
    if (!value) return false;
    out = PyLong_AsLongLong(value.get());
    return !(out == -1 && PyErr_Occurred());
}

// The whole file as UTF-8 bytes without a byte-order mark, as documents
// are read.
Ref read_file_bytes(PyObject* path) { return Ref::steal(shared.read_utf8_bytes(path, nullptr)); }

// A str, bytes, or an object with __fspath__.
bool is_path_like(PyObject* obj) {
    return PyUnicode_Check(obj) || PyBytes_Check(obj) ||
           PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__fspath__");
}

void raise_message(PyObject* type, const std::string& message) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
}

}  // namespace

std::shared_ptr<const epjson::Schema> epjson_schema_for(PyObject* path) {
    if (!is_path_like(path)) {
        py::raise_arg_type("epjson_schema", "str, bytes or os.PathLike", path);
        return {};
    }
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    if (!os) return {};
    Ref stat = Ref::steal(PyObject_CallMethod(os.get(), "stat", "O", path));
    if (!stat) return {};
    long long dev, ino, mtime, size;
    if (!stat_field(stat.get(), "st_dev", dev) || !stat_field(stat.get(), "st_ino", ino) ||
        !stat_field(stat.get(), "st_mtime_ns", mtime) || !stat_field(stat.get(), "st_size", size))
        return {};
    const FileKey key{dev, ino, mtime, size};
    auto& cache = schema_cache();
    if (const auto found = cache.find(key); found != cache.end()) return found->second;

    Ref content = read_file_bytes(path);
    if (!content) return {};
    const std::string_view text = py::bytes_view(content.get());
    std::shared_ptr<epjson::Schema> schema;
    std::string error;
    bool loaded = false;
    schema = std::make_shared<epjson::Schema>();
    py::without_lock([&] { loaded = schema->load(text, error); });
    if (!loaded) {
        raise_message(PyExc_ValueError, error);
        return {};
    }
    try {
        // Another edition of the same file is not wanted any more.
        for (auto it = cache.begin(); it != cache.end();) {
            if (std::get<0>(it->first) == dev && std::get<1>(it->first) == ino)
                it = cache.erase(it);
            else
                ++it;
        }
        cache.emplace(key, schema);
    } catch (const std::bad_alloc&) {
        // Not kept: it is read again next time.
    }
    return schema;
}

Ref epjson_text_bytes(PyObject* text_or_path) {
    if (PyBytes_Check(text_or_path)) return Ref::borrow(text_or_path);
    if (PyUnicode_Check(text_or_path)) {
        // JSON text starts with '{' after any white space; anything else is
        // a path.
        const Py_ssize_t length = PyUnicode_GET_LENGTH(text_or_path);
        const int kind = PyUnicode_KIND(text_or_path);
        const void* data = PyUnicode_DATA(text_or_path);
        Py_ssize_t i = 0;
        while (i < length && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) ++i;
        if (i < length && PyUnicode_READ(kind, data, i) == '{') return py::encode_utf8(text_or_path);
        return read_file_bytes(text_or_path);
    }
    if (is_path_like(text_or_path)) return read_file_bytes(text_or_path);
    py::raise_arg_type("text_or_path", "str, bytes or os.PathLike", text_or_path);
    return {};
}

void raise_epjson_error(const epjson::Error& error, const IDFDoc* doc) {
    switch (error.kind) {
        case epjson::Error::out_of_memory: PyErr_NoMemory(); return;
        case epjson::Error::foreign_slot: {
            PyObject* item = doc ? occupant(doc, error.slot) : nullptr;
            PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to tarvix.idf.IDFObject",
                         item ? Py_TYPE(item)->tp_name : "an item");
            return;
        }
        case epjson::Error::invalid:
        case epjson::Error::none: raise_message(PyExc_ValueError, error.message); return;
    }
}

// ---------------------------------------------------------------------------
// The IDF methods that read and write epJSON

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
    const c_IDD& idd = reinterpret_cast<IDDObject*>(given[0])->c_idd;
    const std::string_view json_text = py::bytes_view(json.get());
    std::string text;
    epjson::Error error;
    bool converted;
    Py_BEGIN_ALLOW_THREADS converted = epjson::epjson_to_text(json_text, idd, *schema, text, error);
    Py_END_ALLOW_THREADS json.reset();
    if (!converted) {
        raise_epjson_error(error, nullptr);
        return nullptr;
    }
    Ref self = Ref::steal(doc_new(reinterpret_cast<PyTypeObject*>(cls), shared.empty_tuple, nullptr));
    if (!self) return nullptr;
    std::unique_ptr<TextStore> store;
    store = make_text_store(std::move(text));
    if (load_store(as_doc(self.get()), given[0], std::move(store), true) < 0) return nullptr;
    return self.release();
}

// The document as epJSON text in `out`; false with an exception set.
bool epjson_of(IDFDoc* self, PyObject* schema_path, PyObject* compact_arg, epjson::JsonText& out) {
    const int compact = PyObject_IsTrue(compact_arg);
    if (compact < 0) return false;
    const std::shared_ptr<const epjson::Schema> schema = epjson_schema_for(schema_path);
    if (!schema) return false;
    epjson::Error error;
    bool written = false;
    const bool done = with_checked_slots(self, kWritingEpjson, [&](const SlotSource& slots, const c_IDD& idd) {
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
    if (!is_ascii(text)) return py::decode_utf8(text);
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

}  // namespace tarvix::idf
