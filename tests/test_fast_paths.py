"""Reads that are remembered between calls see every change of what they were read from.

Each test makes a first call (which remembers the read), changes one thing the read depends on, and
checks that the next call gives what the plain Python operation gives now.
"""
import abc
import enum
import importlib
import sys
import types
from datetime import date

import pytest
from quarna_utils.models.data_models.reference import Reference
from quarna_utils.query.data_models.order_by import OrderBy
from quarna_utils.query.enums import OrderDirection

MODULE = "quarna_data.connections.implementations.mixins.sqlite_statements_mixin"
mod = importlib.import_module(MODULE)
M = mod.SqliteStatementsMixin
REF_MODULE = "quarna_utils.models.data_models.reference"
REF_JSON = '{"object_id":"r","object_version":null,"class_name":null}'


class Stand:
    """Takes Reference's place: its instances serialise to a marker."""

    def model_dump_json(self, by_alias):
        return ("stand", by_alias)


def rebind_attr(monkeypatch, ref_mod):
    monkeypatch.setattr(ref_mod, "Reference", Stand)


def replace_module(monkeypatch, ref_mod):
    fake = types.ModuleType(REF_MODULE)
    fake.Reference = Stand
    monkeypatch.setitem(sys.modules, REF_MODULE, fake)


def module_class_with_property(monkeypatch, ref_mod):
    class Odd(types.ModuleType):
        Reference = property(lambda self: Stand)

    monkeypatch.setattr(ref_mod, "__class__", Odd)


def module_getattr(monkeypatch, ref_mod):
    monkeypatch.delattr(ref_mod, "Reference")
    monkeypatch.setattr(ref_mod, "__getattr__", lambda name: Stand, raising=False)


def non_str_key_then_rebind(monkeypatch, ref_mod):
    monkeypatch.setitem(vars(ref_mod), 12345, "not a name")
    monkeypatch.setattr(ref_mod, "Reference", Stand)


def spec_initializing_then_rebind(monkeypatch, ref_mod):
    monkeypatch.setattr(ref_mod.__spec__, "_initializing", True, raising=False)
    monkeypatch.setattr(ref_mod, "Reference", Stand)


@pytest.mark.parametrize(
    "change",
    [rebind_attr, replace_module, module_class_with_property, module_getattr, non_str_key_then_rebind,
     spec_initializing_then_rebind],
)
def test_imported_model_classes_follow_changes(monkeypatch, change):
    ref_mod = sys.modules[REF_MODULE]
    assert M._to_sql_value(Reference(object_id="r")) == REF_JSON
    assert M._to_sql_value(Reference(object_id="r")) == REF_JSON  # now answered from memory
    change(monkeypatch, ref_mod)
    assert M._to_sql_value(Stand()) == ("stand", False)
    assert M._to_sql_value(Stand()) == ("stand", False)
    monkeypatch.undo()
    assert M._to_sql_value(Reference(object_id="r")) == REF_JSON
    assert M._to_sql_value(Stand()).__class__ is Stand


def test_import_errors_return_after_a_remembered_import(monkeypatch):
    assert M._to_sql_value("x") == "x"
    monkeypatch.setitem(sys.modules, REF_MODULE, None)
    with pytest.raises(ImportError):
        M._to_sql_value("x")
    monkeypatch.undo()
    ref_mod = sys.modules[REF_MODULE]
    monkeypatch.delattr(ref_mod, "Reference")
    with pytest.raises(ImportError, match="cannot import name 'Reference'"):
        M._to_sql_value("x")
    monkeypatch.undo()
    assert M._to_sql_value("x") == "x"


def test_module_names_follow_changes(monkeypatch):
    class Marker:
        value = "unwrapped"

    # (names are rebound, never deleted: the module's names keep their order)
    assert M._to_sql_value({"a": 1}) == '{"a": 1}'
    monkeypatch.setattr(mod, "json", types.SimpleNamespace(dumps=repr))
    assert M._to_sql_value({"a": 1}) == "{'a': 1}"
    monkeypatch.undo()
    assert M._to_sql_value({"a": 1}) == '{"a": 1}'
    assert M._to_sql_value(Marker()).__class__ is Marker
    monkeypatch.setitem(vars(mod), 12345, "not a name")
    monkeypatch.setattr(mod, "Enum", Marker)
    assert M._to_sql_value(Marker()) == "unwrapped"
    monkeypatch.undo()
    assert M._to_sql_value(Marker()).__class__ is Marker


class Shape(enum.Enum):
    ROUND = "round"


class Pretender:
    """Claims to be a Shape through __class__, which isinstance honours."""

    value = "pretended"

    @property
    def __class__(self):
        return Shape


