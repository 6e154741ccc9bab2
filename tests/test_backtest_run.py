"""The run loop through the public API: bar order and no look-ahead, fresh
state for every run, stop orders on hand-checked fills, the strategy API's
argument checks."""

import functools
import math
import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import korvit.tframe.framekit as framekit
from korvit.backtest import OrdersDeniedWarning, run
from korvit.strategy import StrategyError

CODE = "SZSE.000001"
# open, high, low, close, volume of five daily bars
BARS = [
    (10.00, 10.20, 9.90, 10.10, 50000),
    (10.10, 10.40, 10.00, 10.30, 50000),
    (10.50, 10.60, 10.20, 10.40, 50000),
    (10.40, 10.45, 9.70, 9.80, 50000),
    (9.60, 9.90, 9.30, 9.50, 50000),
]


def frame(rows=BARS, code=CODE, start="2024-01-02"):
    times = pd.bdate_range(start, periods=len(rows))
    out = pd.DataFrame(rows, columns=["open", "high", "low", "close", "volume"])
    out.insert(0, "code", code)
    out.insert(0, "time", times)
    return out


def strategy(on_data, **more):
    return {"init": lambda context: None, "on_data": on_data, **more}


@pytest.mark.parametrize("previous_close, price", [(False, 10.50), (True, 10.30)])
def test_a_market_order_placed_on_bar_t_fills_on_bar_t_plus_1(previous_close, price):
    seen = []

    def on_data(context):
        from korvit.strategy import buy, history, now

        seen.append((now(), history(CODE, "close", 10).tolist()))
        if len(seen) == 2:  # bar 1 is the newest the strategy has seen
            buy(CODE, 100)

    result = run(strategy(on_data), frame(), price_at_previous_close=previous_close, progress=False)
    times = pd.bdate_range("2024-01-02", periods=5)
    # on_data of bar t sees bars 0..t and nothing later
    assert [s[0] for s in seen] == list(times)
    assert [s[1] for s in seen] == [[r[3] for r in BARS[: k + 1]] for k in range(5)]
    trade = result.trades.iloc[0]
    assert len(result.trades) == 1
    assert (trade.side, trade.effect, trade.volume, trade.price) == ("buy", "open", 100, price)
    assert trade.time.normalize() == times[2]  # dealt with bar 2


def test_equity_marks_positions_to_each_close():
    def on_data(context):
        from korvit.strategy import buy, history

        if len(history(CODE, "close", 5)) == 1:
            buy(CODE, 1000)

    result = run(strategy(on_data), frame(), cash=100_000.0, progress=False)
    equity = result.equity.set_index("time")
    fee = result.trades.fee.iloc[0]
    # bought 1000 at bar 1's open 10.10; then marked to the closes 10.30, 10.40, 9.80, 9.50
    cash = 100_000.0 - 1000 * 10.10 - fee
    assert equity.cash.tolist() == [100_000.0] + [cash] * 4
    assert equity.market_value.tolist() == [0.0] + [1000 * c for c in (10.30, 10.40, 9.80, 9.50)]
    assert np.allclose(equity.equity, equity.cash + equity.market_value)


def test_a_stop_loss_closes_at_its_price_and_a_limit_waits_for_its_bar():
    def on_data(context):
        from korvit.strategy import buy, history, percent

        if len(history(CODE, "close", 5)) == 1:
            buy(
                CODE, 100, 10.05, stop_loss=percent(5)
            )  # limit 10.05: bar 1 opens above, reaches it

    result = run(strategy(on_data), frame(), progress=False)
    trades = result.trades
    assert trades[["side", "effect", "price"]].values.tolist() == [
        ["buy", "open", 10.05],
        ["sell", "close", 9.54],
    ]
    # The stop sits 5 % under the fill: 10.05 * 0.95 = 9.5475.  Bar 3's low 9.70 stays above it;
    # bar 4 opens at 9.60 and its low 9.30 passes it: the closing order fills at the stop price,
    # brought down to the price step 0.01.
    assert trades.time.iloc[1].normalize() == pd.Timestamp("2024-01-08")
    stop = result.stops.iloc[0]
    assert (stop.kind, stop.status) == ("loss", "fired")
    assert math.isclose(stop.stop_price, 10.05 * (1 - 5 / 100))


