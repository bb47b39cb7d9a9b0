"""Fuzzing of cladorix's argument binding: bytes in, one judged call out.

`one_input(data)` reads choices from the fuzz bytes, picks a function from
`cladorix.__all__` (so new functions are fuzzed without changes here), reads
its parameters from its text signature, builds a value for each (shaped by
the parameter's name where it is known, any kind of value otherwise), and
calls it with a mix of positional and keyword arguments. A call may return a
dict (a list of names for leaf_names) or raise one of the documented exception types; anything else, a
SystemError in particular (a C function returning a result with an exception
set, or NULL without one), raises `Undocumented`, which the harness reports
as a crash.

Sizes are capped (leaf counts, trials, matrix shapes, text lengths) so that a
call takes milliseconds and a per-input timeout means a real hang. A rare
"large" call has enough leaves and trials for the pooled paths to hand work
to the worker pool.
"""

import inspect
import io
import math
import struct
import sys
import traceback

cladorix = None
try:
    import numpy
except ImportError:  # numpy values are left out
    numpy = None

# The exception types a call may end with (exactly these, not subclasses),
# besides the internal-error PanicException.
ACCEPTED = (TypeError, ValueError, OverflowError, UnicodeEncodeError, MemoryError)

MAX_LEAVES = 12
MAX_TRIALS = 3000
# Pooled triplet counting starts near 40 leaves, pooled sampling from 5000
# trials on about 100 leaves, pooled PHS near 64 leaves.
LARGE_LEAVES = 130
LARGE_TRIALS = 20000
MAX_TEXT = 64  # characters of raw text trees: at most ~64 leaves


class Undocumented(Exception):
    """A call ended in a way the module does not document."""


class Planted(Exception):
    """Raised by the fuzzer's own hostile objects; must pass through unchanged."""


def is_panic(exc):
    t = type(exc)
    return (t.__module__, t.__qualname__) == ("pyo3_runtime", "PanicException") and not isinstance(
        exc, Exception
    )


# ---- reading the fuzz bytes ---------------------------------------------------


class Data:
    """Choices taken from the bytes in order; zeros once they run out."""

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b

    def below(self, n):
        """An int in [0, n)."""
        if n <= 1:
            return 0
        v = self.byte()
        if n > 256:
            v = v << 8 | self.byte()
        return v % n

    def chance(self, k):
        """True about once in k; False once the bytes run out, so that an
        exhausted input takes the ordinary branches (as do zero bytes)."""
        return self.below(k) == k - 1

    def pick(self, seq):
        return seq[self.below(len(seq))]

    def take(self, n):
        out = self.data[self.pos : self.pos + n]
        self.pos += len(out)
        return out

    def u64(self):
        return int.from_bytes(self.take(8).ljust(8, b"\0"), "little")

    def f64(self):
        return struct.unpack("<d", self.take(8).ljust(8, b"\0"))[0]


# ---- hostile and unusual objects ----------------------------------------------


class Call:
    """What one call planted, so that its consequences are recognised."""

    def __init__(self):
        self.planted = []  # Planted instances raised by our objects
        self.mutated_dict = False
        self.plain = True  # no object with behaviour of its own


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


class Index:
    """An integer only through __index__ (or a failure there)."""

    def __init__(self, value, call, error=None):
        self.value, self.call, self.error = value, call, error

    def __index__(self):
        if self.error is not None:
            raise raise_planted(self.call, self.error)
        return self.value

    def __repr__(self):
        return f"Index({self.value!r}, error={self.error!r})"


class Floaty:
    """A float only through __float__ (or a failure there)."""

    def __init__(self, value, call, error=None):
        self.value, self.call, self.error = value, call, error

    def __float__(self):
        if self.error is not None:
            raise raise_planted(self.call, self.error)
        return self.value

    def __repr__(self):
        return f"Floaty({self.value!r}, error={self.error!r})"


