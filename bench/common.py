"""Shared pieces of the benchmarks: tree generators and a runner that measures
one case in a fresh interpreter (time and peak resident memory)."""
import json
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
    while len(pool) > 1:
        a = pool.pop(rng.randrange(len(pool)))
        b = pool.pop(rng.randrange(len(pool)))
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


def measure(code, setup="", env=None, timeout=3600):
    """Runs `setup`, then times `code` once in a fresh interpreter. `code` must
    assign `result`. Returns dict(seconds, peak_mb, result)."""
    program = textwrap.dedent(setup) + "\n" + textwrap.dedent(
        """
        import json as _json, time as _time
        _t0 = _time.perf_counter()
        """
    ) + textwrap.dedent(code) + textwrap.dedent(
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
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, env=full_env,
                          timeout=timeout, cwd=HERE)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr)
    line = [ln for ln in proc.stdout.splitlines() if ln.startswith("@@")][-1]
    return json.loads(line[2:])


def table(rows, headers):
    widths = [max(len(str(h)), *(len(str(r[i])) for r in rows)) for i, h in enumerate(headers)]
    fmt = "  ".join("{:<%d}" % w for w in widths)
    print(fmt.format(*headers))
    for r in rows:
        print(fmt.format(*r))
