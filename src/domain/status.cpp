// Order status updates and the user's order-status and execution callbacks.
#define KC_SOURCE "src/domain/status.cpp"
#include "domain/domain.hpp"

namespace dm {

namespace {

// `smm.enter_phase(gv.RUMMODE_PHASE_DEAL_TRADE)(callback)`: the user's
// callback wrapped to run inside the trade-dealing phase.
nb::object in_deal_trade_phase(Name &callback) {
    nb::object factory = kc::call_method(global(n::smm), n::enter_phase, gv(n::RUMMODE_PHASE_DEAL_TRADE));
    return kc::call(factory, kc::getattr(vr_field(n::g_KorvitInputInfo), callback));
}

} // namespace

nb::object _update_order_status(nb::handle order, nb::handle status_s, nb::handle status_idx,
                                nb::handle order_status, nb::handle rej_reason, nb::handle update_time) {
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
    Own::_back_test_call_on_order_status.call(
        ns, [&] { return _back_test_call_on_order_status(order); }, order);
    return kc::none();
}

nb::object _back_test_call_on_order_status(nb::handle order) {
    nb::object call_order_status_wrapper = in_deal_trade_phase(n::on_order_status_func);
    nb::object input = vr_field(n::g_KorvitInputInfo);
    nb::object snap_order = kc::call(global(n::convert_back_order_to_snap_order), order,
                                     kc::getattr(input, n::AccountNameList), kc::getattr(input, n::TargetList));
    kc::call(call_order_status_wrapper, vr_field(n::g_KorvitUserContext), snap_order);
    return kc::none();
}

nb::object _back_test_call_on_execution(nb::handle order, nb::handle trader) {
    nb::object call_order_status_wrapper = in_deal_trade_phase(n::on_order_execution_func);
    nb::object input = vr_field(n::g_KorvitInputInfo);
    nb::object snap_execution =
        kc::call(global(n::convert_back_order_to_snap_execution), order, trader,
                 kc::getattr(input, n::AccountNameList), kc::getattr(input, n::TargetList));
    kc::call(call_order_status_wrapper, vr_field(n::g_KorvitUserContext), snap_execution);
    return kc::none();
}

} // namespace dm
