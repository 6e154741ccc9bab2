// Order, trade and stop-order records in C++: korvit.native.KVBackOrder,
// KVBackTrade and KVBackStopOrder.
//
// The Python classes PyKVBackOrder, PyKVBackTrade and PyKVBackStopOrder of
// korvit.backtest.model.orders stay the reference.  Each type is a plain
// CPython type whose fields are member descriptors over object pointers, laid
// out as `__slots__` lays them out: an attribute read costs what a slot read
// costs, the engine's descriptor fast path applies, and pickle and copy see
// the same `__slots__` and state.
//
// KVBackStopOrder's `target_order_id` and `__class__` are descriptors that
// count their writes (see stop_target_writes), so that the collections can
// keep an index of stop orders by target order without a write hook on the
// type.
//
// A record of exactly the native type whose class was not patched (same
// field descriptors, same attribute hooks, same constructor) is read and
// written slot by slot; any other record (a Python subclass, a patched class)
// goes through getattr/setattr in the order the Python code uses, so
// overridden fields, properties and `__setattr__` see what they would see.
//
// Argument binding: a call with the usual arguments (only keywords for
// `create`, positional arguments for the methods) is bound here; anything
// else is bound by a Python function of the same signature and qualified
// name, so missing, extra and positional arguments give Python's own errors.
#define KC_SOURCE "src/native/records.cpp"
#include "native/records.hpp"
#include "native/native.hpp"

#include "core/pyutil.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace knative {

namespace {

namespace nb = nanobind;
using nb::handle;
using nb::object;

// ---------------------------------------------------------------- signatures

// The signatures of the record methods, as Python functions that return their
// arguments in order (self or cls left out).  Used to bind unusual calls.
const char *SIGNATURES = R"PY(
NAN = float("nan")

class _Frozen:
    def frozen_item(self, name):
        return (name,)

    def set_frozen_item(self, name, value):
        return (name, value)

class KVBackOrder:
    def create(cls, *, handle_idx, target_idx, code, order_id, order_price, target_type,
               position_effect, order_status, created_time, volume, order_ctg, order_side,
               tag=None, filled_volume=0, stop_trigger=NAN):
        return (handle_idx, target_idx, code, order_id, order_price, target_type, position_effect,
                order_status, created_time, volume, order_ctg, order_side, tag, filled_volume, stop_trigger)

    def update_status(self, status, reason, time):
        return (status, reason, time)

class KVBackTrade:
    def create(cls, *, handle_idx, target_idx, target_type, order_id, order_price, trader_id,
               trader_volume, trade_price, filled_time, order_ctg, order_side, position_effect,
               tag, order_fee, order_margin):
        return (handle_idx, target_idx, target_type, order_id, order_price, trader_id, trader_volume,
                trade_price, filled_time, order_ctg, order_side, position_effect, tag, order_fee,
                order_margin)

class KVBackStopOrder:
    def create(cls, *, stop_order_id, target_order_id, target_idx, handle_idx, act,
               stop_order_type, stop_gap_type, stop_gap, volume, ctg,
               trailing_gap_type=NAN, trailing_gap=NAN):
        return (stop_order_id, target_order_id, target_idx, handle_idx, act, stop_order_type,
                stop_gap_type, stop_gap, volume, ctg, trailing_gap_type, trailing_gap)
)PY";

// One method's parameters (after self or cls), its binder and its defaults.
struct Signature {
    PyObject *binder = nullptr;
    std::vector<PyObject *> names;    // interned
    std::vector<PyObject *> defaults; // nullptr: required
    bool keywords_only = false;       // `create`: keyword-only parameters

    void load(handle namespace_, const char *owner, const char *method) {
        object cls = kc::getitem(namespace_, kc::py_str(owner));
        object fn = kc::steal(PyObject_GetAttrString(cls.ptr(), method));
        binder = keep(fn);
        object code = kc::steal(PyObject_GetAttrString(fn.ptr(), "__code__"));
        long positional = PyLong_AsLong(kc::steal(PyObject_GetAttrString(code.ptr(), "co_argcount")).ptr());
        long kwonly = PyLong_AsLong(kc::steal(PyObject_GetAttrString(code.ptr(), "co_kwonlyargcount")).ptr());
        object varnames = kc::steal(PyObject_GetAttrString(code.ptr(), "co_varnames"));
        object kwdefaults = kc::steal(PyObject_GetAttrString(fn.ptr(), "__kwdefaults__"));
        keywords_only = kwonly > 0;
        for (long i = 1; i < positional + kwonly; ++i) {
            PyObject *name = PyTuple_GET_ITEM(varnames.ptr(), i);
            Py_INCREF(name);
            PyUnicode_InternInPlace(&name);
            names.push_back(name);
            PyObject *dflt = kwdefaults.is_none() ? nullptr : PyDict_GetItemWithError(kwdefaults.ptr(), name);
            if (!dflt && PyErr_Occurred())
                kc::throw_current();
            Py_XINCREF(dflt);
            defaults.push_back(dflt);
        }
    }
};

// The arguments of one call, in the signature's order (borrowed from the call
// or held by the binder's result).
template <size_t N>
struct Bound {
    PyObject *v[N];
    object held;

