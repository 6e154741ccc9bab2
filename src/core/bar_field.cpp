// `SystemBaseEnv.get_bar_field`: bar items of some targets at one bar,
// gathered from the fresh K-data matrix.  Shared by the environment, whose
// method it is, and the engine, which runs it directly while an
// environment's `get_bar_field` is still this one.
#define KC_SOURCE "src/core/bar_field.cpp"
#include "core/bar_field.hpp"
#include "core/bar_rows.hpp"
#include "core/matrix.hpp"
#include "core/numpy.hpp"

#include <cstring>
#include <vector>

namespace kc {

namespace {

namespace n {
inline Name vr{"vr"}, gv{"gv"}, g_KorvitKDataList{"g_KorvitKDataList"}, g_KorvitInputInfo{"g_KorvitInputInfo"},
    RefreshKDataIdx{"RefreshKDataIdx"}, CurrentBar{"CurrentBar"}, Matrix{"Matrix"}, ndim{"ndim"}, shape{"shape"},
    bar_field_name_to_int{"bar_field_name_to_int"}, bar_item_pos{"bar_item_pos"};
} // namespace n

nb::object env_vr(nb::handle self) { return getattr(self, n::vr); }
nb::object env_gv(nb::handle self) { return getattr(self, n::gv); }

// The K-data set that drives the fresh bars.
nb::object refresh_k_data(nb::handle vr) {
    nb::object k_data_list = getattr(vr, n::g_KorvitKDataList);
    return getitem(k_data_list, getattr(getattr(vr, n::g_KorvitInputInfo), n::RefreshKDataIdx));
}

// `matrix[rows, col]` for a list of equally long integer row arrays: the
// (fields x targets) gather done natively; numpy does anything unusual.
nb::object gather_rows(nb::handle matrix, nb::handle rows_list, nb::handle col) {
    PyArrayObject *a = plain_matrix(matrix);
    npy_intp c;
    Py_ssize_t nf = PyList_GET_SIZE(rows_list.ptr());
    if (a && nf > 0 && as_position(col, c) && wrap_position(c, PyArray_DIM(a, 1))) {
        npy_intp nt = -1;
        bool plain = true;
        for (Py_ssize_t f = 0; f < nf && plain; ++f) {
            PyObject *rows = PyList_GET_ITEM(rows_list.ptr(), f);
            if (!PyArray_Check(rows)) {
                plain = false;
                break;
            }
            auto *ra = reinterpret_cast<PyArrayObject *>(rows);
            plain = PyArray_NDIM(ra) == 1 && PyArray_TYPE(ra) == NPY_INT64 && (nt < 0 || PyArray_DIM(ra, 0) == nt);
            nt = PyArray_DIM(ra, 0);
        }
        if (plain && nt > 0) {
            const npy_intp nrows = PyArray_DIM(a, 0);
            const npy_intp item = PyArray_ITEMSIZE(a);
            std::vector<const char *> src((size_t)(nf * nt));
            for (Py_ssize_t f = 0; f < nf && plain; ++f) {
                auto *ra = reinterpret_cast<PyArrayObject *>(PyList_GET_ITEM(rows_list.ptr(), f));
                for (npy_intp t = 0; t < nt; ++t) {
                    npy_intp r = *static_cast<const npy_int64 *>(PyArray_GETPTR1(ra, t));
                    if (!wrap_position(r, nrows)) {
                        plain = false; // numpy reports the bad row
                        break;
                    }
                    src[(size_t)(f * nt + t)] = static_cast<const char *>(PyArray_GETPTR2(a, r, c));
                }
            }
            if (plain) {
                npy_intp dims[2] = {nf, nt};
                PyArray_Descr *descr = PyArray_DESCR(a);
                Py_INCREF(descr);
                nb::object out =
                    steal(PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, nullptr, nullptr, 0, nullptr));
                char *dst = static_cast<char *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.ptr())));
                for (size_t i = 0; i < src.size(); ++i)
                    std::memcpy(dst + i * (size_t)item, src[i], (size_t)item);
                return out;
            }
        }
    }
    return getitem(matrix, tuple2(rows_list, col));
}

} // namespace