class LyingSeq:
    """A sequence whose length is only a claim; iteration gives the items."""

    def __init__(self, items, claimed, call, fail_at=None, error=None, mutate=None):
        self.items, self.claimed, self.call = items, claimed, call
        self.fail_at, self.error, self.mutate = fail_at, error, mutate

    def __len__(self):
        if isinstance(self.claimed, str):
            raise raise_planted(self.call, self.claimed)
        return self.claimed

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        # Changes the container being converted: a states dict gains a key
        # (the binding must refuse to go on), the matrix's list of rows loses
        # or gains rows (the binding must not read freed or missing rows).
        if isinstance(self.mutate, dict):
            self.mutate[StrSub("added-during-conversion")] = []
            self.call.mutated_dict = True
        elif isinstance(self.mutate, list):
            rows, self.mutate = self.mutate, None
            if self.fail_at == 0:
                rows.clear()
            elif rows and self.claimed == 0:
                del rows[0]
            elif rows:
                rows.append(rows[-1])
        for i, item in enumerate(self.items):
            if i == self.fail_at:
                raise raise_planted(self.call, self.error)
            yield item

    def __repr__(self):
        return f"LyingSeq({self.items!r}, claimed={self.claimed!r}, fail_at={self.fail_at!r})"


class NotASequence:
    """Iterable but not a sequence."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)

    def __repr__(self):
        return f"NotASequence({self.items!r})"


def raise_planted(call, kind):
    """The exception a hostile object raises (returned, for `raise`)."""
    if kind == "planted":
        exc = Planted("planted")
        call.planted.append(exc)
        return exc
    return {"type": TypeError, "value": ValueError, "overflow": OverflowError}[kind]("planted")


ERRORS = ("type", "value", "overflow", "planted")

# ---- values -------------------------------------------------------------------

BOUNDARY_INTS = (
    0,
    1,
    2,
    3,
    7,
    -1,
    -2,
    2**31 - 1,
    2**31,
    -(2**31),
    -(2**31) - 1,
    2**32 - 1,
    2**32,
    2**63 - 1,
    2**63,
    -(2**63),
    -(2**63) - 1,
    2**64 - 1,
    2**64,
    -(2**64),
    2**100,
    -(2**100),
    10**30,
)
ODD_FLOATS = (
    0.0,
    -0.0,
    1.0,
    0.5,
    0.1,
    1e-300,
    5e-324,
    1e308,
    -1.0,
    2.0,
    math.inf,
    -math.inf,
    math.nan,
)
SPACES = (" ", "\t", "\n", "\u00a0", "\u2003", "\u3000", "\u200b")
NAME_POOL = (
    "A",
    "B",
    "C",
    "D",
    "E",
    "F",
    "G",
    "H",
    "a",
    "AB",
    "é",
    "日本",
    "x y",
    "'q'",
    "[c]",
    "1",
    "-",
    "\U0001f600",
    "A\u00a0",
    "nan",
)


def any_int(d, call, small=1 << 16):
    """Ints of every size and sign, and things that are ints one way or another."""
    r = d.below(16)
    if r < 6:
        return d.below(small)
    if r < 10:
        return d.pick(BOUNDARY_INTS)
    if r == 10:
        return -d.below(small) - 1
    if r == 11:
        return d.u64() << d.below(80) if d.chance(2) else -d.u64()
    if r == 12:
        return bool(d.below(2))
    call.plain = False
    if r == 13:
        return IntSub(d.pick(BOUNDARY_INTS))
    if r == 14:
        err = d.pick(ERRORS) if d.chance(3) else None
        value = d.below(small)
        if d.chance(4):
            # Boundaries, and returns that are not ints (refused by the interpreter).
            value = d.pick(BOUNDARY_INTS + (1.5, "3", None, IntSub(2), True))
        return Index(value, call, err)
    if numpy is not None:
        return d.pick((numpy.int64, numpy.int32, numpy.uint64, numpy.int8))(d.below(100))
    return d.below(small)


def any_float(d, call):
    r = d.below(8)
    if r < 3:
        return d.pick(ODD_FLOATS)
    if r == 3:
        return d.f64()
    if r == 4:
        return d.below(1000) / 1000.0
    if r == 5:
        return any_int(d, call)
    call.plain = False
    if r == 6:
        return FloatSub(d.pick(ODD_FLOATS))
    if numpy is not None and d.chance(2):
        return numpy.float64(d.below(1000) / 999.0)
    value = d.pick(ODD_FLOATS + (1, "2.0", FloatSub(0.5)))  # some not floats
    return Floaty(value, call, d.pick(ERRORS) if d.chance(2) else None)


def raw_text(d):
    """Text from the bytes; now and then with lone surrogates (refused as UTF-8)."""
    errors = "surrogateescape" if d.chance(8) else "ignore"
    return d.take(d.below(MAX_TEXT + 1)).decode("utf-8", errors)


def any_value(d, call, depth=0):
    """A value of any kind, for parameters of unknown kind and for wrong types."""
    r = d.below(14)
    if r == 0:
        return None
    if r == 1:
        return any_int(d, call)
    if r == 2:
        return any_float(d, call)
    if r == 3:
        return raw_text(d)
    if r == 4:
        return d.take(d.below(8))
    if r == 5 and depth < 2:
        return [any_value(d, call, depth + 1) for _ in range(d.below(4))]
    if r == 6 and depth < 2:
        return tuple(any_int(d, call) for _ in range(d.below(4)))
    if r == 7:
        return dict_of(d, call)
    if r == 8:
        return range(d.below(8))
    if r == 9:
        return object()
    if r == 10:
        return {d.below(4)}
    if r == 11:
        return StrSub(raw_text(d))
    if r == 12 and numpy is not None:
        return numpy.array(
            [d.below(5) for _ in range(d.below(5))], dtype=d.pick(("i4", "i8", "f8"))
        )
    return bytearray(d.take(d.below(4)))


def dict_of(d, call):
    out = {}
    for _ in range(d.below(3)):
        out[d.pick(("n", "", "\udc80", 1, None, b"n", (1,), StrSub("n")))] = [d.below(3)]
    return out


# ---- trees, matrices and internal states ---------------------------------------


class Context:
    """What the values of one call share: leaf names and internal node names."""

    def __init__(self, d):
        self.large = d.chance(48)
        self.wild = d.chance(4)  # odd containers and integers inside matrices and states
        self.max_trials = LARGE_TRIALS if self.large else MAX_TRIALS
        self.leaves = self.make_names(d)
        self.internal = []
        self.columns = d.below(5)
        self.states = (0, -1, 1, 2, 3, 4)

    def make_names(self, d):
        n = 40 + d.below(LARGE_LEAVES - 39) if self.large else 1 + d.below(MAX_LEAVES)
        unnamed = d.chance(8)  # some leaves without a name
        names = []
        for i in range(n):
            r = d.below(10)
            if unnamed and r < 3:
                names.append("")
            elif r < 7:
                names.append(f"L{i}")
            else:
                names.append(d.pick(NAME_POOL))  # duplicates and odd characters
        return names


def length_text(d):
    return d.pick(("1", "0.5", "1e-3", "-2", "nan", "INF", "x", "", "1e60", "1.5e-45", " 2 "))


def tree_text(d, ctx):
    """A Newick text over the context's leaves, often well formed, sometimes not."""
    leaves = list(ctx.leaves)
    # Shuffle, and sometimes drop or add a leaf, so the trees of a call differ.
    for i in range(len(leaves) - 1, 0, -1):
        j = d.below(i + 1)
        leaves[i], leaves[j] = leaves[j], leaves[i]
    if len(leaves) > 1 and d.chance(16):
        leaves.pop()
    if d.chance(16):
        leaves.append(d.pick(NAME_POOL))
    nodes = [name + (":" + length_text(d) if d.chance(4) else "") for name in leaves]
    while len(nodes) > 1:
        k = 2 + (d.below(3) if d.chance(4) else 0)
        k = min(k, len(nodes))
        at = d.below(len(nodes) - k + 1)
        group = nodes[at : at + k]
        name = ""
        if d.chance(2):
            name = f"I{len(ctx.internal)}" if not d.chance(6) else d.pick(NAME_POOL)
            ctx.internal.append(name)
        node = "(" + ",".join(group) + ")" + name
        if d.chance(5):
            node += ":" + length_text(d)
        if d.chance(16):
            node = "(" + node + ")"  # a single-child node
        nodes[at : at + k] = [node]
    text = nodes[0]
    r = d.below(32)
    if r < 24:
        text += ";"
    elif r < 26:
        text += ";" + raw_text(d)
    elif r < 28:
        text = text.replace(",", d.pick(SPACES) + "," + d.pick(SPACES))
        text += ";"
    elif r < 30 and text:
        # One character dropped, doubled or replaced.
        i = d.below(len(text))
        text = text[:i] + d.pick(("", "(", ")", ",", ":", ";", text[i] * 2)) + text[i + 1 :]
    elif r == 30:
        text = raw_text(d)
    # r == 31: no terminator at all
    return text


