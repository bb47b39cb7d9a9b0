"""A sequence's length is only a hint: every sequence argument (the character
matrix, its rows, the state lists of internal-state dicts) converts as the
items it yields, whatever its __len__ claims, and a claim is never turned into
memory reserved ahead of the items.
"""

import signal

import pytest

import cladorix

TREE = "((A,B)x,(C,D)y)r;"
ROWS = [[1, 0, -1], [1, 2, 0], [0, 2, 3], [3, 0, 0]]
STATES = {"r": [0, 0, 0], "x": [1, 0, 0], "y": [0, 2, 0]}


class Claims:
    """Yields `items` (by index, as old-style sequences do) while its
    __len__ claims `claimed`."""

    def __init__(self, items, claimed):
        self.items = items
        self.claimed = claimed

    def __len__(self):
        return self.claimed

    def __getitem__(self, i):
        return self.items[i]  # IndexError past the last item ends iteration


# Each function with its arguments, built from a matrix and a states dict.
CALLS = {
    "parsimony_score": lambda m, s: cladorix.parsimony_score(TREE, m, s),
    "parsimony_p_value": lambda m, s: cladorix.parsimony_p_value(TREE, m, s, 0.2),
    "likelihood_score": lambda m, s: cladorix.likelihood_score(TREE, m, s),
    "likelihood_distance": lambda m, s: cladorix.likelihood_distance(TREE, TREE, m, s, s),
    "phs_optimized": lambda m, s: cladorix.phs_optimized(TREE, m, s, 0.1, 0.1),
}

# Where the lying sequence stands.
PLACES = {
    "matrix": lambda c: (Claims(ROWS, c), STATES),
    "row": lambda c: ([ROWS[0], Claims(ROWS[1], c)] + ROWS[2:], STATES),
    "state list": lambda c: (ROWS, {**STATES, "x": Claims(STATES["x"], c)}),
}


def without_time(result):
    return {k: v for k, v in result.items() if k != "computation_time_ms"}


@pytest.mark.parametrize("claimed", [2**62, 10**11, 2**31, 0])
@pytest.mark.parametrize("place", list(PLACES))
@pytest.mark.parametrize("function", list(CALLS))
def test_a_claimed_length_changes_nothing(function, place, claimed):
    call = CALLS[function]
    expected = without_time(call(ROWS, STATES))
    assert without_time(call(*PLACES[place](claimed))) == expected


def test_a_length_that_fails_is_ignored():
    class Refuses(Claims):
        def __len__(self):
            raise RuntimeError("no length")

    expected = without_time(cladorix.parsimony_score(TREE, ROWS, STATES))
    got = cladorix.parsimony_score(TREE, Refuses(ROWS, 0), {**STATES, "x": Refuses([1, 0, 0], 0)})
    assert without_time(got) == expected


def test_a_truly_huge_row_is_converted_item_by_item():
    # range(2**40) holds what it claims: its conversion runs (and is stopped
    # here by a timer) instead of failing at once for want of 4 TB.
    class Stop(Exception):
        pass

    def stop(signum, frame):
        raise Stop()

    previous = signal.signal(signal.SIGALRM, stop)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(Stop):
            cladorix.parsimony_score(TREE, [ROWS[0], range(2**40)], STATES)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
