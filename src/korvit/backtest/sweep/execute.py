"""Running a phase of a sweep's tasks on a backend, and the table of their results."""

import hashlib
import math
import signal
import sys
import threading
import warnings

import pandas as pd

from korvit.backtest.loader import StrategyWarning
from korvit.backtest.sweep import local, ray_backend
from korvit.backtest.sweep.objective import SCORE_COLUMN, _stat_kinds, _typed
from korvit.backtest.sweep.space import FIRST_COLUMNS, RUN_COLUMNS, _canonical


def _run_id(params, phase, start, end, warmup=0):
    window = {"params": params, "phase": phase, "start": start, "end": end}
    if warmup:  # a run without one keeps the id it had before warm-ups were known
        window["warmup"] = warmup
    return hashlib.sha256(_canonical(window).encode()).hexdigest()[:12]


def _task(params, split, phase, start, end, warmup=0, curve=False):
    """A run: its parameters on a window, with ``warmup`` bars before it as
    history; ``curve``: its equity curve is kept (saved with the run)."""
    task = {
        "run_id": _run_id(params, phase, start, end, warmup),
        "params": params,
        "split": split,
        "phase": phase,
        "start": start,
        "end": end,
        "warmup": warmup,
    }
    if curve:
        task["curve"] = True
    return task


def _execute(
    job,
    tasks,
    answers,
    store,
    backend,
    workers,
    address,
    timeout,
    progress,
    key,
    bar=None,
    curves=None,
):
    """Runs the tasks not answered yet; returns True when Ctrl-C stopped it.
    ``bar``: a progress bar that goes on over several calls (left open), else
    one of this call's own; ``curves``: the ``RunCurves`` that holds the runs'
    thinned curves without a ``store`` (which saves them)."""
    if not tasks:
        return False
    saved = store.saved if store is not None else {}
    for task in tasks:
        row = saved.get(task["run_id"])
        if row is not None and (
            not task.get("curve") or store.equity_path(task["run_id"]).is_file()
        ):
            answers[task["run_id"]] = row
    todo = [task for task in tasks if task["run_id"] not in answers]
    by_id = {task["run_id"]: task for task in tasks}
    own_bar = bar is None
    if own_bar:
        bar = _progress_bar(len(tasks), len(tasks) - len(todo), progress)
    elif len(tasks) > len(todo):
        bar.update(len(tasks) - len(todo))
    counts = {"failed": 0}
    told = set()

    def deliver(answer):
        for message in answer.get("warnings", ()):
            if message not in told:
                told.add(message)
                warnings.warn(message, StrategyWarning, stacklevel=2)
        task = by_id[answer["run_id"]]
        row = {
            "run_id": task["run_id"],
            "split": task["split"],
            "phase": task["phase"],
            "params": task["params"],
            "start": task["start"],
            "end": task["end"],
            **({"warmup": task["warmup"]} if task.get("warmup") else {}),
            **answer["row"],
        }
        equity = benchmark = None
        if answer.get("equity") is not None:
            times, values = answer["equity"]
            equity = pd.Series(
                values,
                index=pd.DatetimeIndex(times.astype("datetime64[ns]"), name="time"),
                name="equity",
            )
            if answer.get("benchmark") is not None:  # a walk-forward's test run
                benchmark = pd.Series(answer["benchmark"], index=equity.index, name="benchmark")
        curve = answer.get("curve")
        with _interrupt_held():  # saved and in the table together: sweep.csv matches runs.jsonl
            if store is not None:
                store.add(row, equity, benchmark, curve)
            elif curve is not None and curves is not None:
                curves.hold(task["run_id"], curve)
            kept = {"equity": equity, "benchmark": benchmark}
            answers[task["run_id"]] = dict(
                row, **{name: curve for name, curve in kept.items() if curve is not None}
            )
        counts["failed"] += row["status"] != "ok"
        if bar is not None:
            bar.set_postfix_str(f"failed {counts['failed']}", refresh=False)
            bar.update(1)

    try:
        if todo:
            if backend == "local":
                local._run_local(job, todo, workers, timeout, deliver)
            else:
                ray_backend._run_ray(job, todo, workers, timeout, deliver, address, key)
    except KeyboardInterrupt:
        return True
    finally:
        if bar is not None and own_bar:
            bar.close()
    return False


