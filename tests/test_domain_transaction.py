"""The order transaction: admission, pricing and fills of a batch of orders
against one bar, end to end through the host layer."""

import numpy as np
import pytest

import korvit.backtest.domain as domain
from korvit.backtest.model.accounts import KVBackAccount
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.utils.exceptions import BuiltinFieldError

STOCK, FUTURE = 0, 1
BUY, SELL = gv.OrderAct_Buy, gv.OrderAct_Sell
OPEN, CLOSE = gv.PositionEffect_Open, gv.PositionEffect_Close
MARKET, LIMIT = gv.OrderCtg_Market, gv.OrderCtg_Limit
PRE, HOLDING, FILLED = gv.OrderStatus_PreHolding, gv.OrderStatus_Holding, gv.OrderStatus_Filled
CANCELLED, DENIED = gv.OrderStatus_Cancelled, gv.OrderStatus_Denied
T0 = 1_700_000_000.0


def bars(world, *rows, bar=None):
    """Bars (open, high, low, close, volume) for targets 0..2, the same bars
    for every target; the cursor on the last one unless `bar` is given."""
    ohlcv = [list(rows)] * 3
    world.load(
        ohlcv, [T0 + 86400 * k for k in range(len(rows))], bar=len(rows) - 1 if bar is None else bar
    )


def deal(world, orders, assign=None, times=None):
    """`_transaction_order` over `orders` against the current bar, as the deal driver calls it."""
    matrix = world.vr.g_KorvitKDataList[0].Matrix
    pos = world.vr.g_KorvitSimCurBarFresh
    column = {
        item: np.array([matrix[gv.bar_item_pos(item, o.target_idx), pos] for o in orders])
        for item in (gv.KMatrix_High, gv.KMatrix_Low, gv.KMatrix_Open, gv.KMatrix_Volume)
    }
    return domain._transaction_order(
        np.array([o.order_id for o in orders]),
        column[gv.KMatrix_High],
        column[gv.KMatrix_Low],
        column[gv.KMatrix_Open],
        column[gv.KMatrix_Volume],
        np.array([] if assign is None else assign),
        np.array([] if times is None else times),
    )


def statuses(world):
    return [(e[2].order_id, e[2].status) for e in world.events if e[0] == "status"]


def test_limit_orders_fill_at_the_limit_or_the_open_or_wait(backtest):
    bars(backtest, (10.2, 10.4, 10.0, 10.3, 1000))
    better = backtest.order(1, price=10.5)  # the whole bar is below a buy limit of 10.5
    missed = backtest.order(2, price=9.9)  # never reached
    inside = backtest.order(3, price=10.1)  # reached after an open above it
    sell_better = backtest.order(4, side=SELL, effect=OPEN, price=9.5, volume=200, target=FUTURE)
    result = deal(backtest, [better, missed, inside, sell_better])
    assert result.tolist() == [FILLED, HOLDING, FILLED, FILLED]
    assert (better.price, better.filled_average) == (10.2, 10.2)
    assert (inside.price, inside.filled_average) == (10.1, 10.1)
    assert sell_better.filled_average == 10.0  # the open, brought to the price step of 1
    assert missed.status == HOLDING and missed.filled_volume == 0

    backtest.vr.g_KorvitSettingInfo.LimitType = True
    assert deal(backtest, [missed]).tolist() == [CANCELLED]
    assert missed.rej_reason == gv.OrderReject_LimitType


