"""Reading bar and tick tables from CSV, Parquet or DataFrames, keeping where every row came from.

Every source becomes one long table: the canonical columns ("time", "code" and the value
columns) holding the values as read, plus the user-visible row number of each row and the
source it came from, so that every check can name file, row and column.  Row numbers are
what the user sees: the line number in a CSV file, the 1-based row in a Parquet file or a
DataFrame.
"""

import os
import warnings
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from korvit.data.errors import DataError, check_code, where

__all__ = ["TIME_NAMES", "Table", "read_table", "parse_times", "fmt_time"]

# Names accepted for the time column, in order of preference.
TIME_NAMES = ("datetime", "time", "date")
_CSV_OPTIONS = dict(skipinitialspace=True, encoding="utf-8-sig")
_DIGIT_FORMATS = {8: "%Y%m%d", 12: "%Y%m%d%H%M", 14: "%Y%m%d%H%M%S"}


@dataclass
class Origin:
    """One source: its name in messages and how its columns are labelled."""

    name: str
    labels: dict = field(default_factory=dict)   # canonical column -> label as written
    wide: bool = False
    code_row: int | None = None                  # wide CSV: the line of the code header

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

    def __init__(self, frame, origins):
        self.frame = frame.reset_index(drop=True)
        self.origins = origins
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
        return " + ".join(origin.name for origin in self.origins)

    def where(self, pos, column=None):
        """The file, row and column of the value at position `pos` of `column`."""
        origin = self.origins[self.org[pos]]
        code = self.frame["code"].iat[pos] if "code" in self.frame else None
        row = self.rows[pos]
        if origin.wide and column == "code":
            row = origin.code_row
        return where(origin.name, row, None if column is None else origin.label(column, code))

    def fail(self, mask, column, describe):
        """Raise a DataError at the first position where `mask` holds, if any.

        `describe(pos)` words the problem; further offending rows are counted.
        """
        hits = np.flatnonzero(mask)
        if hits.size:
            pos = int(hits[0])
            more = f" ({hits.size - 1} more rows like this)" if hits.size > 1 else ""
            raise DataError(f"{self.where(pos, column)}: {describe(pos)}{more}")

    def codes(self):
        """The codes as written (stripped) and their upper-case keys; checks the format."""
        labels, uniques = pd.factorize(self.frame["code"])
        self.fail(labels < 0, "code", lambda pos: "code is missing")
        firsts = np.unique(labels, return_index=True)[1]
        checked = [check_code(uniques[u], self.where(int(firsts[u]), "code"))
                   for u in range(len(uniques))]
        written = np.array(checked, dtype=object)[labels]
        keys = np.array([code.upper() for code in checked], dtype=object)[labels]
        return written, keys

    def times(self):
        """The time column as datetime64[ns]; fails on missing or unparseable times."""
        raw = self.frame["time"]
        parsed = parse_times(raw)

        def describe(pos):
            value = raw.iat[pos]
            if _is_blank(value):
                return "time is missing"
            return f"cannot read {str(value).strip()!r} as a time"

        self.fail(np.isnat(parsed), "time", describe)
        return parsed

    def numbers(self, column, *, positive=False):
        """The column as float64; fails on missing, non-numeric, infinite or
        negative values (or non-positive ones when `positive`)."""
        raw = self.frame[column]
        values = pd.to_numeric(raw, errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)

        def unreadable(pos):
            value = raw.iat[pos]
            if _is_blank(value):
                return f"{column} is missing"
            if isinstance(value, str) and not _is_nan_text(value):
                return f"cannot read {value.strip()!r} as a number"
            if np.isnan(values[pos]):
                return f"{column} is missing (NaN)"
            return f"{column} is {values[pos]!r}, not a finite number"

        self.fail(~np.isfinite(values), column, unreadable)
        if positive:
            self.fail(values <= 0, column,
                      lambda pos: f"{column} {fmt_num(values[pos])} is not positive")
        else:
            self.fail(values < 0, column,
                      lambda pos: f"{column} {fmt_num(values[pos])} is negative")
        return values


def read_table(source, columns, *, allow_wide):
    """Read `source` into a `Table` with the columns "time", "code" and `columns`.

    `source` is a DataFrame, a CSV or Parquet path, or a list of them (concatenated in
    order).  Column names are matched case-insensitively, "datetime" or "date" serve as
    "time", other columns are dropped.  With `allow_wide`, a frame whose columns are a
    two-level (code, field) MultiIndex with the time as index, or a CSV with two header
    rows (code, field) and the time in the first column, is read as well.
    """
    sources = list(source) if isinstance(source, (list, tuple)) else [source]
    if not sources:
        raise DataError("no source given: pass a DataFrame, a file path or a list of them")
    frames, origins = [], []
    for number, item in enumerate(sources):
        frame, origin = _read_one(item, columns, allow_wide)
        frame["_org"] = number
        frames.append(frame)
        origins.append(origin)
    frame = frames[0] if len(frames) == 1 else pd.concat(frames, ignore_index=True)
    return Table(frame, origins)


