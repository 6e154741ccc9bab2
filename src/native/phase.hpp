// The run-phase manager of korvit.native (src/native/phase.cpp).
#pragma once

#include <nanobind/nanobind.h>

namespace knative {

// Defines SystemModeMgr in the module.
void bind_phase(nanobind::module_ &m);

// The function that a phase wrapper made by SystemModeMgr runs (borrowed; it
// may be null once the wrapper was cleared), or null when `o` is no such wrapper.
PyObject *phase_wrapped(PyObject *o);

} // namespace knative
