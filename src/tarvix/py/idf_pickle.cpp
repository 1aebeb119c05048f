// The reduce protocol of IDF and IDFObject (used by pickle and copy): a
// state tuple of every member, native containers as dicts and lists, with a
// checksum of the member layout; restoring assigns members back one by one,
// each after its element converted, without validating against the schema.
// Whatever such a state holds, later operations check before they use it.
#include "py/idf.h"
#include "core/text/text.h"

namespace tarvix::idf {

using py::Ref;

namespace {

constexpr long kDocChecksum = 0xf3ac116;
constexpr long kDocAccepted[] = {0xf3ac116, 0x53e964f, 0xe152989};
constexpr const char* kDocMembers = "idd, objects, objects_index_map, referencers, targets";
constexpr long kObjectChecksum = 0x562c8f1;
constexpr long kObjectAccepted[] = {0x562c8f1, 0xafde926, 0xd91aabf};
constexpr const char* kObjectMembers = "c_class_name, class_idx, class_name, idd, obj_idx, parent_idf, values";

// ---------------------------------------------------------------------------
// Native containers to Python

Ref slot_list(const ClassEntry& entry) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(entry.size())));
    if (!list) return {};
    Py_ssize_t i = 0;
    bool failed = false;
    entry.for_each([&](size_t slot) {
        PyObject* number = failed ? nullptr : PyLong_FromSize_t(slot);
        if (!number) {
            failed = true;
            return;
        }
        PyList_SET_ITEM(list.get(), i++, number);
    });
    return failed ? Ref() : list;
}

Ref index_map_to_dict(const ClassIndex& index) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return {};
    for (const auto& [key, entry] : index.entries()) {
        Ref k = py::to_bytes(key);
        Ref v = slot_list(entry);
        if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return {};
    }
    return dict;
}

Ref ref_map_to_dict(const RefMap& map) {
    Ref outer = Ref::steal(PyDict_New());
    if (!outer) return {};
    bool ok = true;
    std::string folded;
    map.for_each([&](std::string_view tag, std::string_view value, const LocRange& locs) {
        if (!ok) return;
        ok = false;
        Ref tag_key = py::to_bytes(tag);
        if (!tag_key) return;
        PyObject* inner = PyDict_GetItemWithError(outer.get(), tag_key.get());  // borrowed
        if (!inner) {
            if (PyErr_Occurred()) return;
            Ref made = Ref::steal(PyDict_New());
            if (!made || PyDict_SetItem(outer.get(), tag_key.get(), made.get()) < 0) return;
            inner = made.get();  // the outer dict holds it
        }
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(locs.size())));
        folded.assign(value);
        for (char& c : folded) c = ascii_upper(c);
        Ref value_key = py::to_bytes(folded);
        if (!list || !value_key) return;
        for (size_t i = 0; i < locs.size(); ++i) {
            Ref obj_idx = Ref::steal(PyLong_FromSize_t(locs[i].obj_idx));
            PyObject* pair = obj_idx ? Py_BuildValue("(Oi)", obj_idx.get(), locs[i].field_idx) : nullptr;
            if (!pair) return;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
        }
        ok = PyDict_SetItem(inner, value_key.get(), list.get()) == 0;
    });
    return ok ? std::move(outer) : Ref{};
}

// ---------------------------------------------------------------------------
// Python to native containers

bool to_size(PyObject* obj, size_t& out) {
    Ref number = Ref::steal(PyNumber_Index(obj));
    if (!number) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (value == -1 && !overflow && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to size_t");
        return false;
    }
    out = PyLong_AsSize_t(number.get());
    if (out == static_cast<size_t>(-1) && PyErr_Occurred()) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to size_t");
        return false;
    }
    return true;
}

bool to_int(PyObject* obj, int32_t& out) {
    Ref number = Ref::steal(PyNumber_Index(obj));
    return number && py::to_int32(number.get(), out);
}

