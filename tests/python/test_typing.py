"""The type information shipped with the module.

mypy checks the examples in strict mode against the installed package, a
table of right and wrong calls shows that the declarations are precise enough
to catch misuse, and stubtest compares the declarations with the compiled
module so that the two cannot drift apart.
"""

import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import Quarrydex

pytest.importorskip("mypy", reason="mypy is not installed (pip install .[typing])")

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"


def run_mypy(tmp_path, *args, cwd):
    cmd = [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "mypy-cache"), *args]
    return subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=300)


def test_stub_package_installed_beside_module():
    site = Path(Quarrydex.__file__).parent
    assert (site / "Quarrydex-stubs" / "__init__.pyi").is_file()
    assert (site / "Quarrydex-stubs" / "py.typed").is_file()


def test_examples_pass_mypy_strict(tmp_path):
    examples = sorted(EXAMPLES.glob("*.py"))
    assert examples, "no examples found"
    # Run from a scratch directory so that only the installed package can
    # answer "import Quarrydex".
    result = run_mypy(tmp_path, "--strict", *map(str, examples), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


# Each line is one use of the module. Lines marked "# error" must be reported
# by mypy; every other line must pass. reveal_type lines check the types that
# callers build on.
USES = textwrap.dedent(
    """\
    from Quarrydex import FilteredIndex, Index, Indexable, PyQueryExpr as Q
    import Quarrydex

    class Item(Indexable):
        price: float

    item = Item(price=1.5, name="x")
    index = Index()
    index.add_object(item)
    index.add_object(py_ref=item)
    index.add_object_many([item, Indexable()])
    index.add_object_many((item,))
    index.add_object(5)  # error
    index.add_object_many([5])  # error
    Index(1)  # error
    index.get_by_attribute(self=1, name="x")
    index.get_by_attribute(1)  # error
    index.reduce(price=1.5)
    index.union_with(index)
    index.union_with(item)  # error
    view: FilteredIndex = index.reduced(price=1.5).reduced(name="x")
    view.reduced_query(Q.eq("price", 1)).rebase().collect()
    index.reduced_query(Q.eq)  # error
    Q.bt("price", 1, 2.5)
    Q.bt(attr="price", upper=9, lower=1)
    Q.bt("price", "a", "z")  # error
    Q.gt("price", "10")  # error
    Q.starts_with("name", "x")
    Q.starts_with("name", 1)  # error
    Q.eq(1, 2)  # error
    Q.eq("tags", None)
    Q.in_("tags", range(3))
    Q.in_("tags", {1, 2})  # error
    Q.and_()
    Q.or_(Q.eq("a", 1), Q.ne("b", 2))
    Q.and_([Q.eq("a", 1)])  # error
    Q.not_(Q.eq("a", 1))
    Q.not_(Q.eq("a", 1), Q.eq("b", 2))  # error
    index.order_by("price", descending=True, limit=3)
    view.order_by("nest.price", limit=None)
    index.order_by("price", True)  # error
    index.order_by("price", limit=2.5)  # error
    index.remove_object(item)
    index.remove_object("item")  # error
    Q.has("price")
    Q.has("price", 1)  # error
    n: int = len(index) + len(view)
    found: bool = 5 in index
    first: Indexable = next(iter(view))
    item.price = 2
    item.colour = "red"
    Quarrydex.sum_as_string(1, 2)
    Quarrydex.sum_as_string("1", 2)  # error
    try:
        pass
    except Quarrydex.PanicException as exc:
        reveal_type(exc)
    reveal_type(index.collect())
    reveal_type(index.get_by_attribute(a=1))
    reveal_type(index.reduced_query(Q.and_()))
    reveal_type(view.rebase())
    reveal_type(Item().price)
    reveal_type(Item().colour)
    reveal_type(Quarrydex.sum_as_string(1, 2))
    """
)

REVEALED = [
    "Quarrydex.PanicException",
    "builtins.list[Quarrydex.Indexable]",
    "builtins.list[Quarrydex.Indexable]",
    "Quarrydex.FilteredIndex",
    "Quarrydex.Index",
    "builtins.float",
    "Any",
    "builtins.str",
]


def test_declarations_accept_right_and_refuse_wrong_calls(tmp_path):
    source = tmp_path / "uses.py"
    source.write_text(USES)
    result = run_mypy(tmp_path, "--strict", "--show-error-codes", "--no-error-summary", str(source), cwd=tmp_path)
    output = result.stdout + result.stderr
    assert "import-not-found" not in output and "import-untyped" not in output, output

    lines = USES.splitlines()
    expected_errors = {n for n, line in enumerate(lines, 1) if line.endswith("# error")}
    reported = {int(m.group(1)) for m in re.finditer(r"^uses\.py:(\d+): error:", output, re.M)}
    assert reported == expected_errors, output

    revealed = re.findall(r'^uses\.py:\d+: note: Revealed type is "(.*)"$', output, re.M)
    normalised = [t.replace("builtins.", "") for t in revealed]
    assert normalised == [t.replace("builtins.", "") for t in REVEALED], output


def test_declarations_match_compiled_module(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "Quarrydex", "--mypy-config-file", str(tmp_path / "none.ini")],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
