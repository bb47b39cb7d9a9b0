"""Character matrices given as numpy arrays, lists of 1-D arrays, memoryviews
and pandas frames: every function taking a matrix must answer exactly as it
does for the same data as nested lists (`arr.tolist()`), errors included, and
objects outside the integer-array kinds must behave as they always did."""

import array
import operator
import os
import re
import tempfile
import warnings

import pytest

import cladorix

np = pytest.importorskip("numpy")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.extra import numpy as hnp  # noqa: E402

TREE = "((a,b)x,(c,(d,e)y)z)r;"
OTHER = "((a,c),(b,(e,d)));"
STATES = {"x": [1, 0, 2], "y": [0, 3, 3]}

# Every function that takes a character matrix, called with the matrix only.
CALLS = {
    "parsimony_score": lambda m: cladorix.parsimony_score(TREE, m),
    "parsimony_score_states": lambda m: cladorix.parsimony_score(TREE, m, STATES, -1, 0),
    "parsimony_p_value": lambda m: cladorix.parsimony_p_value(TREE, m, None, 0.2),
    "likelihood_score": lambda m: cladorix.likelihood_score(TREE, m, None, 0.3, 0.1),
    "likelihood_distance": lambda m: cladorix.likelihood_distance(TREE, OTHER, m),
    "phs_optimized": lambda m: cladorix.phs_optimized(TREE, m, STATES, 0.3, 0.1, -1, 0, 1),
}

INT_DTYPES = ["i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8"]
# Both sides of the 32-bit limits, and the ends of the wider types.
BOUNDARIES = [
    -(2**63),
    -(2**32),
    -(2**31) - 1,
    -(2**31),
    2**31 - 1,
    2**31,
    2**32 - 1,
    2**32,
    2**63 - 1,
    2**64 - 1,
]


def describe_exception(e):
    if e is None:
        return None
    return (type(e), str(e), describe_exception(e.__cause__))


def outcome(fn, matrix):
    """A comparable account of one call: the result without its timing (floats
    by bits, so NaN compares), or the exception with its cause."""
    try:
        result = fn(matrix)
    except KeyboardInterrupt:
        raise
    except BaseException as e:  # PanicException too
        return ("raised",) + describe_exception(e)
    items = []
    for key, value in result.items():
        if key == "computation_time_ms":
            continue
        items.append((key, value.hex() if isinstance(value, float) else value))
    return ("returned", items)


def outcomes(matrix):
    return {name: outcome(fn, matrix) for name, fn in CALLS.items()}


class HiddenBuffer:
    """The array as the conversion by iteration sees it: its rows, with no
    buffer of the outer object to read."""

    def __init__(self, arr):
        self.arr = arr

    def __len__(self):
        return len(self.arr)

    def __getitem__(self, i):
        return self.arr[i]

    def __iter__(self):
        return iter(self.arr)


