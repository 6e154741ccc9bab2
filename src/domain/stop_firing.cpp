// Stop orders change hands twice: when their target order fills they are
// armed with prices derived from the fill; when they trigger they fire,
// place their closing order and take their siblings out of play.
#define KC_SOURCE "src/domain/stop_firing.cpp"
#include "domain/collections.hpp"
#include "core/number.hpp"
#include "core/numpy.hpp"

#include <algorithm>
#include <vector>

namespace dm {

namespace {

namespace k {
inline Name snap_obj_by_idx{"snap_obj_by_idx"}, is_valid_order_id{"is_valid_order_id"},
    get_target_type{"get_target_type"}, trailing_gap_type{"trailing_gap_type"}, trailing_gap{"trailing_gap"},
    order_status{"order_status"}, OrderStop_TrailingGap_Point{"OrderStop_TrailingGap_Point"},
    OrderStop_TrailingGap_Percent{"OrderStop_TrailingGap_Percent"};
} // namespace k

nb::object stop_orders() { return vr_field(n::g_KVStopOrders); }

// The price `gap` away from `price` in `direction` (+1 or -1): a distance
// for a point gap, a percentage for a percent gap; 0 for any other gap kind.
nb::object gapped_price(nb::handle price, long direction, nb::handle gap_type, Name &point, Name &percent,
                        nb::handle stop_order, Name &gap_field) {
    const bool by_point = kc::equals(gap_type, gv(point));
    if (by_point || kc::equals(gap_type, gv(percent))) {
        nb::object step = kc::mul(kc::py_int(direction), kc::getattr(stop_order, gap_field));
        if (by_point)
            return kc::add(price, step);
        nb::object share = kc::div(step, kc::py_int(100));
        nb::object factor = kc::add(kc::py_int(1), share);
        return kc::mul(price, factor);
    }
    builtin_error("stopgap");
    return kc::py_int(0);
}

// +1 or -1 by the side the stop protects: `buy` for a long position, `sell`
// for a short one; -1 (after reporting the side) for any other side.
long direction_of(nb::handle stop_order, long buy, long sell) {
    nb::object act = kc::field(stop_order, n::act);
    if (kc::equals(act, gv(n::OrderAct_Buy)))
        return buy;
    if (kc::equals(act, gv(n::OrderAct_Sell)))
        return sell;
    builtin_error("orderact");
    return -1;
}

// Arms one holding stop order at the fill price of its target order.
void arm(nb::handle stop_order, nb::handle trade_price) {
    kc::set_field(stop_order, n::in_bar_begin, kc::py_bool(false));
    kc::set_field(stop_order, n::target_price, trade_price);
    kc::set_field(stop_order, n::trailing_high, trade_price);
    kc::set_field(stop_order, n::trailing_low, trade_price);
    nb::object one = list_of(stop_order);
    nb::object active = gv(n::StopOrderStatus_Active);
    Own::_update_stop_order_status.call(ns, [&] { return _update_stop_order_status(one, active); }, one, active);

    nb::object type = kc::field(stop_order, n::stop_order_type);
    const bool loss = kc::equals(type, gv(n::StopOrderType_Loss));
    if (loss || kc::equals(type, gv(n::StopOrderType_Profit))) {
        // A loss stop lies behind the fill, a profit stop ahead of it.
        const long direction = loss ? direction_of(stop_order, -1, +1) : direction_of(stop_order, +1, -1);
        nb::object price =
            gapped_price(trade_price, direction, kc::field(stop_order, n::stop_gap_type), n::OrderStop_StopGap_Point,
                         n::OrderStop_StopGap_Percent, stop_order, n::stop_gap);
        kc::set_field(stop_order, n::trigger_real_price, price);
        kc::set_field(stop_order, n::stop_price, price);
    } else if (kc::equals(type, gv(n::StopOrderType_Trailing))) {
        // Trailing starts once the price has moved the trailing gap ahead of the fill.
        const long direction = direction_of(stop_order, +1, -1);
        nb::object price =
            gapped_price(trade_price, direction, kc::field(stop_order, k::trailing_gap_type),
                         k::OrderStop_TrailingGap_Point, k::OrderStop_TrailingGap_Percent, stop_order, k::trailing_gap);
        kc::set_field(stop_order, n::trailing_price, price);
    } else {
        builtin_error("stopordertype");
    }
}

// The positions in `snap` (a list) of the stop orders whose target order id
// equals `target_order_id`, found without a Python call while the
// collections' `obj_attr_value` is the compiled one and every id (the
// wanted one and each record's slot) is a plain int: then reading and
// comparing the ids has no effect a host could see.  False when the ids
// must be read and compared through Python.
bool plain_id_matches(nb::handle snap, nb::handle target_order_id, std::vector<npy_intp> &matches) {
    if (!PyList_CheckExact(snap.ptr()) || !PyLong_CheckExact(target_order_id.ptr()) ||
        !coll::ours_static(global(n::cb), n::obj_attr_value))
        return false;
    long long wanted;
    if (!kc::plain_int_value(target_order_id.ptr(), wanted))
        return false;
    kc::FieldReader id_of(n::target_order_id);
    const Py_ssize_t size = PyList_GET_SIZE(snap.ptr());
    for (Py_ssize_t p = 0; p < size; ++p) {
        PyObject *record = PyList_GET_ITEM(snap.ptr(), p);
        PyObject *id = id_of.can_peek(record) ? id_of.peek(record) : nullptr;
        if (!id)
            return matches.clear(), false;
        long long value;
        if (!kc::plain_int_value(id, value))
            return matches.clear(), false;
        if (value == wanted)
            matches.push_back((npy_intp)p);
    }
    return true;
}

// The stop orders of `snap_obj_by_idx` at the positions found by the index
// (with the records there then, `indexed`), called as the scan calls it:
// while `stops` is still the collection indexed, its `snap_obj_by_idx` the
// compiled one and the snap unchanged, the records found are its answer.
nb::object stop_orders_at(const std::vector<npy_intp> &matches, nb::handle indexed, nb::handle indexed_stops,
                          uint64_t changes) {
    nb::object stops = stop_orders();
    if (indexed.is_valid() && stops.ptr() == indexed_stops.ptr()) {
        knative::CollectBase *p = coll::ours(stops, k::snap_obj_by_idx);
        if (p && kc::guarded(KC_SITE("korvit.native.CollectBase.snap_obj_by_idx"),
                             [&] { return p->snap_changes(n::unfired.get()); }) == changes)
            return nb::borrow(indexed);
    }
    npy_intp dims[1] = {(npy_intp)matches.size()};
    nb::object stop_order_pos_s = kc::steal(PyArray_SimpleNew(1, dims, NPY_INTP));
    std::copy(matches.begin(), matches.end(),
              static_cast<npy_intp *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(stop_order_pos_s.ptr()))));
    return kc::call_method(stops, k::snap_obj_by_idx, n::unfired.get(), stop_order_pos_s);
}

} // namespace

