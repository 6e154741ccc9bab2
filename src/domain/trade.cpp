// Trade creation (price steps, fill bookkeeping, the trade record), the time
// at which a fill is dated, and the cancellation of stale pending orders.
#define KC_SOURCE "src/domain/trade.cpp"
#include "domain/collections.hpp"
#include "domain/context.hpp"
#include "core/number.hpp"
#include "core/decimal.hpp"
#include "core/matrix.hpp"

namespace dm {

namespace {

namespace k {
inline Name MinMove{"MinMove"}, value{"value"}, fee{"fee"}, unfilled{"unfilled"}, Frequency{"Frequency"},
    FreNum{"FreNum"};
}

// The exact decimal of a number's shortest text, when it is a plain finite
// positive float (float32 read at its own precision) or a small integer.
bool native_decimal(nb::handle x, kc::Decimal10 &out) {
    PyObject *o = x.ptr();
    double d;
    if (PyFloat_CheckExact(o) || PyArray_IsScalar(o, Double)) {
        d = PyFloat_AS_DOUBLE(o);
        if (!(d > 0) || d > 1e300)
            return false;
        out = kc::shortest_decimal(d);
        return true;
    }
    if (PyArray_IsScalar(o, Float)) {
        float f = PyArrayScalar_VAL(o, Float);
        if (!(f > 0) || f > 1e30f)
            return false;
        out = kc::shortest_decimal(f);
        return true;
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow || v <= 0)
            return false;
        out = kc::integer_decimal(v);
        return true;
    }
    return false;
}

} // namespace

// `D(x) - D(x) % D(step)` converted to float, with D the decimal of the
// shortest text of a number: the largest multiple of the step not above a
// positive price; with `up`, the smallest multiple not below it (that value
// plus the step when the remainder is not 0).  Exact integer arithmetic for
// plain positive numbers; Python's decimal module (the module's `Decimal`)
// for everything else, which also gives its errors (no step, a step of 0, an
// overlong quotient).
nb::object to_price_step(nb::handle price, nb::handle step, bool up) {
    kc::Decimal10 p, s;
    double out;
    if (native_decimal(price, p) && native_decimal(step, s) && (up ? kc::step_up(p, s, out) : kc::step_down(p, s, out)))
        return kc::py_float(out);
    nb::object Decimal = global(n::Decimal);
    nb::object dp = kc::call(Decimal, kc::steal(PyObject_Str(price.ptr())));
    nb::object ds = kc::call(Decimal, kc::steal(PyObject_Str(step.ptr())));
    nb::object rem = kc::steal(PyNumber_Remainder(dp.ptr(), ds.ptr()));
    nb::object stepped = kc::steal(PyNumber_Subtract(dp.ptr(), rem.ptr()));
    if (up && kc::truthy(rem))
        stepped = kc::steal(PyNumber_Add(stepped.ptr(), ds.ptr()));
    return kc::steal(PyNumber_Float(stepped.ptr()));
}

nb::object not_below(nb::handle price, nb::handle level, nb::handle step, nb::object *stepped) {
    nb::object down = to_price_step(price, step, false);
    if (kc::test(down, Py_LT, level)) {
        nb::object up = to_price_step(price, step, true);
        if (stepped)
            *stepped = up;
        return up;
    }
    if (stepped)
        *stepped = down;
    return nb::borrow(price);
}

nb::object price_step_of(nb::handle order) {
    return ctx::first_target_info_value(ctx::obj_attr_value(list_of(order), n::target_idx), k::MinMove);
}

