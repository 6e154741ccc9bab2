"""The korvit command, run as a user runs it: in a child process."""

import json
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest
from support import korvit, write

from korvit.backtest.stats import STAT_NAMES

EXAMPLES = Path(__file__).resolve().parent.parent / "examples" / "strategies"
GOOD_STRATEGY = """
from korvit.strategy import buy, history, position

def init(context):
    pass

def on_data(context):
    for code in context.codes:
        if len(history(code, "close", 3)) == 2 and position(code) == 0:
            buy(code, 100)
"""


def bars_csv(path, rows=None):
    rows = rows or [
        ("2024-01-02", "SZSE.000001", 10.0, 10.5, 9.8, 10.2, 1000),
        ("2024-01-03", "SZSE.000001", 10.2, 10.6, 10.0, 10.4, 1200),
        ("2024-01-04", "SZSE.000001", 10.4, 10.8, 10.3, 10.7, 900),
        ("2024-01-05", "SZSE.000001", 10.7, 10.9, 10.5, 10.6, 1100),
    ]
    pd.DataFrame(rows, columns=["time", "code", "open", "high", "low", "close", "volume"]).to_csv(
        path, index=False
    )
    return path


def contracts_csv(path):
    """The contract of the bars of ``bars_csv``: a run with it has no code without one
    (whose warning would add a line to what a test reads)."""
    path.write_text("code,kind\nSZSE.000001,stock\n")
    return path


def test_the_version_is_the_installed_distributions():
    import importlib.metadata

    import korvit as package

    shown = korvit("--version")
    assert shown.returncode == 0, shown.stderr
    assert shown.stdout.strip() == f"korvit {package.__version__}"
    assert importlib.metadata.version("korvit") == package.__version__


def test_the_sample_strategy_runs_and_writes_its_report(tmp_path):
    out = tmp_path / "out"
    done = korvit("backtest", EXAMPLES / "ma_cross.py", "--out", out, "--no-progress")
    assert done.returncode == 0, done.stderr
    assert "report:" in done.stdout and "Sharpe" in done.stdout
    for name in (
        "report.html",
        "equity.csv",
        "orders.csv",
        "trades.csv",
        "stops.csv",
        "stats.json",
    ):
        assert (out / name).is_file(), name
    stats = json.loads((out / "stats.json").read_text())
    assert set(stats["stats"]) == set(STAT_NAMES) and stats["stats"]["SQN"] is not None
    # two years of bars: no caveat; the worst drawdowns, the deepest the maximum drawdown
    assert stats["caveats"] == [] and len(stats["drawdowns"]) == 5
    assert stats["drawdowns"][0]["depth"] == stats["stats"]["Max drawdown"]
    trades = pd.read_csv(out / "trades.csv")
    assert len(trades) > 0 and set(trades.side) <= {"buy", "sell"}


def test_the_benchmark_option_names_what_the_run_is_measured_against(tmp_path):
    from korvit.data import sample_path

    closes = (
        pd.read_csv(sample_path("daily.csv")).query("code == 'SZSE.000002'")["close"].to_numpy()
    )
    done = korvit(
        "backtest",
        EXAMPLES / "ma_cross.py",
        "--benchmark",
        "szse.000002",
        "--out",
        tmp_path / "one",
        "--no-progress",
    )
    assert done.returncode == 0, done.stderr
    assert "Benchmark  buy and hold of SZSE.000002, from the first bar's close" in done.stdout
    doc = json.loads((tmp_path / "one" / "stats.json").read_text())
    assert doc["stats"]["Benchmark return"] == pytest.approx(closes[-1] / closes[0] - 1, rel=1e-12)
    done = korvit(
        "backtest",
        EXAMPLES / "ma_cross.py",
        "--benchmark",
        "none",
        "--out",
        tmp_path / "none",
        "--no-progress",
    )
    assert done.returncode == 0, done.stderr
    doc = json.loads((tmp_path / "none" / "stats.json").read_text())
    assert (
        doc["benchmark"] == "none"
        and doc["stats"]["Alpha"] is None
        and doc["stats"]["Benchmark return"] is None
    )
    assert "No benchmark." in (tmp_path / "none" / "report.html").read_text()


