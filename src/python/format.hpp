// Number text for representations: a double exactly as printf's "%f" writes it.
#pragma once

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace orbelon {

// Writes v into out (at least 330 bytes: "%f" of the largest double) and
// returns the length. Below 2^53 in magnitude — nearly every number people
// print — the digits come from integer arithmetic on the exact binary value:
// v = m·2^-s, so v·10^6 = m·10^6 / 2^s, rounded half to even, is the six-
// decimal fixed text, the same correctly rounded digits the C library gives,
// several times faster. Larger magnitudes, infinities and NaN (whose sign the
// C library spells as "-nan") are left to the C library, and so is every
// number while the rounding mode is not to-nearest: the C library rounds the
// last decimal in the current mode.
inline int format_fixed(char* out, std::size_t size, double v) {
    const double a = std::fabs(v);
    if (!std::isless(a, 9007199254740992.0) || std::fegetround() != FE_TONEAREST)
        return std::snprintf(out, size, "%f", v);

    int e = 0;
    const double m = std::frexp(a, &e);  // a = m·2^e, 0.5 ≤ m < 1 (or a = 0)
    const auto mant = static_cast<std::uint64_t>(std::ldexp(m, 53));
    const int s = 53 - e;  // a = mant·2^-s with s ≥ 0, since a < 2^53
    const unsigned __int128 p = static_cast<unsigned __int128>(mant) * 1000000u;  // < 2^73
    unsigned __int128 q = 0;
    if (s == 0) {
        q = p;
    } else if (s < 74) {  // from 74 on, p is below half a unit: it rounds to 0
        q = p >> s;
        const unsigned __int128 rem = p - (q << s), half = static_cast<unsigned __int128>(1) << (s - 1);
        if (rem > half || (rem == half && (q & 1))) ++q;
    }

    char digits[32];
    int n = 0;
    auto whole = static_cast<std::uint64_t>(q / 1000000u);
    auto frac = static_cast<std::uint32_t>(q % 1000000u);
    for (int i = 0; i < 6; ++i, frac /= 10) digits[n++] = static_cast<char>('0' + frac % 10);
    digits[n++] = '.';
    do {
        digits[n++] = static_cast<char>('0' + whole % 10);
        whole /= 10;
    } while (whole);
    if (std::signbit(v)) digits[n++] = '-';

    int len = 0;
    while (n > 0 && static_cast<std::size_t>(len) + 1 < size) out[len++] = digits[--n];
    out[len] = '\0';
    return len;
}

}  // namespace orbelon
