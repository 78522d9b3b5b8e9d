"""The command-line tool: ``quarna-data`` (also ``python -m quarna_data``).

- ``create DB TABLE NAME:TYPE ...``: creates a model table (or with ``--plain`` a plain one),
  creating the database file when it is missing.
- ``tables DB``: the tables of a database, their kind and number of rows.
- ``load DB TABLE FILE``: loads JSON lines (``-`` for standard input), all or nothing, streaming.
- ``query DB TABLE``: reads records with filters (``--where FIELD__LOOKUP=VALUE``), ordering,
  pagination, field selection, the metadata join and counting, as a table, JSON, JSON lines or
  CSV, written as they are fetched; ``--explain`` prints the statement and runs nothing.
- ``describe DB TABLE``: the columns of a table and what it holds.
- ``demo [--db PATH]``: writes sample versioned objects into a fresh SQLite file and runs a
  showcase of reads, printing each statement, its parameters and the records it returns.

Every name given on the command line reaches the statements through the checks of the host
connection, which refuses unknown tables and fields with the list of valid ones. Bad input ends
with a one-line message on standard error and exit status 1 (2 for usage errors).
"""

from __future__ import annotations

import argparse
import collections
import csv
import json
import math
import os
import sqlite3
import sys
import time
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, TextIO, Tuple

DEFAULT_DEMO_DB = "quarna_demo.sqlite"
TEXT_WIDTH = 40  # widest cell of a printed table
TABLE_WINDOW = 100  # records read before a table's columns are sized
SPECIAL_FIELDS = ("_address", "_metadata")  # heads of nested paths that are not columns
FORMATS = ("table", "json", "ndjson", "csv")
LOOKUP_EXAMPLES = {
    "eq": "name=Ann  (the same as name__eq=Ann)",
    "neq": "country__neq=DE",
    "gt": "age__gt=40",
    "gte": "score__gte=12.5",
    "lt": "born__lt=1990-01-01",
    "lte": "age__lte=65",
    "in": "'country__in=[\"DE\",\"FR\"]'  (a JSON list)",
    "contains": "name__contains=ller",
    "icontains": "name__icontains=müller  (any case, any script)",
    "startswith": "name__startswith=Mü",
    "istartswith": "name__istartswith=zoë",
    "endswith": "name__endswith=Zoë",
    "iendswith": "name__iendswith=иванов",
    "isnull": "email__isnull=true",
}


class UserError(Exception):
    """Bad input: reported as one line, without a traceback."""


# ---------------------------------------------------------------------------- output


def text_of(value: Any) -> str:
    """A value as the text of one table cell or CSV field."""
    if value.__class__ is str:
        return value
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (dict, list)):
        return _compact_json(value)
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    return str(value)


def cell(value: Any) -> str:
    text = text_of(value).replace("\n", " ")
    return text if len(text) <= TEXT_WIDTH else text[: TEXT_WIDTH - 1] + "…"


def json_default(value: Any) -> Any:
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    return str(value)


_CSV_PLAIN = frozenset((str, int, float, type(None)))  # written by the csv module as text_of writes them
_compact_json = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), default=json_default).encode


def record_columns(records: Iterable[Dict[str, Any]]) -> List[str]:
    """The keys of the records, the object's identity first and the bulky metadata last."""
    columns: Dict[str, None] = {}
    for record in records:
        columns.update(dict.fromkeys(record))
    front = [c for c in ("_object_id", "_object_version") if c in columns]
    back = [c for c in ("_metadata",) if c in columns]
    return front + [c for c in columns if c not in front and c not in back] + back


def write_table(records: Iterator[Dict[str, Any]], out: TextIO, columns: Optional[Sequence[str]],
                *, footer: bool = True) -> None:
    """An aligned text table; its columns are sized by the first TABLE_WINDOW records, later
    records are written as they come (a wider cell shifts its line)."""
    window = []
    for record in records:
        window.append(record)
        if len(window) == TABLE_WINDOW:
            break
    if not window:
        out.write("(no records)\n")
        return
    columns = list(columns) if columns is not None else record_columns(window)
    rows = [[cell(r.get(c)) for c in columns] for r in window]
    widths = [max([len(c)] + [len(row[i]) for row in rows]) for i, c in enumerate(columns)]

    def line(values: Sequence[str]) -> str:
        return "  ".join(v.ljust(w) for v, w in zip(values, widths)).rstrip() + "\n"

    out.write(line(columns))
    out.write("  ".join("-" * w for w in widths) + "\n")
    for row in rows:
        out.write(line(row))
    count = len(window)
    for record in records:
        out.write(line([cell(record.get(c)) for c in columns]))
        count += 1
    if footer:
        out.write(f"({count} record{'s' if count != 1 else ''})\n")