def text_value(d, call, ctx):
    r = d.below(16)
    if r < 12:
        return tree_text(d, ctx)
    if r == 12:
        return raw_text(d)
    if r == 13:
        call.plain = False
        return StrSub(tree_text(d, ctx))
    return any_value(d, call)


class Reader:
    """A file object whose read() hands out its pieces in turn and then "",
    or at some piece returns what is not text or raises."""

    def __init__(self, pieces, call, fail_at=None, error=None):
        self.pieces, self.call, self.fail_at, self.error = list(pieces), call, fail_at, error
        self.calls = 0

    def read(self, n):
        i, self.calls = self.calls, self.calls + 1
        if i == self.fail_at:
            if self.error in ERRORS:
                raise raise_planted(self.call, self.error)
            return self.error  # not str or bytes
        return self.pieces[i] if i < len(self.pieces) else ""

    def __repr__(self):
        return f"Reader({self.pieces!r}, fail_at={self.fail_at!r}, error={self.error!r})"


def file_text(d, ctx):
    """A tree file: Newick trees, or a Nexus file with a TRANSLATE table of
    the leaves, with comments and quoted labels here and there."""
    trees = [tree_text(d, ctx) for _ in range(1 + d.below(3))]
    if d.chance(4):
        trees = [t.replace(",", d.pick((",", "[c],", ",\n", "[&&NHX:S=x],"))) for t in trees]
    if not d.chance(2):
        return d.pick(("", "[&R] ", "\ufeff")) + "\n".join(trees)
    leaves = [n for n in ctx.leaves if n and "'" not in n]
    table = ",".join(f" {i + 1} '{n}'" for i, n in enumerate(leaves))
    for i, n in sorted(enumerate(leaves), key=lambda x: -len(x[1])):
        trees = [t.replace(n, str(i + 1)) if d.chance(2) else t for t in trees]
    body = "".join(f"tree t{i} = {t}\n" for i, t in enumerate(trees))
    return f"#NEXUS\nbegin trees;\ntranslate{table};\n{body}end;\n"


