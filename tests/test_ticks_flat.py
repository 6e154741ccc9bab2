"""Ticks held flat, from loading through the history store: the same bars, arrays and
errors as a plain per-bar dict would give, at a small cost per bar."""

import hashlib
import pickle
import tracemalloc

import numpy as np
import pandas as pd
import pytest

from korvit.api.history import _history
from korvit.data import Ticks, load_bars, load_ticks


@pytest.fixture
def store():
    _history.clear()
    yield _history
    _history.clear()


def random_ticks(rng, codes=("SHFE.RB2405", "SHFE.HC2405", "DCE.I2405"), days=2):
    """Minute bars of a few codes (some minutes missing per code) and ticks scattered
    over them, some at equal times, given out of order."""
    minutes = pd.date_range("2024-01-02 09:31", periods=40, freq="min")
    stamps = minutes.append(
        pd.DatetimeIndex([m + pd.Timedelta(days=d) for d in range(1, days) for m in minutes])
    )
    rows = [
        dict(time=t, code=code, open=10.0, high=11.0, low=9.0, close=10.0, volume=1.0)
        for code in codes
        for t in stamps
        if rng.random() < 0.8
    ]
    bars = load_bars(pd.DataFrame(rows))
    picks = rng.integers(0, len(rows), 600)
    offsets = pd.to_timedelta(rng.integers(0, 60, len(picks)) * 1_000_000_000)
    frame = pd.DataFrame(
        {
            "time": pd.DatetimeIndex([rows[i]["time"] for i in picks]) - offsets,
            "code": [rows[i]["code"] for i in picks],
            "price": rng.uniform(9, 11, len(picks)).round(2),
            "volume": rng.integers(0, 5, len(picks)).astype(float),
        }
    )
    return bars, frame


def per_bar(ticks, bars):
    """What a per-bar dict would hold: the ticks of each (code, bar), sorted stably by time,
    keys in (code, bar) order."""
    timeline = bars.times
    groups = {}
    for time, code, price, volume in ticks.itertuples(index=False):
        c = bars.codes.index(code)
        own = [k for k in range(len(timeline)) if bars.present[c][k]]
        b = next(k for k in own if timeline[k] >= time)  # minute bars end at their label
        groups.setdefault((c, b), []).append((np.datetime64(time, "ns"), price, volume))
    result = {}
    for key in sorted(groups):
        rows = sorted(groups[key], key=lambda row: row[0])
        result[key] = tuple(np.array([row[k] for row in rows]) for k in range(3))
    return result


@pytest.mark.parametrize("seed", range(3))
def test_loaded_ticks_hold_every_bar_as_a_dict_of_bars_would(seed):
    bars, frame = random_ticks(np.random.default_rng(seed))
    loaded = load_ticks(frame, bars)
    expected = per_bar(frame, bars)
    assert list(loaded) == list(expected) and len(loaded) == len(expected)
    assert (
        loaded.count == len(frame)
        and repr(loaded) == f"Ticks({len(frame)} ticks in {len(expected)} bars, source='DataFrame')"
    )
    for (key, got), (other, want) in zip(loaded.items(), expected.items()):
        assert key == other and loaded[key][0] is not got[0]  # views made on demand
        assert [a.dtype for a in got] == [np.dtype("datetime64[ns]"), np.float64, np.float64]
        for a, b in zip(got, want):
            np.testing.assert_array_equal(a, b)
            assert not a.flags.writeable
    assert [tuple(map(len, v)) for v in loaded.values()] == [
        tuple(map(len, v)) for v in expected.values()
    ]
    assert (0, len(bars.times)) not in loaded and (0.0, next(iter(loaded))[1]) in loaded
    with pytest.raises(TypeError):
        loaded[[0, 0]]  # unhashable, as for a dict
    copy = pickle.loads(pickle.dumps(loaded))  # as sent to sweep workers
    assert list(copy) == list(loaded) and not copy[next(iter(copy))][1].flags.writeable


