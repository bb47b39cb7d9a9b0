"""PanicException crosses process boundaries: plain pickle, a fresh
interpreter that never imported cladorix, and a process pool."""

import concurrent.futures
import multiprocessing
import pickle

import pytest
from helpers import is_panic, run_python

import cladorix

UNNAMED = ("(A,B);", "(,);")  # an unnamed leaf: Robinson-Foulds fails internally


def raised_panic():
    with pytest.raises(BaseException) as info:
        cladorix.robinson_foulds_distance(*UNNAMED)
    assert is_panic(info.value)
    return info.value


class DerivedPanic(type(raised_panic())):
    """A caller's subclass keeps its own type through pickle."""


class TestRoundTrip:
    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_same_class_and_message(self, protocol):
        exc = raised_panic()
        back = pickle.loads(pickle.dumps(exc, protocol))
        assert type(back) is type(exc)
        assert back.args == exc.args and str(back) == str(exc)
        assert "needs every leaf to be named" in str(back)

    def test_class_stays_as_declared(self):
        cls = type(raised_panic())
        assert (cls.__module__, cls.__name__) == ("pyo3_runtime", "PanicException")
        assert cls.__bases__ == (BaseException,)
        assert not issubclass(cls, Exception)

    def test_instance_state_and_any_arguments(self):
        cls = type(raised_panic())
        exc = cls("first", 2)
        exc.detail = {"pair": 7}
        back = pickle.loads(pickle.dumps(exc))
        assert type(back) is cls and back.args == ("first", 2) and back.detail == {"pair": 7}
        assert pickle.loads(pickle.dumps(cls())).args == ()

    def test_subclass_pickles_as_itself(self):
        back = pickle.loads(pickle.dumps(DerivedPanic("x")))
        assert type(back) is DerivedPanic and back.args == ("x",)

    def test_restorer_is_kept_out_of_all(self):
        assert "_restore_panic_exception" not in cladorix.__all__
        assert cladorix._restore_panic_exception("m").args == ("m",)


def test_unpickles_in_a_process_that_never_imported_cladorix():
    data = pickle.dumps(raised_panic())
    proc = run_python(
        f"""
        import pickle, sys
        assert "cladorix" not in sys.modules
        exc = pickle.loads({data!r})
        import cladorix
        try:
            cladorix.robinson_foulds_distance{UNNAMED!r}
        except BaseException as e:
            fresh = e
        assert type(exc) is type(fresh), (type(exc), type(fresh))
        cls = type(exc)
        print(cls.__module__, cls.__name__, cls.__bases__[0].__name__)
        print(exc.args[0] == fresh.args[0], exc.args[0])
        """
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == "pyo3_runtime PanicException BaseException"
    assert lines[1].startswith("True ") and "needs every leaf to be named" in lines[1]


def test_process_pool_returns_the_failure_and_stays_usable():
    # spawn: the workers start without cladorix, as on platforms without fork.
    ctx = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=2, mp_context=ctx) as pool:
        bad = pool.submit(cladorix.robinson_foulds_distance, *UNNAMED)
        good = pool.submit(cladorix.robinson_foulds_distance, "((A,B),C);", "((A,C),B);")
        with pytest.raises(BaseException) as info:
            bad.result(timeout=120)
        assert type(info.value) is type(raised_panic())
        assert "needs every leaf to be named" in str(info.value)
        assert good.result(timeout=120)["rf_distance"] == 0
        again = pool.submit(cladorix.robinson_foulds_distance, "(A,B);", "(A,B);")
        assert again.result(timeout=120)["rf_distance"] == 0
