// The time conversion of korvit.native (src/native/timefunc.cpp).
#pragma once

#include <nanobind/nanobind.h>

namespace kn {

// Defines mft_to_datetime in the module.
void register_timefunc(nanobind::module_ &m);

} // namespace kn
