"""Why each round trip ended, the benchmark and the figures against it, stats.json as
numbers with units, and the charts of a result for notebooks."""

import json
import math
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from korvit.backtest import run
from korvit.backtest.benchmark import buy_and_hold, check_benchmark
from korvit.backtest.results import BacktestResult, match_round_trips
from korvit.backtest.stats import STAT_NAMES, STAT_UNITS, period_returns, rolling_figures
from korvit.data import Bars, sample_path

EXAMPLES = Path(__file__).resolve().parent.parent / "examples" / "strategies"

# ------------------------------------------------------------------ why round trips end

A, B, C, D, E = (f"SZSE.00000{k}" for k in range(1, 6))
# (open, high, low, close) of each code's six daily bars.  Every code is bought (100 at
# bar 1's open, 10.00); then, worked by hand:
#   A, stop-loss 1 point (9.00): bar 2 opens at 9.80 and reaches 8.50 -> closed at 9.00;
#   B, take-profit 1 point (11.00): bar 2 reaches 11.50 from 10.20 -> closed at 11.00;
#   C, trailing stop 1 point (from 11.00 on): bar 2 opens at 11.60 and peaks at 12.00,
#      the stop trails to 11.00; bar 3 falls to 10.50 -> closed at 11.00 on bar 3;
#   D, a 5-point stop-loss never reached; the strategy sells after bar 3 -> bar 4's open
#      10.40, its stop cancelled;
#   E, held to the end: valued at its last close, 10.60, on the last bar.
PATHS = {
    A: [
        (10, 10.2, 9.8, 10),
        (10, 10.2, 9.8, 10),
        (9.8, 9.9, 8.5, 8.8),
        (8.8, 9, 8.6, 8.9),
        (8.9, 9, 8.8, 8.9),
        (9, 9.1, 8.9, 9),
    ],
    B: [
        (10, 10.2, 9.8, 10),
        (10, 10.2, 9.8, 10),
        (10.2, 11.5, 10.1, 11.2),
        (11.2, 11.3, 11, 11.1),
        (11, 11.1, 10.9, 11),
        (11, 11, 10.8, 10.9),
    ],
    C: [
        (10, 10.2, 9.8, 10),
        (10, 10.2, 9.8, 10),
        (11.6, 12, 11.5, 11.9),
        (11.8, 11.9, 10.5, 10.8),
        (10.8, 10.9, 10.6, 10.7),
        (10.7, 10.8, 10.5, 10.6),
    ],
    D: [
        (10, 10.2, 9.8, 10),
        (10, 10.2, 9.8, 10),
        (10.1, 10.3, 10, 10.2),
        (10.2, 10.4, 10.1, 10.3),
        (10.4, 10.5, 10.3, 10.4),
        (10.4, 10.5, 10.3, 10.5),
    ],
    E: [
        (10, 10.2, 9.8, 10),
        (10, 10.2, 9.8, 10),
        (10.1, 10.3, 10, 10.2),
        (10.2, 10.4, 10.1, 10.3),
        (10.4, 10.5, 10.3, 10.4),
        (10.4, 10.7, 10.3, 10.6),
    ],
}
TIMES = pd.bdate_range("2024-01-02", periods=6)


def _bars(paths=PATHS):
    rows = [(t, code, *bar, 1e5) for code, path in paths.items() for t, bar in zip(TIMES, path)]
    return pd.DataFrame(rows, columns=["time", "code", "open", "high", "low", "close", "volume"])


def _every_exit(context):
    import korvit.strategy as k

    context.n = getattr(context, "n", -1) + 1
    if context.n == 0:
        k.buy(A, 100, stop_loss=k.points(1))
        k.buy(B, 100, take_profit=k.points(1))
        k.buy(C, 100, trailing_stop=k.trailing(1))
        k.buy(D, 100, stop_loss=k.points(5))
        k.buy(E, 100)
    if context.n == 3:
        k.sell(D, k.position(D))


@pytest.fixture(scope="module")
def every_exit():
    return run({"on_data": _every_exit}, _bars(), progress=False)


