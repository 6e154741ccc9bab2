// korvit.native.run_bars: the bar loop of a run in C++.
//
// `korvit.backtest.loop._bars` stays the reference: the loop makes the same
// host calls in the same order and gives the same numbers.  Every name the
// Python loop looks up at each use is looked up here at each use too (the
// loop module's globals `domain`, `framekit`, `valuation`, `KVBackAccount`,
// `_FINAL`; `session.expire` and `session.tell`; `info.on_data_func`), and
// what it binds once before the loop is handed over bound (the session's
// accounts, the trades collection, ...).  Three steps take a shorter way
// while what they would call is exactly the loop's own code:
//
// - the deal (`deal(t)`, the phase wrapper of `deal_bar`): while the wrapper
//   runs the loop module's own `deal_bar`, its body runs here, inside the
//   phase as the wrapper sets it, making the same calls;
// - `expire(t)` and `tell()`: while they are the session's own methods and
//   the session is exactly a `Session`, they are not called when there is
//   nothing to do (no order's last bar has come, no cancel waits to be told);
// - the valuation: an account of exactly the compiled `KVBackAccount` valued
//   by the session module's own `valuation` is valued in C++ from its fields
//   (see value_account), its row of the equity written in place.
//
// Nothing read on these ways is kept across a call that can run host code.
//
// `_crossed` is the common case of `korvit.indicators.crossed_above` and
// `crossed_below` (two series of the running session): the four values read
// where the indicators module's own code reads them, or None when that cannot
// be told without running host code (the module then takes its own way).
#define KC_SOURCE "src/native/loop.cpp"
#include "native/loop.hpp"

#include "native/accounts.hpp"
#include "native/phase.hpp"

#include "core/numpy.hpp"
#include "core/pyutil.hpp"

#include <structmember.h>

#include <chrono>
#include <cstring>