def test_two_runs_in_one_process_do_not_see_each_other(monkeypatch):
    import gc
    import weakref

    import korvit.backtest.runner as runner

    placed, registry, envs = [], framekit.vr, []
    fresh = runner.fresh_environment
    monkeypatch.setattr(
        runner, "fresh_environment", lambda: envs.append(weakref.ref(fresh())) or envs[-1]()
    )

    def on_data(context):
        from korvit.strategy import buy, pending_orders, position

        placed.append((position(CODE), len(pending_orders())))
        if len(placed) == 1:
            placed.append(buy(CODE, 100).order_id)

    first = run(strategy(on_data), frame(), progress=False)
    first_seen, placed[:] = list(placed), []
    other = frame([(50.0, 51.0, 49.0, 50.5, 1000)] * 3, code="SSE.600000")
    run(strategy(lambda context: None), other, progress=False)
    second = run(strategy(on_data), frame(), progress=False)
    assert placed == first_seen and first_seen[1] == 1  # ids start at 1 again
    pd.testing.assert_frame_equal(first.trades, second.trades)
    pd.testing.assert_frame_equal(first.equity, second.equity)
    assert framekit.vr is registry  # the process's own registry is back in place
    del first, second
    gc.collect()
    assert [env() for env in envs] == [None] * 3  # nothing of a finished run is kept alive


def _buy_once(context):
    from korvit.strategy import buy, position

    if position(CODE) == 0:
        buy(CODE, 100)


def _run_in_a_fork(expected, parents_port):
    """A forked copy's run, on a core of its own: the same trades as the parent's, else
    a failing exit."""
    import os

    from korvit.backtest import loop

    trades = run(strategy(_buy_once), frame(), progress=False).trades
    pid, core = loop._embedded
    own = pid == os.getpid() and core.port != parents_port
    sys.exit(0 if trades.equals(expected) and own else 3)


def test_the_embedded_core_is_kept_for_the_next_runs_and_a_fork_starts_its_own():
    import multiprocessing

    from korvit.backtest import loop

    first = run(strategy(_buy_once), frame(), progress=False)
    core = loop._embedded[1]
    child = multiprocessing.get_context("fork").Process(
        target=_run_in_a_fork, args=(first.trades, core.port)
    )
    child.start()
    child.join(60)
    assert child.exitcode == 0  # its copy of the core serves nothing: it ran on its own
    again = run(strategy(_buy_once), frame(), progress=False)
    assert loop._embedded[1] is core and core.serving
    pd.testing.assert_frame_equal(first.trades, again.trades)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda api: api.buy("SZSE.999999", 100), "unknown code"),
        (lambda api: api.buy(CODE, 0), "volume must be a positive"),
        (lambda api: api.buy(CODE, 100, float("nan")), "price must be a positive"),
        (lambda api: api.buy(CODE, 100, account="other"), "unknown account"),
        (lambda api: api.buy(CODE, 100, stop_loss=api.percent(0)), "gap must be a positive"),
        (lambda api: api.buy(CODE, 100, stop_loss=-1), "stop_loss must be a positive"),
        (lambda api: api.sell(CODE, 100, stop_loss=1), "protect an opening order"),
        (lambda api: api.history(CODE, "vwap", 3), "unknown bar field"),
        (lambda api: api.buy(CODE, 100, 1e308), "price must be a positive number up to 1e9"),
        (
            lambda api: api.buy(CODE, 100, stop_loss=api.points(2e9)),
            "gap in points must be at most 1e9",
        ),
    ],
)
def test_the_strategy_api_refuses_bad_arguments(call, message):
    def on_data(context):
        import korvit.strategy as api

        call(api)

    with pytest.raises((StrategyError, ValueError), match=message):
        run(strategy(on_data), frame(), progress=False)


