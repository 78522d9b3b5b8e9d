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

Table descriptions
------------------
The mixin's own description cache keeps, for every connection object, the first description it
read of a table, for the life of the process (it also keeps the connection objects alive). This
class keeps its descriptions itself instead, per connection: a table that was missing is not
remembered as empty, and creating a table through this class drops what was remembered of it.
"""

from __future__ import annotations

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
from quarna_utils.query.utils import Q

METADATA_TABLE = "metadata"
METADATA_COLUMN = "_metadata"
#: Columns every model table starts with.
MODEL_KEY_COLUMNS = (PRIMARY_PARTITION_KEY, SECONDARY_PARTITION_KEY, METADATA_COLUMN)
#: Column types a model field may be declared with (compared in lower case).
FIELD_TYPES = ("text", "integer", "real", "blob", "bytea", "json", "numeric", "boolean")
#: Table and column names this class creates: the statement builders write names unescaped.
NAME_PATTERN = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
#: Upper bound of the parameters of one statement, below whatever the library allows.
MAX_STATEMENT_PARAMETERS = 32766

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

_parameter_limits: Dict[str, int] = {}


def sqlite_parameter_limit(conn: sqlite3.Connection) -> int:
    """The most ``?`` parameters one statement may bind on this SQLite library."""
    if hasattr(conn, "getlimit"):  # Python 3.11+
        return conn.getlimit(sqlite3.SQLITE_LIMIT_VARIABLE_NUMBER)
    key = sqlite3.sqlite_version
    if key not in _parameter_limits:
        # The statement "SELECT ?N" compiles only for N up to the limit; given no parameters it
        # then fails in binding instead (ProgrammingError), so nothing large is ever bound.
        low, high = 999, 1 << 24
        while low < high:
            mid = (low + high + 1) // 2
            try:
                conn.execute(f"SELECT ?{mid}", ()).fetchall()
                low = mid
            except sqlite3.ProgrammingError:
                low = mid
            except sqlite3.OperationalError:
                high = mid - 1
        _parameter_limits[key] = low
    return _parameter_limits[key]


def quote_identifier(name: str) -> str:
    """A table or column name as an SQL identifier: in double quotes, inner quotes doubled."""
    return '"' + name.replace('"', '""') + '"'


def check_name(kind: str, name: str) -> str:
    if not isinstance(name, str) or not NAME_PATTERN.match(name):
        raise QuarnaConnectionError(
            f"invalid {kind} name {name!r}: use letters, digits and underscores, not starting with a digit"
        )
    return name


class SqliteConnection(SqliteStatementsMixin):
    """A SQLite database and the statement builders of the mixin.

    ``path`` is a file name or ``":memory:"``. ``mode`` is ``"rwc"`` (read and write, the file
    is created when missing), ``"rw"`` (the file must exist) or ``"ro"`` (read only; nothing is
    created, not even the metadata table). ``clock`` gives the time recorded in metadata records,
    in seconds since the epoch.
    """

    def __init__(self, path: str = ":memory:", *, mode: str = "rwc",
                 clock: Callable[[], float] = time.time) -> None:
        if mode not in ("rwc", "rw", "ro"):
            raise ValueError(f"mode must be 'rwc', 'rw' or 'ro', not {mode!r}")
        self.path = str(path)
        self.mode = mode
        self.clock = clock
        self._descriptions: Dict[str, Dict[str, str]] = {}
        self._depth = 0
        self._transaction_id: Optional[str] = None
        # Autocommit mode: transactions are begun and ended here, explicitly.
        if self.path == ":memory:" or mode == "rwc":
            self._conn = sqlite3.connect(self.path, isolation_level=None)
        else:
            uri = "file:" + urllib.parse.quote(os.path.abspath(self.path)) + "?mode=" + mode
            self._conn = sqlite3.connect(uri, isolation_level=None, uri=True)
        try:
            if mode == "ro":
                # Fails here, not at the first read, when the file is not a database.
                self._conn.execute("SELECT count(*) FROM sqlite_master").fetchone()
            else:
                with self.transaction():
                    self._conn.execute(_METADATA_DDL)
                    self._conn.execute(_METADATA_INDEX)
            self.parameter_limit = min(sqlite_parameter_limit(self._conn), MAX_STATEMENT_PARAMETERS)
        except BaseException:
            self._conn.close()
            raise

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
        description = self.describe(table)
        return all(column in description for column in MODEL_KEY_COLUMNS)

    def _check_columns(self, table: str, columns: Iterable[str], *, reserved: Iterable[str] = ()) -> None:
        description = self.describe(table)
        reserved = set(reserved)
        for column in columns:
            if column in reserved:
                raise QuarnaConnectionError(f"column {column!r} of table {table!r} is written by the connection")
            if column not in description:
                valid = ", ".join(c for c in description if c not in reserved)
                raise QuarnaConnectionError(f"unknown column {column!r} of table {table!r} (columns: {valid})")

    # ------------------------------------------------------------------ tables

    def create_model_table(self, name: str, columns: Mapping[str, str]) -> None:
        """Creates a model table with the key columns, ``_metadata`` and the given fields.

        ``columns`` maps field names to SQLite types; JSON fields are declared ``"json"``.
        """
        check_name("table", name)
        if name.endswith(("metadata", "reference")):
            raise QuarnaConnectionError(f"table name {name!r} is reserved for internal tables")
        fields = []
        for column, column_type in columns.items():
            check_name("column", column)
            if column in MODEL_KEY_COLUMNS:
                raise QuarnaConnectionError(f"column {column!r} is created with every model table")
            if not isinstance(column_type, str) or column_type.lower() not in FIELD_TYPES:
                raise QuarnaConnectionError(
                    f"column {column!r}: unsupported type {column_type!r} (types: {', '.join(FIELD_TYPES)})"
                )
            fields.append(f'"{column}" {column_type}')
        ddl = (
            f'CREATE TABLE "{name}" ('
            f"{PRIMARY_PARTITION_KEY} TEXT NOT NULL, {SECONDARY_PARTITION_KEY} TEXT NOT NULL"
            + "".join(", " + f for f in fields)
            + f", {METADATA_COLUMN} json, PRIMARY KEY ({PRIMARY_PARTITION_KEY}, {SECONDARY_PARTITION_KEY}))"
        )
        try:
            with self.transaction():
                self.execute(ddl)
                self.execute(_DELETE_TRIGGER.format(table=name))
        except sqlite3.OperationalError as error:
            if "already exists" in str(error):
                raise QuarnaConnectionError(f"table {name!r} already exists") from None
            raise
        finally:
            self._descriptions.pop(name, None)

    # ------------------------------------------------------------------ writes

    def insert(self, table: str, row: Dict[str, Any]) -> None:
        sql, params = self._build_insert_statement(table, row)
        with self.transaction():
            self.execute(sql, params)

    def bulk_insert(self, table: str, rows: List[Dict[str, Any]], *,
                    progress: Optional[Callable[[int], None]] = None) -> int:
        """Inserts all rows, in as many statements as SQLite's parameter limit needs; all or nothing.

        ``progress`` is called with the number of rows written so far after each statement.
        """
        rows = list(rows)
        with self.transaction():
            for written in self._bulk_insert(table, rows):
                if progress is not None:
                    progress(written)
        return len(rows)

    def _bulk_insert(self, table: str, rows: List[Dict[str, Any]]) -> Iterator[int]:
        written = 0
        for batch in self._batches(rows):
            sql, params = self._build_bulk_insert_statement(table, batch)
            self.execute(sql, params)
            written += len(batch)
            yield written

    def _batches(self, rows: List[Dict[str, Any]]) -> Iterator[List[Dict[str, Any]]]:
        # Rows of a batch share one column list: size batches by the widest row of the batch.
        start = 0
        while start < len(rows):
            end, columns = start, set()
            while end < len(rows):
                wider = columns | set(rows[end].keys())
                if end > start and len(wider) * (end - start + 1) > self.parameter_limit:
                    break
                columns = wider
                end += 1
            yield rows[start:end]
            start = end

    def delete(self, table: str, where: Dict[str, Any]) -> int:
        """Deletes the rows whose columns equal all the given values; returns how many."""
        sql, params = self._build_delete_statement(table, where)
        with self.transaction():
            return self.execute(sql, params).rowcount

    def bulk_delete(self, table: str, wheres: List[Dict[str, Any]]) -> int:
        """Deletes the rows matching any of the sets of values; all or nothing. Returns how many."""
        wheres = list(wheres)
        deleted = 0
        with self.transaction():
            for batch in self._batches(wheres):
                sql, params = self._build_bulk_delete_statement(table, batch)
                deleted += self.execute(sql, params).rowcount
        return deleted

    # ------------------------------------------------------------------ versioned objects

    def save(self, table: str, object_id: str, fields: Dict[str, Any], *, class_version: str = "1") -> str:
        """Writes a new version of an object and returns its version id."""
        return self.bulk_save(table, [(object_id, fields)], class_version=class_version)[0]

    def bulk_save(self, table: str, objects: Iterable[Tuple[str, Dict[str, Any]]], *,
                  class_version: str = "1", progress: Optional[Callable[[int], None]] = None) -> List[str]:
        """Writes a new version of each object, in order (an object may come more than once).

        All or nothing; returns the version ids. ``progress`` as for ``bulk_insert``.
        """
        objects = list(objects)
        if not self.is_model_table(table):
            raise QuarnaConnectionError(f"table {table!r} is not a model table")
        for object_id, fields in objects:
            if not isinstance(object_id, str) or not object_id:
                raise QuarnaConnectionError(f"object ids are non-empty text, not {object_id!r}")
            if not isinstance(fields, dict):
                raise QuarnaConnectionError(f"the fields of object {object_id!r} are not a mapping")
            self._check_columns(table, fields, reserved=MODEL_KEY_COLUMNS)
        now = int(self.clock())
        with self.transaction():
            transaction = {"id": self._transaction_id}
            stored = self._latest_versions(table, {object_id for object_id, _ in objects})
            latest = dict(stored)
            model_rows, metadata_rows, versions = [], [], []
            newest_rows: Dict[str, Dict[str, Any]] = {}  # object id -> its newest model row so far
            first_versions: Dict[str, str] = {}  # object id -> the first version written here
            for object_id, fields in objects:
                prior, number = latest.get(object_id, (None, 0))
                version = str(number + 1)
                latest[object_id] = (version, number + 1)
                first_versions.setdefault(object_id, version)
                address = {"object_id": object_id, "object_version": version,
                           "class_version": class_version, "table_name": table}
                record = {
                    "next_version": None, "address": address, "object_id": object_id,
                    "object_version": version, "prior_version": prior,
                    "class_schema_reference": None, "class_meta_schema_reference": None,
                    "class_schema_type": "model", "is_deleted": 0,
                    "created_at": now, "updated_at": now, "transaction": transaction,
                }
                if object_id in newest_rows:
                    newest_rows[object_id][METADATA_COLUMN]["next_version"] = version
                row = {PRIMARY_PARTITION_KEY: object_id, SECONDARY_PARTITION_KEY: version,
                       METADATA_COLUMN: record, **fields}
                newest_rows[object_id] = row
                model_rows.append(row)
                metadata_rows.append({
                    "object_id": object_id, "object_version": version, "prior_version": prior,
                    "address": address, "class_schema_reference": None,
                    "class_meta_schema_reference": None, "class_schema_type": "model",
                    "is_deleted": 0, "created_at": now, "updated_at": now,
                    "transaction": transaction, "table_name": table,
                })
                versions.append(version)
            # The versions that were the latest before this call are followed now.
            for object_id, (prior, _) in stored.items():
                self.execute(
                    f"UPDATE {quote_identifier(table)} SET {METADATA_COLUMN} = json_set({METADATA_COLUMN}, '$.next_version', ?)"
                    f" WHERE {PRIMARY_PARTITION_KEY} = ? AND {SECONDARY_PARTITION_KEY} = ?",
                    (first_versions[object_id], object_id, prior),
                )
            for _ in self._bulk_insert(METADATA_TABLE, metadata_rows):
                pass
            for written in self._bulk_insert(table, model_rows):
                if progress is not None:
                    progress(written)
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
    ) -> List[Dict[str, Any]]:
        """The decoded records of the rows that satisfy ``conditions``."""
        sql, params = self.select_statement(table, conditions, only=only, distinct=distinct,
                                            order_by=order_by, limit=limit, offset=offset, meta=meta)
        return self.fetch_records(table, sql, params)

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
        specifier = QuerySpecifier(only=list(only), distinct=list(distinct)) if only else None
        pagination = NumberPaginator(limit=limit, offset=offset) if limit is not None else None
        return self._build_select_statement(
            table, specifier, conditions or None, pagination, list(order_by) if order_by else None,
            use_internal_meta_tables=meta,
        )

    def fetch_records(self, table: str, sql: str, params: Sequence[Any]) -> List[Dict[str, Any]]:
        description = self._describe_table(table)
        cursor = self.execute(sql, params)
        names = [column[0] for column in cursor.description]
        process = self._process_result
        return [process(table, dict(zip(names, row)), description) for row in cursor]

    def count(self, table: str, conditions: Optional[Q] = None, *, meta: bool = False) -> int:
        sql, params = self._build_count_statement(table, conditions or None, use_internal_meta_tables=meta)
        return self.execute(sql, params).fetchone()[0]


def latest_only() -> Q:
    """The condition that selects the latest version of every object."""
    return Q(Filter(field_name="_address__object_version", lookup=Lookup.EQ, value=Versions.LATEST))


def order(field: str) -> OrderBy:
    """``"age"`` orders ascending, ``"-age"`` descending."""
    if field.startswith("-"):
        return OrderBy(field_name=field[1:], direction=OrderDirection.DESC)
    return OrderBy(field_name=field, direction=OrderDirection.ASC)


__all__ = ["SqliteConnection", "latest_only", "order", "sqlite_parameter_limit", "METADATA_TABLE"]
