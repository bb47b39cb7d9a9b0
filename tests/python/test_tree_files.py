"""read_trees, iter_trees and read_tree: tree files as other tools write them.

One reference: the tree written plainly (names with blanks as "_", no quotes
or comments), by `plain` below. Files written by the libraries users have
must score exactly as that text; files of this module's own decorated
writer must convert to it byte for byte, collapsed or not.
"""

import gzip
import io
import os
import random

import pytest

import cladorix

# ---- trees and their texts ------------------------------------------------------


def random_tree(rng, names, zero_length=0.0):
    """Nested dicts: name (leaves), children, length (a zero now and then), support."""
    nodes = [{"name": n, "children": []} for n in names]
    while len(nodes) > 1:
        k = rng.choice((2, 2, 2, 3))
        k = min(k, len(nodes))
        nodes.append(
            {"name": None, "children": [nodes.pop(rng.randrange(len(nodes))) for _ in range(k)]}
        )
    for node in walk(nodes[0]):
        node["length"] = 0.0 if rng.random() < zero_length else round(rng.uniform(0.01, 2), 3)
        node["support"] = round(rng.random(), 2)
    return nodes[0]


def walk(node):
    stack = [node]
    while stack:
        n = stack.pop()
        yield n
        stack.extend(n["children"])


def quote(name):
    return "'" + name.replace("'", "''") + "'"


def write(node, label, decorate=lambda text: text, root=True):
    """Newick through `label(name)` for leaves; supports and lengths on internal nodes."""
    if not node["children"]:
        return decorate(label(node["name"])) + f":{node['length']}"
    inner = ",".join(write(c, label, decorate, False) for c in node["children"])
    text = f"({inner}){node['support']}"
    return text + ("" if root else f":{node['length']}")


def plain(node, supports=True, root=True):
    """The reference: the functions' own dialect."""
    if not node["children"]:
        return node["name"].replace(" ", "_") + f":{node['length']}"
    inner = ",".join(plain(c, supports, False) for c in node["children"])
    text = f"({inner})" + (str(node["support"]) if supports else "")
    return text + ("" if root else f":{node['length']}")


def contracted(node, max_length=None, min_support=None):
    """The tree with internal edges contracted by hand, children joining their parent in order."""

    def short(c):
        return max_length is not None and c["length"] <= max_length

    def weak(c):
        return min_support is not None and c["support"] < min_support

    out = dict(node)
    children = []
    for c in node["children"]:
        c = contracted(c, max_length, min_support)
        if c["children"] and (short(c) or weak(c)):
            children.extend(c["children"])
        else:
            children.append(c)
    out["children"] = children
    return out


NAMES_QUOTED = ["cell {}", "O'Neil_{}", "c[{}]", "x={}", "\u00fc {}", "t_{}", "plain{}"]


def names(n, styles=NAMES_QUOTED):
    return [styles[i % len(styles)].format(i) for i in range(n)]


def trees_of(n_leaves, n_trees, styles=NAMES_QUOTED, seed=17):
    rng = random.Random(seed)
    leaf_names = names(n_leaves, styles)
    return [random_tree(rng, leaf_names) for _ in range(n_trees)]


# ---- the libraries users have ----------------------------------------------------


def dendropy_lists(standard):
    dendropy = pytest.importorskip("dendropy")
    return dendropy.TreeList.get(
        data="".join(standard), schema="newick", preserve_underscores=True, rooting="force-rooted"
    )


def bio_trees(standard):
    phylo = pytest.importorskip("Bio.Phylo")
    return list(phylo.parse(io.StringIO("\n".join(standard)), "newick"))


def bio_write(standard, fmt):
    phylo = pytest.importorskip("Bio.Phylo")
    out = io.StringIO()
    phylo.write(bio_trees(standard), out, fmt)
    return out.getvalue()


def ete3_nhx(standard):
    ete3 = pytest.importorskip("ete3")
    out = []
    for text in standard:
        t = ete3.Tree(text.replace("'", ""), format=0)
        for i, node in enumerate(t.traverse()):
            node.add_features(S=f"sp{i}", D="N")
        out.append(t.write(features=[]))
    return "\n".join(out)


def treeswift_newick(standard):
    treeswift = pytest.importorskip("treeswift")
    return "\n".join(treeswift.read_tree_newick(t).newick() for t in standard)


def skbio_newick(standard):
    skbio = pytest.importorskip("skbio")
    out = io.StringIO()
    for text in standard:
        skbio.TreeNode.read(io.StringIO(text)).write(out)
    return out.getvalue()


# Writer, its default output of the trees, and the names it writes correctly:
# ete3 writes names unquoted whatever they hold, treeswift does not double a
# quote inside quotes, scikit-bio writes a doubled quote without quotes.
WRITERS = {
    "dendropy newick": (lambda s: dendropy_lists(s).as_string(schema="newick"), NAMES_QUOTED),
    "dendropy nexus with translate": (
        lambda s: dendropy_lists(s).as_string(schema="nexus", translate_tree_taxa=True),
        NAMES_QUOTED,
    ),
    "Bio.Phylo newick": (lambda s: bio_write(s, "newick"), NAMES_QUOTED),
    "Bio.Phylo nexus": (lambda s: bio_write(s, "nexus"), NAMES_QUOTED),
    "ete3 NHX": (ete3_nhx, ["cell_{}", "a.{}", "b-{}"]),
    "treeswift": (treeswift_newick, ["c[{}]", "x={}", "t_{}"]),
    "scikit-bio": (skbio_newick, ["cell {}", "c[{}]", "x={}", "\u00fc {}"]),
}


