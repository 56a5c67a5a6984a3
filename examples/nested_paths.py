"""Nested objects and dotted paths.

People hold Address objects, which hold Country objects. Queries reach into
them with dotted attribute paths such as "home.country.code", and writes at
any level are followed.

    python examples/nested_paths.py
"""

from __future__ import annotations

from Quarrydex import Index, Indexable, PyQueryExpr as Q


class Country(Indexable):
    code: str


class Address(Indexable):
    city: str
    postcode: str
    country: Country


class Person(Indexable):
    name: str
    home: Address
    languages: list[str]


def names(found: list[Indexable]) -> list[str]:
    return [p.name for p in found if isinstance(p, Person)]


def main() -> None:
    norway, italy = Country(code="NO"), Country(code="IT")
    people = [
        Person(name="Ada", home=Address(city="Oslo", postcode="0150", country=norway), languages=["no", "en"]),
        Person(name="Bo", home=Address(city="Bergen", postcode="5003", country=norway), languages=["no"]),
        Person(name="Cy", home=Address(city="Rome", postcode="00184", country=italy), languages=["it", ["en", "fr"]]),
    ]
    index = Index()
    index.add_object_many(people)

    # One level down, two levels down; every operator works on paths.
    assert names(index.reduced_query(Q.eq("home.city", "Oslo")).collect()) == ["Ada"]
    assert names(index.reduced_query(Q.eq("home.country.code", "NO")).collect()) == ["Ada", "Bo"]
    assert names(index.reduced_query(Q.starts_with("home.postcode", "00")).collect()) == ["Cy"]
    assert names(index.reduced_query(Q.in_("home.city", ["Rome", "Bergen"])).collect()) == ["Bo", "Cy"]
    # Keyword lookups take paths too, through a dict since a keyword cannot
    # contain a point.
    assert names(index.get_by_attribute(**{"home.city": "Bergen"})) == ["Bo"]
    assert names(index.reduced(**{"home.country.code": "IT"}).collect()) == ["Cy"]

    # A nested object itself is matched by identity.
    assert names(index.get_by_attribute(home=people[1].home)) == ["Bo"]
    assert index.get_by_attribute(home=Address(city="Bergen", postcode="5003", country=norway)) == []

    # Members of lists count, also in lists inside lists.
    assert names(index.get_by_attribute(languages="en")) == ["Ada", "Cy"]
    assert names(index.get_by_attribute(languages="fr")) == ["Cy"]

    # A write deep down reaches the outer index...
    people[0].home.city = "Tromsø"
    assert names(index.reduced_query(Q.eq("home.city", "Tromsø")).collect()) == ["Ada"]
    assert index.reduced_query(Q.eq("home.city", "Oslo")).collect() == []

    # ...and so does replacing the nested object.
    people[2].home = Address(city="Oslo", postcode="0151", country=norway)
    assert names(index.reduced_query(Q.eq("home.country.code", "NO")).collect()) == ["Ada", "Bo", "Cy"]
    assert names(index.reduced_query(Q.eq("home.city", "Oslo")).collect()) == ["Cy"]

    # One shared Country object: changing it moves everyone who points at it.
    norway.code = "NOR"
    assert names(index.reduced_query(Q.eq("home.country.code", "NOR")).collect()) == ["Ada", "Bo", "Cy"]

    for person in index.collect():
        assert isinstance(person, Person)
        print(f"{person.name}: {person.home.city} ({person.home.country.code})")


if __name__ == "__main__":
    main()
