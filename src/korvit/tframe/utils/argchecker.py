"""Checks of the arguments that users pass to the framework."""

import inspect

import numpy as np

__all__ = ["ArgumentChecker"]

_VAR_POSITIONAL = "*args"
_VAR_KEYWORD = "**kwargs"


def _param_text(param):
    if param.kind is param.VAR_POSITIONAL:
        return "*" + param.name
    if param.kind is param.VAR_KEYWORD:
        return "**" + param.name
    return param.name


def _matches(param, expected):
    """``expected`` "*args"/"**kwargs" stand for any var-positional/var-keyword parameter."""
    if expected == _VAR_POSITIONAL:
        return param.kind is param.VAR_POSITIONAL
    if expected == _VAR_KEYWORD:
        return param.kind is param.VAR_KEYWORD
    return param.name == expected and param.kind not in (param.VAR_POSITIONAL, param.VAR_KEYWORD)


class ArgumentChecker:
    @staticmethod
    def check_callable(
        func, func_name=None, arg_count=None, param_names=None, raise_error=True, except_sig=None
    ):
        """Whether ``func`` is callable with the expected parameters.

        Returns ``(ok, reason)``; ``reason`` is "" when ok.  With
        ``raise_error`` a failed check raises TypeError instead (its text ends
        with ``except_sig`` when given).
        """
        if isinstance(param_names, str):
            param_names = (param_names,)
        if param_names is not None:
            param_names = tuple(param_names)
            if arg_count is None:
                arg_count = len(param_names)
            elif arg_count != len(param_names):
                raise ValueError(f"arg_count {arg_count} does not match param_names {param_names}")
        if arg_count is not None and (
            isinstance(arg_count, bool) or not isinstance(arg_count, int) or arg_count < 0
        ):
            raise ValueError(f"arg_count must be a non-negative int, got {arg_count!r}")

        name = func_name or getattr(func, "__name__", None) or repr(func)
        reason = ""
        if not callable(func):
            reason = f"`{name}` is not callable"
        elif arg_count is not None:
            try:
                params = list(inspect.signature(func).parameters.values())
            except (TypeError, ValueError):
                reason = f"`{name}` has no readable signature"
            else:
                if len(params) != arg_count or (
                    param_names and not all(map(_matches, params, param_names))
                ):
                    got = ", ".join(_param_text(p) for p in params)
                    expected = (
                        f"({', '.join(param_names)})"
                        if param_names
                        else f"{arg_count} parameter(s)"
                    )
                    reason = f"`{name}` has parameters ({got}), expected {expected}"
        if reason and raise_error:
            raise TypeError(reason if not except_sig else f"{reason}, expected `{except_sig}`")
        return not reason, reason

    @staticmethod
    def check_ndarray_idx(func_name, arg_name, idx_range, allow_nan=False):
        """Check that an index array holds integers within ``[low, high)``.

        ``idx_range`` is ``(idx_array, low, high)``.  Raises TypeError for
        non-integral values, ValueError for NaN (unless ``allow_nan``) and
        IndexError for values out of range; returns None when all is fine.
        """
        try:
            idx_array, low, high = idx_range
        except (TypeError, ValueError):
            raise TypeError(
                f"{func_name}: expected (idx_array, low, high) for `{arg_name}`, got {idx_range!r}"
            ) from None
        arr = np.asarray(idx_array)
        if arr.dtype.kind == "f":
            nan = np.isnan(arr)
            if nan.any() and not allow_nan:
                raise ValueError(f"{func_name}: `{arg_name}` holds NaN")
            values = arr[~nan]
            if not np.all(values == np.floor(values)):
                raise TypeError(f"{func_name}: `{arg_name}` must hold integers, got {idx_array!r}")
        elif arr.dtype.kind in "iu":
            values = arr
        else:
            raise TypeError(f"{func_name}: `{arg_name}` must hold integers, got {idx_array!r}")
        bad = values[(values < low) | (values >= high)]
        if bad.size:
            shown = ", ".join(str(v) for v in bad.ravel()[:5].tolist())
            raise IndexError(
                f"{func_name}: `{arg_name}` holds {shown}, outside the valid range [{low}, {high})"
            )