    Bound(Signature &sig, PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
        if (!bind_fast(sig, args, nargs, kwnames))
            bind_slow(sig, self, args, nargs, kwnames);
    }
    PyObject *operator[](size_t i) const { return v[i]; }

private:
    bool bind_fast(Signature &sig, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        if (sig.keywords_only ? nargs != 0 : (nargs != (Py_ssize_t)N || nkw != 0))
            return false;
        for (size_t i = 0; i < N; ++i)
            v[i] = sig.keywords_only ? nullptr : args[i];
        size_t next = 0; // keywords usually come in the signature's order: look there first
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            size_t i = next < N && sig.names[next] == key ? next : 0;
            while (i < N && sig.names[i] != key)
                ++i;
            next = i + 1;
            if (i == N) { // not the interned name: compare the text
                for (i = 0; i < N; ++i)
                    if (PyUnicode_Check(key) && PyUnicode_Compare(sig.names[i], key) == 0)
                        break;
                if (PyErr_Occurred())
                    kc::throw_current();
            }
            if (i == N || v[i])
                return false;
            v[i] = args[k];
        }
        for (size_t i = 0; i < N; ++i)
            if (!v[i] && !(v[i] = sig.defaults[i]))
                return false;
        return true;
    }
    void bind_slow(Signature &sig, PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
        const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        std::vector<PyObject *> argv(1 + nargs + nkw);
        argv[0] = self;
        for (Py_ssize_t i = 0; i < nargs + nkw; ++i)
            argv[1 + i] = args[i];
        held = kc::steal(PyObject_Vectorcall(sig.binder, argv.data(), 1 + nargs, kwnames));
        if (!PyTuple_Check(held.ptr()) || PyTuple_GET_SIZE(held.ptr()) != (Py_ssize_t)N)
            kc::raise(PyExc_SystemError, "argument binder of a record method returned a wrong result");
        for (size_t i = 0; i < N; ++i)
            v[i] = PyTuple_GET_ITEM(held.ptr(), i);
    }
};

// ---------------------------------------------------------------- record types

// One record type: its fields (in slot order) and what its instances'
// fast path relies on.
struct RecordType {
    RecordType(const char *type_name, std::vector<const char *> slot_names)
        : name(type_name), fields(std::move(slot_names)) {}
    const char *name;
    std::vector<const char *> fields;
    PyTypeObject *type = nullptr;
    std::vector<PyObject *> names;  // interned field names
    std::vector<PyObject *> descrs; // the member descriptors, as created
    newfunc tp_new = nullptr;
    initproc tp_init = nullptr;
    unsigned int version = 0;

    // Whether `self` is exactly of this type and the type still reads and
    // writes its fields through its own member descriptors.
    bool plain(PyObject *self) { return Py_TYPE(self) == type && unpatched(); }
    // Whether the type is still as created (checked again after any change).
    bool unpatched() {
        if (version != 0 && kc::valid_version(type) == version)
            return true;
        return relearn();
    }
    bool relearn() {
        version = 0;
        if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr ||
            type->tp_new != tp_new || type->tp_init != tp_init)
            return false;
        for (size_t i = 0; i < names.size(); ++i)
            if (kc::type_lookup(type, names[i]) != descrs[i]) // gives the type a version tag
                return false;
        version = kc::valid_version(type);
        return true;
    }
};

RecordType ORDER{"KVBackOrder", {"order_id",      "handle_idx",    "target_idx",      "target_type", "code",
                                 "ctg",           "side",          "position_effect", "price",       "volume",
                                 "filled_volume", "filled_amount", "filled_average",  "status",      "rej_reason",
                                 "created_time",  "updated_time",  "updated_time_dt", "tag",         "stop_trigger",
                                 "triggered",     "_frozen"}};
RecordType TRADE{"KVBackTrade",
                 {"handle_idx", "target_idx", "target_type", "order_id", "order_price", "trader_id", "trader_volume",
                  "trade_price", "filled_time", "order_ctg", "order_side", "position_effect", "tag", "order_fee",
                  "order_margin", "_frozen"}};
RecordType STOP{"KVBackStopOrder",
                {"stop_order_id",
                 "target_order_id",
                 "target_idx",
                 "handle_idx",
                 "act",
                 "stop_order_type",
                 "stop_gap_type",
                 "stop_gap",
                 "trailing_gap_type",
                 "trailing_gap",
                 "volume",
                 "ctg",
                 "target_price",
                 "stop_price",
                 "trigger_real_price",
                 "trigger_time",
                 "trailing_price",
                 "trailing_high",
                 "trailing_low",
                 "stop_trailing_price",
                 "order_id",
                 "execute_status",
                 "is_begin_trailing",
                 "in_begin_trailing_bar",
                 "in_bar_begin"}};

// Writes of a stop order's `target_order_id` and changes of its class (which
// may change where the field is read from): the collections' index of stop
// orders by target order trusts what it read while this count stays.  The
// type keeps object's attribute hooks (a host's subclass calling
// super().__setattr__ reaches object.__setattr__, which refuses a type with
// a write hook of its own), so the writes are counted where they land: the
// field's descriptor and the class's descriptor below count each `__set__`
// and `__delete__`, whichever way they are reached (an attribute write,
// setattr, object.__setattr__, the descriptor's own `__set__`).
//
// Two writes would go around those descriptors, and both are closed:
// - the base type's `__set__` called on the field's descriptor
//   (`member_descriptor.__set__(KVBackStopOrder.target_order_id, r, v)`):
//   the descriptor is made over a read-only copy of the field's member
//   definition, so the base refuses the write ("readonly attribute"), and
//   only the counting `__set__` writes, over the writable definition;
// - object's own `__class__` descriptor (`object.__dict__["__class__"]`),
//   which no type can count: it moves an instance only between classes of
//   the same layout, and no class but a subtype adding no field has
//   KVBackStopOrder's layout.  So while the type has no subtype, no instance
//   changes class (see stop_class_fixed).
uint64_t stop_target_writes = 0;

// A member descriptor that counts its writes: a subtype of member_descriptor
// that reads as its base reads (so an isinstance check, its repr, name,
// qualified name, owner, doc and pickling are the base's) and writes, after
// counting, as its base writes a writable field.
PyTypeObject counted_member_type{};
// The field's member definition, writable (what the counting `__set__`
// writes through) and read-only (what the descriptor holds).
PyMemberDef target_member{}, target_member_readonly{};
// The same for the class of an object: object's own `__class__` descriptor
// (read and written as object's) under a subtype of getset_descriptor that
// counts its writes.
PyTypeObject counted_class_type{};
PyObject *counted_target = nullptr, *counted_class = nullptr; // the two descriptors, in KVBackStopOrder's dict

