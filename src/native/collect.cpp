// korvit.native.CollectBase: records under unique keys, plus named ordered
// subsets ("snaps"), with the interface and the errors of the Python
// reference (korvit.tframe.utils.collectbase.PyCollectBase).
//
// The records live in a Python dict (key -> record), so keys compare and
// hash as Python's do.  A snap is a vector of borrowed record pointers in
// snap order, with holes where records left, and a map from record to its
// slot: joining, leaving and membership cost O(1), and the vector is
// compacted when half of it is holes.  Every record appended is held by the
// collection until the garbage collector clears it, which empties the snaps
// first, so a snap's borrowed pointers stay valid while they are in it (a
// record replaced in the dict under a key that compared unequal when checked
// and equal when stored stays in its snaps, as in the reference).  Host code (a
// record's getter, an id's `__eq__`, a finalizer run by the garbage
// collector when an object is made) may change a snap at any call, so
// nothing here reads a snap's vector across such a call: the records are
// first copied into a list of ours, which holds them.
#define KC_SOURCE "src/native/collect.cpp"
#include "native/native.hpp"
#include "native/services.hpp"
#include "core/numpy.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace knative {

namespace {

kc::Name ravel{"ravel"}, tolist{"tolist"}, item{"item"}, dunder_name{"__name__"}, positions_fallback{"_positions"},
    attrgetter{"attrgetter"};

// The Python reference module, whose helpers take the unusual arguments.
nb::handle reference() {
    static PyObject *module = nullptr;
    if (!module)
        module = kc::import("korvit.tframe.utils.collectbase").release().ptr(); // kept for the process
    return module;
}

bool is_nan_key(nb::handle v) { return kc::is_real_scalar(v) && kc::is_nan(v); }

// `list(records)` of any iterable, as a list we own.
nb::object as_list(nb::handle records) { return kc::steal(PySequence_List(records.ptr())); }

// `values` as a list that only we hold: host code run while it is read
// cannot change it under us.  A list just made by a host call and held by
// nobody else is taken as it is; anything else (a list kept elsewhere, a
// list subclass, any other iterable) is copied, with Python's error for
// what is not iterable.
nb::object private_list(nb::object values) {
    if (PyList_CheckExact(values.ptr()) && Py_REFCNT(values.ptr()) == 1)
        return values;
    return as_list(values);
}

// Calls `each(id)` for the ids of an `obj`/`attr_update` call in order, as
// the reference's loop over `_id_list(ids)` meets them: a list or tuple is
// copied first, a single id is a list of one, and what an array's
// `ravel().tolist()` gives (anything, for an ndarray subclass) is iterated
// as Python iterates it, so a list that changes meanwhile is read as it is
// at each step.  Each id is held while `each` runs.
template <class F>
void for_each_id(nb::handle ids, F &&each) {
    nb::object seq;
    if (PyArray_Check(ids.ptr()))
        seq = kc::call_method(kc::call_method(ids, ravel), tolist);
    else if (PyList_Check(ids.ptr()) || PyTuple_Check(ids.ptr()))
        seq = as_list(ids);
    else
        return each(ids);
    if (PyList_CheckExact(seq.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq.ptr()); ++i)
            each(nb::borrow(PyList_GET_ITEM(seq.ptr(), i)));
        return;
    }
    nb::object it = kc::steal(PyObject_GetIter(seq.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr()))
        each(kc::steal(raw));
    if (PyErr_Occurred())
        kc::throw_current();
}