def test_the_futures_example_runs_on_minute_bars_with_ticks(tmp_path):
    done = korvit(
        "backtest",
        EXAMPLES / "futures_breakout.py",
        "--data",
        "sample:minute.csv",
        "--ticks",
        "sample:ticks.csv",
        "--contracts",
        "sample:contracts.csv",
        "--out",
        tmp_path / "out",
        "--no-progress",
    )
    assert done.returncode == 0, done.stderr
    stops = pd.read_csv(tmp_path / "out" / "stops.csv")
    assert "fired" in set(stops.status)


def test_the_breakout_example_enters_on_stops_at_the_tick_that_broke_out(tmp_path):
    """Its stop entries fill at or beyond their stops; where the minute has ticks, at the
    price of its first tick at or beyond the stop, dated at that tick."""
    from korvit.data import sample_path

    done = korvit(
        "backtest",
        EXAMPLES / "breakout.py",
        "--data",
        "sample:minute.csv",
        "--ticks",
        "sample:ticks.csv",
        "--contracts",
        "sample:contracts.csv",
        "--out",
        tmp_path / "out",
        "--no-progress",
    )
    assert done.returncode == 0, done.stderr
    orders = pd.read_csv(tmp_path / "out" / "orders.csv", parse_dates=["updated"])
    entries = orders[orders.stop_price.notna()]
    filled = entries[entries.status == "filled"]
    assert len(filled) > 10 and set(entries.status) == {"filled", "cancelled"}
    buys = filled.side == "buy"
    assert (filled.average_price[buys] >= filled.stop_price[buys]).all()
    assert (filled.average_price[~buys] <= filled.stop_price[~buys]).all()
    ticks = pd.read_csv(sample_path("ticks.csv"), parse_dates=["time"])
    ticks["bar"] = ticks.time.dt.ceil("min")
    on_ticks = 0
    for order in filled.itertuples():
        minute = ticks[ticks.bar == order.updated.ceil("min")]
        if minute.empty:
            continue
        beyond = (
            minute[minute.price >= order.stop_price]
            if order.side == "buy"
            else minute[minute.price <= order.stop_price]
        )
        assert (beyond.time.iloc[0], beyond.price.iloc[0]) == (
            order.updated,
            order.average_price,
        ), order
        on_ticks += 1
    assert on_ticks > 10
    stops = pd.read_csv(tmp_path / "out" / "stops.csv")
    assert {"loss", "trailing"} <= set(stops[stops.status == "fired"].kind)


@pytest.mark.parametrize(
    "case", ["missing column", "unsorted times", "NaN price", "unknown code in ticks"]
)
def test_bad_data_ends_with_one_line_naming_the_place(tmp_path, case):
    data = bars_csv(tmp_path / "bars.csv")
    frame = pd.read_csv(data)
    extra = []
    if case == "missing column":
        frame.drop(columns="low").to_csv(data, index=False)
        expected = ["bars.csv", "low"]
    elif case == "unsorted times":
        frame.iloc[[0, 2, 1, 3]].to_csv(data, index=False)
        expected = ["bars.csv", "row", "time"]
    elif case == "NaN price":
        frame.loc[2, "close"] = float("nan")
        frame.to_csv(data, index=False)
        expected = ["bars.csv", "row", "close"]
    else:
        ticks = tmp_path / "ticks.csv"
        pd.DataFrame(
            {"time": ["2024-01-03 10:00"], "code": ["SZSE.000009"], "price": [10.3], "volume": [5]}
        ).to_csv(ticks, index=False)
        extra = ["--ticks", ticks]
        expected = ["ticks.csv", "row", "code", "SZSE.000009"]
    strategy = write(tmp_path / "s.py", GOOD_STRATEGY)
    done = korvit(
        "backtest", strategy, "--data", data, *extra, "--out", tmp_path / "out", "--no-progress"
    )
    assert done.returncode == 2
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in done.stderr, done.stderr
    for word in expected:
        assert word in lines[0], (word, lines[0])


