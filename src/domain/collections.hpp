// The record collections, as the engine calls them.  While a collection is
// one of korvit.native's CollectBase (or a subclass) and the method the
// engine calls is still the compiled one (not replaced on the class, in a
// subclass or on the instance), the engine runs it directly, without a
// Python call; anything else is called through Python as usual.  Both paths
// give the same results and make the same calls on the records.
#pragma once

#include "domain/domain.hpp"
#include "native/native.hpp"

namespace dm::coll {

// The compiled collection behind `c` when its method `method` is still the
// compiled one, else null.
knative::CollectBase *ours(nb::handle c, Name &method);
// Whether `cls` is the compiled CollectBase class and its static `method` is the compiled one.
bool ours_static(nb::handle cls, Name &method);

// Whether `env`'s method `method` is still the compiled one of SystemBaseEnv
// (not replaced on its class, in a subclass or on the instance).
bool env_method_is_ours(nb::handle env, Name &method);

// Lets the classes and methods these checks keep go when the interpreter ends.
void release_at_exit();

// Runs `fast` on the compiled collection under the traceback entry of the
// bound method, or calls the method through Python.
#define DM_COLL_CALL(c, method, site, fast, ...)                                                                       \
    do {                                                                                                               \
        if (knative::CollectBase *p = ours(c, method))                                                                 \
            return kc::guarded(site, KC_SOURCE, __LINE__, [&] { return fast; });                                       \
        return kc::call_method(c, method, __VA_ARGS__);                                                                \
    } while (0)

inline nb::object snap_count(nb::handle c, nb::handle name) {
    DM_COLL_CALL(c, n::snap_count, "korvit.native.CollectBase.snap_count", kc::py_int(p->snap_count(name)), name);
}
inline nb::object snap_obj(nb::handle c, nb::handle name) {
    DM_COLL_CALL(c, n::snap_obj, "korvit.native.CollectBase.snap_obj", p->snap_obj(name), name);
}
inline nb::object snap_attr_value(nb::handle c, nb::handle name, nb::handle attr) {
    DM_COLL_CALL(c, n::snap_attr_value, "korvit.native.CollectBase.snap_attr_value", p->snap_attr_value(name, attr),
                 name, attr);
}
inline nb::object obj(nb::handle c, nb::handle ids) {
    DM_COLL_CALL(c, n::obj, "korvit.native.CollectBase.obj", p->obj(ids), ids);
}
inline nb::object snap_remove(nb::handle c, nb::handle name, nb::handle records) {
    DM_COLL_CALL(c, n::snap_remove, "korvit.native.CollectBase.snap_remove",
                 (p->snap_remove(name, records), kc::none()), name, records);
}

#undef DM_COLL_CALL

// The records of snap `name` of `c` whose `target_order_id` equals the plain
// int `id`, in snap order (with their positions in it, when asked), from the
// snap's index while `c` and its `snap_obj` are the compiled ones: what a
// scan of `snap_obj(name)` finds, where no host code runs either way.  A
// null object when the index cannot answer: the caller scans.  `changes`,
// when given, is set to the snap's count of changes as the index answered,
// read from the same collection: making the answer may run the garbage
// collector, whose finalizers may replace `snap_obj` meanwhile, so `c` may no
// longer be ours by then.
inline nb::object of_target(nb::handle c, nb::handle name, nb::handle id, std::vector<Py_ssize_t> *positions = nullptr,
                            uint64_t *changes = nullptr) {
    if (knative::CollectBase *p = ours(c, n::snap_obj))
        return kc::guarded(KC_SITE("korvit.native.CollectBase.snap_obj"), [&] {
            nb::object found = p->snap_of_target(name, id, positions);
            if (changes && found.is_valid())
                *changes = p->snap_changes(name);
            return found;
        });
    return nb::object();
}
// The same for a list or tuple of plain ints: each record as many times as
// it is wanted (see CollectBase::snap_of_targets).
inline nb::object of_targets(nb::handle c, nb::handle name, nb::handle ids) {
    if (knative::CollectBase *p = ours(c, n::snap_obj))
        return kc::guarded(KC_SITE("korvit.native.CollectBase.snap_obj"),
                           [&] { return p->snap_of_targets(name, ids); });
    return nb::object();
}

} // namespace dm::coll
