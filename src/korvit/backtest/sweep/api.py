"""``sweep``: the public function that checks what it is given, runs the
phases of a sweep (or of a walk-forward) and returns their table."""

from __future__ import annotations

import hashlib
import os
import types
import warnings
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, TypeAlias, TypedDict

import numpy as np
import pandas as pd

from korvit.backtest.files import SWEEP, WALK_FORWARD
from korvit.backtest.loader import parameter_problem
from korvit.backtest.sweep import local
from korvit.backtest.sweep.checks import RUN_OPTIONS, _jsonable_options, _strategy_source
from korvit.backtest.sweep.curves import RunCurves
from korvit.backtest.sweep.execute import (
    _curve,
    _execute,
    _frame,
    _interrupt_held,
    _progress_bar,
    _table_text,
    _task,
)
from korvit.backtest.sweep.objective import Objective, ranked
from korvit.backtest.sweep.outofsample import EQUITY_FILE, SPLITS_FILE, SUMMARY_FILE, out_of_sample
from korvit.backtest.sweep.ray_backend import _import_ray
from korvit.backtest.sweep.search import OptunaSearch, check_search, import_optuna, random_sets
from korvit.backtest.sweep.space import (
    Constraint,
    SweepError,
    _canonical,
    _check_name,
    _scalar,
    expand_grid,
)
from korvit.backtest.sweep.store import _Store
from korvit.backtest.sweep.walkforward import _checked_splits, split_warmups
from korvit.backtest.sweep.worker import _Job

if TYPE_CHECKING:
    from typing_extensions import Unpack

    from korvit.backtest.options import (
        BenchmarkLike,
        ContractsLike,
        DataLike,
        StockCommission,
        TicksLike,
    )
    from korvit.data.bars import TimeLike

Grid: TypeAlias = "Mapping[str, Sequence[Any]] | Sequence[Mapping[str, Any]]"
"""``{name: [values]}`` (every combination) or a list of parameter sets."""
Split: TypeAlias = "tuple[TimeLike, TimeLike, TimeLike, TimeLike]"
"""A walk-forward split: ``(train_start, train_end, test_start, test_end)``."""
ObjectiveFunction: TypeAlias = "Callable[[pd.Series[Any]], float]"
"""A function of a run's statistics (as ``BacktestResult.stats``) giving its score."""


class SweepRunOptions(TypedDict, total=False):
    """The options of ``sweep`` that go to every run's ``Backtest``."""

    cash: float
    accounts: dict[str, float] | None
    price_at_previous_close: bool
    slippage: float
    cancel_unfilled_limits: bool
    cancel_stale_orders: bool
    fees: Literal["contracts", "none"]
    stock_commission: StockCommission | None
    commission_rate: float | None
    stop_fill: Literal["first_traded", "stop_price"]
    limit_fill: Literal["first_traded", "limit_price"]
    default_lot_size: int | None
    benchmark: BenchmarkLike
    calendar: str | None


