"""The small run on korvit: a 10/30 cross of the means of the last closes, 100 shares at
market (filled at the next bar's open), flat when the fast mean crosses back below."""

from korvit.strategy import buy, history, position, sell

FAST, SLOW, SHARES = 10, 30, 100


def on_data(context):
    code = context.codes[0]
    close = history(code, "close", SLOW + 1)
    if len(close) <= SLOW:
        return
    fast_now, fast_before = close[-FAST:].mean(), close[-FAST - 1 : -1].mean()
    slow_now, slow_before = close[-SLOW:].mean(), close[:-1].mean()
    held = position(code)
    if fast_before <= slow_before and fast_now > slow_now and held == 0:
        buy(code, SHARES)
    elif fast_before >= slow_before and fast_now < slow_now and held > 0:
        sell(code, held)
