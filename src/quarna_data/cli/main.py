"""The parser of the tool and ``main``: the command line in, an exit status out."""

from __future__ import annotations

import argparse
import os
import sqlite3
import sys
import traceback
from typing import List, Optional, Sequence, TextIO

from quarna_data.cli import commands
from quarna_data.cli.errors import UserError, UserInterrupt


def join_negative_orders(argv: List[str]) -> List[str]:
    """``--order -age`` as ``--order=-age``: argparse would take ``-age`` for an option."""
    joined: List[str] = []
    tokens = iter(argv)
    for token in tokens:
        if token == "--order":
            value = next(tokens, None)
            if value is not None and value.startswith("-") and len(value) > 1 and not value.startswith("--"):
                joined.append(f"--order={value}")
                continue
            joined.append(token)
            if value is not None:
                joined.append(value)
            continue
        joined.append(token)
    return joined


class _VersionAction(argparse.Action):
    """``--version``: the installed version, looked up only when asked for (it costs start-up time)."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS,
                 default: str = argparse.SUPPRESS, help: Optional[str] = None) -> None:
        super().__init__(option_strings=option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: object, option_string: Optional[str] = None) -> None:
        import quarna_data

        sys.stdout.write(f"{parser.prog} {quarna_data.__version__}\n")
        parser.exit()


def make_parser() -> argparse.ArgumentParser:
    """The parser of the tool's command line: one subcommand a command module."""
    parser = argparse.ArgumentParser(
        prog="quarna-data",
        description="The SQLite statement layer of the Quarna data platform, on a SQLite file: create "
                    "tables, load JSON lines, CSV or TSV, query them.")
    parser.add_argument("--version", action=_VersionAction, help="print the version and exit")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    commands.add_parsers(sub)
    return parser


def _complete(parser: argparse.ArgumentParser) -> None:
    """Shell completion through argcomplete, when it is installed (``pip install 'quarna-data[completion]'``, then
    ``eval "$(register-python-argcomplete quarna-data)"``). Only imported when the shell asks."""
    try:
        import argcomplete  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        return
    argcomplete.autocomplete(parser)


def _quiet_stdout() -> None:
    """After the reader of standard output went away: nothing more reaches it, not even at exit."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def _debugging() -> bool:
    """QUARNA_DEBUG=1: an error shows its traceback above the one-line message."""
    return os.environ.get("QUARNA_DEBUG", "") not in ("", "0")


def _report(error: BaseException, message: str, err: TextIO) -> None:
    if _debugging():
        error.__suppress_context__ = False  # the error that a message was made from is the interesting part
        traceback.print_exception(type(error), error, error.__traceback__, file=err)
    print(message, file=err)


def main(argv: Optional[Sequence[str]] = None, *, out: Optional[TextIO] = None, err: Optional[TextIO] = None) -> int:
    """Runs the tool on ``argv`` (the process's arguments when None) and returns its exit status."""
    out = out or sys.stdout
    err = err or sys.stderr
    parser = make_parser()
    if "_ARGCOMPLETE" in os.environ:  # the shell asks for completions: answered, then exits
        _complete(parser)
    args = parser.parse_args(join_negative_orders(sys.argv[1:] if argv is None else list(argv)))
    try:
        status: int = args.run(args, out, err)
        out.flush()
        return status
    except UserError as error:
        _report(error, f"error: {error}", err)
    except KeyboardInterrupt as error:
        if isinstance(error, UserInterrupt):
            _report(error, str(error), err)
        elif getattr(error, "committed", None) is True:
            # Seen only once COMMIT had returned: the command's write is complete.
            _report(error, "interrupted after the write was committed: it is complete", err)
            return 0
        elif getattr(error, "committed", None) is False:
            _report(error, "interrupted: nothing was written", err)
        else:
            _report(error, "interrupted", err)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. piped into head): it has all it wanted.
        if out is sys.stdout:
            _quiet_stdout()
        return 0
    except Exception as error:  # noqa: BLE001 - one line, the traceback only with QUARNA_DEBUG=1
        from quarna_data.connections.errors import QuarnaConnectionError

        kind = "" if isinstance(error, (QuarnaConnectionError, sqlite3.Error, ValueError)) else \
            f"{type(error).__name__}: "
        _report(error, f"error: {kind}{error}", err)
    return 1
