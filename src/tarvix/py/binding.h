// Shared binding layer of the tarvix extension modules.
//
// Everything that talks to the CPython C API in a way more than one module
// needs lives here: the owning reference type, argument parsing with the
// library's exact messages, text conversion, module execution (the
// re-initialisation guard, the version check, built-in look-up), publishing
// and importing native function tables and class method tables, and record
// types (struct sequences).
//
// Error flow: every function that can fail returns nullptr / -1 / false with
// a Python exception set, as the C API does; callers check and pass it on.
// C++ exceptions (the core's std::bad_alloc, std::length_error) travel up to
// the one guard at the boundary (guarded<>, used by the method tables), which
// turns them into the Python error.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/text/text.h"

namespace tarvix::py {

using tarvix::Failure;

// ---------------------------------------------------------------------------
// Owning reference

// Holds one strong reference (or none). Build it from a new reference with
// steal() or from a borrowed one with borrow(); release() hands the
// reference back to the C API.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }
    static Ref none() noexcept { return Ref(Py_NewRef(Py_None)); }

    Ref(const Ref& other) noexcept : obj_(Py_XNewRef(other.obj_)) {}
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(obj_, other.obj_);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    bool is_none() const noexcept { return obj_ == Py_None; }

    // Gives up ownership: the caller now owns the reference.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

    // Replaces the held reference by a new one (stolen), releasing the old
    // one only after the swap, so a destructor that re-enters sees a
    // consistent object.
    void reset(PyObject* new_ref = nullptr) noexcept {
        PyObject* old = std::exchange(obj_, new_ref);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Pauses the cycle collector for a scope that creates many container
// objects at once (nothing it creates is garbage yet), restoring its state.
class GcPause {
public:
    GcPause() noexcept : was_enabled_(PyGC_Disable()) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    int was_enabled_;
};

// Keeps a new object that the cycle collector tracks out of its lists for a
// scope that fills the object without the interpreter lock: nothing else
// holds it yet, so without the collector (gc.get_objects(), get_referrers())
// no other thread can reach it half-built. Tracked again when the scope ends.
class HiddenFromCollector {
public:
    explicit HiddenFromCollector(PyObject* obj) noexcept
        : obj_(PyObject_IS_GC(obj) && PyObject_GC_IsTracked(obj) ? obj : nullptr) {
        if (obj_) PyObject_GC_UnTrack(obj_);
    }
    ~HiddenFromCollector() {
        if (obj_) PyObject_GC_Track(obj_);
    }
    HiddenFromCollector(const HiddenFromCollector&) = delete;
    HiddenFromCollector& operator=(const HiddenFromCollector&) = delete;

private:
    PyObject* obj_;
};

// ---------------------------------------------------------------------------
// Messages shared by every module

inline void raise_arg_type(const char* arg_name, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg_name,
                 expected, Py_TYPE(got)->tp_name);
}

inline void raise_expected(const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", expected, Py_TYPE(got)->tp_name);
}

inline void raise_no_attribute_of_none(const char* attr) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", attr);
}

// The qualified name a caller sees for each site of an internal failure.
inline const char* qualified_name(FailureSite site) noexcept {
    static constexpr const char* kNames[] = {
        "tarvix.utils.trim_string",
        "tarvix.utils.trim_newlines",
        "tarvix.utils.cut_prefix",
        "tarvix.utils.cut_suffix",
        "tarvix.utils.get_current_time",
        "tarvix.idd.parse_idd",
        "tarvix.idd.parse_field_property",
        "tarvix.idd.parse_class_property",
        "tarvix.idd.add_new_class",
        "tarvix.idd.add_new_field",
        "tarvix.idd.extract_prefix_suffix",
        "tarvix.idd.fix_missing_begin_index",
        "tarvix.idd.build_indices",
        "tarvix.idd.get_field_name",
        "tarvix.idd.find_field_index",
        "tarvix.idf.IDF.register_target",
        "tarvix.idf.IDF.register_referencer",
        "tarvix.idf.generate_format_config",
        "tarvix.idf.IDF.write_to_buffer",
        "tarvix.idf.IDFObject.write_to_buffer",
    };
    static_assert(sizeof kNames / sizeof kNames[0] == kFailureSiteCount, "a name for every failure site");
    const auto index = static_cast<size_t>(site);
    return index < kFailureSiteCount ? kNames[index] : "tarvix";
}

