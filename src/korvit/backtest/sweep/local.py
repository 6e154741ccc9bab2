"""The local backend: worker processes on this machine, kept from one sweep to
the next of the same process."""

import contextlib
import importlib
import os
import pickle
import shutil
import signal
import socket
import subprocess
import sys
import sysconfig
import threading
import time
from collections import deque
from multiprocessing.connection import Connection
from multiprocessing.connection import wait as wait_for
from typing import Any

from korvit.backtest.sweep.folders import _sweep_folder
from korvit.backtest.sweep.worker import _Core, _failed, _Worker

_READY = "ready"
# What a worker imports as it starts, before it hears of a job: the modules of
# a run, so that the imports of a new worker overlap the sweep's preparations.
_PRELOAD = (
    "korvit.data",
    "korvit.backtest.runner",
    "korvit.backtest.results",
    "korvit.backtest.stats",
    "korvit.core.server",
)


def _worker_main(fd, folder):
    """A local worker: loads jobs and runs their tasks as it is told, until it
    is told to stop (or the sweep's end of the socket closes).

    Messages: ``("job", key, path)`` makes the job ``key`` the current one
    (loaded from ``path`` unless the worker holds it already; ``path`` is
    None then) and is answered with ``_READY``; ``("run", task)`` runs a task
    of the current job and is answered with its result; None stops."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the sweep's to handle
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
                    worker = key = None  # the old job's data goes before the new one comes
                    with open(message[2], "rb") as fh:
                        worker = _Worker(pickle.load(fh), core)
                    key = message[1]
                conn.send(_READY)  # a run's time-out counts from here, not from the start-up
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
        self.installed = tuple(
            {
                os.path.join(os.path.realpath(paths[kind]), "")
                for kind in ("stdlib", "platstdlib", "purelib", "platlib")
                if kind in paths
            }
        )

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
            [
                sys.executable,
                "-c",
                "import sys; from korvit.backtest.sweep.local import _worker_main; "
                "_worker_main(int(sys.argv[1]), sys.argv[2])",
                str(fd),
                folder,
            ],
            pass_fds=(fd,),
            start_new_session=True,
            stdin=subprocess.DEVNULL,
        )
        theirs.close()
        self.conn = Connection(mine.detach())
        self.key = None  # the job the worker holds (or is loading); None: never given one
        self.prepared = False  # told the current sweep's job
        self.task = None
        self.started = 0.0
        self.ready = False

    def give(self, task, key, job_path):
        """Send ``task``, after the sweep's job (``job_path()`` makes its file)
        if the worker was not told it yet in this sweep."""
        self.task, self.started = (
            task,
            time.monotonic(),
        )  # busy from here: a half-sent slot is killed
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
                slot.kill()  # started for a sweep that did not come: holds nothing yet
            else:
                slot.tell_stop()
        for slot in slots:
            if slot.key is not None:
                slot.stop()
        shutil.rmtree(self.folder, ignore_errors=True)


_pool = None  # the kept pool of this process
_pool_lock = threading.Lock()
_exit_hook: list[Any] = []


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
        pool = _pool = None  # a forked copy: its workers are the parent's
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
                    except (EOFError, OSError):  # the worker is gone
                        try:
                            slot.process.wait(5)
                        except subprocess.TimeoutExpired:
                            pass
                        answer = _failed(slot.task, _death(slot.process.returncode))
                        slots[number] = pool.replace(slot)
                elif (
                    timeout is not None
                    and slot.ready
                    and time.monotonic() - slot.started >= timeout
                ):
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
            if slot.task is not None:  # stopped in the middle of its run
                pool.drop(slot)
        for path in written:
            with contextlib.suppress(OSError):
                os.unlink(path)
        _give_back(pool)
