/* Python 3.8's Python.h includes <crypt.h>, which glibc moved out to a
 * library of its own and zig's glibc headers do not carry. The module uses
 * nothing from it, so for the wheel builds an empty header stands in; see
 * scripts/zig-cxx, which puts this folder last on the include path. */
#ifndef ORBELON_CRYPT_H_STANDIN
#define ORBELON_CRYPT_H_STANDIN
#endif
