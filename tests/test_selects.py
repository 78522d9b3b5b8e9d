import json
import sqlite3

import pytest
from quarna_utils.models.enums import Versions
from quarna_utils.query.data_models.filter import Filter
from quarna_utils.query.data_models.order_by import OrderBy
from quarna_utils.query.data_models.paginator import CursorPaginator, NumberPaginator
from quarna_utils.query.data_models.query_specifier import QuerySpecifier
from quarna_utils.query.enums import Lookup, OrderDirection
from quarna_utils.query.utils import Q

from quarna_data.connections.errors import QuarnaConnectionError
from quarna_data.connections.implementations.mixins import sqlite_statements_mixin as mod

Mixin = mod.SqliteStatementsMixin
FIELD = mod.METADATA_SELECT_FIELD
JOIN = (
    " AS t1 JOIN (" + mod.METADATA_SELECT_STATEMENT + ") AS t2"
    " ON t1.partition_key = t2.object_id AND t1.range_key = t2.object_version"
)
LATEST = "(t2.'next_version' IS NULL OR t2.'next_version' = '')"
COND = Q(name="x")  # any truthy tree; Canned answers for it


class Canned(Mixin):
    """Answers the condition tree and nested paths with fixed results, and records the calls."""

    def __init__(self, conditions=None, resolved="EXPR"):
        self.conditions = conditions
        self.resolved = resolved
        self.calls = []

    def _get_conditions_statement(self, table_name, conditions, **flags):
        self.calls.append(("conditions", table_name, conditions, flags))
        # the select extends the list it is given, so hand out a new one by default
        return ("C", [1]) if self.conditions is None else self.conditions

    def _resolve_nested_field_name(self, table_name, field_name, nested_fields, **flags):
        self.calls.append(("resolve", table_name, field_name, nested_fields, flags))
        return self.resolved


def specifier(only=(), distinct=()):
    return QuerySpecifier(only=list(only), distinct=list(distinct))


# --------------------------------------------------------------------------- data

METADATA_COLUMNS = (
    "object_id, object_version, prior_version, address, class_schema_reference,"
    ' class_meta_schema_reference, class_schema_type, is_deleted, created_at, updated_at, "transaction"'
)

# (object, version, prior version, name, age, Kind, data)
VERSIONS = [
    ("p1", "v1", None, "Ann", 30, "B", {"n": 10}),
    ("p1", "v2", "v1", "Ann", 31, "A", {"n": 9}),
    ("p1", "v3", "v2", "Anna", 32, "A", {"n": 2}),
    ("p2", "v1", None, "Bob", 40, "B", {"n": 1}),
    ("p2", "v2", "v1", "Bob", 41, "B", None),
    ("p3", "v1", None, "Cid", 18, "A", {"n": 5}),
]
ORPHAN = ("p4", "v1", None, "Dan", 50, "A", {"n": 7})  # a model row without a version record
NEXT = {("p1", "v1"): "v2", ("p1", "v2"): "v3", ("p2", "v1"): "v2"}


def model_row(v):
    oid, ver, _, name, age, kind, data = v
    meta = {"address": {"class_version": "1", "object_version": ver}, "next_version": NEXT.get((oid, ver))}
    return (oid, ver, json.dumps(meta), name, age, kind, None if data is None else json.dumps(data))


