"""The calling contract shared by all twelve functions: registration,
binding of arguments, conversion errors and exception mapping."""

import inspect

import pytest
from helpers import asan_loaded, expect_panic, is_panic, run_python

import cladorix

SIGNATURES = [
    (
        "triplets_correct",
        "triplets_correct(tree1_newick, tree2_newick, number_of_trials=1000, min_triplets_at_depth=1, seed=None)",
        "Python wrapper for triplets_correct function",
    ),
    (
        "triplets_correct_fast",
        "triplets_correct_fast(tree1_newick, tree2_newick, number_of_trials=1000, min_triplets_at_depth=1, seed=None)",
        "Fast Python wrapper for triplets_correct function",
    ),
    (
        "triplets_correct_ultra",
        "triplets_correct_ultra(tree1_newick, tree2_newick, number_of_trials=5000, min_triplets_at_depth=1, seed=None)",
        "Ultra-fast Python wrapper with automatic exhaustive/sampling selection",
    ),
    (
        "triplets_correct_parallel",
        "triplets_correct_parallel(tree1_newick, tree2_newick, number_of_trials=10000, min_triplets_at_depth=1, seed=None, max_threads=None)",
        "Parallel Python wrapper with rayon-based parallelization",
    ),
    (
        "triplets_correct_optimized",
        "triplets_correct_optimized(tree1_newick, tree2_newick, number_of_trials=10000, min_triplets_at_depth=1, seed=None, max_threads=None)",
        "Optimized Python wrapper using phylo-rs inspired techniques",
    ),
    (
        "phs_optimized",
        "phs_optimized(tree_newick, character_matrix, internal_character_states, mutation_rate=None, collision_probability=None, missing_state=..., unedited_state=0, max_threads=None)",
        "Optimized PHS (Pairwise Homoplasy Score) calculation",
    ),
    (
        "robinson_foulds_distance",
        "robinson_foulds_distance(tree1_newick, tree2_newick)",
        "Python wrapper for Robinson-Foulds distance calculation",
    ),
    (
        "robinson_foulds_distance_normalized",
        "robinson_foulds_distance_normalized(tree1_newick, tree2_newick)",
        "Python wrapper for normalized Robinson-Foulds distance calculation",
    ),
    (
        "parsimony_score",
        "parsimony_score(tree_newick, character_matrix, internal_character_states=None, missing_state=..., unedited_state=0)",
        "Python wrapper for parsimony calculation",
    ),
    (
        "parsimony_p_value",
        "parsimony_p_value(tree_newick, character_matrix, internal_character_states=None, mutation_rate=None, missing_state=..., unedited_state=0)",
        "Python wrapper for parsimony p-value calculation  ",
    ),
    (
        "likelihood_score",
        "likelihood_score(tree_newick, character_matrix, internal_character_states=None, mutation_rate=None, collision_probability=None, missing_state=..., unedited_state=0)",
        "Python wrapper for likelihood calculation",
    ),
    (
        "likelihood_distance",
        "likelihood_distance(reconstructed_tree_newick, ground_truth_tree_newick, character_matrix, internal_states_reconstructed=None, internal_states_ground_truth=None, mutation_rate=None, collision_probability=None, missing_state=..., unedited_state=0)",
        "Python wrapper for likelihood distance calculation",
    ),
]

T = "((A,B),C);"


class TestRegistration:
    def test_module_metadata(self):
        assert cladorix.__doc__ == "Python module definition"
        # The twelve in registration order, then the functions beyond them.
        assert cladorix.__all__[: len(SIGNATURES)] == [name for name, _, _ in SIGNATURES]
        assert cladorix.__all__[len(SIGNATURES) : len(SIGNATURES) + 2] == [
            "triplets_correct_exact",
            "leaf_names",
        ]

    @pytest.mark.parametrize("name,signature,doc", SIGNATURES, ids=[s[0] for s in SIGNATURES])
    def test_signature_and_doc(self, name, signature, doc):
        fn = getattr(cladorix, name)
        assert fn.__name__ == name
        assert fn.__module__ == "cladorix"
        assert fn.__text_signature__ == signature[len(name) :]
        assert fn.__doc__ == doc
        sig = inspect.signature(fn)
        params = list(sig.parameters.values())
        assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
        if "missing_state" in sig.parameters:
            assert sig.parameters["missing_state"].default is Ellipsis

    def test_second_initialisation_fails_and_keeps_the_first(self):
        proc = run_python(
            """
            import importlib, sys
            import cladorix
            first = cladorix
            del sys.modules["cladorix"]
            try:
                importlib.import_module("cladorix")
            except ImportError as e:
                print("ImportError:", e)
            print(first.robinson_foulds_distance("(A,B);", "(A,B);")["rf_distance"])
            """
        )
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.splitlines() == [
            "ImportError: PyO3 modules compiled for CPython 3.8 or older may only be "
            "initialized once per interpreter process",
            "0",
        ]