def source_value(d, call, ctx):
    """A file object, or no source at all; never a path, which could name
    any file of the machine."""
    call.plain = False  # a file object is read once
    r = d.below(8)
    if r < 3:
        return io.StringIO(file_text(d, ctx))
    if r == 3:
        return io.BytesIO(file_text(d, ctx).encode("utf-8", "surrogatepass") + d.take(d.below(4)))
    if r < 7:
        text = file_text(d, ctx)
        cuts = sorted(d.below(len(text) + 1) for _ in range(d.below(4)))
        pieces = [text[a:b] for a, b in zip([0, *cuts], [*cuts, len(text)])]
        if d.chance(2):
            pieces = [p.encode("utf-8", "surrogatepass") for p in pieces]
        fail_at = d.below(len(pieces) + 1) if d.chance(3) else None
        error = d.pick((*ERRORS, 5, None, bytearray(b"(A);"), "\udc80"))
        return Reader(pieces, call, fail_at, error)
    return d.pick((None, 5, object(), [io.StringIO("(A,B);")]))


def collapse_value(d, call):
    r = d.below(8)
    if r == 0:
        return None
    if r == 1:
        return any_value(d, call)
    out = {}
    for key in d.pick((("length",), ("support",), ("length", "support"), ("x",), ())):
        out[key] = d.pick((0, 0.0, 0.5, -1.0, math.nan, math.inf, 2**80, True, "0", None))
    return out


