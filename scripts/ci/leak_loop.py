#!/usr/bin/env python3
"""Leak loop over the installed cladorix module.

Calls every function of cladorix.__all__ on valid input and on each error
path (binding and conversion TypeErrors, OverflowErrors, parse ValueErrors,
internal PanicExceptions, failures midway through a matrix and a states dict)
20,000 times per case, after a warm-up. A case fails when resident memory
grows by 1 MiB or more, or when the number of objects the garbage collector
tracks grows. Two finer figures are held too: the bytes malloc has handed out
(a 16-byte C++ leak per call adds 640 KB, under the resident-memory limit)
and the blocks held by Python's allocator (a leaked int adds a block per
call and no tracked object).

Every function of __all__ needs cases here: one without fails the run. Run it from anywhere
but the source tree's tests folder:

    python3 scripts/ci/leak_loop.py [--calls N] [--warmup N] [--only NAME ...]
"""

import argparse
import ctypes
import gc
import gzip
import inspect
import itertools
import os
import sys
import tempfile
import time

# Two workers whatever the machine, so the pooled cases below really hand
# pieces to the pool (set before the pool is created by the first call).
os.environ.setdefault("RAYON_NUM_THREADS", "2")

import cladorix  # noqa: E402

RSS_LIMIT = 1 << 20  # bytes
HEAP_LIMIT = 64 << 10  # bytes in use by malloc; a per-call leak gives >= 320 KB
BLOCK_LIMIT = 200  # Python allocator blocks; a per-call leak gives >= 20,000


# ---- figures --------------------------------------------------------------------

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = _MallInfo2
except (OSError, AttributeError):  # not glibc >= 2.33
    _mallinfo2 = None


def heap():
    """Bytes malloc has handed out and not had back, over all arenas."""
    if _mallinfo2 is None:
        return 0
    m = _mallinfo2()
    return m.uordblks + m.hblkhd


def snapshot():
    gc.collect()
    return rss(), len(gc.get_objects()), heap(), sys.getallocatedblocks()


# ---- inputs -----------------------------------------------------------------------


def caterpillar(n):
    return "(" * (n - 1) + "L0" + "".join(f",L{i})" for i in range(1, n)) + ";"


def balanced(names):
    """A balanced binary tree over `names`, built without recursion."""
    level = list(names)
    while len(level) > 1:
        level = [
            f"({level[i]},{level[i + 1]})" if i + 1 < len(level) else level[i]
            for i in range(0, len(level), 2)
        ]
    return level[0] + ";"


def shuffled(names, seed):
    out = list(names)
    state = seed
    for i in range(len(out) - 1, 0, -1):  # a fixed shuffle, no dependence on random's version
        state = (state * 6364136223846793005 + 1442695040888963407) % (1 << 64)
        j = state % (i + 1)
        out[i], out[j] = out[j], out[i]
    return out


T4A, T4B = "((A,B),(C,D));", "((A,C),(B,D));"
T8A = "(((A,B),(C,D)),((E,F),(G,H)));"
T8B = "(((A,C),(B,D)),((E,G),H),F);"
NAMES50 = [f"L{i}" for i in range(50)]
T50A, T50B = balanced(NAMES50), balanced(shuffled(NAMES50, 7))
T100A = balanced([f"L{i}" for i in range(100)])
NAMES200 = [f"t{i}" for i in range(200)]
T200 = balanced(NAMES200)
ROWS200 = [[(i * 7 + j * 3) % 4 for j in range(5)] for i in range(200)]
CHAR_TREE = "(((A,B)y,C)x,D)r;"
CHAR_ROWS = [[1, 0, 2], [1, -1, 2], [0, 3, 2], [0, 3, 0]]
CHAR_STATES = {"y": [1, 0, 2], "x": [0, 0, 2], "r": [0, 0, 0]}
PHS_ROWS = [[1], [1], [0], [0]]
PHS_STATES = {"y": [0], "x": [0], "r": [0]}


