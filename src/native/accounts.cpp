// Backtest accounts and their positions in C++: korvit.native.KVBackAccount,
// PositionsBase, KVBackPosition and target_index.
//
// The Python classes of korvit.backtest.model.accounts and .positions
// (PyKVBackAccount, PyKVBackPosition, ...) stay the reference.  Every number
// goes through the same Python number operations in the same order
// (PyNumber_*, rich comparisons), so results are the same bits for floats,
// ints and numpy scalars alike, and orders and trades are read attribute by
// attribute in the order the Python code reads them.  A position that is not
// exactly a KVBackPosition (a subclass, or anything put into `_positions`) is
// driven through its Python methods, as the Python account would.
#define KC_SOURCE "src/native/accounts.cpp"
#include "native/accounts.hpp"
#include "native/native.hpp"

#include "core/decimal.hpp"
#include "core/pyutil.hpp"

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace knative {

namespace {

namespace nb = nanobind;
using nb::handle;
using nb::object;

// ---------------------------------------------------------------- numbers

object add(handle a, handle b) { return kc::steal(PyNumber_Add(a.ptr(), b.ptr())); }
object sub(handle a, handle b) { return kc::steal(PyNumber_Subtract(a.ptr(), b.ptr())); }
object mul(handle a, handle b) { return kc::steal(PyNumber_Multiply(a.ptr(), b.ptr())); }
object div(handle a, handle b) { return kc::steal(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
object neg(handle a) { return kc::steal(PyNumber_Negative(a.ptr())); }
object iadd(handle a, handle b) { return kc::steal(PyNumber_InPlaceAdd(a.ptr(), b.ptr())); }
object isub(handle a, handle b) { return kc::steal(PyNumber_InPlaceSubtract(a.ptr(), b.ptr())); }

// Volumes: a sum or difference where an operand is a float with a fractional
// part (0.1 lots of a coin) is exact in decimal, on the operands' shortest
// texts, and gives the double nearest to the exact result, so that 0.1 + 0.2
// is 0.3 and closing 0.3 leaves exactly 0.  Whole operands (ints, integral
// floats) keep Python's own operators and their bits.

bool fractional(handle x) {
    if (!PyFloat_Check(x.ptr()))
        return false;
    const double d = PyFloat_AS_DOUBLE(x.ptr());
    return std::isfinite(d) && d != std::floor(d);
}

bool exact_decimal(handle x, kc::Decimal10 &out) {
    if (PyFloat_Check(x.ptr())) {
        const double d = PyFloat_AS_DOUBLE(x.ptr());
        if (!std::isfinite(d))
            return false;
        out = kc::shortest_decimal(d);
        return true;
    }
    if (PyLong_CheckExact(x.ptr())) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(x.ptr(), &overflow);
        if (overflow)
            return false;
        out = kc::integer_decimal(v);
        return true;
    }
    return false;
}

// `a + b` (`a - b` with `minus`) of two volumes, as said above; out of the
// exact integer range (or for any other kind of number), `float(exact(a) +/- exact(b))`
// with `korvit.data.lots.exact`, the Python positions' own rule (an integral number,
// a bool or a numpy integer included, as its int; anything else by its text).
object volume_sum(handle a, handle b, bool minus) {
    if (!fractional(a) && !fractional(b))
        return minus ? sub(a, b) : add(a, b);
    kc::Decimal10 x, y;
    double out;
    if (exact_decimal(a, x) && exact_decimal(b, y)) {
        if (minus && y.coef)
            y.neg = !y.neg;
        if (kc::add_exact(x, y, out))
            return kc::py_float(out);
    }
    object exact = kc::import_from("korvit.data.lots", "exact");
    object fa = kc::call(exact, a);
    object fb = kc::call(exact, b);
    return kc::steal(PyNumber_Float((minus ? sub(fa, fb) : add(fa, fb)).ptr()));
}
object vadd(handle a, handle b) { return volume_sum(a, b, false); }
object vsub(handle a, handle b) { return volume_sum(a, b, true); }

// `bool(a <op> b)`, as an `if` evaluates it.
bool cmp(handle a, handle b, int op) { return kc::truthy(kc::steal(PyObject_RichCompare(a.ptr(), b.ptr(), op))); }

// `x in container`.
bool contains(handle container, handle x) {
    int r = PySequence_Contains(container.ptr(), x.ptr());
    if (r < 0)
        kc::throw_current();
    return r != 0;
}

// `min(a, b)`: the first unless the second is smaller.
object min2(handle a, handle b) { return nb::borrow(cmp(b, a, Py_LT) ? b : a); }

// `f"{o}"`: a value as an f-string shows it, its format with no spec (which
// for some numbers, numpy's float32 among them, differs from str()).
object shown(handle o) { return kc::steal(PyObject_Format(o.ptr(), nullptr)); }

// The AttributeError of an unset member of `self` (the name of its type as
// Python's member descriptors give it; `type_name` when it is not known).
[[noreturn]] void no_attribute(handle self, const char *type_name, const char *name) {
    kc::raise(PyExc_AttributeError, "'%s' object has no attribute '%s'",
              self.is_valid() ? Py_TYPE(self.ptr())->tp_name : type_name, name);
}

// `d.get(key)`, None when missing.
object dict_get(handle d, handle key) {
    PyObject *r = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (!r && PyErr_Occurred())
        kc::throw_current();
    return r ? nb::borrow(r) : nb::none();
}

// ---------------------------------------------------------------- shared values

kc::Name n_status{"status"}, n_order_id{"order_id"}, n_side{"side"}, n_position_effect{"position_effect"},
    n_target_idx{"target_idx"}, n_unfilled_volume{"unfilled_volume"}, n_volume{"volume"}, n_price{"price"},
    n_target_type{"target_type"}, n_frozen_item{"frozen_item"}, n_env{"env"}, n_get_multiple{"get_multiple"},
    n_get_margin_rate{"get_margin_rate"}, n_available{"available"}, n_reserve{"reserve"}, n_release{"release"},
    n_open{"open"}, n_close{"close"}, n_items{"items"}, n_append{"append"}, n_name{"__name__"};

// Values of the Python modules, looked up once (constants of the framework).
struct Shared {
    PyObject *accounts_dict = nullptr; // korvit.backtest.model.accounts namespace (read at each use)
    PyObject *ended, *cash_settled, *amount, *defaults;
    PyObject *holding, *buy, *sell, *open, *close, *close_today, *future;
    PyObject *as_index, *fsum, *what_target;
    PyObject *legs[2], *zero_int, *one_int, *zero_float, *one_float, *minus_one, *s_value, *s_fee, *s_trader_value,
        *s_trader_fee, *s_cash;
    PyTypeObject *back_position = nullptr;
    bool ended_ints = false; // _ENDED is a tuple of ints
};
Shared S;

void init_values() {
    S.legs[0] = interned("long");
    S.legs[1] = interned("short");
    S.zero_int = keep(kc::py_int(0));
    S.one_int = keep(kc::py_int(1));
    S.zero_float = keep(kc::py_float(0.0));
    S.one_float = keep(kc::py_float(1.0));
    S.minus_one = keep(kc::py_int(-1));
    S.s_value = interned("value");
    S.s_fee = interned("fee");
    S.s_trader_value = interned("trader_value");
    S.s_trader_fee = interned("trader_fee");
    S.s_cash = interned("cash");
    S.what_target = interned("target index");
}

// The Python modules' values; imported on first use (the accounts module
// imports this one).
void need_modules() {
    if (S.accounts_dict)
        return;
    object gv = kc::import_from("korvit.tframe.sysdefine", "GlobalDefine");
    auto get = [&](const char *name) { return keep(kc::steal(PyObject_GetAttrString(gv.ptr(), name))); };
    S.holding = get("OrderStatus_Holding");
    S.buy = get("OrderAct_Buy");
    S.sell = get("OrderAct_Sell");
    S.open = get("PositionEffect_Open");
    S.close = get("PositionEffect_Close");
    S.close_today = get("PositionEffect_CloseToday");
    S.future = get("TARGETTYPE_FUTURE");
    S.fsum = keep(kc::import_from("math", "fsum"));
    object module = kc::import("korvit.backtest.model.accounts");
    auto global = [&](const char *name) { return keep(kc::steal(PyObject_GetAttrString(module.ptr(), name))); };
    S.ended = global("_ENDED");
    S.ended_ints = PyTuple_CheckExact(S.ended);
    for (Py_ssize_t i = 0; S.ended_ints && i < PyTuple_GET_SIZE(S.ended); ++i) {
        PyObject *item = PyTuple_GET_ITEM(S.ended, i);
        int overflow = 0;
        S.ended_ints = PyLong_CheckExact(item) && (PyLong_AsLongLongAndOverflow(item, &overflow), !overflow);
    }
    S.cash_settled = global("_CASH_SETTLED");
    S.amount = global("_amount");
    S.defaults = global("DEFAULT_STOCK_COMMISSION_RATE");
    S.accounts_dict = keep(nb::borrow(PyModule_GetDict(module.ptr())));
}

// `framekit.env` of the accounts module, read at each use.
object framekit_env() {
    PyObject *fk = PyDict_GetItemString(S.accounts_dict, "framekit");
    if (!fk)
        kc::raise(PyExc_NameError, "name 'framekit' is not defined");
    nb::object held = nb::borrow(fk); // its `env` may be a getter that rebinds the global
    return kc::getattr(held, n_env);
}

// target_index(value): a non-negative int as it is, anything else through as_index.
object target_index(handle value) {
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred())
            kc::throw_current();
        if (overflow > 0 || (overflow == 0 && v >= 0))
            return nb::borrow(value);
    }
    if (!S.as_index)
        S.as_index = keep(kc::import_from("korvit.tframe.utils.utilfunc", "as_index"));
    return kc::call(S.as_index, S.what_target, value);
}

// `leg in LEGS` resolved to 0 ("long") or 1 ("short").
int leg_index(handle leg) {
    for (int i = 0; i < 2; ++i)
        if (leg.ptr() == S.legs[i])
            return i;
    for (int i = 0; i < 2; ++i) {
        int r = PyObject_RichCompareBool(S.legs[i], leg.ptr(), Py_EQ);
        if (r < 0)
            kc::throw_current();
        if (r)
            return i;
    }
    kc::raise(PyExc_ValueError, "leg must be one of ('long', 'short'), got %R", leg.ptr());
}

// ---------------------------------------------------------------- positions

struct Position {
    object target_idx, held[2], avail[2], avg[2], margin[2];

    explicit Position(handle target) : target_idx(target_index(target)) {
        for (int i = 0; i < 2; ++i)
            held[i] = avail[i] = nb::borrow(S.zero_int);
    }

    int traverse(visitproc visit, void *arg) {
        Py_VISIT(target_idx.ptr());
        for (int i = 0; i < 2; ++i) {
            Py_VISIT(held[i].ptr());
            Py_VISIT(avail[i].ptr());
            Py_VISIT(avg[i].ptr());
            Py_VISIT(margin[i].ptr());
        }
        return 0;
    }
    void clear() {
        object drop[9] = {std::move(target_idx)};
        for (int i = 0; i < 2; ++i) {
            drop[1 + 4 * i] = std::move(held[i]);
            drop[2 + 4 * i] = std::move(avail[i]);
            drop[3 + 4 * i] = std::move(avg[i]);
            drop[4 + 4 * i] = std::move(margin[i]);
        }
    }

    // A field as the attribute read gives it (unset: the error of the slot's descriptor).
    object field(const object &o, const char *name) const {
        if (!o.is_valid())
            no_attribute(nb::find(*this), "KVBackPosition", name);
        return o;
    }
    object target() const { return field(target_idx, "target_idx"); }
    object held_of(handle leg) {
        int i = leg_index(leg);
        return field(held[i], i ? "position_short" : "position_long");
    }
    object available(handle leg) {
        int i = leg_index(leg);
        return field(avail[i], i ? "position_available_short" : "position_available_long");
    }
    object average(int i) { return field(avg[i], i ? "avg_open_price_short" : "avg_open_price_long"); }
    object margin_of(int i) { return field(margin[i], i ? "margin_short" : "margin_long"); }

    void reserve(handle leg, handle volume) {
        object free = available(leg);
        if (cmp(volume, free, Py_GT)) { // the message's parts in the order the f-string makes them
            object v = shown(volume), l = shown(leg), t = shown(target()), f = shown(free);
            kc::raise(PyExc_ValueError, "cannot reserve %U %U of target %U: only %U available", v.ptr(), l.ptr(),
                      t.ptr(), f.ptr());
        }
        avail[leg_index(leg)] = vsub(free, volume);
    }

    void release(handle leg, handle volume) {
        object free = vadd(available(leg), volume);
        if (cmp(free, held_of(leg), Py_GT)) {
            object v = shown(volume), l = shown(leg), t = shown(target());
            kc::raise(PyExc_ValueError, "cannot release %U %U of target %U: more than is reserved", v.ptr(), l.ptr(),
                      t.ptr());
        }
        avail[leg_index(leg)] = std::move(free);
    }

    void open(handle leg, handle volume, handle price, handle margin_taken) {
        object h = held_of(leg);
        int i = leg_index(leg);
        if (!cmp(volume, S.zero_int, Py_GT))
            kc::raise(PyExc_ValueError, "an opening volume must be positive, got %R", volume.ptr());
        object total = vadd(h, volume);
        object a = average(i);
        avg[i] = div(add(mul(a, h), mul(price, volume)), total);
        margin[i] = add(margin_of(i), margin_taken);
        held[i] = std::move(total);
        avail[i] = vadd(available(leg), volume);
    }

    object close(handle leg, handle volume) {
        object h = held_of(leg), free = available(leg);
        int i = leg_index(leg);
        if (!(cmp(S.zero_int, volume, Py_LT) && cmp(volume, free, Py_LE))) {
            object v = kc::steal(PyObject_Repr(volume.ptr())), l = shown(leg), t = shown(target()), hs = shown(h),
                   f = shown(free);
            kc::raise(PyExc_ValueError, "cannot close %U %U of target %U: %U held, %U free to close", v.ptr(), l.ptr(),
                      t.ptr(), hs.ptr(), f.ptr());
        }
        object a = average(i), m = margin_of(i);
        object released = cmp(volume, h, Py_EQ) ? m : div(mul(m, volume), h);
        held[i] = vsub(h, volume);
        avail[i] = vsub(free, volume);
        margin[i] = sub(m, released);
        if (cmp(volume, h, Py_EQ))
            avg[i] = nb::borrow(S.zero_float);
        return kc::tuple_of(std::move(a), std::move(released));
    }

    object repr(handle self) {
        object name = shown(kc::getattr((PyObject *)Py_TYPE(self.ptr()), n_name));
        object t = shown(target()), hl = shown(field(held[0], "position_long")),
               al = shown(field(avail[0], "position_available_long")), hs = shown(field(held[1], "position_short")),
               avs = shown(field(avail[1], "position_available_short"));
        return kc::steal(PyUnicode_FromFormat("%U(target_idx=%U, long=%U (%U available), short=%U (%U available))",
                                              name.ptr(), t.ptr(), hl.ptr(), al.ptr(), hs.ptr(), avs.ptr()));
    }
};

struct BackPosition : Position {
    explicit BackPosition(handle target) : Position(target) {
        for (int i = 0; i < 2; ++i)
            avg[i] = margin[i] = nb::borrow(S.zero_float);
    }
};

// The native position behind `pos`, or null when it is to be driven through
// its Python methods.
BackPosition *native_position(handle pos) {
    if ((PyTypeObject *)Py_TYPE(pos.ptr()) != S.back_position || !nb::inst_ready(pos))
        return nullptr;
    return nb::inst_ptr<BackPosition>(pos);
}

object pos_available(handle pos, handle leg) {
    if (BackPosition *p = native_position(pos))
        return p->available(leg);
    return kc::call_method(pos, n_available, leg);
}
void pos_reserve(handle pos, handle leg, handle volume) {
    if (BackPosition *p = native_position(pos))
        return p->reserve(leg, volume);
    kc::call_method(pos, n_reserve, leg, volume);
}
void pos_release(handle pos, handle leg, handle volume) {
    if (BackPosition *p = native_position(pos))
        return p->release(leg, volume);
    kc::call_method(pos, n_release, leg, volume);
}
void pos_open(handle pos, handle leg, handle volume, handle price, handle margin) {
    if (BackPosition *p = native_position(pos))
        return p->open(leg, volume, price, margin);
    kc::call_method(pos, n_open, leg, volume, price, margin);
}
object pos_close(handle pos, handle leg, handle volume) {
    if (BackPosition *p = native_position(pos))
        return p->close(leg, volume);
    return kc::call_method(pos, n_close, leg, volume);
}

// ---------------------------------------------------------------- accounts

// `(leg, closes)` of an order or trade; leg 0 is "long", 1 "short".
std::pair<int, bool> leg_of(handle side, handle effect) {
    PyObject *sides[2] = {S.buy, S.sell};
    bool known = false;
    for (PyObject *s : sides) {
        int r = PyObject_RichCompareBool(s, side.ptr(), Py_EQ);
        if (r < 0)
            kc::throw_current();
        if (r) {
            known = true;
            break;
        }
    }
    if (!known)
        kc::raise(PyExc_ValueError, "unknown order side %R", side.ptr());
    if (cmp(effect, S.open, Py_EQ))
        return {cmp(side, S.buy, Py_EQ) ? 0 : 1, false};
    PyObject *closes[2] = {S.close, S.close_today};
    for (PyObject *c : closes) {
        int r = PyObject_RichCompareBool(c, effect.ptr(), Py_EQ);
        if (r < 0)
            kc::throw_current();
        if (r)
            return {cmp(side, S.sell, Py_EQ) ? 0 : 1, true};
    }
    kc::raise(PyExc_ValueError, "unknown position effect %R", effect.ptr());
}

// `status in _ENDED`; an int status against int statuses compares the numbers directly.
bool is_ended(handle status) {
    if (PyLong_CheckExact(status.ptr()) && S.ended_ints) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(status.ptr(), &overflow);
        if (!overflow && !(v == -1 && PyErr_Occurred())) {
            for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(S.ended); i < n; ++i)
                if (PyLong_AsLongLong(PyTuple_GET_ITEM(S.ended, i)) == v)
                    return true;
            return false;
        }
        PyErr_Clear();
    }
    return contains(S.ended, status);
}