@pytest.fixture
def conn():
    c = sqlite3.connect(":memory:")
    c.execute(
        "CREATE TABLE person (partition_key TEXT, range_key TEXT, _metadata json,"
        " name TEXT, age INTEGER, Kind TEXT, data json)"
    )
    c.execute(
        "CREATE TABLE metadata (object_id TEXT, object_version TEXT, prior_version TEXT,"
        " address json, class_schema_reference json, class_meta_schema_reference json,"
        ' class_schema_type TEXT, is_deleted INTEGER, created_at INTEGER, updated_at INTEGER, "transaction" json)'
    )
    c.execute("CREATE TABLE object_reference (partition_key TEXT, kind TEXT, target TEXT, _metadata json)")
    c.executemany("INSERT INTO person VALUES (?, ?, ?, ?, ?, ?, ?)", [model_row(v) for v in VERSIONS + [ORPHAN]])
    for i, (oid, ver, prior, *_rest) in enumerate(VERSIONS):
        address = json.dumps({"object_id": oid, "object_version": ver, "class_version": "1"})
        c.execute(
            f"INSERT INTO metadata ({METADATA_COLUMNS}) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (oid, ver, prior, address, '{"s": 1}', '{"m": 1}', "model", 0, 100 + i, 200 + i, '{"tx": %d}' % i),
        )
    c.executemany(
        "INSERT INTO object_reference VALUES (?, ?, ?, NULL)",
        [("p1", "owner", "p2"), ("p1", "owner", "p3"), ("p2", "friend", "p3"), ("p3", "owner", "p1")],
    )
    yield c
    c.close()


def run(conn, pair):
    text, params = pair
    assert text.count("?") == len(params)
    cur = conn.execute(text, params)
    return [d[0] for d in cur.description], cur.fetchall()


# --------------------------------------------------------------------------- plain select

PLAIN_CASES = [
    ({}, "SELECT * FROM 'person'", []),
    ({"conditions": COND}, "SELECT * FROM 'person' WHERE C", [1]),
    ({"conditions": Q()}, "SELECT * FROM 'person'", []),  # falsy tree: builder not called
    ({"pagination": NumberPaginator(limit=10)}, "SELECT * FROM 'person' LIMIT ? OFFSET ?", [10, 0]),
    ({"pagination": NumberPaginator(limit=10, offset=5)}, "SELECT * FROM 'person' LIMIT ? OFFSET ?", [10, 5]),
    ({"pagination": NumberPaginator(limit=0, offset=0)}, "SELECT * FROM 'person' LIMIT ? OFFSET ?", [0, 0]),
    ({"pagination": NumberPaginator(limit=-1)}, "SELECT * FROM 'person' LIMIT ? OFFSET ?", [-1, 0]),
    ({"pagination": NumberPaginator(offset=5)}, "SELECT * FROM 'person'", []),
    ({"pagination": CursorPaginator(limit=3)}, "SELECT * FROM 'person'", []),
    ({"pagination": object()}, "SELECT * FROM 'person'", []),
    ({"order_by": []}, "SELECT * FROM 'person'", []),
    ({"order_by": [OrderBy(field_name="age")]}, "SELECT * FROM 'person' ORDER BY age ASC", []),
    (
        {
            "conditions": COND,
            "pagination": NumberPaginator(limit=2, offset=1),
            "order_by": [OrderBy(field_name="age", direction=OrderDirection.DESC)],
        },
        "SELECT * FROM 'person' WHERE C ORDER BY age DESC LIMIT ? OFFSET ?",
        [1, 2, 1],
    ),
]


@pytest.mark.parametrize("kwargs, text, params", PLAIN_CASES)
def test_plain_select(kwargs, text, params):
    m = Canned()
    assert m._select_statement("person", "*", **kwargs) == (text, params)
    if kwargs.get("conditions") is not COND:
        assert m.calls == []


@pytest.mark.parametrize("kwargs, text, params", PLAIN_CASES)
def test_metadata_select(kwargs, text, params):
    m = Canned()
    expected = text.replace("SELECT * FROM 'person'", "SELECT t1.* FROM 'person'" + JOIN)
    assert m._select_with_internal_meta_statement("person", "t1.*", **kwargs) == (expected, params)


def test_metadata_select_text():
    text, params = Mixin()._select_with_internal_meta_statement("person", "t1.*")
    assert text == (
        "SELECT t1.* FROM 'person' AS t1 JOIN (" + mod.METADATA_SELECT_STATEMENT + ") AS t2 ON t1.partition_key"
        " = t2.object_id AND t1.range_key = t2.object_version"
    )
    assert params == [] and text.endswith(".object_version")


