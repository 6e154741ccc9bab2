"""The Ray backend: the runs of a sweep as Ray tasks."""

import os
import stat
import tempfile
import time
from collections import deque
from pathlib import Path
from typing import Any

from korvit.backtest.sweep.folders import _owner_tag, _remove_stale
from korvit.backtest.sweep.space import SweepError
from korvit.backtest.sweep.worker import _Core, _failed, _Worker

_ray_workers: dict[str, Any] = {}  # in a Ray worker process: job fingerprint -> _Worker
_ray_core: list[Any] = []  # in a Ray worker process: its one _Core


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
        f"korvit-sweep-ray-{os.getuid()}" if hasattr(os, "getuid") else "korvit-sweep-ray"
    )
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
        raise SweepError(
            f"backend 'ray' needs Ray, an optional extra: pip install 'korvit[ray]' ({exc})"
        ) from None
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
            raise SweepError(
                f"cannot start or reach Ray at {address or 'a new local instance'}: "
                f"{str(exc).splitlines()[0] if str(exc) else type(exc).__name__}"
            ) from None
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
                    left = max(
                        0.0,
                        min(start + timeout for _, start in running.values()) - time.monotonic(),
                    )
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
