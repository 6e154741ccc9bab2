// Stop-order triggering: whether the armed stop orders of one target order
// trigger in the current bar, first on the bar's extremes and, where the bar
// cannot tell the order of events, on its ticks; and the trigger price of
// trailing stops.
#define KC_SOURCE "src/domain/stop_trigger.cpp"
#include "domain/collections.hpp"
#include "core/decimal.hpp"
#include "core/number.hpp"
#include "core/numpy.hpp"

#include <cmath>
#include <vector>

namespace dm {

namespace {

namespace k {
inline Name Time{"Time"}, Price{"Price"}, VolumeTick{"VolumeTick"}, float32{"float32"}, max{"max"}, min{"min"},
    sum{"sum"};
} // namespace k

using kc::test;

using kc::append;
using kc::new_list;

// `_update_stop_trailing_order_trigger_price(stop_order, target_price)`
// through the module.
void update_trigger_price(nb::handle stop_order, nb::handle target_price) {
    Own::_update_stop_trailing_order_trigger_price.call(
        ns, [&] { return _update_stop_trailing_order_trigger_price(stop_order, target_price); }, stop_order,
        target_price);
}

// ---------------------------------------------------------------- bar data

// `x` as a single-precision float, widened back.
double single_precision(nb::handle x) {
    double d;
    if (kc::plain_number(x, d))
        return (double)(float)d;
    // Anything else converts as numpy converts it.
    return kc::as_double(kc::call(kc::getattr(global(n::np), k::float32), x));
}

// The trailing trigger price from a new extreme: `extreme` less (a long
// position) or plus (a short one) the stop gap, in points or as a percentage
// of the gain over the fill price.  `previous` when the gap kind is unknown
// and the error raiser returns.
nb::object trailing_trigger(GvConstants &gv, nb::handle extreme, bool buy, nb::handle gap_type, nb::handle gap,
                            nb::handle target_price, nb::handle previous) {
    if (kc::equals(gap_type, gv(n::OrderStop_StopGap_Point)))
        return buy ? kc::sub(extreme, gap) : kc::add(extreme, gap);
    if (kc::equals(gap_type, gv(n::OrderStop_StopGap_Percent))) {
        nb::object gain = buy ? kc::sub(extreme, target_price) : kc::sub(target_price, extreme);
        nb::object distance = kc::div(kc::mul(gain, gap), kc::py_int(100));
        return buy ? kc::sub(extreme, distance) : kc::add(extreme, distance);
    }
    builtin_error("stopgap");
    return nb::borrow(previous);
}

// The stop-order fields read by the judgements.
struct StopFields {
    kc::FieldReader act{n::act}, stop_order_type{n::stop_order_type}, execute_status{n::execute_status},
        stop_price{n::stop_price}, target_price{n::target_price}, trailing_price{n::trailing_price},
        stop_gap_type{n::stop_gap_type}, stop_gap{n::stop_gap}, trailing_high{n::trailing_high},
        trailing_low{n::trailing_low}, stop_trailing_price{n::stop_trailing_price},
        is_begin_trailing{n::is_begin_trailing}, in_begin_trailing_bar{n::in_begin_trailing_bar},
        in_bar_begin{n::in_bar_begin};
    kc::FieldReader &operator[](Name &name) {
        return &name == &n::trailing_high ? trailing_high : trailing_low; // the extremes, by name
    }
};

// Trailing begins: the extremes start at the activation price.
void begin_trailing(GvConstants &gv, nb::handle stop_order, bool on_bar_data) {
    kc::set_field(stop_order, n::is_begin_trailing, kc::py_bool(true));
    kc::set_field(stop_order, n::execute_status, gv(n::StopOrderStatus_Trailing));
    kc::set_field(stop_order, n::in_begin_trailing_bar, kc::py_bool(on_bar_data));
    nb::object trailing_price = kc::field(stop_order, n::trailing_price);
    kc::set_field(stop_order, n::trailing_high, trailing_price);
    kc::set_field(stop_order, n::trailing_low, trailing_price);
}

// ---------------------------------------------------------------- tick data

// The exact decimal that a value's shortest text denotes, at the value's own
// precision.  Values that are neither plain numbers nor numpy float32/64 nor
// integers keep their Python `Decimal(str(x))`, which also gives the errors.
struct DecimalForm {
    enum Kind { finite, pos_inf, neg_inf, nan, python } kind = finite;
    kc::Decimal10 value;
    nb::object source;  // the value itself: NaN and Python forms compare in Python
    nb::object decimal; // the Python decimal of a `python` form
};

DecimalForm of_double(double d) {
    DecimalForm f;
    if (std::isnan(d))
        f.kind = DecimalForm::nan;
    else if (std::isinf(d))
        f.kind = d > 0 ? DecimalForm::pos_inf : DecimalForm::neg_inf;
    else
        f.value = kc::shortest_decimal(d);
    return f;
}

DecimalForm of_float(float v) {
    DecimalForm f = of_double((double)v);
    if (f.kind == DecimalForm::finite)
        f.value = kc::shortest_decimal(v);
    return f;
}

nb::object python_decimal(nb::handle x) { return kc::call(global(n::Decimal), kc::steal(PyObject_Str(x.ptr()))); }

DecimalForm decimal_form(nb::handle x) {
    PyObject *o = x.ptr();
    DecimalForm f;
    if (PyFloat_CheckExact(o) || PyArray_IsScalar(o, Double)) {
        f = of_double(PyFloat_AS_DOUBLE(o));
    } else if (PyArray_IsScalar(o, Float)) {
        f = of_float(PyArrayScalar_VAL(o, Float));
    } else if (PyLong_CheckExact(o) || PyArray_IsScalar(o, Integer)) {
        nb::object as_int = kc::to_int(x);
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
        if (overflow || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            f.kind = DecimalForm::python;
            f.decimal = python_decimal(x);
        } else {
            f.value = kc::integer_decimal(v);
        }
    } else {
        f.kind = DecimalForm::python;
        f.decimal = python_decimal(x);
    }
    f.source = nb::borrow(x);
    return f;
}

// The decimal form of a field's value, recomputed only when the field holds
// another object than at the last read: a number held stays the same number.
struct CachedDecimal {
    DecimalForm form;
    const DecimalForm &of(nb::handle value) {
        if (!form.source.is_valid() || form.source.ptr() != value.ptr() || form.kind == DecimalForm::python)
            form = decimal_form(value);
        return form;
    }
};

// The cached decimal forms of the prices of one stop order.
struct StopDecimals {
    CachedDecimal target_price, stop_price, trailing_price, stop_trailing_price, trailing_high, trailing_low;
};

int rank(const DecimalForm &f) { return f.kind == DecimalForm::pos_inf ? 1 : f.kind == DecimalForm::neg_inf ? -1 : 0; }

// `a <op> b` of two decimal forms, exactly as Python's decimals compare.
bool holds(const DecimalForm &a, int op, const DecimalForm &b) {
    const bool native = (a.kind != DecimalForm::nan && a.kind != DecimalForm::python) &&
                        (b.kind != DecimalForm::nan && b.kind != DecimalForm::python);
    if (!native) {
        // NaNs (which make an ordering comparison raise) and foreign values.
        nb::object x = a.kind == DecimalForm::python ? a.decimal : python_decimal(a.source);
        nb::object y = b.kind == DecimalForm::python ? b.decimal : python_decimal(b.source);
        return kc::compare(x, y, op);
    }
    int c;
    if (rank(a) || rank(b))
        c = rank(a) == rank(b) ? 0 : (rank(a) < rank(b) ? -1 : 1);
    else
        c = kc::compare(a.value, b.value);
    return kc::holds((double)c, op, 0.0);
}

// The flattened tick arrays of one bar, read natively where the dtype allows.
struct TickColumn {
    nb::object array; // the flattened array
    PyArrayObject *arr = nullptr;
    Py_ssize_t size = 0;
    int type = -1; // NPY_DOUBLE or NPY_FLOAT when read natively

