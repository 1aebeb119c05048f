// ClassInfo and FieldInfo: read-only records of what the schema says about a
// class and its fields, made on request from the core's records.
#include "py/idd_info.h"

#include <initializer_list>

namespace tarvix::idd {
namespace {

using py::Ref;

PyTypeObject* class_info_type = nullptr;
PyTypeObject* field_info_type = nullptr;

PyStructSequence_Field kFieldInfoFields[] = {
    {"index", "position of the field in the class"},
    {"name", "field name"},
    {"kind", "'A' (alpha) or 'N' (numeric)"},
    {"type", "integer, real, alpha, choice, object-list, external-list or node"},
    {"units", "SI units, or None"},
    {"ip_units", "IP units, or None"},
    {"units_based_on_field", "the field whose value gives the units, or None"},
    {"default", "default value as the schema writes it, or None"},
    {"choices", "allowed values of a choice field, in schema order"},
    {"minimum", "lower bound, or None"},
    {"maximum", "upper bound, or None"},
    {"minimum_exclusive", "whether the lower bound itself is excluded"},
    {"maximum_exclusive", "whether the upper bound itself is excluded"},
    {"required", "whether the field must have a value"},
    {"autosizable", "whether 'Autosize' is allowed"},
    {"autocalculatable", "whether 'Autocalculate' is allowed"},
    {"retain_case", "whether the value keeps its case"},
    {"deprecated", "whether the field is deprecated"},
    {"references", "name lists the value is entered in"},
    {"reference_class_names", "name lists the class name is entered in"},
    {"object_lists", "name lists the value must come from"},
    {"external_lists", "lists outside the document the value comes from"},
    {"note", "the schema's notes on the field"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kFieldInfoDesc = {
    "tarvix.idd.FieldInfo",
    "What the schema says about one field of a class (read-only).",
    kFieldInfoFields,
    23,
};

PyStructSequence_Field kClassInfoFields[] = {
    {"name", "class name as the schema writes it"},
    {"group", "the schema group the class belongs to"},
    {"memo", "the schema's description of the class"},
    {"format", "the writing format the schema asks for, or None"},
    {"min_fields", "the fewest fields an object is written with"},
    {"unique_object", "whether a document may hold at most one object of the class"},
    {"required_object", "whether a document must hold an object of the class"},
    {"obsolete", "the schema's obsolescence note, or None"},
    {"extensible_size", "fields per repeating group, 0 when the class has none"},
    {"extensible_begin", "index of the first field of the repeating group, or None"},
    {"fields", "the fields the schema lists (the repeating group once)"},
    {nullptr, nullptr},
};

PyStructSequence_Desc kClassInfoDesc = {
    "tarvix.idd.ClassInfo",
    "What the schema says about one class (read-only).",
    kClassInfoFields,
    11,
};

Ref str_or_none(std::string_view text) { return text.empty() ? Ref::borrow(Py_None) : py::decode_utf8(text); }

Ref float_or_none(bool present, double value) {
    return present ? Ref::steal(PyFloat_FromDouble(value)) : Ref::borrow(Py_None);
}

Ref tuple_of(Views texts) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(texts.size())));
    if (!tuple) return tuple;
    for (size_t i = 0; i < texts.size(); ++i) {
        Ref item = py::decode_utf8(texts[i]);
        if (!item) return {};
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return tuple;
}

// Lines of a note or memo as one paragraph.
Ref paragraph(Views lines) {
    std::string text;
    try {
        for (const std::string_view line : lines) {
            if (line.empty()) continue;
            if (!text.empty()) text.push_back(' ');
            text.append(line);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {};
    }
    return py::decode_utf8(text);
}

std::string_view type_word(const FieldDef& field) {
    switch (field.declared_type) {
        case DeclaredType::integer: return "integer";
        case DeclaredType::real: return "real";
        case DeclaredType::alpha: return "alpha";
        case DeclaredType::choice: return "choice";
        case DeclaredType::object_list: return "object-list";
        case DeclaredType::external_list: return "external-list";
        case DeclaredType::node: return "node";
        case DeclaredType::none: break;
    }
    return field.kind == 'N' ? "real" : "alpha";
}

// A record of `type` from items made in order; null with the exception of
// the first that failed.
Ref make_record(PyTypeObject* type, std::initializer_list<Ref> items) {
    for (const Ref& item : items)
        if (!item) return {};
    Ref record = Ref::steal(PyStructSequence_New(type));
    if (!record) return {};
    Py_ssize_t i = 0;
    for (const Ref& item : items) PyStructSequence_SET_ITEM(record.get(), i++, Py_NewRef(item.get()));
    return record;
}

Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

Ref field_info(const FieldDef& field, size_t index) {
    const char kind[2] = {field.kind, 0};
    return make_record(field_info_type, {
                                            Ref::steal(PyLong_FromSize_t(index)),
                                            py::decode_utf8(field.name),
                                            py::decode_utf8(kind),
                                            py::decode_utf8(type_word(field)),
                                            str_or_none(field.units),
                                            str_or_none(field.ip_units),
                                            str_or_none(field.units_based_on_field),
                                            str_or_none(field.default_val),
                                            tuple_of(field.choices()),
                                            float_or_none(field.has_minimum, field.minimum),
                                            float_or_none(field.has_maximum, field.maximum),
                                            boolean(field.has_minimum && field.minimum_exclusive),
                                            boolean(field.has_maximum && field.maximum_exclusive),
                                            boolean(field.required),
                                            boolean(field.autosizable),
                                            boolean(field.autocalculatable),
                                            boolean(field.retain_case),
                                            boolean(field.deprecated),
                                            tuple_of(field.references()),
                                            tuple_of(field.reference_class_names()),
                                            tuple_of(field.object_lists()),
                                            tuple_of(field.external_lists()),
                                            paragraph(field.notes()),
                                        });
}

}  // namespace

int setup_info_types(PyObject* module) {
    if (!field_info_type) {
        field_info_type = PyStructSequence_NewType(&kFieldInfoDesc);
        if (!field_info_type) return -1;
    }
    if (!class_info_type) {
        class_info_type = PyStructSequence_NewType(&kClassInfoDesc);
        if (!class_info_type) return -1;
    }
    if (PyModule_AddObjectRef(module, "FieldInfo", reinterpret_cast<PyObject*>(field_info_type)) < 0 ||
        PyModule_AddObjectRef(module, "ClassInfo", reinterpret_cast<PyObject*>(class_info_type)) < 0)
        return -1;
    return 0;
}

PyObject* class_info(const ClassDef& cls) {
    Ref fields = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(cls.fields.size())));
    if (!fields) return nullptr;
    for (size_t i = 0; i < cls.fields.size(); ++i) {
        Ref info = field_info(cls.fields[i], i);
        if (!info) return nullptr;
        PyTuple_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(i), info.release());
    }
    const ExtensibleDef& ext = cls.extensible;
    const bool has_group = ext.is_extensible && ext.size > 0;
    return make_record(class_info_type,
                       {
                           py::decode_utf8(cls.name),
                           py::decode_utf8(cls.group),
                           paragraph(cls.memo),
                           str_or_none(cls.format),
                           Ref::steal(PyLong_FromLong(cls.min_fields)),
                           boolean(cls.unique_object),
                           boolean(cls.required_object),
                           cls.is_obsolete ? py::decode_utf8(cls.obsolete) : Ref::borrow(Py_None),
                           Ref::steal(PyLong_FromLong(has_group ? ext.size : 0)),
                           has_group && ext.begin_index >= 0 ? Ref::steal(PyLong_FromLong(ext.begin_index))
                                                             : Ref::borrow(Py_None),
                           std::move(fields),
                       })
        .release();
}

}  // namespace tarvix::idd
