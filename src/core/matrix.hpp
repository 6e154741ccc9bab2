// Native reads of numpy bar matrices, with numpy's own indexing (and errors)
// for anything unusual.  Needs the numpy C API of the calling module.
#pragma once

#include "core/pyutil.hpp"
#include "core/numpy.hpp"

namespace kc {

// `(a, b)`.
inline nb::object tuple2(nb::handle a, nb::handle b) { return steal(PyTuple_Pack(2, a.ptr(), b.ptr())); }

// An integer position (Python or numpy integer, not bool) as a C value.
bool as_position(nb::handle o, npy_intp &out);

// Wraps a possibly negative position into [0, size); false when out of range.
bool wrap_position(npy_intp &pos, npy_intp size);

// A 2-D numpy array of plain (non-object) items, or null.
PyArrayObject *plain_matrix(nb::handle o);

// `matrix[row, col]`: natively for numeric numpy matrices and integer
// positions (a numpy scalar of the matrix's dtype), numpy indexing otherwise.
nb::object matrix_at(nb::handle matrix, nb::handle row, nb::handle col);

// Whether numpy item type `type` is a plain real number (integer or float).
bool is_real_type(int type);

// The item at `p` of a plain array of type `type` as a double; false for
// item types that are not plain real numbers.
bool item_as_double(const char *p, int type, double &out);

} // namespace kc
