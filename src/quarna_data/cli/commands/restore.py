"""``restore DB TABLE FILE``: a dump written back into a table, all or nothing."""

from __future__ import annotations

import argparse
import sys
from typing import Any, TextIO

from quarna_data.cli.database import open_database
from quarna_data.cli.errors import UserError


def add_parser(subparsers: Any) -> None:
    """Adds ``restore`` to the subcommands."""
    restore = subparsers.add_parser(
        "restore", help="write a dump back into a table, all or nothing",
        description="Write a dump (from the dump command) into a table, all or nothing: every version "
                    "keeps its number, chain, times and transaction. The table is created from the dump's "
                    "columns when missing (and the file when it does not exist); an existing table must "
                    "have the same columns, and the dump's objects must not be in the database yet.")
    restore.add_argument("db", help="SQLite file (created when missing)")
    restore.add_argument("table", help="table to restore into")
    restore.add_argument("file", help="a dump, or - for standard input")
    restore.set_defaults(run=run)


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    """Restores the dump in one transaction and says how many versions or rows were written."""
    from quarna_data.connections.errors import QuarnaConnectionError

    if args.file == "-":
        stream = sys.stdin.buffer
    else:
        try:
            stream = open(args.file, "rb")
        except OSError as error:
            raise UserError(f"cannot read {args.file!r}: {error.strerror}") from None
    try:
        conn = open_database(args.db, "rwc")
        try:
            count = conn.restore(args.table, stream)
            model = conn.table_info(args.table).model
        except QuarnaConnectionError as error:
            raise UserError(f"{error}; nothing was restored") from None
        finally:
            conn.close()
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()
    kind = "object versions" if model else "rows"
    print(f"restored {count} {kind} into {args.table}", file=out)
    return 0
