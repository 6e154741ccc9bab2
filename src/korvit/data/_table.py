"""Reading bar and tick tables from CSV, Parquet or DataFrames, keeping where every row came from.

Every source becomes one long table: the canonical columns ("time", "code" and the value
columns) holding the values as read, plus the user-visible row number of each row and the
source it came from, so that every check can name file, row and column.  Row numbers are
what the user sees: the line number in a CSV file, the 1-based row in a Parquet file or a
DataFrame.
"""

from __future__ import annotations

import datetime
import os
import re
import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from korvit.data.errors import DataError, check_code, where
from korvit.data.limits import fmt_bound

__all__ = ["TIME_NAMES", "Table", "read_table", "parse_times", "fmt_time", "check_date_format"]

# Names accepted for the time column, in order of preference.
TIME_NAMES = ("datetime", "time", "date")
# The adjusted close of vendor exports ("Adj Close", "adj_close", "Adjusted Close"), read as
# the optional column "adj_close".
ADJ_CLOSE = "adj_close"
_ADJ_NAMES = ("adjclose", "adjustedclose")
# A date written day and month first, in either order, then the year: 01/09/2004,
# 1.9.2004, 01-09-04; a time of day may follow.
_ORDER_HINT = (
    "give the format with date_format= (--date-format), '%d/%m/%Y' for day first "
    "or '%m/%d/%Y' for month first"
)
_DAY_MONTH = re.compile(r"^(\d{1,2})([/.-])(\d{1,2})\2(\d{4}|\d{2})(?=$|[\sT])")
_CSV_OPTIONS: dict[str, Any] = dict(skipinitialspace=True, encoding="utf-8-sig")
if tuple(int(part) for part in pd.__version__.split(".")[:2]) < (3, 1):
    # The default C parser of pandas before 3.1 can miss the nearest double by one
    # unit in the last place (one value in six of 17 digits); pandas 3.1 reads every
    # number exactly (and deprecates the option), and so, on any, does this.
    _CSV_OPTIONS["float_precision"] = "round_trip"
_DIGIT_FORMATS = {8: "%Y%m%d", 12: "%Y%m%d%H%M", 14: "%Y%m%d%H%M%S"}


@dataclass
class Origin:
    """One source: its name in messages and how its columns are labelled."""

    name: str
    labels: dict = field(default_factory=dict)  # canonical column -> label as written
    wide: bool = False
    code_row: int | None = None  # wide CSV: the line of the code header

    def label(self, column, code=None):
        """The column as the user wrote it."""
        if self.wide and column == "code":
            return code
        written = self.labels.get(column, column)
        if self.wide and column != "time":
            return (code, written)
        return written


