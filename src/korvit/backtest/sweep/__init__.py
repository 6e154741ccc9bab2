"""Parameter sweeps and walk-forward runs.

The package is itself callable as the function ``sweep`` it exports, so that
``korvit.backtest.sweep(...)`` and ``from korvit.backtest import sweep`` run a
sweep whether or not this package was imported first.  Its modules:
``space`` (parameter sets), ``checks`` (the strategy file and run options),
``objective`` (the statistics runs are ranked by), ``walkforward`` (splits
and their warm-ups), ``outofsample`` (a walk-forward's stitched test curve
and its in-sample against out-of-sample table),
``worker`` (what a worker runs), ``local`` and ``ray_backend`` (the
backends), ``folders`` (the workers' private folders), ``store`` (the output
folder and resuming), ``curves`` (every run's thinned equity curve, for the
report's chart of the best runs), ``execute`` (running a phase and its
table) and ``api`` (``sweep`` itself).

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
arrives (its thinned curve to ``DIR/curves.jsonl`` just before), and
``resume=True`` skips the runs saved there with status "ok" (failed runs run
again).  ``DIR/sweep.json`` records the sweep's kind, "sweep" or
"walk-forward": a folder holding another kind's results is refused.  ``DIR/sweep.csv`` gets each run's line as it
reaches ``runs.jsonl`` (so that the two hold the same runs wherever the sweep
stops) and is replaced, atomically, by the whole table in the runs' order at
the end, also when the sweep is interrupted (Ctrl-C).

Walk-forward: with ``splits`` (see ``walk_forward``), for each split the
grid runs on the training window, the best parameter set (by ``select``,
``minimize``, ``min_trades`` or ``objective``, see ``sweep``) is chosen,
and that set runs on the test window.  Each run sees the bars before its
window as history (``warmup``, by default the training window's length in
bars) and trades only inside it.  The rows' ``phase`` is "train" or "test"
and ``split`` numbers the split; a plain sweep has phase "full" and no
split.  The table's ``attrs["walk_forward"]`` is a ``WalkForwardResult``:
the test runs' equity curves stitched into one (and their benchmarks'
alike), its statistics, and each split's in-sample against out-of-sample
figures (see ``outofsample``).
"""

import inspect
import sys
import types

from korvit.backtest.loader import strategy_parameters
from korvit.backtest.sweep.api import sweep
from korvit.backtest.sweep.local import stop_workers
from korvit.backtest.sweep.objective import Objective, find_statistic, lower_is_better, ranked
from korvit.backtest.sweep.outofsample import WalkForwardResult
from korvit.backtest.sweep.space import SweepError, expand_grid
from korvit.backtest.sweep.walkforward import walk_forward

__all__ = [
    "sweep",
    "walk_forward",
    "SweepError",
    "find_statistic",
    "strategy_parameters",
    "stop_workers",
    "expand_grid",
    "Objective",
    "lower_is_better",
    "ranked",
    "WalkForwardResult",
]


class _SweepPackage(types.ModuleType):
    """This package: calling it runs ``sweep``."""

    __call__ = staticmethod(sweep)


sys.modules[__name__].__class__ = _SweepPackage
__signature__ = inspect.signature(sweep)
