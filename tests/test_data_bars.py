import sys
import warnings

import numpy as np
import pandas as pd
import pytest

from korvit.data import Bars, DataError, DataWarning, load_bars

HEADER = "time,code,open,high,low,close,volume\n"
GOOD = "2024-01-02,SZSE.000001,10,11,9,10.5,100\n"


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def need_pyarrow():
    try:
        import pyarrow  # noqa: F401
    except ImportError as exc:  # absent, or built for another numpy
        pytest.skip(f"pyarrow cannot be imported: {exc}")


def same(a, b):
    return (
        a.codes == b.codes
        and a.frequency == b.frequency
        and a.times.equals(b.times)
        and np.array_equal(a.values, b.values, equal_nan=True)
    )


@pytest.fixture
def frame():
    """Two codes; SHFE.RB has no bar on the second day."""
    return pd.DataFrame(
        {
            "time": pd.to_datetime(
                ["2024-01-02", "2024-01-03", "2024-01-04", "2024-01-02", "2024-01-04"]
            ),
            "code": ["SZSE.000001"] * 3 + ["SHFE.RB2405"] * 2,
            "open": [10.0, 10.5, 10.9, 3500, 3512],
            "high": [11.0, 11.0, 11.2, 3520, 3530],
            "low": [9.0, 10.1, 10.7, 3490, 3500],
            "close": [10.5, 10.8, 11.0, 3510, 3525],
            "volume": [100.0, 200, 300, 50, 60],
        }
    )


@pytest.mark.parametrize(
    "row, column, body, phrase",
    [
        (3, "time", "2024-13-45,SZSE.000001,1,1,1,1,1\n", "cannot read '2024-13-45' as a time"),
        (3, "time", ",SZSE.000001,1,1,1,1,1\n", "time is missing"),
        (
            3,
            "code",
            "2024-01-03,AAPL,1,1,1,1,1\n",
            "code 'AAPL' has no exchange prefix: write it as EXCHANGE.SYMBOL, e.g. 'SIM.AAPL'",
        ),
        (3, "code", "2024-01-03,SZSE.X.1,1,1,1,1,1\n", "exactly one dot"),
        (3, "close", "2024-01-03,SZSE.000001,1,1,1,NaN,1\n", "missing"),
        (3, "high", "2024-01-03,SZSE.000001,1,abc,1,1,1\n", "cannot read 'abc' as a number"),
        (3, "open", "2024-01-03,SZSE.000001,0,1,1,1,1\n", "not positive"),
        (3, "low", "2024-01-03,SZSE.000001,1,1,-1,1,1\n", "not positive"),
        (3, "high", "2024-01-03,SZSE.000001,1,1,2,1,1\n", "high 1 is below low 2"),
        (3, "open", "2024-01-03,SZSE.000001,3,2,1,1.5,1\n", "outside [low, high]"),
        (3, "close", "2024-01-03,SZSE.000001,1.5,2,1,0.5,1\n", "outside [low, high]"),
        (3, "volume", "2024-01-03,SZSE.000001,1,1,1,1,-5\n", "negative"),
        (3, "volume", "2024-01-03,SZSE.000001,1,1,1,1,\n", "missing"),
        (3, "time", "2024-01-01,SZSE.000001,1,1,1,1,1\n", "earlier than its bar at"),
        (
            4,
            "time",
            "2024-01-02,SHFE.RB,1,1,1,1,1\n2024-01-02,szse.000001,1,1,1,1,1\n",
            "the same time as its bar at",
        ),
        (4, "volume", "\n2024-01-03,SZSE.000001,1,1,1,1,-1\n", "negative"),  # blank line counts
        (
            3,
            "open",
            "2024-01-03,SZSE.000001,1e308,1e308,1e308,1e308,1\n",
            "open 1e+308 is above 1e9, the largest open korvit accepts",
        ),
        (3, "low", "2024-01-03,SZSE.000001,1,1,2e9,1,1\n", "low 2000000000 is above 1e9"),
        (3, "volume", "2024-01-03,SZSE.000001,1,1,1,1,1e300\n", "volume 1e+300 is above 1e15"),
        (3, "close", "2024-01-03,SZSE.000001,1,1,1,inf,1\n", "close is inf, not a finite number"),
        (
            3,
            "time",
            "2300-01-04,SZSE.000001,1,1,1,1,1\n",
            "time '2300-01-04' is outside the times korvit can hold (1677-09-22 to 2262-04-11)",
        ),
        (
            3,
            "time",
            "1600-01-04 09:30,SZSE.000001,1,1,1,1,1\n",
            "time '1600-01-04 09:30' is outside the times",
        ),
        (3, "time", "99990105,SZSE.000001,1,1,1,1,1\n", "time '99990105' is outside the times"),
        (3, "time", "1600/01/04,SZSE.000001,1,1,1,1,1\n", "time '1600/01/04' is outside the times"),
        (
            3,
            "time",
            "2024-01-03T09:30:00+00:00,SZSE.000001,1,1,1,1,1\n",
            "time '2024-01-03T09:30:00+00:00' has UTC offset +00:00 but the first time (row 2) has no UTC offset",
        ),
    ],
)
def test_bad_bar_names_file_row_and_column(tmp_path, row, column, body, phrase):
    path = write(tmp_path, "bars.csv", HEADER + GOOD + body)
    with pytest.raises(DataError) as caught:
        load_bars(path)
    message = str(caught.value)
    assert message.startswith(f"{path}, row {row}, column '{column}': ")
    assert phrase in message and "\n" not in message