def test_each_round_trip_says_why_it_ended(every_exit):
    rt = every_exit.round_trips.set_index("code")
    assert rt.loc[[A, B, C, D, E], "exit_reason"].tolist() == [
        "stop loss",
        "take profit",
        "trailing stop",
        "signal",
        "open at the end",
    ]
    assert rt["exit_price"].to_dict() == {A: 9.0, B: 11.0, C: 11.0, D: 10.4, E: 10.6}
    assert rt["exit_time"].to_dict() == {
        A: TIMES[2],
        B: TIMES[2],
        C: TIMES[3],
        D: TIMES[4],
        E: TIMES[5],
    }
    assert (rt["entry_price"] == 10.0).all() and (rt["entry_time"] == TIMES[1]).all()
    assert rt["pnl"].to_dict() == pytest.approx({A: -100, B: 100, C: 100, D: 40, E: 60})
    assert np.isnan(rt.loc[E, "exit_trade_id"]) and rt.loc[E, "duration"] == pd.Timedelta(days=6)
    # The trade figures count the closed round trips; the open one is in the equity,
    # counted apart, in the same words in the statistics, the tables and the charts.
    stats = every_exit.stats
    assert stats["Round trips"] == 4 and stats["Win rate"] == 0.75
    assert stats["Open at the end"] == 1
    assert stats["Final equity"] == pytest.approx(1_000_000 + 200)
    from korvit.report.chart_data import price_data

    html = every_exit.to_html()
    assert "<p class='note'>4 round trips + 1 open at the end.</p>" in html  # by reason
    assert "<tr><td class='l'>open at the end</td><td>1</td>" in html
    assert f"<option value='{E}'>{E} (0 round trips + 1 open at the end)</option>" in html
    assert f"<option value='{A}'>{A} (1 round trip)</option>" in html
    titles = {code: one["title"] for code, one in price_data(every_exit)["store"].items()}
    assert titles[E].startswith(f"{E} · 0 round trips + 1 open at the end, P&L +60.00")
    assert (
        "Open at the end" in every_exit.summary() and "<th>Open at the end</th><td>1</td>" in html
    )


@pytest.mark.parametrize(
    "stop_fill, prices", [("first_traded", {A: 8.5, B: 11.6}), ("stop_price", {A: 9.0, B: 11.0})]
)
def test_a_stop_passed_over_by_a_gap_still_ends_its_round_trip_by_its_kind(
    stop_fill, prices, tmp_path
):
    """A opens below its stop-loss (9.00) at 8.50, B above its take-profit (11.00) at 11.60:
    the fill rule moves the exit price (the open, or the stop's price), never the reason,
    in round_trips.csv and in the report's table alike."""
    paths = {
        A: PATHS[A][:2] + [(8.5, 8.7, 8.2, 8.6)] + PATHS[A][3:],
        B: PATHS[B][:2] + [(11.6, 11.8, 11.4, 11.5)] + PATHS[B][3:],
    }

    def enter(context):
        import korvit.strategy as k

        if not getattr(context, "done", False):
            context.done = True
            k.buy(A, 100, stop_loss=k.points(1))
            k.buy(B, 100, take_profit=k.points(1))

    result = run({"on_data": enter}, _bars(paths), stop_fill=stop_fill, progress=False)
    result.save(tmp_path)
    rt = pd.read_csv(tmp_path / "round_trips.csv").set_index("code")
    assert rt["exit_reason"].to_dict() == {A: "stop loss", B: "take profit"}
    assert rt["exit_price"].to_dict() == pytest.approx(prices)
    assert rt["exit_time"].to_dict() == {A: str(TIMES[2].date()), B: str(TIMES[2].date())}
    html = (tmp_path / "report.html").read_text()
    table = html[html.index("Each round trip") :]
    assert table.count(">stop loss<") == 1 and table.count(">take profit<") == 1


