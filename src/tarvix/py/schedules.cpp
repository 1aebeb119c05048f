// tarvix._schedules: the schedules of a document, which tarvix.schedules
// wraps. The core builds them over the slots tarvix.idf hands it
// (py/idf_api.h) and evaluates them at every timestep without the
// interpreter lock, straight into the array('d') objects it returns.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/schedules/schedules.h"
#include "py/idf_api.h"

namespace tarvix::schedules_module {
namespace {

using idf::DocumentState;
using idf::Reader;
using py::Ref;

// tarvix.idf's functions, imported at execution.
idf::DocumentApi documents;

constexpr Reader kReadingSchedules{"read for its schedules", "tarvix.schedules"};

// array.array, looked up on first use and kept for the life of the process;
// null with an exception set when it cannot be had.
PyObject* array_type() {
    static PyObject* type = nullptr;
    if (!type) {
        Ref module = Ref::steal(PyImport_ImportModule("array"));
        if (module) type = PyObject_GetAttrString(module.get(), "array");
    }
    return type;
}

// The last model read, while its document stays as it was (the same
// generation, the same folders, every file its Schedule:File objects looked
// for unchanged): a call after another reads nothing again. Only touched
// under the interpreter lock.
struct LastModel {
    uint64_t generation = 0;
    std::string folder, own_folder;
    std::shared_ptr<const schedules::Model> model;
} last_model;

std::shared_ptr<const schedules::Model> read_schedules(const char* func_name, PyObject* arg,
                                                       std::string_view folder = {}) {
    DocumentState doc;
    if (documents.document_state(arg, func_name, &doc) < 0) return nullptr;
    if (doc.native && last_model.model && last_model.generation == doc.generation && last_model.folder == folder &&
        last_model.own_folder == doc.folder && schedules::files_unchanged(*last_model.model))
        return last_model.model;
    auto model = std::make_shared<schedules::Model>();
    const std::string own_folder(doc.folder);
    const bool done = documents.read(arg, kReadingSchedules, [&](const SlotSource& slots, const c_IDD& schema) {
        schedules::read_model(slots, schema, *model, {.folder = folder, .own_folder = own_folder, .as_named = true});
    });
    if (!done) return nullptr;
    if (doc.native) last_model = {doc.generation, std::string(folder), own_folder, model};
    return model;
}

// True when the engine takes the environment's dates; else false with a
// ValueError naming the object and field.
bool refused(const schedules::Environment& e) {
    if (e.error.empty()) return true;
    Ref message = py::decode_utf8(e.error);
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return false;
}

// ---------------------------------------------------------------------------
// Records

PyStructSequence_Field kInfoFields[] = {
    {"timesteps", "timesteps per hour"},
    {"environments", "an EnvironmentInfo for each design day, then each run period, in document order"},
    {"names", "the schedules' names as written, in document order"},
    {"problems", "what the reading found wrong, one sentence each"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kInfoDesc = {
    "tarvix._schedules.Info",
    "What the schedules of a document run over (read-only).",
    kInfoFields,
    4,
};

PyStructSequence_Field kEnvironmentFields[] = {
    {"name", "the environment's name"},
    {"design_day", "whether it is a design day (else a run period)"},
    {"first", "its first date (year, month, day); year 0 for a design day"},
    {"last", "its last date (year, month, day)"},
    {"start_weekday", "the weekday it starts on, 1 Sunday .. 7 Saturday"},
    {"day_type", "a design day's day type, numbered as DAY_TYPES from 1"},
    {"dst", "whether daylight saving time is in force on a design day"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kEnvironmentDesc = {
    "tarvix._schedules.EnvironmentInfo",
    "One run environment as the engine builds it (read-only).",
    kEnvironmentFields,
    7,
};

PyStructSequence_Field kDayFields[] = {
    {"year", "the date's year (0 for a design day)"},
    {"month", "the date's month"},
    {"day", "the date's day of the month"},
    {"weekday", "the weekday the date falls on, 1 Sunday .. 7 Saturday"},
    {"special", "0, or the special day type in force, numbered as DAY_TYPES from 1"},
    {"dst", "whether daylight saving time is in force"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kDayDesc = {
    "tarvix._schedules.Day",
    "One day of an environment's calendar (read-only).",
    kDayFields,
    6,
};

PyTypeObject* info_type = nullptr;
PyTypeObject* environment_type = nullptr;
PyTypeObject* day_type = nullptr;

Ref int_of(long value) { return Ref::steal(PyLong_FromLong(value)); }
Ref bool_of(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
Ref date_of(const schedules::Day& d) { return Ref::steal(Py_BuildValue("(iii)", d.year, d.month, d.day)); }

// The strs of a list of texts.
Ref str_list(const std::vector<std::string>& texts) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    if (!list) return {};
    for (size_t k = 0; k < texts.size(); ++k) {
        Ref str = py::decode_utf8(texts[k]);
        if (!str) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), str.release());
    }
    return list;
}

// ---------------------------------------------------------------------------
// The functions

PyObject* schedules_info(PyObject*, PyObject* arg) {
    const auto read = read_schedules("environments", arg);
    if (!read) return nullptr;
    const schedules::Model& model = *read;
    Ref environments = Ref::steal(PyList_New(0));
    if (!environments) return nullptr;
    for (const schedules::Environment& e : model.environments) {
        if (!refused(e)) return nullptr;
        std::vector<schedules::Day> days = schedules::calendar(model, e);
        Ref item = py::new_record(environment_type,
                                  {py::decode_utf8(e.name), bool_of(e.design_day), date_of(days.front()),
                                   date_of(days.back()), int_of(e.start_weekday), int_of(e.day_type), bool_of(e.dst)});
        if (!item || PyList_Append(environments.get(), item.get()) < 0) return nullptr;
    }
    std::vector<std::string> problems;
    problems.reserve(model.findings.size());
    for (const schedules::Model::Finding& finding : model.findings) problems.push_back(finding.message);
    return py::new_record(info_type,
                          {int_of(model.timesteps), std::move(environments), str_list(model.names), str_list(problems)})
        .release();
}

// The environment `arg` names: None for the first run period (else the
// first design day), an index, or a name (ASCII case ignored).
bool environment_index(PyObject* arg, const schedules::Model& model, size_t& index) {
    const auto& found = model.environments;
    if (arg == Py_None) {
        for (size_t k = 0; k < found.size(); ++k)
            if (!found[k].design_day) {
                index = k;
                return true;
            }
        if (found.empty()) {
            PyErr_SetString(PyExc_ValueError, "the document has no design day and no run period");
            return false;
        }
        index = 0;
        return true;
    }
    if (PyLong_Check(arg) && !PyBool_Check(arg)) {
        int overflow = 0;
        const long long k = PyLong_AsLongLongAndOverflow(arg, &overflow);
        if (k == -1 && PyErr_Occurred()) return false;
        if (overflow) {
            PyErr_Format(PyExc_IndexError, "environment index %R out of range (the document has %zu)", arg,
                         found.size());
            return false;
        }
        if (k < 0 || static_cast<size_t>(k) >= found.size()) {
            PyErr_Format(PyExc_IndexError, "environment index %lld out of range (the document has %zu)", k,
                         found.size());
            return false;
        }
        index = static_cast<size_t>(k);
        return true;
    }
    if (!PyUnicode_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "environment must be a name, an index or None, not %.200s",
                     Py_TYPE(arg)->tp_name);
        return false;
    }
    std::string_view name;
    if (!py::str_utf8(arg, name)) return false;
    for (size_t k = 0; k < found.size(); ++k)
        if (equal_fold(found[k].name, name)) {
            index = k;
            return true;
        }
    std::string names;
    for (const schedules::Environment& e : found) names += (names.empty() ? "'" : ", '") + e.name + "'";
    PyErr_Format(PyExc_ValueError, "no environment named %R; the document has %s", arg,
                 names.empty() ? "none" : names.c_str());
    return false;
}

// The weather file's calendar from (leap years, (dst start, dst end) or
// None, [(name, date)]) as the Python face reads them from its header; None
// for no weather file.
bool weather_calendar(PyObject* arg, schedules::WeatherCalendar& out, bool& given) {
    given = arg != Py_None;
    if (!given) return true;
    PyObject *leap = nullptr, *dst = nullptr, *holidays = nullptr;
    if (!PyTuple_Check(arg) || !PyArg_ParseTuple(arg, "OOO", &leap, &dst, &holidays)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "weather calendar must be a 3-tuple");
        return false;
    }
    out.leap_years = PyObject_IsTrue(leap) == 1;
    const auto date = [](PyObject* text, schedules::Model::SpecialDay& day) {
        std::string_view view;
        if (!PyUnicode_Check(text) || !py::str_utf8(text, view)) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "weather dates must be str");
            return -1;
        }
        return schedules::read_weather_date(view, day) ? 1 : 0;
    };
    if (dst != Py_None) {
        PyObject *start = nullptr, *end = nullptr;
        if (!PyArg_ParseTuple(dst, "OO", &start, &end)) return false;
        const int a = date(start, out.dst_start), b = date(end, out.dst_end);
        if (a < 0 || b < 0) return false;
        out.has_dst = a == 1 && b == 1;
    }
    Ref items = Ref::steal(PySequence_Fast(holidays, "weather holidays must be a sequence"));
    if (!items) return false;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(items.get()); ++k) {
        schedules::Model::SpecialDay day;
        const int read = date(PySequence_Fast_GET_ITEM(items.get(), k), day);
        if (read < 0) return false;
        if (read == 1) out.holidays.push_back(day);  // duration 1, a holiday
    }
    return true;
}

// [(year, month, day, weekday, special, dst)] of environment `index`.
PyObject* schedules_calendar(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "calendar(doc, environment, weather)");
        return nullptr;
    }
    schedules::WeatherCalendar weather;
    bool with_weather = false;
    if (!weather_calendar(args[2], weather, with_weather)) return nullptr;
    const auto read = read_schedules("calendar", args[0]);
    if (!read) return nullptr;
    const schedules::Model& model = *read;
    size_t index = 0;
    if (!environment_index(args[1], model, index) || !refused(model.environments[index])) return nullptr;
    const std::vector<schedules::Day> days = schedules::calendar(model, model.environments[index],
                                                                 with_weather ? &weather : nullptr);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(days.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < days.size(); ++i) {
        const schedules::Day& d = days[i];
        Ref item = py::new_record(day_type, {int_of(d.year), int_of(d.month), int_of(d.day), int_of(d.weekday),
                                             int_of(d.special), bool_of(d.dst)});
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
}

