"""Versioned objects on a real file: numbering, one object's versions, reads as of a time,
deleting objects, dump and restore, the internal tables and interrupted writes."""
import datetime
import sqlite3

import pytest
from quarna_data.connections.errors import QuarnaConnectionError
from quarna_data.connections.sqlite import SqliteConnection, latest_only, order
from quarna_data.connections.sqlite.writes import WriteInterrupted
from quarna_utils.query.utils import Q


class Clock:
    def __init__(self, now=1_700_000_000):
        self.now = now

    def __call__(self):
        return self.now


@pytest.fixture
def clock():
    return Clock()


@pytest.fixture
def db(tmp_path, clock):
    path = tmp_path / "v.sqlite"
    conn = SqliteConnection(str(path), clock=clock)
    conn.create_model_table("doc", {"n": "integer", "body": "json", "raw": "blob", "ok": "boolean"})
    yield conn
    conn.close()


def versions(records):
    return [r["_object_version"] for r in records]


def test_versions_order_as_numbers_and_are_never_given_out_twice(db, tmp_path):
    db.bulk_save("doc", [("a", {"n": i}) for i in range(1, 12)])
    assert versions(db.select("doc", order_by=[order("_object_version")])) == [str(i) for i in range(1, 12)]
    assert versions(db.select("doc", order_by=[order("-_object_version")], limit=1)) == ["11"]
    assert versions(db.select("doc", order_by=[order("-_address__object_version")], meta=True, limit=2)) == ["11", "10"]
    assert db.select("doc", only=["n"], distinct=["range_key"], order_by=[order("-range_key")], limit=1) == [
        {"n": 11, "_object_version": "11"}]
    db.delete("doc", {"partition_key": "a", "range_key": "11"})  # the latest
    assert db.save("doc", "a", {"n": 12}) == "12"
    assert db.get("doc", "a")["_metadata"]["prior_version"] == "10"
    db.delete_object("doc", "a")
    assert db.save("doc", "a", {"n": 13}) == "13"
    db.close()
    with SqliteConnection(str(tmp_path / "v.sqlite")) as again:  # the mark is in the file
        again.delete_object("doc", "a")
        assert again.save("doc", "a", {}) == "14"


def test_a_file_without_marks_starts_from_the_highest_number_it_has(db, tmp_path):
    db.bulk_save("doc", [("a", {}), ("a", {}), ("b", {})])
    db.close()
    with sqlite3.connect(tmp_path / "v.sqlite") as raw:  # as files written before the marks were kept
        raw.execute("DROP TABLE version_metadata")
    with SqliteConnection(str(tmp_path / "v.sqlite")) as older:
        assert older.bulk_save("doc", [("a", {}), ("b", {}), ("c", {})]) == ["3", "2", "1"]
        assert older.select("version_metadata", order_by=[order("object_id")], only=["object_id", "last_version"]) == [
            {"object_id": "a", "last_version": 3}, {"object_id": "b", "last_version": 2},
            {"object_id": "c", "last_version": 1}]


def test_the_next_number_does_not_read_the_versions_of_the_object(db):
    def steps_of_a_save():
        steps = [0]

        def count():
            steps[0] += 1
        db._conn.set_progress_handler(count, 100)
        db.save("doc", "a", {"n": 1})
        db._conn.set_progress_handler(None, 100)
        return steps[0]

    db.save("doc", "a", {})
    few = steps_of_a_save()
    db.bulk_save("doc", [("a", {"n": i}) for i in range(3000)])
    assert steps_of_a_save() < 2 * few + 10


def test_versions_of_one_transaction_order_by_their_chain(db):
    db.bulk_save("doc", [("a", {"n": 1}), ("a", {"n": 2}), ("a", {"n": 3})])
    for meta in (False, True):
        newest = db.select("doc", order_by=[order("-_metadata__created_at")], limit=1, meta=meta)
        oldest = db.select("doc", order_by=[order("_metadata__created_at")], limit=1, meta=meta)
        assert (newest[0]["n"], oldest[0]["n"]) == (3, 1)


