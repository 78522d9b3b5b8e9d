"""Reading records: the select, count and distinct statements, paging, and the decoding of rows.

Columns declared ``boolean`` read back as ``bool``. A row whose version record is NULL or
malformed reads back with the record as it was found.
"""

from __future__ import annotations

import json
import sqlite3
import weakref
from typing import TYPE_CHECKING, Any, Dict, FrozenSet, Iterable, Iterator, List, Optional, Sequence, Tuple

from quarna_data.connections.errors import QuarnaConnectionError
from quarna_data.connections.implementations.mixins.sqlite_statements_mixin import SqliteStatementsMixin
from quarna_data.connections.sqlite.history import numeric_orderings
from quarna_data.connections.sqlite.names import TableInfo
from quarna_data.connections.sqlite.schema import METADATA_COLUMN, quote_identifier
from quarna_data.connections.sqlite.versions import latest_only
from quarna_data.table_schemas.constants import SECONDARY_PARTITION_KEY
from quarna_utils.query.data_models.filter import Filter
from quarna_utils.query.data_models.made import made
from quarna_utils.query.data_models.order_by import OrderBy
from quarna_utils.query.data_models.paginator import NumberPaginator
from quarna_utils.query.data_models.query_specifier import QuerySpecifier
from quarna_utils.query.enums import Lookup, OrderDirection
from quarna_utils.query.utils import Q


if TYPE_CHECKING:
    from quarna_data.connections.sqlite.parts import Part
else:
    Part = object


