// korvit.native.snap_order and snap_execution: the snapshots of order and
// trade records that the engine hands to the user's callbacks, built as
// `backtest.convertor` builds them.  The convertor installs them under its
// public names and keeps its Python functions as the reference.
//
// Records are read attribute by attribute in the reference's order.  Plain
// values (exact int, float, str, bool, None) and numpy's own scalar types are
// handled here; any other value goes to the convertor's own helper (`_plain`,
// `_pick`, `_copy`), looked up in its namespace at the call, so an unusual
// value behaves exactly as in the reference.  The snapshot class too is
// looked up at every call; while it is the plain frozen dataclass the
// convertor defines, its instance is made as its `__init__` makes it
// (`object.__new__`, then each field set in order), else the class is called.
#define KC_SOURCE "src/native/snapshots.cpp"
#include "native/snapshots.hpp"
#include "native/records.hpp"

#include "core/pyutil.hpp"

#include <array>
#include <cmath>

namespace knative {
namespace {

namespace nb = nanobind;
using kc::Name;

// ---------------------------------------------------------------- convertor

Name n_item{"item"}, n_plain{"_plain"}, n_pick{"_pick"}, n_copy{"_copy"};
Name n_SnapOrder{"SnapOrder"}, n_SnapExecution{"SnapExecution"};
Name n_init{"__init__"}, n_post_init{"__post_init__"}, n_dunder_qualname{"__qualname__"};
Name n_dataclass_params{"__dataclass_params__"}, n_dataclass_fields{"__dataclass_fields__"};
Name n_frozen{"frozen"}, n_field_name{"name"};

// The convertor's namespace, read at every use (the module lives for the process).
PyObject *convertor() {
    static PyObject *dict = nullptr;
    if (!dict) {
        nb::object module = kc::import("korvit.backtest.convertor");
        dict = PyModule_GetDict(module.ptr());
        Py_INCREF(dict);
    }
    return dict;
}

nb::object global(Name &name) {
    PyObject *value = PyDict_GetItemWithError(convertor(), name.get());
    if (!value) {
        if (PyErr_Occurred())
            kc::throw_current();
        kc::raise(PyExc_NameError, "name '%s' is not defined", name.text);
    }
    return nb::borrow(value);
}

// ---------------------------------------------------------------- values

PyTypeObject *numpy_type(const char *name) {
    nb::object type = kc::import_from("numpy", name);
    if (!PyType_Check(type.ptr()))
        kc::raise(PyExc_TypeError, "numpy.%s is not a type", name);
    return (PyTypeObject *)type.release().ptr(); // kept for the process
}

PyTypeObject *generic() {
    static PyTypeObject *type = numpy_type("generic");
    return type;
}

PyTypeObject *float64() {
    static PyTypeObject *type = numpy_type("float64");
    return type;
}

enum class Kind { Plain, Numpy, Other };

// Plain: exact int, float, str, bool or None, which the reference keeps as
// they are.  Numpy: a scalar of one of numpy's own types, whose `item()` is
// numpy's.  Other: anything else, left to the reference's helpers.
Kind kind_of(PyObject *o) {
    PyTypeObject *tp = Py_TYPE(o);
    if (tp == &PyFloat_Type || tp == &PyLong_Type || tp == &PyUnicode_Type || tp == &PyBool_Type || o == Py_None)
        return Kind::Plain;
    if (!PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE) && PyType_IsSubtype(tp, generic()))
        return Kind::Numpy;
    return Kind::Other;
}

// `value.item()` of one of numpy's own scalars.
nb::object scalar_item(nb::handle value) {
    if (Py_TYPE(value.ptr()) == float64())
        return kc::py_float(PyFloat_AS_DOUBLE(value.ptr()));
    return kc::call_method(value, n_item);
}

// `_plain(value)`: the plain Python number of a numpy scalar.
nb::object plain(nb::object value) {
    switch (kind_of(value.ptr())) {
        case Kind::Plain:
            return value;
        case Kind::Numpy:
            return scalar_item(value);
        default:
            return kc::call(global(n_plain), value);
    }
}

// `_copy(tag)`: a deep copy of anything but a plain value.
nb::object copy_tag(nb::object tag) {
    PyTypeObject *tp = Py_TYPE(tag.ptr());
    if (tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type ||
        tag.ptr() == Py_None)
        return tag;
    return kc::call(global(n_copy), tag);
}

[[noreturn]] void out_of_range(nb::handle items, nb::handle index, const char *what) {
    nb::object shown = kc::steal(PyObject_Repr(index.ptr()));
    const Py_ssize_t known = kc::length(items);
    nb::object message = kc::steal(PyUnicode_FromFormat("%s %U out of range: %zd known", what, shown.ptr(), known));
    PyErr_SetObject(PyExc_IndexError, message.ptr());
    kc::throw_current();
}

// `_pick(items, index, what)`: `items[index]` for a valid non-negative
// integral index, else IndexError.
nb::object pick(nb::handle items, nb::object raw, const char *what) {
    nb::object index;
    switch (kind_of(raw.ptr())) {
        case Kind::Plain:
            index = raw;
            break;
        case Kind::Numpy:
            index = scalar_item(raw); // one of Python's own types
            break;
        default:
            return kc::call(global(n_pick), items, raw, kc::py_str(what));
    }
    PyObject *i = index.ptr();
    if (PyLong_CheckExact(i)) {
        // math.isfinite(index) converts it to a float first, which fails for a huge int
        if (PyLong_AsDouble(i) == -1.0 && PyErr_Occurred())
            kc::throw_current();
        int overflow = 0; // the sign of an int too big for a long long
        const long long at = PyLong_AsLongLongAndOverflow(i, &overflow);
        if (at == -1 && PyErr_Occurred())
            kc::throw_current();
        if (overflow > 0 || (overflow == 0 && at >= 0)) {
            const Py_ssize_t known = kc::length(items);
            if (!overflow && at < known)
                return kc::getitem(items, index);
        }
    } else if (PyFloat_CheckExact(i)) {
        const double d = PyFloat_AS_DOUBLE(i);
        if (std::isfinite(d) && d == std::trunc(d) && d >= 0) {
            const Py_ssize_t known = kc::length(items);
            if (d < (double)known)
                return kc::getitem(items, kc::steal(PyLong_FromDouble(d)));
        }
    }
    out_of_range(items, index, what); // bool, str, None and the like are never an index
}

// ---------------------------------------------------------------- records

// One attribute of records, read as getattr reads it, through the engine's
// field reader (slots read in place, data descriptors called directly while
// the records' type is unchanged).
class Field {
public:
    explicit Field(const char *text) : name_(text) {}
    nb::object operator()(nb::handle record) { return kc::FieldReader(name_)(record); }
    Name &name() { return name_; }

private:
    Name name_;
};

// ---------------------------------------------------------------- snapshot classes

// A snapshot class and whether its instances can be made here: its
// `__init__` is the one a frozen dataclass generates, setting each field in
// order with object.__setattr__ and nothing else.
template <size_t N>
class SnapClass {
public:
    SnapClass(Name &global_name, std::array<const char *, N> fields) : global_(global_name) {
        for (size_t k = 0; k < N; ++k)
            names_[k] = new Name(fields[k]);
    }

