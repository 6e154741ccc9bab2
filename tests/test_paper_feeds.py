"""The feeds of paper trading: a replay gives load_bars' bars step by step, and the ccxt
feed gives an exchange's finished candles once each, in order, through its faults.

The exchange is ccxt's own binance class with its HTTP layer (``fetch``) replaced: the
files in tests/data/ccxt are written by hand in the exact shape of binance's public REST
answers (``/api/v3/exchangeInfo`` and the futures ``/fapi/v1``, ``/dapi/v1`` ones that
``load_markets`` asks for, and ``/api/v3/klines`` rows), small, with made-up prices.
Nothing goes to the network and nothing sleeps: the feeds wait on a fake clock.
"""

import json
import logging
import math
import sqlite3
import tempfile
from pathlib import Path
from urllib.parse import parse_qs, urlparse

import ccxt
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvit.data import load_bars, sample_path
from korvit.live import Clock, FeedError, open_feed

DATA = Path(__file__).parent / "data" / "ccxt"


class FakeClock(Clock):
    """Time that moves only when a feed sleeps."""

    def __init__(self, wall):
        self.wall, self.mono = float(wall), 1000.0

    def time(self):
        return self.wall

    def monotonic(self):
        return self.mono

    def sleep(self, seconds):
        self.wall += max(seconds, 0)
        self.mono += max(seconds, 0)


@settings(max_examples=25, deadline=None)
@given(
    name=st.sampled_from(["daily.csv", "minute.csv"]),
    kept=st.floats(0.3, 1.0),
    seed=st.integers(0, 2**32 - 1),
    files=st.sampled_from([1, 2]),
    warmup=st.integers(0, 40),
    count=st.integers(0, 50),
    resume=st.one_of(st.none(), st.integers(0, 600)),
    speed=st.sampled_from([0, 2.5]),
)
def test_replay_steps_stack_to_the_loaded_bars(
    name, kept, seed, files, warmup, count, resume, speed
):
    """History and steps, stacked, are load_bars' bars bit for bit, from the first step
    after the warm-up and the resumed time; steps come at most `speed` a second."""
    lines = sample_path(name).read_text().splitlines()
    rows = lines[1:]
    if kept < 1:  # codes without a bar at some times
        pick = np.random.default_rng(seed).random(len(rows)) < kept
        rows = [row for row, keep in zip(rows, pick) if keep]
    with tempfile.TemporaryDirectory() as folder:
        if kept == 1 and files == 1:
            spec, bars = f"replay:sample:{name}", load_bars(sample_path(name))
        else:
            paths = [Path(folder, f"{k}.csv") for k in range(files)]
            half = len(rows) // files
            for k, path in enumerate(paths):
                path.write_text("\n".join([lines[0], *rows[k * half : (k + 1) * half or None]]))
            spec = "replay:" + ",".join(map(str, paths))
            bars = load_bars(paths[0] if files == 1 else paths)
        clock = FakeClock(0)
        if warmup >= len(bars.times):
            with pytest.raises(FeedError, match="leaves no step"):
                open_feed(spec, warmup=warmup)
            return
        feed = open_feed(spec, warmup=warmup, speed=speed, clock=clock)
    start = warmup
    if resume is not None:
        feed.resume_after(bars.times[min(resume, len(bars.times) - 1)])
        start = max(warmup, min(resume, len(bars.times) - 1) + 1)
    assert (feed.codes, feed.frequency, feed.interval) == (
        bars.codes,
        bars.frequency,
        bars.interval,
    )

    history = feed.history(count)
    lo = max(start - count, 0)
    if lo == start:
        assert history is None
    else:
        assert history.times.equals(bars.times[lo:start]) and history.codes == bars.codes
        assert history.values.tobytes() == bars.values[:, lo:start].tobytes()

    stacked = np.full_like(bars.values[:, start:], np.nan)
    stacked[..., 4] = 0
    times, given_at = [], []
    while (step := feed.next(timeout=math.inf)) is not None:
        given_at.append(clock.mono)
        times.append(step.time)
        at = len(times) - 1
        where = [bars.index_of(code) for code in step.codes]
        assert not np.isnan(step.values).any()  # only the codes with a bar
        stacked[where, at] = step.values
    assert feed.done and pd.DatetimeIndex(times).equals(bars.times[start:])
    assert stacked.tobytes() == bars.values[:, start:].tobytes()
    if speed:
        assert np.diff(given_at).min(initial=1 / speed) >= 1 / speed - 1e-9