// How an attribute name reads a record: the plain name directly, anything
// else (a dotted path, a non-string) through operator.attrgetter, as the
// reference does, so its errors and its lookups are the same.
struct AttrReader {
    nb::object name, getter;
    explicit AttrReader(nb::handle attr) : name(nb::borrow(attr)) {
        if (!PyUnicode_CheckExact(attr.ptr()) ||
            PyUnicode_FindChar(attr.ptr(), '.', 0, PyUnicode_GET_LENGTH(attr.ptr()), 1) != -1) {
            static PyObject *op = nullptr;
            if (!op)
                op = kc::import("operator").release().ptr();
            getter = kc::call(kc::getattr(op, attrgetter), attr);
        }
    }
    nb::object operator()(nb::handle record) const {
        if (getter.is_valid())
            return kc::call(getter, record);
        return kc::steal(PyObject_GetAttr(record.ptr(), name.ptr()));
    }
};

} // namespace

// ------------------------------------------------------------------ the index by target order

kc::Name target_order_id_name{"target_order_id"};

// The records of a snap by the value of their `target_order_id`, each bucket
// in snap order: what a scan of the snap for the records whose target equals
// a plain int finds, without the scan.  It is kept only while every record of
// the snap is exactly korvit.native.KVBackStopOrder, whose field is a set
// slot read in place (no host code runs to read it).  A value that is no
// plain int, float or None refuses it (the scan compares it in Python).
//
// Every write of the field is counted, and so is every change of a record's
// class while the type has no subtype (see records.cpp): then the count and
// the type's version tag alone tell that the index is current.  While a
// subtype exists, object's own `__class__` descriptor can move a record to
// it uncounted, so before it answers every record is checked to be of the
// type still and to hold the very value it was filed under (the index holds
// each value, so its address cannot be reused meanwhile): one pass over the
// records comparing two pointers each.
struct TargetIndex {
    enum State { NONE, READY, REFUSED } state = NONE;
    const EngineServices *services = nullptr;
    uint64_t writes = 0;     // the write count when built (or refused)
    StopTargetField field{}; // the record type as it was then
    struct Filed {
        PyObject *record; // borrowed: in the snap while filed
        nb::object value; // the field's value when filed (an exact int or float, or None), held
        bool keyed;       // equals the plain int `key` (else no plain int at all)
        long long key;
    };
    std::vector<Filed> filed;                        // every record of the snap
    std::unordered_map<PyObject *, size_t> filed_at; // its place in `filed`
    std::unordered_map<long long, std::vector<PyObject *>> buckets;

    void reset(State to = NONE) {
        state = to;
        buckets.clear();
        filed_at.clear();
        filed.clear(); // releases exact ints and floats only: runs no Python code
    }

