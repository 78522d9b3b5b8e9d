"""Every bad input is refused by the connection with its own error, naming what is wrong, before
SQLite sees it; the database is left as it was."""
import decimal
import enum
import os
import sqlite3

import pytest
from quarna_utils.query.data_models.filter import Filter
from quarna_utils.query.enums import Lookup
from quarna_utils.query.utils import Q

from quarna_data.connections.errors import QuarnaConnectionError
from quarna_data.connections.sqlite import RejectedRow, SqliteConnection


def f(field, lookup, value):
    return Q(Filter(field_name=field, lookup=lookup, value=value))


class Key(str):
    def __format__(self, spec):
        return "partition_key"


class Field(str, enum.Enum):
    NAME = "name"


@pytest.fixture
def conn(tmp_path):
    c = SqliteConnection(str(tmp_path / "db.sqlite"))
    c.create_table("plain", {"name": "text", "age": "integer", "data": "json"})
    c.insert("plain", {"name": "Ann", "age": 3, "data": {"a": 1}})
    c.create_model_table("person", {"name": "text", "data": "json"})
    c.save("person", "p1", {"name": "None", "data": {"a.b": 1}})
    yield c
    c.close()


def state(c):
    return {t: sorted(map(repr, c.execute(f'SELECT * FROM "{t}"').fetchall())) for t in c.tables()}


@pytest.mark.parametrize("call, error, message", [
    # writes
    (lambda c: c.insert("plain", {}), RejectedRow, "no column values given"),
    (lambda c: c.bulk_insert("plain", [{"name": "x"}, {}]), RejectedRow, "row 2: no column values"),
    (lambda c: c.insert("plain", {"name": decimal.Decimal("1.5")}), RejectedRow, "field 'name': a value of type Decimal"),
    (lambda c: c.insert("plain", {"name": (1, 2)}), RejectedRow, "a value of type tuple"),
    (lambda c: c.insert("plain", {"data": b"\x00\x01"}), RejectedRow, "field 'data': bytes are not JSON"),
    (lambda c: c.insert("plain", {"data": float("inf")}), RejectedRow, "inf is not a JSON number"),
    (lambda c: c.insert("plain", {"data": {"x": float("nan")}}), RejectedRow, "field 'data': not JSON"),
    (lambda c: c.insert("plain", {"age": float("nan")}), RejectedRow, "NaN"),
    (lambda c: c.bulk_save("person", [("p2", {"name": "x"}), ("p3", {"data": [b"x"]})]), RejectedRow,
     "row 2, field 'data': not JSON"),
    (lambda c: c.save("person", "p1", {Key("nam"): "x"}), RejectedRow, "field 'nam': unknown column"),
    # filters
    (lambda c: c.select("plain", f("name", Lookup.STARTSWITH, None)), QuarnaConnectionError, "startswith takes text"),
    (lambda c: c.select("person", f("name", Lookup.CONTAINS, None)), QuarnaConnectionError, "contains takes text"),
    (lambda c: c.select("plain", f("age", Lookup.IN, None)), QuarnaConnectionError, "in takes a list, tuple or set"),
    (lambda c: c.select("plain", f("age", Lookup.IN, range(3))), QuarnaConnectionError, "not range"),
    (lambda c: c.select("plain", f("age", Lookup.IN, (a for a in [1]))), QuarnaConnectionError, "not generator"),
    (lambda c: c.select("plain", f("age", Lookup.IN, "abc")), QuarnaConnectionError, "not the text 'abc'"),
    (lambda c: c.select("plain", f("age", Lookup.IN, [[1]])), QuarnaConnectionError, "not list"),
    (lambda c: c.select("plain", f("age", Lookup.EQ, decimal.Decimal(1))), QuarnaConnectionError, "type Decimal"),
    (lambda c: c.select("plain", f("age", Lookup.EQ, 1 << 64)), QuarnaConnectionError, "wider than 64 bits"),
    (lambda c: c.select("plain", f("age", Lookup.ISNULL, "False")), QuarnaConnectionError, "isnull takes True or False"),
    (lambda c: c.select("plain", Q(age__gtee=1)), QuarnaConnectionError, "unknown lookup 'gtee'"),
    (lambda c: c.select("plain", f("data__a", Lookup.GT, [1])), QuarnaConnectionError, "compares numbers or text"),
    (lambda c: c.select("plain", f("data__", Lookup.EQ, 1)), QuarnaConnectionError, "an empty key"),
    (lambda c: c.select("plain", f("data____a", Lookup.EQ, 1)), QuarnaConnectionError, "an empty key"),
    (lambda c: c.select("plain", f('data__a"b', Lookup.EQ, 1)), QuarnaConnectionError, "cannot name exactly"),
    (lambda c: c.select("plain", f("data__a\\b", Lookup.EQ, 1)), QuarnaConnectionError, "cannot name exactly"),
    (lambda c: c.select("plain", f("na\x00me", Lookup.EQ, 1)), QuarnaConnectionError, "cannot hold NUL"),
    (lambda c: c.select("pl\x00ain"), QuarnaConnectionError, "cannot hold NUL"),
    (lambda c: c.select("plain", limit=1 << 63), QuarnaConnectionError, "limit must be below 2**63"),
    (lambda c: c.select("plain", offset=1 << 64), QuarnaConnectionError, "offset must be below 2**63"),
    # tables
    (lambda c: c.create_table("sqlite_x", {"a": "text"}), QuarnaConnectionError, "SQLite's own"),
    (lambda c: c.create_table("twice", {"a": "text", "A": "text"}), QuarnaConnectionError, "in any case"),
])
def test_bad_input_is_refused_and_changes_nothing(conn, call, error, message):
    before = state(conn)
    with pytest.raises(error, match=message.replace("(", r"\(").replace("*", r"\*")):
        call(conn)
    assert state(conn) == before


