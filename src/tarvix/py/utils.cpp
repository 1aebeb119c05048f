// tarvix.utils: file reading with encoding fallback, the native helpers that
// the other modules import, and debug_ wrappers of the string helpers.
#include "py/binding.h"
#include "py/utils.h"

#include "core/text/version.h"

#include <cstring>
#include <ctime>

namespace tarvix {
namespace {

using py::Ref;

// Looked up once at module execution; kept for the life of the process.
PyObject* builtin_open = nullptr;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// ---------------------------------------------------------------------------
// Published native functions

// Reads the whole file and returns UTF-8 bytes without a byte-order mark.
// Bytes that nothing else holds may be changed in place; otherwise a copy
// is made to change.
Ref own(Ref bytes) {
    if (Py_REFCNT(bytes.get()) == 1 && PyBytes_CheckExact(bytes.get())) return bytes;
    return py::to_bytes(py::bytes_view(bytes.get()));
}

// Drops the first `count` bytes.
Ref drop_prefix(Ref bytes, size_t count) {
    const std::string_view data = py::bytes_view(bytes.get());
    if (data.size() - count < 4096) return py::to_bytes(data.substr(count));
    bytes = own(std::move(bytes));
    if (!bytes) return {};
    char* buffer = PyBytes_AS_STRING(bytes.get());
    std::memmove(buffer, buffer + count, data.size() - count);
    PyObject* resized = bytes.release();
    if (_PyBytes_Resize(&resized, static_cast<Py_ssize_t>(data.size() - count)) < 0) return {};
    return Ref::steal(resized);
}

// Latin-1 bytes as UTF-8, converted in place: the text grows by one byte
// per byte above 0x7F and is never held twice.
Ref latin1_to_utf8(Ref bytes) {
    const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()));
    size_t high = 0;
    Py_BEGIN_ALLOW_THREADS high = count_latin1_high_bytes(py::bytes_view(bytes.get()));
    Py_END_ALLOW_THREADS if (high == 0) return bytes;  // ASCII reads the same in both
    bytes = own(std::move(bytes));
    if (!bytes) return {};
    PyObject* grown = bytes.release();
    if (_PyBytes_Resize(&grown, static_cast<Py_ssize_t>(size + high)) < 0) return {};
    char* buffer = PyBytes_AS_STRING(grown);
    Py_BEGIN_ALLOW_THREADS latin1_to_utf8_in_place(buffer, size, high);
    Py_END_ALLOW_THREADS return Ref::steal(grown);
}

// The name a codec is registered under ("iso8859-1" for every alias of
// Latin-1); an unknown encoding raises the interpreter's LookupError.
Ref codec_name(PyObject* encoding) {
    Ref codecs = Ref::steal(PyImport_ImportModule("codecs"));
    if (!codecs) return {};
    Ref info = Ref::steal(PyObject_CallMethod(codecs.get(), "lookup", "O", encoding));
    if (!info) return {};
    return Ref::steal(PyObject_GetAttrString(info.get(), "name"));
}

