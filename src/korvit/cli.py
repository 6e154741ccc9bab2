"""The ``korvit`` command.

    korvit backtest STRATEGY.py [--data PATH ...] [--ticks PATH] [--contracts FILE]
                                [--cash N] [--start DATE] [--end DATE] [--param NAME=VALUE ...]
                                [--slippage F] [--cancel-stale-orders] [--out DIR] [--core HOST:PORT]

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

__all__ = ["main"]


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
        return sample_path(text[len("sample:"):])
    return Path(text)


def _param(text):
    name, sep, value = text.partition("=")
    if not sep or not name.isidentifier():
        raise argparse.ArgumentTypeError(f"a parameter is NAME=VALUE, got {text!r}")
    try:
        value = ast.literal_eval(value)
    except (ValueError, SyntaxError):
        pass                      # plain text
    return name, value


def _positive(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"expected a positive number, got {text!r}")
    return value


def _parser():
    parser = _Parser(prog="korvit", description="Korvit: fast backtests of stock and futures "
                                     "strategies.")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    bt = sub.add_parser("backtest", help="run a strategy over bars and write its report",
                        description="Run a strategy file over bars; print a summary and write the report.")
    bt.add_argument("strategy", help="the strategy's Python file")
    bt.add_argument("--data", action="append", metavar="PATH",
                    help="bars: CSV or Parquet, long or wide (repeatable; default: the sample daily bars)")
    bt.add_argument("--ticks", metavar="PATH", help="ticks inside the bars (CSV or Parquet)")
    bt.add_argument("--contracts", metavar="FILE", help="contract table (CSV or JSON)")
    bt.add_argument("--cash", type=_positive, default=1_000_000.0, help="starting cash (default 1,000,000)")
    bt.add_argument("--start", metavar="DATE", help="first bar time to use")
    bt.add_argument("--end", metavar="DATE", help="last bar time to use")
    bt.add_argument("--param", action="append", type=_param, default=[], metavar="NAME=VALUE",
                    help="a strategy parameter, read as context.params[NAME] (repeatable)")
    bt.add_argument("--slippage", type=float, default=0.0, help="fraction market orders pay (0.001 = 0.1%%)")
    bt.add_argument("--cancel-stale-orders", action="store_true",
                    help="at each day's first bar, cancel the orders left pending from an earlier day")
    bt.add_argument("--out", metavar="DIR", help="output folder (default: korvit-results/STRATEGY)")
    bt.add_argument("--core", metavar="HOST:PORT", help="a running core process (default: an embedded one)")
    bt.add_argument("--no-progress", action="store_true", help="no progress bar")
    bt.add_argument("--debug", action="store_true", help="show full tracebacks")
    return parser


def _backtest(args):
    from korvit.backtest.runner import Backtest
    data = [_path(p) for p in args.data] if args.data else [_path("sample:daily.csv")]
    contracts = _path(args.contracts) if args.contracts else None
    if contracts is None and not args.data:
        contracts = _path("sample:contracts.csv")
    ticks = _path(args.ticks) if args.ticks else None
    strategy = Path(args.strategy)
    out = Path(args.out) if args.out else Path("korvit-results") / strategy.stem
    test = Backtest(strategy, data if len(data) > 1 else data[0], ticks=ticks, contracts=contracts,
                    cash=args.cash, start=args.start, end=args.end, params=dict(args.param),
                    slippage=args.slippage, cancel_stale_orders=args.cancel_stale_orders, core=args.core,
                    output=out,
                    progress=False if args.no_progress else None)
    result = test.run()
    report = result.save(out)
    print(result.summary())
    print(f"\nreport: {report}")
    return 0


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
    from korvit.backtest.runner import StrategyLoadError
    from korvit.data import DataError
    try:
        return _backtest(args)
    except KeyboardInterrupt:
        print("korvit: interrupted", file=sys.stderr)
        return 130
    except (DataError, StrategyLoadError, FileNotFoundError, ConnectionError, UsageError) as exc:
        if args.debug:
            traceback.print_exc()
        print(f"korvit: {exc}", file=sys.stderr)
        return 2
    except Exception as exc:      # noqa: BLE001 - every failure becomes one line
        if args.debug:
            traceback.print_exc()
        frame = _strategy_frame(exc, args.strategy)
        message = f"{type(exc).__name__}: {exc}"
        if frame is not None:
            print(f"korvit: {frame.filename}:{frame.lineno}: {message}", file=sys.stderr)
            return 1
        print(f"korvit: {message}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