    PyObject *slot(PyObject *r) const {
        return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(r) + field.offset);
    }

    // Files `r` under its value; false when the record refuses the index
    // (another type, an unset field, a value the scan compares in Python).
    bool file(PyObject *r) {
        if (Py_TYPE(r) != field.type)
            return false;
        PyObject *v = slot(r);
        if (!v)
            return false; // unset: the scan raises
        bool keyed = false;
        long long key = 0;
        if (PyLong_CheckExact(v)) {
            int overflow = 0;
            key = PyLong_AsLongLongAndOverflow(v, &overflow);
            if (key == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
            keyed = !overflow; // else it equals no plain int that fits
        } else if (PyFloat_CheckExact(v)) {
            const double d = PyFloat_AS_DOUBLE(v);
            keyed = d == std::trunc(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0;
            key = keyed ? (long long)d : 0; // else NaN, a fraction or out of range: equals no such int
        } else if (v != Py_None) {
            return false;
        }
        if (!filed_at.emplace(r, filed.size()).second)
            return true;
        filed.push_back(Filed{r, nb::borrow(v), keyed, key});
        if (keyed)
            buckets[key].push_back(r);
        return true;
    }

    void unfile(PyObject *r) {
        auto it = filed_at.find(r);
        if (it == filed_at.end())
            return;
        const size_t at = it->second;
        filed_at.erase(it);
        if (filed[at].keyed) {
            auto bucket = buckets.find(filed[at].key);
            std::vector<PyObject *> &records = bucket->second;
            records.erase(std::find(records.begin(), records.end(), r));
            if (records.empty())
                buckets.erase(bucket);
        }
        if (at + 1 != filed.size()) { // the last one takes its place
            std::swap(filed[at], filed.back());
            filed_at[filed[at].record] = at;
        }
        filed.pop_back();
    }

    const std::vector<PyObject *> *bucket(long long key) const {
        auto found = buckets.find(key);
        return found == buckets.end() ? nullptr : &found->second;
    }

    // Nothing written since the index was built, as far as the counts tell.
    bool current() const {
        return *services->stop_target_writes == writes && kc::valid_version(field.type) == field.version;
    }

    // Every record still of the type and holding the value it was filed under:
    // certain without a look while no record can change its class uncounted.
    bool consistent() const {
        if (services->stop_class_fixed())
            return true;
        for (const Filed &f : filed)
            if (Py_TYPE(f.record) != field.type || slot(f.record) != f.value.ptr())
                return false;
        return true;
    }
};

// ------------------------------------------------------------------ snaps

struct Snap {
    std::vector<PyObject *> slots; // borrowed; nullptr where a record left
    std::unordered_map<PyObject *, size_t> where;
    TargetIndex by_target;
    uint64_t changes = 0; // records joined or left so far

    size_t count() const { return where.size(); }
    bool contains(PyObject *r) const { return where.count(r) != 0; }
    void add(PyObject *r) { // a record joins once (an `append` re-entered from a key's hash joins it already)
        if (where.emplace(r, slots.size()).second) {
            ++changes;
            slots.push_back(r);
            if (by_target.state == TargetIndex::READY) {
                if (!by_target.file(r))
                    by_target.reset();
            } else if (by_target.state == TargetIndex::REFUSED) {
                by_target.reset();
            }
        }
    }
    void remove(PyObject *r) {
        auto it = where.find(r);
        if (it == where.end())
            return;
        slots[it->second] = nullptr;
        where.erase(it);
        ++changes;
        if (by_target.state == TargetIndex::READY)
            by_target.unfile(r);
        else if (by_target.state == TargetIndex::REFUSED)
            by_target.reset();
        if (slots.size() > 32 && where.size() * 2 < slots.size())
            compact();
    }
    // The index, built if need be; false when it cannot be kept.
    bool index_by_target() {
        TargetIndex &x = by_target;
        if (!x.services) {
            x.services = engine_services();
            if (!x.services) {
                PyErr_Clear();
                return false;
            }
        }
        if (x.state != TargetIndex::NONE && !x.current())
            x.reset();
        if (x.state == TargetIndex::READY && !x.consistent())
            x.reset();
        if (x.state == TargetIndex::NONE) {
            x.writes = *x.services->stop_target_writes;
            if (!x.services->stop_target_field(x.field))
                return false; // the record type is not as made: asked again next time
            x.state = TargetIndex::READY;
            for (PyObject *r : ordered())
                if (!x.file(r)) {
                    x.reset(TargetIndex::REFUSED);
                    break;
                }
        }
        return x.state == TargetIndex::READY;
    }
    // The records under the plain ints `wanted`, in snap order, each as many
    // times as it is wanted; false when the index cannot answer.
    bool of_targets(const std::vector<long long> &wanted, std::vector<PyObject *> &out) {
        out.clear();
        if (!index_by_target())
            return false;
        if (wanted.size() == 1) { // a bucket is in snap order already
            if (const std::vector<PyObject *> *b = by_target.bucket(wanted[0]))
                out = *b;
            return true;
        }
        std::vector<long long> keys(wanted);
        std::sort(keys.begin(), keys.end());
        std::vector<std::pair<size_t, PyObject *>> found; // (slot, record), a record once per wanting id
        for (size_t i = 0; i < keys.size(); ++i)
            if (const std::vector<PyObject *> *b = by_target.bucket(keys[i]))
                for (PyObject *r : *b) {
                    auto at = where.find(r);
                    if (at == where.end())
                        return false; // not kept as the snap is: the scan answers
                    found.emplace_back(at->second, r);
                }
        std::stable_sort(found.begin(), found.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        out.reserve(found.size());
        for (const auto &f : found)
            out.push_back(f.second);
        return true;
    }
    void compact() {
        size_t out = 0;
        for (PyObject *r : slots)
            if (r) {
                where[r] = out;
                slots[out++] = r;
            }
        slots.resize(out);
    }
    // The records in snap order, as a vector without holes.
    const std::vector<PyObject *> &ordered() {
        if (slots.size() != where.size())
            compact();
        return slots;
    }
    void clear() {
        ++changes;
        slots.clear();
        where.clear();
        by_target.reset();
    }
};

// ------------------------------------------------------------------ the collection

CollectBase::CollectBase(nb::handle snaps, nb::handle key_attr)
    : records_(kc::steal(PyDict_New())), snap_names_(kc::steal(PyDict_New())), key_attr_(nb::borrow(key_attr)) {
    nb::object names = PyUnicode_Check(snaps.ptr()) ? kc::tuple_of(nb::borrow(snaps)) : nb::borrow(snaps);
    nb::object it = kc::steal(PyObject_GetIter(names.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object name = kc::steal(raw);
        int present = PyDict_Contains(snap_names_.ptr(), name.ptr());
        if (present < 0)
            kc::throw_current();
        if (present)
            kc::format_error(PyExc_ValueError, "snap %R is named twice", name.ptr()), kc::throw_current();
        nb::object index = kc::py_int((long long)snaps_.size());
        if (PyDict_SetItem(snap_names_.ptr(), name.ptr(), index.ptr()) < 0)
            kc::throw_current();
        snaps_.emplace_back();
    }
    if (PyErr_Occurred())
        kc::throw_current();
}

CollectBase::~CollectBase() {
    for (PyObject *r : stored_)
        Py_DECREF(r);
}

Snap &CollectBase::snap(nb::handle name) {
    PyObject *index = PyDict_GetItemWithError(snap_names_.ptr(), name.ptr());
    if (!index) {
        // As the reference's `except (KeyError, TypeError)`: a name whose hash
        // raises either is no snap's name.
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_KeyError))
            kc::throw_current();
        PyErr_Clear();
        nb::object known = kc::steal(PySequence_List(snap_names_.ptr()));
        kc::format_error(PyExc_KeyError, "no snap named %R; snaps: %R", name.ptr(), known.ptr());
        kc::throw_current();
    }
    return snaps_[PyLong_AsSize_t(index)];
}

void CollectBase::check_members(Snap &s, nb::handle name, nb::handle records) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records.ptr()); ++i) {
        PyObject *record = PyList_GET_ITEM(records.ptr(), i);
        if (!s.contains(record))
            kc::format_error(PyExc_ValueError, "record %R is not in snap %R", record, name.ptr()), kc::throw_current();
    }
}

