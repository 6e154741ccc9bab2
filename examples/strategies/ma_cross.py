"""Moving-average cross with a stop-loss, on every stock of the run.

Buys 100 shares (or more, see ``lot``) when the fast average of the close
crosses above the slow one, protected by a stop-loss ``stop`` percent below
the fill; sells when it crosses back below.  Parameters (``--param NAME=VALUE``
on the command line): fast (10), slow (30), stop (5), lot (100).
"""

from korvit.strategy import buy, history, percent, position, sell


def init(context):
    context.fast = context.params.get("fast", 10)
    context.slow = context.params.get("slow", 30)
    context.stop = context.params.get("stop", 5)
    context.lot = context.params.get("lot", 100)


def on_data(context):
    for code in context.codes:
        close = history(code, "close", context.slow + 1)
        if len(close) <= context.slow:
            continue
        fast_now, fast_before = close[-context.fast:].mean(), close[-context.fast - 1:-1].mean()
        slow_now, slow_before = close[-context.slow:].mean(), close[:-1].mean()
        held = position(code)
        if fast_before <= slow_before and fast_now > slow_now and held == 0:
            buy(code, context.lot, stop_loss=percent(context.stop))
        elif fast_before >= slow_before and fast_now < slow_now and held > 0:
            sell(code, held)
