// Shared plumbing of the framework's extension modules.
//
// Every exported function runs its body through `guarded`, which turns any
// failure into a Python exception carrying a traceback entry that names the
// module-qualified function.  Module globals are looked up when used (late
// binding), attribute names are interned once, and numpy arrays are read
// through the numpy C API.
#pragma once

#include <nanobind/nanobind.h>

#include "core/capi.hpp"

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <new>
#include <typeinfo>
#include <utility>

namespace kc {

namespace nb = nanobind;

// ---------------------------------------------------------------- errors

// Throws the Python error that is currently set.
[[noreturn]] inline void throw_current() { throw nb::python_error(); }

// Sets a Python error of `type` (printf-style, ASCII format) and throws it.
[[noreturn]] void raise(PyObject *type, const char *fmt, ...);
// Sets a Python error of `type` with a message formatted as PyErr_Format
// formats it (an error of the formatting itself is kept); returns null.
PyObject *format_error(PyObject *type, const char *fmt, ...);
// Sets a Python error of `type` with a fixed UTF-8 message and throws it.
[[noreturn]] void raise_text(PyObject *type, const char *utf8);

// Takes ownership of a new reference returned by the C API; throws when null.
inline nb::object steal(PyObject *result) {
    if (!result)
        throw_current();
    return nb::steal(result);
}

// Sets the Python error matching a nanobind builtin exception.
void set_error_from(const nb::builtin_exception &e);

// Adds a traceback entry `qualname` (shown as file `source`, line `line`)
// to the Python error that is currently set.
void add_traceback(const char *qualname, const char *source, int line);

// One level of native call depth, held while a guarded body runs.  Native
// calls between our functions never pass through the interpreter's own
// recursion check, so each level counts against the recursion limit and
// checks the thread's remaining C stack: endless recursion through native
// code ends in a RecursionError, never in a stack overflow.
class NativeDepth {
public:
    NativeDepth() {
        if (stack_nearly_exhausted())
            raise(PyExc_RecursionError, "maximum recursion depth exceeded (native stack nearly exhausted)");
        if (!level_.enter(" in a native call"))
            throw_current();
    }
    ~NativeDepth() { level_.leave(); }
    NativeDepth(const NativeDepth &) = delete;
    NativeDepth &operator=(const NativeDepth &) = delete;

private:
    static bool stack_nearly_exhausted();
    RecursionLevel level_;
};

// Runs `body`; any failure leaves it as a Python exception with a traceback
// entry for `qualname`.  Nothing of C++ escapes to the interpreter.
template <class F>
auto guarded(const char *qualname, const char *source, int line, F &&body) -> decltype(body()) {
    try {
        NativeDepth depth;
        return body();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        set_error_from(e);
    } catch (std::bad_cast &) {
        PyErr_SetString(PyExc_TypeError, "value of an unexpected type");
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown internal error");
    }
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    add_traceback(qualname, source, line);
    throw nb::python_error();
}

// guard<F>(site): a callable with F's parameters that runs F under
// `guarded`, for binding native functions as Python operations.
template <auto F>
struct Guard;
template <class R, class... A, R (*F)(A...)>
struct Guard<F> {
    static auto make(const char *qualname, const char *source, int line) {
        return [qualname, source, line](A... args) -> R {
            return guarded(qualname, source, line, [&]() -> R { return F(args...); });
        };
    }
};
template <auto F>
auto guard(const char *qualname, const char *source, int line) {
    return Guard<F>::make(qualname, source, line);
}

// ---------------------------------------------------------------- names

// An attribute or global name, interned on first use and kept for the life
// of the process.
struct Name {
    const char *text;
    PyObject *obj = nullptr;
    // What FieldReader learnt of the last record type read under this name:
    // the type, its version tag then, the descriptor found (a reference kept
    // for the process, which also keeps the type) and a slot's offset.
    struct Field {
        PyTypeObject *type = nullptr;
        unsigned int version = 0;
        Py_ssize_t offset = 0; // of a plain object member, else 0
        bool writable = false; // the member can be written in place too
        PyObject *descr = nullptr;
    } field;
    // What class_constant() learnt: the class (kept), its version tag then,
    // and the plain value found (kept).
    struct Constant {
        PyObject *owner = nullptr;
        unsigned int version = 0;
        PyObject *value = nullptr;
    } constant;
    // What getattr() learnt of the last owner read twice in a row under this
    // name whose attribute lives in its own dict (a module, or an instance
    // of a type with a dict slot and the generic attribute lookup) and is no
    // attribute of its type: the owner, its type and the type's version tag,
    // the dict and its version, and the value (borrowed: while the dict is at
    // that version it holds the value; see getattr for the dicts read again
    // at every use).  Nothing is kept alive by it.
    struct Attr {
        PyObject *owner = nullptr;
        PyObject *candidate = nullptr;
        PyTypeObject *type = nullptr;
        unsigned int type_version = 0;
        PyObject *dict = nullptr;
        unsigned long long dict_version = 0;
        PyObject *value = nullptr;
    } attr;
    // What ModuleNamespace::get() learnt: the module's dict, its version
    // then and the value (borrowed, as above).
    struct Global {
        PyObject *dict = nullptr;
        unsigned long long version = 0;
        PyObject *value = nullptr;
    } global;
    // The same for a lookup in another dict that the engine reads by this
    // name (a table of original methods).
    Global entry;
    constexpr explicit Name(const char *t) : text(t) {}
    PyObject *get() {
        if (!obj) {
            obj = PyUnicode_InternFromString(text);
            if (!obj)
                throw_current();
        }
        return obj;
    }
};

// The dict an attribute of `o` is found in by the lookup of its type when
// the type has no attribute of that name: a module's dict, or the dict of an
// instance whose type looks attributes up the generic way; else null.
inline PyObject *own_attr_dict(PyObject *o, PyTypeObject *tp) {
    if (tp == &PyModule_Type)
        return PyModule_GetDict(o);
    if (tp->tp_getattro != PyObject_GenericGetAttr || tp->tp_dictoffset == 0)
        return nullptr;
    if (tp->tp_dictoffset > 0)
        return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + tp->tp_dictoffset);
#if PY_VERSION_HEX < 0x030D0000
    PyObject **slot = instance_dict_slot(o); // a Python class's instance: its dict (made if kept inline)
    return slot ? *slot : nullptr;
#else
    // From 3.13 such a dict may share the instance's inline values, whose
    // writes leave the dict's version as it was: nothing is remembered.
    return nullptr;
#endif
}

