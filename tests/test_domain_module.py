"""The engine module as a whole: its globals, late binding, failures, references."""

import itertools
import subprocess
import sys
import textwrap
import types
from datetime import timedelta

import numpy as np
import pytest

import korvit.backtest.domain as domain
from korvit.tframe.sysdefine import GlobalDefine as gv

NAN = float("nan")
GLOBALS = [
    "itertools",
    "np",
    "isnan",
    "timedelta",
    "Decimal",
    "Fraction",
    "cnt",
    "gv",
    "smm",
    "todotmc",
    "write_userlog",
    "cb",
    "mft_to_datetime",
    "datetime_to_mft",
    "raise_bultin_error",
    "get_target_info_v2",
    "get_bar_tick_data",
    "KVBackOrder",
    "KVBackTrade",
    "KVBackStopOrder",
    "PositionsBase",
    "KVBackAccount",
    "convert_back_order_to_snap_order",
    "convert_back_order_to_snap_execution",
    "_1min_dt",
    "_1sec_dt",
]
FUNCTIONS = {
    "calc_order_value_rb": 1,
    "deal_trade": 0,
    "_deal_normal_order": 0,
    "_deal_stop_order": 2,
    "_get_filled_time": 3,
    "_get_order_related_unfired_stop_order": 1,
    "_transaction_order": 7,
    "_create_a_trader": 5,
    "_clear_unfilled_order": 1,
    "_back_test_call_on_execution": 2,
    "_back_test_call_on_order_status": 1,
    "_update_order_status": 6,
    "_cancelled_stop_order_by_target_order_id": 1,
    "_set_stop_order_target_price": 2,
    "_update_unfired_stop_order_status_if_holding_status": 0,
    "_update_stop_order_status": 2,
    "_cancel_other_stop_order": 1,
    "_fire_stop_order": 1,
    "_update_stop_trailing_order_trigger_price": 2,
    "_judge_stop_orders_by_bar": 4,
    "_judge_stop_orders_by_tick": 1,
    "_update_trader_future_frozen": 1,
    "_update_trader_stock_frozen": 1,
    "_update_trader_frozen": 1,
    "_update_order_future_frozen": 1,
    "_update_order_stock_frozen": 1,
    "_update_order_frozen": 1,
}


def test_import_binds_the_host_names_in_order_under_both_names():
    code = """
        import backtest.domain as short
        import korvit.backtest.domain as long
        import korvit.tframe.framekit as fk
        names = [k for k in vars(long) if not k.startswith("__")]
        print(short is long, long.cnt is fk, long.gv is fk.gv, long.smm is fk.smm, long.__name__)
        print(" ".join(names))
    """
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0 and result.stderr == "", (
        result.stderr
    )  # no leak report at exit either
    first, second = result.stdout.splitlines()
    assert first.split() == ["True"] * 4 + ["korvit.backtest.domain"]
    names = second.split()
    assert names[: len(GLOBALS)] == GLOBALS
    assert names[len(GLOBALS) :] == list(FUNCTIONS)
    assert domain._1min_dt == timedelta(minutes=1) and domain._1sec_dt == timedelta(seconds=1)


@pytest.fixture
def world(backtest):
    backtest.load([[[10, 11, 9, 10, 100]]] * 2, [0.0], bar=0)
    return backtest


def test_host_functions_are_looked_up_at_every_call(world, monkeypatch):
    seen = []
    real = domain.get_target_info_v2
    monkeypatch.setattr(
        domain, "get_target_info_v2", lambda idx: seen.append(list(idx)) or real(idx)
    )
    order = world.order(1, target=1, price=4000.0, volume=2)
    domain._update_order_frozen([order])
    domain._create_a_trader(order, 4000.0, 2, 4000.0, 0.0)
    assert seen == [[1], [1]]

    # another framekit-like module under `cnt`: its registry and environment are the ones used
    other = types.SimpleNamespace(vr=types.SimpleNamespace(g_KorvitAccounts=[]), env=None)
    monkeypatch.setattr(domain, "cnt", other)
    with pytest.raises(IndexError):
        domain._update_order_status(order, [0], 0, gv.OrderStatus_Holding, NAN, 0.0)


def test_calls_between_engine_functions_go_through_the_module(world, monkeypatch):
    order = world.order(1)
    calls = []
    with monkeypatch.context() as patch:
        patch.setattr(domain, "_back_test_call_on_order_status", lambda o: calls.append(o))
        domain._update_order_status(order, [0], 0, gv.OrderStatus_Holding, NAN, 0.0)
    assert calls == [order] and world.events == []
    # back to our own function: the native path, which still names it in tracebacks
    world.vr.g_KorvitInputInfo.on_order_status_func = lambda ctx, snap: 1 / 0
    with pytest.raises(ZeroDivisionError) as info:
        domain._update_order_status(order, [0], 0, gv.OrderStatus_Holding, NAN, 0.0)
    names = [entry.name for entry in info.traceback]
    assert "backtest.domain._update_order_status" in names
    assert "backtest.domain._back_test_call_on_order_status" in names