@pytest.mark.parametrize("value, expected", [("x", "x"), (5, 5), (None, None), (b"b", b"b"), (True, True),
                                             (Shape.ROUND, "round"), (Pretender(), "pretended")])
def test_enum_instances_as_isinstance_sees_them(value, expected):
    assert M._to_sql_value(value) == expected
    assert M._to_sql_value(value) == expected


def test_a_metaclass_instancecheck_added_later_is_used(monkeypatch):
    class Meta(enum.EnumMeta):
        pass

    class Base(enum.Enum, metaclass=Meta):
        pass

    monkeypatch.setattr(mod, "Enum", Base)
    assert M._to_sql_value("x") == "x"
    monkeypatch.setattr(Meta, "__instancecheck__", lambda cls, inst: inst == "x", raising=False)
    with pytest.raises(AttributeError, match="'str' object has no attribute 'value'"):
        M._to_sql_value("x")
    assert M._to_sql_value("y") == "y"
    monkeypatch.delattr(Meta, "__instancecheck__")
    assert M._to_sql_value("x") == "x"


def test_a_virtual_subclass_registered_later_is_seen(monkeypatch):
    class Day(abc.ABC):
        pass

    class Host(M):
        @classmethod
        def _convert_date_to_sql_value(cls, value):
            return ("day", value)

    monkeypatch.setattr(mod, "date", Day)
    assert Host._to_sql_value("x") == "x"
    assert Host._to_sql_value(7) == 7
    Day.register(str)
    assert Host._to_sql_value("x") == ("day", "x")
    assert Host._to_sql_value(7) == 7
    monkeypatch.undo()
    assert Host._to_sql_value(date(1970, 1, 2)) == ("day", date(1970, 1, 2))


class Claims:
    """A metaclass-free stand-in for Enum whose instances str claims through subclassing."""


class Text(str):
    value = "claimed"


@pytest.mark.parametrize("name, cls, value, expected", [
    ("Enum", str, "x", AttributeError),        # str itself: 'x'.value
    ("Enum", int, True, AttributeError),       # bool is an int
    ("Enum", object, None, AttributeError),
    ("date", int, 3, ("day", 3)),
    ("datetime", bytes, b"b", ("day", b"b")),
])
def test_plain_values_follow_a_class_that_claims_them(monkeypatch, name, cls, value, expected):
    class Host(M):
        @classmethod
        def _convert_date_to_sql_value(cls, value):
            return ("day", value)

    for v in ("x", 1, 1.5, True, None, b"b"):  # learned: plain values pass through
        assert Host._to_sql_value(v) is v
    monkeypatch.setattr(mod, name, cls)
    for _ in range(2):
        if expected is AttributeError:
            with pytest.raises(AttributeError, match="has no attribute 'value'"):
                Host._to_sql_value(value)
        else:
            assert Host._to_sql_value(value) == expected
    monkeypatch.undo()
    assert Host._to_sql_value(value) is value


def test_plain_values_follow_a_replaced_model_class(monkeypatch):
    assert M._to_sql_value("x") == "x"
    fake = types.ModuleType(REF_MODULE)
    fake.Reference = str
    monkeypatch.setitem(sys.modules, REF_MODULE, fake)
    with pytest.raises(AttributeError, match="model_dump_json"):
        M._to_sql_value("x")
    monkeypatch.undo()
    assert M._to_sql_value("x") == "x"


def _outcomes(convert):
    """convert('x') with the recursion limit set just above the current depth, then higher."""
    out = []
    old = sys.getrecursionlimit()
    low = 1
    while True:  # the lowest limit the interpreter accepts here
        try:
            sys.setrecursionlimit(low)
            break
        except RecursionError:
            low += 1
    try:
        for limit in range(low, low + 12):
            sys.setrecursionlimit(limit)
            try:
                out.append(convert("x"))
            except RecursionError:
                out.append("RecursionError")
    finally:
        sys.setrecursionlimit(old)
    return out


def test_plain_values_near_the_recursion_limit_fail_as_a_full_conversion_does():
    def convert(v, afresh):
        if afresh:  # a change of sys.modules makes the conversion import and test everything again
            sys.modules["_quarna_probe"] = None
            del sys.modules["_quarna_probe"]
        return M._to_sql_value(v)

    M._to_sql_value("x")
    remembered = _outcomes(lambda v: convert(v, False))
    full = _outcomes(lambda v: convert(v, True))
    assert remembered == full
    assert "RecursionError" in full and "x" in full


def _set_order(keys):
    """The keys in the order of a set filled one by one, as the bulk insert fills its columns."""
    columns = set()
    for k in keys:
        columns.add(k)
    return list(columns)



class RebindingRow(dict):
    """row.get(trigger) rebinds the module's Enum to str, so that plain values are claimed."""

    trigger = None

    def get(self, key, default=None):
        if key == self.trigger:
            mod.Enum = str
        return super().get(key, default)


