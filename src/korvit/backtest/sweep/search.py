"""Searches beyond the whole grid: a random sample of its parameter sets, and a
model-based search with Optuna (an optional extra, ``korvit[optuna]``).

Both are deterministic for a seed, whatever the backend or the number of
workers: the random sample is drawn once, before any run; Optuna asks for
``BATCH`` parameter sets at a time (never as many as there are workers), is
told their results in the order it asked, and asks again.  A resumed search
asks the same sets again and is told the saved results (no run repeats), so
it goes on exactly as an uninterrupted one would."""

import math
import warnings

import numpy as np

from korvit.backtest.sweep.objective import _number, typed_stats
from korvit.backtest.sweep.space import SweepError, _canonical

SAMPLERS = ("random", "optuna")
BATCH = 8  # parameter sets Optuna proposes before it is told their results
_ASKS_PER_RUN = 20  # Optuna's proposals per run at most (repeats and refused sets are not run)


def check_search(sample, sampler, seed):
    """``(sample, sampler, seed)`` checked; the seed defaults to 0, so that a
    search can be resumed."""
    if sample is not None and (
        isinstance(sample, bool) or not isinstance(sample, (int, np.integer)) or sample < 1
    ):
        raise SweepError(f"sample must be a whole number of parameter sets >= 1, got {sample!r}")
    if sampler not in SAMPLERS:
        raise SweepError(
            f"sampler must be one of {', '.join(map(repr, SAMPLERS))}, got {sampler!r}"
        )
    if sampler == "optuna" and sample is None:
        raise SweepError(
            "an Optuna search needs the number of runs it may make: sample=N (--sample N)"
        )
    if seed is None:
        seed = 0
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or not 0 <= seed < 2**32:
        raise SweepError(f"seed must be a whole number from 0 to 2**32 - 1, got {seed!r}")
    return None if sample is None else int(sample), sampler, int(seed)


def random_sets(sets, count, seed):
    """``count`` of ``sets`` drawn at random (all of them when there are no
    more), in the grid's order."""
    if count >= len(sets):
        return list(sets)
    picked = np.random.default_rng(seed).choice(len(sets), size=count, replace=False)
    return [sets[k] for k in sorted(picked.tolist())]


def import_optuna():
    try:
        import optuna
    except ImportError as exc:
        raise SweepError(
            "an Optuna search needs Optuna, an optional extra: pip install 'korvit[optuna]' "
            f"({exc})"
        ) from None
    optuna.logging.set_verbosity(optuna.logging.WARNING)
    return optuna


class OptunaSearch:
    """One Optuna study over the allowed parameter sets ``sets`` (each naming
    the same parameters), making at most ``count`` runs: ``ask()`` gives the
    parameter sets to run next (new ones only), ``tell(rows)`` the results of
    their runs (saved rows by canonical parameter set)."""

    def __init__(self, sets, count, seed, rank):
        optuna = import_optuna()
        names = list(sets[0])
        if any(list(params) != names for params in sets):
            raise SweepError(
                "an Optuna search needs every parameter set to name the same parameters "
                "(a grid, not a list of different sets)"
            )
        self.names = names
        self.choices = {name: list(_distinct(params[name] for params in sets)) for name in names}
        self.allowed = {_canonical(params): params for params in sets}  # in the grid's order
        self.count = min(count, len(self.allowed))
        self.rank = rank
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # Optuna's notes on its experimental options
            sampler = optuna.samplers.TPESampler(seed=seed)
        self.study = optuna.create_study(
            direction="minimize" if rank.minimize else "maximize", sampler=sampler
        )
        self.fail = optuna.trial.TrialState.FAIL
        self.scores = {}  # canonical set -> its score (NaN: not rankable)
        self.asks = 0
        self.waiting = []  # (trial, canonical set) asked, not told yet
        self.rng = np.random.default_rng(seed)  # the sets run in place of refused or repeated ones

    def done(self):
        return len(self.scores) >= self.count or self.asks >= _ASKS_PER_RUN * self.count

    def ask(self):
        """The next ``BATCH`` new parameter sets to run (fewer at the end).
        A proposal the constraint refuses is told as failed, a repeated one
        gets the result it had; either way a set not run yet, drawn at random,
        is proposed in its place, so that every ask runs a new set."""
        new = []
        while (
            len(new) < BATCH
            and len(self.scores) + len(new) < self.count
            and self.asks < _ASKS_PER_RUN * self.count
        ):
            self.asks += 1
            trial, params = self._propose()
            key = _canonical(params)
            taken = {k for _, k in self.waiting} | set(self.scores)
            if key in self.allowed and key not in taken:
                new.append(params)
                self.waiting.append((trial, key))
                continue
            if key in self.allowed:
                self.waiting.append((trial, key))  # told the result it had
            else:
                self.study.tell(trial, state=self.fail)  # refused: never run
            free = [k for k in self.allowed if k not in taken]
            if not free:
                break
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                self.study.enqueue_trial(self.allowed[free[int(self.rng.integers(len(free)))]])
            trial, params = self._propose()
            new.append(params)
            self.waiting.append((trial, _canonical(params)))
        return new

    def _propose(self):
        trial = self.study.ask()
        return trial, {
            name: trial.suggest_categorical(name, self.choices[name]) for name in self.names
        }

    def tell(self, rows):
        """Tell the study the results of the sets it asked for, in its order."""
        for trial, key in self.waiting:
            if key not in self.scores:
                row = rows.get(key)
                self.scores[key] = self._score(row) if row is not None else float("nan")
            score = self.scores[key]
            if math.isfinite(score):
                self.study.tell(trial, score)
            else:
                self.study.tell(trial, state=self.fail)
        self.waiting = []

    def _score(self, row):
        rank = self.rank
        if row.get("status") != "ok":
            return float("nan")
        stats = row.get("stats") or {}
        if rank.min_trades and not (
            isinstance(stats.get("Trades"), int) and stats["Trades"] >= rank.min_trades
        ):
            return float("nan")
        if rank.function is not None:
            return rank.score(row)
        return _number(typed_stats({rank.metric: stats.get(rank.metric)}).iloc[0])


def _distinct(values):
    seen = {}
    for value in values:
        seen.setdefault(_canonical(value), value)
    return seen.values()
