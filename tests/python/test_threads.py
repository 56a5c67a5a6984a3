"""Several Python threads working on shared indexes at once.

Each test runs its workers for a bounded time under a watchdog (a hang dumps
every stack and ends the process), then checks that every index answers as a
fresh index built in one thread from the objects' final attribute values.
"""

import faulthandler
import gc
import random
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest

from conftest import id_order
from Quarrydex import Index, Indexable
from Quarrydex import PyQueryExpr as Q

RUN_SECONDS = 2.5
JOIN_SECONDS = 60


def run_workers(workers, seconds=RUN_SECONDS):
    """Runs callables in threads for a while; returns the exceptions they raised."""
    errors = []
    stop = threading.Event()

    def guarded(fn, seed):
        rnd = random.Random(seed)
        try:
            while not stop.is_set():
                fn(rnd)
        except BaseException as exc:  # PanicException is not an Exception
            errors.append(exc)

    threads = [threading.Thread(target=guarded, args=(fn, i)) for i, fn in enumerate(workers)]
    faulthandler.dump_traceback_later(JOIN_SECONDS + seconds + 30, exit=True, file=sys.stderr)
    try:
        for t in threads:
            t.start()
        time.sleep(seconds)
        stop.set()
        for t in threads:
            t.join(JOIN_SECONDS)
        assert not any(t.is_alive() for t in threads), "a worker did not finish"
    finally:
        faulthandler.cancel_dump_traceback_later()
    return errors


def make_mids():
    # Fresh per test: a failure that marks one object's locks as failed must
    # not spill into the next test.
    return [Indexable(p=i, name=f"mid{i}") for i in range(4)]


def random_value(rnd, mids=None):
    """A value of any kind; nested objects from mids when mids are given."""
    pick = rnd.randrange(7 if mids else 5)
    if pick == 0:
        return rnd.randrange(-5, 6)
    if pick == 1:
        return rnd.choice([0.5, -0.0, 2.0, 1e300])
    if pick == 2:
        return rnd.choice(["", "a", "ab", "abc", "é", "日本"])
    if pick == 3:
        return [rnd.randrange(4) for _ in range(rnd.randrange(4))] + [rnd.choice("ab")]
    if pick == 4:
        return rnd.choice([True, False, None, (1, ("a",))])
    if pick == 5:
        return rnd.choice(mids)
    return [rnd.choice(mids), (rnd.choice(mids),)]


ATTRS = ["k", "s", "tags", "child"]


def check_queries(mids):
    return (
        [Q.eq(a, v) for a in ATTRS for v in (0, 1, 2, 3, -0.0, 0.5, "a", "ab", "é", True, None)]
        + [Q.eq(a, m) for a in ATTRS for m in mids]
        + [Q.gt(a, 1) for a in ATTRS]
        + [Q.le(a, 0) for a in ATTRS]
        + [Q.bt(a, -1, 2) for a in ATTRS]
        + [Q.starts_with(a, "a") for a in ATTRS]
        + [Q.contains(a, "") for a in ATTRS]
        + [Q.eq(f"{a}.p", i) for a in ATTRS for i in range(4)]
        + [Q.ge(f"{a}.p", 2) for a in ATTRS]
        + [Q.ne("k", 1), Q.not_(Q.eq("tags", "a")), Q.in_("child.name", ["mid1", "mid3"])]
    )


def assert_consistent(index, expected_members, queries):
    """The index holds expected_members and answers like a fresh index of them."""
    order = id_order(expected_members)
    listed = index.collect()
    assert sorted(id(o) for o in listed) == sorted(id(o) for o in expected_members)
    assert [order[id(o)] for o in listed] == sorted(order[id(o)] for o in listed)
    fresh = Index()
    for obj in expected_members:
        fresh.add_object(obj)
    for query in queries:
        got = [id(o) for o in index.reduced_query(query).collect()]
        want = [id(o) for o in fresh.reduced_query(query).collect()]
        assert got == want, repr(query)
    # A direct check of a few answers against the values themselves.
    for value in (0, 1, "a"):
        want = [o for o in expected_members if _holds(getattr(o, "k", None), value)]
        got = index.get_by_attribute(k=value)
        assert sorted(id(o) for o in got) == sorted(id(o) for o in want)


