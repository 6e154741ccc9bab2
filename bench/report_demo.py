"""Build a synthetic two-account backtest result and write its outputs.

    python bench/report_demo.py [OUT_DIR] [--minute]

A stock account trades a moving-average cross on a random walk and a futures
account trades the same signal short and long; the result is saved to OUT_DIR
(default ``/tmp/korvit_report_demo``) so the report can be opened or
screenshotted.
"""

import sys

import numpy as np
import pandas as pd

from korvit.backtest.results import BacktestResult
from korvit.data import Bars


def synthetic_result(*, frequency="day", bars=260, seed=7, strategy="MA cross <demo>"):
    rng = np.random.default_rng(seed)
    if frequency == "day":
        times = pd.bdate_range("2023-01-02", periods=bars)
    else:
        days = pd.bdate_range("2024-03-04", periods=max(1, bars // 240))
        times = pd.DatetimeIndex(
            [d + pd.Timedelta(hours=9, minutes=30 + m) for d in days for m in range(240)]
        )[:bars]
    price = 50 * np.exp(np.cumsum(rng.normal(0.0004, 0.015, len(times))))
    fast = pd.Series(price).rolling(5).mean().to_numpy()
    slow = pd.Series(price).rolling(20).mean().to_numpy()
    signal = np.where(np.isnan(slow), 0, np.where(fast > slow, 1, -1))

    eq_rows, trades, orders = [], [], []
    cash = {"STK-01": 100_000.0, "FUT-01": 100_000.0}
    stock_pos, fut_pos, fut_entry = 0, 0, 0.0
    mult, margin_rate, fee_rate = 10.0, 0.12, 0.0003
    tid = oid = 0

    def fill(t, account, code, side, effect, vol, px, m):
        nonlocal tid, oid
        tid += 1
        oid += 1
        fee = round(px * vol * m * fee_rate, 2)
        orders.append(
            dict(
                order_id=oid,
                created=t,
                updated=t,
                account=account,
                code=code,
                type="market",
                side=side,
                effect=effect,
                volume=vol,
                price=px,
                status="filled",
                filled_volume=vol,
                average_price=px,
                reason="",
                stop_id=np.nan,
            )
        )
        trades.append(
            dict(
                trade_id=tid,
                order_id=oid,
                time=t,
                account=account,
                code=code,
                side=side,
                effect=effect,
                volume=vol,
                price=px,
                multiplier=m,
                fee=fee,
            )
        )
        return fee

    for i, t in enumerate(times):
        px = float(price[i])
        want_stock = 1000 if signal[i] > 0 else 0
        if want_stock != stock_pos:
            side, effect = ("buy", "open") if want_stock > stock_pos else ("sell", "close")
            vol = abs(want_stock - stock_pos)
            fee = fill(t, "STK-01", "600000.SH", side, effect, vol, px, 1.0)
            cash["STK-01"] += (-1 if side == "buy" else 1) * vol * px - fee
            stock_pos = want_stock
        want_fut = int(signal[i]) * 4
        if want_fut != fut_pos:
            if fut_pos:
                side = "sell" if fut_pos > 0 else "buy"
                fee = fill(t, "FUT-01", "IF2406", side, "close", abs(fut_pos), px, mult)
                cash["FUT-01"] += (px - fut_entry) * fut_pos * mult - fee
            if want_fut:
                side = "buy" if want_fut > 0 else "sell"
                fee = fill(t, "FUT-01", "IF2406", side, "open", abs(want_fut), px, mult)
                cash["FUT-01"] -= fee
                fut_entry = px
            fut_pos = want_fut
        eq_rows.append(
            dict(
                time=t,
                account="FUT-01",
                cash=cash["FUT-01"],
                market_value=(px - fut_entry) * fut_pos * mult,
                margin=abs(fut_pos) * px * mult * margin_rate,
                equity=cash["FUT-01"] + (px - fut_entry) * fut_pos * mult,
            )
        )
        eq_rows.append(
            dict(
                time=t,
                account="STK-01",
                cash=cash["STK-01"],
                market_value=stock_pos * px,
                margin=0.0,
                equity=cash["STK-01"] + stock_pos * px,
            )
        )
    orders.append(
        dict(
            order_id=oid + 1,
            created=times[-1],
            updated=times[-1],
            account="STK-01",
            code="600000.SH",
            type="limit",
            side="buy",
            effect="open",
            volume=100_000,
            price=float(price[-1]),
            status="denied",
            filled_volume=0,
            average_price=np.nan,
            reason="not enough cash",
            stop_id=np.nan,
        )
    )
    stops = pd.DataFrame(
        columns=[
            "stop_id",
            "order_id",
            "account",
            "code",
            "kind",
            "gap",
            "gap_type",
            "status",
            "stop_price",
            "trigger_time",
            "trigger_price",
            "closing_order_id",
        ]
    )
    # The bars both codes traded on: the random walk, a little range around each close.
    spread = np.abs(rng.normal(0, 0.006, len(times))) * price
    bar = np.stack(
        [
            np.r_[price[0], price[:-1]],
            price + spread,
            price - spread,
            price,
            rng.integers(1_000, 50_000, len(times)).astype(float),
        ],
        axis=1,
    )
    bar[:, 1] = np.maximum(bar[:, 1], np.maximum(bar[:, 0], bar[:, 3]))
    bar[:, 2] = np.minimum(bar[:, 2], np.minimum(bar[:, 0], bar[:, 3]))
    prices = Bars(["600000.SH", "IF2406"], times, np.stack([bar, bar]), frequency)
    return BacktestResult(
        pd.DataFrame(eq_rows),
        pd.DataFrame(orders),
        pd.DataFrame(trades),
        stops,
        frequency=frequency,
        initial_cash=200_000.0,
        strategy=strategy,
        params={"fast": 5, "slow": 20},
        meta={"data": "synthetic random walk"},
        bars=prices,
    )


if __name__ == "__main__":
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    freq = "minute" if "--minute" in sys.argv else "day"
    res = synthetic_result(frequency=freq, bars=260 if freq == "day" else 1200)
    path = res.save(args[0] if args else "/tmp/korvit_report_demo")
    print(res.summary())
    print(path)
