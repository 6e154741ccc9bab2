"""Errors of the framework."""

__all__ = ["VersionError", "BuiltinFieldError", "raise_bultin_error", "BUILTIN_FIELDS"]

# Order and stop-order fields whose value must be one of the framework's constants.
BUILTIN_FIELDS = {
    "orderctg": "order category",
    "orderact": "order side",
    "offsetflag": "position effect",
    "stopgap": "stop gap type",
    "stopordertype": "stop-order type",
}


class VersionError(Exception):
    """This framework and the core process do not accept each other's versions."""


class BuiltinFieldError(ValueError):
    """A record field holds a value that is not one of its allowed constants."""

    def __init__(self, key, message):
        super().__init__(message)
        self.key = key


def raise_bultin_error(key):
    """Raise ``BuiltinFieldError`` for the invalid field named by ``key``."""
    what = BUILTIN_FIELDS.get(key)
    if what is None:
        message = f"invalid value of field {key!r}"
    else:
        message = f"invalid {what} (field {key!r}): not one of its allowed values"
    raise BuiltinFieldError(key, message)