def state(d, call, ctx):
    r = d.below(8)
    if r < 5:
        return d.pick(ctx.states)
    if r < 7 or not ctx.wild:
        return d.below(200) - 100
    return any_int(d, call)


def row_container(d, call, items, ctx, allow_mutate=None):
    """The same items in one of the shapes a sequence can take; odd shapes
    only in a wild call, where nearly every matrix has one somewhere."""
    r = d.below(16)
    if r < 8:
        return list(items)
    if r < 10 or not ctx.wild:
        return tuple(items)
    call.plain = False
    if r == 10:
        return ListSub(items)
    if r == 11:
        claimed = d.pick((0, 1, 2**62, 10**11, 2**40, "planted", "type"))
        fail_at = d.below(len(items) + 2) if d.chance(3) else None
        return LyingSeq(list(items), claimed, call, fail_at, d.pick(ERRORS), allow_mutate)
    if r == 12:
        return NotASequence(list(items))
    if r == 13 and numpy is not None and all(type(x) is int for x in items):
        try:
            return numpy.array(items, dtype=d.pick(("i4", "i8", "u1", "f8", "O")))
        except (OverflowError, ValueError):
            return list(items)
    if r == 14 and all(type(x) is int and 0 <= x < 256 for x in items):
        return bytes(items)
    # Not sequences: a str (refused by name), a set, an iterator.
    return d.pick(
        (lambda: "".join(map(str, items)), lambda: set(range(len(items))), lambda: iter(items))
    )()


def matrix_value(d, call, ctx):
    rows = len(ctx.leaves) + (d.pick((-1, 1, 0)) if d.chance(6) else 0)
    out = []
    changes_rows = d.chance(8)
    for _ in range(max(rows, 0)):
        cols = ctx.columns + (d.pick((-1, 1)) if d.chance(12) else 0)
        items = [state(d, call, ctx) for _ in range(max(cols, 0))]
        out.append(row_container(d, call, items, ctx, [] if changes_rows else None))
    plain_rows = all(type(r) is list and all(type(x) is int for x in r) for r in out)
    if numpy is not None and d.chance(6) and out and plain_rows:
        try:
            return numpy.array(out, dtype=d.pick(("i4", "i8", "f8")))
        except (OverflowError, ValueError):
            pass
    if d.chance(10):
        return any_value(d, call)
    matrix = row_container(d, call, out, ctx)
    if isinstance(matrix, list):
        # Rows that change the list of rows while they are converted.
        for row in matrix:
            if isinstance(row, LyingSeq) and isinstance(row.mutate, list):
                row.mutate = matrix
    return matrix


