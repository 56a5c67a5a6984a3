"""A product catalogue: equality, membership, range and string queries.

Ten thousand products go into one index; every query below is answered by the
index and checked against the list comprehension that says the same thing.

    python examples/catalogue.py
"""

from __future__ import annotations

import random
from collections.abc import Callable

from Quarrydex import Index, Indexable, PyQueryExpr as Q

CATEGORIES = ["kitchen", "garden", "office", "toys", "lighting"]
WORDS = ["Teapot", "Teacup", "Lamp", "Rake", "Stapler", "Kite", "Lantern", "Kettle", "Hose"]


class Product(Indexable):
    # Annotations only tell type checkers what the attributes hold; the values
    # live in the object and in every index that holds it.
    sku: str
    name: str
    category: str
    price: float
    stock: int
    tags: list[str]


def make_catalogue(size: int) -> list[Product]:
    rng = random.Random(7)
    products = []
    for n in range(size):
        word = rng.choice(WORDS)
        products.append(
            Product(
                sku=f"SKU-{n:05d}",
                name=f"{word} model {rng.randint(1, 40)}",
                category=rng.choice(CATEGORIES),
                # Whole-number prices are ints, the others floats: queries
                # compare the two numerically.
                price=rng.choice([rng.randint(1, 90), round(rng.uniform(1, 90), 2)]),
                stock=rng.randint(0, 20),
                tags=rng.sample(["gift", "sale", "new", "eco"], k=rng.randint(0, 2)),
            )
        )
    return products


def products(found: list[Indexable]) -> list[Product]:
    """Results are typed as Indexable; narrow them to the subclass we stored."""
    assert all(isinstance(p, Product) for p in found)
    return [p for p in found if isinstance(p, Product)]


def main() -> None:
    catalogue = make_catalogue(10_000)
    index = Index()
    index.add_object_many(catalogue)

    def check(label: str, got: list[Indexable], wanted: Callable[[Product], bool]) -> None:
        expected = [p for p in catalogue if wanted(p)]
        # Objects come back in the order they were created, like the list.
        assert products(got) == expected, label
        print(f"{label:<48} {len(expected):>5} products")

    # Equality on several attributes at once.
    check(
        "kitchen products at exactly 12",
        index.get_by_attribute(category="kitchen", price=12),
        lambda p: p.category == "kitchen" and p.price == 12,
    )
    # 12 and 12.0 are the same number to the index.
    assert index.get_by_attribute(price=12) == index.get_by_attribute(price=12.0)

    # Ranges: bt includes both bounds; ints and floats mix freely.
    check("price between 10 and 20", index.reduced_query(Q.bt("price", 10, 20.0)).collect(), lambda p: 10 <= p.price <= 20)
    check("price above 89.5", index.reduced_query(Q.gt("price", 89.5)).collect(), lambda p: p.price > 89.5)
    check(
        "cheap and in stock",
        index.reduced_query(Q.and_(Q.lt("price", 5), Q.ge("stock", 1))).collect(),
        lambda p: p.price < 5 and p.stock >= 1,
    )

    # String patterns compare bytes exactly: no case folding.
    check("name starts with 'Tea'", index.reduced_query(Q.starts_with("name", "Tea")).collect(), lambda p: p.name.startswith("Tea"))
    assert index.reduced_query(Q.starts_with("name", "tea")).collect() == []
    check("name ends with 'model 7'", index.reduced_query(Q.ends_with("name", "model 7")).collect(), lambda p: p.name.endswith("model 7"))
    check("name contains 'ant'", index.reduced_query(Q.contains("name", "ant")).collect(), lambda p: "ant" in p.name)

    # Membership: in_ over values, and list members are indexed one by one.
    check(
        "garden or toys",
        index.reduced_query(Q.in_("category", ["garden", "toys"])).collect(),
        lambda p: p.category in ("garden", "toys"),
    )
    check("tagged 'gift'", index.get_by_attribute(tags="gift"), lambda p: "gift" in p.tags)

    # Negation and alternatives.
    check(
        "not office, and sale or eco",
        index.reduced_query(
            Q.and_(Q.ne("category", "office"), Q.or_(Q.eq("tags", "sale"), Q.eq("tags", "eco")))
        ).collect(),
        lambda p: p.category != "office" and ("sale" in p.tags or "eco" in p.tags),
    )

    # A FilteredIndex is a selection that can be narrowed again.
    lighting = index.reduced(category="lighting")
    check("lighting, out of stock", lighting.reduced(stock=0).collect(), lambda p: p.category == "lighting" and p.stock == 0)
    check(
        "lighting, 'Lantern' under 30",
        lighting.reduced_query(Q.and_(Q.starts_with("name", "Lantern"), Q.lt("price", 30))).collect(),
        lambda p: p.category == "lighting" and p.name.startswith("Lantern") and p.price < 30,
    )

    # One product by its key.
    (found,) = products(index.get_by_attribute(sku="SKU-00042"))
    assert found is catalogue[42]
    print(f"SKU-00042 is {found.name!r} at {found.price}")


if __name__ == "__main__":
    main()