def write_records(records: Iterator[Dict[str, Any]], out: TextIO, fmt: str,
                  columns: Optional[Sequence[str]] = None) -> None:
    """The records in one of FORMATS, each written as soon as it is read."""
    records = iter(records)
    if fmt == "table":
        write_table(records, out, columns)
    elif fmt == "ndjson":
        dumps = json.JSONEncoder(ensure_ascii=False, default=json_default).encode
        for record in records:
            out.write(dumps(record) + "\n")
    elif fmt == "json":
        dumps = json.JSONEncoder(ensure_ascii=False, default=json_default).encode
        separator = "[\n"
        for record in records:
            out.write(separator + dumps(record))
            separator = ",\n"
        out.write("[]\n" if separator == "[\n" else "\n]\n")
    elif fmt == "csv":
        writer = csv.writer(out, lineterminator="\n")
        first = next(records, None)
        if first is None:
            return
        columns = list(columns) if columns is not None else record_columns([first])
        writer.writerow(columns)
        write = writer.writerow
        write([text_of(first.get(c)) for c in columns])
        for record in records:
            write([v if v.__class__ in _CSV_PLAIN else text_of(v) for v in map(record.get, columns)])
    else:
        raise UserError(f"unknown format {fmt!r} (formats: {', '.join(FORMATS)})")


def format_statement(sql: str, params: Sequence[Any], *, shorten: Optional[Dict[str, str]] = None) -> str:
    """The statement and its parameters; ``shorten`` maps texts to the names printed instead."""
    for text, name in (shorten or {}).items():
        sql = sql.replace(text, name)
    lines = ["SQL:"] + ["    " + line for line in sql.strip("\n").split("\n")]
    lines.append("parameters: " + json.dumps(list(params), ensure_ascii=False, default=json_default))
    return "\n".join(lines)


# ---------------------------------------------------------------------------- database


def open_database(path: str, mode: str):
    """A connection to a database file (``mode`` "ro" or "rw": it must exist; "rwc": created when missing)."""
    from quarna_data.connections.errors import QuarnaConnectionError
    from quarna_data.connections.sqlite import SqliteConnection

    if mode != "rwc" and not os.path.exists(path):
        raise UserError(f"cannot open database {path!r}: no such file")
    if os.path.isdir(path):
        raise UserError(f"cannot open database {path!r}: it is a directory")
    try:
        return SqliteConnection(path, mode=mode)
    except (sqlite3.Error, QuarnaConnectionError) as error:
        raise UserError(f"cannot open database {path!r}: {error}") from None


# ---------------------------------------------------------------------------- query


def parse_value(text: str) -> Any:
    """JSON when the text is JSON (numbers, true, null, lists, quoted strings), else the text."""
    try:
        return json.loads(text)
    except ValueError:
        return text


def parse_where(text: str, conn, description: Dict[str, str]):
    """``FIELD__LOOKUP=VALUE`` (or ``FIELD=VALUE`` for eq) as a Filter; the host checks the field."""
    from quarna_utils.query.data_models.filter import Filter
    from quarna_utils.query.enums import Lookup

    path, sep, raw = text.partition("=")
    if not sep or not path:
        raise UserError(f"--where {text!r}: expected FIELD__LOOKUP=VALUE")
    valid = [str(lookup) for lookup in conn.SQL_OPERATOR_MAP]
    head, _, rest = path.partition("__")
    lookup, field = Lookup.EQ, path
    if rest:
        prefix, _, last = path.rpartition("__")
        if last in valid:
            lookup, field = Lookup(last), prefix
        elif last in {str(member) for member in Lookup}:
            raise UserError(f"--where {text!r}: lookup {last!r} is not supported on SQLite "
                            f"(valid lookups: {', '.join(valid)})")
        elif head not in SPECIAL_FIELDS and str(description.get(head, "")).lower() == "json":
            pass  # a path into a JSON column, compared with eq
        elif head in description and head not in SPECIAL_FIELDS:
            raise UserError(f"--where {text!r}: unknown lookup {last!r} (valid lookups: {', '.join(valid)})")
    return Filter(field_name=field, lookup=lookup, value=parse_value(raw))


