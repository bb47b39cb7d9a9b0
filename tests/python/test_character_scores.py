"""Parsimony, its p-value, likelihood and likelihood distance through the module,
against the recursive definitions in reference/characters.py."""

import math
import random

import cpp_draws
import pytest
from helpers import random_tree, same_float, to_newick
from hypothesis import given, settings
from hypothesis import strategies as st
from reference import characters as ref

import cladorix

SMALL = "((A,B)x,C)r;"
LOG_CUT = math.log(0.1 * ref.P_EDIT)
LOG_STAY = math.log(1 - ref.P_EDIT)


# ---- inputs ------------------------------------------------------------------


def random_case(seed):
    rng = random.Random(seed)
    n = rng.randint(1, 12)
    leaf_names = [rng.choice(["a", "b", "c", "d", "e", "f", "g", None]) for _ in range(n)]
    root = random_tree(
        rng,
        leaf_names,
        max_children=rng.choice([2, 2, 3]),
        single_child_prob=0.1,
        internal_name_prob=0.7,
        internal_names=["a", "r", "s", "t", "u", "v"],
    )
    if rng.random() < 0.7:
        root["name"] = "r"
    n_chars = rng.randint(0, 4)
    rows = max(0, n + rng.randint(-2, 2))

    def states(length):
        return [rng.choice([-1, 0, 0, 1, 2, 3]) for _ in range(length)]

    matrix = [
        states(n_chars if rng.random() < 0.8 else rng.randint(0, n_chars + 1)) for _ in range(rows)
    ]
    given = {
        name: states(n_chars) for name in ["a", "r", "s", "t", "u", "v", "zz"] if rng.random() < 0.6
    }
    return to_newick(root), matrix, given


# ---- parsimony_score ----------------------------------------------------------


class TestParsimony:
    def test_result_dict(self):
        out = cladorix.parsimony_score(SMALL, [[1], [1], [0]])
        assert list(out) == [
            "parsimony_score",
            "total_mutations",
            "computation_time_ms",
            "method_used",
            "internal_states_inferred",
        ]
        assert out["parsimony_score"] == out["total_mutations"] == 1
        assert out["method_used"] == "small_mp_inferred"
        assert out["internal_states_inferred"] is True
        assert isinstance(out["computation_time_ms"], float) and out["computation_time_ms"] >= 0.0

    @pytest.mark.parametrize(
        "rows,score", [([[1], [1], [0]], 1), ([[1], [2], [0]], 2), ([[-1], [-1], [0]], 0), ([], 0)]
    )
    def test_worked_examples(self, rows, score):
        assert cladorix.parsimony_score(SMALL, rows)["parsimony_score"] == score

    def test_provided_states(self):
        out = cladorix.parsimony_score(SMALL, ((1,), (1,), (0,)), {"r": (5,), "x": [0]})
        assert out["parsimony_score"] == 2  # the root keeps its edit; x-A and x-B count
        assert out["method_used"] == "provided_states"
        assert out["internal_states_inferred"] is False
        # None is the same as leaving the states out.
        out = cladorix.parsimony_score(SMALL, [[1], [1], [0]], None)
        assert (out["parsimony_score"], out["method_used"]) == (1, "small_mp_inferred")

    def test_markers_by_keyword(self):
        f = cladorix.parsimony_score
        assert f(SMALL, [[1], [1], [9]], unedited_state=9)["parsimony_score"] == 1
        assert f(SMALL, [[1], [1], [0]], missing_state=1)["parsimony_score"] == 0
        assert f(tree_newick=SMALL, character_matrix=[[1], [2], [0]])["parsimony_score"] == 2

    def test_parse_failure(self):
        with pytest.raises(ValueError) as info:
            cladorix.parsimony_score("(A,B));", [[1]])
        assert str(info.value) == (
            "Failed to parse tree: Custom { kind: InvalidData, error: InvalidCharacter { idx: 5 } }"
        )

    def test_unlabelled_internal_nodes_score_zero(self):
        assert cladorix.parsimony_score("((A,B),C);", [[1], [2], [3]])["parsimony_score"] == 0

    @settings(max_examples=300, deadline=None)
    @given(st.integers(0, 2**32))
    def test_matches_definition(self, seed):
        newick, matrix, given = random_case(seed)
        got = cladorix.parsimony_score(newick, matrix)["parsimony_score"]
        assert got == ref.parsimony(newick, matrix)
        got = cladorix.parsimony_score(newick, matrix, given)["parsimony_score"]
        assert got == ref.parsimony(newick, matrix, given)

    def test_matches_the_definition_on_drawn_cases(self):
        # Drawn as the C++ suite drew them, with the markers moved at times.
        cases = cpp_draws.CharacterCases(20240611)
        for _ in range(3000):
            newick, matrix, states = cases.next()
            missing = 1 if cases.pick(0, 3) == 0 else -1
            unedited = 2 if cases.pick(0, 3) == 0 else 0
            for known in (None, states):
                got = cladorix.parsimony_score(newick, matrix, known, missing, unedited)
                want = ref.parsimony(newick, matrix, known, missing, unedited)
                assert got["parsimony_score"] == want, (newick, matrix, known)

    def test_deep_caterpillar(self):
        depth = 200_000
        newick = (
            "(" * depth + "L0,L1)n1" + "".join(f",L{k})n{k}" for k in range(2, depth + 1)) + ";"
        )
        rows = [[1, 2 if k % 2 else 1] for k in range(depth + 1)]
        assert cladorix.parsimony_score(newick, rows)["parsimony_score"] == depth + 3
        out = cladorix.likelihood_score(newick, rows)
        want = (depth + 3) * LOG_CUT + (depth - 1) * LOG_STAY
        assert out["log_likelihood"] == pytest.approx(want, rel=1e-9)


