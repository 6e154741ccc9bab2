// backtest.domain: the backtest matching engine.
//
// Everything the engine touches belongs to the host: the registry `cnt.vr`,
// the environment `cnt.env`, the record collections and records, the
// accounts and the user's callbacks.  Every host-facing name is a global of
// this module, looked up when it is used (`ns`), so a host or a test that
// installs another object under that name is obeyed.  Calls between the
// engine's own functions go through the module namespace too (`Own`).
#pragma once

#include "core/pyutil.hpp"

#include <vector>

namespace dm {

namespace nb = nanobind;
using kc::Name;

// The module's namespace (late binding of its globals).
extern kc::ModuleNamespace ns;

// Qualified-name prefix of every traceback entry of this module.
#define DM_QUAL(name) "backtest.domain." name

// A parameter of a bound function; any value, None included, is passed on.
#define ARG(name) nb::arg(name).none()

// A native function bound as the module function of the same name.
#define DM_FN(name) kc::guard<name>(KC_SITE(DM_QUAL(#name)))

// ------------------------------------------------------------------ names
namespace n {
// module globals
inline Name cnt{"cnt"}, gv{"gv"}, smm{"smm"}, cb{"cb"}, np{"np"}, Decimal{"Decimal"}, write_userlog{"write_userlog"},
    mft_to_datetime{"mft_to_datetime"}, datetime_to_mft{"datetime_to_mft"}, raise_bultin_error{"raise_bultin_error"},
    get_target_info_v2{"get_target_info_v2"}, get_bar_tick_data{"get_bar_tick_data"}, KVBackOrder{"KVBackOrder"},
    KVBackTrade{"KVBackTrade"}, KVBackStopOrder{"KVBackStopOrder"},
    convert_back_order_to_snap_order{"convert_back_order_to_snap_order"},
    convert_back_order_to_snap_execution{"convert_back_order_to_snap_execution"}, todotmc{"todotmc"},
    _1min_dt{"_1min_dt"}, _1sec_dt{"_1sec_dt"};

// registry and environment
inline Name vr{"vr"}, env{"env"}, g_KVOrders{"g_KVOrders"}, g_KVStopOrders{"g_KVStopOrders"}, g_KVTrades{"g_KVTrades"},
    g_KorvitAccounts{"g_KorvitAccounts"}, g_KorvitSettingInfo{"g_KorvitSettingInfo"},
    g_KorvitInputInfo{"g_KorvitInputInfo"}, g_KorvitSimCurBarFresh{"g_KorvitSimCurBarFresh"},
    g_KorvitDataValueFresh{"g_KorvitDataValueFresh"}, g_KorvitKDataList{"g_KorvitKDataList"},
    g_KorvitCache{"g_KorvitCache"}, g_KorvitUserContext{"g_KorvitUserContext"};
inline Name get_multiple{"get_multiple"}, get_margin_rate{"get_margin_rate"}, cost_fee_rate{"cost_fee_rate"},
    is_target_type{"is_target_type"}, fresh_bar_time{"fresh_bar_time"}, matrix_bar_item_pos{"matrix_bar_item_pos"},
    enter_phase{"enter_phase"};

// settings and strategy input
inline Name MarginRate{"MarginRate"}, KFrequencyI{"KFrequencyI"}, KFreNum{"KFreNum"},
    on_order_status_func{"on_order_status_func"}, on_order_execution_func{"on_order_execution_func"},
    AccountNameList{"AccountNameList"}, TargetList{"TargetList"};

// record fields and operations
inline Name order_id{"order_id"}, handle_idx{"handle_idx"}, target_idx{"target_idx"}, target_type{"target_type"},
    code{"code"}, ctg{"ctg"}, side{"side"}, position_effect{"position_effect"}, price{"price"}, volume{"volume"},
    filled_volume{"filled_volume"}, unfilled_volume{"unfilled_volume"}, filled_amount{"filled_amount"},
    filled_average{"filled_average"}, status{"status"}, created_time{"created_time"}, updated_time{"updated_time"},
    updated_time_dt{"updated_time_dt"}, tag{"tag"};
inline Name update_status{"update_status"}, frozen_item{"frozen_item"}, set_frozen_item{"set_frozen_item"},
    on_order{"on_order"}, create{"create"}, stock_commission_rate{"stock_commission_rate"};
inline Name obj_attr_value{"obj_attr_value"}, snap_obj{"snap_obj"}, append{"append"}, size{"size"}, get{"get"};
inline Name min_sec_filled_time{"min_sec_filled_time"}, BaseBegin{"BaseBegin"}, Matrix{"Matrix"}, get_item{"get_item"},
    minutes{"minutes"}, seconds{"seconds"}, unique{"unique"}, flatnonzero{"flatnonzero"}, contain_head{"contain_head"},
    return_index{"return_index"};

// stop orders and the collections' snaps and operations
inline Name unfilled{"unfilled"}, unfired{"unfired"}, snap_count{"snap_count"}, snap_attr_value{"snap_attr_value"},
    snap_remove{"snap_remove"}, obj{"obj"};
inline Name stop_order_id{"stop_order_id"}, target_order_id{"target_order_id"}, act{"act"},
    stop_order_type{"stop_order_type"}, execute_status{"execute_status"}, stop_gap_type{"stop_gap_type"},
    stop_gap{"stop_gap"}, target_price{"target_price"}, stop_price{"stop_price"},
    trigger_real_price{"trigger_real_price"}, trigger_time{"trigger_time"}, trailing_price{"trailing_price"},
    trailing_high{"trailing_high"}, trailing_low{"trailing_low"}, stop_trailing_price{"stop_trailing_price"},
    in_bar_begin{"in_bar_begin"}, is_begin_trailing{"is_begin_trailing"},
    in_begin_trailing_bar{"in_begin_trailing_bar"};
inline Name StopOrderStatus_Holding{"StopOrderStatus_Holding"}, StopOrderStatus_Active{"StopOrderStatus_Active"},
    StopOrderStatus_Trailing{"StopOrderStatus_Trailing"}, StopOrderStatus_Fired{"StopOrderStatus_Fired"},
    StopOrderStatus_Cancelled{"StopOrderStatus_Cancelled"}, StopOrderType_Loss{"StopOrderType_Loss"},
    StopOrderType_Profit{"StopOrderType_Profit"}, StopOrderType_Trailing{"StopOrderType_Trailing"},
    OrderStop_StopGap_Point{"OrderStop_StopGap_Point"}, OrderStop_StopGap_Percent{"OrderStop_StopGap_Percent"},
    OrderCtg_Market{"OrderCtg_Market"}, KFreq_Tick{"KFreq_Tick"};

// KVBackTrade.create keywords
inline Name order_price{"order_price"}, trader_id{"trader_id"}, trader_volume{"trader_volume"},
    trade_price{"trade_price"}, filled_time{"filled_time"}, order_ctg{"order_ctg"}, order_side{"order_side"},
    order_fee{"order_fee"}, order_margin{"order_margin"};

// gv constants
inline Name OrderStatus_PreHolding{"OrderStatus_PreHolding"}, OrderStatus_Holding{"OrderStatus_Holding"},
    OrderStatus_Filled{"OrderStatus_Filled"}, OrderStatus_Cancelled{"OrderStatus_Cancelled"},
    OrderStatus_Denied{"OrderStatus_Denied"}, OrderAct_Buy{"OrderAct_Buy"}, OrderAct_Sell{"OrderAct_Sell"},
    PositionEffect_Open{"PositionEffect_Open"}, PositionEffect_Close{"PositionEffect_Close"},
    OrderReject_DailyBeginCancel{"OrderReject_DailyBeginCancel"}, TARGETTYPE_STOCK{"TARGETTYPE_STOCK"},
    TARGETTYPE_FUTURE{"TARGETTYPE_FUTURE"}, KFreq_Min{"KFreq_Min"}, KFreq_Day{"KFreq_Day"}, KFreq_Week{"KFreq_Week"},
    KMatrixPos_TimeLine{"KMatrixPos_TimeLine"}, KMatrix_Volume{"KMatrix_Volume"},
    RUMMODE_PHASE_DEAL_TRADE{"RUMMODE_PHASE_DEAL_TRADE"};
} // namespace n

// ------------------------------------------------------ shared small reads

// The module global `name` (late bound).
inline nb::object global(Name &name) { return ns.get(name); }
// `gv.<name>` (a plain constant of an unchanged class is not read again).
inline nb::object gv(Name &name) { return kc::class_constant(ns.get(n::gv), name); }
// The `gv` constants that one call of an engine function uses: `gv` and
// each constant are read at their first use in the call.
class GvConstants {
public:
    GvConstants() = default;
    GvConstants(const GvConstants &) = delete;
    GvConstants &operator=(const GvConstants &) = delete;
    ~GvConstants() {
        for (size_t i = 0; i < count_; ++i)
            Py_DECREF(values_[i]);
    }
    nb::handle operator()(Name &name) {
        for (size_t i = 0; i < count_; ++i)
            if (names_[i] == &name)
                return values_[i];
        if (!gv_.is_valid())
            gv_ = global(n::gv);
        nb::object value = kc::class_constant(gv_, name);
        if (count_ == MAX)
            return keep_.emplace_back(std::move(value)); // more than expected: still correct
        names_[count_] = &name;
        values_[count_] = value.release().ptr();
        return values_[count_++];
    }

private:
    static constexpr size_t MAX = 24;
    nb::object gv_;
    // Only the first `count_` entries are set (each value a reference held).
    Name *names_[MAX];
    PyObject *values_[MAX];
    size_t count_ = 0;
    std::vector<nb::object> keep_;
};

// `cnt.vr` and `cnt.env`, looked up at every use.
inline nb::object vr() { return kc::getattr(ns.get(n::cnt), n::vr); }
inline nb::object env() { return kc::getattr(ns.get(n::cnt), n::env); }
// `cnt.vr.<field>`.
inline nb::object vr_field(Name &field) { return kc::getattr(vr(), field); }

// A sequence as a tuple or a private list, whose items can be read in place
// (PySequence_Fast_GET_ITEM) while host code runs.
nb::object as_fast_sequence(nb::handle seq, const char *what);

// `int(x)` of a record's index field, as a Python int.
inline nb::object index_of(nb::handle record, Name &field) { return kc::to_int(kc::field(record, field)); }

// ------------------------------------------------------- the engine's parts
// Own functions called from other parts of the engine (see kc::OwnFunction).
// clang-format off
#define DM_OWN_FUNCTIONS(X) \
    X(_deal_normal_order) \
    X(_deal_stop_order) \
    X(_get_order_related_unfired_stop_order) \
    X(_cancelled_stop_order_by_target_order_id) \
    X(_update_unfired_stop_order_status_if_holding_status) \
    X(_update_stop_trailing_order_trigger_price) \
    X(_judge_stop_orders_by_bar) \
    X(_judge_stop_orders_by_tick) \
    X(_get_filled_time) \
    X(_transaction_order) \
    X(_create_a_trader) \
    X(_back_test_call_on_execution) \
    X(_back_test_call_on_order_status) \
    X(_update_order_status) \
    X(_set_stop_order_target_price) \
    X(_update_stop_order_status) \
    X(_cancel_other_stop_order) \
    X(_fire_stop_order) \
    X(_update_trader_future_frozen) \
    X(_update_trader_stock_frozen) \
    X(_update_trader_frozen) \
    X(_update_order_future_frozen) \
    X(_update_order_stock_frozen) \
    X(_update_order_frozen)
// clang-format on

struct Own {
#define DM_DECLARE_OWN(name) static kc::OwnFunction name;
    DM_OWN_FUNCTIONS(DM_DECLARE_OWN)
#undef DM_DECLARE_OWN
    static void capture_all();
};

// `raise_bultin_error(key)` for an invalid order field: normally raises; when
// it returns, the caller goes on.
inline void builtin_error(const char *key) { kc::call(global(n::raise_bultin_error), kc::py_str(key)); }

// `[x]`.
inline nb::object list_of(nb::handle x) {
    nb::object list = kc::steal(PyList_New(1));
    PyList_SET_ITEM(list.ptr(), 0, nb::borrow(x).release().ptr());
    return list;
}

// `np.array([x])`.
nb::object one_entry_array(nb::handle x);

// `info[idx].get(label)` of contract data read with `get_target_info_v2`,
// which must come as a list.
nb::object loc_value(nb::handle info, Py_ssize_t idx, Name &label);

// `cnt.env.get_bar_field(targets, bar_pos=<current bar>, fields=[open, high, low, volume])`,
// unpacked into its four columns.
void current_bar(nb::handle targets, nb::object (&bar)[4]);
// The same four values for one target (a Python int) as doubles, read
// directly while the environment's `get_bar_field` is the compiled one and
// the bar is plain (see kc::bar_values_of_one); false otherwise.
bool current_bar_of_one(nb::handle target_idx, double (&bar)[4]);
// The one-element float64 arrays that `current_bar` gives for those values.
void bar_arrays(const double (&values)[4], nb::object (&bar)[4]);

// Order status updates and user callbacks.
nb::object _update_order_status(nb::handle order, nb::handle status_s, nb::handle status_idx, nb::handle order_status,
                                nb::handle rej_reason, nb::handle update_time);
nb::object _back_test_call_on_order_status(nb::handle order);
nb::object _back_test_call_on_execution(nb::handle order, nb::handle trader);
// Keeps the do-nothing default callbacks and korvit.native's converters as
// they are at import (called once, when the module is made).
void capture_callback_defaults();

// Frozen funds of pending orders and of executed trades.
nb::object _update_order_frozen(nb::handle orders);
nb::object _update_order_future_frozen(nb::handle orders);
nb::object _update_order_stock_frozen(nb::handle orders);
nb::object _update_trader_frozen(nb::handle traders);
nb::object _update_trader_future_frozen(nb::handle traders);
nb::object _update_trader_stock_frozen(nb::handle traders);

// Trade creation and fill time.
//
// A price brought to a multiple of `step`: the largest not above it, or with
// `up` the smallest not below it (exactly in decimal, see trade.cpp).
nb::object to_price_step(nb::handle price, nb::handle step, bool up);
// The price to hand a trade (which brings its prices down to the price step)
// for a fill that must not lie below `level` (a sell at or above its limit, a
// buy at or above its stop): `price` itself where its step down keeps to the
// level, else `price` brought up to the step.  `stepped`, when given, gets
// the price the trade will have.
nb::object not_below(nb::handle price, nb::handle level, nb::handle step, nb::object *stepped = nullptr);
// The price step of an order's target: `get_target_info_v2(cb.obj_attr_value([order],
// "target_idx"))[0].get("MinMove")`.
nb::object price_step_of(nb::handle order);
nb::object _create_a_trader(nb::handle order, nb::handle order_price, nb::handle trader_volume, nb::handle trade_price,
                            nb::handle filled_time);
nb::object _get_filled_time(nb::handle pos, nb::handle reference_time, nb::handle target_idx);
nb::object _clear_unfilled_order(nb::handle bar_time);

// The order transaction: admission, pricing and fill of a batch of orders.
nb::object _transaction_order(nb::handle order_ids, nb::handle bar_highs, nb::handle bar_lows, nb::handle bar_opens,
                              nb::handle bar_vols, nb::handle target_price_assign, nb::handle filled_time_assign);

// Stop orders: arming at the fill of their target order, firing, siblings.
nb::object _set_stop_order_target_price(nb::handle target_order_id, nb::handle trade_price);
nb::object _update_stop_order_status(nb::handle stop_orders, nb::handle execute_status);
nb::object _cancel_other_stop_order(nb::handle stop_order);
nb::object _fire_stop_order(nb::handle stop_order);

// Stop orders: triggering on the bar's extremes and on its ticks.
nb::object _update_stop_trailing_order_trigger_price(nb::handle stop_order, nb::handle target_price);
nb::object _judge_stop_orders_by_bar(nb::handle bar_high, nb::handle bar_low, nb::handle volume,
                                     nb::handle same_target_stop_orders);
nb::object _judge_stop_orders_by_tick(nb::handle stop_orders);
// Whether `_judge_stop_orders_by_bar` of a bar whose extremes read `bar_high`
// and `bar_low` (as float64), the protected volume `volume` and the stop
// orders `stops` would judge every stop order quiet (holding, or a loss or
// profit stop that does not trigger): then it writes nothing, returns two
// empty lists and only calls the collection's `snap_remove` with an empty
// list.  Decided without running host code: false wherever that cannot be
// told so (a trailing stop, a field that is no plain slot, a value whose
// comparison is Python's), and the judge itself is run.
bool judged_quiet(double bar_high, double bar_low, nb::handle volume, nb::handle stops);
// What that judge does for such a bar.
void quiet_judgement();

// Stop orders: per-bar dealing and bookkeeping.
nb::object _deal_stop_order(nb::handle filled_order_ids, nb::handle order_denied_canceled_ids);
nb::object _update_unfired_stop_order_status_if_holding_status();
nb::object _get_order_related_unfired_stop_order(nb::handle order_ids);
nb::object _cancelled_stop_order_by_target_order_id(nb::handle order_denied_canceled_ids);

// The deal driver.
nb::object calc_order_value_rb(nb::handle order);
nb::object deal_trade();
nb::object _deal_normal_order();

} // namespace dm
