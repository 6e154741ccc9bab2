"""Lists of names (codes, accounts) in a line of text, kept short.

A run on 2,000 codes would otherwise write every code into each line that
names them (the fee schedules, the benchmark, the bars): ``shortened`` names
the first few and counts the rest, so that a line stays readable whatever the
number of codes.  Tables that list a code per row stay whole.
"""

from __future__ import annotations

from collections.abc import Iterable

__all__ = ["shortened", "SHOWN"]

# Names a line shows before it counts the others.
SHOWN = 6


def shortened(names: Iterable[object], shown: int = SHOWN, count: int | None = None) -> str:
    """``"A, B, C and 1,994 more"``: the first ``shown`` names, in order, then
    how many others there are; all of them when there are no more than
    ``shown``.  ``count``: how many names there are in all, when ``names``
    holds only the first ones."""
    texts, shown = [str(name) for name in names], max(1, shown)
    total = len(texts) if count is None else max(count, len(texts))
    if total <= shown and len(texts) == total:
        return ", ".join(texts)
    named = texts[:shown]
    return f"{', '.join(named)} and {total - len(named):,d} more"
