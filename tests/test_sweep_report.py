"""The sweep's report: its colour scale, best cell, robustness view, views of
more than two parameters, and the page in a browser."""

import re
import sys
from importlib.util import module_from_spec, spec_from_file_location
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from matplotlib.colors import to_rgb

from korvit.backtest.sweep import WalkForwardResult
from korvit.backtest.sweep.curves import RunCurves
from korvit.report.sweep_report import (
    NEUTRAL,
    ColourScale,
    best_parameter_set,
    best_runs,
    contrast_ratio,
    neighbour_average,
    parameter_set_values,
    render_sweep_report,
    runs_with_neighbours,
    surface,
    sweep_views,
    text_colour,
)

HERE = Path(__file__).resolve().parent
_spec = spec_from_file_location("chromium_page", HERE / "chromium_page.py")
browser = sys.modules.setdefault("chromium_page", module_from_spec(_spec))
_spec.loader.exec_module(browser)
needs_chromium = pytest.mark.skipif(
    browser.chromium() is None, reason="chromium is not installed (apt-get install chromium)"
)


def _frame(grid, values, *, split=None, phase="full", trades=None, **attrs):
    """A sweep's table: one finished run per parameter set of ``grid``."""
    names = list(grid)
    sets = [dict(zip(names, combo)) for combo in pd.MultiIndex.from_product(list(grid.values()))]
    frame = pd.DataFrame(sets, columns=names)
    frame.insert(0, "phase", phase)
    frame.insert(0, "split", pd.array([split] * len(sets), dtype="Int64"))
    frame.insert(0, "run_id", [f"r{k}" for k in range(len(sets))])
    frame["status"], frame["error"], frame["seconds"] = "ok", "", 0.1
    for column, value in values.items():
        frame[column] = [value(**s) for s in sets] if callable(value) else value
    frame["Trades"] = [trades(**s) for s in sets] if trades else 10
    frame.attrs.update(attrs)
    return frame


def _outlined(page):
    """The values of the cells outlined as the best."""
    return [float(v) for v in re.findall(r"<td class='v best'[^>]*data-v='([^']+)'", page)]


# ------------------------------------------------------------------ the colour scale


def test_a_signed_statistic_is_coloured_about_zero_and_an_unsigned_one_from_low_to_high():
    # the sweep of the issue: 0.10 and 0.18 Sharpe were both the same deep colour
    scale = ColourScale("Sharpe ratio", [0.10, 0.18, -0.05])
    assert scale.centred and scale.colour(0) == NEUTRAL
    assert scale.colour(0.10) != scale.colour(0.18) != NEUTRAL
    assert scale.position(0.18) == 1.0 and 0.5 < scale.position(0.10) < scale.position(0.18)
    blue, orange = to_rgb(scale.colour(0.10)), to_rgb(scale.colour(-0.10))
    assert blue[2] > blue[0] and orange[0] > orange[2]  # blue above 0, orange below
    # all positive still centred (0 stays neutral), the extremes at the ends
    only_up = ColourScale("Total return", [0.02, 0.3])
    assert only_up.centred and only_up.position(0) == 0.5 and only_up.position(0.3) == 1.0
    # an unsigned statistic: sequential over its own range; one of both signs is centred
    trades = ColourScale("Trades", [3, 40])
    assert not trades.centred and trades.position(3) == 0 and trades.position(40) == 1
    assert ColourScale("Average loss", [-3, 40]).centred
    assert not ColourScale("Max drawdown", [-0.3, -0.05]).centred
    assert ColourScale("Trades", [5, 5]).position(5) == 0.5  # one value: no division by 0
    assert ColourScale("Sharpe ratio", [np.nan]).colour(np.nan) == "#ffffff"


@settings(max_examples=60, deadline=None)
@given(st.lists(st.floats(-1e6, 1e6), min_size=1, max_size=20), st.floats(0, 1e6))
def test_plus_and_minus_x_are_equally_far_from_the_centre_and_every_label_reads(values, x):
    scale = ColourScale("Sharpe ratio", values)
    assert scale.position(x) + scale.position(-x) == pytest.approx(1.0, abs=1e-12)
    assert scale.colour(0.0) == NEUTRAL
    for value in [*values, x, -x]:
        colour = scale.colour(value)
        # WCAG AA for normal text: the written value reads on its cell
        assert contrast_ratio(colour, text_colour(colour)) >= 4.5


# ------------------------------------------------------------------ the best cell


