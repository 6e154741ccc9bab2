import json
from dataclasses import replace

import pandas as pd
import pytest

from korvit.data import Contract, DataError, check_code, load_contracts
from korvit.data.contracts import STOCK_FEES, fee_schedules

HEADER = "code,kind,min_move,multiplier,long_margin,short_margin,fee_open,fee_close\n"


def test_defaults_per_kind():
    stock, futures = Contract.default("SZSE.000001", "stock"), Contract("SHFE.RB2405", "Futures")
    assert (
        stock.min_move,
        stock.multiplier,
        stock.long_margin,
        stock.short_margin,
        stock.fee_open,
        stock.fee_close,
    ) == (0.01, 1, 1, 1, 0, 0)
    assert (
        futures.kind,
        futures.min_move,
        futures.multiplier,
        futures.long_margin,
        futures.short_margin,
        futures.fee_open,
        futures.fee_close,
    ) == ("futures", 1, 10, 0.1, 0.1, 0.0001, 0.0001)
    assert futures.is_futures and not stock.is_futures
    # lots of 100 shares for a stock, single lots for futures; no stock fees unless stated
    assert (stock.lot_size, futures.lot_size) == (100, 1)
    assert {getattr(c, name) for c in (stock, futures) for name in STOCK_FEES} == {0}
    info = Contract("SHFE.RB2405", "futures", short_margin=0.12, fee_open=3).engine_info()
    assert info == {
        "MinMove": 1.0,
        "Multiple": 10.0,
        "LongMargin": 0.1,
        "ShortMargin": 0.12,
        "TradingFeeOpen": 3.0,
        "TradingFeeClose": 0.0001,
    }
    assert all(type(v) is float for v in info.values())
    # a stock states its lot size and its whole fee schedule to the engine
    info = Contract(
        "SZSE.000001",
        "stock",
        lot_size="1",
        commission=0.0003,
        min_commission=5,
        tax_close="0.001",
        transfer_fee=2e-5,
    ).engine_info()
    assert info == {
        "MinMove": 0.01,
        "Multiple": 1.0,
        "LongMargin": 1.0,
        "ShortMargin": 1.0,
        "TradingFeeOpen": 0.0,
        "TradingFeeClose": 0.0,
        "LotSize": 1,
        "CommissionRate": 0.0003,
        "MinTradeFee": 5.0,
        "OpenTax": 0.0,
        "CloseTax": 0.001,
        "TransFee": 2e-5,
    }
    assert type(info.pop("LotSize")) is int and all(type(v) is float for v in info.values())


def test_every_source_gives_the_same_contracts(tmp_path):
    rows = [
        {"code": "SZSE.000001", "kind": "stock"},
        {"code": "SHFE.RB2405", "kind": "futures", "multiplier": 10, "fee_open": 3.0},
    ]
    (tmp_path / "c.csv").write_text(
        HEADER + "SZSE.000001,stock,,,,,,\nSHFE.RB2405,futures,,10,,,3,\n"
    )
    (tmp_path / "list.json").write_text(json.dumps(rows))
    (tmp_path / "map.json").write_text(
        json.dumps(
            {
                "SZSE.000001": {"kind": "stock"},
                "SHFE.RB2405": {"kind": "futures", "fee_open": 3, "min_move": None},
            }
        )
    )
    expected = {
        "SZSE.000001": Contract.default("SZSE.000001", "stock"),
        "SHFE.RB2405": Contract("SHFE.RB2405", "futures", fee_open=3),
    }
    for source in (
        tmp_path / "c.csv",
        str(tmp_path / "list.json"),
        tmp_path / "map.json",
        rows,
        pd.DataFrame(rows),
        {r["code"]: r for r in rows},
        load_contracts(rows),
    ):
        assert load_contracts(source) == expected, source
    # a table loaded before can be handed on (to Backtest, to a sweep's workers) as it is
    assert load_contracts(load_contracts(rows)) == expected


def test_lookup_ignores_case():
    table = load_contracts([{"code": "shfe.rb2405", "kind": "futures"}])
    assert list(table) == ["shfe.rb2405"]  # kept as written
    assert "SHFE.RB2405" in table and table["SHFE.rb2405"].code == "shfe.rb2405"
    assert table.for_codes(["SHFE.RB2405"]) == [table["shfe.rb2405"]]
    with pytest.raises(KeyError, match="no contract for 'SSE.600000'"):
        table["SSE.600000"]


