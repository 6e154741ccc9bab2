"""Data as vendors export it: one instrument per file, an adjusted close, day-first dates,
intraday bars of any period."""

import datetime
import warnings
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from korvit.data import DataError, DataWarning, load_bars, load_ticks

VENDOR = "Date,Open,High,Low,Close,Adj Close,Volume\n"


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return str(path)


def vendor_rows(days, open_=10.0, adj=0.5):
    """Rows of a daily vendor export, one per date (a date or text)."""
    return "".join(
        f"{day},{open_},{open_ + 1},{open_ - 1},{open_ + 0.5},{(open_ + 0.5) * adj},1000\n"
        for day in days
    )


def loaded(*args, **kwargs):
    """load_bars, and the DataWarnings it gave."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        bars = load_bars(*args, **kwargs)
    return bars, [str(w.message) for w in caught if issubclass(w.category, DataWarning)]


# ------------------------------------------------------------------ one instrument per file


def test_a_vendor_export_loads_with_its_code_and_warns_once_that_adj_close_is_ignored(tmp_path):
    path = write(
        tmp_path, "goog.csv", VENDOR + vendor_rows(["2004-08-19", "2004-08-20", "2004-08-23"])
    )
    bars, said = loaded(path, code="NASDAQ.GOOG")
    assert bars.codes == ["NASDAQ.GOOG"] and bars.frequency == "day" and bars.kind == "daily bars"
    assert list(bars.times.strftime("%Y-%m-%d")) == ["2004-08-19", "2004-08-20", "2004-08-23"]
    assert bars.values[0, 0].tolist() == [10.0, 11.0, 9.0, 10.5, 1000.0]  # as written
    assert (
        len(said) == 1
        and "'Adj Close' is ignored" in said[0]
        and "adjust=True (--adjust)" in said[0]
    )
    with pytest.raises(
        DataError, match=r"goog.csv, row 1: missing column 'code' .*code= \(--code\)"
    ):
        load_bars(path)


def test_a_saved_index_without_a_name_is_the_time(tmp_path):
    """pandas writes a DataFrame's index as an unnamed first column (",Open,High,...")."""
    path = write(
        tmp_path,
        "eurusd.csv",
        ",Open,High,Low,Close,Volume\n"
        "2017-04-19 09:00:00,1.0716,1.0722,1.07083,1.07219,1413\n"
        "2017-04-19 10:00:00,1.07214,1.07296,1.07214,1.0726,1241\n",
    )
    bars, _ = loaded(path, code="FX.EURUSD")
    assert bars.times[1] == pd.Timestamp("2017-04-19 10:00") and bars.values[0, 1, 3] == 1.0726
    bad = write(tmp_path, "bad.csv", ",Open,High,Low,Close,Volume\nlater,1,1,1,1,1\n")
    with pytest.raises(
        DataError, match=r"bad.csv, row 2, the unnamed first column: cannot read 'later'"
    ):
        load_bars(bad, code="FX.EURUSD")


def test_one_code_per_file_and_codes_refused_where_the_data_has_its_own(tmp_path):
    a = write(tmp_path, "a.csv", VENDOR + vendor_rows(["2024-01-02", "2024-01-03"]))
    b = write(tmp_path, "b.csv", VENDOR + vendor_rows(["2024-01-03", "2024-01-04"], open_=20))
    bars, _ = loaded([a, b], code=["NYSE.A", "NYSE.B"])
    assert bars.codes == ["NYSE.A", "NYSE.B"] and len(bars.times) == 3
    assert np.isnan(bars.values[1, 0, 3]) and bars.values[1, 2, 0] == 20
    coded = write(
        tmp_path, "coded.csv", "time,code,open,high,low,close,volume\n2024-01-02,SZSE.1,1,1,1,1,1\n"
    )
    with pytest.raises(
        DataError, match=r"^[^\n]*coded.csv, row 1, column 'code': the file has codes of its own"
    ):
        load_bars(coded, code="NYSE.A")
    wide = write(
        tmp_path,
        "wide.csv",
        ",SZSE.1,SZSE.1,SZSE.1,SZSE.1,SZSE.1\n"
        "time,open,high,low,close,volume\n2024-01-02,1,1,1,1,1\n",
    )
    with pytest.raises(DataError, match=r"wide.csv: the codes are in the file's header"):
        load_bars(wide, code="NYSE.A")
    with pytest.raises(DataError, match=r"^code 'GOOG' has no exchange prefix"):
        load_bars(a, code="GOOG")
    with pytest.raises(ValueError, match="code gives 2 codes for 1 sources"):
        load_bars(a, code=["NYSE.A", "NYSE.B"])
    with pytest.raises(TypeError, match="code must be text"):
        load_bars(a, code=5)


