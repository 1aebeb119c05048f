// tarvix._geometry: the geometry of a document, which tarvix.geometry wraps.
// The core builds the model without the interpreter lock, over the slots
// tarvix.idf hands it (py/idf_api.h); Surface and ZoneGeometry records are
// small objects that read their values from the model they share, so a
// hundred thousand surfaces cost a hundred thousand small objects and no more.
#include <memory>
#include <utility>
#include <vector>

#include "core/geometry/geometry.h"
#include "core/geometry/vector.h"
#include "py/idf_api.h"

namespace tarvix::geometry_module {
namespace {

using geometry::Model;
using idf::DocumentState;
using idf::Reader;
using py::Ref;

// tarvix.idf's functions, imported at execution.
idf::DocumentApi documents;

constexpr Reader kReadingGeometry{"read for its geometry", "tarvix.geometry"};

// The model shared by the records of one call, and the strs of its texts,
// made on first use.
struct ModelData {
    Model model;
    std::vector<Ref> texts;
};

struct ModelObject {
    PyObject_HEAD ModelData* data;  // owned; deleted with the object
    PyObject* weakrefs;
};

void model_dealloc(PyObject* obj) {
    if (reinterpret_cast<ModelObject*>(obj)->weakrefs) PyObject_ClearWeakRefs(obj);
    delete reinterpret_cast<ModelObject*>(obj)->data;
    PyTypeObject* type = Py_TYPE(obj);
    type->tp_free(obj);
}

PyTypeObject ModelType = [] {
    PyTypeObject type = py::new_static_type();
    type.tp_name = "tarvix.geometry._Model";
    type.tp_basicsize = sizeof(ModelObject);
    type.tp_weaklistoffset = offsetof(ModelObject, weakrefs);
    type.tp_dealloc = model_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    type.tp_doc = "The geometry one call read, shared by its records.";
    return type;
}();

Ref text_or_none(ModelData& data, uint32_t id) {
    if (id == geometry::kNoText) return Ref::none();
    if (data.texts.size() < data.model.texts.size()) data.texts.resize(data.model.texts.size());
    Ref& str = data.texts[id];
    if (!str) str = py::decode_utf8(data.model.texts[id]);
    return str;
}

Ref float_of(double value) { return Ref::steal(PyFloat_FromDouble(value)); }

Ref point(const geometry::Vec3& v) {
    Ref x = float_of(v.x), y = float_of(v.y), z = float_of(v.z);
    if (!x || !y || !z) return {};
    return Ref::steal(PyTuple_Pack(3, x.get(), y.get(), z.get()));
}

// ---------------------------------------------------------------------------
// Records

struct RecordObject {
    PyObject_HEAD ModelObject* owner;  // strong reference
    uint32_t index;
};

void record_dealloc(PyObject* obj) {
    Py_XDECREF(reinterpret_cast<PyObject*>(reinterpret_cast<RecordObject*>(obj)->owner));
    Py_TYPE(obj)->tp_free(obj);
}

const geometry::Surface& surface_of(PyObject* obj) {
    const auto* record = reinterpret_cast<RecordObject*>(obj);
    return record->owner->data->model.surfaces[record->index];
}
const geometry::Zone& zone_of(PyObject* obj) {
    const auto* record = reinterpret_cast<RecordObject*>(obj);
    return record->owner->data->model.zones[record->index];
}
ModelData& data_of(PyObject* obj) { return *reinterpret_cast<RecordObject*>(obj)->owner->data; }

enum SurfaceField : intptr_t {
    s_name,
    s_class_name,
    s_obj_idx,
    s_kind,
    s_zone,
    s_base_surface,
    s_construction,
    s_outside_boundary,
    s_multiplier,
    s_vertices,
    s_gross_area,
    s_net_area,
    s_azimuth,
    s_tilt,
    s_centroid,
    s_outward_normal,
    s_added_by_engine,
    s_count,
};

PyObject* kind_strs[geometry::kSurfaceKinds] = {};

Ref surface_field(PyObject* obj, intptr_t field) {
    const geometry::Surface& s = surface_of(obj);
    ModelData& data = data_of(obj);
    switch (field) {
        case s_name: return text_or_none(data, s.name);
        case s_class_name: return text_or_none(data, s.class_name);
        case s_obj_idx: return Ref::steal(PyLong_FromUnsignedLongLong(s.slot));
        case s_kind: return Ref::borrow(kind_strs[static_cast<size_t>(s.kind)]);
        case s_zone: return text_or_none(data, s.zone);
        case s_base_surface: return text_or_none(data, s.base_surface);
        case s_construction: return text_or_none(data, s.construction);
        case s_outside_boundary: return text_or_none(data, s.outside_boundary);
        case s_multiplier: return float_of(s.multiplier);
        case s_vertices: {
            Ref tuple = Ref::steal(PyTuple_New(s.vertex_count));
            if (!tuple) return {};
            for (uint32_t k = 0; k < s.vertex_count; ++k) {
                Ref p = point(data.model.vertices[s.first_vertex + k]);
                if (!p) return {};
                PyTuple_SET_ITEM(tuple.get(), k, p.release());
            }
            return tuple;
        }
        case s_gross_area: return float_of(s.gross_area);
        case s_net_area: return float_of(s.net_area);
        case s_azimuth: return float_of(s.azimuth);
        case s_tilt: return float_of(s.tilt);
        case s_centroid: return point(s.centroid);
        case s_outward_normal: return point(s.normal);
        case s_added_by_engine: return Ref::borrow(s.added ? Py_True : Py_False);
        default: return Ref::none();
    }
}

enum ZoneField : intptr_t {
    z_name,
    z_floor_area,
    z_volume,
    z_ceiling_height,
    z_exterior_gross_wall_area,
    z_exterior_net_wall_area,
    z_exterior_window_area,
    z_multiplier,
    z_list_multiplier,
    z_part_of_total_floor_area,
    z_centroid,
    z_min,
    z_max,
    z_count,
};

Ref zone_field(PyObject* obj, intptr_t field) {
    const geometry::Zone& z = zone_of(obj);
    switch (field) {
        case z_name: return text_or_none(data_of(obj), z.name);
        case z_floor_area: return float_of(z.floor_area);
        case z_volume: return float_of(z.volume);
        case z_ceiling_height: return float_of(z.ceiling_height);
        case z_exterior_gross_wall_area: return float_of(z.exterior_gross_wall_area);
        case z_exterior_net_wall_area: return float_of(z.exterior_net_wall_area);
        case z_exterior_window_area: return float_of(z.exterior_window_area);
        case z_multiplier: return Ref::steal(PyLong_FromLongLong(z.multiplier));
        case z_list_multiplier: return Ref::steal(PyLong_FromLongLong(z.list_multiplier));
        case z_part_of_total_floor_area: return Ref::borrow(z.part_of_total_floor_area ? Py_True : Py_False);
        case z_centroid: return point(z.centroid);
        case z_min: return point(z.min);
        case z_max: return point(z.max);
        default: return Ref::none();
    }
}

PyObject* surface_get(PyObject* obj, void* closure) {
    return surface_field(obj, reinterpret_cast<intptr_t>(closure)).release();
}
PyObject* zone_get(PyObject* obj, void* closure) {
    return zone_field(obj, reinterpret_cast<intptr_t>(closure)).release();
}

#define TARVIX_FIELD(getter, name, id, doc) {name, getter, nullptr, doc, reinterpret_cast<void*>(id)}

PyGetSetDef surface_getset[] = {
    TARVIX_FIELD(surface_get, "name", s_name, "The surface's name (a fin's has ' Left' or ' Right' added)"),
    TARVIX_FIELD(surface_get, "class_name", s_class_name, "The class of the object that makes the surface"),
    TARVIX_FIELD(surface_get, "obj_idx", s_obj_idx, "Index of that object in the document"),
    TARVIX_FIELD(surface_get, "kind", s_kind,
                 "The engine's surface class: 'Wall', 'Floor', 'Roof', 'Window', 'Door', 'Shading', ..."),
    TARVIX_FIELD(surface_get, "zone", s_zone, "The zone the surface bounds (a sub-surface's: its base's), or None"),
    TARVIX_FIELD(surface_get, "base_surface", s_base_surface,
                 "The surface a sub-surface or zone shading sits on (an overhang's or fin's: its window's), None for a "
                 "base surface"),
    TARVIX_FIELD(surface_get, "construction", s_construction, "The construction's name, or None"),
    TARVIX_FIELD(
        surface_get, "outside_boundary", s_outside_boundary,
        "The outside boundary condition ('Outdoors', 'Ground', 'Surface', ...; a sub-surface's: its base's), or None"),
    TARVIX_FIELD(surface_get, "multiplier", s_multiplier, "How many identical sub-surfaces this one stands for"),
    TARVIX_FIELD(surface_get, "vertices", s_vertices,
                 "World coordinates (x, y, z) of the vertices, in the order the engine stores them"),
    TARVIX_FIELD(surface_get, "gross_area", s_gross_area,
                 "Area of the polygon, m2 (one unit of a multiplied sub-surface)"),
    TARVIX_FIELD(
        surface_get, "net_area", s_net_area,
        "Area as the engine reports it, m2: less the sub-surfaces on it; times the multiplier of a window or door"),
    TARVIX_FIELD(surface_get, "azimuth", s_azimuth,
                 "Degrees clockwise from true north of the outward normal, as the engine reports it"),
    TARVIX_FIELD(surface_get, "tilt", s_tilt, "Degrees between the outward normal and straight up"),
    TARVIX_FIELD(surface_get, "centroid", s_centroid, "The engine's centroid of the surface (x, y, z)"),
    TARVIX_FIELD(surface_get, "outward_normal", s_outward_normal, "Unit outward normal (x, y, z)"),
    TARVIX_FIELD(surface_get, "added_by_engine", s_added_by_engine,
                 "Whether the engine adds this surface: the reversed copy ('iz-' and the name) of a surface whose "
                 "outside boundary is a zone, placed in that zone; it is no object of the document (obj_idx is that "
                 "of the surface it copies)"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef zone_getset[] = {
    TARVIX_FIELD(zone_get, "name", z_name, "The zone's name"),
    TARVIX_FIELD(zone_get, "floor_area", z_floor_area, "Floor area, m2, for one zone (multipliers not applied)"),
    TARVIX_FIELD(zone_get, "volume", z_volume, "Volume, m3, for one zone"),
    TARVIX_FIELD(zone_get, "ceiling_height", z_ceiling_height, "Ceiling height, m"),
    TARVIX_FIELD(zone_get, "exterior_gross_wall_area", z_exterior_gross_wall_area,
                 "Gross area of the walls facing outdoors, m2"),
    TARVIX_FIELD(zone_get, "exterior_net_wall_area", z_exterior_net_wall_area,
                 "Net area of the walls facing outdoors, m2"),
    TARVIX_FIELD(zone_get, "exterior_window_area", z_exterior_window_area,
                 "Area of the exterior windows, m2 (one unit each)"),
    TARVIX_FIELD(zone_get, "multiplier", z_multiplier, "The zone's multiplier"),
    TARVIX_FIELD(zone_get, "list_multiplier", z_list_multiplier, "The multiplier of the zone group the zone is in"),
    TARVIX_FIELD(zone_get, "part_of_total_floor_area", z_part_of_total_floor_area,
                 "Whether the zone counts in the building's area"),
    TARVIX_FIELD(zone_get, "centroid", z_centroid,
                 "Area-weighted mean of the centroids of its walls, floors and roofs"),
    TARVIX_FIELD(zone_get, "min", z_min, "Least x, y and z of the zone's vertices"),
    TARVIX_FIELD(zone_get, "max", z_max, "Greatest x, y and z of the zone's vertices"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef TARVIX_FIELD

PyObject* record_repr(const char* type_name, Ref name, const char* detail_name, Ref detail) {
    if (!name || !detail) return nullptr;
    return PyUnicode_FromFormat("%s(name=%R, %s=%R)", type_name, name.get(), detail_name, detail.get());
}

PyObject* surface_repr(PyObject* obj) {
    return record_repr("Surface", surface_field(obj, s_name), "kind", surface_field(obj, s_kind));
}
PyObject* zone_repr(PyObject* obj) {
    return record_repr("ZoneGeometry", zone_field(obj, z_name), "floor_area", zone_field(obj, z_floor_area));
}

PyTypeObject SurfaceType = [] {
    PyTypeObject type = py::new_static_type();
    type.tp_name = "tarvix.geometry.Surface";
    type.tp_basicsize = sizeof(RecordObject);
    type.tp_dealloc = record_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    type.tp_doc = "One surface, sub-surface or shading surface as the engine resolves it (read-only).";
    type.tp_getset = surface_getset;
    type.tp_repr = surface_repr;
    return type;
}();

PyTypeObject ZoneGeometryType = [] {
    PyTypeObject type = py::new_static_type();
    type.tp_name = "tarvix.geometry.ZoneGeometry";
    type.tp_basicsize = sizeof(RecordObject);
    type.tp_dealloc = record_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    type.tp_doc = "One zone's areas, volume and extent as the engine computes them (read-only).";
    type.tp_getset = zone_getset;
    type.tp_repr = zone_repr;
    return type;
}();

// ---------------------------------------------------------------------------
// The functions

// The last model read without frames, while something still holds it: the
// records of surfaces() keep it alive, so zones() of a document unchanged
// since (same generation) takes it instead of reading the document again.
struct LastModel {
    const void* doc = nullptr;
    uint64_t generation = 0;
    PyObject* weak = nullptr;  // a weak reference to the model object
} last_model;

Ref reuse_model(const DocumentState& doc) {
    if (!last_model.weak || last_model.doc != doc.identity || !doc.native || last_model.generation != doc.generation)
        return {};
    PyObject* model = nullptr;
    if (PyWeakref_GetRef(last_model.weak, &model) < 0) {
        PyErr_Clear();
        return {};
    }
    return Ref::steal(model);
}

void remember_model(const void* doc, uint64_t generation, PyObject* model) {
    PyObject* weak = PyWeakref_NewRef(model, nullptr);
    if (!weak) {
        PyErr_Clear();  // nothing is kept; the next call reads again
        return;
    }
    PyObject* old = last_model.weak;
    last_model = {doc, generation, weak};
    Py_XDECREF(old);
}

// The model of `arg` (an IDF): the last one read when the document has not
// changed since, else read now into a new model object.
Ref read_geometry(const char* func_name, PyObject* arg, bool frames = false) {
    DocumentState doc;
    if (documents.document_state(arg, func_name, &doc) < 0) return {};
    if (!frames)
        if (Ref model = reuse_model(doc)) return model;
    auto data = std::make_unique<ModelData>();
    const bool done = documents.read(arg, kReadingGeometry, [&](const SlotSource& slots, const c_IDD& schema) {
        geometry::read_model(slots, schema, data->model, frames);
    });
    if (!done) return {};
    auto* obj = PyObject_New(ModelObject, &ModelType);
    if (!obj) return {};
    obj->data = data.release();
    obj->weakrefs = nullptr;
    Ref model = Ref::steal(reinterpret_cast<PyObject*>(obj));
    if (doc.native && !frames) remember_model(doc.identity, doc.generation, model.get());
    return model;
}

PyObject* record_list(PyObject* owner, PyTypeObject* type, size_t count) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (size_t i = 0; i < count; ++i) {
        auto* record = PyObject_New(RecordObject, type);
        if (!record) return nullptr;
        record->owner = reinterpret_cast<ModelObject*>(Py_NewRef(owner));
        record->index = static_cast<uint32_t>(i);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), reinterpret_cast<PyObject*>(record));
    }
    return list.release();
}

PyObject* geometry_surfaces(PyObject*, PyObject* arg) {
    Ref model = read_geometry("surfaces", arg);
    if (!model) return nullptr;
    const size_t count = reinterpret_cast<ModelObject*>(model.get())->data->model.surfaces.size();
    if (count > UINT32_MAX) return PyErr_NoMemory();
    return record_list(model.get(), &SurfaceType, count);
}

PyObject* geometry_zones(PyObject*, PyObject* arg) {
    Ref model = read_geometry("zones", arg);
    if (!model) return nullptr;
    const size_t count = reinterpret_cast<ModelObject*>(model.get())->data->model.zones.size();
    return record_list(model.get(), &ZoneGeometryType, count);
}

// ---------------------------------------------------------------------------
// The summary and the frames: records made once per call

PyStructSequence_Field kFacadeFields[] = {
    {"gross_wall_area", "gross area of the walls facing outdoors or the ground, m2"},
    {"above_ground_wall_area", "gross area of the walls facing outdoors, m2"},
    {"window_area", "area of the windows on those walls, m2"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kFacadeDesc = {
    "tarvix._geometry.FacadeAreas",
    "One column of the engine's window-wall ratio table, multipliers applied (read-only).",
    kFacadeFields,
    3,
};

PyStructSequence_Field kSummaryFields[] = {
    {"facades", "the FacadeAreas of Total, North, East, South and West"},
    {"building_area", "the floor area of the engine's Building Area table, m2"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kSummaryDesc = {
    "tarvix._geometry.Summary",
    "The engine's window-wall ratio table and building area (read-only).",
    kSummaryFields,
    2,
};

PyStructSequence_Field kFrameRecordFields[] = {
    {"object", "the IDFObject, or None when its slot holds none"},
    {"obj_idx", "its index in the document"},
    {"role", "'vertices', 'rectangle', 'relative', 'point' or 'zone': what its numbers are"},
    {"angle", "degrees the frame is turned by, as a north axis turns"},
    {"offset", "the frame's origin in world coordinates (x, y, z)"},
    {"fields", "the indices of the fields that hold its numbers"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kFrameDesc = {
    "tarvix._geometry.Frame",
    "Where the numbers of one object with coordinates live (read-only).",
    kFrameRecordFields,
    6,
};

PyStructSequence_Field kFramesRecordFields[] = {
    {"counterclockwise", "whether vertices are entered counterclockwise (GlobalGeometryRules)"},
    {"starting_corner", "the corner vertices start at: 1 upper left, 2 lower left, 3 lower right, 4 upper right"},
    {"frames", "a Frame for each object with coordinates, in document order"},
    {nullptr, nullptr},
};
PyStructSequence_Desc kFramesDesc = {
    "tarvix._geometry.Frames",
    "The frame of each object with coordinates, and the document's vertex rules, for edits (read-only).",
    kFramesRecordFields,
    3,
};

PyTypeObject* facade_type = nullptr;
PyTypeObject* summary_type = nullptr;
PyTypeObject* frame_type = nullptr;
PyTypeObject* frames_type = nullptr;

constexpr size_t kFrameRoles = 5;
constexpr const char* kFrameRoleNames[kFrameRoles] = {"vertices", "rectangle", "relative", "point", "zone"};
PyObject* role_strs[kFrameRoles] = {};

Ref bool_of(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

PyObject* geometry_summary(PyObject*, PyObject* arg) {
    Ref model = read_geometry("window_wall_ratio", arg);
    if (!model) return nullptr;
    const Model& m = reinterpret_cast<ModelObject*>(model.get())->data->model;
    Ref facades = Ref::steal(PyTuple_New(geometry::kFacades));
    if (!facades) return nullptr;
    for (size_t k = 0; k < geometry::kFacades; ++k) {
        const geometry::WallWindowArea& a = m.facades[k];
        Ref row = py::new_record(
            facade_type, {float_of(a.gross_wall_area), float_of(a.above_ground_wall_area), float_of(a.window_area)});
        if (!row) return nullptr;
        PyTuple_SET_ITEM(facades.get(), static_cast<Py_ssize_t>(k), row.release());
    }
    return py::new_record(summary_type, {std::move(facades), float_of(m.building_area)}).release();
}

PyObject* geometry_frames(PyObject*, PyObject* arg) {
    Ref model = read_geometry("frames", arg, true);
    if (!model) return nullptr;
    const Model& m = reinterpret_cast<ModelObject*>(model.get())->data->model;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(m.frames.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < m.frames.size(); ++i) {
        const geometry::Frame& frame = m.frames[i];
        Ref fields = Ref::steal(PyTuple_New(frame.field_count));
        if (!fields) return nullptr;
        for (uint8_t k = 0; k < frame.field_count; ++k) {
            PyObject* number = PyLong_FromLong(frame.fields[k]);
            if (!number) return nullptr;
            PyTuple_SET_ITEM(fields.get(), k, number);
        }
        Ref object = Ref::steal(documents.object_at(arg, frame.slot));
        if (!object) return nullptr;
        Ref item = py::new_record(frame_type, {std::move(object), Ref::steal(PyLong_FromUnsignedLongLong(frame.slot)),
                                               Ref::borrow(role_strs[static_cast<size_t>(frame.role)]),
                                               float_of(frame.angle), point(frame.offset), std::move(fields)});
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return py::new_record(frames_type, {bool_of(m.counterclockwise), Ref::steal(PyLong_FromLong(m.starting_corner)),
                                        std::move(list)})
        .release();
}

// ---------------------------------------------------------------------------
// The core's vector arithmetic, for the edits and the drawings: the same
// sums and products in the same order as vector.h works them out.

// A point (x, y, z): a sequence of three numbers.
bool to_vec(PyObject* obj, geometry::Vec3& out) {
    Ref items = Ref::steal(PySequence_Fast(obj, ""));
    if (!items && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    if (!items || PySequence_Fast_GET_SIZE(items.get()) != 3) {
        PyErr_Format(PyExc_TypeError, "expected a point (x, y, z), got %.200s", Py_TYPE(obj)->tp_name);
        return false;
    }
    double* coordinates[3] = {&out.x, &out.y, &out.z};
    for (Py_ssize_t k = 0; k < 3; ++k) {
        *coordinates[k] = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(items.get(), k));
        if (*coordinates[k] == -1.0 && PyErr_Occurred()) return false;
    }
    return true;
}

bool positional(const char* func_name, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", func_name, expected, nargs);
    return false;
}

PyObject* vector_sub(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    geometry::Vec3 a, b;
    if (!positional("sub", nargs, 2) || !to_vec(args[0], a) || !to_vec(args[1], b)) return nullptr;
    return point(a - b).release();
}

PyObject* vector_along(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    geometry::Vec3 p, u;
    if (!positional("along", nargs, 3) || !to_vec(args[0], p) || !to_vec(args[1], u)) return nullptr;
    const double k = PyFloat_AsDouble(args[2]);
    if (k == -1.0 && PyErr_Occurred()) return nullptr;
    return point(p + u * k).release();
}

PyObject* vector_dot(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    geometry::Vec3 a, b;
    if (!positional("dot", nargs, 2) || !to_vec(args[0], a) || !to_vec(args[1], b)) return nullptr;
    return PyFloat_FromDouble(geometry::dot(a, b));
}

PyObject* vector_cross(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    geometry::Vec3 a, b;
    if (!positional("cross", nargs, 2) || !to_vec(args[0], a) || !to_vec(args[1], b)) return nullptr;
    return point(geometry::cross(a, b)).release();
}

PyObject* vector_length(PyObject*, PyObject* arg) {
    geometry::Vec3 a;
    if (!to_vec(arg, a)) return nullptr;
    return PyFloat_FromDouble(geometry::length(a));
}

PyObject* newell_normal(PyObject*, PyObject* arg) {
    Ref items = Ref::steal(PySequence_Fast(arg, "newell_normal() argument must be a sequence of points"));
    if (!items) return nullptr;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    std::vector<geometry::Vec3> points(static_cast<size_t>(count));
    for (Py_ssize_t k = 0; k < count; ++k)
        if (!to_vec(PySequence_Fast_GET_ITEM(items.get(), k), points[static_cast<size_t>(k)])) return nullptr;
    return point(geometry::newell_normal(points.data(), points.size())).release();
}

// The record types and the roles' strs, made once.
int setup_records(PyObject* module) {
    if (py::add_record_type(module, facade_type, kFacadeDesc) < 0 ||
        py::add_record_type(module, summary_type, kSummaryDesc) < 0 ||
        py::add_record_type(module, frame_type, kFrameDesc) < 0 ||
        py::add_record_type(module, frames_type, kFramesDesc) < 0)
        return -1;
    for (size_t k = 0; k < kFrameRoles; ++k)
        if (!role_strs[k] && !(role_strs[k] = PyUnicode_InternFromString(kFrameRoleNames[k]))) return -1;
    return 0;
}

PyMethodDef module_functions[] = {
    {"surfaces", py::guarded<geometry_surfaces, "tarvix.geometry.surfaces">, METH_O,
     "surfaces($module, doc, /)\n--\n\nThe surfaces of a document as Surface records."},
    {"zones", py::guarded<geometry_zones, "tarvix.geometry.zones">, METH_O,
     "zones($module, doc, /)\n--\n\nThe zones of a document as ZoneGeometry records."},
    {"summary", py::guarded<geometry_summary, "tarvix.geometry.window_wall_ratio">, METH_O,
     "summary($module, doc, /)\n--\n\nThe engine's window-wall ratio table and building area, a Summary."},
    {"frames", py::guarded<geometry_frames, "tarvix.geometry.frames">, METH_O,
     "frames($module, doc, /)\n--\n\nThe frame of each object with coordinates, for edits: Frames."},
    {"sub", py::fastcall_positional(py::guarded<vector_sub, "tarvix._geometry.sub">), METH_FASTCALL,
     "sub($module, a, b, /)\n--\n\nThe point a - b."},
    {"along", py::fastcall_positional(py::guarded<vector_along, "tarvix._geometry.along">), METH_FASTCALL,
     "along($module, p, u, k, /)\n--\n\nThe point p + u * k."},
    {"dot", py::fastcall_positional(py::guarded<vector_dot, "tarvix._geometry.dot">), METH_FASTCALL,
     "dot($module, a, b, /)\n--\n\nThe dot product of a and b."},
    {"cross", py::fastcall_positional(py::guarded<vector_cross, "tarvix._geometry.cross">), METH_FASTCALL,
     "cross($module, a, b, /)\n--\n\nThe cross product a x b."},
    {"length", py::guarded<vector_length, "tarvix._geometry.length">, METH_O,
     "length($module, a, /)\n--\n\nThe length of a."},
    {"newell_normal", py::guarded<newell_normal, "tarvix._geometry.newell_normal">, METH_O,
     "newell_normal($module, points, /)\n--\n\nThe unit normal of a polygon by Newell's method, (0, 0, 0) when it\n"
     "has no area."},
    {nullptr, nullptr, 0, nullptr},
};

int execute(PyObject* module) {
    if (documents.import() < 0) return -1;
    for (size_t k = 0; k < geometry::kSurfaceKinds; ++k) {
        if (kind_strs[k]) continue;
        kind_strs[k] = py::decode_utf8(geometry::kind_name(static_cast<geometry::SurfaceKind>(k))).release();
        if (!kind_strs[k]) return -1;
        PyUnicode_InternInPlace(&kind_strs[k]);
    }
    if (PyType_Ready(&ModelType) < 0) return -1;
    if (py::prepare_type(module, &SurfaceType, "Surface", nullptr) < 0) return -1;
    if (py::prepare_type(module, &ZoneGeometryType, "ZoneGeometry", nullptr) < 0) return -1;
    if (setup_records(module) < 0) return -1;
    return PyModule_AddFunctions(module, module_functions);
}

constexpr py::ModuleSpec module_spec{"_geometry", "tarvix._geometry",
                                     "The geometry of documents as the engine resolves it, and its vector arithmetic.",
                                     execute};

}  // namespace
}  // namespace tarvix::geometry_module

PyMODINIT_FUNC PyInit__geometry() { return tarvix::py::Module<tarvix::geometry_module::module_spec>::init(); }