nb::object CollectBase::size() const { return kc::py_int(PyDict_GET_SIZE(records_.ptr())); }

nb::object CollectBase::snap_names() const { return kc::steal(PySequence_List(snap_names_.ptr())); }

nb::object CollectBase::append(nb::handle key_in, nb::handle record) {
    nb::object key = nb::borrow(key_in);
    if (!key_attr_.is_none()) {
        nb::object own_key = kc::steal(PyObject_GetAttr(record.ptr(), key_attr_.ptr()));
        if (key.is_none())
            key = own_key;
        else if (kc::truthy(kc::steal(PyObject_RichCompare(key.ptr(), own_key.ptr(), Py_NE))))
            kc::format_error(PyExc_ValueError, "key %R differs from the record's %S %R", key.ptr(), key_attr_.ptr(),
                             own_key.ptr()),
                kc::throw_current();
    } else if (key.is_none()) {
        key = size();
    }
    if (PyArray_IsScalar(key.ptr(), Generic))
        key = kc::call_method(key, item);
    if (key.is_none() || is_nan_key(key))
        kc::format_error(PyExc_ValueError, "%R cannot key a record", key.ptr()), kc::throw_current();
    int present = PyDict_Contains(records_.ptr(), key.ptr());
    if (present < 0)
        kc::throw_current();
    if (present)
        kc::format_error(PyExc_ValueError, "a record is already stored under key %R", key.ptr()), kc::throw_current();
    if (stored_.count(record.ptr()))
        kc::format_error(PyExc_ValueError, "record %R is already stored", record.ptr()), kc::throw_current();
    if (PyDict_SetItem(records_.ptr(), key.ptr(), record.ptr()) < 0)
        kc::throw_current();
    if (stored_.insert(record.ptr()).second) // (a key's `__eq__` may have appended it meanwhile)
        Py_INCREF(record.ptr());
    for (Snap &s : snaps_)
        s.add(record.ptr());
    return key;
}

