#include "core/decimal.hpp"

#include <charconv>
#include <cstring>
#include <system_error>

namespace kc {

namespace {

using u128 = unsigned __int128;

constexpr int MAX_DIGITS = 36;     // every scaled operand stays below 10^36 < 2^127
constexpr int CONTEXT_DIGITS = 28; // precision of Python's default decimal context

u128 pow10(int k) {
    u128 r = 1;
    while (k-- > 0)
        r *= 10;
    return r;
}

int digit_count(u128 v) {
    int n = 1;
    while (v >= 10) {
        v /= 10;
        ++n;
    }
    return n;
}

// Parses the output of std::to_chars: [-]digits[.digits][e[+-]digits].
Decimal10 parse(const char *s, const char *end) {
    Decimal10 d;
    if (s < end && *s == '-') {
        d.neg = true;
        ++s;
    }
    int fraction_digits = 0;
    bool in_fraction = false;
    for (; s < end && *s != 'e'; ++s) {
        if (*s == '.') {
            in_fraction = true;
            continue;
        }
        d.coef = d.coef * 10 + (std::uint64_t)(*s - '0');
        if (in_fraction)
            ++fraction_digits;
    }
    int exponent = 0;
    if (s < end && *s == 'e')
        std::from_chars(s + 1 + (s[1] == '+'), end, exponent);
    d.exp = exponent - fraction_digits;
    if (d.coef == 0) {
        d.exp = 0;
        return d;
    }
    while (d.coef % 10 == 0) {
        d.coef /= 10;
        ++d.exp;
    }
    return d;
}

// Scientific notation gives the shortest round-trip digits at any magnitude
// (the plain form writes large integral values out exactly instead).
template <class F>
Decimal10 shortest_of(F v) {
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    return parse(buf, res.ptr);
}

// Writes v * 10^exp as text and reads the nearest double back.
double to_double(u128 v, int exp) {
    char buf[80];
    char digits[48];
    int n = 0;
    do {
        digits[n++] = (char)('0' + (int)(v % 10));
        v /= 10;
    } while (v);
    int k = 0;
    while (n)
        buf[k++] = digits[--n];
    buf[k++] = 'e';
    auto res = std::to_chars(buf + k, buf + sizeof buf, exp);
    double out = 0;
    std::from_chars(buf, res.ptr, out);
    return out;
}

} // namespace

Decimal10 shortest_decimal(double v) { return shortest_of(v); }
Decimal10 shortest_decimal(float v) { return shortest_of(v); }

Decimal10 integer_decimal(long long v) {
    Decimal10 d;
    d.neg = v < 0;
    d.coef = d.neg ? (std::uint64_t)0 - (std::uint64_t)v : (std::uint64_t)v;
    if (d.coef == 0)
        return d;
    while (d.coef % 10 == 0) {
        d.coef /= 10;
        ++d.exp;
    }
    return d;
}

namespace {

// The multiple of step next to p, down or up, as step_down and step_up say.
bool step_to(const Decimal10 &p, const Decimal10 &step, bool up, double &out) {
    if (p.neg || step.neg || p.coef == 0 || step.coef == 0)
        return false;
    // Both operands as integers at their common exponent.
    const int e = p.exp < step.exp ? p.exp : step.exp;
    const int p_shift = p.exp - e, s_shift = step.exp - e;
    if (digit_count(p.coef) + p_shift > MAX_DIGITS || digit_count(step.coef) + s_shift > MAX_DIGITS)
        return false;
    const u128 a = (u128)p.coef * pow10(p_shift);
    const u128 b = (u128)step.coef * pow10(s_shift);
    const u128 q = a / b;
    if (q >= pow10(CONTEXT_DIGITS))
        return false; // the decimal module refuses such a division
    u128 r = q * b;
    if (up && r != a) {
        r += b; // below 10^36 + 10^36 < 2^127
        if (digit_count(r) > MAX_DIGITS)
            return false;
    }
    // Python writes integral floats with a ".0", so its operands may carry an
    // exponent down to -1 below ours: the exact result must fit the context
    // precision even at that exponent, or Python would round it.
    const int python_exp = e < -1 ? e : -1;
    if (r != 0 && digit_count(r) + (e - python_exp) > CONTEXT_DIGITS)
        return false;
    out = r == 0 ? 0.0 : to_double(r, e);
    return true;
}

} // namespace

bool step_down(const Decimal10 &p, const Decimal10 &step, double &out) { return step_to(p, step, false, out); }

bool step_up(const Decimal10 &p, const Decimal10 &step, double &out) { return step_to(p, step, true, out); }

namespace {

// Both coefficients as integers at their common (the smaller) exponent `e`;
// false when either would need more than MAX_DIGITS digits.
bool aligned(const Decimal10 &a, const Decimal10 &b, u128 &x, u128 &y, int &e) {
    e = a.exp < b.exp ? a.exp : b.exp;
    const int a_shift = a.exp - e, b_shift = b.exp - e;
    if ((a.coef && digit_count(a.coef) + a_shift > MAX_DIGITS) ||
        (b.coef && digit_count(b.coef) + b_shift > MAX_DIGITS))
        return false;
    x = (u128)a.coef * pow10(a.coef ? a_shift : 0);
    y = (u128)b.coef * pow10(b.coef ? b_shift : 0);
    return true;
}

} // namespace

bool is_multiple(const Decimal10 &v, const Decimal10 &step, bool &out) {
    if (step.coef == 0)
        return false;
    if (v.coef == 0) {
        out = true;
        return true;
    }
    u128 x, y;
    int e;
    if (!aligned(v, step, x, y, e))
        return false;
    out = x % y == 0;
    return true;
}

bool add_exact(const Decimal10 &a, const Decimal10 &b, double &out) {
    u128 x, y;
    int e;
    if (!aligned(a, b, x, y, e))
        return false;
    // Below 10^36 each, so a sum stays below 2^127.
    bool neg;
    u128 r;
    if (a.neg == b.neg) {
        r = x + y;
        neg = a.neg;
    } else if (x >= y) {
        r = x - y;
        neg = a.neg;
    } else {
        r = y - x;
        neg = b.neg;
    }
    if (r == 0) {
        out = 0.0;
        return true;
    }
    out = to_double(r, e);
    if (neg)
        out = -out;
    return true;
}

int compare(const Decimal10 &a, const Decimal10 &b) {
    const bool a_zero = a.coef == 0, b_zero = b.coef == 0;
    if (a_zero && b_zero)
        return 0;
    const int a_sign = a_zero ? 0 : (a.neg ? -1 : 1);
    const int b_sign = b_zero ? 0 : (b.neg ? -1 : 1);
    if (a_sign != b_sign)
        return a_sign < b_sign ? -1 : 1;
    // Same sign, both non-zero: compare magnitudes.
    const int a_mag = digit_count(a.coef) + a.exp, b_mag = digit_count(b.coef) + b.exp;
    int m;
    if (a_mag != b_mag) {
        m = a_mag < b_mag ? -1 : 1;
    } else {
        // Same order of magnitude: align both coefficients to 20 digits.
        const u128 x = (u128)a.coef * pow10(20 - digit_count(a.coef));
        const u128 y = (u128)b.coef * pow10(20 - digit_count(b.coef));
        m = x == y ? 0 : (x < y ? -1 : 1);
    }
    return a_sign < 0 ? -m : m;
}

} // namespace kc
