"""W1 "stock portfolio, daily": every fifth bar from the tenth on, buy 100 shares of each
stock that is flat, has no entry pending and closes above its 10-bar mean (the bar itself
included); each entry carries a 5 % stop-loss and a 10 % take-profit, armed at its fill
from the fill price.  Positions are closed only by these stops.

Bars are numbered from 1; all codes share one timeline, so the bar number is the same for
every stock."""

from korvit.strategy import buy, history, percent, position

EVERY = 5
PERIOD = 10
LOT = 100


def init(context):
    context.n = 0
    context.symbols = sorted(context.codes)
    context.entries = {}  # code -> its latest entry order


def on_data(context):
    context.n += 1
    n = context.n
    if n % EVERY or n < PERIOD:
        return
    entries = context.entries
    for code in context.symbols:
        entry = entries.get(code)
        if entry is not None and entry.is_open:
            continue
        if position(code) != 0:
            continue
        close = history(code, "close", PERIOD)
        if close[-1] > close.mean():
            entries[code] = buy(code, LOT, stop_loss=percent(5), take_profit=percent(10))
