"""The feeds of paper trading: a replay gives load_bars' bars step by step, and the ccxt
feed gives an exchange's finished candles once each, in order, through its faults.

The exchange is ccxt's own binance class with its HTTP layer (``fetch``) replaced: the
files in tests/data/ccxt are written by hand in the exact shape of binance's public REST
answers (``/api/v3/exchangeInfo`` and the futures ``/fapi/v1``, ``/dapi/v1`` ones that
``load_markets`` asks for, and ``/api/v3/klines`` rows), small, with made-up prices.
Nothing goes to the network and nothing sleeps: the feeds wait on a fake clock.
"""

import math
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvit.data import load_bars, sample_path
from korvit.paper import Clock, FeedError, open_feed

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
