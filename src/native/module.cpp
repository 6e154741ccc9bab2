// korvit.native: host-layer functions in C++ that the engine and the
// environment call on every bar.  `tframe.sysdefine` installs them as
// `GlobalDefine.bar_item_pos` and `GlobalDefine.bar_field_name_to_int`; its
// Python implementations stay the reference for every unusual argument.
#define KC_SOURCE "src/native/module.cpp"
#include "core/bar_rows.hpp"
#include "native/accounts.hpp"
#include "native/loop.hpp"
#include "native/native.hpp"
#include "native/phase.hpp"
#include "native/records.hpp"
#include "native/services.hpp"
#include "native/snapshots.hpp"
#include "native/timefunc.hpp"

#include <nanobind/nanobind.h>

namespace {

namespace nb = nanobind;

kc::Name GlobalDefine{"GlobalDefine"};

nb::object gv() {
    static PyObject *module = nullptr;
    if (!module)
        module = kc::import("korvit.tframe.sysdefine").release().ptr(); // kept for the process
    return kc::getattr(module, GlobalDefine);
}

nb::object bar_item_pos(nb::handle item, nb::handle targets) {
    return kc::guarded(KC_SITE("korvit.native.bar_item_pos"), [&] { return kc::bar_item_pos(gv(), item, targets); });
}

nb::object bar_field_name_to_int(nb::handle name) {
    return kc::guarded(KC_SITE("korvit.native.bar_field_name_to_int"), [&] { return kc::bar_field_name_to_int(name); });
}

knative::EngineServices services;

} // namespace

NB_MODULE(native, m) {
    kc::guarded(KC_SITE("korvit.native.<module>"), [&] {
        m.doc() = "Host-layer functions in C++ that the engine calls on every bar.";
        kc::import_numpy();
        m.def("bar_item_pos", &bar_item_pos, nb::arg("item").none(), nb::arg("targets").none(),
              nb::sig("def bar_item_pos(item: int, targets: int | numpy.typing.NDArray[numpy.int64]) -> int | "
                      "numpy.typing.NDArray[numpy.int64]"),
              "Matrix row (head included) of bar `item` of `targets`: an int for one target index, an "
              "integer array for an array of them.");
        m.def("bar_field_name_to_int", &bar_field_name_to_int, nb::arg("name").none(),
              nb::sig("def bar_field_name_to_int(name: str) -> int"),
              "Bar item (KMatrix_*) of a field name such as \"open\" or \"amount\".");
        knative::bind_collect(m);
        knative::bind_snapshots(m);
        knative::bind_accounts(m);
        knative::bind_phase(m);
        knative::bind_timefunc(m);
        knative::bind_records(m);
        knative::bind_loop(m);
        services = {knative::phase_wrapped,        knative::quiet_snap_order,
                    knative::quiet_snap_execution, knative::stop_target_write_count(),
                    knative::stop_target_field,    knative::stop_class_fixed};
        m.attr("_engine_services") = kc::steal(PyCapsule_New(&services, knative::ENGINE_SERVICES, nullptr));
    });
}