// {name: array('d')} of every schedule (or of the one named) over the
// environment named.
PyObject* schedules_values(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "values(doc, environment, name, folder, weather)");
        return nullptr;
    }
    schedules::WeatherCalendar weather;
    bool with_weather = false;
    if (!weather_calendar(args[4], weather, with_weather)) return nullptr;
    std::string_view folder;
    if (args[3] != Py_None && !py::str_utf8(args[3], folder)) return nullptr;
    const auto read = read_schedules("values", args[0], folder);
    if (!read) return nullptr;
    const schedules::Model& model = *read;
    size_t index = 0;
    if (!environment_index(args[1], model, index) || !refused(model.environments[index])) return nullptr;
    std::string_view wanted;
    const bool one = args[2] != Py_None;
    if (one && !py::str_utf8(args[2], wanted)) return nullptr;
    std::vector<size_t> chosen;
    for (size_t k = 0; k < model.names.size(); ++k)
        if (!one || equal_fold(model.names[k], wanted)) {
            chosen.push_back(k);
            if (one) break;
        }
    if (one && chosen.empty()) {
        PyErr_Format(PyExc_KeyError, "no schedule named '%U'", args[2]);
        return nullptr;
    }
    for (size_t k : chosen)
        if (!model.errors[k].empty()) {
            Ref message = py::decode_utf8(model.errors[k]);
            if (message) PyErr_SetObject(PyExc_ValueError, message.get());
            return nullptr;
        }
    const std::vector<schedules::Day> days = schedules::calendar(model, model.environments[index],
                                                                 with_weather ? &weather : nullptr);
    const size_t count = days.size() * static_cast<size_t>(24 * model.timesteps);
    // One array('d') a schedule, filled in place without the interpreter lock.
    PyObject* array = array_type();
    if (!array) return nullptr;
    Ref zero = Ref::steal(PyObject_CallFunction(array, "s[d]", "d", 0.0));
    if (!zero) return nullptr;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    std::vector<Ref> arrays;
    std::vector<Py_buffer> views;
    struct Release {
        std::vector<Py_buffer>& views;
        ~Release() {
            for (Py_buffer& view : views) PyBuffer_Release(&view);
        }
    } release{views};
    views.reserve(chosen.size());
    for (size_t k = 0; k < chosen.size(); ++k) {
        Ref values = Ref::steal(PySequence_Repeat(zero.get(), static_cast<Py_ssize_t>(count)));
        Ref key = py::decode_utf8(model.names[chosen[k]]);
        if (!values || !key || PyDict_SetItem(dict.get(), key.get(), values.get()) < 0) return nullptr;
        Py_buffer view;
        if (PyObject_GetBuffer(values.get(), &view, PyBUF_WRITABLE) < 0) return nullptr;
        views.push_back(view);
        arrays.push_back(std::move(values));
    }
    py::without_lock([&] {
        for (size_t k = 0; k < chosen.size(); ++k)
            schedules::values(model, chosen[k], days, static_cast<double*>(views[k].buf));
    });
    return dict.release();
}

