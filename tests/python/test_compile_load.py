"""Compiling textual IR into storage and loading it into instances, through kepi._sys."""

import gc
import re
import subprocess
import sys
import textwrap
import types

import pytest

import kepi._sys as s
from kepi.api import InstanceCreateInfo, ModuleCompileInfo, ModuleSourceInfo
from kepi.api.ext.kelog import LogCreateInfoEXT, LogLevelEXT

LOGGER = "__EXT_kestrane_logger"
MAGIC = b"\x7fKEMODIR"
HEADER = MAGIC + b"=0.1.2\x00"
ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
READ_FAILURE = "Failed to load compiled module: An unknown error occurred: Failed to read compiled module storage header: "

SQUARE = """\
define i32 square(%x: i32) {
entry:
  %y: i32 = imul.wrap %x, %x
  ret %y
}
"""

# Calls `square` by name, so it must come after the source defining it.
USES_SQUARE = """\
define i32 twice(%x: i32) {
entry:
  %a: i32 = invoke ptr square, %x
  %b: i32 = iadd.wrap %a, %a
  ret %b
}

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
"""

META = """\
define void !check(%x: i32) {
entry:
  %p: ptr = alloca i32 1
  store %p, %x, align 4
  %v: i32 = load %p, align 4
  %ok: i1 = icmp.eq %v, %x
  !assert %ok
  ret void
}
"""


def logged(level=LogLevelEXT.Trace):
    records = []
    inst = s._ke_create_instance(InstanceCreateInfo(enabled_extensions=[LOGGER],
                                                    ext=[LogCreateInfoEXT(level, records.append)]))
    del records[:]
    return inst, records


def messages(records):
    return [r["message"] for r in records]


def source(data, filename="a.kir"):
    return ModuleSourceInfo(filename=filename, data=data)


def compile_sources(inst, *sources):
    return s._ke_compile_module(inst, ModuleCompileInfo(list(sources)))


def with_requirement(storage, requirement):
    """The storage with its version requirement replaced (the frame is kept)."""
    assert storage.startswith(HEADER)
    return MAGIC + requirement + b"\x00" + storage[len(HEADER):]


def load_lines(records):
    """The three Trace lines of a load that decoded (after the decoder's own line)."""
    return messages(records)[1:4]


def checked_functions(records):
    return [m[len("Type checking function '"):-1] for m in messages(records)
            if m.startswith("Type checking function '")]


@pytest.fixture
def inst_records():
    return logged()


class TestSignatures:
    @pytest.mark.parametrize("f, sig, doc", [
        (s._ke_compile_module, "(instance, compile_info)", "Compiles a list of source modules into a compiled module."),
        (s._ke_load_module, "(instance, module_data)", "Loads a compiled module into the given instance."),
    ])
    def test_doc_and_text_signature(self, f, sig, doc):
        assert f.__text_signature__ == sig
        assert f.__doc__ == doc

    def test_registration_order(self):
        names = [n for n in vars(s) if not n.startswith("__") and n != "PanicException"]
        assert names == ["Instance", "Module", "_ke_create_instance", "_ke_compile_module", "_ke_load_module",
                         "factorial", "fibonacci"]


