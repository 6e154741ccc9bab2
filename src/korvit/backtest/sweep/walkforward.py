"""Walk-forward splits: made from window lengths, or checked as given."""

from __future__ import annotations

import datetime
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import pandas as pd

from korvit.backtest.sweep.space import SweepError

if TYPE_CHECKING:
    from korvit.data import Bars


def walk_forward(
    start: str | datetime.date | pd.Timestamp,
    end: str | datetime.date | pd.Timestamp,
    *,
    train: int,
    test: int,
    step: int | None = None,
    expanding: bool = False,
) -> list[tuple[str, str, str, str]]:
    """Walk-forward splits over the days from ``start`` to ``end``: a list of
    ``(train_start, train_end, test_start, test_end)`` dates (text, both ends
    included).  ``train`` and ``test`` are window lengths in calendar days;
    each test window starts ``step`` days (default ``test``) after the one
    before, so that by default they follow one another, and is cut at
    ``end``.  Rolling windows (the default): each training window is the
    ``train`` days before its test window; ``expanding=True``: each reaches
    back to ``start`` (the first is ``train`` days long, the later ones grow
    by ``step`` days a split)."""
    first, last = (pd.Timestamp(value).normalize() for value in (start, end))
    for name, value in (("train", train), ("test", test), ("step", step)):
        if value is not None and (
            isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value <= 0
        ):
            raise SweepError(
                f"walk_forward: {name} must be a whole number of days > 0, got {value!r}"
            )
    day = pd.Timedelta(days=1)
    step = test if step is None else step
    splits: list[tuple[str, str, str, str]] = []
    test_start = first + train * day
    while test_start <= last:
        train_start = first if expanding else test_start - train * day
        test_end = min(test_start + (test - 1) * day, last)
        splits.append(
            (
                train_start.date().isoformat(),
                (test_start - day).date().isoformat(),
                test_start.date().isoformat(),
                test_end.date().isoformat(),
            )
        )
        test_start += step * day
    if not splits:
        raise SweepError(
            f"walk_forward: {start} to {end} is too short for a {train}-day training "
            "window followed by a test window"
        )
    return splits


def split_warmups(
    splits: Sequence[Sequence[Any]], bars: Bars, warmup: int | None = None
) -> list[tuple[int, int]]:
    """Each checked split's ``(training, test)`` warm-up: the bars before the
    window a run sees as history, ``warmup`` or by default as many as the
    split's training window holds, fewer where the data has fewer before
    the window."""
    from korvit.data.bars import _bounds

    times = bars.times.to_numpy().astype("datetime64[ns]")  # as the bounds are
    out: list[tuple[int, int]] = []
    for a, b, c, _ in splits:
        train_start, train_end = cast("tuple[np.datetime64, np.datetime64]", _bounds(a, b))
        test_start = cast(np.datetime64, _bounds(c, None)[0])
        before_train, before_test = (
            int(times.searchsorted(train_start)),
            int(times.searchsorted(test_start)),
        )
        wanted = (
            warmup
            if warmup is not None
            else int(times.searchsorted(train_end, side="right")) - before_train
        )
        out.append((min(wanted, before_train), min(wanted, before_test)))
    return out


def _checked_splits(splits: Sequence[object], bars: Bars) -> list[tuple[str, ...]]:
    checked: list[tuple[str, ...]] = []
    for number, split in enumerate(splits, 1):
        if not isinstance(split, (list, tuple)) or len(split) != 4:
            raise SweepError(
                f"split {number} must be (train_start, train_end, test_start, test_end), "
                f"got {split!r}"
            )
        try:
            stamps = [pd.Timestamp(value) for value in split]
        except (ValueError, TypeError) as exc:
            raise SweepError(f"split {number}: {exc}") from None
        a, b, c, d = stamps
        if not (a <= b < c <= d):
            raise SweepError(
                f"split {number}: the windows must run train_start <= train_end < "
                f"test_start <= test_end, got {split!r}"
            )
        texts = tuple(
            str(value) if isinstance(value, str) else stamp.isoformat()
            for value, stamp in zip(split, stamps)
        )
        for phase, (lo, hi) in (("train", texts[:2]), ("test", texts[2:])):
            if not _has_bars(bars, lo, hi):
                raise SweepError(f"split {number}: the {phase} window {lo} to {hi} holds no bars")
        checked.append(texts)
    return checked


def _has_bars(bars: Bars, start: str, end: str) -> bool:
    from korvit.data.bars import _bounds

    lo, hi = cast("tuple[np.datetime64, np.datetime64]", _bounds(start, end))
    times = bars.times.to_numpy()
    return bool(((times >= lo) & (times <= hi)).any())
