"""History data interface: contract information and tick data."""

from korvit.api.history._history import (
    TickData,
    clear,
    get_bar_tick_data,
    get_target_info,
    get_target_info_v2,
    set_bar_tick_data,
    set_target_info,
    set_target_info_v2,
)

__all__ = [
    "TickData",
    "clear",
    "get_bar_tick_data",
    "get_target_info",
    "get_target_info_v2",
    "set_bar_tick_data",
    "set_target_info",
    "set_target_info_v2",
]
