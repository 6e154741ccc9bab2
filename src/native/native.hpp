// korvit.native: host-layer objects in C++ that the engine calls on every bar.
#pragma once

#include "core/pyutil.hpp"

#include <nanobind/nanobind.h>

#include <cstdint>
#include <unordered_set>
#include <vector>

namespace knative {

namespace nb = nanobind;

struct Snap;

// Records under unique keys, plus named ordered subsets ("snaps"); see collect.cpp.
class CollectBase {
public:
    CollectBase(nb::handle snaps, nb::handle key_attr);
    ~CollectBase();
    CollectBase(const CollectBase &) = delete;
    CollectBase &operator=(const CollectBase &) = delete;

    nb::object size() const;
    nb::object snap_names() const;
    nb::object append(nb::handle key, nb::handle record);
    nb::object obj(nb::handle ids) const;
    void attr_update(nb::handle attr, nb::handle value, nb::handle ids) const;
    Py_ssize_t len() const;
    nb::object iter() const;
    bool contains(nb::handle key) const;

    Py_ssize_t snap_count(nb::handle name);
    nb::object snap_obj(nb::handle name);
    nb::object snap_attr_value(nb::handle name, nb::handle attr);
    nb::object snap_obj_by_idx(nb::handle name, nb::handle positions);
    void snap_remove(nb::handle name, nb::handle records);
    void snap_remove_by_idx(nb::handle name, nb::handle positions);
    void snap_obj_attr_update(nb::handle records, nb::handle attr, nb::handle value, nb::handle name, bool rm);
    // The records of the snap whose `attr` equals `value`, in snap order.
    nb::object snap_select(nb::handle name, nb::handle attr, nb::handle value);
    // The same for `target_order_id` and a plain int, from the snap's index by
    // target order; a null object when the index cannot answer (the snap's
    // records are not all of the compiled stop-order type as made, or a value
    // is not plain).  No host code runs either way.  With `positions`, also
    // the records' positions in the snap.
    nb::object snap_of_target(nb::handle name, nb::handle target_order_id,
                              std::vector<Py_ssize_t> *positions = nullptr);
    // What a scan of the snap gives that appends each record once for every
    // id of `target_order_ids` (a list or tuple of plain ints, or one) that
    // its `target_order_id` equals: the records in snap order, each repeated
    // so; from the index as above, else a null object.
    nb::object snap_of_targets(nb::handle name, nb::handle target_order_ids,
                               std::vector<Py_ssize_t> *positions = nullptr);
    // A count of the records that joined or left the snap so far: the snap is
    // as it was while this stays.
    uint64_t snap_changes(nb::handle name);

    static nb::object obj_attr_value(nb::handle records, nb::handle attr);
    static nb::object obj_attr_value_eq_all(nb::handle records, nb::handle attr, nb::handle value, bool return_obj);
    static void obj_attr_update(nb::handle records, nb::handle attr, nb::handle value);

    nb::object repr(nb::handle self);
    int traverse(visitproc visit, void *arg);
    void clear();

private:
    Snap &snap(nb::handle name);
    static void check_members(Snap &s, nb::handle name, nb::handle records);
    PyObject *lookup(nb::handle id) const;
    static std::vector<size_t> positions(nb::handle given, size_t count);

    nb::object records_;    // dict: key -> record, in append order
    nb::object snap_names_; // dict: snap name -> its index in snaps_
    nb::object key_attr_;
    // Every record appended, each held: a key whose equality answers otherwise
    // when the record is stored than when its presence was checked replaces
    // the record stored under an equal key, which stays in its snaps.
    std::unordered_set<PyObject *> stored_;
    std::vector<Snap> snaps_;
};

void bind_collect(nb::module_ &m);

// A new reference kept for the process, and an interned string kept so.
inline PyObject *keep(nb::object o) { return o.release().ptr(); }
inline PyObject *interned(const char *s) {
    PyObject *o = PyUnicode_InternFromString(s);
    if (!o)
        kc::throw_current();
    return o;
}

} // namespace knative
