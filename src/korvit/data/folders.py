"""Bars from a folder: one file per code, or a partitioned Parquet dataset.

A folder holds CSV or Parquet files whose codes come from, in this order, a ``code=``
folder above them (``code=SSE.600000/part-0.parquet``), their own name without its
extension (``SSE.600000.csv``) or their own code column.  The files are read through
``pyarrow.dataset``, only the columns a bar file takes, and with ``start``/``end`` and
``codes`` applied while the files are scanned; the result is the one long table a single
bar file gives (`korvit.data._table.Table`), so that the bars go through the same checks.
Files in sorted order of their paths give the order of the rows, hence of the codes.

Files whose values the fast scan cannot take as they are (times other than ISO 8601
without a UTC offset, numbers with blanks around them, text in number columns, ...) are
read as a single file is, and checked as such.
"""

from __future__ import annotations

import csv
import os
from typing import Any
from urllib.parse import unquote

import numpy as np
import pandas as pd

from korvit.data._table import Origin, Table, _from_long, _read_one
from korvit.data.errors import DataError, check_code, where

__all__ = ["is_folder", "read_folder"]

_KINDS = {"csv": "csv", "txt": "csv", "parquet": "parquet", "pq": "parquet"}
_ARROW_ERRORS: tuple[type[BaseException], ...] = ()


def is_folder(source: object) -> bool:
    """Whether `source` names a folder."""
    return isinstance(source, (str, os.PathLike)) and os.path.isdir(source)


class _File:
    __slots__ = ("path", "kind", "code", "labels", "coded", "number", "parted")

    def __init__(self, path: str, kind: str, code: str | None) -> None:
        self.path, self.kind, self.code = path, kind, code
        self.number = 0  # the file's place in the folder's order
        self.parted = False  # whether a ``code=`` folder gives the code
        self.labels: dict[str, str] = {}  # canonical column -> label as written
        self.coded = False  # whether the file has a code column


def read_folder(
    folder: Any,
    columns: tuple[str, ...],
    optional: tuple[str, ...],
    lo: np.datetime64 | None,
    hi: np.datetime64 | None,
    codes: list[str] | None,
) -> Table:
    """The bars of the files in `folder` as one `Table` (named by the folder), their
    columns `columns` and those of `optional` the files have; only the rows from `lo`
    to `hi` (datetime64[ns] bounds, None for none) of the codes `codes` (None: all)
    where the files' times allow it (the caller trims the rest)."""
    _arrow()
    name = os.fspath(folder)
    files = _bar_files(name)
    if not files:
        raise DataError(
            f"{name}: no bar files in the folder: give files named by their code "
            "(SSE.600000.csv, NASDAQ.GOOG.parquet) or a partitioned Parquet dataset "
            "(code=SSE.600000/part-0.parquet)"
        )
    _check_unique(files)
    if codes is not None:
        files = _selected(name, files, codes)
    first = None
    read: dict[tuple[Any, ...], dict[str, str]] = {}  # the labels of each header seen
    for number, file in enumerate(files):
        file.number = number
        _columns_of(file, columns, optional, read)
        if file.labels:
            first = _check_same_columns(file, first)
    files = [file for file in files if file.labels]
    wanted = None if codes is None else {code.upper() for code in codes}
    pieces = sorted(_scan(files, columns, optional, lo, hi, wanted), key=lambda piece: piece[0])
    origins = [piece[-1] for piece in pieces]
    parts = [piece[1:] for piece in pieces]
    del pieces  # the parts' only holder is `parts` now, which `_assembled` empties
    return Table(_assembled(parts, name), origins, name)