bool to_byte_string(PyObject* obj, std::string& out) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_Check(obj)) {
        data = PyBytes_AS_STRING(obj);
        size = PyBytes_GET_SIZE(obj);
    } else if (PyByteArray_Check(obj)) {
        data = PyByteArray_AS_STRING(obj);
        size = PyByteArray_GET_SIZE(obj);
    } else {
        PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(obj)->tp_name);
        return false;
    }
    out.assign(data, static_cast<size_t>(size));
    return true;
}

// Calls `each(key, value)` for every pair of obj.items().
template <class Each>
bool for_each_item(PyObject* obj, Each&& each) {
    Ref items = Ref::steal(PyObject_CallMethod(obj, "items", nullptr));
    if (!items) return false;
    Ref iterator = Ref::steal(PyObject_GetIter(items.get()));
    if (!iterator) return false;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        PyObject* pair[2];
        Ref parts = Ref::steal(PySequence_Tuple(item.get()));
        if (!parts) return false;
        if (PyTuple_GET_SIZE(parts.get()) != 2) {
            PyErr_SetString(PyExc_ValueError, "dictionary items must be (key, value) pairs");
            return false;
        }
        pair[0] = PyTuple_GET_ITEM(parts.get(), 0);
        pair[1] = PyTuple_GET_ITEM(parts.get(), 1);
        if (!each(pair[0], pair[1])) return false;
    }
    return !PyErr_Occurred();
}

// Calls `each(item)` for every item of an iterable.
template <class Each>
bool for_each(PyObject* obj, Each&& each) {
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) return false;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get())))
        if (!each(item.get())) return false;
    return !PyErr_Occurred();
}

bool to_index_map(PyObject* obj, ClassIndex::Entries& out) {
    if (obj == Py_None) {
        py::raise_no_attribute_of_none("items");
        return false;
    }
    return for_each_item(obj, [&](PyObject* key, PyObject* value) {
        std::string class_key;
        PodVector<size_t> slots;
        if (!to_byte_string(key, class_key)) return false;
        if (!for_each(value, [&](PyObject* item) {
                size_t slot = 0;
                if (!to_size(item, slot)) return false;
                slots.push_back(slot);
                return true;
            }))
            return false;
        out.insert_or_assign(std::move(class_key), ClassEntry(std::move(slots)));
        return true;
    });
}

// Unpacks an item into exactly two parts, with the interpreter's messages.
bool unpack_pair(PyObject* item, Ref& first, Ref& second) {
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        return false;
    }
    Ref parts[3];
    Py_ssize_t count = 0;
    while (count < 3) {
        Ref part = Ref::steal(PyIter_Next(iterator.get()));
        if (!part) break;
        parts[count++] = std::move(part);
    }
    if (PyErr_Occurred()) return false;
    if (count > 2) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
        return false;
    }
    if (count < 2) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count, count == 1 ? "" : "s");
        return false;
    }
    first = std::move(parts[0]);
    second = std::move(parts[1]);
    return true;
}

// Fills `out` (a new map) from a state's mapping tag -> value -> locations.
bool to_ref_map(PyObject* obj, RefMap& out) {
    if (obj == Py_None) {
        py::raise_no_attribute_of_none("items");
        return false;
    }
    return for_each_item(obj, [&](PyObject* tag_obj, PyObject* values_obj) {
        std::string tag;
        if (!to_byte_string(tag_obj, tag)) return false;
        if (values_obj == Py_None) {
            py::raise_no_attribute_of_none("items");
            return false;
        }
        const uint32_t number = out.tag(tag);
        return for_each_item(values_obj, [&](PyObject* value_obj, PyObject* locs_obj) {
            std::string value;
            if (!to_byte_string(value_obj, value)) return false;
            std::vector<FieldLoc> locs;
            if (!for_each(locs_obj, [&](PyObject* item) {
                    Ref first, second;
                    FieldLoc loc{0, 0};
                    if (!unpack_pair(item, first, second) || !to_size(first.get(), loc.obj_idx) ||
                        !to_int(second.get(), loc.field_idx))
                        return false;
                    locs.push_back(loc);
                    return true;
                }))
                return false;
            // A value given again replaces what was given before it.
            std::vector<FieldLoc> given;
            for (const FieldLoc loc : out.find_key(number, value)) given.push_back(loc);
            for (const FieldLoc& loc : given) out.remove_key(number, value, loc);
            for (const FieldLoc& loc : locs) out.add_key(number, value, loc);
            return true;
        });
    });
}