def test_ticks_of_a_run_of_one_code_need_no_code_column(tmp_path):
    bars, _ = loaded(
        write(tmp_path, "bars.csv", VENDOR + vendor_rows(["2024-01-02"])), code="NYSE.A"
    )
    ticks = load_ticks(
        write(tmp_path, "ticks.csv", "time,price,volume\n2024-01-02 10:00,10.2,5\n"), bars
    )
    assert ticks.count == 1 and list(ticks) == [(0, 0)]


# ------------------------------------------------------------------ adjusted prices


def test_adjust_scales_the_prices_by_the_adjusted_close_and_the_volume_inversely(tmp_path):
    path = write(
        tmp_path,
        "goog.csv",
        VENDOR + "2004-08-19,100,104,96,100.5,50.25,22351900\n"
        "2004-08-20,101,109,100.5,108,27,11428600\n",
    )
    bars, said = loaded(path, code="NASDAQ.GOOG", adjust=True)
    assert said == []
    assert bars.values[0, 0].tolist() == [50.0, 52.0, 48.0, 50.25, 44703800.0]
    assert bars.values[0, 1].tolist() == [25.25, 27.25, 25.125, 27.0, 45714400.0]
    assert (bars.values[0, :, 3] * bars.values[0, :, 4]).tolist() == [
        100.5 * 22351900,
        108 * 11428600,
    ]


@settings(max_examples=200, deadline=None)
@given(
    st.lists(
        st.tuples(
            st.integers(1, 10**6),
            st.integers(1, 10**6),
            st.integers(1, 10**6),
            st.integers(1, 10**6),
        ),
        min_size=1,
        max_size=5,
    )
)
def test_adjusted_prices_are_the_exact_scaled_prices_to_eight_decimals(tmp_path_factory, rows):
    """Each adjusted price is price × adj / close within half of 1e-8 (a float product alone
    can land just below a whole cent, which the engine's price step would cut off)."""
    text = VENDOR
    exact = []
    for k, (low, span, adj_cents, vol) in enumerate(rows):
        low, high = Fraction(low, 100), Fraction(low + span, 100)
        open_, close, adj = high, (low + high) / 2, Fraction(adj_cents, 100)
        text += f"2024-01-{k + 2:02d},{float(open_)},{float(high)},{float(low)},{float(close)},{float(adj)},{vol}\n"
        exact.append(
            [
                Fraction(float(p)) * Fraction(float(adj)) / Fraction(float(close))
                for p in (open_, high, low, close)
            ]
        )
    bars, _ = loaded(write(tmp_path_factory.mktemp("adj"), "a.csv", text), code="X.A", adjust=True)
    for k, prices in enumerate(exact):
        got = bars.values[0, k, :4]
        assert all(
            abs(Fraction(float(g)) - e) <= Fraction(1, 2 * 10**8) + Fraction(1, 10**12)
            for g, e in zip(got, prices)
        ), (got, [float(e) for e in prices])
        assert got[2] <= got[0] <= got[1] and got[2] <= got[3] <= got[1]


