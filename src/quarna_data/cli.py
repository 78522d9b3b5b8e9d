"""The command-line tool: ``python -m quarna_data {demo,query,load,describe}``.

- ``demo [--db PATH]``: writes sample versioned objects into a fresh SQLite file and runs a
  showcase of reads, printing each statement, its parameters and the records it returns.
- ``query DB TABLE``: reads records with filters (``--where FIELD__LOOKUP=VALUE``), ordering,
  pagination, field selection, the metadata join and counting; ``--explain`` prints the statement
  and runs nothing.
- ``load DB TABLE FILE``: loads JSON lines (``-`` for standard input), all or nothing.
- ``describe DB TABLE``: the columns of a table and what it holds.

Bad input ends with a one-line message on standard error and exit status 1 (2 for usage errors).
"""

from __future__ import annotations

import argparse
import json
import os
import sqlite3
import sys
import time
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, TextIO, Tuple

DEFAULT_DEMO_DB = "quarna_demo.sqlite"
TEXT_WIDTH = 40  # widest cell of a printed table
SPECIAL_FIELDS = ("_address", "_metadata")  # heads of nested paths that are not columns


class UserError(Exception):
    """Bad input: reported as one line, without a traceback."""


# ---------------------------------------------------------------------------- output


def cell(value: Any) -> str:
    if value is None:
        text = ""
    elif isinstance(value, str):
        text = value
    elif isinstance(value, (dict, list)):
        text = json.dumps(value, ensure_ascii=False, separators=(",", ":"), default=str)
    else:
        text = str(value)
    text = text.replace("\n", " ")
    return text if len(text) <= TEXT_WIDTH else text[: TEXT_WIDTH - 1] + "…"


def format_table(records: Sequence[Dict[str, Any]], columns: Optional[Sequence[str]] = None) -> str:
    """The records as an aligned text table; ``columns`` chooses and orders the columns."""
    if columns is None:
        columns = []
        for record in records:
            columns.extend(k for k in record if k not in columns)
        # The object's identity first, the bulky metadata last.
        front = [c for c in ("_object_id", "_object_version") if c in columns]
        back = [c for c in ("_metadata",) if c in columns]
        columns = front + [c for c in columns if c not in front and c not in back] + back
    if not records:
        return "(no records)"
    rows = [[cell(r.get(c)) for c in columns] for r in records]
    widths = [max([len(c)] + [len(row[i]) for row in rows]) for i, c in enumerate(columns)]
    lines = ["  ".join(c.ljust(w) for c, w in zip(columns, widths)).rstrip(),
             "  ".join("-" * w for w in widths)]
    lines += ["  ".join(v.ljust(w) for v, w in zip(row, widths)).rstrip() for row in rows]
    n = len(records)
    lines.append(f"({n} record{'s' if n != 1 else ''})")
    return "\n".join(lines)


def json_default(value: Any) -> Any:
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    return str(value)


def format_json(records: Sequence[Dict[str, Any]]) -> str:
    return json.dumps(list(records), ensure_ascii=False, indent=2, default=json_default)


def format_statement(sql: str, params: Sequence[Any], *, shorten: Optional[Dict[str, str]] = None) -> str:
    """The statement and its parameters; ``shorten`` maps texts to the names printed instead."""
    for text, name in (shorten or {}).items():
        sql = sql.replace(text, name)
    lines = ["SQL:"] + ["    " + line for line in sql.strip("\n").split("\n")]
    lines.append("parameters: " + json.dumps(list(params), ensure_ascii=False, default=json_default))
    return "\n".join(lines)


# ---------------------------------------------------------------------------- database


def open_database(path: str, mode: str):
    """A connection to an existing database file (``mode`` "ro" or "rw")."""
    from quarna_data.connections.sqlite import SqliteConnection

    if not os.path.exists(path):
        raise UserError(f"cannot open database {path!r}: no such file")
    if os.path.isdir(path):
        raise UserError(f"cannot open database {path!r}: it is a directory")
    try:
        return SqliteConnection(path, mode=mode)
    except sqlite3.DatabaseError as error:
        raise UserError(f"cannot open database {path!r}: {error}") from None


def known_table(conn, table: str) -> Dict[str, str]:
    from quarna_data.connections.errors import QuarnaConnectionError

    try:
        return conn.describe(table)
    except QuarnaConnectionError as error:
        raise UserError(str(error)) from None


# ---------------------------------------------------------------------------- query


def parse_value(text: str) -> Any:
    """JSON when the text is JSON (numbers, true, null, lists, quoted strings), else the text."""
    try:
        return json.loads(text)
    except ValueError:
        return text


def supported_lookups(conn) -> List[str]:
    return [str(lookup) for lookup in conn.SQL_OPERATOR_MAP]


