"""Fill the registry with a few bars and read them back through the environment.

    python examples/show_bars.py

Two targets (a stock and a futures contract), five daily bars.  The script
moves the fresh-bar cursor bar by bar, as the run loop does, and prints what
the environment answers: the bar time, the bar fields of both targets, the
previous close and the contract data.
"""

import numpy as np
import tframe.framekit as fk
from tframe.sysdefine import GlobalDefine as gv
from tframe.uclass import KData

TIMES = [20240102, 20240103, 20240104, 20240105, 20240108]
BARS = {  # target -> rows of (open, high, low, close, volume)
    "SZSE.000001": [
        (10.00, 10.50, 9.80, 10.20, 120000),
        (10.20, 10.90, 10.10, 10.80, 98000),
        (10.80, 11.00, 10.40, 10.50, 0),
        (10.50, 10.60, 10.00, 10.10, 143000),
        (10.10, 10.30, 9.90, 10.25, 87000),
    ],
    "SHFE.RB2405": [
        (3500, 3520, 3490, 3510, 5200),
        (3510, 3530, 3500, 3525, 6100),
        (3525, 3540, 3515, 3530, 5800),
        (3530, 3535, 3480, 3490, 7300),
        (3490, 3505, 3470, 3500, 6600),
    ],
}
INFO = {
    "SZSE.000001": {"Type": gv.TARGETTYPE_STOCK, "MinMove": 0.01},
    "SHFE.RB2405": {"Type": gv.TARGETTYPE_FUTURE, "Multiple": 10.0, "MinMove": 1.0},
}
ITEMS = (gv.KMatrix_Open, gv.KMatrix_High, gv.KMatrix_Low, gv.KMatrix_Close, gv.KMatrix_Volume)


def load(env):
    codes = list(BARS)
    matrix = env.generate_kmatrix_array(len(codes), len(TIMES))
    matrix[gv.KMatrixPos_TimeLine] = TIMES
    for t, code in enumerate(codes):
        rows = np.array(BARS[code], dtype=float)
        for k, item in enumerate(ITEMS):
            matrix[gv.bar_item_pos(item, t)] = rows[:, k]
    vr = env.vr
    vr.g_KorvitKDataList.append(KData(matrix, np.arange(len(TIMES))))
    vr.g_KorvitDataValueFresh = matrix[: gv.KMatrixPos_Head_len].copy()
    vr.g_KorvitInputInfo.TargetList = [code.lower() for code in codes]
    vr.g_KorvitInputInfo.TargetListDot = codes
    vr.g_KorvitTargetsInfo.update(INFO)


def main():
    env = fk.env
    load(env)
    print(
        "targets:",
        env.get_target_name([0, 1]),
        "| multiples:",
        env.get_multiple(0),
        env.get_multiple(1),
        "| min moves:",
        env.get_minmove(0),
        env.get_minmove(1),
    )
    fields = ["open", "high", "low", "close", "volume"]
    for pos in range(len(TIMES)):
        env.vr.g_KorvitSimCurBarFresh = pos
        values = env.get_bar_field([0, 1], pos, fields)
        print(
            f"bar {pos}  time {env.fresh_bar_time:.0f}  previous close "
            f"{env.market_price(0, -1):6.2f} / {env.market_price(1, -1):7.1f}"
        )
        for t in range(2):
            cells = "  ".join(f"{name}={values[k, t]:g}" for k, name in enumerate(fields))
            print(f"    {env.get_target_name(t):12s} {cells}")


if __name__ == "__main__":
    main()
