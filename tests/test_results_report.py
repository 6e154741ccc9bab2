"""The HTML report: self-contained, escaped, bounded, and drawn in a browser."""

import json
import re
import sys
import time
import warnings
from importlib.util import module_from_spec, spec_from_file_location
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from korvit.backtest.results import BacktestResult
from korvit.data import Bars
from korvit.report import chart_data as charts
from korvit.report.report import LAST_TRADES, MAX_ROUND_TRIPS, decode_arrays, render_report

HERE = Path(__file__).resolve().parent
_spec = spec_from_file_location("chromium_page", HERE / "chromium_page.py")
browser = sys.modules.setdefault("chromium_page", module_from_spec(_spec))
_spec.loader.exec_module(browser)
needs_chromium = pytest.mark.skipif(
    browser.chromium() is None, reason="chromium is not installed (apt-get install chromium)"
)


def _result(
    n_bars=30, n_round_trips=3, accounts=("A",), strategy="trend", code="X", with_bars=True
):
    times = pd.bdate_range("2024-01-01", periods=n_bars)
    eq = []
    for k, acc in enumerate(accounts):
        values = 1000 + 10 * np.sin(np.arange(n_bars) / 3 + k)
        eq += [(t, acc, v, 0.0, 0.0, v) for t, v in zip(times, values)]
    equity = pd.DataFrame(
        eq, columns=["time", "account", "cash", "market_value", "margin", "equity"]
    ).sort_values(["time", "account"])
    rows = []
    for i in range(n_round_trips):
        t_in, t_out = times[(2 * i) % n_bars], times[(2 * i + 1) % n_bars]
        rows.append((2 * i + 1, t_in, accounts[0], code, "buy", "open", 1, 10.0, 1, 0.1))
        rows.append(
            (2 * i + 2, t_out, accounts[0], code, "sell", "close", 1, 10.0 + i % 3 - 1, 1, 0.1)
        )
    trades = pd.DataFrame(
        rows,
        columns=[
            "trade_id",
            "time",
            "account",
            "code",
            "side",
            "effect",
            "volume",
            "price",
            "multiplier",
            "fee",
        ],
    )
    trades["order_id"] = trades["trade_id"]
    orders = pd.DataFrame(
        {"order_id": [99], "status": ["denied"], "reason": ["<not enough cash>"], "code": [code]}
    )
    bars = None
    if with_bars:
        close = 10 + np.cumsum(np.random.default_rng(3).normal(0, 0.2, n_bars))
        values = np.stack([close, close + 0.3, close - 0.3, close, np.full(n_bars, 1e4)], axis=1)[
            None
        ]
        bars = Bars([code], times, values, "day")
    return BacktestResult(
        equity,
        orders,
        trades,
        None,
        frequency="day",
        initial_cash=1000.0 * len(accounts),
        strategy=strategy,
        params={"window<>": "5&10"},
        bars=bars,
    )


def _chart_json(html):
    """The text of the page's JSON block of the charts' data."""
    return re.search(
        r'<script type="application/json" id="korvit-charts">(.*?)</script>', html, re.S
    ).group(1)


def _charts(html):
    """The charts' data the page carries, by the id of their place, its arrays as numpy arrays."""
    return decode_arrays(json.loads(_chart_json(html)))


def test_report_is_self_contained_and_escapes_user_text():
    evil = "</script><script>alert('x')</script>"
    html = render_report(_result(strategy=evil, code="A&B</script><i>"))
    assert html.startswith("<!DOCTYPE html>")
    assert "alert('x')" not in html.replace("&lt;/script&gt;&lt;script&gt;alert(&#x27;x&#x27;)", "")
    assert (
        html.count("<script") == 3 and html.count("</script>") == 3
    )  # BokehJS, the charts' data, the page's own
    assert "&lt;/script&gt;&lt;script&gt;" in html and "A&amp;B&lt;/script&gt;&lt;i&gt;" in html
    assert "&lt;not enough cash&gt;" in html and "window&lt;&gt;" in html
    # The charts' data names the code too, inside JSON that no "</" can end early.
    items = _charts(html)
    assert set(items) == {"chart-equity", "chart-prices", "chart-months", "chart-histogram"}
    assert items["chart-prices"]["codes"] == ["A&B</script><i>"] and "</" not in _chart_json(html)
    # Nothing is fetched from elsewhere.
    assert not re.search(r"<(script|img|link|iframe)\b[^>]*\b(src|href)=", html)
    assert "2024-01-01 – 2024-02-09" in html  # the period is in the title


