// What korvit.native lends the engine (korvit.backtest.domain) at C level,
// handed over as the capsule `korvit.native._engine_services`: the two
// modules are built apart, so the engine reaches these through pointers.
#pragma once

#include <Python.h>

#include <cstdint>

namespace knative {

// How KVBackStopOrder's instances read `target_order_id` while they read it
// from its slot through the descriptor that counts its writes, and their
// class through the one that counts class changes: the type, its version
// tag then (never 0: any change of the type or its bases drops it) and the
// slot's offset.
struct StopTargetField {
    PyTypeObject *type;
    unsigned int version;
    Py_ssize_t offset;
};

struct EngineServices {
    // The function a phase wrapper of korvit.native's SystemModeMgr runs
    // (borrowed), or null when `o` is no such wrapper.
    PyObject *(*phase_wrapped)(PyObject *o);
    // Whether korvit.native.snap_order / snap_execution of these arguments
    // would make their snapshot without running any host code and without
    // failing (1), or not (0); -1 with a Python error set when a check fails.
    // Nothing a host could see happens in either case.
    int (*quiet_snap_order)(PyObject *order, PyObject *account_names, PyObject *target_list);
    int (*quiet_snap_execution)(PyObject *order, PyObject *trade, PyObject *account_names, PyObject *target_list);
    // Counts every write and deletion of a KVBackStopOrder's
    // `target_order_id` and every change of its class, whichever way it is
    // made (see records.cpp): a record's target changes only with it.
    const uint64_t *stop_target_writes;
    // How KVBackStopOrder's instances read `target_order_id` (false when not
    // through the descriptors that count those writes; see StopTargetField).
    bool (*stop_target_field)(StopTargetField &out);
    // Whether every write that can change a KVBackStopOrder's class is
    // counted in `stop_target_writes` too (true while the type has no
    // subtype: object's own `__class__` descriptor, which no count sees,
    // then moves none of its instances).
    bool (*stop_class_fixed)();
};

inline constexpr const char *ENGINE_SERVICES = "korvit.native._engine_services";

// The services (korvit.native imported on first use); null with a Python error set.
inline const EngineServices *engine_services() {
    static const EngineServices *found = nullptr;
    if (!found) {
        PyObject *module = PyImport_ImportModule("korvit.native");
        if (!module)
            return nullptr;
        Py_DECREF(module); // kept by sys.modules
        found = static_cast<const EngineServices *>(PyCapsule_Import(ENGINE_SERVICES, 0));
    }
    return found;
}

} // namespace knative
