import inspect
import json
import math
import sqlite3
from decimal import Decimal

import pydantic
import pytest
from pydantic import BaseModel
from quarna_utils.query.enums import Lookup

from quarna_data.connections.implementations.mixins import sqlite_statements_mixin as mod
from quarna_data.connections.implementations.mixins.sqlite_statements_mixin import (
    NoValue,
    SqliteStatementsMixin,
    SqlOperatorTemplate,
    sql_operator_map,
)

ORDER = [
    Lookup.EQ, Lookup.NEQ, Lookup.GT, Lookup.GTE, Lookup.LT, Lookup.LTE, Lookup.IN,
    Lookup.CONTAINS, Lookup.ICONTAINS, Lookup.STARTSWITH, Lookup.ISTARTSWITH,
    Lookup.ENDSWITH, Lookup.IENDSWITH, Lookup.ISNULL,
]


def fresh(lookup):
    """A private copy of a table template, safe to change."""
    return sql_operator_map[lookup].model_copy()


# ---------------------------------------------------------------------------
# The table

@pytest.mark.parametrize(
    "lookup, value, text, param",
    [
        (Lookup.EQ, True, "x IS ?", 1),
        (Lookup.EQ, False, "x IS ?", 0),
        (Lookup.EQ, 1, "x = ?", 1),
        (Lookup.EQ, None, "x = ?", None),
        (Lookup.EQ, "a", "x = ?", "a"),
        (Lookup.NEQ, True, "x IS NOT ?", 1),
        (Lookup.NEQ, False, "x IS NOT ?", 0),
        (Lookup.NEQ, 0, "x != ?", 0),
        (Lookup.NEQ, "a", "x != ?", "a"),
        (Lookup.GT, 18, "x > ?", 18),
        (Lookup.GTE, 18, "x >= ?", 18),
        (Lookup.LT, 2.5, "x < ?", 2.5),
        (Lookup.LTE, "m", "x <= ?", "m"),
        (Lookup.IN, "[1, 2, 3]", "x IN (?,?,?)", [1, 2, 3]),
        (Lookup.IN, "[]", "x IN ()", []),
        (Lookup.IN, '["a"]', "x IN (?)", ["a"]),
        (Lookup.IN, '"ab"', "x IN (?,?)", "ab"),
        (Lookup.IN, '{"k": 1}', "x IN (?)", {"k": 1}),
        (Lookup.IN, b"[1, 2]", "x IN (?,?)", [1, 2]),
        (Lookup.IN, bytearray(b'["z"]'), "x IN (?)", ["z"]),
        (Lookup.CONTAINS, "ab", "x LIKE ?", "%ab%"),
        (Lookup.CONTAINS, 5, "x LIKE ?", "%5%"),
        (Lookup.CONTAINS, "a%_", "x LIKE ?", "%a%_%"),
        (Lookup.ICONTAINS, "ab", "UPPER(x) LIKE ?", "%AB%"),
        (Lookup.ICONTAINS, 5, "UPPER(x) LIKE ?", "%5%"),
        (Lookup.ICONTAINS, None, "UPPER(x) LIKE ?", "%NONE%"),
        (Lookup.STARTSWITH, "ab", "x LIKE ?", "ab%"),
        (Lookup.ISTARTSWITH, "ab", "UPPER(x) LIKE ?", "AB%"),
        (Lookup.ENDSWITH, "ab", "x LIKE ?", "%ab"),
        (Lookup.ENDSWITH, None, "x LIKE ?", "%None"),
        (Lookup.IENDSWITH, "straße", "UPPER(x) LIKE ?", "%STRASSE"),
        (Lookup.ISNULL, True, "x IS NULL", NoValue),
        (Lookup.ISNULL, [0], "x IS NULL", NoValue),
        (Lookup.ISNULL, False, "x IS NOT NULL", NoValue),
        (Lookup.ISNULL, None, "x IS NOT NULL", NoValue),
        (Lookup.ISNULL, 0, "x IS NOT NULL", NoValue),
        (Lookup.ISNULL, "", "x IS NOT NULL", NoValue),
    ],
)
def test_table(lookup, value, text, param):
    t = sql_operator_map[lookup]
    assert t.build_statement("x", value) == text
    got = t.build_value(value)
    if param is NoValue:
        assert got is NoValue
    else:
        assert got == param and type(got) is type(param)