@pytest.mark.parametrize(
    "row, column, line, phrase",
    [
        (2, "kind", "SHFE.RB2405,bond,,,,,,", "unknown kind 'bond'"),
        (2, "kind", "SHFE.RB2405,,,,,,,", "kind is missing"),
        (2, "code", "RB2405,futures,,,,,,", "code 'RB2405' has no exchange prefix"),
        (2, "min_move", "SHFE.RB2405,futures,0,,,,,", "min_move 0.0 is not positive"),
        (2, "multiplier", "SHFE.RB2405,futures,,-10,,,,", "not positive"),
        (2, "multiplier", "SHFE.RB2405,futures,,ten,,,,", "cannot read 'ten' as a number"),
        (2, "long_margin", "SHFE.RB2405,futures,,,1.5,,,", "not in (0, 1]"),
        (2, "short_margin", "SHFE.RB2405,futures,,,,0,,", "not in (0, 1]"),
        (2, "fee_close", "SHFE.RB2405,futures,,,,,,-1", "negative"),
        (
            2,
            "fee_open",
            "SZSE.000001,stock,,,,,0.0003,",
            "a stock pays commission, min_commission, "
            "tax_open, tax_close, transfer_fee: leave fee_open",
        ),
        (
            3,
            "code",
            "SHFE.RB2405,futures,,,,,,\nshfe.rb2405,futures,,,,,,",
            "given twice (first at",
        ),
        (
            2,
            "min_move",
            "SHFE.RB2405,futures,1e-9,,,,,",
            "min_move 1e-09 is below 1e-8, the finest price step",
        ),
        (2, "min_move", "SHFE.RB2405,futures,1e308,,,,,", "min_move 1e+308 is above 1e9"),
        (2, "multiplier", "SHFE.RB2405,futures,,1e300,,,,", "multiplier 1e+300 is above 1e9"),
        (
            2,
            "fee_open",
            "SHFE.RB2405,futures,,,,,1e10,",
            "fee 10000000000.0 is above 1e9, the largest fee korvit accepts",
        ),
    ],
)
def test_bad_contract_names_file_row_and_column(tmp_path, row, column, line, phrase):
    path = tmp_path / "contracts.csv"
    path.write_text(HEADER + line + "\n")
    with pytest.raises(DataError) as caught:
        load_contracts(path)
    assert str(caught.value).startswith(f"{path}, row {row}, column '{column}': ")
    assert phrase in str(caught.value)


FULL_HEADER = (
    HEADER.strip() + ",lot_size,commission,min_commission,tax_open,tax_close,transfer_fee\n"
)


@pytest.mark.parametrize(
    "row, column, line, phrase",
    [
        (2, "lot_size", "A.B,stock,,,,,,,-100,,,,,", "lot size -100.0 is not a number above 0"),
        (2, "lot_size", "A.B,stock,,,,,,,0,,,,,", "lot size 0.0 is not a number above 0"),
        (2, "lot_size", "A.B,stock,,,,,,,lots,,,,,", "cannot read 'lots' as a number"),
        (2, "commission", "A.B,stock,,,,,,,,3,,,,", "fee rate 3.0 is above 1"),
        (2, "transfer_fee", "A.B,stock,,,,,,,,,,,,1.01", "fee rate 1.01 is above 1"),
        (2, "tax_close", "A.B,stock,,,,,,,,,,,-0.001,", "fee -0.001 is negative"),
        (2, "min_commission", "A.B,stock,,,,,,,,,-5,,,", "fee -5.0 is negative"),
        (2, "tax_open", "A.B,stock,,,,,,,,,,nan,,", "not a finite number"),
        (
            3,
            "commission",
            "A.B,stock,,,,,,,,,,,,\nC.D,futures,,,,,,,,0.0003,,,,",
            "futures pay fee_open, fee_close: leave commission empty or 0",
        ),
    ],
)
def test_bad_lot_size_and_stock_fees_name_file_row_and_column(tmp_path, row, column, line, phrase):
    path = tmp_path / "contracts.csv"
    path.write_text(FULL_HEADER + line + "\n")
    with pytest.raises(DataError) as caught:
        load_contracts(path)
    assert str(caught.value).startswith(f"{path}, row {row}, column '{column}': ")
    assert phrase in str(caught.value) and "\n" not in str(caught.value)


