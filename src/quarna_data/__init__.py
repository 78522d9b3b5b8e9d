"""Data layer of the platform: storage connections and table schemas."""

from typing import Any


def __getattr__(name: str) -> Any:
    # The version is looked up when asked for: importlib.metadata costs a command-line call more
    # than a third of its start-up time.
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            value = version("quarna-data")
        except PackageNotFoundError:  # running from a source tree that was never installed
            value = "0+unknown"
        globals()["__version__"] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