// What a holding order keeps from the account: (order, cash, position, leg, volume).
enum { H_ORDER, H_CASH, H_POSITION, H_LEG, H_VOLUME, H_COUNT };

// A hold as the account made it.  The holds are the account's own, but the
// garbage collector's introspection (gc.get_referents) hands their dict to
// anyone: what is read from it is checked first.
PyObject *checked_hold(PyObject *hold) {
    if (!PyTuple_CheckExact(hold) || PyTuple_GET_SIZE(hold) != H_COUNT)
        kc::raise(PyExc_TypeError, "a hold of the account was replaced by %.100s", Py_TYPE(hold)->tp_name);
    return hold;
}

struct Account {
    object name, handle_, cash, rates, trades, fee_total, realised_pnl, positions, holds;

    Account(handle name_, handle cash_, handle commission) {
        need_modules();
        if (!PyUnicode_Check(name_.ptr()) || !kc::truthy(name_))
            kc::raise(PyExc_ValueError, "account name must be non-empty text, got %R", name_.ptr());
        object r = kc::steal(PyDict_Copy(S.defaults));
        if (kc::truthy(commission)) {
            object items = kc::steal(PyObject_GetIter(kc::call_method(commission, n_items).ptr()));
            while (PyObject *item = PyIter_Next(items.ptr())) {
                object kv[2];
                kc::unpack(nb::steal(item), 2, kv);
                int has = PyDict_Contains(r.ptr(), kv[0].ptr());
                if (has < 0)
                    kc::throw_current();
                if (!has)
                    kc::raise(PyExc_KeyError, "unknown stock commission item %R; items: %S", kv[0].ptr(),
                              kc::steal(PySequence_List(r.ptr())).ptr());
                kc::setitem(r, kv[0], kc::call(S.amount, kv[0], kv[1]));
            }
            if (PyErr_Occurred())
                kc::throw_current();
        }
        name = nb::borrow(name_);
        handle_ = name;
        cash = kc::call(S.amount, S.s_cash, cash_);
        rates = std::move(r);
        trades = kc::new_list();
        fee_total = nb::borrow(S.zero_float);
        realised_pnl = nb::borrow(S.zero_float);
        positions = kc::steal(PyDict_New());
        holds = kc::steal(PyDict_New());
    }