    // An instance of the class now named in the convertor, with `values` as its fields.
    nb::object make(PyObject *const *values) {
        nb::object cls = global(global_);
        PyTypeObject *tp = PyType_Check(cls.ptr()) ? (PyTypeObject *)cls.ptr() : nullptr;
        if (!tp || tp != type_ || version_ == 0 || kc::valid_version(tp) != version_)
            learn(cls);
        if (!made_here_)
            return kc::steal(PyObject_Vectorcall(cls.ptr(), values, 0, kwnames().ptr()));
        nb::object empty = kc::steal(PyTuple_New(0));
        nb::object instance = kc::steal(PyBaseObject_Type.tp_new(tp, empty.ptr(), nullptr));
        for (size_t k = 0; k < N; ++k)
            if (PyObject_GenericSetAttr(instance.ptr(), names_[k]->get(), values[k]) != 0)
                kc::throw_current();
        return instance;
    }

    // Whether `make` would make the instance here (the class now named in the
    // convertor is the plain frozen dataclass), checked as `make` checks it.
    bool made_here() {
        nb::object cls = global(global_);
        PyTypeObject *tp = PyType_Check(cls.ptr()) ? (PyTypeObject *)cls.ptr() : nullptr;
        if (!tp || tp != type_ || version_ == 0 || kc::valid_version(tp) != version_)
            learn(cls);
        return made_here_;
    }

private:
    nb::object kwnames() {
        if (!kwnames_) {
            nb::object names = kc::steal(PyTuple_New(N));
            for (size_t k = 0; k < N; ++k)
                PyTuple_SET_ITEM(names.ptr(), k, Py_NewRef(names_[k]->get()));
            kwnames_ = names.release().ptr(); // kept for the process
        }
        return nb::borrow(kwnames_);
    }