def test_the_price_chart_draws_each_stop_over_its_life(every_exit):
    from korvit.report import chart_data as charts

    axis = charts._Axis(every_exit.bars.times, "day")
    values = {
        code: every_exit.bars.values[every_exit.bars.index_of(code)]
        for code in every_exit.bars.codes
    }
    segments = charts._stop_segments(every_exit, axis, values.get)
    day = lambda k: axis.x([TIMES[k]])[0]
    # a stop from its order's fill to its firing; D's, never fired, to the sale that ended its position
    assert (segments[A]["x0"][0], segments[A]["x1"][0], segments[A]["y"][0]) == (
        day(1),
        day(2),
        9.0,
    )
    assert (segments[B]["x0"][0], segments[B]["x1"][0], segments[B]["y"][0]) == (
        day(1),
        day(2),
        11.0,
    )
    assert (segments[D]["x0"][0], segments[D]["x1"][0], segments[D]["y"][0]) == (
        day(1),
        day(4),
        5.0,
    )
    # the trailing stop at its last level from the bar of the highest high (bar 2) to its firing
    assert (segments[C]["x0"][0], segments[C]["x1"][0], segments[C]["y"][0]) == (
        day(2),
        day(3),
        11.0,
    )
    assert E not in segments
    fills = charts._fill_table(every_exit, axis, ["main"])
    closing = {code: charts.REASON_NAMES[fills[code]["r"][-1]] for code in (A, B, C, D)}
    assert closing == {A: "stop loss", B: "take profit", C: "trailing stop", D: "signal"}
    assert [list(fills[code]["k"]) for code in (A, E)] == [[0, 3], [0]]


def test_round_trips_without_prices_leave_open_positions_out():
    trades = pd.DataFrame(
        {
            "trade_id": [1, 2, 3],
            "order_id": [1, 2, 3],
            "account": "a",
            "code": "X.1",
            "time": pd.to_datetime(["2024-01-01", "2024-01-02", "2024-01-03"]),
            "side": ["buy", "sell", "buy"],
            "effect": ["open", "close", "open"],
            "volume": [10.0, 4.0, 1.0],
            "price": [10.0, 12.0, 11.0],
            "multiplier": 1.0,
            "fee": [1.0, 0.5, 0.2],
        }
    )
    assert match_round_trips(trades)["volume"].tolist() == [4.0]
    marked = match_round_trips(trades, marks={"X.1": (pd.Timestamp("2024-01-05"), 13.0)})
    assert marked["exit_reason"].tolist() == ["signal", "open at the end", "open at the end"]
    # 6 left of the first buy at 13: 18 gross, 0.6 of its fee; the second buy: 2 gross, its whole fee
    assert marked["pnl"].tolist() == pytest.approx([8 - 0.4 - 0.5, 18 - 0.6, 2 - 0.2])
    assert marked["exit_trade_id"].isna().tolist() == [False, True, True]


# ------------------------------------------------------------------ the benchmark


def test_buy_and_hold_worked_by_hand():
    # A from its first close 10; B has no bar at first, its half waits in cash until
    # its first close 20; a missing bar keeps the last close.
    nan = np.nan
    closes = np.array([[10, 11, 12.1, nan, 13.2], [nan, 20, 18, 19.8, 22]])
    curve = buy_and_hold(closes, pd.bdate_range("2024-01-01", periods=5), 1000.0)
    # A: 1, 1.1, 1.21, 1.21, 1.32; B: 1, 1, 0.9, 0.99, 1.1
    assert curve.tolist() == pytest.approx([1000, 1050, 1055, 1100, 1210])
    assert buy_and_hold(
        np.array([[nan, nan]]), pd.bdate_range("2024-01-01", periods=2), 5.0
    ).tolist() == [5, 5]


def _hand_result(benchmark):
    """A strategy whose daily returns are 2x those of code P plus 0.1 %; the
    benchmark figures worked out with plain numpy."""
    rng = np.random.default_rng(11)
    n = 300
    times = pd.bdate_range("2023-01-02", periods=n)
    p = 50 * np.cumprod(1 + rng.normal(0.0005, 0.01, n))
    q = 20 * np.cumprod(1 + rng.normal(-0.0002, 0.02, n))
    bars = Bars(
        ["SSE.P", "SSE.Q"],
        times,
        np.stack([np.stack([c, c, c, c, np.full(n, 1e4)], axis=1) for c in (p, q)]),
        "day",
    )
    bench_returns = np.r_[0.0, p[1:] / p[:-1] - 1]
    equity = 1e6 * np.cumprod(1 + 2 * bench_returns + 0.001)
    frame = pd.DataFrame(
        {
            "time": times,
            "account": "main",
            "cash": equity,
            "market_value": 0.0,
            "margin": 0.0,
            "equity": equity,
        }
    )
    trades = pd.DataFrame(
        {
            "trade_id": [1],
            "order_id": [1],
            "time": [times[0]],
            "account": "main",
            "code": ["SSE.P"],
            "side": ["buy"],
            "effect": ["open"],
            "volume": [100.0],
            "price": [p[0]],
            "multiplier": [1.0],
            "fee": [0.0],
        }
    )
    return (
        BacktestResult(
            frame,
            None,
            trades,
            None,
            frequency="day",
            initial_cash=1e6,
            bars=bars,
            benchmark=benchmark,
        ),
        p,
        q,
        times,
    )


