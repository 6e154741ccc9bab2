"""The small run on korvit, the averages computed once in ``init`` (``korvit.indicators``)
and revealed bar by bar: the same 10/30 cross as ``korvit_sma.py``, the same trades."""

from korvit.indicators import crossed_above, crossed_below, sma
from korvit.strategy import buy, position, sell

FAST, SLOW, SHARES = 10, 30, 100


def init(context):
    context.code = code = context.codes[0]
    context.fast, context.slow = sma(code, FAST), sma(code, SLOW)


def on_data(context):
    code, fast, slow = context.code, context.fast, context.slow
    held = position(code)
    if crossed_above(fast, slow) and held == 0:
        buy(code, SHARES)
    elif crossed_below(fast, slow) and held > 0:
        sell(code, held)
