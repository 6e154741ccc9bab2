"""Targets, rebalancing and order expiry: the position a target names is
reached within a lot, through zero as two orders of one bar, counting the
code's pending orders; a rebalance's closes pay for its opens in the same
bar; good_for and good_till cancel an unfilled order as "expired" exactly
when they run out; bad arguments are refused before anything is placed."""

import math
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvit.backtest import OrdersDeniedWarning, run
from korvit.data import sample_path
from korvit.strategy import StrategyError, plan_target

EXAMPLES = Path(__file__).resolve().parent.parent / "examples" / "strategies"
STOCKS = ("SZSE.000001", "SZSE.000002", "SSE.600000")
FUTURES = ("SHFE.RB2405", "SHFE.HC2405", "DCE.I2405")
CONTRACTS = [
    {
        "code": code,
        "kind": "stock",
        "lot_size": 100,
        "commission": 0.0003,
        "min_commission": 5,
        "tax_close": 0.001,
    }
    for code in STOCKS
] + [
    {"code": code, "kind": "futures", "multiplier": 10, "long_margin": 0.1, "short_margin": 0.12}
    for code in FUTURES
]
LOT = {**dict.fromkeys(STOCKS, 100), **dict.fromkeys(FUTURES, 1)}
MULTIPLIER = {**dict.fromkeys(STOCKS, 1), **dict.fromkeys(FUTURES, 10)}


