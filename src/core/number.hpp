// Python number operations with a native fast path.
//
// Host values are usually plain floats and small ints; for those the
// comparisons and the arithmetic run on doubles.  Anything else (numpy
// scalars, big ints, arbitrary objects) goes through Python's number
// protocol, so the result, its type and its errors are exactly Python's,
// except that a numpy float16/float32 scalar operand is first widened to a
// float64 of the same value (see `widened` in core/pyutil.hpp), so that
// results do not depend on the promotion rules of the installed numpy.
#pragma once

#include "core/pyutil.hpp"

namespace kc {

// A float (or float subclass) or an int that a double holds exactly, as a
// double; for comparisons, whose outcome does not depend on the type.
inline bool plain_number(nb::handle a, double &out) {
    PyObject *o = a.ptr();
    if (PyFloat_Check(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (is_narrow_float(o)) {
        out = narrow_float_value(o);
        return true;
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow && v > -(1LL << 53) && v < (1LL << 53)) {
            out = (double)v;
            return true;
        }
        PyErr_Clear();
    }
    return false;
}

inline bool holds(double a, int op, double b) {
    switch (op) {
        case Py_LT:
            return a < b;
        case Py_LE:
            return a <= b;
        case Py_GT:
            return a > b;
        case Py_GE:
            return a >= b;
        case Py_EQ:
            return a == b;
        default:
            return a != b;
    }
}

// `a <op> b` as a truth value, Python semantics.
inline bool test(nb::handle a, int op, nb::handle b) {
    double x, y;
    if (plain_number(a, x) && plain_number(b, y))
        return holds(x, op, y);
    return compare(a, b, op);
}
inline bool test(nb::handle a, int op, double b) {
    double v;
    if (plain_number(a, v))
        return holds(v, op, b);
    return compare(a, py_float(b), op);
}
inline bool test(double a, int op, nb::handle b) {
    double v;
    if (plain_number(b, v))
        return holds(a, op, v);
    return compare(py_float(a), b, op);
}

// Python's `min(a, b)` and `max(a, b)`: the first unless the second is
// strictly smaller (larger).
inline nb::object py_min(nb::handle a, nb::handle b) { return nb::borrow(test(b, Py_LT, a) ? b : a); }
inline nb::object py_max(nb::handle a, nb::handle b) { return nb::borrow(test(b, Py_GT, a) ? b : a); }

// Operands whose Python result is a plain float computed on doubles: an
// exact float with an exact float or a small int, in either order.
inline bool float_operands(nb::handle a, nb::handle b, double &x, double &y) {
    const bool fa = PyFloat_CheckExact(a.ptr()), fb = PyFloat_CheckExact(b.ptr());
    if (!(fa || fb) || !(fa || PyLong_CheckExact(a.ptr())) || !(fb || PyLong_CheckExact(b.ptr())))
        return false;
    return plain_number(a, x) && plain_number(b, y);
}

// Python's `a <op> b` for a number-protocol binary operation, with narrow
// float scalars widened first.
inline nb::object binary(binaryfunc op, nb::handle a, nb::handle b) {
    if (is_narrow_float(a.ptr()) || is_narrow_float(b.ptr()))
        return steal(op(widened(a, b).ptr(), widened(b, a).ptr()));
    return steal(op(a.ptr(), b.ptr()));
}

// `a + b`, `a - b`, `a * b`, `a / b`, `a % b`, and `a += b` (the augmented
// assignment's result, which for numbers is the new value).
inline nb::object add(nb::handle a, nb::handle b) {
    double x, y;
    if (float_operands(a, b, x, y))
        return py_float(x + y);
    return binary(PyNumber_Add, a, b);
}
inline nb::object sub(nb::handle a, nb::handle b) {
    double x, y;
    if (float_operands(a, b, x, y))
        return py_float(x - y);
    return binary(PyNumber_Subtract, a, b);
}
inline nb::object mul(nb::handle a, nb::handle b) {
    double x, y;
    if (float_operands(a, b, x, y))
        return py_float(x * y);
    return binary(PyNumber_Multiply, a, b);
}
inline nb::object div(nb::handle a, nb::handle b) {
    double x, y;
    if (float_operands(a, b, x, y) && y != 0)
        return py_float(x / y);
    return binary(PyNumber_TrueDivide, a, b);
}
inline nb::object rem(nb::handle a, nb::handle b) { return binary(PyNumber_Remainder, a, b); }
inline nb::object iadd(nb::handle a, nb::handle b) {
    double x, y;
    if (float_operands(a, b, x, y))
        return py_float(x + y);
    return binary(PyNumber_InPlaceAdd, a, b);
}

} // namespace kc
