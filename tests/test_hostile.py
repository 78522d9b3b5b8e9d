"""Hostile input: objects whose special methods raise, hooks and class attributes of the wrong type,
containers changed by Python code while the module reads them, very deep trees, very long lists and
names, and names made of every kind of code point. The only acceptable outcomes are a correct result
or a clean exception; the interpreter stays usable afterwards."""
import json
import sqlite3

import pytest
from quarna_utils.query.data_models.filter import Filter
from quarna_utils.query.data_models.order_by import OrderBy
from quarna_utils.query.data_models.paginator import NumberPaginator
from quarna_utils.query.data_models.query_specifier import QuerySpecifier
from quarna_utils.query.enums import Lookup, OrderDirection
from quarna_utils.query.mixin import QueryableMixin
from quarna_utils.query.utils import ConnectorEnum, Q

from quarna_data.connections.implementations.mixins import sqlite_statements_mixin as mod
from tests.conftest import Boom, RaisingBool, RaisingBoolQ, RaisingEq, RaisingEqStr, RaisingHash, RaisingStr

Mixin = mod.SqliteStatementsMixin
OPS = mod.sql_operator_map


class Host(Mixin):
    def __init__(self, conn=None):
        self.conn = conn or sqlite3.connect(":memory:")

    def execute(self, sql, params=()):
        return self.conn.execute(sql, params)


@pytest.fixture
def host():
    h = Host()
    yield h
    h.conn.close()


# --------------------------------------------------------------------------- objects that raise


class FormatNotStr:
    def __format__(self, spec):
        return 42


class RaisingChildren:
    """A children container whose truth value raises."""

    def __bool__(self):
        raise Boom("bool")

    def __iter__(self):
        return iter(())


class Leaf:
    """A duck-typed filter leaf: the module reads its attributes only."""

    def __init__(self, field_name="a", lookup=Lookup.EQ, value=1, nested=False):
        self.field_name = field_name
        self.lookup = lookup
        self.value = value
        self.is_nested_selection = nested


class Author(QueryableMixin):
    def to_query(self, prefix=""):
        return Q(**{prefix + "name": "Ann"})


class Row:
    def __init__(self, keys=("a",), get=None):
        self._keys = list(keys)
        self._get = get

    def keys(self):
        return self._keys

    def values(self):
        return [1] * len(self._keys)

    def get(self, key, default=None):
        return self._get(key) if self._get else 1


def tree(*children, connector=ConnectorEnum.AND, negated=False):
    """A Q whose children are set directly, so any object can be a child."""
    q = Q()
    q.children = list(children)
    q.connector = connector
    q.negated = negated
    return q


def order(field_name="name", direction=OrderDirection.ASC):
    item = OrderBy(field_name="x")
    object.__setattr__(item, "field_name", field_name)
    object.__setattr__(item, "direction", direction)
    return item


def specifier(only=("a",), distinct=()):
    s = QuerySpecifier()
    object.__setattr__(s, "only", only)
    object.__setattr__(s, "distinct", distinct)
    return s


