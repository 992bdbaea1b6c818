"""Settings records read by the native runtime.

These are plain dataclasses: they validate nothing themselves. The runtime reads
them attribute by attribute and reports what it cannot convert.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass, field
from typing import Any, List, Optional


@dataclass
class VersionInfo:
    major: int = 0
    minor: int = 0
    patch: int = 0


@dataclass
class ApplicationInfo:
    application_version: VersionInfo = field(default_factory=VersionInfo)
    application_name: str = ""
    engine_version: VersionInfo = field(default_factory=VersionInfo)
    engine_name: str = ""


@dataclass
class InstanceCreateInfo:
    application_info: ApplicationInfo = field(default_factory=ApplicationInfo)
    enabled_extensions: List[str] = field(default_factory=list)
    node_id: int = 0
    ext: List[Any] = field(default_factory=list)


class ModuleSourceType(enum.IntEnum):
    Assembly = 0


@dataclass
class ModuleSourceInfo:
    source_type: ModuleSourceType = ModuleSourceType.Assembly
    filename: Optional[str] = None
    data: str = ""


@dataclass
class ModuleCompileInfo:
    sources: List[ModuleSourceInfo] = field(default_factory=list)


__all__ = [
    "VersionInfo",
    "ApplicationInfo",
    "InstanceCreateInfo",
    "ModuleSourceType",
    "ModuleSourceInfo",
    "ModuleCompileInfo",
]