    explicit TickColumn(nb::handle values) {
        nb::object any = kc::steal(PyArray_FromAny(values.ptr(), nullptr, 0, 0, 0, nullptr));
        array = kc::steal(PyArray_Ravel(reinterpret_cast<PyArrayObject *>(any.ptr()), NPY_CORDER));
        arr = reinterpret_cast<PyArrayObject *>(array.ptr());
        size = (Py_ssize_t)PyArray_SIZE(arr);
        const int t = PyArray_TYPE(arr);
        if ((t == NPY_DOUBLE || t == NPY_FLOAT) && PyArray_ISCARRAY_RO(arr) && PyArray_ISNOTSWAPPED(arr))
            type = t;
    }
    // `column[i]`, a numpy scalar (IndexError past the end).
    nb::object item(Py_ssize_t i) const { return kc::steal(PySequence_GetItem(array.ptr(), i)); }
    // The decimal form of `column[i]`.
    DecimalForm decimal(Py_ssize_t i) const {
        if (i < size && type == NPY_DOUBLE) {
            DecimalForm f = of_double(static_cast<const double *>(PyArray_DATA(arr))[i]);
            if (f.kind == DecimalForm::nan)
                f.source = item(i);
            return f;
        }
        if (i < size && type == NPY_FLOAT) {
            DecimalForm f = of_float(static_cast<const float *>(PyArray_DATA(arr))[i]);
            if (f.kind == DecimalForm::nan)
                f.source = item(i);
            return f;
        }
        return decimal_form(item(i));
    }
    // `np.array([column[from:].<reduction>()])`.
    nb::object rest(Py_ssize_t from, Name &reduction) const {
        nb::object tail = kc::steal(PySequence_GetSlice(array.ptr(), from, PY_SSIZE_T_MAX));
        return kc::steal(PyArray_FromAny(list_of(kc::call_method(tail, reduction)).ptr(), nullptr, 0, 0,
                                         NPY_ARRAY_DEFAULT | NPY_ARRAY_ENSURECOPY, nullptr));
    }
};

nb::object empty_array() {
    npy_intp dims[1] = {0};
    return kc::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
}

} // namespace

nb::object _update_stop_trailing_order_trigger_price(nb::handle stop_order, nb::handle target_price) {
    GvConstants gv;
    StopFields f;
    nb::object gap = f.stop_gap(stop_order);
    nb::object act = f.act(stop_order);
    const bool buy = kc::equals(act, gv(n::OrderAct_Buy));
    if (!buy && !kc::equals(act, gv(n::OrderAct_Sell))) {
        builtin_error("orderact");
        return kc::none();
    }
    // A long position trails its highest price, a short one its lowest.
    nb::object extreme = kc::getattr(stop_order, buy ? n::trailing_high : n::trailing_low);
    nb::object gap_type = f.stop_gap_type(stop_order);
    const bool known_gap =
        kc::equals(gap_type, gv(n::OrderStop_StopGap_Point)) || kc::equals(gap_type, gv(n::OrderStop_StopGap_Percent));
    nb::object price = trailing_trigger(gv, extreme, buy, gap_type, gap, target_price, kc::none());
    if (known_gap)
        kc::set_field(stop_order, n::stop_trailing_price, price);
    return kc::none();
}

nb::object _judge_stop_orders_by_bar(nb::handle bar_high_in, nb::handle bar_low_in, nb::handle volume_in,
                                     nb::handle same_target_stop_orders) {
    GvConstants gv;
    StopFields f;
    const double bar_high = single_precision(bar_high_in);
    const double bar_low = single_precision(bar_low_in);
    const double volume = single_precision(volume_in);
    // The bar's extremes as floats, made at their first use (a trailing stop's
    // new extreme), one object each for the call.
    nb::object high_value, low_value;
    auto boxed = [&](bool high) -> nb::handle {
        nb::object &value = high ? high_value : low_value;
        if (!value.is_valid())
            value = kc::py_float(high ? bar_high : bar_low);
        return value;
    };

    nb::object may_fire = new_list(), must_tick_check = new_list(), cancelled_stop_orders = new_list();
    nb::object temp_stop_trailing_price = kc::py_int(0);

    nb::object stops = as_fast_sequence(same_target_stop_orders, "stop orders");
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(stops.ptr()); ++i) {
        nb::handle stop_order = PySequence_Fast_GET_ITEM(stops.ptr(), i);
        nb::object order_act = f.act(stop_order);
        nb::object stop_order_type = f.stop_order_type(stop_order);
        if (kc::equals(f.execute_status(stop_order), gv(n::StopOrderStatus_Holding)))
            continue; // its target order has not filled yet
        if (volume == 0) {
            // Nothing left to protect.
            kc::set_field(stop_order, n::execute_status, gv(n::StopOrderStatus_Cancelled));
            append(cancelled_stop_orders, stop_order);
            continue;
        }
        const bool buy = kc::equals(order_act, gv(n::OrderAct_Buy));
        const bool sell = !buy && kc::equals(order_act, gv(n::OrderAct_Sell));

        const bool loss = kc::equals(stop_order_type, gv(n::StopOrderType_Loss));
        if (loss || kc::equals(stop_order_type, gv(n::StopOrderType_Profit))) {
            // A loss stop triggers against the position, a profit stop with it.
            if (!buy && !sell) {
                builtin_error("orderact");
                continue;
            }
            nb::object stop_price = f.stop_price(stop_order);
            const bool on_low = buy == loss;
            if (on_low ? test(bar_low, Py_LE, stop_price) : test(bar_high, Py_GE, stop_price))
                append(may_fire, stop_order);
            continue;
        }
        if (!kc::equals(stop_order_type, gv(n::StopOrderType_Trailing))) {
            builtin_error("stopordertype");
            continue;
        }

        nb::object trailing_price = f.trailing_price(stop_order);
        nb::object stop_gap_type = f.stop_gap_type(stop_order);
        nb::object stop_gap = f.stop_gap(stop_order);
        nb::object target_price = f.target_price(stop_order);
        if (!kc::truthy(f.is_begin_trailing(stop_order))) {
            const bool reached =
                (buy && test(bar_high, Py_GE, trailing_price)) || (sell && test(bar_low, Py_LE, trailing_price));
            if (!reached)
                continue;
            if (!kc::truthy(f.in_bar_begin(stop_order))) {
                // Armed during this bar: only the ticks can tell.
                append(must_tick_check, stop_order);
                continue;
            }
            begin_trailing(gv, stop_order, true);
            update_trigger_price(stop_order, target_price);
        }
        if (!buy && !sell) {
            builtin_error("orderact");
            continue;
        }
        // The extreme in the position's favour is the high of a long, the low of a short.
        const double favour = buy ? bar_high : bar_low, against = buy ? bar_low : bar_high;
        Name &best = buy ? n::trailing_high : n::trailing_low, &worst = buy ? n::trailing_low : n::trailing_high;
        const int beyond = buy ? Py_GT : Py_LT, reaches = buy ? Py_LE : Py_GE;

        if (test(favour, beyond, f[best](stop_order))) {
            // A new extreme moves the trigger price, unless the bar also went back to it.
            temp_stop_trailing_price =
                trailing_trigger(gv, boxed(buy), buy, stop_gap_type, stop_gap, target_price, temp_stop_trailing_price);
            if (test(against, reaches, temp_stop_trailing_price)) {
                append(must_tick_check, stop_order);
                continue;
            }
            kc::setattr(stop_order, best, boxed(buy));
            kc::set_field(stop_order, n::stop_trailing_price, temp_stop_trailing_price);
        } else {
            nb::object stop_trailing_price = f.stop_trailing_price(stop_order);
            if (test(against, reaches, stop_trailing_price)) {
                if (kc::truthy(f.in_begin_trailing_bar(stop_order))) {
                    append(must_tick_check, stop_order);
                } else {
                    nb::object extreme = f[worst](stop_order);
                    kc::setattr(stop_order, worst,
                                buy ? kc::py_min(stop_trailing_price, extreme)
                                    : kc::py_max(stop_trailing_price, extreme));
                    append(may_fire, stop_order);
                }
                continue;
            }
        }
        if (test(against, buy ? Py_LT : Py_GT, f[worst](stop_order)))
            kc::setattr(stop_order, worst, boxed(!buy));
    }
    coll::snap_remove(vr_field(n::g_KVStopOrders), n::unfired.get(), cancelled_stop_orders);

