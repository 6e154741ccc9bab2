"""Equal weights, rebalanced monthly: on the first bar of each month every
stock of the run is brought to the same share of the account's equity
(1 % is kept in cash for fees and the next open's moves).

    korvit backtest examples/strategies/monthly_rebalance.py
"""

from korvit.strategy import Context, contract, now, rebalance


def on_data(context: Context) -> None:
    month = now().month
    if getattr(context, "month", None) != month:
        context.month = month
        stocks = [code for code in context.codes if contract(code).kind == "stock"]
        rebalance({code: 1 / len(stocks) for code in stocks}, cash_buffer=0.01)