def _holds(stored, value):
    if type(stored) in (list, tuple):
        return any(_holds(m, value) for m in stored)
    if type(stored) in (int, float) and type(value) is int:
        return stored == value
    return type(stored) is str and stored == value


@pytest.mark.parametrize("nested", [False, True], ids=["plain-values", "nested-values"])
def test_mixed_workload_on_shared_indexes(nested):
    mids = make_mids() if nested else None
    queries = check_queries(mids or make_mids())
    pool = [Indexable(k=i % 3, s="a", tags=[i], child=mids[i % 4] if nested else i) for i in range(40)]
    main = Index()
    main.add_object_many(pool[:20])
    for obj in pool[20:]:
        main.add_object(obj)
    added = []
    added_lock = threading.Lock()

    def adder(rnd):
        fresh = [
            Indexable(k=rnd.randrange(3), tags=random_value(rnd, mids))
            for _ in range(rnd.randrange(1, 4))
        ]
        if rnd.random() < 0.5:
            main.add_object_many(fresh)
        else:
            for obj in fresh:
                main.add_object(obj)
        with added_lock:
            added.extend(fresh)

    def writer(rnd):
        with added_lock:
            choices = pool + added[-20:]
        obj = rnd.choice(choices)
        setattr(obj, rnd.choice(ATTRS), random_value(rnd, mids))
        if nested and rnd.random() < 0.2:
            mid = rnd.choice(mids)
            mid.p = rnd.randrange(4)

    def querier(rnd):
        for obj in main.reduced_query(rnd.choice(queries)).collect():
            assert isinstance(obj, Indexable)
        main.get_by_attribute(k=rnd.randrange(3))
        view = main.reduced(s="a")
        view.reduced_query(Q.not_(Q.eq("k", 1))).collect()
        main.collect()

    side = Index()
    side.add_object_many(pool)

    def narrower(rnd):
        side.reduce()  # keeps everything, but takes every write lock
        copy = main.reduced_query(Q.ge("k", 0)).rebase()
        copy.reduce(k=rnd.randrange(3))
        for obj in copy.collect():
            assert isinstance(obj, Indexable)

    def uniter(rnd):
        other = Index()
        other.add_object_many(rnd.sample(pool, 5))
        main.union_with(other)
        other.union_with(main)

    errors = run_workers([adder, writer, writer, querier, narrower, uniter])
    assert errors == []
    assert_consistent(main, pool + added, queries)
    assert_consistent(side, pool, queries)


def test_unions_in_opposite_directions_do_not_deadlock():
    mids = make_mids()
    left_objs = [Indexable(k=i, tags=["l"]) for i in range(20)]
    right_objs = [Indexable(k=i, tags=["r"], child=mids[i % 4]) for i in range(20)]
    left, right = Index(), Index()
    left.add_object_many(left_objs)
    right.add_object_many(right_objs)

    def left_into_right(rnd):
        right.union_with(left)

    def right_into_left(rnd):
        left.union_with(right)

    def self_union(rnd):
        rnd.choice([left, right]).union_with(rnd.choice([left, right]))

    def writer(rnd):
        obj = rnd.choice(left_objs + right_objs)
        obj.k = rnd.randrange(20)

    errors = run_workers([left_into_right, right_into_left, self_union, writer])
    assert errors == []
    for idx in (left, right):
        assert_consistent(idx, left_objs + right_objs, check_queries(mids))


@pytest.mark.parametrize("kind", ["scalars", "lists", "nested"])
def test_same_attribute_written_from_two_threads(kind):
    mids = make_mids()
    targets = [Indexable(x=0) for _ in range(3)]
    first, second = Index(), Index()
    first.add_object_many(targets)
    for obj in targets:
        second.add_object(obj)
    third = first.reduced().rebase()

    def values(rnd):
        if kind == "scalars":
            return rnd.choice([rnd.randrange(5), "a", 0.5, True])
        if kind == "lists":
            return [rnd.randrange(5) for _ in range(rnd.randrange(3))]
        return rnd.choice(mids + [[m] for m in mids])

    def writer(rnd):
        obj = rnd.choice(targets)
        obj.x = values(rnd)

    errors = run_workers([writer, writer, writer])
    assert errors == []
    for idx in (first, second, third):
        assert_consistent_x(idx, targets, mids)


