"""The command-line tool as a user runs it: ``python -m quarna_data`` in a fresh directory."""
import csv
import io
import json
import sqlite3
import subprocess
import sys

import pytest
from quarna_data.cli import FORMATS
from tests.conftest import cli_fails as fails, run_cli as run




@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    """A directory with the demo database, made by the demo command."""
    cwd = tmp_path_factory.mktemp("demo")
    result = run(cwd, "demo")
    assert result.returncode == 0, result.stderr
    return cwd, result.stdout


def query_json(cwd, *args):
    result = run(cwd, "query", "quarna_demo.sqlite", "person", "--format", "json", *args)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def test_demo_builds_a_fresh_database_and_shows_every_read(demo, tmp_path):
    cwd, out = demo
    assert "6 objects, 10 versions" in out
    for shown in ("Versions.LATEST", "JSON-path", "IN:", "LIKE", "Negation", "DISTINCT", "Ordering",
                  "Pagination", "COUNT", "parameters: [40]", "SELECT COUNT(*) FROM 'person'", "count: 10"):
        assert shown in out
    assert "(no records)" not in out
    with sqlite3.connect(cwd / "quarna_demo.sqlite") as db:
        assert db.execute("SELECT count(*) FROM person").fetchone() == (10,)
    # run again on top of an earlier database, and elsewhere: recreated, not appended to
    other = tmp_path / "elsewhere.sqlite"
    again = run(tmp_path, "demo", "--db", other.name)
    assert again.returncode == 0 and again.stdout.replace("elsewhere.sqlite", "quarna_demo.sqlite") == out


def test_query_options(demo):
    cwd, _ = demo
    latest = "--where=_address__object_version=latest"
    everyone = query_json(cwd)
    assert len(everyone) == 10 and {r["_object_id"] for r in everyone} == {
        "ada", "alan", "grace", "linus", "annie", "brian"}
    names = [r["name"] for r in query_json(cwd, "--meta", latest, "--order", "-age", "--only", "name,age")]
    assert names == ["Brian Kernighan", "Grace Hopper", "Alan Turing", "Ada Lovelace", "Annie Easley",
                     "Linus Torvalds"]
    assert [r["age"] for r in query_json(cwd, "--where", "age__gte=45", "--where", "name=Grace Hopper")] == [45, 46, 47]
    assert {r["city"] for r in query_json(cwd, "--any", "--where", "city=Toronto", "--where",
                                          "data__address__city=Wilmslow")} == {"Toronto", "Wilmslow"}
    assert {r["city"] for r in query_json(cwd, latest, "--meta", "--where", 'city__in=["London","Helsinki"]')} == {
        "London", "Helsinki"}
    assert [r["name"] for r in query_json(cwd, latest, "--where", "email__isnull=true")] == ["Linus Torvalds"]
    page = query_json(cwd, latest, "--meta", "--order", "name", "--limit", "2", "--offset", "1")
    assert [r["name"] for r in page] == ["Alan Turing", "Annie Easley"]
    assert all(set(r) <= {"name", "_object_id", "_object_version", "_metadata"}
               for r in query_json(cwd, "--only", "name"))
    distinct = run(cwd, "query", "quarna_demo.sqlite", "metadata", "--only", "table_name", "--distinct",
                   "table_name", "--format", "json")
    assert json.loads(distinct.stdout) == [{"table_name": "person"}]
    assert run(cwd, "query", "quarna_demo.sqlite", "person", "--count", latest, "--meta").stdout == "6\n"
    table = run(cwd, "query", "quarna_demo.sqlite", "person", latest, "--meta", "--where", "age__lt=30").stdout
    assert table.splitlines()[0].split()[:3] == ["_object_id", "_object_version", "name"]
    assert "Linus Torvalds" in table and table.rstrip().endswith("(1 record)")


def test_explain_prints_the_statement_and_runs_nothing(demo, tmp_path):
    cwd, _ = demo
    result = run(cwd, "query", "quarna_demo.sqlite", "person", "--explain", "--where", "name__istartswith=a",
                 "--order", "-age", "--limit", "3")
    assert result.returncode == 0
    assert result.stdout == ("SQL:\n    SELECT * FROM 'person' WHERE UPPER(name) LIKE ? ORDER BY age DESC"
                             " LIMIT ? OFFSET ?\nparameters: [\"A%\", 3, 0]\n")
    distinct = run(cwd, "query", "quarna_demo.sqlite", "person", "--explain", "--distinct", "city")
    assert distinct.stdout.startswith("SQL:\n    SELECT DISTINCT \"city\" FROM (SELECT * FROM 'person')")


