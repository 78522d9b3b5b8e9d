"""The SQLite storage connection: the statement builders of the mixin, run on a ``sqlite3`` database.

``SqliteConnection`` owns one ``sqlite3`` connection (a file, or ``:memory:``). Every write runs in
one transaction and is rolled back whole when any part of it fails.

Model tables and versioned objects
----------------------------------
A model table (``create_model_table``) has the columns ``partition_key`` (the object id) and
``range_key`` (the version id), its declared fields, and ``_metadata`` (JSON). Every
version of every object also has a record in the internal table ``metadata``; the record of a
version names the version it follows (``prior_version``), so the newest version of an object is
the one no other version follows, which is what the ``Versions.LATEST`` selector asks for.

``save(table, object_id, fields)`` writes a new version: version ids are increasing integers
written as text ("1", "2", ...), one sequence per object. Ordering by ``range_key`` therefore
orders as text ("10" before "9"); order by ``_metadata__created_at`` or by a field to get the
order of saving. Object ids are unique across the database: an object lives in one model table.
The model row keeps a copy of its metadata record in ``_metadata``, and ``next_version`` in that
copy is kept up to date, so reads without the metadata join can select the latest versions too.

Deleting model rows (``delete``/``bulk_delete``) deletes those versions: their metadata records
go with them and the remaining versions of the object are linked up again (a trigger of the
table), so the newest remaining version becomes the latest.

Names
-----
The statement builders write table and column names into the text as they are, mostly without
quotes. Every name that reaches a statement through this class is therefore checked first
against the table it belongs to: a table must exist; a filter, ordering, ``only`` or ``distinct``
field must be one of its columns (the column at the head of a path into a JSON column), one of
the record aliases ``_object_id`` and ``_object_version``, or, on a model table, a selector of the
object's address (``_address__object_id``, ``_address__object_version``) or of its version record
(``_metadata__<key>``); row keys of writes must be columns. Anything else raises
``QuarnaConnectionError`` naming the name and the valid ones before any statement is built.
Conditions are checked as a whole tree, queryable values expanded first, and the builders get
the checked copy, never the caller's objects.

Values
------
Text and booleans saved into a JSON column are stored as JSON (the text 42 as the JSON string
"42", not as the number), so they read back as the same value and type; text stored earlier without that encoding still
reads back as before (as the value it spells when it is valid JSON, else as the text).
Columns declared ``boolean`` read back as ``bool``. ``UPPER`` is Unicode-aware on these
connections (as ``str.upper``), so the case-insensitive lookups match non-ASCII text, and
``LIKE`` is case-sensitive, so ``startswith``/``contains``/``endswith`` are too.

Files
-----
A file that is not a SQLite database is refused before SQLite opens it, and left untouched; so is
a database whose ``metadata`` table is not a table of version records, for everything that needs
the version records. Nothing is created in a database until something is written: the
``metadata`` table comes with the first model table. Databases are switched to write-ahead
logging at their first write, so readers are not locked out while a load runs, and a database
left behind by a writer that was killed can still be read.

Table descriptions
------------------
The mixin's own description cache keeps, for every connection object, the first description it
read of a table, for the life of the process (it also keeps the connection objects alive). This
class keeps its descriptions itself instead, per connection: a table that was missing is not
remembered as empty, and creating a table through this class drops what was remembered of it.
"""

from __future__ import annotations

import json
import os
import re
import sqlite3
import time
import urllib.parse
import uuid
from contextlib import contextmanager
from typing import Any, Callable, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence, Tuple

from quarna_data.connections.errors import QuarnaConnectionError
from quarna_data.connections.implementations.mixins.sqlite_statements_mixin import SqliteStatementsMixin
from quarna_data.table_schemas.constants import PRIMARY_PARTITION_KEY, SECONDARY_PARTITION_KEY
from quarna_utils.models.enums import Versions
from quarna_utils.query.data_models.filter import Filter
from quarna_utils.query.data_models.order_by import OrderBy
from quarna_utils.query.data_models.paginator import NumberPaginator
from quarna_utils.query.data_models.query_specifier import QuerySpecifier
from quarna_utils.query.enums import Lookup, OrderDirection
from quarna_utils.query.mixin import QueryableMixin
from quarna_utils.query.utils import Q

METADATA_TABLE = "metadata"
METADATA_COLUMN = "_metadata"
ADDRESS_FIELD = "_address"
#: Columns every model table starts with.
MODEL_KEY_COLUMNS = (PRIMARY_PARTITION_KEY, SECONDARY_PARTITION_KEY, METADATA_COLUMN)
#: Columns of the metadata table, one row per version of an object.
METADATA_COLUMNS = ("object_id", "object_version", "prior_version", "address", "class_schema_reference",
                    "class_meta_schema_reference", "class_schema_type", "is_deleted", "created_at",
                    "updated_at", "transaction", "table_name")
#: Keys of a version record as reads return it (``_metadata``).
RECORD_KEYS = ("next_version",) + METADATA_COLUMNS[:-1]
#: Columns of the version records in the joined selects, which write some names unqualified.
JOINED_COLUMNS = METADATA_COLUMNS + ("next_version",)
#: Record keys of a model row that name its key columns in queries.
ALIASES = {"_object_id": PRIMARY_PARTITION_KEY, "_object_version": SECONDARY_PARTITION_KEY}
#: Keys of the object's address that the statements resolve.
ADDRESS_KEYS = ("object_id", "object_version")
#: Column types a field may be declared with (compared in lower case).
FIELD_TYPES = ("text", "integer", "real", "blob", "bytea", "json", "numeric", "boolean")
#: Table and column names this class creates.
NAME_PATTERN = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
#: Names SQLite may read as identifiers when written bare (any code point above ASCII is a letter to it).
BARE_NAME = re.compile(r"(?:[A-Za-z_]|[^\x00-\x7f\ud800-\udfff])(?:[A-Za-z0-9_]|[^\x00-\x7f\ud800-\udfff])*\Z")
#: Upper bound of the parameters of one statement, below whatever the library allows.
MAX_STATEMENT_PARAMETERS = 32766
#: Rows of one bulk delete statement: its conditions form one OR chain, whose depth SQLite limits.
MAX_DELETE_ROWS = 500
#: Objects written per round of a bulk save.
SAVE_CHUNK = 500
#: The first bytes of every SQLite database file.
SQLITE_HEADER = b"SQLite format 3\x00"
#: Every keyword of SQLite: refused as names of created tables and columns.
SQL_KEYWORDS = frozenset("""
ABORT ACTION ADD AFTER ALL ALTER ALWAYS ANALYZE AND AS ASC ATTACH AUTOINCREMENT BEFORE BEGIN BETWEEN BY
CASCADE CASE CAST CHECK COLLATE COLUMN COMMIT CONFLICT CONSTRAINT CREATE CROSS CURRENT CURRENT_DATE
CURRENT_TIME CURRENT_TIMESTAMP DATABASE DEFAULT DEFERRABLE DEFERRED DELETE DESC DETACH DISTINCT DO DROP
EACH ELSE END ESCAPE EXCEPT EXCLUDE EXCLUSIVE EXISTS EXPLAIN FAIL FILTER FIRST FOLLOWING FOR FOREIGN FROM
FULL GENERATED GLOB GROUP GROUPS HAVING IF IGNORE IMMEDIATE IN INDEX INDEXED INITIALLY INNER INSERT
INSTEAD INTERSECT INTO IS ISNULL JOIN KEY LAST LEFT LIKE LIMIT MATCH MATERIALIZED NATURAL NO NOT NOTHING
NOTNULL NULL NULLS OF OFFSET ON OR ORDER OTHERS OUTER OVER PARTITION PLAN PRAGMA PRECEDING PRIMARY QUERY
RAISE RANGE RECURSIVE REFERENCES REGEXP REINDEX RELEASE RENAME REPLACE RESTRICT RETURNING RIGHT ROLLBACK
ROW ROWS SAVEPOINT SELECT SET TABLE TEMP TEMPORARY THEN TIES TO TRANSACTION TRIGGER UNBOUNDED UNION
UNIQUE UPDATE USING VACUUM VALUES VIEW VIRTUAL WHEN WHERE WINDOW WITH WITHOUT
""".split())

