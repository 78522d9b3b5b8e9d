import json
import sqlite3

import pytest
from quarna_utils.models.enums import Versions
from quarna_utils.query.enums import Lookup

from quarna_data.connections.implementations.mixins import sqlite_statements_mixin as mod

Mixin = mod.SqliteStatementsMixin
PK, SK = "partition_key", "range_key"
OPS = mod.sql_operator_map


class Host(Mixin):
    def __init__(self, conn=None):
        self.conn = conn or sqlite3.connect(":memory:")
        self.calls = []

    def execute(self, sql, params=()):
        return self.conn.execute(sql, params)

    def _fields_map(self, table_name, field_name, class_version):
        self.calls.append(("map", field_name))
        return super()._fields_map(table_name, field_name, class_version)

    def _resolve_nested_field_name(self, *args, **kwargs):
        self.calls.append(("resolve", args[1:], kwargs))
        return super()._resolve_nested_field_name(*args, **kwargs)


def cases(field, nested, internal, meta, types, expected):
    for i in (False, True) if internal == "either" else (internal,):
        for m in (False, True) if meta == "either" else (meta,):
            for t in types:
                yield pytest.param(field, nested, i, m, t, expected, id=f"{field}-{nested}-{i}-{m}-{t.__name__}")


ANY = (str, int)
RESOLVER_TABLE = [
    *cases("_address", "object_id", False, True, ANY, f"t1.'{PK}'"),
    *cases("_address", "object_id", False, False, ANY, PK),
    *cases("_address", "object_version", False, True, ANY, f"t1.'{SK}'"),
    *cases("_address", "object_version", False, False, ANY, ""),
    *cases("_address", "class_version", False, False, ANY, ""),
    *cases("_address", "class_version", False, True, (str,), "cast(json_extract(_address, '$.class_version') as text)"),
    *cases("_address", "object_id", True, "either", (str,), "cast(json_extract(_address, '$.object_id') as text)"),
    *cases("_metadata", "next_version", False, True, ANY, "t2.'next_version'"),
    *cases("_metadata", "prior_version__x", False, True, (int,), "cast(json_extract(t2.'prior_version', '$.x') as integer)"),
    *cases("_metadata", "next_version", False, False, (str,), "cast(json_extract(_metadata, '$.next_version') as text)"),
    # a quote in a metadata key is doubled: the key cannot end the quoted column name
    *cases("_metadata", "x' OR '1", False, True, ANY, "t2.'x'' OR ''1'"),
    *cases("_metadata", "it's__a", False, True, (str,), "cast(json_extract(t2.'it''s', '$.a') as text)"),
    *cases("data", "a__b", "either", "either", (float,), "cast(json_extract(data, '$.a.b') as real)"),
    *cases("data", "a", "either", "either", (bool,), "cast(json_extract(data, '$.a') as integer)"),
    *cases("t2._address", "object_id", "either", "either", ANY, "t2.object_id"),
    *cases("t2._address", "object_version", "either", "either", ANY, "t2.object_version"),
    *cases("t2._address", "other", "either", "either", (str,), "cast(json_extract(t2._address, '$.other') as text)"),
]


@pytest.mark.parametrize("field, nested, internal, meta, value_type, expected", RESOLVER_TABLE)
def test_resolver_table(field, nested, internal, meta, value_type, expected):
    m = Host()
    got = m._resolve_nested_field_name(
        "person", field, nested, value_type=value_type, is_internal_table=internal, use_internal_meta_tables=meta
    )
    assert got == expected
    assert m.calls[-1] == ("map", field)


class F(float):
    pass


class I(int):
    pass


@pytest.mark.parametrize(
    "nested, kwargs, expected",
    [
        ("k", {}, "'$.k') as text)"),
        ("k", {"value_type": int}, "'$.k') as integer)"),
        ("k", {"value_type": F}, "'$.k') as text)"),
        ("k", {"value_type": I}, "'$.k') as text)"),
        ("k", {"value_type": None}, "'$.k') as text)"),
        ("k", {"value_type": Versions}, "'$.k') as text)"),
        ("a____b", {}, "'$.a..b') as text)"),
        ("a___b", {}, "'$.a._b') as text)"),
        # quotes of a key are doubled inside the literal, nothing else is touched
        ("it's__x", {}, "'$.it''s.x') as text)"),
        ("a\"b%_\udc80", {}, "'$.a\"b%_\udc80') as text)"),
    ],
)
def test_cast_type_and_json_path(nested, kwargs, expected):
    assert Mixin()._resolve_nested_field_name("t", "data", nested, **kwargs) == f"cast(json_extract(data, {expected}"


def test_constants_and_mapping_are_read_at_each_call(monkeypatch):
    class Mapped(Mixin):
        def _fields_map(self, table_name, field_name, class_version):
            return {"d": None}.get(field_name, field_name)

    monkeypatch.setattr(mod, "MODEL_TABLE_ALIAS", "m")
    monkeypatch.setattr(mod, "PRIMARY_PARTITION_KEY", "pk")
    m = Mapped()
    assert m._resolve_nested_field_name("t", "_address", "object_id", use_internal_meta_tables=True) == "m.'pk'"
    assert m._resolve_nested_field_name("t", "_address", "object_id") == "pk"
    assert m._resolve_nested_field_name("t", "d", "x") == "cast(json_extract(None, '$.x') as text)"
    monkeypatch.setattr(mod, "PRIMARY_PARTITION_KEY", 5)
    with pytest.raises(TypeError, match="^Expected unicode, got int$"):
        m._resolve_nested_field_name("t", "_address", "object_id")


