"""The SQLite host end to end: versioned objects saved, read back with every kind of query,
counted and deleted on a real database; writes that fail leave nothing behind."""
import gc
import json
import re
import signal
import sqlite3
import subprocess
import sys
import warnings
import weakref

import pytest
from quarna_utils.query.data_models.filter import Filter
from quarna_utils.query.enums import Lookup
from quarna_utils.query.mixin import QueryableMixin
from quarna_utils.query.utils import ConnectorEnum, Q

from quarna_data.connections.errors import QuarnaConnectionError
from quarna_data.connections.sqlite import (SAVE_CHUNK, RejectedRow, SqliteConnection, latest_only, order,
                                            sqlite_parameter_limit)

COLUMNS = {"name": "TEXT", "age": "INTEGER", "data": "json", "tags": "json"}
# (object id, fields), in the order saved: later entries of an id are its next versions
SAVES = [
    ("ann", {"name": "Ann", "age": 30, "data": {"city": "Oslo", "n": 1}, "tags": ["a"]}),
    ("bob", {"name": "Bob", "age": 40, "data": {"city": "Bergen", "n": 2}, "tags": []}),
    ("ann", {"name": "Ann", "age": 31, "data": {"city": "Molde", "n": 3}, "tags": ["a", "b"]}),
    ("cy", {"name": "Cy", "age": None, "data": {"city": "Oslo", "n": 4}, "tags": None}),
    ("ann", {"name": "Anna", "age": 32, "data": {"city": "Oslo", "n": 5}, "tags": ["c"]}),
    ("bob", {"name": "Bobby", "age": 41, "data": {"city": "Tromsø", "n": 6}, "tags": ["x"]}),
]


def expected_versions():
    """{(object id, version): fields} and {object id: latest version} of SAVES."""
    versions, latest = {}, {}
    for object_id, fields in SAVES:
        number = int(latest.get(object_id, "0")) + 1
        latest[object_id] = str(number)
        versions[(object_id, str(number))] = fields
    return versions, latest


VERSIONS, LATEST = expected_versions()


@pytest.fixture
def conn():
    ticks = iter(range(1000, 10**6))
    c = SqliteConnection(clock=lambda: next(ticks))
    c.create_model_table("person", COLUMNS)
    for object_id, fields in SAVES[:3]:
        c.save("person", object_id, fields)
    c.bulk_save("person", SAVES[3:])  # several versions of one object in one call
    yield c
    c.close()


def keys(records):
    return sorted((r["_object_id"], r["_object_version"]) for r in records)


def check_records(records):
    for record in records:
        fields = VERSIONS[(record["_object_id"], record["_object_version"])]
        assert {k: record[k] for k in fields} == fields


def latest_keys(predicate=lambda f: True):
    return sorted((o, v) for o, v in LATEST.items() if predicate(VERSIONS[(o, v)]))


# --------------------------------------------------------------------------- reads


@pytest.mark.parametrize("meta", [False, True])
def test_every_version_and_the_latest(conn, meta):
    records = conn.select("person", meta=meta)
    assert keys(records) == sorted(VERSIONS)
    check_records(records)
    latest = conn.select("person", latest_only(), meta=meta)
    assert keys(latest) == latest_keys()
    check_records(latest)
    assert conn.count("person", meta=meta) == len(VERSIONS)
    assert conn.count("person", latest_only(), meta=meta) == len(LATEST)


QUERIES = [
    (Q(age__gte=32), lambda f: (f["age"] or 0) >= 32),
    (Q(data__city="Oslo"), lambda f: f["data"]["city"] == "Oslo"),
    (Q(Filter(field_name="data__n", lookup=Lookup.GT, value=4)), lambda f: f["data"]["n"] > 4),
    (Q(name__in=["Ann", "Cy"]), lambda f: f["name"] in ("Ann", "Cy")),
    (Q(name__startswith="An"), lambda f: f["name"].startswith("An")),
    (Q(name__iendswith="BY"), lambda f: f["name"].lower().endswith("by")),
    (Q(name__icontains="nn"), lambda f: "nn" in f["name"].lower()),
    (Q(tags__contains='"a"'), lambda f: f["tags"] is not None and "a" in f["tags"]),
    (Q(age__isnull=True), lambda f: f["age"] is None),
    (~Q(data__city="Oslo"), lambda f: f["data"]["city"] != "Oslo"),
    (Q(age__lt=31, name="Bobby", _connector=ConnectorEnum.OR), lambda f: (f["age"] or 99) < 31 or f["name"] == "Bobby"),
    (Q(name__neq="Ann") & ~Q(age__isnull=True), lambda f: f["name"] != "Ann" and f["age"] is not None),
]