def test_the_best_cell_follows_the_sweeps_ranking_direction_and_fewest_trades():
    grid = {"a": [1, 2, 3], "b": [10, 20]}
    volatility = {"Annualised volatility": lambda a, b: a * 0.01 + b * 0.001}
    lowest = _frame(
        grid, volatility, metric="Annualised volatility", minimize=True, min_trades=None
    )
    highest = _frame(
        grid, volatility, metric="Annualised volatility", minimize=False, min_trades=None
    )
    for frame, want in ((lowest, (1, 10, 0.02)), (highest, (3, 20, 0.05))):
        per_set = parameter_set_values(frame, "Annualised volatility")
        best = best_parameter_set(per_set, frame.attrs["minimize"])
        assert (best["a"], best["b"]) == want[:2] and best["value"] == pytest.approx(want[2])
        top = best_runs(frame).iloc[0]  # the report's table agrees
        assert (top["a"], top["b"]) == want[:2]
        page = render_sweep_report(frame)
        outlined = _outlined(page)  # in the map and in its neighbours' map
        assert len(outlined) == 2 and outlined[0] == pytest.approx(want[2])
        assert f"a = {want[0]}, b = {want[1]}" in page
    # runs with fewer trades than the sweep asked for are not the best
    few = _frame(
        grid,
        volatility,
        trades=lambda a, b: 1 if a == 1 else 10,
        metric="Annualised volatility",
        minimize=True,
        min_trades=5,
    )
    best = best_parameter_set(parameter_set_values(few, "Annualised volatility", 5), True)
    assert (best["a"], best["b"]) == (2, 10)
    assert "a = 2, b = 10" in render_sweep_report(few)
    none = _frame(
        grid,
        volatility,
        trades=lambda a, b: 1,
        minimize=True,
        min_trades=5,
        metric="Annualised volatility",
    )
    assert "No parameter set may be ranked" in render_sweep_report(none)
    # a set that leaves a parameter out (a list of dicts) has its own place: the strategy's default
    unset = _frame(
        {"fast": [5, 10, 20], "stop": [3.0]},
        {"Sharpe ratio": lambda fast, stop: 1 / fast},
        metric="Sharpe ratio",
    )
    unset.loc[0, "stop"] = np.nan
    page = render_sweep_report(unset)
    assert "fast = 5, stop = default: 0.20" in page and _outlined(page)[0] == pytest.approx(0.2)
    assert (
        runs_with_neighbours(unset, unset.iloc[[0]], "Sharpe ratio")["neighbour count"].iloc[0] == 1
    )


# ------------------------------------------------------------------ robustness


def test_the_neighbour_average_by_hand():
    table = pd.DataFrame([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0], [7.0, 8.0, 9.0]])
    around = neighbour_average(table).to_numpy()
    assert around[1, 1] == (45 - 5) / 8  # the cell itself is left out
    assert around[0, 0] == pytest.approx((2 + 4 + 5) / 3)  # a corner has 3 neighbours
    assert around[0, 1] == pytest.approx((1 + 3 + 4 + 5 + 6) / 5)
    table.iloc[1, 1] = np.nan  # a missing cell is no neighbour
    around = neighbour_average(table).to_numpy()
    assert around[0, 0] == pytest.approx(3.0) and around[1, 1] == pytest.approx(5.0)
    assert np.isnan(neighbour_average(pd.DataFrame([[np.nan, np.nan]])).to_numpy()).all()
    assert list(neighbour_average(pd.DataFrame([[1.0, 3.0, 8.0]])).iloc[0]) == [3.0, 4.5, 3.0]

    # the best runs' neighbours: one step or none in every parameter, in a 3-parameter grid
    grid = {"a": [1, 2, 3], "b": [5, 6, 7], "c": ["x", "y", "z"]}
    frame = _frame(
        grid,
        {"Sharpe ratio": lambda a, b, c: a * 100 + b * 10 + "xyz".index(c)},
        metric="Sharpe ratio",
    )
    rows = runs_with_neighbours(
        frame, frame[(frame.a == 2) & (frame.b == 6) & (frame.c == "y")], "Sharpe ratio"
    )
    assert rows["neighbour count"].iloc[0] == 26 and rows["neighbours"].iloc[0] == pytest.approx(
        261
    )
    corner = runs_with_neighbours(frame, frame.iloc[[0]], "Sharpe ratio").iloc[0]  # a=1, b=5, c=x
    assert corner["neighbour count"] == 7
    assert corner["neighbours"] == pytest.approx(
        (sum(a * 100 + b * 10 + c for a in (1, 2) for b in (5, 6) for c in (0, 1)) - 150) / 7
    )
    page = render_sweep_report(frame)
    assert "Robustness of the best runs" in page and "neighbours&#x27; mean" in page