def test_bad_sources_give_clear_errors(tmp_path, frame):
    with pytest.raises(DataError, match=r"row 1: missing column 'volume'"):
        load_bars(write(tmp_path, "a.csv", HEADER.replace(",volume", "") + GOOD[:-5] + "\n"))
    with pytest.raises(DataError, match="the file is empty"):
        load_bars(write(tmp_path, "b.csv", ""))
    with pytest.raises(DataError, match="line 2"):
        load_bars(write(tmp_path, "c.csv", HEADER + GOOD[:-1] + ",7,8\n"))
    with pytest.raises(DataError, match=r"unknown file type"):
        load_bars(write(tmp_path, "d.xls", HEADER + GOOD))
    with pytest.raises(FileNotFoundError, match="nowhere.csv"):
        load_bars(str(tmp_path / "nowhere.csv"))
    with pytest.raises(DataError, match=r"both a 'date' and a 'time' column"):
        load_bars(frame.assign(date=frame["time"]))
    bad = frame.copy()
    bad.loc[3, "high"] = 3000
    with pytest.raises(DataError, match=r"^DataFrame, row 4, column 'high': high 3000 is below"):
        load_bars(bad)


def test_errors_name_the_file_of_the_row(tmp_path, frame):
    need_pyarrow()
    frame.to_parquet(tmp_path / "good.parquet")
    bad = frame.copy()
    bad.loc[1, "close"] = np.nan
    bad.to_parquet(tmp_path / "bad.parquet")
    with pytest.raises(DataError, match=r"bad\.parquet, row 2, column 'close': close is missing"):
        load_bars([tmp_path / "good.parquet", tmp_path / "bad.parquet"])


def test_wide_errors_name_code_and_field(tmp_path, frame):
    wide = frame.set_index(["time", "code"]).unstack("code").swaplevel(axis=1)
    wide.columns.names = ["code", "field"]
    wide.iloc[2, list(wide.columns).index(("SHFE.RB2405", "volume"))] = -3
    wide.to_csv(tmp_path / "wide.csv")
    with pytest.raises(DataError, match=r"wide\.csv, row 6, column \('SHFE\.RB2405', 'volume'\)"):
        load_bars(tmp_path / "wide.csv")  # lines: code, field, time, then data
    hand_written = write(
        tmp_path,
        "w2.csv",
        "code,SZSE.1,SZSE.1,SZSE.1,SZSE.1,SZSE.1\n"
        "field,open,high,low,close,volume\n2024-01-02,1,2,1,1,5\n"
        "2024-01-03,1,2,1,3,5\n",
    )  # no line naming the index
    with pytest.raises(DataError, match=r"w2\.csv, row 4, column \('SZSE\.1', 'close'\)"):
        load_bars(hand_written)
    with pytest.raises(DataError, match=r"column \('SZSE\.000001', 'volume'\): missing"):
        load_bars(wide.drop(columns=[("SZSE.000001", "volume")]))