def split_fields(values: Optional[Sequence[str]]) -> List[str]:
    fields: List[str] = []
    for value in values or ():
        fields.extend(f.strip() for f in value.split(",") if f.strip())
    return fields


def command_query(args, out: TextIO) -> int:
    from quarna_data.connections.sqlite import ALIASES, METADATA_COLUMN, order
    from quarna_utils.query.utils import ConnectorEnum, Q

    conn = open_database(args.db, "ro")
    try:
        info = conn.table_info(args.table)
        filters = [parse_where(w, conn, info.description) for w in args.where or ()]
        connector = ConnectorEnum.OR if args.any else ConnectorEnum.AND
        conditions = Q(*filters, _connector=connector) if filters else None
        if args.count:
            sql, params = conn.count_statement(args.table, conditions, meta=args.meta)
            if args.explain:
                print(format_statement(sql, params), file=out)
                return 0
            number = conn.execute(sql, params).fetchone()[0]
            print(json.dumps({"count": number}) if args.format in ("json", "ndjson") else number, file=out)
            return 0
        only, distinct = split_fields(args.only), split_fields(args.distinct)
        shown = None
        if only and not distinct and info.model and not info.internal:
            # Records of a model table keep saying which object and version they are.
            shown = list(ALIASES) + [f for f in only if f not in ALIASES and f not in ALIASES.values()]
            only = only + list(ALIASES)
        read = dict(conditions=conditions, only=only, distinct=distinct,
                    order_by=[order(field) for field in args.order or ()],
                    limit=args.limit, offset=args.offset, meta=args.meta)
        if args.explain:
            print(format_statement(*conn.select_statement(args.table, **read)), file=out)
            return 0
        # The version record a model row keeps is shown with --meta (joined) or when asked for.
        exclude = () if args.meta or METADATA_COLUMN in only + distinct else (METADATA_COLUMN,)
        try:
            write_records(conn.iter_select(args.table, **read, exclude=exclude), out, args.format, shown)
        except sqlite3.Error as error:
            raise UserError(f"the database refused the statement: {error}") from None
        return 0
    finally:
        conn.close()


# ---------------------------------------------------------------------------- tables, create, describe


def command_tables(args, out: TextIO) -> int:
    from quarna_data.connections.sqlite import quote_identifier

    conn = open_database(args.db, "ro")
    try:
        rows = []
        for name in conn.tables():
            info = conn.table_info(name)
            kind = "internal" if info.internal else "model" if info.model else "plain"
            number = conn.execute(f"SELECT count(*) FROM {quote_identifier(name)}").fetchone()[0]
            rows.append({"table": name, "kind": kind, "rows": number, "columns": len(info.description)})
        if args.format == "table" and not rows:
            out.write("(no tables)\n")
        else:
            write_records(iter(rows), out, args.format, ["table", "kind", "rows", "columns"])
        return 0
    finally:
        conn.close()


def parse_column(text: str) -> Tuple[str, str]:
    name, sep, kind = text.partition(":")
    if not sep or not name or not kind:
        raise UserError(f"column {text!r}: expected NAME:TYPE, for example age:integer")
    return name, kind


def command_create(args, out: TextIO) -> int:
    columns = dict(parse_column(text) for text in args.columns)
    if len(columns) != len(args.columns):
        raise UserError("a column is named twice")
    key = split_fields(args.key)
    if key and not args.plain:
        raise UserError("--key is for plain tables; a model table is keyed by object id and version")
    conn = open_database(args.db, "rwc")
    try:
        if args.plain:
            conn.create_table(args.table, columns, primary_key=key)
        else:
            conn.create_model_table(args.table, columns)
        kind = "plain table" if args.plain else "model table"
        listed = ", ".join(f"{name} {kind_}" for name, kind_ in conn.describe(args.table).items())
        print(f"created {kind} {args.table} ({listed}) in {args.db}", file=out)
        return 0
    finally:
        conn.close()


