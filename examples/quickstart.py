"""Kestrane quickstart: create an instance, compile textual IR, load it.

Run it after installing the package (``pip install .``), or with
``bash scripts/quickstart``.
"""

import kepi._sys as ke
from kepi.api import (
    ApplicationInfo,
    InstanceCreateInfo,
    ModuleCompileInfo,
    ModuleSourceInfo,
    VersionInfo,
)
from kepi.api.ext.kelog import EXTENSION_NAME, LogCreateInfoEXT, LogLevelEXT

# Two sources of one module. Functions of the second source call functions of
# the first by name; `!check_sum` is a meta function (its name starts with "!")
# holding meta instructions for reasoning about `sum_to`.
ARITH = """\
; small arithmetic helpers
define i32 square(%x: i32) {
entry:
  %y: i32 = imul.wrap %x, %x
  ret %y
}

define i32 apply(%f: ptr, %v: i32) {
entry:
  %r: i32 = invoke %f, %v          ; a call through a function pointer
  ret %r
}
"""

LOOPS = """\
; sum of 0..n-1 kept in memory, then squared through `apply`
define i32 sum_to(%n: i32) {
entry:
  %slot: ptr = alloca i32 1
  store %slot, i32 0, align 4
  %empty: i1 = icmp.sle %n, i32 0
  branch %empty, done, loop
loop:
  %i: i32 = phi [i32 0, entry], [%next, loop]
  %acc: i32 = load %slot, align 4
  %acc2: i32 = iadd.wrap %acc, %i
  store %slot, %acc2, align 4
  %next: i32 = iadd.wrap %i, i32 1
  %more: i1 = icmp.slt %next, %n
  branch %more, loop, done
done:
  %total: i32 = load %slot, align 4
  %sq: i32 = invoke ptr apply, ptr square, %total
  ret %sq
}

define void !check_sum(%n: i32) {
entry:
  %positive: i1 = icmp.sgt %n, i32 0
  !assume %positive
  %r: i32 = invoke ptr sum_to, %n
  %nonneg: i1 = icmp.sge %r, i32 0
  !assert %nonneg
  %count: i32 = !analysis.icnt i32 1
  ret void
}
"""


def show(record):
    """The logging extension's callback: one dict per record."""
    level = LogLevelEXT(record["level"]).name
    print(f"  [{level:5}] {record['module']}: {record['message']}")


def main():
    print("factorial(20) =", ke.factorial(20))
    print("fibonacci(93) =", ke.fibonacci(93))

    print("\nCreating an instance with the logging extension:")
    info = InstanceCreateInfo(
        application_info=ApplicationInfo(VersionInfo(1, 0, 0), "quickstart", VersionInfo(0, 1, 2), "kestrane"),
        enabled_extensions=[EXTENSION_NAME],
        node_id=42,
        ext=[LogCreateInfoEXT(LogLevelEXT.Trace, show)],
    )
    instance = ke._ke_create_instance(info)

    print("\nCompiling two sources:")
    sources = ModuleCompileInfo([
        ModuleSourceInfo(filename="arith.kir", data=ARITH),
        ModuleSourceInfo(filename="loops.kir", data=LOOPS),
    ])
    storage = ke._ke_compile_module(instance, sources)
    print(f"compiled-module storage: {len(storage)} bytes, starting {storage[:15]!r}")

    print("\nLoading the storage into the instance:")
    module = ke._ke_load_module(instance, storage)
    print("loaded:", type(module).__name__)

    print("\nA source with a mistake is reported with its byte offsets:")
    broken = ModuleCompileInfo([ModuleSourceInfo(filename="broken.kir", data="define i32 f() {\nentry:\n  ret\n}\n")])
    try:
        ke._ke_compile_module(instance, broken)
    except RuntimeError as error:
        print("RuntimeError:", error)

    print("\nReleasing the instance:")
    del instance
    print("the Module handle outlives it:", type(module).__name__)


if __name__ == "__main__":
    main()