def test_day_frequency_allows_one_bar_per_date(tmp_path):
    path = write(
        tmp_path,
        "m.csv",
        HEADER + "2024-01-02 09:31,SHFE.RB,1,1,1,1,1\n2024-01-02 09:32,SHFE.RB,1,1,1,1,1\n",
    )
    assert load_bars(path).frequency == "minute"
    with pytest.raises(DataError, match=r"m\.csv, row 3, column 'time': SHFE\.RB has a second"):
        load_bars(path, frequency="day")


def test_every_format_gives_the_same_bars(tmp_path, frame):
    expected = load_bars(frame)
    wide = frame.set_index(["time", "code"]).unstack("code").swaplevel(axis=1)
    wide = wide[["SZSE.000001", "SHFE.RB2405"]]
    wide.columns.names = ["code", "field"]
    wide.to_csv(tmp_path / "wide.csv")
    frame.to_csv(tmp_path / "long.csv", index=False)
    frame.iloc[:2].to_csv(tmp_path / "part1.csv", index=False)
    frame.iloc[2:].to_csv(tmp_path / "part2.csv", index=False)
    renamed = frame.rename(columns={"time": "Date", "close": "CLOSE"}).assign(amount=1.0)
    clock = frame.assign(time="09:30:00", DateTime=frame["time"])  # datetime comes first
    sources = [
        tmp_path / "long.csv",
        tmp_path / "wide.csv",
        wide,
        wide.swaplevel(axis=1),
        frame.set_index("time"),
        renamed,
        clock,
        frame.set_index("time").rename_axis("stamp"),
        [tmp_path / "part1.csv", tmp_path / "part2.csv"],
        expected.to_frame(),
    ]
    for source in sources:
        assert same(load_bars(source), expected), source


def test_parquet_gives_the_same_bars(tmp_path, frame):
    need_pyarrow()
    frame.to_parquet(tmp_path / "long.parquet")
    frame.set_index(["time", "code"]).unstack("code").to_parquet(tmp_path / "wide.parquet")
    expected = load_bars(frame)
    assert same(load_bars(str(tmp_path / "long.parquet")), expected)
    codes = ["SZSE.000001", "SHFE.RB2405"]  # unstack sorted them
    assert same(load_bars(tmp_path / "wide.parquet", codes=codes), expected)


def test_bars_align_codes_on_one_timeline(frame):
    bars = load_bars(frame)
    assert bars.codes == ["SZSE.000001", "SHFE.RB2405"]  # first appearance
    assert list(bars.times) == list(pd.to_datetime(["2024-01-02", "2024-01-03", "2024-01-04"]))
    assert bars.values.shape == (2, 3, 5) and bars.values.dtype == np.float64
    rb = bars.index_of("shfe.rb2405")
    assert np.isnan(bars.values[rb, 1, :4]).all() and bars.values[rb, 1, 4] == 0
    assert bars.values[rb, 2].tolist() == [3512, 3530, 3500, 3525, 60]
    assert bars.present.tolist() == [[True, True, True], [True, False, True]]
    assert len(bars) == 3 and bars.frequency == "day"
    assert "2 codes" in repr(bars)
    with pytest.raises(KeyError, match="unknown code 'SSE.1'"):
        bars.index_of("SSE.1")
    assert len(bars.to_frame()) == len(frame)


def test_integer_dates_are_dates(frame):
    numbers = frame.assign(time=frame["time"].dt.strftime("%Y%m%d").astype(int))
    assert same(load_bars(numbers), load_bars(frame))
    with pytest.raises(DataError, match="cannot read '123' as a time"):
        load_bars(frame.assign(time=123))


