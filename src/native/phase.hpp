// The run-phase manager of korvit.native (src/native/phase.cpp).
#pragma once

#include <nanobind/nanobind.h>

#include <functional>

namespace knative {

// Defines SystemModeMgr in the module.
void bind_phase(nanobind::module_ &m);

// The function that a phase wrapper made by SystemModeMgr runs (borrowed; it
// may be null once the wrapper was cleared), or null when `o` is no such wrapper.
PyObject *phase_wrapped(PyObject *o);

// Runs `body` as calling the phase wrapper `wrapper` would run `func`, when
// it is a wrapper made by SystemModeMgr of exactly `func` (else false, and
// nothing run): the phase is logged when due, set while `body` runs and put
// back after it, also when it throws; a failure leaves with the wrapper's
// traceback entry.
bool run_in_phase(PyObject *wrapper, PyObject *func, const std::function<void()> &body);

} // namespace knative