def test_report_tables_are_bounded():
    res = _result(n_bars=200, n_round_trips=40)
    html = render_report(res)
    fills = html.split("<h2>Last fills</h2>", 1)[1]
    assert fills.count("<tr><td class='l'>") == LAST_TRADES
    assert f"The last {LAST_TRADES} of 80 fills" in fills
    trips = html.split("<h3>Each round trip</h3>", 1)[1].split("<h2>", 1)[0]
    assert trips.count("<tr><td data-v=") == 40
    many = _result(n_bars=MAX_ROUND_TRIPS + 20, n_round_trips=MAX_ROUND_TRIPS + 10)
    trips = render_report(many).split("<h3>Each round trip</h3>", 1)[1].split("<h2>", 1)[0]
    assert trips.count("<tr><td data-v=") == MAX_ROUND_TRIPS
    assert f"The last {MAX_ROUND_TRIPS:,d} of {MAX_ROUND_TRIPS + 10:,d} round trips" in trips


@pytest.mark.parametrize("kind", ["no bars", "one bar", "several accounts", "no prices"])
def test_report_renders_edge_cases(kind):
    if kind == "no bars":
        res = BacktestResult(None, None, None, None, frequency="minute", initial_cash=1e6)
    elif kind == "one bar":
        res = _result(n_bars=1, n_round_trips=0)
    elif kind == "several accounts":
        res = _result(accounts=("A", "B", "C"))
    else:
        res = _result(with_bars=False)
    html = res.to_html()
    items = _charts(html)
    assert "<h2>Round trips</h2>" in html and '<h2 id="orders">Orders</h2>' in html
    assert ("chart-equity" in items) == (kind != "no bars")
    assert ("chart-prices" in items) == (kind not in ("no bars", "no prices"))
    if kind == "several accounts":
        accounts = items["chart-equity"]["accounts"]
        assert accounts["names"] == ["A", "B", "C"]
        for name, values in zip(accounts["names"], accounts["columns"]):
            np.testing.assert_array_equal(values, res.account_curves[name].to_numpy())
    elif kind != "no bars":
        assert items["chart-equity"]["accounts"] is None
    if kind == "no prices":  # no bars: no benchmark either
        assert "No benchmark" in html and "benchmark: none" in html


def test_fill_marks_sit_on_the_equity_curve_at_or_before_the_fill():
    res = _result(n_bars=5, n_round_trips=0)
    curve = res.equity_curve
    res.trades = pd.DataFrame(
        {
            "time": [
                curve.index[1],
                curve.index[2] + pd.Timedelta(hours=3),
                curve.index[0] - pd.Timedelta(days=1),
            ],
            "side": ["buy", "sell", "sell"],
        }
    )
    (bpos, by), (spos, sy) = charts._fill_markers(res, curve)
    assert list(bpos) == [1] and list(by) == [curve.iloc[1]]
    # A fill between bars sits on the last bar before it; one before the
    # first bar has no point on the curve and is left out.
    assert list(spos) == [2] and list(sy) == [curve.iloc[2]]


def test_merged_bars_keep_the_first_open_the_extremes_and_the_last_close():
    # Two codes, 5 bars merged 2 at a time; the second code lacks bars 0 and 3.
    nan = np.nan
    values = np.array(
        [
            [
                [1, 5, 0.5, 2, 10],
                [2, 6, 1.5, 3, 20],
                [3, 4, 2.5, 3.5, 30],
                [3.5, 9, 3, 8, 40],
                [8, 8, 7, 7.5, 50],
            ],
            [
                [nan, nan, nan, nan, 0],
                [4, 4.5, 3.5, 4, 5],
                [nan, nan, nan, nan, 0],
                [nan, nan, nan, nan, 0],
                [5, 6, 4, 5.5, 7],
            ],
        ]
    )
    o, h, low, c, v = charts._merge(values, 2)
    assert o.tolist()[0] == [1, 3, 8] and c.tolist()[0] == [3, 8, 7.5]
    assert (
        h.tolist()[0] == [6, 9, 8]
        and low.tolist()[0] == [0.5, 2.5, 7]
        and v.tolist()[0] == [30, 70, 50]
    )
    assert (
        o[1, 0] == 4 and c[1, 0] == 4 and np.isnan(o[1, 1]) and np.isnan(h[1, 1]) and v[1, 1] == 0
    )
    assert (o[1, 2], h[1, 2], low[1, 2], c[1, 2], v[1, 2]) == (5, 6, 4, 5.5, 7)