@pytest.mark.parametrize("meta", [False, True])
@pytest.mark.parametrize("conditions, predicate", QUERIES)
def test_filters_on_every_version_and_on_the_latest(conn, meta, conditions, predicate):
    records = conn.select("person", conditions, meta=meta)
    assert keys(records) == sorted(k for k, f in VERSIONS.items() if predicate(f))
    check_records(records)
    latest = conn.select("person", latest_only() & conditions, meta=meta)
    assert keys(latest) == latest_keys(predicate)
    assert conn.count("person", latest_only() & conditions, meta=meta) == len(latest)


@pytest.mark.parametrize("meta", [False, True])
def test_ordering_pages_and_fields(conn, meta):
    ordered = conn.select("person", latest_only(), meta=meta, order_by=[order("-data__n")])
    assert [r["name"] for r in ordered] == ["Bobby", "Anna", "Cy"]
    page = conn.select("person", meta=meta, order_by=[order("age"), order("name")], limit=2, offset=1)
    assert [r["age"] for r in page] == [30, 31]  # NULL ages sort first
    only = conn.select("person", latest_only(), meta=meta, only=["name", "partition_key"], order_by=[order("name")])
    assert [(r["_object_id"], r["name"]) for r in only] == [("ann", "Anna"), ("bob", "Bobby"), ("cy", "Cy")]
    assert all(set(r) <= {"name", "_object_id", "_object_version", "_metadata"} for r in only)
    sql, params = conn.select_statement("person", meta=meta, order_by=[order("age"), order("name")], limit=2, offset=1)
    assert conn.fetch_records("person", sql, params) == page


def test_metadata_of_the_versions(conn):
    records = {(r["_object_id"], r["_object_version"]): r["_metadata"] for r in conn.select("person", meta=True)}
    assert records[("ann", "2")]["prior_version"] == "1" and records[("ann", "2")]["next_version"] == "3"
    assert records[("ann", "3")]["next_version"] is None
    assert records[("ann", "1")]["address"] == {"object_id": "ann", "object_version": "1", "class_version": "1",
                                                 "table_name": "person"}
    # the copy each model row keeps agrees with the metadata table
    own = {(r["_object_id"], r["_object_version"]): r["_metadata"] for r in conn.select("person")}
    for key, metadata in records.items():
        assert {k: own[key][k] for k in ("next_version", "prior_version", "address", "created_at")} == \
            {k: metadata[k] for k in ("next_version", "prior_version", "address", "created_at")}
    assert conn.select("metadata", Q(object_id="bob"), order_by=[order("object_version")])[1]["prior_version"] == "1"


@pytest.mark.parametrize("meta", [False, True])
def test_deleting_versions_relinks_the_rest(conn, meta):
    assert conn.delete("person", {"partition_key": "ann", "range_key": "3"}) == 1  # the latest
    assert conn.delete("person", {"partition_key": "bob", "range_key": "1"}) == 1  # the first
    latest = conn.select("person", latest_only(), meta=meta)
    assert keys(latest) == [("ann", "2"), ("bob", "2"), ("cy", "1")]
    assert conn.count("person", meta=meta) == len(VERSIONS) - 2
    assert conn.count("metadata") == len(VERSIONS) - 2
    assert conn.bulk_delete("person", [{"partition_key": "ann", "range_key": "1"}, {"name": "Cy"}]) == 2
    assert keys(conn.select("person", latest_only(), meta=meta)) == [("ann", "2"), ("bob", "2")]
    (ann,) = conn.select("person", Q(partition_key="ann"), meta=True)
    assert ann["_metadata"]["prior_version"] is None and ann["_metadata"]["next_version"] is None
    # the next version continues the numbering after the highest one ever given (3, deleted)
    assert conn.save("person", "ann", {"name": "Ann", "age": 50}) == "4"
    assert keys(conn.select("person", latest_only(), meta=meta)) == [("ann", "4"), ("bob", "2")]


def test_a_middle_version_deleted(conn):
    conn.delete("person", {"partition_key": "ann", "range_key": "2"})
    chain = {r["_object_version"]: r["_metadata"] for r in conn.select("person", Q(partition_key="ann"), meta=True)}
    assert (chain["1"]["next_version"], chain["3"]["prior_version"]) == ("3", "1")
    assert keys(conn.select("person", latest_only())) == latest_keys()


# --------------------------------------------------------------------------- writes that fail


def table_state(c):
    return (c.execute("SELECT * FROM person ORDER BY 1, 2").fetchall(),
            c.execute("SELECT * FROM metadata ORDER BY 1, 2").fetchall())


