"""Interrupting calls: Ctrl-C (SIGINT), or any signal whose handler raises,
ends a long call of every function with that exception, leaves the worker
pool ready and leaks nothing.

Each case runs in an interpreter of its own, and the signal comes from this
process, as a terminal's Ctrl-C would: a call that ignored it would run for
hours (or exhaust the child's memory), so the child is killed after a
generous time and the case fails. The measured delay between the signal and
the end of the call is printed (run with -s to see it); it is meant to stay
well under half a second, but no test asserts a tight bound.
"""

import json
import os
import queue
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from helpers import asan_loaded

import cladorix

HERE = os.path.dirname(os.path.abspath(__file__))

DELAY = 0.3  # seconds between the start of the call and the signal (a case may set less)
MIN_WHOLE_CALL = 0.25  # seconds a finite case must run for a signal to land inside it
LIMIT = 10.0  # seconds from the signal to the end of the call before a case fails
SETUP_LIMIT = 300.0  # building the inputs in the child

# Input builders every child has.
PRELUDE = textwrap.dedent(
    """
    import gc, json, os, random, resource, signal, sys, time
    import cladorix

    def caterpillar(n):
        return "(" * (n - 1) + "L0" + "".join(f",L{i})" for i in range(1, n)) + ";"

    def mirror(n):
        # The same leaves in the same order, nested the other way.
        return "".join(f"(L{i}," for i in range(n - 1)) + f"L{n - 1}" + ")" * (n - 1) + ";"

    def named_balanced(n, sites):
        # A balanced tree whose internal nodes are named, with every one of
        # them unedited at every site: all pairs of leaves are compared.
        nodes, k = [f"L{i}" for i in range(n)], 0
        while len(nodes) > 1:
            paired = []
            for i in range(0, len(nodes) - 1, 2):
                k += 1
                paired.append(f"({nodes[i]},{nodes[i + 1]})n{k}")
            if len(nodes) % 2:
                paired.append(nodes[-1])
            nodes = paired
        return nodes[0] + ";", {f"n{i}": [0] * sites for i in range(1, k + 1)}

    def edited_rows(n, sites, seed=5):
        rng = random.Random(seed)
        rows = [[rng.randint(-1, 30) for _ in range(sites)] for _ in range(997)]
        return [rows[i % 997] for i in range(n)]

    class Endless:
        # A sequence that computes its items in Python, claiming 10**12 of them.
        def __init__(self, item):
            self.item = item
        def __len__(self):
            return 10**12
        def __getitem__(self, i):
            if i >= 10**12:
                raise IndexError(i)
            return self.item
    """
)

