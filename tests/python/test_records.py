"""The per-object record: values of every kind read back and are found the
same way whether an object holds one attribute or many, and one object in
several indexes stays consistent in all of them."""

import gc
import weakref

import pytest

from Quarrydex import Index, Indexable
from Quarrydex import PyQueryExpr as Q


class Text(str):
    pass


class Token:
    pass


TOKEN = Token()
CONTAINER = [1, "a"]
SUBCLASSED = Text("sub")  # not a built-in str: kept and compared as the object

# value stored, what reads give back, whether reads give back the same object
ROUND_TRIPS = [
    (0, 0, False),
    (-(2**63), -(2**63), False),
    (2**63 - 1, 2**63 - 1, False),
    (2.5, 2.5, False),
    (-0.0, -0.0, False),
    (True, True, False),
    ("", "", False),
    ("a" * 15, "a" * 15, False),
    ("b" * 16, "b" * 16, False),
    ("\u00fc" * 8, "\u00fc" * 8, False),
    ("\u00fc" * 7 + "a", "\u00fc" * 7 + "a", False),
    ("a\x00b", "a\x00b", False),
    ("\x00" * 20, "\x00" * 20, False),
    ("long text " * 20, "long text " * 20, False),
    (SUBCLASSED, SUBCLASSED, True),
    (CONTAINER, CONTAINER, True),
    (TOKEN, TOKEN, True),
]


@pytest.mark.parametrize("neighbours", [0, 3, 12], ids=["alone", "small map", "table"])
@pytest.mark.parametrize("stored, expected, same", ROUND_TRIPS, ids=repr)
def test_values_read_back_and_are_found(stored, expected, same, neighbours):
    extra = {f"n{i}": i for i in range(neighbours)}
    built = Indexable(**extra, v=stored)
    written = Indexable(**extra)
    idx = Index()
    idx.add_object_many([built, written])
    written.v = stored
    for obj in (built, written):
        got = obj.v
        assert type(got) is type(expected)
        assert got is expected if same else got == expected
        if isinstance(expected, float):
            assert str(got) == str(expected)  # keeps the sign of zero
        assert [getattr(obj, k) for k in extra] == list(extra.values())
        assert repr(obj) == f"<Indexable with {neighbours + 1} attributes>"
    if not isinstance(stored, list):
        assert sorted(map(id, idx.get_by_attribute(v=stored))) == sorted([id(built), id(written)])
    if type(expected) is str and expected:
        found = idx.reduced_query(Q.starts_with("v", expected[:3])).collect()
        assert len(found) == 2


@pytest.mark.parametrize(
    "value, equal, unequal",
    [
        (1, [1, 1.0], [True, 2, "1", 1.5]),
        (0.0, [0, -0.0], [False, "0", 1]),
        (True, [True], [1, 1.0, False]),
        ("x" * 16, ["x" * 16], ["x" * 15, "x" * 17]),
    ],
)
def test_equality_across_kinds_is_kept(value, equal, unequal):
    obj = Indexable(v=value)
    idx = Index()
    idx.add_object(obj)
    for other in equal:
        assert idx.get_by_attribute(v=other) == [obj], other
    for other in unequal:
        assert idx.get_by_attribute(v=other) == [], other


@pytest.mark.parametrize("length", [15, 16, 200])
def test_text_outlives_the_str_it_was_made_from(length):
    # Text is built at run time, so the record holds the only reference to it.
    def text(seed):
        return "".join(chr(0x61 + (seed + i) % 26) for i in range(length))

    built = Indexable(v=text(0))
    written = Indexable()
    idx = Index()
    idx.add_object_many([built, written])
    written.v = text(1)
    gc.collect()
    assert (built.v, written.v) == (text(0), text(1))
    assert idx.get_by_attribute(v=text(1)) == [written]
    written.v = text(0)
    assert len(idx.get_by_attribute(v=text(0))) == 2 and not idx.get_by_attribute(v=text(1))