class Binance:
    """binance's public REST answers from the files, on the fake clock: a candle is
    there from its open (in progress: its open price throughout, a tenth of its
    volume), `late` ones only seconds after their end, `missing` ones never;
    `ignore_since` answers from the first candle whatever startTime asks; requests in
    a `down` window (wall seconds) fail with its error."""

    def __init__(self, clock, timeframe, late=(), missing=(), ignore_since=False, down=()):
        self.clock, self.late, self.missing = clock, dict(late), set(missing)
        self.ignore_since, self.down, self.failed, self.calls = ignore_since, down, [], 0
        self.rows = json.loads((DATA / f"binance_klines_BTCUSDT_{timeframe}.json").read_text())
        self.step = self.rows[1][0] - self.rows[0][0]

    def fetch(self, url, method="GET", headers=None, body=None):
        self.calls += 1
        assert self.calls < 2000, "the feed asks again and again without waiting"
        now = self.clock.time() * 1000
        for lo, hi, error in self.down:
            if lo <= now / 1000 < hi:
                self.failed.append(now / 1000)
                raise error(f"binance GET {url}")
        parts = urlparse(url)
        if parts.path.endswith("exchangeInfo"):
            prefix = "" if parts.path.startswith("/api/") else parts.path.split("/")[1] + "_"
            return json.loads((DATA / f"binance_{prefix}exchangeInfo.json").read_text())
        query = {k: v[0] for k, v in parse_qs(parts.query).items()}
        since = 0 if self.ignore_since else int(query.get("startTime", 0))
        out = []
        for k, row in enumerate(self.rows):
            end = row[0] + self.step
            if row[0] > now or row[0] < since or k in self.missing:
                continue
            if end > now:  # in progress
                row = [*row[:2], row[1], row[1], row[1], str(float(row[5]) / 10), *row[6:]]
            elif now < end + 1000 * self.late.get(k, 0):
                continue
            out.append(row)
        return out[: int(query["limit"])]


def label(row, timeframe):
    """The time load_bars gives a candle: its end when intraday, its date when daily."""
    opened = pd.Timestamp(row[0], unit="ms")
    return opened if timeframe == "1d" else opened + pd.Timedelta(minutes=1)


NET, LIMIT = ccxt.NetworkError, ccxt.RateLimitExceeded
FAULTS = [
    # name, timeframe, server faults, feed options, expected error
    ("clean", "1m", {}, {}, None),
    ("in progress, asked at the period's end", "1m", {}, {"settle": 0}, None),
    ("repeated candles", "1m", {"ignore_since": True}, {}, None),
    ("late candles", "1m", {"late": {4: 25, 5: 50, 8: 70}}, {}, None),
    ("resumed, a page of 3 at a time", "1m", {"missing": {4}}, {"resume": 0, "limit": 3}, None),
    ("gap", "1m", {"missing": {1, 5, 6}}, {}, None),
    ("network errors, then recovery", "1m", {"down": [(0, 2.5, NET), (70, 200, NET)]}, {}, None),
    ("rate limit, then recovery", "1m", {"down": [(50, 60, LIMIT)]}, {}, None),
    ("daily candles", "1d", {"missing": {3}}, {}, None),
    ("markets never load", "1m", {"down": [(0, 1e9, NET)]}, {}, "failed 5 times: NetworkError"),
    ("unknown exchange", "1m", {}, {"exchange": "binanse"}, "no exchange 'binanse'; .*binance"),
    ("unknown symbol", "1m", {}, {"symbol": "BTC/USDX"}, "no market 'BTC/USDX'; .*BTC/USDT"),
    ("unknown timeframe", "7m", {}, {}, "no timeframe '7m'; .*1m"),
    ("weekly candles", "1w", {}, {}, "'1w' is not intraday or daily"),
]