int counted_member_set(PyObject *descr, PyObject *obj, PyObject *value) {
    PyDescrObject *d = reinterpret_cast<PyDescrObject *>(descr);
    if (!PyObject_TypeCheck(obj, d->d_type)) { // the base's check and message
        PyErr_Format(PyExc_TypeError, "descriptor '%V' for '%.100s' objects doesn't apply to a '%.100s' object",
                     d->d_name, "?", d->d_type->tp_name, Py_TYPE(obj)->tp_name);
        return -1;
    }
    ++stop_target_writes;
    return PyMember_SetOne(reinterpret_cast<char *>(obj), &target_member, value);
}

int counted_class_set(PyObject *descr, PyObject *obj, PyObject *value) {
    ++stop_target_writes;
    return PyGetSetDescr_Type.tp_descr_set(descr, obj, value);
}

// A descriptor's `__doc__`, as its base type gives it (a static type would
// otherwise show a `__doc__` of None of its own).
PyObject *base_doc(PyObject *self, void *base) {
    static PyObject *doc = PyUnicode_InternFromString("__doc__");
    if (!doc)
        return nullptr;
    PyObject *found = kc::type_lookup(static_cast<PyTypeObject *>(base), doc); // borrowed
    if (!found || !Py_TYPE(found)->tp_descr_get)
        return Py_NewRef(found ? found : Py_None);
    return Py_TYPE(found)->tp_descr_get(found, self, (PyObject *)Py_TYPE(self));
}

PyGetSetDef counted_member_getset[] = {{"__doc__", base_doc, nullptr, nullptr, &PyMemberDescr_Type},
                                       {nullptr, nullptr, nullptr, nullptr, nullptr}};
PyGetSetDef counted_class_getset[] = {{"__doc__", base_doc, nullptr, nullptr, &PyGetSetDescr_Type},
                                      {nullptr, nullptr, nullptr, nullptr, nullptr}};

void ready_counting_type(PyTypeObject &t, const char *name, PyTypeObject *base, Py_ssize_t size, descrsetfunc set,
                         PyGetSetDef *getset) {
    Py_SET_REFCNT(reinterpret_cast<PyObject *>(&t), 1); // kept for the process
    t.tp_name = name;
    t.tp_basicsize = size;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_traverse = base->tp_traverse;
    t.tp_base = base;
    t.tp_descr_set = set;
    t.tp_getset = getset;
    if (PyType_Ready(&t) < 0)
        kc::throw_current();
}

// `descr` (just made, of the base type) turned into its counting subtype:
// the same layout, so only the type changes.
PyObject *counting(PyObject *descr, PyTypeObject &type) {
    if (!descr)
        kc::throw_current();
    Py_SET_TYPE(descr, &type);
    return descr;
}

// Puts the counting descriptors into KVBackStopOrder's dict: `target_order_id`
// over the same slot, and `__class__` as object's.
void count_stop_target_writes(PyTypeObject *stop, PyObject *target_name) {
    ready_counting_type(counted_member_type, "korvit.native.member_descriptor", &PyMemberDescr_Type,
                        sizeof(PyMemberDescrObject), counted_member_set, counted_member_getset);
    ready_counting_type(counted_class_type, "korvit.native.getset_descriptor", &PyGetSetDescr_Type,
                        sizeof(PyGetSetDescrObject), counted_class_set, counted_class_getset);
    PyObject *member = kc::type_lookup(stop, target_name);
    static PyObject *class_name = interned("__class__");
    PyObject *object_class = kc::type_lookup(&PyBaseObject_Type, class_name);
    if (!member || Py_TYPE(member) != &PyMemberDescr_Type || !object_class ||
        Py_TYPE(object_class) != &PyGetSetDescr_Type)
        kc::raise(PyExc_SystemError, "KVBackStopOrder's target_order_id or object's __class__ is no plain descriptor");
    target_member = *reinterpret_cast<PyMemberDescrObject *>(member)->d_member;
    target_member_readonly = target_member;
    target_member_readonly.flags |= KC_READONLY;
    counted_target = counting(PyDescr_NewMember(stop, &target_member_readonly), counted_member_type);
    counted_class =
        counting(PyDescr_NewGetSet(&PyBaseObject_Type, reinterpret_cast<PyGetSetDescrObject *>(object_class)->d_getset),
                 counted_class_type);
    // Into the dict itself: setting `__class__` on the class would set the class's own class.
    if (PyDict_SetItem(stop->tp_dict, target_name, counted_target) < 0 ||
        PyDict_SetItem(stop->tp_dict, class_name, counted_class) < 0)
        kc::throw_current();
    PyType_Modified(stop);
}

// KVBackStopOrder's tp_clear: the garbage collector empties the slots of
// records it frees, the field among them.
int stop_clear(PyObject *self);

// Field indices (slot order).
enum OrderField {
    O_ORDER_ID,
    O_HANDLE_IDX,
    O_TARGET_IDX,
    O_TARGET_TYPE,
    O_CODE,
    O_CTG,
    O_SIDE,
    O_POSITION_EFFECT,
    O_PRICE,
    O_VOLUME,
    O_FILLED_VOLUME,
    O_FILLED_AMOUNT,
    O_FILLED_AVERAGE,
    O_STATUS,
    O_REJ_REASON,
    O_CREATED_TIME,
    O_UPDATED_TIME,
    O_UPDATED_TIME_DT,
    O_TAG,
    O_STOP_TRIGGER,
    O_TRIGGERED,
    O_FROZEN,
    O_COUNT
};
enum TradeField { T_ORDER_CTG = 9, T_ORDER_SIDE = 10, T_TRADE_PRICE = 7, T_TRADER_VOLUME = 6, T_FROZEN = 15, T_COUNT };
enum StopField {
    S_UNSET = 12,
    S_ORDER_ID = 20,
    S_EXECUTE_STATUS,
    S_IS_BEGIN_TRAILING,
    S_IN_BEGIN_TRAILING_BAR,
    S_IN_BAR_BEGIN,
    S_COUNT
};

