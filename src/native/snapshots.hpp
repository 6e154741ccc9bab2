// The snapshot converters of korvit.native (src/native/snapshots.cpp).
#pragma once

#include <nanobind/nanobind.h>

namespace kn {

// Defines snap_order and snap_execution in the module.
void register_snapshots(nanobind::module_ &m);

} // namespace kn
