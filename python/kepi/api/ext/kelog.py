"""Settings of the logging extension "__EXT_kestrane_logger"."""

from __future__ import annotations

import enum
from dataclasses import dataclass
from typing import Any, Callable, Dict, Optional

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


@dataclass
class LogCreateInfoEXT:
    """The extension's settings: the least level passed on, and the callable that
    receives each record as a dict. The callback is required."""

    level: LogLevelEXT = LogLevelEXT.Info
    callback: Optional[Callable[[Dict[str, Any]], None]] = None

    def __post_init__(self) -> None:
        _check_log_create_info(self, "LogCreateInfoEXT")


EXTENSION_NAME = "__EXT_kestrane_logger"

__all__ = ["LogLevelEXT", "LogCreateInfoEXT", "EXTENSION_NAME"]
