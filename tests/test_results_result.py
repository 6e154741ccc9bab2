"""BacktestResult: round-trip matching, derived series and saving."""

import json
import os
import re
import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

from korvit.backtest.files import STORE, saved_folder
from korvit.backtest.listing import shortened
from korvit.backtest.output import _Equity
from korvit.backtest.results import (
    ROUND_TRIP_COLUMNS,
    BacktestResult,
    _round_trip_frame,
    _round_trip_rows,
    match_round_trips,
)

T = pd.Timestamp


def _trades(rows):
    cols = [
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
    ]
    df = pd.DataFrame(rows, columns=cols)
    df["time"] = pd.to_datetime(df["time"])
    df["order_id"] = df["trade_id"]
    return df


def test_fifo_matching_splits_fills_and_apportions_fees():
    # Buy 10 @ 10 (fee 1.0), buy 5 @ 12 (fee 0.5), sell 12 @ 15 (fee 1.2),
    # sell 3 @ 9 (fee 0.3).  First in, first out:
    #   10 of lot 1 -> 15: gross 5*10 = 50, fees 1.0*10/10 + 1.2*10/12 = 2.0, pnl 48,
    #                      return 48 / (10*10) = 0.48
    #    2 of lot 2 -> 15: gross 3*2 = 6,   fees 0.5*2/5 + 1.2*2/12 = 0.4, pnl 5.6
    #    3 of lot 2 ->  9: gross -3*3 = -9, fees 0.5*3/5 + 0.3 = 0.6,      pnl -9.6
    # The rows come shuffled: matching follows time, not row order.
    trades = _trades(
        [
            (3, "2024-01-03", "A", "X", "sell", "close", 12, 15.0, 1, 1.2),
            (1, "2024-01-01", "A", "X", "buy", "open", 10, 10.0, 1, 1.0),
            (4, "2024-01-04", "A", "X", "sell", "close", 3, 9.0, 1, 0.3),
            (2, "2024-01-02", "A", "X", "buy", "open", 5, 12.0, 1, 0.5),
        ]
    )
    rt = match_round_trips(trades)
    assert list(rt["volume"]) == [10, 2, 3]
    assert list(rt["entry_trade_id"]) == [1, 2, 2]
    assert list(rt["exit_trade_id"]) == [3, 3, 4]
    assert rt["pnl"].to_numpy() == pytest.approx([48.0, 5.6, -9.6])
    assert rt["fees"].to_numpy() == pytest.approx([2.0, 0.4, 0.6])
    assert rt["fees"].sum() == pytest.approx(trades["fee"].sum())
    assert rt["return"].iloc[0] == pytest.approx(0.48)
    assert (rt["side"] == "long").all()
    assert rt["duration"].iloc[0] == pd.Timedelta(days=2)


def test_futures_short_with_multiplier_and_a_hedged_book():
    # Short 2 @ 100 (fee 2) and, separately, long 1 @ 101 (fee 1), multiplier 10.
    # Buy-close 2 @ 95 closes the short, not the long:
    #   (95 - 100) * 2 * 10 * -1 = +100, fees 2 + 2 -> pnl 96, return 96 / 2000.
    # Sell-close 1 @ 103 closes the long: (103 - 101) * 1 * 10 = 20, fees 1 + 1 -> 18.
    trades = _trades(
        [
            (1, "2024-01-01", "F", "IF", "sell", "open", 2, 100.0, 10, 2.0),
            (2, "2024-01-01", "F", "IF", "buy", "open", 1, 101.0, 10, 1.0),
            (3, "2024-01-02", "F", "IF", "buy", "close", 2, 95.0, 10, 2.0),
            (4, "2024-01-03", "F", "IF", "sell", "close", 1, 103.0, 10, 1.0),
        ]
    )
    rt = match_round_trips(trades)
    assert list(rt["side"]) == ["short", "long"]
    assert rt["pnl"].to_numpy() == pytest.approx([96.0, 18.0])
    assert rt["return"].iloc[0] == pytest.approx(96 / 2000)


_FILL = st.tuples(
    st.sampled_from(["buy", "sell"]),
    st.sampled_from(["open", "close"]),
    st.sampled_from([1.0, 2.0, 0.5, 0.001, 3.0]),
    st.floats(0.5, 200, allow_nan=False),
    st.sampled_from([0.0, 0.25]),
    st.sampled_from([1.0, 10.0, float("nan")]),
    st.sampled_from(["A", "B"]),
    st.integers(0, 3),  # the day
)