def test_the_api_outside_a_run_says_so():
    from korvit.strategy import buy

    with pytest.raises(RuntimeError, match="no backtest is running"):
        buy(CODE, 100)


def test_a_run_trimmed_to_a_period_keeps_only_the_ticks_inside_it():
    from korvit.data import load_bars, load_ticks, sample_path

    bars = load_bars(sample_path("minute.csv"), start="2023-07-18 09:30", end="2023-07-18 14:00")
    with pytest.raises(ValueError, match="ticks.csv, row"):
        load_ticks(sample_path("ticks.csv"), bars)
    ticks = load_ticks(sample_path("ticks.csv"), bars, trim=True)
    assert len(ticks) and {bar for _, bar in ticks} <= set(range(len(bars)))
    assert all(
        bars.times[bar] - pd.Timedelta(minutes=1) < times.min() and times.max() <= bars.times[bar]
        for (_, bar), (times, _, _) in ticks.items()
    )
    result = run(
        strategy(lambda context: None),
        sample_path("minute.csv"),
        ticks=sample_path("ticks.csv"),
        contracts=sample_path("contracts.csv"),
        start="2023-07-18 09:30",
        end="2023-07-18 14:00",
        progress=False,
    )
    assert result.equity.time.min() == pd.Timestamp("2023-07-18 09:30")


def test_ticks_loaded_for_the_whole_period_follow_the_bars_when_a_run_is_trimmed():
    """A Ticks object is keyed by bar position; a trimmed run must not deal
    the ticks of other bars (the breakout example fires its stops on ticks)."""
    from pathlib import Path

    from korvit.data import load_bars, load_contracts, load_ticks, sample_path

    example = (
        Path(__file__).resolve().parent.parent / "examples" / "strategies" / "futures_breakout.py"
    )
    bars = load_bars(sample_path("minute.csv"))
    ticks = load_ticks(sample_path("ticks.csv"), bars)
    contracts = load_contracts(sample_path("contracts.csv"))
    window = dict(start="2023-07-18 09:30", end="2023-07-19 15:00", progress=False)
    from_paths = run(
        example,
        sample_path("minute.csv"),
        ticks=sample_path("ticks.csv"),
        contracts=contracts,
        **window,
    )
    from_loaded = run(example, bars, ticks=ticks, contracts=contracts, **window)
    assert len(from_paths.stops) and (from_paths.stops.status == "fired").any()
    pd.testing.assert_frame_equal(from_loaded.trades, from_paths.trades)
    pd.testing.assert_frame_equal(from_loaded.stops, from_paths.stops)
    with pytest.raises(ValueError, match="only together with the Bars"):
        run(example, sample_path("minute.csv"), ticks=ticks, **window)


@pytest.mark.parametrize("stop_fill", ["first_traded", "stop_price"])
def test_the_sample_stop_losses_fire_where_the_bars_say(stop_fill):
    """Every stop-loss of the moving-average example on the sample data, checked
    against the raw sample bars: it sits 5 % under its fill, fires on the first
    later bar whose low reaches it, and closes at its price brought down to the
    price step of 0.01, or, where that bar opened below it, at the open (with
    stop_fill="stop_price", at its price there too)."""
    from decimal import Decimal
    from pathlib import Path

    from korvit.data import sample_path

    example = Path(__file__).resolve().parent.parent / "examples" / "strategies" / "ma_cross.py"
    result = run(
        example,
        sample_path("daily.csv"),
        contracts=sample_path("contracts.csv"),
        stop_fill=stop_fill,
        progress=False,
    )
    raw = pd.read_csv(sample_path("daily.csv"), parse_dates=["time"])
    trades = result.trades.set_index("order_id")
    fired = result.stops[result.stops.status == "fired"]
    assert len(fired) >= 5
    gaps = 0
    for stop in fired.itertuples():
        entry, exit_ = trades.loc[stop.order_id], trades.loc[stop.closing_order_id]
        level = entry.price * (1 - 5 / 100)
        later = raw[(raw.code == stop.code) & (raw.time > entry.time)]
        hit = later[later.low <= level].iloc[0]
        assert stop.stop_price == level
        assert stop.trigger_time == hit.time == exit_.time
        gaps += bool(hit.open <= level)
        price = hit.open if hit.open <= level and stop_fill == "first_traded" else level
        assert exit_.price == float(Decimal(str(price)) - Decimal(str(price)) % Decimal("0.01"))
        assert (exit_.side, exit_.effect, exit_.volume) == ("sell", "close", entry.volume)
    assert gaps, "the sample has no gap through a stop"