class Table:
    """A long table with the origin of every row."""

    code_count = 1  # the distinct codes, once `code_labels` has read them

    def __init__(self, frame, origins, name=None):
        index = frame.index
        if not (isinstance(index, pd.RangeIndex) and index.start == 0 and index.step == 1):
            frame = frame.reset_index(drop=True)  # a copy of every column: only when needed
        self.frame = frame
        self.origins = origins
        self._name = name  # the name of the whole (a folder), else the sources' names
        self.rows = self.frame.pop("_row").to_numpy(np.int64)
        self.org = self.frame.pop("_org").to_numpy(np.int64)

    def __len__(self):
        return len(self.frame)

    def keep(self, mask):
        """Drop the rows where `mask` is false."""
        self.frame = self.frame[mask].reset_index(drop=True)
        self.rows, self.org = self.rows[mask], self.org[mask]

    @property
    def name(self):
        """The sources, for messages about the whole table."""
        if self._name is not None:
            return self._name
        return " + ".join(origin.name for origin in self.origins)

    def where(self, pos, column=None):
        """The file, row and column of the value at position `pos` of `column`."""
        origin = self.origins[self.org[pos]]
        code = self.frame["code"].iat[pos] if "code" in self.frame else None
        row = self.rows[pos]
        if origin.wide and column == "code":
            row = origin.code_row
        return where(origin.name, row, None if column is None else origin.label(column, code))

    def _row_name(self, pos, near):
        """Row `pos` as named in a message about row `near`: "row 5", with the source
        when it differs."""
        if self.org[pos] == self.org[near]:
            return f"row {self.rows[pos]}"
        return self.where(pos)

    def fail(self, mask, column, describe):
        """Raise a DataError at the first position where `mask` holds, if any.

        `describe(pos)` words the problem; further offending rows are counted.
        """
        hits = np.flatnonzero(mask)
        if hits.size:
            pos = int(hits[0])
            more = f" ({hits.size - 1} more rows like this)" if hits.size > 1 else ""
            raise DataError(f"{self.where(pos, column)}: {describe(pos)}{more}")

    def code_labels(self):
        """``(labels, spelled)``: each row's code as a position in `spelled`, the codes as
        written (stripped) in order of first appearance; checks the format."""
        labels, uniques = pd.factorize(self.frame["code"])
        self.fail(labels < 0, "code", lambda pos: "code is missing")
        firsts = first_rows(labels, len(uniques))[1]
        checked = [
            check_code(uniques[u], self.where(int(firsts[u]), "code")) for u in range(len(uniques))
        ]
        self.code_count = len(uniques)  # times repeat over the codes: see `times`
        return labels, checked

    def codes(self):
        """The codes as written (stripped) and their upper-case keys; checks the format."""
        labels, checked = self.code_labels()
        written = np.array(checked, dtype=object)[labels]
        keys = np.array([code.upper() for code in checked], dtype=object)[labels]
        return written, keys

    def times(self, tz=None, date_format=None):
        """The time column as datetime64[ns]; fails on missing, unparseable or out of
        range times, and (without `tz`, see `parse_times`) on times written with
        different UTC offsets.

        Times written as text are read with `date_format` (strftime codes) when given.
        Without it, dates written day and month first (01/09/2004) are read in the order
        the source proves: day first when some date has a first number above 12, month
        first when some date has a second number above 12; a source where no date tells
        (or where dates tell both) is refused."""
        raw = self.frame["time"]
        fast = None
        if date_format is not None:
            parsed, offsets = read_times(self._formatted(raw, date_format), tz)
        else:
            if pd.api.types.infer_dtype(raw, skipna=True) == "string":
                # all ISO: no day-month dates; the times of several codes read once each
                read = _iso_times_once if self.code_count > 1 else _iso_times
                fast = read(raw.reset_index(drop=True), tz)
            if fast is not None:
                parsed, offsets = fast, None
            else:
                parsed, offsets = read_times(self._dates_in_order(raw), tz)

        def describe(pos):
            value = raw.iat[pos]
            if _is_blank(value):
                return "time is missing"
            text = str(value).strip()
            if date_format is not None and isinstance(value, str):
                return f"cannot read {text!r} as a time with date_format {date_format!r}"
            if out_of_range(value) is not None:
                return (
                    f"time {text!r} is outside the times korvit can hold "
                    f"({fmt_time(_NS_LOW.ceil('D'))} to {fmt_time(_NS_HIGH.floor('D'))})"
                )
            return f"cannot read {text!r} as a time"

        self.fail(np.isnat(parsed), "time", describe)
        if offsets is not None:
            first = offsets[0]
            same = np.isnan(offsets) if np.isnan(first) else offsets == first
            self.fail(
                ~same,
                "time",
                lambda pos: (
                    f"time {str(raw.iat[pos]).strip()!r} has {fmt_offset(offsets[pos])} but the first "
                    f"time ({self._row_name(0, pos)}) has {fmt_offset(first)}: times with different "
                    "offsets do not share one clock; write them with one offset, or name the zone to "
                    "convert them to (tz=, --tz)"
                ),
            )
        return parsed

    def _formatted(self, raw, date_format):
        """`raw` with the text read by `date_format` (as datetimes, NaT where it does not
        fit); fails when the format reads none of the text."""
        text = raw.map(lambda v: isinstance(v, str) and bool(v.strip())).to_numpy(bool)
        if not text.any():
            return raw
        values = raw[text].astype(object).str.strip()
        if "%z" in date_format or "%Z" in date_format:  # keep each time's offset
            read = pd.Series(
                [_strptime(v, date_format) for v in values], index=values.index, dtype=object
            )
        else:
            read = pd.to_datetime(values, format=date_format, errors="coerce")
        if read.isna().all():
            first = int(np.flatnonzero(text)[0])
            raise DataError(
                f"{self.where(first, 'time')}: date_format {date_format!r} reads none "
                f"of the times (the first is {values.iat[0]!r}): give the format the "
                "times are written in, e.g. '%d/%m/%Y' for 01/09/2004 as 1 September"
            )
        if text.all() and pd.api.types.is_datetime64_dtype(read.dtype):  # the common case
            return read.reset_index(drop=True)
        out = raw.astype(object).copy()
        out[text] = read.astype(object).where(read.notna(), pd.NaT)
        return out

    def _dates_in_order(self, raw):
        """`raw` with dates written day and month first (01/09/2004) rewritten as ISO
        dates, in the order each source proves; fails where a source does not tell the
        order, or tells both."""
        if raw.dtype.kind == "M":  # datetimes already: no text to read
            return raw
        fast = self._day_month_at_once(raw)
        if fast is not None:
            return fast
        match = _DAY_MONTH.match
        found = [match(v.strip()) if isinstance(v, str) else None for v in raw.tolist()]
        hits = np.array([m is not None for m in found], dtype=bool)
        if not hits.any():
            return raw
        first = np.zeros(len(raw), dtype=np.int64)
        second = np.zeros(len(raw), dtype=np.int64)
        rows = np.flatnonzero(hits)
        first[rows] = [int(found[k][1]) for k in rows]
        second[rows] = [int(found[k][3]) for k in rows]
        day_first = np.zeros(len(raw), dtype=bool)
        hint = _ORDER_HINT
        for org in np.unique(self.org[hits]):
            mine = hits & (self.org == org)
            days_first = np.flatnonzero(mine & (first > 12))  # only day first can read these
            months_first = np.flatnonzero(mine & (second > 12))  # and only month first these
            if len(days_first) and len(months_first):
                a, b = int(days_first[0]), int(months_first[0])
                raise DataError(
                    f"{self.where(b, 'time')}: {found[b].string!r} reads only month first but "
                    f"{found[a].string!r} ({self._row_name(a, b)}) only day first: write the dates in "
                    f"one order, or {hint}"
                )
            differ = np.flatnonzero(mine & (first != second))  # 01/01/2004 reads one way
            if not len(days_first) and not len(months_first) and len(differ):
                pos = int(differ[0])
                raise DataError(
                    f"{self.where(pos, 'time')}: {found[pos].string!r} can be read day first or month "
                    f"first, and no date of {self.origins[org].name} has a day above 12 to tell "
                    f"which: {hint}"
                )
            day_first |= mine & bool(len(days_first))
        out = raw.astype(object).copy()
        iso = []
        for k in rows:
            m = found[k]
            year = m[4] if len(m[4]) == 4 else ("19" if int(m[4]) >= 69 else "20") + m[4]
            day, month = (first[k], second[k]) if day_first[k] else (second[k], first[k])
            iso.append(f"{year}-{month:02d}-{day:02d}{m.string[m.end() :]}")
        out.iloc[rows] = iso
        return out

    def _day_month_at_once(self, raw):
        """The times of an all-text column of day-month dates in one layout (as most files
        are), read day first and month first with two formats and chosen as
        `_dates_in_order` chooses; None where the layout varies (read row by row there)."""
        if not len(raw) or pd.api.types.infer_dtype(raw, skipna=False) != "string":
            return None
        values = raw.astype(object).str.strip()
        head = values.iat[0]
        if _DAY_MONTH.match(head) is None:
            return None
        try:
            from pandas.tseries.api import guess_datetime_format

            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                guessed = guess_datetime_format(head, dayfirst=True)
        except (ImportError, ValueError, TypeError):
            return None
        if not guessed or not re.match(r"%([dm])([/.-])%(?!\1)[dm]\2%[Yy]", guessed):
            return None
        day_format = guessed if guessed.startswith("%d") else _swap_day_month(guessed)
        days = pd.to_datetime(values, format=day_format, errors="coerce").to_numpy()
        months = pd.to_datetime(
            values, format=_swap_day_month(day_format), errors="coerce"
        ).to_numpy()
        if (np.isnat(days) & np.isnat(months)).any():
            return None
        out = days.copy()
        for org in np.unique(self.org):
            mine = self.org == org
            days_first = np.flatnonzero(mine & np.isnat(months))  # a first number above 12
            months_first = np.flatnonzero(mine & np.isnat(days))  # a second number above 12
            if len(days_first) and len(months_first):
                a, b = int(days_first[0]), int(months_first[0])
                raise DataError(
                    f"{self.where(b, 'time')}: {values.iat[b]!r} reads only month first but "
                    f"{values.iat[a]!r} ({self._row_name(a, b)}) only day first: write the dates in "
                    f"one order, or {_ORDER_HINT}"
                )
            differ = np.flatnonzero(mine & (days != months))
            if not len(days_first) and not len(months_first) and len(differ):
                pos = int(differ[0])
                raise DataError(
                    f"{self.where(pos, 'time')}: {values.iat[pos]!r} can be read day first or month "
                    f"first, and no date of {self.origins[org].name} has a day above 12 to tell "
                    f"which: {_ORDER_HINT}"
                )
            if len(months_first):
                out[mine] = months[mine]
        return pd.Series(out)

    def numbers(self, column, *, positive=False, high=None):
        """The column as float64; fails on missing, non-numeric, infinite or
        negative values (or non-positive ones when `positive`) and on values
        above `high`."""
        raw = self.frame[column]
        if raw.dtype == np.float64:  # already numbers: the column itself, not a copy
            values = raw.to_numpy()
        else:
            values = pd.to_numeric(raw, errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)

        def unreadable(pos):
            value = raw.iat[pos]
            if _is_blank(value):
                return f"{column} is missing"
            if isinstance(value, str) and not _is_nan_text(value):
                return f"cannot read {value.strip()!r} as a number"
            if np.isnan(values[pos]):
                return f"{column} is missing (NaN)"
            return f"{column} is {float(values[pos])!r}, not a finite number"

        self.fail(~np.isfinite(values), column, unreadable)
        if positive:
            self.fail(
                values <= 0, column, lambda pos: f"{column} {fmt_num(values[pos])} is not positive"
            )
        else:
            self.fail(
                values < 0, column, lambda pos: f"{column} {fmt_num(values[pos])} is negative"
            )
        if high is not None:
            self.fail(
                values > high,
                column,
                lambda pos: (
                    f"{column} {fmt_num(values[pos])} is above {fmt_bound(high)}, the "
                    f"largest {column} korvit accepts"
                ),
            )
        return values