@pytest.mark.parametrize("internal", [False, True])
def test_flags_handed_to_conditions_and_ordering(internal):
    order_by = [OrderBy(field_name="data__n")]
    m = Canned()
    m._select_statement("person", "*", COND, None, order_by, is_internal_table=internal)
    flags = {"is_internal_table": internal, "use_internal_meta_tables": False}
    assert m.calls == [("conditions", "person", COND, flags), ("resolve", "person", "data", "n", flags)]

    m = Canned()
    m._select_with_internal_meta_statement("person", "t1.*", COND, None, order_by)
    flags = {"is_internal_table": False, "use_internal_meta_tables": True}
    assert m.calls == [("conditions", "person", COND, flags), ("resolve", "person", "data", "n", flags)]


@pytest.mark.parametrize("method", ["_select_statement", "_select_with_internal_meta_statement"])
def test_condition_results(method):
    def build(conditions, **kw):
        return getattr(Canned(conditions=conditions), method)("person", "*", COND, **kw)

    # empty text: no WHERE, the very parameter list is kept
    params = ["kept"]
    text, got = build(("", params))
    assert not text.endswith(" WHERE ") and " WHERE \n" not in text and got is params and text.endswith(("person'", "object_version"))
    text, got = build(("", params), pagination=NumberPaginator(limit=1))
    assert got is params and got == ["kept", 1, 0]
    # None parameters pass without LIMIT, and cannot take the limit
    assert build(("C", None))[1] is None
    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'extend'$"):
        build(("C", None), pagination=NumberPaginator(limit=1))
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        build(("C", (1,)))
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        build(("C", [], 3))
    with pytest.raises(ValueError, match="^need more than 1 value to unpack$"):
        build(("C",))
    assert build(iter(["C", [4]])) == (build(("C", [4]))[0], [4])  # any iterable of two
    # a text that is not a str is formatted
    assert build((7, []))[0].endswith(" WHERE 7")


@pytest.mark.parametrize("method", ["_select_statement", "_select_with_internal_meta_statement"])
def test_separator_read_from_self(method):
    class Quoted(Mixin):
        TABLE_SEPARATOR = '"'

    text, _ = getattr(Quoted(), method)("person", "*")
    assert '"person"' in text and "'person'" not in text


def test_order_by_result_must_concatenate():
    class Bad(Mixin):
        def _build_order_by_statement(self, *a, **k):
            return 5

    with pytest.raises(TypeError, match="can only concatenate str"):
        Bad()._select_statement("t", "*", order_by=[1])


@pytest.mark.parametrize("name", ["pérson", "人", "a\udcffb", "x'y"])
def test_names_are_copied_unchanged(name):
    # Only the quote character of the quoted table name is doubled.
    text, _ = Mixin()._select_statement(name, name)
    assert text == f"SELECT {name} FROM '{name.replace(chr(39), chr(39) * 2)}'"


# --------------------------------------------------------------------------- entry point

PERSON_SPECIFIER = dict(only=["name", "age"])


