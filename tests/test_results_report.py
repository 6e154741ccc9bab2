"""The HTML report: self-contained, escaped, and visibly drawn."""

import base64
import re
import shutil
import subprocess

import numpy as np
import pandas as pd
import pytest

from korvit.backtest.report import LAST_TRADES, _markers, render_report
from korvit.backtest.results import BacktestResult

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def _result(n_bars=30, n_round_trips=3, accounts=("A",), strategy="trend", code="X"):
    times = pd.bdate_range("2024-01-01", periods=n_bars)
    eq = []
    for k, acc in enumerate(accounts):
        values = 1000 + 10 * np.sin(np.arange(n_bars) / 3 + k)
        eq += [(t, acc, v, 0.0, 0.0, v) for t, v in zip(times, values)]
    equity = pd.DataFrame(eq, columns=["time", "account", "cash", "market_value", "margin",
                                       "equity"]).sort_values(["time", "account"])
    rows = []
    for i in range(n_round_trips):
        t_in, t_out = times[(2 * i) % n_bars], times[(2 * i + 1) % n_bars]
        rows.append((2 * i + 1, t_in, accounts[0], code, "buy", "open", 1, 10.0, 1, 0.1))
        rows.append((2 * i + 2, t_out, accounts[0], code, "sell", "close", 1, 10.0 + i % 3 - 1,
                     1, 0.1))
    trades = pd.DataFrame(rows, columns=["trade_id", "time", "account", "code", "side",
                                         "effect", "volume", "price", "multiplier", "fee"])
    trades["order_id"] = trades["trade_id"]
    orders = pd.DataFrame({"order_id": [99], "status": ["denied"],
                           "reason": ["<not enough cash>"], "code": [code]})
    return BacktestResult(equity, orders, trades, None, frequency="day",
                          initial_cash=1000.0 * len(accounts), strategy=strategy,
                          params={"window<>": "5&10"})


def _png(html):
    found = re.findall(r'src="data:image/png;base64,([^"]+)"', html)
    assert len(found) == 1
    return base64.b64decode(found[0])


def test_report_is_self_contained_and_escapes_user_text():
    evil = "<script>alert('x')</script>"
    html = render_report(_result(strategy=evil, code="A&B<i>"))
    assert html.startswith("<!DOCTYPE html>")
    assert "<script" not in html
    assert "&lt;script&gt;" in html and "A&amp;B&lt;i&gt;" in html
    assert "&lt;not enough cash&gt;" in html and "window&lt;&gt;" in html
    # Nothing is fetched from elsewhere: the only image is inline.
    assert not re.search(r'(src|href)="(?!data:)', html)
    assert _png(html).startswith(PNG_MAGIC)
    assert "2024-01-01 – 2024-02-09" in html  # the period is in the title


def test_report_tables_are_bounded():
    res = _result(n_bars=200, n_round_trips=40)
    html = render_report(res)
    fills = html.split("<h2>Last fills</h2>", 1)[1]
    assert fills.count("<tr><td class='l'>") == LAST_TRADES
    assert f"The last {LAST_TRADES} of 80 fills" in fills
    trips = html.split("<h2>Round trips</h2>", 1)[1].split("<h2>", 1)[0]
    assert trips.count("<tr><td class='l'>") == 40


@pytest.mark.parametrize("kind", ["no bars", "one bar", "several accounts"])
def test_report_renders_edge_cases(kind):
    if kind == "no bars":
        res = BacktestResult(None, None, None, None, frequency="minute", initial_cash=1e6)
    elif kind == "one bar":
        res = _result(n_bars=1, n_round_trips=0)
    else:
        res = _result(accounts=("A", "B", "C"))
    html = res.to_html()
    assert _png(html).startswith(PNG_MAGIC)
    assert "<h2>Round trips</h2>" in html


def test_markers_sit_on_the_equity_curve_at_or_before_the_fill():
    res = _result(n_bars=5, n_round_trips=0)
    curve = res.equity_curve
    res.trades = pd.DataFrame({
        "time": [curve.index[1], curve.index[2] + pd.Timedelta(hours=3),
                 curve.index[0] - pd.Timedelta(days=1)],
        "side": ["buy", "sell", "sell"]})
    (bpos, by), (spos, sy) = _markers(res)
    assert list(bpos) == [1] and list(by) == [curve.iloc[1]]
    # A fill between bars sits on the last bar before it; one before the
    # first bar has no point on the curve and is left out.
    assert list(spos) == [2] and list(sy) == [curve.iloc[2]]


@pytest.mark.skipif(shutil.which("chromium") is None,
                    reason="chromium is not installed (apt-get install chromium)")
