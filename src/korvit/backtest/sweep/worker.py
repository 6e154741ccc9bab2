"""What a worker runs: the job every run of a sweep shares, the embedded core of a
worker process, and the runs themselves."""

import hashlib
import os
import shutil
import time
import traceback
import types
import warnings
from pathlib import Path

import numpy as np

from korvit.backtest.loader import StrategyExit, StrategyWarning
from korvit.backtest.sweep.curves import thinned
from korvit.backtest.sweep.space import _canonical


class _Job:
    """What every run of a sweep shares, sent once to each worker: the
    strategy's source, the loaded data and the run options."""

    key: str  # the job's digest, set by sweep

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
                    digest.update(column[a * width : b * width])
        if self.contracts is not None:
            digest.update(
                repr(sorted((code, repr(c)) for code, c in self.contracts.items())).encode()
            )
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
            exec(self.code, module.__dict__)
        except SystemExit as exc:  # the run fails, not the worker
            raise StrategyExit(exc, self.job.filename) from exc
        return dict(vars(module))

    def run(self, task):
        from korvit.backtest.inputs import CalendarWarning, NoContractWarning
        from korvit.backtest.results import OrdersDeniedWarning
        from korvit.backtest.runner import Backtest
        from korvit.backtest.stats import stats_to_json

        job = self.job
        started = time.perf_counter()
        row, equity, told = {"status": "ok", "error": ""}, None, []
        thin = benchmark = None
        try:
            with warnings.catch_warnings(
                record=True
            ) as caught:  # told once by the sweep, not per worker
                warnings.simplefilter("always", StrategyWarning)
                test = Backtest(
                    self._strategy(),
                    job.bars,
                    ticks=job.ticks,
                    contracts=job.contracts,
                    start=task["start"],
                    end=task["end"],
                    warmup=task.get("warmup", 0),
                    params={**job.fixed, **task["params"]},
                    core=self.core.address(),
                    progress=False,
                    **job.options,
                )
            for warning in caught:
                if issubclass(warning.category, StrategyWarning):
                    told.append(str(warning.message))
                else:
                    warnings.showwarning(
                        warning.message, warning.category, warning.filename, warning.lineno
                    )
            with warnings.catch_warnings():  # the sweep counts them: the "Orders denied" column
                warnings.simplefilter("ignore", OrdersDeniedWarning)
                warnings.simplefilter("ignore", NoContractWarning)  # told once by the sweep
                warnings.simplefilter("ignore", CalendarWarning)  # likewise
                result = test.run()
            row["stats"] = stats_to_json(result.stats)
            curve = result.equity_curve
            thin = thinned(curve)  # for the report's chart of the best runs
            if job.keep == "equity" or task.get("curve"):
                equity = (curve.index.asi8.copy(), curve.to_numpy(dtype=float).copy())
            bench = result.benchmark_curve if task.get("curve") else ()  # a walk-forward's test
            if len(bench) == len(curve) > 0:  # at the bars of the equity curve
                benchmark = bench.to_numpy(dtype=float).copy()
        except Exception as exc:
            row.update(status="failed", error=_describe(exc, job.filename))
        row["seconds"] = time.perf_counter() - started
        return {
            "run_id": task["run_id"],
            "row": row,
            "equity": equity,
            "benchmark": benchmark,
            "curve": thin,
            "warnings": told,
        }


def _describe(exc, filename):
    """``Type: message`` of a failed run, with the strategy's line where it raised."""
    text = f"{type(exc).__name__}: {exc}".strip()
    line = None
    for frame in traceback.extract_tb(exc.__traceback__):
        if frame.filename == filename:
            line = frame.lineno
    return f"{text} ({Path(filename).name}:{line})" if line is not None else text


def _failed(task, error):
    return {
        "run_id": task["run_id"],
        "row": {"status": "failed", "error": error, "seconds": float("nan")},
        "equity": None,
    }
