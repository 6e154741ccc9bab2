// The few places where the compiled modules need more of CPython than its
// public, stable-across-versions C API gives at the same cost, each behind
// one named helper with its version guard, so that the rest of the code uses
// none of CPython's private names and the guards live in one file.
//
// Supported: CPython 3.10 to 3.13.  Each helper says why it exists; where a
// public call exists on some versions it is used there.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h> // the member kinds' old names; Python.h has the new ones from 3.12
#endif

// Member kinds and flags, under the names of every supported Python.
#if PY_VERSION_HEX >= 0x030C0000
#define KC_T_OBJECT_EX Py_T_OBJECT_EX
#define KC_T_PYSSIZET Py_T_PYSSIZET
#define KC_READONLY Py_READONLY
#define KC_AUDIT_READ Py_AUDIT_READ
#else
#define KC_T_OBJECT_EX T_OBJECT_EX
#define KC_T_PYSSIZET T_PYSSIZET
#define KC_READONLY READONLY
#define KC_AUDIT_READ PY_AUDIT_READ
#endif

namespace kc {

// ---------------------------------------------------------------- types

// `name` found on the type's MRO as attribute lookup finds it (a borrowed
// reference, or null without an error set), through the type's method cache;
// it also gives the type a version tag.  CPython has no public call for this
// (PyObject_GetAttr on the type runs descriptors and the metaclass, and a
// walk over the MRO's dicts costs many times more on the engine's hot paths),
// so the one its own attribute lookup uses is called; it exists unchanged in
// every supported version.
inline PyObject *type_lookup(PyTypeObject *type, PyObject *name) { return _PyType_Lookup(type, name); }

// The version tag of a type while it is valid (unchanged since it was
// given), else 0.  Changing a class or any of its bases drops its tag, and a
// tag is never given twice.  Until 3.11 a dropped tag stays in the field and
// only a flag says it is invalid; from 3.12 a dropped tag is 0 (and 3.13 no
// longer sets the flag at all).
inline unsigned int valid_version(PyTypeObject *tp) {
#if PY_VERSION_HEX < 0x030C0000
    if (!PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG))
        return 0;
#endif
    return tp->tp_version_tag;
}

// The slot holding the instance dict of `obj` (null when its type has none;
// the slot itself may hold null), for reading an instance attribute without
// making a bound method or running descriptors.  No public call reads the
// instance dict without creating it where there is none (PyObject_GenericGetDict
// creates one), so CPython's own getter is used, present in every supported
// version.  (From 3.13 it gives the dict of an object whose attributes are
// kept inline by making it, as reading `obj.__dict__` would.)
inline PyObject **instance_dict_slot(PyObject *obj) { return _PyObject_GetDictPtr(obj); }

// ---------------------------------------------------------------- dicts

// A dict's version: every dict, and every change of a dict's contents, is
// given a new one, never given twice in the process.  Equal versions read
// from a live dict therefore mean the same dict with the same contents, so a
// value looked up in it then is still what a lookup gives.  3.12 deprecated
// the field for outside users (it stays until 3.13 and is still bumped by
// every change); 3.14 stops keeping it, where this gives 0 (nothing cached).
inline unsigned long long dict_version(PyObject *dict) {
#if PY_VERSION_HEX < 0x030E0000
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
#else
    (void)dict;
    return 0;
#endif
}

// Whether every key of `dict` is an exact str: then a lookup by a str key
// compares strings only and runs no Python code.  CPython keeps this as the
// kind of the dict's key table (one that ever held another key is "general")
// but has no public call for it: from 3.11 the kind is read from the table's
// header, which begins alike in 3.11 to 3.13 (3.13 no longer exports the
// check); 3.10 keeps no kind, and its exported check is used.
inline bool only_str_keys(PyObject *dict) {
#if PY_VERSION_HEX >= 0x030B0000
    struct KeysHeader { // the start of CPython's key table
        Py_ssize_t refcnt;
        uint8_t log2_size;
        uint8_t log2_index_bytes;
        uint8_t kind; // 0: general, 1: str keys only, 2: split (str keys only)
    };
    const auto *keys = reinterpret_cast<const KeysHeader *>(reinterpret_cast<PyDictObject *>(dict)->ma_keys);
    return keys->kind != 0;
#else
    return _PyDict_HasOnlyStringKeys(dict) != 0;
#endif
}

// ---------------------------------------------------------------- functions

// The builtins dict a Python function resolves its built-in names in (taken
// from its globals when it was made), borrowed.  Only 3.13 has a public call
// for it (PyFunction_GetBuiltins is absent before); the field is part of the
// non-limited function object of every supported version.
inline PyObject *function_builtins(PyObject *function) {
    return reinterpret_cast<PyFunctionObject *>(function)->func_builtins;
}

// ---------------------------------------------------------------- ints