def test_adjust_refuses_a_missing_or_bad_adjusted_close(tmp_path):
    plain = write(tmp_path, "plain.csv", "Date,Open,High,Low,Close,Volume\n2024-01-02,1,1,1,1,1\n")
    with pytest.raises(
        DataError, match=r"plain.csv: adjust=True \(--adjust\) .* no adjusted close column"
    ):
        load_bars(plain, code="X.A", adjust=True)
    for value, phrase in (
        ("", "adj_close is missing"),
        ("-2", "adj_close -2 is not positive"),
        ("x", "cannot read 'x' as a number"),
    ):
        path = write(
            tmp_path, "bad.csv", VENDOR + f"2024-01-02,1,1,1,1,1,1\n2024-01-03,1,1,1,1,{value},1\n"
        )
        with pytest.raises(DataError, match=rf"bad.csv, row 3, column 'Adj Close': {phrase}"):
            load_bars(path, code="X.A", adjust=True)
    huge = write(
        tmp_path,
        "huge.csv",
        VENDOR + "2024-01-02,1e9,1e9,1e9,1e9,2e8,1\n2024-01-03,1,2,1,1,1e9,1\n",
    )
    with pytest.raises(
        DataError,
        match=r"huge.csv, row 3, column 'Adj Close': .*the high 2 becomes 2000000000, "
        r"above 1000000000",
    ):
        load_bars(huge, code="X.A", adjust=True)
    with pytest.raises(TypeError, match="adjust must be True or False"):
        load_bars(plain, code="X.A", adjust="yes")


# ------------------------------------------------------------------ day-first dates


def test_day_first_and_month_first_dates_are_read_in_the_order_the_file_proves(tmp_path):
    day_first = write(
        tmp_path, "d.csv", VENDOR + vendor_rows(["01/09/2004", "02/09/2004", "13/09/2004"])
    )
    month_first = write(
        tmp_path, "m.csv", VENDOR + vendor_rows(["09/01/2004", "09/02/2004", "09/13/2004"])
    )
    short = write(tmp_path, "s.csv", VENDOR + vendor_rows(["1.9.04", "2.9.04 10:30", "13.9.04"]))
    want = ["2004-09-01", "2004-09-02", "2004-09-13"]
    for path in (day_first, month_first):
        assert list(loaded(path, code="X.A")[0].times.strftime("%Y-%m-%d")) == want
    assert list(loaded(short, code="X.A")[0].times.astype(str)) == [
        "2004-09-01 00:00:00",
        "2004-09-02 10:30:00",
        "2004-09-13 00:00:00",
    ]
    # each file of a list is read in its own order
    both = loaded([day_first, month_first], code=["X.A", "X.B"])[0]
    assert list(both.times.strftime("%Y-%m-%d")) == want and not np.isnan(both.values).any()


def test_dates_that_do_not_tell_their_order_are_refused_at_the_first_row(tmp_path):
    """Every day at most 12: refused at once, naming date_format, rather than read month first
    and failing (or not) on the order of the bars rows later."""
    days = [f"{d:02d}/{m:02d}/2004" for m in (9, 10) for d in range(1, 13)]
    path = write(tmp_path, "d.csv", VENDOR + vendor_rows(days))
    with pytest.raises(DataError) as caught:
        load_bars(path, code="X.A")
    message = str(caught.value)
    assert message.startswith(
        f"{path}, row 2, column 'Date': '01/09/2004' can be read day first or month first"
    )
    assert (
        "date_format= (--date-format), '%d/%m/%Y' for day first or '%m/%d/%Y' for month first"
        in message
    )
    assert "\n" not in message
    mixed = write(
        tmp_path, "x.csv", VENDOR + vendor_rows(["01/09/2004", "13/09/2004", "09/14/2004"])
    )
    with pytest.raises(
        DataError,
        match=r"x.csv, row 4, column 'Date': '09/14/2004' reads only month first but "
        r"'13/09/2004' \(row 3\) only day first",
    ):
        load_bars(mixed, code="X.A")


def test_date_format_reads_the_times_and_the_bounds(tmp_path):
    days = [f"{d:02d}/09/2004" for d in range(1, 13)]
    path = write(tmp_path, "d.csv", VENDOR + vendor_rows(days))
    bars = loaded(path, code="X.A", date_format="%d/%m/%Y", start="03/09/2004", end="2004-09-05")[0]
    assert list(bars.times.day) == [3, 4, 5] and set(bars.times.month) == {9}
    assert list(loaded(path, code="X.A", date_format="%m/%d/%Y")[0].times.month) == list(
        range(1, 13)
    )
    with pytest.raises(DataError) as caught:
        load_bars(path, code="X.A", date_format="%Y-%m-%d")
    assert str(caught.value) == (
        f"{path}, row 2, column 'Date': date_format '%Y-%m-%d' reads none of the times "
        "(the first is '01/09/2004'): give the format the times are written in, e.g. "
        "'%d/%m/%Y' for 01/09/2004 as 1 September"
    )
    odd = write(tmp_path, "odd.csv", VENDOR + vendor_rows(["01/09/2004", "2004-09-02"]))
    with pytest.raises(
        DataError,
        match=r"odd.csv, row 3, column 'Date': cannot read '2004-09-02' as a time "
        r"with date_format '%d/%m/%Y'",
    ):
        load_bars(odd, code="X.A", date_format="%d/%m/%Y")
    for bad, phrase in (
        ("dd/mm/yyyy", "holds no strftime codes"),
        ("%d/%Q", "'Q' is a bad directive"),
        (7, "date_format must be text"),
    ):
        with pytest.raises((ValueError, TypeError), match=phrase):
            load_bars(path, code="X.A", date_format=bad)


