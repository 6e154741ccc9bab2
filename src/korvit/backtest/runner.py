"""One step of the host's backtest loop: deal a bar.

The matching engine deals the pending orders of the bar and removes the
finished ones from the orders' snap "unfilled".  The closing orders that fired
stop orders place are matched at once, in the same bar, and reported with the
filled orders; they joined "unfilled" when they were stored, and leaving them
there would offer an already finished order to the next bar.  ``deal_bar``
takes them out once the engine is done with the bar.
"""

import korvit.tframe.framekit as framekit
from korvit.backtest import domain
from korvit.tframe.sysdefine import GlobalDefine as gv

__all__ = ["deal_bar"]

_FINAL = (gv.OrderStatus_Filled, gv.OrderStatus_Cancelled, gv.OrderStatus_Denied)


def deal_bar(bar_pos):
    """Move the bar cursor to ``bar_pos`` and deal that bar.

    Returns the engine's ``(filled_order_ids, order_denied_canceled_ids,
    fired_stop_order_ids)``.
    """
    vr = framekit.vr
    vr.g_KorvitSimCurBarFresh = bar_pos
    filled, failed, fired = domain.deal_trade()
    orders = vr.g_KVOrders
    pending = {id(order) for order in orders.snap_obj("unfilled")}
    finished = [order for order in orders.obj(list(filled))
                if order is not None and id(order) in pending and order.status in _FINAL]
    if finished:
        orders.snap_remove("unfilled", finished)
    return filled, failed, fired