// Reads the whole file and returns UTF-8 bytes without a byte-order mark.
// The text is changed in place where it can be, and the work on every byte
// runs without the interpreter lock.
PyObject* read_utf8_bytes(PyObject* filepath, ReadUtf8BytesOptions* options) {
    PyObject* encoding = (options && options->n > 0) ? options->encoding : Py_None;

    Ref content;
    {
        Ref file = Ref::steal(PyObject_CallFunction(builtin_open, "Os", filepath, "rb"));
        if (!file) return nullptr;
        content = Ref::steal(PyObject_CallMethod(file.get(), "read", nullptr));
        if (!py::close_file(file.get())) return nullptr;
    }
    if (!PyBytes_Check(content.get())) {
        py::raise_expected("bytes", content.get());
        return nullptr;
    }
    if (py::bytes_view(content.get()).starts_with(kByteOrderMark)) {
        content = drop_prefix(std::move(content), kByteOrderMark.size());
        if (!content) return nullptr;
    }

    if (encoding != Py_None) {
        bool utf8 = false;
        if (!py::names_utf8(encoding, utf8)) return nullptr;
        if (utf8) return content.release();
        const char* codec = PyUnicode_AsUTF8(encoding);
        if (!codec) return nullptr;
        Ref name = codec_name(encoding);
        if (!name) return nullptr;
        if (PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), "iso8859-1") == 0)
            return latin1_to_utf8(std::move(content)).release();
        const std::string_view data = py::bytes_view(content.get());
        Ref text = Ref::steal(PyUnicode_Decode(data.data(), static_cast<Py_ssize_t>(data.size()), codec, "strict"));
        if (!text) return nullptr;
        content.reset();  // the text replaces the raw bytes
        return PyUnicode_AsUTF8String(text.get());
    }

    // Without an encoding the text must already be UTF-8. Validate natively
    // and let the interpreter's decoder build the exact error only when the
    // text is bad.
    const std::string_view data = py::bytes_view(content.get());
    size_t invalid;
    Py_BEGIN_ALLOW_THREADS invalid = find_invalid_utf8(data);
    Py_END_ALLOW_THREADS if (invalid == std::string_view::npos) return content.release();
    Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(data.data(), static_cast<Py_ssize_t>(data.size()), "strict"));
    if (decoded) return content.release();  // cannot happen: both are strict
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return nullptr;
    PyObject* cause = PyErr_GetRaisedException();
    Ref shown = Ref::steal(PyObject_Format(filepath, nullptr));
    if (!shown) {
        Py_DECREF(cause);
        return nullptr;
    }
    PyErr_Format(PyExc_UnicodeError, "'%U' cannot be read in UTF-8. Encoding needs to be specified.", shown.get());
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, Py_NewRef(cause));
    PyException_SetContext(error, cause);
    // The way out, after the message in a traceback: a note leaves the message itself as it is.
    Ref noted = Ref::steal(PyObject_CallMethod(error, "add_note", "s",
                                               "Give the file's encoding with encoding=, for example "
                                               "encoding=\"cp1252\"."));
    if (!noted) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(error);
    return nullptr;
}

DigitRange get_continuous_digits_indices(const std::string& name) {
    return tarvix::get_continuous_digits_indices(std::string_view(name));
}

// Text a field receives when a Python value is stored in it. Leaves a Python
// exception pending on failure; the caller checks PyErr_Occurred().
std::string any_to_string(PyObject* value) {
    try {
        if (value == Py_None) return {};
        if (PyBool_Check(value)) return value == Py_True ? "Yes" : "No";
        if (PyLong_Check(value)) {
            const long long number = PyLong_AsLongLong(value);
            if (number == -1 && PyErr_Occurred()) return {};
            return std::to_string(number);
        }
        Ref text;
        if (PyUnicode_Check(value)) {
            text = Ref::borrow(value);
        } else {
            text = Ref::steal(PyObject_Str(value));  // floats and everything else
            if (!text) return {};
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (!data) return {};
        return std::string(data, static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {};
    }
}

std::string get_current_time() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!localtime_r(&now, &local)) return {};
    char buffer[25];
    const size_t written = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    try {
        return std::string(buffer, written);
    } catch (const std::bad_alloc&) {
        py::report_unraisable(FailureSite::get_current_time);
        return {};
    }
}

// ---------------------------------------------------------------------------
// Python-visible debug_ functions

// Checks that every argument is exactly a str or None, then encodes them
// from the left (None fails when its turn comes).
template <size_t N>
bool parse_text_args(const py::Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::string (&out)[N]) {
    PyObject* given[N] = {};
    if (!params.parse(args, nargs, kwnames, given)) return false;
    size_t i = 0;
    for (const char* name : params.names)
        if (!py::check_str_or_none(given[i++], name)) return false;
    for (i = 0; i < N; ++i) {
        std::string_view view;
        if (!py::str_utf8(given[i], view)) return false;
        out[i].assign(view);
    }
    return true;
}

