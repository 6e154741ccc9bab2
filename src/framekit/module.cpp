// Module set-up of tframe.framekit: the host names it binds, its classes and
// functions, the exit hook, and the globals smm, vr and env.
#define KC_SOURCE "src/framekit/module.cpp"
#include "framekit/framekit.hpp"

namespace fk {

kc::ModuleNamespace ns;

namespace {

// Binds `names` of host module `module` as globals of this module.
void bind_from(nb::module_ &m, const char *module, std::initializer_list<const char *> names) {
    for (const char *name : names)
        m.attr(name) = kc::import_from(module, name);
}

void bind_host_names(nb::module_ &m) {
    m.attr("np") = kc::import("numpy");
    bind_from(m, "collections", {"OrderedDict"});
    bind_from(m, "tframe.uclass",
              {"CacheMgr", "HeatBeat", "StrategyItem", "SettingItem", "OrderModeMgr", "KDataContainer",
               "AdjKDataContainer", "RegKDataContainer", "AdjRegKDataContainer", "MainContractTimeSeriesData",
               "InstrumentTimeSeriesData", "DotDict", "StatusCollect", "SystemModeMgr"});
    m.attr("gv") = kc::import_from("tframe.sysdefine", "GlobalDefine");
    m.attr("sysdefine") = kc::import("tframe.sysdefine");
    bind_from(m, "tframe.comm.kvclient", {"ClientSocket"});
    bind_from(m, "tframe.utils.logger", {"write_syslog", "user_warning"});
    bind_from(m, "tframe.utils.argchecker", {"ArgumentChecker"});
    bind_from(m, "tframe.ufuncs", {"todotmc"});
    bind_from(m, "korvit.setting", {"get_setting"});
}

// smm, vr and env, created in this order and bound together.
void create_globals(nb::module_ &m) {
    m.attr("smm") = kc::call(ns.get(n::SystemModeMgr));
    m.attr("vr") = kc::call(m.attr("SystemBaseVar"));
    m.attr("env") = kc::call(m.attr("SystemBaseEnv"));
    kc::call_method(ns.get(n::env), n::set_env, ns.get(n::vr), ns.get(n::gv), ns.get(n::smm));
}

} // namespace

} // namespace fk

NB_MODULE(framekit, m) {
    using namespace fk;
    kc::guarded(KC_SITE(FK_QUAL("<module>")), [&] {
        m.doc() = "The strategy environment base: the registry of global state, the environment facade, the "
                  "start-up handshake with the core process, the exit hook and the K-data frequency rule maps.";
        kc::import_numpy();
        ns.bind(m);
        bind_host_names(m);
        bind_registry(m);
        bind_environment(m);
        // The methods as made here: the engine runs an environment's method
        // directly only while the one found on it is still one of these.
        m.attr("_env_methods") =
            kc::steal(PyDict_Copy(reinterpret_cast<PyTypeObject *>(m.attr("SystemBaseEnv").ptr())->tp_dict));
        bind_lifecycle(m);
        create_globals(m);
        nb::list all;
        for (const char *name : {"smm", "env", "vr", "SystemBaseVar", "SystemBaseEnv", "gv",
                                 "synthetic_k_data_rule_map", "adjust_topmost_rule_map"})
            all.append(name);
        m.attr("__all__") = all;
    });
}