def test_market_orders_price_from_the_bar_the_previous_close_or_the_assigned_price(backtest):
    bars(
        backtest,
        (19.0, 19.5, 18.5, 19.2, 1000),
        (20.0, 20.5, 19.5, 20.1, 1000),
        (21, 21, 21, 21, 1),
        bar=1,
    )
    settings = backtest.vr.g_KorvitSettingInfo
    settings.SlidePrice = 0.01
    sell = backtest.order(1, side=SELL, ctg=MARKET, price=0, target=FUTURE, volume=1)
    sell_trades = backtest.vr.g_KVTrades.size
    deal(backtest, [sell])
    trade = backtest.vr.g_KVTrades.obj([sell_trades])[0]
    # 20 x (1 - 0.01) = 19.8 before the price step of 1.0
    assert trade.price == 19.0 and sell.price == 20.0

    settings.PriceLoc = 0  # the previous bar's close
    buy = backtest.order(2, ctg=MARKET, price=0, volume=100)
    deal(backtest, [buy])
    assert (
        buy.price == 19.2 and buy.filled_average == 19.39
    )  # 19.2 x 1.01 = 19.392, stepped to 0.01

    assigned = backtest.order(3, ctg=MARKET, price=0, volume=100)
    deal(backtest, [assigned], assign=[18.76], times=[T0 + 5])
    assert (assigned.price, assigned.filled_average, assigned.updated_time) == (
        18.76,
        18.76,
        T0 + 5,
    )

    for slide in (1, 1.5):  # a trade price of 0 or less: no fill
        settings.SlidePrice = slide
        stuck = backtest.order(
            10 + slide * 2, side=SELL, ctg=MARKET, price=0, target=FUTURE, volume=1
        )
        assert deal(backtest, [stuck]).tolist() == [HOLDING]


def test_a_new_order_priced_0_is_frozen_and_reported_at_the_bar_open(backtest, caplog):
    bars(backtest, (10.0, 10.4, 9.9, 10.2, 1000))
    value, fee = domain._update_order_frozen(
        [backtest.order(0, price=10.0, volume=100, store=False)]
    )
    account = backtest.vr.g_KorvitAccounts[0]
    account.cash = value[0] + fee[0]  # exactly what an order of 100 at 10.0 freezes
    order = backtest.order(7, price=0, volume=100)
    caplog.set_level("INFO", logger="korvit.user")
    assert deal(backtest, [order]).tolist() == [DENIED]
    assert order.rej_reason == gv.OrderReject_NoEnoughCash and order.price == 10.0
    assert [r.getMessage() for r in caplog.records] == [
        f"保证金不足: order_id=7, order_volume=100, order_price=10.00, valid_cash={account.cash:.2f}, "
        f"margin_frozen=1000.00, fee_frozen={fee[0]:.2f}"
    ]
    account.cash += 0.01
    assert deal(backtest, [backtest.order(8, price=0, volume=100)]).tolist() == [FILLED]


def test_admission_checks(backtest):
    bars(backtest, (10.0, 10.4, 9.9, 10.2, 1000))
    account = backtest.vr.g_KorvitAccounts[0]
    account.cash = 1e20
    cases = {
        "odd stock lot": (backtest.order(1, volume=150), DENIED, gv.OrderReject_IllegalVolume),
        "2e9 passes": (backtest.order(2, target=FUTURE, volume=2e9), FILLED, None),
        "above 2e9": (
            backtest.order(3, target=FUTURE, volume=2e9 + 1),
            DENIED,
            gv.OrderReject_IllegalVolume,
        ),
        "close without position": (
            backtest.order(4, side=SELL, effect=CLOSE, target=2, volume=1),
            DENIED,
            gv.OrderReject_NoEnoughPosition,
        ),
        "buy close without position": (
            backtest.order(5, side=BUY, effect=CLOSE, volume=1),
            DENIED,
            gv.OrderReject_NoEnoughPosition,
        ),
    }
    orders = [c[0] for c in cases.values()]
    assert deal(backtest, orders).tolist() == [c[1] for c in cases.values()]
    for name, (order, _, reason) in cases.items():
        if reason is not None:
            assert order.rej_reason == reason, name

    # A stock sell that closes 150 passes the lot check; exactly the available volume passes.
    deal(backtest, [backtest.order(10, volume=300)])
    assert deal(
        backtest,
        [
            backtest.order(11, side=SELL, effect=CLOSE, volume=150),
            backtest.order(12, side=SELL, effect=CLOSE, volume=150),
            backtest.order(13, side=SELL, effect=CLOSE, volume=1),
        ],
    ).tolist() == [FILLED, FILLED, DENIED]

    # Cancelled and denied orders are passed over and keep their status.
    done = [backtest.order(20, status=CANCELLED), backtest.order(21, status=DENIED)]
    assert deal(backtest, done).tolist() == [CANCELLED, DENIED]
    assert all(o.filled_volume == 0 for o in done)