def test_failed_bulk_save_leaves_nothing(conn):
    before = table_state(conn)
    conn.parameter_limit = 40  # many statements per call
    objects = [(f"o{i}", {"name": str(i)}) for i in range(50)] + [("ann", {"name": "x"})]
    objects.append(("late", {"name": {1, 2}}))  # cannot be bound: fails in the last statement
    with pytest.raises(RejectedRow, match="row 52, field 'name': a value of type set"):
        conn.bulk_save("person", objects)
    assert table_state(conn) == before


def test_failed_bulk_insert_leaves_nothing(conn):
    conn.execute("CREATE TABLE plain (k TEXT PRIMARY KEY, v INTEGER)")
    conn.parameter_limit = 10

    rows = [{"k": str(i), "v": i} for i in range(100)] + [{"k": "5", "v": 0}]  # duplicate key at the end
    with pytest.raises(sqlite3.IntegrityError):
        conn.bulk_insert("plain", rows)
    assert conn.count("plain") == 0
    assert conn.bulk_insert("plain", rows[:-1]) == 100
    assert conn.count("plain") == 100
    assert sorted(r["v"] for r in conn.select("plain")) == list(range(100))


def test_bulk_insert_batches_follow_the_parameter_limit(conn):
    conn.execute("CREATE TABLE plain (a, b, c)")
    statements = []
    conn.parameter_limit = 30
    original = conn.execute
    conn.execute = lambda sql, params=(): (sql.startswith("INSERT") and statements.append(len(params)),
                                           original(sql, params))[1]
    conn.bulk_insert("plain", [{"a": i, "b": i, "c": i} for i in range(95)] + [{"a": 1}])
    assert len(statements) == 10 and max(statements) <= 30 and sum(statements) == 96 * 3
    assert conn.count("plain") == 96


@pytest.mark.parametrize("call, message", [
    (lambda c: c.save("person", "ann", {"nope": 1}), "field 'nope': unknown column"),
    (lambda c: c.save("person", "ann", {"partition_key": "x"}), "written by the connection"),
    (lambda c: c.save("person", "", {}), "non-empty text"),
    (lambda c: c.save("nothere", "x", {}), "unknown table 'nothere'"),
    (lambda c: c.save("metadata", "x", {}), "not a model table"),
    (lambda c: c.create_model_table("bad name", {}), "invalid table name"),
    (lambda c: c.create_model_table("t", {"a": "varchar"}), "unsupported type"),
    (lambda c: c.create_model_table("person", {}), "already exists"),
    (lambda c: c.create_model_table("x_reference", {}), "reserved"),
])
def test_refused_writes(conn, call, message):
    before = table_state(conn)
    with pytest.raises(QuarnaConnectionError, match=message):
        call(conn)
    assert table_state(conn) == before


def test_an_object_lives_in_one_table(conn):
    conn.create_model_table("pet", {"name": "TEXT"})
    with pytest.raises(QuarnaConnectionError, match="stored in table 'person'"):
        conn.save("pet", "ann", {"name": "Rex"})
    assert conn.count("pet") == 0


# --------------------------------------------------------------------------- descriptions, files, limits


def test_a_table_created_after_it_was_found_missing_is_described():
    c = SqliteConnection()
    assert c._describe_table("late") == {}
    c.create_model_table("late", {"x": "json"})
    assert c._describe_table("late")["x"] == "json"
    c.save("late", "o", {"x": {"k": [1]}})
    assert c.select("late", Q(x__k=[1]))[0]["x"] == {"k": [1]}
    ref = weakref.ref(c)
    c.close()
    del c
    gc.collect()
    assert ref() is None  # no cache keeps the connection alive


def test_files_and_modes(tmp_path):
    path = tmp_path / "db.sqlite"
    with pytest.raises(sqlite3.OperationalError):
        SqliteConnection(str(path), mode="rw")  # must exist
    with SqliteConnection(str(path)) as c:
        c.create_model_table("t", {"v": "INTEGER"})
        c.save("t", "o", {"v": 1})
    with SqliteConnection(str(path), mode="ro") as c:
        assert c.count("t", latest_only(), meta=True) == 1
        with pytest.raises(sqlite3.OperationalError, match="readonly"):
            c.save("t", "o", {"v": 2})
    garbage = tmp_path / "garbage"
    garbage.write_bytes(b"not a database" * 100)
    for mode in ("ro", "rw", "rwc"):
        with pytest.raises(QuarnaConnectionError, match="not a SQLite database: it holds text starting 'not a"):
            SqliteConnection(str(garbage), mode=mode)
    assert garbage.read_bytes() == b"not a database" * 100


