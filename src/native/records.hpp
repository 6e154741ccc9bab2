// korvit.native.KVBackOrder, KVBackTrade and KVBackStopOrder: the order,
// trade and stop-order records of the backtest; see records.cpp.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

namespace knative {

void bind_records(nanobind::module_ &m);

// Whether `o` is exactly one of the record types, as made (see RecordType::plain).
bool plain_record(PyObject *o);

// The count of writes of a KVBackStopOrder's `target_order_id` or class, and
// the attribute hook of the type that counts them.
const uint64_t *stop_target_write_count();
setattrofunc stop_record_setattro();

} // namespace knative
