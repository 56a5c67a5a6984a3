"""Narrowing: Index.reduced/reduced_query/reduce and FilteredIndex views."""

import gc
import sys

import pytest

from conftest import Population
from Quarrydex import FilteredIndex, Index, Indexable
from Quarrydex import PyQueryExpr as Q


@pytest.fixture
def grid():
    objs = {f"{a}{b}": Indexable(a=a, b=b, tags=[a, f"t{b}"]) for a in "xyz" for b in (1, 2, 3)}
    pop = Population(objs)
    idx = Index()
    idx.add_object_many(pop.objects())
    return pop, idx


def labels_where(pop, pred):
    return [lb for lb in pop.by_label if pred(lb)]


# ------------------------------------------------------------ surface


FILTERED_ERRORS = [
    (lambda f: f.collect(1), "FilteredIndex.collect() takes 0 positional arguments but 1 was given"),
    (lambda f: f.rebase(1), "FilteredIndex.rebase() takes 0 positional arguments but 1 was given"),
    (lambda f: f.reduced(1), "FilteredIndex.reduced() takes 0 positional arguments but 1 was given"),
    (
        lambda f: f.reduced_query(5),
        "argument 'query': 'int' object cannot be converted to 'PyQueryExpr'",
    ),
    (
        lambda f: f.reduced_query(f),
        "argument 'query': 'FilteredIndex' object cannot be converted to 'PyQueryExpr'",
    ),
    (
        lambda f: f.reduced_query(),
        "FilteredIndex.reduced_query() missing 1 required positional argument: 'query'",
    ),
    (
        lambda f: f.collect(x=1),
        "FilteredIndex.collect() got an unexpected keyword argument 'x'",
    ),
]


@pytest.mark.parametrize("call, message", FILTERED_ERRORS)
def test_filtered_argument_errors(grid, call, message):
    pop, idx = grid
    view = idx.reduced(a="x")
    with pytest.raises(TypeError) as info:
        call(view)
    assert str(info.value) == message
    pop.check(view.collect(), ["x1", "x2", "x3"])


def test_filtered_index_cannot_be_made_directly():
    with pytest.raises(TypeError) as info:
        FilteredIndex()
    assert str(info.value) == "No constructor defined for FilteredIndex"
    with pytest.raises(TypeError):
        FilteredIndex.__new__(FilteredIndex)


# ------------------------------------------------------------ narrowing


def test_everything_selectors(grid):
    pop, idx = grid
    for view in (idx.reduced(), idx.reduced_query(Q.and_())):
        assert isinstance(view, FilteredIndex)
        pop.check(view.collect(), pop.by_label)
        pop.check(view.reduced().collect(), pop.by_label)


def test_narrowing_twice_equals_narrowing_once(grid):
    pop, idx = grid
    twice = idx.reduced(a="y").reduced(b=2).collect()
    once = idx.reduced(a="y", b=2).collect()
    assert twice == once
    pop.check(once, ["y2"])
    pop.check(idx.reduced(tags="t3").reduced(tags="z").collect(), ["z3"])
    pop.check(idx.reduced(a="y").reduced(b=4).collect(), [])
    assert idx.reduced(a="nothing").collect() == []


def test_negation_on_a_view_stays_inside_it(grid):
    pop, idx = grid
    view = idx.reduced(a="x")
    pop.check(view.reduced_query(Q.not_(Q.eq("b", 1))).collect(), ["x2", "x3"])
    pop.check(view.reduced_query(Q.ne("b", 1)).collect(), ["x2", "x3"])
    pop.check(view.reduced_query(Q.or_(Q.eq("b", 1), Q.eq("a", "y"))).collect(), ["x1"])
    pop.check(view.reduced_query(Q.in_("b", [1, 2])).collect(), ["x1", "x2"])


def test_a_view_never_changes(grid):
    pop, idx = grid
    view = idx.reduced(a="x")
    view.reduced(b=1)
    view.reduced_query(Q.eq("b", 2))
    pop.check(view.collect(), ["x1", "x2", "x3"])


