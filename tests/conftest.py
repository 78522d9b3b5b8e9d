import os
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest
from quarna_utils.query.utils import Q

REPO = Path(__file__).resolve().parent.parent
REPO_SRC = REPO / "src"


def _check_installed_build() -> None:
    """The suite must exercise the installed build, never the source tree."""
    import quarna_data
    import quarna_utils

    for package in (quarna_data, quarna_utils):
        location = Path(package.__file__).resolve()
        if REPO_SRC in location.parents:
            raise pytest.UsageError(
                f"{package.__name__} was imported from the source tree ({location}); "
                "run the tests through scripts/test so they use the installed build"
            )
        expected = os.environ.get("QUARNA_EXPECT_PREFIX")
        if expected and Path(expected).resolve() not in location.parents:
            raise pytest.UsageError(
                f"{package.__name__} comes from {location}, not from the venv {expected}"
            )
    for entry in sys.path:
        if Path(entry or ".").resolve() in (REPO, REPO_SRC):
            raise pytest.UsageError(f"{entry or '.'} must not be on sys.path")


def pytest_configure(config):
    # QUARNA_DEV_TREE=1: a developer build put on PYTHONPATH on purpose.
    if not os.environ.get("QUARNA_DEV_TREE"):
        _check_installed_build()


def _mixin_class():
    from quarna_data.connections.implementations.mixins.sqlite_statements_mixin import (
        SqliteStatementsMixin,
    )

    return SqliteStatementsMixin


@pytest.fixture
def db():
    conn = sqlite3.connect(":memory:")
    try:
        yield conn
    finally:
        conn.close()


@pytest.fixture
def mixin(db):
    """An instance of a minimal host class around an in-memory SQLite connection."""

    class Host(_mixin_class()):
        def __init__(self, conn):
            self.conn = conn

        def execute(self, sql, params=()):
            return self.conn.execute(sql, params)

    return Host(db)


# --------------------------------------------------------------------------- hostile objects
# Shared by the robustness and leak tests (``from tests.conftest import ...``): objects whose
# special methods raise, so that every error path of the module is taken.


class Boom(Exception):
    pass


class RaisingEq:
    def __eq__(self, other):
        raise Boom("eq")

    def __ne__(self, other):
        raise Boom("ne")

    __hash__ = object.__hash__


class RaisingEqStr(str):
    def __eq__(self, other):
        raise Boom("eq")

    def __ne__(self, other):
        raise Boom("ne")

    __hash__ = str.__hash__


class RaisingHash:
    def __hash__(self):
        raise Boom("hash")


class RaisingStr:
    """Formatting as text raises, by str() and by format() alike."""

    def __str__(self):
        raise Boom("str")

    def __format__(self, spec):
        raise Boom("format")

    __hash__ = object.__hash__


class RaisingBool:
    def __bool__(self):
        raise Boom("bool")


class RaisingBoolQ(Q):
    def __bool__(self):
        raise Boom("bool")


def run_cli(cwd, *args, stdin=None, debug=False):
    """The tool run as a user runs it, in `cwd`; a traceback on stderr fails the test unless
    `debug` asks for one (QUARNA_DEBUG=1)."""
    env = {k: v for k, v in os.environ.items() if k != "QUARNA_DEBUG"}
    if debug:
        env["QUARNA_DEBUG"] = "1"
    result = subprocess.run([sys.executable, "-m", "quarna_data", *map(str, args)], cwd=cwd, input=stdin,
                            env=env, capture_output=True, text=True, timeout=120)
    assert debug or "Traceback" not in result.stderr, result.stderr
    return result


def cli_fails(result, *fragments):
    """A clean failure: status 1, one line on stderr naming the problem, nothing on stdout."""
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr.startswith("error: ") and result.stderr.count("\n") == 1, result.stderr
    for fragment in fragments:
        assert fragment in result.stderr, result.stderr
    return result.stderr
