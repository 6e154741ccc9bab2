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

const Compiled &compiled() {
    static Compiled found;
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

} // namespace

knative::CollectBase *ours(nb::handle c, Name &method) {
    const Compiled &k = compiled();
    PyTypeObject *tp = Py_TYPE(c.ptr());
    if (tp != k.type && (tp->tp_getattro != k.type->tp_getattro || !PyType_IsSubtype(tp, k.type)))
        return nullptr;
    PyObject *original = PyDict_GetItemWithError(k.methods, method.get());
    if (!original || _PyType_Lookup(tp, method.get()) != original) {
        if (PyErr_Occurred())
            kc::throw_current();
        return nullptr;
    }
    if (tp->tp_dictoffset) {
        PyObject **dict = _PyObject_GetDictPtr(c.ptr());
        if (dict && *dict) {
            PyObject *own = PyDict_GetItemWithError(*dict, method.get());
            if (own || PyErr_Occurred()) {
                if (PyErr_Occurred())
                    kc::throw_current();
                return nullptr;
            }
        }
    }
    if (!nb::inst_ready(c))
        return nullptr;
    return nb::inst_ptr<knative::CollectBase>(c);
}

bool ours_static(nb::handle cls, Name &method) {
    const Compiled &k = compiled();
    if (cls.ptr() != reinterpret_cast<PyObject *>(k.type))
        return false;
    PyObject *original = PyDict_GetItemWithError(k.methods, method.get());
    if (!original) {
        if (PyErr_Occurred())
            kc::throw_current();
        return false;
    }
    return _PyType_Lookup(k.type, method.get()) == original;
}

} // namespace dm::coll