    return kc::tuple_of(may_fire, must_tick_check);
}

namespace {

// `a == b` of two values whose comparison runs no host code (exact ints,
// floats or strings of one kind): 1 or 0, as kc::equals tells; -1 for any
// other pair.
int plain_equal(PyObject *a, PyObject *b) {
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b))
        return PyObject_RichCompareBool(a, b, Py_EQ);
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b))
        return PyFloat_AS_DOUBLE(a) == PyFloat_AS_DOUBLE(b);
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b))
        return PyUnicode_Compare(a, b) == 0;
    return -1;
}

// `gv.<name>` as class_constant() keeps it for an unchanged class (borrowed),
// else null: reading it would be a call.
PyObject *kept_constant(nb::handle gv, Name &name) {
    const Name::Constant &c = name.constant;
    if (gv.ptr() == c.owner && c.version != 0 && PyType_Check(gv.ptr()) &&
        kc::valid_version(reinterpret_cast<PyTypeObject *>(gv.ptr())) == c.version)
        return c.value;
    return nullptr;
}

} // namespace

bool judged_quiet(double bar_high_read, double bar_low_read, nb::handle volume_in, nb::handle stops) {
    PyObject *seq = stops.ptr();
    double volume;
    if ((!PyList_CheckExact(seq) && !PyTuple_CheckExact(seq)) || !kc::plain_number(volume_in, volume))
        return false;
    kc::FieldReader act{n::act}, stop_order_type{n::stop_order_type}, execute_status{n::execute_status},
        stop_price{n::stop_price};
    // The readers learn the records' types first: learning may let go of a
    // descriptor learnt before, whose finalizer may run host code, so nothing
    // borrowed is held across it.  The sequence (a tuple, or a list of the
    // caller's own) keeps its items.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
        PyObject *stop = PySequence_Fast_GET_ITEM(seq, i);
        if (!act.can_peek(stop) || !stop_order_type.can_peek(stop) || !execute_status.can_peek(stop) ||
            !stop_price.can_peek(stop))
            return false;
    }
    // From here on no host code runs: the slots are read in place (null where
    // a type changed meanwhile or a field is unset: the judge then runs).
    volume = (double)(float)volume; // as single_precision reads them
    const double bar_high = (double)(float)bar_high_read, bar_low = (double)(float)bar_low_read;
    nb::object gv = ns.get_or_none(n::gv); // no NameError here: the judge reads it only for a stop order
    PyObject *holding = kept_constant(gv, n::StopOrderStatus_Holding), *buy = kept_constant(gv, n::OrderAct_Buy),
             *sell = kept_constant(gv, n::OrderAct_Sell), *loss = kept_constant(gv, n::StopOrderType_Loss),
             *profit = kept_constant(gv, n::StopOrderType_Profit);
    if (!holding || !buy || !sell || !loss || !profit)
        return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
        PyObject *stop = PySequence_Fast_GET_ITEM(seq, i);
        PyObject *status = execute_status.peek(stop), *side = act.peek(stop), *kind = stop_order_type.peek(stop);
        if (!status || !side || !kind)
            return false;
        const int held = plain_equal(status, holding);
        if (held < 0)
            return false;
        if (held)
            continue; // its target order has not filled yet
        if (volume == 0)
            return false; // cancelled: the judge does it
        const int is_buy = plain_equal(side, buy), is_sell = is_buy ? 0 : plain_equal(side, sell);
        const int is_loss = plain_equal(kind, loss), is_profit = is_loss ? 0 : plain_equal(kind, profit);
        if (is_buy < 0 || is_sell < 0 || is_loss < 0 || is_profit < 0 || !(is_buy || is_sell) ||
            !(is_loss || is_profit))
            return false; // a trailing stop, or a field the judge reports
        PyObject *price = stop_price.peek(stop);
        double level;
        if (!price || !kc::plain_number(price, level))
            return false;
        const bool on_low = (is_buy == 1) == (is_loss == 1);
        if (on_low ? kc::holds(bar_low, Py_LE, level) : kc::holds(bar_high, Py_GE, level))
            return false; // it may fire
    }
    return true;
}

