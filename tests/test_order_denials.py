"""Denied orders in sight: counted in the statistics, named with their reasons
(counted by kind) in the summary, the report and a warning, on the command line
and in sweeps; a run without denials says nothing of them."""

import json
import textwrap
import warnings

import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from support import korvit

from korvit.backtest import OrdersDeniedWarning, run
from korvit.backtest.results import BacktestResult, denials_line, orders_line
from korvit.backtest.stats import ORDER_STATS, order_counts, order_reasons

CODE = "SZSE.000001"
LOTS = "volume not a multiple of the lot size 100"


def bars(days=6):
    rows = [
        (time, CODE, 10.0 + day, 10.5 + day, 9.5 + day, 10.2 + day, 100_000)
        for day, time in enumerate(pd.bdate_range("2024-01-02", periods=days))
    ]
    return pd.DataFrame(rows, columns=["time", "code", "open", "high", "low", "close", "volume"])


def trading(orders):
    """A strategy placing ``orders`` (bar number -> [(volume, limit price or None)]) as buys."""

    def on_data(context):
        from korvit.strategy import buy

        context.bar = getattr(context, "bar", -1) + 1
        for volume, price in orders.get(context.bar, ()):
            buy(CODE, volume, price)

    return {"init": lambda context: None, "on_data": on_data}


def equity(days=3):
    times = pd.bdate_range("2024-01-02", periods=days)
    return pd.DataFrame(
        {
            "time": times,
            "account": "main",
            "cash": 1e6,
            "market_value": 0.0,
            "margin": 0.0,
            "equity": 1e6,
        }
    )


# ------------------------------------------------------------------ runs


def test_a_run_with_denials_counts_them_and_names_their_reasons_by_kind(tmp_path):
    # bar 0: two broken lots of different volumes (one kind), a good order, one beyond the cash;
    # bar 1: a limit order out of reach, cancelled as the next bar does not reach it;
    # the last bar: an order never dealt, open at the end
    strategy = trading(
        {
            0: [(150, None), (250, None), (100, None), (1_000_000, None)],
            1: [(100, 1.0)],
            5: [(100, None)],
        }
    )
    with pytest.warns(OrdersDeniedWarning) as caught:
        result = run(strategy, bars(), cancel_unfilled_limits=True, progress=False)
    denied = [w for w in caught if w.category is OrdersDeniedWarning]
    assert len(denied) == 1 and denied[0].filename == __file__  # the line that ran it
    assert str(denied[0].message) == (
        f"3 of 6 orders denied: {LOTS} (2), not enough cash (1); "
        "see the reason column of the result's orders"
    )
    orders = result.orders
    assert orders["reason"].tolist()[:2] == [
        "volume 150 is not a multiple of the lot size 100",
        "volume 250 is not a multiple of the lot size 100",
    ]
    assert orders["reason_kind"].tolist()[:2] == [LOTS, LOTS]

    stats = result.stats
    assert [stats[name] for name in ORDER_STATS] == [6, 1, 1, 3]
    lines = result.summary().splitlines()
    at = lines.index("Orders  placed 6, filled 1, cancelled 1, denied 3, open at the end 1")
    assert lines[at + 1 : at + 3] == [
        f"        denied: {LOTS} (2), not enough cash (1)",
        "        cancelled: limit price not reached (1)",
    ]
    assert "3 orders denied" in repr(result) and "3 of 6 orders denied" in result._repr_html_()

    result.save(tmp_path)
    saved = json.loads((tmp_path / "stats.json").read_text())["stats"]
    assert [saved[name] for name in ORDER_STATS] == [6, 1, 1, 3]
    assert pd.read_csv(tmp_path / "orders.csv")["reason_kind"].tolist()[:2] == [LOTS, LOTS]
    html = (tmp_path / "report.html").read_text()
    assert f"3 of 6 orders denied: {LOTS} (2), not enough cash (1) (<a href='#orders'>" in html
    assert '<h2 id="orders">Orders</h2>' in html
    assert f"<tr><th>{LOTS}</th><td>2</td></tr>" in html
    assert "<tr><th>limit price not reached</th><td>1</td></tr>" in html
    assert "<tr><th>Orders denied</th><td>3</td></tr>" in html


