"""Host time values and date-times.

A host time value is a float: seconds since 1970-01-01 00:00, naive (no time
zone).  Both conversions go through the exact whole number of microseconds,
so they are inverse to each other: a date-time (1970 to 2200) survives the
round trip unchanged, and so does every time value that is the nearest
double to a whole number of microseconds.

``mft_to_datetime`` is the compiled one of ``korvit.native``;
``_py_mft_to_datetime`` is its reference, and the compiled one hands it every
argument of an unusual type.
"""

import math
from datetime import datetime, timedelta

import numpy as np

__all__ = ["EPOCH", "mft_to_datetime", "datetime_to_mft"]

EPOCH = datetime(1970, 1, 1)
_US = 1_000_000
_ONE_US = timedelta(microseconds=1)


def _microseconds(t):
    """The whole microseconds nearest to ``t`` seconds (ties to even), exactly."""
    if isinstance(t, np.generic):
        t = t.item()
    if isinstance(t, bool) or not isinstance(t, (int, float)):
        raise TypeError(f"a time value must be a number, got {t!r}")
    if isinstance(t, int):
        return t * _US
    if not math.isfinite(t):
        raise ValueError(f"a time value must be finite, got {t!r}")
    num, den = t.as_integer_ratio()
    q, r = divmod(num * _US, den)
    if 2 * r > den or (2 * r == den and q % 2):
        q += 1
    return q


def _py_mft_to_datetime(values):
    """A list with the naive ``datetime`` of each time value, in order."""
    if isinstance(values, np.ndarray):
        values = values.ravel().tolist()
    elif not isinstance(values, (list, tuple)):
        raise TypeError(f"expected a list, tuple or array of time values, got {values!r}")
    out = []
    for t in values:
        try:
            out.append(EPOCH + timedelta(microseconds=_microseconds(t)))
        except OverflowError:
            raise ValueError(f"time value {t!r} lies outside the datetime range") from None
    return out


def datetime_to_mft(d):
    """The time value of a naive ``datetime``."""
    if not isinstance(d, datetime):
        raise TypeError(f"expected a datetime, got {d!r}")
    if d.tzinfo is not None:
        raise ValueError(f"expected a naive datetime, got one with a time zone: {d!r}")
    return ((d - EPOCH) // _ONE_US) / _US


# The compiled conversion (korvit.native); _py_mft_to_datetime above is its reference.
from korvit.native import mft_to_datetime  # noqa: E402
