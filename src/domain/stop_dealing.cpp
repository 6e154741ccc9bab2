// Stop-order dealing: once per bar, after the normal orders, the stop orders
// of every target order are judged against the bar (and its ticks where the
// bar cannot decide); those that trigger fire, and their closing orders are
// matched against the rest of the bar.  Also the per-bar bookkeeping that
// arms or cancels stop orders as their target orders fill or fail.
#define KC_SOURCE "src/domain/stop_dealing.cpp"
#include "domain/collections.hpp"
#include "core/number.hpp"

#include <algorithm>

namespace dm {

namespace {

namespace k {
inline Name snap_obj_attr_update{"snap_obj_attr_update"}, rm{"rm"}, obj_attr_update{"obj_attr_update"},
    position{"position"}, position_available_long{"position_available_long"},
    position_available_short{"position_available_short"}, extend{"extend"}, StopFill{"StopFill"},
    first_traded{"first_traded"}, stop_price{"stop_price"};
} // namespace k

nb::object stop_orders() { return vr_field(n::g_KVStopOrders); }

nb::object unfired_stop_orders() {
    return as_fast_sequence(coll::snap_obj(stop_orders(), n::unfired.get()), "stop orders");
}

// The records of `records` whose `target_order_id` equals `order_id`, in order.
nb::object with_target(nb::handle records, nb::handle order_id) {
    nb::object out = kc::new_list();
    kc::select_equal(n::target_order_id, PySequence_Fast_ITEMS(records.ptr()), PySequence_Fast_GET_SIZE(records.ptr()),
                     order_id, out);
    return out;
}

// `with_target(unfired_stop_orders(), order_id)`.  The records are read from
// a list of ours that holds them: reading a record's `target_order_id` may
// run host code that changes the collection.  The snap's index by target
// order gives the same records without the scan, when it can (see
// coll::of_target).
nb::object unfired_of_target(nb::handle order_id) {
    nb::object stops = stop_orders();
    nb::object found = coll::of_target(stops, n::unfired.get(), order_id);
    if (found.is_valid())
        return found;
    return with_target(as_fast_sequence(coll::snap_obj(stops, n::unfired.get()), "stop orders"), order_id);
}

// The distinct target order ids of the unfired stop orders, NaN left out, ascending.
nb::object dealt_target_order_ids() {
    nb::object ids = as_fast_sequence(coll::snap_attr_value(stop_orders(), n::unfired.get(), n::target_order_id.get()),
                                      "target order ids");
    nb::object sorted = kc::new_list();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(ids.ptr()); ++i) {
        nb::handle id = PySequence_Fast_GET_ITEM(ids.ptr(), i);
        if (!kc::is_nan(id))
            kc::append(sorted, id);
    }
    if (PyList_Sort(sorted.ptr()) != 0)
        kc::throw_current();
    nb::object distinct = kc::new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sorted.ptr()); ++i) {
        nb::handle id = PyList_GET_ITEM(sorted.ptr(), i);
        const Py_ssize_t kept = PyList_GET_SIZE(distinct.ptr());
        if (kept && kc::equals(PyList_GET_ITEM(distinct.ptr(), kept - 1), id))
            continue;
        kc::append(distinct, id);
    }
    return distinct;
}

// The volume that the stop orders of a target order protect: the available
// long position for a buy, the short one for a sell; 0 without a position.
nb::object protected_volume(nb::handle positions, nb::handle order_act) {
    Name *field = nullptr;
    if (kc::equals(order_act, gv(n::OrderAct_Buy)))
        field = &k::position_available_long;
    else if (kc::equals(order_act, gv(n::OrderAct_Sell)))
        field = &k::position_available_short;
    if (!field) {
        builtin_error("orderact");
        return kc::py_int(0);
    }
    return positions.is_none() ? kc::py_int(0) : kc::getattr(positions, *field);
}