def test_get_history_and_reads_as_of_a_time(db, clock):
    clock.now = 100
    db.bulk_save("doc", [("a", {"n": 1}), ("a", {"n": 2}), ("b", {"n": 10})])  # one transaction
    clock.now = 200
    db.save("doc", "a", {"n": 3})
    clock.now = 300
    db.save("doc", "b", {"n": 11})

    assert db.get("doc", "a")["n"] == 3
    assert db.get("doc", "a", version=1)["n"] == db.get("doc", "a", version="1")["n"] == 1
    assert db.get("doc", "a", as_of=150)["n"] == 2  # the chain decides within a transaction
    assert db.get("doc", "b", as_of=datetime.datetime.fromtimestamp(299, datetime.timezone.utc))["n"] == 10
    history = db.history("doc", "a")
    assert [(r["n"], r["_metadata"]["created_at"], r["_metadata"]["prior_version"]) for r in history] == [
        (1, 100, None), (2, 100, "1"), (3, 200, "2")]

    def at(when, conditions=None, **kwargs):
        return [(r["_object_id"], r["n"]) for r in db.select("doc", conditions, as_of=when,
                                                              order_by=[order("_object_id")], **kwargs)]

    assert at(150) == [("a", 2), ("b", 10)]
    assert at(250, latest_only(), meta=True) == [("a", 3), ("b", 10)]
    assert at(1000, latest_only()) == at(None, latest_only()) == [("a", 3), ("b", 11)]
    assert at(150, Q(n__gte=5)) == [("b", 10)]  # filters apply to the versions of that time
    assert at(99) == [] and db.count("doc", as_of=250) == 2 and db.count("doc", Q(n=3), as_of=150) == 0
    assert [r["n"] for r in db.iter_select("doc", as_of=300, order_by=[order("-n")], limit=1)] == [11]

    for call, message in [
        (lambda: db.get("doc", "zed"), "table 'doc' has no object 'zed'"),
        (lambda: db.get("doc", "a", version=9), "object 'a' of table 'doc' has no version '9'"),
        (lambda: db.get("doc", "a", as_of=50), "object 'a' of table 'doc' had no version at 1970-01-01T00:00:50"),
        (lambda: db.history("doc", "zed"), "table 'doc' has no object 'zed'"),
        (lambda: db.select("doc", Q(_address__object_version="all"), as_of=150), "only version selector"),
        (lambda: db.select("doc", ~latest_only(), as_of=150), "only version selector"),
        (lambda: db.select("doc", as_of=datetime.datetime(2024, 1, 1)), "no time zone"),
        (lambda: db.select("metadata", as_of=150), "not a model table"),
    ]:
        with pytest.raises(QuarnaConnectionError, match=message):
            call()


class UpperIds(SqliteConnection):
    """Ids are stored and compared in capitals: the statement of get cannot be built once."""

    @classmethod
    def _to_sql_value(cls, value):
        value = super()._to_sql_value(value)
        return value.upper() if isinstance(value, str) else value


class NoVersionFilter(SqliteConnection):
    """Filters on the version are dropped: the statement of get has no version to bind."""

    def _get_filter_statement(self, table_name, filter_, *args, **kwargs):
        if filter_.field_name == "range_key":
            return "1 = 1", []
        return super()._get_filter_statement(table_name, filter_, *args, **kwargs)


