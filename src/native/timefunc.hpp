// The time conversion of korvit.native (src/native/timefunc.cpp).
#pragma once

#include <nanobind/nanobind.h>

namespace knative {

// Defines mft_to_datetime in the module.
void bind_timefunc(nanobind::module_ &m);

} // namespace knative