def states_value(d, call, ctx, required):
    r = d.below(12)
    if r == 0 and not required:
        return None
    if r == 1:
        return any_value(d, call)
    out = DictSub() if d.chance(8) else {}
    if type(out) is DictSub:
        call.plain = False
    names = list(ctx.internal) + ["root", "L0", ""]
    for _ in range(d.below(len(names) + 1)):
        key = d.pick(names) if not d.chance(8) else d.pick((1, None, b"I0", "\udc80", StrSub("I0")))
        cols = ctx.columns + (d.pick((-1, 1)) if d.chance(10) else 0)
        items = [state(d, call, ctx) for _ in range(max(cols, 0))]
        mutate = out if d.chance(16) else None
        try:
            out[key] = row_container(d, call, items, ctx, mutate)
        except TypeError:
            pass
    return out


def wrong_type(d, call):
    """A value no integer parameter accepts (never a large valid integer)."""
    r = d.below(8)
    if r == 0:
        return None
    if r == 1:
        return d.pick(ODD_FLOATS)
    if r == 2:
        return raw_text(d)
    if r == 3:
        return [d.below(4)]
    if r == 4:
        call.plain = False
        return Index(0, call, d.pick(ERRORS))
    if r == 5 and numpy is not None:
        return numpy.float64(2.0)
    if r == 6:
        return d.take(2)
    return object()


def u64_value(d, call, cap):
    """Unsigned 64-bit parameters: valid values up to `cap` in the forms an
    integer can take, out-of-range values, and wrong types."""
    r = d.below(16)
    if r < 11:
        return d.below(cap + 1) if cap <= (1 << 16) else d.pick((d.below(1 << 16), d.u64()))
    if r < 13:
        return d.pick((-1, -2, -(2**63), -(2**64), 2**64, 2**64 + 1, 2**100))
    if r < 15:
        v = d.below(min(cap, 1 << 16) + 1)
        call.plain = False
        forms = [IntSub(v), Index(v, call), bool(v & 1)]
        if numpy is not None:
            forms += [numpy.uint64(v), numpy.int64(v)]
        return d.pick(forms)
    return wrong_type(d, call)


# Parameters the fuzzer recognises by name; any other gets any kind of value.
BATCH_MEASURES = ("rf", "rf_normalized", "triplets_exact", "parsimony", "likelihood", "cut_events")


def value_for(name, d, call, ctx, required):
    if name.endswith("newick") or name == "reference":
        return text_value(d, call, ctx)
    if name == "trees":
        # Texts, (name, text) pairs, now and then something else.
        trees = []
        for _ in range(d.below(4)):
            text = text_value(d, call, ctx)
            trees.append((f"t{len(trees)}", text) if d.chance(4) else text)
        return trees if not d.chance(8) else any_value(d, call)
    if name == "measures":
        if d.chance(8):
            return any_value(d, call)
        return tuple(d.pick(BATCH_MEASURES) for _ in range(1 + d.below(3)))
    if name == "cell_names":
        return None if d.chance(3) else [f"c{i}" for i in range(d.below(6))]
    if name in ("common_leaves", "by_depth"):
        return bool(d.below(2)) if not d.chance(8) else any_value(d, call)
    if name == "errors":
        return d.pick(("raise", "coerce")) if not d.chance(8) else any_value(d, call)
    if name in ("labels", "progress", "executor"):
        return None if not d.chance(8) else any_value(d, call)
    if name == "character_matrix":
        return matrix_value(d, call, ctx)
    if "states" in name and name not in ("missing_state", "unedited_state"):
        return states_value(d, call, ctx, required)
    if name == "number_of_trials":
        return u64_value(d, call, ctx.max_trials)
    if name in ("seed", "max_threads", "min_triplets_at_depth"):
        if name != "min_triplets_at_depth" and d.chance(4):
            return None
        return u64_value(d, call, 1 << 64)
    if name in ("mutation_rate", "collision_probability"):
        return None if d.chance(3) else any_float(d, call)
    if name in ("missing_state", "unedited_state"):
        return state(d, call, ctx) if not d.chance(3) else any_int(d, call)
    if name == "source":
        return source_value(d, call, ctx)
    if name in ("format", "internal_labels"):
        choices = ("auto", "newick", "nexus") if name == "format" else ("keep", "drop")
        return d.pick(choices) if not d.chance(8) else any_value(d, call)
    if name == "with_names":
        return bool(d.below(2)) if not d.chance(8) else any_value(d, call)
    if name == "collapse":
        return collapse_value(d, call)
    return any_value(d, call)


