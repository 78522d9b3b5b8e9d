"""Opening the database file a command names."""

from __future__ import annotations

import os
import sqlite3
from typing import TYPE_CHECKING

from quarna_data.cli.errors import UserError

if TYPE_CHECKING:
    from quarna_data.connections.sqlite import SqliteConnection


def open_database(path: str, mode: str) -> "SqliteConnection":
    """A connection to a database file (``mode`` "ro" or "rw": it must exist; "rwc": created when missing)."""
    from quarna_data.connections.errors import QuarnaConnectionError
    from quarna_data.connections.sqlite import SqliteConnection

    if mode != "rwc" and not os.path.exists(path):
        raise UserError(f"cannot open database {path!r}: no such file")
    if os.path.isdir(path):
        raise UserError(f"cannot open database {path!r}: it is a directory")
    try:
        return SqliteConnection(path, mode=mode)
    except (sqlite3.Error, QuarnaConnectionError) as error:
        raise UserError(f"cannot open database {path!r}: {error}") from None