// The record under `id`, or null for an unknown or NaN id (borrowed).
PyObject *CollectBase::lookup(nb::handle id) const {
    if (!PyLong_CheckExact(id.ptr()) && is_nan_key(id))
        return nullptr;
    PyObject *record = PyDict_GetItemWithError(records_.ptr(), id.ptr());
    if (!record && PyErr_Occurred())
        kc::throw_current();
    return record;
}

nb::object CollectBase::obj(nb::handle ids) const {
    nb::object out = kc::new_list();
    for_each_id(ids, [&](nb::handle id) {
        PyObject *record = lookup(id); // borrowed from the dict, taken at once
        kc::append(out, record ? record : Py_None);
    });
    return out;
}

void CollectBase::attr_update(nb::handle attr, nb::handle value, nb::handle ids) const {
    nb::object records = kc::new_list();
    for_each_id(ids, [&](nb::handle id) {
        PyObject *record = lookup(id);
        if (!record)
            kc::format_error(PyExc_KeyError, "no record under key %R", id.ptr()), kc::throw_current();
        kc::append(records, record);
    });
    obj_attr_update(records, attr, value);
}

Py_ssize_t CollectBase::len() const { return PyDict_GET_SIZE(records_.ptr()); }

nb::object CollectBase::iter() const {
    nb::object values = kc::steal(PyDict_Values(records_.ptr()));
    return kc::steal(PyObject_GetIter(values.ptr()));
}

bool CollectBase::contains(nb::handle key) const {
    if (is_nan_key(key))
        return false;
    int present = PyDict_Contains(records_.ptr(), key.ptr());
    if (present < 0)
        kc::throw_current();
    return present;
}

// ------------------------------------------------------------------ snap queries

Py_ssize_t CollectBase::snap_count(nb::handle name) { return (Py_ssize_t)snap(name).count(); }

nb::object CollectBase::snap_obj(nb::handle name) {
    // Making the list may run the garbage collector, whose finalizers may
    // change the snap: the records are taken from the snap after it is made.
    Snap &s = snap(name);
    for (;;) {
        nb::object out = kc::steal(PyList_New((Py_ssize_t)s.count()));
        const std::vector<PyObject *> &records = s.ordered(); // no host code runs while it is read
        if (records.size() != (size_t)PyList_GET_SIZE(out.ptr()))
            continue; // the snap changed meanwhile
        for (size_t i = 0; i < records.size(); ++i)
            PyList_SET_ITEM(out.ptr(), (Py_ssize_t)i, Py_NewRef(records[i]));
        return out;
    }
}

