"""What users of other SQLite tools expect of this one: CSV and TSV in and out, keys that clash,
the schema as SQL, read-only SQL, the version, and one place to import from."""
import csv
import importlib.metadata
import io
import json
import shlex
import sqlite3
import subprocess
import sys

import pytest
from tests.conftest import cli_fails as fails, run_cli as run

COLUMNS = ["id:integer", "name:text", "score:real", "amount:numeric", "ok:boolean", "data:json", "raw:blob"]


def ok(result):
    assert result.returncode == 0, result.stderr
    return result.stdout


def query_json(cwd, db, table, *args):
    return json.loads(ok(run(cwd, "query", db, table, "--format", "json", *args)))


def delimited(kind, rows):
    buffer = io.StringIO()
    csv.writer(buffer, csv.excel_tab if kind == "tsv" else csv.excel, lineterminator="\n").writerows(rows)
    return buffer.getvalue()


@pytest.fixture
def plain(tmp_path):
    ok(run(tmp_path, "create", "p.sqlite", "t", *COLUMNS, "--plain", "--key", "id"))
    return tmp_path


# ---------------------------------------------------------------- imports, version, demo hint

def test_the_package_exports_the_connection_and_the_query_model_lazily():
    import quarna_data
    from quarna_data.connections.sqlite import SqliteConnection
    from quarna_utils.models.enums import Versions
    from quarna_utils.query.data_models.filter import Filter
    from quarna_utils.query.enums import Lookup
    from quarna_utils.query.utils import Q

    from quarna_data import Filter as F, Lookup as L, Q as Q_, SqliteConnection as S, Versions as V
    assert (S, Q_, F, L, V) == (SqliteConnection, Q, Filter, Lookup, Versions)
    assert set(quarna_data.__all__) <= set(dir(quarna_data))
    with pytest.raises(AttributeError, match="no attribute 'Nope'"):
        quarna_data.Nope  # noqa: B018
    # Importing the package (as the tool does at start-up) loads neither the host nor pydantic.
    probe = ("import sys, quarna_data; print(sorted(m for m in ('quarna_data.connections.sqlite', 'pydantic',"
             " 'importlib.metadata') if m in sys.modules))")
    assert subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True).stdout == "[]\n"


def test_the_python_tour_runs_from_the_package_imports():
    from quarna_data import Filter, Lookup, OrderBy, Q, SqliteConnection

    with SqliteConnection() as conn:
        conn.create_table("person", {"name": "text", "age": "integer"})
        conn.bulk_insert("person", [{"name": "Ann", "age": 31}, {"name": "Bo", "age": 17}])
        adults = Q(Filter(field_name="age", lookup=Lookup.GTE, value=18))
        assert conn.select("person", adults, order_by=[OrderBy(field_name="name")]) == [{"name": "Ann", "age": 31}]


def test_the_readme_tour_gives_the_outputs_it_shows(tmp_path, monkeypatch):
    import doctest
    import re
    from pathlib import Path

    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    blocks = [b for b in re.findall(r"```python\n(.*?)```", readme, re.S) if b.startswith(">>>")]
    assert len(blocks) == 2
    monkeypatch.chdir(tmp_path)  # the tour writes people.sqlite
    test = doctest.DocTestParser().get_doctest("".join(blocks), {}, "README", None, 0)
    runner = doctest.DocTestRunner()
    runner.run(test, out=lambda text: pytest.fail(text))
    assert runner.summarize(verbose=False).attempted >= 12


def test_version_is_the_installed_one(tmp_path):
    result = run(tmp_path, "--version")
    assert ok(result) == f"quarna-data {importlib.metadata.version('quarna-data')}\n" and result.stderr == ""


