"""Position records: what one account holds of one target.

The public classes and ``target_index`` are the compiled ones of
``korvit.native``; the Python ones here (``PyPositionsBase``,
``PyKVBackPosition``, ``py_target_index``) are their reference twins.

Volumes are kept per leg, "long" and "short".  ``position_available_*`` is
the part of ``position_*`` that is free to close, that is not reserved by
pending closing orders.  Changes that would make a volume negative raise
``ValueError`` and change nothing.  Volumes add up exactly in decimal where one
is fractional (0.1 + 0.2 lots is 0.3), whole ones with Python's own operators.
"""

from korvit.data.lots import volume_add, volume_sub
from korvit.tframe.utils.utilfunc import as_index

__all__ = [
    "PositionsBase",
    "KVBackPosition",
    "LEGS",
    "target_index",
    "PyPositionsBase",
    "PyKVBackPosition",
    "py_target_index",
]

LEGS = ("long", "short")


def py_target_index(value):
    """A target index as an int, from an int-like or an integral float."""
    return as_index("target index", value)


def _check_leg(leg):
    if leg not in LEGS:
        raise ValueError(f"leg must be one of {LEGS}, got {leg!r}")


class PyPositionsBase:
    """Long and short volumes of one target, with the parts free to close."""

    __slots__ = (
        "target_idx",
        "position_long",
        "position_short",
        "position_available_long",
        "position_available_short",
    )

    def __init__(self, target_idx):
        self.target_idx = py_target_index(target_idx)
        self.position_long = 0
        self.position_short = 0
        self.position_available_long = 0
        self.position_available_short = 0

    def held(self, leg):
        _check_leg(leg)
        return getattr(self, "position_" + leg)

    def available(self, leg):
        _check_leg(leg)
        return getattr(self, "position_available_" + leg)

    def reserve(self, leg, volume):
        """Set ``volume`` of ``leg`` aside for a pending closing order."""
        free = self.available(leg)
        if volume > free:
            raise ValueError(
                f"cannot reserve {volume} {leg} of target {self.target_idx}: only {free} available"
            )
        setattr(self, "position_available_" + leg, volume_sub(free, volume))

    def release(self, leg, volume):
        """Undo ``reserve(leg, volume)``."""
        free = volume_add(self.available(leg), volume)
        if free > self.held(leg):
            raise ValueError(
                f"cannot release {volume} {leg} of target {self.target_idx}: more than is reserved"
            )
        setattr(self, "position_available_" + leg, free)

    def __repr__(self):
        return (
            f"{type(self).__name__}(target_idx={self.target_idx}, "
            f"long={self.position_long} ({self.position_available_long} available), "
            f"short={self.position_short} ({self.position_available_short} available))"
        )


class PyKVBackPosition(PyPositionsBase):
    """A backtest position: volumes plus average open prices and occupied margin."""

    __slots__ = ("avg_open_price_long", "avg_open_price_short", "margin_long", "margin_short")

    def __init__(self, target_idx):
        super().__init__(target_idx)
        self.avg_open_price_long = 0.0
        self.avg_open_price_short = 0.0
        self.margin_long = 0.0
        self.margin_short = 0.0

    def open(self, leg, volume, price, margin=0.0):
        """Add an opening fill of ``volume`` at ``price`` that occupies ``margin``."""
        held = self.held(leg)
        if not volume > 0:
            raise ValueError(f"an opening volume must be positive, got {volume!r}")
        total = volume_add(held, volume)
        average = getattr(self, "avg_open_price_" + leg)
        setattr(self, "avg_open_price_" + leg, (average * held + price * volume) / total)
        setattr(self, "margin_" + leg, getattr(self, "margin_" + leg) + margin)
        setattr(self, "position_" + leg, total)
        setattr(self, "position_available_" + leg, volume_add(self.available(leg), volume))

    def close(self, leg, volume):
        """Take a closing fill of ``volume`` out of the free part of ``leg``.

        Returns ``(average open price, released margin)``; the margin is
        released in proportion to the volume closed.
        """
        held, free = self.held(leg), self.available(leg)
        if not 0 < volume <= free:
            raise ValueError(
                f"cannot close {volume!r} {leg} of target {self.target_idx}: "
                f"{held} held, {free} free to close"
            )
        average = getattr(self, "avg_open_price_" + leg)
        margin = getattr(self, "margin_" + leg)
        released = margin if volume == held else margin * volume / held
        setattr(self, "position_" + leg, volume_sub(held, volume))
        setattr(self, "position_available_" + leg, volume_sub(free, volume))
        setattr(self, "margin_" + leg, margin - released)
        if volume == held:
            setattr(self, "avg_open_price_" + leg, 0.0)
        return average, released


# The compiled positions (korvit.native); the Python classes above are their reference.
from korvit.native import KVBackPosition, PositionsBase, target_index  # noqa: E402
