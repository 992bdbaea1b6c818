"""Settings records read by the native runtime.

Each record checks its fields when it is built and refuses, with a TypeError or
ValueError naming the field, exactly what the runtime could not convert. The
runtime reads records attribute by attribute, so any object with the same
attributes is accepted in place of a record; nested ones are checked the same way.
The fields' types say what a record takes: any sequence where a list is shown,
anything with __index__ for an integer, and an IntEnum's members or their values.
"""

from __future__ import annotations

import enum
import operator
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Optional, SupportsIndex, Union

if TYPE_CHECKING:
    from kepi.api.ext.kelog import LogCreateInfoEXT

_U16_MAX = 0xFFFF
_U32_MAX = 0xFFFFFFFF


def _type_name(value: object) -> str:
    return type(value).__name__


def _check_int(value: object, where: str, maximum: int) -> int:
    """An integer (anything with __index__) from 0 to `maximum`."""
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{where} must be int, got {_type_name(value)}") from None
    if not 0 <= number <= maximum:
        raise ValueError(f"{where} must be between 0 and {maximum}, got {number}")
    return number


def _check_enum(value: object, where: str, kind: type[enum.IntEnum]) -> None:
    """A member of `kind`, or an integer that is the value of one."""
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{where} must be {kind.__name__}, got {_type_name(value)}") from None
    values = [member.value for member in kind]
    if number not in values:
        values_text = ", ".join(str(v) for v in values)
        raise ValueError(f"{where} must be a {kind.__name__} value ({values_text}), got {number}")


def _check_str(value: object, where: str) -> None:
    """A str whose text can be written as UTF-8 (no lone surrogates)."""
    if not isinstance(value, str):
        raise TypeError(f"{where} must be str, got {_type_name(value)}")
    if not value.isascii():
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError(f"{where} must be text encodable as UTF-8 (no lone surrogates)") from None


def _check_sequence(value: object, where: str, check_item: Callable[[object, str], None]) -> None:
    """A list, tuple or other sequence (not a str), each item passing `check_item`."""
    if isinstance(value, str) or not isinstance(value, Sequence):
        raise TypeError(f"{where} must be a list, got {_type_name(value)}")
    for i, item in enumerate(value):
        check_item(item, f"{where}[{i}]")


def _attribute(obj: object, name: str, where: str, record: str) -> Any:
    try:
        return getattr(obj, name)
    except AttributeError:
        raise TypeError(f"{where} must be {record}, got {_type_name(obj)} without '{name}'") from None


def _check_version_info(obj: object, where: str) -> None:
    for name in ("major", "minor", "patch"):
        _check_int(_attribute(obj, name, where, "VersionInfo"), f"{where}.{name}", _U16_MAX)


def _check_application_info(obj: object, where: str) -> None:
    for name in ("application_version", "application_name", "engine_version", "engine_name"):
        value = _attribute(obj, name, where, "ApplicationInfo")
        if name.endswith("_version"):
            _check_version_info(value, f"{where}.{name}")
        else:
            _check_str(value, f"{where}.{name}")


def _check_extension_settings(obj: object, where: str) -> None:
    # The runtime finds the reader of an extension's settings by the full name
    # of the settings' class; the logging extension's is the only one.
    from kepi.api.ext.kelog import LogCreateInfoEXT, _check_log_create_info

    cls = type(obj)
    if f"{cls.__module__}.{cls.__qualname__}" != f"{LogCreateInfoEXT.__module__}.{LogCreateInfoEXT.__qualname__}":
        raise TypeError(f"{where} must be LogCreateInfoEXT, got {_type_name(obj)}")
    _check_log_create_info(obj, where)


def _check_module_source_info(obj: object, where: str) -> None:
    _check_enum(_attribute(obj, "source_type", where, "ModuleSourceInfo"), f"{where}.source_type", ModuleSourceType)
    filename = _attribute(obj, "filename", where, "ModuleSourceInfo")
    if filename is not None:
        if not isinstance(filename, str):
            raise TypeError(f"{where}.filename must be str or None, got {_type_name(filename)}")
        _check_str(filename, f"{where}.filename")
    _check_str(_attribute(obj, "data", where, "ModuleSourceInfo"), f"{where}.data")


@dataclass
class VersionInfo:
    major: SupportsIndex = 0
    minor: SupportsIndex = 0
    patch: SupportsIndex = 0

    def __post_init__(self) -> None:
        _check_version_info(self, "VersionInfo")


@dataclass
class ApplicationInfo:
    application_version: VersionInfo = field(default_factory=VersionInfo)
    application_name: str = ""
    engine_version: VersionInfo = field(default_factory=VersionInfo)
    engine_name: str = ""

    def __post_init__(self) -> None:
        _check_application_info(self, "ApplicationInfo")


@dataclass
class InstanceCreateInfo:
    application_info: ApplicationInfo = field(default_factory=ApplicationInfo)
    enabled_extensions: Sequence[str] = field(default_factory=list)
    node_id: SupportsIndex = 0
    ext: Sequence[LogCreateInfoEXT] = field(default_factory=list)

    def __post_init__(self) -> None:
        _check_application_info(self.application_info, "InstanceCreateInfo.application_info")
        _check_sequence(self.enabled_extensions, "InstanceCreateInfo.enabled_extensions", _check_str)
        _check_int(self.node_id, "InstanceCreateInfo.node_id", _U32_MAX)
        _check_sequence(self.ext, "InstanceCreateInfo.ext", _check_extension_settings)


class ModuleSourceType(enum.IntEnum):
    Assembly = 0


@dataclass
class ModuleSourceInfo:
    source_type: Union[ModuleSourceType, SupportsIndex] = ModuleSourceType.Assembly
    filename: Optional[str] = None
    data: str = ""

    def __post_init__(self) -> None:
        _check_module_source_info(self, "ModuleSourceInfo")


@dataclass
class ModuleCompileInfo:
    sources: Sequence[ModuleSourceInfo] = field(default_factory=list)

    def __post_init__(self) -> None:
        _check_sequence(self.sources, "ModuleCompileInfo.sources", _check_module_source_info)


__all__ = [
    "VersionInfo",
    "ApplicationInfo",
    "InstanceCreateInfo",
    "ModuleSourceType",
    "ModuleSourceInfo",
    "ModuleCompileInfo",
]
