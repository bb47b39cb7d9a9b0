"""compare_to_reference and compare_all_pairs against the single-pair
functions: the same numbers, bit for bit (Robinson-Foulds on the texts
without internal labels), characters matched by cell name, shared leaves,
depths of the full reference, error rows, executors."""

import concurrent.futures
import copy
import itertools
import math
import random
import re

import pytest
from helpers import random_tree, to_newick
from reference.triplets import triplet_depths

import cladorix

TOPOLOGY = ("rf", "rf_normalized", "triplets_exact")


def unlabelled(node):
    out = copy.deepcopy(node)
    stack = [out]
    while stack:
        n = stack.pop()
        if n["children"]:
            n["name"] = None
            stack.extend(n["children"])
    return out


def labelled(node, prefix="n"):
    """Every internal node named uniquely."""
    out = copy.deepcopy(node)
    stack, k = [out], 0
    while stack:
        n = stack.pop()
        if n["children"]:
            n["name"], k = f"{prefix}{k}", k + 1
            stack.extend(n["children"])
    return out


SHAPES = {
    "binary": dict(),
    "polytomies": dict(max_children=5),
    "single children": dict(max_children=3, single_child_prob=0.3),
    "support values as labels": dict(
        max_children=3, internal_name_prob=0.8, internal_names=["100", "95", "0.7"]
    ),
}


def trees_of(shape, seed, n=12, count=4):
    rng = random.Random(seed)
    names = [f"c{i}" for i in range(n)]
    out = []
    for _ in range(count):
        rng.shuffle(names)
        out.append(random_tree(rng, names, **SHAPES[shape]))
    return out


def row(table, i):
    return {k: v[i] for k, v in table.items()}


def expect_topology_columns(r, a, b):
    """Row r of a comparison of tree b against tree a (dict trees)."""
    plain_a, plain_b = to_newick(unlabelled(a)), to_newick(unlabelled(b))
    norm = cladorix.robinson_foulds_distance_normalized(plain_a, plain_b)
    assert r["rf_distance"] == cladorix.robinson_foulds_distance(plain_a, plain_b)["rf_distance"]
    assert r["normalized_rf_distance"] == norm["normalized_rf_distance"]
    assert r["max_possible_rf"] == norm["max_possible_rf"]
    exact = cladorix.triplets_correct_exact(to_newick(a), to_newick(b))
    for key in (
        "all_triplets_correct",
        "resolvable_triplets_correct",
        "unresolved_triplets_correct",
        "proportion_unresolvable",
    ):
        assert r[key] == exact["overall"][key] or (
            math.isnan(r[key]) and math.isnan(exact["overall"][key])
        )
    assert r["n_triplets"] == exact["counts"]["triplets"]
    assert r["n_triplets_correct"] == exact["counts"]["correct"]
    assert r["error"] is None


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("seed", [1, 2])
def test_reference_rows_are_the_single_pair_results(shape, seed):
    ref, *others = trees_of(shape, seed)
    result = cladorix.compare_to_reference(to_newick(ref), [to_newick(t) for t in others], TOPOLOGY)
    assert result["rows"]["tree"] == list(range(len(others)))
    for i, t in enumerate(others):
        expect_topology_columns(row(result["rows"], i), ref, t)


@pytest.mark.parametrize("shape", SHAPES)
def test_pair_rows_are_the_single_pair_results(shape):
    trees = trees_of(shape, 7)
    table = cladorix.compare_all_pairs([to_newick(t) for t in trees], TOPOLOGY, max_threads=2)
    pairs = list(itertools.combinations(range(len(trees)), 2))
    assert list(zip(table["tree_a"], table["tree_b"])) == pairs
    for i, (a, b) in enumerate(pairs):
        expect_topology_columns(row(table, i), trees[a], trees[b])


def test_by_depth_rows_are_the_exact_count_per_depth():
    ref, t = trees_of("polytomies", 3, count=2)
    result = cladorix.compare_to_reference(
        to_newick(ref), [("t", to_newick(t))], "triplets_exact", by_depth=True
    )
    exact = cladorix.triplets_correct_exact(to_newick(ref), to_newick(t))
    by_depth = result["by_depth"]
    assert by_depth["tree"] == ["t"] * len(exact["triplets_at_depth"])
    assert by_depth["depth"] == list(exact["triplets_at_depth"])
    assert by_depth["n_triplets"] == list(exact["triplets_at_depth"].values())
    assert by_depth["all_triplets_correct"] == list(exact["all_triplets_correct"].values())


# ---- characters by cell name --------------------------------------------------------