# ---- signatures -----------------------------------------------------------------


def parameters(fn):
    """(name, required) for each parameter, as the module declares it."""
    return [
        (p.name, p.default is inspect.Parameter.empty)
        for p in inspect.signature(fn).parameters.values()
    ]


FUNCTIONS = []


def checked_call(fn, args, kwargs):
    """Replaced by the harness with a call that also fails with SystemError when
    the function returns a result with an exception set or NULL without one
    (CPython checks that only on some call paths of a release build)."""
    return fn(*args, **kwargs)


def setup(module_dir):
    """Imports the module under test (the instrumented build) and silences
    the internal-error reports it writes to stderr."""
    global cladorix
    import os

    import cladorix as module

    where = os.path.dirname(os.path.abspath(module.__file__))
    if where != os.path.abspath(module_dir):
        raise ImportError(f"cladorix imported from {where}, not from {module_dir}")
    cladorix = module
    FUNCTIONS[:] = [
        (name, getattr(module, name), parameters(getattr(module, name))) for name in module.__all__
    ]
    sys.stderr = Sink()


class Sink:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


# ---- calls ------------------------------------------------------------------------


def build_call(d):
    name, fn, params = d.pick(FUNCTIONS)
    call = Call()
    ctx = Context(d)
    values = [value_for(p, d, call, ctx, req) for p, req in params]
    required = sum(req for _, req in params)
    names = [p for p, _ in params]
    mode = d.below(12)
    kwargs = {}
    if mode < 8:
        # Positional up to some point, then some of the rest by keyword.
        split = required + d.below(len(params) - required + 1)
        args = values[:split]
        rest = list(range(split, len(params)))
        for i in range(len(rest) - 1, 0, -1):
            j = d.below(i + 1)
            rest[i], rest[j] = rest[j], rest[i]
        for i in rest:
            if not d.chance(3):
                kwargs[names[i]] = values[i]
    elif mode == 8:
        args = []
        kwargs = dict(zip(names, values))
    elif mode == 9:
        # Too many positional, or a required one missing.
        args = values + [None] * d.below(2) if d.chance(2) else values[: d.below(required)]
    elif mode == 10:
        args = values[: d.below(len(values) + 1)]
        key = d.pick(names + ["unknown", "", "\udc80", "Seed"])
        kwargs[StrSub(key) if d.chance(2) else key] = None
    else:
        args = values[:required]
        for p, v in zip(names[required:], values[required:]):
            kwargs[StrSub(p) if d.chance(3) else p] = v
    passed = dict(zip(names, args))
    passed.update({str(k): v for k, v in kwargs.items()})
    return name, fn, args, kwargs, call, passed


def judge_exception(exc, call, name):
    if isinstance(exc, SystemError):
        return "SystemError"
    if isinstance(exc, KeyboardInterrupt):
        return "KeyboardInterrupt"
    if is_panic(exc):
        # Only the twelve original functions have internal failures.
        return None if name in cladorix.__all__[:12] else f"PanicException from {name}: {exc}"
    if type(exc) in ACCEPTED:
        return None
    if isinstance(exc, Planted) and any(exc is p for p in call.planted):
        return None
    if (
        type(exc) is RuntimeError
        and call.mutated_dict
        and str(exc) == "dictionary changed size during iteration"
    ):
        return None
    return f"undocumented exception {type(exc).__module__}.{type(exc).__qualname__}"


def is_named_tree(x):
    return type(x) is tuple and len(x) == 2 and all(type(y) is str for y in x)


