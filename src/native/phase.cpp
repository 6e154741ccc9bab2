// korvit.native.SystemModeMgr: the run phase in which the framework calls
// user code.  `tframe.uclass` installs it as `SystemModeMgr`; the Python
// class there (`PySystemModeMgr`) stays the reference of its behaviour.
//
// `enter_phase(p)` / `force_phase(p)` give a factory; the factory applied to
// a function gives its wrapper (made once per phase, kind and function, kept
// in a dict under the key `(phase, always_log, func)`, so hashing and
// equality are Python's own; the last few found for plain functions are also
// kept by identity, which can only give what the dict would), applied to None
// a callable that does nothing.
// The wrapper is a vectorcall object: it logs the phase when due (through
// `self._log`, so a subclass's `_log` is obeyed), sets `current_phase`, calls
// the function with the arguments as given and restores the phase, also on
// error.  `functools.update_wrapper` gives it the function's names, doc and
// `__dict__`; like a function it binds as a method when found on a class.
//
// All three are plain C types: the wrapper's call makes no Python frame.
#define KC_SOURCE "src/native/phase.cpp"
#include "native/phase.hpp"

#include "core/pyutil.hpp"

namespace knative {
namespace {

namespace nb = nanobind;
using kc::Name;

Name n_log{"_log"}, n_log_append{"append"}, n_maxlen{"maxlen"}, n_LOG_LIMIT{"LOG_LIMIT"};
Name n_wrapper_factory{"_wrapper_factory"}, n_fn_name{"__name__"}, n_fn_qualname{"__qualname__"};
Name n_always_log{"always_log"};

PyTypeObject *mgr_type = nullptr;     // SystemModeMgr
PyTypeObject *factory_type = nullptr; // its factories
PyTypeObject *wrapper_type = nullptr; // their wrappers
PyObject *do_nothing = nullptr;       // the callable for None
PyObject *own_log = nullptr;          // SystemModeMgr._log as defined here
PyObject *own_wrapper_factory = nullptr;

// The run phases (IDLE, USERINIT, ONDATA, DEAL_TRADE) of GlobalDefine, read once.
PyObject *phases() {
    static PyObject *tuple = nullptr;
    if (!tuple) {
        nb::object gv = kc::import_from("korvit.tframe.sysdefine", "GlobalDefine");
        static Name names[] = {Name("RUMMODE_PHASE_IDLE"), Name("RUMMODE_PHASE_USERINIT"), Name("RUMMODE_PHASE_ONDATA"),
                               Name("RUMMODE_PHASE_DEAL_TRADE")};
        nb::object t = kc::steal(PyTuple_New(4));
        for (Py_ssize_t i = 0; i < 4; ++i)
            PyTuple_SET_ITEM(t.ptr(), i, kc::getattr(gv, names[i]).release().ptr());
        tuple = t.release().ptr(); // kept for the process
    }
    return tuple;
}

// `functools.update_wrapper`, looked up once.
PyObject *update_wrapper() {
    static PyObject *fn = nullptr;
    if (!fn)
        fn = kc::import_from("functools", "update_wrapper").release().ptr();
    return fn;
}

PyObject *deque_type() {
    static PyObject *type = nullptr;
    if (!type)
        type = kc::import_from("collections", "deque").release().ptr();
    return type;
}

// Runs `body` (returning a new reference) under kc::guarded: NULL with the
// Python error set on failure.
template <class F>
PyObject *entry(const char *qualname, int line, F &&body) {
    try {
        return kc::guarded(qualname, KC_SOURCE, line, [&] { return body(); });
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

// ---------------------------------------------------------------- manager

// A wrapper found before for a plain function, by the identity of the
// function and the phase object (a plain int): what the dict lookup gives.
struct Hit {
    PyObject *phase = nullptr;
    PyObject *func = nullptr;
    PyObject *wrapper = nullptr;
    bool always_log = false;
};
constexpr int HITS = 4;

struct Mgr {
    PyObject_HEAD PyObject *current_phase; // NULL once deleted
    PyObject *log;                         // collections.deque(maxlen=LOG_LIMIT)
    PyObject *log_append;                  // its bound `append`
    PyObject *wrappers;                    // (phase, always_log, func) -> wrapper
    PyObject *dict;
    PyObject *weakrefs;
    Hit hits[HITS];
    unsigned next_hit;
};

void clear_hits(Mgr *self) {
    for (Hit &h : self->hits) {
        Py_CLEAR(h.phase);
        Py_CLEAR(h.func);
        Py_CLEAR(h.wrapper);
    }
}

// Sets the state `__init__` gives: phase IDLE, an empty log, no wrappers.
void mgr_reset(Mgr *self) {
    nb::object idle = nb::borrow(PyTuple_GET_ITEM(phases(), 0));
    nb::object limit = kc::getattr(nb::handle((PyObject *)self), n_LOG_LIMIT);
    nb::object log = kc::call_kw(nb::handle(deque_type()), {}, {{n_maxlen, limit}});
    nb::object append = kc::getattr(log, n_log_append);
    nb::object wrappers = kc::steal(PyDict_New());
    clear_hits(self);
    Py_XSETREF(self->current_phase, idle.release().ptr());
    Py_XSETREF(self->log, log.release().ptr());
    Py_XSETREF(self->log_append, append.release().ptr());
    Py_XSETREF(self->wrappers, wrappers.release().ptr());
}

// A new manager in the state `__init__` gives, so that one made without it
// (by copy or pickle) works too.
PyObject *mgr_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (!self)
        return nullptr;
    PyObject *r = entry("korvit.native.SystemModeMgr.__new__", __LINE__, [&] {
        mgr_reset((Mgr *)self);
        return Py_NewRef(Py_None);
    });
    if (!r) {
        Py_DECREF(self);
        return nullptr;
    }
    Py_DECREF(r);
    return self;
}

int mgr_init(PyObject *self, PyObject *args, PyObject *kwargs) {
    Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given) {
        PyErr_Format(PyExc_TypeError, "SystemModeMgr.__init__() takes 1 positional argument but %zd were given",
                     given + 1);
        return -1;
    }
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        PyDict_Next(kwargs, &pos, &key, &value);
        kc::format_error(PyExc_TypeError, "SystemModeMgr.__init__() got an unexpected keyword argument '%S'", key);
        return -1;
    }
    PyObject *r = entry("korvit.native.SystemModeMgr.__init__", __LINE__, [&] {
        mgr_reset((Mgr *)self);
        return Py_NewRef(Py_None);
    });
    if (!r)
        return -1;
    Py_DECREF(r);
    return 0;
}

int mgr_traverse(Mgr *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(self->current_phase);
    Py_VISIT(self->log);
    Py_VISIT(self->log_append);
    Py_VISIT(self->wrappers);
    Py_VISIT(self->dict);
    for (Hit &h : self->hits) {
        Py_VISIT(h.phase);
        Py_VISIT(h.func);
        Py_VISIT(h.wrapper);
    }
    return 0;
}

int mgr_clear(Mgr *self) {
    clear_hits(self);
    Py_CLEAR(self->current_phase);
    Py_CLEAR(self->log);
    Py_CLEAR(self->log_append);
    Py_CLEAR(self->wrappers);
    Py_CLEAR(self->dict);
    return 0;
}

void mgr_dealloc(Mgr *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (self->weakrefs)
        PyObject_ClearWeakRefs((PyObject *)self);
    mgr_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The name of the class of `self` (its `__name__`), as Python's own
// message for a missing instance attribute shows it.
nb::object class_name(PyObject *self) {
#if PY_VERSION_HEX >= 0x030B0000
    return kc::steal(PyType_GetName(Py_TYPE(self)));
#else
    return kc::steal(PyObject_GetAttrString((PyObject *)Py_TYPE(self), "__name__"));
#endif
}

[[noreturn]] void no_attribute(PyObject *self, const char *name) {
    nb::object cls = class_name(self);
    kc::raise(PyExc_AttributeError, "'%U' object has no attribute '%s'", cls.ptr(), name);
}

// The same error, set, for a getter or setter: -1 returned.
int no_attribute_error(PyObject *self, const char *name) {
    try {
        no_attribute(self, name);
    } catch (nb::python_error &e) {
        e.restore();
    }
    return -1;
}

// The log, checked (a subclass's __init__ may not have called ours).
PyObject *mgr_log(Mgr *self) {
    if (!self->log)
        no_attribute((PyObject *)self, "_phase_log");
    return self->log;
}

PyObject *get_current_phase(Mgr *self, void *) {
    if (!self->current_phase) {
        no_attribute_error((PyObject *)self, "current_phase");
        return nullptr;
    }
    return Py_NewRef(self->current_phase);
}

int set_current_phase(Mgr *self, PyObject *value, void *) {
    if (!value && !self->current_phase) {
#if PY_VERSION_HEX < 0x030B0000
        // Python 3.10 names only the attribute when an unset slot is deleted.
        PyErr_SetString(PyExc_AttributeError, "current_phase");
        return -1;
#else
        return no_attribute_error((PyObject *)self, "current_phase");
#endif
    }
    Py_XSETREF(self->current_phase, Py_XNewRef(value));
    return 0;
}

PyObject *get_phase_log(Mgr *self, void *) {
    return entry("korvit.native.SystemModeMgr.phase_log", __LINE__,
                 [&] { return kc::steal(PySequence_List(mgr_log(self))).release().ptr(); });
}

PyObject *mgr_log_method(Mgr *self, PyObject *phase) {
    return entry("korvit.native.SystemModeMgr._log", __LINE__, [&] {
        kc::call_method(nb::handle(mgr_log(self)), n_log_append, nb::handle(phase));
        return Py_NewRef(Py_None);
    });
}

PyObject *factory_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames);

struct Factory {
    PyObject_HEAD PyObject *mgr;
    PyObject *phase;
    bool always_log;
    vectorcallfunc vectorcall;
};

nb::object make_factory(PyObject *mgr, PyObject *phase, bool always_log) {
    PyObject *known_phases = phases();
    int known = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(known_phases) && !known; ++i)
        known = PyTuple_GET_ITEM(known_phases, i) == phase;
    if (!known)
        known = PySequence_Contains(known_phases, phase);
    if (known < 0)
        kc::throw_current();
    if (!known) {
        nb::object r = kc::steal(PyObject_Repr(phase));
        kc::raise(PyExc_ValueError, "unknown run phase %s", PyUnicode_AsUTF8(r.ptr()));
    }
    Factory *f = PyObject_GC_New(Factory, factory_type);
    if (!f)
        kc::throw_current();
    f->mgr = Py_NewRef(mgr);
    f->phase = Py_NewRef(phase);
    f->always_log = always_log;
    f->vectorcall = factory_vectorcall;
    PyObject_GC_Track(f);
    return nb::steal((PyObject *)f);
}

