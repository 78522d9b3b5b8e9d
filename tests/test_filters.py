import datetime
import json
import sqlite3

import pytest
from quarna_utils.models.enums import Versions
from quarna_utils.query.data_models.filter import Filter
from quarna_utils.query.enums import Lookup

from quarna_data.connections.implementations.mixins import sqlite_statements_mixin as mod

Mixin = mod.SqliteStatementsMixin
L = Lookup
BORN = [datetime.date(1990, 5, 1), datetime.date(2001, 1, 2), datetime.date(1985, 7, 9), datetime.date(2010, 3, 4)]
ROWS = [
    dict(id=1, name="Ann", age=30, score=1.5, flag=True, nick=None, born=BORN[0], data={"city": "Oslo", "n": 3, "a": {"b": "x"}}),
    dict(id=2, name="bob", age=17, score=2.0, flag=False, nick="latest", born=BORN[1], data={"city": "Bergen", "n": 10}),
    dict(id=3, name="Cleo", age=45, score=0.5, flag=True, nick="all", born=BORN[2], data={"n": 7, "a": {"b": "y"}}),
    dict(id=4, name="dan_a", age=30, score=9.0, flag=False, nick="Bo", born=BORN[3], data={"city": "oslo"}),
]


class Host(Mixin):
    def __init__(self):
        self.conn = sqlite3.connect(":memory:")
        self.conn.execute(
            "CREATE TABLE person (id INTEGER, name TEXT, age INTEGER, score REAL, flag INTEGER, nick TEXT, born INTEGER, data json)"
        )
        for r in ROWS:
            values = {**r, "born": self._to_sql_value(r["born"]), "data": json.dumps(r["data"])}
            self.conn.execute("INSERT INTO person VALUES (?, ?, ?, ?, ?, ?, ?, ?)", list(values.values()))
        self.calls = []

    def execute(self, sql, params=()):
        return self.conn.execute(sql, params)

    def select(self, pair):
        text, value = pair
        params = [] if value is mod.NoValue else value if isinstance(value, list) else [value]
        sql = f"SELECT t1.id FROM person AS t1 WHERE {text} ORDER BY t1.id"
        return [r[0] for r in self.conn.execute(sql, params)]


@pytest.fixture(scope="module")
def host():
    return Host()


def like(pattern, c):
    """SQLite LIKE for patterns without wildcards in the value: ASCII case-insensitive."""
    if c is None:
        return False
    c, core = str(c).lower(), pattern.strip("%").lower()
    return {"%%": core in c, "-%": c.startswith(core), "%-": c.endswith(core)}[
        ("%" if pattern.startswith("%") else "-") + ("%" if pattern.endswith("%") else "-")
    ]


def expected(lookup, c, v):
    if isinstance(v, (datetime.date, Versions)):
        v = Mixin._to_sql_value(v)
    if lookup is L.ISNULL:
        return (c is None) == bool(v)
    if lookup in (L.EQ, L.NEQ) and isinstance(v, bool):  # IS / IS NOT
        return (c == v) if lookup is L.EQ else (c is None or c != v)
    if c is None:
        return False
    ops = {L.EQ: c == v, L.NEQ: c != v, L.IN: lambda: c in v}
    if lookup in ops:
        r = ops[lookup]
        return r() if callable(r) else r
    if lookup in (L.GT, L.GTE, L.LT, L.LTE):
        return {L.GT: c > v, L.GTE: c >= v, L.LT: c < v, L.LTE: c <= v}[lookup]
    name = lookup.value.lstrip("i")
    return like({"contains": f"%{v}%", "startswith": f"{v}%", "endswith": f"%{v}"}[name], c)


def column(row, path):
    head, *keys = path.split("__")
    c = row[head]
    if head == "born":
        c = Mixin._to_sql_value(c)
    for k in keys:
        c = c.get(k) if isinstance(c, dict) else None
    return c


LOOKUPS = [
    ("name", L.EQ, "Ann"), ("age", L.NEQ, 30), ("age", L.GT, 30), ("age", L.GTE, 30), ("score", L.LT, 2.0),
    ("score", L.LTE, 2.0), ("age", L.IN, [17, 45, 99]), ("name", L.CONTAINS, "o"), ("name", L.ICONTAINS, "LE"),
    ("name", L.STARTSWITH, "b"), ("name", L.ISTARTSWITH, "AN"), ("name", L.ENDSWITH, "a"), ("name", L.IENDSWITH, "O"),
    ("nick", L.ISNULL, True), ("nick", L.ISNULL, False), ("flag", L.EQ, True), ("flag", L.NEQ, True),
    ("nick", L.NEQ, False), ("age", L.IN, []), ("born", L.GTE, BORN[0]), ("nick", L.EQ, Versions.LATEST),
    ("nick", L.EQ, "all"),
    ("data__city", L.EQ, "Oslo"), ("data__n", L.GT, 5), ("data__n", L.LTE, 7), ("data__n", L.NEQ, 10),
    ("data__city", L.IN, ["Bergen", "oslo"]), ("data__city", L.ICONTAINS, "SL"), ("data__city", L.STARTSWITH, "b"),
    ("data__city", L.ENDSWITH, "O"), ("data__city", L.ISNULL, True), ("data__a__b", L.EQ, "y"),
    ("data__a__b", L.ISNULL, False), ("data__n", L.GTE, 7.0),
]


