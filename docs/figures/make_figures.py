"""Draw the pictures of the stop fills on the Orders and stops page, from real runs.

    python docs/figures/make_figures.py [OUT_DIR]

Each scenario runs through the engine (``korvit.backtest.run``, so korvit must be
installed) and the pictures mark the fills the runs made; the lines drawn beside them
(the stop and trailing levels) are checked against the runs' stops table.  Writes
``stop-gap.svg`` and ``stop-ticks.svg`` beside this script (or into OUT_DIR); the
output is the same on every run, so a changed SVG means a changed fill.
"""

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import pandas as pd

from korvit.backtest import run
from korvit.strategy import buy, points, trailing

CODE = "SHFE.RB2405"
CONTRACTS = pd.DataFrame(
    [
        dict(code=CODE, kind="futures", min_move=1, multiplier=10, long_margin=0.1,
             short_margin=0.1, fee_open=0, fee_close=0)
    ]
)  # fmt: skip
UP, DOWN, STOP, FILL, OTHER = "#2e7d32", "#c62828", "#6a1b9a", "#1565c0", "#ef6c00"

plt.rcParams.update(
    {
        "svg.fonttype": "none",  # text stays text: the page's font, a small file
        "svg.hashsalt": "korvit",  # the same ids on every run
        "font.size": 10,
        "axes.spines.top": False,
        "axes.spines.right": False,
    }
)


def bars_frame(bars, times):
    return pd.DataFrame(
        [(t, CODE, *bar, 100) for t, bar in zip(times, bars)],
        columns=["time", "code", "open", "high", "low", "close", "volume"],
    )


def entry(**stops):
    """A strategy that buys one contract at the first bar (filled at the second bar's open)."""

    def on_data(context):
        if not hasattr(context, "entry"):
            context.entry = buy(CODE, 1, **stops)

    return {"init": lambda context: None, "on_data": on_data}


def backtest(bars, times, stops, **options):
    result = run(
        entry(**stops), bars_frame(bars, times), contracts=CONTRACTS, progress=False, **options
    )
    trades = result.trades
    assert list(trades.side) == ["buy", "sell"], trades
    return result, trades.price.iloc[0], trades.price.iloc[1], trades.time.iloc[1]


def candles(ax, bars, xs, width=0.5):
    for x, (o, h, low, c) in zip(xs, bars):
        color = UP if c >= o else DOWN
        ax.vlines(x, low, h, color=color, linewidth=1)
        ax.add_patch(
            plt.Rectangle(
                (x - width / 2, min(o, c)), width, max(abs(c - o), 1e-9), color=color, zorder=2
            )
        )


def mark(ax, x, y, marker, color, text, dx=0.12, dy=0.0, hollow=False, ha="left"):
    ax.plot(
        x,
        y,
        marker=marker,
        markersize=10,
        color=color,
        markerfacecolor="white" if hollow else color,
        markeredgewidth=1.6,
        zorder=4,
        linestyle="none",
    )
    ax.annotate(text, (x, y), (x + dx, y + dy), color=color, va="center", ha=ha, fontsize=9)


# ------------------------------------------------------------------ the gap


def gap_figure(path):
    """A long position's stop-loss 5 points below its fill at 100, on daily bars: the last
    bar gaps through it, or trades through it without a gap."""
    days = pd.bdate_range("2024-01-02", periods=4)
    lead = [(100, 101, 99, 100), (100, 101, 99.5, 100.5), (101, 102, 99, 99.5)]
    cases = [
        ("The bar opens beyond the stop (a gap)", (93, 94, 92, 93.5)),
        ("The bar opens above the stop and trades through it", (96.5, 97, 94, 94.5)),
    ]
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.4), sharey=True)
    for ax, (title, last) in zip(axes, cases):
        bars = [*lead, last]
        fills = {}
        for rule in ("first_traded", "stop_price"):
            result, bought, sold, when = backtest(
                bars, days, dict(stop_loss=points(5)), stop_fill=rule
            )
            assert when == days[3] and result.stops.stop_price.iloc[0] == bought - 5
            fills[rule] = sold
        stop = bought - 5
        xs = range(len(bars))
        candles(ax, bars, xs)
        ax.hlines(stop, 1, 3.4, colors=STOP, linestyles="dashed", linewidth=1.2)
        ax.annotate(f"stop-loss {stop:g}", (1, stop), (0.9, stop + 0.6), color=STOP, fontsize=9)
        mark(ax, 1, bought, "^", FILL, f"bought at the open, {bought:g}", dx=-0.1, dy=2.2)
        if fills["first_traded"] == fills["stop_price"]:
            mark(
                ax,
                3,
                fills["first_traded"],
                "v",
                FILL,
                f"sold at the stop, {stop:g}\n(both rules)",
                dx=0.25,
                dy=-1.2,
            )
        else:
            mark(ax, 3, fills["first_traded"], "v", FILL, f"first_traded (the default):\nsold at the open, {fills['first_traded']:g}", dx=0.25, dy=-0.8)  # fmt: skip
            mark(ax, 3, fills["stop_price"], "v", OTHER, f"stop_price: sold at {fills['stop_price']:g},\na price the bar\nnever traded", dx=0.25, dy=1.9, hollow=True)  # fmt: skip
        ax.set_xticks(list(xs), [d.strftime("%b %d") for d in days])
        ax.set_xlim(-0.6, 5.4)
        ax.set_title(title, fontsize=10)
    axes[0].set_ylabel("price")
    axes[0].set_ylim(88, 104)
    fig.suptitle("Where a stop-loss decided on the bar alone fills", fontsize=11)
    fig.tight_layout()
    fig.savefig(path, metadata={"Date": None})
    plt.close(fig)