@pytest.mark.parametrize("spec", ["traded", "sse.p", ["SSE.P"], "equal-weight"])
def test_the_benchmark_and_the_figures_against_it_worked_by_hand(spec):
    result, p, q, times = _hand_result(spec)
    both = spec == "equal-weight"
    bench = 1e6 * ((p / p[0] + q / q[0]) / 2 if both else p / p[0])
    np.testing.assert_allclose(result.benchmark_curve.to_numpy(), bench, rtol=1e-12)
    s = result.stats
    days = (times[-1] - times[0]).days
    assert s["Benchmark return"] == pytest.approx(bench[-1] / 1e6 - 1, rel=1e-12)
    assert s["Benchmark annualised return"] == pytest.approx(
        (bench[-1] / 1e6) ** (365.25 / days) - 1, rel=1e-12
    )
    assert s["Benchmark max drawdown"] == pytest.approx(
        (bench / np.maximum.accumulate(bench) - 1).min(), rel=1e-12
    )
    # daily returns, the first of each against the initial cash
    ours = (
        np.diff(np.r_[1e6, result.equity_curve.to_numpy()])
        / np.r_[1e6, result.equity_curve.to_numpy()[:-1]]
    )
    theirs = np.diff(np.r_[1e6, bench]) / np.r_[1e6, bench[:-1]]
    beta = np.cov(ours, theirs)[0, 1] / np.var(theirs, ddof=1)
    alpha = (1 + np.mean(ours - beta * theirs)) ** 252 - 1
    active = ours - theirs
    assert s["Beta"] == pytest.approx(beta, rel=1e-9)
    assert s["Alpha"] == pytest.approx(alpha, rel=1e-9)
    assert s["Information ratio"] == pytest.approx(
        active.mean() / active.std(ddof=1) * math.sqrt(252), rel=1e-9
    )
    if not both:  # exactly twice the benchmark's returns plus 0.1 % a day
        assert s["Beta"] == pytest.approx(2, rel=1e-9) and s["Alpha"] == pytest.approx(
            1.001**252 - 1, rel=1e-6
        )
    assert "Benchmark  buy and hold of" in result.summary()


def test_the_traded_codes_none_and_a_price_series():
    result, p, q, times = _hand_result("traded")
    assert result.benchmark_codes == ["SSE.P"]
    nothing = BacktestResult(
        result.equity, None, None, None, frequency="day", initial_cash=1e6, bars=result.bars
    )
    assert (
        nothing.benchmark_codes == ["SSE.P", "SSE.Q"]
        and "nothing was traded" in nothing.benchmark_name
    )
    none = BacktestResult(
        result.equity,
        None,
        None,
        None,
        frequency="day",
        initial_cash=1e6,
        bars=result.bars,
        benchmark="none",
    )
    assert none.benchmark_curve.empty and none.benchmark_name == "none"
    assert all(
        math.isnan(none.stats[name])
        for name in ("Benchmark return", "Alpha", "Beta", "Information ratio")
    )
    assert "Benchmark" not in none.summary()
    # a Series of prices (an index, at other times too): its last price at each bar
    index = pd.Series(
        np.r_[100.0, 100.0 * p / p[0]],
        index=times.insert(0, times[0] - pd.Timedelta(hours=3)),
        name="CSI 300",
    )
    given = BacktestResult(
        result.equity, None, None, None, frequency="day", initial_cash=1e6, benchmark=index
    )
    np.testing.assert_allclose(given.benchmark_curve.to_numpy(), 1e6 * p / p[0], rtol=1e-12)
    assert "CSI 300" in given.benchmark_name


