"""``dump DB TABLE [FILE]``: a table as JSON lines, every version with its version record, for
``restore``."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, TextIO

from quarna_data.cli.database import open_database
from quarna_data.cli.errors import UserError


def add_parser(subparsers: Any) -> None:
    """Adds ``dump`` to the subcommands."""
    dump = subparsers.add_parser(
        "dump", help="write a table as JSON lines, for restore",
        description="Write a table as JSON lines: a first line describing the table, then, of a model "
                    "table, every version of every object with its whole version record (ids, numbers, "
                    "chain, times, transaction), or the rows of a plain table. restore writes it back; "
                    "a dump of the restored table is the same, byte for byte.")
    dump.add_argument("db", help="SQLite file")
    dump.add_argument("table", help="table to dump")
    dump.add_argument("file", nargs="?", default="-", help="file to write (default -, standard output); "
                                                           "written whole or not at all")
    dump.set_defaults(run=run)


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    """Writes the dump to standard output, or to the file whole or not at all."""
    with open_database(args.db, "ro") as conn:
        lines = conn.dump(args.table)
        if args.file == "-":
            target = out.buffer if out is sys.stdout and hasattr(out, "buffer") else None
            for line in lines:
                if target is not None:
                    target.write(line.encode("utf-8"))
                else:
                    out.write(line)
            return 0
        partial = f"{args.file}.partial"
        count = -1
        try:
            with open(partial, "w", encoding="utf-8", newline="\n") as stream:
                for count, line in enumerate(lines):
                    stream.write(line)
            os.replace(partial, args.file)
        except OSError as error:
            raise UserError(f"cannot write {args.file!r}: {error.strerror}") from None
        finally:
            if os.path.exists(partial):
                os.unlink(partial)
        print(f"dumped {args.table} to {args.file} ({count} lines after the header)", file=err)
        return 0
