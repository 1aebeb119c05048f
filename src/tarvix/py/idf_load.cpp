// Loading a document: from a file's or a str's text (UTF-8 bytes that the
// loaded values then live in), and the native operations that load and
// append objects.
#include <filesystem>
#include <memory>
#include <new>

#include "core/base/os_memory.h"
#include "py/idf_document.h"

namespace tarvix::idf {

using py::Ref;

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
    void shrink(size_t size) noexcept override { os_memory::discard_pages(data() + size, data() + this->size()); }

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
        case DocumentErrorKind::out_of_memory: PyErr_NoMemory(); break;
        case DocumentErrorKind::too_long_to_keep:
            PyErr_SetString(PyExc_ValueError, "keep_layout: the text is too long to keep its layout (4 GiB at most)");
            break;
    }
}

// Loads the text of `store` (UTF-8; `known_valid` when it was checked or
// made as such) into a new document that nothing else holds. The parse runs
// without the interpreter lock, with the document kept out of the
// collector's lists until it is complete, so no other thread can reach it
// (gc.get_objects() included) while it is filled.
int load_store(IDFDoc* self, PyObject* idd, std::unique_ptr<TextStore> store, bool known_valid, bool keep_layout) {
    Py_XSETREF(self->idd, Py_NewRef(idd));
    Py_CLEAR(self->objects);  // native: the document's own slots are its list
    self->doc.set_schema(schema_of(idd));

    DocumentError error;
    bool loaded;
    {
        const py::HiddenFromCollector hidden(reinterpret_cast<PyObject*>(self));
        py::DeferredFailures deferred;
        Py_BEGIN_ALLOW_THREADS loaded = self->doc.load(std::move(store), known_valid, error, keep_layout);
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
int load_document(IDFDoc* self, PyObject* idd, Ref content, bool known_valid, bool keep_layout) {
    if (!check_fresh(self, idd)) return -1;
    if (!PyBytes_Check(content.get())) {
        py::raise_expected("bytes", content.get());
        return -1;
    }
    Ref text = own_bytes(std::move(content));
    if (!text) return -1;
    std::unique_ptr<TextStore> store;
    store = std::make_unique<BytesStore>(std::move(text));
    return load_store(self, idd, std::move(store), known_valid, keep_layout);
}

int doc_c_init(IDFDoc* self, PyObject* idd, Ref& idf_content) {
    return load_document(self, idd, std::move(idf_content), false, false);
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

// A new, loaded document of `cls` (IDF or a subclass), made without __init__.
Ref load_new(PyObject* cls, PyObject* idd, Ref content, bool known_valid, bool keep_layout) {
    Ref self = Ref::steal(doc_new(reinterpret_cast<PyTypeObject*>(cls), shared.empty_tuple, nullptr));
    if (!self) return {};
    if (load_document(as_doc(self.get()), idd, std::move(content), known_valid, keep_layout) < 0) return {};
    return self;
}

// Whether the file at `path` starts with a UTF-8 byte-order mark (the text
// read drops it; a kept layout writes it back).
bool starts_with_byte_order_mark(PyObject* path, bool& found) {
    Ref file = Ref::steal(PyObject_CallFunction(shared.builtin_open, "Os", path, "rb"));
    if (!file) return false;
    Ref head = Ref::steal(PyObject_CallMethod(file.get(), "read", "i", 3));
    if (!py::close_file(file.get()) || !head) return false;
    found = PyBytes_Check(head.get()) && py::bytes_view(head.get()) == "\xEF\xBB\xBF";
    return true;
}

PyObject* doc_from_file(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"from_file", {"idd", "filepath", "encoding", "keep_layout"}, 2, 3};
    PyObject* given[4] = {nullptr, nullptr, Py_None, Py_False};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    if (!py::check_instance(given[0], shared.idd_type, "idd") || !py::check_str_or_none(given[2], "encoding"))
        return nullptr;
    const int keep_layout = PyObject_IsTrue(given[3]);
    if (keep_layout < 0) return nullptr;
    ReadUtf8BytesOptions options{1, given[2]};
    Ref content = Ref::steal(shared.read_utf8_bytes(given[1], &options));
    if (!content) return nullptr;
    bool byte_order_mark = false;
    if (keep_layout && !starts_with_byte_order_mark(given[1], byte_order_mark)) return nullptr;
    Ref self = load_new(cls, given[0], std::move(content), py::read_as_utf8_checked(given[2]), keep_layout);
    if (!self) return nullptr;
    // The file's own folder, where the files the document names are looked for.
    if (PyUnicode_Check(given[1]) || PyBytes_Check(given[1]) || PyObject_HasAttrString(given[1], "__fspath__")) {
        Ref path = Ref::steal(PyOS_FSPath(given[1]));
        Ref text = path && PyBytes_Check(path.get())
                       ? Ref::steal(PyUnicode_DecodeFSDefault(PyBytes_AS_STRING(path.get())))
                       : path;
        std::string_view view;
        if (!text || !PyUnicode_Check(text.get()) || !py::str_utf8(text.get(), view)) {
            PyErr_Clear();  // a name that does not read as text: no folder
        } else {
            std::error_code error;
            const auto absolute = std::filesystem::absolute(std::filesystem::path(std::string(view)), error);
            if (!error) as_doc(self.get())->folder = absolute.parent_path().string();
        }
    }
    if (!keep_layout) return self.release();
    // What the file had around the text, so that a kept layout writes the
    // same bytes back.
    SourceText* source = as_doc(self.get())->doc.source();
    source->byte_order_mark = byte_order_mark;
    if (given[2] != Py_None) {
        bool utf8 = false;
        if (!py::names_utf8(given[2], utf8)) return nullptr;
        std::string_view encoding;
        if (!utf8 && !py::str_utf8(given[2], encoding)) return nullptr;
        if (!utf8) source->encoding.assign(encoding);
    }
    return self.release();
}

PyObject* doc_from_string(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"from_string", {"idd", "content", "keep_layout"}, 2, 2};
    PyObject* given[3] = {nullptr, nullptr, Py_False};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    if (!py::check_instance(given[0], shared.idd_type, "idd") || !py::check_str_or_none(given[1], "content"))
        return nullptr;
    const int keep_layout = PyObject_IsTrue(given[2]);
    if (keep_layout < 0) return nullptr;
    Ref content = py::encode_utf8(given[1]);  // strict: always valid UTF-8
    if (!content) return nullptr;
    return load_new(cls, given[0], std::move(content), true, keep_layout).release();
}

}  // namespace tarvix::idf
