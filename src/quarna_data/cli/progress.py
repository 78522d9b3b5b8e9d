"""Progress of a long read on a stream: one line redrawn in place on a terminal, otherwise a line
every few seconds."""

from __future__ import annotations

import time
from typing import Optional, TextIO


class Progress:
    """Progress of a load on standard error, from the first byte: bytes and rows read, and their
    rates. On a terminal one line redrawn in place, otherwise a line every few seconds."""

    def __init__(self, total: Optional[int], stream: TextIO, *, every: Optional[float] = None) -> None:
        self.total = total
        self.stream = stream
        self.tty = bool(getattr(stream, "isatty", lambda: False)())
        self.every = every if every is not None else (0.2 if self.tty else 5.0)
        self.start = time.monotonic()
        self.next = self.start
        self.shown = False

    def __call__(self, done_bytes: int, rows: int, *, final: bool = False) -> None:
        now = time.monotonic()
        if now < self.next and not final:
            return
        self.next = now + self.every
        elapsed = max(now - self.start, 1e-9)
        size = f"{done_bytes / 1e6:,.1f} MB"
        if self.total:
            size += f" of {self.total / 1e6:,.1f} MB ({min(done_bytes / self.total, 1.0):.0%})"
        text = (f"loading: {size}, {rows:,} rows, {done_bytes / 1e6 / elapsed:,.1f} MB/s, "
                f"{rows / elapsed:,.0f} rows/s")
        self.stream.write(f"\r{text}\x1b[K" if self.tty else text + "\n")
        self.stream.flush()
        self.shown = True

    def finish(self) -> None:
        """Ends the line redrawn on a terminal, so that what follows starts on a line of its own."""
        if self.tty and self.shown:
            self.stream.write("\n")
            self.stream.flush()