def test_trimming(frame):
    bars = load_bars(frame, start="2024-01-03", end="2024-01-04")
    assert list(bars.times.day) == [3, 4]
    only = load_bars(frame, codes=["shfe.rb2405"])
    assert only.codes == ["SHFE.RB2405"] and list(only.times.day) == [2, 4]
    both = load_bars(frame, codes=["SHFE.RB2405", "SZSE.000001"])
    assert both.codes == ["SHFE.RB2405", "SZSE.000001"]
    with pytest.raises(DataError, match=r"no bars of 'SSE\.600000'"):
        load_bars(frame, codes=["SSE.600000"])
    with pytest.raises(DataError, match=r"no bars of 'SHFE\.RB2405' between 2024-01-03 and"):
        load_bars(frame, codes=["SHFE.RB2405", "SZSE.000001"], start="2024-01-03", end="2024-01-03")
    assert load_bars(frame, start="2024-01-03", end="2024-01-03").codes == ["SZSE.000001"]
    with pytest.raises(DataError, match=r"no bars left between 2025-01-01"):
        load_bars(frame, start="2025-01-01")


def test_end_date_keeps_the_whole_day(frame):
    minutes = frame.assign(time=frame["time"] + pd.Timedelta("9h31min"))
    assert list(load_bars(minutes, end="2024-01-03").times.day) == [2, 3]
    assert list(load_bars(minutes, end="2024-01-03 09:00").times.day) == [2]


def test_frequency_inference(frame):
    assert load_bars(frame).frequency == "day"
    closes = frame.assign(time=frame["time"] + pd.Timedelta("15h"))  # one bar a date
    assert load_bars(closes).frequency == "day"
    assert load_bars(closes, frequency="minute").frequency == "minute"
    minutes = frame.assign(
        time=pd.Timestamp("2024-01-02 09:31") + pd.to_timedelta([0, 1, 2, 0, 2], "min")
    )
    assert load_bars(minutes).frequency == "minute"
    with pytest.raises(ValueError, match="frequency 'hour'"):
        load_bars(frame, frequency="hour")


def test_volume_zero_warns_once_with_a_count(frame):
    frame.loc[[1, 4], "volume"] = 0
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        bars = load_bars(frame)
    assert [type(w.message) for w in caught] == [DataWarning]
    assert "2 bars with volume 0" in str(caught[0].message)
    assert "DataFrame, row 2" in str(caught[0].message)
    assert caught[0].filename == __file__
    assert bars.values[0, 1, 4] == 0 and not np.isnan(bars.values[0, 1, 3])


def test_parquet_without_pyarrow_says_how_to_install_it(tmp_path, monkeypatch):
    (tmp_path / "bars.parquet").write_bytes(b"PAR1")
    monkeypatch.setitem(sys.modules, "pyarrow", None)  # import pyarrow fails
    with pytest.raises(ImportError, match=r"pip install 'pyarrow>=14'"):
        load_bars(tmp_path / "bars.parquet")


def test_bars_constructor_checks_shape():
    with pytest.raises(ValueError, match="shape"):
        Bars(["A.B"], pd.to_datetime(["2024-01-02"]), np.zeros((1, 2, 5)), "day")


def test_times_in_mixed_forms_read_alike_after_a_run_of_iso_times():
    from korvit.data._table import parse_times

    iso = [f"2024-01-{d:02d} 09:30" for d in range(1, 29)] * 3
    mixed = iso + ["2024/02/01 09:30", "20240202", "202402030930"]
    parsed = parse_times(mixed)
    assert parsed[: len(iso)].tolist() == parse_times(iso).tolist()
    assert [str(t)[:16] for t in parsed[len(iso) :]] == [
        "2024-02-01T09:30",
        "2024-02-02T00:00",
        "2024-02-03T09:30",
    ]
    assert np.isnat(parse_times(iso + ["not a time"])[-1])