// The value of an exact int that fits one machine word's worth of digits,
// read without a call; false for a bigger one (read it with
// PyLong_AsLongLongAndOverflow).  3.12 made the layout of ints unstable and
// gave these two reads as unstable public API; before, the layout is the
// documented one of longintrepr.h (the size's sign is the int's, one digit).
inline bool compact_int_value(PyObject *o, long long &v) {
#if PY_VERSION_HEX >= 0x030C0000
    const auto *i = reinterpret_cast<const PyLongObject *>(o);
    if (!PyUnstable_Long_IsCompact(i))
        return false;
    v = (long long)PyUnstable_Long_CompactValue(i);
    return true;
#else
    const Py_ssize_t size = Py_SIZE(o);
    if (size < -1 || size > 1)
        return false;
    v = size == 0 ? 0 : (long long)size * (long long)reinterpret_cast<const PyLongObject *>(o)->ob_digit[0];
    return true;
#endif
}

// ---------------------------------------------------------------- errors

// The pending Python error, taken out of the interpreter (the error indicator
// is cleared) and put back by restore(); dropped when not restored.  3.12
// keeps the error as one exception object and deprecated the (type, value,
// traceback) triple, which older versions need.
class TakenError {
public:
#if PY_VERSION_HEX >= 0x030C0000
    TakenError() : exc_(PyErr_GetRaisedException()) {}
    ~TakenError() { Py_XDECREF(exc_); }
    void restore() {
        PyErr_SetRaisedException(exc_);
        exc_ = nullptr;
    }
    // The exception object itself (normalised, its traceback attached), now
    // owned by the caller; nothing is left to restore.
    PyObject *release_exception() {
        PyObject *exc = exc_;
        exc_ = nullptr;
        return exc;
    }
#else
    TakenError() { PyErr_Fetch(&type_, &value_, &tb_); }
    ~TakenError() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(tb_);
    }
    void restore() {
        PyErr_Restore(type_, value_, tb_);
        type_ = value_ = tb_ = nullptr;
    }
    PyObject *release_exception() {
        PyErr_NormalizeException(&type_, &value_, &tb_);
        if (value_ && tb_)
            PyException_SetTraceback(value_, tb_);
        PyObject *exc = value_;
        value_ = nullptr;
        return exc;
    }
#endif
    TakenError(const TakenError &) = delete;
    TakenError &operator=(const TakenError &) = delete;

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject *exc_;
#else
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
#endif
};

// Makes the exception instance `exc` (a new reference, taken) the pending
// error as it is: no context is chained to it and its cause stays.
inline void set_raised(PyObject *exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// ---------------------------------------------------------------- recursion

// One level of native recursion, counted as Python counts a Python call.
//
// Until 3.11 Py_EnterRecursiveCall counts against the recursion limit, in the
// one counter that Python calls use too.  From 3.12 it counts C recursion
// apart, against a fixed C limit (1,500 in 3.12, thousands in 3.13) that
// `sys.setrecursionlimit` does not change, so a chain of native calls with no
// Python frame between them (phase wrappers nested in each other) would no
// longer end at the recursion limit as the Python twins do.  From 3.12 each
// native level therefore also takes one unit of the thread's Python
// recursion budget (`py_recursion_remaining`, the counter Python calls take
// from, which CPython keeps consistent across `sys.setrecursionlimit`) and
// gives it back when it ends: native levels and Python calls again share the
// recursion limit.  There is no public call to do this; the field is part of
// the non-limited thread state of 3.12 and 3.13.
class RecursionLevel {
public:
    // False (RecursionError set) when no level is left; leave() follows
    // only an enter() that gave true.
    bool enter(const char *where) {
#if PY_VERSION_HEX >= 0x030C0000
        PyThreadState *ts = PyThreadState_Get();
        if (ts->py_recursion_remaining <= 0) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return false;
        }
        if (Py_EnterRecursiveCall(where))
            return false;
        --ts->py_recursion_remaining;
        ts_ = ts;
        return true;
#else
        return Py_EnterRecursiveCall(where) == 0;
#endif
    }
    void leave() {
#if PY_VERSION_HEX >= 0x030C0000
        ++ts_->py_recursion_remaining;
#endif
        Py_LeaveRecursiveCall();
    }

#if PY_VERSION_HEX >= 0x030C0000
private:
    PyThreadState *ts_ = nullptr;
#endif
};

// ---------------------------------------------------------------- deallocation

// Around the body of a container type's tp_dealloc: deallocations nested
// deeper than CPython allows are put off and run later, so that a long chain
// of objects (record -> tag -> record ...) unwinds without deep C recursion.
// The trashcan macros are the only way CPython offers; they are part of the
// non-limited API of every supported version (3.13 rewrote them on the C
// recursion counter).
#define KC_DEALLOC_CHAIN_BEGIN(op, dealloc) Py_TRASHCAN_BEGIN(op, dealloc)
#define KC_DEALLOC_CHAIN_END Py_TRASHCAN_END

} // namespace kc
