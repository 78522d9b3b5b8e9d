"""INSERT and DELETE statements: texts, parameters, and their effect on a real SQLite database."""
import gc
import importlib
import re
import sqlite3
from collections import OrderedDict, defaultdict
from datetime import date, datetime, timezone

import pytest
from quarna_utils.models.base import ModelBase
from quarna_utils.models.data_models.reference import Reference
from quarna_utils.models.enums import Versions

MODULE = "quarna_data.connections.implementations.mixins.sqlite_statements_mixin"
mod = importlib.import_module(MODULE)
M = mod.SqliteStatementsMixin


class Boom(Exception):
    pass


class Person(ModelBase):
    name: str = "Ann"


def rows(db, table, columns="*"):
    return db.execute(f"SELECT {columns} FROM `{table}` ORDER BY rowid").fetchall()


@pytest.fixture
def people(db):
    db.execute("CREATE TABLE person (id INTEGER, name TEXT, born INTEGER, tags TEXT, kind TEXT)")
    db.executemany(
        "INSERT INTO person VALUES (?, ?, ?, ?, ?)",
        [(1, "Ann", 0, None, "a"), (2, "Bob", 1704153600, None, "b"), (3, "Cy", 0, None, "a"),
         (4, "Di", None, None, "b")],
    )
    return db


# --------------------------------------------------------------------------- texts of the examples


@pytest.mark.parametrize(
    "method, table, data, text, params",
    [
        ("_build_insert_statement", "person", {"name": "Ann", "age": 3},
         "INSERT INTO `person` (`name`, `age`) VALUES (?, ?)", ("Ann", 3)),
        ("_build_insert_statement", "t", {}, "INSERT INTO `t` () VALUES ()", ()),
        ("_build_insert_statement", "t", {1: "a", 2.5: "b"}, "INSERT INTO `t` (`1`, `2.5`) VALUES (?, ?)",
         ("a", "b")),
        ("_build_bulk_insert_statement", "t", [{"a": 1}, {"a": 2}], "INSERT INTO `t` (`a`) VALUES (?), (?)",
         (1, 2)),
        ("_build_bulk_insert_statement", "t", [], "INSERT INTO `t` () VALUES ", ()),
        ("_build_bulk_insert_statement", "t", [{}, {}, {}], "INSERT INTO `t` () VALUES (), (), ()", ()),
        ("_build_delete_statement", "person", {"id": 7, "name": "Ann"},
         "DELETE FROM person WHERE `id` = ? AND `name` = ?", (7, "Ann")),
        ("_build_delete_statement", "t", {}, "DELETE FROM t WHERE ", ()),
        ("_build_delete_statement", "t", {"id": None}, "DELETE FROM t WHERE `id` = ?", (None,)),
        ("_build_bulk_delete_statement", "t", [{"id": 1}, {"id": 2, "kind": "x"}],
         "DELETE FROM t WHERE (`id` = ?) OR (`id` = ? AND `kind` = ?)", (1, 2, "x")),
        ("_build_bulk_delete_statement", "t", [{"id": 1}], "DELETE FROM t WHERE (`id` = ?)", (1,)),
        ("_build_bulk_delete_statement", "t", [{"id": 1}, {}], "DELETE FROM t WHERE (`id` = ?) OR ()", (1,)),
        ("_build_bulk_delete_statement", "t", [], "DELETE FROM t WHERE ", ()),
    ],
)
def test_texts_and_parameters(mixin, method, table, data, text, params):
    result = getattr(mixin, method)(table, data)
    assert result == (text, params)
    assert type(result) is tuple and type(result[0]) is str and type(result[1]) is tuple


def test_bulk_insert_columns_follow_the_set_order(mixin):
    data = [{"c": 1, "a": 2}, {"b": 3, "d": 4, "a": 5}, {"e": 6}]
    text, params = mixin._build_bulk_insert_statement("t", data)
    columns = set()
    for row in data:
        columns.update(row.keys())
    order = list(columns)
    group = "(" + ", ".join("?" * len(order)) + ")"
    assert text == f"INSERT INTO `t` ({', '.join(f'`{c}`' for c in order)}) VALUES {group}, {group}, {group}"
    assert params == tuple(row.get(c) for row in data for c in order)


