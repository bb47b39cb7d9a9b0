"""The two pooled triplet measures end to end: mode and chunk decisions for
several pool sizes (each in a fresh interpreter, since the pool is sized once
per process), values against the positional reference with the seeded
ChaCha12 streams (reference/triplets.py), max_threads = 0, and the pool inside
real Python programs (fork, interpreter exit)."""

import json
import math
import random
import time

import pytest
from helpers import caterpillar, expect_panic, random_tree, run_python, same_floats, to_newick
from reference import triplets as ref

import cladorix

KEYS = [
    "all_triplets_correct",
    "resolvable_triplets_correct",
    "unresolved_triplets_correct",
    "proportion_unresolvable",
    "method_used",
    "total_triplets_checked",
    "parallel_chunks_used",
]
FUNCS = {
    "parallel": cladorix.triplets_correct_parallel,
    "optimized": cladorix.triplets_correct_optimized,
}


def values(result):
    assert list(result) == KEYS
    for k in KEYS[:4]:
        assert list(result[k]) == [0] and type(result[k][0]) is float
    assert type(result["method_used"]) is str
    assert type(result["total_triplets_checked"]) is int
    assert type(result["parallel_chunks_used"]) is int
    return [result[k][0] for k in KEYS[:4]]


def tree_text(n, seed, max_children=2):
    names = [f"L{i}" for i in range(n)]
    return to_newick(random_tree(random.Random(seed), names, max_children))


def pooled_calls(workers, calls):
    """Runs calls [(variant, tree1, tree2, kwargs)] in a fresh interpreter with
    RAYON_NUM_THREADS = workers; returns the result dicts with float keys
    restored."""
    code = f"""
        import json, cladorix
        out = []
        for variant, t1, t2, kw in json.loads({json.dumps(json.dumps(calls))}):
            f = getattr(cladorix, "triplets_correct_" + variant)
            r = f(t1, t2, **kw)
            out.append([[k, repr(v) if isinstance(v, dict) else v] for k, v in r.items()])
        print(json.dumps(out))
    """
    proc = run_python(code, env={"RAYON_NUM_THREADS": str(workers)})
    assert proc.returncode == 0, proc.stderr
    results = []
    for items in json.loads(proc.stdout):
        d = {}
        for k, v in items:
            d[k] = eval(v, {"nan": math.nan}) if k in KEYS[:4] else v
        results.append(d)
    return results


# ------------------------------------------------------ decisions by workers

T100 = (tree_text(100, 1), tree_text(100, 2, 3))
T200 = (tree_text(200, 3), tree_text(200, 4))

# (workers, variant, trees, trials) -> (method, total, chunks)
WORKED = [
    (1, "parallel", T100, 10000, ("parallel_sampling", 10000, 1)),
    (2, "parallel", T100, 10000, ("parallel_sampling", 10000, 2)),
    (4, "parallel", T100, 10000, ("parallel_exhaustive", 161700, 4)),
    (1, "optimized", T100, 10000, ("optimized_sampling", 10000, 1)),
    (2, "optimized", T100, 10000, ("optimized_exhaustive", 161700, 2)),
    (4, "optimized", T100, 10000, ("optimized_exhaustive", 161700, 4)),
    (8, "optimized", T200, 10000, ("optimized_sampling", 10000, 1)),
    (8, "optimized", T200, 50000, ("optimized_sampling", 50000, 6)),
]


@pytest.mark.parametrize("workers", sorted({w for w, *_ in WORKED}))
def test_worked_examples_by_worker_count(workers):
    cases = [c for c in WORKED if c[0] == workers]
    calls = [(v, t[0], t[1], {"number_of_trials": n, "seed": 7}) for _, v, t, n, _ in cases]
    for (_, _, trees, trials, want), got in zip(cases, pooled_calls(workers, calls)):
        method, total, chunks = want
        assert (
            got["method_used"],
            got["total_triplets_checked"],
            got["parallel_chunks_used"],
        ) == want
        if method.endswith("exhaustive"):
            values_want = ref.exhaustive_counts(*trees).ratios()
        else:
            values_want = ref.by_position_sampled(*trees, trials, 7, chunks)
        assert same_floats(values(got), values_want), (got, values_want)


def test_pinned_chunk_count_gives_identical_results_across_pools():
    trees = (tree_text(150, 5), tree_text(150, 6, 4))
    calls = [
        (v, *trees, {"number_of_trials": 30000, "seed": 99, "max_threads": 2})
        for v in ("parallel", "optimized")
    ]
    runs = {w: pooled_calls(w, calls) for w in (2, 4, 8)}
    for w in (4, 8):
        assert runs[w] == runs[2]
    par, opt = runs[2]
    assert par["parallel_chunks_used"] == opt["parallel_chunks_used"] == 2
    # Same chunk count, same seed: both variants give the same four values.
    assert values(par) == values(opt)
    assert same_floats(values(par), ref.by_position_sampled(*trees, 30000, 99, 2))
    # One worker caps the chunks at 1: a single stream, another result.
    single = pooled_calls(1, calls)
    assert single[0]["parallel_chunks_used"] == 1
    assert same_floats(values(single[0]), ref.by_position_sampled(*trees, 30000, 99, 1))


# ----------------------------------------------------------- in this process