nb::object one_entry_array(nb::handle x) {
    return kc::steal(
        PyArray_FromAny(list_of(x).ptr(), nullptr, 0, 0, NPY_ARRAY_DEFAULT | NPY_ARRAY_ENSURECOPY, nullptr));
}

nb::object _set_stop_order_target_price(nb::handle target_order_id, nb::handle trade_price) {
    nb::object count = coll::snap_count(stop_orders(), n::unfired.get());
    if (kc::compare(count, kc::py_int(1), Py_LT))
        return kc::none();
    nb::object stops = stop_orders();
    std::vector<npy_intp> matches;
    // While the scan below would run no host code (a compiled collection and
    // `cb.obj_attr_value`), the snap's index finds the same stop orders.
    nb::object indexed;
    uint64_t changes = 0;
    if (PyLong_CheckExact(target_order_id.ptr()) && coll::ours_static(global(n::cb), n::obj_attr_value)) {
        std::vector<Py_ssize_t> positions;
        indexed = coll::of_target(stops, n::unfired.get(), target_order_id, &positions, &changes);
        if (indexed.is_valid())
            matches.assign(positions.begin(), positions.end());
    }
    if (!indexed.is_valid()) {
        nb::object snap = coll::snap_obj(stops, n::unfired.get());
        if (!plain_id_matches(snap, target_order_id, matches)) {
            nb::object order_ids = as_fast_sequence(
                kc::call_method(global(n::cb), n::obj_attr_value, snap, n::target_order_id.get()), "target order ids");
            const Py_ssize_t size = PySequence_Fast_GET_SIZE(order_ids.ptr());
            for (Py_ssize_t p = 0; p < size; ++p)
                if (kc::equals(PySequence_Fast_GET_ITEM(order_ids.ptr(), p), target_order_id))
                    matches.push_back((npy_intp)p);
        }
    }
    if (matches.empty())
        return kc::none();

    nb::object unfired_stop_orders = as_fast_sequence(stop_orders_at(matches, indexed, stops, changes), "stop orders");

    for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(unfired_stop_orders.ptr()); ++j) {
        nb::handle stop_order = PySequence_Fast_GET_ITEM(unfired_stop_orders.ptr(), j);
        // A stop order is armed once.
        if (kc::equals(kc::field(stop_order, n::execute_status), gv(n::StopOrderStatus_Holding)))
            arm(stop_order, trade_price);
    }
    return kc::none();
}

