// SystemBaseVar: the registry of the framework's global state.
#define KC_SOURCE "src/framekit/registry.cpp"
#include "framekit/framekit.hpp"
#include "core/numpy.hpp"

#include <cmath>

namespace fk {

namespace {

constexpr const char *LOOPBACK = "127.0.0.1";
constexpr long long CORE_PORT = 3293;
constexpr long long DEFAULT_SOCKET_TIMEOUT = 300;

nb::object empty_array() {
    npy_intp dims[1] = {0};
    return kc::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
}

nb::object new_of(Name &cls) { return kc::call(ns.get(cls)); }

// ClientSocket(loopback, core port, host setting `key` or its default).
nb::object core_socket(const char *timeout_key) {
    nb::object timeout = kc::call(ns.get(n::get_setting), kc::py_str(timeout_key), kc::py_int(DEFAULT_SOCKET_TIMEOUT));
    return kc::call(ns.get(n::ClientSocket), kc::py_str(LOOPBACK), kc::py_int(CORE_PORT), timeout);
}

} // namespace

void registry_init(nb::handle self) {
    using kc::setattr;
    setattr(self, n::g_KorvitCache, new_of(n::CacheMgr));
    setattr(self, n::g_KorvitSocket, core_socket("KV_SOCKET_TIMEOUT"));
    kc::call_method(kc::getattr(self, n::g_KorvitSocket), n::set_callback_connected, ns.get(n::_before_first_cmd));
    setattr(self, n::g_KorvitSocketSub, core_socket("KV_SUB_SOCKET_TIMEOUT"));
    setattr(self, n::g_KorvitLastHeartBeat, new_of(n::HeatBeat));
    setattr(self, n::g_KorvitModeTaskId, kc::py_float(NAN));
    setattr(self, n::g_KorvitInputInfo, new_of(n::StrategyItem));
    setattr(self, n::g_KorvitSettingInfo, new_of(n::SettingItem));
    setattr(self, n::g_KorvitFreshBarStatus, kc::py_bool(false));
    setattr(self, n::g_KorvitAccountOrderMode, new_of(n::OrderModeMgr));
    setattr(self, n::g_KorvitAccounts, kc::steal(PyList_New(0)));
    setattr(self, n::g_KorvitKDataList, new_of(n::KDataContainer));
    setattr(self, n::g_KorvitKDataList_Adj, new_of(n::AdjKDataContainer));
    setattr(self, n::g_KorvitDataValueFresh, empty_array());
    setattr(self, n::g_KorvitDataValueFresh_Adj, empty_array());
    setattr(self, n::g_KorvitRegKDataInfo, new_of(n::RegKDataContainer));
    setattr(self, n::g_KorvitRegKDataInfo_Adj, new_of(n::AdjRegKDataContainer));
    setattr(self, n::g_KorvitTargetsInfo, new_of(n::OrderedDict));
    setattr(self, n::g_KorvitMainContracts, new_of(n::MainContractTimeSeriesData));
    setattr(self, n::g_KorvitDataValueFreshUserD, empty_array());
    setattr(self, n::g_KorvitDataValueFreshUserI, empty_array());
    setattr(self, n::g_KorvitSimCurBarFresh, kc::py_float(NAN));
    setattr(self, n::g_KorvitTradingDays, empty_array());
    nb::object DotDict = ns.get(n::DotDict);
    setattr(self, n::g_KorvitTickMap, kc::call(DotDict, kc::steal(PyDict_New())));
    setattr(self, n::g_KorvitCurTickInfo, kc::call(DotDict, kc::steal(PyDict_New())));
    setattr(self, n::g_KorvitLastChangeOrder, kc::call(DotDict, kc::steal(PyDict_New())));
    setattr(self, n::g_KorvitDailyCloseTime, kc::py_int(0));
    setattr(self, n::g_KorvitInstrument, new_of(n::InstrumentTimeSeriesData));
    setattr(self, n::g_KorvitFactorValueDict, kc::steal(PyDict_New()));
    setattr(self, n::g_KorvitUserContext, kc::none());
    setattr(self, n::g_KorvitMinFreqTurnPos, kc::py_bool(false));
}

void registry_set_env(nb::handle self, nb::handle env) {
    nb::object collector = kc::call_method(ns.get(n::StatusCollect), n::instance);
    kc::setattr(collector, n::env, env);
}

void registry_save_snapshot(nb::handle self) {
    nb::object save_mat = kc::import_from("korvit.tframe.utils.utilfunc", "save_mat");
    nb::object logger_manager = kc::import_from("korvit.tframe.utils.logger", "LoggerManager");

    auto field = [&](Name &name) { return kc::getattr(self, name); };
    auto snapped = [&](Name &name) { return kc::call_method(field(name), n::snap); };

    nb::object snap = kc::steal(PyDict_New());
    auto put = [&](const char *key, nb::handle value) {
        if (PyDict_SetItemString(snap.ptr(), key, value.ptr()) != 0)
            kc::throw_current();
    };
    put("StrategyTaskId", field(n::g_KorvitModeTaskId));
    put("StrategyInputInfo", snapped(n::g_KorvitInputInfo));
    put("FreshBarStatus", field(n::g_KorvitFreshBarStatus));
    put("AccountOrderMode", kc::getattr(field(n::g_KorvitAccountOrderMode), n::order_mode));
    put("KDataList", snapped(n::g_KorvitKDataList));
    put("KDataList_adj", snapped(n::g_KorvitKDataList_Adj));
    put("DataValueFresh", field(n::g_KorvitDataValueFresh));
    put("RegKDataInfo", snapped(n::g_KorvitRegKDataInfo));
    put("TargetsInfo", field(n::g_KorvitTargetsInfo));
    put("DataValueFreshUserD", field(n::g_KorvitDataValueFreshUserD));
    put("SimCurBarFresh", field(n::g_KorvitSimCurBarFresh));
    put("TradingDays", field(n::g_KorvitTradingDays));
    put("TickMap", field(n::g_KorvitTickMap));
    put("CurTickInfo", field(n::g_KorvitCurTickInfo));
    put("LastChangeOrder", field(n::g_KorvitLastChangeOrder));
    put("DailyCloseTime", field(n::g_KorvitDailyCloseTime));
    put("InstrumentDict", snapped(n::g_KorvitInstrument));
    put("FactorValueDict", field(n::g_KorvitFactorValueDict));

    // Named after the task id once the core process gave one, else after the
    // log time stamp.
    nb::object task_id = field(n::g_KorvitModeTaskId);
    bool no_task = kc::is_real_scalar(task_id) && std::isnan(kc::as_double(task_id));
    nb::object filename =
        no_task ? kc::call_method(logger_manager, n::log_timestamp) : kc::steal(PyObject_Str(task_id.ptr()));
    nb::object name = kc::steal(PyUnicode_Concat(kc::py_str("py_error_").ptr(), filename.ptr()));
    name = kc::steal(PyUnicode_Concat(name.ptr(), kc::py_str(".mat").ptr()));

    nb::object os_path = kc::import("os.path");
    nb::object join = kc::steal(PyObject_GetAttrString(os_path.ptr(), "join"));
    nb::object snap_path = kc::call(join, kc::call_method(logger_manager, n::log_dir), name);

    static Name error{"error"}, appendmat{"appendmat"};
    kc::call_kw(save_mat, {snap_path, snap}, {{error, kc::py_str("ignore")}, {appendmat, kc::py_bool(false)}});

    nb::object exists = kc::steal(PyObject_GetAttrString(os_path.ptr(), "exists"));
    nb::object shown = kc::truthy(kc::call(exists, snap_path)) ? snap_path : kc::py_str("");
    nb::object text = kc::steal(PyUnicode_Concat(kc::py_str("错误快照：").ptr(), shown.ptr()));
    kc::call(ns.get(n::user_warning), text);
}

// ------------------------------------------------------------------ binding

namespace {

void registry_init_native(SystemBaseVar *p) {
    new (p) SystemBaseVar();
    KC_GUARD(FK_QUAL("SystemBaseVar.__init__"), { registry_init(nb::find(p)); });
}

// The class-wide table of named values lives on the class itself, so a name
// set there reads through any registry object without a field of that name.
void set_value(nb::handle cls, nb::handle key, nb::handle value) {
    if (PyObject_SetAttr(cls.ptr(), key.ptr(), value.ptr()) != 0)
        kc::throw_current();
}

nb::object get_value(nb::handle cls, nb::handle key, nb::handle dflt) { return kc::getattr_or(cls, key, dflt); }

void del_value(nb::handle cls, nb::handle key) {
    if (!PyUnicode_Check(key.ptr()))
        kc::raise(PyExc_TypeError, "hasattr(): attribute name must be string");
    nb::object missing = kc::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject *>(&PyBaseObject_Type)));
    if (kc::getattr_or(cls, key, missing).is(missing))
        return;
    if (PyObject_DelAttr(cls.ptr(), key.ptr()) != 0)
        kc::throw_current();
}

