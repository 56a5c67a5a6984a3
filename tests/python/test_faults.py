"""Failed locks: exactly the index or object whose lock failed stays unusable.

A lock is marked failed when an internal fatal error unwinds through its
guard. Nothing on the public surface can do that on purpose, so these tests
use the test-only extension `_quarrydex_faults` (tests/hooks), built with
`-Dtests=true`. It is looked for in $QUARRYDEX_FAULTS_DIR, beside the module
when the module was imported from a build directory, then in build-test/ and
the other build*/ directories of the checkout; the tests are skipped when no
hook is built.
"""

import importlib.util
import os
import pathlib
import threading

import pytest

import Quarrydex
from Quarrydex import Index, Indexable
from Quarrydex import PyQueryExpr as Q
from world import World

ROOT = pathlib.Path(__file__).resolve().parents[2]


def _hook_dirs():
    if os.environ.get("QUARRYDEX_FAULTS_DIR"):
        yield pathlib.Path(os.environ["QUARRYDEX_FAULTS_DIR"])
    module = pathlib.Path(Quarrydex.__file__).resolve()
    for parent in module.parents:
        if parent.parent == ROOT and parent.name.startswith("build"):
            yield parent / "tests" / "hooks"
    yield ROOT / "build-test" / "tests" / "hooks"
    builds = sorted(ROOT.glob("build*/tests/hooks"), key=lambda p: p.stat().st_mtime, reverse=True)
    yield from builds


def _load_hook():
    for directory in _hook_dirs():
        for path in sorted(directory.glob("_quarrydex_faults*.so")):
            spec = importlib.util.spec_from_file_location("_quarrydex_faults", path)
            module = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(module)
            return module
    return None


faults = _load_hook()
pytestmark = pytest.mark.skipif(faults is None, reason="_quarrydex_faults is not built")


def _panic_type():
    # PanicException is not exported by name; catch one to learn its type.
    idx = Index()
    faults.poison(idx, "all_ids")
    try:
        idx.collect()
    except BaseException as error:  # noqa: B036 - the type is what we want
        return type(error)
    raise AssertionError("a failed lock did not raise")


PanicException = _panic_type() if faults is not None else None

POISONED = "called `Result::unwrap()` on an `Err` value"
OBJECT_POISONED = "cannot read from indexable"
INDEX_LOCKS = ["attribute_table", "all_ids", "store", "parent_map"]
OBJECT_LOCKS = ["index_links", "attributes"]


def test_panic_exception_escapes_except_exception():
    assert PanicException.__name__ == "PanicException"
    assert PanicException.__bases__ == (BaseException,)
    idx = Index()
    faults.poison(idx, "store")
    with pytest.raises(PanicException):
        try:
            idx.collect()
        except Exception:  # must not catch it
            pytest.fail("PanicException caught as an Exception")


def test_hook_rejects_other_objects_and_unknown_locks():
    with pytest.raises(TypeError):
        faults.poison(Q.eq("a", 1), "store")
    with pytest.raises(ValueError):
        faults.poison(Index(), "attributes")
    with pytest.raises(ValueError):
        faults.poison(Indexable(), "store")
    assert faults.poisoned(Index()) == dict.fromkeys(INDEX_LOCKS, False)
    assert faults.poisoned(Indexable()) == dict.fromkeys(OBJECT_LOCKS, False)


# ------------------------------------------------------------ a failed index lock


class Scene:
    """Index `bad` (to be poisoned) and `good`, sharing object `shared`;
    `own` lives in `good` only; `mine` in `bad` only."""

    def __init__(self):
        self.leaf = Indexable(code="leaf")
        self.shared = Indexable(v=1, s="alpha", tags=["x"], child=self.leaf)
        self.mine = Indexable(v=2, s="beta")
        self.own = Indexable(v=3, s="gamma", child=self.leaf)
        self.bad, self.good = Index(), Index()
        self.bad.add_object_many([self.shared, self.mine])
        self.good.add_object_many([self.shared, self.own])
        self.view = self.bad.reduced()
        self.world = World([self.good], [self.shared, self.mine, self.own, self.leaf])


