// korvit.native.mft_to_datetime: host time values (seconds since 1970-01-01,
// naive) to `datetime`s, as `tframe.utils.datetimefunc` converts them; that
// module installs it under its public name and keeps its Python function
// (`_py_mft_to_datetime`) as the reference.
//
// Each value becomes the nearest whole number of microseconds (ties to even)
// exactly: a finite double below 2**39 in magnitude is m * 2**e with m below
// 2**53, so m * 10**6 fits in 128 bits and the rounding is one integer
// division; anything larger lies outside datetime's range.  The date-time is
// made from the day number and the time of day through the datetime C API.
//
// Exact lists and tuples of Python floats and ints and numpy's own scalars,
// and plain numpy arrays of bool, integer and float16/32/64 dtypes, are
// converted here.  Anything else (subclasses, other scalars or dtypes,
// byte-swapped arrays) sends the whole call to the reference before any value
// is converted or any error raised, so it behaves exactly as there.
#define KC_SOURCE "src/native/timefunc.cpp"
#include "native/timefunc.hpp"

#include "core/numpy.hpp"
#include "core/pyutil.hpp"

#include <datetime.h>

#include <cmath>
#include <cstdint>
#include <cstring>

namespace knative {
namespace {

namespace nb = nanobind;
using kc::Name;

Name n_py_mft_to_datetime{"_py_mft_to_datetime"};

constexpr int64_t US = 1000000;
constexpr int64_t US_PER_DAY = 86400 * US;
// datetime(1, 1, 1) and datetime(9999, 12, 31, 23, 59, 59, 999999) in
// microseconds since 1970-01-01.
constexpr int64_t MIN_US = -719162 * US_PER_DAY;
constexpr int64_t MAX_US = 2932897 * US_PER_DAY - 1;
// Seconds beyond which no value lies in that range, whatever its type.
constexpr double FAR_SECONDS = 549755813888.0; // 2**39
constexpr int64_t FAR_SECONDS_INT = 549755813888;

// Thrown (as a C++ value, inside this file only) to hand the call to the reference.
struct Unusual {};

// The reference's namespace, read at every use (the module lives for the process).
nb::object time_reference() {
    static PyObject *dict = nullptr;
    if (!dict) {
        nb::object module = kc::import("korvit.tframe.utils.datetimefunc");
        dict = PyModule_GetDict(module.ptr());
        Py_INCREF(dict);
    }
    PyObject *fn = PyDict_GetItemWithError(dict, n_py_mft_to_datetime.get());
    if (!fn) {
        if (PyErr_Occurred())
            kc::throw_current();
        kc::raise(PyExc_NameError, "name '%s' is not defined", n_py_mft_to_datetime.text);
    }
    return nb::borrow(fn);
}

[[noreturn]] void raise_with_repr(PyObject *type, const char *before, nb::handle value, const char *after) {
    nb::object r = kc::steal(PyObject_Repr(value.ptr()));
    const char *text = PyUnicode_AsUTF8(r.ptr());
    if (!text)
        kc::throw_current();
    kc::raise(type, "%s%s%s", before, text, after);
}

[[noreturn]] void not_a_number(nb::handle shown) {
    raise_with_repr(PyExc_TypeError, "a time value must be a number, got ", shown, "");
}

[[noreturn]] void outside(nb::handle shown) {
    raise_with_repr(PyExc_ValueError, "time value ", shown, " lies outside the datetime range");
}

// A value read from an element: an integer or a double, or out of range.
struct Seconds {
    enum Kind { Int, Real, Far } kind;
    int64_t i = 0;
    double d = 0.0;
};

Seconds from_int(int64_t v) {
    if (v > FAR_SECONDS_INT || v < -FAR_SECONDS_INT)
        return {Seconds::Far};
    return {Seconds::Int, v};
}

Seconds from_uint(uint64_t v) {
    if (v > (uint64_t)FAR_SECONDS_INT)
        return {Seconds::Far};
    return {Seconds::Int, (int64_t)v};
}

Seconds from_double(double d) { return {Seconds::Real, 0, d}; }

// The whole microseconds nearest to finite `d` seconds, ties to even; false
// when they lie beyond FAR_SECONDS.
bool microseconds(double d, int64_t &out) {
    if (!(std::fabs(d) < FAR_SECONDS))
        return false;
    int exp;
    double frac = std::frexp(std::fabs(d), &exp); // |d| = frac * 2**exp, frac in [0.5, 1)
    int64_t mant = (int64_t)std::ldexp(frac, 53); // exact: |d| = mant * 2**(exp - 53)
    int shift = 53 - exp;                         // |d| = mant / 2**shift
    __int128 num = (__int128)mant * US;
    int64_t q;
    if (shift <= 0) {
        q = (int64_t)(num << -shift); // below 2**39 * 10**6: fits
    } else if (shift >= 120) {
        q = 0; // num < 2**73: far below half a microsecond
    } else {
        __int128 den = (__int128)1 << shift;
        __int128 whole = num >> shift;
        __int128 rest = num - (whole << shift);
        if (2 * rest > den || (2 * rest == den && (whole & 1)))
            ++whole;
        q = (int64_t)whole;
    }
    out = d < 0 ? -q : q;
    return true;
}

// The datetime `us` microseconds after 1970-01-01 (in range).
PyObject *make_datetime(int64_t us) {
    int64_t days = us / US_PER_DAY, rest = us % US_PER_DAY;
    if (rest < 0) {
        rest += US_PER_DAY;
        --days;
    }
    // Civil date of a day number (days since 1970-01-01), proleptic Gregorian.
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int day = (int)(doy - (153 * mp + 2) / 5 + 1);
    int month = (int)(mp < 10 ? mp + 3 : mp - 9);
    int year = (int)(yoe + era * 400 + (month <= 2));
    int64_t secs = rest / US;
    return PyDateTimeAPI->DateTime_FromDateAndTime(year, month, day, (int)(secs / 3600), (int)(secs / 60 % 60),
                                                   (int)(secs % 60), (int)(rest % US), Py_None,
                                                   PyDateTimeAPI->DateTimeType);
}

// The datetime of one value.  `shown()` gives the value the reference names
// in its range error; a NaN or infinity is named as the float it is.
template <class Shown>
PyObject *convert(const Seconds &s, Shown &&shown) {
    int64_t us = 0;
    if (s.kind == Seconds::Far) {
        outside(shown());
    } else if (s.kind == Seconds::Int) {
        us = s.i * US;
    } else {
        if (!std::isfinite(s.d))
            raise_with_repr(PyExc_ValueError, "a time value must be finite, got ", kc::py_float(s.d), "");
        if (!microseconds(s.d, us))
            outside(shown());
    }
    if (us < MIN_US || us > MAX_US)
        outside(shown());
    PyObject *dt = make_datetime(us);
    if (!dt)
        kc::throw_current();
    return dt;
}

// A float16 as the double of its value.
double half_to_double(uint16_t h) {
    int exp = (h >> 10) & 0x1f;
    int mant = h & 0x3ff;
    double v;
    if (exp == 0)
        v = std::ldexp((double)mant, -24);
    else if (exp == 31)
        v = mant ? std::nan("") : HUGE_VAL;
    else
        v = std::ldexp((double)(mant | 0x400), exp - 25);
    return (h & 0x8000) ? -v : v;
}

// One element of a list or tuple.
PyObject *convert_element(PyObject *e) {
    PyTypeObject *tp = Py_TYPE(e);
    auto shown = [e] { return nb::handle(e); };
    if (tp == &PyFloat_Type)
        return convert(from_double(PyFloat_AS_DOUBLE(e)), shown);
    if (tp == &PyLong_Type) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(e, &overflow);
        if (v == -1 && PyErr_Occurred())
            kc::throw_current();
        return convert(overflow ? Seconds{Seconds::Far} : from_int(v), shown);
    }
    if (tp == &PyBool_Type)
        not_a_number(e);
    if (tp == &PyDoubleArrType_Type)
        return convert(from_double(PyArrayScalar_VAL(e, Double)), shown);
    if (tp == &PyFloatArrType_Type)
        return convert(from_double(PyArrayScalar_VAL(e, Float)), shown);
    if (tp == &PyHalfArrType_Type)
        return convert(from_double(half_to_double(PyArrayScalar_VAL(e, Half))), shown);
    if (tp == &PyBoolArrType_Type)
        not_a_number(nb::handle(PyArrayScalar_VAL(e, Bool) ? Py_True : Py_False));
#define KN_INT_SCALAR(Name, from)                                                                                      \
    if (tp == &Py##Name##ArrType_Type)                                                                                 \
        return convert(from(PyArrayScalar_VAL(e, Name)), shown);
    KN_INT_SCALAR(Byte, from_int)
    KN_INT_SCALAR(Short, from_int)
    KN_INT_SCALAR(Int, from_int)
    KN_INT_SCALAR(Long, from_int)
    KN_INT_SCALAR(LongLong, from_int)
    KN_INT_SCALAR(UByte, from_int)
    KN_INT_SCALAR(UShort, from_int)
    KN_INT_SCALAR(UInt, from_uint)
    KN_INT_SCALAR(ULong, from_uint)
    KN_INT_SCALAR(ULongLong, from_uint)
#undef KN_INT_SCALAR
    throw Unusual{};
}

// Whether every element is one this file converts (checked before any is).
bool all_plain(PyObject *const *items, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject *tp = Py_TYPE(items[i]);
        if (tp == &PyFloat_Type || tp == &PyLong_Type || tp == &PyBool_Type)
            continue;
        if (tp == &PyDoubleArrType_Type || tp == &PyFloatArrType_Type || tp == &PyHalfArrType_Type ||
            tp == &PyBoolArrType_Type || tp == &PyByteArrType_Type || tp == &PyShortArrType_Type ||
            tp == &PyIntArrType_Type || tp == &PyLongArrType_Type || tp == &PyLongLongArrType_Type ||
            tp == &PyUByteArrType_Type || tp == &PyUShortArrType_Type || tp == &PyUIntArrType_Type ||
            tp == &PyULongArrType_Type || tp == &PyULongLongArrType_Type)
            continue;
        return false;
    }
    return true;
}

nb::object convert_sequence(PyObject *seq) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    // Made before the items are read: making it may run the garbage
    // collector, whose finalizers may change the list.  Nothing below runs
    // host code (the plain values convert in C).
    nb::object out = kc::steal(PyList_New(n));
    if (PySequence_Fast_GET_SIZE(seq) != n)
        throw Unusual{};
    PyObject *const *items = PySequence_Fast_ITEMS(seq);
    if (!all_plain(items, n))
        throw Unusual{};
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(out.ptr(), i, convert_element(items[i]));
    return out;
}