@pytest.mark.parametrize(
    "table, specifier, meta, columns",
    [
        ("person", None, False, "*"),
        ("person", specifier(**PERSON_SPECIFIER), False, "_metadata, age, name"),
        ("person", specifier(**PERSON_SPECIFIER, distinct=["age"]), False, "_metadata, distinct age, name"),
        ("reference", specifier(**PERSON_SPECIFIER), False, "age, name"),
        ("reference", specifier(**PERSON_SPECIFIER), True, "age, name"),
        ("person", specifier(**PERSON_SPECIFIER, distinct=["age"]), True, "DISTINCT t1.age, t1.name, " + FIELD),
        ("person", None, True, "t1.*, " + FIELD),
        ("person", specifier(), False, "*"),
        ("person", specifier(), True, "t1.*, " + FIELD),
        ("person", QuerySpecifier.model_construct(only=None, distinct=[]), False, "*"),
        ("person", specifier(["b", "a", "b", "_metadata"]), False, "_metadata, a, b"),
        ("person", specifier(["b", "a", "b"]), True, "t1.a, t1.b, " + FIELD),
        ("person", specifier(["b", "a", "Z", "_x"], distinct=["b", "Z"]), False, "distinct Z, _metadata, _x, a, distinct b"),
        ("person", specifier(["b", "a"], distinct=["a", "b"]), True, "DISTINCT t1.a, DISTINCT t1.b, " + FIELD),
        ("x_metadata", specifier(["b"], distinct=["b"]), True, "distinct b"),
        ("metadata_x", specifier(["b"]), False, "_metadata, b"),
        ("Reference", specifier(["b"]), False, "_metadata, b"),
        ("my_reference_table", None, True, "t1.*, " + FIELD),
    ],
)
def test_select_entry_point(table, specifier, meta, columns):
    text, params = Mixin()._build_select_statement(table, specifier, use_internal_meta_tables=meta)
    expected = f"SELECT {columns} FROM '{table}'"
    if columns.startswith(("t1.", "DISTINCT t1.")):
        expected += JOIN
    assert (text, params) == (expected, [])


class _Name(str):
    pass


@pytest.mark.parametrize("only", [
    ["b", "a", "".join(["b"]), "_metadata"],
    ("b", "".join(["_meta", "data"]), "b"),
    ["b", _Name("a"), "".join(["b"])],
], ids=["list", "tuple", "str subclass"])
@pytest.mark.parametrize("meta", [False, True])
def test_columns_are_the_fields_of_a_sorted_set(only, meta):
    # The hook sees the very objects sorted(set(...)) keeps: the first of equal names.
    seen = []

    class Recording(Mixin):
        def _fields_map(self, table_name, field_name, version):
            seen.append(field_name)
            return field_name

    spec = QuerySpecifier.model_construct(only=only, distinct=[])
    Recording()._build_select_statement("person", spec, use_internal_meta_tables=meta)
    expected = sorted(set(only) if meta else set(only) | {"_metadata"})
    assert [id(f) for f in seen] == [id(f) for f in expected]


def test_metadata_path_needs_iterable_only():
    with pytest.raises(TypeError, match="not iterable"):
        Mixin()._build_select_statement(
            "person", QuerySpecifier.model_construct(only=None, distinct=[]), use_internal_meta_tables=True
        )


@pytest.mark.parametrize(
    "table, meta, builder, internal",
    [
        ("person", False, "_select_statement", False),
        ("person_reference", False, "_select_statement", True),
        ("person_reference", True, "_select_statement", True),
        ("metadata", True, "_select_statement", True),
        ("person", True, "_select_with_internal_meta_statement", None),
    ],
)
def test_arguments_reach_the_chosen_builder(table, meta, builder, internal):
    seen = []

    class Spy(Mixin):
        def _select_statement(self, *args, **kwargs):
            seen.append(("_select_statement", args, kwargs))
            return ("plain", [])

        def _select_with_internal_meta_statement(self, *args, **kwargs):
            seen.append(("_select_with_internal_meta_statement", args, kwargs))
            return ("meta", [])

    conditions, pagination, order_by = Q(a=1), NumberPaginator(limit=1), [OrderBy(field_name="a")]
    Spy()._build_select_statement(table, None, conditions, pagination, order_by, use_internal_meta_tables=meta)
    ((name, args, kwargs),) = seen
    assert name == builder and args == (table,)
    assert kwargs.pop("conditions") is conditions
    assert kwargs.pop("pagination") is pagination
    assert kwargs.pop("order_by") is order_by
    kwargs.pop("select_only")
    assert kwargs == ({} if internal is None else {"is_internal_table": internal})


