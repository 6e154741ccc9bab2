"""Stop and stop-limit entry orders (``buy(code, volume, stop=...)`` and the other
order functions): a stop entry waits until a later bar reaches its stop, then
fills at the first price at or beyond it (the bar's open where the bar opened
there, else the stop; with ticks, the first tick that reached it); a stop-limit
then becomes a limit order.  Checked on hand-made gapping and non-gapping bars
for every side, with and without ticks, and as a property of random runs."""

import math

import pandas as pd
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from korvit.backtest import run
from korvit.data.limits import MAX_PRICE
from korvit.strategy import (
    StrategyError,
    buy,
    buy_to_cover,
    cancel,
    place_order,
    points,
    sell,
    sell_short,
)

CODE = "SZSE.000001"
DAYS = pd.bdate_range("2024-01-02", periods=6)
QUIET = (100.0, 101.0, 99.0, 100.0)
# Bars that rise through 102: inside their range (the open below it) and gapping over it.
RISES, GAPS_UP = (100.5, 103.0, 100.0, 102.5), (104.0, 105.0, 103.5, 104.5)


def mirrored(bar):
    o, h, low, c = bar
    return (200 - o, 200 - low, 200 - h, 200 - c)


def bars_frame(bars, code=CODE, days=DAYS):
    return pd.DataFrame(
        [(day, code, *bar, 10_000) for day, bar in zip(days, bars)],
        columns=["time", "code", "open", "high", "low", "close", "volume"],
    )


def ticks_frame(bars, code=CODE, days=DAYS):
    """Four ticks a day: the open, the extreme nearer to it, the other extreme, the close."""
    rows = []
    for day, (o, h, low, c) in zip(days, bars):
        path = (o, h, low, c) if h - o < o - low else (o, low, h, c)
        rows += [
            (day + pd.Timedelta(hours=9, minutes=31 + 60 * k), code, price, 100)
            for k, price in enumerate(path)
        ]
    return pd.DataFrame(rows, columns=["time", "code", "price", "volume"])


def tick_time(day, k):
    return DAYS[day] + pd.Timedelta(hours=9, minutes=31 + 60 * k)


def placing(at_bar, order, before=None):
    """A strategy that places ``order()`` in bar ``at_bar`` (and ``before()`` in bar 0)."""

    def on_data(context):
        context.n = getattr(context, "n", -1) + 1
        if context.n == 0 and before:
            before()
        if context.n == at_bar:
            context.order = order()

    return {"init": lambda context: None, "on_data": on_data}


def entry(result, order_id):
    """The order row and its one trade (None when it did not fill)."""
    order = result.orders.set_index("order_id").loc[order_id]
    trades = result.trades[result.trades.order_id == order_id]
    assert len(trades) <= 1
    return order, (trades.iloc[0] if len(trades) else None)


# ------------------------------------------------------------------ stop entries, every side

# side: the order, whether it rises through its stop, and what opens the position it closes
SIDES = {
    "buy": (buy, True, None),
    "sell_short": (sell_short, False, None),
    "sell": (sell, False, lambda: buy(CODE, 100)),
    "buy_to_cover": (buy_to_cover, True, lambda: sell_short(CODE, 100)),
}


