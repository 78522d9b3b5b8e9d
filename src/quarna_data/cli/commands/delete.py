"""``delete DB TABLE ID``: an object with all its versions (or one version with ``--version``)."""

from __future__ import annotations

import argparse
from typing import Any, TextIO

from quarna_data.cli.database import open_database
from quarna_data.cli.errors import UserError


def add_parser(subparsers: Any) -> None:
    """Adds ``delete`` to the subcommands."""
    delete = subparsers.add_parser(
        "delete", help="delete an object with all its versions",
        description="Delete an object of a model table with all its versions and their version records, "
                    "in one transaction; with --version, that version only (the versions around it are "
                    "linked up). Version numbers are not given out again.")
    delete.add_argument("db", help="SQLite file")
    delete.add_argument("table", help="model table")
    delete.add_argument("id", help="the object id")
    delete.add_argument("--version", metavar="V", help="delete this version only")
    delete.set_defaults(run=run)


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    """Deletes the object (or the version) and says how many versions were deleted."""
    from quarna_data.connections.sqlite.schema import MODEL_KEY_COLUMNS

    with open_database(args.db, "rw") as conn:
        if args.version is None:
            count = conn.delete_object(args.table, args.id)
        else:
            if not conn.table_info(args.table).model:
                raise UserError(f"table {args.table!r} is not a model table")
            object_key, version_key = MODEL_KEY_COLUMNS[:2]
            count = conn.delete(args.table, {object_key: args.id, version_key: args.version})
        if not count:
            what = f"version {args.version!r} of object" if args.version is not None else "object"
            raise UserError(f"table {args.table!r} has no {what} {args.id!r}; nothing was deleted")
        print(f"deleted {count} version{'s' if count != 1 else ''} of {args.id} from {args.table}", file=out)
        return 0
