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

// The last table own_table found, with the versions of the reader's globals
// and built-ins then: while both dicts keep those versions (no entry of
// either changed since), every lookup below gives what it gave then.
struct TableMemo {
    PyObject *globals = nullptr, *builtins = nullptr, *table = nullptr; // borrowed: the reader holds its dicts
    unsigned long long globals_version = 0, builtins_version = 0;
} table_memo;

// The history store's table (a borrowed exact list) when `fn` is the reader
// as made, with its code, lock and built-ins unchanged and not shadowed in
// its module; null otherwise.  Calling the reader then runs no host code:
// it copies entries of that table.
PyObject *own_table(PyObject *fn) {
    if (!reader.function || fn != reader.function || PyFunction_GET_CODE(fn) != reader.code)
        return nullptr;
    PyObject *globals = PyFunction_GET_GLOBALS(fn);
    PyObject *builtins = kc::function_builtins(fn);
    if (!PyDict_CheckExact(globals) || !builtins || !PyDict_CheckExact(builtins))
        return nullptr;
    const unsigned long long globals_version = kc::dict_version(globals);
    const unsigned long long builtins_version = kc::dict_version(builtins);
    TableMemo &m = table_memo;
    if (m.table && globals == m.globals && builtins == m.builtins && globals_version != 0 && builtins_version != 0 &&
        globals_version == m.globals_version && builtins_version == m.builtins_version)
        return m.table;
    // With str keys only, the lookups run no Python code: the versions read
    // above are those of the dicts the lookups see.
    const bool plain = kc::only_str_keys(globals) && kc::only_str_keys(builtins);
    for (size_t i = 0; i < BUILTIN_COUNT; ++i)
        if (lookup(globals, *BUILTINS_READ[i]) || lookup(builtins, *BUILTINS_READ[i]) != reader.builtins[i])
            return nullptr;
    if (lookup(globals, k::lock) != reader.lock)
        return nullptr;
    PyObject *table = lookup(globals, k::target_info_v2);
    if (!table || !PyList_CheckExact(table))
        return nullptr;
    if (plain && globals_version != 0 && builtins_version != 0 && kc::dict_version(globals) == globals_version &&
        kc::dict_version(builtins) == builtins_version)
        m = TableMemo{globals, builtins, table, globals_version, builtins_version};
    return table;
}

// The entry of `table` (an exact dict of str keys only, borrowed) at the
// plain int index `indices[i]`, or null when the index is not plain or the
// entry is another object: the reader's usual path, which then cannot fail,
// and reading or copying the entry runs no Python code (no key's `__eq__`,
// which could rebind the table's slot and free the entry mid-read).
PyObject *entry_at(PyObject *table, PyObject *indices, Py_ssize_t i) {
    if (i >= PyList_GET_SIZE(indices))
        return nullptr;
    PyObject *index = PyList_GET_ITEM(indices, i);
    long long v;
    if (!PyLong_CheckExact(index) || !kc::plain_int_value(index, v) || v < 0 || v >= PyList_GET_SIZE(table))
        return nullptr;
    PyObject *entry = PyList_GET_ITEM(table, (Py_ssize_t)v);
    return PyDict_CheckExact(entry) && kc::only_str_keys(entry) ? entry : nullptr;
}

// Whether every index of `indices` (an exact list) has an entry_at.
bool plain_positions(PyObject *indices, PyObject *table) {
    if (!PyList_CheckExact(indices))
        return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(indices); ++i)
        if (!entry_at(table, indices, i))
            return false;
    return true;
}

} // namespace

void capture() {
    nb::object history = kc::import("korvit.api.history._history");
    nb::object fn = kc::steal(PyObject_GetAttrString(history.ptr(), "get_target_info_v2"));
    if (!PyFunction_Check(fn.ptr()))
        return; // not a Python function: every read calls it
    PyObject *globals = PyFunction_GET_GLOBALS(fn.ptr());
    PyObject *builtins = kc::function_builtins(fn.ptr());
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
    if (PyObject *found = own_table(fn.ptr()); found && plain_positions(indices.ptr(), found)) {
        // Both lists are held and each entry is found again before it is copied:
        // an allocation may run a finalizer that changes or rebinds them.
        nb::object table = nb::borrow(found), held = nb::borrow(indices);
        const Py_ssize_t count = PyList_GET_SIZE(indices.ptr());
        nb::object out = kc::steal(PyList_New(count));
        Py_ssize_t i = 0;
        for (; i < count; ++i) {
            PyObject *found_entry = entry_at(table.ptr(), held.ptr(), i);
            if (!found_entry)
                break;
            nb::object entry = nb::borrow(found_entry); // the copy allocates: a finalizer may rebind the slot
            PyList_SET_ITEM(out.ptr(), i, kc::steal(PyDict_Copy(entry.ptr())).release().ptr());
        }
        if (i == count)
            return out;
    }
    return kc::call(fn, indices);
}

nb::object first_target_info_value(nb::handle indices, Name &label) {
    nb::object fn = global(n::get_target_info_v2);
    if (PyObject *table = own_table(fn.ptr());
        table && plain_positions(indices.ptr(), table) && PyList_GET_SIZE(indices.ptr()) > 0) {
        // The entry's keys are str only: the lookup runs no Python code and
        // finds what a lookup in the entry's copy would.
        nb::object entry = nb::borrow(entry_at(table, indices.ptr(), 0));
        PyObject *value = lookup(entry.ptr(), label);
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
