import json
import sqlite3

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from quarna_utils.models.enums import Versions
from quarna_utils.query.data_models.filter import Filter
from quarna_utils.query.enums import Lookup as L
from quarna_utils.query.mixin import QueryableMixin
from quarna_utils.query.utils import ConnectorEnum, Q

from quarna_data.connections.implementations.mixins import sqlite_statements_mixin as mod

Mixin = mod.SqliteStatementsMixin
AND, OR = ConnectorEnum.AND, ConnectorEnum.OR


class Echo(Mixin):
    """Every leaf states its own pair: the field name is the text, the value what to bind."""

    def _get_filter_statement(self, table_name, filter_item, **kwargs):
        return filter_item.field_name, filter_item.value


def leaf(text, bound):
    return Filter(field_name=text, value=bound)


a, b, c, z = leaf("A", 1), leaf("B", [2, 3]), leaf("C", mod.NoValue), leaf("", None)


def q(*children, connector=AND, negated=False):
    return Q(*children, _connector=connector, _negated=negated)


@pytest.mark.parametrize(
    "tree, grouped, expected",
    [
        (q(a, b), False, ("A AND B", [1, 2, 3])),
        (q(a, b), True, ("(A AND B)", [1, 2, 3])),
        (q(z, a, z, c, connector=OR), False, ("A OR C", [1])),
        (q(a, q(b, c, connector=OR)), False, ("A AND (B OR C)", [1, 2, 3])),
        (q(a, b, negated=True), False, ("NOT (A AND B)", [1, 2, 3])),
        (q(a, q(b, c, connector=OR, negated=True)), False, ("A AND NOT ((B OR C))", [1, 2, 3])),
        (q(z), True, ("", [])),
        (q(z, q(z)), False, ("", [])),
        (q(), False, ("", [])),
        (q(), True, ("", [])),
        (q(negated=True), False, ("", [])),
        (q(negated=True), True, ("", [])),
        (q(z, negated=True), True, ("", [])),
        # without grouping a tree of empty children is no condition either, never "NOT ()"
        (q(z, negated=True), False, ("", [])),
        (q(z, q(z), negated=True), False, ("", [])),
        (q(q(q(a))), False, ("((A))", [1])),
        (q(leaf("X", None), leaf("Y", (1, 2)), leaf("W", type("L", (list,), {})([4]))), False,
         ("X AND Y AND W", [None, (1, 2), 4])),
    ],
)
def test_tree_shapes(tree, grouped, expected):
    result = Echo()._get_conditions_statement("t", tree, is_grouped=grouped)
    assert type(result) is tuple and result == expected and type(result[1]) is list


def test_parameters_are_a_new_list_and_flags_are_handed_down():
    seen = []

    class Rec(Echo):
        def _get_filter_statement(self, table_name, filter_item, **kwargs):
            seen.append((table_name, kwargs))
            return super()._get_filter_statement(table_name, filter_item)

    m = Rec()
    assert m._get_conditions_statement("t", q())[1] is not m._get_conditions_statement("t", q())[1]
    sub = q(a)
    params = m._get_conditions_statement("t", q(sub), is_internal_table=True)[1]
    assert params == [1] and params is not m._get_conditions_statement("t", sub)[1]
    assert seen[0] == ("t", {"is_internal_table": True, "use_internal_meta_tables": False})


@pytest.mark.parametrize("children, fails", [([a, b], True), ([a, z], True), ([z, a], False), ([a], False)])
def test_unknown_connector_fails_only_when_written(children, fails):
    tree = q(*children)
    tree.connector = "XOR"
    if fails:
        with pytest.raises(KeyError, match="XOR"):
            Echo()._get_conditions_statement("t", tree)
    else:
        assert Echo()._get_conditions_statement("t", tree)[0] == "A"
    tree = q(a, b)
    tree.connector = "OR"  # equal to the member: found as a key
    assert Echo()._get_conditions_statement("t", tree)[0] == "A OR B"


class Boom(Exception):
    pass


class Raises:
    def __init__(self, what):
        self.what = what

    def __bool__(self):
        raise Boom("bool")

    def __hash__(self):
        raise Boom("hash")


@pytest.mark.parametrize(
    "pair, error, message",
    [
        (("x", 1, 2), ValueError, r"^too many values to unpack \(expected 2\)$"),
        (("x",), ValueError, r"^need more than 1 value to unpack$"),
        (None, TypeError, "not iterable"),
        ((5, 1), TypeError, r'^can only concatenate str \(not "int"\) to str$'),
        ((Raises("x"), 1), Boom, "bool"),
    ],
)
def test_bad_leaf_results(pair, error, message):
    class Bad(Mixin):
        def _get_filter_statement(self, *args, **kwargs):
            return pair

    with pytest.raises(error, match=message):
        Bad()._get_conditions_statement("t", q(a))