# ---- parsimony_p_value ---------------------------------------------------------


class TestPValue:
    def test_result_dict(self):
        out = cladorix.parsimony_p_value(SMALL, [[1], [1], [0]])
        assert list(out) == ["p_value", "parsimony_score", "computation_time_ms", "method_used"]
        # S = 1, mu = 0.1 * (3 - 1)
        assert out["p_value"] == 1 - math.exp(-0.2)
        assert out["parsimony_score"] == 1
        assert out["method_used"] == "poisson_approximation"
        assert out["computation_time_ms"] >= 0.0

    def test_rates(self):
        f = cladorix.parsimony_p_value
        assert f(SMALL, [[1], [1], [0]], mutation_rate=0.25)["p_value"] == 1 - math.exp(-0.5)
        assert f(SMALL, [[1], [1], [0]], None, 1)["p_value"] == 1 - math.exp(-2.0)  # int accepted
        assert f(SMALL, [[1], [1], [0]], mutation_rate=-1.0)["p_value"] == 0.0
        assert math.isnan(f(SMALL, [[1], [1], [0]], mutation_rate=math.nan)["p_value"])
        assert f(SMALL, [[0], [0], [0]], mutation_rate=-1.0)["p_value"] == 1.0
        assert f("A;", [[1]])["p_value"] == 1.0

    def test_normal_branch_above_hundred(self):
        # 301 leaf edges each cut once: S = 301 > 100, mu = 0.1 * 300.
        depth = 300
        newick = (
            "(" * depth + "L0,L1)n1" + "".join(f",L{k})n{k}" for k in range(2, depth + 1)) + ";"
        )
        rows = [[2 if k % 2 else 1] for k in range(depth + 1)]
        out = cladorix.parsimony_p_value(newick, rows)
        assert out["parsimony_score"] == 301
        assert out["method_used"] == "poisson_approximation"
        mu = 0.1 * 300.0
        x = (301 - mu) / math.sqrt(mu) / 1.4142135623730951
        assert out["p_value"] == pytest.approx(0.5 * math.erfc(x), abs=1e-7)

    def test_parse_failure(self):
        with pytest.raises(ValueError, match=r"^Failed to parse tree: "):
            cladorix.parsimony_p_value(",", [[1]])


# ---- likelihood_score -----------------------------------------------------------


