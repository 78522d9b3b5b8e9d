"""The objects of a file of JSON lines, read lazily, each remembered by its line number so that
an error about one can name where it came from."""

from __future__ import annotations

import collections
import json
import os
import sys
from typing import Any, BinaryIO, Deque, Iterator, Optional

from quarna_data.cli.errors import UserError
from quarna_data.cli.progress import Progress


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a JSON number")


class LoadSource:
    """The JSON objects of a file of JSON lines, read lazily; remembers which line recent items
    came from, so an error about an item can name its line."""

    def __init__(self, source: str, model: bool, progress: Optional[Progress]) -> None:
        self.source = source
        self.name = "<stdin>" if source == "-" else source
        self.model = model
        self.progress = progress
        self.items = 0
        self.lines: Deque[int] = collections.deque(maxlen=1 << 16)

    def line_of(self, index: int) -> Optional[int]:
        """The line the item ``index`` (counted from 0) came from, while it is among the recent ones."""
        position = index - (self.items - len(self.lines))
        return self.lines[position] if 0 <= position < len(self.lines) else None

    def _stream(self) -> BinaryIO:
        if self.source == "-":
            return sys.stdin.buffer
        try:
            return open(self.source, "rb")
        except OSError as error:
            raise UserError(f"cannot read {self.source!r}: {error.strerror}") from None

    def size(self) -> Optional[int]:
        """The size of the file in bytes; None for standard input or a file that cannot be read."""
        try:
            return os.stat(self.source).st_size if self.source != "-" else None
        except OSError:
            return None

    def __iter__(self) -> Iterator[Any]:
        stream = self._stream()
        progress = self.progress
        decode = json.JSONDecoder(parse_constant=_reject_constant).decode
        done = 0
        try:
            for number, line in enumerate(stream, 1):
                done += len(line)
                if progress is not None and number & 255 == 1:
                    progress(done, self.items)
                try:
                    item = decode(line.decode("utf-8-sig" if number == 1 else "utf-8"))
                except UnicodeDecodeError as error:
                    raise UserError(f"{self.name}:{number}: not UTF-8 text ({error.reason} at byte {error.start})") from None
                except ValueError as error:
                    if not line.strip():
                        continue  # blank lines are skipped
                    detail = (f"{error.msg} at column {error.colno}" if isinstance(error, json.JSONDecodeError)
                              else str(error))
                    raise UserError(f"{self.name}:{number}: not valid JSON ({detail})") from None
                except RecursionError:
                    raise UserError(f"{self.name}:{number}: nested too deeply") from None
                if item.__class__ is not dict:
                    raise UserError(f"{self.name}:{number}: expected a JSON object, got {type(item).__name__}")
                if self.model:
                    object_id = item.pop("_object_id", None)
                    if object_id.__class__ is not str or not object_id:
                        raise UserError(f"{self.name}:{number}: a model table needs \"_object_id\" "
                                        f"(non-empty text) on every line")
                    item = (object_id, item)
                self.lines.append(number)
                self.items += 1
                yield item
            if progress is not None:
                progress(done, self.items, final=True)
        except OSError as error:
            raise UserError(f"cannot read {self.source!r}: {error.strerror}") from None
        finally:
            if stream is not sys.stdin.buffer:
                stream.close()