// Reports an internal failure of an operation that does not raise: the
// pending exception (when none is set, the one that `kind` names) goes to
// the unraisable-error hook under the operation's qualified name. Callable
// with or without the interpreter lock; installed as the core's failure hook.
inline void report_unraisable(FailureSite site, Failure kind = Failure::out_of_memory) {
    const char* name = qualified_name(site);
    PyGILState_STATE gil = PyGILState_Ensure();
    if (!PyErr_Occurred()) {
        if (kind == Failure::zero_division)
            PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
        else
            PyErr_NoMemory();
    }
    PyObject* context = PyUnicode_FromString(name);
    PyErr_WriteUnraisable(context);
    Py_XDECREF(context);
    PyGILState_Release(gil);
}

// Reports what a core operation logged while it ran (see FailureScope), each
// failure once, with the interpreter lock held and no exception pending.
inline void report_failures(const FailureLog& log) {
    for (size_t i = 0; i < log.size(); ++i) report_unraisable(log[i].site, log[i].kind);
}

// Collects the failures of core work that must not call into the interpreter
// while it runs, and reports them when the scope ends.
class DeferredFailures {
public:
    DeferredFailures() noexcept : scope_(log_) {}
    ~DeferredFailures() { flush(); }
    DeferredFailures(const DeferredFailures&) = delete;
    DeferredFailures& operator=(const DeferredFailures&) = delete;

    const FailureLog& log() const noexcept { return log_; }
    // Reports what was logged so far (keeping a pending exception aside).
    void flush() {
        if (log_.empty()) return;
        PyObject* pending = PyErr_GetRaisedException();
        report_failures(log_);
        log_.clear();
        PyErr_SetRaisedException(pending);
    }

private:
    FailureLog log_;
    FailureScope scope_;
};

// ---------------------------------------------------------------------------
// The boundary between C++ exceptions and Python errors

// Sets the Python error for the C++ exception being handled: MemoryError for
// memory that ran out (std::bad_alloc, std::length_error), SystemError naming
// `where` for anything else. Call only inside a catch block.
inline void raise_current_exception(const char* where) noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_SystemError, "%s: internal error: %s", where, error.what());
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "%s: internal error", where);
    }
}

// The qualified name a guard reports, as a template argument.
template <size_t N>
struct GuardName {
    char text[N];
    constexpr GuardName(const char (&name)[N]) { std::copy_n(name, N, text); }
};

template <class R>
constexpr R failed_result() noexcept {
    if constexpr (std::is_pointer_v<R>)
        return nullptr;
    else if constexpr (std::is_same_v<R, bool>)
        return false;
    else
        return -1;
}

template <auto F, GuardName name>
struct Guarded;

template <class R, class... A, R (*F)(A...), GuardName name>
struct Guarded<F, name> {
    static R call(A... args) noexcept {
        try {
            return F(args...);
        } catch (...) {
            raise_current_exception(name.text);
            return failed_result<R>();
        }
    }
};

// `function` as the method tables and type slots hold it: a C++ exception
// that escapes it becomes the Python error (raise_current_exception) and the
// C API's failure result. Every entry point of a module goes through one.
template <auto function, GuardName name>
inline constexpr auto guarded = &Guarded<function, name>::call;

// Runs `work` (which may throw) without the interpreter lock; an exception
// is held while the lock is away and thrown again once it is back.
template <class Work>
void without_lock(Work&& work) {
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS try { work(); } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);
}

// ---------------------------------------------------------------------------
// Text conversion

