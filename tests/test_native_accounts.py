"""The compiled accounts and positions (korvit.native) against their Python
twins: the same random notices give the same cash, positions, return values
and errors, bit for bit and type for type; whole backtests give the same
result frames; references are given back."""

import gc
import random
import sys
import traceback
import types
import weakref
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import korvit.backtest.loop as loop
from korvit.backtest import run
from korvit.backtest.model import accounts
from korvit.backtest.model.accounts import KVBackAccount, PyKVBackAccount
from korvit.backtest.model.positions import KVBackPosition, PositionsBase, PyKVBackPosition
from korvit.data import sample_path
from korvit.tframe.sysdefine import GlobalDefine as gv

FIELDS = PositionsBase.__slots__ + KVBackPosition.__slots__
STOCKS, FUTURES, ODD_TYPE = (0, 1), (2, 3), 4
TYPES = {
    0: gv.TARGETTYPE_STOCK,
    1: gv.TARGETTYPE_FUND,
    2: gv.TARGETTYPE_FUTURE,
    3: gv.TARGETTYPE_FUTURE,
    4: gv.TARGETTYPE_INDEX,
}
EXAMPLES = Path(__file__).resolve().parent.parent / "examples" / "strategies"


class Order:
    def __init__(self, order_id, target_idx, side, effect, volume, value, fee):
        self.order_id, self.target_idx, self.side, self.position_effect = (
            order_id,
            target_idx,
            side,
            effect,
        )
        self.unfilled_volume, self.status = volume, gv.OrderStatus_Holding
        self._frozen = {"value": value, "fee": fee}

    def frozen_item(self, name):
        return self._frozen[name]


class Trade:
    def __init__(self, order_id, target_idx, side, effect, volume, price, value, fee):
        self.order_id, self.target_idx, self.side, self.position_effect = (
            order_id,
            target_idx,
            side,
            effect,
        )
        self.volume, self.price, self.target_type = volume, price, TYPES[int(target_idx)]
        self._frozen = {"trader_value": value, "trader_fee": fee}

    def frozen_item(self, name):
        return self._frozen[name]


class Env:
    """Multiples and margin rates, some of them float32 so that the numbers mix types."""

    def get_multiple(self, target):
        return {2: 10, 3: np.float32(300.0)}[target]

    def get_margin_rate(self, target, side):
        return 0.12 if target == 2 else np.float32(0.15)


@pytest.fixture
def env(monkeypatch):
    monkeypatch.setattr(accounts, "framekit", types.SimpleNamespace(env=Env()))


def exact(value):
    return type(value).__name__, repr(value)


def fields(position):
    return None if position is None else tuple(exact(getattr(position, name)) for name in FIELDS)


def outcome(call):
    try:
        result = call()
    except Exception as error:  # the error is part of the outcome
        return "raised", type(error), str(error)
    if isinstance(result, (PositionsBase, PyKVBackPosition)):
        return "position", fields(result)
    return "returned", exact(result)


def state(account):
    return (
        exact(account.cash),
        exact(account.fee_total),
        exact(account.realised_pnl),
        account.holding_order_ids,
        len(account.trades),
        {target: fields(p) for target, p in account._positions.items()},
    )


def number(rng, value, kinds=(float, np.float32, np.float64)):
    return rng.choice(kinds)(value)


