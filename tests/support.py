"""Helpers shared by the test modules (conftest.py puts this folder on sys.path)."""

import contextlib
import io
import subprocess
import sys
import textwrap


def korvit(*args, **kwargs):
    """Runs the command line as a user does, in a fresh interpreter; `kwargs` go to
    subprocess.run (cwd=, env=, ...)."""
    return subprocess.run(
        [sys.executable, "-m", "korvit", *map(str, args)],
        capture_output=True,
        text=True,
        timeout=300,
        **kwargs,
    )


def korvit_here(*args):
    """Runs the command line in this process, whose imports and kept sweep workers
    are made already: for what a command does, not for how its process starts or
    stops.  Returns what korvit() does."""
    from korvit.cli import main

    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            status = main([str(arg) for arg in args])
        except SystemExit as exc:  # the parser's refusals
            status = exc.code
    return subprocess.CompletedProcess(args, status, out.getvalue(), err.getvalue())


def write(path, text):
    """Writes `text`, dedented, to `path` (a strategy or a data file) and returns the path."""
    path.write_text(textwrap.dedent(text))
    return path