// enter_phase / force_phase: through `self._wrapper_factory(phase, always_log)`
// when a subclass defines its own, else made here.
nb::object phase_factory(PyObject *self, PyObject *phase, bool always_log) {
    if (Py_TYPE(self) != mgr_type) {
        PyObject *found = kc::type_lookup(Py_TYPE(self), n_wrapper_factory.get()); // borrowed
        if (found && found != own_wrapper_factory)
            return kc::call_kw(nb::handle(kc::getattr(nb::handle(self), n_wrapper_factory)), {nb::handle(phase)},
                               {{n_always_log, nb::handle(always_log ? Py_True : Py_False)}});
    }
    return make_factory(self, phase, always_log);
}

PyObject *mgr_enter_phase(PyObject *self, PyObject *phase) {
    return entry("korvit.native.SystemModeMgr.enter_phase", __LINE__,
                 [&] { return phase_factory(self, phase, false).release().ptr(); });
}

PyObject *mgr_force_phase(PyObject *self, PyObject *phase) {
    return entry("korvit.native.SystemModeMgr.force_phase", __LINE__,
                 [&] { return phase_factory(self, phase, true).release().ptr(); });
}

PyObject *mgr_wrapper_factory(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"phase", "always_log", nullptr};
    PyObject *phase, *always_log;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_wrapper_factory", (char **)keywords, &phase, &always_log))
        return nullptr;
    return entry("korvit.native.SystemModeMgr._wrapper_factory", __LINE__,
                 [&] { return make_factory(self, phase, kc::truthy(always_log)).release().ptr(); });
}