RAISING = [
    # __format__ / __str__
    ("insert key format", lambda h: h._build_insert_statement("t", {"a": 1, RaisingStr(): 2})),
    ("bulk insert key format", lambda h: h._build_bulk_insert_statement("t", [Row([RaisingStr()])])),
    ("icontains value str", lambda h: h._get_filter_statement("t", Leaf(lookup=Lookup.ICONTAINS, value=RaisingStr()))),
    ("contains value format", lambda h: OPS[Lookup.CONTAINS].build_value(RaisingStr())),
    ("prefix format", lambda h: with_attrs(_fields_map=lambda self, t, f, v: RaisingStr())._get_conditions_statement(
        "t", tree(Leaf(field_name="f", value=Author())))),
    ("separator format", lambda h: type("S", (Host,), {"TABLE_SEPARATOR": RaisingStr()})()._select_statement("t", "*")),
    # __hash__
    ("lookup hash", lambda h: h._get_filter_statement("t", Leaf(lookup=RaisingHash()))),
    ("bulk insert key hash", lambda h: h._build_bulk_insert_statement("t", [Row([RaisingHash()])])),
    ("connector hash", lambda h: h._get_conditions_statement("t", tree(Leaf(), Leaf(), connector=RaisingHash()))),
    ("describe unhashable host", lambda h: type("U", (Host,), {"__hash__": RaisingHash.__hash__})()._describe_table("t")),
    # __eq__
    ("order direction eq", lambda h: h._build_order_by_statement("t", [order(direction=RaisingEq())])),
    ("nested value eq", lambda h: h._get_filter_statement("t", Leaf(field_name="d__k", value=RaisingEqStr("x"), nested=True))),
    ("neq lookup eq", lambda h: h._get_conditions_statement("t", tree(Leaf(lookup=RaisingEq(), value=Author())))),
    ("result key ne", lambda h: h._process_result("t", {RaisingEqStr("a"): 1}, {"a": "TEXT"})),
    ("distinct contains", lambda h: h._build_select_statement("t", specifier(distinct=RaisingIn()))),
    # __bool__
    ("select conditions bool", lambda h: h._build_select_statement("t", None, RaisingBoolQ(a=1))),
    ("select specifier bool", lambda h: h._build_select_statement("t", RaisingBool())),
    ("select only bool", lambda h: h._build_select_statement("t", specifier(only=RaisingBool()))),
    ("order_by bool", lambda h: h._select_statement("t", "*", None, None, RaisingBool())),
    ("offset bool", lambda h: h._select_statement("t", "*", None, paginator(offset=RaisingBool()))),
    ("children bool", lambda h: h._get_conditions_statement("t", tree_with_children(RaisingChildren()))),
    ("negated bool", lambda h: h._get_conditions_statement("t", tree(Leaf(), negated=RaisingBool()))),
    ("nested selection bool", lambda h: h._get_filter_statement("t", Leaf(nested=RaisingBool()))),
    ("isnull value bool", lambda h: h._get_filter_statement("t", Leaf(lookup=Lookup.ISNULL, value=RaisingBool()))),
    ("grouped bool", lambda h: h._get_conditions_statement("t", tree(Leaf()), is_grouped=RaisingBool())),
    # attributes and hooks that raise
    ("field_name property", lambda h: h._get_filter_statement("t", RaisingLeaf())),
    ("rows get", lambda h: h._build_bulk_insert_statement("t", [Row(get=raise_boom)])),
    ("to_query", lambda h: h._get_conditions_statement("t", tree(Leaf(value=BadQueryable())))),
    ("execute", lambda h: type("E", (Host,), {"execute": raise_boom})()._describe_table("t")),
]


class RaisingIn:
    def __contains__(self, item):
        raise Boom("contains")


class RaisingLeaf(Leaf):
    @property
    def field_name(self):
        raise Boom("field_name")

    @field_name.setter
    def field_name(self, value):
        pass


class BadQueryable(QueryableMixin):
    def to_query(self, prefix=""):
        raise Boom("to_query")


def raise_boom(*args, **kwargs):
    raise Boom("hook")


def paginator(limit=10, offset=None):
    p = NumberPaginator(limit=limit)
    object.__setattr__(p, "offset", offset)
    return p


def tree_with_children(children):
    q = Q()
    q.children = children
    return q


@pytest.mark.parametrize("call", [c for _, c in RAISING], ids=[n for n, _ in RAISING])
def test_raising_special_methods_give_their_exception(host, call):
    with pytest.raises(Boom):
        call(host)
    # the interpreter and the module are intact
    assert host._build_insert_statement("t", {"a": 1}) == ("INSERT INTO `t` (`a`) VALUES (?)", (1,))


def test_format_returning_a_non_str_is_refused(host):
    with pytest.raises(TypeError):
        host._build_insert_statement("t", {FormatNotStr(): 1})


# --------------------------------------------------------------------------- wrong types in hooks and attributes


def with_attrs(**attrs):
    return type("Wrong", (Host,), attrs)()