@pytest.mark.parametrize(
    "spec, error, words",
    [
        (
            "SZSE.999999",
            ValueError,
            "benchmark: unknown code 'SZSE.999999'; the data holds SZSE.000001",
        ),
        ([], ValueError, "empty list"),
        (3, TypeError, "benchmark must be"),
        (pd.Series([1.0, 2.0]), TypeError, "DatetimeIndex"),
    ],
)
def test_a_bad_benchmark_is_refused_before_the_run(spec, error, words):
    with pytest.raises(error, match=words.replace("(", r"\(").replace(".", r"\.")):
        run(
            {"on_data": lambda context: None},
            sample_path("daily.csv"),
            benchmark=spec,
            progress=False,
        )
    assert check_benchmark("None", ["A.1"]) == "none" and check_benchmark(None, ["A.1"]) == "traded"


# ------------------------------------------------------------------ returns by period, rolling figures


def test_returns_by_month_and_year_worked_by_hand():
    times = pd.to_datetime(["2023-12-28", "2023-12-29", "2024-01-15", "2024-01-31", "2024-03-01"])
    curve = pd.Series([100.0, 110.0, 99.0, 121.0, 60.5], index=times)
    months = period_returns(curve, 100.0, "M")
    assert [str(m) for m in months.index] == [
        "2023-12",
        "2024-01",
        "2024-03",
    ]  # no February: no bar
    assert months.tolist() == pytest.approx([0.1, 0.1, -0.5])
    assert period_returns(curve, 100.0, "Y").tolist() == pytest.approx([0.1, -0.45])
    assert period_returns(curve, 0.0, "Y").isna().tolist() == [True, False]
    # the heat map's labels: a month that rounds to nothing carries no sign
    from korvit.report.charts import monthly_chart

    tiny = pd.Series(
        [1e6, 1e6 + 5, 1e6 - 3, 1e6 + 200, 1e6 + 100],
        index=pd.to_datetime(
            ["2024-01-02", "2024-01-31", "2024-02-29", "2024-03-29", "2024-04-30"]
        ),
    )
    equity = pd.DataFrame(
        {
            "time": tiny.index,
            "account": "main",
            "cash": tiny.values,
            "market_value": 0.0,
            "margin": 0.0,
            "equity": tiny.values,
        }
    )
    heat = monthly_chart(
        BacktestResult(equity, None, None, None, frequency="day", initial_cash=1e6)
    )
    labels = heat.renderers[0].data_source.data["label"]
    assert labels == ["0.00%", "0.00%", "+0.02%", "-0.01%"]


def test_rolling_figures_are_the_whole_run_figures_over_each_window():
    from korvit.backtest.stats import compute_stats

    rng = np.random.default_rng(4)
    times = pd.bdate_range("2024-01-01", periods=60)
    curve = pd.Series(1e6 * np.cumprod(1 + rng.normal(0, 0.01, 60)), index=times)
    rolling = rolling_figures(curve, 1e6, "day", 20)
    assert rolling["sharpe"].iloc[:19].isna().all()
    window = curve.iloc[40:]  # the last 20 returns: the first against the close before
    alone = compute_stats(
        window,
        pd.DataFrame({"fee": []}),
        pd.DataFrame({"pnl": []}),
        frequency="day",
        initial_cash=float(curve.iloc[39]),
        exposure=pd.Series(dtype=bool),
    )
    assert rolling["sharpe"].iloc[-1] == pytest.approx(alone["Sharpe ratio"], rel=1e-9)
    assert rolling["volatility"].iloc[-1] == pytest.approx(alone["Annualised volatility"], rel=1e-9)


# ------------------------------------------------------------------ stats.json


def _leaks(value, path=""):
    """Strings in ``value`` that are the text of an array, a time or a duration."""
    if isinstance(value, dict):
        return [leak for k, v in value.items() for leak in _leaks(v, f"{path}/{k}")]
    if isinstance(value, list):
        return [leak for k, v in enumerate(value) for leak in _leaks(v, f"{path}[{k}]")]
    if isinstance(value, str) and (
        value.startswith("[")
        or "Timestamp(" in value
        or " days " in value
        or "array(" in value
        or value in ("nan", "inf", "-inf", "NaT")
    ):
        return [f"{path}: {value[:40]!r}"]
    return []


