"""Parameter sweeps and walk-forward runs.

``sweep(strategy, data, grid=...)`` runs a strategy once per parameter set
and returns a DataFrame with one row per run: the run's id, its walk-forward
split and phase, its parameters, ``status`` ("ok" or "failed"), ``error``
(the failure's text), ``seconds`` (the run's own time) and the statistics of
its ``BacktestResult``.  A run that raises, or whose worker process dies, is
a failed row; the other runs go on.

The registry, the environment and the engine are process-wide, so runs never
share a process at once: each run goes to a worker process.  Every worker
receives the data and the strategy's source once, keeps one embedded core
for all its runs, and starts each run from a fresh registry and a freshly
executed strategy module, so a run's result does not depend on which worker
ran it or on what ran there before.  ``backend="local"`` is a pool of worker
processes on this machine (a killed worker is replaced, its run reported);
``backend="ray"`` hands the same runs to Ray as tasks, with the data put
once in Ray's object store.

The local workers are kept for the next sweep of the same process: started
once (their imports done), they hold the last job's data and are only told
its key when the next sweep has the same, and the strategy's own helper
modules are imported afresh by each sweep.  A change of the working folder
or of the environment (``os.environ``) starts new workers; they stop when the
process ends, or with ``stop_workers()``.

With ``out=DIR`` every finished run is appended to ``DIR/runs.jsonl`` as it
arrives, and ``resume=True`` skips the runs saved there with status "ok"
(failed runs run again).  ``DIR/sweep.csv`` is written at the end, and also
when the sweep is interrupted (Ctrl-C), atomically.

Walk-forward: with ``splits`` (see ``walk_forward``), for each split the
grid runs on the training window, the best parameter set by ``select`` is
chosen, and that set runs on the test window.  The rows' ``phase`` is
"train" or "test" and ``split`` numbers the split; a plain sweep has phase
"full" and no split.
"""

from __future__ import annotations

import contextlib
import hashlib
import importlib
import itertools
import json
import math
import os
import pickle
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time
import traceback
import types
import warnings
from collections import deque
from multiprocessing.connection import Connection
from multiprocessing.connection import wait as wait_for
from pathlib import Path

import numpy as np
import pandas as pd

from korvit.backtest.files import atomic_write
from korvit.backtest.loader import StrategyExit, StrategyWarning, parameter_problem, strategy_parameters

__all__ = ["sweep", "walk_forward", "SweepError", "find_statistic", "strategy_parameters", "stop_workers"]

FIRST_COLUMNS = ("run_id", "split", "phase")
RUN_COLUMNS = ("status", "error", "seconds")
_RESERVED = set(FIRST_COLUMNS + RUN_COLUMNS + ("equity",))
_SCALARS = (bool, int, float, str, type(None))
# Options of Backtest that a sweep hands on to every run as they are.
RUN_OPTIONS = ("cash", "accounts", "price_at_previous_close", "slippage", "cancel_unfilled_limits",
               "cancel_stale_orders", "fees", "stock_commission", "commission_rate", "stop_fill", "benchmark")


class SweepError(ValueError):
    """A sweep that cannot start: bad grid, splits, options or output folder."""


# ------------------------------------------------------------------ grids


def _scalar(name, value):
    if isinstance(value, np.generic):
        value = value.item()
    if not isinstance(value, _SCALARS) or (isinstance(value, float) and not math.isfinite(value)):
        raise SweepError(f"parameter {name!r}: {value!r} is not a plain value "
                         "(a number, text, True/False or None)")
    return value


def _check_name(name):
    if not isinstance(name, str) or not name.isidentifier():
        raise SweepError(f"a parameter name must be a Python name, got {name!r}")
    if name in _RESERVED:
        raise SweepError(f"parameter name {name!r} is taken by a column of the sweep's table")
    return name


def expand_grid(grid):
    """The parameter sets of ``grid``: a dict ``{name: [values]}`` (every
    combination, the first name varying slowest) or a list of dicts (as
    given).  Raises ``SweepError`` for an empty grid or list, a bad name or
    value, or a parameter set given twice."""
    if isinstance(grid, dict):
        if not grid:
            raise SweepError("the grid is empty: give at least one parameter and its values")
        names, lists = [], []
        for name, values in grid.items():
            _check_name(name)
            if isinstance(values, (str, bytes, dict)) or not hasattr(values, "__iter__"):
                raise SweepError(f"grid: {name!r} must be a list of values, got {values!r}")
            values = [_scalar(name, value) for value in values]
            if not values:
                raise SweepError(f"grid: {name!r} has an empty list of values")
            names.append(name)
            lists.append(values)
        sets = [dict(zip(names, combo)) for combo in itertools.product(*lists)]
    elif isinstance(grid, (list, tuple)):
        if not grid:
            raise SweepError("the list of parameter sets is empty")
        sets = []
        for number, params in enumerate(grid, 1):
            if not isinstance(params, dict):
                raise SweepError(f"parameter set {number} must be a dict, got {params!r}")
            sets.append({_check_name(name): _scalar(name, value) for name, value in params.items()})
    else:
        raise SweepError(f"grid must be a dict of lists or a list of dicts, got {type(grid).__name__}")
    seen = {}
    for number, params in enumerate(sets, 1):
        key = _canonical(params)
        if key in seen:
            raise SweepError(f"the parameter set {params} is given twice (sets {seen[key]} and {number})")
        seen[key] = number
    return sets