def parse_where(text: str, conn, description: Dict[str, str]):
    """``FIELD__LOOKUP=VALUE`` (or ``FIELD=VALUE`` for EQ) as a Filter."""
    from quarna_utils.query.data_models.filter import Filter
    from quarna_utils.query.enums import Lookup

    path, sep, raw = text.partition("=")
    if not sep or not path:
        raise UserError(f"--where {text!r}: expected FIELD__LOOKUP=VALUE")
    valid = supported_lookups(conn)
    head, _, rest = path.partition("__")
    lookup, field = Lookup.EQ, path
    if rest:
        prefix, _, last = path.rpartition("__")
        if last in valid:
            lookup, field = Lookup(last), prefix
        elif last in {str(member) for member in Lookup}:
            raise UserError(f"--where {text!r}: lookup {last!r} is not supported on SQLite "
                            f"(valid lookups: {', '.join(valid)})")
        elif head not in SPECIAL_FIELDS and str(description.get(head, "")).lower() != "json":
            # Not a path into a JSON column, so the last part must be a lookup.
            raise UserError(f"--where {text!r}: unknown lookup {last!r} (valid lookups: {', '.join(valid)})")
    head = field.partition("__")[0]
    if head not in description and head not in SPECIAL_FIELDS:
        raise UserError(f"--where {text!r}: unknown column {head!r} ({columns_text(description)})")
    if "__" in field and head not in SPECIAL_FIELDS and str(description[head]).lower() != "json":
        raise UserError(f"--where {text!r}: column {head!r} is not a JSON column, so it has no keys")
    return Filter(field_name=field, lookup=lookup, value=parse_value(raw))


def columns_text(description: Dict[str, str]) -> str:
    return "columns: " + ", ".join(description)


def split_fields(values: Optional[Sequence[str]]) -> List[str]:
    fields: List[str] = []
    for value in values or ():
        fields.extend(f.strip() for f in value.split(",") if f.strip())
    return fields


def build_query(args, conn, description: Dict[str, str]):
    from quarna_data.connections.sqlite import order
    from quarna_utils.query.utils import ConnectorEnum, Q

    filters = [parse_where(w, conn, description) for w in args.where or ()]
    connector = ConnectorEnum.OR if args.any else ConnectorEnum.AND
    conditions = Q(*filters, _connector=connector) if filters else None
    only = split_fields(args.only)
    distinct = split_fields(args.distinct)
    for field in only + distinct:
        if field not in description:
            raise UserError(f"unknown column {field!r} ({columns_text(description)})")
    if distinct and not only:
        only = list(distinct)
    orderings = []
    for field in args.order or ():
        name = field[1:] if field.startswith("-") else field
        head = name.partition("__")[0]
        if not name or (head not in description and head not in SPECIAL_FIELDS):
            raise UserError(f"--order {field!r}: unknown column {head!r} ({columns_text(description)})")
        orderings.append(order(field))
    for option in ("limit", "offset"):
        value = getattr(args, option)
        if value is not None and value < 0:
            raise UserError(f"--{option} must not be negative")
    if args.offset and args.limit is None:
        raise UserError("--offset needs --limit")
    return conditions, only, distinct, orderings


def command_query(args, out: TextIO) -> int:
    conn = open_database(args.db, "ro")
    try:
        description = known_table(conn, args.table)
        conditions, only, distinct, orderings = build_query(args, conn, description)
        shown = None
        if only:
            from quarna_data.connections.sqlite import MODEL_KEY_COLUMNS

            # Records of a model table keep saying which object and version they are.
            keys = [c for c in MODEL_KEY_COLUMNS[:2] if c in description and conn.is_model_table(args.table)]
            shown = [c for c in ("_object_id", "_object_version") if keys] + only
            only = only + [k for k in keys if k not in only]
        if args.count:
            sql, params = conn._build_count_statement(args.table, conditions, use_internal_meta_tables=args.meta)
        else:
            sql, params = conn.select_statement(
                args.table, conditions, only=only, distinct=distinct, order_by=orderings,
                limit=args.limit, offset=args.offset, meta=args.meta)
        if args.explain:
            print(format_statement(sql, params), file=out)
            return 0
        try:
            if args.count:
                number = conn.execute(sql, params).fetchone()[0]
                print(json.dumps({"count": number}) if args.format == "json" else number, file=out)
                return 0
            records = conn.fetch_records(args.table, sql, params)
        except sqlite3.Error as error:
            hint = ""
            if distinct and "distinct" in str(error).lower():
                hint = " (DISTINCT must be the first column of the statement; see --explain)"
            raise UserError(f"the database refused the statement: {error}{hint}") from None
        print(format_json(records) if args.format == "json" else format_table(records, shown), file=out)
        return 0
    finally:
        conn.close()