def test_cancel_and_day_start_cancellation_end_pending_orders_and_their_stops():
    def cancelling(context):
        from korvit.strategy import buy, cancel, pending_orders

        if not hasattr(context, "order"):
            context.order = buy(CODE, 100, 9.0, stop_loss=1)  # far below every bar: waits
        elif context.order.is_open:
            assert (
                pending_orders(CODE) == []
                or pending_orders(CODE)[0].order_id == context.order.order_id
            )
            assert cancel(context.order) and not cancel(context.order)

    result = run(strategy(cancelling), frame(), progress=False)
    assert result.orders[["status", "filled_volume"]].values.tolist() == [["cancelled", 0.0]]
    assert result.stops.status.tolist() == ["cancelled"]
    assert result.equity.cash.iloc[-1] == 1_000_000.0

    # minute bars over two days: a limit placed late on day 1 is cancelled at day 2's first bar
    minutes = pd.DatetimeIndex(
        [
            "2024-01-02 14:58",
            "2024-01-02 14:59",
            "2024-01-02 15:00",
            "2024-01-03 09:31",
            "2024-01-03 09:32",
        ]
    )
    bars = frame([(10.0, 10.1, 9.9, 10.0, 500)] * 5).assign(time=minutes)

    def late(context):
        from korvit.strategy import buy, now

        if now() == minutes[1]:
            buy(CODE, 100, 9.5)

    kept = run(strategy(late), bars, progress=False)
    dropped = run(strategy(late), bars, cancel_stale_orders=True, progress=False)
    assert kept.orders.status.tolist() == ["pending"]
    assert dropped.orders[["status", "reason"]].values.tolist() == [
        ["cancelled", "cancelled at the day's start"]
    ]
    assert dropped.orders.updated.iloc[0].normalize() == minutes[3].normalize()


@pytest.mark.parametrize("logs", [False, True])
def test_a_run_leaves_behind_only_the_logs_that_hold_anything(tmp_path, monkeypatch, logs):
    """The core's working folders go when the run ends; an output folder gets the log
    files that hold anything, and nothing else."""
    import logging
    import tempfile

    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path / "tmp"))
    (tmp_path / "tmp").mkdir()

    def on_data(context):
        if logs:
            logging.getLogger("korvit").warning("bar %s", context.now)

    result = run(strategy(on_data), frame(), progress=False)
    kept = run(strategy(on_data), frame(), output=tmp_path / "out", progress=False)
    assert list((tmp_path / "tmp").iterdir()) == [] and result.meta["log_dir"] is None
    left = sorted(p.relative_to(tmp_path / "out").parts[0] for p in (tmp_path / "out").rglob("*"))
    if logs:
        assert set(left) == {"log"} and kept.meta["log_dir"] == str(tmp_path / "out" / "log")
        assert all(f.stat().st_size > 0 for f in (tmp_path / "out" / "log").iterdir())
    else:
        assert left == [] and kept.meta["log_dir"] is None


