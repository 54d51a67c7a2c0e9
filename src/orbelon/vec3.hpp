// Vec3: a vector in three-dimensional space and its geometry.
//
// Every function is total: zero vectors get a fixed result instead of an
// error, and infinities and NaN follow IEEE rules. Sums are evaluated left to
// right as written, so results are reproducible to the last bit.
#pragma once

#include <cmath>
#include <vector>

namespace orbelon {

struct Vec3 {
    double x, y, z;

    constexpr Vec3(double x, double y, double z) : x(x), y(y), z(z) {}

    Vec3 operator+(const Vec3& o) const { return {x + o.x, y + o.y, z + o.z}; }
    Vec3 operator-(const Vec3& o) const { return {x - o.x, y - o.y, z - o.z}; }
    Vec3 operator*(double s) const { return {x * s, y * s, z * s}; }
    // Three true divisions, unguarded: v / 0 is (±inf or NaN) per component.
    Vec3 operator/(double s) const { return {x / s, y / s, z / s}; }

    // a·b = (ax·bx + ay·by) + az·bz
    double dot(const Vec3& o) const { return (x * o.x + y * o.y) + z * o.z; }

    // a × b, right-handed: x̂ × ŷ = ẑ
    Vec3 cross(const Vec3& o) const {
        return {y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x};
    }

    // |a| = √(a·a), without rescaling: overflows to inf above ~1.34e154 and
    // underflows to 0 below ~1.57e-162.
    double magnitude() const { return std::sqrt(dot(*this)); }

    // a / |a|, as one reciprocal and three products; (0, 0, 0) when |a| = 0.
    Vec3 normalize() const {
        const double m = magnitude();
        if (m == 0.0) return {0.0, 0.0, 0.0};
        const double r = 1.0 / m;
        return {x * r, y * r, z * r};
    }

    // |a − b|
    double distance(const Vec3& o) const { return (*this - o).magnitude(); }

    // acos(a·b / (|a||b|)) in [0, π]; 0 when either length is 0. The cosine is
    // clamped to [−1, 1] so that rounding cannot push parallel vectors into a
    // NaN; a NaN cosine passes through.
    double angle(const Vec3& o) const {
        const double m = magnitude() * o.magnitude();
        if (m == 0.0) return 0.0;
        double c = dot(o) / m;
        if (std::isgreater(c, 1.0)) c = 1.0;  // quiet: NaN passes, no flag raised
        if (std::isless(c, -1.0)) c = -1.0;
        return std::acos(c);
    }

    // a − 2(a·n)n: the mirror image of a in the plane of unit normal n.
    // n is used as given, not normalized.
    Vec3 reflect(const Vec3& n) const {
        const double dn = dot(n);
        const double k = dn + dn;
        return {x - n.x * k, y - n.y * k, z - n.z * k};
    }

    // (a·b / b·b) b: a projected onto b; (0, 0, 0) when b·b = 0.
    Vec3 project(const Vec3& o) const {
        const double denom = o.dot(o);
        if (denom == 0.0) return {0.0, 0.0, 0.0};
        const double t = dot(o) / denom;
        return {o.x * t, o.y * t, o.z * t};
    }

    std::vector<double> to_list() const { return {x, y, z}; }
};

}  // namespace orbelon