PyObject* to_str(const std::string& text) { return py::decode_utf8(text).release(); }

PyObject* debug_to_lower(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"debug_to_lower", {"s"}, 1};
    std::string s[1];
    if (!parse_text_args(params, args, nargs, kwnames, s)) return nullptr;
    return to_str(to_lower(s[0]));
}

PyObject* debug_to_upper(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"debug_to_upper", {"s"}, 1};
    std::string s[1];
    if (!parse_text_args(params, args, nargs, kwnames, s)) return nullptr;
    return to_str(to_upper(s[0]));
}

PyObject* debug_equal_fold(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"debug_equal_fold", {"a", "b"}, 2};
    std::string s[2];
    if (!parse_text_args(params, args, nargs, kwnames, s)) return nullptr;
    return PyBool_FromLong(equal_fold(s[0], s[1]));
}

PyObject* debug_trim_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"debug_trim_string", {"s"}, 1};
    std::string s[1];
    if (!parse_text_args(params, args, nargs, kwnames, s)) return nullptr;
    return to_str(trim_string(s[0]));
}

PyObject* debug_trim_newlines(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"debug_trim_newlines", {"s"}, 1};
    std::string s[1];
    if (!parse_text_args(params, args, nargs, kwnames, s)) return nullptr;
    return to_str(trim_newlines(s[0]));
}

PyObject* debug_has_prefix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"debug_has_prefix", {"s", "prefix"}, 2};
    std::string s[2];
    if (!parse_text_args(params, args, nargs, kwnames, s)) return nullptr;
    return PyBool_FromLong(has_prefix(s[0], s[1]));
}

PyObject* debug_has_suffix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"debug_has_suffix", {"s", "suffix"}, 2};
    std::string s[2];
    if (!parse_text_args(params, args, nargs, kwnames, s)) return nullptr;
    return PyBool_FromLong(has_suffix(s[0], s[1]));
}

PyObject* cut_result(const CutResult& result) {
    Ref text = py::decode_utf8(result.first);
    if (!text) return nullptr;
    return PyTuple_Pack(2, text.get(), result.second ? Py_True : Py_False);
}

PyObject* debug_cut_prefix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"debug_cut_prefix", {"s", "prefix"}, 2};
    std::string s[2];
    if (!parse_text_args(params, args, nargs, kwnames, s)) return nullptr;
    return cut_result(cut_prefix(s[0], s[1]));
}

PyObject* debug_cut_suffix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"debug_cut_suffix", {"s", "suffix"}, 2};
    std::string s[2];
    if (!parse_text_args(params, args, nargs, kwnames, s)) return nullptr;
    return cut_result(cut_suffix(s[0], s[1]));
}

PyObject* debug_get_current_time(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!py::no_args("debug_get_current_time", nargs, kwnames)) return nullptr;
    return to_str(get_current_time());
}

// ---------------------------------------------------------------------------
// Versions

// The number of a run of ASCII digits; null with an exception set when the
// interpreter will not convert that many digits.
Ref number_of(std::string_view digits) {
    try {
        return Ref::steal(PyLong_FromString(std::string(digits).c_str(), nullptr, 10));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {};
    }
}