PyMethodDef module_functions[] = {
    {"info", py::guarded<schedules_info, "tarvix.schedules.environments">, METH_O,
     "info($module, doc, /)\n--\n\nWhat the document's schedules run over: an Info."},
    {"calendar", py::fastcall_positional(py::guarded<schedules_calendar, "tarvix.schedules.calendar">), METH_FASTCALL,
     "calendar($module, doc, environment, weather, /)\n--\n\nThe days of an environment, a Day each."},
    {"values", py::fastcall_positional(py::guarded<schedules_values, "tarvix.schedules.values">), METH_FASTCALL,
     "values($module, doc, environment, name, folder, weather, /)\n--\n\n{name: array('d')} of one schedule, or "
     "of all (name None)."},
    {nullptr, nullptr, 0, nullptr},
};

int execute(PyObject* module) {
    if (documents.import() < 0) return -1;
    if (py::add_record_type(module, info_type, kInfoDesc) < 0 ||
        py::add_record_type(module, environment_type, kEnvironmentDesc) < 0 ||
        py::add_record_type(module, day_type, kDayDesc) < 0)
        return -1;
    return PyModule_AddFunctions(module, module_functions);
}

constexpr py::ModuleSpec module_spec{"_schedules", "tarvix._schedules",
                                     "The schedules of documents as the engine evaluates them.", execute};

}  // namespace
}  // namespace tarvix::schedules_module

PyMODINIT_FUNC PyInit__schedules() { return tarvix::py::Module<tarvix::schedules_module::module_spec>::init(); }