def element_as_integer(x):
    """The element as the conversion by iteration takes it (an integer index),
    or the TypeError it raises: numpy's bool scalar was an index in older
    numpy releases, with a DeprecationWarning, and is not in newer ones."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            return operator.index(x)
        except TypeError as e:
            return e


BOOL_IS_INDEX = not isinstance(element_as_integer(np.True_), TypeError)
NP_BOOL_AS_INDEX = "ignore:In future, it will be an error for 'np.bool' scalars:DeprecationWarning"


def assert_same_as_lists(arr, lists=None):
    want = outcomes(arr.tolist() if lists is None else lists)
    assert outcomes(arr) == want
    return want


# ---- properties ------------------------------------------------------------------


@st.composite
def integer_arrays(draw):
    """2-D integer arrays of every size and byte order, as contiguous arrays
    in either order or as views: strided, reversed, transposed, unaligned."""
    code = draw(st.sampled_from(INT_DTYPES))
    dtype = np.dtype(code).newbyteorder(draw(st.sampled_from("=<>")))
    info = np.iinfo(dtype)
    rows, cols = draw(st.integers(0, 7)), draw(st.integers(0, 5))
    row_step, col_step = draw(st.sampled_from([1, 2, -1, -3])), draw(st.sampled_from([1, 2, -2]))
    transpose = draw(st.booleans())
    shape = (rows * abs(row_step), cols * abs(col_step))
    if transpose:
        shape = shape[::-1]
    # States as the data has them, and now and then any value of the type
    # (out of the 32-bit range for the wider types).
    small = st.integers(max(info.min, -2), min(info.max, 6))
    limits = [int(info.min), int(info.max)] + [v for v in BOUNDARIES if info.min <= v <= info.max]
    elements = st.one_of(
        small, small, small, st.sampled_from(limits), st.integers(info.min, info.max)
    )
    base = draw(hnp.arrays(dtype, shape, elements=elements))
    layout = draw(st.sampled_from(["C", "F", "packed"]))
    if layout == "F":
        base = np.asfortranarray(base)
    elif layout == "packed":  # a field of a packed record: unaligned, strided
        record = np.zeros(shape, dtype=[("pad", "u1"), ("value", dtype)])
        record["value"] = base
        base = record["value"]
    if transpose:
        base = base.T
    view = base[::row_step, ::col_step]
    assert view.shape == (rows, cols)
    return view


@settings(max_examples=300, deadline=None)
@given(integer_arrays())
def test_arrays_answer_as_their_lists(arr):
    want = assert_same_as_lists(arr)
    # Rows given as 1-D arrays, in a list or a tuple, answer the same.
    assert outcomes(list(arr)) == want
    assert outcomes(tuple(arr)) == want
    # And so does the conversion by iteration of the same array.
    assert outcomes(HiddenBuffer(arr)) == want


@settings(max_examples=100, deadline=None)
@given(integer_arrays(), st.data())
def test_rows_of_mixed_kinds_answer_as_lists(arr, data):
    """A list whose rows are arrays, lists, tuples, array.array objects."""
    kinds = [lambda r: r, lambda r: r.tolist(), lambda r: tuple(r.tolist()), memoryview]
    rows = []
    for row in arr:
        converted = kinds[data.draw(st.sampled_from(range(len(kinds))))](row)
        if isinstance(converted, memoryview) and converted.format[0] in "=<>!":
            converted = row  # a memoryview cannot list these formats itself
        rows.append(converted)
    assert outcomes(rows) == outcomes(arr.tolist())


@pytest.mark.parametrize("dtype", INT_DTYPES + [">i8", ">u4", ">u8"])
def test_each_limit_alone(dtype):
    info = np.iinfo(dtype)
    for value in BOUNDARIES:
        if info.min <= value <= info.max:
            arr = np.zeros((2, 3), dtype=dtype)
            arr[1, 2] = value
            assert_same_as_lists(arr)
            assert_same_as_lists(np.asfortranarray(arr))


def test_out_of_range_errors_name_the_first_element_in_row_order():
    # Two different errors: which one surfaces tells which element failed first.
    big = np.zeros((3, 4), dtype=np.uint64)
    big[2, 0] = 2**63  # OverflowError from the 64-bit conversion
    big[1, 3] = 2**31  # out of the 32-bit range: first in row order, last in memory for F order
    for arr in (big, np.asfortranarray(big), big[::-1][::-1], big.T.copy().T):
        for fn in CALLS.values():
            with pytest.raises(
                OverflowError, match="^out of range integral type conversion attempted$"
            ):
                fn(arr)
    big[1, 3] = 0
    for fn in CALLS.values():
        with pytest.raises(OverflowError) as from_array:
            fn(np.asfortranarray(big))
        with pytest.raises(OverflowError) as from_list:
            fn(big.tolist())
        assert (
            str(from_array.value)
            == str(from_list.value)
            != "out of range integral type conversion attempted"
        )


# ---- kinds that keep the conversion by iteration -------------------------------------


def numpy_matrix(rows):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.matrix(rows)


@pytest.mark.parametrize(
    "arr,converts",
    [
        (np.array([[1.0, 0.0], [1.0, 2.0]]), False),
        (np.array([[True, False], [True, True]]), BOOL_IS_INDEX),
        (np.array([[1 + 0j, 0j]]), False),
        (np.array([[1, 0], [2, 0]], dtype=object), True),
        (np.array([[1, None]], dtype=object), False),
        (np.zeros((2, 2), dtype=[("a", "i4"), ("b", "i4")]), False),
        (np.zeros((2, 2), dtype="datetime64[s]"), False),
        (np.array([["1", "0"]]), False),
        (np.zeros((2, 2, 2), dtype=np.int32), False),
        (np.zeros((2, 1, 3), dtype=np.int64), False),
        (np.zeros(3, dtype=np.int32), False),
        (numpy_matrix([[1, 0], [0, 2]]), False),
        (np.ma.masked_array([[1, 0], [0, 2]], mask=[[0, 1], [0, 0]]), False),
        (np.ma.masked_array([[1, 0], [0, 2]]), True),
    ],
    ids=lambda a: f"{type(a).__name__}-{a.dtype}-{a.ndim}d" if hasattr(a, "dtype") else str(a),
)
@pytest.mark.filterwarnings(NP_BOOL_AS_INDEX)
def test_other_arrays_are_converted_by_iteration(arr, converts):
    """Float, bool, complex, object, structured and other arrays, arrays that
    are not 2-D, and array subclasses whose items are not their buffer's
    (a masked array yields `masked`, a matrix yields 2-D rows)."""
    want = outcomes(HiddenBuffer(arr))
    assert outcomes(arr) == want
    assert all((o[0] == "returned") == converts for o in want.values()), want


@pytest.mark.filterwarnings(NP_BOOL_AS_INDEX)
def test_bool_and_float_arrays_keep_their_errors():
    with pytest.raises(TypeError, match=r"^argument 'character_matrix': 'numpy\.float64' object"):
        cladorix.parsimony_score(TREE, np.ones((2, 2)))
    # Bool arrays answer as their elements do, taken one by one.
    bools = np.ones((2, 2), dtype=bool)
    element = element_as_integer(bools[0, 0])
    if isinstance(element, TypeError):
        with pytest.raises(
            TypeError, match=f"^argument 'character_matrix': {re.escape(str(element))}$"
        ):
            cladorix.parsimony_score(TREE, bools)
    else:
        want = outcomes([[element_as_integer(x) for x in row] for row in bools])
        assert outcomes(bools) == want
    with pytest.raises(TypeError, match=r"^argument 'character_matrix': 'numpy\.float64' object"):
        cladorix.parsimony_score(TREE, [np.ones(2)])
    with pytest.raises(
        TypeError,
        match=r"^argument 'character_matrix': 'int32' object cannot be converted to 'Sequence'$",
    ):
        cladorix.parsimony_score(TREE, np.zeros(3, dtype=np.int32))


@pytest.mark.parametrize("shape", [(0, 3), (0, 0), (4, 0), (1, 5), (1, 1), (1, 0)])
@pytest.mark.parametrize("dtype", ["i4", "u8", ">i2"])
def test_empty_and_single_row_arrays(shape, dtype):
    arr = np.zeros(shape, dtype=dtype)
    arr.reshape(-1)[:] = np.arange(arr.size) % 3
    want = assert_same_as_lists(arr)
    assert outcomes(HiddenBuffer(arr)) == want
    assert outcomes(list(arr)) == want


def test_other_buffer_exporters():
    ints = np.array([[1, 0, 2], [1, 3, 0], [0, 0, 2], [-1, 3, 0], [0, 2, 2]], dtype=np.int32)
    want = outcomes(ints.tolist())
    # A 2-D memoryview reads as its tolist() (iterating one is not implemented).
    assert outcomes(memoryview(ints)) == want
    assert outcomes(memoryview(np.asfortranarray(ints))) == want
    # array.array and memoryview rows.
    assert outcomes([array.array("i", r) for r in ints.tolist()]) == want
    assert outcomes([array.array("q", r) for r in ints.tolist()]) == want
    assert outcomes(tuple(memoryview(r) for r in ints)) == want
    # Read-only arrays and memory maps.
    frozen = ints.copy()
    frozen.setflags(write=False)
    assert outcomes(frozen) == want
    with tempfile.TemporaryDirectory() as d:
        mm = np.memmap(os.path.join(d, "m.dat"), dtype=np.int16, mode="w+", shape=ints.shape)
        mm[:] = ints
        assert outcomes(mm) == want
        assert outcomes(list(mm)) == want
        del mm
    # bytes rows were sequences of ints before and still are.
    assert outcomes([bytes(r) for r in np.abs(ints).tolist()]) == outcomes(np.abs(ints).tolist())


def test_every_buffer_is_released():
    """A memoryview with a buffer still exported refuses release(): every
    read, finished or failed, must have given its buffer back."""
    ints = np.zeros((3, 2), dtype=np.int64)
    ints[2, 1] = 2**40
    cases = [
        (memoryview(ints[:2]), None),
        (memoryview(ints), OverflowError),
        ([memoryview(ints[0]), memoryview(ints[2])], OverflowError),
        (memoryview(np.zeros((2, 2))), NotImplementedError),  # acquired, then refused
        ([memoryview(np.zeros((2, 2)))], NotImplementedError),
    ]
    for matrix, error in cases:
        for fn in CALLS.values():
            if error is None:
                fn(matrix)
            else:
                with pytest.raises(error):
                    fn(matrix)
        for view in matrix if isinstance(matrix, list) else [matrix]:
            view.release()


def test_a_released_memoryview_fails_as_before():
    # As iterating it fails, which differs between Python versions.
    view = memoryview(np.zeros((2, 2), dtype=np.int32))
    view.release()
    with pytest.raises(Exception) as iterating:
        list(view)
    with pytest.raises(type(iterating.value)) as info:
        cladorix.parsimony_score(TREE, view)
    assert str(info.value) == str(iterating.value)


def test_other_arguments_convert_as_before():
    arr = np.array([[1, 0], [1, 2], [0, 0]], dtype=np.int32)
    with_arrays = outcome(lambda m: cladorix.parsimony_score(TREE, m, {"x": np.array([1, 0])}), arr)
    with_lists = outcome(lambda m: cladorix.parsimony_score(TREE, m, {"x": [1, 0]}), arr.tolist())
    assert with_arrays == with_lists
    with pytest.raises(TypeError, match="^argument 'missing_state': "):
        cladorix.parsimony_score(TREE, arr, None, np.array([1, 2]))


# ---- pandas frames -------------------------------------------------------------------


@pytest.fixture
def pd():
    return pytest.importorskip("pandas")


def test_frames_of_integer_columns_read_as_their_rows(pd):
    values = np.array([[1, 0, 2], [1, 3, 0], [0, 0, 2], [-1, 3, 0], [0, 2, 2]])
    for frame in (
        pd.DataFrame(values),
        pd.DataFrame(values, columns=["s1", "s2", "s3"], index=list("abcde")),
        pd.DataFrame(
            {
                "s1": values[:, 0].astype(np.int8),
                "s2": values[:, 1],
                "s3": values[:, 2].astype(np.uint16),
            }
        ),
    ):
        assert outcomes(frame) == outcomes(frame.to_numpy().tolist())
    out_of_range = pd.DataFrame({"a": [0, 1], "b": [2**40, 0]})
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        cladorix.parsimony_score(TREE, out_of_range)


FRAMES = {
    "float": lambda pd: pd.DataFrame([[1.0, 0.0], [0.5, 1.0]]),
    "whole floats": lambda pd: pd.DataFrame([[1.0, 0.0], [2.0, 1.0]], columns=["p", "q"]),
    "bool": lambda pd: pd.DataFrame([[True, False], [False, False]]),
    "object ints": lambda pd: pd.DataFrame([[1, 0], [2, 0]], dtype=object),
    "object str": lambda pd: pd.DataFrame([["1", "0"]]),
    "Int64": lambda pd: pd.DataFrame([[1, 0], [1, 0], [0, 1]], dtype="Int64"),
    "UInt8 and Int16": lambda pd: pd.DataFrame(
        {"a": pd.array([1, 0, 2], dtype="UInt8"), "b": pd.array([0, -1, 3], dtype="Int16")}
    ),
    "labels that look like rows": lambda pd: pd.DataFrame(
        [[1, 0], [1, 0], [0, 1], [0, 1]], columns=pd.MultiIndex.from_tuples([(0, 1), (1, 0)])
    ),
    "zeros under tuple labels": lambda pd: pd.DataFrame(
        np.zeros((5, 2), dtype=int), columns=pd.MultiIndex.from_tuples([(1, 0), (0, 2)])
    ),
    "no columns": lambda pd: pd.DataFrame(index=range(5)),
}


@pytest.mark.parametrize("make", FRAMES.values(), ids=FRAMES.keys())
def test_frames_are_read_by_their_values_never_their_labels(pd, make):
    """Whatever the dtype, a frame gives what its values as lists give,
    results and errors alike; its labels never become rows."""
    frame = make(pd)
    assert outcomes(frame) == outcomes(frame.to_numpy().tolist())


def test_a_missing_value_in_a_nullable_frame_names_its_place(pd):
    frame = pd.DataFrame([[1, 0], [1, None], [0, 1]], dtype="Int64")
    with pytest.raises(
        TypeError,
        match=r"^argument 'character_matrix': missing value <NA> at row 1, column 1: ",
    ):
        cladorix.parsimony_score(TREE, frame)


def test_a_series_is_iterated_as_any_sequence(pd):
    with pytest.raises(
        TypeError,
        match="^argument 'character_matrix': 'int' object cannot be converted to 'Sequence'$",
    ):
        cladorix.parsimony_score(TREE, pd.Series([1, 2, 3]))


def test_array_method_failures_leave_the_original_error():
    class Broken:
        def __array__(self, *args, **kwargs):
            raise RuntimeError("no array here")

        def __iter__(self):
            return iter([1, 2])

        def __len__(self):
            return 2

        def __getitem__(self, i):
            return [1, 2][i]

    class Flat(Broken):
        def __array__(self, *args, **kwargs):
            return np.array([1, 2])

    class Interrupted(Broken):
        def __array__(self, *args, **kwargs):
            raise KeyboardInterrupt

    for obj in (Broken(), Flat()):
        with pytest.raises(TypeError) as info:
            cladorix.parsimony_score(TREE, obj)
        assert (
            str(info.value)
            == "argument 'character_matrix': 'int' object cannot be converted to 'Sequence'"
        )
        assert info.value.__cause__ is None
    with pytest.raises(KeyboardInterrupt):
        cladorix.parsimony_score(TREE, Interrupted())


def test_frames_align_by_leaf_names(pd):
    cells = ["c3", "c1", "c4", "c0", "c2"]
    tree = "((c0,c1)p,(c2,(c3,c4)q)r);"
    rng = np.random.default_rng(4)
    frame = pd.DataFrame(rng.integers(-1, 4, size=(5, 6)), index=cells)
    aligned = frame.loc[cladorix.leaf_names(tree)]
    rows = [frame.loc[name].tolist() for name in ["c0", "c1", "c2", "c3", "c4"]]
    for fn in (
        lambda m: cladorix.parsimony_score(tree, m),
        lambda m: cladorix.likelihood_score(tree, m, None, 0.2, 0.1),
    ):
        assert outcome(fn, aligned) == outcome(fn, rows)


def test_conversion_of_a_huge_array_can_be_interrupted():
    """A signal that arrives while a large array is read stops the read: the
    handler's exception ends the call long before the read would have ended."""
    import signal
    import time

    class Stop(Exception):
        pass

    state = {"calling": False, "in_call": None}

    def handler(signum, frame):
        state["in_call"] = state["calling"]
        raise Stop

    arr = np.ones((2000, 5000), dtype=np.int64)
    t0 = time.perf_counter()
    cladorix.parsimony_score("A;", arr)
    uninterrupted = time.perf_counter() - t0
    previous = signal.signal(signal.SIGALRM, handler)
    interrupted = []
    try:
        for _ in range(5):  # a heavily loaded machine may deliver late
            state["calling"], state["in_call"] = False, None
            try:
                signal.setitimer(signal.ITIMER_REAL, uninterrupted / 20)
                state["calling"] = True
                t0 = time.perf_counter()
                cladorix.parsimony_score("A;", arr)
                state["calling"] = False
                time.sleep(uninterrupted)  # a late signal lands here
            except Stop:
                interrupted.append((state["in_call"], time.perf_counter() - t0))
                if state["in_call"] and interrupted[-1][1] < uninterrupted / 2:
                    break
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert any(in_call and took < uninterrupted / 2 for in_call, took in interrupted), (
        uninterrupted,
        interrupted,
    )
