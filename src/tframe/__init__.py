"""Short name of ``korvit.tframe``: this package replaces itself by it."""

import sys

import korvit.tframe as _real

sys.modules[__name__] = _real