@pytest.mark.parametrize(
    "times, years",
    [
        (["2024-01-02 09:31", "2024-06-28 15:00", "2024-12-31 15:00"], False),  # within a year
        (["2024-12-31 14:59", "2025-01-02 09:31"], True),  # across its end
        (["2008-01-04 09:01", "2015-06-30 10:00", "2023-12-29 15:00"], True),  # sixteen years
        (["2024-03-01"], False),
        ([], False),
    ],
)
def test_time_axes_name_the_year_when_the_run_crosses_a_years_end(times, years):
    assert charts.with_year(pd.DatetimeIndex(times)) is years


@settings(max_examples=200, deadline=None)
@given(
    st.lists(
        st.one_of(st.floats(-1e300, 1e300), st.just(float("nan")), st.just(float("inf"))),
        max_size=40,
    )
)
@example([0.0, 5e-324])  # a span whose step underflows to 0
def test_packed_indicator_values_come_back_within_half_a_step(values):
    """An indicator's values, packed for the page, come back within half a step of
    1/65,534 of their span (or, for a span below the smallest normal double, whose
    step underflows, within that span); unknown ones as NaN."""
    values = np.array(values)
    back = charts.unpacked(charts._packed(charts._finite(values)))
    known = np.isfinite(values)
    assert np.array_equal(np.isnan(back), ~known)
    if known.any():
        span = np.ptp(values[known])
        error = np.abs(back[known] - values[known])
        tiny = np.finfo(np.float64).tiny
        bound = span / 65534 * 0.5000001 + np.abs(values[known]) * 2**-50
        assert (error <= (bound if span / 65534 >= tiny else span)).all()


def test_thinned_equity_keeps_every_peak_and_trough():
    values = np.sin(np.linspace(0, 60, 100_000)) * np.linspace(1, 2, 100_000)
    keep = charts._thin(values, 2000)
    assert len(keep) <= 2002 and keep[0] == 0 and keep[-1] == len(values) - 1
    assert values[keep].max() == values.max() and values[keep].min() == values.min()
    assert (np.diff(keep) > 0).all()


def test_a_big_run_makes_a_small_report_quickly():
    """100 codes x 2,500 days, 20,000 fills: the report stays a few MB and is written in seconds."""
    rng = np.random.default_rng(5)
    n_codes, n_bars = 100, 2500
    times = pd.bdate_range("2015-01-01", periods=n_bars)
    close = 20 * np.exp(np.cumsum(rng.normal(0, 0.02, (n_codes, n_bars)), axis=1))
    values = np.stack([close, close * 1.01, close * 0.99, close, np.full_like(close, 1e5)], axis=2)
    codes = [f"SZSE.{k:06d}" for k in range(n_codes)]
    bars = Bars(codes, times, values, "day")
    equity = pd.DataFrame(
        {
            "time": times,
            "account": "main",
            "cash": 0.0,
            "market_value": 0.0,
            "margin": 0.0,
            "equity": 1e7 * np.exp(np.cumsum(rng.normal(0, 0.003, n_bars))),
        }
    )
    n = 10_000
    code = rng.integers(0, n_codes, n)
    entry = np.sort(rng.integers(0, n_bars - 20, n))
    exit_ = entry + rng.integers(1, 20, n)
    trades = pd.DataFrame(
        {
            "trade_id": np.arange(2 * n),
            "order_id": np.arange(2 * n),
            "time": np.r_[times[entry], times[exit_]],
            "account": "main",
            "code": np.array(codes)[np.r_[code, code]],
            "side": ["buy"] * n + ["sell"] * n,
            "effect": ["open"] * n + ["close"] * n,
            "volume": 100.0,
            "price": np.r_[close[code, entry], close[code, exit_]],
            "multiplier": 1.0,
            "fee": 5.0,
        }
    )
    result = BacktestResult(
        equity, None, trades, None, frequency="day", initial_cash=1e7, bars=bars
    )
    result.stats
    started = time.perf_counter()
    html = result.to_html()
    seconds = time.perf_counter() - started
    assert len(html) < 5_000_000, f"{len(html):,d} bytes"
    assert seconds < 30
    prices = _charts(html)["chart-prices"]
    assert prices["candles"] and prices["step"] == 5 and len(prices["x"]) == 500
    assert all(
        one["title"].endswith("each candle: 5 bars") for one in prices["store"].values()
    )  # weeks


# The moving-average cross of the examples, with an oscillator made beside its averages.
AVERAGES_AND_RSI = """
from korvit.indicators import crossed_above, crossed_below, rsi, sma
from korvit.strategy import cash, contract, order_target, order_target_value, percent, position

def init(context):
    context.lines = {code: (sma(code, 10), sma(code, 30), rsi(code, 14))
                     for code in context.codes if contract(code).kind == "stock"}

def on_data(context):
    for code, (fast, slow, _) in context.lines.items():
        if crossed_above(fast, slow) and position(code) == 0:
            order_target_value(code, 0.2 * cash(), stop_loss=percent(5))
        elif crossed_below(fast, slow) and position(code) > 0:
            order_target(code, 0)
"""


