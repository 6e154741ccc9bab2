"""Message templates shown to users (Chinese, then English).

Each is a ``str.format`` template filled by name.
"""

ERROR_NOTSUPPORT_KVVERSION = (
    "框架版本 {KORVITVERSION}（支持的内核版本：{SUPPORTKVVERSION}）与 {KVNAME} 内核版本 "
    "{KVVERSION}（支持的框架版本：{KVSUPPORTVERSION}）互不支持，请升级框架或内核。\n"
    "The framework version {KORVITVERSION} (supports core versions {SUPPORTKVVERSION}) and "
    "the {KVNAME} core version {KVVERSION} (supports framework versions {KVSUPPORTVERSION}) "
    "do not support each other; please upgrade the framework or the core."
)
