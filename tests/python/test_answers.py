"""len, iter, in, order_by, has, remove_object and pickling, each checked
against the same answer computed in plain Python over the same objects."""

import copy
import gc
import math
import pickle
import random

import pytest

from Quarrydex import Index, Indexable, PyQueryExpr as Q

MISSING = object()


class Item(Indexable):
    pass


def path_value(obj, path):
    for name in path.split("."):
        if not isinstance(obj, Indexable):
            return MISSING
        obj = getattr(obj, name, MISSING)
        if obj is MISSING:
            return MISSING
    return obj


VALUES = [0, 1, -1, 2, 2.0, 1.5, -0.0, 2**62, float(2**62), 2**62 + 1, -(2**63), math.inf,
          -math.inf, math.nan, "", "a", "B", "b", "é", "z", "ab", True, False, None, [], [3],
          ("x",), [[]]]


def make_population(seed, size=160):
    rng = random.Random(seed)
    objs = []
    for n in range(size):
        attrs = {"key": n, "qty": rng.randrange(100)}
        if rng.random() < 0.85:  # many distinct keys, and the awkward ones
            attrs["price"] = rng.choice(VALUES) if rng.random() < 0.5 else rng.uniform(-5, 5)
        if rng.random() < 0.5:
            attrs["nest"] = Indexable(price=rng.choice(VALUES))
        if rng.random() < 0.3:
            attrs["_hidden"] = rng.choice(VALUES)
        objs.append(Item(**attrs))
    return objs


def build(objs, seed):
    """An index with the objects added both ways (with and without "_" names),
    then shuffled by writes, removals and re-adds."""
    rng = random.Random(seed)
    idx = Index()
    half = len(objs) // 2
    for o in objs[:half]:
        idx.add_object(o)
    idx.add_object_many(objs[half:])
    for o in rng.sample(objs, 30):
        o.price = rng.choice(VALUES)
    removed = rng.sample(objs, 20)
    for o in removed:
        idx.remove_object(o)
    for o in removed[:10]:
        idx.add_object(o)
    return idx


@pytest.fixture(params=[1, 2])
def population(request):
    objs = make_population(request.param)
    return objs, build(objs, request.param)


def views(idx):
    return {
        "index": idx,
        "all": idx.reduced_query(Q.and_()),
        "qty<50": idx.reduced_query(Q.lt("qty", 50)),
        "qty<4": idx.reduced_query(Q.lt("qty", 4)),
        "none": idx.reduced_query(Q.or_()),
    }


def expected_order(members, path, descending):
    """sorted() with the group rules; members are in ascending id order and
    sorted() is stable, so equal keys keep ascending id order both ways."""
    groups = {g: [] for g in ("num", "nan", "str", "false", "true", "rest")}
    for o in members:
        v = path_value(o, path)
        if isinstance(v, bool):
            groups["true" if v else "false"].append(o)
        elif isinstance(v, (int, float)):
            groups["nan" if v != v else "num"].append(o)
        elif isinstance(v, str):
            groups["str"].append(o)
        else:
            groups["rest"].append(o)
    nums = sorted(groups["num"], key=lambda o: path_value(o, path), reverse=descending)
    strs = sorted(groups["str"], key=lambda o: path_value(o, path).encode(), reverse=descending)
    head = strs + nums + groups["nan"] if descending else nums + groups["nan"] + strs
    return head + groups["false"] + groups["true"] + groups["rest"]


@pytest.mark.parametrize("path", ["price", "nest.price", "_hidden", "qty", "absent"])
@pytest.mark.parametrize("descending", [False, True])
@pytest.mark.parametrize("limit", [None, 0, 1, 3, 25, 10**30])
def test_order_by_matches_sorted(population, path, descending, limit):
    _, idx = population
    for name, view in views(idx).items():
        members = view.collect()
        # "_hidden" is only readable where the object was bulk-added; the
        # order reads the objects' values, so the model does too.
        want = expected_order(members, path, descending)[:limit]
        got = view.order_by(path, descending=descending, limit=limit)
        assert [o.key for o in got] == [o.key for o in want], name


@pytest.mark.parametrize(
    "limit, error",
    [(-1, ValueError), (-(10**30), ValueError), (1.0, TypeError), ("3", TypeError)],
)
def test_order_by_refuses_bad_limits(limit, error):
    idx = Index()
    for view in (idx, idx.reduced_query(Q.and_())):
        with pytest.raises(error):
            view.order_by("a", limit=limit)
    with pytest.raises(TypeError):
        idx.order_by(5)
    with pytest.raises(TypeError):
        idx.order_by("a", False)  # descending is keyword-only


def test_len_iter_contains_agree_with_collect(population):
    objs, idx = population
    strangers = [Indexable(price=1), 5, None, "price", Q.eq("a", 1), idx]
    for name, view in views(idx).items():
        listed = view.collect()
        assert len(view) == len(listed), name
        assert list(iter(view)) == listed, name
        held = {id(o) for o in listed}
        for o in objs + strangers:
            assert (o in view) == (id(o) in held), name