def random_session(seed, steps=300):
    """(name, account -> outcome) steps of one random session; orders and their
    statuses change between steps, the same for both accounts."""
    rng = random.Random(seed)
    pending, next_id = [], iter(range(1, 10**6))

    def order_notice():
        target = rng.choice(STOCKS + FUTURES + (ODD_TYPE,) * (rng.random() < 0.05))
        side = rng.choice([gv.OrderAct_Buy, gv.OrderAct_Sell] + [9] * (rng.random() < 0.03))
        effect = rng.choice(
            [
                gv.PositionEffect_Open,
                gv.PositionEffect_Open,
                gv.PositionEffect_Close,
                gv.PositionEffect_CloseToday,
            ]
            + [0] * (rng.random() < 0.03)
        )
        volume = rng.randint(1, 8) * (100 if target in STOCKS else 1)
        volume = rng.choice([int, int, int, float, np.int64])(volume)
        price = round(rng.uniform(5, 50), 2)
        order = Order(
            next(next_id),
            rng.choice([target, float(target), np.int64(target)]),
            side,
            effect,
            volume,
            number(rng, price * volume),
            number(rng, round(rng.uniform(0, 6), 2)),
        )
        pending.append(order)
        return "hold", lambda a: a.on_order([order])

    def trade_notice():
        if pending and rng.random() < 0.8:
            order = rng.choice(pending)
            volume = min(order.unfilled_volume, rng.choice([1, 2, 100, 300, 1000]))
            order.unfilled_volume -= volume
            if not order.unfilled_volume > 0:
                order.status = gv.OrderStatus_Filled
                pending.remove(order)
            target, side, effect, order_id = (
                order.target_idx,
                order.side,
                order.position_effect,
                order.order_id,
            )
        else:  # a fill of no known order, often a close of more than is held
            target = rng.choice(STOCKS + FUTURES)
            side, effect = rng.choice([gv.OrderAct_Buy, gv.OrderAct_Sell]), gv.PositionEffect_Close
            volume, order_id = rng.randint(1, 5), -1
        price = number(rng, round(rng.uniform(5, 50), 2))
        trade = Trade(
            order_id,
            target,
            side,
            effect,
            volume,
            price,
            number(rng, price * volume),
            number(rng, round(rng.uniform(0, 6), 2)),
        )
        return "trade", lambda a: a.on_trade([trade])

    def end_notice(status, notify):
        if not pending:
            return "none", lambda a: None
        order = pending.pop(rng.randrange(len(pending)))
        order.status = rng.choice([status, status, float(status), np.int64(status)])
        return "end", (lambda a: a.on_order([order])) if notify else (lambda a: None)

    actions = [
        (order_notice, 6),
        (trade_notice, 6),
        (lambda: end_notice(gv.OrderStatus_Cancelled, True), 1),
        (lambda: end_notice(gv.OrderStatus_Denied, rng.random() < 0.5), 1),
        (
            lambda: (
                "position",
                lambda a, t=rng.choice([0, 1, 2, 3, 2.0, np.int64(3), -1, 1.5, "x", True]): (
                    a.position(t)
                ),
            ),
            2,
        ),
        (lambda: ("valid_cash", lambda a: a.valid_cash()), 2),
    ]
    makers, weights = zip(*actions)
    for _ in range(steps):
        yield rng.choices(makers, weights)[0]()


@pytest.mark.parametrize("seed", range(12))
def test_random_notices_give_the_same_accounts(env, seed):
    cash = [1_000_000, 250_000.5, np.float32(500_000.25)][seed % 3]
    native, python = KVBackAccount("A", cash), PyKVBackAccount("A", cash)
    raised = 0
    for step, (name, act) in enumerate(random_session(seed)):
        got, want = outcome(lambda: act(native)), outcome(lambda: act(python))
        assert got == want, (step, name)
        assert state(native) == state(python), (step, name)
        raised += got[0] == "raised"
    assert raised > 0  # the sessions do reach the errors
    for target in range(4):
        assert fields(native.position(target)) == fields(python.position(target))


def test_positions_match_their_twin_on_every_method_and_error():
    rng = random.Random(5)
    native, python = KVBackPosition(np.int64(7)), PyKVBackPosition(np.int64(7))
    calls = []
    for _ in range(400):
        leg = rng.choice(["long", "short", "long", "middle"])
        volume = rng.choice([0, 1, 3, 10, -2, 2.5, np.float32(4), np.int64(6)])
        method = rng.choice(["open", "open", "close", "reserve", "release", "held", "available"])
        args = {
            "open": (leg, volume, number(rng, rng.uniform(1, 9)), number(rng, rng.uniform(0, 3))),
            "held": (leg,),
            "available": (leg,),
        }.get(method, (leg, volume))
        calls.append(method)
        got = outcome(lambda: getattr(native, method)(*args))
        want = outcome(lambda: getattr(python, method)(*args))
        assert got == want, (method, args)
        assert fields(native) == fields(python)
    assert repr(native) == repr(python).replace("PyKVBackPosition", "KVBackPosition")