_METADATA_DDL = f"""
CREATE TABLE IF NOT EXISTS {METADATA_TABLE} (
    object_id TEXT NOT NULL,
    object_version TEXT NOT NULL,
    prior_version TEXT,
    address json NOT NULL,
    class_schema_reference json,
    class_meta_schema_reference json,
    class_schema_type TEXT,
    is_deleted INTEGER NOT NULL DEFAULT 0,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL,
    "transaction" json,
    table_name TEXT NOT NULL,
    PRIMARY KEY (object_id, object_version)
)
"""
_METADATA_INDEX = (
    f"CREATE INDEX IF NOT EXISTS {METADATA_TABLE}_prior ON {METADATA_TABLE} (object_id, prior_version)"
)

# Deleting a version of an object removes its metadata record and links the versions before and
# after it, in the metadata table and in the copies the model rows keep.
_DELETE_TRIGGER = """
CREATE TRIGGER "{table}__versions" AFTER DELETE ON "{table}"
WHEN EXISTS (SELECT 1 FROM metadata WHERE object_id = OLD.partition_key AND object_version = OLD.range_key)
BEGIN
    UPDATE "{table}" SET _metadata = json_set(_metadata, '$.next_version', (
            SELECT object_version FROM metadata
            WHERE object_id = OLD.partition_key AND prior_version = OLD.range_key))
        WHERE partition_key = OLD.partition_key AND range_key = (
            SELECT prior_version FROM metadata
            WHERE object_id = OLD.partition_key AND object_version = OLD.range_key);
    UPDATE "{table}" SET _metadata = json_set(_metadata, '$.prior_version', (
            SELECT prior_version FROM metadata
            WHERE object_id = OLD.partition_key AND object_version = OLD.range_key))
        WHERE partition_key = OLD.partition_key AND range_key = (
            SELECT object_version FROM metadata
            WHERE object_id = OLD.partition_key AND prior_version = OLD.range_key);
    UPDATE metadata SET prior_version = (
            SELECT prior_version FROM metadata
            WHERE object_id = OLD.partition_key AND object_version = OLD.range_key)
        WHERE object_id = OLD.partition_key AND prior_version = OLD.range_key;
    DELETE FROM metadata WHERE object_id = OLD.partition_key AND object_version = OLD.range_key;
END
"""

_parameter_limits: Dict[Tuple[str, int], int] = {}


def sqlite_parameter_limit(conn: sqlite3.Connection, upper: int = MAX_STATEMENT_PARAMETERS) -> int:
    """The most ``?`` parameters one statement may bind on this connection, up to ``upper``."""
    if hasattr(conn, "getlimit"):  # Python 3.11+
        return min(conn.getlimit(sqlite3.SQLITE_LIMIT_VARIABLE_NUMBER), upper)
    key = (sqlite3.sqlite_version, upper)
    if key not in _parameter_limits:
        # "SELECT ?N" compiles only for N up to the limit; given no parameters it then fails in
        # binding instead (ProgrammingError). Compiling it reserves room for N parameters, so
        # only numbers up to ``upper`` are tried: ``upper`` itself, then a bisection below it.
        def fits(number: int) -> bool:
            try:
                conn.execute(f"SELECT ?{number}", ()).fetchall()
            except sqlite3.ProgrammingError:
                pass
            except sqlite3.OperationalError:
                return False
            return True

        if fits(upper):
            low = upper
        else:
            low, high = 1, upper - 1
            while low < high:
                mid = (low + high + 1) // 2
                if fits(mid):
                    low = mid
                else:
                    high = mid - 1
        _parameter_limits[key] = low
    return _parameter_limits[key]


def quote_identifier(name: str) -> str:
    """A table or column name as an SQL identifier: in double quotes, inner quotes doubled."""
    return '"' + name.replace('"', '""') + '"'


def check_name(kind: str, name: str) -> str:
    """A name this class may create: a plain identifier that is not an SQL keyword."""
    if not isinstance(name, str) or not NAME_PATTERN.match(name):
        raise QuarnaConnectionError(
            f"invalid {kind} name {name!r}: use letters, digits and underscores, not starting with a digit"
        )
    if name.upper() in SQL_KEYWORDS:
        raise QuarnaConnectionError(
            f"invalid {kind} name {name!r}: it is an SQL keyword, and the statements write names unquoted")
    if len(name) == 33 and name.startswith("f"):
        raise QuarnaConnectionError(
            f"invalid {kind} name {name!r}: names of 33 characters starting with 'f' are left out of records")
    return name


def unicode_upper(value: Any) -> Any:
    """SQL ``UPPER`` as ``str.upper`` does it, for every script, not ASCII only."""
    if isinstance(value, str):
        return value.upper()
    if value is None:
        return None
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace").upper()
    return str(value).upper()


def describe_file(path: str) -> Optional[str]:
    """What a file that is not a SQLite database holds, or None when SQLite may open it."""
    try:
        with open(path, "rb") as stream:
            head = stream.read(64)
    except (FileNotFoundError, IsADirectoryError, PermissionError):
        return None  # SQLite says what is wrong
    if not head or head.startswith(SQLITE_HEADER):
        return None  # an empty file is an empty database
    text = head.decode("utf-8", "ignore")
    if head[:1] in (b"{", b"[") or text.lstrip()[:1] in ("{", "["):
        return f"it holds JSON text starting {text[:30]!r}"
    if text.isprintable() or all(c.isprintable() or c in "\r\n\t" for c in text):
        return f"it holds text starting {text[:30]!r}"
    return f"it holds binary data starting {head[:16].hex(' ')}"