WRONG = [
    ("fields map not callable", dict(_fields_map=None), lambda h: h._build_delete_statement("t", {"a": 1}), TypeError),
    ("fields map returns int", dict(_fields_map=lambda self, t, f, v: 5),
     lambda h: h._build_select_statement("t", specifier(only=["a"])), TypeError),
    ("fields map returns int in filter", dict(_fields_map=lambda self, t, f, v: 5),
     lambda h: h._get_filter_statement("t", Filter(field_name="a", value=1)), TypeError),
    ("fields map returns unsplittable", dict(_fields_map=lambda self, t, f, v: 5),
     lambda h: h._get_filter_statement("t", Filter(field_name="a__b", value=1)), AttributeError),
    ("to_sql_value not callable", dict(_to_sql_value="x"), lambda h: h._build_insert_statement("t", {"a": 1}), TypeError),
    ("operator map none", dict(SQL_OPERATOR_MAP=None), lambda h: h._get_filter_statement("t", Filter(field_name="a")), TypeError),
    ("operator map list", dict(SQL_OPERATOR_MAP=[Lookup.EQ]), lambda h: h._get_filter_statement("t", Filter(field_name="a")), TypeError),
    ("operator entry not a template", dict(SQL_OPERATOR_MAP={Lookup.EQ: "x"}),
     lambda h: h._get_filter_statement("t", Filter(field_name="a")), AttributeError),
    ("column separator none", dict(COLUMN_SEPARATOR=None),
     lambda h: h._get_filter_statement("t", Filter(field_name="a"), use_internal_meta_tables=True), TypeError),
    ("describe returns list", dict(_describe_table=lambda self, t: []),
     lambda h: h._get_filter_statement("t", Filter(field_name="a")), AttributeError),
    ("process_field not callable", dict(_process_field=None), lambda h: h._process_result("t", {"a": 1}, {"a": "x"}), TypeError),
    ("reverse map returns unhashable", dict(_field_reverse_map=lambda self, t, f, v: []),
     lambda h: h._process_result("t", {"a": 1}, {"a": "x"}), TypeError),
    ("filter builder returns int", dict(_get_filter_statement=lambda self, *a, **k: 3),
     lambda h: h._get_conditions_statement("t", Q(a=1)), TypeError),
    ("conditions return one item", dict(_get_conditions_statement=lambda self, *a, **k: ("x",)),
     lambda h: h._build_select_statement("t", None, Q(a=1)), ValueError),
    ("conditions return dict params", dict(_get_conditions_statement=lambda self, *a, **k: ("x", {})),
     lambda h: h._build_count_statement("t", Q(a=1)), TypeError),
    ("order by returns int", dict(_build_order_by_statement=lambda self, *a, **k: 5),
     lambda h: h._select_statement("t", "*", None, None, [OrderBy(field_name="a")]), TypeError),
    ("select returns list", dict(_select_statement=lambda self, *a, **k: []), lambda h: h._build_count_statement("t"), TypeError),
    ("execute returns none", dict(execute=lambda self, sql: None), lambda h: h._describe_table("t"), AttributeError),
    ("fetchall rows too short", dict(execute=lambda self, sql: FakeCursor([(1, "a")])), lambda h: h._describe_table("t"), ValueError),
    ("fetchall not iterable", dict(execute=lambda self, sql: FakeCursor(5)), lambda h: h._describe_table("t"), TypeError),
]


class FakeCursor:
    def __init__(self, rows):
        self.rows = rows

    def fetchall(self):
        return self.rows


@pytest.mark.parametrize("attrs, call, exc", [w[1:] for w in WRONG], ids=[w[0] for w in WRONG])
def test_wrong_types_in_hooks_and_attributes_raise_cleanly(attrs, call, exc):
    with pytest.raises(exc):
        call(with_attrs(**attrs))


def test_separators_of_other_types_are_formatted_as_text():
    h = with_attrs(TABLE_SEPARATOR=5, COLUMN_SEPARATOR="")
    assert h._select_statement("t", "*") == ("SELECT * FROM 5t5", [])
    assert h._build_count_statement("t", use_internal_meta_tables=True)[0].startswith("SELECT COUNT(t1.partition_key) ")


# --------------------------------------------------------------------------- containers changed while read


def test_children_cleared_by_a_child_stop_the_walk(host):
    q = tree()

    class Clearing(Leaf):
        @property
        def value(self):
            q.children.clear()
            return 1

        @value.setter
        def value(self, v):
            pass

    q.children.extend([Clearing("a"), Leaf("b"), Leaf("c")])
    assert host._get_conditions_statement("t", q) == ("a = ?", [1])


def test_children_appended_by_a_child_are_walked(host):
    q = tree()

    class Appending(Leaf):
        @property
        def value(self):
            if len(q.children) < 3:
                q.children.append(Leaf("z", value=9))
            return 1

        @value.setter
        def value(self, v):
            pass

    q.children.extend([Appending("a"), Leaf("b", value=2)])
    assert host._get_conditions_statement("t", q) == ("a = ? AND b = ? AND z = ?", [1, 2, 9])


