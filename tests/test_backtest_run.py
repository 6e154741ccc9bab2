"""The run loop through the public API: bar order and no look-ahead, fresh
state for every run, stop orders on hand-checked fills, the strategy API's
argument checks."""

import math

import numpy as np
import pandas as pd
import pytest

import korvit.tframe.framekit as framekit
from korvit.backtest import run
from korvit.strategy import StrategyError

CODE = "SZSE.000001"
# open, high, low, close, volume of five daily bars
BARS = [(10.00, 10.20, 9.90, 10.10, 50000), (10.10, 10.40, 10.00, 10.30, 50000),
        (10.50, 10.60, 10.20, 10.40, 50000), (10.40, 10.45, 9.70, 9.80, 50000),
        (9.60, 9.90, 9.30, 9.50, 50000)]


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
        if len(seen) == 2:              # bar 1 is the newest the strategy has seen
            buy(CODE, 100)

    result = run(strategy(on_data), frame(), price_at_previous_close=previous_close, progress=False)
    times = pd.bdate_range("2024-01-02", periods=5)
    # on_data of bar t sees bars 0..t and nothing later
    assert [s[0] for s in seen] == list(times)
    assert [s[1] for s in seen] == [[r[3] for r in BARS[:k + 1]] for k in range(5)]
    trade = result.trades.iloc[0]
    assert len(result.trades) == 1
    assert (trade.side, trade.effect, trade.volume, trade.price) == ("buy", "open", 100, price)
    assert trade.time.normalize() == times[2]       # dealt with bar 2


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
            buy(CODE, 100, 10.05, stop_loss=percent(5))       # limit 10.05: bar 1 opens above, reaches it

    result = run(strategy(on_data), frame(), progress=False)
    trades = result.trades
    assert trades[["side", "effect", "price"]].values.tolist() == [["buy", "open", 10.05], ["sell", "close", 9.54]]
    # The stop sits 5 % under the fill: 10.05 * 0.95 = 9.5475.  Bar 3's low 9.70 stays above it;
    # bar 4 opens at 9.60 and its low 9.30 passes it: the closing order fills at the stop price,
    # brought down to the price step 0.01.
    assert trades.time.iloc[1].normalize() == pd.Timestamp("2024-01-08")
    stop = result.stops.iloc[0]
    assert (stop.kind, stop.status) == ("loss", "fired")
    assert math.isclose(stop.stop_price, 10.05 * (1 - 5 / 100))


def test_two_runs_in_one_process_do_not_see_each_other():
    placed, registry = [], framekit.vr

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
    assert placed == first_seen and first_seen[1] == 1        # ids start at 1 again
    pd.testing.assert_frame_equal(first.trades, second.trades)
    pd.testing.assert_frame_equal(first.equity, second.equity)
    assert framekit.vr is registry          # the process's own registry is back in place


@pytest.mark.parametrize("call, message", [
    (lambda api: api.buy("SZSE.999999", 100), "unknown code"),
    (lambda api: api.buy(CODE, 0), "volume must be a positive"),
    (lambda api: api.buy(CODE, 100, float("nan")), "price must be a positive"),
    (lambda api: api.buy(CODE, 100, account="other"), "unknown account"),
    (lambda api: api.buy(CODE, 100, stop_loss=api.percent(0)), "gap must be a positive"),
    (lambda api: api.buy(CODE, 100, stop_loss=-1), "stop_loss must be a positive"),
    (lambda api: api.sell(CODE, 100, stop_loss=1), "protect an opening order"),
    (lambda api: api.history(CODE, "vwap", 3), "unknown bar field"),
])
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
    assert all(bars.times[bar] - pd.Timedelta(minutes=1) < times.min() and times.max() <= bars.times[bar]
               for (_, bar), (times, _, _) in ticks.items())
    result = run(strategy(lambda context: None), sample_path("minute.csv"), ticks=sample_path("ticks.csv"),
                 contracts=sample_path("contracts.csv"), start="2023-07-18 09:30", end="2023-07-18 14:00",
                 progress=False)
    assert result.equity.time.min() == pd.Timestamp("2023-07-18 09:30")


def test_ticks_loaded_for_the_whole_period_follow_the_bars_when_a_run_is_trimmed():
    """A Ticks object is keyed by bar position; a trimmed run must not deal
    the ticks of other bars (the breakout example fires its stops on ticks)."""
    from pathlib import Path
    from korvit.data import load_bars, load_contracts, load_ticks, sample_path
    example = Path(__file__).resolve().parent.parent / "examples" / "strategies" / "futures_breakout.py"
    bars = load_bars(sample_path("minute.csv"))
    ticks = load_ticks(sample_path("ticks.csv"), bars)
    contracts = load_contracts(sample_path("contracts.csv"))
    window = dict(start="2023-07-18 09:30", end="2023-07-19 15:00", progress=False)
    from_paths = run(example, sample_path("minute.csv"), ticks=sample_path("ticks.csv"),
                     contracts=contracts, **window)
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
    result = run(example, sample_path("daily.csv"), contracts=sample_path("contracts.csv"), stop_fill=stop_fill,
                 progress=False)
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
            context.order = buy(CODE, 100, 9.0, stop_loss=1)      # far below every bar: waits
        elif context.order.is_open:
            assert pending_orders(CODE) == [] or pending_orders(CODE)[0].order_id == context.order.order_id
            assert cancel(context.order) and not cancel(context.order)

    result = run(strategy(cancelling), frame(), progress=False)
    assert result.orders[["status", "filled_volume"]].values.tolist() == [["cancelled", 0.0]]
    assert result.stops.status.tolist() == ["cancelled"]
    assert result.equity.cash.iloc[-1] == 1_000_000.0

    # minute bars over two days: a limit placed late on day 1 is cancelled at day 2's first bar
    minutes = pd.DatetimeIndex(["2024-01-02 14:58", "2024-01-02 14:59", "2024-01-02 15:00",
                                "2024-01-03 09:31", "2024-01-03 09:32"])
    bars = frame([(10.0, 10.1, 9.9, 10.0, 500)] * 5).assign(time=minutes)

    def late(context):
        from korvit.strategy import buy, now
        if now() == minutes[1]:
            buy(CODE, 100, 9.5)

    kept = run(strategy(late), bars, progress=False)
    dropped = run(strategy(late), bars, cancel_stale_orders=True, progress=False)
    assert kept.orders.status.tolist() == ["pending"]
    assert dropped.orders[["status", "reason"]].values.tolist() == [["cancelled", "cancelled at the day's start"]]
    assert dropped.orders.updated.iloc[0].normalize() == minutes[3].normalize()


def test_a_run_without_an_output_folder_leaves_no_files_behind(tmp_path, monkeypatch):
    import tempfile
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    result = run(strategy(lambda context: None), frame(), progress=False)
    assert list(tmp_path.iterdir()) == [] and result.meta["log_dir"] is None
    kept = run(strategy(lambda context: None), frame(), output=tmp_path / "out", progress=False)
    assert any((tmp_path / "out" / "log").iterdir()) and kept.meta["log_dir"].startswith(str(tmp_path / "out"))
