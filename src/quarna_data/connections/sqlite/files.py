"""What a path holds, and opening it.

A file that is not a SQLite database is refused before SQLite opens it, and left untouched; so is
a database whose ``metadata`` table is not a table of version records, for everything that needs
the version records. Nothing is created in a database until something is written: the
``metadata`` table comes with the first model table. Databases are switched to write-ahead
logging at their first write (``SqliteConnection.transaction``), so readers are not locked out
while a load runs, and a database left behind by a writer that was killed can still be read.

``UPPER`` is Unicode-aware on these connections (as ``str.upper``), so the case-insensitive
lookups match non-ASCII text, and ``LIKE`` is case-sensitive, so ``startswith``/``contains``/
``endswith`` are too.
"""

from __future__ import annotations

import os
import sqlite3
import stat
import urllib.parse
from typing import Any, Optional

from quarna_data.connections.errors import QuarnaConnectionError
from quarna_data.connections.sqlite.json_paths import CANONICAL_JSON, canonical_json

#: The first bytes of every SQLite database file.
SQLITE_HEADER = b"SQLite format 3\x00"


def unicode_upper(value: Any) -> Any:
    """SQL ``UPPER`` as ``str.upper`` does it, for every script, not ASCII only."""
    if isinstance(value, str):
        return value.upper()
    if value is None:
        return None
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace").upper()
    return str(value).upper()


def describe_file(path: str) -> Optional[str]:
    """What a file that is not a SQLite database holds, or None when SQLite may open it."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return None  # SQLite says what is wrong
    if not stat.S_ISREG(mode) and not stat.S_ISDIR(mode):
        kind = ("a FIFO" if stat.S_ISFIFO(mode) else "a character device" if stat.S_ISCHR(mode)
                else "a block device" if stat.S_ISBLK(mode) else "a socket" if stat.S_ISSOCK(mode)
                else "not a regular file")
        return f"it is {kind}, not a file (give the path of a database file)"
    try:
        with open(path, "rb") as stream:
            head = stream.read(64)
    except (FileNotFoundError, IsADirectoryError, PermissionError):
        return None  # SQLite says what is wrong
    if not head or head.startswith(SQLITE_HEADER):
        return None  # an empty file is an empty database
    text = head.decode("utf-8", "ignore")
    if head[:1] in (b"{", b"[") or text.lstrip()[:1] in ("{", "["):
        return f"it holds JSON text starting {text[:30]!r}"
    if text.isprintable() or all(c.isprintable() or c in "\r\n\t" for c in text):
        return f"it holds text starting {text[:30]!r}"
    return f"it holds binary data starting {head[:16].hex(' ')}"


def open_database(path: str, mode: str) -> sqlite3.Connection:
    """The ``sqlite3`` connection of a path opened in ``mode``, checked to be a database and set up
    for the statements: Unicode-aware ``UPPER``, case-sensitive ``LIKE``."""
    if path != ":memory:":
        problem = describe_file(path)
        if problem:
            raise QuarnaConnectionError(f"{path!r} is not a SQLite database: {problem}")
    conn = _connect(path, mode)
    try:
        try:
            # Fails here, not at the first read, when the file is not a database.
            conn.execute("SELECT count(*) FROM sqlite_master").fetchone()
        except sqlite3.OperationalError as error:
            if "unable to open" in str(error) and _wal_in_closed_directory(path):
                raise QuarnaConnectionError(
                    f"cannot open {path!r}: the database uses write-ahead logging, which needs to create "
                    f"its -wal and -shm files next to it, and its directory is not writable; make the "
                    f"directory writable, or copy the database to one that is") from None
            if mode != "ro" or "readonly" not in str(error):
                raise
            # A writer was killed and left its journal behind, which only a connection that
            # may write can recover; this one still only reads.
            conn.close()
            conn = _connect(path, "rw")
            conn.execute("SELECT count(*) FROM sqlite_master").fetchone()
        if mode == "ro":
            # Besides the read-only file: no statement on this connection may change anything.
            conn.execute("PRAGMA query_only = ON")
        conn.create_function("UPPER", 1, unicode_upper, deterministic=True)
        conn.create_function(CANONICAL_JSON, 1, canonical_json, deterministic=True)
        conn.execute("PRAGMA case_sensitive_like = ON")
    except BaseException:
        conn.close()
        raise
    return conn


def _wal_in_closed_directory(path: str) -> bool:
    try:
        with open(path, "rb") as stream:
            head = stream.read(20)
    except OSError:
        return False
    directory = os.path.dirname(os.path.abspath(path))
    return len(head) == 20 and head[18:20] == b"\x02\x02" and not os.access(directory, os.W_OK)


def _connect(path: str, mode: str) -> sqlite3.Connection:
    # Autocommit mode: transactions are begun and ended by the connection class, explicitly.
    if path == ":memory:" or mode == "rwc":
        return sqlite3.connect(path, isolation_level=None)
    uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=" + mode
    return sqlite3.connect(uri, isolation_level=None, uri=True)