@pytest.mark.parametrize("result, ok", [(("t", []), True), (None, True), (["t", []], False), ("t", False)])
@pytest.mark.parametrize("meta", [False, True])
@pytest.mark.parametrize("builder", ["_build_select_statement", "_build_count_statement"])
def test_delegated_result_must_be_tuple(builder, result, ok, meta):
    """Both entry points hand on what the select they delegate to returns, if it is a tuple or None."""
    class Odd(Mixin):
        def _select_statement(self, *a, **k):
            return result

        _select_with_internal_meta_statement = _select_statement

    build = getattr(Odd(), builder)
    if ok:
        assert build("person", use_internal_meta_tables=meta) == result
    else:
        with pytest.raises(TypeError, match=f"^Expected tuple, got {type(result).__name__}$"):
            build("person", use_internal_meta_tables=meta)


class Boom(Exception):
    pass


class Hostile:
    def __init__(self, *what):
        self.what = what

    def _maybe(self, name):
        if name in self.what:
            raise Boom(name)

    def __bool__(self):
        self._maybe("bool")
        return True

    def __iter__(self):
        self._maybe("iter")
        return iter(["a"])

    def __contains__(self, item):
        self._maybe("contains")
        return False

    def __format__(self, spec):
        self._maybe("format")
        return "fmt"

    def __lt__(self, other):
        self._maybe("lt")
        return False


@pytest.mark.parametrize("meta", [False, True])
def test_cursor_pagination_is_refused_first(meta):
    untouched = Hostile("bool", "iter", "contains")
    with pytest.raises(QuarnaConnectionError, match="^Cursor pagination is not supported$"):
        Mixin()._build_select_statement("person", untouched, untouched, CursorPaginator(), untouched,
                                        use_internal_meta_tables=meta)
    with pytest.raises(QuarnaConnectionError):
        Mixin()._build_select_statement("metadata", pagination=CursorPaginator(cursor="c"))


@pytest.mark.parametrize("meta", [False, True])
@pytest.mark.parametrize(
    "specifier, error",
    [
        (Hostile("bool"), "bool"),
        (QuerySpecifier.model_construct(only=Hostile("iter"), distinct=[]), "iter"),
        (QuerySpecifier.model_construct(only=["a"], distinct=Hostile("contains")), "contains"),
    ],
)
def test_hostile_specifier(specifier, error, meta):
    with pytest.raises(Boom, match=error):
        Mixin()._build_select_statement("person", specifier, use_internal_meta_tables=meta)


def test_hostile_values_in_statements():
    m = Mixin()
    with pytest.raises(Boom):
        m._select_statement("t", "*", Hostile("bool"))
    with pytest.raises(Boom):
        m._select_statement("t", "*", order_by=Hostile("bool"))
    with pytest.raises(Boom):
        m._select_statement("t", "*", pagination=NumberPaginator.model_construct(limit=1, offset=Hostile("bool")))
    with pytest.raises(Boom):
        Canned(conditions=(Hostile("bool"), []))._select_statement("t", "*", COND)
    with pytest.raises(Boom):
        Canned(conditions=(Hostile("format"), []))._select_statement("t", "*", COND)
    with pytest.raises(TypeError):  # incomparable field names
        m._build_select_statement("t", QuerySpecifier.model_construct(only=[1, "a"], distinct=[]))

    class Mapped(Mixin):
        def __init__(self, value):
            self.value = value

        def _fields_map(self, table_name, field_name, class_version):
            return self.value

    with pytest.raises(Boom):
        Mapped(Hostile("format"))._build_select_statement("x_reference", specifier(["a"], ["a"]))
    with pytest.raises(Boom):
        Mapped(Hostile("format"))._build_select_statement("t", specifier(["a"]), use_internal_meta_tables=True)
    with pytest.raises(TypeError, match="^sequence item 0: expected str instance, int found$"):
        Mapped(3)._build_select_statement("x_reference", specifier(["a"]))
    assert Mapped(3)._build_select_statement("x_reference", specifier(["a"], ["a"]))[0] == "SELECT distinct 3 FROM 'x_reference'"