def test_views_see_later_writes_but_keep_their_ids(grid):
    pop, idx = grid
    view = idx.reduced(a="x")
    pop.by_label["x1"].b = 7
    pop.by_label["y1"].a = "x"  # not in the view's ids
    pop.check(view.reduced(b=7).collect(), ["x1"])
    pop.check(view.reduced(b=1).collect(), [])
    pop.check(view.collect(), ["x1", "x2", "x3"])
    pop.check(view.reduced_query(Q.gt("b", 2)).collect(), ["x1", "x3"])


# ------------------------------------------------------------ reduce in place


def test_reduce_keeps_only_matches(grid):
    pop, idx = grid
    assert idx.reduce(a="y") is None
    pop.check(idx.collect(), ["y1", "y2", "y3"])
    assert idx.reduced_query(Q.eq("a", "x")).collect() == []
    pop.check(idx.reduced_query(Q.not_(Q.eq("b", 1))).collect(), ["y2", "y3"])
    pop.check(idx.get_by_attribute(tags="t2"), ["y2"])
    pop.check(idx.reduced_query(Q.contains("tags", "t")).collect(), ["y1", "y2", "y3"])
    idx.reduce()
    pop.check(idx.collect(), ["y1", "y2", "y3"])
    idx.reduce(b=9)
    assert idx.collect() == []


def test_dropped_objects_do_not_come_back_through_writes(grid):
    pop, idx = grid
    idx.reduce(b=1)
    dropped = pop.by_label["x2"]
    dropped.b = 1
    dropped.tags = ["t1", "again"]
    dropped.a = "y"
    pop.check(idx.collect(), ["x1", "y1", "z1"])
    pop.check(idx.get_by_attribute(b=1), ["x1", "y1", "z1"])
    assert idx.get_by_attribute(tags="again") == []
    pop.check(idx.get_by_attribute(a="y"), ["y1"])
    pop.check(idx.reduced_query(Q.ne("a", "x")).collect(), ["y1", "z1"])
    # Kept objects still follow their writes.
    pop.by_label["x1"].tags = ["new"]
    pop.check(idx.get_by_attribute(tags="new"), ["x1"])
    pop.check(idx.get_by_attribute(tags="t1"), ["y1", "z1"])


def test_reduce_drops_nested_values_of_dropped_objects():
    inner_keep, inner_drop = Indexable(c=1, s="keep"), Indexable(c=1, s="drop")
    keep = Indexable(k=1, child=inner_keep, bag=[Indexable(c=5)])
    drop = Indexable(k=2, child=inner_drop, bag=[Indexable(c=5)])
    pop = Population({"keep": keep, "drop": drop})
    idx = Index()
    idx.add_object_many([keep, drop])
    pop.check(idx.reduced_query(Q.eq("child.c", 1)).collect(), ["keep", "drop"])
    idx.reduce(k=1)
    pop.check(idx.reduced_query(Q.eq("child.c", 1)).collect(), ["keep"])
    pop.check(idx.reduced_query(Q.eq("bag.c", 5)).collect(), ["keep"])
    pop.check(idx.reduced_query(Q.eq("child.s", "keep")).collect(), ["keep"])
    assert idx.reduced_query(Q.eq("child.s", "drop")).collect() == []
    assert idx.reduced_query(Q.eq("child", inner_drop)).collect() == []
    # A write on the dropped holder's nested object reaches nothing here.
    inner_drop.c = 2
    assert idx.reduced_query(Q.eq("child.c", 2)).collect() == []
    inner_keep.c = 3
    pop.check(idx.reduced_query(Q.eq("child.c", 3)).collect(), ["keep"])


def test_reduce_does_not_touch_other_indexes(grid):
    pop, idx = grid
    other = Index()
    other.add_object_many(pop.objects())
    view = idx.reduced(b=2)
    idx.reduce(a="z")
    pop.check(other.collect(), pop.by_label)
    pop.check(other.get_by_attribute(a="x"), ["x1", "x2", "x3"])
    pop.by_label["x2"].b = 5
    pop.check(other.get_by_attribute(b=5), ["x2"])
    # The view shares the reduced index's structures: its ids stay, the
    # objects dropped by reduce are no longer listed.
    pop.check(view.collect(), ["z2"])


