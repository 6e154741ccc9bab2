"""The native bar-row functions of korvit.native against their Python
reference in tframe.sysdefine: the same results and the same errors for
every kind of argument, and the environment obeys a replaced function."""

import numpy as np
import pytest

import korvit.native as native
import korvit.tframe.framekit as framekit
from korvit.tframe import sysdefine
from korvit.tframe.sysdefine import GlobalDefine as gv

ITEMS = [
    1,
    4,
    7,
    0,
    8,
    -1,
    2.0,
    2.5,
    np.int64(3),
    np.float32(5),
    True,
    "2",
    None,
    float("nan"),
    2**70,
]
TARGETS = [
    0,
    3,
    -1,
    2**41,
    2**70,
    1.0,
    True,
    np.int32(2),
    "1",
    None,
    np.array([0, 1, 2]),
    np.array([[0, 1], [2, 3]]),
    np.array([], dtype=np.int64),
    np.array([1, -2]),
    np.array([0, 2**50]),
    np.array([0, 1], dtype=np.int32),
    np.array([0.0, 1.0]),
    np.array([0.5]),
    np.array([0, 1, 2])[::2],
    np.array([1]).astype(">i8"),
    [0, 1],
    (2,),
    [1.5],
]


def outcome(function, *args):
    try:
        value = function(*args)
    except Exception as error:  # the error's type and text are part of the behaviour
        return type(error), str(error)
    if isinstance(value, np.ndarray):
        return "array", value.dtype.str, value.shape, value.tolist()
    return type(value), value


@pytest.mark.parametrize("item", ITEMS, ids=repr)
def test_native_bar_item_pos_matches_the_reference(item):
    for targets in TARGETS:
        assert outcome(native.bar_item_pos, item, targets) == outcome(
            sysdefine._bar_item_pos, item, targets
        ), (item, targets)


@pytest.mark.parametrize(
    "name", ["open", "close", "open_interest", "amount", "Open", "", None, ["open"], 3]
)
def test_native_bar_field_name_to_int_matches_the_reference(name):
    assert outcome(native.bar_field_name_to_int, name) == outcome(
        sysdefine._bar_field_name_to_int, name
    )


def test_the_environment_obeys_replaced_row_functions(env, market, monkeypatch):
    market([[[10, 11, 9, 10.5, 100]], [[20, 22, 19, 21, 50]]], [0.0])
    calls = []

    def item_pos(item, targets):
        calls.append(("pos", item))
        return sysdefine._bar_item_pos(item, targets)

    def name_to_int(name):
        calls.append(("name", name))
        return sysdefine._bar_field_name_to_int(name)

    native_values = env.get_bar_field([0, 1], 0, ["close", "high"]).tolist()
    monkeypatch.setattr(gv, "bar_item_pos", staticmethod(item_pos))
    monkeypatch.setattr(gv, "bar_field_name_to_int", staticmethod(name_to_int))
    assert (
        env.get_bar_field([0, 1], 0, ["close", "high"]).tolist()
        == native_values
        == [[10.5, 21], [11, 22]]
    )
    assert calls == [
        ("name", "close"),
        ("pos", gv.KMatrix_Close),
        ("name", "high"),
        ("pos", gv.KMatrix_High),
    ]
    assert framekit.gv is gv