// ---------------------------------------------------------------------------
// Shared steps

// The instance dictionary when it exists and is not empty, else null
// (without an exception).
bool instance_dict(PyObject* self, Ref& dict) {
    dict = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (dict.is_none()) {
        dict.reset();
        return true;
    }
    const int truth = PyObject_IsTrue(dict.get());
    if (truth < 0) return false;
    if (!truth) dict.reset();
    return true;
}

// (reconstructor, (type, checksum, state)) or, when the state goes through
// __setstate__, (reconstructor, (type, checksum, None), state).
Ref reduce_value(PyObject* self, const char* reconstructor_name, long checksum, Ref state, bool use_setstate) {
    PyObject* reconstructor = PyDict_GetItemString(shared.module_dict, reconstructor_name);
    if (!reconstructor) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", reconstructor_name);
        return {};
    }
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (use_setstate)
        return Ref::steal(Py_BuildValue("(O(OlO)O)", reconstructor, type, checksum, Py_None, state.get()));
    return Ref::steal(Py_BuildValue("(O(OlO))", reconstructor, type, checksum, state.get()));
}

PyObject* state_item(PyObject* state, Py_ssize_t index) {
    if (index >= PyTuple_GET_SIZE(state)) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return nullptr;
    }
    return PyTuple_GET_ITEM(state, index);
}

bool check_state(PyObject* state) {
    if (PyTuple_CheckExact(state)) return true;
    if (state == Py_None)
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    else
        py::raise_expected("tuple", state);
    return false;
}

// Merges an extra state element into the instance dictionary.
bool restore_dict(PyObject* self, PyObject* state, Py_ssize_t index) {
    if (PyTuple_GET_SIZE(state) <= index) return true;
    PyObject* extra = PyTuple_GET_ITEM(state, index);
    const int truth = PyObject_IsTrue(extra);
    if (truth <= 0) return truth == 0;
    Ref dict = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
    if (!dict) return false;
    Ref result = Ref::steal(PyObject_CallMethod(dict.get(), "update", "O", extra));
    return static_cast<bool>(result);
}

bool is_instance_or_none(PyObject* obj, PyTypeObject* type) {
    if (obj == Py_None || PyObject_TypeCheck(obj, type)) return true;
    PyErr_Format(PyExc_TypeError, "%.1sCannot convert %.200s to %.200s", "", Py_TYPE(obj)->tp_name, type->tp_name);
    return false;
}