    int traverse(visitproc visit, void *arg) {
        for (object *o : {&name, &handle_, &cash, &rates, &trades, &fee_total, &realised_pnl, &positions, &holds})
            Py_VISIT(o->ptr());
        return 0;
    }
    void clear() {
        for (object *o : {&name, &handle_, &cash, &rates, &trades, &fee_total, &realised_pnl, &positions, &holds})
            object(std::move(*o));
    }

    object field(const object &o, const char *attr) const {
        if (!o.is_valid())
            no_attribute(nb::find(*this), "KVBackAccount", attr);
        return o;
    }
    object pos_dict() const { return field(positions, "_positions"); }
    object hold_dict() const { return field(holds, "_holds"); }

    // ------------------------------------------------------------ queries

    object position(handle target) {
        drop_ended_holds();
        object p = pos_dict();
        return dict_get(p, target_index(target));
    }

    object valid_cash() {
        drop_ended_holds();
        object h = hold_dict();
        object held_back;
        if (PyDict_GET_SIZE(h.ptr()) == 0) {
            held_back = nb::borrow(S.zero_float);
        } else {
            object values = kc::new_list();
            Py_ssize_t pos = 0;
            PyObject *key, *hold;
            while (PyDict_Next(h.ptr(), &pos, &key, &hold))
                kc::append(values, PyTuple_GET_ITEM(checked_hold(hold), H_CASH));
            held_back = kc::call(S.fsum, values);
        }
        return sub(field(cash, "cash"), held_back);
    }

