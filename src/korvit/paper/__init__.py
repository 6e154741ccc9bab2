"""Paper trading: a strategy run forward on live bars.

`open_feed` gives the bars of a paper run one finished time step at a time: a replay of
data files, an exchange's candles through ccxt, or a feed of your own (see
`korvit.paper.feeds`).
"""

from __future__ import annotations

from korvit.paper.feeds import Clock, Feed, FeedError, Step, open_feed

__all__ = ["Clock", "Feed", "FeedError", "Step", "open_feed"]
