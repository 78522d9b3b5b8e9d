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
