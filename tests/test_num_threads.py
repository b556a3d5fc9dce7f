"""ORBELIN_NUM_THREADS: the total number of threads a call uses, the calling
thread included, read once when the module is imported. Every case runs in a
child process, since the pool of this process was built at its import."""

import os
import shutil

import pytest

from helpers import count_pool_workers, run_python


@pytest.mark.parametrize("value, workers", [("1", 0), ("2", 1), ("4", 3), ("16", 15), (" 3\n", 2)])
def test_the_pool_gets_one_thread_fewer_than_the_setting(value, workers):
    assert count_pool_workers({"ORBELIN_NUM_THREADS": value}) == workers


@pytest.mark.parametrize("value", ["", "  "])
def test_an_empty_setting_keeps_the_default(value):
    assert count_pool_workers({"ORBELIN_NUM_THREADS": value}) == count_pool_workers()


@pytest.mark.skipif(shutil.which("taskset") is None, reason="needs taskset")
def test_the_setting_overrides_the_cpu_count():
    assert count_pool_workers({"ORBELIN_NUM_THREADS": "3"}, cpus="0") == 2


IMPORT_ERROR = """
    try:
        import orbelin
    except ValueError as e:
        print(str(e))
"""


@pytest.mark.parametrize("value, shown", [
    ("0", "'0'"),
    ("-2", "'-2'"),
    ("abc", "'abc'"),
    ("1.5", "'1.5'"),
    ("+3", "'+3'"),
    ("4097", "'4097'"),
    ("2 threads", "'2 threads'"),
    ("\u00e9", r"'\xc3\xa9'"),
])
def test_a_bad_setting_makes_the_import_fail(value, shown):
    out = run_python(IMPORT_ERROR, {"ORBELIN_NUM_THREADS": value})
    assert out == f"ORBELIN_NUM_THREADS must be a whole number of threads from 1 to 4096, got {shown}"


DIGEST = """
    import hashlib
    import numpy as np
    import orbelin
    rng = np.random.default_rng(11)
    n = 3000
    def states():
        d = rng.normal(size=(n, 3)); d /= np.linalg.norm(d, axis=1)[:, None]
        r = rng.uniform(6700, 42000, n)[:, None] * d
        t = np.cross(r, rng.normal(size=(n, 3))); t /= np.linalg.norm(t, axis=1)[:, None]
        return np.concatenate([r, np.sqrt(398600.4418 / np.linalg.norm(r, axis=1))[:, None] * t], axis=1)
    s1, s2 = states(), states()
    out = hashlib.sha256()
    for a in orbelin.lambert_izzo_best_dv(s1, s2, [3000.0, 30000.0], 2):
        out.update(a.tobytes())
    r1, r2 = np.ascontiguousarray(s1[:, :3]), np.ascontiguousarray(s2[:, :3])
    sol = orbelin.lambert_izzo_vec(r1, r2, 20000.0, 2, False)
    for name in ("v1", "v2", "num_revs", "sma", "ta_arrive"):
        out.update(getattr(sol, name).tobytes())
    for a in orbelin.lambert_izzo_vec_dv(s1, s2, 20000.0, 2, True):
        out.update(a.tobytes())
    out.update(orbelin.kepler_universal_2body_vec(s1, rng.uniform(-9000.0, 9000.0, n)).tobytes())
    grid = orbelin.lambert_grid_search(s1[0], s2[0], (0.0, 40000.0), 500.0, max_rev=1)
    for name in ("t0", "cost", "dv1", "dv2", "ecc", "ta_depart"):
        out.update(getattr(grid, name).tobytes())
    print(out.hexdigest())
"""


def test_results_are_the_same_with_the_caller_alone_and_with_a_pool():
    alone = run_python(DIGEST, {"ORBELIN_NUM_THREADS": "1"})
    assert len(alone) == 64
    assert run_python(DIGEST, {"ORBELIN_NUM_THREADS": "3"}) == alone
    assert run_python(DIGEST) == alone