    object holding_order_ids() const { return kc::steal(PyDict_Keys(hold_dict().ptr())); }

    // ------------------------------------------------------------ notices

    void on_order(handle orders) {
        object it = kc::steal(PyObject_GetIter(orders.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            object order = nb::steal(raw);
            if (cmp(kc::getattr(order, n_status), S.holding, Py_EQ)) {
                object id = kc::getattr(order, n_order_id);
                int has = PyDict_Contains(hold_dict().ptr(), id.ptr());
                if (has < 0)
                    kc::throw_current();
                if (!has)
                    hold(order);
            } else if (is_ended(kc::getattr(order, n_status))) {
                release(kc::getattr(order, n_order_id));
            }
        }
        if (PyErr_Occurred())
            kc::throw_current();
    }

    void on_trade(handle trades_) {
        object it = kc::steal(PyObject_GetIter(trades_.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr()))
            book(nb::steal(raw));
        if (PyErr_Occurred())
            kc::throw_current();
    }

    // ------------------------------------------------------------ internals

    void hold(handle order) {
        object value = kc::call_method(order, n_frozen_item, S.s_value);
        object cash_held = add(value, kc::call_method(order, n_frozen_item, S.s_fee));
        object side = kc::getattr(order, n_side);
        auto [leg, closes] = leg_of(side, kc::getattr(order, n_position_effect));
        if (!closes) {
            kc::setitem(
                hold_dict(), kc::getattr(order, n_order_id),
                kc::tuple_of(nb::borrow(order), std::move(cash_held), nb::none(), nb::none(), nb::borrow(S.zero_int)));
            return;
        }
        object position = dict_get(pos_dict(), target_index(kc::getattr(order, n_target_idx)));
        object legs = nb::borrow(S.legs[leg]);
        object volume = nb::borrow(S.zero_int);
        if (!position.is_none()) {
            object unfilled = kc::getattr(order, n_unfilled_volume);
            volume = min2(unfilled, pos_available(position, legs));
            if (cmp(volume, S.zero_int, Py_GT))
                pos_reserve(position, legs, volume);
        }
        kc::setitem(hold_dict(), kc::getattr(order, n_order_id),
                    kc::tuple_of(nb::borrow(order), std::move(cash_held), std::move(position), std::move(legs),
                                 std::move(volume)));
    }

    void release(handle order_id) {
        object h = hold_dict();
        PyObject *found = PyDict_GetItemWithError(h.ptr(), order_id.ptr());
        if (!found) {
            if (PyErr_Occurred())
                kc::throw_current();
            return;
        }
        object hold = nb::borrow(checked_hold(found));
        if (PyDict_DelItem(h.ptr(), order_id.ptr()) != 0)
            kc::throw_current();
        handle position = PyTuple_GET_ITEM(hold.ptr(), H_POSITION);
        if (!position.is_none())
            pos_release(position, PyTuple_GET_ITEM(hold.ptr(), H_LEG), PyTuple_GET_ITEM(hold.ptr(), H_VOLUME));
    }

    void drop_ended_holds() {
        object h = hold_dict();
        Py_ssize_t size = PyDict_GET_SIZE(h.ptr());
        if (size == 0)
            return;
        // The usual case: nothing ended, and nothing is allocated to find that out.
        object ended;
        Py_ssize_t pos = 0;
        PyObject *key, *hold;
        while (PyDict_Next(h.ptr(), &pos, &key, &hold)) {
            object k = nb::borrow(key), held = nb::borrow(hold); // kept while the status is read
            bool done = is_ended(kc::getattr(PyTuple_GET_ITEM(checked_hold(hold), H_ORDER), n_status));
            if (PyDict_GET_SIZE(h.ptr()) != size)
                kc::raise(PyExc_RuntimeError, "dictionary changed size during iteration");
            if (done) {
                if (!ended.is_valid())
                    ended = kc::new_list();
                kc::append(ended, k);
            }
        }
        if (ended.is_valid())
            for (Py_ssize_t i = 0, n = PyList_GET_SIZE(ended.ptr()); i < n; ++i)
                release(PyList_GET_ITEM(ended.ptr(), i));
    }

    // One fill, booked whole or (on an error before the first change) not at all.
    void book(handle trade) {
        object target = target_index(kc::getattr(trade, n_target_idx));
        object side = kc::getattr(trade, n_side);
        auto [leg, closes] = leg_of(side, kc::getattr(trade, n_position_effect));
        object legs = nb::borrow(S.legs[leg]);
        object volume = kc::getattr(trade, n_volume), price = kc::getattr(trade, n_price);
        object value = kc::call_method(trade, n_frozen_item, S.s_trader_value);
        object fee = kc::call_method(trade, n_frozen_item, S.s_trader_fee);
        bool futures = cmp(kc::getattr(trade, n_target_type), S.future, Py_EQ);
        if (!futures && !contains(S.cash_settled, kc::getattr(trade, n_target_type)))
            kc::raise(PyExc_ValueError, "cannot book a trade of target type %R",
                      kc::getattr(trade, n_target_type).ptr());
        object position = dict_get(pos_dict(), target);
        object closed = nb::borrow(S.zero_int), multiple = nb::borrow(S.one_float),
               rest_margin = nb::borrow(S.zero_float);
        if (closes) {
            object hold = dict_get(hold_dict(), kc::getattr(trade, n_order_id));
            if (!hold.is_none())
                checked_hold(hold.ptr());
            bool own = !hold.is_none() && PyTuple_GET_ITEM(hold.ptr(), H_POSITION) == position.ptr() &&
                       cmp(PyTuple_GET_ITEM(hold.ptr(), H_LEG), legs, Py_EQ);
            object free = nb::borrow(S.zero_int);
            if (!position.is_none())
                free = vadd(pos_available(position, legs),
                            own ? handle(PyTuple_GET_ITEM(hold.ptr(), H_VOLUME)) : handle(S.zero_int));
            closed = min2(volume, free);
            if (futures) {
                multiple = kc::call_method(framekit_env(), n_get_multiple, target);
                if (cmp(volume, closed, Py_GT)) {
                    object rate =
                        kc::call_method(framekit_env(), n_get_margin_rate, target, kc::getattr(trade, n_side));
                    rest_margin = mul(mul(mul(price, vsub(volume, closed)), multiple), rate);
                }
            }
        }
        // Checks and lookups done: from here on only the numbers' own operations can fail.
        release(kc::getattr(trade, n_order_id));
        if (position.is_none()) {
            position = kc::call((PyObject *)S.back_position, target);
            kc::setitem(pos_dict(), target, position);
        }
        if (!closes)
            pos_open(position, legs, volume, price, futures ? handle(value) : handle(S.zero_float));
        if (cmp(closed, S.zero_int, Py_GT)) {
            object result = pos_close(position, legs, closed);
            object ar[2];
            kc::unpack(result, 2, ar);
            object pnl = mul(mul(mul(sub(price, ar[0]), closed), multiple), leg == 0 ? S.one_int : S.minus_one);
            realised_pnl = iadd(field(realised_pnl, "realised_pnl"), pnl);
            if (futures)
                cash = iadd(field(cash, "cash"), add(ar[1], pnl));
        }
        if (closes && cmp(volume, closed, Py_GT))
            pos_open(position, S.legs[1 - leg], vsub(volume, closed), price, rest_margin);
        if (futures) {
            cash = isub(field(cash, "cash"), add(closes ? rest_margin : value, fee));
        } else {
            object flow = cmp(kc::getattr(trade, n_side), S.sell, Py_EQ) ? value : neg(value);
            cash = iadd(field(cash, "cash"), sub(flow, fee));
        }
        fee_total = iadd(field(fee_total, "fee_total"), fee);
        object t = field(trades, "trades");
        if (PyList_CheckExact(t.ptr()))
            kc::append(t, trade);
        else
            kc::call_method(t, n_append, trade);
    }

    object repr() {
        object c = kc::steal(PyObject_Format(field(cash, "cash").ptr(), kc::py_str(".2f").ptr()));
        return kc::steal(PyUnicode_FromFormat("KVBackAccount(%R, cash=%U, positions=%zd, holding=%zd)",
                                              field(name, "name").ptr(), c.ptr(), PyObject_Length(pos_dict().ptr()),
                                              PyObject_Length(hold_dict().ptr())));
    }
};

// ---------------------------------------------------------------- GC slots

int position_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    return nb::inst_ptr<Position>(self)->traverse(visit, arg);
}
int position_clear(PyObject *self) {
    if (nb::inst_ready(self))
        nb::inst_ptr<Position>(self)->clear();
    return 0;
}
// The instance __dict__ of an account (it takes attributes, as the Python
// account does); the traverse and clear below stand in for nanobind's own.
Py_ssize_t account_dictoffset = 0;
PyObject **account_dict(PyObject *self) {
    return account_dictoffset > 0 ? (PyObject **)((char *)self + account_dictoffset) : nullptr;
}