# Operations on the poisoned index, as functions of the scene.
INDEX_OPS = {
    "collect": lambda s: s.bad.collect(),
    "get_by_attribute": lambda s: s.bad.get_by_attribute(v=1),
    "reduced": lambda s: s.bad.reduced(v=1),
    "reduced_query": lambda s: s.bad.reduced_query(Q.gt("v", 0)),
    "dotted-query": lambda s: s.bad.reduced_query(Q.eq("child.code", "leaf")),
    "reduce": lambda s: s.bad.reduce(v=1),
    "add_object": lambda s: s.bad.add_object(Indexable(v=5)),
    "add_object_many": lambda s: s.bad.add_object_many([Indexable(v=5)]),
    "add-nested": lambda s: s.bad.add_object(Indexable(child=Indexable(code="c"))),
    "union-into": lambda s: s.bad.union_with(s.good),
    "union-from": lambda s: Index().union_with(s.bad),
    "write-held": lambda s: setattr(s.mine, "v", 7),
    "write-held-nested": lambda s: setattr(s.mine, "child", Indexable(code="new")),
    "view.collect": lambda s: s.view.collect(),
    "view.reduced": lambda s: s.view.reduced(v=1),
    "view.rebase": lambda s: s.view.rebase(),
}

# What each lock guards, so what cannot work once it failed: the all-ids set is
# every question about membership, the store every answer made of objects,
# the attribute table every value lookup and insertion, the parent map the
# insertion of nested objects (which checks it for cycles).
MUST_FAIL = {
    "all_ids": [
        "collect",
        "get_by_attribute",
        "reduced",
        "reduced_query",
        "dotted-query",
        "reduce",
        "add_object",
        "add_object_many",
        "union-into",
        "union-from",
    ],
    "store": [
        "collect",
        "get_by_attribute",
        "add_object",
        "add_object_many",
        "union-into",
        "union-from",
        "view.collect",
        "view.rebase",
    ],
    "attribute_table": [
        "get_by_attribute",
        "reduced",
        "reduced_query",
        "dotted-query",
        "add_object",
        "write-held",
        "view.reduced",
    ],
    "parent_map": ["add-nested", "write-held-nested"],
}


# Operations that only read the poisoned index.
READS = {"collect", "get_by_attribute", "reduced", "reduced_query", "dotted-query", "union-from"}
READS |= {"view.collect", "view.reduced", "view.rebase"}


@pytest.mark.parametrize("lock", INDEX_LOCKS)
def test_failed_index_lock_fails_its_index_and_nothing_else(lock):
    scene = Scene()
    bystanders = World([scene.good], [scene.shared, scene.own, scene.leaf])
    before = bystanders.take()
    faults.poison(scene.bad, lock)
    reads = [name for name in MUST_FAIL[lock] if name in READS]
    changes = [name for name in MUST_FAIL[lock] if name not in READS]

    def fails(name):
        for _ in range(2):  # and keeps failing
            with pytest.raises(PanicException) as info:
                INDEX_OPS[name](scene)
            assert str(info.value) == POISONED, name

    for name in reads:
        fails(name)
    # Reads never mark a lock: the failed one is still the only one.
    assert faults.poisoned(scene.bad) == {n: n == lock for n in INDEX_LOCKS}
    for name in changes:
        fails(name)
    # Changes may leave more of this index marked, never anything of the other.
    assert faults.poisoned(scene.good) == dict.fromkeys(INDEX_LOCKS, False)
    assert bystanders.take() == before
    assert scene.good.get_by_attribute(v=3) == [scene.own]
    fresh = Indexable(v=3)
    scene.good.add_object(fresh)
    scene.own.v = 30
    assert scene.good.get_by_attribute(v=3) == [fresh]
    assert scene.good.get_by_attribute(v=30) == [scene.own]
    assert scene.shared.v == 1


@pytest.mark.parametrize(
    "lock, operation",
    [(lock, name) for lock, names in MUST_FAIL.items() for name in names if "write" in name],
)
def test_write_failing_in_a_failed_index_marks_the_written_object_only(lock, operation):
    scene = Scene()
    faults.poison(scene.bad, lock)
    with pytest.raises(PanicException):
        INDEX_OPS[operation](scene)
    # The write held both of the object's locks when it failed.
    assert faults.poisoned(scene.mine) == dict.fromkeys(OBJECT_LOCKS, True)
    with pytest.raises(PanicException, match=OBJECT_POISONED):
        scene.mine.v
    for obj in (scene.shared, scene.own, scene.leaf):
        assert faults.poisoned(obj) == dict.fromkeys(OBJECT_LOCKS, False)
    assert faults.poisoned(scene.good) == dict.fromkeys(INDEX_LOCKS, False)
    scene.own.v = 99
    assert scene.good.get_by_attribute(v=99) == [scene.own]


