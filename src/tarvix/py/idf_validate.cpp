// Problem: the read-only record of one problem IDF.validate() found, made
// from the core's findings once the check is done.
#include <optional>

#include "py/idf_document.h"

namespace tarvix::idf {
namespace {

using py::Ref;

PyTypeObject* problem_type = nullptr;

PyStructSequence_Field kProblemFields[] = {
    {"severity", "'error' or 'warning'"},
    {"code", "what kind of problem, e.g. 'unknown-reference'"},
    {"class_name", "class of the object, or of the missing object"},
    {"object_name", "name of the object, or None"},
    {"obj_idx", "index of the object in the document, or None"},
    {"field_index", "index of the field, or None"},
    {"field_name", "name of the field, or None"},
    {"value", "the value found, or None"},
    {"message", "one sentence naming class, object, field and value"},
    {"line", "line of the field, else of the object, in the text it was loaded from; or None"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kProblemDesc = {
    "tarvix.idf.Problem",
    "A problem IDF.validate() found in a document (read-only).",
    kProblemFields,
    9,
};

Ref text_or_none(std::string_view text, bool present) { return present ? py::decode_utf8(text) : Ref::borrow(Py_None); }

Ref index_or_none(int64_t index) { return index >= 0 ? Ref::steal(PyLong_FromLongLong(index)) : Ref::borrow(Py_None); }

// Strs of the fixed texts, made once.
PyObject* code_strs[kProblemCodes] = {};
PyObject* severity_error = nullptr;
PyObject* severity_warning = nullptr;

// The strs of the texts problems share: problems come in document order, so
// those of one object (and of one of its fields) follow each other, and each
// name and value becomes one str however many problems quote it.
class SharedTexts {
public:
    Ref class_name(const Problem& problem) {
        if (!class_str_ || problem.class_name.data() != class_name_.data() ||
            problem.class_name.size() != class_name_.size()) {
            class_str_ = py::decode_utf8(problem.class_name);
            class_name_ = problem.class_name;
        }
        return class_str_;
    }

    Ref object_name(const Problem& problem) {
        if (problem.object_name.empty()) return Ref::borrow(Py_None);
        if (!object_str_ || problem.obj_idx != object_idx_) {
            object_str_ = py::decode_utf8(problem.object_name);
            object_idx_ = problem.obj_idx;
        }
        return object_str_;
    }

    Ref value(const Problem& problem) {
        if (!problem.has_value) return Ref::borrow(Py_None);
        if (!value_str_ || problem.obj_idx != value_idx_ || problem.field_index != value_field_) {
            value_str_ = py::decode_utf8(problem.value);
            value_idx_ = problem.obj_idx;
            value_field_ = problem.field_index;
        }
        return value_str_;
    }

private:
    Ref class_str_, object_str_, value_str_;
    std::string_view class_name_;
    size_t object_idx_ = SIZE_MAX, value_idx_ = SIZE_MAX;
    int64_t value_field_ = -1;
};

// The line a problem points at: its field's when the text is kept (found
// through `lines`, which reads each object once), else its object's; 0 when
// neither is known.
uint32_t problem_line(const Document& doc, SourceLines* lines, const Problem& problem) {
    if (problem.obj_idx == SIZE_MAX) return 0;
    const uint32_t line = doc.line_of(problem.obj_idx);
    if (line == 0 || problem.field_index < 0 || !lines) return line;
    return lines->field_line(problem.obj_idx, static_cast<size_t>(problem.field_index), line);
}

Ref make_problem(const Problem& problem, SharedTexts& shared, uint32_t line) {
    Ref items[] = {
        Ref::borrow(problem.error ? severity_error : severity_warning),
        Ref::borrow(code_strs[static_cast<size_t>(problem.code)]),
        shared.class_name(problem),
        shared.object_name(problem),
        problem.obj_idx == SIZE_MAX ? Ref::borrow(Py_None) : Ref::steal(PyLong_FromSize_t(problem.obj_idx)),
        index_or_none(problem.field_index),
        text_or_none(problem.field_name, problem.field_index >= 0),
        shared.value(problem),
        py::decode_utf8(problem.message),
        line ? Ref::steal(PyLong_FromUnsignedLong(line)) : Ref::borrow(Py_None),
    };
    for (const Ref& item : items)
        if (!item) return {};
    Ref record = Ref::steal(PyStructSequence_New(problem_type));
    if (!record) return {};
    for (Py_ssize_t i = 0; i < 10; ++i) PyStructSequence_SET_ITEM(record.get(), i, items[i].release());
    return record;
}

}  // namespace

int setup_problem_type(PyObject* module) {
    if (!problem_type) {
        problem_type = PyStructSequence_NewType(&kProblemDesc);
        if (!problem_type) return -1;
        for (size_t k = 0; k < kProblemCodes; ++k) {
            code_strs[k] = py::decode_utf8(code_name(static_cast<ProblemCode>(k))).release();
            if (!code_strs[k]) return -1;
            PyUnicode_InternInPlace(&code_strs[k]);
        }
        severity_error = PyUnicode_InternFromString("error");
        severity_warning = PyUnicode_InternFromString("warning");
        if (!severity_error || !severity_warning) return -1;
    }
    // The codes validate() takes, in the order of its checks.
    Ref codes = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kProblemCodes)));
    if (!codes) return -1;
    for (size_t k = 0; k < kProblemCodes; ++k)
        PyTuple_SET_ITEM(codes.get(), static_cast<Py_ssize_t>(k), Py_NewRef(code_strs[k]));
    if (PyModule_AddObjectRef(module, "PROBLEM_CODES", codes.get()) < 0) return -1;
    return PyModule_AddObjectRef(module, "Problem", reinterpret_cast<PyObject*>(problem_type));
}