@pytest.mark.parametrize(
    "options, error, message",
    [
        (dict(cash=1e308), ValueError, "cash 1e+308 is outside [0, 1e13]"),
        (dict(cash=-1), ValueError, "cash -1 is outside [0, 1e13]"),
        (dict(cash=float("nan")), ValueError, "cash must be a finite number, got nan"),
        (dict(cash="1000"), ValueError, "cash must be a number, got '1000'"),
        (
            dict(accounts={"a": 1e6, "b": 2e13}),
            ValueError,
            "cash of account 'b' 20000000000000.0 is outside [0, 1e13]",
        ),
        (dict(accounts={"": 1e6}), ValueError, "an account name is non-empty text"),
        (dict(slippage=1), ValueError, "slippage 1 is outside [0, 1)"),
        (dict(slippage=float("inf")), ValueError, "slippage must be a finite number"),
        (dict(commission_rate=1e5), ValueError, "commission_rate 100000.0 is outside [0, 10000]"),
        (
            dict(stock_commission={"CloseTax": 2}),
            ValueError,
            "stock_commission['CloseTax'] 2 is outside [0, 1]",
        ),
        (
            dict(stock_commission={"MinTradeFee": 1e300}),
            ValueError,
            "stock_commission['MinTradeFee'] 1e+300 is outside",
        ),
        (
            dict(stock_commission={"StampDuty": 0.001}),
            ValueError,
            "stock_commission: unknown item 'StampDuty'",
        ),
        (dict(stock_commission=[0.001]), TypeError, "stock_commission must be a mapping"),
        (
            dict(params=[1, 2]),
            TypeError,
            "params must be a mapping of parameter names to values (a dict), got list [1, 2]",
        ),
        (dict(params="fast=5"), TypeError, "params must be a mapping"),
        (dict(tz="Mars/Base"), ValueError, "unknown time zone 'Mars/Base'"),
    ],
)
def test_run_options_the_engine_cannot_hold_are_refused_before_the_run(options, error, message):
    from korvit.backtest.runner import Backtest

    with pytest.raises(error) as caught:
        Backtest(strategy(lambda context: None), frame(), progress=False, **options)
    assert str(caught.value).startswith(message) and "\n" not in str(caught.value)


def test_an_output_folder_that_is_a_file_is_refused(tmp_path):
    (tmp_path / "out").write_text("")
    with pytest.raises(ValueError, match="output '.*out' is a file, not a folder"):
        run(strategy(lambda context: None), frame(), output=tmp_path / "out", progress=False)


async def _coroutine(context):
    pass


async def _async_generator(context, *args):
    yield


def _generator(context, *args):
    yield


class _AsyncCallable:
    async def __call__(self, context):
        pass


@pytest.mark.parametrize("callback", ["init", "on_data", "on_order_status", "on_execution"])
@pytest.mark.parametrize(
    "function, code, what",
    [
        (_coroutine, _coroutine.__code__, "is a coroutine function (async def)"),
        (_async_generator, _async_generator.__code__, "is a coroutine function (async def)"),
        (_generator, _generator.__code__, "is a generator function (it yields)"),
        (functools.partial(_coroutine), _coroutine.__code__, "is a coroutine function (async def)"),
        (_AsyncCallable(), _AsyncCallable.__call__.__code__, "is a coroutine function (async def)"),
    ],
)
def test_callbacks_that_would_never_run_are_refused(callback, function, code, what):
    from korvit.backtest.runner import StrategyLoadError

    with pytest.raises(StrategyLoadError) as caught:
        run(
            {"init": lambda context: None, "on_data": lambda context: None, callback: function},
            frame(),
            progress=False,
        )
    line = code.co_firstlineno
    assert str(caught.value) == (
        f"{__file__}:{line}: {callback} {what}: korvit calls each callback and goes on, "
        "so its body would never run; define it with a plain def"
    )