    void learn(nb::handle cls) {
        made_here_ = false;
        type_ = nullptr;
        if (!PyType_CheckExact(cls.ptr()))
            return;
        PyTypeObject *tp = (PyTypeObject *)cls.ptr();
        try {
            made_here_ = is_plain_frozen_dataclass(tp);
        } catch (nb::python_error &) { // a class the checks cannot read is simply called
            made_here_ = false;
        }
        // Looked up after the checks, which may have run code that changed the class.
        if (kc::type_lookup(tp, n_init.get()) && kc::valid_version(tp) != 0) {
            type_ = tp;
            version_ = kc::valid_version(tp);
        } else {
            made_here_ = false;
        }
    }

    bool is_plain_frozen_dataclass(PyTypeObject *tp) {
        if (tp->tp_new != PyBaseObject_Type.tp_new || tp->tp_init == PyBaseObject_Type.tp_init ||
            kc::type_lookup(tp, n_post_init.get()))
            return false;
        PyObject *init = PyDict_GetItemWithError(tp->tp_dict, n_init.get()); // borrowed
        if (!init) {
            if (PyErr_Occurred())
                kc::throw_current();
            return false;
        }
        if (!PyFunction_Check(init))
            return false;
        // The dataclass made it: compiled from its own source text, named after the class.
        PyCodeObject *code = (PyCodeObject *)PyFunction_GET_CODE(init);
        if (!PyUnicode_Check(code->co_filename) || PyUnicode_CompareWithASCIIString(code->co_filename, "<string>") != 0)
            return false;
        nb::object qualname = kc::getattr(init, n_dunder_qualname);
        nb::object expected =
            kc::steal(PyUnicode_FromFormat("%U.__init__", kc::getattr(cls_of(tp), n_dunder_qualname).ptr()));
        if (!PyUnicode_Check(qualname.ptr()) || PyUnicode_Compare(qualname.ptr(), expected.ptr()) != 0)
            return false;
        nb::object params = kc::getattr_or(cls_of(tp), n_dataclass_params, Py_None);
        if (params.is_none() || !kc::truthy(kc::getattr(params, n_frozen)))
            return false;
        // The fields, every one of them a plain field set by __init__, in our order.
        nb::object fields = kc::getattr_or(cls_of(tp), n_dataclass_fields, Py_None);
        if (!PyDict_CheckExact(fields.ptr()) || PyDict_GET_SIZE(fields.ptr()) != (Py_ssize_t)N)
            return false;
        nb::object listed = kc::call(kc::import_from("dataclasses", "fields"), cls_of(tp));
        if (!PyTuple_CheckExact(listed.ptr()) || PyTuple_GET_SIZE(listed.ptr()) != (Py_ssize_t)N)
            return false;
        for (size_t k = 0; k < N; ++k) {
            PyObject *f = PyTuple_GET_ITEM(listed.ptr(), k);
            nb::object name = kc::getattr(f, n_field_name);
            if (!PyUnicode_Check(name.ptr()) || PyUnicode_Compare(name.ptr(), names_[k]->get()) != 0)
                return false;
            if (!kc::truthy(kc::getattr(f, init_flag_)))
                return false;
        }
        return true;
    }