class Rows:
    """A sequence whose length claims 2**62 items while it holds a few: the
    binder may take the length only as a hint."""

    def __init__(self, rows):
        self.rows = rows

    def __len__(self):
        return 1 << 62

    def __getitem__(self, i):
        return self.rows[i]  # IndexError past the end ends the iteration


class FailingRows:
    """A sequence whose iteration fails after its first row."""

    def __init__(self, rows):
        self.rows = rows

    def __len__(self):
        return len(self.rows)

    def __getitem__(self, i):
        if i >= 1:
            raise RuntimeError("row unavailable")
        return self.rows[i]


class IndexFails:
    """An integer-like object whose __index__ fails with a TypeError that has a
    cause: the binder rewraps the TypeError and keeps only the cause."""

    def __index__(self):
        raise TypeError("no index") from KeyError("cause")


class FloatFails:
    def __float__(self):
        raise TypeError("no float") from KeyError("cause")


# Tree files, written once for the run.
FILES = tempfile.TemporaryDirectory(prefix="cladorix-leak-")
NEWICK_TEXT = "[&R] (('a b':1,c[&&NHX:S=x]:0)0.9:0,'O''Neil');\n(d,(e,f)0.1);\n"
NEXUS_TEXT = (
    "#NEXUS\nbegin taxa; taxlabels a b c; end;\nbegin trees;\n translate 1 'a b', 2 c, 3 d;\n"
    " tree one = [&R] ((1:1,2:0)0.2:0,3);\n tree two = (1,(2,3)0.9);\nend;\n"
)


def tree_file(name, text, opener=open):
    path = os.path.join(FILES.name, name)
    with opener(path, "wt", encoding="utf-8") as f:
        f.write(text)
    return path


NWK = tree_file("trees.nwk", NEWICK_TEXT)
NEX = tree_file("trees.nex", NEXUS_TEXT)
GZ = tree_file("trees.nwk.gz", NEWICK_TEXT, gzip.open)
ONE = tree_file("one.nwk", "('a b',(c,d)0.5);")
BAD = tree_file("bad.nwk", "(a,b);\n(c,'d")
MISSING = os.path.join(FILES.name, "missing.nwk")


class Replayed:
    """A text file object that starts over once it has been read to its end."""

    def __init__(self, text):
        self.text, self.done = text, False

    def read(self, n):
        self.done = not self.done
        return self.text if self.done else ""


# Functions whose result is an iterator: each call is read to its end.
ITERATORS = {"iter_trees"}


def chunks_at_least(n):
    def check(result):
        assert result["parallel_chunks_used"] >= n, result

    return check


def method_is(name):
    def check(result):
        assert result["method_used"] == name, result

    return check


