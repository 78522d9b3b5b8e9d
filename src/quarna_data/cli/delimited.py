"""The rows of a CSV or TSV file with a header row, read lazily, each cell typed by the declared
type of its column; like the JSON-lines reader, it remembers the line of recent rows so that an
error about a row names where it came from.

The cells are text; the declared type of the column says what value a cell is:

- ``integer``, ``real``, ``numeric``: a number (``numeric`` an integer when it is one); anything
  else, or a number that is not finite, is refused naming the line and the column;
- ``boolean``: ``true``/``false``, ``1``/``0`` (any case);
- ``json``: the JSON value when the cell is JSON (``[1, 2]``, ``{"a": 1}``, ``42``, ``"42"``),
  otherwise the text itself, as ``--where`` reads values;
- ``blob``, ``bytea``: hexadecimal digits, as the output formats write bytes;
- ``text`` and every other type: the text as it is.

An empty cell is NULL in every column, text included: there is no empty number, and the output
formats write NULL as an empty cell, so what the tool writes loads back as it was. The TSV dialect
is Python's ``excel-tab``: a cell holding a tab, a line break or a double quote is quoted.
"""

from __future__ import annotations

import csv
import json
import math
import re
import sys
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

from quarna_data.cli.errors import UserError
from quarna_data.cli.lines import LoadSource
from quarna_data.cli.progress import Progress

DIALECTS = {"csv": csv.excel, "tsv": csv.excel_tab}


def _integer(text: str) -> int:
    if "_" in text:  # Python's digit separators are not a number in a file
        raise ValueError("not an integer")
    return int(text)


def _real(text: str) -> float:
    if "_" in text:
        raise ValueError("not a number")
    value = float(text)
    if not math.isfinite(value):
        raise ValueError("not a finite number")
    return value


def _numeric(text: str) -> Any:
    try:
        return _integer(text)
    except ValueError:
        return _real(text)


_BOOLEANS = {"true": True, "false": False, "1": True, "0": False}


def _boolean(text: str) -> bool:
    try:
        return _BOOLEANS[text.strip().lower()]
    except KeyError:
        raise ValueError("expected true, false, 1 or 0") from None


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a JSON number")


_json_decode = json.JSONDecoder(parse_constant=_reject_constant).decode


def _json(text: str) -> Any:
    try:
        return _json_decode(text)
    except ValueError:
        return text


def _blob(text: str) -> bytes:
    try:
        return bytes.fromhex(text)
    except ValueError:
        raise ValueError("expected hexadecimal digits") from None


def _text(text: str) -> str:
    return text


CONVERTERS: Dict[str, Callable[[str], Any]] = {
    "integer": _integer, "real": _real, "numeric": _numeric, "boolean": _boolean, "bool": _boolean,
    "json": _json, "blob": _blob, "bytea": _blob, "text": _text,
}
_WHAT: Dict[Callable[[str], Any], str] = {
    _integer: "an integer", _real: "a finite number", _numeric: "a finite number",
    _boolean: "a boolean (true, false, 1 or 0)", _blob: "hexadecimal bytes"}


def converter(declared: str) -> Callable[[str], Any]:
    """How a cell becomes the value of a column of this declared type (SQLite's rules of column
    affinity for the types the tool does not create)."""
    kind = declared.strip().lower()
    if kind in CONVERTERS:
        return CONVERTERS[kind]
    if "int" in kind:
        return _integer
    if re.search("char|clob|text", kind) or not kind or "blob" in kind:
        return _text
    if re.search("real|floa|doub", kind):
        return _real
    return _numeric


class DelimitedSource(LoadSource):
    """The rows of a CSV or TSV file (``-`` for standard input) as records of a table, typed by
    ``description`` (column name to declared type); for a model table, ``(object id, fields)``
    pairs, the object id from the column ``_object_id``."""

    def __init__(self, source: str, model: bool, progress: Optional[Progress], *, kind: str,
                 description: Dict[str, str]) -> None:
        super().__init__(source, model, progress)
        self.dialect = DIALECTS[kind]
        self.description = description

    def _header(self, names: List[str]) -> List[Tuple[str, Callable[[str], Any]]]:
        columns: List[Tuple[str, Callable[[str], Any]]] = []
        seen = set()
        for name in names:
            if name in seen:
                raise UserError(f"{self.name}:1: column {name!r} is named twice in the header")
            seen.add(name)
            if self.model and name == "_object_id":
                columns.append((name, _text))
            elif name in self.description:
                columns.append((name, converter(str(self.description[name]))))
            else:
                valid = (["_object_id"] if self.model else []) + list(self.description)
                raise UserError(f"{self.name}:1: unknown column {name!r} in the header "
                                f"(columns: {', '.join(valid)})")
        if self.model and "_object_id" not in seen:
            raise UserError(f"{self.name}:1: a model table needs the column _object_id in the header")
        return columns

    def __iter__(self) -> Iterator[Any]:
        stream = self._stream()
        progress = self.progress
        state = {"line": 0, "bytes": 0}

        def text_lines() -> Iterator[str]:
            for number, line in enumerate(stream, 1):
                state["line"], state["bytes"] = number, state["bytes"] + len(line)
                if progress is not None and number & 255 == 1:
                    progress(state["bytes"], self.items)
                try:
                    yield line.decode("utf-8-sig" if number == 1 else "utf-8")
                except UnicodeDecodeError as error:
                    raise UserError(f"{self.name}:{number}: not UTF-8 text ({error.reason} at byte {error.start})") \
                        from None

        try:
            reader = csv.reader(text_lines(), self.dialect)
            try:
                header = next(reader, None)
            except csv.Error as error:
                raise UserError(f"{self.name}:1: {error}") from None
            if header is None:
                return  # an empty file holds no rows
            columns = self._header(header)
            width = len(columns)
            start = state["line"] + 1
            while True:
                try:
                    cells = next(reader)
                except StopIteration:
                    break
                except csv.Error as error:
                    raise UserError(f"{self.name}:{start}: {error}") from None
                number, start = start, state["line"] + 1
                if not cells:
                    continue  # blank lines are skipped
                if len(cells) != width:
                    raise UserError(f"{self.name}:{number}: {len(cells)} cells, the header has {width}")
                record: Dict[str, Any] = {}
                for (name, convert), text in zip(columns, cells):
                    if text == "":
                        record[name] = None
                        continue
                    try:
                        record[name] = convert(text)
                    except ValueError:
                        what = _WHAT.get(convert, "a value of its type")
                        raise UserError(f"{self.name}:{number}: column {name!r}: {text[:40]!r} is not {what}") \
                            from None
                if self.model:
                    object_id = record.pop("_object_id")
                    if not object_id:
                        raise UserError(f"{self.name}:{number}: a model table needs \"_object_id\" "
                                        f"(non-empty text) on every row")
                    item: Any = (object_id, record)
                else:
                    item = record
                self.lines.append(number)
                self.items += 1
                yield item
            if progress is not None:
                progress(state["bytes"], self.items, final=True)
        except OSError as error:
            raise UserError(f"cannot read {self.source!r}: {error.strerror}") from None
        finally:
            if stream is not sys.stdin.buffer:
                stream.close()
