// The order transaction: one bar's matching of a batch of orders.
//
// The batch is prepared as a whole (statuses, new orders priced at the bar's
// open, frozen funds); then each order in turn is skipped, cancelled for a
// bar without trading, run through the admission checks when it is new,
// priced, and filled at once for its whole unfilled volume.
#define KC_SOURCE "src/domain/transaction.cpp"
#include "domain/context.hpp"
#include "core/decimal.hpp"
#include "core/matrix.hpp"
#include "core/number.hpp"
#include "core/numpy.hpp"

#include <cmath>
#include <vector>

namespace dm {

namespace {

using kc::test;

namespace k {
inline Name obj{"obj"}, obj_attr_value_eq_all{"obj_attr_value_eq_all"}, return_obj{"return_obj"},
    attr_update{"attr_update"}, array{"array"}, position{"position"}, valid_cash{"valid_cash"}, on_trade{"on_trade"},
    position_available_long{"position_available_long"}, position_available_short{"position_available_short"},
    at_limit_up_price{"at_limit_up_price"}, at_limit_down_price{"at_limit_down_price"}, market_price{"market_price"},
    stop_trigger{"stop_trigger"}, triggered{"triggered"}, Price{"Price"}, Time{"Time"}, LimitFill{"LimitFill"},
    first_traded{"first_traded"}, limit_price{"limit_price"};
inline Name MarketOrderHolding{"MarketOrderHolding"}, LimitType{"LimitType"}, PriceLoc{"PriceLoc"},
    SlidePrice{"SlidePrice"}, LotSize{"LotSize"}, Fraction{"Fraction"};
inline Name OrderCtg_Market{"OrderCtg_Market"}, OrderCtg_Limit{"OrderCtg_Limit"},
    OrderReject_MarketOrderHolding{"OrderReject_MarketOrderHolding"},
    OrderReject_IllegalVolume{"OrderReject_IllegalVolume"}, OrderReject_NoEnoughCash{"OrderReject_NoEnoughCash"},
    OrderReject_NoEnoughPosition{"OrderReject_NoEnoughPosition"}, OrderReject_LimitType{"OrderReject_LimitType"};
} // namespace k

// The largest volume an order may have, the lot of a stock whose contract
// data state none, and the smallest open of a bar that traded.
constexpr double MAX_ORDER_VOLUME = 2e9;
constexpr long long STOCK_LOT = 100;
constexpr double MIN_TRADED_PRICE = 1e-10;

// The user-log line of a denial for want of cash.
constexpr const char *NO_CASH_MESSAGE = "保证金不足: order_id=%d, order_volume=%s, order_price=%.2f, "
                                        "valid_cash=%.2f, margin_frozen=%.2f, fee_frozen=%.2f";

// `setting` of `cnt.vr.g_KorvitSettingInfo`, read at every use.
nb::object setting(Name &name) { return kc::getattr(vr_field(n::g_KorvitSettingInfo), name); }

nb::object item(nb::handle seq, Py_ssize_t i) { return kc::steal(PySequence_GetItem(seq.ptr(), i)); }

// The lot size of a target: `get_target_info_v2([target_idx])[0].get("LotSize")`,
// STOCK_LOT when that is None (the contract data state no lot size).
nb::object lot_size(nb::handle target_idx) {
    nb::object lot = ctx::first_target_info_value(list_of(target_idx), k::LotSize);
    return lot.is_none() ? kc::py_int(STOCK_LOT) : lot;
}

// Whether `x` is a float (a Python or numpy double) with a fractional part.
bool fractional_float(nb::handle x) {
    if (!PyFloat_Check(x.ptr()))
        return false;
    const double d = PyFloat_AS_DOUBLE(x.ptr());
    return std::isfinite(d) && d != std::floor(d);
}

// The exact decimal of a volume's shortest text, when it is a finite float or
// an int that fits a long long.
bool volume_decimal(nb::handle x, kc::Decimal10 &out) {
    PyObject *o = x.ptr();
    if (PyFloat_Check(o)) {
        const double d = PyFloat_AS_DOUBLE(o);
        if (!std::isfinite(d))
            return false;
        out = kc::shortest_decimal(d);
        return true;
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow)
            return false;
        out = kc::integer_decimal(v);
        return true;
    }
    return false;
}

// Whether `volume` is a whole number of lots of `lot`.  A whole lot (an int,
// as every lot was before fractional ones) takes `volume % lot == 0`; a
// fractional lot is exact in decimal, on the shortest texts of both
// (`Fraction(str(volume)) % Fraction(str(lot)) == 0` where the integer method
// runs out of range).
bool on_lot_grid(nb::handle volume, nb::handle lot) {
    if (!fractional_float(lot))
        return kc::equals(kc::rem(volume, lot), kc::py_int(0));
    kc::Decimal10 v, l;
    bool multiple;
    if (volume_decimal(volume, v) && volume_decimal(lot, l) && kc::is_multiple(v, l, multiple))
        return multiple;
    nb::object Fraction = global(k::Fraction);
    nb::object fv = kc::call(Fraction, kc::steal(PyObject_Str(volume.ptr())));
    nb::object fl = kc::call(Fraction, kc::steal(PyObject_Str(lot.ptr())));
    return kc::equals(kc::rem(fv, fl), kc::py_int(0));
}

// An order's volume in a user-log line: `"%d" % volume` (as ever), a fractional
// volume in its shortest text (0.125, not 0).
nb::object log_volume(nb::handle volume) {
    if (fractional_float(volume))
        return kc::steal(PyObject_Str(volume.ptr()));
    nb::object one = kc::steal(PyTuple_Pack(1, volume.ptr()));
    return kc::steal(PyUnicode_Format(kc::py_str("%d").ptr(), one.ptr()));
}

// Number of elements of `target_price_assign` (an array's size, or len()).
Py_ssize_t element_count(nb::handle values) {
    if (PyArray_Check(values.ptr()))
        return (Py_ssize_t)PyArray_SIZE(reinterpret_cast<PyArrayObject *>(values.ptr()));
    return kc::length(values);
}

// Per order whether `flags[i]` is true; a host column must have one flag per order.
std::vector<char> truth_column(nb::handle column, Py_ssize_t count, const char *what) {
    nb::object flags = as_fast_sequence(column, what);
    if (PySequence_Fast_GET_SIZE(flags.ptr()) != count)
        kc::raise(PyExc_IndexError, "%s: %zd values for %zd orders", what, PySequence_Fast_GET_SIZE(flags.ptr()),
                  count);
    std::vector<char> out((size_t)count);
    for (Py_ssize_t i = 0; i < count; ++i)
        out[(size_t)i] = kc::truthy(PySequence_Fast_GET_ITEM(flags.ptr(), i));
    return out;
}

// Batch preparation: orders new at price 0 take their bar's open, and the
// batch's frozen funds are computed.  Returns (margin_frozen, fee_frozen).
std::pair<nb::object, nb::object> prepare_batch(nb::handle order_ids, nb::handle orders, nb::handle order_status_s,
                                                nb::handle bar_opens) {
    nb::object orders_seq = as_fast_sequence(orders, "orders");
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(orders_seq.ptr());

    nb::object statuses = as_fast_sequence(order_status_s, "order statuses");
    if (PySequence_Fast_GET_SIZE(statuses.ptr()) != count)
        kc::raise(PyExc_IndexError, "obj_attr_value gave %zd statuses for %zd orders",
                  PySequence_Fast_GET_SIZE(statuses.ptr()), count);
    nb::object pre_holding = gv(n::OrderStatus_PreHolding);
    std::vector<char> pre_hold_p((size_t)count);
    for (Py_ssize_t i = 0; i < count; ++i)
        pre_hold_p[(size_t)i] = kc::equals(PySequence_Fast_GET_ITEM(statuses.ptr(), i), pre_holding);

    const std::vector<char> zero_open_fpp =
        truth_column(kc::call_kw(kc::getattr(global(n::cb), k::obj_attr_value_eq_all),
                                 {orders, n::price.get(), kc::py_int(0)}, {{k::return_obj, kc::py_bool(false)}}),
                     count, "obj_attr_value_eq_all");

    for (Py_ssize_t i = 0; i < count; ++i)
        if (pre_hold_p[(size_t)i] && zero_open_fpp[(size_t)i])
            kc::call_method(vr_field(n::g_KVOrders), k::attr_update, n::price.get(), item(bar_opens, i),
                            list_of(item(order_ids, i)));

    nb::object frozen = Own::_update_order_frozen.call(ns, [&] { return _update_order_frozen(orders); }, orders);
    nb::object pair[2];
    kc::unpack(frozen, 2, pair);
    return {pair[0], pair[1]};
}

// `getattr(record, name, default)`, read in place while the field is a set
// slot of the record type last seen under `name`.
nb::object field_or(nb::handle record, Name &name, nb::handle dflt) {
    kc::FieldReader reader(name);
    if (reader.can_peek(record.ptr()))
        if (PyObject *value = reader.peek(record.ptr()))
            return nb::borrow(value);
    return kc::getattr_or(record, name, dflt);
}

// `np.ravel(values)`.
nb::object raveled(nb::handle values) {
    nb::object any = kc::steal(PyArray_FromAny(values.ptr(), nullptr, 0, 0, 0, nullptr));
    return kc::steal(PyArray_Ravel(reinterpret_cast<PyArrayObject *>(any.ptr()), NPY_CORDER));
}

// Whether a limit order that the market reached at a better price than its
// limit fills at that price, as the run setting LimitFill says (read now; a
// setting object without it stands for "first_traded"): "first_traded", at
// the first price at or better than the limit (true); "limit_price", at the
// limit (false).
bool limit_fills_first_traded() {
    nb::object rule = kc::getattr_or(vr_field(n::g_KorvitSettingInfo), k::LimitFill, k::first_traded.get());
    if (kc::equals(rule, k::first_traded.get()))
        return true;
    if (kc::equals(rule, k::limit_price.get()))
        return false;
    kc::raise(PyExc_ValueError, "the setting LimitFill must be 'first_traded' or 'limit_price', got %R", rule.ptr());
}

// The fill of a stop entry: the order's price, the trade's price and time,
// and the level below which each price must not lie once on the price step
// (unset where it may only go down).
struct EntryFill {
    nb::object order_price, trade_price, filled_time, order_level, trade_level;
};

// Whether a stop entry's trigger is reached in the current bar, and its fill there.
//
// A buy stop triggers when the price rises to `stop_trigger` (the bar's high
// at or above it), a sell stop when it falls to it (the low at or below it).
// With the bar's ticks (`get_bar_tick_data`, asked only when the bar reached
// the trigger) the first tick at or beyond the trigger is where it triggers,
// at that tick's price and time; a bar whose ticks do not reach it does not
// trigger it.  Without ticks it triggers at the bar's open when the bar
// opened at or beyond the trigger, else at the trigger.
//
// A market stop entry fills there (no slippage, as the closing orders of
// stop orders).  A limit one (a stop-limit) becomes a limit order at `limit`
// (`triggered` is set) and fills in this bar only when the rest of the bar
// reaches the limit: at the trigger price when that price, on the price step
// (for a buy not below the trigger), is at or better than the limit; else,
// with ticks, at the first later tick at or better than the limit, at that
// tick's price (at the limit when the run setting LimitFill is
// "limit_price"); without ticks, at the limit when the bar triggered at its
// open (so that all of the bar came after the trigger) and its low (buy) or
// high (sell) reached the limit.  A bar that triggers
// inside its range cannot tell whether it came back to the limit after the
// trigger, so the order waits as a limit order from the next bar on.
//
// The fill's prices go to the price step on the order's side: a buy stop's
// fill never below the trigger, a sell limit's never below the limit (the
// trade brings prices down; see not_below).
//
// True with `fill` set when the order fills in this bar.
bool stop_entry(nb::handle order, nb::handle stop_trigger, nb::handle order_side, nb::handle order_ctg,
                nb::handle limit, nb::handle bar_open, nb::handle bar_high, nb::handle bar_low, nb::handle filled_time,
                EntryFill &fill) {
    const bool buys = kc::equals(order_side, gv(n::OrderAct_Buy));
    if (!buys && !kc::equals(order_side, gv(n::OrderAct_Sell))) {
        builtin_error("orderact");
        return false;
    }
    // At or beyond a level in the direction of the order.
    auto beyond = [&](nb::handle price, nb::handle level) { return test(price, buys ? Py_GE : Py_LE, level); };
    if (!beyond(buys ? bar_high : bar_low, stop_trigger))
        return false;
    nb::object info =
        kc::call(global(n::get_bar_tick_data), index_of(order, n::target_idx), vr_field(n::g_KorvitSimCurBarFresh));
    nb::object tick_prices = raveled(kc::getattr(info, k::Price)), tick_times;
    const Py_ssize_t tick_count = (Py_ssize_t)PyArray_SIZE(reinterpret_cast<PyArrayObject *>(tick_prices.ptr()));
    Py_ssize_t first_tick = -1;
    bool at_open = false;
    nb::object first;
    fill.filled_time = nb::borrow(filled_time);
    if (tick_count > 0) {
        tick_times = raveled(kc::getattr(info, k::Time));
        for (Py_ssize_t i = 0; i < tick_count && first_tick < 0; ++i) {
            nb::object price = item(tick_prices, i);
            if (beyond(price, stop_trigger)) {
                first_tick = i;
                first = price;
            }
        }
        if (first_tick < 0)
            return false;
        fill.filled_time = item(tick_times, first_tick);
    } else if (beyond(bar_open, stop_trigger)) {
        first = nb::borrow(bar_open);
        at_open = true;
    } else {
        first = nb::borrow(stop_trigger);
    }
    kc::set_field(order, k::triggered, kc::py_bool(true));
    if (kc::equals(order_ctg, gv(k::OrderCtg_Market))) {
        fill.order_price = fill.trade_price = first;
        if (buys)
            fill.order_level = fill.trade_level = nb::borrow(stop_trigger);
        return true;
    }
    if (!kc::equals(order_ctg, gv(k::OrderCtg_Limit))) {
        builtin_error("orderctg");
        return false;
    }
    // At or better than the limit.
    auto better = [&](nb::handle price) { return test(price, buys ? Py_LE : Py_GE, limit); };
    fill.order_price = nb::borrow(limit);
    if (!buys)
        fill.order_level = nb::borrow(limit);
    // The price the trade would have at the trigger price: a buy's not below the trigger.
    nb::object step = price_step_of(order), stepped;
    if (buys)
        not_below(first, stop_trigger, step, &stepped);
    else
        stepped = to_price_step(first, step, false);
    if (better(stepped)) {
        fill.trade_price = first;
        fill.trade_level = nb::borrow(buys ? stop_trigger : limit);
        return true;
    }
    if (!buys)
        fill.trade_level = nb::borrow(limit);
    if (first_tick >= 0) {
        for (Py_ssize_t i = first_tick + 1; i < tick_count; ++i) {
            nb::object price = item(tick_prices, i);
            if (better(price)) {
                fill.trade_price = limit_fills_first_traded() ? price : nb::borrow(limit);
                fill.filled_time = item(tick_times, i);
                return true;
            }
        }
    } else if (at_open && better(buys ? bar_low : bar_high)) {
        fill.trade_price = nb::borrow(limit);
        return true;
    }
    return false;
}

} // namespace