@pytest.mark.parametrize("with_ticks", [False, True], ids=["bars", "ticks"])
@pytest.mark.parametrize("gap", [False, True], ids=["inside", "gap"])
@pytest.mark.parametrize("side", SIDES)
def test_a_stop_entry_fills_at_the_first_price_at_or_beyond_its_stop(side, gap, with_ticks):
    """Placed in bar 1 (which reaches the stop itself), not filled by bar 2 (short of
    it), filled in bar 3: at the stop where the bar rose through it, at the open where
    it gapped over it; with ticks at the first tick beyond it (the high of a bar that
    rose through it, as the ticks go open, low, high, close)."""
    order_fn, rises, opening = SIDES[side]
    bars = [QUIET, RISES, QUIET, GAPS_UP if gap else RISES, QUIET, QUIET]
    stop, expected = 102.0, (104.0 if gap else (103.0 if with_ticks else 102.0))
    if not rises:
        bars, stop, expected = [mirrored(b) for b in bars], 200 - stop, 200 - expected
    ticks = ticks_frame(bars) if with_ticks else None
    result = run(
        placing(1, lambda: order_fn(CODE, 100, stop=stop), opening),
        bars_frame(bars),
        ticks=ticks,
        progress=False,
    )
    order_id = 2 if opening else 1
    order, trade = entry(result, order_id)
    assert (order.status, order.stop_price, order.type) == ("filled", stop, "stop")
    assert trade.price == order.average_price == expected
    # with ticks, at the tick that reached the stop: the open of a gap, else the high (rises) or low
    assert trade.time == ((tick_time(3, 0 if gap else 2)) if with_ticks else DAYS[3])
    assert trade.side == ("buy" if rises else "sell") and trade.volume == 100
    assert (
        result.orders.stop_price.isna().sum() == len(result.orders) - 1
    )  # the other orders have none


def test_a_stop_on_the_wrong_side_fills_at_the_next_open():
    for order_fn, stop in ((buy, 95.0), (sell_short, 105.0)):
        result = run(
            placing(0, lambda: order_fn(CODE, 100, stop=stop)),
            bars_frame([QUIET, RISES, QUIET]),
            progress=False,
        )
        order, trade = entry(result, 1)
        assert (order.status, trade.time, trade.price) == ("filled", DAYS[1], RISES[0])


def test_a_stop_entry_that_no_bar_reaches_stays_pending_and_can_be_cancelled():
    def on_data(context):
        context.n = getattr(context, "n", -1) + 1
        if context.n == 0:
            context.orders = [buy(CODE, 100, stop=110), sell_short(CODE, 100, stop=90)]
        if context.n == 3:
            assert [o.status for o in context.orders] == ["pending", "pending"]
            assert cancel(context.orders[0])

    result = run(
        {"init": lambda context: None, "on_data": on_data},
        bars_frame([QUIET, RISES, QUIET, QUIET, QUIET]),
        progress=False,
    )
    assert result.orders.status.tolist() == ["cancelled", "pending"] and result.trades.empty


@pytest.mark.parametrize("with_ticks", [False, True], ids=["bars", "ticks"])
def test_stops_attached_to_a_stop_entry_are_armed_at_its_fill(with_ticks):
    bars = [QUIET, QUIET, RISES, (101.0, 101.5, 98.0, 98.5), QUIET]
    result = run(
        placing(1, lambda: buy(CODE, 100, stop=102, stop_loss=points(3))),
        bars_frame(bars),
        ticks=ticks_frame(bars) if with_ticks else None,
        progress=False,
    )
    fill = 103.0 if with_ticks else 102.0
    stop = result.stops.iloc[0]
    assert (stop.status, stop.stop_price, stop.trigger_price) == ("fired", fill - 3, fill - 3)
    assert result.trades.price.tolist() == [fill, fill - 3]


# ------------------------------------------------------------------ stop-limit entries

# stop, limit, the trigger bar, the bar after it, and the fill (bar, price) on bars and on ticks
STOP_LIMITS = {
    # the stop at or below the limit: fills at the trigger price in the trigger bar; on the
    # ticks the first tick beyond the stop (103) is beyond the limit too, and the close
    # tick comes back to the limit
    "at the stop": (102, 102.5, RISES, QUIET, (2, 102.0), (2, 102.5)),
    # the bar gaps over the limit, and trades back to it: the whole bar came after the trigger;
    # on the ticks at the first tick back at or below the limit (103.5)
    "gap, back to the limit": (102, 103.8, GAPS_UP, QUIET, (2, 103.8), (2, 103.5)),
    # the bar gaps over the limit and stays above it: waits, then fills as a limit order
    "gap, waits": (
        102,
        102.5,
        (104.0, 105.0, 103.0, 104.5),
        (103.0, 103.5, 102.0, 102.2),
        (3, 102.5),
        (3, 102.5),
    ),
    # a pull-back limit below the stop: the bar cannot tell whether its low came after
    # the trigger, so it waits (on ticks too: after the trigger tick the ticks stay above)
    "limit below the stop": (102, 101, RISES, (102.0, 102.5, 100.5, 101.0), (3, 101.0), (3, 101.0)),
}


