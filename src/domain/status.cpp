// Order status updates and the user's order-status and execution callbacks.
#define KC_SOURCE "src/domain/status.cpp"
#include "domain/domain.hpp"
#include "native/services.hpp"

#include <utility>

namespace dm {

namespace {

// The do-nothing callbacks that a strategy without its own gets, with the
// code they were made with, and korvit.native's converters: the objects
// found when this module was imported, kept for the process.
struct Default {
    PyObject *callback = nullptr, *code = nullptr, *converter = nullptr;
} order_status_default, execution_default;

// `smm.enter_phase(gv.RUMMODE_PHASE_DEAL_TRADE)(callback)`: the user's
// callback wrapped to run inside the trade-dealing phase; `installed` is the
// callback found.
nb::object in_deal_trade_phase(Name &callback, nb::object &installed) {
    nb::object factory = kc::call_method(global(n::smm), n::enter_phase, gv(n::RUMMODE_PHASE_DEAL_TRADE));
    installed = kc::getattr(vr_field(n::g_KorvitInputInfo), callback);
    return kc::call(factory, installed);
}

// Whether calling `wrapper` with a report runs the do-nothing default and
// nothing else that could read the report: `wrapper` is korvit.native's phase
// wrapper of `installed`, which is the default itself or such a wrapper of
// it, its code unchanged; and the converter now named is still ours.  Then
// the report is read by no one.
bool unread_report(nb::handle wrapper, nb::handle installed, nb::handle converter, const Default &d) {
    if (!d.callback || converter.ptr() != d.converter)
        return false;
    const knative::EngineServices *services = knative::engine_services();
    if (!services)
        kc::throw_current();
    if (services->phase_wrapped(wrapper.ptr()) != installed.ptr())
        return false;
    PyObject *inner = services->phase_wrapped(installed.ptr());
    if (!inner)
        inner = installed.ptr();
    return inner == d.callback && PyFunction_GET_CODE(inner) == d.code;
}

bool yes(int quiet) {
    if (quiet < 0)
        kc::throw_current();
    return quiet == 1;
}

} // namespace

void capture_callback_defaults() {
    nb::object sysdefine = kc::import("korvit.tframe.sysdefine");
    nb::object native = kc::import("korvit.native");
    const std::pair<Default *, std::pair<const char *, const char *>> found[] = {
        {&order_status_default, {"on_order_status", "snap_order"}},
        {&execution_default, {"on_execution", "snap_execution"}}};
    for (const auto &[d, names] : found) {
        nb::object callback = kc::steal(PyObject_GetAttrString(sysdefine.ptr(), names.first));
        nb::object converter = kc::steal(PyObject_GetAttrString(native.ptr(), names.second));
        if (!PyFunction_Check(callback.ptr()))
            continue; // no default to know: every report is made
        d->code = Py_NewRef(PyFunction_GET_CODE(callback.ptr()));
        d->converter = converter.release().ptr();
        d->callback = callback.release().ptr();
    }
}

nb::object _update_order_status(nb::handle order, nb::handle status_s, nb::handle status_idx, nb::handle order_status,
                                nb::handle rej_reason, nb::handle update_time) {
    nb::object account = kc::getitem(vr_field(n::g_KorvitAccounts), index_of(order, n::handle_idx));

    nb::object current = kc::field(order, n::status);
    const bool becomes_holding =
        kc::equals(current, gv(n::OrderStatus_PreHolding)) && kc::equals(order_status, gv(n::OrderStatus_Holding));
    const bool stops_holding =
        !becomes_holding && kc::equals(current, gv(n::OrderStatus_Holding)) &&
        (kc::equals(order_status, gv(n::OrderStatus_Cancelled)) || kc::equals(order_status, gv(n::OrderStatus_Denied)));

    kc::call_method(order, n::update_status, order_status, rej_reason, update_time);
    if (becomes_holding || stops_holding) {
        nb::object orders = kc::steal(PyList_New(1));
        PyList_SET_ITEM(orders.ptr(), 0, nb::borrow(order).release().ptr());
        kc::call_method(account, n::on_order, orders);
    }
    kc::setitem(status_s, status_idx, order_status);
    Own::_back_test_call_on_order_status.call(ns, [&] { return _back_test_call_on_order_status(order); }, order);
    return kc::none();
}

// A report that only the do-nothing default would get is not made when
// making it would run no host code and could not fail (the converters'
// `quiet_*` checks): the default is called with None instead, in its phase,
// as it would be called with the report.  Any other callback or converter
// gets today's calls.
nb::object _back_test_call_on_order_status(nb::handle order) {
    nb::object installed;
    nb::object call_order_status_wrapper = in_deal_trade_phase(n::on_order_status_func, installed);
    nb::object input = vr_field(n::g_KorvitInputInfo);
    nb::object account_names = kc::getattr(input, n::AccountNameList), targets = kc::getattr(input, n::TargetList);
    nb::object converter = global(n::convert_back_order_to_snap_order);
    nb::object snap_order;
    if (unread_report(call_order_status_wrapper, installed, converter, order_status_default) &&
        yes(knative::engine_services()->quiet_snap_order(order.ptr(), account_names.ptr(), targets.ptr())))
        snap_order = kc::none();
    else
        snap_order = kc::call(converter, order, account_names, targets);
    kc::call(call_order_status_wrapper, vr_field(n::g_KorvitUserContext), snap_order);
    return kc::none();
}

nb::object _back_test_call_on_execution(nb::handle order, nb::handle trader) {
    nb::object installed;
    nb::object call_order_status_wrapper = in_deal_trade_phase(n::on_order_execution_func, installed);
    nb::object input = vr_field(n::g_KorvitInputInfo);
    nb::object account_names = kc::getattr(input, n::AccountNameList), targets = kc::getattr(input, n::TargetList);
    nb::object converter = global(n::convert_back_order_to_snap_execution);
    nb::object snap_execution;
    if (unread_report(call_order_status_wrapper, installed, converter, execution_default) &&
        yes(knative::engine_services()->quiet_snap_execution(order.ptr(), trader.ptr(), account_names.ptr(),
                                                             targets.ptr())))
        snap_execution = kc::none();
    else
        snap_execution = kc::call(converter, order, trader, account_names, targets);
    kc::call(call_order_status_wrapper, vr_field(n::g_KorvitUserContext), snap_execution);
    return kc::none();
}

} // namespace dm