int account_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (PyObject **dict = account_dict(self))
        Py_VISIT(*dict);
    if (!nb::inst_ready(self))
        return 0;
    return nb::inst_ptr<Account>(self)->traverse(visit, arg);
}
int account_clear(PyObject *self) {
    if (PyObject **dict = account_dict(self))
        Py_CLEAR(*dict);
    if (nb::inst_ready(self))
        nb::inst_ptr<Account>(self)->clear();
    return 0;
}
PyType_Slot position_slots[] = {
    {Py_tp_traverse, (void *)position_traverse}, {Py_tp_clear, (void *)position_clear}, {0, nullptr}};
PyType_Slot account_slots[] = {
    {Py_tp_traverse, (void *)account_traverse}, {Py_tp_clear, (void *)account_clear}, {0, nullptr}};

#define KN_ARG(name) nb::arg(name).none()

} // namespace

#define KN_POS(method) KC_SITE("korvit.native.PositionsBase." method)
#define KN_BACK(method) KC_SITE("korvit.native.KVBackPosition." method)
#define KN_ACC(method) KC_SITE("korvit.native.KVBackAccount." method)

// The data attributes are plain member descriptors over the object fields,
// as the Python classes' slots are: read and set without a native call, and
// an unset (deleted or cleared) field reads as an AttributeError.
PyMemberDef position_members[] = {
    {"target_idx", KC_T_OBJECT_EX, offsetof(Position, target_idx), 0, nullptr},
    {"position_long", KC_T_OBJECT_EX, offsetof(Position, held[0]), 0, nullptr},
    {"position_short", KC_T_OBJECT_EX, offsetof(Position, held[1]), 0, nullptr},
    {"position_available_long", KC_T_OBJECT_EX, offsetof(Position, avail[0]), 0, nullptr},
    {"position_available_short", KC_T_OBJECT_EX, offsetof(Position, avail[1]), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr}};
