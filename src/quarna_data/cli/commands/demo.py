"""``demo [--db PATH]``: sample versioned objects written into a fresh SQLite file and a showcase
of reads, printing each statement, its parameters and the records it returns."""

from __future__ import annotations

import argparse
import os
import shlex
import shutil
import sqlite3
import sys
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, TextIO, Tuple

from quarna_data.cli.errors import UserError
from quarna_data.cli.formats import format_statement, write_records

DEFAULT_DEMO_DB = "quarna_demo.sqlite"
DEMO_TABLE = "person"
DEMO_COLUMNS = {"name": "TEXT", "age": "INTEGER", "city": "TEXT", "email": "TEXT", "data": "json",
                "tags": "json"}

# (object id, fields) in the order saved; a later entry of the same id is its next version.
DEMO_OBJECTS: List[Tuple[str, Dict[str, Any]]] = [
    ("ada", {"name": "Ada Lovelace", "age": 36, "city": "London", "email": "ada@example.org",
             "data": {"address": {"city": "London", "zip": "W1J"}, "score": 9.1}, "tags": ["math", "poetry"]}),
    ("alan", {"name": "Alan Turing", "age": 41, "city": "Manchester", "email": None,
              "data": {"address": {"city": "Manchester", "zip": "M13"}, "score": 9.6}, "tags": ["math"]}),
    ("grace", {"name": "Grace Hopper", "age": 45, "city": "New York", "email": "grace@example.org",
               "data": {"address": {"city": "New York", "zip": "10001"}, "score": 8.7}, "tags": ["cobol"]}),
    ("linus", {"name": "Linus Torvalds", "age": 28, "city": "Helsinki", "email": None,
               "data": {"address": {"city": "Helsinki", "zip": "00100"}, "score": 7.9}, "tags": ["kernel"]}),
    ("annie", {"name": "Annie Easley", "age": 33, "city": "Cleveland", "email": "annie@example.org",
               "data": {"address": {"city": "Cleveland", "zip": "44135"}, "score": 8.8}, "tags": ["rockets"]}),
    ("brian", {"name": "Brian Kernighan", "age": 51, "city": "Toronto", "email": "bwk@example.org",
               "data": {"address": {"city": "Toronto", "zip": "M5V"}, "score": 8.2}, "tags": ["unix", "awk"]}),
    ("ada", {"name": "Ada Lovelace", "age": 37, "city": "London", "email": "ada@example.org",
             "data": {"address": {"city": "London", "zip": "W1J"}, "score": 9.8}, "tags": ["math", "poetry"]}),
    ("alan", {"name": "Alan Turing", "age": 41, "city": "Wilmslow", "email": "alan@example.org",
              "data": {"address": {"city": "Wilmslow", "zip": "SK9"}, "score": 9.6}, "tags": ["math", "ai"]}),
    ("grace", {"name": "Grace Hopper", "age": 46, "city": "New York", "email": "grace@example.org",
               "data": {"address": {"city": "Arlington", "zip": "22202"}, "score": 9.0}, "tags": ["cobol"]}),
    ("grace", {"name": "Grace Hopper", "age": 47, "city": "Arlington", "email": "grace@navy.example",
               "data": {"address": {"city": "Arlington", "zip": "22202"}, "score": 9.3},
               "tags": ["cobol", "compilers"]}),
]
DEMO_VIEW = ["_object_id", "_object_version", "name", "age", "city", "data", "tags"]


