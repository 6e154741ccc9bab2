import numpy as np
import pandas as pd
import pytest

from korvit.data import DataError, load_bars, load_ticks

BAR = dict(open=10.0, high=11.0, low=9.0, close=10.0, volume=100.0)


def bars_at(times_by_code):
    rows = [
        dict(time=pd.Timestamp(t), code=code, **BAR)
        for code, times in times_by_code.items()
        for t in times
    ]
    return load_bars(pd.DataFrame(rows))


def ticks(*rows):
    return pd.DataFrame(rows, columns=["time", "code", "price", "volume"])


@pytest.fixture
def minute_bars():
    """Minute bars of one code around the morning open and the lunch break, and a second
    code that lacks the 09:32 bar."""
    labels = [
        "2024-01-02 09:31",
        "2024-01-02 09:32",
        "2024-01-02 09:33",
        "2024-01-02 11:30",
        "2024-01-02 13:01",
        "2024-01-03 09:31",
    ]
    return bars_at(
        {"SHFE.RB2405": labels, "SHFE.HC2405": [t for t in labels if not t.endswith("09:32")]}
    )


@pytest.mark.parametrize(
    "at, label",
    [
        ("2024-01-02 09:30:00.000001", "2024-01-02 09:31"),  # first bar covers the minute before
        ("2024-01-02 09:31:00", "2024-01-02 09:31"),  # a label belongs to its own bar
        ("2024-01-02 09:31:00.000001", "2024-01-02 09:32"),  # ... and a microsecond later not
        ("2024-01-02 09:32:59.5", "2024-01-02 09:33"),
        ("2024-01-02 12:15", "2024-01-02 13:01"),  # across lunch
        ("2024-01-03 09:30:30", "2024-01-03 09:31"),  # a new day starts afresh
    ],
)
def test_minute_tick_goes_to_the_bar_whose_period_holds_it(minute_bars, at, label):
    found = load_ticks(ticks((at, "SHFE.RB2405", 10, 1)), minute_bars)
    assert list(found) == [(0, minute_bars.times.get_loc(pd.Timestamp(label)))]


@pytest.mark.parametrize(
    "at", ["2024-01-02 09:30:00", "2024-01-02 13:01:00.5", "2024-01-03 08:00", "2024-01-02 16:00"]
)
def test_minute_tick_outside_every_bar(minute_bars, at):
    with pytest.raises(
        DataError,
        match=r"^DataFrame, row 2, column 'time': the tick of "
        r"SHFE\.RB2405 at .* lies in no minute bar",
    ):
        load_ticks(
            ticks(("2024-01-02 09:31", "SHFE.RB2405", 10, 1), (at, "SHFE.RB2405", 10, 1)),
            minute_bars,
        )


def test_bar_index_is_the_timeline_position(minute_bars):
    # SHFE.HC2405 has no 09:32 bar: its 09:33 bar covers (09:31, 09:33]
    found = load_ticks(ticks(("2024-01-02 09:31:30", "shfe.hc2405", 10, 1)), minute_bars)
    assert list(found) == [(1, 2)]


def test_daily_ticks_go_to_the_bar_of_their_date():
    bars = bars_at(
        {
            "SZSE.000001": ["2024-01-02", "2024-01-04"],
            "SHFE.RB2405": ["2024-01-02", "2024-01-03", "2024-01-04"],
        }
    )
    found = load_ticks(
        ticks(
            ("2024-01-04 14:59", "SZSE.000001", 10.2, 300),
            ("2024-01-02 09:30", "SZSE.000001", 10.1, 100),
            ("2024-01-02 09:30", "SZSE.000001", 10.3, 200),
            ("2024-01-03 10:00", "SHFE.RB2405", 10, 1),
        ),
        bars,
    )
    assert sorted(found) == [(0, 0), (0, 2), (1, 1)]
    times, prices, volumes = found[(0, 0)]
    assert prices.tolist() == [10.1, 10.3] and volumes.tolist() == [100, 200]  # order kept
    assert times.dtype == np.dtype("datetime64[ns]") and prices.dtype == np.float64
    assert len(found) == 3 and found.count == 4
    with pytest.raises(DataError, match=r"row 1, column 'time': .* lies in no daily bar"):
        load_ticks(ticks(("2024-01-03 10:00", "SZSE.000001", 10, 1)), bars)


