import sqlite3

import pytest
from quarna_utils.models.enums import Versions
from quarna_utils.query.data_models.order_by import OrderBy
from quarna_utils.query.enums import OrderDirection

from quarna_data.connections.implementations.mixins import sqlite_statements_mixin as mod

Mixin = mod.SqliteStatementsMixin
ASC, DESC = OrderDirection.ASC, OrderDirection.DESC


def ob(field_name, direction=ASC):
    return OrderBy(field_name=field_name, direction=direction)


def raw(field_name, direction):
    """An ordering item carrying values that validation would refuse."""
    return OrderBy.model_construct(field_name=field_name, direction=direction)


class Recorder(Mixin):
    """Answers nested paths from a table and records the resolver and mapping calls."""

    def __init__(self, resolved=None, mapping=None):
        self.resolved = resolved or {}
        self.mapping = mapping or {}
        self.resolver_calls = []
        self.map_calls = []

    def _resolve_nested_field_name(self, table_name, field_name, nested_fields, **kwargs):
        self.resolver_calls.append((table_name, field_name, nested_fields, kwargs))
        return self.resolved.get((field_name, nested_fields), f"x({field_name}|{nested_fields})")

    def _fields_map(self, table_name, field_name, class_version):
        self.map_calls.append((table_name, field_name, class_version))
        return self.mapping.get(field_name, field_name)


@pytest.mark.parametrize(
    "order_by, expected",
    [
        (None, ""),
        ([], ""),
        (iter([]), ""),  # truthy, but yields no item
        ([ob("name"), ob("age", DESC)], " ORDER BY name ASC, age DESC"),
        ([raw("name", None)], " ORDER BY name DESC"),
        ([raw("name", "asc")], " ORDER BY name ASC"),  # equal to the member
        ([raw("name", "ASC")], " ORDER BY name DESC"),
        ([ob("b"), ob("a"), ob("b")], " ORDER BY b ASC, a ASC, b ASC"),
        ((o for o in [ob("age", DESC)]), " ORDER BY age DESC"),
    ],
)
def test_plain_fields(order_by, expected):
    assert Mixin()._build_order_by_statement("person", order_by) == expected


@pytest.mark.parametrize(
    "field_name, head, rest",
    [("data__a__b", "data", "a__b"), ("a__b__c", "a", "b__c"), ("__x", "", "x"), ("a____b", "a", "__b")],
)
@pytest.mark.parametrize("flags", [{}, {"is_internal_table": True}, {"use_internal_meta_tables": True}])
def test_nested_path_goes_through_resolver(field_name, head, rest, flags):
    m = Recorder()
    clause = m._build_order_by_statement("person", [ob(field_name, DESC)], **flags)
    assert clause == f" ORDER BY x({head}|{rest}) DESC"
    expected_flags = {"is_internal_table": False, "use_internal_meta_tables": False, **flags}
    # value_type is left to its default, so JSON values always order as text
    assert m.resolver_calls == [("person", head, rest, expected_flags)]
    assert m.map_calls == [("person", f"x({head}|{rest})", Versions.LATEST)]


def test_mapping_hook_applies_to_plain_and_nested_fields():
    m = Recorder(resolved={("data", "k"): "EXPR"}, mapping={"name": "c_name", "EXPR": "c_expr"})
    clause = m._build_order_by_statement("person", [ob("name"), ob("data__k", DESC)])
    assert clause == " ORDER BY c_name ASC, c_expr DESC"
    assert [c[1] for c in m.map_calls] == ["name", "EXPR"]
    assert all(c[2] is Versions.LATEST for c in m.map_calls)


def test_mapped_expression_is_formatted_as_text():
    class Col:
        def __format__(self, spec):
            return "formatted"

    m = Recorder(mapping={"a": 7, "b": Col()})
    assert m._build_order_by_statement("t", [ob("a"), ob("b")]) == " ORDER BY 7 ASC, formatted ASC"


@pytest.mark.parametrize(
    "items, expected",
    [
        (["empty__x"], ""),
        (["empty__x", "empty__y"], ""),
        (["empty__x", "name"], " ORDER BY name ASC"),
        (["name", "empty__x", "age"], " ORDER BY name ASC, age ASC"),
    ],
)
def test_path_resolving_to_nothing_adds_no_term(items, expected):
    m = Recorder(resolved={("empty", "x"): "", ("empty", "y"): ""})
    assert m._build_order_by_statement("t", [ob(i) for i in items]) == expected
    # the empty expression still goes through the mapping hook, once per such item
    assert [c[1] for c in m.map_calls].count("") == items.count("empty__x") + items.count("empty__y")