@pytest.mark.parametrize("with_ticks", [False, True], ids=["bars", "ticks"])
@pytest.mark.parametrize("short", [False, True], ids=["long", "short"])
@pytest.mark.parametrize("case", STOP_LIMITS)
def test_a_stop_limit_fills_in_its_trigger_bar_only_where_the_limit_was_reached_after_the_trigger(
    case, short, with_ticks
):
    stop, limit, trigger_bar, after, on_bars, on_ticks = STOP_LIMITS[case]
    bars = [QUIET, QUIET, trigger_bar, after, after, QUIET]
    at_bar, price = on_ticks if with_ticks else on_bars
    if short:
        bars, stop, limit, price = [mirrored(b) for b in bars], 200 - stop, 200 - limit, 200 - price
    order_fn = sell_short if short else buy
    result = run(
        placing(1, lambda: order_fn(CODE, 100, limit, stop=stop)),
        bars_frame(bars),
        ticks=ticks_frame(bars) if with_ticks else None,
        progress=False,
    )
    order, trade = entry(result, 1)
    assert (order.status, order.type, order.stop_price, order.price) == (
        "filled",
        "stop-limit",
        stop,
        limit,
    )
    assert trade.time.normalize() == DAYS[at_bar] and trade.price == price, (trade, bars)
    # the fill lies in the range its bar traded
    assert bars[at_bar][2] <= trade.price <= bars[at_bar][1]


# ------------------------------------------------------------------ bad input


@pytest.mark.parametrize("stop", [0, -1, math.nan, math.inf, MAX_PRICE * 2, "105", True, [105]])
def test_a_bad_stop_is_refused_in_one_line_and_nothing_is_placed(stop):
    seen = {}

    def on_data(context):
        for fn in (
            lambda: buy(CODE, 100, stop=stop),
            lambda: sell_short(CODE, 100, 99, stop=stop),
            lambda: place_order(CODE, "buy", "open", 100, stop=stop),
        ):
            with pytest.raises(
                StrategyError,
                match=r"^order stop must be a positive number up to 1e9 "
                r"\(or None for an order without a stop\), got ",
            ) as error:
                fn()
            assert "\n" not in str(error.value)
        seen["done"] = True

    result = run(
        {"init": lambda context: None, "on_data": on_data}, bars_frame([QUIET] * 2), progress=False
    )
    assert seen and result.orders.empty


# ------------------------------------------------------------------ property