def _read_one(source, columns, allow_wide):
    if isinstance(source, pd.DataFrame):
        rows = np.arange(1, len(source) + 1)
        return _from_frame(source, Origin("DataFrame"), rows, columns, allow_wide)
    if not isinstance(source, (str, os.PathLike)):
        raise TypeError(f"cannot read data from {type(source).__name__}: pass a DataFrame, "
                        "a CSV or Parquet path, or a list of them")
    name = os.fspath(source)
    if isinstance(name, str) and "\n" in name:
        raise TypeError("source holds text with line breaks, not a file path: write the "
                        "data to a file or pass a DataFrame")
    if not os.path.isfile(name):
        raise FileNotFoundError(f"{name}: no such file")
    suffixes = [s.lower() for s in os.path.basename(name).split(".")[1:]]
    if "parquet" in suffixes or "pq" in suffixes:
        frame = _read_parquet(name)
        rows = np.arange(1, len(frame) + 1)
        return _from_frame(frame, Origin(name), rows, columns, allow_wide)
    if "csv" in suffixes or "txt" in suffixes:
        return _read_csv(name, columns, allow_wide)
    raise DataError(f"{name}: unknown file type: name it .csv or .parquet")


def _read_parquet(name):
    try:
        import pyarrow  # noqa: F401  (pandas reads Parquet through it)
    except ImportError as exc:
        raise ImportError(f"{name}: reading Parquet files needs pyarrow, installed with "
                          f"pip install 'korvit[parquet]' ({_one_line(exc)})") from None
    try:
        return pd.read_parquet(name)
    except Exception as exc:  # pyarrow raises many kinds for a broken file
        raise DataError(f"{name}: cannot read the file as Parquet: {_one_line(exc)}") from None


def _csv(name, **options):
    try:
        return pd.read_csv(name, **_CSV_OPTIONS, **options)
    except pd.errors.EmptyDataError:
        raise DataError(f"{name}: the file is empty") from None
    except pd.errors.ParserError as exc:
        raise DataError(f"{name}: cannot read the file as CSV: {_one_line(exc)}") from None
    except UnicodeDecodeError:
        raise DataError(f"{name}: the file is not UTF-8 text") from None


def _read_csv(name, columns, allow_wide):
    head = _csv(name, header=None, nrows=3, dtype=str, keep_default_na=False)
    header = [str(v) for v in head.iloc[0]]
    first = [_key(v) for v in header]
    long = "code" in first and any(t in first for t in TIME_NAMES)
    if allow_wide and not long and len(head) >= 2:
        fields = {_key(v) for v in head.iloc[1, 1:]}
        if "close" in fields:
            # pandas reads a third header line when it names only the index column
            third = head.iloc[2].tolist() if len(head) >= 3 else []
            index_names = bool(third) and bool(str(third[0]).strip()) and not any(
                str(v).strip() for v in third[1:])
            frame = _csv(name, header=[0, 1], index_col=0, skip_blank_lines=False)
            rows = np.arange(len(frame)) + (4 if index_names else 3)
            return _from_wide(frame, Origin(name, wide=True, code_row=1), rows, columns)
    for pos, key in enumerate(first):
        if key in first[:pos]:
            raise DataError(f"{where(name, 1, header[pos])}: column {key!r} is given "
                            "twice (names ignore case)")
    text = {label: str for label, key in zip(header, first) if key in ("code",) + TIME_NAMES}
    frame = _csv(name, skip_blank_lines=False, dtype=text)
    rows = np.arange(len(frame)) + 2
    blank = frame.isna().all(axis=1).to_numpy()
    frame, rows = frame[~blank], rows[~blank]
    return _from_long(frame, Origin(name), rows, columns, header_row=1)


def _from_frame(frame, origin, rows, columns, allow_wide):
    if isinstance(frame.columns, pd.MultiIndex):
        if frame.columns.nlevels == 2 and allow_wide:
            return _from_wide(frame, origin, rows, columns)
        raise DataError(f"{origin.name}: columns are a {frame.columns.nlevels}-level "
                        "MultiIndex; give the long columns "
                        f"{', '.join(('time', 'code') + tuple(columns))}"
                        + (" or (code, field) columns with the time as index"
                           if allow_wide else ""))
    names = {_key(c) for c in frame.columns}
    index_name = _key(frame.index.name) if frame.index.name is not None else None
    if not names & set(TIME_NAMES) and (
            isinstance(frame.index, pd.DatetimeIndex) or index_name in TIME_NAMES):
        frame = frame.reset_index()
        frame = frame.rename(columns={frame.columns[0]: frame.columns[0]
                                      if index_name in TIME_NAMES else "time"})
    return _from_long(frame, origin, rows, columns, header_row=None)


