"""Shared pieces of the benchmarks: tree generators and a runner that measures
one case in a fresh interpreter (time and peak resident memory)."""

import json
import math
import os
import random
import subprocess
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))


def random_tree_newick(n, seed, prefix="t", lengths=False, internal_names=False):
    """Random binary tree on n leaves (random joins), written without recursion."""
    rng = random.Random(seed)
    # children lists; leaves 0..n-1
    children = [[] for _ in range(n)]
    pool = list(range(n))

    def draw():
        # Swap the drawn entry to the end: a pop from the middle would make
        # the build quadratic, minutes at a million leaves.
        i = rng.randrange(len(pool))
        pool[i], pool[-1] = pool[-1], pool[i]
        return pool.pop()

    while len(pool) > 1:
        a = draw()
        b = draw()
        children.append([a, b])
        pool.append(len(children) - 1)
    root = pool[0]
    order = [f"{prefix}{i}" for i in range(n)]
    rng.shuffle(order)
    parts = []
    stack = [("n", root)]
    while stack:
        kind, v = stack.pop()
        if kind == "s":
            parts.append(v)
            continue
        suffix = f":{rng.random():.5f}" if lengths and v != root else ""
        if not children[v]:
            parts.append(order[v] + suffix)
            continue
        label = f"i{v}" if internal_names else ""
        stack.append(("s", ")" + label + suffix))
        a, b = children[v]
        stack.append(("n", b))
        stack.append(("s", ","))
        stack.append(("n", a))
        stack.append(("s", "("))
    return "".join(parts) + ";"


def caterpillar_newick(n, prefix="L"):
    return "(" * (n - 1) + f"{prefix}0" + "".join(f",{prefix}{i})" for i in range(1, n)) + ";"


def mirror_caterpillar_newick(n, prefix="L"):
    """The caterpillar with every cherry on the other side: (L0,(L1,(...)))."""
    return (
        "".join(f"({prefix}{i}," for i in range(n - 1)) + f"{prefix}{n - 1}" + ")" * (n - 1) + ";"
    )


def measure(code, setup="", env=None, timeout=3600, python=None):
    """Runs `setup`, then times `code` once in a fresh interpreter (`python`,
    this one by default). `code` must assign `result`. Returns dict(seconds,
    peak_mb, result)."""
    program = (
        textwrap.dedent(setup)
        + "\n"
        + textwrap.dedent(
            """
        import json as _json, time as _time
        _t0 = _time.perf_counter()
        """
        )
        + textwrap.dedent(code)
        + textwrap.dedent(
            """
        _elapsed = _time.perf_counter() - _t0
        _peak = 0
        with open("/proc/self/status") as _f:
            for _line in _f:
                if _line.startswith("VmHWM:"):
                    _peak = int(_line.split()[1]) / 1024.0
        print("@@" + _json.dumps({"seconds": _elapsed, "peak_mb": _peak, "result": result}, default=str))
        """
        )
    )
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run(
        [python or sys.executable, "-c", program],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
        cwd=HERE,
    )
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr)
    line = [ln for ln in proc.stdout.splitlines() if ln.startswith("@@")][-1]
    return json.loads(line[2:])


SPIN = (
    "import time; t = time.perf_counter(); sum(range(30_000_000)); print(time.perf_counter() - t)"
)


def cpus_free():
    """CPUs this machine gives us right now: a busy loop alone, then two at
    once (2.0 on two idle cores, 1.0 when other work takes one)."""

    def spin(k):
        procs = [
            subprocess.Popen([sys.executable, "-c", SPIN], stdout=subprocess.PIPE, text=True)
            for _ in range(k)
        ]
        return max(float(p.communicate()[0]) for p in procs)

    alone = spin(1)
    return 2 * alone / spin(2)


class Interpreter:
    """A worker process of `python` running `program`, which answers each JSON
    request line on its stdin with one JSON line on its stdout; it keeps its
    inputs between requests."""

    def __init__(self, python, program, env=None):
        full_env = dict(os.environ)
        full_env.update(env or {})
        self.proc = subprocess.Popen(
            [python, "-c", program],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            cwd=HERE,
            env=full_env,
        )

    def ask(self, request):
        self.proc.stdin.write(json.dumps(request) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"worker failed on {request!r}")
        return json.loads(line)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def table(rows, headers):
    widths = [max(len(str(h)), *(len(str(r[i])) for r in rows)) for i, h in enumerate(headers)]
    fmt = "  ".join(f"{{:<{w}}}" for w in widths)
    print(fmt.format(*headers))
    for r in rows:
        print(fmt.format(*r))


def simulate_lineage(n_leaves, n_chars, seed, rate=0.1, n_edits=50, missing_rate=0.05):
    """Newick text, leaf rows (in leaf order) and the states of every internal
    node, by name, for a simulated CRISPR-Cas9 lineage.

    The tree splits n leaves at a uniform point, recursively; every node is
    named. Characters start unedited (0) at the root; along each edge every
    unedited site is cut with probability `rate` into one of `n_edits` edits
    and keeps it below; leaves then lose sites to missing (-1) with
    probability `missing_rate`. Sites are visited by geometric skips so
    generation stays fast in pure Python.
    """
    rng = random.Random(seed)
    log_keep = math.log(1.0 - rate)
    log_present = math.log(1.0 - missing_rate)

    def skip(log_q):  # sites to the next event, geometric
        return int(math.log(1.0 - rng.random()) / log_q)

    def descend(states):
        child = list(states)
        i = skip(log_keep)
        while i < n_chars:
            if child[i] == 0:
                child[i] = rng.randint(1, n_edits)
            i += 1 + skip(log_keep)
        return child

    out, rows, internal = [], [], {}
    leaf_no = internal_no = 0
    # Frames: [leaves below, states, stage, leaves of the first child, name];
    # stage 0 = not opened, 1 = after the first child, 2 = after the second.
    stack = [[n_leaves, [0] * n_chars, 0, 0, None]]
    while stack:
        frame = stack[-1]
        n, states, stage = frame[0], frame[1], frame[2]
        if n == 1:
            row = list(states)
            i = skip(log_present)
            while i < n_chars:
                row[i] = -1
                i += 1 + skip(log_present)
            rows.append(row)
            out.append(f"cell{leaf_no}")
            leaf_no += 1
            stack.pop()
            continue
        if stage == 0:
            frame[4] = f"n{internal_no}"
            internal_no += 1
            internal[frame[4]] = states
            out.append("(")
            frame[3] = rng.randint(1, n - 1)
            size = frame[3]
        elif stage == 1:
            out.append(",")
            size = n - frame[3]
        else:
            out.append(")" + frame[4])
            stack.pop()
            continue
        frame[2] = stage + 1
        stack.append([size, descend(states), 0, 0, None])
    out.append(";")
    return "".join(out), rows, internal
