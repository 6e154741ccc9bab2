"""Bar matrix access through the environment."""

import math

import numpy as np
import pandas as pd
import pytest

from korvit.api.history import _history
from korvit.tframe.sysdefine import GlobalDefine as gv

TIMES = [20240102.0, 20240103.0, 20240104.0, 20240105.0]
# (targets, bars, open/high/low/close/volume)
OHLCV = [
    [
        [10.0, 10.5, 9.8, 10.2, 100],
        [10.2, 10.9, 10.1, 10.8, 200],
        [10.8, 11.0, 10.4, 10.5, 0],
        [10.5, 10.6, 10.0, 10.1, 300],
    ],
    [
        [3500, 3520, 3490, 3510, 5],
        [3510, 3530, 3500, 3525, 6],
        [3525, 3540, 3515, 3530, 7],
        [3530, 3535, 3480, 3490, 8],
    ],
]


def test_fresh_bar_cursor_reads(env, market):
    market(OHLCV, TIMES)
    vr = env.vr
    # Before the first bar the cursor is NaN: the time reads column 0.
    assert math.isnan(env.fresh_bar_num)
    assert env.fresh_bar_time == TIMES[0]
    vr.g_KorvitSimCurBarFresh = 2
    assert env.fresh_bar_time == TIMES[2] and env.fresh_bar_num == 2
    vr.g_KorvitSimCurBarFresh = np.int64(3)
    assert env.fresh_bar_time == TIMES[3]
    np.testing.assert_array_equal(env.fresh_bar_timeline, TIMES)
    vr.g_KorvitDataValueFresh = np.array([])
    assert env.fresh_bar_timeline.size == 0
    env.set_fresh_bar("yes")
    assert env.in_fresh_bar() == "yes"
    assert env.before_new_fresh_bar() is None


def test_market_price_offsets_and_clamps(env, market):
    market(OHLCV, TIMES)
    vr = env.vr
    vr.g_KorvitSimCurBarFresh = 1
    assert env.market_price(0, 0) == 10.8  # close of the current bar
    assert env.market_price(0) == 10.8  # open of the next bar
    assert env.market_price(0, -1) == 10.2  # close of the previous bar
    vr.g_KorvitSimCurBarFresh = 3  # the last column
    assert env.market_price(1, 1) == 3530  # its own open
    assert env.market_price(1, -1) == 3490  # its own close: the clamp applies too
    vr.g_KorvitSimCurBarFresh = 0
    assert env.market_price(1, -1) == 3510  # position -1 becomes 0
    vr.g_KorvitSimCurBarFresh = float("nan")
    assert env.market_price(0, 0) == 10.2  # before the first bar: position 0


def test_market_price_counts_ticks(env, market):
    market(OHLCV, TIMES)
    env.vr.g_KorvitSimCurBarFresh = 2
    assert math.isnan(env.market_price(0, 3))  # no ticks
    _history.set_bar_tick_data(0, 2, [1, 2], [10.8, 10.9], [1, 1])
    assert env.market_price(0, 3) == 10.9  # fewer ticks than the offset: the last
    _history.set_bar_tick_data(0, 2, [1, 2, 3, 4, 5], [10.1, 10.2, 10.3, 10.4, 10.5], [1] * 5)
    assert env.market_price(0, 3) == 10.3  # the third
    assert env.market_price(0, -3) == 10.2  # offset - 1 is the index: -4 counts from the end
    env.vr.g_KorvitKDataList.clear()
    with pytest.raises(
        NotImplementedError, match="^market_price needs bars: g_KorvitKDataList holds no bar data$"
    ):
        env.market_price(0, 0)


def test_matrix_bar_item_pos(env):
    assert (
        env.matrix_bar_item_pos(gv.KMatrix_Close, 2, False)
        == 2 * gv.KMatrix_Bar_Len + gv.KMatrix_Close
    )
    assert env.matrix_bar_item_pos(gv.KMatrix_Open) == gv.KMatrixPos_Head_len + gv.KMatrix_Open
    rows = env.matrix_bar_item_pos(gv.KMatrix_Volume, np.array([0, 1]))
    np.testing.assert_array_equal(rows, gv.bar_item_pos(gv.KMatrix_Volume, np.array([0, 1])))
    with pytest.raises(AssertionError) as err:
        env.matrix_bar_item_pos(gv.KMatrix_Bar_End + 1)
    assert (
        str(err.value)
        == "Bar的索引超出范围，需要在 [self.gv.KMatrix_Bar_Begin,self.gv.KMatrix_Bar_End] 之间"
    )


