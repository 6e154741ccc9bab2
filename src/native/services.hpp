// What korvit.native lends the engine (korvit.backtest.domain) at C level,
// handed over as the capsule `korvit.native._engine_services`: the two
// modules are built apart, so the engine reaches these through pointers.
#pragma once

#include <Python.h>

#include <cstdint>

namespace knative {

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
    // Counts every write (or deletion) of `target_order_id` or `__class__`
    // on a KVBackStopOrder record: a record's target changes only with it.
    const uint64_t *stop_target_writes;
    // The attribute hook of KVBackStopOrder that counts those writes.
    setattrofunc stop_setattro;
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
