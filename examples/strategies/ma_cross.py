"""Moving-average cross with a stop-loss, on every stock of the run.

When the fast average of the close crosses above the slow one it buys
stock for ``size`` of the cash (in whole lots), protected by a stop-loss
``stop`` percent below the fill; when it crosses back below, it sells.  Parameters (``--param NAME=VALUE``): fast (10), slow (30), stop (5),
size (0.2).  The averages are computed once, in ``init``, and revealed bar
by bar (``korvit.indicators``).
"""

from korvit.indicators import crossed_above, crossed_below, sma
from korvit.strategy import (
    Context,
    cash,
    contract,
    order_target,
    order_target_value,
    percent,
    position,
)


def init(context: Context) -> None:
    fast = context.params.get("fast", 10)
    slow = context.params.get("slow", 30)
    context.stop = context.params.get("stop", 5)
    context.size = context.params.get("size", 0.2)
    context.averages = {
        code: (sma(code, fast), sma(code, slow))
        for code in context.codes
        if contract(code).kind == "stock"
    }


def on_data(context: Context) -> None:
    for code, (fast, slow) in context.averages.items():
        held = position(code)
        if crossed_above(fast, slow) and held == 0:
            order_target_value(code, context.size * cash(), stop_loss=percent(context.stop))
        elif crossed_below(fast, slow) and held > 0:
            order_target(code, 0)
