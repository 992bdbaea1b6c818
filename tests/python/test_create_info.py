"""Reading InstanceCreateInfo from host objects: accepted shapes and every error text."""

import collections.abc
import types

import pytest

import kepi._sys as s
from kepi.api import ApplicationInfo, InstanceCreateInfo, ModuleCompileInfo, ModuleSourceInfo, VersionInfo
from kepi.api.ext.kelog import LogCreateInfoEXT, LogLevelEXT

LOGGER = "__EXT_kestrane_logger"
LOADERS = '["kepi.api.ext.kelog.LogCreateInfoEXT"]'


def info(**changes):
    base = dict(
        application_info=ApplicationInfo(VersionInfo(1, 2, 3), "app", VersionInfo(4, 5, 6), "eng"),
        enabled_extensions=[],
        node_id=0,
        ext=[],
    )
    base.update(changes)
    return types.SimpleNamespace(**base)


def app(**changes):
    base = dict(application_version=VersionInfo(1, 2, 3), application_name="app",
                engine_version=VersionInfo(4, 5, 6), engine_name="eng")
    base.update(changes)
    return types.SimpleNamespace(**base)


def version(**changes):
    base = dict(major=1, minor=2, patch=3)
    base.update(changes)
    return types.SimpleNamespace(**base)


def create_error(obj):
    with pytest.raises(TypeError) as e:
        s._ke_create_instance(obj)
    assert e.value.__cause__ is None
    return str(e.value)


def field_error(field):
    return f"Invalid InstanceCreateInfo: TypeError: failed to extract field InstanceCreateInfo.{field}"


def log_settings(**changes):
    """Logger settings holding values the record itself refuses, for the runtime's own checks."""
    settings = LogCreateInfoEXT(LogLevelEXT.Info, print)
    for name, value in changes.items():
        setattr(settings, name, value)
    return settings


class SubSettings(LogCreateInfoEXT):
    """The runtime finds settings by the full name of their class: it refuses a subclass."""


class MySeq(collections.abc.Sequence):
    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class TestAccepted:
    @pytest.mark.parametrize(
        "obj",
        [
            info(),
            info(node_id=4294967295),
            info(node_id=True),
            info(node_id=Index(7)),
            info(application_info=app(application_version=version(major=65535, minor=0, patch=65535))),
            info(application_info=app(application_name="ünïcode ✓")),
            info(enabled_extensions=(LOGGER,)),
            info(enabled_extensions=MySeq([LOGGER])),
            info(ext=()),
            info(ext=(LogCreateInfoEXT(LogLevelEXT.Warn, print),)),
            info(ext=MySeq([LogCreateInfoEXT(4, print), LogCreateInfoEXT(0, print)])),
            InstanceCreateInfo(),
        ],
    )
    def test_creates(self, obj):
        assert isinstance(s._ke_create_instance(obj), s.Instance)

    def test_subclass_of_str_is_a_str(self):
        class Name(str):
            pass

        records = []
        s._ke_create_instance(info(application_info=app(application_name=Name("sub")), enabled_extensions=[LOGGER],
                                   ext=[LogCreateInfoEXT(2, records.append)]))
        assert records[0]["message"].startswith("Application 'sub' v1.2.3")


class TestMissingAttributes:
    def test_first_missing_in_read_order_unwrapped(self):
        obj = types.SimpleNamespace(enabled_extensions=[], ext=[])
        assert create_error(obj) == (
            "Invalid InstanceCreateInfo: AttributeError: 'types.SimpleNamespace' object has no attribute "
            "'application_info'")

    def test_missing_node_id(self):
        obj = info()
        del obj.node_id
        assert create_error(obj) == (
            "Invalid InstanceCreateInfo: AttributeError: 'types.SimpleNamespace' object has no attribute 'node_id'")

    def test_missing_nested_attribute_is_wrapped(self):
        obj = info(application_info=app(application_version=types.SimpleNamespace(minor=1, patch=1)))
        assert create_error(obj) == field_error("application_info")

    def test_attributes_read_in_declaration_order(self):
        reads = []

        class Spy:
            def __init__(self, name, value):
                self._name, self._value = name, value

            def __getattr__(self, attr):
                reads.append(f"{self._name}.{attr}")
                return self._value[attr]

        ver = {"major": 1, "minor": 2, "patch": 3}
        application = {"application_version": Spy("ver", ver), "application_name": "a",
                       "engine_version": Spy("ver", ver), "engine_name": "e"}
        top = {"application_info": Spy("app", application), "enabled_extensions": [], "node_id": 1, "ext": []}
        s._ke_create_instance(Spy("info", top))
        assert reads == [
            "info.application_info", "app.application_version", "ver.major", "ver.minor", "ver.patch",
            "app.application_name", "app.engine_version", "ver.major", "ver.minor", "ver.patch", "app.engine_name",
            "info.enabled_extensions", "info.node_id", "info.ext",
        ]

    def test_conversion_stops_at_the_first_failure(self):
        reads = []

        class Spy:
            def __getattr__(self, attr):
                reads.append(attr)
                return {"application_info": app(), "enabled_extensions": "oops", "node_id": 1, "ext": []}[attr]

        assert create_error(Spy()) == field_error("enabled_extensions")
        assert reads == ["application_info", "enabled_extensions"]


