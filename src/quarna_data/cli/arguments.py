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
    column_type = "" if "__" in field else str(description.get(field, "")).lower()
    if lookup == Lookup.ISNULL:
        value: Any = parse_flag(raw, text, "isnull")
    elif column_type in ("boolean", "bool") and lookup in (Lookup.EQ, Lookup.NEQ):
        value = parse_flag(raw, text, f"column {field!r} of type {column_type}")
    else:
        value = parse_value(raw)
    return Filter(field_name=field, lookup=lookup, value=value)


FLAGS = {"true": True, "yes": True, "1": True, "false": False, "no": False, "0": False}


def parse_flag(raw: str, text: str, what: str) -> bool:
    """true/false, yes/no or 1/0 in any case; anything else is refused."""
    flag = FLAGS.get(raw.strip().lower())
    if flag is None:
        raise UserError(f"--where {text!r}: {what} takes true or false (also yes/no, 1/0), not {raw!r}")
    return flag


def split_fields(values: Optional[Sequence[str]]) -> List[str]:
    """The fields of repeated, comma-separated options (``--only name,age --only city``)."""
    fields: List[str] = []
    for value in values or ():
        fields.extend(f.strip() for f in value.split(",") if f.strip())
    return fields


def parse_time(text: str) -> float:
    """``--as-of``: ISO 8601 with a time zone (``2024-05-01T12:00:00Z``) or seconds since the epoch."""
    import datetime
    import math

    try:
        seconds = float(text)
    except ValueError:
        pass
    else:
        if math.isfinite(seconds):
            return seconds
        raise UserError(f"--as-of {text!r}: not a time")
    iso = text.strip()
    if iso[-1:] in ("Z", "z"):
        iso = iso[:-1] + "+00:00"
    try:
        when = datetime.datetime.fromisoformat(iso)
    except ValueError:
        raise UserError(f"--as-of {text!r}: expected ISO 8601 with a time zone (2024-05-01T12:00:00Z, "
                        f"2024-05-01T14:00:00+02:00) or seconds since the epoch") from None
    if when.tzinfo is None:
        raise UserError(f"--as-of {text!r}: give the time zone (Z for UTC, or +HH:MM)")
    return when.timestamp()