PyMemberDef back_position_members[] = {{"avg_open_price_long", KC_T_OBJECT_EX, offsetof(Position, avg[0]), 0, nullptr},
                                       {"avg_open_price_short", KC_T_OBJECT_EX, offsetof(Position, avg[1]), 0, nullptr},
                                       {"margin_long", KC_T_OBJECT_EX, offsetof(Position, margin[0]), 0, nullptr},
                                       {"margin_short", KC_T_OBJECT_EX, offsetof(Position, margin[1]), 0, nullptr},
                                       {nullptr, 0, 0, 0, nullptr}};
PyMemberDef account_members[] = {{"name", KC_T_OBJECT_EX, offsetof(Account, name), 0, nullptr},
                                 {"handle", KC_T_OBJECT_EX, offsetof(Account, handle_), 0, nullptr},
                                 {"cash", KC_T_OBJECT_EX, offsetof(Account, cash), 0, nullptr},
                                 {"stock_commission_rate", KC_T_OBJECT_EX, offsetof(Account, rates), 0, nullptr},
                                 {"trades", KC_T_OBJECT_EX, offsetof(Account, trades), 0, nullptr},
                                 {"fee_total", KC_T_OBJECT_EX, offsetof(Account, fee_total), 0, nullptr},
                                 {"realised_pnl", KC_T_OBJECT_EX, offsetof(Account, realised_pnl), 0, nullptr},
                                 {"_positions", KC_T_OBJECT_EX, offsetof(Account, positions), KC_READONLY, nullptr},
                                 {nullptr, 0, 0, 0, nullptr}};

// Puts `members` (offsets within the C++ object) on the bound class `type`;
// the C++ object sits at a fixed place in every instance of the class.
template <class C>
void add_members(nb::handle type, PyMemberDef *members) {
    object probe = nb::inst_alloc(type);
    Py_ssize_t payload = (char *)nb::inst_ptr<C>(probe) - (char *)probe.ptr();
    for (PyMemberDef *m = members; m->name; ++m) {
        m->offset += payload;
        object descr = kc::steal(PyDescr_NewMember((PyTypeObject *)type.ptr(), m));
        if (PyObject_SetAttrString(type.ptr(), m->name, descr.ptr()) != 0)
            kc::throw_current();
    }
    PyType_Modified((PyTypeObject *)type.ptr());
}

namespace {

// ---------------------------------------------------------------- valuation

// A number of the valuation as Python holds it: an exact int (of at most 53
// bits, so that it converts to a double exactly) or a double.
struct Num {
    bool is_int = false;
    long long i = 0;
    double d = 0.0;
    double value() const { return is_int ? (double)i : d; }
    bool truthy() const { return is_int ? i != 0 : d != 0.0; }
};

constexpr long long EXACT_INT = 1LL << 53;

PyTypeObject *float64_type = nullptr; // numpy.float64

// A finite plain number: an exact int within EXACT_INT, an exact float or a
// numpy float64 (a float subclass that keeps its value where a float does).
bool read_num(PyObject *o, Num &out) {
    if (!o)
        return false;
    if (PyFloat_CheckExact(o) || Py_TYPE(o) == float64_type) {
        out.is_int = false;
        out.d = PyFloat_AS_DOUBLE(o);
        return std::isfinite(out.d);
    }
    if (!PyLong_CheckExact(o))
        return false;
    long long v;
    if (!kc::compact_int_value(o, v)) {
        int overflow = 0;
        v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return false;
        }
    }
    if (v < -EXACT_INT || v > EXACT_INT)
        return false;
    out.is_int = true;
    out.i = v;
    return true;
}

// `a + b` and `a - b` as Python gives them: two ints an int, else a double.
// False when the result leaves the finite range (or an int the exact one).
bool num_sum(const Num &a, const Num &b, bool minus, Num &out) {
    if (a.is_int && b.is_int) {
        out.is_int = true;
        out.i = minus ? a.i - b.i : a.i + b.i;
        return out.i >= -EXACT_INT && out.i <= EXACT_INT;
    }
    out.is_int = false;
    out.d = minus ? a.value() - b.value() : a.value() + b.value();
    return std::isfinite(out.d);
}

// Checked double operations: false where numpy's scalar arithmetic would
// set a floating-point flag it warns of (overflow, an invalid operation,
// an underflow); the caller then lets Python compute.
bool fsum2(double a, double b, bool minus, double &out) {
    out = minus ? a - b : a + b;
    return std::isfinite(out);
}
bool fmul(double a, double b, double &out) {
    out = a * b;
    if (!std::isfinite(out))
        return false;
    if (out == 0.0)
        return a == 0.0 || b == 0.0;
    return std::fabs(out) >= DBL_MIN;
}

