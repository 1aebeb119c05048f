// IDF._migrate_text: a document brought to a newer version, through the
// core's migration; tarvix.migration wraps it in migrate().
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/migration/migration.h"
#include "py/idf_document.h"

namespace tarvix::idf {

namespace {
inline constexpr Reader kMigrating{"migrated", "migrate()"};

bool text_arg(PyObject* obj, const char* name, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", name, Py_TYPE(obj)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) return false;
    out.assign(data, static_cast<size_t>(size));
    return true;
}

py::Ref note_tuple(const migration::Note& note) {
    py::Ref field = note.field < 0 ? py::Ref::borrow(Py_None) : py::Ref::steal(PyLong_FromLong(note.field));
    if (!field) return {};
    return py::Ref::steal(Py_BuildValue("(s#s#s#Os#O)", note.step.data(), static_cast<Py_ssize_t>(note.step.size()),
                                        note.class_name.data(), static_cast<Py_ssize_t>(note.class_name.size()),
                                        note.object.data(), static_cast<Py_ssize_t>(note.object.size()), field.get(),
                                        note.message.data(), static_cast<Py_ssize_t>(note.message.size()),
                                        note.loss ? Py_True : Py_False));
}
}  // namespace

PyObject* doc_migrate_text(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"_migrate_text", {"from_version", "to_version", "idd"}, 3};
    PyObject* given[3] = {nullptr, nullptr, nullptr};
    if (!params.parse(args, nargs, kwnames, given) || !py::check_instance(given[2], shared.idd_type, "idd"))
        return nullptr;
    IDFDoc* self = as_doc(obj);
    std::string from, to;
    if (!text_arg(given[0], "from_version", from) || !text_arg(given[1], "to_version", to)) return nullptr;
    const py::Ref keep_idd = py::Ref::borrow(given[2]);
    const c_IDD& target = reinterpret_cast<IDDObject*>(given[2])->c_idd;
    migration::Options options;
    options.from = from;
    options.to = to;
    options.target = &target;
    migration::Result result;
    bool done = false;
    // What the file had around its text, for the migrated document to write
    // back the same way; read while the document refuses changes.
    bool kept = false, byte_order_mark = false;
    std::string encoding;
    if (!with_checked_slots(self, kMigrating, [&](const SlotSource& slots, const c_IDD&) {
            options.source = is_native(self) ? self->doc.source() : nullptr;
            if (options.source) {
                kept = true;
                byte_order_mark = options.source->byte_order_mark;
                encoding = options.source->encoding;
            }
            done = migration::migrate(slots, options, result);
        }))
        return nullptr;
    if (!done) {
        if (result.error == "out of memory") return PyErr_NoMemory();
        PyErr_SetString(PyExc_ValueError, result.error.c_str());
        return nullptr;
    }
    py::Ref notes = py::Ref::steal(PyList_New(0));
    if (!notes) return nullptr;
    for (const migration::Note& note : result.notes) {
        py::Ref item = note_tuple(note);
        if (!item || PyList_Append(notes.get(), item.get()) < 0) return nullptr;
    }
    py::Ref migrated = py::Ref::steal(doc_new(Py_TYPE(obj), shared.empty_tuple, nullptr));
    if (!migrated) return nullptr;
    if (load_store(as_doc(migrated.get()), given[2], make_text_store(std::move(result.text)), true, kept) < 0)
        return nullptr;
    if (SourceText* source = as_doc(migrated.get())->doc.source()) {
        source->byte_order_mark = byte_order_mark;
        source->encoding = std::move(encoding);
    }
    return Py_BuildValue("(NNn)", migrated.release(), notes.release(), static_cast<Py_ssize_t>(result.steps));
}

// IDF.migrate(...): tarvix.migration.migrate(self, ...).
PyObject* doc_migrate(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Ref module = py::Ref::steal(PyImport_ImportModule("tarvix.migration"));
    if (!module) return nullptr;
    py::Ref func = py::Ref::steal(PyObject_GetAttrString(module.get(), "migrate"));
    if (!func) return nullptr;
    // self, then the arguments as given.
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    std::unique_ptr<PyObject*[]> all(new PyObject*[static_cast<size_t>(total) + 1]);
    all[0] = obj;
    for (Py_ssize_t i = 0; i < total; ++i) all[static_cast<size_t>(i) + 1] = args[i];
    return PyObject_Vectorcall(func.get(), all.get(), static_cast<size_t>(nargs) + 1, kwnames);
}

PyObject* migration_versions(PyObject*, PyObject*) {
    const std::vector<std::string>& known = migration::versions();
    py::Ref out = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(known.size())));
    if (!out) return nullptr;
    for (size_t i = 0; i < known.size(); ++i) {
        PyObject* item = PyUnicode_FromStringAndSize(known[i].data(), static_cast<Py_ssize_t>(known[i].size()));
        if (!item) return nullptr;
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item);
    }
    return out.release();
}

PyObject* migration_rules(PyObject*, PyObject*) {
    const std::string_view text = migration::rules_text();
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

}  // namespace tarvix::idf
