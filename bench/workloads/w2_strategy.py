"""W2 "futures intraday, minute": every twentieth bar, when flat and no entry is pending,
buy one lot at market, protected by a trailing stop 20 points behind the best price once
the price has gained 10 points, and by a stop-loss 30 points below the fill."""

from korvit.strategy import buy, points, position, trailing

EVERY = 20
LOT = 1


def init(context):
    context.n = 0
    context.code = context.codes[0]
    context.entry = None


def on_data(context):
    context.n += 1
    if context.n % EVERY:
        return
    entry = context.entry
    if entry is not None and entry.is_open:
        return
    if position(context.code) != 0:
        return
    context.entry = buy(
        context.code,
        LOT,
        trailing_stop=trailing(points(20), activate=points(10)),
        stop_loss=points(30),
    )
