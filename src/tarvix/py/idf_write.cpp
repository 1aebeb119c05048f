// Writing a document back to text: the native write_to_buffer, format(),
// save() and repr().
#include <algorithm>
#include <cstring>
#include <string>

#include "core/base/os_memory.h"
#include "py/idf_document.h"

namespace tarvix::idf {

using py::Ref;

namespace {

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
        py::report_unraisable(FailureSite::write_to_buffer);
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
        py::report_unraisable(FailureSite::write_to_buffer);
    }
    return result;
}

// Appends the document's text.
WriteResult write_text(IDFDoc* self, std::string& out, const FormatConfig& config, bool preserve_order) {
    return with_slots(self, [&](const SlotSource& slots, const c_IDD* schema, WriteResult& result) {
        write_document(out, config, preserve_order, schema, self->doc.index(), slots, result);
    });
}

// The kept-layout text as a str, measured first: ASCII text (the rule) is
// written straight into the str; any other into a buffer of its size that
// the UTF-8 decoder then reads.
Ref kept_text_of(IDFDoc* self) {
    Ref text;
    const WriteResult written = with_slots(self, [&](const SlotSource& slots, const c_IDD*, WriteResult& result) {
        const SourceText& source = *self->doc.source();
        const KeptMeasure measure = measure_kept_layout(source, slots, result);
        if (result.out_of_memory) return;
        if (measure.ascii) {
            text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(measure.bytes), 127));
            if (!text) return;
            os_memory::prefer_huge_pages(PyUnicode_DATA(text.get()), measure.bytes);
            if (!write_kept_layout_into(static_cast<char*>(PyUnicode_DATA(text.get())), source, slots))
                result.out_of_memory = true;
            return;
        }
        // Through a buffer of the exact size, decoded once.
        Ref buffer = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(measure.bytes)));
        if (!buffer) return;
        char* data = PyBytes_AS_STRING(buffer.get());
        os_memory::prefer_huge_pages(data, measure.bytes);
        if (!write_kept_layout_into(data, source, slots)) {
            result.out_of_memory = true;
            return;
        }
        text = py::decode_utf8(std::string_view(data, measure.bytes));
    });
    if (written.out_of_memory) {
        PyErr_NoMemory();
        return {};
    }
    return text;
}

// Whether a document may be written with keep_layout; ValueError when it
// was not loaded with it.
bool check_layout_kept(IDFDoc* self, const char* func_name) {
    if (self->doc.source()) return true;
    PyErr_Format(PyExc_ValueError,
                 "%s(keep_layout=True) needs the text the document was loaded from: load it with "
                 "IDF.from_file(idd, path, keep_layout=True), IDF.from_string(idd, text, keep_layout=True) or "
                 "open_idf(path, schemas, keep_layout=True)",
                 func_name);
    return false;
}

// The bytes of the file a kept layout writes: the text in the encoding the
// file was read in, after its byte-order mark when it had one.
Ref file_bytes(const SourceText& source, std::string_view text);

Ref kept_file_bytes(IDFDoc* self) {
    Ref bytes;
    std::string buffer;
    const WriteResult written = with_slots(self, [&](const SlotSource& slots, const c_IDD*, WriteResult& result) {
        const SourceText& source = *self->doc.source();
        if (!source.encoding.empty()) {
            write_kept_layout(buffer, source, slots, result);
            return;
        }
        // UTF-8: measured, then written straight into the bytes.
        const KeptMeasure measure = measure_kept_layout(source, slots, result);
        if (result.out_of_memory) return;
        const size_t mark = source.byte_order_mark ? 3 : 0;
        bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(mark + measure.bytes)));
        if (!bytes) return;
        char* data = PyBytes_AS_STRING(bytes.get());
        os_memory::prefer_huge_pages(data, mark + measure.bytes);
        std::memcpy(data, "\xEF\xBB\xBF", mark);
        if (!write_kept_layout_into(data + mark, source, slots)) result.out_of_memory = true;
    });
    if (written.out_of_memory) {
        PyErr_NoMemory();
        return {};
    }
    if (self->doc.source()->encoding.empty()) return bytes;
    return file_bytes(*self->doc.source(), buffer);
}

Ref file_bytes(const SourceText& source, std::string_view text) {
    Ref encoded;
    if (!source.encoding.empty()) {
        Ref str = py::decode_utf8(text);
        if (!str) return {};
        encoded = Ref::steal(PyUnicode_AsEncodedString(str.get(), source.encoding.c_str(), "strict"));
        if (!encoded) return {};
        if (!PyBytes_Check(encoded.get())) {
            py::raise_expected("bytes", encoded.get());
            return {};
        }
        if (!source.byte_order_mark) return encoded;
        text = py::bytes_view(encoded.get());
    }
    std::string_view mark = source.byte_order_mark ? std::string_view("\xEF\xBB\xBF") : std::string_view();
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(mark.size() + text.size())));
    if (!bytes) return {};
    char* data = PyBytes_AS_STRING(bytes.get());
    std::copy(mark.begin(), mark.end(), data);
    std::copy(text.begin(), text.end(), data + mark.size());
    return bytes;
}

}  // namespace

