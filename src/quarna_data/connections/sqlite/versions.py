"""Versioned objects: saving new versions of objects and reading which version is the latest.

A model table (``create_model_table``) has the columns ``partition_key`` (the object id) and
``range_key`` (the version id), its declared fields, and ``_metadata`` (JSON). Every
version of every object also has a record in the internal table ``metadata``; the record of a
version names the version it follows (``prior_version``), so the newest version of an object is
the one no other version follows, which is what the ``Versions.LATEST`` selector asks for.

``save(table, object_id, fields)`` writes a new version: version ids are increasing integers
written as text ("1", "2", ...), one sequence per object, and a number is never given out twice:
the internal table ``version_metadata`` keeps, per table and object, the highest number the object
ever had (deleted versions and deleted objects included). The next number is that mark plus one,
and the latest version is the one the mark names unless it was deleted (two key lookups; only
after the latest version was deleted are the object's versions read). Reads order the versions as
numbers (``history.numeric_orderings``). Object ids are unique across the database: an object
lives in one model table.
The model row keeps a copy of its metadata record in ``_metadata``, and ``next_version`` in that
copy is kept up to date, so reads without the metadata join can select the latest versions too.

Deleting model rows (``delete``/``bulk_delete``) deletes those versions: their metadata records
go with them and the remaining versions of the object are linked up again (a trigger of the
table, ``schema._DELETE_TRIGGER``), so the newest remaining version becomes the latest.
"""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, Iterator, List, Optional, Set, Tuple

from quarna_data.connections.errors import QuarnaConnectionError
from quarna_data.connections.sqlite.names import TableInfo
from quarna_data.connections.sqlite.schema import (ADDRESS_VERSION_FIELD, MARKS_COLUMNS, MARKS_TABLE, METADATA_COLUMN,
                                                   METADATA_COLUMNS, METADATA_TABLE, MODEL_KEY_COLUMNS,
                                                   quote_identifier)
from quarna_data.connections.sqlite.writes import BIND_ERRORS, RejectedRow, _exact_keys, _rejected
from quarna_data.table_schemas.constants import PRIMARY_PARTITION_KEY, SECONDARY_PARTITION_KEY
from quarna_utils.models.enums import Versions
from quarna_utils.query.data_models.filter import made_filter
from quarna_utils.query.enums import Lookup
from quarna_utils.query.utils import Q

#: Objects written per round of a bulk save.
SAVE_CHUNK = 500

_json_text = json.encoder.encode_basestring_ascii  # a str as JSON, as json.dumps writes it


if TYPE_CHECKING:
    from quarna_data.connections.sqlite.parts import Part
else:
    Part = object