class _Reads(Part):
    """Selecting and counting the records of a table."""

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
        as_of: Any = None,
    ) -> List[Dict[str, Any]]:
        """The decoded records of the rows that satisfy ``conditions``.

        ``only`` names the fields to return; ``distinct`` returns the distinct combinations of
        the ``only`` and ``distinct`` fields instead of rows (then only those fields may order
        them). ``limit``/``offset`` page the result; ``meta`` joins the version records.
        ``as_of`` (seconds since the epoch, or an aware datetime) reads, of a model table, the
        version of every object that was the latest at that time (``history``).
        Columns named in ``exclude`` are left out of the records without being decoded (for
        example ``_metadata``, when the version records are not wanted).
        """
        info, cursor, keep, excluded = self._started(table, conditions, only, distinct, order_by, limit, offset,
                                                     meta, exclude, as_of)
        first = cursor.fetchmany(_FIRST_ROWS)
        if len(first) == _FIRST_ROWS:
            # More rows may follow: the rest is read as iter_select reads it, as an open read.
            return list(self._records(info, cursor, keep, excluded, first))
        # The cursor is done: no write can meet the rest of these rows.
        info, shape = self._shape(info, cursor, keep, excluded)
        record = self._record
        return [record(info, shape, row) for row in first]

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
        as_of: Any = None,
    ) -> Iterator[Dict[str, Any]]:
        """As ``select``, one record at a time as the rows are fetched."""
        info, cursor, keep, excluded = self._started(table, conditions, only, distinct, order_by, limit, offset,
                                                     meta, exclude, as_of)
        return self._records(info, cursor, keep, excluded)

    def _started(self, table: str, conditions: Optional[Q], only: Optional[Sequence[str]], distinct: Sequence[str],
                 order_by: Optional[Sequence[OrderBy]], limit: Optional[int], offset: Optional[int], meta: bool,
                 exclude: Sequence[str], as_of: Any) -> Tuple[TableInfo, sqlite3.Cursor, Optional[List[str]],
                                                           FrozenSet[str]]:
        """The statement of a select run: the table's info, the cursor, the fields to keep and those left out."""
        sql, params, info, keep = self._read(table, conditions, only, distinct, order_by, limit, offset, meta,
                                             as_of)
        return info, self.execute(sql, params), keep, frozenset(exclude) if exclude else _NO_COLUMNS

    def _point_read(self, info: TableInfo, object_id: Any, version: Optional[str]) -> Iterable[Dict[str, Any]]:
        """The record (none or one) of an object's latest version, or of its version ``version``.

        The statement is the one ``select`` runs for these conditions; it is built once per table
        and kind of read (kept with the table's ``TableInfo``), and only the object id and the
        version are bound at each call."""
        kind = "latest" if version is None else "version"
        plan: Optional[_PointRead]
        if kind in info.point_reads:
            plan = info.point_reads[kind]
        else:
            plan = info.point_reads[kind] = _PointRead.built(self, info, kind)
        if plan is None or object_id.__class__ is not str:
            return self.iter_select(info.name, _point_conditions(object_id, version), limit=1)
        cursor = self.execute(plan.sql, plan.bound(object_id, version))
        row = cursor.fetchone()
        if row is None:
            return ()
        info, shape = self._shape(info, cursor)
        return (self._record(info, shape, row),)

    def _settle_reads(self) -> None:
        """Before a write: the reads being iterated take the rest of their rows now, so that they
        go on with the table as it was when they began, not with the rows written meanwhile."""
        for read in list(self.__dict__.get("_open_reads", ())):
            read.settle()

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
        as_of: Any = None,
    ) -> Tuple[str, List[Any]]:
        """The statement and parameters ``select`` runs for these arguments."""
        sql, params, _, _ = self._read(table, conditions, only, distinct, order_by, limit, offset, meta, as_of)
        return sql, params

    def fetch_records(self, table: str, sql: str, params: Sequence[Any]) -> List[Dict[str, Any]]:
        """The decoded records of a statement built for ``table`` (as ``select_statement`` gives it)."""
        return list(self._records(self.table_info(table), self.execute(sql, params), None))

    def count(self, table: str, conditions: Optional[Q] = None, *, meta: bool = False, as_of: Any = None) -> int:
        """The number of rows that satisfy ``conditions`` (``meta`` and ``as_of`` as for ``select``)."""
        sql, params = self.count_statement(table, conditions, meta=meta, as_of=as_of)
        number: int = self.execute(sql, params).fetchone()[0]
        return number

    def count_statement(self, table: str, conditions: Optional[Q] = None, *, meta: bool = False,
                        as_of: Any = None) -> Tuple[str, List[Any]]:
        """The statement and parameters ``count`` runs for these arguments."""
        info = self.table_info(table)
        joined = self._joined(info, meta)
        conditions = self._checked_conditions(info, conditions, joined)
        if as_of is None:
            return self._build_count_statement(table, conditions, use_internal_meta_tables=meta)
        scope, before = self._as_of_scope(info, as_of)
        sql, params = self._build_count_statement(table, self._as_of_conditions(info, conditions),
                                                  use_internal_meta_tables=meta)
        return scope + sql, before + list(params)

    def _read(self, table: str, conditions: Optional[Q], only: Optional[Sequence[str]], distinct: Sequence[str],
              order_by: Optional[Sequence[OrderBy]], limit: Optional[int], offset: Optional[int],
              meta: bool, as_of: Any = None) -> Tuple[str, List[Any], TableInfo, Optional[List[str]]]:
        info = self.table_info(table)
        joined = self._joined(info, meta)
        conditions = self._checked_conditions(info, conditions, joined)
        scope: Tuple[str, List[Any]] = ("", [])
        if as_of is not None:
            scope = self._as_of_scope(info, as_of)
            conditions = self._as_of_conditions(info, conditions)
        orderings = [self._checked_ordering(info, item, joined) for item in order_by] if order_by else []
        only = _unique(self._column(info, name, "only", joined) for name in only) if only else []
        distinct = _unique(self._column(info, name, "distinct", joined) for name in distinct) if distinct else []
        pagination = _pagination(limit, offset) if limit is not None or offset is not None else None
        if distinct:
            sql, params = self._distinct_statement(info, conditions, _unique(only + distinct), orderings,
                                                   pagination, meta)
            return scope[0] + sql, scope[1] + params, info, None
        if orderings and info.model and not info.internal:
            orderings = numeric_orderings(orderings, joined)
        specifier, keep = None, None
        if only:
            if info.model or info.internal:
                specifier = made(QuerySpecifier, {"only": only, "distinct": []})
            else:
                # The field list of the statements always names the model rows' own _metadata,
                # which other tables lack: such a table is read whole and its rows cut here.
                keep = only
        sql, params = self._build_select_statement(table, specifier, conditions, pagination, orderings or None,
                                                   use_internal_meta_tables=meta)
        return scope[0] + sql, scope[1] + list(params), info, keep

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
            numbered = info.model and not info.internal
            sql += " ORDER BY " + ", ".join(
                (f"CAST({quote_identifier(item.field_name)} AS INTEGER)"
                 if numbered and item.field_name == SECONDARY_PARTITION_KEY else quote_identifier(item.field_name))
                + (" DESC" if item.direction == OrderDirection.DESC else " ASC")
                for item in orderings)
        params = list(params)
        if pagination is not None:
            sql += " LIMIT ? OFFSET ?"
            params += [pagination.limit, pagination.offset]
        return sql, params

    def _records(self, info: TableInfo, cursor: sqlite3.Cursor, keep: Optional[List[str]],
                 exclude: FrozenSet[str] = frozenset(), first: Sequence[Any] = ()) -> Iterator[Dict[str, Any]]:
        """The records of the cursor's rows (after ``first``, rows already fetched from it)."""
        info, shape = self._shape(info, cursor, keep, exclude)
        read = _OpenRead(cursor)
        open_reads = self.__dict__.get("_open_reads")
        if open_reads is None:
            open_reads = self.__dict__["_open_reads"] = weakref.WeakSet()
        open_reads.add(read)
        record = self._record
        for row in first:
            yield record(info, shape, row)
        for row in read.rows():
            yield record(info, shape, row)

    def _shape(self, info: TableInfo, cursor: sqlite3.Cursor, keep: Optional[List[str]] = None,
               exclude: FrozenSet[str] = frozenset()) -> Tuple[TableInfo, "RowShape"]:
        """The table's info as it stands for the cursor's rows, and the shape of those rows (kept
        with the info for rows of the same columns)."""
        description = cursor.description
        key = (description, None if keep is None else tuple(keep), exclude,
               self._process_field is _decode_json_text)
        shape: Optional[RowShape] = info.shapes.get(key)
        if shape is not None:
            return info, shape
        names = [column[0] for column in description]
        current = self._current(info, names)
        shape = RowShape(self, current, names, keep, exclude)
        if current is info and len(info.shapes) < _KEPT_SHAPES:
            info.shapes[key] = shape
        return current, shape

    def _record(self, info: TableInfo, shape: "RowShape", row: Sequence[Any]) -> Dict[str, Any]:
        """The record of one fetched row."""
        if shape.positions is not None:
            row = [row[i] for i in shape.positions]
        result = dict(zip(shape.names, row))
        if shape.metadata_text:
            # The decoder reads the version record once for the class version and once for the
            # record: given the record decoded, it uses that object for both.
            text = result[METADATA_COLUMN]
            if text.__class__ is str:
                # Text that is not JSON stays text: the decoder raises, and the record is read without it.
                result[METADATA_COLUMN] = _decode_json_text("json", text)
        try:
            record = self._process_result(info.name, result, info.description)
        except (TypeError, KeyError, ValueError):
            if METADATA_COLUMN not in result:
                raise
            record = self._record_without_metadata(info.name, result, info.description)
        for column in shape.booleans:
            value = record.get(column)
            if value.__class__ is int and (value == 0 or value == 1):
                record[column] = value == 1
        return record

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