void quiet_judgement() {
    nb::object cancelled_stop_orders = new_list(); // made first, as the judge makes it
    coll::snap_remove(vr_field(n::g_KVStopOrders), n::unfired.get(), cancelled_stop_orders);
}

nb::object _judge_stop_orders_by_tick(nb::handle stop_orders_in) {
    GvConstants gv;
    StopFields f;
    nb::object tick_bar_open = empty_array(), tick_bar_high = empty_array(), tick_bar_low = empty_array(),
               tick_bar_vol = empty_array();
    nb::object fire_stop_orders = new_list();

    nb::object stop_orders = as_fast_sequence(stop_orders_in, "stop orders");
    nb::object first = kc::steal(PySequence_GetItem(stop_orders.ptr(), 0));
    nb::object info =
        kc::call(global(n::get_bar_tick_data), index_of(first, n::target_idx), vr_field(n::g_KorvitSimCurBarFresh));
    const TickColumn tick_times(kc::getattr(info, k::Time)), tick_prices(kc::getattr(info, k::Price)),
        tick_volumes(kc::getattr(info, k::VolumeTick));
    const Py_ssize_t tick_end_num = tick_times.size;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(stop_orders.ptr());
    std::vector<StopDecimals> decimals((size_t)count);

    for (Py_ssize_t tick_num = 0; tick_num < tick_end_num && PyList_GET_SIZE(fire_stop_orders.ptr()) == 0; ++tick_num) {
        // The tick's value does not change while the stop orders are walked over it.
        const DecimalForm d_cur_tick_price = tick_prices.decimal(tick_num);
        for (Py_ssize_t j = 0; j < count; ++j) {
            nb::handle stop_order = PySequence_Fast_GET_ITEM(stop_orders.ptr(), j);
            nb::object order_act = f.act(stop_order);
            nb::object stop_order_type = kc::to_int(f.stop_order_type(stop_order));
            nb::object target_price = f.target_price(stop_order);
            StopDecimals &d = decimals[(size_t)j];
            const DecimalForm &d_target_price = d.target_price.of(target_price);
            const DecimalForm &d_stop_price = d.stop_price.of(f.stop_price(stop_order));
            const bool buy = kc::equals(order_act, gv(n::OrderAct_Buy));
            const bool sell = !buy && kc::equals(order_act, gv(n::OrderAct_Sell));

            if (!kc::truthy(f.in_bar_begin(stop_order))) {
                // Armed in this bar: in force from the first tick at which its target order could fill.
                if (!((buy && holds(d_cur_tick_price, Py_LE, d_target_price)) ||
                      (sell && holds(d_cur_tick_price, Py_GE, d_target_price))))
                    continue;
                kc::set_field(stop_order, n::in_bar_begin, kc::py_bool(true));
            }

            bool triggered = false, trailing = false;
            nb::object cur_tick_price;
            const bool loss = kc::equals(stop_order_type, gv(n::StopOrderType_Loss));
            if (loss || kc::equals(stop_order_type, gv(n::StopOrderType_Profit))) {
                const bool against = buy == loss; // a long's loss or a short's profit: the price falls to it
                triggered = (buy || sell) && holds(d_cur_tick_price, against ? Py_LE : Py_GE, d_stop_price);
                if (triggered) {
                    cur_tick_price = tick_prices.item(tick_num);
                    kc::set_field(stop_order, n::trigger_real_price, cur_tick_price);
                    kc::set_field(stop_order, n::trigger_time, tick_times.item(tick_num));
                }
            } else if (kc::equals(stop_order_type, gv(n::StopOrderType_Trailing))) {
                trailing = true;
                const DecimalForm &d_trailing_price = d.trailing_price.of(f.trailing_price(stop_order));
                auto activated = [&] {
                    return (buy && holds(d_cur_tick_price, Py_GE, d_trailing_price)) ||
                           (sell && holds(d_cur_tick_price, Py_LE, d_trailing_price));
                };
                if (!kc::truthy(f.is_begin_trailing(stop_order))) {
                    if (!activated())
                        continue;
                    begin_trailing(gv, stop_order, false);
                    update_trigger_price(stop_order, target_price);
                }
                if (kc::truthy(f.in_begin_trailing_bar(stop_order))) {
                    // Trailing began on the bar's extremes: find the tick where it began.
                    if (!activated())
                        continue;
                    begin_trailing(gv, stop_order, false);
                }
                nb::object stop_trailing_price = f.stop_trailing_price(stop_order);
                nb::object trailing_high = f.trailing_high(stop_order);
                nb::object trailing_low = f.trailing_low(stop_order);
                const DecimalForm &d_stop_trailing_price = d.stop_trailing_price.of(stop_trailing_price);
                const DecimalForm &d_trailing_high = d.trailing_high.of(trailing_high);
                const DecimalForm &d_trailing_low = d.trailing_low.of(trailing_low);
                triggered = (buy && holds(d_cur_tick_price, Py_LE, d_stop_trailing_price)) ||
                            (sell && holds(d_cur_tick_price, Py_GE, d_stop_trailing_price));
                if (triggered) {
                    cur_tick_price = tick_prices.item(tick_num);
                    kc::set_field(stop_order, n::trigger_real_price, cur_tick_price);
                    kc::set_field(stop_order, n::trigger_time, tick_times.item(tick_num));
                    kc::set_field(stop_order, n::trailing_high, kc::py_max(cur_tick_price, trailing_high));
                    kc::set_field(stop_order, n::trailing_low, kc::py_min(cur_tick_price, trailing_low));
                } else {
                    if (buy && holds(d_cur_tick_price, Py_GT, d_trailing_high)) {
                        kc::set_field(stop_order, n::trailing_high, tick_prices.item(tick_num));
                        update_trigger_price(stop_order, target_price);
                    } else if (sell && holds(d_cur_tick_price, Py_LT, d_trailing_low)) {
                        kc::set_field(stop_order, n::trailing_low, tick_prices.item(tick_num));
                        update_trigger_price(stop_order, target_price);
                    }
                    continue;
                }
            } else {
                builtin_error("stopordertype");
                continue;
            }
            if (!triggered)
                continue;

            // The rest of the bar, from the trigger tick on.
            tick_bar_open = one_entry_array(cur_tick_price);
            tick_bar_high = tick_prices.rest(tick_num, k::max);
            tick_bar_low = tick_prices.rest(tick_num, k::min);
            tick_bar_vol = tick_volumes.rest(tick_num, k::sum);
            append(fire_stop_orders, stop_order);
            if (trailing)
                update_trigger_price(stop_order, target_price);
            break;
        }
    }

    return kc::tuple_of(fire_stop_orders, tick_bar_open, tick_bar_high, tick_bar_low, tick_bar_vol);
}

} // namespace dm
