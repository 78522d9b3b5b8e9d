"""The output formats of the tool: an aligned table, a JSON list, JSON lines, CSV and TSV, each
written as the records come; and a statement printed with its parameters."""

from __future__ import annotations

import csv
import json
import math
import uuid
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, TextIO

from quarna_data.cli.errors import UserError

FORMATS = ("table", "json", "ndjson", "csv", "tsv")
TEXT_WIDTH = 40  # widest cell of a printed table
TABLE_WINDOW = 100  # records read before a table's columns are sized


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


#: Control characters (C0, DEL, C1) as a table shows them: escaped, so stored data cannot move
#: the cursor, colour or overwrite what the terminal shows. A line break is shown as a blank.
_CONTROLS = {c: ascii(chr(c))[1:-1] for c in [*range(0x20), *range(0x7f, 0xa0)]}
_CONTROLS[0x0a] = " "


def cell(value: Any) -> str:
    """A value as one cell of a printed table: one line, at most TEXT_WIDTH characters, control
    characters escaped."""
    text = text_of(value)
    if not text.isprintable():
        text = text.translate(_CONTROLS)
    return text if len(text) <= TEXT_WIDTH else text[: TEXT_WIDTH - 1] + "…"


def json_encoder(**options: Any) -> Callable[[Any], str]:
    """``encode`` of JSON as the format allows it: an infinite float (a REAL column may hold
    one) is written as 1e999 (-1e999), the JSON number parsers read as infinity. Nothing the
    connection stores is NaN."""
    strict = json.JSONEncoder(ensure_ascii=False, allow_nan=False, default=json_default, **options).encode
    marker = f"\x00{uuid.uuid4().hex}\x00"
    quoted = strict(marker)

    def encode(value: Any) -> str:
        try:
            return strict(value)
        except ValueError:
            text = strict(_finite(value, marker))
            return text.replace(f'"-{quoted[1:]}', "-1e999").replace(quoted, "1e999")

    return encode


def _finite(value: Any, marker: str) -> Any:
    if value.__class__ is float and value in (math.inf, -math.inf):
        return marker if value > 0 else "-" + marker
    if isinstance(value, dict):
        return {k: _finite(v, marker) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v, marker) for v in value]
    return value


def json_default(value: Any) -> Any:
    """What the JSON formats write for a value JSON has no type for: bytes as hex, else its text."""
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    return str(value)


_CSV_PLAIN = frozenset((str, int, float, type(None)))  # written by the csv module as text_of writes them
_compact_json = json_encoder(separators=(",", ":"))


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
        dumps = json_encoder()
        for record in records:
            out.write(dumps(record) + "\n")
    elif fmt == "json":
        dumps = json_encoder()
        separator = "[\n"
        for record in records:
            out.write(separator + dumps(record))
            separator = ",\n"
        out.write("[]\n" if separator == "[\n" else "\n]\n")
    elif fmt in ("csv", "tsv"):
        # TSV as Python's excel-tab dialect: a cell holding a tab, a line break or a quote is quoted.
        writer = csv.writer(out, csv.excel_tab if fmt == "tsv" else csv.excel, lineterminator="\n")
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