# rows a step where a whole column of a large table would be a copy too many
_ROWS_A_STEP = 1 << 20


def first_rows(ids, count):
    """The ids present among ``ids`` (each below ``count``), sorted, and the position of
    each one's first row: ``np.unique(ids, return_index=True)``, a slice at a time (the
    codes of a long table all appear in its first slices, or one after the other)."""
    first = np.full(count, -1, dtype=np.int64)
    for lo in range(0, len(ids), _ROWS_A_STEP):
        found, at = np.unique(ids[lo : lo + _ROWS_A_STEP], return_index=True)
        new = first[found] < 0
        first[found[new]] = at[new] + lo
    present = np.flatnonzero(first >= 0)
    return present, first[present].tolist()


def read_table(
    source: Any,
    columns: Sequence[str],
    *,
    allow_wide: bool,
    optional: Sequence[str] = (),
    code: Any = None,
    default_code: Any = None,
) -> Table:
    """Read `source` into a `Table` with the columns "time", "code" and `columns`, and
    those of `optional` that the source has (only "adj_close" is known).

    `source` is a DataFrame, a CSV or Parquet path, or a list of them (concatenated in
    order).  Column names are matched case-insensitively, "datetime" or "date" serve as
    "time", other columns are dropped; without any of them, an unnamed first column (a
    saved index) is the time.  With `allow_wide`, a frame whose columns are a two-level
    (code, field) MultiIndex with the time as index, or a CSV with two header rows (code,
    field) and the time in the first column, is read as well.  `code` (a checked code, or
    one per source) is the code of every row of a source without a code column; a source
    with codes of its own is then refused.  `default_code` is the code of the rows of a
    source without a code column, where that is no fault (the ticks of a run of one code).
    """
    sources = list(source) if isinstance(source, (list, tuple)) else [source]
    if not sources:
        raise DataError("no source given: pass a DataFrame, a file path or a list of them")
    codes = list(code) if isinstance(code, (list, tuple)) else [code] * len(sources)
    if len(codes) != len(sources):
        raise ValueError(
            f"code gives {len(codes)} codes for {len(sources)} sources: give one "
            "code for all, or one per source"
        )
    frames, origins = [], []
    for number, (item, own_code) in enumerate(zip(sources, codes)):
        frame, origin = _read_one(
            item, columns, allow_wide, tuple(optional), own_code, default_code
        )
        frame["_org"] = number
        frames.append(frame)
        origins.append(origin)
    frame = frames[0] if len(frames) == 1 else pd.concat(frames, ignore_index=True)
    return Table(frame, origins)