// Sets the price at which a stop order fired on the bar alone fills, its
// `trigger_real_price`, as the run setting StopFill says (read now; a setting
// object without it stands for "first_traded").
//
// "first_traded": the first price of the bar at which the stop's condition
// holds: the bar's open when the stop was in force at the open and the bar
// opened at or beyond its level (at or below it for a long's loss or trailing
// stop and a short's profit stop, at or above it for a long's profit stop and
// a short's loss or trailing stop), else the level itself: the stop price of
// a loss or profit stop, the trigger price of a trailing stop (carried from
// earlier bars, or set in this bar when it began trailing in this bar, which
// its open cannot be beyond).  A price outside the bar's low-high range (only
// the single-precision view of the bar can reach one) is brought to the
// nearer end.
//
// "stop_price": loss and profit stops keep the price set at arming, trailing
// stops fill at their trailing trigger price, even where the bar opened
// beyond them.
void fill_on_bar(nb::handle stop_order, nb::handle bar_open, nb::handle bar_high, nb::handle bar_low) {
    nb::object stop_fill = kc::getattr_or(vr_field(n::g_KorvitSettingInfo), k::StopFill, k::first_traded.get());
    nb::object stop_order_type = kc::field(stop_order, n::stop_order_type);
    const bool trailing = kc::equals(stop_order_type, gv(n::StopOrderType_Trailing));
    if (kc::equals(stop_fill, k::stop_price.get())) {
        if (trailing)
            kc::set_field(stop_order, n::trigger_real_price, kc::field(stop_order, n::stop_trailing_price));
        return;
    }
    if (!kc::equals(stop_fill, k::first_traded.get()))
        kc::raise(PyExc_ValueError, "the setting StopFill must be 'first_traded' or 'stop_price', got %R",
                  stop_fill.ptr());
    nb::object order_act = kc::field(stop_order, n::act);
    nb::object level;
    bool at_open, falls, rises;
    if (trailing) {
        level = kc::field(stop_order, n::stop_trailing_price);
        at_open = kc::truthy(kc::field(stop_order, n::is_begin_trailing)) &&
                  !kc::truthy(kc::field(stop_order, n::in_begin_trailing_bar));
        falls = kc::equals(order_act, gv(n::OrderAct_Buy));
        rises = kc::equals(order_act, gv(n::OrderAct_Sell));
    } else {
        const bool loss = kc::equals(stop_order_type, gv(n::StopOrderType_Loss));
        if (!loss && !kc::equals(stop_order_type, gv(n::StopOrderType_Profit)))
            return;
        level = kc::field(stop_order, n::stop_price);
        at_open = true;
        falls = kc::equals(order_act, gv(loss ? n::OrderAct_Buy : n::OrderAct_Sell));
        rises = kc::equals(order_act, gv(loss ? n::OrderAct_Sell : n::OrderAct_Buy));
    }
    nb::object price = level;
    if (at_open) {
        nb::object first = kc::getitem(bar_open, kc::py_int(0));
        if ((falls && kc::test(first, Py_LE, level)) || (rises && kc::test(first, Py_GE, level)))
            price = first;
    }
    if (kc::test(price, Py_LT, bar_low))
        price = nb::borrow(bar_low);
    else if (kc::test(price, Py_GT, bar_high))
        price = nb::borrow(bar_high);
    kc::set_field(stop_order, n::trigger_real_price, price);
}

// Whether a stop order holds at or above its level (a long position's profit
// stop, a short position's loss or trailing stop), rather than at or below it.
bool holds_above(nb::handle stop_order) {
    nb::object stop_order_type = kc::field(stop_order, n::stop_order_type);
    nb::object order_act = kc::field(stop_order, n::act);
    if (kc::equals(stop_order_type, gv(n::StopOrderType_Profit)))
        return kc::equals(order_act, gv(n::OrderAct_Buy));
    if (kc::equals(stop_order_type, gv(n::StopOrderType_Loss)) ||
        kc::equals(stop_order_type, gv(n::StopOrderType_Trailing)))
        return kc::equals(order_act, gv(n::OrderAct_Sell));
    return false;
}

// The level of a stop order: the trigger price of a trailing stop, the stop
// price of another.
nb::object stop_level(nb::handle stop_order) {
    const bool trailing = kc::equals(kc::field(stop_order, n::stop_order_type), gv(n::StopOrderType_Trailing));
    return kc::field(stop_order, trailing ? n::stop_trailing_price : n::stop_price);
}

