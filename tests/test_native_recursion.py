"""Endless recursion through native code ends in a RecursionError, never in a
crash, whatever the recursion limit and however small the thread's stack.

Each case runs in a child process: a stack overflow there is a signal (exit
status 139), which the test reports instead of dying with it.
"""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent

SET_UP = """
import sys, threading
sys.path.insert(0, {tests!r})
import korvit.backtest.domain as domain
import korvit.tframe.framekit as framekit
from korvit.backtest.env import BacktestEnv
from korvit.tframe.sysdefine import GlobalDefine as gv
from korvit.tframe.uclass import SystemModeMgr
from conftest import BacktestWorld
"""

# An environment bound to itself: set_env and the registry's set_env call
# each other natively.
SELF_BOUND_ENV = """
def case():
    env = framekit.SystemBaseEnv()
    env.set_env(env)
"""

# A status callback that asks the engine for the same status change again.
REENTRANT_CALLBACK = """
def case():
    vr, smm, env = framekit.SystemBaseVar(), SystemModeMgr(), BacktestEnv()
    env.set_env(vr, gv, smm)
    framekit.vr, framekit.env, framekit.smm, domain.smm = vr, env, smm, smm
    world = BacktestWorld(vr, env, smm)
    world.load([[[10, 11, 9, 10, 100]]], [0.0], bar=0)
    order = world.order(1, status=gv.OrderStatus_PreHolding)
    def again(context, snap):
        domain._update_order_status(order, [gv.OrderStatus_PreHolding], 0, gv.OrderStatus_Holding,
                                    float("nan"), 0.0)
    vr.g_KorvitInputInfo.on_order_status_func = again
    again(None, None)
"""

RUN = """
def guarded_case():
    try:
        case()
    except RecursionError as error:
        print("RecursionError:", error)
        return
    print("no error")

sys.setrecursionlimit({limit})
if {thread_stack}:
    threading.stack_size({thread_stack})
    worker = threading.Thread(target=guarded_case)
    worker.start()
    worker.join()
else:
    guarded_case()
"""


@pytest.mark.parametrize("case", [SELF_BOUND_ENV, REENTRANT_CALLBACK], ids=["set_env", "callback"])
@pytest.mark.parametrize(
    "limit, thread_stack",
    [
        (1000, 0),  # the default limit
        (15_000, 0),  # above what the native stack holds
        (10**6, 0),  # effectively no limit: only the stack check stops it
        (10**6, 512 * 1024),  # a thread with a small stack
    ],
)
def test_native_recursion_raises_recursion_error(case, limit, thread_stack):
    script = (
        SET_UP.format(tests=str(TESTS)) + case + RUN.format(limit=limit, thread_stack=thread_stack)
    )
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr[-2000:]}"
    assert done.stdout.startswith("RecursionError: maximum recursion depth exceeded"), (
        done.stdout + done.stderr
    )