@pytest.mark.parametrize(
    "lookup, table, sep, text",
    [
        (Lookup.GTE, "t1", "'", "t1.'age' >= ?"),
        (Lookup.GTE, "", "'", "age >= ?"),
        (Lookup.GTE, "t1", "", "t1.age >= ?"),
        (Lookup.GTE, "t1", '"', 't1."age" >= ?'),
        (Lookup.GTE, "", "`", "age >= ?"),
        (Lookup.ICONTAINS, "t1", "'", "UPPER(t1.'age') LIKE ?"),
        (Lookup.ISNULL, "tä", "'", "tä.'age' IS NULL"),
    ],
)
def test_column_reference(lookup, table, sep, text):
    assert sql_operator_map[lookup].build_statement("age", 1, table, sep, None) == text


@pytest.mark.parametrize(
    "field, sep, text",
    [
        ("it's", "'", "t1.'it''s' >= ?"),
        ("''", "'", "t1.'" + "'" * 4 + "' >= ?"),
        ('a"b\'c', '"', 't1."a""b\'c" >= ?'),
        ("it's", "''", "t1.''it's'' >= ?"),  # not one character: no quote to double
        ("it's", "", "t1.it's >= ?"),
    ],
)
def test_quote_character_doubled_inside_a_quoted_column(field, sep, text):
    assert sql_operator_map[Lookup.GTE].build_statement(field, 1, "t1", sep) == text
    if sep == "'":
        conn = sqlite3.connect(":memory:")
        conn.execute(f"CREATE TABLE t1 ({json.dumps(field)} INTEGER, other INTEGER)")
        conn.executemany("INSERT INTO t1 VALUES (?, ?)", [(1, 10), (2, 20)])
        assert conn.execute(f"SELECT other FROM t1 WHERE {text}", (2,)).fetchall() == [(20,)]


def test_defaults_and_keywords():
    t = sql_operator_map[Lookup.GT]
    assert t.build_statement("x", 1) == "x > ?"
    assert t.build_statement("x", 1, "t1") == "t1.'x' > ?"
    assert t.build_statement(value=1, column_type="INTEGER", column_separator="|", table_name="t",
                             field_name="x") == "t.|x| > ?"
    assert t.build_value(value=3, column_type=None) == 3


def test_in_with_many_items():
    items = list(range(1000))
    t = sql_operator_map[Lookup.IN]
    assert t.build_statement("x", json.dumps(items)) == "x IN (" + ",".join("?" * 1000) + ")"
    assert t.build_value(json.dumps(items)) == items


@pytest.mark.parametrize(
    "value, error",
    [("not json", json.JSONDecodeError), ("5", TypeError), ("null", TypeError), (None, TypeError)],
)
def test_in_bad_values(value, error):
    t = sql_operator_map[Lookup.IN]
    with pytest.raises(error):
        t.build_statement("x", value)


def test_module_names_read_at_each_call(monkeypatch):
    class FakeJson:
        loads = staticmethod(lambda text: ["a", "b"])

    marker = object()
    monkeypatch.setattr(mod, "json", FakeJson)
    monkeypatch.setattr(mod, "NoValue", marker)
    assert sql_operator_map[Lookup.IN].build_statement("x", "whatever") == "x IN (?,?)"
    assert sql_operator_map[Lookup.IN].build_value("whatever") == ["a", "b"]
    assert sql_operator_map[Lookup.ISNULL].build_value(True) is marker
    monkeypatch.undo()
    assert sql_operator_map[Lookup.IN].build_value("[1]") == [1]  # json.loads is remembered now
    monkeypatch.setattr(json, "loads", lambda text: ["patched"])  # ... until the json module changes
    assert sql_operator_map[Lookup.IN].build_value("[1]") == ["patched"]