def assert_consistent_x(index, targets, mids):
    fresh = Index()
    fresh.add_object_many(targets)
    probes = (
        [Q.eq("x", v) for v in range(5)]
        + [Q.eq("x", v) for v in ("a", 0.5, True)]
        + [Q.eq("x", m) for m in mids]
        + [Q.eq("x.p", i) for i in range(4)]
        + [Q.gt("x", 1), Q.contains("x", "")]
    )
    for query in probes:
        got = [id(o) for o in index.reduced_query(query).collect()]
        want = [id(o) for o in fresh.reduced_query(query).collect()]
        assert got == want, repr(query)



def _builder(kind, holders):
    """A callable that builds one more index over holders, by kind."""
    source = Index()
    source.add_object_many(holders)
    if kind == "add_object":
        return lambda: [Index().add_object(obj) for obj in holders]
    if kind == "add_object_many":
        return lambda: Index().add_object_many(holders)
    if kind == "union_with":
        return lambda: Index().union_with(source)
    return lambda: source.reduced().rebase()


@pytest.mark.parametrize("values", ["strings", "nested"])
@pytest.mark.parametrize("kind", ["add_object", "add_object_many", "union_with", "rebase"])
def test_indexes_built_while_values_change(kind, values):
    # Objects become visible to writers of another thread while a new index
    # is being filled with their values; every write must still find the
    # index in a state it can update.
    if values == "strings":
        first, second = "a", "b"
        probe = Q.eq("child", "a")
    else:
        first, second = Indexable(p=1), Indexable(p=2)
        probe = Q.eq("child.p", 1)
    holders = [Indexable(child=first, k=i) for i in range(2)]
    build = _builder(kind, holders)

    def builder(rnd):
        build()

    def writer(rnd):
        for obj in holders:
            obj.child = second
        for obj in holders:
            obj.child = first

    errors = run_workers([builder, writer], seconds=2)
    assert errors == []
    final = Index()
    final.add_object_many(holders)
    assert final.reduced_query(probe).collect() == final.collect()