# Per function, inputs on which a call would run far longer than LIMIT, or
# would exhaust the memory the child allows itself (HEADROOM_GB beyond what
# the inputs take; a conversion that ignored the signal ends in MemoryError).
# Inputs whose whole call is only seconds long are marked FINITE: the child
# times one whole call first, and an interrupted one must end far sooner (a
# shorter one sets the signal's DELAY lower).
# Each setup defines `call`.
CASES = {
    "triplets_correct": {
        "endless trials": "t = caterpillar(1000)\n"
        "call = lambda: cladorix.triplets_correct(t, mirror(1000), 2**63 - 1, seed=1)",
    },
    "triplets_correct_fast": {
        "endless trials": "t = caterpillar(1000)\n"
        "call = lambda: cladorix.triplets_correct_fast(t, t, 2**63 - 1, seed=1)",
    },
    "triplets_correct_ultra": {
        "sampling": "a, b = caterpillar(100_000), mirror(100_000)\n"
        "call = lambda: cladorix.triplets_correct_ultra(a, b, 10**13, seed=1)",
        "counting": "a, b = caterpillar(150_000), mirror(150_000)\n"
        "call = lambda: cladorix.triplets_correct_ultra(a, b, 2**64 - 1)",
    },
    "triplets_correct_parallel": {
        "sampling in chunks": "a, b = caterpillar(100_000), mirror(100_000)\n"
        "call = lambda: cladorix.triplets_correct_parallel(a, b, 10**13, seed=1)",
        "counting in pieces": "a, b = caterpillar(150_000), mirror(150_000)\n"
        "call = lambda: cladorix.triplets_correct_parallel(a, b, 2**64 - 1)",
    },
    "triplets_correct_optimized": {
        "sampling in chunks": "a, b = caterpillar(100_000), mirror(100_000)\n"
        "call = lambda: cladorix.triplets_correct_optimized(a, b, 10**13, seed=1)",
        "counting in pieces": "a, b = caterpillar(150_000), mirror(150_000)\n"
        "call = lambda: cladorix.triplets_correct_optimized(a, b, 2**64 - 1)",
    },
    "triplets_correct_exact": {
        "large trees": "FINITE = True\n"
        "a, b = caterpillar(3_000_000), mirror(3_000_000)\n"
        "call = lambda: cladorix.triplets_correct_exact(a, b)",
    },
    "phs_optimized": {
        "pair counting": "t, states = named_balanced(60_000, 100)\n"
        "m = edited_rows(60_000, 100)\n"
        "call = lambda: cladorix.phs_optimized(t, m, states)",
        "an endless row": "HEADROOM_GB = 1\n"
        "m = [[1, 2], range(2**40)]\n"
        "call = lambda: cladorix.phs_optimized('(A,B)r;', m, {'r': [0, 0]})",
    },
    "robinson_foulds_distance": {
        "large trees": "FINITE = True\n"
        "DELAY = 0.1\n"
        "a, b = caterpillar(4_000_000), mirror(4_000_000)\n"
        "call = lambda: cladorix.robinson_foulds_distance(a, b)",
    },
    "robinson_foulds_distance_normalized": {
        "large trees": "FINITE = True\n"
        "DELAY = 0.1\n"
        "a, b = caterpillar(4_000_000), mirror(4_000_000)\n"
        "call = lambda: cladorix.robinson_foulds_distance_normalized(a, b)",
    },
    "parsimony_score": {
        "a huge list of rows": "HEADROOM_GB = 1\n"
        "m = [list(range(50))] * 10_000_000\n"
        "call = lambda: cladorix.parsimony_score('(A,B);', m)",
        # Rows and matrix each too short to reach a poll of their own.
        "rows just short of a poll stride": (
            "HEADROOM_GB = 1\n"
            "m = [[0, 1]] + [list(range(65_535))] * 60_000\n"
            "call = lambda: cladorix.parsimony_score('(A,B);', m)"
        ),
    },
    "parsimony_p_value": {
        "an endless row": "HEADROOM_GB = 1\n"
        "m = [[0, 1], range(2**40)]\n"
        "call = lambda: cladorix.parsimony_p_value('(A,B);', m)",
    },
    "likelihood_score": {
        # Every state list too short to reach a poll of its own.
        "a states dict of many entries": (
            "HEADROOM_GB = 1\n"
            "shared = list(range(65_535))\n"
            "d = {f'n{i}': shared for i in range(60_000)}\n"
            "call = lambda: cladorix.likelihood_score('(A,B)n1;', [[1], [1]], d)"
        ),
    },
    "likelihood_distance": {
        "rows computed in Python": (
            "m = Endless([1, 2, 3])\n"
            "call = lambda: cladorix.likelihood_distance('(A,B);', '(A,B);', m)"
        ),
    },
    "leaf_names": {
        "a huge text": "FINITE = True\n"
        "DELAY = 0.15\n"
        "t = caterpillar(5_000_000)\n"
        "call = lambda: cladorix.leaf_names(t)",
    },
    "compare_to_reference": {
        "many large trees": "a, b = caterpillar(200_000), mirror(200_000)\n"
        "call = lambda: cladorix.compare_to_reference(a, [b] * 1000)",
        "trees computed in Python": "a = caterpillar(100)\n"
        "call = lambda: cladorix.compare_to_reference(a, (mirror(100) for _ in iter(int, 1)))",
    },
    "compare_all_pairs": {
        "many pairs": "trees = [caterpillar(50_000), mirror(50_000)] * 30\n"
        "call = lambda: cladorix.compare_all_pairs(trees, ('rf', 'triplets_exact'))",
    },
    "cut_events": {
        "a deep tree, rows by name": "FINITE = True\n"
        "DELAY = 0.15\n"
        "n = 2_000_000\n"
        "t, names = caterpillar(n), [f'L{i}' for i in range(n)]\n"
        "m = edited_rows(n, 20)\n"
        "call = lambda: cladorix.cut_events(t, m, cell_names=names)",
    },
    # Zero bytes are one endless label: read on, the call ends in MemoryError.
    "read_trees": {
        "an endless file": "HEADROOM_GB = 2\ncall = lambda: cladorix.read_trees('/dev/zero')",
    },
    "iter_trees": {
        "a huge tree": "FINITE = True\n"
        "import tempfile\n"
        "folder = tempfile.TemporaryDirectory()\n"
        "path = os.path.join(folder.name, 'huge.nwk')\n"
        "with open(path, 'w') as f:\n"
        "    f.write('[&R] (' + ','.join(f\"'leaf {i}'[&&NHX:S=x]:1\" for i in range(6_000_000)) + ');')\n"
        "call = lambda: list(cladorix.iter_trees(path))",
    },
    "read_tree": {
        "a gzip stream of a gigabyte": "HEADROOM_GB = 2\n"
        "import gzip, tempfile\n"
        "folder = tempfile.TemporaryDirectory()\n"
        "path = os.path.join(folder.name, 'zeros.nwk.gz')\n"
        "with gzip.open(path, 'wb', compresslevel=1) as f:\n"
        "    block = bytes(1 << 26)\n"
        "    for _ in range(16):\n"
        "        f.write(block)\n"
        "call = lambda: cladorix.read_tree(path)",
    },
}

