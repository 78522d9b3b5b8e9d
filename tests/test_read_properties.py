"""Property tests of the whole read path: generated queries (condition trees with every supported
lookup, sub-trees, negation, queryable values and version selectors; orderings; pagination) are built
by the module, run on SQLite over generated rows, and must return exactly the rows that a plain-Python
evaluation of the same query selects from the same rows, in the same order when the query orders.

The Python evaluation follows the query's meaning under SQLite's rules wherever SQL gives a lookup a
meaning of its own. These are the places where a naive Python reading would differ:

- NULL: a comparison with NULL (a NULL column, a missing JSON key, or the value None) is unknown;
  NOT of unknown is unknown; AND/OR follow three-valued logic; only rows whose tree is true are
  selected. So EQ/NEQ with None select nothing, and NEQ x does not select rows whose column is NULL.
- EQ/NEQ with a bool compare with IS / IS NOT against 1 or 0: NULL IS NOT 1 is true.
- IN: x IN () is false even for a NULL x; an IN list holding None is unknown unless x matches another
  item. On a nested path the extracted value is cast to text (the list arrives as JSON text), so the
  items are compared as text: 1 matches 1 but not 1.0.
- LIKE (CONTAINS, STARTSWITH, ENDSWITH and their i-forms): ASCII letters match in either case, other
  letters only in their own case; "%" and "_" in the value are wildcards. The i-forms upper-case the
  value in Python (every letter, "ß" becomes "SS") and the column with SQLite's UPPER (ASCII only).
- Ordering: NULLs sort first ascending and last descending; a nested path orders by the text of the
  extracted value ("10" before "9").
- A filter on Versions.ALL adds nothing; a tree left without conditions selects every row.
"""
import json
import os
import re
import sqlite3

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from quarna_utils.models.enums import Versions
from quarna_utils.query.data_models.filter import Filter
from quarna_utils.query.data_models.order_by import OrderBy
from quarna_utils.query.data_models.paginator import NumberPaginator
from quarna_utils.query.enums import Lookup, OrderDirection
from quarna_utils.query.mixin import QueryableMixin
from quarna_utils.query.utils import ConnectorEnum, Q

from quarna_data.connections.implementations.mixins import sqlite_statements_mixin as mod

Mixin = mod.SqliteStatementsMixin
COLUMNS = "id INTEGER PRIMARY KEY, name TEXT, age INTEGER, score REAL, flag INTEGER, data json"


class Host(Mixin):
    def __init__(self, conn):
        self.conn = conn

    def execute(self, sql, params=()):
        return self.conn.execute(sql, params)


# --------------------------------------------------------------------------- generated data

ALPHABET = "aAbBzé\u00c9\u00df%_ "
texts = st.text(ALPHABET, max_size=4)
ints = st.integers(-3, 40)
floats = st.sampled_from([-1.5, 0.5, 1.0, 2.25, 10.0])
numbers = st.one_of(ints, floats)

rows_strategy = st.lists(
    st.fixed_dictionaries({
        "name": st.none() | texts,
        "age": st.none() | ints,
        "score": st.none() | numbers,
        "flag": st.none() | st.sampled_from([0, 1]),
        "data": st.none() | st.fixed_dictionaries({}, optional={"n": st.none() | ints, "s": st.none() | texts}),
    }),
    max_size=12,
)

COMPARE = [Lookup.EQ, Lookup.NEQ, Lookup.GT, Lookup.GTE, Lookup.LT, Lookup.LTE]
LIKE = [Lookup.CONTAINS, Lookup.ICONTAINS, Lookup.STARTSWITH, Lookup.ISTARTSWITH, Lookup.ENDSWITH,
        Lookup.IENDSWITH]