namespace {

// `mft_to_datetime([t])[0]`.
nb::object to_datetime(nb::handle t) {
    nb::object dts = kc::call(global(n::mft_to_datetime), list_of(t));
    return kc::getitem(dts, kc::py_int(0));
}

// `datetime_to_mft(mft_to_datetime([t])[0] - _1min_dt)`.
nb::object one_minute_before(nb::handle t) {
    nb::object shifted = kc::steal(PyNumber_Subtract(to_datetime(t).ptr(), global(n::_1min_dt).ptr()));
    return kc::call(global(n::datetime_to_mft), shifted);
}

// `t` less one bar of the base data `k_data`: a base bar of n minutes
// (`Frequency` KFreq_Min, `FreNum` n > 1) begins n minutes before its time,
// any other one minute before (`one_minute_before`).  Base data that do not
// state their frequency (no `Frequency`) or its multiple (no `FreNum`, read
// as 1) are taken for bars of one minute, as K-data sets with only `Matrix`,
// `CurrentBar` and `BaseBegin` are.
nb::object one_base_bar_before(nb::handle t, nb::handle k_data) {
    if (kc::equals(kc::getattr_or(k_data, k::Frequency, kc::none()), gv(n::KFreq_Min))) {
        nb::object number = kc::getattr_or(k_data, k::FreNum, kc::py_int(1));
        if (kc::compare(number, kc::py_int(1), Py_GT)) {
            nb::object span = kc::steal(PyNumber_Multiply(global(n::_1min_dt).ptr(), number.ptr()));
            nb::object shifted = kc::steal(PyNumber_Subtract(to_datetime(t).ptr(), span.ptr()));
            return kc::call(global(n::datetime_to_mft), shifted);
        }
    }
    return one_minute_before(t);
}

// The first column in [start, end) of matrix row `row` whose value is above
// 0, or `start` when there is none.
nb::object first_traded_column(nb::handle matrix, nb::handle row, nb::handle start, nb::handle end) {
    PyArrayObject *a = kc::plain_matrix(matrix);
    npy_intp r, s, e;
    if (a && kc::as_position(row, r) && kc::as_position(start, s) && kc::as_position(end, e) &&
        kc::wrap_position(r, PyArray_DIM(a, 0)) && s >= 0 && s <= e && e <= PyArray_DIM(a, 1)) {
        const int type = PyArray_TYPE(a);
        if (kc::is_real_type(type)) {
            double v = 0;
            for (npy_intp c = s; c < e; ++c)
                if (kc::item_as_double(static_cast<const char *>(PyArray_GETPTR2(a, r, c)), type, v) && v > 0)
                    return kc::py_int(c);
            return kc::py_int(s);
        }
    }
    // Anything unusual: numpy's own slicing, comparison and search.
    nb::object span = kc::steal(PySlice_New(start.ptr(), end.ptr(), nullptr));
    nb::object values = kc::getitem(matrix, kc::tuple2(row, span));
    nb::object positive = kc::steal(PyObject_RichCompare(values.ptr(), kc::py_int(0).ptr(), Py_GT));
    nb::object found = kc::call(kc::getattr(global(n::np), n::flatnonzero), positive);
    if (kc::length(found) > 0)
        return kc::steal(PyNumber_Add(start.ptr(), kc::getitem(found, kc::py_int(0)).ptr()));
    return nb::borrow(start);
}

} // namespace

nb::object loc_value(nb::handle info, Py_ssize_t idx, Name &label) {
    if (!PyList_Check(info.ptr()))
        kc::raise(PyExc_TypeError, "target info must be a list, not %s", Py_TYPE(info.ptr())->tp_name);
    nb::object entry = kc::steal(PySequence_GetItem(info.ptr(), idx));
    return kc::call_method(entry, n::get, label.get());
}

nb::object _create_a_trader(nb::handle order, nb::handle order_price_in, nb::handle trader_volume,
                            nb::handle trade_price_in, nb::handle filled_time) {
    nb::object min_move = price_step_of(order);
    nb::object trade_price = to_price_step(trade_price_in, min_move, false);
    nb::object order_price = to_price_step(order_price_in, min_move, false);

    nb::object new_volume = kc::add(kc::field(order, n::filled_volume), trader_volume);
    nb::object volume = kc::field(order, n::volume);
    if (!kc::compare(new_volume, volume, Py_LE)) {
        nb::object id = kc::field(order, n::order_id);
        kc::format_error(PyExc_AssertionError,
                         "a fill of %R would take order %R to a filled volume of %R, above its volume %R",
                         trader_volume.ptr(), id.ptr(), new_volume.ptr(), volume.ptr());
        kc::throw_current();
    }

    kc::set_field(order, n::price, order_price);
    kc::set_field(order, n::updated_time, filled_time);
    kc::set_field(order, n::updated_time_dt, to_datetime(filled_time));

    nb::object amount = kc::field(order, n::filled_amount);
    nb::object e = env();
    nb::object product = kc::mul(trade_price, trader_volume);
    product = kc::mul(product, kc::call_method(e, n::get_multiple, kc::field(order, n::target_idx)));
    product = kc::mul(
        product, kc::call_method(e, n::get_margin_rate, kc::field(order, n::target_idx), kc::field(order, n::side)));
    kc::set_field(order, n::filled_amount, kc::iadd(amount, product));

    kc::set_field(order, n::filled_average, trade_price);
    kc::set_field(order, n::filled_volume, new_volume);
    if (kc::equals(kc::field(order, n::unfilled_volume), kc::py_int(0)))
        kc::set_field(order, n::status, gv(n::OrderStatus_Filled));

    nb::object trades = vr_field(n::g_KVTrades);
    nb::object handle_idx = kc::field(order, n::handle_idx);
    nb::object target_idx = kc::field(order, n::target_idx);
    nb::object target_type = kc::field(order, n::target_type);
    nb::object order_id = kc::field(order, n::order_id);
    nb::object trader_id = kc::getattr(trades, n::size);
    nb::object order_ctg = kc::field(order, n::ctg);
    nb::object order_side = kc::field(order, n::side);
    nb::object position_effect = kc::field(order, n::position_effect);
    nb::object tag = kc::field(order, n::tag);
    nb::object order_fee = kc::call_method(order, n::frozen_item, k::fee.get());
    nb::object order_margin = kc::call_method(order, n::frozen_item, k::value.get());
    nb::object new_trade = kc::call_kw(kc::getattr(global(n::KVBackTrade), n::create), {},
                                       {{n::handle_idx, handle_idx},
                                        {n::target_idx, target_idx},
                                        {n::target_type, target_type},
                                        {n::order_id, order_id},
                                        {n::order_price, order_price},
                                        {n::trader_id, trader_id},
                                        {n::trader_volume, trader_volume},
                                        {n::trade_price, trade_price},
                                        {n::filled_time, filled_time},
                                        {n::order_ctg, order_ctg},
                                        {n::order_side, order_side},
                                        {n::position_effect, position_effect},
                                        {n::tag, tag},
                                        {n::order_fee, order_fee},
                                        {n::order_margin, order_margin}});
    kc::call_method(vr_field(n::g_KVTrades), n::append, kc::none(), new_trade);

    kc::call_method(order, n::set_frozen_item, k::value.get(), kc::py_int(0));
    kc::call_method(order, n::set_frozen_item, k::fee.get(), kc::py_int(0));
    return new_trade;
}

