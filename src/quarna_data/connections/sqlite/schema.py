"""What the connection stores and how it is laid out: the names of its columns, the DDL of the
version records and the trigger of a model table, the names a created table or column may have,
and the creation of tables.
"""

from __future__ import annotations

import re
import sqlite3
from typing import TYPE_CHECKING, Dict, List, Mapping, Optional, Sequence, Set, Tuple

from quarna_data.connections.errors import QuarnaConnectionError
from quarna_data.connections.implementations.mixins.sqlite_statements_mixin import (
    ADDRESS_FIELD as ADDRESS_FIELD,
    METADATA_FIELD as METADATA_FIELD,
)
from quarna_data.table_schemas.constants import PRIMARY_PARTITION_KEY, SECONDARY_PARTITION_KEY

#: The column of a model row that holds its version record.
METADATA_COLUMN = METADATA_FIELD
METADATA_TABLE = "metadata"
#: The host's own table of version marks: per model table and object, the highest version number
#: the object ever had, deleted versions included, so that no number is given out twice. Its name
#: ends with "metadata", so the statements read it as an internal table too.
MARKS_TABLE = "version_metadata"
#: Endings of the names of internal tables, which the statements read without the version join.
INTERNAL_SUFFIXES = ("metadata", "reference")
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
#: The selector of versions: latest, all, or (with the version records joined) a version.
ADDRESS_VERSION_FIELD = f"{ADDRESS_FIELD}__object_version"
#: Column types a field may be declared with (compared in lower case).
FIELD_TYPES = ("text", "integer", "real", "blob", "bytea", "json", "numeric", "boolean")
#: Table and column names the connection creates.
NAME_PATTERN = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
#: Names SQLite may read as identifiers when written bare (any code point above ASCII is a letter to it).
BARE_NAME = re.compile(r"(?:[A-Za-z_]|[^\x00-\x7f\ud800-\udfff])(?:[A-Za-z0-9_]|[^\x00-\x7f\ud800-\udfff])*\Z")
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
#: Columns of the marks table.
MARKS_COLUMNS = ("object_id", "table_name", "last_version")
_MARKS_DDL = f"""
CREATE TABLE {MARKS_TABLE} (
    object_id TEXT NOT NULL,
    table_name TEXT NOT NULL,
    last_version INTEGER NOT NULL,
    PRIMARY KEY (object_id, table_name)
) WITHOUT ROWID"""  # no text after ROWID: SQLite would keep one character of it
# A database written before the marks existed: every object starts from the highest number it
# still has (the numbers of versions deleted before cannot be known any more).
_MARKS_FROM_METADATA = (
    f"INSERT INTO {MARKS_TABLE} (object_id, table_name, last_version)"
    f" SELECT object_id, table_name, max(CAST(object_version AS INTEGER)) FROM {METADATA_TABLE}"
    f" GROUP BY object_id, table_name"
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


def quote_identifier(name: str) -> str:
    """A table or column name as an SQL identifier: in double quotes, inner quotes doubled."""
    return '"' + name.replace('"', '""') + '"'


def is_internal_name(name: str) -> bool:
    """Whether a table name is one the statements read as internal, in any letter case: SQLite's
    names are not case-sensitive, so ``Metadata`` is the table ``metadata``."""
    return isinstance(name, str) and name.lower().endswith(INTERNAL_SUFFIXES)


def check_name(kind: str, name: str) -> str:
    """A name the connection may create: a plain identifier that is not an SQL keyword."""
    if not isinstance(name, str) or not NAME_PATTERN.match(name):
        raise QuarnaConnectionError(
            f"invalid {kind} name {name!r}: use letters, digits and underscores, not starting with a digit"
        )
    if name.lower().startswith("sqlite_"):
        raise QuarnaConnectionError(f"invalid {kind} name {name!r}: names starting with 'sqlite_' are SQLite's own")
    if name.upper() in SQL_KEYWORDS:
        raise QuarnaConnectionError(
            f"invalid {kind} name {name!r}: it is an SQL keyword, and the statements write names unquoted")
    if len(name) == 33 and name.startswith("f"):
        raise QuarnaConnectionError(
            f"invalid {kind} name {name!r}: names of 33 characters starting with 'f' are left out of records")
    return name


if TYPE_CHECKING:
    from quarna_data.connections.sqlite.parts import Part
else:
    Part = object


class _Tables(Part):
    """Creating tables, and the version records every model table needs."""

    def _metadata_ready(self, *, create: bool) -> None:
        """The version records are there (created when ``create``) and are this layout's; when
        ``create``, so are the version marks (made from the records of an older database)."""
        description = self._describe_table(METADATA_TABLE)
        if not description:
            if not create:
                raise QuarnaConnectionError(
                    "this database holds no version records (it has no table 'metadata'), "
                    "so the metadata join (meta=True, --meta) has nothing to join")
            with self.transaction():
                self.execute(_METADATA_DDL)
                self.execute(_METADATA_INDEX)
                self.execute(_MARKS_DDL)
            self._forget(METADATA_TABLE)
            self._forget(MARKS_TABLE)
            self._marks = True
            return
        if set(description) != set(METADATA_COLUMNS):
            raise QuarnaConnectionError(
                f"the table 'metadata' of this database is not a table of version records (its columns: "
                f"{', '.join(description)}; version records have: {', '.join(METADATA_COLUMNS)})")
        if create and not self._marks:
            self._marks_ready()

    def _marks_ready(self) -> None:
        marks = self._describe_table(MARKS_TABLE)
        if marks:
            if set(marks) != set(MARKS_COLUMNS):
                raise QuarnaConnectionError(
                    f"the table {MARKS_TABLE!r} of this database is not a table of version marks (its "
                    f"columns: {', '.join(marks)}; version marks have: {', '.join(MARKS_COLUMNS)})")
        else:
            with self.transaction():
                # Written before the link index existed: the delete trigger and the selection of
                # the latest versions look up followers through it.
                self.execute(_METADATA_INDEX)
                self.execute(_MARKS_DDL)
                self.execute(_MARKS_FROM_METADATA)
            self._forget(MARKS_TABLE)
        self._marks = True

    def ddl(self, table: Optional[str] = None) -> List[str]:
        """The SQL that creates the database (tables first, then indexes, triggers and views), or
        one existing table with its indexes and triggers; as SQLite keeps it, without a final ``;``."""
        where, params = "", ()  # type: Tuple[str, Tuple[str, ...]]
        if table is not None:
            where, params = " AND tbl_name = ?", (self.table_info(table).name,)
        rows = self.execute(
            "SELECT sql FROM sqlite_master WHERE sql IS NOT NULL AND name NOT LIKE 'sqlite_%'" + where +
            " ORDER BY CASE type WHEN 'table' THEN 0 WHEN 'index' THEN 1 WHEN 'trigger' THEN 2 ELSE 3 END, rowid",
            params).fetchall()
        return [sql for (sql,) in rows]

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

    def _column_definitions(self, name: str, columns: Mapping[str, str], reserved: Set[str]) -> List[str]:
        check_name("table", name)
        if is_internal_name(name):
            raise QuarnaConnectionError(
                f"table name {name!r} is reserved for internal tables (names ending in "
                f"{' or '.join(map(repr, INTERNAL_SUFFIXES))}, in any letter case)")
        fields = []
        seen: Dict[str, str] = {}
        reserved = {column.lower() for column in reserved}
        for column, column_type in columns.items():
            check_name("column", column)
            if column.lower() in seen:
                raise QuarnaConnectionError(
                    f"columns {seen[column.lower()]!r} and {column!r} of table {name!r}: SQLite takes column "
                    f"names in any case, so they would be one column; give them different names")
            seen[column.lower()] = column
            if column.lower() in reserved:
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
