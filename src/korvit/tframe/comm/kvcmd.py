"""Commands to the core process, sent over the registry's command socket."""

import os

from korvit.tframe.comm.kvclient import KvProtocolError

__all__ = ["kvSendCmdToolboxCheck", "kvSendCmdGetToolBoxRootofCacheDir"]


def _request(cmd, **params):
    # The registry is looked up at every call: the socket is the one installed now.
    from korvit.tframe import framekit

    return framekit.vr.g_KorvitSocket.request(cmd, **params)


def kvSendCmdToolboxCheck(kind, version, support):
    """Version check: this client's kind, version and supported core versions.

    Returns {"listSupportedToolbox": [framework versions the core accepts],
    "wstrCoreVer": the core's version}.
    """
    result = _request("ToolboxCheck", kind=kind, version=version, support=list(support))
    if (
        not isinstance(result, dict)
        or "wstrCoreVer" not in result
        or not isinstance(result.get("listSupportedToolbox"), list)
    ):
        raise KvProtocolError(f"malformed ToolboxCheck reply: {result!r}")
    return {
        "listSupportedToolbox": list(result["listSupportedToolbox"]),
        "wstrCoreVer": result["wstrCoreVer"],
    }


def kvSendCmdGetToolBoxRootofCacheDir():
    """The core's cache root directory: an absolute path (the run's output and
    log folders are made under it, so a relative one, which would land in
    whatever the current directory is, is refused)."""
    result = _request("GetToolBoxRootofCacheDir")
    if not isinstance(result, str) or not result:
        raise KvProtocolError(f"malformed GetToolBoxRootofCacheDir reply: {result!r}")
    if "\0" in result or not os.path.isabs(result):
        raise KvProtocolError(
            f"the core process named {result!r:.200} as its cache directory; "
            "it must be an absolute path"
        )
    return result