class TestCompile:
    def test_empty_compile(self, inst_records):
        inst, records = inst_records
        storage = compile_sources(inst)
        assert type(storage) is bytes
        assert storage.startswith(HEADER + ZSTD_MAGIC)
        assert messages(records) == [
            "Verifying compiled module",
            "Type checking compiled module",
            "Serializing compiled module storage (module has 0 functions)",
            "Compiled successful, module has 0 functions: []",
            f"Produced {len(storage)} bytes of compiled module storage",
        ]
        assert [r["level"] for r in records] == [0, 0, 0, 2, 2]
        assert {(r["module"], r["file"]) for r in records} == {("kecore::compiler", "kecore/src/compiler.cpp")}
        # The payload: no names, no functions, no types.
        del records[:]
        s._ke_load_module(inst, storage)
        assert load_lines(records) == [
            f"Loaded compiled module with 0 functions from {len(storage)} bytes",
            "Module originally compiled from: ",
            "Merging type registry (0 types) into instance's registry (0 types)",
        ]

    def test_several_sources(self, inst_records):
        inst, records = inst_records
        storage = compile_sources(inst, source(SQUARE, "sq.kir"), source(USES_SQUARE, "use.kir"),
                                  source(META, "meta.kir"))
        msgs = messages(records)
        assert msgs[:3] == ['Compiling source "sq.kir"', 'Compiling source "use.kir"', 'Compiling source "meta.kir"']
        assert msgs[3:5] == ["Verifying compiled module", "Type checking compiled module"]
        order = checked_functions(records)
        assert sorted(order) == ["check", "pick", "square", "twice"]
        assert msgs[5:9] == [f"Type checking function '{n}'" for n in order]
        assert msgs[9] == "Serializing compiled module storage (module has 4 functions)"
        assert msgs[10] == "Compiled successful, module has 4 functions: [" + ", ".join(f'"{n}"' for n in order) + "]"
        assert msgs[11] == f"Produced {len(storage)} bytes of compiled module storage"
        assert len(msgs) == 12

        # Loading reports the stored names and the same function order.
        del records[:]
        s._ke_load_module(inst, storage)
        assert load_lines(records)[:2] == [
            f"Loaded compiled module with 4 functions from {len(storage)} bytes",
            "Module originally compiled from: sq.kir, use.kir, meta.kir",
        ]
        assert checked_functions(records) == order

    @pytest.mark.parametrize("names, label_lines, stored", [
        ([None, "b"], ['"<unnamed>"', '"b"'], "b"),
        (["", "b"], ['""', '"b"'], ", b"),
        (["same", "same"], ['"same"', '"same"'], "same, same"),
        (['q"uote\\', None], ['"q"uote\\"', '"<unnamed>"'], 'q"uote\\'),
    ])
    def test_source_labels_and_stored_names(self, inst_records, names, label_lines, stored):
        inst, records = inst_records
        storage = compile_sources(inst, ModuleSourceInfo(filename=names[0], data=SQUARE),
                                  ModuleSourceInfo(filename=names[1], data=""))
        assert messages(records)[:2] == [f"Compiling source {label}" for label in label_lines]
        del records[:]
        s._ke_load_module(inst, storage)
        assert load_lines(records)[1] == f"Module originally compiled from: {stored}"

    def test_source_type_is_not_examined(self, inst_records):
        inst, _ = inst_records
        plain = types.SimpleNamespace(source_type=0, filename=None, data=SQUARE)
        assert compile_sources(inst, plain).startswith(HEADER)

    def test_compiling_leaves_the_instance_registry_alone(self, inst_records):
        inst, records = inst_records
        compile_sources(inst, source(SQUARE), source(USES_SQUARE, "b"))
        storage = compile_sources(inst)
        del records[:]
        s._ke_load_module(inst, storage)
        assert load_lines(records)[2] == "Merging type registry (0 types) into instance's registry (0 types)"

    def test_instance_without_logger(self):
        inst = s._ke_create_instance(InstanceCreateInfo())
        assert compile_sources(inst, source(SQUARE)).startswith(HEADER)


