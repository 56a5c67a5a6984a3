"""Leaks: objects are freed once nothing holds them, and long runs stay flat.

An index holds its objects strongly; a filtered view, a query and an
attribute value holding an object keep it alive too. Once none of them is
left the object must go (a weakref callback proves it), also when its only
holder was dropped with the interpreter lock released, and also when
objects refer to themselves through their attributes.
"""

import gc
import os
import sys
import weakref

import pytest

from Quarrydex import Index, Indexable
from Quarrydex import PyQueryExpr as Q

SANITIZED = os.environ.get("QUARRYDEX_SANITIZER")


class Watch:
    """Records which watched objects have been freed."""

    def __init__(self):
        self.freed = set()
        self._refs = {}

    def __call__(self, obj, label):
        self._refs[label] = weakref.ref(obj, lambda _ref, label=label: self.freed.add(label))
        return obj

    def alive(self, label):
        return label not in self.freed


class Tracked(Indexable):
    pass


@pytest.fixture
def watch():
    gc.collect()
    return Watch()


def _collected():
    gc.collect()
    gc.collect()


# ------------------------------------------------------------ freed once nothing holds it


def test_index_holds_its_objects_until_dropped(watch):
    idx = Index()
    idx.add_object(watch(Indexable(v=1), "plain"))
    idx.add_object_many([watch(Tracked(v=2), "subclass")])
    _collected()
    assert watch.freed == set()
    assert sorted(o.v for o in idx.collect()) == [1, 2]
    del idx
    _collected()
    assert watch.freed == {"plain", "subclass"}


def test_filtered_view_outlives_its_index(watch):
    idx = Index()
    idx.add_object_many([watch(Indexable(v=1), "kept"), watch(Indexable(v=2), "other")])
    view = idx.reduced(v=1)
    del idx
    _collected()
    # The view shares the whole store, so both stay until it goes.
    assert watch.freed == set()
    assert [o.v for o in view.collect()] == [1]
    rebased = view.rebase()
    del view
    _collected()
    assert watch.freed == {"other"}
    assert [o.v for o in rebased.collect()] == [1]
    del rebased
    _collected()
    assert watch.freed == {"kept", "other"}


def test_reduce_frees_dropped_objects_at_once(watch):
    # Their slots are dropped with the interpreter lock released; the queued
    # references are released as soon as the call has the lock back.
    idx = Index()
    idx.add_object_many([watch(Indexable(k=i, tags=[i, "t"]), i) for i in range(6)])
    gc.disable()
    try:
        idx.reduce(k=3)
        assert watch.freed == {0, 1, 2, 4, 5}
    finally:
        gc.enable()
    assert [o.k for o in idx.collect()] == [3]


def test_union_target_and_source_both_hold(watch):
    a, b = Index(), Index()
    a.add_object(watch(Indexable(v=1), "a"))
    b.add_object(watch(Indexable(v=2), "b"))
    a.union_with(b)
    del b
    _collected()
    assert watch.freed == set()
    assert sorted(o.v for o in a.collect()) == [1, 2]
    del a
    _collected()
    assert watch.freed == {"a", "b"}


def test_nested_object_is_freed_when_its_holder_lets_go(watch):
    holder = Indexable(child=watch(Indexable(code="c"), "child"))
    idx = Index()
    idx.add_object(holder)  # the child also enters the nested index
    _collected()
    assert watch.alive("child")
    assert idx.reduced_query(Q.eq("child.code", "c")).collect() == [holder]
    holder.child = None  # leaves the attribute map and the nested index
    _collected()
    assert not watch.alive("child")
    assert idx.reduced_query(Q.eq("child.code", "c")).collect() == []


def test_container_members_are_freed_when_the_value_is_replaced(watch):
    members = [watch(Indexable(n=i), i) for i in range(3)]
    holder = Indexable(items=members)
    idx = Index()
    idx.add_object(holder)
    del members
    _collected()
    assert watch.freed == set()
    holder.items = ()
    _collected()
    assert watch.freed == {0, 1, 2}


def test_query_operand_holds_its_value(watch):
    key = watch(Indexable(), "key")
    query = Q.and_(Q.eq("child", key), Q.in_("child", [key]))
    del key
    _collected()
    assert watch.alive("key")
    del query
    _collected()
    assert not watch.alive("key")


@pytest.mark.parametrize(
    "tie",
    [
        pytest.param(lambda o: setattr(o, "me", o), id="self"),
        pytest.param(lambda o: setattr(o, "items", [1, [o]]), id="via-list"),
        pytest.param(lambda o: setattr(o, "pair", (o, 2)), id="via-tuple"),
        pytest.param(lambda o: setattr(o, "box", {"o": o}), id="via-dict"),
        pytest.param(lambda o: setattr(o, "peer", Indexable(back=o)), id="via-peer"),
        pytest.param(lambda o: o.__dict__.update(me=o), id="via-instance-dict"),
    ],
)
def test_cycles_through_attributes_are_collected(watch, tie):
    for in_index in (False, True):
        obj = watch(Tracked(v=1), in_index)
        tie(obj)
        idx = Index()
        if in_index:
            idx.add_object(obj)
            assert idx.collect() == [obj]
        del obj, idx
        _collected()
        assert not watch.alive(in_index), f"cycle kept alive (in an index: {in_index})"