def test_lot_size_and_stock_fees_from_every_source(tmp_path):
    row = {
        "code": "SZSE.000001",
        "kind": "stock",
        "lot_size": 1,
        "commission": 0.0003,
        "min_commission": 5,
        "tax_close": 0.001,
        "transfer_fee": 0.00002,
    }
    expected = Contract(
        "SZSE.000001",
        "stock",
        lot_size=1,
        commission=0.0003,
        min_commission=5.0,
        tax_close=0.001,
        transfer_fee=0.00002,
    )
    (tmp_path / "c.csv").write_text(
        "code,kind,lot_size,commission,min_commission,tax_close,transfer_fee\n"
        "SZSE.000001,stock,1,0.0003,5,0.001,0.00002\n"
    )
    (tmp_path / "c.json").write_text(json.dumps({"SZSE.000001": row}))
    # a DataFrame column with a gap is float (1.0): still a whole lot size
    frame = pd.DataFrame([row, {"code": "SHFE.RB2405", "kind": "futures"}])
    for source in (tmp_path / "c.csv", tmp_path / "c.json", [row], frame):
        loaded = load_contracts(source)["SZSE.000001"]
        assert loaded == expected and type(loaded.lot_size) is int, source
    assert load_contracts(frame)["SHFE.RB2405"].lot_size == 1


def test_fee_schedules_in_a_few_words():
    stock = Contract(
        "A.B", "stock", commission=0.0003, min_commission=5, tax_close=0.001, transfer_fee=0.00002
    )
    contracts = [
        stock,
        Contract("C.D", "stock"),
        Contract("E.F", "futures"),
        Contract("G.H", "futures", fee_open=3, fee_close=0),
        replace(stock, code="I.J"),
    ]
    assert fee_schedules(contracts) == [
        "A.B, I.J: commission 0.03 % (at least 5.00), transfer fee 0.002 %, tax 0.1 % on closing",
        "C.D: no fees",
        "E.F: 0.01 % of the value to open and to close",
        "G.H: 3 per lot to open",
    ]
    assert all(c.without_fees().fee_text() == "no fees" for c in contracts)


def test_bad_contract_sources(tmp_path):
    with pytest.raises(DataError, match=r"item 2, column 'multiplyer': unknown column"):
        load_contracts(
            [{"code": "A.B", "kind": "stock"}, {"code": "C.D", "kind": "futures", "multiplyer": 5}]
        )
    (tmp_path / "c.csv").write_text("code,min_move\nA.B,0.01\n")
    with pytest.raises(DataError, match=r"c\.csv, row 1, column 'kind': missing column"):
        load_contracts(tmp_path / "c.csv")
    (tmp_path / "c.json").write_text('[{"code": "A.B",}]')
    with pytest.raises(DataError, match=r"c\.json, line 1: not valid JSON"):
        load_contracts(tmp_path / "c.json")
    with pytest.raises(DataError, match=r"entry 'A.B', column 'code': 'C.D' differs"):
        load_contracts({"A.B": {"code": "C.D", "kind": "stock"}})
    with pytest.raises(DataError, match=r"Contract A.B, field 'long_margin'"):
        Contract("A.B", "futures", long_margin=2)


@pytest.mark.parametrize(
    "code, phrase",
    [
        (
            "AAPL",
            "here: code 'AAPL' has no exchange prefix: write it as EXCHANGE.SYMBOL, "
            "e.g. 'SIM.AAPL'",
        ),
        ("A.B.C", "code 'A.B.C' has 2 dots"),
        (".AAPL", "empty exchange"),
        ("SIM.", "empty symbol"),
        ("SIM. A", "holds a blank"),
        ("", "code is missing"),
        (7, "code 7 is not text"),
    ],
)
def test_check_code(code, phrase):
    with pytest.raises(DataError) as caught:
        check_code(code, "here")
    assert str(caught.value).startswith("here: ") and phrase in str(caught.value)


def test_check_code_keeps_the_code_as_written():
    assert check_code(" sim.Aapl ") == "sim.Aapl"


def test_a_contracts_file_read_again_gives_its_contracts_as_they_are_now(tmp_path):
    path = tmp_path / "contracts.csv"
    path.write_text("code,kind,lot_size\nSZSE.000001,stock,100\n")
    first = load_contracts(path)
    first["SZSE.000002"] = first["SZSE.000001"]  # a caller's own mapping
    assert list(load_contracts(path)) == ["SZSE.000001"]
    path.write_text("code,kind,lot_size\nSZSE.000001,stock,200\n")  # the same size, at once
    assert load_contracts(path)["szse.000001"].lot_size == 200
