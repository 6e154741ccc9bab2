// Frozen funds: the margin (or traded amount) and the fee that a pending
// order holds back, and those that an executed trade ties up.
//
// Futures are computed over the whole batch at once, with masks over the
// batch positions and one contract-data lookup per batch; stocks run a plain
// loop with the numbers as the records hold them.  Orders and trades share
// one computation; `Kind` carries every point where the two differ.
#define KC_SOURCE "src/domain/frozen.cpp"
#include "domain/context.hpp"
#include "core/number.hpp"
#include "core/numpy.hpp"

#include <tuple>
#include <vector>

namespace dm {

namespace {

namespace k {
inline Name value{"value"}, fee{"fee"}, trader_value{"trader_value"}, trader_fee{"trader_fee"};
inline Name LongMargin{"LongMargin"}, ShortMargin{"ShortMargin"}, Multiple{"Multiple"},
    TradingFeeOpen{"TradingFeeOpen"}, TradingFeeClose{"TradingFeeClose"};
inline Name OpenTax{"OpenTax"}, CloseTax{"CloseTax"}, TransFee{"TransFee"}, MinTradeFee{"MinTradeFee"},
    CommissionRate{"CommissionRate"};
} // namespace k

// Fee values above this are an amount per lot; up to it, a rate on value.
constexpr double FEE_PER_LOT_THRESHOLD = 0.1;
// A commission this much above the minimum is charged as computed.
constexpr double MIN_FEE_TOLERANCE = 1e-15;

struct Kind {
    Name &volume;        // volume the futures amounts are computed on
    Name &value_item;    // frozen item of the margin or amount
    Name &fee_item;      // frozen item of the fee
    bool closing_margin; // whether a closing entry freezes margin
};
const Kind ORDERS{n::unfilled_volume, k::value, k::fee, true};
const Kind TRADES{n::volume, k::trader_value, k::trader_fee, false};

// `cb.obj_attr_value(records, attr)` as a list or tuple of one value per record.
nb::object attr_values(nb::handle records, Name &attr) {
    nb::object values = as_fast_sequence(ctx::obj_attr_value(records, attr), "attribute values");
    const Py_ssize_t got = PySequence_Fast_GET_SIZE(values.ptr()), want = PySequence_Fast_GET_SIZE(records.ptr());
    if (got != want)
        kc::raise(PyExc_IndexError, "obj_attr_value gave %zd values of '%s' for %zd records", got, attr.text, want);
    return values;
}

inline PyObject *item(nb::handle fast, Py_ssize_t i) { return PySequence_Fast_GET_ITEM(fast.ptr(), i); }

// `info_s[idx].get(label)` as a number.
double info_value(nb::handle info_s, Py_ssize_t idx, Name &label) {
    nb::object entry = kc::steal(PySequence_GetItem(info_s.ptr(), idx));
    if (PyDict_CheckExact(entry.ptr())) { // dict.get without the method call
        PyObject *value = PyDict_GetItemWithError(entry.ptr(), label.get());
        if (!value && PyErr_Occurred())
            kc::throw_current();
        return kc::as_double(value ? value : Py_None);
    }
    return kc::as_double(kc::call_method(entry, n::get, label.get()));
}

// Per position of the batch: whether the record's value equals `constant`.
std::vector<char> mask_eq(nb::handle values, nb::handle constant) {
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(values.ptr());
    std::vector<char> mask((size_t)count);
    for (Py_ssize_t i = 0; i < count; ++i)
        mask[(size_t)i] = kc::equals(item(values, i), constant);
    return mask;
}

bool any_of(const std::vector<char> &mask, bool value = true) {
    for (char m : mask)
        if ((m != 0) == value)
            return true;
    return false;
}

nb::object float_array(const std::vector<double> &values) {
    npy_intp dims[1] = {(npy_intp)values.size()};
    nb::object out = kc::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
    double *data = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(out.ptr())));
    for (size_t i = 0; i < values.size(); ++i)
        data[i] = values[i];
    return out;
}

// The array's item i as a numpy float64 scalar, as indexing gives it.
nb::object float_item(nb::handle array, Py_ssize_t i) { return kc::steal(PySequence_GetItem(array.ptr(), i)); }

