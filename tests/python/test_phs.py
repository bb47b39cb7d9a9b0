"""phs_optimized through the module: the result contract, worked examples,
failures, the sequential/parallel decision under RAYON_NUM_THREADS, and the
definition (reference/phs.py) compared bit for bit."""

import math
import random

import cpp_draws
import pytest
from helpers import expect_panic, random_tree, run_python, same_float, to_newick
from reference import phs as ref

import cladorix

EXAMPLE = "(((A,B)y,C)x,D)r;"
EXAMPLE_ROWS = [[1], [1], [0], [0]]
EXAMPLE_STATES = {"y": [0], "x": [0], "r": [0]}


# ---- inputs --------------------------------------------------------------------


def simulate(
    rng,
    n_leaves,
    n_chars,
    *,
    edits=6,
    missing_rate=0.05,
    rate=0.25,
    dup_names=False,
    unnamed=False,
    polytomies=False,
):
    """Irreversible edits down a random tree; every internal node named and
    given its states. Returns (newick, rows in named-leaf order, states)."""
    names = [f"c{i}" for i in range(n_leaves)]
    if dup_names:
        names = [rng.choice(names[:3]) if rng.random() < 0.2 else x for x in names]
    if unnamed:
        names = [None if rng.random() < 0.1 else x for x in names]
    root = random_tree(rng, names, max_children=3 if polytomies else 2)
    states, rows = {}, []
    stack = [(root, [0] * n_chars)]
    counter = 0
    order = []
    while stack:
        node, parent_states = stack.pop()
        own = [
            s if s != 0 or rng.random() >= rate else rng.randint(1, edits) for s in parent_states
        ]
        if node["children"]:
            node["name"] = f"n{counter}"
            counter += 1
            states[node["name"]] = own
        order.append((node, own))
        for child in reversed(node["children"]):
            stack.append((child, own))
    for node, own in order:
        if not node["children"] and node["name"]:
            rows.append([-1 if rng.random() < missing_rate else x for x in own])
    return to_newick(root), rows, states


# ---- the result contract ----------------------------------------------------


def test_result_dict_and_worked_example():
    r = cladorix.phs_optimized(EXAMPLE, EXAMPLE_ROWS, EXAMPLE_STATES)
    assert list(r) == [
        "phs_score",
        "total_pairs",
        "computation_time_ms",
        "method_used",
        "parallel_chunks_used",
    ]
    assert [type(v) for v in r.values()] == [float, int, float, str, int]
    h = 0.25 * 0.1
    p = 1 - math.exp(math.log(1 - h))
    assert r["phs_score"] == pytest.approx(0.15, abs=1e-12)
    assert r["phs_score"] == 6 * p / 1
    assert (r["total_pairs"], r["method_used"], r["parallel_chunks_used"]) == (
        6,
        "optimized_sequential",
        1,
    )
    assert r["computation_time_ms"] >= 0.0


def test_parameters_by_keyword_and_position():
    by_kw = cladorix.phs_optimized(
        tree_newick=EXAMPLE,
        character_matrix=EXAMPLE_ROWS,
        internal_character_states=EXAMPLE_STATES,
        mutation_rate=0.3,
        collision_probability=0.2,
        missing_state=-1,
        unedited_state=0,
        max_threads=1,
    )
    by_pos = cladorix.phs_optimized(EXAMPLE, EXAMPLE_ROWS, EXAMPLE_STATES, 0.3, 0.2, -1, 0, 1)
    assert by_kw["phs_score"] == by_pos["phs_score"]
    want, _ = ref.score(EXAMPLE, EXAMPLE_ROWS, EXAMPLE_STATES, 0.3, 0.2)
    assert by_kw["phs_score"] == want
    # Swapping the markers makes 0 the missing value and -1 the unedited one:
    # nothing is unedited any more, so every count is 0.
    swapped = cladorix.phs_optimized(
        EXAMPLE, EXAMPLE_ROWS, EXAMPLE_STATES, missing_state=0, unedited_state=-1
    )
    assert swapped["phs_score"] == 1.0


@pytest.mark.parametrize("newick", ["A;", "(A,)x;", "((,A),(,));"])
def test_no_pairs(newick):
    r = cladorix.phs_optimized(newick, [[1, 2]], {"x": [0, 0]})
    assert r["phs_score"] == 1.0
    assert (r["total_pairs"], r["method_used"], r["parallel_chunks_used"]) == (0, "no_pairs", 1)


def test_states_that_reach_no_internal_node():
    for states in ({}, {"zz": [0]}, {"A": [0]}):
        r = cladorix.phs_optimized(EXAMPLE, EXAMPLE_ROWS, states)
        assert (r["phs_score"], r["total_pairs"]) == (1.0, 6)


