"""Writing output files so that a reader never sees a torn one.

``atomic_write`` writes one file through a temporary file beside it and
``os.replace``.  ``save_file_set`` writes a set of files that belong together
(the outputs of one backtest) so that the folder shows either the whole
earlier set or the whole new one, at every instant and after a kill at any
point:

    out/equity.csv   -> .korvit-save/current/equity.csv      (fixed links)
    out/...
    out/.korvit-save/current -> save-20240101-120000-1a2b3c  (switched)
    out/.korvit-save/save-20240101-120000-1a2b3c/equity.csv ...

Each save writes its files into a fresh folder under ``.korvit-save`` and
then switches the one link ``current`` to it with a single rename; the names
in ``out`` are links through ``current``, so all of them change at that
instant.  Nothing else in ``out`` is touched (the run's ``log/`` and
``output/`` folders, the user's own files).  Saves to one folder are taken
one at a time (a lock on ``.korvit-save/lock``); each save first removes
what a killed save left (its unfinished folder, temporary links).

Where the folder's file system cannot hold symbolic links, each file is
still replaced atomically, one after the other.

``results_kind`` tells which kind of run's results an output folder holds (a
backtest's, a sweep's or a walk-forward's), and ``kind_clash`` words the
refusal of writing another kind's there, which would replace them.
"""

from __future__ import annotations

import contextlib
import os
import secrets
import shutil
import stat
import tempfile
import time
from pathlib import Path

try:
    import fcntl
except ImportError:  # pragma: no cover - not on POSIX
    fcntl = None  # type: ignore[assignment]  # checked before use

__all__ = ["atomic_write", "save_file_set", "STORE", "saved_folder", "results_kind", "kind_clash"]

STORE = ".korvit-save"
_CURRENT = "current"
_LOCK = "lock"


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _fsync_dir(path) -> None:
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:  # pragma: no cover - a platform without directory handles
        return
    try:
        os.fsync(fd)
    except OSError:  # pragma: no cover - some file systems refuse it
        pass
    finally:
        os.close(fd)


def atomic_write(path, write, *, binary=False) -> None:
    """Call ``write(file)`` on a temporary file beside ``path`` and move it
    over ``path`` only once it is complete and on disk."""
    path = Path(path)
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    try:
        # mkstemp makes the file private; give it the mode an ordinary
        # open() would have.
        os.chmod(tmp, 0o666 & ~_umask())
        fh = os.fdopen(fd, "wb") if binary else os.fdopen(fd, "w", encoding="utf-8", newline="")
        with fh:
            write(fh)
            fh.flush()
            os.fsync(fh.fileno())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise
    _fsync_dir(path.parent)


# ------------------------------------------------------------------ file sets


def _new_id() -> str:
    return f"save-{time.strftime('%Y%m%d-%H%M%S')}-{secrets.token_hex(3)}"


def _link_target(name) -> str:
    return f"{STORE}/{_CURRENT}/{name}"


def _is_our_link(path, name) -> bool:
    try:
        return os.readlink(path) == _link_target(name)
    except OSError:  # missing, or not a link
        return False


def _symlinks_work(store: Path) -> bool:
    probe = store / f"probe-{secrets.token_hex(4)}.tmp"
    try:
        os.symlink("probe", probe)
    except (OSError, NotImplementedError):
        return False
    with contextlib.suppress(FileNotFoundError):  # a save running elsewhere may have cleaned it
        os.unlink(probe)
    return True


@contextlib.contextmanager
def _locked(store: Path):
    """Hold the folder's save lock (released by the system when the process
    dies, so a killed save never blocks the next one)."""
    if fcntl is None:  # pragma: no cover - not on POSIX
        yield
        return
    fd = os.open(store / _LOCK, os.O_RDWR | os.O_CREAT, 0o666)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def _store(directory: Path) -> Path:
    store = directory / STORE
    try:
        store.mkdir()
    except FileExistsError:
        pass
    mode = os.lstat(store).st_mode
    if not stat.S_ISDIR(mode):
        raise NotADirectoryError(f"{store} is not a folder (it holds the saved files); remove it")
    return store


def _remove(path: Path) -> None:
    try:
        if path.is_dir() and not path.is_symlink():
            shutil.rmtree(path)
        else:
            path.unlink()
    except FileNotFoundError:
        pass


def _clean(directory: Path, store: Path, names) -> None:
    """Remove what earlier saves left: every folder under the store but the
    current one, and temporary links and files of the set's names."""
    keep = _current(store)
    for entry in store.iterdir():
        if entry.name not in (_LOCK, _CURRENT, keep):
            _remove(entry)
    for name in names:
        for entry in directory.glob(f".{name}.*.tmp"):
            _remove(entry)


def _write_folder(folder: Path, writers) -> None:
    folder.mkdir()
    mode = 0o666 & ~_umask()
    for name, (binary, write) in writers.items():
        path = folder / name
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
        fh = os.fdopen(fd, "wb") if binary else os.fdopen(fd, "w", encoding="utf-8", newline="")
        with fh:
            write(fh)
            fh.flush()
            os.fsync(fh.fileno())
    _fsync_dir(folder)


