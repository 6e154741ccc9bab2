"""The ccxt feed: an exchange's finished candles, polled on the candles' own clock."""

from __future__ import annotations

import collections
import difflib
import logging
import math
import re
from collections.abc import Callable
from typing import Any, TypeVar

import numpy as np
import pandas as pd

from korvit.data.bars import Bars
from korvit.data.errors import DataError, check_code
from korvit.data.limits import MAX_PRICE, MAX_VOLUME
from korvit.live.feeds import Clock, Feed, FeedError, Step, check_timeout

__all__ = ["CcxtFeed"]

log = logging.getLogger("korvit.live.feeds")

_DAY = 86_400
_EPOCH = pd.Timestamp(0)
_REMEMBERED = 5  # periods a gap is asked for again after the candle that ended it
_FORM = "ccxt:EXCHANGE:SYMBOL:TIMEFRAME, e.g. ccxt:binance:BTC/USDT:1m"
T = TypeVar("T")


def _ccxt() -> Any:
    try:
        import ccxt
    except ImportError:
        raise FeedError("ccxt feeds need the ccxt package: pip install 'korvit[ccxt]'") from None
    return ccxt


def _some(names: list[str], wanted: str, what: str) -> str:
    """A few of `names`, those nearest `wanted` first: for a message."""
    near = difflib.get_close_matches(wanted, names, n=5, cutoff=0.5)
    shown = near or sorted(names)[:5]
    more = f" ({len(names)} {what} in all)" if len(names) > len(shown) else ""
    return ", ".join(shown) + more


def _line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return f"{type(exc).__name__}: {text[0][:200]}" if text else type(exc).__name__