def test_fewer_rows_than_named_leaves():
    # C and D have no rows: their pairs share nothing.
    r = cladorix.phs_optimized(EXAMPLE, [[1], [1]], EXAMPLE_STATES, mutation_rate=-math.log(0.5))
    full = cladorix.phs_optimized(EXAMPLE, EXAMPLE_ROWS, EXAMPLE_STATES)
    assert r["phs_score"] == full["phs_score"]
    assert cladorix.phs_optimized(EXAMPLE, [], EXAMPLE_STATES)["phs_score"] == 1.0


def test_depth_one_and_depth_zero():
    # (A, B) under a child of the root: h = 1, p = 1 whatever the rate.
    r = cladorix.phs_optimized(
        "((A,B)y,C)r;", [[1, 2], [1, 2], [0, 0]], {"y": [0, 0]}, mutation_rate=5.0
    )
    assert r["phs_score"] == 1.0
    # Under the root: h = (1 - e^-0.1)^2 * 0.1 and c = 1 gives 1 - (1 - h)^a.
    r = cladorix.phs_optimized(
        "(A,B)r;",
        [[3, 0, 0], [3, 0, 0]],
        {"r": [0, 0, 0]},
        mutation_rate=0.1,
        collision_probability=0.1,
    )
    h = (1 - math.exp(-0.1)) ** 2 * 0.1
    assert h == pytest.approx(0.000906, abs=1e-6)
    assert r["phs_score"] == pytest.approx(1 - (1 - h) ** 3, rel=1e-12)


# ---- failures ---------------------------------------------------------------


def test_failures():
    with pytest.raises(ValueError) as info:
        cladorix.phs_optimized("A,B);", [], {})
    assert str(info.value).startswith("Failed to parse tree: ")
    # No named leaf, before the no_pairs rule.
    expect_panic(cladorix.phs_optimized, "(,);", [], {})
    expect_panic(cladorix.phs_optimized, ";", [], {})
    # An unclosed "(" fails while the tables are built, even with one leaf.
    expect_panic(cladorix.phs_optimized, "(A;", [], {})
    expect_panic(cladorix.phs_optimized, "((A,B)y,C;", [[1], [1], [1]], {"y": [0]})
    # A NaN rate with a shared edit under a deep ancestor, among several pairs.
    expect_panic(cladorix.phs_optimized, EXAMPLE, EXAMPLE_ROWS, EXAMPLE_STATES, float("nan"))
    # Every known entry edited: the estimated rate is infinite.
    expect_panic(cladorix.phs_optimized, "(A,B,C)r;", [[1], [1], [2]], {"r": [0]})
    # A single pair turns the NaN into +inf.
    r = cladorix.phs_optimized("(A,B)r;", [[1], [1]], {"r": [0]})
    assert r["phs_score"] == math.inf and r["total_pairs"] == 1
    # max_threads = 0 only matters from 64 named leaves on (see the path tests).
    assert (
        cladorix.phs_optimized(EXAMPLE, EXAMPLE_ROWS, EXAMPLE_STATES, max_threads=0)["method_used"]
        == "optimized_sequential"
    )


def test_deep_shared_edits_are_capped_not_fatal():
    # Two leaves sharing an edit under an unedited ancestor 30 edges deep: the
    # raw probability is above 1 there (NaN p-value); capped, the pair gets p = 1.
    n = 32
    newick = "(" * (n - 1) + "L0" + "".join(f",L{i})n{i}" for i in range(1, n)) + ";"
    states = {f"n{i}": [0, 0] for i in range(1, n)}
    rows = [[5, 0], [5, 0]] + [[0, 0]] * (n - 2)
    r = cladorix.phs_optimized(newick, rows, states, mutation_rate=0.1, collision_probability=0.1)
    assert r["phs_score"] == 1.0 and r["total_pairs"] == n * (n - 1) // 2
    # A half-edited matrix gives rate ln 2, above 1 from depth 6 on.
    r = cladorix.phs_optimized(newick, [[5, 5], [5, 5]] + [[0, 0]] * (n - 2), states)
    assert r["phs_score"] == 1.0


# ---- against the transcription -----------------------------------------------


@pytest.mark.parametrize("seed", range(40))
def test_matches_definition_bit_for_bit(seed):
    rng = random.Random(seed)
    newick, rows, states = simulate(
        rng,
        rng.randint(2, 40),
        rng.randint(0, 12),
        edits=rng.choice([1, 3, 50]),
        rate=rng.choice([0.05, 0.2, 0.5]),
        dup_names=seed % 3 == 0,
        unnamed=seed % 4 == 0,
        polytomies=seed % 2 == 0,
    )
    if seed % 5 == 0 and rows:
        rows[rng.randrange(len(rows))] = rows[0][: rng.randint(0, len(rows[0]))]  # a short row
    for rate, q in [(None, None), (0.1, 0.1), (0.02, 0.5), (1.5, 0.05)]:
        try:
            want, m = ref.score(newick, rows, states, rate, q)
        except ValueError:
            expect_panic(cladorix.phs_optimized, newick, rows, states, rate, q)
            continue
        got = cladorix.phs_optimized(newick, rows, states, rate, q)
        assert got["phs_score"] == want, (newick, rate, q)
        assert got["total_pairs"] == m