def test_stats_json_holds_numbers_with_units(tmp_path):
    result, *_ = _hand_result("traded")
    result.meta.update(
        {
            "exposure": np.array([True, False]),
            "when": pd.Timestamp("2024-05-06 09:30"),
            "held": pd.Timedelta(hours=36),
            "flag": np.bool_(True),
            "where": Path("/x/y"),
            "nested": {"values": np.arange(3, dtype=np.int64), "gone": float("nan")},
        }
    )
    result.save(tmp_path)
    doc = json.loads((tmp_path / "stats.json").read_text(), parse_constant=lambda c: pytest.fail(c))
    assert _leaks(doc) == []
    assert doc["units"] == STAT_UNITS and set(doc["stats"]) == set(STAT_NAMES)
    for name, value in doc["stats"].items():
        if STAT_UNITS[name] == "time":
            assert pd.Timestamp(value) == result.stats[name]
        else:
            assert value is None or (
                isinstance(value, (int, float)) and not isinstance(value, bool)
            ), name
    assert (
        doc["stats"]["Duration"]
        == (result.equity_curve.index[-1] - result.equity_curve.index[0]).days
    )
    assert doc["meta"]["exposure"] == [True, False] and doc["meta"]["when"] == "2024-05-06T09:30:00"
    assert (
        doc["meta"]["held"] == 1.5
        and doc["meta"]["flag"] is True
        and doc["meta"]["where"] == "/x/y"
    )
    assert doc["meta"]["nested"] == {"values": [0, 1, 2], "gone": None}
    assert doc["benchmark"].startswith("buy and hold of the traded codes: SSE.P")


def test_a_run_saves_its_settings_and_no_array(tmp_path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = run(
            EXAMPLES / "ma_cross.py",
            sample_path("daily.csv"),
            contracts=sample_path("contracts.csv"),
            slippage=0.001,
            stop_fill="stop_price",
            limit_fill="limit_price",
            progress=False,
        )
    result.save(tmp_path)
    doc = json.loads((tmp_path / "stats.json").read_text())
    assert _leaks(doc) == [] and "exposure" not in doc["meta"]
    meta = doc["meta"]
    assert meta["settings"] == {
        "price_at_previous_close": False,
        "slippage": 0.001,
        "stop_fill": "stop_price",
        "limit_fill": "limit_price",
        "cancel_unfilled_limits": False,
        "cancel_stale_orders": False,
        "fees": "contracts",
        "adjust": False,
        "bar_time": "end",
    }
    assert (
        meta["contracts"]["SZSE.000001"]["lot_size"] == 100
        and meta["contracts"]["SHFE.RB2405"]["kind"] == "futures"
    )
    assert meta["data"]["bars"] == 500 and meta["data"]["start"] == "2022-01-03T00:00:00"
    assert meta["strategy_file"].endswith("ma_cross.py") and meta["version"]
    html = (tmp_path / "report.html").read_text()
    for words in (
        "0.1 % of the price, on market orders",
        "the stop&#x27;s price, even where the bar opened",
        "the limit, even where the bar opened better",
        "lots of 100",
        "ma_cross.py",
        "500 daily bars",
        "Prices</th><td>as given",
    ):
        assert words in html
    assert "time marks" not in html  # daily bars: no end of a period to name


# ------------------------------------------------------------------ charts for notebooks


def test_plot_returns_the_charts_and_a_plain_run_never_imports_bokeh(every_exit):
    from bokeh.models import LayoutDOM, Select

    layout = every_exit.plot(show=False)
    assert isinstance(layout, LayoutDOM)
    selects = list(layout.select({"type": Select}))
    assert len(selects) == 1 and selects[0].options == [A, B, C, D, E]
    code = (
        "import sys, warnings; warnings.simplefilter('ignore')\n"
        "from korvit.backtest import run\n"
        "from korvit.data import sample_path\n"
        f"result = run({str(EXAMPLES / 'ma_cross.py')!r}, sample_path('daily.csv'), progress=False)\n"
        "result.stats; result.summary()\n"
        "assert not any(name.split('.')[0] == 'bokeh' for name in sys.modules), 'bokeh imported'\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