def _canonical(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"))


# ------------------------------------------------------------------ walk-forward


def walk_forward(start, end, *, train, test, step=None):
    """Rolling walk-forward splits over the days from ``start`` to ``end``:
    a list of ``(train_start, train_end, test_start, test_end)`` dates (text,
    both ends included).  ``train`` and ``test`` are window lengths in
    calendar days; each split starts ``step`` days (default ``test``) after
    the previous one, so the test windows follow one another.  The last test
    window is cut at ``end``."""
    first, last = (pd.Timestamp(value).normalize() for value in (start, end))
    for name, value in (("train", train), ("test", test), ("step", step)):
        if value is not None and (isinstance(value, bool) or not isinstance(value, (int, np.integer))
                                  or value <= 0):
            raise SweepError(f"walk_forward: {name} must be a whole number of days > 0, got {value!r}")
    day = pd.Timedelta(days=1)
    step = test if step is None else step
    splits, begin = [], first
    while begin + (train + 0) * day <= last:
        test_start = begin + train * day
        test_end = min(test_start + (test - 1) * day, last)
        splits.append((begin.date().isoformat(), (test_start - day).date().isoformat(),
                       test_start.date().isoformat(), test_end.date().isoformat()))
        begin += step * day
    if not splits:
        raise SweepError(f"walk_forward: {start} to {end} is too short for a {train}-day training "
                         "window followed by a test window")
    return splits


def _checked_splits(splits, bars):
    checked = []
    for number, split in enumerate(splits, 1):
        if not isinstance(split, (list, tuple)) or len(split) != 4:
            raise SweepError(f"split {number} must be (train_start, train_end, test_start, test_end), "
                             f"got {split!r}")
        try:
            stamps = [pd.Timestamp(value) for value in split]
        except (ValueError, TypeError) as exc:
            raise SweepError(f"split {number}: {exc}") from None
        a, b, c, d = stamps
        if not (a <= b < c <= d):
            raise SweepError(f"split {number}: the windows must run train_start <= train_end < "
                             f"test_start <= test_end, got {split!r}")
        texts = tuple(str(value) if isinstance(value, str) else stamp.isoformat()
                      for value, stamp in zip(split, stamps))
        for phase, (lo, hi) in (("train", texts[:2]), ("test", texts[2:])):
            if not _has_bars(bars, lo, hi):
                raise SweepError(f"split {number}: the {phase} window {lo} to {hi} holds no bars")
        checked.append(texts)
    return checked


def _has_bars(bars, start, end):
    from korvit.data.bars import _bounds
    lo, hi = _bounds(start, end)
    times = bars.times.to_numpy()
    return bool(((times >= lo) & (times <= hi)).any())


# ------------------------------------------------------------------ statistics


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


# ------------------------------------------------------------------ what a worker runs


class _Job:
    """What every run of a sweep shares, sent once to each worker: the
    strategy's source, the loaded data and the run options."""

    def __init__(self, filename, source, bars, ticks, contracts, options, fixed, keep):
        self.filename, self.source = filename, source
        self.bars, self.ticks, self.contracts = bars, ticks, contracts
        self.options, self.fixed, self.keep = options, fixed, keep

    def fingerprint(self):
        """A digest of everything that decides the runs' results."""
        digest = hashlib.sha256()
        digest.update(self.source.encode())
        bars = self.bars
        digest.update(_canonical([bars.codes, bars.frequency]).encode())
        digest.update(bars.times.asi8.tobytes())
        digest.update(np.ascontiguousarray(bars.values).tobytes())
        if self.ticks is not None:
            # bar by bar in key order: its key, then its times, prices and volumes
            code_index, bar_index, bounds, *columns = self.ticks.flat()
            widths = [column.itemsize for column in columns]
            columns = [np.ascontiguousarray(column).view(np.uint8) for column in columns]
            order = np.lexsort((bar_index, code_index)).tolist()
            code_list, bar_list, bounds = code_index.tolist(), bar_index.tolist(), bounds.tolist()
            for k in order:
                digest.update(f"({code_list[k]}, {bar_list[k]})".encode())
                a, b = bounds[k], bounds[k + 1]
                for column, width in zip(columns, widths):
                    digest.update(column[a * width:b * width])
        if self.contracts is not None:
            digest.update(repr(sorted((code, repr(c)) for code, c in self.contracts.items())).encode())
        digest.update(_canonical({"options": self.options, "fixed": self.fixed}).encode())
        return digest.hexdigest()


class _Core:
    """The embedded core of one worker process, started at its first run and
    kept for all the runs of every job the process runs; its cache root (the
    runs' logs) is the worker's folder."""

    def __init__(self, folder):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.server = None

    def address(self):
        if self.server is None:
            from korvit.core.server import CoreServer
            self.server = CoreServer(port=0, cache_root=self.folder).start()
        return self.server.host, self.server.port

    def close(self):
        if self.server is not None:
            self.server.stop()
            self.server = None
        shutil.rmtree(self.folder, ignore_errors=True)


class _Worker:
    """Runs one job's runs in this process, one after the other, on the
    process's one embedded core."""

    def __init__(self, job, core):
        self.job = job
        self.code = compile(job.source, job.filename, "exec")
        self.core = core

    def _strategy(self):
        """The strategy's callbacks from a fresh run of its module."""
        module = types.ModuleType(f"korvit_strategy_{Path(self.job.filename).stem}")
        module.__file__ = self.job.filename
        try:
            exec(self.code, module.__dict__)       # noqa: S102 - the user's own strategy
        except SystemExit as exc:                   # the run fails, not the worker
            raise StrategyExit(exc, self.job.filename) from exc
        return dict(vars(module))

    def run(self, task):
        from korvit.backtest.results import OrdersDeniedWarning
        from korvit.backtest.runner import Backtest
        from korvit.backtest.stats import stats_to_json
        job = self.job
        started = time.perf_counter()
        row, equity, told = {"status": "ok", "error": ""}, None, []
        try:
            with warnings.catch_warnings(record=True) as caught:      # told once by the sweep, not per worker
                warnings.simplefilter("always", StrategyWarning)
                test = Backtest(self._strategy(), job.bars, ticks=job.ticks, contracts=job.contracts,
                                start=task["start"], end=task["end"], params={**job.fixed, **task["params"]},
                                core=self.core.address(), progress=False, **job.options)
            for warning in caught:
                if issubclass(warning.category, StrategyWarning):
                    told.append(str(warning.message))
                else:
                    warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
            with warnings.catch_warnings():     # the sweep counts them: the "Orders denied" column
                warnings.simplefilter("ignore", OrdersDeniedWarning)
                result = test.run()
            row["stats"] = stats_to_json(result.stats)
            if job.keep == "equity":
                curve = result.equity_curve
                equity = (curve.index.asi8.copy(), curve.to_numpy(dtype=float).copy())
        except Exception as exc:            # noqa: BLE001 - a failed run is a row, not a lost sweep
            row.update(status="failed", error=_describe(exc, job.filename))
        row["seconds"] = time.perf_counter() - started
        return {"run_id": task["run_id"], "row": row, "equity": equity, "warnings": told}


def _describe(exc, filename):
    """``Type: message`` of a failed run, with the strategy's line where it raised."""
    text = f"{type(exc).__name__}: {exc}".strip()
    line = None
    for frame in traceback.extract_tb(exc.__traceback__):
        if frame.filename == filename:
            line = frame.lineno
    return f"{text} ({Path(filename).name}:{line})" if line is not None else text


# ------------------------------------------------------------------ the local pool


_READY = "ready"
# What a worker imports as it starts, before it hears of a job: the modules of
# a run, so that the imports of a new worker overlap the sweep's preparations.
_PRELOAD = ("korvit.data", "korvit.backtest.runner", "korvit.backtest.results", "korvit.backtest.stats",
            "korvit.core.server")


def _worker_main(fd, folder):
    """A local worker: loads jobs and runs their tasks as it is told, until it
    is told to stop (or the sweep's end of the socket closes).

    Messages: ``("job", key, path)`` makes the job ``key`` the current one
    (loaded from ``path`` unless the worker holds it already; ``path`` is
    None then) and is answered with ``_READY``; ``("run", task)`` runs a task
    of the current job and is answered with its result; None stops."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)     # Ctrl-C is the sweep's to handle
    conn = Connection(fd)
    for name in _PRELOAD:
        importlib.import_module(name)
    baseline = _Modules()
    # The worker's folder lies in the pool's, which goes when the pool stops,
    # also after a worker was killed.
    core = _Core(os.path.join(folder, f"worker-{os.getpid()}"))
    worker = key = None
    try:
        while True:
            try:
                message = conn.recv()
            except EOFError:
                break
            if message is None:
                break
            if message[0] == "job":
                baseline.forget_new()
                if message[1] != key:
                    worker = key = None         # the old job's data goes before the new one comes
                    with open(message[2], "rb") as fh:
                        worker = _Worker(pickle.load(fh), core)
                    key = message[1]
                conn.send(_READY)       # a run's time-out counts from here, not from the start-up
            else:
                conn.send(worker.run(message[1]))
    finally:
        core.close()


class _Modules:
    """The modules a worker holds once it has started.  ``forget_new()``
    drops those imported since from outside the Python installation (a
    strategy's own helper modules), so that each sweep imports them afresh,
    as a new worker process would: a helper edited between two sweeps, or
    changed by the runs of one, is not seen by the next."""

    def __init__(self):
        self.names = set(sys.modules)
        self.packages = {name.partition(".")[0] for name in self.names}
        paths = sysconfig.get_paths()
        self.installed = tuple({os.path.join(os.path.realpath(paths[kind]), "")
                                for kind in ("stdlib", "platstdlib", "purelib", "platlib") if kind in paths})

    def forget_new(self):
        gone = False
        for name, module in list(sys.modules.items()):
            if name in self.names or name.partition(".")[0] in self.packages:
                continue
            path = getattr(module, "__file__", None)
            if not isinstance(path, str) or os.path.realpath(path).startswith(self.installed):
                continue
            del sys.modules[name]
            gone = True
        if gone:
            importlib.invalidate_caches()


class _Slot:
    """One worker process and the run it is busy with.  Workers are fresh
    interpreters (not forks of this process) in their own session, so a
    script calling ``sweep`` needs no ``__main__`` guard and Ctrl-C reaches
    only the sweep."""

    def __init__(self, folder):
        mine, theirs = socket.socketpair()
        fd = theirs.fileno()
        self.process = subprocess.Popen(
            [sys.executable, "-c", "import sys; from korvit.backtest.sweeps import _worker_main; "
                                   "_worker_main(int(sys.argv[1]), sys.argv[2])", str(fd), folder],
            pass_fds=(fd,), start_new_session=True, stdin=subprocess.DEVNULL)
        theirs.close()
        self.conn = Connection(mine.detach())
        self.key = None             # the job the worker holds (or is loading); None: never given one
        self.prepared = False       # told the current sweep's job
        self.task = None
        self.started = 0.0
        self.ready = False

    def give(self, task, key, job_path):
        """Send ``task``, after the sweep's job (``job_path()`` makes its file)
        if the worker was not told it yet in this sweep."""
        self.task, self.started = task, time.monotonic()    # busy from here: a half-sent slot is killed
        if not self.prepared:
            self.ready = False
            self.conn.send(("job", key, None if self.key == key else job_path()))
            self.key, self.prepared = key, True
        self.conn.send(("run", task))

    def alive(self):
        return self.process.poll() is None

    def tell_stop(self):
        try:
            self.conn.send(None)
        except OSError:
            pass

    def stop(self, wait=5.0):
        """Wait for the worker told to stop (killed past ``wait`` seconds)."""
        try:
            self.process.wait(wait)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.conn.close()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.conn.close()


class _Pool:
    """Worker processes kept from one sweep to the next of this process, in a
    private folder (their cores' logs, the job's file while a sweep lasts).
    A pool serves one sweep at a time."""

    def __init__(self):
        self.folder = _sweep_folder()
        self.owner = os.getpid()
        self.setting = _pool_setting()
        self.slots = []
        self.busy = False

    def take(self, count):
        """``count`` workers: the live ones kept, new ones for the rest."""
        for slot in [slot for slot in self.slots if not slot.alive()]:
            self.drop(slot)
        while len(self.slots) < count:
            self.slots.append(_Slot(self.folder))
        for slot in self.slots:
            slot.prepared, slot.task = False, None
        return self.slots[:count]

    def replace(self, slot):
        """A new worker in place of ``slot``, which is killed."""
        slot.kill()
        new = _Slot(self.folder)
        self.slots[self.slots.index(slot)] = new
        return new

    def drop(self, slot):
        slot.kill()
        self.slots.remove(slot)

    def close(self):
        slots, self.slots = self.slots, []
        for slot in slots:
            if slot.key is None:
                slot.kill()             # started for a sweep that did not come: holds nothing yet
            else:
                slot.tell_stop()
        for slot in slots:
            if slot.key is not None:
                slot.stop()
        shutil.rmtree(self.folder, ignore_errors=True)


_pool = None                    # the kept pool of this process
_pool_lock = threading.Lock()
_exit_hook = []


def _pool_setting():
    """What a worker takes from this process when it starts: kept workers
    serve a sweep only while these are unchanged."""
    try:
        folder = os.getcwd()
    except OSError:
        folder = None
    return sys.executable, folder, dict(os.environ)


def _kept_pool():
    """The kept pool (with the lock held), made or remade when there is none
    or this process's working folder or environment changed since it
    started; None while another thread's sweep holds it."""
    global _pool
    pool = _pool
    if pool is not None and pool.owner != os.getpid():
        pool = _pool = None             # a forked copy: its workers are the parent's
    if pool is not None and pool.busy:
        return None
    if pool is not None and pool.setting != _pool_setting():
        pool.close()
        pool = None
    if pool is None:
        pool = _pool = _Pool()
        if not _exit_hook:
            import atexit
            atexit.register(stop_workers)
            _exit_hook.append(True)
    return pool


def _start_workers(count):
    """Start the kept pool's workers up to ``count``, so that they start up
    while the sweep loads its data."""
    with _pool_lock:
        pool = _kept_pool()
        while pool is not None and len(pool.slots) < count:
            pool.slots.append(_Slot(pool.folder))


def _take_pool():
    """The kept pool for a sweep, or a pool of its own while another thread's
    sweep holds the kept one."""
    with _pool_lock:
        pool = _kept_pool() or _Pool()
        pool.busy = True
        return pool


def _give_back(pool):
    with _pool_lock:
        pool.busy = False
        if pool is not _pool:
            pool.close()


def stop_workers():
    """Stop the worker processes that sweeps keep for the next sweep of this
    process (they stop anyway when it ends).  Workers busy with a sweep stop
    when it ends."""
    global _pool
    with _pool_lock:
        pool, _pool = _pool, None
        if pool is None or pool.busy or pool.owner != os.getpid():
            return
    pool.close()


def _death(exitcode):
    if exitcode is not None and exitcode < 0:
        try:
            name = signal.Signals(-exitcode).name
        except ValueError:
            name = "unknown"
        return f"worker died (signal {-exitcode}, {name})"
    return f"worker died (exit status {exitcode})"


def _failed(task, error):
    return {"run_id": task["run_id"], "row": {"status": "failed", "error": error, "seconds": float("nan")},
            "equity": None}


# ------------------------------------------------------------------ private folders
#
# A sweep's private folder (the job's data, the workers' logs) is named after
# the process that made it: its pid and its start time, which tells a process
# that reuses the pid from the owner.  A sweep that was killed cannot remove
# its folder; the next sweep to start removes every such folder whose owner
# is gone, and never one of a live process.


def _process_start(pid):
    """``(alive, start)`` of process ``pid``: its start time as the system
    gives it (clock ticks since boot) where /proc tells it, else None."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as fh:
            fields = fh.read().rsplit(b")", 1)[1].split()
    except FileNotFoundError:
        return (not os.path.isdir("/proc/self")) and _signalable(pid), None
    except (OSError, IndexError):
        return _signalable(pid), None
    if fields[0] in (b"Z", b"X"):       # dead, not yet reaped by its parent
        return False, None
    return True, fields[19].decode()


def _signalable(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True                     # another user's live process
    except OverflowError:
        return False
    return True


def _owner_tag():
    """``PID-START`` of this process (START "0" where it is not known)."""
    return f"{os.getpid()}-{_process_start(os.getpid())[1] or 0}"


def _owner_gone(tag):
    """True when the process named by a ``PID-START`` tag is gone (also when
    its pid now belongs to a process started at another time)."""
    pid, start = tag.split("-")
    alive, now = _process_start(int(pid))
    if not alive:
        return True
    return now is not None and start != "0" and now != start


def _remove_stale(root, prefix):
    """Remove the folders ``PREFIX<pid>-<start>-...`` under ``root`` that this
    user owns and whose owning process is gone."""
    pattern = re.compile(re.escape(prefix) + r"(\d+-\d+)(?:-|$)")
    try:
        entries = list(os.scandir(root))
    except OSError:
        return
    for entry in entries:
        match = pattern.match(entry.name)
        if match is None:
            continue
        try:
            info = entry.stat(follow_symlinks=False)
        except OSError:
            continue
        if not stat.S_ISDIR(info.st_mode) or (hasattr(os, "getuid") and info.st_uid != os.getuid()):
            continue
        if _owner_gone(match.group(1)):
            shutil.rmtree(entry.path, ignore_errors=True)


def _sweep_folder():
    """A new private folder for this sweep, after removing those of sweeps
    that were killed."""
    root = tempfile.gettempdir()
    _remove_stale(root, "korvit-sweep-")
    return tempfile.mkdtemp(prefix=f"korvit-sweep-{_owner_tag()}-", dir=root)


def _run_local(job, tasks, workers, timeout, deliver):
    """Runs ``tasks`` on ``workers`` processes of the kept pool, calling
    ``deliver(answer)`` for each as it finishes.  A worker that dies (or
    runs past ``timeout``) fails its run and is replaced."""
    pool = _take_pool()
    written = []

    def job_path():
        """The job's file, written once for the workers that do not hold the job."""
        if not written:
            path = os.path.join(pool.folder, "job.pickle")
            with open(path, "wb") as fh:
                pickle.dump(job, fh, protocol=pickle.HIGHEST_PROTOCOL)
            written.append(path)
        return written[0]

    pending = deque(tasks)
    slots = []
    try:
        slots = pool.take(min(workers, len(pending)))
        for slot in slots:
            slot.give(pending.popleft(), job.key, job_path)
        while any(slot.task is not None for slot in slots):
            busy = [slot for slot in slots if slot.task is not None]
            left = None
            timed = [slot for slot in busy if slot.ready]
            if timeout is not None and timed:
                left = max(0.0, min(slot.started + timeout for slot in timed) - time.monotonic())
            ready = wait_for([slot.conn for slot in busy], timeout=left)
            for number, slot in enumerate(slots):
                if slot.task is None:
                    continue
                answer = None
                if slot.conn in ready:
                    try:
                        answer = slot.conn.recv()
                        if answer == _READY:
                            slot.ready, slot.started, answer = True, time.monotonic(), None
                    except (EOFError, OSError):        # the worker is gone
                        try:
                            slot.process.wait(5)
                        except subprocess.TimeoutExpired:
                            pass
                        answer = _failed(slot.task, _death(slot.process.returncode))
                        slots[number] = pool.replace(slot)
                elif timeout is not None and slot.ready and time.monotonic() - slot.started >= timeout:
                    answer = _failed(slot.task, f"timed out after {timeout:g} s")
                    slots[number] = pool.replace(slot)
                if answer is None:
                    continue
                slot = slots[number]
                slot.task = None
                deliver(answer)
                if pending:
                    slot.give(pending.popleft(), job.key, job_path)
    finally:
        for slot in slots:
            if slot.task is not None:       # stopped in the middle of its run
                pool.drop(slot)
        for path in written:
            with contextlib.suppress(OSError):
                os.unlink(path)
        _give_back(pool)


# ------------------------------------------------------------------ the Ray backend

_ray_workers = {}      # in a Ray worker process: job fingerprint -> _Worker
_ray_core = []         # in a Ray worker process: its one _Core


def _ray_task(key, job_ref, task):
    """A Ray task: one run, on this Ray worker's own _Worker for the job."""
    worker = _ray_workers.get(key)
    if worker is None:
        import atexit

        import ray
        _ray_workers.clear()
        if not _ray_core:
            _ray_core.append(_Core(_ray_folder()))
            atexit.register(_ray_core[0].close)
        worker = _ray_workers[key] = _Worker(ray.get(job_ref[0]), _ray_core[0])
    return worker.run(task)


def _ray_folder():
    """This Ray worker's folder, under a common one of this user where the
    folders of Ray workers gone without cleaning up are removed."""
    root = Path(tempfile.gettempdir()) / (
        f"korvit-sweep-ray-{os.getuid()}" if hasattr(os, "getuid") else "korvit-sweep-ray")
    root.mkdir(mode=0o700, exist_ok=True)
    info = os.lstat(root)
    if not stat.S_ISDIR(info.st_mode) or (hasattr(os, "getuid") and info.st_uid != os.getuid()):
        raise RuntimeError(f"{root} is not a folder of this user; remove it")
    _remove_stale(root, "worker-")
    return str(root / f"worker-{_owner_tag()}")


def _import_ray():
    try:
        import ray
    except ImportError as exc:
        raise SweepError("backend 'ray' needs Ray, an optional extra: pip install 'korvit[ray]' "
                         f"({exc})") from None
    return ray


def _run_ray(job, tasks, workers, timeout, deliver, address, key):
    """Runs ``tasks`` as Ray tasks, at most ``workers`` at a time (default:
    the cluster's CPUs); the job is put once in the object store."""
    ray = _import_ray()
    started_here = not ray.is_initialized()
    if started_here:
        options = {"include_dashboard": False, "logging_level": "ERROR", "log_to_driver": True}
        if address is None and workers is not None:
            options["num_cpus"] = workers
        try:
            ray.init(address=address, **options)
        except (ConnectionError, RuntimeError, ValueError) as exc:
            raise SweepError(f"cannot start or reach Ray at {address or 'a new local instance'}: "
                             f"{str(exc).splitlines()[0] if str(exc) else type(exc).__name__}") from None
    try:
        limit = workers or max(1, int(ray.cluster_resources().get("CPU", 1)))
        job_ref = ray.put(job)
        remote = ray.remote(num_cpus=1, max_retries=0)(_ray_task)
        pending, running = deque(tasks), {}
        try:
            while pending or running:
                while pending and len(running) < limit:
                    task = pending.popleft()
                    running[remote.remote(key, [job_ref], task)] = (task, time.monotonic())
                left = None
                if timeout is not None:
                    left = max(0.0, min(start + timeout for _, start in running.values()) - time.monotonic())
                done, _ = ray.wait(list(running), num_returns=1, timeout=left)
                for ref in done:
                    task, _ = running.pop(ref)
                    try:
                        answer = ray.get(ref)
                    except ray.exceptions.RayError as exc:
                        answer = _failed(task, _ray_failure(exc))
                    deliver(answer)
                if timeout is not None:
                    now = time.monotonic()
                    for ref, (task, start) in list(running.items()):
                        if now - start >= timeout:
                            ray.cancel(ref, force=True)
                            del running[ref]
                            deliver(_failed(task, f"timed out after {timeout:g} s"))
        finally:
            for ref in running:
                ray.cancel(ref, force=True)
    finally:
        if started_here:
            ray.shutdown()


def _ray_failure(exc):
    text = str(exc).strip().splitlines()
    name = type(exc).__name__
    if "Crashed" in name or "Died" in name or "WorkerCrashed" in name:
        return f"worker died ({name})"
    return f"{name}: {text[0] if text else ''}".strip()


# ------------------------------------------------------------------ saved runs


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


# ------------------------------------------------------------------ the sweep


def _run_id(params, phase, start, end):
    key = _canonical({"params": params, "phase": phase, "start": start, "end": end})
    return hashlib.sha256(key.encode()).hexdigest()[:12]


def _task(params, split, phase, start, end):
    return {"run_id": _run_id(params, phase, start, end), "params": params, "split": split,
            "phase": phase, "start": start, "end": end}


def _strategy_source(strategy):
    if isinstance(strategy, types.ModuleType):
        strategy = getattr(strategy, "__file__", None)
        if strategy is None:
            raise SweepError("a sweep needs the strategy as a file: this module has none")
    if not isinstance(strategy, (str, os.PathLike)):
        raise SweepError("a sweep needs the strategy as a file (a path or a module loaded from "
                         f"one), got {type(strategy).__name__}")
    path = Path(strategy)
    if not path.is_file():
        raise SweepError(f"strategy file {str(path)!r} does not exist")
    source = path.read_text(encoding="utf-8")
    try:
        compile(source, str(path.resolve()), "exec")
    except SyntaxError as exc:
        raise SweepError(f"{path}:{exc.lineno}: syntax error: {exc.msg}") from None
    return str(path.resolve()), source


def sweep(strategy, data, grid, *, splits=None, select="Sharpe ratio", ticks=None, contracts=None,
          start=None, end=None, params=None, backend="local", workers=None, address=None, keep=None,
          out=None, resume=False, timeout=None, progress=None, **options):
    """Run ``strategy`` over ``data`` once per parameter set of ``grid`` and
    return a DataFrame with one row per run (see the module's docstring).

    - ``strategy``: the path of a strategy file (or a module loaded from one).
      It reads a run's parameters as ``context.params["name"]`` or
      ``context.params.get("name", default)``.
    - ``data``, ``ticks``, ``contracts``, ``start``, ``end``: as for
      ``Backtest``; they are loaded and checked once, before any run.
    - ``grid``: ``{"fast": [5, 10], "slow": [30, 60]}`` (every combination) or
      a list of parameter dicts.  A name the strategy does not read (when its
      source shows every name it reads) or an empty list is an error.
    - ``params``: parameters fixed for every run.
    - ``splits``: walk-forward splits, ``(train_start, train_end, test_start,
      test_end)`` each (see ``walk_forward``); ``select``: the statistic that
      picks each split's best training run (higher is better).
    - ``backend``: "local" (worker processes on this machine) or "ray";
      ``workers``: how many runs at once (default: every core, or the Ray
      cluster's CPUs); ``address``: a running Ray cluster's "HOST:PORT"
      (default: ``ray.init()`` starts a local one, unless Ray is already
      initialised).
    - ``keep="equity"``: keep each run's equity curve in an ``equity`` column.
    - ``out``: folder for ``runs.jsonl``, ``sweep.json``, ``sweep.csv`` (and
      ``equity/``); ``resume``: skip the runs saved there.
    - ``timeout``: seconds a run may take before it is stopped and failed.
    - ``progress``: a progress bar (None: only on a terminal).
    - other keyword options (``cash``, ``accounts``, ``slippage``,
      ``stop_fill``, ...) go to every run's ``Backtest``.

    A bad grid, split or option raises ``SweepError`` before anything runs.
    Ctrl-C stops the sweep: the finished runs are returned (and saved), the
    frame's ``attrs["interrupted"]`` is True.
    """
    from korvit.data import Bars, Ticks, load_bars, load_contracts, load_ticks

    unknown = sorted(set(options) - set(RUN_OPTIONS))
    if unknown:
        raise SweepError(f"unknown option {unknown[0]!r}; a sweep's runs take "
                         f"{', '.join(RUN_OPTIONS)}")
    if backend not in ("local", "ray"):
        raise SweepError(f"backend must be 'local' or 'ray', got {backend!r}")
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int) or workers < 1):
        raise SweepError(f"workers must be a whole number >= 1, got {workers!r}")
    if address is not None and backend != "ray":
        raise SweepError("address= names a Ray cluster: use it with backend='ray'")
    if keep not in (None, "equity"):
        raise SweepError(f"keep must be None or 'equity', got {keep!r}")
    if timeout is not None and not (isinstance(timeout, (int, float)) and timeout > 0):
        raise SweepError(f"timeout must be a number of seconds > 0, got {timeout!r}")
    if resume and out is None:
        raise SweepError("resume needs the output folder (out=) of the sweep to resume")
    if backend == "ray":
        _import_ray()
    filename, source = _strategy_source(strategy)
    sets = expand_grid(grid)
    fixed = {_check_name(name): _scalar(name, value) for name, value in dict(params or {}).items()}
    names = list(dict.fromkeys(name for params_ in sets for name in params_))
    both = [name for name in names if name in fixed]
    if both:
        raise SweepError(f"parameter {both[0]!r} is both fixed (params=) and in the grid")
    problem = parameter_problem(filename, source, [*names, *fixed])
    if problem is not None:
        raise SweepError(problem)
    metric = find_statistic(select)

    if backend == "local":
        _start_workers(min(workers or os.cpu_count() or 1, len(sets)))
    trimmed = start is not None or end is not None
    if isinstance(data, Bars):
        bars = load_bars(data.to_frame(), start=start, end=end) if trimmed else data
    else:
        bars = load_bars(data, start=start, end=end)
    table = None if contracts is None else load_contracts(contracts)
    if isinstance(ticks, Ticks) and trimmed:
        if not isinstance(data, Bars):
            raise SweepError("ticks loaded before (a Ticks object) can be trimmed with start/end only "
                             "together with the Bars they were loaded for")
        from korvit.backtest.runner import _ticks_on
        ticks = _ticks_on(ticks, data, bars)
    elif ticks is not None and not isinstance(ticks, Ticks):
        ticks = load_ticks(ticks, bars, trim=trimmed)
    # Every run's options are checked here, once, rather than failing every run.
    from korvit.backtest.runner import STOP_FILLS, Backtest
    # The stop fill rule decides the results: kept with the options even when it is the
    # default, so that a sweep saved under the other rule is not resumed.
    options = {"stop_fill": STOP_FILLS[0], **options}
    try:
        Backtest({"init": lambda context: None}, bars, contracts=table, **options)     # only the options count
    except (TypeError, ValueError) as exc:
        raise SweepError(str(exc)) from None
    checked_splits = None if splits is None else _checked_splits(list(splits), bars)
    if checked_splits is not None and not checked_splits:
        raise SweepError("splits is empty")

    job = _Job(filename, source, bars, ticks, table, _jsonable_options(options), fixed, keep)
    fingerprint = job.fingerprint()
    # What a kept worker holding a job knows it by: the results' fingerprint, and what the
    # fingerprint leaves out but a worker returns (the file's name in errors, the equity)
    job.key = hashlib.sha256(_canonical([fingerprint, filename, keep]).encode()).hexdigest()
    if backend == "local":
        workers = workers or os.cpu_count() or 1
    store = None
    if out is not None:
        manifest = {"strategy": filename, "data": repr(bars), "params": fixed, "options": job.options,
                    "parameter_sets": sets,
                    "splits": checked_splits, "select": metric, "fingerprint": fingerprint}
        store = _Store(out, manifest, resume)

    answers, interrupted = {}, False
    first_phase = [_task(p, None, "full", None, None) for p in sets] if checked_splits is None else \
        [_task(p, k, "train", s[0], s[1]) for k, s in enumerate(checked_splits, 1) for p in sets]
    tasks = list(first_phase)
    try:
        interrupted = _execute(job, first_phase, answers, store, backend, workers, address, timeout,
                               progress, job.key)
        if checked_splits is not None and not interrupted:
            tests = []
            for k, split in enumerate(checked_splits, 1):
                best = _best([answers.get(t["run_id"]) for t in first_phase if t["split"] == k], metric)
                if best is None:
                    task = _task({}, k, "test", split[2], split[3])
                    answers[task["run_id"]] = {"status": "failed", "seconds": float("nan"),
                                               "error": f"no training run of split {k} has a value of {metric}"}
                else:
                    task = _task(dict(best), k, "test", split[2], split[3])
                    tests.append(task)
                tasks.append(task)
            interrupted = _execute(job, tests, answers, store, backend, workers, address, timeout,
                                   progress, job.key)
    finally:
        if store is not None:
            store.close()
    frame = _frame(tasks, answers, names, keep, store)
    frame.attrs["interrupted"] = interrupted
    frame.attrs["metric"] = metric
    if store is not None:
        store.write_table(frame)
    if interrupted:
        done = int(frame["status"].notna().sum()) if len(frame) else 0
        warnings.warn(f"sweep interrupted: {done} of {len(tasks)} runs finished", RuntimeWarning, stacklevel=2)
    return frame