void add_classmethod(nb::handle cls, const char *name, nb::object func) {
    nb::object method = kc::steal(PyClassMethod_New(func.ptr()));
    if (PyObject_SetAttrString(cls.ptr(), name, method.ptr()) != 0)
        kc::throw_current();
}

} // namespace

#define FK_OP(name) kc::guard<name>(KC_SITE(FK_QUAL("SystemBaseVar." #name)))

// Parameters take any value, None included (the operations check what they
// read); the signatures give the types the framework passes, for help() and
// the generated stub.
void bind_registry(nb::module_ &m) {
    auto cls =
        nb::class_<SystemBaseVar>(m, "SystemBaseVar", nb::dynamic_attr(), "Registry of the framework's global state.");
    cls.def("__init__", &registry_init_native, "Creates every registry field with its initial value.");
    cls.def("set_env", kc::guard<registry_set_env>(KC_SITE(FK_QUAL("SystemBaseVar.set_env"))),
            nb::sig("def set_env(self, env_: SystemBaseEnv) -> None"), ARG("env_"),
            "Hands the environment object to the host's status collector.");
    cls.def("save_snapshot", kc::guard<registry_save_snapshot>(KC_SITE(FK_QUAL("SystemBaseVar.save_snapshot"))),
            nb::sig("def save_snapshot(self) -> None"),
            "Saves an error snapshot of the registry to a .mat file in the log directory.");
    add_classmethod(cls, "set_value",
                    nb::cpp_function(FK_OP(set_value), nb::sig("def set_value(cls, key: str, value: object) -> None"),
                                     nb::arg("cls"), ARG("key"), ARG("value"), "Stores a class-wide named value."));
    add_classmethod(cls, "get_value",
                    nb::cpp_function(FK_OP(get_value),
                                     nb::sig("def get_value(cls, key: str, default: typing.Any = None) -> typing.Any"),
                                     nb::arg("cls"), ARG("key"), ARG("default") = nb::none(),
                                     "The class-wide value named `key`, or `default`."));
    add_classmethod(cls, "del_value",
                    nb::cpp_function(FK_OP(del_value), nb::sig("def del_value(cls, key: str) -> None"), nb::arg("cls"),
                                     ARG("key"), "Removes the class-wide value named `key`, if any."));
}

} // namespace fk
