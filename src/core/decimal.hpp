// Exact decimal arithmetic on the shortest round-trip text of binary floats.
//
// A price such as 10.27 is meant as the decimal 10.27, not as the binary
// double nearest to it.  These helpers read a float's shortest round-trip
// digits (the text Python's repr gives) and work on them exactly with
// integers, so no binary rounding creeps into price steps or comparisons.
#pragma once

#include <cstdint>

namespace kc {

// A finite decimal (-1)^neg * coef * 10^exp, with coef free of trailing zeros
// (zero is coef 0, exp 0).
struct Decimal10 {
    bool neg = false;
    std::uint64_t coef = 0;
    int exp = 0;
};

// The shortest round-trip decimal of a finite double (Python's repr digits)
// or of a finite float (the digits numpy prints for a float32).
Decimal10 shortest_decimal(double v);
Decimal10 shortest_decimal(float v);

// A decimal from an integer.
Decimal10 integer_decimal(long long v);

// p - (p mod step) for positive p and step, as the double nearest to the exact
// result: the largest multiple of step not above p.  Returns false, leaving
// `out` alone, when the operands leave the range this exact integer method
// covers (28 significant digits, as Python's default decimal context); the
// caller then works with Python's decimal module, which decides those cases.
bool step_down(const Decimal10 &p, const Decimal10 &step, double &out);

// The smallest multiple of step not below p, for positive p and step: p itself
// when it is a multiple, else p - (p mod step) + step; as step_down, false
// when the operands leave the exact integer range (the caller then works with
// Python's decimal module).
bool step_up(const Decimal10 &p, const Decimal10 &step, double &out);

// Whether v is a whole multiple of step (step not zero), exactly: sets `out`
// and returns true, or returns false, leaving `out` alone, when the operands
// leave the range of this exact integer method (the caller then works with
// Python's own exact arithmetic).
bool is_multiple(const Decimal10 &v, const Decimal10 &step, bool &out);

// a + b exactly, as the double nearest to the exact sum; false, leaving `out`
// alone, when the operands leave the exact integer range (as is_multiple).
bool add_exact(const Decimal10 &a, const Decimal10 &b, double &out);

// Exact comparison: -1, 0 or 1 as a <, = or > b.
int compare(const Decimal10 &a, const Decimal10 &b);

} // namespace kc
