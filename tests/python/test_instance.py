"""Instances from Python: the handle classes, creation, the logging extension and teardown."""

import datetime
import gc
import re
import subprocess
import sys
import weakref

import pytest

import kepi._sys as s
from kepi.api import ApplicationInfo, InstanceCreateInfo, VersionInfo
from kepi.api.ext.kelog import LogCreateInfoEXT, LogLevelEXT

LOGGER = "__EXT_kestrane_logger"
KEYS = ["level", "timepoint", "message", "module", "file", "line", "thread_name"]


def make_info(extensions=(), ext=(), node_id=258):
    return InstanceCreateInfo(
        ApplicationInfo(VersionInfo(1, 2, 3), "app", VersionInfo(4, 5, 6), "eng"),
        list(extensions),
        node_id,
        list(ext),
    )


def logged(level=LogLevelEXT.Trace, extensions=(LOGGER,)):
    """Creates an instance whose logger hands its records to a list; returns both."""
    records = []
    inst = s._ke_create_instance(make_info(extensions, [LogCreateInfoEXT(level, records.append)]))
    return inst, records


def run_python(code, env=None):
    import os

    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=full_env, check=True)


class TestHandleClasses:
    @pytest.mark.parametrize(
        "cls, doc",
        [
            (s.Instance, "Opaque handle to a running Kestrane instance exposed to Python callers."),
            (s.Module, "Opaque handle to a kestrane module"),
        ],
    )
    def test_names_and_docs(self, cls, doc):
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == cls.__name__ in ("Instance", "Module")
        assert cls.__doc__ == doc

    @pytest.mark.parametrize("cls", [s.Instance, s.Module])
    def test_no_constructor_and_not_subclassable(self, cls):
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})

    def test_instance_has_no_dict_and_no_weakref(self):
        inst = s._ke_create_instance(make_info())
        assert isinstance(inst, s.Instance)
        with pytest.raises(AttributeError):
            inst.anything = 1
        with pytest.raises(TypeError):
            weakref.ref(inst)

    def test_registration_order(self):
        names = [n for n in vars(s) if not n.startswith("__") and n != "PanicException"]
        expected = ["Instance", "Module", "_ke_create_instance", "_ke_compile_module", "_ke_load_module",
                    "factorial", "fibonacci"]
        assert names == [n for n in expected if n in names]
        assert names[:3] == ["Instance", "Module", "_ke_create_instance"]
        assert names[-2:] == ["factorial", "fibonacci"]


class TestCreateInstanceFunction:
    def test_doc_and_signature(self):
        f = s._ke_create_instance
        assert f.__doc__ == "Creates a new Kestrane instance from the validated Python dataclasses."
        assert f.__text_signature__ == "(instance_create_info)"

    def test_keyword_argument(self):
        assert isinstance(s._ke_create_instance(instance_create_info=make_info()), s.Instance)

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: s._ke_create_instance(),
             "_ke_create_instance() missing 1 required positional argument: 'instance_create_info'"),
            (lambda: s._ke_create_instance(make_info(), make_info()),
             "_ke_create_instance() takes 1 positional arguments but 2 were given"),
            (lambda: s._ke_create_instance(info=make_info()),
             "_ke_create_instance() got an unexpected keyword argument 'info'"),
        ],
    )
    def test_argument_errors(self, call, message):
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value) == message

    @pytest.mark.parametrize("names, bad", [(["nope"], "nope"), ([LOGGER, "nope"], "nope"),
                                            (["__EXT_Kestrane_logger"], "__EXT_Kestrane_logger"),
                                            ([" " + LOGGER], " " + LOGGER), ([""], "")])
    def test_unknown_plugin(self, names, bad):
        with pytest.raises(RuntimeError) as e:
            s._ke_create_instance(make_info(names))
        assert str(e.value) == f"Failed to create instance: Plugin with name '{bad}' not found"


