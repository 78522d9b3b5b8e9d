from enum import Enum


class Versions(str, Enum):
    """Version selectors of a stored object; each member equals its own value."""

    LATEST = "latest"
    ALL = "all"

    def __str__(self) -> str:
        return self.value
