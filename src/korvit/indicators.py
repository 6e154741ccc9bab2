"""Indicators computed once over the whole run, revealed bar by bar.

A strategy makes its indicators in ``init``; each is computed there over the
code's whole series in vectorised numpy, and ``on_data`` reads it as a
``Series`` that ends at the current bar:

    from korvit.indicators import crossed_above, crossed_below, sma
    from korvit.strategy import buy, position, sell

    def init(context):
        context.fast = sma("SZSE.000001", 10)          # the mean of the last 10 closes
        context.slow = sma("SZSE.000001", 30)

    def on_data(context):
        if crossed_above(context.fast, context.slow) and position("SZSE.000001") == 0:
            buy("SZSE.000001", 100)
        elif crossed_below(context.fast, context.slow) and position("SZSE.000001") > 0:
            sell("SZSE.000001", 100)

``context.fast[-1]`` (or ``context.fast.now``) is the value at the current
bar, ``context.fast[-2]`` the one before; ``len(context.fast)`` counts the
bars up to the current one (0 in ``init``, whose orders fill at the first
bar's open, before its prices are known).  Nothing a ``Series`` hands out
reaches past the current bar: indexing, slicing, iterating, ``.values`` and
``np.asarray(series)`` give read-only numpy arrays of the bars up to it, and
those arrays' ``.base`` holds no value of a later bar either.  (The values
not yet revealed are kept in the ``Series`` itself, beside the revealed
ones, as the bars are kept in the session: a strategy that digs into the
objects' private attributes can reach them.)

Each indicator is computed over the bars the code has: where the run's
timeline has a time at which the code has no bar (a day it did not trade),
the value is NaN and the windows and smoothings skip that time.  Values are
NaN until the window is full (the warm-up); the first value of each is
named in its function.  With a code that has a bar at every time,
``sma(code, n)[-1]`` equals ``history(code, "close", n).mean()`` bit for bit
(``highest``, ``lowest`` and the bands' deviation likewise), and the
smoothed indicators equal their recursion run bar by bar over ``history``,
as each function states it.  Asking twice for the same indicator of the same
run gives the same ``Series``, computed once.

Any other indicator, TA-Lib's included, is wrapped with ``indicator``: it
takes the function that computes it over a whole series.

Every function takes ``timeframe=`` ("15min", "1h", "1D", "1W"): the
indicator is then computed over the code's periods of that timeframe,
resampled from the run's bars along the calendar's sessions, and at each
bar holds the value of the last period finished by then (NaN before), so it
changes only at the bar that finishes a period::

    context.hourly = sma("SHFE.RB2405", 20, timeframe="60min")

``resample(code, timeframe)`` gives the finished periods themselves, as a
pandas DataFrame.  How periods are cut and when each is revealed:
``korvit.backtest.timeframes``.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, Literal, NamedTuple, TypeAlias, cast, overload

import numpy as np
import numpy.typing as npt
import pandas as pd
from numpy.lib.stride_tricks import sliding_window_view

from korvit import native
from korvit.backtest import session as _sessions
from korvit.backtest.session import Session, StrategyError, running_session
from korvit.backtest.timeframes import Timeframe, resampled, session_timeframe

__all__ = [
    "Series",
    "Bands",
    "Macd",
    "sma",
    "ema",
    "rsi",
    "atr",
    "bollinger",
    "macd",
    "highest",
    "lowest",
    "indicator",
    "crossed_above",
    "crossed_below",
    "resample",
]

FIELDS = ("open", "high", "low", "close", "volume")
_NAN = math.nan

Field: TypeAlias = Literal["open", "high", "low", "close", "volume"]
_Array: TypeAlias = "npt.NDArray[np.float64]"
Code: TypeAlias = "str | int"
Crossable: TypeAlias = "Series | float | Sequence[float] | _Array"
"""What ``crossed_above`` and ``crossed_below`` compare: a ``Series``, a number, or values
(their last two)."""
"""A code as the data writes it, or its target index."""


class Series:
    """An indicator's values up to the current bar, oldest first.

    ``series[-1]`` and ``series.now`` are the current bar's value (``now`` is
    NaN in ``init``, where ``series`` is empty), ``len(series)`` the number of
    bars up to the current one.  Indexing, slicing, iterating, ``.values``
    and ``np.asarray(series)`` see only those bars, as read-only numpy data."""

    __slots__ = ("name", "_session", "_values", "_shown", "_upto")

    name: str
    _session: Session
    _values: _Array
    _shown: _Array | None
    _upto: int

    def __init__(self, values: _Array, session: Session, name: str) -> None:
        self.name = name
        self._session = session
        self._values = values
        # the values revealed so far, NaN beyond them: made when first handed out (most
        # strategies read single values, and a run of many codes has many series)
        self._shown = None
        self._upto = 0

    def _count(self) -> int:
        """The number of bars up to the current one (refused in another run)."""
        session = self._session
        running = _sessions._current
        if running is not session and running is not None:
            raise StrategyError(f"{self.name} was made in another run: make indicators in init")
        return session.bar + 1 if session.started else 0

    def _visible(self) -> int:
        """The number of bars up to the current one, revealed in ``_shown`` (for
        what hands out arrays; a single value is read from ``_values`` at once)."""
        n = self._count()
        upto = self._upto
        shown = self._shown
        if shown is None:
            shown = self._shown = np.full(len(self._values), _NAN)
            shown.flags.writeable = False
        if n > upto:
            shown.flags.writeable = True
            shown[upto:n] = self._values[upto:n]
            shown.flags.writeable = False
            self._upto = n
        return n

    @property
    def values(self) -> _Array:
        """The values up to the current bar, oldest first (a read-only numpy array)."""
        n = self._visible()
        return cast("_Array", self._shown)[:n]

    @property
    def now(self) -> float:
        """The value at the current bar (NaN in ``init`` and while warming up)."""
        n = self._count()
        return float(self._values[n - 1]) if n else _NAN

    def __len__(self) -> int:
        return self._count()

    @overload
    def __getitem__(self, key: int | np.integer[Any]) -> float: ...
    @overload
    def __getitem__(self, key: slice | npt.NDArray[np.integer[Any] | np.bool_]) -> _Array: ...

    def __getitem__(
        self, key: int | np.integer[Any] | slice | npt.NDArray[np.integer[Any] | np.bool_]
    ) -> float | _Array:
        if type(key) is int:  # the common case: one value, of a bar up to the current one
            n = self._count()
            if -n <= key < n:
                value: float = self._values[key + n if key < 0 else key]
                return value
            raise IndexError(
                f"bar {key} is beyond the {n} bars of {self.name} up to the current one"
            )
        n = self._visible()
        seen: float | _Array = cast("_Array", self._shown)[:n][key]
        return seen

    def __iter__(self) -> Iterator[float]:
        return iter(self.values)

    def __array__(
        self, dtype: npt.DTypeLike | None = None, copy: bool | None = None
    ) -> npt.NDArray[Any]:
        values = self.values
        if dtype is not None and np.dtype(dtype) != values.dtype:
            return values.astype(dtype)
        return values.copy() if copy else values

    def __repr__(self) -> str:
        n = len(self)
        return f"<{self.name}: {n} bars, now {self.now!r}>" if n else f"<{self.name}: no bar yet>"

    def _last_two(self) -> tuple[float, float]:
        n = self._count()
        if n < 2:
            return _NAN, _NAN
        item = self._values.item  # Python floats: compared without numpy's scalar machinery
        return item(n - 1), item(n - 2)


# The crossings of two series of the running session are read by the compiled module while
# the class is as made here (``_crossed``; None: this module's own code tells).
_native: Any = native  # the hooks are not part of the module's stub
_native._own_series(Series)
_crossed = _native._crossed


class Bands(NamedTuple):
    """Bollinger bands: three ``Series``, the middle one the moving average."""

    upper: Series
    middle: Series
    lower: Series


class Macd(NamedTuple):
    """MACD: the line, its signal line and their difference, three ``Series``."""

    macd: Series
    signal: Series
    histogram: Series


# ------------------------------------------------------------------ the arithmetic, over whole series
#
# Each takes the code's bars (contiguous float64 arrays) and gives one value
# per bar, NaN while warming up.  The per-window reductions are numpy's own
# over each window (np.mean, np.std, np.max of the window's values), so they
# equal those reductions of the window that history() gives, bit for bit.


def _windows(x: _Array, window: int) -> _Array:
    views: _Array = sliding_window_view(x, window)
    return views


def _mean(x: _Array, window: int) -> _Array:
    out = np.full(len(x), _NAN)
    if len(x) >= window:
        out[window - 1 :] = _windows(x, window).mean(axis=-1)
    return out


def _extreme(x: _Array, window: int, largest: bool) -> _Array:
    out = np.full(len(x), _NAN)
    if len(x) >= window:
        windows = _windows(x, window)
        out[window - 1 :] = windows.max(axis=-1) if largest else windows.min(axis=-1)
    return out


def _smooth(x: _Array, window: int, alpha: float) -> _Array:
    """The exponential smoothing ``y = alpha * x + (1 - alpha) * y_before``,
    seeded at x[window - 1] with the mean of the first ``window`` values."""
    out = np.full(len(x), _NAN)
    if len(x) < window:
        return out
    seed = x[:window].mean()
    out[window - 1] = seed
    if len(x) > window:
        from scipy.signal import lfilter  # scipy loads only with a smoothing indicator (~0.2 s)

        # lfilter's recursion is y = alpha * x + (1 - alpha) * y_before, in that order
        out[window:] = lfilter(
            [alpha], [1.0, -(1.0 - alpha)], x[window:], zi=[(1.0 - alpha) * seed]
        )[0]
    return out


def _ema(x: _Array, window: int) -> _Array:
    return _smooth(x, window, 2.0 / (window + 1))


def _wilder(x: _Array, window: int) -> _Array:
    return _smooth(x, window, 1.0 / window)


def _rsi(close: _Array, window: int) -> _Array:
    out = np.full(len(close), _NAN)
    change = np.diff(close)
    gain = _wilder(np.where(change > 0, change, 0.0), window)
    loss = _wilder(np.where(change < 0, -change, 0.0), window)
    total = gain + loss
    with np.errstate(invalid="ignore", divide="ignore"):
        out[1:] = np.where(total > 0, 100.0 * gain / total, np.where(np.isnan(total), _NAN, 50.0))
    return out


def _true_range(high: _Array, low: _Array, close: _Array) -> _Array:
    out = np.full(len(close), _NAN)
    before = close[:-1]
    out[1:] = np.maximum(
        np.maximum(high[1:] - low[1:], np.abs(high[1:] - before)), np.abs(low[1:] - before)
    )
    return out


def _atr(high: _Array, low: _Array, close: _Array, window: int) -> _Array:
    out = np.full(len(close), _NAN)
    out[1:] = _wilder(_true_range(high, low, close)[1:], window)
    return out


def _bollinger(close: _Array, window: int, width: float) -> tuple[_Array, _Array, _Array]:
    middle = _mean(close, window)
    deviation = np.full(len(close), _NAN)
    if len(close) >= window:
        deviation[window - 1 :] = _windows(close, window).std(axis=-1)
    return middle + width * deviation, middle, middle - width * deviation


def _macd(close: _Array, fast: int, slow: int, signal: int) -> tuple[_Array, _Array, _Array]:
    line = _ema(close, fast) - _ema(close, slow)
    smoothed = np.full(len(close), _NAN)
    smoothed[slow - 1 :] = _ema(line[slow - 1 :], signal)
    return line, smoothed, line - smoothed


# ------------------------------------------------------------------ making indicators


def _window(value: object, what: str = "window") -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 1:
        raise StrategyError(f"{what} must be a whole number of bars above 0, got {value!r}")
    return int(value)


def _field(field: object) -> int:
    if field not in FIELDS:
        raise StrategyError(f"unknown bar field {field!r}; fields: {', '.join(FIELDS)}")
    return FIELDS.index(field)


def _timeframe(timeframe: object) -> Timeframe | None:
    """``timeframe=`` checked against the run's bars: None when nothing is resampled."""
    return session_timeframe(running_session(), timeframe)