def command_describe(args, out: TextIO) -> int:
    from quarna_data.connections.sqlite import latest_only, quote_identifier

    conn = open_database(args.db, "ro")
    try:
        info = conn.table_info(args.table)
        rows = [{"column": name, "type": kind} for name, kind in info.description.items()]
        print(f"table {args.table}", file=out)
        write_table(iter(rows), out, ["column", "type"], footer=False)
        print(f"rows: {conn.count(args.table)}", file=out)
        if info.model and not info.internal:
            objects = conn.execute(f"SELECT count(DISTINCT partition_key) FROM {quote_identifier(args.table)}").fetchone()[0]
            latest = conn.count(args.table, latest_only())
            print(f"model table: {objects} objects, {latest} latest versions", file=out)
        return 0
    finally:
        conn.close()


# ---------------------------------------------------------------------------- load


class Progress:
    """Progress of a load on standard error, from the first byte: bytes and rows read, and their
    rates. On a terminal one line redrawn in place, otherwise a line every few seconds."""

    def __init__(self, total: Optional[int], stream: TextIO, *, every: Optional[float] = None) -> None:
        self.total = total
        self.stream = stream
        self.tty = bool(getattr(stream, "isatty", lambda: False)())
        self.every = every if every is not None else (0.2 if self.tty else 5.0)
        self.start = time.monotonic()
        self.next = self.start
        self.shown = False

    def __call__(self, done_bytes: int, rows: int, *, final: bool = False) -> None:
        now = time.monotonic()
        if now < self.next and not final:
            return
        self.next = now + self.every
        elapsed = max(now - self.start, 1e-9)
        size = f"{done_bytes / 1e6:,.1f} MB"
        if self.total:
            size += f" of {self.total / 1e6:,.1f} MB ({min(done_bytes / self.total, 1.0):.0%})"
        text = (f"loading: {size}, {rows:,} rows, {done_bytes / 1e6 / elapsed:,.1f} MB/s, "
                f"{rows / elapsed:,.0f} rows/s")
        self.stream.write(f"\r{text}\x1b[K" if self.tty else text + "\n")
        self.stream.flush()
        self.shown = True

    def finish(self) -> None:
        if self.tty and self.shown:
            self.stream.write("\n")
            self.stream.flush()


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a JSON number")


class LoadSource:
    """The JSON objects of a file of JSON lines, read lazily; remembers which line recent items
    came from, so an error about an item can name its line."""

    def __init__(self, source: str, model: bool, progress: Optional[Progress]) -> None:
        self.source = source
        self.name = "<stdin>" if source == "-" else source
        self.model = model
        self.progress = progress
        self.items = 0
        self.lines: collections.deque = collections.deque(maxlen=1 << 16)

    def line_of(self, index: int) -> Optional[int]:
        position = index - (self.items - len(self.lines))
        return self.lines[position] if 0 <= position < len(self.lines) else None

    def _stream(self):
        if self.source == "-":
            return sys.stdin.buffer
        try:
            return open(self.source, "rb")
        except OSError as error:
            raise UserError(f"cannot read {self.source!r}: {error.strerror}") from None

    def size(self) -> Optional[int]:
        try:
            return os.stat(self.source).st_size if self.source != "-" else None
        except OSError:
            return None

    def __iter__(self) -> Iterator[Any]:
        stream = self._stream()
        progress = self.progress
        decode = json.JSONDecoder(parse_constant=_reject_constant).decode
        done = 0
        try:
            for number, line in enumerate(stream, 1):
                done += len(line)
                if progress is not None and number & 255 == 1:
                    progress(done, self.items)
                try:
                    item = decode(line.decode("utf-8-sig" if number == 1 else "utf-8"))
                except UnicodeDecodeError as error:
                    raise UserError(f"{self.name}:{number}: not UTF-8 text ({error.reason} at byte {error.start})") from None
                except ValueError as error:
                    if not line.strip():
                        continue  # blank lines are skipped
                    detail = f"{error.msg} at column {error.colno}" if hasattr(error, "colno") else str(error)
                    raise UserError(f"{self.name}:{number}: not valid JSON ({detail})") from None
                except RecursionError:
                    raise UserError(f"{self.name}:{number}: nested too deeply") from None
                if item.__class__ is not dict:
                    raise UserError(f"{self.name}:{number}: expected a JSON object, got {type(item).__name__}")
                if self.model:
                    object_id = item.pop("_object_id", None)
                    if object_id.__class__ is not str or not object_id:
                        raise UserError(f"{self.name}:{number}: a model table needs \"_object_id\" "
                                        f"(non-empty text) on every line")
                    item = (object_id, item)
                self.lines.append(number)
                self.items += 1
                yield item
            if progress is not None:
                progress(done, self.items, final=True)
        except OSError as error:
            raise UserError(f"cannot read {self.source!r}: {error.strerror}") from None
        finally:
            if stream is not sys.stdin.buffer:
                stream.close()


