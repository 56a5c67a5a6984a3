"""Live updates: the index follows attribute writes.

An order-tracking board: orders move through states by ordinary attribute
assignment, and every index holding an order sees the change at once.

    python examples/live_updates.py
"""

from __future__ import annotations

from Quarrydex import Index, Indexable, PyQueryExpr as Q


class Order(Indexable):
    number: int
    status: str
    total: float
    items: list[str]
    _note: str


def numbers(found: list[Indexable]) -> list[int]:
    return [o.number for o in found if isinstance(o, Order)]


def main() -> None:
    orders = [
        Order(number=n, status="new", total=10.0 * n, items=["pen"] if n % 2 else ["ink", "pen"])
        for n in range(1, 7)
    ]
    board = Index()
    board.add_object_many(orders)
    big = Index()  # a second index holding some of the same objects
    big.add_object_many([o for o in orders if o.total >= 40])

    # An ordinary assignment moves the order in every index that holds it.
    orders[3].status = "shipped"  # order 4
    assert numbers(board.get_by_attribute(status="shipped")) == [4]
    assert numbers(board.get_by_attribute(status="new")) == [1, 2, 3, 5, 6]
    assert numbers(big.get_by_attribute(status="shipped")) == [4]

    # Range queries see new numbers too.
    orders[0].total = 99.5
    assert numbers(board.reduced_query(Q.gt("total", 50)).collect()) == [1, 6]
    print("after two writes:", numbers(board.reduced_query(Q.ne("status", "new")).collect()), "left 'new'")

    # A list value is indexed by its members when it is assigned. Changing
    # the list in place is invisible to the index: assign a new list instead.
    orders[1].items.append("paper")  # order 2, in place: NOT tracked
    assert numbers(board.get_by_attribute(items="paper")) == []
    orders[1].items = orders[1].items + []  # a new list: tracked
    assert numbers(board.get_by_attribute(items="paper")) == [2]

    # Attributes whose names start with "_" are stored on the object but not
    # indexed by add_object or by assignment.
    scratch = Index()
    orders[4]._note = "call customer"
    scratch.add_object(orders[4])
    assert orders[4]._note == "call customer"
    assert scratch.get_by_attribute(_note="call customer") == []
    assert numbers(scratch.get_by_attribute(number=5)) == [5]

    # A FilteredIndex keeps its selection, but narrowing it again sees the
    # objects' current values.
    waiting = board.reduced(status="new")
    orders[5].status = "shipped"  # order 6
    assert numbers(waiting.collect()) == [1, 2, 3, 5, 6]  # the selection is fixed
    assert numbers(waiting.reduced(status="new").collect()) == [1, 2, 3, 5]

    # rebase() turns a selection into an independent index that is kept up
    # to date as well.
    shipped = board.reduced(status="shipped").rebase()
    orders[3].status = "delivered"
    assert numbers(shipped.get_by_attribute(status="delivered")) == [4]

    # reduce() narrows an index in place and forgets the other objects.
    archive = Index()
    archive.add_object_many(orders)
    archive.reduce(status="delivered")
    assert numbers(archive.collect()) == [4]

    # union_with() merges another index in; the merged objects stay up to
    # date in both indexes.
    archive.union_with(big)
    assert numbers(archive.collect()) == [4, 5, 6]
    orders[4].status = "delivered"
    assert numbers(archive.get_by_attribute(status="delivered")) == [4, 5]
    assert numbers(big.get_by_attribute(status="delivered")) == [4, 5]

    print("final states:", {o.number: o.status for o in orders})


if __name__ == "__main__":
    main()
