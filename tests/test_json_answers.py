"""The connection's answers on JSON paths against the same query evaluated in Python.

Generated rows hold JSON values of every kind at keys with dots, blanks and non-ASCII text
(numbers, integral floats, text that spells numbers, booleans, lists, dicts, nulls, missing
keys), in a json column of a plain table and as fields of a model table read with and without
the version join; generated condition trees over those paths are answered by the connection
and by ``evaluate`` below, which states what a filter on a JSON path means:

- a missing key and a JSON null are NULL: every comparison with them is unknown, ``isnull`` is
  true for both; NOT of unknown is unknown, AND/OR follow three-valued logic;
- ``eq``: same kind and equal (numbers by value, 2 == 2.0; lists and dicts as JSON values, so
  true is not 1 inside them either); a value of another kind is not equal; ``neq`` is NOT ``eq``;
- ``eq``/``neq`` with a boolean are two-valued (IS): only a JSON boolean equals it;
- ``gt``/``lt``/...: numbers with numbers, text with text (by code point), false across kinds;
- ``in``: ``eq`` item by item, OR-ed; an empty list is false; a None item is unknown;
- the LIKE lookups: JSON strings only, ``%``/``_`` as wildcards, case-sensitive (the i-forms upper-case
  both sides as ``str.upper``);
- ordering: NULL first, then numbers (booleans as 1 and 0), then text, as SQLite orders values.

One property test, fixed seed, ``QUARNA_PROPERTY_EXAMPLES`` examples (300 by default), each
checking a select, a count and an ordered select of the same tree.
"""
import itertools
import math
import os
import re

from hypothesis import HealthCheck, given, seed, settings
from hypothesis import strategies as st
from quarna_utils.query.data_models.filter import Filter
from quarna_utils.query.enums import Lookup, OrderDirection
from quarna_utils.query.utils import ConnectorEnum, Q

from quarna_data.connections.sqlite import SqliteConnection, order

KEYS = ["k", "a.b", "zoë name", "n"]
SCALARS = [0, 1, 2, 9, -3, 2.0, 9.5, -0.5, 1e20, "9", "2", "x", "X", "ab", "ça", "", "[1]", True, False, None]
ALPHABET = "abxXç9%_ "

scalars = st.sampled_from(SCALARS) | st.text(ALPHABET, max_size=3) | st.integers(-5, 12)
json_values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=2)
                           | st.dictionaries(st.sampled_from(["p", "q"]), inner, max_size=2), max_leaves=3)
documents = st.dictionaries(st.sampled_from(KEYS), json_values, max_size=4)
nested_documents = st.dictionaries(st.sampled_from(["k", "sub"]),
                                   json_values | st.dictionaries(st.sampled_from(KEYS), json_values, max_size=2),
                                   max_size=2)

COMPARE = [Lookup.EQ, Lookup.NEQ, Lookup.GT, Lookup.GTE, Lookup.LT, Lookup.LTE]
LIKE = [Lookup.CONTAINS, Lookup.ICONTAINS, Lookup.STARTSWITH, Lookup.ISTARTSWITH, Lookup.ENDSWITH,
        Lookup.IENDSWITH]
PATHS = [("data", [k]) for k in KEYS] + [("deep", ["sub", k]) for k in KEYS[:2]] + [("deep", ["k"])]


def field(path):
    column, keys = path
    return column + "__" + "__".join(keys)


order_values = st.sampled_from([0, 2, 9, 9.5, -3, 2.0, "9", "x", "ab", ""]) | st.integers(-5, 12)
eq_values = json_values
paths = st.sampled_from(PATHS)


@st.composite
def leaves(draw):
    path = draw(paths)
    kind = draw(st.sampled_from(["eq", "order", "in", "like", "isnull"]))
    if kind == "eq":
        lookup, value = draw(st.sampled_from([Lookup.EQ, Lookup.NEQ])), draw(eq_values)
    elif kind == "order":
        lookup, value = draw(st.sampled_from(COMPARE[2:])), draw(order_values)
    elif kind == "in":
        lookup, value = Lookup.IN, draw(st.lists(json_values, max_size=3))
    elif kind == "like":
        lookup, value = draw(st.sampled_from(LIKE)), draw(st.text(ALPHABET, max_size=2) | st.integers(0, 9))
    else:
        lookup, value = Lookup.ISNULL, draw(st.booleans())
    return Filter(field_name=field(path), lookup=lookup, value=value)


def make_q(children, connector, negated):
    q = Q(*children, _connector=connector)
    return ~q if negated else q


trees = st.recursive(
    st.builds(make_q, st.lists(leaves(), min_size=1, max_size=3), st.sampled_from(list(ConnectorEnum)),
              st.booleans()),
    lambda inner: st.builds(make_q, st.lists(inner | leaves(), min_size=1, max_size=3),
                            st.sampled_from(list(ConnectorEnum)), st.booleans()),
    max_leaves=6,
)


# --------------------------------------------------------------------------- the Python evaluation

MISSING = object()


def found(row, path):
    column, keys = path
    value = row.get(column, MISSING)
    for key in keys:
        if not isinstance(value, dict) or key not in value:
            return MISSING
        value = value[key]
    return value


def kind(value):
    if isinstance(value, bool):
        return "bool"
    if isinstance(value, (int, float)):
        return "number"
    return {str: "text", list: "list", dict: "dict"}.get(type(value), "none")


