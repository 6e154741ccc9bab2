// Registration of the parts of korvit.native kept in their own sources.
#pragma once

#include <nanobind/nanobind.h>

namespace kn {

// snap_order and snap_execution (src/native/snapshots.cpp).
void register_snapshots(nanobind::module_ &m);

} // namespace kn
