"""The module as a whole: short-name aliases, globals, tracebacks, -O."""

import subprocess
import sys
import textwrap

import pytest

import korvit.tframe.framekit as framekit


def run_python(code, *flags):
    result = subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.mark.parametrize(
    "first, second",
    [("tframe.framekit", "korvit.tframe.framekit"), ("korvit.tframe.framekit", "tframe.framekit")],
)
def test_short_and_long_names_are_one_module(first, second):
    out = run_python(f"""
        import importlib, sys
        a = importlib.import_module("{first}")
        b = importlib.import_module("{second}")
        import tframe, korvit.tframe, tframe.uclass, korvit.tframe.uclass, backtest, korvit.backtest
        print(a is b, a.vr is b.vr, a.env is b.env, tframe is korvit.tframe,
              tframe.uclass is korvit.tframe.uclass, backtest is korvit.backtest,
              sys.modules["tframe.framekit"] is sys.modules["korvit.tframe.framekit"],
              a.__name__, a.__spec__.name)
    """)
    assert out.split() == ["True"] * 7 + ["korvit.tframe.framekit"] * 2


def test_unknown_short_name_is_reported_by_its_own_name():
    out = run_python("""
        try:
            import tframe.nothing_here
        except ModuleNotFoundError as e:
            print(e.name)
    """)
    assert out.strip() == "tframe.nothing_here"


def test_globals_and_exports():
    assert framekit.__all__ == [
        "smm",
        "env",
        "vr",
        "SystemBaseVar",
        "SystemBaseEnv",
        "gv",
        "synthetic_k_data_rule_map",
        "adjust_topmost_rule_map",
    ]
    # Created in the order smm, vr, env and bound together.
    assert (
        framekit.env.vr is framekit.vr
        and framekit.env.smm is framekit.smm
        and framekit.env.gv is framekit.gv
    )
    assert (
        framekit.env.snap is None
        and framekit.env.diff_cvt is None
        and framekit.env.diff_api is None
    )


def test_failures_name_the_qualified_operation(env):
    env.vr.g_KorvitKDataList.clear()
    with pytest.raises(IndexError) as err:
        env.get_bar_field([0], 0, ["open"])
    assert err.traceback[-1].name == "tframe.framekit.SystemBaseEnv.get_bar_field"
    with pytest.raises(NotImplementedError) as err:
        env.market_price(0)
    assert err.traceback[-1].name == "tframe.framekit.SystemBaseEnv.market_price"
    with pytest.raises(TypeError) as err:
        framekit.SystemBaseVar.del_value(None)
    assert err.traceback[-1].name == "tframe.framekit.SystemBaseVar.del_value"


def test_debug_assertions_are_skipped_under_O():
    code = """
        import numpy as np
        import tframe.framekit as fk
        from tframe.uclass import KData
        env = fk.env
        try:
            env.matrix_bar_item_pos(99)
            print("no-assert")
        except AssertionError:
            print("assert")
        env.vr.g_KorvitKDataList.append(KData(np.zeros((20, 2)), [0, 5]))
        try:
            env.get_bar_field([0], 1, ["open"])
        except AssertionError:
            print("assert")
        except IndexError:
            print("index")
    """
    assert run_python(code).split() == ["assert", "assert"]
    assert run_python(code, "-O").split() == ["no-assert", "index"]


def test_reference_counts_stay_balanced(env, market):
    """Repeated calls, failing ones included, leave no reference behind on
    what they were given or what they read."""
    matrix = market([[[1.0, 2.0, 0.5, 1.5, 10.0]] * 3], [1.0, 2.0, 3.0])
    targets, fields, bad_fields = [0, 0], ["open", "volume"], ["open", "nope"]
    cursor = 10**12  # an int no one else holds
    env.vr.g_KorvitSimCurBarFresh = 1
    watched = (matrix, targets, fields, bad_fields, cursor, env.vr, env.vr.g_KorvitDataValueFresh)
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(200):
        env.get_bar_field(targets, 1, fields)
        env.fresh_bar_time
        env.market_price(0, -1)
        env.check_idx("f", None, [0])
        with pytest.raises(ValueError):
            env.get_bar_field(targets, 1, bad_fields)
        with pytest.raises(IndexError):
            env.get_bar_field(targets, cursor, fields)
    assert [sys.getrefcount(o) for o in watched] == before
