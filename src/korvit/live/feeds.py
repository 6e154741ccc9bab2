"""Feeds of paper trading: finished bars, one time step at a time, on a clock.

A feed gives the bars a paper run deals: `Feed.history` the bars before the first live
step (the strategy's warm-up), then `Feed.next` each finished time step as it comes.
`open_feed` builds one from its text:

- ``replay:PATH[,PATH...]``: the bars of data files (anything `load_bars` reads;
  ``sample:NAME`` is a shipped sample file), given one time step at a time;
- ``ccxt:EXCHANGE:SYMBOL:TIMEFRAME``: an exchange's finished candles (the ``ccxt`` extra);
- ``module.path:ClassName[:ARG]``: a user's own feed class;
- ``SCHEME:ARG``: a feed registered under the entry-point group ``korvit.feeds``.
"""

from __future__ import annotations

import abc
import dataclasses
import importlib
import inspect
import math
import time as _time
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from korvit.data.errors import DataError

if TYPE_CHECKING:
    from korvit.data.bars import Bars, Frequency

__all__ = ["Clock", "Feed", "FeedError", "Step", "open_feed", "ENTRY_POINT_GROUP"]

ENTRY_POINT_GROUP = "korvit.feeds"
_BUILT_IN = ("replay", "ccxt")


class FeedError(DataError):
    """A feed that cannot be opened or read: its text, its source or the exchange."""


class Clock:
    """The clock a feed waits on: wall time, monotonic time and sleep.

    A test replaces it (a subclass whose `sleep` moves its own time on) so that no feed
    waits for real.
    """

    def time(self) -> float:
        """Wall time: seconds since 1970-01-01 00:00 UTC."""
        return _time.time()

    def monotonic(self) -> float:
        """Seconds on a clock that never goes back (deadlines and backoff)."""
        return _time.monotonic()

    def sleep(self, seconds: float) -> None:
        """Wait `seconds` (nothing when not positive)."""
        if seconds > 0:
            _time.sleep(seconds)


@dataclasses.dataclass(frozen=True)
class Step:
    """One finished time step: the bars of every code that has one at `time`.

    time
        The bars' time as `load_bars` labels them (an intraday bar by the end of its
        period, a daily bar by its date).
    codes
        The codes with a bar at `time`, in the feed's order.
    values
        float64 array (len(codes), 5): open, high, low, close and volume of each.
    day_end
        Whether the step is the last of its day (a replay knows it from its data); None:
        not known, the run's calendar tells.
    ticks
        The ticks inside the step's bars, by code: (times, prices, volumes), or None.
    """

    time: pd.Timestamp
    codes: list[str]
    values: npt.NDArray[np.float64]
    day_end: bool | None = None
    ticks: Mapping[str, tuple[Any, Any, Any]] | None = None

    def __post_init__(self) -> None:
        try:
            stamp = pd.Timestamp(self.time)
        except (TypeError, ValueError) as exc:
            raise FeedError(f"a step's time {self.time!r} is not a time: {exc}") from None
        if stamp is pd.NaT:
            raise FeedError("a step's time is missing (NaT)")
        codes = [str(code) for code in self.codes]
        values = np.asarray(self.values, dtype=np.float64)
        if values.shape != (len(codes), 5):
            raise FeedError(
                f"the step at {stamp} has values of shape {values.shape}, "
                f"expected ({len(codes)}, 5): open, high, low, close, volume of each code"
            )
        object.__setattr__(self, "time", stamp)
        object.__setattr__(self, "codes", codes)
        object.__setattr__(self, "values", values)


class Feed(abc.ABC):
    """A source of finished bars for a paper run; subclass it for a feed of your own.

    name
        The feed's text, as `open_feed` was given it (shown in messages).
    codes
        The codes the feed may give bars of (EXCHANGE.SYMBOL).
    frequency, interval
        As `korvit.data.Bars`: "day" (interval None) or "minute" with the length of a
        bar's period.
    done
        True once the feed will give no more steps (the end of a replay); a live feed
        never ends.
    """

    name: str = ""
    codes: list[str]
    frequency: Frequency
    interval: pd.Timedelta | None
    done: bool = False

    def history(self, count: int) -> Bars | None:
        """Up to `count` time steps before the first live one (the warm-up), or None."""
        return None

    @abc.abstractmethod
    def next(self, timeout: float) -> Step | None:
        """The next finished step, waiting on the feed's clock at most `timeout`
        seconds; None when none came in time (a stall) or the feed is `done`."""

    @abc.abstractmethod
    def resume_after(self, time: pd.Timestamp) -> None:
        """Give no step at or before `time` (the last bar a resumed run dealt)."""

    def close(self) -> None:
        """Let go of what the feed holds (connections); the default does nothing."""
        return

    def __enter__(self) -> Feed:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.name or '?'}: {', '.join(self.codes)}>"