def test_children_replaced_by_a_child_keep_the_walk_on_the_original(host):
    q = tree()

    class Replacing(Leaf):
        @property
        def value(self):
            q.children = [Leaf("other")]  # the walk holds the list it started with
            return 1

        @value.setter
        def value(self, v):
            pass

    q.children.extend([Replacing("a"), Leaf("b", value=2)])
    assert host._get_conditions_statement("t", q) == ("a = ? AND b = ?", [1, 2])


def test_children_as_a_generator_and_a_tuple(host):
    gen = tree_with_children(x for x in [Leaf("a"), Leaf("b", value=2)])
    assert host._get_conditions_statement("t", gen) == ("a = ? AND b = ?", [1, 2])
    tup = tree_with_children((Leaf("a"), Leaf("b", value=2)))
    assert host._get_conditions_statement("t", tup) == ("a = ? AND b = ?", [1, 2])


def test_row_changed_by_the_reverse_map_raises(host):
    row = {"a": 1, "b": 2}

    class Mutating(Host):
        def _field_reverse_map(self, table_name, field_name, class_version):
            row["c" + field_name] = 0
            return field_name

    with pytest.raises(RuntimeError, match="changed size"):
        Mutating(host.conn)._process_result("t", row, {"a": "TEXT", "b": "TEXT"})


def test_row_entry_deleted_by_the_field_decoder_raises(host):
    row = {"a": 1, "b": 2}

    class Mutating(Host):
        @staticmethod
        def _process_field(field_type, value):
            row.pop("b", None)
            return value

    with pytest.raises(RuntimeError, match="changed size"):
        Mutating(host.conn)._process_result("t", row, {"a": "TEXT", "b": "TEXT"})


def test_description_changed_while_decoding_gives_a_consistent_record(host):
    description = {"a": "json", "b": "TEXT"}

    class Mutating(Host):
        def _field_reverse_map(self, table_name, field_name, class_version):
            description.pop("b", None)
            return field_name

    assert Mutating(host.conn)._process_result("t", {"a": "[1]", "b": "x"}, description) == {"a": [1]}


def placeholders_match(pair):
    sql, params = pair
    return sql.count("?") == len(params)


def test_insert_row_changed_by_the_value_hook(host):
    data = {"a": 1, "b": 2, "c": 3}

    class Mutating(Host):
        @classmethod
        def _to_sql_value(cls, value):
            data.pop("c", None)
            return value

    try:
        pair = Mutating(host.conn)._build_insert_statement("t", data)
    except RuntimeError:
        return
    assert placeholders_match(pair)


@pytest.mark.parametrize("builder", ["_build_bulk_insert_statement", "_build_bulk_delete_statement"])
def test_bulk_rows_removed_while_read(host, builder):
    rows = []

    class Shrinking(dict):
        def keys(self):
            del rows[1:]
            return super().keys()

    rows.extend([Shrinking(a=1), {"a": 2}, {"a": 3}])
    pair = getattr(host, builder)("t", rows)
    assert placeholders_match(pair)
    host.conn.execute("CREATE TABLE t (a)")
    host.conn.executemany("INSERT INTO t VALUES (?)", [(5,), (1,)])
    host.conn.execute(*pair)
    left = sorted(r[0] for r in host.conn.execute("SELECT a FROM t"))
    # The insert writes the rows as they were when the call began; the delete
    # reads the list as it goes and stops where it was cut.
    assert left == ([1, 1, 2, 3, 5] if "insert" in builder else [5])


@pytest.mark.parametrize("builder", ["_build_bulk_insert_statement", "_build_bulk_delete_statement"])
def test_bulk_rows_added_while_read(host, builder):
    rows = []

    class Growing(dict):
        def keys(self):
            if len(rows) < 5:
                rows.append({"a": 9})
            return super().keys()

    rows.extend([Growing(a=1), {"a": 2}])
    pair = getattr(host, builder)("t", rows)
    assert placeholders_match(pair)


def test_value_list_changed_by_a_date_conversion(host):
    from datetime import date

    items = [date(2024, 1, 2), 1, 2, 3]

    class Mutating(Host):
        @classmethod
        def _convert_date_to_sql_value(cls, value):
            items.clear()
            return 0

    assert json.loads(Mutating(host.conn)._to_sql_value(items)) == [0]


