"""The history store's ticks: the last write of each bar wins, whichever setter made it,
and bad keys fail as checking them one by one would."""

import numpy as np
import pytest

from korvit.api.history import _history
from korvit.tframe.utils.utilfunc import as_index


@pytest.fixture
def store():
    _history.clear()
    yield _history
    _history.clear()


class StoreModel:
    """The store as a dict of bars: every write of a bar replaces what it held."""

    def __init__(self):
        self.bars = {}

    def set_one(self, target, bar, times, prices, volumes):
        order = np.argsort(times, kind="stable")
        self.bars[(target, bar)] = tuple(
            np.asarray(a, dtype=float)[order] for a in (times, prices, volumes)
        )

    def set_many(self, keys, times, prices, volumes, bounds):
        for (target, bar), a, b in zip(keys, bounds[:-1], bounds[1:]):
            self.bars[(target, bar)] = tuple(
                np.asarray(x, dtype=float)[a:b] for x in (times, prices, volumes)
            )


@pytest.mark.parametrize("seed", range(4))
def test_store_returns_the_last_write_of_each_bar_whichever_setter_made_it(store, seed):
    rng = np.random.default_rng(seed)
    model = StoreModel()
    space = [(t, b) for t in range(3) for b in range(12)]
    for _ in range(12):
        if rng.random() < 0.4:
            target, bar = space[rng.integers(len(space))]
            n = int(rng.integers(0, 4))
            args = (rng.uniform(0, 9, n), rng.uniform(1, 2, n), rng.uniform(0, 5, n))
            store.set_bar_tick_data(target, bar, *args)
            model.set_one(target, bar, *args)
        else:
            picks = rng.integers(0, len(space), int(rng.integers(0, 15)))  # repeats allowed
            keys = [space[k] for k in picks]
            lengths = rng.integers(0, 4, len(keys))
            bounds = np.r_[0, np.cumsum(lengths)]
            times = np.concatenate([np.sort(rng.uniform(0, 9, n)) for n in lengths] + [np.empty(0)])
            prices, volumes = rng.uniform(1, 2, len(times)), rng.uniform(0, 5, len(times))
            given = np.array(keys, dtype=np.int64).reshape(-1, 2) if rng.random() < 0.5 else keys
            store.set_many_bar_tick_data(given, times, prices, volumes, bounds)
            model.set_many(keys, times, prices, volumes, bounds)
        for target, bar in space:
            got = store.get_bar_tick_data(target, bar)
            want = model.bars.get((target, bar), (np.empty(0),) * 3)
            for a, b in zip((got.Time, got.Price, got.VolumeTick), want):
                np.testing.assert_array_equal(a, b)
    got = store.get_bar_tick_data(*space[0])
    got.Time[:] = -1  # a copy: the store keeps its own
    assert (store.get_bar_tick_data(*space[0]).Time != -1).all()
    store.set_many_bar_tick_data([(0, 2**40), (0, 2**40)], [1.0, 2.0], [1, 2], [1, 1], [0, 1, 2])
    assert store.get_bar_tick_data(0, 2**40).Price.tolist() == [2.0]  # beyond the packed keys
    store.clear()
    assert all(store.get_bar_tick_data(t, b).Time.size == 0 for t, b in space)


@pytest.mark.parametrize(
    "keys",
    [
        [(0, 1), (2, -3)],
        [(0, 1), (-1, 0)],
        [(0, True)],
        [(1.5, 0)],
        [(0, 2.0), (0, "1")],
        [(0, float("nan"))],
        np.array([[0, 1], [3, -2]]),
        np.array([[-4, -2]], dtype=np.int32),
        np.array([[0.0, 1.5]]),
        np.array([[0, 1, 2]]),
        [(0,)],
        np.array([[True, False]]),
    ],
)
def test_store_rejects_bad_keys_as_one_by_one_checks_would(store, keys):
    def first_error():
        for target, bar in keys:
            as_index("target index", target)
            as_index("bar position", bar)

    with pytest.raises(Exception) as expected:
        first_error()
    n = len(keys)
    with pytest.raises(expected.type) as got:
        store.set_many_bar_tick_data(keys, np.zeros(n), np.ones(n), np.ones(n), np.arange(n + 1))
    assert str(got.value) == str(expected.value)