@pytest.mark.parametrize("meta", [False, True])
@pytest.mark.parametrize("field, lookup, value", LOOKUPS)
def test_every_lookup_selects_the_right_rows(host, field, lookup, value, meta):
    pair = host._get_filter_statement("person", Filter(field_name=field, lookup=lookup, value=value),
                                      use_internal_meta_tables=meta)
    assert type(pair) is tuple and pair[0]
    if "__" not in field:
        assert (f"t1.'{field}'" in pair[0]) == meta
    assert host.select(pair) == [r["id"] for r in ROWS if expected(lookup, column(r, field), value)]


@pytest.mark.parametrize("field", ["nick", "data__city", "_address__object_version"])
@pytest.mark.parametrize("value", [Versions.ALL, "all"])
def test_all_versions_filter_nothing(host, field, value):
    pair = host._get_filter_statement("person", Filter(field_name=field, value=value))
    if field == "nick" and value == "all" and not isinstance(value, Versions):
        assert pair == ("nick = ?", "all")  # a plain text, compared like any other
    else:
        assert pair == ("", None)


class Recorder(Mixin):
    def __init__(self, mapping=None):
        self.calls, self.mapping = [], mapping or {}

    def execute(self, sql, params=()):
        self.calls.append(("execute",))
        return sqlite3.connect(":memory:").execute("SELECT 0, 'data', 'json', 0, NULL, 0")

    def _to_sql_value(self, value):
        self.calls.append(("convert", value))
        return Mixin._to_sql_value(value)

    def _fields_map(self, table_name, field_name, class_version):
        assert class_version is Versions.LATEST
        self.calls.append(("map", field_name))
        return self.mapping.get(field_name, field_name)

    def _nested_filter_statement(self, *args, **kwargs):
        self.calls.append(("nested", args[1:3], kwargs["value_type"]))
        return getattr(self, "nested_result", None) or super()._nested_filter_statement(*args, **kwargs)


@pytest.mark.parametrize("lookup", [L.REGEX, L.IREGEX])
def test_unsupported_lookup_is_refused_first(lookup):
    m = Recorder()
    with pytest.raises(ValueError) as e:
        m._get_filter_statement("person", Filter(field_name="name", lookup=lookup, value="x"))
    assert e.value.args == (f"Lookup '{lookup.value}' is not supported for this connection.",)
    assert m.calls == []


def test_operator_map_is_read_on_self():
    regex = mod.SqlOperatorTemplate(template="{field_name} REGEXP ?")

    class Own(Recorder):
        SQL_OPERATOR_MAP = {L.REGEX: regex}

    assert Own()._get_filter_statement("p", Filter(field_name="name", lookup=L.REGEX, value="^A")) == ("name REGEXP ?", "^A")
    with pytest.raises(ValueError, match="^Lookup 'eq' is not supported"):
        Own()._get_filter_statement("p", Filter(field_name="name", value="x"))


def test_nested_path_passes_the_mapping_hook_four_times():
    m = Recorder()
    day = datetime.date(2024, 1, 2)
    assert m._get_filter_statement("p", Filter(field_name="data__a__b", lookup=L.GT, value=day)) == (
        "cast(json_extract(data, '$.a.b') as integer) > ?", 1704153600)
    expr = "cast(json_extract(data, '$.a.b') as integer)"
    assert m.calls == [("convert", day), ("map", "data__a__b"), ("map", "data"), ("nested", ("data", "a__b"), datetime.date),
                       ("map", "data"), ("map", expr), ("execute",)]


def test_column_types_for_both_template_calls():
    seen = []
    op = mod.SqlOperatorTemplate(template=lambda v, ct: seen.append(ct) or "{field_name} = ?",
                                 value_modifier=lambda v, ct: seen.append(ct) or v)

    class Own(Recorder):
        SQL_OPERATOR_MAP = {L.EQ: op}

    assert Own(mapping={"field": "data"})._get_filter_statement("p", Filter(field_name="field", value=1)) == ("data = ?", 1)
    assert Own()._get_filter_statement("p", Filter(field_name="other", value=1)) == ("other = ?", 1)
    assert seen == ["json", "json", None, None]


def test_nested_errors():
    m = Recorder(mapping={"data__x": "datax"})
    with pytest.raises(ValueError, match=r"^need more than 1 value to unpack$"):
        m._get_filter_statement("p", Filter(field_name="data__x", value=1))
    m = Recorder()
    m.nested_result = ["x = ?", 1]
    with pytest.raises(TypeError, match="^Expected tuple, got list$"):
        m._get_filter_statement("p", Filter(field_name="data__x", value=1))


class Boom(Exception):
    pass


class Hostile(str):
    def __eq__(self, other):
        raise Boom("eq")

    def __hash__(self):
        raise Boom("hash")

    def __format__(self, spec):
        raise Boom("format")


@pytest.mark.parametrize(
    "item, message",
    [
        (Filter.model_construct(field_name="name", lookup=Hostile("x"), value=1), "hash"),
        (Filter(field_name="data__a", value=Hostile("v")), "eq"),  # a str on a nested path meets Versions.ALL
        (Filter(field_name="name", lookup=L.CONTAINS, value=Hostile("v")), "format"),
    ],
)
def test_hostile_values_raise_cleanly(host, item, message):
    with pytest.raises(Boom, match=message):
        host._get_filter_statement("person", item)
