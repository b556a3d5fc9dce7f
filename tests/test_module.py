"""The module frame: registration, argument binding and conversion texts,
PanicException, one initialisation per process, and the worker pool (size,
nested use, forked children)."""

import ctypes
import inspect
import os
import shutil
import textwrap

import numpy as np
import pytest

import orbelin
from helpers import count_pool_workers, run_python

EXPECTED_NAMES = [
    "LambertSolutionArray",
    "LambertBurnArray",
    "LambertPorkchopArray",
    "lambert_izzo_single",
    "lambert_izzo_vec",
    "lambert_izzo_vec_dv",
    "kepler_universal_2body_py",
    "kepler_universal_2body_vec",
    "optimize_lambert_transfer_py",
    "optimize_lambert_transfer_grid_py",
    "lambert_grid_search",
    "lambert_porkchop",
    "optimize_lambert_nm_py",
    "optimize_lambert_nm_multi_py",
    "optimize_lambert_nm_multi_array",
    "optimize_lambert_nm_multi_sunline_py",
    "lambert_izzo_best_dv",
    "lambert_izzo_jacobian",
    "compute_angular_vel_rad_p_sec",
    "dcm_eci2ric",
    "dcm_ric2eci",
    "eci2ric_state",
    "ric2eci_state",
    "eci2ric_vec",
    "ric2eci_vec",
    "apply_ric_waypoint_offset",
    "compute_sun_state_jd",
    "compute_sun_state_posix",
    "rv2coe",
    "coe2rv",
]

NM_MULTI_SIGNATURE = (
    "(source_state, target_state, time_bounds, max_rev, optimize_rendezvous, num_solvers, return_best_only, "
    "mu=..., remove_duplicates=..., max_iters=..., ric_waypoint=...)"
)

SIGNATURES = {
    "lambert_izzo_single": "(r1, r2, tof, max_rev, retrograde, mu=..., tol=..., maxiter=..., reentry_check=...)",
    "lambert_izzo_vec": "(r1, r2, tof, max_rev, retrograde, mu=..., tol=..., maxiter=..., reentry_check=...)",
    "lambert_izzo_vec_dv": "(s1, s2, tof, max_rev, retrograde, mu=..., tol=..., maxiter=..., reentry_check=...)",
    "kepler_universal_2body_py": "(init_state_vec, dt_sec, mu=...)",
    "kepler_universal_2body_vec": "(states, dt, mu=...)",
    "optimize_lambert_transfer_py": "(source_state, target_state, time_bounds, dt_step, mu=..., retrograde=...)",
    "optimize_lambert_transfer_grid_py": "(source_state, target_state, time_bounds, dt_step, mu=..., retrograde=...)",
    "lambert_grid_search": (
        "(source_state, target_state, time_bounds, dt_step, max_rev=..., mu=..., tol=..., maxiter=..., rendezvous=...)"
    ),
    "lambert_porkchop": (
        "(departure_states, arrival_states, departure_times, arrival_times, max_rev=..., mu=..., rendezvous=..., "
        "tol=..., maxiter=...)"
    ),
    "optimize_lambert_nm_py": (
        "(source_state, target_state, time_bounds, max_rev, optimize_rendezvous, mu=..., max_iters=..., "
        "initial_guess=..., ric_waypoint=...)"
    ),
    "optimize_lambert_nm_multi_py": NM_MULTI_SIGNATURE,
    "optimize_lambert_nm_multi_array": NM_MULTI_SIGNATURE,
    "optimize_lambert_nm_multi_sunline_py": (
        "(source_state, target_state, time_bounds, max_rev, optimize_rendezvous, num_solvers, return_best_only, "
        "sun_vector_offset_km, t0_ref, mu=..., remove_duplicates=..., max_iters=...)"
    ),
    "lambert_izzo_best_dv": "(s1, s2, tof, max_rev, mu=..., tol=..., maxiter=..., rendezvous=..., reentry_check=...)",
    "lambert_izzo_jacobian": "(r1, r2, tof, max_rev, retrograde, mu=..., tol=..., maxiter=...)",
    "compute_angular_vel_rad_p_sec": "(input_state)",
    "dcm_eci2ric": "(ref_state_eci)",
    "dcm_ric2eci": "(ref_state_eci)",
    "eci2ric_state": "(dep_state_eci, ref_state_eci)",
    "ric2eci_state": "(rel_state_ric, ref_state_eci)",
    "eci2ric_vec": "(pos_eci, ref_state_eci)",
    "ric2eci_vec": "(pos_ric, ref_state_eci)",
    "apply_ric_waypoint_offset": "(target_state_eci, ric_waypoint)",
    "compute_sun_state_jd": "(jd)",
    "compute_sun_state_posix": "(posix)",
    "rv2coe": "(eci_state_rv, deg=..., mu=..., tol=..., special=...)",
    "coe2rv": "(coe, deg=..., mu=...)",
}

