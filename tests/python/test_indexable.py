"""Indexable: construction, attribute reads and writes, refused values."""

import pytest

from Quarrydex import Index, Indexable
from Quarrydex import PyQueryExpr as Q

try:
    import numpy as np
except ImportError:  # numpy is optional for the module
    np = None

needs_numpy = pytest.mark.skipif(np is None, reason="numpy not installed")


class Token:
    """A plain hashable object, tracked by identity."""


# ------------------------------------------------------------ construction


@pytest.mark.parametrize(
    "args, kwargs, count",
    [
        ((), {}, 0),
        ((1, 2), {"a": 3}, 1),
        (("x", None, []), {}, 0),
        ((), {"a": 1, "b": "s", "c": None, "d": [1]}, 4),
    ],
)
def test_repr_counts_tracked_attributes(args, kwargs, count):
    obj = Indexable(*args, **kwargs)
    assert repr(obj) == f"<Indexable with {count} attributes>"


def test_positional_arguments_are_ignored():
    obj = Indexable(1, 2, a=3)
    assert obj.a == 3
    assert [n for n in dir(obj) if n in ("a", "0", "1")] == ["a"]


def test_constructor_signature():
    assert Indexable.__text_signature__ == "(*_args, **kwargs)"


def test_keyword_with_unencodable_name_is_skipped():
    obj = Indexable(**{"\ud800": 1, "ok": 2})
    assert repr(obj) == "<Indexable with 1 attributes>"
    assert obj.ok == 2


def test_reassignment_keeps_the_count():
    obj = Indexable(a=1)
    obj.a = 2
    obj.a = "x"
    obj.b = 3
    assert repr(obj) == "<Indexable with 2 attributes>"
    assert obj.a == "x"


# ------------------------------------------------------------ reading back


def _same_object(value):
    return lambda got: got is value


LIST_VALUE = [1, "a"]
TUPLE_VALUE = (1, 2)
DICT_VALUE = {"k": 1}
SET_VALUE = {1, 2}
TOKEN = Token()
NESTED = Indexable(z=1)
FROZEN = frozenset({1})


@pytest.mark.parametrize(
    "value, expected_type",
    [
        (5, int),
        (-(2**63), int),
        (2**63 - 1, int),
        (2.5, float),
        (-0.0, float),
        ("text", str),
        ("ünïcödé 日本", str),
        (True, bool),
        (False, bool),
    ],
)
def test_scalars_read_back_as_builtins(value, expected_type):
    obj = Indexable(v=value)
    got = obj.v
    assert type(got) is expected_type
    assert got == value
    if isinstance(value, float):
        assert repr(got) == repr(value)  # keeps the sign of zero


@pytest.mark.parametrize(
    "value",
    [LIST_VALUE, TUPLE_VALUE, DICT_VALUE, SET_VALUE, TOKEN, NESTED, FROZEN, None, b"raw"],
    ids=["list", "tuple", "dict", "set", "token", "indexable", "frozenset", "none", "bytes"],
)
def test_other_values_read_back_as_the_same_object(value):
    obj = Indexable()
    obj.v = value
    assert obj.v is value


@needs_numpy
@pytest.mark.parametrize(
    "make, expected_type, expected",
    [
        (lambda: np.int64(5), int, 5),
        (lambda: np.float64(2.5), float, 2.5),
        (lambda: np.str_("abc"), str, "abc"),
        (lambda: np.bool_(True), bool, True),
    ],
)
def test_numpy_scalars_read_back_as_builtins(make, expected_type, expected):
    obj = Indexable(v=make())
    assert type(obj.v) is expected_type
    assert obj.v == expected


@needs_numpy
def test_other_numpy_scalars_are_kept_as_objects():
    value = np.int32(5)
    obj = Indexable(v=value)
    assert obj.v is value


# ------------------------------------------------------------ missing and deleted attributes


def test_missing_attribute_error_carries_only_the_name():
    obj = Indexable(a=1)
    with pytest.raises(AttributeError) as info:
        obj.missing
    assert info.value.args == ("missing",)
    assert not hasattr(obj, "nope")
    assert getattr(obj, "nope", 7) == 7


@pytest.mark.parametrize("name", ["a", "never_set", "_private"])
def test_delete_is_refused(name):
    obj = Indexable(a=1, _private=2)
    with pytest.raises(AttributeError) as info:
        delattr(obj, name)
    assert str(info.value) == "can't delete attribute"
    assert obj.a == 1
    assert obj._private == 2
    assert repr(obj) == "<Indexable with 2 attributes>"


def test_non_str_names_are_type_errors():
    obj = Indexable(a=1)
    with pytest.raises(TypeError):
        setattr(obj, 1, 2)
    with pytest.raises(TypeError):
        getattr(obj, 1)
    with pytest.raises(TypeError) as info:
        obj.__setattr__(1, 2)
    assert "argument 'name'" in str(info.value)
    with pytest.raises(TypeError):
        obj.__getattribute__(1)
    assert repr(obj) == "<Indexable with 1 attributes>"


def test_underscore_and_empty_names_are_stored():
    obj = Indexable()
    setattr(obj, "", 1)
    obj._hidden = 2
    assert getattr(obj, "") == 1
    assert obj._hidden == 2
    assert repr(obj) == "<Indexable with 2 attributes>"


# ------------------------------------------------------------ subclasses