class TestFieldErrors:
    @pytest.mark.parametrize(
        "obj, field",
        [
            (info(node_id=4294967296), "node_id"),
            (info(node_id=-1), "node_id"),
            (info(node_id=2**80), "node_id"),
            (info(node_id=1.0), "node_id"),
            (info(node_id="1"), "node_id"),
            (info(node_id=None), "node_id"),
            (info(application_info=app(application_version=version(major=65536))), "application_info"),
            (info(application_info=app(engine_version=version(patch=-1))), "application_info"),
            (info(application_info=app(application_name=b"app")), "application_info"),
            (info(application_info=app(engine_name=None)), "application_info"),
            (info(application_info=app(engine_name="\ud800")), "application_info"),
            (info(application_info=None), "application_info"),
            (info(enabled_extensions=LOGGER), "enabled_extensions"),
            (info(enabled_extensions={LOGGER}), "enabled_extensions"),
            (info(enabled_extensions={LOGGER: 1}.keys()), "enabled_extensions"),
            (info(enabled_extensions=(n for n in [LOGGER])), "enabled_extensions"),
            (info(enabled_extensions=[LOGGER, 1]), "enabled_extensions"),
            (info(enabled_extensions=None), "enabled_extensions"),
            (info(ext="abc"), "ext"),
            (info(ext={1}), "ext"),
            (info(ext=None), "ext"),
            (info(ext=[log_settings(level=5)]), "ext"),
            (info(ext=[log_settings(level=-1)]), "ext"),
            (info(ext=[log_settings(level="2")]), "ext"),
            (info(ext=[log_settings(callback=None)]), "ext"),
            (info(ext=[log_settings(callback=42)]), "ext"),
            (info(ext=[types.SimpleNamespace(level=2, callback=print)]), "ext"),
        ],
    )
    def test_wrapped_as_the_outermost_field(self, obj, field, capfd):
        assert create_error(obj) == field_error(field)

    def test_settings_without_level_attribute(self):
        # Matched by its full name; lacks "level".
        fake = type("LogCreateInfoEXT", (), {"callback": print})
        fake.__module__ = "kepi.api.ext.kelog"
        assert create_error(info(ext=[fake()])) == field_error("ext")

    def test_property_error_unchanged(self):
        class Boom:
            @property
            def application_info(self):
                raise ValueError("boom")

        assert create_error(Boom()) == "Invalid InstanceCreateInfo: ValueError: boom"

    def test_exception_type_shown_by_qualified_name(self):
        class Outer:
            class Failure(Exception):
                pass

        class Boom:
            @property
            def application_info(self):
                raise Outer.Failure("inner")

        assert create_error(Boom()) == "Invalid InstanceCreateInfo: TestFieldErrors.test_exception_type_shown_by_" \
                                       "qualified_name.<locals>.Outer.Failure: inner"

    def test_exception_whose_str_fails(self):
        class Unprintable(Exception):
            def __str__(self):
                raise RuntimeError("no str")

        class Boom:
            @property
            def application_info(self):
                raise Unprintable()

        assert create_error(Boom()).endswith(".<locals>.Unprintable: <exception str() failed>")


class TestUnregisteredSettings:
    def test_builtin_type(self, capfd):
        assert create_error(info(ext=[1])) == field_error("ext")
        out = capfd.readouterr().out
        assert out == f"No loader registered for type 'int'. Possible types are: {LOADERS}\n"

    def test_class_of_the_same_name_elsewhere(self, capfd):
        fake = type("LogCreateInfoEXT", (), {"level": 2, "callback": print})
        fake.__module__ = "__main__"
        assert create_error(info(ext=[fake()])) == field_error("ext")
        fake.__module__ = "other.module"
        assert create_error(info(ext=[fake()])) == field_error("ext")
        fake.__module__ = "kepi.api.ext"
        fake.__qualname__ = "kelog.LogCreateInfoEXT"  # same full text, so it is taken
        assert isinstance(s._ke_create_instance(info(ext=[fake()])), s.Instance)
        out = capfd.readouterr().out
        assert out == (
            f"No loader registered for type 'LogCreateInfoEXT'. Possible types are: {LOADERS}\n"
            f"No loader registered for type 'other.module.LogCreateInfoEXT'. Possible types are: {LOADERS}\n"
        )

    def test_nested_class_and_subclass(self, capfd):
        class Sub(LogCreateInfoEXT):
            pass

        assert create_error(info(ext=[Sub(2, print)])) == field_error("ext")
        out = capfd.readouterr().out
        # Subclasses are not matched: the full name is the subclass's own.
        assert out == (f"No loader registered for type '{Sub.__module__}.{Sub.__qualname__}'. "
                       f"Possible types are: {LOADERS}\n")
        assert Sub.__qualname__.endswith("test_nested_class_and_subclass.<locals>.Sub")

    def test_first_failing_item_stops(self, capfd):
        assert create_error(info(ext=[LogCreateInfoEXT(2, print), 1.5, "x"])) == field_error("ext")
        assert capfd.readouterr().out.count("No loader registered") == 1