class TestCalls:
    def test_keys_defaults_and_ignored_argument(self):
        t = caterpillar(30)
        big1, big2 = tree_text(300, 12), tree_text(300, 13)
        for name, f in FUNCS.items():
            r = f(t, t, seed=3)
            assert values(r) == [1.0, 1.0, 1.0, 0.0]
            assert r["total_triplets_checked"] == 4060  # 10000 trials >= C(30, 3)
            r = f(big1, big2, seed=3, max_threads=1)  # 10000 trials by default
            assert (r["method_used"], r["total_triplets_checked"]) == (name + "_sampling", 10000)
            assert r == f(big1, big2, 10000, 555, 3, 1)
            assert r != f(big1, big2, 10000, 1, 4, 1)

    def test_tiny_trees(self):
        for name, f in FUNCS.items():
            for t in ("(a,b);", "a;", ";"):
                r = f(t, t, 100, max_threads=0)
                assert same_floats(values(r), [math.nan, 1.0, 1.0, math.nan])
                assert r["method_used"] == name + "_exhaustive"
                assert r["total_triplets_checked"] == 0
                assert r["parallel_chunks_used"] == 1

    def test_zero_trials_on_a_large_tree(self):
        t = tree_text(300, 8)
        for name, f in FUNCS.items():
            r = f(t, t, 0)
            assert same_floats(values(r), [math.nan, 1.0, 1.0, math.nan])
            assert (r["method_used"], r["total_triplets_checked"], r["parallel_chunks_used"]) == (
                name + "_sampling",
                0,
                1,
            )

    def test_positions_not_names(self):
        # The same tree with one node's children swapped: leaf orders differ.
        a = "((a,b),(c,(d,e)));"
        b = "((a,b),((d,e),c));"
        for f in FUNCS.values():
            r = f(a, b, 100)
            assert values(r) == ref.exhaustive_counts(a, b).ratios()
            assert values(r)[0] < 1.0

    def test_max_threads_zero(self):
        t100 = tree_text(100, 9)
        for name, f, trials, counted in (
            ("parallel", FUNCS["parallel"], 5000, (40, 41)),
            ("optimized", FUNCS["optimized"], 8000, (37, 38)),
        ):
            # Sequential paths: no effect; parallel paths: the division fails
            # before any stream exists, so no seed is needed to see it.
            r = f(t100, t100, trials - 1, seed=2, max_threads=0)
            assert r["parallel_chunks_used"] == 1 and r["method_used"] == name + "_sampling"
            assert same_floats(values(r), ref.by_position_sampled(t100, t100, trials - 1, 2, 1))
            err = expect_panic(f, t100, t100, trials, max_threads=0)
            assert str(err) == "attempt to divide by zero"
            small, large = (caterpillar(n) for n in counted)
            r = f(small, small, 10**9, max_threads=0)
            assert r["method_used"] == name + "_exhaustive" and r["parallel_chunks_used"] == 1
            assert (
                str(expect_panic(f, large, large, 10**9, max_threads=0))
                == "attempt to divide by zero"
            )

    def test_failures(self):
        for f in FUNCS.values():
            with pytest.raises(ValueError) as e:
                f("(a,b));", ")")
            assert str(e.value).startswith("Failed to parse tree1: ")
            with pytest.raises(ValueError) as e:
                f("(a,b);", ",x;")
            assert str(e.value).startswith("Failed to parse tree2: ")
            err = expect_panic(f, "((a,b),(c,(d,e)));", "((a,b),(c,(d,(e,f))));")
            assert str(err) == "Trees must have the same number of taxa"
            expect_panic(f, "((a,b),(c,d);", "((a,b),(c,d));", 0)
            expect_panic(f, "((a,b),(c,d));", "((a,b),(c,d);", 0)

    def test_unseeded_runs_are_well_formed(self):
        t1, t2 = tree_text(400, 10), tree_text(400, 11)
        for f in FUNCS.values():
            r = f(t1, t2, 20000)
            v = values(r)
            assert 0.0 <= v[0] <= 1.0 and r["total_triplets_checked"] == 20000


# -------------------------------------------------- the pool inside Python


def test_forked_children_get_working_pools():
    code = """
        import multiprocessing, sys
        import cladorix
        sys.path.insert(0, {!r})
        from helpers import caterpillar

        T1 = caterpillar(200)
        T2 = "(" + ",".join(f"L{{i}}" for i in range(200)) + ");"

        N = 600
        LEFT = "(" * (N - 1) + "L0" + "".join(f",L{{i}})" for i in range(1, N)) + ";"
        RIGHT = "".join(f"(L{{i}}," for i in range(N - 1)) + f"L{{N - 1}}" + ")" * (N - 1) + ";"

        def call(seed):
            return (cladorix.triplets_correct_parallel(T1, T2, 20000, seed=seed),
                    cladorix.triplets_correct_optimized(LEFT, RIGHT, 10**9, seed=seed))

        if __name__ == "__main__":
            expected = [call(s) for s in range(6)]  # the parent's pool is running
            assert expected[0][0]["parallel_chunks_used"] == 2, expected[0][0]
            ctx = multiprocessing.get_context("fork")
            with ctx.Pool(3) as pool:
                got = pool.map_async(call, range(6)).get(timeout=60)
            assert got == expected
            print("ok")
    """.format(str(__import__("pathlib").Path(__file__).parent))
    proc = run_python(code, env={"RAYON_NUM_THREADS": "2"}, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


def test_interpreter_exits_promptly_after_pooled_calls():
    code = """
        import cladorix
        t = "(" + ",".join(f"L{i}" for i in range(300)) + ");"
        r = cladorix.triplets_correct_optimized(t, t, 100000, seed=1)
        assert r["parallel_chunks_used"] > 1, r
        r = cladorix.triplets_correct_parallel(t, t, 10**9, seed=1)
        assert r["parallel_chunks_used"] > 1, r
    """
    start = time.monotonic()
    proc = run_python(code, env={"RAYON_NUM_THREADS": "4"}, timeout=60)
    elapsed = time.monotonic() - start
    assert proc.returncode == 0, proc.stderr
    assert elapsed < 20, elapsed