def leaf_for(field, kind):
    """Filters on one field, with values of the field's own type (mixed types compare by SQLite's type order)."""
    value = {"text": texts, "int": numbers, "real": numbers, "nint": ints}[kind]
    options = [
        st.builds(Filter, field_name=st.just(field), lookup=st.sampled_from(COMPARE), value=value | st.none()),
        st.builds(Filter, field_name=st.just(field), lookup=st.just(Lookup.IN),
                  value=st.lists((ints if kind == "nint" else value) | st.none(), max_size=3)),
        st.builds(Filter, field_name=st.just(field), lookup=st.just(Lookup.ISNULL), value=st.booleans()),
        st.builds(Filter, field_name=st.just(field), lookup=st.just(Lookup.EQ), value=st.just(Versions.ALL)),
    ]
    if kind == "text":
        options.append(st.builds(Filter, field_name=st.just(field), lookup=st.sampled_from(LIKE), value=texts))
    return st.one_of(options)


class Bound(QueryableMixin):
    """A queryable value: the tree it states for a prefix is a bound on the nested number."""

    def __init__(self, lookup, n):
        self.lookup, self.n = lookup, n

    def to_query(self, prefix=""):
        return Q(Filter(field_name=prefix + "n", lookup=self.lookup, value=self.n))


leaves = st.one_of(
    leaf_for("name", "text"),
    leaf_for("age", "int"),
    leaf_for("score", "real"),
    leaf_for("data__n", "nint"),
    leaf_for("data__s", "text"),
    st.builds(Filter, field_name=st.just("flag"), lookup=st.sampled_from([Lookup.EQ, Lookup.NEQ]),
              value=st.booleans()),
    st.builds(Filter, field_name=st.just("data"), lookup=st.sampled_from([Lookup.EQ, Lookup.NEQ]),
              value=st.builds(Bound, st.sampled_from(COMPARE), ints)),
)


def make_q(children, connector, negated):
    q = Q(*children, _connector=connector)
    return ~q if negated else q


trees = st.recursive(
    st.builds(make_q, st.lists(leaves, max_size=3), st.sampled_from(list(ConnectorEnum)), st.booleans()),
    lambda inner: st.builds(make_q, st.lists(inner | leaves, min_size=1, max_size=3),
                            st.sampled_from(list(ConnectorEnum)), st.booleans()),
    max_leaves=8,
)

orderings = st.lists(
    st.builds(OrderBy, field_name=st.sampled_from(["name", "age", "score", "flag", "data__n", "data__s"]),
              direction=st.sampled_from(list(OrderDirection))),
    max_size=3,
)
pages = st.none() | st.builds(NumberPaginator, limit=st.none() | st.integers(0, 5), offset=st.none() | st.integers(0, 4))


# --------------------------------------------------------------------------- the Python evaluation

ABSENT = object()  # a child that adds nothing to the WHERE clause


def sqlite_upper(text):
    return "".join(c.upper() if c.isascii() else c for c in text)


def like(text, pattern):
    """SQLite's default LIKE: % and _ wildcards, case folded for ASCII letters only."""
    regex = "".join(
        ".*" if c == "%" else "." if c == "_" else f"[{c.lower()}{c.upper()}]" if c.isascii() and c.isalpha()
        else re.escape(c)
        for c in pattern
    )
    return re.fullmatch(regex, text, re.DOTALL) is not None


def sql_text(value):
    return str(value)  # the ints and texts of the generated data read as SQLite writes them


META_PATHS = ("_address__", "_metadata__")


def column(row, field):
    if field == "_address__object_id":
        return row["partition_key"]
    if field == "_address__object_version":
        return row["range_key"]
    if field.startswith("_metadata__"):
        return row["meta"][field[len("_metadata__"):]]
    if "__" in field:
        head, key = field.split("__", 1)
        data = row[head]
        return None if data is None else data.get(key)
    return row[field]


def not3(v):
    return None if v is None else not v


def and3(values):
    return False if False in values else None if None in values else True


def or3(values):
    return True if True in values else None if None in values else False