class TestCompileFailures:
    @pytest.mark.parametrize("text, message", [
        ("define i32 f() {\nentry:\n  ret\n}\n",
         "Parser errors occurred: [ParserError { file: None, start: 29, end: 30, message: "
         "\"found '\\\\n' expected register, undef operand, immediate operand, or 'void'\" }]"),
        ('import "lib"\n', None),
        ("define i32 f() {\nentry:\n  %r: i32 = invoke ptr nothere\n  ret %r\n}\n",
         "The internal function `nothere` was referenced but not defined within the module as either an internal "
         "or external function."),
        ("define void f() {\nentry:\n  %c: i1 = icmp.eq i32 1, i32 1\n  !assert %c\n  ret void\n}\n", None),
        ("define i32 f(%x: i32) {\nentry:\n  %y: i64 = imul.wrap %x, %x\n  ret %y\n}\n", None),
        ("\u00a7", None),
    ])
    def test_failure_is_logged_then_raised(self, inst_records, text, message):
        inst, records = inst_records
        with pytest.raises(RuntimeError) as e:
            compile_sources(inst, source(text, "bad.kir"))
        error = str(e.value)
        assert error.startswith("Failed to compile module: ")
        ir_message = error[len("Failed to compile module: "):]
        if message is not None:
            assert ir_message == message
        errors = [r for r in records if r["level"] == 4]
        assert len(errors) == 1
        assert records[-1] is errors[0]
        if errors[0]["message"].startswith("Type check failed"):
            assert errors[0]["message"] == f"Type check failed for function 'f': {ir_message}"
            assert messages(records)[-2] == "Type checking function 'f'"
        else:
            assert errors[0]["message"] == f'Failed to compile assembly source "bad.kir": {ir_message}'
            assert messages(records) == ['Compiling source "bad.kir"', errors[0]["message"]]

    def test_second_of_three_fails(self, inst_records):
        inst, records = inst_records
        with pytest.raises(RuntimeError) as e:
            compile_sources(inst, source(SQUARE, "one"), ModuleSourceInfo(data="define"), source(META, "three"))
        assert messages(records)[:2] == ['Compiling source "one"', 'Compiling source "<unnamed>"']
        assert len(records) == 3
        assert records[2]["message"] == 'Failed to compile assembly source "<unnamed>": ' + \
            str(e.value)[len("Failed to compile module: "):]

    def test_first_type_failure_stops_checking(self, inst_records):
        inst, records = inst_records
        bad = "define i32 {name}(%x: i32) {{\nentry:\n  %y: i64 = ineg %x\n  ret %y\n}}\n"
        with pytest.raises(RuntimeError):
            compile_sources(inst, source(bad.format(name="f") + "\n" + bad.format(name="g")))
        assert [r["level"] for r in records].count(4) == 1
        assert len(checked_functions(records)) == 1

    def test_invalid_compile_info(self, inst_records):
        inst, records = inst_records
        with pytest.raises(TypeError) as e:
            s._ke_compile_module(inst, types.SimpleNamespace())
        assert str(e.value) == ("Invalid ModuleCompileInfo: AttributeError: "
                                "'types.SimpleNamespace' object has no attribute 'sources'")
        assert e.value.__cause__ is None
        assert records == []


def valid_storage():
    inst = s._ke_create_instance(InstanceCreateInfo())
    return compile_sources(inst, source(SQUARE, "sq.kir"), source(USES_SQUARE, "use.kir"))


