"""The saved tables, written a slice at a time, hold the result's tables exactly:
CSV byte for byte as ``DataFrame.to_csv`` writes the whole table, Parquet value
for value (and type for type)."""

import numpy as np
import pandas as pd
import pytest

from korvit.backtest import run
from korvit.backtest.table_files import csv_rows, read_table, table_writer

N_BARS = 40_000  # more rows than one CSV slice of the equity table: several slices


def _minute_bars():
    rng = np.random.default_rng(7)
    close = np.round(10 * np.exp(np.cumsum(rng.normal(0, 0.002, N_BARS))), 2)
    return pd.DataFrame(
        {
            "time": pd.date_range("2024-01-01 00:01", periods=N_BARS, freq="min"),
            "code": "SZSE.000001",
            "open": close,
            "high": close + 0.05,
            "low": close - 0.05,
            "close": close,
            "volume": 1000.0,
        }
    )


def _trade_often(context):
    from korvit.strategy import buy, position, sell

    bar = context.now.minute
    if bar % 7 == 0:
        (sell if position("SZSE.000001") else buy)("SZSE.000001", 100)


@pytest.fixture(scope="module")
def result():
    return run({"on_data": _trade_often}, _minute_bars(), progress=False, calendar="24/7")


def _dates_then_clock():
    """A first slice of times at midnight alone, a second with a clock and a NaT: written
    whole, every time has its clock; a slice cut elsewhere would write dates alone."""
    n = csv_rows(pd.DataFrame(columns=["time", "x"])) + 10
    times = pd.date_range("2020-01-01", periods=n, freq="D").to_numpy().copy()
    times[-5] += np.timedelta64(90, "s")
    times[-1] = np.datetime64("NaT", "ns")
    return pd.DataFrame({"time": times, "x": np.linspace(-1, 1, n)})


def _written(frame, format, path):
    binary, write = table_writer(frame, format, rows=1_000)
    with open(path, "wb") if binary else open(path, "w", encoding="utf-8", newline="") as fh:
        write(fh)
    return path


@pytest.mark.parametrize("name", ["equity", "orders", "trades", "stops", "round_trips", "made"])
def test_tables_written_in_slices_equal_the_whole(result, name, tmp_path):
    frame = _dates_then_clock() if name == "made" else getattr(result, name)
    assert len(result.orders) > 5_000
    text = _written(frame, "csv", tmp_path / "t.csv").read_bytes()
    assert text == frame.to_csv(index=False).encode()
    pd.testing.assert_frame_equal(
        read_table(_written(frame, "parquet", tmp_path / "t.parquet")), frame
    )
    if name == "equity":  # a save in one format, then in the other: one set, one format
        for format, other in (("csv", "parquet"), ("parquet", "csv")):
            result.save(tmp_path / "out", format=format)
            assert not (tmp_path / "out" / f"orders.{other}").exists()
            pd.testing.assert_frame_equal(read_table(tmp_path / "out" / f"equity.{format}"), frame)