@pytest.mark.parametrize("lowered", [None, 700])
def test_parameter_limit_probe_agrees_with_the_library(lowered):
    raw = sqlite3.connect(":memory:")
    if lowered is not None:
        if not hasattr(raw, "setlimit"):
            pytest.skip("the limit can only be lowered from Python 3.11 on")
        raw.setlimit(sqlite3.SQLITE_LIMIT_VARIABLE_NUMBER, lowered)

    class NoGetlimit:  # the probing path, as on Python 3.10
        execute = raw.execute

    sqlite_parameter_limit.__globals__["_parameter_limits"].clear()
    limit = sqlite_parameter_limit(NoGetlimit(), 5000)
    with warnings.catch_warnings():  # 3.12+: "?N" with a sequence is deprecated, still the way to fill ?1..?N
        warnings.simplefilter("ignore", DeprecationWarning)
        raw.execute(f"SELECT ?{limit}", [None] * limit)
        if limit < 5000:  # below the bound asked for: the library's own limit
            with pytest.raises(sqlite3.OperationalError):
                raw.execute(f"SELECT ?{limit + 1}", [None] * (limit + 1))
    if hasattr(raw, "getlimit"):
        assert limit == min(raw.getlimit(sqlite3.SQLITE_LIMIT_VARIABLE_NUMBER), 5000)
    sqlite_parameter_limit.__globals__["_parameter_limits"].clear()


# --------------------------------------------------------------------------- names: the injection catalogue


class Tagged(QueryableMixin):
    """A queryable value whose tree names a field of its own choosing."""

    def __init__(self, field):
        self.field = field

    def to_query(self, prefix=""):
        return Q(Filter(field_name=self.field, lookup=Lookup.EQ, value=1))


SECRET_TABLE = "secret WHERE ? IS NOT NULL --"
SECRET_COUNT = "person' WHERE 0 UNION SELECT v FROM secret ORDER BY 1 DESC --"
SECRET_KEY = "x' IS NULL OR 1=1) UNION SELECT v, v, v, v, v, v, v, v, v, v, v, v, v, v, v, v, v FROM secret --"


@pytest.mark.parametrize("call", [
    # the table name of every method
    lambda c: c.delete(SECRET_TABLE, {"v": "s3cret"}),
    lambda c: c.bulk_delete(SECRET_TABLE, [{"v": "s3cret"}]),
    lambda c: c.count(SECRET_COUNT),
    lambda c: c.select(SECRET_COUNT),
    lambda c: c.select_statement(SECRET_COUNT),
    lambda c: c.iter_select(SECRET_COUNT),
    lambda c: c.insert("person` (name) SELECT v FROM secret --", {"name": "x"}),
    lambda c: c.bulk_insert("secret; DROP TABLE secret", [{"v": "x"}]),
    lambda c: c.save("person; DROP TABLE secret", "o", {}),
    lambda c: c.bulk_save("person; DROP TABLE secret", [("o", {})]),
    lambda c: c.describe("secret') --"),
    lambda c: c.count_statement(SECRET_COUNT),
    # filter fields, at the top and inside trees and queryable values
    lambda c: c.select("person", Q(Filter(field_name="1=1 OR name", value="x"))),
    lambda c: c.count("person", Q(Filter(field_name="(SELECT v FROM secret)", value="s3cret"))),
    lambda c: c.select("person", ~Q(age=1) | Q(Q(Filter(field_name="name) OR (1=1", value="x")))),
    lambda c: c.select("person", Q(data=Tagged("(SELECT v FROM secret)"))),
    lambda c: c.select("person", Q(Filter(field_name="name__x') OR 1=1 --", value=1))),  # text column: no keys
    lambda c: c.delete("person", {"1=1 OR name": "x"}),
    # ordering, only, distinct
    lambda c: c.select("person", order_by=[order("(SELECT v FROM secret)")]),
    lambda c: c.select("person", order_by=[order("-name; DROP TABLE secret")]),
    lambda c: c.select("person", only=["name, (SELECT v FROM secret) AS v"]),
    lambda c: c.select("person", only=["name"], distinct=["(SELECT v FROM secret)"]),
    lambda c: c.select("person", distinct=["name FROM secret --"], meta=True),
    # metadata and address selectors
    lambda c: c.select("person", Q(Filter(field_name=f"_metadata__{SECRET_KEY}", lookup=Lookup.ISNULL, value=True)),
                       meta=True),
    lambda c: c.count("person", Q(Filter(field_name=f"_metadata__{SECRET_KEY}", value=1))),
    lambda c: c.select("person", order_by=[order(f"_metadata__{SECRET_KEY}")], meta=True),
    lambda c: c.select("person", Q(Filter(field_name="_address__class_version') OR 1=1 --", value="1")), meta=True),
    # row keys of writes
    lambda c: c.insert("person", {"name) VALUES ((SELECT v FROM secret)) --": 1}),
    lambda c: c.bulk_insert("secret", [{"v": "a"}, {"v) SELECT v FROM secret --": "b"}]),
    lambda c: c.bulk_delete("person", [{"name": "Ann"}, {"name` = name OR `name": "x"}]),
    lambda c: c.save("person", "ann", {"age = 0, name": "x"}),
])
def test_injection_catalogue(conn, call):
    conn.execute('CREATE TABLE secret (v TEXT)')
    conn.execute("INSERT INTO secret VALUES ('s3cret')")
    before = list(conn._conn.iterdump())
    with pytest.raises(QuarnaConnectionError) as refused:
        call(conn)
    assert "s3cret" not in str(refused.value)
    assert list(conn._conn.iterdump()) == before