# ---------------------------------------------------------------------------- describe


def command_describe(args, out: TextIO) -> int:
    from quarna_data.connections.sqlite import latest_only, quote_identifier

    conn = open_database(args.db, "ro")
    try:
        description = known_table(conn, args.table)
        rows = [{"column": name, "type": kind} for name, kind in description.items()]
        print(f"table {args.table}", file=out)
        print(format_table(rows, ["column", "type"]).rsplit("\n", 1)[0], file=out)
        print(f"rows: {conn.count(args.table)}", file=out)
        if conn.is_model_table(args.table) and "metadata" in conn.tables():
            objects = conn.execute(f"SELECT count(DISTINCT partition_key) FROM {quote_identifier(args.table)}").fetchone()[0]
            latest = conn.count(args.table, latest_only(), meta=True)
            print(f"model table: {objects} objects, {latest} latest versions", file=out)
        return 0
    finally:
        conn.close()


# ---------------------------------------------------------------------------- load


class Progress:
    """A progress bar on standard error: drawn on a terminal, or as lines once a load runs long."""

    def __init__(self, total: int, stream: TextIO, *, after: float = 2.0) -> None:
        self.total = max(total, 1)
        self.stream = stream
        self.tty = bool(getattr(stream, "isatty", lambda: False)())
        self.start = time.monotonic()
        self.after = after
        self.shown = False
        self.last_tenth = -1

    def __call__(self, done: int) -> None:
        fraction = min(done / self.total, 1.0)
        if self.tty:
            bar = "#" * int(fraction * 30)
            self.stream.write(f"\rloading [{bar:<30}] {done}/{self.total}")
            self.shown = True
        elif time.monotonic() - self.start >= self.after:
            tenth = int(fraction * 10)
            if tenth != self.last_tenth:
                self.last_tenth = tenth
                self.stream.write(f"loading: {done}/{self.total} rows ({int(fraction * 100)}%)\n")
                self.shown = True
        self.stream.flush()

    def finish(self) -> None:
        if self.tty and self.shown:
            self.stream.write("\n")
            self.stream.flush()


def read_lines(source: str) -> Iterable[Tuple[int, str]]:
    if source == "-":
        stream = sys.stdin
        for number, line in enumerate(stream, 1):
            yield number, line
        return
    try:
        with open(source, encoding="utf-8") as stream:
            for number, line in enumerate(stream, 1):
                yield number, line
    except UnicodeDecodeError as error:
        raise UserError(f"{source}: not UTF-8 text ({error.reason} at byte {error.start})") from None
    except OSError as error:
        raise UserError(f"cannot read {source!r}: {error.strerror}") from None


def parse_load(source: str, conn, table: str, description: Dict[str, str], model: bool):
    """All lines parsed and checked before anything is written."""
    from quarna_data.connections.sqlite import MODEL_KEY_COLUMNS

    name = "<stdin>" if source == "-" else source
    items = []
    for number, line in read_lines(source):
        if not line.strip():
            continue
        where = f"{name}:{number}"
        try:
            item = json.loads(line)
        except ValueError as error:
            raise UserError(f"{where}: not valid JSON ({error.msg} at column {error.colno})") from None
        if not isinstance(item, dict):
            raise UserError(f"{where}: expected a JSON object, got {type(item).__name__}")
        if model:
            object_id = item.pop("_object_id", None)
            if not isinstance(object_id, str) or not object_id:
                raise UserError(f"{where}: a model table needs \"_object_id\" (non-empty text) on every line")
            for key in item:
                if key in MODEL_KEY_COLUMNS:
                    raise UserError(f"{where}: {key!r} is written by the connection; give \"_object_id\"")
        for key in item:
            if key not in description:
                valid = [c for c in description if not (model and c in MODEL_KEY_COLUMNS)]
                raise UserError(f"{where}: unknown column {key!r} (columns: {', '.join(valid)})")
        items.append((object_id, item) if model else item)
    return items


def command_load(args, out: TextIO, err: TextIO) -> int:
    conn = open_database(args.db, "rw")
    try:
        description = known_table(conn, args.table)
        model = conn.is_model_table(args.table)
        items = parse_load(args.file, conn, args.table, description, model)
        progress = Progress(len(items), err)
        try:
            if model:
                conn.bulk_save(args.table, items, progress=progress)
            else:
                conn.bulk_insert(args.table, items, progress=progress)
        except (sqlite3.Error, TypeError, ValueError) as error:
            raise UserError(f"nothing was loaded: {error}") from None
        finally:
            progress.finish()
        kind = "object versions" if model else "rows"
        print(f"loaded {len(items)} {kind} into {args.table}", file=out)
        return 0
    finally:
        conn.close()