def _sample_run(tmp_path):
    from korvit.backtest import run
    from korvit.data import sample_path

    strategy = tmp_path / "averages_and_rsi.py"
    strategy.write_text(AVERAGES_AND_RSI)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = run(
            strategy,
            sample_path("daily.csv"),
            contracts=sample_path("contracts.csv"),
            progress=False,
        )
    return result, result.save(tmp_path / "run")


_CHECKS = [
    # the page's own parts: the instrument drop-down shows another instrument, and its
    # indicators: their lines drawn (visible, with values) under the names the page gives
    """(() => { const pick = document.getElementById("instrument");
               pick.value = pick.options[2].value; pick.dispatchEvent(new Event("change"));
               return new Promise(done => setTimeout(() => {
                 let title = null, lines = [];
                 Bokeh.documents.forEach(d => {
                   const m = d.get_model_by_name("korvit-instrument"); if (m) title = m.text;
                   d.all_models.forEach(r => { if (r.name === "indicator" && r.visible)
                     lines.push(Array.from(r.data_source.data[r.glyph.y.field]).filter(Number.isFinite)); });
                 });
                 done([pick.value, title, window.korvitIndicators, lines]); }, 300)); })()""",
    # the text box keeps the codes holding what is typed; Enter shows the first of them
    """(() => { const find = document.getElementById("instrument-find"), pick = document.getElementById("instrument");
               find.value = "szse"; find.dispatchEvent(new Event("input"));
               const kept = Array.from(pick.options).filter(o => o.value).map(o => o.value);
               find.dispatchEvent(new KeyboardEvent("keydown", {key: "Enter"}));
               return [kept, pick.value, document.getElementById("instrument-count").textContent.trim()]; })()""",
    # the log scale's button shows the equity on a log scale in place of the linear one
    """(() => { document.getElementById("equity-log").click();
               const fig = name => { let f = null;
                 Bokeh.documents.forEach(d => { const m = d.get_model_by_name(name); if (m) f = m; }); return f; };
               return [fig("korvit-equity").visible, fig("korvit-equity-log").visible,
                       fig("korvit-equity-log").y_range.start > 0]; })()""",
    # sorting the round trips by P&L, highest first (two clicks)
    """(() => { const table = document.querySelector("table.sortable");
               const head = Array.from(table.tHead.rows[0].cells).find(c => c.textContent === "P&L");
               head.click(); head.click();
               const col = head.cellIndex;
               return Array.from(table.tBodies[0].rows).map(r => parseFloat(r.cells[col].dataset.v)); })()""",
    # the charts BokehJS built: per place its figures (axis label, title, tooltips), whether the
    # equity chart's figures above the range selector and the selector share one x range, the
    # equity curve drawn;
    # then the equity chart zoomed to its last quarter, and its y range after that
    """(() => new Promise(done => {
         const roots = {};
         Bokeh.documents.forEach(doc => doc.roots().forEach(root => { roots[root.name] = root; }));
         const figures = root => (root.children ? root.children : [root]).filter(m => m instanceof Bokeh.Plot);
         const out = {charts: {}};
         for (const [name, root] of Object.entries(roots)) {
           out.charts[name] = figures(root).map(f => ({
             label: f.left.filter(m => m instanceof Bokeh.Axis).map(a => a.axis_label)[0],
             title: f.title ? f.title.text : "",
             tips: f.toolbar.tools.filter(t => t instanceof Bokeh.HoverTool).map(t => t.tooltips.map(p => p[0]))}));
         }
         const equity = figures(roots["chart-equity"]), main = equity[0];
         out.linked = equity.slice(0, -1).every(f => f.x_range === main.x_range) && equity[equity.length - 1].toolbar.tools
           .some(t => t instanceof Bokeh.RangeTool && t.x_range === main.x_range);
         const data = main.renderers[0].data_source.data;
         out.x = Array.from(data.x); out.equity = Array.from(data.equity); out.benchmark = Array.from(data.benchmark);
         const n = out.x.length;
         main.x_range.setv({start: out.x[Math.floor(n * 3 / 4)], end: out.x[n - 1]});
         setTimeout(() => { out.zoomed = [main.y_range.start, main.y_range.end]; done(out); }, 200);
       }))()""",
]