def judge_result(result):
    # A list: leaf names, each a str or None (an unnamed leaf), or trees read
    # from a file, each a str or a (name, tree) pair.
    if type(result) is list:
        if not all(x is None or type(x) is str or is_named_tree(x) for x in result):
            return "a list result holds something other than str, None or (name, tree)"
        return None
    if type(result) is str or is_named_tree(result):
        return None
    if type(result) is not dict:
        return f"result is a {type(result).__name__}, not a dict or list"
    if (
        result
        and all(type(v) is dict for v in result.values())
        and set(result)
        == {
            "rows",
            "by_depth",
            "reference",
        }
    ):
        for k, v in result.items():
            problem = judge_table(v)
            if problem:
                return f"table {k!r}: {problem}"
        return None
    if result and all(type(v) is list for v in result.values()):
        return judge_table(result)
    for k, v in result.items():
        if type(k) is not str:
            return f"result key {k!r} is not a str"
        if type(v) is list:
            # Counts per site.
            if not all(type(x) is int for x in v):
                return f"result list {k!r} holds something other than int"
        elif type(v) is dict:
            # Per-depth tables (int keys) or named summaries (str keys), of
            # ratios or counts; one kind of key and value per table.
            key_types = {type(a) for a in v}
            value_types = {type(b) for b in v.values()}
            if not (key_types <= {int} or key_types <= {str}) or not (
                value_types <= {float} or value_types <= {int}
            ):
                return f"nested table {k!r} mixes or holds unexpected types"
        elif type(v) not in (int, float, str, bool):
            return f"result value {k!r} is a {type(v).__name__}"
    return None


# Columns of a batch table; the label columns hold whatever labels were given.
LABEL_COLUMNS = ("tree", "tree_a", "tree_b")


def judge_table(table):
    """A dict of equal-length columns of plain values."""
    lengths = {len(v) for v in table.values() if type(v) is list}
    if any(type(v) is not list for v in table.values()) or len(lengths) > 1:
        return "columns that are not lists of one length"
    for k, v in table.items():
        if type(k) is not str:
            return f"column name {k!r} is not a str"
        if k in LABEL_COLUMNS:
            continue
        if not all(x is None or type(x) in (int, float, str) for x in v):
            return f"column {k!r} holds something other than int, float, str or None"
    return None


def comparable(result):
    if type(result) is not dict:
        return repr(result)
    return {k: repr(v) for k, v in result.items() if k != "computation_time_ms"}


def safe_repr(x):
    try:
        return repr(x)[:300]
    except BaseException as e:  # noqa: BLE001 - only for the report
        return f"<repr failed: {type(e).__name__}>"


def one_input(data):
    d = Data(data)
    name, fn, args, kwargs, call, passed = build_call(d)
    problem = failure = None
    try:
        result = checked_call(fn, tuple(args), kwargs)
        if hasattr(result, "__next__"):  # iter_trees: read to its end, errors judged alike
            result = list(result)
    except BaseException as exc:  # noqa: BLE001 - judged below
        problem = judge_exception(exc, call, name)
        failure = exc
    else:
        problem = judge_result(result)
        # A seeded or seedless-by-design call gives the same result again.
        seeded = "seed" not in [p for p, _ in parameters(fn)] or type(passed.get("seed")) is int
        if problem is None and call.plain and seeded and not d.chance(2):
            try:
                again = checked_call(fn, tuple(args), kwargs)
            except BaseException as exc:  # noqa: BLE001 - reported below
                problem, failure = "a repeated call raised", exc
            else:
                if comparable(again) != comparable(result):
                    problem = (
                        f"a repeated call differs: {comparable(result)} then {comparable(again)}"
                    )
    if problem is not None:
        out = sys.__stderr__
        print(f"cladorix fuzz: {problem}", file=out)
        print(f"  call: {name}(*{safe_repr(args)}, **{safe_repr(kwargs)})", file=out)
        if failure is not None:
            traceback.print_exception(type(failure), failure, failure.__traceback__, file=out)
        raise Undocumented(problem)