# The mixin's own decoding of a JSON column: json.loads, text that is not JSON left as it is.
_decode_json_text = SqliteStatementsMixin._process_field


class RowShape:
    """What decoding needs of the rows of one statement, worked out once ahead of them: the
    column names, the positions of those kept, the boolean columns among them, and whether the
    version record is decoded before the row is handed to the decoder (``metadata_text``: the
    row has it as a column of the table, and the connection's ``_process_field``, which would
    otherwise see its text, is the mixin's own)."""

    __slots__ = ("names", "positions", "booleans", "metadata_text")

    def __init__(self, conn: Any, info: TableInfo, names: List[str],
                 keep: Optional[List[str]] = None, exclude: FrozenSet[str] = frozenset()) -> None:
        self.positions: Optional[List[int]] = None
        if keep is not None or not exclude.isdisjoint(names):
            self.positions = [i for i, name in enumerate(names)
                              if (keep is None or name in keep) and name not in exclude]
            names = [names[i] for i in self.positions]
        self.names = names
        self.booleans = [c for c in info.booleans if c in names]
        self.metadata_text = (METADATA_COLUMN in names and METADATA_COLUMN in info.description
                              and conn._process_field is SqliteStatementsMixin._process_field)


class _OpenRead:
    """The rows of a read being iterated: fetched as they are needed until a write on the same
    connection makes the rest of them be fetched at once."""

    __slots__ = ("cursor", "rest", "__weakref__")

    def __init__(self, cursor: sqlite3.Cursor) -> None:
        self.cursor = cursor
        self.rest: Optional[List[Any]] = None

    def settle(self) -> None:
        if self.rest is None:
            self.rest = self.cursor.fetchall()

    def rows(self) -> Iterator[Any]:
        # A for loop, not yield from: closing the read must not close the cursor (and its
        # connection may be closed by then). The loop ends early when settle() took the rest.
        for row in self.cursor:
            yield row
        if self.rest:
            yield from self.rest


