"""Containers and managers held by the framework's registry.

Everything here is constructible without arguments (``KData`` and
``DotDict`` take their data).  A ``snap()`` gives a copy of the plain data
that ``scipy.io.savemat`` can store: no None, no callables, valid field names.
"""

import atexit
import collections
import functools
import threading
import time

import numpy as np

from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.utils.utilfunc import mat_field_name, to_mat

__all__ = [
    "CacheMgr",
    "HeatBeat",
    "StrategyItem",
    "SettingItem",
    "OrderModeMgr",
    "KData",
    "KDataContainer",
    "AdjKDataContainer",
    "RegKDataContainer",
    "AdjRegKDataContainer",
    "MainContractTimeSeriesData",
    "InstrumentTimeSeriesData",
    "DotDict",
    "StatusCollect",
    "SystemModeMgr",
    "PySystemModeMgr",
]

_FREQUENCIES = (
    gv.KFreq_Tick,
    gv.KFreq_Min,
    gv.KFreq_Day,
    gv.KFreq_Week,
    gv.KFreq_Month,
    gv.KFreq_Year,
)
_PHASES = (
    gv.RUMMODE_PHASE_IDLE,
    gv.RUMMODE_PHASE_USERINIT,
    gv.RUMMODE_PHASE_ONDATA,
    gv.RUMMODE_PHASE_DEAL_TRADE,
)


class _Record:
    """A holder of plain fields; its snap holds every field but None and callables."""

    def snap(self):
        return to_mat(vars(self))


class CacheMgr:
    """Run-time cache; the connection handshake records the core's versions here."""

    def __init__(self):
        self.min_sec_filled_time = None
        self.kv_support_list = []
        self.kv_version = None
        self.allow_comm_kv = True
        self.not_allow_comm_kv_tips = ""


class HeatBeat:
    """The last heartbeat seen from the core process."""

    def __init__(self):
        self.last_time = None

    def update(self, t=None):
        """Record a heartbeat at ``t`` (now when omitted); returns the time kept."""
        self.last_time = time.time() if t is None else t
        return self.last_time


class StrategyItem(_Record):
    """The strategy's input: targets, bar frequency, accounts and wrapped callbacks."""

    def __init__(self):
        self.TargetList = []
        self.TargetListDot = []
        self.RefreshKDataIdx = 0
        self.KFrequencyI = gv.KFreq_Day
        self.KFreNum = 1
        self.AccountNameList = []
        self.on_init_func = None
        self.on_data_func = None
        self.on_order_status_func = None
        self.on_order_execution_func = None


class SettingItem(_Record):
    """Run settings.  ``cost_fee_stock`` is in units of 1/10000.  ``StopFill``:
    where a stop order fired on the bar alone fills, "first_traded" (the bar's
    open when it opened beyond the stop, else the stop's price) or "stop_price"
    (the stop's price, wherever the bar opened); the engine reads it at each
    such fill and takes a setting object without it for "first_traded".
    ``LimitFill``: where a limit order fills when the market reached it at a
    better price, "first_traded" (that price: the bar's open when it opened at
    or better than the limit, a stop-limit's first tick at or better than its
    limit) or "limit_price" (the limit); read at each such fill, a setting
    object without it standing for "first_traded"."""

    def __init__(self):
        self.cost_fee_stock = 3.0
        self.cost_fee_future = 1.0
        self.DailyCloseTime = None
        self.MarketOrderHolding = True
        self.LimitType = False
        self.PriceLoc = 1
        self.SlidePrice = 0.0
        self.MarginRate = 1.0
        self.StopFill = "first_traded"
        self.LimitFill = "first_traded"


class OrderModeMgr:
    """Order mode per account: ``order_mode`` maps account handle -> mode.

    Handles must be valid .mat field names, so ``order_mode`` always saves.
    """

    def __init__(self):
        self.order_mode = {}

    def set_mode(self, handle, mode):
        if not isinstance(handle, str) or mat_field_name(handle) != handle:
            raise ValueError(
                f"account handle {handle!r} must start with a letter and hold only "
                "ASCII letters, digits and underscores"
            )
        self.order_mode[handle] = mode

    def get_mode(self, handle, default=None):
        return self.order_mode.get(handle, default)


def _index_array(name, values):
    arr = np.asarray(values)
    if arr.ndim != 1:
        arr = arr.ravel()
    if arr.size == 0:
        return arr.astype(np.int64)
    if arr.dtype.kind == "f" and np.all(np.isfinite(arr)) and np.all(arr == np.floor(arr)):
        arr = arr.astype(np.int64)
    if arr.dtype.kind not in "iu":
        raise TypeError(f"{name} must hold integers, got dtype {arr.dtype}")
    if arr.min() < 0:
        raise ValueError(f"{name} holds a negative position")
    return arr