nb::object CollectBase::snap_attr_value(nb::handle name, nb::handle attr) {
    AttrReader read(attr); // made first, as `map(attrgetter(attr), ...)` is
    Snap &s = snap(name);
    // A getter may run Python code that changes the snap: read from a copy.
    const std::vector<PyObject *> records = s.ordered();
    std::vector<nb::object> keep; // hold the records while reading
    keep.reserve(records.size());
    for (PyObject *r : records)
        keep.push_back(nb::borrow(r));
    nb::object out = kc::steal(PyList_New((Py_ssize_t)records.size()));
    for (size_t i = 0; i < records.size(); ++i)
        PyList_SET_ITEM(out.ptr(), (Py_ssize_t)i, read(keep[i]).release().ptr());
    return out;
}

nb::object CollectBase::snap_of_targets(nb::handle name, nb::handle target_order_ids,
                                        std::vector<Py_ssize_t> *positions) {
    Snap &s = snap(name);
    PyObject *given = target_order_ids.ptr();
    std::vector<long long> wanted;
    auto plain = [&](PyObject *id) {
        long long v;
        if (!PyLong_CheckExact(id) || !kc::plain_int_value(id, v))
            return false;
        wanted.push_back(v);
        return true;
    };
    if (PyList_CheckExact(given) || PyTuple_CheckExact(given)) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(given); ++i)
            if (!plain(PySequence_Fast_GET_ITEM(given, i)))
                return nb::object();
    } else if (!plain(given)) {
        return nb::object();
    }
    // The list is made first: making it may run the garbage collector, whose
    // finalizers may change the snap or the records.  Growing it afterwards
    // allocates no object the collector tracks, so from the index's answer on
    // no host code runs.
    nb::object out = kc::new_list();
    std::vector<PyObject *> found;
    if (!s.of_targets(wanted, found))
        return nb::object();
    if (positions) {
        positions->clear();
        if (!found.empty()) {
            s.ordered(); // without holes, a record's slot is its position
            for (PyObject *r : found)
                positions->push_back((Py_ssize_t)s.where.find(r)->second);
        }
    }
    for (PyObject *r : found)
        if (PyList_Append(out.ptr(), r) != 0)
            kc::throw_current();
    return out;
}

nb::object CollectBase::snap_of_target(nb::handle name, nb::handle target_order_id,
                                       std::vector<Py_ssize_t> *positions) {
    if (!PyLong_CheckExact(target_order_id.ptr()))
        return nb::object();
    if (positions)
        return snap_of_targets(name, target_order_id, positions);
    // One id: its bucket, in snap order already, is the answer (as in
    // snap_of_targets, the list is made before the index answers).
    Snap &s = snap(name);
    long long wanted;
    if (!kc::plain_int_value(target_order_id.ptr(), wanted))
        return nb::object();
    nb::object out = kc::new_list();
    if (!s.index_by_target())
        return nb::object();
    if (const std::vector<PyObject *> *bucket = s.by_target.bucket(wanted))
        for (PyObject *r : *bucket)
            if (PyList_Append(out.ptr(), r) != 0)
                kc::throw_current();
    return out;
}

uint64_t CollectBase::snap_changes(nb::handle name) { return snap(name).changes; }

nb::object CollectBase::snap_select(nb::handle name, nb::handle attr, nb::handle value) {
    if (PyUnicode_CheckExact(attr.ptr()) && PyUnicode_Compare(attr.ptr(), target_order_id_name.get()) == 0) {
        nb::object found = snap_of_target(name, value);
        if (found.is_valid())
            return found;
    }
    AttrReader read(attr);
    nb::object records = snap_obj(name); // ours: held while the fields are read
    nb::object out = kc::new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records.ptr()); ++i) {
        nb::handle record = PyList_GET_ITEM(records.ptr(), i);
        if (kc::equals(read(record), value))
            kc::append(out, record);
    }
    return out;
}

