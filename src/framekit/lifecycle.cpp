// Start-up handshake with the core process, the process-exit hook, the
// environment's lifecycle operations and the K-data frequency rule maps.
#define KC_SOURCE "src/framekit/lifecycle.cpp"
#include "framekit/framekit.hpp"

#include <exception>

namespace fk {

namespace {

using kc::call;
using kc::call_method;
using kc::getattr;
using kc::steal;

kc::OwnFunction own_check_version{"_first_cmd_to_check_version", KC_SITE(FK_QUAL("_first_cmd_to_check_version"))};
kc::OwnFunction own_get_cache_dir{"_first_cmd_to_get_cache_dir", KC_SITE(FK_QUAL("_first_cmd_to_get_cache_dir"))};

nb::object logger_manager() { return kc::import_from("korvit.tframe.utils.logger", "LoggerManager"); }
nb::object output_file_manager() { return kc::import_from("korvit.tframe.utils.utilcls", "OutputFileManager"); }

// The registry's cache, reached afresh through the module's environment.
nb::object core_cache() { return getattr(getattr(ns.get(n::env), n::vr), n::g_KorvitCache); }

// ------------------------------------------------------------- handshake

void check_version() {
    nb::object support_kv = call(kc::import_from("korvit", "get_support"));
    nb::object korvit_version = call(kc::import_from("korvit", "get_version"));
    nb::object info_dict = call(kc::import_from("korvit.tframe.comm.kvcmd", "kvSendCmdToolboxCheck"),
                                kc::py_str("python"), korvit_version, support_kv);
    nb::object kv_support = steal(PySequence_Tuple(kc::getitem(info_dict, kc::py_str("listSupportedToolbox")).ptr()));
    nb::object kv_version = kc::getitem(info_dict, kc::py_str("wstrCoreVer"));

    nb::object kv_name = kc::getattr_or(ns.get(n::sysdefine), n::kvcore_name, kc::py_str("Korvit"));

    kc::setattr(core_cache(), n::kv_support_list, steal(PySequence_List(kv_support.ptr())));
    kc::setattr(core_cache(), n::kv_version, kv_version);

    // Either side accepting the other is enough.
    int accepted = PySequence_Contains(kv_support.ptr(), korvit_version.ptr());
    if (accepted == 0)
        accepted = PySequence_Contains(support_kv.ptr(), kv_version.ptr());
    if (accepted < 0)
        kc::throw_current();
    if (accepted)
        return;

    nb::object text = kc::import_from("korvit.tframe.language", "text");
    static Name ERROR_NOTSUPPORT_KVVERSION{"ERROR_NOTSUPPORT_KVVERSION"}, KORVITVERSION{"KORVITVERSION"},
        SUPPORTKVVERSION{"SUPPORTKVVERSION"}, KVNAME{"KVNAME"}, KVVERSION{"KVVERSION"},
        KVSUPPORTVERSION{"KVSUPPORTVERSION"};
    nb::object tips = kc::call_kw(getattr(getattr(text, ERROR_NOTSUPPORT_KVVERSION), n::format), {},
                                  {{KORVITVERSION, korvit_version},
                                   {SUPPORTKVVERSION, support_kv},
                                   {KVNAME, kv_name},
                                   {KVVERSION, kv_version},
                                   {KVSUPPORTVERSION, kv_support}});
    kc::setattr(core_cache(), n::not_allow_comm_kv_tips, tips);
    kc::setattr(core_cache(), n::allow_comm_kv, kc::py_bool(false));
    nb::object error = call(kc::import_from("korvit.tframe.utils.exceptions", "VersionError"), tips);
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    kc::throw_current();
}

void get_cache_dir() {
    nb::object cache_dir = call(kc::import_from("korvit.tframe.comm.kvcmd", "kvSendCmdGetToolBoxRootofCacheDir"));
    call_method(output_file_manager(), n::init, cache_dir);
    nb::object loggers = logger_manager();
    call_method(loggers, n::rm_log_file);
    nb::object join = kc::import_from("os.path", "join");
    call_method(loggers, n::init, call(join, cache_dir, kc::py_str("log")));
}

nb::object check_version_entry() {
    return KC_GUARD(FK_QUAL("_first_cmd_to_check_version"), {
        check_version();
        return kc::none();
    });
}

nb::object get_cache_dir_entry() {
    return KC_GUARD(FK_QUAL("_first_cmd_to_get_cache_dir"), {
        get_cache_dir();
        return kc::none();
    });
}

nb::object before_first_cmd() {
    own_check_version.call(ns, check_version_entry);
    own_get_cache_dir.call(ns, get_cache_dir_entry);
    return kc::py_bool(true);
}

// Disconnects through the environment (a failure is logged, never raised)
// and always logs the exit line.
void sys_exit() {
    std::exception_ptr pending;
    try {
        try {
            nb::object env = ns.get_or_none(n::env);
            if (!env.is_none())
                call_method(env, n::kv_disconnect_to);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
            call(ns.get(n::write_syslog), e.value());
        }
    } catch (...) {
        pending = std::current_exception();
    }
    call(ns.get(n::write_syslog), kc::py_str("Python interpreter exit!"));
    if (pending)
        std::rethrow_exception(pending);
}

// ------------------------------------------------------------- rule maps

nb::object synthetic_k_data_rule_map(nb::handle frequency_i) {
    nb::object gv = ns.get(n::gv);
    nb::object day = getattr(gv, n::KFreq_Day);
    nb::object rules = steal(PyDict_New());
    kc::setitem(rules, getattr(gv, n::KFreq_Min), getattr(gv, n::KFreq_Min));
    kc::setitem(rules, day, day);
    kc::setitem(rules, getattr(gv, n::KFreq_Week), day);
    kc::setitem(rules, getattr(gv, n::KFreq_Month), day);
    kc::setitem(rules, getattr(gv, n::KFreq_Year), day);
    return kc::getitem(rules, frequency_i);
}

nb::object adjust_topmost_rule_map(nb::handle frequency_i) {
    nb::object gv = ns.get(n::gv);
    for (Name *to_day : {&n::KFreq_Year, &n::KFreq_Month, &n::KFreq_Week, &n::KFreq_Day})
        if (kc::equals(frequency_i, getattr(gv, *to_day)))
            return getattr(gv, n::KFreq_Day);
    if (kc::equals(frequency_i, getattr(gv, n::KFreq_Min)))
        return getattr(gv, n::KFreq_Min);
    if (kc::equals(frequency_i, getattr(gv, n::KFreq_Tick)))
        return getattr(gv, n::KFreq_Tick);
    nb::object args = steal(PyTuple_Pack(1, frequency_i.ptr()));
    nb::object text = steal(PyUnicode_Format(kc::py_str("Not exist rule map, frequency_i=`%s`").ptr(), args.ptr()));
    PyErr_SetObject(PyExc_ValueError, text.ptr());
    kc::throw_current();
}

// ------------------------------------------- environment lifecycle operations

nb::object more_info(nb::handle self) {
    nb::object cache = getattr(getattr(self, n::vr), n::g_KorvitCache);
    nb::object info = steal(PyDict_New());
    auto put = [&](const char *key, nb::handle value) {
        if (PyDict_SetItemString(info.ptr(), key, value.ptr()) != 0)
            kc::throw_current();
    };
    put("kvcore_version", getattr(cache, n::kv_version));
    put("kvcore_support", getattr(getattr(getattr(self, n::vr), n::g_KorvitCache), n::kv_support_list));
    put("korvit_version", call(kc::import_from("korvit", "get_version")));
    put("korvit_support", call(kc::import_from("korvit", "get_support")));
    return info;
}

// Environment lifecycle operations.
void kv_disconnect_to(nb::handle self) {
    call_method(getattr(getattr(self, n::vr), n::g_KorvitSocket), n::disconnect);
    call_method(getattr(getattr(self, n::vr), n::g_KorvitSocketSub), n::disconnect);
}

void set_kvcore_task_id(nb::handle self, nb::handle task_id) {
    kc::setattr(getattr(self, n::vr), n::g_KorvitModeTaskId, task_id);
    call_method(logger_manager(), n::set_task_id_as_log_filename, task_id);
    call_method(output_file_manager(), n::set_task_id, task_id);
}

void release_source() { call_method(logger_manager(), n::remove_log_handler); }
nb::object root_sub_dir(nb::handle sub) { return call_method(output_file_manager(), n::root_sub_dir, sub); }
nb::object rm_root_sub_dir(nb::handle sub) { return call_method(output_file_manager(), n::rm_root_sub_dir, sub); }
nb::object mk_root_sub_dir(nb::handle sub) { return call_method(output_file_manager(), n::mk_root_sub_dir, sub); }
nb::object cls_root_sub_dir(nb::handle sub) { return call_method(output_file_manager(), n::cls_root_sub_dir, sub); }

nb::object before_first_cmd_entry() {
    return KC_GUARD(FK_QUAL("_before_first_cmd"), { return before_first_cmd(); });
}

} // namespace

#define FK_OP(name) kc::guard<name>(KC_SITE(FK_QUAL("SystemBaseEnv." #name)))

// Parameters take any value, None included: signatures name them without types.
void bind_environment_lifecycle(nb::class_<SystemBaseEnv> &cls) {
    cls.def("kv_disconnect_to", FK_OP(kv_disconnect_to), nb::sig("def kv_disconnect_to(self) -> None"),
            "Disconnects both sockets to the core process.");
    cls.def("set_kvcore_task_id", FK_OP(set_kvcore_task_id),
            nb::sig("def set_kvcore_task_id(self, task_id: int | str) -> None"), ARG("task_id"),
            "Stores the task id given by the core process and names the log and output files after it.");
    cls.def("more_info", FK_OP(more_info), nb::sig("def more_info(self) -> dict[str, typing.Any]"),
            "Versions of the core process and of this framework.");
    cls.def_static("release_source", FK_OP(release_source), nb::sig("def release_source() -> None"),
                   "Releases the log handler.");
    cls.def_static("root_sub_dir", FK_OP(root_sub_dir),
                   nb::sig("def root_sub_dir(sub: str | os.PathLike[str] = '') -> str"), ARG("sub") = "",
                   "Path of a sub-directory of the output root.");
    cls.def_static("rm_root_sub_dir", FK_OP(rm_root_sub_dir),
                   nb::sig("def rm_root_sub_dir(sub: str | os.PathLike[str]) -> bool"), ARG("sub"),
                   "Removes a sub-directory of the output root.");
    cls.def_static("mk_root_sub_dir", FK_OP(mk_root_sub_dir),
                   nb::sig("def mk_root_sub_dir(sub: str | os.PathLike[str]) -> str"), ARG("sub"),
                   "Creates a sub-directory of the output root.");
    cls.def_static("cls_root_sub_dir", FK_OP(cls_root_sub_dir),
                   nb::sig("def cls_root_sub_dir(sub: str | os.PathLike[str]) -> str"), ARG("sub"),
                   "Empties a sub-directory of the output root.");
}

#define FK_FN(name) kc::guard<name>(KC_SITE(FK_QUAL(#name)))

void bind_lifecycle(nb::module_ &m) {
    m.def("_before_first_cmd", &before_first_cmd_entry, nb::sig("def _before_first_cmd() -> bool"),
          "Connect callback of the command socket: version check, then cache-directory set-up.");
    m.def("_first_cmd_to_check_version", &check_version_entry, nb::sig("def _first_cmd_to_check_version() -> None"),
          "Checks that this framework and the core process accept each other's versions.");
    m.def("_first_cmd_to_get_cache_dir", &get_cache_dir_entry, nb::sig("def _first_cmd_to_get_cache_dir() -> None"),
          "Sets up the output and log directories under the core's cache root.");
    m.def("sys_exit", FK_FN(sys_exit), nb::sig("def sys_exit() -> None"),
          "Process-exit hook: disconnects from the core process and logs the exit.");
    static Name register_{"register"};
    kc::call_method(kc::import("atexit"), register_, m.attr("sys_exit"));
    m.def("synthetic_k_data_rule_map", FK_FN(synthetic_k_data_rule_map),
          nb::sig("def synthetic_k_data_rule_map(frequency_i: int) -> int"), ARG("frequency_i"),
          "Frequency from which K-data of `frequency_i` is synthesised.");
    m.def("adjust_topmost_rule_map", FK_FN(adjust_topmost_rule_map),
          nb::sig("def adjust_topmost_rule_map(frequency_i: int) -> int"), ARG("frequency_i"),
          "Top-most frequency of adjusted K-data of `frequency_i`.");
    own_check_version.capture(ns);
    own_get_cache_dir.capture(ns);
}

} // namespace fk