class TestCreationRecords:
    def test_five_lines_then_teardown(self):
        before = datetime.datetime.now()
        inst, records = logged()
        after = datetime.datetime.now()
        assert [list(r) for r in records] == [KEYS] * 5
        # Each timepoint, microseconds included, lies between clock reads taken around the call.
        for r in records:
            assert before <= r["timepoint"] <= after, (before, r["timepoint"], after)
        messages = [r["message"] for r in records]
        m = re.fullmatch(r"Instance created successfully at (0x[0-9a-f]+)", messages[0])
        assert m, messages[0]
        address = m.group(1)
        assert messages[1] == "Application 'app' v1.2.3 using engine 'eng' v4.5.6 (node ID: 258)"
        assert messages[2] == 'Loaded 1 extensions: ["__EXT_kestrane_logger"]'
        assert re.fullmatch(r'kecore version: v0\.1\.2 \(features: \[("[^"]*"(, "[^"]*")*)?\]\) -- \S+ \S+',
                            messages[3]), messages[3]
        assert re.fullmatch(r"built from commit ([0-9a-f]{7}|00000000)\.\.( \(dirty\))? on branch '.+'",
                            messages[4]), messages[4]
        assert [r["level"] for r in records] == [0, 2, 2, 2, 2]
        for r in records:
            assert r["module"] == "kecore::base"
            assert r["file"] == "kecore/src/base/mod.cpp"
            assert isinstance(r["line"], int) and r["line"] > 0
            assert r["thread_name"] is None
            assert type(r["timepoint"]) is datetime.datetime and r["timepoint"].tzinfo is None
        assert [r["timepoint"] for r in records] == sorted(r["timepoint"] for r in records)
        del records[:]
        del inst
        assert len(records) == 1
        assert records[0]["level"] == 0
        assert records[0]["message"] == f"Tearing down InstanceContext at {address}"

    def test_each_record_is_a_fresh_dict(self):
        inst, records = logged()
        assert len({id(r) for r in records}) == len(records)
        del inst

    @pytest.mark.parametrize(
        "level, count",
        [(LogLevelEXT.Trace, 5), (LogLevelEXT.Debug, 4), (LogLevelEXT.Info, 4), (LogLevelEXT.Warn, 0),
         (LogLevelEXT.Error, 0)],
    )
    def test_level_filter(self, level, count):
        inst, records = logged(level)
        assert len(records) == count
        assert all(r["level"] >= level for r in records)
        del inst
        assert len(records) == count + (1 if level == LogLevelEXT.Trace else 0)

    def test_node_id_in_decimal(self):
        records = []
        s._ke_create_instance(
            make_info([LOGGER], [LogCreateInfoEXT(LogLevelEXT.Info, records.append)], node_id=4294967295))
        assert records[0]["message"].endswith("(node ID: 4294967295)")

    def test_name_listed_twice_keeps_its_settings(self):
        records = []
        s._ke_create_instance(make_info([LOGGER, LOGGER], [LogCreateInfoEXT(LogLevelEXT.Info, records.append)]))
        messages = [r["message"] for r in records]
        assert messages[1] == 'Loaded 1 extensions: ["__EXT_kestrane_logger", "__EXT_kestrane_logger"]'
        assert len(messages) == 4

    def test_only_the_first_settings_record_counts(self):
        first, second = [], []
        s._ke_create_instance(make_info([LOGGER], [LogCreateInfoEXT(LogLevelEXT.Error, first.append),
                                                   LogCreateInfoEXT(LogLevelEXT.Trace, second.append)]))
        assert first == [] and second == []

    def test_settings_without_the_extension_do_nothing(self):
        records = []
        inst = s._ke_create_instance(make_info([], [LogCreateInfoEXT(LogLevelEXT.Trace, records.append)]))
        del inst
        assert records == []