inline std::string_view bytes_view(PyObject* bytes) noexcept {
    return {PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes))};
}

inline Ref decode_utf8(std::string_view text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

inline Ref to_bytes(std::string_view text) {
    return Ref::steal(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// UTF-8 view of a str argument that already passed its type check (so it is
// a str or None). None fails the way calling .encode() on it would. The view
// stays valid while the str lives.
inline bool str_utf8(PyObject* obj, std::string_view& out) {
    if (obj == Py_None) {
        raise_no_attribute_of_none("encode");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) return false;
    out = std::string_view(data, static_cast<size_t>(size));
    return true;
}

// UTF-8 bytes of a str argument that already passed its type check; None
// fails as calling .encode() on it would.
inline Ref encode_utf8(PyObject* text) {
    if (text == Py_None) {
        raise_no_attribute_of_none("encode");
        return {};
    }
    return Ref::steal(PyUnicode_AsUTF8String(text));
}

// Whether an encoding name (a str) is one of the names under which file
// reading takes the bytes as they are: "utf-8" or "utf8" in any case. False
// with an exception set when lower() fails.
inline bool names_utf8(PyObject* encoding, bool& utf8) {
    Ref lowered = Ref::steal(PyObject_CallMethod(encoding, "lower", nullptr));
    if (!lowered) return false;
    utf8 = PyUnicode_Check(lowered.get()) && (PyUnicode_CompareWithASCIIString(lowered.get(), "utf-8") == 0 ||
                                              PyUnicode_CompareWithASCIIString(lowered.get(), "utf8") == 0);
    return true;
}

// Whether the bytes that read_utf8_bytes gives for `encoding` are known to
// be strict UTF-8: checked (no encoding) or made by encoding decoded text
// (any codec); only the UTF-8 names pass the file's bytes unchecked.
inline bool read_as_utf8_checked(PyObject* encoding) {
    if (encoding == Py_None) return true;
    bool utf8 = false;
    if (!names_utf8(encoding, utf8)) {
        PyErr_Clear();
        return false;
    }
    return !utf8;
}

// Closes a file as leaving a with-block would: a pending error survives,
// and an error of close() takes over with the pending one as its context.
// False when either happened.
inline bool close_file(PyObject* file) {
    PyObject* pending = PyErr_GetRaisedException();
    Ref closed = Ref::steal(PyObject_CallMethod(file, "close", nullptr));
    if (!closed) {
        if (pending) {
            PyObject* current = PyErr_GetRaisedException();
            PyException_SetContext(current, pending);
            PyErr_SetRaisedException(current);
        }
        return false;
    }
    if (pending) {
        PyErr_SetRaisedException(pending);
        return false;
    }
    return true;
}

// Argument that must be exactly a str (no subclass) or None.
inline bool check_str_or_none(PyObject* obj, const char* arg_name) {
    if (obj == Py_None || PyUnicode_CheckExact(obj)) return true;
    raise_arg_type(arg_name, "str", obj);
    return false;
}

// Argument that must be exactly a str (no subclass, no None).
inline bool check_str(PyObject* obj, const char* arg_name) {
    if (PyUnicode_CheckExact(obj)) return true;
    raise_arg_type(arg_name, "str", obj);
    return false;
}

// Argument that must be an instance of `type`; None is refused with the same
// message as any other wrong type.
inline bool check_instance(PyObject* obj, PyTypeObject* type, const char* arg_name) {
    if (obj != Py_None && PyObject_TypeCheck(obj, type)) return true;
    raise_arg_type(arg_name, type->tp_name, obj);
    return false;
}

// Converts a Python integer to a signed 32-bit int, raising OverflowError
// when it does not fit.
inline bool to_int32(PyObject* obj, int32_t& out) {
    long value = PyLong_AsLong(obj);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < INT32_MIN || value > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    out = static_cast<int32_t>(value);
    return true;
}

// ---------------------------------------------------------------------------
// Argument parsing for METH_FASTCALL | METH_KEYWORDS functions

// Names and required count of one function's parameters. The caller fills
// `out` with the defaults (nullptr for required parameters); parse() puts
// the given arguments (borrowed) in place or raises TypeError.
struct Params {
    const char* func_name;
    std::initializer_list<const char*> names;
    Py_ssize_t required;
    Py_ssize_t positional = -1;  // how many may be given by position; -1: all (the rest are keyword-only)

    bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const {
        if (nargs > positional_count()) return wrong_count(nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const Py_ssize_t slot = find(key);
            if (slot < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func_name, key);
                return false;
            }
            if (slot < nargs) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func_name, key);
                return false;
            }
            out[slot] = args[nargs + k];
        }
        for (Py_ssize_t i = nargs; i < required; ++i) {
            if (out[i]) continue;
            if (nkw == 0) return wrong_count(nargs);
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", func_name, names.begin()[i],
                         i + 1);
            return false;
        }
        return true;
    }