def test_date_format_with_an_offset_keeps_each_times_offset(tmp_path):
    path = write(
        tmp_path,
        "z.csv",
        VENDOR + vendor_rows(["02/01/2024 09:30 +0800", "02/01/2024 09:31 +0000"]),
    )
    with pytest.raises(
        DataError, match="row 3, column 'Date': time .* has UTC offset \\+00:00 but the first"
    ):
        loaded(path, code="X.A", date_format="%d/%m/%Y %H:%M %z")
    bars = loaded(path, code="X.A", date_format="%d/%m/%Y %H:%M %z", tz="Asia/Shanghai")[0]
    assert list(bars.times.astype(str)) == ["2024-01-02 09:30:00", "2024-01-02 17:31:00"]


@settings(max_examples=60, deadline=None)
@given(
    st.lists(
        st.dates(datetime.date(1990, 1, 1), datetime.date(2030, 12, 31)),
        min_size=1,
        max_size=30,
        unique=True,
    ),
    st.sampled_from(["%d/%m/%Y", "%m/%d/%Y", "%d.%m.%Y", "%m-%d-%Y"]),
    st.booleans(),
)
@example(
    [datetime.date(2004, 1, 1), datetime.date(2004, 2, 2)], "%d/%m/%Y", False
)  # reads one way only
@example([datetime.date(2004, 1, 1), datetime.date(2004, 1, 2)], "%m/%d/%Y", True)
def test_slashed_dates_load_as_written_or_are_refused_never_misread(
    tmp_path_factory, days, written, clocked
):
    """`clocked` gives the last date a time of day: dates of two layouts, read row by row
    rather than with two formats at once."""
    days = sorted(days)
    texts = [day.strftime(written) for day in days]
    if clocked:
        texts[-1] += " 10:30"
    path = write(tmp_path_factory.mktemp("dates"), "d.csv", VENDOR + vendor_rows(texts))
    if all(day.day <= 12 for day in days) and any(day.day != day.month for day in days):
        with pytest.raises(DataError, match="can be read day first or month first.*date_format"):
            load_bars(path, code="X.A")
        bars = None if clocked else loaded(path, code="X.A", date_format=written)[0]
    else:
        bars = loaded(path, code="X.A")[0]
    if bars is not None:
        assert [t.date() for t in bars.times] == days


# ------------------------------------------------------------------ intraday periods


def intraday(minutes, days=2, first="09:30", skip=()):
    """Bars of `minutes` minutes labelled by their end, on `days` days, less the bars `skip`."""
    start = pd.Timestamp(f"2024-01-02 {first}")
    labels = [
        start + pd.Timedelta(days=d) + pd.Timedelta(minutes=minutes * (k + 1))
        for d in range(days)
        for k in range(6)
    ]
    labels = [t for k, t in enumerate(labels) if k not in skip]
    return pd.DataFrame(
        {
            "time": labels,
            "code": "FX.EURUSD",
            "open": 1.1,
            "high": 1.2,
            "low": 1.0,
            "close": 1.15,
            "volume": 10,
        }
    )