// Deals the stop orders of one target order against the current bar; the
// ids of the stop orders that fire go to `fired_stop_order_ids`, the final
// closing orders to `filled_order_ids`.
void deal_target_order(nb::handle order_ref, nb::handle filled_order_ids, nb::handle fired_stop_order_ids) {
    nb::object order_id = kc::field(order_ref, n::order_id);
    nb::object target_idx = index_of(order_ref, n::target_idx);
    nb::object handle_idx = index_of(order_ref, n::handle_idx);
    nb::object back_account = kc::getitem(vr_field(n::g_KorvitAccounts), handle_idx);
    nb::object positions = kc::call_method(back_account, k::position, target_idx);
    nb::object order_act = kc::field(order_ref, n::side);

    nb::object same_target_stop_orders = unfired_of_target(order_id);
    nb::object bar[4]; // open, high, low, volume
    nb::object &bar_open = bar[0], &bar_high = bar[1], &bar_low = bar[2], &bar_volume = bar[3];
    nb::object zero = kc::py_int(0);
    nb::object high0, low0;
    // One plain bar is read as doubles; its arrays are made only if an order is matched on it.
    double values[4];
    const bool direct = current_bar_of_one(target_idx, values);
    if (direct) {
        if (values[3] < 1)
            return; // a bar without trade triggers nothing
    } else {
        current_bar(list_of(target_idx), bar);
        if (kc::compare(bar_volume, kc::py_int(1), Py_LT))
            return;
        high0 = kc::getitem(bar_high, zero);
        low0 = kc::getitem(bar_low, zero);
    }

    nb::object position_volume = protected_volume(positions, order_act);
    nb::object cur_bar_time = kc::getattr(env(), n::fresh_bar_time);
    // A target whose stop orders all stay as they are (the usual one) is
    // judged without making the judge's lists and values: the same reads,
    // then the judge's one call.
    if (direct && Own::_judge_stop_orders_by_bar.is_ours(ns) &&
        judged_quiet(values[1], values[2], position_volume, same_target_stop_orders)) {
        Own::_judge_stop_orders_by_bar.run_ours([] { return quiet_judgement(), kc::none(); });
        return;
    }
    if (direct) {
        high0 = kc::float64_scalar(values[1]);
        low0 = kc::float64_scalar(values[2]);
    }
    nb::object fire_stop_orders = kc::new_list();

    nb::object judged = Own::_judge_stop_orders_by_bar.call(
        ns, [&] { return _judge_stop_orders_by_bar(high0, low0, position_volume, same_target_stop_orders); }, high0,
        low0, position_volume, same_target_stop_orders);
    nb::object judgement[2];
    kc::unpack(judged, 2, judgement);
    nb::object &may_fire = judgement[0], &must_tick_check = judgement[1];
    const Py_ssize_t may_fire_count = kc::length(may_fire);
    const bool armed_in_bar =
        may_fire_count > 0 && !kc::truthy(kc::getattr(kc::getitem(may_fire, zero), n::in_bar_begin));

    bool on_bar_data = true; // fired without walking the ticks
    if (kc::length(must_tick_check) > 0 || may_fire_count > 1 || armed_in_bar) {
        // The bar alone cannot tell the order of events.
        nb::object input = vr_field(n::g_KorvitInputInfo);
        const bool tick_bars = kc::equals(kc::getattr(input, n::KFrequencyI), gv(n::KFreq_Tick)) &&
                               kc::equals(kc::getattr(input, n::KFreNum), kc::py_int(1));
        if (tick_bars) {
            fire_stop_orders = kc::steal(PySequence_List(must_tick_check.ptr()));
            kc::call(kc::getattr(global(n::cb), k::obj_attr_update), fire_stop_orders, n::trigger_time.get(),
                     cur_bar_time);
        } else {
            nb::object tick_check_orders = kc::steal(PyNumber_Add(must_tick_check.ptr(), may_fire.ptr()));
            nb::object walked = Own::_judge_stop_orders_by_tick.call(
                ns, [&] { return _judge_stop_orders_by_tick(tick_check_orders); }, tick_check_orders);
            nb::object rest[5];
            kc::unpack(walked, 5, rest);
            fire_stop_orders = rest[0];
            bar_open = rest[1];
            bar_high = rest[2];
            bar_low = rest[3];
            bar_volume = rest[4];
            on_bar_data = false;
        }
    } else if (may_fire_count > 0) {
        fire_stop_orders = kc::steal(PySequence_List(may_fire.ptr()));
        kc::call(kc::getattr(global(n::cb), k::obj_attr_update), may_fire, n::trigger_time.get(), cur_bar_time);
    }

    nb::object firing = as_fast_sequence(fire_stop_orders, "stop orders to fire");
    if (direct && on_bar_data && PySequence_Fast_GET_SIZE(firing.ptr()) > 0)
        bar_arrays(values, bar);
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(firing.ptr()); ++i) {
        nb::handle stop_order = PySequence_Fast_GET_ITEM(firing.ptr(), i);
        kc::append(fired_stop_order_ids, kc::field(stop_order, n::stop_order_id));
        if (on_bar_data)
            fill_on_bar(stop_order, bar_open, high0, low0);

        nb::object fired = Own::_fire_stop_order.call(ns, [&] { return _fire_stop_order(stop_order); }, stop_order);
        nb::object placed[3]; // order id, target price, trigger time
        kc::unpack(fired, 3, placed);
        // The closing order fills on the price step, never before the stop:
        // the trade brings its price down, which a stop that holds at or
        // above its level must not go below (see not_below).
        if (holds_above(stop_order)) {
            nb::object price = kc::getitem(placed[1], zero);
            nb::object level = stop_level(stop_order);
            nb::object step = price_step_of(stop_order);
            placed[1] = one_entry_array(not_below(price, level, step));
        }
        nb::object order_status_s = Own::_transaction_order.call(
            ns,
            [&] {
                return _transaction_order(placed[0], bar_high, bar_low, bar_open, bar_volume, placed[1], placed[2]);
            },
            placed[0], bar_high, bar_low, bar_open, bar_volume, placed[1], placed[2]);
        nb::object status = kc::getitem(order_status_s, zero);
        if (kc::equals(status, gv(n::OrderStatus_Cancelled)) || kc::equals(status, gv(n::OrderStatus_Filled)) ||
            kc::equals(status, gv(n::OrderStatus_Denied)))
            kc::call_method(filled_order_ids, k::extend, placed[0]); // final in this bar
    }
}