@pytest.mark.parametrize("make", [lambda p: os.mkfifo(p), lambda p: None])
def test_fifos_and_devices_are_not_opened(tmp_path, make):
    path = str(tmp_path / "fifo")
    make(path)
    target = path if os.path.exists(path) else os.devnull
    with pytest.raises(QuarnaConnectionError, match="not a file"):
        SqliteConnection(target)


def test_names_are_written_as_their_exact_text(conn):
    conn.save("person", "p9", {Key("name"): "x"})  # checked and written as "name", not partition_key
    conn.save("person", "p8", {Field.NAME: "y"})
    rows = {r["_object_id"]: r["name"] for r in conn.select("person")}
    assert rows["p9"] == "x" and rows["p8"] == "y"


def test_writes_while_iterating_see_the_table_as_it_was(conn):
    for i in range(10):
        conn.save("person", f"o{i}", {"name": str(i)})
    before = conn.count("person")
    seen = 0
    for record in conn.iter_select("person"):
        conn.save("person", record["_object_id"], {"name": "again"})
        seen += 1
    assert seen == before and conn.count("person") == 2 * before
    with SqliteConnection(conn.path, mode="ro") as other:  # the writes were committed
        assert other.count("person") == 2 * before


class WritingWhileDecoding(SqliteConnection):
    """Inserts a row into the table it reads for every record it decodes (at most 500)."""

    writes = 0

    def _process_result(self, table_name, result, description):
        if self.writes < 500:
            self.writes += 1
            self.insert("plain", {"name": "written while reading"})
        return super()._process_result(table_name, result, description)


@pytest.mark.parametrize("rows", [1, 63, 64, 65, 200])  # select's first fetch is 64 rows
def test_a_select_reads_the_table_as_it_was_when_decoding_writes(tmp_path, rows):
    with WritingWhileDecoding(str(tmp_path / "db.sqlite")) as conn:
        conn.create_table("plain", {"name": "text"})
        for i in range(rows):
            conn.insert("plain", {"name": str(i)})
        assert [r["name"] for r in conn.select("plain")] == [str(i) for i in range(rows)]
        assert conn.count("plain") == 2 * rows


def test_json_values_round_trip(conn):
    values = [[3.0, -0.0], 1.5, 7, "42", "naïve", True, ["ς", 1.0], {"naïve": "ç", "n": 2.0}]
    for i, value in enumerate(values):
        conn.save("person", f"v{i}", {"data": value})
    got = {r["_object_id"]: r["data"] for r in conn.select("person")}
    for i, value in enumerate(values):
        assert got[f"v{i}"] == value and type(got[f"v{i}"]) is type(value)
    assert repr(got["v0"]) == "[3.0, -0.0]" and repr(got["v7"]["n"]) == "2.0"
    assert conn.count("person", Q(data__naïve="ç")) == 1
    assert conn.count("person", Q(data__contains="ς")) == 1  # the whole column is searched as its UTF-8 JSON text