@pytest.mark.parametrize(
    "name, timeframe, faults, options, error", FAULTS, ids=[case[0] for case in FAULTS]
)
def test_ccxt_feed_faults(monkeypatch, caplog, name, timeframe, faults, options, error):
    """Every finished candle after the history is given once, in order, never before its
    period ends, with its final values; the periods without one are logged, never
    invented; network errors are retried further and further apart."""
    data_tf = timeframe if timeframe in ("1m", "1d") else "1m"
    rows = json.loads((DATA / f"binance_klines_BTCUSDT_{data_tf}.json").read_text())
    period = (rows[1][0] - rows[0][0]) / 1000
    start = rows[0][0] / 1000 + 3 * period + period / 6  # candles 0-2 finished, 3 in progress
    clock = FakeClock(start)
    server = Binance(clock, data_tf, **faults)
    server.down = [(start + lo, start + hi, exc) for lo, hi, exc in server.down]
    monkeypatch.setattr(ccxt.binance, "fetch", lambda ex, *args: server.fetch(*args))
    options = dict(options)
    exchange, symbol = options.pop("exchange", "binance"), options.pop("symbol", "BTC/USDT")
    resume = options.pop("resume", None)
    spec = f"ccxt:{exchange}:{symbol}:{timeframe}"
    opened = lambda: open_feed(
        spec, clock=clock, exchange_options={"enableRateLimit": False}, **options
    )
    if error:
        with pytest.raises(FeedError, match=error) as raised:
            opened()
        assert "\n" not in str(raised.value)
        return
    caplog.set_level(logging.INFO, "korvit.live.feeds")
    feed = opened()
    assert feed.codes == ["BINANCE.BTCUSDT"]
    assert (feed.frequency, feed.interval) == (
        ("day", None) if timeframe == "1d" else ("minute", pd.Timedelta(minutes=1))
    )

    # a candle later than the next one's end is a gap, logged when it comes
    late = {k for k, seconds in faults.get("late", {}).items() if seconds > period}
    missing = faults.get("missing", set()) | late
    first = 3  # the candle in progress at the start
    if resume is not None:
        feed.resume_after(label(rows[resume], timeframe))
        first = resume + 1
    history = feed.history(3)
    kept = [k for k in range(first - 3, first) if k >= 0 and k not in missing]
    assert list(history.times) == [label(rows[k], timeframe) for k in kept]
    assert np.array_equal(history.values[0], np.array([rows[k][1:6] for k in kept], float))

    given = []
    while clock.time() < rows[-1][0] / 1000 + 2 * period:
        step = feed.next(timeout=period / 3)
        if step is not None:
            end = step.time + (pd.Timedelta(days=1) if timeframe == "1d" else pd.Timedelta(0))
            assert end <= pd.Timestamp(clock.time(), unit="s")  # never in progress
            given.append((step.time, step.values[0].tolist()))
    live = [k for k in range(first, len(rows)) if k not in missing]
    assert given == [(label(rows[k], timeframe), [float(v) for v in rows[k][1:6]]) for k in live]

    gaps = [r.getMessage() for r in caplog.records if "no candle from" in r.getMessage()]
    spans = [k for k in range(len(rows)) if k in missing and k - 1 not in missing]
    assert len(gaps) == len(spans)
    for text, k in zip(gaps, spans):
        assert f"from {label(rows[k], timeframe)}" in text
    came = [r.getMessage() for r in caplog.records if "came after later ones" in r.getMessage()]
    assert len(came) == len(late)
    for lo, hi, _ in server.down:  # backoff: each retry waits longer than the last
        waits = np.diff([t for t in server.failed if lo <= t < hi])
        assert len(waits) and (np.diff(waits) > 0).all()


USER_FEEDS = """
from korvit.live import Feed

class Quotes(Feed):
    codes, frequency, interval = ["SIM.A"], "minute", None

    def __init__(self, arg="", *, warmup=0):
        self.arg, self.warmup = arg, warmup

    def next(self, timeout):
        return None

    def resume_after(self, time):
        pass

class NotAFeed:
    codes, frequency = ["SIM.A"], "day"
"""


