// Module set-up of backtest.domain: the host names it binds at import, in
// their order, and the engine's functions, in their order of definition.
#define KC_SOURCE "src/domain/module.cpp"
#include "domain/domain.hpp"

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
    bind_from(m, package + ".convertor",
              {"convert_back_order_to_snap_order", "convert_back_order_to_snap_execution"});

    nb::object timedelta = m.attr("timedelta");
    m.attr("_1min_dt") = kc::call_kw(timedelta, {}, {{n::minutes, kc::py_int(1)}});
    m.attr("_1sec_dt") = kc::call_kw(timedelta, {}, {{n::seconds, kc::py_int(1)}});
}

void bind_functions(nb::module_ &m) {
    m.def("_get_filled_time", DM_FN(_get_filled_time), ARG("pos"), ARG("reference_time"), ARG("target_idx"),
          "The time inside the current bar at which a fill of the target is dated.");
    m.def("_transaction_order", DM_FN(_transaction_order), ARG("order_ids"), ARG("bar_highs"), ARG("bar_lows"),
          ARG("bar_opens"), ARG("bar_vols"), ARG("target_price_assign"), ARG("filled_time_assign"),
          "Matches a batch of orders against the current bar of their targets: admits new orders, prices\n"
          "and fills them, records every status change; returns the orders' statuses as an array.");
    m.def("_create_a_trader", DM_FN(_create_a_trader), ARG("order"), ARG("order_price"), ARG("trader_volume"),
          ARG("trade_price"), ARG("filled_time"),
          "Fills `trader_volume` of the order at the trade price (both prices brought to the target's\n"
          "minimum price step), stores the new trade and releases the order's frozen funds.");
    m.def("_clear_unfilled_order", DM_FN(_clear_unfilled_order), ARG("bar_time"),
          "Cancels every pending order that was not created at `bar_time`.");
    m.def("_back_test_call_on_execution", DM_FN(_back_test_call_on_execution), ARG("order"), ARG("trader"),
          "Reports a new trade to the user's execution callback, inside the trade-dealing phase.");
    m.def("_back_test_call_on_order_status", DM_FN(_back_test_call_on_order_status), ARG("order"),
          "Reports an order to the user's order-status callback, inside the trade-dealing phase.");
    m.def("_update_order_status", DM_FN(_update_order_status), ARG("order"), ARG("status_s"), ARG("status_idx"),
          ARG("order_status"), ARG("rej_reason"), ARG("update_time"),
          "Sets an order's status, tells its account when it starts or stops holding, records the status\n"
          "in `status_s[status_idx]` and reports the order to the user.");
    m.def("_set_stop_order_target_price", DM_FN(_set_stop_order_target_price), ARG("target_order_id"),
          ARG("trade_price"),
          "Arms the holding stop orders of a target order that has just filled at `trade_price`.");
    m.def("_update_stop_order_status", DM_FN(_update_stop_order_status), ARG("stop_orders"), ARG("execute_status"),
          "Sets the status of each stop order of the list.");
    m.def("_cancel_other_stop_order", DM_FN(_cancel_other_stop_order), ARG("stop_order"),
          "Takes a fired stop order and its siblings out of play; active siblings are cancelled.");
    m.def("_fire_stop_order", DM_FN(_fire_stop_order), ARG("stop_order"),
          "Fires a stop order: places its closing order and returns (order id, fill price, fill time),\n"
          "each as a one-entry array.");
    m.def("_update_trader_future_frozen", DM_FN(_update_trader_future_frozen), ARG("traders"),
          "Frozen margin and fee of futures trades; returns two float arrays.");
    m.def("_update_trader_stock_frozen", DM_FN(_update_trader_stock_frozen), ARG("traders"),
          "Frozen value and fee of stock trades; returns two lists.");
    m.def("_update_trader_frozen", DM_FN(_update_trader_frozen), ARG("traders"),
          "Frozen funds of trades of any target type; returns the two frozen items of every trade as lists.");
    m.def("_update_order_future_frozen", DM_FN(_update_order_future_frozen), ARG("orders"),
          "Frozen margin and fee of pending futures orders; returns two float arrays.");
    m.def("_update_order_stock_frozen", DM_FN(_update_order_stock_frozen), ARG("orders"),
          "Frozen value and fee of pending stock orders; returns two lists.");
    m.def("_update_order_frozen", DM_FN(_update_order_frozen), ARG("orders"),
          "Frozen funds of pending orders of any target type; returns the two frozen items of every order as lists.");
}

} // namespace

} // namespace dm

NB_MODULE(domain, m) {
    using namespace dm;
    kc::guarded(KC_SITE(DM_QUAL("<module>")), [&] {
        kc::import_numpy();
        ns.bind(m);
        bind_host_names(m);
        bind_functions(m);
        Own::capture_all();
    });
}
