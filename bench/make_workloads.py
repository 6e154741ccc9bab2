"""Write the data of the benchmark workloads W1 and W2 as CSV files.

    python bench/make_workloads.py OUTDIR [--seed 20240601] [--w1-stocks 100] [--w1-bars 500]
                                          [--w2-bars 100000] [--w2-ticks 20]

The data is synthetic and a pure function of the arguments: the same arguments give
byte-identical files on every CPython from 3.10 on (only ``random.Random`` seeded with
a string, ``math`` and exact integer arithmetic on the tick grid are used).
``OUTDIR/manifest.json`` holds the arguments and the SHA-256 of every file, so a
benchmark can tell whether the data in a folder is the data it means.
``bench_workloads.py`` and ``bench_memory.py`` call ``generate`` when their folder
holds no matching data.

Every file is a CSV with one header row and ``\\n`` line ends; prices are exact
decimals on the instrument's tick grid.

W1, a stock portfolio on daily bars:

- ``w1/instruments.csv``: ``symbol,tick_size,lot_size,multiplier``, one row per stock
  ``S000``, ``S001``, ... (tick 0.01, lot 100, multiplier 1);
- ``w1/<symbol>.csv``: ``datetime,open,high,low,close,volume``, one row per weekday
  from 2021-01-04 (``YYYY-MM-DD``, no holidays); prices in [5.00, 100.00] with
  low <= open, close <= high; the volume a multiple of 100, 0 on a suspended day
  (about 2 % of the days after the first), when all four prices are the previous close.

W2, one futures contract on one-minute bars with its ticks:

- ``w2/instruments.csv``: ``FUT1,0.2,1,10``;
- ``w2/FUT1_1m.csv``: ``datetime,open,high,low,close,volume``, 240 bars a weekday
  from 2021-01-04, stamped with the minute's start (``YYYY-MM-DD HH:MM:SS``,
  09:30-11:29 and 13:00-14:59); prices around 4000 on the 0.2 grid: the open is the
  bar's first tick, the close its last, the high and low its extremes; the volume is
  the sum of its ticks' volumes;
- ``w2/FUT1_ticks.csv``: ``datetime,price,volume``, ``--w2-ticks`` ticks per bar, 3
  seconds apart from the bar's start, volumes 1-20.
"""

import argparse
import datetime as dt
import hashlib
import json
import math
import os
import random
from pathlib import Path

DEFAULTS = {
    "seed": 20240601,
    "w1_stocks": 100,
    "w1_bars": 500,
    "w2_bars": 100_000,
    "w2_ticks": 20,
}
FIRST_DAY = dt.date(2021, 1, 4)

# W1: prices in cents (tick 0.01), kept within [5.00, 100.00].
W1_LOW, W1_HIGH = 500, 10_000
W1_SUSPENDED = 0.02  # the chance that a day after the first is suspended
# W2: prices in ticks of 0.2 around 4000.0, 3 seconds between ticks.
W2_TICK, W2_MULTIPLIER = 0.2, 10
W2_CENTRE = 20_000
W2_TICK_SECONDS = 3
W2_PULL = 0.0002  # the pull back to the centre, per bar
# The sessions' minutes: 09:30-11:29 and 13:00-14:59.
W2_MINUTES = [*range(9 * 60 + 30, 11 * 60 + 30), *range(13 * 60, 15 * 60)]
W2_GAP_MINUTES = (0, 120)  # each session's first minute opens with a wider step


def _weekdays(count):
    """The first `count` weekdays from FIRST_DAY, as ISO dates."""
    days = []
    day = FIRST_DAY
    while len(days) < count:
        if day.weekday() < 5:
            days.append(day.isoformat())
        day += dt.timedelta(days=1)
    return days


def _cents(value):
    return "%d.%02d" % divmod(value, 100)


def _ticks(value):
    """`value` ticks of 0.2 as an exact one-decimal price."""
    whole, part = divmod(value, 5)
    return "%d.%d" % (whole, 2 * part)


def _write(path, lines):
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w", newline="\n") as f:
        f.writelines(lines)


def _bounce(price, low, high):
    """Reflect `price` back into [low, high] (twice at most)."""
    for _ in range(2):
        if price > high:
            price = 2 * high - price
        if price < low:
            price = 2 * low - price
    return price


def _stock_rows(rng, days):
    """One stock's daily bars: a random walk of the close in cents, each day's open a
    small step from the previous close, its high and low beyond both."""
    vol = 0.015 + 0.015 * rng.random()  # the day's volatility
    close = round((10.0 + 80.0 * rng.random()) * 100)
    rows = ["datetime,open,high,low,close,volume\n"]
    for i, day in enumerate(days):
        if i and rng.random() < W1_SUSPENDED:
            price = _cents(close)
            rows.append(f"{day},{price},{price},{price},{price},0\n")
            continue
        o = close * math.exp(rng.gauss(0.0, 0.3 * vol))
        c = _bounce(o * math.exp(rng.gauss(0.0, vol)), W1_LOW, W1_HIGH)
        o = min(max(round(o), W1_LOW), W1_HIGH)
        c = min(max(round(c), W1_LOW), W1_HIGH)
        h = max(o, c) * (1.0 + abs(rng.gauss(0.0, 0.5 * vol)))
        lo = min(o, c) * (1.0 - abs(rng.gauss(0.0, 0.5 * vol)))
        h = min(max(round(h), o, c), W1_HIGH)
        lo = max(min(round(lo), o, c), W1_LOW)
        volume = 100 * (1000 + int(20_000 * rng.random()))
        rows.append(f"{day},{_cents(o)},{_cents(h)},{_cents(lo)},{_cents(c)},{volume}\n")
        close = c
    return rows