def demo_reads() -> List[Tuple[str, Dict[str, Any], Optional[List[str]]]]:
    """(title, arguments of select or count, columns shown)"""
    from quarna_data.connections.sqlite import latest_only, order
    from quarna_utils.query.data_models.filter import Filter
    from quarna_utils.query.enums import Lookup
    from quarna_utils.query.utils import ConnectorEnum, Q

    latest = latest_only()
    return [
        ("Every stored version (plain select of the model table)",
         dict(order_by=[order("partition_key"), order("range_key")]), DEMO_VIEW),
        ("The latest version of every object (metadata join, Versions.LATEST)",
         dict(conditions=latest, meta=True, order_by=[order("name")]), DEMO_VIEW),
        ("Plain filter: latest versions with age >= 40",
         dict(conditions=latest & Q(age__gte=40), meta=True, order_by=[order("age")]), DEMO_VIEW),
        ("JSON-path filter: data.address.city = 'Arlington', all versions",
         dict(conditions=Q(data__address__city="Arlington"), meta=True), DEMO_VIEW),
        ("JSON-path filter with a number: data.score > 9.0, latest versions",
         dict(conditions=latest & Q(Filter(field_name="data__score", lookup=Lookup.GT, value=9.0)), meta=True),
         DEMO_VIEW),
        ("IN: city in London, Helsinki, Toronto (latest versions)",
         dict(conditions=latest & Q(city__in=["London", "Helsinki", "Toronto"]), meta=True), DEMO_VIEW),
        ("LIKE lookups: name starts with 'A' OR email ends with '.example' (latest versions)",
         dict(conditions=latest & Q(name__startswith="A", email__endswith=".example",
                                    _connector=ConnectorEnum.OR), meta=True), DEMO_VIEW),
        ("Case-insensitive LIKE: name contains 'ER' in any case (latest versions)",
         dict(conditions=latest & Q(name__icontains="er"), meta=True), DEMO_VIEW),
        ("Negation: latest versions NOT in London and NOT without an email",
         dict(conditions=latest & ~Q(city="London") & ~Q(email__isnull=True), meta=True), DEMO_VIEW),
        ("DISTINCT: the tables the metadata records belong to (an internal table)",
         dict(table="metadata", only=["table_name"], distinct=["table_name"]), None),
        ("Ordering: latest versions by age, oldest first",
         dict(conditions=latest, meta=True, order_by=[order("-age"), order("name")]), DEMO_VIEW),
        ("Pagination: the second page of two, by name (latest versions)",
         dict(conditions=latest, meta=True, order_by=[order("name")], limit=2, offset=2), DEMO_VIEW),
        ("Metadata fields: version records that follow another version",
         dict(conditions=Q(_metadata__prior_version__isnull=False), meta=True,
              order_by=[order("partition_key"), order("range_key")]),
         ["_object_id", "_object_version", "name", "_metadata"]),
        ("COUNT: all stored versions", dict(count=True), None),
        ("COUNT: latest versions with age under 40", dict(count=True, conditions=latest & Q(age__lt=40), meta=True),
         None),
    ]


def add_parser(subparsers: Any) -> None:
    """Adds ``demo`` to the subcommands."""
    demo = subparsers.add_parser("demo", help="create a demo database and show a series of reads")
    demo.add_argument("--db", default=DEFAULT_DEMO_DB,
                      help=f"SQLite file to create, replacing an earlier demo database there (anything else "
                           f"is refused; default {DEFAULT_DEMO_DB})")
    demo.set_defaults(run=run)


