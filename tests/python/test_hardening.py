"""Hostile input: deep nesting, huge numerals, forged and expanding storage, threads.

Every case must end in a result or a clear error, in bounded time and memory. The
heavy cases run in a child interpreter, so that a crash, a stack overflow or a hang
shows as a failed test instead of a dead or stuck pytest; the child prints one JSON
line with what it saw.
"""

import json
import os
import struct
import subprocess
import sys
import textwrap

import pytest

import kepi._sys as s
from kepi.api import InstanceCreateInfo, ModuleCompileInfo, ModuleSourceInfo

HEADER = b"\x7fKEMODIR=0.1.2\x00"
READ_FAILURE = "Failed to load compiled module: An unknown error occurred: Failed to read compiled module storage header: "
EARLY_END = READ_FAILURE + "Unexpected length of input"
DEPTH = 100_000
DIGITS = 1_000_000
# Address sanitizer keeps freed memory in quarantine and pads every block, so its
# resident size says little about what the code itself holds.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

# Shared by every child: a compile-and-load helper and the peak resident size.
PRELUDE = textwrap.dedent("""\
    import json, resource, sys, threading, time
    import kepi._sys as s
    from kepi.api import InstanceCreateInfo, ModuleCompileInfo, ModuleSourceInfo

    def rss_mb():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

    def compile_load(inst, text):
        start = time.monotonic()
        try:
            data = s._ke_compile_module(inst, ModuleCompileInfo([ModuleSourceInfo(filename="h.kir", data=text)]))
            module = s._ke_load_module(inst, data)
            out = {"ok": type(module).__name__, "header": data[:15].hex()}
        except Exception as e:
            out = {"error": type(e).__name__, "text": str(e)[:300]}
        out["seconds"] = time.monotonic() - start
        return out
""")