# ---- the sequential and parallel paths ------------------------------------------

PATH_PROGRAM = """
import json, cladorix
from helpers import random_binary_newick
out = {}
for n, mt in %s:
    try:
        r = cladorix.phs_optimized(random_binary_newick(n, n), [[0]] * n, {}, max_threads=mt)
        out[f"{n}/{mt}"] = [r["method_used"], r["parallel_chunks_used"], r["total_pairs"]]
    except BaseException as e:
        out[f"{n}/{mt}"] = [type(e).__name__, str(e)]
print(json.dumps(out))
"""


def run_paths(cases, threads):
    import json
    import os

    proc = run_python(
        f"import sys; sys.path.insert(0, {os.path.dirname(__file__)!r})\n"
        + PATH_PROGRAM % (cases,),
        env={"RAYON_NUM_THREADS": str(threads)},
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def test_path_decisions_with_two_workers():
    got = run_paths([(63, None), (63, 0), (64, 0), (64, 1), (64, None), (127, None), (127, 1)], 2)
    assert got["63/None"] == ["optimized_sequential", 1, 1953]
    assert got["63/0"] == ["optimized_sequential", 1, 1953]
    assert got["64/0"] == ["PanicException", "attempt to divide by zero"]
    assert got["64/1"] == ["optimized_sequential", 1, 2016]
    # n(n-1) = 4032: chunk_count gives 1 below 16000.
    assert got["64/None"] == ["optimized_sequential", 1, 2016]
    assert got["127/None"] == ["optimized_parallel", 2, 8001]
    assert got["127/1"] == ["optimized_sequential", 1, 8001]


def test_path_decisions_with_one_worker():
    got = run_paths([(127, None), (64, 0)], 1)
    assert got["127/None"] == ["optimized_sequential", 1, 8001]
    assert got["64/0"] == ["PanicException", "attempt to divide by zero"]


def test_sequential_equals_parallel():
    import json
    import os

    program = f"""
import sys, json, random
sys.path.insert(0, {os.path.dirname(__file__)!r})
import cladorix
from test_phs import simulate
out = []
for seed in range(3):
    rng = random.Random(seed)
    newick, rows, states = simulate(rng, 700, 20, edits=3, rate=0.15, polytomies=seed == 1)
    a = cladorix.phs_optimized(newick, rows, states, 0.05, 0.3, max_threads=1)
    b = cladorix.phs_optimized(newick, rows, states, 0.05, 0.3)
    out.append([a["phs_score"].hex(), b["phs_score"].hex(), a["method_used"], b["method_used"],
                b["parallel_chunks_used"]])
print(json.dumps(out))
"""
    proc = run_python(program, env={"RAYON_NUM_THREADS": "4"})
    assert proc.returncode == 0, proc.stderr
    for seq, par, m_seq, m_par, chunks in json.loads(proc.stdout):
        assert (m_seq, m_par) == ("optimized_sequential", "optimized_parallel")
        assert chunks == 4
        assert seq == par
        assert float.fromhex(seq) < 1.0  # some pairs do share edits


def test_matches_the_definition_on_drawn_cases():
    # Drawn as the C++ suite drew them; every rate and collision probability,
    # against the uncapped definition too where no probability exceeds 1.
    gen = cpp_draws.MersenneTwister(99, 64)
    compared = failures = 0
    for _ in range(600):
        newick, matrix, states, missing, unedited = cpp_draws.phs_case(gen, 24)
        found = ref.pairs(newick, matrix, states, missing, unedited)
        if not found:  # no_pairs, or no named leaf at all
            continue
        a = len(matrix[0]) if matrix else 0
        estimated = ref.estimated_rate(matrix, missing, unedited)
        for rate in (None, 0.1, 0.02, 0.7, -0.3, 0.0, math.nan):
            lam = estimated if rate is None else rate
            for q in (0.1, 0.5, 1.0, -0.2, 0.0):
                args = (newick, matrix, states, rate, q, missing, unedited)
                over = any(
                    ref.homoplasy_probability(lam, q, d, capped=False) > 1.0 for _, d in found
                )
                for capped in (False, True):
                    if over and not capped:
                        continue
                    try:
                        want = ref.score_of_pairs(found, lam, q, a, capped)
                    except ValueError:
                        expect_panic(cladorix.phs_optimized, *args)
                        failures += 1
                        continue
                    got = cladorix.phs_optimized(*args)
                    assert same_float(got["phs_score"], want), args
                    assert got["total_pairs"] == len(found)
                    compared += 1
    # Both outcomes must actually have been exercised.
    assert compared > 1000
    assert failures > 50
