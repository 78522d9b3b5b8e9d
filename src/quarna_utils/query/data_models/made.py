"""Query objects made of values already checked, at the cost of a plain object.

``BaseModel.model_construct`` walks every field of the class (aliases, defaults) at each call;
the reads build and copy several query objects each, so they are made here instead."""

from typing import Any, Dict, Type, TypeVar

from pydantic import BaseModel

Model = TypeVar("Model", bound=BaseModel)

_new = object.__new__
_set = object.__setattr__


def made(cls: Type[Model], values: Dict[str, Any]) -> Model:
    """The object ``cls.model_construct(**values)`` makes, for ``values`` that give every field of
    the class, in the order the class declares them, on a class without aliases, extra fields,
    private attributes or a post-init hook (the query models)."""
    obj = _new(cls)
    _set(obj, "__dict__", values)
    _set(obj, "__pydantic_fields_set__", set(values))
    _set(obj, "__pydantic_extra__", None)
    _set(obj, "__pydantic_private__", None)
    return obj
