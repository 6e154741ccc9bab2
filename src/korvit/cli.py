"""The ``korvit`` command.

    korvit backtest STRATEGY.py [--data PATH ...] [--code CODE ...] [--codes A,B,...] [--adjust] [--date-format FORMAT]
                                [--bar-time end|start]
                                [--ticks PATH] [--contracts FILE] [--lot-size N]
                                [--cash N] [--start DATE] [--end DATE] [--tz ZONE] [--param NAME=VALUE ...]
                                [--slippage F] [--cancel-stale-orders] [--fees contracts|none]
                                [--stop-fill RULE] [--limit-fill RULE]
                                [--benchmark CODE|traded|equal-weight|none]
                                [--calendar NAME|24/7|weekdays]
                                [--out DIR] [--core HOST:PORT]
    korvit sweep STRATEGY.py --grid NAME=V1,V2,... [--grid ...] [the data options above]
                             [--backend local|ray] [--address HOST:PORT] [--workers N]
                             [--walk-forward TRAIN_DAYS,TEST_DAYS [--step DAYS] [--expanding] [--warmup N]]
                             [--metric NAME] [--out DIR]
                             [--resume] [--keep-equity] [--timeout SECONDS]

Without ``--data`` the strategy runs on the shipped sample data (daily bars
of three stocks and a futures contract).  ``sample:NAME`` names a sample
file anywhere a path is expected (``--data sample:minute.csv --ticks
sample:ticks.csv``).  Bad input ends with a one-line message and exit
status 2; an error raised by the strategy names its file and line and ends
with status 1.
"""

import argparse
import ast
import os
import sys
import traceback
from pathlib import Path

import korvit

__all__ = ["main"]

# Where a stop fired on the bar alone fills, the default first (as korvit.backtest.options.STOP_FILLS,
# repeated here so that --help does not import the run loop).
STOP_FILLS = ("first_traded", "stop_price")
# Where a limit order the market reached at a better price fills, the default first (as
# korvit.backtest.options.LIMIT_FILLS).
LIMIT_FILLS = ("first_traded", "limit_price")
# The named benchmarks (as korvit.backtest.benchmark.BENCHMARKS), the default first.
BENCHMARKS = ("traded", "equal-weight", "none")
# The kinds of results of an output folder (as korvit.backtest.files has them).
BACKTEST, SWEEP, WALK_FORWARD, PAPER = "backtest", "sweep", "walk-forward", "paper"


class UsageError(Exception):
    """Bad command-line input."""


class _Parser(argparse.ArgumentParser):
    """argparse, with a bad command line reported in one line."""

    def error(self, message):
        self.exit(2, f"{self.prog}: {message} (see {self.prog.split()[0]} --help)\n")


def _path(text):
    """A path, or the shipped sample file for ``sample:NAME``."""
    if text.startswith("sample:"):
        from korvit.data import sample_path

        return sample_path(text[len("sample:") :])
    return Path(text)


def _codes(text):
    """``--codes A,B,...``: the codes, each checked."""
    from korvit.data import DataError, check_code

    codes = [code.strip() for code in text.split(",") if code.strip()]
    if not codes:
        raise argparse.ArgumentTypeError(f"--codes takes codes A,B,..., got {text!r}")
    try:
        return [check_code(code) for code in codes]
    except DataError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _param(text):
    name, sep, value = text.partition("=")
    if not sep or not name.isidentifier():
        raise argparse.ArgumentTypeError(f"a parameter is NAME=VALUE, got {text!r}")
    try:
        value = ast.literal_eval(value)
    except (ValueError, SyntaxError):
        pass  # plain text
    return name, value


def _grid(text):
    """``NAME=V1,V2,...``: a parameter and its values; a value ``START:STOP[:STEP]``
    (numbers) stands for the range from START up to STOP by STEP (default 1),
    STOP included when it lands on a step."""
    from korvit.backtest.sweep.space import SweepError, parse_range

    name, sep, values = text.partition("=")
    if not sep or not name.isidentifier():
        raise argparse.ArgumentTypeError(
            f"a grid is NAME=V1,V2,... or NAME=START:STOP:STEP, got {text!r}"
        )
    items = [item.strip() for item in values.split(",")]
    if not any(items):
        raise argparse.ArgumentTypeError(f"{name} has no values in {text!r}")
    if not all(items):
        raise argparse.ArgumentTypeError(f"an empty value in {text!r}")
    out = []
    for item in items:
        try:
            spread = parse_range(item)
        except SweepError as exc:
            raise argparse.ArgumentTypeError(f"{name}: {exc}") from None
        out += spread if spread is not None else [_param(f"{name}={item}")[1]]
    return name, out