# Valid calls: function -> [(label, args, kwargs, check of the result or None)].
VALID = {
    "triplets_correct": [
        ("seeded", (T8A, T8B), {"number_of_trials": 50, "seed": 1}, None),
        ("unseeded", (T8A, T8B), {"number_of_trials": 20}, None),
    ],
    "triplets_correct_fast": [
        ("seeded", (T8A, T8B), {"number_of_trials": 50, "seed": 1}, None),
        ("unseeded", (T8A, T8B), {"number_of_trials": 20}, None),
    ],
    "triplets_correct_ultra": [
        ("exhaustive", (T8A, T8B), {}, method_is("exhaustive")),
        (
            "sampling",
            (caterpillar(86), caterpillar(86)),
            {"number_of_trials": 50, "seed": 2},
            method_is("sampling"),
        ),
    ],
    "triplets_correct_parallel": [
        (
            "sampling",
            (T100A, T100A),
            {"number_of_trials": 100, "seed": 3},
            method_is("parallel_sampling"),
        ),
        ("pooled exhaustive", (T50A, T50B), {"seed": 3}, chunks_at_least(2)),
    ],
    "triplets_correct_optimized": [
        (
            "sampling",
            (T100A, T100A),
            {"number_of_trials": 100, "seed": 3, "max_threads": 1},
            method_is("optimized_sampling"),
        ),
        ("pooled exhaustive", (T50A, T50B), {"seed": 3}, chunks_at_least(2)),
    ],
    "phs_optimized": [
        ("sequential", (CHAR_TREE, PHS_ROWS, PHS_STATES), {}, method_is("optimized_sequential")),
        (
            "pooled",
            (T200, ROWS200, {}),
            {"mutation_rate": 0.1, "collision_probability": 0.1},
            chunks_at_least(2),
        ),
        ("length hint", (CHAR_TREE, Rows(PHS_ROWS), PHS_STATES), {}, None),
    ],
    "robinson_foulds_distance": [
        ("distinct names", (T8A, T8B), {}, None),
        ("repeated name", ("((A,B),(A,C));", "((A,C),(B,A));"), {}, None),
    ],
    "robinson_foulds_distance_normalized": [
        ("distinct names", (T8A, T8B), {}, None),
        ("repeated name", ("((A,B),(A,C));", "((A,C),(B,A));"), {}, None),
    ],
    "parsimony_score": [
        ("inferred", (CHAR_TREE, CHAR_ROWS), {}, method_is("small_mp_inferred")),
        ("provided states", (CHAR_TREE, CHAR_ROWS, CHAR_STATES), {}, method_is("provided_states")),
        ("length hint", (CHAR_TREE, Rows(CHAR_ROWS)), {}, None),
    ],
    "parsimony_p_value": [
        ("inferred", (CHAR_TREE, CHAR_ROWS), {}, None),
        ("provided states and rate", (CHAR_TREE, CHAR_ROWS, CHAR_STATES, 0.2), {}, None),
    ],
    "likelihood_score": [
        ("defaults", (CHAR_TREE, CHAR_ROWS), {}, None),
        ("states and rates", (CHAR_TREE, CHAR_ROWS, CHAR_STATES, 0.1, 0.2), {}, None),
        ("empty matrix", (CHAR_TREE, []), {}, method_is("empty_data")),
    ],
    "likelihood_distance": [
        (
            "states and rates",
            (CHAR_TREE, "(((A,C)y,B)x,D)r;", CHAR_ROWS, CHAR_STATES, CHAR_STATES, 0.1, 0.2),
            {},
            None,
        ),
        ("defaults", (CHAR_TREE, T4A, CHAR_ROWS), {}, None),
    ],
    "triplets_correct_exact": [
        ("reordered leaves", (T50A, T50B), {}, None),
    ],
    "leaf_names": [
        ("named and unnamed", ("((A,B),(,C));",), {}, None),
    ],
    "compare_to_reference": [
        ("rf and triplets by depth", (T8A, [T8B, T8A]), {"by_depth": True}, None),
        (
            "characters by name, errors coerced",
            (CHAR_TREE, [CHAR_TREE, "(A,B"], ("parsimony", "likelihood")),
            {"character_matrix": CHAR_ROWS, "cell_names": list("ABCD"), "errors": "coerce"},
            None,
        ),
        ("common leaves", ("((A,B),(C,D));", ["((A,B),C);"]), {"common_leaves": True}, None),
    ],
    "compare_all_pairs": [
        ("rf and triplets", ([T8A, T8B, T8A],), {"measures": ("rf", "triplets_exact")}, None),
        ("errors coerced", ([T8A, "(A,B"],), {"errors": "coerce"}, None),
    ],
    "cut_events": [
        ("by position", (CHAR_TREE, CHAR_ROWS), {}, None),
        ("by name", (CHAR_TREE, CHAR_ROWS), {"cell_names": ["D", "C", "B", "A"]}, None),
    ],
    "read_trees": [
        ("newick", (NWK,), {}, None),
        (
            "nexus, names and rules",
            (NEX,),
            {
                "with_names": True,
                "internal_labels": "drop",
                "collapse": {"length": 0, "support": 0.5},
            },
            None,
        ),
        ("gzip", (GZ,), {}, None),
        ("file object", (Replayed(NEWICK_TEXT),), {}, None),
    ],
    "iter_trees": [
        ("newick", (NWK,), {}, None),
        ("nexus with names", (NEX,), {"with_names": True}, None),
    ],
    "read_tree": [
        ("newick", (ONE,), {}, None),
        ("with names and rules", (ONE,), {"with_names": True, "collapse": {"support": 0.7}}, None),
    ],
}