nb::object future_frozen(nb::handle records_in, const Kind &kind) {
    nb::object records = as_fast_sequence(records_in, "records");
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(records.ptr());
    const size_t N = (size_t)count;
    std::vector<double> margin(N, 0.0), margin_frozen(N, 0.0), fee_frozen(N, 0.0);

    nb::object info_list = ctx::target_infos(attr_values(records, n::target_idx));

    const std::vector<char> buy_p = mask_eq(attr_values(records, n::side), gv(n::OrderAct_Buy));
    if (any_of(buy_p, true))
        for (size_t i = 0; i < N; ++i)
            if (buy_p[i])
                margin[i] = info_value(info_list, (Py_ssize_t)i, k::LongMargin);
    if (any_of(buy_p, false))
        for (size_t i = 0; i < N; ++i)
            if (!buy_p[i])
                margin[i] = info_value(info_list, (Py_ssize_t)i, k::ShortMargin);

    const std::vector<char> open_p = mask_eq(attr_values(records, n::position_effect), gv(n::PositionEffect_Open));
    // price x volume x Multiple x margin, left to right, over one side of open_p.
    auto freeze_margin = [&](bool opening) {
        nb::object prices = attr_values(records, n::price);
        nb::object volumes = attr_values(records, kind.volume);
        for (size_t i = 0; i < N; ++i)
            if ((open_p[i] != 0) == opening) {
                const Py_ssize_t p = (Py_ssize_t)i;
                margin_frozen[i] = kc::as_double(item(prices, p)) * kc::as_double(item(volumes, p)) *
                                   info_value(info_list, p, k::Multiple) * margin[i];
            }
    };
    if (any_of(open_p, true))
        freeze_margin(true);
    if (any_of(open_p, false)) {
        if (kind.closing_margin)
            freeze_margin(false);
        else
            for (size_t i = 0; i < N; ++i)
                if (!open_p[i])
                    margin_frozen[i] = 0.0;
    }

    // The fee of one side of open_p, per lot or as a rate on traded value.
    auto freeze_fee = [&](bool opening, Name &fee_key) {
        std::vector<double> fee(N);
        for (size_t i = 0; i < N; ++i)
            fee[i] = info_value(info_list, (Py_ssize_t)i, fee_key);
        std::vector<char> per_lot(N), by_value(N);
        for (size_t i = 0; i < N; ++i) {
            const bool side = (open_p[i] != 0) == opening;
            per_lot[i] = side && fee[i] > FEE_PER_LOT_THRESHOLD;
            by_value[i] = side && !(fee[i] > FEE_PER_LOT_THRESHOLD);
        }
        return std::make_tuple(std::move(fee), std::move(per_lot), std::move(by_value));
    };
    auto [fee_open, fo1, fo2] = freeze_fee(true, k::TradingFeeOpen);
    nb::object volumes = attr_values(records, kind.volume);
    nb::object delegate_prices = attr_values(records, n::price);
    auto charge = [&](const std::vector<double> &fee, const std::vector<char> &per_lot,
                      const std::vector<char> &by_value) {
        if (any_of(per_lot))
            for (size_t i = 0; i < N; ++i)
                if (per_lot[i])
                    fee_frozen[i] = kc::as_double(item(volumes, (Py_ssize_t)i)) * fee[i];
        if (any_of(by_value))
            for (size_t i = 0; i < N; ++i)
                if (by_value[i]) {
                    const Py_ssize_t p = (Py_ssize_t)i;
                    fee_frozen[i] = kc::as_double(item(volumes, p)) * kc::as_double(item(delegate_prices, p)) * fee[i] *
                                    info_value(info_list, p, k::Multiple);
                }
    };
    charge(fee_open, fo1, fo2);
    auto [fee_close, fc1, fc2] = freeze_fee(false, k::TradingFeeClose);
    charge(fee_close, fc1, fc2);

    const double margin_rate = kc::as_double(kc::getattr(vr_field(n::g_KorvitSettingInfo), n::MarginRate));
    for (double &v : margin_frozen)
        v = v * margin_rate;
    const double fee_rate = kc::as_double(kc::call_method(env(), n::cost_fee_rate, gv(n::TARGETTYPE_FUTURE)));
    for (double &v : fee_frozen)
        v = v * fee_rate;

    nb::object user_margin_frozen = float_array(margin_frozen);
    nb::object user_fee_frozen = float_array(fee_frozen);
    for (Py_ssize_t i = 0; i < count; ++i)
        kc::call_method(item(records, i), n::set_frozen_item, kind.value_item.get(), float_item(user_margin_frozen, i));
    for (Py_ssize_t i = 0; i < count; ++i)
        kc::call_method(item(records, i), n::set_frozen_item, kind.fee_item.get(), float_item(user_fee_frozen, i));
    return kc::steal(PyTuple_Pack(2, user_margin_frozen.ptr(), user_fee_frozen.ptr()));
}

using kc::add;
using kc::mul;
using kc::sub;

// A Python float, or an int that converts to a double exactly, as a double.
bool plain_double(nb::handle o, double &out) {
    if (PyFloat_CheckExact(o.ptr())) {
        out = PyFloat_AS_DOUBLE(o.ptr());
        return true;
    }
    if (PyLong_CheckExact(o.ptr())) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o.ptr(), &overflow);
        if (overflow || v > (1LL << 53) || v < -(1LL << 53))
            return false;
        out = (double)v;
        return true;
    }
    return false;
}