def _not_a_demo(path: Path) -> str:
    """Why the file at ``path`` is not one the demo may replace (an earlier demo database, or an
    empty file), or "" when it is (or there is none)."""
    from quarna_data.connections.sqlite.files import describe_file

    if not path.exists() or (path.is_file() and path.stat().st_size == 0):
        return ""
    if not path.is_file():
        return "it is not a regular file"
    problem = describe_file(str(path))
    if problem:
        return problem
    try:
        conn = sqlite3.connect(f"file:{path.resolve().as_posix()}?mode=ro", uri=True)
        try:
            tables = {name: [row[1] for row in conn.execute("SELECT * FROM pragma_table_info(?)", (name,))]
                      for (name,) in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        finally:
            conn.close()
    except sqlite3.Error as error:
        return f"it cannot be read as a database ({error})"
    expected = ["partition_key", "range_key", *DEMO_COLUMNS, "_metadata"]
    others = sorted(set(tables) - {DEMO_TABLE, "metadata", "version_metadata"})
    if others:
        return f"it holds the table{'s' if len(others) > 1 else ''} {', '.join(others)}"
    if tables.get(DEMO_TABLE, expected) != expected:
        return f"its table {DEMO_TABLE!r} has other columns than the demo's"
    return ""


def tool_command() -> str:
    """How to run the tool from the current directory: ``quarna-data`` when that is the one on
    PATH, else the path of the script installed beside this interpreter (``.venv/py3.10/bin/quarna-data``
    from a clone), else this interpreter with ``-m quarna_data``."""
    scripts = Path(sys.executable).parent
    tool = scripts / ("quarna-data.exe" if os.name == "nt" else "quarna-data")
    if not tool.is_file():
        return f"{shlex.quote(sys.executable)} -m quarna_data"
    found = shutil.which("quarna-data")
    if found and Path(found).absolute() == tool.absolute():
        return "quarna-data"
    try:
        shown = str(tool.absolute().relative_to(Path.cwd()))
    except ValueError:
        shown = str(tool.absolute())
    return shlex.quote(shown if os.sep in shown else os.path.join(".", shown))


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    """Writes the demo database and prints every read with its statement and records."""
    from quarna_data.connections.sqlite import SqliteConnection

    path = Path(args.db)
    if path.is_dir():
        raise UserError(f"cannot create the demo database {str(path)!r}: it is a directory")
    problem = _not_a_demo(path)
    if problem:
        raise UserError(f"{str(path)!r} is not a demo database, so the demo does not replace it: {problem}; "
                        f"give another --db path")
    for leftover in (path, Path(f"{path}-journal"), Path(f"{path}-wal"), Path(f"{path}-shm")):
        try:
            leftover.unlink()
        except FileNotFoundError:
            pass
        except OSError as error:
            raise UserError(f"cannot remove the old demo database {str(leftover)!r}: {error.strerror}") from None
    ticks = iter(range(1_700_000_000, 1_800_000_000, 60))  # one minute between saves
    try:
        conn = SqliteConnection(str(path), clock=lambda: next(ticks))
    except sqlite3.Error as error:
        raise UserError(f"cannot create the demo database {str(path)!r}: {error}") from None
    try:
        conn.create_model_table(DEMO_TABLE, DEMO_COLUMNS)
        for object_id, fields in DEMO_OBJECTS:
            conn.save(DEMO_TABLE, object_id, fields)
        objects = len({object_id for object_id, _ in DEMO_OBJECTS})
        print(f"Created {path} with table {DEMO_TABLE!r}: {objects} objects, {len(DEMO_OBJECTS)} versions.",
              file=out)
        # The two fixed texts of the metadata join are printed in full once, then by name.
        from quarna_data.connections.implementations.mixins import sqlite_statements_mixin as module

        fixed = {module.METADATA_SELECT_FIELD: "\n<METADATA_SELECT_FIELD>\n",
                 module.METADATA_SELECT_STATEMENT: "<METADATA_SELECT_STATEMENT>"}
        shorten: Dict[str, str] = {}

        described = {module.METADATA_SELECT_FIELD: "the json_object(...) AS _metadata column",
                     module.METADATA_SELECT_STATEMENT: "the SELECT over metadata inside JOIN (...)"}

        def show(sql: str, params: Sequence[Any]) -> None:
            print(format_statement(sql, params, shorten=shorten), file=out)
            for text, name in fixed.items():
                if text in sql and text not in shorten:
                    shorten[text] = name
                    print(f"    (from here on {described[text]} is shown as {name.strip()})", file=out)

        for number, (title, read, columns) in enumerate(demo_reads(), 1):
            read = dict(read)
            table = read.pop("table", DEMO_TABLE)
            print(f"\n== {number}. {title}", file=out)
            if read.pop("count", False):
                sql, params = conn.count_statement(table, read.get("conditions"), meta=read.get("meta", False))
                show(sql, params)
                print(f"count: {conn.execute(sql, params).fetchone()[0]}", file=out)
                continue
            sql, params = conn.select_statement(table, **read)
            show(sql, params)
            write_records(conn.iter_select(table, **read), out, "table", columns)
        print(f"\nTry: {tool_command()} query {shlex.quote(str(path))} {DEMO_TABLE} --meta "
              f"--where _address__object_version=latest --where age__gte=40 --order -age", file=out)
        return 0
    finally:
        conn.close()