class TestLikelihood:
    def test_result_dict(self):
        out = cladorix.likelihood_score(SMALL, [[1], [1], [0]])
        assert list(out) == [
            "log_likelihood",
            "likelihood",
            "computation_time_ms",
            "method_used",
            "n_characters",
            "n_leaves",
        ]
        assert out["log_likelihood"] == LOG_CUT + 0.0 + 0.0 + LOG_STAY
        assert out["log_likelihood"] == pytest.approx(-4.754754, abs=1e-6)
        assert out["likelihood"] == math.exp(out["log_likelihood"])
        assert out["method_used"] == "crispr_cas9_model"
        assert (out["n_characters"], out["n_leaves"]) == (1, 3)

    @pytest.mark.parametrize("rows", [[], [[], [1]]])
    def test_empty_data(self, rows):
        out = cladorix.likelihood_score("((A,B)x,(,)y)r;", rows, mutation_rate=math.nan)
        assert out == {
            "log_likelihood": 0.0,
            "likelihood": 1.0,
            "computation_time_ms": 0.0,
            "method_used": "empty_data",
            "n_characters": 0,
            "n_leaves": 4,
        }

    def test_parameters(self):
        f = cladorix.likelihood_score
        rows = [[1], [2], [0]]
        assert f(SMALL, rows)["log_likelihood"] == f(SMALL, rows, None, 0.1, 0.1)["log_likelihood"]
        assert f(SMALL, [[1], [1], [0]], collision_probability=0)["log_likelihood"] == -math.inf
        out = f(SMALL, [[1], [1], [0]], collision_probability=-1.0)
        assert math.isnan(out["log_likelihood"]) and math.isnan(out["likelihood"])
        lost = f(SMALL, [[3], [0], [0]], {"r": [0], "x": [3]})
        assert lost["log_likelihood"] == -math.inf and lost["likelihood"] == 0.0

    @settings(max_examples=300, deadline=None)
    @given(
        st.integers(0, 2**32),
        st.sampled_from([None, 0.1, 0.37, 2.0, -0.5]),
        st.sampled_from([None, 0.1, 0.0, 0.9, 1.5]),
    )
    def test_matches_definition_bit_for_bit(self, seed, rate, collision):
        newick, matrix, given = random_case(seed)
        for states in (None, given):
            out = cladorix.likelihood_score(newick, matrix, states, rate, collision)
            if not matrix or not matrix[0]:
                assert out["method_used"] == "empty_data"
                continue
            want = ref.log_likelihood(newick, matrix, states, rate, collision)
            assert same_float(out["log_likelihood"], want), (newick, matrix, states)

    def test_matches_the_definition_on_drawn_cases(self):
        rates = [None, 0.1, 0.37, 2.0, -0.5]
        collisions = [None, 0.1, 0.0, 0.9, 1.5]
        cases = cpp_draws.CharacterCases(31337)
        for _ in range(3000):
            newick, matrix, states = cases.next()
            if not matrix or not matrix[0]:
                continue
            rate, collision = rates[cases.pick(0, 4)], collisions[cases.pick(0, 4)]
            unedited = 2 if cases.pick(0, 3) == 0 else 0
            for known in (None, states):
                got = cladorix.likelihood_score(
                    newick, matrix, known, rate, collision, -1, unedited
                )
                want = ref.log_likelihood(newick, matrix, known, rate, collision, -1, unedited)
                assert same_float(got["log_likelihood"], want), (newick, matrix, known)


# ---- likelihood_distance ----------------------------------------------------------


class TestLikelihoodDistance:
    def test_result_and_rule(self):
        f = cladorix.likelihood_distance
        rows = [[1], [1], [0]]
        assert f(SMALL, SMALL, rows) == {"likelihood_distance": 0.0}
        # The second tree makes x unedited: two cuts and two stays against one of each.
        other = "(A,(B,C)x)r;"
        r = cladorix.likelihood_score(SMALL, rows)["log_likelihood"]
        g = cladorix.likelihood_score(other, rows)["log_likelihood"]
        assert f(SMALL, other, rows)["likelihood_distance"] == g / r - 1
        assert f(other, SMALL, rows)["likelihood_distance"] == 0.0
        assert f(SMALL, SMALL, [])["likelihood_distance"] == math.inf
        assert f("((A,B),C);", SMALL, rows)["likelihood_distance"] == math.inf

    def test_each_tree_its_own_states(self):
        f = cladorix.likelihood_distance
        rows = [[1], [1], [0]]
        given = {"r": [0], "x": [0]}
        r = cladorix.likelihood_score(SMALL, rows)["log_likelihood"]
        g = cladorix.likelihood_score(SMALL, rows, given)["log_likelihood"]
        assert (
            f(SMALL, SMALL, rows, internal_states_ground_truth=given)["likelihood_distance"]
            == g / r - 1
        )
        assert f(SMALL, SMALL, rows, given, given)["likelihood_distance"] == 0.0

    def test_parse_failures_in_order(self):
        with pytest.raises(ValueError) as info:
            cladorix.likelihood_distance(")", ",", [[1]])
        assert str(info.value).startswith("Failed to parse reconstructed tree: ")
        with pytest.raises(ValueError) as info:
            cladorix.likelihood_distance(SMALL, "(A));", [[1]])
        assert str(info.value) == (
            "Failed to parse ground truth tree: Custom { kind: InvalidData, "
            "error: InvalidCharacter { idx: 3 } }"
        )
