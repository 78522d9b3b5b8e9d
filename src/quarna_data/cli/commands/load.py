"""``load DB TABLE FILE``: JSON lines (``-`` for standard input) into a table, all or nothing,
streaming."""

from __future__ import annotations

import sqlite3
from typing import TextIO

from quarna_data.cli.database import open_database
from quarna_data.cli.errors import UserError, UserInterrupt
from quarna_data.cli.lines import LoadSource
from quarna_data.cli.progress import Progress


def add_parser(subparsers) -> None:
    load = subparsers.add_parser("load", help="load JSON lines into a table, all or nothing")
    load.add_argument("db", help="SQLite file")
    load.add_argument("table", help="table to load into")
    load.add_argument("file", help="a file of JSON objects, one a line, or - for standard input; "
                                   "for a model table every object needs \"_object_id\" and becomes a new version")
    load.add_argument("--progress", action="store_true",
                      help="report progress on standard error even when it is not a terminal")
    load.set_defaults(run=run)


def run(args, out: TextIO, err: TextIO) -> int:
    from quarna_data.connections.sqlite import RejectedRow

    conn = open_database(args.db, "rw")
    commits = conn.commits
    written = [0]  # as the host reports it after each statement
    kind = "rows"
    try:
        info = conn.table_info(args.table)
        kind = "object versions" if info.model and not info.internal else "rows"
        show = args.progress or bool(getattr(err, "isatty", lambda: False)())
        source = LoadSource(args.file, info.model and not info.internal, None)
        progress = Progress(source.size(), err) if show else None
        source.progress = progress
        try:
            count = conn.load(args.table, source, progress=lambda n: written.__setitem__(0, n))
        except RejectedRow as error:
            line = source.line_of(error.index)
            where = f"{source.name}:{line}" if line is not None else f"{source.name}: item {error.index + 1}"
            field = f"field {error.field!r}: " if error.field is not None else ""
            raise UserError(f"{where}: {field}{error.reason}; nothing was loaded") from None
        except (sqlite3.Error, TypeError, ValueError) as error:
            raise UserError(f"nothing was loaded: {error}") from None
        finally:
            if progress is not None:
                progress.finish()
        print(f"loaded {count} {kind} into {args.table}", file=out)
        return 0
    except KeyboardInterrupt as error:
        # Ctrl-C after COMMIT began: the load is complete, and a second run would save every
        # object again; before: nothing of it is written.
        if conn.commits == commits:
            raise UserInterrupt("interrupted: nothing was loaded") from error
        count = getattr(error, "count", None)
        count = written[0] if count is None else count
        print(f"loaded {count} {kind} into {args.table}", file=out)
        print(f"interrupted after the load was committed: all {count} {kind} are written", file=err)
        return 0
    finally:
        conn.close()