# --------------------------------------------------------------------------- exact answers on real data


@pytest.fixture
def people():
    c = SqliteConnection()
    c.create_model_table("person", {"name": "TEXT", "data": "json", "flag": "boolean"})
    c.bulk_save("person", [("mu", {"name": "Müller Zoë"}), ("iv", {"name": "Пётр Иванов"}),
                           ("an", {"name": "ann smith"}), ("mu", {"name": "MÜLLER ZOË"})])
    yield c
    c.close()


@pytest.mark.parametrize("conditions, meta, expected", [
    (Q(name__icontains="müller"), False, [("mu", "1"), ("mu", "2")]),
    (Q(name__iexact="müller zoë") if hasattr(Lookup, "IEXACT") else Q(name__istartswith="müller zoë"), False,
     [("mu", "1"), ("mu", "2")]),
    (Q(name__iendswith="иванов"), False, [("iv", "1")]),
    (Q(name__istartswith="ANN"), False, [("an", "1")]),
    (Q(name__startswith="Ann"), False, []),  # LIKE is case-sensitive
    (Q(name__contains="ÜLLER"), False, [("mu", "2")]),
    (Q(_address__object_version="2"), True, [("mu", "2")]),
    (Q(_object_id="iv") | Q(_object_version="2"), False, [("iv", "1"), ("mu", "2")]),
    (latest_only() & Q(_object_id__in='["mu", "an"]'), False, [("an", "1"), ("mu", "2")]),
])
def test_lookups_give_the_right_rows(people, conditions, meta, expected):
    assert keys(people.select("person", conditions, meta=meta)) == expected
    assert people.count("person", conditions, meta=meta) == len(expected)


@pytest.mark.parametrize("value", ["42", "true", "[1]", "null", "text", "", "Zoë", True, False, 42, 1.5, None,
                                   [1, "2"], {"k": "v"}, ["a"]])
def test_json_and_boolean_columns_read_back_what_was_saved(people, value):
    people.save("person", "v", {"data": value, "flag": True})
    people.insert("person", {"partition_key": "w", "range_key": "1", "data": value, "flag": False})
    records = {r["_object_id"]: r for r in people.select("person", Q(_object_id__in='["v", "w"]'))}
    for record in records.values():
        assert record["data"] == value and type(record["data"]) is type(value)
    assert records["v"]["flag"] is True and records["w"]["flag"] is False
    if isinstance(value, str):  # stored as JSON text: the whole-column filter compares with JSON text
        assert people.count("person", Q(data=json.dumps(value, ensure_ascii=False))) == 2


def test_json_text_stored_before_still_reads_back(people):
    people.execute("INSERT INTO person (partition_key, range_key, data) VALUES ('old', '1', 'plain text'),"
                   " ('old', '2', '[1, 2]')")
    assert [r["data"] for r in people.select("person", Q(_object_id="old"), order_by=[order("range_key")])] == \
        ["plain text", [1, 2]]


