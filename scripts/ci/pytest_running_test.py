"""A pytest plugin for the sanitizer jobs (-p pytest_running_test): the id of
the test in progress is kept in the file $CLADORIX_RUNNING_TEST, emptied when
the test ends, so a job whose test process a sanitizer ended can name it."""

import os

_PATH = os.environ.get("CLADORIX_RUNNING_TEST")


def _note(text):
    if _PATH:
        with open(_PATH, "w") as f:
            f.write(text)


def pytest_runtest_logstart(nodeid, location):
    _note(nodeid + "\n")


def pytest_runtest_logfinish(nodeid, location):
    _note("")
