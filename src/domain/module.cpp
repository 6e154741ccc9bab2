// Module set-up of backtest.domain: the host names it binds at import, in
// their order, and the engine's functions, in their order of definition.
#define KC_SOURCE "src/domain/module.cpp"
#include "domain/collections.hpp"
#include "domain/context.hpp"

#include <string>

namespace dm {

kc::ModuleNamespace ns;

#define DM_DEFINE_OWN(name) kc::OwnFunction Own::name{#name, KC_SITE(DM_QUAL(#name))};
DM_OWN_FUNCTIONS(DM_DEFINE_OWN)
#undef DM_DEFINE_OWN

void Own::capture_all() {
#define DM_CAPTURE_OWN(name) name.capture(ns);
    DM_OWN_FUNCTIONS(DM_CAPTURE_OWN)
#undef DM_CAPTURE_OWN
}

nb::object as_fast_sequence(nb::handle seq, const char *what) {
    if (PyTuple_CheckExact(seq.ptr()))
        return nb::borrow(seq);
    // A private list: host code called while we walk it cannot resize it under us.
    // A new list that only the caller holds (a result just returned) is one already.
    if (PyList_CheckExact(seq.ptr()) && Py_REFCNT(seq.ptr()) == 1)
        return nb::borrow(seq);
    if (!PyList_Check(seq.ptr()) && !PySequence_Check(seq.ptr()))
        kc::raise(PyExc_TypeError, "%s must be a sequence, not %s", what, Py_TYPE(seq.ptr())->tp_name);
    return kc::steal(PySequence_List(seq.ptr()));
}

namespace {

// Binds `names` of host module `module` as globals of this module.
void bind_from(nb::module_ &m, const std::string &module, std::initializer_list<const char *> names) {
    for (const char *name : names)
        m.attr(name) = kc::import_from(module.c_str(), name);
}

void bind_host_names(nb::module_ &m) {
    m.attr("itertools") = kc::import("itertools");
    m.attr("np") = kc::import("numpy");
    bind_from(m, "math", {"isnan"});
    bind_from(m, "datetime", {"timedelta"});
    bind_from(m, "decimal", {"Decimal"});
    bind_from(m, "fractions", {"Fraction"});

    nb::object cnt = kc::import("korvit.tframe.framekit");
    m.attr("cnt") = cnt;
    m.attr("gv") = cnt.attr("gv");
    m.attr("smm") = cnt.attr("smm");

    bind_from(m, "korvit.tframe.ufuncs", {"todotmc"});
    bind_from(m, "korvit.tframe.utils.logger", {"write_userlog"});
    m.attr("cb") = kc::import_from("korvit.tframe.utils.collectbase", "CollectBase");
    bind_from(m, "korvit.tframe.utils.datetimefunc", {"mft_to_datetime", "datetime_to_mft"});
    bind_from(m, "korvit.tframe.utils.exceptions", {"raise_bultin_error"});
    bind_from(m, "korvit.api.history._history", {"get_target_info_v2", "get_bar_tick_data"});

    // The record classes and converters live beside this module, in its own package.
    const char *module_name = PyModule_GetName(m.ptr());
    if (!module_name)
        kc::throw_current();
    const std::string name = module_name;
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        kc::raise(PyExc_ImportError, "attempted relative import with no known parent package");
    const std::string package = name.substr(0, dot);
    bind_from(m, package + ".model.orders", {"KVBackOrder", "KVBackTrade", "KVBackStopOrder"});
    bind_from(m, package + ".model.positions", {"PositionsBase"});
    bind_from(m, package + ".model.accounts", {"KVBackAccount"});
    bind_from(m, package + ".convertor", {"convert_back_order_to_snap_order", "convert_back_order_to_snap_execution"});

    nb::object timedelta = m.attr("timedelta");
    m.attr("_1min_dt") = kc::call_kw(timedelta, {}, {{n::minutes, kc::py_int(1)}});
    m.attr("_1sec_dt") = kc::call_kw(timedelta, {}, {{n::seconds, kc::py_int(1)}});
}

// Every parameter takes any value, None included (the engine checks what it
// reads, and a host may hand it its own records); the signatures give the
// types that the backtest passes, for help() and the generated stub.
void bind_functions(nb::module_ &m) {
    m.def("calc_order_value_rb", DM_FN(calc_order_value_rb),
          nb::sig("def calc_order_value_rb(order: korvit.native.KVBackOrder) -> float"), ARG("order"),
          "The cash value that an order commits.\n\n"
          "Price x volume x multiplier x margin rate, with a stock order's fee added (buy) or taken off\n"
          "(sell); 0 for a market order.");
    m.def("deal_trade", DM_FN(deal_trade), nb::sig("def deal_trade() -> tuple[list[int], list[int], list[int]]"),
          "Deals the current bar.\n\n"
          "Brings waiting stop orders up to date, matches the pending orders and deals the stop orders.\n"
          "Returns (filled_order_ids, order_denied_canceled_ids, fired_stop_order_ids).");
    m.def("_deal_normal_order", DM_FN(_deal_normal_order),
          nb::sig("def _deal_normal_order() -> tuple[list[int], list[int]]"),
          "Matches every pending order against the current bar.\n\n"
          "Finished orders leave the pending ones.  Returns (filled_order_ids, order_denied_canceled_ids).");
    m.def("_deal_stop_order", DM_FN(_deal_stop_order),
          nb::sig("def _deal_stop_order(filled_order_ids: list[int], order_denied_canceled_ids: list[int]) -> "
                  "tuple[list[int], list[int]]"),
          ARG("filled_order_ids"), ARG("order_denied_canceled_ids"),
          "Deals the live stop orders against the current bar.\n\n"
          "Goes target order by target order; fires the stop orders that trigger and matches their closing\n"
          "orders.  Returns (filled_order_ids, fired_stop_order_ids), the first being the list given, extended.");
    m.def("_get_filled_time", DM_FN(_get_filled_time),
          nb::sig("def _get_filled_time(pos: int, reference_time: float, target_idx: int) -> float"), ARG("pos"),
          ARG("reference_time"), ARG("target_idx"),
          "The time inside the current bar at which a fill of the target is dated.");
    m.def("_get_order_related_unfired_stop_order", DM_FN(_get_order_related_unfired_stop_order),
          nb::sig("def _get_order_related_unfired_stop_order(order_ids: collections.abc.Sequence[int]) -> "
                  "list[korvit.native.KVBackStopOrder]"),
          ARG("order_ids"), "The live stop orders whose target order is one of `order_ids` (once per matching id).");
    m.def("_transaction_order", DM_FN(_transaction_order),
          nb::sig("def _transaction_order(order_ids: collections.abc.Sequence[int], bar_highs: "
                  "numpy.typing.NDArray[numpy.float64], bar_lows: numpy.typing.NDArray[numpy.float64], bar_opens: "
                  "numpy.typing.NDArray[numpy.float64], bar_vols: numpy.typing.NDArray[numpy.float64], "
                  "target_price_assign: numpy.typing.NDArray[numpy.float64], filled_time_assign: "
                  "numpy.typing.NDArray[numpy.float64]) -> numpy.typing.NDArray[numpy.int64]"),
          ARG("order_ids"), ARG("bar_highs"), ARG("bar_lows"), ARG("bar_opens"), ARG("bar_vols"),
          ARG("target_price_assign"), ARG("filled_time_assign"),
          "Matches a batch of orders against the current bar of their targets.\n\n"
          "Admits new orders, prices and fills them, records every status change; returns the orders'\n"
          "statuses as an array.");
    m.def("_create_a_trader", DM_FN(_create_a_trader),
          nb::sig("def _create_a_trader(order: korvit.native.KVBackOrder, order_price: float, trader_volume: float, "
                  "trade_price: float, filled_time: float) -> korvit.native.KVBackTrade"),
          ARG("order"), ARG("order_price"), ARG("trader_volume"), ARG("trade_price"), ARG("filled_time"),
          "Fills `trader_volume` of the order at the trade price.\n\n"
          "Both prices are brought to the target's minimum price step; stores the new trade and releases\n"
          "the order's frozen funds.");
    m.def("_clear_unfilled_order", DM_FN(_clear_unfilled_order),
          nb::sig("def _clear_unfilled_order(bar_time: float) -> None"), ARG("bar_time"),
          "Cancels every pending order that was not created at `bar_time`.");
    m.def("_back_test_call_on_execution", DM_FN(_back_test_call_on_execution),
          nb::sig("def _back_test_call_on_execution(order: korvit.native.KVBackOrder, trader: "
                  "korvit.native.KVBackTrade) -> None"),
          ARG("order"), ARG("trader"),
          "Reports a new trade to the user's execution callback, inside the trade-dealing phase.");
    m.def("_back_test_call_on_order_status", DM_FN(_back_test_call_on_order_status),
          nb::sig("def _back_test_call_on_order_status(order: korvit.native.KVBackOrder) -> None"), ARG("order"),
          "Reports an order to the user's order-status callback, inside the trade-dealing phase.");
    m.def("_update_order_status", DM_FN(_update_order_status),
          nb::sig("def _update_order_status(order: korvit.native.KVBackOrder, status_s: "
                  "collections.abc.MutableSequence[int], status_idx: int, order_status: int, rej_reason: float, "
                  "update_time: float) -> None"),
          ARG("order"), ARG("status_s"), ARG("status_idx"), ARG("order_status"), ARG("rej_reason"), ARG("update_time"),
          "Sets an order's status and reports the order to the user.\n\n"
          "Tells the order's account when it starts or stops holding and records the status in\n"
          "`status_s[status_idx]`.");
    m.def("_cancelled_stop_order_by_target_order_id", DM_FN(_cancelled_stop_order_by_target_order_id),
          nb::sig("def _cancelled_stop_order_by_target_order_id(order_denied_canceled_ids: "
                  "collections.abc.Sequence[int]) -> None"),
          ARG("order_denied_canceled_ids"),
          "Cancels every live stop order of the given target orders; they leave the live ones.");
    m.def("_set_stop_order_target_price", DM_FN(_set_stop_order_target_price),
          nb::sig("def _set_stop_order_target_price(target_order_id: int, trade_price: float) -> None"),
          ARG("target_order_id"), ARG("trade_price"),
          "Arms the holding stop orders of a target order that has just filled at `trade_price`.");
    m.def("_update_unfired_stop_order_status_if_holding_status",
          DM_FN(_update_unfired_stop_order_status_if_holding_status),
          nb::sig("def _update_unfired_stop_order_status_if_holding_status() -> None"),
          "Arms the waiting stop orders of filled target orders and cancels those of failed ones.");
    m.def("_update_stop_order_status", DM_FN(_update_stop_order_status),
          nb::sig("def _update_stop_order_status(stop_orders: collections.abc.Sequence[korvit.native.KVBackStopOrder], "
                  "execute_status: int) -> None"),
          ARG("stop_orders"), ARG("execute_status"), "Sets the status of each stop order of the list.");
    m.def("_cancel_other_stop_order", DM_FN(_cancel_other_stop_order),
          nb::sig("def _cancel_other_stop_order(stop_order: korvit.native.KVBackStopOrder) -> None"), ARG("stop_order"),
          "Takes a fired stop order and its siblings out of play; active siblings are cancelled.");
    m.def("_fire_stop_order", DM_FN(_fire_stop_order),
          nb::sig("def _fire_stop_order(stop_order: korvit.native.KVBackStopOrder) -> "
                  "tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.float64], "
                  "numpy.typing.NDArray[numpy.float64]]"),
          ARG("stop_order"),
          "Fires a stop order: places its closing order.\n\n"
          "Returns (order id, fill price, fill time), each as a one-entry array.");
    m.def("_update_stop_trailing_order_trigger_price", DM_FN(_update_stop_trailing_order_trigger_price),
          nb::sig("def _update_stop_trailing_order_trigger_price(stop_order: korvit.native.KVBackStopOrder, "
                  "target_price: float) -> None"),
          ARG("stop_order"), ARG("target_price"), "Recomputes a trailing stop's trigger price from its extreme.");
    m.def("_judge_stop_orders_by_bar", DM_FN(_judge_stop_orders_by_bar),
          nb::sig("def _judge_stop_orders_by_bar(bar_high: float, bar_low: float, volume: float, "
                  "same_target_stop_orders: collections.abc.Sequence[korvit.native.KVBackStopOrder]) -> "
                  "tuple[list[korvit.native.KVBackStopOrder], list[korvit.native.KVBackStopOrder]]"),
          ARG("bar_high"), ARG("bar_low"), ARG("volume"), ARG("same_target_stop_orders"),
          "Judges the stop orders of one target order on the bar's extremes (single precision).\n\n"
          "Returns (may_fire, must_tick_check).");
    m.def(
        "_judge_stop_orders_by_tick", DM_FN(_judge_stop_orders_by_tick),
        nb::sig("def _judge_stop_orders_by_tick(stop_orders: collections.abc.Sequence[korvit.native.KVBackStopOrder]) "
                "-> tuple[list[korvit.native.KVBackStopOrder], numpy.typing.NDArray[numpy.float64], "
                "numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], "
                "numpy.typing.NDArray[numpy.float64]]"),
        ARG("stop_orders"),
        "Walks the current bar's ticks to find the first stop order that triggers.\n\n"
        "Returns (fire_stop_orders, open, high, low, volume), the arrays describing the rest of the bar.");
    m.def("_update_trader_future_frozen", DM_FN(_update_trader_future_frozen),
          nb::sig("def _update_trader_future_frozen(traders: collections.abc.Sequence[korvit.native.KVBackTrade]) -> "
                  "tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]"),
          ARG("traders"), "Frozen margin and fee of futures trades; returns two float arrays.");
    m.def("_update_trader_stock_frozen", DM_FN(_update_trader_stock_frozen),
          nb::sig("def _update_trader_stock_frozen(traders: collections.abc.Sequence[korvit.native.KVBackTrade]) -> "
                  "tuple[list[float], list[float]]"),
          ARG("traders"), "Frozen value and fee of stock trades; returns two lists.");
    m.def("_update_trader_frozen", DM_FN(_update_trader_frozen),
          nb::sig("def _update_trader_frozen(traders: collections.abc.Iterable[korvit.native.KVBackTrade]) -> "
                  "tuple[list[float], list[float]]"),
          ARG("traders"),
          "Frozen funds of trades of any target type; returns the two frozen items of every trade as lists.");
    m.def("_update_order_future_frozen", DM_FN(_update_order_future_frozen),
          nb::sig("def _update_order_future_frozen(orders: collections.abc.Sequence[korvit.native.KVBackOrder]) -> "
                  "tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]"),
          ARG("orders"), "Frozen margin and fee of pending futures orders; returns two float arrays.");
    m.def("_update_order_stock_frozen", DM_FN(_update_order_stock_frozen),
          nb::sig("def _update_order_stock_frozen(orders: collections.abc.Sequence[korvit.native.KVBackOrder]) -> "
                  "tuple[list[float], list[float]]"),
          ARG("orders"), "Frozen value and fee of pending stock orders; returns two lists.");
    m.def("_update_order_frozen", DM_FN(_update_order_frozen),
          nb::sig("def _update_order_frozen(orders: collections.abc.Iterable[korvit.native.KVBackOrder]) -> "
                  "tuple[list[float], list[float]]"),
          ARG("orders"),
          "Frozen funds of pending orders of any target type; returns the two frozen items of every order as lists.");
}

} // namespace

} // namespace dm

NB_MODULE(domain, m) {
    using namespace dm;
    kc::guarded(KC_SITE(DM_QUAL("<module>")), [&] {
        m.doc() = "The backtest matching engine: order status, frozen funds, trades, the order transaction, stop "
                  "orders and the per-bar deal driver.";
        kc::import_numpy();
        ns.bind(m);
        bind_host_names(m);
        bind_functions(m);
        Own::capture_all();
        capture_callback_defaults();
        ctx::capture();
        coll::release_at_exit();
    });
}
