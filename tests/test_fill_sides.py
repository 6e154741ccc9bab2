"""Fills on the order's side of the price grid, and limit orders at a better open.

One property of random runs: bars and ticks on a random price step, orders of every
kind and side (limit, stop, stop-limit; stop-loss, take-profit and trailing exits) at
levels on and off the step, under both limit fill rules.  No fill lies beyond its limit,
before its stop or outside its bar's low-high range, and every fill is on the step; a
limit reached after its bar opened better fills at that open (at the limit under
limit_fill="limit_price").  Hand-picked cases ride along as examples."""

from decimal import Decimal

import pandas as pd
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st

from korvit.backtest import run
from korvit.strategy import buy, percent, points, sell_short, trailing

STEPS = ("0.01", "0.05", "0.2", "0.25", "1", "5", "0.001")
KINDS = ("limit", "stop", "stop-limit", "market")
# Where a level lies between two steps: on a step, half way, just past one, just before the next.
FRACTIONS = (Decimal(0), Decimal("0.5"), Decimal("0.1"), Decimal("0.9"))


def price(steps, step, fraction=Decimal(0)):
    return float((steps + fraction) * Decimal(step))


@st.composite
def markets(draw):
    """Per order its own code and price step: daily bars on the step (gaps of up to 6 %
    between bars), the ticks of some bars (the open first, the close last, both extremes
    between), and one order placed at a random bar, its levels a few % from that bar's
    close, on the step or between two, with exits of random gaps."""
    n_bars, orders = draw(st.integers(5, 8)), []
    for _ in range(draw(st.integers(1, 3))):
        step, bars, ticks = draw(st.sampled_from(STEPS)), [], {}
        close = draw(st.integers(1000, 3000))
        for k in range(n_bars):
            first = max(50, close + draw(st.integers(-close * 6 // 100, close * 6 // 100)))
            close = max(50, first + draw(st.integers(-first * 4 // 100, first * 4 // 100)))
            high = max(first, close) + draw(st.integers(0, first * 3 // 100))
            low = max(1, min(first, close) - draw(st.integers(0, first * 3 // 100)))
            bars.append((first, high, low, close))
            if draw(st.booleans()):
                inside = draw(st.lists(st.integers(low, high), max_size=3))
                ticks[k] = [first, *draw(st.permutations([high, low, *inside])), close]
        at = draw(st.integers(0, n_bars - 2))
        ref, (_, high, low, _) = bars[at][3], bars[at + 1]

        def level():  # near the close, or inside the next bar
            steps = draw(
                st.integers(ref - ref * 5 // 100, ref + ref * 5 // 100) | st.integers(low, high)
            )
            return price(steps, step, draw(st.sampled_from(FRACTIONS)))

        kind = draw(st.sampled_from(KINDS))
        limit = level() if kind in ("limit", "stop-limit") else None
        stop = level() if kind in ("stop", "stop-limit") else None
        if kind == "stop-limit" and draw(st.booleans()):
            limit = stop  # both in one step
        gap = st.one_of(
            st.builds(
                lambda n, f: points(price(n, step, f)),
                st.integers(1, 60),
                st.sampled_from(FRACTIONS),
            ),
            st.integers(5, 60).map(lambda t: percent(t / 10)),
        )
        exits = draw(
            st.fixed_dictionaries(
                {},
                optional={
                    "stop_loss": gap,
                    "take_profit": gap,
                    "trailing_stop": st.builds(trailing, gap, gap),
                },
            )
        )
        short = draw(st.booleans())
        orders.append((step, bars, ticks, at, short, kind, limit, stop, exits))
    return orders, draw(st.sampled_from(("first_traded", "limit_price")))


def frames(orders):
    days = pd.bdate_range("2024-01-02", periods=len(orders[0][1]))
    bars, ticks, contracts = [], [], []
    for k, (step, rows, tick_rows, *_) in enumerate(orders):
        code = f"SZSE.00000{k + 1}"
        contracts.append({"code": code, "kind": "stock", "min_move": float(step), "lot_size": 1})
        for day, (o, h, low, c) in zip(days, rows):
            bars.append((day, code, *(price(v, step) for v in (o, h, low, c)), 10_000))
        for j, path in tick_rows.items():
            ticks += [
                (days[j] + pd.Timedelta(hours=9, minutes=30 + 10 * n), code, price(p, step), 100)
                for n, p in enumerate(path)
            ]
    columns = ["time", "code", "open", "high", "low", "close", "volume"]
    tick_frame = pd.DataFrame(ticks, columns=["time", "code", "price", "volume"]) if ticks else None
    return pd.DataFrame(bars, columns=columns), tick_frame, contracts


# A buy limit 1 % under a close of 300 (297.00): the next bar opens at 295.10 and trades up
# through the limit, so the order fills at that open (at 297.00 with "limit_price").
GOOG_LIKE = (
    [
        (30100, 30200, 29900, 30000),
        (29510, 29900, 29450, 29800),
        *[(29800, 29900, 29700, 29800)] * 3,
    ],
    "limit",
    297.0,
    None,
)
# On a 0.01 step, bars trading 100.40-100.60 from 100.45: a sell limit and a buy stop at
# 100.505 fill at 100.51, not at 100.50 (beyond the limit, before the stop), and so does a
# take-profit at 100.505 of a long bought at 100.45; a buy stop-limit at 100.505 with its
# limit there too has no price on the step that keeps to both in its trigger bar.
ODD_LEVEL = [
    (10030, 10040, 10020, 10030),
    (10045, 10060, 10040, 10050),
    *[(10050, 10060, 10040, 10050)] * 3,
]


def case(rows, kind, limit, stop, short=False, exits=None, step="0.01"):
    return (step, rows, {}, 0, short, kind, limit, stop, exits or {})


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(markets())
@example(([case(*GOOG_LIKE)], "first_traded"))
@example(([case(*GOOG_LIKE)], "limit_price"))
@example(
    (
        [
            case(ODD_LEVEL, "limit", 100.505, None, short=True),
            case(ODD_LEVEL, "stop", None, 100.505),
            case(ODD_LEVEL, "stop-limit", 100.505, 100.505),
            case(ODD_LEVEL, "market", None, None, exits={"take_profit": points(0.055)}),
        ],
        "first_traded",
    )
)
def test_fills_keep_to_their_limits_stops_bars_and_price_step(market):
    orders, limit_fill = market
    bars, ticks, contracts = frames(orders)

    def on_data(context):
        context.n = getattr(context, "n", -1) + 1
        for k, (*_, at, short, _, limit, stop, exits) in enumerate(orders):
            if at == context.n:
                (sell_short if short else buy)(contracts[k]["code"], 1, limit, stop=stop, **exits)

    result = run(
        {"init": lambda context: None, "on_data": on_data},
        bars,
        ticks=ticks,
        contracts=contracts,
        fees="none",
        cash=1e9,
        limit_fill=limit_fill,
        progress=False,
    )
    bar_of, days = bars.set_index(["code", "time"]), bars.time.unique()
    for k, (step, rows, _, at, short, kind, limit, stop, _) in enumerate(orders):
        code = contracts[k]["code"]
        trades = result.trades[result.trades.code == code]
        placed = result.orders[result.orders.code == code].set_index("order_id")
        stops = result.stops[result.stops.code == code].set_index("closing_order_id")
        for trade in trades.itertuples():
            bar = bar_of.loc[(code, trade.time.normalize())]
            assert bar.low <= trade.price <= bar.high, (trade, bar)
            assert Decimal(repr(trade.price)) % Decimal(step) == 0, (trade, step)
            buys = trade.side == "buy"
            if not pd.isna(placed.stop_id[trade.order_id]):  # a stop's closing order
                fired = stops.loc[trade.order_id]
                falls = (fired.kind == "profit") == short  # holds at or below its level
                level = fired.stop_price  # never before it
                assert trade.price <= level if falls else trade.price >= level, (trade, fired)
                event(f"{fired.kind} exit")
                continue
            event(f"{kind} filled")
            if limit is not None:  # never beyond the limit
                assert trade.price <= limit if buys else trade.price >= limit, (trade, limit)
            if kind == "stop":  # never before the stop
                assert trade.price >= stop if buys else trade.price <= stop, (trade, stop)
            if kind == "limit":  # on the first bar that reached the limit
                j = next(
                    j
                    for j in range(at + 1, len(rows))
                    if (
                        price(rows[j][2], step) <= limit
                        if buys
                        else price(rows[j][1], step) >= limit
                    )
                )
                assert trade.time == days[j], (trade, limit)
                # at its open where it opened at or better than the limit (a bar entirely
                # better under both rules), else at the limit brought to the step
                first = price(rows[j][0], step)
                better = first <= limit if buys else first >= limit
                whole_bar = bar.high < limit if buys else bar.low > limit
                steps = (Decimal(repr(limit)) / Decimal(step)).to_integral_value(
                    "ROUND_FLOOR" if buys else "ROUND_CEILING"
                )
                at_limit = float(steps * Decimal(step))
                at_open = better and (limit_fill == "first_traded" or whole_bar)
                assert trade.price == (first if at_open else at_limit), (trade, limit, limit_fill)
                event(f"limit filled at {'the open' if at_open else 'the limit'}")