@needs_chromium
def test_the_report_of_a_sample_run_draws_in_a_browser(tmp_path):
    """The sample run's report in headless chromium, offline: no JavaScript error, every
    chart drawn (ink in its box), the drop-down and the sorting work.  The screenshot
    stays in tmp_path to look at."""
    pytest.importorskip("websocket")
    matplotlib_image = pytest.importorskip("matplotlib.image")
    result, path = _sample_run(tmp_path)
    page = browser.open_page(path, width=1280, scripts=_CHECKS)
    shot = tmp_path / "report.png"
    shot.write_bytes(page.screenshot)
    print(f"\nscreenshot: {shot} (page loaded in {page.load_ms:.0f} ms)")
    assert page.ready, "the page never said it was drawn"
    assert page.errors == []
    assert {box["id"] for box in page.charts} == {
        "chart-equity",
        "chart-prices",
        "chart-months",
        "chart-histogram",
        "chart-rolling",
    }
    img = matplotlib_image.imread(shot)[..., :3]
    assert img.shape[1] == 1280
    for box in page.charts:
        y0, x0 = int(box["y"]), int(box["x"])
        area = img[y0 : y0 + int(box["height"]), x0 : x0 + int(box["width"])]
        assert box["height"] > 100, box
        ink = (area.mean(axis=2) < 0.92).mean()
        colours = len(np.unique((area * 255).astype(np.uint8).reshape(-1, 3), axis=0))
        assert ink > 0.01 and colours > 30, (box["id"], ink, colours)
    # the price chart's lines and candles: green and red both drawn
    prices = next(box for box in page.charts if box["id"] == "chart-prices")
    area = img[int(prices["y"]) : int(prices["y"] + prices["height"]), :]
    green = (area[..., 1] > 0.5) & (area[..., 0] < 0.35) & (area[..., 2] < 0.5)
    red = (area[..., 0] > 0.7) & (area[..., 1] < 0.4) & (area[..., 2] < 0.4)
    assert green.sum() > 300 and red.sum() > 300
    # ... and the indicators' lines over them, orange and purple (the first code's: the
    # shot is taken once the checks have run, on the last code shown)
    orange = (area[..., 0] > 0.8) & (np.abs(area[..., 1] - 0.54) < 0.12) & (area[..., 2] < 0.2)
    purple = (np.abs(area[..., 0] - 0.56) < 0.1) & (area[..., 1] < 0.35) & (area[..., 2] > 0.5)
    assert orange.sum() > 300 and purple.sum() > 300, (orange.sum(), purple.sum())
    (code, title, names, lines), (kept, found, count), log, pnl, built = page.values
    traded = result.traded_codes
    assert code == traded[2] and title.startswith(f"{traded[2]} · ")
    assert names == ["sma(10)", "sma(30)", "rsi(14)"]
    # each line holds the code's values from its warm-up on (rsi: its first at bar 15)
    drawn = result.indicators[code]
    assert [name for name, _, _ in drawn] == names and [pane for *_, pane in drawn] == [
        "price",
        "price",
        "rsi",
    ]
    _same_lines(lines, drawn)
    szse = [c for c in traded if "szse" in c.lower()]
    assert (
        kept == szse and found == szse[0] and count == f"{len(szse)} of {len(traded)} instruments"
    )
    assert log == [False, True, True]
    rt = result.round_trips
    assert pnl == sorted(rt["pnl"], reverse=True)
    # the figures, their axes, titles and tooltips, as charts.py draws them
    charts = built["charts"]
    assert [f["label"] for f in charts["chart-equity"]] == [
        "Equity",
        "Equity (log scale)",
        "Drawdown",
        "",
    ]
    assert charts["chart-equity"][0]["tips"] == [["time", "equity", "benchmark", "drawdown"]]
    assert [f["label"] for f in charts["chart-prices"]] == ["Price", "Volume", "rsi"]
    assert charts["chart-prices"][0]["title"].startswith(f"{found} · ")  # shown by the text box
    assert charts["chart-prices"][0]["tips"] == [
        ["time", "open", "high", "low", "close", "volume"],
        ["stop"],
        ["fill", "time", "account", "exit"],
    ]
    assert charts["chart-months"][0]["tips"] == [["month", "strategy", "benchmark"]]
    assert [f["title"].split(" (")[0] for f in charts["chart-rolling"]] == [
        "Rolling Sharpe ratio",
        "Rolling volatility",
        "Rolling beta against the benchmark",
    ]
    assert built["linked"]
    # the curve drawn is the run's, and zooming in fits the y range to what is in view
    np.testing.assert_array_equal(built["equity"], result.equity_curve.to_numpy())
    np.testing.assert_array_equal(built["benchmark"], result.benchmark_curve.to_numpy())
    start = len(built["x"]) * 3 // 4 - 1  # from the last point before the view's start
    seen = np.r_[built["equity"][start:], built["benchmark"][start:]]
    pad = (seen.max() - seen.min()) * 0.06
    assert built["zoomed"] == pytest.approx([seen.min() - pad, seen.max() + pad])