void doc_write_to_buffer(IDFDoc* self, std::string& out, const FormatConfig* config, const WriteOptions* options) {
    write_text(self, out, *config, options && options->n > 0 && options->preserve_order);
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
    const WriteResult written = with_slots(self, [&](const SlotSource& slots, const c_IDD* schema,
                                                     WriteResult& result) {
        const ClassIndex& index = self->doc.index();
        const TextMeasure measure = measure_document(config, preserve_order, schema, index, slots, result);
        if (measure.ascii) {
            size_t begin = trim ? measure.leading_newlines : 0;
            const size_t end = trim ? measure.bytes - measure.trailing_newlines : measure.bytes;
            if (begin > end) begin = end;  // nothing but line ends
            text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(end - begin), 127));
            if (text) os_memory::prefer_huge_pages(PyUnicode_DATA(text.get()), end - begin);
            if (text)
                write_document_into(static_cast<char*>(PyUnicode_DATA(text.get())), begin, end, config, preserve_order,
                                    schema, index, slots);
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
        "format",
        {"class_indent_size", "field_indent_size", "field_size", "compact", "preserve_order", "keep_layout"},
        0,
        5};
    Ref defaults[3] = {Ref::steal(PyLong_FromLong(0)), Ref::steal(PyLong_FromLong(4)), Ref::steal(PyLong_FromLong(24))};
    PyObject* given[6] = {defaults[0].get(), defaults[1].get(), defaults[2].get(), Py_False, Py_False, Py_False};
    if (!given[0] || !given[1] || !given[2] || !params.parse(args, nargs, kwnames, given)) return nullptr;
    LayoutArgs layout;
    if (!parse_layout(given, layout)) return nullptr;
    const int keep_layout = PyObject_IsTrue(given[5]);
    if (keep_layout < 0) return nullptr;
    IDFDoc* self = as_doc(obj);
    if (!keep_layout) return text_of(self, layout.config, layout.preserve_order, true).release();
    if (!check_layout_kept(self, "format")) return nullptr;
    return kept_text_of(self).release();
}

// Writes `data` as the whole file at `path` through tarvix._files: into a
// temporary file beside it, renamed over it once complete, so that a
// failed write leaves the file as it was (a device or a FIFO is written in
// place). The helper reads the buffer through a memoryview, so a large
// document is not copied once more. The error of a failed write (a full
// disk, a size limit, an interrupt) comes out as raised.
bool write_file(PyObject* path, std::string_view data) {
    Ref files = Ref::steal(PyImport_ImportModule("tarvix._files"));
    if (!files) return false;
    Ref write = Ref::steal(PyObject_GetAttrString(files.get(), "write_file"));
    if (!write) return false;
    Ref view = Ref::steal(
        PyMemoryView_FromMemory(const_cast<char*>(data.data()), static_cast<Py_ssize_t>(data.size()), PyBUF_READ));
    if (!view) return false;
    Ref written = Ref::steal(PyObject_CallFunctionObjArgs(write.get(), path, view.get(), nullptr));
    // The buffer goes away with this call: no view of it may outlive it.
    // A call needs no exception pending: the write's waits meanwhile.
    PyObject* failed_write = PyErr_GetRaisedException();
    Ref released = Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr));
    if (failed_write) {
        PyErr_Clear();  // the write's error is the one to tell
        PyErr_SetRaisedException(failed_write);
        return false;
    }
    return written && released;
}

PyObject* doc_save(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"save",
                                   {"output_path", "class_indent_size", "field_indent_size", "field_size", "compact",
                                    "preserve_order", "include_timestamp", "keep_layout"},
                                   1,
                                   7};
    Ref defaults[3] = {Ref::steal(PyLong_FromLong(0)), Ref::steal(PyLong_FromLong(4)), Ref::steal(PyLong_FromLong(24))};
    PyObject* given[8] = {nullptr,  defaults[0].get(), defaults[1].get(), defaults[2].get(),
                          Py_False, Py_False,          Py_True,           Py_False};
    if (!given[1] || !given[2] || !given[3] || !params.parse(args, nargs, kwnames, given)) return nullptr;
    LayoutArgs layout;
    if (!parse_layout(given + 1, layout)) return nullptr;
    const int include_timestamp = PyObject_IsTrue(given[6]);
    if (include_timestamp < 0) return nullptr;
    const int keep_layout = PyObject_IsTrue(given[7]);
    if (keep_layout < 0) return nullptr;
    IDFDoc* self = as_doc(obj);
    if (keep_layout) {
        // The text as it was, edits applied: no header.
        if (!check_layout_kept(self, "save")) return nullptr;
        Ref bytes = kept_file_bytes(self);
        if (!bytes || !write_file(given[0], py::bytes_view(bytes.get()))) return nullptr;
        Py_RETURN_NONE;
    }
    std::string text;
    text.append("! Generated using Tarvix.py\n");
    if (include_timestamp) text.append("! Saved at: ").append(shared.get_current_time()).append("\n");
    if (write_text(self, text, layout.config, layout.preserve_order).out_of_memory) return PyErr_NoMemory();
    if (!write_file(given[0], text)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* doc_repr(PyObject* obj) { return text_of(as_doc(obj), shared.default_format_config, false, false).release(); }

}  // namespace tarvix::idf
