"""Moving-average cross with a stop-loss, on every stock of the run.

When the fast average of the close crosses above the slow one it buys
stock for ``size`` of the cash (in whole lots), protected by a stop-loss
``stop`` percent below the fill; when it crosses back below, it sells.  Parameters (``--param NAME=VALUE``): fast (10), slow (30), stop (5),
size (0.2).
"""

from korvit.strategy import cash, contract, history, order_target, order_target_value, percent, position


def init(context):
    context.fast = context.params.get("fast", 10)
    context.slow = context.params.get("slow", 30)
    context.stop = context.params.get("stop", 5)
    context.size = context.params.get("size", 0.2)


def on_data(context):
    for code in context.codes:
        close = history(code, "close", context.slow + 1)
        if contract(code).kind != "stock" or len(close) <= context.slow:
            continue
        fast_now, fast_before = close[-context.fast:].mean(), close[-context.fast - 1:-1].mean()
        slow_now, slow_before = close[-context.slow:].mean(), close[:-1].mean()
        held = position(code)
        if fast_before <= slow_before and fast_now > slow_now and held == 0:
            order_target_value(code, context.size * cash(), stop_loss=percent(context.stop))
        elif fast_before >= slow_before and fast_now < slow_now and held > 0:
            order_target(code, 0)