def test_hostile_tree_attributes():
    tree = q(a, b)
    tree.connector = Raises("c")
    with pytest.raises(Boom, match="hash"):
        Echo()._get_conditions_statement("t", tree)
    tree.children = Raises("children")
    with pytest.raises(Boom, match="bool"):
        Echo()._get_conditions_statement("t", tree)


def test_children_changed_while_read():
    tree = q(a, leaf("M", 2), b, c)

    class Mutating(Echo):
        def _get_filter_statement(self, table_name, filter_item, **kwargs):
            if filter_item.field_name == "M":
                tree.children.clear()  # the item being built is dropped by the list
            return super()._get_filter_statement(table_name, filter_item)

    assert Mutating()._get_conditions_statement("t", tree) == ("A AND M", [1, 2])
    tree = q(a, leaf("M", 2))

    class Growing(Echo):
        def _get_filter_statement(self, table_name, filter_item, **kwargs):
            if len(tree.children) < 5:
                tree.children.append(leaf("N", 3))
            return super()._get_filter_statement(table_name, filter_item)

    assert Growing()._get_conditions_statement("t", tree) == ("A AND M AND N AND N AND N", [1, 2, 3, 3, 3])

    class Shrinking(list):
        def __iter__(self):
            while self:
                yield self.pop(0)

    tree = q(leaf("S", Shrinking([1, 2, 3])))
    tree.children = iter([tree.children[0], a])  # any iterable of children
    assert Echo()._get_conditions_statement("t", tree) == ("S AND A", [1, 2, 3, 1])


def test_deep_trees_raise_recursion_error():
    tree = q(a)
    for _ in range(100_000):
        tree = q(tree)
    with pytest.raises(RecursionError):
        Echo()._get_conditions_statement("t", tree)

    class Loop(QueryableMixin):
        def to_query(self, prefix=""):
            return Q(**{prefix + "x": self})

    with pytest.raises(RecursionError):
        Echo()._get_conditions_statement("t", Q(x=Loop()))
    assert Echo()._get_conditions_statement("t", q(q(a))) == ("(A)", [1])


# -- on SQLite ---------------------------------------------------------------

ITEMS = [
    (1, "Ann", 3, {"k": 1, "s": "red"}, {"name": "Ann", "age": 30}),
    (2, "bob", 7, {"k": 5, "s": "Blue"}, {"name": "Bo", "age": 41}),
    (3, "Cleo", 10, {"k": 9, "s": "green"}, {"name": "Ann", "age": 22}),
    (4, "Dora", 0, {"k": 5, "s": "bLUE"}, {"name": "Cy", "age": 30}),
    (5, "ed", 7, {"k": -2, "s": "a'b"}, {"name": "Ann", "age": 55}),
]


class Host(Mixin):
    def __init__(self):
        self.conn = sqlite3.connect(":memory:")
        self.conn.execute("CREATE TABLE item (id INTEGER, name TEXT, n INTEGER, data json, author json)")
        self.conn.executemany("INSERT INTO item VALUES (?, ?, ?, ?, ?)",
                              [(i, nm, n, json.dumps(d), json.dumps(au)) for i, nm, n, d, au in ITEMS])

    def execute(self, sql, params=()):
        return self.conn.execute(sql, params)

    def where(self, tree):
        text, params = self._get_conditions_statement("item", tree)
        assert text.count("?") == len(params)
        sql = "SELECT id FROM item" + (f" WHERE {text}" if text else "")
        return {r[0] for r in self.conn.execute(sql, params)}


HOST = Host()


class Author(QueryableMixin):
    def __init__(self, name, age):
        self.name, self.age = name, age

    def to_query(self, prefix=""):
        return Q(**{f"{prefix}name": self.name, f"{prefix}age__gte": self.age})


def row_value(row, path):
    head, *keys = path.split("__")
    v = {"id": row[0], "name": row[1], "n": row[2], "data": row[3], "author": row[4]}[head]
    for k in keys:
        v = v[k]
    return v