# ---------------------------------------------------------------------------
# Filling patterns: the result is always the text str.format gives.

FIELDS = ["x", "ünï", "\U0001f600", "\udcff", "", "a.b"]
TABLES = ["", "t1", "tä", "\U0001f600"]
PATTERNS = [
    "{field_name} > ?",
    "UPPER({field_name}) LIKE ?",
    "é {field_name} ü",
    "{field_name}={field_name}",
    "no field",
    "",
    "\U0001f600{field_name}\u20ac",
    "{field_name} \ud800",
    "{{field_name}} {field_name}",
    "{field_name!r}",
    "{field_name:>6}",
    "{field_name}" * 12,
    "{field_name} {other}",
    "{field_name",
    "field_name}",
]


def outcome(fn, *args, **kwargs):
    try:
        result = fn(*args, **kwargs)
    except Exception as e:
        return "raises", type(e), str(e)
    return "returns", type(result), result


@pytest.mark.parametrize("pattern", PATTERNS)
@pytest.mark.parametrize("table", TABLES)
def test_statement_pattern_fill_matches_format(pattern, table):
    t = SqlOperatorTemplate(template=pattern)
    for field in FIELDS:
        ref = f"{table}.'{field}'" if table else field
        assert outcome(t.build_statement, field, None, table) == outcome(pattern.format, field_name=ref)


VALUES = [
    "ab", "ünï", "\U0001f600", "", 5, -0, 10**30, 2.5, 1e16, -0.0, math.inf, None, True, False,
    Decimal("1.10"), Lookup.GT, b"ab", [1, "a"], {"k": 1},
]
VALUE_PATTERNS = [
    "%{value}%", "{value}", "é{value}-{value}", "\U0001f600{value}", "{{value}}", "{value!r}", "{value:>4}",
    "{value}{other}", "",
]


class Formatted:
    def __format__(self, spec):
        return f"<{spec}>"


class OnlyStr:
    def __str__(self):
        return "only-str"


class StrSub(str):
    def __str__(self):
        return "sub-str"


@pytest.mark.parametrize("pattern", VALUE_PATTERNS)
@pytest.mark.parametrize("value", VALUES + [Formatted(), OnlyStr(), StrSub("raw")], ids=repr)
def test_value_pattern_fill_matches_format(pattern, value):
    t = SqlOperatorTemplate(template="{field_name} LIKE ?", value_template=pattern)
    assert outcome(t.build_value, value) == outcome(pattern.format, value=value)


def test_value_formatted_once_per_field():
    calls = []

    class Counting:
        def __format__(self, spec):
            calls.append(spec)
            return str(len(calls))

    t = SqlOperatorTemplate(template="{field_name} = ?", value_template="{value}-{value}")
    assert t.build_value(Counting()) == "1-2"
    assert calls == ["", ""]


def test_value_template_none_or_empty():
    t = SqlOperatorTemplate(template="{field_name} = ?")
    assert t.value_template is None and t.value_modifier is None
    value = object()
    assert t.build_value(value) is value
    assert SqlOperatorTemplate(template="{field_name} = ?", value_template="").build_value(value) == ""


# ---------------------------------------------------------------------------
# Templates changed by a user take effect at the next call.

def test_replaced_pattern_with_other_field_raises_format_error():
    t = fresh(Lookup.GT)
    t.template = "{field_name} > {other}"
    with pytest.raises(KeyError, match="other"):
        t.build_statement("x", 1)
    t.value_template = "{value}{nope}"
    with pytest.raises(KeyError, match="nope"):
        t.build_value(1)