@pytest.mark.parametrize(
    "values",
    [
        np.array(["2024-01-02", "2300-01-01"], dtype="datetime64[s]"),  # a frame's own datetimes
        [20240102, 23000101],  # integer dates
        [pd.Timestamp("2024-01-02"), pd.Timestamp("2300-01-01")],  # objects (non-ns in pandas 2+)
    ],
)
def test_out_of_range_years_in_a_frame_name_the_row(frame, values):
    part = frame.iloc[:2].copy()
    part["time"] = values if not isinstance(values, list) else pd.Series(values, dtype=object)
    with pytest.raises(
        DataError,
        match=r"^DataFrame, row 2, column 'time': time .*(2300-01-01|23000101).* is outside "
        r"the times korvit can hold \(1677-09-22 to 2262-04-11\)$",
    ):
        load_bars(part)


def test_start_and_end_beyond_the_years_of_the_bars(frame):
    assert len(load_bars(frame, start="1500-01-01", end="2300-01-01")) == 3
    with pytest.raises(DataError, match="no bars left between 2300-01-01 and"):
        load_bars(frame, start="2300-01-01")


def offset_bars(times_by_code):
    rows = [(t, code) for code, times in times_by_code.items() for t in times]
    return pd.DataFrame(rows, columns=["time", "code"]).assign(
        open=10, high=11, low=9, close=10, volume=100
    )


def test_the_same_instants_in_two_offsets_are_refused_or_converted(tmp_path):
    """40 instants, written in +08:00 for one code and in UTC for the other: 40 bars
    on the timeline once converted to one zone, refused without one (as wall times
    they would make 80)."""
    instants = pd.date_range("2024-01-02 01:30", periods=40, freq="B", tz="UTC")
    shanghai = [t.tz_convert("Asia/Shanghai").isoformat() for t in instants]
    utc = [t.strftime("%Y-%m-%dT%H:%M:%SZ") for t in instants]
    path = tmp_path / "bars.csv"
    offset_bars({"SZSE.000001": shanghai, "SZSE.000002": utc}).to_csv(path, index=False)
    with pytest.raises(DataError) as caught:
        load_bars(path)
    assert str(caught.value) == (
        f"{path}, row 42, column 'time': time '2024-01-02T01:30:00Z' has UTC offset +00:00 but the first "
        "time (row 2) has UTC offset +08:00: times with different offsets do not share one clock; write "
        "them with one offset, or name the zone to convert them to (tz=, --tz) (39 more rows like this)"
    )
    for tz, hour in (("Asia/Shanghai", 9), ("UTC", 1)):
        bars = load_bars(path, tz=tz)
        assert (
            len(bars) == 40 and set(bars.times.hour) == {hour} and not np.isnan(bars.values).any()
        )
        assert bars.times[0] == instants[0].tz_convert(tz).tz_localize(None)
    # the same from Python datetimes of two zones, and from one aware column
    objects = offset_bars(
        {
            "SZSE.000001": list(instants.tz_convert("Asia/Shanghai").to_pydatetime()),
            "SZSE.000002": list(instants.to_pydatetime()),
        }
    )
    with pytest.raises(DataError, match="^DataFrame, row 41, column 'time': .* UTC offset"):
        load_bars(objects)
    assert load_bars(objects, tz="Asia/Shanghai").times.equals(
        load_bars(path, tz="Asia/Shanghai").times
    )
    aware = offset_bars({"SZSE.000001": instants.tz_convert("America/New_York")})
    assert load_bars(aware).times[0] == pd.Timestamp("2024-01-01 20:30")  # its wall time
    assert load_bars(aware, tz="UTC").times[0] == pd.Timestamp("2024-01-02 01:30")
    with pytest.raises(ValueError, match="unknown time zone 'Mars/Base'"):
        load_bars(path, tz="Mars/Base")