def test_at_the_daily_limits_new_orders_wait_and_are_checked_again(backtest):
    bars(backtest, (11.0, 11.0, 11.0, 11.0, 1000), (10.5, 11.0, 10.2, 10.8, 1000), bar=0)
    backtest.env.set_price_limits(STOCK, up=[11.0, 11.0], down=[9.0, 9.0])
    buy, sell = backtest.order(1, price=11.0), backtest.order(2, side=SELL, effect=OPEN, price=11.0)
    backtest.events.clear()
    assert deal(backtest, [buy, sell]).tolist() == [PRE, FILLED]
    assert statuses(backtest)[0] == (1, PRE)  # reported although nothing changed
    assert buy.rej_reason != buy.rej_reason  # NaN: no reason

    backtest.vr.g_KorvitSimCurBarFresh = 1
    buy.volume = 150  # the admission checks run again
    assert deal(backtest, [buy]).tolist() == [DENIED]


def test_a_bar_without_trading_cancels_market_orders_only_when_told(backtest):
    for volume in (0.5, 0):
        bars(backtest, (10.0, 10.4, 9.9, 10.2, volume))
        market = backtest.order(len(backtest.vr.g_KVOrders) + 1, ctg=MARKET, price=0)
        limit = backtest.order(len(backtest.vr.g_KVOrders) + 1)
        backtest.vr.g_KorvitSettingInfo.MarketOrderHolding = True
        assert deal(backtest, [market, limit]).tolist() == [PRE, PRE]
        backtest.vr.g_KorvitSettingInfo.MarketOrderHolding = False
        assert deal(backtest, [market, limit]).tolist() == [CANCELLED, PRE]
        assert market.rej_reason == gv.OrderReject_MarketOrderHolding
    bars(backtest, (float("nan"), 10.4, 9.9, 10.2, 1000))
    assert deal(backtest, [backtest.order(99)]).tolist() == [PRE]


def test_the_fill_sequence(backtest, monkeypatch):
    bars(backtest, (10.0, 10.4, 9.9, 10.2, 1000))
    log = []
    for name in ("_create_a_trader", "_update_trader_frozen", "_set_stop_order_target_price"):
        original = getattr(domain, name)
        monkeypatch.setattr(
            domain, name, lambda *a, name=name, f=original: log.append(name) or f(*a)
        )
    monkeypatch.setattr(
        KVBackAccount,
        "on_trade",
        lambda self, trades, f=KVBackAccount.on_trade: log.append("on_trade") or f(self, trades),
    )
    backtest.vr.g_KorvitInputInfo.on_order_status_func = lambda ctx, snap: log.append(
        ("status", snap.status)
    )
    backtest.vr.g_KorvitInputInfo.on_order_execution_func = lambda ctx, snap: log.append(
        "execution"
    )
    deal(backtest, [backtest.order(1, price=10.1)])
    assert log == [
        ("status", HOLDING),
        "_create_a_trader",
        ("status", FILLED),
        "execution",
        "_update_trader_frozen",
        "on_trade",
        "_set_stop_order_target_price",
    ]


def test_invalid_fields_go_to_the_error_raiser(backtest, monkeypatch):
    bars(backtest, (10.0, 10.4, 9.9, 10.2, 1000))
    for order in (
        backtest.order(1, ctg=99),
        backtest.order(2, effect=99, target=FUTURE, volume=1),
        backtest.order(3, ctg=MARKET, side=9, status=HOLDING),
    ):
        with pytest.raises(BuiltinFieldError) as err:
            deal(backtest, [order])
        assert "backtest.domain._transaction_order" in [entry.name for entry in err.traceback]
    # An error raiser that returns: the order is not filled in this bar.
    keys = []
    monkeypatch.setattr(domain, "raise_bultin_error", keys.append)
    orders = [backtest.order(4, ctg=99), backtest.order(6, ctg=MARKET, side=9, status=HOLDING)]
    assert deal(backtest, orders).tolist() == [HOLDING, HOLDING]
    assert keys == ["orderctg", "orderact"] and backtest.vr.g_KVTrades.size == 0
    # A new order of no known position effect is admitted; here the account refuses to hold it.
    odd = backtest.order(5, effect=99, target=FUTURE, volume=1)
    with pytest.raises(ValueError, match="position effect"):
        deal(backtest, [odd])
    assert keys[-1] == "offsetflag" and odd.status == HOLDING
