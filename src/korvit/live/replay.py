"""The replay feed: the bars of data files, one time step at a time."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from korvit.data.bars import Bars, load_bars
from korvit.data.calendars import resolve_calendar
from korvit.live.feeds import Clock, Feed, FeedError, Step, check_timeout

__all__ = ["ReplayFeed"]


class ReplayFeed(Feed):
    """``replay:PATH[,PATH...]``: the bars `load_bars` reads from the paths, given one time
    step at a time with the same values and times.

    The first `warmup` steps are the history; `speed` steps a second are given at most
    (0: each as soon as it is asked for); `ticks`: a file of the ticks inside the bars,
    given with their steps.  `load_options` go to `load_bars`.  Each step says whether
    it is the last of its day, as the data shows it: the last bar of its session of the
    `calendar` (named, else inferred from the whole data, as a backtest of it infers it).
    """

    def __init__(
        self,
        paths: str,
        *,
        speed: float = 0.0,
        warmup: int = 0,
        clock: Clock | None = None,
        ticks: str | Path | None = None,
        calendar: str | None = None,
        **load_options: Any,
    ) -> None:
        parts = [part.strip() for part in paths.split(",")]
        if not paths.strip() or not all(parts):
            raise FeedError(f"replay:{paths}: name the data: replay:PATH[,PATH...]")
        sources = [_source(part) for part in parts]
        try:
            bars = load_bars(sources[0] if len(sources) == 1 else sources, **load_options)
        except TypeError as exc:  # an option load_bars does not take
            raise FeedError(f"replay:{paths}: {exc}") from None
        except OSError as exc:
            raise FeedError(
                f"replay:{paths}: {exc.strerror or exc}: {exc.filename or ''}".rstrip(": ")
            ) from None
        if warmup >= len(bars.times):
            raise FeedError(
                f"replay:{paths}: a warm-up of {warmup} steps leaves no step to run: "
                f"the data holds {len(bars.times)}"
            )
        self.name = f"replay:{paths}"
        self.bars = bars
        self.ticks = None
        if ticks is not None:
            from korvit.backtest.inputs import load_inputs

            self.ticks = load_inputs(bars, _source(str(ticks)))[1]
        daily = bars.frequency == "day"
        found, _ = resolve_calendar(calendar, list(bars.codes), bars.times, daily)
        self.calendar = found.name
        days = found.day_of(bars.times, daily)
        self._day_ends = np.r_[days[1:] != days[:-1], True]
        self.codes = list(bars.codes)
        self.frequency = bars.frequency
        self.interval = bars.interval
        self._present = bars.present
        self._speed = float(speed)
        self._clock = Clock() if clock is None else clock
        self._pos = int(warmup)  # the next step to give
        self._due: float | None = None  # when it may be given (monotonic), with a speed

    def history(self, count: int) -> Bars | None:
        count = int(count)
        if count < 0:
            raise FeedError(f"{self.name}: history takes a count of 0 or more, got {count}")
        lo = max(self._pos - count, 0)
        if lo >= self._pos:
            return None
        bars = self.bars
        return Bars(
            bars.codes,
            bars.times[lo : self._pos],
            bars.values[:, lo : self._pos].copy(),
            bars.frequency,
            source=self.name,
            interval=bars.interval,
        )

    def resume_after(self, time: pd.Timestamp) -> None:
        try:
            after = int(self.bars.times.searchsorted(pd.Timestamp(time), side="right"))
        except (TypeError, ValueError) as exc:
            raise FeedError(f"{self.name}: cannot resume after {time!r}: {exc}") from None
        self._pos = max(self._pos, after)
        self.done = self._pos >= len(self.bars.times)

    def next(self, timeout: float) -> Step | None:
        timeout = check_timeout(timeout)
        if self._pos >= len(self.bars.times):
            self.done = True
            return None
        if self._speed > 0:
            now = self._clock.monotonic()
            if self._due is None:
                self._due = now
            wait = self._due - now
            if wait > timeout:
                self._clock.sleep(timeout)
                return None
            self._clock.sleep(wait)
            self._due = max(self._due, now) + 1.0 / self._speed
        i = self._pos
        self._pos += 1
        self.done = self._pos >= len(self.bars.times)
        rows = np.flatnonzero(self._present[:, i])
        return Step(
            self.bars.times[i],
            [self.codes[k] for k in rows],
            self.bars.values[rows, i, :],
            day_end=bool(self._day_ends[i]),
            ticks=self._ticks_at(i),
        )

    def _ticks_at(self, i: int) -> dict[str, tuple[Any, Any, Any]] | None:
        if self.ticks is None:
            return None
        out = {}
        for k, code in enumerate(self.codes):
            try:
                out[code] = self.ticks[k, i]
            except KeyError:  # no ticks in that bar
                continue
        return out or None


def _source(text: str) -> Path:
    """A path, or the shipped sample file for ``sample:NAME``."""
    if text.startswith("sample:"):
        from korvit.data.sample import sample_path

        try:
            return sample_path(text[len("sample:") :])
        except FileNotFoundError as exc:
            raise FeedError(str(exc)) from None
    return Path(text)