def test_iteration_keeps_to_its_snapshot():
    objs = make_population(3, 60)
    idx = Index()
    idx.add_object_many(objs)
    view = idx.reduced_query(Q.lt("qty", 70))
    for x in (idx, view):
        snapshot = x.collect()
        it = iter(x)
        first = next(it)
        dropped = {id(o) for o in snapshot[5:15]}
        for o in snapshot[5:15]:
            idx.remove_object(o)
        for o in snapshot[5:8]:  # back again, but after the snapshot
            idx.add_object(o)
        idx.add_object(Indexable(qty=1))  # new since the snapshot
        if x is view:
            idx.reduce(qty=snapshot[-1].qty)
        now = {id(o) for o in idx.collect()}
        want = [o for o in snapshot[1:] if id(o) in now and id(o) not in dropped]
        assert [first] + list(it) == [first] + want
        assert list(it) == []
        for o in objs:
            if o not in idx:
                idx.add_object(o)


def test_iteration_never_yields_an_object_that_took_over_a_freed_id():
    idx = Index()
    doomed = [Indexable(n=i) for i in range(50)]
    keep = Indexable(n=-1)
    idx.add_object_many(doomed + [keep])
    it = iter(idx)
    for o in doomed:
        idx.remove_object(o)
    del o, doomed
    gc.collect()
    newcomers = [Indexable(n=100 + i) for i in range(50)]  # may reuse the freed ids
    idx.add_object_many(newcomers)
    assert list(it) == [keep]


@pytest.mark.parametrize("refill", ["add_object_many", "add_object"])
def test_view_never_answers_with_an_object_that_took_over_a_freed_id(refill):
    idx = Index()
    doomed = [Indexable(n=i) for i in range(300)]
    keep = Indexable(n=-1)
    idx.add_object_many(doomed + [keep])
    view = idx.reduced_query(Q.lt("n", 1000))
    for o in doomed:
        idx.remove_object(o)
    del o, doomed
    gc.collect()
    newcomers = [Indexable(n=i) for i in range(300)]  # take over the freed ids
    if refill == "add_object_many":
        idx.add_object_many(newcomers)
    else:
        for o in newcomers:
            idx.add_object(o)
    assert view.collect() == [keep] and list(view) == [keep] and len(view) == 1
    assert not any(o in view for o in newcomers)
    assert len(idx.reduced_query(Q.lt("n", 1000)).collect()) == 301


@pytest.mark.parametrize(
    "query, model",
    [
        (Q.has("price"), lambda o: path_value(o, "price") is not MISSING),
        (Q.not_(Q.has("price")), lambda o: path_value(o, "price") is MISSING),
        (Q.has("nest.price"), lambda o: path_value(o, "nest.price") is not MISSING),
        (Q.and_(Q.has("nest"), Q.lt("qty", 30)),
         lambda o: path_value(o, "nest") is not MISSING and o.qty < 30),
        (Q.or_(Q.has("price"), Q.eq("qty", 3)),
         lambda o: path_value(o, "price") is not MISSING or o.qty == 3),
        (Q.has("absent"), lambda o: False),
    ],
)
def test_has_matches_hasattr(population, query, model):
    _, idx = population
    for name, view in views(idx).items():
        got = view.reduced_query(query).collect()
        assert got == [o for o in view.collect() if model(o)], name


def test_has_repr_and_follows_writes():
    assert repr(Q.has("a")) == '<QueryExpr: Has("a")>'
    assert repr(Q.not_(Q.has("a.b"))) == '<QueryExpr: Not(Has("a.b"))>'
    objs = [Indexable(a=v) for v in (math.nan, [], [[]], None, 0)] + [Indexable(b=1)]
    idx = Index()
    for o in objs:
        idx.add_object(o)
    has = lambda: [o for o in idx.collect() if o in idx.reduced_query(Q.has("a"))]
    assert has() == [o for o in idx.collect() if "a" in dir(o)]
    for o in objs[:3]:
        o.a = 5  # values that are stored nowhere, replaced
        idx.remove_object(o)
    assert has() == [o for o in idx.collect() if "a" in dir(o)]
    objs[5].a = math.nan
    idx.reduce(b=1)
    assert has() == [objs[5]]
    one, bulk = Indexable(_p=1), Indexable(_p=2)  # only bulk adds index "_" names
    idx.add_object(one)
    idx.add_object_many([bulk])
    assert idx.reduced_query(Q.has("_p")).collect() == [bulk]


def answers(idx):
    """Every answer a query battery gives, as keys, for comparing indexes."""
    queries = [Q.and_(), Q.eq("price", 2), Q.lt("price", 1.5), Q.ge("price", -1),
               Q.eq("price", "b"), Q.starts_with("price", "a"), Q.eq("price", True),
               Q.eq("price", None), Q.eq("price", 3), Q.eq("price", "x"),
               Q.eq("nest.price", 1), Q.gt("nest.price", 0), Q.lt("_hidden", 2),
               Q.has("price"), Q.has("_hidden"), Q.eq("qty", 7)]
    return [sorted(o.key for o in idx.reduced_query(q).collect()) for q in queries]