def sweep(
    strategy: str | os.PathLike[str] | types.ModuleType,
    data: DataLike,
    grid: Grid,
    *,
    where: str | Callable[[dict[str, Any]], bool] | None = None,
    sample: int | None = None,
    sampler: Literal["random", "optuna"] = "random",
    seed: int | None = None,
    splits: Sequence[Split] | None = None,
    warmup: int | None = None,
    select: str | None = None,
    minimize: bool | None = None,
    min_trades: int | None = None,
    objective: ObjectiveFunction | None = None,
    ticks: TicksLike | None = None,
    contracts: ContractsLike | None = None,
    start: TimeLike | None = None,
    end: TimeLike | None = None,
    params: Mapping[str, Any] | None = None,
    backend: Literal["local", "ray"] = "local",
    workers: int | None = None,
    address: str | None = None,
    keep: Literal["equity"] | None = None,
    out: str | os.PathLike[str] | None = None,
    resume: bool = False,
    timeout: float | None = None,
    progress: bool | None = None,
    **options: Unpack[SweepRunOptions],
) -> pd.DataFrame:
    """Run ``strategy`` over ``data`` once per parameter set of ``grid`` and
    return a DataFrame with one row per run (see the docstring of the package ``korvit.backtest.sweep``).

    - ``strategy``: the path of a strategy file (or a module loaded from one).
      It reads a run's parameters as ``context.params["name"]`` or
      ``context.params.get("name", default)``.
    - ``data``, ``ticks``, ``contracts``, ``start``, ``end``: as for
      ``Backtest``; they are loaded and checked once, before any run.
    - ``grid``: ``{"fast": [5, 10], "slow": [30, 60]}`` (every combination) or
      a list of parameter dicts.  A name the strategy does not read (when its
      source shows every name it reads) or an empty list is an error.
    - ``params``: parameters fixed for every run.
    - ``where``: the parameter sets that run, as an expression over the
      parameters (``"fast < slow"``: names, numbers, comparisons, and/or/not
      and arithmetic; a name that is no parameter is refused) or a function
      of a parameter set returning True or False.
    - ``sample=N``: run N of the (allowed) parameter sets, drawn at random
      with ``sampler="random"`` (the default), or chosen one batch after the
      other by Optuna's TPE sampler with ``sampler="optuna"`` (the optional
      extra ``korvit[optuna]``), which looks for the best by the ranking
      below; ``seed`` (default 0) makes either repeatable, and resumable.
    - ``splits``: walk-forward splits, ``(train_start, train_end, test_start,
      test_end)`` each (see ``walk_forward``).  The table gets
      ``attrs["walk_forward"]``, a ``WalkForwardResult``: the stitched
      out-of-sample equity curve, its statistics and each split's in-sample
      against out-of-sample figures (saved with ``out`` as
      ``walkforward.csv``, ``walkforward_equity.csv`` and
      ``walkforward.json``).
    - ``warmup``: with ``splits``, the bars before each window that its runs
      see as history (``history()``, ``korvit.indicators``; see
      ``Backtest``'s ``warmup``), trading only inside the window, so that a
      test run may trade from the first bar of its window.  Default: as many
      as the split's training window holds; fewer where the data has fewer
      before the window; 0: none, each run starts cold at its window.
    - How runs are ranked (each walk-forward split's training run to test, the
      report's best runs): ``select``, a statistic (default "Sharpe ratio"),
      in its better direction (lower for "Longest drawdown", "Annualised
      volatility", "Total fees", "Orders denied", "Orders cancelled"; higher
      for the others) unless ``minimize`` is given; or ``objective``, a
      function of a run's statistics (a Series, as ``BacktestResult.stats``)
      returning a number, higher better unless ``minimize=True`` (its values
      are the table's column ``objective``).  ``min_trades``: runs with fewer
      trades are not ranked.
    - ``backend``: "local" (worker processes on this machine) or "ray";
      ``workers``: how many runs at once (default: every core, or the Ray
      cluster's CPUs); ``address``: a running Ray cluster's "HOST:PORT"
      (default: ``ray.init()`` starts a local one, unless Ray is already
      initialised).
    - ``keep="equity"``: keep each run's equity curve in an ``equity`` column.
    - ``out``: folder for ``runs.jsonl``, ``curves.jsonl``, ``sweep.json``,
      ``sweep.csv`` (and ``equity/``); ``resume``: skip the runs saved there.
      A folder holding another kind's results (a walk-forward's for a plain
      sweep and the reverse, or a backtest's) is refused before anything is
      written.
    - ``timeout``: seconds a run may take before it is stopped and failed.
    - ``progress``: a progress bar (None: only on a terminal).
    - other keyword options (``cash``, ``accounts``, ``slippage``,
      ``stop_fill``, ``limit_fill``, ``calendar``, ...) go to every run's
      ``Backtest``.  A calendar not named is inferred once, from the whole
      data, and every run (each window of a walk-forward too) trades on it.

    The table's ``attrs["curves"]`` (a ``RunCurves``) gives every finished
    run's equity curve thinned for a chart (``get(run_ids)``), kept in
    memory or in ``out``.

    A bad grid, split or option raises ``SweepError`` before anything runs.
    Ctrl-C stops the sweep: the finished runs are returned (and saved), the
    frame's ``attrs["interrupted"]`` is True.
    """
    unknown = sorted(set(options) - set(RUN_OPTIONS))
    if unknown:
        raise SweepError(
            f"unknown option {unknown[0]!r}; a sweep's runs take {', '.join(RUN_OPTIONS)}"
        )
    if backend not in ("local", "ray"):
        raise SweepError(f"backend must be 'local' or 'ray', got {backend!r}")
    if workers is not None and (
        isinstance(workers, bool) or not isinstance(workers, int) or workers < 1
    ):
        raise SweepError(f"workers must be a whole number >= 1, got {workers!r}")
    if address is not None and backend != "ray":
        raise SweepError("address= names a Ray cluster: use it with backend='ray'")
    if keep not in (None, "equity"):
        raise SweepError(f"keep must be None or 'equity', got {keep!r}")
    if timeout is not None and not (isinstance(timeout, (int, float)) and timeout > 0):
        raise SweepError(f"timeout must be a number of seconds > 0, got {timeout!r}")
    if resume and out is None:
        raise SweepError("resume needs the output folder (out=) of the sweep to resume")
    if warmup is not None:
        if isinstance(warmup, bool) or not isinstance(warmup, (int, np.integer)) or warmup < 0:
            raise SweepError(f"warmup must be a whole number of bars >= 0, got {warmup!r}")
        if splits is None:
            raise SweepError(
                "warmup= is the history before each walk-forward window: give splits= too"
            )
        warmup = int(warmup)
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
    if where is not None:
        constraint = Constraint(where, [*names, *fixed])
        sets = [params_ for params_ in sets if constraint.allows({**fixed, **params_})]
        if not sets:
            raise SweepError(f"no parameter set of the grid satisfies where {constraint.text!r}")
    sample, sampler, seed = check_search(sample, sampler, seed)
    if sampler == "optuna":
        import_optuna()
    elif sample is not None:
        sets = random_sets(sets, sample, seed)
    rank = Objective(select, minimize=minimize, min_trades=min_trades, function=objective)
    metric = rank.metric
    score = rank.score if objective is not None else None

    if backend == "local":
        local._start_workers(min(workers or os.cpu_count() or 1, len(sets)))
    from korvit.backtest.inputs import load_inputs
    from korvit.backtest.options import LIMIT_FILLS, STOP_FILLS
    from korvit.backtest.runner import Backtest
    from korvit.data import load_contracts
    from korvit.data.calendars import WEEKDAYS

    try:
        bars, ticks = load_inputs(data, ticks, start=start, end=end)
    except ValueError as exc:
        if type(exc) is not ValueError:  # the data's own errors, as they are
            raise
        raise SweepError(str(exc)) from None
    table = None if contracts is None else load_contracts(contracts)
    # Every run's options are checked here, once, rather than failing every run.
    # The stop and limit fill rules decide the results: kept with the options even when
    # they are the defaults, so that a sweep saved under another rule (or before the limit
    # fill rule was an option) is not resumed.
    run_options: dict[str, Any] = {
        "stop_fill": STOP_FILLS[0],
        "limit_fill": LIMIT_FILLS[0],
        **options,
    }
    try:
        checked = Backtest(
            {"init": lambda context: None}, bars, contracts=table, **run_options
        )  # only the options count
    except (TypeError, ValueError) as exc:
        raise SweepError(str(exc)) from None
    checked.warn_of_no_contract()  # once for the sweep, not for every run
    checked.warn_of_calendar()
    if "calendar" not in run_options and checked.calendar.name != WEEKDAYS:
        # inferred from the whole data, not from each run's window (a week without
        # weekend bars is still 24/7 trading); "weekdays", the default, stays out of
        # the options, so that a sweep saved before can be resumed
        run_options["calendar"] = checked.calendar.name
    checked_splits = None if splits is None else _checked_splits(list(splits), bars)
    if checked_splits is not None and not checked_splits:
        raise SweepError("splits is empty")
    warmups: Any = None if checked_splits is None else split_warmups(checked_splits, bars, warmup)

    job = _Job(filename, source, bars, ticks, table, _jsonable_options(run_options), fixed, keep)
    fingerprint = job.fingerprint()
    # What a kept worker holding a job knows it by: the results' fingerprint, and what the
    # fingerprint leaves out but a worker returns (the file's name in errors, the equity)
    job.key = hashlib.sha256(_canonical([fingerprint, filename, keep]).encode()).hexdigest()
    if backend == "local":
        workers = workers or os.cpu_count() or 1
    store = None
    if out is not None:
        manifest = {
            "kind": SWEEP if checked_splits is None else WALK_FORWARD,
            "strategy": filename,
            "data": repr(bars),
            "params": fixed,
            "options": job.options,
            "parameter_sets": sets,
            "where": None if where is None else constraint.text,
            "search": {"sample": sample, "sampler": sampler, "seed": seed},
            "splits": checked_splits,
            "warmup": warmup,
            "warmups": warmups and [list(pair) for pair in warmups],
            "select": metric,
            "minimize": rank.minimize,
            "min_trades": rank.min_trades,
            "fingerprint": fingerprint,
        }
        store = _Store(
            out, manifest, resume, lambda rows, header: _table_text(rows, names, header, score)
        )

    answers: dict[str, Any] = {}
    # the runs' thinned curves: saved by the store, else held here
    curves = RunCurves(None if store is None else store.folder)
    chosen: dict[int, Any] = {}
    interrupted, tests = False, None

    def execute(todo: list[dict[str, Any]], bar: Any = None) -> Any:
        """Runs ``todo`` with this sweep's job, store, backend and limits."""
        return _execute(
            job,
            todo,
            answers,
            store,
            backend,
            workers,
            address,
            timeout,
            progress,
            job.key,
            bar,
            curves,
        )

    windows = (
        [(None, "full", None, None, 0)]
        if checked_splits is None
        else [(k, "train", s[0], s[1], warmups[k - 1][0]) for k, s in enumerate(checked_splits, 1)]
    )
    first_phase = (
        []
        if sampler == "optuna"
        else [_task(p, k, phase, a, b, w) for k, phase, a, b, w in windows for p in sets]
    )
    tasks = first_phase
    try:
        if sampler == "optuna":
            bar = _progress_bar(0, 0, progress)
            try:
                interrupted = _optuna_phase(
                    windows,
                    sets,
                    sample,
                    seed,
                    rank,
                    first_phase,
                    answers,
                    bar,
                    lambda todo: execute(todo, bar),
                )
            finally:
                if bar is not None:
                    bar.close()
            first_phase.sort(
                key=lambda task: task["split"] or 0
            )  # asked split by split, shown by split
        else:
            interrupted = execute(first_phase)
        tasks = list(first_phase)
        if checked_splits is not None and not interrupted:
            tests = []
            trained = _frame(first_phase, answers, names, None, None, score)
            by_id = {task["run_id"]: task for task in first_phase}
            for k, split in enumerate(checked_splits, 1):
                best = ranked(
                    trained[trained["split"] == k],
                    metric,
                    minimize=rank.minimize,
                    min_trades=rank.min_trades,
                )
                if not len(best):
                    task = _task({}, k, "test", split[2], split[3], warmups[k - 1][1])
                    row = {
                        key: task[key]
                        for key in ("run_id", "split", "phase", "params", "start", "end")
                    }
                    enough = f" and at least {rank.min_trades:,d} trades" if rank.min_trades else ""
                    row.update(
                        status="failed",
                        seconds=float("nan"),
                        error=f"no training run of split {k} finished with a value of {rank.label}{enough}",
                    )
                    with _interrupt_held():  # in runs.jsonl and the table alike
                        if store is not None:
                            store.add(row, None)
                        answers[task["run_id"]] = row
                else:
                    chosen[k] = best["run_id"].iloc[0]
                    task = _task(
                        dict(by_id[chosen[k]]["params"]),
                        k,
                        "test",
                        split[2],
                        split[3],
                        warmups[k - 1][1],
                        curve=True,
                    )
                    tests.append(task)
                tasks.append(task)
            interrupted = execute(tests)
    except BaseException:
        if store is not None:
            with _interrupt_held(absorb=True):
                store.close()
        raise
    # From here on every run is saved: a Ctrl-C no longer stops anything, and the table
    # (sweep.csv) is written whole whenever it comes.
    with _interrupt_held(absorb=True):
        if store is not None:
            store.close()
        # Ctrl-C as the last run came in (or while the workers were put away) stopped nothing.
        unfinished = (checked_splits is not None and tests is None) or any(
            task["run_id"] not in answers for task in tasks
        )
        interrupted = interrupted and unfinished
        frame: pd.DataFrame = _frame(tasks, answers, names, keep, store, score)
        frame.attrs["interrupted"] = interrupted
        frame.attrs.update(rank.attrs())
        frame.attrs["curves"] = curves
        frame.attrs["run"] = _run_facts(
            filename,
            bars,
            ticks,
            fixed,
            job.options,
            None if where is None else constraint.text,
            {"sample": sample, "sampler": sampler, "seed": seed},
            checked_splits,
        )
        walked = None
        if checked_splits is not None and tests is not None and not interrupted:
            finished = [
                task
                for task in tests
                if task["run_id"] in answers and answers[task["run_id"]]["status"] == "ok"
            ]
            walked = out_of_sample(
                frame,
                checked_splits,
                warmups,
                chosen,
                {
                    task["split"]: _curve(answers[task["run_id"]], task["run_id"], store)
                    for task in finished
                },
                metric,
                bars.frequency,
                checked.calendar,
                {
                    task["split"]: _curve(
                        answers[task["run_id"]], task["run_id"], store, "benchmark"
                    )
                    for task in finished
                },
            )
            frame.attrs["walk_forward"] = walked
        if store is not None:
            store.write_table(frame)
            if walked is not None:
                walked.save(store.folder)
            else:  # those of an earlier sweep in the folder are not this one's
                for name in (SPLITS_FILE, EQUITY_FILE, SUMMARY_FILE):
                    (store.folder / name).unlink(missing_ok=True)
    if interrupted:
        done = int(frame["status"].notna().sum()) if len(frame) else 0
        warnings.warn(
            f"sweep interrupted: {done} of {len(tasks)} runs finished", RuntimeWarning, stacklevel=2
        )
    return frame