private:
    Py_ssize_t find(PyObject* key) const {
        Py_ssize_t i = 0;
        for (const char* name : names) {
            if (PyUnicode_CompareWithASCIIString(key, name) == 0) return i;
            ++i;
        }
        return -1;
    }
    Py_ssize_t positional_count() const { return positional < 0 ? static_cast<Py_ssize_t>(names.size()) : positional; }
    bool wrong_count(Py_ssize_t nargs) const {
        const Py_ssize_t total = positional_count();
        const Py_ssize_t expected = nargs < required ? required : total;
        const char* how = required == total ? "exactly" : (nargs < required ? "at least" : "at most");
        PyErr_Format(PyExc_TypeError, "%s() takes %s %zd positional argument%s (%zd given)", func_name, how, expected,
                     expected == 1 ? "" : "s", nargs);
        return false;
    }
};

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction that method
// tables hold.
inline PyCFunction fastcall(PyCFunctionFastWithKeywords function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// A METH_FASTCALL function (positional arguments only) as the PyCFunction
// that method tables hold.
inline PyCFunction fastcall_positional(PyCFunctionFast function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// For functions without parameters that still accept the vectorcall form.
inline bool no_args(const char* func_name, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs == 0 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) return true;
    if (nargs)
        PyErr_Format(PyExc_TypeError, "%s() takes exactly 0 positional arguments (%zd given)", func_name, nargs);
    else
        PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", func_name);
    return false;
}

// ---------------------------------------------------------------------------
// Module execution

// What a module supplies to its definition: its names, its docstring and
// the steps of its execution that follow the shared ones.
struct ModuleSpec {
    const char* short_name;  // "utils"
    const char* full_name;   // "tarvix.utils"
    const char* doc;
    int (*execute)(PyObject* module);
};

// The definition of one extension module (multi-phase initialisation: a
// create slot, then an execute slot). Each module is executed once per
// process: importing it again hands out the same module object; executing
// another module object fails; a module whose execution failed stays
// unexecuted, so a later import runs it again.
template <const ModuleSpec& spec>
class Module {
public:
    static PyObject* init() { return PyModuleDef_Init(&definition); }

private:
    static int exec(PyObject* module) {
        if (executed == module) return 0;
        if (executed) {
            PyErr_Format(PyExc_RuntimeError,
                         "Module '%s' has already been imported. Re-initialisation is not supported.", spec.short_name);
            return -1;
        }
        if (check_version() < 0) return -1;
        internal_failure_hook = report_unraisable;
        if (spec.execute(module) < 0) return -1;
        executed = Py_NewRef(module);  // kept for the life of the process
        return 0;
    }

    static PyObject* create(PyObject* module_spec, PyModuleDef*) {
        if (executed) return Py_NewRef(executed);
        Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
        if (!name) return nullptr;
        return PyModule_NewObject(name.get());
    }

    // Warns when the running interpreter is not the one the module was
    // built for; fails only when warnings are errors.
    static int check_version() {
        const unsigned long runtime = Py_Version;
        const int major = static_cast<int>((runtime >> 24) & 0xFF);
        const int minor = static_cast<int>((runtime >> 16) & 0xFF);
        if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
        char message[256];
        PyOS_snprintf(message, sizeof message,
                      "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", PY_MAJOR_VERSION,
                      PY_MINOR_VERSION, spec.full_name, "does not match", major, minor);
        return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
    }

    static inline PyObject* executed = nullptr;
    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(create)},
        {Py_mod_exec, reinterpret_cast<void*>(exec)},
        // Module state is process-wide, so one interpreter only.
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
        {0, nullptr},
    };
    static inline PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, spec.short_name, spec.doc, 0, nullptr, slots, nullptr, nullptr, nullptr,
    };
};