def test_replaced_fields_are_read_at_each_call():
    seen = []

    class Tmpl:  # any object whose type is callable
        def __call__(self, value, column_type):
            seen.append(("t", value, column_type))
            return "{field_name} BETWEEN ? AND ?"

    t = fresh(Lookup.GT)
    assert t.build_statement("x", 1) == "x > ?"
    t.template = Tmpl()
    assert t.build_statement("x", [1, 2], "t1", "'", "INTEGER") == "t1.'x' BETWEEN ? AND ?"
    t.value_modifier = lambda value, column_type: seen.append(("m", value, column_type)) or value * 2
    t.value_template = "[{value}]"
    assert t.build_value(21, "INTEGER") == "[42]"
    assert seen == [("t", [1, 2], "INTEGER"), ("m", 21, "INTEGER")]
    # The shared table entry is untouched.
    assert sql_operator_map[Lookup.GT].build_statement("x", 1) == "x > ?"


def test_str_subclass_pattern_uses_its_own_format():
    class Pattern(str):
        def format(self, **kwargs):
            return "custom " + kwargs["field_name"]

    t = fresh(Lookup.GT)
    t.template = Pattern("{field_name} > ?")
    assert t.build_statement("x", 1, "t1") == "custom t1.'x'"


class FormatsTo:
    def __init__(self, result):
        self.result = result

    def format(self, **kwargs):
        return self.result


def test_statement_result_must_be_str():
    t = fresh(Lookup.GT)
    t.template = lambda v, ct: FormatsTo(5)
    with pytest.raises(TypeError, match="^Expected unicode, got int$"):
        t.build_statement("x", 1)
    t.template = lambda v, ct: FormatsTo(None)
    assert t.build_statement("x", 1) is None
    t.template = lambda v, ct: 3
    with pytest.raises(AttributeError):
        t.build_statement("x", 1)


class FormatsToInt:
    def __format__(self, spec):
        return 5


class Boom(Exception):
    pass


class Hostile:
    def __bool__(self):
        raise Boom("bool")

    def __str__(self):
        raise Boom("str")

    def __format__(self, spec):
        raise Boom("format")


@pytest.mark.parametrize(
    "lookup, method, value, error",
    [
        (Lookup.ISNULL, "build_statement", Hostile(), Boom),
        (Lookup.ICONTAINS, "build_value", Hostile(), Boom),
        (Lookup.CONTAINS, "build_value", Hostile(), Boom),
        (Lookup.CONTAINS, "build_value", FormatsToInt(), TypeError),
        (Lookup.IN, "build_statement", Hostile(), TypeError),
        (Lookup.IN, "build_value", Hostile(), TypeError),
    ],
)
def test_hostile_values_raise_cleanly(lookup, method, value, error):
    t = sql_operator_map[lookup]
    args = ("x", value) if method == "build_statement" else (value,)
    with pytest.raises(error):
        getattr(t, method)(*args)


def test_callable_errors_pass_through():
    t = fresh(Lookup.GT)
    t.template = t.value_modifier = lambda v, ct: (_ for _ in ()).throw(Boom("callable"))
    with pytest.raises(Boom, match="callable"):
        t.build_statement("x", 1)
    with pytest.raises(Boom, match="callable"):
        t.build_value(1)


# ---------------------------------------------------------------------------
# Arguments

class S(str):
    pass


