"""Every run's equity curve, thinned, for the report's chart of the best runs.

A run's curve is kept at no more than ``CURVE_POINTS`` points: the first and
the last bar and, in each of about ``CURVE_POINTS / 2`` stretches of bars,
the lowest and the highest equity, so that no peak or trough of the drawn
curve goes missing.  A worker thins the curve of each run it finishes (a few
kilobytes); the sweep keeps them in memory, or with an output folder in
``curves.jsonl`` there, a line per run (``{"run_id", "time", "equity"}``,
times in milliseconds since 1970), written before the run's line of
``runs.jsonl`` so that every saved run has its curve.  Which runs the
report draws is decided at the end (the best by whichever statistic), and
nothing runs again for it: a resumed sweep, or a report written later from
the saved table, reads the curves of the runs it draws from the file.
"""

from __future__ import annotations

import json
import math
import os
from collections.abc import Iterable
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

__all__ = ["CURVE_POINTS", "CURVES_FILE", "thinned", "curve_line", "RunCurves"]

CURVE_POINTS = 1000
CURVES_FILE = "curves.jsonl"
_PREFIX = '{"run_id": "'


def thinned(curve: pd.Series[float], limit: int = CURVE_POINTS) -> tuple[np.ndarray, np.ndarray]:
    """``(times, values)`` of at most ``limit`` points of ``curve`` (times in
    milliseconds since 1970, int64; values float64): all of them up to
    ``limit``, else the first and the last and each stretch's lowest and
    highest (see the module's docstring)."""
    values = curve.to_numpy(dtype=np.float64)
    times = pd.DatetimeIndex(curve.index).to_numpy().astype("datetime64[ms]").astype(np.int64)
    n = len(values)
    if n > limit:  # (limit - 2) / 2 stretches of two points each, and the two ends
        size = math.ceil(n / max(1, (limit - 2) // 2))
        padded = np.full(math.ceil(n / size) * size, np.nan)
        padded[:n] = np.where(np.isfinite(values), values, np.nan)
        blocks = padded.reshape(-1, size)
        known = np.isfinite(blocks)
        low = np.where(known, blocks, np.inf).argmin(axis=1)
        high = np.where(known, blocks, -np.inf).argmax(axis=1)
        starts = np.arange(len(blocks)) * size
        keep = np.unique(np.concatenate([starts + low, starts + high, [0, n - 1]]))
        keep = keep[keep < n]
        times, values = times[keep], values[keep]
    return times.astype(np.int64), values


def curve_line(run_id: str, curve: tuple[np.ndarray, np.ndarray]) -> str:
    """The line of ``curves.jsonl`` of a run (values to 7 digits: a drawing's)."""
    times, values = curve
    shown = [float(f"{v:.7g}") if math.isfinite(v) else None for v in values.tolist()]
    return json.dumps({"run_id": run_id, "time": times.tolist(), "equity": shown}) + "\n"


def _series(times: Any, values: Any) -> pd.Series[float]:
    index = pd.DatetimeIndex(np.asarray(times, dtype=np.int64) * 1_000_000, name="time")
    return pd.Series(np.asarray(values, dtype=np.float64), index=index, name="equity")


class RunCurves:
    """The thinned curves of a sweep's runs, by run id: held in memory, or read
    from the ``curves.jsonl`` of ``folder`` when asked for.  A table's
    ``attrs["curves"]``; read-only, shared by every copy of the table."""

    def __init__(self, folder: str | os.PathLike[str] | None = None) -> None:
        self.path = None if folder is None else Path(folder) / CURVES_FILE
        self.held: dict[str, tuple[np.ndarray, np.ndarray]] = {}

    def __deepcopy__(self, memo: dict[int, Any]) -> RunCurves:  # pandas copies attrs
        return self

    def __repr__(self) -> str:
        where = f"in {self.path}" if self.path is not None else f"{len(self.held)} held"
        return f"<RunCurves {where}>"

    def hold(self, run_id: str, curve: tuple[np.ndarray, np.ndarray]) -> None:
        self.held[run_id] = curve

    def get(self, run_ids: Iterable[str]) -> dict[str, pd.Series[float]]:
        """The curves of ``run_ids`` that are kept (as Series of equity by time)."""
        wanted = set(run_ids)
        found = {key: _series(*self.held[key]) for key in wanted if key in self.held}
        if self.path is None or wanted <= set(found):
            return found
        lines: dict[str, str] = {}
        try:
            with open(self.path, encoding="utf-8") as fh:
                for line in fh:
                    if line.startswith(_PREFIX):
                        key = line[len(_PREFIX) : line.find('"', len(_PREFIX))]
                        if key in wanted and key not in found:
                            lines[key] = line  # the last line of a run: its latest
        except OSError:
            return found
        for key, line in lines.items():
            try:
                saved = json.loads(line)
                found[key] = _series(
                    saved["time"], [np.nan if v is None else v for v in saved["equity"]]
                )
            except (ValueError, KeyError, TypeError):
                continue  # a line torn by a kill
        return found