def _read_one(source, columns, allow_wide, optional=(), code=None, default_code=None):
    coded = "given" if code is not None else "default" if default_code is not None else None
    frame, origin = _read_source(source, columns, allow_wide, optional, coded)
    if code is not None and origin.wide:
        raise DataError(
            f"{origin.name}: the codes are in the file's header (wide format): "
            f"code={code!r} (--code) is for a file without codes"
        )
    if code is None and "code" not in frame:
        code = default_code
    if code is not None and "code" not in frame:
        frame.insert(0, "code", code)
        origin.labels["code"] = "code"
    return frame, origin


def _read_source(source, columns, allow_wide, optional, coded):
    if isinstance(source, pd.DataFrame):
        rows = np.arange(1, len(source) + 1)
        return _from_frame(source, Origin("DataFrame"), rows, columns, allow_wide, optional, coded)
    if not isinstance(source, (str, os.PathLike)):
        raise TypeError(
            f"cannot read data from {type(source).__name__}: pass a DataFrame, "
            "a CSV or Parquet path, or a list of them"
        )
    name = os.fspath(source)
    if isinstance(name, str) and "\n" in name:
        raise TypeError(
            "source holds text with line breaks, not a file path: write the "
            "data to a file or pass a DataFrame"
        )
    if os.path.isdir(name):
        raise DataError(f"{name}: a folder: give a folder of bars alone, not in a list")
    if not os.path.isfile(name):
        raise FileNotFoundError(f"{name}: no such file")
    suffixes = [s.lower() for s in os.path.basename(name).split(".")[1:]]
    if "parquet" in suffixes or "pq" in suffixes:
        frame = _read_parquet(name)
        rows = np.arange(1, len(frame) + 1)
        return _from_frame(frame, Origin(name), rows, columns, allow_wide, optional, coded)
    if "csv" in suffixes or "txt" in suffixes:
        return _read_csv(name, columns, allow_wide, optional, coded)
    raise DataError(f"{name}: unknown file type: name it .csv or .parquet")


def _read_parquet(name):
    try:
        import pyarrow  # noqa: F401  (pandas reads Parquet through it)
    except ImportError as exc:
        raise ImportError(
            f"{name}: reading Parquet files needs pyarrow, installed with "
            f"pip install 'pyarrow>=14' ({_one_line(exc)})"
        ) from None
    try:
        return _parquet_columns(name)
    except Exception as exc:  # pyarrow raises many kinds for a broken file
        raise DataError(f"{name}: cannot read the file as Parquet: {_one_line(exc)}") from None


def _parquet_columns(name):
    """The file as ``pd.read_parquet`` reads it, a column at a time where it has no
    index of its own (decoding the whole file at once takes twice its size)."""
    import pyarrow.parquet as pq

    schema = pq.read_schema(name)
    meta = schema.pandas_metadata or {}
    plain = all(isinstance(index, dict) for index in meta.get("index_columns", []))
    if not plain or len(schema.names) < 2:
        return pd.read_parquet(name)
    columns = {}
    for column in schema.names:
        part = pd.read_parquet(name, columns=[column])
        columns[part.columns[0]] = part.iloc[:, 0]
    return pd.DataFrame(columns, copy=False)


def _csv(name, **options):
    try:
        return pd.read_csv(name, **_CSV_OPTIONS, **options)
    except pd.errors.EmptyDataError:
        raise DataError(f"{name}: the file is empty") from None
    except pd.errors.ParserError as exc:
        raise DataError(f"{name}: cannot read the file as CSV: {_one_line(exc)}") from None
    except UnicodeDecodeError:
        raise DataError(f"{name}: the file is not UTF-8 text") from None


