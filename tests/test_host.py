"""The SQLite host end to end: versioned objects saved, read back with every kind of query,
counted and deleted on a real database; writes that fail leave nothing behind."""
import gc
import sqlite3
import weakref

import pytest
from quarna_utils.query.data_models.filter import Filter
from quarna_utils.query.enums import Lookup
from quarna_utils.query.utils import ConnectorEnum, Q

from quarna_data.connections.errors import QuarnaConnectionError
from quarna_data.connections.sqlite import SqliteConnection, latest_only, order, sqlite_parameter_limit

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
    # the next version continues the numbering
    assert conn.save("person", "ann", {"name": "Ann", "age": 50}) == "3"
    assert keys(conn.select("person", latest_only(), meta=meta)) == [("ann", "3"), ("bob", "2")]


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
    with pytest.raises((sqlite3.Error, TypeError)):
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
    assert c.select("late", Q(x__k='[1]'))[0]["x"] == {"k": [1]}
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
    raw.execute(f"SELECT ?{limit}", [None] * limit)
    if limit < 5000:  # below the bound asked for: the library's own limit
        with pytest.raises(sqlite3.OperationalError):
            raw.execute(f"SELECT ?{limit + 1}", [None] * (limit + 1))
    if hasattr(raw, "getlimit"):
        assert limit == min(raw.getlimit(sqlite3.SQLITE_LIMIT_VARIABLE_NUMBER), 5000)
    sqlite_parameter_limit.__globals__["_parameter_limits"].clear()
