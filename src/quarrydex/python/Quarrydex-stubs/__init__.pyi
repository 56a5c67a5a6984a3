"""Type information for the Quarrydex extension module.

The module is a single compiled file, which cannot carry a ``py.typed``
marker of its own, so these declarations ship as the stub-only package
``Quarrydex-stubs``.

Choices made here:

- Results are typed ``list[Indexable]``: an index only ever holds
  ``Indexable`` instances, but it does not know which subclass a caller put
  in, so narrow with ``isinstance`` (or ``typing.cast``) where a subclass is
  needed.
- Attributes of an ``Indexable`` are dynamic. Reading an undeclared one gives
  ``Any``; declare the attributes of a subclass as class annotations
  (``price: float``) to have them checked.
- Range operands are typed ``float`` (which admits ``int`` too) and pattern
  operands ``str``: any other kind selects nothing, or fails at evaluation
  for ``bt``, so the checker flags it before it runs.
- Keyword-query methods take ``self`` positionally only, so that an
  attribute may be called ``self``.
"""

from collections.abc import Iterator, Sequence
from typing import Any, Self, final

from typing_extensions import disjoint_base

__all__ = ["sum_as_string", "Index", "Indexable", "FilteredIndex", "PyQueryExpr"]

__version__: str
"""The installed package's version, as its metadata gives it."""

def sum_as_string(a: int, b: int) -> str:
    """The sum of two unsigned 64-bit integers, modulo 2**64, as decimal text."""

class PanicException(BaseException):
    """An internal consistency check failed.

    Derived from ``BaseException`` so that ``except Exception`` does not
    swallow it. The index or object whose lock was held when it was raised
    stays unusable. Reachable as ``Quarrydex.PanicException``; not exported
    by ``from Quarrydex import *``.
    """

@disjoint_base
class Indexable:
    """Base class of objects whose attributes indexes track.

    Keyword arguments become the instance's attributes; positional arguments
    are accepted and ignored. Assigning an attribute updates every index that
    holds the object; deleting one raises ``AttributeError``.
    """

    def __new__(cls, *_args: object, **kwargs: object) -> Self: ...
    def __getattribute__(self, name: str, /) -> Any: ...
    def __setattr__(self, name: str, value: object, /) -> None: ...
    def __reduce_ex__(self, protocol: Any, /) -> tuple[Any, ...]:
        """Pickles (and copies) as the class and its attributes, ``_`` names included."""

    def __setstate__(self, state: dict[str, Any], /) -> None:
        """Assigns the saved attributes (used by unpickling and ``copy``)."""

@final
class Index:
    """An in-memory index of ``Indexable`` objects by attribute value."""

    def __init__(self) -> None:
        """A new, empty index."""

    def add_object(self, py_ref: Indexable) -> None:
        """Adds one object; attribute names starting with "_" are not indexed."""

    def add_object_many(self, objs: Sequence[Indexable]) -> None:
        """Adds every object of a sequence (all or none); indexes "_" names too."""

    def get_by_attribute(self, /, **kwargs: object) -> list[Indexable]:
        """The objects whose attributes equal all the given values."""

    def reduce(self, /, **kwargs: object) -> None:
        """Narrows this index in place to the objects matching the keywords."""

    def reduced(self, /, **kwargs: object) -> FilteredIndex:
        """The objects matching all the keyword equalities, as a filtered view."""

    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex:
        """The objects matching a query expression, as a filtered view."""

    def collect(self) -> list[Indexable]:
        """Every object of the index."""

    def union_with(self, other: Index) -> None:
        """Merges the objects of ``other`` into this index."""

    def remove_object(self, obj: Indexable) -> None:
        """Takes one object out (``KeyError`` if the index does not hold it)."""

    def order_by(
        self, attr: str, *, descending: bool = False, limit: int | None = None
    ) -> list[Indexable]:
        """The objects ordered by one attribute (numbers, strings, False, True, the rest)."""

    def __len__(self) -> int:
        """How many objects ``collect()`` would return."""

    def __iter__(self) -> Iterator[Indexable]:
        """The objects held now, lazily, in ``collect()`` order."""

    def __contains__(self, obj: object, /) -> bool:
        """Whether this very object is held (identity; never raises)."""

    def __reduce__(self) -> tuple[Any, ...]:
        """Pickles as its objects."""

    def __setstate__(self, state: tuple[Any, ...], /) -> None:
        """Adds the objects of a pickled index (used by unpickling)."""