class TestLoad:
    def test_load_lines_and_module_handle(self, inst_records):
        inst, records = inst_records
        storage = valid_storage()
        module = s._ke_load_module(inst, storage)
        assert type(module) is s.Module
        msgs = messages(records)
        assert msgs[0] == f"Deserializing compiled module storage ({len(storage)} bytes)"
        assert load_lines(records) == [
            f"Loaded compiled module with 3 functions from {len(storage)} bytes",
            "Module originally compiled from: sq.kir, use.kir",
            "Merging type registry (3 types) into instance's registry (0 types)",
        ]
        assert msgs[4] == "Verifying module before adding to instance"
        assert re.fullmatch(r"Module with UUID [0-9a-f]{8}-[0-9a-f]{4}-6[0-9a-f]{3}-[0-9a-f]{4}-000000000000 added to "
                            r'instance\. Contains functions: \[("\w+", ){2}"\w+"\]', msgs[-2]), msgs[-2]
        assert msgs[-1] == "ModuleContext inserted into InstanceContext with key ModuleKey(1v1)"
        assert [r["module"] for r in records[:4]] == ["kecore::compiler"] * 4
        assert {r["module"] for r in records[4:]} == {"kecore::base"}

    def test_same_storage_twice(self, inst_records):
        inst, records = inst_records
        storage = valid_storage()
        s._ke_load_module(inst, storage)
        first = messages(records)
        del records[:]
        s._ke_load_module(inst, storage)
        second = messages(records)
        assert second[3] == "Merging type registry (3 types) into instance's registry (3 types)"
        assert first[-1].endswith("ModuleKey(1v1)") and second[-1].endswith("ModuleKey(2v1)")
        uuid = re.compile(r"Module with UUID (\S+) ")
        assert uuid.match(first[-2]).group(1) != uuid.match(second[-2]).group(1)

    def test_cross_instance_and_broader_requirements(self):
        storage = valid_storage()
        for requirement in [b"=0.1.2", b"^0.1", b">=0.1.0", b">=0.1.0, <0.2.0", b"*", b"~0.1"]:
            inst, records = logged()
            assert type(s._ke_load_module(inst, with_requirement(storage, requirement))) is s.Module
            assert messages(records)[-1].endswith("ModuleKey(1v1)")

    def test_trailing_bytes_are_ignored(self, inst_records):
        inst, _ = inst_records
        storage = valid_storage()
        for extra in [b"\x00", b"junk" * 100, storage]:
            assert type(s._ke_load_module(inst, storage + extra)) is s.Module

    @pytest.mark.parametrize("data, reason", [
        (b"", "failed to fill whole buffer"),
        (b"\x7f", "failed to fill whole buffer"),
        (MAGIC[:7], "failed to fill whole buffer"),
        (MAGIC, "failed to fill whole buffer"),
        (MAGIC + b"=0.1.2", "failed to fill whole buffer"),
        (b"\x7fKEMODIr=0.1.2\x00", "Invalid magic bytes in compiled module storage"),
        (MAGIC + b"\x00", "Invalid version requirement format: empty string, expected a semver version"),
        (MAGIC + b"=\xff\x00", "Invalid UTF-8 in version requirement: invalid utf-8 sequence of 1 bytes from index 1"),
        (MAGIC + b"=0.1.3\x00", "Incompatible compiled module storage version: required =0.1.3, found 0.1.2"),
        (MAGIC + b"^0.2\x00", "Incompatible compiled module storage version: required ^0.2, found 0.1.2"),
        (HEADER, "Unexpected length of input"),
        (HEADER + b"\x01\x02\x03\x04\x05\x06\x07\x08", "Unknown frame descriptor"),
    ])
    def test_decode_failures(self, inst_records, data, reason):
        inst, records = inst_records
        with pytest.raises(RuntimeError) as e:
            s._ke_load_module(inst, data)
        assert str(e.value) == READ_FAILURE + reason
        assert messages(records) == [f"Deserializing compiled module storage ({len(data)} bytes)",
                                     "Failed to read compiled module storage header: " + reason]
        assert [r["level"] for r in records] == [0, 4]

    def test_a_valid_frame_with_the_wrong_magic_is_refused(self, inst_records):
        inst, _ = inst_records
        storage = valid_storage()
        with pytest.raises(RuntimeError) as e:
            s._ke_load_module(inst, b"\x00" + storage[1:])
        assert str(e.value) == READ_FAILURE + "Invalid magic bytes in compiled module storage"

    def test_every_truncation_fails(self, inst_records):
        inst, records = inst_records
        storage = valid_storage()
        for n in range(len(storage)):
            with pytest.raises(RuntimeError) as e:
                s._ke_load_module(inst, storage[:n])
            assert str(e.value).startswith(READ_FAILURE)
        # Nothing was added: the next load takes the first key.
        del records[:]
        s._ke_load_module(inst, storage)
        assert messages(records)[-1].endswith("ModuleKey(1v1)")


class TestArguments:
    def test_keywords_in_any_order(self, inst_records):
        inst, _ = inst_records
        storage = s._ke_compile_module(compile_info=ModuleCompileInfo([source(SQUARE)]), instance=inst)
        assert type(s._ke_load_module(module_data=storage, instance=inst)) is s.Module

    @pytest.mark.parametrize("call, message", [
        (lambda i: s._ke_compile_module(i), "_ke_compile_module() missing 1 required positional argument: "
                                            "'compile_info'"),
        (lambda i: s._ke_load_module(), "_ke_load_module() missing 2 required positional arguments: 'instance' and "
                                        "'module_data'"),
        (lambda i: s._ke_load_module(i, b"", b""), "_ke_load_module() takes 2 positional arguments but 3 were given"),
        (lambda i: s._ke_load_module(i, data=b""), "_ke_load_module() got an unexpected keyword argument 'data'"),
        (lambda i: s._ke_compile_module(i, ModuleCompileInfo(), instance=i),
         "_ke_compile_module() got multiple values for argument 'instance'"),
        (lambda i: s._ke_load_module(i, bytearray(valid_storage())),
         "argument 'module_data': 'bytearray' object cannot be converted to 'PyBytes'"),
        (lambda i: s._ke_load_module(i, memoryview(valid_storage())),
         "argument 'module_data': 'memoryview' object cannot be converted to 'PyBytes'"),
        (lambda i: s._ke_load_module(i, "text"), "argument 'module_data': 'str' object cannot be converted to 'PyBytes'"),
        (lambda i: s._ke_load_module(3, valid_storage()),
         "argument 'instance': 'int' object cannot be converted to 'Instance'"),
        (lambda i: s._ke_compile_module(s.Module, ModuleCompileInfo()),
         "argument 'instance': 'type' object cannot be converted to 'Instance'"),
    ])
    def test_argument_errors(self, inst_records, call, message):
        inst, records = inst_records
        with pytest.raises(TypeError) as e:
            call(inst)
        assert str(e.value) == message
        assert records == []

    def test_instance_is_checked_before_compile_info_is_read(self):
        touched = []

        class Spy:
            @property
            def sources(self):
                touched.append(True)
                return []

        with pytest.raises(TypeError, match=r"^argument 'instance': 'NoneType' object cannot be converted"):
            s._ke_compile_module(None, Spy())
        assert touched == []

    def test_bytes_subclass_is_accepted(self, inst_records):
        inst, _ = inst_records

        class Blob(bytes):
            pass

        assert type(s._ke_load_module(inst, Blob(valid_storage()))) is s.Module