void cancel_stop_orders_of(nb::handle order_denied_canceled_ids) {
    Own::_cancelled_stop_order_by_target_order_id.call(
        ns, [&] { return _cancelled_stop_order_by_target_order_id(order_denied_canceled_ids); },
        order_denied_canceled_ids);
}

} // namespace

nb::object _cancelled_stop_order_by_target_order_id(nb::handle order_denied_canceled_ids) {
    if (kc::length(order_denied_canceled_ids) == 0)
        return kc::none();
    nb::object count = coll::snap_count(stop_orders(), n::unfired.get());
    if (!kc::compare(count, kc::py_int(0), Py_GT))
        return kc::none();
    nb::object ids = as_fast_sequence(order_denied_canceled_ids, "order ids");
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(ids.ptr()); ++i) {
        nb::object same_target_stop_orders = unfired_of_target(PySequence_Fast_GET_ITEM(ids.ptr(), i));
        nb::object update = kc::getattr(stop_orders(), k::snap_obj_attr_update);
        kc::call_kw(
            update,
            {same_target_stop_orders, n::execute_status.get(), gv(n::StopOrderStatus_Cancelled), n::unfired.get()},
            {{k::rm, kc::py_bool(true)}});
    }
    return kc::none();
}

nb::object _get_order_related_unfired_stop_order(nb::handle order_ids) {
    if (PyList_CheckExact(order_ids.ptr()) && PyList_GET_SIZE(order_ids.ptr()) == 0) {
        // No ids relate no stop order; reading the snap of our own collection
        // would have no effect, so only a missing snap must still be reported.
        nb::object stops = stop_orders();
        if (knative::CollectBase *p = coll::ours(stops, n::snap_obj)) {
            try {
                p->snap_count(n::unfired.get());
                return kc::new_list();
            } catch (nb::python_error &) {
                // a missing snap: reported below as it always was
            }
        }
    }
    // Ids in a list or tuple (read without host code) come from the snap's
    // index, when it can answer.
    nb::object stops = stop_orders();
    if (PyList_CheckExact(order_ids.ptr()) || PyTuple_CheckExact(order_ids.ptr())) {
        nb::object found = coll::of_targets(stops, n::unfired.get(), order_ids);
        if (found.is_valid())
            return found;
    }
    nb::object unfired = as_fast_sequence(coll::snap_obj(stops, n::unfired.get()), "stop orders");
    nb::object ids = as_fast_sequence(order_ids, "order ids");
    const Py_ssize_t id_count = PySequence_Fast_GET_SIZE(ids.ptr());
    if (id_count == 0)
        return kc::new_list(); // no id to compare: no stop order's target is read
    // Plain int ids compare in C; any other pair as Python compares it.
    std::vector<long long> values((size_t)id_count);
    std::vector<char> plain((size_t)id_count);
    for (Py_ssize_t j = 0; j < id_count; ++j)
        plain[(size_t)j] = kc::plain_int_value(PySequence_Fast_GET_ITEM(ids.ptr(), j), values[(size_t)j]);
    nb::object related = kc::new_list();
    kc::FieldReader target_order_id_of(n::target_order_id);
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(unfired.ptr()); ++i) {
        nb::handle stop_order = PySequence_Fast_GET_ITEM(unfired.ptr(), i);
        nb::object target_order_id = target_order_id_of(stop_order);
        long long value;
        const bool plain_target = kc::plain_int_value(target_order_id.ptr(), value);
        for (Py_ssize_t j = 0; j < id_count; ++j) {
            const bool same = plain_target && plain[(size_t)j]
                                  ? value == values[(size_t)j]
                                  : kc::equals(target_order_id, PySequence_Fast_GET_ITEM(ids.ptr(), j));
            if (same)
                kc::append(related, stop_order);
        }
    }
    return related;
}