def _read_csv(name, columns, allow_wide, optional=(), coded=None):
    head = _csv(name, header=None, nrows=3, dtype=str, keep_default_na=False)
    header = [str(v) for v in head.iloc[0]]
    first = [_field_key(v) for v in header]
    timed = any(t in first for t in TIME_NAMES)
    long = "code" in first and timed
    if allow_wide and not long and len(head) >= 2:
        fields = {_key(v) for v in head.iloc[1, 1:]}
        if "close" in fields:
            # pandas reads a third header line when it names only the index column
            third = head.iloc[2].tolist() if len(head) >= 3 else []
            index_names = (
                bool(third)
                and bool(str(third[0]).strip())
                and not any(str(v).strip() for v in third[1:])
            )
            frame = _csv(name, header=[0, 1], index_col=0, skip_blank_lines=False)
            rows = np.arange(len(frame)) + (4 if index_names else 3)
            return _from_wide(frame, Origin(name, wide=True, code_row=1), rows, columns, optional)
    for pos, key in enumerate(first):
        if key in first[:pos]:
            raise DataError(
                f"{where(name, 1, header[pos])}: column {key!r} is given twice (names ignore case)"
            )
    unnamed_time = not timed and first[0] == ""  # a saved index: the times
    text = {label: str for label, key in zip(header, first) if key in ("code",) + TIME_NAMES}
    frame = _csv(name, skip_blank_lines=False, dtype=text)
    if unnamed_time:
        frame = frame.rename(columns={frame.columns[0]: _UNNAMED})
    rows = np.arange(len(frame)) + 2
    blank = frame.isna().all(axis=1).to_numpy()
    frame, rows = frame[~blank], rows[~blank]
    return _from_long(
        frame, Origin(name), rows, columns, header_row=1, optional=optional, coded=coded
    )


def _from_frame(frame, origin, rows, columns, allow_wide, optional=(), coded=None):
    if isinstance(frame.columns, pd.MultiIndex):
        if frame.columns.nlevels == 2 and allow_wide:
            return _from_wide(frame, origin, rows, columns, optional)
        raise DataError(
            f"{origin.name}: columns are a {frame.columns.nlevels}-level "
            "MultiIndex; give the long columns "
            f"{', '.join(('time', 'code') + tuple(columns))}"
            + (" or (code, field) columns with the time as index" if allow_wide else "")
        )
    names = {_key(c) for c in frame.columns}
    index_name = _key(frame.index.name) if frame.index.name is not None else None
    if not names & set(TIME_NAMES) and (
        isinstance(frame.index, pd.DatetimeIndex) or index_name in TIME_NAMES
    ):
        frame = frame.reset_index()
        frame = frame.rename(
            columns={frame.columns[0]: frame.columns[0] if index_name in TIME_NAMES else "time"}
        )
    return _from_long(frame, origin, rows, columns, header_row=None, optional=optional, coded=coded)


# The label of an unnamed first column taken as the time (shown as "the unnamed first column").
_UNNAMED = ""


def _from_long(frame, origin, rows, columns, header_row, optional=(), coded=None):
    found = {}
    for label in frame.columns:
        key = _field_key(label)
        if key in found:
            raise DataError(
                f"{where(origin.name, header_row, str(label))}: column "
                f"{key!r} is given twice (names ignore case)"
            )
        found[key] = label
    times = [t for t in TIME_NAMES if t in found] or ([_UNNAMED] if _UNNAMED in found else [])
    if "time" in found and "date" in found and "datetime" not in found:
        raise DataError(
            f"{origin.name}: both a 'date' and a 'time' column: give one "
            "column holding date and time of day, named time or datetime"
        )
    if coded == "given" and "code" in found:
        raise DataError(
            f"{where(origin.name, header_row, str(found['code']))}: the file has "
            "codes of its own: code= (--code) names the code of a file without a "
            "code column"
        )
    wanted = () if coded and "code" not in found else ("code",)
    wanted += tuple(columns)
    missing = [c for c in wanted if c not in found] + ([] if times else ["time"])
    if missing:
        have = ", ".join(repr(str(c)) for c in frame.columns) or "none"
        hint = (
            ": a file of one instrument takes its code from code= (--code), e.g. code='NASDAQ.GOOG'"
            if missing == ["code"]
            else ""
        )
        raise DataError(
            f"{where(origin.name, header_row)}: missing column"
            f"{'s' if len(missing) > 1 else ''} {', '.join(map(repr, missing))} "
            f"(columns found: {have}){hint}"
        )
    picked = (
        {"time": found[times[0]]}
        | {c: found[c] for c in wanted}
        | {c: found[c] for c in optional if c in found}
    )
    # the columns as they are, not copied into one block (a large file's second copy)
    out = pd.DataFrame({c: _column(frame[label]) for c, label in picked.items()}, copy=False)
    out["_row"] = rows
    origin.labels = {c: str(label) for c, label in picked.items()}
    return out, origin


def _column(series):
    """A column's values without its index: text kept in its compact string array (a
    Parquet file's codes and times), not made one Python string a row."""
    if isinstance(series.dtype, pd.StringDtype):
        return series.array
    return series.to_numpy()