def write_w1(outdir, seed, stocks, bars):
    """W1's files under `outdir`; returns their paths relative to it."""
    days = _weekdays(bars)
    symbols = ["S%03d" % i for i in range(stocks)]
    names = ["w1/instruments.csv"]
    _write(
        outdir / names[0],
        ["symbol,tick_size,lot_size,multiplier\n"] + [f"{s},0.01,100,1\n" for s in symbols],
    )
    for symbol in symbols:
        rng = random.Random(f"{seed}-w1-{symbol}")
        names.append(f"w1/{symbol}.csv")
        _write(outdir / names[-1], _stock_rows(rng, days))
    return names


def write_w2(outdir, seed, bars, ticks):
    """W2's files under `outdir`; returns their paths relative to it.  The price walks
    tick by tick (about 2 points a minute), pulled gently back to the centre."""
    rng = random.Random(f"{seed}-w2-FUT1")
    minutes = ["%02d:%02d" % divmod(m, 60) for m in W2_MINUTES]
    days = _weekdays(-(-bars // len(minutes)))
    seconds = [":%02d" % (W2_TICK_SECONDS * k) for k in range(ticks)]
    steps = max(ticks - 1, 1)
    step_sd = 10.0 / math.sqrt(steps)
    bar_rows = ["datetime,open,high,low,close,volume\n"]
    tick_rows = ["datetime,price,volume\n"]
    price = W2_CENTRE
    stamps = (f"{day} {hhmm}" for day in days for hhmm in minutes)
    for index, stamp in zip(range(bars), stamps):
        minute = index % len(minutes)
        price += round(rng.gauss(0.0, 10.0 if minute in W2_GAP_MINUTES else 1.0))
        drift = -(price - W2_CENTRE) * W2_PULL / steps
        prices = [price]
        for _ in range(1, ticks):
            price += round(rng.gauss(drift, step_sd))
            prices.append(price)
        volumes = [1 + int(20 * rng.random()) for _ in range(ticks)]
        tick_rows.extend(
            f"{stamp}{second},{_ticks(p)},{v}\n" for second, p, v in zip(seconds, prices, volumes)
        )
        bar_rows.append(
            f"{stamp}:00,{_ticks(prices[0])},{_ticks(max(prices))},{_ticks(min(prices))},"
            f"{_ticks(prices[-1])},{sum(volumes)}\n"
        )
    names = ["w2/instruments.csv", "w2/FUT1_1m.csv", "w2/FUT1_ticks.csv"]
    _write(
        outdir / names[0],
        ["symbol,tick_size,lot_size,multiplier\n", f"FUT1,{W2_TICK},1,{W2_MULTIPLIER}\n"],
    )
    _write(outdir / names[1], bar_rows)
    _write(outdir / names[2], tick_rows)
    return names


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def generate(outdir, **params):
    """Write both workloads into `outdir` with `params` (the keys of DEFAULTS; those left
    out take their defaults) and their manifest; returns the manifest."""
    unknown = set(params) - set(DEFAULTS)
    if unknown:
        raise TypeError(f"unknown workload parameters: {', '.join(sorted(unknown))}")
    p = {**DEFAULTS, **params}
    if p["w2_ticks"] < 2:
        raise ValueError(
            "w2_ticks must be at least 2 (a bar's first tick is its open, its last its close)"
        )
    for key in ("w1_stocks", "w1_bars", "w2_bars"):
        if p[key] < 1:
            raise ValueError(f"{key} must be at least 1")
    outdir = Path(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    names = write_w1(outdir, p["seed"], p["w1_stocks"], p["w1_bars"])
    names += write_w2(outdir, p["seed"], p["w2_bars"], p["w2_ticks"])
    manifest = {**p, "sha256": {name: sha256(outdir / name) for name in names}}
    # written last, and whole: a folder with a manifest holds all of its files
    tmp = outdir / "manifest.json.tmp"
    with open(tmp, "w", newline="\n") as f:
        json.dump(manifest, f, indent=1, sort_keys=True)
        f.write("\n")
    os.replace(tmp, outdir / "manifest.json")
    return manifest


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("outdir", type=Path)
    for key, value in DEFAULTS.items():
        parser.add_argument("--" + key.replace("_", "-"), type=int, default=value)
    args = vars(parser.parse_args(argv))
    outdir = args.pop("outdir")
    try:
        manifest = generate(outdir, **args)
    except ValueError as e:
        parser.error(str(e))
    print(f"wrote {len(manifest['sha256']) + 1} files under {outdir}")


if __name__ == "__main__":
    main()
