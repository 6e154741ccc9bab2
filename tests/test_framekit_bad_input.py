"""Bad input gives a Python exception of the expected kind, never a crash."""

import inspect
import itertools

import numpy as np
import pytest

import korvit.tframe.framekit as framekit

BAD = [None, float("nan"), "x", -1, -99, 99, 10**30, [None], object()]

OHLCV = np.arange(2 * 3 * 5, dtype=float).reshape(2, 3, 5) + 1


@pytest.fixture
def loaded(env, market, isolated_files):
    market(OHLCV, [1.0, 2.0, 3.0])
    env.vr.g_KorvitSimCurBarFresh = 1
    env.vr.g_KorvitAccounts[:] = []
    return env


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda e: e.get_bar_field(None, 0, ["open"]), TypeError),
        (lambda e: e.get_bar_field([float("nan")], 0, ["open"]), TypeError),
        (lambda e: e.get_bar_field(["a"], 0, ["open"]), TypeError),
        (lambda e: e.get_bar_field([5], 0, ["open"]), IndexError),
        (lambda e: e.get_bar_field([0], float("nan"), ["open"]), IndexError),
        (lambda e: e.get_bar_field([0], "0", ["open"]), IndexError),
        (lambda e: e.get_bar_field([0], 7, ["open"]), IndexError),
        (lambda e: e.get_bar_field([0], 0, None), TypeError),
        (lambda e: e.get_bar_field([0], 0, ["nope"]), ValueError),
        (lambda e: e.market_price(None, 0), TypeError),
        (lambda e: e.market_price(5, 0), IndexError),
        (lambda e: e.get_bar(np.array([5])), IndexError),
        (lambda e: e.get_bar(None), TypeError),
        (lambda e: e.get_multiple(None), TypeError),
        (lambda e: e.get_multiple(9), IndexError),
        (lambda e: e.is_target_type(-9, 1), IndexError),
        (lambda e: e.get_target_type(9), IndexError),
        (lambda e: e.get_target_type("A.B.C"), ValueError),
        (lambda e: e.get_target_type(None), TypeError),
        (lambda e: e.get_target_name(None), TypeError),
        (lambda e: e.account_idx_to_handle(0), IndexError),
        (lambda e: e.account_idx_to_handle(None), TypeError),
        (lambda e: e.account_idx_to_handle(float("nan")), ValueError),
        (lambda e: e.check_idx("f", "x", None), ValueError),
        (lambda e: e.check_idx("f", None, 3), IndexError),
        (lambda e: e.matrix_bar_item_pos(None), TypeError),
        (lambda e: e.matrix_bar_item_pos(float("nan")), AssertionError),
        (lambda e: e.cost_fee_rate([1]), TypeError),
        (lambda e: e.set_env(None), AttributeError),
        (lambda e: framekit.adjust_topmost_rule_map(None), ValueError),
        (lambda e: framekit.synthetic_k_data_rule_map([1]), TypeError),
        (lambda e: e.generate_kmatrix_array(-1, 2), ValueError),
        (lambda e: e.generate_kmatrix_df("x", 2), TypeError),
    ],
)
def test_named_failures(loaded, call, error):
    with pytest.raises(error):
        call(loaded)


def public_operations():
    for name, member in inspect.getmembers(framekit.SystemBaseEnv):
        if (
            name.startswith("_")
            or name in ("set_env", "update_user_scope")
            or isinstance(member, property)
        ):
            continue
        yield name


@pytest.mark.parametrize("name", sorted(public_operations()))
def test_every_operation_survives_every_bad_value(loaded, name):
    method = getattr(loaded, name)
    for arity in range(1, 5):
        for args in itertools.product(BAD, repeat=min(arity, 2)):
            args = (args + (0, 0))[:arity]
            try:
                method(*args)
            except SystemError as exc:  # a C-level fault leaking out
                pytest.fail(f"{name}{args!r}: {exc!r}")
            except Exception:
                pass


def test_registry_with_broken_fields_fails_cleanly(loaded):
    vr = loaded.vr
    vr.g_KorvitKDataList = None
    vr.g_KorvitDataValueFresh = "not a matrix"
    vr.g_KorvitInputInfo = None
    for call in (
        lambda: loaded.fresh_bar_time,
        lambda: loaded.get_bar_field([0], 0, ["open"]),
        lambda: loaded.market_price(0),
        lambda: loaded.get_bar(np.array([0])),
        lambda: loaded.target_idx_count,
        lambda: loaded.fresh_bar_timeline,
        lambda: vr.save_snapshot(),
    ):
        with pytest.raises((TypeError, AttributeError, IndexError)):
            call()