def test_strategy_errors_name_the_strategys_own_line(tmp_path):
    data = bars_csv(tmp_path / "bars.csv")
    broken = write(tmp_path / "broken.py", "def on_data(context)\n    pass\n")
    done = korvit("backtest", broken, "--data", data, "--out", tmp_path / "o1", "--no-progress")
    assert done.returncode == 2 and done.stderr.count("\n") == 1
    assert "broken.py:1" in done.stderr and "syntax error" in done.stderr

    raising = write(
        tmp_path / "raising.py",
        """
        def init(context): pass
        def on_data(context):
            prices = {}
            return prices["SZSE.000001"]
    """,
    )
    done = korvit(
        "backtest",
        raising,
        "--data",
        data,
        "--contracts",
        contracts_csv(tmp_path / "contracts.csv"),
        "--out",
        tmp_path / "o2",
        "--no-progress",
    )
    assert done.returncode == 1 and done.stderr.count("\n") == 1, done.stderr
    assert "raising.py:5: KeyError" in done.stderr
    assert not (tmp_path / "o2" / "report.html").exists()


def test_a_failed_run_leaves_the_earlier_report_alone(tmp_path):
    data = bars_csv(tmp_path / "bars.csv")
    out = tmp_path / "out"
    good = write(tmp_path / "good.py", GOOD_STRATEGY)
    assert korvit("backtest", good, "--data", data, "--out", out, "--no-progress").returncode == 0
    before = {p.name: p.read_bytes() for p in out.iterdir() if p.is_file()}
    bad = write(
        tmp_path / "bad.py",
        "def init(context): pass\ndef on_data(context):\n    raise RuntimeError('boom')\n",
    )
    assert korvit("backtest", bad, "--data", data, "--out", out, "--no-progress").returncode == 1
    assert {p.name: p.read_bytes() for p in out.iterdir() if p.is_file()} == before


def test_a_running_core_process_can_be_named(tmp_path):
    data = bars_csv(tmp_path / "bars.csv")
    good = write(tmp_path / "good.py", GOOD_STRATEGY)
    core = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "korvit.core",
            "--port",
            "0",
            "--cache-root",
            tmp_path / "core-cache",
        ],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        address = core.stdout.readline().split()[-1]  # "korvit core listening on HOST:PORT"
        done = korvit(
            "backtest",
            good,
            "--data",
            data,
            "--core",
            address,
            "--out",
            tmp_path / "out",
            "--no-progress",
        )
        assert done.returncode == 0, done.stderr
        # the handshake set up the run's log directory under that core's cache root
        assert (tmp_path / "core-cache" / "log").is_dir()
    finally:
        core.terminate()
        core.wait(timeout=30)
    done = korvit(
        "backtest",
        good,
        "--data",
        data,
        "--core",
        address,
        "--contracts",
        contracts_csv(tmp_path / "contracts.csv"),
        "--out",
        tmp_path / "out2",
        "--no-progress",
    )
    assert done.returncode == 2 and "cannot reach the core process" in done.stderr
    assert done.stderr.count("\n") == 1


@pytest.mark.parametrize(
    "args, words",
    [
        (["--cash", "-5"], ["--cash", "positive"]),
        (["--param", "3=4"], ["--param", "NAME=VALUE"]),
        (["--core", "nohost"], ["HOST:PORT"]),
        (["--data", "missing.csv"], ["missing.csv"]),
        (["--stop-fill", "open"], ["--stop-fill", "'open'", "first_traded", "stop_price"]),
        (["--limit-fill", "open"], ["--limit-fill", "'open'", "first_traded", "limit_price"]),
    ],
)
def test_bad_arguments_end_with_one_line(tmp_path, args, words):
    strategy = write(tmp_path / "s.py", GOOD_STRATEGY)
    done = korvit("backtest", strategy, *args, "--out", tmp_path / "out", "--no-progress")
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert all(word in done.stderr for word in words), done.stderr
    if {"--stop-fill", "--limit-fill"} & set(args):  # the sweep takes the same run options
        assert not (tmp_path / "out").exists()
        done = korvit(
            "sweep", strategy, "--grid", "n=1,2", *args, "--out", tmp_path / "out", "--no-progress"
        )
        assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
        assert all(word in done.stderr for word in words) and not (tmp_path / "out").exists(), (
            done.stderr
        )