@pytest.mark.parametrize("args, fragments", [
    (["query", "quarna_demo.sqlite", "person", "--where", "age__gtx=1"],
     ["unknown lookup 'gtx'", "valid lookups: eq, neq, gt, gte, lt, lte, in,", "isnull"]),
    (["query", "quarna_demo.sqlite", "person", "--where", "age__regex=1"], ["not supported", "valid lookups"]),
    (["query", "quarna_demo.sqlite", "person", "--where", "agee=1"], ["unknown field 'agee'", "columns: "]),
    (["query", "quarna_demo.sqlite", "person", "--order", "-agee"], ["unknown field 'agee'"]),
    (["query", "quarna_demo.sqlite", "person", "--where", "noequals"], ["FIELD__LOOKUP=VALUE"]),
    (["query", "quarna_demo.sqlite", "people"], ["unknown table 'people'", "tables: person"]),
    (["query", "missing.sqlite", "person"], ["cannot open database 'missing.sqlite'"]),
    (["query", "garbage.sqlite", "person"], ["cannot open database 'garbage.sqlite'", "not a SQLite database: it holds text"]),
    (["describe", "quarna_demo.sqlite", "people"], ["unknown table 'people'"]),
    (["load", "quarna_demo.sqlite", "person", "missing.jsonl"], ["cannot read 'missing.jsonl'"]),
])
def test_bad_input_is_one_line_on_stderr(demo, args, fragments):
    cwd, _ = demo
    (cwd / "garbage.sqlite").write_bytes(b"garbage" * 1000)
    fails(run(cwd, *args), *fragments)


@pytest.mark.parametrize("args, raised", [
    (["query", "quarna_demo.sqlite", "person", "--where", "agee=1"], "QuarnaConnectionError: unknown field 'agee'"),
    (["query", "garbage.sqlite", "person"], "UserError: cannot open database 'garbage.sqlite'"),
])
def test_quarna_debug_shows_the_traceback_behind_the_one_line(demo, args, raised):
    cwd, _ = demo
    (cwd / "garbage.sqlite").write_bytes(b"garbage" * 1000)
    quiet = fails(run(cwd, *args))
    loud = run(cwd, *args, debug=True)
    assert (loud.returncode, loud.stdout) == (1, "")
    assert loud.stderr.startswith("Traceback (most recent call last):\n") and raised in loud.stderr
    assert loud.stderr.endswith("\n" + quiet)  # the same one line, last


def test_load_all_or_nothing(demo, tmp_path):
    cwd, _ = demo
    db = tmp_path / "load.sqlite"
    db.write_bytes((cwd / "quarna_demo.sqlite").read_bytes())
    good = '{"_object_id": "zed", "name": "Zed", "age": 3, "data": {"k": 1}}\n\n{"_object_id": "ada", "age": 38}\n'
    bad_line = good + '{"_object_id": "x", "name": "X"}\n{"_object_id": "y", "nme": "Y"}\n'
    bad_json = good + "{oops\n"
    for text, where in ((bad_line, ":5: field 'nme': unknown column"), (bad_json, ":4: not valid JSON")):
        (tmp_path / "in.jsonl").write_text(text)
        fails(run(tmp_path, "load", db, "person", "in.jsonl"), "in.jsonl" + where)
        fails(run(tmp_path, "load", db, "person", "-", stdin=text), "<stdin>" + where)
    fails(run(tmp_path, "load", db, "person", "-", stdin='{"name": "no id"}\n'), "<stdin>:1:", "_object_id")
    with sqlite3.connect(db) as conn:
        assert conn.execute("SELECT count(*) FROM person").fetchone() == (10,)  # nothing was written
    loaded = run(tmp_path, "load", db, "person", "-", stdin=good)
    assert (loaded.returncode, loaded.stdout, loaded.stderr) == (0, "loaded 2 object versions into person\n", "")
    result = run(tmp_path, "query", db, "person", "--meta", "--where", "_address__object_version=latest",
                 "--where", 'partition_key__in=["ada","zed"]', "--order", "name", "--format", "json")
    records = json.loads(result.stdout)
    assert [(r["_object_id"], r["_object_version"], r["age"]) for r in records] == [("ada", "3", 38), ("zed", "1", 3)]
    assert records[1]["data"] == {"k": 1}


def test_load_into_a_plain_table_and_describe(tmp_path):
    db = tmp_path / "plain.sqlite"
    with sqlite3.connect(db) as conn:
        conn.execute("CREATE TABLE event (id INTEGER PRIMARY KEY, payload json)")
    lines = "".join(json.dumps({"id": i, "payload": {"n": i}}) + "\n" for i in range(3000))
    dup = lines + json.dumps({"id": 7}) + "\n"
    fails(run(tmp_path, "load", db, "event", "-", stdin=dup), "<stdin>:3001: key id=7 is already in table", "--replace", "nothing was loaded")
    result = run(tmp_path, "load", db, "event", "-", stdin=lines)
    assert result.returncode == 0 and result.stderr == ""  # no progress bar: not a terminal, not long
    assert json.loads(run(tmp_path, "query", db, "event", "--count", "--format", "json").stdout) == {"count": 3000}
    found = json.loads(run(tmp_path, "query", db, "event", "--where", "payload__n=2999", "--format", "json").stdout)
    assert found == [{"id": 2999, "payload": {"n": 2999}}]
    described = run(tmp_path, "describe", db, "event").stdout
    assert described.splitlines()[:4] == ["table event", "column   type", "-------  -------",
                                          "id       INTEGER"]
    assert "rows: 3000" in described