def _from_wide(frame, origin, rows, columns, optional=()):
    levels = [[_field_key(v) for v in frame.columns.get_level_values(i)] for i in (0, 1)]
    if "close" not in levels[1] and "close" in levels[0]:
        frame = frame.swaplevel(axis=1)
        levels.reverse()
    time_label = str(frame.index.name) if frame.index.name is not None else "time"
    origin.labels = {"time": time_label}
    times = frame.index.to_numpy()
    parts, seen = [], {}
    for position, (code, label) in enumerate(frame.columns):
        seen.setdefault(code, {})
        key = levels[1][position]
        if key in seen[code]:
            raise DataError(f"{where(origin.name, column=(code, str(label)))}: given twice")
        seen[code][key] = position
    for code, positions in seen.items():
        missing = [c for c in columns if c not in positions]
        if missing:
            raise DataError(
                f"{where(origin.name, column=(code, missing[0]))}: missing; each "
                f"code needs the fields {', '.join(columns)}"
            )
        values = {c: frame.iloc[:, positions[c]].to_numpy() for c in columns}
        present = ~np.logical_and.reduce([_blank_mask(v) for v in values.values()])
        extra = [c for c in optional if c in positions]
        values.update({c: frame.iloc[:, positions[c]].to_numpy() for c in extra})
        part = pd.DataFrame(
            {"time": times[present], "code": code} | {c: v[present] for c, v in values.items()}
        )
        part["_row"] = rows[present]
        parts.append(part)
        origin.labels.update({c: str(frame.columns[positions[c]][1]) for c in (*columns, *extra)})
    if not parts:
        raise DataError(f"{origin.name}: no columns")
    return pd.concat(parts, ignore_index=True), origin


def parse_times(values, tz=None):
    """Times as datetime64[ns] (NaT where unreadable or outside the years pandas holds).

    Accepts datetimes, text pandas can read, and digits YYYYMMDD, YYYYMMDDhhmm or
    YYYYMMDDhhmmss (as text or integers; other numbers are not read, so that a date never
    passes for nanoseconds since 1970).  Without `tz`, times with a UTC offset or a zone
    keep their wall time; with `tz` (a zone name such as "Asia/Shanghai" or "UTC") they are
    converted to that zone's wall time, and times without one are taken as times in `tz`.
    """
    return read_times(values, tz)[0]


def read_times(values, tz=None):
    """``(times, offsets)``: the times as `parse_times` gives them, and the UTC offset in
    minutes of each value written with one (NaN for the others), or None when the values
    cannot differ in offset (no value has one, all share one, or they are in one zone)."""
    s = pd.Series(values).reset_index(drop=True)
    if isinstance(s.dtype, pd.DatetimeTZDtype):
        if tz is not None:
            s = s.dt.tz_convert(tz)
        return _to_ns(s.dt.tz_localize(None).to_numpy()), None
    if pd.api.types.is_datetime64_dtype(s.dtype):
        return _to_ns(s.to_numpy()), None
    out = pd.Series(pd.NaT, index=s.index, dtype="datetime64[ns]")
    kind = pd.api.types.infer_dtype(s, skipna=True)
    if kind in ("integer", "floating", "mixed-integer-float", "decimal"):
        numbers = pd.to_numeric(s, errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)
        whole = (
            np.isfinite(numbers) & (numbers == np.floor(numbers)) & (numbers > 0) & (numbers < 1e15)
        )
        text = pd.Series(
            np.where(whole, numbers, 0).astype(np.int64).astype(str), index=s.index, dtype=object
        ).where(whole)
    elif kind in ("string", "empty"):
        fast = _iso_times(s, tz)
        if fast is not None:
            return fast, None
        text = s.astype(object).str.strip()
    else:  # datetimes, dates or a mix of things
        wall = _to_datetime(s).to_numpy()
        offsets = np.array([_offset_of(v) for v in s], dtype=np.float64)
        return _zoned(wall, offsets, tz)
    digits = text.str.isdigit().eq(True)  # NaN for what is not text
    lengths = text.str.len()
    for length, fmt in _DIGIT_FORMATS.items():
        mask = digits & (lengths == length)
        if mask.any():
            out[mask] = _to_ns(pd.to_datetime(text[mask], format=fmt, errors="coerce").to_numpy())
    rest = ~digits & text.notna() & (text != "")
    offsets = np.full(len(s), np.nan)
    if rest.any():
        # Times with an offset: their wall time is the text without it (so that pandas
        # reads all of them at once), their offset the wall time less the instant.
        values = text[rest].tolist()
        starts = np.array([_offset_start(v) for v in values], dtype=np.int64)
        aware = rest.copy()
        aware[rest] = starts >= 0
        plain = pd.Series(
            [v[:k].rstrip() if k >= 0 else v for v, k in zip(values, starts)],
            index=text.index[rest],
            dtype=object,
        )
        out[rest] = _to_datetime(plain)
        if aware.any():
            offsets[aware.to_numpy()] = _offsets(text[aware], out[aware].to_numpy())
    return _zoned(out.to_numpy(), offsets, tz)


def _swap_day_month(date_format):
    return date_format.replace("%d", "\0").replace("%m", "%d").replace("\0", "%m")


def _strptime(text, date_format):
    """`text` read with `date_format` (a datetime, aware when the format reads an
    offset), or None."""
    try:
        return datetime.datetime.strptime(text, date_format)
    except (ValueError, TypeError):
        return None


