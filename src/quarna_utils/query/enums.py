from enum import Enum


class Lookup(str, Enum):
    """Comparison applied by a filter. ``str(member)`` is the lookup's value, e.g. ``"gte"``."""

    EQ = "eq"
    NEQ = "neq"
    GT = "gt"
    GTE = "gte"
    LT = "lt"
    LTE = "lte"
    IN = "in"
    CONTAINS = "contains"
    ICONTAINS = "icontains"
    STARTSWITH = "startswith"
    ISTARTSWITH = "istartswith"
    ENDSWITH = "endswith"
    IENDSWITH = "iendswith"
    ISNULL = "isnull"
    # Understood by other connections, not by every one.
    REGEX = "regex"
    IREGEX = "iregex"

    def __str__(self) -> str:
        return self.value


class OrderDirection(str, Enum):
    ASC = "asc"
    DESC = "desc"

    def __str__(self) -> str:
        return self.value