class _Versions(Part):
    """Saving new versions of objects into model tables."""

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

        def chunks() -> Iterator[int]:
            for chunk in self._save_chunks(table, objects, class_version):
                versions.extend(chunk)
                yield len(chunk)

        self._counted_write(chunks(), progress)
        return versions

    def load(self, table: str, items: Iterable[Any], *, class_version: str = "1",
             progress: Optional[Callable[[int], None]] = None, on_conflict: Optional[str] = None) -> int:
        """Writes every item, all or nothing, keeping none of them: ``(object id, fields)`` pairs
        as new versions into a model table, rows into any other table (``on_conflict`` as for
        ``bulk_insert``). Returns how many were written."""
        if not self.table_info(table).model or on_conflict is not None:
            return self.bulk_insert(table, items, progress=progress, on_conflict=on_conflict)
        return self._counted_write((len(chunk) for chunk in self._save_chunks(table, items, class_version)),
                                   progress)

    def _save_chunks(self, table: str, objects: Iterable[Any], class_version: str) -> Iterator[List[str]]:
        """Writes the objects a chunk at a time (inside the caller's transaction); yields each
        chunk's version ids. Between chunks the database itself holds the versions written."""
        info = self._model_table(table)
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
            fields = _exact_keys(fields)
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
        except BIND_ERRORS as error:
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
            if prior is None:
                continue
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
        self._set_marks(table, ((object_id, number) for object_id, (_, number) in latest.items()))
        return versions

    def _set_marks(self, table: str, marks: Iterable[Tuple[str, int]]) -> None:
        """Records the highest version number of objects of ``table``."""
        rows = [(object_id, table, number) for object_id, number in marks]
        per_statement = max(1, self.parameter_limit // len(MARKS_COLUMNS))
        for start in range(0, len(rows), per_statement):
            batch = rows[start:start + per_statement]
            self.execute(f"INSERT OR REPLACE INTO {MARKS_TABLE} (object_id, table_name, last_version) VALUES "
                         + ", ".join(["(?, ?, ?)"] * len(batch)), [value for row in batch for value in row])

    def _model_table(self, table: str) -> TableInfo:
        info = self.table_info(table)
        if not info.model or info.internal:
            raise QuarnaConnectionError(f"table {table!r} is not a model table")
        return info

    def _latest_versions(self, table: str, object_ids: Set[str]) -> Dict[str, Tuple[Optional[str], int]]:
        """For each object that has or had versions in ``table``: (its latest version id, or None
        when every version was deleted; the highest version number it ever had)."""
        found: Dict[str, Tuple[Optional[str], int]] = {}
        ids = sorted(object_ids)
        step = max(1, self.parameter_limit)
        for start in range(0, len(ids), step):
            chunk = ids[start:start + step]
            marks = ", ".join("?" * len(chunk))
            # The mark names the latest version unless that was deleted (or a writer that keeps
            # no marks added versions after it): then the object's versions are read.
            rows = self.execute(
                f"SELECT k.object_id, k.table_name, k.last_version,"
                f" EXISTS (SELECT 1 FROM {METADATA_TABLE} m WHERE m.object_id = k.object_id"
                f"  AND m.object_version = CAST(k.last_version AS TEXT) AND m.table_name = k.table_name),"
                f" EXISTS (SELECT 1 FROM {METADATA_TABLE} n WHERE n.object_id = k.object_id"
                f"  AND n.prior_version = CAST(k.last_version AS TEXT))"
                f" FROM {MARKS_TABLE} k WHERE k.object_id IN ({marks})",
                chunk,
            ).fetchall()
            unsure = set(chunk)
            marked: Dict[str, int] = {}
            for object_id, table_name, last, present, followed in rows:
                if table_name != table:
                    continue  # had versions in another table: the versions say where it is now
                if present and not followed:
                    found[object_id] = (str(last), last)
                    unsure.discard(object_id)
                else:
                    marked[object_id] = last
            if not unsure:
                continue
            unsure_ids = sorted(unsure)
            stored = [object_id for (object_id,) in self.execute(
                f"SELECT DISTINCT object_id FROM {METADATA_TABLE} WHERE object_id IN "
                f"({', '.join('?' * len(unsure_ids))})", unsure_ids)]
            for object_id, version, highest in self._scanned_versions(table, stored):
                found[object_id] = (version, max(highest, marked.get(object_id, 0)))
            for object_id, last in marked.items():
                found.setdefault(object_id, (None, last))
        return found

    def _scanned_versions(self, table: str, object_ids: List[str]) -> List[Tuple[str, str, int]]:
        """(object id, latest version id, highest number) read from every version of the objects."""
        if not object_ids:
            return []
        rows = self.execute(
            f"SELECT m.object_id, m.object_version, m.table_name,"
            f" (SELECT max(CAST(object_version AS INTEGER)) FROM {METADATA_TABLE} a"
            f"  WHERE a.object_id = m.object_id)"
            f" FROM {METADATA_TABLE} m WHERE m.object_id IN ({', '.join('?' * len(object_ids))}) AND NOT EXISTS ("
            f"  SELECT 1 FROM {METADATA_TABLE} n"
            f"  WHERE n.object_id = m.object_id AND n.prior_version = m.object_version)",
            object_ids,
        ).fetchall()
        for object_id, version, table_name, highest in rows:
            if table_name != table:
                raise QuarnaConnectionError(f"object {object_id!r} is stored in table {table_name!r}")
        return [(object_id, version, int(highest or 0)) for object_id, version, _, highest in rows]


def latest_only() -> Q:
    """The condition that selects the latest version of every object."""
    return Q(made_filter(ADDRESS_VERSION_FIELD, Lookup.EQ, Versions.LATEST))
