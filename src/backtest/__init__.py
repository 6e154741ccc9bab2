"""Short name of ``korvit.backtest``: this package replaces itself by it."""

import sys

import korvit.backtest as _real

sys.modules[__name__] = _real
