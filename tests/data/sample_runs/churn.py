"""Small trades in every stock of the run: most commissions are the minimum,
one stock is also sold short and bought back, some orders are limits."""

from korvit.strategy import buy, buy_to_cover, contract, history, position, sell, sell_short


def init(context):
    context.bar = 0


def on_data(context):
    context.bar += 1
    for k, code in enumerate(context.codes):
        if contract(code).kind != "stock":
            continue
        held = position(code)
        phase = (context.bar + 3 * k) % 9
        if phase == 0 and held == 0:
            buy(code, 100 * (1 + k))
        elif phase == 2 and held == 0:
            buy(code, 200, round(history(code, "close", 1)[-1] * 0.99, 2))
        elif phase == 4 and held > 0:
            sell(code, held)
        elif phase == 5 and held == 0 and k == 2:
            sell_short(code, 300)
        elif phase == 8 and held < 0:
            buy_to_cover(code, -held)
