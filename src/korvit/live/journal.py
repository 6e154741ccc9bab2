"""The journal of a paper run: what it dealt, kept so that a crash loses nothing.

``journal.sqlite`` in the run's output folder, an SQLite database in WAL mode:

- ``run``: what the run is (``identity``: the strategy file's digest and name,
  the feed, the codes, their bars' period, the options that change fills, the
  warm-up), written when the journal is made and checked when it is opened
  again: a journal of another run is refused, in one line naming what differs;
- ``steps``: every time step the run was given (the warm-up's and the live
  ones), in order: its time, whether it was dealt (live) or history, whether it
  ended its day, and the bars (codes x open, high, low, close, volume, as
  float64 bytes); ``ticks``: the ticks inside a step's bars, by code (times in
  nanoseconds, prices and volumes, as bytes);
- ``fills``: every fill, with the step it came at;
- ``state``: after each live step, each account's cash and positions, the
  pending orders and stop orders, and the strategy's ``context`` attributes
  that pickle.

Each step is one transaction (the step, its fills and the state after it): a
run killed at any instant leaves the journal as of its last whole step.  The
same command resumes the run after that step: the journaled steps are dealt
again (the engine is deterministic: the same bars give the same orders and
fills), then checked against the journal's fills and state, and the feed goes
on after the last of them.
"""

from __future__ import annotations

import json
import pickle
import sqlite3
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

__all__ = ["Journal", "JournalError", "JournalStep", "JOURNAL"]

JOURNAL = "journal.sqlite"
_VERSION = 1
_SCHEMA = """
CREATE TABLE IF NOT EXISTS run (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS steps (
    seq INTEGER PRIMARY KEY,
    time_ns INTEGER NOT NULL UNIQUE,
    live INTEGER NOT NULL,
    day_end INTEGER,
    bars BLOB NOT NULL
);
CREATE TABLE IF NOT EXISTS ticks (
    seq INTEGER NOT NULL,
    code_index INTEGER NOT NULL,
    times BLOB NOT NULL,
    prices BLOB NOT NULL,
    volumes BLOB NOT NULL,
    PRIMARY KEY (seq, code_index)
);
CREATE TABLE IF NOT EXISTS fills (
    trade_id INTEGER PRIMARY KEY,
    seq INTEGER NOT NULL,
    time_ns INTEGER NOT NULL,
    account TEXT NOT NULL,
    code TEXT NOT NULL,
    side TEXT NOT NULL,
    effect TEXT NOT NULL,
    volume REAL NOT NULL,
    price REAL NOT NULL,
    fee REAL NOT NULL
);
CREATE TABLE IF NOT EXISTS state (
    seq INTEGER PRIMARY KEY,
    accounts TEXT NOT NULL,
    orders TEXT NOT NULL,
    stops TEXT NOT NULL,
    context BLOB
);
"""
FILL_COLUMNS = ("trade_id", "time", "account", "code", "side", "effect", "volume", "price", "fee")


class JournalError(ValueError):
    """A journal that cannot be used: another run's, unreadable, or not written."""


@dataclass(frozen=True)
class JournalStep:
    """One step of the journal: its time, whether it was dealt, whether it ended its
    day (None: not known), its bars (codes x (open, high, low, close, volume)) and
    the ticks inside them (code index -> (times, prices, volumes))."""

    time: pd.Timestamp
    live: bool
    day_end: bool | None
    values: npt.NDArray[np.float64]
    ticks: dict[int, tuple[Any, Any, Any]] | None = None