def test_stop_fill_chooses_where_a_stop_that_the_bar_gapped_through_fills(tmp_path):
    """A 5 % stop-loss under a fill at 10.2 (9.69) and a bar that opens at 9.0: by default the
    stop fills at that open, with --stop-fill stop_price at 9.69, above the bar's high."""
    data = bars_csv(
        tmp_path / "gap.csv",
        [
            ("2024-01-02", "SZSE.000001", 10.0, 10.5, 9.8, 10.2, 1000),
            ("2024-01-03", "SZSE.000001", 10.1, 10.6, 10.0, 10.4, 1200),
            ("2024-01-04", "SZSE.000001", 10.2, 10.4, 10.0, 10.3, 1200),
            ("2024-01-05", "SZSE.000001", 9.0, 9.2, 8.8, 9.1, 900),
        ],
    )
    strategy = write(
        tmp_path / "s.py",
        GOOD_STRATEGY.replace("buy(code, 100)", "buy(code, 100, stop_loss=percent(5))").replace(
            "import buy,", "import buy, percent,"
        ),
    )
    exits = {}
    for rule in ("first_traded", "stop_price", None):
        out = tmp_path / str(rule)
        done = korvit(
            "backtest",
            strategy,
            "--data",
            data,
            "--out",
            out,
            "--no-progress",
            *(["--stop-fill", rule] if rule else []),
        )
        assert done.returncode == 0, done.stderr
        trades = pd.read_csv(out / "trades.csv")
        assert trades.side.tolist() == ["buy", "sell"] and trades.price[0] == 10.2
        exits[rule] = trades.price[1]
    assert exits == {"first_traded": 9.0, "stop_price": 9.69, None: 9.0}


@pytest.mark.parametrize(
    "source, status, message",
    [
        (
            "from korvit.strategy import buy\nasync def on_data(context):\n    buy(context.codes[0], 100)\n",
            2,
            "{path}:2: on_data is a coroutine function (async def): korvit calls each callback and goes on, so "
            "its body would never run; define it with a plain def",
        ),
        (
            "import sys\ndef init(context): pass\ndef on_data(context):\n    sys.exit(3)\n",
            1,
            "{path}:4: the strategy called sys.exit(3): the backtest stopped there, no report was written",
        ),
        (
            "import sys\nsys.exit()\n",
            1,
            "{path}:2: the strategy called sys.exit(None): the backtest stopped there, no report was written",
        ),
        (
            "def init(context): pass\ndef on_data(context):\n    pass\0\n",
            2,
            "{path}:3: a null byte at column 9: a strategy is Python source text (is this a binary file?)",
        ),
    ],
)
def test_strategies_that_cannot_run_end_with_one_line_naming_file_and_line(
    tmp_path, source, status, message
):
    data = bars_csv(tmp_path / "bars.csv")
    path = tmp_path / "s.py"
    path.write_bytes(source.encode())
    contracts = contracts_csv(tmp_path / "contracts.csv")
    done = korvit(
        "backtest",
        path,
        "--data",
        data,
        "--contracts",
        contracts,
        "--out",
        tmp_path / "out",
        "--no-progress",
    )
    assert done.returncode == status, done.stderr
    assert done.stderr == f"korvit: {message.format(path=path)}\n"
    assert not (tmp_path / "out" / "report.html").exists()