def check_date_format(date_format: object) -> str | None:
    """`date_format` if it is a strftime format that can read a time it writes; raises
    ValueError (naming the option) otherwise."""
    if date_format is None:
        return None
    if not isinstance(date_format, str):
        raise TypeError(
            f"date_format must be text with strftime codes such as '%d/%m/%Y', got {date_format!r}"
        )
    if "%" not in date_format:
        raise ValueError(
            f"date_format {date_format!r} holds no strftime codes: write it as "
            "e.g. '%d/%m/%Y' (day/month/year) or '%m/%d/%Y %H:%M'"
        )
    sample = datetime.datetime(2004, 9, 13, 15, 45, 30, 250000, tzinfo=datetime.timezone.utc)
    try:
        datetime.datetime.strptime(sample.strftime(date_format), date_format)
    except ValueError as exc:
        raise ValueError(
            f"date_format {date_format!r} is not a format korvit can read times with: {exc}"
        ) from None
    return date_format


def _offset_start(text):
    """Where the UTC offset written after a time of day in `text` starts ("Z", "UTC",
    "GMT", "+08:00", "+0800" or "+08"), or -1 when there is none."""
    n = len(text)
    if n and text[-1] in "Zz":
        k = n - 1
    elif text[-3:].upper() in ("UTC", "GMT"):
        k = n - 3
    elif (
        n > 6
        and text[-6] in "+-"
        and text[-3] == ":"
        and text[-5:-3].isdigit()
        and text[-2:].isdigit()
    ):
        k = n - 6
    elif n > 5 and text[-5] in "+-" and text[-4:].isdigit():
        k = n - 5
    elif n > 3 and text[-3] in "+-" and text[-2:].isdigit():
        k = n - 3
    else:
        return -1
    head = text[:k].rstrip()
    return k if head[-1:].isdigit() and ":" in head[-13:] else -1


_NS_LOW, _NS_HIGH = pd.Timestamp.min, pd.Timestamp.max