def test_daylight_saving_offsets_read_in_their_zone(tmp_path):
    """One zone's two offsets (winter and summer time) are converted to its wall time;
    times without an offset are taken as times in the zone; start and end too."""
    path = tmp_path / "bars.csv"
    offset_bars(
        {"NYSE.IBM": ["2024-03-08 09:30-05:00", "2024-03-11 09:30-04:00", "2024-03-12 09:30"]}
    ).to_csv(path, index=False)
    with pytest.raises(
        DataError,
        match="row 3, column 'time': time '2024-03-11 09:30-04:00' has UTC offset "
        "-04:00 but the first time \\(row 2\\) has UTC offset -05:00",
    ):
        load_bars(path)
    bars = load_bars(path, tz="America/New_York", start="2024-03-11 13:30+00:00")
    assert [str(t) for t in bars.times] == ["2024-03-11 09:30:00", "2024-03-12 09:30:00"]


@pytest.mark.parametrize(
    "times, frequency, phrase",
    [
        # one code: the stray bar shares a date with another, so the whole file became minute bars
        (
            {"SZSE.000001": ["2024-01-02", "2024-01-03", "2024-01-03 15:00", "2024-01-05"]},
            "minute",
            "row 4, column 'time': SZSE.000001 at 2024-01-03 15:00:00 has a time of day while 3 of the 4 bars "
            "are at midnight, so the bars are read as minute bars",
        ),
        # two codes: daily bars, but the stray bar's day has two rows on the timeline
        (
            {
                "SZSE.000001": ["2024-01-02", "2024-01-03 15:00", "2024-01-04"],
                "SZSE.000002": ["2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05"],
            },
            "day",
            "row 3, column 'time': SZSE.000001 at 2024-01-03 15:00:00 has a time of day while 6 of the 7 bars "
            "are at midnight, so 2024-01-03 has two rows on the timeline",
        ),
    ],
)
def test_a_stray_time_of_day_warns_naming_the_row(tmp_path, times, frequency, phrase):
    path = tmp_path / "bars.csv"
    offset_bars(times).to_csv(path, index=False)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        bars = load_bars(path)
    assert bars.frequency == frequency
    assert [str(w.message) for w in caught] == [
        f"{path}, {phrase}" + str(caught[0].message).split(phrase)[1]
    ]
    assert caught[0].category is DataWarning and caught[0].filename == __file__


@pytest.mark.parametrize(
    "times",
    [
        ["2024-01-02 15:00", "2024-01-03 15:00", "2024-01-04 15:00"],  # daily closes
        ["2024-01-02", "2024-01-02 09:31", "2024-01-02 09:32"],  # minute bars and a midnight one
        ["2024-01-02", "2024-01-03 15:00", "2024-01-04"],  # one code, one bar a date
    ],
)
def test_times_of_day_that_change_nothing_do_not_warn(times):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        load_bars(offset_bars({"SZSE.000001": times}))


# ------------------------------------------------------------------ files read again


def test_a_file_read_again_gives_its_bars_as_they_are_now(tmp_path):
    """Bars of a file are kept for the next load of it, by its content: a file
    rewritten at once with other values of the same length loads anew, and a
    caller that writes into its bars leaves the next load's alone."""
    path = write(tmp_path, "bars.csv", HEADER + GOOD)
    first = load_bars(path)
    first.values[0, 0, 3] = -1.0
    again = load_bars(path)
    assert again.values[0, 0, 3] == 10.5 and again.values is not first.values
    with open(path, "w") as file:  # the same size, within the same clock tick
        file.write(HEADER + GOOD.replace("10.5", "10.7"))
    assert load_bars(path).values[0, 0, 3] == 10.7
    trimmed = load_bars(path, codes=["szse.000001"])  # other options: another load
    assert trimmed.codes == ["SZSE.000001"] and same(trimmed, load_bars(path))


def test_a_file_whose_load_warns_warns_each_time(tmp_path):
    path = write(tmp_path, "bars.csv", HEADER + GOOD.replace(",100\n", ",0\n"))
    for _ in range(2):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            load_bars(path)
        assert [type(w.message) for w in caught] == [DataWarning]
        assert caught[0].filename == __file__ and "volume 0" in str(caught[0].message)