PyObject **slots(PyObject *self) { return (PyObject **)((char *)self + sizeof(PyObject)); }

// Field `i` of a record: straight from the slot on the plain path, else getattr.
object read(RecordType &rt, PyObject *self, bool plain, size_t i) {
    if (plain) {
        if (PyObject *v = slots(self)[i])
            return nb::borrow(v);
    }
    return kc::steal(PyObject_GetAttr(self, rt.names[i]));
}

// Sets field `i` of a record: into the slot on the plain path, else setattr.
void write(RecordType &rt, PyObject *self, bool plain, size_t i, PyObject *value) {
    if (plain) {
        Py_INCREF(value);
        Py_XSETREF(slots(self)[i], value);
    } else if (PyObject_SetAttr(self, rt.names[i], value) != 0) {
        kc::throw_current();
    }
}

// `cls()`, allocated directly for the plain type.
object instantiate(RecordType &rt, PyObject *cls) {
    if (cls == (PyObject *)rt.type && rt.unpatched())
        return kc::steal(rt.type->tp_alloc(rt.type, 0));
    return kc::steal(PyObject_CallNoArgs(cls));
}

// ---------------------------------------------------------------- shared values

Signature ORDER_CREATE, TRADE_CREATE, STOP_CREATE, UPDATE_STATUS, FROZEN_ITEM, SET_FROZEN_ITEM;

struct Values {
    PyObject *real;                // numbers.Real
    PyObject *sysdefine = nullptr; // korvit.tframe.sysdefine, imported on first use (it imports this module)
    PyObject *zero, *zero_float, *nan;
    PyObject *global_define, *trailing, *holding, *frozen_names;
    PyObject *value, *fee, *trader_value, *trader_fee;
    PyObject *order_frozen, *trade_frozen; // {"value": 0.0, "fee": 0.0}, {"trader_value": 0.0, ...}
};
Values V;

// Calls `body` (returning an object) as a C entry point: a failure is the
// Python error set, with a traceback entry for `qualname`, and NULL returned.
template <class F>
PyObject *entry(const char *qualname, const char *source, int line, F &&body) {
    try {
        return kc::guarded(qualname, source, line, body).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}
#define KN_ENTRY(qualname, ...) entry(KC_SITE(qualname), [&]()->object __VA_ARGS__)

// `GlobalDefine.<name>` of korvit.tframe.sysdefine, read now.
object global_define(PyObject *name) {
    if (!V.sysdefine)
        V.sysdefine = keep(kc::import("korvit.tframe.sysdefine"));
    object gv = kc::steal(PyObject_GetAttr(V.sysdefine, V.global_define));
    return kc::steal(PyObject_GetAttr(gv.ptr(), name));
}

bool truth_of(PyObject *result) {
    object r = kc::steal(result);
    return kc::truthy(r);
}

// `type(v) is float or type(v) is int or (not isinstance(v, bool) and isinstance(v, numbers.Real))`.
bool is_number(PyObject *v) {
    if (PyFloat_CheckExact(v) || PyLong_CheckExact(v))
        return true;
    if (PyBool_Check(v))
        return false;
    int r = PyObject_IsInstance(v, V.real);
    if (r < 0)
        kc::throw_current();
    return r != 0;
}

// `math.isfinite(v)`.
bool is_finite(PyObject *v) {
    double d = PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v) : PyFloat_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred())
        kc::throw_current();
    return std::isfinite(d);
}

// `value` checked as a finite, non-negative (or positive) number.
void check_volume(const char *name, PyObject *value, bool allow_zero) {
    if (PyFloat_CheckExact(value) || PyLong_CheckExact(value)) {
        // the same tests on the value as a double: a Python int keeps its sign and zero in the conversion
        const double d = PyFloat_CheckExact(value) ? PyFloat_AS_DOUBLE(value) : PyLong_AsDouble(value);
        if (d == -1.0 && PyErr_Occurred())
            kc::throw_current();
        if (std::isfinite(d) && d >= 0 && (d != 0 || allow_zero))
            return;
    }
    if (!is_number(value))
        kc::raise(PyExc_TypeError, "%s must be a number, got %R", name, value);
    if (!is_finite(value) || truth_of(PyObject_RichCompare(value, V.zero, Py_LT)) ||
        (truth_of(PyObject_RichCompare(value, V.zero, Py_EQ)) && !allow_zero))
        kc::raise(PyExc_ValueError, "%s must be a finite %s number, got %R", name,
                  allow_zero ? "non-negative" : "positive", value);
}

// `{first: 0.0, second: 0.0}`, a record's frozen funds.
object frozen_dict(PyObject *first, PyObject *second) {
    object d = kc::steal(PyDict_New());
    if (PyDict_SetItem(d.ptr(), first, V.zero_float) != 0 || PyDict_SetItem(d.ptr(), second, V.zero_float) != 0)
        kc::throw_current();
    return d;
}

// A new copy of `frozen` (one of the dicts above; copying one is cheaper than building it).
object new_frozen(PyObject *frozen) { return kc::steal(PyDict_Copy(frozen)); }

// ---------------------------------------------------------------- create