def _days(text):
    train, sep, test = text.partition(",")
    try:
        days = int(train), int(test)
    except ValueError:
        days = (0, 0)
    if not sep or min(days) <= 0:
        raise argparse.ArgumentTypeError(
            f"expected TRAIN_DAYS,TEST_DAYS (whole days > 0), got {text!r}"
        )
    return days


def _count(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 1, got {text!r}")
    return value


def _whole(text):
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 0, got {text!r}")
    return value


def _positive(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"expected a positive number, got {text!r}")
    return value


def _speed(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"expected bars a second, 0 or more, got {text!r}")
    return value


def _cash(text):
    from korvit.data.limits import MAX_CASH, fmt_bound

    value = _positive(text)
    if value > MAX_CASH:
        raise argparse.ArgumentTypeError(
            f"expected a positive number up to {fmt_bound(MAX_CASH)}, got {text!r}"
        )
    return value


def _lot(text):
    from korvit.backtest.options import MAX_LOT_SIZE
    from korvit.data.lots import check_lot

    try:
        return check_lot(float(text), "lot size")
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected a number above 0 up to {MAX_LOT_SIZE:,d} (0.001 for thousandths), "
            f"got {text!r}"
        ) from None


def _slippage(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0 <= value < 1:
        raise argparse.ArgumentTypeError(
            f"expected a fraction from 0 up to (not including) 1, got {text!r}"
        )
    return value


def _code(text):
    from korvit.data import DataError, check_code

    try:
        return check_code(text)
    except DataError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _date_format(text):
    from korvit.data._table import check_date_format

    try:
        return check_date_format(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _zone(text):
    from korvit.data._table import check_zone

    try:
        return check_zone(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _benchmark(text):
    """A named benchmark (in any case), else a code (checked against the data by the run)."""
    text = text.strip()
    if not text:
        raise argparse.ArgumentTypeError("expected a code, traded, equal-weight or none")
    return text.lower() if text.lower() in BENCHMARKS else text


def _parser():
    parser = _Parser(
        prog="korvit", description="Korvit: fast backtests of stock and futures strategies."
    )
    parser.add_argument("--version", action="version", version=f"korvit {korvit.__version__}")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    bt = sub.add_parser(
        "backtest",
        help="run a strategy over bars and write its report",
        description="Run a strategy file over bars; print a summary and write the report.",
    )
    _run_arguments(bt, "a strategy parameter, read as context.params[NAME] (repeatable)")
    bt.add_argument("--out", metavar="DIR", help="output folder (default: korvit-results/STRATEGY)")
    bt.add_argument(
        "--format",
        choices=("csv", "parquet"),
        default="csv",
        help="the tables' files: equity.csv, orders.csv, ... (default) or equity.parquet, ...",
    )
    bt.add_argument(
        "--core", metavar="HOST:PORT", help="a running core process (default: an embedded one)"
    )
    bt.add_argument("--no-progress", action="store_true", help="no progress bar")
    bt.add_argument("--debug", action="store_true", help="show full tracebacks")

    pp = sub.add_parser(
        "paper",
        help="run a strategy forward on a live feed, with fills on paper",
        description="Run a strategy file forward on a feed's bars as they come: each finished "
        "bar is dealt as in a backtest, then on_data runs; the report and tables are written "
        "as it goes, and a journal in --out lets the same command resume after a stop or a crash.",
    )
    pp.add_argument("strategy", help="the strategy's Python file")
    pp.add_argument(
        "--feed",
        required=True,
        metavar="FEED",
        help="replay:PATH[,PATH...] (a data file or folder played on a clock), "
        "ccxt:EXCHANGE:SYMBOL:TIMEFRAME (an exchange's candles, e.g. ccxt:binance:BTC/USDT:1m), "
        "or module:Class (a feed of your own)",
    )
    pp.add_argument(
        "--warmup",
        type=_whole,
        default=0,
        metavar="N",
        help="bars of history before the first live one",
    )
    pp.add_argument(
        "--ticks", metavar="PATH", help="a replay's ticks inside its bars (CSV or Parquet)"
    )
    pp.add_argument(
        "--speed",
        type=_speed,
        default=1.0,
        metavar="N",
        help="a replay's bars a second (0: as fast as it can; default 1)",
    )
    pp.add_argument(
        "--feed-timeout",
        type=_positive,
        default=300.0,
        metavar="SECONDS",
        help="stop when the feed gives no bar for this long (default 300); a line each minute meanwhile",
    )
    _trading_arguments(pp, "a strategy parameter, read as context.params[NAME] (repeatable)")
    pp.add_argument("--out", metavar="DIR", help="output folder (default: korvit-paper/STRATEGY)")
    pp.add_argument(
        "--core", metavar="HOST:PORT", help="a running core process (default: an embedded one)"
    )
    pp.add_argument("--no-status", action="store_true", help="no status line")
    pp.add_argument("--debug", action="store_true", help="show full tracebacks")

    sw = sub.add_parser(
        "sweep",
        help="run a strategy once per parameter set and report the best",
        description="Run a strategy once per parameter set of a grid, in worker processes; "
        "write sweep.csv, a heat map and a report of the best runs.",
    )
    _run_arguments(sw, "a parameter fixed for every run (repeatable)")
    sw.add_argument(
        "--grid",
        action="append",
        type=_grid,
        default=[],
        metavar="NAME=V1,V2,...",
        help="a parameter and its values, or a range START:STOP:STEP (STOP included when it lands "
        "on a step); every combination runs (repeatable)",
    )
    sw.add_argument(
        "--where",
        metavar="EXPRESSION",
        help='run only the parameter sets for which it holds, e.g. "fast < slow" (parameter names, '
        "numbers, comparisons, and/or/not, + - * / // %%)",
    )
    sw.add_argument(
        "--sample",
        type=_count,
        metavar="N",
        help="run N of the parameter sets: drawn at random, or chosen by --sampler optuna",
    )
    sw.add_argument(
        "--sampler",
        choices=("random", "optuna"),
        default="random",
        help="how --sample chooses: at random (default) or by Optuna's model of the results so far "
        "(pip install 'korvit[optuna]')",
    )
    sw.add_argument("--seed", type=_whole, metavar="S", help="seed of --sample (default 0)")
    sw.add_argument(
        "--backend",
        choices=("local", "ray"),
        default="local",
        help="local worker processes (default) or Ray",
    )
    sw.add_argument(
        "--address", metavar="HOST:PORT", help="a running Ray cluster (default: a local Ray)"
    )
    sw.add_argument(
        "--workers",
        type=_count,
        metavar="N",
        help="runs at once (default: every core, or the Ray cluster's CPUs)",
    )
    sw.add_argument(
        "--walk-forward",
        type=_days,
        metavar="TRAIN_DAYS,TEST_DAYS",
        help="rolling splits: the grid runs on each training window, the best set on the test "
        "window after it",
    )
    sw.add_argument(
        "--step",
        type=_count,
        metavar="DAYS",
        help="with --walk-forward: days from one test window's start to the next (default: TEST_DAYS)",
    )
    sw.add_argument(
        "--expanding",
        action="store_true",
        help="with --walk-forward: every training window starts at the data's start",
    )
    sw.add_argument(
        "--warmup",
        type=_whole,
        metavar="N",
        help="with --walk-forward: bars before each window its runs see as history, trading only "
        "inside it (default: as many as the training window holds; 0: none)",
    )
    sw.add_argument(
        "--metric",
        default="Sharpe ratio",
        metavar="NAME",
        help="statistic of the heat map and the ranking (default: Sharpe ratio; 'sharpe', "
        "'total_return', ... do), in its better direction: lower for the longest drawdown, "
        "volatility, fees, denied and cancelled orders, higher for the others",
    )
    sw.add_argument(
        "--minimize",
        action="store_true",
        help="rank lower values of --metric first (for a loss kept as a negative number, "
        "such as Max drawdown: the smallest loss first)",
    )
    sw.add_argument(
        "--min-trades",
        type=_whole,
        metavar="N",
        help="rank only runs with at least N trades (the others stay in the table)",
    )
    sw.add_argument(
        "--heat-map",
        metavar="X,Y",
        help="the two parameters of the heat map (default: the first two)",
    )
    sw.add_argument(
        "--top", type=_count, default=20, metavar="N", help="best runs in the report (default 20)"
    )
    sw.add_argument(
        "--out",
        metavar="DIR",
        help="output folder (default: korvit-results/STRATEGY-sweep, or STRATEGY-walk-forward "
        "with --walk-forward); one holding another kind's results is refused",
    )
    sw.add_argument(
        "--resume", action="store_true", help="skip the runs already saved in the output folder"
    )
    sw.add_argument(
        "--keep-equity", action="store_true", help="save each run's equity curve under equity/"
    )
    sw.add_argument(
        "--timeout", type=_positive, metavar="SECONDS", help="stop and fail a run that takes longer"
    )
    sw.add_argument("--no-progress", action="store_true", help="no progress bar")
    sw.add_argument("--debug", action="store_true", help="show full tracebacks")
    return parser


def _run_arguments(parser, param_help):
    """The strategy, its data and the run options, shared by backtest and sweep."""
    parser.add_argument("strategy", help="the strategy's Python file")
    parser.add_argument(
        "--data",
        action="append",
        metavar="PATH",
        help="bars: CSV or Parquet, long or wide (repeatable), or a folder of files named by "
        "their codes (SSE.600000.csv) or a partitioned Parquet dataset (default: the sample "
        "daily bars)",
    )
    parser.add_argument(
        "--codes",
        type=_codes,
        metavar="A,B,...",
        help="run on these codes of the data only (a folder's other files are not read)",
    )
    parser.add_argument(
        "--code",
        action="append",
        type=_code,
        metavar="CODE",
        help="the code (EXCHANGE.SYMBOL) of a --data file without a code column, e.g. "
        "NASDAQ.GOOG (once for every file, or once per file)",
    )
    parser.add_argument(
        "--adjust",
        action="store_true",
        help="scale the bars by their adjusted close (column 'Adj Close')",
    )
    parser.add_argument(
        "--date-format",
        type=_date_format,
        metavar="FORMAT",
        help="how the data's times are written, e.g. %%d/%%m/%%Y (default: read from the "
        "data; dates such as 01/09/2004 that can be day or month first are refused)",
    )
    parser.add_argument(
        "--bar-time",
        choices=("end", "start"),
        default="end",
        help="what an intraday bar's time marks: the end of its period (default) or its "
        "start, as many vendors write it",
    )
    parser.add_argument("--ticks", metavar="PATH", help="ticks inside the bars (CSV or Parquet)")
    _trading_arguments(parser, param_help, start_end=True)


def _trading_arguments(parser, param_help, start_end=False):
    """The contracts, cash, parameters and fill rules of a run (backtest, sweep, paper)."""
    parser.add_argument(
        "--contracts",
        metavar="FILE",
        help="contract table (CSV or JSON); a code it does not list is a stock in lots of 100 "
        "without fees",
    )
    parser.add_argument(
        "--lot-size",
        type=_lot,
        metavar="N",
        help="the lot of every code without a contract, any number above 0 such as 0.001 "
        "(default 100, a stock's)",
    )
    parser.add_argument(
        "--cash", type=_cash, default=1_000_000.0, help="starting cash (default 1,000,000)"
    )
    if start_end:
        parser.add_argument("--start", metavar="DATE", help="first bar time to use")
        parser.add_argument("--end", metavar="DATE", help="last bar time to use")
    parser.add_argument(
        "--param", action="append", type=_param, default=[], metavar="NAME=VALUE", help=param_help
    )
    parser.add_argument(
        "--slippage", type=_slippage, default=0.0, help="fraction market orders pay (0.001 = 0.1%%)"
    )
    if start_end:
        parser.add_argument(
            "--tz",
            type=_zone,
            metavar="ZONE",
            help="time zone to convert times written with a UTC offset to, e.g. Asia/Shanghai "
            "(default: times keep their wall time; mixed offsets are refused)",
        )
    parser.add_argument(
        "--cancel-stale-orders",
        action="store_true",
        help="at each day's first bar, cancel the orders left pending from an earlier day",
    )
    parser.add_argument(
        "--fees",
        choices=("contracts", "none"),
        default="contracts",
        help="fees as the contracts state them (default), or none at all",
    )
    parser.add_argument(
        "--stop-fill",
        choices=STOP_FILLS,
        default=STOP_FILLS[0],
        metavar="RULE",
        help="where a stop fired on the bar alone fills: first_traded (default: the bar's "
        "open when it opened beyond the stop, else the stop's price) or stop_price "
        "(the stop's price, even when the bar opened beyond it)",
    )
    parser.add_argument(
        "--limit-fill",
        choices=LIMIT_FILLS,
        default=LIMIT_FILLS[0],
        metavar="RULE",
        help="where a limit order fills when the market reached it at a better price: "
        "first_traded (default: the bar's open when it opened at or better than the limit) "
        "or limit_price (the limit, even then)",
    )
    parser.add_argument(
        "--benchmark",
        type=_benchmark,
        default=BENCHMARKS[0],
        metavar="CODE|traded|equal-weight|none",
        help="what the run is measured against: buy and hold, equal weight, from the first "
        "bar's close, of the codes traded (default; every code when none was), of every "
        "code of the data (equal-weight) or of one code; or none",
    )
    parser.add_argument(
        "--calendar",
        metavar="NAME|24/7|weekdays",
        help="the trading calendar: an exchange of exchange-calendars or an alias (XNYS, NYSE, "
        "XSHG, CMES, ...), 24/7 or weekdays (default: 24/7 for bars on weekends, else the "
        "exchange the codes' prefix names, else weekdays); it sets the sessions a year that "
        "annualise the figures and the day of day orders",
    )


def _inputs(args):
    """The data, ticks and contracts the command line names (the samples by default)."""
    data = [_path(p) for p in args.data] if args.data else [_path("sample:daily.csv")]
    contracts = _path(args.contracts) if args.contracts else None
    if contracts is None and not args.data:
        contracts = _path("sample:contracts.csv")
    ticks = _path(args.ticks) if args.ticks else None
    return data if len(data) > 1 else data[0], ticks, contracts


def _reading(args):
    """How the bars are read: the options of load_bars the command line gives."""
    code = args.code
    if code is not None:
        files = len(args.data or ())
        if not files:
            raise UsageError(
                "--code names the code of a --data file without a code column: give the file "
                "with --data"
            )
        if len(code) not in (1, files):
            raise UsageError(
                f"--code is given {len(code)} times for {files} --data files: give one code "
                "for every file, or one per file"
            )
        code = code[0] if len(code) == 1 else code
    return {
        "code": code,
        **({"codes": args.codes} if args.codes else {}),
        "adjust": args.adjust,
        "date_format": args.date_format,
        "bar_time": args.bar_time,
    }


def _read_otherwise(reading):
    """Whether the bars are read other than by default."""
    return any(
        (
            reading["code"],
            reading.get("codes"),
            reading["adjust"],
            reading["date_format"],
            reading["bar_time"] != "end",
        )
    )


def _out(args, default, kind, out=None):
    """The output folder (``out``, else ``--out``, else one named ``default`` in
    korvit-results); refused when it names a file, or a folder holding the
    results of another kind of run (``korvit.backtest.files.results_kind``),
    which these would replace."""
    from korvit.backtest.files import kind_clash

    if out is None:
        out = Path(args.out) if args.out else Path("korvit-results") / default
    for place in (out, *out.parents):  # the nearest existing one must be a folder
        if place.exists():
            if not place.is_dir():
                which = "" if place == out else f": {str(place)!r}"
                raise UsageError(
                    f"--out {str(out)!r} is a file{which}: give a folder (new or existing)"
                    if not which
                    else f"--out {str(out)!r} lies in a file{which}"
                )
            break
    clash = kind_clash(out, kind)
    if clash is not None:
        raise UsageError(clash)
    return out


def _backtest(args):
    import warnings

    from korvit.backtest.results import OrdersDeniedWarning, denials_line
    from korvit.backtest.runner import Backtest

    data, ticks, contracts = _inputs(args)
    reading = _reading(args)
    strategy = Path(args.strategy)
    out = _out(args, strategy.stem, BACKTEST)
    test = Backtest(
        strategy,
        data,
        ticks=ticks,
        contracts=contracts,
        tz=args.tz,
        **reading,
        cash=args.cash,
        start=args.start,
        end=args.end,
        params=dict(args.param),
        slippage=args.slippage,
        cancel_stale_orders=args.cancel_stale_orders,
        fees=args.fees,
        stop_fill=args.stop_fill,
        limit_fill=args.limit_fill,
        default_lot_size=args.lot_size,
        benchmark=args.benchmark,
        calendar=args.calendar,
        core=args.core,
        output=out,
        progress=False if args.no_progress else None,
    )
    with warnings.catch_warnings():  # told below, with the saved orders.csv
        warnings.simplefilter("ignore", OrdersDeniedWarning)
        result = test.run()
    report = result.save(out, format=args.format)
    print(result.summary())
    print(f"\nreport: {report}")
    denied = denials_line(result.orders, str(report.parent / f"orders.{args.format}"))
    if denied:
        sys.stdout.flush()
        print(f"korvit: warning: {denied}", file=sys.stderr)
    return 0


def _paper(args):
    from korvit.live.run import PaperStopped, paper

    strategy = Path(args.strategy)
    out = Path(args.out) if args.out else Path("korvit-paper") / strategy.stem
    out = _out(args, strategy.stem, PAPER, out)
    contracts = _path(args.contracts) if args.contracts else None
    if contracts is None and args.feed.startswith("replay:sample:"):
        contracts = _path("sample:contracts.csv")
    try:
        result = paper(
            strategy,
            args.feed,
            out,
            warmup=args.warmup,
            speed=args.speed,
            feed_timeout=args.feed_timeout,
            status=None if args.no_status else sys.stderr,
            feed_options={"ticks": _path(args.ticks)} if args.ticks else None,
            contracts=contracts,
            cash=args.cash,
            params=dict(args.param),
            slippage=args.slippage,
            cancel_stale_orders=args.cancel_stale_orders,
            fees=args.fees,
            stop_fill=args.stop_fill,
            limit_fill=args.limit_fill,
            default_lot_size=args.lot_size,
            benchmark=args.benchmark,
            calendar=args.calendar,
            core=args.core,
        )
    except PaperStopped as stopped:
        sys.stderr.write("\n")
        print(f"korvit: {stopped}", file=sys.stderr)
        return 130 if "Ctrl-C" in str(stopped) else 1
    if not args.no_status:
        sys.stderr.write("\n")
    if result is None:
        print(f"korvit: the feed {args.feed} ended before its first live bar: nothing was dealt")
        return 0
    print(result.summary())
    print(f"\nreport: {out / 'report.html'}")
    return 0


def _sweep(args):
    import warnings

    from korvit.backtest.sweep import Objective, sweep, walk_forward
    from korvit.backtest.sweep.execute import _interrupt_held
    from korvit.report.sweep_report import (
        best_runs,
        denied_runs,
        parameter_columns,
        save_sweep_report,
    )

    if not args.grid:
        raise UsageError("give the parameters to sweep: --grid NAME=V1,V2,... (repeatable)")
    grid = {}
    for name, values in args.grid:
        if name in grid:
            raise UsageError(f"--grid {name} is given twice")
        grid[name] = values
    heat = None
    if args.heat_map:
        heat = [name.strip() for name in args.heat_map.split(",")]
        if len(heat) != 2 or any(name not in grid for name in heat) or heat[0] == heat[1]:
            raise UsageError(
                f"--heat-map takes two parameters of the grid (X,Y), got {args.heat_map!r}"
            )
    if (args.sampler != "random" or args.seed is not None) and args.sample is None:
        raise UsageError("--sampler and --seed choose the runs of --sample N: give it")
    if args.address and args.backend != "ray":
        raise UsageError("--address names a Ray cluster: use it with --backend ray")
    given = [
        flag
        for flag, value in (
            ("--step", args.step),
            ("--expanding", args.expanding or None),
            ("--warmup", args.warmup),
        )
        if value is not None
    ]
    if given and not args.walk_forward:
        raise UsageError(
            f"{given[0]} shapes the walk-forward splits: give --walk-forward TRAIN_DAYS,TEST_DAYS"
        )
    rank = Objective(
        args.metric, minimize=True if args.minimize else None, min_trades=args.min_trades
    )
    metric = rank.metric
    data, ticks, contracts = _inputs(args)
    reading = _reading(args)
    strategy = Path(args.strategy)
    kind = WALK_FORWARD if args.walk_forward else SWEEP
    out = _out(args, f"{strategy.stem}-{kind}", kind)
    splits = None
    loaded = bool(args.walk_forward or args.tz or _read_otherwise(reading))
    if loaded:  # the splits cover the bars, loaded (and trimmed) here once
        from korvit.backtest.inputs import load_inputs

        data, ticks = load_inputs(
            data, ticks, start=args.start, end=args.end, tz=args.tz, reading=reading
        )
    if args.walk_forward:
        train, test = args.walk_forward
        splits = walk_forward(
            data.times[0],
            data.times[-1],
            train=train,
            test=test,
            step=args.step,
            expanding=args.expanding,
        )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        frame = sweep(
            strategy,
            data,
            grid,
            where=args.where,
            sample=args.sample,
            sampler=args.sampler,
            seed=args.seed,
            splits=splits,
            warmup=args.warmup,
            select=metric,
            minimize=rank.minimize,
            min_trades=rank.min_trades,
            ticks=ticks,
            contracts=contracts,
            start=None if loaded else args.start,
            end=None if loaded else args.end,
            params=dict(args.param),
            backend=args.backend,
            workers=args.workers,
            address=args.address,
            keep="equity" if args.keep_equity else None,
            out=out,
            resume=args.resume,
            timeout=args.timeout,
            progress=False if args.no_progress else None,
            cash=args.cash,
            slippage=args.slippage,
            cancel_stale_orders=args.cancel_stale_orders,
            fees=args.fees,
            stop_fill=args.stop_fill,
            limit_fill=args.limit_fill,
            **({"default_lot_size": args.lot_size} if args.lot_size is not None else {}),
            # the default stays out of the options, so that a sweep saved before can be resumed
            **({"benchmark": args.benchmark} if args.benchmark != BENCHMARKS[0] else {}),
            **({"calendar": args.calendar} if args.calendar is not None else {}),
        )
    with _interrupt_held(absorb=True):  # every run is saved: Ctrl-C stops nothing now
        report = save_sweep_report(
            frame,
            out,
            metric,
            *(heat or (None, None)),
            top=args.top,
            title=f"{strategy.stem}: {'walk-forward' if args.walk_forward else 'parameter sweep'}",
        )
    failed = frame[frame["status"] != "ok"]
    best = best_runs(frame, metric, 10)
    tests = frame[frame["phase"] == "test"]
    runs, every = denied_runs(frame)
    columns = parameter_columns(frame) + list(
        dict.fromkeys([metric, "Total return", "Max drawdown", "Trades"])
    )
    columns += ["Orders denied"] if runs and metric != "Orders denied" else []
    if len(tests):  # training runs of different splits: each shown with its split
        print(f"Best training runs by {rank.describe()}, each on its split's training window:")
        print(_terminal_table(best, ["split"] + columns) if len(best) else "(none)")
        walked = frame.attrs.get("walk_forward")
        if walked is not None:
            print(
                "\nWalk-forward test runs: each split's best training parameters on its test window "
                "(IS: the chosen training run, OOS: the test run; efficiency: OOS over IS annualised return):"
            )
            print(
                _walk_forward_table(walked, parameter_columns(frame), rank.label).to_string(
                    index=False
                )
            )
            print(
                f"\nOut of sample, the test windows stitched ({len(walked.equity):,d} bars): "
                + _walk_forward_figures(walked)
                if len(walked.equity)
                else "\nOut of sample: no test run finished"
            )
        else:
            print(
                "\nWalk-forward test runs: each split's best training parameters on its test window:"
            )
            print(_terminal_table(tests, ["split"] + columns + ["status"]))
    elif len(best):
        print(_terminal_table(best, columns))
    print(f"\n{len(frame) - len(failed)} runs finished, {len(failed)} failed")
    if len(failed):
        print(f"first failure: {failed.iloc[0]['error']}")
    print(f"table: {out / 'sweep.csv'}\nreport: {report}")
    if runs:
        sys.stdout.flush()
        print(
            f"korvit: warning: {runs} of {len(frame) - len(failed)} runs had orders denied"
            + (f", {every} of them every order" if every else "")
            + f"; see the column 'Orders denied' of {out / 'sweep.csv'}",
            file=sys.stderr,
        )
    if frame.attrs.get("interrupted"):
        print("korvit: interrupted; --resume runs the rest", file=sys.stderr)
        return 130
    if len(tests) and not (tests["status"] == "ok").any():
        print(
            f"korvit: every walk-forward test failed; first: {tests.iloc[0]['error']}",
            file=sys.stderr,
        )
        return 1
    return 1 if len(frame) and len(failed) == len(frame) else 0


def _terminal_table(rows, columns):
    """``columns`` of a sweep's ``rows`` as the terminal shows them: the
    statistics in the units and with the figures of the backtest's summary
    (``format_stat``: percentages, thousands separators, days), an objective
    function's scores to four digits, the rest as they are."""
    import pandas as pd

    from korvit.backtest.stats import STAT_NAMES, format_stat
    from korvit.backtest.sweep.objective import SCORE_COLUMN

    shown = rows[columns].copy()
    for name in columns:
        if name in STAT_NAMES:
            shown[name] = [format_stat(name, value) for value in rows[name]]
        elif name == SCORE_COLUMN:
            shown[name] = ["–" if pd.isna(value) else f"{value:.4g}" for value in rows[name]]
    return shown.to_string(index=False)


def _walk_forward_table(walked, params, label):
    """The per-split table of a walk-forward, as printed: the windows' dates, the
    parameters chosen, the ranking statistic and the annualised return in and out
    of sample, their ratio, the test run's trades and status."""
    import pandas as pd

    from korvit.backtest.stats import STAT_NAMES, format_stat

    splits, metric = walked.splits, walked.metric

    def shown(name, value):
        if value is None or value is pd.NA or pd.isna(value):
            return "–"
        return format_stat(name, value) if name in STAT_NAMES else f"{value:.2f}"

    def spans(starts, ends):
        return [f"{a:%Y-%m-%d}..{b:%Y-%m-%d}" for a, b in zip(starts, ends)]

    return pd.DataFrame(
        {
            "split": splits["split"],
            **{name: splits[name] for name in params},
            "train": spans(splits["train_start"], splits["train_end"]),
            "test": spans(splits["test_start"], splits["test_end"]),
            f"IS {label}": [shown(metric, v) for v in splits["in_sample"]],
            f"OOS {label}": [shown(metric, v) for v in splits["out_of_sample"]],
            "IS ann. return": [shown("Annualised return", v) for v in splits["in_sample_return"]],
            "OOS ann. return": [
                shown("Annualised return", v) for v in splits["out_of_sample_return"]
            ],
            "efficiency": [shown(None, v) for v in splits["efficiency"]],
            "trades": splits["trades"],
            "status": splits["status"],
        }
    )


def _walk_forward_figures(walked):
    """The stitched out-of-sample curve's main figures, in a line."""
    from korvit.backtest.stats import format_stat

    stats = walked.stats
    figures = [
        f"{name.lower()} {format_stat(name, stats[name])}"
        for name in ("Total return", "Annualised return", "Sharpe ratio", "Max drawdown", "Trades")
    ]
    efficiency = walked.efficiency
    figures.append("efficiency " + ("–" if efficiency != efficiency else f"{efficiency:.2f}"))
    return ", ".join(figures)


def _strategy_frame(exc, strategy):
    """The innermost traceback entry in the strategy file, or None."""
    try:
        target = os.path.realpath(strategy)
    except (TypeError, ValueError):
        return None
    found = None
    for frame in traceback.extract_tb(exc.__traceback__):
        if os.path.realpath(frame.filename) == target:
            found = frame
    return found


def main(argv=None):
    """Entry point of the ``korvit`` command; returns the exit status."""
    args = _parser().parse_args(argv)
    import warnings

    from korvit.backtest.loader import (
        StrategyExit,
        StrategyLoadError,
        StrategyWarning,
        UnknownParameterError,
    )
    from korvit.backtest.session import TimeframeError
    from korvit.data import DataError, DataWarning

    if args.command == "sweep":
        from korvit.backtest.sweep import SweepError
    else:  # a backtest needs none of the sweeps' machinery
        SweepError = UsageError
    if args.command == "paper":
        from korvit.live.journal import JournalError
    else:
        JournalError = UsageError
    shown = warnings.showwarning

    def show(message, category, *where, **options):
        if issubclass(category, (DataWarning, StrategyWarning)):  # one line, as the other messages
            # (in the command line's words where the warning has them)
            print(f"korvit: warning: {getattr(message, 'command_line', message)}", file=sys.stderr)
        else:
            shown(message, category, *where, **options)

    try:
        warnings.showwarning = show
        commands = {"sweep": _sweep, "paper": _paper, "backtest": _backtest}
        return commands[args.command](args)
    except KeyboardInterrupt:
        print("korvit: interrupted", file=sys.stderr)
        return 130
    except StrategyExit as exc:
        if args.debug:
            traceback.print_exc()
        place = f"{exc.filename}:{exc.lineno}: " if exc.filename else ""
        print(
            f"korvit: {place}the strategy called sys.exit({exc.code!r}): the backtest stopped "
            "there, no report was written",
            file=sys.stderr,
        )
        return 1
    except (
        DataError,
        StrategyLoadError,
        UnknownParameterError,
        FileNotFoundError,
        ConnectionError,
        UsageError,
        SweepError,
        JournalError,
    ) as exc:
        if args.debug:
            traceback.print_exc()
        print(f"korvit: {exc}", file=sys.stderr)
        return 2
    except Exception as exc:
        if args.debug:
            traceback.print_exc()
        frame = _strategy_frame(exc, args.strategy)
        message = f"{type(exc).__name__}: {exc}"
        if frame is not None:
            print(f"korvit: {frame.filename}:{frame.lineno}: {message}", file=sys.stderr)
            return 2 if isinstance(exc, TimeframeError) else 1
        print(f"korvit: {message}", file=sys.stderr)
        return 2
    finally:
        warnings.showwarning = shown


if __name__ == "__main__":
    sys.exit(main())
