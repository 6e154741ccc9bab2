"""Private folders of sweeps and their workers.

A sweep's private folder (the job's data, the workers' logs) is named after
the process that made it: its pid and its start time, which tells a process
that reuses the pid from the owner.  A sweep that was killed cannot remove
its folder; the next sweep to start removes every such folder whose owner
is gone, and never one of a live process."""

import os
import re
import shutil
import stat
import tempfile


def _process_start(pid):
    """``(alive, start)`` of process ``pid``: its start time as the system
    gives it (clock ticks since boot) where /proc tells it, else None."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as fh:
            fields = fh.read().rsplit(b")", 1)[1].split()
    except FileNotFoundError:
        return (not os.path.isdir("/proc/self")) and _signalable(pid), None
    except (OSError, IndexError):
        return _signalable(pid), None
    if fields[0] in (b"Z", b"X"):  # dead, not yet reaped by its parent
        return False, None
    return True, fields[19].decode()


def _signalable(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True  # another user's live process
    except OverflowError:
        return False
    return True


def _owner_tag():
    """``PID-START`` of this process (START "0" where it is not known)."""
    return f"{os.getpid()}-{_process_start(os.getpid())[1] or 0}"


def _owner_gone(tag):
    """True when the process named by a ``PID-START`` tag is gone (also when
    its pid now belongs to a process started at another time)."""
    pid, start = tag.split("-")
    alive, now = _process_start(int(pid))
    if not alive:
        return True
    return now is not None and start != "0" and now != start


def _remove_stale(root, prefix):
    """Remove the folders ``PREFIX<pid>-<start>-...`` under ``root`` that this
    user owns and whose owning process is gone."""
    pattern = re.compile(re.escape(prefix) + r"(\d+-\d+)(?:-|$)")
    try:
        entries = list(os.scandir(root))
    except OSError:
        return
    for entry in entries:
        match = pattern.match(entry.name)
        if match is None:
            continue
        try:
            info = entry.stat(follow_symlinks=False)
        except OSError:
            continue
        if not stat.S_ISDIR(info.st_mode) or (hasattr(os, "getuid") and info.st_uid != os.getuid()):
            continue
        if _owner_gone(match.group(1)):
            shutil.rmtree(entry.path, ignore_errors=True)


def _sweep_folder():
    """A new private folder for this sweep, after removing those of sweeps
    that were killed."""
    root = tempfile.gettempdir()
    _remove_stale(root, "korvit-sweep-")
    return tempfile.mkdtemp(prefix=f"korvit-sweep-{_owner_tag()}-", dir=root)