def open_feed(
    spec: str, *, speed: float = 0, warmup: int = 0, clock: Clock | None = None, **options: Any
) -> Feed:
    """The feed `spec` names (see the module's text for the forms).

    speed
        Steps a second of a replay (0: as fast as they are asked for).
    warmup
        Steps of a replay kept for `Feed.history`: the first live step is the one after.
    clock
        The clock the feed waits on (`Clock` by default).
    options
        Passed on: to `load_bars` for a replay (``tz=``, ``codes=``, ``bar_time=``...), to
        the ccxt feed (``exchange_options=``, ``settle=``...), to a user's feed.

    Bad text, an unknown exchange, symbol or timeframe raise `FeedError`.
    """
    if not isinstance(spec, str) or not spec.strip():
        raise FeedError(f"a feed is named by text such as replay:PATH, got {spec!r}")
    spec = spec.strip()
    if (
        isinstance(speed, bool)
        or not isinstance(speed, (int, float))
        or not (math.isfinite(speed) and speed >= 0)
    ):
        raise FeedError(f"speed is steps a second, 0 or more, got {speed!r}")
    if isinstance(warmup, bool) or not isinstance(warmup, (int, np.integer)) or warmup < 0:
        raise FeedError(f"warmup is a number of steps, 0 or more, got {warmup!r}")
    clock = Clock() if clock is None else clock
    scheme, _, rest = spec.partition(":")
    settings = dict(speed=float(speed), warmup=int(warmup), clock=clock)
    if scheme == "replay":
        from korvit.live.replay import ReplayFeed

        feed: Any = _call(ReplayFeed, (rest,), settings, options, spec)
    elif scheme == "ccxt":
        from korvit.live.ccxt_feed import CcxtFeed

        feed = _call(CcxtFeed.from_spec, (rest,), settings, options, spec)
    else:
        registered = _registered()
        if scheme in registered:
            try:
                factory = registered[scheme].load()
            except Exception as exc:
                raise FeedError(
                    f"{spec}: the feed registered as {scheme!r} does not load: {_line(exc)}"
                ) from None
            feed = _call(factory, (rest,), settings, options, spec)
        elif _is_dotted(scheme) and rest.partition(":")[0].isidentifier():
            name, _, arg = rest.partition(":")
            factory = _import(scheme, name, spec)
            feed = _call(factory, (arg,) if arg else (), settings, options, spec)
        else:
            known = ", ".join(sorted(set(_BUILT_IN) | set(registered)))
            raise FeedError(
                f"unknown feed {spec!r}: give replay:PATH, ccxt:EXCHANGE:SYMBOL:TIMEFRAME, "
                f"module.path:ClassName or a registered scheme (known: {known})"
            )
    _check_feed(feed, spec)
    if not getattr(feed, "name", ""):
        feed.name = spec
    out: Feed = feed  # a Feed, or an object with its members
    return out


def _line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return f"{type(exc).__name__}: {text[0]}" if text else type(exc).__name__


def _is_dotted(text: str) -> bool:
    return bool(text) and all(part.isidentifier() for part in text.split("."))


def _registered() -> dict[str, Any]:
    from importlib.metadata import entry_points

    return {ep.name: ep for ep in entry_points(group=ENTRY_POINT_GROUP)}


def _import(module: str, name: str, spec: str) -> Any:
    try:
        found = importlib.import_module(module)
    except ImportError as exc:
        raise FeedError(f"{spec}: cannot import {module!r}: {_line(exc)}") from None
    try:
        return getattr(found, name)
    except AttributeError:
        raise FeedError(f"{spec}: module {module!r} has no {name!r}") from None


def _call(
    factory: Any,
    args: tuple[str, ...],
    settings: dict[str, Any],
    options: dict[str, Any],
    spec: str,
) -> Any:
    """``factory(*args, ...)`` with those of the settings it takes and every option."""
    try:
        params = inspect.signature(factory).parameters.values()
    except (TypeError, ValueError):  # no signature to read: give it everything
        takes_all, names = True, set()
    else:
        takes_all = any(p.kind is p.VAR_KEYWORD for p in params)
        names = {p.name for p in params if p.kind in (p.KEYWORD_ONLY, p.POSITIONAL_OR_KEYWORD)}
    unknown = sorted(set(options) - names) if not takes_all else []
    if unknown:
        raise FeedError(f"{spec}: the feed takes no option {', '.join(unknown)}")
    given = {k: v for k, v in settings.items() if takes_all or k in names}
    return factory(*args, **given, **options)


def _check_feed(feed: object, spec: str) -> None:
    """A user's feed has what a run reads of it (a subclass of `Feed` or not)."""
    missing = [
        name
        for name in ("next", "resume_after", "history")
        if not callable(getattr(feed, name, None))
    ] + [name for name in ("codes", "frequency") if not hasattr(feed, name)]
    if missing:
        raise FeedError(
            f"{spec}: {type(feed).__name__} is not a feed: it has no {', '.join(missing)}"
        )
    if feed.frequency not in ("day", "minute"):  # type: ignore[attr-defined]
        raise FeedError(f"{spec}: frequency {feed.frequency!r} is not 'day' or 'minute'")  # type: ignore[attr-defined]
    if not hasattr(feed, "interval"):
        feed.interval = None if feed.frequency == "day" else pd.Timedelta(minutes=1)  # type: ignore[attr-defined]


def check_timeout(timeout: object) -> float:
    """A wait in seconds: a number, 0 or more (infinity waits for good)."""
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout >= 0:
        raise FeedError(f"timeout is seconds, 0 or more, got {timeout!r}")
    return float(timeout)
