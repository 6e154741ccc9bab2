#define KC_NUMPY_OWNER
#include "core/pyutil.hpp"

#include <cstring>
#include "core/numpy.hpp"

#include <frameobject.h>

#include <pthread.h>

#include <algorithm>
#include <cstdarg>
#include <unordered_map>

namespace kc {

namespace {

// The lowest stack address this thread's native calls may reach before they
// give up: the bottom of its stack plus a reserve for the Python and C code
// that runs between two of our entry points.  Stacks grow down here.
const char *stack_floor() {
    thread_local const char *floor = nullptr;
    if (!floor) {
        floor = reinterpret_cast<const char *>(1); // unknown stack: no check
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void *base = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &base, &size) == 0 && base && size)
                floor = static_cast<const char *>(base) + std::min<size_t>(size / 4, 512 * 1024);
            pthread_attr_destroy(&attr);
        }
    }
    return floor;
}

} // namespace

bool NativeDepth::stack_nearly_exhausted() {
    return static_cast<const char *>(__builtin_frame_address(0)) < stack_floor();
}

// The message is made first: when a value's repr or str fails, that error is
// the one raised (Python 3.10's PyErr_Format would replace it by an empty
// ValueError).
static void set_formatted_error(PyObject *type, const char *fmt, va_list ap) {
    PyObject *message = PyUnicode_FromFormatV(fmt, ap);
    if (message) {
        PyErr_SetObject(type, message);
        Py_DECREF(message);
    }
}

PyObject *format_error(PyObject *type, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    set_formatted_error(type, fmt, ap);
    va_end(ap);
    return nullptr;
}

void raise(PyObject *type, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    set_formatted_error(type, fmt, ap);
    va_end(ap);
    throw_current();
}

void raise_text(PyObject *type, const char *utf8) {
    PyObject *text = PyUnicode_FromString(utf8);
    if (text) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    throw_current();
}

void set_error_from(const nb::builtin_exception &e) {
    using nb::exception_type;
    PyObject *type = PyExc_RuntimeError;
    switch (e.type()) {
        case exception_type::stop_iteration:
            type = PyExc_StopIteration;
            break;
        case exception_type::index_error:
            type = PyExc_IndexError;
            break;
        case exception_type::key_error:
            type = PyExc_KeyError;
            break;
        case exception_type::value_error:
            type = PyExc_ValueError;
            break;
        case exception_type::type_error:
            type = PyExc_TypeError;
            break;
        case exception_type::buffer_error:
            type = PyExc_BufferError;
            break;
        case exception_type::import_error:
            type = PyExc_ImportError;
            break;
        case exception_type::attribute_error:
            type = PyExc_AttributeError;
            break;
        default:
            break;
    }
    PyErr_SetString(type, e.what());
}

// One code object per traceback site, built on first use.  Code objects and
// the empty globals are ours: they hold no host object.
void add_traceback(const char *qualname, const char *source, int line) {
    static std::unordered_map<const char *, PyCodeObject *> codes;
    static PyObject *globals = nullptr;

    TakenError error;

    PyCodeObject *&code = codes[qualname];
    if (!code)
        code = PyCode_NewEmpty(source, qualname, line);
    if (!globals)
        globals = PyDict_New();
    PyFrameObject *frame = nullptr;
    if (code && globals)
        frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    if (!frame) {
        // Building the entry failed: keep the original error, which matters more.
        PyErr_Clear();
        error.restore();
        return;
    }
    error.restore();
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

nb::object call_kw(nb::handle callable, std::initializer_list<nb::handle> args, std::initializer_list<Kw> kwargs) {
    const size_t na = args.size(), nk = kwargs.size();
    PyObject *stack[16];
    if (na + nk + 1 > 16)
        raise(PyExc_SystemError, "too many call arguments");
    size_t i = 1;
    for (nb::handle a : args)
        stack[i++] = a.ptr();
    nb::object names = steal(PyTuple_New((Py_ssize_t)nk));
    size_t k = 0;
    for (const Kw &kw : kwargs) {
        PyObject *name = kw.name.get();
        Py_INCREF(name);
        PyTuple_SET_ITEM(names.ptr(), (Py_ssize_t)k++, name);
        stack[i++] = kw.value.ptr();
    }
    return steal(PyObject_Vectorcall(callable.ptr(), stack + 1, na | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nk ? names.ptr() : nullptr));
}

nb::object getattr_or(nb::handle o, nb::handle name, nb::handle dflt) {
    PyObject *value = PyObject_GetAttr(o.ptr(), name.ptr());
    if (value)
        return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw_current();
    PyErr_Clear();
    return nb::borrow(dflt);
}

bool is_nan(nb::handle o) {
    if (PyFloat_CheckExact(o.ptr()))
        return PyFloat_AS_DOUBLE(o.ptr()) != PyFloat_AS_DOUBLE(o.ptr());
    if (PyLong_CheckExact(o.ptr()))
        return false;
    double d = as_double(o);
    return d != d;
}

bool is_integer_scalar(nb::handle o) {
    PyObject *p = o.ptr();
    if (PyBool_Check(p))
        return false;
    return PyLong_Check(p) || PyArray_IsScalar(p, Integer);
}

bool is_real_scalar(nb::handle o) {
    PyObject *p = o.ptr();
    return PyFloat_Check(p) || PyArray_IsScalar(p, Floating);
}

void unpack(nb::handle seq, size_t n, nb::object *out) {
    if (PyTuple_CheckExact(seq.ptr()) && (size_t)PyTuple_GET_SIZE(seq.ptr()) == n) {
        for (size_t i = 0; i < n; ++i)
            out[i] = nb::borrow(PyTuple_GET_ITEM(seq.ptr(), (Py_ssize_t)i));
        return;
    }
    nb::object it = nb::steal(PyObject_GetIter(seq.ptr()));
    if (!it.is_valid()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise(PyExc_TypeError, "cannot unpack non-iterable %s object", Py_TYPE(seq.ptr())->tp_name);
        }
        throw_current();
    }
    for (size_t i = 0; i < n; ++i) {
        PyObject *item = PyIter_Next(it.ptr());
        if (!item) {
            if (PyErr_Occurred())
                throw_current();
            raise(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, i);
        }
        out[i] = nb::steal(item);
    }
    PyObject *extra = PyIter_Next(it.ptr());
    if (extra) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
    }
    if (PyErr_Occurred())
        throw_current();
}