def _jsonable_options(options):
    out = {}
    for name, value in options.items():
        try:
            json.dumps(value)
        except TypeError:
            raise SweepError(f"option {name}={value!r} is not a plain value") from None
        out[name] = value
    return out


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


def _execute(job, tasks, answers, store, backend, workers, address, timeout, progress, key):
    """Runs the tasks not answered yet; returns True when Ctrl-C stopped it."""
    saved = store.saved if store is not None else {}
    for task in tasks:
        row = saved.get(task["run_id"])
        if row is not None:
            answers[task["run_id"]] = row
    todo = [task for task in tasks if task["run_id"] not in answers]
    by_id = {task["run_id"]: task for task in tasks}
    bar = _progress_bar(len(tasks), len(tasks) - len(todo), progress)
    counts = {"failed": 0}
    told = set()

    def deliver(answer):
        for message in answer.get("warnings", ()):
            if message not in told:
                told.add(message)
                warnings.warn(message, StrategyWarning, stacklevel=2)
        task = by_id[answer["run_id"]]
        row = {"run_id": task["run_id"], "split": task["split"], "phase": task["phase"],
               "params": task["params"], "start": task["start"], "end": task["end"], **answer["row"]}
        equity = None
        if answer.get("equity") is not None:
            times, values = answer["equity"]
            equity = pd.Series(values, index=pd.DatetimeIndex(times.astype("datetime64[ns]"), name="time"),
                               name="equity")
        with _interrupt_held():     # saved and in the table together: sweep.csv matches runs.jsonl
            if store is not None:
                store.add(row, equity)
            answers[task["run_id"]] = dict(row, equity=equity) if equity is not None else row
        counts["failed"] += row["status"] != "ok"
        if bar is not None:
            bar.set_postfix_str(f"failed {counts['failed']}", refresh=False)
            bar.update(1)

    try:
        if todo:
            if backend == "local":
                _run_local(job, todo, workers, timeout, deliver)
            else:
                _run_ray(job, todo, workers, timeout, deliver, address, key)
    except KeyboardInterrupt:
        return True
    finally:
        if bar is not None:
            bar.close()
    return False


