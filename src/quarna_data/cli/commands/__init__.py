"""The commands of the tool, one module each.

A command module has ``add_parser(subparsers)``, which adds its subparser and sets
``run(args, out, err) -> exit status`` as its default. Adding a command is a new module here and
its name in ``NAMES``.
"""

from __future__ import annotations

import argparse
import importlib

# In the order the help lists them.
NAMES = ("create", "tables", "load", "query", "get", "history", "delete", "dump", "restore", "describe",
         "schema", "sql", "demo")


def add_parsers(subparsers: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    """Adds the subparser of every command, in the order of NAMES."""
    for name in NAMES:
        importlib.import_module(f"{__name__}.{name}").add_parser(subparsers)