# ---------------------------------------------------------------------------- demo

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


def demo_reads():
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


def command_demo(args, out: TextIO) -> int:
    from quarna_data.connections.sqlite import SqliteConnection

    path = Path(args.db)
    if path.is_dir():
        raise UserError(f"cannot create the demo database {str(path)!r}: it is a directory")
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
                sql, params = conn._build_count_statement(
                    table, read.get("conditions"), use_internal_meta_tables=read.get("meta", False))
                show(sql, params)
                print(f"count: {conn.execute(sql, params).fetchone()[0]}", file=out)
                continue
            sql, params = conn.select_statement(table, **read)
            show(sql, params)
            print(format_table(conn.fetch_records(table, sql, params), columns), file=out)
        print(f"\nTry: python -m quarna_data query {path} {DEMO_TABLE} --meta "
              f"--where _address__object_version=latest --where age__gte=40 --order -age", file=out)
        return 0
    finally:
        conn.close()


# ---------------------------------------------------------------------------- main


def join_negative_orders(argv: List[str]) -> List[str]:
    """``--order -age`` as ``--order=-age``: argparse would take ``-age`` for an option."""
    joined: List[str] = []
    tokens = iter(argv)
    for token in tokens:
        if token == "--order":
            value = next(tokens, None)
            if value is not None and value.startswith("-") and len(value) > 1 and not value.startswith("--"):
                joined.append(f"--order={value}")
                continue
            joined.append(token)
            if value is not None:
                joined.append(value)
            continue
        joined.append(token)
    return joined


def make_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m quarna_data",
        description="The SQLite statement layer of the Quarna data platform, on a SQLite file.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    demo = sub.add_parser("demo", help="create a demo database and show a series of reads")
    demo.add_argument("--db", default=DEFAULT_DEMO_DB,
                      help=f"SQLite file to create, replacing any earlier one (default {DEFAULT_DEMO_DB})")

    query = sub.add_parser("query", help="read records of a table")
    query.add_argument("db", help="SQLite file")
    query.add_argument("table")
    query.add_argument("--where", action="append", metavar="FIELD__LOOKUP=VALUE",
                       help="a filter; repeatable. FIELD may be a path into a JSON column (data__address__city); "
                            "LOOKUP defaults to eq; VALUE is read as JSON when it is JSON, else as text")
    query.add_argument("--any", action="store_true", help="match any filter instead of all")
    query.add_argument("--order", action="append", metavar="[-]FIELD", help="order by FIELD (- for descending); repeatable")
    query.add_argument("--limit", type=int)
    query.add_argument("--offset", type=int)
    query.add_argument("--only", action="append", metavar="FIELDS", help="fields to return (comma-separated; repeatable)")
    query.add_argument("--distinct", action="append", metavar="FIELDS", help="fields selected DISTINCT")
    query.add_argument("--meta", action="store_true", help="join the metadata table (version records)")
    query.add_argument("--count", action="store_true", help="print the number of matching rows")
    query.add_argument("--explain", action="store_true", help="print the statement and its parameters only")
    query.add_argument("--format", choices=("table", "json"), default="table")

    load = sub.add_parser("load", help="load JSON lines into a table, all or nothing")
    load.add_argument("db", help="SQLite file")
    load.add_argument("table")
    load.add_argument("file", help="a file of JSON objects, one a line, or - for standard input; "
                                   "for a model table every object needs \"_object_id\" and becomes a new version")

    describe = sub.add_parser("describe", help="show the columns of a table")
    describe.add_argument("db", help="SQLite file")
    describe.add_argument("table")
    return parser


def main(argv: Optional[Sequence[str]] = None, *, out: Optional[TextIO] = None, err: Optional[TextIO] = None) -> int:
    out = out or sys.stdout
    err = err or sys.stderr
    args = make_parser().parse_args(join_negative_orders(sys.argv[1:] if argv is None else list(argv)))
    commands: Dict[str, Callable[[], int]] = {
        "demo": lambda: command_demo(args, out),
        "query": lambda: command_query(args, out),
        "load": lambda: command_load(args, out, err),
        "describe": lambda: command_describe(args, out),
    }
    try:
        return commands[args.command]()
    except UserError as error:
        print(f"error: {error}", file=err)
    except KeyboardInterrupt:
        print("interrupted", file=err)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. piped into head): nothing more to say.
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return 1
    except Exception as error:  # noqa: BLE001 - one line, never a traceback
        from quarna_data.connections.errors import QuarnaConnectionError

        kind = "" if isinstance(error, (QuarnaConnectionError, sqlite3.Error, ValueError)) else \
            f"{type(error).__name__}: "
        print(f"error: {kind}{error}", file=err)
    return 1


if __name__ == "__main__":
    sys.exit(main())
