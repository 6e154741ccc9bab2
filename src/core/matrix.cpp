#define KC_SOURCE "src/core/matrix.cpp"
#include "core/matrix.hpp"

namespace kc {

bool as_position(nb::handle o, npy_intp &out) {
    if (!is_integer_scalar(o))
        return false;
    Py_ssize_t v = PyNumber_AsSsize_t(o.ptr(), nullptr);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out = v;
    return true;
}

bool wrap_position(npy_intp &pos, npy_intp size) {
    if (pos < 0)
        pos += size;
    return pos >= 0 && pos < size;
}

PyArrayObject *plain_matrix(nb::handle o) {
    if (!PyArray_Check(o.ptr()))
        return nullptr;
    auto *a = reinterpret_cast<PyArrayObject *>(o.ptr());
    if (PyArray_NDIM(a) != 2 || PyDataType_FLAGCHK(PyArray_DESCR(a), NPY_ITEM_REFCOUNT))
        return nullptr;
    return a;
}

nb::object matrix_at(nb::handle matrix, nb::handle row, nb::handle col) {
    if (PyArrayObject *a = plain_matrix(matrix)) {
        npy_intp r, c;
        if (as_position(row, r) && as_position(col, c) && wrap_position(r, PyArray_DIM(a, 0)) &&
            wrap_position(c, PyArray_DIM(a, 1)))
            return steal(PyArray_Scalar(PyArray_GETPTR2(a, r, c), PyArray_DESCR(a), matrix.ptr()));
    }
    return getitem(matrix, tuple2(row, col));
}

bool is_real_type(int type) {
    switch (type) {
        case NPY_DOUBLE:
        case NPY_FLOAT:
        case NPY_LONGDOUBLE:
        case NPY_BYTE:
        case NPY_UBYTE:
        case NPY_SHORT:
        case NPY_USHORT:
        case NPY_INT:
        case NPY_UINT:
        case NPY_LONG:
        case NPY_ULONG:
        case NPY_LONGLONG:
        case NPY_ULONGLONG:
            return true;
        default:
            return false;
    }
}

bool item_as_double(const char *p, int type, double &out) {
    switch (type) {
        case NPY_DOUBLE:
            out = *reinterpret_cast<const npy_double *>(p);
            return true;
        case NPY_FLOAT:
            out = *reinterpret_cast<const npy_float *>(p);
            return true;
        case NPY_LONGDOUBLE:
            out = (double)*reinterpret_cast<const npy_longdouble *>(p);
            return true;
        case NPY_BYTE:
            out = *reinterpret_cast<const npy_byte *>(p);
            return true;
        case NPY_UBYTE:
            out = *reinterpret_cast<const npy_ubyte *>(p);
            return true;
        case NPY_SHORT:
            out = *reinterpret_cast<const npy_short *>(p);
            return true;
        case NPY_USHORT:
            out = *reinterpret_cast<const npy_ushort *>(p);
            return true;
        case NPY_INT:
            out = *reinterpret_cast<const npy_int *>(p);
            return true;
        case NPY_UINT:
            out = *reinterpret_cast<const npy_uint *>(p);
            return true;
        case NPY_LONG:
            out = (double)*reinterpret_cast<const npy_long *>(p);
            return true;
        case NPY_ULONG:
            out = (double)*reinterpret_cast<const npy_ulong *>(p);
            return true;
        case NPY_LONGLONG:
            out = (double)*reinterpret_cast<const npy_longlong *>(p);
            return true;
        case NPY_ULONGLONG:
            out = (double)*reinterpret_cast<const npy_ulonglong *>(p);
            return true;
        default:
            return false;
    }
}

} // namespace kc
