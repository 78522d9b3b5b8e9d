"""The versions of one object, and reads as of a time.

- ``get(table, object_id)``: the latest version of an object, a given version, or the version
  that was the latest at a time (``as_of``);
- ``history(table, object_id)``: every version, oldest first, each with its version record;
- ``delete_object(table, object_id)``: every version and its record, in one transaction (the
  object's version mark stays, so its numbers are not given out again);
- ``as_of`` of ``select``/``iter_select``/``count``: for every object, the last version of its chain
  created at or before the time. Versions are numbered along the chain, so that is the highest
  numbered version whose ``created_at`` is at or before it; versions written in one transaction,
  which share their ``created_at``, count in the order of the chain. The statement the builders
  write is run as it is, after a ``WITH`` clause that gives the name of the model table to those
  versions of its rows, so filters, ordering and paging apply to them.

Ordering by a version (``_object_version``, ``range_key``, ``_address__object_version``) orders by
its number, and an ordering by ``_metadata__created_at`` orders versions of one time by number,
the order of their chain: the ordering term handed to the builders is the cast of the version
column (``numeric_orderings``).
"""

from __future__ import annotations

import datetime as _datetime
import math
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

from quarna_data.connections.errors import QuarnaConnectionError
from quarna_data.connections.implementations.mixins import sqlite_statements_mixin as _module
from quarna_data.connections.sqlite.names import TableInfo, checked_node
from quarna_data.connections.sqlite.schema import (ADDRESS_VERSION_FIELD, METADATA_COLUMN, METADATA_TABLE,
                                                   quote_identifier)
from quarna_data.table_schemas.constants import PRIMARY_PARTITION_KEY, SECONDARY_PARTITION_KEY
from quarna_utils.models.enums import Versions
from quarna_utils.query.data_models.filter import Filter, made_filter
from quarna_utils.query.data_models.made import made
from quarna_utils.query.data_models.order_by import OrderBy
from quarna_utils.query.enums import Lookup, OrderDirection
from quarna_utils.query.utils import Q

_VERSION_PATHS = (SECONDARY_PARTITION_KEY, ADDRESS_VERSION_FIELD)
_CREATED_AT = f"{METADATA_COLUMN}__created_at"


def as_of_seconds(as_of: Any) -> float:
    """A point in time as seconds since the epoch: a number of seconds, or an aware datetime."""
    if isinstance(as_of, _datetime.datetime):
        if as_of.tzinfo is None or as_of.utcoffset() is None:
            raise QuarnaConnectionError(
                f"as_of {as_of.isoformat()!r} has no time zone: give an aware datetime (or seconds since the epoch)")
        return as_of.timestamp()
    if isinstance(as_of, (int, float)) and not isinstance(as_of, bool) and math.isfinite(as_of):
        return as_of
    raise QuarnaConnectionError(
        f"as_of is seconds since the epoch or an aware datetime, not {as_of!r}")


def _when(seconds: float) -> str:
    try:
        return _datetime.datetime.fromtimestamp(seconds, _datetime.timezone.utc).isoformat()
    except (OverflowError, OSError, ValueError):
        return repr(seconds)


def numeric_orderings(orderings: List[OrderBy], joined: bool) -> List[OrderBy]:
    """Checked orderings of a model table with the versions ordered as numbers, and versions of one
    ``created_at`` in the order of their chain."""
    column = f"{_module.MODEL_TABLE_ALIAS}.{SECONDARY_PARTITION_KEY}" if joined else SECONDARY_PARTITION_KEY
    number = f"CAST({column} AS INTEGER)"
    result = []
    for item in orderings:
        if item.field_name in _VERSION_PATHS:
            result.append(made(OrderBy, {"field_name": number, "direction": item.direction}))
            continue
        result.append(item)
        if item.field_name == _CREATED_AT:
            result.append(made(OrderBy, {"field_name": number, "direction": item.direction}))
    return result


if TYPE_CHECKING:
    from quarna_data.connections.sqlite.parts import Part
else:
    Part = object