class KData(_Record):
    """One bar-data set: a K-matrix and the map fresh-bar position -> column."""

    def __init__(self, Matrix, CurrentBar, BaseBegin=None, Frequency=gv.KFreq_Day, FreNum=1):
        matrix = np.asarray(Matrix)
        if matrix.ndim != 2:
            raise ValueError(f"Matrix must be 2-D, got {matrix.ndim}-D")
        if matrix.dtype.kind not in "iuf":
            raise TypeError(f"Matrix must be numeric, got dtype {matrix.dtype}")
        if Frequency not in _FREQUENCIES:
            raise ValueError(f"unknown Frequency {Frequency!r}")
        if isinstance(FreNum, bool) or not isinstance(FreNum, (int, np.integer)) or FreNum < 1:
            raise ValueError(f"FreNum must be a positive integer, got {FreNum!r}")
        self.Matrix = matrix
        self.CurrentBar = _index_array("CurrentBar", CurrentBar)
        self.BaseBegin = None if BaseBegin is None else _index_array("BaseBegin", BaseBegin)
        self.Frequency = Frequency
        self.FreNum = int(FreNum)

    def __repr__(self):
        return f"KData(shape={self.Matrix.shape}, Frequency={self.Frequency}, FreNum={self.FreNum})"


class KDataContainer(list):
    """A list of ``KData``; element 0 is the base data."""

    def get_item(self, frequency, number):
        """The first element with that ``Frequency`` and ``FreNum``."""
        for k_data in self:
            if k_data.Frequency == frequency and k_data.FreNum == number:
                return k_data
        raise KeyError(f"no K-data with frequency {frequency!r} and number {number!r}")

    def snap(self):
        return to_mat(list(self))


class AdjKDataContainer(KDataContainer):
    """K-data sets of price-adjusted bars."""


class RegKDataContainer(list):
    """Registered K-data requests, one dict of fields each."""

    def register(self, **info):
        """Store one registration; returns its position."""
        self.append(dict(info))
        return len(self) - 1

    def snap(self):
        return to_mat(list(self))


class AdjRegKDataContainer(RegKDataContainer):
    """Registered K-data requests for price-adjusted bars."""


class MainContractTimeSeriesData(dict):
    """Main-contract time series, keyed by contract."""

    def snap(self):
        return to_mat(dict(self))


class InstrumentTimeSeriesData(dict):
    """Instrument time series, keyed by instrument."""

    def snap(self):
        return to_mat(dict(self))


class DotDict(dict):
    """A dict whose items are also attributes: ``d.x`` is ``d["x"]``."""

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        self[name] = value

    def __delattr__(self, name):
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None


class StatusCollect:
    """Process-wide status holder; ``env`` is the installed environment object.
    It lets go of it when the interpreter exits, before the compiled modules are
    torn down (their objects must not outlive them)."""

    _instance = None
    _lock = threading.Lock()

    def __init__(self):
        self.env = None

    @classmethod
    def instance(cls):
        with cls._lock:
            if cls._instance is None:
                cls._instance = cls()
            return cls._instance

    @classmethod
    def _let_go(cls):
        if cls._instance is not None:
            cls._instance.env = None


atexit.register(StatusCollect._let_go)


class PySystemModeMgr:
    """Tracks the run phase in which the framework is calling user code.

    The reference of ``SystemModeMgr``, the compiled one of ``korvit.native``
    that the framework uses; the two behave alike.

    ``enter_phase(p)`` and ``force_phase(p)`` each return a wrapper factory:
    applied to a function it gives a callable with the same arguments that
    runs the function with ``current_phase == p`` and restores the previous
    phase afterwards, also on error; wrappers nest freely.  Applied to None
    it gives a callable that does nothing and returns None.

    The two differ only in ``phase_log``: ``force_phase`` logs every entry,
    ``enter_phase`` logs only a change of phase (a call that is already in
    ``p`` just runs).  ``phase_log`` keeps the latest ``LOG_LIMIT`` entries.
    """

    LOG_LIMIT = 1024

    def __init__(self):
        self.current_phase = gv.RUMMODE_PHASE_IDLE
        self._phase_log = collections.deque(maxlen=self.LOG_LIMIT)
        self._wrappers = {}  # (phase, always_log, func) -> its wrapper, made once

    def enter_phase(self, phase):
        return self._wrapper_factory(phase, always_log=False)

    def force_phase(self, phase):
        return self._wrapper_factory(phase, always_log=True)

    def _wrapper_factory(self, phase, always_log):
        if phase not in _PHASES:
            raise ValueError(f"unknown run phase {phase!r}")

        def factory(func):
            if func is None:
                return _do_nothing
            try:
                return self._wrappers[phase, always_log, func]
            except (KeyError, TypeError):  # not made yet, or an unhashable callable
                pass
            if not callable(func):
                raise TypeError(f"cannot run {func!r} in a phase: not callable")

            @functools.wraps(func)
            def in_phase(*args, **kwargs):
                previous = self.current_phase
                if always_log or previous != phase:
                    self._log(phase)
                self.current_phase = phase
                try:
                    return func(*args, **kwargs)
                finally:
                    self.current_phase = previous

            try:
                self._wrappers[phase, always_log, func] = in_phase
            except TypeError:
                pass
            return in_phase

        return factory

    @property
    def phase_log(self):
        """The latest ``LOG_LIMIT`` phases entered, oldest first (a new list)."""
        return list(self._phase_log)

    def _log(self, phase):
        self._phase_log.append(phase)


def _do_nothing(*args, **kwargs):
    return None


# The compiled manager (korvit.native); PySystemModeMgr above is its reference.
from korvit.native import SystemModeMgr  # noqa: E402