namespace knative {
namespace {

namespace nb = nanobind;
using kc::Name;

Name n_bar{"bar"}, n_seen{"seen"}, n_expire{"expire"}, n_tell{"tell"}, n_expiries{"_expiries"}, n_notices{"_notices"},
    n_on_data_func{"on_data_func"}, n_cur_bar{"g_KorvitSimCurBarFresh"}, n_clear_unfilled{"_clear_unfilled_order"},
    n_fresh_bar_time{"fresh_bar_time"}, n_vr{"vr"}, n_deal_trade{"deal_trade"}, n_orders{"g_KVOrders"},
    n_snap_obj{"snap_obj"}, n_obj{"obj"}, n_snap_remove{"snap_remove"}, n_status{"status"}, n_append{"append"},
    n_register{"register"};
Name g_domain{"domain"}, g_framekit{"framekit"}, g_valuation{"valuation"}, g_account{"KVBackAccount"},
    g_final{"_FINAL"}, g_type{"type"}, g_current{"_current"};
Name n_started{"started"}, n_series_session{"_session"}, n_series_values{"_values"};

// The loop's own parts, as the loop module handed them over when it was
// imported (kept until the interpreter ends).
struct Own {
    PyObject *loop_globals = nullptr;    // korvit.backtest.loop's namespace
    PyObject *session_globals = nullptr; // korvit.backtest.session's namespace
    PyObject *deal_bar = nullptr, *deal_bar_code = nullptr;
    PyObject *valuation = nullptr, *valuation_code = nullptr;
    PyTypeObject *session = nullptr;  // the Session class
    unsigned int session_version = 0; // its version tag then
    PyObject *expire = nullptr, *expire_code = nullptr, *tell = nullptr, *tell_code = nullptr;
    PyObject *deque = nullptr; // collections.deque
    PyObject *unfilled = nullptr;
};
Own own;

PyObject *kept(nb::handle o) { return Py_NewRef(o.ptr()); }

// A global of the loop module, looked up now (NameError as Python's when unset).
nb::object loop_global(Name &name) {
    PyObject *value = PyDict_GetItemWithError(own.loop_globals, name.get());
    if (value)
        return nb::borrow(value);
    if (PyErr_Occurred())
        kc::throw_current();
    // a builtin is found there when the module has none of its own
    PyObject *builtins = kc::function_builtins(own.deal_bar);
    value = builtins ? PyDict_GetItemWithError(builtins, name.get()) : nullptr;
    if (value)
        return nb::borrow(value);
    if (PyErr_Occurred())
        kc::throw_current();
    kc::raise(PyExc_NameError, "name '%s' is not defined", name.text);
}

// The value of `name` in `globals` (borrowed), null when absent; no host code runs.
PyObject *peek_global(PyObject *globals, Name &name) {
    PyObject *value = PyDict_GetItemWithError(globals, name.get());
    if (!value)
        PyErr_Clear();
    return value;
}

// Whether `func` still runs the code it was handed over with.
bool runs_own_code(PyObject *func, PyObject *code) {
    return func && PyFunction_Check(func) && PyFunction_GET_CODE(func) == code;
}

// Drops the parts handed over, so that they go with their modules when the
// interpreter ends (registered with `atexit`).
void release_parts() {
    PyObject *parts[] = {own.loop_globals,
                         own.session_globals,
                         own.deal_bar,
                         own.deal_bar_code,
                         own.valuation,
                         own.valuation_code,
                         (PyObject *)own.session,
                         own.expire,
                         own.expire_code,
                         own.tell,
                         own.tell_code,
                         own.deque,
                         own.unfilled};
    own = Own();
    for (PyObject *o : parts)
        Py_XDECREF(o);
}

PyObject *release(PyObject *, PyObject *) {
    release_parts();
    Py_RETURN_NONE;
}

void release_at_exit() {
    static PyMethodDef def = {"_release_loop_parts", release, METH_NOARGS, nullptr};
    nb::object fn = kc::steal(PyCFunction_New(&def, nullptr));
    kc::call_method(kc::import("atexit"), n_register, fn);
}

void set_own_parts(nb::handle deal_bar, nb::handle valuation, nb::handle session) {
    if (!PyFunction_Check(deal_bar.ptr()) || !PyFunction_Check(valuation.ptr()) || !PyType_Check(session.ptr()))
        kc::raise(PyExc_TypeError, "the loop's parts are two functions and a class");
    PyTypeObject *type = (PyTypeObject *)session.ptr();
    PyObject *expire = kc::type_lookup(type, n_expire.get()), *tell = kc::type_lookup(type, n_tell.get());
    if (!expire || !tell || !PyFunction_Check(expire) || !PyFunction_Check(tell))
        kc::raise(PyExc_TypeError, "the session class has no methods expire and tell");
    nb::object deque = kc::import_from("collections", "deque");
    Own parts;
    parts.loop_globals = kept(PyFunction_GET_GLOBALS(deal_bar.ptr()));
    parts.session_globals = kept(PyFunction_GET_GLOBALS(valuation.ptr()));
    parts.deal_bar = kept(deal_bar);
    parts.deal_bar_code = kept(PyFunction_GET_CODE(deal_bar.ptr()));
    parts.valuation = kept(valuation);
    parts.valuation_code = kept(PyFunction_GET_CODE(valuation.ptr()));
    parts.session = (PyTypeObject *)kept(session);
    // its instances' fields read from their dict while no class attribute stands over them
    const bool plain_fields = !kc::type_lookup(type, n_expiries.get()) && !kc::type_lookup(type, n_notices.get());
    parts.session_version = plain_fields ? kc::valid_version(type) : 0;
    parts.expire = kept(expire);
    parts.expire_code = kept(PyFunction_GET_CODE(expire));
    parts.tell = kept(tell);
    parts.tell_code = kept(PyFunction_GET_CODE(tell));
    parts.deque = deque.release().ptr();
    parts.unfilled = kc::py_str("unfilled").release().ptr();
    const bool first = !own.loop_globals;
    release_parts();
    own = parts;
    if (first)
        release_at_exit();
}

// ---------------------------------------------------------------- steps

// Whether `session` is exactly a Session whose class is as it was handed
// over: its methods are the loop's own, and reading its plain attributes
// runs no host code.
bool own_session(PyObject *session) {
    return Py_TYPE(session) == own.session && own.session_version != 0 &&
           kc::valid_version(own.session) == own.session_version;
}

// The instance dict of an own session (see own_session) when reading it by
// str keys runs no host code (borrowed; null otherwise).
PyObject *session_dict(PyObject *session) {
    PyObject **slot = kc::instance_dict_slot(session);
    PyObject *dict = slot ? *slot : nullptr;
    return dict && PyDict_CheckExact(dict) && kc::only_str_keys(dict) ? dict : nullptr;
}

// The session's own method `name` (the class's function, running its own
// code, with no instance attribute over it), and the instance attribute
// `field` (borrowed, null when unset): what `session.<name>()` would read
// first.  False when that cannot be told without running host code.
bool own_method(PyObject *session, Name &name, PyObject *function, PyObject *code, Name &field, PyObject *&value) {
    if (!own_session(session) || !runs_own_code(function, code))
        return false;
    PyObject *dict = session_dict(session);
    if (!dict || PyDict_GetItemWithError(dict, name.get()))
        return false;
    value = PyDict_GetItemWithError(dict, field.get());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// `session.expire(t)`: not called while it is the session's own and no
// order's last bar is `t` or earlier (the heap's first entry is later).
void expire(nb::handle session, nb::handle t, long long bar) {
    PyObject *expiries;
    if (own_method(session.ptr(), n_expire, own.expire, own.expire_code, n_expiries, expiries) && expiries &&
        PyList_CheckExact(expiries)) {
        if (PyList_GET_SIZE(expiries) == 0)
            return;
        PyObject *first = PyList_GET_ITEM(expiries, 0);
        long long last;
        if (PyTuple_CheckExact(first) && PyTuple_GET_SIZE(first) > 0 && PyLong_CheckExact(PyTuple_GET_ITEM(first, 0)) &&
            kc::compact_int_value(PyTuple_GET_ITEM(first, 0), last) && last > bar)
            return;
    }
    kc::call(kc::getattr(session, n_expire), t);
}

// `session.tell()`: not called while it is the session's own and no cancel
// waits to be told.
void tell(nb::handle session) {
    PyObject *notices;
    if (own_method(session.ptr(), n_tell, own.tell, own.tell_code, n_notices, notices) && notices &&
        (PyObject *)Py_TYPE(notices) == own.deque) {
        Py_ssize_t waiting = PyObject_Length(notices);
        if (waiting < 0)
            kc::throw_current();
        if (waiting == 0)
            return;
    }
    kc::call(kc::getattr(session, n_tell));
}

// The body of the loop module's `deal_bar(t)`, the same calls in the same
// order; returns the fired stop orders' ids (its result's third item).
nb::object deal_bar_body(nb::handle t) {
    nb::object vr = kc::getattr(loop_global(g_framekit), n_vr);
    kc::setattr(vr, n_cur_bar, t);
    nb::object dealt = kc::call(kc::getattr(loop_global(g_domain), n_deal_trade));
    nb::object parts[3];
    kc::unpack(dealt, 3, parts);
    nb::object &filled = parts[0], &fired = parts[2];
    if (!kc::truthy(filled))
        return fired;
    nb::object orders = kc::getattr(vr, n_orders);
    // `{id(order) for order in orders.snap_obj("unfilled")}`: the orders are held while used
    nb::object pending = kc::steal(PySequence_List(kc::call_method(orders, n_snap_obj, own.unfilled).ptr()));
    nb::object ids = kc::steal(PySet_New(nullptr));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pending.ptr()); ++i)
        if (PySet_Add(ids.ptr(), kc::steal(PyLong_FromVoidPtr(PyList_GET_ITEM(pending.ptr(), i))).ptr()) != 0)
            kc::throw_current();
    nb::object records = kc::call_method(orders, n_obj, kc::steal(PySequence_List(filled.ptr())));
    nb::object finished = kc::new_list();
    nb::object it = kc::steal(PyObject_GetIter(records.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object order = nb::steal(raw);
        if (order.is_none())
            continue;
        int found = PySet_Contains(ids.ptr(), kc::steal(PyLong_FromVoidPtr(order.ptr())).ptr());
        if (found < 0)
            kc::throw_current();
        if (!found)
            continue;
        nb::object status = kc::getattr(order, n_status);
        int final = PySequence_Contains(loop_global(g_final).ptr(), status.ptr());
        if (final < 0)
            kc::throw_current();
        if (final)
            kc::append(finished, order);
    }
    if (PyErr_Occurred())
        kc::throw_current();
    if (PyList_GET_SIZE(finished.ptr()))
        kc::call_method(orders, n_snap_remove, own.unfilled, finished);
    return fired;
}

// `deal(t)[2]`.
nb::object deal(nb::handle wrapper, nb::handle t) {
    nb::object fired;
    if (runs_own_code(own.deal_bar, own.deal_bar_code) &&
        run_in_phase(wrapper.ptr(), own.deal_bar, [&] { fired = deal_bar_body(t); }))
        return fired;
    return kc::getitem(kc::call(wrapper, t), kc::py_int(2));
}

// A 2-d float64 array read and written in place (native order, aligned).
PyArrayObject *plain_matrix(nb::handle o) {
    if (!PyArray_Check(o.ptr()))
        return nullptr;
    PyArrayObject *a = (PyArrayObject *)o.ptr();
    if (PyArray_NDIM(a) != 2 || PyArray_TYPE(a) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(a) || !PyArray_ISALIGNED(a))
        return nullptr;
    return a;
}

// Whether the loop module values accounts with the session module's own
// `valuation`, KVBackAccount its account class.
bool own_valuation() {
    PyObject *valuation = peek_global(own.loop_globals, g_valuation);
    PyObject *account_class = peek_global(own.loop_globals, g_account);
    if (valuation != own.valuation || !runs_own_code(valuation, own.valuation_code) || !account_class ||
        account_class != (PyObject *)account_type())
        return false;
    // `type(account)` in the session module is the builtin
    if (peek_global(own.session_globals, g_type))
        return false;
    PyObject *builtins = kc::function_builtins(own.valuation);
    return builtins && peek_global(builtins, g_type) == (PyObject *)&PyType_Type;
}

// `rows[row] = valuation(account, contracts, closes_by_bar[t], KVBackAccount, terms)[0]`.
void value(nb::handle account, nb::handle contracts, nb::handle closes_by_bar, nb::handle terms, nb::handle rows,
           long long bar, nb::handle t, Py_ssize_t row, nb::object &at) {
    PyArrayObject *closes = plain_matrix(closes_by_bar), *out = plain_matrix(rows);
    if (closes && out && own_valuation() && bar < PyArray_DIM(closes, 0) && PyArray_DIM(out, 1) == 4 &&
        row < PyArray_DIM(out, 0) && PyArray_ISWRITEABLE(out)) {
        BarCloses at_bar{PyArray_BYTES(closes) + bar * PyArray_STRIDE(closes, 0), PyArray_STRIDE(closes, 1),
                         PyArray_DIM(closes, 1)};
        double values[4];
        if (value_account(account.ptr(), terms.ptr(), at_bar, values)) {
            char *place = PyArray_BYTES(out) + row * PyArray_STRIDE(out, 0);
            for (int k = 0; k < 4; ++k)
                std::memcpy(place + k * PyArray_STRIDE(out, 1), &values[k], sizeof(double));
            return;
        }
    }
    if (!at.is_valid())
        at = kc::getitem(closes_by_bar, t);
    nb::object valuation = loop_global(g_valuation);
    nb::object account_class = loop_global(g_account);
    nb::object result = kc::call(valuation, account, contracts, at, account_class, terms);
    kc::setitem(rows, kc::py_int(row), kc::getitem(result, kc::py_int(0)));
}

// Whether bar `t` begins a new day: `new_day[t]`, read in place from a
// boolean vector.
bool new_day_at(nb::handle new_day, long long bar, nb::handle t) {
    if (PyArray_CheckExact(new_day.ptr())) {
        PyArrayObject *a = (PyArrayObject *)new_day.ptr();
        if (PyArray_NDIM(a) == 1 && PyArray_TYPE(a) == NPY_BOOL && bar < PyArray_DIM(a, 0))
            return *(const npy_bool *)(PyArray_BYTES(a) + bar * PyArray_STRIDE(a, 0)) != 0;
    }
    return kc::truthy(kc::getitem(new_day, t));
}

// ---------------------------------------------------------------- crossings

// The indicators' Series class as its module handed it over, and where its
// instances keep their session and their values.
struct OwnSeries {
    PyTypeObject *type = nullptr;
    unsigned int version = 0;
    Py_ssize_t session_at = -1, values_at = -1;
};
OwnSeries own_series;

// The offset of the slot `name` of `type` (an object slot made by __slots__), or -1.
Py_ssize_t slot_offset(PyTypeObject *type, Name &name) {
    PyObject *descr = kc::type_lookup(type, name.get());
    if (!descr || Py_TYPE(descr) != &PyMemberDescr_Type)
        return -1;
    PyMemberDef *member = reinterpret_cast<PyMemberDescrObject *>(descr)->d_member;
    return member->type == T_OBJECT_EX && !(member->flags & READONLY) ? member->offset : -1;
}

void set_own_series(nb::handle series) {
    if (!PyType_Check(series.ptr()))
        kc::raise(PyExc_TypeError, "the series part is a class");
    PyTypeObject *type = (PyTypeObject *)series.ptr();
    OwnSeries part;
    part.session_at = slot_offset(type, n_series_session);
    part.values_at = slot_offset(type, n_series_values);
    part.version = part.session_at >= 0 && part.values_at >= 0 ? kc::valid_version(type) : 0;
    part.type = (PyTypeObject *)Py_NewRef(series.ptr()); // kept for the process
    Py_XDECREF((PyObject *)own_series.type);
    own_series = part;
}

// The object in slot `at` of `o` (borrowed; null when unset).
PyObject *slot_of(PyObject *o, Py_ssize_t at) {
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + at);
}

// Value `k` of a series' values, as `values.item(k)` reads it from a 1-d
// float64 array; false when they cannot be read so.
bool value_at(PyObject *values, long long k, double &out) {
    if (!values || !PyArray_Check(values))
        return false;
    PyArrayObject *a = (PyArrayObject *)values;
    if (PyArray_NDIM(a) != 1 || PyArray_TYPE(a) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(a) || !PyArray_ISALIGNED(a) ||
        k < 0 || k >= PyArray_DIM(a, 0))
        return false;
    std::memcpy(&out, PyArray_BYTES(a) + k * PyArray_STRIDE(a, 0), sizeof(double));
    return true;
}

// `crossed_above(a, b)` (`above`) or `crossed_below(a, b)` of two series of
// one session, as the indicators module's own code gives it; None when not
// told here.  No host code runs.
nb::object crossed(nb::handle a, nb::handle b, bool above) {
    const OwnSeries &own_s = own_series;
    PyTypeObject *type = own_s.type;
    if (!type || Py_TYPE(a.ptr()) != type || Py_TYPE(b.ptr()) != type || own_s.version == 0 ||
        kc::valid_version(type) != own_s.version || !own.session_globals)
        return kc::none();
    PyObject *session = slot_of(a.ptr(), own_s.session_at);
    if (!session || slot_of(b.ptr(), own_s.session_at) != session || !own_session(session))
        return kc::none();
    PyObject *dict = session_dict(session);
    PyObject *running = peek_global(own.session_globals, g_current);
    if (!dict || !running || (running != session && running != Py_None))
        return kc::none(); // another run's series: the module refuses it
    // `session.bar + 1 if session.started else 0`: the instance's own fields, no
    // class attribute standing over them
    if (kc::type_lookup(Py_TYPE(session), n_started.get()) || kc::type_lookup(Py_TYPE(session), n_bar.get()))
        return kc::none();
    PyObject *started = PyDict_GetItemWithError(dict, n_started.get());
    if (!started) {
        PyErr_Clear();
        return kc::none();
    }
    long long n = 0;
    if (started == Py_True) {
        PyObject *bar = PyDict_GetItemWithError(dict, n_bar.get());
        long long at;
        if (!bar || !PyLong_CheckExact(bar) || !kc::compact_int_value(bar, at)) {
            PyErr_Clear();
            return kc::none();
        }
        n = at + 1;
    } else if (started != Py_False) {
        return kc::none();
    }
    if (n < 2)
        return kc::py_bool(false);
    double a_before, a_now, b_before, b_now;
    if (!value_at(slot_of(a.ptr(), own_s.values_at), n - 2, a_before) ||
        !value_at(slot_of(b.ptr(), own_s.values_at), n - 2, b_before) ||
        !value_at(slot_of(a.ptr(), own_s.values_at), n - 1, a_now) ||
        !value_at(slot_of(b.ptr(), own_s.values_at), n - 1, b_now))
        return kc::none();
    return kc::py_bool(above ? (a_before <= b_before && a_now > b_now) : (a_before >= b_before && a_now < b_now));
}

// ---------------------------------------------------------------- the loop

struct Loop {
    nb::handle session, context, env, vr, info, accounts, contracts, terms, closes_by_bar, rows, trades, fills,
        fired_on, wrapper, new_day, progress;
    long long first, end;
};

void run(const Loop &a) {
    if (!own.loop_globals)
        kc::raise(PyExc_RuntimeError, "korvit.backtest.loop has not handed over its parts");
    using clock = std::chrono::steady_clock;
    auto reported_at = clock::now();
    long long reported = a.first;
    Py_ssize_t row = 0, made = 0;
    const bool plain_fills = PyList_CheckExact(a.fills.ptr()), plain_fired_on = PyDict_CheckExact(a.fired_on.ptr());
    for (long long bar = a.first; bar < a.end; ++bar) {
        if (PyErr_CheckSignals() != 0)
            kc::throw_current();
        if (!a.progress.is_none() && ((bar - a.first) & 63) == 0 && bar > reported &&
            clock::now() - reported_at >= std::chrono::milliseconds(100)) {
            kc::call(a.progress, kc::py_int(bar - reported));
            reported = bar;
            reported_at = clock::now();
        }
        nb::object t = kc::py_int(bar);
        kc::setattr(a.session, n_bar, t);
        if (!a.new_day.is_none() && new_day_at(a.new_day, bar, t)) {
            kc::setattr(a.vr, n_cur_bar, t); // the time the cancels are dated at
            nb::object clear = kc::getattr(loop_global(g_domain), n_clear_unfilled);
            kc::call(clear, kc::getattr(a.env, n_fresh_bar_time));
        }
        nb::object fired = deal(a.wrapper, t);
        if (kc::length(a.trades) != made) {
            nb::object fill = kc::tuple_of(nb::borrow(t), kc::py_int(kc::length(a.trades) - made));
            if (plain_fills)
                kc::append(a.fills, fill);
            else
                kc::call_method(a.fills, n_append, fill);
            made = kc::length(a.trades);
        }
        nb::object it = kc::steal(PyObject_GetIter(fired.ptr()));
        while (PyObject *raw = PyIter_Next(it.ptr())) {
            nb::object id = kc::to_int(nb::steal(raw));
            if (plain_fired_on) {
                if (PyDict_SetItem(a.fired_on.ptr(), id.ptr(), t.ptr()) != 0)
                    kc::throw_current();
            } else {
                kc::setitem(a.fired_on, id, t);
            }
        }
        if (PyErr_Occurred())
            kc::throw_current();
        expire(a.session, t, bar);
        tell(a.session);
        nb::object at; // closes_by_bar[t], made when a valuation needs it
        nb::object accounts = kc::steal(PyObject_GetIter(a.accounts.ptr()));
        while (PyObject *raw = PyIter_Next(accounts.ptr())) {
            nb::object account = nb::steal(raw);
            value(account, a.contracts, a.closes_by_bar, a.terms, a.rows, bar, t, row, at);
            ++row;
        }
        if (PyErr_Occurred())
            kc::throw_current();
        kc::setattr(a.session, n_seen, t);
        kc::call(kc::getattr(a.info, n_on_data_func), a.context);
        expire(a.session, t, bar);
        tell(a.session);
    }
    if (!a.progress.is_none() && a.end > reported)
        kc::call(a.progress, kc::py_int(a.end - reported));
}

// A bar number given as an int (`first`, `end`).
long long bar_number(nb::handle value, const char *what) {
    nb::object index = kc::steal(PyNumber_Index(value.ptr()));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow)
        kc::raise(PyExc_OverflowError, "%s is out of range: %R", what, value.ptr());
    if (v == -1 && PyErr_Occurred())
        kc::throw_current();
    return v;
}

} // namespace