class _History(Part):
    """One object's versions, and reads as of a time."""

    def get(self, table: str, object_id: str, *, version: Any = None, as_of: Any = None) -> Dict[str, Any]:
        """The latest version of an object, or its version ``version``, or the version that was
        the latest at ``as_of`` (seconds since the epoch, or an aware datetime)."""
        info = self._model_table(table)
        if version is not None and as_of is not None:
            raise QuarnaConnectionError("get takes a version or as_of, not both")
        number: Optional[str] = None
        if version is not None:
            if isinstance(version, bool) or not isinstance(version, (str, int)):
                raise QuarnaConnectionError(f"versions are numbers or their text, not {version!r}")
            number = str(version)
        elif as_of is not None:
            seconds = as_of_seconds(as_of)
            self._metadata_ready(create=False)
            (highest,) = self.execute(
                f"SELECT max(CAST(object_version AS INTEGER)) FROM {METADATA_TABLE}"
                f" WHERE object_id = ? AND created_at <= ?", (object_id, seconds)).fetchone()
            if highest is None:
                self._known_object(info, object_id)
                raise QuarnaConnectionError(
                    f"object {object_id!r} of table {table!r} had no version at {_when(seconds)}")
            number = str(highest)
        for record in self._point_read(info, object_id, number):
            return record
        self._known_object(info, object_id)
        if version is None:
            raise QuarnaConnectionError(f"object {object_id!r} of table {table!r} has no latest version")
        raise QuarnaConnectionError(f"object {object_id!r} of table {table!r} has no version {str(version)!r}")

    def history(self, table: str, object_id: str) -> List[Dict[str, Any]]:
        """Every version of an object, oldest first, each with its version record (``_metadata``)."""
        self._model_table(table)
        records = self.select(table, Q(Filter(field_name="_object_id", lookup=Lookup.EQ, value=object_id)),
                              order_by=[OrderBy(field_name="_object_version", direction=OrderDirection.ASC)],
                              meta=True)
        if not records:
            raise QuarnaConnectionError(f"table {table!r} has no object {object_id!r}")
        return records

    def delete_object(self, table: str, object_id: str) -> int:
        """Deletes every version of an object and their version records, in one transaction;
        returns how many versions were deleted. The numbers it had are not given out again."""
        info = self._model_table(table)
        self._writable(table)
        name = quote_identifier(info.name)
        with self.transaction():
            self._metadata_ready(create=True)
            # The records go first, so the trigger that links up the remaining versions after a
            # deleted one finds nothing to do.
            self.execute(
                f"DELETE FROM {METADATA_TABLE} WHERE object_id = ? AND object_version IN"
                f" (SELECT {SECONDARY_PARTITION_KEY} FROM {name} WHERE {PRIMARY_PARTITION_KEY} = ?)",
                (object_id, object_id))
            return self.execute(f"DELETE FROM {name} WHERE {PRIMARY_PARTITION_KEY} = ?", (object_id,)).rowcount

    def _known_object(self, info: TableInfo, object_id: str) -> None:
        """Raises the error for an object the table does not have."""
        found = self.execute(f"SELECT 1 FROM {quote_identifier(info.name)} WHERE {PRIMARY_PARTITION_KEY} = ? LIMIT 1",
                             (object_id,)).fetchone()
        if found is None:
            raise QuarnaConnectionError(f"table {info.name!r} has no object {object_id!r}")

    # ------------------------------------------------------------------ as of a time

    def _as_of_scope(self, info: TableInfo, as_of: Any) -> Tuple[str, List[Any]]:
        """The WITH clause that gives the model table's name to the versions that were the latest
        at ``as_of``, and its parameter."""
        if not info.model or info.internal:
            raise QuarnaConnectionError(f"as_of reads versions of objects: table {info.name!r} is not a model table")
        seconds = as_of_seconds(as_of)
        self._metadata_ready(create=False)
        name = quote_identifier(info.name)
        return (f"WITH {name} AS (SELECT _r.* FROM main.{name} AS _r JOIN ("
                f"SELECT object_id, max(CAST(object_version AS INTEGER)) AS _n FROM main.{METADATA_TABLE}"
                f" WHERE created_at <= ? GROUP BY object_id) AS _a"
                f" ON _r.{PRIMARY_PARTITION_KEY} = _a.object_id"
                f" AND _r.{SECONDARY_PARTITION_KEY} = CAST(_a._n AS TEXT)) ", [seconds])

    def _as_of_conditions(self, info: TableInfo, node: Optional[Q], negated: bool = False) -> Optional[Q]:
        """Checked conditions for a read as of a time: the version that was the latest then is
        what is read, so the selector ``latest`` holds for every version read and any other
        version selector is refused."""
        if node is None:
            return None
        negated ^= bool(node.negated)
        children: List[Any] = []
        for child in node.children:
            if isinstance(child, Q):
                children.append(self._as_of_conditions(info, child, negated))
                continue
            if child.field_name == ADDRESS_VERSION_FIELD:
                if child.value != Versions.LATEST or negated or child.lookup != Lookup.EQ:
                    raise QuarnaConnectionError(
                        f"filter {child.field_name!r} on table {info.name!r}: as_of reads the version that was "
                        f"the latest at that time, so the only version selector it takes is 'latest' "
                        f"(and not negated); leave out as_of (--as-of) to read other versions")
                child = made_filter(child.field_name, Lookup.EQ, Versions.ALL)
            children.append(child)
        return checked_node(children, node.connector, node.negated)