def test_mapping_hook_may_give_an_empty_expression_a_column():
    m = Recorder(resolved={("empty", "x"): ""}, mapping={"": "fallback"})
    assert m._build_order_by_statement("t", [ob("empty__x", DESC), ob("name")]) == \
        " ORDER BY fallback DESC, name ASC"
    assert m.map_calls == [("t", "", Versions.LATEST), ("t", "name", Versions.LATEST)]


@pytest.mark.parametrize(
    "items, expected",
    [
        ([raw("", ASC)], ""),
        ([raw("", ASC), ob("name", DESC)], " ORDER BY name DESC"),
        ([ob("gone"), ob("age")], " ORDER BY age ASC"),
        ([ob("age"), ob("gone")], " ORDER BY age ASC"),
        ([ob("blank")], ""),
    ],
)
def test_plain_field_with_an_empty_column_adds_no_term(items, expected):
    class Blank:
        def __format__(self, spec):
            return ""

    m = Recorder(mapping={"gone": "", "blank": Blank()})
    assert m._build_order_by_statement("t", items) == expected



class Boom(Exception):
    pass


class Hostile:
    def __eq__(self, other):
        raise Boom("eq")

    def __format__(self, spec):
        raise Boom("format")

    def __bool__(self):
        raise Boom("bool")

    __hash__ = None


def test_errors_propagate():
    m = Mixin()
    with pytest.raises(Boom, match="eq"):
        m._build_order_by_statement("t", [raw("a", Hostile())])
    with pytest.raises(Boom, match="bool"):
        m._build_order_by_statement("t", Hostile())
    with pytest.raises(Boom, match="format"):
        Recorder(mapping={"a": Hostile()})._build_order_by_statement("t", [ob("a")])
    with pytest.raises(TypeError, match="not iterable"):
        m._build_order_by_statement("t", [raw(5, ASC)])  # the "__" test on an int
    with pytest.raises(TypeError, match="field_name"):
        m._build_order_by_statement("t", [raw(["x"], ASC)])  # passes the test, fails in the hook
    with pytest.raises(AttributeError, match="field_name"):
        m._build_order_by_statement("t", [object()])

    class BadResolver(Mixin):
        def _resolve_nested_field_name(self, *a, **k):
            raise Boom("resolver")

    with pytest.raises(Boom, match="resolver"):
        BadResolver()._build_order_by_statement("t", [ob("a__b")])


def test_clause_orders_rows_on_sqlite():
    conn = sqlite3.connect(":memory:")
    conn.execute("CREATE TABLE person (name TEXT, age INTEGER, data json)")
    rows = [("b", 1, '{"n": 10}'), ("a", 2, '{"n": 9}'), ("b", 3, '{"n": 2}'), ("a", 1, None)]
    conn.executemany("INSERT INTO person VALUES (?, ?, ?)", rows)
    m = Recorder(resolved={("data", "n"): "cast(json_extract(data, '$.n') as text)", ("data", "gone"): ""})

    clause = m._build_order_by_statement("person", [ob("name"), ob("age", DESC)])
    got = conn.execute("SELECT name, age FROM person" + clause).fetchall()
    assert got == sorted([(r[0], r[1]) for r in rows], key=lambda r: (r[0], -r[1]))

    # a path with no expression leaves a valid clause behind
    clause = m._build_order_by_statement("person", [ob("data__gone"), ob("data__n")])
    got = [r[0] for r in conn.execute("SELECT data FROM person" + clause)]
    assert got == [None, '{"n": 10}', '{"n": 2}', '{"n": 9}']  # text order: "10" < "2" < "9"
    conn.close()


@pytest.mark.parametrize(
    "field_name, flags, expected",
    [
        ("data__a__b", {}, "cast(json_extract(data, '$.a.b') as text) ASC"),
        ("data__a", {"use_internal_meta_tables": True}, "cast(json_extract(data, '$.a') as text) ASC"),
        ("_address__object_id", {}, "partition_key ASC"),
        ("_address__object_id", {"use_internal_meta_tables": True}, "t1.'partition_key' ASC"),
        ("_address__object_version", {"use_internal_meta_tables": True}, "t1.'range_key' ASC"),
        ("_address__object_version", {}, None),  # no expression without the join
        ("_address__class_version", {}, None),
        ("_address__object_id", {"is_internal_table": True},
         "cast(json_extract(_address, '$.object_id') as text) ASC"),
        ("_metadata__created_at", {"use_internal_meta_tables": True}, "t2.'created_at' ASC"),
        ("_metadata__prior_version__x", {"use_internal_meta_tables": True},
         "cast(json_extract(t2.'prior_version', '$.x') as text) ASC"),
        ("_metadata__next_version", {}, "cast(json_extract(_metadata, '$.next_version') as text) ASC"),
    ],
)
def test_nested_paths_with_the_resolver(field_name, flags, expected):
    clause = Mixin()._build_order_by_statement("person", [ob(field_name)], **flags)
    assert clause == ("" if expected is None else " ORDER BY " + expected)