def test_many_columns_and_rows(mixin):
    row = {f"c{i}": i for i in range(600)}
    text, params = mixin._build_insert_statement("t", row)
    assert text.endswith("VALUES (" + ", ".join(["?"] * 600) + ")") and params == tuple(range(600))
    text, params = mixin._build_bulk_insert_statement("t", [{"a": i, "b": -i} for i in range(1000)])
    assert text.count("?") == len(params) == 2000
    assert text.count("(?, ?)") == 1000


# --------------------------------------------------------------------------- inserts on SQLite


def test_single_insert_writes_converted_values(db, mixin):
    db.execute("CREATE TABLE person (name, born, at, meta, tags, kind, ref, gone)")
    p = Person()
    p.set_reference(Reference(object_id="o1", object_version="v1"))
    data = {
        "name": "Ann", "born": date(2024, 1, 2), "at": datetime(1969, 12, 31, 23, 59, 59, 500000, timezone.utc),
        "meta": {"a": [1, 2]}, "tags": ["x", date(2024, 1, 2)], "kind": Versions.LATEST, "ref": p, "gone": None,
    }
    db.execute(*mixin._build_insert_statement("person", data))
    (row,) = rows(db, "person")
    assert row[:7] == ("Ann", 1704153600, 0, '{"a": [1, 2]}', '["x", 1704153600]', "latest",
                       '{"object_id":"o1","object_version":"v1","class_name":null}')
    assert row[7] is None


def test_bulk_insert_fills_missing_columns_with_null(db, mixin):
    db.execute("CREATE TABLE t (a, b, `1`)")
    data = [{"a": 1}, OrderedDict(b=date(2024, 1, 2)), defaultdict(int, {1: "one", "a": {"k": None}})]
    db.execute(*mixin._build_bulk_insert_statement("t", data))
    assert rows(db, "t", "a, b, `1`") == [
        (1, None, None), (None, 1704153600, None), ('{"k": null}', None, "one")]


def test_rows_need_only_keys_and_get(db, mixin):
    class Row:
        def __init__(self, **values):
            self.values = values

        def keys(self):
            return iter(self.values)

        def get(self, key, default):
            return self.values.get(key, default)

    db.execute("CREATE TABLE t (a, b)")
    db.execute(*mixin._build_bulk_insert_statement("t", [Row(a=1), Row(b=2)]))
    assert rows(db, "t") == [(1, None), (None, 2)]


@pytest.mark.parametrize("name", ["na`me", "é ü", "名前", "\U0001f600", "a b"])
def test_names_reach_the_database_unchanged(db, mixin, name):
    # A backquote inside a name is doubled, so it stays part of the quoted name.
    db.execute(f"CREATE TABLE `{name.replace('`', '``')}` (`{name.replace('`', '``')}`, other)")
    db.execute(*mixin._build_insert_statement(name, {name: 1, "other": 2}))
    db.execute(*mixin._build_bulk_insert_statement(name, [{name: 3}]))
    db.execute(*mixin._build_delete_statement(f"`{name.replace('`', '``')}`", {name: 1}))
    assert db.execute(f"SELECT * FROM `{name.replace('`', '``')}`").fetchall() == [(3, None)]


def test_backquotes_in_names_cannot_end_the_quoted_name(db, mixin):
    db.execute("CREATE TABLE t (a, b)")
    evil = "a`, `b"
    text, params = mixin._build_insert_statement("t", {evil: 1})
    assert text == "INSERT INTO `t` (`a``, ``b`) VALUES (?)"
    with pytest.raises(sqlite3.OperationalError, match="no column named"):
        db.execute(text, params)
    text, _ = mixin._build_delete_statement("t", {"a` = 1 OR `b": 2})
    assert text == "DELETE FROM t WHERE `a`` = 1 OR ``b` = ?"


