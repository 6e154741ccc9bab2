"""Fractional lots: positions that never drift, the lot grid of the engine, its twin and
the host against exact fractions, and the refusals of bad lots."""

import math
import os
import types
import warnings
from fractions import Fraction
from importlib.machinery import SourceFileLoader
from pathlib import Path

import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from support import korvit

from korvit.backtest import run
from korvit.backtest.model.positions import KVBackPosition, PyKVBackPosition
from korvit.data import load_contracts
from korvit.data.errors import DataError
from korvit.strategy import _lots

HERE = Path(__file__).resolve().parent
twin = types.ModuleType("reference_domain")
SourceFileLoader(twin.__name__, str(HERE.parent / "bench" / "reference_domain.py")).exec_module(
    twin
)
EXAMPLES = int(os.environ.get("KORVIT_FRACTION_EXAMPLES", "40"))
CASH = 100_000_000.0  # more than any journey below spends


def F(x):
    """The decimal a number's shortest text denotes."""
    return Fraction(repr(x))


def bars(codes, prices):
    """Daily bars (weekends included) of ``codes``, each at ``prices`` (open = close)."""
    times = pd.date_range("2024-01-06", periods=len(prices), freq="D")
    return pd.DataFrame(
        [(t, code, p, p, p, p, 1e6) for t, p in zip(times, prices, strict=True) for code in codes],
        columns=["time", "code", "open", "high", "low", "close", "volume"],
    )


def quiet_run(orders, frame, contracts):
    """A run placing ``orders[bar]`` (``(code, side, volume)``) at each bar, recording
    ``position(code)`` of every code before it orders."""
    codes = sorted(set(frame["code"]))

    def on_data(context):
        from korvit.strategy import buy, position, sell

        context.bar = getattr(context, "bar", -1) + 1
        context.held.append({code: position(code) for code in codes})
        for code, side, volume in orders.get(context.bar, ()):
            (buy if side == "buy" else sell)(code, volume)

    def init(context):
        context.held = []

    seen = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = run(
            {"init": init, "on_data": lambda c: (on_data(c), seen.update(held=c.held))},
            frame,
            contracts=contracts,
            cash=CASH,
            fees="none",
            benchmark="none",
            progress=False,
        )
    return result, seen["held"]


@st.composite
def journeys(draw):
    """A decimal lot, prices with cents, and buys and sells of whole lots; the last
    step sells whatever is held."""
    lot = draw(st.integers(1, 99)) * Fraction(1, 10 ** draw(st.integers(0, 6)))
    steps = draw(st.lists(st.integers(-40, 60), min_size=2, max_size=8))
    prices = [draw(st.integers(100, 100_000)) / 100 for _ in range(len(steps) + 2)]
    return float(lot), steps, prices


@settings(max_examples=EXAMPLES, deadline=None)
@given(journeys())
def test_fractional_positions_are_exact_sums_and_a_full_close_leaves_zero(journey):
    lot, steps, prices = journey
    code = "BTC.USD"
    held, orders, plan = Fraction(0), {}, []
    for bar, count in enumerate(steps):
        # a buy of `count` lots, or a sale of at most what is held
        volume = min(F(lot) * abs(count), held) if count < 0 else F(lot) * count
        if volume:
            orders[bar] = [(code, "sell" if count < 0 else "buy", float(volume))]
            plan.append((count >= 0, float(volume)))
            held += volume if count >= 0 else -volume
            # a whole number of lots is its own rounding to lots (0.3 is three lots of 0.1)
            assert _lots(float(held), lot) == float(held)
    if held:
        orders[len(steps)] = [(code, "sell", float(held))]
        plan.append((False, float(held)))
    contract = [{"code": code, "kind": "stock", "lot_size": lot}]
    result, seen = quiet_run(orders, bars([code], prices), contract)

    # every order filled, at the next bar's open; the positions are the exact sums
    assert (result.orders["status"] == "filled").all(), result.orders
    exact, cash = Fraction(0), F(CASH)
    for bar, fill in enumerate([None] + [orders.get(b, [None])[0] for b in range(len(prices) - 1)]):
        if fill is not None:
            sign = 1 if fill[1] == "buy" else -1
            exact += sign * F(fill[2])
            cash -= sign * F(fill[2]) * F(prices[bar])
        assert seen[bar]["BTC.USD"] == float(exact), (bar, seen[bar])
    assert exact == 0 and seen[-1]["BTC.USD"] == 0.0
    final = result.equity["equity"].iloc[-1]
    assert math.isclose(final, float(cash), rel_tol=1e-14, abs_tol=1e-7), (final, cash)

    # the compiled position and its Python twin book the same fills to the same exact sums
    for kind in (KVBackPosition, PyKVBackPosition):
        position, exact = kind(0), Fraction(0)
        for buys, volume in plan:
            if buys:
                position.open("long", volume, 10.0)
            else:
                position.close("long", volume)
            exact += F(volume) if buys else -F(volume)
            assert position.position_long == float(exact) == position.position_available_long
        assert position.position_long == 0


