// SystemBaseEnv: bar matrices, prices, targets, accounts, fees and the user
// scope, read through the registry the environment is bound to.
#define KC_SOURCE "src/framekit/environment.cpp"
#include "framekit/framekit.hpp"
#include "core/bar_field.hpp"
#include "core/bar_rows.hpp"
#include "core/matrix.hpp"
#include "core/number.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

namespace fk {

namespace {

using kc::call;
using kc::call_method;
using kc::getattr;
using kc::getitem;
using kc::steal;

using kc::as_position;
using kc::plain_matrix;
using kc::tuple2;
using kc::wrap_position;

double nan() { return std::numeric_limits<double>::quiet_NaN(); }

} // namespace

nb::object cursor_column(nb::handle cursor) { return kc::is_nan(cursor) ? kc::py_int(0) : nb::borrow(cursor); }

namespace {

// The K-data set that drives the fresh bars.
nb::object refresh_k_data(nb::handle vr) {
    nb::object k_data_list = getattr(vr, n::g_KorvitKDataList);
    return getitem(k_data_list, getattr(getattr(vr, n::g_KorvitInputInfo), n::RefreshKDataIdx));
}

nb::object numpy() { return ns.get(n::np); }

// --------------------------------------------------------------- bar access

nb::object fresh_bar_time(nb::handle self) {
    nb::object vr = env_vr(self);
    nb::object column = cursor_column(getattr(vr, n::g_KorvitSimCurBarFresh));
    nb::object matrix = getattr(vr, n::g_KorvitDataValueFresh);
    return matrix_at(matrix, kc::class_constant(env_gv(self), n::KMatrixPos_TimeLine), column);
}

nb::object fresh_bar_timeline(nb::handle self) {
    nb::object matrix = getattr(env_vr(self), n::g_KorvitDataValueFresh);
    if (kc::compare(getattr(matrix, n::size), kc::py_int(1), Py_LT)) {
        npy_intp dims[1] = {0};
        return steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
    }
    nb::object all = steal(PySlice_New(nullptr, nullptr, nullptr));
    return getitem(matrix, tuple2(getattr(env_gv(self), n::KMatrixPos_TimeLine), all));
}

nb::object get_internal_fresh_bar_num(nb::handle self, nb::handle dflt) {
    nb::object context = getattr(env_vr(self), n::g_KorvitUserContext);
    return kc::getattr_or(context, n::_internal_bar_num, dflt);
}

nb::object market_price(nb::handle self, nb::handle target_idx, nb::handle offset) {
    nb::object vr = env_vr(self);
    nb::object gv = env_gv(self);
    if (kc::length(getattr(vr, n::g_KorvitKDataList)) < 1)
        kc::raise(PyExc_NotImplementedError, "market_price needs bars: g_KorvitKDataList holds no bar data");
    nb::object k_data = refresh_k_data(vr);
    nb::object cur_bar_fresh_pos = cursor_column(getattr(vr, n::g_KorvitSimCurBarFresh));
    nb::object fresh_bar_pos = getitem(getattr(k_data, n::CurrentBar), cur_bar_fresh_pos);
    nb::object fresh_matrix = getattr(k_data, n::Matrix);
    nb::object open_idx = call_method(gv, n::bar_item_pos, getattr(gv, n::KMatrix_Open), target_idx);
    nb::object close_idx = call_method(gv, n::bar_item_pos, getattr(gv, n::KMatrix_Close), target_idx);

    nb::object one = kc::py_int(1), zero = kc::py_int(0);
    nb::object columns = getitem(getattr(fresh_matrix, n::shape), one);
    nb::object next_bar_pos;
    if (kc::compare(kc::add(fresh_bar_pos, one), columns, Py_GE))
        next_bar_pos = kc::sub(columns, one);
    else
        next_bar_pos = kc::add(fresh_bar_pos, offset);

    if (kc::equals(offset, zero))
        return matrix_at(fresh_matrix, close_idx, fresh_bar_pos);
    if (kc::equals(offset, one))
        return matrix_at(fresh_matrix, open_idx, next_bar_pos);
    if (kc::equals(offset, kc::py_int(-1))) {
        nb::object col = kc::compare(zero, next_bar_pos, Py_GT) ? zero : next_bar_pos;
        return matrix_at(fresh_matrix, close_idx, col);
    }
    // Any other offset counts ticks inside the current bar.
    nb::object get_bar_tick_data = kc::import_from("korvit.api.history._history", "get_bar_tick_data");
    nb::object ticks = call(get_bar_tick_data, target_idx, cur_bar_fresh_pos);
    nb::object tick_prices = call_method(getattr(ticks, n::Price), n::ravel);
    nb::object count = getattr(tick_prices, n::size);
    if (kc::compare(count, one, Py_GE)) {
        nb::object pos = kc::compare(count, offset, Py_LT) ? kc::sub(count, one) : kc::sub(offset, one);
        return getitem(tick_prices, pos);
    }
    return kc::py_float(nan());
}

nb::object matrix_bar_item_pos(nb::handle self, nb::handle bar_item, nb::handle target_index, nb::handle contain_head) {
    nb::object gv = env_gv(self);
    if (kc::assertions_enabled()) {
        bool inside = kc::compare(getattr(gv, n::KMatrix_Bar_Begin), bar_item, Py_LE) &&
                      kc::compare(bar_item, getattr(gv, n::KMatrix_Bar_End), Py_LE);
        if (!inside)
            kc::raise_text(PyExc_AssertionError,
                           "Bar的索引超出范围，需要在 [self.gv.KMatrix_Bar_Begin,self.gv.KMatrix_Bar_End] 之间");
    }
    nb::object head_len = kc::truthy(contain_head) ? getattr(gv, n::KMatrixPos_Head_len) : kc::py_int(0);
    nb::object block = kc::mul(target_index, getattr(gv, n::KMatrix_Bar_Len));
    nb::object pos = kc::add(head_len, block);
    return kc::add(pos, bar_item);
}

nb::object get_bar(nb::handle self, nb::handle target_idx, nb::handle offset) {
    nb::object vr = env_vr(self);
    nb::object gv = env_gv(self);
    nb::object np = numpy();
    nb::object input = getattr(vr, n::g_KorvitInputInfo);
    nb::object refresh_k_data_idx = getattr(input, n::RefreshKDataIdx);
    nb::object pos = kc::add(getattr(vr, n::g_KorvitSimCurBarFresh), offset);
    nb::object fresh_bar_pos =
        getitem(getattr(getitem(getattr(vr, n::g_KorvitKDataList), refresh_k_data_idx), n::CurrentBar), pos);
    nb::object k_matrix = getattr(getitem(getattr(vr, n::g_KorvitKDataList), refresh_k_data_idx), n::Matrix);
    if (kc::compare(fresh_bar_pos, getitem(getattr(k_matrix, n::shape), kc::py_int(1)), Py_GE))
        return kc::none();

    static Name asarray{"asarray"}, astype{"astype"}, repeat{"repeat"}, array{"array"};
    nb::object targets = call_method(np, asarray, target_idx);
    nb::object block = kc::mul(targets, getattr(gv, n::KMatrix_Bar_Len));
    nb::object idx = kc::add(getattr(gv, n::KMatrixPos_Head_len), block);
    idx = call_method(idx, astype, nb::handle((PyObject *)&PyLong_Type));
    nb::object target_list = getattr(input, n::TargetList);

    nb::object todotmc = ns.get(n::todotmc);
    nb::object codes = steal(PyList_New(0));
    nb::object it = steal(PyObject_GetIter(targets.ptr()));
    while (PyObject *i = PyIter_Next(it.ptr())) {
        nb::object index = nb::steal(i);
        nb::object code = call(todotmc, getitem(target_list, index));
        if (PyList_Append(codes.ptr(), code.ptr()) != 0)
            kc::throw_current();
    }
    if (PyErr_Occurred())
        kc::throw_current();
    nb::object count = kc::py_int(PyList_GET_SIZE(codes.ptr()));

    nb::object bar = steal(PyDict_New());
    auto put = [&](const char *key, nb::handle value) {
        if (PyDict_SetItemString(bar.ptr(), key, value.ptr()) != 0)
            kc::throw_current();
    };
    auto item_row = [&](Name &item) {
        nb::object rows = kc::add(idx, getattr(gv, item));
        return getitem(k_matrix, tuple2(rows, fresh_bar_pos));
    };
    put("code", call_method(np, array, codes));
    put("number_bar", call_method(np, repeat, fresh_bar_pos, count));
    put("time_bar",
        call_method(np, repeat, matrix_at(k_matrix, getattr(gv, n::KMatrixPos_TimeLine), fresh_bar_pos), count));
    put("open", item_row(n::KMatrix_Open));
    put("high", item_row(n::KMatrix_High));
    put("low", item_row(n::KMatrix_Low));
    put("close", item_row(n::KMatrix_Close));
    put("volume", item_row(n::KMatrix_Volume));
    put("amount", item_row(n::KMatrix_TurnOver));
    put("open_interest", item_row(n::KMatrix_OpenInterest));
    return bar;
}

nb::object get_bar_field(nb::handle self, nb::handle target_indices, nb::handle bar_pos, nb::handle fields) {
    return kc::bar_field_rows(self, target_indices, bar_pos, fields);
}

nb::object generate_kmatrix_array(nb::handle self, nb::handle target_count, nb::handle time_line_len) {
    nb::object gv = env_gv(self);
    nb::object rows = kc::mul(getattr(gv, n::KMatrix_Bar_Len), target_count);
    rows = kc::add(getattr(gv, n::KMatrixPos_Head_len), rows);
    static Name zeros{"zeros"};
    return call_method(numpy(), zeros, tuple2(rows, time_line_len));
}

nb::object generate_kmatrix_df(nb::handle self, nb::handle target_count, nb::handle time_line_len) {
    nb::object gv = env_gv(self);
    nb::object bar_begin = getattr(gv, n::KMatrix_Bar_Begin), bar_end = getattr(gv, n::KMatrix_Bar_End);
    nb::object pos_end = getattr(gv, n::KMatrixPos_End);

    nb::object labels = steal(PyList_New(0));
    for (Name *head : {&n::KMatrixPos_TimeLine, &n::KMatrixPos_FreshIdx, &n::KMatrixPos_DayPos})
        if (PyList_Append(labels.ptr(), getattr(gv, *head).ptr()) != 0)
            kc::throw_current();
    nb::object begin = kc::add(pos_end, bar_begin);
    nb::object per_target = kc::add(kc::sub(bar_end, bar_begin), kc::py_int(1));
    nb::object stop = kc::add(begin, kc::mul(target_count, per_target));
    nb::object range = call(nb::handle((PyObject *)&PyRange_Type), begin, stop);
    nb::object bar_labels = steal(PySequence_List(range.ptr())); // sized at once: a huge count fails here
    labels = steal(PySequence_Concat(labels.ptr(), bar_labels.ptr()));

    nb::object rows = kc::add(pos_end, kc::mul(target_count, bar_end));
    static Name zeros{"zeros"}, DataFrame{"DataFrame"}, index{"index"};
    nb::object data = call_method(numpy(), zeros, tuple2(rows, time_line_len));
    nb::object pandas = kc::import("pandas");
    return kc::call_kw(getattr(pandas, DataFrame), {data}, {{index, labels}});
}

// ------------------------------------------------------ targets and accounts

// The target information map of target `target_idx`.
nb::object target_info(nb::handle vr, nb::handle target_idx) {
    nb::object dotted = getitem(getattr(getattr(vr, n::g_KorvitInputInfo), n::TargetListDot), target_idx);
    return getitem(getattr(vr, n::g_KorvitTargetsInfo), dotted);
}

nb::object get_multiple(nb::handle self, nb::handle target_idx, nb::handle dflt) {
    nb::object info = target_info(env_vr(self), target_idx);
    return call_method(info, n::get, kc::py_str("Multiple"), dflt);
}

nb::object get_minmove(nb::handle self, nb::handle target_idx) {
    nb::object info = target_info(env_vr(self), target_idx);
    return call_method(info, n::get, kc::py_str("MinMove"));
}

nb::object cost_fee_rate(nb::handle self, nb::handle target_type) {
    nb::object vr = env_vr(self), gv = env_gv(self);
    nb::object setting = getattr(vr, n::g_KorvitSettingInfo);
    nb::object stock = kc::div(getattr(setting, n::cost_fee_stock), kc::py_int(10000));
    nb::object rates = steal(PyDict_New());
    kc::setitem(rates, getattr(gv, n::TARGETTYPE_STOCK), stock);
    kc::setitem(rates, getattr(gv, n::TARGETTYPE_FUTURE), getattr(setting, n::cost_fee_future));
    PyObject *rate = PyDict_GetItemWithError(rates.ptr(), target_type.ptr());
    if (rate)
        return nb::borrow(rate);
    if (PyErr_Occurred())
        kc::throw_current();
    return kc::py_int(0);
}

nb::object is_valid_order_id(nb::handle order_id) {
    if (order_id.is_none())
        return kc::py_bool(false);
    if (kc::is_real_scalar(order_id) && std::isnan(kc::as_double(order_id)))
        return kc::py_bool(false);
    return kc::py_bool(true);
}

// One index argument of check_idx: (value after the integer conversion of a
// single number, the flat integer array).
std::pair<nb::object, nb::object> checked_index(nb::handle self, nb::handle func_name, const char *arg_name,
                                                nb::handle value, Name &count_name) {
    nb::object converted = nb::borrow(value);
    bool number = PyLong_Check(value.ptr()) || kc::is_integer_scalar(value) || kc::is_real_scalar(value);
    if (number && !kc::is_nan(value))
        converted = kc::to_int(value);
    nb::object wrapped = steal(PyList_New(1));
    PyList_SET_ITEM(wrapped.ptr(), 0, Py_NewRef(converted.ptr()));
    PyArray_Descr *int64 = PyArray_DescrFromType(NPY_INT64);
    nb::object array = steal(PyArray_FromAny(wrapped.ptr(), int64, 0, 0, NPY_ARRAY_DEFAULT, nullptr));
    nb::object flat = steal(PyArray_Ravel(reinterpret_cast<PyArrayObject *>(array.ptr()), NPY_CORDER));

    static Name allow_nan{"allow_nan"};
    nb::object checker = ns.get(n::ArgumentChecker);
    nb::object spec = steal(PyTuple_Pack(3, flat.ptr(), kc::py_int(0).ptr(), getattr(self, count_name).ptr()));
    kc::call_kw(getattr(checker, n::check_ndarray_idx), {func_name, kc::py_str(arg_name), spec},
                {{allow_nan, kc::py_bool(false)}});
    return {converted, flat};
}

nb::object check_idx(nb::handle self, nb::handle func_name, nb::handle handle_idx, nb::handle target_idx,
                     nb::handle toarray) {
    nb::object handle_value = nb::borrow(handle_idx), target_value = nb::borrow(target_idx);
    nb::object handle_nd = kc::none(), target_nd = kc::none();
    if (!handle_idx.is_none())
        std::tie(handle_value, handle_nd) =
            checked_index(self, func_name, "handle_idx", handle_idx, n::handle_idx_count);
    if (!target_idx.is_none())
        std::tie(target_value, target_nd) =
            checked_index(self, func_name, "target_idx", target_idx, n::target_idx_count);
    if (kc::truthy(toarray))
        return tuple2(handle_nd.is_none() ? handle_value : handle_nd, target_nd.is_none() ? target_value : target_nd);
    return tuple2(handle_value, target_value);
}

nb::object accounts(nb::handle self) { return getattr(env_vr(self), n::g_KorvitAccounts); }

nb::object handle_idx_count(nb::handle self) { return kc::py_int(kc::length(accounts(self))); }

// Position of the first account whose handle equals `handle`, or -1.
Py_ssize_t find_account(nb::handle account_list, nb::handle handle, nb::object *found) {
    nb::object it = steal(PyObject_GetIter(account_list.ptr()));
    Py_ssize_t i = 0;
    while (PyObject *a = PyIter_Next(it.ptr())) {
        nb::object account = nb::steal(a);
        if (kc::equals(getattr(account, n::handle), handle)) {
            if (found)
                *found = account;
            return i;
        }
        ++i;
    }
    if (PyErr_Occurred())
        kc::throw_current();
    return -1;
}

nb::object account_handle_to_idx(nb::handle self, nb::handle handle) {
    Py_ssize_t i = find_account(accounts(self), handle, nullptr);
    return i < 0 ? kc::none() : kc::py_int(i);
}

nb::object account_idx_to_handle(nb::handle self, nb::handle idx) {
    return getattr(getitem(accounts(self), kc::to_int(idx)), n::handle);
}

nb::object get_account_by_handle(nb::handle self, nb::handle handle) {
    nb::object account = kc::none();
    find_account(accounts(self), handle, &account);
    return account;
}

nb::object get_handle_account_map(nb::handle self, nb::handle handles) {
    static Name get_account_by_handle_name{"get_account_by_handle"};
    nb::object result = steal(PyDict_New());
    nb::object it = steal(PyObject_GetIter(handles.ptr()));
    while (PyObject *h = PyIter_Next(it.ptr())) {
        nb::object handle = nb::steal(h);
        kc::setitem(result, handle, call_method(self, get_account_by_handle_name, handle));
    }
    if (PyErr_Occurred())
        kc::throw_current();
    return result;
}

nb::object account_handles(nb::handle self) {
    nb::object result = steal(PyList_New(0));
    nb::object it = steal(PyObject_GetIter(accounts(self).ptr()));
    while (PyObject *a = PyIter_Next(it.ptr())) {
        nb::object account = nb::steal(a);
        if (PyList_Append(result.ptr(), getattr(account, n::handle).ptr()) != 0)
            kc::throw_current();
    }
    if (PyErr_Occurred())
        kc::throw_current();
    return result;
}

nb::object target_list_dot(nb::handle self) {
    return getattr(getattr(env_vr(self), n::g_KorvitInputInfo), n::TargetListDot);
}

nb::object target_idx_count(nb::handle self) {
    return kc::py_int(kc::length(getattr(getattr(env_vr(self), n::g_KorvitInputInfo), n::TargetList)));
}

// Position of the first entry equal to `value`, or -1.
Py_ssize_t find_entry(nb::handle sequence, nb::handle value) {
    nb::object it = steal(PyObject_GetIter(sequence.ptr()));
    Py_ssize_t i = 0;
    while (PyObject *e = PyIter_Next(it.ptr())) {
        nb::object entry = nb::steal(e);
        if (kc::compare(entry, value, Py_EQ))
            return i;
        ++i;
    }
    if (PyErr_Occurred())
        kc::throw_current();
    return -1;
}

nb::object get_target_idx(nb::handle self, nb::handle target) {
    Py_ssize_t i = find_entry(target_list_dot(self), target);
    return i < 0 ? kc::none() : kc::py_int(i);
}

nb::object get_target_name(nb::handle self, nb::handle target_index) {
    const bool is_num = PyLong_Check(target_index.ptr());
    nb::object targets = nb::borrow(target_index);
    if (is_num) {
        targets = steal(PyList_New(1));
        PyList_SET_ITEM(targets.ptr(), 0, Py_NewRef(target_index.ptr()));
    }
    nb::object dots = target_list_dot(self);
    nb::object target_len = kc::py_int(kc::length(dots));
    nb::object names = steal(PyList_New(0));
    nb::object it = steal(PyObject_GetIter(targets.ptr()));
    nb::object minus_one = kc::py_int(-1);
    while (PyObject *t = PyIter_Next(it.ptr())) {
        nb::object i = nb::steal(t);
        if (kc::compare(minus_one, i, Py_LT) && kc::compare(i, target_len, Py_LT))
            if (PyList_Append(names.ptr(), getitem(dots, i).ptr()) != 0)
                kc::throw_current();
    }
    if (PyErr_Occurred())
        kc::throw_current();
    if (!is_num)
        return names;
    return PyList_GET_SIZE(names.ptr()) ? nb::borrow(PyList_GET_ITEM(names.ptr(), 0)) : kc::none();
}

nb::object is_target_type(nb::handle self, nb::handle target_idx, nb::handle target_type) {
    nb::object type = getitem(target_info(env_vr(self), target_idx), kc::py_str("Type"));
    return steal(PyObject_RichCompare(type.ptr(), target_type.ptr(), Py_EQ));
}

nb::object get_target_type(nb::handle self, nb::handle target_idx_code) {
    nb::object vr = env_vr(self);
    nb::object type_key = kc::py_str("Type");
    if (PyLong_Check(target_idx_code.ptr()))
        return kc::to_int(getitem(target_info(vr, target_idx_code), type_key));
    if (!PyUnicode_Check(target_idx_code.ptr()))
        kc::raise(PyExc_TypeError, "a target is an int index or a code text, not '%s'",
                  Py_TYPE(target_idx_code.ptr())->tp_name);
    nb::object code = call_method(target_idx_code, n::upper);
    nb::object targets_info = getattr(vr, n::g_KorvitTargetsInfo);
    int known = PySequence_Contains(targets_info.ptr(), code.ptr());
    if (known < 0)
        kc::throw_current();
    if (known)
        return kc::to_int(getitem(getitem(targets_info, code), type_key));
    nb::object parts[2];
    kc::unpack(call_method(code, n::split, kc::py_str(".")), 2, parts);
    nb::object query = steal(PyDict_New());
    kc::setitem(query, kc::py_str("Market"), parts[0]);
    kc::setitem(query, kc::py_str("Code"), parts[1]);
    nb::object queries = steal(PyList_New(1));
    PyList_SET_ITEM(queries.ptr(), 0, query.release().ptr());
    nb::object get_target_info = kc::import_from("korvit.api.history._history", "get_target_info");
    nb::object records = call(get_target_info, queries);
    return getitem(getitem(records, kc::py_int(0)), type_key);
}

nb::object market_code_to_idx(nb::handle self, nb::handle market, nb::handle code) {
    nb::object args = tuple2(market, code);
    nb::object joined = steal(PyUnicode_Format(kc::py_str("%s.%s").ptr(), args.ptr()));
    Py_ssize_t i = find_entry(target_list_dot(self), call_method(joined, n::upper));
    return kc::py_int(i);
}

nb::object daily_close_time(nb::handle self) {
    return getattr(getattr(env_vr(self), n::g_KorvitSettingInfo), n::DailyCloseTime);
}

// ------------------------------------------------------------ user scope

struct UserCallback {
    Name &key;             // gv name of the callback in the user scope
    const char *signature; // the expected signature, shown to the user
    long long arg_count;
    const char *params[4]; // parameter names; a single one is passed as a plain str
    Name &fallback;        // default in the host module sysdefine
    bool warn;             // tell the user when the callback is replaced
    Name &phase;           // run phase of its wrapper
    Name &stored_as;       // field of the strategy input
};

nb::object update_user_scope(nb::handle self, nb::handle user_scope) {
    UserCallback callbacks[] = {
        {n::CALLUSER_INIT,
         "def init(context): pass",
         1,
         {"context"},
         n::init,
         true,
         n::RUMMODE_PHASE_USERINIT,
         n::on_init_func},
        {n::CALLUSER_ONDATA,
         "def on_data(context): pass",
         1,
         {"context"},
         n::on_data,
         true,
         n::RUMMODE_PHASE_ONDATA,
         n::on_data_func},
        {n::CALLUSER_ORDER_STATUS,
         "def on_order_status(context, order, *args, **kwargs): pass",
         4,
         {"context", "order", "*args", "**kwargs"},
         n::on_order_status,
         false,
         n::RUMMODE_PHASE_DEAL_TRADE,
         n::on_order_status_func},
        {n::CALLUSER_ORDER_EXECUTION,
         "def on_execution(context, excution, *args, **kwargs): pass",
         4,
         {"context", "excution", "*args", "**kwargs"},
         n::on_execution,
         false,
         n::RUMMODE_PHASE_DEAL_TRADE,
         n::on_order_execution_func},
    };
    constexpr size_t count = sizeof(callbacks) / sizeof(callbacks[0]);
    nb::object gv = env_gv(self);

    nb::object funcs[count];
    for (size_t i = 0; i < count; ++i)
        funcs[i] = call_method(user_scope, n::get, getattr(gv, callbacks[i].key));

    static Name func_name{"func_name"}, arg_count{"arg_count"}, param_names{"param_names"}, raise_error{"raise_error"},
        except_sig{"except_sig"};
    for (size_t i = 0; i < count; ++i) {
        const UserCallback &cb = callbacks[i];
        nb::object params;
        if (cb.arg_count == 1) {
            params = kc::py_str(cb.params[0]);
        } else {
            params = steal(PyTuple_New((Py_ssize_t)cb.arg_count));
            for (Py_ssize_t k = 0; k < (Py_ssize_t)cb.arg_count; ++k)
                PyTuple_SET_ITEM(params.ptr(), k, kc::py_str(cb.params[k]).release().ptr());
        }
        nb::object signature = kc::py_str(cb.signature);
        nb::object checker = ns.get(n::ArgumentChecker);
        nb::object result = kc::call_kw(getattr(checker, n::check_callable), {funcs[i]},
                                        {{func_name, getattr(gv, cb.key)},
                                         {arg_count, kc::py_int(cb.arg_count)},
                                         {param_names, params},
                                         {raise_error, kc::py_bool(false)},
                                         {except_sig, signature}});
        nb::object verdict[2];
        kc::unpack(result, 2, verdict);
        if (!kc::truthy(verdict[0])) {
            if (cb.warn) {
                nb::object args = tuple2(verdict[1], signature);
                nb::object text = steal(PyUnicode_Format(kc::py_str("%s, expect signature`%s`").ptr(), args.ptr()));
                call(ns.get(n::user_warning), text);
            }
            funcs[i] = getattr(ns.get(n::sysdefine), cb.fallback);
        }
    }

    nb::object vr = env_vr(self);
    nb::object smm = getattr(self, n::smm);
    for (size_t i = 0; i < count; ++i) {
        nb::object guard = call_method(smm, n::force_phase, getattr(gv, callbacks[i].phase));
        nb::object wrapped = call(guard, funcs[i]);
        kc::setattr(getattr(vr, n::g_KorvitInputInfo), callbacks[i].stored_as, wrapped);
    }
    return kc::none();
}

nb::object fresh_bar_num(nb::handle self) { return getattr(env_vr(self), n::g_KorvitSimCurBarFresh); }
nb::object user_context(nb::handle self) { return getattr(env_vr(self), n::g_KorvitUserContext); }
nb::object get_strategy_input(nb::handle self) { return getattr(env_vr(self), n::g_KorvitInputInfo); }
nb::object in_fresh_bar(nb::handle self) { return getattr(env_vr(self), n::g_KorvitFreshBarStatus); }
void set_fresh_bar(nb::handle self, nb::handle value) { kc::setattr(env_vr(self), n::g_KorvitFreshBarStatus, value); }
void before_new_fresh_bar(nb::handle) {}
void reset_daily_close_time_setting(nb::handle self) {
    kc::setattr(getattr(env_vr(self), n::g_KorvitSettingInfo), n::DailyCloseTime, kc::none());
}
nb::object exist_daily_close_time_setting(nb::handle self) { return kc::py_bool(!daily_close_time(self).is_none()); }

void set_env(nb::handle self, nb::handle vr, nb::handle gv, nb::handle smm) {
    kc::setattr(self, n::gv, gv);
    kc::setattr(self, n::vr, vr);
    call_method(getattr(self, n::vr), n::set_env, self);
    kc::setattr(self, n::smm, smm);
}

// Marks a method as meant to be replaced by specialised environments, the way
// `abc.abstractmethod` does, without making the class abstract.
struct ReplaceableMethod {
    nb::object func;
};

} // namespace

// ------------------------------------------------------------------ binding

void env_init(nb::handle self) {
    for (Name *field : {&n::vr, &n::gv, &n::smm, &n::snap, &n::diff_cvt, &n::diff_api})
        kc::setattr(self, *field, kc::none());
}

namespace {
void env_init_native(SystemBaseEnv *p) {
    new (p) SystemBaseEnv();
    KC_GUARD(FK_QUAL("SystemBaseEnv.__init__"), { env_init(nb::find(p)); });
}
} // namespace

#define FK_OP(name) kc::guard<name>(KC_SITE(FK_QUAL("SystemBaseEnv." #name)))

void bind_environment(nb::module_ &m) {
    nb::class_<ReplaceableMethod>(m, "_replaceable_method")
        .def(
            "__get__",
            [](nb::handle self, nb::handle obj, nb::handle) -> nb::object {
                if (obj.is_none())
                    return nb::borrow(self);
                return kc::steal(PyMethod_New(nb::cast<ReplaceableMethod &>(self).func.ptr(), obj.ptr()));
            },
            ARG("obj"), ARG("type") = nb::none())
        .def("__call__", [](ReplaceableMethod &r, nb::args args, nb::kwargs kwargs) { return r.func(*args, **kwargs); })
        .def_prop_ro("__isabstractmethod__", [](nb::handle) { return true; })
        // help() and pydoc read the wrapped method's docstring.
        .def_prop_ro("__doc__",
                     [](ReplaceableMethod &r) { return kc::steal(PyObject_GetAttrString(r.func.ptr(), "__doc__")); })
        .def("__getattr__", [](ReplaceableMethod &r, nb::handle name) {
            return kc::steal(PyObject_GetAttr(r.func.ptr(), name.ptr()));
        });
    m.attr("_replaceable_method").attr("__module__") = m.attr("__name__");

    // Parameters take any value, None included (the operations check what they
    // read); the signatures give the types the framework passes, for help() and
    // the generated stub.
    auto cls = nb::class_<SystemBaseEnv>(m, "SystemBaseEnv", nb::dynamic_attr(),
                                         "The facade through which bars, prices, targets, accounts and fees are read.");
    cls.def("__init__", &env_init_native, "Creates an unbound environment.");
    cls.def(
        "set_env", FK_OP(set_env),
        nb::sig("def set_env(self, _vr: SystemBaseVar | None = None, _gv: type[korvit.tframe.sysdefine.GlobalDefine] | "
                "None = None, _smm: korvit.native.SystemModeMgr | None = None) -> None"),
        ARG("_vr") = nb::none(), ARG("_gv") = nb::none(), ARG("_smm") = nb::none(),
        "Binds the environment to the registry, the constants namespace and the run-phase manager.");
    cls.def_prop_ro("fresh_bar_time", FK_OP(fresh_bar_time), nb::sig("def fresh_bar_time(self) -> float"),
                    "Time of the current fresh bar.");
    cls.def_prop_ro("fresh_bar_num", FK_OP(fresh_bar_num), nb::sig("def fresh_bar_num(self) -> float"),
                    "The fresh-bar cursor as stored (NaN before the first bar).");
    cls.def_prop_ro("fresh_bar_timeline", FK_OP(fresh_bar_timeline),
                    nb::sig("def fresh_bar_timeline(self) -> numpy.typing.NDArray[numpy.float64]"),
                    "The whole time line of the fresh-bar matrix.");
    cls.def("get_internal_fresh_bar_num", FK_OP(get_internal_fresh_bar_num),
            nb::sig("def get_internal_fresh_bar_num(self, default: float = float('nan')) -> float"),
            ARG("default") = nan(), "The user context's internal bar counter, or `default`.");
    cls.def_prop_ro("user_context", FK_OP(user_context), nb::sig("def user_context(self) -> typing.Any"),
                    "The user's context object.");
    cls.def("market_price", FK_OP(market_price),
            nb::sig("def market_price(self, target_idx: int, offset: int = 1) -> float"), ARG("target_idx"),
            ARG("offset") = 1, "A price of one target relative to the current fresh bar.");
    cls.def("get_multiple", FK_OP(get_multiple),
            nb::sig("def get_multiple(self, target_idx: int, default: float = 1.0) -> float"), ARG("target_idx"),
            ARG("default") = 1.0, "Contract multiplier of the target.");
    cls.def("get_minmove", FK_OP(get_minmove), nb::sig("def get_minmove(self, target_idx: int) -> float | None"),
            ARG("target_idx"), "Minimum price move of the target, or None.");
    cls.def("cost_fee_rate", FK_OP(cost_fee_rate), nb::sig("def cost_fee_rate(self, target_type: int) -> float"),
            ARG("target_type"), "Cost-fee rate of a target type (0 for other types).");
    cls.def(
        "matrix_bar_item_pos", FK_OP(matrix_bar_item_pos),
        nb::sig(
            "def matrix_bar_item_pos(self, bar_item: int, target_index: int = 0, contain_head: bool = True) -> int"),
        ARG("bar_item"), ARG("target_index") = 0, ARG("contain_head") = true, "The K-matrix row of a bar item.");
    cls.def_static("is_valid_order_id", FK_OP(is_valid_order_id),
                   nb::sig("def is_valid_order_id(order_id: object) -> bool"), ARG("order_id"),
                   "True when the id is neither NaN nor None.");
    cls.def("check_idx", FK_OP(check_idx),
            nb::sig("def check_idx(self, func_name: str, handle_idx: int | collections.abc.Sequence[int] | "
                    "numpy.typing.NDArray[numpy.int64] | None, target_idx: int | collections.abc.Sequence[int] | "
                    "numpy.typing.NDArray[numpy.int64] | None, toarray: bool = True) -> tuple[int | "
                    "numpy.typing.NDArray[numpy.int64] | None, int | numpy.typing.NDArray[numpy.int64] | None]"),
            ARG("func_name"), ARG("handle_idx"), ARG("target_idx"), ARG("toarray") = true,
            "Checks an account index and a target index given to a public function.");
    cls.def("set_fresh_bar", FK_OP(set_fresh_bar), nb::sig("def set_fresh_bar(self, true_or_false: bool) -> None"),
            ARG("true_or_false"), "Stores the fresh-bar flag.");
    cls.def("in_fresh_bar", FK_OP(in_fresh_bar), nb::sig("def in_fresh_bar(self) -> bool"), "The fresh-bar flag.");
    cls.def("before_new_fresh_bar", FK_OP(before_new_fresh_bar), nb::sig("def before_new_fresh_bar(self) -> None"),
            "Hook run before a new fresh bar; does nothing here.");
    cls.def("reset_daily_close_time_setting", FK_OP(reset_daily_close_time_setting),
            nb::sig("def reset_daily_close_time_setting(self) -> None"), "Clears the daily close time setting.");
    cls.def("exist_daily_close_time_setting", FK_OP(exist_daily_close_time_setting),
            nb::sig("def exist_daily_close_time_setting(self) -> bool"), "Whether a daily close time is set.");

    nb::object update = nb::cpp_function(
        FK_OP(update_user_scope),
        nb::sig("def update_user_scope(self, user_scope: collections.abc.Mapping[str, typing.Any]) -> None"),
        nb::is_method(), nb::scope(cls), ARG("user_scope"),
        "Finds, checks and wraps the user's strategy callbacks (meant to be replaced by specialised environments).");
    cls.attr("update_user_scope") = nb::cast(new ReplaceableMethod{update}, nb::rv_policy::take_ownership);

    cls.def_prop_ro("handle_idx_count", FK_OP(handle_idx_count), nb::sig("def handle_idx_count(self) -> int"),
                    "Number of accounts.");
    cls.def("account_handle_to_idx", FK_OP(account_handle_to_idx),
            nb::sig("def account_handle_to_idx(self, handle: str) -> int | None"), ARG("handle"),
            "Index of the first account with that handle, or None.");
    cls.def("account_idx_to_handle", FK_OP(account_idx_to_handle),
            nb::sig("def account_idx_to_handle(self, idx: int) -> str"), ARG("idx"),
            "Handle of the account at that index.");
    cls.def("get_account_by_handle", FK_OP(get_account_by_handle),
            nb::sig("def get_account_by_handle(self, handle: str) -> korvit.native.KVBackAccount | None"),
            ARG("handle"), "The first account with that handle, or None.");
    cls.def("get_handle_account_map", FK_OP(get_handle_account_map),
            nb::sig("def get_handle_account_map(self, handles: collections.abc.Iterable[str]) -> dict[str, "
                    "korvit.native.KVBackAccount | None]"),
            ARG("handles"), "Map from each distinct handle to its account (or None).");
    cls.def_prop_ro("account_handles", FK_OP(account_handles), nb::sig("def account_handles(self) -> list[str]"),
                    "Every account's handle, in account order.");
    cls.def_prop_ro("target_idx_count", FK_OP(target_idx_count), nb::sig("def target_idx_count(self) -> int"),
                    "Number of targets.");
    cls.def("get_target_idx", FK_OP(get_target_idx), nb::sig("def get_target_idx(self, target: str) -> int | None"),
            ARG("target"), "Index of a dotted target code, or None.");
    cls.def(
        "get_target_name", FK_OP(get_target_name),
        nb::sig(
            "def get_target_name(self, target_index: int | collections.abc.Iterable[int]) -> str | list[str] | None"),
        ARG("target_index"), "Dotted code of one target index, or the codes of a sequence of indices.");
    cls.def("is_target_type", FK_OP(is_target_type),
            nb::sig("def is_target_type(self, target_idx: int, target_type: int) -> bool"), ARG("target_idx"),
            ARG("target_type"), "Whether the target is of that type.");
    cls.def("get_target_type", FK_OP(get_target_type),
            nb::sig("def get_target_type(self, target_idx_code: int | str) -> int"), ARG("target_idx_code"),
            "Type of a target given by index or by code.");
    cls.def(
        "get_bar", FK_OP(get_bar),
        nb::sig(
            "def get_bar(self, target_idx: int | collections.abc.Sequence[int] | numpy.typing.NDArray[numpy.int64], "
            "offset: int = 0) -> dict[str, numpy.typing.NDArray[typing.Any]] | None"),
        ARG("target_idx"), ARG("offset") = 0, "One bar of several targets as a map of arrays, or None.");
    cls.def("get_bar_field", FK_OP(get_bar_field),
            nb::sig("def get_bar_field(self, target_indices: int | collections.abc.Sequence[int] | "
                    "numpy.typing.NDArray[numpy.int64], bar_pos: int, fields: collections.abc.Sequence[str]) -> "
                    "numpy.typing.NDArray[numpy.float64]"),
            ARG("target_indices"), ARG("bar_pos"), ARG("fields"),
            "Chosen fields of several targets at one fresh-bar position (fields x targets).");
    cls.def("market_code_to_idx", FK_OP(market_code_to_idx),
            nb::sig("def market_code_to_idx(self, market: str, code: str) -> int"), ARG("market"), ARG("code"),
            "Target index of a market and code, or -1.");
    cls.def("get_strategy_input", FK_OP(get_strategy_input),
            nb::sig("def get_strategy_input(self) -> korvit.tframe.uclass.StrategyItem"), "The strategy input record.");
    cls.def("generate_kmatrix_array", FK_OP(generate_kmatrix_array),
            nb::sig("def generate_kmatrix_array(self, target_count: int, time_line_len: int) -> "
                    "numpy.typing.NDArray[numpy.float64]"),
            ARG("target_count"), ARG("time_line_len"), "A new zero K-matrix.");
    cls.def("generate_kmatrix_df", FK_OP(generate_kmatrix_df),
            nb::sig("def generate_kmatrix_df(self, target_count: int, time_line_len: int) -> pandas.DataFrame"),
            ARG("target_count"), ARG("time_line_len"), "A new zero K-matrix as a labelled data frame.");
    bind_environment_lifecycle(cls);
}

} // namespace fk