// An array element as `tolist()` gives it, for an error message.
nb::object array_item(int type_num, const char *p) {
    switch (type_num) {
        case NPY_BOOL:
            return kc::py_bool(*(const npy_bool *)p != 0);
        case NPY_ULONGLONG:
            return kc::steal(PyLong_FromUnsignedLongLong(*(const npy_ulonglong *)p));
        case NPY_ULONG:
            return kc::steal(PyLong_FromUnsignedLong(*(const npy_ulong *)p));
        default:
            break;
    }
    int64_t v;
    switch (type_num) {
        case NPY_BYTE:
            v = *(const npy_byte *)p;
            break;
        case NPY_SHORT:
            v = *(const npy_short *)p;
            break;
        case NPY_INT:
            v = *(const npy_int *)p;
            break;
        case NPY_LONG:
            v = *(const npy_long *)p;
            break;
        case NPY_LONGLONG:
            v = *(const npy_longlong *)p;
            break;
        case NPY_UBYTE:
            v = *(const npy_ubyte *)p;
            break;
        case NPY_USHORT:
            v = *(const npy_ushort *)p;
            break;
        case NPY_UINT:
            v = *(const npy_uint *)p;
            break;
        default:
            v = 0;
            break;
    }
    return kc::py_int(v);
}

Seconds array_value(int type_num, const char *p) {
    switch (type_num) {
        case NPY_DOUBLE:
            return from_double(*(const npy_double *)p);
        case NPY_FLOAT:
            return from_double(*(const npy_float *)p);
        case NPY_HALF:
            return from_double(half_to_double(*(const npy_half *)p));
        case NPY_BYTE:
            return from_int(*(const npy_byte *)p);
        case NPY_SHORT:
            return from_int(*(const npy_short *)p);
        case NPY_INT:
            return from_int(*(const npy_int *)p);
        case NPY_LONG:
            return from_int(*(const npy_long *)p);
        case NPY_LONGLONG:
            return from_int(*(const npy_longlong *)p);
        case NPY_UBYTE:
            return from_int(*(const npy_ubyte *)p);
        case NPY_USHORT:
            return from_int(*(const npy_ushort *)p);
        case NPY_UINT:
            return from_uint(*(const npy_uint *)p);
        case NPY_ULONG:
            return from_uint(*(const npy_ulong *)p);
        case NPY_ULONGLONG:
            return from_uint(*(const npy_ulonglong *)p);
        default:
            throw Unusual{};
    }
}