@pytest.mark.parametrize("host", [SqliteConnection, UpperIds, NoVersionFilter])
def test_get_reads_what_select_reads(tmp_path, host):
    conn = host(str(tmp_path / "g.sqlite"))
    conn.create_model_table("doc", {"n": "integer", "ok": "boolean", "body": "json"})
    conn.bulk_save("doc", [(oid, {"n": i, "ok": i % 2 == 0, "body": {"ä": [i, None]}})
                           for i, oid in enumerate(["a", "b", "a", "ß", "a", "b"])])
    for round_ in range(2):  # the second round reads through the statements built in the first
        for oid in ("a", "b", "ß"):
            assert conn.get("doc", oid) == conn.select("doc", Q(_object_id=oid) & latest_only(), limit=1)[0]
            for version in ("1", "2", 3):
                want = conn.select("doc", Q(_object_id=oid, _object_version=str(version)), limit=1)
                if want:
                    assert conn.get("doc", oid, version=version) == want[0]
                else:
                    with pytest.raises(QuarnaConnectionError, match="has no (version|object)"):
                        conn.get("doc", oid, version=version)
        with pytest.raises(QuarnaConnectionError, match="has no object 'zed'"):
            conn.get("doc", "zed")
    built = conn.table_info("doc").point_reads
    assert (built["latest"] is None, built["version"] is None) == (host is UpperIds, host is not SqliteConnection)
    conn.create_table("other", {"x": "text"})  # the connection changes its tables: built again
    conn.execute("ALTER TABLE doc ADD COLUMN extra TEXT")
    conn._forget("doc")
    assert conn.get("doc", "a")["extra"] is None
    conn.close()


def test_reads_follow_a_column_another_connection_added(db, tmp_path):
    db.save("doc", "a", {"n": 1})
    assert "extra" not in db.get("doc", "a") and "extra" not in db.select("doc")[0]
    with sqlite3.connect(tmp_path / "v.sqlite") as other:
        other.execute("ALTER TABLE doc ADD COLUMN extra json")
        other.execute("""UPDATE doc SET extra = '{"k": [1]}'""")
    assert db.get("doc", "a")["extra"] == {"k": [1]}  # decoded by its type, not left out
    assert [r["extra"] for r in db.select("doc", Q(extra__k=[1]))] == [{"k": [1]}]


def test_delete_object_removes_every_version_and_record(db):
    db.bulk_save("doc", [("a", {"n": 1}), ("a", {"n": 2}), ("b", {"n": 3})])
    db.save("doc", "a", {"n": 4})
    assert db.delete_object("doc", "a") == 3
    assert db.delete_object("doc", "a") == 0
    assert versions(db.select("doc")) == ["1"] and db.count("metadata") == 1
    assert db.select("doc", latest_only(), meta=True)[0]["_object_id"] == "b"
    with pytest.raises(QuarnaConnectionError, match="no object 'a'"):
        db.get("doc", "a")


def test_dump_restore_dump_is_the_same_text(db, clock, tmp_path):
    rows = [("a", {"n": 1, "body": {"k": [1, 2.5, "ü"]}, "raw": b"\x00\xff", "ok": True}),
            ("a", {"n": 2, "body": "42", "raw": None, "ok": False}),
            ("b", {"n": 3, "body": None, "raw": b"", "ok": None}),
            ("a", {"n": 4, "body": "[1]"}), ("c", {"n": 5}), ("a", {"n": 6})]
    for number, item in enumerate(rows):
        clock.now = 1000 + number // 2
        db.save("doc", *item)
    db.delete("doc", {"partition_key": "a", "range_key": "2"})  # the chain is relinked around it
    db.delete("doc", {"partition_key": "a", "range_key": "4"})
    db.delete_object("doc", "c")  # only its mark is left
    db.create_table("plain", {"k": "text", "v": "json", "b": "blob"}, primary_key=["k"])
    db.bulk_insert("plain", [{"k": "x", "v": {"a": 1}, "b": b"\x01"}, {"k": "y", "v": "true"}])
    dump, plain = list(db.dump("doc")), list(db.dump("plain"))
    # a: 1 and 3 (2 and 4 deleted, 4 was its highest), b: 1, c: nothing but its mark
    assert dump[-2:] == ['{"_object_id":"a","_version_mark":"4"}\n', '{"_object_id":"c","_version_mark":"1"}\n']
    assert len(dump) == 6

    with SqliteConnection(str(tmp_path / "moved.sqlite")) as moved:
        assert moved.restore("doc", dump) == 3
        assert moved.restore("plain", [line.encode() for line in plain]) == 2
        assert list(moved.dump("doc")) == dump and list(moved.dump("plain")) == plain
        assert moved.get("doc", "a", version=1)["raw"] == b"\x00\xff"
        assert moved.save("doc", "a", {}) == "5" and moved.save("doc", "c", {}) == "2"
        # into a database that has these objects already: refused, nothing written
        with pytest.raises(QuarnaConnectionError, match="already has versions"):
            moved.restore("copy", dump)
        assert "copy" not in moved.tables()

    with SqliteConnection(str(tmp_path / "bad.sqlite")) as bad:
        broken = dump[:-1] + ['{"_object_id": "q", "_object_version": "1", "_metadata": {}}\n']
        with pytest.raises(QuarnaConnectionError, match="dump line 6: \"_metadata\" is the version record"):
            bad.restore("doc", broken)
        with pytest.raises(QuarnaConnectionError, match="dump line 3: object 'a' ends before its version '3'"):
            bad.restore("doc", [dump[0], dump[1], dump[3]])  # a's version 3 left out
        assert bad.tables() == []


