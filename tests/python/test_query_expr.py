"""PyQueryExpr: construction, argument errors, reprs and reference ownership.

Expected reprs are built independently of the module: value hashes are
recomputed here in pure Python from the hash definition (word hash over the
payload word and the kind code, byte digest for text), and object addresses
come from id().
"""

import gc
import inspect
import re
import struct
import sys
import weakref

import pytest

import Quarrydex
from Quarrydex import PyQueryExpr as Q

MASK = (1 << 64) - 1
WORD_K = 0xF1357AEA2E62A9C5
DIGEST_P = 0xA4093822299F31D0


# ---------------------------------------------------------------- hashing


def word_hash(*words):
    h = 0
    for w in words:
        h = ((h + (w & MASK)) * WORD_K) & MASK
    return ((h << 26) | (h >> 38)) & MASK


def _mix(x, y):
    p = x * y
    return ((p >> 64) ^ p) & MASK


def _le(b, off, n):
    return int.from_bytes(b[off : off + n], "little")


def byte_digest(b):
    n = len(b)
    s0, s1 = 0x243F6A8885A308D3, 0x13198A2E03707344
    if n <= 16:
        if n >= 8:
            s0 ^= _le(b, 0, 8)
            s1 ^= _le(b, n - 8, 8)
        elif n >= 4:
            s0 ^= _le(b, 0, 4)
            s1 ^= _le(b, n - 4, 4)
        elif n > 0:
            s0 ^= b[0]
            s1 ^= (b[n - 1] << 8) | b[n // 2]
    else:
        off = 0
        while off < n - 16:
            t = _mix(s0 ^ _le(b, off, 8), DIGEST_P ^ _le(b, off + 8, 8))
            s0, s1 = s1, t
            off += 16
        s0 ^= _le(b, n - 16, 8)
        s1 ^= _le(b, n - 8, 8)
    return _mix(s0, s1) ^ n


def escaped(text):
    table = {"\\": "\\\\", '"': '\\"', "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
    out = []
    for ch in text:
        if ch in table:
            out.append(table[ch])
        elif not ch.isprintable() and ch != " ":
            out.append("\\u{%x}" % ord(ch))
        else:
            out.append(ch)
    return "".join(out)


def payload_and_hash(v):
    """The payload text and hash of a scalar or unknown value."""
    t = type(v)
    if t is bool:
        return f"Bool({'true' if v else 'false'})", word_hash(int(v), 4)
    if t is int:
        return f"Int({v})", word_hash(v, 1)
    if t is float:
        bits = struct.unpack("<Q", struct.pack("<d", v))[0]
        return f"Float({v!r})", word_hash(bits, 2)
    if t is str:
        digest = byte_digest(v.encode("utf-8"))
        return f'Str("{escaped(v)}")', word_hash(digest, 0xFF, 3)
    return "Unknown", hash(v) & MASK


def debug(v):
    payload, h = payload_and_hash(v)
    return f"PyValue {{ obj: Some(Py({hex(id(v))})), primitave: {payload}, hash: {h} }}"


def rendered(kind, attr, *fields):
    return f'{kind}("{escaped(attr)}", ' + ", ".join(fields) + ")"


def wrapped(rendering):
    return f"<QueryExpr: {rendering}>"


class Token:
    """A plain object: an Unknown value hashed by identity."""


class Unhashable:
    __hash__ = None


class HashRaises:
    def __init__(self, label):
        self.label = label

    def __hash__(self):
        raise ValueError(self.label)


LEAVES = [
    ("eq", "Eq"),
    ("ne", "Ne"),
    ("gt", "Gt"),
    ("ge", "Ge"),
    ("lt", "Lt"),
    ("le", "Le"),
    ("starts_with", "StartsWi"),
    ("ends_with", "EndsWi"),
    ("contains", "Contains"),
]


# ------------------------------------------------------- the hash oracle


@pytest.mark.parametrize(
    "text",
    ["", "a", "ab", "abc", "abcd", "abcdefg", "abcdefgh", "x" * 16, "y" * 17, "z" * 23,
     "w" * 24, "0123456789abcdef0123456789abcdef", "q" * 33, "été", "日本語テキスト", "🙂" * 9],
)
def test_string_value_hash_follows_byte_digest(text):
    assert repr(Q.eq("a", text)) == wrapped(rendered("Eq", "a", debug(text)))


@pytest.mark.parametrize(
    "value",
    [0, 1, -1, 5, 2**63 - 1, -(2**63), 0.0, -0.0, 1.5, 2.0, 0.1, -3.25, True, False, None,
     Token(), b"raw", frozenset({1}), (1).__class__],
    ids=repr,
)
def test_scalar_and_unknown_value_reprs(value):
    assert repr(Q.eq("a", value)) == wrapped(rendered("Eq", "a", debug(value)))


def test_int_float_and_bool_one_render_as_three_kinds():
    expr = Q.in_("a", [1, 1.0, True])
    assert repr(expr) == wrapped(
        'In("a", [' + ", ".join(debug(v) for v in (1, 1.0, True)) + "])"
    )
    hashes = [int(h) for h in re.findall(r"hash: (\d+)", repr(expr))]
    assert len(set(hashes)) == 3


def test_int_subclass_is_unknown():
    class MyInt(int):
        pass

    v = MyInt(3)
    assert repr(Q.eq("a", v)) == wrapped(
        rendered("Eq", "a", f"PyValue {{ obj: Some(Py({hex(id(v))})), primitave: Unknown, "
                 f"hash: {hash(v) & MASK} }}")
    )


@pytest.mark.parametrize(
    "container, kind", [([1], "List"), ((2,), "Tuple"), ({"k": 1}, "Dict"), ({3}, "Set")]
)
def test_iterable_value_shows_its_container(container, kind):
    text = repr(Q.eq("a", container))
    address = hex(id(container))
    pattern = (
        r'<QueryExpr: Eq\("a", PyValue \{ obj: Some\(Py\(' + address + r"\)\), primitave: "
        r"Iterable\(" + kind + r"\(Py\(" + address + r"\)\)\), hash: \d+ \}\)>"
    )
    assert re.fullmatch(pattern, text), text


def test_indexable_value_is_hashed_by_identity():
    obj = Quarrydex.Indexable()
    text = repr(Q.eq("a", obj))
    match = re.fullmatch(r'<QueryExpr: Eq\("a", PyValue \{ obj: Some\(Py\((0x[0-9a-f]+)\)\), '
                         r"primitave: Ind\((.*)\), hash: (\d+) \}\)>", text)
    assert match, text
    assert match.group(1) == hex(id(obj))
    assert f"Py({hex(id(obj))})" in match.group(2)
    assert int(match.group(3)) == word_hash(id(obj), 6)


def test_numpy_scalars_convert_like_builtins():
    np = pytest.importorskip("numpy")
    cases = [
        (np.int64(5), "Int(5)", word_hash(5, 1)),
        (np.float64(2.5), "Float(2.5)", payload_and_hash(2.5)[1]),
        (np.str_("hi"), 'Str("hi")', payload_and_hash("hi")[1]),
        (np.bool_(True), "Bool(true)", word_hash(1, 4)),
        (np.int32(5), "Unknown", hash(np.int32(5)) & MASK),
    ]
    for value, payload, h in cases:
        expected = (
            f"PyValue {{ obj: Some(Py({hex(id(value))})), primitave: {payload}, hash: {h} }}"
        )
        assert repr(Q.eq("a", value)) == wrapped(rendered("Eq", "a", expected))


# ---------------------------------------------------------- constructors


@pytest.mark.parametrize("method, kind", LEAVES)
def test_leaf_constructors(method, kind):
    build = getattr(Q, method)
    value = Token()
    expected = wrapped(rendered(kind, "attr.path", debug(value)))
    assert repr(build("attr.path", value)) == expected
    assert repr(build(attr="attr.path", value=value)) == expected
    assert repr(build("attr.path", value=value)) == expected
    assert repr(build(value=value, attr="attr.path")) == expected


def test_bt_keywords_in_any_order_keep_lower_first():
    expected = wrapped(rendered("Bt", "x", debug(1), debug(9)))
    assert repr(Q.bt("x", 1, 9)) == expected
    assert repr(Q.bt(attr="x", upper=9, lower=1)) == expected
    assert repr(Q.bt("x", upper=9, lower=1)) == expected


def test_bt_does_not_check_bounds_or_kinds():
    lower, upper = "z", -1.5
    assert repr(Q.bt("x", lower, upper)) == wrapped(rendered("Bt", "x", debug(lower), debug(upper)))


@pytest.mark.parametrize(
    "values",
    [[], (), [1, 1], (1, 1), [3, "s", None, 2.5], range(4), b"ab"],
    ids=repr,
)
def test_in_keeps_every_element_in_order(values):
    items = list(values)  # cached small ints and interned text: same objects as iteration gives
    expected = wrapped('In("a", [' + ", ".join(debug(v) for v in items) + "])")
    assert repr(Q.in_("a", values)) == expected
    assert repr(Q.in_(values=values, attr="a")) == expected


def test_in_reads_a_getitem_sequence_whose_length_fails():
    class NoLength:
        def __getitem__(self, i):
            if i >= 3:
                raise IndexError(i)
            return i * 10

        def __len__(self):
            raise ValueError("no length")

    expected = wrapped('In("a", [' + ", ".join(debug(v) for v in (0, 10, 20)) + "])")
    assert repr(Q.in_("a", NoLength())) == expected


def test_in_iterates_rather_than_indexing():
    class IterOnly(list):
        def __getitem__(self, i):
            raise AssertionError("elements must be read by iteration")

    values = IterOnly([7, 8])
    assert repr(Q.in_("a", values)) == wrapped(f'In("a", [{debug(7)}, {debug(8)}])')


def test_empty_groups():
    assert repr(Q.and_()) == "<QueryExpr: And([])>"
    assert repr(Q.or_()) == "<QueryExpr: Or([])>"


def test_groups_keep_argument_order():
    a, b, c = Q.eq("a", 1), Q.ne("b", "x"), Q.lt("c", 2.5)
    inner = ", ".join(repr(e)[len("<QueryExpr: ") : -1] for e in (a, b, c))
    assert repr(Q.and_(a, b, c)) == f"<QueryExpr: And([{inner}])>"
    assert repr(Q.or_(c, b, a)) == "<QueryExpr: Or([" + ", ".join(
        repr(e)[len("<QueryExpr: ") : -1] for e in (c, b, a)
    ) + "])>"


def test_not_and_nesting():
    leaf = Q.eq("a", 1)
    assert repr(Q.not_(leaf)) == wrapped(f"Not({rendered('Eq', 'a', debug(1))})")
    assert repr(Q.not_(exprs=Q.not_(leaf))) == wrapped(
        f"Not(Not({rendered('Eq', 'a', debug(1))}))"
    )


def test_documented_example():
    expr = Q.and_(Q.eq("a", 1), Q.not_(Q.in_("b", [])))
    assert repr(expr) == '<QueryExpr: And([Eq("a", ' + debug(1) + '), Not(In("b", []))])>'


@pytest.mark.parametrize(
    "attr, shown",
    [
        ('say "hi"', 'say \\"hi\\"'),
        ("line\nfeed", "line\\nfeed"),
        ("tab\there", "tab\\there"),
        ("cr\rhere", "cr\\rhere"),
        ("nul\0here", "nul\\0here"),
        ("back\\slash", "back\\\\slash"),
        ("it's", "it's"),
        ("bell\x07", "bell\\u{7}"),
        ("del\x7f", "del\\u{7f}"),
        ("c1\x85", "c1\\u{85}"),
        ("sep\u2028", "sep\\u{2028}"),
        ("para\u2029", "para\\u{2029}"),
        ("été 日本 🙂", "été 日本 🙂"),
        ("", ""),
        ("a.b.c", "a.b.c"),
        ("long_" * 10, "long_" * 10),
    ],
)
def test_attribute_escaping(attr, shown):
    assert repr(Q.eq(attr, 1)) == f'<QueryExpr: Eq("{shown}", {debug(1)})>'


def test_str_subclass_attribute_is_accepted():
    class Name(str):
        pass

    assert repr(Q.eq(Name("abc"), 1)) == repr(Q.eq("abc", 1))


def test_constructors_are_static_with_text_signatures():
    signatures = {
        "eq": "(attr, value)", "ne": "(attr, value)", "gt": "(attr, value)",
        "ge": "(attr, value)", "lt": "(attr, value)", "le": "(attr, value)",
        "bt": "(attr, lower, upper)", "in_": "(attr, values)", "and_": "(*exprs)",
        "or_": "(*exprs)", "not_": "(exprs)", "starts_with": "(attr, value)",
        "ends_with": "(attr, value)", "contains": "(attr, value)",
    }
    for name, signature in signatures.items():
        assert isinstance(inspect.getattr_static(Q, name), staticmethod), name
        assert str(inspect.signature(getattr(Q, name))) == signature
    instance = Q.eq("a", 1)
    assert repr(instance.ne("b", 2)) == wrapped(rendered("Ne", "b", debug(2)))


# ----------------------------------------------------------------- errors


def raises_exactly(exc_type, message, build):
    with pytest.raises(exc_type) as info:
        build()
    assert type(info.value) is exc_type
    assert str(info.value) == message


ATTR_METHODS = [m for m, _ in LEAVES]


@pytest.mark.parametrize("method", ATTR_METHODS + ["bt", "in_"])
@pytest.mark.parametrize("attr, type_name", [(1, "int"), (None, "NoneType"), (b"a", "bytes")])
def test_attr_must_be_str(method, attr, type_name):
    extra = {"bt": (1, 2), "in_": ([],)}.get(method, (1,))
    raises_exactly(
        TypeError,
        f"argument 'attr': '{type_name}' object cannot be converted to 'PyString'",
        lambda: getattr(Q, method)(attr, *extra),
    )


@pytest.mark.parametrize("values", ["abc", "", type("S", (str,), {})("x")])
def test_in_refuses_str_values(values):
    raises_exactly(
        TypeError, "argument 'values': Can't extract `str` to `Vec`", lambda: Q.in_("a", values)
    )


@pytest.mark.parametrize(
    "values, type_name",
    [(5, "int"), ({1, 2}, "set"), ({"k": 1}, "dict"), (None, "NoneType"),
     (iter([1]), "list_iterator"), (Token(), "Token")],
)
def test_in_refuses_non_sequences(values, type_name):
    raises_exactly(
        TypeError,
        f"argument 'values': '{type_name}' object cannot be converted to 'Sequence'",
        lambda: Q.in_("a", values),
    )


@pytest.mark.parametrize(
    "build, type_name",
    [
        (lambda: Q.not_(5), "int"),
        (lambda: Q.not_(exprs="q"), "str"),
        (lambda: Q.and_(Q.eq("a", 1), 5.5), "float"),
        (lambda: Q.or_(None), "NoneType"),
        (lambda: Q.or_(Q.eq("a", 1), Q.not_(Q.eq("b", 2)), [Q.eq("c", 3)]), "list"),
    ],
)
def test_exprs_must_be_query_expressions(build, type_name):
    raises_exactly(
        TypeError,
        f"argument 'exprs': '{type_name}' object cannot be converted to 'PyQueryExpr'",
        build,
    )


E = Q.and_()


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        ("eq", (), {}, "missing 2 required positional arguments: 'attr' and 'value'"),
        ("contains", ("a",), {}, "missing 1 required positional argument: 'value'"),
        ("bt", (), {},
         "missing 3 required positional arguments: 'attr', 'lower', and 'upper'"),
        ("bt", ("a",), {"upper": 1}, "missing 1 required positional argument: 'lower'"),
        ("in_", (), {"values": []}, "missing 1 required positional argument: 'attr'"),
        ("not_", (), {}, "missing 1 required positional argument: 'exprs'"),
        ("ne", ("a", 1, 2), {}, "takes 2 positional arguments but 3 were given"),
        ("bt", ("a", 1, 2, 3), {}, "takes 3 positional arguments but 4 were given"),
        ("not_", (E, E), {}, "takes 1 positional arguments but 2 were given"),
        ("gt", ("a", 1), {"attr": "b"}, "got multiple values for argument 'attr'"),
        ("in_", ("a",), {"values": [], "attr": "b"}, "got multiple values for argument 'attr'"),
        ("starts_with", ("a",), {"value": "x", "values": 1},
         "got an unexpected keyword argument 'values'"),
        ("and_", (), {"x": 1}, "got an unexpected keyword argument 'x'"),
        ("or_", (E,), {"exprs": E}, "got an unexpected keyword argument 'exprs'"),
    ],
)
def test_argument_count_and_keyword_errors(method, args, kwargs, message):
    raises_exactly(
        TypeError,
        f"PyQueryExpr.{method}() {message}",
        lambda: getattr(Q, method)(*args, **kwargs),
    )