@given(
    st.lists(_FILL, max_size=14),
    st.sampled_from(["ns", "nat", "tz", "us"]),
    st.sampled_from(["int", "text", "huge"]),
    st.booleans(),
)
def test_round_trip_table_is_the_one_pandas_builds_from_its_rows(fills, times, ids, marked):
    # The round trips' table is built column by column where the values tell their
    # types, else from its rows: either way it is pandas' own table of the rows.
    day = [T("2024-01-01") + pd.Timedelta(days=int(d)) for *_, d in fills]
    trades = pd.DataFrame(
        {
            "trade_id": [
                {"int": k, "text": f"t{k}", "huge": 2**63 + k}[ids] for k in range(len(fills))
            ],
            "time": pd.to_datetime(day).astype("datetime64[ns]"),
            "account": "main",
            "code": [f[6] for f in fills],
            "side": [f[0] for f in fills],
            "effect": [f[1] for f in fills],
            "volume": [f[2] for f in fills],
            "price": [f[3] for f in fills],
            "multiplier": [f[5] for f in fills],
            "fee": [f[4] for f in fills],
        }
    )
    if times == "nat" and len(trades):
        trades.loc[0, "time"] = pd.NaT
    elif times == "tz":
        trades["time"] = trades["time"].dt.tz_localize("UTC")
    elif times == "us":
        trades["time"] = trades["time"].astype("datetime64[us]")
    end = T("2024-02-01", tz="UTC" if times == "tz" else None)
    marks = dict.fromkeys(("A", "B"), (end, 100.0)) if marked else None
    rows = _round_trip_rows(trades, None, None, marks)
    expected = pd.DataFrame(rows, columns=list(ROUND_TRIP_COLUMNS))
    pd.testing.assert_frame_equal(_round_trip_frame(rows), expected, check_exact=True)


def test_accounts_and_codes_are_matched_apart():
    trades = _trades(
        [
            (1, "2024-01-01", "A", "X", "buy", "open", 1, 10.0, 1, 0.0),
            (2, "2024-01-02", "B", "X", "sell", "close", 1, 11.0, 1, 0.0),  # B holds nothing
            (3, "2024-01-02", "A", "Y", "sell", "close", 1, 11.0, 1, 0.0),  # A holds no Y
            (4, "2024-01-03", "A", "X", "sell", "close", 1, 12.0, 1, 0.0),
        ]
    )
    rt = match_round_trips(trades)
    assert len(rt) == 1
    assert (rt["entry_trade_id"].iloc[0], rt["exit_trade_id"].iloc[0]) == (1, 4)
    assert match_round_trips(trades.iloc[:0]).empty


def _equity(rows):
    return pd.DataFrame(
        rows, columns=["time", "account", "cash", "market_value", "margin", "equity"]
    )


def _result(**kw):
    equity = _equity(
        [
            ("2024-01-01", "A", 500, 0, 0, 500),
            ("2024-01-01", "B", 500, 0, 0, 500),
            ("2024-01-02", "A", 400, 110, 0, 510),
            ("2024-01-02", "B", 500, 0, 0, 500),
            ("2024-01-03", "A", 400, 90, 0, 490),
            ("2024-01-03", "B", 500, -3, 40, 497),
            ("2024-01-04", "A", 505, 0, 0, 505),
            ("2024-01-04", "B", 500, 0, 0, 500),
        ]
    )
    trades = _trades(
        [
            (1, "2024-01-02", "A", "X", "buy", "open", 10, 10.0, 1, 0.0),
            (2, "2024-01-04", "A", "X", "sell", "close", 10, 10.5, 1, 0.0),
        ]
    )
    args = dict(frequency="day", initial_cash=1000.0, strategy="demo")
    args.update(kw)
    return BacktestResult(equity, None, trades, None, **args)


def test_curve_drawdown_and_exposure_from_the_equity_frame():
    res = _result()
    assert list(res.equity_curve) == [1000, 1010, 987, 1005]
    assert res.drawdown.to_numpy() == pytest.approx([0, 0, 987 / 1010 - 1, 1005 / 1010 - 1])
    # Day 3: A holds stock (market value 90) and B holds a futures position
    # (margin 40) whose floating P&L is negative; day 4 everything is flat.
    assert list(res.exposure) == [False, True, True, False]
    assert res.stats["Exposure"] == pytest.approx(0.5)
    assert res.stats["Round trips"] == 1 and res.round_trips["pnl"].iloc[0] == pytest.approx(5)
    # Missing frames come back empty with their columns.
    assert {"status", "reason", "stop_id"} <= set(res.orders.columns) and res.orders.empty
    with pytest.raises(ValueError):
        _result(frequency="weekly")


_CELL = st.sampled_from([0.0, -0.0, 5.0, -3.0, float("nan"), float("inf")])


@given(
    st.integers(0, 4),
    st.integers(1, 2),
    st.lists(_CELL, min_size=32, max_size=32),
    st.sampled_from(["rising", "repeated", "falling"]),
)
def test_curve_and_exposure_read_from_the_run_array_equal_those_of_its_table(
    n, accounts, cells, order
):
    days = {"rising": [0, 1, 2, 3], "repeated": [0, 1, 1, 2], "falling": [3, 2, 1, 0]}[order]
    times = pd.DatetimeIndex([T("2024-01-01") + pd.Timedelta(days=d) for d in days[:n]])
    equity = _Equity(times, ["A", "B"][:accounts], np.array(cells[: n * accounts * 4]))
    equity.values = equity.values.reshape(n, accounts, 4)

    def derived(run):
        res = BacktestResult(equity, None, None, None, frequency="day", initial_cash=1.0)
        res._run = run
        return res.equity_curve, res.exposure

    read, tabled = derived(types.SimpleNamespace(equity=equity)), derived(None)
    for ours, theirs in zip(read, tabled):
        pd.testing.assert_series_equal(ours, theirs, check_exact=True)


