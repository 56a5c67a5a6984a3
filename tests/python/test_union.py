"""Index.union_with: merging one index into another."""

import gc

import pytest

from conftest import Population
from Quarrydex import Index, Indexable
from Quarrydex import PyQueryExpr as Q


class Token:
    pass


TOKEN_A, TOKEN_B = Token(), Token()


@pytest.fixture
def pair():
    leaf = Indexable(c=1, s="leaf")
    objs = {
        "a_only": Indexable(n=1, s="apple", flag=True, who=TOKEN_A, tags=["red"]),
        "both": Indexable(n=2, s="banana", flag=False, who=None, tags=["yellow"]),
        "b_only": Indexable(n=3.5, s="cherry", flag=True, who=TOKEN_B, tags=["dark", ("deep",)]),
        "b_none": Indexable(n=-4, who=None, child=leaf),
        "b_nested": Indexable(n=5, child=Indexable(c=2, s="twig"), box=[Indexable(c=9)]),
    }
    pop = Population(objs)
    a, b = Index(), Index()
    a.add_object_many([objs["a_only"], objs["both"]])
    for label in ("both", "b_only", "b_none", "b_nested"):
        b.add_object(objs[label])
    return pop, a, b, leaf


B_LABELS = ["both", "b_only", "b_none", "b_nested"]
ALL_LABELS = ["a_only", *B_LABELS]


@pytest.mark.parametrize(
    "query, labels",
    [
        (Q.and_(), ALL_LABELS),
        (Q.eq("n", 3.5), ["b_only"]),
        (Q.gt("n", 2), ["b_only", "b_nested"]),
        (Q.lt("n", 0), ["b_none"]),
        (Q.eq("s", "cherry"), ["b_only"]),
        (Q.starts_with("s", "b"), ["both"]),
        (Q.eq("flag", True), ["a_only", "b_only"]),
        (Q.eq("who", None), ["both", "b_none"]),
        (Q.eq("who", TOKEN_B), ["b_only"]),
        (Q.eq("who", TOKEN_A), ["a_only"]),
        (Q.eq("tags", "dark"), ["b_only"]),
        (Q.eq("tags", "deep"), ["b_only"]),
        (Q.eq("child.c", 1), ["b_none"]),
        (Q.eq("child.s", "twig"), ["b_nested"]),
        (Q.gt("child.c", 0), ["b_none", "b_nested"]),
        (Q.eq("box.c", 9), ["b_nested"]),
        (Q.ne("flag", True), ["both", "b_none", "b_nested"]),
    ],
    ids=repr,
)
def test_target_answers_as_if_each_object_had_been_added(pair, query, labels):
    pop, a, b, _ = pair
    assert a.union_with(b) is None
    pop.check(a.reduced_query(query).collect(), labels)
    # The same answer as an index that was given every object directly.
    direct = Index()
    for obj in pop.objects():
        direct.add_object(obj)
    pop.check(direct.reduced_query(query).collect(), labels)


def test_source_is_unchanged_and_usable(pair):
    pop, a, b, _ = pair
    a.union_with(b)
    pop.check(b.collect(), B_LABELS)
    assert b.get_by_attribute(n=1) == []
    late = Indexable(n=1)
    b.add_object(late)
    assert b.get_by_attribute(n=1) == [late]
    pop.check(a.get_by_attribute(n=1), ["a_only"])


def test_merged_objects_follow_later_writes(pair):
    pop, a, b, leaf = pair
    a.union_with(b)
    pop.by_label["b_only"].n = 100
    pop.by_label["b_only"].tags = ["pale"]
    pop.by_label["b_only"].who = TOKEN_A
    pop.by_label["both"].s = "berry"
    leaf.c = 11
    for idx in (a, b):
        pop.check(idx.get_by_attribute(n=100), ["b_only"])
        assert idx.get_by_attribute(n=3.5) == []
        assert idx.get_by_attribute(tags="dark") == []
        pop.check(idx.get_by_attribute(tags="pale"), ["b_only"])
        pop.check(idx.get_by_attribute(s="berry"), ["both"])
        assert idx.get_by_attribute(who=TOKEN_B) == []
        pop.check(idx.reduced_query(Q.eq("child.c", 11)).collect(), ["b_none"])
    pop.check(a.get_by_attribute(who=TOKEN_A), ["a_only", "b_only"])


def test_target_keeps_merged_objects_after_source_is_gone(pair):
    pop, a, b, _ = pair
    a.union_with(b)
    del b
    gc.collect()
    pop.check(a.collect(), ALL_LABELS)
    pop.by_label["b_nested"].n = 50
    pop.check(a.get_by_attribute(n=50), ["b_nested"])


def test_union_with_itself_changes_nothing(pair, watchdog):
    pop, a, _, _ = pair
    a.union_with(a)
    pop.check(a.collect(), ["a_only", "both"])
    pop.check(a.get_by_attribute(tags="red"), ["a_only"])


def test_union_with_an_empty_index(pair):
    pop, a, _, _ = pair
    a.union_with(Index())
    pop.check(a.collect(), ["a_only", "both"])
    empty = Index()
    empty.union_with(a)
    pop.check(empty.collect(), ["a_only", "both"])
    pop.check(empty.get_by_attribute(who=TOKEN_A), ["a_only"])


def test_union_with_a_reduced_source(pair):
    pop, a, b, _ = pair
    b.reduce(flag=True)
    a.union_with(b)
    pop.check(a.collect(), ["a_only", "both", "b_only"])
    assert a.get_by_attribute(who=None) == [pop.by_label["both"]]


def test_union_is_repeatable(pair):
    pop, a, b, _ = pair
    a.union_with(b)
    a.union_with(b)
    b.union_with(a)
    pop.check(a.collect(), ALL_LABELS)
    pop.check(b.collect(), ALL_LABELS)
    pop.check(b.get_by_attribute(tags="red"), ["a_only"])
    pop.by_label["a_only"].tags = []
    assert b.get_by_attribute(tags="red") == []