@pytest.mark.parametrize(
    "minutes, kind",
    [
        (1, "minute bars"),
        (5, "5-minute bars"),
        (15, "15-minute bars"),
        (60, "60-minute bars"),
        (240, "240-minute bars"),
    ],
)
def test_intraday_bars_of_any_regular_period_are_recognised(minutes, kind):
    bars = load_bars(intraday(minutes, skip=(2, 7)))  # a missing bar does not change the period
    assert bars.frequency == "minute" and bars.interval == pd.Timedelta(minutes=minutes)
    assert bars.kind == kind and bars.minutes == minutes
    assert repr(bars).count(" minute bars,") == 1  # what saved sweeps compare stays


def test_the_period_is_the_most_common_step_and_daily_bars_have_none():
    frame = intraday(60)
    frame.loc[5, "time"] = frame.loc[4, "time"] + pd.Timedelta(minutes=30)  # a short last bar
    bars = load_bars(frame)
    assert bars.interval == pd.Timedelta(minutes=60)
    seconds = intraday(1).assign(
        time=lambda f: (
            f.time.dt.floor("D") + pd.to_timedelta(np.tile(np.arange(1, 7) * 30, 2), unit="s")
        )
    )
    assert load_bars(seconds).kind == "30-second bars" and load_bars(seconds).minutes == 1
    daily = load_bars(
        intraday(60).assign(time=lambda f: f.time.dt.floor("D")).drop_duplicates("time")
    )
    assert daily.interval is None and daily.minutes is None and daily.kind == "daily bars"


def test_ticks_of_the_first_hourly_bar_of_a_day_span_its_whole_hour():
    bars = load_bars(intraday(60))  # the first bar of a day: 10:30, over 09:30 to 10:30
    ticks = pd.DataFrame(
        {
            "time": pd.to_datetime(
                ["2024-01-02 09:31", "2024-01-02 10:30", "2024-01-02 10:31", "2024-01-03 09:45"]
            ),
            "code": "FX.EURUSD",
            "price": 1.1,
            "volume": 1,
        }
    )
    loaded_ticks = load_ticks(ticks, bars)
    assert sorted(loaded_ticks) == [(0, 0), (0, 1), (0, 6)]
    assert len(loaded_ticks[(0, 0)][0]) == 2
    early = ticks.assign(time=pd.to_datetime(["2024-01-02 09:30"] * 4))
    with pytest.raises(
        DataError, match="the tick of FX.EURUSD at 2024-01-02 09:30:00 lies in no 60-minute bar"
    ):
        load_ticks(early, bars)


def test_bars_labelled_by_their_start_move_to_the_end_of_their_period():
    written = intraday(60).assign(
        time=lambda f: f.time - pd.Timedelta(hours=1)
    )  # 09:30, 10:30, ...
    bars = load_bars(written, bar_time="start", start="2024-01-02 10:30", end="2024-01-02")
    assert list(bars.times.strftime("%H:%M")) == ["11:30", "12:30", "13:30", "14:30", "15:30"]
    assert bars.interval == pd.Timedelta(hours=1)
    daily = intraday(60).assign(time=lambda f: f.time.dt.floor("D")).drop_duplicates("time")
    assert load_bars(daily, bar_time="start").times.equals(load_bars(daily).times)
    with pytest.raises(ValueError, match="bar_time must be 'end' or 'start'"):
        load_bars(written, bar_time="middle")
    late = written.assign(
        time=pd.Timestamp("2262-04-11 23:00") + pd.to_timedelta(np.arange(12) - 11, "h")
    )
    with pytest.raises(
        DataError,
        match=r"DataFrame, row 12, column 'time': moved to the end of its period "
        r"\(60-minute bar\), the bar would lie beyond 2262-04-11",
    ):
        load_bars(late, bar_time="start")


def test_a_run_reads_the_vendor_export_itself_but_refuses_reading_options_for_loaded_bars(tmp_path):
    from korvit.backtest.runner import Backtest

    path = write(tmp_path, "goog.csv", VENDOR + vendor_rows(["01/09/2004", "13/09/2004"]))
    test = Backtest({}, path, code="NASDAQ.GOOG", adjust=True, date_format="%d/%m/%Y")
    assert test.bars.codes == ["NASDAQ.GOOG"] and test.bars.values[0, 0, 3] == 5.25
    with pytest.raises(
        ValueError, match=r"^code=, bar_time= tell how to read bars from a file or a frame"
    ):
        Backtest({}, test.bars, code="NASDAQ.GOOG", bar_time="start")