object order_create(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    enum {
        HANDLE_IDX,
        TARGET_IDX,
        CODE,
        ORDER_ID,
        ORDER_PRICE,
        TARGET_TYPE,
        POSITION_EFFECT,
        ORDER_STATUS,
        CREATED_TIME,
        VOLUME,
        ORDER_CTG,
        ORDER_SIDE,
        TAG,
        FILLED_VOLUME,
        STOP_TRIGGER,
        N
    };
    Bound<N> a(ORDER_CREATE, cls, args, nargs, kwnames);
    check_volume("volume", a[VOLUME], false);
    check_volume("filled_volume", a[FILLED_VOLUME], true);
    if (truth_of(PyObject_RichCompare(a[FILLED_VOLUME], a[VOLUME], Py_GT)))
        kc::raise(PyExc_ValueError, "filled_volume %R exceeds volume %R", a[FILLED_VOLUME], a[VOLUME]);
    object order = instantiate(ORDER, cls);
    PyObject *o = order.ptr();
    const bool plain = ORDER.plain(o);
    PyObject *values[O_COUNT] = {
        a[ORDER_ID],   a[HANDLE_IDX],      a[TARGET_IDX],  a[TARGET_TYPE],  a[CODE],          a[ORDER_CTG],
        a[ORDER_SIDE], a[POSITION_EFFECT], a[ORDER_PRICE], a[VOLUME],       a[FILLED_VOLUME], V.zero_float,
        V.zero_float,  a[ORDER_STATUS],    V.nan,          a[CREATED_TIME], a[CREATED_TIME],  Py_None,
        a[TAG],        a[STOP_TRIGGER],    Py_False,       nullptr};
    for (size_t i = 0; i < O_FROZEN; ++i)
        write(ORDER, o, plain, i, values[i]);
    write(ORDER, o, plain, O_FROZEN, new_frozen(V.order_frozen).ptr());
    return order;
}

object trade_create(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    enum { TRADER_VOLUME = 6, N = 15 }; // the parameters are the fields, in slot order
    Bound<N> a(TRADE_CREATE, cls, args, nargs, kwnames);
    check_volume("trader_volume", a[TRADER_VOLUME], false);
    object trade = instantiate(TRADE, cls);
    PyObject *t = trade.ptr();
    const bool plain = TRADE.plain(t);
    for (size_t i = 0; i < N; ++i)
        write(TRADE, t, plain, i, a[i]);
    write(TRADE, t, plain, T_FROZEN, new_frozen(V.trade_frozen).ptr());
    return trade;
}

object stop_create(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    enum {
        STOP_ORDER_ID,
        TARGET_ORDER_ID,
        TARGET_IDX,
        HANDLE_IDX,
        ACT,
        STOP_ORDER_TYPE,
        STOP_GAP_TYPE,
        STOP_GAP,
        VOLUME,
        CTG,
        TRAILING_GAP_TYPE,
        TRAILING_GAP,
        N
    };
    Bound<N> a(STOP_CREATE, cls, args, nargs, kwnames);
    check_volume("volume", a[VOLUME], false);
    if (truth_of(PyObject_RichCompare(a[STOP_ORDER_TYPE], global_define(V.trailing).ptr(), Py_EQ)) &&
        (!is_number(a[TRAILING_GAP]) || !is_finite(a[TRAILING_GAP])))
        kc::raise(PyExc_ValueError, "a trailing stop needs a finite trailing_gap, got %R", a[TRAILING_GAP]);
    object stop = instantiate(STOP, cls);
    PyObject *s = stop.ptr();
    const bool plain = STOP.plain(s);
    PyObject *given[S_UNSET] = {
        a[STOP_ORDER_ID], a[TARGET_ORDER_ID], a[TARGET_IDX],        a[HANDLE_IDX],   a[ACT],    a[STOP_ORDER_TYPE],
        a[STOP_GAP_TYPE], a[STOP_GAP],        a[TRAILING_GAP_TYPE], a[TRAILING_GAP], a[VOLUME], a[CTG]};
    for (size_t i = 0; i < S_UNSET; ++i)
        write(STOP, s, plain, i, given[i]);
    for (size_t i = S_UNSET; i <= S_ORDER_ID; ++i)
        write(STOP, s, plain, i, V.nan);
    write(STOP, s, plain, S_EXECUTE_STATUS, global_define(V.holding).ptr());
    for (size_t i = S_IS_BEGIN_TRAILING; i < S_COUNT; ++i)
        write(STOP, s, plain, i, Py_False);
    return stop;
}

// ---------------------------------------------------------------- methods

// Raises KeyError "no frozen item ..." of `self`, chained to `context` (the
// lookup's KeyError) with the context suppressed, as `raise ... from None`.
[[noreturn]] void no_frozen_item(PyObject *self, PyObject *name, object context) {
    object items = kc::steal(PySequence_List(kc::steal(PyObject_GetAttr(self, V.frozen_names)).ptr()));
    object message = kc::steal(PyUnicode_FromFormat("no frozen item %R; items: %R", name, items.ptr()));
    object error = kc::steal(PyObject_CallOneArg(PyExc_KeyError, message.ptr()));
    if (context.is_valid()) {
        PyException_SetContext(error.ptr(), context.release().ptr());
        PyException_SetCause(error.ptr(), nullptr); // from None
        kc::set_raised(error.release().ptr());
    } else {
        PyErr_SetObject(PyExc_KeyError, error.ptr());
    }
    kc::throw_current();
}

// The pending error, taken (normalised).
object take_error() { return nb::steal(kc::TakenError().release_exception()); }

object frozen_item(RecordType &rt, size_t frozen, PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames) {
    Bound<1> a(FROZEN_ITEM, self, args, nargs, kwnames);
    object items = read(rt, self, rt.plain(self), frozen);
    if (PyDict_CheckExact(items.ptr())) {
        if (PyObject *v = PyDict_GetItemWithError(items.ptr(), a[0]))
            return nb::borrow(v);
        if (PyErr_Occurred())
            kc::throw_current();
        no_frozen_item(self, a[0], kc::steal(PyObject_CallOneArg(PyExc_KeyError, a[0])));
    }
    if (PyObject *v = PyObject_GetItem(items.ptr(), a[0]))
        return nb::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_KeyError))
        kc::throw_current();
    no_frozen_item(self, a[0], take_error());
}

object set_frozen_item(RecordType &rt, size_t frozen, PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) {
    Bound<2> a(SET_FROZEN_ITEM, self, args, nargs, kwnames);
    const bool plain = rt.plain(self);
    int found = PySequence_Contains(read(rt, self, plain, frozen).ptr(), a[0]);
    if (found < 0)
        kc::throw_current();
    if (!found)
        no_frozen_item(self, a[0], object());
    object value = kc::steal(PyUnicode_CheckExact(a[1]) ? PyFloat_FromString(a[1]) : PyNumber_Float(a[1]));
    object items = read(rt, self, plain, frozen);
    if (PyDict_CheckExact(items.ptr()) ? PyDict_SetItem(items.ptr(), a[0], value.ptr())
                                       : PyObject_SetItem(items.ptr(), a[0], value.ptr()))
        kc::throw_current();
    return kc::none();
}