def test_mapping_hook_shapes_the_column_list():
    class Prefixed(Mixin):
        def _fields_map(self, table_name, field_name, class_version):
            return "c_" + field_name

    m = Prefixed()
    assert m._build_select_statement("person", specifier(["a", "b"], ["b"]))[0] == (
        "SELECT c__metadata, c_a, distinct c_b FROM 'person'"
    )
    assert m._build_select_statement("person", specifier(["a"]), use_internal_meta_tables=True)[0].startswith(
        "SELECT t1.c_a, " + FIELD
    )


@pytest.mark.parametrize(
    "name, value, where",
    [
        ("MODEL_TABLE_ALIAS", "m1", "m1.partition_key = t2.object_id"),
        ("METADATA_TABLE_ALIAS", "mm", ") AS mm ON t1.partition_key = mm.object_id AND t1.range_key = mm.object_version"),
        ("METADATA_SELECT_STATEMENT", "SELECT * FROM metadata", "JOIN (SELECT * FROM metadata) AS"),
        ("METADATA_SELECT_FIELD", "NULL AS _metadata", "SELECT t1.*, NULL AS _metadata FROM"),
    ],
)
def test_module_names_are_read_at_each_call(monkeypatch, name, value, where):
    monkeypatch.setattr(mod, name, value)
    text, _ = Mixin()._build_select_statement("person", use_internal_meta_tables=True)
    assert where in text


def test_paginator_classes_are_read_at_each_call(monkeypatch):
    class Other:
        limit, offset = 4, 2

    monkeypatch.setattr(mod, "NumberPaginator", Other)
    assert Mixin()._select_statement("t", "*", pagination=Other())[1] == [4, 2]
    monkeypatch.setattr(mod, "CursorPaginator", Other)
    with pytest.raises(QuarnaConnectionError):
        Mixin()._build_select_statement("t", pagination=Other())


# --------------------------------------------------------------------------- on SQLite

def expected_rows(predicate=lambda v: True, with_orphan=False):
    rows = VERSIONS + ([ORPHAN] if with_orphan else [])
    return [v for v in rows if predicate(v)]


def is_latest(v):
    return (v[0], v[1]) not in NEXT


def test_plain_select_all_rows(conn):
    names, rows = run(conn, Mixin()._build_select_statement("person"))
    assert names == ["partition_key", "range_key", "_metadata", "name", "age", "Kind", "data"]
    assert rows == [model_row(v) for v in expected_rows(with_orphan=True)]


def test_plain_select_named_fields_with_order_and_page(conn):
    order_by = [OrderBy(field_name="name"), OrderBy(field_name="age", direction=OrderDirection.DESC)]
    all_rows = sorted(expected_rows(with_orphan=True), key=lambda v: (v[3], -v[4]))
    for limit, offset in [(2, None), (3, 2), (10, 5), (0, 0)]:
        pair = Mixin()._build_select_statement(
            "person", specifier(["name", "age"]), None, NumberPaginator(limit=limit, offset=offset), order_by
        )
        names, rows = run(conn, pair)
        assert names == ["_metadata", "age", "name"]
        start = offset or 0
        assert [(r[2], r[1]) for r in rows] == [(v[3], v[4]) for v in all_rows[start:start + limit]]
        assert all(json.loads(r[0])["address"]["class_version"] == "1" for r in rows)


def test_plain_select_distinct(conn):
    # a distinct field that sorts first starts the column list
    _, rows = run(conn, Mixin()._build_select_statement("person", specifier(["Kind"], ["Kind"])))
    assert sorted(rows) == sorted({(r[5], r[2]) for r in map(model_row, expected_rows(with_orphan=True))})
    assert len(rows) < len(VERSIONS) + 1
    _, rows = run(conn, Mixin()._build_select_statement("object_reference", specifier(["kind"], ["kind"])))
    assert sorted(rows) == [("friend",), ("owner",)]
    _, rows = run(conn, Mixin()._build_select_statement("object_reference", specifier(["kind", "partition_key"], ["kind"])))
    assert sorted(rows) == [("friend", "p2"), ("owner", "p1"), ("owner", "p3")]


