"""The tool's commands for versioned objects, as a user runs them on a file."""
import io
import json
import sqlite3

import pytest
from quarna_data.cli import main
from quarna_data.cli.commands import load as load_command
from tests.conftest import cli_fails as fails, run_cli as run




@pytest.fixture
def doc(tmp_path):
    assert run(tmp_path, "create", "v.sqlite", "doc", "n:integer", "body:json").returncode == 0
    (tmp_path / "a.jsonl").write_text("".join(f'{{"_object_id": "a", "n": {i}}}\n' for i in range(1, 12)))
    assert run(tmp_path, "load", "v.sqlite", "doc", "a.jsonl").returncode == 0
    return tmp_path


def test_versions_order_as_numbers_and_one_object_is_read_whole(doc):
    order = run(doc, "query", "v.sqlite", "doc", "--order", "_object_version", "--only", "n", "--format", "ndjson")
    assert [json.loads(line)["_object_version"] for line in order.stdout.splitlines()] == [str(i) for i in range(1, 12)]
    newest = run(doc, "query", "v.sqlite", "doc", "--order", "-_object_version", "--limit", "1", "--format", "json")
    assert json.loads(newest.stdout)[0]["n"] == 11
    got = run(doc, "get", "v.sqlite", "doc", "a")
    assert json.loads(got.stdout) == {"_object_id": "a", "_object_version": "11", "n": 11, "body": None}
    assert json.loads(run(doc, "get", "v.sqlite", "doc", "a", "--version", "2", "--meta").stdout)[
        "_metadata"]["prior_version"] == "1"
    history = run(doc, "history", "v.sqlite", "doc", "a", "--format", "ndjson").stdout.splitlines()
    assert [json.loads(line)["n"] for line in history] == list(range(1, 12))
    table = run(doc, "history", "v.sqlite", "doc", "a").stdout.splitlines()
    assert table[0] == "object a of doc: 11 versions" and table[1].split()[:3] == ["_object_version", "created_at",
                                                                                   "transaction"]
    fails(run(doc, "get", "v.sqlite", "doc", "zed"), "table 'doc' has no object 'zed'")
    fails(run(doc, "get", "v.sqlite", "doc", "a", "--version", "12"), "has no version '12'")


def test_as_of_reads_the_versions_of_that_time(doc):
    assert run(doc, "query", "v.sqlite", "doc", "--as-of", "1970-01-02T00:00:00Z").stdout == "(no records)\n"
    later = run(doc, "query", "v.sqlite", "doc", "--as-of", "2200-01-01T01:00:00+01:00", "--where",
                "_address__object_version=latest", "--format", "ndjson")
    assert [json.loads(line)["n"] for line in later.stdout.splitlines()] == [11]
    assert run(doc, "query", "v.sqlite", "doc", "--as-of", "7258118400", "--count").stdout == "1\n"
    assert json.loads(run(doc, "get", "v.sqlite", "doc", "a", "--as-of", "7258118400").stdout)["n"] == 11
    fails(run(doc, "query", "v.sqlite", "doc", "--as-of", "2024-01-01T00:00:00"), "time zone")
    fails(run(doc, "query", "v.sqlite", "doc", "--as-of", "2200-01-01T00:00:00Z", "--where",
              "_address__object_version=all"), "only version selector")


def test_dump_restore_delete_and_the_internal_tables(doc):
    assert run(doc, "delete", "v.sqlite", "doc", "a", "--version", "11").returncode == 0
    assert run(doc, "dump", "v.sqlite", "doc", "backup.jsonl").returncode == 0
    restored = run(doc, "restore", "moved.sqlite", "doc", "backup.jsonl")
    assert restored.stdout == "restored 10 object versions into doc\n"
    assert run(doc, "dump", "moved.sqlite", "doc").stdout == (doc / "backup.jsonl").read_text()
    fails(run(doc, "restore", "moved.sqlite", "doc", "backup.jsonl"), "already has versions", "nothing was restored")
    deleted = run(doc, "delete", "moved.sqlite", "doc", "a")
    assert deleted.stdout == "deleted 10 versions of a from doc\n"
    fails(run(doc, "delete", "moved.sqlite", "doc", "a"), "no object 'a'")
    (doc / "meta.jsonl").write_text('{"object_id": "a", "object_version": "99"}\n')
    for table in ("metadata", "METADATA", "Version_Metadata"):
        fails(run(doc, "load", "v.sqlite", table, "meta.jsonl"), "internal table")
    fails(run(doc, "create", "v.sqlite", "Metadata", "a:text", "--plain"), "reserved for internal tables")
    loaded = run(doc, "load", "v.sqlite", "doc", "a.jsonl")
    assert loaded.returncode == 0
    assert json.loads(run(doc, "get", "v.sqlite", "doc", "a").stdout)["_object_version"] == "22"  # 11 not reused


@pytest.mark.parametrize("after", [True, False])
def test_a_load_interrupted_in_its_commit_says_what_happened(doc, monkeypatch, after):
    opened = load_command.open_database

    def interrupted(path, mode):
        conn = opened(path, mode)
        real = conn._conn

        class Interrupting:
            def execute(self, sql, *args):
                if sql == "COMMIT" and not after:
                    raise KeyboardInterrupt
                cursor = real.execute(sql, *args)
                if sql == "COMMIT":
                    raise KeyboardInterrupt
                return cursor

            def __getattr__(self, name):
                return getattr(real, name)
        conn._conn = Interrupting()
        return conn

    monkeypatch.setattr(load_command, "open_database", interrupted)
    out, err = io.StringIO(), io.StringIO()
    status = main(["load", str(doc / "v.sqlite"), "doc", str(doc / "a.jsonl")], out=out, err=err)
    with sqlite3.connect(doc / "v.sqlite") as db:
        count = db.execute("SELECT count(*) FROM doc").fetchone()[0]
    if after:
        assert (status, count) == (0, 22)
        assert out.getvalue() == "loaded 11 object versions into doc\n"
        assert err.getvalue() == "interrupted after the load was committed: all 11 object versions are written\n"
    else:
        assert (status, count, out.getvalue()) == (130, 11, "")
        assert err.getvalue() == "interrupted: nothing was loaded\n"


def test_demo_replaces_only_an_earlier_demo_database(tmp_path):
    (tmp_path / "notes.txt").write_text("keep me")
    fails(run(tmp_path, "demo", "--db", "notes.txt"), "not a demo database", "holds text")
    assert (tmp_path / "notes.txt").read_text() == "keep me"
    assert run(tmp_path, "create", "real.sqlite", "doc", "n:integer").returncode == 0
    before = (tmp_path / "real.sqlite").read_bytes()
    fails(run(tmp_path, "demo", "--db", "real.sqlite"), "holds the table doc")
    assert (tmp_path / "real.sqlite").read_bytes() == before
    assert run(tmp_path, "demo", "--db", "d.sqlite").returncode == 0
    assert run(tmp_path, "demo", "--db", "d.sqlite").returncode == 0  # an earlier demo: replaced