class Journal:
    """The journal at ``folder/journal.sqlite`` of the run ``identity`` (a JSON-able
    mapping): made when missing, refused when it is another run's."""

    def __init__(self, folder: str | Path, identity: Mapping[str, Any]) -> None:
        self.path = Path(folder) / JOURNAL
        self.identity = json.loads(json.dumps(dict(identity), sort_keys=True))
        existed = self.path.exists()
        try:
            self.path.parent.mkdir(parents=True, exist_ok=True)
            self._db = sqlite3.connect(self.path, isolation_level=None)
            self._db.execute("PRAGMA journal_mode=WAL")
            self._db.execute("PRAGMA synchronous=NORMAL")
            self._db.executescript(_SCHEMA)
        except sqlite3.Error as exc:
            raise JournalError(f"{self.path}: cannot open the journal: {exc}") from None
        stored = dict(self._db.execute("SELECT key, value FROM run").fetchall())
        if not stored:
            if existed and self.count():
                raise JournalError(f"{self.path}: the journal has steps but no run: not ours")
            with self._transaction():
                self._db.executemany(
                    "INSERT INTO run VALUES (?, ?)",
                    [("version", str(_VERSION)), ("identity", json.dumps(self.identity))],
                )
            return
        if stored.get("version") != str(_VERSION):
            raise JournalError(
                f"{self.path}: a journal of version {stored.get('version')}, this korvit "
                f"reads version {_VERSION}"
            )
        theirs = json.loads(stored["identity"])
        differ = [
            key
            for key in sorted(set(theirs) | set(self.identity))
            if theirs.get(key) != self.identity.get(key)
        ]
        if differ:
            key = differ[0]
            raise JournalError(
                f"{self.path} is the journal of another run: {key} {_shown(theirs.get(key))} "
                f"there, {_shown(self.identity.get(key))} here; use another --out, or remove "
                "the journal to start afresh"
            )

    # -------------------------------------------------------------- reading
    def count(self) -> int:
        return int(self._db.execute("SELECT COUNT(*) FROM steps").fetchone()[0])

    def steps(self) -> Iterator[JournalStep]:
        """The steps, in order."""
        n_codes = len(self.identity["codes"])
        for time_ns, live, day_end, blob in self._db.execute(
            "SELECT time_ns, live, day_end, bars FROM steps ORDER BY seq"
        ):
            values = np.frombuffer(blob, dtype="<f8").reshape(n_codes, 5).copy()
            yield JournalStep(
                pd.Timestamp(time_ns),
                bool(live),
                None if day_end is None else bool(day_end),
                values,
            )

    def fills(self) -> pd.DataFrame:
        """Every fill journaled, in order."""
        frame = pd.read_sql_query(
            "SELECT trade_id, time_ns, account, code, side, effect, volume, price, fee "
            "FROM fills ORDER BY trade_id",
            self._db,
        )
        frame.insert(1, "time", pd.to_datetime(frame.pop("time_ns"), unit="ns"))
        return frame

    def last_state(self) -> dict[str, Any] | None:
        """The state journaled after the last live step (accounts, orders, stops), or None."""
        row = self._db.execute(
            "SELECT accounts, orders, stops FROM state ORDER BY seq DESC LIMIT 1"
        ).fetchone()
        if row is None:
            return None
        return {
            "accounts": json.loads(row[0]),
            "orders": json.loads(row[1]),
            "stops": json.loads(row[2]),
        }

    def last_time(self) -> pd.Timestamp | None:
        row = self._db.execute("SELECT MAX(time_ns) FROM steps").fetchone()
        return None if row[0] is None else pd.Timestamp(row[0])

    # -------------------------------------------------------------- writing
    def history(self, steps: list[JournalStep]) -> None:
        """Journal the warm-up's steps (history, not dealt), in one transaction."""
        with self._transaction():
            for step in steps:
                self._step(step)

    def dealt(
        self,
        step: JournalStep,
        fills: pd.DataFrame,
        state: Mapping[str, Any],
        context: Any = None,
    ) -> None:
        """Journal a live step, the fills it made and the state after it, in one
        transaction."""
        with self._transaction():
            seq = self._step(step)
            self._db.executemany(
                "INSERT INTO fills VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                [
                    (
                        int(trade),
                        seq,
                        int(when),
                        str(account),
                        str(code),
                        str(side),
                        str(effect),
                        float(volume),
                        float(price),
                        float(fee),
                    )
                    for trade, when, account, code, side, effect, volume, price, fee in zip(
                        fills["trade_id"].tolist(),
                        pd.DatetimeIndex(fills["time"]).as_unit("ns").asi8.tolist(),
                        *(fills[c].tolist() for c in FILL_COLUMNS[2:]),
                    )
                ],
            )
            self._db.execute(
                "INSERT INTO state VALUES (?, ?, ?, ?, ?)",
                (
                    seq,
                    json.dumps(state["accounts"]),
                    json.dumps(state["orders"]),
                    json.dumps(state["stops"]),
                    _pickled(context),
                ),
            )

    def _step(self, step: JournalStep) -> int:
        cursor = self._db.execute(
            "INSERT INTO steps (time_ns, live, day_end, bars) VALUES (?, ?, ?, ?)",
            (
                int(step.time.as_unit("ns").value),
                int(step.live),
                None if step.day_end is None else int(step.day_end),
                np.ascontiguousarray(step.values, dtype="<f8").tobytes(),
            ),
        )
        seq = int(cursor.lastrowid or 0)
        for code, (times, prices, volumes) in sorted((step.ticks or {}).items()):
            self._db.execute(
                "INSERT INTO ticks VALUES (?, ?, ?, ?, ?)",
                (
                    seq,
                    int(code),
                    np.asarray(times, dtype="datetime64[ns]").view("<i8").tobytes(),
                    np.ascontiguousarray(prices, dtype="<f8").tobytes(),
                    np.ascontiguousarray(volumes, dtype="<f8").tobytes(),
                ),
            )
        return seq

    def _transaction(self) -> Any:
        return _Transaction(self._db, self.path)

    def close(self) -> None:
        self._db.close()


class _Transaction:
    """``BEGIN IMMEDIATE`` ... ``COMMIT`` (``ROLLBACK`` on any failure, a disk full
    included: the journal stays as of its last whole step)."""

    def __init__(self, db: sqlite3.Connection, path: Path) -> None:
        self._db, self._path = db, path

    def __enter__(self) -> None:
        self._db.execute("BEGIN IMMEDIATE")

    def __exit__(self, kind: Any, exc: Any, tb: Any) -> None:
        if kind is None:
            try:
                self._db.execute("COMMIT")
                return
            except sqlite3.Error as failed:
                exc = failed
        try:
            self._db.execute("ROLLBACK")
        except sqlite3.Error:
            pass
        if isinstance(exc, sqlite3.Error):
            raise JournalError(f"{self._path}: cannot write the journal: {exc}") from None


def _pickled(context: Any) -> bytes | None:
    """The strategy's ``context`` attributes that pickle, pickled (None without any)."""
    if context is None:
        return None
    kept = {}
    for name, value in vars(context).items():
        try:
            pickle.dumps(value)
        except Exception:  # what does not pickle is not kept (a handle, a lambda)
            continue
        kept[name] = value
    return pickle.dumps(kept) if kept else None


def _shown(value: Any) -> str:
    text = json.dumps(value, sort_keys=True)
    return text if len(text) <= 80 else text[:77] + "..."