nb::object import_from(const char *module, const char *name) {
    nb::object fromlist = steal(Py_BuildValue("(s)", name));
    nb::object mod = steal(PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0));
    PyObject *value = PyObject_GetAttrString(mod.ptr(), name);
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            raise(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
        }
        throw_current();
    }
    return nb::steal(value);
}

void ModuleNamespace::bind(nb::handle module) {
    PyObject *dict = PyModule_GetDict(module.ptr());
    if (!dict)
        throw_current();
    // The module is kept (not just its dict), so that interpreter shutdown,
    // which clears the globals of every module still alive, clears ours too.
    Py_INCREF(module.ptr());
    Py_XDECREF(module_);
    module_ = module.ptr();
    dict_ = dict;
}

nb::object ModuleNamespace::get(Name &name) const {
    Name::Global &g = name.global;
    const unsigned long long version = dict_version(dict_);
    if (g.dict == dict_ && g.version == version && version != 0)
        return nb::borrow(g.value);
    const bool plain = only_str_keys(dict_); // then the lookup runs no Python code
    PyObject *value = PyDict_GetItemWithError(dict_, name.get());
    if (!value) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name.text);
        throw_current();
    }
    if (plain && dict_version(dict_) == version) {
        g.dict = dict_;
        g.version = version;
        g.value = value;
    }
    return nb::borrow(value);
}

PyObject *relearn_attr(Name &n, PyObject *dict) {
    const unsigned long long version = dict_version(dict);
    if (version == 0 || !only_str_keys(dict))
        return nullptr;
    PyObject *value = PyDict_GetItemWithError(dict, n.get()); // runs no Python code: str keys only
    if (!value) {
        PyErr_Clear(); // no longer there: the full lookup tells why
        return nullptr;
    }
    n.attr.dict_version = version;
    n.attr.value = value;
    return value;
}

void learn_attr(PyObject *o, Name &n, PyObject *value) {
    PyTypeObject *tp = Py_TYPE(o);
    PyObject *dict = own_attr_dict(o, tp);
    if (!dict || !PyDict_CheckExact(dict) || type_lookup(tp, n.get()))
        return;
    const unsigned int type_version = valid_version(tp);
    const unsigned long long version = dict_version(dict);
    if (type_version == 0 || version == 0 || !only_str_keys(dict))
        return;
    if (PyDict_GetItemWithError(dict, n.get()) != value) { // found elsewhere (or not at all)
        PyErr_Clear();
        return;
    }
    Name::Attr &a = n.attr;
    a.owner = o;
    a.type = tp;
    a.type_version = type_version;
    a.dict = dict;
    a.dict_version = version;
    a.value = value;
}

nb::object ModuleNamespace::get_or_none(Name &name) const {
    PyObject *value = PyDict_GetItemWithError(dict_, name.get());
    if (!value) {
        if (PyErr_Occurred())
            throw_current();
        return nb::none();
    }
    return nb::borrow(value);
}

void ModuleNamespace::set(Name &name, nb::handle value) const {
    if (PyDict_SetItem(dict_, name.get(), value.ptr()) != 0)
        throw_current();
}

void import_numpy() {
    if (_import_array() < 0)
        throw_current();
    narrow_float_types[0] = &PyFloatArrType_Type;
    narrow_float_types[1] = &PyHalfArrType_Type;
    ndarray_type = &PyArray_Type;
    int64_scalar_type = sizeof(long) == 8 ? &PyLongArrType_Type : &PyLongLongArrType_Type;
}