def _assembled(pieces: list[tuple[Any, ...]], name: str) -> pd.DataFrame:
    """One frame of the pieces of the files (in file order): arrow tables joined and
    converted at once, their codes a categorical column.  Empties ``pieces``: the
    files' tables are let go as the frame is made of them."""
    import pyarrow as pa

    if not pieces:
        raise DataError(f"{name}: no bars")
    fast = all(piece[0] == "arrow" for piece in pieces)
    if fast:
        try:
            table = pa.concat_tables([p[1] for p in pieces], promote_options="permissive")
        except _ARROW_ERRORS:
            fast = False
    if not fast:  # as pandas joins them
        frames = [_as_frame(piece) for piece in pieces]
        for number, frame in enumerate(frames):
            frame["_org"] = number
        return pd.concat(frames, ignore_index=True)
    codes = pa.chunked_array(
        [
            pa.DictionaryArray.from_arrays(
                pa.array(np.zeros(p[1].num_rows, np.int32)), pa.array([p[2]], pa.string())
            )
            if isinstance(p[2], str)
            else p[2].dictionary_encode()
            for p in pieces
        ]
    ).unify_dictionaries()
    rows = np.concatenate([p[3] for p in pieces])
    origins = np.repeat(np.arange(len(pieces)), [p[1].num_rows for p in pieces])
    pieces.clear()
    from korvit.data.bars import give_back

    # a column at a time, each column's arrow memory let go once converted: the frame
    # and the table are not both held whole
    columns = {}
    while table.num_columns:
        columns[table.column_names[0]] = table.column(0).to_pandas()
        table = table.remove_column(0)
        give_back(table.num_rows * 8)
    frame = pd.DataFrame(columns, copy=False)
    frame.insert(1, "code", codes.to_pandas())
    frame["_row"] = rows
    frame["_org"] = origins
    return frame


def _as_frame(piece: tuple[Any, ...]) -> pd.DataFrame:
    if piece[0] == "frame":
        return piece[1]
    frame = piece[1].to_pandas()
    code = piece[2]
    frame.insert(1, "code", code if isinstance(code, str) else code.to_pandas())
    frame["_row"] = piece[3]
    return frame


def _arrow() -> None:
    global _ARROW_ERRORS
    try:
        import pyarrow as pa
    except ImportError as exc:  # pragma: no cover - a core dependency
        raise ImportError(f"reading a folder of bars needs pyarrow: {exc}") from None
    _ARROW_ERRORS = (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError)


def _bar_files(folder: str) -> list[_File]:
    """The bar files under `folder` in sorted order, each with the code its place gives
    (a ``code=`` folder above it, else its name when that reads as a code)."""
    found = []
    for top, dirs, names in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith((".", "_")))
        part = None
        for piece in os.path.relpath(top, folder).split(os.sep):
            key, sep, value = piece.partition("=")
            if sep and key.strip().lower() == "code":
                part = unquote(value)
        for file in sorted(names):
            stem, dot, suffix = file.rpartition(".")
            kind = _KINDS.get(suffix.lower()) if dot else None
            if kind is None or file.startswith((".", "_")):
                continue
            path = os.path.join(top, file)
            if part is not None:
                code = check_code(part, f"{top}, the folder's code")
            else:
                try:
                    code = check_code(stem)
                except DataError:
                    code = None  # the file's own code column names its codes
            found.append(_File(path, kind, code))
            found[-1].parted = part is not None
    return found


def _check_unique(files: list[_File]) -> None:
    """Two files named by one code (``X.csv`` and ``X.parquet``), or one named by a code
    whose ``code=`` folder the folder has too, are refused."""
    named: dict[str, _File] = {}
    parted: dict[str, _File] = {}
    for file in files:
        if file.code is None:
            continue
        key = file.code.upper()
        mine, others = (named, parted) if _named(file) else (parted, named)
        other = others.get(key) or (named.get(key) if mine is named else None)
        if other is not None:
            raise DataError(
                f"{file.path}: a second file of {file.code} (the first is {other.path}): "
                "keep one file per code"
            )
        mine.setdefault(key, file)


def _named(file: _File) -> bool:
    """Whether the file takes its code from its own name."""
    return file.code is not None and not file.parted


def _selected(folder: str, files: list[_File], codes: list[str]) -> list[_File]:
    """The files that may hold bars of `codes`: those of these codes and those with
    codes of their own; a code no file can hold is refused."""
    keys = {code.upper() for code in codes}
    known = {file.code.upper(): file.code for file in files if file.code is not None}
    if all(file.code is not None for file in files):
        unknown = [code for code in codes if code.upper() not in known]
        if unknown:
            shown = list(dict.fromkeys(known.values()))
            more = f" and {len(shown) - 10:,d} more" if len(shown) > 10 else ""
            raise DataError(
                f"{folder}: no bars of {', '.join(map(repr, unknown))} "
                f"(codes found: {', '.join(shown[:10])}{more})"
            )
    return [file for file in files if file.code is None or file.code.upper() in keys]


