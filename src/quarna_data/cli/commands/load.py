"""``load DB TABLE FILE``: JSON lines, or CSV/TSV with a header row (``--csv``, ``--tsv``), from a file
or standard input (``-``) into a table, all or nothing, streaming. ``--replace``/``--ignore`` say
what happens to a row of a plain table whose key is already there."""

from __future__ import annotations

import argparse
import sqlite3
from typing import Any, Optional, TextIO

from quarna_data.cli.database import open_database
from quarna_data.cli.delimited import DelimitedSource
from quarna_data.cli.errors import UserError, UserInterrupt
from quarna_data.cli.lines import LoadSource
from quarna_data.cli.progress import Progress


def add_parser(subparsers: Any) -> None:
    """Adds ``load`` to the subcommands."""
    load = subparsers.add_parser("load", help="load JSON lines, CSV or TSV into a table, all or nothing")
    load.add_argument("db", help="SQLite file")
    load.add_argument("table", help="table to load into")
    load.add_argument("file", help="a file of JSON objects, one a line, or - for standard input; "
                                   "for a model table every object needs \"_object_id\" and becomes a new version")
    kind = load.add_mutually_exclusive_group()
    kind.add_argument("--csv", dest="kind", action="store_const", const="csv",
                      help="the file is CSV with a header row naming the columns; cells are typed by the "
                           "declared column types, an empty cell is NULL")
    kind.add_argument("--tsv", dest="kind", action="store_const", const="tsv",
                      help="the file is tab-separated, as for --csv")
    conflict = load.add_mutually_exclusive_group()
    conflict.add_argument("--replace", dest="on_conflict", action="store_const", const="replace",
                          help="plain tables with a key: a row whose key is already there replaces the "
                               "stored row (a later line of the file wins over an earlier one)")
    conflict.add_argument("--ignore", dest="on_conflict", action="store_const", const="ignore",
                          help="plain tables with a key: a row whose key is already there is skipped "
                               "(the stored row, or the earlier line, stays)")
    load.add_argument("--progress", action="store_true",
                      help="report progress on standard error even when it is not a terminal")
    load.set_defaults(run=run)


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    """Loads the file into the table in one transaction and says how many rows were written."""
    from quarna_data.connections.sqlite import RejectedRow

    conn = open_database(args.db, "rw")
    commits = conn.commits
    written = [0]  # as the host reports it after each statement
    kind = "rows"
    try:
        info = conn.table_info(args.table)
        kind = "object versions" if info.model and not info.internal else "rows"
        show = args.progress or bool(getattr(err, "isatty", lambda: False)())
        model = info.model and not info.internal
        source = (LoadSource(args.file, model, None) if args.kind is None else
                  DelimitedSource(args.file, model, None, kind=args.kind, description=info.description))
        progress = Progress(source.size(), err) if show else None
        source.progress = progress
        try:
            count = conn.load(args.table, source, progress=lambda n: written.__setitem__(0, n),
                              on_conflict=args.on_conflict)
        except RejectedRow as error:
            line = source.line_of(error.index)
            where = f"{source.name}:{line}" if line is not None else f"{source.name}: item {error.index + 1}"
            field = f"field {error.field!r}: " if error.field is not None else ""
            hint = "; --replace or --ignore say what to do with it" if error.reason.startswith("key ") else ""
            raise UserError(f"{where}: {field}{error.reason}{hint}; nothing was loaded") from None
        except (sqlite3.Error, TypeError, ValueError) as error:
            raise UserError(f"nothing was loaded: {error}") from None
        finally:
            if progress is not None:
                progress.finish()
        skipped = f" ({source.items - count} skipped: their key was there)" if args.on_conflict == "ignore" else ""
        print(f"loaded {count} {kind} into {args.table}{skipped}", file=out)
        return 0
    except KeyboardInterrupt as error:
        # Ctrl-C after COMMIT began: the load is complete, and a second run would save every
        # object again; before: nothing of it is written.
        if conn.commits == commits:
            raise UserInterrupt("interrupted: nothing was loaded") from error
        committed: Optional[int] = getattr(error, "count", None)
        count = written[0] if committed is None else committed
        print(f"loaded {count} {kind} into {args.table}", file=out)
        print(f"interrupted after the load was committed: all {count} {kind} are written", file=err)
        return 0
    finally:
        conn.close()
