// korvit.native.KVBackOrder, KVBackTrade and KVBackStopOrder: the order,
// trade and stop-order records of the backtest; see records.cpp.
#pragma once

#include <nanobind/nanobind.h>

namespace knative {

void bind_records(nanobind::module_ &m);

} // namespace knative