def _to_ns(values):
    """datetime64 values of any unit as datetime64[ns], NaT where they lie outside the
    years a nanosecond time holds (pandas 2 and later parse such times in coarser units)."""
    values = np.asarray(values)
    if values.dtype == np.dtype("datetime64[ns]"):
        return values
    unit = np.datetime_data(values.dtype)[0]
    if unit in ("Y", "M", "W", "D", "h", "m"):
        values = values.astype("datetime64[s]")  # exact, and far from overflowing
        unit = "s"
    if unit not in ("s", "ms", "us"):  # finer than ns: rounds, never overflows
        return values.astype("datetime64[ns]")
    per = {"s": 1_000_000_000, "ms": 1_000_000, "us": 1_000}[unit]
    ints = values.view(np.int64)
    inside = (
        ~np.isnat(values) & (ints >= -(-_NS_LOW.value // per)) & (ints <= _NS_HIGH.value // per)
    )
    out = np.full(values.shape, np.datetime64("NaT", "ns"), dtype="datetime64[ns]")
    out[inside] = (ints[inside] * per).view("datetime64[ns]")
    return out


def _offsets(text, wall):
    """UTC offsets in minutes of times written with one: their wall time less their instant."""
    instants = np.full(len(text), np.datetime64("NaT", "ns"), dtype="datetime64[ns]")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for options in ({"format": "ISO8601"}, {"format": "mixed"}, {}):
            missing = np.isnat(instants)
            if not missing.any():
                break
            try:
                utc = pd.to_datetime(text[missing], utc=True, errors="coerce", **options)
            except (ValueError, TypeError):  # a pandas without these formats
                continue
            instants[missing] = _to_ns(utc.dt.tz_localize(None).to_numpy())
    delta = (wall - instants).astype("timedelta64[m]").astype(np.float64)
    delta[np.isnat(wall) | np.isnat(instants)] = np.nan
    return delta


def _offset_of(value):
    """The UTC offset in minutes of a datetime (or time text) that has one, else NaN."""
    if isinstance(value, str):
        if _offset_start(value.strip()) < 0:
            return np.nan
        try:
            value = pd.Timestamp(value.strip())
        except (ValueError, TypeError, OverflowError):
            return np.nan
    try:
        offset = value.utcoffset() if isinstance(value, datetime.datetime) else None
    except (ValueError, TypeError):
        offset = None
    return np.nan if offset is None else offset.total_seconds() / 60


def _zoned(wall, offsets, tz):
    """Wall times and offsets as `read_times` gives them: converted to `tz` when given."""
    aware = ~np.isnan(offsets)
    if not aware.any():
        return wall, None
    if tz is None:
        return wall, offsets
    instants = wall[aware] - (offsets[aware] * 60e9).astype("timedelta64[ns]")
    local = pd.DatetimeIndex(instants).tz_localize("UTC").tz_convert(tz).tz_localize(None)
    wall = wall.copy()
    wall[aware] = _to_ns(local.to_numpy())
    return wall, None


def check_zone(tz: Any) -> Any:
    """`tz` if pandas knows the zone (a name such as "Asia/Shanghai", "UTC", or a tzinfo)."""
    if tz is None:
        return None
    try:
        pd.Timestamp("2000-01-01").tz_localize(tz)
    except Exception:
        raise ValueError(
            f"unknown time zone {tz!r}: give a name such as 'Asia/Shanghai' or 'UTC'"
        ) from None
    return tz


def fmt_offset(minutes):
    """A UTC offset for messages: "+08:00", or "no UTC offset"."""
    if np.isnan(minutes):
        return "no UTC offset"
    sign = "-" if minutes < 0 else "+"
    hours, mins = divmod(int(abs(minutes)), 60)
    return f"UTC offset {sign}{hours:02d}:{mins:02d}"


def out_of_range(value):
    """The time `value` reads as when it lies outside the years a nanosecond time holds
    (1677-09-21 to 2262-04-11), else None."""
    if isinstance(value, (float, np.floating)) and np.isfinite(value) and float(value).is_integer():
        value = int(value)
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        value = str(value)
    try:
        if isinstance(value, str):
            text = value.strip()
            if text.isdigit():
                fmt = _DIGIT_FORMATS.get(len(text))
                stamp = datetime.datetime.strptime(text, fmt) if fmt else None
            else:
                from dateutil import parser

                stamp = parser.parse(text)
        elif isinstance(value, np.datetime64):
            stamp = value.astype("datetime64[s]").item()
        else:
            stamp = value
        if not isinstance(stamp, datetime.datetime):
            return None
        naive = stamp.replace(tzinfo=None)
    except (ValueError, TypeError, OverflowError):
        return None
    if _NS_LOW.ceil("us").to_pydatetime() <= naive <= _NS_HIGH.floor("us").to_pydatetime():
        return None
    return naive


def _iso_times_once(text, tz=None):
    """``_iso_times`` of text that repeats (the times of many codes): each distinct
    value is read once, then placed at its rows."""
    labels, distinct = pd.factorize(text)
    if not len(distinct) or (labels < 0).any():  # missing times: the usual way tells where
        return _iso_times(text, tz)
    times = _iso_times(pd.Series(distinct, dtype=object), tz)
    return None if times is None else times[labels]


def _iso_times(text, tz=None):
    """All the times at once when every value is ISO 8601 text with a dashed date
    (the common case, and the fast one), all without a UTC offset or all with the same
    one; None when any is not."""
    head = text.iloc[:64]
    if not len(text) or not head.map(lambda v: isinstance(v, str) and v[4:5] == "-").all():
        return None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # pandas 2 warns of mixed offsets, and gives objects
            parsed = pd.to_datetime(text, format="ISO8601")
    except (ValueError, TypeError, OverflowError):
        return None
    if parsed.isna().any() or not (
        isinstance(parsed.dtype, pd.DatetimeTZDtype)
        or pd.api.types.is_datetime64_dtype(parsed.dtype)
    ):
        return None
    if isinstance(parsed.dtype, pd.DatetimeTZDtype):
        if tz is not None:
            parsed = parsed.dt.tz_convert(tz)
        parsed = parsed.dt.tz_localize(None)
    times = _to_ns(parsed.to_numpy())
    return None if np.isnat(times).any() else times


def _to_datetime(values):
    """Parse with one inferred format, then with a format per value; the values still
    unread are tried one by one up to the first that fails (which is reported).  Times
    keep their wall time."""
    out = pd.Series(pd.NaT, index=values.index, dtype="datetime64[ns]")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for options in ({}, {"format": "mixed"}):
            missing = out.isna().to_numpy()
            if not missing.any():
                break
            try:
                parsed = pd.to_datetime(values[missing], errors="coerce", **options)
                if isinstance(parsed.dtype, pd.DatetimeTZDtype):
                    parsed = parsed.dt.tz_localize(None)
                if pd.api.types.is_datetime64_dtype(parsed.dtype):
                    out[missing] = _to_ns(parsed.to_numpy())
            except (ValueError, TypeError, OverflowError):
                pass  # mixed time zones, or a pandas without format="mixed"
        for pos in np.flatnonzero(out.isna().to_numpy()):
            out.iat[pos] = _one_time(values.iat[pos])
            if out.iat[pos] is pd.NaT:
                break
    return out


def _one_time(value):
    try:
        stamp = pd.Timestamp(value)
    except (ValueError, TypeError, OverflowError):
        return pd.NaT
    if stamp is pd.NaT:
        return pd.NaT
    if stamp.tzinfo is not None:
        stamp = stamp.tz_localize(None)
    try:
        return stamp.as_unit("ns") if hasattr(stamp, "as_unit") else stamp
    except (ValueError, OverflowError):
        return pd.NaT


def fmt_time(stamp: Any) -> str:
    """A time for messages: the date alone when at midnight."""
    stamp = pd.Timestamp(stamp)
    return str(stamp.date()) if stamp == stamp.normalize() else str(stamp)


def fmt_num(value: Any) -> str:
    """A number for messages, as short as it reads exactly."""
    value = float(value)
    return str(int(value)) if value.is_integer() and abs(value) < 1e15 else repr(value)


def _key(label):
    return str(label).strip().lower()


def _field_key(label):
    """The column `label` is matched as: its lower-case text, or "adj_close" for the
    adjusted close of vendor exports."""
    key = _key(label)
    squashed = "".join(ch for ch in key if ch not in " _.-")
    return ADJ_CLOSE if squashed in _ADJ_NAMES else key


def _is_nan_text(value):
    return value.strip().lower() in ("nan", "na", "n/a", "null", "none", "-nan")


def _is_blank(value):
    if value is None or value is pd.NaT:
        return True
    if isinstance(value, str):
        return not value.strip()
    try:
        return bool(pd.isna(value))
    except (TypeError, ValueError):
        return False


def _blank_mask(values):
    series = pd.Series(values)
    blank = series.isna().to_numpy()
    if series.dtype == object:
        blank |= series.map(lambda v: isinstance(v, str) and not v.strip()).to_numpy(bool)
    return blank


def _one_line(exc):
    return " ".join(str(exc).split())