nb::object _update_unfired_stop_order_status_if_holding_status() {
    nb::object unfired = unfired_stop_orders();
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(unfired.ptr());
    nb::object target_order_ids = kc::steal(PyList_New(count));
    kc::FieldReader target_order_id(n::target_order_id);
    for (Py_ssize_t i = 0; i < count; ++i)
        PyList_SET_ITEM(target_order_ids.ptr(), i,
                        target_order_id(PySequence_Fast_GET_ITEM(unfired.ptr(), i)).release().ptr());
    nb::object orders = as_fast_sequence(coll::obj(vr_field(n::g_KVOrders), target_order_ids), "target orders");

    nb::object order_denied_canceled_ids = kc::new_list();
    const Py_ssize_t pairs = std::min(count, PySequence_Fast_GET_SIZE(orders.ptr()));
    GvConstants gv;
    kc::FieldReader execute_status(n::execute_status);
    for (Py_ssize_t i = 0; i < pairs; ++i) {
        nb::handle stop_order = PySequence_Fast_GET_ITEM(unfired.ptr(), i);
        nb::handle order = PySequence_Fast_GET_ITEM(orders.ptr(), i);
        if (!kc::equals(execute_status(stop_order), gv(n::StopOrderStatus_Holding)))
            continue;
        if (order.is_none())
            continue; // no such target order: the stop order waits as it is
        nb::object status = kc::field(order, n::status);
        if (kc::equals(status, gv(n::OrderStatus_Filled))) {
            // Arms every holding stop order of the target order at once.
            nb::object order_id = kc::field(order, n::order_id);
            nb::object filled_average = kc::field(order, n::filled_average);
            Own::_set_stop_order_target_price.call(
                ns, [&] { return _set_stop_order_target_price(order_id, filled_average); }, order_id, filled_average);
        } else if (kc::equals(status, gv(n::OrderStatus_Cancelled)) || kc::equals(status, gv(n::OrderStatus_Denied))) {
            kc::append(order_denied_canceled_ids, kc::field(order, n::order_id));
        }
    }
    cancel_stop_orders_of(order_denied_canceled_ids);
    return kc::none();
}

nb::object _deal_stop_order(nb::handle filled_order_ids, nb::handle order_denied_canceled_ids) {
    nb::object fired_stop_order_ids = kc::new_list();
    cancel_stop_orders_of(order_denied_canceled_ids);

    auto result = [&] { return kc::tuple_of(nb::borrow(filled_order_ids), fired_stop_order_ids); };
    nb::object count = coll::snap_count(stop_orders(), n::unfired.get());
    if (kc::compare(count, kc::py_int(1), Py_LT))
        return result();

    nb::object target_orders =
        as_fast_sequence(coll::obj(vr_field(n::g_KVOrders), dealt_target_order_ids()), "target orders");
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(target_orders.ptr()); ++i) {
        nb::handle order_ref = PySequence_Fast_GET_ITEM(target_orders.ptr(), i);
        if (order_ref.is_none())
            continue; // an id without an order: its stop orders have nothing to protect yet
        deal_target_order(order_ref, filled_order_ids, fired_stop_order_ids);
    }

    // Stop orders whose target order filled in this bar are in force from the next bar on.
    nb::object related = as_fast_sequence(
        Own::_get_order_related_unfired_stop_order.call(
            ns, [&] { return _get_order_related_unfired_stop_order(filled_order_ids); }, filled_order_ids),
        "stop orders");
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(related.ptr()); ++i)
        kc::setattr(PySequence_Fast_GET_ITEM(related.ptr(), i), n::in_bar_begin, kc::py_bool(true));
    nb::object unfired = unfired_stop_orders();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(unfired.ptr()); ++i) {
        nb::handle stop_order = PySequence_Fast_GET_ITEM(unfired.ptr(), i);
        if (kc::truthy(kc::field(stop_order, n::is_begin_trailing)))
            kc::set_field(stop_order, n::in_begin_trailing_bar, kc::py_bool(false));
    }
    return result();
}

} // namespace dm
