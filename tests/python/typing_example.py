"""A typed use of everything the interface allows, checked by mypy --strict in test_typing.py
and run there too, so that what the types accept the runtime takes."""

import operator
from collections.abc import Sequence
from typing import Any, Dict, List, Optional, overload

import kepi
import kepi._sys as ke
from kepi.api import ApplicationInfo, InstanceCreateInfo, ModuleCompileInfo, ModuleSourceInfo, ModuleSourceType, VersionInfo
from kepi.api.ext.kelog import EXTENSION_NAME, LogCreateInfoEXT, LogLevelEXT

SQUARE = "define i32 sq(%x: i32) {\nentry:\n  %y: i32 = imul.wrap %x, %x\n  ret %y\n}\n"


class Index:
    """An integer that is not an int: anything with __index__ is taken."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


class Names(Sequence[str]):
    """A sequence that is neither a list nor a tuple."""

    def __init__(self, *names: str) -> None:
        self.names = list(names)

    @overload
    def __getitem__(self, i: int) -> str: ...

    @overload
    def __getitem__(self, i: slice) -> "Names": ...

    def __getitem__(self, i: int | slice) -> "str | Names":
        return self.names[i] if isinstance(i, int) else Names(*self.names[i])

    def __len__(self) -> int:
        return len(self.names)


# Plain classes standing in for the records: attributes of narrower types (lists, ints).
class MyVersion:
    def __init__(self) -> None:
        self.major = 1
        self.minor = True
        self.patch = Index(7)


class MyApplication:
    application_version = VersionInfo(1, 2, 3)
    application_name = "app"
    engine_version = MyVersion()
    engine_name = "engine"


class MySettings:
    def __init__(self, ext: List[LogCreateInfoEXT]) -> None:
        self.application_info = MyApplication()
        self.enabled_extensions = [EXTENSION_NAME]
        self.node_id = 3
        self.ext = ext


class MySource:
    source_type = 0
    filename: Optional[str] = "square.kir"
    data = SQUARE


class MyCompileInfo:
    sources = [MySource()]


def show(record: Dict[str, Any]) -> None:
    print(record["message"])


def count(record: Dict[str, Any]) -> int:  # what a callback returns is ignored
    return len(record)


def records_and_handles() -> tuple[List[Dict[str, Any]], List[ke.Module]]:
    """Every shape of settings the types allow, each used; the records the instances logged."""
    records: List[Dict[str, Any]] = []
    settings = [
        LogCreateInfoEXT(LogLevelEXT.Warn, show),
        LogCreateInfoEXT(0, records.append),
        LogCreateInfoEXT(callback=count),
        LogCreateInfoEXT(level=Index(3), callback=print),
        LogCreateInfoEXT(level=True, callback=lambda record: None),
    ]
    application = ApplicationInfo(VersionInfo(1, True, Index(7)), "app", VersionInfo(major=4), engine_name="engine")
    infos = [
        InstanceCreateInfo(),
        InstanceCreateInfo(application, [EXTENSION_NAME], 0, settings[:1]),
        InstanceCreateInfo(application_info=application, enabled_extensions=(EXTENSION_NAME,), node_id=Index(7),
                           ext=tuple(settings[1:])),
        kepi.api.InstanceCreateInfo(enabled_extensions=Names(EXTENSION_NAME), node_id=False, ext=settings[2:]),
    ]
    instances: List[ke.Instance] = [ke._ke_create_instance(info) for info in infos]
    instances.append(ke._ke_create_instance(instance_create_info=MySettings(settings[1:2])))
    sources = [
        ModuleSourceInfo(data=SQUARE),
        ModuleSourceInfo(ModuleSourceType.Assembly, "square.kir", SQUARE),
        ModuleSourceInfo(source_type=0, filename=None, data=SQUARE),
        ModuleSourceInfo(Index(0), data=SQUARE),
    ]
    modules: List[ke.Module] = []
    for instance, source in zip(instances, sources + [ModuleSourceInfo(data=SQUARE)]):
        storage: bytes = ke._ke_compile_module(instance, ModuleCompileInfo([source]))
        modules.append(ke._ke_load_module(instance, storage))
    instance = instances[-1]
    compile_infos: List[ModuleCompileInfo | MyCompileInfo] = [
        ModuleCompileInfo(), ModuleCompileInfo((sources[0],)), MyCompileInfo()]
    for compile_info in compile_infos:
        storage = ke._ke_compile_module(instance=instance, compile_info=compile_info)
        modules.append(ke._ke_load_module(instance=instance, module_data=storage))
    return records, modules


def numbers() -> int:
    return ke.factorial(5) + ke.fibonacci(10) + ke.factorial(n=True) + ke.fibonacci(Index(7))


def read_back(version: VersionInfo, source: ModuleSourceInfo) -> int:
    return operator.index(version.major) + operator.index(source.source_type)
