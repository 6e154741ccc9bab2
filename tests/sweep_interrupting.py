"""The `korvit` command in an interpreter whose _Store, the sweep's output
folder, sends this process a Ctrl-C at a chosen moment: after saving its N-th
run ("add"), or as the whole table is about to be written ("write_table").
Python's own Ctrl-C handler is installed, as a Python started from a shell has
it.  Used by the sweep tests:

    python tests/sweep_interrupting.py add|write_table N sweep ARGS...
"""

import os
import signal
import sys

signal.signal(signal.SIGINT, signal.default_int_handler)

from korvit.backtest.sweep import store

where, count = sys.argv[1], int(sys.argv[2])
add, write_table = store._Store.add, store._Store.write_table


def interrupt():
    os.kill(os.getpid(), signal.SIGINT)


def counting_add(self, row, *curves):
    add(self, row, *curves)
    with open(self.runs_path) as fh:
        if where == "add" and sum(1 for _ in fh) == count:
            interrupt()


def interrupting_write(self, frame):
    if where == "write_table":
        interrupt()
    write_table(self, frame)


store._Store.add, store._Store.write_table = counting_add, interrupting_write
from korvit.cli import main

sys.exit(main(sys.argv[3:]))