class TestOwnership:
    def test_module_outlives_instance(self):
        inst, records = logged()
        module = s._ke_load_module(inst, valid_storage())
        del inst
        assert messages(records)[-1].startswith("Tearing down InstanceContext at ")
        assert type(module) is s.Module
        del module

    def test_module_handle_does_not_keep_a_loaded_module_alive_in_python(self):
        inst, records = logged()
        modules = [s._ke_load_module(inst, valid_storage()) for _ in range(3)]
        del modules
        # Dropping handles unloads nothing: the next key continues.
        del records[:]
        s._ke_load_module(inst, valid_storage())
        assert messages(records)[-1].endswith("ModuleKey(4v1)")


THREADED = textwrap.dedent("""
    import sys, threading
    import kepi._sys as s
    from kepi.api import InstanceCreateInfo, ModuleCompileInfo, ModuleSourceInfo
    from kepi.api.ext.kelog import LogCreateInfoEXT

    sys.setswitchinterval(1e-6)
    inserted = []
    def callback(record):
        # Python work inside the callback lets other threads run meanwhile.
        total = sum(range(200))
        if record["message"].startswith("ModuleContext inserted"):
            inserted.append(record["message"].rsplit(" ", 1)[1])

    inst = s._ke_create_instance(InstanceCreateInfo(enabled_extensions=["__EXT_kestrane_logger"],
                                                    ext=[LogCreateInfoEXT(0, callback)]))
    storage = s._ke_compile_module(inst, ModuleCompileInfo([ModuleSourceInfo(filename="a", data=SOURCE)]))
    results = []
    def work():
        for _ in range(EACH):
            results.append(s._ke_load_module(inst, storage))
    threads = [threading.Thread(target=work) for _ in range(THREADS)]
    for t in threads: t.start()
    for t in threads: t.join()
    total = THREADS * EACH
    assert len(results) == total, len(results)
    assert all(type(m) is s.Module for m in results)
    assert sorted(inserted) == sorted(f"ModuleKey({i}v1)" for i in range(1, total + 1)), inserted
    print("ok", total)
""")


def test_threads_loading_into_one_instance():
    code = f"SOURCE = {SQUARE + USES_SQUARE!r}\nTHREADS = 6\nEACH = 25\n" + THREADED
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "ok 150\n"


def test_source_text_replaced_by_a_callback_during_compile():
    # The text is read in place from the str object; a log callback that swaps
    # the objects out and drops them must not pull the text from under the
    # compile (the first source is still being parsed when its record is made).
    info = ModuleCompileInfo([source(SQUARE, "a.kir"),
                              source(USES_SQUARE, "b.kir")])

    armed = []

    def swap(record):
        if armed:
            for src in info.sources:
                src.data = "this is not a program " * 1000
            gc.collect()

    inst = s._ke_create_instance(InstanceCreateInfo(enabled_extensions=[LOGGER],
                                                    ext=[LogCreateInfoEXT(LogLevelEXT.Trace, swap)]))
    armed.append(True)
    storage = s._ke_compile_module(inst, info)
    module = s._ke_load_module(s._ke_create_instance(InstanceCreateInfo()), storage)
    assert isinstance(module, s.Module)
    # The next compile sees the replaced text.
    with pytest.raises(RuntimeError):
        s._ke_compile_module(inst, info)
