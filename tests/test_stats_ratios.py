"""The statistics' ratios (volatility, Sharpe, Sortino, alpha, beta, information
ratio), worked out without importing empyrical, against empyrical's own figures:
the same to the bit on any daily returns, constant, tiny and huge ones included."""

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from korvit.backtest import stats

empyrical = pytest.importorskip("empyrical")

YEAR = stats.PERIODS_PER_YEAR
OLD_EMPYRICAL = tuple(int(part) for part in empyrical.__version__.split(".")[:2]) < (0, 7)
returns = st.lists(
    st.one_of(
        st.floats(-0.99, 10.0), st.sampled_from([0.0, 1e-300, -0.5, 0.01]), st.floats(-1e-12, 1e-12)
    ),
    min_size=2,
    max_size=300,
)


def _same(ours, theirs):
    theirs = float(theirs)
    assert (math.isnan(ours) and math.isnan(theirs)) or ours == theirs, (ours, theirs)


@settings(max_examples=150, deadline=None)
@given(returns)
@example([0.01] * 7)  # constant: no dispersion
@example([0.0, 0.0])
@example([0.1, -0.1, 0.1, 0.0])
def test_one_series_ratios_are_empyricals(values):
    rets = pd.Series(values, index=pd.date_range("2024-01-01", periods=len(values)), dtype=float)
    array = rets.to_numpy()
    with np.errstate(all="ignore"):
        _same(
            stats._annual_volatility(array), empyrical.annual_volatility(rets, annualization=YEAR)
        )
        if (
            OLD_EMPYRICAL and array.max() == array.min()
        ):  # a constant series: see the benchmark test
            assert not math.isfinite(stats._sharpe_ratio(array))
        else:
            _same(
                stats._sharpe_ratio(array),
                empyrical.sharpe_ratio(rets, risk_free=0, annualization=YEAR),
            )
        downside = stats._downside_risk(array)
        _same(downside, empyrical.downside_risk(rets, required_return=0, annualization=YEAR))
        if downside > 0:
            _same(
                stats.bn.nanmean(array, axis=0) * YEAR / downside,
                empyrical.sortino_ratio(rets, required_return=0, annualization=YEAR),
            )
    assert list(rets) == values  # the returns are left as they were


@settings(max_examples=150, deadline=None)
@given(
    st.lists(st.tuples(st.floats(-0.99, 10.0), st.floats(-0.99, 10.0)), min_size=2, max_size=300)
)
@example([(0.01, 0.02)] * 5)  # a constant benchmark: no beta
@example([(0.01, 0.02), (0.03, 0.04), (0.0, 0.01)])  # a constant difference: no tracking error
def test_ratios_against_a_benchmark_are_empyricals(pairs):
    index = pd.date_range("2024-01-01", periods=len(pairs))
    ours = pd.Series([a for a, _ in pairs], index=index, dtype=float)
    theirs = pd.Series([b for _, b in pairs], index=index, dtype=float)
    with np.errstate(all="ignore"):
        alpha, beta = stats._alpha_beta(ours.to_numpy(), theirs.to_numpy())
        expected = empyrical.alpha_beta(ours, theirs, risk_free=0.0, annualization=YEAR)
        _same(alpha, expected[0])
        _same(beta, expected[1])
        active = ours.to_numpy() - theirs.to_numpy()
        if OLD_EMPYRICAL and active.max() == active.min():
            # empyrical-reloaded before 0.7 (the newest release for Python 3.10) divides by
            # its std's residue of a constant difference; the statistics follow 0.7 and later
            assert (
                math.isinf(stats._excess_sharpe(ours.to_numpy(), theirs.to_numpy()))
                or active[0] == 0
            )
        else:
            _same(
                stats._excess_sharpe(ours.to_numpy(), theirs.to_numpy()),
                empyrical.excess_sharpe(ours, theirs),
            )


def test_a_run_imports_neither_scipy_nor_empyrical_nor_the_report(tmp_path):
    """The statistics and a whole run (the embedded core, the records, the
    statistics read) load none of what only the report, a .mat file or the
    progress bar needs."""
    import subprocess
    import sys

    code = (
        "import sys, warnings; warnings.simplefilter('ignore')\n"
        "import korvit.backtest as kb\nfrom korvit.data import sample_path\n"
        "r = kb.run('examples/strategies/ma_cross.py', sample_path('daily.csv'),"
        " contracts=sample_path('contracts.csv'), progress=False)\n"
        "r.stats; r.round_trips; r.summary()\n"
        "print(' '.join(sorted({m.split('.')[0] for m in sys.modules} & "
        "{'scipy', 'empyrical', 'bokeh', 'matplotlib', 'tqdm', 'jinja2'})))"
    )
    done = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=str(__import__("pathlib").Path(__file__).resolve().parent.parent),
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == ""