class TestStandardOutput:
    LINE = re.compile(r"\[(Trace|Debug|Info|Warn|Error)\] (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?)"
                      r" - (.*)")

    def test_logger_without_settings_prints_every_record(self):
        code = (
            "import kepi._sys as s\n"
            "from kepi.api import InstanceCreateInfo\n"
            "i = s._ke_create_instance(InstanceCreateInfo(enabled_extensions=['__EXT_kestrane_logger']))\n"
            "del i\n"
        )
        out = run_python(code).stdout
        lines = out.split("\n")
        assert lines[-1] == ""
        lines = lines[:-1]
        assert len(lines) == 6
        parsed = [self.LINE.fullmatch(line) for line in lines]
        assert all(parsed), lines
        assert [p.group(1) for p in parsed] == ["Trace", "Info", "Info", "Info", "Info", "Trace"]
        assert parsed[0].group(4).startswith("Instance created successfully at 0x")
        assert parsed[1].group(4) == "Application '' v0.0.0 using engine '' v0.0.0 (node ID: 0)"
        assert parsed[5].group(4) == parsed[0].group(4).replace("Instance created successfully",
                                                                "Tearing down InstanceContext")
        for p in parsed:
            fraction = p.group(3)
            if fraction:  # the shortest exact width is used
                digits = fraction[1:]
                assert not (len(digits) > 3 and digits.endswith("000"))

    def test_without_logger_nothing_is_printed(self):
        code = (
            "import kepi._sys as s\n"
            "from kepi.api import InstanceCreateInfo\n"
            "i = s._ke_create_instance(InstanceCreateInfo())\n"
            "del i\n"
        )
        assert run_python(code).stdout == ""

    @pytest.mark.parametrize("tz, offset", [("UTC0", 0), ("<+0530>-5:30", 330), ("<-10>10", -600)])
    def test_timestamps_follow_tz(self, tz, offset):
        code = (
            "import datetime, kepi._sys as s\n"
            "from kepi.api import InstanceCreateInfo\n"
            "from kepi.api.ext.kelog import LogCreateInfoEXT\n"
            "r = []\n"
            "before = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)\n"
            "s._ke_create_instance(InstanceCreateInfo(enabled_extensions=['__EXT_kestrane_logger'],"
            " ext=[LogCreateInfoEXT(0, r.append)]))\n"
            "print((r[0]['timepoint'] - before).total_seconds())\n"
        )
        delta = float(run_python(code, {"TZ": tz}).stdout)
        assert abs(delta - offset * 60) < 30


class TestCallbackFailures:
    def test_raising_callback_is_reported_as_unraisable(self, monkeypatch):
        seen = []
        monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_type))

        def callback(record):
            raise ValueError("no")

        inst = s._ke_create_instance(make_info([LOGGER], [LogCreateInfoEXT(LogLevelEXT.Trace, callback)]))
        assert isinstance(inst, s.Instance)
        assert seen == [ValueError] * 5
        del inst
        assert seen == [ValueError] * 6

    def test_teardown_during_a_propagating_exception_keeps_it(self, monkeypatch):
        seen = []
        messages = []
        monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_type))

        def callback(record):
            messages.append(record["message"])
            if record["message"].startswith("Tearing down"):
                raise KeyError("callback")

        def gen():
            # The only reference lives in the tuple being built, which is
            # released while LookupError propagates.
            yield s._ke_create_instance(make_info([LOGGER], [LogCreateInfoEXT(LogLevelEXT.Trace, callback)]))
            raise LookupError("original")

        with pytest.raises(LookupError, match="original"):
            tuple(gen())
        assert messages[-1].startswith("Tearing down InstanceContext at ")
        assert seen == [KeyError]


    def test_interrupt_in_the_callback_reaches_the_caller(self, monkeypatch):
        from kepi.api import ModuleCompileInfo

        seen = []
        monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_type))
        calls = []

        def raising(exc_type):
            def callback(record):
                calls.append(record["message"])
                if len(calls) == 1:
                    raise exc_type("from the callback")
            return callback

        # Interrupted during creation: the new instance is dropped (its teardown
        # logs into the same call) and the interrupt raised instead.
        with pytest.raises(KeyboardInterrupt, match="from the callback"):
            s._ke_create_instance(make_info([LOGGER], [LogCreateInfoEXT(LogLevelEXT.Trace,
                                                                        raising(KeyboardInterrupt))]))
        assert calls[-1].startswith("Tearing down InstanceContext at ")
        handler = [lambda r: None]
        inst = s._ke_create_instance(make_info([LOGGER], [LogCreateInfoEXT(LogLevelEXT.Trace,
                                                                           lambda r: handler[-1](r))]))
        for exc_type in (KeyboardInterrupt, ValueError):
            del calls[:]
            handler.append(raising(exc_type))
            if exc_type is KeyboardInterrupt:
                with pytest.raises(KeyboardInterrupt):
                    s._ke_compile_module(inst, ModuleCompileInfo([]))
            else:
                assert isinstance(s._ke_compile_module(inst, ModuleCompileInfo([])), bytes)
            assert len(calls) > 1  # the records after the interrupted one still come
        assert seen == [ValueError]
        # Raised in a teardown outside any call: the interpreter raises it next.
        del calls[:]
        handler.append(raising(KeyboardInterrupt))
        with pytest.raises(KeyboardInterrupt):
            del inst
            for _ in range(1000):
                pass
        assert calls[0].startswith("Tearing down InstanceContext at ")
        assert seen == [ValueError]


