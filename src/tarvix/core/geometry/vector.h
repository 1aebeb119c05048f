// The vector arithmetic of the geometry reader: sums, products and lengths
// of points, the plane turns the engine applies to zones and the building,
// and the area, normal, orientation and centroid of a polygon as the engine
// works them out.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>

#include "core/geometry/geometry.h"

namespace tarvix::geometry {

inline constexpr double kDegToRad = std::numbers::pi / 180.0;

inline Vec3 operator-(Vec3 a, Vec3 b) noexcept { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 operator+(Vec3 a, Vec3 b) noexcept { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 operator*(Vec3 a, double k) noexcept { return {a.x * k, a.y * k, a.z * k}; }
inline Vec3 cross(Vec3 a, Vec3 b) noexcept {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double dot(Vec3 a, Vec3 b) noexcept { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline double length(Vec3 a) noexcept { return std::sqrt(dot(a, a)); }
inline Vec3 normalized(Vec3 a) noexcept {
    const double n = length(a);
    return n > 0.0 ? Vec3{a.x / n, a.y / n, a.z / n} : Vec3{};
}

// A rotation of the plane by -angle (clockwise seen from above for a
// positive angle), as the engine turns zones and the building.
struct Turn {
    double c = 1.0, s = 0.0;
    static Turn by(double degrees) noexcept { return {std::cos(-degrees * kDegToRad), std::sin(-degrees * kDegToRad)}; }
    void apply(double& x, double& y) const noexcept {
        const double nx = x * c - y * s;
        y = x * s + y * c;
        x = nx;
    }
};

// The area vector of a polygon (fan from its first vertex, halved).
inline Vec3 newell_area(const Vec3* v, size_t n) noexcept {
    Vec3 area;
    if (n < 3) return area;
    Vec3 e1 = v[1] - v[0];
    for (size_t k = 2; k < n; ++k) {
        const Vec3 e2 = v[k] - v[0];
        area = area + cross(e1, e2);
        e1 = e2;
    }
    return area * 0.5;
}

inline Vec3 newell_normal(const Vec3* v, size_t n) noexcept {
    Vec3 sum;
    for (size_t i = 0; i < n; ++i) {
        const Vec3& a = v[i];
        const Vec3& b = v[(i + 1) % n];
        sum.x += (a.y - b.y) * (a.z + b.z);
        sum.y += (a.z - b.z) * (a.x + b.x);
        sum.z += (a.x - b.x) * (a.y + b.y);
    }
    return normalized(sum);
}

// The engine's azimuth and tilt of a polygon with outward normal `n`: the
// compass bearing of the normal, or for an exactly horizontal surface the
// bearing of its edge from vertex 2 to vertex 3 turned by 90 degrees.
inline void azimuth_and_tilt(const Vec3* v, size_t count, Vec3 n, double& azimuth, double& tilt) noexcept {
    double r = 0.0;
    if (std::abs(n.z) < 1.0 - 1.12e-16) {
        r = std::atan2(n.x, -n.y);
    } else if (count >= 3) {
        const Vec3 edge = normalized(v[2] - v[1]);
        r = std::atan2(edge.y, edge.x);
    }
    tilt = std::acos(std::clamp(n.z, -1.0, 1.0)) / kDegToRad;
    double az = r / kDegToRad;
    az = std::fmod(450.0 - az, 360.0);
    az += 90.0;
    if (az < 0.0) az += 360.0;
    az = std::fmod(az, 360.0);
    if (std::abs(az - 360.0) < 0.001) {
        az = 0.0;
    } else if (std::abs(az - 180.0) < 1e-6) {
        az = 180.0;
    }
    if (std::abs(tilt - 180.0) < 1e-6) tilt = 180.0;
    azimuth = az;
}

inline double snap(double c) noexcept {
    if (std::abs(c - 1.0) < 1e-6) return 1.0;
    if (std::abs(c + 1.0) < 1e-6) return -1.0;
    if (std::abs(c) < 1e-6) return 0.0;
    return c;
}

// The engine's centroid of a surface: the mean of a triangle's corners; a
// quadrilateral's two triangles' means weighted by their areas (split along
// the other diagonal when the first split overlaps itself); the plain mean
// of the vertices of anything with more sides.
inline Vec3 centroid_of(const Vec3* v, size_t n, double gross_area) noexcept {
    const auto mean3 = [](Vec3 a, Vec3 b, Vec3 c) { return (a + b + c) * (1.0 / 3.0); };
    const auto area3 = [](Vec3 a, Vec3 b, Vec3 c) { return length(cross(b - a, c - a)) / 2.0; };
    if (n == 3) return mean3(v[0], v[1], v[2]);
    if (n == 4) {
        if (gross_area <= 0.0) return {};
        double a1 = area3(v[0], v[1], v[2]), a2 = area3(v[0], v[2], v[3]);
        double f1 = a1 / gross_area, f2 = a2 / gross_area;
        Vec3 c1 = mean3(v[0], v[1], v[2]), c2 = mean3(v[0], v[2], v[3]);
        if (f1 + f2 > 1.05) {
            a1 = area3(v[0], v[1], v[3]);
            a2 = area3(v[1], v[2], v[3]);
            f1 = a1 / (a1 + a2);
            f2 = a2 / (a1 + a2);
            c1 = mean3(v[0], v[1], v[3]);
            c2 = mean3(v[1], v[2], v[3]);
        }
        return c1 * f1 + c2 * f2;
    }
    Vec3 mean;
    for (size_t k = 0; k < n; ++k) mean = mean + v[k];
    return n ? mean * (1.0 / static_cast<double>(n)) : mean;
}

inline double min_z(const Vec3* v, size_t n) noexcept {
    double z = HUGE_VAL;
    for (size_t k = 0; k < n; ++k) z = std::min(z, v[k].z);
    return n ? z : 0.0;
}
inline double max_z(const Vec3* v, size_t n) noexcept {
    double z = -HUGE_VAL;
    for (size_t k = 0; k < n; ++k) z = std::max(z, v[k].z);
    return n ? z : 0.0;
}

}  // namespace tarvix::geometry