# A pooled call whose answer the child takes before the interrupted calls and
# compares after them.
POOL_PROBE = "cladorix.triplets_correct_optimized(caterpillar(3000), mirror(3000), 2**64 - 1)"

# Runs after the case's setup: one call ended by the default SIGINT handler,
# one by a handler that raises its own exception, then the pool probe.
CHILD_MAIN = textwrap.dedent(
    """
    class Custom(Exception):
        pass

    def raise_custom(signum, frame):
        raise Custom()

    probe = lambda: {probe}
    expected = probe()
    # The interpreter runs a pending handler as soon as a call returns, so a
    # call that ends soon by itself would seem interrupted: time it whole.
    whole_call = None
    if globals().get("FINITE"):
        start = time.monotonic()
        call()
        whole_call = time.monotonic() - start
    # A call that ignored the signal must fail by exhausting memory, not the machine.
    with open("/proc/self/statm") as f:
        mapped = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    headroom = int(globals().get("HEADROOM_GB", 6) * (1 << 30))
    resource.setrlimit(resource.RLIMIT_AS, (mapped + headroom, resource.RLIM_INFINITY))
    print(json.dumps({{"whole_call": whole_call, "delay": globals().get("DELAY", {delay})}}),
          flush=True)
    for handler in (signal.default_int_handler, raise_custom):
        signal.signal(signal.SIGINT, handler)
        print("go", flush=True)
        start = time.monotonic()
        try:
            call()
            raised = None
        except BaseException as e:
            raised = type(e).__name__
        end = time.monotonic()
        print(json.dumps({{"raised": raised, "end": end, "ran": end - start}}), flush=True)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    print(json.dumps({{"pool_ready": probe() == expected}}), flush=True)
    """
)


class Child:
    """An interpreter running `code`, read line by line with deadlines."""

    def __init__(self, code, env=None):
        full_env = dict(os.environ)
        full_env.update(env or {})
        self.proc = subprocess.Popen(
            [sys.executable, "-c", code],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            cwd=HERE,
            env=full_env,
        )
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def next_line(self, timeout, waiting_for):
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            self.proc.kill()
            pytest.fail(f"no {waiting_for} within {timeout:.0f} s: the call did not stop")
        if line is None:
            self.proc.wait()
            pytest.fail(f"child ended before {waiting_for}: {self.proc.stderr.read()[-2000:]}")
        return line

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()


def case_params():
    for function, cases in CASES.items():
        for name in cases:
            marks = []
            if not hasattr(cladorix, function):
                marks.append(pytest.mark.skip(reason=f"cladorix has no {function} yet"))
            yield pytest.param(
                function, name, id=f"{function}-{name.replace(' ', '_')}", marks=marks
            )


def test_every_function_has_interrupt_cases():
    assert set(cladorix.__all__) <= set(CASES)