object update_status(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Bound<3> a(UPDATE_STATUS, self, args, nargs, kwnames);
    const bool plain = ORDER.plain(self);
    write(ORDER, self, plain, O_STATUS, a[0]);
    write(ORDER, self, plain, O_REJ_REASON, a[1]);
    write(ORDER, self, plain, O_UPDATED_TIME, a[2]);
    return kc::none();
}

// `Label(a=<repr of field>, b=...)`, the fields read by getattr one at a time.
struct Shown {
    const char *label;
    size_t field;
};
object repr_of(RecordType &rt, PyObject *self, std::initializer_list<Shown> shown) {
    object parts = kc::new_list();
    for (const Shown &s : shown) {
        kc::append(parts, kc::py_str(s.label));
        object value = kc::steal(PyObject_GetAttr(self, rt.names[s.field]));
        kc::append(parts, kc::steal(PyObject_Repr(value.ptr())));
    }
    kc::append(parts, kc::py_str(")"));
    return kc::steal(PyUnicode_Join(kc::py_str("").ptr(), parts.ptr()));
}

// ---------------------------------------------------------------- properties

// A read-only property that reads one field (the trade's aliases).
struct Alias {
    const char *name;
    size_t field;
};
Alias trade_aliases[] = {
    {"side", T_ORDER_SIDE}, {"price", T_TRADE_PRICE}, {"volume", T_TRADER_VOLUME}, {"ctg", T_ORDER_CTG}};

// Setting or deleting a read-only property: the error a Python property gives.
int no_setter(PyObject *self, PyObject *value, void *closure) {
    const char *name = static_cast<Alias *>(closure)->name;
#if PY_VERSION_HEX >= 0x030B0000
    PyObject *qualname = PyType_GetQualName(Py_TYPE(self));
    if (!qualname)
        return -1;
    PyErr_Format(PyExc_AttributeError,
                 value ? "property '%s' of %R object has no setter" : "property '%s' of %R object has no deleter", name,
                 qualname);
    Py_DECREF(qualname);
#else
    PyErr_Format(PyExc_AttributeError, value ? "can't set attribute '%s'" : "can't delete attribute '%s'", name);
#endif
    return -1;
}

PyObject *trade_alias(PyObject *self, void *closure) {
    return KN_ENTRY("korvit.native.KVBackTrade.<property>",
                    { return read(TRADE, self, TRADE.plain(self), static_cast<Alias *>(closure)->field); });
}

Alias unfilled_volume_alias{"unfilled_volume", 0};

PyObject *get_unfilled_volume(PyObject *self, void *) {
    return KN_ENTRY("korvit.native.KVBackOrder.unfilled_volume", {
        const bool plain = ORDER.plain(self);
        object volume = read(ORDER, self, plain, O_VOLUME);
        object filled = read(ORDER, self, plain, O_FILLED_VOLUME);
        return kc::steal(PyNumber_Subtract(volume.ptr(), filled.ptr()));
    });
}

// ---------------------------------------------------------------- C entry points

#define KN_METHOD(fn, qualname, call)                                                                                  \
    PyObject *fn(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {                         \
        return KN_ENTRY(qualname, { return call; });                                                                   \
    }

KN_METHOD(c_order_create, "korvit.native.KVBackOrder.create", order_create(self, args, nargs, kwnames))
KN_METHOD(c_trade_create, "korvit.native.KVBackTrade.create", trade_create(self, args, nargs, kwnames))
KN_METHOD(c_stop_create, "korvit.native.KVBackStopOrder.create", stop_create(self, args, nargs, kwnames))
KN_METHOD(c_update_status, "korvit.native.KVBackOrder.update_status", update_status(self, args, nargs, kwnames))
KN_METHOD(c_order_frozen_item, "korvit.native.KVBackOrder.frozen_item",
          frozen_item(ORDER, O_FROZEN, self, args, nargs, kwnames))
KN_METHOD(c_order_set_frozen_item, "korvit.native.KVBackOrder.set_frozen_item",
          set_frozen_item(ORDER, O_FROZEN, self, args, nargs, kwnames))
KN_METHOD(c_trade_frozen_item, "korvit.native.KVBackTrade.frozen_item",
          frozen_item(TRADE, T_FROZEN, self, args, nargs, kwnames))
KN_METHOD(c_trade_set_frozen_item, "korvit.native.KVBackTrade.set_frozen_item",
          set_frozen_item(TRADE, T_FROZEN, self, args, nargs, kwnames))

PyObject *c_order_repr(PyObject *self) {
    return KN_ENTRY("korvit.native.KVBackOrder.__repr__", {
        return repr_of(ORDER, self,
                       {{"KVBackOrder(order_id=", O_ORDER_ID},
                        {", account=", O_HANDLE_IDX},
                        {", target=", O_TARGET_IDX},
                        {", side=", O_SIDE},
                        {", effect=", O_POSITION_EFFECT},
                        {", ctg=", O_CTG},
                        {", price=", O_PRICE},
                        {", volume=", O_VOLUME},
                        {", filled=", O_FILLED_VOLUME},
                        {", status=", O_STATUS}});
    });
}
PyObject *c_trade_repr(PyObject *self) {
    return KN_ENTRY("korvit.native.KVBackTrade.__repr__", {
        return repr_of(TRADE, self,
                       {{"KVBackTrade(trader_id=", 5},
                        {", order_id=", 3},
                        {", target=", 1},
                        {", side=", T_ORDER_SIDE},
                        {", effect=", 11},
                        {", price=", T_TRADE_PRICE},
                        {", volume=", T_TRADER_VOLUME},
                        {", time=", 8}});
    });
}
PyObject *c_stop_repr(PyObject *self) {
    return KN_ENTRY("korvit.native.KVBackStopOrder.__repr__", {
        return repr_of(STOP, self,
                       {{"KVBackStopOrder(stop_order_id=", 0},
                        {", target_order_id=", 1},
                        {", type=", 5},
                        {", act=", 4},
                        {", status=", S_EXECUTE_STATUS},
                        {", stop_price=", 13},
                        {", volume=", 10}});
    });
}

// ---------------------------------------------------------------- GC

template <size_t N>
int rec_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    for (size_t i = 0; i < N; ++i)
        Py_VISIT(slots(self)[i]);
    return 0;
}
template <size_t N>
int rec_clear(PyObject *self) {
    for (size_t i = 0; i < N; ++i)
        Py_CLEAR(slots(self)[i]);
    return 0;
}
int stop_clear(PyObject *self) {
    ++stop_target_writes;
    return rec_clear<S_COUNT>(self);
}

