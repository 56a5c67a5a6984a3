"""Object lifetimes: what keeps objects alive, and that nothing leaks."""

import gc
import os
import sys
import threading
import weakref

import pytest

from Quarrydex import Index, Indexable
from Quarrydex import PyQueryExpr as Q


class Obj(Indexable):
    """A weakly referenceable indexable object."""


class Token:
    """A weakly referenceable plain value."""


def collected(ref):
    gc.collect()
    return ref() is None


def all_collected(refs):
    gc.collect()
    return all(r() is None for r in refs)


# ------------------------------------------------------------ who keeps an object alive


def _in_index(obj):
    idx = Index()
    idx.add_object(obj)
    return [idx]


def _in_batch(obj):
    idx = Index()
    idx.add_object_many([obj, Obj(b=1)])
    return [idx]


def _in_view(obj):
    idx = Index()
    idx.add_object(obj)
    return [idx.reduced(a=1)]  # the index itself is dropped


def _in_rebased(obj):
    idx = Index()
    idx.add_object(obj)
    return [idx.reduced().rebase()]


def _in_iterator(obj):
    idx = Index()
    idx.add_object(obj)
    return [iter(idx)]  # the index itself is dropped


def _in_union_target(obj):
    source, target = Index(), Index()
    source.add_object(obj)
    target.union_with(source)
    return [target]


def _as_attribute_value(obj):
    return [Indexable(child=obj)]


def _as_list_member(obj):
    return [Indexable(tags=[1, (obj,)])]


def _as_nested_value_in_an_index(obj):
    holder = Indexable(child=obj)
    idx = Index()
    idx.add_object(holder)
    del holder
    return [idx]


def _as_query_operand(obj):
    return [Q.eq("child", obj), Q.in_("x", [obj])]


HOLDERS = [
    _in_index,
    _in_batch,
    _in_view,
    _in_rebased,
    _in_iterator,
    _in_union_target,
    _as_attribute_value,
    _as_list_member,
    _as_nested_value_in_an_index,
    _as_query_operand,
]


@pytest.mark.parametrize("hold", HOLDERS, ids=lambda f: f.__name__.strip("_"))
def test_object_lives_exactly_as_long_as_a_holder(hold):
    obj = Obj(a=1, tags=["t"])
    ref = weakref.ref(obj)
    holders = hold(obj)
    del obj
    assert not collected(ref)
    holders.clear()
    assert collected(ref)


def test_dropping_the_holder_frees_the_values_it_held():
    token = Token()
    inner = Obj(p=1)
    refs = [weakref.ref(token), weakref.ref(inner)]
    holder = Obj(a=token, b=inner, c=[token, inner])
    idx = Index()
    idx.add_object(holder)
    del token, inner
    gc.collect()
    assert all(r() is not None for r in refs)
    del holder
    gc.collect()
    assert all(r() is not None for r in refs)  # the index still holds the holder
    del idx
    assert all_collected(refs)


@pytest.mark.parametrize(
    "wrap",
    [lambda v: v, lambda v: [v], lambda v: ((v,),), lambda v: {v}],
    ids=["bare", "list", "nested-tuple", "set"],
)
@pytest.mark.parametrize("make", [Token, lambda: Obj(p=1)], ids=["token", "indexable"])
def test_replaced_values_are_released_while_the_index_lives(wrap, make):
    value = make()
    ref = weakref.ref(value)
    holder = Obj(a=wrap(value))
    idx = Index()
    idx.add_object(holder)
    idx.reduced_query(Q.eq("a", value)).collect()
    del value
    holder.a = 2
    assert collected(ref)
    assert idx.get_by_attribute(a=2) == [holder]


def test_reference_counts_return_to_baseline():
    token = Token()
    text = "a string long enough to live on the heap"
    base = sys.getrefcount(token), sys.getrefcount(text)
    idx = Index()
    holders = [Obj(a=token, s=text, l=[token, text]) for _ in range(5)]
    idx.add_object_many(holders)
    other = Index()
    other.union_with(idx)
    assert len(idx.reduced_query(Q.eq("a", token)).collect()) == 5
    assert len(idx.get_by_attribute(l=token)) == 5
    view = idx.reduced(s=text).rebase()
    q = Q.or_(Q.eq("a", token), Q.in_("l", [text]))
    assert len(view.reduced_query(q).collect()) == 5
    del idx, holders, other, view, q
    gc.collect()
    assert (sys.getrefcount(token), sys.getrefcount(text)) == base