def test_ticks_built_from_groups_keep_their_order_and_flat_form():
    t = np.array(
        ["2024-01-02T09:31", "2024-01-02T09:32", "2024-01-02T09:33"], dtype="datetime64[ns]"
    )
    groups = {
        (1, 5): (t[:2], np.array([1.0, 2.0]), np.array([3.0, 4.0])),
        (0, 7): (t[2:], np.array([5.0]), np.array([6.0])),
    }
    ticks = Ticks(groups, ["A", "B"], "mine")
    assert list(ticks) == [(1, 5), (0, 7)] and ticks.codes == ["A", "B"] and ticks.count == 3
    code_index, bar_index, bounds, times, prices, volumes = ticks.flat()
    assert (code_index.tolist(), bar_index.tolist(), bounds.tolist()) == ([1, 0], [5, 7], [0, 2, 3])
    np.testing.assert_array_equal(ticks[(0, 7)][1], [5.0])
    assert len(Ticks({})) == 0 and Ticks({}).count == 0 and list(Ticks({})) == []
    with pytest.raises(KeyError):
        ticks[(0, 5)]
    with pytest.raises(ValueError, match="twice"):
        Ticks.from_flat([0, 0], [1, 1], [0, 1, 2], t[:2], np.ones(2), np.ones(2))
    with pytest.raises(ValueError, match="bounds"):
        Ticks.from_flat([0], [1], [0, 1], t[:2], np.ones(2), np.ones(2))


def test_trimmed_ticks_keep_the_bars_inside_at_their_new_positions():
    from korvit.backtest.inputs import _ticks_on

    bars, frame = random_ticks(np.random.default_rng(7))
    loaded = load_ticks(frame, bars)
    start = bars.times[len(bars.times) // 3]
    rows = [
        dict(time=t, code=code, open=10.0, high=11.0, low=9.0, close=10.0, volume=1.0)
        for c, code in enumerate(bars.codes[1:], 1)
        for k, t in enumerate(bars.times)
        if bars.present[c][k] and t >= start
    ]
    trimmed = load_bars(pd.DataFrame(rows))
    got = _ticks_on(loaded, bars, trimmed)
    expected = {}
    for (c, b), group in loaded.items():
        if c >= 1 and bars.times[b] >= start:
            expected[(trimmed.codes.index(bars.codes[c]), trimmed.times.get_loc(bars.times[b]))] = (
                group
            )
    assert list(got) == list(expected) and got.count == sum(len(g[0]) for g in expected.values())
    for key, group in expected.items():
        for a, b in zip(got[key], group):
            np.testing.assert_array_equal(a, b)


def test_sweep_fingerprint_of_ticks_is_the_digest_of_each_bar_in_key_order():
    # sweep folders written before resume only if the digest stays the same
    from korvit.backtest.sweep.space import _canonical
    from korvit.backtest.sweep.worker import _Job

    bars, frame = random_ticks(np.random.default_rng(3))
    loaded = load_ticks(frame, bars)
    job = _Job("f.py", "src", bars, loaded, None, {}, {}, False)
    digest = hashlib.sha256()
    digest.update(b"src")
    digest.update(_canonical([bars.codes, bars.frequency]).encode())
    digest.update(bars.times.asi8.tobytes())
    digest.update(np.ascontiguousarray(bars.values).tobytes())
    for key in sorted(loaded):
        digest.update(repr(key).encode())
        for array in loaded[key]:
            digest.update(np.ascontiguousarray(array).tobytes())
    digest.update(_canonical({"options": {}, "fixed": {}}).encode())
    assert job.fingerprint() == digest.hexdigest()


def test_storing_many_bars_of_ticks_costs_little_beyond_the_ticks(store):
    bars_count, per_bar_ticks = 200_000, 2
    n = bars_count * per_bar_ticks
    code_index = np.repeat(np.arange(4, dtype=np.int64), bars_count // 4)
    bar_index = np.tile(np.arange(bars_count // 4, dtype=np.int64), 4)
    bounds = np.arange(0, n + 1, per_bar_ticks, dtype=np.int64)
    times = np.datetime64("2024-01-02T09:30", "ns") + np.arange(n).astype("timedelta64[s]")
    prices, volumes = np.full(n, 10.0), np.ones(n)
    tracemalloc.start()
    try:
        ticks = Ticks.from_flat(
            code_index, bar_index, bounds, times, prices, volumes, ["A", "B", "C", "D"]
        )
        codes, bars, bounds, times, prices, volumes = ticks.flat()
        seconds = times.astype("datetime64[us]").astype(np.int64) / 1e6
        store.set_many_bar_tick_data(
            np.column_stack((codes, bars)), seconds, prices, volumes, bounds
        )
        assert store.get_bar_tick_data(3, bars_count // 4 - 1).Time.size == per_bar_ticks
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    ticks_bytes = 4 * 8 * n  # the store's three columns and the seconds on the way in
    assert (peak - ticks_bytes) / bars_count < 100
