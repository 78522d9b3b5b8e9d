import json
import sqlite3

import pytest
from quarna_utils.models.enums import Versions
from quarna_utils.query.data_models.filter import Filter
from quarna_utils.query.utils import Q

from quarna_data.connections.implementations.mixins import sqlite_statements_mixin as mod

Mixin = mod.SqliteStatementsMixin
JOIN = (
    " AS t1 JOIN (" + mod.METADATA_SELECT_STATEMENT + ") AS t2"
    " ON t1.partition_key = t2.object_id AND t1.range_key = t2.object_version"
)
LATEST = "(t2.'next_version' IS NULL OR t2.'next_version' = '')"
COND = Q(name="x")


class Canned(Mixin):
    def __init__(self, text="C", params=(1,)):
        self.text, self.params = text, params
        self.calls = []

    def _get_conditions_statement(self, table_name, conditions, **flags):
        self.calls.append((table_name, conditions, flags))
        return self.text, list(self.params)


@pytest.mark.parametrize(
    "table, meta, conditions, text, params, flags",
    [
        ("person", False, None, "SELECT COUNT(*) FROM 'person'", [], None),
        ("person", True, None, "SELECT COUNT(t1.'partition_key') FROM 'person'" + JOIN, [], None),
        ("metadata", True, None, "SELECT COUNT(*) FROM 'metadata'", [], None),
        ("person", False, COND, "SELECT COUNT(*) FROM 'person' WHERE C", [1], (False, False)),
        ("person", True, COND, "SELECT COUNT(t1.'partition_key') FROM 'person'" + JOIN + " WHERE C", [1],
         (False, True)),
        ("metadata", True, COND, "SELECT COUNT(*) FROM 'metadata' WHERE C", [1], (True, False)),
        ("x_reference", True, COND, "SELECT COUNT(*) FROM 'x_reference' WHERE C", [1], (True, False)),
        ("reference_x", False, COND, "SELECT COUNT(*) FROM 'reference_x' WHERE C", [1], (False, False)),
        ("person", True, Q(), "SELECT COUNT(t1.'partition_key') FROM 'person'" + JOIN, [], None),
    ],
)
def test_count_statement(table, meta, conditions, text, params, flags):
    m = Canned()
    assert m._build_count_statement(table, conditions, use_internal_meta_tables=meta) == (text, params)
    if flags is None:
        assert m.calls == []
    else:
        internal, use_meta = flags
        assert m.calls == [(table, conditions, {"is_internal_table": internal, "use_internal_meta_tables": use_meta})]


def test_count_passes_no_ordering_or_pagination():
    seen = []

    class Spy(Mixin):
        def _select_statement(self, *args, **kwargs):
            seen.append(kwargs)
            return ("plain", [])

        def _select_with_internal_meta_statement(self, *args, **kwargs):
            seen.append(kwargs)
            return ("meta", [])

    Spy()._build_count_statement("person", COND)
    Spy()._build_count_statement("person", COND, use_internal_meta_tables=True)
    assert seen == [
        {"select_only": "COUNT(*)", "conditions": COND, "is_internal_table": False},
        {"select_only": "COUNT(t1.'partition_key')", "conditions": COND},
    ]
    assert seen[0]["conditions"] is COND


def test_internal_test_comes_before_the_flag():
    class Raising:
        def __bool__(self):
            raise RuntimeError("flag read")

    assert Mixin()._build_count_statement("metadata", use_internal_meta_tables=Raising())[0].startswith(
        "SELECT COUNT(*)"
    )
    with pytest.raises(RuntimeError, match="flag read"):
        Mixin()._build_count_statement("person", use_internal_meta_tables=Raising())


def test_separator_and_key_are_read_at_each_call(monkeypatch):
    class Backquoted(Mixin):
        COLUMN_SEPARATOR = "`"

    assert Backquoted()._build_count_statement("person", use_internal_meta_tables=True)[0].startswith(
        "SELECT COUNT(t1.`partition_key`) FROM"
    )
    monkeypatch.setattr(mod, "PRIMARY_PARTITION_KEY", "oid")
    monkeypatch.setattr(mod, "MODEL_TABLE_ALIAS", "m")
    assert Mixin()._build_count_statement("person", use_internal_meta_tables=True)[0].startswith(
        "SELECT COUNT(m.'oid') FROM 'person' AS m JOIN"
    )