@pytest.mark.parametrize("call, message", [
    (lambda c: c.select("person", Q(_address__object_version="2")), "add meta=True"),
    (lambda c: c.count("person", Q(_address__object_version__in='["1"]')), "add meta=True"),
    (lambda c: c.select("person", order_by=[order("_address__object_version")]), "add meta=True"),
    (lambda c: c.select("person", Q(_address__object_version__neq="latest")), "eq lookup only"),
    (lambda c: c.select("person", Q(data__kind="all")), 'data__kind__in=["all"]'),
    (lambda c: c.select("person", Q(_address__class_version="1"), meta=True), "address selectors are"),
    (lambda c: c.select("person", Q(_metadata__table_name="person")), "version record has the keys"),
    (lambda c: c.select("person", Q(name__x="1")), "unknown lookup 'x'"),
    (lambda c: c.select("person", limit=-1), "limit must be a non-negative integer"),
])
def test_filters_that_would_select_nothing_or_everything_are_refused(people, call, message):
    with pytest.raises(QuarnaConnectionError, match=re.escape(message)):
        call(people)


def test_only_and_distinct_on_every_kind_of_table(people):
    people.create_table("event", {"kind": "TEXT", "n": "INTEGER", "payload": "json"})
    people.bulk_insert("event", ({"kind": k, "n": i, "payload": {"i": i}} for i, k in enumerate("abab")))
    assert people.select("event", only=["kind"], order_by=[order("n")]) == [{"kind": k} for k in "abab"]
    assert people.select("event", distinct=["kind"], order_by=[order("-kind")]) == [{"kind": "b"}, {"kind": "a"}]
    assert people.select("event", only=["n"], distinct=["kind"], order_by=[order("n")], limit=2, offset=1) == \
        [{"n": 1, "kind": "b"}, {"n": 2, "kind": "a"}]
    assert people.select("person", distinct=["name"], order_by=[order("name")], meta=True) == \
        [{"name": n} for n in sorted(["Müller Zoë", "Пётр Иванов", "ann smith", "MÜLLER ZOË"])]
    assert people.select("person", latest_only(), distinct=["_object_id"], order_by=[order("_object_id")]) == \
        [{"_object_id": o} for o in ("an", "iv", "mu")]
    with pytest.raises(QuarnaConnectionError, match="distinct rows can only be ordered by their own fields"):
        people.select("event", distinct=["kind"], order_by=[order("n")])
    # an offset alone skips rows instead of being dropped
    assert [r["n"] for r in people.select("event", offset=3, order_by=[order("n")])] == [3]


@pytest.mark.parametrize("columns, message", [
    ({"order": "TEXT"}, "SQL keyword"),
    ({"select": "TEXT"}, "SQL keyword"),
    ({"address": "json"}, "reserved"),
    ({"created_at": "INTEGER"}, "reserved"),
    ({"next_version": "TEXT"}, "reserved"),
    ({"_object_id": "TEXT"}, "reserved"),
    ({"f" + "x" * 32: "TEXT"}, "left out of records"),
])
def test_model_tables_refuse_names_the_statements_cannot_use(people, columns, message):
    with pytest.raises(QuarnaConnectionError, match=message):
        people.create_model_table("thing", columns)
    assert "thing" not in people.tables()


def test_columns_of_older_tables_the_statements_cannot_use_are_refused_clearly(people):
    people.execute('CREATE TABLE "legacy" (partition_key TEXT, range_key TEXT, "order" TEXT, address json,'
                   ' _metadata json, "key" TEXT, "current_date" TEXT)')
    people.execute("""INSERT INTO legacy VALUES ('o', '1', 'x', '{"city": "Oslo"}', NULL, 'k', 'd')""")
    for field in ("order", "current_date"):
        with pytest.raises(QuarnaConnectionError, match=f"'{field}' is an SQL keyword"):
            people.select("legacy", Q(**{field: "x"}))
    with pytest.raises(QuarnaConnectionError, match="cannot tell them apart"):
        people.select("legacy", order_by=[order("address__city")], meta=True)
    # what the statements can write still works: a keyword SQLite takes as a name, paths without the join
    assert people.count("legacy", Q(key="k")) == 1
    assert people.select("legacy", Q(address__city="Oslo"))[0]["_metadata"] is None


# --------------------------------------------------------------------------- faults


@pytest.mark.parametrize("metadata", [None, "not json", "{}", '{"address": 5}', "[1]"])
def test_rows_with_a_missing_or_malformed_version_record_are_read(people, metadata):
    people.execute("INSERT INTO person (partition_key, range_key, name, _metadata) VALUES ('raw', '1', 'Raw', ?)",
                   (metadata,))
    (record,) = people.select("person", Q(_object_id="raw"))
    expected = metadata if metadata in (None, "not json") else json.loads(metadata)
    assert (record["name"], record["_object_version"], record["_metadata"]) == ("Raw", "1", expected)
    assert len(people.select("person")) == 5