def test_account_construction_errors_are_the_same():
    for args in [
        ("", 1),
        (5, 1),
        ("A", -1),
        ("A", float("nan")),
        ("A", True),
        ("A", "10"),
        ("A", 1, {"Tax": 0.1}),
        ("A", 1, {"CloseTax": -0.1}),
        ("A", 1, {"CloseTax": np.float32(0.5)}),
        ("A", 1, [("OpenTax", 1)]),
        ("A", np.int64(7), {}),
    ]:
        got, want = outcome(lambda: KVBackAccount(*args)), outcome(lambda: PyKVBackAccount(*args))
        assert got[0] == want[0], args
        if got[0] == "raised":
            assert got == want, args
        else:
            assert state(KVBackAccount(*args)) == state(PyKVBackAccount(*args))
            assert (
                KVBackAccount(*args).stock_commission_rate
                == PyKVBackAccount(*args).stock_commission_rate
            )


def test_errors_name_the_native_method_in_the_traceback(env):
    account = KVBackAccount("A", 1000)
    with pytest.raises(ValueError, match="cannot book a trade of target type 3") as info:
        account.on_trade(
            [Trade(1, ODD_TYPE, gv.OrderAct_Buy, gv.PositionEffect_Open, 1, 1.0, 1.0, 0.0)]
        )
    assert "korvit.native.KVBackAccount.on_trade" in "".join(traceback.format_tb(info.tb))
    assert state(account) == state(PyKVBackAccount("A", 1000))


def test_subclasses_and_positions_of_other_types_are_driven_through_python(env):
    class Logged(PyKVBackPosition):
        calls = []

        def available(self, leg):
            self.calls.append(leg)
            return super().available(leg)

    class Account(KVBackAccount):
        def __init__(self, name, cash):
            super().__init__(name, cash)
            self.extra = "kept"

    seen = []
    for account in (Account("A", 10_000), PyKVBackAccount("A", 10_000)):
        account._positions[0] = position = Logged(0)
        position.open("long", 100, 10.0)
        del Logged.calls[:]
        account.on_order([Order(1, 0, gv.OrderAct_Sell, gv.PositionEffect_Close, 60, 0.0, 1.0)])
        account.on_trade(
            [Trade(1, 0, gv.OrderAct_Sell, gv.PositionEffect_Close, 80, 11.0, 880.0, 1.0)]
        )
        seen.append((list(Logged.calls), state(account)))
    assert seen[0] == seen[1] and seen[0][0]
    assert account.position(0).position_short == 0 and seen[0][1][5][0][3] == exact(20)
    assert Account("B", 1).extra == "kept"


def test_references_are_given_back_and_cycles_collected(env):
    price, order = 12.5, Order(1, 2, gv.OrderAct_Buy, gv.PositionEffect_Open, 3, 375.0, 1.5)
    trade = Trade(1, 2, gv.OrderAct_Buy, gv.PositionEffect_Open, 3, price, 375.0, 1.5)
    before = sys.getrefcount(order), sys.getrefcount(trade), sys.getrefcount(price)
    for _ in range(50):
        account = KVBackAccount("A", 100_000)
        account.on_order([order])
        account.on_trade([trade])
        account.valid_cash()
        account.position(2).close("long", 1)
    del account
    gc.collect()
    assert (sys.getrefcount(order), sys.getrefcount(trade), sys.getrefcount(price)) == before
    account = KVBackAccount("A", 1)
    account.trades.append(account)  # cycles through the account's own list and its __dict__
    account.on_order = account.position
    gone = weakref.ref(account)
    del account
    gc.collect()
    assert gone() is None


@pytest.mark.parametrize(
    "example, data, extra",
    [
        ("ma_cross.py", "daily.csv", {}),
        ("futures_breakout.py", "minute.csv", {"ticks": sample_path("ticks.csv")}),
    ],
)
def test_whole_backtests_give_the_same_results(monkeypatch, example, data, extra):
    def results():
        result = run(
            EXAMPLES / example,
            sample_path(data),
            contracts=sample_path("contracts.csv"),
            progress=False,
            **extra,
        )
        return result.equity, result.orders, result.trades, result.stops

    native = results()
    monkeypatch.setattr(loop, "KVBackAccount", PyKVBackAccount)
    python = results()
    assert len(native[2]) > 0
    for got, want in zip(native, python):
        pd.testing.assert_frame_equal(got, want, check_exact=True)