# Internal failures of the measures themselves (the reader's own are generated
# below for every text parameter): function -> [(label, args, kwargs)].
PANICS = {
    "triplets_correct": [
        ("unclosed parenthesis", ("((a,b),(c,d));", "((a,b),(c,d);", 1), {"seed": 1})
    ],
    "triplets_correct_fast": [("unclosed parenthesis", ("((a,b),(c,d));", "((a,b),(c,d);", 1), {})],
    "triplets_correct_ultra": [("unequal taxa", ("((a,b),c);", T4A), {})],
    "triplets_correct_parallel": [
        ("unequal taxa", ("((a,b),c);", T4A), {}),
        ("no chunks", (T100A, T100A, 10000), {"max_threads": 0}),
    ],
    "triplets_correct_optimized": [
        ("unequal taxa", ("((a,b),c);", T4A), {}),
        ("no chunks", (T100A, T100A, 10000), {"max_threads": 0}),
    ],
    "phs_optimized": [
        ("no named leaf", ("(,);", [], {}), {}),
        ("NaN rate", (CHAR_TREE, PHS_ROWS, PHS_STATES, float("nan")), {}),
    ],
    "robinson_foulds_distance": [("unnamed leaf", ("(A,B);", "(,);"), {})],
    "robinson_foulds_distance_normalized": [("unnamed leaf", ("((A,),B);", "((A,C),B);"), {})],
}

# A function's own refusals of its input: function -> [(label, args, kwargs)].
VALUE_ERRORS = {
    "triplets_correct_exact": [("different names", ("((A,B),C);", "((A,B),D);"), {})],
    "compare_to_reference": [
        ("a failing tree raised", ("((A,B),C);", ["((A,B),D);"]), {}),
        ("unknown measure", ("((A,B),C);", []), {"measures": "nope"}),
        (
            "an unlabelled reference for parsimony",
            ("((A,B),C);", [], "parsimony"),
            {
                "character_matrix": [[0]] * 3,
                "cell_names": list("ABC"),
            },
        ),
    ],
    "compare_all_pairs": [("a failing pair raised", (["((A,B),C);", "((A,B),D);"],), {})],
    "cut_events": [
        ("a row short", (CHAR_TREE, CHAR_ROWS[:3]), {}),
        ("rows of unequal length", (CHAR_TREE, CHAR_ROWS[:3] + [[0]]), {}),
        ("a leaf without a row", (CHAR_TREE, CHAR_ROWS), {"cell_names": ["A", "B", "C", "E"]}),
        ("a repeated cell", (CHAR_TREE, CHAR_ROWS), {"cell_names": ["A", "B", "C", "A"]}),
    ],
}

TEXT = {
    "tree1_newick",
    "tree2_newick",
    "tree_newick",
    "reconstructed_tree_newick",
    "ground_truth_tree_newick",
    "reference",
}
U64 = {"number_of_trials", "min_triplets_at_depth"}
OPT_U64 = {"seed", "max_threads"}
OPT_F64 = {"mutation_rate", "collision_probability"}
I32 = {"missing_state", "unedited_state"}
MATRIX = {"character_matrix"}
SOURCE = {"source"}
CHOICES = {"format", "internal_labels"}
FLAGS = {"with_names"}
COLLAPSE = {"collapse"}
STATES = {
    "internal_character_states",
    "internal_states_reconstructed",
    "internal_states_ground_truth",
}


# The batch functions' own parameters: (label, bad value, exception type).
BATCH = {
    "trees": [("not iterable", 5, TypeError), ("an item not a str", ["((A,B),C);", 5], TypeError)],
    "measures": [("unknown", "nope", ValueError), ("an item not a str", [1], TypeError)],
    "labels": [("a str", "ab", ValueError), ("too few", [], ValueError)],
    "errors": [("unknown", "ignore", ValueError)],
    "progress": [
        ("not callable", 5, TypeError),
        ("callback fails", lambda *a: 1 / 0, ZeroDivisionError),
    ],
    "executor": [("no submit", 5, TypeError)],
    "cell_names": [("a str", "ABC", TypeError), ("an item not a str", [1], TypeError)],
    "common_leaves": [("an int", 1, TypeError)],
    "by_depth": [("an int", 1, TypeError)],
}