template <size_t N>
void rec_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    KC_DEALLOC_CHAIN_BEGIN(self,
                           rec_dealloc<N>) // long chains of records (tag -> record -> ...) unwind without recursion
    rec_clear<N>(self);
    tp->tp_free(self);
    Py_DECREF(tp);
    KC_DEALLOC_CHAIN_END
}

// ---------------------------------------------------------------- types

constexpr int METHOD = METH_FASTCALL | METH_KEYWORDS;
#define KN_FN(f) (PyCFunction)(void (*)(void))(f)

PyMethodDef order_methods[] = {
    {"create", KN_FN(c_order_create), METHOD | METH_CLASS,
     "create($type, /, *, handle_idx, target_idx, code, order_id, order_price, target_type, position_effect, "
     "order_status, "
     "created_time, volume, order_ctg, order_side, tag=None, filled_volume=0, stop_trigger=math.nan)\n--\n\n"
     "A new order of this class."},
    {"frozen_item", KN_FN(c_order_frozen_item), METHOD,
     "frozen_item($self, /, name)\n--\n\nFunds frozen under `name`."},
    {"set_frozen_item", KN_FN(c_order_set_frozen_item), METHOD,
     "set_frozen_item($self, /, name, value)\n--\n\nSet the funds frozen under `name` to float(value)."},
    {"update_status", KN_FN(c_update_status), METHOD,
     "update_status($self, /, status, reason, time)\n--\n\nSet status, reject reason and update time."},
    {nullptr, nullptr, 0, nullptr}};
PyMethodDef trade_methods[] = {
    {"create", KN_FN(c_trade_create), METHOD | METH_CLASS,
     "create($type, /, *, handle_idx, target_idx, target_type, order_id, order_price, trader_id, trader_volume, "
     "trade_price, filled_time, order_ctg, order_side, position_effect, tag, order_fee, order_margin)\n--\n\n"
     "A new trade of this class."},
    {"frozen_item", KN_FN(c_trade_frozen_item), METHOD,
     "frozen_item($self, /, name)\n--\n\nFunds frozen under `name`."},
    {"set_frozen_item", KN_FN(c_trade_set_frozen_item), METHOD,
     "set_frozen_item($self, /, name, value)\n--\n\nSet the funds frozen under `name` to float(value)."},
    {nullptr, nullptr, 0, nullptr}};