def test_one_object_in_several_indexes():
    # Ten attributes: past the point where the map changes form.
    objs = [Indexable(**{f"a{i}": i * k for i in range(10)}, name=f"o{k}") for k in range(6)]
    target = objs[2]
    indexes = [Index() for _ in range(3)]
    for idx in indexes:
        idx.add_object_many(objs)
    target.a9 = -1
    target.name = "renamed beyond fifteen bytes"
    for idx in indexes:
        assert idx.get_by_attribute(a9=-1) == [target]
        assert idx.get_by_attribute(a9=18) == []
        assert idx.get_by_attribute(name="renamed beyond fifteen bytes") == [target]
        assert idx.reduced_query(Q.lt("a9", 0)).collect() == [target]
    indexes[0].remove_object(target)
    target.a1 = 1000
    assert indexes[0].get_by_attribute(a1=1000) == []
    for idx in indexes[1:]:
        assert idx.get_by_attribute(a1=1000) == [target]
    # Out of every index, then back into one: only that one follows writes.
    for idx in indexes[1:]:
        idx.remove_object(target)
    target.a1 = 2000
    indexes[1].add_object(target)
    target.a1 = 3000
    assert [idx.get_by_attribute(a1=3000) for idx in indexes] == [[], [target], []]
    assert indexes[1].get_by_attribute(a1=2000) == []
    ref = weakref.ref(target)
    del target, objs
    for idx in indexes:
        assert len(idx) == (6 if idx is indexes[1] else 5)
    del indexes, idx
    gc.collect()
    assert ref() is None


def _random_steps(seed, count=120):
    import random

    rng = random.Random(seed)
    return [(rng.choice(["add", "add", "remove", "drop", "new"]), rng.randrange(4)) for _ in range(count)]


LINK_STEPS = {
    "two indexes": [("add", 0), ("add", 1), ("remove", 0), ("remove", 1), ("add", 1)],
    "three, added out of order": [("add", 2), ("add", 0), ("add", 1), ("remove", 1), ("add", 1)],
    "added twice": [("add", 0), ("add", 0), ("remove", 0), ("add", 0)],
    "index dropped, then another added": [("add", 0), ("add", 1), ("drop", 0), ("add", 2), ("remove", 1)],
    "only index dropped, relinked to a new one": [("add", 0), ("drop", 0), ("new", 0), ("add", 0)],
    "every index dropped": [("add", 0), ("add", 1), ("add", 2), ("drop", 1), ("drop", 0), ("drop", 2),
                            ("new", 1), ("add", 1), ("add", 3)],
    "random a": _random_steps(1),
    "random b": _random_steps(2),
}


@pytest.mark.parametrize("steps", LINK_STEPS.values(), ids=LINK_STEPS.keys())
def test_writes_reach_exactly_the_indexes_that_hold_the_object(steps):
    target = Indexable(v=-1, name="t")
    other = Indexable(v=-1, name="o")
    indexes = [Index() for _ in range(4)]
    held = [False] * 4
    for step, (op, i) in enumerate(steps):
        if op == "add" and indexes[i] is not None:
            if step % 2:
                indexes[i].add_object_many([other, target])
            else:
                indexes[i].add_object(target)
            held[i] = True
        elif op == "remove" and held[i]:
            indexes[i].remove_object(target)
            held[i] = False
        elif op in ("drop", "new"):
            indexes[i] = None if op == "drop" else Index()
            held[i] = False
            gc.collect()
        target.v = step
        for idx, holds in zip(indexes, held):
            if idx is not None:
                assert idx.get_by_attribute(v=step) == ([target] if holds else []), (step, op, i)
                assert idx.reduced_query(Q.ge("v", step)).collect() == ([target] if holds else [])
    ref = weakref.ref(target)
    del target
    gc.collect()
    assert (ref() is None) == (not any(held))