def test_unsorted_ticks_are_sorted(minute_bars):
    found = load_ticks(
        ticks(
            ("2024-01-02 09:30:40", "SHFE.RB2405", 10.5, 1),
            ("2024-01-02 09:30:20", "SHFE.RB2405", 11, 2),
        ),
        minute_bars,
    )
    times, prices, volumes = found[(0, 0)]
    assert prices.tolist() == [11, 10.5] and volumes.tolist() == [2, 1]
    assert list(pd.DatetimeIndex(times).second) == [20, 40]
    assert not prices.flags.writeable


@pytest.mark.parametrize(
    "row, column, body, phrase",
    [
        (3, "code", "2024-01-02 09:31,SHFE.HC2405,10,1", "SHFE.HC2405 has no bars"),
        (3, "code", "2024-01-02 09:31,RB2405,10,1", "has no exchange prefix"),
        (3, "price", "2024-01-02 09:31,SHFE.RB2405,,1", "price is missing"),
        (3, "price", "2024-01-02 09:31,SHFE.RB2405,0,1", "price 0 is not positive"),
        (3, "volume", "2024-01-02 09:31,SHFE.RB2405,10,-1", "volume -1 is negative"),
        (3, "time", "yesterday noon,SHFE.RB2405,10,1", "cannot read 'yesterday noon' as a time"),
        (3, "time", "2024-01-02 09:40,SHFE.RB2405,10,1", "lies in no minute bar"),
        (
            3,
            "price",
            "2024-01-02 09:32,SHFE.RB2405,11.5,1",
            "the tick of SHFE.RB2405 at 2024-01-02 09:32:00 priced 11.5 is outside its minute bar's [low, high] "
            "= [9, 11] (the bar at 2024-01-02 09:32:00)",
        ),
        (
            3,
            "price",
            "2024-01-02 09:31:59,SHFE.RB2405,8.99,1",
            "priced 8.99 is outside its minute bar's",
        ),
        (
            3,
            "price",
            "2024-01-02 09:31,SHFE.RB2405,1e308,1",
            "price 1e+308 is above 1e9, the largest price",
        ),
        (
            3,
            "volume",
            "2024-01-02 09:31,SHFE.RB2405,10,2e15",
            "is above 1e15, the largest volume korvit accepts",
        ),
        (
            3,
            "time",
            "2300-01-02 09:31,SHFE.RB2405,10,1",
            "time '2300-01-02 09:31' is outside the times korvit "
            "can hold (1677-09-22 to 2262-04-11)",
        ),
    ],
)
def test_bad_tick_names_file_row_and_column(tmp_path, row, column, body, phrase):
    bars = bars_at({"SHFE.RB2405": ["2024-01-02 09:31", "2024-01-02 09:32"]})
    path = tmp_path / "ticks.csv"
    path.write_text(f"time,code,price,volume\n2024-01-02 09:30:30,SHFE.RB2405,10,1\n{body}\n")
    with pytest.raises(DataError) as caught:
        load_ticks(path, bars)
    assert str(caught.value).startswith(f"{path}, row {row}, column '{column}': ")
    assert phrase in str(caught.value)


def test_ticks_must_be_long(tmp_path):
    bars = bars_at({"SHFE.RB2405": ["2024-01-02"]})
    with pytest.raises(DataError, match=r"missing column 'price'"):
        load_ticks(bars.to_frame(), bars)
    wide = pd.DataFrame([[1.0]], columns=pd.MultiIndex.from_tuples([("SHFE.RB2405", "price")]))
    with pytest.raises(DataError, match="MultiIndex"):
        load_ticks(wide, bars)


def test_ticks_with_utc_offsets_are_converted_like_the_bars(minute_bars):
    written = ticks(
        ("2024-01-02T01:30:30Z", "SHFE.RB2405", 10, 1),
        ("2024-01-02T09:31:30+08:00", "SHFE.RB2405", 10, 2),
    )
    found = load_ticks(written, minute_bars, tz="Asia/Shanghai")
    assert found[(0, 0)][2].tolist() == [1] and found[(0, 1)][2].tolist() == [2]
    with pytest.raises(
        DataError,
        match="row 2, column 'time': time '2024-01-02T09:31:30[+]08:00' has UTC "
        "offset [+]08:00 but the first time [(]row 1[)] has UTC offset [+]00:00",
    ):
        load_ticks(written, minute_bars)