def _point_conditions(object_id: Any, version: Optional[str]) -> Q:
    """The conditions of a read of one object: its latest version, or its version ``version``."""
    conditions = Q(Filter(field_name="_object_id", lookup=Lookup.EQ, value=object_id))
    if version is None:
        return conditions & latest_only()
    return conditions & Q(Filter(field_name="_object_version", lookup=Lookup.EQ, value=version))


class _PointRead:
    """The statement of one kind of read of one object on one table, with the positions of its
    two values among the parameters."""

    __slots__ = ("sql", "params", "id_at", "version_at")

    def __init__(self, sql: str, params: List[Any], id_at: int, version_at: Optional[int]) -> None:
        self.sql = sql
        self.params = params
        self.id_at = id_at
        self.version_at = version_at

    def bound(self, object_id: str, version: Optional[str]) -> List[Any]:
        params = self.params.copy()
        params[self.id_at] = object_id
        if self.version_at is not None:
            params[self.version_at] = version
        return params

    @classmethod
    def built(cls, conn: Any, info: TableInfo, kind: str) -> Optional["_PointRead"]:
        """The statement as the builders write it for two different object ids (and versions),
        or None when the two differ other than in where the values are bound (a subclass's
        hook that writes or converts them): such reads are then built at every call."""
        statements = []
        for n in (1, 2):
            object_id = f"quarna-point-read-id-{n}"
            version = None if kind == "latest" else f"quarna-point-read-version-{n}"
            sql, params, _, keep = conn._read(info.name, _point_conditions(object_id, version), None, (), None, 1,
                                              None, False)
            if keep is not None:
                return None
            id_at = [i for i, value in enumerate(params) if value is object_id]
            version_at = [i for i, value in enumerate(params) if version is not None and value is version]
            statements.append((sql, params, id_at, version_at))
        (sql, params, id_at, version_at), (sql2, params2, id_at2, version_at2) = statements
        if sql != sql2 or len(params) != len(params2) or id_at != id_at2 or version_at != version_at2:
            return None
        if len(id_at) != 1 or len(version_at) != (kind != "latest"):
            return None
        bound = set(id_at + version_at)
        for i, (first, second) in enumerate(zip(params, params2)):
            if i not in bound and (first.__class__ not in (int, str, float) or first.__class__ is not second.__class__
                                   or first != second):
                return None
        return cls(sql, list(params), id_at[0], version_at[0] if version_at else None)


_NO_COLUMNS: FrozenSet[str] = frozenset()
# The rows select fetches before it decodes any: fewer means the read is done (a point read, a page).
_FIRST_ROWS = 64
# The row shapes kept per table (one per statement's columns, as select, get and dump read them).
_KEPT_SHAPES = 32


def _pagination(limit: Optional[int], offset: Optional[int]) -> Optional[NumberPaginator]:
    for name, value in (("limit", limit), ("offset", offset)):
        if value is not None and (not isinstance(value, int) or isinstance(value, bool) or value < 0):
            raise QuarnaConnectionError(f"{name} must be a non-negative integer, not {value!r}")
        if value is not None and value >= 1 << 63:
            raise QuarnaConnectionError(f"{name} must be below 2**63 (SQLite's largest integer), not {value!r}")
    if limit is None and not offset:
        return None
    # LIMIT -1: no limit, for an offset alone.
    return made(NumberPaginator, {"limit": -1 if limit is None else limit, "offset": offset or 0})


def order(field: str) -> OrderBy:
    """``"age"`` orders ascending, ``"-age"`` descending."""
    if field.startswith("-"):
        return OrderBy(field_name=field[1:], direction=OrderDirection.DESC)
    return OrderBy(field_name=field, direction=OrderDirection.ASC)


def _unique(names: Iterable[str]) -> List[str]:
    return list(dict.fromkeys(names))