def test_get_bar(env, market):
    matrix = market(OHLCV, TIMES)
    env.vr.g_KorvitSimCurBarFresh = 1
    bar = env.get_bar(np.array([1, 0, 1]))
    assert list(bar) == [
        "code",
        "number_bar",
        "time_bar",
        "open",
        "high",
        "low",
        "close",
        "volume",
        "amount",
        "open_interest",
    ]
    assert list(bar["code"]) == ["SHFE.RB2405", "SZSE.000001", "SHFE.RB2405"]
    np.testing.assert_array_equal(bar["number_bar"], [1, 1, 1])
    np.testing.assert_array_equal(bar["time_bar"], [TIMES[1]] * 3)
    np.testing.assert_array_equal(bar["open"], [3510, 10.2, 3510])
    np.testing.assert_array_equal(bar["volume"], [6, 200, 6])
    np.testing.assert_array_equal(
        bar["amount"], matrix[[gv.bar_item_pos(gv.KMatrix_TurnOver, t) for t in (1, 0, 1)], 1]
    )
    np.testing.assert_array_equal(bar["open_interest"], [1001, 1000, 1001])
    np.testing.assert_array_equal(env.get_bar(np.array([0]), offset=-1)["close"], [10.2])
    # A fresh-bar position mapped past the matrix has no bar.
    env.vr.g_KorvitKDataList[0].CurrentBar = np.array([0, 1, 2, 3, 4])
    env.vr.g_KorvitSimCurBarFresh = 4
    assert env.get_bar(np.array([0])) is None
    # No NaN guard: before the first bar the position itself is invalid.
    env.vr.g_KorvitSimCurBarFresh = float("nan")
    with pytest.raises(IndexError):
        env.get_bar(np.array([0]))


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64])
def test_get_bar_field_matches_numpy_indexing(env, market, dtype):
    matrix = market(OHLCV, TIMES)
    env.vr.g_KorvitKDataList[0].Matrix = matrix.astype(dtype)
    rng = np.random.default_rng(7)
    names = ["open", "high", "low", "close", "volume", "amount", "open_interest"]
    for _ in range(50):
        targets = rng.integers(0, 2, size=rng.integers(1, 5))
        fields = list(rng.choice(names, size=rng.integers(1, 5)))
        pos = int(rng.integers(-4, 4))
        got = env.get_bar_field(targets, pos, fields)
        rows = [gv.bar_item_pos(gv.bar_field_name_to_int(f), targets) for f in fields]
        expected = matrix.astype(dtype)[rows, env.vr.g_KorvitKDataList[0].CurrentBar[pos]]
        assert got.dtype == expected.dtype and got.shape == (len(fields), len(targets))
        np.testing.assert_array_equal(got, expected)


def test_get_bar_field_shapes_and_single_index(env, market):
    market(OHLCV, TIMES)
    out = env.get_bar_field([0, 1], 2, ["open", "close"])
    np.testing.assert_array_equal(out, [[10.8, 3525], [10.5, 3530]])
    np.testing.assert_array_equal(env.get_bar_field(1, 0, ["volume"]), [[5]])
    np.testing.assert_array_equal(
        env.get_bar_field(np.array([[0], [1]]), 0, ["high"]), [[10.5, 3520]]
    )
    # The deal driver unpacks exactly four rows.
    bar_open, bar_high, bar_low, bar_volume = env.get_bar_field(
        [1], 3, ["open", "high", "low", "volume"]
    )
    assert (bar_open[0], bar_high[0], bar_low[0], bar_volume[0]) == (3530, 3535, 3480, 8)


def test_get_bar_field_assertion(env, market):
    market(OHLCV, TIMES)
    env.vr.g_KorvitKDataList[0].CurrentBar = np.array([0, 1, 7])
    with pytest.raises(AssertionError, match=r"^get_bar_field error, pos: 7$"):
        env.get_bar_field([0], 2, ["open"])
    env.vr.g_KorvitKDataList[0].Matrix = np.zeros(5)
    with pytest.raises(AssertionError, match=r"pos: 1$"):
        env.get_bar_field([0], 1, ["open"])


def test_generate_kmatrix(env):
    array = env.generate_kmatrix_array(2, 5)
    assert array.shape == (gv.KMatrixPos_Head_len + 2 * gv.KMatrix_Bar_Len, 5) and not array.any()
    frame = env.generate_kmatrix_df(2, 4)
    assert isinstance(frame, pd.DataFrame)
    assert frame.shape == (gv.KMatrixPos_End + 2 * gv.KMatrix_Bar_End, 4)
    begin = gv.KMatrixPos_End + gv.KMatrix_Bar_Begin
    assert list(frame.index) == [
        gv.KMatrixPos_TimeLine,
        gv.KMatrixPos_FreshIdx,
        gv.KMatrixPos_DayPos,
    ] + list(range(begin, begin + 2 * (gv.KMatrix_Bar_End - gv.KMatrix_Bar_Begin + 1)))
    assert not frame.to_numpy().any()