void bind_loop(nb::module_ &m) {
    m.def(
        "_own_loop_parts",
        [](nb::handle deal_bar, nb::handle valuation, nb::handle session) {
            kc::guarded(KC_SITE("korvit.native._own_loop_parts"), [&] { set_own_parts(deal_bar, valuation, session); });
        },
        nb::arg("deal_bar").none(), nb::arg("valuation").none(), nb::arg("session").none(),
        nb::sig("def _own_loop_parts(deal_bar: typing.Callable[..., typing.Any], valuation: "
                "typing.Callable[..., typing.Any], session: type[typing.Any]) -> None"),
        "Hands over the loop module's own `deal_bar`, the session module's `valuation` and the `Session`\n"
        "class, which run_bars may run its own way while they are unchanged (the loop module calls it once).");
    m.def(
        "_own_series",
        [](nb::handle series) { kc::guarded(KC_SITE("korvit.native._own_series"), [&] { set_own_series(series); }); },
        nb::arg("series").none(), nb::sig("def _own_series(series: type[typing.Any]) -> None"),
        "Hands over the indicators' Series class, whose crossings _crossed reads its own way while the class\n"
        "is unchanged (the indicators module calls it once).");
    m.def(
        "_crossed",
        [](nb::handle a, nb::handle b, nb::handle above) {
            return kc::guarded(KC_SITE("korvit.native._crossed"), [&] {
                if (!PyBool_Check(above.ptr()))
                    kc::raise(PyExc_TypeError, "above must be True or False, got %R", above.ptr());
                return crossed(a, b, above.ptr() == Py_True);
            });
        },
        nb::arg("a").none(), nb::arg("b").none(), nb::arg("above").none(),
        nb::sig("def _crossed(a: typing.Any, b: typing.Any, above: bool) -> bool | None"),
        "Whether series `a` crossed above (`above`) or below series `b` at the current bar, as\n"
        "korvit.indicators tells it for two series of the running session; None where it is not told here.");
    m.def(
        "run_bars",
        [](nb::handle session, nb::handle context, nb::handle env, nb::handle vr, nb::handle info, nb::handle accounts,
           nb::handle contracts, nb::handle terms, nb::handle closes_by_bar, nb::handle rows, nb::handle trades,
           nb::handle fills, nb::handle fired_on, nb::handle deal, nb::handle new_day, nb::handle first, nb::handle end,
           nb::handle progress) {
            kc::guarded(KC_SITE("korvit.native.run_bars"), [&] {
                Loop loop{session,
                          context,
                          env,
                          vr,
                          info,
                          accounts,
                          contracts,
                          terms,
                          closes_by_bar,
                          rows,
                          trades,
                          fills,
                          fired_on,
                          deal,
                          new_day,
                          progress,
                          bar_number(first, "first"),
                          bar_number(end, "end")};
                run(loop);
            });
        },
        nb::arg("session").none(), nb::arg("context").none(), nb::arg("env").none(), nb::arg("vr").none(),
        nb::arg("info").none(), nb::arg("accounts").none(), nb::arg("contracts").none(), nb::arg("terms").none(),
        nb::arg("closes_by_bar").none(), nb::arg("rows").none(), nb::arg("trades").none(), nb::arg("fills").none(),
        nb::arg("fired_on").none(), nb::arg("deal").none(), nb::arg("new_day").none(), nb::arg("first").none(),
        nb::arg("end").none(), nb::arg("progress").none(),
        nb::sig("def run_bars(session: typing.Any, context: typing.Any, env: typing.Any, vr: typing.Any, info: "
                "typing.Any, accounts: collections.abc.Iterable[typing.Any], contracts: typing.Any, terms: "
                "list[tuple[bool, float]], closes_by_bar: numpy.typing.NDArray[numpy.float64], rows: "
                "numpy.typing.NDArray[numpy.float64], trades: collections.abc.Sized, fills: list[tuple[int, int]], "
                "fired_on: dict[int, int], deal: typing.Callable[[int], typing.Any], new_day: "
                "numpy.typing.NDArray[numpy.bool_] | None, first: int, end: int, progress: "
                "typing.Callable[[int], typing.Any] | None) -> None"),
        "The bars `first` to `end` (excluded) of a run, as korvit.backtest.loop._bars runs them (the\n"
        "arguments are what it binds before its loop; `rows` is the equity, a row per bar and account,\n"
        "written in place).  `progress(n)` is told of the bars done, every tenth of a second at most.");
}

} // namespace knative
