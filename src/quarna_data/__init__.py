"""Data layer of the platform: storage connections and table schemas."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("quarna-data")
except PackageNotFoundError:  # running from a source tree that was never installed
    __version__ = "0+unknown"