def test_surrogates_in_names_are_kept(mixin):
    text, _ = mixin._build_insert_statement("t\udc80", {"k\ud800": 1})
    assert text == "INSERT INTO `t\udc80` (`k\ud800`) VALUES (?)"


# --------------------------------------------------------------------------- deletes on SQLite


@pytest.mark.parametrize(
    "method, data, left",
    [
        ("_build_delete_statement", {"id": 2}, [1, 3, 4]),
        ("_build_delete_statement", {"kind": "a", "born": 0}, [2, 4]),
        ("_build_delete_statement", {"born": date(2024, 1, 2)}, [1, 3, 4]),
        ("_build_delete_statement", {"born": datetime(1970, 1, 1, 0, 0, 0, 999, timezone.utc), "name": "Cy"},
         [1, 2, 4]),
        # NULL never compares equal: no row goes.
        ("_build_delete_statement", {"born": None}, [1, 2, 3, 4]),
        ("_build_bulk_delete_statement", [{"id": 1}], [2, 3, 4]),
        ("_build_bulk_delete_statement", [{"id": 1}, {"kind": "b", "name": "Di"}], [2, 3]),
        ("_build_bulk_delete_statement", [{"id": 9}, OrderedDict(kind="a")], [2, 4]),
        ("_build_bulk_delete_statement", [{"id": 3, "kind": "b"}], [1, 2, 3, 4]),
    ],
)
def test_deletes_remove_exactly_the_named_rows(people, mixin, method, data, left):
    people.execute(*getattr(mixin, method)("person", data))
    assert [r[0] for r in rows(people, "person", "id")] == left


@pytest.mark.parametrize("method, data", [("_build_delete_statement", {}), ("_build_bulk_delete_statement", [])])
def test_empty_deletes_fail_on_sqlite_and_keep_every_row(people, mixin, method, data):
    with pytest.raises(sqlite3.OperationalError):
        people.execute(*getattr(mixin, method)("person", data))
    assert len(rows(people, "person")) == 4


def test_json_values_match_rows_written_by_insert(db, mixin):
    db.execute("CREATE TABLE t (id, meta, tags)")
    for i, meta in enumerate([{"a": 1}, {"a": 2}]):
        db.execute(*mixin._build_insert_statement("t", {"id": i, "meta": meta, "tags": [date(2024, 1, 2)]}))
    db.execute(*mixin._build_bulk_delete_statement("t", [{"meta": {"a": 2}, "tags": [date(2024, 1, 2)]}]))
    assert rows(db, "t", "id") == [(0,)]


# --------------------------------------------------------------------------- hooks through self


def test_field_map_override_renames_columns_only(people):
    calls = []

    class Mapped(M):
        def _fields_map(self, table_name, field_name, class_version):
            calls.append((table_name, field_name, class_version))
            return {"ident": "id", "label": "name"}.get(field_name, field_name)

    m = Mapped()
    assert m._build_delete_statement("person", {"label": "Ann", "ident": 1}) == (
        "DELETE FROM person WHERE `name` = ? AND `id` = ?", ("Ann", 1))
    text, params = m._build_bulk_delete_statement("person", [{"ident": 2}, {"label": "Cy", "kind": "a"}])
    assert calls == [("person", "label", Versions.LATEST), ("person", "ident", Versions.LATEST),
                     ("person", "ident", Versions.LATEST), ("person", "label", Versions.LATEST),
                     ("person", "kind", Versions.LATEST)]
    assert all(c[2] is Versions.LATEST for c in calls)
    people.execute(text, params)
    assert rows(people, "person", "id") == [(1,), (4,)]
    # The insert builders write keys as they are.
    calls.clear()
    assert m._build_insert_statement("t", {"ident": 1})[0] == "INSERT INTO `t` (`ident`) VALUES (?)"
    assert calls == []