def json_equal(a, b):
    if kind(a) != kind(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(json_equal(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(json_equal(a[k], b[k]) for k in a)
    return a == b


def like(text, pattern):
    """LIKE on the connection's databases: % and _ wildcards, case-sensitive."""
    regex = "".join(".*" if c == "%" else "." if c == "_" else re.escape(c) for c in pattern)
    return re.fullmatch(regex, text, re.DOTALL) is not None


def eq3(j, v):
    if isinstance(v, bool):
        return j is v
    if j is MISSING or j is None or v is None:
        return None
    return json_equal(j, v)


def evaluate_leaf(f, row):
    column, _, rest = f.field_name.partition("__")
    j = found(row, (column, rest.split("__")))
    v, lookup = f.value, f.lookup
    if lookup == Lookup.ISNULL:
        return (j is MISSING or j is None) == v
    if lookup == Lookup.EQ:
        return eq3(j, v)
    if lookup == Lookup.NEQ:
        same = eq3(j, v)
        return None if same is None else not same
    if lookup == Lookup.IN:
        return or3([eq3(j, item) for item in v]) if v else False
    if j is MISSING or j is None:
        return None
    if lookup in LIKE:
        if kind(j) != "text":
            return False
        pattern = {"CONTAINS": "%{}%", "STARTSWITH": "{}%", "ENDSWITH": "%{}"}[lookup.name.lstrip("I")]
        if lookup.name.startswith("I"):
            return like(j.upper(), pattern.format(str(v).upper()))
        return like(j, pattern.format(v))
    if kind(j) != kind(v):
        return False
    return {Lookup.GT: j > v, Lookup.GTE: j >= v, Lookup.LT: j < v, Lookup.LTE: j <= v}[lookup]


def and3(values):
    return False if False in values else None if None in values else True


def or3(values):
    return True if True in values else None if None in values else False


def evaluate(q, row):
    values = [evaluate(c, row) if isinstance(c, Q) else evaluate_leaf(c, row) for c in q.children]
    result = and3(values) if q.connector == ConnectorEnum.AND else or3(values)
    return (None if result is None else not result) if q.negated else result


def order_key(value):
    """SQLite's order of the extracted values: NULL, numbers, text (lists and dicts as their text)."""
    if value is MISSING or value is None:
        return (0, 0)
    if isinstance(value, (bool, int, float)):
        return (1, float(value) if isinstance(value, float) else int(value))
    if isinstance(value, str):
        return (2, value)
    return (3, None)  # lists and dicts: not ordered here


# --------------------------------------------------------------------------- the property

SETTINGS = settings(max_examples=int(os.environ.get("QUARNA_PROPERTY_EXAMPLES", "300")), deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large], database=None)


def stored(tmp_rows):
    plain = SqliteConnection()
    plain.create_table("doc", {"id": "integer", "data": "json", "deep": "json"})
    plain.bulk_insert("doc", [dict(r, id=i) for i, r in enumerate(tmp_rows)])
    model = SqliteConnection()
    model.create_model_table("doc", {"id": "integer", "data": "json", "deep": "json"})
    model.bulk_save("doc", [(f"o{i}", dict(r, id=i)) for i, r in enumerate(tmp_rows)])
    return plain, model


def row_of(document, deep):
    row = {}
    if document is not None:
        row["data"] = document
    if deep is not None:
        row["deep"] = deep
    return row


@seed(20240521)
@SETTINGS
@given(rows=st.lists(st.builds(row_of, st.none() | documents, st.none() | nested_documents), max_size=10),
       conditions=trees, path=paths, direction=st.sampled_from(list(OrderDirection)))
def test_json_paths_answer_what_python_evaluates(rows, conditions, path, direction):
    want = [i for i, row in enumerate(rows) if evaluate(conditions, row) is True]
    plain, model = stored(rows)
    for conn, meta in ((plain, False), (model, False), (model, True)):
        got = sorted(r["id"] for r in conn.select("doc", conditions, meta=meta))
        assert got == want, conn.select_statement("doc", conditions, meta=meta)
        assert conn.count("doc", conditions, meta=meta) == len(want)
    # Ordering by a path: every key kind but lists and dicts, whose text SQLite writes itself.
    keys = {i: order_key(found(row, path)) for i, row in enumerate(rows)}
    if any(k[0] == 3 for k in keys.values()):
        return
    expected = sorted(keys, key=lambda i: (keys[i], i), reverse=direction != OrderDirection.ASC)
    for conn, meta in ((plain, False), (model, True)):
        got = [r["id"] for r in conn.select("doc", order_by=[order(("-" if direction != OrderDirection.ASC
                                                                     else "") + field(path)),
                                                             order("id" if direction == OrderDirection.ASC
                                                                   else "-id")], meta=meta)]
        assert got == expected


def test_version_record_orders_the_same_with_and_without_the_join():
    conn = SqliteConnection(clock=itertools.chain([5, 10, 9, 100], itertools.repeat(200)).__next__)
    conn.create_model_table("doc", {"id": "integer"})
    for i in range(4):
        conn.save("doc", f"o{i}", {"id": i})
    by = [order("-_metadata__created_at"), order("id")]
    assert [r["id"] for r in conn.select("doc", order_by=by)] == [3, 1, 2, 0]
    assert [r["id"] for r in conn.select("doc", order_by=by, meta=True)] == [3, 1, 2, 0]
    assert math.isfinite(conn.select("doc")[0]["_metadata"]["created_at"])