HIGH_HASH = (1 << 61) - 2  # a slot near the end of any small set table


class RebindingKey:
    """Its second hash (the row lookup; the first is the column set's) rebinds Enum to str."""

    def __init__(self):
        self.hashes = 0

    def __hash__(self):
        self.hashes += 1
        if self.hashes == 2:
            mod.Enum = str
        return 1

    def __format__(self, spec):
        return "k"


@pytest.mark.parametrize("kind", ["dict subclass", "key with Python hash"])
def test_bulk_insert_values_follow_code_run_by_reading_a_row(monkeypatch, kind):
    monkeypatch.setattr(mod, "Enum", mod.Enum)  # restored afterwards
    keys = [f"c{i}" for i in range(12)]
    if kind == "dict subclass":
        row = RebindingRow({k: "v" for k in keys})
        RebindingRow.trigger = _set_order(keys)[-1]
    else:
        key = RebindingKey()
        row = {k: "v" for k in keys + [key]}

        class SameHash:
            def __hash__(self):
                return HIGH_HASH

        stand_in = SameHash()
        assert _set_order(keys + [stand_in])[0] is not stand_in  # a plain value is converted before the key is read
        key.hashes = 0
    assert M._to_sql_value("x") == "x"  # plain values pass through from the first one on
    with pytest.raises(AttributeError, match="'str' object has no attribute 'value'"):
        M()._build_bulk_insert_statement("t", [row])


class CollidingKey:
    """Shares a column's hash; its second comparison (the first is the column set's) rebinds Enum."""

    def __init__(self, column):
        self.column = column
        self.compared = None  # counted once armed

    def __hash__(self):
        return hash(self.column)

    def __eq__(self, other):
        if self.compared is not None:
            self.compared += 1
            if self.compared == 2:
                mod.Enum = str
        return False

    def __format__(self, spec):
        return "colliding"


def test_bulk_insert_values_follow_code_run_by_a_key_comparison(monkeypatch):
    monkeypatch.setattr(mod, "Enum", mod.Enum)  # restored afterwards
    keys = [f"c{i}" for i in range(12)]
    for target in keys:
        key = CollidingKey(target)
        # The colliding key comes first, so looking the target column up compares with it.
        row = {key: "v", **{k: "v" for k in keys}}
        if _set_order(row)[0] is not target:  # a plain value is converted before the target is read
            break
    key.compared = 0
    assert M._to_sql_value("x") == "x"
    with pytest.raises(AttributeError, match="'str' object has no attribute 'value'"):
        M()._build_bulk_insert_statement("t", [row])
    assert key.compared >= 2


# --------------------------------------------------------------------------- class attributes


class Recorder(M):
    def _fields_map(self, table_name, field_name, class_version):
        return f"{field_name}_{class_version}"


def deleted_column(obj):
    sql, _ = obj._build_delete_statement("t", {"a": 1})
    return sql.split("`")[1]


class PlainMeta(type):
    pass


def class_attr_changed(monkeypatch, cls):
    monkeypatch.setattr(cls, "LATEST", "second")


def base_attr_changed(monkeypatch, cls):
    monkeypatch.setattr(cls.__mro__[1], "LATEST", "second")
    monkeypatch.delattr(cls, "LATEST")


def metaclass_data_descriptor(monkeypatch, cls):
    monkeypatch.setattr(type(cls), "LATEST", property(lambda c: "second"), raising=False)


def value_type_gains_get(monkeypatch, cls):
    monkeypatch.setattr(type(cls.LATEST), "__get__", lambda self, obj, owner: "second", raising=False)


def metaclass_getattribute(monkeypatch, cls):
    def getattribute(c, name):
        return "second" if name == "LATEST" else type.__getattribute__(c, name)

    monkeypatch.setattr(type(cls), "__getattribute__", getattribute, raising=False)


class Mark:
    def __init__(self, text):
        self.text = text

    def __format__(self, spec):
        return self.text


def make_versions():
    class Root(metaclass=PlainMeta):
        LATEST = Mark("root")

    class Versions(Root):
        LATEST = Mark("first")

    return Versions


@pytest.mark.parametrize(
    "change",
    [class_attr_changed, base_attr_changed, metaclass_data_descriptor, value_type_gains_get,
     metaclass_getattribute],
)
def test_versions_latest_follows_changes(monkeypatch, change):
    versions = make_versions()
    monkeypatch.setattr(mod, "Versions", versions)
    obj = Recorder()
    assert deleted_column(obj) == "a_first"
    assert deleted_column(obj) == "a_first"
    change(monkeypatch, versions)
    assert deleted_column(obj) == "a_second"
    monkeypatch.undo()
    assert deleted_column(obj) == "a_latest"