PyMethodDef stop_methods[] = {
    {"create", KN_FN(c_stop_create), METHOD | METH_CLASS,
     "create($type, /, *, stop_order_id, target_order_id, target_idx, handle_idx, act, stop_order_type, stop_gap_type, "
     "stop_gap, volume, ctg, trailing_gap_type=math.nan, trailing_gap=math.nan)\n--\n\nA new stop order of this "
     "class."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef order_getset[] = {
    {"unfilled_volume", get_unfilled_volume, no_setter, "volume - filled_volume", &unfilled_volume_alias},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};
PyGetSetDef trade_getset[] = {{"side", trade_alias, no_setter, "order_side", &trade_aliases[0]},
                              {"price", trade_alias, no_setter, "trade_price", &trade_aliases[1]},
                              {"volume", trade_alias, no_setter, "trader_volume", &trade_aliases[2]},
                              {"ctg", trade_alias, no_setter, "order_ctg", &trade_aliases[3]},
                              {nullptr, nullptr, nullptr, nullptr, nullptr}};

object tuple_of(const std::vector<const char *> &names, size_t from, size_t to) {
    object t = kc::steal(PyTuple_New((Py_ssize_t)(to - from)));
    for (size_t i = from; i < to; ++i)
        PyTuple_SET_ITEM(t.ptr(), (Py_ssize_t)(i - from), interned(names[i]));
    return t;
}

// Makes the type of `rt`: fields as member descriptors in slot order.
template <size_t N>
object make_type(nb::module_ &m, RecordType &rt, const char *doc, reprfunc repr, PyMethodDef *methods,
                 PyGetSetDef *getset, inquiry clear = rec_clear<N>) {
    auto *members = new PyMemberDef[N + 1](); // kept for the process: the descriptors point into it
    for (size_t i = 0; i < N; ++i)
        members[i] = {rt.fields[i], KC_T_OBJECT_EX, (Py_ssize_t)(sizeof(PyObject) + i * sizeof(PyObject *)), 0,
                      nullptr};
    std::vector<PyType_Slot> type_slots = {{Py_tp_doc, (void *)doc},     {Py_tp_traverse, (void *)rec_traverse<N>},
                                           {Py_tp_clear, (void *)clear}, {Py_tp_dealloc, (void *)rec_dealloc<N>},
                                           {Py_tp_members, members},     {Py_tp_repr, (void *)repr},
                                           {Py_tp_methods, methods}};
    if (getset)
        type_slots.push_back({Py_tp_getset, getset});
    type_slots.push_back({0, nullptr});
    const std::string qualified = std::string("korvit.native.") + rt.name;
    PyType_Spec spec{qualified.c_str(), (int)(sizeof(PyObject) + N * sizeof(PyObject *)), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, type_slots.data()};
    object type = kc::steal(PyType_FromSpec(&spec));
    // Setting __name__ also makes it the C name, so messages name the class as
    // the Python class's do ("'KVBackOrder' object has no attribute ...").
    type.attr("__name__") = rt.name;
    type.attr("__slots__") = tuple_of(rt.fields, 0, N);
    rt.type = (PyTypeObject *)type.ptr();
    if (&rt == &STOP)
        count_stop_target_writes(rt.type, interned("target_order_id"));
    rt.tp_new = rt.type->tp_new;
    rt.tp_init = rt.type->tp_init;
    for (size_t i = 0; i < N; ++i) {
        rt.names.push_back(interned(rt.fields[i]));
        PyObject *descr = kc::type_lookup(rt.type, rt.names.back());
        if (!descr)
            kc::raise(PyExc_SystemError, "field %s of %s has no descriptor", rt.fields[i], rt.name);
        rt.descrs.push_back(keep(nb::borrow(descr)));
    }
    m.attr(rt.name) = type;
    return type;
}

} // namespace

bool plain_record(PyObject *o) {
    for (RecordType *rt : {&ORDER, &TRADE, &STOP})
        if (Py_TYPE(o) == rt->type)
            return rt->unpatched();
    return false;
}

const uint64_t *stop_target_write_count() { return &stop_target_writes; }

bool stop_class_fixed() {
    // A heap type's subtypes are the values of its `tp_subclasses` dict, each
    // listed until it is freed (an instance holds its class).
    PyObject *subtypes = STOP.type ? static_cast<PyObject *>(STOP.type->tp_subclasses) : nullptr;
    return STOP.type && (!subtypes || (PyDict_Check(subtypes) && PyDict_GET_SIZE(subtypes) == 0));
}

bool stop_target_field(StopTargetField &out) {
    PyTypeObject *tp = STOP.type;
    static PyObject *class_name = interned("__class__");
    if (!tp || tp->tp_getattro != PyObject_GenericGetAttr || kc::type_lookup(tp, STOP.names[1]) != counted_target ||
        kc::type_lookup(tp, class_name) != counted_class)
        return false;
    const unsigned int version = kc::valid_version(tp);
    if (version == 0)
        return false;
    out = {tp, version, reinterpret_cast<PyMemberDescrObject *>(counted_target)->d_member->offset};
    return true;
}

void bind_records(nb::module_ &m) {
    V.real = keep(kc::import_from("numbers", "Real"));
    V.zero = keep(kc::py_int(0));
    V.zero_float = keep(kc::py_float(0.0));
    V.global_define = interned("GlobalDefine");
    V.trailing = interned("StopOrderType_Trailing");
    V.holding = interned("StopOrderStatus_Holding");
    V.frozen_names = interned("_FROZEN");
    V.value = interned("value");
    V.fee = interned("fee");
    V.trader_value = interned("trader_value");
    V.trader_fee = interned("trader_fee");
    V.order_frozen = keep(frozen_dict(V.value, V.fee));
    V.trade_frozen = keep(frozen_dict(V.trader_value, V.trader_fee));

    object globals = kc::steal(PyDict_New());
    kc::setitem(globals, kc::py_str("__name__"), kc::py_str("korvit.native"));
    kc::setitem(globals, kc::py_str("__builtins__"), kc::import("builtins"));
    object code = kc::steal(Py_CompileString(SIGNATURES, "<korvit.native record signatures>", Py_file_input));
    kc::steal(PyEval_EvalCode(code.ptr(), globals.ptr(), globals.ptr()));
    V.nan = keep(kc::getitem(globals, kc::py_str("NAN")));
    ORDER_CREATE.load(globals, "KVBackOrder", "create");
    UPDATE_STATUS.load(globals, "KVBackOrder", "update_status");
    TRADE_CREATE.load(globals, "KVBackTrade", "create");
    STOP_CREATE.load(globals, "KVBackStopOrder", "create");
    FROZEN_ITEM.load(globals, "_Frozen", "frozen_item");
    SET_FROZEN_ITEM.load(globals, "_Frozen", "set_frozen_item");

    object order = make_type<O_COUNT>(m, ORDER,
                                      "A normal order.  ``unfilled_volume`` is always "
                                      "``volume - filled_volume``.\n\n``stop_trigger`` makes it a stop entry "
                                      "(NaN: an ordinary order): it waits\nuntil a bar reaches that price, then "
                                      "fills as a market order (category\nmarket) or becomes a limit order at "
                                      "``price`` (category limit);\n``triggered`` tells that the trigger was "
                                      "reached.",
                                      c_order_repr, order_methods, order_getset);
    order.attr("_FROZEN") = nb::make_tuple("value", "fee");
    object trade = make_type<T_COUNT>(m, TRADE,
                                      "One fill of an order; ``side``, ``price``, ``volume`` and ``ctg`` "
                                      "read ``order_side``, ``trade_price``, ``trader_volume`` and ``order_ctg``.",
                                      c_trade_repr, trade_methods, trade_getset);
    trade.attr("_FIELDS") = tuple_of(TRADE.fields, 0, T_FROZEN);
    trade.attr("_FROZEN") = nb::make_tuple("trader_value", "trader_fee");
    object stop = make_type<S_COUNT>(m, STOP,
                                     "A loss, profit or trailing stop that protects the fill of a target "
                                     "order.\n\nThe prices and trigger fields stay NaN until the target order fills.",
                                     c_stop_repr, stop_methods, nullptr, stop_clear);
    stop.attr("_GIVEN") = tuple_of(STOP.fields, 0, S_UNSET);
    stop.attr("_UNSET") = tuple_of(STOP.fields, S_UNSET, S_EXECUTE_STATUS);
    for (RecordType *rt : {&ORDER, &TRADE, &STOP})
        rt->relearn();
}

} // namespace knative
