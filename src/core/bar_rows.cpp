#define KC_SOURCE "src/core/bar_rows.cpp"
#include "core/bar_rows.hpp"
#include "core/numpy.hpp"

namespace kc {

namespace {

Name KMatrix_Bar_Begin{"KMatrix_Bar_Begin"}, KMatrix_Bar_End{"KMatrix_Bar_End"},
    KMatrixPos_Head_len{"KMatrixPos_Head_len"}, KMatrix_Bar_Len{"KMatrix_Bar_Len"}, reference_item_pos{"_bar_item_pos"},
    reference_name_to_int{"_bar_field_name_to_int"}, bar_fields{"_BAR_FIELDS"};

// The host constants module, where the reference implementations live.
nb::handle sysdefine() {
    static PyObject *module = nullptr;
    if (!module)
        module = import("korvit.tframe.sysdefine").release().ptr(); // kept for the process
    return module;
}

// An int64 array in native byte order with the canonical dtype, C-contiguous.
PyArrayObject *plain_int64_array(nb::handle o) {
    if (Py_TYPE(o.ptr()) != &PyArray_Type)
        return nullptr;
    auto *a = reinterpret_cast<PyArrayObject *>(o.ptr());
    static PyArray_Descr *int64 = PyArray_DescrFromType(NPY_INT64); // kept for the process
    if (PyArray_DESCR(a) != int64 || !PyArray_IS_C_CONTIGUOUS(a) || !PyArray_ISALIGNED(a))
        return nullptr;
    return a;
}

} // namespace

bool small_int(nb::handle o, long long &out) {
    if (!PyLong_CheckExact(o.ptr()))
        return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
    if (out == -1 && PyErr_Occurred())
        throw_current();
    return overflow == 0;
}

nb::object bar_item_pos(nb::handle gv, nb::handle item, nb::handle targets) {
    long long it, begin, end, head, len, target;
    PyArrayObject *array = nullptr;
    // The targets' array is looked at after the constants are read: reading
    // one may run host code that changes the array's shape or dtype in place.
    const bool simple = small_int(item, it) && small_int(class_constant(gv, KMatrix_Bar_Begin), begin) &&
                        small_int(class_constant(gv, KMatrix_Bar_End), end) && begin <= it && it <= end &&
                        small_int(class_constant(gv, KMatrixPos_Head_len), head) &&
                        small_int(class_constant(gv, KMatrix_Bar_Len), len) &&
                        ((array = plain_int64_array(targets)) || small_int(targets, target));
    // Small constants only, so that no product below can overflow.
    const long long limit = 1LL << 20;
    if (!simple || head < 0 || head > limit || len < 0 || len > limit || it < -limit || it > limit)
        return call(getattr(sysdefine(), reference_item_pos), item, targets);
    const long long offset = head + it;
    if (!array) {
        if (target < 0 || target > (1LL << 40))
            return call(getattr(sysdefine(), reference_item_pos), item, targets);
        return py_int(target * len + offset);
    }
    const npy_intp size = PyArray_SIZE(array);
    const auto *in = static_cast<const long long *>(PyArray_DATA(array));
    for (npy_intp i = 0; i < size; ++i)
        if (in[i] < 0 || in[i] > (1LL << 40)) // negative (an error) or huge: the reference decides
            return call(getattr(sysdefine(), reference_item_pos), item, targets);
    nb::object out = steal(PyArray_SimpleNew(PyArray_NDIM(array), PyArray_DIMS(array), NPY_INT64));
    auto *rows = static_cast<long long *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.ptr())));
    for (npy_intp i = 0; i < size; ++i)
        rows[i] = in[i] * len + offset;
    return out;
}

nb::object bar_fields_table() { return getattr(sysdefine(), bar_fields); }

nb::object bar_field_name_to_int(nb::handle name) { return bar_field_name_to_int(name, bar_fields_table()); }

nb::object bar_field_name_to_int(nb::handle name, nb::handle fields) {
    if (PyUnicode_CheckExact(name.ptr())) {
        if (PyDict_CheckExact(fields.ptr())) {
            PyObject *item = PyDict_GetItemWithError(fields.ptr(), name.ptr()); // borrowed
            if (item)
                return nb::borrow(item);
            if (PyErr_Occurred())
                throw_current();
        }
    }
    return call(getattr(sysdefine(), reference_name_to_int), name);
}

} // namespace kc
