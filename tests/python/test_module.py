"""The module object: registration, sum_as_string, PanicException, imports."""

import importlib
import subprocess
import sys
import textwrap

import pytest

import Quarrydex
from Quarrydex import FilteredIndex, Index, Indexable, PyQueryExpr, sum_as_string

CLASSES = ["Index", "Indexable", "FilteredIndex", "PyQueryExpr"]


def run_python(code, timeout=60):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=None,
    )


# ------------------------------------------------------------ registration


def test_all_lists_the_public_names_in_registration_order():
    assert Quarrydex.__all__ == ["sum_as_string", *CLASSES]
    module_names = [n for n in vars(Quarrydex) if n in Quarrydex.__all__]
    assert module_names == Quarrydex.__all__


@pytest.mark.parametrize("name", CLASSES)
def test_classes_carry_bare_names(name):
    cls = getattr(Quarrydex, name)
    assert isinstance(cls, type)
    assert cls.__name__ == name
    assert cls.__qualname__ == name


def test_star_import_binds_exactly_all():
    scope = {}
    exec("from Quarrydex import *", scope)
    assert sorted(n for n in scope if n != "__builtins__") == sorted(Quarrydex.__all__)


# ------------------------------------------------------------ sum_as_string


class Indexish:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((1, 2), {}, "3"),
        ((), {"a": 1, "b": 2}, "3"),
        ((1,), {"b": 2}, "3"),
        ((0, 0), {}, "0"),
        ((2**64 - 1, 1), {}, "0"),
        ((2**64 - 1, 2**64 - 1), {}, str(2**64 - 2)),
        ((2**63, 2**63), {}, "0"),
        ((10**19, 1), {}, "10000000000000000001"),
        ((Indexish(40), Indexish(2)), {}, "42"),
        ((True, True), {}, "2"),
    ],
)
def test_sum_as_string_adds_modulo_2_64(args, kwargs, expected):
    assert sum_as_string(*args, **kwargs) == expected


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((1,), {}, TypeError, "sum_as_string() missing 1 required positional argument: 'b'"),
        ((), {}, TypeError, "sum_as_string() missing 2 required positional arguments: 'a' and 'b'"),
        ((1, 2, 3), {}, TypeError, "sum_as_string() takes 2 positional arguments but 3 were given"),
        ((1, 2), {"c": 3}, TypeError, "sum_as_string() got an unexpected keyword argument 'c'"),
        ((1, 2), {"a": 3}, TypeError, "sum_as_string() got multiple values for argument 'a'"),
    ],
)
def test_sum_as_string_argument_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        sum_as_string(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "a, b, exc, prefix",
    [
        (-1, 0, OverflowError, None),
        (0, 2**64, OverflowError, None),
        (Indexish(-5), 0, OverflowError, None),
        ("1", 2, TypeError, "argument 'a': "),
        (1, 1.5, TypeError, "argument 'b': "),
        (1, None, TypeError, "argument 'b': "),
    ],
)
def test_sum_as_string_conversion_errors(a, b, exc, prefix):
    with pytest.raises(exc) as info:
        sum_as_string(a, b)
    assert type(info.value) is exc
    if prefix is not None:
        assert str(info.value).startswith(prefix)
        # The prefix is added exactly once.
        assert str(info.value).count("argument '") == 1


def test_index_errors_other_than_type_error_pass_unchanged():
    class Broken:
        def __index__(self):
            raise KeyError("from __index__")

    with pytest.raises(KeyError, match="from __index__"):
        sum_as_string(Broken(), 1)


def test_sum_as_string_signature_and_doc():
    assert sum_as_string.__text_signature__ == "(a, b)"
    assert sum_as_string.__doc__ == "Formats the sum of two numbers as string."
    assert sum_as_string.__name__ == "sum_as_string"


def test_version_is_the_installed_package_metadata_version():
    from importlib.metadata import version

    assert Quarrydex.__version__ == version("quarrydex")
    assert "__version__" not in Quarrydex.__all__


# ------------------------------------------------------------ PanicException


def test_panic_exception_is_a_direct_base_exception_subclass():
    panic = Quarrydex.PanicException
    assert isinstance(panic, type)
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert "PanicException" not in Quarrydex.__all__


def test_panic_escapes_except_exception_and_carries_its_text():
    idx = Index()
    idx.add_object(Indexable(x=1))
    query = PyQueryExpr.bt("x", "a", "z")
    caught_by_exception = False
    with pytest.raises(Quarrydex.PanicException) as info:
        try:
            idx.reduced_query(query)
        except Exception:  # must not catch a panic
            caught_by_exception = True
    assert not caught_by_exception
    assert info.value.args == ("not yet implemented",)
    assert str(info.value) == "not yet implemented"


# ------------------------------------------------------------ construction and subclassing


@pytest.mark.parametrize("cls", [FilteredIndex, PyQueryExpr])
def test_classes_without_constructor(cls):
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == f"No constructor defined for {cls.__name__}"


@pytest.mark.parametrize("cls", [Index, FilteredIndex, PyQueryExpr])
def test_closed_classes_refuse_subclassing(cls):
    with pytest.raises(TypeError) as info:
        type("Sub", (cls,), {})
    assert str(info.value) == f"type '{cls.__name__}' is not an acceptable base type"


def test_indexable_is_subclassable():
    class Sub(Indexable):
        pass

    obj = Sub(a=1)
    assert isinstance(obj, Indexable)
    assert obj.a == 1


# ------------------------------------------------------------ imports


def test_second_import_returns_the_same_module():
    first = sys.modules.pop("Quarrydex")
    try:
        second = importlib.import_module("Quarrydex")
        assert second is first
        assert second.Index is Index
    finally:
        sys.modules["Quarrydex"] = first


def test_reimport_in_a_fresh_process_keeps_types_working():
    result = run_python(
        """
        import sys
        import Quarrydex
        first = Quarrydex
        del sys.modules["Quarrydex"]
        import Quarrydex
        assert Quarrydex is first
        idx = Quarrydex.Index()
        idx.add_object(Quarrydex.Indexable(a=1))
        assert len(idx.get_by_attribute(a=1)) == 1
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_import_in_a_subinterpreter_fails_with_import_error():
    result = run_python(
        """
        import Quarrydex
        try:
            import _testcapi
            run = _testcapi.run_in_subinterp
        except (ImportError, AttributeError):
            print("SKIP")
            raise SystemExit(0)
        code = (
            "try:\\n"
            "    import Quarrydex\\n"
            "except ImportError as e:\\n"
            "    print('IMPORT-ERROR', flush=True)\\n"
            "else:\\n"
            "    print('IMPORTED', flush=True)\\n"
        )
        status = run(code)
        print("STATUS", status, flush=True)
        """
    )
    if result.stdout.strip() == "SKIP":
        pytest.skip("no sub-interpreter runner in this interpreter")
    assert result.returncode == 0, result.stderr
    assert "IMPORT-ERROR" in result.stdout.split()
    assert "IMPORTED" not in result.stdout.split()
    assert "STATUS 0" in result.stdout