def _named(text: str, frame: Timeframe | None) -> str:
    """``text`` (a call without its closing parenthesis) closed, the timeframe last."""
    return f"{text})" if frame is None else f"{text}, {frame})"


def _make(
    key: tuple[object, ...],
    code: Code,
    fields: Sequence[str],
    compute: Callable[..., object],
    name: str,
    frame: Timeframe | None = None,
    *,
    label: str,
    pane: str | None,
    parts: Sequence[str] = (),
) -> Any:
    """The ``Series`` (or tuple of them) of ``compute`` run over the code's bars
    of ``fields`` (with ``frame``, over its periods of that timeframe), made
    once per run, ``key`` and timeframe.  The outputs of a tuple are named
    ``name.part`` (``parts``; else ``name.0``, ``name.1``...).  One made in
    ``init`` is kept for the report's charts, as ``label`` (the name without
    the code or a default field) in ``pane``: "price" (over the candles),
    "volume" (over the volume), the name of a pane of its own below them, or
    None (decided by its values, when the run's result is built)."""
    session = running_session()
    target = session.target_of(code)
    cache = session.indicators
    if frame is not None:
        key = (key, frame)
    found = cache.get((key, target))
    if found is not None:
        return found
    single, outputs = _outputs(session, target, fields, compute, name, frame)
    series: list[Series] = []
    for k, full in enumerate(outputs):
        part = "" if single else f".{parts[k] if k < len(parts) else k}"
        series.append(Series(full, session, name + part))
        if not session.started:  # made in init: drawn on the code's price chart
            session.drawn.append((target, label + part, series[-1], pane))
    if session.remakes is not None:  # a run whose bars grow: made again at each new bar
        session.remakes.append((series, (target, fields, compute, name, frame)))
    made = series[0] if single else tuple(series)
    cache[(key, target)] = made
    return made


