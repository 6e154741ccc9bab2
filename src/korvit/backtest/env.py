"""The environment object installed for backtests.

``BacktestEnv`` adds to the environment base what the matching engine asks
of a backtest: margin rates and the daily price-limit tests.
"""

import math

import numpy as np

from korvit.api.history import _history
from korvit.backtest.model.positions import target_index
from korvit.tframe import framekit
from korvit.tframe.sysdefine import GlobalDefine as gv

__all__ = ["BacktestEnv", "install_backtest_env"]


class BacktestEnv(framekit.SystemBaseEnv):
    """``SystemBaseEnv`` plus margin rates and daily price limits."""

    def __init__(self):
        super().__init__()
        self._price_limits = {}  # target index -> (up limits, down limits) by bar position

    def get_margin_rate(self, target_idx, side):
        """A futures target's long (buy) or short margin rate; 1.0 for any other target."""
        if not self.is_target_type(target_idx, gv.TARGETTYPE_FUTURE):
            return 1.0
        key = "LongMargin" if side == gv.OrderAct_Buy else "ShortMargin"
        rate = _history.get_target_info_v2([target_idx])[0].get(key)
        if rate is None:
            raise KeyError(f"target {target_idx!r} has no {key} in its contract information")
        return float(rate)

    def set_price_limits(self, target_idx, up, down):
        """Daily up and down limit prices of a target, one per bar position (NaN: none)."""
        limits = []
        for name, values in (("up", up), ("down", down)):
            arr = np.asarray(values)
            if arr.ndim != 1 or arr.dtype.kind not in "iuf":
                raise TypeError(f"{name} limits must be a 1-D array of numbers, got {values!r}")
            limits.append(arr.astype(np.float64))
        if limits[0].size != limits[1].size:
            raise ValueError(
                f"up and down limits differ in length: {limits[0].size} and {limits[1].size}"
            )
        self._price_limits[target_index(target_idx)] = tuple(limits)

    def at_limit_up_price(self, target_idx):
        """Whether the current bar's low is at or above the up limit (nobody can buy)."""
        return self._at_limit(target_idx, up=True)

    def at_limit_down_price(self, target_idx):
        """Whether the current bar's high is at or below the down limit (nobody can sell)."""
        return self._at_limit(target_idx, up=False)

    def _at_limit(self, target_idx, up):
        target = target_index(target_idx)
        limits = self._price_limits.get(target)
        pos = self.vr.g_KorvitSimCurBarFresh
        if limits is None or math.isnan(pos):
            return False
        pos = int(pos)
        if not 0 <= pos < limits[0].size:
            raise IndexError(
                f"bar position {pos} has no price limits: target {target} "
                f"has limits for {limits[0].size} bars"
            )
        limit = limits[0 if up else 1][pos]
        if math.isnan(limit):
            return False
        if up:
            return bool(self.get_bar_field([target], pos, ["low"])[0, 0] >= limit)
        return bool(self.get_bar_field([target], pos, ["high"])[0, 0] <= limit)


def install_backtest_env():
    """Create a ``BacktestEnv`` bound to framekit's registry, install it as
    ``framekit.env`` and return it."""
    env = BacktestEnv()
    env.set_env(framekit.vr, framekit.gv, framekit.smm)
    framekit.env = env
    return env