class RejectedRow(QuarnaConnectionError):
    """A row of a bulk write that cannot be written; ``index`` counts from 0 in the rows given."""

    def __init__(self, index: int, field: Optional[str], reason: str) -> None:
        where = f"row {index + 1}" + (f", field {field!r}" if field is not None else "")
        super().__init__(f"{where}: {reason}")
        self.index = index
        self.field = field
        self.reason = reason


def _bad_value(value: Any) -> Optional[str]:
    """Why SQLite cannot bind a value that the statements pass through as it is, if it cannot."""
    if isinstance(value, int) and not -(1 << 63) <= value < (1 << 63):
        return f"integer wider than 64 bits ({value})"
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError as error:
            return f"text with a lone surrogate {value[error.start]!r} at character {error.start}"
    return None


_json_text = json.encoder.encode_basestring_ascii  # a str as JSON, as json.dumps writes it


def _is_version_selector(value: Any) -> bool:
    return isinstance(value, str) and (value == Versions.LATEST or value == Versions.ALL)


def _unique(names: Iterable[str]) -> List[str]:
    return list(dict.fromkeys(names))


class TableInfo:
    """What the checks know of one table: its declared columns and what kind of table it is."""

    __slots__ = ("name", "description", "columns", "model", "internal", "json_columns", "booleans",
                 "unusable", "bare")

    def __init__(self, conn: "SqliteConnection", name: str, description: Dict[str, str]) -> None:
        self.name = name
        self.description = description
        self.columns = frozenset(description)
        self.internal = name.endswith(("metadata", "reference"))
        self.model = all(column in description for column in MODEL_KEY_COLUMNS)
        # The version records of the metadata table and of model rows are written here, as JSON.
        self.json_columns = () if self.internal else tuple(
            c for c, t in description.items() if str(t).lower() == "json" and c != METADATA_COLUMN)
        self.booleans = tuple(c for c, t in description.items() if str(t).lower() in ("boolean", "bool"))
        # Columns SQLite would not read as themselves when written bare, and why.
        self.unusable = {c: why for c in description if (why := conn._bare_name_problem(c, column=True))}
        self.bare = conn._bare_name_problem(name, column=False)

    def valid(self, *, meta: bool, paths: bool = True) -> str:
        columns = [c for c in self.description if c not in self.unusable]
        text = "columns: " + (", ".join(columns) or "none")
        if self.model and not self.internal:
            text += "; aliases: " + ", ".join(ALIASES)
            if paths:
                versions = "_address__object_version" if meta else "_address__object_version=latest|all"
                text += (f"; selectors: _address__object_id, {versions}, _metadata__KEY with KEY one of "
                         + ", ".join(RECORD_KEYS + (("table_name",) if meta else ())))
        return text