@st.composite
def markets(draw):
    """Daily bars of one stock on a 0.01 grid (gaps of up to 6 % between bars), the ticks
    of some bars, and stop entries of every side placed at random bars: stop-market
    and stop-limit, their stops and limits around the price (some on the wrong side)."""
    n_bars = draw(st.integers(4, 9))
    days = pd.bdate_range("2024-01-02", periods=n_bars)
    bars, ticks, close = [], [], draw(st.integers(1000, 3000))
    for day in days:
        first = max(50, close + draw(st.integers(-close * 6 // 100, close * 6 // 100)))
        close = max(50, first + draw(st.integers(-first * 4 // 100, first * 4 // 100)))
        high = max(first, close) + draw(st.integers(0, first * 3 // 100))
        low = max(1, min(first, close) - draw(st.integers(0, first * 3 // 100)))
        bars.append((day, CODE, first / 100, high / 100, low / 100, close / 100, 10_000))
        if draw(st.booleans()):  # ticks: the open first, the close last, both extremes between
            inside = draw(st.lists(st.integers(low, high), max_size=4))
            path = [first] + draw(st.permutations([high, low] + inside)) + [close]
            ticks += [
                (day + pd.Timedelta(hours=9, minutes=30 + 10 * j), CODE, p / 100, 100)
                for j, p in enumerate(path)
            ]
    entries = []
    for _ in range(draw(st.integers(1, 4))):
        at = draw(st.integers(0, n_bars - 2))
        ref = bars[at][5] * 100
        stop = draw(st.integers(int(ref * 0.92), int(ref * 1.08))) / 100
        limit = draw(
            st.one_of(
                st.none(),
                st.integers(-int(ref * 0.03), int(ref * 0.03)).map(
                    lambda d, stop=stop: max(1, round(stop * 100) + d) / 100
                ),
            )
        )
        entries.append((at, draw(st.sampled_from(("buy", "sell_short"))), stop, limit))
    tick_frame = pd.DataFrame(ticks, columns=["time", "code", "price", "volume"]) if ticks else None
    return (
        pd.DataFrame(bars, columns=["time", "code", "open", "high", "low", "close", "volume"]),
        tick_frame,
        entries,
    )


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(markets())
def test_no_stop_entry_fills_outside_what_its_bar_traded_from_the_trigger_on(market):
    """A stop entry fills on a bar after the one it was placed in, never on a bar before
    one that reached its stop, and at a price its bar traded from the trigger on: inside
    the bar's low-high range, and on the ticks between the lowest and highest tick from
    the first tick that reached the stop; a stop-market at the first price at or beyond
    the stop."""
    bars, ticks, entries = market

    def on_data(context):
        context.n = getattr(context, "n", -1) + 1
        for at, side, stop, limit in entries:
            if at == context.n:
                (buy if side == "buy" else sell_short)(CODE, 100, limit, stop=stop)

    result = run(
        {"init": lambda context: None, "on_data": on_data},
        bars,
        ticks=ticks,
        progress=False,
        cash=1e9,
    )
    days = list(bars.time)
    by_day = {day: k for k, day in enumerate(days)}
    tick_rows = {} if ticks is None else dict(list(ticks.groupby(ticks.time.dt.normalize())))
    assert len(result.orders) == len(entries)
    placed = sorted(entries, key=lambda e: e[0])  # in the order of their ids
    for (at, side, stop, limit), order in zip(placed, result.orders.itertuples()):
        rises = side == "buy"

        def reaches(price):
            return price >= stop if rises else price <= stop

        def first_reaching(k):
            """Where bar k first reached the stop (None: not at all), and the prices from there."""
            o, h, low = bars.open[k], bars.high[k], bars.low[k]
            if not reaches(h if rises else low):
                return None
            day_ticks = tick_rows.get(days[k])
            if day_ticks is not None:
                prices = day_ticks.price.tolist()
                hit = next((j for j, p in enumerate(prices) if reaches(p)), None)
                return None if hit is None else (prices[hit], prices[hit:])
            return (o if reaches(o) else stop), None

        trades = result.trades[result.trades.order_id == order.order_id]
        triggers = [k for k in range(at + 1, len(days)) if first_reaching(k) is not None]
        if not len(trades):
            assert not triggers or limit is not None, (order, triggers)
            event("stop-limit not filled" if triggers else "never triggered")
            continue
        trade = trades.iloc[0]
        k = by_day[trade.time.normalize()]
        assert triggers and at < triggers[0] <= k, (order, triggers, k)
        low, high = bars.low[k], bars.high[k]
        assert low <= trade.price <= high, (order, trade, bars.iloc[k])
        if k == triggers[0]:
            first, rest = first_reaching(k)
            if rest is not None:
                assert min(rest) <= trade.price <= max(rest), (order, trade, rest)
            if limit is None:
                assert trade.price == first, (order, trade, first)
            event(
                f"{'stop-limit' if limit is not None else 'stop'} filled in its trigger bar"
                f"{' on ticks' if rest is not None else ''}"
            )
        else:
            assert limit is not None, (order, trade)
            event("stop-limit filled after its trigger bar")
