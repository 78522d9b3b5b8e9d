"""Data layer of the platform: storage connections and table schemas.

The names a user of the SQLite connection needs are importable from here::

    from quarna_data import SqliteConnection, Q, Filter, Lookup, OrderBy

``SqliteConnection`` is ``quarna_data.connections.sqlite.SqliteConnection``; the query model
(``Q``, ``Filter``, ``Lookup``, ``OrderBy``, ``OrderDirection``, ``NumberPaginator``,
``QuerySpecifier``, ``ConnectorEnum``, ``Versions``) comes from ``quarna_utils``, the package the
query model lives in, which is installed with this one. Each is imported when first asked for,
so importing ``quarna_data`` (and starting the command-line tool) stays cheap.
"""

from typing import TYPE_CHECKING, Any, Dict, List

if TYPE_CHECKING:
    from quarna_data.connections.errors import QuarnaConnectionError
    from quarna_data.connections.sqlite import RejectedRow, SqliteConnection
    from quarna_utils.models.enums import Versions
    from quarna_utils.query.data_models.filter import Filter
    from quarna_utils.query.data_models.order_by import OrderBy
    from quarna_utils.query.data_models.paginator import NumberPaginator
    from quarna_utils.query.data_models.query_specifier import QuerySpecifier
    from quarna_utils.query.enums import Lookup, OrderDirection
    from quarna_utils.query.utils import ConnectorEnum, Q

# name -> the module it is imported from
_LAZY: Dict[str, str] = {
    "SqliteConnection": "quarna_data.connections.sqlite",
    "RejectedRow": "quarna_data.connections.sqlite",
    "QuarnaConnectionError": "quarna_data.connections.errors",
    "Q": "quarna_utils.query.utils",
    "ConnectorEnum": "quarna_utils.query.utils",
    "Filter": "quarna_utils.query.data_models.filter",
    "Lookup": "quarna_utils.query.enums",
    "OrderBy": "quarna_utils.query.data_models.order_by",
    "OrderDirection": "quarna_utils.query.enums",
    "NumberPaginator": "quarna_utils.query.data_models.paginator",
    "QuerySpecifier": "quarna_utils.query.data_models.query_specifier",
    "Versions": "quarna_utils.models.enums",
}

__all__ = list(_LAZY)


def __getattr__(name: str) -> Any:
    module = _LAZY.get(name)
    if module is not None:
        import importlib

        value = getattr(importlib.import_module(module), name)
        globals()[name] = value
        return value
    # The version is looked up when asked for: importlib.metadata costs a command-line call more
    # than a third of its start-up time.
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            text = version("quarna-data")
        except PackageNotFoundError:  # running from a source tree that was never installed
            text = "0+unknown"
        globals()["__version__"] = text
        return text
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(_LAZY) | {"__version__"})