nb::object _transaction_order(nb::handle order_ids, nb::handle bar_highs, nb::handle bar_lows, nb::handle bar_opens,
                              nb::handle bar_vols, nb::handle target_price_assign, nb::handle filled_time_assign) {
    // A. The batch as a whole.
    nb::object orders = kc::call_method(vr_field(n::g_KVOrders), k::obj, order_ids);
    nb::object order_status_s = ctx::obj_attr_value(orders, n::status);
    auto [margin_frozen, fee_frozen] = prepare_batch(order_ids, orders, order_status_s, bar_opens);

    // B. Order by order, over a second fetch of the records.
    nb::object batch = as_fast_sequence(kc::call_method(vr_field(n::g_KVOrders), k::obj, order_ids), "orders");
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(batch.ptr());
    const nb::object nan = kc::py_float(NAN);
    const bool assigned = element_count(target_price_assign) > 0;

    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::handle order = PySequence_Fast_GET_ITEM(batch.ptr(), i);
        const nb::object index = kc::py_int(i);
        nb::object bar_high = item(bar_highs, i), bar_low = item(bar_lows, i), bar_open = item(bar_opens, i),
                   bar_volume = item(bar_vols, i);
        nb::object trade_price = kc::py_int(0);
        nb::object position_effect = kc::field(order, n::position_effect);
        nb::object unfilled_volume = kc::field(order, n::unfilled_volume);
        nb::object handle_idx = index_of(order, n::handle_idx);
        nb::object target_idx = index_of(order, n::target_idx);
        nb::object order_ctg = kc::field(order, n::ctg);
        nb::object order_side = kc::field(order, n::side);
        nb::object order_price = kc::field(order, n::price);
        nb::object order_status = kc::field(order, n::status);
        nb::object target_type = kc::field(order, n::target_type);
        nb::object back_account = kc::getitem(vr_field(n::g_KorvitAccounts), handle_idx);
        nb::object positions = kc::call_method(back_account, k::position, target_idx);
        const bool is_not_market_order_holding =
            !kc::truthy(setting(k::MarketOrderHolding)) && kc::equals(order_ctg, gv(k::OrderCtg_Market));

        nb::object status_now = kc::getitem(order_status_s, index);
        if (kc::equals(status_now, gv(n::OrderStatus_Cancelled)) || kc::equals(status_now, gv(n::OrderStatus_Denied)))
            continue;

        nb::object target_price, filled_time;
        if (assigned) {
            target_price = item(target_price_assign, i);
            filled_time = item(filled_time_assign, i);
        } else {
            target_price = nan;
            nb::object reference_time = kc::matrix_at(vr_field(n::g_KorvitDataValueFresh), gv(n::KMatrixPos_TimeLine),
                                                      vr_field(n::g_KorvitSimCurBarFresh));
            nb::object pos = vr_field(n::g_KorvitSimCurBarFresh);
            filled_time = Own::_get_filled_time.call(
                ns, [&] { return _get_filled_time(pos, reference_time, target_idx); }, pos, reference_time, target_idx);
        }

        auto set_status = [&](nb::handle status, nb::handle reason) {
            Own::_update_order_status.call(
                ns, [&] { return _update_order_status(order, order_status_s, index, status, reason, filled_time); },
                order, order_status_s, index, status, reason, filled_time);
        };

        // A bar without trading cancels market orders (when the setting asks for it), nothing else.
        if (kc::is_nan(bar_open) || test(bar_open, Py_LT, MIN_TRADED_PRICE) || test(bar_volume, Py_LT, 1)) {
            if (is_not_market_order_holding)
                set_status(gv(n::OrderStatus_Cancelled), gv(k::OrderReject_MarketOrderHolding));
            continue;
        }

        // Admission of a new order; the first check that applies ends its turn.
        if (kc::equals(order_status, gv(n::OrderStatus_PreHolding))) {
            const bool opens = kc::equals(position_effect, gv(n::PositionEffect_Open));
            const bool open_or_close = opens || kc::equals(position_effect, gv(n::PositionEffect_Close));
            if (kc::equals(order_side, gv(n::OrderAct_Buy)) && open_or_close &&
                kc::truthy(kc::call_method(env(), k::at_limit_up_price, kc::field(order, n::target_idx)))) {
                set_status(gv(n::OrderStatus_PreHolding), nan);
                continue;
            }
            if (kc::equals(order_side, gv(n::OrderAct_Sell)) && open_or_close &&
                kc::truthy(kc::call_method(env(), k::at_limit_down_price, kc::field(order, n::target_idx)))) {
                set_status(gv(n::OrderStatus_PreHolding), nan);
                continue;
            }
            auto deny = [&](Name &reason) { set_status(gv(n::OrderStatus_Denied), gv(reason)); };
            if (test(MAX_ORDER_VOLUME, Py_LT, unfilled_volume)) {
                deny(k::OrderReject_IllegalVolume);
                continue;
            }
            if (kc::equals(target_type, gv(n::TARGETTYPE_STOCK)) && opens) {
                // An opening stock order is a whole number of its contract's lots.
                if (!on_lot_grid(unfilled_volume, lot_size(target_idx))) {
                    deny(k::OrderReject_IllegalVolume);
                    continue;
                }
            }
            if (opens) {
                nb::object valid_cash = kc::call_method(back_account, k::valid_cash, filled_time);
                nb::object needed = kc::add(kc::getitem(margin_frozen, index), kc::getitem(fee_frozen, index));
                if (kc::compare(valid_cash, needed, Py_LE)) {
                    deny(k::OrderReject_NoEnoughCash);
                    nb::object volume_text = log_volume(kc::field(order, n::volume));
                    nb::object values = kc::steal(
                        PyTuple_Pack(6, kc::field(order, n::order_id).ptr(), volume_text.ptr(),
                                     kc::field(order, n::price).ptr(), valid_cash.ptr(),
                                     kc::getitem(margin_frozen, index).ptr(), kc::getitem(fee_frozen, index).ptr()));
                    nb::object message = kc::steal(PyUnicode_Format(kc::py_str(NO_CASH_MESSAGE).ptr(), values.ptr()));
                    kc::call(global(n::write_userlog), message);
                    continue;
                }
            } else if (kc::equals(position_effect, gv(n::PositionEffect_Close))) {
                Name *available = nullptr;
                if (kc::equals(order_side, gv(n::OrderAct_Buy)))
                    available = &k::position_available_short; // a buy closes a short position
                else if (kc::equals(order_side, gv(n::OrderAct_Sell)))
                    available = &k::position_available_long;
                if (available &&
                    (positions.is_none() || kc::compare(kc::getattr(positions, *available), unfilled_volume, Py_LT))) {
                    deny(k::OrderReject_NoEnoughPosition);
                    continue;
                }
            } else {
                // When the error raiser returns, the order is admitted but not matched in this bar.
                builtin_error("offsetflag");
                set_status(gv(n::OrderStatus_Holding), nan);
                continue;
            }
            set_status(gv(n::OrderStatus_Holding), nan);
        }

        // The price: a stop entry waiting for its trigger by its own rule, else by category.
        // The levels below which the order's and the trade's price must not lie
        // once on the price step (unset where they may only go down).
        nb::object order_level, trade_level;
        nb::object stop_trigger = field_or(order, k::stop_trigger, nan);
        if (!kc::is_nan(stop_trigger) && !kc::truthy(kc::field(order, k::triggered))) {
            EntryFill fill;
            if (!stop_entry(order, stop_trigger, order_side, order_ctg, order_price, bar_open, bar_high, bar_low,
                            filled_time, fill))
                continue;
            order_price = fill.order_price;
            trade_price = fill.trade_price;
            filled_time = fill.filled_time;
            order_level = fill.order_level;
            trade_level = fill.trade_level;
        } else if (kc::equals(order_ctg, gv(k::OrderCtg_Limit))) {
            const bool sells = kc::equals(order_side, gv(n::OrderAct_Sell));
            const bool buys = !sells && kc::equals(order_side, gv(n::OrderAct_Buy));
            if (sells)
                order_level = trade_level = order_price; // a sell's prices never below its limit
            if (kc::compare(bar_low, order_price, Py_LE) && kc::compare(order_price, bar_high, Py_LE)) {
                // The bar reached the limit: at its open where that was at or
                // better than the limit (as LimitFill says), else at the limit.
                trade_price = order_price;
                if ((buys || sells) && limit_fills_first_traded() &&
                    kc::compare(bar_open, order_price, buys ? Py_LE : Py_GE)) {
                    order_price = bar_open;
                    trade_price = bar_open;
                }
            } else if ((sells && kc::compare(order_price, bar_low, Py_LT)) ||
                       (buys && kc::compare(order_price, bar_high, Py_GT))) {
                // The whole bar was better than the limit: the order fills at the open.
                order_price = bar_open;
                trade_price = bar_open;
            } else if (kc::truthy(setting(k::LimitType))) {
                set_status(gv(n::OrderStatus_Cancelled), gv(k::OrderReject_LimitType));
                continue;
            }
        } else if (kc::equals(order_ctg, gv(k::OrderCtg_Market))) {
            if (!kc::is_nan(target_price)) {
                trade_price = target_price;
                order_price = target_price;
            } else {
                if (kc::equals(setting(k::PriceLoc), kc::py_int(0)))
                    order_price = kc::call_method(env(), k::market_price, target_idx, kc::py_int(-1));
                else
                    order_price = bar_open;
                const bool sells = kc::equals(order_side, gv(n::OrderAct_Sell));
                if (sells || kc::equals(order_side, gv(n::OrderAct_Buy))) {
                    nb::object slide = setting(k::SlidePrice);
                    nb::object one = kc::py_int(1);
                    nb::object factor = sells ? kc::sub(one, slide) : kc::add(one, slide);
                    trade_price = kc::mul(order_price, factor);
                } else {
                    builtin_error("orderact");
                }
            }
        } else {
            builtin_error("orderctg");
        }

        if (test(trade_price, Py_LE, 0))
            continue; // no price in this bar: the order stays pending

        // The fill: trade, status report, execution report, frozen funds of
        // the trade, the account, and the stop orders watching this order.
        // The trade brings its prices down to the price step; those that
        // must not lie below a level go up instead where down would cross it
        // (the stop orders are armed at the price before the step).
        nb::object order_fill = order_price, trade_fill = trade_price;
        if (order_level.is_valid() || trade_level.is_valid()) {
            nb::object step = price_step_of(order);
            if (order_level.is_valid())
                order_fill = not_below(order_price, order_level, step);
            if (trade_level.is_valid())
                trade_fill = not_below(trade_price, trade_level, step);
        }
        nb::object volume = kc::field(order, n::unfilled_volume);
        nb::object new_trade = Own::_create_a_trader.call(
            ns, [&] { return _create_a_trader(order, order_fill, volume, trade_fill, filled_time); }, order, order_fill,
            volume, trade_fill, filled_time);
        set_status(kc::field(order, n::status), nan);
        Own::_back_test_call_on_execution.call(
            ns, [&] { return _back_test_call_on_execution(order, new_trade); }, order, new_trade);
        nb::object traders = list_of(new_trade);
        Own::_update_trader_frozen.call(ns, [&] { return _update_trader_frozen(traders); }, traders);
        kc::call_method(back_account, k::on_trade, list_of(new_trade));
        nb::object order_id = kc::field(order, n::order_id);
        Own::_set_stop_order_target_price.call(
            ns, [&] { return _set_stop_order_target_price(order_id, trade_price); }, order_id, trade_price);
    }

    return kc::call(kc::getattr(global(n::np), k::array), order_status_s);
}

} // namespace dm