class Record(Indexable):
    kind = "class attribute"
    setter_calls = []

    def method(self):
        return "method"

    @property
    def prop(self):
        return "from property"

    @prop.setter
    def prop(self, value):
        Record.setter_calls.append(value)

    def __init__(self, *args, **kwargs):
        self.initialised = True


def test_subclass_reads_fall_back_to_class_lookup():
    obj = Record(a=1)
    assert obj.method() == "method"
    assert obj.kind == "class attribute"
    assert obj.prop == "from property"
    assert obj.initialised is True
    assert obj.a == 1


def test_tracked_attributes_shadow_methods_and_properties():
    obj = Record(method=1, kind=2)
    assert obj.method == 1
    assert obj.kind == 2
    Record.setter_calls.clear()
    obj.prop = 5
    assert Record.setter_calls == []
    assert obj.prop == 5


def test_subclass_init_writes_are_indexed():
    class Point(Indexable):
        def __init__(self, x, y):
            self.x = x
            self.y = y

    pts = [Point(1, 2), Point(3, 4)]
    idx = Index()
    idx.add_object_many(pts)
    assert idx.get_by_attribute(x=3) == [pts[1]]
    assert idx.reduced_query(Q.gt("y", 1)).collect() == sorted(
        pts, key=lambda p: idx.collect().index(p)
    )


def test_dir_lists_tracked_and_inherited_names():
    obj = Record(alpha=1, beta=2)
    listing = dir(obj)
    for name in ("alpha", "beta", "method", "prop", "__repr__", "__class__"):
        assert name in listing
    # Tracked names come first, before everything the default listing adds.
    assert set(obj.__dir__()[:2]) == {"alpha", "beta"}


# ------------------------------------------------------------ refused values


def _self_listing():
    inner = [1]
    inner.append(inner)
    return inner


REFUSED = [
    (2**63, OverflowError, None),
    (-(2**63) - 1, OverflowError, None),
    (2**100, OverflowError, None),
    ("\ud800", UnicodeEncodeError, None),
    ("ok\udfffok", UnicodeEncodeError, None),
    (bytearray(b"x"), TypeError, "unhashable type: 'bytearray'"),
    ([1, 2**64], OverflowError, None),
    ((1, "\ud800"), UnicodeEncodeError, None),
    ({2**70}, OverflowError, None),
    ([[1, [bytearray()]]], TypeError, "unhashable type: 'bytearray'"),
    ([1, {"a": 1}, [[2**63]]], OverflowError, None),
]
REFUSED_IDS = [
    "int-2^63",
    "int-below-min",
    "int-2^100",
    "lone-surrogate",
    "embedded-surrogate",
    "bytearray",
    "list-with-big-int",
    "tuple-with-surrogate",
    "set-with-big-int",
    "nested-bytearray",
    "deep-big-int",
]


@pytest.mark.parametrize("value, exc, message", REFUSED, ids=REFUSED_IDS)
def test_constructor_refuses_unrepresentable_values(value, exc, message):
    with pytest.raises(exc) as info:
        Indexable(a=1, v=value)
    if message is not None:
        assert str(info.value) == f"attribute 'v': {message}"


@pytest.mark.parametrize("value, exc, message", REFUSED, ids=REFUSED_IDS)
def test_refused_write_keeps_the_old_value_everywhere(value, exc, message):
    obj = Indexable(v=7, tags=["t"])
    other = Indexable(v=8)
    idx = Index()
    idx.add_object_many([obj, other])
    with pytest.raises(exc) as info:
        obj.v = value
    if message is not None:
        assert str(info.value) == f"attribute 'v': {message}"
    with pytest.raises(exc):
        obj.tags = value
    with pytest.raises(exc):
        obj.fresh = value
    assert obj.v == 7
    assert obj.tags == ["t"]
    assert not hasattr(obj, "fresh")
    assert repr(obj) == "<Indexable with 2 attributes>"
    assert idx.get_by_attribute(v=7) == [obj]
    assert idx.get_by_attribute(tags="t") == [obj]
    assert idx.reduced_query(Q.ge("v", 7)).collect() == sorted(
        [obj, other], key=idx.collect().index
    )


def test_dict_members_are_not_checked():
    # A dict value records nothing, so what it holds never needs converting.
    obj = Indexable(d={"k": bytearray()})
    assert obj.d["k"] == bytearray()


@pytest.mark.parametrize("boundary", [2**63 - 1, -(2**63)])
def test_int64_boundaries_are_accepted(boundary):
    obj = Indexable(v=boundary)
    idx = Index()
    idx.add_object(obj)
    assert obj.v == boundary
    assert idx.get_by_attribute(v=boundary) == [obj]


def test_self_containing_containers_do_not_hang(watchdog):
    listing = _self_listing()
    table = {}
    table["me"] = table
    obj = Indexable(l=listing, d=table)
    idx = Index()
    idx.add_object(obj)
    assert obj.l is listing
    assert idx.get_by_attribute(l=1) == [obj]
    assert idx.get_by_attribute(l=2) == []
    obj.l = [3]
    assert idx.get_by_attribute(l=1) == []
    assert idx.get_by_attribute(l=3) == [obj]
    again = [4]
    again.append((again, [again]))
    obj.l = again
    assert idx.get_by_attribute(l=3) == []
    assert idx.get_by_attribute(l=4) == [obj]
    obj.l = 5
    assert idx.get_by_attribute(l=4) == []
