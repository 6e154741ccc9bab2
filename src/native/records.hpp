// korvit.native.KVBackOrder, KVBackTrade and KVBackStopOrder: the order,
// trade and stop-order records of the backtest; see records.cpp.
#pragma once

#include "native/services.hpp"

#include <nanobind/nanobind.h>

#include <cstdint>

namespace knative {

void bind_records(nanobind::module_ &m);

// Whether `o` is exactly one of the record types, as made (see RecordType::plain).
bool plain_record(PyObject *o);

// See EngineServices: the count of writes of a KVBackStopOrder's
// `target_order_id` and class changes (the compiled code writes the field of
// a record it has just made, held by no one else, uncounted; records emptied
// by the garbage collector count), and how the type reads the field.
const uint64_t *stop_target_write_count();
bool stop_target_field(StopTargetField &out);
// Whether no instance of KVBackStopOrder can change its class uncounted, nor
// any other object become one: the type has no subtype now (see records.cpp).
bool stop_class_fixed();

} // namespace knative
