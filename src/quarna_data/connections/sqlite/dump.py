"""Dumps of a table as JSON lines, and their restore.

A dump is text, one JSON object a line. The first line describes the table:
``{"quarna_dump": 1, "kind": "model", "columns": {"name": "TEXT", ...}}`` (the fields of a model
table; a plain table also gives its primary ``"key"``). The table's name is not in it, so a dump
can be restored under another name.

- A model table: then every version of every object, objects in order of their id and each
  object's versions in the order of its chain, as ``{"_object_id": ..., "_object_version": ...,
  <fields>, "_metadata": <the version record, as the metadata join reads it>}``; then, for every
  object whose version mark is higher than the numbers it still has (its latest versions, or all
  of them, were deleted), ``{"_object_id": ..., "_version_mark": "<number>"}``, so numbers are not
  given out again after a restore either.
- A plain table: its rows, in the order they were written.

Values of columns other than JSON columns are written as the JSON they are, except blobs, which
are written as ``{"base64": "..."}`` (a value no such column reads back otherwise).

``restore`` writes a dump into a table, all or nothing: the table is created from the dump's
columns when missing, else it must have exactly those columns. Objects of a dump must not have
versions in the database already. A dump of the restored table is the same text as the dump.
"""

from __future__ import annotations

import base64
import binascii
import json
import sqlite3
from typing import TYPE_CHECKING, Any, Dict, FrozenSet, Iterable, Iterator, List, Optional, Tuple

from quarna_data.connections.errors import QuarnaConnectionError
from quarna_data.connections.sqlite.names import TableInfo
from quarna_data.connections.sqlite.schema import (MARKS_TABLE, METADATA_COLUMN, METADATA_COLUMNS, METADATA_TABLE,
                                                   MODEL_KEY_COLUMNS, RECORD_KEYS, quote_identifier)
from quarna_data.connections.sqlite.writes import RejectedRow
from quarna_data.table_schemas.constants import PRIMARY_PARTITION_KEY, SECONDARY_PARTITION_KEY
from quarna_utils.query.data_models.order_by import OrderBy
from quarna_utils.query.enums import OrderDirection

DUMP_FORMAT = 1
#: Lines of a dump written per round of a restore.
RESTORE_CHUNK = 500
_encode = json.JSONEncoder(ensure_ascii=False, separators=(",", ":")).encode
_record_text = json.JSONEncoder().encode  # the version record a model row keeps, as saves write it


if TYPE_CHECKING:
    from quarna_data.connections.sqlite.parts import Part
else:
    Part = object