# --------------------------------------------------------------------------- depth and size


def deep(levels, make):
    q = Q(a=1)
    for _ in range(levels):
        q = make(q)
    return q


def test_deep_tree_within_the_limit_is_built_and_selects_the_right_rows(host):
    levels = 20  # SQLite's own parser stack bounds the nesting it runs
    q = deep(levels, lambda q: Q(q, b__lt=levels))
    sql, params = host._build_select_statement("t", None, q)
    assert sql.count("(") == levels and len(params) == levels + 1
    host.conn.execute("CREATE TABLE t (a, b)")
    host.conn.executemany("INSERT INTO t VALUES (?, ?)", [(1, 1), (1, levels), (2, 1)])
    assert host.conn.execute(sql, params).fetchall() == [(1, 1)]


def test_tree_100000_wide(host):
    q = Q(*[Filter(field_name=f"c{i % 7}", value=i) for i in range(100_000)], _connector=ConnectorEnum.OR)
    sql, params = host._get_conditions_statement("t", q)
    assert params == list(range(100_000))
    assert sql.count(" OR ") == 99_999 and sql.startswith("c0 = ? OR c1 = ?")


def test_in_filter_of_a_million_values(host):
    values = list(range(1_000_000))
    sql, params = host._get_conditions_statement("t", Q(a__in=values))
    assert sql == "a IN (" + ",".join("?" * 1_000_000) + ")"
    assert params == values
    sql, params = host._build_select_statement("t", None, Q(a__in=values, b=1), NumberPaginator(limit=5))
    assert len(params) == 1_000_003 and params[-3:] == [1, 5, 0]


def test_bulk_statements_of_a_million_parameters(host):
    rows = [{f"c{j}": i for j in range(10)} for i in range(100_000)]
    sql, params = host._build_bulk_insert_statement("t", rows)
    assert len(params) == 1_000_000 and sql.count("?") == 1_000_000
    sql, params = host._build_bulk_delete_statement("t", rows)
    assert len(params) == 1_000_000 and sql.count(" OR ") == 99_999


TEN_MB = 10 * 1024 * 1024


@pytest.mark.parametrize("char", ["x", "é", "\u20ac", "\U0001f600", "\udc80"], ids=["ascii", "latin1", "bmp", "astral", "surrogate"])
def test_names_of_ten_megabytes(host, char):
    name = char * TEN_MB
    assert host._build_insert_statement(name, {name: 1}) == (f"INSERT INTO `{name}` (`{name}`) VALUES (?)", (1,))
    sql, _ = host._build_bulk_insert_statement("t", [{name: 1}, {name: 2}])
    assert sql == f"INSERT INTO `t` (`{name}`) VALUES (?), (?)"
    assert host._build_delete_statement(name, {name: 1}) == (f"DELETE FROM {name} WHERE `{name}` = ?", (1,))
    assert host._select_statement(name, name, None, None, [OrderBy(field_name=name)]) == (
        f"SELECT {name} FROM '{name}' ORDER BY {name} ASC", [])
    assert host._build_count_statement(name)[0] == f"SELECT COUNT(*) FROM '{name}'"
    assert OPS[Lookup.GT].build_statement(name, 1, "t1", "'") == f"t1.'{name}' > ?"
    assert host._resolve_nested_field_name("t", name, name) == f"cast(json_extract({name}, '$.{name}') as text)"
    assert host._process_result("t", {name: "[1]"}, {name: "json"}) == {name: [1]}


def every_code_point(exclude=""):
    return "".join(chr(c) for c in range(0x110000) if chr(c) not in exclude)


QUOTES = "`'\""