// The class's attribute `name` is still the member descriptor `member` made here.
bool own_member(PyTypeObject *tp, const char *name, const PyMemberDef *member) {
    PyObject *key = PyUnicode_InternFromString(name);
    if (!key) {
        PyErr_Clear();
        return false;
    }
    PyObject *descr = kc::type_lookup(tp, key); // borrowed
    Py_DECREF(key);
    return descr && Py_TYPE(descr) == &PyMemberDescr_Type &&
           reinterpret_cast<PyMemberDescrObject *>(descr)->d_member == member;
}

PyTypeObject *account_class = nullptr;
unsigned int account_fields_version = 0;  // KVBackAccount's version when its fields were last found ours
unsigned int position_fields_version = 0; // the same of KVBackPosition

// Whether the classes read their fields through the member descriptors made
// here: looked up again whenever a class changed.
bool own_fields() {
    unsigned int a = kc::valid_version(account_class), p = kc::valid_version(S.back_position);
    if (a != 0 && a == account_fields_version && p != 0 && p == position_fields_version)
        return true;
    account_fields_version = position_fields_version = 0;
    if (account_class->tp_getattro != PyObject_GenericGetAttr ||
        S.back_position->tp_getattro != PyObject_GenericGetAttr)
        return false;
    if (!own_member(account_class, "cash", &account_members[2]) ||
        !own_member(account_class, "_positions", &account_members[7]) ||
        !own_member(S.back_position, "position_long", &position_members[1]) ||
        !own_member(S.back_position, "position_short", &position_members[2]))
        return false;
    for (int i = 0; i < 4; ++i)
        if (!own_member(S.back_position, back_position_members[i].name, &back_position_members[i]))
            return false;
    account_fields_version = kc::valid_version(account_class);
    position_fields_version = kc::valid_version(S.back_position);
    return account_fields_version != 0 && position_fields_version != 0;
}

} // namespace

PyTypeObject *account_type() { return account_class; }

bool value_account(PyObject *account, PyObject *terms, const BarCloses &closes, double (&out)[4]) {
    if (!account_class || Py_TYPE(account) != account_class || !nb::inst_ready(account) || !own_fields() ||
        !PyList_CheckExact(terms))
        return false;
    const Account &a = *nb::inst_ptr<Account>(account);
    PyObject *positions = a.positions.ptr();
    Num cash;
    if (!positions || !PyDict_CheckExact(positions) || !read_num(a.cash.ptr(), cash))
        return false;
    // Nothing below runs host code: the dict cannot change while it is read.
    double market_value = 0.0, margin = 0.0;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(positions, &pos, &key, &value)) {
        if (value == Py_None)
            continue;
        if (Py_TYPE(value) != S.back_position || !nb::inst_ready(value))
            return false;
        const Position &p = *nb::inst_ptr<Position>(value);
        Num held_long, held_short;
        if (!read_num(p.held[0].ptr(), held_long) || !read_num(p.held[1].ptr(), held_short))
            return false;
        if (!held_long.truthy() && !held_short.truthy())
            continue;
        long long target;
        if (!PyLong_CheckExact(key) || !kc::compact_int_value(key, target) || target < 0 ||
            target >= PyList_GET_SIZE(terms) || target >= closes.count)
            return false;
        PyObject *term = PyList_GET_ITEM(terms, target);
        if (!PyTuple_CheckExact(term) || PyTuple_GET_SIZE(term) != 2 || !PyBool_Check(PyTuple_GET_ITEM(term, 0)))
            return false;
        const bool futures = PyTuple_GET_ITEM(term, 0) == Py_True;
        Num multiplier;
        if (!read_num(PyTuple_GET_ITEM(term, 1), multiplier))
            return false;
        double close;
        std::memcpy(&close, closes.data + target * closes.stride, sizeof close);
        if (!std::isfinite(close))
            return false;
        if (futures) {
            Num margin_long, margin_short, average_long, average_short, position_margin;
            if (!read_num(p.margin[0].ptr(), margin_long) || !read_num(p.margin[1].ptr(), margin_short) ||
                !read_num(p.avg[0].ptr(), average_long) || !read_num(p.avg[1].ptr(), average_short) ||
                !num_sum(margin_long, margin_short, false, position_margin))
                return false;
            // ((close - avg_long) * long + (avg_short - close) * short) * multiplier
            double gain_long, gain_short, floating;
            if (!fsum2(close, average_long.value(), true, gain_long) ||
                !fmul(gain_long, held_long.value(), gain_long) ||
                !fsum2(average_short.value(), close, true, gain_short) ||
                !fmul(gain_short, held_short.value(), gain_short) || !fsum2(gain_long, gain_short, false, floating) ||
                !fmul(floating, multiplier.value(), floating))
                return false;
            double with_margin;
            if (!fsum2(margin, position_margin.value(), false, margin) ||
                !fsum2(position_margin.value(), floating, false, with_margin) ||
                !fsum2(market_value, with_margin, false, market_value))
                return false;
        } else {
            // (long - short) * close * multiplier
            Num net;
            double worth;
            if (!num_sum(held_long, held_short, true, net) || !fmul(net.value(), close, worth) ||
                !fmul(worth, multiplier.value(), worth) || !fsum2(market_value, worth, false, market_value))
                return false;
        }
    }
    double equity;
    if (!fsum2(cash.value(), market_value, false, equity))
        return false;
    out[0] = cash.value();
    out[1] = market_value;
    out[2] = margin;
    out[3] = equity;
    return true;
}

