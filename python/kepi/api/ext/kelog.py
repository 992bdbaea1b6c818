"""Settings of the logging extension "__EXT_kestrane_logger"."""

from __future__ import annotations

import enum
from dataclasses import dataclass
from typing import Any, Callable, Dict, Optional


class LogLevelEXT(enum.IntEnum):
    Trace = 0
    Debug = 1
    Info = 2
    Warn = 3
    Error = 4


@dataclass
class LogCreateInfoEXT:
    level: LogLevelEXT = LogLevelEXT.Info
    callback: Optional[Callable[[Dict[str, Any]], None]] = None


EXTENSION_NAME = "__EXT_kestrane_logger"

__all__ = ["LogLevelEXT", "LogCreateInfoEXT", "EXTENSION_NAME"]