@pytest.mark.parametrize("args, kwargs", [((), {}), (("a", 1), {}), ((), {"attr": "a"})])
def test_no_constructor(args, kwargs):
    raises_exactly(TypeError, "No constructor defined for PyQueryExpr", lambda: Q(*args, **kwargs))


def test_attr_is_converted_before_values():
    raises_exactly(
        TypeError,
        "argument 'attr': 'int' object cannot be converted to 'PyString'",
        lambda: Q.eq(5, 2**70),
    )
    raises_exactly(
        TypeError,
        "argument 'attr': 'int' object cannot be converted to 'PyString'",
        lambda: Q.in_(5, "abc"),
    )


def test_bt_converts_lower_before_upper():
    with pytest.raises(ValueError, match="^lower$"):
        Q.bt("x", upper=HashRaises("upper"), lower=HashRaises("lower"))
    with pytest.raises(ValueError, match="^upper$"):
        Q.bt("x", upper=HashRaises("upper"), lower=1)


@pytest.mark.parametrize(
    "build, exc_type",
    [
        (lambda: Q.eq("a", 2**63), OverflowError),
        (lambda: Q.ge("a", -(2**63) - 1), OverflowError),
        (lambda: Q.in_("a", [1, 2**64]), OverflowError),
        (lambda: Q.eq("\ud800", 1), UnicodeEncodeError),
        (lambda: Q.eq("a", "\udfff"), UnicodeEncodeError),
        (lambda: Q.in_("a", ["ok", "\ud800"]), UnicodeEncodeError),
        (lambda: Q.le("a", HashRaises("boom")), ValueError),
    ],
)
def test_refused_values_pass_through_unchanged(build, exc_type):
    with pytest.raises(exc_type) as info:
        build()
    assert type(info.value) is exc_type
    assert not str(info.value).startswith("argument ")


