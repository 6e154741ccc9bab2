"""What a run gives: its ``BacktestResult``.

``build_result`` makes the result of a ``Backtest`` (``test``) once its loop has
run: the equity from the loop's array, the orders, trades and stop orders from
the engine's records (their tables built when first read; they keep only what
they are built from, not the run's environment), and what the report states
about the run (``meta``).  The result writes its own files (``save``).
"""

from __future__ import annotations

import types
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from korvit.tframe.sysdefine import GlobalDefine as gv

if TYPE_CHECKING:
    from korvit.backtest.records import FillClock
    from korvit.backtest.results import BacktestResult
    from korvit.backtest.runner import Backtest
    from korvit.backtest.session import Session
    from korvit.data import Bars

__all__ = ["build_result"]


def build_result(
    test: Backtest, env: Any, session: Session, equity: npt.NDArray[np.float64]
) -> BacktestResult:
    """The ``BacktestResult`` of ``test``'s run, from the engine's records in ``env``,
    the run's ``session`` and the loop's ``equity``."""
    from korvit.backtest.results import BacktestResult
    from korvit.backtest.session import params_in_force
    from korvit.data.contracts import fee_schedules

    params, defaulted = params_in_force(test.params, env.vr.g_KorvitUserContext)

    bars = _traded_bars(test, session.bars)
    vr = env.vr
    # The tables are built from the engine's records when first read; they
    # keep only what they are built from (not the run's environment).
    records = _Records(
        vr.g_KVOrders,
        vr.g_KVStopOrders,
        vr.g_KVTrades,
        session,
        _clock(test, session),
        _Equity(bars.times, session.account_names, equity),
    )
    result = BacktestResult(
        records.equity,
        records.orders,
        records.trades,
        records.stops,
        frequency=bars.frequency,
        initial_cash=float(sum(test.accounts.values())),
        strategy=test.name,
        params=params,
        params_defaulted=defaulted,
        bars=bars,
        indicators=_drawn_indicators(session, test.first),
        benchmark=test.benchmark,
        calendar=test.calendar,
        calendar_why=test.calendar_why,
        meta={
            "codes": list(bars.codes),
            "accounts": dict(test.accounts),
            "log_dir": None,  # the folder the run's logs are kept in, set when it ends
            "fees": fee_schedules(session.contracts),
            "bars": bars.kind,
            "calendar": {
                "name": test.calendar.name,
                "sessions_per_year": test.calendar.sessions_per_year,
                "chosen": test.calendar_why,
            },
            **_run_meta(test, bars, session),
        },
    )
    result._denied = _any_denied(vr.g_KVOrders)
    result._run = records
    return result


def _drawn_indicators(
    session: Session, first: int
) -> dict[str, list[tuple[str, npt.NDArray[np.float64], str]]]:
    """The indicators the strategy made in ``init``, to draw on each code's
    price chart: code -> [(label, values, pane)], in the order they were
    made, each's values on the traded bars' timeline (from bar ``first`` on:
    a read-only view, no copy).  The pane is "price" (moving averages,
    bands, highest and lowest: over the candles), "volume" (averages of the
    volume: over its bars), or the name of a pane of its own below them
    (rsi, atr, macd).  An ``indicator(...)`` of one's own goes over the
    candles when at least half of its known values lie between the code's
    lowest low and highest high over the run, else in a pane of its own,
    named as it is."""
    out: dict[str, list[tuple[str, npt.NDArray[np.float64], str]]] = {}
    ranges: dict[int, tuple[float, float]] = {}
    for target, label, series, pane in session.drawn:
        values = series._values[first:]
        if pane is None:
            if target not in ranges:
                bars = session.bars.values[target, first:]
                with np.errstate(all="ignore"):
                    ranges[target] = (
                        float(np.nanmin(bars[:, 2], initial=np.inf)),
                        float(np.nanmax(bars[:, 1], initial=-np.inf)),
                    )
            low, high = ranges[target]
            known = values[np.isfinite(values)]
            inside = np.count_nonzero((known >= low) & (known <= high))
            near = len(known) > 0 and 2 * inside >= len(known)
            pane = "price" if near else label.split("(")[0].split(".")[0]
        out.setdefault(session.codes[target], []).append((label, values, pane))
    return out


def _clock(test: Backtest, session: Session) -> FillClock:
    """The clock of the run's fills: each bar's stated time (the start of an
    intraday bar's period, the label less the period; a daily bar's day),
    the bar of every trade and fired stop, and the ticks."""
    from korvit.backtest.records import FillClock

    bars = session.bars
    starts = bars.times if bars.interval is None else bars.times - bars.interval
    trade_bars = np.repeat(
        np.array([t for t, _ in session.fills], dtype=np.int64),
        np.array([n for _, n in session.fills], dtype=np.int64),
    )
    return FillClock(
        starts.to_numpy().astype("datetime64[ns]"), trade_bars, session.fired_on, test.ticks
    )


def _traded_bars(test: Backtest, bars: Bars) -> Bars:
    """The bars the run traded: without the warm-up before them."""
    if not test.first:
        return bars
    from korvit.data import Bars

    return Bars(
        bars.codes,
        bars.times[test.first :],
        bars.values[:, test.first :],
        bars.frequency,
        source=bars.source,
        interval=bars.interval,
    )


