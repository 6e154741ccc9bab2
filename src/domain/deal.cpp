// The deal driver: the host's backtest loop calls `deal_trade` once per bar.
// It brings waiting stop orders up to date, matches every pending order
// against the bar, then deals the stop orders; and `calc_order_value_rb`
// gives the cash value that an order commits.
#define KC_SOURCE "src/domain/deal.cpp"
#include "domain/collections.hpp"
#include "core/number.hpp"
#include "core/numpy.hpp"
#include "core/bar_field.hpp"

#include <algorithm>
#include <vector>

namespace dm {

namespace {

namespace k {
inline Name get_bar_field{"get_bar_field"}, bar_pos{"bar_pos"}, fields{"fields"}, array{"array"},
    snap_remove_by_idx{"snap_remove_by_idx"}, open{"open"}, high{"high"}, low{"low"}, volume{"volume"};
} // namespace k

nb::object orders() { return vr_field(n::g_KVOrders); }

nb::object np_array(nb::handle values) { return kc::call(kc::getattr(global(n::np), k::array), values); }

// The positions whose status equals `status`, ascending.  A native integer
// array is compared in place; anything else element by element in Python.
std::vector<npy_intp> positions_of(nb::handle statuses, nb::handle status) {
    std::vector<npy_intp> out;
    double wanted;
    PyArrayObject *arr = PyArray_Check(statuses.ptr()) ? reinterpret_cast<PyArrayObject *>(statuses.ptr()) : nullptr;
    if (arr && PyArray_NDIM(arr) == 1 && PyArray_TYPE(arr) == NPY_LONG && PyArray_ISCARRAY_RO(arr) &&
        PyArray_ISNOTSWAPPED(arr) && PyLong_CheckExact(status.ptr()) && kc::plain_number(status, wanted)) {
        const long *data = static_cast<const long *>(PyArray_DATA(arr));
        for (npy_intp i = 0; i < PyArray_SIZE(arr); ++i)
            if ((double)data[i] == wanted)
                out.push_back(i);
        return out;
    }
    // `np.flatnonzero(np.array(statuses) == status)`, whatever the container.
    nb::object equal = kc::steal(PyObject_RichCompare(np_array(statuses).ptr(), status.ptr(), Py_EQ));
    nb::object where = as_fast_sequence(kc::call(kc::getattr(global(n::np), n::flatnonzero), equal), "positions");
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(where.ptr()); ++i) {
        const Py_ssize_t p = PyNumber_AsSsize_t(PySequence_Fast_GET_ITEM(where.ptr(), i), PyExc_IndexError);
        if (p == -1 && PyErr_Occurred())
            kc::throw_current();
        out.push_back((npy_intp)p);
    }
    return out;
}

} // namespace

namespace {
// `[open, high, low, volume]`, the fields the engine reads of a bar.
nb::object bar_field_names() {
    static Name *names[4] = {&k::open, &k::high, &k::low, &k::volume};
    nb::object fields = kc::steal(PyList_New(4));
    for (Py_ssize_t i = 0; i < 4; ++i)
        PyList_SET_ITEM(fields.ptr(), i, Py_NewRef(names[i]->get()));
    return fields;
}
} // namespace

void current_bar(nb::handle targets, nb::object (&bar)[4]) {
    nb::object fields = bar_field_names();
    nb::object environment = env();
    nb::object values;
    if (coll::env_method_is_ours(environment, k::get_bar_field)) {
        nb::object bar_pos = vr_field(n::g_KorvitSimCurBarFresh);
        values = kc::guarded(KC_SITE("korvit.tframe.framekit.SystemBaseEnv.get_bar_field"),
                             [&] { return kc::bar_field_rows(environment, targets, bar_pos, fields); });
    } else {
        values = kc::call_kw(kc::getattr(environment, k::get_bar_field), {targets},
                             {{k::bar_pos, vr_field(n::g_KorvitSimCurBarFresh)}, {k::fields, fields}});
    }
    kc::unpack(values, 4, bar);
}

bool current_bar_of_one(nb::handle target_idx, double (&bar)[4]) {
    nb::object environment = env();
    if (!coll::env_method_is_ours(environment, k::get_bar_field))
        return false;
    nb::object bar_pos = vr_field(n::g_KorvitSimCurBarFresh);
    // The names that `bar_field_names` lists, interned for the process.
    PyObject *const fields[4] = {k::open.get(), k::high.get(), k::low.get(), k::volume.get()};
    return kc::guarded(KC_SITE("korvit.tframe.framekit.SystemBaseEnv.get_bar_field"),
                       [&] { return kc::bar_values_of_one(environment, target_idx, bar_pos, fields, 4, bar); });
}

void bar_arrays(const double (&values)[4], nb::object (&bar)[4]) {
    for (int i = 0; i < 4; ++i) {
        npy_intp dims[1] = {1};
        bar[i] = kc::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
        *static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(bar[i].ptr()))) = values[i];
    }
}

nb::object calc_order_value_rb(nb::handle order) {
    if (kc::equals(kc::field(order, n::ctg), gv(n::OrderCtg_Market)))
        return kc::py_int(0);
    nb::object delegate_value = kc::mul(kc::field(order, n::price), kc::field(order, n::volume));
    delegate_value = kc::mul(delegate_value, kc::call_method(env(), n::get_multiple, kc::field(order, n::target_idx)));
    delegate_value = kc::mul(delegate_value, kc::call_method(env(), n::get_margin_rate, kc::field(order, n::target_idx),
                                                             kc::field(order, n::side)));
    if (kc::truthy(
            kc::call_method(env(), n::is_target_type, kc::field(order, n::target_idx), gv(n::TARGETTYPE_STOCK)))) {
        // A stock order also commits its fee: added to a buy, taken from a sell.
        nb::object one = list_of(order);
        Own::_update_order_stock_frozen.call(ns, [&] { return _update_order_stock_frozen(one); }, one);
        nb::object side = kc::field(order, n::side);
        if (kc::equals(side, gv(n::OrderAct_Sell)))
            delegate_value = kc::sub(delegate_value, kc::call_method(order, n::frozen_item, kc::py_str("fee")));
        else if (kc::equals(side, gv(n::OrderAct_Buy)))
            delegate_value = kc::add(delegate_value, kc::call_method(order, n::frozen_item, kc::py_str("fee")));
    }
    return delegate_value;
}