def test_parameters_may_be_given_by_keyword(world):
    order = world.order(1, volume=100)
    trade = domain._create_a_trader(
        order=order, order_price=10.0, trader_volume=100, trade_price=10.0, filled_time=0.0
    )
    values, fees = domain._update_trader_frozen(traders=[trade])
    assert values == [1000.0] and fees == [
        5.0 + 1000.0 * world.vr.g_KorvitAccounts[0].stock_commission_rate["TransFee"]
    ]
    with pytest.raises(TypeError):
        domain._update_order_frozen(orders=[order], extra=1)


class Bare:
    """A record without any field."""


BAD = [None, NAN, "x", -1, 10**30, [None], Bare(), np.array([1.0, 2.0])]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_every_function_survives_bad_input(world, name):
    function = getattr(domain, name)
    arity = FUNCTIONS[name]
    good_order = world.order(99, store=False)
    for bad in itertools.product(BAD + [good_order], repeat=min(arity, 2)):
        args = (bad + (0, 0, 0, 0, 0, 0))[:arity]
        try:
            function(*args)
        except SystemError as exc:  # a C-level fault leaking out
            pytest.fail(f"{name}{args!r}: {exc!r}")
        except Exception as exc:
            entries = [code.co_name for code in _entries(exc)]
            assert f"backtest.domain.{name}" in entries, (name, args, exc)


def _entries(exc):
    tb = exc.__traceback__
    while tb is not None:
        yield tb.tb_frame.f_code
        tb = tb.tb_next


def test_reference_counts_stay_balanced(world):
    order = world.order(1, target=1, price=4000.0, volume=10**6)
    stock = world.order(2, target=0, price=10.0, volume=100)
    status_s = [0, 0]
    price, when = 4000.123456, 1.5e9 + 0.25  # objects nobody else holds
    domain._update_order_status(
        order, status_s, 0, gv.OrderStatus_Holding, NAN, when
    )  # the account holds it now
    world.events.clear()
    watched = (order, stock, status_s, price, when, world.vr, world.env)
    before = [sys.getrefcount(o) for o in watched]
    for _k in range(200):
        domain._update_order_frozen([order, stock])
        domain._update_order_status(order, status_s, 0, gv.OrderStatus_Holding, NAN, when)
        domain._create_a_trader(order, price, 1, price, when)
        domain._get_filled_time(0, when, 0)
        with pytest.raises(AssertionError):
            domain._create_a_trader(stock, price, 101, price, when)
        with pytest.raises(IndexError):
            domain._update_order_status(order, status_s, 5, gv.OrderStatus_Holding, NAN, when)
    world.vr.g_KVTrades = None  # drop the 200 trades that now hold the objects
    world.events.clear()
    assert [sys.getrefcount(o) for o in watched] == before


def test_reference_counts_stay_balanced_through_matching_and_stops(world):
    from korvit.backtest.model.orders import KVBackStopOrder

    bar = [11.0], [9.0], [10.0], [100.0]
    no_assign = np.array([])
    watched = (*bar, no_assign, world.vr, world.env)
    before = [sys.getrefcount(o) for o in watched]
    for k in range(1, 201, 2):
        world.order(k, target=1, price=10.0, volume=1)
        world.vr.g_KVStopOrders.append(
            k,
            KVBackStopOrder.create(
                stop_order_id=k,
                target_order_id=k,
                target_idx=1,
                handle_idx=0,
                act=gv.OrderAct_Buy,
                stop_order_type=gv.StopOrderType_Loss,
                stop_gap_type=gv.OrderStop_StopGap_Point,
                stop_gap=1,
                volume=1,
                ctg=gv.OrderCtg_Market,
            ),
        )
        domain._transaction_order(np.array([k]), *bar, no_assign, no_assign)
        stop = world.vr.g_KVStopOrders.obj([k])[0]
        stop.trigger_time = 0.0
        fired = domain._fire_stop_order(stop)
        domain._transaction_order(fired[0], *bar, fired[1], fired[2])
        with pytest.raises(IndexError):
            domain._transaction_order(np.array([k]), [], [], [], [], no_assign, no_assign)
    world.vr.g_KVOrders = world.vr.g_KVStopOrders = world.vr.g_KVTrades = None
    world.vr.g_KorvitAccounts.clear()
    world.events.clear()
    assert [sys.getrefcount(o) for o in watched] == before