# --------------------------------------------------------------------------- on SQLite

# (object, version, prior version, age); p9 has a model row but no version record
ROWS = [("p1", "v1", None, 30), ("p1", "v2", "v1", 31), ("p1", "v3", "v2", 32), ("p2", "v1", None, 40),
        ("p2", "v2", "v1", 41), ("p3", "v1", None, 18), ("p9", "v1", None, 50)]


@pytest.fixture
def conn():
    c = sqlite3.connect(":memory:")
    c.execute("CREATE TABLE person (partition_key TEXT, range_key TEXT, _metadata json, age INTEGER, data json)")
    c.execute(
        "CREATE TABLE metadata (object_id TEXT, object_version TEXT, prior_version TEXT, address json,"
        " class_schema_reference json, class_meta_schema_reference json, class_schema_type TEXT,"
        ' is_deleted INTEGER, created_at INTEGER, updated_at INTEGER, "transaction" json)'
    )
    c.execute("CREATE TABLE object_reference (partition_key TEXT, target TEXT)")
    following = {(oid, prior): ver for oid, ver, prior, _ in ROWS if prior}
    for oid, ver, prior, age in ROWS:
        meta = json.dumps({"next_version": following.get((oid, ver))})
        c.execute("INSERT INTO person VALUES (?, ?, ?, ?, ?)", (oid, ver, meta, age, json.dumps({"age": age})))
        if oid != "p9":
            c.execute(
                "INSERT INTO metadata (object_id, object_version, prior_version, is_deleted) VALUES (?, ?, ?, 0)",
                (oid, ver, prior),
            )
    c.executemany("INSERT INTO object_reference VALUES (?, ?)", [("p1", "p2"), ("p2", "p3")])
    yield c
    c.close()


def count(conn, pair):
    text, params = pair
    assert "ORDER BY" not in text and "LIMIT ?" not in text and text.count("?") == len(params)
    (n,) = conn.execute(text, params).fetchone()
    return n


@pytest.mark.parametrize(
    "table, meta, where, params, expected",
    [
        ("person", False, None, (), 7),
        ("person", True, None, (), 6),  # only rows with a version record
        ("metadata", True, "prior_version IS NULL", (), 3),
        ("person", True, "", (), 6),  # a tree that contributes nothing
    ],
)
def test_counts_on_sqlite(conn, table, meta, where, params, expected):
    m = Canned(where, params)
    pair = m._build_count_statement(table, None if where is None else COND, use_internal_meta_tables=meta)
    assert count(conn, pair) == expected


def test_metadata_count_skips_null_keys(conn):
    conn.execute("INSERT INTO person VALUES (NULL, 'v1', '{}', 1, '{}')")
    conn.execute("INSERT INTO metadata (object_id, object_version) VALUES (NULL, 'v1')")
    assert count(conn, Mixin()._build_count_statement("person")) == 8
    # NULL never joins, so the join count is unchanged
    assert count(conn, Mixin()._build_count_statement("person", use_internal_meta_tables=True)) == 6


class Host(Mixin):
    def __init__(self, conn):
        self.conn = conn

    def execute(self, sql, params=()):
        return self.conn.execute(sql, params)


LATEST_ONLY = Q(Filter(field_name="_address__object_version", value=Versions.LATEST))


@pytest.mark.parametrize(
    "table, conditions, plain, joined",
    [
        ("person", None, 7, 6),
        ("person", LATEST_ONLY, 4, 3),  # the plain path reads next_version from the row's own metadata
        ("person", Q(_address__object_version=Versions.ALL), 7, 6),
        ("person", LATEST_ONLY & Q(age__gt=30), 3, 2),
        ("person", ~LATEST_ONLY, 3, 3),
        ("person", Q(age__in=[18, 30, 50]) | Q(data__age__gte=41), 4, 3),
        ("person", Q(_address__object_id="p1"), 3, 3),
        ("metadata", Q(prior_version__isnull=True), 3, 3),
        ("object_reference", Q(target="p3"), 1, 1),
    ],
)
def test_counts_with_condition_trees(conn, table, conditions, plain, joined):
    host = Host(conn)
    assert count(conn, host._build_count_statement(table, conditions)) == plain
    assert count(conn, host._build_count_statement(table, conditions, use_internal_meta_tables=True)) == joined