// A bar with nothing to deal: no pending order and no live stop order, the
// collections compiled ones and the parts of `deal_trade` our own.  Then every
// part would only count the empty snaps of our collections and return empty
// lists, so nothing a host could see happens, and the result is known.  The
// counts are read first, so that a bar with something to deal is told at
// once; every read here has no effect a host could see.
bool nothing_to_deal() {
    nb::object registry = vr(); // no host code runs between the two reads below
    nb::object stops = kc::getattr(registry, n::g_KVStopOrders);
    knative::CollectBase *unfired = coll::ours(stops, n::snap_count);
    if (!unfired)
        return false;
    try {
        if (unfired->snap_count(n::unfired.get()) != 0)
            return false;
        nb::object pending = kc::getattr(registry, n::g_KVOrders);
        knative::CollectBase *unfilled = coll::ours(pending, n::snap_count);
        if (!unfilled || unfilled->snap_count(n::unfilled.get()) != 0 || !coll::ours(stops, n::snap_obj) ||
            !coll::ours(pending, n::obj))
            return false;
    } catch (nb::python_error &) {
        return false; // a snap is missing: the parts report it as they always did
    }
    return Own::_update_unfired_stop_order_status_if_holding_status.is_ours(ns) &&
           Own::_deal_normal_order.is_ours(ns) && Own::_deal_stop_order.is_ours(ns) &&
           Own::_cancelled_stop_order_by_target_order_id.is_ours(ns);
}

nb::object deal_trade() {
    if (nothing_to_deal())
        return kc::tuple_of(kc::new_list(), kc::new_list(), kc::new_list());
    Own::_update_unfired_stop_order_status_if_holding_status.call(
        ns, [&] { return _update_unfired_stop_order_status_if_holding_status(); });
    nb::object normal = Own::_deal_normal_order.call(ns, [&] { return _deal_normal_order(); });
    nb::object dealt[2]; // filled, denied or cancelled
    kc::unpack(normal, 2, dealt);
    nb::object stops =
        Own::_deal_stop_order.call(ns, [&] { return _deal_stop_order(dealt[0], dealt[1]); }, dealt[0], dealt[1]);
    nb::object stop_dealt[2]; // filled (extended), fired stop orders
    kc::unpack(stops, 2, stop_dealt);

    return kc::tuple_of(stop_dealt[0], dealt[1], stop_dealt[1]);
}

nb::object _deal_normal_order() {
    nb::object filled_order_ids = kc::new_list();
    nb::object order_denied_canceled_ids = kc::new_list();
    if (kc::compare(coll::snap_count(orders(), n::unfilled.get()), kc::py_int(1), Py_LT))
        return kc::tuple_of(filled_order_ids, order_denied_canceled_ids);

    nb::object order_ids =
        as_fast_sequence(coll::snap_attr_value(orders(), n::unfilled.get(), n::order_id.get()), "order ids");
    nb::object targets = coll::snap_attr_value(orders(), n::unfilled.get(), n::target_idx.get());
    nb::object bar[4]; // open, high, low, volume of each order's target
    current_bar(targets, bar);

    nb::object ids = np_array(order_ids);
    nb::object no_price = np_array(kc::new_list()), no_time = np_array(kc::new_list());
    nb::object order_status_s = Own::_transaction_order.call(
        ns, [&] { return _transaction_order(ids, bar[1], bar[2], bar[0], bar[3], no_price, no_time); }, ids, bar[1],
        bar[2], bar[0], bar[3], no_price, no_time);

    const std::vector<npy_intp> order_cancelled = positions_of(order_status_s, gv(n::OrderStatus_Cancelled));
    const std::vector<npy_intp> order_filled = positions_of(order_status_s, gv(n::OrderStatus_Filled));
    const std::vector<npy_intp> order_denied = positions_of(order_status_s, gv(n::OrderStatus_Denied));

    // Finished orders leave the pending ones: filled first, then cancelled, then denied.
    std::vector<npy_intp> finished(order_filled);
    finished.insert(finished.end(), order_cancelled.begin(), order_cancelled.end());
    finished.insert(finished.end(), order_denied.begin(), order_denied.end());
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(order_ids.ptr());
    for (size_t i = 0; i < finished.size(); ++i) {
        if (finished[i] >= count)
            kc::raise(PyExc_IndexError, "index %zd is out of bounds for %zd pending orders", (Py_ssize_t)finished[i],
                      count);
        nb::handle id = PySequence_Fast_GET_ITEM(order_ids.ptr(), finished[i]);
        kc::append(i < order_filled.size() ? filled_order_ids : order_denied_canceled_ids, id);
    }
    npy_intp dims[1] = {(npy_intp)finished.size()};
    nb::object positions = kc::steal(PyArray_SimpleNew(1, dims, NPY_INTP));
    std::copy(finished.begin(), finished.end(),
              static_cast<npy_intp *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(positions.ptr()))));
    kc::call_method(orders(), k::snap_remove_by_idx, n::unfilled.get(), positions);
    return kc::tuple_of(filled_order_ids, order_denied_canceled_ids);
}

} // namespace dm