nb::object _update_stop_order_status(nb::handle stop_orders, nb::handle execute_status) {
    nb::object it = kc::steal(PyObject_GetIter(stop_orders.ptr()));
    while (PyObject *next = PyIter_Next(it.ptr())) {
        nb::object stop_order = nb::steal(next);
        kc::set_field(stop_order, n::execute_status, execute_status);
    }
    if (PyErr_Occurred())
        kc::throw_current();
    return kc::none();
}

nb::object _cancel_other_stop_order(nb::handle stop_order) {
    nb::object stop_order_target_order_id = kc::field(stop_order, n::target_order_id);
    if (!kc::truthy(kc::call_method(env(), k::is_valid_order_id, stop_order_target_order_id))) {
        // No target order: the fired stop order alone leaves play.
        coll::snap_remove(stop_orders(), n::unfired.get(), list_of(stop_order));
        return kc::none();
    }
    nb::object stops = stop_orders();
    nb::object same_stop_orders = coll::of_target(stops, n::unfired.get(), stop_order_target_order_id);
    if (!same_stop_orders.is_valid()) {
        nb::object unfired = as_fast_sequence(coll::snap_obj(stops, n::unfired.get()), "stop orders");
        same_stop_orders = kc::new_list();
        kc::select_equal(n::target_order_id, PySequence_Fast_ITEMS(unfired.ptr()),
                         PySequence_Fast_GET_SIZE(unfired.ptr()), stop_order_target_order_id, same_stop_orders);
    }
    nb::object active_stop_orders = kc::new_list();
    nb::object active = gv(n::StopOrderStatus_Active);
    for (Py_ssize_t p = 0; p < PyList_GET_SIZE(same_stop_orders.ptr()); ++p) {
        nb::handle sibling = PyList_GET_ITEM(same_stop_orders.ptr(), p);
        if (kc::equals(kc::field(sibling, n::execute_status), active))
            kc::append(active_stop_orders, sibling);
    }
    nb::object cancelled = gv(n::StopOrderStatus_Cancelled);
    Own::_update_stop_order_status.call(
        ns, [&] { return _update_stop_order_status(active_stop_orders, cancelled); }, active_stop_orders, cancelled);
    // Siblings that are trailing leave play with their status as it is.
    coll::snap_remove(stop_orders(), n::unfired.get(), same_stop_orders);
    return kc::none();
}

nb::object _fire_stop_order(nb::handle stop_order) {
    nb::object order_id =
        kc::steal(PyNumber_Add(kc::getattr(vr_field(n::g_KVOrders), n::size).ptr(), kc::py_int(1).ptr()));
    nb::object trigger_time = kc::field(stop_order, n::trigger_time);
    kc::set_field(stop_order, n::order_id, order_id);
    kc::set_field(stop_order, n::execute_status, gv(n::StopOrderStatus_Fired));
    nb::object target_price = kc::field(stop_order, n::trigger_real_price);
    // The closing order takes the other side of what the stop protects.
    nb::object order_side =
        kc::equals(kc::field(stop_order, n::act), gv(n::OrderAct_Buy)) ? gv(n::OrderAct_Sell) : gv(n::OrderAct_Buy);

    nb::object handle_idx = kc::field(stop_order, n::handle_idx);
    nb::object target_idx = kc::field(stop_order, n::target_idx);
    nb::object target_list = kc::getattr(vr_field(n::g_KorvitInputInfo), n::TargetList);
    nb::object code = kc::call(global(n::todotmc), kc::getitem(target_list, kc::field(stop_order, n::target_idx)));
    nb::object target_type = kc::call_method(env(), k::get_target_type, kc::field(stop_order, n::target_idx));
    nb::object new_order = kc::call_kw(kc::getattr(global(n::KVBackOrder), n::create), {},
                                       {{n::handle_idx, handle_idx},
                                        {n::target_idx, target_idx},
                                        {n::code, code},
                                        {n::order_id, order_id},
                                        {n::order_price, kc::py_float(0.0)},
                                        {n::target_type, target_type},
                                        {n::position_effect, gv(n::PositionEffect_Close)},
                                        {k::order_status, gv(n::OrderStatus_PreHolding)},
                                        {n::created_time, trigger_time},
                                        {n::volume, kc::field(stop_order, n::volume)},
                                        {n::order_ctg, kc::field(stop_order, n::ctg)},
                                        {n::order_side, order_side}});
    kc::call_method(vr_field(n::g_KVOrders), n::append, kc::field(new_order, n::order_id), new_order);

    Own::_cancel_other_stop_order.call(ns, [&] { return _cancel_other_stop_order(stop_order); }, stop_order);

    return kc::tuple_of(one_entry_array(order_id), one_entry_array(target_price), one_entry_array(trigger_time));
}

} // namespace dm