void learn_attr(PyObject *o, Name &n, PyObject *value);
PyObject *relearn_attr(Name &n, PyObject *dict);

// Whether the interpreter may release an attribute's old value before it
// moves the dict's version on: the specialised attribute store of 3.11 and
// 3.12 does so for instances whose dict the interpreter manages (a Python
// class's), so that a finalizer run by that release would find the version
// unchanged while the remembered value is being freed.  Every other store
// (a dict's own, and so a module's or a compiled type's instance dict) moves
// the version on first.
inline bool store_releases_first(PyTypeObject *tp) {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030D0000
    return PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT);
#else
    (void)tp;
    return false;
#endif
}

// `o.<n>`.  An attribute that lives in the owner's own dict (see Name::Attr)
// is read from that dict alone while the owner's type has not changed: the
// full lookup would find it there, and reading a dict of str keys runs no
// Python code.  The value is not even read again while the dict keeps its
// version, unless the dict's stores may release the old value first (see
// store_releases_first): such a dict is read at every use.
inline nb::object getattr(nb::handle o, Name &n) {
    Name::Attr &a = n.attr;
    PyObject *op = o.ptr();
    if (op == a.owner) {
        PyTypeObject *tp = Py_TYPE(op);
        if (tp == a.type && valid_version(tp) == a.type_version) {
            PyObject *dict = own_attr_dict(op, tp);
            if (dict == a.dict) {
                if (dict_version(dict) == a.dict_version && !store_releases_first(tp))
                    return nb::borrow(a.value);
                if (PyObject *value = relearn_attr(n, dict))
                    return nb::borrow(value);
            }
        }
    }
    nb::object value = steal(PyObject_GetAttr(op, n.get()));
    if (op == a.candidate)
        learn_attr(op, n, value.ptr());
    else
        a.candidate = op;
    return value;
}