R1 = np.array([5000.0, 10000.0, 2100.0])
R2 = np.array([-14600.0, 2500.0, 7000.0])
STATE = np.array([7000.0, 0.0, 0.0, 0.0, 7.5, 0.0])


def test_all_lists_the_registered_names_in_order():
    assert orbelin.__all__ == EXPECTED_NAMES
    for name in EXPECTED_NAMES:
        assert hasattr(orbelin, name)


@pytest.mark.parametrize("name, signature", SIGNATURES.items())
def test_docstrings_begin_with_the_text_signature(name, signature):
    fn = getattr(orbelin, name)
    assert fn.__text_signature__ == signature
    assert fn.__module__ == "orbelin"
    assert fn.__self__ is orbelin
    params = list(inspect.signature(fn).parameters.values())
    assert [p.name for p in params] == [s.split("=")[0] for s in signature.strip("()").split(", ")]
    assert all((p.default is Ellipsis) == ("=" in s) for p, s in zip(params, signature.strip("()").split(", ")))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: orbelin.dcm_eci2ric(STATE, STATE), "dcm_eci2ric() takes 1 positional arguments but 2 were given"),
        (lambda: orbelin.eci2ric_vec(R1, STATE, STATE), "eci2ric_vec() takes 2 positional arguments but 3 were given"),
        (lambda: orbelin.coe2rv(STATE, True, 1.0, 2.0), "coe2rv() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: orbelin.dcm_eci2ric(), "dcm_eci2ric() missing 1 required positional argument: 'ref_state_eci'"),
        (lambda: orbelin.kepler_universal_2body_py(),
         "kepler_universal_2body_py() missing 2 required positional arguments: 'init_state_vec' and 'dt_sec'"),
        (lambda: orbelin.lambert_izzo_vec(R1, R2),
         "lambert_izzo_vec() missing 3 required positional arguments: 'tof', 'max_rev', and 'retrograde'"),
        (lambda: orbelin.lambert_izzo_single(mu=1.0),
         "lambert_izzo_single() missing 5 required positional arguments: 'r1', 'r2', 'tof', 'max_rev', and 'retrograde'"),
        (lambda: orbelin.rv2coe(STATE, degrees=True), "rv2coe() got an unexpected keyword argument 'degrees'"),
        (lambda: orbelin.lambert_izzo_vec(R1, R2, 3600.0, 0, False, m=1), "lambert_izzo_vec() got an unexpected keyword argument 'm'"),
        (lambda: orbelin.rv2coe(STATE, eci_state_rv=STATE), "rv2coe() got multiple values for argument 'eci_state_rv'"),
    ],
)
def test_binding_errors_use_cpython_texts(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_flag_accepts_only_true_and_false():
    with pytest.raises(TypeError) as info:
        orbelin.lambert_izzo_single(R1, R2, 3600.0, 0, 1)
    assert str(info.value) == "argument 'retrograde': 'int' object cannot be converted to 'PyBool'"
    with pytest.raises(TypeError, match="^argument 'deg': '"):
        orbelin.rv2coe(STATE, deg=np.True_)
    assert orbelin.lambert_izzo_single(R1, R2, 3600.0, 0, False).v1.shape == (1, 3)


def test_float_parameters_take_ints_and_index_objects():
    by_int = orbelin.lambert_izzo_single(R1, R2, 3600, 0, False)
    by_float = orbelin.lambert_izzo_single(R1, R2, 3600.0, 0, False)
    by_numpy = orbelin.lambert_izzo_single(R1, R2, np.int32(3600), np.uint8(0), False)
    np.testing.assert_array_equal(by_int.v1, by_float.v1)
    np.testing.assert_array_equal(by_numpy.v1, by_float.v1)
    with pytest.raises(TypeError, match="^argument 'tof': must be real number, not str$"):
        orbelin.lambert_izzo_single(R1, R2, "3600", 0, False)


def test_count_parameters_refuse_floats_and_negative_values():
    with pytest.raises(OverflowError):
        orbelin.lambert_izzo_single(R1, R2, 3600.0, -1, False)
    with pytest.raises(TypeError) as info:
        orbelin.lambert_izzo_single(R1, R2, 3600.0, 1.0, False)
    assert str(info.value) == "argument 'max_rev': 'float' object cannot be interpreted as an integer"


class _FloatFails:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


def test_conversion_type_errors_are_prefixed_and_keep_their_cause():
    root = KeyError("root cause")
    error = TypeError("cannot make a float")
    error.__cause__ = root
    with pytest.raises(TypeError) as info:
        orbelin.rv2coe(STATE, mu=_FloatFails(error))
    assert str(info.value) == "argument 'mu': cannot make a float"
    assert info.value.__cause__ is root


def test_other_conversion_errors_pass_unchanged():
    error = ZeroDivisionError("not a type error")
    with pytest.raises(ZeroDivisionError) as info:
        orbelin.rv2coe(STATE, mu=_FloatFails(error))
    assert info.value is error


@pytest.mark.parametrize(
    "value, message",
    [
        ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], "argument 'eci_state_rv': 'list' object cannot be converted to 'PyArray<T, D>'"),
        ((1.0,) * 6, "argument 'eci_state_rv': 'tuple' object cannot be converted to 'PyArray<T, D>'"),
        (np.arange(6), "argument 'eci_state_rv': type mismatch:\n from=int64, to=float64"),
        (np.ones(6, dtype=np.float32), "argument 'eci_state_rv': type mismatch:\n from=float32, to=float64"),
        (np.ones(6, dtype=object), "argument 'eci_state_rv': type mismatch:\n from=object, to=float64"),
    ],
)
def test_array_arguments_accept_only_float64_arrays(value, message):
    with pytest.raises(TypeError) as info:
        orbelin.rv2coe(value)
    assert str(info.value) == message