@pytest.mark.parametrize("writer", WRITERS)
def test_files_of_other_tools_score_as_the_plain_text(writer, tmp_path):
    write_file, styles = WRITERS[writer]
    trees = trees_of(300, 3, styles)
    path = tmp_path / "trees.txt"
    path.write_text(write_file([write(t, quote) + ";" for t in trees]), encoding="utf-8")
    read = cladorix.read_trees(path, internal_labels="drop")
    assert len(read) == len(trees)
    for text, tree in zip(read, trees):
        expected = plain(tree, supports=False) + ";"
        assert cladorix.leaf_names(text) == cladorix.leaf_names(expected)
        assert cladorix.robinson_foulds_distance(text, expected)["rf_distance"] == 0
        exact = cladorix.triplets_correct_exact(expected, text)["counts"]
        assert exact == cladorix.triplets_correct_exact(expected, expected)["counts"]


# ---- conversion against the reference, byte for byte ---------------------------

DECORATIONS = {
    "comments and NHX": lambda name: f"[&c=1]{name}[&&NHX:S=x]",
    "blanks and line breaks": lambda name: f" \n {name}\t",
}


def decorated_newick(trees, decorate):
    return "\n".join("[&R] " + write(t, quote, decorate) + ";" for t in trees)


def nexus(trees):
    leaf_names = sorted({n["name"] for t in trees for n in walk(t) if not n["children"]})
    token = {name: str(i + 1) for i, name in enumerate(leaf_names)}
    table = ",\n".join(f"  {token[n]} {quote(n)}" for n in leaf_names)
    body = "\n".join(
        f"  TREE t{i} = [&U] " + write(t, lambda n: token[n]) + ";" for i, t in enumerate(trees)
    )
    return f"#NEXUS\nBEGIN TAXA;\n TAXLABELS x;\nEND;\nBEGIN TREES;\n TRANSLATE\n{table};\n{body}\nEND;\n"


RULES = [
    ({}, {}),
    ({"internal_labels": "drop"}, {"supports": False}),
    ({"collapse": {"length": 0.0}}, {"max_length": 0.0}),
    (
        {"collapse": {"support": 0.5}, "internal_labels": "drop"},
        {"min_support": 0.5, "supports": False},
    ),
    ({"collapse": {"length": 0.0, "support": 0.3}}, {"max_length": 0.0, "min_support": 0.3}),
]


@pytest.mark.parametrize("arguments,expected", RULES, ids=lambda r: str(r) or "defaults")
@pytest.mark.parametrize("form", [*DECORATIONS, "nexus"])
def test_conversion_gives_the_plain_text(form, arguments, expected):
    rng = random.Random(5)
    trees = [random_tree(rng, names(200), zero_length=0.2) for _ in range(3)]
    text = nexus(trees) if form == "nexus" else decorated_newick(trees, DECORATIONS[form])
    expected = dict(expected)
    supports = expected.pop("supports", True)
    reference = [plain(contracted(t, **expected), supports) + ";" for t in trees]
    assert cladorix.read_trees(io.StringIO(text), **arguments) == reference


def test_internal_labels_are_kept_by_default_and_count_in_robinson_foulds():
    (tree,) = trees_of(20, 1)
    text = write(tree, quote) + ";"
    kept, dropped = (
        cladorix.read_tree(io.StringIO(text), internal_labels=x) for x in ("keep", "drop")
    )
    unlabelled = plain(tree, supports=False) + ";"

    def rf(a, b):
        result = cladorix.robinson_foulds_distance_normalized(a, b)
        del result["computation_time_ms"]
        return result

    assert rf(dropped, unlabelled) == rf(unlabelled, unlabelled)
    # Support values are names to Robinson-Foulds: they change the normalization.
    assert rf(kept, unlabelled)["tree1_leaves"] > 20


# ---- sources, names, one tree at a time -----------------------------------------

NEWICK = "[&R] ('a b':1,(c,d)0.9);\n(e,f);\n"


def sources(tmp_path):
    path = tmp_path / "trees.nwk"
    path.write_text(NEWICK, encoding="utf-8")
    gz = tmp_path / "trees.nwk.gz"
    with gzip.open(gz, "wt", encoding="utf-8") as f:
        f.write(NEWICK)
    return {
        "str path": str(path),
        "pathlib path": path,
        "bytes path": os.fsencode(path),
        ".gz": gz,
        "text file": lambda: open(path, encoding="utf-8"),
        "binary file": lambda: open(path, "rb"),
        "StringIO": lambda: io.StringIO(NEWICK),
        "BytesIO": lambda: io.BytesIO(NEWICK.encode()),
    }


