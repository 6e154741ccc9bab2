"""The korvit command on data as users have it: a vendor's daily export of one stock, hourly
bars of a currency pair, day-first dates; each run in a child process, as a user runs it."""

import textwrap

import numpy as np
import pandas as pd
import pytest
from support import korvit

STRATEGY = """
from korvit.strategy import buy, position, sell

def init(context):
    pass

def on_data(context):
    code = context.codes[0]
    if position(code) == 0:
        buy(code, 100)
    else:
        sell(code, position(code))
"""


@pytest.fixture
def strategy(tmp_path):
    path = tmp_path / "flip.py"
    path.write_text(textwrap.dedent(STRATEGY))
    return path


def daily_export(path, days=30, start="2004-08-19", date_format="%Y-%m-%d"):
    """A vendor's daily export of one stock: Date, Open, High, Low, Close, Adj Close, Volume, with an
    adjusted close of half the close before a 2:1 split in the middle."""
    rng = np.random.default_rng(7)
    dates = pd.bdate_range(start, periods=days)
    close = np.round(100 + np.cumsum(rng.normal(0, 1, days)), 2)
    open_ = np.round(close + rng.normal(0, 0.5, days), 2)
    high = np.round(np.maximum(open_, close) + 0.5, 2)
    low = np.round(np.minimum(open_, close) - 0.5, 2)
    adj = np.where(np.arange(days) < days // 2, close / 2, close)
    frame = pd.DataFrame(
        {
            "Date": dates.strftime(date_format),
            "Open": open_,
            "High": high,
            "Low": low,
            "Close": close,
            "Adj Close": adj,
            "Volume": rng.integers(10**6, 10**7, days),
        }
    )
    frame.to_csv(path, index=False)
    return frame


def hourly_export(path, hours=48):
    """Hourly bars of a currency pair as pandas saves them: the times in an unnamed first column."""
    times = pd.date_range("2017-04-19 09:00", periods=hours, freq="h")
    price = 1.07 + np.arange(hours) * 1e-4
    pd.DataFrame(
        {
            "Open": price,
            "High": price + 5e-4,
            "Low": price - 5e-4,
            "Close": price + 1e-4,
            "Volume": 1000,
        },
        index=times,
    ).to_csv(path)


def fails_in_one_line(done, out, *phrases):
    assert done.returncode == 2, done.stdout + done.stderr
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("korvit"), done.stderr
    for phrase in phrases:
        assert phrase in lines[0], lines[0]
    assert not out.exists(), "a refused run wrote output"
    return lines[0]


def test_a_vendor_export_runs_with_code_and_says_adj_close_is_ignored(tmp_path, strategy):
    export = daily_export(tmp_path / "GOOG.csv")
    out = tmp_path / "out"
    done = korvit(
        "backtest",
        strategy,
        "--data",
        tmp_path / "GOOG.csv",
        "--code",
        "NASDAQ.GOOG",
        "--out",
        out,
        "--no-progress",
    )
    assert done.returncode == 0, done.stderr
    assert "Bars  30 daily bars of NASDAQ.GOOG" in done.stdout
    warned = [line for line in done.stderr.splitlines() if "Adj Close" in line]
    assert (
        len(warned) == 1 and warned[0].startswith("korvit: warning: ") and "--adjust" in warned[0]
    )
    trades = pd.read_csv(out / "trades.csv")
    assert len(trades) > 5 and set(trades.code) == {"NASDAQ.GOOG"}
    first = trades.iloc[0]  # bought on the second bar, at its open as written
    assert first.time == export.Date[1] and first.price == export.Open[1]


def test_adjust_runs_on_the_adjusted_prices(tmp_path, strategy):
    export = daily_export(tmp_path / "GOOG.csv")
    out = tmp_path / "out"
    done = korvit(
        "backtest",
        strategy,
        "--data",
        tmp_path / "GOOG.csv",
        "--code",
        "NASDAQ.GOOG",
        "--adjust",
        "--out",
        out,
        "--no-progress",
    )
    assert done.returncode == 0, done.stderr
    assert "Adj Close" not in done.stderr
    trades = pd.read_csv(out / "trades.csv").set_index("time")
    factor = export.set_index("Date")["Adj Close"] / export.set_index("Date")["Close"]
    adjusted = (export.set_index("Date")["Open"] * factor).round(8)
    # the engine keeps prices on the stock's 0.01 step: at most a cent below the adjusted open
    gap = adjusted[trades.index] - trades.price
    assert ((gap >= -1e-9) & (gap < 0.01)).all(), gap
    assert (
        trades.price < export.set_index("Date").Open[trades.index] * 0.6
    ).any()  # before the split: halved


def test_day_first_dates_run_with_date_format_and_ambiguous_ones_are_refused(tmp_path, strategy):
    daily_export(
        tmp_path / "eu.csv", days=8, start="2004-09-01", date_format="%d/%m/%Y"
    )  # all days <= 12
    out = tmp_path / "out"
    line = fails_in_one_line(
        korvit(
            "backtest",
            strategy,
            "--data",
            tmp_path / "eu.csv",
            "--code",
            "XETRA.SAP",
            "--out",
            out,
            "--no-progress",
        ),
        out,
        "eu.csv, row 2, column 'Date': '01/09/2004' can be read day first or month first",
        "--date-format",
    )
    assert "time order" not in line
    done = korvit(
        "backtest",
        strategy,
        "--data",
        tmp_path / "eu.csv",
        "--code",
        "XETRA.SAP",
        "--date-format",
        "%d/%m/%Y",
        "--out",
        out,
        "--no-progress",
    )
    assert done.returncode == 0, done.stderr
    equity = pd.read_csv(out / "equity.csv")
    assert equity.time.iloc[0] == "2004-09-01" and equity.time.iloc[-1] == "2004-09-10"


def test_hourly_bars_are_60_minute_bars_and_fill_inside_their_bar(tmp_path, strategy):
    hourly_export(tmp_path / "EURUSD.csv")
    out = tmp_path / "out"
    done = korvit(
        "backtest",
        strategy,
        "--data",
        tmp_path / "EURUSD.csv",
        "--code",
        "FX.EURUSD",
        "--out",
        out,
        "--no-progress",
    )
    assert done.returncode == 0, done.stderr
    assert "Bars  48 60-minute bars of FX.EURUSD" in done.stdout
    trades = pd.read_csv(out / "trades.csv", parse_dates=["time"])
    orders = pd.read_csv(out / "orders.csv", parse_dates=["created"])
    # placed on the bar labelled t, filled on the next bar (t, t + 1 hour] at its open: dated at
    # that bar's start, t, and never before the bar the order was placed on ended
    placed = orders.set_index("order_id").created
    assert (trades.time == placed[trades.order_id].to_numpy()).all()
    assert trades.time.dt.minute.eq(0).all()


def test_hourly_bars_labelled_by_their_start_fill_at_the_start_of_the_bar_they_fill_on(
    tmp_path, strategy
):
    hourly_export(tmp_path / "EURUSD.csv")  # the bar written 09:00 covers 09:00 to 10:00
    out = tmp_path / "out"
    done = korvit(
        "backtest",
        strategy,
        "--data",
        tmp_path / "EURUSD.csv",
        "--code",
        "FX.EURUSD",
        "--bar-time",
        "start",
        "--end",
        "2017-04-19 12:00",
        "--out",
        out,
        "--no-progress",
    )
    assert done.returncode == 0, done.stderr
    written = pd.read_csv(tmp_path / "EURUSD.csv", index_col=0)
    equity = pd.read_csv(out / "equity.csv")
    assert list(equity.time) == [
        "2017-04-19 10:00:00",
        "2017-04-19 11:00:00",
        "2017-04-19 12:00:00",
        "2017-04-19 13:00:00",
    ]  # each bar at its close
    trades = pd.read_csv(out / "trades.csv")
    # bought at the open of the bar written 10:00, dated when that bar opened
    assert trades.time[0] == "2017-04-19 10:00:00"
    assert trades.price[0] == np.floor(written.Open["2017-04-19 10:00:00"] * 100) / 100
    # the report names the bars as the run read them
    html = (out / "report.html").read_text()
    assert "4 60-minute bars" in html and "the start of its period" in html


@pytest.mark.parametrize(
    "args, phrases",
    [
        (["--code", "NASDAQ.GOOG"], ["has codes of its own", "--code"]),
        (["--code", "GOOG"], ["argument --code: code 'GOOG' has no exchange prefix"]),
        (
            ["--code", "NASDAQ.GOOG", "--code", "NASDAQ.X", "--code", "NASDAQ.Y"],
            ["--code is given 3 times for 2 --data"],
        ),
        (
            ["--date-format", "dd/mm/yyyy"],
            ["argument --date-format: date_format 'dd/mm/yyyy' holds no strftime codes"],
        ),
        (["--date-format", "%d/%Q"], ["argument --date-format:", "'Q' is a bad directive"]),
        (
            ["--date-format", "%d/%m/%Y"],
            ["row 2, column 'time': date_format '%d/%m/%Y' reads none of the times"],
        ),
        (["--adjust"], ["adjust=True (--adjust)", "no adjusted close column"]),
        (["--bar-time", "middle"], ["argument --bar-time: invalid choice: 'middle'"]),
    ],
)
def test_bad_new_options_are_refused_in_one_line(tmp_path, strategy, args, phrases):
    coded = tmp_path / "coded.csv"
    pd.DataFrame(
        {
            "time": ["2024-01-02", "2024-01-03"],
            "code": "SZSE.000001",
            "open": 10,
            "high": 11,
            "low": 9,
            "close": 10.5,
            "volume": 100,
        }
    ).to_csv(coded, index=False)
    data = ["--data", coded] + (["--data", coded] if args.count("--code") == 3 else [])
    out = tmp_path / "out"
    fails_in_one_line(
        korvit("backtest", strategy, *data, *args, "--out", out, "--no-progress"), out, *phrases
    )


def test_a_sweep_reads_the_vendor_export_the_same_way(tmp_path, strategy):
    daily_export(tmp_path / "eu.csv", days=20, start="2004-09-01", date_format="%d/%m/%Y")
    (tmp_path / "grid.py").write_text(
        textwrap.dedent(STRATEGY).replace(
            "buy(code, 100)", "buy(code, context.params.get('lots', 1) * 100)"
        )
    )
    out = tmp_path / "sweep"
    done = korvit(
        "sweep",
        tmp_path / "grid.py",
        "--data",
        tmp_path / "eu.csv",
        "--code",
        "XETRA.SAP",
        "--adjust",
        "--grid",
        "lots=1,2",
        "--workers",
        "1",
        "--out",
        out,
        "--no-progress",
    )
    assert done.returncode == 0, done.stderr
    table = pd.read_csv(out / "sweep.csv")
    assert list(table.status) == ["ok", "ok"] and (table["Trades"] > 0).all()
