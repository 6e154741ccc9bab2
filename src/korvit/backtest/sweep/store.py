"""The output folder of a sweep: the runs saved as they finish, and resuming
from them."""

import json
import os
import time
from pathlib import Path

import pandas as pd

from korvit.backtest.files import atomic_write, kind_clash
from korvit.backtest.sweep.curves import CURVES_FILE, curve_line
from korvit.backtest.sweep.space import SweepError


class _Store:
    """The output folder: ``runs.jsonl`` (one line per finished run, flushed as
    it arrives), ``curves.jsonl`` (each finished run's thinned curve, see
    ``curves``), ``sweep.csv`` (the table: a line per run as it arrives, the
    whole table in the runs' order at the end), ``sweep.json`` (what the sweep
    ran, and its kind: "sweep" or "walk-forward") and, with ``keep="equity"``
    (and for a walk-forward's test runs), ``equity/RUN_ID.csv``.

    A folder holding another kind's results (a backtest's, or a walk-forward's
    for a sweep and the reverse) is refused before anything is written.

    ``table_text(rows, header)`` gives the lines of ``sweep.csv`` for saved
    rows.  Both files start with the same runs (those resumed) and each run
    goes to both in one step (``add``), so that a sweep stopped anywhere,
    even killed, leaves ``sweep.csv`` holding the runs of ``runs.jsonl``;
    each line is one write of its own."""

    def __init__(self, folder, manifest, resume, table_text):
        self.folder = Path(folder)
        self.table_text = table_text
        clash = kind_clash(self.folder, manifest["kind"], "out")
        if clash is not None:  # refused before anything is written
            raise SweepError(clash)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.runs_path = self.folder / "runs.jsonl"
        self.saved = {}
        manifest_path = self.folder / "sweep.json"
        if resume and manifest_path.is_file():
            try:
                old = json.loads(manifest_path.read_text())
            except (OSError, ValueError) as exc:
                raise SweepError(f"{manifest_path}: cannot read it to resume: {exc}") from None
            if old.get("fingerprint") != manifest["fingerprint"]:
                raise SweepError(
                    f"{self.folder} holds a sweep of another strategy, data or options; "
                    "resume it with those, or write to another folder"
                )
            self.saved = self._read_runs()
        atomic_write(manifest_path, lambda fh: fh.write(json.dumps(manifest, indent=2) + "\n"))
        kept = [json.dumps(row) + "\n" for row in self.saved.values()]
        atomic_write(self.runs_path, lambda fh: fh.writelines(kept))
        self.table_path = self.folder / "sweep.csv"
        table = table_text(list(self.saved.values()), True)
        atomic_write(self.table_path, lambda fh: fh.write(table))
        # The curves of the runs resumed stay; a new sweep starts the file afresh.
        curves_path = self.folder / CURVES_FILE
        self.curves_fd = os.open(
            curves_path,
            os.O_WRONLY | os.O_APPEND | os.O_CREAT | (0 if self.saved else os.O_TRUNC),
            0o666,
        )
        self.fd = os.open(self.runs_path, os.O_WRONLY | os.O_APPEND)
        self.table_fd = os.open(self.table_path, os.O_WRONLY | os.O_APPEND)
        self.synced = time.monotonic()
        self.equity_folder = None

    def _read_runs(self):
        saved = {}
        if not self.runs_path.is_file():
            return saved
        with open(self.runs_path, encoding="utf-8") as fh:
            for line in fh:
                try:
                    row = json.loads(line)
                except ValueError:
                    continue  # the last line of a sweep killed while writing it
                if isinstance(row, dict) and row.get("status") == "ok" and "run_id" in row:
                    saved[row["run_id"]] = row
        return saved

    def equity_path(self, run_id):
        return self.folder / "equity" / f"{run_id}.csv"

    def add(self, row, equity, benchmark=None, curve=None):
        """Save a finished run: its equity file (atomically; with its
        benchmark's curve beside it when there is one), its thinned curve's
        line and its line, each in one write and in that order, so that a
        sweep killed at any point leaves whole lines (a reader skips a torn
        last one all the same) and every saved run has its curve.  The lines
        go to disk at most a second apart and at the end, not one by one."""
        if equity is not None:
            if self.equity_folder is None:
                self.equity_folder = self.equity_path("x").parent
                self.equity_folder.mkdir(exist_ok=True)
            saved = equity if benchmark is None else pd.concat([equity, benchmark], axis=1)
            atomic_write(self.equity_path(row["run_id"]), lambda fh: saved.to_csv(fh, header=True))
        if curve is not None:
            _write_all(self.curves_fd, curve_line(row["run_id"], curve))
        line, table_line = json.dumps(row) + "\n", self.table_text([row], False)
        _write_all(self.fd, line)
        _write_all(self.table_fd, table_line)
        if time.monotonic() - self.synced >= 1.0:
            self._sync()
            self.synced = time.monotonic()

    def _sync(self):
        for fd in (self.curves_fd, self.fd, self.table_fd):
            os.fsync(fd)

    def write_table(self, frame):
        """The whole table, in the runs' order, in place of the lines written
        as the runs arrived (atomically: a reader sees either)."""
        table = frame.drop(columns=["equity"], errors="ignore")
        atomic_write(self.table_path, lambda fh: table.to_csv(fh, index=False))

    def close(self):
        try:
            self._sync()
        finally:
            for fd in (self.curves_fd, self.fd, self.table_fd):
                os.close(fd)


def _write_all(fd, text):
    """``text`` to ``fd`` in one write (the rest in more only where the
    system writes less at once)."""
    line = memoryview(text.encode("utf-8"))
    while line:
        line = line[os.write(fd, line) :]