def test_progress_on_a_terminal():
    from quarna_data.cli import Progress

    class Terminal:
        def __init__(self):
            self.text = ""

        def isatty(self):
            return True

        def write(self, text):
            self.text += text

        def flush(self):
            pass

    stream = Terminal()
    progress = Progress(4_000_000, stream, every=0)
    progress(1_000_000, 10)
    progress(4_000_000, 40, final=True)
    progress.finish()
    first, last = stream.text.split("\r")[1:]
    assert first.startswith("loading: 1.0 MB of 4.0 MB (25%), 10 rows, ")
    assert last.startswith("loading: 4.0 MB of 4.0 MB (100%), 40 rows, ") and last.endswith("rows/s\x1b[K\n")


# --------------------------------------------------------------------------- create, tables, formats, streaming


RECORDS = [{"_object_id": f"c{i}", "name": name, "age": 20 + i, "home": {"city": "Köln", "zip": str(50667 + i)},
            "tags": ["a", "b"][: i % 3], "active": i % 2 == 0, "score": 12.5 * i, "note": note}
           for i, (name, note) in enumerate([("Müller Zoë", "42"), ("Пётр Иванов", "true"), ("Ann, \"Smith\"", "[1]"),
                                              ("Bob\nBrown", None)])]


@pytest.fixture(scope="module")
def people(tmp_path_factory):
    cwd = tmp_path_factory.mktemp("people")
    created = run(cwd, "create", "people.sqlite", "person", "name:text", "age:integer", "home:json", "tags:json",
                  "active:boolean", "score:real", "note:json")
    assert created.returncode == 0 and created.stdout.startswith("created model table person (partition_key TEXT")
    lines = "".join(json.dumps(r, ensure_ascii=False) + "\n" for r in RECORDS)
    assert run(cwd, "load", "people.sqlite", "person", "-", stdin=lines).stdout == \
        "loaded 4 object versions into person\n"
    assert run(cwd, "create", "people.sqlite", "event", "id:integer", "kind:text", "--plain", "--key", "id").returncode == 0
    return cwd


@pytest.mark.parametrize("fmt", ["json", "ndjson", "csv", "table"])
def test_every_format_gives_back_the_loaded_records(people, fmt):
    result = run(people, "query", "people.sqlite", "person", "--format", fmt, "--order", "age")
    assert result.returncode == 0, result.stderr
    fields = ["_object_id", "name", "age", "home", "tags", "active", "score", "note"]
    if fmt == "json":
        records = json.loads(result.stdout)
    elif fmt == "ndjson":
        records = [json.loads(line) for line in result.stdout.splitlines()]
    elif fmt == "csv":
        rows = list(csv.DictReader(io.StringIO(result.stdout)))
        assert [r["name"] for r in rows] == [r["name"] for r in RECORDS]
        assert [(r["active"], r["note"], r["home"]) for r in rows[:2]] == [
            ("true", "42", '{"city":"Köln","zip":"50667"}'), ("false", "true", '{"city":"Köln","zip":"50668"}')]
        return
    else:
        lines = result.stdout.splitlines()
        assert lines[0].split()[:3] == ["_object_id", "_object_version", "name"]
        assert "Bob Brown" in result.stdout and lines[-1] == "(4 records)"
        return
    assert [{k: r[k] for k in fields} for r in records] == RECORDS


def test_tables_create_and_describe(people, tmp_path):
    listed = run(people, "tables", "people.sqlite", "--format", "json")
    assert json.loads(listed.stdout) == [
        {"table": "event", "kind": "plain", "rows": 0, "columns": 2},
        {"table": "metadata", "kind": "internal", "rows": 4, "columns": 12},
        {"table": "person", "kind": "model", "rows": 4, "columns": 10},
        {"table": "version_metadata", "kind": "internal", "rows": 4, "columns": 3}]
    assert "model table: 4 objects, 4 latest versions" in run(people, "describe", "people.sqlite", "person").stdout
    fails(run(people, "create", "people.sqlite", "person", "x:text"), "table 'person' already exists")
    fails(run(people, "create", "people.sqlite", "t", "order:text"), "SQL keyword")
    fails(run(people, "create", "people.sqlite", "t", "x"), "expected NAME:TYPE")
    fails(run(people, "create", "people.sqlite", "t", "x:varchar"), "unsupported type")
    text = tmp_path / "notes.txt"
    text.write_text("hello\n")
    fails(run(tmp_path, "create", "notes.txt", "t", "x:text"), "not a SQLite database: it holds text starting 'hello")
    assert text.read_text() == "hello\n"