def test_a_run_without_denials_warns_of_none():
    with warnings.catch_warnings():
        warnings.simplefilter("error", OrdersDeniedWarning)
        result = run(trading({0: [(100, None)], 1: [(200, None)]}), bars(), progress=False)
    assert [result.stats[name] for name in ORDER_STATS] == [2, 2, 0, 0]
    summary = result.summary()
    assert (
        "Orders  placed 2, filled 2, cancelled 0, denied 0" in summary and "denied:" not in summary
    )
    html = result.to_html()
    assert "class='alert'" not in html and "orders denied" not in html
    assert "<tr><th>Orders placed</th><td>2</td></tr>" in html


# ------------------------------------------------------------------ results made from tables


def test_reasons_are_counted_by_kind_and_the_rarest_summed():
    rows = [
        ("denied", f"volume {v} is not a multiple of the lot size 100", LOTS)
        for v in (150, 250, 50)
    ]
    rows += [("denied", "not enough cash", "not enough cash")] * 2
    rows += [
        ("denied", reason, reason)
        for reason in ("not enough position to close", "illegal volume", "limit up")
    ]
    rows += [
        ("cancelled", "no trading in the bar", "no trading in the bar"),
        ("cancelled", "", ""),
        ("filled", "", ""),
        ("pending", "", ""),
    ]
    orders = pd.DataFrame(rows, columns=["status", "reason", "reason_kind"])
    result = BacktestResult(equity(), orders, None, None, frequency="day", initial_cash=1e6)
    lines = result.summary().splitlines()
    at = lines.index("Orders  placed 12, filled 1, cancelled 2, denied 8, open at the end 1")
    # the three most common by name, the three others summed; a cancel without a reason is not a reason
    assert lines[at + 1 : at + 3] == [
        f"        denied: {LOTS} (3), not enough cash (2), illegal volume (1), 2 other reasons (2)",
        "        cancelled: no trading in the bar (1)",
    ]
    html = result.to_html()
    assert "<h3>Why orders were cancelled</h3>" in html
    assert "<tr><th>no trading in the bar</th><td>1</td></tr>" in html
    assert "8 of 12 orders denied" in html
    # one more reason than are named is named, rather than "1 other reason"
    four = orders[~orders["reason"].isin(["limit up", "not enough position to close"])]
    assert order_reasons(four)[-1] == ("illegal volume", 1) and denials_line(four).endswith(
        "illegal volume (1)"
    )


def test_a_table_without_reason_kinds_counts_the_reasons_themselves():
    """An orders table saved before the orders had kinds of reason (or built by hand)."""
    orders = pd.DataFrame(
        {
            "status": ["denied", "denied", "denied", "filled"],
            "reason": [
                "not enough cash",
                "not enough cash",
                "volume 150 is not a multiple of the lot size 100",
                None,
            ],
        }
    )
    result = BacktestResult(equity(), orders, None, None, frequency="day", initial_cash=1e6)
    assert denials_line(result.orders, "orders.csv") == (
        "3 of 4 orders denied: not enough cash (2), volume 150 is not a multiple of the lot size 100 (1); "
        "see orders.csv"
    )
    one = BacktestResult(equity(), orders.iloc[[0]], None, None, frequency="day", initial_cash=1e6)
    assert denials_line(one.orders) == "1 order denied: not enough cash (1)"


STATUSES = ("new", "pending", "filled", "cancelled", "denied")
REASONS = (
    "",
    "not enough cash",
    "no trading in the bar",
    "volume 150 is not a multiple of the lot size 100",
)


