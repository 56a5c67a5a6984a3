"""A complete picture of some indexes and objects, for "nothing changed" checks.

A refused call must leave every index and every tracked object exactly as it
was. `World.take()` records, by object identity, what each index lists and
what it answers for every attribute and every value seen on the objects
(equality, membership, range and string queries), and for each object its
tracked attributes and their values. Two pictures compare equal only when no
index and no object changed in anything a caller can observe.
"""

import math

from Quarrydex import Index, Indexable
from Quarrydex import PyQueryExpr as Q

SCALARS = (int, float, str, bool)


def tracked_names(obj):
    """The tracked attribute names of obj, in the object's own order."""
    count = int(Indexable.__repr__(obj).split()[2])  # "<Indexable with N attributes>"
    return Indexable.__dir__(obj)[:count]


def value_key(value):
    """Scalars compare by type and value, everything else by identity."""
    if type(value) in SCALARS:
        if isinstance(value, float) and math.isnan(value):
            return ("nan",)
        return (type(value).__name__, value)
    return ("id", id(value))


def members(value):
    """The values a lookup can match for value: containers give their members."""
    if type(value) in (list, tuple, set):
        for member in value:
            yield from members(member)
    elif type(value) is not dict:
        yield value


class World:
    """Indexes (Index or FilteredIndex) and objects to watch."""

    def __init__(self, indexes, objects):
        self.indexes = list(indexes)
        self.objects = list(objects)

    def _probes(self):
        """Attribute paths and the values to look them up with. A nested object
        adds its own attributes as dotted paths (one level down)."""
        probes = {}

        def note(path, value):
            seen = probes.setdefault(path, [])
            for member in members(value):
                if all(member is not other for other in seen):
                    seen.append(member)

        for obj in self.objects:
            for name in tracked_names(obj):
                value = getattr(obj, name)
                note(name, value)
                for member in members(value):
                    if isinstance(member, Indexable):
                        for sub in tracked_names(member):
                            note(f"{name}.{sub}", getattr(member, sub))
        return probes

    @staticmethod
    def _ids(objects):
        return [id(o) for o in objects]

    def _answers(self, index, probes):
        def run(query):
            return self._ids(index.reduced_query(query).collect())

        answers = {"collect": self._ids(index.collect())}
        for name, values in sorted(probes.items()):
            answers[(name, "ge")] = run(Q.ge(name, -math.inf))
            answers[(name, "prefix")] = run(Q.starts_with(name, ""))
            answers[(name, "ne")] = run(Q.ne(name, None))
            for value in values:
                key = value_key(value)
                answers[(name, "eq", key)] = self._ids(index.reduced(**{name: value}).collect())
                answers[(name, "in", key)] = run(Q.in_(name, [value]))
        return answers

    def _object(self, obj):
        names = tracked_names(obj)
        return (type(obj), tuple((n, value_key(getattr(obj, n))) for n in names))

    def take(self):
        probes = self._probes()
        return (
            [self._answers(index, probes) for index in self.indexes],
            [self._object(obj) for obj in self.objects],
        )


class Holder:
    """An unhashable-by-value, hashable-by-identity attribute value."""

    def __repr__(self):
        return "<Holder>"


def sample_world():
    """Two overlapping indexes, a filtered view, and objects of every value kind.

    Returns (world, names) where names maps labels to the objects.
    """
    leaf = Indexable(code="leaf", n=0)
    holder = Holder()
    named = {
        "a": Indexable(v=1, s="alpha", f=1.5, b=True, tags=["x", "y"], u=holder, child=leaf),
        "b": Indexable(v=2, s="beta", f=-0.5, b=False, tags=("y", 3), u=None),
        "c": Indexable(v=-(2**63), s="", tags={"z"}, child=leaf, _p=7),
        "loose": Indexable(v=9, s="unlinked"),
        "leaf": leaf,
    }
    first, second = Index(), Index()
    first.add_object_many([named["a"], named["b"], named["c"]])
    second.add_object(named["b"])
    second.add_object(named["c"])
    view = first.reduced_query(Q.lt("v", 2))
    world = World([first, second, view], list(named.values()))
    named.update(first=first, second=second, view=view)
    return world, named