// A record whose position effect is neither open nor close: the stock fee rules
// know no other.  NotImplementedError, as callers expect, naming the value.
[[noreturn]] void unknown_effect(nb::handle effect) {
    kc::raise(PyExc_NotImplementedError, "position_effect %R is neither open nor close", effect.ptr());
}

// Both frozen items of every record, as two lists in record order.
nb::object frozen_lists(nb::handle records, const Kind &kind) {
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(records.ptr());
    nb::object values = kc::steal(PyList_New(count));
    nb::object fees = kc::steal(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        PyList_SET_ITEM(values.ptr(), i,
                        kc::call_method(item(records, i), n::frozen_item, kind.value_item.get()).release().ptr());
    for (Py_ssize_t i = 0; i < count; ++i)
        PyList_SET_ITEM(fees.ptr(), i,
                        kc::call_method(item(records, i), n::frozen_item, kind.fee_item.get()).release().ptr());
    return kc::steal(PyTuple_Pack(2, values.ptr(), fees.ptr()));
}

// The items of a stock's fee schedule that its contract data may state, in
// the order they are read; an item a target does not state (absent or None)
// is taken from the run's defaults: the commission rate from
// `env.cost_fee_rate(TARGETTYPE_STOCK)`, the others from the first account's
// `stock_commission_rate`.
enum StockFee { COMMISSION_RATE, MIN_TRADE_FEE, OPEN_TAX, CLOSE_TAX, TRANS_FEE, STOCK_FEE_ITEMS };
Name *const STOCK_FEE_KEYS[STOCK_FEE_ITEMS] = {&k::CommissionRate, &k::MinTradeFee, &k::OpenTax, &k::CloseTax,
                                               &k::TransFee};

// `entry.get(key)`; a dict is read without the method call.
nb::object entry_get(nb::handle entry, Name &key) {
    if (PyDict_CheckExact(entry.ptr())) {
        PyObject *value = PyDict_GetItemWithError(entry.ptr(), key.get());
        if (!value && PyErr_Occurred())
            kc::throw_current();
        return value ? nb::borrow(value) : kc::none();
    }
    return kc::call_method(entry, n::get, key.get());
}

nb::object stock_frozen(nb::handle records_in, const Kind &kind) {
    nb::object records = as_fast_sequence(records_in, "records");
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(records.ptr());

    // Each record's schedule as its contract data state it.
    nb::object info_list = ctx::target_infos(attr_values(records, n::target_idx));
    std::vector<nb::object> stated((size_t)count * STOCK_FEE_ITEMS);
    bool all_stated = true;
    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::object entry = kc::steal(PySequence_GetItem(info_list.ptr(), i));
        for (size_t f = 0; f < STOCK_FEE_ITEMS; ++f) {
            nb::object &value = stated[(size_t)i * STOCK_FEE_ITEMS + f];
            value = entry_get(entry, *STOCK_FEE_KEYS[f]);
            all_stated = all_stated && !value.is_none();
        }
    }
    nb::object default_rate, rates;
    if (!all_stated) {
        default_rate = kc::call_method(env(), n::cost_fee_rate, gv(n::TARGETTYPE_STOCK));
        rates = kc::getattr(kc::getitem(vr_field(n::g_KorvitAccounts), kc::py_int(0)), n::stock_commission_rate);
    }
    // Item f of record i: stated, or the default.
    auto item_of = [&](Py_ssize_t i, StockFee f) {
        const nb::object &value = stated[(size_t)i * STOCK_FEE_ITEMS + f];
        if (!value.is_none())
            return value;
        return f == COMMISSION_RATE ? default_rate : kc::getitem(rates, STOCK_FEE_KEYS[f]->get());
    };
    nb::object tolerance = kc::py_float(MIN_FEE_TOLERANCE);
    const nb::object open = gv(n::PositionEffect_Open), close = gv(n::PositionEffect_Close);

    for (Py_ssize_t i = 0; i < count; ++i) {
        nb::handle record = item(records, i);
        nb::object effect = kc::field(record, n::position_effect);
        nb::object price = kc::field(record, n::price);
        nb::object volume = kc::field(record, n::volume);
        nb::object tax;
        if (kind.closing_margin) { // orders: open, then close, anything else is not supported
            if (kc::equals(effect, open))
                tax = item_of(i, OPEN_TAX);
            else if (kc::equals(effect, close))
                tax = item_of(i, CLOSE_TAX);
            else
                unknown_effect(effect);
        } else { // trades: refuse anything but open and close first
            if (!kc::equals(effect, close) && !kc::equals(effect, open))
                unknown_effect(effect);
            tax = kc::equals(effect, open) ? item_of(i, OPEN_TAX) : item_of(i, CLOSE_TAX);
        }
        nb::object trans_fee = item_of(i, TRANS_FEE), min_fee = item_of(i, MIN_TRADE_FEE);
        nb::object fee_rate = item_of(i, COMMISSION_RATE);
        nb::object fee, value;
        double p, v, t, tf, fr, mf;
        if (PyFloat_CheckExact(price.ptr()) && plain_double(price, p) && plain_double(volume, v) &&
            plain_double(tax, t) && plain_double(trans_fee, tf) && plain_double(fee_rate, fr) &&
            plain_double(min_fee, mf)) {
            // A float price makes every product a float: the same sums in doubles.
            double f = p * v * t;
            f = f + p * v * tf;
            const double trade_fee = p * v * fr;
            f = trade_fee - mf >= MIN_FEE_TOLERANCE ? f + trade_fee : f + mf;
            fee = kc::py_float(f);
            value = kc::py_float(p * v);
        } else { // the numbers' own arithmetic, whatever they are
            fee = mul(mul(price, volume), tax);
            fee = add(fee, mul(mul(price, volume), trans_fee));
            nb::object trade_fee = mul(mul(price, volume), fee_rate);
            if (kc::compare(sub(trade_fee, min_fee), tolerance, Py_GE))
                fee = add(fee, trade_fee);
            else
                fee = add(fee, min_fee);
            value = mul(price, volume);
        }
        kc::call_method(record, n::set_frozen_item, kind.value_item.get(), value);
        kc::call_method(record, n::set_frozen_item, kind.fee_item.get(), fee);
    }
    return frozen_lists(records, kind);
}

