"""Texts of the command line as the values, fields and filters of a read."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence

from quarna_data.cli.errors import UserError

if TYPE_CHECKING:
    from quarna_data.connections.sqlite import SqliteConnection
    from quarna_utils.query.data_models.filter import Filter

SPECIAL_FIELDS = ("_address", "_metadata")  # heads of nested paths that are not columns


def parse_value(text: str) -> Any:
    """JSON when the text is JSON (numbers, true, null, lists, quoted strings), else the text."""
    try:
        return json.loads(text)
    except ValueError:
        return text


def parse_where(text: str, conn: "SqliteConnection", description: Dict[str, str]) -> "Filter":
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
    """The fields of repeated, comma-separated options (``--only name,age --only city``)."""
    fields: List[str] = []
    for value in values or ():
        fields.extend(f.strip() for f in value.split(",") if f.strip())
    return fields