@pytest.mark.parametrize("where", ["on_data", "on_order_status", "init"])
def test_sys_exit_in_a_callback_ends_the_run_with_strategy_exit(where):
    import sys

    from korvit.backtest.runner import StrategyExit
    from korvit.strategy import buy

    def leave():
        sys.exit(3)

    def on_data(context):
        buy(CODE, 100)

    def on_order_status(context, order, *args, **kwargs):
        leave()

    callbacks = {"init": lambda context: None, "on_data": on_data}
    callbacks[where] = on_order_status if where == "on_order_status" else lambda context: leave()
    registry = framekit.vr
    with pytest.raises(StrategyExit) as caught:
        run(callbacks, frame(), progress=False)
    exited = caught.value
    line = leave.__code__.co_firstlineno + 1
    assert (exited.code, exited.filename, exited.lineno) == (3, __file__, line)
    assert (
        str(exited) == f"the strategy called sys.exit(3) at {__file__}:{line}: the backtest stopped"
    )
    assert isinstance(exited.__cause__, SystemExit)
    assert framekit.vr is registry
    run(strategy(lambda context: None), frame(), progress=False)  # the next run starts afresh


def test_the_orders_table_tells_an_order_over_the_volume_limit_from_a_broken_lot():
    from korvit.strategy import buy, sell_short

    future = "SHFE.RB2405"

    def on_data(context):
        if len(context.orders) == 0:
            context.orders.extend(
                [
                    buy(CODE, 2_000_000_100),
                    buy(CODE, 150),
                    buy(future, 2**31),
                    sell_short(future, 2e9 + 1),
                    buy(CODE, 2_000_000_000),
                    buy(future, 1e308),
                ]
            )

    bars = pd.concat(
        [frame(), frame(code=future).assign(open=4000, high=4100, low=3900, close=4050)]
    )
    callbacks = strategy(on_data, init=lambda context: setattr(context, "orders", []))
    with pytest.warns(OrdersDeniedWarning):
        result = run(callbacks, bars, contracts={future: {"kind": "futures"}}, progress=False)
    limit = "volume {} is above the limit of 2,000,000,000 in one order"
    units = result.orders["reason"].str.extract(r" \(in units of ([^)]*)\)")[0]
    assert (units.dropna() == result.orders["code"][units.notna()]).all() and units.count() == 4
    assert result.orders["reason"].str.replace(
        r" \(in units of [^)]*\)", "", regex=True
    ).tolist() == [
        limit.format(2_000_000_100),
        "volume 150 is not a multiple of the lot size 100",
        limit.format(2**31),
        limit.format(2_000_000_001),
        "not enough cash",
        limit.format("1e+308"),
    ]
    # the kinds of reason leave out each order's volume
    above, lots = (
        "volume above the limit of 2,000,000,000 in one order",
        "volume not a multiple of the lot size 100",
    )
    assert result.orders["reason_kind"].tolist() == [
        above,
        lots,
        above,
        above,
        "not enough cash",
        above,
    ]
    assert set(result.orders["status"]) == {"denied"}


def test_a_runs_tables_are_built_when_read_and_the_same_whenever_read():
    """The tables of a run are made from its records on first use; read after
    other runs, or through a pickle, they are those read at once."""
    import pickle

    def on_data(context):
        from korvit.strategy import buy, percent, position, sell

        if position(CODE) == 0:
            buy(CODE, 100, stop_loss=percent(3), take_profit=percent(2))
        elif context.now.day % 2:
            sell(CODE, 100)
        buy(CODE, 10**12)  # denied: above the volume limit

    def read(result):
        return {
            name: getattr(result, name)
            for name in ("equity", "orders", "trades", "stops", "round_trips")
        }

    with pytest.warns(OrdersDeniedWarning):
        at_once = read(run(strategy(on_data), frame(), progress=False))
    with pytest.warns(OrdersDeniedWarning):
        later = run(strategy(on_data), frame(), progress=False)
    # nothing built yet but the orders, which the warning of the denied orders read
    assert set(later._records) == {"equity", "trades", "stops"}
    pickled = run(strategy(on_data), frame(), progress=False)
    run(
        strategy(lambda context: None),
        frame([(50.0, 51.0, 49.0, 50.5, 1000)] * 3, code="SSE.600000"),
        progress=False,
    )
    for result in (later, pickle.loads(pickle.dumps(pickled))):
        for name, table in read(result).items():
            pd.testing.assert_frame_equal(table, at_once[name], obj=name)
    assert len(at_once["stops"]) and (at_once["orders"]["status"] == "denied").any()