def test_unhashable_value_names_its_attribute():
    for build in (lambda: Q.eq("a", Unhashable()), lambda: Q.in_("a", [Unhashable()])):
        raises_exactly(TypeError, "attribute 'a': unhashable type: 'Unhashable'", build)


def test_iteration_errors_of_other_types_pass_unchanged():
    class Fails:
        def __getitem__(self, i):
            if i == 1:
                raise KeyError("second")
            return i

    with pytest.raises(KeyError, match="second"):
        Q.in_("a", Fails())


def test_class_is_closed():
    with pytest.raises(TypeError):
        type("Sub", (Q,), {})
    expr = Q.eq("a", 1)
    with pytest.raises(AttributeError):
        expr.extra = 1
    assert not hasattr(expr, "__dict__")
    assert type(expr).__name__ == "PyQueryExpr"
    assert Quarrydex.PyQueryExpr is Q


# ------------------------------------------------ copies and references


def test_and_of_one_expression_twice_copies_it():
    value = Token()
    e = Q.eq("a", value)
    before = repr(e)
    both = Q.and_(e, e)
    assert repr(e) == before
    child = before[len("<QueryExpr: ") : -1]
    assert repr(both) == f"<QueryExpr: And([{child}, {child}])>"
    del e
    gc.collect()
    assert repr(both) == f"<QueryExpr: And([{child}, {child}])>"