// The native row functions of korvit.native (kept for the process), against
// which `gv`'s current ones are compared.
struct NativeRowFunctions {
    PyObject *item_pos = nullptr, *name_to_int = nullptr;
};
const NativeRowFunctions &native_row_functions() {
    static NativeRowFunctions found;
    if (!found.item_pos) {
        nb::object native = kc::import("korvit.native");
        found.name_to_int = kc::steal(PyObject_GetAttrString(native.ptr(), "bar_field_name_to_int")).release().ptr();
        found.item_pos = kc::steal(PyObject_GetAttrString(native.ptr(), "bar_item_pos")).release().ptr();
    }
    return found;
}

nb::object bar_field_rows(nb::handle self, nb::handle target_indices, nb::handle bar_pos, nb::handle fields) {
    // A single index or any nesting of indices becomes one flat array.
    nb::object wrapped = steal(PyList_New(1));
    PyList_SET_ITEM(wrapped.ptr(), 0, Py_NewRef(target_indices.ptr()));
    nb::object array = steal(PyArray_FROM_O(wrapped.ptr()));
    nb::object targets = steal(PyArray_Ravel(reinterpret_cast<PyArrayObject *>(array.ptr()), NPY_CORDER));

    nb::object vr = env_vr(self);
    nb::object k_data = refresh_k_data(vr);
    nb::object fresh_bar_pos = getitem(getattr(k_data, n::CurrentBar), bar_pos);
    nb::object fresh_matrix = getattr(k_data, n::Matrix);

    if (kc::assertions_enabled()) {
        bool ok;
        npy_intp pos;
        if (PyArray_Check(fresh_matrix.ptr()) && as_position(fresh_bar_pos, pos)) {
            auto *a = reinterpret_cast<PyArrayObject *>(fresh_matrix.ptr());
            ok = PyArray_NDIM(a) == 2 && pos < PyArray_DIM(a, 1);
        } else {
            ok = kc::equals(getattr(fresh_matrix, n::ndim), kc::py_int(2)) &&
                 kc::compare(fresh_bar_pos, getitem(getattr(fresh_matrix, n::shape), kc::py_int(1)), Py_LT);
        }
        if (!ok) {
            nb::object args = steal(PyTuple_Pack(1, fresh_bar_pos.ptr()));
            nb::object text = steal(PyUnicode_Format(kc::py_str("get_bar_field error, pos: %d").ptr(), args.ptr()));
            PyErr_SetObject(PyExc_AssertionError, text.ptr());
            kc::throw_current();
        }
    }

    nb::object gv = env_gv(self);
    nb::object item_idx = steal(PyList_New(0));
    nb::object it = steal(PyObject_GetIter(fields.ptr()));
    while (PyObject *f = PyIter_Next(it.ptr())) {
        nb::object field = nb::steal(f);
        // The row functions of `gv` are looked up at every use; while they are
        // the native ones of korvit.native, they run without a Python call.
        nb::object to_int = class_constant(gv, n::bar_field_name_to_int);
        nb::object item = to_int.ptr() == native_row_functions().name_to_int ? kc::bar_field_name_to_int(field)
                                                                             : kc::call(to_int, field);
        nb::object item_pos = class_constant(gv, n::bar_item_pos);
        nb::object rows = item_pos.ptr() == native_row_functions().item_pos ? kc::bar_item_pos(gv, item, targets)
                                                                            : kc::call(item_pos, item, targets);
        if (PyList_Append(item_idx.ptr(), rows.ptr()) != 0)
            kc::throw_current();
    }
    if (PyErr_Occurred())
        kc::throw_current();
    return gather_rows(fresh_matrix, item_idx, fresh_bar_pos);
}

