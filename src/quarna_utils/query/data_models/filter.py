from typing import Any

from pydantic import BaseModel, ConfigDict

from quarna_utils.query.enums import Lookup

NESTED_SEPARATOR = "__"


class Filter(BaseModel):
    """One comparison of a field (or of a nested path ``field__key__...``) with a value."""

    model_config = ConfigDict(arbitrary_types_allowed=True)

    field_name: str
    lookup: Lookup = Lookup.EQ
    value: Any = None

    @property
    def is_nested_selection(self) -> bool:
        return NESTED_SEPARATOR in self.field_name


_new = object.__new__
_set = object.__setattr__
_FIELDS = ("field_name", "lookup", "value")


def made_filter(field_name: str, lookup: Lookup, value: Any) -> Filter:
    """The ``Filter`` that ``Filter.model_construct`` makes of these three, without its general walk
    over the fields; for a ``str`` field name and a ``Lookup`` member it is also the one
    ``Filter(...)`` validates (query trees are built, and copied by checks, at every read)."""
    leaf = _new(Filter)
    _set(leaf, "__dict__", {"field_name": field_name, "lookup": lookup, "value": value})
    _set(leaf, "__pydantic_fields_set__", set(_FIELDS))
    _set(leaf, "__pydantic_extra__", None)
    _set(leaf, "__pydantic_private__", None)
    return leaf