BTC = "BTC.USD"
# code: (kind, lot, min_volume, volume, the reason of its denial or None)
GRID = {
    "A.WHOLE": ("stock", 100, None, 300, None),
    "A.ODD": ("stock", 100, None, 150, "volume 150 is not a multiple of the lot size 100"),
    BTC: ("stock", 0.001, None, 0.125, None),
    "B.OFF": (
        "stock",
        0.001,
        None,
        0.1234,
        "volume 0.1234 is not a multiple of the lot size 0.001",
    ),
    "C.TENTHS": ("stock", 0.1, None, 0.3, None),
    "D.TINY": ("stock", 1e-05, None, 3e-05, None),
    "E.HALVES": ("stock", 2.5, None, 7.0, "volume 7 is not a multiple of the lot size 2.5"),
    "F.MIN": ("stock", 0.001, 0.002, 0.001, "volume 0.001 is below the minimum 0.002 of F.MIN"),
    "G.MIN": ("stock", 0.001, 0.002, 0.003, None),
    # beyond the engine's exact integer range (digits 1e-40 apart): its Fraction fallback
    "K.FINE": ("stock", 1e-40, None, 2.5, None),
    "L.FINE": ("stock", 3e-40, None, 2.5, "volume 2.5 is not a multiple of the lot size 3e-40"),
    "H.FUT": ("futures", 0.5, None, 1.5, None),
    "I.FUT": ("futures", 1, None, 0.5, "volume 0.5 is not a multiple of the lot size 1"),
    "J.FUT": ("futures", 0.25, 0.5, 0.25, "volume 0.25 is below the minimum 0.5 of J.FUT"),
}


def test_the_lot_grid_of_engine_twin_and_host_is_exact_in_decimal():
    contracts = [
        {"code": code, "kind": kind, "lot_size": lot}
        | ({} if least is None else {"min_volume": least})
        | ({"multiplier": 1.0, "long_margin": 1.0} if kind == "futures" else {})
        for code, (kind, lot, least, _, _) in GRID.items()
    ]
    orders = {0: [(code, "buy", row[3]) for code, row in GRID.items()]}
    result, _ = quiet_run(orders, bars(list(GRID), [100.0, 100.0, 100.0]), contracts)
    table = load_contracts(contracts)
    for order in result.orders.itertuples():
        kind, lot, least, volume, reason = GRID[order.code]
        read = table[order.code].engine_info().get("LotSize", table[order.code].lot_size)
        on_grid = (F(volume) / F(lot)).denominator == 1
        fills = on_grid and F(volume) >= F(least or lot)
        assert twin._on_lot_grid(volume, read) == on_grid, order.code
        assert (order.status == "filled") == fills == (reason is None), order
        assert (order.reason or None) == reason, order
        if fills:
            assert order.filled_volume == volume


@pytest.mark.parametrize(
    "values, words",
    [
        ({"lot_size": 0}, "lot size 0.0 is not a number above 0"),
        ({"lot_size": "nan"}, "not a finite number"),
        ({"lot_size": "inf"}, "not a finite number"),
        ({"lot_size": 3e9}, "lot size 3000000000.0 is not a number above 0 and up to 2,000"),
        ({"lot_size": 0.001, "min_volume": 0.0015}, "min_volume 0.0015 is not a whole number"),
        ({"lot_size": 0.001, "min_volume": 0.0005}, "min_volume 0.0005 is not a whole number"),
        ({"lot_size": 2, "min_volume": -2}, "min_volume -2.0 is not a whole number"),
    ],
)
def test_bad_lots_are_refused_in_one_line(values, words):
    with pytest.raises(DataError) as caught:
        load_contracts([{"code": BTC, "kind": "futures"} | values])
    assert words in str(caught.value) and "\n" not in str(caught.value)


def test_the_command_trades_a_fractional_default_lot_and_writes_its_volumes(tmp_path):
    bars([BTC], [40000.0, 41000.0, 42000.0]).to_csv(tmp_path / "bars.csv", index=False)
    (tmp_path / "strategy.py").write_text(
        "from korvit.strategy import buy, position\n"
        "def on_data(context):\n"
        f"    if not position('{BTC}'):\n        buy('{BTC}', 0.125)\n"
    )
    done = korvit(
        "backtest", "strategy.py", "--data", "bars.csv", "--lot-size", "0.001",
        "--fees", "none", "--no-progress", "--out", "out", cwd=tmp_path,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert "in lots of 0.001" in done.stderr
    assert (tmp_path / "out" / "trades.csv").read_text().count(",0.125,") == 1
    # bought 0.125 at the second bar's open, 41,000, valued at the last close, 42,000
    equity = pd.read_csv(tmp_path / "out" / "equity.csv")["equity"].iloc[-1]
    assert equity == float(1_000_000 + F(0.125) * (42000 - 41000))