def test_names_of_every_code_point_pass_unchanged(host):
    name = every_code_point(exclude=QUOTES)  # quotes are the one thing a builder may double
    assert host._build_insert_statement(name, {name: 1})[0] == f"INSERT INTO `{name}` (`{name}`) VALUES (?)"
    assert host._build_delete_statement(name, {name: 1})[0] == f"DELETE FROM {name} WHERE `{name}` = ?"
    assert host._select_statement(name, "*", None, None, [OrderBy(field_name=name)])[0] == (
        f"SELECT * FROM '{name}' ORDER BY {name} ASC")
    with_meta = Host()
    sql, params = with_meta._get_filter_statement("t", Filter(field_name=name, lookup=Lookup.ISTARTSWITH, value=name),
                                                  use_internal_meta_tables=True)
    assert sql == f"UPPER(t1.'{name}') LIKE ?" and params == name.upper() + "%"
    assert host._fields_map(name, name, None) is name
    record = host._process_result(name, {name: name, "x": 1}, {name: "TEXT"})
    assert list(record) == [name] and record[name] is name
    assert host._process_field("json", name) is name  # not JSON: kept as text


def test_names_of_every_code_point_round_trip_through_sqlite(host):
    # SQLite takes any code point but NUL in a quoted identifier; lone surrogates cannot be encoded.
    name = "".join(c for c in every_code_point(exclude="\x00" + QUOTES) if not 0xD800 <= ord(c) <= 0xDFFF)
    host.conn.execute(f'CREATE TABLE t ("{name}" json, k INTEGER)')
    host.conn.execute(*host._build_insert_statement("t", {name: {"n": name}, "k": 1}))
    host.conn.execute(*host._build_bulk_insert_statement("t", [{name: [1], "k": 2}, {"k": 3}]))
    description = host._describe_table("t")
    assert description == {name: "json", "k": "INTEGER"}
    cursor = host.conn.execute(*host._select_statement("t", "*"))
    columns = [c[0] for c in cursor.description]
    records = [host._process_result("t", dict(zip(columns, row)), description) for row in cursor]
    assert records == [{name: {"n": name}, "k": 1}, {name: [1], "k": 2}, {name: None, "k": 3}]
    host.conn.execute(*host._build_delete_statement("t", {"k": 2}))
    assert host.conn.execute(*host._build_count_statement("t")).fetchone() == (2,)


def test_table_names_with_quotes_round_trip_where_the_builder_quotes_them(host):
    name = "we`ird \u00e9 \U0001f600"
    host.conn.execute(f'CREATE TABLE "{name}" ("co`l" INTEGER)')
    host.conn.execute(*host._build_insert_statement(name, {"co`l": 1}))
    host.conn.execute(*host._build_bulk_insert_statement(name, [{"co`l": 2}]))
    assert host._describe_table(name) == {"co`l": "INTEGER"}
    assert host.conn.execute(*host._build_count_statement(name)).fetchone() == (2,)


# --------------------------------------------------------------------------- found by fuzzing
# The harness (fuzz/) flagged these; each is the documented behaviour, and each fails loudly on
# SQLite rather than selecting wrong rows. Kept so that a change to them is a decision.


@pytest.mark.parametrize(
    "value, text, params",
    [
        ({}, "a IN ()", [{}]),  # a JSON object: len() of its keys, bound once
        ('"ab"', "a IN (?,?)", ["ab"]),  # JSON text of a string: one placeholder per character
        ('{"x": 1}', "a IN (?)", [{"x": 1}]),
    ],
)
def test_in_with_a_value_that_is_not_a_json_array(host, value, text, params):
    sql, bound = host._get_conditions_statement("t", Q(a__in=value))
    assert (sql, bound) == (text, params)
    host.conn.execute("CREATE TABLE t (a)")
    host.conn.execute("INSERT INTO t VALUES (1)")
    with pytest.raises(sqlite3.Error):
        host.conn.execute(*host._build_select_statement("t", None, Q(a__in=value)))


def test_metadata_mapping_is_normalised_in_place(host):
    metadata = {"address": {"class_version": "1", "object_version": "2"}, "referenced_by": ['{"object_id": "o"}']}
    row = {"name": "x", "_metadata": metadata}
    record = host._process_result("t", row, {"name": "TEXT"})
    assert record["_metadata"] is metadata and metadata["referenced_by"] == [{"object_id": "o"}]
    assert metadata["reference_to"] == []
    # the same mapping again: its reference list already holds decoded items, which json.loads refuses
    with pytest.raises(TypeError):
        host._process_result("t", row, {"name": "TEXT"})


@pytest.mark.xfail(strict=True, reason="two keys that format to one column name: SQLite keeps the first value "
                   "and drops the other without an error")
