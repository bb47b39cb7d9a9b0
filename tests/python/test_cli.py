"""The command line (cladorix_cli) end to end on tree files: its tables against
the library call on the same trees, exit statuses, atomic output."""

import csv
import gzip
import math
import os
import random
import signal
import subprocess
import sys
import sysconfig
import time

import pytest

import cladorix
from cladorix_cli.__main__ import main

LEAVES = [f"c{i}" for i in range(30)]


def random_tree(rng, names, labels):
    """Random joins of two subtrees; labels(k) names the k-th internal node."""
    nodes = list(names)
    for k in range(len(names) - 1):
        a = nodes.pop(rng.randrange(len(nodes)))
        b = nodes.pop(rng.randrange(len(nodes)))
        length = rng.choice(["0", "0.5", "1.25"])
        nodes.append(f"({a}:{length},{b}:0.5){labels(k)}")
    return nodes[0] + ";"


def nexus(trees):
    """A TREES block whose leaves are TRANSLATE tokens."""
    table = ",\n".join(f"  {i + 1} {n}" for i, n in enumerate(LEAVES))
    body = []
    for name, text in trees:
        for i in reversed(range(len(LEAVES))):  # c12 before c1
            text = text.replace(LEAVES[i], str(i + 1))
        body.append(f"  TREE {name} = [&R] {text}")
    return "#NEXUS\nBEGIN TREES;\n TRANSLATE\n" + table + ";\n" + "\n".join(body) + "\nEND;\n"


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    """Tree files in a folder: a labelled truth, Newick with supports and
    zero-length branches, Nexus with TRANSLATE, .gz, a file that fails on its
    second tree (2 MB on), a tree missing a leaf, and a character matrix by cell name."""
    d = tmp_path_factory.mktemp("cli")
    rng = random.Random(5)

    def support(k):
        return rng.choice(["0.3", "0.8", ""])

    (d / "truth.nwk").write_text(random_tree(rng, LEAVES, lambda k: f"n{k}") + "\n")
    (d / "a.nwk").write_text("".join(f"[&R] {random_tree(rng, LEAVES, support)}\n" for _ in "xyz"))
    (d / "b.nex").write_text(nexus([(f"t{i}", random_tree(rng, LEAVES, support)) for i in (1, 2)]))
    (d / "one.nex").write_text(nexus([("only", random_tree(rng, LEAVES, support))]))
    with gzip.open(d / "c.nwk.gz", "wt") as f:
        f.write(random_tree(rng, LEAVES, support) + "\n")
    # The comment puts the fault past the first block read, after a tree was sent.
    padding = "[" + "x" * (2 << 20) + "]"
    (d / "bad.nwk").write_text(f"{random_tree(rng, LEAVES, support)}\n{padding}\n((c1,c2),c3;\n")
    (d / "fewer.nwk").write_text(random_tree(rng, LEAVES[1:], lambda k: "") + "\n")
    rows = [[n] + [rng.choice([0, 1, 2, 9]) for _ in range(6)] for n in LEAVES]
    rng.shuffle(rows)
    with open(d / "m.csv", "w", newline="") as f:
        csv.writer(f).writerows([["cell"] + [f"s{i}" for i in range(6)]] + rows)
    return d


def run(folder, *args):
    return subprocess.run(
        [sys.executable, "-m", "cladorix_cli", *args],
        cwd=folder,
        capture_output=True,
        text=True,
        timeout=300,
    )


def read_table(text, delimiter="\t"):
    return list(csv.reader(text.splitlines(), delimiter=delimiter))


