// korvit.native.KVBackAccount, PositionsBase, KVBackPosition and target_index:
// backtest accounts and their positions; see accounts.cpp.
#pragma once

#include <nanobind/nanobind.h>

namespace knative {

void bind_accounts(nanobind::module_ &m);

} // namespace knative