// Looks up a name of the builtins module; NameError when it is missing.
inline Ref lookup_builtin(const char* name) {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return {};
    Ref result = Ref::steal(PyObject_GetAttrString(builtins.get(), name));
    if (!result && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        Ref text = Ref::steal(PyUnicode_FromString(name));
        if (text) PyErr_Format(PyExc_NameError, "name '%U' is not defined", text.get());
    }
    return result;
}

// ---------------------------------------------------------------------------
// Native function tables

// Module attribute that maps each published function's name to a capsule
// whose pointer is the function and whose name is its signature text.
inline constexpr const char* kFunctionTable = "_c_api";

// Class-dictionary key of a class's native method table capsule.
inline constexpr const char* kMethodTable = "_native_methods";

template <class Fn>
int publish_function(PyObject* module, const char* name, Fn* function, const char* signature) {
    Ref table = Ref::steal(PyObject_GetAttrString(module, kFunctionTable));
    if (!table) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        table = Ref::steal(PyDict_New());
        if (!table || PyObject_SetAttrString(module, kFunctionTable, table.get()) < 0) return -1;
    }
    Ref capsule = Ref::steal(PyCapsule_New(reinterpret_cast<void*>(function), signature, nullptr));
    if (!capsule) return -1;
    return PyDict_SetItemString(table.get(), name, capsule.get());
}

// Reads one function out of an imported module's table, checking that its
// signature text is exactly the one this module was built with.
template <class Fn>
int import_function(PyObject* module, const char* name, Fn*& function, const char* signature) {
    Ref table = Ref::steal(PyObject_GetAttrString(module, kFunctionTable));
    if (!table) return -1;
    PyObject* capsule = PyDict_Check(table.get()) ? PyDict_GetItemString(table.get(), name) : nullptr;
    if (!capsule) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s", PyModule_GetName(module),
                     "function", name);
        return -1;
    }
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char* found = PyCapsule_CheckExact(capsule) ? PyCapsule_GetName(capsule) : nullptr;
        PyErr_Format(PyExc_TypeError, "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "function", PyModule_GetName(module), name, signature, found ? found : "(null)");
        return -1;
    }
    function = reinterpret_cast<Fn*>(PyCapsule_GetPointer(capsule, signature));
    return function ? 0 : -1;
}

// ---------------------------------------------------------------------------
// Classes

// A zeroed static type object with the one reference that the static
// initialiser macros would give it; fill in the slots, then prepare_type().
inline PyTypeObject new_static_type() {
    PyTypeObject type;
    std::memset(static_cast<void*>(&type), 0, sizeof type);
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    return type;
}

// Gives the slot wrapper `name` (such as __init__ or __getitem__) of a
// ready static type its own docstring. Wrappers take their docstrings from
// a table shared by every type; the class's wrapper gets a private copy of
// its entry that carries the class's text.
inline int set_slot_doc(PyTypeObject* type, const char* name, const char* doc) {
    Ref wrapper = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), name));
    if (!wrapper) return -1;
    if (!Py_IS_TYPE(wrapper.get(), &PyWrapperDescr_Type)) return 0;
    auto* descr = reinterpret_cast<PyWrapperDescrObject*>(wrapper.get());
    if (PyDescr_TYPE(descr) != type) return 0;
    if (descr->d_base->doc == doc) return 0;
    auto* base = new (std::nothrow) wrapperbase(*descr->d_base);
    if (!base) {
        PyErr_NoMemory();
        return -1;
    }
    base->doc = doc;
    descr->d_base = base;  // kept for the life of the process, like the type
    return 0;
}

