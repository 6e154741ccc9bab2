"""Helpers shared by the test modules (conftest.py puts this folder on sys.path)."""

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


def write(path, text):
    """Writes `text`, dedented, to `path` (a strategy or a data file) and returns the path."""
    path.write_text(textwrap.dedent(text))
    return path
