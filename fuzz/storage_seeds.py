"""Writes the seed inputs of the storage_fuzz target into fuzz/seeds/storage_fuzz/.

Each seed is compiled-module storage made by compiling small sources with kepi._sys,
prefixed by the fuzz target's mode byte: 0 for storage used as it is, 1 for a bare
payload (the storage's frame decompressed with the zstd command-line tool, when it is
installed). Run with the built package importable, e.g.

    PYTHONPATH=build-h10/pkg python3 fuzz/storage_seeds.py
"""

import pathlib
import shutil
import subprocess

import kepi._sys as ke
from kepi.api import InstanceCreateInfo, ModuleCompileInfo, ModuleSourceInfo

HEADER_END = b"\x00"

SOURCES = {
    "empty": [],
    "square": [("sq.kir", """\
define i32 square(%x: i32) {
entry:
  %y: i32 = imul.wrap %x, %x
  ret %y
}
""")],
    "flow": [("flow.kir", """\
define i32 pick(%c: i1, %x: i32) {
entry:
  branch %c, yes, no
yes:
  jump done
no:
  %n: i32 = ineg %x
  jump done
done:
  %r: i32 = phi [%x, yes], [%n, no]
  ret %r
}

define i64 widen(%p: ptr) {
entry:
  %v: i32 = load.acquire %p, align 4, volatile
  %w: i64 = cast.sext %v
  %a: ptr = alloca i64 4, align 8
  %e: ptr = getelementptr [4 x i64], %a, i64 0, i64 2
  store %e, %w
  ret %w
}
""")],
    "two_sources": [("a.kir", """\
define i32 square(%x: i32) {
entry:
  %y: i32 = imul.wrap %x, %x
  ret %y
}
"""), (None, """\
define i32 apply(%f: ptr, %v: i32) {
entry:
  %r: i32 = invoke %f, %v
  ret %r
}

define i32 twice(%x: i32) {
entry:
  %r: i32 = invoke ptr apply, ptr square, %x
  ret %r
}

define void !check(%x: i32) {
entry:
  %ok: i1 = icmp.sge %x, i32 0
  !assume %ok
  %s: i32 = invoke ptr square, %x
  %nonneg: i1 = icmp.sge %s, i32 0
  !assert %nonneg
  ret void
}
""")],
}


def main():
    out = pathlib.Path(__file__).resolve().parent / "seeds" / "storage_fuzz"
    out.mkdir(parents=True, exist_ok=True)
    inst = ke._ke_create_instance(InstanceCreateInfo())
    zstd = shutil.which("zstd")
    for name, sources in SOURCES.items():
        info = ModuleCompileInfo([ModuleSourceInfo(filename=f, data=d) for f, d in sources])
        storage = ke._ke_compile_module(inst, info)
        ke._ke_load_module(inst, storage)  # every seed loads
        (out / f"{name}.storage").write_bytes(b"\x00" + storage)
        if zstd:
            frame = storage[storage.index(HEADER_END) + 1:]
            payload = subprocess.run([zstd, "-d", "-c", "-q"], input=frame, capture_output=True, check=True).stdout
            (out / f"{name}.payload").write_bytes(b"\x01" + payload)
    print(f"wrote seeds to {out}")


if __name__ == "__main__":
    main()