def test_summary_and_notebook_view():
    res = _result(strategy="<b>x</b>")
    text = res.summary()
    assert text.splitlines()[0] == "<b>x</b> · 2024-01-01 – 2024-01-04"
    assert "Total return" in text and "0.50%" in text
    assert "Max drawdown" in text and "-2.28%" in text  # 987/1010 - 1
    # three days are too few to annualise: the annualised figures are marked, with one line why
    caveat = "annualised from 3 days: not meaningful below about 3 months"
    assert res.caveats == [caveat] and f"\n* {caveat}\n" in text
    assert "Sharpe ratio*" in text and "Calmar ratio*" in text and "Total return*" not in text
    page = res.to_html()
    assert f"* {caveat}." in page and "Sharpe ratio<span class='caveat'>*</span>" in page
    assert "&lt;b&gt;x" in page and "<b>x" not in page
    view = res._repr_html_()
    assert "<b>x</b>" not in view and "&lt;b&gt;x&lt;/b&gt;" in view


@given(st.lists(st.from_regex(r"[A-Z]{2,4}\.[0-9]{1,6}", fullmatch=True)), st.integers(1, 8))
def test_a_list_of_names_shows_its_first_and_counts_the_others(names, shown):
    text = shortened(names, shown)
    named, _, more = text.partition(" and ")
    assert named.split(", ") == names[:shown] if names else text == ""
    assert more == ("" if len(names) <= shown else f"{len(names) - shown:,d} more")
    # given only the first names and the count, the same line
    assert shortened(names[:shown], shown, count=len(names)) == text


def test_lines_listing_2000_codes_stay_short_in_the_summary_and_the_run_section():
    codes = [f"SZSE.{k:06d}" for k in range(2000)]
    res = _result(
        meta={
            "codes": codes,
            "fees": [
                f"{', '.join(codes[:1500])}: 0.03 % commission",
                f"{', '.join(codes[1500:])}: none",
            ],
            "accounts": {f"account{k}": 1000.0 for k in range(20)},
            "contracts": {
                code: {"kind": "stock", "lot_size": 100, "multiplier": 1} for code in codes
            },
        }
    )
    summary = res.summary()
    assert max(map(len, summary.splitlines())) < 200
    assert "SZSE.000000, SZSE.000001" in summary and "and 1,494 more: 0.03 % commission" in summary
    rows = re.findall(r"<tr><th>(.*?)</th><td>(.*?)</td></tr>", res.to_html())
    assert rows and max(len(name) + len(value) for name, value in rows) < 1000
    assert "and 1,960 more" in dict(rows)["Codes"]


def test_save_writes_every_output(tmp_path):
    res = _result(params={"n": 3}, meta={"note": float("nan")})
    out = tmp_path / "new" / "run"
    report = res.save(out)
    assert report == out / "report.html"
    names = {
        "equity.csv",
        "orders.csv",
        "trades.csv",
        "stops.csv",
        "round_trips.csv",
        "stats.json",
        "report.html",
    }
    assert {p.name for p in out.iterdir()} == names | {STORE}  # no temporary file left
    assert {p.name for p in (out / STORE).iterdir()} == {"lock", "current", saved_folder(out).name}
    assert pd.read_csv(out / "equity.csv").shape == (8, 6)
    assert len(pd.read_csv(out / "round_trips.csv")) == 1
    doc = json.loads(
        (out / "stats.json").read_text(), parse_constant=lambda c: pytest.fail(f"not JSON: {c}")
    )
    assert doc["strategy"] == "demo" and doc["params"] == {"n": 3}
    assert doc["meta"] == {"note": None}
    assert doc["stats"]["Final equity"] == 1005
    assert doc["caveats"] == res.caveats != []
    # under water from the peak of day 2 to the end: 2 days, never recovered
    assert doc["drawdowns"] == [
        {
            "peak": "2024-01-02T00:00:00",
            "trough": "2024-01-03T00:00:00",
            "recovery": None,
            "depth": pytest.approx(987 / 1010 - 1),
            "length": 2.0,
        }
    ]
    assert "<h3>Worst drawdowns</h3>" in report.read_text()
    assert report.read_text().startswith("<!DOCTYPE html>")
    assert os.stat(report).st_mode & 0o044  # readable like any file, not private


def test_failed_save_leaves_earlier_files_intact(tmp_path):
    res = _result()
    res.save(tmp_path)
    before = (tmp_path / "round_trips.csv").read_text()

    class Broken(pd.DataFrame):
        def to_csv(self, fh, **kw):
            fh.write("half a fi")
            raise OSError("disk full")

    res2 = _result()
    res2.__dict__["round_trips"] = Broken(res2.round_trips)
    with pytest.raises(OSError, match="disk full"):
        res2.save(tmp_path)
    assert (tmp_path / "round_trips.csv").read_text() == before
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == [STORE]
    assert {p.name for p in (tmp_path / STORE).iterdir()} == {
        "lock",
        "current",
        saved_folder(tmp_path).name,
    }