bool raise_incompatible(long checksum, const long (&accepted)[3], const char* members) {
    Ref pickle = Ref::steal(PyImport_ImportModule("pickle"));
    if (!pickle) return false;
    Ref error = Ref::steal(PyObject_GetAttrString(pickle.get(), "PickleError"));
    if (!error) return false;
    PyErr_Format(error.get(), "Incompatible checksums (0x%lx vs (0x%lx, 0x%lx, 0x%lx) = (%s))", checksum, accepted[0],
                 accepted[1], accepted[2], members);
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// IDF

bool apply_doc_state(IDFDoc* self, PyObject* state) {
    // A restored document is listed: the state's list says what sits where.
    if (!materialize(self)) return false;
    PyObject* item = state_item(state, 0);
    if (!item || !is_instance_or_none(item, shared.idd_type)) return false;
    Py_XSETREF(self->idd, Py_NewRef(item));

    if (!(item = state_item(state, 1))) return false;
    if (item != Py_None && !PyList_CheckExact(item)) {
        py::raise_expected("list", item);
        return false;
    }
    Py_XSETREF(self->objects, Py_NewRef(item));

    ClassIndex::Entries index;
    if (!(item = state_item(state, 2)) || !to_index_map(item, index)) return false;
    self->doc.index().assign(std::move(index));
    RefMap referencers;
    if (!(item = state_item(state, 3)) || !to_ref_map(item, referencers)) return false;
    self->doc.referencers().assign(std::move(referencers));
    RefMap targets;
    if (!(item = state_item(state, 4)) || !to_ref_map(item, targets)) return false;
    self->doc.targets().assign(std::move(targets));
    return restore_dict(reinterpret_cast<PyObject*>(self), state, 5);
}

PyObject* doc_reduce(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<IDFDoc*>(obj);
    // The state holds the document's list itself: from now on it is listed.
    if (!materialize(self)) return nullptr;
    Ref index_map = index_map_to_dict(self->doc.index());
    Ref referencers = ref_map_to_dict(self->doc.referencers());
    Ref targets = ref_map_to_dict(self->doc.targets());
    if (!index_map || !referencers || !targets) return nullptr;
    Ref dict;
    if (!instance_dict(obj, dict)) return nullptr;
    Ref state = Ref::steal(
        dict ? PyTuple_Pack(6, self->idd, self->objects, index_map.get(), referencers.get(), targets.get(), dict.get())
             : PyTuple_Pack(5, self->idd, self->objects, index_map.get(), referencers.get(), targets.get()));
    if (!state) return nullptr;
    const bool use_setstate = dict || self->idd != Py_None || self->objects != Py_None;
    return reduce_value(obj, "_unpickle_IDF", kDocChecksum, std::move(state), use_setstate).release();
}

PyObject* doc_setstate(PyObject* obj, PyObject* state) {
    if (!check_not_validating(reinterpret_cast<IDFDoc*>(obj)) || !check_state(state) ||
        !apply_doc_state(reinterpret_cast<IDFDoc*>(obj), state))
        return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// IDFObject

bool apply_object_state(IDFObj* self, PyObject* state) {
    // An object of a document keeps its values from here on; its document,
    // whose writer must now see this object's values, becomes listed.
    if (self->bound) {
        if (IDFDoc* parent = parent_of(self); parent && !materialize(parent)) return false;
        if (!unbind(self)) return false;
    }
    PyObject* item = state_item(state, 0);
    std::string class_name_bytes;
    if (!item || !to_byte_string(item, class_name_bytes)) return false;
    self->c_class_name = std::move(class_name_bytes);
    size_t number = 0;
    if (!(item = state_item(state, 1)) || !to_size(item, number)) return false;
    self->class_idx = number;
    if (!(item = state_item(state, 2))) return false;
    if (item != Py_None && !PyUnicode_CheckExact(item)) {
        py::raise_expected("str", item);
        return false;
    }
    Py_XSETREF(self->class_name, Py_NewRef(item));
    if (!(item = state_item(state, 3)) || !is_instance_or_none(item, shared.idd_type)) return false;
    Py_XSETREF(self->idd, Py_NewRef(item));
    if (!(item = state_item(state, 4)) || !to_size(item, number)) return false;
    self->obj_idx = number;
    if (!(item = state_item(state, 5)) || !is_instance_or_none(item, &IDFDocType)) return false;
    Py_XSETREF(self->parent_idf, Py_NewRef(item));
    FieldValues values;
    std::string value;
    if (!(item = state_item(state, 6)) || !for_each(item, [&](PyObject* entry) {
            if (!to_byte_string(entry, value)) return false;
            values.push_back(value);
            return true;
        }))
        return false;
    self->values = std::move(values);
    return restore_dict(reinterpret_cast<PyObject*>(self), state, 7);
}

PyObject* object_reduce(PyObject* obj, PyObject*) {
    auto* self = reinterpret_cast<IDFObj*>(obj);
    const ValuesView own = values_of(self);
    Ref values = Ref::steal(PyList_New(static_cast<Py_ssize_t>(own.size())));
    if (!values) return nullptr;
    for (size_t i = 0; i < own.size(); ++i) {
        PyObject* value = py::to_bytes(own[i]).release();
        if (!value) return nullptr;
        PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(i), value);
    }
    Ref c_class_name = py::to_bytes(self->c_class_name);
    Ref class_idx = Ref::steal(PyLong_FromSize_t(self->class_idx));
    Ref obj_idx = Ref::steal(PyLong_FromSize_t(self->obj_idx));
    if (!c_class_name || !class_idx || !obj_idx) return nullptr;
    Ref dict;
    if (!instance_dict(obj, dict)) return nullptr;
    Ref state = Ref::steal(dict ? PyTuple_Pack(8, c_class_name.get(), class_idx.get(), self->class_name, self->idd,
                                               obj_idx.get(), self->parent_idf, values.get(), dict.get())
                                : PyTuple_Pack(7, c_class_name.get(), class_idx.get(), self->class_name, self->idd,
                                               obj_idx.get(), self->parent_idf, values.get()));
    if (!state) return nullptr;
    const bool use_setstate = dict || self->class_name != Py_None || self->idd != Py_None ||
                              self->parent_idf != Py_None;
    return reduce_value(obj, "_unpickle_IDFObject", kObjectChecksum, std::move(state), use_setstate).release();
}

PyObject* object_setstate(PyObject* obj, PyObject* state) {
    if (!check_state(state) || !apply_object_state(reinterpret_cast<IDFObj*>(obj), state)) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Reconstructors

namespace {

// Shared argument handling: (type, checksum, state); the instance comes
// from the base class's __new__ applied to `type`.
PyObject* reconstruct(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* name, PyTypeObject* base,
                      const long (&accepted)[3], const char* members, bool (*apply)(PyObject*, PyObject*)) {
    const py::Params params{name, {"type", "checksum", "state"}, 3};
    PyObject* given[3] = {};
    if (!params.parse(args, nargs, kwnames, given)) return nullptr;
    PyObject* state = given[2];
    if (state != Py_None && !PyTuple_CheckExact(state)) {
        py::raise_arg_type("state", "tuple", state);
        return nullptr;
    }
    const long checksum = PyLong_AsLong(given[1]);
    if (checksum == -1 && PyErr_Occurred()) return nullptr;
    if (checksum != accepted[0] && checksum != accepted[1] && checksum != accepted[2]) {
        raise_incompatible(checksum, accepted, members);
        return nullptr;
    }
    Ref instance = Ref::steal(PyObject_CallMethod(reinterpret_cast<PyObject*>(base), "__new__", "O", given[0]));
    if (!instance) return nullptr;
    if (state != Py_None && !apply(instance.get(), state)) return nullptr;
    return instance.release();
}

bool apply_doc(PyObject* obj, PyObject* state) { return apply_doc_state(reinterpret_cast<IDFDoc*>(obj), state); }
bool apply_object(PyObject* obj, PyObject* state) { return apply_object_state(reinterpret_cast<IDFObj*>(obj), state); }

}  // namespace

PyObject* unpickle_idf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return reconstruct(args, nargs, kwnames, "_unpickle_IDF", &IDFDocType, kDocAccepted, kDocMembers, apply_doc);
}

PyObject* unpickle_idf_object(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return reconstruct(args, nargs, kwnames, "_unpickle_IDFObject", &IDFObjType, kObjectAccepted, kObjectMembers,
                       apply_object);
}

}  // namespace tarvix::idf