# ------------------------------------------------------------ views outliving their index


def test_view_works_after_its_index_is_deleted(grid):
    pop, idx = grid
    view = idx.reduced_query(Q.ne("a", "z"))
    del idx
    gc.collect()
    pop.check(view.collect(), labels_where(pop, lambda lb: lb[0] != "z"))
    pop.check(view.reduced(b=3).collect(), ["x3", "y3"])
    pop.by_label["x3"].b = 30
    pop.by_label["y1"].tags = ["fresh"]
    pop.check(view.reduced_query(Q.eq("b", 30)).collect(), ["x3"])
    pop.check(view.reduced_query(Q.eq("b", 3)).collect(), ["y3"])
    pop.check(view.reduced(tags="fresh").collect(), ["y1"])
    rebuilt = view.rebase()
    pop.check(rebuilt.get_by_attribute(b=30), ["x3"])


# ------------------------------------------------------------ rebase


def test_rebase_builds_an_independent_index(grid):
    pop, idx = grid
    view = idx.reduced_query(Q.or_(Q.eq("b", 1), Q.eq("a", "z")))
    rebuilt = view.rebase()
    assert isinstance(rebuilt, Index)
    expected = ["x1", "y1", "z1", "z2", "z3"]
    pop.check(rebuilt.collect(), expected)
    assert rebuilt.reduced().collect() == view.collect()
    pop.check(rebuilt.get_by_attribute(b=1), ["x1", "y1", "z1"])
    pop.check(rebuilt.reduced_query(Q.gt("b", 1)).collect(), ["z2", "z3"])
    pop.check(rebuilt.reduced_query(Q.starts_with("tags", "t")).collect(), expected)
    # Rebuilt indexes follow writes like any index the objects were added to.
    pop.by_label["z3"].b = 1
    pop.check(rebuilt.get_by_attribute(b=1), ["x1", "y1", "z1", "z3"])
    pop.check(idx.get_by_attribute(b=1), ["x1", "y1", "z1", "z3"])
    # Narrowing the rebuilt index leaves the original alone.
    rebuilt.reduce(a="x")
    pop.check(rebuilt.collect(), ["x1"])
    pop.check(idx.collect(), pop.by_label)


def test_rebase_of_nested_values():
    inner = Indexable(c=4)
    holder = Indexable(child=inner, k=1)
    idx = Index()
    idx.add_object_many([holder, Indexable(k=2)])
    rebuilt = idx.reduced(k=1).rebase()
    assert rebuilt.reduced_query(Q.eq("child.c", 4)).collect() == [holder]
    inner.c = 5
    assert rebuilt.reduced_query(Q.eq("child.c", 5)).collect() == [holder]
    assert rebuilt.reduced_query(Q.eq("child.c", 4)).collect() == []


def test_rebase_of_nothing():
    idx = Index()
    idx.add_object(Indexable(a=1))
    rebuilt = idx.reduced(a=2).rebase()
    assert rebuilt.collect() == []
    assert idx.reduced(a=2).collect() == []


@pytest.mark.parametrize("gone", [lambda i: i % 3 == 0, lambda i: i >= 300, lambda i: i < 700])
def test_view_collect_skips_removed_objects_across_blocks(gone):
    # More ids than one decoded block, with holes at the start, middle or end.
    objs = [Indexable(k=i % 2) for i in range(1000)]
    idx = Index()
    idx.add_object_many(objs)
    view = idx.reduced_query(Q.ne("k", 2))
    for i, o in enumerate(objs):
        if gone(i):
            idx.remove_object(o)
    kept = [o for i, o in enumerate(objs) if not gone(i)]
    counts = [sys.getrefcount(o) for o in objs]
    got = view.collect()
    assert len(got) == len(kept) and {id(o) for o in got} == {id(o) for o in kept}
    assert [sys.getrefcount(o) for o in objs] == [c + (not gone(i)) for i, c in enumerate(counts)]
    del got
    assert [sys.getrefcount(o) for o in objs] == counts
