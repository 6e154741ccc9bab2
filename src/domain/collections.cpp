// Which collections and methods the engine may run without a Python call.
#define KC_SOURCE "src/domain/collections.cpp"
#include "domain/collections.hpp"

namespace dm::coll {

namespace {

// korvit.native's CollectBase and the methods it was made with (a copy of its
// class dict taken when korvit.native was imported, so a method replaced on
// the class later is told apart).
struct Compiled {
    PyTypeObject *type = nullptr;
    PyObject *methods = nullptr;
};

Compiled collect_found, env_found;

const Compiled &compiled() {
    Compiled &found = collect_found;
    if (!found.type) {
        nb::object native = kc::import("korvit.native");
        nb::object type = kc::steal(PyObject_GetAttrString(native.ptr(), "CollectBase"));
        nb::object methods = kc::steal(PyObject_GetAttrString(native.ptr(), "_collect_methods"));
        if (!PyType_Check(type.ptr()) || !PyDict_Check(methods.ptr()))
            kc::raise(PyExc_TypeError, "korvit.native has no compiled CollectBase");
        found.methods = methods.release().ptr(); // kept for the process
        found.type = reinterpret_cast<PyTypeObject *>(type.release().ptr());
    }
    return found;
}

// What found_as() last answered yes for, per object and method name: the
// answer holds while the object's type (its version tag: no class on its MRO
// changed) and its own dict (its version) are as they were then.  A few
// entries, placed by the pair's address; nothing is kept alive by them.
struct FoundMemo {
    PyObject *obj = nullptr;
    Name *method = nullptr;
    PyObject *original = nullptr;
    PyTypeObject *type = nullptr;
    unsigned int type_version = 0;
    PyObject *dict = nullptr;
    unsigned long long dict_version = 0;
};
FoundMemo found_memo[16];

FoundMemo &memo_of(PyObject *obj, Name &method) {
    const auto key = reinterpret_cast<uintptr_t>(obj) ^ (reinterpret_cast<uintptr_t>(&method) >> 3);
    return found_memo[(key >> 4) & 15];
}

// The instance dict of `obj` if its type has one (may be null).
PyObject *own_dict(PyObject *obj, PyTypeObject *tp) {
    if (!tp->tp_dictoffset)
        return nullptr;
    PyObject **dict = kc::instance_dict_slot(obj);
    return dict ? *dict : nullptr;
}

// `method` found on `obj` is `original`: not shadowed on its class, a subclass
// or the instance, and attributes are looked up the usual way.
bool found_as(nb::handle obj, PyTypeObject *base, PyObject *original, Name &method) {
    PyTypeObject *tp = Py_TYPE(obj.ptr());
    FoundMemo &memo = memo_of(obj.ptr(), method);
    if (memo.obj == obj.ptr() && memo.method == &method && memo.original == original && original && memo.type == tp &&
        memo.type_version == kc::valid_version(tp)) {
        PyObject *dict = own_dict(obj.ptr(), tp);
        if (dict == memo.dict && (!dict || kc::dict_version(dict) == memo.dict_version))
            return true;
    }
    if (tp != base && (tp->tp_getattro != base->tp_getattro || !PyType_IsSubtype(tp, base)))
        return false;
    if (!original || kc::type_lookup(tp, method.get()) != original)
        return false;
    PyObject *dict = own_dict(obj.ptr(), tp);
    bool plain = true; // the lookup in the instance's dict ran no Python code
    if (dict) {
        nb::object held = nb::borrow(dict); // a key's `__eq__` run by the lookup may replace it
        plain = kc::only_str_keys(held.ptr());
        PyObject *own = PyDict_GetItemWithError(held.ptr(), method.get());
        if (PyErr_Occurred())
            kc::throw_current();
        if (own)
            return false;
    }
    const unsigned int type_version = kc::valid_version(tp);
    const unsigned long long dict_version = dict ? kc::dict_version(dict) : 1;
#if PY_VERSION_HEX >= 0x030D0000
    // From 3.13 a Python instance's dict may share its inline values, whose
    // writes leave the dict's version as it was: such an answer is not kept.
    plain = plain && tp->tp_dictoffset >= 0;
#endif
    if (plain && type_version != 0 && dict_version != 0 && dict == own_dict(obj.ptr(), tp))
        memo = FoundMemo{obj.ptr(), &method, original, tp, type_version, dict, dict_version};
    return true;
}

PyObject *original_of(PyObject *methods, Name &method) {
    Name::Global &e = method.entry;
    const unsigned long long version = kc::dict_version(methods);
    if (e.dict == methods && e.version == version && version != 0)
        return e.value;
    const bool plain = kc::only_str_keys(methods);
    PyObject *original = PyDict_GetItemWithError(methods, method.get());
    if (!original && PyErr_Occurred())
        kc::throw_current();
    if (original && plain && kc::dict_version(methods) == version) {
        e.dict = methods;
        e.version = version;
        e.value = original;
    }
    return original;
}

} // namespace

bool env_method_is_ours(nb::handle env, Name &method) {
    PyTypeObject *&type = env_found.type;
    PyObject *&methods = env_found.methods;
    if (!type) {
        nb::object framekit = kc::import("korvit.tframe.framekit");
        nb::object cls = kc::steal(PyObject_GetAttrString(framekit.ptr(), "SystemBaseEnv"));
        nb::object made = kc::steal(PyObject_GetAttrString(framekit.ptr(), "_env_methods"));
        if (!PyType_Check(cls.ptr()) || !PyDict_Check(made.ptr()))
            kc::raise(PyExc_TypeError, "korvit.tframe.framekit has no compiled SystemBaseEnv");
        methods = made.release().ptr(); // kept for the process
        type = reinterpret_cast<PyTypeObject *>(cls.release().ptr());
    }
    return found_as(env, type, original_of(methods, method), method);
}

// Drops the classes and methods kept above; registered with `atexit`, so that
// they go with their modules when the interpreter ends.
PyObject *release(PyObject *, PyObject *) {
    for (Compiled *found : {&collect_found, &env_found}) {
        Py_CLEAR(found->methods);
        PyTypeObject *type = found->type;
        found->type = nullptr;
        Py_XDECREF(type);
    }
    Py_RETURN_NONE;
}

void release_at_exit() {
    static PyMethodDef def = {"_release_host_classes", release, METH_NOARGS, nullptr};
    nb::object fn = kc::steal(PyCFunction_New(&def, nullptr));
    nb::object atexit = kc::import("atexit");
    kc::steal(PyObject_CallMethod(atexit.ptr(), "register", "O", fn.ptr()));
}

knative::CollectBase *ours(nb::handle c, Name &method) {
    const Compiled &k = compiled();
    if (!found_as(c, k.type, original_of(k.methods, method), method) || !nb::inst_ready(c))
        return nullptr;
    return nb::inst_ptr<knative::CollectBase>(c);
}

bool ours_static(nb::handle cls, Name &method) {
    const Compiled &k = compiled();
    if (cls.ptr() != reinterpret_cast<PyObject *>(k.type))
        return false;
    PyObject *original = original_of(k.methods, method);
    return original && kc::type_lookup(k.type, method.get()) == original;
}

} // namespace dm::coll