def test_the_neighbours_of_a_walk_forward_run_are_of_its_own_split():
    grid = {"a": [1, 2], "b": [1, 2]}
    one = _frame(grid, {"Sharpe ratio": lambda a, b: float(a + b)}, split=1, phase="train")
    two = _frame(grid, {"Sharpe ratio": lambda a, b: 10.0 * (a + b)}, split=2, phase="train")
    frame = pd.concat([one, two], ignore_index=True)
    rows = runs_with_neighbours(frame, frame[(frame.a == 2) & (frame.b == 2)], "Sharpe ratio")
    assert list(rows["neighbours"]) == [pytest.approx(8 / 3), pytest.approx(80 / 3)]
    per_set = parameter_set_values(frame, "Sharpe ratio")  # the maps: the mean over the splits
    assert surface(per_set, "a", "b").loc[2, 2] == pytest.approx((4 + 40) / 2)


# ------------------------------------------------------------------ more than two parameters


def test_every_pair_of_three_parameters_is_a_view_aggregated_over_the_third():
    grid = {"a": [1, 2], "b": [10, 20, 30], "c": [0.5, 1.5, 4.0]}
    frame = _frame(
        grid,
        {"Total return": lambda a, b, c: (a - 1.5) * b / 100 + np.sin(c)},
        metric="Total return",
    )
    per_set = parameter_set_values(frame, "Total return")
    for how, expected in (
        ("mean", frame.groupby(["b", "a"])["Total return"].mean()),
        ("max", frame.groupby(["b", "a"])["Total return"].max()),
    ):
        table = surface(per_set, "a", "b", how)
        assert table.shape == (3, 2)
        for (b, a), value in expected.items():
            assert table.loc[b, a] == pytest.approx(value)
    views = sweep_views(["a", "b", "c"], "b", "c")
    assert [(x, y) for _, x, y, *_ in views[::2]] == [("b", "c"), ("a", "b"), ("a", "c")]
    assert [how for *_, how, _ in views[:2]] == ["mean", "max"] and len(views) == 6
    assert sweep_views(["a", "b", "c"], minimize=True)[1][3] == "min"
    assert len(sweep_views(["a", "b"])) == 1 and sweep_views(["a"])[0][2] is None
    page = render_sweep_report(frame)
    assert page.count("<div class='view'") == 6 and page.count("<option value=") == 6
    assert "a × c, max over b" in page
    # one parameter: one row
    single = render_sweep_report(
        _frame({"a": [1, 2, 3]}, {"Total return": lambda a: a / 10}, metric="Total return")
    )
    assert single.count("<div class='view'") == 1 and _outlined(single) == [
        pytest.approx(0.3),
        pytest.approx(0.2),
    ]


def test_the_report_states_the_data_period_and_fixed_parameters():
    frame = _frame(
        {"a": [1, 2]},
        {
            "Sharpe ratio": lambda a: a - 1.5,
            "Start": pd.Timestamp("2024-01-02"),
            "End": pd.Timestamp("2024-06-28"),
        },
        metric="Sharpe ratio",
    )
    page = render_sweep_report(frame)
    assert "2024-01-02 – 2024-06-28 (first and last bar)" in page
    frame.attrs["run"] = {
        "strategy": "s.py",
        "params": {"size": 3},
        "options": {"cash": 1000},
        "data": {
            "source": "<prices>.csv",
            "kind": "daily bars",
            "bars": 250,
            "codes": ["AAA", "BBB"],
            "code_count": 5,
            "first": "2023-01-03",
            "last": "2023-12-29",
        },
        "where": "a < 3",
        "search": None,
        "splits": None,
    }
    page = render_sweep_report(frame)
    for text in (
        "&lt;prices&gt;.csv: 250 daily bars",
        "5: AAA, BBB and 3 more",
        "2023-01-03 – 2023-12-29 (first and last bar)",
        "size = 3",
        "cash = 1000",
        "a &lt; 3",
    ):
        assert text in page, text


# ------------------------------------------------------------------ in a browser


@needs_chromium
def test_every_view_draws_in_chromium_without_errors(tmp_path):
    grid = {"fast": [5, 10, 20], "slow": [30, 60], "stop": [0.01, 0.02, 0.05]}
    frame = _frame(
        grid,
        {"Sharpe ratio": lambda fast, slow, stop: np.cos(fast / 7 + slow / 30) - stop * 10},
        metric="Sharpe ratio",
        minimize=False,
    )
    path = tmp_path / "report.html"
    path.write_text(render_sweep_report(frame, title="a <b> sweep"))
    # each view in turn: only it is shown, its two maps with every cell coloured
    show = """(() => { const pick = document.getElementById('view-pick'); const seen = [];
      for (const option of pick.options) {
        pick.value = option.value; pick.dispatchEvent(new Event('change'));
        const shown = Array.from(document.querySelectorAll('.view')).filter(v => v.offsetParent !== null);
        const cells = shown.length === 1 ? shown[0].querySelectorAll('td.v') : [];
        seen.push([shown.map(v => v.dataset.view).join(), cells.length,
                   Array.from(cells).filter(c => c.getBoundingClientRect().width > 20
                                            && getComputedStyle(c).backgroundColor !== 'rgba(0, 0, 0, 0)').length,
                   shown.length === 1 ? shown[0].querySelectorAll('td.best').length : 0]);
      }
      return seen; })()"""
    page = browser.open_page(path, scripts=[show])
    assert page.ready and page.errors == []
    views = page.values[0]
    assert [v[0] for v in views] == [f"v{k}" for k in range(6)]
    for _, cells, coloured, best in views:
        assert cells == coloured and cells in (2 * 3 * 2, 2 * 3 * 3)
        assert best == 2
    assert page.screenshot.startswith(b"\x89PNG")


