"""The documentation stays true: its examples run and its links resolve.

Every ```pycon block of a page is a doctest, and the blocks of one page run in
order in one fresh interpreter, as a reader would type them (a fresh process
also gives the object-creation order the pages show). Every ```python block
must run without error. Relative links must name existing files and headings.
"""

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
FENCE = re.compile(r"^```(\w+)\n(.*?)^```$", re.M | re.S)

RUNNER = r"""
import doctest, re, sys
text = open(sys.argv[1], encoding="utf-8").read()
blocks = re.findall(r"^```(\w+)\n(.*?)^```$", text, re.M | re.S)
for lang, body in blocks:
    if lang == "python":
        exec(compile(body, sys.argv[1], "exec"), {"__name__": "__doc_block__"})
pycon = "\n".join(body for lang, body in blocks if lang == "pycon")
test = doctest.DocTestParser().get_doctest(pycon, {"__name__": "__doc_page__"}, sys.argv[1], sys.argv[1], 0)
runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
runner.run(test)
result = runner.summarize(verbose=False)
print(f"{result.attempted} examples, {result.failed} failed")
sys.exit(1 if result.failed or not result.attempted else 0)
"""


def slug(heading):
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def anchors(page):
    text = FENCE.sub("", page.read_text(encoding="utf-8"))
    return {slug(h) for h in re.findall(r"^#+ (.*)$", text, re.M)}


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_examples_run_as_shown(page, tmp_path):
    if "```pycon" not in page.read_text(encoding="utf-8"):
        pytest.skip("no examples on this page")
    # faulthandler names the example if the interpreter itself dies.
    result = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", RUNNER, str(page)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_relative_links_resolve(page):
    text = FENCE.sub("", page.read_text(encoding="utf-8"))
    links = re.findall(r"\]\(([^)\s]+)\)", text)
    assert links or page.name != "README.md"
    for link in links:
        if re.match(r"\w+://", link):
            continue
        target, _, anchor = link.partition("#")
        path = (page.parent / target).resolve() if target else page
        assert path.exists(), f"{page.name}: {link}"
        if anchor:
            assert anchor in anchors(path), f"{page.name}: {link}"


def test_readme_keeps_its_sections():
    headings = re.findall(r"^## (.*)$", (ROOT / "README.md").read_text(encoding="utf-8"), re.M)
    for needed in ("The two commands", "Benchmarks", "Installing", "Documentation"):
        assert needed in headings
