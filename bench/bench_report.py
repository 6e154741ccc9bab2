"""The HTML report's cost: write time, file size and the time a browser needs to draw it.

    python bench/bench_report.py [--runs 3] [--data DIR] [--shots DIR]

Three runs: the sample run (``examples/strategies/ma_cross.py`` on the sample daily bars,
as ``korvit backtest examples/strategies/ma_cross.py`` runs it), W1 of
``bench_workloads.py`` on 100 stocks x 2,500 daily bars (the data of ``bench_memory.py``,
generated once into ``--data``, default ``bench/data-report``, by ``make_workloads.py``), and
the sample strategy with its two moving averages on a market of 2,000 stocks x 250 days
(random walks, seeded, written once into ``--data`` as ``market-2000.csv``).
Per run:

- write: seconds of ``BacktestResult.to_html``, the result's figures (statistics, round
  trips, benchmark) computed afresh each time; the first call in a process also reads
  BokehJS's files: shown apart as "first", then the median of ``--runs``;
- size: bytes of report.html;
- page: milliseconds from the navigation to the page saying it is drawn, in headless
  chromium over DevTools (``tests/chromium_page.py``), median of ``--runs`` browsers, with
  the JavaScript errors met (none expected).

``--shots DIR`` keeps a screenshot of each page (report-sample.png, report-100-stocks.png,
report-2000-stocks.png).
"""

import argparse
import statistics
import sys
import tempfile
import time
import warnings
from functools import cached_property
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

import bench_workloads as bw
import chromium_page

GENERATOR_ARGS = {
    "seed": bw.GENERATOR_ARGS["seed"],
    "w1_stocks": 100,
    "w1_bars": 2500,
    "w2_bars": 1000,
    "w2_ticks": 2,
}


def sample_result():
    from korvit.backtest import run
    from korvit.data import sample_path

    return run(
        HERE.parent / "examples" / "strategies" / "ma_cross.py",
        sample_path("daily.csv"),
        contracts=sample_path("contracts.csv"),
        progress=False,
    )


def w1_result(data):
    from korvit.backtest import run

    converted = data / "korvit"
    return run(
        HERE / "workloads" / "w1_strategy.py",
        converted / "w1_bars.csv",
        contracts=converted / "w1_contracts.csv",
        cash=bw.CASH,
        stock_commission=bw.STOCK_COMMISSION,
        commission_rate=bw.COMMISSION_RATE,
        progress=False,
    )


def market_bars(data, codes=2000, days=250, seed=2000):
    """A long CSV of ``codes`` stocks' random walks over ``days`` weekdays (made once)."""
    import numpy as np
    import pandas as pd

    path = data / f"market-{codes}.csv"
    if path.exists():
        return path
    rng = np.random.default_rng(seed)
    times = pd.bdate_range("2023-01-02", periods=days)
    frames = []
    for k in range(codes):
        close = np.round(20 * np.exp(np.cumsum(rng.normal(0.0003, 0.02, days))), 2)
        open_ = np.round(close * np.exp(rng.normal(0, 0.005, days)), 2)
        wick = np.round(np.abs(rng.normal(0, 0.1, (2, days))), 2)
        frames.append(
            pd.DataFrame(
                {
                    "time": times,
                    "code": f"SSE.{600000 + k}" if k < codes // 2 else f"SZSE.{k:06d}",
                    "open": open_,
                    "high": np.maximum(open_, close) + wick[0],
                    "low": np.maximum(np.minimum(open_, close) - wick[1], 0.01),
                    "close": close,
                    "volume": rng.integers(1_000, 100_000, days) * 100,
                }
            )
        )
    data.mkdir(parents=True, exist_ok=True)
    pd.concat(frames).to_csv(path.with_suffix(".tmp"), index=False)
    path.with_suffix(".tmp").replace(path)
    return path


def market_result(data):
    from korvit.backtest import run

    return run(
        HERE.parent / "examples" / "strategies" / "ma_cross.py", market_bars(data), progress=False
    )


# The run's records: built once from the engine's, never again (the figures are derived from them).
RECORDS = ("equity", "orders", "trades", "stops")


def measure(name, make, runs, out, shots):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = make()
    writes = []
    for _ in range(runs + 1):
        for name_, attr in vars(type(result)).items():  # the figures computed afresh each time
            if isinstance(attr, cached_property) and name_ not in RECORDS:
                result.__dict__.pop(name_, None)
        started = time.perf_counter()
        html = result.to_html()
        writes.append(time.perf_counter() - started)
    path = out / f"{name}.html"
    path.write_text(html, encoding="utf-8")
    pages = [chromium_page.open_page(path, width=1280) for _ in range(runs)]
    if shots:
        shots.mkdir(parents=True, exist_ok=True)
        (shots / f"report-{name}.png").write_bytes(pages[-1].screenshot)
    errors = sorted({e for page in pages for e in page.errors})
    return {
        "run": name,
        "bars": f"{len(result.bars.codes)} x {len(result.bars.times):,d}",
        "fills": len(result.trades),
        "first_s": writes[0],
        "write_s": statistics.median(writes[1:]),
        "mb": path.stat().st_size / 1e6,
        "page_ms": statistics.median(p.load_ms for p in pages),
        "ready": all(p.ready for p in pages),
        "errors": errors,
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--data", type=Path, default=HERE / "data-report")
    parser.add_argument("--shots", type=Path, default=None)
    args = parser.parse_args(argv)
    if chromium_page.chromium() is None:
        sys.exit("chromium is not installed")
    bw.ensure_data(args.data, GENERATOR_ARGS)
    rows = []
    with tempfile.TemporaryDirectory(prefix="korvit-report-") as tmp:
        out = Path(tmp)
        rows.append(measure("sample", sample_result, args.runs, out, args.shots))
        rows.append(measure("100-stocks", lambda: w1_result(args.data), args.runs, out, args.shots))
        rows.append(
            measure("2000-stocks", lambda: market_result(args.data), args.runs, out, args.shots)
        )
    print(
        f"{'run':<12} {'bars':>13} {'fills':>7} {'write s':>8} {'(first)':>8} {'MB':>6} {'page ms':>8}  errors"
    )
    for r in rows:
        print(
            f"{r['run']:<12} {r['bars']:>13} {r['fills']:>7,d} {r['write_s']:>8.2f} {r['first_s']:>8.2f} "
            f"{r['mb']:>6.2f} {r['page_ms']:>8.0f}  {len(r['errors'])}{'' if r['ready'] else ' (never ready)'}"
        )
        for error in r["errors"]:
            print(f"    {error}")
    return 0 if all(r["ready"] and not r["errors"] for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
