"""``get DB TABLE ID``: one version of an object, as JSON: the latest, a given one, or the one
that was the latest at a time."""

from __future__ import annotations

import argparse
import json
from typing import Any, Dict, TextIO

from quarna_data.cli.arguments import parse_time
from quarna_data.cli.database import open_database
from quarna_data.cli.formats import json_default


def add_parser(subparsers: Any) -> None:
    """Adds ``get`` to the subcommands."""
    get = subparsers.add_parser(
        "get", help="show one object of a model table",
        description="Show one version of an object as JSON: the latest, the version given, or the one "
                    "that was the latest at a time.")
    get.add_argument("db", help="SQLite file")
    get.add_argument("table", help="model table")
    get.add_argument("id", help="the object id")
    which = get.add_mutually_exclusive_group()
    which.add_argument("--version", metavar="V", help="this version instead of the latest")
    which.add_argument("--as-of", metavar="TIME",
                       help="the version that was the latest at TIME: ISO 8601 with a time zone "
                            "(2024-05-01T12:00:00Z) or seconds since the epoch")
    get.add_argument("--meta", action="store_true", help="include the version record (_metadata)")
    get.set_defaults(run=run)


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    """Prints the version as JSON, its ids first; the version record only with ``--meta``."""
    from quarna_data.connections.sqlite.schema import METADATA_COLUMN

    as_of = parse_time(args.as_of) if args.as_of is not None else None
    with open_database(args.db, "ro") as conn:
        record = conn.get(args.table, args.id, version=args.version, as_of=as_of)
        front: Dict[str, Any] = {key: record.pop(key) for key in ("_object_id", "_object_version") if key in record}
        meta = record.pop(METADATA_COLUMN, None)
        record = {**front, **record}
        if args.meta:
            record[METADATA_COLUMN] = meta
        out.write(json.dumps(record, ensure_ascii=False, indent=2, default=json_default) + "\n")
        return 0