def times_of(bars, count):
    if bars == "daily":
        return pd.bdate_range("2024-01-02", periods=count)
    per_day = 20
    days = pd.bdate_range("2024-01-02", periods=-(-count // per_day))
    minutes = [day + pd.Timedelta(hours=9, minutes=31 + m) for day in days for m in range(per_day)]
    return pd.DatetimeIndex(minutes[:count])


def wavy(codes, bars="daily", count=40):
    """Bars of ``codes`` rising and falling by under 1 % a bar, each code at its own level."""
    rows = []
    for t, time in enumerate(times_of(bars, count)):
        for k, code in enumerate(codes):
            base = (3500.0 + 400 * k if code in FUTURES else 10.0 + 7 * k) * (
                1 + 0.05 * math.sin(t / 3 + k)
            )
            step = 1.0 if code in FUTURES else 0.01
            price = round(base / step) * step
            rows.append(
                (time, code, price, price + 2 * step, price - 2 * step, price + step, 1_000_000)
            )
    return pd.DataFrame(rows, columns=["time", "code", "open", "high", "low", "close", "volume"])


def flat(rows, code=STOCKS[0], times=None):
    """Bars of one code from (open, high, low, close) rows."""
    times = times_of("daily", len(rows)) if times is None else times
    out = pd.DataFrame(rows, columns=["open", "high", "low", "close"])
    out.insert(0, "code", code)
    out.insert(0, "time", times)
    return out.assign(volume=100_000)


def on_bars(steps, **more):
    """A strategy running ``steps[bar](context)`` in on_data at the bars it names."""

    def on_data(context):
        context.bar = getattr(context, "bar", -1) + 1
        if context.bar in steps:
            steps[context.bar](context)

    return {"init": lambda context: None, "on_data": on_data, **more}


def api():
    import korvit.strategy

    return korvit.strategy


# ------------------------------------------------------------------ rebalancing

WEIGHTS = [
    (0.5, 0.3, 0.2),
    (0.0, 0.6, 0.35),
    (0.3, None, 0.3),
    (1 / 3, 1 / 3, 1 / 3),
    (0.1, 0.8, None),
]


@pytest.mark.parametrize("bars", ["daily", "minute"])
@pytest.mark.parametrize("codes", [STOCKS, FUTURES], ids=["stocks", "futures"])
def test_each_rebalance_brings_every_holding_within_one_lot_of_its_target(bars, codes):
    """Every third bar the weights change (a code left out goes to 0); one bar
    later each code holds its weight of the equity, less the cash buffer, at
    the rebalance's close, within one lot; the equity the API tells is the
    equity curve's, futures counted at their margin and open profit."""
    wanted, told, checked = {}, [], []

    def on_data(context):
        strategy = api()
        context.bar = getattr(context, "bar", -1) + 1
        told.append((strategy.now(), strategy.equity()))
        if context.bar % 3 == 1 and wanted:
            for code, goal in wanted.items():
                checked.append((code, goal, strategy.position(code)))
        if context.bar % 3 == 0:
            weights = dict(zip(codes, WEIGHTS[(context.bar // 3) % len(WEIGHTS)]))
            strategy.rebalance(
                {code: w for code, w in weights.items() if w is not None}, cash_buffer=0.02
            )
            equity = strategy.equity() * 0.98
            wanted.clear()
            wanted.update(
                {
                    code: (w or 0.0) * equity / (strategy.current_price(code) * MULTIPLIER[code])
                    for code, w in weights.items()
                }
            )

    result = run({"on_data": on_data}, wavy(codes, bars), contracts=CONTRACTS, progress=False)
    assert len(checked) == 3 * 13
    for code, goal, held in checked:
        assert 0 <= goal - held < LOT[code], (code, goal, held)
    assert (result.orders.status == "filled").sum() == len(
        result.orders
    ) - 3  # the last rebalance's wait
    assert set(result.orders.side) == {"buy", "sell"}
    curve = result.equity.set_index("time").equity
    assert [equity for _, equity in told] == pytest.approx(
        curve.loc[[time for time, _ in told]].tolist(), rel=1e-12
    )
    if codes == FUTURES:
        assert (result.equity.margin > 0).sum() > 30 and (
            result.equity.cash < curve.values * 0.95
        ).any()


def test_a_rebalances_closes_free_the_cash_its_opens_need_in_the_same_bar():
    """All the cash is in one stock; rebalancing into another sells it and
    buys the other on the same bar: the engine deals a bar's orders in the
    order they were placed, and a close's cash is there for the open after
    it.  Placed the other way round, the open finds no cash."""
    a, b = STOCKS[0], STOCKS[1]
    rows = [(10.0, 10.1, 9.9, 10.0)] * 5
    data = pd.concat([flat(rows, a), flat([(20.0, 20.1, 19.9, 20.0)] * 5, b)])

    def start(context):
        api().buy(a, 99_000)

    def move(context):
        context.placed = api().rebalance({b: 0.98})

    def move_backwards(context):
        api().buy(b, 49_000)
        api().sell(a, api().position(a))

    done = run(on_bars({0: start, 1: move}), data, progress=False)
    sold, bought = done.trades.iloc[1], done.trades.iloc[2]
    assert (sold.code, sold.side, sold.effect, sold.volume) == (a, "sell", "close", 99_000)
    assert (bought.code, bought.side, bought.effect) == (b, "buy", "open")
    assert bought.volume == math.trunc(0.98 * done.equity.equity.iloc[1] / 20.0 / 100) * 100
    assert sold.time == bought.time and done.orders.status.eq("filled").all()
    with pytest.warns(OrdersDeniedWarning):
        backwards = run(on_bars({0: start, 1: move_backwards}), data, progress=False)
    assert backwards.orders[["code", "status", "reason"]].values.tolist() == [
        [a, "filled", ""],
        [b, "denied", "not enough cash"],
        [a, "filled", ""],
    ]


# ------------------------------------------------------------------ targets


@pytest.mark.parametrize("code", [FUTURES[0]])
def test_a_target_through_zero_closes_the_position_then_opens_the_rest_in_one_bar(code):
    """long 300 -> short 200 -> long 100 -> flat: each change of side is a
    close of the whole position and an opening order for the rest, placed
    together (the opening one returned) and filled on the next bar."""
    returned, held = [], []
    lot = LOT[code]
    targets = {0: 3 * lot, 2: -2 * lot, 4: lot, 6: 0}

    def step(context):
        if context.bar - 1 in targets:
            held.append(api().position(code))
        if context.bar in targets:
            order = api().order_target(code, targets[context.bar])
            returned.append(None if order is None else (order.order_id, order.code))

    data = wavy([code], count=9)
    result = run(on_bars(dict.fromkeys(range(9), step)), data, contracts=CONTRACTS, progress=False)
    assert held == [3 * lot, -2 * lot, lot, 0]
    orders = result.orders
    assert orders[["side", "effect", "volume", "status"]].values.tolist() == [
        ["buy", "open", 3 * lot, "filled"],
        ["sell", "close", 3 * lot, "filled"],
        ["sell", "open", 2 * lot, "filled"],
        ["buy", "close", 2 * lot, "filled"],
        ["buy", "open", lot, "filled"],
        ["sell", "close", lot, "filled"],
    ]
    assert returned == [(orders.order_id[k], code) for k in (0, 2, 4, 5)]
    assert orders.groupby("created").size().tolist() == [1, 2, 2, 1]
    assert result.trades.groupby("time").order_id.apply(list).tolist() == [[1], [2, 3], [4, 5], [6]]


def test_a_target_counts_the_codes_pending_orders_and_cancels_those_working_against_it():
    code = STOCKS[0]
    seen = {}

    def first(context):
        strategy = api()
        context.waiting = strategy.buy(code, 200, 5.0)  # far below every bar: waits
        seen["topped up"] = strategy.order_target(code, 300)  # 200 pending: buys 100
        seen["again"] = strategy.order_target(code, 350)  # rounded to 300: nothing
        seen["odd lot"] = strategy.order_target_value(code, 330 * strategy.current_price(code))

    def second(context):
        strategy = api()
        seen["held"] = strategy.position(code)
        seen["cut"] = strategy.order_target(code, 150)  # 100 held + 200 pending
        seen["pending after cut"] = [(o.order_id, o.status) for o in strategy.pending_orders(code)]

    def third(context):
        strategy = api()
        seen["flat"] = strategy.order_target(code, 0)

    result = run(
        on_bars({0: first, 1: second, 2: third}),
        wavy([code], count=5),
        contracts=CONTRACTS,
        progress=False,
    )
    assert seen["topped up"].order_id == 2 and seen["again"] is None and seen["odd lot"] is None
    assert seen["held"] == 100
    # the pending buy of 200 overshoots 100: it is cancelled, and the target sells nothing (100 held,
    # rounded down from 150 to 100)
    assert seen["cut"] is None and seen["pending after cut"] == []
    assert seen["flat"].order_id == 3
    assert result.orders[["side", "effect", "volume", "status", "reason"]].values.tolist() == [
        ["buy", "open", 200, "cancelled", ""],
        ["buy", "open", 100, "filled", ""],
        ["sell", "close", 100, "filled", ""],
    ]


@pytest.mark.parametrize("fraction", [0.5, -0.5])
def test_a_percent_target_sizes_futures_by_their_value_not_their_margin(fraction):
    code = FUTURES[0]
    seen = []

    def first(context):
        strategy = api()
        seen.append((strategy.equity(), strategy.current_price(code)))
        strategy.order_target_percent(code, fraction)

    result = run(on_bars({0: first}), wavy([code], count=3), contracts=CONTRACTS, progress=False)
    ((equity, close),) = seen
    volume = math.trunc(abs(fraction) * equity / (close * 10))
    assert equity == 1_000_000.0 and result.orders.volume.tolist() == [volume]
    assert result.orders.side.tolist() == ["buy" if fraction > 0 else "sell"]


# ------------------------------------------------------------------ expiry


def test_good_for_counts_the_bars_an_order_is_matched_against_and_expires_it_before_the_next():
    """Lows reach 9.5 only on bars 4 and 7.  A limit at 9.5 placed on bar 0
    with good_for=3 is matched against bars 1-3 and expired after bar 3,
    never filled on bar 4; with good_for=4 it fills on bar 4; one placed in
    init with good_for=3 is matched against bars 0-2."""
    rows = [(10.0, 10.2, 9.8, 10.0)] * 8
    rows[4] = rows[7] = (10.0, 10.2, 9.4, 10.0)
    told, cash_seen = [], []

    def init(context):
        api().buy(STOCKS[0], 100, 9.5, good_for=3, tag="init")

    def first(context):
        context.three = api().buy(STOCKS[0], 100, 9.5, good_for=3, tag="three")
        api().buy(STOCKS[0], 100, 9.5, good_for=4, tag="four")
        api().sell_short(STOCKS[0], 100, 11.0, good_till="day", tag="day")

    def watch(context):
        cash_seen.append((context.bar, api().available_cash() - api().cash(), context.three.status))

    def on_order_status(context, order):
        told.append((getattr(context, "bar", -1), order.tag, order.status))

    strategy = on_bars(
        {0: first, **dict.fromkeys(range(1, 8), watch)}, on_order_status=on_order_status
    )
    strategy["init"] = init
    result = run(strategy, flat(rows), progress=False)
    orders = result.orders.set_index(pd.Index(["init", "three", "four", "day"]))
    times = times_of("daily", 8)
    assert orders.status.to_dict() == {
        "init": "cancelled",
        "three": "cancelled",
        "four": "filled",
        "day": "cancelled",
    }
    assert orders.reason["init"] == orders.reason["three"] == orders.reason_kind["day"] == "expired"
    assert orders.updated.to_dict() == {
        "init": times[2],
        "three": times[3],
        "four": times[4],
        "day": times[1],
    }
    assert result.trades.order_id.tolist() == [orders.order_id["four"]]
    # while pending, the order holds its cash back; once expired it gives it back
    held = {bar: (frozen, status) for bar, frozen, status in cash_seen}
    assert held[2][0] < -900 and held[2][1] == "pending"
    assert held[3][1] == "cancelled" and held[3][0] == pytest.approx(-950)  # "four" still waits
    assert held[4][0] == pytest.approx(0, abs=1e-9)
    # on_order_status heard each expiry, at the bar it expired on (before that bar's on_data)
    cancelled = [(bar, tag) for bar, tag, status in told if status == 4]
    assert cancelled == [(0, "day"), (1, "init"), (2, "three")]


def test_a_day_order_on_minute_bars_is_cancelled_at_the_days_last_bar_never_filled_the_next_day():
    """Day 1's bars never reach 9.5, day 2's first bar does.  Day orders
    placed on day 1's first and last bar expire at its last bar; an order
    without expiry placed with the last one fills on day 2."""
    days = pd.bdate_range("2024-01-02", periods=2)
    times = pd.DatetimeIndex(
        [day + pd.Timedelta(hours=9, minutes=31 + m) for day in days for m in range(4)]
    )
    rows = [(10.0, 10.2, 9.8, 10.0)] * 8
    rows[4] = (9.6, 9.7, 9.4, 9.5)

    def early(context):
        api().buy(STOCKS[0], 100, 9.5, good_till="day", tag="early")

    def late(context):
        api().buy(STOCKS[0], 100, 9.5, good_till="day", tag="late")
        api().buy(STOCKS[0], 100, 9.5, good_for=1, good_till="day", tag="both")
        api().buy(STOCKS[0], 100, 9.5, tag="kept")

    result = run(on_bars({0: early, 3: late}), flat(rows, times=times), progress=False)
    orders = result.orders.set_index("order_id")
    assert orders[["status", "reason"]].values.tolist() == [
        ["cancelled", "expired"],
        ["cancelled", "expired"],
        ["cancelled", "expired"],
        ["filled", ""],
    ]
    assert (orders.updated.iloc[:3] == times[3]).all()
    assert result.trades.order_id.tolist() == [4]
    assert "cancelled: expired (3)" in result.summary()


def test_on_order_status_hears_of_a_strategys_own_cancel_once_the_callback_returns():
    events = []

    def first(context):
        order = api().buy(STOCKS[0], 100, 5.0)
        assert api().cancel(order) and not api().cancel(order)
        events.append(("cancelled", api().available_cash() == api().cash()))

    def on_order_status(context, order):
        events.append(("told", order.order_id, order.status))

    result = run(
        on_bars({0: first}, on_order_status=on_order_status),
        flat([(10.0, 10.2, 9.8, 10.0)] * 3),
        progress=False,
    )
    assert events == [("cancelled", True), ("told", 1, 4)]
    assert result.orders[["status", "reason"]].values.tolist() == [["cancelled", ""]]


# ------------------------------------------------------------------ bad arguments

BAD_CALLS = {
    "unknown code": (lambda s: s.order_target("SZSE.999999", 100), "unknown code 'SZSE.999999'"),
    "NaN volume": (
        lambda s: s.order_target(STOCKS[0], float("nan")),
        "target volume must be a finite",
    ),
    "NaN value": (
        lambda s: s.order_target_value(STOCKS[0], float("nan")),
        "target value must be a finite",
    ),
    "infinite value": (
        lambda s: s.order_target_value(STOCKS[0], math.inf),
        "target value must be a finite",
    ),
    "text value": (
        lambda s: s.order_target_value(STOCKS[0], "100"),
        "target value must be a finite",
    ),
    "huge value": (lambda s: s.order_target_value(STOCKS[0], 1e300), "beyond 1e\\+15"),
    "fraction above 1": (lambda s: s.order_target_percent(STOCKS[0], 1.01), "from -1 to 1"),
    "fraction below -1": (lambda s: s.order_target_percent(FUTURES[0], -2), "from -1 to 1"),
    "short stock fraction": (
        lambda s: s.order_target_percent(STOCKS[0], -0.2),
        "targets of a stock are long only",
    ),
    "short stock volume": (
        lambda s: s.order_target(STOCKS[0], -100),
        "targets of a stock are long only",
    ),
    "negative value": (
        lambda s: s.order_target_value(FUTURES[0], -1000.0),
        "target value must be 0 or more",
    ),
    "good_for 0": (lambda s: s.buy(STOCKS[0], 100, good_for=0), "good_for must be a whole number"),
    "good_for negative": (
        lambda s: s.order_target(STOCKS[0], 100, good_for=-3),
        "good_for must be",
    ),
    "good_for float": (
        lambda s: s.order_target_percent(STOCKS[0], 0.1, good_for=2.0),
        "good_for must be",
    ),
    "good_for bool": (lambda s: s.sell_short(STOCKS[0], 100, good_for=True), "good_for must be"),
    "good_till week": (
        lambda s: s.buy(STOCKS[0], 100, good_till="week"),
        "good_till must be 'day'",
    ),
    "good_till number": (
        lambda s: s.rebalance({STOCKS[0]: 0.5}, good_till=1),
        "good_till must be 'day'",
    ),
    "weights list": (lambda s: s.rebalance([STOCKS[0]]), "takes a mapping"),
    "weight text": (
        lambda s: s.rebalance({STOCKS[0]: "0.5"}),
        "weight of SZSE.000001 must be a number",
    ),
    "weight negative": (lambda s: s.rebalance({STOCKS[0]: 0.5, STOCKS[1]: -0.1}), "at least 0"),
    "weight NaN": (lambda s: s.rebalance({STOCKS[0]: float("nan")}), "at least 0"),
    "weights above 1": (
        lambda s: s.rebalance({STOCKS[0]: 0.6, STOCKS[1]: 0.5}),
        "weights sum to 1.1",
    ),
    "weight of unknown code": (
        lambda s: s.rebalance({STOCKS[0]: 0.2, "X.1": 0.1}),
        "unknown code 'X.1'",
    ),
    "cash buffer 1": (
        lambda s: s.rebalance({STOCKS[0]: 0.2}, cash_buffer=1),
        "cash_buffer must be",
    ),
    "stop of a target": (
        lambda s: s.order_target(STOCKS[0], 100, stop_loss=-1),
        "stop_loss must be",
    ),
}


@pytest.mark.parametrize("name", BAD_CALLS)
def test_bad_arguments_are_refused_in_one_line_and_place_or_cancel_nothing(name):
    call, message = BAD_CALLS[name]
    caught = []

    def first(context):
        strategy = api()
        strategy.buy(STOCKS[0], 100, 5.0)  # a pending order a bad target must leave alone
        strategy.buy(STOCKS[1], 100)
        before = [(o.order_id, o.status) for o in strategy.pending_orders()]
        try:
            call(strategy)
        except StrategyError as exc:
            caught.append(str(exc))
        assert [(o.order_id, o.status) for o in strategy.pending_orders()] == before

    def second(context):
        try:
            call(api())  # with a position held, too
        except StrategyError as exc:
            caught.append(str(exc))

    data = pd.concat([flat([(10.0, 10.2, 9.8, 10.0)] * 3, code) for code in STOCKS])
    result = run(on_bars({0: first, 1: second}), data, contracts=CONTRACTS, progress=False)
    assert len(caught) == 2 and all("\n" not in text for text in caught), caught
    assert all(re.search(message, text) for text in caught), caught
    assert result.orders[["order_id", "status"]].values.tolist() == [[1, "pending"], [2, "filled"]]


# ------------------------------------------------------------------ properties


@st.composite
def positions_and_orders(draw):
    lot = draw(st.sampled_from([1, 100]))
    long, short = (draw(st.integers(0, 20)) * draw(st.sampled_from([lot, 1])) for _ in range(2))
    pending = [
        (draw(st.integers(1, 10)) * lot * draw(st.sampled_from([1, -1])), draw(st.booleans()))
        for _ in range(draw(st.integers(0, 4)))
    ]
    goal = draw(st.integers(-30, 30)) * lot
    return long, short, pending, goal, lot


@settings(max_examples=400, deadline=None)
@given(positions_and_orders())
def test_a_plan_reaches_its_target_within_one_lot_closing_only_what_is_free(case):
    long, short, pending, goal, lot = case
    cancelled, side, close, opened = plan_target(long, short, pending, goal, lot)
    kept = [p for k, p in enumerate(pending) if k not in cancelled]
    final = long - short + sum(volume for volume, _ in kept) + side * (close + opened)
    assert 0 <= (goal - final) * (side or 1) < lot
    assert opened % lot == 0 and close >= 0 and opened >= 0
    # the kept orders all work toward the target; a close asks no more than its leg has free
    assert all((volume > 0) == (side > 0) for volume, _ in kept) or side == 0
    leg = short if side > 0 else long
    assert close <= max(0, leg - sum(abs(volume) for volume, closes in kept if closes))
    # nothing is cancelled where every pending order works toward the target
    direction = goal - (long - short + sum(volume for volume, _ in pending))
    if all((volume > 0) == (direction > 0) for volume, _ in pending):
        assert cancelled == []


@settings(max_examples=12, deadline=None)
@given(
    st.lists(
        st.one_of(
            st.tuples(st.sampled_from(STOCKS[:2]), st.floats(0.0, 0.45)),
            st.tuples(st.just(FUTURES[0]), st.floats(-0.45, 0.45)),
        ),
        min_size=1,
        max_size=6,
    )
)
def test_random_percent_targets_come_within_one_lot_of_their_value(targets):
    codes = STOCKS[:2] + FUTURES[:1]
    checked = []

    def on_data(context):
        strategy = api()
        context.bar = getattr(context, "bar", -1) + 1
        if context.bar % 2 == 1:
            code, goal = context.goal
            checked.append((code, goal, strategy.position(code)))
        elif context.bar // 2 < len(targets):
            code, fraction = targets[context.bar // 2]
            strategy.order_target_percent(code, fraction)
            context.goal = (
                code,
                fraction * strategy.equity() / (strategy.current_price(code) * MULTIPLIER[code]),
            )

    result = run(
        {"on_data": on_data},
        wavy(codes, count=2 * len(targets) + 1),
        contracts=CONTRACTS,
        progress=False,
    )
    assert len(checked) == len(targets)
    for code, goal, held in checked:
        assert abs(goal - held) < LOT[code] and np.sign(held) in (0, np.sign(goal)), (
            code,
            goal,
            held,
        )
    assert not (result.orders.status == "denied").any()


# ------------------------------------------------------------------ the example, end to end


def test_the_monthly_rebalance_example_runs_from_the_command_line(tmp_path):
    out = tmp_path / "out"
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "korvit",
            "backtest",
            str(EXAMPLES / "monthly_rebalance.py"),
            "--out",
            str(out),
            "--no-progress",
        ],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stderr
    assert "denied" not in done.stderr
    orders = pd.read_csv(out / "orders.csv", parse_dates=["created"])
    trades = pd.read_csv(out / "trades.csv", parse_dates=["time"])
    equity = pd.read_csv(out / "equity.csv", parse_dates=["time"]).set_index("time").equity
    bars = pd.read_csv(sample_path("daily.csv"), parse_dates=["time"])
    stocks = sorted(set(bars.code) - {"SHFE.RB2405"})
    # one rebalance a month (the first bar of each month), every order filled, only stocks traded
    months = orders.created.dt.to_period("M")
    last = orders.created == bars.time.max()  # the last bar opens a month: its orders wait
    assert set(orders.code) == set(stocks) and (orders.status[~last] == "filled").all()
    assert orders.groupby(months).created.nunique().eq(1).all() and months.nunique() >= 20
    # after each rebalance the three stocks hold about a third of the equity each
    closes = bars.pivot(index="time", columns="code", values="close")
    held = (
        trades.assign(signed=np.where(trades.side == "buy", 1, -1) * trades.volume)
        .pivot_table(index="time", columns="code", values="signed", aggfunc="sum")
        .fillna(0)
        .cumsum()
    )
    for time in held.index:
        day = closes.index[closes.index.get_indexer([time.normalize()])[0]]
        values = held.loc[time, stocks] * closes.loc[day, stocks]
        assert (abs(values / equity.loc[day] - 1 / 3) < 0.04).all(), (
            time,
            values / equity.loc[day],
        )
