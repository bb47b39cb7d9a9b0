"""Shared helpers of the Python tests."""

import math
import os
import random
import subprocess
import sys
import textwrap

import pytest


def asan_loaded():
    """Whether AddressSanitizer's runtime is in this process (the CI job that
    runs the suite against an instrumented module preloads it)."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def is_panic(exc):
    """The module's internal-error exception, which is not an Exception."""
    t = type(exc)
    return t.__name__ == "PanicException" and t.__module__ == "pyo3_runtime"


def expect_panic(fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert is_panic(info.value), repr(info.value)
    return info.value


def run_python(code, env=None, timeout=300):
    """Runs `code` in a fresh interpreter and returns the completed process."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


def random_tree(
    rng,
    names,
    max_children=2,
    single_child_prob=0.0,
    internal_name_prob=0.0,
    internal_names=None,
    min_children=2,
):
    """Random rooted tree over `names` (leaves) as nested lists; internal nodes
    are dicts {"children": [...], "name": str or None}."""
    nodes = [{"name": n, "children": []} for n in names]
    while len(nodes) > 1:
        k = rng.randint(min(min_children, len(nodes)), min(max_children, len(nodes)))
        picked = [nodes.pop(rng.randrange(len(nodes))) for _ in range(k)]
        parent = {"name": None, "children": picked}
        if internal_names and rng.random() < internal_name_prob:
            parent["name"] = rng.choice(internal_names)
        nodes.append(parent)
        if rng.random() < single_child_prob:
            nodes[-1] = {"name": None, "children": [nodes[-1]]}
    return nodes[0]


def to_newick(node):
    """Iterative writer, so deep trees do not hit Python's recursion limit."""
    out = []
    stack = [(node, 0)]
    while stack:
        n, state = stack.pop()
        if not n["children"]:
            out.append(n["name"] or "")
            continue
        if state == 0:
            out.append("(")
            stack.append((n, 1))
            for i, c in enumerate(reversed(n["children"])):
                stack.append((c, 0))
                if i < len(n["children"]) - 1:
                    stack.append(({"name": ",", "children": []}, 0))
        else:
            out.append(")" + (n["name"] or ""))
    return "".join(out) + ";"


def caterpillar(n, prefix="L"):
    """((((L0,L1),L2),L3)...): height n - 1."""
    parts = ["(" * (n - 1), f"{prefix}0"]
    for i in range(1, n):
        parts.append(f",{prefix}{i})")
    return "".join(parts) + ";"


def random_binary_newick(n, seed, prefix="t"):
    rng = random.Random(seed)
    return to_newick(random_tree(rng, [f"{prefix}{i}" for i in range(n)]))


def same_float(a, b):
    """The same value: zeros of another sign differ, any NaN equals any NaN."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def same_floats(got, want):
    return len(got) == len(want) and all(map(same_float, got, want))
