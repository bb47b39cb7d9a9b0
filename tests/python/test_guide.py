"""Runs the ```python blocks of docs/guide.md, so that the guide cannot drift
from the module.

Blocks run in order, one namespace per "## " section, from the repository
root (so that paths like examples/data/... work). A statement followed by
`# -> TEXT` must be an expression whose repr() is TEXT, or, with
`# -> raises NAME` or `# -> raises NAME: MESSAGE`, must raise an exception of
that class name (and that message). A block preceded by the line
`<!-- needs: NAME -->` is skipped, with that reason, while cladorix has no
attribute NAME; the rest of its section is then skipped too. Blocks run from
the repository root, as the guide's readers do, so that they can read
examples/data.
"""

import ast
import os
import re

import pytest

import cladorix

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
GUIDE = os.path.join(ROOT, "docs", "guide.md")
EXPECT = re.compile(r"#\s*->\s*(.*?)\s*$")
NEEDS = re.compile(r"<!--\s*needs:\s*([\w, ]+?)\s*-->")


def slug(title):
    return re.sub(r"[^a-z0-9]+", "-", title.lower()).strip("-")


def read_blocks(path=GUIDE):
    """[(section, index, first line number, code, needed attributes)]"""
    blocks, section, pending_needs = [], "preamble", []
    lines = open(path, encoding="utf-8").read().splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("## "):
            section = slug(line[3:])
        elif NEEDS.search(line):
            pending_needs = [n.strip() for n in NEEDS.search(line).group(1).split(",")]
        elif line.strip() == "```python":
            start = i + 1
            i += 1
            while lines[i].strip() != "```":
                i += 1
            index = sum(1 for b in blocks if b[0] == section)
            blocks.append((section, index, start + 1, "\n".join(lines[start:i]), pending_needs))
            pending_needs = []
        elif line.startswith("```"):  # another language: step over it
            i += 1
            while not lines[i].startswith("```"):
                i += 1
        i += 1
    return blocks


def expectation(code_lines, stmt):
    match = EXPECT.search(code_lines[stmt.end_lineno - 1])
    return match.group(1) if match else None


def run_block(code, namespace, filename):
    tree = ast.parse(code, filename)
    code_lines = code.splitlines()
    for stmt in tree.body:
        expected = expectation(code_lines, stmt)
        where = f"{filename}:{stmt.lineno}"
        if expected is None:
            exec(compile(ast.Module([stmt], []), filename, "exec"), namespace)
            continue
        assert isinstance(stmt, ast.Expr), f"{where}: '# ->' needs an expression"
        expr = compile(ast.Expression(stmt.value), filename, "eval")
        if expected.startswith("raises "):
            name, _, message = expected[len("raises ") :].partition(": ")
            try:
                value = eval(expr, namespace)
            except BaseException as exc:  # PanicException is a BaseException
                assert type(exc).__name__ == name, f"{where}: raised {type(exc).__name__}: {exc}"
                assert not message or str(exc) == message, f"{where}: message {str(exc)!r}"
            else:
                pytest.fail(f"{where}: expected {name}, got {value!r}")
        else:
            value = eval(expr, namespace)
            assert repr(value) == expected, f"{where}: {value!r} != {expected}"


BLOCKS = read_blocks()
_namespaces = {}
_blocked = {}  # section -> why its remaining blocks cannot run


@pytest.mark.parametrize(
    "section,index,line,code,needs", BLOCKS, ids=[f"{b[0]}-{b[1]}" for b in BLOCKS]
)
def test_guide_block(section, index, line, code, needs, monkeypatch):
    monkeypatch.chdir(ROOT)
    if section in _blocked:
        pytest.skip(_blocked[section])
    missing = [n for n in needs if not hasattr(cladorix, n)]
    if missing:
        _blocked[section] = f"an earlier block of this section needs cladorix.{missing[0]}"
        pytest.skip(f"cladorix.{missing[0]} is not in this build")
    namespace = _namespaces.setdefault(section, {"__name__": f"guide_{section.replace('-', '_')}"})
    try:
        run_block(code, namespace, f"guide.md:{line}")
    except BaseException:
        _blocked[section] = f"block {index} of this section failed"
        raise


def test_the_guide_has_checked_blocks_in_every_section():
    sections = {b[0] for b in BLOCKS}
    assert len(sections) >= 8
    checked = sum(1 for b in BLOCKS for ln in b[3].splitlines() if EXPECT.search(ln))
    assert checked >= 30


class TestHarness:
    """The runner itself, on small texts: a broken check must fail."""

    def test_value_and_raise_checks(self):
        ns = {}
        run_block("x = 2\nx + 1  # -> 3\nint('a')  # -> raises ValueError", ns, "t")
        with pytest.raises(AssertionError, match="4 != 3"):
            run_block("2 + 2  # -> 3", ns, "t")
        with pytest.raises(AssertionError, match="raised KeyError"):
            run_block("{}['a']  # -> raises ValueError", ns, "t")
        with pytest.raises(pytest.fail.Exception, match="expected ValueError"):
            run_block("1  # -> raises ValueError", ns, "t")
        with pytest.raises(AssertionError, match="message"):
            run_block("int('a')  # -> raises ValueError: wrong", ns, "t")

    def test_blocks_sections_and_needs(self, tmp_path):
        doc = tmp_path / "g.md"
        doc.write_text(
            "## One two\n```python\na = 1\n```\n```bash\nls\n```\n"
            "<!-- needs: leaf_names -->\n```python\nb = 2\n```\n## Three\n```python\nc\n```\n"
        )
        got = [(s, i, code, needs) for s, i, _, code, needs in read_blocks(str(doc))]
        assert got == [
            ("one-two", 0, "a = 1", []),
            ("one-two", 1, "b = 2", ["leaf_names"]),
            ("three", 0, "c", []),
        ]
