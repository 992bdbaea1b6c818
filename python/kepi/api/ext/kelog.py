"""Settings of the logging extension "__EXT_kestrane_logger"."""

from __future__ import annotations

import enum
from dataclasses import dataclass
from typing import Any, Callable, Dict, Optional, SupportsIndex, Union, final, overload

from kepi.api import _attribute, _check_enum


class LogLevelEXT(enum.IntEnum):
    Trace = 0
    Debug = 1
    Info = 2
    Warn = 3
    Error = 4


def _check_log_create_info(obj: object, where: str) -> None:
    _check_enum(_attribute(obj, "level", where, "LogCreateInfoEXT"), f"{where}.level", LogLevelEXT)
    callback = _attribute(obj, "callback", where, "LogCreateInfoEXT")
    if not callable(callback):
        raise TypeError(f"{where}.callback must be callable, got {type(callback).__name__}")


# What the callback is given: one new dict per record. What it returns is ignored.
_LogCallback = Callable[[Dict[str, Any]], object]


# Final: the runtime finds these settings by the full name of their class, so it
# refuses a subclass.
@final
@dataclass(init=False)
class LogCreateInfoEXT:
    """The extension's settings: the least level passed on, and the callable that
    receives each record as a dict. The callback is required."""

    # The level has a default and the callback has none (a None is refused), so a call
    # gives both or names the callback by keyword: __init__ is written out below.
    level: Union[LogLevelEXT, SupportsIndex] = LogLevelEXT.Info
    callback: _LogCallback  # type: ignore[misc]  # no default after one, as __init__ below takes it

    @overload
    def __init__(self, level: Union[LogLevelEXT, SupportsIndex], callback: _LogCallback) -> None: ...

    @overload
    def __init__(self, level: Union[LogLevelEXT, SupportsIndex] = ..., *,
                 callback: _LogCallback) -> None: ...

    def __init__(self, level: Union[LogLevelEXT, SupportsIndex] = LogLevelEXT.Info,
                 callback: Optional[_LogCallback] = None) -> None:
        self.level = level
        self.callback = callback  # type: ignore[assignment]  # refused just below when None
        _check_log_create_info(self, "LogCreateInfoEXT")


EXTENSION_NAME = "__EXT_kestrane_logger"

__all__ = ["LogLevelEXT", "LogCreateInfoEXT", "EXTENSION_NAME"]
