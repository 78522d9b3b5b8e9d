from quarna_utils.query.utils import Q


class QueryableMixin:
    """A value that can state itself as a condition tree.

    A filter whose value is queryable is replaced by the tree ``value.to_query(prefix=...)``,
    whose field names all start with the prefix (the filtered field followed by ``__``).
    """

    def to_query(self, prefix: str = "") -> Q:
        raise NotImplementedError(f"{type(self).__name__} does not implement to_query")
