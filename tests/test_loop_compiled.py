"""The compiled bar loop (korvit.native.run_bars) against the Python loop (loop._bars):
a random strategy on random bars, run once each way (the Python loop forced by an
installed subclass of the session), gives every table bit for bit and the same
callbacks in the same order; a host object replaced by on_data mid-run is obeyed alike.
Long runs: ``KORVIT_LOOP_CASES=500``."""

import os
import random

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import korvit.backtest.loop as loop
from korvit.backtest import run

CASES = int(os.environ.get("KORVIT_LOOP_CASES", "25"))
pytestmark = pytest.mark.filterwarnings("ignore::UserWarning")
CODES = ("SIM.STK", "SIM.FUT")
CONTRACTS = [
    {"code": "SIM.STK", "kind": "stock", "lot_size": 1},
    {"code": "SIM.FUT", "kind": "futures", "multiplier": 10, "min_move": 0.2, "lot_size": 1},
]


class GeneralSession(loop.Session):
    """The framework's session, but not exactly it: the run takes the Python loop."""


def bars(seed, n, minutes):
    rng = np.random.default_rng(seed)
    if minutes:  # two days of minute bars, so that days change within the run
        first = pd.date_range("2024-01-02 09:31", periods=n // 2, freq="min")
        times = first.append(pd.date_range("2024-01-03 09:31", periods=n - n // 2, freq="min"))
    else:
        times = pd.bdate_range("2024-01-02", periods=n)
    frames = []
    for k, code in enumerate(CODES):
        close = np.round((100 + 50 * k + np.cumsum(rng.normal(0, 1.5, n))) / 0.2) * 0.2
        spread = np.round(rng.uniform(0, 2, (2, n)) / 0.2) * 0.2
        frame = pd.DataFrame(
            {
                "time": times,
                "code": code,
                "open": np.round((close + rng.normal(0, 0.6, n)) / 0.2) * 0.2,
                "close": close,
                "volume": rng.integers(0, 4, n) * 1000,  # some bars without trading
            }
        )
        frame["high"] = frame[["open", "close"]].max(axis=1) + spread[0]
        frame["low"] = frame[["open", "close"]].min(axis=1) - spread[1]
        frames.append(frame)
    return pd.concat(frames, ignore_index=True)


def strategy(seed, log, on_bar=None):
    """Random orders (market, limit, stop entries, protective stops, expiries, cancels)
    on both codes and accounts; every callback noted in `log`."""
    from korvit.strategy import (
        buy,
        buy_to_cover,
        cancel,
        cash,
        equity,
        pending_orders,
        points,
        position,
        sell,
        sell_short,
        trailing,
    )

    rng = random.Random(seed)

    def on_data(context):
        log.append(("data", context.now, cash("a"), equity("b"), position(CODES[1], "b")))
        if on_bar is not None:
            on_bar(context)
        for _ in range(rng.randrange(3)):
            code, account = rng.choice(CODES), rng.choice(("a", "b"))
            held = position(code, account)
            price = (
                None if rng.random() < 0.5 else 100 + 50 * CODES.index(code) + rng.uniform(-6, 6)
            )
            options = {"account": account}
            if rng.random() < 0.3:
                options["good_for"] = rng.randrange(1, 4)
            if rng.random() < 0.2:
                options["good_till"] = "day"
            kind = rng.random()
            if held > 0 and kind < 0.3:
                sell(code, min(held, rng.randrange(1, 3)), price, **options)
            elif held < 0 and kind < 0.3:
                buy_to_cover(code, min(-held, rng.randrange(1, 3)), price, **options)
            elif kind < 0.45 and pending_orders(code, account):
                cancel(rng.choice(pending_orders(code, account)))
            else:
                if rng.random() < 0.4:
                    options["stop_loss"] = points(rng.choice((1, 2.4, 5)))
                if rng.random() < 0.3:
                    options["take_profit"] = points(rng.choice((2, 4)))
                if rng.random() < 0.2:
                    options["trailing_stop"] = trailing(points(2), activate=points(1))
                if price is None and rng.random() < 0.15:
                    options["stop"] = 100 + 50 * CODES.index(code) + rng.uniform(-3, 3)
                enter = buy if rng.random() < 0.6 else sell_short
                enter(code, rng.randrange(1, 4), price, **options)

    def on_order_status(context, order, *args, **kwargs):
        log.append(("status", repr(order)))

    def on_execution(context, execution, *args, **kwargs):
        log.append(("execution", repr(execution)))

    return {
        "init": lambda context: None,
        "on_data": on_data,
        "on_order_status": on_order_status,
        "on_execution": on_execution,
    }


def outcome(seed, n, minutes, general, on_bar=None):
    log = []
    saved = loop.Session
    if general:
        loop.Session = GeneralSession
    try:
        result = run(
            strategy(seed, log, on_bar),
            bars(seed, n, minutes),
            contracts=CONTRACTS,
            accounts={"a": 100_000.0, "b": 50_000},
            cancel_stale_orders=minutes,
            progress=False,
        )
    finally:
        loop.Session = saved
    tables = [getattr(result, name) for name in ("equity", "orders", "trades", "stops")]
    return tables, log


def assert_same(one, other):
    (tables, log), (other_tables, other_log) = one, other
    for table, other_table in zip(tables, other_tables):
        pd.testing.assert_frame_equal(table, other_table, check_exact=True)
    assert log == other_log


@settings(max_examples=CASES, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), n=st.integers(2, 40), minutes=st.booleans())
def test_the_compiled_loop_gives_what_the_python_loop_gives(seed, n, minutes):
    compiled = outcome(seed, n, minutes, general=False)
    assert_same(compiled, outcome(seed, n, minutes, general=True))
    assert compiled[0][0].shape[0] == 2 * n  # a row per bar and account


def replaced_mid_run(general):
    """A run whose on_data, at bar 5, has the loop value every account with a function of
    its own and the session expire orders through an instance attribute; returns the
    run's outcome and the calls of both."""
    from korvit.backtest.session import running_session

    calls = []
    own_valuation = loop.valuation

    def marked(account, *args):
        calls.append(("valuation", account.name))
        (cash, value, margin, total), held = own_valuation(account, *args)
        return (cash, value, margin, total + 0.5), held

    def on_bar(context):
        session = running_session()
        if session.bar == 5:
            loop.valuation = marked
            expire = session.expire

            def noted(through):
                calls.append(("expire", through))
                return expire(through)

            session.expire = noted

    try:
        return outcome(7, 12, False, general, on_bar), calls
    finally:
        loop.valuation = own_valuation


def test_a_valuation_and_an_expiry_installed_by_on_data_are_obeyed():
    (tables, log), calls = replaced_mid_run(general=False)
    marks = (tables[0].equity - tables[0].cash - tables[0].market_value).to_numpy()
    # bars 0 to 5 valued by the loop's own valuation, bars 6 on by the installed one
    assert np.allclose(marks[:12], 0, atol=1e-6) and np.allclose(marks[12:], 0.5, atol=1e-6)
    assert calls.count(("expire", 5)) == 1 and calls.count(("expire", 11)) == 2
    assert sum(call[0] == "valuation" for call in calls) == 2 * 6
    general, general_calls = replaced_mid_run(general=True)
    assert_same((tables, log), general)
    assert calls == general_calls
