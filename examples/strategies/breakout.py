"""Channel breakout with stop entries, protected by a trailing stop and a fixed stop.

While flat it keeps one stop entry waiting just beyond the channel of the
last ``window`` bars: a buy stop one price step above the highest high when
the close is in the channel's upper half, else a sell-short stop one step
below the lowest low.  The entry is cancelled and placed anew at every bar,
so that it follows the channel; it fills at the first price at or beyond its
stop (on the bar's ticks when they are given: the tick that broke out), not
at the next bar's open after a close beyond the channel.  Each entry carries
a fixed stop ``stop`` points away and a trailing stop that trails the best
price ``trail`` points behind once the price has moved ``activate`` points
in favour.  Run it on the sample minute bars with their ticks:

    korvit backtest examples/strategies/breakout.py \\
        --data sample:minute.csv --ticks sample:ticks.csv --contracts sample:contracts.csv
"""

import math

from korvit.indicators import highest, lowest
from korvit.strategy import (
    Context,
    StopOptions,
    buy,
    cancel,
    contract,
    current_price,
    points,
    position,
    sell_short,
    trailing,
)


def init(context: Context) -> None:
    context.code = context.codes[0]
    window = context.params.get("window", 20)
    context.high = highest(context.code, window)  # NaN until the window is full
    context.low = lowest(context.code, window)
    context.lots = context.params.get("lots", 1)
    context.stop = context.params.get("stop", 12)
    context.activate = context.params.get("activate", 8)
    context.trail = context.params.get("trail", 6)
    context.step = contract(context.code).min_move
    context.entry = None


def on_data(context: Context) -> None:
    code = context.code
    if context.entry is not None and context.entry.is_open:
        cancel(context.entry)  # placed anew below, at this bar's channel
    context.entry = None
    top, bottom = context.high[-1], context.low[-1]
    if math.isnan(top) or position(code) != 0:
        return
    stops = StopOptions(
        stop_loss=points(context.stop),
        trailing_stop=trailing(points(context.trail), activate=points(context.activate)),
    )
    if current_price(code) >= (top + bottom) / 2:
        context.entry = buy(code, context.lots, stop=top + context.step, **stops)
    else:
        context.entry = sell_short(code, context.lots, stop=bottom - context.step, **stops)
