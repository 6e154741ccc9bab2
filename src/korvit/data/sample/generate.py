"""Rebuild the sample data set.

    python -m korvit.data.sample.generate [DIR]

writes daily.csv, minute.csv, ticks.csv and contracts.csv into DIR (by default the
directory of this script, where the shipped files live).

The output is the same byte for byte on every platform and numpy version: random numbers
come only from a seeded ``numpy.random.default_rng`` as uniform floats and integers,
normal-looking draws are sums of uniforms, prices are kept as whole numbers of price steps
(plain float64 products rounded by Python's ``round``), and every value is written from
integers with fixed formatting.  Only numpy and the standard library are used.
"""

import datetime
import sys
from pathlib import Path

import numpy as np

SEED = 20220103
FIRST_DAY = "2022-01-03"
DAYS = 500
STOCKS = {  # code -> (first close, daily volatility, lots of 100 traded on a quiet day)
    "SZSE.000001": (15.00, 0.019, 900),
    "SZSE.000002": (20.00, 0.021, 700),
    "SSE.600000": (8.00, 0.016, 1500),
}
FUTURES = "SHFE.RB2405"
FUTURES_START, FUTURES_VOL, FUTURES_LOTS = 4000, 0.013, 24_000
MINUTE_DAYS = range(400, 405)  # positions among the business days: a Monday..Friday
TICK_DAYS = 2  # the first two minute days get ticks
CONTRACT_COLUMNS = (
    "code",
    "kind",
    "min_move",
    "multiplier",
    "long_margin",
    "short_margin",
    "lot_size",
    "fee_open",
    "fee_close",
    "commission",
    "min_commission",
    "tax_open",
    "tax_close",
    "transfer_fee",
)
# The stocks: commission 0.03 % of the traded value but at least 5, tax 0.1 % on closing,
# transfer fee 0.002 %.
STOCK_FEES = ("0.0003", "5", "0", "0.001", "0.00002")
CONTRACTS = [
    ("SZSE.000001", "stock", "0.01", "1", "1", "1", "100", "0", "0") + STOCK_FEES,
    ("SZSE.000002", "stock", "0.01", "1", "1", "1", "100", "0", "0") + STOCK_FEES,
    ("SSE.600000", "stock", "0.01", "1", "1", "1", "100", "0", "0") + STOCK_FEES,
    (FUTURES, "futures", "1", "10", "0.1", "0.1", "1", "0.0001", "0.0001", "0", "0", "0", "0", "0"),
]


def normal(rng):
    """A draw with mean 0 and variance 1: the sum of twelve uniforms, less 6."""
    total = 0.0
    for u in rng.random(12).tolist():
        total += u
    return total - 6.0


def steps(price, step_size):
    """`price` as a whole number of price steps."""
    return int(round(price / step_size))  # noqa: RUF046 - an int under numpy 1 too


def trend(rng, scale):
    """An endless sequence of daily drifts: regimes of 30 to 90 days up, down or flat."""
    drifts = (-2.0, -1.0, 0.0, 1.0, 2.0)
    while True:
        drift = drifts[int(rng.integers(0, len(drifts)))] * scale
        for _ in range(int(rng.integers(30, 91))):
            yield drift


def daily_bar(rng, close, drift, vol, tick, level):
    """Open, high, low, close (in steps) of one day following a close of `close` steps;
    the price drifts by `drift` a day and is pulled back gently towards `level`."""
    last = close * tick
    pull = -0.01 * (last / level - 1.0)
    move = max(-0.095, min(0.095, drift + pull + vol * normal(rng)))
    o = steps(last * (1.0 + 0.25 * vol * normal(rng)), tick)
    c = steps(last * (1.0 + move), tick)
    h = max(o, c, steps(max(o, c) * tick * (1.0 + 0.6 * vol * float(rng.random())), tick))
    lo = min(o, c, steps(min(o, c) * tick * (1.0 - 0.6 * vol * float(rng.random())), tick))
    return o, h, max(lo, 1), c, abs(move) / vol


def minute_day(rng, close):
    """240 minute bars (open, high, low, close in steps of 1, volume) following `close`:
    quiet stretches with one or two breakouts of 15 to 45 minutes."""
    drift = [0.0] * 240
    for _ in range(int(rng.integers(1, 3))):
        begin = int(rng.integers(20, 200))
        sign = 1.0 if rng.random() < 0.5 else -1.0
        for m in range(begin, min(240, begin + int(rng.integers(15, 46)))):
            drift[m] = sign * 0.0006
    bars = []
    last = close + int(round(0.002 * close * normal(rng)))  # noqa: RUF046 - as above
    for m in range(240):
        o = last
        vol = 0.0004 if drift[m] == 0.0 else 0.0008
        c = steps(o * (1.0 + drift[m] + vol * normal(rng)), 1.0)
        h = max(o, c) + int(rng.integers(0, 3))
        lo = min(o, c) - int(rng.integers(0, 3))
        volume = int(rng.integers(20, 120)) * (3 if drift[m] else 1)
        bars.append((o, h, lo, c, volume))
        last = c
    return bars