@needs_chromium
def test_the_notebook_charts_show_another_instrument_and_the_log_scale(tmp_path):
    """``result.plot()``'s layout as a notebook shows it: the drop-down shows another
    instrument with its indicators, the toggle the equity on a log scale; no JavaScript
    error."""
    pytest.importorskip("websocket")
    from bokeh.embed import file_html
    from bokeh.resources import INLINE

    result, _ = _sample_run(tmp_path)
    path = tmp_path / "plot.html"
    path.write_text(file_html(result.plot(show=False), INLINE, "plot"), encoding="utf-8")
    code = result.traded_codes[2]
    check = f"""(() => new Promise(done => {{
      const models = [];
      Bokeh.documents.forEach(d => d.all_models.forEach(m => models.push(m)));
      const one = (type, name) => models.find(m => m.type === type && (!name || m.name === name));
      one("Select").value = {json.dumps(code)};
      one("Toggle").active = true;
      setTimeout(() => done([
        models.find(m => m.name === "korvit-instrument").text,
        models.filter(m => m.name === "indicator" && m.visible)
          .map(r => Array.from(r.data_source.data[r.glyph.y.field]).filter(Number.isFinite)),
        [one("Figure", "korvit-equity").visible, one("Figure", "korvit-equity-log").visible]]), 500);
    }}))()"""
    page = browser.open_page(
        path, ready="window.Bokeh !== undefined && Bokeh.documents.length > 0", scripts=[check]
    )
    assert page.ready and page.errors == []
    ((title, lines, scales),) = page.values
    assert title.startswith(f"{code} · ")
    _same_lines(lines, result.indicators[code])
    assert scales == [False, True]


def _same_lines(lines, drawn):
    """The known values of the indicator lines a page drew are the code's, in order (up to
    their packing for the page: 1/65,534 of their span)."""
    assert len(lines) == len(drawn)
    for line, (name, values, _) in zip(lines, drawn):
        known = values[np.isfinite(values)]
        np.testing.assert_allclose(line, known, rtol=0, atol=np.ptp(known) / 65534, err_msg=name)


def test_the_page_carries_the_runs_own_arrays(tmp_path):
    """The charts' data in the sample run's report is the run's: its equity, drawdown and
    benchmark, each traded code's bars and fills, its months and rolling figures."""
    result, path = _sample_run(tmp_path)
    items = _charts(path.read_text(encoding="utf-8"))
    curve = result.equity_curve
    equity = items["chart-equity"]
    times = curve.index.to_numpy().astype("datetime64[ms]").astype(np.int64).astype(float)
    np.testing.assert_array_equal(equity["columns"]["time"], times)
    np.testing.assert_array_equal(equity["columns"]["x"], times)  # daily bars: on a time axis
    for name, series in (
        ("equity", curve),
        ("drawdown", result.drawdown),
        ("benchmark", result.benchmark_curve),
    ):
        np.testing.assert_array_equal(
            equity["columns"][name], series.to_numpy(dtype=float), err_msg=name
        )
    assert equity["initial_cash"] == result.initial_cash and not equity["compressed"]
    prices = items["chart-prices"]
    assert prices["codes"] == list(result.traded_codes) and prices["step"] == 1
    bars, trades = result.bars, result.trades
    for code in prices["codes"]:
        one, values = prices["store"][code], bars.values[bars.index_of(code)]
        for k, name in enumerate("ohlcv"):
            np.testing.assert_array_equal(
                one[name], values[:, k].astype(np.float32), err_msg=f"{code} {name}"
            )
        fills = trades[trades["code"] == code].sort_values("time", kind="stable")
        np.testing.assert_array_equal(one["fills"]["p"], fills["price"].to_numpy(dtype=np.float32))
        np.testing.assert_array_equal(one["fills"]["v"], fills["volume"].to_numpy(dtype=np.float32))
        sells = fills["side"].str.lower().eq("sell").to_numpy()
        np.testing.assert_array_equal(one["fills"]["k"] >= 2, sells)
    months = items["chart-months"]["columns"]
    np.testing.assert_array_equal(
        months["value"], result.returns_by_month["strategy"].to_numpy(dtype=float)
    )
    rolling = items["chart-rolling"]
    figures = result.rolling(rolling["window"])
    for name in ("sharpe", "volatility", "benchmark_sharpe"):
        np.testing.assert_array_equal(
            rolling["columns"][name], figures[name].to_numpy(dtype=float), err_msg=name
        )