def test_internal_table_is_never_joined(conn):
    for meta in (False, True):
        names, rows = run(
            conn, Mixin()._build_select_statement("object_reference", specifier(["target"]), use_internal_meta_tables=meta)
        )
        assert names == ["target"] and sorted(rows) == [("p1",), ("p2",), ("p3",), ("p3",)]


def metadata_of(row):
    return json.loads(row[-1])


def test_metadata_select_joins_version_records(conn):
    names, rows = run(conn, Mixin()._build_select_statement("person", use_internal_meta_tables=True))
    assert names[-1] == "_metadata" and len(names) == 8
    assert sorted(r[:7] for r in rows) == sorted(model_row(v) for v in VERSIONS)  # the orphan is not joined
    for r in rows:
        meta = metadata_of(r)
        assert list(meta) == [
            "next_version", "address", "object_id", "object_version", "prior_version",
            "class_schema_reference", "class_meta_schema_reference", "class_schema_type",
            "is_deleted", "created_at", "updated_at", "transaction",
        ]
        assert (meta["object_id"], meta["object_version"]) == (r[0], r[1])
        assert meta["next_version"] == NEXT.get((r[0], r[1]))
        assert meta["address"] == {"object_id": r[0], "object_version": r[1], "class_version": "1"}
        assert meta["class_schema_reference"] == {"s": 1} and meta["transaction"]["tx"] >= 0


def test_metadata_select_latest_versions(conn):
    m = Canned(conditions=(LATEST, []))
    _, rows = run(conn, m._build_select_statement("person", specifier(["name"]), COND, use_internal_meta_tables=True))
    assert sorted(r[0] for r in rows) == sorted(v[3] for v in expected_rows(is_latest))
    assert all(metadata_of(r)["next_version"] is None for r in rows)
    # without the selector every version is there
    _, rows = run(conn, Mixin()._build_select_statement("person", specifier(["name"]), use_internal_meta_tables=True))
    assert len(rows) == len(VERSIONS)


def test_metadata_select_where_order_page(conn):
    m = Canned(conditions=("t2.created_at >= ?", [101]))
    order_by = [OrderBy(field_name="age", direction=OrderDirection.DESC)]
    pair = m._build_select_statement(
        "person", specifier(["name", "age"]), COND, NumberPaginator(limit=3, offset=1), order_by,
        use_internal_meta_tables=True,
    )
    assert pair[1] == [101, 3, 1]
    _, rows = run(conn, pair)
    wanted = sorted(VERSIONS[1:], key=lambda v: -v[4])[1:4]
    assert [(r[0], r[1]) for r in rows] == [(v[4], v[3]) for v in wanted]


def test_metadata_select_distinct(conn):
    conn.execute("INSERT INTO person VALUES (?, ?, ?, ?, ?, ?, ?)", model_row(VERSIONS[5]))  # a duplicate row
    plain = Mixin()._build_select_statement("person", specifier(["age", "name"]), use_internal_meta_tables=True)
    distinct = Mixin()._build_select_statement("person", specifier(["age", "name"], ["age"]), use_internal_meta_tables=True)
    assert distinct[0].startswith("SELECT DISTINCT t1.age, t1.name, ")
    assert len(run(conn, plain)[1]) == len(VERSIONS) + 1
    _, rows = run(conn, distinct)
    assert sorted((r[0], r[1]) for r in rows) == sorted((v[4], v[3]) for v in VERSIONS)


# --------------------------------------------------------------------------- with real condition trees

class Host(Mixin):
    def __init__(self, conn):
        self.conn = conn

    def execute(self, sql, params=()):
        return self.conn.execute(sql, params)


