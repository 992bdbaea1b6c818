"""A typed use of every name of kepi._sys, checked by mypy --strict in test_typing.py."""

from typing import Any, Dict

import kepi._sys as ke
from kepi.api import InstanceCreateInfo, ModuleCompileInfo, ModuleSourceInfo
from kepi.api.ext.kelog import EXTENSION_NAME, LogCreateInfoEXT, LogLevelEXT


def show(record: Dict[str, Any]) -> None:
    print(record["message"])


def run(text: str) -> ke.Module:
    info = InstanceCreateInfo(enabled_extensions=[EXTENSION_NAME], ext=[LogCreateInfoEXT(LogLevelEXT.Warn, show)])
    instance: ke.Instance = ke._ke_create_instance(info)
    storage: bytes = ke._ke_compile_module(instance, ModuleCompileInfo([ModuleSourceInfo(data=text)]))
    return ke._ke_load_module(instance, storage)


def numbers() -> int:
    return ke.factorial(5) + ke.fibonacci(10)