# ------------------------------------------------------------------ the ticks


def ticks_figure(path):
    """A long position's trailing stop, 6 points behind the best price once the price has
    risen 10 points (to 3510) from its fill at 3500, on minute bars.  The 09:03 bar reaches
    the activation, a new high and the stop that new high moves up: only its ticks tell the
    order.  Run with and without them."""
    times = pd.date_range("2024-01-02 09:01", periods=4, freq="1min")
    bars = [
        (3500, 3502, 3498, 3500),
        (3500, 3504, 3497, 3502),
        (3503, 3520, 3503, 3508),
        (3508, 3510, 3500, 3505),
    ]
    seconds = [10, 20, 30, 40, 50, 60]
    prices = [3503, 3512, 3520, 3513, 3505, 3508]  # inside the 09:03 bar, which ends at 09:03
    ticks = pd.DataFrame(
        [(times[2] - pd.Timedelta(seconds=60 - s), CODE, p, 1) for s, p in zip(seconds, prices)],
        columns=["time", "code", "price", "volume"],
    )
    stops = dict(trailing_stop=trailing(6, 10))
    with_ticks, bought, by_tick, tick_time = backtest(bars, times, stops, ticks=ticks)
    _, _, by_bar, bar_time = backtest(bars, times, stops)
    # on the bars alone the 09:03 bar stays undecided: the stop fires on the 09:04 bar,
    # dated at its start
    assert bar_time == times[3] - pd.Timedelta(minutes=1)
    activation, gap = bought + 10, 6

    # The trailing level along the ticks, as the rule says; its last level is the run's.
    level, best, levels = None, None, []
    for price in prices:
        if level is not None and price <= level:
            fired_at = price
            levels.append(level)
            break
        if price >= activation:
            best = max(best or activation, price)
            level = best - gap
        levels.append(level)
    assert with_ticks.stops.stop_price.iloc[0] == level and fired_at == by_tick

    fig, (left, right) = plt.subplots(
        1, 2, figsize=(10, 4.2), gridspec_kw={"width_ratios": [1, 1.25]}
    )
    xs = range(len(bars))
    candles(left, bars, xs)
    left.hlines(activation, 0.6, 3.4, colors=STOP, linestyles="dotted", linewidth=1.2)
    left.annotate(f"activation {activation:g}", (0.6, activation), (0.1, activation + 1.2), color=STOP, fontsize=9)  # fmt: skip
    mark(left, 1, bought, "^", FILL, f"bought, {bought:g}", dx=-0.15, dy=-4, ha="right")
    mark(left, 2, by_tick, "v", FILL, f"with ticks: sold\nat {by_tick:g} in this bar", dx=-0.2, dy=7, ha="right")  # fmt: skip
    mark(left, 3, by_bar, "v", OTHER, f"bars alone: undecided\nat 09:03, sold at {by_bar:g}\none bar later", dx=0, dy=-8.5, hollow=True, ha="center")  # fmt: skip
    left.set_xticks(list(xs), [t.strftime("%H:%M") for t in times])
    left.set_xlim(-0.6, 3.9)
    left.set_ylim(3490, 3526)
    left.set_ylabel("price")
    left.set_title("Minute bars", fontsize=10)

    right.plot(seconds, prices, color="#455a64", linewidth=1, marker="o", markersize=4, zorder=3)
    right.hlines(activation, 0, 60, colors=STOP, linestyles="dotted", linewidth=1.2)
    drawn = [(s, lv) for s, lv in zip(seconds, levels) if lv is not None]
    right.step(
        [s for s, _ in drawn],
        [lv for _, lv in drawn],
        where="post",
        color=STOP,
        linestyle="dashed",
        linewidth=1.2,
    )
    right.annotate("trailing stop:\nbest price − 6", (drawn[0][0], drawn[0][1]), (drawn[0][0] - 8, drawn[0][1] - 6), color=STOP, fontsize=9)  # fmt: skip
    right.annotate(f"activation {activation:g}", (0, activation), (1, activation + 1.2), color=STOP, fontsize=9)  # fmt: skip
    fire = seconds[prices.index(by_tick)]
    assert tick_time == ticks.time.iloc[prices.index(by_tick)]
    mark(right, fire, by_tick, "v", FILL, f"the first tick at or below\nthe stop ({level:g}): sold at {by_tick:g}", dx=3, dy=4)  # fmt: skip
    right.set_xticks(
        seconds, [f"09:02:{s:02d}" if s < 60 else "09:03" for s in seconds], fontsize=8
    )
    right.set_xlim(0, 65)
    right.set_ylim(3490, 3526)
    right.set_title("The ticks of the 09:03 bar", fontsize=10)
    fig.suptitle(
        "A bar that reaches a trailing stop's activation, a new high and the stop: the ticks decide",
        fontsize=11,
    )
    fig.tight_layout()
    fig.savefig(path, metadata={"Date": None})
    plt.close(fig)


def main(argv):
    out = Path(argv[0]) if argv else Path(__file__).resolve().parent
    out.mkdir(parents=True, exist_ok=True)
    gap_figure(out / "stop-gap.svg")
    ticks_figure(out / "stop-ticks.svg")
    print(f"wrote {out / 'stop-gap.svg'} and {out / 'stop-ticks.svg'}")


if __name__ == "__main__":
    main(sys.argv[1:])