class TestRecordsCheckTheirFields:
    @pytest.mark.parametrize(
        "build, error, message",
        [
            (lambda: LogCreateInfoEXT(LogLevelEXT.Info), TypeError,
             "LogCreateInfoEXT.callback must be callable, got NoneType"),
            (lambda: LogCreateInfoEXT(5, print), ValueError,
             "LogCreateInfoEXT.level must be a LogLevelEXT value (0, 1, 2, 3, 4), got 5"),
            (lambda: LogCreateInfoEXT("2", print), TypeError, "LogCreateInfoEXT.level must be LogLevelEXT, got str"),
            (lambda: VersionInfo(1, 65536), ValueError, "VersionInfo.minor must be between 0 and 65535, got 65536"),
            (lambda: VersionInfo(patch=1.0), TypeError, "VersionInfo.patch must be int, got float"),
            (lambda: ApplicationInfo(engine_name=None), TypeError, "ApplicationInfo.engine_name must be str, got NoneType"),
            (lambda: ApplicationInfo(application_name="\ud800"), ValueError,
             "ApplicationInfo.application_name must be text encodable as UTF-8 (no lone surrogates)"),
            (lambda: ApplicationInfo((1, 2, 3)), TypeError,
             "ApplicationInfo.application_version must be VersionInfo, got tuple without 'major'"),
            (lambda: InstanceCreateInfo(node_id=-1), ValueError,
             "InstanceCreateInfo.node_id must be between 0 and 4294967295, got -1"),
            (lambda: InstanceCreateInfo(enabled_extensions=LOGGER), TypeError,
             "InstanceCreateInfo.enabled_extensions must be a list, got str"),
            (lambda: InstanceCreateInfo(enabled_extensions=[LOGGER, 1]), TypeError,
             "InstanceCreateInfo.enabled_extensions[1] must be str, got int"),
            (lambda: InstanceCreateInfo(ext=[1]), TypeError, "InstanceCreateInfo.ext[0] must be LogCreateInfoEXT, got int"),
            (lambda: InstanceCreateInfo(ext=[LogCreateInfoEXT(2, print), SubSettings(2, print)]), TypeError,
             "InstanceCreateInfo.ext[1] must be LogCreateInfoEXT, got SubSettings"),
            (lambda: InstanceCreateInfo(ext=[log_settings(callback=42)]), TypeError,
             "InstanceCreateInfo.ext[0].callback must be callable, got int"),
            (lambda: InstanceCreateInfo(app(engine_version=version(patch=-1))), ValueError,
             "InstanceCreateInfo.application_info.engine_version.patch must be between 0 and 65535, got -1"),
            (lambda: ModuleSourceInfo(data=b"define"), TypeError, "ModuleSourceInfo.data must be str, got bytes"),
            (lambda: ModuleSourceInfo(filename=123), TypeError, "ModuleSourceInfo.filename must be str or None, got int"),
            (lambda: ModuleSourceInfo(source_type=5), ValueError,
             "ModuleSourceInfo.source_type must be a ModuleSourceType value (0), got 5"),
            (lambda: ModuleCompileInfo(ModuleSourceInfo()), TypeError,
             "ModuleCompileInfo.sources must be a list, got ModuleSourceInfo"),
            (lambda: ModuleCompileInfo([types.SimpleNamespace(source_type=0, filename=None, data=None)]), TypeError,
             "ModuleCompileInfo.sources[0].data must be str, got NoneType"),
        ],
    )
    def test_bad_field_is_named(self, build, error, message):
        with pytest.raises(error) as e:
            build()
        assert str(e.value) == message

    def test_what_the_runtime_takes_is_accepted(self):
        records = []
        settings = LogCreateInfoEXT(4, records.append)
        info_ = InstanceCreateInfo(app(), (LOGGER,), Index(7), MySeq([settings]))
        assert isinstance(s._ke_create_instance(info_), s.Instance)
        source = ModuleSourceInfo(0, None, "")
        assert s._ke_compile_module(s._ke_create_instance(InstanceCreateInfo()), ModuleCompileInfo((source,)))