@pytest.mark.parametrize(
    "kind",
    [
        "str path",
        "pathlib path",
        "bytes path",
        ".gz",
        "text file",
        "binary file",
        "StringIO",
        "BytesIO",
    ],
)
def test_every_kind_of_source_reads_the_same(kind, tmp_path):
    source = sources(tmp_path)[kind]
    expected = [("1", "(a_b:1,(c,d)0.9);"), ("2", "(e,f);")]
    assert (
        cladorix.read_trees(source() if callable(source) else source, with_names=True) == expected
    )
    source = sources(tmp_path)[kind]
    it = cladorix.iter_trees(source() if callable(source) else source)
    assert list(it) == [t for _, t in expected]


def test_nexus_names_and_read_tree():
    text = "#NEXUS\nbegin trees; tree 'first one' = (A,B); tree * two = (C,D); end;"
    assert cladorix.read_trees(io.StringIO(text), with_names=True) == [
        ("first one", "(A,B);"),
        ("two", "(C,D);"),
    ]
    assert cladorix.read_tree(io.StringIO("(A,B);"), with_names=True) == ("1", "(A,B);")
    with pytest.raises(ValueError, match=r"^<stream>:2:1: a second tree"):
        cladorix.read_tree(io.StringIO("(A,B);\n(C,D);"))
    with pytest.raises(ValueError, match=r"^<stream>:1:1: the input is empty$"):
        cladorix.read_tree(io.StringIO(""))


def test_iter_trees_reads_as_it_goes_and_stops_at_an_error():
    many = io.BytesIO(b"(A,B);\n" * 1_000_000 + b"(C,")
    it = cladorix.iter_trees(many)
    assert next(it) == "(A,B);"
    assert many.tell() < len(many.getvalue()) // 2, "the whole file was read at once"
    count = 1
    with pytest.raises(ValueError, match=r"^<stream>:1000001:4: the input ends inside a tree"):
        for _ in it:
            count += 1
    assert count == 1_000_000
    assert next(it, None) is None, "an iterator ends with its error"


# ---- errors -------------------------------------------------------------------------

ERRORS = [
    ("(A,B);\n(C,[D\n", "2:4: this comment's '[' is never closed"),
    ("(A,\n 'B\n);", "2:2: this quote is never closed"),
    ("(A,B));", "1:6: ')' without a matching '('"),
    ("((A,B);", "1:7: ';' ends the tree with 1 '(' not closed"),
    ("(A,B);\n (C,D)\n", "3:1: the input ends inside a tree that has no final ';'"),
    ("(A,'B:1');", "1:6: quoted label holds ':'"),
    ("(A,'B(');", "1:6: quoted label holds '('"),
    (
        "#NEXUS\nbegin trees; translate 1 A 2 B;",
        "2:28: expected ',' or ';' after the TRANSLATE entry",
    ),
    ("#NEXUS\nbegin trees; translate\n 1 A,\n 1 B;", "4:2: TRANSLATE maps the token 1 twice"),
    ("#NEXUS\nbegin taxa; taxlabels A B; end;\n", "3:1: the Nexus file has no TREES block"),
    ("", "1:1: the input is empty"),
    (" \n", "2:1: the input holds no tree"),
    ("(('a b',c),a_b);", "1:1: labels 'a b' and a_b both become the name a_b"),
]


@pytest.mark.parametrize("text,message", ERRORS)
def test_errors_name_the_file_line_and_column(text, message, tmp_path):
    path = tmp_path / "bad.tre"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(ValueError) as info:
        cladorix.read_trees(path)
    assert str(info.value).startswith(f"{path}:{message}")


def test_missing_and_unreadable_files_raise_what_python_raises(tmp_path):
    with pytest.raises(FileNotFoundError):
        cladorix.read_trees(tmp_path / "missing.nwk")
    with pytest.raises(IsADirectoryError):
        cladorix.iter_trees(tmp_path)
    if os.geteuid() != 0:  # root reads any file
        locked = tmp_path / "locked.nwk"
        locked.write_text("(A,B);")
        locked.chmod(0)
        with pytest.raises(PermissionError):
            cladorix.read_tree(locked)


@pytest.mark.parametrize(
    "arguments,exception",
    [
        ({"source": 5}, TypeError),
        ({"format": "phylip"}, ValueError),
        ({"internal_labels": "none"}, ValueError),
        ({"with_names": 1}, TypeError),
        ({"collapse": [0.0]}, TypeError),
        ({"collapse": {}}, ValueError),
        ({"collapse": {"lenght": 0.0}}, ValueError),
        ({"collapse": {"length": "0"}}, TypeError),
        ({"collapse": {"support": float("nan")}}, ValueError),
    ],
)
def test_arguments_are_checked(arguments, exception):
    arguments = {"source": io.StringIO("(A,B);"), **arguments}
    with pytest.raises(exception):
        cladorix.read_trees(**arguments)


def test_a_path_is_not_newick_text():
    with pytest.raises(FileNotFoundError):
        cladorix.read_trees("((A,B),C);")
    assert cladorix.read_trees(io.StringIO("((A,B),C);")) == ["((A,B),C);"]