def _outputs(
    session: Session,
    target: int,
    fields: Sequence[str],
    compute: Callable[..., object],
    name: str,
    frame: Timeframe | None,
) -> tuple[bool, list[_Array]]:
    """``(single, outputs)``: the values of ``compute`` over the code's bars of ``fields``
    (with ``frame``, its periods of that timeframe) on the run's timeline (NaN where
    the code has no bar), read-only; ``single``: it gave one array, not a tuple."""
    n_bars = len(session.bars.times)
    if frame is None:
        values = session.bars.values[target]
        present = ~np.isnan(values[:, 3])
        columns = [np.ascontiguousarray(values[present, _field(field)]) for field in fields]
        n = int(present.sum())
    else:
        periods = resampled(session, target, frame)
        columns = [np.ascontiguousarray(periods.values[:, _field(field)]) for field in fields]
        n = len(periods.values)
    outputs: Any = compute(*columns)
    single = not isinstance(outputs, tuple)
    out: list[_Array] = []
    for output in (outputs,) if single else outputs:
        checked = _checked(output, n, name, "bar" if frame is None else "period")
        if frame is None:
            full = np.full(n_bars, _NAN)
            full[present] = checked
        else:
            full = periods.on_timeline(checked, n_bars)
        full.flags.writeable = False
        out.append(full)
    return single, out