class _Dumps(Part):
    """Dumping a table as JSON lines, and restoring such a dump."""

    def dump(self, table: str) -> Iterator[str]:
        """The lines of the dump of a table (each ends with a newline), read as they are written."""
        info = self.table_info(table)
        if info.internal:
            raise QuarnaConnectionError(f"table {table!r} is an internal table: dump the model tables it serves")
        model = info.model
        fields = [c for c in info.description if not (model and c in MODEL_KEY_COLUMNS)]
        header: Dict[str, Any] = {"quarna_dump": DUMP_FORMAT, "kind": "model" if model else "plain",
                                  "columns": {c: info.description[c] for c in fields}}
        if not model:
            header["key"] = self._primary_key(info.name)
        return self._dump_lines(info, model, fields, header)

    def _dump_lines(self, info: TableInfo, model: bool, fields: List[str], header: Dict[str, Any]) -> Iterator[str]:
        yield _encode(header) + "\n"
        blobs = [c for c in fields if c not in info.json_columns and c != METADATA_COLUMN]
        if model:
            records = self.iter_select(info.name, meta=True, order_by=[
                OrderBy(field_name="_object_id", direction=OrderDirection.ASC),
                OrderBy(field_name="_object_version", direction=OrderDirection.ASC)])
        else:
            records = self._records(info, self._plain_rows(info.name), None)
        for record in records:
            line: Dict[str, Any] = {}
            if model:
                line["_object_id"] = record["_object_id"]
                line["_object_version"] = record["_object_version"]
            for column in fields:
                value = record.get(column)
                if column in blobs and isinstance(value, (bytes, bytearray, memoryview)):
                    value = {"base64": base64.b64encode(bytes(value)).decode("ascii")}
                line[column] = value
            if model:
                line[METADATA_COLUMN] = record[METADATA_COLUMN]
            try:
                yield _encode(line) + "\n"
            except TypeError as error:
                raise QuarnaConnectionError(
                    f"table {info.name!r}: a record cannot be written as JSON ({error})") from None
        if model and self._describe_table(MARKS_TABLE):
            rows = self.execute(
                f"SELECT k.object_id, k.last_version FROM {MARKS_TABLE} k WHERE k.table_name = ? AND k.last_version >"
                f" coalesce((SELECT max(CAST(m.object_version AS INTEGER)) FROM {METADATA_TABLE} m"
                f"  WHERE m.object_id = k.object_id AND m.table_name = k.table_name), 0) ORDER BY k.object_id",
                (info.name,))
            for object_id, last in rows:
                yield _encode({"_object_id": object_id, "_version_mark": str(last)}) + "\n"

    def _plain_rows(self, table: str) -> sqlite3.Cursor:
        name = quote_identifier(table)
        try:
            return self.execute(f"SELECT * FROM {name} ORDER BY rowid")
        except Exception:  # noqa: BLE001 - a table without rowids: in the order of its key
            return self.execute(f"SELECT * FROM {name}")

    def _primary_key(self, table: str) -> List[str]:
        rows = self.execute(f"SELECT name, pk FROM pragma_table_info(?) WHERE pk > 0 ORDER BY pk", (table,))
        return [name for name, _ in rows]

    # ------------------------------------------------------------------ restore

    def restore(self, table: str, lines: Iterable[Any]) -> int:
        """Writes a dump (its lines: text or bytes) into ``table``, all or nothing; returns the
        number of versions (or rows) written."""
        numbered = _numbered(lines)
        first = next(numbered, None)
        if first is None:
            raise QuarnaConnectionError("the dump is empty: its first line describes the table")
        number, header = first
        columns, model, key = _header(number, header)
        try:
            with self.transaction():
                info = self._restore_target(table, columns, model, key)
                if model:
                    return self._restore_versions(info, numbered)
                return self._restore_rows(info, numbered)
        except BaseException:
            self._forget(table)
            raise

    def _restore_target(self, table: str, columns: Dict[str, str], model: bool, key: List[str]) -> TableInfo:
        if not isinstance(table, str) or not self._describe_table(table):
            if model:
                self.create_model_table(table, columns)
            else:
                self.create_table(table, columns, primary_key=key)
        info = self._writable(table)
        if info.model != model:
            raise QuarnaConnectionError(
                f"table {table!r} is {'a model' if info.model else 'a plain'} table, the dump is of a "
                f"{'model' if model else 'plain'} table")
        have = {c: t for c, t in info.description.items() if not (model and c in MODEL_KEY_COLUMNS)}
        if [(c, str(t).lower()) for c, t in have.items()] != [(c, str(t).lower()) for c, t in columns.items()]:
            raise QuarnaConnectionError(
                f"table {table!r} has other columns than the dump (table: "
                f"{', '.join(f'{c} {t}' for c, t in have.items())}; dump: "
                f"{', '.join(f'{c} {t}' for c, t in columns.items())})")
        if model:
            self._metadata_ready(create=True)
        return info

    def _restore_rows(self, info: TableInfo, numbered: Iterator[Tuple[int, Any]]) -> int:
        blobs = [c for c in info.description if c not in info.json_columns]
        line_numbers: List[int] = []

        def rows() -> Iterator[Dict[str, Any]]:
            for number, row in numbered:
                if not isinstance(row, dict):
                    raise QuarnaConnectionError(f"dump line {number}: expected a JSON object")
                line_numbers.append(number)
                yield _unblobbed(number, row, blobs)

        written = 0
        try:
            for start, batch in self._sized(self._checked_rows(info, rows())):
                self._write(*self._build_bulk_insert_statement(info.name, batch), start, batch)
                written += len(batch)
        except QuarnaConnectionError as error:
            if isinstance(error, RejectedRow) and error.index < len(line_numbers):
                raise QuarnaConnectionError(f"dump line {line_numbers[error.index]}: {error.reason}") from None
            raise
        return written

    def _restore_versions(self, info: TableInfo, numbered: Iterator[Tuple[int, Any]]) -> int:
        table = info.name
        blobs = [c for c in info.description if c not in info.json_columns and c not in MODEL_KEY_COLUMNS]
        reserved = frozenset(MODEL_KEY_COLUMNS)
        written = 0
        current: Optional[Tuple[str, int, Dict[str, Any]]] = None  # object id, number, record of the last line
        marks: Dict[str, int] = {}
        model_rows: List[Dict[str, Any]] = []
        metadata_rows: List[Dict[str, Any]] = []
        started: Dict[str, int] = {}  # objects begun in this round -> their first line

        def flush() -> None:
            if started:
                ids = sorted(started)
                found = self.execute(
                    f"SELECT DISTINCT object_id FROM {METADATA_TABLE} WHERE object_id IN ({', '.join('?' * len(ids))})",
                    ids).fetchall()
                if found:
                    object_id = found[0][0]
                    raise QuarnaConnectionError(
                        f"dump line {started[object_id]}: object {object_id!r} already has versions in this database "
                        f"(delete it first, or restore into another database)")
            per_statement = max(1, self.parameter_limit // len(METADATA_COLUMNS))
            for start in range(0, len(metadata_rows), per_statement):
                self.execute(*self._build_bulk_insert_statement(METADATA_TABLE, metadata_rows[start:start + per_statement]))
            for _, batch in self._sized(model_rows):
                self.execute(*self._build_bulk_insert_statement(table, batch))
            model_rows.clear()
            metadata_rows.clear()
            started.clear()

        for number, line in numbered:
            where = f"dump line {number}"
            if not isinstance(line, dict):
                raise QuarnaConnectionError(f"{where}: expected a JSON object")
            object_id = line.get("_object_id")
            if not isinstance(object_id, str) or not object_id:
                raise QuarnaConnectionError(f"{where}: \"_object_id\" is non-empty text, not {object_id!r}")
            if "_version_mark" in line:
                mark = _version_number(where, line["_version_mark"], "_version_mark")
                if set(line) != {"_object_id", "_version_mark"}:
                    raise QuarnaConnectionError(f"{where}: a version mark line has \"_object_id\" and \"_version_mark\" only")
                marks[object_id] = max(marks.get(object_id, 0), mark)
                continue
            line = dict(line)
            del line["_object_id"]
            version = line.pop("_object_version", None)
            version_number = _version_number(where, version, "_object_version")
            record = line.pop(METADATA_COLUMN, None)
            _check_record(where, record, object_id, version)
            if current is not None and current[0] == object_id:
                if version_number <= current[1] or record["prior_version"] != current[2]["object_version"] \
                        or current[2]["next_version"] != version:
                    raise QuarnaConnectionError(
                        f"{where}: version {version!r} of object {object_id!r} does not follow version "
                        f"{current[2]['object_version']!r} in its chain (prior_version, next_version)")
            else:
                if current is not None and current[2]["next_version"] is not None:
                    raise QuarnaConnectionError(
                        f"{where}: object {current[0]!r} ends before its version {current[2]['next_version']!r}")
                if record["prior_version"] is not None:
                    raise QuarnaConnectionError(
                        f"{where}: version {version!r} is the first of object {object_id!r} here, but follows "
                        f"version {record['prior_version']!r} (the versions of an object come together, in order)")
                if object_id in started or object_id in marks:
                    raise QuarnaConnectionError(f"{where}: the versions of object {object_id!r} come in two places")
                started[object_id] = number
            current = (object_id, version_number, record)
            marks[object_id] = max(marks.get(object_id, 0), version_number)
            if not _fits(info, line, reserved):
                _bad_fields(where, info, line)
            row = {PRIMARY_PARTITION_KEY: object_id, SECONDARY_PARTITION_KEY: version,
                   METADATA_COLUMN: _record_text({key: record[key] for key in RECORD_KEYS}),
                   **_unblobbed(number, line, blobs)}
            model_rows.append(self._json_encoded(info, row, copy=False))
            metadata_rows.append(_metadata_row(where, record, table))
            written += 1
            if len(model_rows) == RESTORE_CHUNK:
                flush()
        if current is not None and current[2]["next_version"] is not None:
            raise QuarnaConnectionError(
                f"the dump ends before version {current[2]['next_version']!r} of object {current[0]!r}")
        flush()
        if marks:
            self._raise_marks(table, marks)
        return written

    def _raise_marks(self, table: str, marks: Dict[str, int]) -> None:
        rows = [(object_id, table, number) for object_id, number in sorted(marks.items())]
        per_statement = max(1, self.parameter_limit // 3)
        for start in range(0, len(rows), per_statement):
            batch = rows[start:start + per_statement]
            self.execute(
                f"INSERT INTO {MARKS_TABLE} (object_id, table_name, last_version) VALUES "
                + ", ".join(["(?, ?, ?)"] * len(batch))
                + " ON CONFLICT (object_id, table_name) DO UPDATE SET last_version ="
                  " max(last_version, excluded.last_version)",
                [value for row in batch for value in row])


def _numbered(lines: Iterable[Any]) -> Iterator[Tuple[int, Any]]:
    """(line number, decoded JSON) of the lines that are not blank."""
    for number, line in enumerate(lines, 1):
        if isinstance(line, (bytes, bytearray)):
            try:
                line = bytes(line).decode("utf-8-sig" if number == 1 else "utf-8")
            except UnicodeDecodeError as error:
                raise QuarnaConnectionError(f"dump line {number}: not UTF-8 text ({error.reason})") from None
        elif not isinstance(line, str):
            raise QuarnaConnectionError(f"dump line {number}: expected text, not {type(line).__name__}")
        if not line.strip():
            continue
        try:
            yield number, json.loads(line)
        except ValueError as error:
            raise QuarnaConnectionError(f"dump line {number}: not valid JSON ({error})") from None
        except RecursionError:
            raise QuarnaConnectionError(f"dump line {number}: nested too deeply") from None


def _header(number: int, header: Any) -> Tuple[Dict[str, str], bool, List[str]]:
    where = f"dump line {number}"
    if not isinstance(header, dict) or "quarna_dump" not in header:
        raise QuarnaConnectionError(
            f"{where}: not the first line of a dump (it starts with {{\"quarna_dump\": 1, \"kind\": ..., "
            f"\"columns\": ...}}; the dump command writes it)")
    if header.get("quarna_dump") != DUMP_FORMAT:
        raise QuarnaConnectionError(f"{where}: dump format {header.get('quarna_dump')!r}; this version reads format {DUMP_FORMAT}")
    kind, columns, key = header.get("kind"), header.get("columns"), header.get("key", [])
    if kind not in ("model", "plain"):
        raise QuarnaConnectionError(f"{where}: kind is 'model' or 'plain', not {kind!r}")
    if not isinstance(columns, dict) or not all(isinstance(c, str) and isinstance(t, str) for c, t in columns.items()):
        raise QuarnaConnectionError(f"{where}: columns is an object of column names and types")
    if not isinstance(key, list) or not all(isinstance(c, str) for c in key):
        raise QuarnaConnectionError(f"{where}: key is a list of column names")
    return columns, kind == "model", key


def _version_number(where: str, version: Any, name: str) -> int:
    if isinstance(version, str) and version.isdigit() and version.isascii() and version[0] != "0":
        return int(version)
    raise QuarnaConnectionError(f"{where}: {name!r} is a version number as text (\"1\", \"2\", ...), not {version!r}")


def _check_record(where: str, record: Any, object_id: str, version: str) -> None:
    if not isinstance(record, dict) or set(record) != set(RECORD_KEYS):
        raise QuarnaConnectionError(f"{where}: \"_metadata\" is the version record, with the keys {', '.join(RECORD_KEYS)}")
    if record["object_id"] != object_id or record["object_version"] != version:
        raise QuarnaConnectionError(f"{where}: the version record is of another object or version")
    for key in ("created_at", "updated_at", "is_deleted"):
        if isinstance(record[key], bool) or not isinstance(record[key], int):
            raise QuarnaConnectionError(f"{where}: {key} of the version record is an integer, not {record[key]!r}")
    for key in ("prior_version", "next_version"):
        if record[key] is not None and not isinstance(record[key], str):
            raise QuarnaConnectionError(f"{where}: {key} of the version record is text or null, not {record[key]!r}")
    if record["address"] is None:
        raise QuarnaConnectionError(f"{where}: the version record has no address")


def _metadata_row(where: str, record: Dict[str, Any], table: str) -> Dict[str, Any]:
    def as_json(value: Any) -> Optional[str]:
        return None if value is None else json.dumps(value)

    row = {key: record[key] for key in METADATA_COLUMNS[:-1]}
    for key in ("address", "class_schema_reference", "class_meta_schema_reference", "transaction"):
        row[key] = as_json(record[key])
    row["table_name"] = table
    return row


def _fits(info: TableInfo, line: Dict[str, Any], reserved: FrozenSet[str]) -> bool:
    return line.keys() <= info.columns and reserved.isdisjoint(line)


def _bad_fields(where: str, info: TableInfo, line: Dict[str, Any]) -> None:
    for key in line:
        if key not in info.columns or key in MODEL_KEY_COLUMNS:
            raise QuarnaConnectionError(f"{where}: field {key!r} is not a column of table {info.name!r}")


def _unblobbed(number: int, row: Dict[str, Any], blobs: List[str]) -> Dict[str, Any]:
    """The row with the blobs a dump wrote as ``{"base64": ...}`` as bytes again."""
    for column in blobs:
        value = row.get(column)
        if isinstance(value, dict):
            try:
                if set(value) != {"base64"}:
                    raise ValueError
                data = base64.b64decode(value["base64"], validate=True)
            except (ValueError, TypeError, binascii.Error):
                raise QuarnaConnectionError(
                    f"dump line {number}: column {column!r} holds an object; blobs are written {{\"base64\": ...}}") from None
            row = dict(row)
            row[column] = data
    return row
