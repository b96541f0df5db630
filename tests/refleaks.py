"""A pytest plugin that hunts reference leaks on a debug build of CPython, the
way `regrtest -R 3:3` does: each test runs WARMUPS times to fill caches, free
lists and interned strings, then RUNS more times with the interpreter's totals
taken after each. A test whose every measured run left more references
(sys.gettotalrefcount) or more memory blocks (sys.getallocatedblocks) behind
fails, naming the growth per run. Load it with `-p tests.refleaks`.
"""

import functools
import gc
import re
import sys

import pytest

WARMUPS = 3
RUNS = 3


def pytest_configure(config):
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("refleaks needs a debug build of CPython (sys.gettotalrefcount)")
    # Hypothesis looks for referrers of its generator with gc.get_referrers,
    # which doesn't see frozen objects (below), and then warns of a mistake.
    config.addinivalue_line("filterwarnings", "ignore:It looks like `register_random`")
    try:
        from hypothesis import settings
    except ImportError:
        return
    # Every run draws the same examples, so runs compare like with like.
    settings.register_profile("refleaks", database=None, derandomize=True)
    settings.load_profile("refleaks")
    # Hypothesis saves and restores NumPy's global generator around every
    # example once NumPy is imported. NumPy's wheels are release builds, whose
    # inline reference counting the debug interpreter's total doesn't see, so
    # that alone reads as thousands of references per example. No test draws
    # from that generator: a placeholder tells Hypothesis it is already managed.
    from hypothesis.internal import entropy
    if getattr(entropy, "NP_RANDOM", None) is None:
        entropy.NP_RANDOM = object()


def pytest_collection_finish(session):
    # What exists once the tests are collected stays: the collector stops
    # scanning it, so each measurement costs microseconds rather than seconds.
    gc.collect()
    gc.freeze()


def totals():
    """References and memory blocks held now, after the collector and the caches
    the interpreter keeps on its own account have let go of what they can."""
    re.purge()
    sys._clear_internal_caches()
    for _ in range(3):
        gc.collect()
    # Strings interned during a run live until the interpreter ends: not a leak.
    immortal = sys.getunicodeinternedsize(_only_immortal=True)
    return sys.gettotalrefcount(), sys.getallocatedblocks() - immortal


def leaks(name, refs, blocks):
    """The failure text when every measured run grew, else None."""
    grown = [
        f"{what} grew by {growth[WARMUPS:]} per run"
        for what, growth in (("references", refs), ("memory blocks", blocks))
        if all(g >= 1 for g in growth[WARMUPS:])
    ]
    return f"{name} leaks: " + "; ".join(grown) if grown else None


def repeated(test, name):
    @functools.wraps(test)
    def run(*args, **kwargs):
        # Filled in place: growing a list here would itself count as growth.
        refs, blocks = [0] * (WARMUPS + RUNS), [0] * (WARMUPS + RUNS)
        refs_before, blocks_before = totals()
        for i in range(WARMUPS + RUNS):
            test(*args, **kwargs)
            refs_after, blocks_after = totals()
            refs[i], blocks[i] = refs_after - refs_before, blocks_after - blocks_before
            refs_before, blocks_before = refs_after, blocks_after
        if failure := leaks(name, refs, blocks):
            pytest.fail(failure, pytrace=False)
    return run


@pytest.hookimpl(hookwrapper=True)
def pytest_pyfunc_call(pyfuncitem):
    test = pyfuncitem.obj
    pyfuncitem.obj = repeated(test, pyfuncitem.nodeid)
    try:
        yield
    finally:
        pyfuncitem.obj = test


def pytest_terminal_summary(terminalreporter):
    terminalreporter.write_line(f"refleaks: every test ran {WARMUPS} warm-up and {RUNS} measured times")