def test_the_demos_closing_hint_runs_when_copied(tmp_path):
    hint = ok(run(tmp_path, "demo")).rstrip("\n").rpartition("\n")[2]
    assert hint.startswith("Try: ")
    result = subprocess.run(shlex.split(hint[len("Try: "):]), cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert "Brian Kernighan" in result.stdout and "(3 records)" in result.stdout


# ---------------------------------------------------------------- CSV and TSV

@pytest.mark.parametrize("kind", ["csv", "tsv"])
def test_delimited_load_types_cells_by_the_column_types_and_round_trips(plain, kind):
    rows = [["id", "name", "score", "amount", "ok", "data", "raw"],
            ["1", "Müller, Zoë", "1.5", "7", "TRUE", '{"a": [1, 2]}', "00ff"],
            ["2", "tab\there \"quoted\"\nand a line", "-2e3", "2.25", "0", "Oslo", ""],
            [],  # a blank line is skipped
            ["3", "", "", "", "", "", ""]]
    (plain / f"in.{kind}").write_text(delimited(kind, rows), encoding="utf-8")
    assert ok(run(plain, "load", "p.sqlite", "t", f"in.{kind}", f"--{kind}")) == "loaded 3 rows into t\n"
    expected = [
        {"id": 1, "name": "Müller, Zoë", "score": 1.5, "amount": 7, "ok": True, "data": {"a": [1, 2]},
         "raw": "00ff"},
        {"id": 2, "name": "tab\there \"quoted\"\nand a line", "score": -2000.0, "amount": 2.25, "ok": False,
         "data": "Oslo", "raw": None},
        {"id": 3, "name": None, "score": None, "amount": None, "ok": None, "data": None, "raw": None},
    ]
    assert query_json(plain, "p.sqlite", "t", "--order", "id") == expected
    with sqlite3.connect(plain / "p.sqlite") as db:
        assert db.execute("SELECT typeof(raw), typeof(amount) FROM t WHERE id = 1").fetchone() == ("blob", "integer")
    # what the tool writes in the format loads back as it was
    written = ok(run(plain, "query", "p.sqlite", "t", "--order", "id", "--format", kind))
    assert written.splitlines()[0] == ("," if kind == "csv" else "\t").join(rows[0])
    ok(run(plain, "create", "p.sqlite", "copy", *COLUMNS, "--plain", "--key", "id"))
    ok(run(plain, "load", "p.sqlite", "copy", "-", f"--{kind}", stdin=written))
    assert query_json(plain, "p.sqlite", "copy", "--order", "id") == expected


@pytest.mark.parametrize("lines, fragments", [
    (["id,score", "1,2", "2,x"], ["in.csv:3: column 'score': 'x' is not a finite number"]),
    (["id,score", "1,nan"], ["in.csv:2: column 'score': 'nan' is not a finite number"]),
    (["id,ok", "1,yes"], ["in.csv:2: column 'ok': 'yes' is not a boolean"]),
    (["id", "1_000"], ["in.csv:2: column 'id': '1_000' is not an integer"]),
    (["id,raw", "1,zz"], ["in.csv:2: column 'raw': 'zz' is not hexadecimal bytes"]),
    (["id,name", '1,"two', 'lines"', "2.5,x"], ["in.csv:4: column 'id': '2.5' is not an integer"]),
    (["id,name", "1,a,b"], ["in.csv:2: 3 cells, the header has 2"]),
    (["id,nick", "1,a"], ["in.csv:1: unknown column 'nick' in the header", "columns: id, name"]),
    (["id,id", "1,2"], ["in.csv:1: column 'id' is named twice"]),
    (["id,name", "1,a", "1,b"], ["in.csv:3: key id=1 is already in table 't'", "--replace or --ignore"]),
])
def test_a_bad_cell_names_its_line_and_nothing_is_loaded(plain, lines, fragments):
    (plain / "in.csv").write_text("\n".join(lines) + "\n")
    fails(run(plain, "load", "p.sqlite", "t", "in.csv", "--csv"), *fragments)
    assert query_json(plain, "p.sqlite", "t") == []


def test_csv_into_a_model_table_needs_the_object_id(tmp_path):
    ok(run(tmp_path, "create", "m.sqlite", "person", "name:text", "age:integer"))
    (tmp_path / "people.csv").write_text("_object_id,name,age\nann,Ann,31\nann,Ann,32\nbo,Bo,\n")
    assert ok(run(tmp_path, "load", "m.sqlite", "person", "people.csv", "--csv")) == \
        "loaded 3 object versions into person\n"
    latest = query_json(tmp_path, "m.sqlite", "person", "--where", "_address__object_version=latest",
                        "--order", "_object_id", "--only", "age")
    assert [(r["_object_id"], r["_object_version"], r["age"]) for r in latest] == [("ann", "2", 32), ("bo", "1", None)]
    (tmp_path / "bad.csv").write_text("name,age\nAnn,1\n")
    fails(run(tmp_path, "load", "m.sqlite", "person", "bad.csv", "--csv"), "bad.csv:1: a model table needs the column _object_id")
    (tmp_path / "empty.csv").write_text("_object_id,name\n,Ann\n")
    fails(run(tmp_path, "load", "m.sqlite", "person", "empty.csv", "--csv"), "empty.csv:2:", "_object_id")
    fails(run(tmp_path, "load", "m.sqlite", "person", "people.csv", "--csv", "--replace"),
          "'person' is a model table", "plain tables with a key")


@pytest.mark.parametrize("command", [["tables", "d.sqlite"], ["query", "d.sqlite", "t"]])
def test_tsv_output_quotes_what_would_break_a_line(tmp_path, command):
    ok(run(tmp_path, "create", "d.sqlite", "t", "name:text", "--plain"))
    ok(run(tmp_path, "load", "d.sqlite", "t", "-", stdin=json.dumps({"name": "a\tb\nc"}) + "\n"))
    rows = list(csv.reader(io.StringIO(ok(run(tmp_path, *command, "--format", "tsv"))), csv.excel_tab))
    assert rows == ([["table", "kind", "rows", "columns"], ["t", "plain", "1", "1"]] if command[0] == "tables"
                    else [["name"], ["a\tb\nc"]])


# ---------------------------------------------------------------- keys that clash

@pytest.mark.parametrize("flag, message, names", [
    ("--ignore", "loaded 1 rows into t (2 skipped: their key was there)\n", {1: "stored", 2: "new"}),
    ("--replace", "loaded 3 rows into t\n", {1: "again", 2: "new"}),
])
def test_replace_and_ignore_on_a_key_stored_or_earlier_in_the_file(plain, flag, message, names):
    ok(run(plain, "load", "p.sqlite", "t", "-", stdin='{"id": 1, "name": "stored", "score": 5}\n'))
    lines = "".join(json.dumps(r) + "\n" for r in [{"id": 1, "name": "replacing"}, {"id": 2, "name": "new"},
                                                   {"id": 1, "name": "again"}])
    fails(run(plain, "load", "p.sqlite", "t", "-", stdin=lines),
          "<stdin>:1: key id=1 is already in table 't'", "nothing was loaded")
    assert ok(run(plain, "load", "p.sqlite", "t", "-", flag, stdin=lines)) == message
    records = query_json(plain, "p.sqlite", "t", "--order", "id")
    assert {r["id"]: r["name"] for r in records} == names
    # replace writes the whole row: a column the new row leaves out is NULL again
    assert records[0]["score"] == (5 if flag == "--ignore" else None)


def test_conflict_policies_need_a_key_and_the_host_names_the_refused_row(tmp_path):
    from quarna_data import QuarnaConnectionError, RejectedRow, SqliteConnection

    with SqliteConnection(str(tmp_path / "k.sqlite")) as conn:
        conn.create_table("loose", {"a": "integer"})
        with pytest.raises(QuarnaConnectionError, match="no primary key or unique column"):
            conn.bulk_insert("loose", [{"a": 1}], on_conflict="ignore")
        conn.execute('CREATE TABLE "mail" (id integer PRIMARY KEY, address text UNIQUE NOT NULL)')
        assert conn.unique_keys("mail") == [["id"], ["address"]]
        conn.bulk_insert("mail", [{"id": i, "address": f"{i}@x"} for i in range(2000)])
        rows = [{"id": 5000 + i, "address": f"n{i}@x"} for i in range(1500)] + [{"id": 9999, "address": "7@x"}]
        with pytest.raises(RejectedRow) as refused:
            conn.bulk_insert("mail", rows)
        assert isinstance(refused.value, sqlite3.IntegrityError)  # what callers caught before
        assert (refused.value.index, refused.value.reason) == (
            1500, "key address=\"7@x\" is already in table 'mail' (stored, or on an earlier row)")
        with pytest.raises(RejectedRow, match="NOT NULL constraint failed: mail.address") as refused:
            conn.bulk_insert("mail", [{"id": 1, "address": None}], on_conflict="replace")
        assert conn.count("mail") == 2000  # nothing of the refused writes stays
        assert conn.insert("mail", {"id": 1, "address": "1@x"}, on_conflict="ignore") == 0
        with pytest.raises(ValueError, match="on_conflict"):
            conn.insert("mail", {"id": 1}, on_conflict="update")


# ---------------------------------------------------------------- schema and read-only SQL

def test_schema_prints_sql_that_recreates_the_database(tmp_path):
    ok(run(tmp_path, "demo"))
    everything = ok(run(tmp_path, "schema", "quarna_demo.sqlite"))
    copy = sqlite3.connect(":memory:")
    copy.executescript(everything)
    with sqlite3.connect(tmp_path / "quarna_demo.sqlite") as original:
        # The command writes each statement without the blanks around it (the internal tables'
        # statements end with a line break).
        listing = "SELECT type, name, tbl_name, trim(sql, char(32, 9, 10, 13)) FROM sqlite_master ORDER BY name"
        assert copy.execute(listing).fetchall() == original.execute(listing).fetchall()
    person = ok(run(tmp_path, "schema", "quarna_demo.sqlite", "person"))
    assert person.startswith('CREATE TABLE "person" (') and 'CREATE TRIGGER "person__versions"' in person
    assert "metadata (" not in person and person.endswith("END;\n")
    fails(run(tmp_path, "schema", "quarna_demo.sqlite", "nobody"), "unknown table 'nobody'", "person")


@pytest.fixture(scope="module")
def demo_db(tmp_path_factory):
    cwd = tmp_path_factory.mktemp("sql")
    ok(run(cwd, "demo"))
    return cwd


@pytest.mark.parametrize("args, expected", [
    (["SELECT name, age FROM person WHERE age > ? AND city = ? ORDER BY age", "--param", "44", "--param",
      "New York"], "name,age\nGrace Hopper,45\nGrace Hopper,46\n"),
    (["SELECT json_extract(data, '$.address.city') AS city, ? AS list FROM person LIMIT 1", "--param", "[1,2]"],
     "city,list\nLondon,\"[1,2]\"\n"),
    (["SELECT 1 AS a, 2 AS a, 3 AS a_2"], "a,a_2,a_2_2\n1,2,3\n"),
    (["PRAGMA table_info(tags)"], ""),
    (["WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3) SELECT i FROM n"],
     "i\n1\n2\n3\n"),
])
def test_sql_runs_reads_in_any_format(demo_db, args, expected):
    assert ok(run(demo_db, "sql", "quarna_demo.sqlite", *args, "--format", "csv")) == expected


def test_sql_writes_json_and_tsv(demo_db):
    statement = "SELECT partition_key AS id, count(*) AS versions FROM person GROUP BY 1 HAVING count(*) > 1 ORDER BY 1"
    assert json.loads(ok(run(demo_db, "sql", "quarna_demo.sqlite", statement, "--format", "json"))) == [
        {"id": "ada", "versions": 2}, {"id": "alan", "versions": 2}, {"id": "grace", "versions": 3}]
    assert ok(run(demo_db, "sql", "quarna_demo.sqlite", statement, "--format", "tsv")).splitlines()[1] == "ada\t2"


@pytest.mark.parametrize("statement, fragment", [
    ("DELETE FROM person", "attempt to write a readonly database"),
    ("UPDATE person SET age = 1", "attempt to write a readonly database"),
    ("INSERT INTO person (partition_key, range_key) VALUES ('x', '1')", "readonly"),
    ("DROP TABLE person", "readonly"),
    ("CREATE TEMP TABLE scratch (a)", "readonly"),
    ("ATTACH 'other.sqlite' AS other", "refused: it attaches or detaches a database"),
    ("VACUUM INTO 'copy.sqlite'", "refused: it attaches or detaches a database"),
    ("PRAGMA query_only = OFF", "refused: it sets the pragma query_only"),
    ("PRAGMA journal_mode = DELETE", "refused: it sets the pragma journal_mode"),
    ("SELECT 1; DELETE FROM person", "one statement at a time"),
    ("SELECT missing FROM person", "no such column: missing"),
])
def test_sql_refuses_what_would_change_anything(demo_db, statement, fragment):
    fails(run(demo_db, "sql", "quarna_demo.sqlite", statement), fragment)
    # no file was made (a reader of a WAL database may leave its -wal and -shm files)
    assert {p.name for p in demo_db.iterdir() if not p.name.endswith(("-wal", "-shm"))} == {"quarna_demo.sqlite"}
    with sqlite3.connect(demo_db / "quarna_demo.sqlite") as db:
        assert db.execute("SELECT count(*), sum(age) FROM person").fetchone() == (10, 405)