def test_fixed_form_arrays_check_the_number_of_axes_before_the_dtype():
    with pytest.raises(TypeError) as info:
        orbelin.kepler_universal_2body_py(np.zeros((1, 6), dtype=np.int64), 1.0)
    assert str(info.value) == "argument 'init_state_vec': dimensionality mismatch:\n from=2, to=1"


def test_ndarray_subclasses_are_accepted():
    class Tagged(np.ndarray):
        pass

    tagged = STATE.view(Tagged)
    np.testing.assert_array_equal(orbelin.rv2coe(tagged), orbelin.rv2coe(STATE))


def _panic(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def test_panic_exception_derives_from_base_exception():
    error = _panic(lambda: orbelin.lambert_izzo_vec(R1, R2, 3600.0, 0, False, mu=0.0))
    cls = type(error)
    assert cls.__name__ == "PanicException"
    assert cls.__bases__ == (BaseException,)
    assert not isinstance(error, Exception)
    assert "BaseException" in cls.__doc__ and "SystemExit" in cls.__doc__
    assert str(error) == "Gravity parameter mu must be positive, got: 0"
    # Created once: every fault raises the same class.
    assert type(_panic(lambda: orbelin.lambert_izzo_single(R1, R2, 3600.0, 0, False, mu=-1.0))) is cls


def test_the_pool_survives_a_fault_inside_a_parallel_loop():
    r1 = np.tile(R1, (500, 1))
    r2 = np.tile(R2, (500, 1))
    _panic(lambda: orbelin.lambert_izzo_vec(r1, r2, 3600.0, 2, False, mu=-1.0))
    result = orbelin.lambert_izzo_vec(r1, r2, 3600.0, 0, False, mu=398600.0)
    np.testing.assert_allclose(result.v1[:, 0], np.tile([-5.9925, 1.9254, 3.2456], (500, 1)), atol=5e-5)


def test_a_second_initialisation_raises_import_error():
    lib = ctypes.PyDLL(orbelin.__file__)
    init = lib.PyInit_orbelin
    init.restype = ctypes.py_object
    with pytest.raises(ImportError, match="once"):
        init()
    # The module already loaded keeps working.
    assert orbelin.rv2coe(STATE).shape == (6,)


@pytest.mark.skipif(shutil.which("taskset") is None, reason="needs taskset")
@pytest.mark.parametrize("cpus, workers", [("0", 1), ("0,1", 1)])
def test_worker_count_follows_usable_cpus(cpus, workers):
    if len(os.sched_getaffinity(0)) < len(cpus.split(",")):
        pytest.skip("not enough CPUs")
    assert count_pool_workers(cpus=cpus) == workers


def test_worker_count_without_restriction():
    expected = max(1, len(os.sched_getaffinity(0)) - 1)
    assert count_pool_workers() <= expected  # a cgroup quota may lower it
    assert count_pool_workers() >= 1


SOLVE_MANY = """
    import warnings
    # Since 3.12 Python warns on every fork of a process with threads, and the module's workers are threads. Forking
    # here is safe all the same: the workers are idle once a call returns (the call waits for all of them), and a
    # child never touches the parent's pool but builds its own on first use. That warning alone is silenced; any
    # other deprecation fails the child.
    warnings.filterwarnings("error", category=DeprecationWarning)
    warnings.filterwarnings("ignore", r"This process \\(pid=\\d+\\) is multi-threaded, use of fork\\(\\)",
                            DeprecationWarning)
    import numpy as np
    rng = np.random.default_rng(3)
    r1 = rng.normal(size=(2000, 3)) * 7000.0
    r2 = rng.normal(size=(2000, 3)) * 7000.0
    def solve(_=None):
        return float(np.nansum(orbelin.lambert_izzo_vec(r1, r2, 4000.0, 1, False).v1))
"""


@pytest.mark.parametrize("setting, workers", [(None, max(1, len(os.sched_getaffinity(0)) - 1)), ("1", 0), ("3", 2)])
def test_a_forked_child_gets_a_working_pool(setting, workers):
    # The child's pool has the size of its parent's, ORBELIN_NUM_THREADS included.
    out = run_python(
        "import os, orbelin\n" + textwrap.dedent(SOLVE_MANY) + textwrap.dedent("""
        parent = solve()
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:
            # Only this thread survives the fork; the child's own workers
            # must exist once it has run a parallel loop.
            result = solve()
            threads = len(os.listdir('/proc/self/task'))
            os.write(write, f"{result!r} {threads}".encode())
            os._exit(0)
        os.close(write)
        child, threads = os.read(read, 200).decode().split()
        os.waitpid(pid, 0)
        print(parent == float(child), int(threads) - 1)
        """),
        env=None if setting is None else {"ORBELIN_NUM_THREADS": setting},
        timeout=60,
    )
    assert out == f"True {workers}"


def test_multiprocessing_fork_workers_can_solve():
    out = run_python(
        "import multiprocessing as mp, orbelin\n" + textwrap.dedent(SOLVE_MANY) + textwrap.dedent("""
        if __name__ == '__main__':
            expected = solve()
            with mp.get_context('fork').Pool(2) as pool:
                results = pool.map(solve, range(4))
            print(all(r == expected for r in results))
        """),
        timeout=60,
    )
    assert out == "True"