class TestReentrantCallback:
    def test_callback_creates_another_instance(self):
        inner_records = []
        outer_messages = []
        kept = []

        def callback(record):
            outer_messages.append(record["message"])
            if len(outer_messages) == 1:
                kept.append(s._ke_create_instance(
                    make_info([LOGGER], [LogCreateInfoEXT(LogLevelEXT.Trace, inner_records.append)])))

        inst = s._ke_create_instance(make_info([LOGGER], [LogCreateInfoEXT(LogLevelEXT.Trace, callback)]))
        assert len(outer_messages) == 5
        assert len(inner_records) == 5
        del kept[:]
        assert inner_records[-1]["message"].startswith("Tearing down InstanceContext at ")
        del inst

    def test_callback_calls_back_into_the_same_instance(self):
        from kepi.api import ModuleCompileInfo

        holder = []
        records = []
        nested = []

        def callback(record):
            records.append(record["message"])
            if holder and record["level"] >= 2 and not nested:
                nested.append(True)  # once: the nested call logs too
                holder.append(s._ke_compile_module(holder[0], ModuleCompileInfo([])))

        inst = s._ke_create_instance(make_info([LOGGER], [LogCreateInfoEXT(LogLevelEXT.Trace, callback)]))
        holder.append(inst)
        outer = s._ke_compile_module(inst, ModuleCompileInfo([]))
        assert len(holder) == 2
        assert isinstance(holder[1], bytes)
        assert holder[1] == outer


class TestCollection:
    def test_cycle_through_the_callback_is_collected(self, monkeypatch):
        # The usual idiom: an object holds its instance and logs through its own
        # bound method. The collector may break such a cycle at the object (whose
        # attributes are then gone when the teardown logs) or at the instance
        # (whose callback is then dropped): the instances of the later holders are
        # made after a young collection, which puts them first in the order in
        # which the collector clears.
        monkeypatch.setattr(sys, "unraisablehook", lambda u: None)

        class Holder:
            def start(self):
                self.records = []
                self.inst = s._ke_create_instance(make_info([LOGGER], [LogCreateInfoEXT(LogLevelEXT.Trace,
                                                                                        self.on_log)]))

            def on_log(self, record):
                self.records.append(record)

        def instance_count():
            return sum(type(o) is s.Instance for o in gc.get_objects())

        gc.collect()
        before = instance_count()
        gc.disable()
        try:
            holders = [Holder() for _ in range(50)]
            for h in holders[:25]:
                h.start()
            gc.collect(0)
            for h in holders[25:]:
                h.start()
            assert all(len(h.records) == 5 for h in holders)
            assert instance_count() == before + 50
            refs = [weakref.ref(h) for h in holders]
            del holders, h
        finally:
            gc.enable()
        gc.collect()
        assert [r for r in refs if r() is not None] == []
        assert instance_count() == before