def test_adding_into_a_failed_index_marks_only_the_object_being_added():
    scene = Scene()
    faults.poison(scene.bad, "all_ids")
    newcomer, bystander = Indexable(v=5), Indexable(v=5)
    with pytest.raises(PanicException):
        scene.bad.add_object(newcomer)
    assert faults.poisoned(newcomer)["attributes"]
    assert faults.poisoned(bystander) == dict.fromkeys(OBJECT_LOCKS, False)
    scene.good.add_object(bystander)
    assert scene.good.get_by_attribute(v=5) == [bystander]


def test_failed_index_and_healthy_index_used_from_threads_at_once():
    scene = Scene()
    faults.poison(scene.bad, "all_ids")
    errors, panics = [], []

    def hammer_bad():
        for _ in range(300):
            try:
                scene.bad.get_by_attribute(v=1)
            except PanicException:
                panics.append(1)
            except BaseException as error:  # noqa: B036
                errors.append(error)

    def work_good(offset):
        try:
            for i in range(300):
                obj = Indexable(v=offset + i)
                scene.good.add_object(obj)
                if scene.good.get_by_attribute(v=offset + i) != [obj]:
                    errors.append(("lost", offset + i))
        except BaseException as error:  # noqa: B036
            errors.append(error)

    threads = [threading.Thread(target=hammer_bad) for _ in range(2)]
    threads += [threading.Thread(target=work_good, args=(k * 1000,)) for k in (1, 2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    assert errors == []
    assert len(panics) == 600
    assert len(scene.good.collect()) == 2 + 600


# ------------------------------------------------------------ a failed object lock


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda o, i: o.v, id="read"),
        pytest.param(lambda o, i: repr(o), id="repr"),
        pytest.param(lambda o, i: dir(o), id="dir"),
        pytest.param(lambda o, i: setattr(o, "v", 5), id="write"),
        pytest.param(lambda o, i: i.add_object(o), id="add_object"),
        pytest.param(lambda o, i: i.add_object_many([Indexable(), o]), id="add_object_many"),
    ],
)
def test_failed_attribute_lock_fails_the_object_only(call):
    obj, other = Indexable(v=1, s="a"), Indexable(v=1, s="b")
    holder, fresh = Index(), Index()
    holder.add_object_many([obj, other])
    world = World([holder], [other])
    before = world.take()
    faults.poison(obj, "attributes")
    with pytest.raises(PanicException) as info:
        call(obj, fresh)
    assert str(info.value) == OBJECT_POISONED
    with pytest.raises(PanicException):  # and keeps failing
        call(obj, fresh)
    # The index that already holds it still answers, and lists it.
    assert world.take() == before
    assert holder.get_by_attribute(v=1) == holder.collect()
    assert obj in holder.collect()
    other.v = 2
    assert holder.get_by_attribute(v=2) == [other]
    assert faults.poisoned(holder) == dict.fromkeys(INDEX_LOCKS, False)


@pytest.mark.parametrize("linked", [False, True], ids=["unlinked", "linked"])
def test_failed_links_lock_refuses_writes_and_adds_but_not_reads(linked):
    obj = Indexable(v=1)
    idx = Index()
    if linked:
        idx.add_object(obj)
    faults.poison(obj, "index_links")
    with pytest.raises(PanicException, match="Result::unwrap"):
        obj.v = 2
    with pytest.raises(PanicException):
        Index().add_object(obj)
    assert obj.v == 1
    assert repr(obj) == "<Indexable with 1 attributes>"
    assert idx.get_by_attribute(v=1) == ([obj] if linked else [])
    assert faults.poisoned(obj) == {"index_links": True, "attributes": False}


def test_failed_object_is_still_freed():
    import gc
    import weakref

    obj = Indexable(v=1, items=[1, 2])
    idx = Index()
    idx.add_object(obj)
    faults.poison(obj, "attributes")
    gone = weakref.ref(obj)
    del obj, idx
    gc.collect()
    assert gone() is None
