// The Python surface of each class, written once, as a table.
//
// One row per member, in registration order: the Python name, the kind of
// member and the rule behind it. The bindings register every row with the
// binding library, and the fast build generates its call for every row from
// the same row, so the two builds cannot drift apart. To add a member, write
// the operation on the value type and add its row here; the fast call comes
// with it, and a rule whose types the fast paths cannot take fails to compile.
//
// Every rule is compiled once, out of line, and never specialised: with two
// NaN operands, which NaN an instruction returns depends on the operand order
// the compiler picks, so every caller must run one and the same machine code
// to agree on its sign. GCC may otherwise clone a function it does not inline
// (noipa forbids both); clang makes no such clones.
#pragma once

#include <pybind11/pybind11.h>  // index_error: the library's IndexError

#include <cstddef>
#include <tuple>
#include <vector>

#include "python/format.hpp"
#include "orbelon/scalar.hpp"
#include "orbelon/vec3.hpp"

#if defined(__clang__)
#    define ORBELON_ONE_COPY [[gnu::noinline]]
#else
#    define ORBELON_ONE_COPY [[gnu::noipa]]
#endif
#define ORBELON_RULE ORBELON_ONE_COPY inline

namespace orbelon {
namespace rules {

// ---------------------------------------------------------------------------
// The kinds of row

// The type slot a method stands for, where the fast build writes a slot of
// its own that calls the method directly (fast/slots.hpp); none for the rest.
enum class Slot { none, repr, negative, to_float, subscript, assign_subscript };

// A method; several rules are overloads, tried in this order.
template <auto... Rules>
struct Method {
    const char* name;
    Slot slot = Slot::none;
};

// A read/write float field of the value.
template <auto Member>
struct Field {
    const char* name;
};

// The constructor: N float parameters, the first `Required` of them required,
// the rest defaulting to `default_value` (whose Python type the signature shows).
template <class T, int N, int Required, class Default>
struct Init {
    const char* names[N];
    Default default_value;
};

// A const member function called through a reference: self is always a real
// value. (The binding library calls a member-function pointer through a
// pointer, which its converting pass may make null from None.)
template <auto F>
struct member;
template <class C, class R, R (C::*F)() const>
struct member<F> {
    ORBELON_ONE_COPY static R call(const C& self) { return (self.*F)(); }
};
template <class C, class R, class A, R (C::*F)(A) const>
struct member<F> {
    ORBELON_ONE_COPY static R call(const C& self, A a) { return (self.*F)(a); }
};

// ---------------------------------------------------------------------------
// Representations, written into a buffer that fits the longest one: three
// "%f" texts of the largest double (317 characters each: a sign, 309
// digits, the point and 6 decimals) and a frame of at most 32. Every write
// is bounded by the buffer all the same.

struct Text {
    static constexpr std::size_t longest_fixed = 317, longest_frame = 32;
    char buf[1024];
    std::size_t n = 0;
    static_assert(3 * longest_fixed + longest_frame <= sizeof buf, "a representation must fit");
    Text& operator<<(const char* s) {
        while (*s && n < sizeof buf) buf[n++] = *s++;
        return *this;
    }
    Text& operator<<(double v) {
        n += static_cast<std::size_t>(format_fixed(buf + n, sizeof buf - n, v));
        return *this;
    }
};

ORBELON_RULE Text represent(const Scalar& s) {
    Text t;
    t << "<Scalar val=" << s.val << ", d=" << s.d << ">";
    return t;
}
ORBELON_RULE Text represent(const Vec3& v) {
    Text t;
    t << "<Vec3 (" << v.x << ", " << v.y << ", " << v.z << ")>";
    return t;
}

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

using S = Scalar;
inline constexpr std::tuple scalar_surface{
    Init<S, 2, 1, double>{{"val", "d"}, 0.0},
    Field<&S::val>{"val"},
    Field<&S::d>{"d"},
    Method<static_cast<Text (*)(const S&)>(represent)>{"__repr__", Slot::repr},
    Method<to_float>{"__float__", Slot::to_float},
    Method<add, add_number>{"__add__"},
    Method<add_number>{"__radd__"},
    Method<sub, sub_number>{"__sub__"},
    Method<number_sub>{"__rsub__"},
    Method<mul, mul_number>{"__mul__"},
    Method<mul_number>{"__rmul__"},
    Method<div, div_number>{"__truediv__"},
    Method<number_div>{"__rtruediv__"},
    Method<neg>{"__neg__", Slot::negative},
    Method<member<&S::pow>::call>{"__pow__"},
    Method<member<&S::operator==>::call>{"__eq__"},
    Method<member<&S::operator<>::call>{"__lt__"},
    Method<member<&S::sin>::call>{"sin"},
    Method<member<&S::cos>::call>{"cos"},
    Method<member<&S::tan>::call>{"tan"},
    Method<member<&S::exp>::call>{"exp"},
    Method<member<&S::log>::call>{"log"},
    Method<member<&S::sqrt>::call>{"sqrt"},
    Method<member<&S::abs>::call>{"abs"},
    Method<member<&S::pow>::call>{"pow"},
};

// ---------------------------------------------------------------------------
// Vec3. Components are indexed 0, 1, 2 only: no wrap-around, and anything
// else is the library's IndexError with no message.

// Component i of v, const or not.
template <class V3>
auto& component(V3& v, int i) {
    switch (i) {
        case 0: return v.x;
        case 1: return v.y;
        case 2: return v.z;
        default: throw pybind11::index_error();
    }
}
ORBELON_RULE double item(const Vec3& v, int i) { return component(v, i); }
ORBELON_RULE void set_item(Vec3& v, int i, double d) { component(v, i) = d; }

using V = Vec3;
inline constexpr std::tuple vec3_surface{
    Init<V, 3, 0, int>{{"x", "y", "z"}, 0},  // Vec3(x=0, y=0, z=0): the int 0
    Field<&V::x>{"x"},
    Field<&V::y>{"y"},
    Field<&V::z>{"z"},
    Method<static_cast<Text (*)(const V&)>(represent)>{"__repr__", Slot::repr},
    Method<item>{"__getitem__", Slot::subscript},
    Method<set_item>{"__setitem__", Slot::assign_subscript},
    Method<member<static_cast<V (V::*)(const V&) const>(&V::operator+)>::call>{"__add__"},
    Method<member<static_cast<V (V::*)(const V&) const>(&V::operator-)>::call>{"__sub__"},
    Method<member<&V::operator*>::call>{"__mul__"},
    Method<member<&V::operator/>::call>{"__truediv__"},
    Method<member<&V::dot>::call>{"dot"},
    Method<member<&V::cross>::call>{"cross"},
    Method<member<&V::magnitude>::call>{"magnitude"},
    Method<member<&V::normalize>::call>{"normalize"},
    Method<member<&V::distance>::call>{"distance"},
    Method<member<&V::angle>::call>{"angle"},
    Method<member<&V::reflect>::call>{"reflect"},
    Method<member<&V::project>::call>{"project"},
    Method<member<&V::to_list>::call>{"to_list"},
};

}  // namespace rules
}  // namespace orbelon
