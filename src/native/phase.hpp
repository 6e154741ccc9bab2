// The run-phase manager of korvit.native (src/native/phase.cpp).
#pragma once

#include <nanobind/nanobind.h>

namespace kn {

// Defines SystemModeMgr in the module.
void register_phase(nanobind::module_ &m);

} // namespace kn
