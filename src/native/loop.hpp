// korvit.native.run_bars: the bar loop of a run in C++ (src/native/loop.cpp).
#pragma once

#include <nanobind/nanobind.h>

namespace knative {

// Defines run_bars and _own_loop_parts in the module.
void bind_loop(nanobind::module_ &m);

} // namespace knative