@needs_chromium
def test_the_charts_draw_offline_and_no_table_is_cut_off_at_any_width(tmp_path):
    # a walk-forward of five parameters with long names: its tables are wide
    names = ["fast", "slow", "stop_loss_fraction", "take_profit_fraction", "trailing_fraction"]
    grid = dict(zip(names, ([5, 10, 20], [30, 60], [0.01], [0.2], [0.05])))
    frame = _frame(
        grid,
        {"Sharpe ratio": lambda fast, slow, **_: fast / slow, "Initial equity": 1e6},
        split=1,
        phase="train",
        metric="Sharpe ratio",
        minimize=False,
    )
    rng = np.random.default_rng(3)
    days = pd.date_range("2023-01-02", periods=3000, freq="D")
    frame.attrs["curves"] = curves = RunCurves()
    for run_id in frame.run_id:  # longer than a chart draws: thinned
        values = 1e6 * np.exp(np.cumsum(rng.normal(0, 0.01, len(days))))
        curves.hold(run_id, (days.to_numpy().astype("datetime64[ms]").astype(np.int64), values))
    windows = [(days[k * 100], days[k * 100 + 99]) for k in range(1, 9)]
    splits = pd.DataFrame(
        {
            "split": range(1, 9),
            "train_start": days[0],
            "train_end": [a - pd.Timedelta(days=1) for a, _ in windows],
            "test_start": [a for a, _ in windows],
            "test_end": [b for _, b in windows],
            "train_warmup": 100,
            "test_warmup": 100,
            **{name: grid[name][0] for name in names},
            "status": "ok",
            **dict.fromkeys(
                ["in_sample", "out_of_sample", "in_sample_return", "out_of_sample_return"], 0.1
            ),
            "efficiency": 1.0,
            "trades": pd.array([3] * 8, dtype="Int64"),
        }
    )
    stitched = days[100:900]
    equity = pd.Series(np.linspace(1e6, 1.2e6, len(stitched)), index=stitched, name="equity")
    stats = pd.Series(
        {"Initial equity": 1e6, "Total return": 0.2, "Annualised return": 0.09}
        | {"Sharpe ratio": 1.1, "Max drawdown": -0.05, "Longest drawdown": pd.Timedelta(days=30)}
        | {"Trades": 24}
    )
    frame.attrs["walk_forward"] = WalkForwardResult(
        splits, equity, stats, 0.8, "Sharpe ratio", (equity * 0.9 + 1e5).rename("benchmark")
    )
    path = tmp_path / "report.html"
    path.write_text(render_sweep_report(frame))
    look = """(() => ({
      lines: Object.fromEntries(Bokeh.documents.map(doc => [doc.roots()[0].name,
        Array.from(doc.all_models).filter(m => m instanceof Bokeh.GlyphRenderer)
          .map(m => [m.glyph.type, (m.data_source.data.x || m.data_source.data.left).length])])),
      boxes: Array.from(document.querySelectorAll('.wide')).map(box => [
        box.getBoundingClientRect().right <= window.innerWidth, box.scrollWidth <= box.clientWidth])
    }))()"""
    for width in (700, 1400):
        page = browser.open_page(path, width=width, scripts=[look])
        assert page.ready and page.errors == [], page.errors
        seen = page.values[0]
        best, walked = seen["lines"]["chart-best-runs"], seen["lines"]["chart-walk-forward"]
        assert [kind for kind, _ in best] == ["Line"] * 5  # the five best of six runs
        assert all(400 < points <= 2000 for _, points in best)
        assert [kind for kind, _ in walked] == ["Line", "Line", "Quad", "Text"]
        assert walked[2][1] == 8 and {c["id"] for c in page.charts} == {
            "chart-best-runs",
            "chart-walk-forward",
        }
        # every table stays on the page: whole at 1400 px, and scrolling in its box below
        assert seen["boxes"] and all(inside for inside, _ in seen["boxes"])
        assert width < 1400 or all(whole for _, whole in seen["boxes"])