@final
class FilteredIndex:
    """A fixed selection of an index's objects.

    Made by ``reduced`` and ``reduced_query``; there is no public
    constructor. The selection never changes; the objects' current attribute
    values are what later narrowing sees.
    """

    def reduced(self, /, **kwargs: object) -> FilteredIndex:
        """The selected objects that match all the keyword equalities."""

    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex:
        """The selected objects that match a query expression."""

    def collect(self) -> list[Indexable]:
        """The selected objects."""

    def rebase(self) -> Index:
        """A new, independent index of the selected objects."""

    def order_by(
        self, attr: str, *, descending: bool = False, limit: int | None = None
    ) -> list[Indexable]:
        """The selected objects ordered by one attribute."""

    def __len__(self) -> int:
        """How many objects ``collect()`` would return."""

    def __iter__(self) -> Iterator[Indexable]:
        """The selected objects held now, lazily, in ``collect()`` order."""

    def __contains__(self, obj: object, /) -> bool:
        """Whether this very object is selected and still held."""

    def __reduce__(self) -> tuple[Any, ...]:
        """Pickles as ``rebase()``."""

@final
class PyQueryExpr:
    """An immutable query, built only by the static constructors below."""

    @staticmethod
    def eq(attr: str, value: object) -> PyQueryExpr:
        """Attribute equals value (or a container value holds it)."""

    @staticmethod
    def ne(attr: str, value: object) -> PyQueryExpr:
        """Everything ``eq`` does not select, objects without the attribute included."""

    @staticmethod
    def gt(attr: str, value: float) -> PyQueryExpr:
        """Numeric attribute greater than value."""

    @staticmethod
    def ge(attr: str, value: float) -> PyQueryExpr:
        """Numeric attribute greater than or equal to value."""

    @staticmethod
    def lt(attr: str, value: float) -> PyQueryExpr:
        """Numeric attribute less than value."""

    @staticmethod
    def le(attr: str, value: float) -> PyQueryExpr:
        """Numeric attribute less than or equal to value."""

    @staticmethod
    def bt(attr: str, lower: float, upper: float) -> PyQueryExpr:
        """Numeric attribute between lower and upper, both included."""

    @staticmethod
    def in_(attr: str, values: Sequence[object]) -> PyQueryExpr:
        """Attribute equals any of the values (a ``str`` is refused)."""

    @staticmethod
    def and_(*exprs: PyQueryExpr) -> PyQueryExpr:
        """All of the expressions; with none, every object."""

    @staticmethod
    def or_(*exprs: PyQueryExpr) -> PyQueryExpr:
        """Any of the expressions; with none, no object."""

    @staticmethod
    def not_(exprs: PyQueryExpr) -> PyQueryExpr:
        """Every object the single expression does not select."""

    @staticmethod
    def starts_with(attr: str, value: str) -> PyQueryExpr:
        """String attribute starts with value (bytes compared, case kept)."""

    @staticmethod
    def ends_with(attr: str, value: str) -> PyQueryExpr:
        """String attribute ends with value."""

    @staticmethod
    def contains(attr: str, value: str) -> PyQueryExpr:
        """String attribute contains value."""

    @staticmethod
    def has(attr: str) -> PyQueryExpr:
        """The object holds the attribute, whatever its value (``None`` included)."""