// `owner.<name>`, the same object that getattr gives.  When `owner` is a
// plain class (its metaclass `type`) whose attribute is a plain value (not a
// descriptor) or a staticmethod, reading it has no effect and gives the same
// object until the class changes: the value is then remembered with the
// class's version tag.
inline nb::object class_constant(nb::handle owner, Name &name) {
    Name::Constant &c = name.constant;
    PyObject *o = owner.ptr();
    if (o == c.owner && c.version != 0 && valid_version(reinterpret_cast<PyTypeObject *>(o)) == c.version)
        return nb::borrow(c.value);
    nb::object value = getattr(owner, name);
    if (Py_TYPE(o) == &PyType_Type) {
        auto *tp = reinterpret_cast<PyTypeObject *>(o);
        PyObject *found = type_lookup(tp, name.get()); // borrowed; gives the class a version tag
        const bool plain = found == value.ptr() && !Py_TYPE(found)->tp_descr_get;
        const bool static_method = found && Py_TYPE(found) == &PyStaticMethod_Type;
        if ((plain || static_method) && valid_version(tp) != 0) {
            // All of it set before the old owner and value are released:
            // that may run a finalizer that reads a constant of this name.
            PyObject *old_owner = c.owner, *old_value = c.value;
            Py_INCREF(o);
            c.owner = o;
            c.value = nb::object(value).release().ptr();
            c.version = valid_version(tp);
            Py_XDECREF(old_owner);
            Py_XDECREF(old_value);
        }
    }
    return value;
}
// `getattr(o, name, dflt)`: only an AttributeError gives the default.
nb::object getattr_or(nb::handle o, nb::handle name, nb::handle dflt);
inline nb::object getattr_or(nb::handle o, Name &n, nb::handle dflt) { return getattr_or(o, n.get(), dflt); }
inline void setattr(nb::handle o, Name &n, nb::handle v) {
    if (PyObject_SetAttr(o.ptr(), n.get(), v.ptr()) != 0)
        throw_current();
}
inline nb::object getitem(nb::handle o, nb::handle key) { return steal(PyObject_GetItem(o.ptr(), key.ptr())); }
inline void setitem(nb::handle o, nb::handle key, nb::handle v) {
    if (PyObject_SetItem(o.ptr(), key.ptr(), v.ptr()) != 0)
        throw_current();
}

// Reads one attribute of many records, with exactly PyObject_GetAttr's
// result but faster for slot fields: while records share one type whose
// attribute is a data descriptor (a `__slots__` field) and the type is
// unchanged (same version tag), the descriptor is called directly; a plain
// object member (what `__slots__` makes) of the record's own type or a base
// of it is read in place.  What it learns
// of the record type is kept with the name, for every later reader.
class FieldReader {
public:
    explicit FieldReader(Name &name) : name_(name), f_(name.field) {}
    nb::object operator()(nb::handle record) {
        if (PyObject *value = peek(record.ptr()))
            return nb::borrow(value);
        PyTypeObject *tp = Py_TYPE(record.ptr());
        if (knows(tp) && !f_.offset) {
            nb::object descr = nb::borrow(f_.descr); // held: the getter may make the name learn another type
            return steal(Py_TYPE(descr.ptr())->tp_descr_get(descr.ptr(), record.ptr(), (PyObject *)tp));
        }
        nb::object value = getattr(record, name_);
        learn(tp);
        return value;
    }
    // Whether the field of `record` is a slot that `peek` reads in place;
    // learns `record`'s type without reading the field.
    bool can_peek(PyObject *record) {
        PyTypeObject *tp = Py_TYPE(record);
        if (!knows(tp))
            learn(tp);
        return knows(tp) && f_.offset != 0;
    }
    // The field of `record` (borrowed) when it is a set slot of the type
    // learnt, read in place without a call; else null, and `operator()` tells.
    PyObject *peek(PyObject *record) const {
        PyTypeObject *tp = Py_TYPE(record);
        if (f_.offset && knows(tp))
            return *reinterpret_cast<PyObject *const *>(reinterpret_cast<const char *>(record) + f_.offset);
        return nullptr;
    }