bool supported_dtype(int type_num) {
    switch (type_num) {
        case NPY_BOOL:
        case NPY_BYTE:
        case NPY_SHORT:
        case NPY_INT:
        case NPY_LONG:
        case NPY_LONGLONG:
        case NPY_UBYTE:
        case NPY_USHORT:
        case NPY_UINT:
        case NPY_ULONG:
        case NPY_ULONGLONG:
        case NPY_HALF:
        case NPY_FLOAT:
        case NPY_DOUBLE:
            return true;
        default:
            return false;
    }
}

nb::object convert_array(PyArrayObject *arr) {
    PyArray_Descr *descr = PyArray_DESCR(arr);
    int type_num = descr->type_num;
    if (!supported_dtype(type_num) || !PyArray_ISNBO(descr->byteorder))
        throw Unusual{};
    // C order, aligned: the order of `ravel().tolist()`.
    nb::object flat = kc::steal(PyArray_FROM_OF((PyObject *)arr, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
    PyArrayObject *a = (PyArrayObject *)flat.ptr();
    const npy_intp n = PyArray_SIZE(a);
    // The list is made before the array is read: the garbage collector that
    // making it may run can run finalizers that change the array in place.
    nb::object out = kc::steal(PyList_New(n));
    if (PyArray_SIZE(a) != n || PyArray_DESCR(a)->type_num != type_num || !PyArray_ISCARRAY_RO(a) ||
        !PyArray_ISNOTSWAPPED(a))
        throw Unusual{};
    const npy_intp step = PyArray_ITEMSIZE(a);
    const char *p = (const char *)PyArray_DATA(a);
    for (npy_intp i = 0; i < n; ++i, p += step) {
        if (type_num == NPY_BOOL)
            not_a_number(array_item(type_num, p));
        Seconds s = array_value(type_num, p);
        PyList_SET_ITEM(out.ptr(), i, convert(s, [&] {
                            return s.kind == Seconds::Real ? kc::py_float(s.d) : array_item(type_num, p);
                        }));
    }
    return out;
}

nb::object mft_to_datetime(PyObject *values) {
    try {
        if (PyArray_CheckExact(values))
            return convert_array((PyArrayObject *)values);
        if (PyList_CheckExact(values) || PyTuple_CheckExact(values))
            return convert_sequence(values);
        if (!PyArray_Check(values) && !PyList_Check(values) && !PyTuple_Check(values))
            raise_with_repr(PyExc_TypeError, "expected a list, tuple or array of time values, got ", nb::handle(values),
                            "");
    } catch (Unusual &) {
    }
    return kc::call(time_reference(), nb::handle(values));
}

PyObject *mft_to_datetime_entry(PyObject *, PyObject *values) {
    try {
        return kc::guarded(KC_SITE("korvit.native.mft_to_datetime"),
                           [&] { return mft_to_datetime(values).release().ptr(); });
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

PyMethodDef mft_def = {"mft_to_datetime", (PyCFunction)mft_to_datetime_entry, METH_O,
                       "mft_to_datetime(values, /)\n--\n\n"
                       "A list with the naive ``datetime`` of each time value (seconds since 1970-01-01), in "
                       "order: the nearest whole microsecond, ties to even."};

} // namespace

void bind_timefunc(nb::module_ &m) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI)
        kc::throw_current();
    nb::object name = kc::py_str("korvit.native");
    m.attr("mft_to_datetime") = kc::steal(PyCFunction_NewEx(&mft_def, nullptr, name.ptr()));
}

} // namespace knative
