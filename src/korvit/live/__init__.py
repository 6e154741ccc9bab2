"""Trading forward: a strategy run on bars as they come, with fills on paper.

`korvit.paper` (`run.paper`) runs a strategy file forward on a feed; `forward.ForwardRun`
deals a backtest's bars one time step at a time; `journal.Journal` keeps what a run dealt so
that it resumes after a stop or a crash.  `open_feed` gives the bars one finished time step
at a time: a replay of data files, an exchange's candles through ccxt, or a feed of your own
(see `korvit.live.feeds`).
"""

from __future__ import annotations

from korvit.live.feeds import Clock, Feed, FeedError, Step, open_feed

__all__ = ["Clock", "Feed", "FeedError", "Step", "open_feed"]