class CcxtFeed(Feed):
    """``ccxt:EXCHANGE:SYMBOL:TIMEFRAME``: the finished candles of one market.

    The exchange's public candles (``fetch_ohlcv``) are asked for shortly (`settle`
    seconds) after each period ends.  A candle is given once its period has ended by
    `settle` seconds, or once the exchange shows a later one: a candle in progress is
    never given.  A candle that is late is asked for again after `retry` seconds, then
    twice as long each time (at most a tenth of a period, and 5 minutes); a
    candle given before is never given again; periods the exchange has no candle for
    are logged, with their span, when the next candle is given (a candle that comes
    only after a later one was given is logged and left out: the run has moved on).  Network errors are
    retried after 1, 2, 4... seconds (at most `backoff_max`).

    The code is ``EXCHANGE.BASEQUOTE`` in upper case (``BINANCE.BTCUSDT``); times are UTC
    wall times, an intraday candle labelled by the end of its period, a daily one by
    its date.  `exchange_options` go to the ccxt exchange's constructor.
    """

    def __init__(
        self,
        exchange: str,
        symbol: str,
        timeframe: str,
        *,
        clock: Clock | None = None,
        exchange_options: dict[str, Any] | None = None,
        settle: float = 2.0,
        retry: float | None = None,
        backoff_max: float = 60.0,
        attempts: int = 5,
        limit: int = 500,
        speed: float = 0.0,
        warmup: int = 0,
    ) -> None:
        del speed, warmup  # a live feed runs on the exchange's clock, with any history
        ccxt = _ccxt()
        self.name = f"ccxt:{exchange}:{symbol}:{timeframe}"
        self._clock = Clock() if clock is None else clock
        self._network_error: type[BaseException] = ccxt.NetworkError
        self._ccxt_error: type[BaseException] = ccxt.BaseError
        seconds_given = (
            ("settle", settle, 0),
            ("backoff_max", backoff_max, 1),
            ("retry", retry, 1),
        )
        for label, value, low in seconds_given:
            if value is None and label == "retry":
                continue
            if not (isinstance(value, (int, float)) and math.isfinite(value) and value >= low):
                raise FeedError(f"{self.name}: {label} is seconds, {low} or more, got {value!r}")
        if not (isinstance(limit, int) and limit >= 2) or not (
            isinstance(attempts, int) and attempts >= 1
        ):
            raise FeedError(f"{self.name}: limit takes 2 or more candles, attempts 1 or more")
        if exchange not in ccxt.exchanges:
            raise FeedError(
                f"{self.name}: ccxt has no exchange {exchange!r}; it has "
                f"{_some(list(ccxt.exchanges), exchange, 'exchanges')}"
            )
        try:
            self.exchange = getattr(ccxt, exchange)(
                {"enableRateLimit": True, **(exchange_options or {})}
            )
        except self._ccxt_error as exc:
            raise FeedError(f"{self.name}: {_line(exc)}") from None
        if not self.exchange.has.get("fetchOHLCV"):
            raise FeedError(f"{self.name}: {exchange} gives no candles (fetchOHLCV) through ccxt")
        timeframes = list(self.exchange.timeframes or {})
        if timeframe not in timeframes:
            raise FeedError(
                f"{self.name}: {exchange} has no timeframe {timeframe!r}; it has "
                f"{_some(timeframes, timeframe, 'timeframes')}"
            )
        seconds = int(self.exchange.parse_timeframe(timeframe))
        if seconds > _DAY:
            shorter = [tf for tf in timeframes if self.exchange.parse_timeframe(tf) <= _DAY]
            raise FeedError(
                f"{self.name}: timeframe {timeframe!r} is not intraday or daily bars; "
                f"{exchange} has {', '.join(shorter)}"
            )
        self._attempts = attempts
        self._backoff_max = float(backoff_max)
        markets = self._retrying("loading the markets", self.exchange.load_markets)
        if symbol not in markets:
            raise FeedError(
                f"{self.name}: {exchange} has no market {symbol!r}; it has "
                f"{_some(list(markets), symbol, 'markets')}"
            )
        market = markets[symbol]
        letters = re.sub(
            r"[^0-9A-Za-z]", "", f"{market.get('base') or ''}{market.get('quote') or ''}"
        )
        try:
            self.code = check_code(f"{exchange.upper()}.{letters.upper()}", self.name)
        except DataError as exc:
            raise FeedError(str(exc)) from None
        self.codes = [self.code]
        self.symbol, self.timeframe = symbol, timeframe
        self._tf: pd.Timedelta = pd.Timedelta(seconds=seconds)
        self.frequency = "day" if seconds == _DAY else "minute"
        self.interval = None if seconds == _DAY else self._tf
        self._settle = float(settle)
        self._retry = float(retry) if retry is not None else min(max(seconds / 20, 1.0), 10.0)
        self._limit = limit
        self._last: pd.Timestamp | None = None  # the label of the last candle given
        self._ready: collections.deque[Step] = collections.deque()
        self._retry_at = -math.inf  # no poll before (monotonic): backoff or a late candle
        self._failures = 0
        self._late = 0  # polls in a row that found no new candle
        # the labels of recent periods given up as gaps, asked for again to tell a candle
        # that comes after later ones from one that never comes
        self._holes: set[pd.Timestamp] = set()

    @classmethod
    def from_spec(cls, text: str, **options: Any) -> CcxtFeed:
        """The feed of ``EXCHANGE:SYMBOL:TIMEFRAME`` (a symbol may hold colons:
        ``BTC/USDT:USDT``)."""
        exchange, _, rest = text.partition(":")
        symbol, _, timeframe = rest.rpartition(":")
        if not (exchange and symbol and timeframe):
            raise FeedError(f"ccxt:{text}: write the feed as {_FORM}")
        return cls(exchange, symbol, timeframe, **options)

    # -- the feed

    def history(self, count: int) -> Bars | None:
        count = int(count)
        if count < 0:
            raise FeedError(f"{self.name}: history takes a count of 0 or more, got {count}")
        if count == 0:
            if self._last is None:
                self._begin()
            return None
        upto = self._last
        anchor = self._wall(upto) if upto is not None else self._clock.time()
        since = anchor - (count + 2) * self._tf.total_seconds() - self._open_shift()
        candles = self._collect(since, upto)
        if upto is not None:
            candles = [c for c in candles if c[0] <= upto]
        candles = candles[-count:]
        self._give_gaps(candles)
        if candles:
            self._last = max(candles[-1][0], upto) if upto is not None else candles[-1][0]
        elif upto is None:
            self._begin()
        if not candles:
            return None
        return Bars(
            [self.code],
            [c[0] for c in candles],
            np.array([c[1] for c in candles])[None],
            self.frequency,
            source=self.name,
            interval=self.interval,
        )

    def resume_after(self, time: pd.Timestamp) -> None:
        try:
            stamp = pd.Timestamp(time)
        except (TypeError, ValueError) as exc:
            raise FeedError(f"{self.name}: cannot resume after {time!r}: {exc}") from None
        if stamp.tzinfo is not None:
            stamp = stamp.tz_convert("UTC").tz_localize(None)
        self._last = stamp if self._last is None else max(self._last, stamp)
        while self._ready and self._ready[0].time <= stamp:
            self._ready.popleft()

    def next(self, timeout: float) -> Step | None:
        deadline = self._clock.monotonic() + check_timeout(timeout)
        while not self._ready:
            due = self._wall(self._after() + self._tf) + self._period_end_shift() + self._settle
            wait = max(due - self._clock.time(), self._retry_at - self._clock.monotonic())
            left = deadline - self._clock.monotonic()
            if wait > left:
                self._clock.sleep(left)
                return None
            self._clock.sleep(wait)
            self._poll()
        return self._ready.popleft()

    def close(self) -> None:
        session = getattr(self.exchange, "session", None)
        if session is not None:
            session.close()

    # -- the exchange

    def _after(self) -> pd.Timestamp:
        """The label of the last candle given (or skipped), the start found first."""
        if self._last is None:
            self._begin()
        assert self._last is not None
        return self._last

    def _begin(self) -> None:
        """Start after the last candle finished now: a fresh run's first live step is
        the candle in progress."""
        candles = self._collect(
            self._clock.time() - 3 * self._tf.total_seconds() - self._open_shift(), None
        )
        if candles:
            self._last = candles[-1][0]
        else:  # no recent candle: the grid's last period
            seconds = self._tf.total_seconds()
            ended = math.floor((self._clock.time() - self._settle) / seconds) * seconds
            self._last = _EPOCH + pd.Timedelta(seconds=ended - self._period_end_shift())

    def _poll(self) -> None:
        """Ask for the candles after the last one given; queue those finished."""
        last = self._after()
        self._holes = {label for label in self._holes if label > last - _REMEMBERED * self._tf}
        first = min(self._holes, default=last + self._tf)
        if (last - first) // self._tf + 2 > self._limit // 2:  # pages too short for it
            first = last + self._tf
        since = self._wall(first) - self._open_shift()
        try:
            rows = self.exchange.fetch_ohlcv(
                self.symbol, self.timeframe, since=int(since * 1000), limit=self._limit
            )
        except self._network_error as exc:
            self._failures += 1
            delay = min(self._backoff_max, 2.0 ** (self._failures - 1))
            log.warning("%s: %s; asking again in %g s", self.name, _line(exc), delay)
            self._retry_at = self._clock.monotonic() + delay
            return
        except self._ccxt_error as exc:
            raise FeedError(f"{self.name}: {_line(exc)}") from None
        if self._failures:
            log.info("%s: the exchange answers again, after %d failures", self.name, self._failures)
            self._failures = 0
        candles = self._finished(self._parse(rows))
        for label in sorted(self._holes.intersection(c[0] for c in candles)):
            log.warning(
                "%s: the candle at %s came after later ones were given: left out", self.name, label
            )
            self._holes.discard(label)
        candles = [c for c in candles if c[0] > last]
        self._give_gaps(candles)
        for label, values in candles:
            self._ready.append(Step(label, [self.code], values[None]))
        if candles:
            self._last = candles[-1][0]
            self._retry_at, self._late = -math.inf, 0
        else:  # the candle is late: ask again soon, then less and less often
            cap = max(self._retry, min(self._tf.total_seconds() / 10, 300.0))
            delay = min(self._retry * 2.0 ** min(self._late, 30), cap)
            self._retry_at, self._late = self._clock.monotonic() + delay, self._late + 1

    def _collect(
        self, since: float, upto: pd.Timestamp | None
    ) -> list[tuple[pd.Timestamp, np.ndarray]]:
        """The finished candles from wall time `since` on (through `upto`), page by page."""
        found: dict[pd.Timestamp, np.ndarray] = {}
        while True:
            rows = self._retrying(
                "fetching candles",
                self.exchange.fetch_ohlcv,
                self.symbol,
                self.timeframe,
                since=int(since * 1000),
                limit=self._limit,
            )
            page = self._finished(self._parse(rows))
            fresh = [c for c in page if c[0] not in found]
            found.update(page)
            if len(rows) < self._limit or not fresh or (upto is not None and fresh[-1][0] >= upto):
                return sorted(found.items(), key=lambda c: c[0])
            since = self._wall(fresh[-1][0]) - self._open_shift() + self._tf.total_seconds()

    def _retrying(self, what: str, call: Callable[..., T], *args: Any, **kwargs: Any) -> T:
        """``call(*args, **kwargs)``, tried again on network errors (`attempts` in all)."""
        for attempt in range(1, self._attempts + 1):
            try:
                return call(*args, **kwargs)
            except self._network_error as exc:
                if attempt == self._attempts:
                    raise FeedError(
                        f"{self.name}: {what} failed {attempt} times: {_line(exc)}"
                    ) from None
                delay = min(self._backoff_max, 2.0 ** (attempt - 1))
                log.warning("%s: %s: %s; trying again in %g s", self.name, what, _line(exc), delay)
                self._clock.sleep(delay)
            except self._ccxt_error as exc:
                raise FeedError(f"{self.name}: {what}: {_line(exc)}") from None
        raise AssertionError("unreachable")

    def _parse(self, rows: Any) -> list[tuple[pd.Timestamp, np.ndarray]]:
        """The exchange's candles as (label, values), in time order, each time once (the
        last of its repeats), bad candles logged and left out."""
        found: dict[pd.Timestamp, np.ndarray] = {}
        for row in rows or []:
            try:
                opened = pd.Timestamp(int(row[0]) * 1_000_000)
                values = np.array([math.nan if v is None else float(v) for v in row[1:6]])
                if len(values) != 5:
                    raise IndexError(len(values))
            except (TypeError, ValueError, IndexError, OverflowError):
                log.warning(
                    "%s: a candle that is not [time, open, high, low, close, volume] is left out: %r",
                    self.name,
                    row,
                )
                continue
            label = opened + self._open_shift_delta()
            problem = _bad(values)
            if problem:
                log.warning("%s: the candle at %s is left out: %s", self.name, label, problem)
                continue
            found[label] = values
        return sorted(found.items(), key=lambda c: c[0])

    def _finished(
        self, candles: list[tuple[pd.Timestamp, np.ndarray]]
    ) -> list[tuple[pd.Timestamp, np.ndarray]]:
        """The candles whose period has ended: by `settle` seconds, or shown so by a
        later candle of the exchange."""
        cutoff = self._clock.time() - self._settle - self._period_end_shift()
        if candles and self._wall(candles[-1][0]) > cutoff:
            return candles[:-1]
        return candles

    def _give_gaps(self, candles: list[tuple[pd.Timestamp, np.ndarray]]) -> None:
        """Log each span of periods without a candle before or among `candles`."""
        last = self._last
        for label, _ in candles:
            if last is not None and label > last + self._tf:
                missing = (label - last) // self._tf - 1
                log.warning(
                    "%s: no candle from %s to %s (%d %s): the exchange has none; going on at %s",
                    self.name,
                    last + self._tf,
                    label - self._tf,
                    missing,
                    "period" if missing == 1 else "periods",
                    label,
                )
                self._holes.update(
                    label - k * self._tf for k in range(1, min(missing, _REMEMBERED) + 1)
                )
            last = label

    # -- times: a label is an intraday candle's end, a daily candle's date (its open)

    def _open_shift(self) -> float:
        """Seconds from a candle's open to its label."""
        return 0.0 if self.frequency == "day" else self._tf.total_seconds()

    def _open_shift_delta(self) -> pd.Timedelta:
        return pd.Timedelta(0) if self.frequency == "day" else self._tf

    def _period_end_shift(self) -> float:
        """Seconds from a candle's label to the end of its period."""
        return self._tf.total_seconds() if self.frequency == "day" else 0.0

    @staticmethod
    def _wall(label: pd.Timestamp) -> float:
        return float((label - _EPOCH).total_seconds())


def _bad(values: np.ndarray) -> str:
    """What is wrong with a candle's open, high, low, close and volume ('' if nothing)."""
    o, h, lo, c, v = values
    if not np.isfinite(values).all():
        return "a value is missing or not finite"
    if not (0 < lo <= min(o, c) and max(o, c) <= h <= MAX_PRICE):
        return f"prices open {o:g}, high {h:g}, low {lo:g}, close {c:g} do not fit"
    if not 0 <= v <= MAX_VOLUME:
        return f"volume {v:g} is out of bounds"
    return ""
