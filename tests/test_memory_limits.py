"""Requests the process cannot hold are refused before any work, with a
MemoryError that says what they need and what is available under which limit;
counts that would wrap are refused, never taken as zero. The limits are those
of the process itself: a child run with a lowered RLIMIT_AS (`ulimit -v`)."""

import json
import os
import re

import numpy as np
import pytest

from helpers import run_python

GiB = 1 << 30

# AddressSanitizer reserves terabytes of address space for its shadow memory: a child that preloads it cannot
# start under a lowered RLIMIT_AS.
needs_plain_address_space = pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                                               reason="the sanitizer's shadow memory exceeds any RLIMIT_AS")

# Each request, with mu = -1 where the call takes one: a solve would fault, so a MemoryError proves that the
# refusal came before any of them.
OVERSIZED = {
    "lambert_izzo_vec": "orbelin.lambert_izzo_vec(r1, r2, np.linspace(3e3, 9e3, 3000), 1, False, mu=-1.0)",
    "lambert_izzo_best_dv": "orbelin.lambert_izzo_best_dv(s1, s2, np.linspace(3e3, 9e3, 3000), 0, mu=-1.0)",
    "tof_list": "orbelin.lambert_izzo_vec(r1[:1], r2[:1], as_strided(np.ones(1), (10**9,), (0,)), 0, False)",
    "nm_multi": "orbelin.optimize_lambert_nm_multi_py(leo, geo, (0., 86400.), 0, False, 25 * 10**7, True, mu=-1.0)",
    "nm_multi_all_rows": "orbelin.optimize_lambert_nm_multi_py(leo, geo, (0., 86400.), 0, False, 10**7, False, mu=-1.0)",
    "sunline": "orbelin.optimize_lambert_nm_multi_sunline_py(leo, geo, (0., 86400.), 0, False, 25 * 10**7, True, "
               "0.0, 0.0, mu=-1.0)",
    "pairs": "orbelin.optimize_lambert_nm_multi_array(s1, s2, (0., 86400.), 0, False, 4, True, mu=-1.0)",
    "pair_starts": "orbelin.optimize_lambert_nm_multi_array(leo, geo, (0., 86400.), 0, False, 10**9, True, mu=-1.0)",
    "grid": "orbelin.optimize_lambert_transfer_grid_py(leo, geo, (0., 86400.), 8.64, mu=-1.0)",
    "grid_search": "orbelin.lambert_grid_search(leo, geo, (0., 86400.), 8.64, mu=-1.0)",
}

SUBJECTS = {
    "lambert_izzo_vec": "lambert_izzo_vec: the result of 30000000 cases with 1 solution slot",
    "lambert_izzo_best_dv": "lambert_izzo_best_dv: the result of 30000000 cases with 1 solution slot",
    "tof_list": "the list of 1000000000 times of flight",
    "nm_multi": "optimize_lambert_nm_multi_py: a search from 250000000 starts",
    "nm_multi_all_rows": "optimize_lambert_nm_multi_py: a search from 10000000 starts with a result row each",
    "sunline": "optimize_lambert_nm_multi_sunline_py: a search from 250000000 starts",
    "pairs": "optimize_lambert_nm_multi_array: the search of 100000000 pairs (10000 source states x 10000 target "
             "states) from 4 starts each",
    "pair_starts": "optimize_lambert_nm_multi_array: the search of 1 pair (1 source state x 1 target state) "
                   "from 1000000000 starts each",
    "grid": "the grid of time_bounds (0, 86400) with dt_step 8.64 has about 5e+07 cells of ",
    "grid_search": "the grid of time_bounds (0, 86400) with dt_step 8.64 has about 5e+07 cells of ",
}