def eval_leaf(f, row):
    value, lookup = f.value, f.lookup
    if isinstance(value, Versions) and value == Versions.ALL:
        return ABSENT
    if isinstance(value, QueryableMixin):
        sub = value.to_query(prefix=f.field_name + "__")
        return eval_tree(~sub if lookup == Lookup.NEQ else sub, row)
    if f.field_name == "_address__object_version" and value == Versions.LATEST:
        return row["meta"]["next_version"] in (None, "")  # the latest version, whatever the lookup
    col = column(row, f.field_name)
    nested = "__" in f.field_name and not f.field_name.startswith(META_PATHS)
    if lookup is Lookup.ISNULL:
        return (col is None) if value else (col is not None)
    if lookup in (Lookup.EQ, Lookup.NEQ) and isinstance(value, bool):
        same = col is not None and col == int(value)
        return same if lookup is Lookup.EQ else not same
    if lookup is Lookup.IN:
        if not value:
            return False
        if col is None:
            return None
        items = [v for v in value if v is not None]
        if nested:
            hit = sql_text(col) in [sql_text(v) for v in items]
        else:
            hit = any(col == v for v in items)
        return True if hit else (None if len(items) < len(value) else False)
    if col is None or value is None:
        return None
    if lookup in LIKE:
        pattern = {"CONTAINS": "%{}%", "STARTSWITH": "{}%", "ENDSWITH": "%{}"}[lookup.name.lstrip("I")]
        if lookup.name.startswith("I"):
            return like(sqlite_upper(col), pattern.format(str(value).upper()))
        return like(col, pattern.format(value))
    return {
        Lookup.EQ: col == value, Lookup.NEQ: col != value, Lookup.GT: col > value, Lookup.GTE: col >= value,
        Lookup.LT: col < value, Lookup.LTE: col <= value,
    }[lookup]


def eval_tree(q, row):
    values = [eval_tree(c, row) if isinstance(c, Q) else eval_leaf(c, row) for c in q.children]
    values = [v for v in values if v is not ABSENT]
    if not values:
        return ABSENT
    result = and3(values) if q.connector == ConnectorEnum.AND else or3(values)
    return not3(result) if q.negated else result


def order_key(field, row):
    value = column(row, field)
    if value is not None and "__" in field and not field.startswith(META_PATHS):
        value = sql_text(value)  # nested paths order by the extracted value's text
    return (value is not None, value)


def expected_ids(rows, conditions, order_by, page):
    selected = []
    for row in rows:
        verdict = eval_tree(conditions, row) if conditions else ABSENT
        if verdict is ABSENT or verdict is True:
            selected.append(row)
    ordered = bool(order_by)
    if ordered:
        selected.sort(key=lambda r: r["id"] if "id" in r else (r["partition_key"], r["range_key"]))
        for item in reversed(order_by):
            selected.sort(key=lambda r: order_key(item.field_name, r), reverse=item.direction != OrderDirection.ASC)
    if page is not None and page.limit is not None:
        start = page.offset or 0
        selected = selected[start:start + page.limit]
    return [r["id"] if "id" in r else (r["partition_key"], r["range_key"]) for r in selected], ordered


# --------------------------------------------------------------------------- the properties


def load(rows):
    conn = sqlite3.connect(":memory:")
    conn.execute(f"CREATE TABLE person ({COLUMNS})")
    host = Host(conn)
    for i, row in enumerate(rows):
        row["id"] = i
    if rows:
        conn.execute(*host._build_bulk_insert_statement("person", rows))
    return host


# QUARNA_PROPERTY_EXAMPLES=5000 for a long run by hand.
SETTINGS = settings(max_examples=int(os.environ.get("QUARNA_PROPERTY_EXAMPLES", "100")), deadline=None,
                    suppress_health_check=[HealthCheck.too_slow])


@SETTINGS
@given(rows=rows_strategy, conditions=trees, order_by=orderings, page=pages)
def test_select_returns_the_rows_the_query_selects(rows, conditions, order_by, page):
    host = load(rows)
    # A stable order under pagination: the unique id breaks every tie.
    if page is not None and page.limit is not None:
        order_by = order_by + [OrderBy(field_name="id")]
    sql, params = host._build_select_statement("person", None, conditions, page, order_by)
    got = [r[0] for r in host.conn.execute(sql, params)]
    want, ordered = expected_ids(rows, conditions, order_by, page)
    if ordered:
        assert got == want, (sql, params)
    else:
        assert sorted(got) == sorted(want), (sql, params)


