"""The benchmark workloads' data generator (``bench/make_workloads.py``) and the way the
benchmarks decide whether a folder holds their data (``bench_workloads.ensure_data``).

The benchmarks' published ratios are only comparable when every machine runs the very
same bytes, and a folder left half-written or edited by hand must be regenerated rather
than measured."""

import csv
import importlib.util
import json
import sys
from collections import defaultdict
from decimal import Decimal
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parent.parent / "bench"
SMALL = {"seed": 7, "w1_stocks": 3, "w1_bars": 60, "w2_bars": 500, "w2_ticks": 4}


def _load(name):
    if str(BENCH) not in sys.path:
        sys.path.insert(0, str(BENCH))
    spec = importlib.util.spec_from_file_location(name, BENCH / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def make_workloads():
    return _load("make_workloads")


@pytest.fixture(scope="module")
def small(make_workloads, tmp_path_factory):
    out = tmp_path_factory.mktemp("workloads")
    make_workloads.generate(out, **SMALL)
    return out


def _rows(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def test_same_arguments_same_bytes_and_the_manifest_names_every_file(
    make_workloads, small, tmp_path
):
    make_workloads.generate(tmp_path, **SMALL)
    manifest = json.loads((small / "manifest.json").read_text())
    assert {k: manifest[k] for k in SMALL} == SMALL
    written = {p.relative_to(small).as_posix() for p in small.rglob("*.csv")}
    assert set(manifest["sha256"]) == written
    for name, digest in manifest["sha256"].items():
        assert (tmp_path / name).read_bytes() == (small / name).read_bytes()
        assert make_workloads.sha256(small / name) == digest
    # another seed is other data
    make_workloads.generate(tmp_path, **{**SMALL, "seed": 8})
    assert (tmp_path / "w1/S000.csv").read_bytes() != (small / "w1/S000.csv").read_bytes()


def test_w1_bars_are_sound_daily_bars(small):
    symbols = [r["symbol"] for r in _rows(small / "w1/instruments.csv")]
    assert symbols == ["S000", "S001", "S002"]
    for symbol in symbols:
        rows = _rows(small / f"w1/{symbol}.csv")
        assert len(rows) == SMALL["w1_bars"]
        days = [r["datetime"] for r in rows]
        assert days == sorted(set(days)) and days[0] == "2021-01-04"
        previous = None
        for r in rows:
            o, h, lo, c = (Decimal(r[k]) for k in ("open", "high", "low", "close"))
            assert all(x == x.quantize(Decimal("0.01")) for x in (o, h, lo, c)), r
            assert Decimal(5) <= lo <= min(o, c) <= max(o, c) <= h <= Decimal(100), r
            volume = int(r["volume"])
            assert volume % 100 == 0
            if volume == 0:  # a suspended day repeats the previous close
                assert o == h == lo == c == previous, r
            previous = c


def test_w2_bars_are_their_ticks(small):
    bars = _rows(small / "w2/FUT1_1m.csv")
    ticks = _rows(small / "w2/FUT1_ticks.csv")
    assert len(bars) == SMALL["w2_bars"]
    assert len(ticks) == SMALL["w2_bars"] * SMALL["w2_ticks"]
    by_bar = defaultdict(list)
    for t in ticks:
        by_bar[t["datetime"][:16]].append(t)
    assert [b["datetime"][:16] for b in bars] == list(by_bar)
    for b in bars:
        mine = by_bar[b["datetime"][:16]]
        prices = [Decimal(t["price"]) for t in mine]
        assert all(p % Decimal("0.2") == 0 for p in prices)
        assert Decimal(b["open"]) == prices[0] and Decimal(b["close"]) == prices[-1]
        assert Decimal(b["high"]) == max(prices) and Decimal(b["low"]) == min(prices)
        assert int(b["volume"]) == sum(int(t["volume"]) for t in mine)
        assert b["datetime"][11:16] < "15:00" and not ("11:30" <= b["datetime"][11:16] < "13:00")
    assert bars[240]["datetime"] == "2021-01-05 09:30:00"


def test_bad_arguments_are_refused(make_workloads, tmp_path):
    with pytest.raises(ValueError, match="w2_ticks"):
        make_workloads.generate(tmp_path, w2_ticks=1)
    with pytest.raises(TypeError, match="w3_bars"):
        make_workloads.generate(tmp_path, w3_bars=1)
    assert not (tmp_path / "manifest.json").exists()


def test_a_damaged_or_other_folder_is_generated_again(small, tmp_path, capsys):
    bench_workloads = _load("bench_workloads")
    data = tmp_path / "data"
    bench_workloads.ensure_data(data, SMALL)
    assert "generating" in capsys.readouterr().out
    bench_workloads.ensure_data(data, SMALL)  # kept as it is
    assert capsys.readouterr().out == ""
    original = (data / "w1/S001.csv").read_bytes()
    (data / "w1/S001.csv").write_bytes(original.replace(b",", b";", 1))
    bench_workloads.ensure_data(data, SMALL)
    assert "generating" in capsys.readouterr().out
    assert (data / "w1/S001.csv").read_bytes() == original
    # the same folder asked for with other arguments is written again with them
    bench_workloads.ensure_data(data, {**SMALL, "w1_bars": 30})
    assert len(_rows(data / "w1/S001.csv")) == 30