PyObject* problem_list(const IDFDoc* doc, const std::vector<Problem>& problems) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(problems.size())));
    if (!list) return nullptr;
    const py::GcPause gc_pause;
    SharedTexts shared;
    std::optional<SourceLines> lines;
    if (doc->doc.source()) lines.emplace(*doc->doc.source());
    for (size_t i = 0; i < problems.size(); ++i) {
        Ref item;
        try {
            item = make_problem(problems[i], shared, problem_line(doc->doc, lines ? &*lines : nullptr, problems[i]));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
}

bool parse_problem_codes(PyObject* codes, uint32_t& mask) {
    mask = kAllCodes;
    if (codes == Py_None) return true;
    if (PyUnicode_Check(codes)) {
        PyErr_SetString(PyExc_TypeError, "codes must be an iterable of str, not a str");
        return false;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(codes));
    if (!iterator) return false;
    mask = 0;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(item.get())) {
            PyErr_Format(PyExc_TypeError, "codes must hold str, not %.200s", Py_TYPE(item.get())->tp_name);
            return false;
        }
        std::string_view name;
        if (!py::str_utf8(item.get(), name)) return false;
        const std::optional<ProblemCode> code = code_from_name(name);
        if (!code) {
            PyErr_Format(PyExc_ValueError, "Unknown problem code: '%U'", item.get());
            return false;
        }
        mask |= code_bit(*code);
    }
    return !PyErr_Occurred();
}

// ---------------------------------------------------------------------------
// The IDF methods that check

PyObject* doc_validate(PyObject* obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"validate", {"codes"}, 0};
    PyObject* given[1] = {Py_None};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    uint32_t codes = kAllCodes;
    if (!parse_problem_codes(given[0], codes)) return nullptr;
    IDFDoc* self = as_doc(obj);
    std::vector<Problem> problems;
    const bool done = with_checked_slots(self, kValidating, [&](const SlotSource& slots, const c_IDD& schema) {
        validate(slots, schema, self->doc.targets(), codes, problems, self->folder);
    });
    return done ? problem_list(self, problems) : nullptr;
}

PyObject* doc_get_version(PyObject* obj, void*) {
    IDFDoc* self = as_doc(obj);
    std::optional<std::string> version;
    const bool done = with_checked_slots(self, kReadingVersion, [&](const SlotSource& slots, const c_IDD& idd) {
        if (const auto found = document_version(slots, idd)) version.emplace(*found);
    });
    if (!done) return nullptr;
    if (!version) Py_RETURN_NONE;
    return py::decode_utf8(*version).release();
}

}  // namespace tarvix::idf
