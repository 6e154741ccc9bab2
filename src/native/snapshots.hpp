// The snapshot converters of korvit.native (src/native/snapshots.cpp).
#pragma once

#include <nanobind/nanobind.h>

namespace knative {

// Defines snap_order and snap_execution in the module.
void bind_snapshots(nanobind::module_ &m);

// Whether snap_order / snap_execution of these arguments would make the
// snapshot without running host code and without failing: 1 or 0, -1 with a
// Python error set.
int quiet_snap_order(PyObject *order, PyObject *account_names, PyObject *target_list);
int quiet_snap_execution(PyObject *order, PyObject *trade, PyObject *account_names, PyObject *target_list);

} // namespace knative