// Makes a static type ready, gives its __init__ slot wrapper a docstring
// (when `init_doc` is set), publishes its native method table in the class
// dictionary and sets the class as a module attribute.
inline int prepare_type(PyObject* module, PyTypeObject* type, const char* attr_name, const void* methods,
                        const char* init_doc = nullptr) {
    if (PyType_Ready(type) < 0) return -1;
    if (init_doc && set_slot_doc(type, "__init__", init_doc) < 0) return -1;
    if (methods) {
        Ref dict = Ref::steal(PyType_GetDict(type));
        Ref capsule = Ref::steal(PyCapsule_New(const_cast<void*>(methods), nullptr, nullptr));
        if (!dict || !capsule || PyDict_SetItemString(dict.get(), kMethodTable, capsule.get()) < 0) return -1;
        PyType_Modified(type);
    }
    return PyModule_AddObjectRef(module, attr_name, reinterpret_cast<PyObject*>(type));
}

// A new record (a struct sequence) of `type` holding `items`, or null when
// one of them is null (its exception set) or the record cannot be made.
template <size_t N>
Ref new_record(PyTypeObject* type, Ref (&&items)[N]) {
    for (const Ref& item : items)
        if (!item) return {};
    Ref record = Ref::steal(PyStructSequence_New(type));
    if (!record) return {};
    for (size_t i = 0; i < N; ++i)
        PyStructSequence_SET_ITEM(record.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return record;
}

// Makes a record type (a struct sequence) from `desc` the first time, and
// sets it as the module attribute that the last part of its name names.
inline int add_record_type(PyObject* module, PyTypeObject*& type, PyStructSequence_Desc& desc) {
    if (!type && !(type = PyStructSequence_NewType(&desc))) return -1;
    const char* dot = std::strrchr(desc.name, '.');
    return PyModule_AddObjectRef(module, dot ? dot + 1 : desc.name, reinterpret_cast<PyObject*>(type));
}

// Imports a class of another module together with its native method table,
// after checking that its instances are at least as large as the layout
// this module was compiled against.
inline int import_type(const char* module_name, const char* class_name, size_t expected_size, PyTypeObject*& type,
                       const void*& methods) {
    Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return -1;
    Ref attr = Ref::steal(PyObject_GetAttrString(module.get(), class_name));
    if (!attr) return -1;
    if (!PyType_Check(attr.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, class_name);
        return -1;
    }
    auto* found = reinterpret_cast<PyTypeObject*>(attr.get());
    const Py_ssize_t actual = found->tp_basicsize;
    const Py_ssize_t expected = static_cast<Py_ssize_t>(expected_size);
    if (actual < expected) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. "
                     "Expected %zd from C header, got %zd from PyObject",
                     module_name, class_name, expected, actual);
        return -1;
    }
    if (actual > expected) {
        char message[512];
        PyOS_snprintf(message, sizeof message,
                      "%.200s.%.200s size changed, may indicate binary incompatibility. "
                      "Expected %zd from C header, got %zd from PyObject",
                      module_name, class_name, expected, actual);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 0) < 0) return -1;
    }
    Ref dict = Ref::steal(PyType_GetDict(found));
    Ref key = Ref::steal(PyUnicode_FromString(kMethodTable));
    if (!dict || !key) return -1;
    Ref capsule = Ref::steal(PyObject_GetItem(dict.get(), key.get()));
    if (!capsule) return -1;
    void* pointer = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (!pointer) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
        return -1;
    }
    methods = pointer;
    type = reinterpret_cast<PyTypeObject*>(attr.release());  // the module keeps the class alive for good
    return 0;
}

}  // namespace tarvix::py