def _header(file: _File) -> list[str] | None:
    """The column names of a file (None for an empty one)."""
    if file.kind == "parquet":
        import pyarrow.parquet as pq

        try:
            meta = pq.read_metadata(file.path)
        except Exception as exc:  # pyarrow raises many kinds for a broken file
            raise DataError(
                f"{file.path}: cannot read the file as Parquet: {' '.join(str(exc).split())}"
            ) from None
        if meta.num_rows == 0:
            return None
        return list(meta.schema.to_arrow_schema().names)
    try:
        with open(file.path, encoding="utf-8-sig", newline="") as text:
            reader = csv.reader(text)
            header = next(reader, None)
            body = next((row for row in reader if any(v.strip() for v in row)), None)
    except UnicodeDecodeError:
        raise DataError(f"{file.path}: the file is not UTF-8 text") from None
    return None if header is None or body is None else header


def _columns_of(
    file: _File,
    columns: tuple[str, ...],
    optional: tuple[str, ...],
    read: dict[tuple[Any, ...], dict[str, str]],
) -> None:
    """The file's columns, checked as a single file's are (once for each header)."""
    header = _header(file)
    if header is None and file.parted and file.kind == "parquet":
        return  # a part of a dataset without rows: nothing to read
    if header is None:
        raise DataError(f"{file.path}: the file is empty")
    key = (file.kind, file.code is None, *header)
    if key in read:
        file.labels = read[key]
        file.coded = "code" in file.labels
        return
    frame = pd.DataFrame({label: [] for label in header})
    if len(frame.columns) != len(header):  # a label given twice: as a single file says it
        _read_one(file.path, columns, False, optional, None, file.code)
    keys = {label.strip().lower() for label in header}
    if file.code is None and "code" not in keys:
        stem = os.path.basename(file.path).rpartition(".")[0]
        try:
            check_code(stem)
        except DataError as exc:
            raise DataError(
                f"{file.path}: the file's name is no code and the file has no code column "
                f"({str(exc)[0].lower()}{str(exc)[1:]}): name a file of a folder by its "
                "code, e.g. SSE.600000.csv"
            ) from None
    _, origin = _from_long(
        frame,
        Origin(file.path),
        np.zeros(0, np.int64),
        columns,
        header_row=1 if file.kind == "csv" else None,
        optional=optional,
        coded="default" if file.code is not None else None,
    )
    file.labels = read[key] = origin.labels
    file.coded = "code" in origin.labels


def _check_same_columns(file: _File, first: _File | None) -> _File:
    """The files of a folder hold the same columns (a code column aside)."""
    if first is None:
        return file
    mine = {c: label for c, label in file.labels.items() if c != "code"}
    theirs = {c: label for c, label in first.labels.items() if c != "code"}
    for column, label in mine.items():
        if column not in theirs:
            raise DataError(
                f"{where(file.path, column=label)}: {first.path} has no such column: "
                "the files of a folder hold the same columns"
            )
    for column, label in theirs.items():
        if column not in mine:
            raise DataError(
                f"{file.path}: no column {label!r}, which {first.path} has: the files of a "
                "folder hold the same columns"
            )
    return first


def _scan(files, columns, optional, lo, hi, wanted):
    """``[(number, frame, origin)]`` of `files`: one scan of each set of files of one
    format and the same labels, and each file of a set the scan cannot take read as a
    single file is."""
    groups: dict[tuple[Any, ...], list[_File]] = {}
    for file in files:
        groups.setdefault((file.kind, tuple(sorted(file.labels.items()))), []).append(file)
    pieces = []
    for group in groups.values():
        try:
            pieces += _fast(group, columns, optional, lo, hi, wanted)
        except _ARROW_ERRORS:
            pieces += [_slow(file, columns, optional) for file in group]
    return pieces