// The records of `records` for which `keep` holds, as a new list.
template <class Keep>
nb::object select(nb::handle records, Keep &&keep) {
    nb::object out = kc::steal(PyList_New(0));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(records.ptr());
    for (Py_ssize_t i = 0; i < count; ++i)
        if (keep(item(records, i)) && PyList_Append(out.ptr(), item(records, i)) != 0)
            kc::throw_current();
    return out;
}

} // namespace

namespace {

// Runs the futures and the stock computation, each on its part of the batch
// (when that part is not empty), and returns both frozen items of every
// record.  `is_type(record, type constant)` sorts the records.
template <class IsType>
nb::object update_by_type(nb::handle records_in, const char *what, const Kind &kind, IsType &&is_type,
                          kc::OwnFunction &own_future, nb::object (*future)(nb::handle), kc::OwnFunction &own_stock,
                          nb::object (*stock)(nb::handle)) {
    nb::object records = as_fast_sequence(records_in, what);
    auto of_type = [&](Name &type) {
        const nb::object wanted = gv(type);
        return select(records, [&](nb::handle r) { return is_type(r, wanted); });
    };
    nb::object future_part = of_type(n::TARGETTYPE_FUTURE);
    nb::object stock_part = of_type(n::TARGETTYPE_STOCK);
    if (PyList_GET_SIZE(future_part.ptr()) > 0)
        own_future.call(ns, [&] { return future(future_part); }, future_part);
    if (PyList_GET_SIZE(stock_part.ptr()) > 0)
        own_stock.call(ns, [&] { return stock(stock_part); }, stock_part);
    return frozen_lists(records, kind);
}

} // namespace

nb::object _update_order_frozen(nb::handle orders) {
    return update_by_type(
        orders, "orders", ORDERS,
        [](nb::handle o, nb::handle type) { return kc::equals(kc::getattr(o, n::target_type), type); },
        Own::_update_order_future_frozen, _update_order_future_frozen, Own::_update_order_stock_frozen,
        _update_order_stock_frozen);
}

nb::object _update_order_future_frozen(nb::handle orders) { return future_frozen(orders, ORDERS); }
nb::object _update_order_stock_frozen(nb::handle orders) { return stock_frozen(orders, ORDERS); }

nb::object _update_trader_frozen(nb::handle traders) {
    return update_by_type(
        traders, "traders", TRADES,
        [](nb::handle t, nb::handle type) {
            return kc::truthy(kc::call_method(env(), n::is_target_type, kc::getattr(t, n::target_idx), type));
        },
        Own::_update_trader_future_frozen, _update_trader_future_frozen, Own::_update_trader_stock_frozen,
        _update_trader_stock_frozen);
}

nb::object _update_trader_future_frozen(nb::handle traders) { return future_frozen(traders, TRADES); }
nb::object _update_trader_stock_frozen(nb::handle traders) { return stock_frozen(traders, TRADES); }

} // namespace dm