@pytest.mark.parametrize("function,case", list(case_params()))
def test_a_signal_ends_the_call_with_the_handlers_exception(function, case):
    code = PRELUDE + CASES[function][case] + "\n" + CHILD_MAIN.format(probe=POOL_PROBE, delay=DELAY)
    # More workers than this machine may have cores: sampling and counting go
    # to the pool in several chunks whatever the machine.
    child = Child(code, env={"RAYON_NUM_THREADS": "4"})
    try:
        ready = json.loads(child.next_line(SETUP_LIMIT, "the inputs"))
        whole_call, delay = ready["whole_call"], ready["delay"]
        if whole_call is not None:
            print(f"\n{function} [{case}]: {whole_call:.2f} s without a signal")
            assert whole_call > MIN_WHOLE_CALL, "the input is too small to tell"
            # A faster machine ends the whole call sooner: signal well before its end.
            delay = min(delay, whole_call / 6)
        for expected in ("KeyboardInterrupt", "Custom"):
            assert child.next_line(LIMIT, "the call") == "go"
            time.sleep(delay)
            sent = time.monotonic()
            child.proc.send_signal(signal.SIGINT)
            out = json.loads(child.next_line(LIMIT, f"the end of the call ({expected})"))
            assert out["raised"] is not None, (
                f"the call returned after {out['ran']:.2f} s without seeing the signal"
            )
            latency = out["end"] - sent
            print(
                f"\n{function} [{case}]: {out['raised']} {latency * 1000:.1f} ms after the signal"
            )
            assert out["raised"] == expected
            assert latency < LIMIT
            if whole_call is not None:
                # Stopped, not run to its end: far sooner than a whole call.
                assert out["ran"] < whole_call / 2
        assert json.loads(child.next_line(120, "the pooled call after the interruptions")) == {
            "pool_ready": True
        }
        assert child.proc.wait(timeout=60) == 0
    finally:
        child.close()


def test_interrupted_calls_leak_nothing():
    # A timer signal whose handler raises stops every call part-way: in the
    # conversion of a large matrix, in the computation, in the pool.
    code = PRELUDE + textwrap.dedent(
        """
        import ctypes

        class Stop(Exception):
            pass

        def stop(signum, frame):
            raise Stop()

        signal.signal(signal.SIGALRM, stop)
        a, b = caterpillar(20_000), mirror(20_000)
        t = caterpillar(300_000)
        m = [list(range(40))] * 300_000
        calls = [
            lambda: cladorix.read_trees("/dev/zero"),
            lambda: cladorix.parsimony_score(t, m),
            lambda: cladorix.likelihood_distance(t, t, m),
            lambda: cladorix.triplets_correct_parallel(a, b, 2**64 - 1),
            lambda: cladorix.triplets_correct(a, b, 2**63 - 1),
        ]

        def rss_mb():
            # Free pages the allocator still holds are not a leak: hand them back first.
            ctypes.CDLL("libc.so.6").malloc_trim(0)
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1]) / 1024

        def interrupted_round():
            stopped = 0
            for call in calls:
                signal.setitimer(signal.ITIMER_REAL, 0.03)
                try:
                    call()
                except Stop:
                    stopped += 1
                finally:
                    signal.setitimer(signal.ITIMER_REAL, 0)
            return stopped

        for _ in range(5):
            interrupted_round()
        gc.collect()
        rss0, objects0 = rss_mb(), len(gc.get_objects())
        stopped = sum(interrupted_round() for _ in range(40))
        gc.collect()
        print(json.dumps({"stopped": stopped, "rss_growth_mb": rss_mb() - rss0,
                          "object_growth": len(gc.get_objects()) - objects0}))
        """
    )
    proc = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, cwd=HERE, timeout=600
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    print(
        f"\n{out['stopped']} interrupted calls: resident size "
        f"{out['rss_growth_mb']:+.1f} MB, objects {out['object_growth']:+d}"
    )
    # Nearly every call is stopped part-way (one that ends before its timer
    # is harmless); each would leave megabytes behind if it leaked.
    assert out["stopped"] >= 190
    # ASan's allocator holds freed blocks in quarantine (up to 256 MB), so the
    # resident size says nothing there; its C++ run has LeakSanitizer on.
    if not asan_loaded():
        assert out["rss_growth_mb"] < 30
    assert out["object_growth"] < 100
