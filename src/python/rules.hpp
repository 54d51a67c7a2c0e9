// The rules of the Python surface, each written once.
//
// The bindings register these functions and the fast paths call the very same
// ones, so the two cannot drift apart: the reflected forms (b − s, b / s), the
// division by a plain number, the constructor defaults, the component index
// and the representation texts live here and nowhere else.
//
// Every rule is compiled out of line. With two NaN operands, which NaN an
// instruction returns depends on the operand order the compiler picks, so
// both callers must run one and the same machine code to agree on its sign.
#pragma once

#include <cstddef>

#include "format.hpp"
#include "orbelon/scalar.hpp"
#include "orbelon/vec3.hpp"

#define ORBELON_RULE [[gnu::noinline]] inline

namespace orbelon {
namespace rules {

// A const member function called through a reference: self is always a real
// value. (The binding library calls a member-function pointer through a
// pointer, which its converting pass may make null from None.)
template <auto F>
struct member;
template <class C, class R, R (C::*F)() const>
struct member<F> {
    [[gnu::noinline]] static R call(const C& self) { return (self.*F)(); }
};
template <class C, class R, class A, R (C::*F)(A) const>
struct member<F> {
    [[gnu::noinline]] static R call(const C& self, A a) { return (self.*F)(a); }
};

// ---------------------------------------------------------------------------
// Scalar. A plain number b stands for the constant {b, 0}; adding and scaling
// use it directly, subtraction from it and division go through the embedding.

ORBELON_RULE Scalar add(const Scalar& a, const Scalar& b) { return a + b; }
ORBELON_RULE Scalar add_number(const Scalar& a, double b) { return a + b; }
ORBELON_RULE Scalar sub(const Scalar& a, const Scalar& b) { return a - b; }
ORBELON_RULE Scalar sub_number(const Scalar& a, double b) { return a - b; }
ORBELON_RULE Scalar number_sub(const Scalar& a, double b) { return Scalar(b) - a; }  // b − a
ORBELON_RULE Scalar mul(const Scalar& a, const Scalar& b) { return a * b; }
ORBELON_RULE Scalar mul_number(const Scalar& a, double b) { return a * b; }
ORBELON_RULE Scalar div(const Scalar& a, const Scalar& b) { return a / b; }
ORBELON_RULE Scalar div_number(const Scalar& a, double b) { return a / Scalar(b); }
ORBELON_RULE Scalar number_div(const Scalar& a, double b) { return Scalar(b) / a; }  // b / a
ORBELON_RULE Scalar neg(const Scalar& a) { return -a; }
ORBELON_RULE double to_float(const Scalar& a) { return a.val; }

// One row per arithmetic operator: a ∘ Scalar, a ∘ number, number ∘ a.
struct ScalarOperator {
    const char* name;
    const char* reflected_name;
    Scalar (*with_scalar)(const Scalar&, const Scalar&);
    Scalar (*with_number)(const Scalar&, double);
    Scalar (*reflected)(const Scalar&, double);
};
inline constexpr ScalarOperator scalar_operators[] = {
    {"__add__", "__radd__", add, add_number, add_number},
    {"__sub__", "__rsub__", sub, sub_number, number_sub},
    {"__mul__", "__rmul__", mul, mul_number, mul_number},
    {"__truediv__", "__rtruediv__", div, div_number, number_div},
};

using pow_ = member<&Scalar::pow>;
using eq = member<&Scalar::operator==>;
using lt = member<&Scalar::operator<>;

// The named functions, in the order they are registered.
struct ScalarFunction {
    const char* name;
    Scalar (*fn)(const Scalar&);
};
inline constexpr ScalarFunction scalar_functions[] = {
    {"sin", member<&Scalar::sin>::call},   {"cos", member<&Scalar::cos>::call},
    {"tan", member<&Scalar::tan>::call},   {"exp", member<&Scalar::exp>::call},
    {"log", member<&Scalar::log>::call},   {"sqrt", member<&Scalar::sqrt>::call},
    {"abs", member<&Scalar::abs>::call},
};

inline constexpr double default_d = 0.0;  // Scalar(val, d=0.0)

// ---------------------------------------------------------------------------
// Vec3

inline constexpr int default_component = 0;  // Vec3(x=0, y=0, z=0): the int 0

// Component i: 0, 1, 2 for x, y, z; no wrap-around, anything else is none.
inline double* component(Vec3& v, int i) {
    switch (i) {
        case 0: return &v.x;
        case 1: return &v.y;
        case 2: return &v.z;
        default: return nullptr;
    }
}

using vec_add = member<static_cast<Vec3 (Vec3::*)(const Vec3&) const>(&Vec3::operator+)>;
using vec_sub = member<static_cast<Vec3 (Vec3::*)(const Vec3&) const>(&Vec3::operator-)>;
using vec_mul = member<&Vec3::operator*>;
using vec_div = member<&Vec3::operator/>;
using dot = member<&Vec3::dot>;
using cross = member<&Vec3::cross>;
using magnitude = member<&Vec3::magnitude>;
using normalize = member<&Vec3::normalize>;
using distance = member<&Vec3::distance>;
using angle = member<&Vec3::angle>;
using reflect = member<&Vec3::reflect>;
using project = member<&Vec3::project>;
using to_list = member<&Vec3::to_list>;

// ---------------------------------------------------------------------------
// Representations, written into a buffer that fits the longest one: three
// "%f" texts of the largest double (317 characters each) and the frame.

struct Text {
    char buf[1024];
    std::size_t n = 0;
    Text& operator<<(const char* s) {
        while (*s) buf[n++] = *s++;
        return *this;
    }
    Text& operator<<(double v) {
        n += static_cast<std::size_t>(format_fixed(buf + n, sizeof buf - n, v));
        return *this;
    }
};

ORBELON_RULE void describe(Text& t, const Scalar& s) { t << "<Scalar val=" << s.val << ", d=" << s.d << ">"; }
ORBELON_RULE void describe(Text& t, const Vec3& v) {
    t << "<Vec3 (" << v.x << ", " << v.y << ", " << v.z << ")>";
}

}  // namespace rules
}  // namespace orbelon