def test_typical_read(conn):
    host = Host(conn)
    conditions = Q(
        Filter(field_name="age", lookup=Lookup.GT, value=18),
        Filter(field_name="name", lookup=Lookup.STARTSWITH, value="A"),
    )
    text, params = host._build_select_statement(
        "person", specifier(["name", "age"]), conditions, NumberPaginator(limit=10), use_internal_meta_tables=True
    )
    assert text == (
        "SELECT t1.age, t1.name, " + FIELD + " FROM 'person'" + JOIN
        + " WHERE t1.'age' > ? AND t1.'name' LIKE ? LIMIT ? OFFSET ?"
    )
    assert params == [18, "A%", 10, 0]
    _, rows = run(conn, (text, params))
    assert sorted((r[0], r[1], metadata_of(r)["object_version"]) for r in rows) == sorted(
        (v[4], v[3], v[1]) for v in VERSIONS if v[4] > 18 and v[3].startswith("A")
    )


LATEST_ONLY = Q(Filter(field_name="_address__object_version", value=Versions.LATEST))
ALL_VERSIONS = Q(Filter(field_name="_address__object_version", value=Versions.ALL))


@pytest.mark.parametrize("meta", [False, True])
@pytest.mark.parametrize(
    "conditions, predicate",
    [
        (LATEST_ONLY, is_latest),
        (ALL_VERSIONS, lambda v: True),
        (LATEST_ONLY & Q(age__lt=40), lambda v: is_latest(v) and v[4] < 40),
        (~LATEST_ONLY, lambda v: not is_latest(v)),
        (Q(Kind="A") | Q(age__gte=41), lambda v: v[5] == "A" or v[4] >= 41),
        (Q(data__n__gt=4), lambda v: v[6] is not None and v[6]["n"] > 4),
    ],
)
def test_version_selectors_and_trees_select_rows(conn, conditions, predicate, meta):
    pair = Host(conn)._build_select_statement(
        "person", specifier(["name", "age"]), conditions, None, [OrderBy(field_name="age")], use_internal_meta_tables=meta
    )
    names, rows = run(conn, pair)
    got = [(r[names.index("name")], r[names.index("age")]) for r in rows]
    # the plain path reads the model table alone, so the row without a version record is there too
    wanted = sorted(expected_rows(predicate, with_orphan=not meta), key=lambda v: v[4])
    assert got == [(v[3], v[4]) for v in wanted]


def test_metadata_fields_filter_and_order(conn):
    host = Host(conn)
    pair = host._build_select_statement(
        "person", specifier(["name"]), Q(_metadata__created_at__gte=102), None,
        [OrderBy(field_name="_metadata__created_at", direction=OrderDirection.DESC)],
        use_internal_meta_tables=True,
    )
    assert " ORDER BY t2.'created_at' DESC" in pair[0]
    _, rows = run(conn, pair)
    assert [metadata_of(r)["created_at"] for r in rows] == [105, 104, 103, 102]


@pytest.mark.parametrize(
    "meta, order_by, wanted",
    [
        # a nested JSON value orders as text: "1" < "10" < "2" < "5" < "7" < "9", NULL first
        (False, [OrderBy(field_name="data__n")], [None, 1, 10, 2, 5, 7, 9]),
        (True, [OrderBy(field_name="data__n")], [None, 1, 10, 2, 5, 9]),
        # the object version has no expression without the join: no term, the next item orders
        (False, [OrderBy(field_name="_address__object_version"), OrderBy(field_name="age")],
         [5, 10, 9, 2, 1, None, 7]),
        (False, [OrderBy(field_name="_address__object_version")], None),
        (True, [OrderBy(field_name="_address__object_id", direction=OrderDirection.DESC),
                OrderBy(field_name="_address__object_version", direction=OrderDirection.DESC)],
         [5, None, 1, 2, 9, 10]),
    ],
)
def test_nested_ordering_on_sqlite(conn, meta, order_by, wanted):
    text, params = Host(conn)._build_select_statement(
        "person", None, None, None, order_by, use_internal_meta_tables=meta
    )
    if wanted is None:
        assert "ORDER BY" not in text
        return
    _, rows = run(conn, (text, params))
    data_column = 6
    assert [None if r[data_column] is None else json.loads(r[data_column])["n"] for r in rows] == wanted