// Positions of a snap as indices, each checked against `count`: plain ints and
// integer arrays here, anything else through the reference's `_positions`.
std::vector<size_t> CollectBase::positions(nb::handle given, size_t count) {
    std::vector<size_t> out;
    auto check = [&](long long p) {
        if (p < 0 || (unsigned long long)p >= count)
            PyErr_Format(PyExc_IndexError, "snap position %lld out of range: the snap holds %zu records", p, count),
                kc::throw_current();
        out.push_back((size_t)p);
    };
    PyObject *p = given.ptr();
    if (PyArray_Check(p)) {
        PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(p);
        const int type = PyArray_TYPE(arr);
        if ((type == NPY_LONG || type == NPY_LONGLONG) && PyArray_ISCARRAY_RO(arr) && PyArray_ISNOTSWAPPED(arr)) {
            const npy_intp n = PyArray_SIZE(arr);
            const auto *data = static_cast<const npy_int64 *>(PyArray_DATA(arr));
            std::vector<long long> values(data, data + n);
            for (long long v : values) // every position is checked before any is used
                if (v < 0 || (unsigned long long)v >= count)
                    check(v);
            for (long long v : values)
                out.push_back((size_t)v);
            return out;
        }
    } else if (PyList_CheckExact(p) || PyTuple_CheckExact(p)) {
        nb::object seq = nb::borrow(p);
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(p);
        std::vector<long long> values;
        bool plain = true;
        for (Py_ssize_t i = 0; i < n && plain; ++i) {
            PyObject *v = PySequence_Fast_GET_ITEM(p, i);
            int overflow = 0;
            long long x = PyLong_CheckExact(v) ? PyLong_AsLongLongAndOverflow(v, &overflow) : 0;
            plain = PyLong_CheckExact(v) && !overflow;
            values.push_back(x);
        }
        if (plain) {
            for (long long v : values)
                if (v < 0 || (unsigned long long)v >= count)
                    check(v);
            for (long long v : values)
                out.push_back((size_t)v);
            return out;
        }
    }
    // The reference's helper is looked up at the call and may be replaced:
    // what it gives is checked as strictly as the positions read here.
    nb::object list =
        private_list(kc::call(kc::getattr(reference(), positions_fallback), given, kc::py_int((long long)count)));
    std::vector<long long> values;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        PyObject *v = PyList_GET_ITEM(list.ptr(), i);
        int overflow = 0;
        const long long x = PyLong_Check(v) ? PyLong_AsLongLongAndOverflow(v, &overflow) : 0;
        if (!PyLong_Check(v))
            kc::format_error(PyExc_TypeError, "snap positions must be integers, got %R", v), kc::throw_current();
        if (overflow)
            kc::format_error(PyExc_IndexError, "snap position %R out of range: the snap holds %zu records", v, count),
                kc::throw_current();
        if (x == -1 && PyErr_Occurred())
            kc::throw_current();
        values.push_back(x);
    }
    for (long long v : values)
        check(v);
    return out;
}

nb::object CollectBase::snap_obj_by_idx(nb::handle name, nb::handle given) {
    // The records as they are before the positions are read (reading them may
    // run host code that changes the snap), held in a list of ours.
    nb::object records = snap_obj(name);
    const Py_ssize_t count = PyList_GET_SIZE(records.ptr());
    const std::vector<size_t> at = positions(given, (size_t)count);
    nb::object out = kc::steal(PyList_New((Py_ssize_t)at.size()));
    for (size_t i = 0; i < at.size(); ++i)
        PyList_SET_ITEM(out.ptr(), (Py_ssize_t)i, Py_NewRef(PyList_GET_ITEM(records.ptr(), (Py_ssize_t)at[i])));
    return out;
}

void CollectBase::snap_remove(nb::handle name, nb::handle records_in) {
    Snap &s = snap(name);
    nb::object records = as_list(records_in);
    check_members(s, name, records);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records.ptr()); ++i)
        s.remove(PyList_GET_ITEM(records.ptr(), i));
}