def test_rebase_and_union_linking_the_same_objects_at_once():
    # Both operations link every object of the source to a new index; run in
    # a child process so that a crash is reported here instead of ending the
    # whole test run.
    code = textwrap.dedent(
        """
        import faulthandler, threading, time
        faulthandler.enable()
        from Quarrydex import Index, Indexable
        pool = [Indexable(k=i % 3) for i in range(40)]
        main = Index()
        main.add_object_many(pool)
        stop = threading.Event()
        errors = []

        def loop(step):
            try:
                while not stop.is_set():
                    step()
            except BaseException as exc:
                errors.append(exc)

        steps = [lambda: main.reduced().rebase(), lambda: Index().union_with(main)]
        threads = [threading.Thread(target=loop, args=(s,)) for s in steps]
        for t in threads:
            t.start()
        time.sleep(2)
        stop.set()
        for t in threads:
            t.join(60)
        assert errors == [], errors
        fresh = Index()
        fresh.add_object_many(pool)
        for k in range(3):
            assert main.get_by_attribute(k=k) == fresh.get_by_attribute(k=k)
        print("ok")
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip() == "ok"


def test_object_graphs_rewired_from_many_threads():
    # Links made and broken from several threads at once: cycles of any
    # length, self-links, links through list members, and pairs of writers
    # linking two objects to each other in opposite directions.
    pool = [Indexable(k=i % 4, name=f"o{i}") for i in range(8)]
    roots, side = Index(), Index()
    roots.add_object_many(pool[:4])
    for obj in pool[2:6]:
        side.add_object(obj)

    def link(rnd):
        a, b = rnd.choice(pool), rnd.choice(pool)
        pick = rnd.randrange(4)
        value = [b, rnd.choice(pool)] if pick == 0 else (None if pick == 1 else b)
        setattr(a, rnd.choice(["x", "y"]), value)

    def opposite(rnd):
        a, b = pool[rnd.randrange(2)], pool[2 + rnd.randrange(2)]
        if rnd.random() < 0.5:
            a, b = b, a
        a.x = b

    def scalars(rnd):
        rnd.choice(pool).k = rnd.randrange(4)

    def indexes(rnd):
        step = rnd.randrange(3)
        if step == 0:
            side.reduce()
        elif step == 1:
            side.add_object_many(rnd.sample(pool, 2))
        else:
            Index().union_with(roots)

    def querier(rnd):
        path = ".".join(rnd.choice("xy") for _ in range(rnd.randrange(1, 5)))
        roots.reduced_query(Q.eq(f"{path}.k", rnd.randrange(4))).collect()

    errors = run_workers([link, link, opposite, opposite, scalars, indexes, querier])
    assert errors == []
    queries = [
        Q.eq(f"{p}.k", k)
        for p in ("x", "y", "x.x", "x.y", "y.x.x", "x.y.x.y")
        for k in range(4)
    ] + [Q.eq("x", o) for o in pool] + [Q.ne("x.x.k", 1)]
    members = {id(o): o for o in side.collect()}
    assert_consistent(roots, pool[:4], queries)
    assert_consistent(side, list(members.values()), queries)


def test_objects_dropped_while_other_threads_read_them():
    # The index holds the only reference to each object. Removers take objects
    # out and let them go while readers order, iterate and copy the same index;
    # every object a reader got must be whole, and every dropped one freed.
    idx = Index()
    refs = []
    refs_lock = threading.Lock()

    def refill(rnd):
        fresh = [Indexable(k=rnd.randrange(50), s=str(rnd.random())) for _ in range(30)]
        idx.add_object_many(fresh)
        with refs_lock:
            refs.extend(weakref.ref(o) for o in fresh)

    def remover(rnd):
        if rnd.random() < 0.3:
            idx.reduce(k=rnd.randrange(50))
        for obj in idx.order_by("k", limit=10):
            try:
                idx.remove_object(obj)
            except KeyError:
                pass  # another remover took it first

    def reader(rnd):
        for obj in idx.order_by("s", descending=rnd.random() < 0.5):
            assert isinstance(obj.k, int)
        for obj in iter(idx.reduced_query(Q.ge("k", rnd.randrange(50)))):
            assert isinstance(obj.s, str)
        idx.reduced().rebase().union_with(idx)

    assert run_workers([refill, remover, remover, reader, reader]) == []
    del idx
    gc.collect()
    Index().collect()  # any entry point runs queued releases
    assert refs and all(r() is None for r in refs)


def test_numeric_writes_while_readers_settle():
    """Readers in several threads meet numeric writes made by others: a
    range holding every value always answers every object, and none below."""
    objs = [Indexable(n=i % 50) for i in range(3000)]
    index = Index()
    index.add_object_many(objs)

    def writer(rnd):
        for _ in range(200):
            rnd.choice(objs).n = rnd.randrange(50)

    def reader(rnd):
        assert len(index.reduced_query(Q.ge("n", 0)).collect()) == len(objs)
        assert index.reduced_query(Q.lt("n", 0)).collect() == []

    errors = run_workers([writer, writer, reader, reader])
    assert errors == []
    fresh = Index()
    fresh.add_object_many(objs)
    for v in (0, 7, 49):
        got = [id(o) for o in index.reduced_query(Q.eq("n", v)).collect()]
        assert got == [id(o) for o in fresh.reduced_query(Q.eq("n", v)).collect()]


def test_repeated_conjunction_sees_every_finished_write():
    """Objects move into a conjunction's answer one at a time, in bursts
    (quiet spells let a combined index over the attributes be built and
    used). A query started after a move finished must find the object."""
    rng = random.Random(5)
    settled = [Indexable(n=rng.randrange(2), c=rng.choice("pq")) for _ in range(20000)]
    pending = [Indexable(n="x", c="p") for _ in range(6000)]
    index = Index()
    index.add_object_many(settled + pending)
    query = Q.and_(Q.eq("n", 1), Q.eq("c", "p"))
    always = {id(o) for o in settled if o.n == 1 and o.c == "p"}
    allowed = always | {id(o) for o in pending}
    done = [0]

    def writer(rnd):
        for _ in range(rnd.randrange(1, 30)):
            if done[0] < len(pending):
                pending[done[0]].n = 1  # a string becomes a number
                done[0] += 1
        time.sleep(rnd.random() * 0.01)

    def reader(rnd):
        moved = done[0]
        found = index.reduced_query(query)
        assert len(always) + moved <= len(found) <= len(allowed)
        if moved:
            assert pending[moved - 1] in found and rnd.choice(pending[:moved]) in found
        if rnd.random() < 0.01:
            assert always <= {id(o) for o in found.collect()} <= allowed

    assert run_workers([writer, reader, reader]) == []