    static nb::handle cls_of(PyTypeObject *tp) { return nb::handle((PyObject *)tp); }

    Name &global_;
    std::array<Name *, N> names_{}; // kept for the process
    PyObject *kwnames_ = nullptr;   // strong; kept for the process
    PyTypeObject *type_ = nullptr;  // the class last checked, while its version is unchanged
    unsigned int version_ = 0;
    bool made_here_ = false;
    Name init_flag_{"init"};
};

// ---------------------------------------------------------------- conversions

// Record fields, in the order the conversions read them.
Field order_id{"order_id"}, handle_idx{"handle_idx"}, target_idx{"target_idx"}, side{"side"},
    position_effect{"position_effect"}, ctg{"ctg"}, price{"price"}, volume{"volume"}, filled_volume{"filled_volume"},
    unfilled_volume{"unfilled_volume"}, filled_average{"filled_average"}, filled_amount{"filled_amount"},
    status{"status"}, rej_reason{"rej_reason"}, created_time{"created_time"}, updated_time{"updated_time"}, tag{"tag"};
Field t_order_id{"order_id"}, t_trader_id{"trader_id"}, t_handle_idx{"handle_idx"}, t_target_idx{"target_idx"},
    t_side{"side"}, t_position_effect{"position_effect"}, t_price{"price"}, t_volume{"volume"},
    t_filled_time{"filled_time"}, t_order_fee{"order_fee"}, t_order_margin{"order_margin"}, t_tag{"tag"};
Field o_order_id{"order_id"}; // the order of a trade

SnapClass<17> snap_order_class{n_SnapOrder,
                               {"order_id", "account", "target", "side", "position_effect", "ctg", "price", "volume",
                                "filled_volume", "unfilled_volume", "filled_average", "filled_amount", "status",
                                "rej_reason", "created_time", "updated_time", "tag"}};
SnapClass<12> snap_execution_class{n_SnapExecution,
                                   {"exec_id", "order_id", "account", "target", "side", "position_effect", "price",
                                    "volume", "filled_time", "fee", "margin", "tag"}};

template <size_t N>
nb::object make(SnapClass<N> &cls, std::array<nb::object, N> &values) {
    PyObject *argv[N];
    for (size_t k = 0; k < N; ++k)
        argv[k] = values[k].ptr();
    return cls.make(argv);
}

nb::object snap_order(nb::handle order, nb::handle account_names, nb::handle target_list) {
    std::array<nb::object, 17> v;
    size_t k = 0;
    v[k++] = plain(order_id(order));
    v[k++] = pick(account_names, handle_idx(order), "account index");
    v[k++] = pick(target_list, target_idx(order), "target index");
    for (Field *f : {&side, &position_effect, &ctg, &price, &volume, &filled_volume, &unfilled_volume, &filled_average,
                     &filled_amount, &status, &rej_reason, &created_time, &updated_time})
        v[k++] = plain((*f)(order));
    v[k++] = copy_tag(tag(order));
    return make(snap_order_class, v);
}

nb::object snap_execution(nb::handle order, nb::handle trade, nb::handle account_names, nb::handle target_list) {
    {
        nb::object of_trade = t_order_id(trade);
        nb::object of_order = o_order_id(order);
        if (kc::truthy(kc::steal(PyObject_RichCompare(of_trade.ptr(), of_order.ptr(), Py_NE)))) {
            nb::object trader = kc::steal(PyObject_Repr(kc::getattr(trade, t_trader_id.name()).ptr()));
            nb::object belongs = kc::steal(PyObject_Repr(kc::getattr(trade, t_order_id.name()).ptr()));
            nb::object own = kc::steal(PyObject_Repr(kc::getattr(order, o_order_id.name()).ptr()));
            nb::object message = kc::steal(PyUnicode_FromFormat("trade %U belongs to order %U, not to order %U",
                                                                trader.ptr(), belongs.ptr(), own.ptr()));
            PyErr_SetObject(PyExc_ValueError, message.ptr());
            kc::throw_current();
        }
    }
    std::array<nb::object, 12> v;
    size_t k = 0;
    v[k++] = plain(t_trader_id(trade));
    v[k++] = plain(o_order_id(order));
    v[k++] = pick(account_names, t_handle_idx(trade), "account index");
    v[k++] = pick(target_list, t_target_idx(trade), "target index");
    for (Field *f : {&t_side, &t_position_effect, &t_price, &t_volume, &t_filled_time, &t_order_fee, &t_order_margin})
        v[k++] = plain((*f)(trade));
    v[k++] = copy_tag(t_tag(trade));
    return make(snap_execution_class, v);
}

// ---------------------------------------------------------------- quiet conversions
//
// Whether a conversion would run no host code and not fail: every field a set
// slot of a record type read in place, every value a plain or numpy value,
// the indices valid positions of exact lists, the tag a plain value and the
// snapshot class the convertor's own.  Then the snapshot is all the
// conversion would do, and a caller that does not need it may leave it.

// A set slot read in place, or a getter that korvit.native's record types
// were made with (the fields it computes from are read, plain, first).
bool quiet_read(Field &f, nb::handle record, nb::object &value) {
    kc::FieldReader reader(f.name());
    if (reader.can_peek(record.ptr())) {
        PyObject *found = reader.peek(record.ptr());
        value = nb::borrow(found);
        return found != nullptr;
    }
    PyTypeObject *tp = Py_TYPE(record.ptr());
    if (!knative::plain_record(record.ptr()))
        return false;
    PyObject *descr = kc::type_lookup(tp, f.name().get()); // borrowed
    if (!descr || Py_TYPE(descr) != &PyGetSetDescr_Type || PyDescr_TYPE(descr) != tp)
        return false;
    PyObject *got = Py_TYPE(descr)->tp_descr_get(descr, record.ptr(), (PyObject *)tp);
    if (!got) {
        PyErr_Clear(); // the conversion itself tells
        return false;
    }
    value = kc::steal(got);
    return true;
}

bool quiet_value(Field &f, nb::handle record) {
    nb::object value;
    return quiet_read(f, record, value) && kind_of(value.ptr()) != Kind::Other;
}

bool quiet_pick(nb::handle items, Field &f, nb::handle record) {
    nb::object raw;
    if (!quiet_read(f, record, raw) || !PyList_CheckExact(items.ptr()))
        return false;
    nb::object index;
    switch (kind_of(raw.ptr())) {
        case Kind::Plain:
            index = raw;
            break;
        case Kind::Numpy:
            index = scalar_item(raw);
            break;
        default:
            return false;
    }
    const Py_ssize_t known = PyList_GET_SIZE(items.ptr());
    PyObject *i = index.ptr();
    if (PyLong_CheckExact(i)) {
        int overflow = 0;
        const long long at = PyLong_AsLongLongAndOverflow(i, &overflow);
        if (at == -1 && PyErr_Occurred())
            kc::throw_current();
        return !overflow && at >= 0 && at < known;
    }
    if (PyFloat_CheckExact(i)) {
        const double d = PyFloat_AS_DOUBLE(i);
        return std::isfinite(d) && d == std::trunc(d) && d >= 0 && d < (double)known;
    }
    return false;
}

bool quiet_tag(Field &f, nb::handle record) {
    nb::object tag;
    if (!quiet_read(f, record, tag))
        return false;
    PyTypeObject *tp = Py_TYPE(tag.ptr());
    return tp == &PyUnicode_Type || tp == &PyLong_Type || tp == &PyFloat_Type || tp == &PyBool_Type || tag.is_none();
}

bool quiet_snap_order(nb::handle order, nb::handle account_names, nb::handle target_list) {
    if (!quiet_value(order_id, order) || !quiet_pick(account_names, handle_idx, order) ||
        !quiet_pick(target_list, target_idx, order))
        return false;
    for (Field *f : {&side, &position_effect, &ctg, &price, &volume, &filled_volume, &unfilled_volume, &filled_average,
                     &filled_amount, &status, &rej_reason, &created_time, &updated_time})
        if (!quiet_value(*f, order))
            return false;
    return quiet_tag(tag, order) && snap_order_class.made_here();
}

bool quiet_snap_execution(nb::handle order, nb::handle trade, nb::handle account_names, nb::handle target_list) {
    nb::object of_trade, of_order;
    if (!quiet_read(t_order_id, trade, of_trade) || !quiet_read(o_order_id, order, of_order) ||
        kind_of(of_trade.ptr()) != Kind::Plain || kind_of(of_order.ptr()) != Kind::Plain)
        return false;
    // As the conversion compares them (a NaN id differs from itself there).
    const bool same = !kc::truthy(kc::steal(PyObject_RichCompare(of_trade.ptr(), of_order.ptr(), Py_NE)));
    if (!same || !quiet_value(t_trader_id, trade) || !quiet_pick(account_names, t_handle_idx, trade) ||
        !quiet_pick(target_list, t_target_idx, trade))
        return false;
    for (Field *f : {&t_side, &t_position_effect, &t_price, &t_volume, &t_filled_time, &t_order_fee, &t_order_margin})
        if (!quiet_value(*f, trade))
            return false;
    return quiet_tag(t_tag, trade) && snap_execution_class.made_here();
}

} // namespace