class TestBinding:
    @pytest.mark.parametrize(
        "call,message",
        [
            (
                lambda: cladorix.robinson_foulds_distance(T),
                "robinson_foulds_distance() missing 1 required positional argument: 'tree2_newick'",
            ),
            (
                lambda: cladorix.robinson_foulds_distance(),
                "robinson_foulds_distance() missing 2 required positional arguments: 'tree1_newick' and 'tree2_newick'",
            ),
            (
                lambda: cladorix.likelihood_distance(),
                "likelihood_distance() missing 3 required positional arguments: "
                "'reconstructed_tree_newick', 'ground_truth_tree_newick', and 'character_matrix'",
            ),
            (
                lambda: cladorix.phs_optimized(T, character_matrix=[]),
                "phs_optimized() missing 1 required positional argument: 'internal_character_states'",
            ),
            (
                lambda: cladorix.triplets_correct(T, T, 1, 1, None, 6),
                "triplets_correct() takes from 2 to 5 positional arguments but 6 were given",
            ),
            (
                lambda: cladorix.robinson_foulds_distance(T, T, T),
                "robinson_foulds_distance() takes 2 positional arguments but 3 were given",
            ),
            (
                lambda: cladorix.robinson_foulds_distance(T, T, foo=1),
                "robinson_foulds_distance() got an unexpected keyword argument 'foo'",
            ),
            (
                lambda: cladorix.robinson_foulds_distance(T, tree1_newick=T),
                "robinson_foulds_distance() got multiple values for argument 'tree1_newick'",
            ),
            (
                lambda: cladorix.triplets_correct(T, T, seed=1, **{"séed": 2}),
                "triplets_correct() got an unexpected keyword argument 'séed'",
            ),
        ],
    )
    def test_binding_errors(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    def test_too_many_positional_is_checked_before_keywords(self):
        with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
            cladorix.robinson_foulds_distance(T, T, T, bogus=1)

    def test_keywords_are_checked_in_order(self):
        with pytest.raises(TypeError, match="unexpected keyword argument 'a'"):
            cladorix.robinson_foulds_distance(T, tree2_newick=T, a=1, tree1_newick=T)
        with pytest.raises(TypeError, match="multiple values for argument 'tree1_newick'"):
            cladorix.robinson_foulds_distance(T, tree1_newick=T, a=1)

    def test_all_keywords_and_explicit_none(self):
        out = cladorix.robinson_foulds_distance(tree2_newick=T, tree1_newick="((A,C),B);")
        assert out["rf_distance"] == 0


class Idx:
    """An object that converts to an integer only through __index__."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Flt:
    def __float__(self):
        return 0.25


class TestConversion:
    """Every failure here happens during conversion, before any tree is parsed:
    the deliberately unparsable ')' texts prove the order."""

    @pytest.mark.parametrize(
        "call,exc,message",
        [
            # text
            (
                lambda: cladorix.robinson_foulds_distance(5, ")"),
                TypeError,
                "argument 'tree1_newick': 'int' object cannot be converted to 'PyString'",
            ),
            (
                lambda: cladorix.robinson_foulds_distance(T, b"x"),
                TypeError,
                "argument 'tree2_newick': 'bytes' object cannot be converted to 'PyString'",
            ),
            # unsigned 64-bit
            (
                lambda: cladorix.triplets_correct(")", ")", None),
                TypeError,
                "argument 'number_of_trials': 'NoneType' object cannot be interpreted as an integer",
            ),
            (
                lambda: cladorix.triplets_correct(")", ")", 2.0),
                TypeError,
                "argument 'number_of_trials': 'float' object cannot be interpreted as an integer",
            ),
            (
                lambda: cladorix.triplets_correct(")", ")", min_triplets_at_depth="1"),
                TypeError,
                "argument 'min_triplets_at_depth': 'str' object cannot be interpreted as an integer",
            ),
            (
                lambda: cladorix.triplets_correct(")", ")", seed=-1),
                OverflowError,
                "can't convert negative int to unsigned",
            ),
            (
                lambda: cladorix.triplets_correct(")", ")", seed=2**64),
                OverflowError,
                "int too big to convert",
            ),
            (
                lambda: cladorix.triplets_correct_parallel(")", ")", max_threads=-3),
                OverflowError,
                "can't convert negative int to unsigned",
            ),
            # signed 32-bit
            (
                lambda: cladorix.parsimony_score(")", [], missing_state=2**31),
                OverflowError,
                "out of range integral type conversion attempted",
            ),
            (
                lambda: cladorix.parsimony_score(")", [], unedited_state=-(2**31) - 1),
                OverflowError,
                "out of range integral type conversion attempted",
            ),
            (
                lambda: cladorix.parsimony_score(")", [], missing_state=None),
                TypeError,
                "argument 'missing_state': 'NoneType' object cannot be interpreted as an integer",
            ),
            (
                lambda: cladorix.parsimony_score(")", [], unedited_state=1.5),
                TypeError,
                "argument 'unedited_state': 'float' object cannot be interpreted as an integer",
            ),
            # float
            (
                lambda: cladorix.likelihood_score(")", [], mutation_rate="0.1"),
                TypeError,
                "argument 'mutation_rate': must be real number, not str",
            ),
            (
                lambda: cladorix.likelihood_score(")", [], collision_probability=[]),
                TypeError,
                "argument 'collision_probability': must be real number, not list",
            ),
            # sequences
            (
                lambda: cladorix.parsimony_score(")", "abc"),
                TypeError,
                "argument 'character_matrix': Can't extract `str` to `Vec`",
            ),
            (
                lambda: cladorix.parsimony_score(")", 7),
                TypeError,
                "argument 'character_matrix': 'int' object cannot be converted to 'Sequence'",
            ),
            (
                lambda: cladorix.parsimony_score(")", {1: 2}),
                TypeError,
                "argument 'character_matrix': 'dict' object cannot be converted to 'Sequence'",
            ),
            (
                lambda: cladorix.parsimony_score(")", ["01"]),
                TypeError,
                "argument 'character_matrix': Can't extract `str` to `Vec`",
            ),
            (
                lambda: cladorix.parsimony_score(")", [[0], {0}]),
                TypeError,
                "argument 'character_matrix': 'set' object cannot be converted to 'Sequence'",
            ),
            (
                lambda: cladorix.parsimony_score(")", [[0, "1"]]),
                TypeError,
                "argument 'character_matrix': 'str' object cannot be interpreted as an integer",
            ),
            (
                lambda: cladorix.parsimony_score(")", [[0, 2**31]]),
                OverflowError,
                "out of range integral type conversion attempted",
            ),
            (lambda: cladorix.parsimony_score(")", [[0, 2**70]]), OverflowError, None),
            # dicts
            (
                lambda: cladorix.parsimony_score(")", [], []),
                TypeError,
                "argument 'internal_character_states': 'list' object cannot be converted to 'PyDict'",
            ),
            (
                lambda: cladorix.parsimony_score(")", [], {1: [0]}),
                TypeError,
                "argument 'internal_character_states': 'int' object cannot be converted to 'PyString'",
            ),
            (
                lambda: cladorix.parsimony_score(")", [], {"x": "0"}),
                TypeError,
                "argument 'internal_character_states': Can't extract `str` to `Vec`",
            ),
            (
                lambda: cladorix.phs_optimized(")", [], None),
                TypeError,
                "argument 'internal_character_states': 'NoneType' object cannot be converted to 'PyDict'",
            ),
            (
                lambda: cladorix.likelihood_distance(")", ")", [], None, 3),
                TypeError,
                "argument 'internal_states_ground_truth': 'int' object cannot be converted to 'PyDict'",
            ),
            # nested qualified type names
            (
                lambda: cladorix.robinson_foulds_distance(TestConversion.Inner(), T),
                TypeError,
                "argument 'tree1_newick': 'TestConversion.Inner' object cannot be converted to 'PyString'",
            ),
        ],
    )
    def test_conversion_errors(self, call, exc, message):
        with pytest.raises(BaseException) as info:
            call()
        assert type(info.value) is exc
        if message is not None:
            assert str(info.value) == message

    class Inner:
        pass

    def test_first_failure_in_parameter_order_wins(self):
        with pytest.raises(TypeError, match="argument 'tree_newick'"):
            cladorix.parsimony_score(5, "x", missing_state=2**40)
        with pytest.raises(OverflowError):
            cladorix.parsimony_score(")", [[1]], missing_state=2**40, unedited_state="x")

    def test_unicode_encode_error_passes_through_unchanged(self):
        with pytest.raises(UnicodeEncodeError):
            cladorix.robinson_foulds_distance("(A,\ud800);", T)

    def test_type_error_cause_is_kept_and_the_replaced_error_dropped(self):
        class Bad:
            def __index__(self):
                raise TypeError("no index here") from KeyError("root cause")

        with pytest.raises(TypeError) as info:
            cladorix.triplets_correct(T, T, Bad())
        assert str(info.value) == "argument 'number_of_trials': no index here"
        assert isinstance(info.value.__cause__, KeyError)

        class Plain:
            def __index__(self):
                raise TypeError("plain")

        with pytest.raises(TypeError) as info:
            cladorix.triplets_correct(T, T, Plain())
        assert info.value.__cause__ is None
        assert info.value.__context__ is None

    def test_other_exceptions_and_type_error_subclasses_are_not_rewrapped(self):
        class Sub(TypeError):
            pass

        class RaisesSub:
            def __index__(self):
                raise Sub("subclass")

        class RaisesValue:
            def __index__(self):
                raise ValueError("value")

        with pytest.raises(Sub, match="^subclass$"):
            cladorix.triplets_correct(T, T, RaisesSub())
        with pytest.raises(ValueError, match="^value$"):
            cladorix.triplets_correct(T, T, seed=RaisesValue())

    def test_accepted_forms(self):
        # __index__ objects and bools are integers; any float-convertible is a
        # float. The bad tree proves conversion got past them.
        for kwargs in (
            {"number_of_trials": Idx(3)},
            {"number_of_trials": True},
            {"seed": Idx(2**64 - 1)},
            {"seed": None},
            {"min_triplets_at_depth": 0},
        ):
            with pytest.raises(ValueError, match="Failed to parse tree1"):
                cladorix.triplets_correct(")", T, **kwargs)
        for kwargs in (
            {"mutation_rate": 1},
            {"mutation_rate": Flt()},
            {"collision_probability": Idx(1)},
            {"missing_state": -(2**31)},
            {"unedited_state": 2**31 - 1},
            {"missing_state": Idx(-5)},
        ):
            with pytest.raises(ValueError, match="Failed to parse tree"):
                cladorix.likelihood_score(")", [(0, 1), range(3)], **kwargs)


class TestErrors:
    def test_parse_errors_name_the_role_and_stop_at_the_first(self):
        with pytest.raises(ValueError) as info:
            cladorix.robinson_foulds_distance(")", ")")
        assert str(info.value) == (
            "Failed to parse tree1: Custom { kind: InvalidData, error: InvalidCharacter { idx: 0 } }"
        )
        with pytest.raises(ValueError, match=r"^Failed to parse tree2: .*idx: 5 \} \}$"):
            cladorix.robinson_foulds_distance(T, "(A,B))")
        with pytest.raises(ValueError, match=r"^Failed to parse tree: .*idx: 1 \} \}$"):
            cladorix.parsimony_score("A,B;", [])
        with pytest.raises(ValueError, match=r"^Failed to parse reconstructed tree: "):
            cladorix.likelihood_distance(")", ")", [])
        with pytest.raises(ValueError, match=r"^Failed to parse ground truth tree: "):
            cladorix.likelihood_distance(T, ")", [])

    def test_panic_is_a_base_exception_reused_and_reported(self, capsys):
        first = expect_panic(cladorix.robinson_foulds_distance, "(A,B);", "(,);")
        assert not isinstance(first, Exception)
        assert isinstance(first, BaseException)
        assert "internal error" in capsys.readouterr().err
        second = expect_panic(cladorix.robinson_foulds_distance, "A", T)
        assert type(first) is type(second)
        assert len(second.args) == 1 and isinstance(second.args[0], str)

    def test_panic_is_not_caught_by_except_exception(self):
        caught = None
        try:
            try:
                cladorix.robinson_foulds_distance("(A:1", T)
            except Exception:  # noqa: BLE001 - the point of the test
                caught = "Exception"
        except BaseException as e:  # noqa: BLE001
            caught = e
        assert is_panic(caught)

    # ASan reserves terabytes of address space at start and its allocator
    # aborts where the C++ runtime throws std::bad_alloc: no MemoryError there.
    @pytest.mark.skipif(
        asan_loaded(), reason="AddressSanitizer aborts instead of throwing bad_alloc"
    )
    def test_memory_exhaustion_raises_memory_error_and_the_process_goes_on(self):
        # A leaf name repeated in a tree forces the bit-vector path, whose
        # memory grows with nodes x names; under a 1 GiB address-space limit
        # the call cannot allocate it.
        proc = run_python(
            """
            import resource
            resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
            import cladorix
            n = 60000
            text = "(" * (n - 1) + "A" + "".join(f",L{i})" for i in range(1, n)) + ";"
            text = text.replace("L7)", "A)")
            try:
                cladorix.robinson_foulds_distance(text, text)
                print("no error")
            except MemoryError:
                print("MemoryError")
            print(cladorix.robinson_foulds_distance("((A,B),C);", "((A,C),B);")["rf_distance"])
            """
        )
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.split() == ["MemoryError", "0"]