def run_child(body, timeout=300, data=""):
    """Runs PRELUDE, the `data` definitions, then `body` in a fresh interpreter; returns
    the JSON of its last output line."""
    code = PRELUDE + data + textwrap.dedent(body)
    try:
        proc = subprocess.run([sys.executable, "-"], input=code, capture_output=True, text=True, timeout=timeout,
                              env=dict(os.environ))
    except subprocess.TimeoutExpired:
        pytest.fail(f"child did not finish within {timeout} s (hang or runaway work)")
    assert proc.returncode == 0, f"child failed with {proc.returncode}:\n{proc.stderr[-3000:]}"
    return json.loads(proc.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------------------
# Deep nesting


def nested(kind, depth):
    if kind == "array":
        return "[1 x " * depth + "i8" + "]" * depth
    if kind == "struct":
        return "{" * depth + "i8" + "}" * depth
    # arrays of structs of arrays ...
    half = depth // 2
    return "[2 x {" * half + "i8" + "}]" * half


def param_source(ty):
    return f"define void f(%p: {ty}) {{\nentry:\n  ret void\n}}\n"


def alloca_source(ty):
    return f"define void f() {{\nentry:\n  %a: {ty} = alloca i64 1\n  ret void\n}}\n"


def gep_source(ty):
    return f"define ptr f(%p: ptr) {{\nentry:\n  %e: ptr = getelementptr {ty}, %p, i64 0\n  ret %e\n}}\n"


NESTING_CASES = {
    "array parameter": param_source(nested("array", DEPTH)),
    "struct alloca": alloca_source(nested("struct", DEPTH)),
    "mixed getelementptr type": gep_source(nested("mixed", DEPTH)),
    # the innermost type is never closed: a parse failure at the end of the text
    "unclosed array": param_source("[1 x " * DEPTH + "i8"),
    "unclosed struct": param_source("{" * DEPTH + "i8"),
}


def check_nesting(results):
    assert set(results) == set(NESTING_CASES)
    for name, result in results.items():
        if name.startswith("unclosed"):
            assert result.get("error") == "RuntimeError", (name, result)
            assert result["text"].startswith("Failed to compile module: Parser errors occurred: ["), name
        else:
            assert result.get("ok") == "Module", (name, result)
            assert bytes.fromhex(result["header"]) == HEADER, name


NESTING_BODY = textwrap.dedent("""\
    inst = s._ke_create_instance(InstanceCreateInfo())
    results = {}
    def work():
        for name, text in CASES.items():
            results[name] = compile_load(inst, text)
""")


@pytest.mark.parametrize("stack", ["main thread", "256 KiB thread stack"])
def test_deep_nesting_compiles_and_loads(stack):
    if stack == "main thread":
        run = "work()\n"
    else:
        run = textwrap.dedent("""\
            threading.stack_size(256 * 1024)
            t = threading.Thread(target=work)
            t.start()
            t.join()
        """)
    results = run_child(NESTING_BODY + run + "print(json.dumps(results))\n", data=f"CASES = {NESTING_CASES!r}\n")
    check_nesting(results)


# ---------------------------------------------------------------------------------------
# Huge numerals


def int_source(ty, literal):
    return f"define {ty} f(%x: {ty}) {{\nentry:\n  %y: {ty} = iadd.wrap %x, {ty} {literal}\n  ret %y\n}}\n"


def float_source(literal):
    return f"define fp64 f(%x: fp64) {{\nentry:\n  %y: fp64 = fadd %x, fp64 {literal}\n  ret %y\n}}\n"


# name: (source, expected error text prefix or None for a loaded module)
NUMERAL_CASES = {
    "decimal i32": (int_source("i32", "9" * DIGITS), None),
    "negative decimal i32": (int_source("i32", "-" + "9" * DIGITS), None),
    "hexadecimal i32": (int_source("i32", "0x" + "f" * DIGITS), None),
    "decimal of the widest integer type": (int_source("i8388607", "7" * DIGITS), None),
    "huge exponent": (float_source("1e999999999999999999"), None),
    "huge negative exponent": (float_source("1e-999999999999999999"), None),
    "exponent beyond 64 bits, scale within": (float_source("1.5e9223372036854775808"), None),
    "long mantissa": (float_source("9" * DIGITS + ".5"), None),
    "exponent beyond any range": (float_source("1.5e99999999999999999999999999999"),
                                  "Failed to compile module: Parser errors occurred: "),
}

# Per case, generous for sanitizer builds: this catches work growing with the
# square of the numeral's length (minutes for a million digits), not slowness.
NUMERAL_SECONDS = 30


def test_huge_numerals_give_a_result_or_a_clear_error():
    body = """
        inst = s._ke_create_instance(InstanceCreateInfo())
        print(json.dumps({name: compile_load(inst, text) for name, (text, _) in CASES.items()}))
    """
    results = run_child(body, timeout=600, data=f"CASES = {NUMERAL_CASES!r}\n")
    for name, (_, error) in NUMERAL_CASES.items():
        result = results[name]
        if error is None:
            assert result.get("ok") == "Module", (name, result)
        else:
            assert result.get("error") == "RuntimeError" and result["text"].startswith(error), (name, result)
        assert result["seconds"] < NUMERAL_SECONDS, (name, result["seconds"])


def test_parse_failure_beside_a_huge_decimal_numeral_is_quick():
    # The failure lists every token's text; a million-digit base-10 literal is
    # rendered from its own digits, not converted back from its value.
    text = int_source("i32", "9" * DIGITS) + "this is not a function\n"
    body = f"""
        inst = s._ke_create_instance(InstanceCreateInfo())
        print(json.dumps(compile_load(inst, {text!r})))
    """
    result = run_child(body, timeout=NUMERAL_SECONDS * 4)
    assert result.get("error") == "RuntimeError", result
    assert result["seconds"] < NUMERAL_SECONDS, result["seconds"]


# ---------------------------------------------------------------------------------------
# Forged storage: hand-made zstd frames around hand-made payloads

ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
MAX_BLOCK = 128 * 1024


def frame(*blocks, content_size=None):
    """A zstd frame of the given blocks, with a 128 KiB window; the content size is
    declared (4 bytes) when given. The last block is flagged here."""
    if content_size is None:
        head = ZSTD_MAGIC + bytes([0x00, 7 << 3])
    else:
        head = ZSTD_MAGIC + bytes([0x80, 7 << 3]) + struct.pack("<I", content_size)
    out = bytearray(head)
    for i, (kind, size, body) in enumerate(blocks):
        last = 1 if i == len(blocks) - 1 else 0
        out += struct.pack("<I", (size << 3) | (kind << 1) | last)[:3] + body
    return HEADER + bytes(out)


def raw(data):
    return (0, len(data), data)


def rle(byte, count):
    return (1, count, bytes([byte]))


def u32(v):
    return struct.pack("<I", v)


def u64(v):
    return struct.pack("<Q", v)


NO_NAMES = u32(0)
NO_FUNCTIONS = u32(0)
NO_EXTERNALS = u32(0)
U32_MAX = 2**32 - 1

# The counts are taken at their word nowhere: each ends in an early end of input.
FORGED_COUNTS = {
    "source names": u32(U32_MAX),
    "source name length": u32(1) + u32(U32_MAX),
    "functions": NO_NAMES + u32(U32_MAX),
    "external functions": NO_NAMES + NO_FUNCTIONS + u32(U32_MAX),
    "registry entries": NO_NAMES + NO_FUNCTIONS + NO_EXTERNALS + u64(2**64 - 1),
    "function parameters": NO_NAMES + u32(1) + bytes(16) + bytes(16) + b"\x00" + u32(U32_MAX),
}


def expanding(blocks_of_128k, prefix, byte=0x61, content_size=None):
    """`prefix` in a raw block, then RLE blocks of `byte`: 4 bytes each for 128 KiB."""
    return frame(raw(prefix), *[rle(byte, MAX_BLOCK)] * blocks_of_128k, content_size=content_size)


# name: (storage, expected message, resident growth allowed in MB)
EXPANDING = {
    # 8 KiB of frame regenerates 256 MiB; a name claiming 4 GiB cannot fit in it
    "name longer than the frame can hold": (expanding(2048, u32(1) + u32(U32_MAX)), EARLY_END, 64),
    # the same frame as 64M four-byte lengths cannot hold four billion names
    "more names than the frame can hold": (expanding(2048, u32(U32_MAX), byte=0), EARLY_END, 64),
    # the frame declares 12 bytes of content; the name claims a GiB of them
    "name longer than the declared content": (frame(raw(u32(1) + u32(1 << 30) + b"abcd"), content_size=12),
                                              EARLY_END, 64),
    # blocks past the declared content: the decoder refuses them itself
    "blocks past the declared content": (expanding(16, u32(1) + u32(1 << 30), content_size=64), READ_FAILURE, 64),
    # the claim fits: 64 MiB of name is read, then the module is missing
    "name that the frame does hold": (expanding(512, u32(1) + u32(512 * MAX_BLOCK)), EARLY_END, 512),
    # a frame that regenerates more than it declares
    "more content than declared": (expanding(64, NO_NAMES + u32(1), byte=0, content_size=4096), READ_FAILURE, 64),
    # a block may regenerate at most 128 KiB
    "oversized block": (frame(rle(0, 4 * MAX_BLOCK)), READ_FAILURE, 64),
    # 2.5M blocks of one function, all label 0 (26 zero bytes each: "br %0, 0, 0"):
    # one is kept, the others are dropped as they are read
    "one block label repeated": (expanding(512, NO_NAMES + u32(1) + bytes(38) + u32((512 * MAX_BLOCK - 64) // 26),
                                           byte=0),
                                 "Failed to load compiled module: A operand refers to an undefined name: `%0`", 64),
}


def measure_loads(storages):
    """Loads each storage in a child; returns per name the error, seconds and growth
    of the peak resident size."""
    body = f"""
        storages = {{k: bytes.fromhex(v) for k, v in {({k: v.hex() for k, v in storages.items()})!r}.items()}}
        inst = s._ke_create_instance(InstanceCreateInfo())
        out = {{}}
        for name, data in storages.items():
            before = rss_mb()
            start = time.monotonic()
            try:
                s._ke_load_module(inst, data)
                result = {{"ok": True}}
            except Exception as e:
                result = {{"error": type(e).__name__, "text": str(e)[:300]}}
            result["seconds"] = time.monotonic() - start
            result["growth_mb"] = rss_mb() - before
            out[name] = result
        print(json.dumps(out))
    """
    return run_child(body)


def test_forged_counts_fail_quickly_without_large_allocations():
    storages = {name: frame(raw(payload)) for name, payload in FORGED_COUNTS.items()}
    results = measure_loads(storages)
    for name in FORGED_COUNTS:
        result = results[name]
        assert result.get("error") == "RuntimeError" and result["text"] == EARLY_END, (name, result)
        assert result["seconds"] < 10, (name, result)
        if not UNDER_ASAN:
            assert result["growth_mb"] < 200, (name, result)


def test_expanding_frames_are_refused_or_bounded():
    results = measure_loads({name: storage for name, (storage, _, _) in EXPANDING.items()})
    for name, (storage, message, growth) in EXPANDING.items():
        result = results[name]
        assert len(storage) < 20_000, name
        assert result.get("error") == "RuntimeError" and result["text"].startswith(message), (name, result)
        if message == EARLY_END:
            assert result["text"] == message, (name, result)
        assert result["seconds"] < 20, (name, result)
        if not UNDER_ASAN:
            assert result["growth_mb"] < growth, (name, result)


# Stored types: AnyType tag, then Primary(IType) / Array(element, u16 count) /
# Struct(u32 count, elements, packed).
I8 = b"\x00\x00" + u32(8)


def array_of(element):
    return b"\x01" + element + struct.pack("<H", 1)


def struct_of(*elements):
    return b"\x02" + u32(len(elements)) + b"".join(elements) + b"\x00"


def registry_storage(*entries):
    payload = NO_NAMES + NO_FUNCTIONS + NO_EXTERNALS + u64(len(entries)) + b"".join(entries)
    return frame(*[raw(payload[i:i + MAX_BLOCK]) for i in range(0, len(payload), MAX_BLOCK)])


def uid(i):
    return struct.pack(">QQ", 7, i)


MERGE_FAILURE = ("Failed to load compiled module: An unknown error occurred: Failed to merge type registry: "
                 "{} type(s) refer to types the stored registry does not hold")


@pytest.mark.parametrize("entries, unresolved", [
    ([uid(0) + array_of(uid(0))], 1),
    ([uid(0) + struct_of(uid(1), uid(0)), uid(1) + I8], 1),
    ([uid(0) + array_of(uid(1)), uid(1) + struct_of(uid(0))], 2),
    ([uid(0) + array_of(uid(9))], 1),
], ids=["array of itself", "struct holding itself", "cycle of two", "element not stored"])
def test_stored_types_that_never_resolve_are_refused(entries, unresolved):
    inst = s._ke_create_instance(InstanceCreateInfo())
    with pytest.raises(RuntimeError) as info:
        s._ke_load_module(inst, registry_storage(*entries))
    assert str(info.value) == MERGE_FAILURE.format(unresolved)


def test_deep_stored_type_chain_listed_outermost_first_loads():
    # type i is an array of type i + 1; the innermost comes last in the stream
    entries = [uid(i) + array_of(uid(i + 1)) for i in range(DEPTH)] + [uid(DEPTH) + I8]
    body = """
        inst = s._ke_create_instance(InstanceCreateInfo())
        print(json.dumps(type(s._ke_load_module(inst, STORAGE)).__name__))
    """
    assert run_child(body, data=f"STORAGE = {registry_storage(*entries)!r}\n") == "Module"


def test_storage_of_our_own_encoder_with_extreme_ratio_loads():
    # A 4 MiB file name of one letter compresses about 30,000 to 1: the bound on
    # what a frame can hold must not refuse it.
    inst = s._ke_create_instance(InstanceCreateInfo())
    name = "a" * (4 << 20)
    data = s._ke_compile_module(inst, ModuleCompileInfo([ModuleSourceInfo(filename=name, data=param_source("i8"))]))
    assert len(data) < (4 << 20) // 1000
    assert isinstance(s._ke_load_module(inst, data), s.Module)


# ---------------------------------------------------------------------------------------
# Threads sharing one instance

THREADS = 8
LOADS_PER_THREAD = 6


def test_threads_compile_and_load_into_one_instance():
    body = f"""
        from kepi.api.ext.kelog import LogCreateInfoEXT, LogLevelEXT
        THREADS, LOADS = {THREADS}, {LOADS_PER_THREAD}
        records, lines = [], []
        def callback(record):
            records.append(record)
            lines.append("[{{}}] {{}}:{{}} {{}}".format(record["level"], record["file"], record["line"], record["message"]))
        inst = s._ke_create_instance(InstanceCreateInfo(enabled_extensions=["__EXT_kestrane_logger"],
                                                        ext=[LogCreateInfoEXT(LogLevelEXT.Trace, callback)]))
        del records[:], lines[:]
        modules, errors = [], []
        def work(t):
            try:
                for i in range(LOADS):
                    text = "define i32 f{{}}_{{}}(%x: i32) {{{{\\nentry:\\n  %y: i32 = imul.wrap %x, %x\\n  ret %y\\n}}}}\\n".format(t, i)
                    data = s._ke_compile_module(inst, ModuleCompileInfo([ModuleSourceInfo(filename=f"t{{t}}.kir", data=text)]))
                    modules.append(s._ke_load_module(inst, data))
            except Exception as e:
                errors.append(repr(e))
        threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        alive = sum(t.is_alive() for t in threads)
        messages = [r["message"] for r in records]
        keys = [m.rsplit(" ", 1)[1] for m in messages if m.startswith("ModuleContext inserted into InstanceContext with key ")]
        print(json.dumps({{
            "alive": alive, "errors": errors, "modules": len(modules),
            "distinct_modules": len(set(map(id, modules))), "keys": keys,
            "complete": all(set(r) == {{"level", "timepoint", "message", "module", "file", "line", "thread_name"}}
                            for r in records),
            "lines": len(lines), "records": len(records),
            "serialized": sum(m.startswith("Serializing compiled module storage") for m in messages),
            "deserialized": sum(m.startswith("Deserializing compiled module storage") for m in messages),
        }}))
        if alive:
            import os
            os._exit(0)  # a stuck thread would keep the child alive; report instead
    """
    result = run_child(body, timeout=300)
    total = THREADS * LOADS_PER_THREAD
    assert result["alive"] == 0, "deadlock: threads still running"
    assert result["errors"] == []
    assert result["modules"] == result["distinct_modules"] == total
    assert len(result["keys"]) == len(set(result["keys"])) == total
    assert result["complete"] and result["lines"] == result["records"]
    assert result["serialized"] == result["deserialized"] == total
