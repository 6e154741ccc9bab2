"""Benchmarks of the environment's per-bar reads.

    python bench/bench_framekit.py [--repeat N]

Each figure is the time per call of the compiled operation and of the same
work written as plain Python over the same registry, measured in this run;
the ratio is what matters (machines differ).
"""

import argparse
import math
import time

import numpy as np
import tframe.framekit as fk
from tframe.sysdefine import GlobalDefine as gv
from tframe.uclass import KData


def fill(env, n_targets, n_bars):
    matrix = env.generate_kmatrix_array(n_targets, n_bars)
    matrix[gv.KMatrixPos_TimeLine] = np.arange(n_bars, dtype=float) + 20240101
    rng = np.random.default_rng(1)
    matrix[gv.KMatrixPos_Head_len :] = rng.uniform(
        1, 100, size=matrix[gv.KMatrixPos_Head_len :].shape
    )
    vr = env.vr
    vr.g_KorvitKDataList.clear()
    vr.g_KorvitKDataList.append(KData(matrix, np.arange(n_bars)))
    vr.g_KorvitDataValueFresh = matrix[: gv.KMatrixPos_Head_len].copy()
    vr.g_KorvitSimCurBarFresh = n_bars // 2


# The same operations written in plain Python.
def py_get_bar_field(env, target_indices, bar_pos, fields):
    target_indices = np.array([target_indices]).ravel()
    k_data = env.vr.g_KorvitKDataList[env.vr.g_KorvitInputInfo.RefreshKDataIdx]
    fresh_bar_pos = k_data.CurrentBar[bar_pos]
    fresh_matrix = k_data.Matrix
    assert fresh_matrix.ndim == 2 and fresh_bar_pos < fresh_matrix.shape[1], (
        "get_bar_field error, pos: %d" % fresh_bar_pos
    )
    item_idx = [
        env.gv.bar_item_pos(env.gv.bar_field_name_to_int(item), target_indices) for item in fields
    ]
    return fresh_matrix[item_idx, fresh_bar_pos]


def py_fresh_bar_time(env):
    cursor = env.vr.g_KorvitSimCurBarFresh
    column = 0 if math.isnan(cursor) else cursor
    return env.vr.g_KorvitDataValueFresh[env.gv.KMatrixPos_TimeLine, column]


def per_call(fn, repeat):
    fn()
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(repeat):
            fn()
        best = min(best, (time.perf_counter() - start) / repeat)
    return best


def report(name, native, python, repeat):
    t_native, t_python = per_call(native, repeat), per_call(python, repeat)
    print(
        f"{name:44s} {t_native * 1e6:9.2f} us {t_python * 1e6:9.2f} us {t_python / t_native:7.2f}x"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repeat", type=int, default=2000)
    repeat = parser.parse_args().repeat
    env = fk.env
    fields = ["open", "high", "low", "volume"]
    print(f"{'operation':44s} {'compiled':>12s} {'python':>12s} {'ratio':>8s}")
    for n_targets in (1, 100):
        fill(env, n_targets, 500)
        targets = list(range(n_targets))
        pos = env.vr.g_KorvitSimCurBarFresh
        assert np.array_equal(
            env.get_bar_field(targets, pos, fields), py_get_bar_field(env, targets, pos, fields)
        )
        report(
            f"get_bar_field, {n_targets} target(s) x 4 fields",
            lambda: env.get_bar_field(targets, pos, fields),
            lambda: py_get_bar_field(env, targets, pos, fields),
            repeat,
        )
    assert env.fresh_bar_time == py_fresh_bar_time(env)
    report(
        "fresh_bar_time", lambda: env.fresh_bar_time, lambda: py_fresh_bar_time(env), repeat * 10
    )


if __name__ == "__main__":
    main()
