#include "core/geometry/volume.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "core/geometry/vector.h"

namespace tarvix::geometry::detail {

namespace {

// Whether a zone's faces close a volume, as the engine decides it: points
// nearer than kNear on every axis are one vertex (the first one met stands
// for them all), and every edge between vertices so matched is shared by
// exactly two faces; failing that, once more with each edge cut at the zone's
// vertices that lie on it.
constexpr double kNear = 0.01;

bool near3(Vec3 a, Vec3 b) noexcept {
    return std::abs(a.x - b.x) < kNear && std::abs(a.y - b.y) < kNear && std::abs(a.z - b.z) < kNear;
}

// Zones with more vertices than this are judged by their edges matched
// exactly to the millimetre (the tolerant matching costs vertices squared).
constexpr size_t kToleranceLimit = 512;

Point3 grid(Vec3 v) noexcept {
    const auto q = [](double c) {
        const double r = std::round(c * 1000.0);
        return std::abs(r) < 9e15 ? static_cast<int64_t>(r) : int64_t{0};
    };
    return {q(v.x), q(v.y), q(v.z)};
}

uint32_t vertex_index(const std::vector<Vec3>& unique, Vec3 v) noexcept {
    for (uint32_t i = 0; i < unique.size(); ++i)
        if (near3(unique[i], v)) return i;
    return 0;  // every vertex met is in the list
}

template <class T>
bool each_twice(std::vector<T>& edges) {
    std::sort(edges.begin(), edges.end());
    for (size_t i = 0; i < edges.size();) {
        size_t j = i;
        while (j < edges.size() && edges[j] == edges[i]) ++j;
        if (j - i != 2) return false;
        i = j;
    }
    return true;
}

void add_face_edges(const Vec3* v, size_t n, EncloseScratch& scratch) {
    for (size_t k = 0; k < n; ++k) {
        uint32_t a = vertex_index(scratch.unique, v[k]), b = vertex_index(scratch.unique, v[(k + 1) % n]);
        if (b < a) std::swap(a, b);
        scratch.edges.emplace_back(a, b);
    }
}

double distance_to_line(Vec3 a, Vec3 b, Vec3 p) noexcept { return length(cross(normalized(b - a), p - a)); }

// A face with the zone's vertices that lie on its edges put in (each edge is
// looked at again after a vertex goes in, as the engine does).
void with_collinear_vertices(const Vec3* v, size_t n, EncloseScratch& scratch) {
    std::vector<Vec3>& face = scratch.face;
    face.assign(v, v + n);
    size_t inserted = 0;
    for (size_t k = 0; k < face.size() && inserted <= scratch.unique.size();) {
        const Vec3 cur = face[k], next = face[(k + 1) % face.size()];
        const double span = length(next - cur);
        // A vertex on the edge lies within the edge's box grown by the tolerance.
        const Vec3 lo{std::min(cur.x, next.x) - kNear, std::min(cur.y, next.y) - kNear,
                      std::min(cur.z, next.z) - kNear};
        const Vec3 hi{std::max(cur.x, next.x) + kNear, std::max(cur.y, next.y) + kNear,
                      std::max(cur.z, next.z) + kNear};
        bool put = false;
        for (const Vec3& u : scratch.unique) {
            if (u.x < lo.x || u.x > hi.x || u.y < lo.y || u.y > hi.y || u.z < lo.z || u.z > hi.z) continue;
            if (near3(u, cur) || near3(u, next)) continue;
            if (distance_to_line(cur, next, u) < kNear &&
                std::abs(span - (length(u - cur) + length(next - u))) < kNear) {
                face.insert(face.begin() + static_cast<std::ptrdiff_t>(k + 1), u);
                ++inserted;
                put = true;
                break;
            }
        }
        if (!put) ++k;
    }
}

// For the largest zones: every edge, its ends matched to the millimetre,
// shared by exactly two faces.
bool encloses_exactly(const std::vector<const Surface*>& faces, const std::vector<Vec3>& vertices,
                      EncloseScratch& scratch) {
    auto& edges = scratch.grid_edges;
    edges.clear();
    for (const Surface* f : faces) {
        const Vec3* v = vertices.data() + f->first_vertex;
        for (size_t k = 0, n = f->vertex_count; k < n; ++k) {
            Point3 a = grid(v[k]), b = grid(v[(k + 1) % n]);
            if (b < a) std::swap(a, b);
            edges.emplace_back(a, b);
        }
    }
    return each_twice(edges);
}

// The difference of two azimuths, in [0, 180].
double azimuth_difference(double a, double b) noexcept {
    double d = b - a;
    if (d > 180.0)
        d = 360.0 - d;
    else if (d < -180.0)
        d = 360.0 + d;
    return std::abs(d);
}

}  // namespace

bool encloses(const std::vector<const Surface*>& faces, const std::vector<Vec3>& vertices, EncloseScratch& scratch) {
    size_t count = 0;
    for (const Surface* f : faces) count += f->vertex_count;
    if (count > kToleranceLimit) return encloses_exactly(faces, vertices, scratch);
    std::vector<Vec3>& unique = scratch.unique;
    unique.clear();
    for (const Surface* f : faces)
        for (size_t k = 0; k < f->vertex_count; ++k) {
            const Vec3 v = vertices[f->first_vertex + k];
            bool seen = false;
            for (const Vec3& u : unique)
                if (near3(u, v)) {
                    seen = true;
                    break;
                }
            if (!seen) unique.push_back(v);
        }
    scratch.edges.clear();
    for (const Surface* f : faces) add_face_edges(vertices.data() + f->first_vertex, f->vertex_count, scratch);
    if (each_twice(scratch.edges)) return true;
    scratch.edges.clear();
    for (const Surface* f : faces) {
        with_collinear_vertices(vertices.data() + f->first_vertex, f->vertex_count, scratch);
        add_face_edges(scratch.face.data(), scratch.face.size(), scratch);
    }
    return each_twice(scratch.edges);
}

ZoneShape shape_of(const std::vector<const Surface*>& faces, const std::vector<Vec3>& vertices,
                   EncloseScratch& scratch) {
    ZoneShape shape;
    auto& corners = scratch.corners;
    corners.clear();
    bool first_wall = true;
    double top = 0.0;
    for (const Surface* f : faces) {
        const Vec3* v = vertices.data() + f->first_vertex;
        if (f->kind == SurfaceKind::wall) {
            shape.walls_upright = shape.walls_upright && std::abs(f->tilt - 90.0) <= 1.0;
            const double z = max_z(v, f->vertex_count);
            if (first_wall) top = z;
            first_wall = false;
            shape.walls_level = shape.walls_level && std::abs(z - top) <= 0.02;
            continue;
        }
        if (f->kind == SurfaceKind::floor) shape.floors_level = shape.floors_level && std::abs(f->tilt - 180.0) <= 1.0;
        if (f->kind == SurfaceKind::roof) shape.ceilings_level = shape.ceilings_level && std::abs(f->tilt) <= 1.0;
        if (corners.size() > kToleranceLimit) continue;
        for (size_t k = 0; k < f->vertex_count; ++k) {
            bool seen = false;
            for (auto& [x, y, count] : corners)
                if (std::abs(x - v[k].x) < kNear && std::abs(y - v[k].y) < kNear) {
                    ++count;
                    seen = true;
                    break;
                }
            if (!seen) corners.push_back({v[k].x, v[k].y, 1});
        }
    }
    shape.floor_matches_ceiling = !corners.empty() && corners.size() <= kToleranceLimit;
    for (const auto& c : corners) shape.floor_matches_ceiling = shape.floor_matches_ceiling && c.count % 2 == 0;
    return shape;
}

double opposite_walls_volume(const std::vector<const Surface*>& faces, const std::vector<Vec3>& vertices,
                             EncloseScratch& scratch) {
    constexpr size_t kFaceLimit = 1024;  // finding twins costs faces squared
    if (faces.size() > kFaceLimit) return 0.0;
    // Each face's twin (the first face that matches it), found once: -1 for none, -2 not looked for yet.
    std::vector<int32_t>& twins = scratch.twins;
    twins.assign(faces.size(), -2);
    const auto twin_of = [&](size_t i) {
        if (twins[i] != -2) return twins[i];
        const Surface* f = faces[i];
        const double opposite = std::fmod(f->azimuth + 180.0, 360.0);
        twins[i] = -1;
        for (size_t j = 0; j < faces.size(); ++j) {
            const Surface* g = faces[j];
            if (g->vertex_count == f->vertex_count && std::abs(g->net_area - f->net_area) < kNear &&
                std::abs(g->azimuth - opposite) < 1.0) {
                twins[i] = static_cast<int32_t>(j);
                break;
            }
        }
        return twins[i];
    };
    for (const Surface* wall : faces) {
        if (wall->kind != SurfaceKind::wall) continue;
        double area = 0.0, distance = 0.0;
        bool all = true;
        for (size_t i = 0; i < faces.size() && all; ++i) {
            const Surface* f = faces[i];
            if (azimuth_difference(f->azimuth, wall->azimuth) >= 1.0) continue;
            const int32_t twin = twin_of(i);
            if (twin < 0 || f->vertex_count == 0) {
                all = false;
                break;
            }
            area += f->net_area;
            const Vec3* a = vertices.data() + f->first_vertex;
            const Vec3* b = vertices.data() + faces[static_cast<size_t>(twin)]->first_vertex;
            const size_t n = f->vertex_count;
            distance = length(a[0] - b[n - 1]);
            for (size_t k = 1; k < n && all; ++k) all = std::abs(length(a[k] - b[n - 1 - k]) - distance) <= kNear;
        }
        if (all) return area * distance;
    }
    return 0.0;
}

}  // namespace tarvix::geometry::detail