def test_help_lists_every_lookup_and_every_option():
    from quarna_data.cli import make_parser
    from quarna_data.connections.sqlite import SqliteConnection

    result = run(".", "query", "--help")
    lookups = result.stdout.split("lookups (")[1].split("fields:")[0]
    for lookup in SqliteConnection.SQL_OPERATOR_MAP:
        assert f"  {lookup} " in lookups and f"--where " in lookups
    parser = make_parser()
    commands = parser._subparsers._group_actions[0].choices
    assert set(commands) == {"create", "tables", "load", "query", "get", "history", "delete", "dump", "restore",
                             "describe", "schema", "sql", "demo"}
    for name, command in commands.items():
        for action in command._actions:
            assert action.help, (name, action.dest)


def test_a_query_piped_into_head_ends_quietly(tmp_path):
    db = tmp_path / "big.sqlite"
    with sqlite3.connect(db) as conn:
        conn.execute("CREATE TABLE event (id INTEGER PRIMARY KEY, payload json)")
        conn.executemany("INSERT INTO event VALUES (?, ?)", (((i, '{"n": %d}' % i) for i in range(200_000))))
    for fmt in FORMATS:
        shell = (f"{sys.executable} -m quarna_data query {db} event --format {fmt} | head -n 3; "
                 "echo status ${PIPESTATUS[0]}")
        result = subprocess.run(["bash", "-c", shell], capture_output=True, text=True, timeout=60)
        assert result.stderr == "" and result.stdout.splitlines()[-1] == "status 0", result
        assert len(result.stdout.splitlines()) == 4


# --------------------------------------------------------------------------- load faults


@pytest.mark.parametrize("lines, fragments", [
    (['{"_object_id": "a", "age": 1}', '{"_object_id": "b", "age": 18446744073709551616}'],
     ["<stdin>:2: field 'age': integer wider than 64 bits"]),
    (['{"_object_id": "a", "name": "ok"}', '', '{"_object_id": "b", "name": "x\\ud800"}'],
     ["<stdin>:3: field 'name': text with a lone surrogate"]),
    (['{"_object_id": "a\\udfff", "name": "ok"}'], ["<stdin>:1: field '_object_id': text with a lone surrogate"]),
    (['{"_object_id": "a", "score": NaN}'], ["<stdin>:1: not valid JSON (NaN is not a JSON number)"]),
    (['{"_object_id": "a", "name": "x"}', '{"_object_id": "b", "partition_key": "x"}'],
     ["<stdin>:2: field 'partition_key': written by the connection"]),
    (['{"_object_id": "a", "nme": "x"}'], ["<stdin>:1: field 'nme': unknown column", "columns: name, age"]),
    (['[1]'], ["<stdin>:1: expected a JSON object, got list"]),
])
def test_rejected_lines_are_named_by_line_and_field(people, tmp_path, lines, fragments):
    db = tmp_path / "copy.sqlite"
    db.write_bytes((people / "people.sqlite").read_bytes())
    fails(run(tmp_path, "load", db, "person", "-", stdin="\n".join(lines) + "\n"), *fragments)
    with sqlite3.connect(db) as conn:
        assert conn.execute("SELECT count(*) FROM person").fetchone() == (4,)


def test_a_failed_load_leaves_an_empty_file_empty(tmp_path):
    (tmp_path / "empty.sqlite").write_bytes(b"")
    fails(run(tmp_path, "load", "empty.sqlite", "person", "-", stdin='{"_object_id": "a"}\n'),
          "unknown table 'person' (tables: none)")
    assert (tmp_path / "empty.sqlite").read_bytes() == b""


def test_the_tool_refuses_names_through_the_host(people):
    key = "x' IS NULL OR 1=1) UNION SELECT name FROM person --"
    fails(run(people, "query", "people.sqlite", "person", "--meta", "--where", f"_metadata__{key}__isnull=true"),
          "version record has the keys")
    fails(run(people, "query", "people.sqlite", "person", "--where", "_address__object_version=2"), "add meta=True")
    fails(run(people, "query", "people.sqlite", "event", "--meta"), "not a model table")
    fails(run(people, "query", "people.sqlite", "person", "--only", "name) FROM person --"), "unknown field")
    latest = query_people(people, "--where", "name__icontains=MÜLLER", "--where", "_object_id=c0")
    assert [r["name"] for r in latest] == ["Müller Zoë"]


def query_people(cwd, *args):
    result = run(cwd, "query", "people.sqlite", "person", "--format", "json", *args)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)