def _add_twice(idx, obj):
    idx.add_object(obj)
    idx.add_object(obj)


def _listed_twice(idx, obj):
    idx.add_object_many([obj, Obj(a=2), obj])


def _removed(idx, obj):
    idx.add_object_many([obj])
    idx.remove_object(obj)


def _reduced_away(idx, obj):
    idx.add_object(obj)
    idx.reduce(a=2)


def _united(idx, obj):
    idx.add_object(obj)
    idx.union_with(idx)
    other = Index()
    other.add_object(obj)
    other.union_with(idx)
    return [other]


def _rebased_and_viewed(idx, obj):
    idx.add_object(obj)
    return [idx.reduced(a=1).rebase(), idx.reduced(a=1), iter(idx)]


@pytest.mark.parametrize(
    "op, stores",
    [(_add_twice, 1), (_listed_twice, 1), (_removed, 0), (_reduced_away, 0), (_united, 2),
     (_rebased_and_viewed, 2)],
    ids=lambda x: getattr(x, "__name__", str(x)).strip("_"),
)
def test_each_store_holds_one_reference(op, stores):
    obj = Obj(a=1)
    base = sys.getrefcount(obj)
    idx = Index()
    kept = op(idx, obj)
    assert sys.getrefcount(obj) == base + stores
    del idx, kept
    gc.collect()
    assert sys.getrefcount(obj) == base


def test_references_dropped_on_other_threads_are_released():
    # Writes and reductions running on worker threads drop values while the
    # interpreter lock is released; those releases must still happen.
    tokens = [Token() for _ in range(50)]
    refs = [weakref.ref(t) for t in tokens]
    objs = [Obj(a=t, l=[t]) for t in tokens]
    idx = Index()
    idx.add_object_many(objs)
    del tokens

    def work(chunk):
        for obj in chunk:
            obj.a = 0
            obj.l = []

    threads = [threading.Thread(target=work, args=(objs[i::2],)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    idx.reduce(a=0)
    Index().collect()  # any entry point runs queued releases
    assert all_collected(refs)


def test_reduce_releases_dropped_objects():
    kept, dropped = Obj(k=1), Obj(k=2)
    refs = weakref.ref(kept), weakref.ref(dropped)
    idx = Index()
    idx.add_object_many([kept, dropped])
    del kept, dropped
    idx.reduce(k=1)
    assert not collected(refs[0])
    assert collected(refs[1])


# ------------------------------------------------------------ memory stays flat


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _churn(rounds):
    for r in range(rounds):
        tokens = [Token() for _ in range(20)]
        objs = [
            Indexable(
                n=i,
                s=f"string number {i} that is long",
                tags=[i, str(i), tokens[i % 20]],
                child=Indexable(p=i % 7, q=[i]),
                flag=i % 2 == 0,
            )
            for i in range(1500)
        ]
        idx = Index()
        idx.add_object_many(objs[:750])
        for obj in objs[750:]:
            idx.add_object(obj)
        for obj in objs[::5]:
            obj.tags = [obj.n + 1, "x"]
            obj.child = Indexable(p=1)
        idx.reduced_query(Q.and_(Q.gt("n", 100), Q.eq("child.p", 1))).collect()
        copy = idx.reduced(flag=True).rebase()
        copy.union_with(idx)
        copy.reduce(flag=False)
        del objs, idx, copy, tokens
        exact = [Indexable(x=i) for i in range(600)]
        del exact


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(
    bool(os.environ.get("QUARRYDEX_SANITIZER")), reason="a sanitizer's quarantine inflates RSS"
)
def test_memory_stays_flat_under_churn():
    _churn(3)  # warm-up: free lists, interned names, allocator pools
    gc.collect()
    start = _rss_bytes()
    _churn(15)
    gc.collect()
    growth = _rss_bytes() - start
    # Leaking the objects of each round would cost well over 100 MB here.
    assert growth < 24 * 1024 * 1024, f"resident memory grew by {growth / 2**20:.1f} MiB"