def command_load(args, out: TextIO, err: TextIO) -> int:
    from quarna_data.connections.sqlite import RejectedRow

    conn = open_database(args.db, "rw")
    try:
        info = conn.table_info(args.table)
        show = args.progress or bool(getattr(err, "isatty", lambda: False)())
        source = LoadSource(args.file, info.model and not info.internal, None)
        progress = Progress(source.size(), err) if show else None
        source.progress = progress
        try:
            count = conn.load(args.table, source)
        except RejectedRow as error:
            line = source.line_of(error.index)
            where = f"{source.name}:{line}" if line is not None else f"{source.name}: item {error.index + 1}"
            field = f"field {error.field!r}: " if error.field is not None else ""
            raise UserError(f"{where}: {field}{error.reason}; nothing was loaded") from None
        except (sqlite3.Error, TypeError, ValueError) as error:
            raise UserError(f"nothing was loaded: {error}") from None
        finally:
            if progress is not None:
                progress.finish()
        kind = "object versions" if info.model and not info.internal else "rows"
        print(f"loaded {count} {kind} into {args.table}", file=out)
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
                sql, params = conn.count_statement(table, read.get("conditions"), meta=read.get("meta", False))
                show(sql, params)
                print(f"count: {conn.execute(sql, params).fetchone()[0]}", file=out)
                continue
            sql, params = conn.select_statement(table, **read)
            show(sql, params)
            write_records(conn.iter_select(table, **read), out, "table", columns)
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


QUERY_EPILOG = """\
lookups (--where FIELD__LOOKUP=VALUE; VALUE is read as JSON when it parses, else as text):
{lookups}

fields:
  a column (age), a path into a JSON column (home__city for the key city of home),
  on a model table also _object_id, _object_version, the version selectors
  _address__object_version=latest|all (any version number with --meta) and,
  with --meta or on the row's own copy, the version record _metadata__KEY
  (for example _metadata__created_at__gte=1700000000)

examples:
  %(prog)s people.sqlite person --meta --where _address__object_version=latest --order -age --limit 10
  %(prog)s people.sqlite person --where name__icontains=müller --only name,country --format csv
  %(prog)s people.sqlite person --distinct country --order country
  %(prog)s people.sqlite person --where home__city=Köln --count
"""


