"""Breakout on futures minute bars, protected by a trailing stop and a fixed stop.

When the close breaks above the highest high of the last ``window`` bars it
buys ``lots`` contracts; below the lowest low it sells short.  Each entry
carries a fixed stop ``stop`` points away and a trailing stop that starts
trailing once the price has moved ``activate`` points in favour and then
follows the best price ``trail`` points behind.  Where a minute bar reaches
both a stop and its trigger, the ticks inside the bar decide which came
first.  Run it on the sample minute bars with their ticks:

    korvit backtest examples/strategies/futures_breakout.py \\
        --data sample:minute.csv --ticks sample:ticks.csv --contracts sample:contracts.csv
"""

from korvit.indicators import highest, lowest
from korvit.strategy import (
    Context,
    StopOptions,
    current_price,
    order_target,
    pending_orders,
    points,
    position,
    trailing,
)


def init(context: Context) -> None:
    context.code = context.codes[0]
    window = context.params.get("window", 30)
    context.high = highest(context.code, window)  # revealed bar by bar: [-1] is the current bar
    context.low = lowest(context.code, window)
    context.lots = context.params.get("lots", 1)
    context.stop = context.params.get("stop", 12)
    context.activate = context.params.get("activate", 8)
    context.trail = context.params.get("trail", 6)


def on_data(context: Context) -> None:
    code = context.code
    if len(context.high) < 2 or position(code) != 0 or pending_orders(code):
        return
    close = current_price(code)
    stops = StopOptions(
        stop_loss=points(context.stop),
        trailing_stop=trailing(points(context.trail), activate=points(context.activate)),
    )
    if close > context.high[-2]:  # above the highest high of the window before this bar
        order_target(code, context.lots, **stops)
    elif close < context.low[-2]:
        order_target(code, -context.lots, **stops)
