from enum import Enum
from typing import Any, List, Union

from quarna_utils.query.data_models.filter import NESTED_SEPARATOR, Filter, made_filter
from quarna_utils.query.enums import Lookup


class ConnectorEnum(str, Enum):
    AND = "AND"
    OR = "OR"

    def __str__(self) -> str:
        return self.value


def _filter_from_keyword(key: str, value: Any) -> Filter:
    """``age__gte=18`` -> Filter("age", GTE, 18); ``data__city="X"`` -> Filter("data__city", EQ, "X").

    The last ``__`` part is taken as the lookup when it is the (lower-case) value of a Lookup
    member; otherwise the whole key is the field path and the lookup is EQ.
    """
    head, sep, last = key.rpartition(NESTED_SEPARATOR)
    if sep and head:
        lookup = _LOOKUPS.get(last) if last.__class__ is str else None
        if lookup is not None:
            return made_filter(head, lookup, value) if head.__class__ is str else Filter(
                field_name=head, lookup=lookup, value=value)
        try:
            return Filter(field_name=head, lookup=Lookup(last), value=value)
        except ValueError:
            pass
    if key.__class__ is str:
        return made_filter(key, Lookup.EQ, value)
    return Filter(field_name=key, lookup=Lookup.EQ, value=value)


#: The lookups by their values, as ``Lookup(text)`` finds them.
_LOOKUPS = {member.value: member for member in Lookup}


class Q:
    """A condition tree: children (``Q`` sub-trees or ``Filter`` leaves) joined by a connector.

    ``Q(Filter(...), Q(...), _connector=ConnectorEnum.OR, name="Ann", age__gt=18)`` keeps the
    positional children first, then one filter per keyword, in the order given.
    """

    def __init__(
        self,
        *children: Union["Q", Filter],
        _connector: ConnectorEnum = ConnectorEnum.AND,
        _negated: bool = False,
        **lookups: Any,
    ) -> None:
        for child in children:
            if child.__class__ is not Q and child.__class__ is not Filter and not isinstance(child, (Q, Filter)):
                raise TypeError(f"a Q child must be a Q or a Filter, not {type(child).__name__}")
        self.children: List[Union[Q, Filter]] = list(children)
        if lookups:
            self.children.extend([_filter_from_keyword(k, v) for k, v in lookups.items()])
        self.connector = _connector if _connector.__class__ is ConnectorEnum else ConnectorEnum(_connector)
        self.negated = _negated if _negated.__class__ is bool else bool(_negated)

    def _copy(self, *, negated: bool) -> "Q":
        return Q(*self.children, _connector=self.connector, _negated=negated)

    def _combine(self, other: object, connector: ConnectorEnum) -> "Q":
        if not isinstance(other, Q):
            return NotImplemented  # type: ignore[no-any-return]  # the operator protocol's answer
        if not other:
            return self._copy(negated=self.negated)
        if not self:
            return other._copy(negated=other.negated)
        return Q(self, other, _connector=connector)

    def __and__(self, other: object) -> "Q":
        return self._combine(other, ConnectorEnum.AND)

    def __or__(self, other: object) -> "Q":
        return self._combine(other, ConnectorEnum.OR)

    def __invert__(self) -> "Q":
        return self._copy(negated=not self.negated)

    def __bool__(self) -> bool:
        return bool(self.children)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Q):
            return NotImplemented
        return (self.connector, self.negated, self.children) == (
            other.connector,
            other.negated,
            other.children,
        )

    __hash__ = None  # type: ignore[assignment]  # mutable tree

    def __repr__(self) -> str:
        prefix = "NOT " if self.negated else ""
        inner = f" {self.connector.value} ".join(repr(c) for c in self.children)
        return f"<Q: {prefix}({inner})>"