def minute_labels(day):
    """The 240 bar labels of a day: 09:01..11:30 and 13:31..15:00."""
    start = datetime.datetime.combine(day, datetime.time(9, 0))
    labels = [start + datetime.timedelta(minutes=m) for m in range(1, 151)]
    afternoon = datetime.datetime.combine(day, datetime.time(13, 30))
    return labels + [afternoon + datetime.timedelta(minutes=m) for m in range(1, 91)]


def bar_ticks(rng, bar):
    """Ticks (offset in ms after the bar's period starts, price, volume) of one minute bar:
    the first is the open, the last the close, the high and low are among them, and the
    volumes add up to the bar's volume."""
    o, h, lo, c, volume = bar
    n = int(rng.integers(4, 9))
    prices = [int(rng.integers(lo, h + 1)) for _ in range(n)]
    prices[0], prices[-1] = o, c
    high_at = int(rng.integers(1, n - 1))
    low_at = high_at
    while low_at == high_at:
        low_at = int(rng.integers(1, n - 1))
    prices[high_at], prices[low_at] = h, lo
    weights = [int(rng.integers(1, 10)) for _ in range(n)]
    spare = volume - n
    volumes = [1 + spare * w // sum(weights) for w in weights]
    volumes[-1] += volume - sum(volumes)
    offsets = set()
    while len(offsets) < n:
        offsets.add(int(rng.integers(1, 60_000)))
    return list(zip(sorted(offsets), prices, volumes))


def price_text(value, tick_text):
    """A price of `value` steps, written with the decimals of the step."""
    decimals = len(tick_text.partition(".")[2])
    if not decimals:
        return str(value * int(tick_text))
    scale = 10**decimals
    units = value * int(tick_text.replace(".", ""))
    return f"{units // scale}.{units % scale:0{decimals}d}"


def build():
    """The four files as text, by name."""
    rng = np.random.default_rng(SEED)
    days = [
        datetime.date.fromisoformat(str(d))
        for d in np.busday_offset(FIRST_DAY, np.arange(DAYS), roll="forward").tolist()
    ]
    rows = {day: [] for day in days}
    minute_rows, tick_rows = [], []
    for code, (first, vol, lots) in STOCKS.items():
        close, drifts = steps(first, 0.01), trend(rng, 0.12 * vol)
        for day in days:
            o, h, lo, c, activity = daily_bar(rng, close, next(drifts), vol, 0.01, first)
            volume = 100 * int(lots * (0.6 + 0.8 * float(rng.random()) + 0.5 * activity))
            rows[day].append((code, [price_text(v, "0.01") for v in (o, h, lo, c)], volume))
            close = c
    close, drifts = FUTURES_START, trend(rng, 0.12 * FUTURES_VOL)
    for position, day in enumerate(days):
        if position in MINUTE_DAYS:
            bars = minute_day(rng, close)
            labels = minute_labels(day)
            for label, bar in zip(labels, bars):
                minute_rows.append(
                    f"{label:%Y-%m-%d %H:%M:%S},{FUTURES}," + ",".join(str(v) for v in bar)
                )
            if position - MINUTE_DAYS[0] < TICK_DAYS:
                for label, bar in zip(labels, bars):
                    begin = label - datetime.timedelta(minutes=1)
                    for offset, price, volume in bar_ticks(rng, bar):
                        at = begin + datetime.timedelta(milliseconds=offset)
                        tick_rows.append(
                            f"{at:%Y-%m-%d %H:%M:%S}.{at.microsecond // 1000:03d},"
                            f"{FUTURES},{price},{volume}"
                        )
            o, c = bars[0][0], bars[-1][3]
            h, lo = max(b[1] for b in bars), min(b[2] for b in bars)
            volume = sum(b[4] for b in bars)
        else:
            o, h, lo, c, activity = daily_bar(
                rng, close, next(drifts), FUTURES_VOL, 1.0, FUTURES_START
            )
            volume = int(FUTURES_LOTS * (0.6 + 0.8 * float(rng.random()) + 0.5 * activity))
        rows[day].append((FUTURES, [str(v) for v in (o, h, lo, c)], volume))
        close = c
    daily = [
        f"{day:%Y-%m-%d},{code}," + ",".join(prices) + f",{volume}"
        for day in days
        for code, prices, volume in rows[day]
    ]
    return {
        "daily.csv": ["time,code,open,high,low,close,volume"] + daily,
        "minute.csv": ["time,code,open,high,low,close,volume"] + minute_rows,
        "ticks.csv": ["time,code,price,volume"] + tick_rows,
        "contracts.csv": [",".join(CONTRACT_COLUMNS)] + [",".join(row) for row in CONTRACTS],
    }


def write(directory):
    """Write the sample files into `directory`; returns their paths."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    paths = []
    for name, lines in build().items():
        path = directory / name
        path.write_bytes(("\n".join(lines) + "\n").encode("ascii"))
        paths.append(path)
    return paths


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) > 1:
        sys.exit("usage: python -m korvit.data.sample.generate [DIR]")
    for path in write(argv[0] if argv else Path(__file__).resolve().parent):
        print(path)


if __name__ == "__main__":
    main()