@pytest.mark.parametrize(
    "args, name, got",
    [
        ((S("x"), 1), "field_name", "S"),
        ((None, 1), "field_name", "NoneType"),
        ((5, 1), "field_name", "int"),
        (("x", 1, S("t1")), "table_name", "S"),
        (("x", 1, None), "table_name", "NoneType"),
        (("x", 1, "t1", 0), "column_separator", "int"),
        (("x", 1, "t1", S("'")), "column_separator", "S"),
        ((None, 1, None, None), "field_name", "NoneType"),
        (("x", 1, None, None), "table_name", "NoneType"),
    ],
)
def test_argument_types(args, name, got):
    seen = []
    t = SqlOperatorTemplate(template=lambda v, ct: seen.append(v) or "{field_name}")
    with pytest.raises(TypeError) as info:
        t.build_statement(*args)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected str, got {got})"
    assert seen == []
    # value and column_type are not tested
    assert t.build_statement("x", S("a"), "", "'", 5) == "x"
    assert seen == [S("a")]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda t: t.build_statement("x"), "build_statement() takes at least 3 positional arguments (2 given)"),
        (lambda t: t.build_statement("x", 1, "", "'", None, 6),
         "build_statement() takes at most 6 positional arguments (7 given)"),
        (lambda t: t.build_statement("x", 1, table="t"), "build_statement() got an unexpected keyword argument 'table'"),
        (lambda t: t.build_statement("x", 1, field_name="y"),
         "build_statement() got multiple values for keyword argument 'field_name'"),
        (lambda t: t.build_value(), "build_value() takes at least 2 positional arguments (1 given)"),
        (lambda t: t.build_value(1, None, 3), "build_value() takes at most 3 positional arguments (4 given)"),
    ],
)
def test_argument_binding(call, message):
    with pytest.raises(TypeError) as info:
        call(sql_operator_map[Lookup.GT])
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# The class and the map

def test_model_class():
    assert type(SqlOperatorTemplate) is type(BaseModel)
    assert SqlOperatorTemplate.__bases__ == (BaseModel,)
    assert SqlOperatorTemplate.__module__ == mod.__name__
    assert SqlOperatorTemplate.__qualname__ == "SqlOperatorTemplate"
    assert list(SqlOperatorTemplate.__annotations__.items()) == [
        ("build_statement", "ClassVar[Callable[[Any, str, Any, str, str, str | None], str]]"),
        ("build_value", "ClassVar[Callable[[Any, Any, str | None], Any]]"),
        ("template", "str | Callable[[Any, str | None], str]"),
        ("value_template", "str | None"),
        ("value_modifier", "Callable[[Any, str | None], Any] | None"),
    ]
    fields = SqlOperatorTemplate.model_fields
    assert list(fields) == ["template", "value_template", "value_modifier"]
    assert fields["template"].is_required()
    assert fields["value_template"].default is None and fields["value_modifier"].default is None


@pytest.mark.parametrize(
    "kwargs",
    [{}, {"value_template": "{value}"}, {"template": 5}, {"template": None},
     {"template": "{field_name}", "value_template": 5}, {"template": "{field_name}", "value_modifier": "x"}],
)
def test_validation(kwargs):
    with pytest.raises(pydantic.ValidationError):
        SqlOperatorTemplate(**kwargs)


def test_operator_map():
    assert type(sql_operator_map) is dict
    assert list(sql_operator_map) == ORDER
    assert all(type(t) is SqlOperatorTemplate for t in sql_operator_map.values())
    assert SqliteStatementsMixin.SQL_OPERATOR_MAP is sql_operator_map
    assert mod.SqlOperatorTemplate is SqlOperatorTemplate
    assert isinstance(NoValue, type)


def test_anonymous_callables():
    callables = []
    for lookup, t in sql_operator_map.items():
        for field in ("template", "value_modifier"):
            fn = getattr(t, field)
            if callable(fn):
                callables.append((lookup, field, fn))
    assert [(lookup, field) for lookup, field, _ in callables] == [
        (Lookup.EQ, "template"), (Lookup.EQ, "value_modifier"),
        (Lookup.NEQ, "template"), (Lookup.NEQ, "value_modifier"),
        (Lookup.IN, "template"), (Lookup.IN, "value_modifier"),
        (Lookup.ICONTAINS, "value_modifier"), (Lookup.ISTARTSWITH, "value_modifier"),
        (Lookup.IENDSWITH, "value_modifier"),
        (Lookup.ISNULL, "template"), (Lookup.ISNULL, "value_modifier"),
    ]
    for lookup, field, fn in callables:
        assert fn.__name__ == fn.__qualname__ == "<lambda>"
        assert fn.__module__ == mod.__name__
        assert fn.__annotations__ == {}
        expected = "(_, __)" if (lookup, field) == (Lookup.ISNULL, "value_modifier") else "(_value, _column_type)"
        assert str(inspect.signature(fn)) == expected