def test_a_run_again_after_a_run_of_other_data_gives_what_a_fresh_one_gives(tmp_path):
    """Nothing a run keeps for the next (the bars of a file read before) leaks
    into a run of other data, or back: run A, run B, run A again."""
    from korvit.data import sample_path

    example = Path(__file__).resolve().parents[1] / "examples" / "strategies" / "ma_cross.py"
    other = tmp_path / "other.csv"
    bars = pd.read_csv(sample_path("daily.csv"))
    bars[["open", "high", "low", "close"]] *= 1.5
    bars.to_csv(other, index=False)
    runs = [
        run(example, data, contracts=sample_path("contracts.csv"), progress=False)
        for data in (sample_path("daily.csv"), other, sample_path("daily.csv"))
    ]
    fresh = subprocess.run(
        [
            sys.executable,
            "-c",
            (
                "import sys, pickle; from korvit.backtest import run; from korvit.data import sample_path; "
                f"r = run({str(example)!r}, sample_path('daily.csv'), contracts=sample_path('contracts.csv'), "
                "progress=False); sys.stdout.buffer.write(pickle.dumps((r.equity, r.trades, r.round_trips, r.stats)))"
            ),
        ],
        capture_output=True,
        check=True,
    ).stdout
    equity, trades, round_trips, stats = pickle.loads(fresh)
    assert not runs[1].equity["equity"].equals(runs[0].equity["equity"])
    for result in (runs[0], runs[2]):
        pd.testing.assert_frame_equal(result.equity, equity)
        pd.testing.assert_frame_equal(result.trades, trades)
        pd.testing.assert_frame_equal(result.round_trips, round_trips)
        pd.testing.assert_series_equal(result.stats, stats)


@pytest.mark.parametrize("name", ["strategy.txt", "strategy"])
def test_a_strategy_file_not_named_py_runs_as_its_source(tmp_path, name):
    """A strategy file of any name is read as Python source (as a sweep reads it),
    with the same result as the same file named .py, and its own file in tracebacks."""
    source = f"from korvit.strategy import buy\n\ndef on_data(context):\n    buy({CODE!r}, 100)\n"
    results = []
    for file_name in ("strategy.py", name):
        path = tmp_path / file_name
        path.write_text(source)
        results.append(run(path, frame(), progress=False))
    assert results[1].equity.equals(results[0].equity)
    assert not results[0].trades.empty and results[1].trades.equals(results[0].trades)
    (tmp_path / name).write_text("import sys\n\ndef on_data(context):\n    sys.exit(2)\n")
    from korvit.backtest.runner import StrategyExit

    with pytest.raises(StrategyExit) as caught:
        run(tmp_path / name, frame(), progress=False)
    assert (caught.value.filename, caught.value.lineno) == (str(tmp_path / name), 4)


def test_bars_trimmed_to_a_period_stay_bars_of_their_period():
    from korvit.backtest.runner import Backtest
    from korvit.data import Bars

    times = pd.DatetimeIndex(["2024-01-02 09:31", "2024-01-03 09:31", "2024-01-04 09:31"])
    values = np.tile([10.0, 10.5, 9.5, 10.2, 1000.0], (1, 3, 1))
    bars = Bars([CODE], times, values, "minute", source="minutes", interval="5min")
    for trim in ({"start": "2024-01-03"}, {"start": times[1], "warmup": 1}, {"end": times[1]}):
        test = Backtest(strategy(lambda context: None), bars, **trim)
        assert (test.bars.interval, test.bars.frequency) == (pd.Timedelta("5min"), "minute")