def test_refused_conversion_releases_what_it_had_converted():
    tracked, plain = Indexable(), object()
    before = sys.getrefcount(tracked), sys.getrefcount(plain)
    holder = Indexable()
    idx = Index()
    idx.add_object(holder)
    for _ in range(200):
        with pytest.raises(OverflowError):
            holder.v = [tracked, plain, [tracked], 2**64]
        with pytest.raises(OverflowError):
            Indexable(v=(plain, tracked, 2**64))
        with pytest.raises(OverflowError):
            idx.get_by_attribute(v=[plain, tracked, 2**64])
        with pytest.raises(OverflowError):
            Q.in_("v", [plain, tracked, 2**64])
    assert (sys.getrefcount(tracked), sys.getrefcount(plain)) == before


# ------------------------------------------------------------ long runs stay flat


def _rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Payload:
    """An attribute value indexed by identity, with a little weight."""

    def __init__(self, n):
        self.data = bytes(64) + n.to_bytes(4, "little")


def _one_round(size, watch, round_no):
    objs = [
        watch(
            Indexable(
                n=i,
                f=i / 3,
                s=f"name-{i:06d}-{'x' * (i % 40)}",
                b=i % 2 == 0,
                tags=[i % 5, f"t{i % 7}", (i, "pair")],
                u=Payload(i),
                child=Indexable(code=f"c{i % 11}"),
            ),
            (round_no, i),
        )
        for i in range(size)
    ]
    first, second = Index(), Index()
    first.add_object_many(objs[: size // 2])
    for obj in objs[size // 2 :]:
        first.add_object(obj)
    second.add_object_many(objs[::3])
    for obj in objs[::4]:
        obj.n = -obj.n
        obj.s = obj.s.upper()
        obj.tags = {obj.n, "changed"}
        obj.child = Indexable(code="new")
    assert len(first.get_by_attribute(b=True)) == size // 2
    query = Q.or_(Q.starts_with("s", "NAME"), Q.and_(Q.bt("f", 10, 20), Q.not_(Q.eq("tags", 3))))
    view = first.reduced_query(query)
    narrower = view.reduced(b=False).reduced_query(Q.eq("child.code", "new"))
    assert all(o.child.code == "new" for o in narrower.collect())
    rebased = narrower.rebase()
    first.union_with(second)
    first.reduce(b=True)
    second.reduced_query(Q.contains("s", "-0")).collect()
    return len(rebased.collect())


def _checked_round(size, round_no):
    watch = Watch()
    _one_round(size, watch, round_no)
    _collected()
    # Every object of the round is freed once the round's indexes are gone.
    assert watch.freed == {(round_no, i) for i in range(size)}


def test_long_mixed_workload_leaves_memory_flat():
    size = 400 if SANITIZED else 1500
    rounds = 6 if SANITIZED else 40
    for warm in range(3):
        _checked_round(size, -1 - warm)
    start = _rss_bytes()
    for r in range(rounds):
        _checked_round(size, r)
    growth = _rss_bytes() - start
    # One round allocates several megabytes, so a per-object leak of even a
    # few bytes in any step would show as growth across the rounds.
    if not SANITIZED:  # the sanitizers' quarantine makes RSS meaningless
        assert growth < 6 * 1024 * 1024, f"RSS grew by {growth / 1e6:.1f} MB over {rounds} rounds"


def test_refused_calls_in_a_loop_leave_memory_flat():
    holder = Indexable(v=1)
    idx = Index()
    idx.add_object(holder)
    bad = [Indexable(), "x" * 100, 2**64]

    def refuse_all():
        for call in (
            lambda: setattr(holder, "v", bad),
            lambda: Indexable(v=bad),
            lambda: idx.reduced(v=bad),
            lambda: Q.in_("v", bad),
            lambda: idx.add_object_many([holder, 5]),
            lambda: setattr(holder, "v", "\ud800"),
        ):
            try:
                call()
            except (OverflowError, TypeError, UnicodeEncodeError):
                pass
            else:
                raise AssertionError("accepted")

    for _ in range(2000):
        refuse_all()
    _collected()
    start = _rss_bytes()
    for _ in range(20_000):
        refuse_all()
    _collected()
    growth = _rss_bytes() - start
    assert holder.v == 1 and idx.get_by_attribute(v=1) == [holder]
    if not SANITIZED:
        assert growth < 2 * 1024 * 1024, f"RSS grew by {growth / 1e6:.1f} MB"