@pytest.mark.parametrize(
    "spec, options, expected",
    [
        ("userfeeds:Quotes", {"warmup": 2}, {"arg": "", "warmup": 2}),
        ("userfeeds:Quotes:EURUSD,1m", {}, {"arg": "EURUSD,1m", "warmup": 0}),
        ("sim:EURUSD", {}, {"arg": "EURUSD", "warmup": 0}),  # registered as an entry point
        ("userfeeds:Quotes", {"depth": 5}, "takes no option depth"),
        ("userfeeds:NotAFeed", {}, "NotAFeed is not a feed: it has no next, resume_after"),
        ("userfeeds:Missing", {}, "module 'userfeeds' has no 'Missing'"),
        ("nosuchmodule:Quotes", {}, "cannot import 'nosuchmodule'"),
        ("bogus", {}, "unknown feed 'bogus'.*known: ccxt, replay, sim"),
        ("replay:", {}, "name the data"),
        ("replay:sample:nope.csv", {}, "no sample file 'nope.csv'"),
        ("replay:sample:daily.csv", {"speed": -1}, "speed is steps a second"),
        ("ccxt:binance", {}, "write the feed as ccxt:EXCHANGE:SYMBOL:TIMEFRAME"),
    ],
)
def test_open_feed_dispatch(tmp_path, monkeypatch, spec, options, expected):
    """A spec finds a user's class, a registered scheme or a built-in feed; bad specs
    are refused in one line naming what is wrong."""
    import importlib.metadata

    (tmp_path / "userfeeds.py").write_text(USER_FEEDS)
    monkeypatch.syspath_prepend(tmp_path)
    point = importlib.metadata.EntryPoint("sim", "userfeeds:Quotes", "korvit.feeds")
    monkeypatch.setattr(importlib.metadata, "entry_points", lambda group: [point])
    if isinstance(expected, str):
        with pytest.raises(FeedError, match=expected) as raised:
            open_feed(spec, **options)
        assert "\n" not in str(raised.value)
    else:
        feed = open_feed(spec, **options)
        assert {key: getattr(feed, key) for key in expected} == expected
        assert feed.name == spec


ROUND_TRIP = """
from korvit.strategy import buy, position, sell

def on_data(context):
    context.bars = getattr(context, "bars", 0) + 1
    held = position("BINANCE.BTCUSDT")
    if context.bars == 2 and not held:
        buy("BINANCE.BTCUSDT", 0.125)
    elif context.bars == 5 and held:
        sell("BINANCE.BTCUSDT", held)
"""


def test_a_paper_run_on_the_exchanges_candles_resumes_from_its_journal(monkeypatch, tmp_path):
    """korvit.paper on the ccxt feed (the recorded answers, with a gap): each finished
    candle is dealt once, the fills are the engine's at the next candle's open, and a run
    stopped by a stalled feed resumes from its journal without dealing a candle twice."""
    from korvit.live.run import PaperStopped, paper

    rows = json.loads((DATA / "binance_klines_BTCUSDT_1m.json").read_text())
    start = rows[0][0] / 1000 + 3 * 60 + 10
    strategy = tmp_path / "round_trip.py"
    strategy.write_text(ROUND_TRIP)
    out = tmp_path / "out"
    for stop_at in (7, len(rows)):  # the exchange goes quiet after candle 7, then comes back
        clock = FakeClock(start if stop_at == 7 else rows[7][0] / 1000 + 200)
        server = Binance(clock, "1m", missing={9})
        server.rows = server.rows[:stop_at]
        monkeypatch.setattr(ccxt.binance, "fetch", lambda ex, *args: server.fetch(*args))
        feed = open_feed(
            "ccxt:binance:BTC/USDT:1m",
            warmup=3,
            clock=clock,
            exchange_options={"enableRateLimit": False},
        )
        with pytest.raises(PaperStopped, match="gave no bar for 120 s.*run the same command"):
            paper(strategy, feed, out, warmup=3, feed_timeout=120, default_lot_size=0.001)
    with sqlite3.connect(out / "journal.sqlite") as db:
        steps = db.execute("SELECT time_ns, live FROM steps ORDER BY seq").fetchall()
        fills = pd.read_sql_query("SELECT side, volume, price FROM fills ORDER BY trade_id", db)
    dealt = [pd.Timestamp(t) for t, live in steps if live]
    assert dealt == [label(rows[k], "1m") for k in range(3, len(rows)) if k != 9]
    assert fills[["side", "volume"]].values.tolist() == [["buy", 0.125], ["sell", 0.125]]
    assert fills.price.tolist() == [float(rows[5][1]), float(rows[8][1])]  # the next candles' opens