def test_remove_object_leaves_the_index_as_if_never_added():
    objs = make_population(4, 80)
    idx = Index()
    idx.add_object_many(objs)
    earlier = idx.reduced_query(Q.and_())
    gone = objs[::3]
    for o in gone:
        idx.remove_object(o)
    for o in gone:  # writes no longer reach the index
        o.price = 2
        o.nest = Indexable(price=1)
        o.qty = 7
    kept = [o for o in objs if o not in gone]
    fresh = Index()
    fresh.add_object_many(kept)
    assert answers(idx) == answers(fresh)
    assert sorted(o.key for o in earlier.collect()) == sorted(o.key for o in kept)
    assert not any(o in earlier or o in idx for o in gone)
    for o in gone:
        with pytest.raises(KeyError):
            idx.remove_object(o)
        idx.add_object_many([o])  # re-adding is a first add
    fresh.add_object_many(gone)
    assert answers(idx) == answers(fresh)
    with pytest.raises(TypeError):
        idx.remove_object(5)
    with pytest.raises(KeyError):
        idx.remove_object(Indexable())


@pytest.mark.parametrize("how", ["copy", "deepcopy"] + [f"pickle{p}" for p in range(6)])
def test_objects_copy_and_pickle_with_their_attributes(how):
    child = Item(code="c")
    obj = Item(price=2.5, name="x", tags=[1, "t"], _secret=3, nest=child)
    idx = Index()
    idx.add_object(obj)
    if how == "copy":
        twin = copy.copy(obj)
    elif how == "deepcopy":
        twin = copy.deepcopy(obj)
    else:
        twin = pickle.loads(pickle.dumps(obj, protocol=int(how[-1])))
    assert type(twin) is Item and twin is not obj
    names = ["price", "name", "tags", "_secret"]
    assert [getattr(twin, n) for n in names] == [getattr(obj, n) for n in names]
    assert twin.nest.code == "c"
    assert (twin.nest is child) == (how == "copy")
    assert twin not in idx
    twin.price = 99  # belongs to no index: nothing changes there
    assert idx.get_by_attribute(price=2.5) == [obj]


def test_index_and_view_pickle_as_their_objects():
    objs = make_population(5, 120)
    idx = build(objs, 5)
    for x in (idx, idx.reduced_query(Q.lt("qty", 50)), copy.deepcopy(idx)):
        original = x if isinstance(x, Index) else x.rebase()
        for protocol in (0, pickle.HIGHEST_PROTOCOL):
            restored = pickle.loads(pickle.dumps(x, protocol=protocol))
            assert type(restored) is Index
            assert answers(restored) == answers(original)


def test_unpicklable_value_raises_the_usual_error():
    value = lambda: None  # noqa: E731
    with pytest.raises(Exception) as plain:
        pickle.dumps([value])
    idx = Index()
    idx.add_object(Indexable(f=value))
    for target in (Indexable(f=value), idx):
        with pytest.raises(type(plain.value)):
            pickle.dumps(target)


def test_answers_stay_sound_while_other_threads_change_the_index():
    import threading

    objs = [Indexable(price=float(n % 37), k=n) for n in range(400)]
    idx = Index()
    idx.add_object_many(objs)
    known = {id(o) for o in objs}
    stop = threading.Event()
    errors = []

    def churn(seed):
        rng = random.Random(seed)
        while not stop.is_set():
            o = rng.choice(objs)
            try:
                idx.remove_object(o)
                o.price = rng.choice([1.0, math.nan, "x", None])
                idx.add_object(o)
            except KeyError:
                pass  # the other writer had it out
            o.price = float(rng.randrange(37))

    def read():
        try:
            for _ in range(200):
                assert all(id(o) in known for o in idx)
                top = idx.order_by("price", limit=20)
                assert len(top) <= 20 and all(id(o) in known for o in top)
                view = idx.reduced_query(Q.has("price"))
                assert 0 <= len(view) <= len(objs)
                assert isinstance(objs[0] in view, bool)
        except Exception as exc:  # reported below, the thread must not die silently
            errors.append(exc)

    writers = [threading.Thread(target=churn, args=(s,)) for s in (1, 2)]
    reader = threading.Thread(target=read)
    for t in writers + [reader]:
        t.start()
    reader.join()
    stop.set()
    for t in writers:
        t.join()
    assert errors == []
    # every removal was followed by its re-add: all objects are back, once each
    assert [o.k for o in idx.order_by("k")] == list(range(len(objs)))
    assert len(idx) == len(idx.reduced_query(Q.has("price"))) == len(objs)
    want = sorted(objs, key=lambda o: o.price)
    assert [o.price for o in idx.order_by("price")] == [o.price for o in want]
