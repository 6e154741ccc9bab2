"""The statistics a sweep ranks its runs by."""

import math

import pandas as pd

from korvit.backtest.sweep.space import SweepError


def _stat_kinds():
    from korvit.backtest.stats import _KINDS
    return _KINDS


def find_statistic(name):
    """The statistic named by ``name``: its full name ("Sharpe ratio"), in
    any case, with ``_`` for spaces, or the start of one ("sharpe")."""
    names = list(_stat_kinds())
    key = str(name).strip().lower().replace("_", " ")
    exact = [n for n in names if n.lower() == key]
    if exact:
        return exact[0]
    found = [n for n in names if n.lower().startswith(key)] if key else []
    if len(found) == 1:
        return found[0]
    if found:
        raise SweepError(f"statistic {name!r} is ambiguous: {', '.join(found)}")
    raise SweepError(f"unknown statistic {name!r}; the statistics: {', '.join(names)}")


def _typed(frame):
    """The statistics columns of ``frame`` as times and durations where they are."""
    for name, kind in _stat_kinds().items():
        if name in frame.columns:
            if kind == "time":
                frame[name] = pd.to_datetime(frame[name])
            elif kind == "delta":
                frame[name] = pd.to_timedelta(frame[name])
            else:
                frame[name] = pd.to_numeric(frame[name])
    return frame


def _best(rows, metric):
    """The parameters of the row with the highest ``metric`` (the first of equals)."""
    best, best_value = None, None
    for row in rows:
        if row is None or row.get("status") != "ok":
            continue
        value = (row.get("stats") or {}).get(metric)
        if not isinstance(value, (int, float)) or isinstance(value, bool) or not math.isfinite(value):
            continue
        if best_value is None or value > best_value:
            best, best_value = row["params"], value
    return best