def remake(session: Session) -> None:
    """Make every indicator of a run whose bars have grown again, over all its bars so
    far (the strategy's series keep their identity; their values are replaced)."""
    for key in [key for key in session.indicators if key[0] in ("resampled", "periods")]:
        del session.indicators[key]
    for series, (target, fields, compute, name, frame) in session.remakes or ():
        outputs = _outputs(session, target, fields, compute, name, frame)[1]
        for one, values in zip(series, outputs):
            one._values, one._shown, one._upto = values, None, 0


def _shown_field(field: str, default: str) -> str:
    """``, field`` in an indicator's label, nothing for its default field."""
    return "" if field == default else f", {field}"


def _price_pane(field: str) -> str:
    """The pane of an average of ``field``: over the volume bars for volume, else over the prices."""
    return "volume" if field == "volume" else "price"


def _checked(output: object, n: int, name: str, unit: str = "bar") -> _Array:
    try:
        array = np.asarray(output, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise StrategyError(f"{name} gave {type(output).__name__}, not numbers: {error}") from None
    if array.shape != (n,):
        raise StrategyError(
            f"{name} gave {array.shape[0] if array.ndim == 1 else array.shape} values "
            f"for {n} {unit}s: one value per {unit} is needed"
        )
    return array


def sma(code: Code, window: int, field: Field = "close", timeframe: str | None = None) -> Series:
    """The simple moving average: the mean of the last ``window`` values of
    ``field``; the first at the ``window``-th bar.  Equal to
    ``history(code, field, window).mean()``."""
    window = _window(window)
    _field(field)
    frame = _timeframe(timeframe)
    series: Series = _make(
        ("sma", field, window),
        code,
        (field,),
        lambda x: _mean(x, window),
        _named(f"sma({code}, {window}, {field}", frame),
        frame,
        label=_named(f"sma({window}{_shown_field(field, 'close')}", frame),
        pane=_price_pane(field),
    )
    return series


def ema(code: Code, window: int, field: Field = "close", timeframe: str | None = None) -> Series:
    """The exponential moving average with ``alpha = 2 / (window + 1)``: at
    the ``window``-th bar the mean of the first ``window`` values, then
    ``alpha * value + (1 - alpha) * ema_before`` at each bar."""
    window = _window(window)
    _field(field)
    frame = _timeframe(timeframe)
    series: Series = _make(
        ("ema", field, window),
        code,
        (field,),
        lambda x: _ema(x, window),
        _named(f"ema({code}, {window}, {field}", frame),
        frame,
        label=_named(f"ema({window}{_shown_field(field, 'close')}", frame),
        pane=_price_pane(field),
    )
    return series


def rsi(
    code: Code, window: int = 14, field: Field = "close", timeframe: str | None = None
) -> Series:
    """The relative strength index, from 0 to 100: ``100 * gain / (gain + loss)``
    where gain and loss are the rises and falls from one bar to the next,
    smoothed as Wilder did (``avg = change / window + (1 - 1 / window) *
    avg_before``, seeded with the mean of the first ``window`` changes); 50
    where nothing moved.  The first at bar ``window + 1`` (``window`` changes)."""
    window = _window(window)
    _field(field)
    frame = _timeframe(timeframe)
    series: Series = _make(
        ("rsi", field, window),
        code,
        (field,),
        lambda x: _rsi(x, window),
        _named(f"rsi({code}, {window}, {field}", frame),
        frame,
        label=_named(f"rsi({window}{_shown_field(field, 'close')}", frame),
        pane="rsi",
    )
    return series


def atr(code: Code, window: int = 14, timeframe: str | None = None) -> Series:
    """The average true range: the true range (the largest of high - low,
    |high - close before|, |low - close before|) smoothed as ``rsi`` smooths;
    the first at bar ``window + 1``."""
    window = _window(window)
    frame = _timeframe(timeframe)
    series: Series = _make(
        ("atr", window),
        code,
        ("high", "low", "close"),
        lambda high, low, close: _atr(high, low, close, window),
        _named(f"atr({code}, {window}", frame),
        frame,
        label=_named(f"atr({window}", frame),
        pane="atr",
    )
    return series


def bollinger(
    code: Code,
    window: int = 20,
    width: float = 2.0,
    field: Field = "close",
    timeframe: str | None = None,
) -> Bands:
    """Bollinger bands: ``Bands(upper, middle, lower)``, the moving average and
    ``width`` standard deviations (of the window's values, ``np.std``) above
    and below it; the first at the ``window``-th bar."""
    window = _window(window)
    _field(field)
    if isinstance(width, bool) or not isinstance(width, numbers.Real) or not 0 <= width < math.inf:
        raise StrategyError(
            f"the bands' width must be a number of deviations of at least 0, got {width!r}"
        )
    width = float(width)
    frame = _timeframe(timeframe)
    upper, middle, lower = _make(
        ("bollinger", field, window, width),
        code,
        (field,),
        lambda x: _bollinger(x, window, width),
        _named(f"bollinger({code}, {window}, {width:g}, {field}", frame),
        frame,
        label=_named(f"bollinger({window}, {width:g}{_shown_field(field, 'close')}", frame),
        pane=_price_pane(field),
        parts=("upper", "middle", "lower"),
    )
    return Bands(upper, middle, lower)


def macd(
    code: Code,
    fast: int = 12,
    slow: int = 26,
    signal: int = 9,
    field: Field = "close",
    timeframe: str | None = None,
) -> Macd:
    """MACD: ``Macd(macd, signal, histogram)``: the line ``ema(fast) -
    ema(slow)`` (from the ``slow``-th bar), its signal line, the ``ema`` of
    the line over ``signal`` bars (from bar ``slow + signal - 1``), and the
    line less the signal."""
    fast, slow, signal = _window(fast, "fast"), _window(slow, "slow"), _window(signal, "signal")
    _field(field)
    if fast >= slow:
        raise StrategyError(
            f"macd's fast window must be shorter than the slow one, got {fast} and {slow}"
        )
    frame = _timeframe(timeframe)
    line, smoothed, histogram = _make(
        ("macd", field, fast, slow, signal),
        code,
        (field,),
        lambda x: _macd(x, fast, slow, signal),
        _named(f"macd({code}, {fast}, {slow}, {signal}, {field}", frame),
        frame,
        label=_named(f"macd({fast}, {slow}, {signal}{_shown_field(field, 'close')}", frame),
        pane="macd",
        parts=("macd", "signal", "histogram"),
    )
    return Macd(line, smoothed, histogram)


def highest(code: Code, window: int, field: Field = "high", timeframe: str | None = None) -> Series:
    """The highest of the last ``window`` values of ``field`` (by default the
    highs); the first at the ``window``-th bar."""
    window = _window(window)
    _field(field)
    frame = _timeframe(timeframe)
    series: Series = _make(
        ("highest", field, window),
        code,
        (field,),
        lambda x: _extreme(x, window, True),
        _named(f"highest({code}, {window}, {field}", frame),
        frame,
        label=_named(f"highest({window}{_shown_field(field, 'high')}", frame),
        pane=_price_pane(field),
    )
    return series


def lowest(code: Code, window: int, field: Field = "low", timeframe: str | None = None) -> Series:
    """The lowest of the last ``window`` values of ``field`` (by default the
    lows); the first at the ``window``-th bar."""
    window = _window(window)
    _field(field)
    frame = _timeframe(timeframe)
    series: Series = _make(
        ("lowest", field, window),
        code,
        (field,),
        lambda x: _extreme(x, window, False),
        _named(f"lowest({code}, {window}, {field}", frame),
        frame,
        label=_named(f"lowest({window}{_shown_field(field, 'low')}", frame),
        pane=_price_pane(field),
    )
    return series


@overload
def indicator(
    code: Code,
    fields: Field | Iterable[Field],
    compute: Callable[..., tuple[npt.ArrayLike, ...]],
    name: str | None = None,
    timeframe: str | None = None,
) -> tuple[Series, ...]: ...
@overload
def indicator(
    code: Code,
    fields: Field | Iterable[Field],
    compute: Callable[..., npt.ArrayLike],
    name: str | None = None,
    timeframe: str | None = None,
) -> Series: ...


def indicator(
    code: Code,
    fields: Field | Iterable[Field],
    compute: Callable[..., object],
    name: str | None = None,
    timeframe: str | None = None,
) -> Series | tuple[Series, ...]:
    """An indicator of one's own: ``compute`` takes the code's whole series of
    ``fields`` (a field name, or a tuple of them: one numpy array each, the
    bars the code has, oldest first) and gives one value per bar, as numbers
    (NaN while warming up).  It runs once; its values are revealed bar by
    bar as any indicator's, e.g. ``indicator(code, "close", lambda c:
    talib.KAMA(c, 30))``.  It must compute each value from that bar's and
    earlier bars' values only: a value it takes from later bars is a value
    from the future.  With ``timeframe``, ``compute`` gets the code's
    periods of that timeframe instead (one value each), as every indicator
    does."""
    names: tuple[str, ...] = (fields,) if isinstance(fields, str) else tuple(fields)
    if not names:
        raise StrategyError("indicator() needs at least one bar field")
    for field in names:
        _field(field)
    if not callable(compute):
        raise StrategyError(f"indicator() takes a function that computes it, got {compute!r}")
    name = name or getattr(compute, "__name__", "indicator")
    frame = _timeframe(timeframe)
    made: Series | tuple[Series, ...] = _make(
        ("indicator", names, compute),
        code,
        names,
        compute,
        _named(f"{name}({code}", frame),
        frame,
        label=str(name) if frame is None else f"{name}({frame})",
        pane=None,
    )
    return made


# ------------------------------------------------------------------ the periods themselves


def resample(code: Code, timeframe: str) -> pd.DataFrame:
    """The code's periods of ``timeframe`` finished by the current bar, oldest
    first, for one's own arithmetic: a DataFrame indexed by each period's end,
    with columns open, high, low, close and volume (its data read-only; empty
    in ``init``, unless the run has a warm-up: then, as ``history``, the
    periods finished in it).  A timeframe equal to the bars' own gives the code's bars
    up to the current one, indexed by their times."""
    session = running_session()
    target = session.target_of(code)
    frame = session_timeframe(session, timeframe)
    bar = session.visible_bar
    if frame is None:
        values = session.bars.values[target, : bar + 1]
        present = ~np.isnan(values[:, 3])
        data, index = values[present], session.bars.times[: bar + 1][present]
    else:
        periods = resampled(session, target, frame)
        n = periods.finished(bar)
        data, index = periods.values[:n].copy(), pd.DatetimeIndex(periods.ends[:n].copy())
    data.flags.writeable = False
    table: pd.DataFrame = pd.DataFrame(
        data, index=index.rename("end"), columns=list(FIELDS), copy=False
    )
    return table


# ------------------------------------------------------------------ crossings


def _last_two(value: Any) -> tuple[Any, Any]:  # numbers, compared only
    if type(value) is Series or isinstance(value, Series):
        return value._last_two()
    if isinstance(value, numbers.Real):
        return value, value
    if len(value) < 2:
        return _NAN, _NAN
    return value[-1], value[-2]


def crossed_above(a: Crossable, b: Crossable) -> bool:
    """Whether ``a`` crossed above ``b`` at the current bar: it is above it
    now and was at or below it at the bar before.  Each is a ``Series``, a
    number or an array (its last two values); False while either is NaN."""
    if type(a) is Series and type(b) is Series:
        # the common case, once per code and bar: the bar counted once (``_count``, at
        # once), four floats read
        told = _crossed(a, b, True)
        if told is not None:
            return told  # type: ignore[no-any-return]  # a bool
        session = a._session
        if b._session is session:
            running = _sessions._current
            if running is not session and running is not None:
                a._count()  # refused: made in another run
            n = session.bar + 1 if session.started else 0
            if n < 2:
                return False
            a_at, b_at = a._values.item, b._values.item
            return a_at(n - 2) <= b_at(n - 2) and a_at(n - 1) > b_at(n - 1)
    a_now, a_before = _last_two(a)
    b_now, b_before = _last_two(b)
    return bool(a_before <= b_before and a_now > b_now)


def crossed_below(a: Crossable, b: Crossable) -> bool:
    """Whether ``a`` crossed below ``b`` at the current bar: it is below it
    now and was at or above it at the bar before."""
    if type(a) is Series and type(b) is Series:
        told = _crossed(a, b, False)
        if told is not None:
            return told  # type: ignore[no-any-return]  # a bool
        session = a._session
        if b._session is session:
            running = _sessions._current
            if running is not session and running is not None:
                a._count()  # refused: made in another run
            n = session.bar + 1 if session.started else 0
            if n < 2:
                return False
            a_at, b_at = a._values.item, b._values.item
            return a_at(n - 2) >= b_at(n - 2) and a_at(n - 1) < b_at(n - 1)
    a_now, a_before = _last_two(a)
    b_now, b_before = _last_two(b)
    return bool(a_before >= b_before and a_now < b_now)