def test_reuse_in_many_trees_leaves_the_source_intact():
    e = Q.in_("a", [1, "x"])
    before = repr(e)
    trees = [Q.not_(e), Q.or_(e), Q.and_(Q.not_(e), e)]
    assert repr(e) == before
    del trees
    assert repr(e) == before


def test_value_lives_as_long_as_some_expression_holds_it():
    value = Token()
    ref = weakref.ref(value)
    e = Q.eq("a", value)
    tree = Q.and_(Q.not_(e), Q.or_(e, e))
    del value, e
    gc.collect()
    assert ref() is not None
    del tree
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize(
    "build",
    [
        lambda v: [Q.eq("a", v)],
        lambda v: [Q.bt("a", v, v)],
        lambda v: [Q.in_("a", [v, v, v])],
        lambda v: [Q.in_("a", (v,))],
        lambda v: [Q.contains("a", [v])],
        lambda v: [Q.and_(Q.eq("a", v), Q.eq("a", v)), Q.not_(Q.ne("b", v))],
    ],
)
def test_reference_counts_return_to_baseline(build):
    value = Token()
    baseline = sys.getrefcount(value)
    exprs = build(value)
    assert sys.getrefcount(value) > baseline
    del exprs
    gc.collect()
    assert sys.getrefcount(value) == baseline


@pytest.mark.parametrize(
    "build",
    [
        lambda v: Q.bt("a", v, 2**70),
        lambda v: Q.in_("a", [v, v, 2**70]),
        lambda v: Q.in_("a", [v, Unhashable()]),
        lambda v: Q.eq(7, v),
        lambda v: Q.and_(Q.eq("a", v), "not an expression"),
    ],
)
def test_failed_construction_releases_converted_values(build):
    value = Token()
    baseline = sys.getrefcount(value)
    with pytest.raises((TypeError, OverflowError)):
        build(value)
    gc.collect()
    assert sys.getrefcount(value) == baseline


def test_repeated_construction_does_not_leak():
    value = Token()
    values = [value, "text" * 10, 3.5]
    baseline = [sys.getrefcount(v) for v in values]
    for _ in range(1000):
        Q.or_(Q.in_("a", values), Q.not_(Q.bt("b", value, value)))
    assert [sys.getrefcount(v) for v in values] == baseline