def _optuna_phase(
    windows: list[tuple[Any, ...]],
    sets: list[dict[str, Any]],
    count: int,
    seed: int | None,
    rank: Objective,
    tasks: list[dict[str, Any]],
    answers: dict[str, Any],
    bar: Any,
    execute: Callable[[list[dict[str, Any]]], bool],
) -> bool:
    """An Optuna study per window (the whole period, or each split's training
    window), all asked a batch at a time and their runs made together; the
    runs go to ``tasks`` as they are asked.  Returns True when Ctrl-C stopped
    it."""
    searches = [OptunaSearch(sets, count, seed, rank) for _ in windows]
    if bar is not None:
        bar.total = sum(search.count for search in searches)
    while not all(search.done() for search in searches):
        asked = []
        for search, (k, phase, a, b, w) in zip(searches, windows):
            if not search.done():
                asked += [_task(params, k, phase, a, b, w) for params in search.ask()]
        tasks += asked
        if execute(asked):
            return True
        for search, (k, *_) in zip(searches, windows):
            search.tell(
                {
                    _canonical(task["params"]): answers[task["run_id"]]
                    for task in tasks
                    if task["split"] == k and task["run_id"] in answers
                }
            )
    return False


# Codes named in a table's run facts; the others are counted.
_FACT_CODES = 40


def _run_facts(
    filename: str,
    bars: Any,
    ticks: Any,
    fixed: Mapping[str, Any],
    options: Mapping[str, Any],
    where: object,
    search: Mapping[str, Any],
    splits: Sequence[Any] | None,
) -> dict[str, Any]:
    """What a sweep ran on, for its report (``frame.attrs["run"]``): the
    strategy file, the data (source, bar kind, codes, first and last bar), the
    fixed parameters, the runs' settings, the constraint and the search."""
    from korvit.data._table import fmt_time

    codes = [str(code) for code in bars.codes]
    data = {
        "source": str(bars.source),
        "kind": bars.kind,
        "bars": len(bars.times),
        "codes": codes[:_FACT_CODES],
        "code_count": len(codes),
        "first": fmt_time(bars.times[0]) if len(bars.times) else None,
        "last": fmt_time(bars.times[-1]) if len(bars.times) else None,
    }
    if ticks is not None:
        data["ticks"] = str(ticks.source)
    return {
        "strategy": str(filename),
        "data": data,
        "params": dict(fixed),
        "options": dict(options),
        "where": where,
        "search": dict(search) if search.get("sample") is not None else None,
        "splits": None if splits is None else len(splits),
    }