# ---------------------------------------------------------------------------
# Every template as a WHERE condition on a real table

ROWS = [
    (1, 25, "Alice", 1),
    (2, 30, "bob", 0),
    (3, None, "Charlie", None),
    (4, 40, None, 1),
    (5, 30, "alicia", 0),
    (6, 18, "Ulli", None),
]
COLUMNS = {"age": 1, "name": 2, "flag": 3}


def like(v, test):
    # SQLite's LIKE ignores the case of ASCII letters; the data here is ASCII.
    return v is not None and test(v.lower())


@pytest.fixture
def people(db):
    db.execute("CREATE TABLE people (id INTEGER PRIMARY KEY, age INTEGER, name TEXT, flag BOOLEAN)")
    db.executemany("INSERT INTO people VALUES (?, ?, ?, ?)", ROWS)
    return db


@pytest.mark.parametrize("table", ["t1", ""])
@pytest.mark.parametrize(
    "lookup, column, value, matches",
    [
        (Lookup.EQ, "age", 30, lambda v: v == 30),
        (Lookup.EQ, "name", "bob", lambda v: v == "bob"),
        (Lookup.EQ, "flag", True, lambda v: v == 1),
        (Lookup.EQ, "flag", False, lambda v: v == 0),
        (Lookup.EQ, "age", None, lambda v: False),  # "= NULL" is never true in SQL
        (Lookup.NEQ, "age", 30, lambda v: v is not None and v != 30),
        (Lookup.NEQ, "flag", True, lambda v: v != 1),  # IS NOT: NULL rows are kept
        (Lookup.NEQ, "flag", False, lambda v: v != 0),
        (Lookup.GT, "age", 25, lambda v: v is not None and v > 25),
        (Lookup.GTE, "age", 25, lambda v: v is not None and v >= 25),
        (Lookup.LT, "age", 30, lambda v: v is not None and v < 30),
        (Lookup.LTE, "age", 30, lambda v: v is not None and v <= 30),
        (Lookup.IN, "age", json.dumps([25, 40]), lambda v: v in (25, 40)),
        (Lookup.IN, "name", json.dumps(["bob", "Ulli", "nobody"]), lambda v: v in ("bob", "Ulli")),
        (Lookup.IN, "age", "[]", lambda v: False),
        (Lookup.CONTAINS, "name", "li", lambda v: like(v, lambda s: "li" in s)),
        (Lookup.ICONTAINS, "name", "LI", lambda v: like(v, lambda s: "li" in s)),
        (Lookup.STARTSWITH, "name", "al", lambda v: like(v, lambda s: s.startswith("al"))),
        (Lookup.ISTARTSWITH, "name", "aL", lambda v: like(v, lambda s: s.startswith("al"))),
        (Lookup.ENDSWITH, "name", "ie", lambda v: like(v, lambda s: s.endswith("ie"))),
        (Lookup.IENDSWITH, "name", "IA", lambda v: like(v, lambda s: s.endswith("ia"))),
        (Lookup.ISNULL, "age", True, lambda v: v is None),
        (Lookup.ISNULL, "name", False, lambda v: v is not None),
        (Lookup.ISNULL, "flag", 1, lambda v: v is None),
    ],
)
def test_condition_on_sqlite(people, table, lookup, column, value, matches):
    t = sql_operator_map[lookup]
    condition = t.build_statement(column, value, table, "'", None)
    param = t.build_value(value, None)
    params = [] if param is NoValue else [param] if lookup is not Lookup.IN else param
    assert condition.count("?") == len(params)
    rows = people.execute(f"SELECT id FROM people AS t1 WHERE {condition} ORDER BY id", params).fetchall()
    expected = [row[0] for row in ROWS if matches(row[COLUMNS[column]])]
    assert [r[0] for r in rows] == expected
    assert 0 < len(expected) < len(ROWS) or lookup in (Lookup.EQ, Lookup.IN)