@SETTINGS
@given(rows=rows_strategy, conditions=trees)
def test_count_counts_the_rows_the_query_selects(rows, conditions):
    host = load(rows)
    sql, params = host._build_count_statement("person", conditions)
    want, _ = expected_ids(rows, conditions, [], None)
    assert host.conn.execute(sql, params).fetchone() == (len(want),)


@SETTINGS
@given(rows=rows_strategy, conditions=trees)
def test_a_tree_and_its_negation_split_the_rows_without_nulls(rows, conditions):
    """Where the tree is never unknown, it and its negation select complementary rows."""
    host = load(rows)
    verdicts = [eval_tree(conditions, r) for r in rows]
    if None in verdicts or ABSENT in verdicts:
        return
    selected = set()
    for tree in (conditions, ~conditions):
        sql, params = host._build_select_statement("person", None, tree)
        ids = {r[0] for r in host.conn.execute(sql, params)}
        assert not ids & selected
        selected |= ids
    assert selected == set(range(len(rows)))


# --------------------------------------------------------------------------- the documented differences


@pytest.mark.parametrize(
    "lookup, value, names",
    [
        (Lookup.CONTAINS, "a", ["a", "A", "ab", "a_"]),  # ASCII letters match in either case
        (Lookup.CONTAINS, "é", ["é"]),  # other letters in their own case only
        (Lookup.STARTSWITH, "a_", ["ab", "a_"]),  # "_" is a wildcard
        (Lookup.ICONTAINS, "é", []),  # UPPER(name) keeps é, the value becomes É
        (Lookup.ICONTAINS, "ß", []),  # the value becomes SS
        (Lookup.NEQ, "a", ["A", "b", "é", "ab", "a_"]),  # NULL is not selected by NEQ
    ],
)
def test_documented_sql_semantics(lookup, value, names):
    rows = [{"name": n} for n in ["a", "A", "b", "é", "ab", "a_", None]]
    host = load([dict(r, age=None, score=None, flag=None, data=None) for r in rows])
    sql, params = host._build_select_statement("person", None, Q(Filter(field_name="name", lookup=lookup, value=value)))
    assert sorted(r[1] for r in host.conn.execute(sql, params)) == sorted(names)


def test_nested_in_compares_text():
    host = load([{"name": None, "age": None, "score": None, "flag": None, "data": {"n": 1}}])
    for value, hits in (([1], 1), ([1.0], 0), (["1"], 1)):
        sql, params = host._build_select_statement("person", None, Q(data__n__in=value))
        assert len(host.conn.execute(sql, params).fetchall()) == hits, value


# --------------------------------------------------------------------------- the metadata join

MODEL = "partition_key TEXT, range_key TEXT, _metadata json, name TEXT, age INTEGER"
METADATA = ("object_id TEXT, object_version TEXT, prior_version TEXT, address json, class_schema_reference json,"
            ' class_meta_schema_reference json, class_schema_type TEXT, is_deleted INTEGER, created_at INTEGER,'
            ' updated_at INTEGER, "transaction" json')


@st.composite
def versioned(draw):
    """Objects with chains of versions; some versions have no model row, some rows no record."""
    rows, records = [], []
    for o in range(draw(st.integers(0, 4))):
        oid = f"p{o}"
        prior = None
        for v in range(1, draw(st.integers(1, 3)) + 1):
            version = str(v)
            has_record, has_row = draw(st.sampled_from([(True, True), (True, True), (True, False), (False, True)]))
            if has_record:
                records.append({
                    "object_id": oid, "object_version": version, "prior_version": prior,
                    "address": json.dumps({"object_id": oid, "object_version": version, "class_version": "1"}),
                    "class_schema_reference": None, "class_meta_schema_reference": None,
                    "class_schema_type": draw(st.sampled_from(["A", "B"])),
                    "is_deleted": draw(st.sampled_from([0, 1])), "created_at": draw(st.integers(0, 9)),
                    "updated_at": None, "transaction": json.dumps({"id": draw(st.integers(0, 3))}),
                })
                prior = version
            if has_row:
                rows.append({"partition_key": oid, "range_key": version, "name": draw(st.none() | texts),
                             "age": draw(st.none() | ints)})
    return rows, records