PyTypeObject *narrow_float_types[2] = {nullptr, nullptr};
PyTypeObject *ndarray_type = nullptr;
PyTypeObject *int64_scalar_type = nullptr;

long long int64_scalar_value(PyObject *o) {
    npy_int64 v;
    PyArray_ScalarAsCtype(o, &v);
    return (long long)v;
}

namespace {
// The one value of a one-element float64 or int64 array (native order).
bool one_value(PyObject *o, double &d, long long &i, bool &is_int) {
    if (Py_TYPE(o) != ndarray_type)
        return false;
    auto *a = reinterpret_cast<PyArrayObject *>(o);
    if (PyArray_SIZE(a) != 1 || !PyArray_ISNOTSWAPPED(a))
        return false;
    const int type = PyArray_TYPE(a);
    if (type == NPY_DOUBLE) {
        std::memcpy(&d, PyArray_DATA(a), sizeof d);
        is_int = false;
        return true;
    }
    if (type == NPY_LONG || type == NPY_LONGLONG) {
        std::memcpy(&i, PyArray_DATA(a), sizeof i);
        is_int = true;
        return true;
    }
    return false;
}

// A Python float, or a Python int that a double holds exactly (|v| <= 2**53).
bool plain_value(PyObject *o, double &d, long long &i, bool &is_int) {
    if (PyFloat_CheckExact(o)) {
        d = PyFloat_AS_DOUBLE(o);
        is_int = false;
        return true;
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        i = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow || (i == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
        if (i > (1LL << 53) || i < -(1LL << 53))
            return false;
        is_int = true;
        return true;
    }
    return false;
}

template <class T>
bool apply(T a, T b, int op) {
    switch (op) {
        case Py_LT:
            return a < b;
        case Py_LE:
            return a <= b;
        case Py_EQ:
            return a == b;
        case Py_NE:
            return a != b;
        case Py_GT:
            return a > b;
        default:
            return a >= b;
    }
}
} // namespace

bool compare_one_element(PyObject *a, PyObject *b, int op, bool &result) {
    double da = 0, db = 0;
    long long ia = 0, ib = 0;
    bool a_int = false, b_int = false;
    if (!(one_value(a, da, ia, a_int) ? plain_value(b, db, ib, b_int)
                                      : (plain_value(a, da, ia, a_int) && one_value(b, db, ib, b_int))))
        return false;
    // numpy compares an int64 with an int as integers, anything else as doubles.
    if (a_int && b_int)
        result = apply(ia, ib, op);
    else
        result = apply(a_int ? (double)ia : da, b_int ? (double)ib : db, op);
    return true;
}

bool is_narrow_float_subtype(PyTypeObject *tp) {
    return narrow_float_types[0] &&
           (PyType_IsSubtype(tp, narrow_float_types[0]) || PyType_IsSubtype(tp, narrow_float_types[1]));
}

double narrow_float_value(PyObject *o) {
    if (PyArray_IsScalar(o, Float))
        return (double)PyArrayScalar_VAL(o, Float);
    return as_double(o); // float16: numpy converts it exactly
}

nb::object float64_scalar(double d) {
    PyObject *out = PyArrayScalar_New(Double);
    if (!out)
        throw_current();
    PyArrayScalar_ASSIGN(out, Double, d);
    return nb::steal(out);
}

nb::object widened(nb::handle o, nb::handle other) {
    if (!is_narrow_float(o.ptr()) || PyArray_Check(other.ptr()))
        return nb::borrow(o);
    return float64_scalar(narrow_float_value(o.ptr()));
}

bool assertions_enabled() {
    static int enabled = -1;
    if (enabled < 0) {
        PyObject *flags = PySys_GetObject("flags"); // borrowed
        if (!flags)
            raise(PyExc_RuntimeError, "sys.flags is missing");
        nb::object optimize = steal(PyObject_GetAttrString(flags, "optimize"));
        enabled = truthy(optimize) ? 0 : 1;
    }
    return enabled == 1;
}

} // namespace kc

namespace kc {

void select_equal(Name &field, PyObject *const *records, Py_ssize_t count, nb::handle wanted, nb::handle out) {
    FieldReader read(field);
    FieldEquals same(field, wanted);
    long long value;
    const bool plain = plain_int_value(wanted.ptr(), value);
    Py_ssize_t i = 0;
    while (i < count) {
        if (plain && read.can_peek(records[i])) {
            // No host code runs in this loop, so the type learnt stays as it is.
            PyTypeObject *tp = Py_TYPE(records[i]);
            const Py_ssize_t offset = read.offset();
            for (; i < count; ++i) {
                PyObject *record = records[i];
                if (Py_TYPE(record) != tp)
                    break;
                PyObject *id = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(record) + offset);
                long long v;
                if (!id || !plain_int_value(id, v))
                    break;
                if (v == value)
                    append(out, record);
            }
            if (i == count)
                break;
        }
        // This record the general way; it may run host code, so a run starts over after it.
        if (same(records[i]))
            append(out, records[i]);
        ++i;
    }
}

} // namespace kc