def same(text, value):
    """A written cell against the library's value, floats bit for bit."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return text == ""
    if isinstance(value, float):
        return float(text) == value
    return str(value) == text


def assert_table(rows, header, expected):
    assert rows[0] == header
    assert len(rows) - 1 == len(expected)
    for got, want in zip(rows[1:], expected):
        assert len(got) == len(want) and all(same(t, v) for t, v in zip(got, want)), (got, want)


def library_rows(folder, files, burnin=0, collapse=None, **kwargs):
    """compare_to_reference on the same trees: (file, tree) and the result."""
    keys, trees = [], []
    for f in files:
        for name, text in cladorix.read_trees(folder / f, with_names=True, collapse=collapse)[
            burnin:
        ]:
            keys.append((f, name))
            trees.append((len(trees), text))
    reference = cladorix.read_tree(folder / "truth.nwk")
    result = cladorix.compare_to_reference(reference, trees, errors="coerce", **kwargs)
    return keys, result


def characters(folder):
    with open(folder / "m.csv") as f:
        rows = list(csv.reader(f))[1:]
    return {
        "character_matrix": [[int(v) for v in r[1:]] for r in rows],
        "cell_names": [r[0] for r in rows],
    }


@pytest.mark.parametrize(
    "files, args, options, output",
    [
        (
            ["a.nwk", "b.nex", "c.nwk.gz"],
            ["-m", "rf,rf_normalized,triplets_exact", "--by-depth", "depth.tsv"],
            {"measures": ["rf", "rf_normalized", "triplets_exact"], "by_depth": True},
            None,
        ),
        (
            ["b.nex", "a.nwk"],
            ["--burnin", "1", "--collapse-length", "0", "--collapse-support", "0.5"],
            {"burnin": 1, "collapse": {"length": 0.0, "support": 0.5}},
            "out.csv",
        ),
        (
            ["truth.nwk", "a.nwk"],
            ["-m", "parsimony,likelihood", "--characters", "m.csv", "--missing-state", "9"],
            {"measures": ["parsimony", "likelihood"], "missing_state": 9, "characters": True},
            "out.tsv",
        ),
        (
            ["fewer.nwk", "c.nwk.gz"],
            ["--common-leaves", "-m", "triplets_exact,rf"],
            {"measures": ["triplets_exact", "rf"], "common_leaves": True},
            "out.tsv",
        ),
    ],
)
def test_compare_table_is_the_library_call(data, files, args, options, output):
    if options.pop("characters", False):
        options.update(characters(data))
    keys, result = library_rows(data, files, **options)
    out = ["-o", output] if output else []
    done = run(data, "compare", "-r", "truth.nwk", *files, *args, *out)
    assert done.returncode == 0, done.stderr
    text = done.stdout if output is None else (data / output).read_text()
    rows = read_table(text, "," if output and output.endswith(".csv") else "\t")
    lib = result["rows"]
    columns = [c for c in lib if c != "tree"]
    expected = [[*keys[i], *(lib[c][k] for c in columns)] for k, i in enumerate(lib["tree"])]
    assert_table(rows, ["file", "tree", *columns], expected)
    if options.get("by_depth"):
        depth = result["by_depth"]
        columns = [c for c in depth if c != "tree"]
        expected = [
            [*keys[i], *(depth[c][k] for c in columns)] for k, i in enumerate(depth["tree"])
        ]
        assert_table(
            read_table((data / "depth.tsv").read_text()), ["file", "tree", *columns], expected
        )


# (arguments after "compare", exit status, the table's files with "!" marking
# an error row; None: nothing written)
STATUS = [
    (
        ["-r", "truth.nwk", "a.nwk", "missing.nwk", "bad.nwk"],
        0,
        ["a.nwk"] * 3 + ["missing.nwk!", "bad.nwk!"],  # bad.nwk fails on its second tree
    ),
    (["-r", "truth.nwk", "missing.nwk", "a.nwk", "--strict"], 1, ["missing.nwk!"] + ["a.nwk"] * 3),
    (["-r", "truth.nwk", "a.nwk", "--strict", "--burnin", "3"], 1, ["a.nwk!"]),
    (["-r", "truth.nwk", "a.nwk", "--strict", "--burnin", "2"], 0, ["a.nwk"]),
    (["-r", "missing.nwk", "a.nwk"], 2, None),
    (["-r", "bad.nwk", "a.nwk"], 2, None),
    (["-r", "a.nwk", "c.nwk.gz"], 2, None),  # three trees in the reference
    (["-r", "truth.nwk", "a.nwk", "-m", "rf,nope"], 2, None),
    (["-r", "truth.nwk", "a.nwk", "-m", "parsimony"], 2, None),  # no --characters
    (["-r", "truth.nwk", "a.nwk", "-m", "rf", "--by-depth", "d.tsv"], 2, None),
    (["-r", "truth.nwk"], 2, None),
    (["-r", "truth.nwk", "a.nwk", "--scheduler", "local:0"], 2, None),
]


@pytest.mark.parametrize("args, status, table", STATUS)
def test_exit_status_and_atomic_output(data, tmp_path, args, status, table):
    for f in os.listdir(data):
        os.symlink(data / f, tmp_path / f)
    (tmp_path / "out.tsv").write_text("old\n")
    before = sorted(os.listdir(tmp_path))
    done = run(tmp_path, "compare", *args, "-o", "out.tsv")
    assert done.returncode == status, done.stderr
    assert sorted(os.listdir(tmp_path)) == before  # no temporary left, nothing else
    written = (tmp_path / "out.tsv").read_text()
    if table is None:
        assert written == "old\n" and "error" in done.stderr
        return
    rows = read_table(written)[1:]
    assert [r[0] + ("!" if r[-1] else "") for r in rows] == table
    errors = sum(f.endswith("!") for f in table)
    if errors:
        assert f"{errors} of {len(rows)} rows hold an error" in done.stderr


@pytest.mark.parametrize(
    "args, measures",
    [
        (["-m", "rf", "-m", "triplets_exact"], ["rf", "triplets_exact"]),
        (["-m", "rf_normalized", "--square", "-o", "square.csv"], ["rf_normalized"]),
    ],
)
def test_pairs_table_is_the_library_call(data, args, measures):
    keys = [("a.nwk", n) for n, _ in cladorix.read_trees(data / "a.nwk", with_names=True)]
    keys += [("b.nex", n) for n, _ in cladorix.read_trees(data / "b.nex", with_names=True)]
    trees = cladorix.read_trees(data / "a.nwk") + cladorix.read_trees(data / "b.nex")
    lib = cladorix.compare_all_pairs(trees, measures)
    done = run(data, "pairs", "a.nwk", "b.nex", *args)
    assert done.returncode == 0, done.stderr
    if "--square" not in args:
        columns = [c for c in lib if c not in ("tree_a", "tree_b")]
        expected = [
            [*keys[a], *keys[b], *(lib[c][k] for c in columns)]
            for k, (a, b) in enumerate(zip(lib["tree_a"], lib["tree_b"]))
        ]
        assert_table(
            read_table(done.stdout), ["file_a", "tree_a", "file_b", "tree_b", *columns], expected
        )
        return
    rows = read_table((data / "square.csv").read_text(), ",")
    names = [n for _, n in keys]
    assert rows[0] == ["tree", *names] and [r[0] for r in rows[1:]] == names
    value = {
        (a, b): v for a, b, v in zip(lib["tree_a"], lib["tree_b"], lib["normalized_rf_distance"])
    }
    for i in range(len(names)):
        for j in range(len(names)):
            want = 0.0 if i == j else value[min(i, j), max(i, j)]
            assert float(rows[i + 1][j + 1]) == want


def test_interrupt_leaves_no_file(data, tmp_path):
    os.mkfifo(tmp_path / "trees.nwk")  # opening it waits for a writer: the run is stuck
    argv = ["compare", "-r", str(data / "truth.nwk"), "trees.nwk", "-o", "out.tsv"]
    proc = subprocess.Popen([sys.executable, "-m", "cladorix_cli", *argv], cwd=tmp_path)
    deadline = time.monotonic() + 120
    while len(os.listdir(tmp_path)) < 2:  # the temporary output is there: the run started
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    assert proc.wait(timeout=60) == 130
    assert os.listdir(tmp_path) == ["trees.nwk"]


def test_leaves_in_row_order(data):
    done = run(data, "leaves", "one.nex")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == cladorix.leaf_names(cladorix.read_tree(data / "one.nex"))
    assert run(data, "leaves", "b.nex").returncode == 2  # two trees: which one?


def test_scheduler_gives_the_local_table(data, tmp_path):
    files = ["-r", "truth.nwk", "a.nwk", "bad.nwk", "b.nex", "-m", "rf,triplets_exact"]
    local = run(data, "compare", *files, "-q")
    on_dask = run(data, "compare", *files, "-q", "--scheduler", "local:2")
    assert on_dask.returncode == local.returncode == 0, on_dask.stderr
    assert on_dask.stdout == local.stdout


def test_scheduler_without_distributed(data, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "distributed", None)  # import fails
    monkeypatch.chdir(data)
    assert main(["compare", "-r", "truth.nwk", "a.nwk", "--scheduler", "local:2"]) == 2
    assert "pip install 'cladorix[distributed]'" in capsys.readouterr().err


def test_installed_script_shows_an_example_per_command():
    script = os.path.join(sysconfig.get_path("scripts"), "cladorix")
    done = subprocess.run([script, "--help"], capture_output=True, text=True)
    assert done.returncode == 0
    for command in ("compare", "pairs", "leaves"):
        assert f"cladorix {command} " in done.stdout