def holds(row, f):
    if isinstance(f.value, Author):
        sub = f.value.to_query(prefix=f.field_name + "__")
        r = evaluate(row, ~sub if f.lookup is L.NEQ else sub)
        return None if r is None else r
    if isinstance(f.value, Versions) and f.value == Versions.ALL:
        return None
    c, v = row_value(row, f.field_name), f.value
    low = str(c).lower(), str(v).lower()
    return {
        L.EQ: lambda: c == v, L.NEQ: lambda: c != v, L.GT: lambda: c > v, L.GTE: lambda: c >= v,
        L.LT: lambda: c < v, L.LTE: lambda: c <= v, L.IN: lambda: c in v, L.ISNULL: lambda: not v,
        L.CONTAINS: lambda: low[1] in low[0], L.ICONTAINS: lambda: low[1] in low[0],
        L.STARTSWITH: lambda: low[0].startswith(low[1]), L.ISTARTSWITH: lambda: low[0].startswith(low[1]),
        L.ENDSWITH: lambda: low[0].endswith(low[1]), L.IENDSWITH: lambda: low[0].endswith(low[1]),
    }[f.lookup]()


def evaluate(row, tree):
    """Two-valued evaluation (the rows hold no NULLs); None: the tree adds no condition."""
    parts = [evaluate(row, ch) if isinstance(ch, Q) else holds(row, ch) for ch in tree.children]
    parts = [p for p in parts if p is not None]
    if not parts:
        return None
    r = all(parts) if tree.connector is AND else any(parts)
    return not r if tree.negated else r


def selected(tree):
    return {row[0] for row in ITEMS if evaluate(row, tree) is not False}


F = Filter
TREES = [
    q(F(field_name="n", lookup=L.GT, value=5), F(field_name="data__s", lookup=L.ICONTAINS, value="blue")),
    q(q(F(field_name="name", lookup=L.STARTSWITH, value="a"), F(field_name="n", lookup=L.IN, value=[0, 10]), connector=OR),
      q(F(field_name="data__k", lookup=L.LTE, value=5), negated=True), connector=OR, negated=True),
    q(F(field_name="name", value=Versions.ALL), q(F(field_name="data__s", value=Versions.ALL)),
      F(field_name="data__s", lookup=L.EQ, value="a'b"), connector=OR),
    q(F(field_name="name", value=Versions.ALL), negated=True),
    q(F(field_name="author", value=Author("Ann", 25))),
    q(F(field_name="author", lookup=L.NEQ, value=Author("Ann", 25)), F(field_name="n", lookup=L.NEQ, value=0)),
    q(F(field_name="data__k", lookup=L.ISNULL, value=False), q(q(q(F(field_name="id", lookup=L.LT, value=4)),
                                                                 negated=True), connector=OR)),
]


@pytest.mark.parametrize("tree", TREES)
def test_trees_select_the_right_rows(tree):
    assert HOST.where(tree) == selected(tree)
    assert HOST.where(~tree) == selected(~tree)


def test_queryable_prefix_uses_the_mapped_field():
    class Mapped(Host):
        def _fields_map(self, table_name, field_name, class_version):
            return "author" if field_name == "writer" else field_name

    text, params = Mapped()._get_conditions_statement("item", q(F(field_name="writer", lookup=L.NEQ, value=Author("Bo", 1))))
    assert text == ("NOT ((cast(json_extract(author, '$.name') as text) = ? AND "
                    "cast(json_extract(author, '$.age') as integer) >= ?))")
    assert params == ["Bo", 1]


leaves = st.one_of(
    st.tuples(st.sampled_from(["n", "data__k"]), st.sampled_from([L.EQ, L.NEQ, L.GT, L.GTE, L.LT, L.LTE]),
              st.integers(-3, 11)),
    st.tuples(st.just("n"), st.just(L.IN), st.lists(st.integers(-1, 11), max_size=4)),
    st.tuples(st.sampled_from(["name", "data__s"]),
              st.sampled_from([L.EQ, L.NEQ, L.CONTAINS, L.ICONTAINS, L.STARTSWITH, L.ISTARTSWITH, L.ENDSWITH,
                               L.IENDSWITH]), st.sampled_from(["a", "An", "b", "e", "LUE", "red", "a'b"])),
    st.tuples(st.sampled_from(["name", "data__k"]), st.just(L.ISNULL), st.booleans()),
    st.tuples(st.sampled_from(["name", "data__s"]), st.just(L.EQ), st.just(Versions.ALL)),
    st.tuples(st.just("author"), st.sampled_from([L.EQ, L.NEQ]),
              st.builds(Author, st.sampled_from(["Ann", "Bo"]), st.integers(20, 50))),
).map(lambda t: Filter(field_name=t[0], lookup=t[1], value=t[2]))


def node(children):
    return st.builds(lambda ch, conn, neg: q(*ch, connector=conn, negated=neg),
                     st.lists(children, max_size=4), st.sampled_from([AND, OR]), st.booleans())


@settings(max_examples=200, deadline=None)
@given(node(st.recursive(leaves, node, max_leaves=12)))
def test_generated_trees_run_on_sqlite(tree):
    assert HOST.where(tree) == selected(tree)
