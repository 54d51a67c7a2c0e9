/* Forced into every translation unit of the wheel builds by scripts/zig-cxx.
 *
 * zig links its own runtime library into every module it builds, and that
 * library defines sin, cos, tan, exp, log and more of the C maths functions.
 * A definition linked into the module beats one from a shared library, so the
 * module would compute with zig's versions, which differ from the C library's
 * in the last bit for some arguments (exp(1.0) is one). The module's results
 * are the C library's, so each maths function is bound here to the shared C
 * library by its symbol version, which zig's runtime does not carry.
 * The version is the first each architecture has: GLIBC_2.2.5 on x86-64 and
 * GLIBC_2.17 on aarch64 (its first glibc), so an old glibc has them all.
 *
 * A .symver on a name the file never uses is dropped by the assembler, so
 * the list can name more functions than the module calls.
 */
#ifndef ORBELON_LIBM_H
#define ORBELON_LIBM_H

#if defined(__x86_64__)
#define ORBELON_LIBM_VERSION "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define ORBELON_LIBM_VERSION "GLIBC_2.17"
#else
#error "orbelon-libm.h knows the first maths symbol version of x86-64 and aarch64 only"
#endif

#define ORBELON_FROM_LIBC(name) __asm__(".symver " #name "," #name "@" ORBELON_LIBM_VERSION);
#define ORBELON_FROM_LIBC_BOTH(name) ORBELON_FROM_LIBC(name) ORBELON_FROM_LIBC(name##f)

ORBELON_FROM_LIBC_BOTH(sin)
ORBELON_FROM_LIBC_BOTH(cos)
ORBELON_FROM_LIBC_BOTH(tan)
ORBELON_FROM_LIBC_BOTH(sincos)
ORBELON_FROM_LIBC_BOTH(asin)
ORBELON_FROM_LIBC_BOTH(acos)
ORBELON_FROM_LIBC_BOTH(atan)
ORBELON_FROM_LIBC_BOTH(atan2)
ORBELON_FROM_LIBC_BOTH(sinh)
ORBELON_FROM_LIBC_BOTH(cosh)
ORBELON_FROM_LIBC_BOTH(tanh)
ORBELON_FROM_LIBC_BOTH(asinh)
ORBELON_FROM_LIBC_BOTH(acosh)
ORBELON_FROM_LIBC_BOTH(atanh)
ORBELON_FROM_LIBC_BOTH(exp)
ORBELON_FROM_LIBC_BOTH(exp2)
ORBELON_FROM_LIBC_BOTH(expm1)
ORBELON_FROM_LIBC_BOTH(log)
ORBELON_FROM_LIBC_BOTH(log2)
ORBELON_FROM_LIBC_BOTH(log10)
ORBELON_FROM_LIBC_BOTH(log1p)
ORBELON_FROM_LIBC_BOTH(pow)
ORBELON_FROM_LIBC_BOTH(cbrt)
ORBELON_FROM_LIBC_BOTH(hypot)
ORBELON_FROM_LIBC_BOTH(erf)
ORBELON_FROM_LIBC_BOTH(erfc)
ORBELON_FROM_LIBC_BOTH(tgamma)
ORBELON_FROM_LIBC_BOTH(lgamma)

#undef ORBELON_FROM_LIBC_BOTH
#undef ORBELON_FROM_LIBC
#undef ORBELON_LIBM_VERSION
#endif
