"""The result's tables written to their files a slice of rows at a time.

``table_writer(frame, format)`` gives the ``write(file)`` that ``save_file_set``
calls for one table: CSV text, or a Parquet file of one row group per slice.
Neither makes a second whole copy of the table: a CSV slice is formatted,
written and dropped before the next (pandas' own slices, so the text is that
of ``frame.to_csv``, byte for byte), and a Parquet row group is converted
from its slice alone.  ``read_table(path)`` reads a saved table back as a
DataFrame with the columns' types of the result's own.
"""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path
from typing import IO, Any, Literal, TypeAlias

import pandas as pd

__all__ = ["FORMATS", "Format", "check_format", "table_writer", "read_table", "csv_rows"]

Format: TypeAlias = Literal["csv", "parquet"]
FORMATS: tuple[Format, ...] = ("csv", "parquet")
# the cells pandas formats at once when it writes CSV: a slice of rows is this over the
# columns (its own rule, so that each slice is formatted as pandas would format it)
_CSV_CELLS = 100_000
# the rows of one Parquet row group
PARQUET_ROWS = 65_536


def check_format(format: object) -> Format:
    """``format`` if it is one of ``FORMATS`` (``ValueError`` otherwise)."""
    if not isinstance(format, str) or format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, got {format!r}")
    return format  # one of FORMATS by now


def csv_rows(frame: pd.DataFrame) -> int:
    """The rows of one slice of ``frame`` written as CSV: pandas' own slice, whose
    times are formatted as one (a column of dates alone, or with its clock)."""
    return max(1, _CSV_CELLS // max(1, len(frame.columns)))


def table_writer(
    frame: pd.DataFrame, format: Format, rows: int | None = None
) -> tuple[bool, Callable[[IO[Any]], object]]:
    """``(binary, write)`` of ``frame`` in ``format``, for ``save_file_set``;
    ``rows``: the rows of a slice (a CSV slice is a multiple of pandas' own)."""
    if format == "csv":
        step = csv_rows(frame) * max(1, (rows or 0) // csv_rows(frame))
        return False, lambda fh: _write_csv(frame, fh, step)
    return True, lambda fh: _write_parquet(frame, fh, rows or PARQUET_ROWS)


def _write_csv(frame: pd.DataFrame, fh: IO[str], step: int) -> None:
    if len(frame) <= step:
        frame.to_csv(fh, index=False)
        return
    for start in range(0, len(frame), step):
        frame.iloc[start : start + step].to_csv(fh, index=False, header=start == 0)


def _write_parquet(frame: pd.DataFrame, fh: IO[bytes], step: int) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    schema = pa.Schema.from_pandas(frame, preserve_index=False)
    with pq.ParquetWriter(fh, schema) as writer:
        for start in range(0, max(len(frame), 1), step):
            part = frame.iloc[start : start + step]
            writer.write_table(pa.Table.from_pandas(part, schema=schema, preserve_index=False))


def read_table(path: str | Path) -> pd.DataFrame:
    """A table a result saved (``equity.csv``, ``orders.parquet``, ...) as a DataFrame:
    a Parquet file with its own types, a CSV file with its time columns as times."""
    path = Path(path)
    if path.suffix == ".parquet":
        return pd.read_parquet(path)
    frame = pd.read_csv(path)
    for column in ("time", "created", "updated", "trigger_time", "entry_time", "exit_time"):
        if column in frame:
            frame[column] = pd.to_datetime(frame[column]).astype("datetime64[ns]")
    return frame