PyObject* version_key(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Params params{"version_key", {"version"}, 1};
    PyObject* given[1] = {nullptr};
    if (!params.parse(args, nargs, kwnames, given) || !py::check_str(given[0], "version")) return nullptr;
    std::string_view version;
    if (!py::str_utf8(given[0], version)) return nullptr;
    const MajorMinor key = major_minor(version);
    try {
        if (!key.numeric) return py::decode_utf8(to_lower(std::string(key.text))).release();
        Ref major = number_of(key.major), minor = major ? number_of(key.minor) : Ref();
        if (major && minor) return PyTuple_Pack(2, major.get(), minor.get());
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
        PyErr_Clear();  // too many digits for an int: the digits themselves, which no other key spells
        return py::decode_utf8(std::string(key.major) + "." + std::string(key.minor)).release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

constexpr const char kVersionKeyDoc[] =
    "version_key(version)\n--\n\n"
    "The major.minor of a version, as documents and schemas are matched by it.\n\n"
    "Blanks, tabs and line ends around the version are ignored. When the first two\n"
    "parts (split at '.') are ASCII digits, the key is the pair of their numbers (a\n"
    "missing minor is 0): '8.8.0', '8.8' and '08.8' give (8, 8), '9' gives (9, 0),\n"
    "'8.80' gives (8, 80). Otherwise it is the text of those two parts with ASCII\n"
    "letters lower-cased: 'Beta.X.1' gives 'beta.x', 'V8-0' gives 'v8-0'.";

// Each debug_ entry carries only its text signature (for help() and
// inspect); those functions have no docstring.
PyMethodDef module_functions[] = {
    {"debug_to_lower", py::fastcall(debug_to_lower), METH_FASTCALL | METH_KEYWORDS, "debug_to_lower(s)\n--\n\n"},
    {"debug_to_upper", py::fastcall(debug_to_upper), METH_FASTCALL | METH_KEYWORDS, "debug_to_upper(s)\n--\n\n"},
    {"debug_equal_fold", py::fastcall(debug_equal_fold), METH_FASTCALL | METH_KEYWORDS,
     "debug_equal_fold(a, b)\n--\n\n"},
    {"debug_trim_string", py::fastcall(debug_trim_string), METH_FASTCALL | METH_KEYWORDS,
     "debug_trim_string(s)\n--\n\n"},
    {"debug_trim_newlines", py::fastcall(debug_trim_newlines), METH_FASTCALL | METH_KEYWORDS,
     "debug_trim_newlines(s)\n--\n\n"},
    {"debug_has_prefix", py::fastcall(debug_has_prefix), METH_FASTCALL | METH_KEYWORDS,
     "debug_has_prefix(s, prefix)\n--\n\n"},
    {"debug_has_suffix", py::fastcall(debug_has_suffix), METH_FASTCALL | METH_KEYWORDS,
     "debug_has_suffix(s, suffix)\n--\n\n"},
    {"debug_cut_prefix", py::fastcall(debug_cut_prefix), METH_FASTCALL | METH_KEYWORDS,
     "debug_cut_prefix(s, prefix)\n--\n\n"},
    {"debug_cut_suffix", py::fastcall(debug_cut_suffix), METH_FASTCALL | METH_KEYWORDS,
     "debug_cut_suffix(s, suffix)\n--\n\n"},
    {"debug_get_current_time", py::fastcall(debug_get_current_time), METH_FASTCALL | METH_KEYWORDS,
     "debug_get_current_time()\n--\n\n"},
    {"version_key", py::fastcall(version_key), METH_FASTCALL | METH_KEYWORDS, kVersionKeyDoc},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Module definition

int execute(PyObject* module) {
    if (!builtin_open) {
        Ref open = py::lookup_builtin("open");
        if (!open) return -1;
        builtin_open = open.release();
    }
    if (py::publish_function(module, "read_utf8_bytes", read_utf8_bytes, kReadUtf8BytesSignature) < 0 ||
        py::publish_function(module, "get_continuous_digits_indices", get_continuous_digits_indices,
                             kGetContinuousDigitsIndicesSignature) < 0 ||
        py::publish_function(module, "any_to_string", any_to_string, kAnyToStringSignature) < 0 ||
        py::publish_function(module, "get_current_time", get_current_time, kGetCurrentTimeSignature) < 0)
        return -1;
    if (PyModule_AddFunctions(module, module_functions) < 0) return -1;

    return 0;
}

constexpr py::ModuleSpec module_spec{"utils", "tarvix.utils", nullptr, execute};

}  // namespace
}  // namespace tarvix

PyMODINIT_FUNC PyInit_utils() { return tarvix::py::Module<tarvix::module_spec>::init(); }