PyMethodDef mgr_methods[] = {{"enter_phase", (PyCFunction)mgr_enter_phase, METH_O,
                              "A wrapper factory for `phase`; its wrappers log only a change of phase."},
                             {"force_phase", (PyCFunction)mgr_force_phase, METH_O,
                              "A wrapper factory for `phase`; its wrappers log every entry."},
                             {"_wrapper_factory", (PyCFunction)(void (*)())mgr_wrapper_factory,
                              METH_VARARGS | METH_KEYWORDS,
                              "The wrapper factory of `phase` (logging every entry when `always_log`)."},
                             {"_log", (PyCFunction)mgr_log_method, METH_O, "Records an entry into `phase` in the log."},
                             {nullptr, nullptr, 0, nullptr}};

PyGetSetDef mgr_getset[] = {{"current_phase", (getter)get_current_phase, (setter)set_current_phase,
                             "The phase user code runs in now.", nullptr},
                            {"phase_log", (getter)get_phase_log, nullptr,
                             "The latest LOG_LIMIT phases entered, oldest first (a new list).", nullptr},
                            {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
                            {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef mgr_members[] = {{"__dictoffset__", KC_T_PYSSIZET, offsetof(Mgr, dict), KC_READONLY, nullptr},
                             {"__weaklistoffset__", KC_T_PYSSIZET, offsetof(Mgr, weakrefs), KC_READONLY, nullptr},
                             {nullptr, 0, 0, 0, nullptr}};

const char mgr_doc[] =
    "Tracks the run phase in which the framework is calling user code.\n\n"
    "``enter_phase(p)`` and ``force_phase(p)`` each return a wrapper factory: applied to a function it\n"
    "gives a callable with the same arguments that runs the function with ``current_phase == p`` and\n"
    "restores the previous phase afterwards, also on error; wrappers nest freely.  Applied to None it\n"
    "gives a callable that does nothing and returns None.\n\n"
    "The two differ only in ``phase_log``: ``force_phase`` logs every entry, ``enter_phase`` logs only\n"
    "a change of phase.  ``phase_log`` keeps the latest ``LOG_LIMIT`` entries.";

PyType_Slot mgr_slots[] = {{Py_tp_new, (void *)mgr_new},         {Py_tp_init, (void *)mgr_init},
                           {Py_tp_dealloc, (void *)mgr_dealloc}, {Py_tp_traverse, (void *)mgr_traverse},
                           {Py_tp_clear, (void *)mgr_clear},     {Py_tp_methods, mgr_methods},
                           {Py_tp_getset, mgr_getset},           {Py_tp_members, mgr_members},
                           {Py_tp_doc, (void *)mgr_doc},         {0, nullptr}};

PyType_Spec mgr_spec = {"korvit.native.SystemModeMgr", sizeof(Mgr), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, mgr_slots};

// ---------------------------------------------------------------- wrapper

struct Wrapper {
    PyObject_HEAD PyObject *mgr;
    PyObject *phase;
    PyObject *func;
    PyObject *dict;
    PyObject *weakrefs;
    vectorcallfunc vectorcall;
    bool always_log;
};

// `self._log(phase)`: appended here while the manager's `_log` is ours.
void log_phase(PyObject *mgr, PyObject *phase) {
    Mgr *m = (Mgr *)mgr;
    bool own = Py_TYPE(mgr) == mgr_type || kc::type_lookup(Py_TYPE(mgr), n_log.get()) == own_log;
    if (own && m->dict) {
        // Held: a key's `__eq__` run by the lookup may replace the instance dict.
        nb::object dict = nb::borrow(m->dict);
        PyObject *found = PyDict_GetItemWithError(dict.ptr(), n_log.get());
        if (found)
            own = false;
        else if (PyErr_Occurred())
            kc::throw_current();
    }
    if (own) {
        mgr_log(m);
        // Held: appending may drop the oldest entry, whose finalizer may reset the manager.
        nb::object append = nb::borrow(m->log_append);
        kc::call(append, nb::handle(phase));
    } else
        kc::call_method(nb::handle(mgr), n_log, nb::handle(phase));
}

// Whether `previous != phase` holds, as Python decides it.
bool differs(PyObject *previous, PyObject *phase) {
    if (PyLong_CheckExact(previous) && PyLong_CheckExact(phase)) {
        if (previous == phase)
            return false;
        return PyObject_RichCompareBool(previous, phase, Py_NE) == 1;
    }
    return kc::truthy(kc::steal(PyObject_RichCompare(previous, phase, Py_NE)));
}

PyObject *wrapper_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    Wrapper *w = (Wrapper *)self;
    return entry("korvit.native.SystemModeMgr.in_phase", __LINE__, [&]() -> PyObject * {
        if (!w->mgr || !w->func) // cleared by the garbage collector in a cycle
            kc::raise(PyExc_ReferenceError, "the phase wrapper was cleared");
        Mgr *m = (Mgr *)w->mgr;
        if (!m->current_phase)
            no_attribute(w->mgr, "current_phase");
        nb::object previous = nb::borrow(m->current_phase);
        if (w->always_log || differs(previous.ptr(), w->phase))
            log_phase(w->mgr, w->phase);
        Py_XSETREF(m->current_phase, Py_NewRef(w->phase));
        PyObject *result = PyObject_Vectorcall(w->func, args, nargsf, kwnames);
        Py_XSETREF(m->current_phase, previous.release().ptr());
        if (!result)
            kc::throw_current();
        return result;
    });
}

int wrapper_traverse(Wrapper *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(self->mgr);
    Py_VISIT(self->phase);
    Py_VISIT(self->func);
    Py_VISIT(self->dict);
    return 0;
}

int wrapper_clear(Wrapper *self) {
    Py_CLEAR(self->mgr);
    Py_CLEAR(self->phase);
    Py_CLEAR(self->func);
    Py_CLEAR(self->dict);
    return 0;
}

void wrapper_dealloc(Wrapper *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (self->weakrefs)
        PyObject_ClearWeakRefs((PyObject *)self);
    wrapper_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject *wrapper_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    return PyVectorcall_Call(self, args, kwargs);
}

// Like a function: a method of the instance it is found on, itself on the class.
PyObject *wrapper_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *wrapper_repr(Wrapper *self) {
    return PyUnicode_FromFormat("<korvit.native phase wrapper of %R>", self->func);
}

PyGetSetDef wrapper_getset[] = {{"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
                                {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef wrapper_members[] = {
    {"__dictoffset__", KC_T_PYSSIZET, offsetof(Wrapper, dict), KC_READONLY, nullptr},
    {"__weaklistoffset__", KC_T_PYSSIZET, offsetof(Wrapper, weakrefs), KC_READONLY, nullptr},
    {"__vectorcalloffset__", KC_T_PYSSIZET, offsetof(Wrapper, vectorcall), KC_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot wrapper_slots[] = {{Py_tp_dealloc, (void *)wrapper_dealloc},
                               {Py_tp_traverse, (void *)wrapper_traverse},
                               {Py_tp_clear, (void *)wrapper_clear},
                               {Py_tp_call, (void *)wrapper_call},
                               {Py_tp_descr_get, (void *)wrapper_descr_get},
                               {Py_tp_repr, (void *)wrapper_repr},
                               {Py_tp_getset, wrapper_getset},
                               {Py_tp_members, wrapper_members},
                               {0, nullptr}};

PyType_Spec wrapper_spec = {"korvit.native.PhaseWrapper", sizeof(Wrapper), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            wrapper_slots};

// The wrapper of `func` in the factory's phase: the one made before, or a new one.
nb::object wrap(Factory *f, PyObject *func) {
    if (func == Py_None)
        return nb::borrow(do_nothing);
    if (!f->mgr || !f->phase) // cleared by the garbage collector in a cycle
        kc::raise(PyExc_ReferenceError, "the phase factory was cleared");
    Mgr *m = (Mgr *)f->mgr;
    if (!m->wrappers)
        no_attribute(f->mgr, "_wrappers");
    bool plain = PyFunction_Check(func) && Py_IS_TYPE(func, &PyFunction_Type) && PyLong_CheckExact(f->phase);
    if (plain)
        for (const Hit &h : m->hits)
            if (h.func == func && h.phase == f->phase && h.always_log == f->always_log)
                return nb::borrow(h.wrapper);
    nb::object key = kc::tuple_of(nb::borrow(f->phase), kc::py_bool(f->always_log), nb::borrow(func));
    auto remember = [&](PyObject *wrapper) {
        if (!plain)
            return;
        // The entry is written whole before the old one is let go, whose
        // finalizers may run host code that makes wrappers too.
        Hit &h = m->hits[m->next_hit++ % HITS];
        PyObject *old[3] = {h.phase, h.func, h.wrapper};
        h.phase = Py_NewRef(f->phase);
        h.func = Py_NewRef(func);
        h.wrapper = Py_NewRef(wrapper);
        h.always_log = f->always_log;
        for (PyObject *o : old)
            Py_XDECREF(o);
    };
    // Held while the key is hashed and compared, which runs host code that
    // may reset the manager (and so drop its dict).
    nb::object wrappers = nb::borrow(m->wrappers);
    PyObject *found = PyDict_GetItemWithError(wrappers.ptr(), key.ptr()); // borrowed
    if (found) {
        nb::object wrapper = nb::borrow(found);
        remember(found);
        return wrapper;
    }
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError) && !PyErr_ExceptionMatches(PyExc_TypeError))
            kc::throw_current();
        PyErr_Clear(); // an unhashable callable: made at every call
    }
    if (!PyCallable_Check(func)) {
        nb::object r = kc::steal(PyObject_Repr(func));
        kc::raise(PyExc_TypeError, "cannot run %s in a phase: not callable", PyUnicode_AsUTF8(r.ptr()));
    }
    Wrapper *w = PyObject_GC_New(Wrapper, wrapper_type);
    if (!w)
        kc::throw_current();
    w->mgr = Py_NewRef(f->mgr);
    w->phase = Py_NewRef(f->phase);
    w->func = Py_NewRef(func);
    w->dict = nullptr;
    w->weakrefs = nullptr;
    w->vectorcall = wrapper_vectorcall;
    w->always_log = f->always_log;
    PyObject_GC_Track(w);
    nb::object wrapper = nb::steal((PyObject *)w);
    // What the wrapper is called when the function has no name of its own.
    static PyObject *own_name = kc::py_str("in_phase").release().ptr();
    kc::setattr(wrapper, n_fn_name, nb::handle(own_name));
    kc::setattr(wrapper, n_fn_qualname, nb::handle(own_name));
    kc::call(nb::handle(update_wrapper()), wrapper, nb::handle(func));
    if (!m->wrappers) // cleared meanwhile by the garbage collector
        no_attribute(f->mgr, "_wrappers");
    wrappers = nb::borrow(m->wrappers); // the manager's dict now, as the reference stores into it
    if (PyDict_SetItem(wrappers.ptr(), key.ptr(), wrapper.ptr()) != 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            kc::throw_current();
        PyErr_Clear();
    } else {
        remember(wrapper.ptr());
    }
    return wrapper;
}

} // namespace

// The function a wrapper runs, for the engine's check of the user's
// callbacks: only when calling the wrapper reaches the function without
// running host code first (the manager's `_log` is ours, the phases plain
// ints), so that nothing can change the function on the way.
PyObject *phase_wrapped(PyObject *o) {
    if (!wrapper_type || Py_TYPE(o) != wrapper_type)
        return nullptr;
    Wrapper *w = (Wrapper *)o;
    if (!w->mgr || !w->func || !w->phase || !PyLong_CheckExact(w->phase))
        return nullptr;
    Mgr *m = (Mgr *)w->mgr;
    if (!m->current_phase || !m->log || !PyLong_CheckExact(m->current_phase))
        return nullptr;
    if (Py_TYPE(w->mgr) != mgr_type && kc::type_lookup(Py_TYPE(w->mgr), n_log.get()) != own_log)
        return nullptr;
    if (m->dict) {
        nb::object dict = nb::borrow(m->dict);
        PyObject *found = PyDict_GetItemWithError(dict.ptr(), n_log.get());
        if (found || PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return w->func;
}

// Runs `body` as calling the phase wrapper `wrapper` runs its function:
// the phase logged when due, set while `body` runs and put back after it,
// also when it fails; a failure leaves under the wrapper's traceback entry.
// Only for a wrapper (made here) of exactly `func`: false, with nothing
// run, for anything else.
bool run_in_phase(PyObject *wrapper, PyObject *func, const std::function<void()> &body) {
    if (!wrapper_type || Py_TYPE(wrapper) != wrapper_type || ((Wrapper *)wrapper)->func != func || !func)
        return false;
    nb::object held = nb::borrow(wrapper); // kept while it runs, as a call of it keeps it
    Wrapper *w = (Wrapper *)wrapper;
    kc::guarded(KC_SITE("korvit.native.SystemModeMgr.in_phase"), [&] {
        if (!w->mgr || !w->func)
            kc::raise(PyExc_ReferenceError, "the phase wrapper was cleared");
        // Held: the wrapper's fields may be cleared while the body runs.
        nb::object mgr = nb::borrow(w->mgr), phase = nb::borrow(w->phase);
        Mgr *m = (Mgr *)mgr.ptr();
        if (!m->current_phase)
            no_attribute(mgr.ptr(), "current_phase");
        nb::object previous = nb::borrow(m->current_phase);
        if (w->always_log || differs(previous.ptr(), phase.ptr()))
            log_phase(mgr.ptr(), phase.ptr());
        Py_XSETREF(m->current_phase, Py_NewRef(phase.ptr()));
        try {
            body();
        } catch (...) {
            Py_XSETREF(m->current_phase, previous.release().ptr());
            throw;
        }
        Py_XSETREF(m->current_phase, previous.release().ptr());
    });
    return true;
}

namespace {

// ---------------------------------------------------------------- factory

const char *const factory_qualname = "korvit.native.SystemModeMgr.factory";

// `factory(func)`, with Python's errors for other arguments.
PyObject *factory_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject *func = nargs == 1 ? args[0] : nullptr;
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "factory() takes 1 positional argument but %zd were given", nargs);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, "func") != 0) {
            kc::format_error(PyExc_TypeError, "factory() got an unexpected keyword argument '%S'", name);
            return nullptr;
        }
        if (func) {
            PyErr_SetString(PyExc_TypeError, "factory() got multiple values for argument 'func'");
            return nullptr;
        }
        func = args[nargs + i];
    }
    if (!func) {
        PyErr_SetString(PyExc_TypeError, "factory() missing 1 required positional argument: 'func'");
        return nullptr;
    }
    return entry(factory_qualname, __LINE__, [&] { return wrap((Factory *)self, func).release().ptr(); });
}

int factory_traverse(Factory *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(self->mgr);
    Py_VISIT(self->phase);
    return 0;
}

int factory_clear(Factory *self) {
    Py_CLEAR(self->mgr);
    Py_CLEAR(self->phase);
    return 0;
}

void factory_dealloc(Factory *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    factory_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject *factory_repr(Factory *self) {
    return PyUnicode_FromFormat("<korvit.native phase factory for phase %R>", self->phase);
}

PyMemberDef factory_members[] = {
    {"__vectorcalloffset__", KC_T_PYSSIZET, offsetof(Factory, vectorcall), KC_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot factory_slots[] = {{Py_tp_dealloc, (void *)factory_dealloc},
                               {Py_tp_traverse, (void *)factory_traverse},
                               {Py_tp_clear, (void *)factory_clear},
                               {Py_tp_call, (void *)wrapper_call},
                               {Py_tp_repr, (void *)factory_repr},
                               {Py_tp_members, factory_members},
                               {0, nullptr}};

PyType_Spec factory_spec = {"korvit.native.PhaseFactory", sizeof(Factory), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            factory_slots};

// ---------------------------------------------------------------- do nothing

struct DoNothing {
    PyObject_HEAD vectorcallfunc vectorcall;
};

PyObject *do_nothing_vectorcall(PyObject *, PyObject *const *, size_t, PyObject *) { return Py_NewRef(Py_None); }

PyObject *do_nothing_repr(PyObject *) { return PyUnicode_FromString("<korvit.native phase wrapper of None>"); }

PyMemberDef do_nothing_members[] = {
    {"__vectorcalloffset__", KC_T_PYSSIZET, offsetof(DoNothing, vectorcall), KC_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot do_nothing_slots[] = {{Py_tp_call, (void *)wrapper_call},
                                  {Py_tp_repr, (void *)do_nothing_repr},
                                  {Py_tp_members, do_nothing_members},
                                  {0, nullptr}};

PyType_Spec do_nothing_spec = {"korvit.native.PhaseDoNothing", sizeof(DoNothing), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               do_nothing_slots};

PyTypeObject *make_type(PyType_Spec &spec) {
    return (PyTypeObject *)kc::steal(PyType_FromSpec(&spec)).release().ptr(); // kept for the process
}

} // namespace

void bind_phase(nb::module_ &m) {
    mgr_type = make_type(mgr_spec);
    factory_type = make_type(factory_spec);
    wrapper_type = make_type(wrapper_spec);
    PyTypeObject *nothing_type = make_type(do_nothing_spec);
    DoNothing *nothing = PyObject_New(DoNothing, nothing_type);
    if (!nothing)
        kc::throw_current();
    nothing->vectorcall = do_nothing_vectorcall;
    do_nothing = (PyObject *)nothing; // kept for the process
    if (PyDict_SetItemString(mgr_type->tp_dict, "LOG_LIMIT", kc::py_int(1024).ptr()) != 0)
        kc::throw_current();
    PyType_Modified(mgr_type);
    own_log = PyDict_GetItemString(mgr_type->tp_dict, "_log");
    own_wrapper_factory = PyDict_GetItemString(mgr_type->tp_dict, "_wrapper_factory");
    if (!own_log || !own_wrapper_factory)
        kc::raise(PyExc_SystemError, "SystemModeMgr lacks its own methods");
    Py_INCREF(own_log);
    Py_INCREF(own_wrapper_factory);
    m.attr("SystemModeMgr") = nb::borrow((PyObject *)mgr_type);
}

} // namespace knative
