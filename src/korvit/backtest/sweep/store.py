"""The output folder of a sweep: the runs saved as they finish, and resuming
from them."""

import json
import os
import time
from pathlib import Path

from korvit.backtest.files import atomic_write
from korvit.backtest.sweep.space import SweepError


class _Store:
    """The output folder: ``runs.jsonl`` (one line per finished run, flushed as
    it arrives), ``sweep.json`` (what the sweep ran) and, with
    ``keep="equity"``, ``equity/RUN_ID.csv``."""

    def __init__(self, folder, manifest, resume):
        self.folder = Path(folder)
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
                raise SweepError(f"{self.folder} holds a sweep of another strategy, data or options; "
                                 "resume it with those, or write to another folder")
            self.saved = self._read_runs()
        atomic_write(manifest_path, lambda fh: fh.write(json.dumps(manifest, indent=2) + "\n"))
        kept = [json.dumps(row) + "\n" for row in self.saved.values()]
        atomic_write(self.runs_path, lambda fh: fh.writelines(kept))
        self.fd = os.open(self.runs_path, os.O_WRONLY | os.O_APPEND)
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
                    continue        # the last line of a sweep killed while writing it
                if isinstance(row, dict) and row.get("status") == "ok" and "run_id" in row:
                    saved[row["run_id"]] = row
        return saved

    def equity_path(self, run_id):
        return self.folder / "equity" / f"{run_id}.csv"

    def add(self, row, equity):
        """Save a finished run: its equity file (atomically) and its line, in
        one write, so that a sweep killed at any point leaves whole lines (a
        reader skips a torn last one all the same).  The lines go to disk at
        most a second apart and at the end, not one by one."""
        if equity is not None:
            if self.equity_folder is None:
                self.equity_folder = self.equity_path("x").parent
                self.equity_folder.mkdir(exist_ok=True)
            atomic_write(self.equity_path(row["run_id"]), lambda fh: equity.to_csv(fh, header=True))
        line = memoryview((json.dumps(row) + "\n").encode("utf-8"))
        while line:
            line = line[os.write(self.fd, line):]
        if time.monotonic() - self.synced >= 1.0:
            os.fsync(self.fd)
            self.synced = time.monotonic()

    def write_table(self, frame):
        table = frame.drop(columns=["equity"], errors="ignore")
        atomic_write(self.folder / "sweep.csv", lambda fh: table.to_csv(fh, index=False))

    def close(self):
        try:
            os.fsync(self.fd)
        finally:
            os.close(self.fd)