@pytest.mark.parametrize(
    "mapped, column",
    [(5, "5"), (2.5, "2.5"), (Versions.ALL, "all"),
     (type("F", (), {"__format__": lambda s, spec: "fmt"})(), "fmt")],
)
def test_mapped_names_are_formatted_as_text(mapped, column):
    class Mapped(M):
        def _fields_map(self, table_name, field_name, class_version):
            return mapped

    assert Mapped()._build_delete_statement("t", {"x": 1})[0] == f"DELETE FROM t WHERE `{column}` = ?"


def test_versions_latest_is_read_for_every_key(monkeypatch, mixin):
    reads = []

    class Versionsish:
        @property
        def LATEST(self):
            reads.append(1)
            return f"v{len(reads)}"

    seen = []

    class Mapped(M):
        def _fields_map(self, table_name, field_name, class_version):
            seen.append(class_version)
            return field_name

    monkeypatch.setattr(mod, "Versions", Versionsish())
    Mapped()._build_bulk_delete_statement("t", [{"a": 1, "b": 2}, {"c": 3}])
    assert seen == ["v1", "v2", "v3"]


def test_to_sql_value_is_fetched_once_per_call():
    fetched = []

    class Counting(M):
        @property
        def _to_sql_value(self):
            fetched.append(1)
            return lambda value: ("c", value)

    m = Counting()
    assert m._build_insert_statement("t", {"a": 1, "b": 2})[1] == (("c", 1), ("c", 2))
    assert m._build_bulk_insert_statement("t", [{"a": 1}, {"a": 2}])[1] == (("c", 1), ("c", 2))
    assert m._build_delete_statement("t", {"a": 1, "b": 2})[1] == (("c", 1), ("c", 2))
    assert m._build_bulk_delete_statement("t", [{"a": 1}, {"b": 2}])[1] == (("c", 1), ("c", 2))
    assert len(fetched) == 4


def test_conversion_overrides_take_effect(db):
    class Upper(M):
        @classmethod
        def _to_sql_value(cls, value):
            return value.upper() if isinstance(value, str) else super()._to_sql_value(value)

    class Shifted(M):
        @classmethod
        def _convert_date_to_sql_value(cls, value):
            return 7

    db.execute("CREATE TABLE t (a, b)")
    db.execute(*Upper()._build_bulk_insert_statement("t", [{"a": "x", "b": date(2024, 1, 2)}]))
    db.execute(*Shifted()._build_insert_statement("t", {"a": "y", "b": date(2024, 1, 2)}))
    assert rows(db, "t") == [("X", 1704153600), ("y", 7)]
    db.execute(*Upper()._build_delete_statement("t", {"a": "x"}))
    assert rows(db, "t") == [("y", 7)]

    m = M()
    m._to_sql_value = lambda value: -value  # an instance attribute shadows the class method
    assert m._build_insert_statement("t", {"a": 1})[1] == (-1,)


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m._build_insert_statement("t", {"a": [Boom]}),
        lambda m: m._build_bulk_insert_statement("t", [{"a": {"d": date(2024, 1, 2)}}]),
        lambda m: m._build_delete_statement("t", {"a": [[date(2024, 1, 2)]]}),
        lambda m: m._build_bulk_delete_statement("t", [{"a": {1: Boom}}]),
    ],
)
def test_conversion_errors_propagate(mixin, call):
    with pytest.raises(TypeError, match="JSON serializable"):
        call(mixin)


def test_hook_errors_propagate():
    class Failing(M):
        def _fields_map(self, table_name, field_name, class_version):
            raise Boom("map")

        @classmethod
        def _to_sql_value(cls, value):
            raise Boom("convert")

    f = Failing()
    for call, message in [
        (lambda: f._build_insert_statement("t", {"a": 1}), "convert"),
        (lambda: f._build_bulk_insert_statement("t", [{"a": 1}]), "convert"),
        (lambda: f._build_delete_statement("t", {"a": 1}), "map"),
        (lambda: f._build_bulk_delete_statement("t", [{"a": 1}]), "map"),
    ]:
        with pytest.raises(Boom, match=message):
            call()
    # Empty data converts nothing.
    assert f._build_insert_statement("t", {}) == ("INSERT INTO `t` () VALUES ()", ())


