import warnings

import numpy as np
import pytest

from korvit.data import load_bars, load_contracts, load_ticks, sample_path
from korvit.data.sample import generate

NAMES = ["contracts.csv", "daily.csv", "minute.csv", "ticks.csv"]


def test_generator_rebuilds_the_shipped_files(tmp_path):
    generate.main([str(tmp_path)])
    assert sorted(p.name for p in tmp_path.iterdir()) == NAMES
    for name in NAMES:
        assert (tmp_path / name).read_bytes() == sample_path(name).read_bytes(), name


@pytest.fixture(scope="module")
def sample():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        daily = load_bars(sample_path())
        minute = load_bars(sample_path("minute.csv"))
        return dict(
            daily=daily,
            minute=minute,
            ticks=load_ticks(sample_path("ticks.csv"), minute),
            contracts=load_contracts(sample_path("contracts.csv")),
        )


def test_sample_loads_as_described(sample):
    daily, minute, ticks, contracts = (sample[k] for k in ("daily", "minute", "ticks", "contracts"))
    assert daily.codes == ["SZSE.000001", "SZSE.000002", "SSE.600000", "SHFE.RB2405"]
    assert daily.frequency == "day" and len(daily) == 500 and daily.present.all()
    assert minute.codes == ["SHFE.RB2405"] and minute.frequency == "minute"
    assert len(minute) == 5 * 240 and len(set(minute.times.date)) == 5
    assert len(ticks) == 2 * 240
    assert contracts.for_codes(daily.codes)[3].engine_info()["Multiple"] == 10
    stock_volumes = daily.values[:3, :, 4]
    assert (stock_volumes % 100 == 0).all() and (stock_volumes > 0).all()
    prices = daily.values[:3, :, :4]
    assert np.allclose(prices, np.round(prices, 2), rtol=0, atol=1e-9)


def test_sample_ticks_agree_with_their_bars(sample):
    minute, ticks = sample["minute"], sample["ticks"]
    for (code, bar), (times, prices, volumes) in ticks.items():
        o, h, lo, c, volume = minute.values[code, bar]
        assert (prices[0], prices.max(), prices.min(), prices[-1]) == (o, h, lo, c)
        assert volumes.sum() == volume
        label = minute.times[bar].to_datetime64()
        assert (times < label).all() and (times > label - np.timedelta64(1, "m")).all()


def test_daily_futures_bars_of_the_minute_days_sum_up_the_minutes(sample):
    daily, minute = sample["daily"], sample["minute"]
    rb = daily.index_of("SHFE.RB2405")
    for day in sorted(set(minute.times.normalize())):
        bars = minute.values[0, minute.times.normalize() == day]
        expected = [bars[0, 0], bars[:, 1].max(), bars[:, 2].min(), bars[-1, 3], bars[:, 4].sum()]
        assert daily.values[rb, daily.times.get_loc(day)].tolist() == expected


def test_unknown_sample_name_lists_the_files():
    with pytest.raises(FileNotFoundError, match="available are " + ", ".join(NAMES)):
        sample_path("hourly.csv")
