from typing import Any

from pydantic import BaseModel, ConfigDict

from quarna_utils.query.data_models.made import made
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



def made_filter(field_name: str, lookup: Lookup, value: Any) -> Filter:
    """The ``Filter`` that ``Filter.model_construct`` makes of these three; for a ``str`` field name
    and a ``Lookup`` member it is also the one ``Filter(...)`` validates (query trees are built,
    and copied by checks, at every read)."""
    return made(Filter, {"field_name": field_name, "lookup": lookup, "value": value})