class _interrupt_held:
    """Holds Ctrl-C (SIGINT) back over a block of the main thread and delivers
    it, to whatever handled it before, when the block ends."""

    def __enter__(self):
        self.caught, self.previous = False, None
        if threading.current_thread() is threading.main_thread():
            previous = signal.getsignal(signal.SIGINT)
            if previous is not None:        # None: a handler not set from Python, left alone
                self.previous = signal.signal(signal.SIGINT, self._catch)
        return self

    def _catch(self, signum, frame):
        self.caught = True

    def __exit__(self, *exc):
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)
            if self.caught:
                signal.raise_signal(signal.SIGINT)
        return False


def _progress_bar(total, done, enabled):
    if enabled is False:
        return None
    from tqdm import tqdm
    return tqdm(total=total, initial=done, desc="sweep", unit="run", disable=None if enabled is None else False,
                file=sys.stderr, mininterval=0.2, dynamic_ncols=True)


def _frame(tasks, answers, names, keep, store):
    """The sweep's table: one row per task that finished, in the tasks' order."""
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
        if keep == "equity":
            equity = row.get("equity")
            if equity is None and store is not None and row["status"] == "ok":
                path = store.equity_path(task["run_id"])
                if path.is_file():
                    equity = pd.read_csv(path, index_col=0, parse_dates=True).iloc[:, 0]
                    equity.index = pd.DatetimeIndex(equity.index.astype("datetime64[ns]"), name="time")
            record["equity"] = equity
        records.append(record)
    columns = list(FIRST_COLUMNS) + names + list(RUN_COLUMNS) + list(_stat_kinds())
    if keep == "equity":
        columns.append("equity")
    frame = pd.DataFrame.from_records(records, columns=columns)
    frame["split"] = frame["split"].astype("Int64")
    frame["seconds"] = pd.to_numeric(frame["seconds"])
    return _typed(frame)