@settings(max_examples=60, deadline=None)
@given(
    st.lists(
        st.tuples(st.sampled_from(STATUSES), st.sampled_from(REASONS), st.booleans()), max_size=30
    )
)
def test_the_counts_add_up_whatever_the_orders(rows):
    orders = pd.DataFrame(
        [
            (status, reason, reason.replace("150 is not", "not") if kind else None)
            for status, reason, kind in rows
        ],
        columns=["status", "reason", "reason_kind"],
    )
    counts = order_counts(orders)
    statuses = [status for status, _, _ in rows]
    assert counts["Orders placed"] == len(rows)
    assert counts["Orders filled"] + counts["Orders cancelled"] + counts["Orders denied"] + counts[
        "open"
    ] == len(rows)
    assert counts["Orders denied"] == statuses.count("denied")
    for status in ("denied", "cancelled"):
        reasons = order_reasons(orders, status)
        assert sum(n for _, n in reasons) == sum(1 for s, r, _ in rows if s == status and r)
        assert [n for _, n in reasons] == sorted((n for _, n in reasons), reverse=True)
        # broken lots of one lot size are one kind where the kind is known
        assert sum(reason == LOTS for reason, _ in reasons) <= 1
    line = denials_line(orders)
    assert (line is None) == (counts["Orders denied"] == 0)
    assert orders_line(orders).startswith(f"placed {len(rows)}, ")


# ------------------------------------------------------------------ the command line


def _files(tmp_path, volume):
    bars().to_csv(tmp_path / "bars.csv", index=False)
    strategy = tmp_path / "buyer.py"
    strategy.write_text(
        textwrap.dedent(f"""
        from korvit.strategy import buy

        def init(context):
            pass

        def on_data(context):
            if not hasattr(context, "done"):
                context.done = buy("{CODE}", context.params.get("volume", {volume}))
    """)
    )
    return strategy, tmp_path / "bars.csv"


def test_the_command_warns_of_denied_orders_naming_the_saved_orders_csv(tmp_path):
    strategy, data = _files(tmp_path, 150)
    out = tmp_path / "out"
    done = korvit("backtest", strategy, "--data", data, "--out", out, "--no-progress")
    assert done.returncode == 0, done.stderr
    assert done.stderr.splitlines()[-1] == (
        f"korvit: warning: 1 order denied: {LOTS} (1); see {out / 'orders.csv'}"
    )
    assert "Orders  placed 1, filled 0, cancelled 0, denied 1" in done.stdout
    assert "OrdersDeniedWarning" not in done.stderr  # told once, in the command's words
    assert pd.read_csv(out / "orders.csv")["reason"].tolist() == [
        "volume 150 is not a multiple of the lot size 100"
    ]


def test_the_command_says_nothing_of_denials_when_there_are_none(tmp_path):
    strategy, data = _files(tmp_path, 100)
    done = korvit("backtest", strategy, "--data", data, "--out", tmp_path / "out", "--no-progress")
    assert done.returncode == 0, done.stderr
    assert (
        "denied" not in done.stderr
        and "Orders  placed 1, filled 1, cancelled 0, denied 0" in done.stdout
    )


def test_a_sweep_counts_each_runs_denied_orders(tmp_path):
    strategy, data = _files(tmp_path, 100)
    out = tmp_path / "sweep"
    done = korvit(
        "sweep",
        strategy,
        "--data",
        data,
        "--grid",
        "volume=100,150",
        "--workers",
        "1",
        "--out",
        out,
        "--no-progress",
    )
    assert done.returncode == 0, done.stderr
    table = pd.read_csv(out / "sweep.csv")
    assert table[["volume", "Orders placed", "Orders denied"]].values.tolist() == [
        [100, 1, 0],
        [150, 1, 1],
    ]
    assert done.stderr.splitlines()[-1] == (
        "korvit: warning: 1 of 2 runs had orders denied, 1 of them every "
        f"order; see the column 'Orders denied' of {out / 'sweep.csv'}"
    )
    assert "OrdersDeniedWarning" not in done.stderr  # the runs' own warnings stay in the workers
    assert done.stdout.splitlines()[0].split()[-2:] == ["Orders", "denied"]
    report = (out / "report.html").read_text()
    assert (
        "1 run had orders denied (in 1 every order)" in report
        and "<th class='l'>Orders denied</th>" in report
    )