@pytest.mark.parametrize(
    "command, args, message",
    [
        (
            "backtest",
            ["--out", "{file}"],
            "korvit: --out '{file}' is a file: give a folder (new or existing)",
        ),
        (
            "sweep",
            ["--out", "{file}"],
            "korvit: --out '{file}' is a file: give a folder (new or existing)",
        ),
        (
            "backtest",
            ["--out", "{file}/out"],
            "korvit: --out '{file}/out' lies in a file: '{file}'",
        ),
        (
            "backtest",
            ["--cash", "1e308"],
            "argument --cash: expected a positive number up to 1e13, got '1e308'",
        ),
        (
            "sweep",
            ["--slippage", "nan"],
            "argument --slippage: expected a fraction from 0 up to (not including) 1, got 'nan'",
        ),
        ("backtest", ["--tz", "Mars/Base"], "argument --tz: unknown time zone 'Mars/Base'"),
        (
            "backtest",
            ["--benchmark", "SZSE.999999"],
            "benchmark: unknown code 'SZSE.999999'; the data holds SZSE.000001",
        ),
    ],
)
def test_bad_options_end_with_one_line_and_status_2(tmp_path, command, args, message):
    data = bars_csv(tmp_path / "bars.csv")
    strategy = write(tmp_path / "s.py", GOOD_STRATEGY)
    taken = tmp_path / "taken.txt"
    taken.write_text("keep me")
    args = [arg.format(file=taken) for arg in args] + (
        ["--out", tmp_path / "out"] if "--out" not in args else []
    )
    grid = ["--grid", "x=1,2"] if command == "sweep" else []
    done = korvit(command, strategy, "--data", data, *grid, *args, "--no-progress")
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert message.format(file=taken) in done.stderr
    assert taken.read_text() == "keep me"


def offset_rows(times, code="SZSE.000001"):
    return [(t, code, 10.0, 10.5, 9.8, 10.2, 1000) for t in times]


@pytest.mark.parametrize(
    "case, expected",
    [
        (
            "huge prices",
            "bars.csv, row 3, column 'open': open 1e+308 is above 1e9, the largest open korvit accepts",
        ),
        (
            "year 2300",
            "bars.csv, row 4, column 'time': time '2300-01-04' is outside the times korvit can hold "
            "(1677-09-22 to 2262-04-11)",
        ),
        (
            "mixed offsets",
            "bars.csv, row 3, column 'time': time '2024-01-03T01:30:00Z' has UTC offset +00:00 but the "
            "first time (row 2) has UTC offset +08:00",
        ),
        (
            "tick off its bar",
            "ticks.csv, row 2, column 'price': the tick of SZSE.000001 at 2024-01-03 10:00:00 priced "
            "11 is outside its daily bar's [low, high] = [10, 10.6]",
        ),
    ],
)
def test_values_the_engine_cannot_take_end_with_one_line(tmp_path, case, expected):
    data, extra = tmp_path / "bars.csv", []
    if case == "huge prices":
        bars_csv(
            data,
            offset_rows(["2024-01-02"])
            + [("2024-01-03", "SZSE.000001", 1e308, 1e308, 1e308, 1e308, 1)],
        )
    elif case == "year 2300":
        bars_csv(data, offset_rows(["2024-01-02", "2024-01-03", "2300-01-04"]))
    elif case == "mixed offsets":
        bars_csv(data, offset_rows(["2024-01-02T09:30:00+08:00", "2024-01-03T01:30:00Z"]))
    else:
        bars_csv(data)
        pd.DataFrame(
            {"time": ["2024-01-03 10:00"], "code": ["SZSE.000001"], "price": [11.0], "volume": [5]}
        ).to_csv(tmp_path / "ticks.csv", index=False)
        extra = ["--ticks", tmp_path / "ticks.csv"]
    strategy = write(tmp_path / "s.py", GOOD_STRATEGY)
    done = korvit(
        "backtest", strategy, "--data", data, *extra, "--out", tmp_path / "out", "--no-progress"
    )
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert (
        done.stderr.startswith(f"korvit: {tmp_path / expected.split(',')[0]}")
        and expected in done.stderr
    )