# --------------------------------------------------------------------------- argument and row errors


TYPE_MSG = "Argument '{}' has incorrect type (expected {}, got {})"


@pytest.mark.parametrize(
    "method, data, error, message",
    [
        ("_build_bulk_insert_statement", [{"a": 1}, None], AttributeError,
         "'NoneType' object has no attribute 'keys'"),
        ("_build_bulk_insert_statement", [type("K", (), {"keys": lambda s: ["a"]})()], AttributeError, "get"),
        ("_build_bulk_insert_statement", [{"a": 1}, 5], AttributeError, "'int' object has no attribute 'keys'"),
        ("_build_bulk_insert_statement", [type("K", (), {"keys": lambda s: [["a"]]})()], TypeError,
         "unhashable type: 'list'"),
        ("_build_bulk_delete_statement", [None], AttributeError, "'NoneType' object has no attribute 'keys'"),
        ("_build_bulk_delete_statement", [type("K", (), {"keys": lambda s: ["a"]})()], AttributeError, "values"),
        ("_build_delete_statement", {1: "x"}, TypeError, TYPE_MSG.format("field_name", "str", "int")),
        ("_build_bulk_delete_statement", [{"a": 1}, {None: 1}], TypeError,
         TYPE_MSG.format("field_name", "str", "NoneType")),
    ],
)
def test_row_errors(mixin, method, data, error, message):
    with pytest.raises(error, match=re.escape(message)):
        getattr(mixin, method)("t", data)


# --------------------------------------------------------------------------- hostile objects


class FormatMutates:
    """A key whose formatting changes the dict it sits in."""

    def __init__(self, target):
        self.target = target

    def __format__(self, spec):
        self.target["added"] = 1
        return "k"


class Raising:
    def __format__(self, spec):
        raise Boom("format")

    def __str__(self):
        raise Boom("str")


class RaisingHash:
    def __hash__(self):
        raise Boom("hash")


class RaisingMap(M):
    def _fields_map(self, table_name, field_name, class_version):
        return Raising()


def test_changing_the_row_while_it_is_read_raises(mixin):
    data = {}
    data[FormatMutates(data)] = 1
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        mixin._build_insert_statement("t", data)

    class Growing(M):
        @classmethod
        def _to_sql_value(cls, value):
            row.pop("a", None)
            row["z" + str(value)] = value
            return value

    row = {"a": 1, "b": 2}
    with pytest.raises(RuntimeError, match="changed"):
        Growing()._build_insert_statement("t", row)
    row = {"a": 1, "b": 2}
    with pytest.raises(RuntimeError, match="changed"):
        Growing()._build_delete_statement("t", row)

    class Clearing(M):
        def _fields_map(self, table_name, field_name, class_version):
            entry.clear()
            return field_name

    entry = {"a": 1, "b": 2}
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        Clearing()._build_bulk_delete_statement("t", [entry])


def test_changing_the_row_list_while_it_is_read_is_safe():
    data = [{"a": 1}, {"a": 2}, {"a": 3}]

    class Shrinking(M):
        @classmethod
        def _to_sql_value(cls, value):
            del data[1:]
            return value

    # The rows as they were when the call began: groups and parameters agree.
    text, params = Shrinking()._build_bulk_insert_statement("t", data)
    assert text.count("(?)") == 3 and params == (1, 2, 3)

    data2 = [{"a": 0}]

    class GrowingList(M):
        @classmethod
        def _to_sql_value(cls, value):
            if value < 20:
                data2.append({"a": value + 1})
            return value

    text, params = GrowingList()._build_bulk_insert_statement("t", data2)
    assert text.count("(?)") == 1 and params == (0,)

    class Dropping(M):
        def _fields_map(self, table_name, field_name, class_version):
            entries.clear()
            gc.collect()
            return field_name

    entries = [{"a": object()}, {"b": 2}]
    text, params = Dropping()._build_bulk_delete_statement("t", entries)
    assert text == "DELETE FROM t WHERE (`a` = ?)" and len(params) == 1


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m._build_insert_statement("t", {Raising(): 1}),
        lambda m: m._build_bulk_insert_statement("t", [{Raising(): 1}]),
        lambda m: m._build_bulk_insert_statement("t", [{"a": 1}, {RaisingHash(): 1}]),
        lambda m: RaisingMap()._build_delete_statement("t", {"a": 1}),
        lambda m: RaisingMap()._build_bulk_delete_statement("t", [{"a": 1}]),
    ],
)
def test_raising_keys_give_clean_errors(mixin, call):
    with pytest.raises(Boom):
        call(mixin)


