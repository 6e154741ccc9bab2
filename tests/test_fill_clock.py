"""One clock for every fill: a fill decided on a bar (market, limit, stop entry, stop
exit) is dated at the start of the bar's period, however the bar's time was written
(bar_time="end" or "start"); one decided on a tick keeps the tick's time.  Checked on
random intraday bars of two codes, each traded in an account of its own, against the
positions the equity table holds at every bar's close: the fills dated within a bar's
period are the ones that moved its position, so no fill is dated on another bar."""

import os

import numpy as np
import pandas as pd
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvit.backtest import run
from korvit.strategy import percent, trailing

CODES = ("SZSE.000001", "SSE.600000")
CONTRACTS = [{"code": code, "kind": "stock", "lot_size": 1} for code in CODES]
INTERVALS = [pd.Timedelta(seconds=30), pd.Timedelta(minutes=1), pd.Timedelta(minutes=5)]


@st.composite
def markets(draw):
    """Bars (times as written), the stated start of each bar's period, ticks strictly
    inside some periods, and per code and bar the order a strategy places there."""
    interval, bar_time = draw(st.sampled_from(INTERVALS)), draw(st.sampled_from(["end", "start"]))
    n_bars = draw(st.integers(8, 20))
    written = pd.Timestamp("2024-03-04 09:31") + interval * np.arange(n_bars)
    starts = written - interval if bar_time == "end" else written
    bars, ticks, plans = [], [], {}
    for code in CODES:
        close = draw(st.integers(900, 1100))
        for k, time in enumerate(written):
            first = close + draw(st.integers(-30, 30))
            close = first + draw(st.integers(-20, 20))
            high = max(first, close) + draw(st.integers(0, 15))
            low = min(first, close) - draw(st.integers(0, 15))
            bars.append((time, code, first / 100, high / 100, low / 100, close / 100, 1000))
            if draw(st.booleans()):  # the open first, the close last, both extremes between
                path = [first, *draw(st.permutations([high, low])), close]
                step = interval / (len(path) + 1)
                ticks += [
                    (starts[k] + step * (j + 1), code, p / 100, 10) for j, p in enumerate(path)
                ]
            plans[code, k] = draw(orders())
    frame = pd.DataFrame(bars, columns=["time", "code", "open", "high", "low", "close", "volume"])
    tick_frame = pd.DataFrame(ticks, columns=["time", "code", "price", "volume"]) if ticks else None
    return frame, tick_frame, plans, bar_time, starts, interval


def orders():
    """None, or (kind, offset of a limit or stop from the close in percent, stops)."""
    gap = st.integers(1, 30).map(lambda t: percent(t / 10))
    stops = st.fixed_dictionaries(
        {},
        optional={
            "stop_loss": gap,
            "take_profit": gap,
            "trailing_stop": st.builds(trailing, gap, gap),
        },
    )
    kinds = st.sampled_from(["market", "limit", "stop", "sell market", "sell limit"])
    return st.none() | st.tuples(kinds, st.integers(-20, 20).map(lambda t: t / 10), stops)


def strategy(plans):
    def on_data(context):
        from korvit.strategy import buy, current_price, pending_orders, position, sell

        context.bar = getattr(context, "bar", -1) + 1
        for k, code in enumerate(CODES):
            plan = plans.get((code, context.bar))
            account = f"a{k}"
            held = position(code, account)
            if plan is None or pending_orders(code, account):
                continue
            kind, offset, stops = plan
            price = round(current_price(code) * (1 + offset / 100), 2)
            if kind.startswith("sell"):
                if held > 0:
                    sell(code, held, price if kind == "sell limit" else None, account=account)
            elif not held:
                limit = price if kind == "limit" else None
                stop = {"stop": price} if kind == "stop" else {}
                buy(code, 10, limit, account=account, good_for=3, **stop, **stops)

    return {"init": lambda context: None, "on_data": on_data}


@settings(
    max_examples=int(os.environ.get("KORVIT_CLOCK_EXAMPLES", "25")),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(markets())
def test_every_fill_is_dated_inside_the_bar_it_moved(market):
    bars, ticks, plans, bar_time, starts, interval = market
    result = run(
        strategy(plans),
        bars,
        ticks=ticks,
        contracts=CONTRACTS,
        accounts={"a0": 1e6, "a1": 1e6},
        bar_time=bar_time,
        progress=False,
    )
    trades = result.trades
    equity = result.equity
    for k, code in enumerate(CODES):
        rows = bars[bars.code == code].reset_index(drop=True)
        held = (
            equity[equity.account == f"a{k}"].market_value.to_numpy() / rows.close.to_numpy()
        ).round()
        mine = trades[trades.code == code]
        assert (mine.account == f"a{k}").all()
        # the bar whose period holds each fill's time
        on = starts.searchsorted(mine.time, side="right") - 1
        assert (on >= 0).all() and (mine.time.to_numpy() < (starts[on] + interval)).all()
        code_ticks = (
            ticks[ticks.code == code].set_index("time").price if ticks is not None else pd.Series()
        )
        for fill, bar in zip(mine.itertuples(), on):
            if fill.time != starts[bar]:  # decided on a tick: at that tick's price
                assert code_ticks.get(fill.time) == fill.price, (fill, starts[bar])
            assert rows.low[bar] <= fill.price <= rows.high[bar], (fill, rows.iloc[bar])
        signed = np.where(mine.side == "buy", mine.volume, -mine.volume)
        moved = np.bincount(on, weights=signed, minlength=len(rows))
        assert (moved == np.diff(held, prepend=0)).all(), (moved, held)
    # the orders and stops tables carry the same times as the fills
    last_fill = trades.groupby("order_id").time.max()
    filled = result.orders[result.orders.status == "filled"].set_index("order_id")
    assert (filled.updated == last_fill.reindex(filled.index)).all()
    fired = result.stops[result.stops.status == "fired"]
    assert (fired.trigger_time.to_numpy() == last_fill[fired.closing_order_id].to_numpy()).all()