def _from_long(frame, origin, rows, columns, header_row):
    found = {}
    for label in frame.columns:
        key = _key(label)
        if key in found:
            raise DataError(f"{where(origin.name, header_row, str(label))}: column "
                            f"{key!r} is given twice (names ignore case)")
        found[key] = label
    times = [t for t in TIME_NAMES if t in found]
    if "time" in found and "date" in found and "datetime" not in found:
        raise DataError(f"{origin.name}: both a 'date' and a 'time' column: give one "
                        "column holding date and time of day, named time or datetime")
    wanted = ("code",) + tuple(columns)
    missing = [c for c in wanted if c not in found] + ([] if times else ["time"])
    if missing:
        have = ", ".join(str(c) for c in frame.columns) or "none"
        raise DataError(f"{where(origin.name, header_row)}: missing column"
                        f"{'s' if len(missing) > 1 else ''} {', '.join(map(repr, missing))} "
                        f"(columns found: {have})")
    picked = {"time": found[times[0]]} | {c: found[c] for c in wanted}
    out = pd.DataFrame({c: frame[label].to_numpy() for c, label in picked.items()})
    out["_row"] = rows
    origin.labels = {c: str(label) for c, label in picked.items()}
    return out, origin


def _from_wide(frame, origin, rows, columns):
    levels = [[_key(v) for v in frame.columns.get_level_values(i)] for i in (0, 1)]
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
            raise DataError(f"{where(origin.name, column=(code, missing[0]))}: missing; each "
                            f"code needs the fields {', '.join(columns)}")
        values = {c: frame.iloc[:, positions[c]].to_numpy() for c in columns}
        present = ~np.logical_and.reduce([_blank_mask(v) for v in values.values()])
        part = pd.DataFrame({"time": times[present], "code": code}
                            | {c: v[present] for c, v in values.items()})
        part["_row"] = rows[present]
        parts.append(part)
        origin.labels.update({c: str(frame.columns[positions[c]][1]) for c in columns})
    if not parts:
        raise DataError(f"{origin.name}: no columns")
    return pd.concat(parts, ignore_index=True), origin


def parse_times(values):
    """Times as datetime64[ns] (NaT where unreadable).

    Accepts datetimes (time-zone aware ones keep their wall time), text pandas can read,
    and digits YYYYMMDD, YYYYMMDDhhmm or YYYYMMDDhhmmss (as text or integers; other
    numbers are not read, so that a date never passes for nanoseconds since 1970).
    """
    s = pd.Series(values).reset_index(drop=True)
    if isinstance(s.dtype, pd.DatetimeTZDtype):
        s = s.dt.tz_localize(None)
    if pd.api.types.is_datetime64_dtype(s.dtype):
        return s.astype("datetime64[ns]").to_numpy()
    out = pd.Series(pd.NaT, index=s.index, dtype="datetime64[ns]")
    kind = pd.api.types.infer_dtype(s, skipna=True)
    if kind in ("integer", "floating", "mixed-integer-float", "decimal"):
        numbers = pd.to_numeric(s, errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)
        whole = np.isfinite(numbers) & (numbers == np.floor(numbers)) & (numbers > 0)
        text = pd.Series(np.where(whole, numbers, 0).astype(np.int64).astype(str),
                         index=s.index, dtype=object).where(whole)
    elif kind in ("string", "empty"):
        fast = _iso_times(s)
        if fast is not None:
            return fast
        text = s.astype(object).str.strip()
    else:                                   # datetimes, dates or a mix of things
        return _to_datetime(s).to_numpy()
    digits = text.str.isdigit().eq(True)          # NaN: not digits (fillna would downcast, which pandas 2.2+ warns of)
    lengths = text.str.len()
    for length, fmt in _DIGIT_FORMATS.items():
        mask = digits & (lengths == length)
        if mask.any():
            out[mask] = pd.to_datetime(text[mask], format=fmt, errors="coerce")
    rest = ~digits & text.notna() & (text != "")
    if rest.any():
        out[rest] = _to_datetime(text[rest])
    return out.to_numpy()


def _iso_times(text):
    """All the times at once when every value is ISO 8601 text with a dashed date
    (the common case, and the fast one); None when any is not."""
    head = text.iloc[:64]
    if not len(text) or not head.map(lambda v: isinstance(v, str) and v[4:5] == "-").all():
        return None
    try:
        parsed = pd.to_datetime(text, format="ISO8601")
    except (ValueError, TypeError, OverflowError):
        return None
    if parsed.isna().any() or isinstance(parsed.dtype, pd.DatetimeTZDtype):
        return None
    return parsed.astype("datetime64[ns]").to_numpy()


def _to_datetime(values):
    """Parse with one inferred format, then with a format per value; the values still
    unread are tried one by one up to the first that fails (which is reported)."""
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
                    out[missing] = parsed.astype("datetime64[ns]")
            except (ValueError, TypeError, OverflowError):
                pass            # mixed time zones, or a pandas without format="mixed"
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


def fmt_time(stamp):
    """A time for messages: the date alone when at midnight."""
    stamp = pd.Timestamp(stamp)
    return str(stamp.date()) if stamp == stamp.normalize() else str(stamp)


def fmt_num(value):
    """A number for messages, as short as it reads exactly."""
    value = float(value)
    return str(int(value)) if value.is_integer() and abs(value) < 1e15 else repr(value)


def _key(label):
    return str(label).strip().lower()


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
