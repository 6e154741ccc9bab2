// The Python class korvit.native.CollectBase over the C++ collection.
#define KC_SOURCE "src/native/collect_binding.cpp"
#include "native/native.hpp"

namespace knative {

namespace {

int collect_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self))
        return 0;
    return nb::inst_ptr<CollectBase>(self)->traverse(visit, arg);
}

int collect_clear(PyObject *self) {
    if (nb::inst_ready(self))
        nb::inst_ptr<CollectBase>(self)->clear();
    return 0;
}

PyType_Slot collect_slots[] = {
    {Py_tp_traverse, (void *)collect_traverse}, {Py_tp_clear, (void *)collect_clear}, {0, nullptr}};

#define KN_SITE(method) KC_SITE("korvit.native.CollectBase." method)
#define KN_ARG(name) nb::arg(name).none()

} // namespace

void bind_collect(nb::module_ &m) {
    using C = CollectBase;
    nb::class_<C>(m, "CollectBase", nb::type_slots(collect_slots), nb::is_weak_referenceable(),
                  "Records under unique keys, plus named ordered subsets (\"snaps\") such as the pending orders.")
        .def(
            "__init__",
            [](C *self, nb::handle snaps, nb::handle key_attr) {
                kc::guarded(KN_SITE("__init__"), [&] { new (self) C(snaps, key_attr); });
            },
            KN_ARG("snaps") = nb::tuple(), KN_ARG("key_attr") = nb::none(),
            nb::sig(
                "def __init__(self, snaps: collections.abc.Iterable[str] = (), key_attr: str | None = None) -> None"),
            "`snaps`: the names of the snaps every appended record joins; `key_attr`: the record attribute "
            "holding its key, if any.")
        .def_prop_ro(
            "size", [](C &c) { return kc::guarded(KN_SITE("size"), [&] { return c.size(); }); },
            nb::sig("def size(self) -> int"), "Number of records ever stored (also the next automatic key).")
        .def_prop_ro(
            "snap_names", [](C &c) { return kc::guarded(KN_SITE("snap_names"), [&] { return c.snap_names(); }); },
            nb::sig("def snap_names(self) -> list[str]"), "The snap names, in their order.")
        .def(
            "append",
            [](C &c, nb::handle key, nb::handle record) {
                return kc::guarded(KN_SITE("append"), [&] { return c.append(key, record); });
            },
            KN_ARG("key"), KN_ARG("record"),
            nb::sig("def append(self, key: collections.abc.Hashable | None, record: typing.Any) -> "
                    "collections.abc.Hashable"),
            "Stores `record` under `key` (None: its key attribute, or the next number); returns the key.")
        .def(
            "obj", [](C &c, nb::handle ids) { return kc::guarded(KN_SITE("obj"), [&] { return c.obj(ids); }); },
            KN_ARG("ids"),
            nb::sig("def obj(self, ids: collections.abc.Hashable | list[typing.Any] | tuple[typing.Any, ...] | "
                    "numpy.typing.NDArray[typing.Any]) -> list[typing.Any]"),
            "The record of each id, in order; None for an unknown or NaN id.")
        .def(
            "attr_update",
            [](C &c, nb::handle attr, nb::handle value, nb::handle ids) {
                kc::guarded(KN_SITE("attr_update"), [&] { c.attr_update(attr, value, ids); });
            },
            KN_ARG("attr"), KN_ARG("value"), KN_ARG("ids"),
            nb::sig("def attr_update(self, attr: str, value: object, ids: collections.abc.Hashable | list[typing.Any] "
                    "| tuple[typing.Any, ...] | numpy.typing.NDArray[typing.Any]) -> None"),
            "Sets `attr` to `value` on the records with those ids (all or none).")
        .def(
            "__len__", [](C &c) { return kc::guarded(KN_SITE("__len__"), [&] { return c.len(); }); },
            nb::sig("def __len__(self) -> int"), "Number of records.")
        .def(
            "__iter__", [](C &c) { return kc::guarded(KN_SITE("__iter__"), [&] { return c.iter(); }); },
            nb::sig("def __iter__(self) -> collections.abc.Iterator[typing.Any]"),
            "The records in append order (a snapshot of them).")
        .def(
            "__contains__",
            [](C &c, nb::handle key) { return kc::guarded(KN_SITE("__contains__"), [&] { return c.contains(key); }); },
            KN_ARG("key"), nb::sig("def __contains__(self, key: object) -> bool"),
            "Whether a record is stored under `key`.")
        .def(
            "snap_count",
            [](C &c, nb::handle name) {
                return kc::guarded(KN_SITE("snap_count"), [&] { return c.snap_count(name); });
            },
            KN_ARG("name"), nb::sig("def snap_count(self, name: str) -> int"), "Number of records in the snap.")
        .def(
            "snap_obj",
            [](C &c, nb::handle name) { return kc::guarded(KN_SITE("snap_obj"), [&] { return c.snap_obj(name); }); },
            KN_ARG("name"), nb::sig("def snap_obj(self, name: str) -> list[typing.Any]"),
            "A new list of the snap's records, in snap order.")
        .def(
            "snap_attr_value",
            [](C &c, nb::handle name, nb::handle attr) {
                return kc::guarded(KN_SITE("snap_attr_value"), [&] { return c.snap_attr_value(name, attr); });
            },
            KN_ARG("name"), KN_ARG("attr"),
            nb::sig("def snap_attr_value(self, name: str, attr: str) -> list[typing.Any]"),
            "A new list of `attr` of each record of the snap, in snap order.")
        .def(
            "snap_obj_by_idx",
            [](C &c, nb::handle name, nb::handle positions) {
                return kc::guarded(KN_SITE("snap_obj_by_idx"), [&] { return c.snap_obj_by_idx(name, positions); });
            },
            KN_ARG("name"), KN_ARG("positions"),
            nb::sig("def snap_obj_by_idx(self, name: str, positions: int | collections.abc.Iterable[int] | "
                    "numpy.typing.NDArray[numpy.int64]) -> list[typing.Any]"),
            "The snap's records at those positions, in the order given.")
        .def(
            "snap_remove",
            [](C &c, nb::handle name, nb::handle records) {
                kc::guarded(KN_SITE("snap_remove"), [&] { c.snap_remove(name, records); });
            },
            KN_ARG("name"), KN_ARG("records"),
            nb::sig("def snap_remove(self, name: str, records: collections.abc.Iterable[typing.Any]) -> None"),
            "Takes `records` out of the snap; all must be in it (checked first).")
        .def(
            "snap_remove_by_idx",
            [](C &c, nb::handle name, nb::handle positions) {
                kc::guarded(KN_SITE("snap_remove_by_idx"), [&] { c.snap_remove_by_idx(name, positions); });
            },
            KN_ARG("name"), KN_ARG("positions"),
            nb::sig("def snap_remove_by_idx(self, name: str, positions: int | collections.abc.Iterable[int] | "
                    "numpy.typing.NDArray[numpy.int64]) -> None"),
            "Takes out the records at those positions (of the order before the call).")
        .def(
            "snap_obj_attr_update",
            [](C &c, nb::handle records, nb::handle attr, nb::handle value, nb::handle name, nb::handle rm) {
                kc::guarded(KN_SITE("snap_obj_attr_update"),
                            [&] { c.snap_obj_attr_update(records, attr, value, name, kc::truthy(rm)); });
            },
            KN_ARG("records"), KN_ARG("attr"), KN_ARG("value"), KN_ARG("name"), KN_ARG("rm") = true,
            nb::sig("def snap_obj_attr_update(self, records: collections.abc.Iterable[typing.Any], attr: str, value: "
                    "object, name: str, rm: bool = True) -> None"),
            "Sets `attr` on `records`; with `rm` they also leave the snap `name`.")
        .def(
            "snap_select",
            [](C &c, nb::handle name, nb::handle attr, nb::handle value) {
                return kc::guarded(KN_SITE("snap_select"), [&] { return c.snap_select(name, attr, value); });
            },
            KN_ARG("name"), KN_ARG("attr"), KN_ARG("value"),
            nb::sig("def snap_select(self, name: str, attr: str, value: object) -> list[typing.Any]"),
            "A new list of the snap's records whose `attr` equals `value`, in snap order (stop orders by\n"
            "`target_order_id` come from an index of the snap, without a scan).")
        .def_static(
            "obj_attr_value",
            [](nb::handle records, nb::handle attr) {
                return kc::guarded(KN_SITE("obj_attr_value"), [&] { return C::obj_attr_value(records, attr); });
            },
            KN_ARG("records"), KN_ARG("attr"),
            nb::sig("def obj_attr_value(records: collections.abc.Iterable[typing.Any], attr: str) -> list[typing.Any]"),
            "A new list of `attr` of each record, in order.")
        .def_static(
            "obj_attr_value_eq_all",
            [](nb::handle records, nb::handle attr, nb::handle value, nb::handle return_obj) {
                return kc::guarded(KN_SITE("obj_attr_value_eq_all"), [&] {
                    return C::obj_attr_value_eq_all(records, attr, value, kc::truthy(return_obj));
                });
            },
            KN_ARG("records"), KN_ARG("attr"), KN_ARG("value"), KN_ARG("return_obj") = false,
            nb::sig("def obj_attr_value_eq_all(records: collections.abc.Iterable[typing.Any], attr: str, value: "
                    "object, return_obj: bool = False) -> list[typing.Any]"),
            "Per record whether `attr` equals `value`; with `return_obj`, the matching records.")
        .def_static(
            "obj_attr_update",
            [](nb::handle records, nb::handle attr, nb::handle value) {
                kc::guarded(KN_SITE("obj_attr_update"), [&] { C::obj_attr_update(records, attr, value); });
            },
            KN_ARG("records"), KN_ARG("attr"), KN_ARG("value"),
            nb::sig(
                "def obj_attr_update(records: collections.abc.Iterable[typing.Any], attr: str, value: object) -> None"),
            "Sets `attr` to `value` on each record.")
        .def(
            "__repr__",
            [](nb::handle self) {
                return kc::guarded(KN_SITE("__repr__"), [&] { return nb::cast<C &>(self).repr(self); });
            },
            nb::sig("def __repr__(self) -> str"));
    // The methods as made here: the engine runs a collection's method without
    // a Python call only while the method found on it is still one of these.
    m.attr("_collect_methods") =
        kc::steal(PyDict_Copy(reinterpret_cast<PyTypeObject *>(m.attr("CollectBase").ptr())->tp_dict));
}

} // namespace knative
