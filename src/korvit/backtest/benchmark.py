"""The benchmark a run is measured against: buy and hold, equal weight.

``benchmark=`` of ``run``/``Backtest`` (``--benchmark`` of the command) names it:

- ``"traded"`` (the default): the codes the strategy traded (every code of the
  data when it traded none);
- ``"equal-weight"``: every code of the data;
- a code (``"SZSE.000001"``) or a list of codes;
- ``"none"``: no benchmark (its figures are NaN, the charts leave it out);
- in Python, a ``pandas.Series`` of prices indexed by time (an index's
  closes, say): held alone, its price at each bar being its last price at or
  before the bar.

The benchmark puts the initial cash, in equal parts, into its codes at the
first bar's close and holds them: its equity at bar *t* is
``cash × mean over its codes of close(t) / close(first bar)``, close to close,
without fees or rebalancing (a code's part waits in cash until the code's
first bar, and a bar a code lacks keeps its last close).  Futures count by
their price return, without leverage.  So the benchmark starts at the initial
cash at the first bar, as the strategy does before it trades.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import pandas as pd

from korvit.backtest.listing import shortened

__all__ = ["BENCHMARKS", "check_benchmark", "benchmark_codes", "buy_and_hold", "describe_benchmark"]

# The named benchmarks; anything else names codes.
BENCHMARKS = ("traded", "equal-weight", "none")


def check_benchmark(spec, codes=None):
    """``spec`` made canonical against the run's ``codes``: one of
    ``BENCHMARKS``, a tuple of codes as the data writes them, or a price
    Series.  None means "traded", False "none".  An unknown code raises
    ``ValueError`` naming it (``codes`` None: the codes are not checked)."""
    if spec is None:
        return "traded"
    if spec is False:
        return "none"
    if isinstance(spec, pd.Series):
        if not isinstance(spec.index, pd.DatetimeIndex):
            raise TypeError(
                "benchmark: a Series of prices needs times as its index (a DatetimeIndex), "
                f"got {type(spec.index).__name__}"
            )
        try:
            prices = spec.astype(float)
        except (TypeError, ValueError):
            raise TypeError(
                f"benchmark: the Series holds {spec.dtype} values, not prices"
            ) from None
        if not (prices > 0).any():
            raise ValueError("benchmark: the Series has no positive price")
        return spec
    if isinstance(spec, str):
        key = spec.strip().lower()
        if key in BENCHMARKS:
            return key
        names = [spec]
    elif isinstance(spec, Sequence) and not isinstance(spec, (bytes, bytearray)):
        names = list(spec)
        if not names:
            raise ValueError("benchmark: an empty list of codes")
    else:
        raise TypeError(
            f"benchmark must be 'traded', 'equal-weight', 'none', a code, a list of codes or a "
            f"Series of prices, got {type(spec).__name__}"
        )
    if codes is None:
        return tuple(str(name).strip() for name in names)
    by_key = {str(code).upper(): str(code) for code in codes}
    found = []
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"benchmark: a code is text, got {type(name).__name__} {name!r}")
        code = by_key.get(name.strip().upper())
        if code is None:
            shown = shortened(by_key.values(), 10)
            raise ValueError(
                f"benchmark: unknown code {name!r}; the data holds {shown} "
                f"(or give 'traded', 'equal-weight' or 'none')"
            )
        if code not in found:
            found.append(code)
    return tuple(found)


def benchmark_codes(spec, codes, traded) -> list:
    """The codes of the benchmark ``spec`` (canonical, see ``check_benchmark``)
    for a run over ``codes`` that traded ``traded``; empty for "none"."""
    if spec == "none":
        return []
    if spec == "equal-weight":
        return list(codes)
    if spec == "traded":
        traded = {str(code).upper() for code in traded}
        chosen = [code for code in codes if code.upper() in traded]
        return chosen or list(codes)
    return list(spec)


def buy_and_hold(closes: np.ndarray, times, initial_cash: float) -> pd.Series:
    """The equity of ``initial_cash`` split equally over the rows of ``closes``
    (one row of closes per code, NaN where a code has no bar) at their first
    close and held, one value per time.  A code that never has a close keeps
    its part in cash."""
    closes = np.atleast_2d(np.asarray(closes, dtype=np.float64))
    times = pd.DatetimeIndex(times)
    if closes.shape[0] == 0 or not len(times):
        return pd.Series(np.nan, index=times, name="benchmark", dtype=float)
    # the codes' growth summed a code at a time (as a mean over the codes adds them), not
    # held for every code at once
    total = np.zeros(closes.shape[1])
    with np.errstate(all="ignore"):  # prices beyond any market overflow to inf, quietly
        for row in closes:
            at = np.where(np.isnan(row), 0, np.arange(len(row)))
            np.maximum.accumulate(at, out=at)
            values = row[at]  # the last close known at each time
            growth = np.ones_like(values)
            known = np.flatnonzero(np.isfinite(values) & (values > 0))
            if len(known):
                first = known[0]
                growth[first:] = values[first:] / values[first]
            total += growth
        equity = float(initial_cash) * (total / closes.shape[0])
    return pd.Series(equity, index=times, name="benchmark")


def describe_benchmark(spec, codes) -> str:
    """The benchmark in words, for the summary and the report."""
    if spec == "none" or not codes:
        return "none"
    shown = shortened(codes)
    what = (
        "traded codes"
        if spec == "traded"
        else "codes of the data"
        if spec == "equal-weight"
        else ""
    )
    weight = ", equal weight" if len(codes) > 1 else ""
    label = f"the {what}: " if what else ""
    return f"buy and hold of {label}{shown}{weight}, from the first bar's close"