void bind_accounts(nb::module_ &m) {
    init_values();
    m.def(
        "target_index",
        [](nb::handle value) {
            return kc::guarded(KC_SITE("korvit.native.target_index"), [&] { return target_index(value); });
        },
        KN_ARG("value"), nb::sig("def target_index(value: typing.SupportsIndex | float) -> int"),
        "A target index as an int, from an int-like or an integral float.");

    nb::class_<Position> base(m, "PositionsBase", nb::type_slots(position_slots),
                              "Long and short volumes of one target, with the parts free to close.");
    base.def(
            "__init__",
            [](Position *self, nb::handle target) {
                kc::guarded(KN_POS("__init__"), [&] { new (self) Position(target); });
            },
            KN_ARG("target_idx"), nb::sig("def __init__(self, target_idx: typing.SupportsIndex | float) -> None"),
            "An empty position of the target.")
        .def(
            "held",
            [](Position &p, nb::handle leg) { return kc::guarded(KN_POS("held"), [&] { return p.held_of(leg); }); },
            KN_ARG("leg"), nb::sig("def held(self, leg: str) -> float"),
            "Volume held of `leg` (\"long\" or \"short\").")
        .def(
            "available",
            [](Position &p, nb::handle leg) {
                return kc::guarded(KN_POS("available"), [&] { return p.available(leg); });
            },
            KN_ARG("leg"), nb::sig("def available(self, leg: str) -> float"), "Volume of `leg` free to close.")
        .def(
            "reserve",
            [](Position &p, nb::handle leg, nb::handle volume) {
                kc::guarded(KN_POS("reserve"), [&] { p.reserve(leg, volume); });
            },
            KN_ARG("leg"), KN_ARG("volume"), nb::sig("def reserve(self, leg: str, volume: float) -> None"),
            "Set `volume` of `leg` aside for a pending closing order.")
        .def(
            "release",
            [](Position &p, nb::handle leg, nb::handle volume) {
                kc::guarded(KN_POS("release"), [&] { p.release(leg, volume); });
            },
            KN_ARG("leg"), KN_ARG("volume"), nb::sig("def release(self, leg: str, volume: float) -> None"),
            "Undo `reserve(leg, volume)`.")
        .def(
            "__repr__",
            [](nb::handle self) {
                return kc::guarded(KN_POS("__repr__"), [&] { return nb::cast<Position &>(self).repr(self); });
            },
            nb::sig("def __repr__(self) -> str"));
    add_members<Position>(base, position_members);
    base.attr("__slots__") = nb::make_tuple("target_idx", "position_long", "position_short", "position_available_long",
                                            "position_available_short");

    nb::class_<BackPosition, Position> back(
        m, "KVBackPosition", nb::type_slots(position_slots),
        "A backtest position: volumes plus average open prices and occupied margin.");
    back.def(
            "__init__",
            [](BackPosition *self, nb::handle target) {
                kc::guarded(KN_BACK("__init__"), [&] { new (self) BackPosition(target); });
            },
            KN_ARG("target_idx"), nb::sig("def __init__(self, target_idx: typing.SupportsIndex | float) -> None"),
            "An empty position of the target.")
        .def(
            "open",
            [](BackPosition &p, nb::handle leg, nb::handle volume, nb::handle price, nb::handle margin) {
                kc::guarded(KN_BACK("open"), [&] { p.open(leg, volume, price, margin); });
            },
            KN_ARG("leg"), KN_ARG("volume"), KN_ARG("price"), KN_ARG("margin") = 0.0,
            nb::sig("def open(self, leg: str, volume: float, price: float, margin: float = 0.0) -> None"),
            "Add an opening fill of `volume` at `price` that occupies `margin`.")
        .def(
            "close",
            [](BackPosition &p, nb::handle leg, nb::handle volume) {
                return kc::guarded(KN_BACK("close"), [&] { return p.close(leg, volume); });
            },
            KN_ARG("leg"), KN_ARG("volume"), nb::sig("def close(self, leg: str, volume: float) -> tuple[float, float]"),
            "Take a closing fill of `volume` out of the free part of `leg`; returns (average open price, "
            "released margin), the margin released in proportion to the volume closed.");
    add_members<BackPosition>(back, back_position_members);
    back.attr("__slots__") =
        nb::make_tuple("avg_open_price_long", "avg_open_price_short", "margin_long", "margin_short");
    S.back_position = (PyTypeObject *)back.ptr();

    using A = Account;
    nb::class_<A> acc(m, "KVBackAccount", nb::type_slots(account_slots), nb::is_weak_referenceable(),
                      nb::dynamic_attr(), "One backtest account, named `name` (also its `handle`).");
    acc.def(
           "__init__",
           [](A *self, nb::handle name, nb::handle cash, nb::handle rates) {
               kc::guarded(KN_ACC("__init__"), [&] { new (self) A(name, cash, rates); });
           },
           KN_ARG("name"), KN_ARG("cash"), KN_ARG("stock_commission_rate") = nb::none(),
           nb::sig("def __init__(self, name: str, cash: float, stock_commission_rate: collections.abc.Mapping[str, "
                   "float] | None = None) -> None"),
           "An account holding `cash`; `stock_commission_rate` overrides items of the default stock\n"
           "commission rates.")
        .def(
            "position",
            [](A &a, nb::handle target) { return kc::guarded(KN_ACC("position"), [&] { return a.position(target); }); },
            KN_ARG("target_idx"),
            nb::sig("def position(self, target_idx: typing.SupportsIndex | float) -> KVBackPosition | None"),
            "The position record of the target, or None when it was never held.")
        .def(
            "valid_cash",
            [](A &a, nb::handle) { return kc::guarded(KN_ACC("valid_cash"), [&] { return a.valid_cash(); }); },
            KN_ARG("time") = nb::none(), nb::sig("def valid_cash(self, time: object = None) -> float"),
            "Cash less the funds held back by holding orders (`time` is not used).")
        .def_prop_ro(
            "holding_order_ids",
            [](A &a) { return kc::guarded(KN_ACC("holding_order_ids"), [&] { return a.holding_order_ids(); }); },
            nb::sig("def holding_order_ids(self) -> list[int]"),
            "Ids of the orders holding funds or volume, oldest first.")
        .def(
            "on_order", [](A &a, nb::handle orders) { kc::guarded(KN_ACC("on_order"), [&] { a.on_order(orders); }); },
            KN_ARG("orders"), nb::sig("def on_order(self, orders: collections.abc.Iterable[KVBackOrder]) -> None"),
            "Orders that just became holding, or stopped holding without a fill.")
        .def(
            "on_trade", [](A &a, nb::handle trades) { kc::guarded(KN_ACC("on_trade"), [&] { a.on_trade(trades); }); },
            KN_ARG("trades"), nb::sig("def on_trade(self, trades: collections.abc.Iterable[KVBackTrade]) -> None"),
            "Book fills; each trade is booked whole or, on an error, not at all.")
        .def(
            "__repr__", [](A &a) { return kc::guarded(KN_ACC("__repr__"), [&] { return a.repr(); }); },
            nb::sig("def __repr__(self) -> str"));
    account_dictoffset = ((PyTypeObject *)acc.ptr())->tp_dictoffset;
    add_members<A>(acc, account_members);
    account_class = (PyTypeObject *)acc.ptr();
    float64_type = (PyTypeObject *)kc::import_from("numpy", "float64").release().ptr(); // kept for the process
}

} // namespace knative