def _current(store: Path):
    try:
        return os.readlink(store / _CURRENT)
    except OSError:
        return None


def _point(store: Path, target: str) -> None:
    """Switch ``current`` to ``target`` with one rename."""
    tmp = store / f"{_CURRENT}.{secrets.token_hex(4)}.tmp"
    os.symlink(target, tmp)
    try:
        os.replace(tmp, store / _CURRENT)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise
    _fsync_dir(store)


def _copy_visible(directory: Path, store: Path, names) -> None:
    """Make ``current`` hold what the folder shows now under ``names``, so
    that those names can become links through it without changing what a
    reader sees (the first save in a folder of plain files)."""
    folder = store / _new_id()
    folder.mkdir()
    for name in names:
        source = directory / name
        if not source.is_file():
            continue
        try:
            os.link(source, folder / name, follow_symlinks=True)
        except (OSError, NotImplementedError):
            shutil.copy2(source, folder / name)
    _fsync_dir(folder)
    _point(store, folder.name)


def _link_names(directory: Path, store: Path, names) -> None:
    """Make every name of the set a link through ``current``."""
    missing = [name for name in names if not _is_our_link(directory / name, name)]
    if not missing:
        return
    if any(os.path.lexists(directory / name) for name in missing):
        _copy_visible(directory, store, names)
    for name in missing:
        tmp = directory / f".{name}.{secrets.token_hex(4)}.tmp"
        os.symlink(_link_target(name), tmp)
        try:
            os.replace(tmp, directory / name)
        except BaseException:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(tmp)
            raise
    _fsync_dir(directory)


def save_file_set(directory, writers, drop=()) -> None:
    """Write the files ``writers`` names (``{name: (binary, write)}``, where
    ``write(file)`` writes one file) to ``directory`` (created if needed) as
    one set: readers of ``directory/name`` see the whole earlier set or the
    whole new one, never a mix (see the module's docstring).  A failure
    leaves the earlier set as it was.  The names in ``drop`` that an earlier
    set holds (those of another format) leave with it: their links are
    removed once the new set is in place (where links cannot be made, such
    files stay)."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    names = list(writers)
    for name in names:
        path = directory / name
        if path.is_dir():
            raise IsADirectoryError(f"cannot save {name}: {path} is a folder")
    store = _store(directory)
    if not _symlinks_work(store):
        with contextlib.suppress(OSError):
            store.rmdir()
        for name, (binary, write) in writers.items():
            atomic_write(directory / name, write, binary=binary)
        return  # plain files: an earlier save's cannot be told from the user's, and stay
    with _locked(store):
        _clean(directory, store, names)
        folder = store / _new_id()
        try:
            _write_folder(folder, writers)
            _link_names(directory, store, names)
            _point(store, folder.name)
        except BaseException:
            if _current(store) != folder.name:
                with contextlib.suppress(OSError):
                    _remove(folder)
            raise
        for name in drop:  # links into the new set that holds no such file
            if name not in writers and _is_our_link(directory / name, name):
                os.unlink(directory / name)
        _clean(directory, store, names)


def saved_folder(directory) -> Path | None:
    """The folder holding the set last saved to ``directory`` (None when no
    set was saved there through links).  Files read from it all belong to one
    save, even while another save switches ``directory`` to a new set."""
    store = Path(directory) / STORE
    target = _current(store)
    return None if target is None else store / target


# The kinds of results an output folder holds: a backtest's (its saved set, with
# stats.json), a sweep's or a walk-forward's (sweep.json records which).
BACKTEST, SWEEP, WALK_FORWARD, PAPER = "backtest", "sweep", "walk-forward", "paper"


def results_kind(directory) -> str | None:
    """The kind of results ``directory`` holds: ``"backtest"``, ``"sweep"`` or
    ``"walk-forward"``; None for a folder that holds none (or is no folder).
    A sweep's ``sweep.json`` names its kind; one written before it did tells
    by its walk-forward splits."""
    import json

    folder = Path(directory)
    manifest = folder / "sweep.json"
    if manifest.is_file():
        try:
            saved = json.loads(manifest.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            return None  # unreadable: resuming it says so
        if not isinstance(saved, dict):
            return None
        kind = saved.get("kind")
        if kind in (SWEEP, WALK_FORWARD):
            return str(kind)
        return WALK_FORWARD if saved.get("splits") else SWEEP
    if (folder / "journal.sqlite").exists():
        return PAPER
    if (folder / "stats.json").exists() or (folder / STORE).is_dir():
        return BACKTEST
    return None


def kind_clash(directory, kind: str, name: str = "--out") -> str | None:
    """The one-line refusal of writing results of ``kind`` to ``directory``
    (``name``: how the user gave it) when it holds another kind's, which they
    would replace; None when it holds none or the same kind."""
    found = results_kind(directory)
    if found is None or found == kind:
        return None
    return (
        f"{name} {str(directory)!r} holds the results of a {found}; a {kind} there would "
        f"replace them: give another folder (or remove that one)"
    )
