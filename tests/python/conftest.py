"""Shared helpers for the Python tests of the module surface.

Object ids are not visible from Python, and ids of released objects are
reused, so "ascending id order" cannot be predicted from creation order once
other tests have freed objects. The helpers below learn the id order of a set
of objects from one index holding all of them and then check every result
against it; the creation-order rule itself is checked in a fresh interpreter
(test_index.py).
"""

import faulthandler
import sys

import pytest

from Quarrydex import Index


def id_order(objs):
    """Maps id(obj) to the object's position in ascending object-id order."""
    probe = Index()
    probe.add_object_many(list(objs))
    listed = probe.collect()
    assert len(listed) == len({id(o) for o in objs})
    return {id(o): pos for pos, o in enumerate(listed)}


class Population:
    """Labelled objects plus their id order, for comparing results by label."""

    def __init__(self, labelled):
        self.by_label = dict(labelled)
        self.label_of = {id(o): label for label, o in self.by_label.items()}
        self.order = id_order(self.by_label.values())

    def objects(self):
        return list(self.by_label.values())

    def labels(self, result):
        """The labels of a result list, in result order; unknown objects fail."""
        return [self.label_of[id(o)] for o in result]

    def expected(self, labels):
        """The labels in the order every result list must show them."""
        return sorted(set(labels), key=lambda lb: self.order[id(self.by_label[lb])])

    def check(self, result, labels):
        assert isinstance(result, list)
        assert self.labels(result) == self.expected(labels)


@pytest.fixture
def watchdog():
    """Dumps every thread's stack and exits if a test hangs."""
    faulthandler.dump_traceback_later(120, exit=True, file=sys.stderr)
    yield
    faulthandler.cancel_dump_traceback_later()