CHILD = """
    import json, time
    import numpy as np
    from numpy.lib.stride_tricks import as_strided
    import orbelin
    leo = np.array([7000., 0, 0, 0, 7.546, 0])
    geo = np.array([0., 42164, 0, -3.0747, 0, 0])
    s1, s2 = np.tile(leo, (10**4, 1)), np.tile(geo, (10**4, 1))
    r1, r2 = np.ascontiguousarray(s1[:, :3]), np.ascontiguousarray(s2[:, :3])
    out = {}
    for name, call in json.loads(%r).items():
        start = time.perf_counter()
        try:
            eval(call)
            out[name] = ["no error", "", 0.0]
        except BaseException as e:
            out[name] = [type(e).__name__, str(e), time.perf_counter() - start]
    print(json.dumps(out))
"""


@pytest.fixture(scope="module")
def refusals():
    return json.loads(run_python(CHILD % json.dumps(OVERSIZED), address_space=2 * GiB))


@needs_plain_address_space
@pytest.mark.parametrize("name", OVERSIZED)
def test_a_request_beyond_the_address_space_limit_is_refused_at_once(refusals, name):
    kind, message, _seconds = refusals[name]
    assert kind == "MemoryError", message
    assert message.startswith(SUBJECTS[name])
    match = re.search(r" needs (\S+) bytes, more than the (\S+) bytes this process may "
                      r"still use: its address-space limit \(RLIMIT_AS\), less the address space it already maps$",
                      message)
    assert match, message
    needed, available = float(match[1]), float(match[2])
    assert available < 2 * GiB < needed


@pytest.mark.parametrize("num_solvers", [0, 4])
def test_pairs_beyond_a_64_bit_count_are_refused(tmp_path, num_solvers):
    # 2^32 x 2^32 pairs would wrap to 0 in 64 bits. A sparse file stands for the 2^32 states of each batch.
    path = tmp_path / "states"
    try:
        with open(path, "wb") as f:
            f.truncate(2**32 * 48)
    except OSError:
        pytest.skip("no sparse files here")
    states = np.memmap(path, dtype=np.float64, mode="r", shape=(2**32, 6))
    import orbelin
    with pytest.raises(ValueError) as ei:
        orbelin.optimize_lambert_nm_multi_array(states, states, (0.0, 86400.0), 0, False, num_solvers, True)
    assert str(ei.value) == ("optimize_lambert_nm_multi_array: 4294967296 source states and 4294967296 target "
                             "states make more pairs than a 64-bit count holds")


POOL = """
    try:
        import orbelin
    except ImportError as e:
        print(e)
"""


@needs_plain_address_space
def test_a_pool_whose_threads_cannot_start_fails_the_import():
    # 4095 default-sized thread stacks do not fit in 1 GiB of address space.
    out = run_python(POOL, {"ORBELIN_NUM_THREADS": "4096", "OPENBLAS_NUM_THREADS": "1"}, address_space=GiB)
    assert re.fullmatch(r"orbelin could not start its worker pool: worker thread \d+ of 4095: .+ \(the pool's size "
                        r"comes from ORBELIN_NUM_THREADS: a smaller value needs fewer threads\)", out), out


SPARE = """
    import resource
    import numpy as np
    import orbelin

    def mapped():
        return next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize"))

    # One case of some thirty revolutions widens the rows of all 25,000 to 61 slots: about 240 MB of result.
    n = 25_000
    r1, r2 = np.tile([4.2e5, 0.0, 0.0], (n, 1)), np.tile([0.0, 4.2e5, 0.0], (n, 1))
    r1[0], r2[0] = [7000.0, 0.0, 0.0], [0.0, 7000.0, 0.0]
    result = orbelin.lambert_izzo_vec(r1, r2, 2e5, 30, False)
    size = sum(getattr(result, name).nbytes for name in ("v1", "v2", "tof", "sma", "ecc"))
    del result
    # The freed result's memory stays mapped for the next one; it must count as the next call's to have.
    resource.setrlimit(resource.RLIMIT_AS, (mapped() + size // 2, resource.getrlimit(resource.RLIMIT_AS)[1]))
    again = orbelin.lambert_izzo_vec(r1, r2, 2e5, 30, False)
    print(again.v1.shape)
"""


@needs_plain_address_space
def test_a_freed_result_kept_for_reuse_does_not_count_against_the_next():
    assert run_python(SPARE) == "(25000, 61, 3)"