class SqliteConnection(SqliteStatementsMixin):
    """A SQLite database and the statement builders of the mixin.

    ``path`` is a file name or ``":memory:"``. ``mode`` is ``"rwc"`` (read and write, the file
    is created when missing), ``"rw"`` (the file must exist) or ``"ro"`` (read only; nothing is
    created). ``clock`` gives the time recorded in metadata records, in seconds since the epoch.
    """

    def __init__(self, path: str = ":memory:", *, mode: str = "rwc",
                 clock: Callable[[], float] = time.time) -> None:
        if mode not in ("rwc", "rw", "ro"):
            raise ValueError(f"mode must be 'rwc', 'rw' or 'ro', not {mode!r}")
        self.path = str(path)
        self.mode = mode
        self.clock = clock
        self._descriptions: Dict[str, Dict[str, str]] = {}
        self._tables: Dict[str, TableInfo] = {}
        self._depth = 0
        self._transaction_id: Optional[str] = None
        self._wal = self.path == ":memory:"
        if self.path != ":memory:":
            problem = describe_file(self.path)
            if problem:
                raise QuarnaConnectionError(f"{self.path!r} is not a SQLite database: {problem}")
        self._conn = self._open(mode)
        try:
            try:
                # Fails here, not at the first read, when the file is not a database.
                self._conn.execute("SELECT count(*) FROM sqlite_master").fetchone()
            except sqlite3.OperationalError as error:
                if mode != "ro" or "readonly" not in str(error):
                    raise
                # A writer was killed and left its journal behind, which only a connection that
                # may write can recover; this one still only reads.
                self._conn.close()
                self._conn = self._open("rw")
                self._conn.execute("PRAGMA query_only = ON")
                self._conn.execute("SELECT count(*) FROM sqlite_master").fetchone()
            self._conn.create_function("UPPER", 1, unicode_upper, deterministic=True)
            self._conn.execute("PRAGMA case_sensitive_like = ON")
            self.parameter_limit = sqlite_parameter_limit(self._conn)
        except BaseException:
            self._conn.close()
            raise

    def _open(self, mode: str) -> sqlite3.Connection:
        # Autocommit mode: transactions are begun and ended here, explicitly.
        if self.path == ":memory:" or mode == "rwc":
            return sqlite3.connect(self.path, isolation_level=None)
        uri = "file:" + urllib.parse.quote(os.path.abspath(self.path)) + "?mode=" + mode
        return sqlite3.connect(uri, isolation_level=None, uri=True)

    # ------------------------------------------------------------------ plumbing

    def execute(self, sql: str, params: Sequence[Any] = ()) -> sqlite3.Cursor:
        """Runs one statement and returns its cursor."""
        return self._conn.execute(sql, params)

    def close(self) -> None:
        self._conn.close()

    def __enter__(self) -> "SqliteConnection":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    @contextmanager
    def transaction(self) -> Iterator[None]:
        """Everything inside is written together or not at all; nested blocks join the outer one."""
        if self._depth:
            self._depth += 1
            try:
                yield
            finally:
                self._depth -= 1
            return
        if not self._wal:
            # Readers go on reading the last commit while a write runs, and a write cut short
            # leaves a log that readers skip rather than a journal that must be rolled back.
            self._wal = True
            try:
                self._conn.execute("PRAGMA journal_mode = WAL").fetchall()
            except sqlite3.OperationalError:
                pass  # read only: the write below says so
        self._conn.execute("BEGIN IMMEDIATE")
        self._depth = 1
        self._transaction_id = uuid.uuid4().hex
        try:
            yield
        except BaseException:
            self._depth = 0
            self._transaction_id = None
            if self._conn.in_transaction:
                self._conn.execute("ROLLBACK")
            raise
        self._depth = 0
        self._transaction_id = None
        try:
            self._conn.execute("COMMIT")
        except BaseException:
            if self._conn.in_transaction:
                self._conn.execute("ROLLBACK")
            raise

    def _describe_table(self, table_name: str) -> Dict[str, str]:
        description = self._descriptions.get(table_name)
        if description is None:
            description = SqliteStatementsMixin._describe_table.__wrapped__(self, table_name)
            if description:  # a missing table is looked up again next time
                self._descriptions[table_name] = description
        return description

    def _forget(self, table: str) -> None:
        self._descriptions.pop(table, None)
        self._tables.pop(table, None)

    def tables(self) -> List[str]:
        rows = self.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' ORDER BY name"
        ).fetchall()
        return [name for (name,) in rows]

    def describe(self, table: str) -> Dict[str, str]:
        """The declared column types of an existing table; QuarnaConnectionError when there is none."""
        description = self._describe_table(table) if isinstance(table, str) else {}
        if not description:
            known = ", ".join(t for t in self.tables() if t != METADATA_TABLE) or "none"
            raise QuarnaConnectionError(f"unknown table {table!r} (tables: {known})")
        return description

    def is_model_table(self, table: str) -> bool:
        return self.table_info(table).model

    def table_info(self, table: str) -> TableInfo:
        """The checked description of an existing table; QuarnaConnectionError when there is none."""
        info = self._tables.get(table) if isinstance(table, str) else None
        if info is None:
            info = TableInfo(self, table, self.describe(table))
            self._tables[table] = info
        return info

    def _bare_name_problem(self, name: str, *, column: bool) -> Optional[str]:
        """Why ``name`` cannot be written bare into a statement, or None."""
        if not BARE_NAME.match(name):
            return "is not a plain identifier"
        # The name is a bare word; SQLite itself says whether it reads it as that name (a keyword
        # such as current_date would be read as something else, or not at all).
        probe = (f"SELECT {name} FROM (SELECT 'column' AS {quote_identifier(name)})" if column
                 else f"SELECT 'column' FROM {name} LIMIT 0")
        try:
            read = self._conn.execute(probe).fetchall()
        except sqlite3.Error:
            return "is an SQL keyword"
        if column and read != [("column",)]:
            return "is an SQL keyword"
        return None

    def _metadata_ready(self, *, create: bool) -> None:
        """The version records are there (created when ``create``) and are this layout's."""
        description = self._describe_table(METADATA_TABLE)
        if not description:
            if not create:
                raise QuarnaConnectionError(
                    "this database holds no version records (it has no table 'metadata'), "
                    "so the metadata join (meta=True, --meta) has nothing to join")
            with self.transaction():
                self.execute(_METADATA_DDL)
                self.execute(_METADATA_INDEX)
            self._forget(METADATA_TABLE)
            return
        if set(description) != set(METADATA_COLUMNS):
            raise QuarnaConnectionError(
                f"the table 'metadata' of this database is not a table of version records (its columns: "
                f"{', '.join(description)}; version records have: {', '.join(METADATA_COLUMNS)})")

    # ------------------------------------------------------------------ tables

    def create_model_table(self, name: str, columns: Mapping[str, str]) -> None:
        """Creates a model table with the key columns, ``_metadata`` and the given fields.

        ``columns`` maps field names to SQLite types; JSON fields are declared ``"json"``.
        """
        reserved = set(MODEL_KEY_COLUMNS) | set(JOINED_COLUMNS) | set(ALIASES) | {ADDRESS_FIELD}
        fields = self._column_definitions(name, columns, reserved)
        ddl = (
            f'CREATE TABLE "{name}" ('
            f"{PRIMARY_PARTITION_KEY} TEXT NOT NULL, {SECONDARY_PARTITION_KEY} TEXT NOT NULL"
            + "".join(", " + f for f in fields)
            + f", {METADATA_COLUMN} json, PRIMARY KEY ({PRIMARY_PARTITION_KEY}, {SECONDARY_PARTITION_KEY}))"
        )
        with self.transaction():
            self._metadata_ready(create=True)
            self._create(name, ddl, _DELETE_TRIGGER.format(table=name))

    def create_table(self, name: str, columns: Mapping[str, str], *, primary_key: Sequence[str] = ()) -> None:
        """Creates a plain table of the given columns (name to SQLite type), keyed by ``primary_key``."""
        fields = self._column_definitions(name, columns, set(ALIASES) | {METADATA_COLUMN, ADDRESS_FIELD})
        if not fields:
            raise QuarnaConnectionError(f"table {name!r} needs at least one column")
        for column in primary_key:
            if column not in columns:
                raise QuarnaConnectionError(
                    f"primary key column {column!r} is not a column of table {name!r} (columns: {', '.join(columns)})")
        key = f", PRIMARY KEY ({', '.join(quote_identifier(c) for c in primary_key)})" if primary_key else ""
        with self.transaction():
            self._create(name, f'CREATE TABLE "{name}" ({", ".join(fields)}{key})')

    def _column_definitions(self, name: str, columns: Mapping[str, str], reserved: set) -> List[str]:
        check_name("table", name)
        if name.endswith(("metadata", "reference")):
            raise QuarnaConnectionError(f"table name {name!r} is reserved for internal tables")
        fields = []
        for column, column_type in columns.items():
            check_name("column", column)
            if column in reserved:
                raise QuarnaConnectionError(
                    f"column name {column!r} is reserved: it names a key column, a record alias or a "
                    f"column of the version records (reserved: {', '.join(sorted(reserved))})")
            if not isinstance(column_type, str) or column_type.lower() not in FIELD_TYPES:
                raise QuarnaConnectionError(
                    f"column {column!r}: unsupported type {column_type!r} (types: {', '.join(FIELD_TYPES)})"
                )
            fields.append(f'"{column}" {column_type}')
        return fields

    def _create(self, name: str, *ddl: str) -> None:
        try:
            with self.transaction():
                for statement in ddl:
                    self.execute(statement)
        except sqlite3.OperationalError as error:
            if "already exists" in str(error):
                raise QuarnaConnectionError(f"table {name!r} already exists") from None
            raise
        finally:
            self._forget(name)

    # ------------------------------------------------------------------ writes

    def insert(self, table: str, row: Dict[str, Any]) -> None:
        info = self.table_info(table)
        self._check_row(info, row, 0)
        row = self._json_encoded(info, row)
        sql, params = self._build_insert_statement(table, row)
        with self.transaction():
            self._write(sql, params, 0, [row])

    def bulk_insert(self, table: str, rows: Iterable[Dict[str, Any]], *,
                    progress: Optional[Callable[[int], None]] = None) -> int:
        """Inserts all rows, in as many statements as SQLite's parameter limit needs; all or nothing.

        ``rows`` is read lazily, one statement's worth at a time. ``progress`` is called with the
        number of rows written so far after each statement. Returns how many rows were written.
        """
        info = self.table_info(table)
        written = 0
        with self.transaction():
            for start, batch in self._sized(self._checked_rows(info, rows)):
                sql, params = self._build_bulk_insert_statement(table, batch)
                self._write(sql, params, start, batch)
                written += len(batch)
                if progress is not None:
                    progress(written)
        return written

    def delete(self, table: str, where: Dict[str, Any]) -> int:
        """Deletes the rows whose columns equal all the given values; returns how many."""
        info = self._deletable(table)
        self._check_row(info, where, 0, nonempty=True)
        sql, params = self._build_delete_statement(table, self._json_encoded(info, where))
        with self.transaction():
            return self._write(sql, params, 0, [where]).rowcount

    def bulk_delete(self, table: str, wheres: Iterable[Dict[str, Any]]) -> int:
        """Deletes the rows matching any of the sets of values; all or nothing. Returns how many."""
        info = self._deletable(table)
        deleted = 0
        with self.transaction():
            for start, batch in self._sized(self._checked_rows(info, wheres, nonempty=True), MAX_DELETE_ROWS):
                sql, params = self._build_bulk_delete_statement(table, batch)
                deleted += self._write(sql, params, start, batch).rowcount
        return deleted

    def _deletable(self, table: str) -> TableInfo:
        info = self.table_info(table)
        if info.bare:
            raise QuarnaConnectionError(
                f"rows of table {table!r} cannot be deleted here: the delete statement writes the table "
                f"name unquoted and it {info.bare}")
        return info

    def _check_row(self, info: TableInfo, row: Any, index: int, reserved: frozenset = frozenset(),
                   *, nonempty: bool = False) -> None:
        if not isinstance(row, dict):
            raise RejectedRow(index, None, f"expected a mapping of column names to values, not {type(row).__name__}")
        if nonempty and not row:
            raise RejectedRow(index, None, "no column values given: a delete needs at least one")
        if row.keys() <= info.columns and not (reserved and not reserved.isdisjoint(row)):
            return
        for key in row:
            if key in reserved:
                raise RejectedRow(index, key, f"written by the connection, not given (table {info.name!r})")
            if key not in info.columns:
                valid = ", ".join(c for c in info.description if c not in reserved)
                raise RejectedRow(index, key, f"unknown column of table {info.name!r} (columns: {valid})")

    def _checked_rows(self, info: TableInfo, rows: Iterable[Any], *, nonempty: bool = False) -> Iterator[Dict[str, Any]]:
        for index, row in enumerate(rows):
            self._check_row(info, row, index, nonempty=nonempty)
            yield self._json_encoded(info, row)

    @staticmethod
    def _json_encoded(info: TableInfo, row: Dict[str, Any], *, copy: bool = True) -> Dict[str, Any]:
        """The row with text and booleans in JSON columns written as JSON, so they read back as given."""
        for column in info.json_columns:
            value = row.get(column)
            if isinstance(value, (str, bool)):
                if copy:
                    row, copy = dict(row), False
                row[column] = json.dumps(value, ensure_ascii=False)
        return row

    def _sized(self, rows: Iterable[Dict[str, Any]], max_rows: int = 0) -> Iterator[Tuple[int, List[Dict[str, Any]]]]:
        """(index of the first row, rows) per statement: a statement's rows share one column list,
        so a batch is sized by its widest set of columns."""
        limit = self.parameter_limit
        batch: List[Dict[str, Any]] = []
        columns: set = set()
        start = 0
        for index, row in enumerate(rows):
            keys = row.keys()
            wider = columns if keys <= columns else columns | keys
            if batch and (len(wider) * (len(batch) + 1) > limit or len(batch) == max_rows):
                yield start, batch
                batch, start, wider = [], index, set(keys)
            batch.append(row)
            columns = wider
        if batch:
            yield start, batch

    def _write(self, sql: str, params: Sequence[Any], start: int, rows: List[Dict[str, Any]]) -> sqlite3.Cursor:
        try:
            return self.execute(sql, params)
        except (OverflowError, UnicodeEncodeError) as error:
            rejected = _rejected((start + i, row.items()) for i, row in enumerate(rows))
            if rejected is None:
                raise
            raise rejected from error

    # ------------------------------------------------------------------ versioned objects

    def save(self, table: str, object_id: str, fields: Dict[str, Any], *, class_version: str = "1") -> str:
        """Writes a new version of an object and returns its version id."""
        return self.bulk_save(table, [(object_id, fields)], class_version=class_version)[0]

    def bulk_save(self, table: str, objects: Iterable[Tuple[str, Dict[str, Any]]], *,
                  class_version: str = "1", progress: Optional[Callable[[int], None]] = None) -> List[str]:
        """Writes a new version of each object, in order (an object may come more than once).

        ``objects`` is read lazily. All or nothing; returns the version ids. ``progress`` as for
        ``bulk_insert``.
        """
        versions: List[str] = []
        with self.transaction():
            for chunk in self._save_chunks(table, objects, class_version):
                versions.extend(chunk)
                if progress is not None:
                    progress(len(versions))
        return versions

    def load(self, table: str, items: Iterable[Any], *, class_version: str = "1",
             progress: Optional[Callable[[int], None]] = None) -> int:
        """Writes every item, all or nothing, keeping none of them: ``(object id, fields)`` pairs
        as new versions into a model table, rows into any other table. Returns how many."""
        if not self.table_info(table).model:
            return self.bulk_insert(table, items, progress=progress)
        written = 0
        with self.transaction():
            for chunk in self._save_chunks(table, items, class_version):
                written += len(chunk)
                if progress is not None:
                    progress(written)
        return written

    def _save_chunks(self, table: str, objects: Iterable[Any], class_version: str) -> Iterator[List[str]]:
        """Writes the objects a chunk at a time (inside the caller's transaction); yields each
        chunk's version ids. Between chunks the database itself holds the versions written."""
        info = self.table_info(table)
        if not info.model:
            raise QuarnaConnectionError(f"table {table!r} is not a model table")
        self._metadata_ready(create=True)
        now = int(self.clock())
        transaction = {"id": self._transaction_id}
        reserved = frozenset(MODEL_KEY_COLUMNS)
        chunk: List[Tuple[str, Dict[str, Any]]] = []
        start = 0
        for index, item in enumerate(objects):
            try:
                object_id, fields = item
            except (TypeError, ValueError):
                raise RejectedRow(index, None, "expected a pair (object id, fields)") from None
            if not isinstance(object_id, str) or not object_id:
                raise RejectedRow(index, "_object_id", f"object ids are non-empty text, not {object_id!r}")
            self._check_row(info, fields, index, reserved)
            chunk.append((object_id, fields))
            if len(chunk) == SAVE_CHUNK:
                yield self._save_chunk(info, start, chunk, now, transaction, class_version)
                chunk, start = [], index + 1
        if chunk:
            yield self._save_chunk(info, start, chunk, now, transaction, class_version)

    def _save_chunk(self, info: TableInfo, start: int, objects: List[Tuple[str, Dict[str, Any]]], now: int,
                    transaction: Dict[str, Any], class_version: str) -> List[str]:
        try:
            return self._save_versions(info, objects, now, transaction, class_version)
        except (OverflowError, UnicodeEncodeError) as error:
            rejected = _rejected((start + i, [("_object_id", object_id), *fields.items()])
                                 for i, (object_id, fields) in enumerate(objects))
            if rejected is None:
                raise
            raise rejected from error

    def _save_versions(self, info: TableInfo, objects: List[Tuple[str, Dict[str, Any]]], now: int,
                       transaction: Dict[str, Any], class_version: str) -> List[str]:
        table = info.name
        stored = self._latest_versions(table, {object_id for object_id, _ in objects})
        latest = dict(stored)
        model_rows, metadata_rows, versions = [], [], []
        # object id -> its newest model row so far, and its version record after next_version
        newest: Dict[str, Tuple[Dict[str, Any], str]] = {}
        first_versions: Dict[str, str] = {}  # object id -> the first version written here
        # The JSON of the address and the version record is written here, the same text
        # json.dumps writes, at a fraction of the cost.
        class_text, table_text = json.dumps(class_version), json.dumps(table)
        transaction_text, now_text = json.dumps(transaction), json.dumps(now)
        record_tail = (f'"class_schema_reference": null, "class_meta_schema_reference": null, '
                       f'"class_schema_type": "model", "is_deleted": 0, "created_at": {now_text}, '
                       f'"updated_at": {now_text}, "transaction": {transaction_text}}}')
        json_columns = info.json_columns
        for object_id, fields in objects:
            prior, number = latest.get(object_id, (None, 0))
            version = str(number + 1)
            latest[object_id] = (version, number + 1)
            first_versions.setdefault(object_id, version)
            id_text, version_text = _json_text(object_id), _json_text(version)
            address = (f'{{"object_id": {id_text}, "object_version": {version_text}, '
                       f'"class_version": {class_text}, "table_name": {table_text}}}')
            prior_text = "null" if prior is None else _json_text(str(prior))
            body = (f'"address": {address}, "object_id": {id_text}, "object_version": {version_text}, '
                    f'"prior_version": {prior_text}, {record_tail}')
            if object_id in newest:
                row, earlier = newest[object_id]
                row[METADATA_COLUMN] = f'{{"next_version": {version_text}, {earlier}'
            row = {PRIMARY_PARTITION_KEY: object_id, SECONDARY_PARTITION_KEY: version,
                   METADATA_COLUMN: f'{{"next_version": null, {body}', **fields}
            if json_columns:
                self._json_encoded(info, row, copy=False)
            newest[object_id] = (row, body)
            model_rows.append(row)
            metadata_rows.append({
                "object_id": object_id, "object_version": version, "prior_version": prior,
                "address": address, "class_schema_reference": None,
                "class_meta_schema_reference": None, "class_schema_type": "model",
                "is_deleted": 0, "created_at": now, "updated_at": now,
                "transaction": transaction_text, "table_name": table,
            })
            versions.append(version)
        # The versions that were the latest before this chunk are followed now.
        for object_id, (prior, _) in stored.items():
            self.execute(
                f"UPDATE {quote_identifier(table)} SET {METADATA_COLUMN} = json_set({METADATA_COLUMN}, '$.next_version', ?)"
                f" WHERE {PRIMARY_PARTITION_KEY} = ? AND {SECONDARY_PARTITION_KEY} = ?",
                (first_versions[object_id], object_id, prior),
            )
        per_statement = max(1, self.parameter_limit // len(METADATA_COLUMNS))  # rows of one shape
        for start in range(0, len(metadata_rows), per_statement):
            self.execute(*self._build_bulk_insert_statement(METADATA_TABLE, metadata_rows[start:start + per_statement]))
        for _, batch in self._sized(model_rows):
            self.execute(*self._build_bulk_insert_statement(table, batch))
        return versions

    def _latest_versions(self, table: str, object_ids: set) -> Dict[str, Tuple[str, int]]:
        """For each stored object: (its latest version id, the highest version number it has used)."""
        found: Dict[str, Tuple[str, int]] = {}
        ids = sorted(object_ids)
        step = max(1, self.parameter_limit)
        for start in range(0, len(ids), step):
            chunk = ids[start:start + step]
            marks = ", ".join("?" * len(chunk))
            rows = self.execute(
                f"SELECT m.object_id, m.object_version, m.table_name,"
                f" (SELECT max(CAST(object_version AS INTEGER)) FROM {METADATA_TABLE} a"
                f"  WHERE a.object_id = m.object_id)"
                f" FROM {METADATA_TABLE} m WHERE m.object_id IN ({marks}) AND NOT EXISTS ("
                f"  SELECT 1 FROM {METADATA_TABLE} n"
                f"  WHERE n.object_id = m.object_id AND n.prior_version = m.object_version)",
                chunk,
            ).fetchall()
            for object_id, version, table_name, highest in rows:
                if table_name != table:
                    raise QuarnaConnectionError(f"object {object_id!r} is stored in table {table_name!r}")
                found[object_id] = (version, int(highest or 0))
        return found

    # ------------------------------------------------------------------ reads

    def select(
        self,
        table: str,
        conditions: Optional[Q] = None,
        *,
        only: Optional[Sequence[str]] = None,
        distinct: Sequence[str] = (),
        order_by: Optional[Sequence[OrderBy]] = None,
        limit: Optional[int] = None,
        offset: Optional[int] = None,
        meta: bool = False,
        exclude: Sequence[str] = (),
    ) -> List[Dict[str, Any]]:
        """The decoded records of the rows that satisfy ``conditions``.

        ``only`` names the fields to return; ``distinct`` returns the distinct combinations of
        the ``only`` and ``distinct`` fields instead of rows (then only those fields may order
        them). ``limit``/``offset`` page the result; ``meta`` joins the version records.
        Columns named in ``exclude`` are left out of the records without being decoded (for
        example ``_metadata``, when the version records are not wanted).
        """
        return list(self.iter_select(table, conditions, only=only, distinct=distinct, order_by=order_by,
                                     limit=limit, offset=offset, meta=meta, exclude=exclude))

    def iter_select(
        self,
        table: str,
        conditions: Optional[Q] = None,
        *,
        only: Optional[Sequence[str]] = None,
        distinct: Sequence[str] = (),
        order_by: Optional[Sequence[OrderBy]] = None,
        limit: Optional[int] = None,
        offset: Optional[int] = None,
        meta: bool = False,
        exclude: Sequence[str] = (),
    ) -> Iterator[Dict[str, Any]]:
        """As ``select``, one record at a time as the rows are fetched."""
        sql, params, info, keep = self._read(table, conditions, only, distinct, order_by, limit, offset, meta)
        return self._records(info, self.execute(sql, params), keep, frozenset(exclude))

    def select_statement(
        self,
        table: str,
        conditions: Optional[Q] = None,
        *,
        only: Optional[Sequence[str]] = None,
        distinct: Sequence[str] = (),
        order_by: Optional[Sequence[OrderBy]] = None,
        limit: Optional[int] = None,
        offset: Optional[int] = None,
        meta: bool = False,
    ) -> Tuple[str, List[Any]]:
        """The statement and parameters ``select`` runs for these arguments."""
        sql, params, _, _ = self._read(table, conditions, only, distinct, order_by, limit, offset, meta)
        return sql, params

    def count(self, table: str, conditions: Optional[Q] = None, *, meta: bool = False) -> int:
        sql, params = self.count_statement(table, conditions, meta=meta)
        return self.execute(sql, params).fetchone()[0]

    def count_statement(self, table: str, conditions: Optional[Q] = None, *, meta: bool = False) -> Tuple[str, List[Any]]:
        """The statement and parameters ``count`` runs for these arguments."""
        info = self.table_info(table)
        joined = self._joined(info, meta)
        return self._build_count_statement(table, self._checked_conditions(info, conditions, joined),
                                           use_internal_meta_tables=meta)

    def _read(self, table: str, conditions: Optional[Q], only: Optional[Sequence[str]], distinct: Sequence[str],
              order_by: Optional[Sequence[OrderBy]], limit: Optional[int], offset: Optional[int],
              meta: bool) -> Tuple[str, List[Any], TableInfo, Optional[List[str]]]:
        info = self.table_info(table)
        joined = self._joined(info, meta)
        conditions = self._checked_conditions(info, conditions, joined)
        orderings = [self._checked_ordering(info, item, joined) for item in order_by or ()]
        only = _unique(self._column(info, name, "only", joined) for name in only or ())
        distinct = _unique(self._column(info, name, "distinct", joined) for name in distinct or ())
        pagination = _pagination(limit, offset)
        if distinct:
            sql, params = self._distinct_statement(info, conditions, _unique(only + distinct), orderings,
                                                   pagination, meta)
            return sql, params, info, None
        specifier, keep = None, None
        if only:
            if info.model or info.internal:
                specifier = QuerySpecifier.model_construct(only=only, distinct=[])
            else:
                # The field list of the statements always names the model rows' own _metadata,
                # which other tables lack: such a table is read whole and its rows cut here.
                keep = only
        sql, params = self._build_select_statement(table, specifier, conditions, pagination, orderings or None,
                                                   use_internal_meta_tables=meta)
        return sql, params, info, keep

    def _distinct_statement(self, info: TableInfo, conditions: Optional[Q], columns: List[str],
                            orderings: List[OrderBy], pagination: Optional[NumberPaginator],
                            meta: bool) -> Tuple[str, List[Any]]:
        # SQLite takes DISTINCT only right after SELECT, for the whole row, so the distinct
        # combinations are selected from the rows the statement builders select.
        for item in orderings:
            if item.field_name not in columns:
                raise QuarnaConnectionError(
                    f"distinct rows can only be ordered by their own fields ({', '.join(columns)}), "
                    f"not by {item.field_name!r}")
        inner, params = self._build_select_statement(info.name, None, conditions, None, None,
                                                     use_internal_meta_tables=meta)
        sql = f"SELECT DISTINCT {', '.join(map(quote_identifier, columns))} FROM ({inner})"
        if orderings:
            sql += " ORDER BY " + ", ".join(
                f"{quote_identifier(item.field_name)} {'DESC' if item.direction == OrderDirection.DESC else 'ASC'}"
                for item in orderings)
        params = list(params)
        if pagination is not None:
            sql += " LIMIT ? OFFSET ?"
            params += [pagination.limit, pagination.offset]
        return sql, params

    def _records(self, info: TableInfo, cursor: sqlite3.Cursor, keep: Optional[List[str]],
                 exclude: frozenset = frozenset()) -> Iterator[Dict[str, Any]]:
        names = [column[0] for column in cursor.description]
        table, description, process = info.name, info.description, self._process_result
        positions = None
        if keep is not None or not exclude.isdisjoint(names):
            positions = [i for i, name in enumerate(names)
                         if (keep is None or name in keep) and name not in exclude]
            names = [names[i] for i in positions]
        booleans = [c for c in info.booleans if c in names]
        for row in cursor:
            if positions is not None:
                row = [row[i] for i in positions]
            result = dict(zip(names, row))
            try:
                record = process(table, result, description)
            except (TypeError, KeyError, ValueError):
                if METADATA_COLUMN not in result:
                    raise
                record = self._record_without_metadata(table, result, description)
            for column in booleans:
                value = record.get(column)
                if value.__class__ is int and (value == 0 or value == 1):
                    record[column] = value == 1
            yield record

    def _record_without_metadata(self, table: str, result: Dict[str, Any], description: Dict[str, str]) -> Dict[str, Any]:
        """The record of a row whose version record is NULL or malformed: decoded without it,
        and the version record returned as it was found."""
        metadata = result.pop(METADATA_COLUMN)
        record = self._process_result(table, result, description)
        if isinstance(metadata, str):
            try:
                metadata = json.loads(metadata)
            except ValueError:
                pass
        record[METADATA_COLUMN] = metadata
        return record

    # ------------------------------------------------------------------ name checks

    def _joined(self, info: TableInfo, meta: bool) -> bool:
        """Whether the statements join the version records: ``meta`` on a model table."""
        if not meta or info.internal:
            return False
        if not info.model:
            raise QuarnaConnectionError(
                f"table {info.name!r} is not a model table: it has no version records to join "
                f"(leave out meta=True, --meta)")
        self._metadata_ready(create=False)
        return True

    def _column(self, info: TableInfo, name: Any, where: str, joined: bool) -> str:
        """A name of the field list: a column, or an alias of a model table's key column."""
        if isinstance(name, str):
            if info.model and not info.internal and name in ALIASES:
                return ALIASES[name]
            if name in info.columns:
                self._usable(info, name, name, where)
                return name
        raise QuarnaConnectionError(
            f"unknown field {name!r} in {where} of table {info.name!r} ({info.valid(meta=joined, paths=False)})")

    def _usable(self, info: TableInfo, column: str, name: str, where: str) -> None:
        why = info.unusable.get(column)
        if why:
            raise QuarnaConnectionError(
                f"field {name!r} in {where} of table {info.name!r} cannot be used: the statements write "
                f"column names unquoted and {column!r} {why}")

    def _checked_ordering(self, info: TableInfo, item: Any, joined: bool) -> OrderBy:
        if not isinstance(item, OrderBy):
            raise QuarnaConnectionError(f"orderings are OrderBy objects, not {type(item).__name__}")
        direction = item.direction
        return OrderBy.model_construct(field_name=self._path(info, item.field_name, joined, "the ordering"),
                                       direction=direction)

    def _checked_conditions(self, info: TableInfo, conditions: Any, joined: bool) -> Optional[Q]:
        if conditions is None:
            return None
        if not isinstance(conditions, Q):
            raise QuarnaConnectionError(f"conditions are a Q tree, not {type(conditions).__name__}")
        return self._checked_tree(info, conditions, joined) or None

    def _checked_tree(self, info: TableInfo, node: Q, joined: bool) -> Q:
        """A copy of the tree whose leaves are checked, with queryable values expanded and the
        record aliases replaced by their columns."""
        children: List[Any] = []
        for child in list(node.children):
            if isinstance(child, Q):
                children.append(self._checked_tree(info, child, joined))
                continue
            if not isinstance(child, Filter):
                raise QuarnaConnectionError(
                    f"a condition tree holds Q trees and Filter leaves, not {type(child).__name__}")
            field, lookup, value = child.field_name, child.lookup, child.value
            if isinstance(value, QueryableMixin):
                tree = value.to_query(prefix=f"{self._fields_map(info.name, field, Versions.LATEST)}__")
                if not isinstance(tree, Q):
                    raise QuarnaConnectionError(
                        f"to_query of the value of field {field!r} returned {type(tree).__name__}, not a Q tree")
                if lookup == Lookup.NEQ:
                    tree = ~tree
                children.append(self._checked_tree(info, tree, joined))
                continue
            field = self._path(info, field, joined, "the conditions", lookup, value)
            children.append(Filter.model_construct(field_name=field, lookup=lookup, value=value))
        return Q(*children, _connector=node.connector, _negated=node.negated)

    def _path(self, info: TableInfo, name: Any, joined: bool, where: str,
              lookup: Any = Lookup.EQ, value: Any = None) -> str:
        """A checked field path of a filter or an ordering."""
        if not isinstance(name, str):
            raise QuarnaConnectionError(f"field names are text, not {type(name).__name__} ({name!r})")
        head, sep, rest = name.partition("__")
        table = info.name
        filtering = where == "the conditions"
        if sep and filtering and isinstance(value, str) and not isinstance(value, Versions) \
                and value == Versions.ALL and name != f"{ADDRESS_FIELD}__object_version":
            raise QuarnaConnectionError(
                f"filter {name!r} on table {table!r}: on a path the text 'all' is read as the selector of "
                f"every version and filters nothing; compare with the text through the in lookup "
                f"({name}__in=[\"all\"])")
        if info.model and not info.internal:
            if head in ALIASES:
                if sep:
                    raise QuarnaConnectionError(f"unknown field {name!r} in {where} of table {table!r}: "
                                                f"{head} has no keys")
                return ALIASES[head]
            if head == ADDRESS_FIELD:
                if rest not in ADDRESS_KEYS:
                    raise QuarnaConnectionError(
                        f"unknown field {name!r} in {where} of table {table!r}: the address selectors are "
                        f"{ADDRESS_FIELD}__object_id and {ADDRESS_FIELD}__object_version")
                if rest == "object_version":
                    selector = filtering and (isinstance(value, Versions) or _is_version_selector(value))
                    if selector and lookup != Lookup.EQ:
                        raise QuarnaConnectionError(
                            f"filter {name!r} on table {table!r}: the version selectors 'latest' and 'all' "
                            f"take the eq lookup only, not {str(lookup)!r}")
                    if not joined and not selector:
                        raise QuarnaConnectionError(
                            f"field {name!r} in {where} of table {table!r} needs the version records: add "
                            f"meta=True (--meta); without them only the selectors 'latest' and 'all' are understood")
                return name
            if head == METADATA_COLUMN and sep:
                keys = RECORD_KEYS + (("table_name",) if joined else ())
                if rest.partition("__")[0] not in keys:
                    raise QuarnaConnectionError(
                        f"unknown field {name!r} in {where} of table {table!r}: the version record has the "
                        f"keys {', '.join(keys)}")
                return name
        if head not in info.columns:
            raise QuarnaConnectionError(
                f"unknown field {name!r} in {where} of table {table!r} ({info.valid(meta=joined)})")
        self._usable(info, head, name, where)
        if sep and str(info.description[head]).lower() != "json":
            raise QuarnaConnectionError(
                f"field {name!r} in {where} of table {table!r}: column {head!r} is not a JSON column, "
                f"so it has no keys")
        if joined and head in JOINED_COLUMNS and (sep or not filtering):
            raise QuarnaConnectionError(
                f"field {name!r} in {where} of table {table!r}: column {head!r} has the name of a column "
                f"of the version records, and the joined select cannot tell them apart there; "
                f"leave out meta=True (--meta) for it")
        return name


def _rejected(rows: Iterable[Tuple[int, Iterable[Tuple[str, Any]]]]) -> Optional[RejectedRow]:
    """The first value of the rows that SQLite cannot bind, as the row and field it is in."""
    for index, items in rows:
        for field, value in items:
            reason = _bad_value(value)
            if reason:
                return RejectedRow(index, field, reason)
    return None


def _pagination(limit: Optional[int], offset: Optional[int]) -> Optional[NumberPaginator]:
    for name, value in (("limit", limit), ("offset", offset)):
        if value is not None and (not isinstance(value, int) or isinstance(value, bool) or value < 0):
            raise QuarnaConnectionError(f"{name} must be a non-negative integer, not {value!r}")
    if limit is None and not offset:
        return None
    # LIMIT -1: no limit, for an offset alone.
    return NumberPaginator.model_construct(limit=-1 if limit is None else limit, offset=offset or 0)


def latest_only() -> Q:
    """The condition that selects the latest version of every object."""
    return Q(Filter(field_name="_address__object_version", lookup=Lookup.EQ, value=Versions.LATEST))


def order(field: str) -> OrderBy:
    """``"age"`` orders ascending, ``"-age"`` descending."""
    if field.startswith("-"):
        return OrderBy(field_name=field[1:], direction=OrderDirection.DESC)
    return OrderBy(field_name=field, direction=OrderDirection.ASC)


__all__ = ["SqliteConnection", "RejectedRow", "latest_only", "order", "sqlite_parameter_limit", "METADATA_TABLE"]