def _fast(group, columns, optional, lo, hi, wanted):
    import pyarrow as pa
    import pyarrow.compute as pc
    import pyarrow.csv as pacsv
    import pyarrow.dataset as ds

    first = group[0]
    names = [c for c in ("time", "code", *columns, *optional) if c in first.labels]
    labels = [first.labels[c] for c in names]
    time_label, code_label = labels[0], first.labels.get("code")
    if first.kind == "csv":
        types = {label: pa.float64() for label in labels}
        types[time_label] = pa.timestamp("ns")
        if code_label is not None:
            types[code_label] = pa.string()
        fmt = ds.CsvFileFormat(
            convert_options=pacsv.ConvertOptions(column_types=types),
            parse_options=pacsv.ParseOptions(ignore_empty_lines=False),
        )
    else:
        fmt = ds.ParquetFileFormat()
    dataset = ds.dataset([file.path for file in group], format=fmt)
    number = {os.path.abspath(file.path): k for k, file in enumerate(group)}
    batches: dict[int, list[Any]] = {}
    for tagged in dataset.scanner(columns=labels).scan_batches():
        k = number[os.path.abspath(tagged.fragment.path)]
        batches.setdefault(k, []).append(tagged.record_batch)
    time_type = dataset.schema.field(time_label).type
    pushed = (lo is not None or hi is not None) and (
        (pa.types.is_timestamp(time_type) and time_type.tz is None) or pa.types.is_date(time_type)
    )
    schema = pa.schema([dataset.schema.field(label) for label in labels])
    out = []
    for k, file in enumerate(group):
        table = pa.Table.from_batches(batches.get(k, []), schema=schema)
        rows = np.arange(table.num_rows, dtype=np.int64) + (2 if file.kind == "csv" else 1)
        keep = None
        if file.kind == "csv":  # blank lines are no rows
            blank = pc.is_null(table[time_label])
            for label in labels[1:]:
                blank = pc.and_(blank, pc.is_null(table[label]))
            keep = pc.invert(blank)
        if pushed:
            times = pc.cast(table[time_label], pa.timestamp("ns"))
            inside = pc.fill_null(_within(times, lo, hi), True)  # a missing time is told later
            keep = inside if keep is None else pc.and_(keep, inside)
        if wanted is not None and code_label is not None:
            code = pc.utf8_upper(pc.utf8_trim_whitespace(table[code_label]))
            mine = pc.fill_null(pc.is_in(code, pa.array(sorted(wanted))), True)
            keep = mine if keep is None else pc.and_(keep, mine)
        if keep is not None:
            keep = pc.fill_null(keep, True)
            rows = rows[keep.to_numpy(zero_copy_only=False)]
            table = table.filter(keep)
        table = table.rename_columns(names)
        if code_label is None:
            code = file.code
        else:
            code = table["code"].combine_chunks()
            table = table.drop_columns(["code"])
            if file.code is not None:
                _check_agree(file, code.to_pandas(), rows)
        origin = Origin(file.path, labels=dict(file.labels))
        origin.labels.setdefault("code", "code")
        out.append((file.number, "arrow", table, code, rows, origin))
    return out


def _within(times, lo, hi):
    import pyarrow as pa
    import pyarrow.compute as pc

    test = None
    if lo is not None:
        test = pc.greater_equal(times, pa.scalar(lo, pa.timestamp("ns")))
    if hi is not None:
        upper = pc.less_equal(times, pa.scalar(hi, pa.timestamp("ns")))
        test = upper if test is None else pc.and_(test, upper)
    return test


def _check_agree(file, written, rows):
    """A file named by its code (or in its code's folder) holds no other code."""
    written = written.astype(object)
    other = written.map(lambda v: isinstance(v, str) and v.strip().upper() != file.code.upper())
    hits = np.flatnonzero(other.to_numpy(bool))
    if hits.size:
        pos = int(hits[0])
        raise DataError(
            f"{where(file.path, rows[pos], file.labels['code'])}: code {written.iat[pos].strip()!r} "
            f"in a file of {file.code}: a file of a folder holds the bars of the code that "
            "names it"
        )


def _slow(file, columns, optional):
    """A file read as a single file is, with the code its place gives."""
    frame, origin = _read_one(file.path, columns, False, optional, None, file.code)
    if file.code is not None and file.coded:
        _check_agree(file, frame["code"], frame["_row"].to_numpy())
    return file.number, "frame", frame, origin
