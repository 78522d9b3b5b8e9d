import pytest
from quarna_utils.models.enums import Versions
from quarna_utils.query.data_models.filter import Filter
from quarna_utils.query.enums import Lookup, OrderDirection
from quarna_utils.query.utils import ConnectorEnum, Q


def leaves(q):
    return [(c.field_name, c.lookup, c.value) for c in q.children]


@pytest.mark.parametrize(
    "key, field, lookup",
    [
        ("name", "name", Lookup.EQ),
        ("age__gte", "age", Lookup.GTE),
        ("tag__in", "tag", Lookup.IN),
        ("data__city", "data__city", Lookup.EQ),
        ("data__city__istartswith", "data__city", Lookup.ISTARTSWITH),
        ("data__GT", "data__GT", Lookup.EQ),  # lookup names are lower case only
        ("__gt", "__gt", Lookup.EQ),  # no field before the lookup
    ],
)
def test_keyword_becomes_filter(key, field, lookup):
    (leaf,) = Q(**{key: 1}).children
    assert (leaf.field_name, leaf.lookup, leaf.value) == (field, lookup, 1)
    # Keyword leaves are made without validating them again: they are the Filter that
    # validation makes, down to pydantic's own state, and behave as one.
    from pydantic import BaseModel

    valid = Filter(field_name=field, lookup=lookup, value=1)
    assert type(leaf) is Filter and leaf == valid
    assert [getattr(leaf, slot) for slot in ("__dict__", *BaseModel.__slots__)] == \
        [getattr(valid, slot) for slot in ("__dict__", *BaseModel.__slots__)]
    assert leaf.model_dump() == valid.model_dump() and leaf.model_copy(update={"value": 2}).value == 2
    leaf.value = 3
    assert leaf.value == 3 and "value" in leaf.model_fields_set


def test_children_keep_order_positional_first():
    f = Filter(field_name="x", value=0)
    q = Q(f, b=2, a__lt=1)
    assert q.children[0] is f
    assert leaves(q)[1:] == [("b", Lookup.EQ, 2), ("a", Lookup.LT, 1)]


def test_bad_child_is_refused():
    with pytest.raises(TypeError):
        Q("name = 1")


def test_truth_value():
    assert not Q()
    assert Q(a=1)
    assert not Q(_negated=True)


def test_invert_returns_negated_copy():
    q = Q(a=1, _connector=ConnectorEnum.OR)
    nq = ~q
    assert nq is not q and not q.negated and nq.negated
    assert nq.connector is ConnectorEnum.OR and nq.children == q.children
    assert not (~nq).negated


@pytest.mark.parametrize("op, connector", [("__and__", ConnectorEnum.AND), ("__or__", ConnectorEnum.OR)])
def test_combine(op, connector):
    a, b = Q(a=1), ~Q(b=2)
    both = getattr(a, op)(b)
    assert both.connector is connector and not both.negated
    assert both.children == [a, b] and both.children[1].negated
    # an empty side adds nothing
    assert getattr(a, op)(Q()) == a
    assert getattr(Q(), op)(b) == b


def test_combine_with_non_q():
    with pytest.raises(TypeError):
        Q(a=1) & Filter(field_name="a", value=1)


@pytest.mark.parametrize(
    "name, nested", [("age", False), ("data__city", True), ("_address__object_id", True), ("a_b", False)]
)
def test_filter_nested_selection(name, nested):
    assert Filter(field_name=name, value=None).is_nested_selection is nested


def test_filter_keeps_arbitrary_values():
    marker = object()
    assert Filter(field_name="x", lookup=Lookup.IN, value=marker).value is marker


def test_versions_and_lookup_text():
    assert Versions.LATEST == "latest" and Versions.ALL == "all"
    assert "all" == Versions.ALL and Versions("latest") is Versions.LATEST
    assert f"Lookup '{Lookup.REGEX}'" == "Lookup 'regex'"
    assert {Lookup.EQ: 1}[Lookup.EQ] == 1


@pytest.mark.parametrize("cls, values", [
    ("Filter", {"field_name": "data__city", "lookup": Lookup.GT, "value": [1, None]}),
    ("OrderBy", {"field_name": "age", "direction": OrderDirection.DESC}),
    ("NumberPaginator", {"limit": -1, "offset": 0}),
    ("QuerySpecifier", {"only": ["name"], "distinct": []}),
])
def test_made_is_what_model_construct_makes(cls, values):
    # The reads make their query objects without pydantic's walk over the fields; anything of
    # pydantic's own state that differed would show in copies, dumps and comparisons.
    from pydantic import BaseModel
    from quarna_utils.query.data_models import order_by, paginator, query_specifier
    from quarna_utils.query.data_models.made import made

    model = {"Filter": Filter, "OrderBy": order_by.OrderBy, "NumberPaginator": paginator.NumberPaginator,
             "QuerySpecifier": query_specifier.QuerySpecifier}[cls]
    ours, theirs = made(model, dict(values)), model.model_construct(**values)
    slots = ("__dict__", *BaseModel.__slots__)
    assert [getattr(ours, s) for s in slots] == [getattr(theirs, s) for s in slots]
    assert list(vars(ours)) == list(model.model_fields)  # every field, in the class's order
    assert ours == theirs and ours.model_dump() == theirs.model_dump() and ours.model_copy() == theirs
    assert not (model.__private_attributes__ or model.model_config.get("extra") == "allow"
                or model.__pydantic_post_init__)