int quiet_snap_order(PyObject *order, PyObject *account_names, PyObject *target_list) {
    try {
        return kc::guarded(KC_SITE("korvit.native.snap_order"),
                           [&] {
                               return quiet_snap_order(nb::handle(order), nb::handle(account_names),
                                                       nb::handle(target_list));
                           })
                   ? 1
                   : 0;
    } catch (nb::python_error &e) {
        e.restore();
        return -1;
    }
}

int quiet_snap_execution(PyObject *order, PyObject *trade, PyObject *account_names, PyObject *target_list) {
    try {
        return kc::guarded(KC_SITE("korvit.native.snap_execution"),
                           [&] {
                               return quiet_snap_execution(nb::handle(order), nb::handle(trade),
                                                           nb::handle(account_names), nb::handle(target_list));
                           })
                   ? 1
                   : 0;
    } catch (nb::python_error &e) {
        e.restore();
        return -1;
    }
}

void bind_snapshots(nb::module_ &m) {
    m.def(
        "snap_order",
        [](nb::handle order, nb::handle account_names, nb::handle target_list) {
            return kc::guarded(KC_SITE("korvit.native.snap_order"),
                               [&] { return snap_order(order, account_names, target_list); });
        },
        nb::arg("order").none(), nb::arg("account_names").none(), nb::arg("target_list").none(),
        nb::sig("def snap_order(order: KVBackOrder, account_names: collections.abc.Sequence[str], target_list: "
                "collections.abc.Sequence[str]) -> korvit.backtest.convertor.SnapOrder"),
        "The `SnapOrder` of an order record, as `backtest.convertor` makes it.");
    m.def(
        "snap_execution",
        [](nb::handle order, nb::handle trade, nb::handle account_names, nb::handle target_list) {
            return kc::guarded(KC_SITE("korvit.native.snap_execution"),
                               [&] { return snap_execution(order, trade, account_names, target_list); });
        },
        nb::arg("order").none(), nb::arg("trade").none(), nb::arg("account_names").none(),
        nb::arg("target_list").none(),
        nb::sig(
            "def snap_execution(order: KVBackOrder, trade: KVBackTrade, account_names: collections.abc.Sequence[str], "
            "target_list: collections.abc.Sequence[str]) -> korvit.backtest.convertor.SnapExecution"),
        "The `SnapExecution` of a trade record of `order`, as `backtest.convertor` makes it.");
}

} // namespace knative