def test_a_process_field_of_the_callers_sees_the_version_record_as_text(people):
    # The connection decodes the record before the decoder only while the decoder's hook is its own.
    seen = []
    own = people._process_field

    def spy(field_type, value):
        seen.append(type(value))
        return own(field_type, value)

    people._process_field = spy
    (record,) = people.select("person", limit=1)
    assert str in seen and dict not in seen and isinstance(record["_metadata"], dict)


def test_a_foreign_metadata_table_is_recognised(tmp_path):
    path = tmp_path / "foreign.sqlite"
    with sqlite3.connect(path) as raw:
        raw.execute("CREATE TABLE metadata (k TEXT, v TEXT)")
        raw.execute("CREATE TABLE event (id INTEGER PRIMARY KEY, kind TEXT)")
        raw.execute("CREATE TABLE person (partition_key TEXT, range_key TEXT, name TEXT, _metadata json)")
    with SqliteConnection(str(path), mode="rw") as c:
        for call in (lambda: c.create_model_table("pet", {"name": "TEXT"}),
                     lambda: c.save("person", "o", {"name": "x"}),
                     lambda: c.select("person", meta=True)):
            with pytest.raises(QuarnaConnectionError, match="'metadata' of this database is not a table of version"):
                call()
        assert c.bulk_insert("event", [{"kind": "a"}]) == 1  # plain tables are not affected
        assert c.select("metadata") == [] and c.tables() == ["event", "metadata", "person"]


def test_nothing_is_written_before_the_first_write(tmp_path):
    empty = tmp_path / "empty.sqlite"
    empty.write_bytes(b"")
    with SqliteConnection(str(empty), mode="rw") as c:
        with pytest.raises(QuarnaConnectionError, match="unknown table"):
            c.bulk_insert("person", [{"name": "x"}])
        assert c.tables() == []
    assert empty.read_bytes() == b""


def test_readers_are_not_locked_out_by_a_write_and_a_killed_writer_leaves_a_readable_file(tmp_path):
    path = str(tmp_path / "db.sqlite")
    with SqliteConnection(path) as c:
        c.create_model_table("t", {"v": "INTEGER"})
        c.bulk_save("t", [(f"o{i}", {"v": i}) for i in range(10)])
    writer = SqliteConnection(path, mode="rw")
    writer.execute("PRAGMA cache_size = 10")  # the write spills to the file long before it commits
    with writer.transaction():
        writer.bulk_save("t", [(f"n{i}", {"v": i}) for i in range(1000)])
        with SqliteConnection(path, mode="ro") as reader:  # while the write is open
            assert reader.count("t", latest_only(), meta=True) == 10
    writer.close()
    script = (f"import os, signal\nfrom quarna_data.connections.sqlite import SqliteConnection\n"
              f"c = SqliteConnection({path!r}, mode='rw')\n"
              f"with c.transaction():\n"
              f"    c.bulk_save('t', [('k%d' % i, {{'v': i}}) for i in range(5000)])\n"
              f"    os.kill(os.getpid(), signal.SIGKILL)\n")
    killed = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=60)
    assert killed.returncode == -signal.SIGKILL
    with SqliteConnection(path, mode="ro") as reader:
        assert reader.count("t") == 1010 and reader.count("metadata") == 1010


@pytest.mark.parametrize("rows, row, field, reason", [
    ([{"v": 1}, {"v": 1 << 64}], 2, "v", "integer wider than 64 bits"),
    ([{"v": "ok"}, {"v": "ok"}, {"v": "a\ud800b"}], 3, "v", "lone surrogate '\\ud800' at character 1"),
    ([{"v": -(1 << 63) - 1}], 1, "v", "integer wider than 64 bits"),
])
def test_values_that_cannot_be_stored_are_named_by_row_and_field(people, rows, row, field, reason):
    people.create_table("plain", {"v": "TEXT"})
    for write in (lambda: people.bulk_insert("plain", rows),
                  lambda: people.bulk_save("person", [(str(i), {"name": r["v"]}) for i, r in enumerate(rows)])):
        with pytest.raises(RejectedRow, match=re.escape(reason)) as rejected:
            write()
        assert rejected.value.index == row - 1 and rejected.value.field in (field, "name")
    assert people.count("plain") == 0 and people.count("person") == 4


def test_bulk_writes_consume_their_input_lazily(people):
    produced = []
    written = []

    def objects():
        for i in range(2000):
            produced.append(i)
            assert len(produced) - (written[-1] if written else 0) <= SAVE_CHUNK
            yield f"lazy{i}", {"name": str(i)}

    assert people.load("person", objects(), progress=written.append) == 2000
    assert written[-1] == 2000 and len(written) == 4
    assert people.bulk_delete("person", ({"name": str(i)} for i in range(2000))) == 2000