def bad_values(function, param, value, required):
    """(label, bad value, exception type) for one parameter of `function`, by
    its kind; value is the parameter's value in a valid call."""
    if param in TEXT:
        # An internal failure of the twelve; a parse error of the others.
        run_off = PANIC if function in cladorix.__all__[:12] else ValueError
        return [
            ("not a str", 5, TypeError),
            ("lone surrogate", "(A,\ud800);", UnicodeEncodeError),
            ("parse error", ")", ValueError),
            ("name runs off the end", "(A,B)C", run_off),
        ]
    if param in U64:
        return [
            ("float", 2.0, TypeError),
            ("negative", -1, OverflowError),
            ("2**64", 1 << 64, OverflowError),
            ("__index__ fails", IndexFails(), TypeError),
        ]
    if param in OPT_U64:
        return [("str", "x", TypeError), ("negative", -1, OverflowError)]
    if param in OPT_F64:
        return [("str", "x", TypeError), ("__float__ fails", FloatFails(), TypeError)]
    if param in I32:
        return [
            ("2**31", 1 << 31, OverflowError),
            ("2**70", 1 << 70, OverflowError),
            ("float", 1.5, TypeError),
        ]
    if param in MATRIX:
        rows = [
            list(r) for r in (value if isinstance(value, list) and len(value) >= 2 else CHAR_ROWS)
        ]
        last = rows[-1]
        return [
            ("str", "0101", TypeError),
            ("not a sequence", 5, TypeError),
            ("bad state in the last row", rows[:-1] + [last[:-1] + ["x"]], TypeError),
            (
                "state out of range in the last row",
                rows[:-1] + [last[:-1] + [1 << 31]],
                OverflowError,
            ),
            ("last row not a sequence", rows[:-1] + [7], TypeError),
            ("last row a str", rows[:-1] + ["01"], TypeError),
            ("iteration fails after a row", FailingRows(rows), RuntimeError),
        ]
    if param in BATCH:
        return BATCH[param]
    if param in SOURCE:
        return [
            ("not a path or file", 5, TypeError),
            ("missing file", MISSING, FileNotFoundError),
            ("unclosed quote", BAD, ValueError),
        ]
    if param in CHOICES:
        return [("not a choice", "x", ValueError), ("not a str", 5, TypeError)]
    if param in FLAGS:
        return [("not a bool", 1, TypeError)]
    if param in COLLAPSE:
        return [
            ("not a dict", [0.0], TypeError),
            ("unknown key", {"x": 0}, ValueError),
            ("not a number", {"length": "0"}, TypeError),
        ]
    if param in STATES:
        base = dict(value) if isinstance(value, dict) and value else {"q": [0]}
        none = [("None", None, TypeError)] if required else []
        return none + [
            ("not a dict", 5, TypeError),
            ("a list", [], TypeError),
            ("key not a str", {**base, 5: [0]}, TypeError),
            ("bad state in the last entry", {**base, "zz": [0, "x"]}, TypeError),
            ("state out of range in the last entry", {**base, "zz": [1 << 31]}, OverflowError),
            ("last entry a str", {**base, "zz": "01"}, TypeError),
        ]
    return None


# ---- cases ------------------------------------------------------------------------

PANIC = None  # the internal-error exception type, found at start


def find_panic_type():
    try:
        cladorix.robinson_foulds_distance("(A,B)C", "(A,B);")
    except BaseException as e:  # noqa: BLE001 - the type is what we want
        return type(e)
    raise SystemExit("no internal error for a name running off the end of the text")


class Case:
    def __init__(self, function, label, args, kwargs, exc=None, check=None):
        self.function, self.label = function, label
        self.args, self.kwargs, self.exc, self.check = args, kwargs, exc, check