def _ink(img, box):
    """The share of a chart's box that is drawn, and the number of its colours."""
    y0, x0 = int(box["y"]), int(box["x"])
    area = img[y0 : y0 + int(box["height"]), x0 : x0 + int(box["width"])]
    return (area.mean(axis=2) < 0.92).mean(), len(
        np.unique((area * 255).astype(np.uint8).reshape(-1, 3), axis=0)
    )


@needs_chromium
def test_the_report_of_minute_bars_and_several_accounts_draws_in_a_browser(tmp_path):
    """Minute bars across a year's end and a holiday (an axis of bar numbers, labelled
    with the bars' times, the year in them) and several accounts (their own curves):
    drawn without a JavaScript error."""
    pytest.importorskip("websocket")
    matplotlib_image = pytest.importorskip("matplotlib.image")
    result = _extreme_result(
        [np.linspace(1e6, 1.1e6, 300), np.linspace(1e6, 0.9e6, 300)],
        2e6,
        "minute",
        times=pd.date_range("2024-12-31 13:30", periods=150, freq="min").append(
            pd.date_range("2025-01-02 09:30", periods=150, freq="min")
        ),
    )
    path = tmp_path / "report.html"
    path.write_text(result.to_html(), encoding="utf-8")
    labels = """(() => { const out = [];
      Bokeh.documents.forEach(doc => doc.roots().forEach(root => {
        if (root.name === "chart-equity") {
          const overview = root.children[root.children.length - 1];
          out.push(overview.below[0].formatter.doFormat([0, 149, 150, 299], {loc: 0}));
          out.push(root.children.length);
        } else if (root.name === "chart-prices") {
          out.push(root.children[1].below[0].formatter.doFormat([0, 149, 150, 299], {loc: 0}));
        }
      })); return out; })()"""
    page = browser.open_page(path, width=1280, scripts=[labels])
    shot = tmp_path / "report.png"
    shot.write_bytes(page.screenshot)
    assert page.ready and page.errors == []
    assert {box["id"] for box in page.charts} == {"chart-equity", "chart-prices", "chart-months"}
    img = matplotlib_image.imread(shot)[..., :3]
    for box in page.charts:
        ink, colours = _ink(img, box)
        assert ink > 0.01 and colours > 30, (box["id"], ink, colours)
    # the ticks at bars 0, 149, 150 and 299 name those bars' times with their years, on
    # the equity's axis and the prices' alike (whatever points each draws); equity (linear
    # and log), accounts, drawdown, range selector
    named = ["2024-12-31 13:30", "2024-12-31 15:59", "2025-01-02 09:30", "2025-01-02 11:59"]
    assert sorted(page.values[0], key=str) == sorted([named, 5, named], key=str)


INF, NAN = float("inf"), float("nan")


def _extreme_result(
    curves,
    initial_cash,
    frequency,
    trade_prices=(10.0, 11.0),
    fees=(0.1, 0.1),
    times=None,
):
    """Accounts with the given equity curves (one per account), and a round trip;
    the bars of its code priced like its fills (at ``times``, by default from the
    first weekday of 2024, or its first minute of trading)."""
    n = len(curves[0])
    if times is None:
        times = (
            pd.bdate_range("2024-01-01", periods=n)
            if frequency == "day"
            else pd.date_range("2024-01-02 09:31", periods=n, freq="min")
        )
    rows = [
        (t, f"acc{k}", v, 0.0, 0.0, v)
        for k, curve in enumerate(curves)
        for t, v in zip(times, curve)
    ]
    equity = pd.DataFrame(
        rows, columns=["time", "account", "cash", "market_value", "margin", "equity"]
    )
    trades = pd.DataFrame(
        {
            "trade_id": [1, 2],
            "order_id": [1, 2],
            "time": times[[0, -1]],
            "account": "acc0",
            "code": "X.Y",
            "side": ["buy", "sell"],
            "effect": ["open", "close"],
            "volume": [100.0, 100.0],
            "price": list(trade_prices),
            "multiplier": 1.0,
            "fee": list(fees),
        }
    )
    close = np.linspace(*trade_prices, n) if np.isfinite(trade_prices).all() else np.full(n, 1e300)
    bars = Bars(
        ["X.Y"], times, np.stack([close, close, close, close, np.ones(n)], axis=1)[None], frequency
    )
    return BacktestResult(
        equity, None, trades, None, frequency=frequency, initial_cash=initial_cash, bars=bars
    )