@pytest.mark.parametrize("builder", ["_build_insert_statement", "_build_bulk_insert_statement"])
def test_distinct_keys_with_the_same_text_are_not_silently_merged(host, builder):
    row = {"1": "text key", 1: "int key"}
    host.conn.execute("CREATE TABLE t (`1`)")
    try:
        sql, params = getattr(host, builder)("t", row if "bulk" not in builder else [row])
        host.conn.execute(sql, params)
    except (TypeError, ValueError, sqlite3.Error):
        return  # refused: sound
    assert host.conn.execute("SELECT count(*) FROM t").fetchone() == (0,), "one of the two values was dropped"


class ChangingRows(Host):
    """The value hook adds rows to the list being read, as a hook with side effects can."""

    rows = None

    @classmethod
    def _to_sql_value(cls, value):
        if len(cls.rows) < 5:
            cls.rows.append({"a": 0})
        return value


@pytest.mark.parametrize("change", ["hook adds rows", "row get removes rows"])
def test_bulk_insert_rows_changed_while_parameters_are_collected(host, change):
    if change == "hook adds rows":
        rows = ChangingRows.rows = [{"a": 1}, {"a": 2}]
        pair = ChangingRows(host.conn)._build_bulk_insert_statement("t", rows)
    else:
        rows = []

        class Removing(dict):
            def get(self, key, default=None):
                del rows[1:]
                return super().get(key, default)

        rows.extend([Removing(a=1), {"a": 2}, {"a": 3}])
        pair = host._build_bulk_insert_statement("t", rows)
    assert placeholders_match(pair), pair


def _rebind_module(name, value):
    def apply(monkeypatch, host):
        monkeypatch.setattr(mod, name, value)
    return apply


@pytest.mark.parametrize(
    "rebind, record",
    [
        (_rebind_module("json", type("J", (), {"loads": staticmethod(lambda s: "fake"),
                                               "JSONDecodeError": ValueError})), {"a": "fake"}),
        (lambda mp, h: mp.setattr(json, "loads", lambda s, **k: "patched"), {"a": "patched"}),
        (_rebind_module("PRIMARY_PARTITION_KEY", "a"), {"_object_id": "[1]"}),
        (lambda mp, h: mp.setattr(Host, "_field_reverse_map", lambda self, t, f, v: "R_" + f, raising=False),
         {"R_a": [1]}),
        (lambda mp, h: mp.setitem(h.__dict__, "_process_field", lambda t, v: "instance"), {"a": "instance"}),
        (lambda mp, h: mp.setattr(Host, "_process_field", staticmethod(lambda t, v: (t, v)), raising=False),
         {"a": ("json", "[1]")}),
    ],
    ids=["module json", "json.loads", "partition key", "class hook", "instance hook", "static hook"],
)
def test_rebinding_between_calls_takes_effect(host, monkeypatch, rebind, record):
    """Names and hooks are looked up at each call, whatever the module remembers between calls."""
    for _ in range(3):  # warm whatever is remembered
        assert host._process_result("t", {"a": "[1]"}, {"a": "json"}) == {"a": [1]}
    rebind(monkeypatch, host)
    assert host._process_result("t", {"a": "[1]"}, {"a": "json"}) == record
    monkeypatch.undo()
    assert host._process_result("t", {"a": "[1]"}, {"a": "json"}) == {"a": [1]}


def test_a_missing_module_name_raises_name_error(host, monkeypatch):
    monkeypatch.delattr(mod, "json")
    with pytest.raises(NameError, match="json"):
        host._process_result("t", {"a": "[1]"}, {"a": "json"})


def test_description_changed_in_place_between_and_during_calls(host):
    description = {"a": "json", "b": "TEXT"}
    row = {"a": "[1]", "b": "[2]"}
    for _ in range(3):
        assert host._process_result("t", row, description) == {"a": [1], "b": "[2]"}
    description["a"], description["b"] = "TEXT", "json"
    assert host._process_result("t", row, description) == {"a": "[1]", "b": [2]}

    class Retyping(Host):
        def _field_reverse_map(self, table_name, field_name, class_version):
            description["b"] = "TEXT" if field_name == "a" else description["b"]
            return field_name

    description["b"] = "json"
    # the type of b is read after the hook ran for a: it is TEXT by then
    assert Retyping(host.conn)._process_result("t", row, description) == {"a": "[1]", "b": "[2]"}
    description.clear()
    assert host._process_result("t", row, description) == {}