def test_versions_latest_from_a_metaclass_getattr(monkeypatch):
    answers = {"LATEST": "first"}

    class Meta(type):
        def __getattr__(cls, name):
            if name in answers:
                return answers[name]
            raise AttributeError(name)

    monkeypatch.setattr(mod, "Versions", Meta("Versions", (), {}))
    obj = Recorder()
    assert deleted_column(obj) == "a_first"
    answers["LATEST"] = "second"
    assert deleted_column(obj) == "a_second"
    del answers["LATEST"]
    with pytest.raises(AttributeError, match="LATEST"):
        deleted_column(obj)
    monkeypatch.undo()
    assert deleted_column(obj) == "a_latest"


def test_another_class_in_the_same_place_is_read_afresh(monkeypatch):
    obj = Recorder()
    for text in ("one", "two", "three"):
        versions = make_versions()
        versions.LATEST = Mark(text)
        monkeypatch.setattr(mod, "Versions", versions)
        assert deleted_column(obj) == f"a_{text}"
        del versions


def test_order_direction_follows_the_module_enumeration(monkeypatch):
    obj = Recorder()
    asc = [OrderBy(field_name="a", direction=OrderDirection.ASC)]
    assert obj._build_order_by_statement("t", asc).endswith(" ASC")

    class Directions(enum.Enum):
        ASC = "descending now"

    monkeypatch.setattr(mod, "OrderDirection", Directions)
    assert obj._build_order_by_statement("t", asc).endswith(" DESC")
    monkeypatch.undo()
    assert obj._build_order_by_statement("t", asc).endswith(" ASC")


# --------------------------------------------------------------------------- instance attributes


class Item:
    def __init__(self, field_name, direction=OrderDirection.ASC):
        self.field_name = field_name
        self.direction = direction


class HookItem(Item):
    def __getattr__(self, name):
        if name == "field_name":
            return "from_getattr"
        raise AttributeError(name)


def order_text(items):
    return Recorder()._build_order_by_statement("t", items)


def class_property(monkeypatch, cls, item):
    monkeypatch.setattr(cls, "field_name", property(lambda self: "from_property"), raising=False)
    return "from_property"


def class_plain_attribute_then_removed_from_instance(monkeypatch, cls, item):
    monkeypatch.setattr(cls, "field_name", "from_class", raising=False)
    monkeypatch.delattr(item, "field_name")
    return "from_class"


def class_getattribute(monkeypatch, cls, item):
    def getattribute(self, name):
        return "from_getattribute" if name == "field_name" else object.__getattribute__(self, name)

    monkeypatch.setattr(cls, "__getattribute__", getattribute, raising=False)
    return "from_getattribute"


def instance_dict_replaced(monkeypatch, cls, item):
    monkeypatch.setattr(item, "__dict__", {"field_name": "from_new_dict", "direction": OrderDirection.ASC})
    return "from_new_dict"


def instance_non_str_key(monkeypatch, cls, item):
    item.__dict__[7] = "seven"
    item.field_name = "after_key"
    return "after_key"


def class_changed_to_hook(monkeypatch, cls, item):
    monkeypatch.delattr(item, "field_name")
    monkeypatch.setattr(item, "__class__", HookItem)
    return "from_getattr"


@pytest.mark.parametrize("cls", [Item, HookItem])
@pytest.mark.parametrize(
    "change",
    [class_property, class_plain_attribute_then_removed_from_instance, class_getattribute, instance_dict_replaced,
     instance_non_str_key, class_changed_to_hook],
)
def test_instance_attributes_follow_changes(monkeypatch, cls, change):
    cls = type(cls.__name__, (cls,), {})  # a class of the test's own, changed freely
    item = cls("a_latest")
    assert order_text([item]) == " ORDER BY a_latest_latest ASC"
    assert order_text([item]) == " ORDER BY a_latest_latest ASC"
    expected = change(monkeypatch, cls, item)
    assert order_text([item]) == f" ORDER BY {expected}_latest ASC"
    monkeypatch.undo()


def test_a_missing_field_reaches_getattr_or_fails_as_getattr_does():
    item = HookItem("x")
    assert order_text([item]) == " ORDER BY x_latest ASC"
    del item.field_name
    assert order_text([item]) == " ORDER BY from_getattr_latest ASC"
    plain = Item("x")
    assert order_text([plain]) == " ORDER BY x_latest ASC"
    del plain.field_name
    with pytest.raises(AttributeError, match="'Item' object has no attribute 'field_name'"):
        order_text([plain])


