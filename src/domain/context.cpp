// The host reads of a deal answered from the objects the engine knows.
#define KC_SOURCE "src/domain/context.cpp"
#include "domain/context.hpp"
#include "domain/collections.hpp"

namespace dm::ctx {

namespace {

namespace k {
inline Name target_info_v2{"_target_info_v2"}, lock{"_lock"};
// The built-in names the reader's path for a list of plain indices runs.
inline Name isinstance{"isinstance"}, list{"list"}, all{"all"}, type{"type"}, int_{"int"}, len{"len"};
} // namespace k

Name *const BUILTINS_READ[] = {&k::isinstance, &k::list, &k::all, &k::type, &k::int_, &k::len};
constexpr size_t BUILTIN_COUNT = sizeof(BUILTINS_READ) / sizeof(BUILTINS_READ[0]);

// `korvit.api.history._history.get_target_info_v2` as this package made it:
// the function, its code, its lock, and the built-ins its usual path runs
// (all kept for the process).
struct ContractReader {
    PyObject *function = nullptr, *code = nullptr, *lock = nullptr;
    PyObject *builtins[BUILTIN_COUNT] = {};
} reader;

// A borrowed dict entry of `globals` (null when absent).
PyObject *lookup(PyObject *dict, Name &name) {
    PyObject *value = PyDict_GetItemWithError(dict, name.get());
    if (!value && PyErr_Occurred())
        kc::throw_current();
    return value;
}

// The history store's table (a borrowed exact list) when `fn` is the reader
// as made, with its code, lock and built-ins unchanged and not shadowed in
// its module; null otherwise.  Calling the reader then runs no host code:
// it copies entries of that table.
PyObject *own_table(PyObject *fn) {
    if (!reader.function || fn != reader.function || PyFunction_GET_CODE(fn) != reader.code)
        return nullptr;
    PyObject *globals = PyFunction_GET_GLOBALS(fn);
    PyObject *builtins = reinterpret_cast<PyFunctionObject *>(fn)->func_builtins;
    if (!PyDict_CheckExact(globals) || !builtins || !PyDict_CheckExact(builtins))
        return nullptr;
    for (size_t i = 0; i < BUILTIN_COUNT; ++i)
        if (lookup(globals, *BUILTINS_READ[i]) || lookup(builtins, *BUILTINS_READ[i]) != reader.builtins[i])
            return nullptr;
    if (lookup(globals, k::lock) != reader.lock)
        return nullptr;
    PyObject *table = lookup(globals, k::target_info_v2);
    return table && PyList_CheckExact(table) ? table : nullptr;
}

// Whether `indices` is a list of plain ints, each a position of `table` whose
// entry is an exact dict: the reader's usual path, which then cannot fail.
bool plain_positions(PyObject *indices, PyObject *table) {
    if (!PyList_CheckExact(indices))
        return false;
    const Py_ssize_t count = PyList_GET_SIZE(table);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(indices); ++i) {
        PyObject *index = PyList_GET_ITEM(indices, i);
        long long v;
        if (!PyLong_CheckExact(index) || !kc::plain_int_value(index, v) || v < 0 || v >= count ||
            !PyDict_CheckExact(PyList_GET_ITEM(table, (Py_ssize_t)v)))
            return false;
    }
    return true;
}

} // namespace

void capture() {
    nb::object history = kc::import("korvit.api.history._history");
    nb::object fn = kc::steal(PyObject_GetAttrString(history.ptr(), "get_target_info_v2"));
    if (!PyFunction_Check(fn.ptr()))
        return; // not a Python function: every read calls it
    PyObject *globals = PyFunction_GET_GLOBALS(fn.ptr());
    PyObject *builtins = reinterpret_cast<PyFunctionObject *>(fn.ptr())->func_builtins;
    if (!builtins || !PyDict_Check(builtins))
        return;
    for (size_t i = 0; i < BUILTIN_COUNT; ++i) {
        PyObject *found = lookup(builtins, *BUILTINS_READ[i]);
        if (!found)
            return;
        reader.builtins[i] = Py_NewRef(found);
    }
    PyObject *lock = lookup(globals, k::lock);
    if (!lock)
        return;
    reader.lock = Py_NewRef(lock);
    reader.code = Py_NewRef(PyFunction_GET_CODE(fn.ptr()));
    reader.function = fn.release().ptr();
}

nb::object target_infos(nb::handle indices) {
    nb::object fn = global(n::get_target_info_v2);
    if (PyObject *table = own_table(fn.ptr()); table && plain_positions(indices.ptr(), table)) {
        const Py_ssize_t count = PyList_GET_SIZE(indices.ptr());
        nb::object out = kc::steal(PyList_New(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            long long v = 0;
            kc::plain_int_value(PyList_GET_ITEM(indices.ptr(), i), v);
            PyList_SET_ITEM(out.ptr(), i, kc::steal(PyDict_Copy(PyList_GET_ITEM(table, (Py_ssize_t)v))).release().ptr());
        }
        return out;
    }
    return kc::call(fn, indices);
}

nb::object first_target_info_value(nb::handle indices, Name &label) {
    nb::object fn = global(n::get_target_info_v2);
    if (PyObject *table = own_table(fn.ptr());
        table && plain_positions(indices.ptr(), table) && PyList_GET_SIZE(indices.ptr()) > 0) {
        long long v = 0;
        kc::plain_int_value(PyList_GET_ITEM(indices.ptr(), 0), v);
        PyObject *value = lookup(PyList_GET_ITEM(table, (Py_ssize_t)v), label);
        return nb::borrow(value ? value : Py_None);
    }
    return loc_value(kc::call(fn, indices), 0, label);
}

nb::object obj_attr_value(nb::handle records, Name &attr) {
    nb::object cb = global(n::cb);
    if (coll::ours_static(cb, n::obj_attr_value))
        return kc::guarded(KC_SITE("korvit.native.CollectBase.obj_attr_value"),
                           [&] { return knative::CollectBase::obj_attr_value(records, attr.get()); });
    return kc::call_method(cb, n::obj_attr_value, records, attr.get());
}

} // namespace dm::ctx