def make_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quarna-data",
        description="The SQLite statement layer of the Quarna data platform, on a SQLite file: create "
                    "tables, load JSON lines, query them.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    create = sub.add_parser("create", help="create a model table (or a plain one) in a database",
                            description="Create a table; the database file is created when missing.")
    create.add_argument("db", help="SQLite file (created when missing)")
    create.add_argument("table", help="name of the new table")
    create.add_argument("columns", nargs="+", metavar="NAME:TYPE",
                        help="a column and its type, one of text, integer, real, numeric, boolean, json, blob, "
                             "bytea (for example name:text age:integer address:json)")
    create.add_argument("--plain", action="store_true",
                        help="a plain table of these columns only, not a model table of versioned objects")
    create.add_argument("--key", action="append", metavar="COLUMNS",
                        help="primary key column(s) of a plain table (comma-separated)")

    tables = sub.add_parser("tables", help="list the tables of a database")
    tables.add_argument("db", help="SQLite file")
    tables.add_argument("--format", choices=FORMATS, default="table", help="output format (default table)")

    load = sub.add_parser("load", help="load JSON lines into a table, all or nothing")
    load.add_argument("db", help="SQLite file")
    load.add_argument("table", help="table to load into")
    load.add_argument("file", help="a file of JSON objects, one a line, or - for standard input; "
                                   "for a model table every object needs \"_object_id\" and becomes a new version")
    load.add_argument("--progress", action="store_true",
                      help="report progress on standard error even when it is not a terminal")

    lookups = "\n".join(f"  {name:<12} --where {example}" for name, example in LOOKUP_EXAMPLES.items())
    query = sub.add_parser("query", help="read records of a table",
                           description="Read the records of a table; rows are written as they are fetched.",
                           epilog=QUERY_EPILOG.format(lookups=lookups),
                           formatter_class=argparse.RawDescriptionHelpFormatter)
    query.add_argument("db", help="SQLite file")
    query.add_argument("table", help="table to read")
    query.add_argument("--where", action="append", metavar="FIELD__LOOKUP=VALUE",
                       help="a filter; repeatable (all must hold, or any with --any); see the lookups below")
    query.add_argument("--any", action="store_true", help="match any filter instead of all")
    query.add_argument("--order", action="append", metavar="[-]FIELD",
                       help="order by FIELD (- for descending); repeatable")
    query.add_argument("--limit", type=int, metavar="N", help="return at most N records")
    query.add_argument("--offset", type=int, metavar="N", help="skip the first N records")
    query.add_argument("--only", action="append", metavar="FIELDS",
                       help="fields to return (comma-separated; repeatable)")
    query.add_argument("--distinct", action="append", metavar="FIELDS",
                       help="return the distinct combinations of these fields (and of --only), not rows")
    query.add_argument("--meta", action="store_true",
                       help="join the version records: their fields become filters and a _metadata column")
    query.add_argument("--count", action="store_true", help="print the number of matching rows")
    query.add_argument("--explain", action="store_true", help="print the statement and its parameters only")
    query.add_argument("--format", choices=FORMATS, default="table",
                       help="output format: an aligned table (columns sized by the first "
                            f"{TABLE_WINDOW} records), a JSON list, JSON lines or CSV (default table)")

    describe = sub.add_parser("describe", help="show the columns of a table")
    describe.add_argument("db", help="SQLite file")
    describe.add_argument("table", help="table to describe")

    demo = sub.add_parser("demo", help="create a demo database and show a series of reads")
    demo.add_argument("--db", default=DEFAULT_DEMO_DB,
                      help=f"SQLite file to create, replacing any earlier one (default {DEFAULT_DEMO_DB})")
    return parser


def _quiet_stdout() -> None:
    """After the reader of standard output went away: nothing more reaches it, not even at exit."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: Optional[Sequence[str]] = None, *, out: Optional[TextIO] = None, err: Optional[TextIO] = None) -> int:
    out = out or sys.stdout
    err = err or sys.stderr
    args = make_parser().parse_args(join_negative_orders(sys.argv[1:] if argv is None else list(argv)))
    commands: Dict[str, Callable[[], int]] = {
        "demo": lambda: command_demo(args, out),
        "query": lambda: command_query(args, out),
        "load": lambda: command_load(args, out, err),
        "describe": lambda: command_describe(args, out),
        "tables": lambda: command_tables(args, out),
        "create": lambda: command_create(args, out),
    }
    try:
        status = commands[args.command]()
        out.flush()
        return status
    except UserError as error:
        print(f"error: {error}", file=err)
    except KeyboardInterrupt:
        print("interrupted", file=err)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. piped into head): it has all it wanted.
        if out is sys.stdout:
            _quiet_stdout()
        return 0
    except Exception as error:  # noqa: BLE001 - one line, never a traceback
        from quarna_data.connections.errors import QuarnaConnectionError

        kind = "" if isinstance(error, (QuarnaConnectionError, sqlite3.Error, ValueError)) else \
            f"{type(error).__name__}: "
        print(f"error: {kind}{error}", file=err)
    return 1


if __name__ == "__main__":
    sys.exit(main())
