"""Bars from a folder of files: the same bars as one long file, and bad folders refused."""

import os
import subprocess
import sys
import tempfile
import warnings
from pathlib import Path

import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from korvit.data import DataError, load_bars

DAYS = pd.bdate_range("2021-03-01", periods=12)
CODES = ["NASDAQ.GOOG", "SSE.600000", "SSE.600036"]
price = st.floats(0.01, 5000, allow_nan=False, allow_infinity=False)


@st.composite
def markets(draw):
    """Bars of a few codes (in file order), each on some of the days."""
    rows = []
    for code in draw(st.lists(st.sampled_from(CODES), min_size=1, max_size=3, unique=True)):
        days = draw(st.lists(st.sampled_from(list(DAYS)), min_size=1, max_size=8, unique=True))
        for day in sorted(days):
            low, a, b, high = sorted(draw(st.lists(price, min_size=4, max_size=4)))
            volume = draw(st.integers(0, 10**9))
            rows.append((day, code, a, high, low, b, volume))
    frame = pd.DataFrame(rows, columns=["time", "code", "open", "high", "low", "close", "volume"])
    return frame.sort_values("code", kind="stable").reset_index(drop=True)


def _load(source, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return load_bars(source, **options)
        except DataError:
            return None


@settings(
    max_examples=int(os.environ.get("KORVIT_FOLDER_EXAMPLES", 25)),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
@given(
    markets(),
    st.data(),
    st.one_of(st.none(), st.sampled_from(list(DAYS))),
    st.one_of(st.none(), st.sampled_from(list(DAYS))),
)
def test_a_folder_gives_the_bars_of_one_long_file(frame, data, start, end):
    if start is not None and end is not None and start > end:
        start, end = end, start
    codes = sorted(frame["code"].unique())
    picked = data.draw(
        st.one_of(st.none(), st.lists(st.sampled_from(codes), min_size=1, unique=True))
    )
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        frame.to_csv(root / "long.csv", index=False)
        (root / "files").mkdir()
        for code, part in frame.groupby("code", sort=True):
            own = part.drop(columns="code")
            if data.draw(st.booleans(), label=f"{code} as CSV"):
                own.to_csv(root / "files" / f"{code}.csv", index=False)
            else:
                own.to_parquet(root / "files" / f"{code}.parquet", index=False)
            (root / "parts" / f"code={code}").mkdir(parents=True)
            cut = data.draw(st.integers(0, len(own)), label="split")  # two part files
            own.iloc[:cut].to_parquet(root / "parts" / f"code={code}" / "part-0.parquet")
            own.iloc[cut:].to_parquet(root / "parts" / f"code={code}" / "part-1.parquet")
        options = dict(start=start, end=end, codes=picked)
        want = _load(root / "long.csv", **options)
        for folder in ("files", "parts"):
            got = _load(root / folder, **options)
            assert (got is None) == (want is None), folder
            if want is not None:
                assert got.codes == want.codes
                assert got.times.equals(want.times)
                assert got.values.tobytes() == want.values.tobytes()
                assert (got.frequency, got.interval) == (want.frequency, want.interval)


def _bars(path, code=None, extra=None):
    frame = pd.DataFrame(
        {"time": ["2021-03-01", "2021-03-02"], "open": 10.0, "high": 11.0, "low": 9.0}
    )
    frame["close"], frame["volume"] = 10.5, 100
    if code is not None:
        frame.insert(1, "code", code)
    if extra is not None:
        frame[extra] = 1.0
    if path.suffix == ".parquet":
        frame.to_parquet(path, index=False)
    else:
        frame.to_csv(path, index=False)


BAD = [
    ("nothing", {}, "no bar files in the folder"),
    ("unnamed", {"GOOG.csv": {}}, "GOOG.csv: the file's name is no code"),
    ("twice", {"SSE.1.csv": {}, "SSE.1.parquet": {}}, "a second file of SSE.1"),
    (
        "mixed",
        {"SSE.1.csv": {}, "SSE.2.csv": {"extra": "Adj Close"}},
        "SSE.2.csv, column 'Adj Close': ",
    ),
    ("empty", {"SSE.1.csv": None, "SSE.2.csv": {}}, "SSE.1.csv: the file is empty"),
    ("other code", {"SSE.1.csv": {"code": "SSE.2"}}, "code 'SSE.2' in a file of SSE.1"),
]


@pytest.mark.parametrize("files, expected", [case[1:] for case in BAD], ids=[c[0] for c in BAD])
def test_bad_folders_are_refused_naming_the_file(tmp_path, files, expected):
    for name, options in files.items():
        if options is None:
            (tmp_path / name).write_bytes(b"")
        else:
            _bars(tmp_path / name, **options)
    with pytest.raises(DataError) as caught:
        load_bars(tmp_path)
    message = str(caught.value)
    assert expected in message and "\n" not in message


def test_the_command_line_refuses_a_bad_folder_with_status_2(tmp_path):
    _bars(tmp_path / "GOOG.csv")
    out = tmp_path / "out"
    strategy = Path(__file__).parents[1] / "examples" / "strategies" / "ma_cross.py"
    done = subprocess.run(
        [sys.executable, "-m", "korvit", "backtest", str(strategy), "--data", str(tmp_path)]
        + ["--out", str(out), "--no-progress"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 2, done.stderr
    assert done.stderr.startswith("korvit: ") and "GOOG.csv" in done.stderr
    assert len(done.stderr.strip().splitlines()) == 1 and not out.exists()