@pytest.mark.parametrize(
    "curves, initial_cash, frequency, trade",
    [
        ([[1e308] * 6], 1e308, "day", {}),  # the largest money, flat
        ([[1e308] * 6], 1e308, "minute", {}),
        ([[1e300, 1e305, 1e308, 1.7e308, 1e308, 1e306]], 1e300, "day", {}),  # growth past any ratio
        ([[1e6, -1.7e308, 1e6, 1e6, 1e6, 1e6]], 1e6, "day", {}),  # a huge loss
        ([[1e6, INF, 1e6, NAN, -INF, 1.1e6]], 1e6, "day", {}),  # infinities and NaN
        ([[1e6, INF, 1e6, NAN, -INF, 1.1e6]], 1e6, "minute", {}),
        ([[NAN] * 6], 1e6, "day", {}),  # no equity at all
        ([[1e6] * 6, [1e308] * 6], 2e6, "day", {}),  # two accounts, one huge
        ([[1e6] * 6], INF, "day", {}),  # infinite initial cash
        ([[1e6] * 6], NAN, "day", {}),
        (
            [[1e6] * 6],
            1e6,
            "day",
            dict(trade_prices=(1e300, INF), fees=(NAN, INF)),
        ),  # fills beyond reason
        ([[1e6] * 6], 1e6, "day", dict(trade_prices=(1e-300, 1e300), fees=(0.0, 1e308))),
    ],
)
def test_the_report_never_fails_because_of_a_value(
    curves, initial_cash, frequency, trade, tmp_path
):
    """Statistics, summary, report and stats.json of results holding extreme or
    non-finite values: no exception, no warning, every statistic shown, strict JSON."""
    from korvit.backtest.stats import ORDER_STATS, STAT_NAMES

    result = _extreme_result(curves, initial_cash, frequency, **trade)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        summary = result.summary()
        html = result.to_html()
        result.save(tmp_path / "saved")
    # the order counts are in the summary's Orders line, in their own words
    assert all(
        name in summary
        for name in STAT_NAMES
        if name not in ORDER_STATS
        and "enchmark" not in name
        and name not in ("Alpha", "Beta", "Information ratio")
    )
    assert "Orders  placed 0, filled 0, cancelled 0, denied 0" in summary
    assert all(
        name in html
        for name in STAT_NAMES
        if name not in ("Benchmark return", "Benchmark max drawdown", "Benchmark annualised return")
    )
    assert "chart-equity" in _charts(html)
    doc = json.loads(
        (tmp_path / "saved" / "stats.json").read_text(),
        parse_constant=lambda c: pytest.fail(f"not JSON: {c}"),
    )
    assert set(doc["stats"]) == set(STAT_NAMES)
    # money beyond any real amount is shown short
    assert max(len(line) for line in summary.splitlines()) < 160


def test_the_charts_arrays_travel_exactly():
    """Arrays of every type the charts use come back from the page's JSON as they were
    (NaN, infinities, -0.0 and float32 bits included); a table that merely looks like an
    encoded array (a code named "data") stays a table; other whole numbers travel as int32
    or, when too big, float64; a non-finite number alone is null."""
    from korvit.report.report import _encode, _script_json

    values = {
        "f8": np.array([1.5, np.nan, np.inf, -np.inf, -0.0, 1e300, 5e-324]),
        "f4": np.array([0.1, np.nan, -3.4e38], dtype=np.float32),
        "i1": np.array([-128, 0, 127], dtype=np.int8),
        "i2": np.array([-1, 32767], dtype=np.int16),
        "i8": np.array([1, -(2**31)]),
        "big": np.array([2**40]),
        "empty": np.empty(0),
        "store": {"__nd__": {"o": np.array([1.0])}, "data": {"o": np.array([2.0])}},
        "nan": float("nan"),
        "pair": (1, 2.5),
    }
    back = decode_arrays(json.loads(_script_json(_encode(values))))
    for name in ("f8", "f4", "i1", "i2", "empty"):
        assert back[name].dtype == values[name].dtype, name
        assert back[name].tobytes() == values[name].tobytes(), name
    assert back["i8"].dtype == np.int32 and back["i8"].tolist() == [1, -(2**31)]
    assert back["big"].dtype == np.float64 and back["big"].tolist() == [2.0**40]
    assert set(back["store"]) == {"__nd__", "data"} and back["store"]["data"]["o"].tolist() == [2.0]
    assert back["nan"] is None and back["pair"] == [1, 2.5]