def cases_for(name, fn):
    """Every case of one function, or None when there is no valid call for it."""
    if name not in VALID:
        return None
    params = list(inspect.signature(fn).parameters)
    out = []
    for label, args, kwargs, check in VALID[name]:
        out.append(Case(name, "valid: " + label, args, kwargs, None, check))
    label, args, kwargs, _ = VALID[name][0]
    bound = dict(zip(params, args), **kwargs)
    required = [
        p
        for p, v in inspect.signature(fn).parameters.items()
        if v.default is inspect.Parameter.empty
    ]
    base = {p: bound[p] for p in required}

    # Binding.
    out.append(
        Case(
            name,
            "binding: too many positional",
            tuple(bound.get(p) for p in params) + (None,),
            {},
            TypeError,
        )
    )
    out.append(
        Case(name, "binding: unknown keyword", (), {**base, "no_such_parameter": 1}, TypeError)
    )
    out.append(
        Case(
            name,
            "binding: argument given twice",
            (base[params[0]],),
            {params[0]: base[params[0]], **{p: base[p] for p in required[1:]}},
            TypeError,
        )
    )
    out.append(Case(name, "binding: missing arguments", (), {}, TypeError))

    # Conversion and parsing, one parameter at a time.
    for p in params:
        bad = bad_values(name, p, bound.get(p), p in required)
        if bad is None:
            print(f"  {name}: no error cases for parameter {p!r}")
            continue
        for label, value, exc in bad:
            out.append(Case(name, f"{p}: {label}", (), {**base, p: value}, exc))

    for label, args, kwargs in PANICS.get(name, []):
        out.append(Case(name, "internal: " + label, args, kwargs, PANIC))
    for label, args, kwargs in VALUE_ERRORS.get(name, []):
        out.append(Case(name, "refused: " + label, args, kwargs, ValueError))
    return out


# ---- running ----------------------------------------------------------------------


class Quiet:
    """Sends file descriptor 2 to /dev/null: every internal error is also
    reported on standard error, 20,000 times per case here."""

    def __enter__(self):
        sys.stderr.flush()
        self.saved = os.dup(2)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 2)
        os.close(null)

    def __exit__(self, *exc):
        os.dup2(self.saved, 2)
        os.close(self.saved)


def first_call(case, fn):
    """One checked call: the valid result passes its check, an error case
    raises exactly the expected type."""
    try:
        result = fn(*case.args, **case.kwargs)
        if case.function in ITERATORS:
            result = list(result)
    except BaseException as e:  # noqa: BLE001
        if case.exc is None:
            raise AssertionError(f"valid call raised {type(e).__name__}: {e}") from e
        if type(e) is not case.exc:
            raise AssertionError(
                f"expected {case.exc.__name__}, got {type(e).__name__}: {e}"
            ) from e
        return
    if case.exc is not None:
        raise AssertionError(f"expected {case.exc.__name__}, got a result: {result!r}")
    assert isinstance(result, (dict, list, str, tuple)), result
    if case.check:
        case.check(result)


def loop(case, fn, n):
    args, kwargs, exc = case.args, case.kwargs, case.exc
    if case.function in ITERATORS:
        call = fn

        def fn(*args, **kwargs):
            for _ in call(*args, **kwargs):
                pass

    if exc is None:
        for _ in itertools.repeat(None, n):
            fn(*args, **kwargs)
    else:
        for _ in itertools.repeat(None, n):
            try:
                fn(*args, **kwargs)
            except exc:
                pass


# Objects and blocks a window of no calls shows: the measurement's own.
BASELINE = [0, 0, 0, 0]


def over_limits(growth):
    d_rss, d_objs, d_heap, d_blocks = growth
    return [
        what
        for what, bad in (
            ("resident memory", d_rss >= RSS_LIMIT),
            ("tracked objects", d_objs > 0),
            ("malloc heap", d_heap >= HEAP_LIMIT),
            ("allocator blocks", d_blocks >= BLOCK_LIMIT),
        )
        if bad
    ]