def character_case(seed, sites=3):
    rng = random.Random(seed)
    ref, t = (labelled(x, p) for x, p in zip(trees_of("polytomies", seed, count=2), "rs"))
    cells = [f"c{i}" for i in range(12)]
    states = {c: [rng.choice([-1, 0, 0, 1, 2]) for _ in range(sites)] for c in cells}
    rng.shuffle(cells)  # the matrix in an order neither tree has
    return ref, t, cells, [states[c] for c in cells], states


@pytest.mark.parametrize("seed", [4, 5, 6])
def test_characters_are_matched_by_cell_name(seed):
    ref, t, cells, matrix, states = character_case(seed)
    result = cladorix.compare_to_reference(
        to_newick(ref),
        [to_newick(t)],
        ("parsimony", "likelihood"),
        character_matrix=matrix,
        cell_names=cells,
    )
    for tree, got in ((t, row(result["rows"], 0)), (ref, row(result["reference"], 0))):
        text = to_newick(tree)
        in_leaf_order = [states[name] for name in cladorix.leaf_names(text)]
        assert (
            got["parsimony_score"]
            == cladorix.parsimony_score(text, in_leaf_order)["parsimony_score"]
        )
        assert (
            got["log_likelihood"]
            == cladorix.likelihood_score(text, in_leaf_order)["log_likelihood"]
        )


def test_trees_that_character_scores_cannot_hold_get_row_errors():
    ref, t, cells, matrix, _ = character_case(8)
    repeated = copy.deepcopy(t)
    repeated["name"] = repeated["children"][0]["name"] = "100"
    extra = copy.deepcopy(t)
    extra["children"].append({"name": "zz", "children": []})
    texts = [to_newick(unlabelled(t)), to_newick(repeated), to_newick(extra)]
    result = cladorix.compare_to_reference(
        to_newick(ref),
        texts,
        "parsimony",
        character_matrix=matrix,
        cell_names=cells,
        errors="coerce",
    )
    label_error = "internal nodes need unique labels for parsimony; use cut_events"
    assert result["rows"]["error"][:2] == [label_error, label_error]
    assert result["rows"]["error"][2] == (
        "leaf 'zz' has no row in the character matrix (its name is not in cell_names)"
    )
    assert all(math.isnan(x) for x in result["rows"]["parsimony_score"])


# ---- shared leaves ------------------------------------------------------------------


def pruned(node, keep):
    """The tree on the kept leaves; nodes that pruning leaves with one child go."""
    if not node["children"]:
        return copy.deepcopy(node) if node["name"] in keep else None
    children = [c for c in (pruned(c, keep) for c in node["children"]) if c is not None]
    if not children:
        return None
    if len(children) == 1 and len(node["children"]) > 1:
        return children[0]
    return {"name": node["name"], "children": children}


@pytest.mark.parametrize("seed", [0, 4, 9])
@pytest.mark.parametrize("shape", ["binary", "single children"])
def test_common_leaves_compare_the_pruned_trees_at_full_reference_depths(shape, seed):
    ref, t = trees_of(shape, seed, n=14, count=2)
    keep_ref = {f"c{i}" for i in range(14) if i % 5}
    keep_t = {f"c{i}" for i in range(14) if i % 4}
    t_cut = pruned(t, keep_t)
    shared = keep_ref & keep_t
    result = cladorix.compare_to_reference(
        to_newick(pruned(ref, keep_ref)),
        [to_newick(t_cut)],
        TOPOLOGY,
        common_leaves=True,
        by_depth=True,
    )
    r = row(result["rows"], 0)
    assert (r["leaves_compared"], r["leaves_only_in_reference"], r["leaves_only_in_tree"]) == (
        len(shared),
        len(keep_ref - shared),
        len(keep_t - shared),
    )
    expect_topology_columns(r, pruned(ref, shared), pruned(t, shared))
    # A triplet's depth is that of its LCA in the reference as given.
    per_depth = {}
    for trio, d in triplet_depths(to_newick(pruned(ref, keep_ref))).items():
        if trio <= shared:
            per_depth[d] = per_depth.get(d, 0) + 1
    got = dict(zip(result["by_depth"]["depth"], result["by_depth"]["n_triplets"]))
    assert got == dict(sorted(per_depth.items()))


# ---- errors --------------------------------------------------------------------------

REF = "((A,B),(C,D));"

ROW_ERRORS = [
    ("((A,B),(C,E));", "leaf 'D' of the reference is missing from this tree"),
    ("((A,B),(C,D),E);", "leaf 'E' of this tree is missing from the reference"),
    (
        "((A,B),(C,D))x",
        "not a Newick tree: Newick name runs to the end of the text from position 13 (a tree ends with ';')",
    ),
    (
        "((A,B),(C,D)));",
        "not a Newick tree: Custom { kind: InvalidData, error: InvalidCharacter { idx: 13 } }",
    ),
    ("((A,B),(C,));", "leaf 3 of the tree (in text order) has no name"),
    ("((A,B),(C,C));", "leaf name 'C' is used twice in the tree"),
    ("((A,B),(C,D);", "a '(' of the tree is never closed"),
]