# --------------------------------------------------------------------------- bulk rows of one shape

KEYS = [f"col{i}" for i in range(6)]


def fresh(text):
    """An equal str that is a different object."""
    return "".join(list(text))


def reference_bulk(mixin, rows):
    """The bulk insert as plain Python states it: columns in set order, row.get per column."""
    columns = set()
    for row in rows:
        columns.update(row.keys())
    columns = list(columns)
    return columns, tuple(mixin._to_sql_value(row.get(c)) for row in rows for c in columns)


class Row(dict):
    pass


SHAPES = {
    "one shape": lambda: [dict(zip(KEYS, range(i, i + 6))) for i in range(5)],
    "equal keys, other objects": lambda: [dict(zip(KEYS, range(6)))] + [
        {fresh(k): i for k in KEYS} for i in range(3)],
    "a column missing, one extra": lambda: [dict(zip(KEYS, range(6))), dict(zip(KEYS[:-1], range(5))),
                                            dict(zip(KEYS + ["extra"], range(7))), dict(zip(KEYS, range(6)))],
    "other order": lambda: [dict(zip(KEYS, range(6))), dict(zip(reversed(KEYS), range(6)))],
    "subclass and non-str keys between": lambda: [dict(zip(KEYS, range(6))), Row(zip(KEYS, "abcdef")),
                                                  {**dict(zip(KEYS, range(6))), 7: "seven"},
                                                  dict(zip(KEYS, range(6)))],
    "non-str keys first": lambda: [{1: "a", "col0": 2}, dict(zip(KEYS, range(6)))],
    "mixed values": lambda: [dict(zip(KEYS, [1, "x", None, [date(1970, 1, 2)], {"a": 1}, 2.5]))] * 3,
}


@pytest.mark.parametrize("shape", list(SHAPES))
def test_bulk_rows_give_what_row_get_gives(mixin, shape):
    rows = SHAPES[shape]()
    sql, params = mixin._build_bulk_insert_statement("t", rows)
    columns, expected = reference_bulk(mixin, rows)
    assert sql.startswith("INSERT INTO `t` (" + ", ".join(f"`{c}`" for c in columns) + ") VALUES ")
    assert params == expected


def test_bulk_rows_changed_by_a_conversion_are_read_again():
    rows = [dict(zip(KEYS, range(6))) for _ in range(3)]

    class Host(M):
        calls = 0

        def _to_sql_value(self, value):
            Host.calls += 1
            if Host.calls == 1:  # the first conversion changes every value of every row
                for row in rows:
                    for k in KEYS:
                        row[k] += 100
            return value

    sql, params = Host()._build_bulk_insert_statement("t", rows)
    # The first value is read before the change, every other one after it.
    assert [p >= 100 for p in params] == [False] + [True] * 17


@pytest.mark.parametrize("table", ["t", "t€", "t𝄞"])
@pytest.mark.parametrize("nrows", [1, 2, 3, 4, 5, 8, 9, 300])
def test_bulk_insert_writes_one_group_per_row(table, nrows):
    text, params = M._build_bulk_insert_statement(M(), table, [{"a": i, "b": -i} for i in range(nrows)])
    head, groups = text.split(" VALUES ")
    assert head in (f"INSERT INTO `{table}` (`a`, `b`)", f"INSERT INTO `{table}` (`b`, `a`)")
    assert groups == ", ".join(["(?, ?)"] * nrows)
    assert len(params) == 2 * nrows