@pytest.mark.parametrize("result", [5, b"x", type("S", (str,), {})("x")])
def test_mapping_result_must_be_exact_str(result):
    class Bad(Mixin):
        def _fields_map(self, *args):
            return result

    with pytest.raises(TypeError, match=f"^Expected unicode, got {type(result).__name__}$"):
        Bad()._resolve_nested_field_name("t", "data", "x")


# -- the nested filter -----------------------------------------------------

LATEST_WITHOUT_META = (
    "(cast(json_extract(_metadata, '$.next_version') as text) IS NULL OR "
    "cast(json_extract(_metadata, '$.next_version') as text) = '')"
)


@pytest.mark.parametrize(
    "meta, expected", [(False, LATEST_WITHOUT_META), (True, "(t2.'next_version' IS NULL OR t2.'next_version' = '')")]
)
@pytest.mark.parametrize("value, value_type", [("latest", Versions), ("latest", str), (Versions.LATEST, Versions)])
def test_latest_version_condition(meta, expected, value, value_type):
    m = Host()
    # no template, resolver or mapping hook is used
    pair = m._nested_filter_statement("p", "_address", "object_version", None, value, value_type, use_internal_meta_tables=meta)
    assert pair == (expected, mod.NoValue) and pair[1] is mod.NoValue and m.calls == []


@pytest.mark.parametrize(
    "field, nested, value, value_type",
    [("data", "a", "all", str), ("_address", "object_version", "all", Versions), ("x", "y", Versions.ALL, str),
     ("_address", "object_version", 5, int), ("_address", "object_version", "x", str)],
)
def test_no_condition(field, nested, value, value_type):
    assert Host()._nested_filter_statement("p", field, nested, OPS[Lookup.EQ], value, value_type) == ("", None)


def test_versions_value_elsewhere_is_compared_as_text():
    m = Host()
    assert m._nested_filter_statement("p", "data", "v", OPS[Lookup.EQ], "latest", Versions) == (
        "cast(json_extract(data, '$.v') as text) = ?", "latest")
    assert m.calls[0] == ("resolve", ("data", "v"),
                          {"value_type": str, "is_internal_table": False, "use_internal_meta_tables": False})


def test_template_receives_expression_and_column_types():
    seen = []
    op = mod.SqlOperatorTemplate(
        template=lambda v, ct: seen.append(("statement", v, ct)) or "{field_name} = ?",
        value_modifier=lambda v, ct: seen.append(("value", v, ct)) or v,
    )
    m = Host()
    m.conn.execute(f"CREATE TABLE p ({PK} TEXT, data json)")
    assert m._nested_filter_statement("p", "data", "a__b", op, 2.5, int, is_internal_table=True) == (
        "cast(json_extract(data, '$.a.b') as real) = ?", 2.5)
    assert m._nested_filter_statement("p", "_address", "object_id", op, "x", str) == (f"{PK} = ?", "x")
    # the expression's own declared type for the text, the field's for the value
    assert seen == [("statement", 2.5, None), ("value", 2.5, "json"), ("statement", "x", "TEXT"), ("value", "x", None)]
    assert [c[1] for c in m.calls if c[0] == "map"] == ["data", "cast(json_extract(data, '$.a.b') as real)", "_address", PK]


@pytest.fixture
def table():
    m = Host()
    m.conn.execute("CREATE TABLE p (id INTEGER, data json, _metadata json)")
    rows = [
        (1, {"it's": "q", "a": {"b": 1}}, {"next_version": None}),
        (2, {"it's": "r", "a": {"b": 2}}, {"next_version": ""}),
        (3, {"a": {"b": 3}}, {"next_version": "v2"}),
    ]
    m.conn.executemany("INSERT INTO p VALUES (?, ?, ?)", [(i, json.dumps(d), json.dumps(md)) for i, d, md in rows])
    return m


def select(m, pair):
    text, value = pair
    params = [] if value is mod.NoValue else value if isinstance(value, list) else [value]
    return [r[0] for r in m.conn.execute(f"SELECT id FROM p WHERE {text} ORDER BY id", params)]


@pytest.mark.parametrize(
    "nested, lookup, value, ids",
    [
        ("it's", Lookup.EQ, "r", [2]),
        ("a__b", Lookup.GT, 1, [2, 3]),
        ("a__b", Lookup.IN, "[1, 3]", [1, 3]),
        ("it's", Lookup.ISNULL, True, [3]),
        # key text that tries to leave the literal stays inside it
        ("x') as text) = 'x' OR 1=1 OR ('", Lookup.EQ, "nothing", []),
    ],
)
def test_nested_filter_on_sqlite(table, nested, lookup, value, ids):
    assert select(table, table._nested_filter_statement("p", "data", nested, OPS[lookup], value, type(value))) == ids


def test_latest_version_condition_on_sqlite(table):
    pair = table._nested_filter_statement("p", "_address", "object_version", OPS[Lookup.EQ], "latest", Versions)
    assert select(table, pair) == [1, 2]