def test_a_replaced_builtin_import_is_used_as_the_import_statement_uses_it(monkeypatch):
    import builtins

    from quarna_data.connections.implementations.mixins.sqlite_statements_mixin import SqliteStatementsMixin

    assert SqliteStatementsMixin._to_sql_value("x") == "x"  # warm the remembered imports
    original = builtins.__import__
    seen = []

    def tracing_import(name, globals=None, locals=None, fromlist=(), level=0):
        seen.append((name, tuple(fromlist or ())))
        return original(name, globals, locals, fromlist, level)

    monkeypatch.setattr(builtins, "__import__", tracing_import)
    assert SqliteStatementsMixin._to_sql_value(5) == 5
    assert seen == [("quarna_utils.models.base", ("ModelBase",)),
                    ("quarna_utils.models.data_models.reference", ("Reference",))]

    def refusing_import(name, *args, **kwargs):
        if name.startswith("quarna_utils.models"):
            raise ImportError(f"blocked {name}")
        return original(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", refusing_import)
    with pytest.raises(ImportError, match="blocked quarna_utils.models.base"):
        SqliteStatementsMixin._to_sql_value(5)
    monkeypatch.setattr(builtins, "__import__", original)
    assert SqliteStatementsMixin._to_sql_value(5) == 5


# --------------------------------------------------------------------------- methods of model instances

from quarna_utils.query.data_models.filter import Filter  # noqa: E402
from quarna_utils.query.enums import Lookup  # noqa: E402


def _statement(op):
    class Own(M):
        SQL_OPERATOR_MAP = {Lookup.EQ: op}

        def _describe_table(self, table_name):
            return {}

    return Own()._get_filter_statement("p", Filter(field_name="name", value="x"))


class SubTemplate(mod.SqlOperatorTemplate):
    def build_statement(self, *args):
        return "sub = ?"


class OwnGetattribute(mod.SqlOperatorTemplate):
    def __getattribute__(self, name):
        if name == "build_value":
            return lambda value, column_type: "from getattribute"
        return super().__getattribute__(name)


def subclass_override(monkeypatch):
    return SubTemplate(template="{field_name} = ?"), ("sub = ?", "x")


def own_getattribute(monkeypatch):
    return OwnGetattribute(template="{field_name} = ?"), ("name = ?", "from getattribute")


def shadowed_in_instance_dict(monkeypatch):
    op = mod.SqlOperatorTemplate(template="{field_name} = ?")
    op.__dict__["build_statement"] = lambda *args: "own = ?"
    return op, ("own = ?", "x")


def method_replaced_on_the_class(monkeypatch):
    op = mod.SqlOperatorTemplate(template="{field_name} = ?")
    _statement(op)  # remembered for the class
    monkeypatch.setattr(mod.SqlOperatorTemplate, "build_value", lambda self, v, ct: "replaced", raising=True)
    return op, ("name = ?", "replaced")


def shadowed_after_being_remembered(monkeypatch):
    op = mod.SqlOperatorTemplate(template="{field_name} = ?")
    _statement(op)  # remembered for the object
    op.__dict__["build_value"] = lambda value, column_type: "late"
    return op, ("name = ?", "late")


@pytest.mark.parametrize("make", [subclass_override, own_getattribute, shadowed_in_instance_dict,
                                  method_replaced_on_the_class, shadowed_after_being_remembered])
def test_template_methods_are_looked_up_as_python_does(monkeypatch, make):
    assert _statement(mod.SqlOperatorTemplate(template="{field_name} = ?")) == ("name = ?", "x")
    op, expected = make(monkeypatch)
    got = _statement(op)
    assert got == expected
    assert _statement(op) == got



# --------------------------------------------------------------------------- hooks of a plain host class

from quarna_utils.query.utils import ConnectorEnum, Q  # noqa: E402


class PlainHost(M):
    def _describe_table(self, table_name):
        return {}


def _two_leaves():
    return Q(Filter(field_name="a", value=1), Filter(field_name="b", value=2))


def _warm(host, expected=None):
    """Builds the count of _two_leaves three times, so that whatever is remembered is remembered
    now; each time it is the expected statement, when one is given."""
    for _ in range(3):
        built = host._build_count_statement("t", _two_leaves())
        if expected is not None:
            assert built == expected


def _shadow_on_instance(host):
    host._fields_map = lambda table, field, version: "i_" + field


def _shadow_in_slot_dict(host):
    host.__dict__["_fields_map"] = lambda table, field, version: "i_" + field


def _replace_on_class(host):
    type(host)._fields_map = lambda self, table, field, version: "c_" + field


def _shadow_during_the_call(host):
    # The first leaf's mapping puts a hook on the instance: the second leaf's lookup finds it.
    def first(self, table, field, version):
        self._get_filter_statement = lambda *args, **kwargs: ("own = ?", 0)
        return field

    type(host)._fields_map = first


@pytest.mark.parametrize("change, expected", [
    (_shadow_on_instance, ("SELECT COUNT(*) FROM 't' WHERE i_a = ? AND i_b = ?", [1, 2])),
    (_shadow_in_slot_dict, ("SELECT COUNT(*) FROM 't' WHERE i_a = ? AND i_b = ?", [1, 2])),
    (_replace_on_class, ("SELECT COUNT(*) FROM 't' WHERE c_a = ? AND c_b = ?", [1, 2])),
    (_shadow_during_the_call, ("SELECT COUNT(*) FROM 't' WHERE a = ? AND own = ?", [1, 0])),
], ids=["instance attribute", "instance dict", "class attribute", "set during the call"])
def test_hooks_of_a_plain_class_are_looked_up_as_python_does(change, expected):
    host = type("Host", (PlainHost,), {})()
    _warm(host, ("SELECT COUNT(*) FROM 't' WHERE a = ? AND b = ?", [1, 2]))
    change(host)
    assert host._build_count_statement("t", _two_leaves()) == expected


def _store_mapping(obj, value):
    obj._fields_map = value


def _shadow_by_a_specialised_store(host):
    # The same store site, warmed on other instances first, as a loop in a caller would be.
    for _ in range(64):
        _store_mapping(type(host)(), None)
    _store_mapping(host, lambda table, field, version: "i_" + field)


def _shadow_through_a_held_dict(host):
    host.held["_fields_map"] = lambda table, field, version: "i_" + field


def _shadow_then_removed(host):
    host._fields_map = lambda table, field, version: "i_" + field
    assert host._build_count_statement("t", _two_leaves())[0].endswith("i_b = ?")
    del host._fields_map


class AttributedHost(PlainHost):
    # Instance attributes from the start: kept inline on 3.13.
    def __init__(self, hold_dict=False):
        self.name = "host"
        self.opened = True
        self.held = self.__dict__ if hold_dict else None


@pytest.mark.parametrize("hold_dict", [False, True], ids=["dict unshared", "dict held elsewhere"])
@pytest.mark.parametrize("change, expected", [
    (_shadow_on_instance, ("SELECT COUNT(*) FROM 't' WHERE i_a = ? AND i_b = ?", [1, 2])),
    (_shadow_by_a_specialised_store, ("SELECT COUNT(*) FROM 't' WHERE i_a = ? AND i_b = ?", [1, 2])),
    (_shadow_then_removed, ("SELECT COUNT(*) FROM 't' WHERE a = ? AND b = ?", [1, 2])),
    (_replace_on_class, ("SELECT COUNT(*) FROM 't' WHERE c_a = ? AND c_b = ?", [1, 2])),
], ids=["instance attribute", "specialised store", "set then deleted", "class attribute"])
def test_hooks_of_a_host_with_instance_attributes_are_looked_up_as_python_does(hold_dict, change, expected):
    host = type("Host", (AttributedHost,), {})(hold_dict)
    _warm(host, ("SELECT COUNT(*) FROM 't' WHERE a = ? AND b = ?", [1, 2]))
    attributes = dict(vars(host))
    change(host)
    assert host._build_count_statement("t", _two_leaves()) == expected
    # The attributes the host had are all still there, in their order.
    assert [k for k in vars(host) if k in attributes] == list(attributes)
    assert host.name == "host" and host.opened is True


def test_a_held_instance_dict_sees_the_hook_set_through_it():
    host = type("Host", (AttributedHost,), {})(True)
    _warm(host)
    _shadow_through_a_held_dict(host)
    assert host._build_count_statement("t", _two_leaves())[0].endswith("i_a = ? AND i_b = ?")


def _conversion_on_instance(host):
    host._to_sql_value = lambda value: value * 10


def _conversion_replaced_on_class(host):
    type(host)._to_sql_value = classmethod(lambda cls, value: value * 10)


def _conversion_as_static_method(host):
    type(host)._to_sql_value = staticmethod(lambda value: value * 10)


def _conversion_bound_elsewhere(host):
    # The module's own conversion, bound to another class: it converts as the default does.
    host._to_sql_value = PlainHost._to_sql_value


def _conversion_set_during_the_call(host):
    # The first leaf's mapping puts a conversion on the instance: the second leaf's lookup finds it.
    def first(self, table, field, version):
        self._to_sql_value = lambda value: value * 10
        return field

    type(host)._fields_map = first


@pytest.mark.parametrize("change, expected", [
    (_conversion_on_instance, [10, 20]),
    (_conversion_replaced_on_class, [10, 20]),
    (_conversion_as_static_method, [10, 20]),
    (_conversion_bound_elsewhere, [1, 2]),
    (_conversion_set_during_the_call, [1, 20]),
], ids=["instance attribute", "class method replaced", "static method", "bound to another class",
        "set during the call"])
def test_the_value_conversion_is_looked_up_as_python_does(change, expected):
    host = type("Host", (PlainHost,), {})()
    for _ in range(3):  # whatever is remembered is remembered now
        assert host._build_count_statement("t", _two_leaves())[1] == [1, 2]
    change(host)
    assert host._build_count_statement("t", _two_leaves()) == (
        "SELECT COUNT(*) FROM 't' WHERE a = ? AND b = ?", expected)


def _nested_tree():
    return Q(Filter(field_name="a", value=1), Q(Filter(field_name="b", value=2), Filter(field_name="c", value=3),
                                                _connector=ConnectorEnum.OR))


def _tree_hook_on_class(host, calls):
    def tree(self, table_name, conditions, **flags):
        calls.append(flags)
        return ["X", [9]]  # any pair of two items is taken apart

    type(host)._get_conditions_statement = tree


def _tree_hook_set_during_the_call(host, calls):
    # The first leaf's mapping wraps the tree hook on the instance: the sub-tree is built through it.
    def first(self, table, field, version):
        def tree(table_name, conditions, **flags):
            calls.append(flags)
            return M._get_conditions_statement(self, table_name, conditions, **flags)

        if field == "a":
            self._get_conditions_statement = tree
        return field

    type(host)._fields_map = first


@pytest.mark.parametrize("change, expected, flags", [
    (_tree_hook_on_class, ("SELECT COUNT(*) FROM 't' WHERE X", [9]),
     [dict(is_internal_table=False, use_internal_meta_tables=False)]),
    (_tree_hook_set_during_the_call, ("SELECT COUNT(*) FROM 't' WHERE a = ? AND (b = ? OR c = ?)", [1, 2, 3]),
     [dict(is_internal_table=False, use_internal_meta_tables=False, is_grouped=True)]),
], ids=["class attribute", "set during the call"])
def test_the_tree_hook_is_looked_up_as_python_does(change, expected, flags):
    host = type("Host", (PlainHost,), {})()
    for _ in range(3):  # whatever is remembered is remembered now
        assert host._build_count_statement("t", _nested_tree()) == (
            "SELECT COUNT(*) FROM 't' WHERE a = ? AND (b = ? OR c = ?)", [1, 2, 3])
    calls = []
    change(host, calls)
    assert host._build_count_statement("t", _nested_tree()) == expected
    assert calls == flags


def test_the_mapping_hook_tests_its_arguments_after_remembered_calls():
    host = type("Host", (PlainHost,), {})()
    _warm(host)
    leaf = Filter.model_construct(field_name=5, lookup=Lookup.EQ, value=1)
    with pytest.raises(TypeError, match=r"^Argument 'field_name' has incorrect type \(expected str, got int\)$"):
        host._build_count_statement("t", Q(leaf))


@pytest.mark.parametrize("hook, override, expected", [
    ("_resolve_nested_field_name", lambda self, *args, **kwargs: "R",
     "SELECT * FROM 't' WHERE R = ? ORDER BY age ASC"),
    ("_nested_filter_statement", lambda self, *args, **kwargs: ("N = ?", 7),
     "SELECT * FROM 't' WHERE N = ? ORDER BY age ASC"),
    ("_build_order_by_statement", lambda self, *args, **kwargs: " ORDER BY O",
     "SELECT * FROM 't' WHERE cast(json_extract(data, '$.x') as integer) = ? ORDER BY O"),
], ids=["resolver", "nested filter", "ordering"])
def test_hooks_given_every_argument_follow_a_replaced_class_attribute(hook, override, expected):
    host = type("Host", (PlainHost,), {})()
    order = [OrderBy(field_name="age", direction=OrderDirection.ASC)]
    tree = Q(Filter(field_name="data__x", value=1))
    for _ in range(3):  # whatever is remembered is remembered now
        assert host._build_select_statement("t", None, tree, None, order)[0] == (
            "SELECT * FROM 't' WHERE cast(json_extract(data, '$.x') as integer) = ? ORDER BY age ASC")
    setattr(type(host), hook, override)
    assert host._build_select_statement("t", None, tree, None, order)[0] == expected


def test_the_metadata_select_follows_a_replaced_class_attribute():
    host = type("Host", (PlainHost,), {})()
    for _ in range(3):  # whatever is remembered is remembered now
        assert host._build_select_statement("t", None, use_internal_meta_tables=True)[0].startswith("SELECT t1.*")
    type(host)._select_with_internal_meta_statement = lambda self, *args, **kwargs: ("S", [kwargs["select_only"]])
    assert host._build_select_statement("t", None, use_internal_meta_tables=True) == (
        "S", ["t1.*, " + mod.METADATA_SELECT_FIELD])


# --------------------------------------------------------------------------- the library's own one-liners

import quarna_utils.query.data_models.filter as filter_module  # noqa: E402
import quarna_utils.query.utils as q_module  # noqa: E402

PLAIN = ("SELECT COUNT(*) FROM 't' WHERE data__x = ?", [1])
NESTED = ("SELECT COUNT(*) FROM 't' WHERE cast(json_extract(data, '$.x') as integer) = ?", [1])
EMPTY = ("SELECT COUNT(*) FROM 't'", [])


class NeverNested(Filter):
    @property
    def is_nested_selection(self):
        return False


def _count(host, tree=None):
    return host._build_count_statement("t", tree or Q(Filter(field_name="data__x", value=1)))


def _separator_rebound(monkeypatch):
    monkeypatch.setattr(filter_module, "NESTED_SEPARATOR", "@@")


def _separator_removed(monkeypatch):
    monkeypatch.delattr(filter_module, "NESTED_SEPARATOR")
    monkeypatch.setattr(builtins_module, "NESTED_SEPARATOR", "@@", raising=False)


def _property_replaced(monkeypatch):
    monkeypatch.setattr(Filter, "is_nested_selection", property(lambda self: False))


def _getter_code_replaced(monkeypatch):
    monkeypatch.setattr(Filter.is_nested_selection.fget, "__code__", (lambda self: False).__code__)


def _subclass_filter(monkeypatch):
    return Q(NeverNested(field_name="data__x", value=1))


def _bool_replaced(monkeypatch):
    monkeypatch.setattr(Q, "__bool__", lambda self: False)
    return None


def _bool_shadowed(monkeypatch):
    monkeypatch.setattr(q_module, "bool", lambda children: False, raising=False)
    return None


import builtins as builtins_module  # noqa: E402


@pytest.mark.parametrize("change, expected", [
    (_separator_rebound, PLAIN),
    (_separator_removed, PLAIN),
    (_property_replaced, PLAIN),
    (_getter_code_replaced, PLAIN),
    (_subclass_filter, PLAIN),
    (_bool_replaced, EMPTY),
    (_bool_shadowed, EMPTY),
], ids=["separator rebound", "separator from builtins", "property replaced", "getter code replaced",
        "subclass property", "__bool__ replaced", "bool shadowed in the module"])
def test_the_query_librarys_one_liners_are_read_as_python_reads_them(monkeypatch, change, expected):
    host = PlainHost()
    for _ in range(3):  # whatever is remembered is remembered now
        assert _count(host) == NESTED
    tree = change(monkeypatch)
    assert _count(host, tree) == expected


def test_a_tracer_sees_the_library_one_liners_called():
    host = PlainHost()
    _count(host)
    seen = []

    def tracer(frame, event, arg):
        if event == "call":
            seen.append(frame.f_code.co_name)
        return None

    sys.settrace(tracer)
    try:
        assert _count(host) == NESTED
    finally:
        sys.settrace(None)
    assert "is_nested_selection" in seen and "__bool__" in seen


def _separator_on_instance(host):
    host.COLUMN_SEPARATOR = '"'


def _separator_on_class(host):
    type(host).COLUMN_SEPARATOR = '"'


def _operators_on_instance(host):
    host.SQL_OPERATOR_MAP = {}


def _table_separator_in_dict(host):
    host.__dict__["TABLE_SEPARATOR"] = "`"


def _build_with_meta(host):
    try:
        return host._build_count_statement("t", Q(Filter(field_name="a", value=1)), use_internal_meta_tables=True)
    except ValueError as e:
        return repr(e)


@pytest.mark.parametrize("change", [_separator_on_instance, _separator_on_class, _operators_on_instance,
                                    _table_separator_in_dict])
def test_class_attributes_read_through_self_follow_changes(change):
    host = type("Host", (PlainHost,), {})()
    for _ in range(3):  # whatever is remembered is remembered now
        before = _build_with_meta(host)
    change(host)
    fresh = type("Host", (PlainHost,), {})()
    change(fresh)
    after = _build_with_meta(host)
    assert after != before
    assert after == _build_with_meta(fresh)


def test_the_description_method_follows_changes():
    host = type("Host", (PlainHost,), {})()
    tree = Q(Filter(field_name="a", value=1))
    for _ in range(3):  # whatever is remembered is remembered now
        host._build_count_statement("t", tree)
    seen = []
    host._describe_table = lambda table_name: seen.append("instance") or {}
    host._build_count_statement("t", tree)
    type(host)._describe_table = lambda self, table_name: seen.append("class") or {}
    del host._describe_table
    host._build_count_statement("t", tree)
    assert seen == ["instance", "instance", "class", "class"]