void CollectBase::snap_remove_by_idx(nb::handle name, nb::handle given) {
    Snap &s = snap(name);
    nb::object records = snap_obj(name); // the order before the call, held while the positions are read
    for (size_t p : positions(given, (size_t)PyList_GET_SIZE(records.ptr())))
        s.remove(PyList_GET_ITEM(records.ptr(), (Py_ssize_t)p));
}

void CollectBase::snap_obj_attr_update(nb::handle records_in, nb::handle attr, nb::handle value, nb::handle name,
                                       bool rm) {
    Snap &s = snap(name);
    nb::object records = as_list(records_in);
    if (rm)
        check_members(s, name, records);
    obj_attr_update(records, attr, value);
    if (rm)
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records.ptr()); ++i)
            s.remove(PyList_GET_ITEM(records.ptr(), i));
}

// ------------------------------------------------------------------ any list of records

nb::object CollectBase::obj_attr_value(nb::handle records, nb::handle attr) {
    AttrReader read(attr);
    nb::object list = as_list(records);
    const Py_ssize_t n = PyList_GET_SIZE(list.ptr());
    nb::object out = kc::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(out.ptr(), i, read(PyList_GET_ITEM(list.ptr(), i)).release().ptr());
    return out;
}

nb::object CollectBase::obj_attr_value_eq_all(nb::handle records, nb::handle attr, nb::handle value, bool return_obj) {
    AttrReader read(attr);
    nb::object out = kc::new_list();
    nb::object it = kc::steal(PyObject_GetIter(records.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object record = kc::steal(raw);
        nb::object equal = kc::steal(PyObject_RichCompare(read(record).ptr(), value.ptr(), Py_EQ));
        const bool truth = kc::truthy(equal);
        if (!return_obj)
            kc::append(out, kc::py_bool(truth));
        else if (truth)
            kc::append(out, record);
    }
    if (PyErr_Occurred())
        kc::throw_current();
    return out;
}

void CollectBase::obj_attr_update(nb::handle records, nb::handle attr, nb::handle value) {
    nb::object it = kc::steal(PyObject_GetIter(records.ptr()));
    while (PyObject *raw = PyIter_Next(it.ptr())) {
        nb::object record = kc::steal(raw);
        if (PyObject_SetAttr(record.ptr(), attr.ptr(), value.ptr()) < 0)
            kc::throw_current();
    }
    if (PyErr_Occurred())
        kc::throw_current();
}

nb::object CollectBase::repr(nb::handle self) {
    nb::object type_name = kc::steal(PyObject_Str(kc::getattr(self.type(), dunder_name).ptr()));
    std::string text = PyUnicode_AsUTF8(type_name.ptr());
    nb::object size_text = kc::steal(PyObject_Str(size().ptr()));
    text += "(size=";
    text += PyUnicode_AsUTF8(size_text.ptr());
    nb::object names = snap_names();
    for (size_t i = 0; i < snaps_.size(); ++i) {
        nb::object name = kc::steal(PyObject_Str(PyList_GET_ITEM(names.ptr(), (Py_ssize_t)i)));
        const char *utf8 = PyUnicode_AsUTF8(name.ptr());
        if (!utf8)
            kc::throw_current();
        text += ", ";
        text += utf8;
        text += "=" + std::to_string(snaps_[i].count());
    }
    text += ")";
    return kc::steal(PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t)text.size()));
}

int CollectBase::traverse(visitproc visit, void *arg) {
    Py_VISIT(records_.ptr());
    Py_VISIT(snap_names_.ptr());
    Py_VISIT(key_attr_.ptr());
    for (PyObject *r : stored_)
        Py_VISIT(r);
    return 0;
}

void CollectBase::clear() {
    for (Snap &s : snaps_)
        s.clear();
    std::unordered_set<PyObject *> held;
    held.swap(stored_);
    nb::object records = std::move(records_);
    records_ = kc::steal(PyDict_New());
    // Let go only once the collection is empty: a record's finalizer may use it.
    for (PyObject *r : held)
        Py_DECREF(r);
}

} // namespace knative