def test_tz_puts_times_with_mixed_offsets_on_one_clock_and_stray_times_of_day_warn(tmp_path):
    data = bars_csv(
        tmp_path / "bars.csv",
        offset_rows(
            [
                "2024-01-02T09:30:00+08:00",
                "2024-01-03T01:30:00Z",
                "2024-01-04T09:30:00+08:00",
                "2024-01-05T01:30:00Z",
            ]
        ),
    )
    strategy = write(tmp_path / "s.py", GOOD_STRATEGY)
    done = korvit(
        "backtest",
        strategy,
        "--data",
        data,
        "--tz",
        "Asia/Shanghai",
        "--out",
        tmp_path / "out",
        "--no-progress",
    )
    assert done.returncode == 0, done.stderr
    equity = pd.read_csv(tmp_path / "out" / "equity.csv")
    assert equity["time"].tolist() == [f"2024-01-0{d} 09:30:00" for d in range(2, 6)]

    stray = bars_csv(
        tmp_path / "stray.csv",
        offset_rows(["2024-01-02", "2024-01-03", "2024-01-03 15:00", "2024-01-04"]),
    )
    done = korvit(
        "backtest",
        strategy,
        "--data",
        stray,
        "--contracts",
        contracts_csv(tmp_path / "contracts.csv"),
        "--out",
        tmp_path / "out2",
        "--no-progress",
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == (
        f"korvit: warning: {stray}, row 4, column 'time': SZSE.000001 at 2024-01-03 15:00:00 has a "
        "time of day while 3 of the 4 bars are at midnight, so the bars are read as minute bars; "
        'if they are daily bars, correct that time (or load them with frequency="day")\n'
    )


def test_a_backtest_writes_its_report_without_bokeh_or_the_sweep_machinery(tmp_path):
    """``korvit backtest`` as the command runs it: the report's charts carry the run's own
    equity (as equity.csv has it) and fills (as trades.csv), and neither Bokeh nor the
    sweep package is imported on the way (the browser draws the charts)."""
    import re

    from korvit.report.report import decode_arrays

    out = tmp_path / "out"
    check = (
        "import sys; from korvit.cli import main; status = main(sys.argv[1:]); "
        "print('imported:', sorted(m for m in sys.modules if m.split('.')[0] == 'bokeh' "
        "or m.startswith('korvit.backtest.sweep.') or m == 'korvit.backtest.sweep')); sys.exit(status)"
    )
    done = subprocess.run(
        [
            sys.executable,
            "-c",
            check,
            "backtest",
            str(EXAMPLES / "ma_cross.py"),
            "--out",
            str(out),
            "--no-progress",
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    assert "imported: []" in done.stdout and "report:" in done.stdout
    html = (out / "report.html").read_text(encoding="utf-8")
    block = re.search(
        r'<script type="application/json" id="korvit-charts">(.*?)</script>', html, re.S
    ).group(1)
    charts = decode_arrays(json.loads(block))
    equity = pd.read_csv(out / "equity.csv", parse_dates=["time"]).groupby("time")["equity"].sum()
    columns = charts["chart-equity"]["columns"]
    assert columns["equity"] == pytest.approx(equity.to_numpy(), rel=1e-12)
    assert (
        columns["time"].tolist() == (equity.index.astype("datetime64[ms]").astype("int64")).tolist()
    )
    trades = pd.read_csv(out / "trades.csv")
    store = charts["chart-prices"]["store"]
    assert sorted(store) == sorted(trades["code"].unique())
    for code, fills in trades.groupby("code"):
        assert store[code]["fills"]["p"] == pytest.approx(fills["price"].to_numpy(), rel=1e-6)


def test_the_python_api_example_runs_and_sweeps_walk_forward(tmp_path):
    """examples/python_api.py, as a user runs it: a run's summary, then a
    walk-forward sweep ranked by a function, with its out-of-sample figures."""
    done = subprocess.run(
        [sys.executable, str(EXAMPLES.parent / "python_api.py")],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=600,
    )
    assert done.returncode == 0, done.stderr
    assert "Total return" in done.stdout and "in_sample" in done.stdout
    assert "out-of-sample total return" in done.stdout.splitlines()[-1]