    // The offset of the slot that `peek` reads (after `can_peek` said yes).
    Py_ssize_t offset() const { return f_.offset; }
    // `setattr(record, name, value)`: written in place while the field is a
    // writable slot of the type learnt, as the slot's descriptor writes it.
    void set(nb::handle record, nb::handle value) {
        PyTypeObject *tp = Py_TYPE(record.ptr());
        if (!knows(tp))
            learn(tp);
        if (f_.offset && f_.writable && knows(tp)) {
            PyObject **slot = reinterpret_cast<PyObject **>(reinterpret_cast<char *>(record.ptr()) + f_.offset);
            PyObject *old = *slot;
            *slot = Py_NewRef(value.ptr());
            Py_XDECREF(old);
            return;
        }
        setattr(record, name_, value);
    }

private:
    bool knows(PyTypeObject *tp) const { return tp == f_.type && f_.version != 0 && valid_version(tp) == f_.version; }
    void learn(PyTypeObject *tp) {
        f_.version = 0;
        f_.offset = 0;
        if (tp->tp_getattro != PyObject_GenericGetAttr)
            return;
        PyObject *descr = type_lookup(tp, name_.get()); // borrowed; gives the type a version tag
        if (!descr || !Py_TYPE(descr)->tp_descr_get || !Py_TYPE(descr)->tp_descr_set || valid_version(tp) == 0)
            return;
        Py_INCREF(descr);
        Py_XSETREF(f_.descr, descr);
        f_.type = tp;
        f_.version = valid_version(tp);
        // A member descriptor's offset is only read on an instance of its own
        // type (or a subtype): a class may hold another class's descriptor,
        // which then raises Python's TypeError through the general path.  A
        // subtype of member_descriptor that reads as its base reads (one that
        // counts its writes) is read in place too, and written in place only
        // if it also writes as its base does.
        PyTypeObject *kind = Py_TYPE(descr);
        const bool member_read =
            kind == &PyMemberDescr_Type ||
            (kind->tp_descr_get == PyMemberDescr_Type.tp_descr_get && PyType_IsSubtype(kind, &PyMemberDescr_Type));
        if (member_read && PyType_IsSubtype(tp, reinterpret_cast<PyDescrObject *>(descr)->d_type)) {
            const PyMemberDef *member = reinterpret_cast<PyMemberDescrObject *>(descr)->d_member;
            if (member->type == KC_T_OBJECT_EX && !(member->flags & KC_AUDIT_READ) && member->offset > 0) {
                f_.offset = member->offset;
                f_.writable = !(member->flags & KC_READONLY) && tp->tp_setattro == PyObject_GenericSetAttr &&
                              kind->tp_descr_set == PyMemberDescr_Type.tp_descr_set;
            }
        }
    }
    Name &name_;
    Name::Field &f_;
};

// `getattr(record, name)` of a record field: the same result, read in place
// while the field is a slot of the record type last seen under `name`.
inline nb::object field(nb::handle record, Name &name) { return FieldReader(name)(record); }
// `setattr(record, name, value)` of a record field, written in place while
// the field is a writable slot of the record type last seen under `name`.
inline void set_field(nb::handle record, Name &name, nb::handle value) { FieldReader(name).set(record, value); }

// numpy's int64 scalar type (set by import_numpy()), and the value of one.
extern PyTypeObject *int64_scalar_type;
long long int64_scalar_value(PyObject *o);