class _interrupt_held:
    """Holds Ctrl-C (SIGINT) back over a block of the main thread and delivers
    it, to whatever handled it before, when the block ends; with
    ``absorb=True`` it is not delivered (``caught`` tells whether it came):
    for the sweep's last steps, once every run has finished."""

    def __init__(self, absorb=False):
        self.absorb = absorb
        self.caught = False

    def __enter__(self):
        self.caught, self.previous = False, None
        if threading.current_thread() is threading.main_thread():
            previous = signal.getsignal(signal.SIGINT)
            if previous is not None:  # None: a handler not set from Python, left alone
                self.previous = signal.signal(signal.SIGINT, self._catch)
        return self

    def _catch(self, signum, frame):
        self.caught = True

    def __exit__(self, *exc):
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)
            if self.caught and not self.absorb:
                signal.raise_signal(signal.SIGINT)
        return False


def _progress_bar(total, done, enabled):
    if enabled is False:
        return None
    from tqdm import tqdm

    return tqdm(
        total=total,
        initial=done,
        desc="sweep",
        unit="run",
        disable=None if enabled is None else False,
        file=sys.stderr,
        mininterval=0.2,
        dynamic_ncols=True,
    )


def _frame(tasks, answers, names, keep, store, score=None):
    """The sweep's table: one row per task that finished, in the tasks' order;
    with ``score`` (a function of a saved row), its value in the column
    ``objective``."""
    records = []
    for task in tasks:
        row = answers.get(task["run_id"])
        if row is None:
            continue
        record = {"run_id": task["run_id"], "split": task["split"], "phase": task["phase"]}
        for name in names:
            record[name] = task["params"].get(name)
        record.update(status=row["status"], error=row.get("error", ""), seconds=row.get("seconds"))
        record.update(row.get("stats") or {})
        if score is not None:
            record[SCORE_COLUMN] = score(dict(row, run_id=task["run_id"]))
        if keep == "equity":
            record["equity"] = _curve(row, task["run_id"], store)
        records.append(record)
    columns = list(FIRST_COLUMNS) + names + list(RUN_COLUMNS) + list(_stat_kinds())
    if score is not None:
        columns.append(SCORE_COLUMN)
    if keep == "equity":
        columns.append("equity")
    frame = pd.DataFrame.from_records(records, columns=columns)
    frame["split"] = frame["split"].astype("Int64")
    frame["seconds"] = pd.to_numeric(frame["seconds"])
    return _typed(frame)


def _curve(row, run_id, store, column="equity"):
    """A finished run's equity curve (``column="benchmark"``: its benchmark's,
    kept for a walk-forward's test runs): as it came, or as saved; None
    without one."""
    equity = row.get(column)
    if equity is None and store is not None and row["status"] == "ok":
        path = store.equity_path(run_id)
        if path.is_file():
            saved = pd.read_csv(path, index_col=0, parse_dates=True)
            if column == "equity" or column in saved.columns:
                equity = saved[column] if column in saved.columns else saved.iloc[:, 0]
                equity.index = pd.DatetimeIndex(equity.index.astype("datetime64[ns]"), name="time")
    return equity


def _table_text(rows, names, header, score=None):
    """Lines of ``sweep.csv`` for saved ``rows``, with the header line or
    without: the columns of the whole table, the values as the run saved
    them (written with the csv module: a run's line costs little next to the
    run; the whole table at the end is pandas')."""
    import csv
    import io

    columns = list(_stat_kinds())
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    if header:
        writer.writerow(
            [*FIRST_COLUMNS, *names, *RUN_COLUMNS, *columns, *([SCORE_COLUMN] if score else [])]
        )
    for row in rows:
        params, stats = row.get("params") or {}, row.get("stats") or {}
        line = [
            row["run_id"],
            row.get("split"),
            row.get("phase"),
            *(params.get(name) for name in names),
            row.get("status"),
            row.get("error", ""),
            row.get("seconds"),
            *(stats.get(name) for name in columns),
        ]
        if score is not None:
            line.append(score(row))
        writer.writerow(
            [
                "" if value is None or (isinstance(value, float) and math.isnan(value)) else value
                for value in line
            ]
        )
    return text.getvalue()