namespace {

// `array[index]` read in place, when `array` is an exact one-dimensional
// ndarray of a native signed integer type of 4 or 8 bytes and `index` a
// plain int within it: numpy's indexing would give a scalar of that value
// and run no Python code.  False where numpy must index (and may raise).
bool integer_element(nb::handle array, nb::handle index, npy_intp &out) {
    if (Py_TYPE(array.ptr()) != &PyArray_Type || !PyLong_CheckExact(index.ptr()))
        return false;
    auto *a = reinterpret_cast<PyArrayObject *>(array.ptr());
    const int type = PyArray_TYPE(a);
    const bool wide = type == NPY_LONG || type == NPY_LONGLONG;
    if (PyArray_NDIM(a) != 1 || !PyArray_ISNOTSWAPPED(a) || !PyArray_ISALIGNED(a) ||
        PyArray_ITEMSIZE(a) != (wide ? 8 : 4) || !(wide || type == NPY_INT))
        return false;
    long long i;
    if (!compact_int_value(index.ptr(), i) || i < -PyArray_DIM(a, 0) || i >= PyArray_DIM(a, 0))
        return false;
    npy_intp at = (npy_intp)i;
    if (!wrap_position(at, PyArray_DIM(a, 0)))
        return false;
    const char *p = static_cast<const char *>(PyArray_GETPTR1(a, at));
    if (wide) {
        long long v;
        std::memcpy(&v, p, sizeof v);
        out = (npy_intp)v;
    } else {
        int v;
        std::memcpy(&v, p, sizeof v);
        out = (npy_intp)v;
    }
    return true;
}

} // namespace

bool bar_values_of_one(nb::handle self, nb::handle target, nb::handle bar_pos, PyObject *const *fields,
                       Py_ssize_t field_count, double *out) {
    static Name KMatrix_Bar_Begin{"KMatrix_Bar_Begin"}, KMatrix_Bar_End{"KMatrix_Bar_End"},
        KMatrixPos_Head_len{"KMatrixPos_Head_len"}, KMatrix_Bar_Len{"KMatrix_Bar_Len"};
    auto &small = small_int;
    long long t;
    if (!small(target, t) || t < 0 || t > (1LL << 40))
        return false;
    nb::object vr = env_vr(self);
    nb::object k_data = refresh_k_data(vr);
    nb::object current_bars = getattr(k_data, n::CurrentBar);
    npy_intp pos;
    const bool read_in_place = integer_element(current_bars, bar_pos, pos);
    nb::object fresh_bar_pos; // numpy's scalar where the position is not read in place
    if (!read_in_place)
        fresh_bar_pos = getitem(current_bars, bar_pos);
    nb::object fresh_matrix = getattr(k_data, n::Matrix);
    PyArrayObject *a = plain_matrix(fresh_matrix);
    if (!a || PyArray_TYPE(a) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(a) ||
        (!read_in_place && !as_position(fresh_bar_pos, pos)) || pos < 0 || pos >= PyArray_DIM(a, 1))
        return false;
    nb::object gv = env_gv(self);
    long long begin, end, head, len;
    if (!small(class_constant(gv, KMatrix_Bar_Begin), begin) || !small(class_constant(gv, KMatrix_Bar_End), end) ||
        !small(class_constant(gv, KMatrixPos_Head_len), head) || !small(class_constant(gv, KMatrix_Bar_Len), len) ||
        head < 0 || head > (1LL << 20) || len < 0 || len > (1LL << 20))
        return false;
    const npy_intp rows = PyArray_DIM(a, 0);
    nb::object table = bar_fields_table(); // a plain module's attribute: reading it once is reading it each time
    for (Py_ssize_t f = 0; f < field_count; ++f) {
        nb::object to_int = class_constant(gv, n::bar_field_name_to_int);
        nb::object item_pos = class_constant(gv, n::bar_item_pos);
        if (to_int.ptr() != native_row_functions().name_to_int || item_pos.ptr() != native_row_functions().item_pos)
            return false;
        nb::object item = kc::bar_field_name_to_int(fields[f], table);
        long long it;
        if (!small(item, it) || it < begin || it > end || it < -(1LL << 20) || it > (1LL << 20))
            return false;
        const long long row = t * len + head + it;
        if (row < 0 || row >= rows)
            return false;
        // The constants' reads may have run host code that reshaped the matrix in place.
        if (PyArray_NDIM(a) != 2 || PyArray_DIM(a, 0) != rows || PyArray_DIM(a, 1) <= pos ||
            PyArray_TYPE(a) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(a))
            return false;
        std::memcpy(&out[f], PyArray_GETPTR2(a, row, pos), sizeof(double));
    }
    return true;
}

} // namespace kc
