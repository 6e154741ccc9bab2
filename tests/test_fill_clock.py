"""One clock for every fill: a fill decided on a bar (market, limit, stop entry, stop exit)
is dated at the start of the bar's period, with bar_time "end" or "start"; one decided on a
tick keeps the tick's time.  Checked against the positions the equity table holds at each
bar's close (each of two codes in an account of its own): the fills dated in a bar's period
are those that moved its position."""

import os

import numpy as np
import pandas as pd
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvit.backtest import run
from korvit.strategy import percent, trailing

CODES = ("SZSE.000001", "SSE.600000")
GAP = st.integers(1, 30).map(lambda t: percent(t / 10))
TRAILING = st.builds(trailing, GAP, st.none() | GAP)
STOPS = st.fixed_dictionaries(
    {}, optional={"stop_loss": GAP, "take_profit": GAP, "trailing_stop": TRAILING}
)
ORDERS = st.none() | st.tuples(
    st.sampled_from(["market", "limit", "stop", "sell", "sell limit"]), st.integers(-20, 20), STOPS
)


@st.composite
def markets(draw):
    """Bars as written, each bar's stated start, ticks strictly inside some periods, and
    the order (kind, offset from the close in 0.1 %, stops) placed at each code and bar."""
    step = draw(st.sampled_from(["30s", "1min", "5min"]))
    end = draw(st.booleans())
    written = pd.date_range("2024-03-04 09:31", periods=draw(st.integers(8, 20)), freq=step)
    starts = written - pd.Timedelta(step) if end else written
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
                gap = pd.Timedelta(step) / 5
                ticks += [
                    (starts[k] + gap * (j + 1), code, p / 100, 10) for j, p in enumerate(path)
                ]
            plans[code, k] = draw(ORDERS)
    columns = ["time", "code", "open", "high", "low", "close", "volume"]
    ticks = pd.DataFrame(ticks, columns=["time", "code", "price", "volume"]) if ticks else None
    return pd.DataFrame(bars, columns=columns), ticks, plans, end, starts, pd.Timedelta(step)


def strategy(plans):
    def on_data(context):
        from korvit.strategy import buy, current_price, pending_orders, position, sell

        context.bar = getattr(context, "bar", -1) + 1
        for account, code in zip(("a0", "a1"), CODES):
            plan, held = plans.get((code, context.bar)), position(code, account)
            if plan is None or pending_orders(code, account):
                continue
            kind, offset, stops = plan
            price = round(current_price(code) * (1 + offset / 1000), 2)
            limit = price if kind.endswith("limit") else None
            if kind.startswith("sell") and held:
                sell(code, held, limit, account=account)
            elif not kind.startswith("sell") and not held:
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
    bars, ticks, plans, end, starts, period = market
    result = run(
        strategy(plans),
        bars,
        ticks=ticks,
        contracts=[{"code": code, "kind": "stock", "lot_size": 1} for code in CODES],
        accounts={"a0": 1e6, "a1": 1e6},
        bar_time="end" if end else "start",
        progress=False,
    )
    trades, equity = result.trades, result.equity
    for account, code in zip(("a0", "a1"), CODES):
        rows = bars[bars.code == code].reset_index(drop=True)
        held = (equity[equity.account == account].market_value.to_numpy() / rows.close).round()
        mine = trades[trades.account == account]
        assert (mine.code == code).all()
        on = starts.searchsorted(mine.time, side="right") - 1  # the period holding each fill
        assert (on >= 0).all() and (mine.time.to_numpy() < starts[on] + period).all()
        tick_prices = ticks[ticks.code == code].set_index("time").price if ticks is not None else {}
        for fill, bar in zip(mine.itertuples(), on):
            if fill.time != starts[bar]:  # decided on a tick: at that tick's price
                assert tick_prices.get(fill.time) == fill.price, (fill, starts[bar])
            assert rows.low[bar] <= fill.price <= rows.high[bar], (fill, rows.iloc[bar])
        signed = np.where(mine.side == "buy", mine.volume, -mine.volume)
        moved = np.bincount(on, weights=signed, minlength=len(rows))
        assert (moved == np.diff(held, prepend=0)).all(), (moved, held)
    # the orders and stops tables carry the times of the fills
    last_fill = trades.groupby("order_id").time.max()
    filled = result.orders[result.orders.status == "filled"].set_index("order_id")
    assert (filled.updated == last_fill.reindex(filled.index)).all()
    fired = result.stops[result.stops.status == "fired"]
    assert (fired.trigger_time.to_numpy() == last_fill[fired.closing_order_id].to_numpy()).all()