def _run_meta(test: Backtest, bars: Bars, session: Session) -> dict[str, Any]:
    """What the report states about the run: the strategy's file, the data
    (the bars traded, and how many warm-up bars came before them), the
    contracts' lots, the settings that change fills, the version."""
    import korvit

    no_contract = test.no_contract_line()
    return {
        **({"no_contract": no_contract} if no_contract else {}),
        "warmup_bars": test.first,
        "strategy_file": test.path,
        "version": korvit.__version__,
        "settings": dict(test.options),
        "data": {
            "source": str(bars.source),
            "frequency": bars.frequency,
            "bars": len(bars.times),
            "start": bars.times[0] if len(bars.times) else None,
            "end": bars.times[-1] if len(bars.times) else None,
        },
        "contracts": {
            c.code: {
                "kind": c.kind,
                "lot_size": c.lot_size,
                "multiplier": c.multiplier,
                "min_move": c.min_move,
            }
            for c in session.contracts
        },
    }


def _equity_frame(
    times: pd.DatetimeIndex, account_names: Sequence[str], equity: npt.NDArray[np.float64]
) -> pd.DataFrame:
    """The equity table: a row per bar and account, from the loop's array
    (bars x accounts x (cash, market value, margin, equity))."""
    n_bars, n_accounts = equity.shape[:2]
    frame: pd.DataFrame = pd.DataFrame(
        {
            "time": np.repeat(times.to_numpy(), n_accounts),
            "account": np.tile(np.array(account_names, dtype=object), n_bars),
            "cash": equity[:, :, 0].ravel(),
            "market_value": equity[:, :, 1].ravel(),
            "margin": equity[:, :, 2].ravel(),
            "equity": equity[:, :, 3].ravel(),
        }
    )
    return frame


class _Equity:
    """The run's equity array (bars x accounts x (cash, market value, margin, equity))
    with the bars' times and the account names: its table when called, and (with one
    account, its bars in time order) the total curve and the exposure read from the
    array at once, as the result derives them from the table."""

    def __init__(
        self,
        times: pd.DatetimeIndex,
        account_names: Sequence[str],
        equity: npt.NDArray[np.float64],
    ) -> None:
        self.times, self.account_names, self.values = times, list(account_names), equity

    def __call__(self) -> pd.DataFrame:
        return _equity_frame(self.times, self.account_names, self.values)

    def _one_account(self) -> tuple[npt.NDArray[np.datetime64], npt.NDArray[np.float64]] | None:
        """The bars' times and the one account's rows, when the table holds one row per
        time, the times in order (else None)."""
        stamps = self.times.to_numpy()
        if (
            len(self.account_names) != 1
            or not len(stamps)
            or stamps.dtype != np.dtype("datetime64[ns]")
            or np.isnat(stamps[0])
            or not (stamps[1:] > stamps[:-1]).all()
        ):
            return None
        return stamps, self.values[:, 0, :]

    def curve(self) -> pd.Series[float] | None:
        """``BacktestResult.equity_curve``; None where the table's rows must be summed by time."""
        found = self._one_account()
        if found is None:
            return None
        stamps, rows = found
        values = np.array(rows[:, 3], dtype=float)
        if np.any(np.signbit(values) & (values == 0)):
            return None  # -0.0: the table's sum by time tells what it comes out as
        curve: pd.Series[float] = pd.Series(
            values, index=pd.DatetimeIndex(stamps, name="time"), name="equity"
        )
        return curve

    def exposure(self) -> pd.Series[bool] | None:
        """``BacktestResult.exposure``; None where the table's rows must be grouped by time."""
        found = self._one_account()
        if found is None:
            return None
        stamps, rows = found
        market_value, margin = (np.nan_to_num(rows[:, k], nan=0.0) for k in (1, 2))
        held: pd.Series[bool] = pd.Series(
            (market_value != 0) | (margin != 0),
            index=pd.DatetimeIndex(stamps, name="time"),
            name="exposure",
        )
        return held


class _Records:
    """The run's equity, order, trade and stop-order records, and what their tables
    read of the run (codes, account names, contracts).  Besides the tables, it answers
    what the statistics need of some of them without building them: the orders'
    statuses, whether there were stop orders, and the equity curve and exposure
    (``_Equity``)."""

    def __init__(
        self,
        orders: Any,
        stops: Any,
        trades: Any,
        session: Session,
        clock: FillClock,
        equity: _Equity,
    ) -> None:
        self._orders, self._stops, self._trades, self._clock = orders, stops, trades, clock
        self.equity = equity
        self._session = types.SimpleNamespace(
            codes=list(session.codes),
            contracts=list(session.contracts),
            account_names=list(session.account_names),
        )

    def order_statuses(self) -> list[str]:
        """The orders table's ``status`` column."""
        from korvit.backtest.records import _records, order_statuses

        statuses: list[str] = order_statuses(_records(self._orders))
        return statuses

    def any_stops(self) -> bool:
        """Whether the run placed any stop order (the stop-orders table has rows)."""
        return any(record is not None for record in self._stops)

    def orders(self) -> pd.DataFrame:
        from korvit.backtest.records import orders_frame

        return orders_frame(self._orders, self._stops, self._session, self._trades, self._clock)

    def trades(self) -> pd.DataFrame:
        from korvit.backtest.records import trades_frame

        return trades_frame(self._trades, self._session, self._clock)

    def stops(self) -> pd.DataFrame:
        from korvit.backtest.records import stops_frame

        return stops_frame(self._stops, self._session, self._clock)


def _any_denied(orders: Iterable[Any]) -> bool:
    """Whether any of the run's orders was denied."""
    return any(order is not None and order.status == gv.OrderStatus_Denied for order in orders)