def test_report_screenshot_is_not_blank(tmp_path):
    matplotlib_image = pytest.importorskip("matplotlib.image")
    path = _result(n_bars=120, n_round_trips=10, accounts=("A", "B")).save(tmp_path / "run")
    shot = tmp_path / "shot.png"
    subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                    "--hide-scrollbars", f"--screenshot={shot}", "--window-size=1280,1400",
                    path.as_uri()], check=True, capture_output=True, timeout=120)
    img = matplotlib_image.imread(shot)[..., :3]
    assert img.shape[:2] == (1400, 1280)
    ink = (img.mean(axis=2) < 0.9).mean()
    # Text, tables and the chart cover a real part of the page, but it is no
    # solid block either.
    assert 0.02 < ink < 0.6
    # The chart's blue equity line and red drawdown are drawn.
    blue = (img[..., 2] > 0.5) & (img[..., 0] < 0.35)
    red = (img[..., 0] > 0.6) & (img[..., 1] < 0.45) & (img[..., 2] < 0.45)
    assert blue.sum() > 300 and red.sum() > 300


INF, NAN = float("inf"), float("nan")


def _extreme_result(curves, initial_cash, frequency, trade_prices=(10.0, 11.0), fees=(0.1, 0.1)):
    """Accounts with the given equity curves (one per account), and a round trip."""
    n = len(curves[0])
    times = pd.bdate_range("2024-01-01", periods=n) if frequency == "day" else \
        pd.date_range("2024-01-02 09:31", periods=n, freq="min")
    rows = [(t, f"acc{k}", v, 0.0, 0.0, v) for k, curve in enumerate(curves) for t, v in zip(times, curve)]
    equity = pd.DataFrame(rows, columns=["time", "account", "cash", "market_value", "margin", "equity"])
    trades = pd.DataFrame({"trade_id": [1, 2], "order_id": [1, 2], "time": times[[0, -1]], "account": "acc0",
                           "code": "X.Y", "side": ["buy", "sell"], "effect": ["open", "close"],
                           "volume": [100.0, 100.0], "price": list(trade_prices), "multiplier": 1.0,
                           "fee": list(fees)})
    return BacktestResult(equity, None, trades, None, frequency=frequency, initial_cash=initial_cash)


@pytest.mark.parametrize("curves, initial_cash, frequency, trade", [
    ([[1e308] * 6], 1e308, "day", {}),                                       # the largest money, flat
    ([[1e308] * 6], 1e308, "minute", {}),
    ([[1e300, 1e305, 1e308, 1.7e308, 1e308, 1e306]], 1e300, "day", {}),     # growth past any ratio
    ([[1e6, -1.7e308, 1e6, 1e6, 1e6, 1e6]], 1e6, "day", {}),                # a huge loss
    ([[1e6, INF, 1e6, NAN, -INF, 1.1e6]], 1e6, "day", {}),                  # infinities and NaN
    ([[1e6, INF, 1e6, NAN, -INF, 1.1e6]], 1e6, "minute", {}),
    ([[NAN] * 6], 1e6, "day", {}),                                           # no equity at all
    ([[1e6] * 6, [1e308] * 6], 2e6, "day", {}),                              # two accounts, one huge
    ([[1e6] * 6], INF, "day", {}),                                           # infinite initial cash
    ([[1e6] * 6], NAN, "day", {}),
    ([[1e6] * 6], 1e6, "day", dict(trade_prices=(1e300, INF), fees=(NAN, INF))),   # fills beyond reason
    ([[1e6] * 6], 1e6, "day", dict(trade_prices=(1e-300, 1e300), fees=(0.0, 1e308))),
])
def test_the_report_never_fails_because_of_a_value(curves, initial_cash, frequency, trade):
    """Statistics, summary and report of results holding extreme or non-finite
    values: no exception, no warning, every statistic shown, stats.json valid."""
    import json
    import warnings

    from korvit.backtest.stats import ORDER_STATS, STAT_NAMES, stats_to_json
    result = _extreme_result(curves, initial_cash, frequency, **trade)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        summary = result.summary()
        html = result.to_html()
        text = json.dumps(stats_to_json(result.stats), allow_nan=False)
    # the order counts are in the summary's Orders line, in their own words
    assert all(name in summary for name in STAT_NAMES if name not in ORDER_STATS)
    assert "Orders  placed 0, filled 0, cancelled 0, denied 0" in summary
    assert all(name in html for name in STAT_NAMES)
    assert _png(html).startswith(PNG_MAGIC)
    assert set(json.loads(text)) == set(STAT_NAMES)
    # money beyond any real amount is shown short
    assert max(len(line) for line in summary.splitlines()) < 100


def test_a_chart_that_cannot_be_drawn_says_so_only_for_values_beyond_money(monkeypatch):
    import korvit.backtest.report as report

    def broken(*args):
        raise ValueError("arange: cannot compute length")

    monkeypatch.setattr(report, "_draw_chart", broken)
    huge = _extreme_result([[1e308] * 6], 1e308, "day")
    assert report.render_chart(huge).startswith(PNG_MAGIC)
    with pytest.raises(ValueError, match="arange"):          # with ordinary values a fault stays visible
        report.render_chart(_result())