nb::object _get_filled_time(nb::handle pos, nb::handle reference_time, nb::handle target_idx) {
    nb::object input = vr_field(n::g_KorvitInputInfo);
    nb::object k_frequency_i = kc::getattr(input, n::KFrequencyI);
    nb::object k_fre_num = kc::getattr(input, n::KFreNum);
    nb::object one = kc::py_int(1);

    const bool minute = kc::equals(k_frequency_i, gv(n::KFreq_Min));
    const bool day = kc::equals(k_frequency_i, gv(n::KFreq_Day));
    const bool single = kc::equals(k_fre_num, one);
    if (minute && single)
        return one_minute_before(kc::getattr(env(), n::fresh_bar_time));
    if (day && single)
        return kc::getattr(env(), n::fresh_bar_time);
    const bool composite = ((minute || day) && kc::compare(k_fre_num, one, Py_GT)) ||
                           (kc::compare(k_frequency_i, gv(n::KFreq_Day), Py_GT) && single);
    if (!composite)
        return nb::borrow(reference_time);

    nb::object cache = vr_field(n::g_KorvitCache);
    nb::object poss = kc::getattr(cache, n::min_sec_filled_time);
    nb::object k_data = kc::getitem(vr_field(n::g_KorvitKDataList), kc::py_int(0));
    if (poss.is_none()) {
        nb::object base_k_data = kc::call_method(vr_field(n::g_KorvitKDataList), n::get_item, k_frequency_i, k_fre_num);
        nb::object base_begin = kc::getattr(base_k_data, n::BaseBegin);
        if (kc::compare(k_frequency_i, gv(n::KFreq_Week), Py_GE)) {
            poss = base_begin;
        } else {
            nb::object unique = kc::call_kw(kc::getattr(global(n::np), n::unique), {base_begin},
                                            {{n::return_index, kc::py_bool(true)}});
            poss = kc::getitem(unique, kc::py_int(1));
        }
        kc::setattr(cache, n::min_sec_filled_time, poss);
    }

    nb::object volume_item_pos =
        kc::call_kw(kc::getattr(env(), n::matrix_bar_item_pos), {gv(n::KMatrix_Volume), target_idx},
                    {{n::contain_head, kc::py_bool(true)}});
    nb::object start_col_pos = kc::getitem(poss, pos);
    nb::object next = kc::add(pos, one);
    nb::object end_col_pos = kc::compare(next, kc::py_int(kc::length(poss)), Py_GE) ? kc::getitem(poss, kc::py_int(-1))
                                                                                    : kc::getitem(poss, next);
    nb::object matrix = kc::getattr(k_data, n::Matrix);
    nb::object column = first_traded_column(matrix, volume_item_pos, start_col_pos, end_col_pos);
    nb::object t = kc::matrix_at(matrix, gv(n::KMatrixPos_TimeLine), column);
    if (minute && kc::compare(k_fre_num, one, Py_GT))
        return one_base_bar_before(t, k_data);
    return kc::call(global(n::datetime_to_mft), to_datetime(t));
}

nb::object _clear_unfilled_order(nb::handle bar_time) {
    nb::object orders = as_fast_sequence(coll::snap_obj(vr_field(n::g_KVOrders), k::unfilled.get()), "pending orders");
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(orders.ptr());
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::handle order = PySequence_Fast_GET_ITEM(orders.ptr(), i);
        if (kc::equals(kc::field(order, n::created_time), bar_time))
            continue;
        nb::object status = gv(n::OrderStatus_Cancelled);
        nb::object reason = gv(n::OrderReject_DailyBeginCancel);
        nb::object pos = vr_field(n::g_KorvitSimCurBarFresh);
        nb::object target_idx = kc::field(order, n::target_idx);
        nb::object time = Own::_get_filled_time.call(
            ns, [&] { return _get_filled_time(pos, bar_time, target_idx); }, pos, bar_time, target_idx);
        kc::call_method(order, n::update_status, status, reason, time);
    }
    return kc::none();
}

} // namespace dm