def run_case(case, fn, calls, warmup):
    """(growth over the calls, seconds, windows measured). Memory that grows
    once and then stays (the interpreter's table of interned strings resized
    as result keys come and go, malloc's per-thread caches filling) is told
    from a leak by a second window: a leak grows in both."""
    with Quiet() if case.exc is PANIC else _nothing():
        first_call(case, fn)
        loop(case, fn, warmup)
        for window in (1, 2):  # noqa: B007 (returned after the loop)
            before = snapshot()
            start = time.perf_counter()
            loop(case, fn, calls)
            seconds = time.perf_counter() - start
            after = snapshot()  # by itself: nothing else of this frame may be alive meanwhile
            growth = [a - b - c for a, b, c in zip(after, before, BASELINE)]
            if not over_limits(growth):
                break
    return growth, seconds, window


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def main():
    global PANIC
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=20000, help="calls per case (20000)")
    parser.add_argument("--warmup", type=int, default=1000, help="calls before measuring (1000)")
    parser.add_argument("--only", nargs="*", help="these functions only")
    opts = parser.parse_args()

    with Quiet():
        PANIC = find_panic_type()
    names = [n for n in cladorix.__all__ if not opts.only or n in opts.only]
    print(f"cladorix from {cladorix.__file__}")
    print(
        f"{opts.calls} calls per case after {opts.warmup} warm-up calls; limits: resident "
        f"memory < {RSS_LIMIT >> 10} KiB, tracked objects <= 0, malloc heap < "
        f"{HEAP_LIMIT >> 10} KiB, Python allocator blocks < {BLOCK_LIMIT}"
    )
    all_cases, skipped = [], []
    for name in names:
        cases = cases_for(name, getattr(cladorix, name))
        if cases is None:
            skipped.append(name)
        else:
            all_cases.extend(cases)

    # The figures' own first use (gc.get_objects' list, the first full
    # collection) moves memory once; let that happen before any case.
    for _ in range(3):
        snapshot()
    empty = run_case(Case("", "", (), {}), lambda: {}, 0, 0)[0]
    BASELINE[1], BASELINE[3] = empty[1], empty[3]
    print(
        f"a window of no calls: objects {BASELINE[1]:+d}, blocks {BASELINE[3]:+d} "
        "(taken off every case)"
    )
    failures = []
    worst = {}
    started = time.perf_counter()
    for case in all_cases:
        fn = getattr(cladorix, case.function)
        try:
            growth, seconds, windows = run_case(case, fn, opts.calls, opts.warmup)
        except AssertionError as e:
            failures.append(f"{case.function} [{case.label}]: {e}")
            print(f"FAIL {case.function:36} {case.label:48} {e}")
            continue
        d_rss, d_objs, d_heap, d_blocks = growth
        bad = over_limits(growth)
        line = (
            f"{case.function:36} {case.label:52} rss {d_rss / 1024:+5.0f} KiB  "
            f"objects {d_objs:+3d}  heap {d_heap / 1024:+6.1f} KiB  blocks {d_blocks:+4d}  "
            f"{seconds:5.2f} s" + ("  (second window)" if windows > 1 else "")
        )
        print(("LEAK " if bad else "  ok ") + line, flush=True)
        if bad:
            failures.append(f"{case.function} [{case.label}]: {', '.join(bad)} grew")
        w = worst.setdefault(case.function, [0, 0, 0, 0, 0])
        for i, d in enumerate(growth):
            w[i] = max(w[i], d)
        w[4] += 1

    print("\nLargest growth per function over its cases:")
    for name, (d_rss, d_objs, d_heap, d_blocks, n) in worst.items():
        print(
            f"  {name:36} {n:3d} cases  rss {d_rss / 1024:+6.0f} KiB  objects {d_objs:+4d}  "
            f"heap {d_heap / 1024:+6.1f} KiB  blocks {d_blocks:+4d}"
        )
    for name in skipped:
        failures.append(f"{name}: no cases for it in this script (add them to VALID)")
    total = time.perf_counter() - started
    print(f"\n{len(all_cases)} cases of {opts.calls} measured calls each, {total:.1f} s")
    if failures:
        print(f"\n{len(failures)} failed:")
        for f in failures:
            print("  " + f)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