// The value of a plain int (exactly `int`) that fits 64 bits or of a numpy
// int64 scalar, the two kinds of ids: two such values are equal, as Python
// and numpy compare them, exactly when their values are.  False for
// anything else.  Small ints are read without a call.
inline bool plain_int_value(PyObject *o, long long &v) {
    if (Py_TYPE(o) == int64_scalar_type) {
        v = int64_scalar_value(o);
        return true;
    }
    if (!PyLong_CheckExact(o))
        return false;
    if (compact_int_value(o, v))
        return true;
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// Calls `callable` with positional arguments (vectorcall, no tuple built).
template <class... Args>
nb::object call(nb::handle callable, Args &&...args) {
    nb::object held[] = {nb::object(), nb::borrow(nb::handle(args))...};
    PyObject *argv[sizeof...(Args) + 1];
    for (size_t i = 0; i <= sizeof...(Args); ++i)
        argv[i] = held[i].ptr();
    return steal(
        PyObject_Vectorcall(callable.ptr(), argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls method `name` of `self` with positional arguments.
template <class... Args>
nb::object call_method(nb::handle self, Name &name, Args &&...args) {
    nb::object held[] = {nb::borrow(self), nb::borrow(nb::handle(args))...};
    PyObject *argv[sizeof...(Args) + 1];
    for (size_t i = 0; i <= sizeof...(Args); ++i)
        argv[i] = held[i].ptr();
    return steal(
        PyObject_VectorcallMethod(name.get(), argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls `callable(*args, **kwargs)`; keyword names are interned Names.
struct Kw {
    Name &name;
    nb::handle value;
};
nb::object call_kw(nb::handle callable, std::initializer_list<nb::handle> args, std::initializer_list<Kw> kwargs);

// ---------------------------------------------------------------- values

inline nb::object none() { return nb::none(); }
inline nb::object py_bool(bool b) { return nb::borrow(b ? Py_True : Py_False); }
inline nb::object py_float(double d) { return steal(PyFloat_FromDouble(d)); }
inline nb::object py_int(long long v) { return steal(PyLong_FromLongLong(v)); }
inline nb::object py_str(const char *s) { return steal(PyUnicode_FromString(s)); }

// A new empty list, and `list.append(item)` on a list of ours.
inline nb::object new_list() { return steal(PyList_New(0)); }
inline void append(nb::handle list, nb::handle item) {
    if (PyList_Append(list.ptr(), item.ptr()) != 0)
        throw_current();
}
// `(a, b, ...)` of the given objects.
template <class... Objects>
nb::object tuple_of(Objects... items) {
    nb::object out = steal(PyTuple_New(sizeof...(Objects)));
    Py_ssize_t i = 0;
    ((PyTuple_SET_ITEM(out.ptr(), i++, nb::object(std::move(items)).release().ptr())), ...);
    return out;
}
// Truth value as `bool(x)` gives it.
inline bool truthy(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0)
        throw_current();
    return r != 0;
}

// ---------------------------------------------------------------- widening
//
// Arithmetic and comparisons treat a numpy scalar narrower than a double
// (float16, float32) as the double of the same value, whatever promotion
// rules the installed numpy follows: a float32 tick price less a float gap
// is a float64, and a float32 price compares with a float as a double.
// Values are only widened as operands; nothing stored changes type.

// The numpy scalar types that are widened (set by import_numpy()).
extern PyTypeObject *narrow_float_types[2];
bool is_narrow_float_subtype(PyTypeObject *tp);
// Whether `o` is a numpy float16 or float32 scalar.
inline bool is_narrow_float(PyObject *o) {
    PyTypeObject *tp = Py_TYPE(o);
    if (tp == &PyFloat_Type || PyType_FastSubclass(tp, Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_UNICODE_SUBCLASS))
        return false;
    return tp == narrow_float_types[0] || tp == narrow_float_types[1] || is_narrow_float_subtype(tp);
}
// The value of a narrow float scalar as a double.
double narrow_float_value(PyObject *o);
// A numpy float64 scalar holding `d`.
nb::object float64_scalar(double d);
// `o`, or the numpy float64 of its value when it is a narrow float scalar
// and `other` is not an array (an array operand keeps numpy's own rules).
nb::object widened(nb::handle o, nb::handle other);

// numpy's ndarray type (set by import_numpy()).
extern PyTypeObject *ndarray_type;
// `a <op> b` reduced to a truth value, when one of them is a one-element
// float64 or int64 array and the other a Python float or int: computed on the
// values as numpy does.  False (and `result` untouched) for anything else.
bool compare_one_element(PyObject *a, PyObject *b, int op, bool &result);

// `a == b`, `a < b`, ... with Python semantics, reduced to a truth value.
template <class T>
inline bool holds_op(T x, T y, int op) {
    switch (op) {
        case Py_LT:
            return x < y;
        case Py_LE:
            return x <= y;
        case Py_EQ:
            return x == y;
        case Py_NE:
            return x != y;
        case Py_GT:
            return x > y;
        default:
            return x >= y;
    }
}
inline bool compare(nb::handle a, nb::handle b, int op) {
    int r;
    // Two plain ints, or two plain floats, compare as Python compares them.
    if (PyLong_CheckExact(a.ptr()) && PyLong_CheckExact(b.ptr())) {
        long long x, y;
        if (plain_int_value(a.ptr(), x) && plain_int_value(b.ptr(), y))
            return holds_op(x, y, op);
    } else if (PyFloat_CheckExact(a.ptr()) && PyFloat_CheckExact(b.ptr())) {
        if (a.ptr() == b.ptr() && (op == Py_EQ || op == Py_NE)) // the identity shortcut of compare
            return op == Py_EQ;
        return holds_op(PyFloat_AS_DOUBLE(a.ptr()), PyFloat_AS_DOUBLE(b.ptr()), op);
    }
    if (Py_TYPE(a.ptr()) == ndarray_type || Py_TYPE(b.ptr()) == ndarray_type) {
        bool result;
        if (compare_one_element(a.ptr(), b.ptr(), op, result))
            return result;
    }
    if (is_narrow_float(a.ptr()) || is_narrow_float(b.ptr()))
        r = PyObject_RichCompareBool(widened(a, b).ptr(), widened(b, a).ptr(), op);
    else
        r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0)
        throw_current();
    return r != 0;
}
// Plain `a == b` reduced to a truth value.  Unlike compare(), the identity
// shortcut is not taken, so a NaN never equals itself.
inline bool equals(nb::handle a, nb::handle b) {
    if (PyLong_CheckExact(a.ptr()) && PyLong_CheckExact(b.ptr()))
        return compare(a, b, Py_EQ); // plain ints: the identity shortcut is sound
    if (PyFloat_CheckExact(a.ptr()) && PyFloat_CheckExact(b.ptr()))
        return PyFloat_AS_DOUBLE(a.ptr()) == PyFloat_AS_DOUBLE(b.ptr());
    if (is_narrow_float(a.ptr()) || is_narrow_float(b.ptr()))
        return truthy(steal(PyObject_RichCompare(widened(a, b).ptr(), widened(b, a).ptr(), Py_EQ)));
    nb::object r = steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
    return truthy(r);
}

// Whether the field of each record equals one wanted value, as `equals`
// tells; a plain int field of a slot compares with a plain int in C.
class FieldEquals {
public:
    FieldEquals(Name &field, nb::handle wanted) : read_(field), wanted_(wanted) {
        plain_ = plain_int_value(wanted.ptr(), value_);
    }
    bool operator()(nb::handle record) {
        long long v;
        if (plain_)
            if (PyObject *field = read_.peek(record.ptr()); field && plain_int_value(field, v))
                return v == value_;
        return equals(read_(record), wanted_);
    }

private:
    FieldReader read_;
    nb::handle wanted_;
    bool plain_ = false;
    long long value_ = 0;
};

// Appends to the list `out` each of `records[0..count)` whose field equals
// `wanted`, as `equals` tells, in order.  Runs of records of one slot type
// whose fields and `wanted` are plain ints are compared in a tight loop;
// anything else record by record, as FieldEquals compares.
void select_equal(Name &field, PyObject *const *records, Py_ssize_t count, nb::handle wanted, nb::handle out);

// `float(x)` as `math.isnan` and friends convert it.
inline double as_double(nb::handle o) {
    double d = PyFloat_AsDouble(o.ptr());
    if (d == -1.0 && PyErr_Occurred())
        throw_current();
    return d;
}

// `math.isnan(x)`.
bool is_nan(nb::handle o);

// `int(x)`.
inline nb::object to_int(nb::handle o) { return steal(PyNumber_Long(o.ptr())); }

// Whether `o` is a plain integer (Python int or numpy integer scalar; not bool).
bool is_integer_scalar(nb::handle o);
// Whether `o` is a real scalar (Python float or numpy floating scalar).
bool is_real_scalar(nb::handle o);

// `len(x)`.
inline Py_ssize_t length(nb::handle o) {
    Py_ssize_t n = PyObject_Length(o.ptr());
    if (n < 0)
        throw_current();
    return n;
}

// Unpacks an iterable of exactly `n` values into `out`, with the errors of
// Python's `a, b = x`.
void unpack(nb::handle seq, size_t n, nb::object *out);

// ---------------------------------------------------------------- modules

// Imports a module by its full dotted name.
inline nb::object import(const char *name) { return steal(PyImport_ImportModule(name)); }

// `from module import name`.
nb::object import_from(const char *module, const char *name);

// The namespace of one of our modules, read at every use.
class ModuleNamespace {
public:
    void bind(nb::handle module);
    // The global `name`; NameError when the module has none.
    nb::object get(Name &name) const;
    // The global `name`, or None when unset.
    nb::object get_or_none(Name &name) const;
    void set(Name &name, nb::handle value) const;
    PyObject *dict() const { return dict_; }
    nb::handle module() const { return module_; }

private:
    PyObject *dict_ = nullptr;   // borrowed from the module, which never drops it
    PyObject *module_ = nullptr; // strong reference, the module lives for the process
};

// A function of our own module.  Calls between the module's functions go
// through the module namespace, so a replacement installed there is obeyed;
// while the entry is still our own function object the native entry point
// runs directly, without a Python call, under the traceback entry the bound
// function would have added.
class OwnFunction {
public:
    // `name` is the module global; qualname, source and line name its
    // traceback entry (use KC_SITE).
    constexpr OwnFunction(const char *name, const char *qualname, const char *source, int line)
        : name_(name), qualname_(qualname), source_(source), line_(line) {}
    // Records the module's own function object (after the module defined it).
    void capture(const ModuleNamespace &ns) {
        nb::object fn = ns.get(name_);
        Py_XDECREF(ours_);
        ours_ = fn.release().ptr(); // kept, so its address cannot be reused
    }
    // Whether the module global is still our own function.
    bool is_ours(const ModuleNamespace &ns) { return ns.get(name_).ptr() == ours_; }
    template <class Native, class... Args>
    nb::object call(const ModuleNamespace &ns, Native &&native, Args &&...args) {
        nb::object entry = ns.get(name_);
        if (entry.ptr() == ours_)
            return guarded(qualname_, source_, line_, native);
        return kc::call(entry, std::forward<Args>(args)...);
    }
    // Runs `native` as the module's own function runs, under its traceback
    // entry (after is_ours() said yes, with no host code run since).
    template <class Native>
    nb::object run_ours(Native &&native) {
        return guarded(qualname_, source_, line_, native);
    }

private:
    Name name_;
    const char *qualname_;
    const char *source_;
    int line_;
    PyObject *ours_ = nullptr;
};

// ---------------------------------------------------------------- numpy

// Prepares the numpy C API of the calling extension module.
void import_numpy();

// `sys.flags.optimize` is 0: debug assertions are checked.
bool assertions_enabled();

} // namespace kc

// Source position of an exported function, for its traceback entry.
#define KC_SITE(qualname) qualname, KC_SOURCE, __LINE__

// Body of an exported function: runs `...` under kc::guarded.
#define KC_GUARD(qualname, ...) ::kc::guarded(KC_SITE(qualname), [&]() __VA_ARGS__)