meta_leaves = st.one_of(
    leaf_for("name", "text"),
    leaf_for("age", "int"),
    st.builds(Filter, field_name=st.just("_address__object_id"), lookup=st.sampled_from([Lookup.EQ, Lookup.NEQ]),
              value=st.sampled_from(["p0", "p1", "p2"])),
    st.builds(Filter, field_name=st.just("_address__object_version"), lookup=st.just(Lookup.EQ),
              value=st.sampled_from([Versions.LATEST, Versions.ALL, "1", "2"])),
    st.builds(Filter, field_name=st.just("_metadata__is_deleted"), lookup=st.just(Lookup.EQ), value=st.booleans()),
    st.builds(Filter, field_name=st.just("_metadata__created_at"), lookup=st.sampled_from(COMPARE), value=ints),
    st.builds(Filter, field_name=st.just("_metadata__class_schema_type"), lookup=st.just(Lookup.IN),
              value=st.lists(st.sampled_from(["A", "B", "C"]), max_size=2)),
    st.builds(Filter, field_name=st.just("_metadata__next_version"), lookup=st.just(Lookup.ISNULL),
              value=st.booleans()),
)
meta_trees = st.recursive(
    st.builds(make_q, st.lists(meta_leaves, max_size=3), st.sampled_from(list(ConnectorEnum)), st.booleans()),
    lambda inner: st.builds(make_q, st.lists(inner | meta_leaves, min_size=1, max_size=3),
                            st.sampled_from(list(ConnectorEnum)), st.booleans()),
    max_leaves=6,
)
meta_orderings = st.lists(
    st.builds(OrderBy, field_name=st.sampled_from(["name", "age", "_metadata__created_at"]),
              direction=st.sampled_from(list(OrderDirection))),
    max_size=2,
)


def joined(rows, records):
    """The model rows that have a version record, each with that record and its next version."""
    by_key = {(r["object_id"], r["object_version"]): r for r in records}
    out = []
    for row in rows:
        record = by_key.get((row["partition_key"], row["range_key"]))
        if record is None:
            continue
        following = [r["object_version"] for r in records
                     if r["object_id"] == record["object_id"] and r["prior_version"] == record["object_version"]]
        out.append(dict(row, meta=dict(record, next_version=following[0] if following else None)))
    return out


@SETTINGS
@given(data=versioned(), conditions=meta_trees, order_by=meta_orderings, page=pages)
def test_metadata_select_returns_the_joined_rows_the_query_selects(data, conditions, order_by, page):
    rows, records = data
    conn = sqlite3.connect(":memory:")
    conn.execute(f"CREATE TABLE person ({MODEL})")
    conn.execute(f"CREATE TABLE metadata ({METADATA})")
    host = Host(conn)
    for table, items in (("person", rows), ("metadata", records)):
        if items:
            conn.execute(*host._build_bulk_insert_statement(table, items))
    order_by = order_by + [OrderBy(field_name="partition_key"), OrderBy(field_name="range_key")]
    sql, params = host._build_select_statement("person", None, conditions, page, order_by,
                                               use_internal_meta_tables=True)
    cursor = conn.execute(sql, params)
    names = [c[0] for c in cursor.description]
    description = host._describe_table("person")
    got = [host._process_result("person", dict(zip(names, r)), description) for r in cursor]

    everything = joined(rows, records)
    selected = [r for r in everything if eval_tree(conditions, r) in (True, ABSENT)] if conditions else everything
    want, _ = expected_ids(selected, None, order_by, page)
    assert [(r["_object_id"], r["_object_version"]) for r in got] == want, (sql, params)
    for record in got:
        expected = next(r for r in everything if (r["partition_key"], r["range_key"]) ==
                        (record["_object_id"], record["_object_version"]))["meta"]
        meta = record["_metadata"]
        assert meta["next_version"] == expected["next_version"]
        assert meta["address"] == json.loads(expected["address"]) and meta["transaction"] == json.loads(
            expected["transaction"])

    sql, params = host._build_count_statement("person", conditions, use_internal_meta_tables=True)
    assert conn.execute(sql, params).fetchone() == (len(selected),)