@pytest.mark.parametrize("text,error", ROW_ERRORS)
def test_a_failing_tree_is_its_rows_error_or_raised(text, error):
    result = cladorix.compare_to_reference(REF, [REF, text], TOPOLOGY, errors="coerce")
    assert result["rows"]["error"] == [None, error]
    assert math.isnan(result["rows"]["rf_distance"][1])
    with pytest.raises(ValueError, match="^" + re.escape("tree 1: " + error) + "$"):
        cladorix.compare_to_reference(REF, [REF, text], TOPOLOGY)
    # First, so the trees after it look up the names it numbered.
    pairs = cladorix.compare_all_pairs([text, REF, REF], errors="coerce")
    assert pairs["error"][0].startswith(("tree_a: ", "leaf "))
    assert pairs["error"][2] is None and pairs["rf_distance"][2] == 0


CALL_ERRORS = [
    (dict(reference="(A,B"), ValueError, "the reference: not a Newick tree"),
    (dict(measures="nope"), ValueError, "unknown measure 'nope'"),
    (dict(measures=()), ValueError, "measures is empty"),
    (dict(errors="ignore"), ValueError, "errors must be 'raise' or 'coerce'"),
    (dict(max_threads=0), ValueError, "max_threads must be at least 1"),
    (dict(measures="parsimony"), ValueError, "need character_matrix and cell_names"),
    (
        dict(measures="parsimony", character_matrix=[[0]] * 4, cell_names=list("ABCD")),
        ValueError,
        "the reference: internal nodes need unique labels for parsimony",
    ),
    (
        dict(
            character_matrix=[[0]],
            cell_names=["A", "A"],
            measures="likelihood",
            reference="((A,B)x,(C,D)y)r;",
        ),
        ValueError,
        "cell_names has 2 names for 1 rows",
    ),
    (dict(labels=["a"]), ValueError, "labels has fewer entries"),
    (dict(trees=[5]), TypeError, "items must be Newick strings"),
    (dict(progress=5), TypeError, "progress must be None, True, False or a callable"),
    (dict(executor=5), TypeError, "no concurrent.futures.Executor"),
]


@pytest.mark.parametrize("kwargs,exc,message", CALL_ERRORS)
def test_bad_calls(kwargs, exc, message):
    args = {"reference": REF, "trees": [REF, REF], **kwargs}
    with pytest.raises(exc, match=re.escape(message)):
        cladorix.compare_to_reference(args.pop("reference"), args.pop("trees"), **args)


def test_progress_callback_sees_every_tree():
    seen = []
    cladorix.compare_to_reference(REF, [REF] * 600, "rf", progress=lambda d, t: seen.append((d, t)))
    assert seen[-1] == (600, 600) and all(a[0] < b[0] for a, b in zip(seen, seen[1:]))


# ---- executors -----------------------------------------------------------------------


def test_an_executor_gives_the_local_result_a_failing_tree_included():
    trees = [to_newick(t) for t in trees_of("polytomies", 11, count=9)] + ["(c1,c2"]
    kwargs = dict(measures=TOPOLOGY, by_depth=True, errors="coerce")
    local = cladorix.compare_to_reference(trees[0], trees, **kwargs)
    local_pairs = cladorix.compare_all_pairs(trees, TOPOLOGY, errors="coerce")
    with concurrent.futures.ThreadPoolExecutor(3) as ex:
        remote = cladorix.compare_to_reference(trees[0], trees, executor=ex, **kwargs)
        assert approx(remote) == approx(local)
        remote_pairs = cladorix.compare_all_pairs(trees, TOPOLOGY, errors="coerce", executor=ex)
        assert approx(remote_pairs) == approx(local_pairs)
        with pytest.raises(ValueError, match="^tree 9: not a Newick tree"):
            cladorix.compare_to_reference(trees[0], trees, executor=ex)


def approx(result):
    """NaN equal to NaN, for comparing whole results."""
    if isinstance(result, dict):
        return {k: approx(v) for k, v in result.items()}
    if isinstance(result, list):
        return [approx(v) for v in result]
    return "nan" if isinstance(result, float) and math.isnan(result) else result


def test_a_dask_cluster_gives_the_local_result():
    distributed = pytest.importorskip("distributed")
    trees = [to_newick(t) for t in trees_of("binary", 12, count=6)] + ["(c1,"]
    local = cladorix.compare_to_reference(trees[0], trees, errors="coerce")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster:
        with distributed.Client(cluster) as client:
            remote = cladorix.compare_to_reference(
                trees[0], trees, errors="coerce", executor=client.get_executor()
            )
    assert approx(remote) == approx(local)