def test_a_journal_left_by_a_killed_writer_of_the_older_layout_is_rolled_back_on_reading(tmp_path):
    path = str(tmp_path / "journal.sqlite")
    with sqlite3.connect(path) as raw:  # rollback journal, as databases written before WAL have
        raw.execute("CREATE TABLE t (v TEXT)")
        raw.executemany("INSERT INTO t VALUES (?)", [("x" * 100,)] * 5000)
    script = (f"import os, signal, sqlite3\nc = sqlite3.connect({path!r}, isolation_level=None)\n"
              f"c.execute('PRAGMA cache_size = 5')\nc.execute('BEGIN IMMEDIATE')\n"
              f"c.execute(\"UPDATE t SET v = 'y'\")\nos.kill(os.getpid(), signal.SIGKILL)\n")
    assert subprocess.run([sys.executable, "-c", script], timeout=60).returncode == -signal.SIGKILL
    with pytest.raises(sqlite3.OperationalError, match="readonly"):  # what a plain read-only open meets
        sqlite3.connect(f"file:{path}?mode=ro", uri=True).execute("SELECT count(*) FROM t").fetchone()
    with SqliteConnection(path, mode="ro") as reader:
        assert reader.count("t") == 5000 and {r["v"] for r in reader.select("t")} == {"x" * 100}
        with pytest.raises(sqlite3.OperationalError, match="readonly"):
            reader.execute("DELETE FROM t")


# --------------------------------------------------------------------------- the name check, kept per table

class _OwnFilter(Filter):
    """A caller's subclass, whose reads are its own."""


def test_the_builders_get_a_copy_of_the_checked_tree(conn):
    # The builders read every node again: a node of the caller's could change after its check.
    info = conn.table_info("person")
    age, alias = Filter(field_name="age", lookup=Lookup.GT, value=30), Filter(field_name="_object_id", value="ann")
    plain = Q(age, Q(Filter(field_name="name", value="Ann")), _connector=ConnectorEnum.OR)
    checked = conn._checked_conditions(info, plain, False)
    assert checked is not plain and checked.children[0] is not age and checked.children[1] is not plain.children[1]
    assert (checked.connector, checked.children[0].field_name) == (ConnectorEnum.OR, "age")
    mixed = Q(age, Q(alias), _negated=True)
    checked = conn._checked_conditions(info, mixed, False)
    assert checked.negated and checked.children[1].children[0].field_name == "partition_key"
    assert alias.field_name == "_object_id"  # the caller's leaf is left as it was
    own = Q(_OwnFilter(field_name="age", value=1))
    assert type(conn._checked_conditions(info, own, False).children[0]) is Filter
    assert conn.select("person", mixed) == conn.select("person", ~Q(age, Q(Filter(field_name="partition_key",
                                                                                    value="ann"))))
    # The copies are what Filter.model_construct and Q() make, down to pydantic's own state.
    from pydantic import BaseModel

    leaf = checked.children[0]
    made = Filter.model_construct(field_name=leaf.field_name, lookup=leaf.lookup, value=leaf.value)
    assert [getattr(leaf, slot) for slot in ("__dict__", *BaseModel.__slots__)] == \
        [getattr(made, slot) for slot in ("__dict__", *BaseModel.__slots__)]
    assert leaf.model_fields_set is not made.model_fields_set
    assert vars(checked) == vars(Q(*checked.children, _connector=checked.connector, _negated=checked.negated))


def _checked_or_refused(check):
    try:
        return check()
    except QuarnaConnectionError as error:
        return ("refused", str(error))


@pytest.mark.parametrize("table", ["person", "odd"])
@pytest.mark.parametrize("joined", [False, True])
def test_names_known_per_table_check_as_the_full_check_does(conn, table, joined):
    # Columns named like aliases, selectors, version-record columns, keywords and paths.
    conn.execute('CREATE TABLE odd (name TEXT, object_id TEXT, "_object_id" TEXT, "_address" TEXT, '
                 '"_metadata" json, "a__b" TEXT, "select" TEXT, next_version TEXT)')
    from quarna_data.connections.sqlite.names import TableInfo

    info = conn.table_info(table)
    full = TableInfo(conn, table, info.description)
    full.as_is = full.as_is_joined_ordering = frozenset()
    names = list(info.description) + ["_object_id", "_address__object_id", "nope"]
    for where in ("the conditions", "the ordering"):
        for name in names:
            assert _checked_or_refused(lambda: conn._path(info, name, joined, where)) == \
                _checked_or_refused(lambda: conn._path(full, name, joined, where)), (name, where)
