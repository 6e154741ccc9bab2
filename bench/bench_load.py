"""Loading bars: a folder of files, one per code, against the same bars in one long file.

    python bench/bench_load.py [--codes 2000] [--days 2520] [--dir DIR]

Writes daily bars of CODES codes over DAYS days (into DIR, kept, or a temporary folder;
files already in DIR are used as they are) as one long Parquet file, one long CSV file, a
folder of Parquet files and a folder of CSV files, then times ``load_bars`` on each (the
best of --repeat loads, none served from the kept loads) and prints the folder / file ratios.
"""

import argparse
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from korvit.data import bars as bars_module
from korvit.data import load_bars


def write(root, codes, days):
    """The four sources of the same bars under `root` (unless there already)."""
    if (root / "long.csv").exists():
        return
    rng = np.random.default_rng(0)
    times = pd.bdate_range("2010-01-04", periods=days)
    names = [f"SSE.{600000 + k}" for k in range(codes)]
    close = (10 * np.exp(np.cumsum(rng.normal(0, 0.01, (codes, days)), axis=1))).round(2)
    frame = pd.DataFrame(
        {
            "time": np.tile(times.to_numpy(), codes),
            "code": np.repeat(names, days),
            "open": close.ravel(),
            "high": (close * 1.01).round(2).ravel(),
            "low": (close * 0.99).round(2).ravel(),
            "close": close.ravel(),
            "volume": rng.integers(1, 10**6, (codes, days)).ravel(),
        }
    )
    (root / "pq").mkdir(parents=True, exist_ok=True)
    (root / "csv").mkdir(exist_ok=True)
    for code, part in frame.groupby("code", sort=True):
        part = part.drop(columns="code")
        part.to_parquet(root / "pq" / f"{code}.parquet", index=False)
        part.to_csv(root / "csv" / f"{code}.csv", index=False)
    frame.to_parquet(root / "long.parquet", index=False)
    frame.to_csv(root / "long.csv", index=False)


def best(source, repeat):
    seconds = []
    for _ in range(repeat):
        bars_module._LOADED.clear()
        start = time.perf_counter()
        bars = load_bars(source)
        seconds.append(time.perf_counter() - start)
    return min(seconds), bars


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--codes", type=int, default=2000)
    parser.add_argument("--days", type=int, default=2520)
    parser.add_argument("--dir", type=Path, help="where the files are written (and kept)")
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        root = args.dir or Path(tmp)
        write(root, args.codes, args.days)
        got = {
            name: best(root / name, args.repeat)
            for name in ("pq", "long.parquet", "csv", "long.csv")
        }
        same = all(
            np.array_equal(got[name][1].values, got["long.csv"][1].values, equal_nan=True)
            for name in got
        )
        print(f"{args.codes:,d} codes x {args.days:,d} days = {args.codes * args.days:,d} bars")
        for name, (seconds, _) in got.items():
            print(f"  {name:<13} {seconds:6.2f} s")
        for folder, file in (("pq", "long.parquet"), ("csv", "long.csv")):
            print(f"  folder / file ({folder}): {got[folder][0] / got[file][0]:.2f}")
        print(f"  same bars from all four: {same}")


if __name__ == "__main__":
    main()