@pytest.mark.parametrize("write, message", [
    (lambda c: c.insert("metadata", {"object_id": "x"}), "internal table"),
    (lambda c: c.insert("METADATA", {"object_id": "x"}), "internal table"),
    (lambda c: c.bulk_insert("Version_Metadata", [{"object_id": "x"}]), "internal table"),
    (lambda c: c.delete("Metadata", {"object_id": "a"}), "internal table"),
    (lambda c: c.bulk_delete("version_METADATA", [{"object_id": "a"}]), "internal table"),
    (lambda c: c.load("mEtAdAtA", [{"object_id": "x"}]), "internal table"),
    (lambda c: c.delete_object("Metadata", "a"), "not a model table"),
    (lambda c: c.restore("METADATA", ['{"quarna_dump":1,"kind":"plain","columns":{"object_id":"TEXT"}}']),
     "other columns|internal table"),
    (lambda c: c.create_table("Metadata", {"a": "text"}), "reserved for internal tables"),
    (lambda c: c.create_table("xMetaData", {"a": "text"}), "reserved for internal tables"),
    (lambda c: c.create_model_table("foo_Reference", {"a": "text"}), "reserved for internal tables"),
    (lambda c: c.create_model_table("t", {"Address": "json"}), "reserved"),
    (lambda c: c.create_model_table("t", {"Created_At": "integer"}), "reserved"),
    (lambda c: c.create_model_table("t", {"Partition_Key": "text"}), "reserved"),
    (lambda c: c.create_table("t", {"_Metadata": "json"}), "reserved"),
    (lambda c: c.create_table("t", {"a": "text", "A": "text"}), "column names in any case"),
])
def test_internal_tables_and_reserved_names_in_any_letter_case(db, write, message):
    db.save("doc", "a", {"n": 1})
    before = db.select("metadata"), db.select("version_metadata")
    with pytest.raises(QuarnaConnectionError, match=message):
        write(db)
    assert (db.select("metadata"), db.select("version_metadata")) == before
    assert db.save("doc", "a", {}) == "2"


class CommitInterrupted:
    """The sqlite3 connection, with Ctrl-C arriving while COMMIT runs (seen once it returned) or
    just before it."""

    def __init__(self, conn, after):
        self.conn, self.after = conn, after

    def execute(self, sql, *args):
        if sql == "COMMIT" and not self.after:
            raise KeyboardInterrupt
        cursor = self.conn.execute(sql, *args)
        if sql == "COMMIT":
            raise KeyboardInterrupt
        return cursor

    def __getattr__(self, name):
        return getattr(self.conn, name)


@pytest.mark.parametrize("after", [True, False])
def test_an_interrupted_commit_says_what_was_written(db, after):
    real = db._conn
    db._conn = CommitInterrupted(real, after)
    with pytest.raises(WriteInterrupted) as caught:
        db.load("doc", [("a", {"n": i}) for i in range(700)])
    db._conn = real
    assert caught.value.committed is after and caught.value.count == (700 if after else 0)
    assert db.count("doc") == db.count("metadata") == (700 if after else 0)
    assert not real.in_transaction
